#include "board/bench/bus_monitor.h"

namespace sim {

BusMonitor::BusMonitor(const Scheduler &sched, Gpio &port, Sink sink)
    : sched_(sched), sink_(std::move(sink)), decoder_(*this)
{
    decoder_.follow(port);
}

void BusMonitor::finish()
{
    if (!open_) return;
    open_ = false;
    ++transactions_;
    if (sink_) sink_(sched_.now(), bytes_);
    bytes_.clear();
}

void BusMonitor::on_start()
{
    finish(); // a repeated start closes the transaction before it
    open_ = true;
}

void BusMonitor::on_stop() { finish(); }

void BusMonitor::on_byte(std::uint8_t value, bool)
{
    if (open_) bytes_.push_back(value);
}

} // namespace sim
