// control.cpp - the ORXSim* control interface (ORXSimControl.h).
#include "ORXSimControl.h"
#include "internal.hpp"
#include "night.hpp"
#include "scene.hpp"

#include <algorithm>
#include <cstring>

using namespace orxsim;

extern "C" {

ORX_API void ORX_CALL ORXSimReset(void) {
    try {
        inject_clear();
        set_ambient(kDefaultAmbientC);
        registry_reset();
        reset_clock_from_env();
        night::reset_run_seed();
        reset_sky();
        scene_reset();
        log_reset();
    } catch (...) {
    }
}

ORX_API int ORX_CALL ORXSimInject(const char *function, int32_t status, int32_t count, const void *out,
                                  int32_t outlen) {
    try {
        return inject_add(function, status, count, out, outlen);
    } catch (...) {
        return -1;
    }
}

ORX_API void ORX_CALL ORXSimClearInjections(void) { inject_clear(); }

ORX_API void ORX_CALL ORXSimSetSeed(uint64_t seed) { night::set_run_seed(seed); }

ORX_API uint64_t ORX_CALL ORXSimGetSeed(int32_t *seeded) {
    if (seeded) *seeded = night::seeded() ? 1 : 0;
    return night::run_seed();
}

ORX_API int32_t ORX_CALL ORXSimLogCount(void) { return log_count(); }

ORX_API int32_t ORX_CALL ORXSimLogEntry(int32_t index, char *buf, int32_t buflen) {
    try {
        return log_entry(index, buf, buflen);
    } catch (...) {
        return -1;
    }
}

ORX_API void ORX_CALL ORXSimLogClear(void) { log_clear(); }

ORX_API int64_t ORX_CALL ORXSimCallCount(const char *function) { return call_count(fn_lookup(function)); }

ORX_API int32_t ORX_CALL ORXSimSetTimeScale(double scale) { return set_time_scale(scale) ? 0 : -1; }

ORX_API double ORX_CALL ORXSimGetTime(void) { return (double)sim_now_ns() * 1e-9; }

ORX_API int32_t ORX_CALL ORXSimSetAmbient(double celsius) {
    try {
        return set_ambient(celsius);
    } catch (...) {
        return -1;
    }
}

ORX_API double ORX_CALL ORXSimGetAmbient(void) { return ambient_c(); }

ORX_API double ORX_CALL ORXSimGetTimeScale(void) { return time_scale(); }

ORX_API int32_t ORX_CALL ORXSimListCameras(int32_t *ids, int32_t max) { return registry_list(ids, max); }

ORX_API int32_t ORX_CALL ORXSimAddCamera(const char *json) {
    try {
        Model m;
        std::string why;
        if (!model_from_json(json, m, why)) return -1;
        return registry_add(std::move(m));
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimCheckCamera(const char *json, char *why, int32_t why_len) {
    try {
        Model m;
        std::string reason;
        if (model_from_json(json, m, reason)) reason.clear();
        if (why && why_len > 0) {
            const size_t n = std::min(reason.size(), (size_t)why_len - 1);
            std::memcpy(why, reason.data(), n);
            why[n] = 0;
        }
        return (int32_t)reason.size();
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimRemoveCamera(int32_t camera_id) {
    try {
        return registry_remove(camera_id);
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimUnplug(int32_t camera_id) {
    try {
        return registry_unplug(camera_id);
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimReplug(int32_t camera_id) {
    try {
        return registry_replug(camera_id);
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimSetSky(double star_density, double seeing, double sky, uint32_t seed) {
    return set_sky(star_density, seeing, sky, seed);
}

ORX_API double ORX_CALL ORXSimTimeCall(const char *function, int32_t camera_id, int64_t iterations) {
    if (!function || iterations <= 0) return -1.0;
    enum { GetCtl, SetCtl, ExpStatus } which;
    if (std::strcmp(function, "ORXGetControlValue") == 0) which = GetCtl;
    else if (std::strcmp(function, "ORXSetControlValue") == 0) which = SetCtl;
    else if (std::strcmp(function, "ORXGetExpStatus") == 0) which = ExpStatus;
    else return -1.0;
    int32_t value = 0;
    ORX_BOOL is_auto = 0;
    ORXGetControlValue(camera_id, ORX_CTL_GAIN, &value, &is_auto); // set writes back what is there
    volatile int32_t sink = 0;
    const auto t0 = std::chrono::steady_clock::now();
    switch (which) {
    case GetCtl:
        for (int64_t i = 0; i < iterations; ++i) sink = sink + ORXGetControlValue(camera_id, ORX_CTL_GAIN, &value, &is_auto);
        break;
    case SetCtl:
        for (int64_t i = 0; i < iterations; ++i) sink = sink + ORXSetControlValue(camera_id, ORX_CTL_GAIN, value, is_auto);
        break;
    case ExpStatus:
        for (int64_t i = 0; i < iterations; ++i) sink = sink + ORXGetExpStatus(camera_id, &value);
        break;
    }
    const auto t1 = std::chrono::steady_clock::now();
    (void)sink;
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count() / (double)iterations;
}

} // extern "C"
