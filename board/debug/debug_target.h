// What a debugger needs of the CPU it debugs: the interface the GDB stub
// (gdb_stub.h) drives, and that the Cortex-M0 core on the virtual board
// implements.
//
// Everything here is the debugger's view: while the target is halted no
// virtual time passes, and nothing the debugger does through this interface
// may change the state of a peripheral (a read that would clear a flag is
// refused or served without the side effect).
//
// The target does not run by itself when asked to resume: resume() records
// what the debugger wants, and the owner of the target (the shell that
// carries the connection) runs it and hands the stop to the stub
// (GdbStub::report_stop).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// The registers in the order of the target description
// (armv6m_target_xml.h), which is also GDB's register number and the order
// of the `g` packet: r0..r12, sp, lr, pc, xpsr in the M-profile core
// feature, then msp, psp, primask and control in the system feature.
namespace debug_reg {
inline constexpr int kSp = 13;
inline constexpr int kLr = 14;
inline constexpr int kPc = 15;
inline constexpr int kXpsr = 16;
inline constexpr int kMsp = 17;
inline constexpr int kPsp = 18;
inline constexpr int kPrimask = 19;
inline constexpr int kControl = 20;
inline constexpr int kCount = 21;
} // namespace debug_reg

using DebugRegisters = std::array<std::uint32_t, debug_reg::kCount>;

// The breakpoint unit and the data watchpoint unit of a Cortex-M0.
inline constexpr int kHardwareBreakpoints = 4;
inline constexpr int kWatchpoints = 2;

enum class BreakpointType { Software, Hardware };
enum class WatchType { Write, Read, Access };
enum class ResumeMode { Continue, Step };
enum class ResetMode {
    Run,  // `monitor reset`: from the reset vector when the debugger resumes the target
    Halt, // `monitor reset halt`: held at the reset vector until the debugger resumes it
};

// Why the target stopped after a resume().
struct StopEvent {
    enum class Kind {
        SoftwareBreakpoint, // pc is at the breakpoint, its instruction not executed
        HardwareBreakpoint,
        Watchpoint,  // watch and data_address tell which access
        StepDone,    // one instruction (or exception entry) executed
        Interrupted, // halted on request (interrupt())
        LockedUp,    // the core locked up: it stays halted where it stopped
        Exited,      // the target ended (the board's run is over): exit_code
    };
    Kind kind = Kind::StepDone;
    WatchType watch = WatchType::Write;
    std::uint32_t data_address = 0;
    int exit_code = 0;
};

// A monitor command's answer: its text, and false for a command the target
// does not know (the text then says so).
struct MonitorReply {
    bool ok = true;
    std::string text;
};

class DebugTarget {
public:
    // One register by its number (debug_reg); n is always below
    // debug_reg::kCount. A write the register cannot take (a read-only bit
    // pattern, a value the core cannot hold) returns false.
    virtual std::uint32_t read_register(int n) = 0;
    virtual bool write_register(int n, std::uint32_t value) = 0;
    // All of them at once (the `g` and `G` packets); by default one by one.
    virtual DebugRegisters read_registers();
    virtual bool write_registers(const DebugRegisters &values);

    // A debugger's memory access. read_memory copies up to `size` bytes from
    // `address` on and returns how many it could read: it stops at the first
    // byte outside the address map or one it will not read without a side
    // effect. write_memory writes all bytes or none, returning false (and
    // writing nothing) when any of them is outside the map or refused. The
    // range never wraps past 0xFFFFFFFF.
    virtual std::size_t read_memory(std::uint32_t address, std::uint8_t *out, std::size_t size) = 0;
    virtual bool write_memory(std::uint32_t address, const std::uint8_t *data, std::size_t size) = 0;

    // Breakpoints at an instruction's address. `kind` is GDB's: 2 for a
    // 16-bit Thumb instruction (3 for a 32-bit one). False when the target
    // cannot place it: no free comparator (kHardwareBreakpoints), an address
    // or kind it does not take; removing one that is not there is also false.
    virtual bool add_breakpoint(BreakpointType type, std::uint32_t address, unsigned kind) = 0;
    virtual bool remove_breakpoint(BreakpointType type, std::uint32_t address, unsigned kind) = 0;
    // Data watchpoints on `length` bytes from `address`; at most kWatchpoints.
    virtual bool add_watchpoint(WatchType type, std::uint32_t address, std::uint32_t length) = 0;
    virtual bool remove_watchpoint(WatchType type, std::uint32_t address, std::uint32_t length) = 0;

    // The debugger lets the target go: the owner runs it until a stop
    // (StepDone after one instruction) and reports that stop to the stub.
    virtual void resume(ResumeMode mode) = 0;
    // Ctrl-C while it runs: it is to halt at its next instruction boundary
    // and stop with Interrupted.
    virtual void interrupt() = 0;
    virtual void reset(ResetMode mode) = 0;
    // A `monitor` command other than `reset` and `reset halt` (which the
    // stub turns into reset()): `cycles`, `stats`, `help`, ...
    virtual MonitorReply monitor(std::string_view command) = 0;
    // The debugger leaves: breakpoints already removed, the target runs on
    // without it.
    virtual void detach() = 0;
    // The debugger kills the target (`kill`, or quitting GDB on a target it
    // started): the owner ends the run.
    virtual void kill() = 0;

protected:
    ~DebugTarget() = default;
};

inline DebugRegisters DebugTarget::read_registers()
{
    DebugRegisters values{};
    for (int n = 0; n < debug_reg::kCount; ++n) values[static_cast<std::size_t>(n)] = read_register(n);
    return values;
}

inline bool DebugTarget::write_registers(const DebugRegisters &values)
{
    bool ok = true;
    for (int n = 0; n < debug_reg::kCount; ++n) ok &= write_register(n, values[static_cast<std::size_t>(n)]);
    return ok;
}

} // namespace sim
