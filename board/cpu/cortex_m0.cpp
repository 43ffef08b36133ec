#include "board/cpu/cortex_m0.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "flash and RAM are kept in the host's byte order");

namespace {

constexpr int kNmi = 2, kHardFault = 3, kSvCall = 11;
constexpr int kThreadPriority = 256;
constexpr std::uint32_t kReturnToHandler = 0xFFFFFFF1, kReturnToMain = 0xFFFFFFF9, kReturnToProcess = 0xFFFFFFFD;

// What the decode table maps a halfword to. The register fields and the
// immediate of each are in Decoded; see decode() for which is which.
// The operations stay grouped as the decoder groups them.
// clang-format off
enum class Op : std::uint8_t {
    MovsReg, LslImm, LsrImm, LsrImm32, AsrImm, AsrImm32,
    AddReg, SubReg, AddImm3, SubImm3,
    MovImm, CmpImm, AddImm8, SubImm8,
    And, Eor, LslReg, LsrReg, AsrReg, Adc, Sbc, Ror, Tst, Rsb, Cmp, Cmn, Orr, Mul, Bic, Mvn,
    AddHigh, AddHighSp, AddHighPc, CmpHigh, MovHigh, MovHighSp, MovHighPc, Bx, Blx, HighPcOperand,
    LdrLiteral,
    StrReg, StrhReg, StrbReg, LdrsbReg, LdrReg, LdrhReg, LdrbReg, LdrshReg,
    StrImm, LdrImm, StrbImm, LdrbImm, StrhImm, LdrhImm, StrSp, LdrSp,
    Adr, AddSpImm, AdjustSp,
    Sxth, Sxtb, Uxth, Uxtb, Rev, Rev16, Revsh,
    Push, Pop, Stm, Ldm,
    Cpsie, Cpsid, Bkpt, Nop, Wfe, Wfi, Sev,
    Beq, Bne, Bcs, Bcc, Bmi, Bpl, Bvs, Bvc, Bhi, Bls, Bge, Blt, Bgt, Ble,
    Svc, B, Wide, Undefined,
};
// clang-format on

template <unsigned kSize>
std::uint32_t read_le(const std::uint8_t *p)
{
    if constexpr (kSize == 1) {
        return *p;
    } else if constexpr (kSize == 2) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    } else {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
}

template <unsigned kSize>
void write_le(std::uint8_t *p, std::uint32_t value)
{
    if constexpr (kSize == 1) {
        *p = static_cast<std::uint8_t>(value);
    } else if constexpr (kSize == 2) {
        const auto v = static_cast<std::uint16_t>(value);
        std::memcpy(p, &v, 2);
    } else {
        std::memcpy(p, &value, 4);
    }
}

std::uint32_t sign_extend(std::uint32_t value, unsigned bits)
{
    const std::uint32_t sign = 1u << (bits - 1);
    return (value ^ sign) - sign;
}

std::uint32_t arithmetic_shift_right(std::uint32_t x, unsigned amount) // amount 0..31
{
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(x) >> amount);
}

// SysTick and the IRQs belong to the ExceptionSource; NMI, HardFault and
// SVCall to the core.
bool from_source(int exception) { return exception > kHardFault && exception != kSvCall; }

} // namespace

struct CortexM0::Decoded {
    Op op;
    std::uint8_t a, b, c; // register numbers
    std::int32_t imm;
};

namespace {

using Decoded16 = std::pair<Op, std::array<int, 4>>; // op, a, b, c, imm

// One case per encoding of the Thumb instruction set, in the order of the
// architecture manual's tables: split, it would only be harder to check
// against them.
Decoded16 decode(std::uint32_t hw) // NOLINT(readability-function-size)
{
    const int lo0 = hw & 7, lo3 = (hw >> 3) & 7, lo6 = (hw >> 6) & 7, lo8 = (hw >> 8) & 7;
    const int imm5 = (hw >> 6) & 31, imm8 = hw & 0xFF;
    switch (hw >> 11) {
    case 0x00:
        return {imm5 ? Op::LslImm : Op::MovsReg, {lo0, lo3, 0, imm5}};
    case 0x01:
        return {imm5 ? Op::LsrImm : Op::LsrImm32, {lo0, lo3, 0, imm5}};
    case 0x02:
        return {imm5 ? Op::AsrImm : Op::AsrImm32, {lo0, lo3, 0, imm5}};
    case 0x03: {
        static constexpr Op ops[] = {Op::AddReg, Op::SubReg, Op::AddImm3, Op::SubImm3};
        return {ops[(hw >> 9) & 3], {lo0, lo3, lo6, lo6}};
    }
    case 0x04:
        return {Op::MovImm, {lo8, 0, 0, imm8}};
    case 0x05:
        return {Op::CmpImm, {lo8, 0, 0, imm8}};
    case 0x06:
        return {Op::AddImm8, {lo8, 0, 0, imm8}};
    case 0x07:
        return {Op::SubImm8, {lo8, 0, 0, imm8}};
    case 0x08: {
        if (!(hw & 0x400)) {
            static constexpr Op ops[] = {Op::And, Op::Eor, Op::LslReg, Op::LsrReg, Op::AsrReg, Op::Adc,
                                         Op::Sbc, Op::Ror, Op::Tst,    Op::Rsb,    Op::Cmp,    Op::Cmn,
                                         Op::Orr, Op::Mul, Op::Bic,    Op::Mvn};
            return {ops[(hw >> 6) & 15], {lo0, lo3, 0, 0}};
        }
        // High registers: ADD, CMP, MOV, BX/BLX. A PC operand is rare and
        // reads as the instruction's address + 4: one slow case for all.
        const int dn = lo0 | ((hw >> 4) & 8), m = (hw >> 3) & 15;
        switch ((hw >> 8) & 3) {
        case 0:
            if (m == 15) return {Op::HighPcOperand, {}};
            return {dn == 15 ? Op::AddHighPc : dn == 13 ? Op::AddHighSp : Op::AddHigh, {dn, m, 0, 0}};
        case 1:
            if (m == 15 || dn == 15) return {Op::HighPcOperand, {}};
            return {Op::CmpHigh, {dn, m, 0, 0}};
        case 2:
            if (m == 15) return {Op::HighPcOperand, {}};
            return {dn == 15 ? Op::MovHighPc : dn == 13 ? Op::MovHighSp : Op::MovHigh, {dn, m, 0, 0}};
        default:
            if (m == 15) return {Op::HighPcOperand, {}};
            return {(hw & 0x80) ? Op::Blx : Op::Bx, {0, m, 0, 0}};
        }
    }
    case 0x09:
        return {Op::LdrLiteral, {lo8, 0, 0, imm8 * 4}};
    case 0x0A:
    case 0x0B: {
        static constexpr Op ops[] = {Op::StrReg, Op::StrhReg, Op::StrbReg, Op::LdrsbReg,
                                     Op::LdrReg, Op::LdrhReg, Op::LdrbReg, Op::LdrshReg};
        return {ops[(hw >> 9) & 7], {lo0, lo3, lo6, 0}};
    }
    case 0x0C:
        return {Op::StrImm, {lo0, lo3, 0, imm5 * 4}};
    case 0x0D:
        return {Op::LdrImm, {lo0, lo3, 0, imm5 * 4}};
    case 0x0E:
        return {Op::StrbImm, {lo0, lo3, 0, imm5}};
    case 0x0F:
        return {Op::LdrbImm, {lo0, lo3, 0, imm5}};
    case 0x10:
        return {Op::StrhImm, {lo0, lo3, 0, imm5 * 2}};
    case 0x11:
        return {Op::LdrhImm, {lo0, lo3, 0, imm5 * 2}};
    case 0x12:
        return {Op::StrSp, {lo8, 0, 0, imm8 * 4}};
    case 0x13:
        return {Op::LdrSp, {lo8, 0, 0, imm8 * 4}};
    case 0x14:
        return {Op::Adr, {lo8, 0, 0, imm8 * 4}};
    case 0x15:
        return {Op::AddSpImm, {lo8, 0, 0, imm8 * 4}};
    case 0x16:
    case 0x17:
        switch ((hw >> 8) & 15) {
        case 0x0: {
            const int amount = (hw & 0x7F) * 4;
            return {Op::AdjustSp, {0, 0, 0, (hw & 0x80) ? -amount : amount}};
        }
        case 0x2: {
            static constexpr Op ops[] = {Op::Sxth, Op::Sxtb, Op::Uxth, Op::Uxtb};
            return {ops[(hw >> 6) & 3], {lo0, lo3, 0, 0}};
        }
        case 0x4:
        case 0x5: // LR in the list is bit 14
            return {Op::Push, {0, 0, 0, static_cast<int>((hw & 0xFF) | ((hw & 0x100) << 6))}};
        case 0x6:
            if ((hw & 0xFFE0) != 0xB660) return {Op::Undefined, {}};
            if (!(hw & 2)) return {Op::Nop, {}}; // affects no mask the M0 has
            return {(hw & 0x10) ? Op::Cpsid : Op::Cpsie, {}};
        case 0xA: {
            static constexpr Op ops[] = {Op::Rev, Op::Rev16, Op::Undefined, Op::Revsh};
            return {ops[(hw >> 6) & 3], {lo0, lo3, 0, 0}};
        }
        case 0xC:
        case 0xD: // PC in the list is bit 15
            return {Op::Pop, {0, 0, 0, static_cast<int>((hw & 0xFF) | ((hw & 0x100) << 7))}};
        case 0xE:
            return {Op::Bkpt, {}};
        case 0xF:
            if (hw & 0xF) return {Op::Undefined, {}}; // IT
            switch ((hw >> 4) & 15) {
            case 2:
                return {Op::Wfe, {}};
            case 3:
                return {Op::Wfi, {}};
            case 4:
                return {Op::Sev, {}};
            default: // NOP, YIELD and the unallocated hints
                return {Op::Nop, {}};
            }
        default: // CBZ, CBNZ and the rest of this space
            return {Op::Undefined, {}};
        }
    case 0x18:
        return {Op::Stm, {lo8, 0, 0, imm8}};
    case 0x19:
        return {Op::Ldm, {lo8, 0, 0, imm8}};
    case 0x1A:
    case 0x1B: {
        const unsigned cond = (hw >> 8) & 15;
        if (cond == 14) return {Op::Undefined, {}}; // UDF
        if (cond == 15) return {Op::Svc, {}};
        return {static_cast<Op>(static_cast<unsigned>(Op::Beq) + cond),
                {0, 0, 0, static_cast<int>(sign_extend(hw & 0xFF, 8) * 2)}};
    }
    case 0x1C:
        return {Op::B, {0, 0, 0, static_cast<int>(sign_extend(hw & 0x7FF, 11) * 2)}};
    case 0x1E: {
        // First half of BL, MSR, MRS and the barriers. For BL: the offset
        // with S in bits 31..24 and imm10 in bits 21..12.
        const std::uint32_t s = (hw >> 10) & 1;
        return {Op::Wide, {0, 0, 0, static_cast<int>((s ? 0xFF000000u : 0u) | ((hw & 0x3FF) << 12))}};
    }
    default: // the 32-bit encodings the M0 does not have
        return {Op::Undefined, {}};
    }
}

} // namespace

const CortexM0::Decoded *CortexM0::decode_table()
{
    static const std::vector<Decoded> table = [] {
        std::vector<Decoded> t(0x10000);
        for (std::uint32_t hw = 0; hw < 0x10000; ++hw) {
            const auto [op, f] = decode(hw);
            t[hw] = Decoded{op, static_cast<std::uint8_t>(f[0]), static_cast<std::uint8_t>(f[1]),
                            static_cast<std::uint8_t>(f[2]), f[3]};
        }
        return t;
    }();
    return table.data();
}

// ------------------------------------------------------------------ set-up

CortexM0::CortexM0(Bus &bus, ExceptionSource &exceptions, const Memory &memory)
    : bus_(bus),
      exceptions_(exceptions),
      memory_(memory),
      flash_(memory.flash_size, 0xFF),
      ram_(memory.ram_size, 0),
      decode_(decode_table())
{
    if (memory.flash_size % 4 || memory.ram_size % 4 || memory.flash_base % 4 || memory.ram_base % 4) {
        throw std::invalid_argument("CortexM0: flash and RAM must be whole words");
    }
    active_.reserve(16);
    trace_record_.accesses.reserve(16);
    set_thumb(true);
}

CortexM0::~CortexM0() = default;

void CortexM0::load(std::uint32_t address, const std::uint8_t *bytes, std::size_t size)
{
    auto fits = [&](std::uint32_t base, std::vector<std::uint8_t> &memory) {
        if (address < base || address - base > memory.size() || memory.size() - (address - base) < size) {
            return false;
        }
        if (size) std::memcpy(memory.data() + (address - base), bytes, size);
        return true;
    };
    if (!fits(memory_.flash_base, flash_) && !fits(memory_.ram_base, ram_)) {
        throw std::out_of_range("CortexM0::load: bytes outside flash and RAM");
    }
    forget_loop();
}

void CortexM0::reset()
{
    r_.fill(0);
    r_[14] = 0xFFFFFFFF;
    n_ = z_ = c_ = v_ = false;
    primask_ = spsel_ = false;
    other_sp_ = 0;
    locked_up_ = sleeping_ = sleep_for_event_ = event_ = nmi_pending_ = false;
    active_.clear();
    std::uint32_t sp = 0, pc = 0;
    peek(0, 4, sp);
    peek(4, 4, pc);
    r_[13] = sp & ~3u;
    r_[15] = pc & ~1u;
    set_thumb(pc & 1);
    forget_loop();
}

void CortexM0::set_thumb(bool thumb)
{
    t_ = thumb;
    fetch_limit_ = thumb ? memory_.flash_size : 0;
}

void CortexM0::set_reg(int n, std::uint32_t value)
{
    r_.at(n) = n == 13 ? value & ~3u : n == 15 ? value & ~1u : value;
    forget_loop();
}

std::uint32_t CortexM0::xpsr() const
{
    return std::uint32_t(n_) << 31 | std::uint32_t(z_) << 30 | std::uint32_t(c_) << 29 | std::uint32_t(v_) << 28 |
        std::uint32_t(t_) << 24 | static_cast<std::uint32_t>(current_exception());
}

void CortexM0::set_xpsr(std::uint32_t value)
{
    n_ = value >> 31;
    z_ = (value >> 30) & 1;
    c_ = (value >> 29) & 1;
    v_ = (value >> 28) & 1;
    forget_loop();
}

int CortexM0::priority_ignoring_primask() const
{
    // Each active exception pre-empted the one before it: the last is the
    // most urgent.
    return active_.empty() ? kThreadPriority : active_.back().priority;
}

int CortexM0::execution_priority() const
{
    const int p = priority_ignoring_primask();
    return primask_ && p > 0 ? 0 : p;
}

bool CortexM0::peek(std::uint32_t address, unsigned size, std::uint32_t &value) const
{
    auto in = [&](const std::vector<std::uint8_t> &memory, std::uint32_t offset) {
        if (offset >= memory.size() || memory.size() - offset < size || size > 4) return false;
        value = 0;
        std::memcpy(&value, memory.data() + offset, size);
        return true;
    };
    if (address - memory_.ram_base < memory_.ram_size) return in(ram_, address - memory_.ram_base);
    if (address - memory_.flash_base < memory_.flash_size) return in(flash_, address - memory_.flash_base);
    if (address < memory_.flash_size) return in(flash_, address);
    return false;
}

bool CortexM0::poke(std::uint32_t address, std::uint32_t value, unsigned size)
{
    auto in = [&](std::vector<std::uint8_t> &memory, std::uint32_t offset) {
        if (offset >= memory.size() || memory.size() - offset < size || size > 4) return false;
        std::memcpy(memory.data() + offset, &value, size);
        return true;
    };
    forget_loop();
    if (address - memory_.ram_base < memory_.ram_size) return in(ram_, address - memory_.ram_base);
    if (address - memory_.flash_base < memory_.flash_size) return in(flash_, address - memory_.flash_base);
    if (address < memory_.flash_size) return in(flash_, address);
    return false;
}

void CortexM0::advance(Cycles cycles)
{
    now_ += cycles;
    idle_cycles_ += cycles;
    spin_arrival_ += cycles; // a loop's period counts only the cycles it ran
}

void CortexM0::set_trace(std::function<void(const TraceRecord &)> trace) { trace_ = std::move(trace); }

// ------------------------------------------------------------------ memory

void CortexM0::fault() { throw Bus::Fault{}; }

template <bool kTrace>
void CortexM0::record(std::uint32_t address, std::uint32_t value, unsigned size, bool write)
{
    if constexpr (kTrace) {
        trace_record_.accesses.push_back(MemAccess{address, value, static_cast<std::uint8_t>(size), write});
    }
}

template <unsigned kSize, bool kTrace>
inline std::uint32_t CortexM0::load(std::uint32_t address)
{
    if (address & (kSize - 1)) fault();
    std::uint32_t value;
    std::uint32_t offset = address - memory_.ram_base;
    if (offset < memory_.ram_size) {
        value = read_le<kSize>(ram_.data() + offset);
        spin_load_ = address;
    } else if ((offset = address - memory_.flash_base) < memory_.flash_size) {
        value = read_le<kSize>(flash_.data() + offset);
    } else {
        value = load_outside(address, kSize);
    }
    record<kTrace>(address, value, kSize, false);
    return value;
}

template <unsigned kSize, bool kTrace>
inline void CortexM0::store(std::uint32_t address, std::uint32_t value)
{
    if (address & (kSize - 1)) fault();
    spin_dirty_ = true;
    const std::uint32_t offset = address - memory_.ram_base;
    if (offset < memory_.ram_size) {
        write_le<kSize>(ram_.data() + offset, value);
    } else {
        store_outside(address, value, kSize); // flash too: its controller owns writes
    }
    record<kTrace>(address, kSize == 4 ? value : value & ((1u << (8 * kSize)) - 1), kSize, true);
}

std::uint32_t CortexM0::load_outside(std::uint32_t address, unsigned size)
{
    if (address < memory_.flash_size) { // flash seen at 0, as after a boot from it
        std::uint32_t value = 0;
        std::memcpy(&value, flash_.data() + address, size);
        return value;
    }
    spin_load_ = address;
    stop(Stop::BusAccess);
    return bus_.read(address, size);
}

void CortexM0::store_outside(std::uint32_t address, std::uint32_t value, unsigned size)
{
    stop(Stop::BusAccess);
    bus_.write(address, size == 4 ? value : value & ((1u << (8 * size)) - 1), size);
}

template <bool kTrace>
inline std::uint16_t CortexM0::fetch(std::uint32_t address)
{
    const std::uint32_t offset = address - memory_.flash_base;
    if (offset < fetch_limit_) return static_cast<std::uint16_t>(read_le<2>(flash_.data() + offset));
    return fetch_outside(address);
}

std::uint16_t CortexM0::fetch_outside(std::uint32_t address)
{
    if (!t_) fault(); // the last branch went to ARM state
    if (address - memory_.flash_base < memory_.flash_size) {
        return static_cast<std::uint16_t>(read_le<2>(flash_.data() + (address - memory_.flash_base)));
    }
    if (address - memory_.ram_base < memory_.ram_size) {
        return static_cast<std::uint16_t>(read_le<2>(ram_.data() + (address - memory_.ram_base)));
    }
    if (address < memory_.flash_size) return static_cast<std::uint16_t>(read_le<2>(flash_.data() + address));
    fault(); // nothing to execute there (peripherals and the system space never execute)
}

// ------------------------------------------------------------ instructions

namespace {

struct Alu {
    bool &n, &z, &c, &v;

    std::uint32_t nz(std::uint32_t r)
    {
        n = r >> 31;
        z = r == 0;
        return r;
    }
    std::uint32_t add(std::uint32_t x, std::uint32_t y, bool carry)
    {
        const std::uint64_t wide = std::uint64_t(x) + y + carry;
        const auto r = static_cast<std::uint32_t>(wide);
        c = wide >> 32;
        v = ((x ^ r) & (y ^ r)) >> 31;
        return nz(r);
    }
    std::uint32_t sub(std::uint32_t x, std::uint32_t y, bool carry = true) { return add(x, ~y, carry); }

    // Shifts by the bottom byte of a register.
    std::uint32_t lsl(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        if (amount < 32) {
            c = (x >> (32 - amount)) & 1;
            return nz(x << amount);
        }
        c = amount == 32 ? x & 1 : 0;
        return nz(0);
    }
    std::uint32_t lsr(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        if (amount < 32) {
            c = (x >> (amount - 1)) & 1;
            return nz(x >> amount);
        }
        c = amount == 32 ? x >> 31 : 0;
        return nz(0);
    }
    std::uint32_t asr(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        if (amount < 32) {
            c = (x >> (amount - 1)) & 1;
            return nz(arithmetic_shift_right(x, amount));
        }
        c = x >> 31;
        return nz(arithmetic_shift_right(x, 31));
    }
    std::uint32_t ror(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        const unsigned k = amount & 31;
        const std::uint32_t r = k ? (x >> k) | (x << (32 - k)) : x;
        c = r >> 31;
        return nz(r);
    }
};

} // namespace

// The interpreter's loop: one case per operation, kept in one function so
// the compiler keeps the registers and flags in machine registers.
template <bool kTrace>
void CortexM0::execute() // NOLINT(readability-function-size)
{
    auto &r = r_;
    Alu alu{n_, z_, c_, v_};
    while (now_ < stop_at_) {
        const std::uint32_t pc = r[15];
        const std::uint32_t opcode = fetch<kTrace>(pc);
        const Decoded d = decode_[opcode];
        [[maybe_unused]] const Cycles start = now_;
        if constexpr (kTrace) {
            trace_record_.pc = pc;
            trace_record_.opcode = opcode;
            trace_record_.accesses.clear();
        }
        std::uint32_t next = pc + 2;
        unsigned cycles = 1;
        const auto imm = static_cast<std::uint32_t>(d.imm);

        // A taken conditional branch or B; a backward one may close a loop.
        auto branch_if = [&](bool taken) {
            if (!taken) return;
            next = pc + 4 + imm;
            cycles = 3;
            if (d.imm < -2) back_edge(next, pc, now_ + cycles);
        };

        switch (d.op) {
        case Op::MovsReg:
            r[d.a] = alu.nz(r[d.b]);
            break;
        case Op::LslImm:
            c_ = (r[d.b] >> (32 - imm)) & 1;
            r[d.a] = alu.nz(r[d.b] << imm);
            break;
        case Op::LsrImm:
            c_ = (r[d.b] >> (imm - 1)) & 1;
            r[d.a] = alu.nz(r[d.b] >> imm);
            break;
        case Op::LsrImm32:
            c_ = r[d.b] >> 31;
            r[d.a] = alu.nz(0);
            break;
        case Op::AsrImm:
            c_ = (r[d.b] >> (imm - 1)) & 1;
            r[d.a] = alu.nz(arithmetic_shift_right(r[d.b], imm));
            break;
        case Op::AsrImm32:
            c_ = r[d.b] >> 31;
            r[d.a] = alu.nz(arithmetic_shift_right(r[d.b], 31));
            break;
        case Op::AddReg:
            r[d.a] = alu.add(r[d.b], r[d.c], false);
            break;
        case Op::SubReg:
            r[d.a] = alu.sub(r[d.b], r[d.c]);
            break;
        case Op::AddImm3:
            r[d.a] = alu.add(r[d.b], imm, false);
            break;
        case Op::SubImm3:
            r[d.a] = alu.sub(r[d.b], imm);
            break;
        case Op::MovImm:
            r[d.a] = alu.nz(imm);
            break;
        case Op::CmpImm:
            alu.sub(r[d.a], imm);
            break;
        case Op::AddImm8:
            r[d.a] = alu.add(r[d.a], imm, false);
            break;
        case Op::SubImm8:
            r[d.a] = alu.sub(r[d.a], imm);
            break;
        case Op::And:
            r[d.a] = alu.nz(r[d.a] & r[d.b]);
            break;
        case Op::Eor:
            r[d.a] = alu.nz(r[d.a] ^ r[d.b]);
            break;
        case Op::LslReg:
            r[d.a] = alu.lsl(r[d.a], r[d.b]);
            break;
        case Op::LsrReg:
            r[d.a] = alu.lsr(r[d.a], r[d.b]);
            break;
        case Op::AsrReg:
            r[d.a] = alu.asr(r[d.a], r[d.b]);
            break;
        case Op::Adc:
            r[d.a] = alu.add(r[d.a], r[d.b], c_);
            break;
        case Op::Sbc:
            r[d.a] = alu.sub(r[d.a], r[d.b], c_);
            break;
        case Op::Ror:
            r[d.a] = alu.ror(r[d.a], r[d.b]);
            break;
        case Op::Tst:
            alu.nz(r[d.a] & r[d.b]);
            break;
        case Op::Rsb:
            r[d.a] = alu.sub(0, r[d.b]);
            break;
        case Op::Cmp:
            alu.sub(r[d.a], r[d.b]);
            break;
        case Op::Cmn:
            alu.add(r[d.a], r[d.b], false);
            break;
        case Op::Orr:
            r[d.a] = alu.nz(r[d.a] | r[d.b]);
            break;
        case Op::Mul:
            r[d.a] = alu.nz(r[d.a] * r[d.b]);
            break;
        case Op::Bic:
            r[d.a] = alu.nz(r[d.a] & ~r[d.b]);
            break;
        case Op::Mvn:
            r[d.a] = alu.nz(~r[d.b]);
            break;

        case Op::AddHigh:
            r[d.a] += r[d.b];
            break;
        case Op::AddHighSp:
            r[13] = (r[13] + r[d.b]) & ~3u;
            break;
        case Op::AddHighPc:
            next = (pc + 4 + r[d.b]) & ~1u;
            cycles = 3;
            break;
        case Op::CmpHigh:
            alu.sub(r[d.a], r[d.b]);
            break;
        case Op::MovHigh:
            r[d.a] = r[d.b];
            break;
        case Op::MovHighSp:
            r[13] = r[d.b] & ~3u;
            break;
        case Op::MovHighPc:
            next = r[d.b] & ~1u;
            cycles = 3;
            break;
        case Op::Bx: {
            const std::uint32_t target = r[d.b];
            cycles = 3;
            if ((target >> 28) == 0xF && !active_.empty()) {
                now_ += cycles;
                cycles = 0;
                exception_return(target);
                next = r[15];
            } else {
                if (!(target & 1)) set_thumb(false);
                next = target & ~1u;
            }
            break;
        }
        case Op::Blx: {
            const std::uint32_t target = r[d.b];
            r[14] = (pc + 2) | 1;
            if (!(target & 1)) set_thumb(false);
            next = target & ~1u;
            cycles = 3;
            break;
        }
        case Op::HighPcOperand:
            next = high_register_pc(pc, opcode, cycles);
            break;

        case Op::LdrLiteral:
            r[d.a] = load<4, kTrace>(((pc + 4) & ~3u) + imm);
            cycles = 2;
            break;
        case Op::StrReg:
            store<4, kTrace>(r[d.b] + r[d.c], r[d.a]);
            cycles = 2;
            break;
        case Op::StrhReg:
            store<2, kTrace>(r[d.b] + r[d.c], r[d.a]);
            cycles = 2;
            break;
        case Op::StrbReg:
            store<1, kTrace>(r[d.b] + r[d.c], r[d.a]);
            cycles = 2;
            break;
        case Op::LdrsbReg:
            r[d.a] = sign_extend(load<1, kTrace>(r[d.b] + r[d.c]), 8);
            cycles = 2;
            break;
        case Op::LdrReg:
            r[d.a] = load<4, kTrace>(r[d.b] + r[d.c]);
            cycles = 2;
            break;
        case Op::LdrhReg:
            r[d.a] = load<2, kTrace>(r[d.b] + r[d.c]);
            cycles = 2;
            break;
        case Op::LdrbReg:
            r[d.a] = load<1, kTrace>(r[d.b] + r[d.c]);
            cycles = 2;
            break;
        case Op::LdrshReg:
            r[d.a] = sign_extend(load<2, kTrace>(r[d.b] + r[d.c]), 16);
            cycles = 2;
            break;
        case Op::StrImm:
            store<4, kTrace>(r[d.b] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrImm:
            r[d.a] = load<4, kTrace>(r[d.b] + imm);
            cycles = 2;
            break;
        case Op::StrbImm:
            store<1, kTrace>(r[d.b] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrbImm:
            r[d.a] = load<1, kTrace>(r[d.b] + imm);
            cycles = 2;
            break;
        case Op::StrhImm:
            store<2, kTrace>(r[d.b] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrhImm:
            r[d.a] = load<2, kTrace>(r[d.b] + imm);
            cycles = 2;
            break;
        case Op::StrSp:
            store<4, kTrace>(r[13] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrSp:
            r[d.a] = load<4, kTrace>(r[13] + imm);
            cycles = 2;
            break;
        case Op::Adr:
            r[d.a] = ((pc + 4) & ~3u) + imm;
            break;
        case Op::AddSpImm:
            r[d.a] = r[13] + imm;
            break;
        case Op::AdjustSp:
            r[13] += imm;
            break;
        case Op::Sxth:
            r[d.a] = sign_extend(r[d.b] & 0xFFFF, 16);
            break;
        case Op::Sxtb:
            r[d.a] = sign_extend(r[d.b] & 0xFF, 8);
            break;
        case Op::Uxth:
            r[d.a] = r[d.b] & 0xFFFF;
            break;
        case Op::Uxtb:
            r[d.a] = r[d.b] & 0xFF;
            break;
        case Op::Rev:
            r[d.a] = __builtin_bswap32(r[d.b]);
            break;
        case Op::Rev16:
            r[d.a] = ((r[d.b] & 0xFF00FF00u) >> 8) | ((r[d.b] & 0x00FF00FFu) << 8);
            break;
        case Op::Revsh:
            r[d.a] = sign_extend(((r[d.b] & 0xFF) << 8) | ((r[d.b] >> 8) & 0xFF), 16);
            break;

        case Op::Push: {
            const unsigned count = __builtin_popcount(imm);
            const std::uint32_t base = r[13] - 4 * count;
            std::uint32_t address = base;
            for (std::uint32_t list = imm; list; list &= list - 1) {
                store<4, kTrace>(address, r[__builtin_ctz(list)]);
                address += 4;
            }
            r[13] = base;
            cycles = 1 + count;
            break;
        }
        case Op::Pop: {
            const unsigned count = __builtin_popcount(imm);
            std::uint32_t address = r[13];
            for (std::uint32_t list = imm & 0xFF; list; list &= list - 1) {
                r[__builtin_ctz(list)] = load<4, kTrace>(address);
                address += 4;
            }
            if (imm & 0x8000) {
                const std::uint32_t target = load<4, kTrace>(address);
                r[13] = address + 4;
                cycles = 3 + count; // 4 + the registers besides PC
                if ((target >> 28) == 0xF && !active_.empty()) {
                    now_ += cycles;
                    cycles = 0;
                    exception_return(target);
                    next = r[15];
                } else {
                    if (!(target & 1)) set_thumb(false);
                    next = target & ~1u;
                }
            } else {
                r[13] = address;
                cycles = 1 + count;
            }
            break;
        }
        case Op::Stm: {
            std::uint32_t address = r[d.a];
            for (std::uint32_t list = imm; list; list &= list - 1) {
                store<4, kTrace>(address, r[__builtin_ctz(list)]);
                address += 4;
            }
            r[d.a] = address;
            cycles = 1 + __builtin_popcount(imm);
            break;
        }
        case Op::Ldm: {
            std::uint32_t address = r[d.a];
            for (std::uint32_t list = imm; list; list &= list - 1) {
                r[__builtin_ctz(list)] = load<4, kTrace>(address);
                address += 4;
            }
            if (!((imm >> d.a) & 1)) r[d.a] = address;
            cycles = 1 + __builtin_popcount(imm);
            break;
        }

        case Op::Cpsie:
            if (primask_) {
                primask_ = false;
                recheck();
            }
            break;
        case Op::Cpsid:
            primask_ = true;
            break;
        case Op::Bkpt:
            stop(Stop::Breakpoint); // pc stays at the breakpoint; it does not complete
            continue;
        case Op::Nop:
            break;
        case Op::Wfe:
            cycles = 2;
            if (event_) {
                event_ = false;
            } else if (!wakes(true)) {
                sleeping_ = sleep_for_event_ = true;
                stop(Stop::Sleeping);
            }
            break;
        case Op::Wfi:
            cycles = 2;
            if (!wakes(false)) {
                sleeping_ = true;
                sleep_for_event_ = false;
                stop(Stop::Sleeping);
            }
            break;
        case Op::Sev:
            event_ = true;
            break;

        case Op::Beq:
            branch_if(z_);
            break;
        case Op::Bne:
            branch_if(!z_);
            break;
        case Op::Bcs:
            branch_if(c_);
            break;
        case Op::Bcc:
            branch_if(!c_);
            break;
        case Op::Bmi:
            branch_if(n_);
            break;
        case Op::Bpl:
            branch_if(!n_);
            break;
        case Op::Bvs:
            branch_if(v_);
            break;
        case Op::Bvc:
            branch_if(!v_);
            break;
        case Op::Bhi:
            branch_if(c_ && !z_);
            break;
        case Op::Bls:
            branch_if(!c_ || z_);
            break;
        case Op::Bge:
            branch_if(n_ == v_);
            break;
        case Op::Blt:
            branch_if(n_ != v_);
            break;
        case Op::Bgt:
            branch_if(!z_ && n_ == v_);
            break;
        case Op::Ble:
            branch_if(z_ || n_ != v_);
            break;
        case Op::B:
            branch_if(true);
            break;

        case Op::Svc: {
            const int priority = exceptions_.priority_of(kSvCall);
            if (priority >= execution_priority()) fault(); // cannot be taken now: escalates
            enter(kSvCall, priority, pc + 2);
            next = r[15];
            cycles = 0; // the entry's
            break;
        }
        case Op::Wide:
            next = wide<kTrace>(pc, opcode, imm, cycles);
            break;
        case Op::Undefined:
            fault();
        }

        r[15] = next;
        now_ += cycles;
        ++instructions_;
        if constexpr (kTrace) {
            trace_record_.cycles = now_ - start;
            trace_record_.regs = r_;
            trace_record_.xpsr = xpsr();
            trace_(trace_record_);
        }
    }
}

template <bool kTrace>
std::uint32_t CortexM0::wide(std::uint32_t pc, std::uint32_t first, std::uint32_t prepared, unsigned &cycles)
{
    const std::uint32_t second = fetch<kTrace>(pc + 2);
    if constexpr (kTrace) trace_record_.opcode = first << 16 | second;
    cycles = 4;
    if ((second & 0xD000) == 0xD000) { // BL
        const std::uint32_t s = (first >> 10) & 1;
        const std::uint32_t i1 = ~((second >> 13) ^ s) & 1, i2 = ~((second >> 11) ^ s) & 1;
        const std::uint32_t offset = prepared | i1 << 23 | i2 << 22 | (second & 0x7FF) << 1;
        r_[14] = (pc + 4) | 1;
        return pc + 4 + offset;
    }
    // Branch and miscellaneous control: only MSR, MRS and the barriers.
    if ((second & 0xD000) != 0x8000) fault();
    const unsigned op = (first >> 4) & 0x7F;
    if ((op & 0x7E) == 0x38) { // MSR
        const unsigned n = first & 15;
        if (n == 13 || n == 15) fault();
        write_special_register(second & 0xFF, r_[n]);
    } else if (op == 0x3B) { // DSB, DMB, ISB
        const unsigned kind = (second >> 4) & 15;
        if (kind < 4 || kind > 6) fault();
    } else if ((op & 0x7E) == 0x3E) { // MRS
        const unsigned d = (second >> 8) & 15;
        if (d == 13 || d == 15) fault();
        r_[d] = special_register(second & 0xFF);
    } else {
        fault();
    }
    return pc + 4;
}

std::uint32_t CortexM0::high_register_pc(std::uint32_t pc, std::uint32_t opcode, unsigned &cycles)
{
    const unsigned dn = (opcode & 7) | ((opcode >> 4) & 8), m = (opcode >> 3) & 15;
    auto read = [&](unsigned i) { return i == 15 ? pc + 4 : r_[i]; };
    auto write = [&](unsigned i, std::uint32_t value) {
        if (i == 15) {
            cycles = 3;
            return value & ~1u;
        }
        r_[i] = i == 13 ? value & ~3u : value;
        return pc + 2;
    };
    switch ((opcode >> 8) & 3) {
    case 0:
        return write(dn, read(dn) + read(m));
    case 1:
        Alu{n_, z_, c_, v_}.sub(read(dn), read(m));
        return pc + 2;
    case 2:
        return write(dn, read(m));
    default: {
        const std::uint32_t target = read(m);
        if (opcode & 0x80) r_[14] = (pc + 2) | 1;
        cycles = 3;
        if (!(target & 1)) set_thumb(false);
        return target & ~1u;
    }
    }
}

std::uint32_t CortexM0::special_register(unsigned sysm) const
{
    switch (sysm) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
    case 7: {
        std::uint32_t value = 0;
        if (sysm & 1) value |= static_cast<std::uint32_t>(current_exception());
        if (!(sysm & 4)) value |= xpsr() & 0xF0000000u;
        return value; // EPSR reads as zero
    }
    case 8: // MSP
        return spsel_ ? other_sp_ : r_[13];
    case 9: // PSP
        return spsel_ ? r_[13] : other_sp_;
    case 16:
        return primask_;
    case 20: // CONTROL: only SPSEL; the M0 has no unprivileged mode
        return std::uint32_t(spsel_) << 1;
    default:
        return 0;
    }
}

void CortexM0::write_special_register(unsigned sysm, std::uint32_t value)
{
    switch (sysm) {
    case 0:
    case 1:
    case 2:
    case 3:
        set_xpsr(value);
        break;
    case 8:
        (spsel_ ? other_sp_ : r_[13]) = value & ~3u;
        break;
    case 9:
        (spsel_ ? r_[13] : other_sp_) = value & ~3u;
        break;
    case 16: {
        const bool was = primask_;
        primask_ = value & 1;
        if (was && !primask_) recheck();
        break;
    }
    case 20:
        if (active_.empty() && bool(value & 2) != spsel_) {
            std::swap(r_[13], other_sp_);
            spsel_ = !spsel_;
        }
        break;
    default:
        break;
    }
}

// -------------------------------------------------------------- loops

void CortexM0::back_edge(std::uint32_t target, std::uint32_t branch, Cycles arrival)
{
    const std::uint32_t flags =
        std::uint32_t(n_) | std::uint32_t(z_) << 1 | std::uint32_t(c_) << 2 | std::uint32_t(v_) << 3;
    if (target == spin_target_ && !spin_dirty_ && flags == spin_flags_ &&
        std::memcmp(r_.data(), spin_regs_.data(), sizeof spin_regs_) == 0) {
        // The same state at the same place with nothing written: only an
        // event (an interrupt, a peripheral's register) can end this loop.
        spin_period_ = arrival - spin_arrival_;
        spin_address_ = spin_load_;
        spin_end_ = branch;
        spin_arrival_ = arrival;
        spin_load_ = 0;
        stop(Stop::Spinning);
        return;
    }
    spin_target_ = target;
    std::memcpy(spin_regs_.data(), r_.data(), sizeof spin_regs_);
    spin_flags_ = flags;
    spin_arrival_ = arrival;
    spin_load_ = 0;
    spin_dirty_ = false;
}

// -------------------------------------------------------------- exceptions

int CortexM0::pending_exception(int current, int &priority)
{
    if (nmi_pending_ && current > -2) {
        priority = -2;
        return kNmi;
    }
    if (current <= 0) return -1;
    const int exception = exceptions_.next_to_take(current);
    if (exception >= 0) priority = exceptions_.priority_of(exception);
    return exception;
}

bool CortexM0::wakes(bool for_event)
{
    if (for_event && event_) return true;
    int priority;
    return pending_exception(priority_ignoring_primask(), priority) >= 0;
}

bool CortexM0::take_pending()
{
    int priority;
    const int exception = pending_exception(execution_priority(), priority);
    if (exception < 0) return false;
    if (exception == kNmi) {
        nmi_pending_ = false;
    } else {
        exceptions_.activate(exception);
    }
    enter(exception, priority, r_[15]);
    return true;
}

void CortexM0::take_fault()
{
    forget_loop();
    if (execution_priority() < 0) { // in HardFault or NMI: nothing left to escalate to
        lock_up();
        return;
    }
    enter(kHardFault, -1, r_[15]);
}

void CortexM0::lock_up()
{
    locked_up_ = true;
    stop(Stop::Lockup);
}

void CortexM0::enter(int exception, int priority, std::uint32_t return_address)
{
    const Cycles start = now_;
    const std::uint32_t sp = r_[13];
    // The frame is 8-byte aligned; bit 9 of the stacked xPSR says whether a
    // word of padding went above it.
    const std::uint32_t frame = (sp - 0x20) & ~7u;
    const std::uint32_t psr = (xpsr() & ~0x3FFu) | ((sp & 4) << 7) | static_cast<std::uint32_t>(current_exception());
    const std::uint32_t words[8] = {r_[0], r_[1], r_[2], r_[3], r_[12], r_[14], return_address, psr};
    try {
        for (unsigned i = 0; i < 8; ++i) store<4, false>(frame + 4 * i, words[i]);
    } catch (const Bus::Fault &) {
        if (from_source(exception)) exceptions_.deactivate(exception);
        if (exception == kHardFault || exception == kNmi || execution_priority() < 0) {
            lock_up();
        } else {
            enter(kHardFault, -1, return_address);
        }
        return;
    }
    r_[14] = !active_.empty() ? kReturnToHandler : spsel_ ? kReturnToProcess : kReturnToMain;
    r_[13] = frame;
    if (spsel_) { // thread mode ran on the process stack; handlers use the main one
        std::swap(r_[13], other_sp_);
        spsel_ = false;
    }
    begin_handler(exception, priority, start);
    now_ += kEntryCycles;
}

void CortexM0::begin_handler(int exception, int priority, Cycles start)
{
    active_.push_back(Active{exception, priority, start});
    ++handler_stats_.at(exception).count;
    std::uint32_t vector = 0;
    if (!peek(4 * static_cast<std::uint32_t>(exception), 4, vector)) {
        lock_up(); // no vector table where the core fetches it
        return;
    }
    r_[15] = vector & ~1u;
    set_thumb(vector & 1); // an even vector faults at the handler's first instruction
    sleeping_ = false;
    event_ = true;
    forget_loop();
}

void CortexM0::finish_handler(const Active &done, Cycles end)
{
    HandlerStats &stats = handler_stats_.at(done.exception);
    const Cycles span = end - done.entered;
    stats.cycles_total += span;
    if (span > stats.cycles_max) stats.cycles_max = span;
}

void CortexM0::exception_return(std::uint32_t exc_return)
{
    const std::uint32_t kind = exc_return & 15;
    const bool to_thread = kind == 9 || kind == 13;
    if ((exc_return & 0x0FFFFFF0) != 0x0FFFFFF0 || !(to_thread || kind == 1) || to_thread != (active_.size() == 1)) {
        fault();
    }
    const Active done = active_.back();
    active_.pop_back();
    if (from_source(done.exception)) exceptions_.deactivate(done.exception);
    forget_loop();
    event_ = true;

    int priority;
    const int next = pending_exception(execution_priority(), priority);
    if (next >= 0) {
        // Tail-chain: the frame on the stack serves the next handler too.
        finish_handler(done, now_);
        if (next == kNmi) {
            nmi_pending_ = false;
        } else {
            exceptions_.activate(next);
        }
        begin_handler(next, priority, now_);
        r_[14] = exc_return;
        now_ += kTailChainCycles;
        return;
    }

    const bool to_process = kind == 13;
    std::uint32_t sp = to_process ? other_sp_ : r_[13];
    std::uint32_t words[8];
    for (unsigned i = 0; i < 8; ++i) words[i] = load<4, false>(sp + 4 * i);
    r_[0] = words[0];
    r_[1] = words[1];
    r_[2] = words[2];
    r_[3] = words[3];
    r_[12] = words[4];
    r_[14] = words[5];
    r_[15] = words[6] & ~1u;
    const std::uint32_t psr = words[7];
    set_xpsr(psr);
    set_thumb((psr >> 24) & 1);
    sp = (sp + 0x20) | ((psr >> 7) & 4);
    if (to_process) {
        other_sp_ = r_[13];
        r_[13] = sp;
        spsel_ = true;
    } else {
        r_[13] = sp;
    }
    now_ += kReturnCycles;
    finish_handler(done, now_);
}

// -------------------------------------------------------------- running

CortexM0::Stop CortexM0::run(Cycles limit)
{
    if (locked_up_) return Stop::Lockup;
    if (sleeping_) {
        if (!wakes(sleep_for_event_)) return Stop::Sleeping;
        sleeping_ = false;
        if (sleep_for_event_) event_ = false;
    }
    for (;;) {
        if (now_ >= limit) return Stop::Limit;
        stopped_ = false;
        stop_at_ = limit;
        try {
            take_pending();
            if (trace_) {
                execute<true>();
            } else {
                execute<false>();
            }
        } catch (const Bus::Fault &) {
            take_fault();
        }
        if (stopped_) return stop_reason_;
    }
}

} // namespace sim
