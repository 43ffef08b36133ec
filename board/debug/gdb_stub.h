// A GDB remote serial protocol server for one DebugTarget, without any I/O
// of its own: the owner hands it the bytes GDB sent (receive), sends GDB
// what it produced (take_output), runs the target while running() and
// reports where it stopped (report_stop). The stub answers each packet from
// the target at once, except the resumes (c, s, vCont;c, vCont;s), whose
// answer is the stop reply. GDB finds the target halted when it attaches:
// a new connection gets a new stub, over a halted target.
//
// One thread (id 1), all-stop mode. Supported: `?`, g/G, p/P, m/M/X,
// Z0..Z4 and z0..z4 (software and hardware breakpoints, write, read and
// access watchpoints), c/C/s/S and vCont, Ctrl-C, D, k, H and T, qSupported,
// qXfer:features:read:target.xml, qRcmd (monitor commands), qAttached, qC,
// qfThreadInfo/qsThreadInfo, qSymbol and QStartNoAckMode. Anything else gets
// the empty reply, which tells GDB it is not supported.
//
// Errors GDB sees: E16 for a malformed packet or an argument the target
// refuses (a register it will not take, an unknown monitor command, a
// breakpoint or watchpoint to remove that is not there), E0E
// for memory outside the map or refused, E1C when no breakpoint or
// watchpoint comparator is free (or the target will not place one), E5A for
// a packet longer than PacketSize, E00 for an unknown qXfer annex. A
// checksum error is answered with `-` (GDB sends the packet again).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "board/debug/debug_target.h"
#include "board/debug/rsp_packet.h"

namespace sim {

class GdbStub {
public:
    // The most data characters a packet from GDB may have (PacketSize); the
    // stub keeps no more than that of any packet.
    static constexpr std::size_t kPacketSize = 4096;

    struct Options {
        bool run_length = true; // run-length encode replies (not binary ones)
    };

    GdbStub(DebugTarget &target, Options options) : target_(target), options_(options) {}
    explicit GdbStub(DebugTarget &target) : GdbStub(target, Options{}) {}

    // Bytes from GDB, in any pieces.
    void receive(std::string_view bytes);
    // What to send GDB since the last call.
    std::string take_output();

    // Between a resume and the stop the owner reports: the target is to run.
    bool running() const { return running_; }
    // The target stopped: sends the stop reply GDB waits for. Ignored unless
    // running().
    void report_stop(const StopEvent &stop);

    // GDB detached or killed the target: the session is over and the stub
    // ignores whatever else comes.
    bool finished() const { return finished_; }

private:
    void on_event(RspReader::Event event);
    void on_packet(std::string_view packet);
    bool answer_register_or_memory(std::string_view packet);
    bool answer_run_control(std::string_view packet);
    void answer_query(std::string_view packet);
    void answer_v_packet(std::string_view packet);

    void read_register(std::string_view args);
    void write_register(std::string_view args);
    void write_all_registers(std::string_view hex);
    void read_memory(std::string_view args);
    void write_memory(std::string_view args, bool binary);
    void breakpoint(std::string_view packet);
    void resume(ResumeMode mode, std::string_view address);
    void resume_vcont(std::string_view actions);
    void supported(std::string_view features);
    void read_features(std::string_view args);
    void monitor(std::string_view hex);
    void console_output(std::string_view text);

    std::string stop_reply(const std::optional<StopEvent> &stop);
    void send(std::string_view payload, bool binary = false);

    DebugTarget &target_;
    Options options_;
    RspReader reader_{kPacketSize};
    std::string output_;
    // Replies sent but not yet acknowledged (only the first is on the wire).
    std::deque<std::string> unacked_;
    bool ack_mode_ = true;
    bool swbreak_ = false, hwbreak_ = false; // GDB understands these stop reasons
    bool running_ = false;
    bool finished_ = false;
    std::optional<StopEvent> last_stop_; // none yet: halted when GDB attached
};

} // namespace sim
