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
//                pixel. Amp glow, pattern noise and cosmic rays are in
//                sensor_artefacts.hpp.
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

// star light below this many electrons per pixel, or below this share of a
// background pixel's noise, is not drawn
constexpr float kStampFloorE = 0.05f;
constexpr double kStampFloorNoise = 0.02;
constexpr double kMaxTintResponse = 1.3; // largest star tint times photosite response
constexpr double kInvisibleNoiseShare = 0.5; // of a pixel's noise: stars fainter in total are not drawn
constexpr double kHotPixelsPerMp = 10.0;
constexpr int32_t kBandRows = 32;         // photosite rows built at a time
constexpr size_t kConvertChunk = 512;     // photosites converted at a time

// One Gaussian component of one star, clipped to the rendered region.
struct Stamp {
    int32_t x0, x1;        // columns of the row buffer covered, [x0, x1)
    int32_t y0, y1;        // sensor rows covered, [y0, y1)
    int32_t ix, iy;        // pixel holding the centre: row-buffer column, sensor row
    const float *gx, *gy;  // profile rows, indexed by offset from ix / iy
    float amp[3];          // electrons of this component, per colour
};

struct Scratch {
    std::vector<float> band, v, acc, noise;
    std::vector<float> base[2], k[2];
    std::vector<uint8_t> chan[2];
    std::vector<uint16_t> mosaic;
    std::vector<uint8_t> darkrow, stage;
    std::vector<Stamp> stamps;
    std::vector<Stamp> sorted;   // stamps in order of first row
    std::vector<uint32_t> count, active;
    std::vector<Star> stars;
    std::vector<artefact::Charge> charges;
    artefact::AmpGlow glow;
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
    void collect_charges();
    const float *photosite_row(int32_t sy);
    void build_band(int32_t y0);
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
    double pixel_var_e_ = 0.0;        // noise variance of a background photosite, electrons^2
    uint64_t noise_seed_ = 0;         // key of this frame's random parts

    size_t next_stamp_ = 0, next_charge_ = 0;
    int32_t band_y0_ = 0, band_y1_ = 0; // sensor rows held in s_.band
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
    // the readout's noise, random and patterned, falls with gain
    const double readout_scale = 0.35 + 0.65 / gain_factor;
    const double read_noise = std::max(0.0, sm_.read_noise_e) * readout_scale;
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
    pixel_var_e_ = cp_.read_var + sky + dark_e;
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
    grow(s_.band, n_ * kBandRows);
    band_y0_ = band_y1_ = 0;
    grow(s_.v, n_);
    grow(s_.noise, kConvertChunk);
    grow(s_.acc, size_t(w_));
    s_.glow.setup(sm_, sx0_, n_, t_);
    s_.pattern.setup(sm_, noise_seed_, sx0_, n_, readout_scale);
}

void Renderer::collect_stars()
{
    s_.stamps.clear();
    s_.sorted.clear();
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

    // the faintest star that can leave a drawn stamp
    float frac_peak = 0.0f;
    for (int ci = 0; ci < 2; ++ci)
        frac_peak = std::max(frac_peak, fracs[ci] * comps[ci]->centre_peak * comps[ci]->centre_peak);
    // and stars whose whole light is below half the noise of one background
    // pixel: spread over a star's dozen pixels it would take a stack of
    // hundreds of such frames to detect one
    const float floor_e = std::max(kStampFloorE, float(kStampFloorNoise * std::sqrt(pixel_var_e_)));
    const double min_flux = std::max(floor_e / (kMaxTintResponse * double(frac_peak)),
                                     kInvisibleNoiseShare * std::sqrt(pixel_var_e_)) / t_;
    const TileStarField own(rq_.sky);
    const StarSource &source = rq_.stars ? *rq_.stars : static_cast<const StarSource &>(own);
    s_.stars.clear();
    source.stars(x_lo - reach - dx, double(y_lo_) - reach - dy, x_hi + reach - dx, double(y_hi_) + reach - dy,
                 min_flux, s_.stars);
    for (const Star &star : s_.stars) {
        const double cx = star.x + dx, cy = star.y + dy;
        if (star.flux < min_flux)
            continue;
        const double flux_e = star.flux * t_;
        float amp[3], amp_max = 0.0f;
        for (int c = 0; c < 3; ++c) {
            amp[c] = float(color_ ? flux_e * star.tint[c] * kResponse[c] : flux_e);
            amp_max = std::max(amp_max, amp[c]);
        }
        for (int ci = 0; ci < 2; ++ci) {
            const field::Profile &pr = *comps[ci];
            const float peak = amp_max * fracs[ci] * pr.centre_peak * pr.centre_peak;
            if (!(peak > floor_e))
                continue;
            // radius where the Gaussian falls below the floor
            const double reach_c = pr.sigma * std::sqrt(2.0 * std::log(double(peak) / floor_e));
            const int rad = std::min(pr.radius, int(std::ceil(reach_c)) + 1);
            double fx = std::floor(cx), fy = std::floor(cy);
            int phx = int(std::floor((cx - fx) * field::kPhases + 0.5));
            int phy = int(std::floor((cy - fy) * field::kPhases + 0.5));
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
    }
    // in order of first row (a counting sort: there are many stamps, few rows)
    const size_t rows = size_t(y_hi_ - y_lo_) + 1;
    s_.count.assign(rows + 1, 0);
    for (const Stamp &st : s_.stamps)
        ++s_.count[size_t(st.y0 - y_lo_) + 1];
    for (size_t i = 1; i <= rows; ++i)
        s_.count[i] += s_.count[i - 1];
    s_.sorted.resize(s_.stamps.size());
    for (const Stamp &st : s_.stamps)
        s_.sorted[s_.count[size_t(st.y0 - y_lo_)]++] = st;
}

// Hot pixels and cosmic-ray hits of the rendered rows, sorted by row.
void Renderer::collect_charges()
{
    s_.charges.clear();
    next_charge_ = 0;
    const int32_t x_end = int32_t(std::min<int64_t>(int64_t(sx0_) + int64_t(n_), INT32_MAX));
    field::for_each_hot_pixel(sm_.hot_pixel_seed, kHotPixelsPerMp, sm_.width, sm_.height, sx0_, y_lo_, x_end,
                              y_hi_, [&](const field::HotPixel &hp) {
                                  s_.charges.push_back(
                                      {hp.x, hp.y, float(hp.rate_e * dark_factor_ * t_) + hp.fixed_e});
                              });
    artefact::cosmic_rays(sm_, noise_seed_, t_, sx0_, y_lo_, x_end, y_hi_, s_.charges);
    std::sort(s_.charges.begin(), s_.charges.end(), [](const artefact::Charge &a, const artefact::Charge &b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
}

// Electrons of every photosite of sensor row sy. Rows must come in
// increasing order within a frame.
const float *Renderer::photosite_row(int32_t sy)
{
    if (sy >= band_y1_)
        build_band(sy);
    return s_.band.data() + size_t(sy - band_y0_) * n_;
}

// Builds the photosite rows [y0, y0 + kBandRows) (clipped to the rendered
// rows) into s_.band.
void Renderer::build_band(int32_t y0)
{
    const int32_t y1 = std::min(y_hi_, y0 + kBandRows);
    band_y0_ = y0;
    band_y1_ = y1;
    // the colour parity of sensor row sy is that of the output row holding it
    auto parity = [&](int32_t sy) { return row_parity((sy - sy0_) / b_); };
    for (int32_t sy = y0; sy < y1; ++sy) {
        float *e = s_.band.data() + size_t(sy - y0) * n_;
        std::memcpy(e, s_.base[parity(sy)].data(), n_ * sizeof(float));
        if (s_.glow.active())
            s_.glow.add_row(sy, e);
    }

    // hot pixels and cosmic rays
    const std::vector<artefact::Charge> &q = s_.charges;
    while (next_charge_ < q.size() && q[next_charge_].y < y0)
        ++next_charge_;
    for (; next_charge_ < q.size() && q[next_charge_].y < y1; ++next_charge_)
        s_.band[size_t(q[next_charge_].y - y0) * n_ + size_t(q[next_charge_].x - sx0_)] += q[next_charge_].e;

    // stars: admit stamps starting in this band, draw, retire finished ones
    while (next_stamp_ < s_.sorted.size() && s_.sorted[next_stamp_].y0 < y1)
        s_.active.push_back(uint32_t(next_stamp_++));
    for (size_t a = 0; a < s_.active.size();) {
        const Stamp &st = s_.sorted[s_.active[a]];
        const int32_t ry0 = std::max(st.y0, y0), ry1 = std::min(st.y1, y1);
        const float *gx = st.gx;
        const int32_t ix = st.ix;
        for (int32_t sy = ry0; sy < ry1; ++sy) {
            float *e = s_.band.data() + size_t(sy - y0) * n_;
            const float gy = st.gy[sy - st.iy];
            if (!color_) {
                const float amp = st.amp[0] * gy;
                for (int32_t x = st.x0; x < st.x1; ++x)
                    e[x] += amp * gx[x - ix];
            } else if (b_ == 1 && st.x1 - st.x0 >= 2) {
                // colours alternate column by column: two amplitudes
                const uint8_t *ch = s_.chan[parity(sy)].data();
                const float a0 = st.amp[ch[st.x0]] * gy, a1 = st.amp[ch[st.x0 + 1]] * gy;
                int32_t x = st.x0;
                for (; x + 1 < st.x1; x += 2) {
                    e[x] += a0 * gx[x - ix];
                    e[x + 1] += a1 * gx[x + 1 - ix];
                }
                if (x < st.x1)
                    e[x] += a0 * gx[x - ix];
            } else {
                const uint8_t *ch = s_.chan[parity(sy)].data();
                const float amp[3] = {st.amp[0] * gy, st.amp[1] * gy, st.amp[2] * gy};
                for (int32_t x = st.x0; x < st.x1; ++x)
                    e[x] += amp[ch[x]] * gx[x - ix];
            }
        }
        if (st.y1 <= y1) {
            s_.active[a] = s_.active.back();
            s_.active.pop_back();
        } else {
            ++a;
        }
    }
}

// ADC values of output row r (unflipped) into out[0..w).
void Renderer::render_output_row(int32_t r, uint16_t *out)
{
    const int parity = row_parity(r);
    const bool sub_dark = rq_.dark_frame != nullptr;
    const int64_t sensor_x_end = int64_t(sx0_) + int64_t(n_);
    const bool dark_inside = sx0_ >= 0 && sensor_x_end <= sm_.width;

    auto convert = [&](int32_t sy, float *fout, uint16_t *uout) {
        const float *e = photosite_row(sy);
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
    y_lo_ = sy0_ + m_lo * b_;
    y_hi_ = sy0_ + m_hi * b_;

    collect_stars();
    collect_charges();

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
