// sensor_kernels.cpp - the per-pixel inner loops of the frame renderer.
#include "sensor_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orxsim {
namespace kern {

namespace {

// ---- counter-based normal deviates ----
constexpr uint64_t kWeyl = 0xA0761D6478BD642Full;
constexpr uint64_t kMixK = 0xE7037ED1A0B428DBull;

// 64 random bits for counter c of stream key: a function of the Weyl
// sequence value s = key + c * kWeyl
inline uint64_t draw_at(uint64_t s)
{
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 t = (unsigned __int128)s * (s ^ kMixK);
    return uint64_t(t >> 64) ^ uint64_t(t);
#else
    return mix64(s ^ kMixK);
#endif
}

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

inline float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline float convert_one(const RowIn &in, size_t i, const ConvParams &p)
{
    const float s = in.e[i] < p.full_well ? in.e[i] : p.full_well;
    float v = clampf(p.bias + in.k[i] * (s + in.off[i] + in.row_off + std::sqrt(p.read_var + s) * in.noise[i]),
                     0.0f, p.full_scale);
    if (in.dark) {
        v -= float(in.dark[i]) * p.dark_scale;
        v = v < 0.0f ? 0.0f : v;
    }
    return v;
}

#if defined(__SSE2__)
// The row's inputs and the parameters as registers: vector stores may alias
// anything, so nothing is read through a pointer inside the loops.
struct Lanes {
    const float *e, *noise, *k, *off;
    const uint8_t *dark;
    __m128 full_well, read_var, row_off, bias, full_scale, dark_scale;
    Lanes(const RowIn &in, const ConvParams &p)
        : e(in.e), noise(in.noise), k(in.k), off(in.off), dark(in.dark), full_well(_mm_set1_ps(p.full_well)),
          read_var(_mm_set1_ps(p.read_var)), row_off(_mm_set1_ps(in.row_off)), bias(_mm_set1_ps(p.bias)),
          full_scale(_mm_set1_ps(p.full_scale)), dark_scale(_mm_set1_ps(p.dark_scale))
    {
    }
};

// four photosites from i on
template <bool Dark>
inline __m128 convert4(const Lanes &l, size_t i)
{
    const __m128 s = _mm_min_ps(_mm_loadu_ps(l.e + i), l.full_well);
    const __m128 sig = _mm_sqrt_ps(_mm_add_ps(l.read_var, s));
    const __m128 off = _mm_add_ps(_mm_loadu_ps(l.off + i), l.row_off);
    __m128 v = _mm_add_ps(_mm_add_ps(s, off), _mm_mul_ps(sig, _mm_loadu_ps(l.noise + i)));
    v = _mm_add_ps(l.bias, _mm_mul_ps(_mm_loadu_ps(l.k + i), v));
    const __m128 zero = _mm_setzero_ps();
    v = _mm_min_ps(_mm_max_ps(v, zero), l.full_scale);
    if (Dark) {
        int32_t d[4];
        for (int q = 0; q < 4; ++q)
            d[q] = l.dark[i + size_t(q)];
        const __m128 ds = _mm_mul_ps(_mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(d))),
                                     l.dark_scale);
        v = _mm_max_ps(_mm_sub_ps(v, ds), zero);
    }
    return v;
}

// rounds four floats in [0, 65535] and packs eight of them into uint16
inline __m128i round_pack_u16(__m128 a, __m128 b)
{
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128i bias = _mm_set1_epi32(32768);
    const __m128i ia = _mm_sub_epi32(_mm_cvttps_epi32(_mm_add_ps(a, half)), bias);
    const __m128i ib = _mm_sub_epi32(_mm_cvttps_epi32(_mm_add_ps(b, half)), bias);
    return _mm_xor_si128(_mm_packs_epi32(ia, ib), _mm_set1_epi16(int16_t(0x8000)));
}

template <bool Dark>
size_t convert_f_simd(const RowIn &in, size_t n, const ConvParams &p, float *out)
{
    const Lanes l(in, p);
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        _mm_storeu_ps(out + i, convert4<Dark>(l, i));
    return i;
}

template <bool Dark>
size_t convert_u16_simd(const RowIn &in, size_t n, const ConvParams &p, uint16_t *out)
{
    const Lanes l(in, p);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128 a = convert4<Dark>(l, i), b = convert4<Dark>(l, i + 4);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), round_pack_u16(a, b));
    }
    return i;
}
#endif

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
#if defined(__SSE2__)
    // two draws (four deviates) at a time: byte pairs summed in 16-bit lanes,
    // then pairs of those in 32-bit lanes
    const __m128i lo_bytes = _mm_set1_epi16(0x00FF);
    const __m128i ones = _mm_set1_epi16(1);
    const __m128 centre = _mm_set1_ps(510.0f), ka = _mm_set1_ps(kShapeA), kb = _mm_set1_ps(kShapeB);
    const __m128 tail_c = _mm_set1_ps(kTailC), sign = _mm_set1_ps(-0.0f);
    for (; i + 4 <= n; i += 4, s += 2 * kWeyl) {
        const uint64_t d0 = draw_at(s), d1 = draw_at(s + kWeyl);
        const __m128i w = _mm_set_epi64x(int64_t(d1), int64_t(d0));
        const __m128i pairs = _mm_add_epi16(_mm_and_si128(w, lo_bytes), _mm_srli_epi16(w, 8));
        const __m128 cc = _mm_sub_ps(_mm_cvtepi32_ps(_mm_madd_epi16(pairs, ones)), centre);
        _mm_storeu_ps(out + i, _mm_mul_ps(cc, _mm_add_ps(ka, _mm_mul_ps(kb, _mm_mul_ps(cc, cc)))));
        const int far = _mm_movemask_ps(_mm_cmpge_ps(_mm_andnot_ps(sign, cc), tail_c));
        if (far) { // rare: the tails, one by one
            const uint32_t words[4] = {uint32_t(d0), uint32_t(d0 >> 32), uint32_t(d1), uint32_t(d1 >> 32)};
            for (int q = 0; q < 4; ++q)
                if (far & (1 << q))
                    out[i + size_t(q)] = shape(words[q]);
        }
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
    size_t i = 0;
#if defined(__SSE2__)
    i = in.dark ? convert_f_simd<true>(in, n, p, out) : convert_f_simd<false>(in, n, p, out);
#endif
    for (; i < n; ++i)
        out[i] = convert_one(in, i, p);
}

void convert_row_u16(const RowIn &in, size_t n, const ConvParams &p, uint16_t *out)
{
    size_t i = 0;
#if defined(__SSE2__)
    i = in.dark ? convert_u16_simd<true>(in, n, p, out) : convert_u16_simd<false>(in, n, p, out);
#endif
    for (; i < n; ++i)
        out[i] = uint16_t(convert_one(in, i, p) + 0.5f);
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
