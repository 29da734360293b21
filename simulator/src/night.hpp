// night.hpp - what makes one run's night its own: the run's seed, the night's
// clock in UTC, and where the observatory stands.
//
// Without a seed every run draws one from fresh entropy at load, and the
// night's clock is UTC (continuous simulated time from the UTC of load): two
// runs see different noise, air and clouds, and a mount that has moved on.
// With a seed (ORXSIM_SEED at load and at every reset, or set_run_seed) the
// run repeats: the random parts are keyed by the seed, and the night's clock
// starts at a fixed instant (the default pointing on the meridian) when the
// first exposure after the seed was set starts, so the start-up time of the
// program changes nothing.
#pragma once

#include <cstdint>

namespace orxsim {
namespace night {

uint64_t run_seed();
bool seeded();
// From now on the run repeats with this seed (the night's clock starts again).
void set_run_seed(uint64_t seed);
// Back to ORXSIM_SEED, or the seed drawn at load when it is not set.
void reset_run_seed();

// UTC of a simulated instant, Unix seconds, on the night's clock. The first
// call after a (re)seeding fixes the clock's start in a seeded run.
double utc_s(int64_t sim_ns);
// Seconds since the night's start (the mount's drift accumulates from there):
// since local noon, or since the clock started in a seeded run.
double since_start_s(int64_t sim_ns);
// The same, 0 before a seeded clock has started (and without starting it).
double elapsed_s(int64_t sim_ns);

// Local sidereal time, radians, at Unix time t and east longitude lon (radians).
double local_sidereal(double t, double lon);
// Altitude (radians) of (ra, dec) at local sidereal time lst and latitude lat.
double altitude(double ra, double dec, double lst, double lat);

} // namespace night
} // namespace orxsim
