// Virtual time of the board and the events that come due in it.
#pragma once

#include <algorithm>
#include <array>
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
    // An action that is a plain function of one pointer: cheaper to keep
    // and to run than a std::function, for the sources that schedule an
    // event every few hundred cycles (the timer's overflow, the ADC's
    // conversion).
    using Callback = void (*)(void *);
    // Inline: those sources call it for every event they schedule.
    EventId schedule_at(Cycles when, Callback callback, void *context)
    {
        Entry *const p = places_[0].id == kFree ? places_.data()
            : places_[1].id == kFree            ? places_.data() + 1
                                                : nullptr;
        if (p == nullptr) return add(when, callback, context, kNoSlot);
        const EventId id = next_id_++;
        p->when = std::max(when, now_);
        p->id = id;
        p->callback = callback;
        p->context = context;
        p->live = true; // a place's slot is always kNoSlot
        if (p->when < next_due_) next_due_ = p->when;
        return id;
    }
    // schedule_at() of `(object.*Method)()`.
    template <auto Method, typename T>
    EventId call_at(Cycles when, T &object)
    {
        return schedule_at(
            when, [](void *o) { (static_cast<T *>(o)->*Method)(); }, &object);
    }
    EventId schedule_in(Cycles delay, std::function<void()> action)
    {
        return schedule_at(now_ + delay, std::move(action));
    }
    // Inline for id 0 (no event), which the timer cancels at every overflow.
    void cancel(EventId id)
    {
        if (id != 0) cancel_event(id);
    }

    bool has_events() const { return !queue_.empty() || places_[0].id != kFree || places_[1].id != kFree; }
    // Time of the earliest pending event; only meaningful when has_events().
    Cycles next_event_time() const { return next_due_; }
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
    // Moves time to the next event and runs all events due then. Inline:
    // a CPU that waits for an event calls it for every one.
    void advance_to_next_event()
    {
        if (has_events()) run_events_to(next_due_);
    }

private:
    // Few events are pending at a time (one or two a source), so they are
    // kept in a vector sorted latest first: the next one is at the back,
    // taken with a pop, and a new one goes in after a short search from the
    // back. A std::function action waits in a slot, which is reused.
    struct Entry {
        Cycles when;
        EventId id;
        Callback callback; // nullptr: the action in slots_[slot]
        void *context;
        std::uint32_t slot;
        bool live; // false once cancelled
    };
    EventId add(Cycles when, Callback callback, void *context, std::uint32_t slot);
    std::uint32_t take_slot();
    void run_events_to(Cycles until);
    void cancel_event(EventId id);
    // Keeps next_due_ in step with the queue's back and the places.
    void queue_changed()
    {
        queue_due_ = queue_.empty() ? kNever : queue_.back().when;
        next_due_ = std::min({places_[0].when, places_[1].when, queue_due_});
    }
    // Whether `a` runs before `b`.
    static bool before(const Entry &a, const Entry &b) { return a.when < b.when || (a.when == b.when && a.id < b.id); }

    static constexpr Cycles kNever = ~Cycles{0};
    static constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};

    Cycles now_ = 0;
    EventId next_id_ = 1;
    std::vector<Entry> queue_; // by (when, id), latest first
    // Plain-function events wait here first, one to a place (id kFree and
    // when kNever: free), and in the queue only when both are taken: the two
    // sources that schedule one every few hundred cycles (the timer's
    // overflow, the ADC's conversion) then skip the queue's insert. The
    // order is (when, id) across places and queue alike.
    static constexpr EventId kFree = ~EventId{0};
    static constexpr Entry kFreePlace{kNever, kFree, nullptr, nullptr, kNoSlot, false};
    std::array<Entry, 2> places_{kFreePlace, kFreePlace};
    // The time of the queue's back, kNever when it is empty: advance_to()
    // tests one word.
    Cycles next_due_ = kNever;
    // The time of the queue's back, kNever when it is empty.
    Cycles queue_due_ = kNever;
    std::vector<std::function<void()>> slots_;
    std::vector<std::uint32_t> free_slots_;
};

} // namespace sim
