// triggers.cpp - soft triggers and the trigger output pins.
//
// Soft edge: each ORXSendSoftTrigger(1) starts one exposure of the set length
// (the armed snapshot, or one video frame). Soft level: the exposure lasts from
// ORXSendSoftTrigger(1) to ORXSendSoftTrigger(0). The hardware modes wait for
// a trigger line the simulator does not have: their snapshots stay working
// and their video waits time out. Video keeps at most kMaxQueued pending
// triggers.
#include "camera.hpp"

#include <algorithm>
#include <climits>

namespace orxsim {

namespace {
constexpr size_t kMaxQueued = 64;
}

int32_t Camera::soft_trigger(bool start) {
    if (mode != ORX_MODE_TRIG_SOFT_EDGE && mode != ORX_MODE_TRIG_SOFT_LEVEL) return ORX_ERROR_INVALID_MODE;
    const int64_t now = sim_now_ns();
    finalize_exposure(now);
    if (mode == ORX_MODE_TRIG_SOFT_EDGE) {
        if (!start) return ORX_SUCCESS;
        if (exp == Exp::Armed) {
            exp_req.exposure_us = val[ORX_CTL_EXPOSURE];
            begin_exposure(now, now + exposure_ns());
        } else if (video) {
            if (trig_queue.size() < kMaxQueued) trig_queue.emplace_back(now, now + exposure_ns());
            cv.notify_all();
        }
        return ORX_SUCCESS;
    }
    if (start) {
        if (level_on) return ORX_SUCCESS;
        level_on = true;
        level_start = now;
        if (exp == Exp::Armed) begin_exposure(now, INT64_MAX);
    } else {
        if (!level_on) return ORX_SUCCESS;
        level_on = false;
        if (exp == Exp::Working && exp_end == INT64_MAX) {
            exp_end = now;
            exp_req.exposure_us = std::max<int64_t>(1, (now - exp_start) / 1000);
            finalize_exposure(now);
        } else if (video) {
            if (trig_queue.size() < kMaxQueued) trig_queue.emplace_back(level_start, now);
            cv.notify_all();
        }
    }
    return ORX_SUCCESS;
}

int32_t Camera::set_trigger_output(int32_t pin, bool high, int32_t delay, int32_t duration) {
    if (!model().trigger) return ORX_ERROR_INVALID_MODE;
    if (pin != ORX_TRIG_OUTPUT_PINA && pin != ORX_TRIG_OUTPUT_PINB) return ORX_ERROR_GENERAL;
    if (delay < 0 || duration < 0) return ORX_ERROR_GENERAL;
    trig_high[pin] = high ? 1 : 0;
    trig_delay[pin] = delay;
    trig_duration[pin] = duration;
    return ORX_SUCCESS;
}

int32_t Camera::get_trigger_output(int32_t pin, ORX_BOOL *high, int32_t *delay, int32_t *duration) {
    if (!model().trigger) return ORX_ERROR_INVALID_MODE;
    if (pin != ORX_TRIG_OUTPUT_PINA && pin != ORX_TRIG_OUTPUT_PINB) return ORX_ERROR_GENERAL;
    if (!high || !delay || !duration) return ORX_ERROR_GENERAL;
    *high = trig_high[pin];
    *delay = trig_delay[pin];
    *duration = trig_duration[pin];
    return ORX_SUCCESS;
}

} // namespace orxsim
