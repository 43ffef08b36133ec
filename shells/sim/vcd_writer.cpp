#include "shells/sim/vcd_writer.h"

namespace sim {

namespace {
char code(std::size_t signal) { return static_cast<char>('!' + signal); }
char value(Level l) { return l == Level::High ? '1' : l == Level::Low ? '0' : 'z'; }
constexpr unsigned long long kNsPerCycle = 1'000'000'000ull / kCoreHz;

std::unique_ptr<OutputFile> open_now(const std::string &path)
{
    auto out = std::make_unique<OutputFile>("", path);
    out->commit();
    return out;
}
} // namespace

VcdWriter::VcdWriter(std::unique_ptr<OutputFile> out, const Scheduler &sched, const std::vector<std::string> &signals)
    : out_(std::move(out)), sched_(sched), levels_(signals.size(), Level::Floating)
{
    out_->write("$date virtual board $end\n$version snt-sim $end\n$timescale 1ns $end\n");
    out_->write("$scope module board $end\n");
    for (std::size_t i = 0; i < signals.size(); ++i) {
        out_->write(std::string("$var wire 1 ") + code(i) + " " + signals[i] + " $end\n");
    }
    out_->write("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
    for (std::size_t i = 0; i < signals.size(); ++i) out_->write(std::string("z") + code(i) + "\n");
    out_->write("$end\n");
    last_ns_ = 0;
}

VcdWriter::VcdWriter(const std::string &path, const Scheduler &sched, const std::vector<std::string> &signals)
    : VcdWriter(open_now(path), sched, signals)
{}

VcdWriter::~VcdWriter()
{
    if (closed_) return;
    try {
        end();
    } catch (const OutputError &) {}
}

void VcdWriter::end()
{
    out_->write("#" + std::to_string(static_cast<unsigned long long>(sched_.now()) * kNsPerCycle) + "\n");
    out_->flush();
}

void VcdWriter::close()
{
    if (closed_) return;
    closed_ = true;
    end();
    out_->close();
}

void VcdWriter::change(std::size_t signal, Level level)
{
    if (levels_[signal] == level) return;
    levels_[signal] = level;
    const unsigned long long ns = static_cast<unsigned long long>(sched_.now()) * kNsPerCycle;
    char text[32];
    std::size_t n = 0;
    if (ns != last_ns_) {
        text[n++] = '#';
        const std::string digits = std::to_string(ns);
        for (char c : digits) text[n++] = c;
        text[n++] = '\n';
        last_ns_ = ns;
    }
    text[n++] = value(level);
    text[n++] = code(signal);
    text[n++] = '\n';
    out_->write(text, n);
}

void VcdWriter::follow(Gpio &port, int pin, std::size_t signal)
{
    change(signal, port.level(pin));
    port.on_change(
        [this, pin, signal](int p, Level l) {
            if (p == pin) change(signal, l);
        },
        1u << pin);
}

} // namespace sim
