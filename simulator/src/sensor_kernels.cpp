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

uint64_t splitmix64(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniform01(uint64_t &state) // (0, 1]
{
    return (double((splitmix64(state) >> 11)) + 1.0) * (1.0 / 9007199254740992.0);
}

std::vector<int8_t> make_noise_table()
{
    std::vector<int8_t> t(kNoiseSize + kNoisePad);
    uint64_t state = 0x5EED0F5E9503ull;
    const double two_pi = 6.283185307179586;
    for (size_t i = 0; i < kNoiseSize; i += 2) {
        // Box-Muller: two independent deviates per pair of uniforms
        const double r = std::sqrt(-2.0 * std::log(uniform01(state)));
        const double a = two_pi * uniform01(state);
        const double g[2] = {r * std::cos(a), r * std::sin(a)};
        for (int j = 0; j < 2; ++j) {
            const double q = std::nearbyint(g[j] * kNoiseUnit);
            t[i + j] = int8_t(std::max(-127.0, std::min(127.0, q)));
        }
    }
    std::memcpy(t.data() + kNoiseSize, t.data(), kNoisePad);
    return t;
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

inline float convert_one(float e, int8_t nz, float k, const uint8_t *dark, size_t i,
                         const ConvParams &p)
{
    const float s = e < p.full_well ? e : p.full_well;
    const float noise = float(nz) * (1.0f / kNoiseUnit);
    float v = clampf(p.bias + k * (s + std::sqrt(p.read_var + s) * noise), 0.0f, p.full_scale);
    if (dark) {
        v -= float(dark[i]) * p.dark_scale;
        v = v < 0.0f ? 0.0f : v;
    }
    return v;
}

#if defined(__SSE2__)
// 16 photosites at once; out[q] receives the four float results of lanes 4q..4q+3.
template <bool Dark>
inline void convert16(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                      const ConvParams &p, __m128 out[4])
{
    const __m128 fw = _mm_set1_ps(p.full_well);
    const __m128 rv = _mm_set1_ps(p.read_var);
    const __m128 unit = _mm_set1_ps(1.0f / kNoiseUnit);
    const __m128 bias = _mm_set1_ps(p.bias);
    const __m128 full = _mm_set1_ps(p.full_scale);
    const __m128 zero = _mm_setzero_ps();

    const __m128i nb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(noise));
    const __m128i n16lo = _mm_srai_epi16(_mm_unpacklo_epi8(nb, nb), 8);
    const __m128i n16hi = _mm_srai_epi16(_mm_unpackhi_epi8(nb, nb), 8);
    __m128i n32[4] = {_mm_srai_epi32(_mm_unpacklo_epi16(n16lo, n16lo), 16),
                      _mm_srai_epi32(_mm_unpackhi_epi16(n16lo, n16lo), 16),
                      _mm_srai_epi32(_mm_unpacklo_epi16(n16hi, n16hi), 16),
                      _mm_srai_epi32(_mm_unpackhi_epi16(n16hi, n16hi), 16)};
    __m128i d32[4];
    if (Dark) {
        const __m128i z = _mm_setzero_si128();
        const __m128i db = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dark));
        const __m128i d16lo = _mm_unpacklo_epi8(db, z), d16hi = _mm_unpackhi_epi8(db, z);
        d32[0] = _mm_unpacklo_epi16(d16lo, z);
        d32[1] = _mm_unpackhi_epi16(d16lo, z);
        d32[2] = _mm_unpacklo_epi16(d16hi, z);
        d32[3] = _mm_unpackhi_epi16(d16hi, z);
    }
    for (int q = 0; q < 4; ++q) {
        const __m128 s = _mm_min_ps(_mm_loadu_ps(e + 4 * q), fw);
        const __m128 sig = _mm_sqrt_ps(_mm_add_ps(rv, s));
        const __m128 nz = _mm_mul_ps(_mm_cvtepi32_ps(n32[q]), unit);
        __m128 v = _mm_add_ps(s, _mm_mul_ps(sig, nz));
        v = _mm_add_ps(bias, _mm_mul_ps(_mm_loadu_ps(k + 4 * q), v));
        v = _mm_min_ps(_mm_max_ps(v, zero), full);
        if (Dark) {
            const __m128 ds = _mm_set1_ps(p.dark_scale);
            v = _mm_max_ps(_mm_sub_ps(v, _mm_mul_ps(_mm_cvtepi32_ps(d32[q]), ds)), zero);
        }
        out[q] = v;
    }
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
size_t convert_f_simd(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                      size_t n, const ConvParams &p, float *out)
{
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128 v[4];
        convert16<Dark>(e + i, noise + i, k + i, Dark ? dark + i : nullptr, p, v);
        for (int q = 0; q < 4; ++q)
            _mm_storeu_ps(out + i + 4 * q, v[q]);
    }
    return i;
}

template <bool Dark>
size_t convert_u16_simd(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                        size_t n, const ConvParams &p, uint16_t *out)
{
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128 v[4];
        convert16<Dark>(e + i, noise + i, k + i, Dark ? dark + i : nullptr, p, v);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), round_pack_u16(v[0], v[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i + 8), round_pack_u16(v[2], v[3]));
    }
    return i;
}
#endif

} // namespace

const int8_t *noise_table()
{
    static const std::vector<int8_t> *table = new std::vector<int8_t>(make_noise_table()); // immortal: read at exit
    return table->data();
}

const uint8_t *gamma_curve(int gamma)
{
    if (gamma == 50)
        return nullptr;
    static const GammaCurves *curves = new GammaCurves(); // immortal: read at exit
    return curves->lut[std::max(1, std::min(100, gamma))];
}

void convert_row_f(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                   size_t n, const ConvParams &p, float *out)
{
    size_t i = 0;
#if defined(__SSE2__)
    i = dark ? convert_f_simd<true>(e, noise, k, dark, n, p, out)
             : convert_f_simd<false>(e, noise, k, dark, n, p, out);
#endif
    for (; i < n; ++i)
        out[i] = convert_one(e[i], noise[i], k[i], dark, i, p);
}

void convert_row_u16(const float *e, const int8_t *noise, const float *k, const uint8_t *dark,
                     size_t n, const ConvParams &p, uint16_t *out)
{
    size_t i = 0;
#if defined(__SSE2__)
    i = dark ? convert_u16_simd<true>(e, noise, k, dark, n, p, out)
             : convert_u16_simd<false>(e, noise, k, dark, n, p, out);
#endif
    for (; i < n; ++i)
        out[i] = uint16_t(convert_one(e[i], noise[i], k[i], dark, i, p) + 0.5f);
}

void pack_raw16(const uint16_t *m, size_t w, int shift_left, bool mirror, uint8_t *dst)
{
    // little-endian byte order whatever the host's
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
