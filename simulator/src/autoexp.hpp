// autoexp.hpp - automatic exposure and gain in video, one step per frame.
//
// After each frame the camera measures its brightness (mean of the frame on
// an 8-bit scale, from a sparse grid of pixels) and moves exposure and gain
// toward AutoExpTargetBrightness: by the ratio target / brightness, at most
// kMaxStep per frame, nothing inside a deadband of kDeadband. Brightening
// lengthens the exposure first and then raises the gain; darkening lowers the
// gain first and then shortens the exposure. Exposure stays within
// [kMinExposureUs, AutoExpMaxExpMS], gain within [0, AutoExpMaxGain]; only the
// controls switched to auto move.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orxsim {

struct AutoLimits {
    bool exposure = false, gain = false; // which controls are on auto
    int64_t max_exposure_us = 0;
    int32_t max_gain = 0;
    int32_t target = 100;                // brightness, 0..255
};

constexpr double kDeadband = 0.03, kMaxStep = 4.0;
constexpr int64_t kMinExposureUs = 32;

// Mean brightness (0..255) of a frame of `w` x `h` pixels of `bytes_per_px`
// bytes (2: 16-bit little-endian, the high byte counts).
double frame_brightness(const uint8_t *frame, int32_t w, int32_t h, int32_t bytes_per_px);

// One controller step; returns true when exposure or gain changed.
bool auto_step(double brightness, const AutoLimits &lim, int64_t &exposure_us, int32_t &gain);

} // namespace orxsim
