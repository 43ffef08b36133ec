#include "core/text/from_chars.h"

#include <fast_float/fast_float.h>

#include <cmath>
#include <system_error>

namespace snt_text {

namespace {

bool nonzero_mantissa(const char *first, const char *last)
{
    for (const char *p = first; p != last && *p != 'e' && *p != 'E'; ++p) {
        if (*p >= '1' && *p <= '9') return true;
    }
    return false;
}

} // namespace

std::from_chars_result from_chars(const char *first, const char *last, double &value)
{
    double v = 0;
    const auto r = fast_float::from_chars(first, last, v, fast_float::chars_format::general);
    if (r.ec != std::errc()) return {r.ptr, r.ec};
    // fast_float rounds what is out of range to infinity or zero.
    const char *digits = first != last && *first == '-' ? first + 1 : first;
    const bool numeral = digits != r.ptr && (*digits == '.' || (*digits >= '0' && *digits <= '9'));
    if (numeral && (std::isinf(v) || (v == 0 && nonzero_mantissa(digits, r.ptr)))) {
        return {r.ptr, std::errc::result_out_of_range};
    }
    value = v;
    return {r.ptr, std::errc()};
}

} // namespace snt_text
