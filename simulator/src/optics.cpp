// optics.cpp - plate scale, frame WCS and the star images of a frame.
#include "optics.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "ORXCamera2.h"
#include "sensor_kernels.hpp"
#include "sky_catalog.hpp"

namespace orxsim {

double plate_scale_deg(const Optics &o, double pixel_um)
{
    return pixel_um * 1e-3 / o.focal_mm / sky::kDeg;
}

void sensor_cd(const Optics &o, double pixel_um, double cd[2][2])
{
    const double s = plate_scale_deg(o, pixel_um);
    const double c = std::cos(o.rotation_deg * sky::kDeg), n = std::sin(o.rotation_deg * sky::kDeg);
    cd[0][0] = -s * c;
    cd[0][1] = -s * n;
    cd[1][0] = -s * n;
    cd[1][1] = s * c;
}

Wcs frame_wcs(const Wcs &sensor, int32_t start_x, int32_t start_y, int32_t width, int32_t height, int32_t bin,
              int32_t flip)
{
    // sensor FITS pixel p = x + 0.5; frame pixel q covers x = start + (q - 0.5) * bin
    Wcs w = sensor;
    const double b = std::max(1, bin);
    w.crpix[0] = (sensor.crpix[0] - 0.5 - start_x) / b + 0.5;
    w.crpix[1] = (sensor.crpix[1] - 0.5 - start_y) / b + 0.5;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
            w.cd[i][j] = sensor.cd[i][j] * b;
    const bool fh = (flip & ORX_FLIP_HORIZ) != 0, fv = (flip & ORX_FLIP_VERT) != 0;
    if (fh) {
        w.crpix[0] = width + 1 - w.crpix[0];
        w.cd[0][0] = -w.cd[0][0];
        w.cd[1][0] = -w.cd[1][0];
    }
    if (fv) {
        w.crpix[1] = height + 1 - w.crpix[1];
        w.cd[0][1] = -w.cd[0][1];
        w.cd[1][1] = -w.cd[1][1];
    }
    return w;
}

namespace {

// weights summing to 1 (equal when none or not as many as the points)
void normalise(std::vector<double> &w, size_t n)
{
    double sum = 0;
    for (double x : w)
        sum += x;
    if (w.size() != n || !(sum > 0)) {
        w.assign(n, 1.0 / double(n));
        return;
    }
    for (double &x : w)
        x /= sum;
}

} // namespace

SkyView::SkyView(Setup s) : s_(std::move(s))
{
    if (s_.path_x.empty() || s_.path_y.size() != s_.path_x.size()) {
        s_.path_x.assign(1, 0.0);
        s_.path_y.assign(1, 0.0);
    }
    if (s_.ring_x.empty() || s_.ring_y.size() != s_.ring_x.size()) {
        s_.ring_x.assign(1, 0.0);
        s_.ring_y.assign(1, 0.0);
    }
    normalise(s_.path_w, s_.path_x.size());
    normalise(s_.ring_w, s_.ring_x.size());
    for (size_t i = 0; i < s_.path_x.size(); ++i) {
        reach_ = std::max(reach_, std::hypot(s_.path_x[i], s_.path_y[i]));
        mean_x_ += s_.path_x[i] * s_.path_w[i];
        mean_y_ += s_.path_y[i] * s_.path_w[i];
    }
    double ring = 0;
    for (size_t i = 0; i < s_.ring_x.size(); ++i)
        ring = std::max(ring, std::hypot(s_.ring_x[i], s_.ring_y[i]));
    reach_ += ring;
    if (s_.tilt_amp > 0 && s_.scale_rad > 0) // the field's tilt: at most every wave at once, on both axes
        reach_ += 1.5 * double(s_.tilt[0].size() + s_.tilt[1].size()) * s_.tilt_amp / s_.scale_rad;
}

// A log-normal factor of mean 1 and relative rms scint_sigma, the star's own
// in this exposure.
double SkyView::twinkle(const sky::CatStar &cs) const
{
    uint64_t id;
    std::memcpy(&id, &cs.ra, sizeof id);
    uint64_t h = kern::mix64(s_.frame_key ^ kern::mix64(id + uint64_t(cs.dec * 1e15)));
    const double u1 = (double(h >> 11) + 0.5) * (1.0 / 9007199254740992.0);
    h = kern::mix64(h);
    const double u2 = double(h >> 11) * (1.0 / 9007199254740992.0);
    const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * sky::kPi * u2);
    const double v = std::log1p(s_.scint_sigma * s_.scint_sigma);
    return std::exp(std::sqrt(v) * g - 0.5 * v);
}

void SkyView::tilt_at(double xi, double eta, double t, double &dx, double &dy) const
{
    double d[2] = {0, 0};
    for (int axis = 0; axis < 2; ++axis)
        for (const Tilt &m : s_.tilt[axis])
            d[axis] += std::sin(m.w * t + m.kx * xi + m.ky * eta + m.phase);
    d[0] *= s_.tilt_amp;
    d[1] *= s_.tilt_amp;
    // the stars move with the air, as the pointing's wander moves them
    dx = -(s_.cd_inv[0][0] * d[0] + s_.cd_inv[0][1] * d[1]);
    dy = -(s_.cd_inv[1][0] * d[0] + s_.cd_inv[1][1] * d[1]);
}

void SkyView::stars(double x0, double y0, double x1, double y1, double min_flux, std::vector<Star> &out) const
{
    if (!(x1 > x0) || !(y1 > y0) || !(s_.mag0_e > 0.0) || !(s_.scale_rad > 0.0))
        return;
    // the region's centre on the sky, and a circle holding the region
    const double mx = 0.5 * (x0 + x1) - s_.cx, my = 0.5 * (y0 + y1) - s_.cy;
    // pixels to standard coordinates: the inverse of cd_inv
    const double a = s_.cd_inv[0][0], b = s_.cd_inv[0][1], c = s_.cd_inv[1][0], d = s_.cd_inv[1][1];
    const double det = a * d - b * c;
    const double xi_m = (d * mx - b * my) / det, eta_m = (-c * mx + a * my) / det;
    double ra_m, dec_m;
    sky::deproject(s_.ra, s_.dec, xi_m, eta_m, ra_m, dec_m);
    const double half_diag = 0.5 * std::hypot(x1 - x0, y1 - y0) + reach_ + 2.0;
    const double radius = half_diag * s_.scale_rad * 1.02;
    const double mag_limit = -2.5 * std::log10(std::max(1e-30, min_flux) / s_.mag0_e);
    thread_local std::vector<sky::CatStar> cat;
    cat.clear();
    sky::stars_near(s_.seed, ra_m, dec_m, radius, mag_limit, cat);

    const size_t np = s_.path_x.size(), nr = s_.ring_x.size(), parts = np * nr;
    for (const sky::CatStar &cs : cat) {
        double xi, eta;
        if (!sky::project(s_.ra, s_.dec, cs.ra, cs.dec, xi, eta))
            continue;
        const double x = s_.cx + s_.cd_inv[0][0] * xi + s_.cd_inv[0][1] * eta;
        const double y = s_.cy + s_.cd_inv[1][0] * xi + s_.cd_inv[1][1] * eta;
        if (x < x0 - reach_ || x >= x1 + reach_ || y < y0 - reach_ || y >= y1 + reach_)
            continue;
        Star st;
        const double r2 = (x - s_.cx) * (x - s_.cx) + (y - s_.cy) * (y - s_.cy);
        st.flux = s_.mag0_e * std::pow(10.0, -0.4 * cs.mag) * std::max(0.0, 1.0 - s_.vignetting * r2 / s_.half_diag2);
        if (s_.scint_sigma > 0)
            st.flux *= twinkle(cs);
        const float t = cs.colour;
        st.tint[0] = 1.3f - 0.6f * t;
        st.tint[1] = 1.0f;
        st.tint[2] = 0.7f + 0.6f * t;
        const bool tilted = s_.tilt_amp > 0;
        // too faint to share out: one image at the mean place
        if (parts == 1 || st.flux / double(parts) < min_flux) {
            double dx = 0, dy = 0;
            if (tilted)
                tilt_at(xi, eta, s_.t_mid, dx, dy);
            st.x = x + mean_x_ + dx;
            st.y = y + mean_y_ + dy;
            out.push_back(st);
            continue;
        }
        for (size_t p = 0; p < np; ++p) {
            double dx = 0, dy = 0;
            if (tilted)
                tilt_at(xi, eta, p < s_.path_t.size() ? s_.path_t[p] : s_.t_mid, dx, dy);
            for (size_t r = 0; r < nr; ++r) {
                Star part = st;
                const double w = s_.path_w[p] * s_.ring_w[r];
                part.flux = st.flux * w;
                part.share = float(w);
                part.x = x + s_.path_x[p] + s_.ring_x[r] + dx;
                part.y = y + s_.path_y[p] + s_.ring_y[r] + dy;
                out.push_back(part);
            }
        }
    }
}

} // namespace orxsim
