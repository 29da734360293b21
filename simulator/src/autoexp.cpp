// autoexp.cpp - automatic exposure and gain (see autoexp.hpp).
#include "autoexp.hpp"

#include <algorithm>
#include <cmath>

namespace orxsim {

double frame_brightness(const uint8_t *frame, int32_t w, int32_t h, int32_t bytes_per_px) {
    if (w <= 0 || h <= 0) return 0.0;
    // about 64 x 64 samples wherever the frame is big enough
    const int32_t sx = std::max(1, w / 64), sy = std::max(1, h / 64);
    const size_t row = (size_t)w * (size_t)bytes_per_px;
    const int32_t hi = bytes_per_px == 2 ? 1 : 0; // little-endian: the high byte
    double sum = 0;
    size_t n = 0;
    for (int32_t y = sy / 2; y < h; y += sy) {
        const uint8_t *r = frame + (size_t)y * row;
        for (int32_t x = sx / 2; x < w; x += sx)
            for (int32_t c = 0; c < (bytes_per_px == 3 ? 3 : 1); ++c, ++n)
                sum += r[(size_t)x * (size_t)bytes_per_px + (size_t)(c + hi)];
    }
    return n ? sum / (double)n : 0.0;
}

bool auto_step(double brightness, const AutoLimits &lim, int64_t &exposure_us, int32_t &gain) {
    if (!lim.exposure && !lim.gain) return false;
    double f = (double)lim.target / std::max(brightness, 0.5);
    if (std::fabs(f - 1.0) <= kDeadband) return false;
    f = std::min(kMaxStep, std::max(1.0 / kMaxStep, f));
    const int64_t max_exp = std::max(kMinExposureUs, lim.max_exposure_us);
    const int32_t max_gain = std::max(0, lim.max_gain);
    int64_t e = exposure_us;
    int32_t g = gain;
    auto scale_exposure = [&](double by) { // returns what is left of `by`
        if (!lim.exposure) return by;
        const double want = (double)e * by;
        const int64_t got = (int64_t)std::llround(std::min((double)max_exp, std::max((double)kMinExposureUs, want)));
        const double done = (double)got / (double)std::max<int64_t>(e, 1);
        e = got;
        return by / done;
    };
    auto scale_gain = [&](double by) { // gain in 0.1 dB steps: 200 log10 of the factor
        if (!lim.gain) return by;
        const double want = g + 200.0 * std::log10(by);
        const int32_t got = (int32_t)std::lround(std::min((double)max_gain, std::max(0.0, want)));
        const double done = std::pow(10.0, (got - g) / 200.0);
        g = got;
        return by / done;
    };
    if (f > 1) scale_gain(scale_exposure(f));
    else scale_exposure(scale_gain(f));
    const bool changed = e != exposure_us || g != gain;
    exposure_us = e;
    gain = g;
    return changed;
}

} // namespace orxsim
