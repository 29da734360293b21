// test_sensor_physics.cpp - the sensor physics of the renderer, measured on
// rendered frames: dark current against temperature, amp glow, cosmic rays,
// faint stars and the ADC's resolution. Run by test_sensor.cpp's main.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include "sensor_check.hpp"
#include "sensor_stars.hpp"

namespace sensor_check {

namespace {

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

// A star drawn as many images along its path (motion during the exposure)
// keeps all the light the same star drawn whole gives: faint stars too, whose
// images each fall far below the noise.
void test_shared_stars_keep_their_light()
{
    struct Grid final : StarSource {
        int parts = 1;
        double flux = 1.0;
        void stars(double x0, double y0, double x1, double y1, double, std::vector<Star> &out) const override
        {
            for (int j = 0; j < 20; ++j)
                for (int i = 0; i < 20; ++i)
                    for (int p = 0; p < parts; ++p) {
                        Star s{40.0 + 30 * i + 0.1 * p, 40.0 + 30 * j + 0.05 * p, flux / parts, {1, 1, 1}};
                        s.share = float(1.0 / parts);
                        if (s.x >= x0 && s.x < x1 && s.y >= y0 && s.y < y1)
                            out.push_back(s);
                    }
        }
    } grid;
    SensorModel m = physics_model(680, 680);
    m.cosmic_per_cm2_min = 0;
    FrameRequest rq = make_request(m, ORX_IMG_RAW16, 30000000);
    rq.offset = 10;
    rq.stars = &grid;
    auto total = [&](int parts, double flux) {
        grid.parts = parts;
        grid.flux = flux;
        double sum = 0;
        for (double q : values(rq, render(rq)))
            sum += q;
        return sum;
    };
    for (double flux : {2.0, 20.0, 200.0}) { // e-/s: far below the noise to clearly seen
        const double none = total(1, 0.0);   // the same noise: only the stars differ
        const double whole = total(1, flux) - none, shared = total(64, flux) - none;
        CHECK(whole > 0 && std::fabs(shared / whole - 1.0) < 0.01,
              "400 stars of %.0f e-/s: drawn as 64 images they keep %.3f of their light", flux, shared / whole);
    }
}

} // namespace

void run_physics_checks()
{
    test_dark_current_temperature();
    test_amp_glow();
    test_cosmic_rays();
    test_faint_star_counts();
    test_faint_stars_in_image();
    test_star_source();
    test_shared_stars_keep_their_light();
    test_adc_bits();
}

} // namespace sensor_check
