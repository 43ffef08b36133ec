// Touchstone files as `snt-sim --dut touchstone:FILE` takes them: the bounds
// on size and lines, the option line, records wrapped over lines, noise
// parameters, and the check of the response, on the input as the file's
// text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "board/bench/dut_text.h"
#include "dut_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    snt_fuzz::check_parse("touchstone:fuzz.s2p", [&text](const std::string &) { return text; });
    return 0;
}
