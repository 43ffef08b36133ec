// Frequencies and counts as `snt` takes them on its command line. A text is
// refused with a one-line message, or its hertz survive the way back: the
// plain number, and the text format_frequency makes of them (without its
// space), read back to the same hertz.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/analysis/frequency.h"

namespace {

void expect_same(std::uint32_t hz, const std::string &text, const std::string &from)
{
    std::uint32_t back = 0;
    try {
        back = snt::parse_frequency(text);
    } catch (const snt::InputError &e) {
        std::fprintf(stderr, "\"%s\" (from \"%s\", %u Hz) is refused: %s\n", text.c_str(), from.c_str(), hz, e.what());
        std::abort();
    }
    if (back != hz) {
        std::fprintf(stderr, "\"%s\" (from \"%s\") reads %u Hz, not %u\n", text.c_str(), from.c_str(), back, hz);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        const std::uint32_t hz = snt::parse_frequency(text);
        expect_same(hz, std::to_string(hz), text);
        std::string formatted = snt::format_frequency(hz);
        formatted.erase(formatted.find(' '), 1);
        expect_same(hz, formatted, text);
    } catch (const snt::InputError &e) {
        if (*e.what() == 0) std::abort(); // snt escapes the text as it prints it
    }
    try {
        if (snt::parse_count(text) == 0) {
            std::fputs("a count of 0 was accepted\n", stderr);
            std::abort();
        }
    } catch (const snt::InputError &e) {
        if (*e.what() == 0) std::abort(); // snt escapes the text as it prints it
    }
    return 0;
}
