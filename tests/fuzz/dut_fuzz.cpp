// Device texts as `snt-sim --dut` takes them, every kind (the texts of
// Touchstone files are touchstone_fuzz's). A text is refused with a
// one-line message or gives a device whose gain the analog model can use
// everywhere.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "board/bench/dut_text.h"
#include "dut_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Without a source, touchstone:FILE is refused: no file is ever opened.
    snt_fuzz::check_parse(std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
