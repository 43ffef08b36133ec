// Where the board maps each block of registers: the STM32F030's memory map,
// shared by the board and by the tests that reach registers by address.
#pragma once

#include <cstdint>

namespace sim {

constexpr std::uint32_t kTim3Base = 0x40000400;
constexpr std::uint32_t kAdcBase = 0x40012400;
constexpr std::uint32_t kUsart1Base = 0x40013800;
constexpr std::uint32_t kRccBase = 0x40021000;
constexpr std::uint32_t kFlashBase = 0x40022000; // the flash interface's registers
constexpr std::uint32_t kSettingsPageBase = 0x08003C00;
constexpr std::uint32_t kGpioaBase = 0x48000000;
constexpr std::uint32_t kGpiofBase = 0x48001400;
constexpr std::uint32_t kSysTickBase = 0xE000E010;
constexpr std::uint32_t kNvicBase = 0xE000E100;
constexpr std::uint32_t kScbBase = 0xE000ED00;

} // namespace sim
