// trigger.cpp - software triggers, trigger outputs and GPS line data.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

PyObject *soft_trigger_body(Call &c) {
    return ok_or_null(c.library([&] { return ORXSendSoftTrigger(c.i32(0), c.i32(1)); }));
}

PyObject *set_output_body(Call &c) {
    return ok_or_null(c.library(
        [&] { return ORXSetTriggerOutputIOConf(c.i32(0), c.i32(1), c.i32(2), c.i32(3), c.i32(4)); }));
}

PyObject *get_output_body(Call &c) {
    ORX_BOOL high = 0;
    int32_t delay = 0, duration = 0;
    if (!c.library([&] { return ORXGetTriggerOutputIOConf(c.i32(0), c.i32(1), &high, &delay, &duration); }))
        return nullptr;
    return tuple(py_bool(high), py_int(delay), py_int(duration));
}

PyObject *gps_body(Call &c) {
    Ref start = new_record(g.types.GpsData);
    if (!start) return nullptr;
    Ref end = new_record(g.types.GpsData);
    if (!end) return nullptr;
    GpsDataRecord *s = record_of<GpsDataRecord>(start.get());
    GpsDataRecord *e = record_of<GpsDataRecord>(end.get());
    if (!c.library([&] { return ORXGPSGetData(c.i32(0), s, e); })) return nullptr;
    return tuple(start.release(), end.release());
}

} // namespace

const FunctionSpec send_soft_trigger = {
    "send_soft_trigger",
    "Send a soft trigger to the camera to start or stop exposure.\n\n    Args:\n        camera_id (int): The camera "
    "ID.\n        start (bool): True to start exposure, False to stop.\n\n    Raises:\n        OrxException: Raised "
    "if the operation is unsuccessful.\n    ",
    "None", soft_trigger_body, {{"camera_id", "int", Rule::Int}, {"start", "bool", Rule::Bool}}};

const FunctionSpec set_trigger_output_io_conf = {
    "set_trigger_output_io_conf",
    "Configure the trigger output IO.\n\n    Args:\n        camera_id (int): The camera ID.\n        pin (int): "
    "Trigger output pin (e.g., PINA or PINB).\n        pin_high (bool): True to output a high signal, False for a "
    "low signal.\n        delay (int): Delay time in microseconds.\n        duration (int): Duration time in "
    "microseconds.\n\n    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "None", set_output_body,
    {{"camera_id", "int", Rule::Int},
     {"pin", "TrigOutput", Rule::Enum},
     {"pin_high", "bool", Rule::Bool},
     {"delay", "int", Rule::Int},
     {"duration", "int", Rule::Int}}};

const FunctionSpec get_trigger_output_io_conf = {
    "get_trigger_output_io_conf",
    "Get the trigger output IO configuration.\n\n    Args:\n        camera_id (int): The camera ID.\n        pin "
    "(int): Trigger output pin (e.g., PINA or PINB).\n\n    Returns:\n        tuple[bool, int, int]: Pin high "
    "status, delay, and duration.\n\n    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "tuple[bool, int, int]", get_output_body, {{"camera_id", "int", Rule::Int}, {"pin", "int", Rule::Int}}};

const FunctionSpec gps_get_data = {
    "gps_get_data",
    "Get GPS data for the start and end lines.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    "
    "Returns:\n        tuple[DateTime, DateTime]: GPS data for the start and end lines.\n\n    Raises:\n        "
    "OrxException: Raised if the operation is unsuccessful.\n    ",
    "tuple[GpsData, GpsData]", gps_body, {{"camera_id", "int", Rule::Int}}};

} // namespace orx::camera
