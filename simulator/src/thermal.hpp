// thermal.hpp - the sensor's temperature: a first-order thermal model with a
// thermoelectric cooler.
//
// The sensor relaxes toward   ambient + self_heat - max_drop * fan * power
// with the time constant tau_s, where power (0..1) is what the cooler's
// controller asks for: the share that holds the target once reached, plus a
// proportional push while away from it, limited to 0..1 (a cooler can only
// take heat away, so a target above the sensor's uncooled temperature gets no
// power). Without the fan the cooler gets rid of less heat: its maximum drop
// is kFanOffShare of the drop with the fan. The model is integrated exactly
// over steps of at most kStepS (the controller holds its power during a step);
// after more than 40 time constants the temperature is the steady state.
//
// Readings fluctuate a little, like a real sensor's: the temperature by
// kTempNoiseC rms and the power by kPowerNoisePct rms (power only while on).
#pragma once

#include <cstdint>

namespace orxsim {

struct ThermalSpec {
    bool cooler = false;
    double max_drop_c = 35.0; // below the uncooled temperature, at full power with the fan on
    double tau_s = 120.0;     // thermal time constant, simulated seconds
    double self_heat_c = 0.0; // uncooled sensor above ambient
};

struct CoolerSettings {
    bool on = false;
    bool fan = true;
    double target_c = 0.0;
};

class Thermal {
public:
    static constexpr double kFanOffShare = 0.4;
    static constexpr double kGain = 3.0;          // proportional push: error / max drop * kGain
    static constexpr double kStepS = 1.0;
    static constexpr double kTempNoiseC = 0.05;
    static constexpr double kPowerNoisePct = 0.4;

    // starts at the uncooled steady state
    void reset(const ThermalSpec &spec, double ambient_c, int64_t now_ns, uint64_t seed);
    // integrates up to now with the settings and ambient in force since the last call
    void advance(int64_t now_ns, const CoolerSettings &s, double ambient_c);

    double temp_c() const { return temp_; }          // true temperature
    double read_temp_c();                            // with fluctuation
    double read_power_pct(const CoolerSettings &s);  // with fluctuation, 0..100

private:
    double power(const CoolerSettings &s, double ambient_c, double t) const; // 0..1
    double gauss();

    ThermalSpec spec_;
    double temp_ = 20.0;
    double last_power_ = 0.0;
    int64_t t_ns_ = 0;
    uint64_t rng_ = 1;
};

} // namespace orxsim
