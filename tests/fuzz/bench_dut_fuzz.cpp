// The bench jobs' device texts (cascades, amplifiers, the bridge and its
// loads, batches of crystals) and one-port files: the input's first line is
// the device text, the rest the text of any file it names. A text is
// refused with a one-line message or gives a device whose gain the analog
// model can use everywhere.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "board/bench/bench_dut_text.h"
#include "dut_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string device = input.substr(0, newline);
    const std::string file = newline == std::string::npos ? "" : input.substr(newline + 1);
    std::string lower = device;
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // parse_dut opens a two-port file by its name: never one the input names.
    if (lower.find("touchstone") != std::string::npos) return -1;

    std::unique_ptr<sim::Dut> dut;
    try {
        dut = sim::parse_bench_dut(device, [&](const std::string &) { return file; });
    } catch (const sim::DutError &e) {
        snt_fuzz::check_message(e.what());
        return 0;
    }
    snt_fuzz::check_response(*dut, device);
    return 0;
}
