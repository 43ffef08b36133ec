// Images from raw binaries, Intel hex and ELF files: the chip image in all
// three formats, every record type, and every refusal.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/flash/image.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using snt::flash::Image;
using snt::flash::ImageError;
using snt::flash::ImageFormat;

Bytes file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
Bytes text(const std::string &s) { return {s.begin(), s.end()}; }

std::string chip_image(const std::string &extension)
{
    std::string path = SNT_CHIP_IMAGE;
    return path.replace(path.size() - 3, 3, extension);
}

// One Intel hex record, its checksum worked out.
std::string record(unsigned type, unsigned address, const Bytes &data)
{
    Bytes r{std::uint8_t(data.size()), std::uint8_t(address >> 8), std::uint8_t(address), std::uint8_t(type)};
    r.insert(r.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (const std::uint8_t b : r) sum += b;
    r.push_back(std::uint8_t(-sum));
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s = ":";
    for (const std::uint8_t b : r) s += {kDigits[b >> 4], kDigits[b & 0xF]};
    return s + "\n";
}
const std::string kFlashBank = record(4, 0, {0x08, 0x00}); // addresses from 0x08000000
const std::string kEnd = record(1, 0, {});

// A 32-bit ELF file with one program header per segment.
struct Segment {
    std::uint32_t paddr;
    Bytes data;
    std::uint32_t type = 1; // PT_LOAD
    std::uint32_t extra_memory = 0;
};
struct ElfHeader {
    std::uint8_t elf_class = 1, endian = 1;
    std::uint16_t type = 2, machine = 40;
};
Bytes elf(const std::vector<Segment> &segments, ElfHeader h = {})
{
    Bytes f(52, 0);
    const auto put = [&f](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) f[at + static_cast<std::size_t>(i)] = std::uint8_t(v >> (8 * i));
    };
    f[0] = 0x7F, f[1] = 'E', f[2] = 'L', f[3] = 'F', f[4] = h.elf_class, f[5] = h.endian, f[6] = 1;
    put(16, h.type, 2);
    put(18, h.machine, 2);
    put(28, 52, 4);
    put(42, 32, 2);
    put(44, static_cast<std::uint32_t>(segments.size()), 2);
    std::uint32_t offset = 52 + 32 * static_cast<std::uint32_t>(segments.size());
    for (const Segment &s : segments) {
        const std::size_t ph = f.size();
        f.resize(ph + 32, 0);
        put(ph, s.type, 4);
        put(ph + 4, offset, 4);
        put(ph + 8, 0x20000000, 4); // where it runs: no matter, it loads at paddr
        put(ph + 12, s.paddr, 4);
        put(ph + 16, static_cast<std::uint32_t>(s.data.size()), 4);
        put(ph + 20, static_cast<std::uint32_t>(s.data.size()) + s.extra_memory, 4);
        offset += static_cast<std::uint32_t>(s.data.size());
    }
    for (const Segment &s : segments) f.insert(f.end(), s.data.begin(), s.data.end());
    return f;
}

TEST(FlashImage, TheChipImageReadsTheSameFromItsThreeFiles)
{
    const Bytes bin = file_bytes(chip_image("bin"));
    ASSERT_FALSE(bin.empty()) << "make chip writes " << chip_image("bin");
    const Image from_bin = snt::flash::read_binary(bin);
    for (const char *ext : {"hex", "elf"}) {
        SCOPED_TRACE(ext);
        const Image image = snt::flash::read_image(chip_image(ext), file_bytes(chip_image(ext)));
        EXPECT_EQ(image.bytes, from_bin.bytes);
        EXPECT_EQ(image.begin, 0u);
    }
    EXPECT_EQ(from_bin.first_page(), 0u);
    EXPECT_EQ(from_bin.last_page(), (bin.size() - 1) / 1024);
}

TEST(FlashImage, IntelHexRecordsPlaceTheirBytes)
{
    const std::string hex = ":020000040800f2\r\n" // lower-case digits and CRLF
                            "\n" +
        record(3, 0, {0, 0, 0, 0}) + record(0, 0x0404, {1, 2}) + record(0, 0x0400, {3, 4, 5, 6}) +
        record(0, 0x0410, {7}) + record(5, 0, {0x08, 0, 0x04, 0x01}) + kEnd + "\n";
    const Image image = snt::flash::read_intel_hex(text(hex));
    EXPECT_EQ(image.begin, 0x400u) << "nothing loaded below 0x08000400";
    EXPECT_EQ(image.size(), 0x411u);
    EXPECT_EQ(image.first_page(), 1u);
    EXPECT_EQ(image.last_page(), 1u);
    EXPECT_EQ(Bytes(image.bytes.begin() + 0x400, image.bytes.end()),
              (Bytes{3, 4, 5, 6, 1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7}));
    EXPECT_EQ(image.bytes[0], 0xFF);
}

TEST(FlashImage, ElfSegmentsLoadAtTheirPhysicalAddresses)
{
    const Image image = snt::flash::read_elf(elf({{0x08000000, {1, 2, 3, 4}},
                                                  {0x08000008, {5, 6}, 1, 0x100},   // .data: runs in RAM
                                                  {0x20000000, {}, 1, 0x400},       // .bss, .stack: nothing to load
                                                  {0x08000100, {9}, 0x70000001}})); // not PT_LOAD
    EXPECT_EQ(image.bytes, (Bytes{1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 5, 6}));
}

TEST(FlashImage, RefusesWhatCannotBeFlashedWithTheReason)
{
    struct Case {
        const char *name;
        ImageFormat format;
        Bytes file;
        const char *reason;
    };
    const Bytes one(1, 0), ok(4, 0);
    const std::vector<Case> cases = {
        {"empty bin", ImageFormat::Binary, {}, "empty file"},
        {"empty hex", ImageFormat::IntelHex, {}, "empty file"},
        {"empty elf", ImageFormat::Elf, {}, "empty file"},
        {"bin past 15 KB", ImageFormat::Binary, Bytes(15361, 0), "15361 bytes: more than the 15360 (15 KB)"},
        {"hex checksum", ImageFormat::IntelHex, text(kFlashBank + ":0100000001FF\n" + kEnd),
         "line 2: bad checksum 0xFF (the record's bytes need 0xFE)"},
        {"hex without a colon", ImageFormat::IntelHex, text("0100000001FE\n"), "line 1: not an Intel hex record"},
        {"hex odd digits", ImageFormat::IntelHex, text(":0100000001F\n"), "line 1: an odd number of hex digits"},
        {"hex not a digit", ImageFormat::IntelHex, text(":01000000G1FE\n"), "line 1: a character that is not a hex"},
        {"hex too short", ImageFormat::IntelHex, text(":00000001\n"), "line 1: a record too short"},
        {"hex length", ImageFormat::IntelHex, text(":0200000001FD\n"), "says 2 data bytes but holds 1"},
        {"hex type 6", ImageFormat::IntelHex, text(record(6, 0, {}) + kEnd), "line 1: unknown record type 0x06"},
        {"hex type 4 length", ImageFormat::IntelHex, text(record(4, 0, {8}) + kEnd), "needs 2 data bytes, not 1"},
        {"hex EOF length", ImageFormat::IntelHex, text(kFlashBank + record(1, 0, {0})), "needs 0 data bytes, not 1"},
        {"hex into the settings page", ImageFormat::IntelHex, text(kFlashBank + record(0, 0x3BFF, {1, 2}) + kEnd),
         "line 2 loads 2 bytes at 0x08003BFF: outside 0x08000000..0x08003BFF"},
        {"hex below flash", ImageFormat::IntelHex, text(record(0, 0, {1}) + kEnd), "at 0x00000000: outside"},
        {"hex segment address", ImageFormat::IntelHex, text(record(2, 0, {0x10, 0x00}) + record(0, 4, ok) + kEnd),
         "at 0x00010004: outside"},
        {"hex overlap", ImageFormat::IntelHex, text(kFlashBank + record(0, 0, ok) + record(0, 2, ok) + kEnd),
         "line 3 overlaps bytes already loaded at 0x08000002"},
        {"hex without an end", ImageFormat::IntelHex, text(kFlashBank + record(0, 0, ok)), "no end-of-file record"},
        {"hex after the end", ImageFormat::IntelHex, text(kFlashBank + kEnd + record(0, 0, ok)),
         "line 3: more after the end-of-file record"},
        {"hex with nothing", ImageFormat::IntelHex, text(kEnd), "nothing to load"},
        {"not an elf", ImageFormat::Elf, ok, "not an ELF file"},
        {"elf too short", ImageFormat::Elf, {0x7F, 'E', 'L', 'F', 1}, "too short for its header"},
        {"elf 64-bit", ImageFormat::Elf, elf({{0x08000000, ok}}, {2, 1, 2, 40}), "a 64-bit ELF file"},
        {"elf big-endian", ImageFormat::Elf, elf({{0x08000000, ok}}, {1, 2, 2, 40}), "a big-endian ELF file"},
        {"elf for x86", ImageFormat::Elf, elf({{0x08000000, ok}}, {1, 1, 2, 3}), "for machine 3, not ARM (40)"},
        {"elf object", ImageFormat::Elf, elf({{0x08000000, ok}}, {1, 1, 1, 40}), "of type 1, not an executable"},
        {"elf in RAM", ImageFormat::Elf, elf({{0x20000000, ok}}), "segment 0 loads 4 bytes at 0x20000000: outside"},
        {"elf past 15 KB", ImageFormat::Elf, elf({{0x08003000, Bytes(0xC01, 0)}}), "at 0x08003000: outside"},
        {"elf overlap", ImageFormat::Elf, elf({{0x08000000, ok}, {0x08000003, one}}),
         "segment 1 overlaps bytes already loaded at 0x08000003"},
        {"elf without segments", ImageFormat::Elf, elf({}), "without program headers"},
        {"elf with nothing to load", ImageFormat::Elf, elf({{0x20000000, {}, 1, 16}}), "nothing to load"},
        {"elf file size", ImageFormat::Elf,
         [&] {
             Bytes f = elf({{0x08000000, ok}});
             f.resize(f.size() - 1);
             return f;
         }(),
         "segment 0 runs past the end of the file"},
        {"elf header table", ImageFormat::Elf,
         [&] {
             Bytes f = elf({{0x08000000, {}}});
             f.resize(60);
             return f;
         }(),
         "program headers run past its end"},
    };
    const char *names[] = {"a.bin", "a.hex", "a.elf"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            snt::flash::read_image(names[static_cast<int>(c.format)], c.file);
            ADD_FAILURE() << "accepted";
        } catch (const ImageError &e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
    }
    EXPECT_EQ(snt::flash::read_binary(Bytes(15360, 0)).size(), 15360u) << "15 KB exactly fits";
}

TEST(FlashImage, FormatByExtensionAndByUnambiguousContent)
{
    const Bytes elf_file = elf({{0x08000000, {1, 2, 3, 4}}}), hex_file = text(kFlashBank + kEnd);
    const Bytes raw{0x00, 0x10, 0x00, 0x20, 0xC1, 0x00, 0x00, 0x08};
    struct Case {
        const char *name;
        Bytes file;
        std::optional<ImageFormat> format; // none: refused
    };
    const std::vector<Case> cases = {
        {"fw.BIN", raw, ImageFormat::Binary},         {"fw.hex", hex_file, ImageFormat::IntelHex},
        {"fw.ihx", hex_file, ImageFormat::IntelHex},  {"build/fw.elf", elf_file, ImageFormat::Elf},
        {"fw.axf", elf_file, ImageFormat::Elf},       {"fw", elf_file, ImageFormat::Elf},
        {"v1.2/fw", hex_file, ImageFormat::IntelHex}, {"fw.img", raw, std::nullopt},
        {"fw.bin", elf_file, std::nullopt},           {"fw.bin", hex_file, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.format) {
            EXPECT_EQ(snt::flash::image_format(c.name, c.file), *c.format);
        } else {
            EXPECT_THROW(snt::flash::image_format(c.name, c.file), ImageError);
        }
    }
}

} // namespace
