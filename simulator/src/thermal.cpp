// thermal.cpp - the sensor's temperature (see thermal.hpp).
#include "thermal.hpp"

#include <algorithm>
#include <cmath>

namespace orxsim {

void Thermal::reset(const ThermalSpec &spec, double ambient_c, int64_t now_ns, uint64_t seed) {
    spec_ = spec;
    temp_ = ambient_c + spec.self_heat_c;
    last_power_ = 0.0;
    t_ns_ = now_ns;
    rng_ = seed * 0x9E3779B97F4A7C15ull + 1;
}

double Thermal::power(const CoolerSettings &s, double ambient_c, double t) const {
    if (!spec_.cooler || !s.on) return 0.0;
    const double drop = spec_.max_drop_c * (s.fan ? 1.0 : kFanOffShare);
    const double hold = (ambient_c + spec_.self_heat_c - s.target_c) / drop;
    const double push = kGain * (t - s.target_c) / drop;
    return std::min(1.0, std::max(0.0, hold + push));
}

void Thermal::advance(int64_t now_ns, const CoolerSettings &s, double ambient_c) {
    double dt = (double)(now_ns - t_ns_) * 1e-9;
    if (dt <= 0) return;
    t_ns_ = now_ns;
    const double warm = ambient_c + spec_.self_heat_c;
    const double drop = spec_.max_drop_c * (s.fan ? 1.0 : kFanOffShare);
    if (dt > 40 * spec_.tau_s) { // long settled: the steady state
        temp_ = (spec_.cooler && s.on) ? std::min(warm, std::max(warm - drop, s.target_c)) : warm;
        last_power_ = power(s, ambient_c, temp_);
        return;
    }
    while (dt > 0) {
        const double h = std::min(dt, kStepS);
        const double p = power(s, ambient_c, temp_);
        const double goal = warm - drop * p;
        temp_ = goal + (temp_ - goal) * std::exp(-h / spec_.tau_s);
        last_power_ = p;
        dt -= h;
    }
}

double Thermal::gauss() {
    // xorshift64* pairs through Box-Muller; only for the readings' fluctuation
    auto next = [this] {
        rng_ ^= rng_ >> 12;
        rng_ ^= rng_ << 25;
        rng_ ^= rng_ >> 27;
        return (double)((rng_ * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
    };
    const double u1 = std::max(next(), 1e-300), u2 = next();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

double Thermal::read_temp_c() { return temp_ + kTempNoiseC * gauss(); }

double Thermal::read_power_pct(const CoolerSettings &s) {
    // an idle cooler draws nothing, so its reading has nothing to fluctuate around
    if (!spec_.cooler || !s.on || last_power_ <= 0.0) return 0.0;
    return std::min(100.0, std::max(0.0, 100.0 * last_power_ + kPowerNoisePct * gauss()));
}

} // namespace orxsim
