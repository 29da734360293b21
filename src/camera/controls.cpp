// controls.cpp - the camera's controls: count, capabilities, values.
#include "camera/functions.hpp"

namespace orx::camera {

namespace {

PyObject *count_body(Call &c) {
    int32_t count = 0;
    if (!c.library([&] { return ORXGetNumOfControls(c.i32(0), &count); })) return nullptr;
    return py_int(count);
}

PyObject *caps_body(Call &c) {
    Ref caps = new_record(g.types.ControlCaps);
    if (!caps) return nullptr;
    ControlCapsRecord *rec = record_of<ControlCapsRecord>(caps.get());
    if (!c.library([&] { return ORXGetControlCaps(c.i32(0), c.i32(1), rec); })) return nullptr;
    return caps.release();
}

PyObject *get_value_body(Call &c) {
    int32_t value = 0;
    ORX_BOOL is_auto = 0;
    if (!c.library([&] { return ORXGetControlValue(c.i32(0), c.i32(1), &value, &is_auto); })) return nullptr;
    return tuple(py_int(value), py_bool(is_auto));
}

PyObject *set_value_body(Call &c) {
    return ok_or_null(c.library([&] { return ORXSetControlValue(c.i32(0), c.i32(1), c.i32(2), c.i32(3)); }));
}

} // namespace

const FunctionSpec get_num_of_controls = {
    "get_num_of_controls",
    "\n    Get the number of control settings available on the camera.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n\n    Raises:\n        OrxException\n\n    Returns:\n        int: Number of controls.\n    ",
    "int", count_body, {{"camera_id", "int", Rule::Int}}};

const FunctionSpec get_control_caps = {
    "get_control_caps",
    "\n    Get the capabilities of a specific control on the camera.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n\n        control_index (int): The control index.\n\n    Raises:\n        OrxException\n\n    "
    "Returns:\n        Controlaps: THe control caps\n    ",
    "ControlCaps", caps_body, {{"camera_id", "int", Rule::Int}, {"control_index", "int", Rule::Int}}};

const FunctionSpec get_control_value = {
    "get_control_value",
    "\n    Get the value of a control setting on the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        control_type (int): The control type.\n\n    Raises:\n        OrxException\n\n    Returns:\n        "
    "tuple[int, bool]: The value of the control and whether it's in auto mode.\n    ",
    "tuple[int, bool]", get_value_body,
    {{"camera_id", "int", Rule::Int}, {"control_type", "ControlType", Rule::Enum}},
    &in_place<get_value_body, Rule::Int, Rule::Enum>};

const FunctionSpec set_control_value = {
    "set_control_value",
    "\n    Set the value of a control setting on the camera.\n\n    Args:\n        camera_id (int): The camera ID.\n"
    "        control_type (int): The control type.\n        value (long): The new control value.\n        auto_mode "
    "(bool): Whether to enable auto mode.\n\n    Raises:\n        OrxException\n\n    ",
    "None", set_value_body,
    {{"camera_id", "int", Rule::Int},
     {"control_type", "ControlType", Rule::Enum},
     {"value", "int", Rule::Int},
     {"auto_mode", "bool", Rule::Bool}},
    &in_place<set_value_body, Rule::Int, Rule::Enum, Rule::Int, Rule::Bool>};

} // namespace orx::camera
