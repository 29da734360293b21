// video.cpp - continuous capture: start, stop, fetch frames, dropped frames.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

// Starting and stopping wait for the camera's producer; without the lock.
template <int32_t (*Library)(int32_t)> PyObject *by_id(Call &c) {
    return ok_or_null(c.library([&] { return Library(c.i32(0)); }, Gil::Release));
}

// A frame fetch waits up to wait_ms for the library: without the interpreter
// lock, so other threads run meanwhile and one of them can stop the capture,
// and in slices, so that Ctrl-C ends the wait.
PyObject *video_body(Call &c) {
    return fetch_frame(c, [&](unsigned char *data, int32_t ms) { return ORXGetVideoData(c.i32(0), data, c.i32(1), ms); });
}

PyObject *video_gps_body(Call &c) {
    return fetch_frame_gps(c, [&](unsigned char *data, int32_t ms, GpsDataRecord *gps) {
        return ORXGetVideoDataGPS(c.i32(0), data, c.i32(1), ms, gps);
    });
}

PyObject *dropped_body(Call &c) {
    int32_t dropped = 0;
    if (!c.library([&] { return ORXGetDroppedFrames(c.i32(0), &dropped); })) return nullptr;
    return py_int(dropped);
}

constexpr Param kFetchParams[] = {
    {"camera_id", "int", Rule::Int}, {"buffer_size", "int", Rule::Int}, {"wait_ms", "int", Rule::Int}};

} // namespace

const FunctionSpec start_video_capture = {
    "start_video_capture",
    "Start video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n        OrxException: "
    "Raised if the operation is unsuccessful.\n    ",
    "None", by_id<ORXStartVideoCapture>, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec stop_video_capture = {
    "stop_video_capture",
    "Stop video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Raises:\n        OrxException: "
    "Raised if the operation is unsuccessful.\n    ",
    "None", by_id<ORXStopVideoCapture>, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec get_video_data = {
    "get_video_data",
    "Get video data from the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n        buffer_size (int): "
    "The size of the buffer to store the image data.\n        wait_ms (int): Time to wait for an image in milliseconds "
    "(-1 for infinite wait).\n\n    Returns:\n        bytes: The captured image data.\n\n    Raises:\n        "
    "OrxException: Raised if the operation is unsuccessful or timeout occurs.\n    ",
    "bytes", video_body, {kFetchParams[0], kFetchParams[1], kFetchParams[2]}};

const FunctionSpec get_video_data_gps = {
    "get_video_data_gps",
    "Get video data from the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n        buffer_size (int): "
    "The size of the buffer to store the image data.\n        wait_ms (int): Time to wait for an image in milliseconds "
    "(-1 for infinite wait).\n\n    Returns:\n        tuple(bytes, GpsData): The captured image data and the gps "
    "data.\n\n    Raises:\n        OrxException: Raised if the operation is unsuccessful or timeout occurs.\n    ",
    "tuple[bytes, GpsData]", video_gps_body, {kFetchParams[0], kFetchParams[1], kFetchParams[2]}};

const FunctionSpec get_dropped_frames = {
    "get_dropped_frames",
    "Get the number of dropped frames during video capture.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "    Returns:\n        int: The number of dropped frames.\n\n    Raises:\n        OrxException: Raised if the "
    "operation is unsuccessful.\n    ",
    "int", dropped_body, {{"camera_id", "int", Rule::Int}}};

} // namespace orx::camera
