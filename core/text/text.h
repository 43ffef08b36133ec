// Text from outside (the device, a file, the command line, the virtual
// board) made safe to show in a message: one line, printable ASCII, so a
// NUL cannot cut a message short and stray bytes cannot upset a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace snt {

// `text` with every byte outside printable ASCII (below 0x20, 0x7f and
// above) written as \xNN.
std::string printable(std::string_view text);

// `text` in double quotes, escaped as printable() does, with a backslash
// before a quote or a backslash; longer than `limit` bytes, it is cut
// there and "..." follows the closing quote.
std::string in_quotes(std::string_view text, std::size_t limit = 80);

} // namespace snt
