// darkguide.cpp - dark-frame subtraction, the guide port and gain presets.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

PyObject *enable_dark_body(Call &c) {
    // the library reads the file: without the lock
    return ok_or_null(c.library([&] { return ORXEnableDarkSubtract(c.i32(0), c.str(1)); }, Gil::Release));
}

PyObject *disable_dark_body(Call &c) {
    return ok_or_null(c.library([&] { return ORXDisableDarkSubtract(c.i32(0)); }));
}

template <int32_t (*Library)(int32_t, int32_t)> PyObject *guide(Call &c) {
    return ok_or_null(c.library([&] { return Library(c.i32(0), c.i32(1)); }));
}

template <int32_t (*Library)(int32_t, int32_t *, int32_t *, int32_t *, int32_t *)> PyObject *presets(Call &c) {
    int32_t a = 0, b = 0, d = 0, e = 0;
    if (!c.library([&] { return Library(c.i32(0), &a, &b, &d, &e); })) return nullptr;
    return tuple(py_int(a), py_int(b), py_int(d), py_int(e));
}

} // namespace

const FunctionSpec enable_dark_subtract = {
    "enable_dark_subtract",
    "Enable dark subtract using a dark frame BMP file.\n\n    Args:\n        camera_id (int): The camera ID.\n        "
    "bmp_path (str): Path to the dark frame BMP file.\n\n    Raises:\n        OrxException: Raised if the operation "
    "is unsuccessful.\n    ",
    "None", enable_dark_body, {{"camera_id", "int", Rule::Int}, {"bmp_path", "str", Rule::Str}}};

const FunctionSpec disable_dark_subtract = {
    "disable_dark_subtract",
    "Disable the dark subtract feature.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n        "
    "OrxException: Raised if the operation is unsuccessful.\n    ",
    "None", disable_dark_body, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec pulse_guide_on = {
    "pulse_guide_on",
    "Activate guiding in the specified direction using the ST4 port.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.).\n\n    "
    "Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "None", guide<ORXPulseGuideOn>, {{"camera_id", "int", Rule::Int}, {"direction", "GuideDirection", Rule::Enum}}};

const FunctionSpec pulse_guide_off = {
    "pulse_guide_off",
    "Deactivate guiding in the specified direction using the ST4 port.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n        direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.).\n\n    "
    "Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "None", guide<ORXPulseGuideOff>, {{"camera_id", "int", Rule::Int}, {"direction", "GuideDirection", Rule::Enum}}};

const FunctionSpec get_gain_offset = {
    "get_gain_offset",
    "Get preset gain and offset values for the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    "
    "Returns:\n        tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity gain,\n         "
    "                          gain at lowest read noise, and offset at lowest read noise.\n\n    Raises:\n        "
    "OrxException: Raised if the operation is unsuccessful.\n    ",
    "tuple[int, int, int, int]", presets<ORXGetGainOffset>, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec get_lmh_gain_offset = {
    "get_lmh_gain_offset",
    "Get low, medium, and high gain and offset settings for the camera.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n\n    Returns:\n        tuple[int, int, int, int]: Low gain, medium gain, high gain, and high "
    "offset values.\n\n    Raises:\n        OrxException: Raised if the operation is unsuccessful.\n    ",
    "tuple[int, int, int, int]", presets<ORXGetLMHGainOffset>, {{"camera_id", "int", Rule::Int}}};

} // namespace orx::camera
