#include "bus_log.h"

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

BusLogWriter::BusLogWriter(std::unique_ptr<OutputFile> out) : out_(std::move(out)) {}

BusLogWriter::BusLogWriter(const std::string &path) : out_(std::make_unique<OutputFile>("", path)) { out_->commit(); }

std::string BusLogWriter::format(Cycles end_time, const std::vector<std::uint8_t> &bytes)
{
    std::string line = std::to_string(end_time / (kCoreHz / 1'000'000));
    static const char kHex[] = "0123456789ABCDEF";
    for (std::uint8_t b : bytes) {
        line += ' ';
        line += kHex[b >> 4];
        line += kHex[b & 0x0F];
    }
    return line;
}

void BusLogWriter::write(Cycles end_time, const std::vector<std::uint8_t> &bytes)
{
    out_->write(format(end_time, bytes) + '\n');
    out_->flush();
}

} // namespace sim
