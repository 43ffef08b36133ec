// The files snt-sim reads, read within bounds and handed to the board's
// parsers as bytes: a chip image (--image) and a Touchstone file (--dut
// touchstone:FILE). Only a regular file is read (a FIFO or a device is
// refused at once, not waited on), and only up to the size such a file can
// have.
#pragma once

#include <string>

#include "board/cpu/elf_image.h"

namespace sim {

// The chip image at `path`; throws ImageError with the reason.
ElfImage read_image_file(const std::string &path);

// The text of the Touchstone file at `path`, for parse_dut's source; throws
// DutError with the reason.
std::string read_touchstone_file(const std::string &path);

} // namespace sim
