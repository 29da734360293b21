// sensor_stars.hpp - where the stars in a frame come from.
//
// The renderer asks a StarSource for the stars whose centres fall in a part
// of the sensor's focal plane, no fainter than what the frame can show. The
// built-in source is an unbounded field generated tile by tile from a seed.
#pragma once

#include <cstdint>
#include <vector>

namespace orxsim {

struct Sky {
    double star_density = 40.0;  // stars brighter than 300 e-/s, per megapixel
    double seeing_fwhm = 2.5;    // pixels
    double sky_e_per_s = 4.0;    // background, electrons / pixel / second
    uint32_t seed = 20261207;
    // shading of the background (0: flat): its fractional change per sensor
    // pixel from the sensor's centre along x and y, and the share of light
    // the optics lose at the sensor's corners (falling off as the squared
    // distance from the centre)
    double grad_x = 0.0, grad_y = 0.0;
    double vignetting = 0.0;
};

struct Star {
    double x, y;    // centre, sensor pixels (pixel i spans [i, i+1))
    double flux;    // electrons per second, all colours together
    float tint[3];  // relative R, G, B output of the star (mean 1)
    // share of a whole star's light this image holds (a star drawn as many
    // images along its path): its faint parts are drawn as far out as the
    // whole star's would be, so no light is lost by sharing it out
    float share = 1.0f;
};

class StarSource {
public:
    virtual ~StarSource() = default;
    // Appends to out every star with its centre in [x0,x1) x [y0,y1) whose
    // flux is at least min_flux (e-/s); it may append fainter ones too.
    virtual void stars(double x0, double y0, double x1, double y1, double min_flux,
                       std::vector<Star> &out) const = 0;
};

// An unbounded seeded star field. Star counts follow N(> F) ~ F^-0.8 from
// 0.5 e-/s (far below what a frame can detect) up to 2e7 e-/s, with
// sky.star_density stars brighter than 300 e-/s per megapixel. Each tile of
// the sensor plane and each decade of flux is generated from its own seed, so
// the field is the same whatever region, exposure or flux floor asks for it,
// and only the decades bright enough to show are generated at all.
class TileStarField final : public StarSource {
public:
    static constexpr int kTile = 256;           // sensor pixels per tile side
    static constexpr double kFluxMin = 0.5;     // e-/s of the faintest stars
    static constexpr double kFluxRef = 300.0;   // star_density counts stars brighter than this
    static constexpr double kFluxMax = 2.0e7;   // e-/s cap
    static constexpr double kSlope = 0.8;       // N(> F) ~ F^-slope

    explicit TileStarField(const Sky &sky) : seed_(sky.seed), density_(sky.star_density) {}
    void stars(double x0, double y0, double x1, double y1, double min_flux,
               std::vector<Star> &out) const override;

private:
    uint32_t seed_;
    double density_;
};

} // namespace orxsim
