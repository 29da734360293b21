// timing.cpp - the simulator's one clock.
//
// Simulated time runs 1/scale times as fast as wall time (scale 0.01: 100x
// faster). It is continuous across scale changes: each change starts a new
// anchor (wall instant, simulated instant, scale). Anchors are immutable and
// published through an atomic pointer; old ones are kept (a few bytes each) so
// that a reader never sees freed memory. Reading the clock takes no lock.
//
// UTC of a simulated instant: the UTC at which simulated time 0 fell, plus the
// simulated time, so GPS stamps of a fast clock run ahead of the wall clock
// exactly as the simulated world does. ORXSimReset re-aligns it with now.
#include "internal.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace orxsim {
namespace {

struct Anchor {
    int64_t wall0; // steady clock, ns
    int64_t sim0;  // simulated ns at wall0
    double scale;
};

int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               WallClock::now().time_since_epoch()).count();
}

int64_t system_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

struct ClockState {
    std::mutex mu; // writers only
    std::atomic<const Anchor *> cur{nullptr};
    std::vector<std::unique_ptr<Anchor>> all;
    std::atomic<int64_t> utc_base_us{0};
    ClockState() {
        auto a = std::make_unique<Anchor>(Anchor{wall_ns(), 0, 1.0});
        cur.store(a.get(), std::memory_order_release);
        all.push_back(std::move(a));
        utc_base_us.store(system_us());
    }
};

ClockState &C() {
    static ClockState *s = new ClockState(); // never destroyed: threads may read it at exit
    return *s;
}

double env_scale() {
    const char *e = std::getenv("ORXSIM_TIME_SCALE");
    if (!e || !*e) return 1.0;
    char *end = nullptr;
    double v = std::strtod(e, &end);
    if (end == e || !std::isfinite(v) || v <= 0) return 1.0;
    return v;
}

int64_t sim_at(const Anchor *a, int64_t wall) {
    return a->sim0 + (int64_t)((double)(wall - a->wall0) / a->scale);
}

} // namespace

int64_t sim_now_ns() {
    const Anchor *a = C().cur.load(std::memory_order_acquire);
    return sim_at(a, wall_ns());
}

WallClock::time_point wall_at(int64_t sim_ns) {
    const Anchor *a = C().cur.load(std::memory_order_acquire);
    double d = (double)(sim_ns - a->sim0) * a->scale;
    // keep far-away deadlines representable
    if (d > 1e17) d = 1e17;
    if (d < -1e17) d = -1e17;
    return WallClock::time_point(std::chrono::nanoseconds(a->wall0 + (int64_t)d));
}

void set_time_scale(double scale) {
    if (!std::isfinite(scale) || scale <= 0) return;
    if (scale < 1e-9) scale = 1e-9;
    ClockState &c = C();
    {
        std::lock_guard<std::mutex> g(c.mu);
        const Anchor *old = c.cur.load(std::memory_order_acquire);
        int64_t w = wall_ns();
        auto a = std::make_unique<Anchor>(Anchor{w, sim_at(old, w), scale});
        c.cur.store(a.get(), std::memory_order_release);
        c.all.push_back(std::move(a));
    }
    registry_notify_all(); // waiters recompute their wall deadlines
}

double time_scale() { return C().cur.load(std::memory_order_acquire)->scale; }

void reset_clock_from_env() {
    set_time_scale(env_scale());
    C().utc_base_us.store(system_us() - sim_now_ns() / 1000);
}

int64_t utc_us_at(int64_t sim_ns) { return C().utc_base_us.load() + sim_ns / 1000; }

void fill_gps(GpsDataRecord *rec, int64_t sim_ns) {
    if (!rec) return;
    std::memset(rec, 0, sizeof *rec);
    int64_t us = utc_us_at(sim_ns);
    time_t secs = (time_t)(us / 1000000);
    int64_t frac = us % 1000000;
    if (frac < 0) { frac += 1000000; secs -= 1; }
    struct tm t;
    gmtime_r(&secs, &t);
    rec->Year = t.tm_year + 1900;
    rec->Month = t.tm_mon + 1;
    rec->Day = t.tm_mday;
    rec->Hour = t.tm_hour;
    rec->Minute = t.tm_min;
    rec->Second = t.tm_sec;
    rec->MSecond = (int32_t)(frac / 1000);
    rec->USecond = (int32_t)(frac % 1000);
    rec->Latitude = kGpsLatitude;
    rec->Longitude = kGpsLongitude;
    rec->Altitude = kGpsAltitude;
    rec->SatelliteNum = kGpsSatellites;
}

// The clock starts at load with the environment's scale.
namespace {
struct InitClock {
    InitClock() { reset_clock_from_env_noticeless(); }
    static void reset_clock_from_env_noticeless() {
        ClockState &c = C();
        std::lock_guard<std::mutex> g(c.mu);
        const Anchor *old = c.cur.load(std::memory_order_acquire);
        int64_t w = wall_ns();
        auto a = std::make_unique<Anchor>(Anchor{w, sim_at(old, w), env_scale()});
        c.cur.store(a.get(), std::memory_order_release);
        c.all.push_back(std::move(a));
    }
} init_clock;
} // namespace

} // namespace orxsim
