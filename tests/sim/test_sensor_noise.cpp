// test_sensor_noise.cpp - the renderer's noise, measured on rendered frames
// and on the generator: normal deviates, no repeated pixel runs, no
// correlation between neighbours, frames or cameras, and row and column
// pattern noise with its fixed and per-frame parts. Run by test_sensor.cpp's
// main.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "sensor_check.hpp"
#include "sensor_kernels.hpp"

namespace sensor_check {

namespace {

// ---- noise ---------------------------------------------------------------------------

void test_deviates()
{
    // any stretch of a stream, from an odd or even start, is the stream itself
    for (uint64_t first : {uint64_t(0), uint64_t(1), uint64_t(6247), uint64_t(1) << 40}) {
        for (size_t n : {size_t(1), size_t(2), size_t(7), size_t(64), size_t(1001)}) {
            std::vector<float> bulk(n);
            kern::normal_deviates(0xABCDEFull, first, n, bulk.data());
            size_t off = 0;
            for (size_t i = 0; i < n; ++i)
                off += bulk[i] != kern::normal_deviate(0xABCDEFull, first + i);
            CHECK(off == 0, "from %llu, %zu deviates: %zu differ from the stream", (unsigned long long)first, n, off);
        }
    }
#if defined(__SIZEOF_INT128__)
    // the draw's folded 128-bit product is the same without a 128-bit type:
    // carries out of every 32-bit partial product, extremes and a spread of words
    std::vector<uint64_t> words = {0, 1, 0xFFFFFFFFull, 0x100000000ull, ~0ull, ~0ull - 1, 0x8000000000000000ull,
                                   0xA0761D6478BD642Full, 0xE7037ED1A0B428DBull};
    for (uint64_t z = 1; words.size() < 4000;)
        words.push_back(z = kern::mix64(z));
    size_t wrong = 0;
    for (size_t i = 0; i < words.size(); ++i)
        for (size_t j : {i, words.size() - 1 - i, (i * 7 + 3) % words.size()}) {
            const unsigned __int128 t = (unsigned __int128)words[i] * words[j];
            wrong += kern::mul_fold_halves(words[i], words[j]) != (uint64_t(t >> 64) ^ uint64_t(t));
        }
    CHECK(wrong == 0, "128-bit product folded from 32-bit halves: %zu of %zu wrong", wrong, 3 * words.size());
#endif
    // moments and tails of a large sample
    const size_t n = size_t(1) << 22;
    std::vector<float> d(n);
    kern::normal_deviates(12345, 0, n, d.data());
    double s1 = 0, s2 = 0, s4 = 0;
    size_t beyond[4] = {0, 0, 0, 0};
    for (float x : d) {
        s1 += x;
        s2 += double(x) * x;
        s4 += double(x) * x * x * x;
        for (int k = 1; k <= 3; ++k)
            beyond[k] += std::fabs(x) > k;
    }
    const double m = s1 / n, var = s2 / n - m * m, kurt = (s4 / n) / (var * var);
    CHECK(std::fabs(m) < 0.003 && std::fabs(var - 1.0) < 0.005 && std::fabs(kurt - 3.0) < 0.05,
          "deviates: mean %.4f variance %.4f kurtosis %.3f", m, var, kurt);
    const double normal_tail[4] = {0, 0.3173, 0.0455, 0.0027};
    const double tol[4] = {0, 0.01, 0.004, 0.001};
    for (int k = 1; k <= 3; ++k)
        CHECK(std::fabs(double(beyond[k]) / n - normal_tail[k]) < tol[k], "deviates beyond %d sigma: %.4f, normal %.4f",
              k, double(beyond[k]) / n, normal_tail[k]);
    // far tails, as a sensor of 16 megapixels shows them: a normal's 114 beyond 4.5 sigma
    // and 9.6 beyond 5 (Poisson bounds at 3.5 sigma), nothing beyond 7
    const size_t big = size_t(1) << 24;
    std::vector<float> t(big);
    kern::normal_deviates(0x7A115ull, 3, big, t.data());
    size_t far45 = 0, far5 = 0, far7 = 0;
    for (float x : t) {
        far45 += std::fabs(x) > 4.5f;
        far5 += std::fabs(x) > 5.0f;
        far7 += std::fabs(x) > 7.0f;
    }
    CHECK(far45 >= 78 && far45 <= 160 && far5 >= 1 && far5 <= 25 && far7 == 0,
          "deviates beyond 4.5 / 5 / 7 sigma in 2^24: %zu / %zu / %zu (normal 114 / 9.6 / 0)", far45, far5, far7);
}

void test_no_repeated_windows()
{
    // a bias frame of 3 million pixels: no 32-pixel run appears twice
    SensorModel m = physics_model(2048, 1536);
    m.read_noise_e = 3.0;
    const FrameRequest rq = dark_request(m, 0.0);
    const Bytes b = render(rq);
    const size_t w = size_t(rq.width), win = 32;
    std::vector<uint64_t> keys;
    keys.reserve(size_t(rq.height) * (w - win + 1));
    for (size_t y = 0; y < size_t(rq.height); ++y) {
        const uint8_t *row = b.data() + y * w * 2;
        for (size_t x = 0; x + win <= w; ++x) {
            uint64_t h = 0x9E3779B97F4A7C15ull;
            for (size_t i = 0; i < win; ++i)
                h = (h ^ uint64_t(row[2 * (x + i)] | row[2 * (x + i) + 1] << 8)) * 0x100000001B3ull;
            keys.push_back(h);
        }
    }
    std::sort(keys.begin(), keys.end());
    const size_t repeats = size_t(std::distance(std::unique(keys.begin(), keys.end()), keys.end()));
    CHECK(repeats == 0, "%zu of %zu 32-pixel windows repeat", repeats, keys.size());
}

void test_noise_uncorrelated()
{
    SensorModel m = physics_model(1024, 768);
    m.read_noise_e = 10.0;
    FrameRequest a = dark_request(m, 0.0);
    a.noise_key = 1;
    a.frame_index = 5;
    FrameRequest next = a, other_camera = a;
    next.frame_index = 6;
    other_camera.noise_key = 2;
    const std::vector<double> va = values(a, render(a));
    // stuck hot pixels are the same in every frame; leave them out
    auto clean = [&](const std::vector<double> &v) {
        std::vector<double> out(v);
        const double med = median(v);
        for (double &x : out)
            x = std::min(x, med + 8.0 * m.read_noise_e);
        return out;
    };
    const std::vector<double> ca = clean(va);
    const double sigma_a = stddev(ca);
    const double limit = 5.0 / std::sqrt(double(va.size()));
    const struct { const char *what; FrameRequest rq; } pairs[] = {{"next frame", next}, {"other camera", other_camera}};
    for (const auto &p : pairs) {
        const double r = correlation(ca, clean(values(p.rq, render(p.rq))));
        CHECK(std::fabs(r) < limit, "%s: correlation %.4f", p.what, r);
    }
    // neighbours within the frame
    std::vector<double> left, right, up, down;
    for (size_t y = 0; y + 1 < size_t(a.height); ++y)
        for (size_t x = 0; x + 1 < size_t(a.width); ++x) {
            left.push_back(ca[y * a.width + x]);
            right.push_back(ca[y * a.width + x + 1]);
            up.push_back(ca[y * a.width + x]);
            down.push_back(ca[(y + 1) * a.width + x]);
        }
    const double rx = correlation(left, right), ry = correlation(up, down);
    CHECK(std::fabs(rx) < limit && std::fabs(ry) < limit, "neighbour correlation %.4f (row) %.4f (column)", rx, ry);
    CHECK(std::fabs(sigma_a / m.read_noise_e - 1.0) < 0.05, "read noise %.2f e-, model %.1f", sigma_a,
          m.read_noise_e);
}

// ---- pattern noise --------------------------------------------------------------------

void test_pattern_noise()
{
    // one part at a time: the spread of row (or column) means, their
    // correlation between two frames, and the other direction's spread
    const struct { const char *name; double SensorModel::*part; bool rows, fixed; } parts[] = {
        {"fixed row", &SensorModel::row_fixed_e, true, true},
        {"per-frame row", &SensorModel::row_frame_e, true, false},
        {"fixed column", &SensorModel::col_fixed_e, false, true},
        {"per-frame column", &SensorModel::col_frame_e, false, false},
    };
    const int32_t w = 1024, h = 768;
    for (const auto &p : parts) {
        SensorModel m = physics_model(w, h);
        m.*(p.part) = 3.0;
        FrameRequest rq = dark_request(m, 0.0);
        std::vector<double> means[2][2]; // frame, direction (0 rows, 1 columns)
        for (int f = 0; f < 2; ++f) {
            rq.frame_index = uint64_t(f + 1);
            const std::vector<double> v = values(rq, render(rq));
            means[f][0].assign(size_t(h), 0.0);
            means[f][1].assign(size_t(w), 0.0);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    const double q = std::min(v[size_t(y) * w + x], bias_of(rq) + 50.0); // no hot pixels
                    means[f][0][size_t(y)] += q / w;
                    means[f][1][size_t(x)] += q / h;
                }
        }
        const int dir = p.rows ? 0 : 1;
        const double spread = stddev(means[0][dir]), across = stddev(means[0][1 - dir]);
        const double r = correlation(means[0][dir], means[1][dir]);
        CHECK(std::fabs(spread / 3.0 - 1.0) < 0.15, "%s pattern: spread %.2f e-, model 3", p.name, spread);
        CHECK(across < 0.5, "%s pattern: %.2f e- spread the other way", p.name, across);
        CHECK(p.fixed ? r > 0.95 : std::fabs(r) < 0.2, "%s pattern: correlation %.3f between frames", p.name, r);
    }
}

} // namespace

void run_noise_checks()
{
    test_deviates();
    test_no_repeated_windows();
    test_noise_uncorrelated();
    test_pattern_noise();
}

} // namespace sensor_check
