// A Cortex-M0 core (ARMv6-M, Thumb) that executes the chip image with the
// chip's own instruction and exception timing.
//
// The core owns the two memories it fetches from and works in at full speed:
// flash (the image, read-only, also seen at address 0 as after a boot from
// main flash) and RAM. Every other address goes to the Bus, which on the
// virtual board is the peripheral address map. Pending interrupts come from
// the ExceptionSource (the board's NVIC); the core keeps the exceptions it
// is handling, their stack frames and its execution priority itself.
//
// Time is a count of core cycles, `now()`. The owner runs the core in
// batches with `run(limit)`; a batch also ends right after an instruction
// that reached the Bus (its side effects may have scheduled an event or
// pended an interrupt), when the core goes to sleep, when it is found
// spinning in a loop that only an event can end, and at a breakpoint.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class CortexM0 {
public:
    using Cycles = std::uint64_t;

    // Cycles of exception entry and of exception return, and of a return that
    // goes straight on to the next pending exception.
    static constexpr Cycles kEntryCycles = 16;
    static constexpr Cycles kReturnCycles = 16;
    static constexpr Cycles kTailChainCycles = 6;

    // Everything outside flash and RAM.
    class Bus {
    public:
        // Thrown by read() or write() to make the access fault, as an access
        // to an address where nothing answers does on the chip: the core
        // takes a HardFault.
        struct Fault {};

        // size is 1, 2 or 4; address is aligned to size. The core's now() is
        // the first cycle of the instruction making the access; an access
        // does not move it (advance() is for between batches).
        virtual std::uint32_t read(std::uint32_t address, unsigned size) = 0;
        virtual void write(std::uint32_t address, std::uint32_t value, unsigned size) = 0;

        // ---- fast-forwarding a delay loop
        // A loop the core found at its back edge (see fast_forward in
        // cortex_m0_loops.cpp): straight-line code that counts a register
        // down and stores the same words at the same addresses on the Bus
        // every pass; one whole pass has just run. The core would let
        // further passes go at once, all within the batch (before its
        // limit, so before any event), the last of their stores at the
        // first cycle `last_access`; the last of them may be the pass whose
        // branch falls through.
        struct LoopSkip {
            std::uint32_t first, last; // the loop's first instruction and its branch
            const std::uint32_t *addresses, *values;
            unsigned stores;
            Cycles last_access;
        };
        // True when nothing could tell those passes from their stores made
        // one by one: the stores change nothing that anything watches (the
        // state they leave is the one the last pass left), and whatever the
        // Bus looks at after every access cannot change on the way. A true
        // answer moves the Bus's view of time to `last_access`, as the
        // stores would have. By default never.
        virtual bool may_fast_forward(const LoopSkip & /*loop*/) { return false; }

        // ---- a batch that reached its limit
        // What the caller of run() would do between two batches, done by the
        // Bus in place of returning (see ChipCpu::batch_over): the next
        // batch's limit when all that would have happened before the next
        // run() has been done and run() would be called with that limit at
        // once; 0 (or a time not after now()) to end run() with Stop::Limit,
        // with nothing done that the caller may not do again. By default
        // run() always ends.
        virtual Cycles batch_over() { return 0; }

    protected:
        ~Bus() = default;
    };

    // The interrupt controller's side of exception handling (exceptions 4 and
    // up: SysTick, the IRQs). Reset, NMI, HardFault and SVCall are the core's.
    class ExceptionSource {
    public:
        // The pending exception that would pre-empt `execution_priority`
        // (0..255, or 256 for thread mode with nothing active), or -1.
        virtual int next_to_take(int execution_priority) = 0;
        virtual int priority_of(int exception) = 0;
        // Pending -> active, at the start of entry; active -> inactive at the
        // end of return.
        virtual void activate(int exception) = 0;
        virtual void deactivate(int exception) = 0;

    protected:
        ~ExceptionSource() = default;
    };

    // Why a batch ended.
    enum class Stop {
        Limit,      // now() reached the limit
        BusAccess,  // the last instruction reached the Bus
        Sleeping,   // WFI, or WFE with no event: waits for an exception to be pending
        Spinning,   // a loop that only an event can end: spin_period() tells its length
        Breakpoint, // BKPT: pc() is the breakpoint's address
        Lockup,     // a fault while handling HardFault (or NMI): the chip stops here
        // What a debugger set (set_breakpoints and the rest):
        DebugBreakpoint, // pc() is at one of its breakpoints, that instruction not executed
        Watchpoint,      // the last instruction made an access it watches: watch_hit()
        Stepped,         // step_once(): one instruction executed (or HardFault entered)
    };

    struct Memory {
        std::uint32_t flash_base = 0x08000000;
        std::uint32_t flash_size = 0x3C00; // the image; the settings page above it is the Bus's
        std::uint32_t ram_base = 0x20000000;
        std::uint32_t ram_size = 0x1000;
    };

    // Per-exception figures: entries, and the cycles from the first of entry
    // to the last of return (pre-emption by others included).
    struct HandlerStats {
        std::uint64_t count = 0;
        Cycles cycles_max = 0;
        Cycles cycles_total = 0;
    };

    // One executed instruction, for tracing and the lock-step tests.
    struct MemAccess {
        std::uint32_t address, value;
        std::uint8_t size;
        bool write;
    };
    struct TraceRecord {
        std::uint32_t pc;                   // address of the instruction
        std::uint32_t opcode;               // halfword, or both halfwords of a 32-bit one (first << 16 | second)
        Cycles cycles;                      // its cycles
        std::array<std::uint32_t, 16> regs; // after it (regs[15]: next pc)
        std::uint32_t xpsr;                 // after it
        std::vector<MemAccess> accesses;
    };

    CortexM0(Bus &bus, ExceptionSource &exceptions, const Memory &memory);
    CortexM0(Bus &bus, ExceptionSource &exceptions) : CortexM0(bus, exceptions, Memory{}) {}
    ~CortexM0();
    CortexM0(const CortexM0 &) = delete;
    CortexM0 &operator=(const CortexM0 &) = delete;

    // Copies `bytes` into flash (or RAM) at `address`; throws std::out_of_range
    // when they do not fit inside one of the two.
    void load(std::uint32_t address, const std::uint8_t *bytes, std::size_t size);

    // Power-on reset: registers cleared, SP from address 0, PC from address 4
    // (Thumb bit cleared), thread mode, PRIMASK clear, nothing active. now()
    // is left alone.
    void reset();

    // Executes whole instructions (and exception entries and returns) until
    // now() >= limit or another reason to stop. Takes pending exceptions at
    // instruction boundaries.
    Stop run(Cycles limit);

    Cycles now() const { return now_; }
    // Lets time pass without executing (sleep, skipped spin iterations, a
    // stalled fetch): counted as idle cycles.
    void advance(Cycles cycles);

    // When run() ended with Spinning: the cycles of one iteration of the loop,
    // and the last address it loaded from (the word it polls).
    Cycles spin_period() const { return spin_period_; }
    std::uint32_t spin_address() const { return spin_address_; }
    // The loop's extent: from pc() at the stop (the branch target) to the
    // address of its backward branch.
    std::uint32_t spin_loop_end() const { return spin_end_; }

    // ---- state
    std::uint32_t reg(int n) const { return r_[n]; }
    void set_reg(int n, std::uint32_t value);
    std::uint32_t pc() const { return r_[15]; }
    std::uint32_t xpsr() const;
    // Sets the flags (bits 31..28); the exception number and the Thumb bit
    // are the core's own.
    void set_xpsr(std::uint32_t value);
    bool primask() const { return primask_; }
    // A special register as MRS reads it and MSR writes it, by its SYSm
    // number (8 MSP, 9 PSP, 16 PRIMASK, 20 CONTROL, 0..7 the xPSR views).
    std::uint32_t special(unsigned sysm) const { return special_register(sysm); }
    void set_special(unsigned sysm, std::uint32_t value);
    bool handler_mode() const { return !active_.empty(); }
    // Innermost exception being handled, 0 in thread mode.
    int current_exception() const { return active_.empty() ? 0 : active_.back().exception; }
    int execution_priority() const;
    bool locked_up() const { return locked_up_; }
    // Between a WFI (or a WFE without an event) and the exception that wakes it.
    bool sleeping() const { return sleeping_; }
    // Pends the non-maskable interrupt (exception 2), taken at the next
    // instruction boundary.
    void pend_nmi()
    {
        nmi_pending_ = true;
        recheck();
    }

    // ---- for a Bus whose accesses need not end the batch (set_bus_ends_batch)
    // Ends the batch after the current instruction, so that pending
    // exceptions and whatever the access changed are looked at.
    void end_batch() { stop(Stop::BusAccess); }
    // Ends the batch, at the latest, once now() reaches `time`.
    void limit_batch(Cycles time)
    {
        if (time < limit_) limit_ = time;
        if (time < stop_at_) stop_at_ = time;
    }
    // The batch's end as run() was told it, or as limit_batch() brought it
    // forward.
    Cycles batch_limit() const { return limit_; }
    // By default a batch ends after every instruction that reached the Bus
    // (its side effects may have scheduled an event or pended an interrupt).
    // A Bus that sees to that itself, calling end_batch() and limit_batch()
    // from read() and write() as needed, lets batches run on.
    void set_bus_ends_batch(bool ends) { bus_ends_batch_ = ends; }

    // ---- output latches the core may store to itself
    // A port's output data registers on the Bus: one whose word becomes the
    // latch (its low half), one that sets the pins of its low half and
    // resets those of its high half (set wins), and one that resets the pins
    // it names. While the Bus lets the core have them (set_quiet_outputs),
    // a word store to one of them changes the latch and nothing else, so
    // the core makes it without the Bus: no time is looked at, no batch
    // ends. The Bus takes them back (clear_quiet_outputs) as soon as
    // anything may have changed that: it grants them from inside its own
    // calls, and takes them back on entry to every call that may change
    // the board.
    // A port whose pins drive only devices that keep no time (the
    // synthesizer's bus) is granted a hand-over instead of its latch: the
    // core gives each such store to `hand_over` at once, with the
    // register's offset from `base`, again without the Bus's look at time
    // and batch.
    using HandOver = void (*)(void *port, std::uint32_t offset, std::uint32_t value);
    struct QuietOutput {
        std::uint32_t base = 0;                                     // of the port's registers
        std::uint32_t write_at = 0, set_reset_at = 0, reset_at = 0; // the registers' addresses
        std::uint32_t *latch = nullptr;                             // nullptr: not granted
        HandOver hand_over = nullptr;
        void *port = nullptr; // hand_over's; nullptr: not granted
    };
    static constexpr unsigned kQuietOutputs = 2;
    void set_quiet_outputs(const std::array<QuietOutput, kQuietOutputs> &outputs)
    {
        quiet_ = outputs;
        quiet_granted_ = granted(outputs[0]) || granted(outputs[1]);
    }
    // The same registers again, each port granted its latch, or its stores
    // handed over, or neither (all nullptr).
    struct QuietGrant {
        std::uint32_t *latch = nullptr;
        HandOver hand_over = nullptr;
        void *port = nullptr;
    };
    void set_quiet_grants(const QuietGrant &first, const QuietGrant &second)
    {
        grant(quiet_[0], first);
        grant(quiet_[1], second);
        quiet_granted_ = granted(quiet_[0]) || granted(quiet_[1]);
    }
    void clear_quiet_outputs() { quiet_granted_ = false; }

    // Direct memory access for tests and tools (flash and RAM only; false
    // outside them). No time passes.
    bool peek(std::uint32_t address, unsigned size, std::uint32_t &value) const;
    bool poke(std::uint32_t address, std::uint32_t value, unsigned size);

    // ---- statistics
    std::uint64_t instructions() const { return instructions_; }
    Cycles idle_cycles() const { return idle_cycles_; }
    // Passes of delay loops the fast path let go at once (counted in
    // instructions() as if run one by one).
    std::uint64_t fast_forwarded_passes() const { return fast_forwarded_passes_; }
    // Calls of the firmware's single-precision helpers run in one step
    // (counted in instructions() as if run one by one).
    std::uint64_t known_routine_calls() const { return known_routine_calls_; }
    const HandlerStats &handler_stats(int exception) const { return handler_stats_.at(exception); }

    // ---- debugging: a debugger's breakpoints, watchpoints and single steps
    // (the GDB stub's target, board/debug). With none of them set, batches
    // run on the fast path; with any, on a path that looks for them at every
    // instruction and access. Not combined with a trace.
    struct Watchpoint {
        std::uint32_t address, length;
        bool on_read, on_write;
    };
    struct WatchHit {
        std::uint32_t address; // of the access that matched
        bool write;
        int watchpoint; // its index in set_watchpoints()
    };
    // Halts before executing the instruction at any of these addresses.
    void set_breakpoints(std::vector<std::uint32_t> addresses);
    // Halts once the instruction making a matching access has completed
    // (as the chip's data watchpoints do). Exception entry and return
    // stacking are not watched.
    void set_watchpoints(std::vector<Watchpoint> watchpoints);
    // The next batch executes one instruction and ends with Stepped (or
    // Watchpoint, when that instruction hit one). Pending exceptions wait
    // while it steps, as a debug probe masks them for a step: they are taken
    // once the core runs. A fault in the instruction enters HardFault.
    void step_once();
    // The instruction at pc() runs although a breakpoint is there: for
    // resuming from the breakpoint it halted at. Good for the next
    // instruction boundary only.
    void pass_breakpoint();
    const WatchHit &watch_hit() const { return watch_hit_; }

    // Called after every instruction when set (slow: for tests). A record's
    // cycles and registers include an exception entry or return that the
    // instruction caused (SVC, BX LR in a handler). Do not call set_trace
    // from inside the callback.
    void set_trace(std::function<void(const TraceRecord &)> trace);

private:
    struct Decoded; // one entry of the decode table
    static const Decoded *decode_table();
    struct Active {
        int exception;
        int priority;
        Cycles entered; // first cycle of its entry (or tail-chain)
    };

    // The batch loop and the accesses it makes: as fast as it goes, building
    // trace records, or watching for a debugger's breakpoints and watchpoints.
    enum class Mode { Fast, Trace, Debug };
    template <Mode kMode>
    void execute();
    __attribute__((noinline)) bool next_batch(Cycles now);
    // `now`: the time of the access, which the interpreter keeps in its
    // own variable; now_ is brought up to it for the Bus.
    template <unsigned kSize, Mode kMode>
    std::uint32_t load(std::uint32_t address, Cycles now);
    template <unsigned kSize, Mode kMode>
    void store(std::uint32_t address, std::uint32_t value, Cycles now);
    std::uint16_t fetch(std::uint32_t address);
    std::uint32_t load_outside(std::uint32_t address, unsigned size);
    void store_outside(std::uint32_t address, std::uint32_t value, unsigned size);
    std::uint16_t fetch_outside(std::uint32_t address);
    template <Mode kMode>
    void record(std::uint32_t address, std::uint32_t value, unsigned size, bool write);

    // Instructions off the fast path.
    struct Jump {
        std::uint32_t next;
        unsigned cycles;
    };
    void system_instruction(std::uint32_t first, std::uint32_t second);
    Jump high_register_pc(std::uint32_t pc, std::uint32_t opcode);
    std::uint32_t special_register(unsigned sysm) const;
    void write_special_register(unsigned sysm, std::uint32_t value);
    template <bool kSkip>
    bool back_edge(std::uint32_t target, std::uint32_t branch, Cycles arrival, const Decoded &entry);

    // Delay loops (cortex_m0_loops.cpp): a register counted down in straight
    // code that stores the same words every pass, found at its backward
    // branch and remembered per branch address in flash.
    static constexpr unsigned kMaxLoopStores = 4;
    struct DelayLoop {
        std::uint32_t first = 0, last = 0; // the branch's target and the branch
        unsigned counter = 0;              // the register counted down
        std::uint32_t step = 0;            // by this much a pass
        bool compare = false;              // flags from CMP counter, #compare_with after the SUBS, else from the SUBS
        std::uint32_t compare_with = 0;
        unsigned condition = 0; // of the branch, as encoded (0 EQ ... 13 LE)
        unsigned length = 0;    // instructions in a pass
        Cycles period = 0;      // cycles of a pass, its taken branch included
        Cycles last_store = 0;  // from a pass's first cycle to its last store's
        unsigned stores = 0;
        std::array<std::uint8_t, kMaxLoopStores> value_reg{}, base_reg{};
        std::array<std::uint32_t, kMaxLoopStores> offset{};
    };
    // Off the interpreter's loop, so that it keeps time and pc in machine
    // registers: fast_forward of delay_loops_[index] at its branch after
    // one whole pass; `arrival` then follows the passes that went and took
    // the branch. True when the loop ran out: the branch falls through,
    // now() at its first cycle.
    __attribute__((noinline)) bool skip_passes(unsigned index, Cycles &arrival);
    bool read_delay_loop(std::uint32_t branch, DelayLoop &loop) const;
    // Inlined into skip_passes, its only caller.
    inline __attribute__((always_inline)) Cycles fast_forward(const DelayLoop &loop, Cycles arrival, bool &ran_out);
    void forget_delay_loops();
    bool closes_storing_loop(std::uint32_t branch_offset) const;

    // Known routines (cortex_m0_routines.cpp): the firmware's single-precision
    // helpers, found in flash whenever it changes by their section's bytes;
    // a BL that calls one carries its number in its decoded entry's c.
    void find_known_routines();
    // Off the interpreter's loop: the routine's cycles where it ran at once.
    __attribute__((noinline)) Cycles run_known_routine(unsigned routine, Cycles arrival);

    // Exceptions.
    [[noreturn]] static void fault();
    void take_fault();
    bool take_pending();
    int pending_exception(int current, int &priority);
    int priority_ignoring_primask() const;
    bool wakes(bool for_event);
    void enter(int exception, int priority, std::uint32_t return_address);
    void exception_return(std::uint32_t exc_return);
    void lock_up();
    void begin_handler(int exception, int priority, Cycles start);
    void finish_handler(const Active &done, Cycles end);
    void set_thumb(bool thumb);
    // An exception's stack frame of eight words at `address`, when it lies
    // word-aligned and whole in RAM: its bytes there. nullptr otherwise (the
    // words then go one by one, and may fault).
    std::uint8_t *frame_in_ram(std::uint32_t address)
    {
        const std::uint32_t offset = address - memory_.ram_base;
        if ((address & 3) != 0 || offset >= memory_.ram_size || memory_.ram_size - offset < 32) return nullptr;
        return ram_.data() + offset;
    }

    // `count` words from `address`, when they lie word-aligned and whole in
    // RAM: their bytes there. nullptr otherwise.
    std::uint8_t *words_in_ram(std::uint32_t address, unsigned count)
    {
        const std::uint32_t offset = address - memory_.ram_base;
        if ((address & 3) != 0 || offset >= memory_.ram_size || (memory_.ram_size - offset) / 4 < count) return nullptr;
        return ram_.data() + offset;
    }

    void stop(Stop reason)
    {
        stop_reason_ = reason;
        stopped_ = true;
        stop_at_ = 0;
    }
    void recheck() { stop_at_ = 0; } // leave the batch to look at pending exceptions
    void forget_loop()
    {
        spin_dirty_ = true;
        spin_target_ = 1; // no instruction's address: the next back edge starts afresh
    }

    Bus &bus_;
    ExceptionSource &exceptions_;
    Memory memory_;
    std::vector<std::uint8_t> flash_, ram_;
    const Decoded *decode_;
    // Flash decoded, one entry a halfword: what the fast path executes from
    // (decoded again wherever load() or poke() change flash), and a Refetch
    // mark after the last.
    std::vector<Decoded> predecoded_;
    void predecode(std::uint32_t offset, std::size_t size);
    // The fast path's handlers by operation, once it has run (the labels of
    // execute<Mode::Fast>); the decoded flash's entries then carry theirs.
    const void *const *fast_handlers_ = nullptr;
    void resolve_handlers(const void *const *handlers);
    // Built with GCC, where the threaded loop goes on from entry to entry:
    // an instruction fetched from elsewhere than flash (RAM, flash seen at
    // 0), decoded, and a Refetch mark after it (execute()).
    std::vector<Decoded> outside_;

    // Registers: r_[15] is the address of the instruction being executed
    // until it completes.
    std::array<std::uint32_t, 16> r_{};
    // N and Z as the word they were set from (the ALU's result: one store
    // of it sets both): N is its bit 31 in n_of_, Z is set when z_of_ is 0.
    // Apart only after a write of the flags, which may set both.
    std::uint32_t n_of_ = 0, z_of_ = 1;
    bool n() const { return (n_of_ >> 31) != 0; }
    bool z() const { return z_of_ == 0; }
    void set_nz(bool n, bool z)
    {
        n_of_ = n ? 0x80000000u : 0;
        z_of_ = z ? 0 : 1;
    }
    bool c_ = false, v_ = false;
    bool t_ = true; // EPSR.T: clear after a branch to an even address, which faults
    bool primask_ = false;
    bool spsel_ = false;         // CONTROL.SPSEL: thread mode on the process stack
    std::uint32_t other_sp_ = 0; // the banked stack pointer not in r_[13]
    bool locked_up_ = false;
    bool sleeping_ = false, sleep_for_event_ = false, event_ = false;
    bool nmi_pending_ = false;
    std::vector<Active> active_;

    // Time and the current batch.
    Cycles now_ = 0;
    Cycles stop_at_ = 0;
    Cycles limit_ = 0; // of the batch run() is in
    bool bus_ends_batch_ = true;
    std::uint32_t fetch_limit_ = 0; // flash bytes fetched on the fast path (0: all fetches checked)
    Stop stop_reason_ = Stop::Limit;
    std::array<QuietOutput, kQuietOutputs> quiet_{};
    bool quiet_granted_ = false;
    static bool granted(const QuietOutput &q) { return q.latch != nullptr || q.port != nullptr; }
    static void grant(QuietOutput &q, const QuietGrant &g)
    {
        q.latch = g.latch;
        q.hand_over = g.hand_over;
        q.port = g.hand_over != nullptr ? g.port : nullptr;
    }
    bool quiet_store(std::uint32_t address, std::uint32_t value)
    {
        for (QuietOutput &q : quiet_) {
            if (q.latch == nullptr) {
                if (q.port == nullptr || (address != q.set_reset_at && address != q.reset_at && address != q.write_at))
                    continue;
                q.hand_over(q.port, address - q.base, value);
                return true;
            }
            std::uint32_t &latch = *q.latch;
            if (address == q.set_reset_at) {
                latch = ((latch & ~(value >> 16)) | value) & 0xFFFFu;
            } else if (address == q.reset_at) {
                latch &= ~value & 0xFFFFu;
            } else if (address == q.write_at) {
                latch = value & 0xFFFFu;
            } else {
                continue;
            }
            return true;
        }
        return false;
    }
    bool stopped_ = false;

    // Loop detection: the state at the last arrival at a backward branch's target.
    std::uint32_t spin_target_ = 0;
    std::array<std::uint32_t, 15> spin_regs_{};
    std::uint32_t spin_flags_ = 0;
    Cycles spin_arrival_ = 0;
    std::uint32_t spin_load_ = 0;
    bool spin_dirty_ = true;
    Cycles spin_period_ = 0;
    std::uint32_t spin_address_ = 0;
    std::uint32_t spin_end_ = 0;

    // The delay loops in flash, found whenever it changes; their branches
    // in the decoded flash carry their index and the cycles of a pass.
    static constexpr unsigned kMaxDelayLoops = 256;
    std::vector<DelayLoop> delay_loops_;

    std::uint64_t instructions_ = 0;
    std::uint64_t fast_forwarded_passes_ = 0;
    static constexpr std::uint32_t kNoRoutines = 0xFFFFFFFF;
    std::uint32_t routines_at_ = kNoRoutines; // the helpers' section, as an offset in flash
    std::uint64_t known_routine_calls_ = 0;
    Cycles idle_cycles_ = 0;
    std::array<HandlerStats, 48> handler_stats_{};

    std::function<void(const TraceRecord &)> trace_;
    TraceRecord trace_record_{};

    // Debugging (set_breakpoints and the rest), and the helpers of its path.
    bool at_breakpoint(std::uint32_t pc);
    void watch(std::uint32_t address, unsigned size, bool write);
    void after_debug_instruction();
    Stop stepped();
    void update_debugging() { debugging_ = !breakpoints_.empty() || !watchpoints_.empty() || stepping_; }
    bool debugging_ = false;
    std::vector<std::uint32_t> breakpoints_;
    std::vector<Watchpoint> watchpoints_;
    bool stepping_ = false;
    bool passing_ = false; // pass_breakpoint() at passing_at_
    std::uint32_t passing_at_ = 0;
    WatchHit watch_hit_{};
};

} // namespace sim
