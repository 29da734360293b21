// identity.cpp - the camera's identifier, serial number and capture mode.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

Global g_CameraMode("CameraMode");
Name n_supported_camera_mode("supported_camera_mode");

template <int32_t (*Library)(int32_t, IdRecord *)> PyObject *read_id(Call &c) {
    Ref id = new_record(g.types.Id);
    if (!id) return nullptr;
    IdRecord *rec = record_of<IdRecord>(id.get());
    if (!c.library([&] { return Library(c.i32(0), rec); })) return nullptr;
    return id.release();
}

PyObject *set_id_body(Call &c) {
    // a flash write: the lock is given up while it runs
    return ok_or_null(c.library([&] { return ORXSetID(c.i32(0), c.id()); }, Gil::Release));
}

PyObject *support_mode_body(Call &c) {
    Ref modes = new_record(g.types.SupportedMode);
    if (!modes) return nullptr;
    SupportedModeRecord *rec = record_of<SupportedModeRecord>(modes.get());
    if (!c.library([&] { return ORXGetCameraSupportMode(c.i32(0), rec); })) return nullptr;
    Ref list = Ref::steal(PyObject_GetAttr(modes.get(), n_supported_camera_mode.get()));
    if (!list) return nullptr;
    if (!PyList_CheckExact(list.get()) && list.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", type_name(list.get()));
        return nullptr;
    }
    return list.release();
}

PyObject *get_mode_body(Call &c) {
    int32_t mode = 0;
    if (!c.library([&] { return ORXGetCameraMode(c.i32(0), &mode); })) return nullptr;
    return enum_member(g_CameraMode, mode);
}

PyObject *set_mode_body(Call &c) {
    return ok_or_null(c.library([&] { return ORXSetCameraMode(c.i32(0), c.i32(1)); }));
}

} // namespace

const FunctionSpec get_id = {
    "get_id",
    "Retrieve the camera ID from the camera's flash memory.\n\n    Args:\n        i_camera_id (int): The camera ID.\n\n"
    "    Returns:\n        Id: The camera ID.\n\n    Raises:\n        OrxException: Raised if the operation is "
    "unsuccessful.\n    ",
    "Id", read_id<ORXGetID>, {{"i_camera_id", "int", Rule::Int}}};

const FunctionSpec set_id = {
    "set_id",
    "Write a new camera ID to the camera's flash memory.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "        serial_number (Id): The camera serial number\n\n    Raises:\n        OrxException: Raised if the "
    "operation is unsuccessful.\n    ",
    "None", set_id_body, {{"camera_id", "int", Rule::Int}, {"serial_number", "Id", Rule::Id}}};

const FunctionSpec get_serial_number = {
    "get_serial_number",
    "Get the serial number of the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        Id: The camera serial number id.\n\n    Raises:\n        OrxException: Raised if the operation is "
    "unsuccessful.\n    ",
    "Id", read_id<ORXGetSerialNumber>, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec get_camera_support_mode = {
    "get_camera_support_mode",
    "Get the supported camera modes for the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "    Returns:\n        SupportedMode: The supported mode that contains a list of supported camera modes.\n\n"
    "    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "list[CameraMode]", support_mode_body, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec get_camera_mode = {
    "get_camera_mode",
    "Get the current camera mode.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns:\n"
    "        CameraMode: The current camera mode.\n\n    Raises:\n        OrxException: Raised if the operation is "
    "unsuccessful.\n    ",
    "CameraMode", get_mode_body, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec set_camera_mode = {
    "set_camera_mode",
    "Set the camera mode.\n\n    Args:\n        camera_id (int): The camera ID.\n        mode (CameraMode): The "
    "camera mode to set.\n\n    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "None", set_mode_body, {{"camera_id", "int", Rule::Int}, {"mode", "CameraMode", Rule::Enum}}};

} // namespace orx::camera
