// functions.hpp - the 42 camera functions, each a declaration on the shared
// call road (module/function.hpp), defined one group per file.
#pragma once

#include "module/function.hpp"
#include "module/library.hpp"
#include "records/records.hpp"

#include <type_traits>

namespace orx::camera {

// discovery.cpp
extern const FunctionSpec get_number_of_connected_cameras, camera_check, get_camera_property, get_sdk_version,
    get_camera_property_by_id;
// lifecycle.cpp
extern const FunctionSpec open_camera, init_camera, close_camera;
// identity.cpp
extern const FunctionSpec get_id, set_id, get_serial_number, get_camera_support_mode, get_camera_mode,
    set_camera_mode;
// snapshot.cpp
extern const FunctionSpec start_exposure, stop_exposure, get_exp_status, get_data_after_exp,
    get_data_after_exp_gps;
// video.cpp
extern const FunctionSpec start_video_capture, stop_video_capture, get_video_data, get_video_data_gps,
    get_dropped_frames;
// controls.cpp
extern const FunctionSpec get_num_of_controls, get_control_caps, get_control_value, set_control_value;
// roi.cpp
extern const FunctionSpec set_roi_format, get_roi_format, set_start_pos, get_start_pos;
// darkguide.cpp
extern const FunctionSpec enable_dark_subtract, disable_dark_subtract, pulse_guide_on, pulse_guide_off,
    get_gain_offset, get_lmh_gain_offset;
// trigger.cpp
extern const FunctionSpec send_soft_trigger, set_trigger_output_io_conf, get_trigger_output_io_conf,
    gps_get_data;

// Shared result builders.
// A tuple of new references; nullptr (and every item released) if one is missing.
template <class... Items> PyObject *tuple(Items... items) {
    PyObject *t = (... && items) ? PyTuple_New(sizeof...(items)) : nullptr;
    if (!t) {
        (Py_XDECREF(items), ...);
        return nullptr;
    }
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t, i++, items), ...);
    return t;
}
inline PyObject *py_int(int32_t v) { return PyLong_FromLong(v); }
inline PyObject *py_bool(int32_t v) { return Py_NewRef(v ? Py_True : Py_False); }

// Calls the enumeration class found under `cls` with the library's value.
PyObject *enum_member(Global &cls, int32_t value);
// The same with the class already looked up.
PyObject *enum_member_of(PyObject *cls, int32_t value);

// A zero-filled frame of `size` bytes (an exact int) for the library to
// write into: ValueError "negative count" below zero, MemoryError when it
// cannot be had, as the byte-array constructor would answer.
Ref new_frame(PyObject *size);
unsigned char *frame_data(PyObject *frame);

// A frame fetch: the frame is made from the buffer_size argument (the
// second), then the library writes into it without the interpreter lock.
// `library(data)` is one call; `library(data, ms)` waits for the frame, up to
// the wait_ms argument (the third), in slices that a signal can end
// (Call::library_wait). The frame is the result.
template <class Library> PyObject *fetch_frame(Call &c, Library &&library) {
    Ref frame = new_frame(c.arg(1));
    if (!frame) return nullptr;
    unsigned char *data = frame_data(frame.get());
    bool ok;
    if constexpr (std::is_invocable_v<Library &, unsigned char *>)
        ok = c.library([&] { return library(data); }, Gil::Release);
    else
        ok = c.library_wait(2, [&](int32_t ms) { return library(data, ms); });
    return ok ? frame.release() : nullptr;
}

// The same with a GPS stamp, made first: `library(data, gps)` or
// `library(data, ms, gps)`; the result is (frame, GpsData).
template <class Library> PyObject *fetch_frame_gps(Call &c, Library &&library) {
    Ref gps = new_record(g.types.GpsData);
    if (!gps) return nullptr;
    GpsDataRecord *rec = record_of<GpsDataRecord>(gps.get());
    Ref frame;
    if constexpr (std::is_invocable_v<Library &, unsigned char *, GpsDataRecord *>)
        frame = Ref::steal(fetch_frame(c, [&](unsigned char *data) { return library(data, rec); }));
    else
        frame = Ref::steal(fetch_frame(c, [&](unsigned char *data, int32_t ms) { return library(data, ms, rec); }));
    if (!frame) return nullptr;
    return tuple(frame.release(), gps.release());
}

} // namespace orx::camera
