#include "core/analysis/number.h"

#include <fast_float/fast_float.h>

#include <cmath>

namespace snt {

std::from_chars_result read_double(const char *first, const char *last, double &value)
{
    double v = 0;
    const auto r = fast_float::from_chars(first, last, v);
    if (r.ec != std::errc()) return {r.ptr, r.ec};
    // fast_float rounds a number beyond the range to infinity or zero;
    // from_chars calls either out of range.
    const char *digits = first;
    if (digits < r.ptr && *digits == '-') ++digits;
    const bool literal = digits < r.ptr && (*digits == 'i' || *digits == 'I' || *digits == 'n' || *digits == 'N');
    if (!literal && std::isinf(v)) return {r.ptr, std::errc::result_out_of_range};
    if (!literal && v == 0) {
        for (const char *p = digits; p < r.ptr && *p != 'e' && *p != 'E'; ++p) {
            if (*p >= '1' && *p <= '9') return {r.ptr, std::errc::result_out_of_range};
        }
    }
    value = v;
    return {r.ptr, std::errc()};
}

} // namespace snt
