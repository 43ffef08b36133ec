// Value-change dump of pin levels, readable by logic-analyzer tools.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gpio.h"
#include "scheduler.h"

namespace sim {

class VcdWriter {
public:
    // Opens `path` and declares the signals; throws std::runtime_error when
    // the file cannot be written.
    VcdWriter(const std::string &path, const Scheduler &sched, const std::vector<std::string> &signals);
    ~VcdWriter();
    VcdWriter(const VcdWriter &) = delete;
    VcdWriter &operator=(const VcdWriter &) = delete;

    // Records a signal's level at the current virtual time.
    void change(std::size_t signal, Level level);
    // Follows one pin of a port as signal `signal`.
    void follow(Gpio &port, int pin, std::size_t signal);

private:
    std::FILE *file_;
    const Scheduler &sched_;
    std::vector<Level> levels_;
    unsigned long long last_ns_ = ~0ull;
};

} // namespace sim
