// lifecycle.cpp - opening, initialising and closing a camera.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

// Each may wait on the device, so the interpreter lock is given up meanwhile.
template <int32_t (*Library)(int32_t)> PyObject *by_id(Call &c) {
    return ok_or_null(c.library([&] { return Library(c.i32(0)); }, Gil::Release));
}

} // namespace

const FunctionSpec open_camera = {
    "open_camera",
    "\n    Open a camera for use.\n\n    Raises:\n        OrxException\n\n    Args:\n        camera_id (int): The camera ID.\n    ",
    "None", by_id<ORXOpenCamera>, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec init_camera = {
    "init_camera",
    "\n    Initialize the camera for capturing images.\n\n    Raises:\n        OrxException\n\n    Args:\n"
    "        camera_id (int): The camera ID.\n    ",
    "None", by_id<ORXInitCamera>, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec close_camera = {
    "close_camera",
    "\n    Close the camera.\n\n    Raises:\n        OrxException\n\n    Args:\n        camera_id (int): The camera ID.\n    ",
    "None", by_id<ORXCloseCamera>, {{"camera_id", "int", Rule::Int}}};

} // namespace orx::camera
