#include "board/peripherals/scheduler.h"

#include <algorithm>
#include <utility>

namespace sim {

Scheduler::EventId Scheduler::schedule_at(Cycles when, std::function<void()> action)
{
    const EventId id = next_id_++;
    queue_.push(Event{std::max(when, now_), id, std::move(action)});
    return id;
}

void Scheduler::cancel(EventId id)
{
    if (id != 0) {
        cancelled_.push_back(id);
    }
}

void Scheduler::run_due()
{
    while (!queue_.empty() && queue_.top().when <= now_) {
        // Taken out before it is popped: its time and number stay, and they
        // are all the heap compares.
        Event ev = std::move(const_cast<Event &>(queue_.top()));
        queue_.pop();
        auto it = std::find(cancelled_.begin(), cancelled_.end(), ev.id);
        if (it != cancelled_.end()) {
            cancelled_.erase(it);
            continue;
        }
        ev.action();
    }
}

void Scheduler::run_events_to(Cycles until)
{
    while (!queue_.empty() && queue_.top().when <= until) {
        now_ = std::max(now_, queue_.top().when);
        run_due();
    }
    now_ = std::max(now_, until);
}

void Scheduler::advance_to_next_event()
{
    if (!queue_.empty()) {
        advance_to(queue_.top().when);
    }
}

} // namespace sim
