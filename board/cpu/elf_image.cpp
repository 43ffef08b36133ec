#include "board/cpu/elf_image.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace sim {

namespace {

// The parts of the ELF format (32-bit, little-endian) an image is read by:
// the sizes of its records and where their fields sit.
namespace elf {
constexpr std::size_t kHeaderSize = 52, kProgramHeaderSize = 32, kSectionHeaderSize = 40, kSymbolSize = 16;
constexpr unsigned char kMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr std::size_t kClass = 4, kData = 5; // in e_ident
constexpr std::uint8_t kClass32 = 1, kLittleEndian = 1;
constexpr std::uint16_t kExecutable = 2, kArm = 40;                     // e_type, e_machine
constexpr std::uint32_t kLoad = 1;                                      // p_type
constexpr std::uint32_t kSymbolTable = 2;                               // sh_type
constexpr unsigned kNoType = 0, kObject = 1, kFunction = 2, kLocal = 0; // st_info
constexpr std::uint16_t kUndefined = 0;                                 // st_shndx
} // namespace elf

// A record of `size` bytes at `offset`, all inside the file.
class Record {
public:
    Record(const std::vector<std::uint8_t> &file, std::size_t offset, std::size_t size, const std::string &what)
    {
        if (offset > file.size() || file.size() - offset < size) throw ImageError(what + " lies outside the file");
        p_ = file.data() + offset;
    }
    std::uint8_t u8(std::size_t at) const { return p_[at]; }
    std::uint16_t u16(std::size_t at) const { return static_cast<std::uint16_t>(p_[at] | p_[at + 1] << 8); }
    std::uint32_t u32(std::size_t at) const
    {
        return std::uint32_t(p_[at]) | std::uint32_t(p_[at + 1]) << 8 | std::uint32_t(p_[at + 2]) << 16 |
            std::uint32_t(p_[at + 3]) << 24;
    }
    const std::uint8_t *bytes() const { return p_; }

private:
    const std::uint8_t *p_ = nullptr;
};

} // namespace

ElfImage::ElfImage(const std::vector<std::uint8_t> &file, std::string name) : name_(std::move(name))
{
    const std::string where = name_ + ": ";
    const Record eh(file, 0, elf::kHeaderSize, where + "the ELF header");
    if (std::memcmp(eh.bytes(), elf::kMagic, sizeof elf::kMagic) != 0) throw ImageError(where + "not an ELF file");
    if (eh.u8(elf::kClass) != elf::kClass32 || eh.u8(elf::kData) != elf::kLittleEndian || eh.u16(18) != elf::kArm) {
        throw ImageError(where + "not a 32-bit little-endian ARM image");
    }
    if (eh.u16(16) != elf::kExecutable) throw ImageError(where + "not a linked executable");
    entry_ = eh.u32(24);
    const std::uint32_t phoff = eh.u32(28), shoff = eh.u32(32);
    const std::uint16_t phentsize = eh.u16(42), phnum = eh.u16(44), shentsize = eh.u16(46), shnum = eh.u16(48);

    for (unsigned i = 0; i < phnum; ++i) {
        const Record ph(file, phoff + std::size_t(i) * phentsize, elf::kProgramHeaderSize, where + "a program header");
        const std::uint32_t offset = ph.u32(4), filesz = ph.u32(16);
        if (ph.u32(0) != elf::kLoad || filesz == 0) continue;
        if (offset > file.size() || file.size() - offset < filesz) {
            throw ImageError(where + "a segment lies outside the file");
        }
        Segment s;
        s.address = ph.u32(12); // p_paddr: where it is loaded
        s.bytes.assign(file.begin() + offset, file.begin() + offset + filesz);
        segments_.push_back(std::move(s));
    }
    if (segments_.empty()) throw ImageError(where + "no loadable segment");

    for (unsigned i = 0; i < shnum; ++i) {
        const Record sh(file, shoff + std::size_t(i) * shentsize, elf::kSectionHeaderSize, where + "a section header");
        if (sh.u32(4) != elf::kSymbolTable || sh.u32(36) != elf::kSymbolSize) continue;
        const std::uint32_t symbols_at = sh.u32(16), symbols_size = sh.u32(20), link = sh.u32(24);
        const Record strtab(file, shoff + std::size_t(link) * shentsize, elf::kSectionHeaderSize,
                            where + "a string table");
        for (std::size_t off = 0; off + elf::kSymbolSize <= symbols_size; off += elf::kSymbolSize) {
            const Record sym(file, symbols_at + off, elf::kSymbolSize, where + "a symbol");
            const std::uint32_t name_offset = sym.u32(0), value = sym.u32(4);
            const unsigned type = sym.u8(12) & 0xF, bind = sym.u8(12) >> 4;
            if ((type != elf::kFunction && type != elf::kObject && type != elf::kNoType) || name_offset == 0) continue;
            if (sym.u16(14) == elf::kUndefined) continue;
            const std::size_t name_at = std::size_t(strtab.u32(16)) + name_offset;
            if (name_at >= file.size()) throw ImageError(where + "a symbol name lies outside the file");
            const char *text = reinterpret_cast<const char *>(file.data() + name_at);
            const std::string n(text, strnlen(text, file.size() - name_at));
            // A global definition wins over a local one of the same name.
            if (bind != elf::kLocal || !symbols_.count(n)) symbols_[n] = value;
            if (type == elf::kFunction) functions_.emplace(value & ~1u, n);
        }
    }
}

std::optional<std::uint32_t> ElfImage::symbol(const std::string &name) const
{
    auto it = symbols_.find(name);
    if (it == symbols_.end()) return std::nullopt;
    return it->second;
}

std::uint32_t ElfImage::require(const std::string &name) const
{
    if (auto v = symbol(name)) return *v;
    throw ImageError(name_ + ": the image has no symbol " + name);
}

std::string ElfImage::function_at(std::uint32_t address) const
{
    auto it = functions_.find(address & ~1u);
    return it == functions_.end() ? std::string() : it->second;
}

std::string ElfImage::describe(std::uint32_t address) const
{
    char text[96];
    auto it = functions_.upper_bound(address & ~1u);
    if (it == functions_.begin()) {
        std::snprintf(text, sizeof text, "0x%08X", address);
        return text;
    }
    --it;
    std::snprintf(text, sizeof text, "0x%08X (%s+%u)", address, it->second.c_str(),
                  static_cast<unsigned>((address & ~1u) - it->first));
    return text;
}

} // namespace sim
