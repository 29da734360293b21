// test_sensor.cpp - checks of the simulated sensor's frame renderer: formats,
// levels, geometry, stars; test_sensor_physics.cpp and test_sensor_noise.cpp
// add the sensor physics.
//
// Build and run from the repository root (one line):
//   g++ -O2 -std=c++17 -Wall -Wextra -Werror -I include -I simulator/src tests/sim/test_sensor*.cpp
//       simulator/src/sensor*.cpp -o /tmp/test_sensor -lpthread && /tmp/test_sensor
// Prints each failed check and exits non-zero when any failed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ORXCamera2.h"
#include "sensor.hpp"
#include "sensor_check.hpp"

using namespace orxsim;
using namespace sensor_check;

namespace {

// Every format of both sensor kinds: not constant, dark below light,
// deterministic, noise changes with the frame index.
void test_frames_basic()
{
    for (bool color : {false, true}) {
        const SensorModel m = make_model(color);
        for (int32_t type : {ORX_IMG_RAW8, ORX_IMG_RAW16, ORX_IMG_Y8, ORX_IMG_RGB24}) {
            FrameRequest rq = make_request(m, type, 3000000);
            const Bytes a = render(rq), again = render(rq);
            CHECK(a == again, "color %d type %d: not deterministic", color, type);
            rq.frame_index += 1;
            CHECK(render(rq) != a, "color %d type %d: same noise for another frame", color, type);
            rq.dark = true;
            const Bytes d = render(rq);
            double sum_a = 0.0, sum_d = 0.0;
            // pixel values, not bytes (the low byte of RAW16 is mostly noise)
            const size_t step = type == ORX_IMG_RAW16 ? 2 : 1;
            for (size_t i = 0; i + step <= a.size(); i += step) {
                sum_a += step == 2 ? a[i] + 256.0 * a[i + 1] : a[i];
                sum_d += step == 2 ? d[i] + 256.0 * d[i + 1] : d[i];
            }
            CHECK(sum_d < sum_a, "color %d type %d: dark frame not darker", color, type);
            CHECK(*std::min_element(a.begin(), a.end()) != *std::max_element(a.begin(), a.end()),
                  "color %d type %d: constant frame", color, type);
        }
    }
}

void test_raw16_matches_raw8()
{
    for (bool color : {false, true}) {
        const SensorModel m = make_model(color);
        const FrameRequest r8 = make_request(m, ORX_IMG_RAW8, 500000);
        FrameRequest r16 = r8;
        r16.img_type = ORX_IMG_RAW16;
        const Bytes a = render(r8), b = render(r16);
        size_t mismatched = 0, low_nibble = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            mismatched += b[2 * i + 1] != a[i];
            low_nibble += (b[2 * i] & 0x0F) != 0; // 12-bit value << 4, low byte first
        }
        CHECK(mismatched == 0, "color %d: %zu RAW16 high bytes differ from RAW8", color, mismatched);
        CHECK(low_nibble == 0, "color %d: %zu RAW16 values not 12-bit << 4 little-endian", color, low_nibble);
    }
}

void test_levels()
{
    const SensorModel m = make_model(false);
    // the offset sets the black level: offset * 16 ADU at 12 bits
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 1000);
    rq.offset = 20;
    const double black = mean(values(rq, render(rq))) / 16.0;
    CHECK(std::fabs(black - 320.0) < 3.0, "black level %.1f ADU for offset 20", black);
    // noise: read noise alone, then dominated by the sky's shot noise
    // (robust sigma, so stars and hot pixels do not count)
    auto robust_sigma = [&] {
        std::vector<double> v = values(rq, render(rq));
        for (double &x : v) x /= 16.0;
        const double med = median(v);
        double sigma = 1e9;
        for (int pass = 0; pass < 3; ++pass) { // sigma clipping at 5 sigma
            double s = 0.0, s2 = 0.0, n = 0.0;
            for (double x : v)
                if (std::fabs(x - med) < 5.0 * sigma) { s += x; s2 += x * x; n += 1.0; }
            sigma = std::sqrt(s2 / n - (s / n) * (s / n));
        }
        return sigma;
    };
    const struct { int64_t exposure_us; double sigma; } noise[] = {
        {1000, 3.0},                             // read noise, 3 e- at 1 e-/ADU
        {100000000, std::sqrt(9.0 + 400.0)},     // + 4 e-/s of sky for 100 s
    };
    for (const auto &c : noise) {
        rq.exposure_us = c.exposure_us;
        const double sigma = robust_sigma();
        CHECK(std::fabs(sigma / c.sigma - 1.0) < 0.12, "exposure %lld us: noise %.2f ADU, expected %.2f",
              (long long)c.exposure_us, sigma, c.sigma);
    }
    // more gain, more signal above the black level
    rq.exposure_us = 2000000;
    rq.offset = 10;
    const double low = mean(values(rq, render(rq))) - 2560.0;
    rq.gain = 200; // 20 dB: ten times
    const double high = mean(values(rq, render(rq))) - 2560.0;
    CHECK(high > 8.0 * low && high < 12.0 * low, "gain 20 dB: signal %.1f -> %.1f", low, high);
    // long exposure saturates the brightest stars at full scale
    rq.gain = 0;
    rq.exposure_us = 60000000;
    const std::vector<double> v = values(rq, render(rq));
    CHECK(*std::max_element(v.begin(), v.end()) == 0xFFF0, "no saturated pixel");
}

void test_binning()
{
    for (bool color : {false, true}) {
        const SensorModel m = make_model(color);
        FrameRequest r1 = make_request(m, ORX_IMG_RAW16, 1000);
        FrameRequest r2 = r1;
        r2.bin = 2;
        r2.width = m.width / 2;
        r2.height = m.height / 2;
        CHECK(frame_bytes(r2) * 4 == frame_bytes(r1), "color %d: bin 2 size", color);
        const double m1 = mean(values(r1, render(r1))), m2 = mean(values(r2, render(r2)));
        CHECK(m2 > 0.8 * m1 && m2 < 1.25 * m1, "color %d: bin 1 mean %.0f, bin 2 mean %.0f", color, m1, m2);
        // at a long exposure mono sums the sky (4x), colour averages it
        r1.exposure_us = r2.exposure_us = 20000000;
        const double s1 = median(values(r1, render(r1))) - 2560.0;
        const double s2 = median(values(r2, render(r2))) - 2560.0;
        const double want = color ? 1.0 : 4.0;
        CHECK(std::fabs(s2 / s1 - want) < 0.15 * want, "color %d: sky %.0f -> %.0f binned", color, s1, s2);
    }
}

// A region of interest shows the same pixels as the full frame, including the
// Bayer phase of an odd start (odd in output pixels when binned).
void test_roi_is_crop()
{
    for (int32_t bin : {1, 2})
    for (bool color : {false, true}) {
        const SensorModel m = make_model(color);
        FrameRequest full = make_request(m, ORX_IMG_RAW16, 4000000);
        full.bin = bin;
        full.width = m.width / bin;
        full.height = m.height / bin;
        FrameRequest roi = full;
        roi.start_x = 200 + bin;
        roi.start_y = 96 + bin;
        roi.width = 128 / bin;
        roi.height = 64 / bin;
        const std::vector<double> f = values(full, render(full)), r = values(roi, render(roi));
        size_t off = 0;
        for (int y = 0; y < roi.height; ++y)
            for (int x = 0; x < roi.width; ++x) {
                const double want = f[size_t(y + roi.start_y / bin) * full.width + x + roi.start_x / bin];
                // sums of float star light may round differently in another order
                off += std::fabs(r[size_t(y) * roi.width + x] - want) > 16.0;
            }
        CHECK(off == 0, "bin %d color %d: %zu ROI pixels differ from the full frame", bin, color, off);
    }
}

void test_drift_moves_stars()
{
    const SensorModel m = make_model(false);
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 2000000);
    const Point p0 = brightest_star(rq, values(rq, render(rq)));
    {   // no starlight in a dark frame
        FrameRequest dk = rq;
        dk.dark = true;
        const std::vector<double> v = values(dk, render(dk));
        const double bg = median(v);
        double box = 0.0;
        for (int j = -2; j <= 2; ++j)
            for (int i = -2; i <= 2; ++i)
                box += v[size_t(std::lround(p0.y) + j) * dk.width + size_t(std::lround(p0.x) + i)] - bg;
        CHECK(std::fabs(box) < 25 * 16 * 3.0, "dark frame shows %.0f ADU at the star", box);
    }
    const struct { double dx, dy; } drifts[] = {{3.0, 0.0}, {0.0, -3.0}, {0.5, 1.25}, {-2.75, 2.0}};
    for (const auto &d : drifts) {
        rq.drift_x = d.dx;
        rq.drift_y = d.dy;
        rq.frame_index += 1;
        const Point p = brightest_star(rq, values(rq, render(rq)));
        CHECK(std::fabs(p.x - p0.x - d.dx) < 0.15 && std::fabs(p.y - p0.y - d.dy) < 0.15,
              "drift (%.2f, %.2f) moved the star by (%.3f, %.3f)", d.dx, d.dy, p.x - p0.x, p.y - p0.y);
    }
}

void test_flips()
{
    for (bool color : {false, true}) {
        const SensorModel m = make_model(color);
        for (int32_t type : {ORX_IMG_RAW8, ORX_IMG_RAW16, ORX_IMG_RGB24}) {
            FrameRequest rq = make_request(m, type, 1000000);
            rq.width = 200;
            rq.height = 100;
            rq.start_x = 37;
            const Bytes plain = render(rq);
            const size_t bpp = frame_bytes(rq) / (size_t(rq.width) * rq.height);
            for (int32_t flip : {ORX_FLIP_HORIZ, ORX_FLIP_VERT, ORX_FLIP_BOTH}) {
                rq.flip = flip;
                const Bytes f = render(rq);
                size_t bad = 0;
                for (int y = 0; y < rq.height; ++y)
                    for (int x = 0; x < rq.width; ++x) {
                        const int sx = (flip & ORX_FLIP_HORIZ) ? rq.width - 1 - x : x;
                        const int sy = (flip & ORX_FLIP_VERT) ? rq.height - 1 - y : y;
                        bad += std::memcmp(&f[(size_t(y) * rq.width + x) * bpp],
                                           &plain[(size_t(sy) * rq.width + sx) * bpp], bpp) != 0;
                    }
                CHECK(bad == 0, "color %d type %d flip %d: %zu pixels misplaced", color, type, flip, bad);
            }
        }
    }
}

// A short buffer gets the frame's first bytes and nothing past its end, with
// and without a vertical flip.
void test_short_buffers()
{
    const SensorModel m = make_model(true);
    for (int32_t type : {ORX_IMG_RAW16, ORX_IMG_RGB24}) {
        for (int32_t flip : {ORX_FLIP_NONE, ORX_FLIP_VERT}) {
            FrameRequest rq = make_request(m, type, 1000000);
            rq.flip = flip;
            const Bytes full = render(rq);
            const size_t row = size_t(rq.width) * (full.size() / (size_t(rq.width) * rq.height));
            for (size_t size : {size_t(0), size_t(1), row - 1, 3 * row + 5, full.size() - 1, full.size() + 64}) {
                Bytes buf(size + 64, 0xA5);
                render_frame(rq, buf.data(), size);
                const size_t written = std::min(size, full.size());
                size_t guard = 0;
                for (size_t i = written; i < buf.size(); ++i)
                    guard += buf[i] != 0xA5;
                CHECK(guard == 0, "type %d flip %d size %zu: %zu guard bytes overwritten", type, flip, size, guard);
                CHECK(std::equal(full.begin(), full.begin() + long(written), buf.begin()),
                      "type %d flip %d size %zu: prefix differs from the full frame", type, flip, size);
            }
        }
    }
}

void test_dark_frame_subtraction()
{
    for (int32_t bin : {1, 2}) {
        const SensorModel m = make_model(false);
        FrameRequest rq = make_request(m, ORX_IMG_RAW16, 1000000);
        rq.bin = bin;
        rq.width = m.width / bin;
        rq.height = m.height / bin;
        const std::vector<double> plain = values(rq, render(rq));
        // a dark frame at the black level leaves the signal over a black level near 0
        Bytes dark(size_t(m.width) * m.height, uint8_t(rq.offset));
        rq.dark_frame = dark.data();
        const std::vector<double> sub = values(rq, render(rq));
        CHECK(mean(sub) < mean(plain) - 100.0, "bin %d: mean %.0f -> %.0f", bin, mean(plain), mean(sub));
        size_t raised = 0;
        for (size_t i = 0; i < sub.size(); ++i)
            raised += sub[i] > plain[i] + 64.0;
        CHECK(raised == 0, "bin %d: %zu pixels brighter after subtraction", bin, raised);
        // a dark frame brighter than the image clips at zero, never wraps
        std::fill(dark.begin(), dark.end(), uint8_t(255));
        const std::vector<double> black = values(rq, render(rq));
        CHECK(*std::max_element(black.begin(), black.end()) < 4096.0, "bin %d: wrapped below zero", bin);
    }
}

// Hot pixels stay where they are from frame to frame and in the dark.
void test_hot_pixels_fixed()
{
    SensorModel m = make_model(false);
    m.width = 1280;
    m.height = 960;
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 30000000);
    rq.dark = true;
    std::vector<size_t> where;
    for (uint64_t f : {1, 2, 3}) {
        rq.frame_index = f;
        const std::vector<double> v = values(rq, render(rq));
        where.push_back(size_t(std::max_element(v.begin(), v.end()) - v.begin()));
        CHECK(v[where.back()] > mean(v) + 20 * stddev(v), "frame %d: no hot pixel stands out", int(f));
    }
    CHECK(where[0] == where[1] && where[1] == where[2], "hottest pixel moved: %zu %zu %zu", where[0],
          where[1], where[2]);
}

// Cameras render from several threads at once; the result must not change.
void test_threads_agree()
{
    const SensorModel mono = make_model(false), color = make_model(true);
    FrameRequest a = make_request(mono, ORX_IMG_RAW16, 1000000);
    FrameRequest b = make_request(color, ORX_IMG_RGB24, 1000000);
    b.sky.seeing_fwhm = 4.0; // a different PSF table per thread
    const Bytes want_a = render(a), want_b = render(b);
    bool ok_a = true, ok_b = true;
    std::thread ta([&] { for (int i = 0; i < 10; ++i) ok_a = ok_a && render(a) == want_a; });
    std::thread tb([&] { for (int i = 0; i < 10; ++i) ok_b = ok_b && render(b) == want_b; });
    ta.join();
    tb.join();
    CHECK(ok_a && ok_b, "concurrent renders differ: mono %d colour %d", ok_a, ok_b);
}

// Y8 of a mono sensor is RAW8 at gamma 50; other values bend the tones but
// keep their order (RAW8 ignores gamma).
void test_gamma()
{
    const SensorModel m = make_model(false);
    FrameRequest rq = make_request(m, ORX_IMG_RAW8, 2000000);
    rq.offset = 30;
    const Bytes raw = render(rq);
    rq.img_type = ORX_IMG_Y8;
    const struct { int32_t gamma; int sign; } cases[] = {{50, 0}, {80, 1}, {20, -1}, {100, 1}, {1, -1}};
    for (const auto &c : cases) {
        rq.gamma = c.gamma;
        const Bytes y = render(rq);
        size_t wrong = 0;
        for (size_t i = 0; i < y.size(); ++i) {
            // strictly brighter/darker in the mid tones, never the other way
            const int d = int(y[i]) - int(raw[i]);
            const bool mid = raw[i] >= 8 && raw[i] <= 200;
            if (c.sign == 0)
                wrong += d != 0;
            else
                wrong += c.sign * d < (mid ? 1 : 0);
        }
        CHECK(wrong == 0, "gamma %d: %zu pixels moved the wrong way", c.gamma, wrong);
    }
    rq.img_type = ORX_IMG_RAW8;
    CHECK(render(rq) == raw, "gamma changed a RAW8 frame");
}

// Requests the camera layer should never send still render within the buffer
// (run under AddressSanitizer to see stray reads of the dark frame too).
void test_odd_requests()
{
    const struct {
        const char *what;
        bool color;
        int32_t bits, type, x, y, w, h, bin;
        double drift;
    } cases[] = {
        {"1x1 colour RGB24", true, 12, ORX_IMG_RGB24, 5, 5, 1, 1, 1, 0.0},
        {"2x1 colour Y8", true, 12, ORX_IMG_Y8, 0, 0, 2, 1, 1, 0.0},
        {"region past the corner", true, 12, ORX_IMG_RGB24, 600, 450, 100, 100, 1, 0.0},
        {"negative start", false, 12, ORX_IMG_RAW16, -13, -7, 64, 32, 1, 0.0},
        {"bin 5", false, 12, ORX_IMG_RAW8, 3, 1, 100, 90, 5, 0.0},
        {"8-bit ADC", false, 8, ORX_IMG_RAW16, 0, 0, 64, 64, 1, 0.0},
        {"16-bit ADC", true, 16, ORX_IMG_RGB24, 0, 0, 64, 64, 1, 0.0},
        {"huge drift", false, 12, ORX_IMG_RAW8, 0, 0, 64, 64, 1, 1e300},
        {"NaN drift", false, 12, ORX_IMG_RAW8, 0, 0, 64, 64, 1, std::nan("")},
        {"wide row", false, 12, ORX_IMG_RAW8, 0, 0, 70000, 2, 1, 0.0},
    };
    for (const auto &c : cases) {
        SensorModel m = make_model(c.color);
        m.bit_depth = c.bits;
        m.width = std::max(m.width, c.w);
        const Bytes dark(size_t(m.width) * m.height, 3);
        FrameRequest rq = make_request(m, c.type, 5000000);
        rq.start_x = c.x;
        rq.start_y = c.y;
        rq.width = c.w;
        rq.height = c.h;
        rq.bin = c.bin;
        rq.drift_x = rq.drift_y = c.drift;
        rq.dark_frame = dark.data();
        const size_t n = frame_bytes(rq);
        Bytes buf(n + 16, 0xA5);
        render_frame(rq, buf.data(), n);
        CHECK(std::all_of(buf.begin() + long(n), buf.end(), [](uint8_t b) { return b == 0xA5; }),
              "%s: wrote past the frame", c.what);
        Bytes again(n + 16, 0xA5);
        render_frame(rq, again.data(), n);
        CHECK(buf == again, "%s: not deterministic", c.what);
    }
}

void test_white_balance()
{
    const SensorModel m = make_model(true);
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 20000000);
    rq.offset = 0;
    auto red_mean = [&] {
        const std::vector<double> v = values(rq, render(rq));
        double s = 0.0;
        for (int y = 0; y < rq.height; y += 2)
            for (int x = 0; x < rq.width; x += 2)
                s += v[size_t(y) * rq.width + x]; // RG pattern: red at even/even
        return s / (rq.width / 2 * rq.height / 2);
    };
    rq.wb_r = 50;
    const double r50 = red_mean();
    rq.wb_r = 100;
    const double r100 = red_mean();
    CHECK(std::fabs(r100 / r50 - 2.0) < 0.1, "wb_r 50 -> 100: red %.0f -> %.0f", r50, r100);

    // RGB24 (B, G, R bytes): the default balance renders the sky grey, more
    // blue balance turns it blue, more red balance red
    rq.img_type = ORX_IMG_RGB24;
    rq.exposure_us = 20000000;
    rq.gain = 200;
    const struct { int32_t wb_r, wb_b; int brightest; } cases[] = {{52, 95, -1}, {52, 190, 0}, {104, 95, 2}};
    for (const auto &c : cases) {
        rq.wb_r = c.wb_r;
        rq.wb_b = c.wb_b;
        const Bytes b = render(rq);
        double sum[3] = {0, 0, 0};
        for (size_t i = 0; i < b.size(); ++i)
            sum[i % 3] += b[i];
        const double lo = *std::min_element(sum, sum + 3), hi = *std::max_element(sum, sum + 3);
        if (c.brightest < 0)
            CHECK(hi < 1.05 * lo, "default balance: B %.0f G %.0f R %.0f", sum[0], sum[1], sum[2]);
        else
            CHECK(sum[c.brightest] == hi && hi > 1.5 * sum[1], "wb %d/%d: B %.0f G %.0f R %.0f", c.wb_r,
                  c.wb_b, sum[0], sum[1], sum[2]);
    }
}

} // namespace

int main()
{
    test_frames_basic();
    test_raw16_matches_raw8();
    test_levels();
    test_binning();
    test_roi_is_crop();
    test_drift_moves_stars();
    test_flips();
    test_short_buffers();
    test_dark_frame_subtraction();
    test_hot_pixels_fixed();
    test_threads_agree();
    test_white_balance();
    test_gamma();
    test_odd_requests();
    run_physics_checks();
    run_noise_checks();
    if (g_failures) {
        std::printf("%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("all sensor checks passed\n");
    return 0;
}
