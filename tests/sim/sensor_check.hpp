// sensor_check.hpp - shared helpers of the renderer's checks (test_sensor*.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "ORXCamera2.h"
#include "sensor.hpp"

namespace sensor_check {

using namespace orxsim;

inline int g_failures = 0;

#define CHECK(cond, ...)                                                  \
    do {                                                                  \
        if (!(cond)) {                                                    \
            ++sensor_check::g_failures;                                   \
            std::printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond);   \
            std::printf(__VA_ARGS__);                                     \
            std::printf("\n");                                            \
        }                                                                 \
    } while (0)

using Bytes = std::vector<uint8_t>;

inline SensorModel make_model(bool color)
{
    SensorModel m;
    m.width = 640;
    m.height = 480;
    m.color = color;
    m.bayer = ORX_BAYER_RG;
    m.bit_depth = 12;
    return m;
}

inline FrameRequest make_request(const SensorModel &m, int32_t img_type, int64_t exposure_us)
{
    FrameRequest rq;
    rq.model = &m;
    rq.width = m.width;
    rq.height = m.height;
    rq.img_type = img_type;
    rq.exposure_us = exposure_us;
    rq.offset = 10;
    rq.frame_index = 7;
    return rq;
}

inline Bytes render(const FrameRequest &rq)
{
    Bytes b(frame_bytes(rq));
    render_frame(rq, b.data(), b.size());
    return b;
}

// pixel values of a RAW8/Y8 (1 byte) or RAW16 (2 bytes, little-endian) frame
inline std::vector<double> values(const FrameRequest &rq, const Bytes &b)
{
    std::vector<double> v(size_t(rq.width) * rq.height);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = rq.img_type == ORX_IMG_RAW16 ? double(b[2 * i] | (b[2 * i + 1] << 8)) : double(b[i]);
    return v;
}

inline double mean(const std::vector<double> &v)
{
    double s = 0.0;
    for (double x : v)
        s += x;
    return s / double(v.size());
}

inline double stddev(const std::vector<double> &v)
{
    const double m = mean(v);
    double s = 0.0;
    for (double x : v)
        s += (x - m) * (x - m);
    return std::sqrt(s / double(v.size()));
}

inline double median(std::vector<double> v)
{
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

struct Point {
    double x, y;
};

// Centroid of the star with the largest 5x5 sum less its brightest pixel (a
// hot pixel is a single pixel, a star spreads over several).
inline Point brightest_star(const FrameRequest &rq, const std::vector<double> &v)
{
    const int w = rq.width, h = rq.height;
    const double bg = median(v);
    double best = -1.0;
    int bx = 0, by = 0;
    for (int y = 6; y < h - 6; ++y)
        for (int x = 6; x < w - 6; ++x) {
            double s = 0.0, top = 0.0;
            for (int j = -2; j <= 2; ++j)
                for (int i = -2; i <= 2; ++i) {
                    const double q = v[size_t(y + j) * w + x + i] - bg;
                    s += q;
                    top = std::max(top, q);
                }
            if (s - top > best) { best = s - top; bx = x; by = y; }
        }
    double sw = 0.0, sx = 0.0, sy = 0.0;
    for (int j = -5; j <= 5; ++j)
        for (int i = -5; i <= 5; ++i) {
            const double q = std::max(0.0, v[size_t(by + j) * w + bx + i] - bg);
            sw += q; sx += q * (bx + i); sy += q * (by + j);
        }
    return {sx / sw, sy / sw};
}

// A mono 16-bit sensor at one electron per ADU: ADU above the bias are
// electrons at gain 0. No star light unless a test asks for it.
inline SensorModel physics_model(int32_t w, int32_t h)
{
    SensorModel m;
    m.width = w;
    m.height = h;
    m.bit_depth = 16;
    m.elec_per_adu = 1.0;
    m.read_noise_e = 2.0;
    m.full_well_e = 60000.0;
    m.dark_current_e = 0.0;
    return m;
}

inline FrameRequest dark_request(const SensorModel &m, double seconds)
{
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, int64_t(seconds * 1e6));
    rq.dark = true;
    rq.offset = 4; // 4 * 256 ADU of bias
    return rq;
}

inline double bias_of(const FrameRequest &rq) { return rq.offset * 256.0; }

// mean without the top share of values (hot pixels, hits)
inline double trimmed_mean(std::vector<double> v, double share)
{
    const size_t keep = v.size() - size_t(double(v.size()) * share);
    std::nth_element(v.begin(), v.begin() + keep, v.end());
    double s = 0.0;
    for (size_t i = 0; i < keep; ++i)
        s += v[i];
    return s / double(keep);
}

inline double correlation(const std::vector<double> &a, const std::vector<double> &b)
{
    const double ma = mean(a), mb = mean(b);
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

// the sensor physics checks (test_sensor_physics.cpp, test_sensor_noise.cpp)
void run_physics_checks();
void run_noise_checks();

} // namespace sensor_check
