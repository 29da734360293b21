// sensor_stars.cpp - the built-in seeded star field.
#include "sensor_stars.hpp"

#include <algorithm>
#include <cmath>

#include "sensor_field.hpp"

namespace orxsim {

void TileStarField::stars(double x0, double y0, double x1, double y1, double min_flux,
                          std::vector<Star> &out) const
{
    if (!(density_ > 0.0) || !(x1 > x0) || !(y1 > y0) || !std::isfinite(x0 + y0 + x1 + y1))
        return;
    // expected stars brighter than f in one tile
    const double per_tile_ref = density_ * double(kTile) * kTile * 1e-6;
    auto brighter = [&](double f) { return per_tile_ref * std::pow(f / kFluxRef, -kSlope); };
    const int64_t tx0 = int64_t(std::floor(x0 / kTile)), tx1 = int64_t(std::floor(x1 / kTile));
    const int64_t ty0 = int64_t(std::floor(y0 / kTile)), ty1 = int64_t(std::floor(y1 / kTile));
    // decades of flux from kFluxMin up; the top one is open-ended
    constexpr int kDecades = 8;
    for (int d = 0; d < kDecades; ++d) {
        const double f_lo = kFluxMin * std::pow(10.0, d);
        const bool top = d == kDecades - 1;
        const double f_hi = top ? HUGE_VAL : f_lo * 10.0;
        if (f_hi <= min_flux)
            continue;
        const double a = std::pow(f_lo, -kSlope), b = top ? 0.0 : std::pow(f_hi, -kSlope);
        // the flux of a star below is a - u (a - b) raised to -1/slope: those
        // with u under u_min are fainter than min_flux
        const double u_min = min_flux > f_lo ? (a - std::pow(min_flux, -kSlope)) / (a - b) : 0.0;
        const double lambda = brighter(f_lo) - (top ? 0.0 : brighter(f_hi));
        const double enl = std::exp(-lambda);
        for (int64_t ty = ty0; ty <= ty1; ++ty) {
            for (int64_t tx = tx0; tx <= tx1; ++tx) {
                field::Rng r(field::tile_seed(seed_, 0x57A125ull + uint64_t(d) * 0x100000001ull, tx, ty));
                const int n = field::poisson(r, lambda, enl);
                for (int i = 0; i < n; ++i) {
                    Star s;
                    s.x = (double(tx) + r.uniform()) * kTile;
                    s.y = (double(ty) + r.uniform()) * kTile;
                    const double u = r.uniform();
                    // colour from red-ish to blue-ish
                    const float t = float(r.uniform());
                    if (u < u_min)
                        continue;
                    // inverse of the power law's distribution within the decade
                    s.flux = std::fmin(kFluxMax, std::pow(a - u * (a - b), -1.0 / kSlope));
                    s.tint[0] = 1.3f - 0.6f * t;
                    s.tint[1] = 1.0f;
                    s.tint[2] = 0.7f + 0.6f * t;
                    if (s.x >= x0 && s.x < x1 && s.y >= y0 && s.y < y1)
                        out.push_back(s);
                }
            }
        }
    }
}

} // namespace orxsim
