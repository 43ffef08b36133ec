#include "shells/snt/interrupt.h"

#include <signal.h>

#include <atomic>

namespace snt {

namespace {
// The one piece of global state: the number of the signal that asked us to stop.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_signal(int number) { g_signal.store(number); }
} // namespace

Interrupted::Interrupted(int signal_number)
    : std::runtime_error(signal_number == SIGTERM ? "terminated" : "interrupted"), signal_(signal_number)
{}

void install_interrupt_handlers()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

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
