// The image readers of `snt flash` (core/flash/image.h) on any bytes: each
// reader either refuses them with one line, or gives an image that fits the
// chip below the settings page, erased before its first byte loaded, and
// whose pages are in order. The reader picked by name agrees with the one
// named.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/flash/image.h"

namespace {

using snt::flash::Image;
using snt::flash::ImageError;

[[noreturn]] void fault(const char *reader, const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", reader, what.c_str());
    std::abort();
}

void check(const char *reader, Image (*read)(const std::vector<std::uint8_t> &), const std::vector<std::uint8_t> &file)
{
    Image image;
    try {
        image = read(file);
    } catch (const ImageError &e) {
        const std::string why = e.what();
        if (why.empty() || why.find('\n') != std::string::npos) fault(reader, "a refusal not in one line: " + why);
        return;
    }
    if (image.size() == 0 || image.size() > 15 * 1024) fault(reader, "an image of " + std::to_string(image.size()));
    if (image.begin >= image.size()) fault(reader, "nothing loaded at or after begin");
    for (std::uint32_t i = 0; i < image.begin; ++i) {
        if (image.bytes[i] != 0xFF) fault(reader, "a byte before begin that is not erased");
    }
    if (image.first_page() > image.last_page() || image.last_page() >= 15) fault(reader, "pages out of order");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::vector<std::uint8_t> file(data, data + size);
    check("read_binary", snt::flash::read_binary, file);
    check("read_intel_hex", snt::flash::read_intel_hex, file);
    check("read_elf", snt::flash::read_elf, file);
    for (const char *name : {"image.hex", "image.elf", "image.bin", "image"}) {
        try {
            const Image by_name = snt::flash::read_image(name, file);
            if (by_name.bytes.empty()) fault(name, "an empty image");
        } catch (const ImageError &) {}
    }
    return 0;
}
