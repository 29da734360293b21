// sensor_kernels.cpp - the per-pixel inner loops of the frame renderer.
#include "sensor_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace orxsim {
namespace kern {

namespace {

// ---- counter-based normal deviates ----
constexpr uint64_t kWeyl = 0xA0761D6478BD642Full;
constexpr uint64_t kMixK = 0xE7037ED1A0B428DBull;

// 64 random bits for counter c of stream key: a function of the Weyl
// sequence value s = key + c * kWeyl (the two halves of the 128-bit product
// s * (s ^ kMixK), xored)
inline uint64_t draw_at(uint64_t s) { return mul_fold(s, s ^ kMixK); }

inline uint64_t draw(uint64_t key, uint64_t c) { return draw_at(key + c * kWeyl); }

// The sum S of four uniform bytes has mean 510 and variance 21845; with
// c = S - 510, c * (kShapeA + kShapeB * c^2) has unit variance and the
// normal's kurtosis.
constexpr float kShapeA = float(0.9490332780957844 / 147.80054127);
constexpr float kShapeB = float(0.9490332780957844 * 0.019643549842651348 /
                                (147.80054127 * 147.80054127 * 147.80054127));

// The sum ends at 4.04 sigma; beyond |c| = kTailC (3.1 sigma, 0.13 % of the
// draws) the deviate is drawn anew from x exp(-x^2 / 2) above that point:
// Gaussian tails, slightly heavier, without end. The word's own bits, mixed,
// pick where.
constexpr float kTailC = 420.0f;
constexpr float kTailX = kTailC * (kShapeA + kShapeB * kTailC * kTailC);

inline float tail(uint32_t w, float c)
{
    const double u = (double(mix64(w ^ 0x7A11D3A7ull) >> 11) + 0.5) * (1.0 / 9007199254740992.0);
    const float x = float(std::sqrt(double(kTailX) * kTailX - 2.0 * std::log(u)));
    return c < 0 ? -x : x;
}

inline float shape(uint32_t w)
{
    const uint32_t pairs = (w & 0x00FF00FFu) + ((w >> 8) & 0x00FF00FFu);
    const float c = float(int32_t((pairs & 0xFFFFu) + (pairs >> 16)) - 510);
    if (std::fabs(c) >= kTailC)
        return tail(w, c);
    return c * (kShapeA + kShapeB * (c * c));
}

struct GammaCurves {
    uint8_t lut[101][256];
    GammaCurves()
    {
        for (int g = 1; g <= 100; ++g) {
            // exponent 50/g: 50 is linear, larger values lift the shadows
            const double ex = 50.0 / g;
            for (int v = 0; v < 256; ++v) {
                const double y = 255.0 * std::pow(v / 255.0, ex);
                lut[g][v] = uint8_t(std::min(255.0, std::floor(y + 0.5)));
            }
        }
    }
};

// Each loop below is written so the compiler vectorises it for the target
// (SSE2, NEON) with the arithmetic of its scalar form: the same operations
// in the same order, nothing fused or approximated, so every target and
// every build renders the same bits.
template <bool Dark>
void convert_f(const RowIn &in, size_t n, const ConvParams &p, float *__restrict out)
{
    const float *__restrict e = in.e;
    const float *__restrict noise = in.noise;
    const float *__restrict k = in.k;
    const float *__restrict off = in.off;
    const uint8_t *__restrict dark = in.dark;
    const float full_well = p.full_well, read_var = p.read_var, bias = p.bias, full_scale = p.full_scale,
                dark_scale = p.dark_scale, row_off = in.row_off;
    for (size_t i = 0; i < n; ++i) {
        const float s = e[i] < full_well ? e[i] : full_well;
        const float sig = std::sqrt(read_var + s);
        float v = bias + k[i] * ((s + (off[i] + row_off)) + sig * noise[i]);
        v = v > 0.0f ? v : 0.0f;
        v = v < full_scale ? v : full_scale;
        if (Dark) {
            v = v - float(int32_t(dark[i])) * dark_scale;
            v = v > 0.0f ? v : 0.0f;
        }
        out[i] = v;
    }
}

// the rows in blocks small enough for the stack, converted to float, then rounded
template <bool Dark>
void convert_u16(const RowIn &in, size_t n, const ConvParams &p, uint16_t *__restrict out)
{
    constexpr size_t kBlock = 256;
    float f[kBlock];
    RowIn part = in;
    for (size_t at = 0; at < n; at += kBlock) {
        const size_t m = std::min(kBlock, n - at);
        part.e = in.e + at;
        part.noise = in.noise + at;
        part.k = in.k + at;
        part.off = in.off + at;
        part.dark = in.dark ? in.dark + at : nullptr;
        convert_f<Dark>(part, m, p, f);
        uint16_t *__restrict o = out + at;
        for (size_t i = 0; i < m; ++i) // values in [0, 65535]: + 0.5 and truncation round them
            o[i] = uint16_t(int32_t(f[i] + 0.5f));
    }
}

} // namespace

float normal_deviate(uint64_t key, uint64_t j)
{
    return shape(uint32_t(draw(key, j >> 1) >> (32 * (j & 1))));
}

void normal_deviates(uint64_t key, uint64_t first, size_t n, float *out)
{
    if (n == 0)
        return;
    size_t i = 0;
    if (first & 1) // the odd half of a draw first
        out[i++] = normal_deviate(key, first);
    uint64_t s = key + ((first + i) >> 1) * kWeyl;
#if defined(__GNUC__) && !defined(ORXSIM_PLAIN_LOOPS)
    // two draws (four deviates) at a time in the compiler's 16-byte vectors
    // (SSE2, NEON): the arithmetic of shape(), lane by lane
    typedef uint32_t U4 __attribute__((vector_size(16)));
    typedef int32_t I4 __attribute__((vector_size(16)));
    typedef float F4 __attribute__((vector_size(16)));
    typedef uint64_t U2 __attribute__((vector_size(16)));
    for (; i + 4 <= n; i += 4, s += 2 * kWeyl) {
        const uint64_t d0 = draw_at(s), d1 = draw_at(s + kWeyl);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const U2 draws = {d0, d1};
        const U4 w = U4(draws); // the words low half first, as below
#else
        const U4 w = {uint32_t(d0), uint32_t(d0 >> 32), uint32_t(d1), uint32_t(d1 >> 32)};
#endif
        const U4 pairs = (w & 0x00FF00FFu) + ((w >> 8) & 0x00FF00FFu);
        const F4 c = __builtin_convertvector(I4((pairs & 0xFFFFu) + (pairs >> 16)) - 510, F4);
        const F4 c2 = c * c; // exact: |c| <= 510
        const F4 v = c * (kShapeA + kShapeB * c2);
        std::memcpy(out + i, &v, sizeof v);
        const I4 far = c2 >= kTailC * kTailC;
        uint64_t any[2];
        std::memcpy(any, &far, sizeof any);
        if (any[0] | any[1]) { // rare: the tails, one by one
            for (int q = 0; q < 4; ++q)
                if (far[q])
                    out[i + size_t(q)] = shape(w[q]);
        }
    }
#else
    // blocks of draws: the multiplies one by one, then the shaping of the
    // words in a loop a compiler can vectorise, then the rare tails (about
    // 4 % of the blocks hold one) one by one
    constexpr size_t kDraws = 16, kWords = 2 * kDraws;
    uint32_t words[kWords];
    for (; i + kWords <= n; i += kWords) {
        for (size_t q = 0; q < kDraws; ++q, s += kWeyl) {
            const uint64_t d = draw_at(s);
            words[2 * q] = uint32_t(d);
            words[2 * q + 1] = uint32_t(d >> 32);
        }
        float *o = out + i;
        int far = 0;
        for (size_t q = 0; q < kWords; ++q) {
            const uint32_t w = words[q];
            const uint32_t pairs = (w & 0x00FF00FFu) + ((w >> 8) & 0x00FF00FFu);
            const float c = float(int32_t((pairs & 0xFFFFu) + (pairs >> 16)) - 510);
            const float c2 = c * c;
            o[q] = c * (kShapeA + kShapeB * c2);
            far |= int(c2 >= kTailC * kTailC);
        }
        if (far)
            for (size_t q = 0; q < kWords; ++q)
                o[q] = shape(words[q]);
    }
#endif
    for (; i + 2 <= n; i += 2, s += kWeyl) {
        const uint64_t w = draw_at(s);
        out[i] = shape(uint32_t(w));
        out[i + 1] = shape(uint32_t(w >> 32));
    }
    if (i < n)
        out[i] = shape(uint32_t(draw_at(s)));
}

const uint8_t *gamma_curve(int gamma)
{
    if (gamma == 50)
        return nullptr;
    static const GammaCurves &curves = *new GammaCurves; // never destroyed: threads may render at exit
    return curves.lut[std::max(1, std::min(100, gamma))];
}

void convert_row_f(const RowIn &in, size_t n, const ConvParams &p, float *out)
{
    if (in.dark)
        convert_f<true>(in, n, p, out);
    else
        convert_f<false>(in, n, p, out);
}

void convert_row_u16(const RowIn &in, size_t n, const ConvParams &p, uint16_t *out)
{
    if (in.dark)
        convert_u16<true>(in, n, p, out);
    else
        convert_u16<false>(in, n, p, out);
}

void pack_raw16(const uint16_t *m, size_t w, int shift_left, bool mirror, uint8_t *dst)
{
    // little-endian byte order whatever the host's
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (!mirror) {
        for (size_t x = 0; x < w; ++x) {
            const uint16_t v = uint16_t(m[x] << shift_left);
            std::memcpy(dst + 2 * x, &v, 2);
        }
        return;
    }
#endif
    if (!mirror) {
        for (size_t x = 0; x < w; ++x) {
            const unsigned v = unsigned(m[x]) << shift_left;
            dst[2 * x] = uint8_t(v);
            dst[2 * x + 1] = uint8_t(v >> 8);
        }
    } else {
        for (size_t x = 0; x < w; ++x) {
            const unsigned v = unsigned(m[w - 1 - x]) << shift_left;
            dst[2 * x] = uint8_t(v);
            dst[2 * x + 1] = uint8_t(v >> 8);
        }
    }
}

void pack_raw8(const uint16_t *m, size_t w, int shift_right, bool mirror, uint8_t *dst)
{
    if (!mirror) {
        for (size_t x = 0; x < w; ++x)
            dst[x] = uint8_t(m[x] >> shift_right);
    } else {
        for (size_t x = 0; x < w; ++x)
            dst[x] = uint8_t(m[w - 1 - x] >> shift_right);
    }
}

void pack_y8(const uint16_t *m, size_t w, int shift_right, const uint8_t *curve, bool mirror,
             uint8_t *dst)
{
    if (!curve) {
        pack_raw8(m, w, shift_right, mirror, dst);
        return;
    }
    for (size_t x = 0; x < w; ++x)
        dst[mirror ? w - 1 - x : x] = curve[m[x] >> shift_right];
}

void pack_grey_bgr(const uint16_t *m, size_t w, int shift_right, const uint8_t *curve, bool mirror,
                   uint8_t *dst)
{
    for (size_t x = 0; x < w; ++x) {
        const unsigned b = m[x] >> shift_right;
        const uint8_t g = curve ? curve[b] : uint8_t(b);
        uint8_t *o = dst + 3 * (mirror ? w - 1 - x : x);
        o[0] = o[1] = o[2] = g;
    }
}

namespace {

// Colour triples (R, G, B) of the demosaic window, in ADC units. `row_c` is the
// colour (R or B) that shares the middle row with green.
inline void at_green(const Demosaic &d, size_t x, int row_c, unsigned rgb[3])
{
    rgb[1] = d.mid[x];
    rgb[row_c] = (unsigned(d.mid[x - 1]) + d.mid[x + 1] + 1) >> 1;
    rgb[2 - row_c] = (unsigned(d.up[x]) + d.down[x] + 1) >> 1;
}

inline void at_colour(const Demosaic &d, size_t x, int c, unsigned rgb[3])
{
    rgb[c] = d.mid[x];
    rgb[1] = (unsigned(d.mid[x - 1]) + d.mid[x + 1] + d.up[x] + d.down[x] + 2) >> 2;
    rgb[2 - c] = (unsigned(d.up[x - 1]) + d.up[x + 1] + d.down[x - 1] + d.down[x + 1] + 2) >> 2;
}

// Calls put(x, rgb) for every column, two columns (one green) per step.
template <class Put>
inline void demosaic_row(const Demosaic &d, Put &&put)
{
    const bool green_first = d.chan0 == 1;
    const int row_c = green_first ? d.chan1 : d.chan0;
    unsigned a[3], b[3];
    size_t x = 0;
    if (green_first) {
        for (; x + 1 < d.w; x += 2) {
            at_green(d, x, row_c, a);
            at_colour(d, x + 1, row_c, b);
            put(x, a);
            put(x + 1, b);
        }
        if (x < d.w) { at_green(d, x, row_c, a); put(x, a); }
    } else {
        for (; x + 1 < d.w; x += 2) {
            at_colour(d, x, row_c, a);
            at_green(d, x + 1, row_c, b);
            put(x, a);
            put(x + 1, b);
        }
        if (x < d.w) { at_colour(d, x, row_c, a); put(x, a); }
    }
}

inline uint8_t to8(unsigned v, int shift, const uint8_t *curve)
{
    const unsigned b = v >> shift;
    return curve ? curve[b] : uint8_t(b);
}

} // namespace

void demosaic_bgr(const Demosaic &d, uint8_t *dst)
{
    const int sh = d.shift_right;
    const uint8_t *curve = d.curve;
    demosaic_row(d, [&](size_t x, const unsigned rgb[3]) {
        uint8_t *o = dst + 3 * (d.mirror ? d.w - 1 - x : x);
        o[0] = to8(rgb[2], sh, curve);
        o[1] = to8(rgb[1], sh, curve);
        o[2] = to8(rgb[0], sh, curve);
    });
}

void demosaic_luma(const Demosaic &d, uint8_t *dst)
{
    const int sh = d.shift_right;
    const uint8_t *curve = d.curve;
    demosaic_row(d, [&](size_t x, const unsigned rgb[3]) {
        const unsigned y = (77 * rgb[0] + 150 * rgb[1] + 29 * rgb[2] + 128) >> 8;
        dst[d.mirror ? d.w - 1 - x : x] = to8(y, sh, curve);
    });
}

} // namespace kern
} // namespace orxsim
