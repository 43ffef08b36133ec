// A chip image as the linker wrote it: a 32-bit little-endian ARM ELF file.
// Holds the bytes of its loadable segments at their load addresses (where
// they sit in flash: initialised data is copied to RAM by the start-up code)
// and its symbol table. Parsed from the file's bytes: reading the file is
// the shell's (shells/sim/input_files.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// A file that is not a usable ARM ELF image.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ElfImage {
public:
    struct Segment {
        std::uint32_t address; // load address
        std::vector<std::uint8_t> bytes;
    };

    // Images are small: a file larger than this is not one.
    static constexpr std::size_t kMaxFileSize = 16u << 20;

    // The file's bytes; `name` (its path) starts every message. Throws
    // ImageError with the reason when they are not a 32-bit little-endian
    // ARM executable.
    ElfImage(const std::vector<std::uint8_t> &file, std::string name);

    const std::string &name() const { return name_; }
    std::uint32_t entry() const { return entry_; }
    const std::vector<Segment> &segments() const { return segments_; }

    // Value of a function or object symbol (the Thumb bit of a function is
    // kept as the file has it), or nothing.
    std::optional<std::uint32_t> symbol(const std::string &name) const;
    // The same, throwing ImageError when the image has no such symbol.
    std::uint32_t require(const std::string &name) const;
    // Name of the function symbol whose address is exactly `address` (Thumb
    // bit ignored), or an empty string.
    std::string function_at(std::uint32_t address) const;
    // "name+offset" of the function an address lies in (the nearest function
    // symbol at or below it), or the address in hex.
    std::string describe(std::uint32_t address) const;

private:
    std::string name_;
    std::uint32_t entry_ = 0;
    std::vector<Segment> segments_;
    std::map<std::string, std::uint32_t> symbols_;
    std::map<std::uint32_t, std::string> functions_;
};

} // namespace sim
