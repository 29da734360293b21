// test_sensor_physics.cpp - the sensor physics of the renderer, measured on
// rendered frames: dark current against temperature, noise independence, amp
// glow, pattern noise, cosmic rays, faint stars and the ADC's resolution.
// Run by test_sensor.cpp's main.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "sensor_check.hpp"
#include "sensor_kernels.hpp"
#include "sensor_stars.hpp"

namespace sensor_check {

namespace {

// A mono 16-bit sensor at one electron per ADU: ADU above the bias are
// electrons at gain 0. No star light unless a test asks for it.
SensorModel physics_model(int32_t w, int32_t h)
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

FrameRequest dark_request(const SensorModel &m, double seconds)
{
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, int64_t(seconds * 1e6));
    rq.dark = true;
    rq.offset = 4; // 4 * 256 ADU of bias
    return rq;
}

double bias_of(const FrameRequest &rq) { return rq.offset * 256.0; }

// mean without the top share of values (hot pixels, hits)
double trimmed_mean(std::vector<double> v, double share)
{
    const size_t keep = v.size() - size_t(double(v.size()) * share);
    std::nth_element(v.begin(), v.begin() + keep, v.end());
    double s = 0.0;
    for (size_t i = 0; i < keep; ++i)
        s += v[i];
    return s / double(keep);
}

double correlation(const std::vector<double> &a, const std::vector<double> &b)
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

// ---- dark current -------------------------------------------------------------------

void test_dark_current_temperature()
{
    // mean dark signal at two temperatures, and hot pixels: the difference
    // of their excess between steps of 12 degrees
    const struct { double doubling, warm, cold, ratio; } cases[] = {
        {6.0, 20.0, -15.0, 57.0}, {6.0, 20.0, 20.0, 1.0}, {5.0, 10.0, -10.0, 16.0}, {6.0, 32.0, 20.0, 4.0}};
    for (const auto &c : cases) {
        SensorModel m = physics_model(640, 480);
        m.dark_current_e = 2.0;
        m.dark_ref_temp_c = 20.0;
        m.dark_doubling_c = c.doubling;
        FrameRequest rq = dark_request(m, 300.0);
        double signal[2];
        for (int i = 0; i < 2; ++i) {
            rq.sensor_temp_c = i == 0 ? c.warm : c.cold;
            signal[i] = trimmed_mean(values(rq, render(rq)), 0.001) - bias_of(rq);
        }
        const double ratio = signal[0] / signal[1];
        CHECK(std::fabs(ratio / c.ratio - 1.0) < 0.03, "%.0f vs %.0f C, doubling %.0f: dark current ratio %.2f, want %.1f",
              c.warm, c.cold, c.doubling, ratio, c.ratio);
    }

    SensorModel m = physics_model(1280, 960);
    FrameRequest rq = dark_request(m, 10.0);
    rq.sensor_temp_c = 20.0;
    const std::vector<double> warm = values(rq, render(rq));
    const double bg = median(warm);
    std::vector<size_t> hot;
    for (size_t i = 0; i < warm.size(); ++i)
        if (warm[i] > bg + 200.0)
            hot.push_back(i);
    double excess[3] = {0, 0, 0};
    const double temps[3] = {20.0, 8.0, -4.0};
    for (int t = 0; t < 3; ++t) {
        rq.sensor_temp_c = temps[t];
        const std::vector<double> v = values(rq, render(rq));
        for (size_t i : hot)
            excess[t] += v[i] - bias_of(rq);
    }
    // the stuck part of a hot pixel cancels in the differences
    const double ratio = (excess[0] - excess[1]) / (excess[1] - excess[2]);
    CHECK(hot.size() >= 5 && std::fabs(ratio / 4.0 - 1.0) < 0.05,
          "%zu hot pixels: their dark current fell %.2fx per 12 C, want 4x", hot.size(), ratio);
}

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

// ---- amp glow ------------------------------------------------------------------------

void test_amp_glow()
{
    const int32_t w = 512, h = 384, box = 24;
    // boxes just inside each corner and each edge's middle, in AmpGlowAt order
    const struct { AmpGlowAt at; int32_t x, y; } boxes[] = {
        {AmpGlowAt::TopLeft, 0, 0},           {AmpGlowAt::TopRight, w - box, 0},
        {AmpGlowAt::BottomLeft, 0, h - box},  {AmpGlowAt::BottomRight, w - box, h - box},
        {AmpGlowAt::Left, 0, (h - box) / 2},  {AmpGlowAt::Right, w - box, (h - box) / 2},
        {AmpGlowAt::Top, (w - box) / 2, 0},   {AmpGlowAt::Bottom, (w - box) / 2, h - box},
    };
    for (const auto &where : boxes) {
        SensorModel m = physics_model(w, h);
        m.amp_glow_e = 20.0;
        m.amp_glow_at = where.at;
        m.amp_glow_reach_px = 40.0;
        // glow of each box above the frame's centre, electrons (ADU at gain 0)
        auto glow = [&](double seconds, int32_t gain) {
            FrameRequest rq = dark_request(m, seconds);
            rq.gain = gain;
            const std::vector<double> v = values(rq, render(rq));
            auto box_mean = [&](int32_t x0, int32_t y0) {
                std::vector<double> b;
                for (int32_t y = y0; y < y0 + box; ++y)
                    for (int32_t x = x0; x < x0 + box; ++x)
                        b.push_back(v[size_t(y) * w + x]);
                return trimmed_mean(b, 0.01);
            };
            const double centre = box_mean((w - box) / 2, (h - box) / 2);
            std::vector<double> out;
            for (const auto &b : boxes)
                out.push_back(box_mean(b.x, b.y) - centre);
            return out;
        };
        const size_t k = size_t(&where - boxes);
        const std::vector<double> base = glow(10.0, 0), longer = glow(40.0, 0), gained = glow(10.0, 200);
        const size_t brightest = size_t(std::max_element(base.begin(), base.end()) - base.begin());
        CHECK(brightest == k && base[k] > 20.0, "glow at %d: brightest box %zu, %.1f e- there", int(where.at), brightest,
              base[k]);
        const double by_time = longer[k] / base[k], by_gain = gained[k] / base[k];
        CHECK(std::fabs(by_time / 4.0 - 1.0) < 0.05, "glow at %d: 4x the exposure gave %.2fx", int(where.at), by_time);
        CHECK(std::fabs(by_gain / 10.0 - 1.0) < 0.05, "glow at %d: 20 dB more gain gave %.2fx", int(where.at), by_gain);
    }
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

// ---- cosmic rays ----------------------------------------------------------------------

// Blobs (8-connected) of pixels where a exceeds b by more than thr, leaving
// out hot pixels (above the median by thr in both frames).
size_t count_blobs(const std::vector<double> &a, const std::vector<double> &b, int32_t w, int32_t h, double thr)
{
    std::vector<uint8_t> seen(a.size(), 0);
    const double hot = median(b) + thr;
    for (size_t i = 0; i < a.size(); ++i)
        seen[i] = std::min(a[i], b[i]) > hot;
    std::vector<size_t> stack;
    size_t blobs = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (seen[i] || a[i] - b[i] <= thr)
            continue;
        ++blobs;
        stack.assign(1, i);
        seen[i] = 1;
        while (!stack.empty()) {
            const size_t j = stack.back();
            stack.pop_back();
            const int32_t x = int32_t(j % size_t(w)), y = int32_t(j / size_t(w));
            for (int32_t dy = -1; dy <= 1; ++dy)
                for (int32_t dx = -1; dx <= 1; ++dx) {
                    const int32_t nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= w || ny >= h)
                        continue;
                    const size_t q = size_t(ny) * size_t(w) + size_t(nx);
                    if (!seen[q] && a[q] - b[q] > thr) {
                        seen[q] = 1;
                        stack.push_back(q);
                    }
                }
        }
    }
    return blobs;
}

void test_cosmic_rays()
{
    SensorModel m = physics_model(2048, 2048);
    m.cosmic_per_cm2_min = 300.0;
    const double pixel_cm = m.pixel_size_um * 1e-4;
    // region side, exposure, light frame
    const struct { int32_t side; double seconds; bool light; } cases[] = {
        {2048, 40.0, false}, {2048, 10.0, false}, {1024, 40.0, false}, {1024, 10.0, true}};
    double counted_all = 0, expected_all = 0;
    for (const auto &c : cases) {
        FrameRequest rq = dark_request(m, c.seconds);
        rq.width = rq.height = c.side;
        rq.start_x = rq.start_y = (2048 - c.side) / 2;
        rq.dark = !c.light;
        rq.sky.star_density = 0.0;
        rq.sky.sky_e_per_s = 1.0;
        // hits of frame 1 against frame 2 (hot pixels cancel), and the reverse
        rq.frame_index = 1;
        const std::vector<double> f1 = values(rq, render(rq));
        rq.frame_index = 2;
        const std::vector<double> f2 = values(rq, render(rq));
        const double sigma = std::sqrt(2.0 * (m.read_noise_e * m.read_noise_e + (c.light ? c.seconds : 0.0)));
        const double counted = double(count_blobs(f1, f2, c.side, c.side, 8.0 * sigma) +
                                      count_blobs(f2, f1, c.side, c.side, 8.0 * sigma));
        const double area = double(c.side) * c.side * pixel_cm * pixel_cm;
        const double expected = 2.0 * m.cosmic_per_cm2_min * area * c.seconds / 60.0;
        CHECK(std::fabs(counted - expected) < 4.0 * std::sqrt(expected) + 2.0,
              "%dx%d, %.0f s, %s: %.0f hits, %.1f expected", c.side, c.side, c.seconds, c.light ? "light" : "dark",
              counted, expected);
        counted_all += counted;
        expected_all += expected;
    }
    CHECK(std::fabs(counted_all / expected_all - 1.0) < 0.12, "%.0f hits in all, %.1f expected", counted_all,
          expected_all);
    // none without the rate
    m.cosmic_per_cm2_min = 0.0;
    FrameRequest rq = dark_request(m, 40.0);
    rq.frame_index = 1;
    const std::vector<double> f1 = values(rq, render(rq));
    rq.frame_index = 2;
    const std::vector<double> f2 = values(rq, render(rq));
    const size_t stray = count_blobs(f1, f2, rq.width, rq.height, 8.0 * std::sqrt(2.0) * m.read_noise_e);
    CHECK(stray == 0, "%zu hits without cosmic rays", stray);
}

// ---- stars ------------------------------------------------------------------------------

void test_faint_star_counts()
{
    // counts per decade of flux keep rising by 10^0.8 below 300 e-/s, down
    // to far below what a frame can detect
    Sky sky;
    const TileStarField field(sky);
    std::vector<Star> all;
    field.stars(0, 0, 8192, 8192, 0.0, all);
    double decade[5] = {0, 0, 0, 0, 0}; // 0.5, 5, 50, 500, 5000 e-/s up
    for (const Star &s : all) {
        const int d = int(std::floor(std::log10(s.flux / 0.5)));
        if (d >= 0 && d < 5)
            decade[d] += 1;
    }
    for (int d = 0; d + 1 < 4; ++d) {
        const double ratio = decade[d] / decade[d + 1];
        CHECK(std::fabs(ratio / std::pow(10.0, 0.8) - 1.0) < 0.08, "decade %d: %.0f stars, %.2fx the next (%.0f)", d,
              decade[d], ratio, decade[d + 1]);
    }
    // a flux floor leaves out fainter stars only
    std::vector<Star> bright;
    field.stars(0, 0, 8192, 8192, 50.0, bright);
    size_t want = 0;
    for (const Star &s : all)
        want += s.flux >= 50.0;
    size_t got = 0;
    for (const Star &s : bright)
        got += s.flux >= 50.0;
    CHECK(got == want, "floor 50 e-/s: %zu stars at or above it, %zu without the floor", got, want);
}

// Stars far below what one frame shows are still in it: aperture photometry
// over all of them recovers their light.
void test_faint_stars_in_image()
{
    SensorModel m = physics_model(1024, 1024);
    m.read_noise_e = 3.0;
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 60000000);
    rq.offset = 4;
    const std::vector<double> v = values(rq, render(rq));
    std::vector<Star> stars;
    TileStarField(rq.sky).stars(0, 0, 1024, 1024, 0.0, stars);
    const int r_ap = 4, r_in = 7, r_out = 10;
    double measured = 0, expected = 0;
    size_t used = 0;
    // isolated stars: no brighter star whose light reaches the aperture or ring
    auto isolated = [&](const Star &s) {
        for (const Star &o : stars) {
            const double d2 = (o.x - s.x) * (o.x - s.x) + (o.y - s.y) * (o.y - s.y);
            if (&o != &s && o.flux > 0.3 * s.flux && d2 < (o.flux > 300.0 ? 40.0 * 40.0 : 16.0 * 16.0))
                return false;
        }
        return true;
    };
    const double sky_sigma = std::sqrt(rq.sky.sky_e_per_s * 60.0 + 9.0);
    for (const Star &s : stars) {
        if (s.flux < 1.5 || s.flux >= 15.0 || s.x < r_out || s.y < r_out || s.x >= 1024 - r_out ||
            s.y >= 1024 - r_out || !isolated(s))
            continue;
        const int cx = int(s.x), cy = int(s.y);
        double ap = 0;
        int n_ap = 0;
        std::vector<double> ring;
        for (int dy = -r_out; dy <= r_out; ++dy)
            for (int dx = -r_out; dx <= r_out; ++dx) {
                const double d2 = (cx + dx + 0.5 - s.x) * (cx + dx + 0.5 - s.x) + (cy + dy + 0.5 - s.y) * (cy + dy + 0.5 - s.y);
                const double q = v[size_t(cy + dy) * 1024 + size_t(cx + dx)];
                if (d2 <= r_ap * r_ap) { ap += q; ++n_ap; }
                else if (d2 >= r_in * r_in && d2 <= r_out * r_out) ring.push_back(q);
            }
        const double bg = median(ring);
        bool hot = false; // a hot pixel in the aperture
        for (int dy = -r_ap; dy <= r_ap; ++dy)
            for (int dx = -r_ap; dx <= r_ap; ++dx)
                hot = hot || v[size_t(cy + dy) * 1024 + size_t(cx + dx)] > bg + 8.0 * sky_sigma + s.flux * 60.0;
        if (hot)
            continue;
        measured += ap - n_ap * bg;
        expected += s.flux * 60.0;
        ++used;
    }
    // the aperture holds about 96 % of a star's light at this seeing
    const double ratio = measured / expected;
    CHECK(used > 100 && ratio > 0.85 && ratio < 1.05, "%zu stars of 1.5-15 e-/s: %.3f of their light measured",
          used, ratio);
}

// A StarSource given in the request is the only source of stars.
void test_star_source()
{
    struct One final : StarSource {
        void stars(double x0, double y0, double x1, double y1, double, std::vector<Star> &out) const override
        {
            const Star s{200.25, 150.75, 2.0e5, {1.0f, 1.0f, 1.0f}};
            if (s.x >= x0 && s.x < x1 && s.y >= y0 && s.y < y1)
                out.push_back(s);
        }
    } one;
    SensorModel m = physics_model(640, 480);
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 1000000);
    rq.stars = &one;
    rq.sky.star_density = 1000.0; // ignored with a source given
    const std::vector<double> v = values(rq, render(rq));
    const Point p = brightest_star(rq, v);
    // (the centroid counts pixel i at i, the star's coordinates at i + 0.5)
    CHECK(std::fabs(p.x + 0.5 - 200.25) < 0.1 && std::fabs(p.y + 0.5 - 150.75) < 0.1, "star at (%.2f, %.2f)",
          p.x + 0.5, p.y + 0.5);
    const double bg = median(v);
    size_t lit = 0; // bright pixels away from the star that are not single hot pixels
    for (int32_t y = 1; y + 1 < rq.height; ++y)
        for (int32_t x = 1; x + 1 < rq.width; ++x) {
            const size_t i = size_t(y) * rq.width + x;
            if (std::hypot(x - 200.0, y - 150.0) > 25.0 && v[i] > bg + 40.0 && v[i + 1] > bg + 20.0)
                ++lit;
        }
    CHECK(lit == 0, "%zu bright pixels away from the one star", lit);
}

// ---- ADC ------------------------------------------------------------------------------------

void test_adc_bits()
{
    SensorModel m = physics_model(640, 480);
    m.bit_depth = 12;
    m.elec_per_adu = 4.0;
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 20000000);
    rq.sky.sky_e_per_s = 100.0;
    rq.sky.star_density = 0.0;
    const double level12 = median(values(rq, render(rq)));
    for (int32_t bits : {8, 10, 12}) {
        rq.adc_bits = bits;
        const std::vector<double> v = values(rq, render(rq));
        size_t off_grid = 0;
        for (double q : v)
            off_grid += std::fmod(q, double(1 << (16 - bits))) != 0.0;
        // the signal is the same charge: RAW16 levels agree at any depth
        const double level = median(v);
        CHECK(off_grid == 0, "%d bits: %zu values off the %d-ADU grid", bits, off_grid, 1 << (16 - bits));
        CHECK(std::fabs(level / level12 - 1.0) < 0.02, "%d bits: level %.0f, %.0f at 12 bits", bits, level, level12);
    }
}

} // namespace

void run_physics_checks()
{
    test_dark_current_temperature();
    test_deviates();
    test_no_repeated_windows();
    test_noise_uncorrelated();
    test_amp_glow();
    test_pattern_noise();
    test_cosmic_rays();
    test_faint_star_counts();
    test_faint_stars_in_image();
    test_star_source();
    test_adc_bits();
}

} // namespace sensor_check
