// roi.cpp - the region of interest: format and start position.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

Global g_ImgType("ImgType");

PyObject *set_format_body(Call &c) {
    return ok_or_null(
        c.library([&] { return ORXSetROIFormat(c.i32(0), c.i32(1), c.i32(2), c.i32(3), c.i32(4)); }));
}

PyObject *get_format_body(Call &c) {
    int32_t width = 0, height = 0, bin = 0, type = 0;
    if (!c.library([&] { return ORXGetROIFormat(c.i32(0), &width, &height, &bin, &type); })) return nullptr;
    Ref w = Ref::steal(py_int(width)), h = Ref::steal(py_int(height)), b = Ref::steal(py_int(bin));
    if (!w || !h || !b) return nullptr;
    return tuple(w.release(), h.release(), b.release(), enum_member(g_ImgType, type));
}

PyObject *set_pos_body(Call &c) {
    return ok_or_null(c.library([&] { return ORXSetStartPos(c.i32(0), c.i32(1), c.i32(2)); }));
}

PyObject *get_pos_body(Call &c) {
    int32_t x = 0, y = 0;
    if (!c.library([&] { return ORXGetStartPos(c.i32(0), &x, &y); })) return nullptr;
    return tuple(py_int(x), py_int(y));
}

} // namespace

const FunctionSpec set_roi_format = {
    "set_roi_format",
    "Set the Region of Interest (ROI) format before starting capture.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n        width (int): The width of the ROI area (must be a multiple of 8).\n        height (int): The "
    "height of the ROI area (must be a multiple of 2).\n        bin (int): The binning method (e.g., bin1=1, "
    "bin2=2).\n        img_type (ImgType): The output format type.\n\n    Raises:\n        OrxException: Raised if "
    "the operation is unsuccessful.\n    ",
    "None", set_format_body,
    {{"camera_id", "int", Rule::Int},
     {"width", "int", Rule::Int},
     {"height", "int", Rule::Int},
     {"bin", "int", Rule::Int},
     {"img_type", "ImgType", Rule::Enum}}};

const FunctionSpec get_roi_format = {
    "get_roi_format",
    "Get the Region of Interest (ROI) format.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns: "
    "tuple[int, int, int, ImgType]\n        - width (int): The width of the ROI area (must be a multiple of 8).\n   "
    "     - height (int): The height of the ROI area (must be a multiple of 2).\n        - bin (int): The binning "
    "method (e.g., bin1=1, bin2=2).\n        - img_type (ImgType): The output format type.\n\n    Raises:\n        "
    "OrxException: Raised if the operation is unsuccessful.\n    ",
    "tuple[int, int, int, ImgType]", get_format_body, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec set_start_pos = {
    "set_start_pos",
    "Set the start position of the ROI area.\n\n    Args:\n        camera_id (int): The camera ID.\n        start_x "
    "(int): Start X coordinate.\n        start_y (int): Start Y coordinate.\n\n    Raises:\n        OrxException: "
    "Raised if the operation is unsuccessful.\n    ",
    "None", set_pos_body,
    {{"camera_id", "int", Rule::Int}, {"start_x", "int", Rule::Int}, {"start_y", "int", Rule::Int}}};

const FunctionSpec get_start_pos = {
    "get_start_pos",
    "Get the start position of the current ROI area.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    "
    "Returns:\n        tuple[int, int]: Start X and Start Y coordinates.\n\n    Raises:\n        OrxException: "
    "Raised if the operation is unsuccessful.\n    ",
    "tuple[int, int]", get_pos_body, {{"camera_id", "int", Rule::Int}}};

} // namespace orx::camera
