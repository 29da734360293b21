// optics.hpp - what one camera's telescope makes of the sky: plate scale,
// orientation, its offset from the mount's axis, focus, and the world
// coordinate system (FITS TAN) of its frames.
//
// Sensor coordinates: pixel i spans [i, i + 1) of the full, unbinned sensor.
// The optical axis meets the sensor at its centre. With rotation 0 north is
// +y and east is -x (a standard FITS orientation: RA grows to the left when
// row 0 is shown at the bottom); the rotation turns the sky
// counter-clockwise on the sensor.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sensor_stars.hpp"
#include "sky_catalog.hpp"

namespace orxsim {

struct Optics {
    double focal_mm = 500.0;
    double aperture_mm = 100.0;
    double rotation_deg = 0.0;
    double offset_ra_arcmin = 0.0;   // of the camera's centre from the mount's axis, on the sky
    double offset_dec_arcmin = 0.0;
    double focus = 5000.0;           // focuser position, steps
    double best_focus = 5000.0;
    double focus_step_um = 2.0;      // focal-plane travel per step
    double vignetting = 0.15;        // light lost 21.63 mm from the axis (a 36x24 mm corner)
    double obstruction = 0.0;        // central obstruction, share of the aperture's diameter
};

// FITS WCS of a frame (TAN projection), degrees and 1-based pixels.
struct Wcs {
    double crval[2] = {0, 0};
    double crpix[2] = {0, 0};
    double cd[2][2] = {{0, 0}, {0, 0}};
};

// Degrees of sky per unbinned pixel.
double plate_scale_deg(const Optics &o, double pixel_um);

// The CD matrix of the full unbinned sensor.
void sensor_cd(const Optics &o, double pixel_um, double cd[2][2]);

// The WCS of a frame cut from a sensor WCS: region start (unbinned pixels),
// width and height in output pixels, bin and ORX_FLIP_STATUS.
Wcs frame_wcs(const Wcs &sensor, int32_t start_x, int32_t start_y, int32_t width, int32_t height, int32_t bin,
              int32_t flip);

// Star images of one camera during one exposure: the catalogue around the
// frame's centre, projected on the sensor, each drawn at every place the
// mount and the air put it during the exposure (its light shared among
// them), spread over the pupil's disc or annulus when far out of focus, and twinkling by the
// exposure's scintillation (each star its own, the mean light kept).
class SkyView final : public StarSource {
public:
    // one plane wave of the air's tilt across the field
    struct Tilt {
        double kx = 0, ky = 0;  // per radian of xi, eta
        double w = 0, phase = 0; // angular frequency (per second), phase
    };
    struct Setup {
        uint32_t seed = 0;
        double ra = 0, dec = 0;           // frame centre (radians)
        double cd_inv[2][2] = {{0, 0}, {0, 0}}; // standard coordinates (radians) to pixels
        double cx = 0, cy = 0;            // sensor position of the centre
        double scale_rad = 0;             // per pixel
        double mag0_e = 0;                // electrons / s of a magnitude-0 star
        double vignetting = 0;            // light lost at the sensor's corners
        double half_diag2 = 1;            // squared half diagonal of the sensor, pixels
        std::vector<double> path_x, path_y, path_w; // images along the path: offset (pixels), share of time
        std::vector<double> ring_x, ring_y, ring_w; // the out-of-focus pupil's points, weights (one at 0,0 focused)
        std::vector<double> path_t;       // the air's seconds of each image along the path
        double t_mid = 0;                 // the exposure's middle, the air's seconds
        std::vector<Tilt> tilt[2];        // the field's own tilt along xi and eta ...
        double tilt_amp = 0;              // ... each wave's amplitude, radians
        double scint_sigma = 0;           // relative rms of a star's light over this exposure
        uint64_t frame_key = 0;           // key of this exposure's scintillation
    };
    explicit SkyView(Setup s);
    void stars(double x0, double y0, double x1, double y1, double min_flux, std::vector<Star> &out) const override;

private:
    double twinkle(const sky::CatStar &cs) const;
    // the field's tilt at (xi, eta) at night second t, in pixels
    void tilt_at(double xi, double eta, double t, double &dx, double &dy) const;
    Setup s_;
    double reach_ = 0; // largest distance of a sub-image from the star's mean place, pixels
    double mean_x_ = 0, mean_y_ = 0; // mean offset along the path
};

} // namespace orxsim
