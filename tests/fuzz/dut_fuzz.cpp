// Device texts as `snt-sim --dut` takes them: every kind but touchstone
// (whose file name would be the fuzzer's to choose; touchstone_fuzz reads
// the files). A text is refused with a one-line message or gives a device
// whose gain the analog model can use everywhere.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "board/bench/dut_text.h"
#include "dut_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string kind = text.substr(0, text.find(':'));
    for (char &c : kind) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (kind == "touchstone") return -1; // never open a file named by the input

    snt_fuzz::check_parse(text);
    return 0;
}
