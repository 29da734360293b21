// sensor.cpp - renders the frames of a simulated camera.
//
// Model of one frame, per photosite (unbinned sensor pixel):
//   electrons  = (sky + stars) * t + dark current * t + amp glow * t
//                + hot pixel charge + cosmic-ray charge,
//                clipped at the full well; no light at all for a dark frame.
//                Dark current (hot pixels' too) doubles every
//                dark_doubling_c degrees above dark_ref_temp_c. Stars come
//                from a StarSource (sensor_stars.hpp), shifted by the guide
//                drift with 1/64 pixel resolution; their images are a
//                Gaussian core plus a faint wide halo, integrated over each
//                pixel. The charge is built in sensor_charge.cpp; amp glow,
//                pattern noise and cosmic rays are in sensor_artefacts.hpp.
//   ADU        = bias + k * (electrons + row/column offsets
//                            + sqrt(read_noise^2 + electrons) * N(0,1))
//                clipped to [0, 2^bits - 1], where bits is the ADC's depth
//                for this frame (the model's unless the request sets one),
//                k = 10^(gain/200) / elec_per_adu * 2^(bits - model bits)
//                (gain in 0.1 dB steps), times wb_r/50 or wb_b/50 on red and
//                blue photosites, and bias = offset * 2^(bits - 8) ADU (so
//                the offset reads back directly as the black level of an
//                8-bit image). The read noise and the pattern offsets fall
//                with gain, to 0.35x at very high gain.
//                N(0,1) is deviate x of a counter-based stream keyed by
//                (noise_key, frame_index, row): no two pixels, frames or
//                cameras share it, and a pixel's noise does not depend on
//                the region of interest.
//   dark frame = when given, dark[y][x] * 2^(bits - 8) ADU is subtracted
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
//   RAW16  little-endian v << (16 - bits)
//   RAW8   v >> (bits - 8)
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
#include "sensor_artefacts.hpp"
#include "sensor_charge.hpp"
#include "sensor_field.hpp"
#include "sensor_kernels.hpp"

namespace orxsim {

namespace {

constexpr size_t kConvertChunk = 512; // photosites converted at a time

struct Scratch {
    std::vector<float> v, acc, noise;
    std::vector<float> k[2];
    std::vector<uint16_t> mosaic;
    std::vector<uint8_t> darkrow, stage;
    ChargeImage charge;
    artefact::PatternNoise pattern;
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

class Renderer {
public:
    Renderer(const FrameRequest &rq, Scratch &s) : rq_(rq), sm_(*rq.model), s_(s) {}

    void run(uint8_t *dst, size_t n);

private:
    void setup();
    void render_output_row(int32_t r, uint16_t *out);
    int row_parity(int32_t r) const { return s_.charge.parity_of_output_row(r); }

    const FrameRequest &rq_;
    const SensorModel &sm_;
    Scratch &s_;

    int32_t w_ = 0, h_ = 0, b_ = 1;   // output size, bin factor
    int32_t sx0_ = 0, sy0_ = 0;       // sensor origin of the region
    size_t n_ = 0;                    // photosites per sensor row of the region
    bool color_ = false;
    int pattern_ = 0;
    int bit_depth_ = 12;
    kern::ConvParams cp_{};
    float pedestal_ = 0.0f;           // black level of one photosite value
    float k_[3] = {1, 1, 1};          // electrons to ADU, per colour
    double readout_scale_ = 1.0;      // of the read noise and pattern noise, by gain
    uint64_t noise_seed_ = 0;         // key of this frame's random parts
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

    const double gain_factor = std::pow(10.0, std::max(-1000, std::min(1000, int(rq_.gain))) / 200.0);
    // a coarser ADC has proportionally more electrons per ADU
    const double epa = (sm_.elec_per_adu > 0.0 ? sm_.elec_per_adu : 1.0) *
                       std::ldexp(1.0, model_bits - bit_depth_);
    // the readout's noise, random and patterned, falls with gain
    readout_scale_ = 0.35 + 0.65 / gain_factor;
    const double read_noise = std::max(0.0, sm_.read_noise_e) * readout_scale_;
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
    const double wb[3] = {color_ ? rq_.wb_r / 50.0 : 1.0, 1.0, color_ ? rq_.wb_b / 50.0 : 1.0};
    for (int c = 0; c < 3; ++c)
        k_[c] = float(gain_factor / epa * std::max(0.0, wb[c]));
    grow(s_.v, n_);
    grow(s_.noise, kConvertChunk);
    grow(s_.acc, size_t(w_));
    s_.pattern.setup(sm_, noise_seed_, sx0_, n_, readout_scale_);
}

// ADC values of output row r (unflipped) into out[0..w).
void Renderer::render_output_row(int32_t r, uint16_t *out)
{
    const int parity = row_parity(r);
    const bool sub_dark = rq_.dark_frame != nullptr;
    const int64_t sensor_x_end = int64_t(sx0_) + int64_t(n_);
    const bool dark_inside = sx0_ >= 0 && sensor_x_end <= sm_.width;

    auto convert = [&](int32_t sy, float *fout, uint16_t *uout) {
        const float *e = s_.charge.row(sy);
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
        // the deviate of photosite (x, sy) is number x of the row's stream:
        // the same pixel gets the same noise whatever the region of interest
        const uint64_t row_key = kern::mix64(noise_seed_ + uint64_t(int64_t(sy)) * 0x9E3779B97F4A7C15ull);
        const float row_off = s_.pattern.row_offset(sy);
        // in pieces that stay in the first-level cache
        for (size_t c = 0; c < n_; c += kConvertChunk) {
            const size_t len = std::min(kConvertChunk, n_ - c);
            kern::normal_deviates(row_key, uint64_t(int64_t(sx0_) + int64_t(c)), len, s_.noise.data());
            kern::RowIn in;
            in.e = e + c;
            in.noise = s_.noise.data();
            in.k = s_.k[parity].data() + c;
            in.off = s_.pattern.col_offsets() + c;
            in.dark = dark ? dark + c : nullptr;
            in.row_off = row_off;
            if (uout)
                kern::convert_row_u16(in, len, cp_, uout + c);
            else
                kern::convert_row_f(in, len, cp_, fout + c);
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
    ChargeRegion region;
    region.x0 = sx0_;
    region.y0 = sy0_;
    region.n = n_;
    region.y_lo = sy0_ + m_lo * b_;
    region.y_hi = sy0_ + m_hi * b_;
    region.bin = b_;
    s_.charge.setup(rq_, region, cp_.read_var, noise_seed_);
    // electrons-to-ADU factor of each photosite, by row parity
    for (int p = 0; p < 2; ++p) {
        float *k = grow(s_.k[p], n_);
        const uint8_t *ch = s_.charge.colours(p);
        for (size_t i = 0; i < n_; ++i)
            k[i] = k_[ch[i]];
    }

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
