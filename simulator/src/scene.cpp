// scene.cpp - sky, mount and atmosphere shared by all cameras (scene.hpp).
#include "scene.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "internal.hpp"
#include "sensor_kernels.hpp"
#include "sky_catalog.hpp"

namespace orxsim {

namespace {

constexpr double kSiderealArcsecPerS = 15.041;
// electrons per second per cm^2 of aperture from a magnitude-0 star, over a
// broad clear band with the sensor's efficiency
constexpr double kMag0PerCm2 = 1.0e6;
constexpr int kMaxSteps = 64;        // sub-steps of an exposure
constexpr size_t kMaxParts = 512;    // images per star: sub-steps x ring points
constexpr double kStepPx = 0.5;      // largest move between sub-steps
constexpr size_t kMaxKnots = 1 << 16;

struct Settings {
    double enabled = 1;
    double ra = 150.0, dec = 30.0;        // degrees
    double pe_amplitude = 4.0;            // arc-seconds of RA axis
    double pe_period = 480.0;             // seconds
    double polar_drift = 0.5;             // arc-seconds per minute in Dec
    double guide_rate = 0.5;              // of sidereal
    double seeing = 2.5;                  // FWHM, arc-seconds
    double wander = 0.3;                  // centroid wander, arc-seconds rms per axis
    double wander_time = 0.3;             // its correlation time, seconds
    double transparency = 1.0;
    double clouds = 0.0;
    double sky_brightness = 20.5;         // magnitudes per square arc-second
    double gradient = 0.1;                // brighter toward the horizon (south), per degree
    double seed = 20261207;
};

// a setting by name, with its accepted range
template <class T>
struct Key {
    const char *name;
    double T::*field;
    double lo, hi;
};

template <class T, size_t N>
const Key<T> *find_key(const Key<T> (&keys)[N], const char *name)
{
    for (const Key<T> &k : keys)
        if (name && std::strcmp(k.name, name) == 0)
            return &k;
    return nullptr;
}

const Key<Settings> kKeys[] = {
    {"enabled", &Settings::enabled, 0, 1},
    {"ra", &Settings::ra, 0, 360},
    {"dec", &Settings::dec, -90, 90},
    {"pe_amplitude", &Settings::pe_amplitude, 0, 3600},
    {"pe_period", &Settings::pe_period, 1, 1e6},
    {"polar_drift", &Settings::polar_drift, -3600, 3600},
    {"guide_rate", &Settings::guide_rate, 0.01, 10},
    {"seeing", &Settings::seeing, 0.1, 60},
    {"wander", &Settings::wander, 0, 60},
    {"wander_time", &Settings::wander_time, 0.001, 3600},
    {"transparency", &Settings::transparency, 0, 1},
    {"clouds", &Settings::clouds, 0, 1},
    {"sky_brightness", &Settings::sky_brightness, 10, 25},
    {"gradient", &Settings::gradient, 0, 10},
    {"seed", &Settings::seed, 0, 4294967295.0},
};

const Key<Optics> kOpticsKeys[] = {
    {"focal_length", &Optics::focal_mm, 10, 100000},
    {"aperture", &Optics::aperture_mm, 1, 10000},
    {"rotation", &Optics::rotation_deg, -360, 360},
    {"offset_ra", &Optics::offset_ra_arcmin, -600, 600},
    {"offset_dec", &Optics::offset_dec_arcmin, -600, 600},
    {"focus", &Optics::focus, -1e7, 1e7},
    {"best_focus", &Optics::best_focus, -1e7, 1e7},
    {"focus_step", &Optics::focus_step_um, 0.001, 1000},
    {"vignetting", &Optics::vignetting, 0, 0.95},
};

// guide motion: position (arc-seconds of RA axis and Dec) at t, and velocity
struct Knot {
    int64_t t;
    double ra, dec, vra, vdec;
};

struct State {
    std::mutex mu;
    Settings set;
    int64_t t0 = 0;                       // origin of the periodic error and the drift
    std::vector<Knot> knots;              // in time order
    std::map<int32_t, unsigned> masks;    // pulses held, per camera
    std::map<int32_t, Optics> optics;
    std::map<int32_t, Wcs> wcs;
};

// immortal: producer threads may render while the process exits
State &state()
{
    static State *s = new State;
    return *s;
}

bool valid(double v, double lo, double hi) { return v >= lo && v <= hi; }

void guide_at(const State &s, int64_t t, double &ra, double &dec)
{
    ra = dec = 0;
    if (s.knots.empty())
        return;
    auto it = std::upper_bound(s.knots.begin(), s.knots.end(), t, [](int64_t v, const Knot &k) { return v < k.t; });
    if (it == s.knots.begin()) {
        ra = it->ra;
        dec = it->dec;
        return;
    }
    const Knot &k = *(it - 1);
    const double dt = double(t - k.t) * 1e-9;
    ra = k.ra + k.vra * dt;
    dec = k.dec + k.vdec * dt;
}

// a new knot at now with the velocity of the pulses held now
void reknot(State &s, int64_t now)
{
    if (!s.knots.empty())
        now = std::max(now, s.knots.back().t);
    double ra, dec;
    guide_at(s, now, ra, dec);
    unsigned m = 0;
    for (const auto &kv : s.masks)
        m |= kv.second;
    auto bit = [&](int d) { return (m >> d) & 1u ? 1.0 : 0.0; };
    const double v = s.set.guide_rate * kSiderealArcsecPerS;
    if (s.knots.size() >= kMaxKnots)
        s.knots.erase(s.knots.begin(), s.knots.begin() + kMaxKnots / 2);
    s.knots.push_back({now, ra, dec, v * (bit(ORX_GUIDE_EAST) - bit(ORX_GUIDE_WEST)),
                       v * (bit(ORX_GUIDE_NORTH) - bit(ORX_GUIDE_SOUTH))});
}

// the mount's error at t: arc-seconds of RA axis and of Dec
void mount_at(const State &s, int64_t t, double &ra, double &dec)
{
    guide_at(s, t, ra, dec);
    const double since = double(t - s.t0) * 1e-9;
    ra += s.set.pe_amplitude * std::sin(2.0 * sky::kPi * since / s.set.pe_period);
    dec += s.set.polar_drift / 60.0 * since;
}

// centroid wander of one camera's stars, arc-seconds: a few incommensurate
// sinusoids around 1 / (2 pi wander_time) with phases of the camera's own
double wander(const Settings &set, int32_t camera_id, int axis, double t)
{
    if (!(set.wander > 0))
        return 0;
    static const double kFreq[4] = {0.45, 0.8, 1.3, 2.1};
    double sum = 0;
    uint64_t h = kern::mix64(uint64_t(uint32_t(camera_id)) * 2 + uint64_t(axis) + 0x3A9D5ull);
    for (double f : kFreq) {
        h = kern::mix64(h);
        const double phase = double(h >> 11) * (2.0 * sky::kPi / 9007199254740992.0);
        sum += std::sin(f / set.wander_time * t + phase);
    }
    return sum * set.wander / std::sqrt(2.0);
}

// share of the light let through at t
double transparency(const Settings &set, double t)
{
    const double g = (std::sin(2 * sky::kPi * t / 173.0) + std::sin(2 * sky::kPi * t / 419.0 + 1.3) +
                      std::sin(2 * sky::kPi * t / 61.0 + 2.1)) / 3.0;
    const double thick = std::max(0.0, std::min(1.0, 0.5 + g));
    return set.transparency * (1.0 - 0.95 * set.clouds * thick);
}

// the camera's centre on the sky for a mount error (radians)
void camera_centre(const Settings &set, const Optics &o, double ra_err, double dec_err, double &ra, double &dec)
{
    const double mra = set.ra * sky::kDeg + ra_err * sky::kArcsec;
    const double mdec = std::max(-sky::kPi / 2, std::min(sky::kPi / 2, set.dec * sky::kDeg + dec_err * sky::kArcsec));
    sky::deproject(mra, mdec, o.offset_ra_arcmin * 60 * sky::kArcsec, o.offset_dec_arcmin * 60 * sky::kArcsec, ra, dec);
}

} // namespace

void scene_frame(int32_t camera_id, int64_t t0_ns, int64_t t1_ns, FrameRequest &req)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    if (!(s.set.enabled > 0) || !req.model)
        return;
    const SensorModel &sm = *req.model;
    auto oi = s.optics.find(camera_id);
    const Optics o = oi == s.optics.end() ? Optics{} : oi->second;
    const Settings &set = s.set;
    if (t1_ns < t0_ns)
        t1_ns = t0_ns;
    const double pixel_um = sm.pixel_size_um > 0 ? sm.pixel_size_um : 3.76;
    double cd[2][2];
    sensor_cd(o, pixel_um, cd);
    SkyView::Setup v;
    v.seed = uint32_t(set.seed);
    v.scale_rad = plate_scale_deg(o, pixel_um) * sky::kDeg;
    {
        const double a = cd[0][0] * sky::kDeg, b = cd[0][1] * sky::kDeg, c = cd[1][0] * sky::kDeg,
                     d = cd[1][1] * sky::kDeg, det = a * d - b * c;
        v.cd_inv[0][0] = d / det;
        v.cd_inv[0][1] = -b / det;
        v.cd_inv[1][0] = -c / det;
        v.cd_inv[1][1] = a / det;
    }
    v.cx = 0.5 * sm.width;
    v.cy = 0.5 * sm.height;
    v.vignetting = o.vignetting;
    v.half_diag2 = v.cx * v.cx + v.cy * v.cy;

    // the mount's and the air's error along the exposure, n sub-steps
    std::vector<double> era, edec, wx, wy;
    auto sample = [&](int n) {
        era.resize(size_t(n));
        edec.resize(size_t(n));
        wx.resize(size_t(n));
        wy.resize(size_t(n));
        for (int k = 0; k < n; ++k) {
            const int64_t t = t0_ns + int64_t((double(t1_ns - t0_ns) * (k + 0.5)) / n);
            mount_at(s, t, era[size_t(k)], edec[size_t(k)]);
            const double ts = double(t) * 1e-9;
            wx[size_t(k)] = wander(set, camera_id, 0, ts) * sky::kArcsec;
            wy[size_t(k)] = wander(set, camera_id, 1, ts) * sky::kArcsec;
        }
    };
    // where the frame's centre is on the sky for each sub-step, in pixels of
    // the mean place
    double ra_c = 0, dec_c = 0;
    auto place = [&](std::vector<double> &px, std::vector<double> &py) {
        const size_t n = era.size();
        double mra = 0, mdec = 0;
        for (size_t k = 0; k < n; ++k) {
            mra += era[k] / double(n);
            mdec += edec[k] / double(n);
        }
        camera_centre(set, o, mra, mdec, ra_c, dec_c);
        px.resize(n);
        py.resize(n);
        for (size_t k = 0; k < n; ++k) {
            double ra, dec, xi = 0, eta = 0;
            camera_centre(set, o, era[k], edec[k], ra, dec);
            sky::project(ra_c, dec_c, ra, dec, xi, eta);
            xi += wx[k];
            eta += wy[k];
            // the stars move opposite to the pointing
            px[k] = -(v.cd_inv[0][0] * xi + v.cd_inv[0][1] * eta);
            py[k] = -(v.cd_inv[1][0] * xi + v.cd_inv[1][1] * eta);
        }
    };
    sample(kMaxSteps);
    std::vector<double> px, py;
    place(px, py);
    double path = 0;
    for (size_t k = 1; k < px.size(); ++k)
        path += std::hypot(px[k] - px[k - 1], py[k] - py[k - 1]);

    // focus: the blur circle of the converging beam
    const double fwhm_seeing = set.seeing * sky::kArcsec / v.scale_rad;
    const double f_ratio = o.focal_mm / o.aperture_mm;
    const double blur = std::fabs(o.focus - o.best_focus) * o.focus_step_um / f_ratio / pixel_um;
    double fwhm = fwhm_seeing;
    size_t ring_n = 1;
    if (blur <= 1.5 * fwhm_seeing) {
        fwhm = std::hypot(fwhm_seeing, 0.8 * blur);
    } else {
        const double r = 0.5 * (blur - fwhm_seeing);
        ring_n = size_t(std::max(8.0, std::min(64.0, std::ceil(2 * sky::kPi * r / (0.5 * fwhm_seeing)))));
        for (size_t i = 0; i < ring_n; ++i) {
            const double a = 2 * sky::kPi * double(i) / double(ring_n);
            v.ring_x.push_back(r * std::cos(a));
            v.ring_y.push_back(r * std::sin(a));
        }
    }
    const int steps_max = int(std::max<size_t>(1, kMaxParts / ring_n));
    int steps = path < 0.1 ? 1 : int(std::ceil(path / kStepPx)) + 1;
    steps = std::min({steps, steps_max, kMaxSteps});
    if (steps != kMaxSteps) {
        sample(steps);
        place(px, py);
    }
    double mx = 0, my = 0;
    for (size_t k = 0; k < px.size(); ++k) {
        mx += px[k] / double(px.size());
        my += py[k] / double(py.size());
    }
    v.path_x = px;
    v.path_y = py;
    v.ra = ra_c;
    v.dec = dec_c;

    const double mid = double(t0_ns / 2 + t1_ns / 2) * 1e-9;
    const double through = transparency(set, mid);
    const double area_cm2 = sky::kPi * 0.25 * o.aperture_mm * o.aperture_mm * 1e-2;
    v.mag0_e = kMag0PerCm2 * area_cm2 * through;
    const double pix_arcsec = v.scale_rad / sky::kArcsec;
    req.sky.sky_e_per_s = v.mag0_e * std::pow(10.0, -0.4 * set.sky_brightness) * pix_arcsec * pix_arcsec;
    req.sky.seeing_fwhm = fwhm;
    // toward the horizon: south on the sky, in pixels through the CD matrix
    {
        const double sx = -v.cd_inv[0][1], sy = -v.cd_inv[1][1], len = std::hypot(sx, sy);
        const double per_px = set.gradient * plate_scale_deg(o, pixel_um);
        req.sky.grad_x = per_px * sx / len;
        req.sky.grad_y = per_px * sy / len;
    }
    req.sky.vignetting = o.vignetting;
    req.drift_x = req.drift_y = 0;
    auto view = std::make_shared<SkyView>(std::move(v));
    req.stars = view.get();
    req.stars_keep = std::move(view);

    Wcs w;
    w.crval[0] = ra_c / sky::kDeg;
    w.crval[1] = dec_c / sky::kDeg;
    w.crpix[0] = 0.5 * sm.width + 0.5 + mx;
    w.crpix[1] = 0.5 * sm.height + 0.5 + my;
    std::memcpy(w.cd, cd, sizeof cd);
    s.wcs[camera_id] = frame_wcs(w, req.start_x, req.start_y, req.width, req.height, req.bin, req.flip);
}

void scene_guide(int32_t camera_id, int32_t direction, bool on, int64_t now_ns)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    unsigned &m = s.masks[camera_id];
    if (on)
        m |= 1u << direction;
    else
        m &= ~(1u << direction);
    reknot(s, now_ns);
}

void scene_guide_release(int32_t camera_id, int64_t now_ns)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.masks.find(camera_id);
    if (it == s.masks.end() || it->second == 0)
        return;
    it->second = 0;
    reknot(s, now_ns);
}

void scene_reset()
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.set = Settings{};
    s.t0 = sim_now_ns();
    s.knots.clear();
    s.masks.clear();
    s.optics.clear();
    s.wcs.clear();
}

int32_t scene_set(const char *key, double value)
{
    const Key<Settings> *k = find_key(kKeys, key);
    if (!k || !valid(value, k->lo, k->hi) || (k->field == &Settings::seed && value != std::floor(value)))
        return -1;
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.set.*k->field = value;
    if (k->field == &Settings::guide_rate)
        reknot(s, sim_now_ns()); // pulses held go on at the new rate
    return 0;
}

double scene_get(const char *key)
{
    const Key<Settings> *k = find_key(kKeys, key);
    if (!k)
        return NAN;
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    return s.set.*k->field;
}

int32_t optics_set(int32_t camera_id, const char *key, double value)
{
    const Key<Optics> *k = find_key(kOpticsKeys, key);
    if (!k || !find_camera(camera_id) || !valid(value, k->lo, k->hi))
        return -1;
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.optics.find(camera_id);
    Optics o = it == s.optics.end() ? Optics{} : it->second;
    o.*k->field = value;
    if (!(o.focal_mm / o.aperture_mm >= 0.5))
        return -1; // faster than f/0.5: no such telescope
    s.optics[camera_id] = o;
    return 0;
}

double optics_get(int32_t camera_id, const char *key)
{
    const Key<Optics> *k = find_key(kOpticsKeys, key);
    if (!k || !find_camera(camera_id))
        return NAN;
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.optics.find(camera_id);
    return it == s.optics.end() ? Optics{}.*k->field : it->second.*k->field;
}

bool scene_wcs(int32_t camera_id, Wcs &out)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = s.wcs.find(camera_id);
    if (it == s.wcs.end())
        return false;
    out = it->second;
    return true;
}

int32_t scene_catalog(double ra_deg, double dec_deg, double radius_deg, double mag_limit, double *out, int32_t max)
{
    if (!valid(ra_deg, -360, 720) || !valid(dec_deg, -90, 90) || !valid(radius_deg, 0, 10) || max < 0 ||
        (max > 0 && !out) || !std::isfinite(mag_limit))
        return -1;
    uint32_t seed;
    {
        State &s = state();
        std::lock_guard<std::mutex> g(s.mu);
        seed = uint32_t(s.set.seed);
    }
    std::vector<sky::CatStar> cat;
    sky::stars_near(seed, ra_deg * sky::kDeg, dec_deg * sky::kDeg, radius_deg * sky::kDeg, mag_limit, cat);
    for (size_t i = 0; i < cat.size() && i < size_t(max); ++i) {
        out[3 * i] = cat[i].ra / sky::kDeg;
        out[3 * i + 1] = cat[i].dec / sky::kDeg;
        out[3 * i + 2] = cat[i].mag;
    }
    return int32_t(std::min<size_t>(cat.size(), INT32_MAX));
}

} // namespace orxsim
