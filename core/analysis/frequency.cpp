#include "core/analysis/frequency.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "core/text/frequency_text.h"

namespace snt {

std::uint32_t parse_frequency(const std::string &text, const std::string &what)
{
    const snt_text::Reading r = snt_text::read_scaled(text, true);
    switch (r.verdict) {
    case snt_text::Verdict::ok:
        break;
    case snt_text::Verdict::milli:
        throw InputError(what + ": \"" + text + "\": write M for megahertz (k, M and G are the suffixes)");
    case snt_text::Verdict::bad_suffix:
        throw InputError(what + ": not a frequency: \"" + text + "\" (examples: 10.7M, 455k, 25000000)");
    case snt_text::Verdict::too_large:
        throw InputError(what + ": " + text + " is too large");
    case snt_text::Verdict::no_number:
    case snt_text::Verdict::plus_sign:
    case snt_text::Verdict::minus_sign:
        throw InputError(what + ": not a number: \"" + text + "\"");
    }
    const double hz = std::round(r.value);
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
