#include "shells/sim/bus_log.h"

namespace sim {

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
