// sky_catalog.cpp - the seeded star catalogue of the simulated sky.
#include "sky_catalog.hpp"

#include <algorithm>
#include <cmath>

#include "sensor_field.hpp"

namespace orxsim {
namespace sky {

namespace {

constexpr double kBandDeg = 0.25;
constexpr int kBands = int(180.0 / kBandDeg);
constexpr double kMagMin = -1.5;   // brightest magnitude step starts here
constexpr int kMagSteps = 23;      // one magnitude each, to 21.5
constexpr double kTwoPi = 2.0 * kPi;

// north galactic pole
constexpr double kPoleRa = 192.85948 * kDeg, kPoleDec = 27.12825 * kDeg;

int cells_in_band(int j)
{
    const double dec_mid = (-90.0 + (j + 0.5) * kBandDeg) * kDeg;
    return std::max(1, int(std::ceil(360.0 * std::cos(dec_mid) / kBandDeg)));
}

double slope(double b) { return 0.30 + 0.10 * std::exp(-std::fabs(b) / (20.0 * kDeg)); }

// How the counts vary with galactic latitude: 2.5 stars per square degree
// brighter than magnitude 10 near the poles to 30 in the plane, the plane's
// counts rising faster toward faint magnitudes.
double latitude_shape(double b, double mag)
{
    const double near_plane = std::exp(-std::fabs(b) / (20.0 * kDeg));
    return 2.5 * std::pow(12.0, near_plane) * std::pow(10.0, slope(b) * (mag - 10.0));
}

// log10 of the whole sky's stars brighter than V = -1, 0, 1 .. 22: the
// published counts (bright stars from the catalogues of naked-eye stars,
// Tycho-2 to 11, UCAC4 and deep counts beyond)
constexpr double kAllSkyLog[] = {0.00, 0.60, 1.18, 1.77, 2.28, 2.77, 3.26, 3.72, 4.18, 4.63, 5.07, 5.47,
                                 5.89, 6.31, 6.75, 7.19, 7.56, 7.92, 8.23, 8.52, 8.78, 9.02, 9.23, 9.43};
constexpr int kTableLo = -1, kTableN = int(sizeof kAllSkyLog / sizeof kAllSkyLog[0]);
constexpr double kSkyDeg2 = 41252.96;

double table_log(const double *t, double mag)
{
    const double x = mag - kTableLo;
    if (x <= 0)
        return t[0] + (t[1] - t[0]) * x;
    if (x >= kTableN - 1)
        return t[kTableN - 1] + (t[kTableN - 1] - t[kTableN - 2]) * (x - (kTableN - 1));
    const int i = int(x);
    return t[i] + (t[i + 1] - t[i]) * (x - i);
}

// log10 of latitude_shape's sky average at the table's magnitudes
struct ShapeMean {
    double log[kTableN];
    ShapeMean()
    {
        constexpr int kSteps = 720;
        for (int k = 0; k < kTableN; ++k) {
            double sum = 0;
            for (int i = 0; i < kSteps; ++i) {
                const double b = -kPi / 2 + (i + 0.5) * kPi / kSteps;
                sum += latitude_shape(b, kTableLo + k) * std::cos(b) * (kPi / kSteps);
            }
            log[k] = std::log10(0.5 * sum);
        }
    }
};

const ShapeMean &shape_mean()
{
    static const ShapeMean *m = new ShapeMean; // never destroyed: renderers may run at exit
    return *m;
}

} // namespace

double galactic_latitude(double ra, double dec)
{
    const double s = std::sin(dec) * std::sin(kPoleDec) + std::cos(dec) * std::cos(kPoleDec) * std::cos(ra - kPoleRa);
    return std::asin(std::max(-1.0, std::min(1.0, s)));
}

double stars_brighter(double b, double mag)
{
    // the whole sky's counts, shared out over latitude as latitude_shape does
    const double sky = table_log(kAllSkyLog, mag) - std::log10(kSkyDeg2);
    return latitude_shape(b, mag) * std::pow(10.0, sky - table_log(shape_mean().log, mag));
}

bool project(double ra0, double dec0, double ra, double dec, double &xi, double &eta)
{
    const double sd0 = std::sin(dec0), cd0 = std::cos(dec0);
    const double sd = std::sin(dec), cd = std::cos(dec), da = ra - ra0, cda = std::cos(da);
    const double cosc = sd0 * sd + cd0 * cd * cda;
    if (!(cosc > 1e-6))
        return false;
    xi = cd * std::sin(da) / cosc;
    eta = (cd0 * sd - sd0 * cd * cda) / cosc;
    return true;
}

void deproject(double ra0, double dec0, double xi, double eta, double &ra, double &dec)
{
    const double sd0 = std::sin(dec0), cd0 = std::cos(dec0);
    const double denom = cd0 - eta * sd0;
    ra = ra0 + std::atan2(xi, denom);
    dec = std::atan2(sd0 + eta * cd0, std::sqrt(xi * xi + denom * denom));
    ra = std::fmod(ra, kTwoPi);
    if (ra < 0)
        ra += kTwoPi;
}

void stars_near(uint32_t seed, double ra0, double dec0, double radius, double mag_limit,
                std::vector<CatStar> &out, size_t cap)
{
    if (!std::isfinite(ra0 + dec0 + radius + mag_limit) || !(radius > 0.0) || mag_limit <= kMagMin)
        return;
    radius = std::min(radius, 10.0 * kDeg);
    const double cos_r = std::cos(radius);
    const double sd0 = std::sin(dec0), cd0 = std::cos(dec0);
    const double dlo = std::max(-kPi / 2, dec0 - radius), dhi = std::min(kPi / 2, dec0 + radius);
    const int jlo = std::max(0, int(std::floor((dlo / kDeg + 90.0) / kBandDeg)));
    const int jhi = std::min(kBands - 1, int(std::floor((dhi / kDeg + 90.0) / kBandDeg)));
    const int steps = std::min(kMagSteps, int(std::ceil(mag_limit - kMagMin)));
    for (int j = jlo; j <= jhi; ++j) {
        const double d0 = (-90.0 + j * kBandDeg) * kDeg, d1 = d0 + kBandDeg * kDeg;
        const double s0 = std::sin(d0), s1 = std::sin(d1);
        const int n_ra = cells_in_band(j);
        const double w = kTwoPi / n_ra;
        // RA half-width of the circle within this band, at its most poleward edge
        const double cos_edge = std::min(std::cos(d0), std::cos(d1));
        int64_t c_lo = 0, c_hi = n_ra - 1;
        if (cos_edge > std::sin(radius) * 1.01 && std::fabs(dec0) + radius < kPi / 2) {
            const double hw = std::asin(std::min(1.0, std::sin(radius) / cos_edge)) + 1e-9;
            c_lo = int64_t(std::floor((ra0 - hw) / w));
            c_hi = int64_t(std::floor((ra0 + hw) / w));
            if (c_hi - c_lo + 1 >= n_ra) {
                c_lo = 0;
                c_hi = n_ra - 1;
            }
        }
        for (int64_t cc = c_lo; cc <= c_hi; ++cc) {
            const int64_t cell = ((cc % n_ra) + n_ra) % n_ra;
            const double ra_c = (double(cell) + 0.5) * w;
            const double b = galactic_latitude(ra_c, 0.5 * (d0 + d1));
            const double area = w * (s1 - s0) / (kDeg * kDeg);
            for (int k = 0; k < steps; ++k) {
                const double m_lo = kMagMin + k;
                const double n_lo = stars_brighter(b, m_lo), n_hi = stars_brighter(b, m_lo + 1.0);
                const double lambda = area * (n_hi - n_lo);
                const double sl = std::log10(n_hi / n_lo), span = n_hi / n_lo - 1.0;
                field::Rng r(field::tile_seed(seed, 0x5CA7A106ull + uint64_t(k) * 0x100000001ull, cell, j));
                const int n = field::poisson(r, lambda, std::exp(-lambda));
                for (int i = 0; i < n; ++i) {
                    CatStar s;
                    s.ra = (double(cell) + r.uniform()) * w;
                    s.dec = std::asin(std::min(1.0, s0 + r.uniform() * (s1 - s0)));
                    // counts rise as 10^(slope m) inside the step
                    s.mag = m_lo + std::log10(1.0 + r.uniform() * span) / sl;
                    s.colour = float(r.uniform());
                    if (s.mag >= mag_limit)
                        continue;
                    const double cosd = sd0 * std::sin(s.dec) + cd0 * std::cos(s.dec) * std::cos(s.ra - ra0);
                    if (cosd >= cos_r) {
                        if (out.size() >= cap)
                            return;
                        out.push_back(s);
                    }
                }
            }
        }
    }
}

} // namespace sky
} // namespace orxsim
