#include "shells/sim/host_cpu.h"

#include <algorithm>
#include <utility>

#include "shells/sim/firmware_symbols.h"

namespace sim {

namespace {

// The firmware's vectors cover every exception the NVIC can raise.
static_assert(snt_host::kExceptionCount == kExceptionCount, "one vector per exception of the Cortex-M0");

// Busy-wait detection: the same read, made from the same place in the
// firmware, returning the same value this many times in a row at one nesting
// depth is a polling loop. (A chain of flag tests reads one register from
// several places and is not.)
constexpr int kPollRepeats = 2;

// A quiet store to a port whose listeners are bus devices only
// (snt_host::kHandedPorts): as the Port's write does it.
void store_to_port(void *port, std::uint32_t offset, std::uint32_t value)
{
    static_cast<Gpio *>(port)->write_output_data(offset, value);
}

// A quiet read of the ADC's data (snt_host::QuietStores::data_read): as
// the Port's read does it.
void data_read(void *adc) { static_cast<Adc *>(adc)->data_read(); }

} // namespace

HostCpu::HostCpu(Board &board, const std::string &module_path)
    : board_(board), sched_(board.scheduler()), module_(std::make_unique<FirmwareModule>(module_path))
{
    parts_ = SNT_FW(*module_, host_attach)(this);
    quiet_ = parts_->quiet;
    // What the quiet reads read: the ADC lives as long as the board.
    Adc &adc = board.adc();
    quiet_->adc_isr = adc.status_word();
    quiet_->adc_dr = adc.data_word();
    quiet_->data_read = &data_read;
    quiet_->data_read_context = &adc;
}

HostCpu::~HostCpu()
{
    fiber_.reset(); // unwinds a main() that is still running
}

CpuFactory HostCpu::factory(std::string module_path)
{
    return [path = std::move(module_path)](Board &board) { return std::make_unique<HostCpu>(board, path); };
}

// ----------------------------------------------------------------- running

bool HostCpu::run_until(const std::function<bool()> &done, Cycles until)
{
    if (done()) return true;
    if (fiber_ && fiber_->finished()) throw BoardError("the firmware has stopped");
    pause_at_ = until;
    done_ = &done;
    if (!fiber_) {
        auto main_fn = parts_->main_entry;
        fiber_ = std::make_unique<CpuFiber>([main_fn] { main_fn(); });
    }
    try {
        fiber_->resume();
    } catch (...) {
        close_quiet();
        done_ = nullptr;
        throw;
    }
    close_quiet(); // main() may have returned with stores made
    done_ = nullptr;
    if (fiber_->finished()) throw BoardError("main() returned");
    return done();
}

bool HostCpu::waiting_for_line() const
{
    return main_loop_waiting_ && depth_ == 0 && board_.nvic().next_to_take(kThreadPriority) < 0 &&
        *parts_->line_flag == 0;
}

// The per-access steps are inlined into read() and write(): the firmware
// makes ten thousand accesses a point, nearly all of them with nothing due.
inline __attribute__((always_inline)) bool HostCpu::maybe_pause()
{
    if (!fiber_ || !fiber_->inside()) return false; // a test calling the firmware itself
    if (board_.pause_requested()) {
        board_.take_pause_request();
        fiber_->yield();
        return true;
    }
    if (sched_.now() >= pause_at_ || (done_ != nullptr && (*done_)())) {
        fiber_->yield();
        return true;
    }
    return false;
}

// ------------------------------------------------------------- the core side

// Called where a handler is entered (close_quiet explains the terms).
inline __attribute__((always_inline)) void HostCpu::open_quiet_reads()
{
    snt_host::QuietStores &q = *quiet_;
    q.now = sched_.now();
    if (board_.readable_adc() == nullptr || board_.done_reads() != Board::DoneReads::BoardState ||
        board_.nvic().ready() || board_.pause_requested() || !fiber_ || !fiber_->inside() ||
        (done_ != nullptr && (*done_)())) {
        return;
    }
    q.poll = &poll_state();
    q.read_attention = std::min(sched_.next_due(), pause_at_);
}

int HostCpu::current_priority() const
{
    return depth_ == 0 ? kThreadPriority : board_.nvic().priority_of(active_[depth_ - 1]);
}

void HostCpu::take_interrupts()
{
    Nvic &nvic = board_.nvic();
    while (nvic.ready()) {
        const int exception = nvic.next_to_take(current_priority());
        if (exception < 0) return;
        const snt_host::Handler handler = parts_->vectors[exception];
        if (handler == nullptr) {
            throw BoardError("exception " + std::to_string(exception) +
                             " has no handler: the chip would halt in Default_Handler");
        }
        if (depth_ == kMaxNesting) throw BoardError("interrupts nested too deeply");
        nvic.activate(exception);
        active_[depth_++] = exception;
        poll_state() = PollState{};
        const Cycles entered = sched_.now();
        open_quiet_reads();
        handler();
        close_quiet(); // the handler's last access may have opened them
        --depth_;
        nvic.deactivate(exception);
        HandlerFigures &h = handlers_[exception];
        const Cycles spent = sched_.now() - entered;
        ++h.count;
        h.cycles_total += spent;
        if (spent > h.cycles_max) h.cycles_max = spent;
    }
}

inline __attribute__((always_inline)) void HostCpu::boundary()
{
    ++quiet_->accesses;
    sched_.advance_to(sched_.now() + kAccessCycles);
    if (board_.nvic().ready()) take_interrupts();
}

inline __attribute__((always_inline)) void HostCpu::stall_while_flash_busy()
{
    // Code and vectors live in flash: while it erases or programs, the core
    // fetches nothing, so no instruction and no interrupt runs.
    const Flash &flash = board_.flash();
    if (__builtin_expect(!flash.busy(), 1) || flash.busy_until() <= sched_.now()) return;
    flash_stall_cycles_ += flash.busy_until() - sched_.now();
    sched_.advance_to(flash.busy_until());
}

// An access other than a read that polls: the main loop no longer waits,
// and the read before it starts no polling loop.
inline __attribute__((always_inline)) void HostCpu::leave_wait()
{
    if (depth_ == 0) main_loop_waiting_ = false;
    // Every read names the place it was made from: no read matches a null site.
    poll_state().site = nullptr;
}

void HostCpu::skip_to_next_event()
{
    if (!sched_.has_events()) {
        throw BoardError("the firmware waits for an event that can never come, at " + std::to_string(sched_.now()) +
                         " cycles");
    }
    sched_.advance_to_next_event();
}

void HostCpu::after_read(const void *site, std::uint32_t address, std::uint32_t value)
{
    PollState &p = poll_state();
    if (p.site == site && p.address == address && p.value == value) {
        if (++p.repeats >= kPollRepeats) skip_to_next_event();
    } else {
        p = PollState{site, address, value, 0};
    }
}

// Quiet stores (snt_host::QuietStores) are open between two Port calls
// when a store to a GPIO output latch nobody listens to can change nothing
// but that latch, the time and the count: no event comes due within the
// access, no interrupt is ready, the flash is idle, no pause is asked for or
// due, and the run's `done` reads nothing they change (Board::DoneReads).
// All of that changes only in the board's own code, which runs inside a
// Port call (or outside the fiber, while they are closed): so a Port call
// closes them on entry, taking over what the stores moved on, and a write
// opens them again, worked out afresh, on its way back to the firmware.
// (Reads and waits leave them shut: the stores come in runs after a write,
// and the first store after a read goes through the Port and opens them.)
// An interrupt handler's writes open them too, so they are closed again
// when it returns. Most writes are of this kind: the firmware's delay loops
// toggle PA2, which nothing watches. The stores to the synthesizer's bus
// pins are quiet too while only bus devices listen to them, which go by the
// levels alone: the module hands each one to the port at once
// (store_to_port), the board's time lagging behind as for the others.
//
// Quiet reads (of the ADC's ISR and DR) are opened, on the same terms,
// where a handler is entered, for its reads of the sample; and since the
// Port evaluates the run's `done` after each read, only while `done` is
// false. A read of ISR changes nothing, and one of DR nothing `done` may
// read (Board::DoneReads), so `done` stays false while they are open.
// Their time and accesses are taken over as the stores' are; the module
// keeps the record of the last read (poll_state()) itself, so that a
// polling loop is told as on the Port.
inline __attribute__((always_inline)) void HostCpu::close_quiet()
{
    snt_host::QuietStores &q = *quiet_;
    if ((q.attention[0] | q.attention[1] | q.read_attention) == 0) return;
    if (q.read_attention != 0) {
        q.read_attention = 0;
        if (q.now != sched_.now()) { // reads were made; no event falls within them
            q.accesses += (q.now - sched_.now()) / kAccessCycles;
            sched_.advance_to(q.now);
        }
        return;
    }
    q.attention[0] = q.attention[1] = 0;
    if (q.now != sched_.now()) {
        // Stores were made: the latches take what they stored, their time
        // passes (no event falls within it), and each was an access that
        // ends a wait and a polling loop.
        for (std::size_t port = 0; port < quiet_latches_.size(); ++port) {
            if (quiet_latches_[port] != nullptr) *quiet_latches_[port] = q.odr[port];
        }
        q.accesses += (q.now - sched_.now()) / kAccessCycles;
        sched_.advance_to(q.now);
        leave_wait();
    }
}

inline __attribute__((always_inline)) void HostCpu::open_quiet()
{
    snt_host::QuietStores &q = *quiet_;
    q.now = sched_.now();
    if (board_.done_reads() != Board::DoneReads::BoardState || board_.nvic().ready() || board_.flash().busy() ||
        board_.pause_requested() || !fiber_ || !fiber_->inside()) {
        return;
    }
    const Cycles attention = std::min(sched_.next_due(), pause_at_);
    for (std::size_t port = 0; port < quiet_latches_.size(); ++port) {
        if (snt_host::kHandedPorts[port]) {
            quiet_latches_[port] = nullptr;
            if (Gpio *gpio = board_.bus_output_port(port)) {
                q.hand_over[port] = &store_to_port;
                q.hand_over_context[port] = gpio;
                q.attention[port] = attention;
            }
            continue;
        }
        std::uint32_t *latch = board_.quiet_output_latch(port);
        quiet_latches_[port] = latch;
        if (latch != nullptr) {
            q.odr[port] = *latch;
            q.attention[port] = attention;
        }
    }
}

std::uint32_t HostCpu::read(std::uint32_t address, unsigned size, const void *site)
{
    close_quiet();
    boundary();
    if (depth_ == 0) main_loop_waiting_ = false;
    const std::uint32_t value = board_.cpu_read(address, size);
    after_read(site, address, value);
    maybe_pause();
    return value;
}

void HostCpu::write(std::uint32_t address, std::uint32_t value, unsigned size)
{
    close_quiet();
    boundary();
    leave_wait();
    if (!board_.cpu_write_output_data(address, value)) board_.cpu_write(address, value, size);
    stall_while_flash_busy();
    maybe_pause();
    open_quiet();
}

void HostCpu::wait_hint(const volatile void *watched)
{
    close_quiet();
    // The loop polls a 32-bit word; it ends as soon as that word changes.
    wait_for_change(static_cast<const volatile std::uint32_t *>(watched));
}

// The firmware's loop around its wait hint tests nothing but the word, so
// the wait goes on here, event after event, until the word has changed.
void HostCpu::wait_for_change(const volatile std::uint32_t *word)
{
    const std::uint32_t before = *word;
    // Whether the interrupts and the word are to be looked at before the
    // next event: at the start, and after the run paused (the board may have
    // been changed meanwhile). Otherwise they were just looked at, after the
    // last event, and nothing has happened since.
    bool look = true;
    for (;;) {
        if (look) {
            if (board_.nvic().ready()) take_interrupts();
            if (*word != before) {
                maybe_pause();
                return;
            }
        }
        if (depth_ == 0 && word == parts_->line_flag) {
            main_loop_waiting_ = true;
            board_.main_loop_waits();
            maybe_pause();
            if (*word != before) return;
        }
        skip_to_next_event();
        if (board_.nvic().ready()) take_interrupts();
        look = maybe_pause();
        if (*word != before) return;
    }
}

} // namespace sim
