// unlocked.hpp - library calls made without the interpreter lock.
#pragma once

#include "module/core.hpp"

namespace orx {

// Gives the interpreter lock up (returns the thread state to hand back).
PyThreadState *release_lock();

// Takes the interpreter lock back. A thread that asks for it while the
// interpreter shuts down is ended by CPython itself (up to 3.13 with
// pthread_exit, which unwinds the thread's stack and would run the
// destructors of every C++ frame on it - references released with no thread
// state, during finalisation). The unwinding is stopped here and the thread
// parks for good instead: it holds no lock and touches nothing, and the
// process ends around it.
void retake_lock(PyThreadState *state);

// Registers the exit callback that retake_lock() relies on (once per
// process). False with an exception set.
bool watch_exit();

// fn() run without the interpreter lock; its result.
template <class Fn> auto without_lock(Fn &&fn) {
    PyThreadState *state = release_lock();
    auto result = fn();
    retake_lock(state);
    return result;
}

// Library waits that a signal can end. `fn(ms)` makes the library call that
// waits up to `ms` milliseconds (-1: without limit) and answers with a
// status. The caller's wait is made in slices, each a call without the lock;
// between slices the signal handlers run with the lock held.
//   - A wait of at most one slice is exactly one call with the caller's wait.
//   - A status other than a time-out ends the wait at once.
//   - A time-out is the answer once the caller's whole wait has passed
//     (monotonic clock); -1 waits without limit. Other negative waits mean
//     what the library makes of them and are one call, unchanged.
//   - A library that answers a time-out early is given the rest of its
//     slice without being called again, so nothing spins.
// True with the status of the last call; false with the exception a signal
// handler raised.
inline constexpr int32_t kWaitSliceMs = 100;
using SliceFn = int32_t (*)(void *context, int32_t ms);
bool wait_in_slices(int32_t wait_ms, SliceFn fn, void *context, int32_t &status);

template <class Fn> bool wait_in_slices(int32_t wait_ms, Fn &fn, int32_t &status) {
    return wait_in_slices(
        wait_ms, [](void *context, int32_t ms) { return (*static_cast<Fn *>(context))(ms); }, &fn, status);
}

} // namespace orx
