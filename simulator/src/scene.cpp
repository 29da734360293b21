// scene.cpp - sky, mount and atmosphere shared by all cameras (scene.hpp).
#include "scene.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "air.hpp"
#include "internal.hpp"
#include "night.hpp"
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
constexpr size_t kMaxPupil = 384;    // points of an out-of-focus pupil
constexpr size_t kMaxKnots = 1 << 16;
constexpr double kLambdaMm = 550e-6;  // the band's middle
constexpr double kVignetteMm = 21.63; // vignetting is given at this focal-plane radius (a 36x24 mm corner)

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
    double gradient = 0.0;                // light-pollution dome: brighter toward the horizon, per degree
    double seed = 20261207;
    double latitude = kGpsLatitude, longitude = kGpsLongitude; // the site, degrees (east +)
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
    {"latitude", &Settings::latitude, -90, 90},
    {"longitude", &Settings::longitude, -180, 180},
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
    {"obstruction", &Optics::obstruction, 0, 0.9},
};

// guide motion: position (arc-seconds of RA axis and Dec) at t, and velocity
struct Knot {
    int64_t t;
    double ra, dec, vra, vdec;
};

struct State {
    std::mutex mu;
    Settings set;
    std::vector<Knot> knots;              // in time order
    std::map<int32_t, unsigned> masks;    // pulses held, per camera
    std::map<int32_t, Optics> optics;
    std::map<int32_t, Wcs> wcs;
    std::map<int32_t, FrameSky> sights;
    // the polar drift accumulated when its rate was last set, and when (night seconds)
    double drift_base = 0, drift_from = 0;
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
    // the worm turns with the night's clock, so a later run finds it elsewhere
    const double worm = std::fmod(night::utc_s(t), s.set.pe_period);
    ra += s.set.pe_amplitude * std::sin(2.0 * sky::kPi * worm / s.set.pe_period);
    dec += s.drift_base + s.set.polar_drift / 60.0 * (night::since_start_s(t) - s.drift_from);
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
    // vignetting is set in the focal plane, at kVignetteMm from the axis
    {
        const double half_diag_mm = 0.5e-3 * pixel_um * std::hypot(double(sm.width), double(sm.height));
        v.vignetting = std::min(1.0, o.vignetting * (half_diag_mm / kVignetteMm) * (half_diag_mm / kVignetteMm));
    }
    v.half_diag2 = v.cx * v.cx + v.cy * v.cy;

    // the mount's and the air's error along the exposure, n sub-steps
    std::vector<double> era, edec, wx, wy, tt;
    // the air's time counts from a recent origin (its phases are random anyway): small
    // arguments keep its sines fast and exact
    const double air_t0 = std::floor(night::utc_s(t0_ns) / 1e6) * 1e6;
    auto sample = [&](int n) {
        tt.resize(size_t(n));
        era.resize(size_t(n));
        edec.resize(size_t(n));
        wx.resize(size_t(n));
        wy.resize(size_t(n));
        for (int k = 0; k < n; ++k) {
            const int64_t t = t0_ns + int64_t((double(t1_ns - t0_ns) * (k + 0.5)) / n);
            mount_at(s, t, era[size_t(k)], edec[size_t(k)]);
            const double ts = night::utc_s(t) - air_t0;
            tt[size_t(k)] = ts;
            wx[size_t(k)] = air::wander(set.wander, set.wander_time, camera_id, 0, ts) * sky::kArcsec;
            wy[size_t(k)] = air::wander(set.wander, set.wander_time, camera_id, 1, ts) * sky::kArcsec;
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
    auto length = [](const std::vector<double> &x, const std::vector<double> &y) {
        double len = 0;
        for (size_t k = 1; k < x.size(); ++k)
            len += std::hypot(x[k] - x[k - 1], y[k] - y[k - 1]);
        return len;
    };
    const double path = length(px, py);

    // focus: the blur circle of the converging beam
    const double fwhm_seeing = set.seeing * sky::kArcsec / v.scale_rad;
    const double f_ratio = o.focal_mm / o.aperture_mm;
    const double blur = std::fabs(o.focus - o.best_focus) * o.focus_step_um / f_ratio / pixel_um;
    // diffraction: the Airy disc's FWHM of 1.03 lambda / D, added to the seeing in quadrature
    const double airy = 1.03 * kLambdaMm / o.aperture_mm / v.scale_rad;
    double fwhm = std::hypot(fwhm_seeing, airy);
    size_t ring_n = 1;
    if (blur <= 1.5 * fwhm_seeing) {
        fwhm = std::hypot(fwhm, 0.8 * blur);
    } else {
        // the out-of-focus pupil: a disc, less the secondary's shadow, filled
        // with points evenly over its area (at most kMaxPupil); a spacing wider
        // than half the seeing widens every point so that they merge
        const double r_out = 0.5 * blur, r_in = o.obstruction * r_out;
        const double area = sky::kPi * (r_out * r_out - r_in * r_in);
        const double d = std::max(0.5 * fwhm, std::sqrt(area / double(kMaxPupil)));
        const int rings = std::max(1, int(std::ceil((r_out - r_in) / d)));
        const double dr = (r_out - r_in) / rings;
        for (int j = 0; j < rings; ++j) {
            const double r = r_in + (j + 0.5) * dr;
            const int n = std::max(3, int(std::lround(2 * sky::kPi * r * dr / (d * d))));
            const double turn = 0.5 * j; // stagger the rings
            for (int i = 0; i < n; ++i) {
                const double a = 2 * sky::kPi * (i + turn) / n;
                v.ring_x.push_back(r * std::cos(a));
                v.ring_y.push_back(r * std::sin(a));
                v.ring_w.push_back(r * dr / double(n)); // the area each point stands for
            }
        }
        ring_n = v.ring_x.size();
        if (d > 0.5 * fwhm)
            fwhm = std::hypot(fwhm, 1.2 * d);
    }
    // the path: evenly in time while it is short; when long, images spaced
    // evenly along it, each weighted by the time spent there, so that a long
    // trail stays continuous
    const size_t images_max = std::max<size_t>(1, kMaxParts / ring_n);
    std::vector<double> pw;
    if (path < 0.1) {
        sample(1);
        place(px, py);
    } else if (path <= kStepPx * double(std::min<size_t>(images_max, kMaxSteps))) {
        sample(int(std::min<double>(double(kMaxSteps), std::ceil(path / kStepPx) + 1)));
        place(px, py);
    } else {
        const int fine = int(std::min(4096.0, std::max(256.0, std::ceil(4 * path / kStepPx))));
        sample(fine);
        std::vector<double> fx, fy;
        place(fx, fy);
        const double step = std::max(kStepPx, length(fx, fy) / double(images_max));
        px.clear();
        py.clear();
        std::vector<double> ft = tt;
        tt.clear();
        double sx = 0, sy = 0, sw = 0, st = 0, run = 0;
        for (size_t k = 0; k < fx.size(); ++k) {
            if (k > 0)
                run += std::hypot(fx[k] - fx[k - 1], fy[k] - fy[k - 1]);
            sx += fx[k];
            sy += fy[k];
            st += ft[k];
            sw += 1;
            if (run >= step || k + 1 == fx.size()) {
                px.push_back(sx / sw);
                py.push_back(sy / sw);
                tt.push_back(st / sw);
                pw.push_back(sw / double(fx.size()));
                sx = sy = sw = st = run = 0;
            }
        }
    }
    if (pw.empty())
        pw.assign(px.size(), 1.0 / double(px.size()));
    double mx = 0, my = 0;
    for (size_t k = 0; k < px.size(); ++k) {
        mx += px[k] * pw[k];
        my += py[k] * pw[k];
    }
    v.path_x = px;
    v.path_y = py;
    v.path_w = pw;
    v.path_t = tt;
    v.t_mid = 0.5 * (night::utc_s(t0_ns) + night::utc_s(t1_ns)) - air_t0;
    air::field_tilt(set.wander, set.wander_time, camera_id, v);
    v.ra = ra_c;
    v.dec = dec_c;

    const double ut0 = night::utc_s(t0_ns), ut1 = night::utc_s(t1_ns);
    const air::Light light = air::over(set.clouds, set.transparency, set.sky_brightness, ut0, ut1);
    const double area_cm2 = sky::kPi * 0.25 * o.aperture_mm * o.aperture_mm * 1e-2;
    const double mag0_clear = kMag0PerCm2 * area_cm2;
    v.mag0_e = mag0_clear * light.through;
    const double pix_arcsec = v.scale_rad / sky::kArcsec;
    req.sky.sky_e_per_s = mag0_clear * light.sky * std::pow(10.0, -0.4 * set.sky_brightness) * pix_arcsec * pix_arcsec;
    req.sky.seeing_fwhm = fwhm;

    // where the frame looks from the site at mid-exposure
    const double lst = night::local_sidereal(0.5 * (ut0 + ut1), set.longitude * sky::kDeg);
    const double lat = set.latitude * sky::kDeg;
    const double alt = night::altitude(ra_c, dec_c, lst, lat);
    {
        // the background rises toward the horizon: along the fall of altitude
        // across the frame, by the airglow's rise with zenith distance and the
        // light-pollution dome's (gradient, per degree)
        const double e = 1e-4;
        double ra1, dec1, ra2, dec2;
        sky::deproject(ra_c, dec_c, e, 0, ra1, dec1);
        sky::deproject(ra_c, dec_c, 0, e, ra2, dec2);
        const double da_dxi = (night::altitude(ra1, dec1, lst, lat) - alt) / e;
        const double da_deta = (night::altitude(ra2, dec2, lst, lat) - alt) / e;
        const double per_rad = air::airglow_rise(alt) + set.gradient / sky::kDeg;
        // pixels to standard coordinates: the CD matrix in radians
        const double a = cd[0][0] * sky::kDeg, b = cd[0][1] * sky::kDeg, c = cd[1][0] * sky::kDeg,
                     d = cd[1][1] * sky::kDeg;
        req.sky.grad_x = -per_rad * (da_dxi * a + da_deta * c);
        req.sky.grad_y = -per_rad * (da_dxi * b + da_deta * d);
    }
    {
        FrameSky f;
        f.utc = 0.5 * (ut0 + ut1);
        f.lst_deg = std::fmod(lst / sky::kDeg + 720.0, 360.0);
        f.ha_deg = std::remainder(lst - ra_c, 2 * sky::kPi) / sky::kDeg;
        f.alt_deg = alt / sky::kDeg;
        s.sights[camera_id] = f;
    }
    v.scint_sigma = air::scintillation(o.aperture_mm, alt, double(t1_ns - t0_ns) * 1e-9, kGpsAltitude);
    v.frame_key = kern::mix64(night::run_seed() ^ kern::mix64(uint64_t(uint32_t(camera_id)) << 32 ^ uint64_t(std::llround(ut0 * 1e6))));
    req.sky.vignetting = v.vignetting;
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
    s.drift_base = s.drift_from = 0;
    s.knots.clear();
    s.masks.clear();
    s.optics.clear();
    s.wcs.clear();
    s.sights.clear();
}

int32_t scene_set(const char *key, double value)
{
    const Key<Settings> *k = find_key(kKeys, key);
    if (!k || !valid(value, k->lo, k->hi) || (k->field == &Settings::seed && value != std::floor(value)))
        return -1;
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    if (k->field == &Settings::polar_drift) { // the mount drifts on from where it is
        const double now = night::elapsed_s(sim_now_ns());
        s.drift_base += s.set.polar_drift / 60.0 * (now - s.drift_from);
        s.drift_from = now;
    }
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

// what the camera's newest frame of the scene left in one of the state's maps
template <class T>
bool newest(std::map<int32_t, T> State::*map, int32_t camera_id, T &out)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    auto it = (s.*map).find(camera_id);
    if (it == (s.*map).end())
        return false;
    out = it->second;
    return true;
}

bool scene_wcs(int32_t camera_id, Wcs &out) { return newest(&State::wcs, camera_id, out); }

bool scene_frame_sky(int32_t camera_id, FrameSky &out) { return newest(&State::sights, camera_id, out); }

void scene_site(double &lat_deg, double &lon_deg)
{
    State &s = state();
    std::lock_guard<std::mutex> g(s.mu);
    lat_deg = s.set.latitude;
    lon_deg = s.set.longitude;
}

int32_t scene_catalog(double ra_deg, double dec_deg, double radius_deg, double mag_limit, double *out, int32_t max)
{
    if (!valid(ra_deg, -360, 720) || !valid(dec_deg, -90, 90) || !valid(radius_deg, 0, 10) || max < 0 || max == INT32_MAX ||
        (max > 0 && !out) || !std::isfinite(mag_limit))
        return -1;
    uint32_t seed;
    {
        State &s = state();
        std::lock_guard<std::mutex> g(s.mu);
        seed = uint32_t(s.set.seed);
    }
    // no more than the caller takes, and one to tell it there are more
    std::vector<sky::CatStar> cat;
    sky::stars_near(seed, ra_deg * sky::kDeg, dec_deg * sky::kDeg, radius_deg * sky::kDeg, mag_limit, cat,
                    size_t(max) + 1);
    for (size_t i = 0; i < cat.size() && i < size_t(max); ++i) {
        out[3 * i] = cat[i].ra / sky::kDeg;
        out[3 * i + 1] = cat[i].dec / sky::kDeg;
        out[3 * i + 2] = cat[i].mag;
    }
    return int32_t(cat.size());
}

} // namespace orxsim
