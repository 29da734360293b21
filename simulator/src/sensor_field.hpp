// sensor_field.hpp - seeded random fields of the simulated sensor: the random
// number helpers, its hot pixels and the point spread function tables.
//
// Fields are generated on demand from a seed, tile by tile: a tile's content
// depends only on the seed and the tile's coordinates, so it is cheap to
// produce for just the part of it a frame needs. Nothing is cached, so
// nothing needs a lock.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "sensor_kernels.hpp"

namespace orxsim {
namespace field {

// ---- random numbers ------------------------------------------------------------
using kern::mix64;

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() { return mix64(s += 0x9E3779B97F4A7C15ull); }
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); } // [0, 1)
    double uniform_pos() { return 1.0 - uniform(); }                                // (0, 1]
};

inline uint64_t tile_seed(uint64_t seed, uint64_t salt, int64_t tx, int64_t ty)
{
    return mix64(mix64(mix64(seed ^ salt) + uint64_t(tx)) + uint64_t(ty) * 0x9E3779B97F4A7C15ull);
}

// Poisson deviate; exp_neg_lambda = exp(-lambda) (passed in, it is per frame).
inline int poisson(Rng &r, double lambda, double exp_neg_lambda)
{
    if (lambda <= 0.0)
        return 0;
    if (lambda < 30.0) {
        int k = 0;
        double p = r.uniform_pos();
        while (p > exp_neg_lambda) {
            ++k;
            p *= r.uniform_pos();
        }
        return k;
    }
    // normal approximation for dense fields
    const double u1 = r.uniform_pos(), u2 = r.uniform();
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    const double k = std::floor(lambda + std::sqrt(lambda) * g + 0.5);
    return k < 0.0 ? 0 : int(k);
}

// ---- hot pixels -------------------------------------------------------------------
constexpr int kHotTile = 256;

struct HotPixel {
    int32_t x, y;
    float rate_e;   // extra dark current, e-/s
    float fixed_e;  // extra electrons in every frame (stuck-high pixels)
};

// Calls fn(const HotPixel &) for every hot pixel in [x0,x1) x [y0,y1) of a
// sensor of size w x h.
template <class Fn>
void for_each_hot_pixel(uint32_t seed, double per_mp, int32_t w, int32_t h, int32_t x0, int32_t y0,
                        int32_t x1, int32_t y1, Fn &&fn)
{
    if (x0 < 0) x0 = 0;
    if (y0 < 0) y0 = 0;
    if (x1 > w) x1 = w;
    if (y1 > h) y1 = h;
    if (!(per_mp > 0.0) || x1 <= x0 || y1 <= y0)
        return;
    const double lambda = per_mp * double(kHotTile) * kHotTile * 1e-6;
    const double enl = std::exp(-lambda);
    for (int32_t ty = y0 / kHotTile; ty <= (y1 - 1) / kHotTile; ++ty) {
        for (int32_t tx = x0 / kHotTile; tx <= (x1 - 1) / kHotTile; ++tx) {
            Rng r(tile_seed(seed, 0x407B1Eull, tx, ty));
            const int n = poisson(r, lambda, enl);
            for (int i = 0; i < n; ++i) {
                HotPixel hp;
                hp.x = tx * kHotTile + int32_t(r.uniform() * kHotTile);
                hp.y = ty * kHotTile + int32_t(r.uniform() * kHotTile);
                hp.rate_e = float(30.0 * std::pow(100.0, r.uniform())); // 30..3000 e-/s
                // one in four is stuck high whatever the exposure
                hp.fixed_e = r.uniform() < 0.25 ? float(500.0 + 4500.0 * r.uniform()) : 0.0f;
                if (hp.x >= x0 && hp.x < x1 && hp.y >= y0 && hp.y < y1)
                    fn(static_cast<const HotPixel &>(hp));
            }
        }
    }
}

// ---- point spread function ----------------------------------------------------------
// A star's image is the sum of two separable Gaussians: a core of the seeing's
// FWHM and a faint, wider halo that stands in for the extended wings of a real
// PSF. Each is tabulated as a 1-D profile of pixel-integrated fractions of the
// flux for kPhases sub-pixel positions of the centre.
constexpr int kPhases = 64;
constexpr float kHaloFraction = 0.12f;
constexpr double kHaloScale = 2.5;    // halo sigma / core sigma

struct Profile {
    int radius = 0;          // entries -radius..radius
    std::vector<float> tab;  // kPhases rows of 2*radius+1
    float centre_peak = 0;   // largest entry (phase 0, offset 0)
    double sigma = 0;
    // fraction of the flux in pixel ix+j for a centre at ix + phase/kPhases
    const float *row(int phase) const { return tab.data() + size_t(phase) * (2 * radius + 1) + radius; }
};

struct Psf {
    double fwhm = -1.0;
    Profile core, halo;
};

void build_profile(double sigma, Profile &p);
// PSF tables for a seeing FWHM (pixels), cached per thread.
const Psf &psf_for(double fwhm);

} // namespace field
} // namespace orxsim
