// sensor_kernels.hpp - the per-pixel inner loops of the frame renderer.
//
// Everything here works on one row at a time and allocates nothing. The one
// process-wide table (gamma curves) is built on first use, read-only
// afterwards and never destroyed, so any number of threads may call these at
// once, even while the process exits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orxsim {
namespace kern {

// ---- noise -----------------------------------------------------------------
// Standard normal deviates from a counter-based generator: deviate j of stream
// `key` depends on (key, j) alone, so any part of any stream can be drawn on
// its own, in any order, by any thread. Each 64-bit draw (one 128-bit
// multiply of a Weyl sequence) gives two deviates; each deviate is the sum of
// four uniform bytes, shaped by a cubic to the normal's variance and kurtosis;
// beyond 3.1 sigma a tail drawn apart, a little heavier than the normal's
// and without end (beyond 3 sigma 0.9 of the normal's mass, beyond 4.5 and 5
// sigma about the normal's).
// Writes deviates first .. first + n - 1 of stream key into out.
void normal_deviates(uint64_t key, uint64_t first, size_t n, float *out);
// Deviate j of stream key alone (equal to what normal_deviates writes).
float normal_deviate(uint64_t key, uint64_t j);

// A 64-bit mixing function (bijective) for deriving stream keys.
inline uint64_t mix64(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The 128-bit product a * b folded to 64 bits: its high half xor its low
// half. The generator's every draw; the same bits with or without a 128-bit
// integer type (mul_fold_halves is the form without it).
inline uint64_t mul_fold_halves(uint64_t a, uint64_t b)
{
    const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    const uint64_t hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
    return hi ^ (a * b);
}

inline uint64_t mul_fold(uint64_t a, uint64_t b)
{
#if defined(__SIZEOF_INT128__) && !defined(ORXSIM_PLAIN_LOOPS)
    const unsigned __int128 t = (unsigned __int128)a * b;
    return uint64_t(t >> 64) ^ uint64_t(t);
#else
    return mul_fold_halves(a, b);
#endif
}

// ---- photosite conversion ----------------------------------------------------
struct ConvParams {
    float full_well;   // electrons
    float read_var;    // read noise variance, electrons^2
    float bias;        // ADU
    float full_scale;  // largest ADC value
    float dark_scale;  // ADU per step of the 8-bit dark frame
};

// One row's inputs, per photosite i: electrons e[i], a standard normal
// deviate noise[i], electrons-to-ADU factor k[i] (gain and white balance of
// the photosite's colour), readout offset off[i] + row_off in electrons
// (pattern noise: no shot noise), optional 8-bit dark frame values dark[i].
struct RowIn {
    const float *e, *noise, *k, *off;
    const uint8_t *dark;
    float row_off;
};

// For each photosite i of a row:
//   s = min(e[i], full_well)
//   v = clamp(bias + k[i] * (s + off[i] + row_off + sqrt(read_var + s) * noise[i]), 0, full_scale)
//   v = max(v - dark[i] * dark_scale, 0)            (when dark != nullptr)
// Writes floats (for binning) or rounded uint16 values.
void convert_row_f(const RowIn &in, size_t n, const ConvParams &p, float *out);
void convert_row_u16(const RowIn &in, size_t n, const ConvParams &p, uint16_t *out);

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
