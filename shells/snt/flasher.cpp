#include "shells/snt/flasher.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "shells/snt/interrupt.h"

namespace snt {

namespace {

flash::Micros micros(ClientTime t) { return t > 0 ? static_cast<flash::Micros>(t) : 0; }

} // namespace

Flasher::Flasher(Link &link, flash::Image image, const flash::FlashOptions &options)
    : link_(link), client_(std::move(image), options)
{}

std::string Flasher::take_after()
{
    const std::vector<std::uint8_t> after = client_.take_after();
    return std::string(after.begin(), after.end());
}

flash::FlashEvent Flasher::run(const EventSink &on_event, const std::function<void(const std::string &)> &on_stopped)
{
    // Hands on what the client has said; true once it is over.
    const auto take_events = [&](flash::FlashEvent &last) {
        for (flash::FlashEvent &e : client_.take_events()) {
            if (e.kind == flash::FlashEvent::Kind::Failed) throw FlashError(e);
            if (e.kind == flash::FlashEvent::Kind::Finished) {
                last = std::move(e);
                return true;
            }
            if (on_event) on_event(e);
        }
        return false;
    };
    flash::FlashEvent last;
    // Whatever is waiting on the line belongs to an earlier session.
    link_.read(link_.now());
    client_.start(micros(link_.now()));
    try {
        for (;;) {
            if (take_events(last)) return last;
            const std::vector<std::uint8_t> out = client_.take_output();
            if (!out.empty()) link_.write(std::string(out.begin(), out.end()));
            check_interrupt();
            const auto wake = client_.wake_at();
            const ClientTime deadline = wake ? static_cast<ClientTime>(*wake) : link_.now();
            const std::string in = link_.read(deadline);
            const flash::Micros now = micros(link_.now());
            if (in.empty()) {
                client_.wake(now);
            } else {
                client_.receive(reinterpret_cast<const std::uint8_t *>(in.data()), in.size(), now);
            }
        }
    } catch (const Interrupted &) {
        // Where the signal stopped the job, in the client's words.
        client_.lost("interrupted");
        for (const flash::FlashEvent &e : client_.take_events()) {
            if (e.kind == flash::FlashEvent::Kind::Failed && on_stopped) on_stopped(e.message);
        }
        throw;
    } catch (const PortError &e) {
        client_.lost(e.what());
        take_events(last);
        throw;
    }
}

} // namespace snt
