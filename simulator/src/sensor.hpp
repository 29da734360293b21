// sensor.hpp - renders the frames of a simulated camera.
//
// A pure function of its inputs: the same FrameRequest gives the same bytes.
// The camera layer fills a FrameRequest from its state (model, ROI, controls,
// guide drift, dark frame) and hands the caller's buffer to render_frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "sensor_stars.hpp"

namespace orxsim {

// Where a model's amp glow sits: a corner or the middle of an edge.
enum class AmpGlowAt : int32_t {
    None,
    TopLeft, TopRight, BottomLeft, BottomRight,
    Left, Right, Top, Bottom,
};

struct SensorModel {
    int32_t width = 0;          // full sensor, pixels
    int32_t height = 0;
    bool color = false;         // Bayer mosaic in front of the pixels
    int32_t bayer = 0;          // ORX_BAYER_PATTERN of the top-left 2x2 cell
    int32_t bit_depth = 12;     // ADC bits
    double pixel_size_um = 3.76;
    double elec_per_adu = 1.0;  // at gain 0
    double read_noise_e = 3.0;  // electrons rms at gain 0
    double full_well_e = 50000.0;
    // dark current, electrons / pixel / second at dark_ref_temp_c; it doubles
    // every dark_doubling_c degrees (hot pixels follow the same law)
    double dark_current_e = 0.002;
    double dark_ref_temp_c = 20.0;
    double dark_doubling_c = 6.0;
    uint32_t hot_pixel_seed = 1;   // also seeds the fixed pattern noise
    // amp glow: electrons / second at gain 0 at its brightest pixel (0: none),
    // falling off with distance from where it sits over amp_glow_reach_px
    double amp_glow_e = 0.0;
    AmpGlowAt amp_glow_at = AmpGlowAt::None;
    double amp_glow_reach_px = 300.0;
    // pattern noise, electrons rms at gain 0: offsets shared by a whole row or
    // column, one fixed for the sensor and one drawn anew in every frame
    double row_fixed_e = 0.0, row_frame_e = 0.0;
    double col_fixed_e = 0.0, col_frame_e = 0.0;
    // cosmic-ray hits, per cm^2 of sensor per minute of exposure
    double cosmic_per_cm2_min = 0.0;
};

struct FrameRequest {
    const SensorModel *model = nullptr;
    Sky sky;
    // the stars in view; nullptr: the seeded field sky describes
    const StarSource *stars = nullptr;
    std::shared_ptr<const StarSource> stars_keep; // owns *stars when the request does
    // region of interest, in output pixels; start in unbinned sensor pixels
    int32_t start_x = 0, start_y = 0;
    int32_t width = 0, height = 0;
    int32_t bin = 1;
    int32_t img_type = 0;        // ORX_IMG_TYPE
    int32_t flip = 0;            // ORX_FLIP_STATUS
    // controls
    int32_t gain = 0;            // 0..max gain, 0.1 dB steps
    int32_t offset = 0;          // bias, in ADU at the ADC's bit depth
    int64_t exposure_us = 1000;
    int32_t gamma = 50;          // 1..100, 50 is linear
    int32_t wb_r = 52, wb_b = 95;// white balance, percent
    bool dark = false;           // shutter closed / dark frame: no light
    // telescope drift from guide pulses, in sensor pixels
    double drift_x = 0.0, drift_y = 0.0;
    // sensor temperature, degrees C: sets the dark current
    double sensor_temp_c = 20.0;
    // noise realisation: the random parts of a frame (shot and read noise,
    // per-frame pattern noise, cosmic rays) are a function of (noise_key,
    // frame_index, pixel), so two cameras or two frames never share noise
    uint64_t noise_key = 0;
    uint64_t frame_index = 0;
    // ADC resolution of this frame, 8..16 bits; 0 uses the model's bit depth
    int32_t adc_bits = 0;
    // optional dark frame to subtract (8-bit, full sensor, row-major, top row first)
    const uint8_t *dark_frame = nullptr;
};

// Bytes of one frame for the request's ROI and image type.
size_t frame_bytes(const FrameRequest &req);

// Writes min(frame_bytes(req), size) bytes of the frame into dst.
void render_frame(const FrameRequest &req, uint8_t *dst, size_t size);

} // namespace orxsim
