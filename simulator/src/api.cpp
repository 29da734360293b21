// api.cpp - the 42 ORXCamera2 entry points.
//
// Each one: log the call (every call, injected or not), answer from the
// scripted injections if any are queued for it, else look the camera up, lock
// it, check its state and delegate to the camera layer. No exception leaves.
// The common path costs an atomic add for the counter, one for the log slot,
// an atomic load for "any injection queued", a lock-free id look-up and the
// camera's mutex.
#include "camera.hpp"

#include <cstring>
#include <initializer_list>

using namespace orxsim;

namespace {

struct Out {
    void *p;
    size_t n;
};

// Writes an injection's bytes into the out-parameters in order; a short `out`
// fills what it covers, NULL pointers are skipped.
void write_outs(const std::vector<uint8_t> &bytes, std::initializer_list<Out> outs) {
    size_t off = 0;
    for (const Out &o : outs) {
        if (off >= bytes.size()) break;
        size_t n = std::min(o.n, bytes.size() - off);
        if (o.p) std::memcpy(o.p, bytes.data() + off, n);
        off += o.n;
    }
}

inline void LOG(Fn f) { log_call(f, nullptr, 0); }

template <class... A>
inline void LOG(Fn f, A... a) {
    const Arg args[] = {a...};
    log_call(f, args, (int)sizeof...(a));
}

#if defined(__GNUC__)
#define ORXSIM_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ORXSIM_UNLIKELY(x) (x)
#endif

#define INJECT(F, ...)                                                                             \
    if (ORXSIM_UNLIKELY(g_inject_pending.load(std::memory_order_relaxed) != 0)) {                  \
        Injected inj;                                                                              \
        if (inject_take(F, inj)) {                                                                 \
            if (inj.has_out) write_outs(inj.out, {__VA_ARGS__});                                   \
            return inj.status;                                                                     \
        }                                                                                          \
    }

#define INJECT0(F)                                                                                 \
    if (ORXSIM_UNLIKELY(g_inject_pending.load(std::memory_order_relaxed) != 0)) {                  \
        Injected inj;                                                                              \
        if (inject_take(F, inj)) return inj.status;                                                \
    }

#define GUARD_BEGIN try {
#define GUARD_END                                                                                  \
    }                                                                                              \
    catch (...) {                                                                                  \
        return ORX_ERROR_GENERAL;                                                                  \
    }

#define I32(p) Out{(void *)(p), 4}
#define REC(p) Out{(void *)(p), sizeof(*(p))}

using Lock = std::unique_lock<std::mutex>;

const char kVersion[] = "1.0.0 (orx simulator)";

} // namespace

extern "C" {

// ------------------------------------------------------------ discovery ----
ORX_API int32_t ORX_CALL ORXGetNumOfConnectedCameras(void) {
    LOG(F_GetNumOfConnectedCameras);
    INJECT0(F_GetNumOfConnectedCameras);
    GUARD_BEGIN
    return connected_count();
    GUARD_END
}

ORX_API ORX_BOOL ORX_CALL ORXCameraCheck(int32_t vid, int32_t pid) {
    LOG(F_CameraCheck, I(vid), I(pid));
    INJECT0(F_CameraCheck);
    if (vid != kVendorId) return 0;
    for (const Model &m : builtin_models())
        if (m.pid == pid) return 1;
    return 0;
}

ORX_API const char *ORX_CALL ORXGetSDKVersion(void) {
    LOG(F_GetSDKVersion);
    if (ORXSIM_UNLIKELY(g_inject_pending.load(std::memory_order_relaxed) != 0)) {
        Injected inj;
        if (inject_take(F_GetSDKVersion, inj)) {
            if (!inj.has_out) return nullptr;
            thread_local std::string text;
            text.assign((const char *)inj.out.data(), inj.out.size());
            return text.c_str();
        }
    }
    return kVersion;
}

ORX_API int32_t ORX_CALL ORXGetCameraProperty(CameraInfoRecord *info, int32_t index) {
    LOG(F_GetCameraProperty, P(info), I(index));
    INJECT(F_GetCameraProperty, REC(info));
    CameraInfoRecord copy;
    if (!info_at_index(index, &copy)) return ORX_ERROR_INVALID_INDEX;
    if (!info) return ORX_ERROR_GENERAL;
    *info = copy;
    return ORX_SUCCESS;
}

ORX_API int32_t ORX_CALL ORXGetCameraPropertyByID(int32_t id, CameraInfoRecord *info) {
    LOG(F_GetCameraPropertyByID, I(id), P(info));
    INJECT(F_GetCameraPropertyByID, REC(info));
    return with_camera(id, Need::Plugged, [&](Camera &c, Lock &) {
        if (!info) return (int32_t)ORX_ERROR_GENERAL;
        *info = c.info;
        return (int32_t)ORX_SUCCESS;
    });
}

// ------------------------------------------------------------ lifecycle ----
ORX_API int32_t ORX_CALL ORXOpenCamera(int32_t id) {
    LOG(F_OpenCamera, I(id));
    INJECT0(F_OpenCamera);
    GUARD_BEGIN
    return with_camera(id, Need::Plugged, [&](Camera &c, Lock &) { return c.do_open(); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXInitCamera(int32_t id) {
    LOG(F_InitCamera, I(id));
    INJECT0(F_InitCamera);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.do_init(); });
}

ORX_API int32_t ORX_CALL ORXCloseCamera(int32_t id) {
    LOG(F_CloseCamera, I(id));
    INJECT0(F_CloseCamera);
    GUARD_BEGIN
    return with_camera(id, Need::Plugged, [&](Camera &c, Lock &lk) {
        if (c.open) c.shutdown(lk, false, false);
        return (int32_t)ORX_SUCCESS;
    });
    GUARD_END
}

// ------------------------------------------------------ identity, modes ----
ORX_API int32_t ORX_CALL ORXGetID(int32_t id, IdRecord *out) {
    LOG(F_GetID, I(id), P(out));
    INJECT(F_GetID, REC(out));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_id(out); });
}

ORX_API int32_t ORX_CALL ORXSetID(int32_t id, IdRecord value) {
    const Arg args[] = {I(id), Arg{0, Arg::Bytes}};
    log_call(F_SetID, args, 2, value.id, sizeof value.id);
    INJECT0(F_SetID);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.set_id(value); });
}

ORX_API int32_t ORX_CALL ORXGetSerialNumber(int32_t id, IdRecord *out) {
    LOG(F_GetSerialNumber, I(id), P(out));
    INJECT(F_GetSerialNumber, REC(out));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_serial(out); });
}

ORX_API int32_t ORX_CALL ORXGetCameraSupportMode(int32_t id, SupportedModeRecord *modes) {
    LOG(F_GetCameraSupportMode, I(id), P(modes));
    INJECT(F_GetCameraSupportMode, REC(modes));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_support_mode(modes); });
}

ORX_API int32_t ORX_CALL ORXGetCameraMode(int32_t id, int32_t *mode) {
    LOG(F_GetCameraMode, I(id), P(mode));
    INJECT(F_GetCameraMode, I32(mode));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_mode(mode); });
}

ORX_API int32_t ORX_CALL ORXSetCameraMode(int32_t id, int32_t mode) {
    LOG(F_SetCameraMode, I(id), I(mode));
    INJECT0(F_SetCameraMode);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.set_mode(mode); });
}

// ------------------------------------------------------------- snapshot ----
ORX_API int32_t ORX_CALL ORXStartExposure(int32_t id, ORX_BOOL is_dark) {
    LOG(F_StartExposure, I(id), I(is_dark));
    INJECT0(F_StartExposure);
    GUARD_BEGIN
    return with_camera(id, Need::Init, [&](Camera &c, Lock &) { return c.start_exposure(is_dark != 0); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXStopExposure(int32_t id) {
    LOG(F_StopExposure, I(id));
    INJECT0(F_StopExposure);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.stop_exposure(); });
}

ORX_API int32_t ORX_CALL ORXGetExpStatus(int32_t id, int32_t *status) {
    LOG(F_GetExpStatus, I(id), P(status));
    INJECT(F_GetExpStatus, I32(status));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_exp_status(status); });
}

ORX_API int32_t ORX_CALL ORXGetDataAfterExp(int32_t id, unsigned char *buffer, int32_t size) {
    LOG(F_GetDataAfterExp, I(id), P(buffer), I(size));
    INJECT0(F_GetDataAfterExp);
    GUARD_BEGIN
    return with_camera(id, Need::Init,
                       [&](Camera &c, Lock &lk) { return c.get_data_after_exp(lk, buffer, size, nullptr, false); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXGetDataAfterExpGPS(int32_t id, unsigned char *buffer, int32_t size,
                                               GpsDataRecord *gps) {
    LOG(F_GetDataAfterExpGPS, I(id), P(buffer), I(size), P(gps));
    INJECT(F_GetDataAfterExpGPS, REC(gps));
    GUARD_BEGIN
    return with_camera(id, Need::Init,
                       [&](Camera &c, Lock &lk) { return c.get_data_after_exp(lk, buffer, size, gps, true); });
    GUARD_END
}

// ---------------------------------------------------------------- video ----
ORX_API int32_t ORX_CALL ORXStartVideoCapture(int32_t id) {
    LOG(F_StartVideoCapture, I(id));
    INJECT0(F_StartVideoCapture);
    GUARD_BEGIN
    return with_camera(id, Need::Init, [&](Camera &c, Lock &lk) { return c.start_video(lk); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXStopVideoCapture(int32_t id) {
    LOG(F_StopVideoCapture, I(id));
    INJECT0(F_StopVideoCapture);
    GUARD_BEGIN
    return with_camera(id, Need::Open, [&](Camera &c, Lock &lk) { return c.stop_video(lk); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXGetVideoData(int32_t id, unsigned char *buffer, int32_t size, int32_t wait_ms) {
    LOG(F_GetVideoData, I(id), P(buffer), I(size), I(wait_ms));
    INJECT0(F_GetVideoData);
    GUARD_BEGIN
    return with_camera(id, Need::Init, [&](Camera &c, Lock &lk) {
        return c.get_video_data(lk, buffer, size, wait_ms, nullptr, false);
    });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXGetVideoDataGPS(int32_t id, unsigned char *buffer, int32_t size, int32_t wait_ms,
                                            GpsDataRecord *gps) {
    LOG(F_GetVideoDataGPS, I(id), P(buffer), I(size), I(wait_ms), P(gps));
    INJECT(F_GetVideoDataGPS, REC(gps));
    GUARD_BEGIN
    return with_camera(id, Need::Init,
                       [&](Camera &c, Lock &lk) { return c.get_video_data(lk, buffer, size, wait_ms, gps, true); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXGetDroppedFrames(int32_t id, int32_t *dropped) {
    LOG(F_GetDroppedFrames, I(id), P(dropped));
    INJECT(F_GetDroppedFrames, I32(dropped));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_dropped(dropped); });
}

// ------------------------------------------------------------- controls ----
ORX_API int32_t ORX_CALL ORXGetNumOfControls(int32_t id, int32_t *count) {
    LOG(F_GetNumOfControls, I(id), P(count));
    INJECT(F_GetNumOfControls, I32(count));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.num_controls(count); });
}

ORX_API int32_t ORX_CALL ORXGetControlCaps(int32_t id, int32_t index, ControlCapsRecord *caps) {
    LOG(F_GetControlCaps, I(id), I(index), P(caps));
    INJECT(F_GetControlCaps, REC(caps));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.control_caps(index, caps); });
}

ORX_API int32_t ORX_CALL ORXGetControlValue(int32_t id, int32_t type, int32_t *value, ORX_BOOL *is_auto) {
    LOG(F_GetControlValue, I(id), I(type), P(value), P(is_auto));
    INJECT(F_GetControlValue, I32(value), I32(is_auto));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_control(type, value, is_auto); });
}

ORX_API int32_t ORX_CALL ORXSetControlValue(int32_t id, int32_t type, int32_t value, ORX_BOOL is_auto) {
    LOG(F_SetControlValue, I(id), I(type), I(value), I(is_auto));
    INJECT0(F_SetControlValue);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.set_control(type, value, is_auto); });
}

// --------------------------------------------------- region of interest ----
ORX_API int32_t ORX_CALL ORXSetROIFormat(int32_t id, int32_t width, int32_t height, int32_t bin,
                                         int32_t img_type) {
    LOG(F_SetROIFormat, I(id), I(width), I(height), I(bin), I(img_type));
    INJECT0(F_SetROIFormat);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.set_roi(width, height, bin, img_type); });
}

ORX_API int32_t ORX_CALL ORXGetROIFormat(int32_t id, int32_t *width, int32_t *height, int32_t *bin,
                                         int32_t *img_type) {
    LOG(F_GetROIFormat, I(id), P(width), P(height), P(bin), P(img_type));
    INJECT(F_GetROIFormat, I32(width), I32(height), I32(bin), I32(img_type));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_roi(width, height, bin, img_type); });
}

ORX_API int32_t ORX_CALL ORXSetStartPos(int32_t id, int32_t x, int32_t y) {
    LOG(F_SetStartPos, I(id), I(x), I(y));
    INJECT0(F_SetStartPos);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.set_start(x, y); });
}

ORX_API int32_t ORX_CALL ORXGetStartPos(int32_t id, int32_t *x, int32_t *y) {
    LOG(F_GetStartPos, I(id), P(x), P(y));
    INJECT(F_GetStartPos, I32(x), I32(y));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.get_start(x, y); });
}

// ----------------------------------------------- dark, guiding, presets ----
ORX_API int32_t ORX_CALL ORXEnableDarkSubtract(int32_t id, const char *bmp_path) {
    const Arg args[] = {I(id), Arg{0, bmp_path ? Arg::Bytes : Arg::Null}};
    log_call(F_EnableDarkSubtract, args, 2, bmp_path, bmp_path ? std::strlen(bmp_path) : 0);
    INJECT0(F_EnableDarkSubtract);
    GUARD_BEGIN
    int32_t w = 0, h = 0;
    int32_t st = with_camera(id, Need::Open, [&](Camera &c, Lock &) {
        w = c.model().sensor.width;
        h = c.model().sensor.height;
        return (int32_t)ORX_SUCCESS;
    });
    if (st != ORX_SUCCESS) return st;
    // the file is read without any lock held
    auto dark = std::make_shared<std::vector<uint8_t>>();
    st = load_dark_bmp(bmp_path, w, h, *dark);
    if (st != ORX_SUCCESS) return st;
    std::shared_ptr<const std::vector<uint8_t>> frozen = std::move(dark);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.set_dark(std::move(frozen)); });
    GUARD_END
}

ORX_API int32_t ORX_CALL ORXDisableDarkSubtract(int32_t id) {
    LOG(F_DisableDarkSubtract, I(id));
    INJECT0(F_DisableDarkSubtract);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.disable_dark(); });
}

ORX_API int32_t ORX_CALL ORXPulseGuideOn(int32_t id, int32_t direction) {
    LOG(F_PulseGuideOn, I(id), I(direction));
    INJECT0(F_PulseGuideOn);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.guide(direction, true); });
}

ORX_API int32_t ORX_CALL ORXPulseGuideOff(int32_t id, int32_t direction) {
    LOG(F_PulseGuideOff, I(id), I(direction));
    INJECT0(F_PulseGuideOff);
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.guide(direction, false); });
}

ORX_API int32_t ORX_CALL ORXGetGainOffset(int32_t id, int32_t *offset_highest_dr, int32_t *offset_unity_gain,
                                          int32_t *gain_lowest_rn, int32_t *offset_lowest_rn) {
    LOG(F_GetGainOffset, I(id), P(offset_highest_dr), P(offset_unity_gain), P(gain_lowest_rn), P(offset_lowest_rn));
    INJECT(F_GetGainOffset, I32(offset_highest_dr), I32(offset_unity_gain), I32(gain_lowest_rn),
           I32(offset_lowest_rn));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) {
        return c.gain_offset(offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn);
    });
}

ORX_API int32_t ORX_CALL ORXGetLMHGainOffset(int32_t id, int32_t *l_gain, int32_t *m_gain, int32_t *h_gain,
                                             int32_t *h_offset) {
    LOG(F_GetLMHGainOffset, I(id), P(l_gain), P(m_gain), P(h_gain), P(h_offset));
    INJECT(F_GetLMHGainOffset, I32(l_gain), I32(m_gain), I32(h_gain), I32(h_offset));
    return with_camera(id, Need::Open,
                       [&](Camera &c, Lock &) { return c.lmh_gain_offset(l_gain, m_gain, h_gain, h_offset); });
}

// -------------------------------------------------------- triggers, GPS ----
ORX_API int32_t ORX_CALL ORXSendSoftTrigger(int32_t id, ORX_BOOL start) {
    LOG(F_SendSoftTrigger, I(id), I(start));
    INJECT0(F_SendSoftTrigger);
    return with_camera(id, Need::Init, [&](Camera &c, Lock &) { return c.soft_trigger(start != 0); });
}

ORX_API int32_t ORX_CALL ORXSetTriggerOutputIOConf(int32_t id, int32_t pin, ORX_BOOL pin_high, int32_t delay,
                                                   int32_t duration) {
    LOG(F_SetTriggerOutputIOConf, I(id), I(pin), I(pin_high), I(delay), I(duration));
    INJECT0(F_SetTriggerOutputIOConf);
    return with_camera(id, Need::Open,
                       [&](Camera &c, Lock &) { return c.set_trigger_output(pin, pin_high != 0, delay, duration); });
}

ORX_API int32_t ORX_CALL ORXGetTriggerOutputIOConf(int32_t id, int32_t pin, ORX_BOOL *pin_high, int32_t *delay,
                                                   int32_t *duration) {
    LOG(F_GetTriggerOutputIOConf, I(id), I(pin), P(pin_high), P(delay), P(duration));
    INJECT(F_GetTriggerOutputIOConf, I32(pin_high), I32(delay), I32(duration));
    return with_camera(id, Need::Open,
                       [&](Camera &c, Lock &) { return c.get_trigger_output(pin, pin_high, delay, duration); });
}

ORX_API int32_t ORX_CALL ORXGPSGetData(int32_t id, GpsDataRecord *start_line, GpsDataRecord *end_line) {
    LOG(F_GPSGetData, I(id), P(start_line), P(end_line));
    INJECT(F_GPSGetData, REC(start_line), REC(end_line));
    return with_camera(id, Need::Open, [&](Camera &c, Lock &) { return c.gps_get_data(start_line, end_line); });
}

} // extern "C"
