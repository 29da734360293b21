// exposure.cpp - snapshot exposures.
//
// A snapshot uses the settings at ORXStartExposure. In normal mode it starts at
// once; in a trigger mode it is armed until the trigger (see triggers.cpp).
// It is "working" while it exposes and while the frame is read out and sent
// (exposure + readout + transfer, readout.hpp), then "success";
// ORXStopExposure makes a running one "failed" (and is a no-op otherwise). The
// frame is rendered into the caller's buffer by ORXGetDataAfterExp, outside
// the camera lock, and can be fetched once (then idle).
#include "camera.hpp"

#include <climits>

#include "scene.hpp"

namespace orxsim {

void Camera::begin_exposure(int64_t start, int64_t end) {
    exp_start = start;
    exp_end = end;
    exp_stamp.start_utc_us = utc_us_at(start);
    exp = Exp::Working;
}

void Camera::finalize_exposure(int64_t now) {
    if (exp != Exp::Working || exp_end == INT64_MAX || now - exp_end < exp_latency) return;
    exp = Exp::Success;
    exp_req.drift_x = guiding.x_at(exp_end);
    exp_req.drift_y = guiding.y_at(exp_end);
    scene_frame(id, exp_start, exp_end, exp_req);
    exp_req.frame_index = frame_counter++;
    note_frame(exp_stamp);
}

int32_t Camera::start_exposure(bool dark_frame) {
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    const int64_t now = sim_now_ns();
    finalize_exposure(now);
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    exp_req = make_request(dark_frame, now);
    exp_dark_keep = dark;
    exp_model_keep = model_;
    const Readout r = readout_for(frame_bytes(exp_req));
    exp_latency = r.latency_ns();
    exp_stamp.line_ns = r.line_ns;
    if (mode == ORX_MODE_NORMAL) begin_exposure(now, now + exposure_ns());
    else if (mode == ORX_MODE_TRIG_SOFT_LEVEL && level_on) begin_exposure(now, INT64_MAX);
    else exp = Exp::Armed;
    return ORX_SUCCESS;
}

int32_t Camera::stop_exposure() {
    finalize_exposure(sim_now_ns());
    if (exposing()) exp = Exp::Failed;
    return ORX_SUCCESS;
}

int32_t Camera::get_exp_status(int32_t *status) {
    if (!status) return ORX_ERROR_GENERAL;
    finalize_exposure(sim_now_ns());
    switch (exp) {
    case Exp::Idle: *status = ORX_EXP_IDLE; break;
    case Exp::Armed:
    case Exp::Working: *status = ORX_EXP_WORKING; break;
    case Exp::Success: *status = ORX_EXP_SUCCESS; break;
    case Exp::Failed: *status = ORX_EXP_FAILED; break;
    }
    return ORX_SUCCESS;
}

int32_t Camera::get_data_after_exp(std::unique_lock<std::mutex> &lk, unsigned char *buf, int32_t size,
                                   GpsDataRecord *gps, bool want_gps) {
    if (want_gps && !model().gps) return ORX_ERROR_GPS_NOT_SUPPORTED;
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    finalize_exposure(sim_now_ns());
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    if (exp != Exp::Success) return ORX_ERROR_INVALID_SEQUENCE;
    const size_t bytes = frame_bytes(exp_req);
    if (size < 0 || (size_t)size < bytes) return ORX_ERROR_BUFFER_TOO_SMALL;
    if (!buf && bytes) return ORX_ERROR_GENERAL;
    const FrameRequest req = exp_req;
    // the dark frame and the model the request points into stay alive while rendering
    std::shared_ptr<const std::vector<uint8_t>> keep = std::move(exp_dark_keep);
    std::shared_ptr<const Model> keep_model = std::move(exp_model_keep);
    const int64_t start_utc = exp_stamp.start_utc_us;
    exp = Exp::Idle;
    lk.unlock();
    render_frame(req, buf, bytes);
    if (want_gps) fill_gps(gps, start_utc);
    return ORX_SUCCESS;
}

} // namespace orxsim
