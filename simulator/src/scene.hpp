// scene.hpp - the night every simulated camera of the process looks at: one
// star sky, one mount carrying all the cameras, one atmosphere.
//
// The scene is on by default (off: the still, seeded star field of the
// sensor's own plane); each camera sees the sky through its own optics
// (optics.hpp) and the mount moves all of them together:
//   - tracking with periodic error: the RA axis runs ahead and behind by
//     pe_amplitude arc-seconds with period pe_period (on the sky times
//     cos(dec));
//   - polar-alignment drift: polar_drift arc-seconds per minute in Dec;
//   - ST4 guide pulses from any camera: guide_rate times sidereal
//     (15.041"/s of RA axis, 15.041"/s in Dec); north raises Dec, east
//     raises RA (the stars move the other way);
//   - seeing: stars of seeing FWHM (arc-seconds) whose centroids wander by
//     wander arc-seconds rms per axis, with correlation time wander_time;
//   - transparency: a factor on all light, dipped by passing clouds
//     (clouds: 0 clear .. 1 overcast);
//   - sky brightness in magnitudes per square arc-second, brighter by
//     gradient (a fraction) toward one side of every frame.
// The motion during an exposure is integrated in sub-steps, so drift,
// periodic error and pulses leave trails.
#pragma once

#include <cstdint>
#include <memory>

#include "optics.hpp"
#include "sensor.hpp"

namespace orxsim {

// Called when a camera's frame is fixed: exposure [t0_ns, t1_ns] of camera
// `camera_id` with the request's region. With the scene on it points
// req.stars at the camera's view of the sky (kept alive by req.stars_keep),
// sets the seeing and sky background in pixels, clears the pixel drift, and
// records the frame's WCS; with it off it leaves req alone.
void scene_frame(int32_t camera_id, int64_t t0_ns, int64_t t1_ns, FrameRequest &req);

// A camera's ST4 port: direction 0..3 (ORX_GUIDE_*) on or off.
void scene_guide(int32_t camera_id, int32_t direction, bool on, int64_t now_ns);
// All of a camera's pulses off (close, unplug).
void scene_guide_release(int32_t camera_id, int64_t now_ns);

// Back to the defaults: scene on, a fresh mount, default optics.
void scene_reset();

// Control interface by key (see ORXSimControl.h); -1 / NaN for an unknown
// key, an unknown camera or a value out of range.
int32_t scene_set(const char *key, double value);
double scene_get(const char *key);
int32_t optics_set(int32_t camera_id, const char *key, double value);
double optics_get(int32_t camera_id, const char *key);
// The WCS of the camera's newest frame; false before any frame with the scene on.
bool scene_wcs(int32_t camera_id, Wcs &out);
// Where the camera's newest frame looked from the site, at mid-exposure.
struct FrameSky {
    double utc = 0;      // Unix seconds on the night's clock
    double lst_deg = 0, ha_deg = 0, alt_deg = 0;
};
bool scene_frame_sky(int32_t camera_id, FrameSky &out);
// The site (degrees) that GPS reports.
void scene_site(double &lat_deg, double &lon_deg);

// Catalogue stars (ra, dec degrees, magnitude) within radius degrees.
int32_t scene_catalog(double ra_deg, double dec_deg, double radius_deg, double mag_limit, double *out,
                      int32_t max);

} // namespace orxsim
