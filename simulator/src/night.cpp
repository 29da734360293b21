// night.cpp - the run's seed and the night's clock (night.hpp).
#include "night.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <random>

#include "internal.hpp"
#include "sensor_kernels.hpp"

namespace orxsim {
namespace night {

namespace {

constexpr double kPi = 3.14159265358979323846;
// a seeded night starts on 2026-12-07 when sidereal time at the default site
// is the default pointing's RA (150 deg): that field on the meridian
constexpr double kSeededDay = 1796601600.0; // 2026-12-07 00:00 UTC
constexpr double kDefaultRa = 150.0, kDefaultLon = 8.5417;

struct State {
    std::mutex mu;
    uint64_t drawn = 0;     // entropy drawn at load
    uint64_t seed = 0;
    bool seeded = false;
    bool started = false;   // a seeded clock has its start
    int64_t start_sim = 0;  // simulated instant of the seeded start
    double load_utc = 0;    // UTC at load, Unix seconds
};

bool env_seed(uint64_t &out)
{
    const char *e = std::getenv("ORXSIM_SEED");
    if (!e || !*e)
        return false;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(e, &end, 0);
    if (end == e || *end)
        return false;
    out = v;
    return true;
}

State &S()
{
    static State *s = [] {
        State *st = new State; // never destroyed: producer threads may render at exit
        std::random_device rd;
        const uint64_t now = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
        st->drawn = kern::mix64((uint64_t(rd()) << 32 ^ rd()) + kern::mix64(now));
        st->load_utc = double(utc_us_at(sim_now_ns())) * 1e-6 - double(sim_now_ns()) * 1e-9;
        st->seeded = env_seed(st->seed);
        if (!st->seeded)
            st->seed = st->drawn;
        return st;
    }();
    return *s;
}

double seeded_epoch()
{
    const double lst = local_sidereal(kSeededDay, kDefaultLon * kPi / 180.0) * 180.0 / kPi;
    const double ahead = std::fmod(kDefaultRa - lst + 720.0, 360.0);
    return kSeededDay + ahead / 360.98564736629 * 86400.0;
}

} // namespace

uint64_t run_seed()
{
    State &s = S();
    std::lock_guard<std::mutex> g(s.mu);
    return s.seed;
}

bool seeded()
{
    State &s = S();
    std::lock_guard<std::mutex> g(s.mu);
    return s.seeded;
}

void set_run_seed(uint64_t seed)
{
    State &s = S();
    std::lock_guard<std::mutex> g(s.mu);
    s.seed = seed;
    s.seeded = true;
    s.started = false;
}

void reset_run_seed()
{
    State &s = S();
    std::lock_guard<std::mutex> g(s.mu);
    s.seeded = env_seed(s.seed);
    if (!s.seeded)
        s.seed = s.drawn;
    s.started = false;
}

double utc_s(int64_t sim_ns)
{
    State &s = S();
    std::lock_guard<std::mutex> g(s.mu);
    if (!s.seeded)
        return s.load_utc + double(sim_ns) * 1e-9;
    if (!s.started) {
        s.started = true;
        s.start_sim = sim_ns;
    }
    static const double epoch = seeded_epoch();
    return epoch + double(sim_ns - s.start_sim) * 1e-9;
}

double since_start_s(int64_t sim_ns)
{
    const double t = utc_s(sim_ns);
    State &s = S();
    {
        std::lock_guard<std::mutex> g(s.mu);
        if (s.seeded)
            return double(sim_ns - s.start_sim) * 1e-9;
    }
    // since local mean noon at the default longitude: a mount synced each evening
    const double local = t + kDefaultLon / 360.0 * 86400.0 - 43200.0;
    return std::fmod(std::fmod(local, 86400.0) + 86400.0, 86400.0);
}

double elapsed_s(int64_t sim_ns)
{
    {
        State &s = S();
        std::lock_guard<std::mutex> g(s.mu);
        if (s.seeded && !s.started)
            return 0;
    }
    return since_start_s(sim_ns);
}

double local_sidereal(double t, double lon)
{
    const double jd = t / 86400.0 + 2440587.5;
    const double gmst = 280.46061837 + 360.98564736629 * (jd - 2451545.0);
    const double deg = std::fmod(std::fmod(gmst, 360.0) + 360.0, 360.0);
    return deg * kPi / 180.0 + lon;
}

double altitude(double ra, double dec, double lst, double lat)
{
    const double h = lst - ra;
    const double s = std::sin(lat) * std::sin(dec) + std::cos(lat) * std::cos(dec) * std::cos(h);
    return std::asin(std::max(-1.0, std::min(1.0, s)));
}

} // namespace night
} // namespace orxsim
