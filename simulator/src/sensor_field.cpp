// sensor_field.cpp - point spread function tables.
#include "sensor_field.hpp"

#include <algorithm>

namespace orxsim {
namespace field {

namespace {
double normal_cdf(double z) { return 0.5 * std::erfc(-z * 0.7071067811865476); }
} // namespace

void build_profile(double sigma, Profile &p)
{
    p.sigma = sigma;
    p.radius = int(std::ceil(5.0 * sigma)) + 1;
    const int w = 2 * p.radius + 1;
    p.tab.assign(size_t(kPhases) * w, 0.0f);
    for (int ph = 0; ph < kPhases; ++ph) {
        const double c = double(ph) / kPhases; // centre offset inside pixel 0
        for (int j = -p.radius; j <= p.radius; ++j) {
            // pixel j spans [j, j+1); the centre sits at c
            const double f = normal_cdf((j + 1 - c) / sigma) - normal_cdf((j - c) / sigma);
            p.tab[size_t(ph) * w + size_t(j + p.radius)] = float(f);
        }
    }
    // the brightest pixel of a centred star: phase kPhases/2 puts it mid-pixel
    const float *mid = p.row(kPhases / 2);
    p.centre_peak = mid[0];
}

const Psf &psf_for(double fwhm)
{
    fwhm = std::max(0.5, std::min(40.0, fwhm));
    thread_local Psf psf;
    if (psf.fwhm != fwhm) {
        const double sigma = fwhm / 2.3548200450309493;
        build_profile(sigma, psf.core);
        build_profile(sigma * kHaloScale, psf.halo);
        psf.fwhm = fwhm;
    }
    return psf;
}

} // namespace field
} // namespace orxsim
