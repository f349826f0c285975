#include "greeting.h"

#include <cmath>

namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double pi = 3.141592653589793;
constexpr double amplitude = 3.0;   // the largest factor, reached a quarter into each cycle
constexpr double min_scale = 0.001; // the greeting shrinks to a speck, never to nothing

} // namespace

void update_pulse(run_state &rs, int64_t count)
{
    rs.time = static_cast<double>(count) * tick_seconds;
    const double s = std::sin(rs.time / rs.period * two_pi - pi);
    rs.scale = 1.0 - (s + 1.0) / 2.0;
    rs.scale = rs.scale * amplitude;
    if (rs.scale < min_scale) {
        rs.scale = min_scale;
    }
}
