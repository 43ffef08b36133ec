// Flashing over a link, blocking: the driver loop of the flashing client
// (core/flash/boot_client.h). It starts the job, sends what the client
// asks, waits for bytes until the client's next deadline, feeds them in
// with the link's time, and hands on every event; Ctrl-C (Interrupted) and
// a link that fails end the job where it stands, with the client's account
// of where that was.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/flash/boot_client.h"
#include "shells/snt/link.h"

namespace snt {

// The job failed; what() is the client's one line (the step, where it
// stopped, what to do).
class FlashError : public std::runtime_error {
public:
    explicit FlashError(const flash::FlashEvent &failed) : std::runtime_error(failed.message), event_(failed) {}
    const flash::FlashEvent &event() const { return event_; }

private:
    flash::FlashEvent event_;
};

class Flasher {
public:
    using EventSink = std::function<void(const flash::FlashEvent &)>;

    // The link must be on the bootloader's line (8E1 at options.baud).
    Flasher(Link &link, flash::Image image, const flash::FlashOptions &options);

    // Runs the job to its end: hands each event but the last to `on_event`
    // and returns the Finished one. Throws FlashError for a failure (a lost
    // link among them), and Interrupted after telling `on_stopped` where a
    // signal stopped the job.
    flash::FlashEvent run(const EventSink &on_event, const std::function<void(const std::string &)> &on_stopped = {});

    const flash::BootClient &client() const { return client_; }
    // What came after Go's ACK in the same read: the started image's first
    // bytes (see ReplayLink).
    std::string take_after();

private:
    Link &link_;
    flash::BootClient client_;
};

// A link that hands out `first` before anything it reads from `link`: for
// bytes another reader took off the line but did not use.
class ReplayLink final : public Link {
public:
    ReplayLink(Link &link, std::string first) : link_(link), first_(std::move(first)) {}
    const std::string &name() const override { return link_.name(); }
    void write(const std::string &bytes) override { link_.write(bytes); }
    std::string read(ClientTime deadline) override
    {
        return first_.empty() ? link_.read(deadline) : std::exchange(first_, {});
    }
    ClientTime now() override { return link_.now(); }

private:
    Link &link_;
    std::string first_;
};

} // namespace snt
