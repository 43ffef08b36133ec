// Seeded random streams of every ARMv6-M instruction the Cortex-M0 core
// runs without faulting, for the lock-step comparison with unicorn
// (cortex_m0_oracle_test): random registers and flags, operands steered so
// that memory accesses stay in a RAM window and branches in a code window.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace snt_test::thumb {

using Program = std::vector<std::uint16_t>;

constexpr std::uint32_t kFlash = 0x08000000, kFlashSize = 0x4000;
constexpr std::uint32_t kRam = 0x20000000, kRamSize = 0x1000;
constexpr std::uint32_t kWindow = 0x400;                                        // RAM the accesses stay in
constexpr std::uint32_t kCodeLow = kFlash + 0x400, kCodeHigh = kFlash + 0x3000; // where instructions go

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

} // namespace snt_test::thumb
