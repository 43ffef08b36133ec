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

namespace {

using sim::CortexM0;
using Program = std::vector<std::uint16_t>;

constexpr std::uint32_t kFlash = 0x08000000, kFlashSize = 0x4000;
constexpr std::uint32_t kRam = 0x20000000, kRamSize = 0x1000;
constexpr std::uint32_t kWindow = 0x400;                                        // RAM the accesses stay in
constexpr std::uint32_t kCodeLow = kFlash + 0x400, kCodeHigh = kFlash + 0x3000; // where instructions go

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

// ---------------------------------------------------------------- instruction streams

// One instruction, and the register and RAM values that steer it.
struct Step {
    std::string kind;
    Program code;
    std::vector<std::pair<int, std::uint32_t>> regs;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> words;
};

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    std::uint32_t any() { return rng_(); }
    std::uint32_t below(std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng_); }
    std::uint32_t bits(unsigned n) { return any() & ((1u << n) - 1); }
    bool coin() { return any() & 1; }

    // Values that reach the edges of the flags' rules more often than
    // uniform ones would.
    std::uint32_t value()
    {
        static constexpr std::uint32_t edges[] = {0,          1,          2,          0x7FFFFFFF, 0x80000000,
                                                  0x80000001, 0xFFFFFFFF, 0xFFFFFFFE, 0xFF,       0x100,
                                                  0x8000,     0xFFFF,     0x7F,       0x80};
        switch (below(4)) {
        case 0:
            return edges[below(sizeof edges / sizeof edges[0])];
        case 1:
            return below(64);
        default:
            return any();
        }
    }
    std::uint32_t shift_amount()
    {
        static constexpr std::uint32_t edges[] = {0, 1, 31, 32, 33, 63, 64, 255, 256, 257};
        std::uint32_t a = coin() ? edges[below(10)] : below(40);
        return a | (coin() ? any() & 0xFFFFFF00u : 0); // only the bottom byte counts
    }

    Step next(std::uint32_t pc);

private:
    // The kinds of instruction `next` picks from; `choice` is its pick.
    Step arithmetic(std::uint32_t choice);
    Step high_registers(std::uint32_t pc);
    Step branch_exchange(std::uint32_t pc);
    Step load_store(std::uint32_t choice);
    Step sp_and_extend(std::uint32_t choice);
    Step push_pop(std::uint32_t choice, std::uint32_t pc);
    Step load_store_multiple();
    Step hint();
    Step system();
    Step branch(std::uint32_t choice, std::uint32_t pc);

    static std::uint16_t h(std::uint32_t v) { return static_cast<std::uint16_t>(v); }
    int low() { return static_cast<int>(bits(3)); }
    int high_except(std::initializer_list<int> excluded)
    {
        for (;;) {
            const int r = static_cast<int>(bits(4));
            bool ok = true;
            for (int x : excluded) ok = ok && r != x;
            if (ok) return r;
        }
    }
    // An address in the RAM window with `span` bytes from it, aligned to `align`.
    std::uint32_t ram(std::uint32_t align, std::uint32_t span)
    {
        return kRam + below((kWindow - span) / align + 1) * align;
    }
    // A halfword-aligned target in the code window within [pc+4+low, pc+4+high].
    std::uint32_t target(std::uint32_t pc, std::int64_t low_offset, std::int64_t high_offset)
    {
        const std::int64_t base = std::int64_t(pc) + 4;
        const std::int64_t lo = std::max<std::int64_t>(kCodeLow, base + low_offset);
        const std::int64_t hi = std::min<std::int64_t>(kCodeHigh - 8, base + high_offset);
        return static_cast<std::uint32_t>(lo + std::int64_t{2} * below(static_cast<std::uint32_t>((hi - lo) / 2 + 1)));
    }

    std::mt19937 rng_;
};

// The draw that picks the kind comes first; each helper then draws in the
// order the kind's fields are listed.
Step Generator::next(std::uint32_t pc)
{
    const std::uint32_t choice = below(24);
    if (choice <= 4) return arithmetic(choice);
    if (choice == 5) return high_registers(pc);
    if (choice == 6) return branch_exchange(pc);
    if (choice <= 12) return load_store(choice);
    if (choice <= 15) return sp_and_extend(choice);
    if (choice <= 17) return push_pop(choice, pc);
    if (choice == 18) return load_store_multiple();
    if (choice == 19) return hint();
    if (choice == 20) return system();
    return branch(choice, pc);
}

Step Generator::arithmetic(std::uint32_t choice)
{
    switch (choice) {
    case 0: { // LSL/LSR/ASR by immediate (LSL #0 is MOVS)
        return {"shift_imm", {h(bits(2) % 3 << 11 | bits(5) << 6 | low() << 3 | low())}, {}, {}};
    }
    case 1: // ADDS/SUBS register and 3-bit immediate
        return {"add_sub_3",
                {h(0x1800 | bits(2) << 9 | bits(3) << 6 | low() << 3 | low())},
                {{low(), value()}, {low(), value()}},
                {}};
    case 2: // MOVS/CMP/ADDS/SUBS 8-bit immediate
        return {"imm8", {h(0x2000 | bits(2) << 11 | low() << 8 | bits(8))}, {{low(), value()}}, {}};
    default: { // data processing
        const unsigned opc = bits(4);
        const int rdn = low(), rm = low();
        Step s{"alu", {h(0x4000 | opc << 6 | rm << 3 | rdn)}, {{rdn, value()}}, {}};
        if (rm != rdn)
            s.regs.push_back({rm, (opc == 2 || opc == 3 || opc == 4 || opc == 7) ? shift_amount() : value()});
        return s;
    }
    }
}

// ADD, CMP, MOV with high registers.
Step Generator::high_registers(std::uint32_t pc)
{
    const unsigned opc = below(3);
    Step s{"high", {}, {}, {}};
    int d = 0, m = 0;
    if (opc == 1) { // CMP: not both low, neither PC
        do {
            d = high_except({15});
            m = high_except({15});
        } while (d < 8 && m < 8);
        if (m != 13) s.regs.push_back({m, value()}); // SP stays word-aligned
    } else {
        d = high_except({});
        m = high_except({});
        if (d == 15 && m == 15) m = 0;
        if (d == 13 && m == 15) d = 12; // SP must stay word-aligned
        if (d == 15 && m == 13) m = 0;  // the target comes from Rm
        if (d == 15) {
            const std::uint32_t to = target(pc, -2048, 2046) | bits(1);
            s.regs.push_back({m, opc == 0 ? to - (pc + 4) : to});
        } else if (d == 13 && m != 13) {
            s.regs.push_back({m, opc == 0 ? (value() & ~3u) % kWindow : ram(4, 0)});
        } else if (m != 15 && m != 13) {
            s.regs.push_back({m, value()});
        }
    }
    s.code = {h(0x4400 | opc << 8 | (d & 8) << 4 | m << 3 | (d & 7))};
    return s;
}

// BX, BLX.
Step Generator::branch_exchange(std::uint32_t pc)
{
    const int m = high_except({13, 15});
    const bool link = coin();
    return {link ? "blx" : "bx", {h(0x4700 | link << 7 | m << 3)}, {{m, target(pc, -2048, 2046) | 1}}, {}};
}

Step Generator::load_store(std::uint32_t choice)
{
    switch (choice) {
    case 7: // LDR literal
        return {"ldr_literal", {h(0x4800 | low() << 8 | bits(8))}, {}, {}};
    case 8:
    case 9: { // loads and stores, register offset
        const unsigned opc = bits(3);
        static constexpr std::uint32_t sizes[8] = {4, 2, 1, 1, 4, 2, 1, 2};
        const int t = low(), n = low(), m = low();
        const std::uint32_t address = ram(sizes[opc], sizes[opc]);
        Step s{"ldst_reg", {h(0x5000 | opc << 9 | m << 6 | n << 3 | t)}, {}, {}};
        if (n == m) {
            s.regs.push_back({n, ram(2 * sizes[opc], 2 * sizes[opc]) / 2}); // the address is twice Rn
        } else {
            const std::uint32_t offset = coin() ? below(64) * sizes[opc] : 0u - below(64) * sizes[opc];
            s.regs.push_back({m, offset});
            s.regs.push_back({n, address - offset});
        }
        if (t != n && t != m) s.regs.push_back({t, value()});
        return s;
    }
    case 10:
    case 11: { // loads and stores, immediate offset
        static constexpr std::uint32_t bases[3] = {0x6000, 0x7000, 0x8000};
        static constexpr std::uint32_t sizes[3] = {4, 1, 2};
        const unsigned kind = below(3);
        const std::uint32_t imm5 = bits(5), offset = imm5 * sizes[kind];
        const int t = low(), n = low();
        Step s{"ldst_imm", {h(bases[kind] | bits(1) << 11 | imm5 << 6 | n << 3 | t)}, {}, {}};
        s.regs.push_back({n, ram(sizes[kind], offset + sizes[kind])});
        if (t != n) s.regs.push_back({t, value()});
        return s;
    }
    default: { // LDR/STR SP-relative
        const std::uint32_t imm8 = bits(8);
        return {"ldst_sp", {h(0x9000 | bits(1) << 11 | low() << 8 | imm8)}, {{13, ram(4, imm8 * 4 + 4)}}, {}};
    }
    }
}

Step Generator::sp_and_extend(std::uint32_t choice)
{
    switch (choice) {
    case 13: // ADR, ADD Rd, SP, #imm
        return {"adr_add_sp", {h(0xA000 | bits(1) << 11 | low() << 8 | bits(8))}, {{13, ram(4, 4)}}, {}};
    case 14: // ADD/SUB SP, #imm
        return {"adjust_sp", {h(0xB000 | bits(1) << 7 | bits(7))}, {{13, ram(4, 4)}}, {}};
    default: { // extend and reverse
        if (coin()) return {"extend", {h(0xB200 | bits(2) << 6 | low() << 3 | low())}, {{low(), value()}}, {}};
        static constexpr unsigned kinds[3] = {0, 1, 3};
        return {"reverse", {h(0xBA00 | kinds[below(3)] << 6 | low() << 3 | low())}, {{low(), value()}}, {}};
    }
    }
}

Step Generator::push_pop(std::uint32_t choice, std::uint32_t pc)
{
    if (choice == 16) { // PUSH
        std::uint32_t list = bits(8);
        const bool lr = coin();
        if (!list && !lr) list = 1;
        const std::uint32_t count = __builtin_popcount(list) + lr;
        return {"push", {h(0xB400 | lr << 8 | list)}, {{13, ram(4, count * 4) + count * 4}}, {}};
    }
    // POP
    std::uint32_t list = bits(8);
    const bool to_pc = coin();
    if (!list && !to_pc) list = 1;
    const std::uint32_t count = __builtin_popcount(list) + to_pc;
    const std::uint32_t sp = ram(4, count * 4);
    Step s{"pop", {h(0xBC00 | to_pc << 8 | list)}, {{13, sp}}, {}};
    if (to_pc) s.words.push_back({sp + 4 * (count - 1), target(pc, -4096, 4096) | 1});
    return s;
}

// LDM, STM.
Step Generator::load_store_multiple()
{
    std::uint32_t list = bits(8);
    if (!list) list = 1u << bits(3);
    const int n = low();
    const bool load = coin();
    // A stored base register must be the lowest in the list.
    if (!load && (list >> n & 1) && (list & ((1u << n) - 1))) list &= ~(1u << n);
    const std::uint32_t count = __builtin_popcount(list);
    return {load ? "ldm" : "stm", {h((load ? 0xC800 : 0xC000) | n << 8 | list)}, {{n, ram(4, count * 4)}}, {}};
}

// CPS, hints (not YIELD: unicorn stops at it).
Step Generator::hint()
{
    static constexpr std::uint16_t codes[] = {0xB662, 0xB672, 0xBF00, 0xBF40, 0x46C0};
    return {"misc", {codes[below(5)]}, {}, {}};
}

// MRS, MSR, barriers.
Step Generator::system()
{
    static constexpr std::uint32_t readable[] = {0, 1, 2, 3, 5, 6, 7, 8, 16, 20};
    const int r = high_except({13, 15});
    switch (below(4)) {
    case 0:
        return {"mrs", {0xF3EF, h(0x8000 | r << 8 | readable[below(10)])}, {}, {}};
    case 1:
        // Without bit 27: unicorn keeps a Q flag there, which the M0 does not have.
        return {"msr_apsr", {h(0xF380 | r), h(0x8800 | bits(2))}, {{r, value() & ~(1u << 27)}}, {}};
    case 2:
        return {"msr_primask", {h(0xF380 | r), 0x8810}, {{r, value()}}, {}};
    default: {
        static constexpr std::uint16_t barriers[] = {0x8F4F, 0x8F5F, 0x8F6F};
        return {"barrier", {0xF3BF, barriers[below(3)]}, {}, {}};
    }
    }
}

Step Generator::branch(std::uint32_t choice, std::uint32_t pc)
{
    switch (choice) {
    case 21: { // conditional branch
        const std::uint32_t to = target(pc, -256, 254);
        const std::uint32_t offset = (to - (pc + 4)) / 2;
        return {"bcond", {h(0xD000 | below(14) << 8 | (offset & 0xFF))}, {}, {}};
    }
    case 22: { // B
        const std::uint32_t to = target(pc, -2048, 2046);
        return {"b", {h(0xE000 | (((to - (pc + 4)) / 2) & 0x7FF))}, {}, {}};
    }
    default: { // BL
        const std::uint32_t to = target(pc, -0x3000, 0x3000);
        const std::uint32_t offset = to - (pc + 4);
        const std::uint32_t s = offset >> 31, i1 = (offset >> 23) & 1, i2 = (offset >> 22) & 1;
        const std::uint32_t j1 = (~i1 ^ s) & 1, j2 = (~i2 ^ s) & 1;
        return {
            "bl",
            {h(0xF000 | s << 10 | ((offset >> 12) & 0x3FF)), h(0xD000 | j1 << 13 | j2 << 11 | ((offset >> 1) & 0x7FF))},
            {},
            {}};
    }
    }
}

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
