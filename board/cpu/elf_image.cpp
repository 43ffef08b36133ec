#include "board/cpu/elf_image.h"

#include <elf.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

// Images are small; a file larger than this is not one.
constexpr std::size_t kMaxFileSize = 16u << 20;

template <typename T>
T at(const std::vector<std::uint8_t> &file, std::size_t offset, const std::string &what)
{
    if (offset > file.size() || file.size() - offset < sizeof(T)) throw ImageError(what + " lies outside the file");
    T value;
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

} // namespace

ElfImage::ElfImage(const std::string &path) : path_(path)
{
    // Only a regular file of an image's size is read: a FIFO or a device
    // would block or never end.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) throw ImageError("cannot read " + path + ": no such file");
    if (!std::filesystem::is_regular_file(status)) throw ImageError(path + ": not a regular file");
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) throw ImageError("cannot read " + path + ": " + ec.message());
    if (size > kMaxFileSize) throw ImageError(path + ": larger than any chip image");
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> file(static_cast<std::size_t>(size));
    if (!in || !in.read(reinterpret_cast<char *>(file.data()), static_cast<std::streamsize>(file.size()))) {
        throw ImageError("cannot read " + path);
    }
    const std::string where = path + ": ";

    const auto eh = at<Elf32_Ehdr>(file, 0, where + "the ELF header");
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0) throw ImageError(where + "not an ELF file");
    if (eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_ARM) {
        throw ImageError(where + "not a 32-bit little-endian ARM image");
    }
    if (eh.e_type != ET_EXEC) throw ImageError(where + "not a linked executable");
    entry_ = eh.e_entry;

    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        const auto ph = at<Elf32_Phdr>(file, eh.e_phoff + std::size_t(i) * eh.e_phentsize, where + "a program header");
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
        if (ph.p_offset > file.size() || file.size() - ph.p_offset < ph.p_filesz) {
            throw ImageError(where + "a segment lies outside the file");
        }
        Segment s;
        s.address = ph.p_paddr;
        s.bytes.assign(file.begin() + ph.p_offset, file.begin() + ph.p_offset + ph.p_filesz);
        segments_.push_back(std::move(s));
    }
    if (segments_.empty()) throw ImageError(where + "no loadable segment");

    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        const auto sh = at<Elf32_Shdr>(file, eh.e_shoff + std::size_t(i) * eh.e_shentsize, where + "a section header");
        if (sh.sh_type != SHT_SYMTAB || sh.sh_entsize != sizeof(Elf32_Sym)) continue;
        const auto strtab =
            at<Elf32_Shdr>(file, eh.e_shoff + std::size_t(sh.sh_link) * eh.e_shentsize, where + "a string table");
        for (std::size_t off = 0; off + sizeof(Elf32_Sym) <= sh.sh_size; off += sizeof(Elf32_Sym)) {
            const auto sym = at<Elf32_Sym>(file, sh.sh_offset + off, where + "a symbol");
            const int type = ELF32_ST_TYPE(sym.st_info);
            if ((type != STT_FUNC && type != STT_OBJECT && type != STT_NOTYPE) || sym.st_name == 0) continue;
            if (sym.st_shndx == SHN_UNDEF) continue;
            const std::size_t name_at = std::size_t(strtab.sh_offset) + sym.st_name;
            if (name_at >= file.size()) throw ImageError(where + "a symbol name lies outside the file");
            const char *name = reinterpret_cast<const char *>(file.data() + name_at);
            const std::string n(name, strnlen(name, file.size() - name_at));
            // A global definition wins over a local one of the same name.
            if (ELF32_ST_BIND(sym.st_info) != STB_LOCAL || !symbols_.count(n)) symbols_[n] = sym.st_value;
            if (type == STT_FUNC) functions_.emplace(sym.st_value & ~1u, n);
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
    throw ImageError(path_ + ": the image has no symbol " + name);
}

std::string ElfImage::function_at(std::uint32_t address) const
{
    auto it = functions_.find(address & ~1u);
    return it == functions_.end() ? std::string() : it->second;
}

} // namespace sim

namespace sim {

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
