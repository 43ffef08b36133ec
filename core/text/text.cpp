#include "core/text/text.h"

namespace snt {

namespace {

void append_escaped(std::string &out, unsigned char c)
{
    static const char kHex[] = "0123456789abcdef";
    if (c >= 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
        return;
    }
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xf];
}

} // namespace

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) append_escaped(out, static_cast<unsigned char>(c));
    return out;
}

std::string in_quotes(std::string_view text, std::size_t limit)
{
    const bool cut = text.size() > limit;
    if (cut) text = text.substr(0, limit);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        append_escaped(out, static_cast<unsigned char>(c));
    }
    out += '"';
    if (cut) out += "...";
    return out;
}

} // namespace snt
