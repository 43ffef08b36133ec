// Touchstone files as `snt-sim --dut touchstone:FILE` reads them: the bounds
// on size and lines, the option line, records wrapped over lines, noise
// parameters, and the check of the response, on the input written to a
// file in memory.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "board/bench/dut_text.h"
#include "dut_response.h"
#include "memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static snt_fuzz::MemoryFile file;
    file.assign(data, size);
    const std::string text = "touchstone:" + file.path();
    snt_fuzz::check_parse(text);
    return 0;
}
