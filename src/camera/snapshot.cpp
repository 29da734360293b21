// snapshot.cpp - single exposures: start, stop, poll, fetch.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

Global g_ExposureStatus("ExposureStatus");

PyObject *start_body(Call &c) {
    return ok_or_null(c.library([&] { return ORXStartExposure(c.i32(0), c.i32(1)); }));
}

PyObject *stop_body(Call &c) { return ok_or_null(c.library([&] { return ORXStopExposure(c.i32(0)); })); }

// int(ExposureStatus(state)) for the states answered from remembered
// records (the global, the class call's shortcut, int's own conversion).
KnownResults<8> status_ints;
#if !ORX_WATCHERS && !defined(Py_GIL_DISABLED)
// With version tags: the records those were answered from, joined when the
// first was put, and the class they were answered for.
Joined status_records;
PyObject *status_class = nullptr; // compared, never used

bool remember_status_records(PyObject *cls) {
    const Seen *call = enum_call_records(cls);
    if (!call) return false;
    status_records.begin();
    status_records.join(g_ExposureStatus.seen());
    status_records.join(*call);
    status_class = cls;
    return true;
}
#endif

// The state, checked through ExposureStatus and returned as a plain int.
PyObject *status_body(Call &c) {
    int32_t state = 0;
    if (!c.library([&] { return ORXGetExpStatus(c.i32(0), &state); })) return nullptr;
    auto still = [] {
#if !ORX_WATCHERS && !defined(Py_GIL_DISABLED)
        return status_records.holds() && enum_call_code_same(status_class);
#else
        return false;
#endif
    };
    if (PyObject *known = status_ints.get(state, still)) return known;
    const uint64_t stamp = status_ints.stamp();
    const bool global_known = g_ExposureStatus.known();
    Ref cls = Ref::steal(g_ExposureStatus.get());
    if (!cls) return nullptr;
    Ref member = Ref::steal(enum_call_known(cls.get(), state));
    const bool answered = global_known && member;
    if (!member) member = Ref::steal(enum_member_of(cls.get(), state));
    if (!member) return nullptr;
    if (PyLong_CheckExact(member.get()) || member.get() == Py_None) return member.release();
    // int(member): an int subclass whose conversion is int's own gives its number
    int32_t number;
    if (PyLong_Check(member.get()) && Py_TYPE(member.get())->tp_as_number->nb_int == PyLong_Type.tp_as_number->nb_int &&
        small_int_value(member.get(), number)) {
        Ref result = Ref::steal(PyLong_FromLong(number));
#if !ORX_WATCHERS && !defined(Py_GIL_DISABLED)
        if (result && answered && stamp == status_ints.stamp() && remember_status_records(cls.get()))
#else
        if (result && answered)
#endif
            status_ints.put(state, result.get(), stamp, member.get());
        return result.release();
    }
    if (PyLong_Check(member.get())) return PyNumber_Long(member.get());
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", type_name(member.get()));
    return nullptr;
}

PyObject *data_body(Call &c) {
    return fetch_frame(c, [&](unsigned char *data) { return ORXGetDataAfterExp(c.i32(0), data, c.i32(1)); });
}

PyObject *data_gps_body(Call &c) {
    return fetch_frame_gps(c, [&](unsigned char *data, GpsDataRecord *gps) {
        return ORXGetDataAfterExpGPS(c.i32(0), data, c.i32(1), gps);
    });
}

} // namespace

const FunctionSpec start_exposure = {
    "start_exposure",
    "Start a camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n        is_dark (bool): True "
    "for a dark frame exposure, False otherwise.\n\n    Raises:\n        OrxException: Raised if the operation is "
    "unsuccessful.\n    ",
    "None", start_body, {{"camera_id", "int", Rule::Int}, {"is_dark", "bool", Rule::Bool}}};

const FunctionSpec stop_exposure = {
    "stop_exposure",
    "Stop the ongoing camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n"
    "        OrxException: Raised if the operation is unsuccessful.\n    ",
    "None", stop_body, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec get_exp_status = {
    "get_exp_status",
    "Get the status of the camera exposure.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        ExposureStatus: The exposure status.\n\n    Raises:\n        OrxException: Raised if the operation is "
    "unsuccessful.\n    ",
    "int", status_body, {{"camera_id", "int", Rule::Int}}, &in_place<status_body, Rule::Int>};

const FunctionSpec get_data_after_exp = {
    "get_data_after_exp",
    "Get the image data after an exposure has completed.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        buffer_size (int): The size of the buffer to store the image data.\n\n    Returns:\n        bytes: The "
    "captured image data.\n\n    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "bytes", data_body, {{"camera_id", "int", Rule::Int}, {"buffer_size", "int", Rule::Int}}};

const FunctionSpec get_data_after_exp_gps = {
    "get_data_after_exp_gps",
    "Get the image data after an exposure has completed.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        buffer_size (int): The size of the buffer to store the image data.\n\n    Returns:\n        tuple(bytes, "
    "GpsData): The captured image data and the gps data.\n\n    Raises:\n        OrxException: Raised if the "
    "operation is unsuccessful.\n    ",
    "tuple[bytes, GpsData]", data_gps_body, {{"camera_id", "int", Rule::Int}, {"buffer_size", "int", Rule::Int}}};

} // namespace orx::camera
