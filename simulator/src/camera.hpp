// camera.hpp - one simulated camera: its state machine and the parts it owns.
//
// States: closed -> (ORXOpenCamera) open -> (ORXInitCamera) initialised;
// capture is idle, a snapshot exposure (armed/working/success/failed) or
// video. ORXCloseCamera stops all capture, wakes every waiter, switches the
// cooler and guide pulses off and forgets the dark frame. ORXOpenCamera starts
// from the power-on settings (full-sensor RAW8 region at bin 1, control
// defaults, normal mode); the identifier flash and the sensor's temperature
// survive.
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
// Where the parts live:
//   camera.cpp    lifecycle, identity, modes, controls, region, dark frame, presets
//   exposure.cpp  snapshots: working until exposure + readout + transfer passed
//   video.cpp     the frame ring, the producer thread, frame fetches, auto exposure
//   triggers.cpp  soft edge and level triggers, trigger outputs
//   thermal.*     the cooler and the sensor's temperature
//   guiding.*     guide pulses and the drift they cause
//   readout.*     line time, readout and transfer times
//   autoexp.*     the auto exposure and gain controller
#pragma once

#include "autoexp.hpp"
#include "guiding.hpp"
#include "internal.hpp"
#include "readout.hpp"
#include "thermal.hpp"

namespace orxsim {

enum class Exp : uint8_t { Idle, Armed, Working, Success, Failed };

// When a frame was taken, for its GPS stamps.
struct FrameStamp {
    int64_t start_utc_us = 0; // start of the exposure (first row), UTC
    int64_t line_ns = 0;      // line time it was read with
};

struct Slot {
    std::unique_ptr<uint8_t[]> data;
    size_t cap = 0;
    enum State : uint8_t { Free, Writing, Ready, Reading } state = Free;
    FrameStamp stamp;
};

// One object per camera id, made when the id is first used and never freed:
// a call that found the pointer a moment earlier still locks a valid mutex.
// Removing or resetting a camera retires the object (capture stopped, memory
// of its frames freed, waiters woken); a camera later added or reset under the
// same id revives it, so the number of objects is bounded by the ids.
class Camera {
public:
    Camera(int32_t id, std::shared_ptr<const Model> model, const IdRecord &flash);
    ~Camera() = delete;

    const int32_t id;
    CameraInfoRecord info;                                    // lock held
    const Model &model() const { return *model_; }            // lock held

    std::mutex mu;
    std::condition_variable cv;  // every state change a waiter may care about
    std::atomic<bool> plugged{true};
    bool retired = false;
    bool open = false, initialised = false;
    uint64_t life = 0;           // incremented by revive(): a waiter that saw another life was removed

    // state check common to every per-camera call; lock held
    int32_t check(Need need) const {
        if (retired) return ORX_ERROR_INVALID_ID;
        if (!plugged.load(std::memory_order_relaxed)) return ORX_ERROR_CAMERA_REMOVED;
        if (need >= Need::Open && !open) return ORX_ERROR_CAMERA_CLOSED;
        if (need == Need::Init && !initialised) return ORX_ERROR_CAMERA_CLOSED;
        return ORX_SUCCESS;
    }

    // ---- operations; called with `lk` holding `mu` and check() passed
    int32_t do_open();
    int32_t do_init();
    void shutdown(std::unique_lock<std::mutex> &lk, bool unplug, bool retire); // close/unplug/retire
    void replug();
    // a retired camera comes back (closed, power-on settings) as `model`, its
    // identifier flash kept or emptied; lock held
    void revive(std::shared_ptr<const Model> model, bool keep_flash);
    void settle_thermal() { update_thermal(sim_now_ns()); } // before the ambient changes

    int32_t get_id(IdRecord *out);
    int32_t set_id(const IdRecord &v);
    int32_t get_serial(IdRecord *out);
    int32_t get_support_mode(SupportedModeRecord *out);
    int32_t get_mode(int32_t *out);
    int32_t set_mode(int32_t mode);

    int32_t start_exposure(bool dark);
    int32_t stop_exposure();
    int32_t get_exp_status(int32_t *status);
    int32_t get_data_after_exp(std::unique_lock<std::mutex> &lk, unsigned char *buf, int32_t size,
                               GpsDataRecord *gps, bool want_gps);

    int32_t start_video(std::unique_lock<std::mutex> &lk);
    int32_t stop_video(std::unique_lock<std::mutex> &lk);
    int32_t get_video_data(std::unique_lock<std::mutex> &lk, unsigned char *buf, int32_t size,
                           int32_t wait_ms, GpsDataRecord *gps, bool want_gps);
    int32_t get_dropped(int32_t *out);

    int32_t num_controls(int32_t *out);
    int32_t control_caps(int32_t index, ControlCapsRecord *out);
    int32_t get_control(int32_t type, int32_t *value, ORX_BOOL *is_auto);
    int32_t set_control(int32_t type, int32_t value, ORX_BOOL is_auto);

    int32_t set_roi(int32_t w, int32_t h, int32_t bin, int32_t type);
    int32_t get_roi(int32_t *w, int32_t *h, int32_t *bin, int32_t *type);
    int32_t set_start(int32_t x, int32_t y);
    int32_t get_start(int32_t *x, int32_t *y);

    int32_t set_dark(std::shared_ptr<const std::vector<uint8_t>> dark);
    int32_t disable_dark();
    int32_t guide(int32_t direction, bool on);
    int32_t gain_offset(int32_t *a, int32_t *b, int32_t *c, int32_t *d);
    int32_t lmh_gain_offset(int32_t *a, int32_t *b, int32_t *c, int32_t *d);

    int32_t soft_trigger(bool start);
    int32_t set_trigger_output(int32_t pin, bool high, int32_t delay, int32_t duration);
    int32_t get_trigger_output(int32_t pin, ORX_BOOL *high, int32_t *delay, int32_t *duration);
    int32_t gps_get_data(GpsDataRecord *start, GpsDataRecord *end);

private:
    // camera.cpp
    void reset_settings();
    FrameRequest make_request(bool dark, int64_t now); // brings the temperature up to now
    Readout readout_for(size_t bytes) const;
    CoolerSettings cooler_settings() const;
    void update_thermal(int64_t now);
    int64_t exposure_ns() const { return (int64_t)val[ORX_CTL_EXPOSURE] * 1000; }
    bool exposing() const { return exp == Exp::Armed || exp == Exp::Working; }
    void note_frame(const FrameStamp &s);
    // exposure.cpp
    void begin_exposure(int64_t start, int64_t end); // armed or new -> working
    void finalize_exposure(int64_t now);
    // video.cpp
    void end_video_locked();          // flags + discard queued frames; lock held
    void wait_slots_idle(std::unique_lock<std::mutex> &lk);
    void free_ring(std::unique_lock<std::mutex> &lk);
    void producer_main(uint64_t gen);
    void auto_adjust(double brightness);   // one auto exposure/gain step after a frame

    std::shared_ptr<const Model> model_;
    IdRecord flash;
    int32_t mode = ORX_MODE_NORMAL;
    int32_t val[kNumControlTypes] = {};
    int32_t autov[kNumControlTypes] = {};
    int32_t roi_w = 0, roi_h = 0, roi_bin = 1, roi_type = ORX_IMG_RAW8, sx = 0, sy = 0;

    // snapshot exposure: working until exp_end (INT64_MAX: a soft level
    // exposure still held), then readout and transfer for exp_latency
    Exp exp = Exp::Idle;
    int64_t exp_start = 0, exp_end = 0, exp_latency = 0;
    FrameStamp exp_stamp;
    FrameRequest exp_req;
    std::shared_ptr<const std::vector<uint8_t>> exp_dark_keep;
    std::shared_ptr<const Model> exp_model_keep;

    // video
    bool video = false;
    uint64_t video_gen = 0;
    std::thread producer;
    std::vector<Slot> ring;
    std::deque<int> ready;            // slot indices, oldest first
    size_t video_bytes = 0;           // frame size of the running video
    int32_t dropped = 0;

    // soft triggers: pending (start, end) exposures for video; level state
    std::deque<std::pair<int64_t, int64_t>> trig_queue;
    bool level_on = false;
    int64_t level_start = 0;
    int32_t trig_high[2] = {}, trig_delay[2] = {}, trig_duration[2] = {};

    Guiding guiding;
    Thermal thermal;

    std::shared_ptr<const std::vector<uint8_t>> dark;

    // GPS: the latest frame
    bool have_frame = false;
    FrameStamp last_frame;

    uint64_t frame_counter = 0;
};

// Runs fn(camera, lock) on the camera `id` after the state check for `need`.
template <class F>
inline int32_t with_camera(int32_t id, Need need, F &&fn) {
    Camera *c = find_camera(id);
    if (!c) return ORX_ERROR_INVALID_ID;
    std::unique_lock<std::mutex> lk(c->mu);
    int32_t st = c->check(need);
    if (st != ORX_SUCCESS) return st;
    return fn(*c, lk);
}

} // namespace orxsim
