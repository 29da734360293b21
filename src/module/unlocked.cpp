// unlocked.cpp - giving the interpreter lock up and taking it back; waits in
// slices.
#include "module/unlocked.hpp"

#include "ORXCamera2.h"

#include <pythread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace orx {

PyThreadState *release_lock() { return PyEval_SaveThread(); }

namespace {

[[noreturn]] void park_for_good() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Interpreter exit. Once CPython finalizes, a thread asking for the lock is
// ended by CPython itself (caught in retake_lock, which parks it); until then
// threads come back from the library as at any other time, so that exit
// handlers of the program can still stop and join the threads they started.
// CPython 3.10 alone needs more: it frees its own state while ending the
// interpreter, and a thread still waiting for the lock then reads freed
// memory. There an exit callback makes threads coming back from the library
// park before finalisation, after letting those already asking for the lock
// through. Exit callbacks run last registered first, so this one is
// registered only when no exit handler was registered before the module:
// such a handler would run after it and could be joining a thread that has
// just come back (there, as on later versions, threads park only once the
// interpreter finalizes).
std::atomic<bool> exiting{false};
std::atomic<unsigned long> exiting_thread{0};
std::atomic<int> retaking{0}; // threads inside retake_lock()

#if PY_VERSION_HEX < 0x030B0000
PyObject *note_exit(PyObject *, PyObject *) {
    exiting_thread = PyThread_get_thread_ident();
    exiting = true;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(2);
    Py_BEGIN_ALLOW_THREADS
    while (retaking > 0 && Clock::now() < give_up) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_orx_note_exit", note_exit, METH_NOARGS, nullptr};
#endif

[[noreturn]] void park(std::atomic<int> &counted) {
    --counted;
    park_for_good();
}

} // namespace

bool watch_exit() {
#if PY_VERSION_HEX >= 0x030B0000
    return true;
#else
    static bool registered = false;
    if (registered) return true;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref before = Ref::steal(PyObject_CallMethod(atexit.get(), "_ncallbacks", nullptr));
    if (!before) return false;
    const long handlers = PyLong_AsLong(before.get());
    if (handlers == -1 && PyErr_Occurred()) return false;
    if (handlers > 0) return registered = true; // the program's handlers run after ours would
    Ref hook = Ref::steal(PyCFunction_New(&note_exit_def, nullptr));
    Ref done = Ref::steal(hook ? PyObject_CallMethod(atexit.get(), "register", "O", hook.get()) : nullptr);
    registered = static_cast<bool>(done);
    return registered;
#endif
}

void retake_lock(PyThreadState *state) {
    ++retaking;
    if (exiting && PyThread_get_thread_ident() != exiting_thread) park(retaking);
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind &) {
        // The interpreter is finalising and ends this thread: stay here,
        // inside the handler, until the process exits.
        park(retaking);
    }
#else
    PyEval_RestoreThread(state);
#endif
    --retaking;
}

bool wait_in_slices(int32_t wait_ms, SliceFn fn, void *context, int32_t &status) {
    const bool unlimited = wait_ms == -1;
    if (!unlimited && wait_ms <= kWaitSliceMs) {
        status = without_lock([&] { return fn(context, wait_ms); });
        return true;
    }
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;
    const Clock::time_point deadline = Clock::now() + Ms(unlimited ? 0 : wait_ms);
    for (;;) {
        const Clock::time_point start = Clock::now();
        int32_t slice = kWaitSliceMs;
        if (!unlimited) {
            const auto left = std::chrono::ceil<Ms>(deadline - start).count();
            slice = static_cast<int32_t>(std::clamp<decltype(left)>(left, 0, kWaitSliceMs));
        }
        status = without_lock([&] {
            const int32_t s = fn(context, slice);
            if (s == ORX_ERROR_TIMEOUT) std::this_thread::sleep_until(start + Ms(slice));
            return s;
        });
        if (status != ORX_ERROR_TIMEOUT || (!unlimited && Clock::now() >= deadline)) return true;
        if (PyErr_CheckSignals() < 0) return false;
    }
}

} // namespace orx
