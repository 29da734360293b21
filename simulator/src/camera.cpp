// camera.cpp - a camera's lifecycle, identity, modes, controls, region of
// interest, dark frame, guide port and presets (see camera.hpp).
#include "camera.hpp"
#include "night.hpp"
#include "scene.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace orxsim {

namespace {
ThermalSpec thermal_spec(const Model &m) {
    ThermalSpec t;
    t.cooler = m.cooler;
    t.max_drop_c = m.cooler_max_drop_c;
    t.tau_s = m.thermal_tau_s;
    t.self_heat_c = m.self_heat_c;
    return t;
}
} // namespace

Camera::Camera(int32_t id_, std::shared_ptr<const Model> m, const IdRecord &fl)
    : id(id_), model_(std::move(m)), flash(fl) {
    fill_camera_info(model(), id, &info);
    thermal.reset(thermal_spec(model()), ambient_c(), sim_now_ns(), (uint64_t)id);
    reset_settings();
}

void Camera::reset_settings() {
    mode = ORX_MODE_NORMAL;
    std::memset(val, 0, sizeof val);
    std::memset(autov, 0, sizeof autov);
    for (const ControlCapsRecord &c : model().controls) val[c.ControlType] = c.DefaultValue;
    roi_w = model().sensor.width;
    roi_h = model().sensor.height;
    roi_bin = 1;
    roi_type = ORX_IMG_RAW8;
    sx = sy = 0;
    exp = Exp::Idle;
    exp_dark_keep.reset();
    exp_model_keep.reset();
    dropped = 0;
    trig_queue.clear();
    level_on = false;
    std::memset(trig_high, 0, sizeof trig_high);
    std::memset(trig_delay, 0, sizeof trig_delay);
    std::memset(trig_duration, 0, sizeof trig_duration);
    guiding.reset(sim_now_ns());
    dark.reset();
    have_frame = false;
}

// ------------------------------------------------------------ lifecycle ----
int32_t Camera::do_open() {
    if (open) return ORX_SUCCESS;
    update_thermal(sim_now_ns());
    reset_settings();
    open = true;
    initialised = false;
    return ORX_SUCCESS;
}

int32_t Camera::do_init() {
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    finalize_exposure(sim_now_ns());
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    initialised = true;
    return ORX_SUCCESS;
}

void Camera::shutdown(std::unique_lock<std::mutex> &lk, bool unplug, bool retire) {
    if (unplug || retire) plugged.store(false);
    if (retire) retired = true;
    if (video) end_video_locked();
    std::thread t = std::move(producer);
    const int64_t now = sim_now_ns();
    if (exposing() || exp == Exp::Success) exp = unplug ? Exp::Failed : Exp::Idle;
    open = false;
    initialised = false;
    update_thermal(now);
    val[ORX_CTL_COOLER_ON] = 0;
    guiding.stop(now);
    scene_guide_release(id, now);
    dark.reset();
    exp_dark_keep.reset();
    exp_model_keep.reset();
    trig_queue.clear();
    level_on = false;
    cv.notify_all();
    if (t.joinable()) {
        lk.unlock();
        t.join();
        lk.lock();
    }
    free_ring(lk);
}

void Camera::revive(std::shared_ptr<const Model> m, bool keep_flash) {
    ++life;
    model_ = std::move(m);
    fill_camera_info(model(), id, &info);
    if (!keep_flash) flash = IdRecord{};
    thermal.reset(thermal_spec(model()), ambient_c(), sim_now_ns(), (uint64_t)id + (life << 16));
    exp = Exp::Idle;
    reset_settings();
    retired = false;
    plugged.store(true);
    cv.notify_all();
}

void Camera::replug() {
    plugged.store(true);
    exp = Exp::Idle;
    cv.notify_all();
}

// ------------------------------------------------------- identity, modes ----
int32_t Camera::get_id(IdRecord *out) {
    if (!out) return ORX_ERROR_GENERAL;
    *out = flash;
    return ORX_SUCCESS;
}

int32_t Camera::set_id(const IdRecord &v) {
    flash = v;
    return ORX_SUCCESS;
}

int32_t Camera::get_serial(IdRecord *out) {
    if (!out) return ORX_ERROR_GENERAL;
    std::memcpy(out->id, model().serial, 8);
    return ORX_SUCCESS;
}

int32_t Camera::get_support_mode(SupportedModeRecord *out) {
    if (!out) return ORX_ERROR_GENERAL;
    for (int i = 0; i < 16; ++i) out->SupportedCameraMode[i] = ORX_MODE_END;
    out->SupportedCameraMode[0] = ORX_MODE_NORMAL;
    if (model().trigger)
        for (int i = 1; i <= 6; ++i) out->SupportedCameraMode[i] = i;
    return ORX_SUCCESS;
}

int32_t Camera::get_mode(int32_t *out) {
    if (!out) return ORX_ERROR_GENERAL;
    *out = mode;
    return ORX_SUCCESS;
}

int32_t Camera::set_mode(int32_t m) {
    const bool ok =
        m == ORX_MODE_NORMAL || (model().trigger && m >= ORX_MODE_TRIG_SOFT_EDGE && m <= ORX_MODE_TRIG_LOW_LEVEL);
    if (!ok) return ORX_ERROR_INVALID_MODE;
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    finalize_exposure(sim_now_ns());
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    mode = m;
    trig_queue.clear();
    level_on = false;
    return ORX_SUCCESS;
}

// ----------------------------------------------------------------- frames ----
FrameRequest Camera::make_request(bool dark_frame, int64_t now) {
    update_thermal(now);
    FrameRequest r;
    r.model = &model().sensor;
    r.sky = current_sky();
    r.start_x = sx * roi_bin;
    r.start_y = sy * roi_bin;
    r.width = roi_w;
    r.height = roi_h;
    r.bin = roi_bin;
    r.img_type = roi_type;
    r.flip = val[ORX_CTL_FLIP];
    r.gain = val[ORX_CTL_GAIN];
    r.offset = val[ORX_CTL_OFFSET];
    r.exposure_us = val[ORX_CTL_EXPOSURE];
    r.gamma = val[ORX_CTL_GAMMA];
    if (model().sensor.color) {
        r.wb_r = val[ORX_CTL_WB_R];
        r.wb_b = val[ORX_CTL_WB_B];
    }
    r.dark = dark_frame;
    r.sensor_temp_c = thermal.temp_c();
    // the run's seed in the key: every run its own noise, unless seeded alike
    r.noise_key = ((uint64_t)id << 32 | (uint32_t)life) ^ night::run_seed();
    r.adc_bits = val[ORX_CTL_HIGH_SPEED_MODE] ? model().hs_bit_depth : 0;
    r.dark_frame = dark ? dark->data() : nullptr;
    return r;
}

Readout Camera::readout_for(size_t bytes) const {
    const int32_t bw =
        model().control_index[ORX_CTL_BANDWIDTHOVERLOAD] >= 0 ? val[ORX_CTL_BANDWIDTHOVERLOAD] : 100;
    return readout_of(model(), roi_h * roi_bin, bytes, bw, val[ORX_CTL_HIGH_SPEED_MODE] != 0);
}

void Camera::note_frame(const FrameStamp &s) {
    have_frame = true;
    last_frame = s;
}

int32_t Camera::gps_get_data(GpsDataRecord *start, GpsDataRecord *end) {
    if (!model().gps) return ORX_ERROR_GPS_NOT_SUPPORTED;
    if (!start || !end) return ORX_ERROR_GENERAL;
    finalize_exposure(sim_now_ns());
    if (!have_frame) return ORX_ERROR_GPS_DATA_INVALID;
    auto at_line = [&](int32_t line) { return last_frame.start_utc_us + (int64_t)line * last_frame.line_ns / 1000; };
    fill_gps(start, at_line(val[ORX_CTL_GPS_START_LINE]));
    fill_gps(end, at_line(val[ORX_CTL_GPS_END_LINE]));
    return ORX_SUCCESS;
}

// --------------------------------------------------------------- controls ----
int32_t Camera::num_controls(int32_t *out) {
    if (!out) return ORX_ERROR_GENERAL;
    *out = (int32_t)model().controls.size();
    return ORX_SUCCESS;
}

int32_t Camera::control_caps(int32_t index, ControlCapsRecord *out) {
    if (index < 0 || (size_t)index >= model().controls.size()) return ORX_ERROR_INVALID_INDEX;
    if (!out) return ORX_ERROR_GENERAL;
    *out = model().controls[(size_t)index];
    return ORX_SUCCESS;
}

CoolerSettings Camera::cooler_settings() const {
    CoolerSettings s;
    s.on = model().cooler && val[ORX_CTL_COOLER_ON] != 0;
    s.fan = model().control_index[ORX_CTL_FAN_ON] < 0 || val[ORX_CTL_FAN_ON] != 0;
    s.target_c = val[ORX_CTL_TARGET_TEMP];
    return s;
}

void Camera::update_thermal(int64_t now) { thermal.advance(now, cooler_settings(), ambient_c()); }

int32_t Camera::get_control(int32_t type, int32_t *value, ORX_BOOL *is_auto) {
    if ((uint32_t)type >= (uint32_t)kNumControlTypes || model().control_index[type] < 0)
        return ORX_ERROR_INVALID_CONTROL_TYPE;
    if (!value || !is_auto) return ORX_ERROR_GENERAL;
    if (type == ORX_CTL_TEMPERATURE) {
        update_thermal(sim_now_ns());
        *value = (int32_t)std::lround(thermal.read_temp_c() * 10.0);
    } else if (type == ORX_CTL_COOLER_POWER_PERC) {
        update_thermal(sim_now_ns());
        *value = (int32_t)std::lround(thermal.read_power_pct(cooler_settings()));
    } else {
        *value = val[type];
    }
    *is_auto = autov[type];
    return ORX_SUCCESS;
}

int32_t Camera::set_control(int32_t type, int32_t value, ORX_BOOL is_auto) {
    if ((uint32_t)type >= (uint32_t)kNumControlTypes || model().control_index[type] < 0)
        return ORX_ERROR_INVALID_CONTROL_TYPE;
    const ControlCapsRecord &c = model().controls[(size_t)model().control_index[type]];
    if (!c.IsWritable) return ORX_ERROR_GENERAL;
    if (value < c.MinValue || value > c.MaxValue)
        return (type == ORX_CTL_GPS_START_LINE || type == ORX_CTL_GPS_END_LINE) ? ORX_ERROR_GPS_PARAM_OUT_OF_RANGE
                                                                               : ORX_ERROR_GENERAL;
    if (is_auto && !c.IsAutoSupported) return ORX_ERROR_GENERAL;
    if (type == ORX_CTL_COOLER_ON || type == ORX_CTL_TARGET_TEMP || type == ORX_CTL_FAN_ON)
        update_thermal(sim_now_ns()); // the old settings up to now
    val[type] = value;
    autov[type] = is_auto ? 1 : 0;
    if (video) cv.notify_all(); // the producer re-reads exposure and bandwidth
    return ORX_SUCCESS;
}

// ------------------------------------------------------ region of interest ----
int32_t Camera::set_roi(int32_t w, int32_t h, int32_t bin, int32_t type) {
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    finalize_exposure(sim_now_ns());
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    if (std::find(model().bins.begin(), model().bins.end(), bin) == model().bins.end()) return ORX_ERROR_INVALID_SIZE;
    const int32_t W = model().sensor.width, H = model().sensor.height;
    if (w <= 0 || h <= 0 || w % 8 != 0 || h % 2 != 0 || (int64_t)w * bin > W || (int64_t)h * bin > H)
        return ORX_ERROR_INVALID_SIZE;
    if (std::find(model().formats.begin(), model().formats.end(), type) == model().formats.end())
        return ORX_ERROR_INVALID_IMGTYPE;
    roi_w = w;
    roi_h = h;
    roi_bin = bin;
    roi_type = type;
    sx = (W / bin - w) / 2;
    sy = (H / bin - h) / 2;
    return ORX_SUCCESS;
}

int32_t Camera::get_roi(int32_t *w, int32_t *h, int32_t *bin, int32_t *type) {
    if (!w || !h || !bin || !type) return ORX_ERROR_GENERAL;
    *w = roi_w;
    *h = roi_h;
    *bin = roi_bin;
    *type = roi_type;
    return ORX_SUCCESS;
}

int32_t Camera::set_start(int32_t x, int32_t y) {
    if (x < 0 || y < 0 || ((int64_t)x + roi_w) * roi_bin > model().sensor.width ||
        ((int64_t)y + roi_h) * roi_bin > model().sensor.height)
        return ORX_ERROR_OUTOF_BOUNDARY;
    sx = x;
    sy = y;
    return ORX_SUCCESS;
}

int32_t Camera::get_start(int32_t *x, int32_t *y) {
    if (!x || !y) return ORX_ERROR_GENERAL;
    *x = sx;
    *y = sy;
    return ORX_SUCCESS;
}

// ---------------------------------------------- dark, guiding, presets ----
int32_t Camera::set_dark(std::shared_ptr<const std::vector<uint8_t>> d) {
    dark = std::move(d);
    return ORX_SUCCESS;
}

int32_t Camera::disable_dark() {
    dark.reset();
    return ORX_SUCCESS;
}

int32_t Camera::guide(int32_t direction, bool on) {
    if (!model().st4) return ORX_ERROR_INVALID_MODE;
    if (direction < ORX_GUIDE_NORTH || direction > ORX_GUIDE_WEST) return ORX_ERROR_GENERAL;
    const int64_t now = sim_now_ns();
    finalize_exposure(now); // a finished exposure keeps the drift it ended with
    guiding.pulse(direction, on, now);
    scene_guide(id, direction, on, now);
    return ORX_SUCCESS;
}

int32_t Camera::gain_offset(int32_t *a, int32_t *b, int32_t *c, int32_t *d) {
    if (!a || !b || !c || !d) return ORX_ERROR_GENERAL;
    *a = model().gain_offset[0];
    *b = model().gain_offset[1];
    *c = model().gain_offset[2];
    *d = model().gain_offset[3];
    return ORX_SUCCESS;
}

int32_t Camera::lmh_gain_offset(int32_t *a, int32_t *b, int32_t *c, int32_t *d) {
    if (!a || !b || !c || !d) return ORX_ERROR_GENERAL;
    *a = model().lmh[0];
    *b = model().lmh[1];
    *c = model().lmh[2];
    *d = model().lmh[3];
    return ORX_SUCCESS;
}

} // namespace orxsim
