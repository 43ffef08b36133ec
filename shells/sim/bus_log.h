// The bus log of snt-sim: the two-wire bus's transactions as text lines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/bench/bus_monitor.h"
#include "board/peripherals/scheduler.h"
#include "shells/sim/output_file.h"

namespace sim {

// Writes transactions to a text file, one line each: the time the
// transaction ended in whole microseconds of virtual time (truncated), then
// its bytes in upper-case hex, all separated by single spaces:
//   52018 C0 10 80
//
// Each line is written out as soon as it is complete, so whole lines reach
// the file even when the program is stopped mid-run. A line that cannot be
// written throws OutputError.
class BusLogWriter {
public:
    // Writes to `out`, which must be committed.
    explicit BusLogWriter(std::unique_ptr<OutputFile> out);
    // Throws OutputError naming `path` when the file cannot be written.
    explicit BusLogWriter(const std::string &path);
    BusLogWriter(const BusLogWriter &) = delete;
    BusLogWriter &operator=(const BusLogWriter &) = delete;

    void write(Cycles end_time, const std::vector<std::uint8_t> &bytes);
    // Closes the file; throws OutputError when that fails.
    void close() { out_->close(); }
    // A sink for a BusMonitor that writes here; the writer must outlive it.
    BusMonitor::Sink sink()
    {
        return [this](Cycles t, const std::vector<std::uint8_t> &b) { write(t, b); };
    }

    // One line, without its newline.
    static std::string format(Cycles end_time, const std::vector<std::uint8_t> &bytes);

private:
    std::unique_ptr<OutputFile> out_;
};

} // namespace sim
