// A firmware image to put into the chip's program flash, read from the
// bytes of a raw binary, an Intel hex file or an ELF executable. Everything
// it loads lies in 0x08000000..0x08003BFF: the page above holds the
// tester's settings and is never part of an image. A file that does not fit
// or does not parse is refused with one line naming the reason, before
// anything is sent to a chip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace snt::flash {

// An image that cannot be flashed; what() is the reason, in one line.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes to write from 0x08000000: bytes[i] goes to 0x08000000 + i.
// Bytes before `begin` and in gaps between loaded parts are 0xFF (erased
// flash). size() is the extent: the byte after the last one loaded.
struct Image {
    std::vector<std::uint8_t> bytes;
    std::uint32_t begin = 0; // offset of the first byte loaded

    std::uint32_t size() const { return static_cast<std::uint32_t>(bytes.size()); }
    // The 1 KB pages the image touches, first and last (inclusive).
    unsigned first_page() const;
    unsigned last_page() const;
};

enum class ImageFormat { Binary, IntelHex, Elf };

// Each reader throws ImageError on an empty input, anything loaded outside
// 0x08000000..0x08003BFF (a raw binary: more than 15 KB), overlapping
// parts, and a malformed file (a hex file: naming the line).
Image read_binary(const std::vector<std::uint8_t> &file);
Image read_intel_hex(const std::vector<std::uint8_t> &file);
Image read_elf(const std::vector<std::uint8_t> &file);

// The format by the file name's extension (.bin, .hex/.ihex/.ihx, .elf/.axf,
// in any case); without one of those, by the content where that is
// unambiguous (the ELF magic; text that starts with an Intel hex record).
// A content that contradicts the extension (an ELF or hex text named .bin)
// is refused rather than written raw. Throws ImageError.
ImageFormat image_format(std::string_view file_name, const std::vector<std::uint8_t> &file);
std::string_view format_name(ImageFormat format);

// The reader that image_format() picks.
Image read_image(std::string_view file_name, const std::vector<std::uint8_t> &file);

} // namespace snt::flash
