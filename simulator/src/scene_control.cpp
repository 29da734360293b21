// scene_control.cpp - the ORXSim* functions of the scene (ORXSimControl.h).
#include "ORXSimControl.h"
#include "scene.hpp"

#include <cmath>

using namespace orxsim;

extern "C" {

ORX_API int32_t ORX_CALL ORXSimSetScene(const char *key, double value) {
    try {
        return scene_set(key, value);
    } catch (...) {
        return -1;
    }
}

ORX_API double ORX_CALL ORXSimGetScene(const char *key) {
    try {
        return scene_get(key);
    } catch (...) {
        return NAN;
    }
}

ORX_API int32_t ORX_CALL ORXSimSetOptics(int32_t camera_id, const char *key, double value) {
    try {
        return optics_set(camera_id, key, value);
    } catch (...) {
        return -1;
    }
}

ORX_API double ORX_CALL ORXSimGetOptics(int32_t camera_id, const char *key) {
    try {
        return optics_get(camera_id, key);
    } catch (...) {
        return NAN;
    }
}

ORX_API int32_t ORX_CALL ORXSimGetWcs(int32_t camera_id, double *out) {
    if (!out) return -1;
    try {
        Wcs w;
        if (!scene_wcs(camera_id, w)) return -1;
        const double v[8] = {w.crval[0], w.crval[1], w.crpix[0], w.crpix[1],
                             w.cd[0][0], w.cd[0][1], w.cd[1][0], w.cd[1][1]};
        for (int i = 0; i < 8; ++i) out[i] = v[i];
        return 0;
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimGetFrameSky(int32_t camera_id, double *out) {
    if (!out) return -1;
    try {
        FrameSky f;
        if (!scene_frame_sky(camera_id, f)) return -1;
        out[0] = f.utc;
        out[1] = f.lst_deg;
        out[2] = f.ha_deg;
        out[3] = f.alt_deg;
        return 0;
    } catch (...) {
        return -1;
    }
}

ORX_API int32_t ORX_CALL ORXSimSkyStars(double ra, double dec, double radius, double mag_limit, double *out,
                                        int32_t max) {
    try {
        return scene_catalog(ra, dec, radius, mag_limit, out, max);
    } catch (...) {
        return -1;
    }
}

} // extern "C"
