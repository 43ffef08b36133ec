#include "board/peripherals/scheduler.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace sim {

std::uint32_t Scheduler::take_slot()
{
    if (free_slots_.empty()) {
        slots_.emplace_back();
        return static_cast<std::uint32_t>(slots_.size() - 1);
    }
    const std::uint32_t slot = free_slots_.back();
    free_slots_.pop_back();
    return slot;
}

Scheduler::EventId Scheduler::add(Cycles when, Callback callback, void *context, std::uint32_t slot)
{
    const EventId id = next_id_++;
    const Entry e{std::max(when, now_), id, callback, context, slot, true};
    // The new event has the largest number: it goes after every event due
    // at the same time or before, which lie at the back.
    auto at = queue_.end();
    while (at != queue_.begin() && (at - 1)->when <= e.when) --at;
    queue_.insert(at, e);
    queue_changed();
    return id;
}

Scheduler::EventId Scheduler::schedule_at(Cycles when, std::function<void()> action)
{
    const std::uint32_t slot = take_slot();
    slots_[slot] = std::move(action);
    return add(when, nullptr, nullptr, slot);
}

void Scheduler::cancel_event(EventId id)
{
    // Few events are pending at a time: a look at each is quick. An event
    // that has already run, or was cancelled before, is not found.
    for (Entry &p : places_) {
        if (p.id == id) {
            p.live = false;
            return;
        }
    }
    for (Entry &e : queue_) {
        if (e.id == id && e.live) {
            e.live = false;
            if (e.slot != kNoSlot) slots_[e.slot] = nullptr;
            return;
        }
    }
}

void Scheduler::run_events_to(Cycles until)
{
    // Each event runs at its own time, in (when, id) order over the places
    // and the queue; one that an action schedules for the time being (or
    // earlier) runs before time moves on. next_due_ tells at once whether
    // any event is due.
    while (next_due_ <= until) {
        // A free place is due never, after every event.
        const std::size_t first = before(places_[1], places_[0]) ? 1 : 0;
        Entry &place = places_[first];
        if (place.when < queue_due_ || queue_.empty() || before(place, queue_.back())) {
            if (place.id == kFree) break;
            const Callback callback = place.callback;
            void *const context = place.context;
            const bool live = place.live;
            now_ = std::max(now_, place.when);
            place.when = kNever;
            place.id = kFree;
            // queue_changed(), knowing that this place was the earliest.
            const Cycles other = places_[first ^ 1].when;
            next_due_ = std::min(other, queue_due_);
            if (live) callback(context);
            continue;
        }
        const Entry e = queue_.back();
        queue_.pop_back();
        queue_changed();
        now_ = std::max(now_, e.when);
        if (e.slot == kNoSlot) {
            if (e.live) e.callback(e.context);
            continue;
        }
        // The slot is free again before the action runs: it may schedule.
        std::function<void()> action = std::move(slots_[e.slot]);
        slots_[e.slot] = nullptr;
        free_slots_.push_back(e.slot);
        if (e.live) action();
    }
    now_ = std::max(now_, until);
}

} // namespace sim
