// sensor_charge.cpp - the charge an exposure leaves in each photosite.
#include "sensor_charge.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sensor_field.hpp"

namespace orxsim {

namespace {

// response of the colour photosites to white light, relative to a mono
// photosite: each dye passes about a third of the band, in proportions the
// default white balance (52, 95) renders grey
constexpr float kDye = 1.0f / 3.0f;
const float kResponse[3] = {kDye * 50.0f / 52.0f, kDye, kDye * 50.0f / 95.0f};

// star light below this many electrons per pixel, or below this share of a
// background pixel's noise, is not drawn
constexpr float kStampFloorE = 0.05f;
constexpr double kStampFloorNoise = 0.02;
constexpr double kMaxTintResponse = 1.3; // largest star tint times photosite response
constexpr double kInvisibleNoiseShare = 0.5; // of a pixel's noise: stars fainter in total are not drawn
constexpr double kHotPixelsPerMp = 10.0;
constexpr int32_t kBandRows = 32;         // photosite rows built at a time

} // namespace

double dark_temperature_factor(const SensorModel &m, double temp_c)
{
    if (!std::isfinite(temp_c) || !(m.dark_doubling_c > 0.0))
        return 1.0;
    const double steps = (std::max(-100.0, std::min(150.0, temp_c)) - m.dark_ref_temp_c) / m.dark_doubling_c;
    return std::exp2(std::max(-60.0, std::min(60.0, steps)));
}

void ChargeImage::setup(const FrameRequest &rq, const ChargeRegion &r, double read_var_e, uint64_t frame_key)
{
    rq_ = &rq;
    sm_ = rq.model;
    sx0_ = r.x0;
    y0_ = r.y0;
    b_ = std::max<int32_t>(1, r.bin);
    n_ = r.n;
    y_lo_ = r.y_lo;
    y_hi_ = r.y_hi;
    color_ = sm_->color;
    frame_key_ = frame_key;
    t_ = double(std::max<int64_t>(0, rq.exposure_us)) * 1e-6;
    dark_factor_ = dark_temperature_factor(*sm_, rq.sensor_temp_c);

    const double sky = rq.dark ? 0.0 : std::max(0.0, rq.sky.sky_e_per_s) * t_;
    const double dark_e = std::max(0.0, sm_->dark_current_e) * dark_factor_ * t_;
    pixel_var_e_ = read_var_e + sky + dark_e;
    float base_e[3];
    for (int c = 0; c < 3; ++c)
        base_e[c] = float(sky * (color_ ? kResponse[c] : 1.0f) + dark_e);
    const int pattern = (sm_->bayer >= 0 && sm_->bayer < 4) ? sm_->bayer : 0;
    const int32_t col_phase = sx0_ / b_;
    const Sky &sk = rq.sky;
    shaded_ = sky > 0.0 && (sk.grad_x != 0.0 || sk.grad_y != 0.0 || sk.vignetting > 0.0);
    // the shading, separable: a factor per column times one per row
    const double hx = 0.5 * sm_->width, hy = 0.5 * sm_->height, r2 = hx * hx + hy * hy;
    const double vig = std::max(0.0, std::min(1.0, sk.vignetting));
    auto shade = [&](double d, double grad) {
        return float(std::max(0.0, (1.0 + grad * d) * (1.0 - vig * d * d / r2)));
    };
    for (int p = 0; p < 2; ++p) {
        base_[p].resize(n_);
        chan_[p].resize(n_);
        if (shaded_)
            sky_[p].resize(n_);
        for (size_t i = 0; i < n_; ++i) {
            const int c = color_ ? kBayer[pattern][p][(col_phase + int32_t(i / size_t(b_))) & 1] : 1;
            chan_[p][i] = uint8_t(c);
            base_[p][i] = base_e[c];
            if (shaded_) {
                const float sky_c = float(sky * (color_ ? kResponse[c] : 1.0f));
                base_[p][i] -= sky_c;
                sky_[p][i] = sky_c * shade(double(sx0_) + double(i) + 0.5 - hx, sk.grad_x);
            }
        }
    }
    if (shaded_) {
        sky_row_.resize(size_t(std::max(0, y_hi_ - y_lo_)));
        for (int32_t sy = y_lo_; sy < y_hi_; ++sy)
            sky_row_[size_t(sy - y_lo_)] = shade(double(sy) + 0.5 - hy, sk.grad_y);
    }
    if (band_.size() < n_ * kBandRows)
        band_.resize(n_ * kBandRows);
    band_y0_ = band_y1_ = y_lo_; // empty: the first row builds a band
    glow_.setup(*sm_, sx0_, n_, t_);
    collect_stars();
    collect_charges();
}

void ChargeImage::collect_stars()
{
    stamps_.clear();
    sorted_.clear();
    active_.clear();
    next_stamp_ = 0;
    if (rq_->dark || t_ <= 0.0)
        return;
    const field::Psf &psf = field::psf_for(rq_->sky.seeing_fwhm);
    const field::Profile *comps[2] = {&psf.core, &psf.halo};
    const float fracs[2] = {1.0f - field::kHaloFraction, field::kHaloFraction};
    const int reach = std::max(psf.core.radius, psf.halo.radius) + 1;
    // a mount cannot wander further than this; keeps tile numbers in range
    auto sane = [](double d) { return std::isfinite(d) ? std::max(-1e9, std::min(1e9, d)) : 0.0; };
    const double dx = sane(rq_->drift_x), dy = sane(rq_->drift_y);
    const double x_lo = double(sx0_), x_hi = double(sx0_) + double(n_);

    // the faintest star that can leave a drawn stamp
    float frac_peak = 0.0f;
    for (int ci = 0; ci < 2; ++ci)
        frac_peak = std::max(frac_peak, fracs[ci] * comps[ci]->centre_peak * comps[ci]->centre_peak);
    // and stars whose whole light is below half the noise of one background
    // pixel: spread over a star's dozen pixels it would take a stack of
    // hundreds of such frames to detect one
    const float floor_e = std::max(kStampFloorE, float(kStampFloorNoise * std::sqrt(pixel_var_e_)));
    const double tint_response = color_ ? kMaxTintResponse * kDye : 1.0;
    const double min_flux = std::max(floor_e / (tint_response * double(frac_peak)),
                                     kInvisibleNoiseShare * std::sqrt(pixel_var_e_)) / t_;
    const TileStarField own(rq_->sky);
    const StarSource &source = rq_->stars ? *rq_->stars : static_cast<const StarSource &>(own);
    stars_.clear();
    source.stars(x_lo - reach - dx, double(y_lo_) - reach - dy, x_hi + reach - dx, double(y_hi_) + reach - dy,
                 min_flux, stars_);
    for (const Star &star : stars_) {
        const double cx = star.x + dx, cy = star.y + dy;
        // seen or not as the whole star is
        const float share = std::max(1e-6f, std::min(1.0f, star.share));
        if (star.flux < min_flux * share)
            continue;
        const double flux_e = star.flux * t_;
        float amp[3], amp_max = 0.0f;
        for (int c = 0; c < 3; ++c) {
            amp[c] = float(color_ ? flux_e * star.tint[c] * kResponse[c] : flux_e);
            amp_max = std::max(amp_max, amp[c]);
        }
        // an image holding a share of a star is cut where the whole star's
        // image would be, so that its images together keep all its light
        const float floor_s = floor_e * share;
        for (int ci = 0; ci < 2; ++ci) {
            const field::Profile &pr = *comps[ci];
            const float peak = amp_max * fracs[ci] * pr.centre_peak * pr.centre_peak;
            if (!(peak > floor_s))
                continue;
            // radius where the Gaussian falls below the floor: pixel ix + j
            // comes no closer to the centre than |j| - 1
            const double reach_c = pr.sigma * std::sqrt(2.0 * std::log(double(peak) / floor_s));
            const int rad = std::min(pr.radius, int(std::ceil(reach_c)));
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
            stamps_.push_back(st);
        }
    }
    // in order of first row (a counting sort: there are many stamps, few rows)
    const size_t rows = size_t(y_hi_ - y_lo_) + 1;
    count_.assign(rows + 1, 0);
    for (const Stamp &st : stamps_)
        ++count_[size_t(st.y0 - y_lo_) + 1];
    for (size_t i = 1; i <= rows; ++i)
        count_[i] += count_[i - 1];
    sorted_.resize(stamps_.size());
    for (const Stamp &st : stamps_)
        sorted_[count_[size_t(st.y0 - y_lo_)]++] = st;
}

// Hot pixels and cosmic-ray hits of the rendered rows, sorted by row.
void ChargeImage::collect_charges()
{
    charges_.clear();
    next_charge_ = 0;
    const int32_t x_end = int32_t(std::min<int64_t>(int64_t(sx0_) + int64_t(n_), INT32_MAX));
    field::for_each_hot_pixel(sm_->hot_pixel_seed, kHotPixelsPerMp, sm_->width, sm_->height, sx0_, y_lo_, x_end,
                              y_hi_, [&](const field::HotPixel &hp) {
                                  charges_.push_back(
                                      {hp.x, hp.y, float(hp.rate_e * dark_factor_ * t_) + hp.fixed_e});
                              });
    artefact::cosmic_rays(*sm_, frame_key_, t_, sx0_, y_lo_, x_end, y_hi_, charges_);
    std::sort(charges_.begin(), charges_.end(), [](const artefact::Charge &a, const artefact::Charge &b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
}

// Electrons of every photosite of sensor row sy. Rows must come in
// increasing order within a frame.
const float *ChargeImage::row(int32_t sy)
{
    if (sy >= band_y1_)
        build_band(sy);
    return band_.data() + size_t(sy - band_y0_) * n_;
}

// Builds the photosite rows [y0, y0 + kBandRows) (clipped to the rendered
// rows) into band_.
void ChargeImage::build_band(int32_t y0)
{
    const int32_t y1 = std::min(y_hi_, y0 + kBandRows);
    band_y0_ = y0;
    band_y1_ = y1;
    // the colour parity of sensor row sy is that of the output row holding it
        for (int32_t sy = y0; sy < y1; ++sy) {
        float *e = band_.data() + size_t(sy - y0) * n_;
        std::memcpy(e, base_[parity_of_row(sy)].data(), n_ * sizeof(float));
        if (shaded_) {
            const float *s = sky_[parity_of_row(sy)].data();
            const float f = sky_row_[size_t(sy - y_lo_)];
            for (size_t i = 0; i < n_; ++i)
                e[i] += s[i] * f;
        }
        if (glow_.active())
            glow_.add_row(sy, e);
    }

    // hot pixels and cosmic rays
    const std::vector<artefact::Charge> &q = charges_;
    while (next_charge_ < q.size() && q[next_charge_].y < y0)
        ++next_charge_;
    for (; next_charge_ < q.size() && q[next_charge_].y < y1; ++next_charge_)
        band_[size_t(q[next_charge_].y - y0) * n_ + size_t(q[next_charge_].x - sx0_)] += q[next_charge_].e;

    // stars: admit stamps starting in this band, draw, retire finished ones
    while (next_stamp_ < sorted_.size() && sorted_[next_stamp_].y0 < y1)
        active_.push_back(uint32_t(next_stamp_++));
    for (size_t a = 0; a < active_.size();) {
        const Stamp &st = sorted_[active_[a]];
        const int32_t ry0 = std::max(st.y0, y0), ry1 = std::min(st.y1, y1);
        const float *gx = st.gx;
        const int32_t ix = st.ix;
        for (int32_t sy = ry0; sy < ry1; ++sy) {
            float *e = band_.data() + size_t(sy - y0) * n_;
            const float gy = st.gy[sy - st.iy];
            if (!color_) {
                const float amp = st.amp[0] * gy;
                for (int32_t x = st.x0; x < st.x1; ++x)
                    e[x] += amp * gx[x - ix];
            } else if (b_ == 1 && st.x1 - st.x0 >= 2) {
                // colours alternate column by column: two amplitudes
                const uint8_t *ch = chan_[parity_of_row(sy)].data();
                const float a0 = st.amp[ch[st.x0]] * gy, a1 = st.amp[ch[st.x0 + 1]] * gy;
                int32_t x = st.x0;
                for (; x + 1 < st.x1; x += 2) {
                    e[x] += a0 * gx[x - ix];
                    e[x + 1] += a1 * gx[x + 1 - ix];
                }
                if (x < st.x1)
                    e[x] += a0 * gx[x - ix];
            } else {
                const uint8_t *ch = chan_[parity_of_row(sy)].data();
                const float amp[3] = {st.amp[0] * gy, st.amp[1] * gy, st.amp[2] * gy};
                for (int32_t x = st.x0; x < st.x1; ++x)
                    e[x] += amp[ch[x]] * gx[x - ix];
            }
        }
        if (st.y1 <= y1) {
            active_[a] = active_.back();
            active_.pop_back();
        } else {
            ++a;
        }
    }
}

} // namespace orxsim
