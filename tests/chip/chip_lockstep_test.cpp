// The chip image on our Cortex-M0 core, checked instruction by instruction
// against an independent emulator (unicorn, in its Cortex-M0 mode) for the
// first million instructions of a scripted session: start-up, commands, a
// sweep. Unicorn executes each instruction our core executed, from the same
// state, and must arrive at the same registers, flags and memory writes.
// Peripheral reads are answered with what the board answered our core, so
// both see the same world. Exception entries and returns, which unicorn
// cannot take from our board, put unicorn back in step with our core.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "board/cpu/chip_cpu.h"
#include "board_fixture.h"

namespace {

using snt_test::ms;
using Access = sim::CortexM0::MemAccess;

const std::string kImage = SNT_CHIP_IMAGE;
constexpr std::uint32_t kFlash = sim::kFlashMemoryBase, kRam = sim::kRamBase, kRamSize = sim::kRamSize;
// The device regions: APB and AHB1 peripherals, the GPIO ports on AHB2, and
// the core's system control space (SysTick, NVIC, SCB).
constexpr std::uint32_t kPeripherals = 0x40000000, kPeripheralsSize = 0x30000;
constexpr std::uint32_t kGpioPorts = 0x48000000, kGpioPortsSize = 0x2000;
constexpr std::uint32_t kSystemControl = 0xE000E000, kSystemControlSize = 0x1000;
constexpr std::uint64_t kInstructions = 1'000'000;

bool in_ram(std::uint32_t a) { return a - kRam < kRamSize; }

std::string hex(std::uint32_t v)
{
    std::ostringstream o;
    o << "0x" << std::hex << v;
    return o.str();
}

// Unicorn with the chip's memory map. Flash and RAM are memory; the
// peripherals and the settings page answer from the reads our core made.
class Oracle {
public:
    explicit Oracle(const sim::CortexM0 &core) : core_(core)
    {
        check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_), "uc_open");
        check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M0), "Cortex-M0 model");
        // Flash below 0x08003000 as memory (the image is far smaller); the
        // last 4 KB, which holds the settings page, as a device.
        check(uc_mem_map(uc_, kFlash, 0x3000, UC_PROT_READ | UC_PROT_EXEC), "map flash");
        std::vector<std::uint8_t> flash(0x3000);
        for (std::uint32_t a = 0; a < flash.size(); a += 4) {
            std::uint32_t w = 0;
            core.peek(kFlash + a, 4, w);
            std::memcpy(&flash[a], &w, 4);
        }
        check(uc_mem_write(uc_, kFlash, flash.data(), flash.size()), "load flash");
        check(uc_mem_map(uc_, 0, 0x3000, UC_PROT_READ), "map flash alias");
        check(uc_mem_write(uc_, 0, flash.data(), flash.size()), "load flash alias");
        check(uc_mem_map(uc_, kRam, kRamSize, UC_PROT_ALL), "map RAM");
        mmio(kFlash + 0x3000, 0x1000);
        mmio(kPeripherals, kPeripheralsSize);
        mmio(kGpioPorts, kGpioPortsSize);
        mmio(kSystemControl, kSystemControlSize);
        check(uc_hook_add(uc_, &write_hook_, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&on_ram_write), this, kRam,
                          kRam + kRamSize - 1),
              "write hook");
    }
    ~Oracle() { uc_close(uc_); }
    Oracle(const Oracle &) = delete;
    Oracle &operator=(const Oracle &) = delete;

    // Takes our core's state after `rec` as its own (registers and RAM).
    void adopt(const sim::CortexM0::TraceRecord &rec)
    {
        for (int i = 0; i < 13; ++i) reg_write(UC_ARM_REG_R0 + i, rec.regs[i]);
        reg_write(UC_ARM_REG_SP, rec.regs[13]);
        reg_write(UC_ARM_REG_LR, rec.regs[14]);
        reg_write(UC_ARM_REG_XPSR_NZCVQ, rec.xpsr & 0xF0000000u);
        std::vector<std::uint8_t> ram(kRamSize);
        for (std::uint32_t a = 0; a < kRamSize; a += 4) {
            std::uint32_t w = 0;
            core_.peek(kRam + a, 4, w);
            std::memcpy(&ram[a], &w, 4);
        }
        uc_mem_write(uc_, kRam, ram.data(), ram.size());
        ++adoptions_;
    }

    // Runs the instruction of `rec` and returns what differs, or "".
    std::string step(const sim::CortexM0::TraceRecord &rec)
    {
        bus_reads_.clear();
        for (const Access &a : rec.accesses) {
            // What our core read from the board rather than from its memories.
            if (!a.write && !in_ram(a.address) && a.address - kFlash >= 0x3C00 && a.address >= 0x3C00) {
                bus_reads_.push_back(a);
            }
        }
        writes_.clear();
        error_.clear();
        const uc_err err = uc_emu_start(uc_, rec.pc | 1u, 0xFFFFFFFFu, 0, 1);
        if (err != UC_ERR_OK) return std::string("unicorn: ") + uc_strerror(err);
        if (!error_.empty()) return error_;
        std::ostringstream diff;
        for (int i = 0; i < 16; ++i) {
            const std::uint32_t v = reg_read(i == 13       ? UC_ARM_REG_SP
                                                 : i == 14 ? UC_ARM_REG_LR
                                                 : i == 15 ? UC_ARM_REG_PC
                                                           : UC_ARM_REG_R0 + i);
            const std::uint32_t ours = i == 15 ? rec.regs[15] & ~1u : rec.regs[i];
            if ((i == 15 ? v & ~1u : v) != ours) diff << " r" << i << " " << hex(ours) << " vs " << hex(v);
        }
        const std::uint32_t flags = reg_read(UC_ARM_REG_XPSR) & 0xF0000000u;
        if (flags != (rec.xpsr & 0xF0000000u)) diff << " flags " << hex(rec.xpsr >> 28) << " vs " << hex(flags >> 28);
        // Memory writes, as sets: both must store the same bytes.
        std::vector<Access> ours;
        for (const Access &a : rec.accesses) {
            if (a.write) ours.push_back(a);
        }
        const auto key = [](const Access &a) { return std::make_tuple(a.address, a.size, a.value); };
        const auto less = [&](const Access &a, const Access &b) { return key(a) < key(b); };
        std::sort(ours.begin(), ours.end(), less);
        std::vector<Access> theirs = writes_;
        std::sort(theirs.begin(), theirs.end(), less);
        if (ours.size() != theirs.size() ||
            !std::equal(ours.begin(), ours.end(), theirs.begin(),
                        [&](const Access &a, const Access &b) { return key(a) == key(b); })) {
            diff << " writes differ (" << ours.size() << " vs " << theirs.size() << ")";
        }
        return diff.str();
    }

    std::uint32_t pc() { return reg_read(UC_ARM_REG_PC); }
    std::uint64_t adoptions() const { return adoptions_; }

private:
    static void check(uc_err err, const char *what)
    {
        if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
    }
    void mmio(std::uint32_t base, std::uint32_t size)
    {
        windows_.push_back({this, base});
        check(uc_mmio_map(uc_, base, size, &on_mmio_read, &windows_.back(), &on_mmio_write, &windows_.back()),
              "map devices");
    }
    std::uint32_t reg_read(int r)
    {
        std::uint32_t v = 0;
        uc_reg_read(uc_, r, &v);
        return v;
    }
    void reg_write(int r, std::uint32_t v) { uc_reg_write(uc_, r, &v); }

    struct Window {
        Oracle *self;
        std::uint32_t base;
    };
    static std::uint64_t on_mmio_read(uc_engine *, std::uint64_t offset, unsigned size, void *window)
    {
        const auto *w = static_cast<const Window *>(window);
        Oracle *self = w->self;
        const std::uint32_t address = w->base + static_cast<std::uint32_t>(offset);
        if (self->bus_reads_.empty()) {
            self->error_ = "unicorn read " + hex(address) + ", our core read no device there";
            return 0;
        }
        const Access a = self->bus_reads_.front();
        self->bus_reads_.pop_front();
        if (a.address != address || a.size != size) {
            self->error_ = "device read at " + hex(address) + " against ours at " + hex(a.address);
        }
        return a.value;
    }
    static void on_mmio_write(uc_engine *, std::uint64_t offset, unsigned size, std::uint64_t value, void *window)
    {
        const auto *w = static_cast<const Window *>(window);
        w->self->writes_.push_back({w->base + static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(value),
                                    static_cast<std::uint8_t>(size), true});
    }
    static void on_ram_write(uc_engine *, uc_mem_type, std::uint64_t address, int size, std::int64_t value, void *self_)
    {
        auto *self = static_cast<Oracle *>(self_);
        const std::uint32_t mask = size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
        self->writes_.push_back({static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(value) & mask,
                                 static_cast<std::uint8_t>(size), true});
    }

private:
    const sim::CortexM0 &core_;
    uc_engine *uc_ = nullptr;
    uc_hook write_hook_{};
    std::deque<Window> windows_;
    std::deque<Access> bus_reads_;
    std::vector<Access> writes_;
    std::string error_;
    std::uint64_t adoptions_ = 0;
};

TEST(ChipLockStep, TheFirstMillionInstructionsMatchUnicorn)
{
    sim::BoardOptions options;
    options.image = kImage;
    sim::SimBoard board(options);
    sim::CortexM0 &core = board.chip()->core();
    Oracle oracle(core);

    sim::CortexM0::TraceRecord reset{};
    for (int i = 0; i < 16; ++i) reset.regs[i] = core.reg(i);
    reset.xpsr = core.xpsr();
    oracle.adopt(reset);

    std::uint64_t compared = 0;
    std::uint32_t prev_ipsr = 0, expected_pc = core.pc();
    std::vector<std::string> mismatches;
    core.set_trace([&](const sim::CortexM0::TraceRecord &rec) {
        if (compared + oracle.adoptions() >= kInstructions || mismatches.size() >= 5) return;
        const std::uint32_t ipsr = rec.xpsr & 0x3F;
        // An exception was entered before this instruction, or this one
        // returned from one: unicorn takes our state and goes on from there.
        const bool boundary = rec.pc != expected_pc || ipsr != prev_ipsr || rec.regs[15] >= 0xFFFFFFF0u;
        prev_ipsr = ipsr;
        expected_pc = rec.regs[15] & ~1u;
        if (boundary) {
            oracle.adopt(rec);
            return;
        }
        const std::string diff = oracle.step(rec);
        if (!diff.empty()) {
            if (oracle.pc() >= 0xFFFFFFF0u) { // an exception return unicorn cannot make
                oracle.adopt(rec);
                return;
            }
            mismatches.push_back("at " + hex(rec.pc) + " (" + board.chip()->image().function_at(rec.pc) + ") opcode " +
                                 hex(rec.opcode) + ":" + diff);
            oracle.adopt(rec);
        }
        ++compared;
    });

    // The session: start-up, identification, a frequency, a short sweep,
    // outputs off, calibration output, and a stored crystal.
    const auto done = [&] { return compared + oracle.adoptions() >= kInstructions || !mismatches.empty(); };
    board.run_until(done, ms(400));
    const char *lines[] = {"w\r", "f 7000000\r",  "r 1000 4\r",   "o\r",
                           "c\r", "x 25000123\r", "f 14000000\r", "r 5000 20\r"};
    for (const char *l : lines) {
        if (done()) break;
        board.usart().host_send(reinterpret_cast<const std::uint8_t *>(l), std::strlen(l));
        board.run_until(done, ms(600));
    }
    for (const auto &m : mismatches) ADD_FAILURE() << m;
    EXPECT_GE(compared + oracle.adoptions(), kInstructions) << "the session ran fewer instructions than planned";
    EXPECT_LT(oracle.adoptions(), compared / 10) << "too few instructions were compared";
    std::printf("compared %llu instructions, %llu taken over at exception entries and returns\n",
                static_cast<unsigned long long>(compared), static_cast<unsigned long long>(oracle.adoptions()));
    RecordProperty("compared", static_cast<int>(compared));
}

} // namespace
