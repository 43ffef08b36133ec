// The Cortex-M0 core against unicorn, instruction by instruction: seeded
// random streams of every ARMv6-M instruction the core runs without
// faulting, with random registers and flags, and operands steered so that
// memory accesses stay in a RAM window and branches in a code window. After
// each instruction the registers, the flags, PRIMASK and the writes (and
// the RAM window) must agree. Faults, exceptions and timing are the unit
// tests' business: unicorn has no M0 timing and is lenient about encodings
// the M0 lacks.
#include <gtest/gtest.h>

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "board/cpu/cortex_m0.h"
#include "thumb_streams.h"

namespace {

using sim::CortexM0;
using namespace snt_test::thumb;

// ---------------------------------------------------------------- unicorn

class Unicorn {
public:
    struct Write {
        std::uint32_t address, value;
        unsigned size;
        bool operator==(const Write &o) const { return address == o.address && value == o.value && size == o.size; }
    };

    Unicorn()
    {
        check(uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &uc_), "uc_open");
        check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M0), "cpu model");
        check(uc_mem_map(uc_, kFlash, kFlashSize, UC_PROT_ALL), "map flash");
        check(uc_mem_map(uc_, kRam, kRamSize, UC_PROT_ALL), "map RAM");
        check(uc_hook_add(uc_, &hook_, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&Unicorn::on_write), this, 1, 0),
              "hook");
    }
    ~Unicorn() { uc_close(uc_); }
    Unicorn(const Unicorn &) = delete;
    Unicorn &operator=(const Unicorn &) = delete;

    void write_memory(std::uint32_t address, const void *bytes, std::size_t size)
    {
        check(uc_mem_write(uc_, address, bytes, size), "mem write");
    }
    void read_memory(std::uint32_t address, void *bytes, std::size_t size)
    {
        check(uc_mem_read(uc_, address, bytes, size), "mem read");
    }
    void write_code(std::uint32_t address, const Program &code)
    {
        write_memory(address, code.data(), code.size() * 2);
        check(uc_ctl_remove_cache(uc_, address, address + 4), "remove cache"); // what it translated there before
    }
    void set(int reg, std::uint32_t value) { check(uc_reg_write(uc_, id(reg), &value), "reg write"); }
    std::uint32_t get(int reg) const { return read(id(reg)); }
    std::uint32_t flags() const { return read(UC_ARM_REG_XPSR) & 0xF0000000u; }
    void set_flags(std::uint32_t nzcv)
    {
        const std::uint32_t xpsr = (nzcv & 0xF0000000u) | (1u << 24);
        check(uc_reg_write(uc_, UC_ARM_REG_XPSR, &xpsr), "xpsr write");
    }
    bool primask() const { return read(UC_ARM_REG_PRIMASK) & 1; }

    // One instruction at pc; the writes it made.
    uc_err step(std::uint32_t pc)
    {
        writes_.clear();
        return uc_emu_start(uc_, pc | 1, 0xFFFFFFFF, 0, 1);
    }
    const std::vector<Write> &writes() const { return writes_; }

private:
    static void check(uc_err err, const char *what)
    {
        if (err != UC_ERR_OK) throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(err));
    }
    static int id(int reg)
    {
        static constexpr int ids[16] = {UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,
                                        UC_ARM_REG_R4,  UC_ARM_REG_R5, UC_ARM_REG_R6,  UC_ARM_REG_R7,
                                        UC_ARM_REG_R8,  UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                                        UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,  UC_ARM_REG_PC};
        return ids[reg];
    }
    std::uint32_t read(int id) const
    {
        std::uint32_t v = 0;
        check(uc_reg_read(uc_, id, &v), "reg read");
        return v;
    }
    static void on_write(uc_engine *, uc_mem_type, std::uint64_t address, int size, std::int64_t value, void *self)
    {
        const std::uint32_t mask = size >= 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1;
        static_cast<Unicorn *>(self)->writes_.push_back(Write{static_cast<std::uint32_t>(address),
                                                              static_cast<std::uint32_t>(value) & mask,
                                                              static_cast<unsigned>(size)});
    }

    uc_engine *uc_ = nullptr;
    uc_hook hook_{};
    std::vector<Write> writes_;
};

// ---------------------------------------------------------------- the core's side

class NoBus final : public CortexM0::Bus {
public:
    std::uint32_t read(std::uint32_t address, unsigned) override { throw std::logic_error(hex(address)); }
    void write(std::uint32_t address, std::uint32_t, unsigned) override { throw std::logic_error(hex(address)); }
    static std::string hex(std::uint32_t v)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "bus access at 0x%08X", v);
        return buf;
    }
};

class NoInterrupts final : public CortexM0::ExceptionSource {
public:
    int next_to_take(int) override { return -1; }
    int priority_of(int) override { return 0; }
    void activate(int) override {}
    void deactivate(int) override {}
};

// ---------------------------------------------------------------- the comparison

class OracleTest : public ::testing::TestWithParam<bool> {
protected:
    OracleTest() : core_(bus_, interrupts_, memory()) {}

    static CortexM0::Memory memory()
    {
        CortexM0::Memory m;
        m.flash_base = kFlash;
        m.flash_size = kFlashSize;
        m.ram_base = kRam;
        m.ram_size = kRamSize;
        return m;
    }

    void set_reg(int n, std::uint32_t v)
    {
        core_.set_reg(n, v);
        uc_.set(n, v);
    }
    void set_word(std::uint32_t address, std::uint32_t v)
    {
        core_.poke(address, v, 4);
        uc_.write_memory(address, &v, 4);
    }
    void randomize(Generator &gen)
    {
        for (int n = 0; n < 13; ++n) set_reg(n, gen.value());
        set_reg(14, gen.any());
        set_reg(13, kRam + kWindow / 2);
        const std::uint32_t flags = gen.any() & 0xF0000000u;
        core_.set_xpsr(flags);
        uc_.set_flags(flags);
    }

    std::string state() const
    {
        std::ostringstream out;
        out << std::hex;
        for (int n = 0; n < 16; ++n) out << " r" << std::dec << n << std::hex << "=" << core_.reg(n);
        out << " xpsr=" << core_.xpsr();
        return out.str();
    }
    bool ram_agrees(std::string &where)
    {
        std::vector<std::uint8_t> theirs(kWindow);
        uc_.read_memory(kRam, theirs.data(), theirs.size());
        for (std::uint32_t i = 0; i < kWindow; i += 4) {
            std::uint32_t mine = 0, other = 0;
            core_.peek(kRam + i, 4, mine);
            std::memcpy(&other, theirs.data() + i, 4);
            if (mine != other) {
                std::ostringstream out;
                out << std::hex << "RAM at 0x" << kRam + i << ": core 0x" << mine << ", unicorn 0x" << other;
                where = out.str();
                return false;
            }
        }
        return true;
    }

    void run(std::uint32_t seed, int steps)
    {
        const bool traced = GetParam();
        Generator gen(seed);
        // Same random flash and RAM on both.
        std::vector<std::uint8_t> bytes(kFlashSize);
        for (auto &b : bytes) b = static_cast<std::uint8_t>(gen.any());
        core_.load(kFlash, bytes.data(), bytes.size());
        uc_.write_memory(kFlash, bytes.data(), bytes.size());
        bytes.resize(kRamSize);
        for (auto &b : bytes) b = static_cast<std::uint8_t>(gen.any());
        core_.load(kRam, bytes.data(), bytes.size());
        uc_.write_memory(kRam, bytes.data(), bytes.size());

        auto &writes = writes_;
        if (traced) {
            core_.set_trace([&writes](const CortexM0::TraceRecord &r) {
                writes.clear();
                for (const auto &a : r.accesses) {
                    if (a.write) writes.push_back({a.address, a.value, a.size});
                }
            });
        }
        std::map<std::string, int> kinds;
        std::uint32_t pc = kCodeLow;
        for (int i = 0; i < steps; ++i) {
            if (i % 64 == 0) randomize(gen);
            if (pc < kCodeLow || pc >= kCodeHigh - 8) pc = kCodeLow + 2 * gen.below((kCodeHigh - kCodeLow) / 2 - 8);
            set_reg(15, pc);
            const Step s = gen.next(pc);
            ++kinds[s.kind];
            for (const auto &[n, v] : s.regs) set_reg(n, v);
            for (const auto &[a, v] : s.words) set_word(a, v);
            core_.load(pc, reinterpret_cast<const std::uint8_t *>(s.code.data()), s.code.size() * 2);
            uc_.write_code(pc, s.code);

            std::ostringstream what;
            what << "step " << i << " (" << s.kind << ") at 0x" << std::hex << pc << ":";
            for (auto hw : s.code) what << " " << hw;
            what << "\nbefore:" << state();

            const std::uint64_t done = core_.instructions();
            const CortexM0::Stop stop = core_.run(core_.now() + 1);
            ASSERT_EQ(stop, CortexM0::Stop::Limit) << what.str();
            ASSERT_EQ(core_.instructions(), done + 1) << what.str();
            ASSERT_FALSE(core_.handler_mode()) << "the core faulted: " << what.str();
            const uc_err err = uc_.step(pc);
            ASSERT_EQ(err, UC_ERR_OK) << uc_strerror(err) << ": " << what.str();
            what << "\nafter: " << state();

            for (int n = 0; n < 16; ++n) ASSERT_EQ(core_.reg(n), uc_.get(n)) << "r" << n << " " << what.str();
            ASSERT_EQ(core_.xpsr() & 0xF0000000u, uc_.flags()) << what.str();
            ASSERT_EQ(core_.primask(), uc_.primask()) << what.str();
            if (traced) {
                ASSERT_EQ(writes.size(), uc_.writes().size()) << what.str();
                for (std::size_t k = 0; k < writes.size(); ++k) {
                    ASSERT_TRUE(writes[k] == uc_.writes()[k])
                        << "write " << k << ": core " << std::hex << writes[k].address << "=" << writes[k].value << "/"
                        << writes[k].size << ", unicorn " << uc_.writes()[k].address << "=" << uc_.writes()[k].value
                        << "/" << uc_.writes()[k].size << " " << what.str();
                }
            }
            if (!traced || i % 256 == 0) {
                std::string where;
                ASSERT_TRUE(ram_agrees(where)) << where << " " << what.str();
            }
            pc = core_.pc();
        }
        std::string where;
        EXPECT_TRUE(ram_agrees(where)) << where;
        for (const auto &[kind, count] : kinds) EXPECT_GT(count, steps / 200) << kind;
        ::testing::Test::RecordProperty("kinds", static_cast<int>(kinds.size()));
    }

    NoBus bus_;
    NoInterrupts interrupts_;
    std::vector<Unicorn::Write> writes_; // the core's, from its trace
    CortexM0 core_;
    Unicorn uc_;
};

TEST_P(OracleTest, RandomStreamsAgreeWithUnicorn) { run(GetParam() ? 20240601 : 777, GetParam() ? 40000 : 15000); }

INSTANTIATE_TEST_SUITE_P(Core, OracleTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Traced" : "Untraced");
                         });

} // namespace
