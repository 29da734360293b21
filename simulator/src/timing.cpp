// timing.cpp - the simulator's one clock.
//
// Simulated time runs 1/scale times as fast as wall time (scale 0.01: 100x
// faster). It is continuous across scale changes: each change starts a new
// anchor (wall instant, simulated instant, scale). The anchor is published
// through a sequence lock: a writer (under a mutex) makes the sequence odd,
// stores the fields with release and makes it even again; a reader loads the
// sequence, the fields with acquire, the sequence again, and retries when it
// changed or was odd. Reading the clock takes no lock and allocates nothing,
// and a scale change costs no memory.
//
// Scales are limited to [kMinTimeScale, kMaxTimeScale]. Simulated time is kept
// in nanoseconds since load and saturates at kSimHorizonNs (about 146 years):
// at the fastest scale that is more than five days of wall time, and no sum
// of an instant and a duration the cameras form can overflow below it.
//
// UTC of a simulated instant: every anchor also records the system clock's UTC
// when it was made, and a simulated instant is that UTC plus the simulated
// time since the anchor. At scale 1 GPS stamps are UTC; a fast clock runs ahead
// of it as the simulated world does, and each change of the scale (and
// ORXSimReset) brings it back to UTC. Cameras convert a frame's start when they take it.
#include "internal.hpp"
#include "scene.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace orxsim {
namespace {

int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               WallClock::now().time_since_epoch()).count();
}

int64_t system_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Anchor {
    int64_t wall0; // steady clock, ns
    int64_t sim0;  // simulated ns at wall0
    double scale;
    int64_t utc0;  // system clock at wall0, UTC microseconds
};

struct ClockState {
    std::mutex mu;                 // writers only
    std::atomic<uint64_t> seq{0};  // odd while a writer changes the fields
    std::atomic<int64_t> wall0{0}, sim0{0};
    std::atomic<double> scale{1.0};
    std::atomic<int64_t> utc0{0};
    ClockState() {
        wall0.store(wall_ns());
        utc0.store(system_us());
    }

    Anchor read() const {
        for (;;) {
            const uint64_t s1 = seq.load(std::memory_order_acquire);
            Anchor a{wall0.load(std::memory_order_acquire), sim0.load(std::memory_order_acquire),
                     scale.load(std::memory_order_acquire), utc0.load(std::memory_order_acquire)};
            // the acquire loads above keep this load after them
            if (!(s1 & 1) && seq.load(std::memory_order_relaxed) == s1) return a;
        }
    }

    void write(const Anchor &a) { // mu held
        const uint64_t s = seq.load(std::memory_order_relaxed);
        seq.store(s + 1, std::memory_order_relaxed);
        // release: a reader that sees any new field also sees the odd sequence
        wall0.store(a.wall0, std::memory_order_release);
        sim0.store(a.sim0, std::memory_order_release);
        scale.store(a.scale, std::memory_order_release);
        utc0.store(a.utc0, std::memory_order_release);
        seq.store(s + 2, std::memory_order_release);
    }
};

ClockState &C() {
    static ClockState *s = new ClockState(); // never destroyed: threads may read it at exit
    return *s;
}

bool scale_ok(double v) { return v >= kMinTimeScale && v <= kMaxTimeScale; } // false for NaN

double env_scale() {
    const char *e = std::getenv("ORXSIM_TIME_SCALE");
    if (!e || !*e) return 1.0;
    char *end = nullptr;
    double v = std::strtod(e, &end);
    if (end == e || !scale_ok(v)) return 1.0;
    return v;
}

int64_t sim_at(const Anchor &a, int64_t wall) {
    const double d = (double)(wall - a.wall0) / a.scale;
    const double s = (double)a.sim0 + d;
    if (s >= (double)kSimHorizonNs) return kSimHorizonNs;
    if (s <= 0) return 0;
    return a.sim0 + (int64_t)d;
}

// A new anchor at now. UTC is taken afresh from the system clock when the
// scale changes (or `realign`); an unchanged scale keeps the stamps continuous.
void set_anchor(double scale, bool realign) {
    ClockState &c = C();
    std::lock_guard<std::mutex> g(c.mu);
    const int64_t w = wall_ns();
    const Anchor old = c.read();
    const int64_t sim = sim_at(old, w);
    const int64_t utc = (realign || scale != old.scale) ? system_us() : old.utc0 + (sim - old.sim0) / 1000;
    c.write(Anchor{w, sim, scale, utc});
}

} // namespace

int64_t sim_now_ns() { return sim_at(C().read(), wall_ns()); }

WallClock::time_point wall_at(int64_t sim_ns) {
    const Anchor a = C().read();
    double d = (double)(sim_ns - a.sim0) * a.scale;
    // keep far-away deadlines representable
    if (d > 1e17) d = 1e17;
    if (d < -1e17) d = -1e17;
    return WallClock::time_point(std::chrono::nanoseconds(a.wall0 + (int64_t)d));
}

bool set_time_scale(double scale) {
    if (!scale_ok(scale)) return false;
    set_anchor(scale, false);
    registry_notify_all(); // waiters recompute their wall deadlines
    return true;
}

double time_scale() { return C().read().scale; }

void reset_clock_from_env() {
    set_anchor(env_scale(), true);
    registry_notify_all();
}

int64_t utc_us_at(int64_t sim_ns) {
    const Anchor a = C().read();
    return a.utc0 + (sim_ns - a.sim0) / 1000;
}

void fill_gps(GpsDataRecord *rec, int64_t us) {
    if (!rec) return;
    std::memset(rec, 0, sizeof *rec);
    time_t secs = (time_t)(us / 1000000);
    int64_t frac = us % 1000000;
    if (frac < 0) { frac += 1000000; secs -= 1; }
    struct tm t;
#ifdef _WIN32
    gmtime_s(&t, &secs);
#else
    gmtime_r(&secs, &t);
#endif
    rec->Year = t.tm_year + 1900;
    rec->Month = t.tm_mon + 1;
    rec->Day = t.tm_mday;
    rec->Hour = t.tm_hour;
    rec->Minute = t.tm_min;
    rec->Second = t.tm_sec;
    rec->MSecond = (int32_t)(frac / 1000);
    rec->USecond = (int32_t)(frac % 1000);
    scene_site(rec->Latitude, rec->Longitude);
    rec->Altitude = kGpsAltitude;
    rec->SatelliteNum = kGpsSatellites;
}

// The clock starts at load with the environment's scale.
namespace {
struct InitClock {
    InitClock() { set_anchor(env_scale(), true); }
} init_clock;
} // namespace

} // namespace orxsim
