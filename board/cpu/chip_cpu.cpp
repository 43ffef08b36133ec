#include "board/cpu/chip_cpu.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "board/board.h"
#include "board/cpu/firmware_symbol.h"
#include "board/peripherals/memory_map.h"

namespace sim {

namespace {

// System handler priority registers of the SCB: SVCall in SHPR2, PendSV in
// SHPR3, each in the top byte of its field.
constexpr std::uint32_t kShpr2 = kScbBase + Nvic::Scb::kShpr2, kShpr3 = kScbBase + Nvic::Scb::kShpr3;
constexpr int kSvCall = 11, kPendSv = 14, kHardFault = 3;

// The main loop's line flag, as the firmware declares it.
constexpr auto kLineFlag = SNT_FW_SYMBOL(rx_byte_f);

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

CortexM0::Memory chip_memory()
{
    CortexM0::Memory m;
    m.flash_base = kFlashMemoryBase;
    m.flash_size = kSettingsPageBase - m.flash_base; // the settings page is the flash model's
    m.ram_base = kRamBase;
    m.ram_size = kRamSize;
    return m;
}

} // namespace

ChipCpu::ChipCpu(Board &board, ElfImage image)
    : board_(board), image_(std::move(image)), core_(*this, *this, chip_memory())
{
    for (const auto &segment : image_->segments()) {
        try {
            core_.load(segment.address, segment.bytes.data(), segment.bytes.size());
        } catch (const std::out_of_range &) {
            throw ImageError(image_->name() + ": " + std::to_string(segment.bytes.size()) + " bytes at " +
                             hex(segment.address) + " do not fit the chip's flash below the settings page");
        }
    }
    // The main loop waits for a line by polling this word.
    rx_byte_f_ = image_->require(kLineFlag.name);
    core_.advance(board_.now());
    core_.reset();
    name_quiet_outputs();
    // Accesses end a batch only when they changed what the batch must look
    // at (after_access).
    core_.set_bus_ends_batch(false);
}

ChipCpu::ChipCpu(Board &board, std::optional<ElfImage> elf, std::uint32_t vectors, const std::vector<std::uint8_t> &ram)
    : board_(board), image_(std::move(elf)), core_(*this, *this, chip_memory()), from_flash_(true)
{
    const Flash &flash = board_.flash();
    core_.load(kFlashMemoryBase, flash.program(), Flash::kProgramSize);
    if (!ram.empty()) core_.load(kRamBase, ram.data(), std::min<std::size_t>(ram.size(), kRamSize));
    if (image_) {
        // Its symbols name this program only if the flash holds its bytes.
        for (const auto &segment : image_->segments()) {
            const std::uint32_t at = segment.address - kFlashMemoryBase;
            bool same = at < Flash::kProgramSize && Flash::kProgramSize - at >= segment.bytes.size();
            for (std::size_t i = 0; same && i < segment.bytes.size(); ++i)
                same = flash.byte(static_cast<std::uint32_t>(at + i)) == segment.bytes[i];
            if (!same) {
                image_.reset();
                break;
            }
        }
    }
    if (image_) rx_byte_f_ = image_->symbol(kLineFlag.name).value_or(0);
    board_.flash().set_on_program_changed([this](std::uint32_t offset, std::size_t n) {
        core_.load(kFlashMemoryBase + offset, board_.flash().program() + offset, n);
    });
    core_.advance(board_.now());
    core_.reset();
    name_quiet_outputs();
    if (vectors != kFlashMemoryBase) {
        // Go to another vector table: its stack pointer and reset handler.
        std::uint32_t sp = 0, pc = 0;
        core_.peek(vectors, 4, sp);
        core_.peek(vectors + 4, 4, pc);
        core_.set_reg(13, sp);
        core_.set_reg(15, pc);
    }
}

ChipCpu::~ChipCpu()
{
    if (from_flash_) board_.flash().set_on_program_changed(nullptr);
}

CpuFactory ChipCpu::factory(ElfImage image)
{
    return [image = std::move(image)](Board &board) { return std::make_unique<ChipCpu>(board, image); };
}

CpuFactory ChipCpu::from_flash(std::optional<ElfImage> elf, std::uint32_t vectors, std::vector<std::uint8_t> ram)
{
    return [elf = std::move(elf), vectors, ram = std::move(ram)](Board &board) {
        return std::make_unique<ChipCpu>(board, elf, vectors, ram);
    };
}

const ElfImage &ChipCpu::image() const
{
    if (!image_) throw BoardError("the chip runs an image from flash without its ELF file: no symbols");
    return *image_;
}

std::string ChipCpu::describe(std::uint32_t address) const { return image_ ? image_->describe(address) : hex(address); }

HandlerFigures ChipCpu::handler(int exception) const
{
    const CortexM0::HandlerStats &h = core_.handler_stats(exception);
    return {h.count, h.cycles_max, h.cycles_total};
}

// ----------------------------------------------------------------- running

void ChipCpu::sync_time()
{
    // Events due by the core's time run now, in their own time order.
    board_.scheduler().advance_to(core_.now());
}

bool ChipCpu::run_until(const std::function<bool()> &done, Cycles until)
{
    done_ = &done;
    until_ = until;
    while (!done()) {
        if (halted_) break; // a debugger holds the core: no time passes
        if (halt_requested_) {
            halt(CoreHalt{CoreHalt::Kind::Interrupted, {}});
            break;
        }
        if (board_.take_pause_request()) break;
        if (core_.now() >= until) break;
        const CortexM0::Stop stop = core_.run(batch_limit());
        core_.clear_quiet_outputs(); // the board's code runs now
        sync_time();
        try {
            after_stop(stop);
        } catch (...) {
            done_ = nullptr;
            throw;
        }
    }
    done_ = nullptr;
    return done();
}

// A batch ends at the run's end or at the next event.
Cycles ChipCpu::batch_limit() const
{
    const Scheduler &sched = board_.scheduler();
    return sched.has_events() && sched.next_event_time() < until_ ? sched.next_event_time() : until_;
}

// A batch that reached its limit, most often the time of an event that
// changes nothing the core looks at (the timer's trigger of a conversion):
// what run_until does before its next batch is done here, so that the
// next batch follows inside the core's run. Where run_until would do more
// or stop (a flash stall, the run's condition or end reached, a pause or
// halt asked for), the core's run ends instead, and run_until does it: the
// clock brought up to the core's, done again there, changes nothing.
Cycles ChipCpu::batch_over()
{
    if (done_ == nullptr || flash_stall_pending_) return 0;
    core_.clear_quiet_outputs(); // the board's code runs now
    sync_time();
    if ((*done_)() || halted_ || halt_requested_ || board_.pause_requested() || core_.now() >= until_) return 0;
    return batch_limit();
}

void ChipCpu::after_stop(CortexM0::Stop stop)
{
    using Stop = CortexM0::Stop;
    if (flash_stall_pending_) {
        // Code and vectors live in flash: nothing runs until it is ready.
        flash_stall_pending_ = false;
        const Flash &flash = board_.flash();
        if (flash.busy() && flash.busy_until() > core_.now()) {
            // The operation began with the store; the core waits from the
            // end of that instruction.
            flash_stall_cycles_ += flash.busy_until() - flash_started_;
            core_.advance(flash.busy_until() - core_.now());
            sync_time();
        }
    }
    switch (stop) {
    case Stop::Limit:
    case Stop::BusAccess:
        return;
    case Stop::Sleeping: {
        Scheduler &sched = board_.scheduler();
        if (!sched.has_events()) halted("the chip sleeps waiting for an interrupt that can never come");
        core_.advance(sched.next_event_time() - core_.now());
        sync_time();
        return;
    }
    case Stop::Spinning:
        if (core_.current_exception() == kHardFault) {
            std::uint32_t stacked_pc = 0;
            core_.peek(core_.reg(13) + 24, 4, stacked_pc);
            return stuck("the chip is stuck in HardFault_Handler (the fault came at " + describe(stacked_pc) + ")");
        }
        if (rx_byte_f_ == 0 && !core_.handler_mode() && core_.spin_address() - kRamBase < kRamSize) {
            rx_byte_f_ = core_.spin_address(); // the first RAM word thread mode waits on
        }
        if (!core_.handler_mode() && rx_byte_f_ != 0 && core_.spin_address() == rx_byte_f_) {
            main_loop_waiting_ = true;
            main_loop_ = {core_.pc(), core_.spin_loop_end()};
            board_.main_loop_waits();
        }
        skip_idle(core_.spin_period());
        return;
    case Stop::Breakpoint:
        if (debugger_) return halt(CoreHalt{CoreHalt::Kind::Breakpoint, {}});
        halted("the chip stopped at a breakpoint at " + describe(core_.pc()));
    case Stop::Lockup:
        return stuck("the chip locked up (a fault while handling a fault) at " + describe(core_.pc()));
    case Stop::DebugBreakpoint:
    case Stop::Watchpoint:
    case Stop::Stepped:
        return after_debug_stop(stop);
    }
}

void ChipCpu::after_debug_stop(CortexM0::Stop stop)
{
    using Kind = CoreHalt::Kind;
    const Kind kind = stop == CortexM0::Stop::DebugBreakpoint ? Kind::Breakpoint
        : stop == CortexM0::Stop::Watchpoint                  ? Kind::Watchpoint
                                                              : Kind::Stepped;
    halt(CoreHalt{kind, {}});
}

void ChipCpu::stuck(const std::string &why)
{
    // Without a debugger the board stops; with one, the core halts there for
    // it to look.
    if (!debugger_) halted(why);
    halt(CoreHalt{CoreHalt::Kind::Fault, why});
}

void ChipCpu::halt(CoreHalt halt)
{
    halted_ = true;
    halt_requested_ = false;
    halt_ = std::move(halt);
}

void ChipCpu::request_halt()
{
    if (done_ == nullptr) return halt(CoreHalt{CoreHalt::Kind::Interrupted, {}}); // between two runs
    halt_requested_ = true;
    board_.request_pause();
}

void ChipCpu::release()
{
    halted_ = halt_requested_ = false;
    halt_.reset();
    core_.pass_breakpoint();
}

std::optional<CoreHalt> ChipCpu::take_halt()
{
    std::optional<CoreHalt> h;
    h.swap(halt_);
    return h;
}

void ChipCpu::reset()
{
    core_.reset();
    main_loop_waiting_ = false;
    main_loop_ = {1, 0};
    flash_stall_pending_ = false;
}

void ChipCpu::skip_idle(Cycles period)
{
    // The loop can only end through an event: let whole iterations pass
    // until the one during which the next event falls due.
    Scheduler &sched = board_.scheduler();
    if (!sched.has_events()) {
        halted("the chip waits for an event that can never come, at " + std::to_string(core_.now()) + " cycles");
    }
    if (period == 0 || sched.next_event_time() <= core_.now()) return;
    const Cycles iterations = (sched.next_event_time() - core_.now()) / period;
    if (iterations == 0) return;
    core_.advance(iterations * period);
    // The board's clock follows at once: a run that ends here (its limit
    // passed) must not leave it behind the core's, or the next short run
    // would find its limit passed before it starts and never move on.
    sync_time();
}

void ChipCpu::halted(const std::string &why) const { throw BoardError(why); }

bool ChipCpu::waiting_for_line() const
{
    if (rx_byte_f_ == 0) return false;
    std::uint32_t line_pending = 1;
    core_.peek(rx_byte_f_, decltype(kLineFlag)::chip_size(), line_pending);
    // Waiting means standing in the loop that polls the line flag: once the
    // main loop has left it to take a line, it is busy, bus access or not.
    const bool in_loop = core_.pc() >= main_loop_.first && core_.pc() <= main_loop_.second;
    return main_loop_waiting_ && in_loop && !core_.handler_mode() && board_.nvic().next_to_take(kThreadPriority) < 0 &&
        line_pending == 0;
}

// ------------------------------------------------------------ the core's bus

std::uint32_t ChipCpu::read(std::uint32_t address, unsigned size)
{
    core_.clear_quiet_outputs();
    sync_time();
    std::uint32_t value = 0;
    try {
        value = board_.cpu_read(address, size);
    } catch (const BoardError &e) {
        halted(std::string(e.what()) + ", read by the instruction at " + describe(core_.pc()));
    }
    after_access();
    return value;
}

// A word store to the output data of a GPIO port that nobody listens to
// changes its latch and nothing else: no event, no interrupt, nothing the
// run's `done` reads when it reads only the board's state. So it needs
// neither the board's clock brought up to the core's (the next access or
// the batch's end does that) nor the look after the access, as long as
// none of what that look ends the batch for is under way: an interrupt
// ready, a flash operation, a pause. Most of the chip's stores are of this
// kind: its delay loops toggle PA2, which nothing watches.
bool ChipCpu::stores_may_be_quiet() const
{
    return board_.done_reads() == Board::DoneReads::BoardState && !board_.pause_requested() && !board_.nvic().ready() &&
        !board_.flash().busy();
}

bool ChipCpu::quiet_store(std::uint32_t address, std::uint32_t value, unsigned size)
{
    if (size != 4 || !stores_may_be_quiet()) return false;
    if (!board_.cpu_write_quiet_output(address, value) && !hand_to_bus_port(address, value)) return false;
    // So are the next ones, until something else reaches the board: the
    // core makes them itself till then.
    grant_quiet_outputs();
    return true;
}

// The ports' registers, told to the core once (not granted): a grant
// gives it only the latches.
void ChipCpu::name_quiet_outputs()
{
    std::array<CortexM0::QuietOutput, CortexM0::kQuietOutputs> outputs{};
    const std::uint32_t bases[] = {kGpioaBase, kGpiofBase};
    for (std::size_t port = 0; port < outputs.size(); ++port) {
        outputs[port] = {bases[port], bases[port] + Gpio::kOdr, bases[port] + Gpio::kBsrr, bases[port] + Gpio::kBrr};
    }
    core_.set_quiet_outputs(outputs);
}

namespace {

// An output data store the core hands over: as the port's write does it.
void store_to_bus_port(void *port, std::uint32_t offset, std::uint32_t value)
{
    static_cast<Gpio *>(port)->write_output_data(offset, value);
}

// A port's latch while nobody listens to it, else its stores handed over
// while only bus devices listen to it; nothing granted otherwise.
CortexM0::QuietGrant quiet_grant(Board &board, std::size_t port)
{
    if (std::uint32_t *latch = board.quiet_output_latch(port)) return {latch, nullptr, nullptr};
    if (Gpio *gpio = board.bus_output_port(port)) return {nullptr, &store_to_bus_port, gpio};
    return {};
}

} // namespace

// A word store to the output data of GPIOF while only bus devices listen
// to it: they go by the levels alone and keep no time, so it is as quiet
// as a store to a port nobody listens to. Their answers (the synthesizer's
// SDA) reach the firmware through its reads of the port, which are not.
bool ChipCpu::hand_to_bus_port(std::uint32_t address, std::uint32_t value)
{
    const std::uint32_t offset = address - kGpiofBase;
    if (offset >= block(BlockId::Gpiof).size || !Gpio::is_output_data(offset)) return false;
    Gpio *gpio = board_.bus_output_port(1);
    if (gpio == nullptr) return false;
    gpio->write_output_data(offset, value);
    return true;
}

void ChipCpu::grant_quiet_outputs()
{
    static_assert(CortexM0::kQuietOutputs == 2, "GPIOA and GPIOF");
    core_.set_quiet_grants(quiet_grant(board_, 0), quiet_grant(board_, 1));
}

void ChipCpu::write(std::uint32_t address, std::uint32_t value, unsigned size)
{
    if (quiet_store(address, value, size)) return;
    core_.clear_quiet_outputs();
    sync_time();
    const bool was_busy = board_.flash().busy();
    try {
        if (size != 4 || !board_.cpu_write_output_data(address, value)) board_.cpu_write(address, value, size);
    } catch (const BoardError &e) {
        halted(std::string(e.what()) + ", written by the instruction at " + describe(core_.pc()));
    }
    if (!was_busy && board_.flash().busy()) {
        flash_stall_pending_ = true;
        flash_started_ = core_.now();
        return core_.end_batch();
    }
    after_access();
}

void ChipCpu::after_access()
{
    // The access happened at the first cycle of its instruction; what
    // run_until looks at between batches may have changed with it. The
    // batch goes on unless it must end after this instruction: for a pause,
    // the condition it runs to, or an exception now to be taken. An event
    // the access scheduled before the batch's end brings the end forward.
    if (board_.pause_requested() || (done_ != nullptr && (*done_)())) return core_.end_batch();
    const Nvic &nvic = board_.nvic();
    if (nvic.ready() && nvic.next_to_take(core_.execution_priority()) >= 0) return core_.end_batch();
    const Scheduler &sched = board_.scheduler();
    if (sched.has_events() && sched.next_event_time() < core_.batch_limit()) core_.limit_batch(sched.next_event_time());
}

// A delay loop's passes at once (CortexM0::fast_forward): the core has
// seen to the time (all before the batch's end, so before the next event
// and the run's `until`, and with no exception to be taken). Here: the
// stores must be GPIO set/reset stores of pins nobody watches (their only
// effect is ODR, which a pass leaves as the last one did); no flash
// operation under way; no pause or halt asked for; and run_until's stop
// condition must not come true on the way. The stop conditions there are
// (board.h run_until_idle and run_for, shells/serve/virtual_link.cpp,
// shells/wasm/board_module.cpp, shells/sim/snt_sim_main.cpp, the tests):
// - state the loop does not change: lines or bytes received, the serial
//   host finished, lines queued, the transmitter idle, RAM (the line flag);
// - waiting_for_line(), which also reads the core's pc: false all through
//   a loop that lies outside the main loop's polling loop (checked below);
// - a time reached, board.now() >= t: it only grows with the time, so if
//   it is false at the last store's time it was false at every store.
// So the condition is looked at once, at the time of the last store.
bool ChipCpu::may_fast_forward(const CortexM0::Bus::LoopSkip &loop)
{
    core_.clear_quiet_outputs();
    if (board_.pause_requested() || halt_requested_ || flash_stall_pending_ || board_.flash().busy()) return false;
    if (loop.first <= main_loop_.second && main_loop_.first <= loop.last) return false;
    for (unsigned i = 0; i < loop.stores; ++i) {
        if (!board_.plain_output_store(loop.addresses[i], loop.values[i])) return false;
    }
    Scheduler &sched = board_.scheduler();
    const Cycles before = sched.now();
    sched.advance_to(loop.last_access); // nothing falls due before the batch's end
    if (done_ != nullptr && (*done_)()) {
        sched.set_back(before); // the interpreter goes on, store by store
        return false;
    }
    // The stores were plain: if they are quiet, the last pass's are too.
    if (stores_may_be_quiet()) grant_quiet_outputs();
    return true;
}

int ChipCpu::next_to_take(int execution_priority) { return board_.nvic().next_to_take(execution_priority); }

int ChipCpu::priority_of(int exception)
{
    if (exception == kSvCall) return static_cast<int>(board_.inspect(kShpr2) >> 24);
    if (exception == kPendSv) return static_cast<int>((board_.inspect(kShpr3) >> 16) & 0xFF);
    return board_.nvic().priority_of(exception);
}

void ChipCpu::activate(int exception)
{
    core_.clear_quiet_outputs();
    if (exception >= kSysTickException) board_.nvic().activate(exception);
}

void ChipCpu::deactivate(int exception)
{
    core_.clear_quiet_outputs();
    if (exception >= kSysTickException) board_.nvic().deactivate(exception);
}

} // namespace sim
