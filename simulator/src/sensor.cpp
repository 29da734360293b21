// sensor.cpp - renders the frames of a simulated camera.
//
// Model of one frame, per photosite (unbinned sensor pixel):
//   electrons  = (sky + stars) * t + dark current * t + hot pixel charge,
//                clipped at the full well; no light at all for a dark frame.
//                Stars come from an unbounded seeded star field (see
//                sensor_field.hpp), shifted by the guide drift with 1/64 pixel
//                resolution; their images are a Gaussian core plus a faint wide
//                halo, integrated over each pixel.
//   ADU        = bias + k * (electrons + sqrt(read_noise^2 + electrons) * N(0,1))
//                clipped to [0, 2^bit_depth - 1], where
//                k = 10^(gain/200) / elec_per_adu  (gain in 0.1 dB steps),
//                times wb_r/50 or wb_b/50 on red and blue photosites, and
//                bias = offset * 2^(bit_depth - 8) ADU (so the offset reads
//                back directly as the black level of an 8-bit image).
//                The read noise falls with gain, to 0.35x at very high gain.
//                The normal deviates come from a process-wide table, read
//                from a per-row offset that depends on frame_index.
//   dark frame = when given, dark[y][x] * 2^(bit_depth - 8) ADU is subtracted
//                from each photosite, clipped at 0.
// Colour sensors: each photosite sees the light through its Bayer filter; the
// photosite responses to white light are such that the default white balance
// (52, 95) renders a grey sky grey.
// Binning combines bin x bin photosites into one output pixel:
//   mono   - the sum of the photosite signals over one black level:
//            sum(v) - (bin^2 - 1) * bias (bias 0 once a dark frame removed it),
//            clipped at full scale;
//   colour - the average; the output keeps a Bayer mosaic of the model's
//            pattern at output resolution (every photosite of an output pixel
//            is filtered like that output pixel).
// Output formats, from the ADC value v of each output pixel:
//   RAW16  little-endian v << (16 - bit_depth)
//   RAW8   v >> (bit_depth - 8)
//   Y8     mono: RAW8 through the gamma curve; colour: luminance
//          (0.30 R + 0.59 G + 0.11 B) of the demosaiced image, gamma applied
//   RGB24  bilinear demosaic, 3 bytes per pixel in the order B, G, R, gamma
//          applied (gamma 50 is linear; the curve is x^(50/gamma)); grey
//          triplets for a mono sensor
// RAW formats carry the mosaic and ignore gamma. Flips mirror the finished
// image, so a flipped colour RAW frame starts with a different Bayer phase.
#include "sensor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "ORXCamera2.h"
#include "sensor_field.hpp"
#include "sensor_kernels.hpp"

namespace orxsim {

namespace {

// colour (0 R, 1 G, 2 B) at (y & 1, x & 1) for each ORX_BAYER_PATTERN
const int kBayer[4][2][2] = {
    {{0, 1}, {1, 2}}, // ORX_BAYER_RG
    {{2, 1}, {1, 0}}, // ORX_BAYER_BG
    {{1, 0}, {2, 1}}, // ORX_BAYER_GR
    {{1, 2}, {0, 1}}, // ORX_BAYER_GB
};
// response of the colour photosites to white light, relative to green
const float kResponse[3] = {50.0f / 52.0f, 1.0f, 50.0f / 95.0f};

constexpr float kStampFloorE = 0.05f; // star light below this (electrons) is not drawn
constexpr double kHotPixelsPerMp = 10.0;

// One Gaussian component of one star, clipped to the rendered region.
struct Stamp {
    int32_t x0, x1;        // columns of the row buffer covered, [x0, x1)
    int32_t y0, y1;        // sensor rows covered, [y0, y1)
    int32_t ix, iy;        // pixel holding the centre: row-buffer column, sensor row
    const float *gx, *gy;  // profile rows, indexed by offset from ix / iy
    float amp[3];          // electrons of this component, per colour
};

struct Scratch {
    std::vector<float> e, v, acc;
    std::vector<float> base[2], k[2];
    std::vector<uint8_t> chan[2];
    std::vector<uint16_t> mosaic;
    std::vector<uint8_t> darkrow, stage;
    std::vector<Stamp> stamps;
    std::vector<uint32_t> active;
    std::vector<field::HotPixel> hot;
};

template <class T>
T *grow(std::vector<T> &v, size_t n)
{
    if (v.size() < n)
        v.resize(n);
    return v.data();
}

int bytes_per_pixel(int32_t img_type)
{
    switch (img_type) {
    case ORX_IMG_RAW8:
    case ORX_IMG_Y8: return 1;
    case ORX_IMG_RAW16: return 2;
    case ORX_IMG_RGB24: return 3;
    default: return 0;
    }
}

// Dark current at temp_c relative to the model's reference temperature.
double dark_temperature_factor(const SensorModel &m, double temp_c)
{
    if (!std::isfinite(temp_c) || !(m.dark_doubling_c > 0.0))
        return 1.0;
    const double steps = (std::max(-100.0, std::min(150.0, temp_c)) - m.dark_ref_temp_c) / m.dark_doubling_c;
    return std::exp2(std::max(-60.0, std::min(60.0, steps)));
}

class Renderer {
public:
    Renderer(const FrameRequest &rq, Scratch &s) : rq_(rq), sm_(*rq.model), s_(s) {}

    void run(uint8_t *dst, size_t n);

private:
    void setup();
    void collect_stars();
    void collect_hot_pixels();
    void build_photosite_row(int32_t sy, int parity);
    void render_output_row(int32_t r, uint16_t *out);
    int row_parity(int32_t r) const { return int((sy0_ / b_ + r) & 1); }

    const FrameRequest &rq_;
    const SensorModel &sm_;
    Scratch &s_;

    int32_t w_ = 0, h_ = 0, b_ = 1;   // output size, bin factor
    int32_t sx0_ = 0, sy0_ = 0;       // sensor origin of the region
    size_t n_ = 0;                    // photosites per sensor row of the region
    int32_t y_lo_ = 0, y_hi_ = 0;     // sensor rows that may be rendered
    bool color_ = false;
    int pattern_ = 0;
    int bit_depth_ = 12;
    double t_ = 0.0;                  // exposure, seconds
    double dark_factor_ = 1.0;        // dark current relative to the reference temperature
    kern::ConvParams cp_{};
    float pedestal_ = 0.0f;           // black level of one photosite value
    uint64_t noise_seed_ = 0;

    size_t next_stamp_ = 0, next_hot_ = 0;
};

void Renderer::setup()
{
    w_ = rq_.width;
    h_ = rq_.height;
    b_ = std::max<int32_t>(1, rq_.bin);
    sx0_ = rq_.start_x;
    sy0_ = rq_.start_y;
    n_ = size_t(w_) * size_t(b_);
    color_ = sm_.color;
    pattern_ = (sm_.bayer >= 0 && sm_.bayer < 4) ? sm_.bayer : 0;
    const int model_bits = std::max(8, std::min(16, int(sm_.bit_depth)));
    bit_depth_ = rq_.adc_bits > 0 ? std::max(8, std::min(16, int(rq_.adc_bits))) : model_bits;
    t_ = double(std::max<int64_t>(0, rq_.exposure_us)) * 1e-6;
    dark_factor_ = dark_temperature_factor(sm_, rq_.sensor_temp_c);

    const double gain_factor = std::pow(10.0, std::max(-1000, std::min(1000, int(rq_.gain))) / 200.0);
    // a coarser ADC has proportionally more electrons per ADU
    const double epa = (sm_.elec_per_adu > 0.0 ? sm_.elec_per_adu : 1.0) *
                       std::ldexp(1.0, model_bits - bit_depth_);
    const double read_noise = std::max(0.0, sm_.read_noise_e) * (0.35 + 0.65 / gain_factor);
    const double scale8 = double(1 << (bit_depth_ - 8));
    cp_.full_well = float(std::max(0.0, sm_.full_well_e));
    cp_.read_var = float(read_noise * read_noise);
    cp_.full_scale = float((1 << bit_depth_) - 1);
    cp_.bias = float(std::min(double(cp_.full_scale), std::max(0, rq_.offset) * scale8));
    cp_.dark_scale = float(scale8);
    pedestal_ = rq_.dark_frame ? 0.0f : cp_.bias;
    noise_seed_ = field::mix64((field::mix64(rq_.noise_key ^ 0x0015E5EEDull) +
                                rq_.frame_index * 0xD1B54A32D192ED03ull) ^
                               (uint64_t(sm_.hot_pixel_seed) << 32));

    // per-colour background and electrons-to-ADU factors
    float base_e[3], k[3];
    const double sky = rq_.dark ? 0.0 : std::max(0.0, rq_.sky.sky_e_per_s) * t_;
    const double dark_e = std::max(0.0, sm_.dark_current_e) * dark_factor_ * t_;
    const double wb[3] = {color_ ? rq_.wb_r / 50.0 : 1.0, 1.0, color_ ? rq_.wb_b / 50.0 : 1.0};
    for (int c = 0; c < 3; ++c) {
        base_e[c] = float(sky * (color_ ? kResponse[c] : 1.0f) + dark_e);
        k[c] = float(gain_factor / epa * std::max(0.0, wb[c]));
    }
    // per-photosite tables for even and odd output rows
    const int32_t col_phase = sx0_ / b_;
    for (int p = 0; p < 2; ++p) {
        float *base = grow(s_.base[p], n_);
        float *kk = grow(s_.k[p], n_);
        uint8_t *ch = grow(s_.chan[p], n_);
        for (size_t i = 0; i < n_; ++i) {
            const int c = color_ ? kBayer[pattern_][p][(col_phase + int32_t(i / size_t(b_))) & 1] : 1;
            ch[i] = uint8_t(c);
            base[i] = base_e[c];
            kk[i] = k[c];
        }
    }
    grow(s_.e, n_);
    grow(s_.v, n_);
    grow(s_.acc, size_t(w_));
}

void Renderer::collect_stars()
{
    s_.stamps.clear();
    s_.active.clear();
    next_stamp_ = 0;
    if (rq_.dark || t_ <= 0.0)
        return;
    const field::Psf &psf = field::psf_for(rq_.sky.seeing_fwhm);
    const field::Profile *comps[2] = {&psf.core, &psf.halo};
    const float fracs[2] = {1.0f - field::kHaloFraction, field::kHaloFraction};
    const int reach = std::max(psf.core.radius, psf.halo.radius) + 1;
    // a mount cannot wander further than this; keeps tile numbers in range
    auto sane = [](double d) { return std::isfinite(d) ? std::max(-1e9, std::min(1e9, d)) : 0.0; };
    const double dx = sane(rq_.drift_x), dy = sane(rq_.drift_y);
    const double x_lo = double(sx0_), x_hi = double(sx0_) + double(n_);

    field::for_each_star(
        rq_.sky.seed, rq_.sky.star_density, x_lo - reach - dx, double(y_lo_) - reach - dy,
        x_hi + reach - dx, double(y_hi_) + reach - dy, [&](const field::Star &star) {
            const double cx = star.x + dx, cy = star.y + dy;
            const double flux_e = star.flux * t_;
            float amp[3], amp_max = 0.0f;
            for (int c = 0; c < 3; ++c) {
                amp[c] = float(color_ ? flux_e * star.tint[c] * kResponse[c] : flux_e);
                amp_max = std::max(amp_max, amp[c]);
            }
            for (int ci = 0; ci < 2; ++ci) {
                const field::Profile &pr = *comps[ci];
                const float peak = amp_max * fracs[ci] * pr.centre_peak * pr.centre_peak;
                if (!(peak > kStampFloorE))
                    continue;
                // radius where the Gaussian falls below the floor
                const double reach_c = pr.sigma * std::sqrt(2.0 * std::log(double(peak) / kStampFloorE));
                const int rad = std::min(pr.radius, int(std::ceil(reach_c)) + 1);
                double fx = std::floor(cx), fy = std::floor(cy);
                int phx = int(std::lround((cx - fx) * field::kPhases));
                int phy = int(std::lround((cy - fy) * field::kPhases));
                if (phx == field::kPhases) { phx = 0; fx += 1.0; }
                if (phy == field::kPhases) { phy = 0; fy += 1.0; }
                const int64_t ix = int64_t(fx) - sx0_, iy = int64_t(fy);
                const int64_t x0 = std::max<int64_t>(ix - rad, 0);
                const int64_t x1 = std::min<int64_t>(ix + rad + 1, int64_t(n_));
                const int64_t y0 = std::max<int64_t>(iy - rad, y_lo_);
                const int64_t y1 = std::min<int64_t>(iy + rad + 1, y_hi_);
                if (x0 >= x1 || y0 >= y1)
                    continue;
                Stamp st;
                st.x0 = int32_t(x0); st.x1 = int32_t(x1);
                st.y0 = int32_t(y0); st.y1 = int32_t(y1);
                st.ix = int32_t(ix); st.iy = int32_t(iy);
                st.gx = pr.row(phx);
                st.gy = pr.row(phy);
                for (int c = 0; c < 3; ++c)
                    st.amp[c] = amp[c] * fracs[ci];
                s_.stamps.push_back(st);
            }
        });
    std::sort(s_.stamps.begin(), s_.stamps.end(),
              [](const Stamp &a, const Stamp &b) { return a.y0 < b.y0; });
}

void Renderer::collect_hot_pixels()
{
    s_.hot.clear();
    next_hot_ = 0;
    field::for_each_hot_pixel(sm_.hot_pixel_seed, kHotPixelsPerMp, sm_.width, sm_.height, sx0_,
                              y_lo_, int32_t(std::min<int64_t>(int64_t(sx0_) + int64_t(n_), INT32_MAX)),
                              y_hi_, [&](const field::HotPixel &hp) { s_.hot.push_back(hp); });
    std::sort(s_.hot.begin(), s_.hot.end(), [](const field::HotPixel &a, const field::HotPixel &b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
}

// Electrons of every photosite of sensor row sy into s_.e. Rows must come in
// increasing order within a frame.
void Renderer::build_photosite_row(int32_t sy, int parity)
{
    float *e = s_.e.data();
    std::memcpy(e, s_.base[parity].data(), n_ * sizeof(float));

    // stars: admit stamps starting on this row, retire finished ones
    while (next_stamp_ < s_.stamps.size() && s_.stamps[next_stamp_].y0 <= sy)
        s_.active.push_back(uint32_t(next_stamp_++));
    const uint8_t *ch = s_.chan[parity].data();
    for (size_t a = 0; a < s_.active.size();) {
        const Stamp &st = s_.stamps[s_.active[a]];
        if (st.y1 <= sy) {
            s_.active[a] = s_.active.back();
            s_.active.pop_back();
            continue;
        }
        const float gy = st.gy[sy - st.iy];
        const float *gx = st.gx;
        const int32_t ix = st.ix;
        if (!color_) {
            const float amp = st.amp[0] * gy;
            for (int32_t x = st.x0; x < st.x1; ++x)
                e[x] += amp * gx[x - ix];
        } else {
            const float amp[3] = {st.amp[0] * gy, st.amp[1] * gy, st.amp[2] * gy};
            for (int32_t x = st.x0; x < st.x1; ++x)
                e[x] += amp[ch[x]] * gx[x - ix];
        }
        ++a;
    }

    // hot pixels
    while (next_hot_ < s_.hot.size() && s_.hot[next_hot_].y < sy)
        ++next_hot_;
    for (; next_hot_ < s_.hot.size() && s_.hot[next_hot_].y == sy; ++next_hot_) {
        const field::HotPixel &hp = s_.hot[next_hot_];
        e[hp.x - sx0_] += float(hp.rate_e * dark_factor_ * t_) + hp.fixed_e;
    }
}

// ADC values of output row r (unflipped) into out[0..w).
void Renderer::render_output_row(int32_t r, uint16_t *out)
{
    const int parity = row_parity(r);
    const int8_t *noise = kern::noise_table();
    const bool sub_dark = rq_.dark_frame != nullptr;
    const int64_t sensor_x_end = int64_t(sx0_) + int64_t(n_);
    const bool dark_inside = sx0_ >= 0 && sensor_x_end <= sm_.width;

    auto convert = [&](int32_t sy, float *fout, uint16_t *uout) {
        build_photosite_row(sy, parity);
        const uint8_t *dark = nullptr;
        if (sub_dark && sy >= 0 && sy < sm_.height) {
            const uint8_t *row = rq_.dark_frame + size_t(sy) * size_t(sm_.width);
            if (dark_inside) {
                dark = row + sx0_;
            } else { // region leaves the sensor: zero outside
                uint8_t *d = grow(s_.darkrow, n_);
                for (size_t i = 0; i < n_; ++i) {
                    const int64_t x = int64_t(sx0_) + int64_t(i);
                    d[i] = (x >= 0 && x < sm_.width) ? row[x] : 0;
                }
                dark = d;
            }
        }
        // the deviate of photosite (x, sy) is table[row_start + x]: the same
        // pixel gets the same noise whatever the region of interest
        const uint64_t row_start = field::mix64(noise_seed_ + uint64_t(uint32_t(sy)) * 0x9E3779B97F4A7C15ull);
        for (size_t c = 0; c < n_; c += kern::kNoisePad) {
            const size_t len = std::min(n_ - c, kern::kNoisePad);
            const uint64_t at = row_start + uint64_t(int64_t(sx0_) + int64_t(c));
            const int8_t *nz = noise + (at & (kern::kNoiseSize - 1));
            const float *k = s_.k[parity].data() + c;
            const uint8_t *dk = dark ? dark + c : nullptr;
            if (uout)
                kern::convert_row_u16(s_.e.data() + c, nz, k, dk, len, cp_, uout + c);
            else
                kern::convert_row_f(s_.e.data() + c, nz, k, dk, len, cp_, fout + c);
        }
    };

    const int32_t sy_first = sy0_ + r * b_;
    if (b_ == 1) {
        convert(sy_first, nullptr, out);
        return;
    }
    float *acc = s_.acc.data();
    float *v = s_.v.data();
    std::fill(acc, acc + w_, 0.0f);
    for (int32_t j = 0; j < b_; ++j) {
        convert(sy_first + j, v, nullptr);
        switch (b_) {
        case 2:
            for (int32_t o = 0; o < w_; ++o)
                acc[o] += v[2 * o] + v[2 * o + 1];
            break;
        case 3:
            for (int32_t o = 0; o < w_; ++o)
                acc[o] += v[3 * o] + v[3 * o + 1] + v[3 * o + 2];
            break;
        case 4:
            for (int32_t o = 0; o < w_; ++o)
                acc[o] += (v[4 * o] + v[4 * o + 1]) + (v[4 * o + 2] + v[4 * o + 3]);
            break;
        default:
            for (int32_t o = 0; o < w_; ++o) {
                float s = 0.0f;
                for (int32_t q = 0; q < b_; ++q)
                    s += v[size_t(o) * b_ + q];
                acc[o] += s;
            }
        }
    }
    const float cells = float(b_) * float(b_);
    const float full = cp_.full_scale;
    if (color_) {
        const float inv = 1.0f / cells;
        for (int32_t o = 0; o < w_; ++o)
            out[o] = uint16_t(std::min(full, acc[o] * inv) + 0.5f);
    } else {
        const float drop = (cells - 1.0f) * pedestal_;
        for (int32_t o = 0; o < w_; ++o)
            out[o] = uint16_t(std::max(0.0f, std::min(full, acc[o] - drop)) + 0.5f);
    }
}

void Renderer::run(uint8_t *dst, size_t n)
{
    setup();
    const int bpp = bytes_per_pixel(rq_.img_type);
    const size_t row_bytes = size_t(w_) * size_t(bpp);
    const bool flip_h = (rq_.flip & ORX_FLIP_HORIZ) != 0;
    const bool flip_v = (rq_.flip & ORX_FLIP_VERT) != 0;
    const bool demosaic = color_ && (rq_.img_type == ORX_IMG_RGB24 || rq_.img_type == ORX_IMG_Y8);

    // output rows whose bytes fall inside the buffer
    const int32_t rows_in_buffer = int32_t(std::min<size_t>(size_t(h_), (n + row_bytes - 1) / row_bytes));
    const int32_t r_lo = flip_v ? h_ - rows_in_buffer : 0;
    const int32_t r_hi = flip_v ? h_ : rows_in_buffer;
    // the demosaic needs one neighbour row on either side
    const int32_t m_lo = demosaic ? std::max(0, r_lo - 1) : r_lo;
    const int32_t m_hi = demosaic ? std::min(h_, r_hi + 1) : r_hi;
    y_lo_ = sy0_ + m_lo * b_;
    y_hi_ = sy0_ + m_hi * b_;

    collect_stars();
    collect_hot_pixels();

    const int shift_dn = bit_depth_ - 8;
    const uint8_t *curve = kern::gamma_curve(std::max(1, std::min(100, int(rq_.gamma))));
    uint8_t *stage = grow(s_.stage, row_bytes);

    auto emit = [&](int32_t r, auto &&write_row) {
        const int32_t pos = flip_v ? h_ - 1 - r : r;
        const size_t off = size_t(pos) * row_bytes;
        if (off + row_bytes <= n) {
            write_row(dst + off);
        } else if (off < n) {
            write_row(stage);
            std::memcpy(dst + off, stage, n - off);
        }
    };

    if (!demosaic) {
        uint16_t *m = grow(s_.mosaic, size_t(w_));
        for (int32_t r = r_lo; r < r_hi; ++r) {
            render_output_row(r, m);
            emit(r, [&](uint8_t *o) {
                switch (rq_.img_type) {
                case ORX_IMG_RAW16: kern::pack_raw16(m, size_t(w_), 16 - bit_depth_, flip_h, o); break;
                case ORX_IMG_RAW8: kern::pack_raw8(m, size_t(w_), shift_dn, flip_h, o); break;
                case ORX_IMG_RGB24: kern::pack_grey_bgr(m, size_t(w_), shift_dn, curve, flip_h, o); break;
                default: kern::pack_y8(m, size_t(w_), shift_dn, curve, flip_h, o); break;
                }
            });
        }
        return;
    }

    // colour RGB24 / Y8: four mosaic rows in a ring, each with a reflected
    // column on either side
    const size_t stride = size_t(w_) + 2;
    uint16_t *ring = grow(s_.mosaic, 4 * stride);
    auto slot = [&](int32_t r) { return ring + size_t(r & 3) * stride + 1; };
    auto reflect = [&](int32_t r) {
        if (r < 0) return h_ > 1 ? -r : 0;
        if (r >= h_) return h_ > 1 ? 2 * h_ - 2 - r : h_ - 1;
        return r;
    };
    int32_t next = m_lo;
    auto ensure = [&](int32_t upto) {
        for (; next <= upto && next < m_hi; ++next) {
            uint16_t *row = slot(next);
            render_output_row(next, row);
            row[-1] = w_ > 1 ? row[1] : row[0];
            row[w_] = w_ > 1 ? row[w_ - 2] : row[0];
        }
    };
    const int col_phase = (sx0_ / b_) & 1;
    for (int32_t r = r_lo; r < r_hi; ++r) {
        ensure(std::min(h_ - 1, r + 1));
        kern::Demosaic d;
        d.up = slot(reflect(r - 1));
        d.mid = slot(r);
        d.down = slot(reflect(r + 1));
        d.w = size_t(w_);
        const int p = row_parity(r);
        d.chan0 = kBayer[pattern_][p][col_phase];
        d.chan1 = kBayer[pattern_][p][col_phase ^ 1];
        d.shift_right = shift_dn;
        d.curve = curve;
        d.mirror = flip_h;
        emit(r, [&](uint8_t *o) {
            if (rq_.img_type == ORX_IMG_RGB24)
                kern::demosaic_bgr(d, o);
            else
                kern::demosaic_luma(d, o);
        });
    }
}

} // namespace

size_t frame_bytes(const FrameRequest &req)
{
    if (req.width <= 0 || req.height <= 0)
        return 0;
    return size_t(req.width) * size_t(req.height) * size_t(bytes_per_pixel(req.img_type));
}

void render_frame(const FrameRequest &req, uint8_t *dst, size_t size)
{
    const size_t n = std::min(frame_bytes(req), size);
    if (n == 0 || dst == nullptr)
        return;
    const SensorModel *sm = req.model;
    if (sm == nullptr || sm->width <= 0 || sm->height <= 0) {
        std::memset(dst, 0, n);
        return;
    }
    thread_local Scratch scratch;
    Renderer(req, scratch).run(dst, n);
}

} // namespace orxsim
