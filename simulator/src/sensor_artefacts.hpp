// sensor_artefacts.hpp - what a sensor adds to a frame besides light, dark
// current and random noise: amp glow, row and column pattern noise and
// cosmic-ray hits. Each is a pure function of the model, the frame's keys and
// the region asked for, so a pixel reads the same whatever the region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sensor.hpp"

namespace orxsim {
namespace artefact {

// Electrons added to one photosite.
struct Charge {
    int32_t x, y;
    float e;
};

// Amp glow over the columns [x0, x0 + n) of the sensor, for an exposure of
// `seconds`: a bright core and a wider, fainter skirt around the corner or
// edge the model names, each a separable Gaussian.
class AmpGlow {
public:
    void setup(const SensorModel &m, int64_t x0, size_t n, double seconds);
    bool active() const { return ncomp_ > 0; }
    // adds the glow of sensor row y to e[0, n)
    void add_row(int32_t y, float *e) const;

private:
    struct Comp {
        std::vector<float> gx;   // column profile times the amplitude, electrons
        float gx_max = 0;
        double cy = 0, sy = 1;   // row profile: centre and sigma
    };
    Comp comp_[2];
    int ncomp_ = 0;
    size_t n_ = 0;
};

// Row and column offsets, in electrons: each the sum of a part fixed for the
// sensor (from the model's hot pixel seed) and a part drawn for this frame
// (from frame_key). `scale` multiplies the model's amplitudes (they fall
// with gain like the read noise).
class PatternNoise {
public:
    void setup(const SensorModel &m, uint64_t frame_key, int64_t x0, size_t n, double scale);
    const float *col_offsets() const { return col_.data(); }  // n entries
    float row_offset(int32_t y) const;

private:
    std::vector<float> col_, scratch_;
    double row_fixed_ = 0, row_frame_ = 0;
    uint64_t row_fixed_key_ = 0, row_frame_key_ = 0;
};

// Appends the charge of every cosmic-ray hit of an exposure of `seconds` that
// falls in [x0, x1) x [y0, y1) of the sensor. Hits arrive at the model's rate
// per area and time, uniformly over the sensor; each is a muon-like track
// through the sensitive layer, short when steep, longer when grazing.
void cosmic_rays(const SensorModel &m, uint64_t frame_key, double seconds, int32_t x0, int32_t y0,
                 int32_t x1, int32_t y1, std::vector<Charge> &out);

// Sensitive depth of the silicon and the charge a minimum-ionising particle
// frees per micrometre of it, as the cosmic-ray tracks use them.
constexpr double kCosmicDepthUm = 6.0;
constexpr double kCosmicElectronsPerUm = 80.0;
// tiles of the sensor in which hits are drawn, and the longest track
constexpr int kCosmicTile = 256;
constexpr int kCosmicMaxLengthPx = 32;

} // namespace artefact
} // namespace orxsim
