// The STM32F030x6 as the board builds it, in one table: its memories, where
// each block of registers sits and which clock gates it, the interrupt
// lines of the devices it models, the GPIO ports' reset values and the names
// of the exceptions. The board, the Cortex-M0 CPU, the fuzzers' fake chip
// and the tests all read the chip's map from here.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// ---- memories
constexpr std::uint32_t kFlashMemoryBase = 0x08000000;
constexpr std::uint32_t kFlashMemorySize = 0x4000;      // 16 KB, in pages of 1 KB
constexpr std::uint32_t kSettingsPageBase = 0x08003C00; // the last page: the firmware's settings
constexpr std::uint32_t kRamBase = 0x20000000;
constexpr std::uint32_t kRamSize = 0x1000; // 4 KB

// ---- register blocks
// The RCC register and bit that gate a block's clock; register 0: always on.
struct ClockGate {
    std::uint32_t rcc_offset = 0;
    unsigned bit = 0;
};
constexpr std::uint32_t kRccAhbenr = 0x14, kRccApb2enr = 0x18, kRccApb1enr = 0x1C;

struct Block {
    std::uint32_t base, size;
    ClockGate clock;
};

// The blocks in the order of kBlocks.
enum class BlockId { Rcc, FlashInterface, SettingsPage, Gpioa, Gpiof, Usart1, Adc, Tim3, SysTickTimer, Nvic, Scb };

constexpr std::array<Block, 11> kBlocks = {{
    {0x40021000, 0x400, {}},                // RCC
    {0x40022000, 0x400, {}},                // the flash interface's registers
    {kSettingsPageBase, 0x400, {}},         // the settings page, served by the flash model
    {0x48000000, 0x400, {kRccAhbenr, 17}},  // GPIOA
    {0x48001400, 0x400, {kRccAhbenr, 22}},  // GPIOF
    {0x40013800, 0x400, {kRccApb2enr, 14}}, // USART1
    {0x40012400, 0x400, {kRccApb2enr, 9}},  // ADC
    {0x40000400, 0x400, {kRccApb1enr, 1}},  // TIM3
    {0xE000E010, 0x010, {}},                // SysTick
    {0xE000E100, 0x400, {}},                // NVIC
    {0xE000ED00, 0x040, {}},                // SCB: the system handlers' priorities
}};

constexpr const Block &block(BlockId id) { return kBlocks[static_cast<std::size_t>(id)]; }

constexpr std::uint32_t kRccBase = block(BlockId::Rcc).base;
constexpr std::uint32_t kFlashBase = block(BlockId::FlashInterface).base; // the flash interface's registers
constexpr std::uint32_t kGpioaBase = block(BlockId::Gpioa).base;
constexpr std::uint32_t kGpiofBase = block(BlockId::Gpiof).base;
constexpr std::uint32_t kUsart1Base = block(BlockId::Usart1).base;
constexpr std::uint32_t kAdcBase = block(BlockId::Adc).base;
constexpr std::uint32_t kTim3Base = block(BlockId::Tim3).base;
constexpr std::uint32_t kSysTickBase = block(BlockId::SysTickTimer).base;
constexpr std::uint32_t kNvicBase = block(BlockId::Nvic).base;
constexpr std::uint32_t kScbBase = block(BlockId::Scb).base;

// ---- interrupt lines (IRQ numbers; the exception is 16 more)
constexpr int kAdcIrq = 12;
constexpr int kTim3Irq = 16;
constexpr int kUsart1Irq = 27;

// ---- GPIO reset values (MODER, PUPDR): PA13 and PA14 are the debug port
struct GpioReset {
    std::uint32_t moder, pupdr;
};
constexpr GpioReset kGpioaReset{0x28000000, 0x24000000};
constexpr GpioReset kGpiofReset{0, 0};

// ---- exceptions: 16 of the core, then one per interrupt line
constexpr int kExceptionCount = 48;

// The handler's name in the vector table without _IRQHandler or _Handler,
// or nullptr for a reserved entry or a number outside the table.
constexpr const char *exception_name(int exception)
{
    constexpr std::array<const char *, kExceptionCount> kNames = {
        nullptr, "Reset", "NMI", "HardFault", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "SVC",
        nullptr, nullptr, "PendSV", "SysTick",
        // IRQ 0..31
        "WWDG", nullptr, "RTC", "FLASH", "RCC", "EXTI0_1", "EXTI2_3", "EXTI4_15", nullptr, "DMA1_Channel1",
        "DMA1_Channel2_3", "DMA1_Channel4_5", "ADC1", "TIM1_BRK_UP_TRG_COM", "TIM1_CC", nullptr, "TIM3", nullptr,
        nullptr, "TIM14", nullptr, "TIM16", "TIM17", "I2C1", nullptr, "SPI1", nullptr, "USART1", nullptr, nullptr,
        nullptr, nullptr};
    return exception >= 0 && exception < kExceptionCount ? kNames[static_cast<std::size_t>(exception)] : nullptr;
}

} // namespace sim
