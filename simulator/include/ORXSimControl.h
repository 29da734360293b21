/*
 * ORXSimControl.h - control interface of the stand-in ORXCamera2 library.
 *
 * Not part of ORXCamera2.h: the orx module never includes or calls this. It
 * lets tests, benchmarks and users (through the Python package `orxsim`)
 * configure the simulated cameras, script the library's answers and read a
 * log of the calls the library received. All functions are thread-safe.
 */
#ifndef ORXSIMCONTROL_H
#define ORXSIMCONTROL_H

#include <stdint.h>
#include "ORXCamera2.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the built-in cameras in their initial state (all closed, flash ids
 * kept), empty call log, no injections, time scale from ORXSIM_TIME_SCALE
 * (default 1.0), default sky. Added cameras are removed. Calls waiting on a
 * camera return ORX_ERROR_CAMERA_REMOVED. GPS stamps are re-aligned with the
 * system clock (simulated time then runs on from there). */
ORX_API void ORX_CALL ORXSimReset(void);

/* ---- scripted answers ----------------------------------------------------
 * For the next `count` calls of `function` (count -1: every call until
 * cleared) the library does not do its normal work: it writes `out` (if not
 * NULL) into the call's out-parameters in parameter order and returns
 * `status`.
 *   - out-parameters are the pointer arguments except frame buffers: int32
 *     slots take 4 bytes each, records their full size; a short `out` fills
 *     what it covers and leaves the rest untouched;
 *   - ORXGetNumOfConnectedCameras and ORXCameraCheck return `status` as
 *     their value; ORXGetSDKVersion returns `out` as its string (NUL added);
 *   - frame buffers are left untouched.
 * Injections for one function are queued: a later call consumes the oldest.
 * An injected ORXGetSDKVersion with `out` NULL returns a NULL pointer; a count
 * of 0 (or below -1) queues nothing.
 * Returns 0, or -1 when `function` is not one of the library's functions. */
ORX_API int ORX_CALL ORXSimInject(const char *function, int32_t status, int32_t count,
                                  const void *out, int32_t outlen);
ORX_API void ORX_CALL ORXSimClearInjections(void);

/* ---- call log --------------------------------------------------------------
 * Every library call is recorded, injected or not, as one line of text:
 *   Name(arg, arg, ...)
 * integers in decimal, pointers (out-parameters and buffers) as `*`, a NULL
 * pointer as `NULL`, byte data passed in (the dark frame path, the id record
 * passed by value) as x'hex'. The log keeps the newest 65536 lines. */
ORX_API int32_t ORX_CALL ORXSimLogCount(void);
/* Copies line `index` (0 = oldest kept) into buf with a NUL; returns the
 * line's length, or -1 for a bad index. A short buf gets a truncated line. */
ORX_API int32_t ORX_CALL ORXSimLogEntry(int32_t index, char *buf, int32_t buflen);
ORX_API void ORX_CALL ORXSimLogClear(void);
/* Total number of calls of `function` since the last reset (not limited by
 * the log's size); -1 for an unknown name. */
ORX_API int64_t ORX_CALL ORXSimCallCount(const char *function);

/* ---- time ------------------------------------------------------------------
 * Simulated seconds per wall-clock second is 1/scale: with scale 0.01 a 60 s
 * exposure completes in 0.6 s of wall time. Exposures, video frame intervals,
 * the cooler, guide drift and GPS stamps run on the simulated clock; the
 * wait_ms of ORXGetVideoData(GPS) is the caller's patience in wall-clock
 * milliseconds. Scales from 1e-4 (10,000x faster) to 1e4 (10,000x slower)
 * are accepted (returns 0); any other value, NaN included, is ignored
 * (returns -1). Simulated time counts nanoseconds from the library's load
 * and stops at 2^62 ns (146 years): at the fastest scale that takes more
 * than five days. */
ORX_API int32_t ORX_CALL ORXSimSetTimeScale(double scale);
ORX_API double ORX_CALL ORXSimGetTimeScale(void);
/* Simulated seconds since the library was loaded (continuous across scale
 * changes and resets). GPS stamps are UTC at scale 1: every change of scale
 * and reset re-anchors them to the system clock, from where they follow the
 * simulated clock. */
ORX_API double ORX_CALL ORXSimGetTime(void);
/* The run's seed. Without one (ORXSIM_SEED unset) every run draws its own at
 * load from fresh entropy, and the night follows UTC: noise, cosmic rays, air
 * and clouds differ from run to run, the mount has moved on. With one
 * (ORXSIM_SEED, an integer, read at load and at every reset; or
 * ORXSimSetSeed) they repeat: the night's clock starts at a fixed instant
 * (2026-12-07, the default pointing on the meridian) with the first exposure
 * after the seed was set, whenever the program gets there. ORXSimGetSeed
 * returns the seed in use and sets *seeded (if not NULL) to 1 when it was
 * given, 0 when drawn. */
ORX_API void ORX_CALL ORXSimSetSeed(uint64_t seed);
ORX_API uint64_t ORX_CALL ORXSimGetSeed(int32_t *seeded);

/* ---- environment -------------------------------------------------------------
 * The air temperature around every camera, degrees C, -50..50 (default 20,
 * restored by ORXSimReset); 0 or -1 when out of range. Sensors of uncooled
 * cameras run a few degrees above it; cooled ones relax toward it with the
 * cooler off and can be held at most their model's drop below it. */
ORX_API int32_t ORX_CALL ORXSimSetAmbient(double celsius);
ORX_API double ORX_CALL ORXSimGetAmbient(void);

/* ---- cameras ---------------------------------------------------------------*/
/* Ids of the cameras known to the simulator (plugged or not); returns the
 * number of cameras, writing at most `max` ids. */
ORX_API int32_t ORX_CALL ORXSimListCameras(int32_t *ids, int32_t max);
/* Adds a camera described by a JSON object; returns its id or -1.
 * Keys: "model" (a built-in model name to start from), "name", "width",
 * "height", "pixel_size", "color", "bayer", "bins", "formats" (ImgType
 * values), "bit_depth", "elec_per_adu", "cooler", "st4", "usb3", "trigger",
 * "gps", "shutter".
 * Built-in models, by full name or alias (any case): "ORX Sim C6200MC Pro"
 * (c6200mc, cooled, color, colour), "ORX Sim G120MM Mini" (g120mm, guide,
 * mono; the default base), "ORX Sim P290MC" (p290mc, planetary). Unknown keys,
 * wrong types and values out of range give -1: width a multiple of 8 and
 * height of 2 (up to 16384), bins 1..16 starting with 1, formats 0..3 with
 * RAW8 among them, bayer 0..3, bit_depth 8..16, name 1..63 bytes. Changing
 * "color" without "formats" gives RAW8/RGB24/RAW16/Y8 (colour) or RAW8/RAW16.
 * Built-in cameras have ids 1001, 1002, 1003; added ones take the next free
 * id from 1004 on, and start with an empty identifier flash. Strings are
 * JSON strings (UTF-8, every escape of the JSON standard, surrogate pairs
 * for characters beyond U+FFFF); a name holding a NUL is refused. */
ORX_API int32_t ORX_CALL ORXSimAddCamera(const char *json);
/* Why ORXSimAddCamera would refuse `json`: copies the reason (with a NUL,
 * truncated to why_len) into `why` and returns its length; 0 when the
 * description is acceptable. */
ORX_API int32_t ORX_CALL ORXSimCheckCamera(const char *json, char *why, int32_t why_len);
ORX_API int32_t ORX_CALL ORXSimRemoveCamera(int32_t camera_id);
/* Unplug: the camera disappears from the count and index list; waiting
 * calls on it return ORX_ERROR_CAMERA_REMOVED; later calls on its id answer
 * ORX_ERROR_CAMERA_REMOVED. Replug: it comes back closed. 0 or -1. */
ORX_API int32_t ORX_CALL ORXSimUnplug(int32_t camera_id);
ORX_API int32_t ORX_CALL ORXSimReplug(int32_t camera_id);

/* ---- sky ---------------------------------------------------------------------
 * star_density: stars per megapixel; seeing: FWHM in pixels; sky: sky
 * background in electrons per pixel per second; seed: star field seed. */
ORX_API int32_t ORX_CALL ORXSimSetSky(double star_density, double seeing, double sky,
                                      uint32_t seed);

/* ---- scene -------------------------------------------------------------------
 * One night shared by every camera of the process: a star sky on the celestial
 * sphere (the same for every run with the same seed), a mount carrying all the
 * cameras, and the air. On by default; with "enabled" 0, frames show the still
 * star field of ORXSimSetSky instead. Keys of ORXSimSetScene / ORXSimGetScene
 * (reset by ORXSimReset):
 *   "enabled"        0 or 1 (default 1)
 *   "ra", "dec"      mount pointing, degrees (150, 30)
 *   "pe_amplitude"   periodic error, arc-seconds of RA axis (4); on the sky
 *                    times cos(dec)
 *   "pe_period"      its period, seconds (480)
 *   "polar_drift"    declination drift from polar misalignment, arc-seconds
 *                    per minute (0.5)
 *   "guide_rate"     ST4 guide rate, fraction of sidereal (0.5): north raises
 *                    Dec, east raises RA, at rate x 15.041 arc-seconds/s
 *   "seeing"         FWHM, arc-seconds (2.5)
 *   "wander"         centroid wander from seeing, arc-seconds rms per axis (0.3)
 *   "wander_time"    its correlation time, seconds (0.3)
 *   "transparency"   0..1 (1); "clouds" 0 clear .. 1 overcast (0): passing
 *                    clouds dim the light by up to 95 % x clouds
 *   "sky_brightness" magnitudes per square arc-second (20.5)
 *   "gradient"       a light-pollution dome's rise of the background toward
 *                    the horizon, fraction per degree (0), on top of the
 *                    natural sky's rise with zenith distance
 *   "seed"           star sky seed, 0..2^32-1 (20261207)
 *   "latitude", "longitude"  the site, degrees, east positive (those GPS
 *                    reports: 47.3769, 8.5417): sidereal time, hour angle
 *                    and altitude of every frame follow from them
 * Set returns 0, or -1 for an unknown key or a value out of range (the
 * setting is then unchanged); get returns NaN for an unknown key. Every frame
 * integrates the motion during its exposure. */
ORX_API int32_t ORX_CALL ORXSimSetScene(const char *key, double value);
ORX_API double ORX_CALL ORXSimGetScene(const char *key);
/* Optics of one camera (by id): "focal_length" mm (500), "aperture" mm (100),
 * "rotation" degrees (0: north +y, east -x), "offset_ra" and "offset_dec" of
 * its centre from the mount's axis, arc-minutes (0), "focus" and
 * "best_focus" focuser steps (5000), "focus_step" micrometres per step (2),
 * "vignetting" (0.15: the light lost 21.6 mm from the axis, falling off as
 * the squared distance), "obstruction" (0: the central obstruction's share of
 * the aperture's diameter). -1 / NaN for an unknown camera or key, or a value
 * out of range. */
ORX_API int32_t ORX_CALL ORXSimSetOptics(int32_t camera_id, const char *key, double value);
ORX_API double ORX_CALL ORXSimGetOptics(int32_t camera_id, const char *key);
/* The world coordinate system (FITS, RA---TAN / DEC--TAN) of the camera's
 * newest frame made with the scene on, binning, region and flips included:
 * out[8] = CRVAL1, CRVAL2 (degrees), CRPIX1, CRPIX2 (1-based frame pixels),
 * CD1_1, CD1_2, CD2_1, CD2_2 (degrees per pixel). 0, or -1 before any such
 * frame. */
ORX_API int32_t ORX_CALL ORXSimGetWcs(int32_t camera_id, double *out);
/* Where the camera's newest frame (made with the scene on) looked from the
 * site at mid-exposure: out[4] = UTC (Unix seconds on the night's clock),
 * local sidereal time, hour angle and altitude of its centre (degrees).
 * 0, or -1 before any such frame. */
ORX_API int32_t ORX_CALL ORXSimGetFrameSky(int32_t camera_id, double *out);
/* Catalogue stars within radius degrees (up to 10) of (ra, dec) and brighter
 * than mag_limit: writes at most max (ra, dec, magnitude) triples into out
 * and returns how many it wrote, or max + 1 when there are more (the search
 * stops there: time and memory follow max, not the query); -1 for bad
 * arguments (max < 0 or above 2^31 - 2). */
ORX_API int32_t ORX_CALL ORXSimSkyStars(double ra, double dec, double radius, double mag_limit,
                                        double *out, int32_t max);
/* ---- measurement -------------------------------------------------------------
 * Runs `function` (one of "ORXGetControlValue", "ORXSetControlValue",
 * "ORXGetExpStatus") `iterations` times on camera_id with the library's
 * normal work and returns the mean nanoseconds per call. -1 on a bad name or
 * iterations < 1. The calls are the exported entry points themselves, so they
 * are logged and counted like any other; the value read and written is the
 * gain (ORXSetControlValue writes back the gain it found). */
ORX_API double ORX_CALL ORXSimTimeCall(const char *function, int32_t camera_id,
                                       int64_t iterations);

#ifdef __cplusplus
}
#endif
#endif /* ORXSIMCONTROL_H */
