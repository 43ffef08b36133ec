// The board's virtual time: events run at their own times, those due at
// the same cycle in the order they were scheduled, whichever kind of action
// they carry; a cancelled event keeps its place in time but does not run.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "board/peripherals/scheduler.h"

namespace {

using sim::Cycles;
using sim::Scheduler;

// Notes each event that runs as "name@time".
struct Log {
    Scheduler &sched;
    std::string text;
    void note(const std::string &name) { text += name + "@" + std::to_string(sched.now()) + " "; }
    void note_c() { note("c"); }
};

// One of several plain events, which notes its number.
struct Numbered {
    Log *log;
    int number;
    void note() const { log->note(std::to_string(number)); }
};

// A mix of function and plain events; `cancel` names one to cancel.
std::string run_mix(const std::string &cancel)
{
    Scheduler sched;
    Log log{sched, ""};
    const auto a = sched.schedule_at(30, [&] { log.note("a"); });
    const auto c = sched.call_at<&Log::note_c>(10, log);
    const auto b = sched.schedule_at(10, [&] { log.note("b"); });
    const auto d = sched.schedule_at(5, [&] {
        log.note("d");
        // Scheduled from a running event, for its own time and a later one.
        sched.schedule_in(0, [&] { log.note("e"); });
        sched.call_at<&Log::note_c>(30, log);
    });
    const auto f = sched.call_at<&Log::note_c>(0, log); // due at once: runs at the next advance
    const std::pair<const char *, Scheduler::EventId> ids[] = {{"a", a}, {"b", b}, {"c", c}, {"d", d}, {"f", f}};
    for (const auto &[name, id] : ids) {
        if (cancel == name) sched.cancel(id);
    }
    sched.advance_to(100);
    return log.text;
}

TEST(Scheduler, RunsEventsInTimeThenSchedulingOrder)
{
    const struct {
        const char *cancel, *expected;
    } cases[] = {
        {"", "c@0 d@5 e@5 c@10 b@10 a@30 c@30 "}, {"a", "c@0 d@5 e@5 c@10 b@10 c@30 "},
        {"c", "c@0 d@5 e@5 b@10 a@30 c@30 "},     {"d", "c@0 c@10 b@10 a@30 "},
        {"f", "d@5 e@5 c@10 b@10 a@30 c@30 "},
    };
    for (const auto &c : cases) EXPECT_EQ(run_mix(c.cancel), c.expected) << "cancelled: " << c.cancel;
}

TEST(Scheduler, ACancelledEventStillMarksItsTime)
{
    Scheduler sched;
    Log log{sched, ""};
    const auto early = sched.call_at<&Log::note_c>(20, log);
    sched.schedule_at(50, [&] { log.note("late"); });
    sched.cancel(early);
    sched.cancel(early); // a second time finds nothing
    ASSERT_TRUE(sched.has_events());
    EXPECT_EQ(sched.next_event_time(), Cycles{20});
    EXPECT_EQ(sched.next_due(), Cycles{20});
    sched.advance_to_next_event();
    EXPECT_EQ(sched.now(), Cycles{20});
    EXPECT_EQ(log.text, "");
    EXPECT_EQ(sched.next_event_time(), Cycles{50});
    sched.advance_to_next_event();
    EXPECT_EQ(log.text, "late@50 ");
    EXPECT_FALSE(sched.has_events());
    EXPECT_EQ(sched.next_due(), ~Cycles{0});
}

// Plain events beyond the few kept apart from the rest, with ties and one
// cancelled, keep the order of time and then of scheduling.
TEST(Scheduler, ManyPlainEventsKeepTheirOrder)
{
    const struct {
        int cancel;
        const char *expected;
    } cases[] = {
        {-1, "4@5 1@10 3@10 0@20 2@20 "},
        {1, "4@5 3@10 0@20 2@20 "},
        {4, "1@10 3@10 0@20 2@20 "},
        {2, "4@5 1@10 3@10 0@20 "},
    };
    for (const auto &c : cases) {
        Scheduler sched;
        Log log{sched, ""};
        const Cycles when[] = {20, 10, 20, 10, 5};
        Numbered events[5];
        Scheduler::EventId ids[5];
        for (int i = 0; i < 5; ++i) {
            events[i] = {&log, i};
            ids[i] = sched.call_at<&Numbered::note>(when[i], events[i]);
        }
        if (c.cancel >= 0) sched.cancel(ids[c.cancel]);
        EXPECT_EQ(sched.next_due(), Cycles{5}); // a cancelled event still marks its time
        sched.advance_to(100);
        EXPECT_EQ(log.text, c.expected) << "cancelled: " << c.cancel;
        EXPECT_FALSE(sched.has_events());
    }
}

} // namespace
