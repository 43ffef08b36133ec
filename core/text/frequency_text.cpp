#include "core/text/frequency_text.h"

#include <cctype>
#include <cmath>
#include <system_error>

#include "core/text/from_chars.h"

namespace snt_text {

namespace {

bool is_hz(std::string_view tail)
{
    return tail.size() == 2 && std::tolower(static_cast<unsigned char>(tail[0])) == 'h' &&
        std::tolower(static_cast<unsigned char>(tail[1])) == 'z';
}

bool ends_in_hz(std::string_view text) { return text.size() >= 2 && is_hz(text.substr(text.size() - 2)); }

// The multiplier a unit stands for: "" 1, "k" 1e3, ...; 0 for anything else.
double multiplier(std::string_view unit)
{
    if (unit.empty()) return 1;
    if (unit.size() != 1) return 0;
    switch (unit[0]) {
    case 'k':
    case 'K':
        return 1e3;
    case 'M':
        return 1e6;
    case 'G':
    case 'g':
        return 1e9;
    default:
        return 0;
    }
}

// The unsigned number at the front of `text` and what follows it. from_chars
// never looks at the locale.
Reading read_unsigned(std::string_view text, bool hertz)
{
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
        return {Verdict::no_number, 0};
    }
    double v = 0;
    const auto r = from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || !std::isfinite(v)) return {Verdict::no_number, 0};
    std::string_view unit = text.substr(static_cast<std::size_t>(r.ptr - text.data()));
    if (hertz && ends_in_hz(unit)) unit.remove_suffix(2);
    const double m = multiplier(unit);
    if (m == 0) return {unit == "m" ? Verdict::milli : Verdict::bad_suffix, 0};
    v *= m;
    if (!std::isfinite(v)) return {Verdict::too_large, 0};
    return {Verdict::ok, v};
}

} // namespace

Reading read_scaled(std::string_view text, bool hertz)
{
    if (!text.empty() && text[0] == '+') return {Verdict::plus_sign, 0};
    if (!text.empty() && text[0] == '-') {
        const Reading r = read_unsigned(text.substr(1), hertz);
        return {r.verdict == Verdict::ok ? Verdict::minus_sign : r.verdict, 0};
    }
    return read_unsigned(text, hertz);
}

} // namespace snt_text
