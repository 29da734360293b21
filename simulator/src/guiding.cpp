// guiding.cpp - the star field's drift from guide pulses (see guiding.hpp).
#include "guiding.hpp"

#include "ORXCamera2.h"

namespace orxsim {

void Guiding::rebase(int64_t now_ns) {
    x_ = x_at(now_ns);
    y_ = y_at(now_ns);
    t_ = now_ns;
}

void Guiding::reset(int64_t now_ns) {
    mask_ = 0;
    x_ = y_ = vx_ = vy_ = 0;
    t_ = now_ns;
}

void Guiding::pulse(int32_t direction, bool on, int64_t now_ns) {
    rebase(now_ns);
    if (on) mask_ |= 1u << direction;
    else mask_ &= ~(1u << direction);
    auto bit = [&](int d) { return (mask_ >> d) & 1u ? 1.0 : 0.0; };
    vx_ = kGuideRatePxPerS * (bit(ORX_GUIDE_WEST) - bit(ORX_GUIDE_EAST));
    vy_ = kGuideRatePxPerS * (bit(ORX_GUIDE_SOUTH) - bit(ORX_GUIDE_NORTH));
}

void Guiding::stop(int64_t now_ns) {
    rebase(now_ns);
    mask_ = 0;
    vx_ = vy_ = 0;
}

} // namespace orxsim
