// A float and its bit pattern, for checking the chip's float routines
// pattern by pattern (the tests and the benchmark alike).
#pragma once

#include <cstdint>
#include <cstring>

namespace snt_test {

inline std::uint32_t bits(float x)
{
    std::uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline float value(std::uint32_t u)
{
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

inline bool is_nan(std::uint32_t u) { return (u & 0x7FFFFFFFu) > 0x7F800000u; }
// Neither zero, subnormal, infinite nor NaN.
inline bool is_normal(std::uint32_t u) { return ((u >> 23) & 0xFFu) - 1u < 254u; }

} // namespace snt_test
