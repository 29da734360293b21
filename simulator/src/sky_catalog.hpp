// sky_catalog.hpp - the stars of the simulated sky, on the celestial sphere.
//
// The sphere is cut into declination bands of kBandDeg and each band into
// right-ascension cells of about the same width; every cell and every
// magnitude step of it is generated from its own seed, so a star's place and
// brightness depend only on the seed, never on who asks or how faint. Counts
// per magnitude follow the whole sky's published star counts, shared out by
// galactic latitude: about 2.5 stars per square degree brighter than
// magnitude 10 near the galactic poles and 30 in the plane, the plane's
// counts rising faster toward faint stars; down to magnitude 21.5, below
// what the simulated cameras detect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orxsim {
namespace sky {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
constexpr double kArcsec = kDeg / 3600.0;

struct CatStar {
    double ra, dec;  // radians (J2000-like, no proper motion)
    double mag;
    float colour;    // 0 red .. 1 blue
};

// Galactic latitude, radians, of (ra, dec) in radians.
double galactic_latitude(double ra, double dec);
// Stars per square degree brighter than mag at galactic latitude b (radians).
double stars_brighter(double b, double mag);

// Appends every star within radius (radians) of (ra0, dec0) brighter than
// mag_limit, stopping when out holds cap stars; nothing for a bad query
// (non-finite, radius <= 0).
void stars_near(uint32_t seed, double ra0, double dec0, double radius, double mag_limit,
                std::vector<CatStar> &out, size_t cap = SIZE_MAX);

// Gnomonic projection about (ra0, dec0): standard coordinates xi (east) and
// eta (north), radians. False for a point on the far hemisphere.
bool project(double ra0, double dec0, double ra, double dec, double &xi, double &eta);
void deproject(double ra0, double dec0, double xi, double eta, double &ra, double &dec);

} // namespace sky
} // namespace orxsim
