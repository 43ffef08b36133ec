// Value-change dump of pin levels, readable by logic-analyzer tools.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "board/peripherals/gpio.h"
#include "board/peripherals/scheduler.h"
#include "shells/sim/output_file.h"

namespace sim {

class VcdWriter {
public:
    // Declares the signals in `out`, which must be committed. Write errors
    // throw OutputError, here or later.
    VcdWriter(std::unique_ptr<OutputFile> out, const Scheduler &sched, const std::vector<std::string> &signals);
    // Opens `path` and declares the signals; throws OutputError when the
    // file cannot be written.
    VcdWriter(const std::string &path, const Scheduler &sched, const std::vector<std::string> &signals);
    // Without close(), ends the dump as well as it can, silently.
    ~VcdWriter();
    VcdWriter(const VcdWriter &) = delete;
    VcdWriter &operator=(const VcdWriter &) = delete;

    // Records a signal's level at the current virtual time.
    void change(std::size_t signal, Level level);
    // Follows one pin of a port as signal `signal`.
    void follow(Gpio &port, int pin, std::size_t signal);
    // Ends the dump at the current virtual time and closes the file; throws
    // OutputError when anything could not be written.
    void close();

private:
    void end();

    std::unique_ptr<OutputFile> out_;
    const Scheduler &sched_;
    std::vector<Level> levels_;
    unsigned long long last_ns_ = ~0ull;
    bool closed_ = false;
};

} // namespace sim
