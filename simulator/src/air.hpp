// air.hpp - what the atmosphere does to a frame: the tilt that wanders the
// stars (partly shared by the whole field, partly its own across it), passing
// clouds and the town's light they reflect, scintillation, and the night
// sky's rise toward the horizon. Times are the air's seconds (any origin: its
// phases are random), angles radians unless named.
#pragma once

#include <cstdint>

#include "optics.hpp"

namespace orxsim {
namespace air {

// The tilt the whole field shares, arc-seconds along axis 0 (xi) or 1 (eta),
// for a wander of rms arc-seconds per axis with correlation time tau.
double wander(double rms, double tau, int32_t camera_id, int axis, double t);
// The field's own part of the tilt, as plane waves into the frame's setup.
void field_tilt(double rms, double tau, int32_t camera_id, SkyView::Setup &v);

// The light over an exposure [t0, t1]: the share of the stars' light let
// through, and the factor on the sky's background.
struct Light {
    double through = 1, sky = 1;
};
Light over(double clouds, double transparency, double sky_brightness, double t0, double t1);

// d ln(B) / dz of the night sky's brightness at altitude alt.
double airglow_rise(double alt);
// Relative rms of a star's light from scintillation over t seconds, for an
// aperture (mm) at altitude alt from a site height_m above the sea.
double scintillation(double aperture_mm, double alt, double t, double height_m);

} // namespace air
} // namespace orxsim
