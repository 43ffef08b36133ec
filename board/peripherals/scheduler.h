// Virtual time of the board and the events that come due in it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

using Cycles = std::uint64_t;

// The core clock: every time on the board is a count of its cycles.
constexpr Cycles kCoreHz = 8'000'000;

// Rounds to the nearest cycle; for durations, which are never negative
// (std::llround would do the same but is not constexpr).
constexpr Cycles us_to_cycles(double us)
{
    return static_cast<Cycles>(us * (kCoreHz / 1'000'000.0) + 0.5); // NOLINT(bugprone-incorrect-roundings)
}
constexpr double cycles_to_us(Cycles c) { return static_cast<double>(c) / (kCoreHz / 1'000'000.0); }

// Events in time order; events due at the same cycle run in the order they
// were scheduled. A cancelled event is dropped when it comes due (until
// then it still counts for has_events() and next_event_time()).
class Scheduler {
public:
    using EventId = std::uint64_t;

    Cycles now() const { return now_; }

    EventId schedule_at(Cycles when, std::function<void()> action);
    EventId schedule_in(Cycles delay, std::function<void()> action)
    {
        return schedule_at(now_ + delay, std::move(action));
    }
    void cancel(EventId id);

    bool has_events() const { return !heap_.empty(); }
    // Time of the earliest pending event; only meaningful when has_events().
    Cycles next_event_time() const { return heap_.front().when; }
    // The same, or the largest Cycles when no event is pending.
    Cycles next_due() const { return next_due_; }

    // Moves time forward to `until`, running every event due on the way at
    // its own time. Inline for the common case of nothing due: the CPUs
    // call it at every register access.
    void advance_to(Cycles until)
    {
        if (next_due_ <= until) return run_events_to(until);
        if (until > now_) now_ = until;
    }
    // Takes time back to `when` after an advance_to() that ran no event (a
    // look ahead, as the chip's core makes before it lets a delay loop's
    // passes go at once): nothing happened at the times looked at.
    void set_back(Cycles when) { now_ = when; }
    // Moves time to the next event and runs all events due then.
    void advance_to_next_event();

private:
    // The heap holds only times and numbers, so that keeping it in order
    // moves a few words; the actions wait in slots, which are reused.
    struct Entry {
        Cycles when;
        EventId id;
        std::uint32_t slot;
        bool operator>(const Entry &o) const { return when != o.when ? when > o.when : id > o.id; }
    };
    struct Slot {
        std::function<void()> action;
        EventId id = 0; // 0: free, or its event cancelled
    };
    void run_due();
    void run_events_to(Cycles until);
    // Keeps next_due_ in step with the heap's front.
    void heap_changed() { next_due_ = heap_.empty() ? kNever : heap_.front().when; }

    static constexpr Cycles kNever = ~Cycles{0};

    Cycles now_ = 0;
    EventId next_id_ = 1;
    std::vector<Entry> heap_; // a min-heap by (when, id)
    // The time of the heap's front, kNever when it is empty: advance_to()
    // tests one word.
    Cycles next_due_ = kNever;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> free_slots_;
};

} // namespace sim
