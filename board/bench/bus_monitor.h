// A record of the two-wire bus (PF0 = SCL, PF1 = SDA) as it looks on the
// wire, independent of the devices on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/bench/two_wire.h"
#include "board/peripherals/gpio.h"
#include "board/peripherals/scheduler.h"

namespace sim {

// Cuts the bus traffic into transactions and hands each one over when it
// ends: every complete byte clocked after the start, address byte first,
// acknowledged or not.
//
// - A transaction begins at a start and ends at a stop; it is reported with
//   the time of the stop.
// - A repeated start ends the transaction before it, which is reported with
//   the time of the repeated start; the bytes after it form a new one.
// - A start followed by a stop with no byte between is reported with no
//   bytes. A byte cut short by a start or a stop is left out, and so is
//   anything clocked outside a transaction (a stop with no start before it,
//   clock pulses that free a stuck bus).
class BusMonitor final : private TwoWireListener {
public:
    using Sink = std::function<void(Cycles end_time, const std::vector<std::uint8_t> &bytes)>;

    // Follows the bus pins of `port`; must live as long as the port.
    BusMonitor(const Scheduler &sched, Gpio &port, Sink sink);
    BusMonitor(const BusMonitor &) = delete;
    BusMonitor &operator=(const BusMonitor &) = delete;

    std::uint64_t transactions() const { return transactions_; }

private:
    void on_start() override;
    void on_stop() override;
    void on_byte(std::uint8_t value, bool acked) override;
    void finish();

    const Scheduler &sched_;
    Sink sink_;
    TwoWireDecoder decoder_;
    bool open_ = false;
    std::vector<std::uint8_t> bytes_;
    std::uint64_t transactions_ = 0;
};

} // namespace sim
