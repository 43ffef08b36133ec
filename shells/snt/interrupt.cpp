#include "shells/snt/interrupt.h"

#include <signal.h>

#include <atomic>

namespace snt {

namespace {
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The one piece of global state: the number of the signal that asked us to stop.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_signal(int number) { g_signal.store(number); }
} // namespace

namespace {
const char *what_stopped(int signal_number)
{
    switch (signal_number) {
    case SIGTERM:
        return "terminated";
    case SIGHUP:
        return "hung up";
    default:
        return "interrupted";
    }
}
} // namespace

Interrupted::Interrupted(int signal_number) : std::runtime_error(what_stopped(signal_number)), signal_(signal_number) {}

void install_interrupt_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    for (const int s : kStopSignals) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

StopSignalsBlocked::StopSignalsBlocked()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kStopSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
}

StopSignalsBlocked::~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

void check_interrupt()
{
    const int s = g_signal.load();
    if (s != 0) throw Interrupted(s);
}

InterruptSetAside::InterruptSetAside() : signal_(g_signal.exchange(0)) {}

InterruptSetAside::~InterruptSetAside()
{
    int none = 0;
    g_signal.compare_exchange_strong(none, signal_);
}

} // namespace snt
