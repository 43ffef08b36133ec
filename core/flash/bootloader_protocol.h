// What a host and the STM32's system-memory bootloader agree on over USART1
// (ST's application note AN3155), and the facts of the STM32F030x6 that a
// flashing job needs (AN2606, RM0360): the command codes and their
// complements, ACK and NACK, the checksums, the chip's ID and its memory.
// Shared by the flashing client (core/flash) and the board's bootloader
// (board/boot), so both speak from one table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace snt::boot {

// ---- the line: 8 data bits, even parity, one stop bit
constexpr std::uint32_t kDefaultBaud = 115200;
constexpr unsigned kBitsPerByte = 11; // start, 8 data, parity, stop

// ---- bytes with a meaning of their own
constexpr std::uint8_t kSync = 0x7F; // the first byte: the bootloader measures the baud rate on it
constexpr std::uint8_t kAck = 0x79;
constexpr std::uint8_t kNack = 0x1F;

// ---- commands; each is sent as its code followed by the code's complement
enum class Command : std::uint8_t {
    Get = 0x00,              // protocol version and the commands offered
    GetVersion = 0x01,       // protocol version and two option bytes (both 0)
    GetId = 0x02,            // product ID
    ReadMemory = 0x11,       // up to 256 bytes
    Go = 0x21,               // jump to an address
    WriteMemory = 0x31,      // up to 256 bytes
    Erase = 0x43,            // pages by one-byte numbers (bootloaders before protocol 3.0)
    ExtendedErase = 0x44,    // pages by two-byte numbers
    WriteProtect = 0x63,     // sectors, then a system reset
    WriteUnprotect = 0x73,   // every sector, then a system reset
    ReadoutProtect = 0x82,   // read protection level 1, then a system reset
    ReadoutUnprotect = 0x92, // mass erase, level 0, then a system reset
};
constexpr std::uint8_t code(Command c) { return static_cast<std::uint8_t>(c); }
constexpr std::uint8_t complement(std::uint8_t b) { return static_cast<std::uint8_t>(~b); }

// The protocol version this chip's bootloader reports (3.1).
constexpr std::uint8_t kProtocolVersion = 0x31;

// Extended Erase's special counts (instead of N, the number of pages less one).
constexpr std::uint16_t kMassErase = 0xFFFF;
constexpr std::uint16_t kBank1Erase = 0xFFFE;
constexpr std::uint16_t kBank2Erase = 0xFFFD;
constexpr std::uint16_t kFirstReservedCount = 0xFFF0; // 0xFFF0..0xFFFC are reserved
// Erase's (0x43) special count: every page.
constexpr std::uint8_t kLegacyMassErase = 0xFF;

// The most bytes one Read Memory or Write Memory moves.
constexpr std::size_t kMaxBlock = 256;

// ---- the STM32F030x6 (product ID 0x444, shared with the STM32F03x4/6)
constexpr std::uint16_t kChipId = 0x444;
constexpr std::uint32_t kFlashBase = 0x08000000;
constexpr std::uint32_t kFlashSize = 16 * 1024;
constexpr std::uint32_t kPageSize = 1024;
constexpr unsigned kPageCount = kFlashSize / kPageSize;
constexpr std::uint32_t kSectorSize = 4 * 1024; // the unit of write protection
constexpr unsigned kSectorCount = kFlashSize / kSectorSize;
constexpr std::uint32_t kRamBase = 0x20000000;
constexpr std::uint32_t kRamSize = 4 * 1024;
// The bootloader's own variables and stack: writes there are refused.
constexpr std::uint32_t kBootloaderRamSize = 2 * 1024;
constexpr std::uint32_t kSystemMemoryBase = 0x1FFFEC00;
constexpr std::uint32_t kSystemMemorySize = 3 * 1024;
constexpr std::uint32_t kOptionBytesBase = 0x1FFFF800;
constexpr std::uint32_t kOptionBytesSize = 16;
// Option bytes, each followed by its complement: RDP, USER, DATA0, DATA1,
// WRP0..WRP3. RDP 0xAA is level 0 (no read protection); 0xCC is level 2.
constexpr std::size_t kRdpOffset = 0, kWrp0Offset = 8;
constexpr std::uint8_t kRdpLevel0 = 0xAA;

// ---- this tester's layout: the image and the settings page
constexpr unsigned kSettingsPageIndex = 15;
constexpr std::uint32_t kSettingsPage = kFlashBase + kSettingsPageIndex * kPageSize; // 0x08003C00
constexpr std::uint32_t kImageLimit = kSettingsPage - kFlashBase;                    // 15 KB

// XOR of `n` bytes: every checksum of the protocol is one. (A single byte's
// checksum is its complement: the XOR with 0xFF.)
constexpr std::uint8_t xor_of(const std::uint8_t *data, std::size_t n, std::uint8_t seed = 0)
{
    for (std::size_t i = 0; i < n; ++i) seed ^= data[i];
    return seed;
}

} // namespace snt::boot
