// internal.hpp - the simulator's layers as seen from each other.
//
//   api.cpp       the 42 ORXCamera2 entry points: log, injection, look-up, lock, delegate
//   control.cpp   the ORXSim* control interface (ORXSimControl.h)
//   calllog.cpp   call log, call counters, scripted answers (injections)
//   registry.cpp  cameras by index and id, hot-plug, reset, flash ids
//   camera.cpp    the per-camera state machine (see camera.hpp), with its parts:
//                 exposure.cpp (snapshots), video.cpp (ring and producer),
//                 triggers.cpp, thermal.cpp (cooler), guiding.cpp,
//                 readout.cpp (line time, transfer), autoexp.cpp
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
void fill_gps(GpsDataRecord *rec, int64_t utc_us);

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
    // readout: rolling-shutter line time, and in HighSpeedMode a shorter one at a lower bit depth
    double line_time_us = 10.0;
    double hs_line_time_us = 5.0;
    int32_t hs_bit_depth = 10;
    // cooler: largest drop below the uncooled temperature, thermal time constant;
    // an uncooled sensor runs self_heat_c above ambient
    double cooler_max_drop_c = 35.0;
    double thermal_tau_s = 120.0;
    double self_heat_c = 0.0;
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
constexpr double kDefaultAmbientC = 20.0;
constexpr double kMinAmbientC = -50.0, kMaxAmbientC = 50.0;
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
class Camera; // camera.hpp
enum class Need : uint8_t { Plugged, Open, Init };

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
double ambient_c();
int32_t set_ambient(double celsius);               // -1 outside [kMinAmbientC, kMaxAmbientC]

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
