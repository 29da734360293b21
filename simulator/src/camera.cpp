// camera.cpp - one simulated camera: its state machine, settings and capture.
//
// States: closed -> (ORXOpenCamera) open -> (ORXInitCamera) initialised; capture
// is idle, a snapshot exposure (armed/working/success/failed) or video.
// ORXCloseCamera stops all capture, wakes every waiter, switches the cooler and
// guide pulses off and forgets the dark frame. ORXOpenCamera starts from the
// power-on settings (full-sensor RAW8 region at bin 1, control defaults, normal
// mode); the identifier flash and the sensor's temperature survive.
//
// Which calls need what (the api layer checks before delegating; a camera that
// is not in the required state answers ORX_ERROR_CAMERA_CLOSED):
//   nothing (camera plugged): ORXGetCameraPropertyByID, ORXOpenCamera
//   open:        ORXInitCamera, ORXCloseCamera, ids/serial, modes, controls,
//                ROI get/set, start position, dark subtraction, guiding, presets,
//                trigger outputs, ORXStopExposure, ORXGetExpStatus,
//                ORXStopVideoCapture, ORXGetDroppedFrames, ORXGPSGetData
//   initialised: ORXStartExposure, ORXGetDataAfterExp(GPS), ORXStartVideoCapture,
//                ORXGetVideoData(GPS), ORXSendSoftTrigger
// Every per-camera call answers ORX_ERROR_INVALID_ID for an unknown (or removed)
// id and ORX_ERROR_CAMERA_REMOVED for an unplugged camera, before anything else.
//
// Capture rules:
//   - a snapshot uses the settings at ORXStartExposure; it is "working" until
//     the exposure time has passed on the simulated clock, then "success";
//     ORXStopExposure makes a running one "failed" (and is a no-op otherwise).
//     The frame is rendered into the caller's buffer by ORXGetDataAfterExp,
//     outside the camera lock, and can be fetched once (then idle).
//   - video: a producer thread renders frames into a ring of 3 preallocated
//     slots (2 for frames over 32 MB) at the rate the exposure and the USB link
//     allow (USB 3 380 MB/s, USB 2 40 MB/s, times BandWidth %); when no slot is
//     free the oldest unfetched frame is dropped and counted. Consumers copy a
//     frame out of its slot without holding the lock.
//   - trigger modes: soft edge starts one exposure per ORXSendSoftTrigger(1);
//     soft level exposes from ORXSendSoftTrigger(1) to ORXSendSoftTrigger(0);
//     the hardware modes wait for a line the simulator does not have: their
//     exposures never complete and their video waits time out.
#include "internal.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace orxsim {

namespace {
constexpr size_t kBigFrame = (size_t)32 << 20;
constexpr double kUncooledTempC = kAmbientC + 4.0; // self-heated sensor
constexpr double kUsb3Rate = 380e6, kUsb2Rate = 40e6; // bytes per second
}

Camera::Camera(int32_t id_, std::shared_ptr<const Model> m, const IdRecord &fl)
    : id(id_), model_(std::move(m)), flash(fl) {
    fill_camera_info(model(), id, &info);
    temp_t = sim_now_ns();
    temp_c = model().cooler ? kAmbientC : kUncooledTempC;
    drift_t = temp_t;
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
    guide_mask = 0;
    drift_x = drift_y = vx = vy = 0;
    drift_t = sim_now_ns();
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
    set_drift_rate_now(now);
    guide_mask = 0;
    vx = vy = 0;
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
    temp_t = sim_now_ns();
    temp_c = model().cooler ? kAmbientC : kUncooledTempC;
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
    const bool ok = m == ORX_MODE_NORMAL || (model().trigger && m >= ORX_MODE_TRIG_SOFT_EDGE && m <= ORX_MODE_TRIG_LOW_LEVEL);
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
FrameRequest Camera::make_request(bool dark_frame) const {
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
    r.dark_frame = dark ? dark->data() : nullptr;
    return r;
}

int64_t Camera::transfer_ns(size_t bytes) const {
    double link = model().usb3 ? kUsb3Rate : kUsb2Rate;
    int32_t bw = model().control_index[ORX_CTL_BANDWIDTHOVERLOAD] >= 0 ? val[ORX_CTL_BANDWIDTHOVERLOAD] : 100;
    return (int64_t)((double)bytes / (link * bw / 100.0) * 1e9);
}

void Camera::set_drift_rate_now(int64_t now) {
    drift_x = drift_x_at(now);
    drift_y = drift_y_at(now);
    drift_t = now;
}

void Camera::finalize_exposure(int64_t now) {
    if (exp != Exp::Working || exp_end == INT64_MAX || now < exp_end) return;
    exp = Exp::Success;
    exp_req.drift_x = drift_x_at(exp_end);
    exp_req.drift_y = drift_y_at(exp_end);
    exp_req.frame_index = frame_counter++;
    have_frame = true;
    last_frame_start = exp_start;
}

// --------------------------------------------------------------- snapshot ----
int32_t Camera::start_exposure(bool dark_frame) {
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    const int64_t now = sim_now_ns();
    finalize_exposure(now);
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    exp_req = make_request(dark_frame);
    exp_dark_keep = dark;
    exp_model_keep = model_;
    if (mode == ORX_MODE_NORMAL) {
        exp_start = now;
        exp_end = now + exposure_ns();
        exp = Exp::Working;
    } else if (mode == ORX_MODE_TRIG_SOFT_LEVEL && level_on) {
        exp_start = now;
        exp_end = INT64_MAX;
        exp = Exp::Working;
    } else {
        exp = Exp::Armed;
    }
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
    FrameRequest req = exp_req;
    std::shared_ptr<const std::vector<uint8_t>> keep = std::move(exp_dark_keep);
    std::shared_ptr<const Model> keep_model = std::move(exp_model_keep);
    const int64_t start = exp_start;
    exp = Exp::Idle;
    lk.unlock();
    render_frame(req, buf, bytes);
    if (want_gps) fill_gps(gps, start);
    return ORX_SUCCESS;
}

// ------------------------------------------------------------------ video ----
void Camera::end_video_locked() {
    video = false;
    ++video_gen;
    for (int s : ready) ring[s].state = Slot::Free;
    ready.clear();
    trig_queue.clear();
    cv.notify_all();
}

void Camera::wait_slots_idle(std::unique_lock<std::mutex> &lk) {
    cv.wait(lk, [&] {
        for (const Slot &s : ring)
            if (s.state == Slot::Writing || s.state == Slot::Reading) return false;
        return true;
    });
}

void Camera::free_ring(std::unique_lock<std::mutex> &lk) {
    wait_slots_idle(lk);
    if (!video) {
        ring.clear();
        ring.shrink_to_fit();
        ready.clear();
    }
}

int32_t Camera::start_video(std::unique_lock<std::mutex> &lk) {
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    finalize_exposure(sim_now_ns());
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    const uint64_t my_life = life;
    if (producer.joinable()) { // a producer of an earlier session still finishing
        std::thread t = std::move(producer);
        lk.unlock();
        t.join();
        lk.lock();
        if (life != my_life) return ORX_ERROR_CAMERA_REMOVED;
        if (int32_t st = check(Need::Init)) return st;
        if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    }
    const size_t bytes = frame_bytes(make_request(false));
    const size_t nslots = bytes > kBigFrame ? 2 : 3;
    if (ring.size() != nslots || ring[0].cap < bytes) {
        wait_slots_idle(lk);
        if (life != my_life) return ORX_ERROR_CAMERA_REMOVED;
        if (int32_t st = check(Need::Init)) return st;
        if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
        ring.clear();
        ring.resize(nslots);
        for (Slot &s : ring) {
            s.data.reset(new uint8_t[bytes ? bytes : 1]);
            s.cap = bytes;
        }
    }
    for (Slot &s : ring)
        if (s.state == Slot::Ready) s.state = Slot::Free;
    ready.clear();
    video_bytes = bytes;
    exp = Exp::Idle;
    dropped = 0;
    trig_queue.clear();
    video = true;
    const uint64_t gen = ++video_gen;
    try {
        producer = std::thread(&Camera::producer_main, this, gen);
    } catch (...) {
        video = false;
        return ORX_ERROR_GENERAL;
    }
    return ORX_SUCCESS;
}

int32_t Camera::stop_video(std::unique_lock<std::mutex> &lk) {
    if (!video) return ORX_SUCCESS;
    end_video_locked();
    std::thread t = std::move(producer);
    if (t.joinable()) {
        lk.unlock();
        t.join();
        lk.lock();
    }
    return ORX_SUCCESS;
}

void Camera::producer_main(uint64_t gen) {
    std::unique_lock<std::mutex> lk(mu);
    const size_t bytes = video_bytes; // the format cannot change during video
    int64_t t_prev = sim_now_ns();
    const auto poll = std::chrono::milliseconds(200); // bound on a stale wall deadline
    while (video && video_gen == gen) {
        const int64_t now = sim_now_ns();
        const int64_t xfer = transfer_ns(bytes);
        int64_t t_start, t_end, exp_ns;
        bool from_queue = false;
        if (mode == ORX_MODE_NORMAL) {
            exp_ns = exposure_ns();
            const int64_t interval = std::max(exp_ns, xfer);
            t_end = t_prev + interval;
            // frames keep their cadence through short rendering stalls; after a long one
            // the camera starts afresh instead of catching up with a burst
            if (now - t_end > std::max<int64_t>(4 * interval, 100000000)) t_end = now;
            t_start = t_end - exp_ns;
        } else if (mode == ORX_MODE_TRIG_SOFT_EDGE || mode == ORX_MODE_TRIG_SOFT_LEVEL) {
            if (trig_queue.empty()) {
                cv.wait(lk);
                continue;
            }
            t_start = trig_queue.front().first;
            exp_ns = trig_queue.front().second - t_start;
            t_end = std::max(trig_queue.front().second, t_prev + xfer);
            from_queue = true;
        } else {
            cv.wait(lk); // hardware trigger: no trigger line in the simulator
            continue;
        }
        if (now < t_end) {
            auto deadline = std::min(wall_at(t_end), WallClock::now() + poll);
            cv.wait_until(lk, deadline);
            continue; // re-evaluate: stop, exposure change, time scale change
        }
        if (from_queue) trig_queue.pop_front();
        t_prev = t_end;

        int s = -1;
        for (size_t i = 0; i < ring.size(); ++i)
            if (ring[i].state == Slot::Free) { s = (int)i; break; }
        if (s < 0 && !ready.empty()) { // consumer behind: drop the oldest frame
            s = ready.front();
            ready.pop_front();
            ++dropped;
        }
        if (s < 0) { // every slot is being read
            ++dropped;
            continue;
        }
        Slot &slot = ring[(size_t)s];
        slot.state = Slot::Writing;
        FrameRequest req = make_request(false);
        req.exposure_us = exp_ns / 1000;
        req.drift_x = drift_x_at(t_end);
        req.drift_y = drift_y_at(t_end);
        req.frame_index = frame_counter++;
        std::shared_ptr<const std::vector<uint8_t>> keep = dark;
        uint8_t *dst = slot.data.get();
        lk.unlock();
        render_frame(req, dst, bytes);
        keep.reset();
        lk.lock();
        if (!video || video_gen != gen) {
            slot.state = Slot::Free;
            cv.notify_all();
            break;
        }
        slot.state = Slot::Ready;
        slot.start_ns = t_start;
        ready.push_back(s);
        have_frame = true;
        last_frame_start = t_start;
        cv.notify_all();
    }
    cv.notify_all();
}

int32_t Camera::get_video_data(std::unique_lock<std::mutex> &lk, unsigned char *buf, int32_t size,
                               int32_t wait_ms, GpsDataRecord *gps, bool want_gps) {
    if (want_gps && !model().gps) return ORX_ERROR_GPS_NOT_SUPPORTED;
    if (!video) return ORX_ERROR_INVALID_SEQUENCE;
    const size_t bytes = video_bytes;
    if (size < 0 || (size_t)size < bytes) return ORX_ERROR_BUFFER_TOO_SMALL;
    if (!buf) return ORX_ERROR_GENERAL;
    const uint64_t gen = video_gen, my_life = life;
    auto pred = [&] {
        return !ready.empty() || !video || video_gen != gen || !open || !plugged.load() || life != my_life;
    };
    if (wait_ms < 0) cv.wait(lk, pred);
    else cv.wait_for(lk, std::chrono::milliseconds(wait_ms), pred);
    if (!plugged.load() || retired || life != my_life) return ORX_ERROR_CAMERA_REMOVED;
    if (!open) return ORX_ERROR_CAMERA_CLOSED;
    if (!video || video_gen != gen) return ORX_ERROR_INVALID_SEQUENCE;
    if (ready.empty()) return ORX_ERROR_TIMEOUT;
    const int s = ready.front();
    ready.pop_front();
    Slot &slot = ring[(size_t)s];
    slot.state = Slot::Reading;
    const uint8_t *src = slot.data.get();
    const int64_t start = slot.start_ns;
    lk.unlock();
    std::memcpy(buf, src, bytes);
    if (want_gps) fill_gps(gps, start);
    lk.lock();
    slot.state = Slot::Free;
    cv.notify_all();
    return ORX_SUCCESS;
}

int32_t Camera::get_dropped(int32_t *out) {
    if (!out) return ORX_ERROR_GENERAL;
    *out = dropped;
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

void Camera::update_thermal(int64_t now) {
    double dt = (double)(now - temp_t) * 1e-9;
    if (dt <= 0) return;
    temp_t = now;
    if (!model().cooler) return;
    const bool on = val[ORX_CTL_COOLER_ON] != 0;
    double goal, tau, rate;
    if (on) {
        goal = std::max((double)val[ORX_CTL_TARGET_TEMP], kAmbientC - kMaxCoolingDeltaC);
        tau = 5.0;  // s, exponential approach near the goal
        rate = 1.0; // C/s, at most
    } else {
        goal = kAmbientC;
        tau = 20.0;
        rate = 0.5;
    }
    double d = temp_c - goal;
    const double sign = d < 0 ? -1.0 : 1.0;
    double a = std::fabs(d);
    const double thr = rate * tau; // below this the approach is exponential
    if (a > thr) {
        double tl = (a - thr) / rate;
        if (dt <= tl) {
            a -= rate * dt;
            dt = 0;
        } else {
            a = thr;
            dt -= tl;
        }
    }
    if (dt > 0) a *= std::exp(-dt / tau);
    temp_c = goal + sign * a;
}

double Camera::cooler_power() const {
    if (!model().cooler || !val[ORX_CTL_COOLER_ON]) return 0.0;
    const double goal = std::max((double)val[ORX_CTL_TARGET_TEMP], kAmbientC - kMaxCoolingDeltaC);
    const double hold = 100.0 * (kAmbientC - temp_c) / kMaxCoolingDeltaC; // to keep the temperature
    const double pull = 100.0 * (temp_c - goal) / 5.0;                     // to reach the goal
    return std::min(100.0, std::max(0.0, hold + pull));
}

int32_t Camera::get_control(int32_t type, int32_t *value, ORX_BOOL *is_auto) {
    if ((uint32_t)type >= (uint32_t)kNumControlTypes || model().control_index[type] < 0)
        return ORX_ERROR_INVALID_CONTROL_TYPE;
    if (!value || !is_auto) return ORX_ERROR_GENERAL;
    if (type == ORX_CTL_TEMPERATURE) {
        update_thermal(sim_now_ns());
        *value = (int32_t)std::lround(temp_c * 10.0);
    } else if (type == ORX_CTL_COOLER_POWER_PERC) {
        update_thermal(sim_now_ns());
        *value = (int32_t)std::lround(cooler_power());
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
    if (type == ORX_CTL_COOLER_ON || type == ORX_CTL_TARGET_TEMP) update_thermal(sim_now_ns());
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
    set_drift_rate_now(now);
    if (on) guide_mask |= 1u << direction;
    else guide_mask &= ~(1u << direction);
    auto bit = [&](int d) { return (guide_mask >> d) & 1u ? 1.0 : 0.0; };
    vx = kGuideRatePxPerS * (bit(ORX_GUIDE_WEST) - bit(ORX_GUIDE_EAST));
    vy = kGuideRatePxPerS * (bit(ORX_GUIDE_SOUTH) - bit(ORX_GUIDE_NORTH));
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

// ------------------------------------------------------- triggers, GPS ----
int32_t Camera::soft_trigger(bool start) {
    if (mode != ORX_MODE_TRIG_SOFT_EDGE && mode != ORX_MODE_TRIG_SOFT_LEVEL) return ORX_ERROR_INVALID_MODE;
    const int64_t now = sim_now_ns();
    finalize_exposure(now);
    if (mode == ORX_MODE_TRIG_SOFT_EDGE) {
        if (!start) return ORX_SUCCESS;
        if (exp == Exp::Armed) {
            exp_start = now;
            exp_end = now + exposure_ns();
            exp_req.exposure_us = val[ORX_CTL_EXPOSURE];
            exp = Exp::Working;
        } else if (video) {
            if (trig_queue.size() < 64) trig_queue.emplace_back(now, now + exposure_ns());
            cv.notify_all();
        }
        return ORX_SUCCESS;
    }
    if (start) {
        if (level_on) return ORX_SUCCESS;
        level_on = true;
        level_start = now;
        if (exp == Exp::Armed) {
            exp_start = now;
            exp_end = INT64_MAX;
            exp = Exp::Working;
        }
    } else {
        if (!level_on) return ORX_SUCCESS;
        level_on = false;
        if (exp == Exp::Working && exp_end == INT64_MAX) {
            exp_end = now;
            exp_req.exposure_us = std::max<int64_t>(1, (now - exp_start) / 1000);
            finalize_exposure(now);
        } else if (video) {
            if (trig_queue.size() < 64) trig_queue.emplace_back(level_start, now);
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

int32_t Camera::gps_get_data(GpsDataRecord *start, GpsDataRecord *end) {
    if (!model().gps) return ORX_ERROR_GPS_NOT_SUPPORTED;
    if (!start || !end) return ORX_ERROR_GENERAL;
    finalize_exposure(sim_now_ns());
    if (!have_frame) return ORX_ERROR_GPS_DATA_INVALID;
    const double line_ns = model().line_time_us * 1000.0;
    fill_gps(start, last_frame_start + (int64_t)(val[ORX_CTL_GPS_START_LINE] * line_ns));
    fill_gps(end, last_frame_start + (int64_t)(val[ORX_CTL_GPS_END_LINE] * line_ns));
    return ORX_SUCCESS;
}

} // namespace orxsim
