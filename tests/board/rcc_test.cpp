// Reset and clock control on the board: the enable bits that gate each
// peripheral's clock.
#include <gtest/gtest.h>

#include <cstdint>

#include "board/peripherals/memory_map.h"
#include "board/peripherals/rcc.h"
#include "shells/sim/sim_board.h"

namespace snt_test {
namespace {

using sim::Rcc;

// A peripheral whose clock is off reads 0 and ignores writes; with its clock
// on again it holds what it held before and takes writes.
TEST(RccClockGating, APeripheralWithItsClockOffReadsZeroAndIgnoresWrites)
{
    struct Case {
        const char *name;
        std::uint32_t enable_reg; // offset in RCC
        unsigned enable_bit;
        std::uint32_t reg; // a plain read-write register of the peripheral
        std::uint32_t first, second;
    };
    const Case cases[] = {
        {"USART1 (APB2ENR.USART1EN), BRR", Rcc::kApb2enr, 14, sim::kUsart1Base + 0x0C, 69, 70},
        {"GPIOA (AHBENR.GPIOAEN), OSPEEDR", Rcc::kAhbenr, 17, sim::kGpioaBase + 0x08, 0x0C000030, 0x0C0000F0},
        {"GPIOF (AHBENR.GPIOFEN), PUPDR", Rcc::kAhbenr, 22, sim::kGpiofBase + 0x0C, 0x5, 0xA},
        {"ADC (APB2ENR.ADCEN), TR", Rcc::kApb2enr, 9, sim::kAdcBase + 0x20, 0x0F000100, 0x0E000200},
        {"TIM3 (APB1ENR.TIM3EN), PSC", Rcc::kApb1enr, 1, sim::kTim3Base + 0x28, 15, 31},
    };
    sim::SimBoard board;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t en = sim::kRccBase + c.enable_reg;
        const std::uint32_t bit = 1u << c.enable_bit;
        // On: the write takes effect.
        board.poke(en, board.inspect(en) | bit);
        board.poke(c.reg, c.first);
        ASSERT_EQ(board.inspect(c.reg), c.first);

        // Off: reads give 0, and a write goes nowhere.
        board.poke(en, board.inspect(en) & ~bit);
        EXPECT_EQ(board.inspect(c.reg), 0u);
        board.poke(c.reg, c.second);
        EXPECT_EQ(board.inspect(c.reg), 0u);

        // On again: the register holds what it held, and takes writes.
        board.poke(en, board.inspect(en) | bit);
        EXPECT_EQ(board.inspect(c.reg), c.first) << "the write while the clock was off was ignored";
        board.poke(c.reg, c.second);
        EXPECT_EQ(board.inspect(c.reg), c.second);
    }
}

TEST(RccClockGating, ThePeripheralClocksStartOffAndTheAlwaysOnBlocksAnswer)
{
    sim::SimBoard board;
    EXPECT_EQ(board.inspect(sim::kRccBase + Rcc::kAhbenr), 0x14u) << "SRAM and flash interface clocks only";
    EXPECT_EQ(board.inspect(sim::kRccBase + Rcc::kApb2enr), 0u);
    EXPECT_EQ(board.inspect(sim::kRccBase + Rcc::kApb1enr), 0u);
    // GPIOA's MODER resets to 0x28000000 (the debug pins), but unclocked
    // reads 0; the model holds its reset value all the same.
    EXPECT_EQ(board.inspect(sim::kGpioaBase), 0u);
    EXPECT_EQ(board.gpioa().read(0x00, 4), 0x28000000u);
    board.poke(sim::kRccBase + Rcc::kAhbenr, 0x14u | (1u << 17));
    EXPECT_EQ(board.inspect(sim::kGpioaBase), 0x28000000u);
    // Blocks without an enable bit answer from reset.
    EXPECT_EQ(board.inspect(sim::kRccBase + Rcc::kCr) & 0x3u, 0x3u) << "HSI on and ready";
    EXPECT_EQ(board.inspect(sim::kFlashBase + 0x10) & (1u << 7), 1u << 7) << "flash CR starts locked";
    EXPECT_EQ(board.inspect(sim::kSysTickBase + 0x4), 0u);
}

} // namespace
} // namespace snt_test
