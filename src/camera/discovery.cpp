// discovery.cpp - counting cameras, checking USB ids, the library version
// and each camera's description.
#include "camera/functions.hpp"

#include <cstring>

namespace orx::camera {

namespace {

PyObject *count_body(Call &) { return py_int(ORXGetNumOfConnectedCameras()); }

PyObject *check_body(Call &c) {
    if (!c.narrow()) return nullptr;
    return PyLong_FromLong(ORXCameraCheck(c.i32(0), c.i32(1)) != 0 ? 1 : 0);
}

PyObject *version_body(Call &) {
    const char *version = ORXGetSDKVersion();
    if (!version) version = "";
    return PyUnicode_DecodeUTF8(version, static_cast<Py_ssize_t>(std::strlen(version)), "strict");
}

PyObject *property_body(Call &c) {
    Ref info = new_record(g.types.CameraInfo);
    if (!info) return nullptr;
    CameraInfoRecord *rec = record_of<CameraInfoRecord>(info.get());
    if (!c.library([&] { return ORXGetCameraProperty(rec, c.i32(0)); })) return nullptr;
    return info.release();
}

PyObject *property_by_id_body(Call &c) {
    Ref info = new_record(g.types.CameraInfo);
    if (!info) return nullptr;
    CameraInfoRecord *rec = record_of<CameraInfoRecord>(info.get());
    if (!c.library([&] { return ORXGetCameraPropertyByID(c.i32(0), rec); })) return nullptr;
    return info.release();
}

} // namespace

const FunctionSpec get_number_of_connected_cameras = {
    "get_number_of_connected_cameras",
    "Get the count of connected ORX cameras.\n\n    Returns:\n        int: Count of connected cameras.\n    ",
    "int", count_body, {}};

const FunctionSpec camera_check = {
    "camera_check",
    "Get the count of connected ORX cameras.\n\n"
    "    Usage: Check if the device is ORX Camera\n\n"
    "    Args:\n"
    "        i_vid (int): The USB vendor id of the device, the identifier assigned\n"
    "                     to the camera maker.\n"
    "        i_pid (int): The USB product id of the device, different for each\n"
    "                     camera model.\n\n"
    "    Return:\n"
    "        Whether the device is an ORX Camera.\n    ",
    "int", check_body, {{"i_vid", "int", Rule::Int}, {"i_pid", "int", Rule::Int}}};

const FunctionSpec get_camera_property = {
    "get_camera_property",
    "\n    Get camera properties by camera index.\n\n    Args:\n        camera_index (int): Index of the camera.\n\n"
    "    Raises:\n        OrxException\n\n    Returns CameraInfo: the camera info.\n\n    ",
    "CameraInfo", property_body, {{"camera_index", "int", Rule::Int}}};

const FunctionSpec get_sdk_version = {
    "get_sdk_version",
    "Get the SDK version of the YUX ORX camera.\n\n    Returns:\n        str: The SDK version string.\n\n"
    "    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "str", version_body, {}};

const FunctionSpec get_camera_property_by_id = {
    "get_camera_property_by_id",
    "\n    Get camera properties by camera ID.\n\n    Args:\n        camera_id (int): The camera ID from the CameraInfo "
    "object.\n\n    Raises:\n        OrxException\n\n\n    Returns CameraInfo: the camera info.\n\n    ",
    "CameraInfo", property_by_id_body, {{"camera_id", "int", Rule::Int}}};

} // namespace orx::camera
