// sensor_artefacts.cpp - amp glow, pattern noise and cosmic rays.
#include "sensor_artefacts.hpp"

#include <algorithm>
#include <cmath>

#include "sensor_field.hpp"
#include "sensor_kernels.hpp"

namespace orxsim {
namespace artefact {

namespace {

constexpr double kGlowCoreShare = 0.75;  // of the peak; the skirt has the rest
constexpr double kGlowSkirtScale = 3.0;  // skirt sigma / core sigma
constexpr double kGlowAlongEdge = 5.0;   // an edge glow's extent along the edge / across it
constexpr float kGlowFloorE = 1e-3f;     // rows getting less than this are skipped

} // namespace

void AmpGlow::setup(const SensorModel &m, int64_t x0, size_t n, double seconds)
{
    ncomp_ = 0;
    n_ = n;
    const double peak = std::max(0.0, m.amp_glow_e) * seconds;
    const double reach = std::max(1.0, m.amp_glow_reach_px);
    if (!(peak > 0.0) || m.amp_glow_at == AmpGlowAt::None || !std::isfinite(peak))
        return;
    const double w = m.width, h = m.height;
    double cx = 0, cy = 0, ax = 1, ay = 1; // origin and sigma scale along x and y
    switch (m.amp_glow_at) {
    case AmpGlowAt::TopLeft: break;
    case AmpGlowAt::TopRight: cx = w; break;
    case AmpGlowAt::BottomLeft: cy = h; break;
    case AmpGlowAt::BottomRight: cx = w; cy = h; break;
    case AmpGlowAt::Left: cy = h / 2; ay = kGlowAlongEdge; break;
    case AmpGlowAt::Right: cx = w; cy = h / 2; ay = kGlowAlongEdge; break;
    case AmpGlowAt::Top: cx = w / 2; ax = kGlowAlongEdge; break;
    case AmpGlowAt::Bottom: cx = w / 2; cy = h; ax = kGlowAlongEdge; break;
    case AmpGlowAt::None: return;
    }
    const double share[2] = {kGlowCoreShare, 1.0 - kGlowCoreShare};
    for (int c = 0; c < 2; ++c) {
        Comp &k = comp_[c];
        const double sigma = reach * (c == 0 ? 1.0 : kGlowSkirtScale);
        const double sx = sigma * ax;
        k.cy = cy;
        k.sy = sigma * ay;
        k.gx.resize(n);
        k.gx_max = 0.0f;
        for (size_t i = 0; i < n; ++i) {
            const double d = (double(x0) + double(i) + 0.5 - cx) / sx;
            k.gx[i] = float(peak * share[c] * std::exp(-0.5 * d * d));
            k.gx_max = std::max(k.gx_max, k.gx[i]);
        }
    }
    ncomp_ = 2;
}

void AmpGlow::add_row(int32_t y, float *e) const
{
    for (int c = 0; c < ncomp_; ++c) {
        const Comp &k = comp_[c];
        const double d = (double(y) + 0.5 - k.cy) / k.sy;
        const float f = float(std::exp(-0.5 * d * d));
        if (!(f * k.gx_max > kGlowFloorE))
            continue;
        const float *gx = k.gx.data();
        for (size_t i = 0; i < n_; ++i)
            e[i] += f * gx[i];
    }
}

namespace {
constexpr uint64_t kColFixed = 0xC01F1Eull, kColFrame = 0xC01F7Aull;
constexpr uint64_t kRowFixed = 0x70F1Eull, kRowFrame = 0x70F7Aull;
} // namespace

void PatternNoise::setup(const SensorModel &m, uint64_t frame_key, int64_t x0, size_t n, double scale)
{
    const uint64_t fixed_key = kern::mix64(uint64_t(m.hot_pixel_seed) * 0x9E3779B97F4A7C15ull + 0xF1BEDull);
    col_.assign(n, 0.0f);
    scratch_.resize(n);
    const double col_fixed = std::max(0.0, m.col_fixed_e) * scale;
    const double col_frame = std::max(0.0, m.col_frame_e) * scale;
    const struct {
        double amp;
        uint64_t key;
    } parts[2] = {{col_fixed, kern::mix64(fixed_key ^ kColFixed)}, {col_frame, kern::mix64(frame_key ^ kColFrame)}};
    for (const auto &p : parts) {
        if (!(p.amp > 0.0))
            continue;
        kern::normal_deviates(p.key, uint64_t(x0), n, scratch_.data());
        const float a = float(p.amp);
        for (size_t i = 0; i < n; ++i)
            col_[i] += a * scratch_[i];
    }
    row_fixed_ = std::max(0.0, m.row_fixed_e) * scale;
    row_frame_ = std::max(0.0, m.row_frame_e) * scale;
    row_fixed_key_ = kern::mix64(fixed_key ^ kRowFixed);
    row_frame_key_ = kern::mix64(frame_key ^ kRowFrame);
}

float PatternNoise::row_offset(int32_t y) const
{
    double v = 0.0;
    if (row_fixed_ > 0.0)
        v += row_fixed_ * kern::normal_deviate(row_fixed_key_, uint64_t(int64_t(y)));
    if (row_frame_ > 0.0)
        v += row_frame_ * kern::normal_deviate(row_frame_key_, uint64_t(int64_t(y)));
    return float(v);
}

void cosmic_rays(const SensorModel &m, uint64_t frame_key, double seconds, int32_t x0, int32_t y0,
                 int32_t x1, int32_t y1, std::vector<Charge> &out)
{
    const double pixel_cm = m.pixel_size_um * 1e-4;
    const double rate = m.cosmic_per_cm2_min / 60.0; // per cm^2 per second
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, m.width);
    y1 = std::min(y1, m.height);
    if (!(rate > 0.0) || !(seconds > 0.0) || !(pixel_cm > 0.0) || x1 <= x0 || y1 <= y0)
        return;
    // tracks start in tiles up to the longest track away from the region
    const int32_t m_pad = kCosmicMaxLengthPx + 1;
    const int32_t tx0 = std::max(0, x0 - m_pad) / kCosmicTile, tx1 = (std::min(m.width, x1 + m_pad) - 1) / kCosmicTile;
    const int32_t ty0 = std::max(0, y0 - m_pad) / kCosmicTile, ty1 = (std::min(m.height, y1 + m_pad) - 1) / kCosmicTile;
    const double pixel_um = m.pixel_size_um;
    const uint64_t key = kern::mix64(frame_key ^ 0xC05A1Cull);
    for (int32_t ty = ty0; ty <= ty1; ++ty) {
        for (int32_t tx = tx0; tx <= tx1; ++tx) {
            // the part of the tile on the sensor
            const int32_t bx0 = tx * kCosmicTile, by0 = ty * kCosmicTile;
            const int32_t bw = std::min(kCosmicTile, m.width - bx0), bh = std::min(kCosmicTile, m.height - by0);
            const double lambda = rate * seconds * double(bw) * double(bh) * pixel_cm * pixel_cm;
            field::Rng r(field::tile_seed(key, 0, tx, ty));
            const int hits = field::poisson(r, lambda, std::exp(-lambda));
            for (int i = 0; i < hits; ++i) {
                const double sx = bx0 + r.uniform() * bw, sy = by0 + r.uniform() * bh;
                // arrivals per horizontal area go as cos^3 of the zenith angle
                const double cos_t = std::max(0.05, std::pow(r.uniform_pos(), 0.25));
                const double tan_t = std::sqrt(1.0 - cos_t * cos_t) / cos_t;
                const double len = std::min(double(kCosmicMaxLengthPx), kCosmicDepthUm * tan_t / pixel_um);
                const double phi = 6.283185307179586 * r.uniform();
                // energy loss fluctuates with a long tail (Gumbel-shaped, mode 1)
                const double fluct = std::min(20.0, std::max(0.4, 1.0 - 0.3 * std::log(-std::log(r.uniform_pos()))));
                const double charge = kCosmicElectronsPerUm * kCosmicDepthUm / cos_t * fluct;
                // charge spread evenly along the track, each step bilinearly
                // over the four nearest photosites
                const int steps = 1 + int(len * 4.0);
                const float per_step = float(charge / steps);
                const double dx = std::cos(phi) * len, dy = std::sin(phi) * len;
                for (int s = 0; s < steps; ++s) {
                    const double f = steps > 1 ? double(s) / (steps - 1) - 0.5 : 0.0;
                    const double px = sx + f * dx - 0.5, py = sy + f * dy - 0.5;
                    const double fx = std::floor(px), fy = std::floor(py);
                    const float ux = float(px - fx), uy = float(py - fy);
                    const float wts[4] = {(1 - ux) * (1 - uy), ux * (1 - uy), (1 - ux) * uy, ux * uy};
                    for (int q = 0; q < 4; ++q) {
                        const int64_t x = int64_t(fx) + (q & 1), y = int64_t(fy) + (q >> 1);
                        if (x >= x0 && x < x1 && y >= y0 && y < y1 && wts[q] > 0.0f)
                            out.push_back({int32_t(x), int32_t(y), per_step * wts[q]});
                    }
                }
            }
        }
    }
}

} // namespace artefact
} // namespace orxsim
