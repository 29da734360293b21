// sensor_charge.hpp - the charge an exposure leaves in each photosite of the
// rendered region: sky and star light, dark current, amp glow, hot pixels and
// cosmic-ray hits, in electrons, before any noise or readout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sensor.hpp"
#include "sensor_artefacts.hpp"

namespace orxsim {

// colour (0 R, 1 G, 2 B) at (y & 1, x & 1) for each ORX_BAYER_PATTERN
inline constexpr int kBayer[4][2][2] = {
    {{0, 1}, {1, 2}}, // ORX_BAYER_RG
    {{2, 1}, {1, 0}}, // ORX_BAYER_BG
    {{1, 0}, {2, 1}}, // ORX_BAYER_GR
    {{1, 2}, {0, 1}}, // ORX_BAYER_GB
};

// Dark current at temp_c relative to the model's reference temperature.
double dark_temperature_factor(const SensorModel &m, double temp_c);

// The photosites a frame reads: columns [x0, x0 + n) of sensor rows
// [y_lo, y_hi); output row r holds sensor rows y0 + r * bin .. + bin - 1.
struct ChargeRegion {
    int32_t x0 = 0, y0 = 0;
    size_t n = 0;
    int32_t y_lo = 0, y_hi = 0;
    int32_t bin = 1;
};

class ChargeImage {
public:
    // read_var_e: variance of the read noise, electrons^2 (what noise hides
    // is not drawn); frame_key: key of the frame's random parts.
    void setup(const FrameRequest &rq, const ChargeRegion &r, double read_var_e, uint64_t frame_key);
    // colour of each photosite (0 R, 1 G, 2 B; 1 on a mono sensor) on output
    // rows of parity p: with binning, all photosites of an output pixel are
    // filtered like it
    const uint8_t *colours(int p) const { return chan_[p].data(); }
    int parity_of_output_row(int32_t r) const { return int((y0_ / b_ + r) & 1); }
    // electrons of every photosite of sensor row sy in [y_lo, y_hi); rows
    // must come in increasing order within a frame
    const float *row(int32_t sy);

private:
    // one Gaussian component of one star, clipped to the region
    struct Stamp {
        int32_t x0, x1;        // columns of the row buffer covered, [x0, x1)
        int32_t y0, y1;        // sensor rows covered, [y0, y1)
        int32_t ix, iy;        // pixel holding the centre: row-buffer column, sensor row
        const float *gx, *gy;  // profile rows, indexed by offset from ix / iy
        float amp[3];          // electrons of this component, per colour
    };
    void collect_stars();
    void collect_charges();
    void build_band(int32_t y0);
    int parity_of_row(int32_t sy) const { return parity_of_output_row((sy - y0_) / b_); }

    const FrameRequest *rq_ = nullptr;
    const SensorModel *sm_ = nullptr;
    int32_t sx0_ = 0, y0_ = 0, b_ = 1;
    size_t n_ = 0;
    int32_t y_lo_ = 0, y_hi_ = 0;
    bool color_ = false;
    double t_ = 0.0;              // exposure, seconds
    double dark_factor_ = 1.0;    // dark current relative to the reference temperature
    double pixel_var_e_ = 0.0;    // noise variance of a background photosite, electrons^2
    uint64_t frame_key_ = 0;

    std::vector<float> base_[2];  // background electrons per photosite, by row parity
    // shaded sky: the sky's part per photosite by row parity (its column
    // shading included, kept out of base_), and each rendered row's factor
    std::vector<float> sky_[2], sky_row_;
    bool shaded_ = false;
    std::vector<uint8_t> chan_[2];
    std::vector<float> band_;     // rows [band_y0_, band_y1_)
    int32_t band_y0_ = 0, band_y1_ = 0;
    std::vector<Star> stars_;
    std::vector<Stamp> stamps_, sorted_; // sorted_: in order of first row
    std::vector<uint32_t> count_, active_;
    size_t next_stamp_ = 0;
    std::vector<artefact::Charge> charges_; // hot pixels and cosmic rays, by row
    size_t next_charge_ = 0;
    artefact::AmpGlow glow_;
};

} // namespace orxsim
