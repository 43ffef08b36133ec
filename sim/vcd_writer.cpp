#include "vcd_writer.h"

#include <stdexcept>

namespace sim {

namespace {
char code(std::size_t signal) { return static_cast<char>('!' + signal); }
char value(Level l) { return l == Level::High ? '1' : l == Level::Low ? '0' : 'z'; }
constexpr unsigned long long kNsPerCycle = 1'000'000'000ull / kCoreHz;
} // namespace

VcdWriter::VcdWriter(const std::string &path, const Scheduler &sched, const std::vector<std::string> &signals)
    : file_(std::fopen(path.c_str(), "w")), sched_(sched), levels_(signals.size(), Level::Floating)
{
    if (file_ == nullptr) throw std::runtime_error("cannot write " + path);
    std::fprintf(file_, "$date virtual board $end\n$version snt-sim $end\n$timescale 1ns $end\n");
    std::fprintf(file_, "$scope module board $end\n");
    for (std::size_t i = 0; i < signals.size(); ++i) {
        std::fprintf(file_, "$var wire 1 %c %s $end\n", code(i), signals[i].c_str());
    }
    std::fprintf(file_, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
    for (std::size_t i = 0; i < signals.size(); ++i) std::fprintf(file_, "z%c\n", code(i));
    std::fprintf(file_, "$end\n");
    last_ns_ = 0;
}

VcdWriter::~VcdWriter()
{
    std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(sched_.now()) * kNsPerCycle);
    std::fclose(file_);
}

void VcdWriter::change(std::size_t signal, Level level)
{
    if (levels_[signal] == level) return;
    levels_[signal] = level;
    const unsigned long long ns = static_cast<unsigned long long>(sched_.now()) * kNsPerCycle;
    if (ns != last_ns_) {
        std::fprintf(file_, "#%llu\n", ns);
        last_ns_ = ns;
    }
    std::fprintf(file_, "%c%c\n", value(level), code(signal));
}

void VcdWriter::follow(Gpio &port, int pin, std::size_t signal)
{
    change(signal, port.level(pin));
    port.on_change([this, pin, signal](int p, Level l) {
        if (p == pin) change(signal, l);
    });
}

} // namespace sim
