// sensor_kernels.hpp - the per-pixel inner loops of the frame renderer.
//
// Everything here works on one row at a time and allocates nothing. The
// process-wide tables (noise deviates, gamma curves) are built on first use
// and read-only afterwards, so any number of threads may call these at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orxsim {
namespace kern {

// ---- noise -----------------------------------------------------------------
// A table of standard normal deviates stored as int8 in units of 1/kNoiseUnit
// (so +-6.35 sigma). kNoiseSize entries plus kNoisePad entries that repeat the
// start, so any offset in [0, kNoiseSize) can be read for kNoisePad entries
// without wrapping.
constexpr int kNoiseUnit = 20;
constexpr size_t kNoiseSize = size_t(1) << 21;
constexpr size_t kNoisePad = size_t(1) << 16;
const int8_t *noise_table();

// ---- photosite conversion ----------------------------------------------------
struct ConvParams {
    float full_well;   // electrons
    float read_var;    // read noise variance, electrons^2
    float bias;        // ADU
    float full_scale;  // largest ADC value
    float dark_scale;  // ADU per step of the 8-bit dark frame
};

// For each photosite i of a row:
//   s = min(e[i], full_well)
//   v = clamp(bias + k[i] * (s + sqrt(read_var + s) * noise[i]), 0, full_scale)
//   v = max(v - dark[i] * dark_scale, 0)            (when dark != nullptr)
// k[i] converts electrons to ADU (gain and white balance of the photosite's
// colour). Writes floats (for binning) or rounded uint16 values.
void convert_row_f(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                   size_t n, const ConvParams &p, float *out);
void convert_row_u16(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                     size_t n, const ConvParams &p, uint16_t *out);

// ---- output rows ---------------------------------------------------------------
// ADC values -> output bytes of one row; `mirror` writes the row right to left.
void pack_raw16(const uint16_t *m, size_t w, int shift_left, bool mirror, uint8_t *dst);
void pack_raw8(const uint16_t *m, size_t w, int shift_right, bool mirror, uint8_t *dst);
// 8-bit value through a 256-entry curve (nullptr: identity).
void pack_y8(const uint16_t *m, size_t w, int shift_right, const uint8_t *curve, bool mirror,
             uint8_t *dst);

// Grey B,G,R triplets (mono sensors asked for RGB24).
void pack_grey_bgr(const uint16_t *m, size_t w, int shift_right, const uint8_t *curve, bool mirror,
                   uint8_t *dst);

// Bilinear demosaic of one row. up/mid/down are the mosaic rows above, at and
// below, each with one reflected column on either side (index -1 and w are
// valid). chan0/chan1: colour (0 R, 1 G, 2 B) of even/odd columns of `mid`.
// Writes w pixels as B,G,R bytes (rgb) or as luminance bytes (luma).
struct Demosaic {
    const uint16_t *up, *mid, *down;
    size_t w;
    int chan0, chan1;
    int shift_right;       // ADC value -> 8 bits
    const uint8_t *curve;  // gamma curve or nullptr
    bool mirror;
};
void demosaic_bgr(const Demosaic &d, uint8_t *dst);
void demosaic_luma(const Demosaic &d, uint8_t *dst);

// 256-entry tone curve for gamma 1..100 (50 = identity; nullptr for 50).
const uint8_t *gamma_curve(int gamma);

} // namespace kern
} // namespace orxsim
