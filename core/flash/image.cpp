#include "core/flash/image.h"

#include <algorithm>
#include <optional>

#include "core/flash/bootloader_protocol.h"

namespace snt::flash {

namespace {

using boot::kFlashBase;
using boot::kImageLimit;
using boot::kSettingsPage;

std::string hex32(std::uint64_t value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s = "0x00000000";
    for (int i = 9; i >= 2; --i, value >>= 4) s[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return s;
}

std::string hex8(unsigned value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[(value >> 4) & 0xF] + kDigits[value & 0xF];
}

const std::string kRange = "0x08000000..0x08003BFF (the settings page starts at 0x08003C00)";

// Collects the parts a file loads, refusing any outside the image's range
// and any that overlaps another.
class ImageBuilder {
public:
    // `where` names the part for a message ("line 12", "segment 2").
    void place(std::uint64_t address, const std::uint8_t *data, std::size_t n, const std::string &where)
    {
        if (n == 0) return;
        const std::uint64_t end = address + n;
        if (address < kFlashBase || end > kSettingsPage) {
            throw ImageError(where + " loads " + std::to_string(n) + " bytes at " + hex32(address) + ": outside " +
                             kRange);
        }
        const auto offset = static_cast<std::size_t>(address - kFlashBase);
        for (std::size_t i = 0; i < n; ++i) {
            if (loaded_[offset + i])
                throw ImageError(where + " overlaps bytes already loaded at " + hex32(address + i));
        }
        std::fill(loaded_.begin() + static_cast<std::ptrdiff_t>(offset),
                  loaded_.begin() + static_cast<std::ptrdiff_t>(offset + n), true);
        std::copy(data, data + n, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
        begin_ = std::min(begin_, offset);
        end_ = std::max(end_, offset + n);
    }

    Image finish() &&
    {
        if (end_ == 0) throw ImageError("nothing to load: the file holds no bytes for the flash");
        Image image;
        bytes_.resize(end_);
        image.bytes = std::move(bytes_);
        image.begin = static_cast<std::uint32_t>(begin_);
        return image;
    }

private:
    std::vector<std::uint8_t> bytes_ = std::vector<std::uint8_t>(kImageLimit, 0xFF);
    std::vector<bool> loaded_ = std::vector<bool>(kImageLimit, false);
    std::size_t begin_ = kImageLimit, end_ = 0;
};

// ------------------------------------------------------------ Intel hex

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// One record's bytes (length, address, type, data, checksum), checked.
std::vector<std::uint8_t> record_bytes(std::string_view text, const std::string &where)
{
    if (text.empty() || text[0] != ':') throw ImageError(where + ": not an Intel hex record (no ':' at its start)");
    text.remove_prefix(1);
    if (text.size() % 2 != 0) throw ImageError(where + ": an odd number of hex digits");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) throw ImageError(where + ": a character that is not a hex digit");
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    if (bytes.size() < 5)
        throw ImageError(where + ": a record too short to hold its length, address, type and checksum");
    if (bytes.size() != bytes[0] + 5u) {
        throw ImageError(where + ": the record says " + std::to_string(bytes[0]) + " data bytes but holds " +
                         std::to_string(bytes.size() - 5));
    }
    unsigned sum = 0;
    for (const std::uint8_t b : bytes) sum += b;
    if ((sum & 0xFF) != 0) {
        const unsigned want = (bytes.back() - sum) & 0xFF;
        throw ImageError(where + ": bad checksum " + hex8(bytes.back()) + " (the record's bytes need " + hex8(want) +
                         ")");
    }
    return bytes;
}

std::uint32_t big_endian(const std::uint8_t *p, std::size_t n)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// The state of a hex file's reading: the upper address bits records 02 and
// 04 set, and whether the end-of-file record came.
struct HexReader {
    ImageBuilder builder;
    std::uint64_t upper = 0;
    bool ended = false;

    void take(const std::vector<std::uint8_t> &r, const std::string &where)
    {
        const std::size_t length = r[0];
        const std::uint8_t *data = r.data() + 4;
        const auto need = [&](std::size_t n) {
            if (length != n) {
                throw ImageError(where + ": a record of type " + hex8(r[3]) + " needs " + std::to_string(n) +
                                 " data bytes, not " + std::to_string(length));
            }
        };
        switch (r[3]) {
        case 0x00: // data
            builder.place(upper + big_endian(r.data() + 1, 2), data, length, where);
            break;
        case 0x01: // end of file
            need(0);
            ended = true;
            break;
        case 0x02: // extended segment address: bits 4..19
            need(2);
            upper = std::uint64_t{big_endian(data, 2)} << 4;
            break;
        case 0x04: // extended linear address: bits 16..31
            need(2);
            upper = std::uint64_t{big_endian(data, 2)} << 16;
            break;
        case 0x03: // start segment address and
        case 0x05: // start linear address: where to start, nothing to load
            need(4);
            break;
        default:
            throw ImageError(where + ": unknown record type " + hex8(r[3]));
        }
    }
};

// ---------------------------------------------------------------- ELF

constexpr std::size_t kElfHeaderSize = 52, kProgramHeaderSize = 32;
constexpr unsigned kElfClass32 = 1, kElfLittleEndian = 1, kElfExecutable = 2, kMachineArm = 40, kPtLoad = 1;

std::uint32_t little_endian(const std::vector<std::uint8_t> &f, std::size_t at, std::size_t n)
{
    std::uint32_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = v << 8 | f[at + i];
    return v;
}

bool is_elf(const std::vector<std::uint8_t> &f)
{
    return f.size() >= 4 && f[0] == 0x7F && f[1] == 'E' && f[2] == 'L' && f[3] == 'F';
}

void check_elf_header(const std::vector<std::uint8_t> &f)
{
    if (!is_elf(f)) throw ImageError("not an ELF file (no ELF magic at its start)");
    if (f.size() < kElfHeaderSize) throw ImageError("an ELF file too short for its header");
    if (f[4] != kElfClass32) throw ImageError("a 64-bit ELF file; the chip takes a 32-bit ARM executable");
    if (f[5] != kElfLittleEndian)
        throw ImageError("a big-endian ELF file; the chip takes a little-endian ARM executable");
    const std::uint32_t type = little_endian(f, 16, 2), machine = little_endian(f, 18, 2);
    if (machine != kMachineArm) {
        throw ImageError("an ELF file for machine " + std::to_string(machine) + ", not ARM (" +
                         std::to_string(kMachineArm) + ")");
    }
    if (type != kElfExecutable) {
        throw ImageError("an ELF file of type " + std::to_string(type) + ", not an executable (type 2)");
    }
}

std::string lower_extension(std::string_view name)
{
    const std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return "";
    std::string ext(name.substr(dot + 1));
    for (char &c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

// Text whose first non-blank character starts a record, and nothing but
// printable ASCII and line ends.
bool looks_like_hex(const std::vector<std::uint8_t> &f)
{
    const auto first = std::find_if(f.begin(), f.end(), [](std::uint8_t b) { return !is_space(char(b)) && b != '\n'; });
    if (first == f.end() || *first != ':') return false;
    return std::all_of(f.begin(), f.end(),
                       [](std::uint8_t b) { return (b >= 0x20 && b < 0x7F) || b == '\n' || is_space(char(b)); });
}

std::optional<ImageFormat> format_by_extension(const std::string &ext)
{
    if (ext == "bin") return ImageFormat::Binary;
    if (ext == "hex" || ext == "ihex" || ext == "ihx") return ImageFormat::IntelHex;
    if (ext == "elf" || ext == "axf") return ImageFormat::Elf;
    return std::nullopt;
}

} // namespace

unsigned Image::first_page() const { return begin / boot::kPageSize; }
unsigned Image::last_page() const { return (size() - 1) / boot::kPageSize; }

Image read_binary(const std::vector<std::uint8_t> &file)
{
    if (file.empty()) throw ImageError("empty file");
    if (file.size() > kImageLimit) {
        throw ImageError(std::to_string(file.size()) + " bytes: more than the " + std::to_string(kImageLimit) +
                         " (15 KB) below the settings page at 0x08003C00");
    }
    Image image;
    image.bytes = file;
    return image;
}

Image read_intel_hex(const std::vector<std::uint8_t> &file)
{
    if (file.empty()) throw ImageError("empty file");
    const std::string_view text(reinterpret_cast<const char *>(file.data()), file.size());
    HexReader reader;
    std::size_t line_number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++line_number;
        while (!line.empty() && is_space(line.back())) line.remove_suffix(1);
        while (!line.empty() && is_space(line.front())) line.remove_prefix(1);
        if (line.empty()) continue;
        const std::string where = "line " + std::to_string(line_number);
        if (reader.ended) throw ImageError(where + ": more after the end-of-file record");
        reader.take(record_bytes(line, where), where);
    }
    if (!reader.ended) throw ImageError("no end-of-file record (:00000001FF): the file may be cut short");
    return std::move(reader.builder).finish();
}

Image read_elf(const std::vector<std::uint8_t> &file)
{
    if (file.empty()) throw ImageError("empty file");
    check_elf_header(file);
    const std::uint32_t phoff = little_endian(file, 28, 4);
    const std::uint32_t phentsize = little_endian(file, 42, 2), phnum = little_endian(file, 44, 2);
    if (phnum == 0) throw ImageError("an ELF file without program headers: nothing to load");
    if (phentsize < kProgramHeaderSize || std::uint64_t{phoff} + std::uint64_t{phentsize} * phnum > file.size()) {
        throw ImageError("an ELF file whose program headers run past its end");
    }
    ImageBuilder builder;
    for (std::uint32_t i = 0; i < phnum; ++i) {
        const std::size_t ph = phoff + std::size_t{i} * phentsize;
        if (little_endian(file, ph, 4) != kPtLoad) continue;
        const std::uint32_t offset = little_endian(file, ph + 4, 4), paddr = little_endian(file, ph + 12, 4);
        const std::uint32_t filesz = little_endian(file, ph + 16, 4), memsz = little_endian(file, ph + 20, 4);
        const std::string where = "segment " + std::to_string(i);
        if (filesz > memsz) throw ImageError(where + " holds more bytes in the file than in memory");
        if (std::uint64_t{offset} + filesz > file.size()) throw ImageError(where + " runs past the end of the file");
        builder.place(paddr, file.data() + offset, filesz, where);
    }
    return std::move(builder).finish();
}

ImageFormat image_format(std::string_view file_name, const std::vector<std::uint8_t> &file)
{
    const std::string ext = lower_extension(file_name);
    const std::optional<ImageFormat> by_name = format_by_extension(ext);
    if (by_name == ImageFormat::Binary) {
        if (is_elf(file)) throw ImageError("an ELF file named ." + ext + ": name it .elf to flash what it loads");
        if (looks_like_hex(file)) throw ImageError("Intel hex text named ." + ext + ": name it .hex");
    }
    if (by_name) return *by_name;
    if (is_elf(file)) return ImageFormat::Elf;
    if (looks_like_hex(file)) return ImageFormat::IntelHex;
    if (file.empty()) throw ImageError("empty file");
    throw ImageError("not an image this tool knows by its name or content: name it .bin, .hex or .elf");
}

std::string_view format_name(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Binary:
        return "raw binary";
    case ImageFormat::IntelHex:
        return "Intel hex";
    case ImageFormat::Elf:
        return "ELF";
    }
    return "?";
}

Image read_image(std::string_view file_name, const std::vector<std::uint8_t> &file)
{
    switch (image_format(file_name, file)) {
    case ImageFormat::Binary:
        return read_binary(file);
    case ImageFormat::IntelHex:
        return read_intel_hex(file);
    case ImageFormat::Elf:
        return read_elf(file);
    }
    throw ImageError("unknown image format");
}

} // namespace snt::flash
