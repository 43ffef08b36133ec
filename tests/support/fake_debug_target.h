// A debug target with nothing behind it, for driving the GDB stub: 21
// registers, 4 KB of flash and 4 KB of RAM at the chip's addresses (every
// other address refused, as a peripheral the debugger may not read would
// be), and a record of every call.
// Its rules stand in for a core's: four hardware breakpoints, two
// watchpoints, software breakpoints of kind 2 only, CONTROL takes bits 0
// and 1 only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "board/debug/debug_target.h"

namespace snt_test {

class FakeDebugTarget : public sim::DebugTarget {
public:
    static constexpr std::uint32_t kFlashBase = 0x08000000;
    static constexpr std::uint32_t kRamBase = 0x20000000;
    static constexpr std::uint32_t kMemorySize = 0x1000;

    struct Point {
        int type; // 0..4 as in Z packets
        std::uint32_t address, size;
        bool operator==(const Point &o) const
        {
            return std::tie(type, address, size) == std::tie(o.type, o.address, o.size);
        }
    };

    sim::DebugRegisters regs{};
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(kMemorySize);
    std::vector<std::uint8_t> ram = std::vector<std::uint8_t>(kMemorySize);
    std::vector<Point> points;
    std::vector<sim::ResumeMode> resumes;
    std::vector<sim::ResetMode> resets;
    std::vector<std::string> monitor_commands;
    int interrupts = 0;
    bool detached = false, killed = false;
    int wrapped_ranges = 0; // memory ranges past 0xFFFFFFFF, which the interface rules out

    std::uint32_t read_register(int n) override { return regs.at(static_cast<std::size_t>(n)); }
    bool write_register(int n, std::uint32_t value) override
    {
        if (n == sim::debug_reg::kControl && value > 3) return false;
        regs.at(static_cast<std::size_t>(n)) = value;
        return true;
    }

    std::size_t read_memory(std::uint32_t address, std::uint8_t *out, std::size_t size) override
    {
        check_range(address, size);
        std::size_t n = 0;
        for (; n < size; ++n) {
            const std::uint8_t *cell = at(address + static_cast<std::uint32_t>(n));
            if (cell == nullptr) break;
            out[n] = *cell;
        }
        return n;
    }
    bool write_memory(std::uint32_t address, const std::uint8_t *data, std::size_t size) override
    {
        check_range(address, size);
        for (std::size_t n = 0; n < size; ++n)
            if (at(address + static_cast<std::uint32_t>(n)) == nullptr) return false;
        for (std::size_t n = 0; n < size; ++n) *at(address + static_cast<std::uint32_t>(n)) = data[n];
        return true;
    }

    bool add_breakpoint(sim::BreakpointType type, std::uint32_t address, unsigned kind) override
    {
        const int t = type == sim::BreakpointType::Software ? 0 : 1;
        if (kind != 2 || (t == 1 && count(1) == sim::kHardwareBreakpoints)) return false;
        return add({t, address, kind});
    }
    bool remove_breakpoint(sim::BreakpointType type, std::uint32_t address, unsigned kind) override
    {
        return remove({type == sim::BreakpointType::Software ? 0 : 1, address, kind});
    }
    bool add_watchpoint(sim::WatchType type, std::uint32_t address, std::uint32_t length) override
    {
        if (count(2) + count(3) + count(4) == sim::kWatchpoints) return false;
        return add({watch_type(type), address, length});
    }
    bool remove_watchpoint(sim::WatchType type, std::uint32_t address, std::uint32_t length) override
    {
        return remove({watch_type(type), address, length});
    }

    void resume(sim::ResumeMode mode) override { resumes.push_back(mode); }
    void interrupt() override { ++interrupts; }
    void reset(sim::ResetMode mode) override { resets.push_back(mode); }
    sim::MonitorReply monitor(std::string_view command) override
    {
        monitor_commands.emplace_back(command);
        if (command == "cycles") return {true, "cycles: 123456\n"};
        if (command == "help") return {true, "reset, reset halt, cycles\n"};
        if (command == "long") return {true, std::string(5000, 'x')};
        return {false, "unknown command: " + std::string(command) + "\n"};
    }
    void detach() override { detached = true; }
    void kill() override { killed = true; }

private:
    void check_range(std::uint32_t address, std::size_t size)
    {
        if (size > 0 && size - 1 > 0xFFFFFFFFu - address) ++wrapped_ranges;
    }
    std::uint8_t *at(std::uint32_t address)
    {
        if (address - kFlashBase < kMemorySize) return &flash[address - kFlashBase];
        if (address - kRamBase < kMemorySize) return &ram[address - kRamBase];
        return nullptr; // peripherals and unmapped addresses alike
    }
    static int watch_type(sim::WatchType type)
    {
        return type == sim::WatchType::Write ? 2 : type == sim::WatchType::Read ? 3 : 4;
    }
    int count(int type) const
    {
        return static_cast<int>(
            std::count_if(points.begin(), points.end(), [&](const Point &p) { return p.type == type; }));
    }
    bool add(const Point &p)
    {
        if (std::find(points.begin(), points.end(), p) != points.end()) return true;
        points.push_back(p);
        return true;
    }
    bool remove(const Point &p)
    {
        const auto it = std::find(points.begin(), points.end(), p);
        if (it == points.end()) return false;
        points.erase(it);
        return true;
    }
};

} // namespace snt_test
