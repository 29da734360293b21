// guiding.hpp - the star field's drift from ST4 guide pulses.
//
// While a direction is pulsed the field moves at kGuideRatePxPerS sensor
// pixels per simulated second (north -y, south +y, east -x, west +x); opposite
// directions cancel. The drift is kept as a position at t_ plus a velocity, so
// it can be read for any instant after the last change.
#pragma once

#include <cstdint>

namespace orxsim {

class Guiding {
public:
    static constexpr double kGuideRatePxPerS = 2.0;

    void reset(int64_t now_ns);                           // no drift, no pulse
    void pulse(int32_t direction, bool on, int64_t now_ns); // direction 0..3 (ORX_GUIDE_*)
    void stop(int64_t now_ns);                            // all pulses off, drift kept
    double x_at(int64_t t_ns) const { return x_ + vx_ * (double)(t_ns - t_) * 1e-9; }
    double y_at(int64_t t_ns) const { return y_ + vy_ * (double)(t_ns - t_) * 1e-9; }

private:
    void rebase(int64_t now_ns);

    unsigned mask_ = 0;
    double x_ = 0, y_ = 0, vx_ = 0, vy_ = 0;
    int64_t t_ = 0;
};

} // namespace orxsim
