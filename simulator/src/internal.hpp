// internal.hpp - the simulator's layers as seen from each other.
//
//   api.cpp       the 42 ORXCamera2 entry points: log, injection, look-up, lock, delegate
//   control.cpp   the ORXSim* control interface (ORXSimControl.h)
//   calllog.cpp   call log, call counters, scripted answers (injections)
//   registry.cpp  cameras by index and id, hot-plug, reset, flash ids
//   camera.cpp    the per-camera state machine (see camera.cpp's header comment)
//   models.cpp    built-in models, control tables, JSON camera descriptions
//   timing.cpp    the scalable simulated clock, GPS time stamps
//   bmp.cpp       dark-frame BMP reader
//   sensor.cpp    frame rendering (another layer; see sensor.hpp)
//
// Locks: the registry mutex (short, never held while a camera mutex is taken)
// and one mutex + condition variable per camera. Nobody sleeps or renders with
// a lock held.
#pragma once

#include "ORXCamera2.h"
#include "sensor.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orxsim {

// ---------------------------------------------------------------- timing --
using WallClock = std::chrono::steady_clock;

constexpr double kMinTimeScale = 1e-4, kMaxTimeScale = 1e4;
constexpr int64_t kSimHorizonNs = int64_t(1) << 62; // simulated time saturates here

int64_t sim_now_ns();                          // simulated nanoseconds since load
WallClock::time_point wall_at(int64_t sim_ns); // wall instant at which sim time reaches sim_ns
bool set_time_scale(double scale);             // false (and ignored) outside [kMin, kMax]TimeScale
double time_scale();
void reset_clock_from_env();                   // ORXSIM_TIME_SCALE (default 1.0)
int64_t utc_us_at(int64_t sim_ns);             // UTC microseconds for a simulated instant
void fill_gps(GpsDataRecord *rec, int64_t sim_ns);

// ----------------------------------------------------------------- models --
constexpr int kNumControlTypes = 32; // ORX_CONTROL_TYPE values are 0..28

struct Model {
    std::string name;
    std::string alias;      // short name accepted by ORXSimAddCamera's "model"
    int32_t pid = 0;        // USB product id (vendor id kVendorId)
    SensorModel sensor;
    std::vector<int32_t> bins;
    std::vector<int32_t> formats;
    bool st4 = false, cooler = false, usb3 = true, trigger = false, gps = false, shutter = false;
    double line_time_us = 10.0;     // rolling-shutter line time (GPS line stamps)
    int32_t gain_max = 400, gain_default = 100;
    int32_t offset_max = 100, offset_default = 10;
    int32_t bandwidth_default = 80;
    uint8_t serial[8] = {};
    int32_t gain_offset[4] = {};    // offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn
    int32_t lmh[4] = {};            // l_gain, m_gain, h_gain, h_offset
    // derived by finish_model():
    std::vector<ControlCapsRecord> controls;
    int8_t control_index[kNumControlTypes];
};

constexpr int32_t kVendorId = 0x1A2B;
constexpr double kAmbientC = 20.0;
constexpr double kMaxCoolingDeltaC = 35.0;
constexpr double kGuideRatePxPerS = 2.0;   // sensor pixels per simulated second
constexpr double kGpsLatitude = 47.3769, kGpsLongitude = 8.5417;
constexpr int32_t kGpsAltitude = 408, kGpsSatellites = 9;

const std::vector<Model> &builtin_models();
void finish_model(Model &m);              // builds the control table from the features
bool model_from_json(const char *json, Model &out, std::string &why);
void fill_camera_info(const Model &m, int32_t id, CameraInfoRecord *info);

// -------------------------------------------------------------------- bmp --
// Reads an 8-bit (palette) or 24-bit uncompressed BMP of exactly width x height
// into `out` (grey, row-major, top row first). Returns an ORX status.
int32_t load_dark_bmp(const char *path, int32_t width, int32_t height, std::vector<uint8_t> &out);

// ------------------------------------------------------------------ camera --
enum class Exp : uint8_t { Idle, Armed, Working, Success, Failed };
enum class Need : uint8_t { Plugged, Open, Init };

struct Slot {
    std::unique_ptr<uint8_t[]> data;
    size_t cap = 0;
    enum State : uint8_t { Free, Writing, Ready, Reading } state = Free;
    int64_t start_ns = 0;   // simulated start of the frame's exposure
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
    std::shared_ptr<const Model> model_ptr() const { return model_; }

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
    void reset_settings();
    void update_thermal(int64_t now);
    double cooler_power() const;
    void set_drift_rate_now(int64_t now);
    double drift_x_at(int64_t t) const { return drift_x + vx * (double)(t - drift_t) * 1e-9; }
    double drift_y_at(int64_t t) const { return drift_y + vy * (double)(t - drift_t) * 1e-9; }
    void finalize_exposure(int64_t now);
    FrameRequest make_request(bool dark) const;
    int64_t exposure_ns() const { return (int64_t)val[ORX_CTL_EXPOSURE] * 1000; }
    int64_t transfer_ns(size_t bytes) const;
    bool exposing() const { return exp == Exp::Armed || exp == Exp::Working; }
    void end_video_locked();          // flags + discard queued frames; lock held
    void wait_slots_idle(std::unique_lock<std::mutex> &lk);
    void free_ring(std::unique_lock<std::mutex> &lk);
    void producer_main(uint64_t gen);

    std::shared_ptr<const Model> model_;
    IdRecord flash;
    int32_t mode = ORX_MODE_NORMAL;
    int32_t val[kNumControlTypes] = {};
    int32_t autov[kNumControlTypes] = {};
    int32_t roi_w = 0, roi_h = 0, roi_bin = 1, roi_type = ORX_IMG_RAW8, sx = 0, sy = 0;

    // snapshot exposure
    Exp exp = Exp::Idle;
    int64_t exp_start = 0, exp_end = 0; // exp_end INT64_MAX: soft level exposure, still held
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

    // guiding: drift at drift_t plus velocity (sensor px / s)
    unsigned guide_mask = 0;
    double drift_x = 0, drift_y = 0, vx = 0, vy = 0;
    int64_t drift_t = 0;

    // cooler (temperature in degrees C at temp_t)
    double temp_c = kAmbientC;
    int64_t temp_t = 0;

    std::shared_ptr<const std::vector<uint8_t>> dark;

    // GPS: start of the latest frame
    bool have_frame = false;
    int64_t last_frame_start = 0;

    uint64_t frame_counter = 0;
};

// ---------------------------------------------------------------- registry --
Camera *find_camera(int32_t id);                    // lock-free; nullptr if never used
int32_t connected_count();
bool info_at_index(int32_t index, CameraInfoRecord *out); // false if out of range
void registry_reset();                              // built-in cameras, fresh state
int32_t registry_list(int32_t *ids, int32_t max);
int32_t registry_add(Model m);                      // id or -1
int32_t registry_remove(int32_t id);
int32_t registry_unplug(int32_t id);
int32_t registry_replug(int32_t id);
void registry_notify_all();                         // wake every waiter (time scale changed)

Sky current_sky();
int32_t set_sky(double density, double seeing, double sky, uint32_t seed);
void reset_sky();

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

// -------------------------------------------------------- call log, inject --
#define ORXSIM_FUNCTIONS(X)                                                                        \
    X(GetNumOfConnectedCameras) X(CameraCheck) X(GetSDKVersion) X(GetCameraProperty)               \
    X(GetCameraPropertyByID) X(OpenCamera) X(InitCamera) X(CloseCamera) X(GetID) X(SetID)          \
    X(GetSerialNumber) X(GetCameraSupportMode) X(GetCameraMode) X(SetCameraMode)                   \
    X(StartExposure) X(StopExposure) X(GetExpStatus) X(GetDataAfterExp) X(GetDataAfterExpGPS)      \
    X(StartVideoCapture) X(StopVideoCapture) X(GetVideoData) X(GetVideoDataGPS)                    \
    X(GetDroppedFrames) X(GetNumOfControls) X(GetControlCaps) X(GetControlValue)                   \
    X(SetControlValue) X(SetROIFormat) X(GetROIFormat) X(SetStartPos) X(GetStartPos)               \
    X(EnableDarkSubtract) X(DisableDarkSubtract) X(PulseGuideOn) X(PulseGuideOff)                  \
    X(GetGainOffset) X(GetLMHGainOffset) X(SendSoftTrigger) X(SetTriggerOutputIOConf)              \
    X(GetTriggerOutputIOConf) X(GPSGetData)

enum Fn : uint8_t {
#define ORXSIM_ENUM(n) F_##n,
    ORXSIM_FUNCTIONS(ORXSIM_ENUM)
#undef ORXSIM_ENUM
    F_COUNT
};
const char *fn_name(int f);
int fn_lookup(const char *name); // -1 if unknown

// One logged argument: an integer, a pointer (`*` / NULL) or bytes (x'hex' / NULL).
struct Arg {
    enum Kind : uint8_t { Int = 0, Ptr = 1, Null = 2, Bytes = 3 };
    int64_t v;
    Kind k;
};
inline Arg I(int64_t v) { return Arg{v, Arg::Int}; }
inline Arg P(const void *p) { return Arg{0, p ? Arg::Ptr : Arg::Null}; }

void log_call(Fn f, const Arg *args, int n, const void *bytes = nullptr, size_t nbytes = 0);
int64_t call_count(int f);
int32_t log_count();
int32_t log_entry(int32_t index, char *buf, int32_t buflen);
void log_clear();           // lines only
void log_reset();           // lines and counters

extern std::atomic<int> g_inject_pending; // number of functions with queued injections
struct Injected {
    int32_t status;
    bool has_out;
    std::vector<uint8_t> out;
};
bool inject_take(Fn f, Injected &out);       // slow path, only when g_inject_pending != 0
int inject_add(const char *function, int32_t status, int32_t count, const void *out, int32_t outlen);
void inject_clear();

} // namespace orxsim
