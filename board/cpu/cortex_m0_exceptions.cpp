// Exceptions and faults: what is taken when, entry with its stack frame,
// return and tail-chaining, HardFault and lock-up.
#include "board/cpu/cortex_m0_core.h"

#include <cstring>

namespace sim {

using namespace m0;

// -------------------------------------------------------------- exceptions

int CortexM0::pending_exception(int current, int &priority)
{
    if (nmi_pending_ && current > -2) {
        priority = -2;
        return kNmi;
    }
    if (current <= 0) return -1;
    const int exception = exceptions_.next_to_take(current);
    if (exception >= 0) priority = exceptions_.priority_of(exception);
    return exception;
}

bool CortexM0::wakes(bool for_event)
{
    if (for_event && event_) return true;
    int priority;
    return pending_exception(priority_ignoring_primask(), priority) >= 0;
}

bool CortexM0::take_pending()
{
    int priority;
    const int exception = pending_exception(execution_priority(), priority);
    if (exception < 0) return false;
    if (exception == kNmi) {
        nmi_pending_ = false;
    } else {
        exceptions_.activate(exception);
    }
    enter(exception, priority, r_[15]);
    return true;
}

void CortexM0::take_fault()
{
    forget_loop();
    if (execution_priority() < 0) { // in HardFault or NMI: nothing left to escalate to
        lock_up();
        return;
    }
    enter(kHardFault, -1, r_[15]);
}

void CortexM0::lock_up()
{
    locked_up_ = true;
    stop(Stop::Lockup);
}

void CortexM0::enter(int exception, int priority, std::uint32_t return_address)
{
    const Cycles start = now_;
    const std::uint32_t sp = r_[13];
    // The frame is 8-byte aligned; bit 9 of the stacked xPSR says whether a
    // word of padding went above it.
    const std::uint32_t frame = (sp - 0x20) & ~7u;
    const std::uint32_t psr = (xpsr() & ~0x3FFu) | ((sp & 4) << 7) | static_cast<std::uint32_t>(current_exception());
    const std::uint32_t words[8] = {r_[0], r_[1], r_[2], r_[3], r_[12], r_[14], return_address, psr};
    try {
        if (std::uint8_t *in_ram = frame_in_ram(frame)) {
            std::memcpy(in_ram, words, sizeof words); // what the eight stores would do, at once
            spin_dirty_ = true;
        } else {
            for (unsigned i = 0; i < 8; ++i) store<4, Mode::Fast>(frame + 4 * i, words[i], now_);
        }
    } catch (const Bus::Fault &) {
        if (from_source(exception)) exceptions_.deactivate(exception);
        if (exception == kHardFault || exception == kNmi || execution_priority() < 0) {
            lock_up();
        } else {
            enter(kHardFault, -1, return_address);
        }
        return;
    }
    r_[14] = !active_.empty() ? kReturnToHandler : spsel_ ? kReturnToProcess : kReturnToMain;
    r_[13] = frame;
    if (spsel_) { // thread mode ran on the process stack; handlers use the main one
        std::swap(r_[13], other_sp_);
        spsel_ = false;
    }
    begin_handler(exception, priority, start);
    now_ += kEntryCycles;
}

void CortexM0::begin_handler(int exception, int priority, Cycles start)
{
    active_.push_back(Active{exception, priority, start});
    ++handler_stats_.at(exception).count;
    std::uint32_t vector = 0;
    if (!peek(4 * static_cast<std::uint32_t>(exception), 4, vector)) {
        lock_up(); // no vector table where the core fetches it
        return;
    }
    r_[15] = vector & ~1u;
    set_thumb(vector & 1); // an even vector faults at the handler's first instruction
    sleeping_ = false;
    event_ = true;
    forget_loop();
}

void CortexM0::finish_handler(const Active &done, Cycles end)
{
    HandlerStats &stats = handler_stats_.at(done.exception);
    const Cycles span = end - done.entered;
    stats.cycles_total += span;
    if (span > stats.cycles_max) stats.cycles_max = span;
}

void CortexM0::exception_return(std::uint32_t exc_return)
{
    const std::uint32_t kind = exc_return & 15;
    const bool to_thread = kind == 9 || kind == 13;
    if ((exc_return & 0x0FFFFFF0) != 0x0FFFFFF0 || !(to_thread || kind == 1) || to_thread != (active_.size() == 1)) {
        fault();
    }
    const Active done = active_.back();
    active_.pop_back();
    if (from_source(done.exception)) exceptions_.deactivate(done.exception);
    forget_loop();
    event_ = true;

    int priority;
    const int next = stepping_ ? -1 : pending_exception(execution_priority(), priority);
    if (next >= 0) {
        // Tail-chain: the frame on the stack serves the next handler too.
        finish_handler(done, now_);
        if (next == kNmi) {
            nmi_pending_ = false;
        } else {
            exceptions_.activate(next);
        }
        begin_handler(next, priority, now_);
        r_[14] = exc_return;
        now_ += kTailChainCycles;
        return;
    }

    const bool to_process = kind == 13;
    std::uint32_t sp = to_process ? other_sp_ : r_[13];
    std::uint32_t words[8];
    if (const std::uint8_t *in_ram = frame_in_ram(sp)) {
        std::memcpy(words, in_ram, sizeof words); // what the eight loads would do, at once
        spin_load_ = sp + 28;
    } else {
        for (unsigned i = 0; i < 8; ++i) words[i] = load<4, Mode::Fast>(sp + 4 * i, now_);
    }
    r_[0] = words[0];
    r_[1] = words[1];
    r_[2] = words[2];
    r_[3] = words[3];
    r_[12] = words[4];
    r_[14] = words[5];
    r_[15] = words[6] & ~1u;
    const std::uint32_t psr = words[7];
    set_xpsr(psr);
    set_thumb((psr >> 24) & 1);
    sp = (sp + 0x20) | ((psr >> 7) & 4);
    if (to_process) {
        other_sp_ = r_[13];
        r_[13] = sp;
        spsel_ = true;
    } else {
        r_[13] = sp;
    }
    now_ += kReturnCycles;
    finish_handler(done, now_);
}

} // namespace sim
