#include "frequency.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace snt {

namespace {

std::string lower(std::string s)
{
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The number at the front of `text`, no sign, no exponent surprises:
// from_chars never looks at the locale.
double leading_number(const std::string &text, std::size_t &used, const std::string &what)
{
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        throw InputError(what + ": not a number: \"" + text + "\"");
    double v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || !std::isfinite(v)) throw InputError(what + ": not a number: \"" + text + "\"");
    used = static_cast<std::size_t>(r.ptr - text.data());
    return v;
}

} // namespace

std::uint32_t parse_frequency(const std::string &text, const std::string &what)
{
    std::size_t used = 0;
    double v = leading_number(text, used, what);
    std::string rest = text.substr(used);
    if (rest.size() >= 2 && lower(rest.substr(rest.size() - 2)) == "hz") rest.erase(rest.size() - 2);
    if (rest == "k" || rest == "K") {
        v *= 1e3;
    } else if (rest == "M") {
        v *= 1e6;
    } else if (rest == "G" || rest == "g") {
        v *= 1e9;
    } else if (rest == "m") {
        throw InputError(what + ": \"" + text + "\": write M for megahertz (k, M and G are the suffixes)");
    } else if (!rest.empty()) {
        throw InputError(what + ": not a frequency: \"" + text + "\" (examples: 10.7M, 455k, 25000000)");
    }
    const double hz = std::round(v);
    if (hz > static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
        throw InputError(what + ": " + text + " is too large");
    return static_cast<std::uint32_t>(hz);
}

std::uint32_t parse_count(const std::string &text, const std::string &what)
{
    std::uint32_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size())
        throw InputError(what + ": not a whole number: \"" + text + "\"");
    if (v == 0) throw InputError(what + " must be at least 1");
    return v;
}

FrequencyUnit unit_for(double max_hz)
{
    if (max_hz >= 1e6) return {1e6, "MHz"};
    if (max_hz >= 1e3) return {1e3, "kHz"};
    return {1.0, "Hz"};
}

std::string format_frequency(double hz)
{
    const FrequencyUnit u = unit_for(hz);
    char buf[64];
    // Up to six decimals of the unit (1 Hz), trailing zeros dropped.
    std::snprintf(buf, sizeof buf, "%.6f", hz / u.scale);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') s.pop_back();
    }
    return s + " " + u.name;
}

} // namespace snt
