#include "board/peripherals/scheduler.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace sim {

Scheduler::EventId Scheduler::schedule_at(Cycles when, std::function<void()> action)
{
    const EventId id = next_id_++;
    std::uint32_t slot;
    if (free_slots_.empty()) {
        slot = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    } else {
        slot = free_slots_.back();
        free_slots_.pop_back();
    }
    slots_[slot].action = std::move(action);
    slots_[slot].id = id;
    heap_.push_back(Entry{std::max(when, now_), id, slot});
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
    heap_changed();
    return id;
}

void Scheduler::cancel(EventId id)
{
    // Few events are pending at a time: a look at each slot is quick. An
    // event that has already run, or was cancelled before, is not found.
    if (id == 0) return;
    for (Slot &s : slots_) {
        if (s.id == id) {
            s.id = 0;
            s.action = nullptr;
            return;
        }
    }
}

void Scheduler::run_due()
{
    while (!heap_.empty() && heap_.front().when <= now_) {
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
        const Entry e = heap_.back();
        heap_.pop_back();
        heap_changed();
        Slot &s = slots_[e.slot];
        const bool live = s.id == e.id;
        // The slot is free again before the action runs: it may schedule.
        std::function<void()> action = std::move(s.action);
        s.action = nullptr;
        s.id = 0;
        free_slots_.push_back(e.slot);
        if (live) action();
    }
}

void Scheduler::run_events_to(Cycles until)
{
    while (!heap_.empty() && heap_.front().when <= until) {
        now_ = std::max(now_, heap_.front().when);
        run_due();
    }
    now_ = std::max(now_, until);
}

void Scheduler::advance_to_next_event()
{
    if (!heap_.empty()) {
        advance_to(heap_.front().when);
    }
}

} // namespace sim
