// air.cpp - what the atmosphere does to a frame (air.hpp).
#include "air.hpp"

#include <algorithm>
#include <cmath>

#include "night.hpp"
#include "sensor_kernels.hpp"
#include "sky_catalog.hpp"

namespace orxsim {
namespace air {

namespace {

// The air's tilt: the part the whole field shares (kCommonTilt of its
// variance), and a part that decorrelates over kTiltScale on the sky, which
// multi-star guiding averages away (a 9-star guider halves the rms: shared
// 0.16 + 0.84 / 9 of the variance).
constexpr double kFreq[4] = {0.45, 0.8, 1.3, 2.1};
constexpr double kCommonTilt = 0.16;
constexpr double kTiltScale = 5.0 / 60.0 * sky::kDeg; // radians

} // namespace

// a few incommensurate sinusoids around 1 / (2 pi tau) with phases of the
// camera's own
double wander(double rms, double tau, int32_t camera_id, int axis, double t)
{
    if (!(rms > 0))
        return 0;
    static const double kFreq[4] = {0.45, 0.8, 1.3, 2.1};
    double sum = 0;
    uint64_t h = kern::mix64(night::run_seed() ^ (uint64_t(uint32_t(camera_id)) * 2 + uint64_t(axis) + 0x3A9D5ull));
    for (double f : kFreq) {
        h = kern::mix64(h);
        const double phase = double(h >> 11) * (2.0 * sky::kPi / 9007199254740992.0);
        sum += std::sin(f / tau * t + phase);
    }
    return sum * rms * std::sqrt(kCommonTilt / 2.0);
}

// The field's own part of the tilt: plane waves across the sky (kTiltScale
// long, random directions) moving with the same frequencies.
void field_tilt(double rms, double tau, int32_t camera_id, SkyView::Setup &v)
{
    if (!(rms > 0))
        return;
    v.tilt_amp = rms * sky::kArcsec * std::sqrt(2.0 * (1.0 - kCommonTilt) / 4.0);
    uint64_t h = kern::mix64(night::run_seed() ^ (uint64_t(uint32_t(camera_id)) * 2 + 0x71173ull));
    auto uniform = [&h] {
        h = kern::mix64(h);
        return double(h >> 11) * (1.0 / 9007199254740992.0);
    };
    for (int axis = 0; axis < 2; ++axis) {
        for (double f : kFreq) {
            SkyView::Tilt m;
            const double dir = 2 * sky::kPi * uniform(), k = 2 * sky::kPi / kTiltScale;
            m.kx = k * std::cos(dir);
            m.ky = k * std::sin(dir);
            m.w = f / tau;
            m.phase = 2 * sky::kPi * uniform();
            v.tilt[axis].push_back(m);
        }
    }
}

// cloud cover at night-clock second t: 0 clear .. clouds (the thickest)
double cover(double clouds, double t)
{
    if (!(clouds > 0))
        return 0;
    uint64_t h = kern::mix64(night::run_seed() ^ 0xC10D5ull);
    double ph[3];
    for (double &p : ph) {
        h = kern::mix64(h);
        p = double(h >> 11) * (2.0 * sky::kPi / 9007199254740992.0);
    }
    const double g = (std::sin(2 * sky::kPi * std::fmod(t, 173.0) / 173.0 + ph[0]) +
                      std::sin(2 * sky::kPi * std::fmod(t, 419.0) / 419.0 + ph[1]) +
                      std::sin(2 * sky::kPi * std::fmod(t, 61.0) / 61.0 + ph[2])) / 3.0;
    return clouds * std::max(0.0, std::min(1.0, 0.5 + g));
}

// What the air does to the light over an exposure [t0, t1] (night-clock
// seconds), averaged over it: the share of the stars' light let through, and
// the factor on the sky's background. Clouds block up to 95 % of the light
// from above, and reflect the town's light back down: the artificial part of
// the background grows to kOvercastGlow times under full overcast.
constexpr double kNaturalSky = 21.7;     // mag / square arc-second of a dark site's sky
constexpr double kOvercastGlow = 10.0;   // artificial sky glow under full overcast

Light over(double clouds, double transparency, double sky_brightness, double t0, double t1)
{
    // share of the clear sky's background that is artificial light
    const double artificial = std::max(0.0, 1.0 - std::pow(10.0, -0.4 * (kNaturalSky - sky_brightness)));
    const double span = std::max(0.0, t1 - t0);
    const int n = clouds > 0 ? int(std::min(512.0, std::max(8.0, span / 2.0))) : 1;
    Light a;
    a.through = a.sky = 0;
    for (int k = 0; k < n; ++k) {
        const double c = cover(clouds, t0 + span * (k + 0.5) / n);
        a.through += (1.0 - 0.95 * c) / n;
        a.sky += ((1.0 - artificial) * (1.0 - 0.95 * c) + artificial * (1.0 + (kOvercastGlow - 1.0) * c)) / n;
    }
    a.through *= transparency;
    a.sky *= transparency;
    return a;
}

// d ln(B) / dz of the night sky's airglow with zenith distance z (radians):
// B ~ X 10^(-0.4 k (X - 1)), X = (1 - 0.96 sin^2 z)^-1/2, k = 0.172 mag per
// airmass (the dark-sky model of Krisciunas & Schaefer 1991); z held within 85 deg
double airglow_rise(double alt)
{
    const double z = std::min(85.0 * sky::kDeg, std::max(0.0, sky::kPi / 2 - alt));
    const double s = std::sin(z), c = std::cos(z);
    const double x2 = 1.0 / (1.0 - 0.96 * s * s);
    const double dlnx = 0.96 * s * c * x2;
    return dlnx * (1.0 - 0.4 * std::log(10.0) * 0.172 * std::sqrt(x2));
}

// Relative rms of a star's light from scintillation (Young 1967):
// 0.09 D^-2/3 X^1.75 exp(-h / 8000 m) / sqrt(2 t), D in cm, t in seconds
double scintillation(double aperture_mm, double alt, double t, double height_m)
{
    const double x = 1.0 / std::max(std::sin(std::max(alt, 5.0 * sky::kDeg)), 0.05);
    const double s = 0.09 * std::pow(aperture_mm * 0.1, -2.0 / 3.0) * std::pow(x, 1.75) *
                     std::exp(-height_m / 8000.0) / std::sqrt(2.0 * std::max(t, 1e-4));
    return std::min(s, 1.0);
}

} // namespace air
} // namespace orxsim
