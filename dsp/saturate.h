// Saturating integer helpers shared by the core: conversions and counters that stop at the int32
// limits instead of overflowing into undefined behaviour.
#ifndef DSP_SATURATE_H
#define DSP_SATURATE_H

#include <cmath>
#include <cstdint>
#include <limits>

namespace dsp {

// Truncates toward zero like a plain conversion; values beyond the int32 range stop at its limits
// and NaN gives 0.
inline std::int32_t saturatingInt(float v)
{
    constexpr float kTwoTo31 = 2147483648.0f;
    if (std::isnan(v))
        return 0;
    if (v >= kTwoTo31)
        return std::numeric_limits<std::int32_t>::max();
    if (v < -kTwoTo31)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

// count + 1, held at the int32 maximum.
constexpr std::int32_t saturatingIncrement(std::int32_t count)
{
    return count < std::numeric_limits<std::int32_t>::max() ? count + 1 : count;
}

} // namespace dsp

#endif
