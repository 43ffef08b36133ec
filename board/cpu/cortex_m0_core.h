// The Cortex-M0 core's own vocabulary, shared by the files it is split
// into (decode, execution, exceptions, the rest): the operations of the
// decode table, little-endian memory, and the accesses of the fast path,
// inlined into the interpreter's loop. Not for use outside the core.
#pragma once

#include <cstdint>
#include <cstring>

#include "board/cpu/cortex_m0.h"

namespace sim {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "flash and RAM are kept in the host's byte order");

namespace m0 {

constexpr int kNmi = 2, kHardFault = 3, kSvCall = 11;
constexpr int kThreadPriority = 256;
constexpr std::uint32_t kReturnToHandler = 0xFFFFFFF1, kReturnToMain = 0xFFFFFFF9, kReturnToProcess = 0xFFFFFFFD;

// What the decode table maps a halfword to. The register fields and the
// immediate of each are in Decoded; see decode() for which is which.
// The operations stay grouped as the decoder groups them; the list also
// gives the interpreter's table of handlers (execute()), in the same order.
// Bl is a BL in the decoded flash, its whole offset in the immediate
// (predecode(); the decode table gives Wide for its first half). LdrFlash
// is an LDR (literal) in the decoded flash whose word lies in flash too,
// the word's offset in flash in the immediate.
// Refetch is no instruction: the mark after the decoded flash's last entry
// and after an entry fetched from elsewhere, where the entry after an
// instruction that went on is not the next one (execute()).
// clang-format off
#define SNT_M0_OPERATIONS(X) \
    X(MovsReg) X(LslImm) X(LsrImm) X(LsrImm32) X(AsrImm) X(AsrImm32) \
    X(AddReg) X(SubReg) X(AddImm3) X(SubImm3) \
    X(MovImm) X(CmpImm) X(AddImm8) X(SubImm8) \
    X(And) X(Eor) X(LslReg) X(LsrReg) X(AsrReg) X(Adc) X(Sbc) X(Ror) X(Tst) X(Rsb) X(Cmp) X(Cmn) X(Orr) X(Mul) \
    X(Bic) X(Mvn) \
    X(AddHigh) X(AddHighSp) X(AddHighPc) X(CmpHigh) X(MovHigh) X(MovHighSp) X(MovHighPc) X(Bx) X(Blx) \
    X(HighPcOperand) \
    X(LdrLiteral) X(LdrFlash) \
    X(StrReg) X(StrhReg) X(StrbReg) X(LdrsbReg) X(LdrReg) X(LdrhReg) X(LdrbReg) X(LdrshReg) \
    X(StrImm) X(LdrImm) X(StrbImm) X(LdrbImm) X(StrhImm) X(LdrhImm) X(StrSp) X(LdrSp) \
    X(Adr) X(AddSpImm) X(AdjustSp) \
    X(Sxth) X(Sxtb) X(Uxth) X(Uxtb) X(Rev) X(Rev16) X(Revsh) \
    X(Push) X(Pop) X(Stm) X(Ldm) \
    X(Cpsie) X(Cpsid) X(Bkpt) X(Nop) X(Wfe) X(Wfi) X(Sev) \
    X(Beq) X(Bne) X(Bcs) X(Bcc) X(Bmi) X(Bpl) X(Bvs) X(Bvc) X(Bhi) X(Bls) X(Bge) X(Blt) X(Bgt) X(Ble) \
    X(Svc) X(B) X(Wide) X(Bl) X(Undefined) \
    X(Refetch)
#define SNT_M0_ENUMERATOR(name) name,
enum class Op : std::uint8_t { SNT_M0_OPERATIONS(SNT_M0_ENUMERATOR) };
#undef SNT_M0_ENUMERATOR
// clang-format on

template <unsigned kSize>
inline std::uint32_t read_le(const std::uint8_t *p)
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
inline void write_le(std::uint8_t *p, std::uint32_t value)
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

inline std::uint32_t sign_extend(std::uint32_t value, unsigned bits)
{
    const std::uint32_t sign = 1u << (bits - 1);
    return (value ^ sign) - sign;
}

inline std::uint32_t arithmetic_shift_right(std::uint32_t x, unsigned amount) // amount 0..31
{
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(x) >> amount);
}

// BL's offset from its two halfwords.
inline std::uint32_t bl_offset(std::uint32_t first, std::uint32_t second)
{
    const std::uint32_t s = (first >> 10) & 1;
    const std::uint32_t i1 = ~((second >> 13) ^ s) & 1, i2 = ~((second >> 11) ^ s) & 1;
    return (s ? 0xFF000000u : 0u) | (first & 0x3FF) << 12 | i1 << 23 | i2 << 22 | (second & 0x7FF) << 1;
}

// SysTick and the IRQs belong to the ExceptionSource; NMI, HardFault and
// SVCall to the core.
inline bool from_source(int exception) { return exception > kHardFault && exception != kSvCall; }

// Marks in Decoded::c of a backward branch in the decoded flash.
// A conditional branch that may close a delay loop (cortex_m0_loops.cpp).
constexpr std::uint8_t kMayBeDelayLoop = 1;
// The branch closes straight code (no instruction in it goes anywhere but
// to the next) with a store in it: every pass from its target stores, so
// loop detection can never find the state unchanged at this branch, nor
// at the next back edge after it (back_edge).
constexpr std::uint8_t kStoringLoop = 2;

} // namespace m0

struct CortexM0::Decoded {
    m0::Op op;
    std::uint8_t a, b, c; // register numbers; in the decoded flash, c of a backward
                          // branch holds its marks (kMayBeDelayLoop, kStoringLoop)
    std::int32_t imm;
    // In the decoded flash and the entry fetched from elsewhere, built with
    // GCC: the fast path's handler of op (direct threading: no look-up in
    // its table); nullptr until that path first runs (resolve_handlers).
    const void *fast = nullptr;
};

// ------------------------------------------------------------------ memory

template <CortexM0::Mode kMode>
inline void CortexM0::record(std::uint32_t address, std::uint32_t value, unsigned size, bool write)
{
    if constexpr (kMode == Mode::Trace) {
        trace_record_.accesses.push_back(MemAccess{address, value, static_cast<std::uint8_t>(size), write});
    } else if constexpr (kMode == Mode::Debug) {
        watch(address, size, write);
    }
}

template <unsigned kSize, CortexM0::Mode kMode>
inline std::uint32_t CortexM0::load(std::uint32_t address, Cycles now)
{
    if (address & (kSize - 1)) {
        now_ = now; // the fault is taken at the instruction's first cycle
        fault();
    }
    std::uint32_t value;
    std::uint32_t offset = address - memory_.ram_base;
    if (offset < memory_.ram_size) {
        value = m0::read_le<kSize>(ram_.data() + offset);
        spin_load_ = address;
    } else if ((offset = address - memory_.flash_base) < memory_.flash_size) {
        value = m0::read_le<kSize>(flash_.data() + offset);
    } else {
        now_ = now;
        value = load_outside(address, kSize);
    }
    record<kMode>(address, value, kSize, false);
    return value;
}

template <unsigned kSize, CortexM0::Mode kMode>
inline void CortexM0::store(std::uint32_t address, std::uint32_t value, Cycles now)
{
    if (address & (kSize - 1)) {
        now_ = now; // the fault is taken at the instruction's first cycle
        fault();
    }
    spin_dirty_ = true;
    const std::uint32_t offset = address - memory_.ram_base;
    if (offset < memory_.ram_size) {
        m0::write_le<kSize>(ram_.data() + offset, value);
    } else if (kSize == 4 && quiet_granted_ && quiet_store(address, value)) {
        // an output latch the Bus lets the core have (set_quiet_outputs)
    } else {
        now_ = now;
        store_outside(address, value, kSize); // flash too: its controller owns writes
    }
    if constexpr (kSize == 4) {
        record<kMode>(address, value, kSize, true);
    } else {
        record<kMode>(address, value & ((1u << (8 * kSize)) - 1), kSize, true);
    }
}

inline std::uint16_t CortexM0::fetch(std::uint32_t address)
{
    const std::uint32_t offset = address - memory_.flash_base;
    if (offset < fetch_limit_) return static_cast<std::uint16_t>(m0::read_le<2>(flash_.data() + offset));
    return fetch_outside(address);
}

} // namespace sim
