// enums.cpp - the eight integer enumerations mirroring the library's constants.
#include "module/module.hpp"

namespace orx {

namespace {

struct Member {
    const char *name;
    long value;
};

struct Enumeration {
    const char *name;
    std::initializer_list<Member> members;
};

// Classes and members in the order they are created.
const Enumeration kEnumerations[] = {
    {"BayerPattern", {{"BAYER_RG", 0}, {"BAYER_BG", 1}, {"BAYER_GR", 2}, {"BAYER_GB", 3}}},
    {"ImgType", {{"IMG_RAW8", 0}, {"IMG_RGB24", 1}, {"IMG_RAW16", 2}, {"IMG_Y8", 3}, {"IMG_END", -1}}},
    {"ControlType",
     {{"ORX_GAIN", 0},
      {"ORX_EXPOSURE", 1},
      {"ORX_GAMMA", 2},
      {"ORX_WB_R", 3},
      {"ORX_WB_B", 4},
      {"ORX_OFFSET", 5},
      {"ORX_BANDWIDTHOVERLOAD", 6},
      {"ORX_OVERCLOCK", 7},
      {"ORX_TEMPERATURE", 8},
      {"ORX_FLIP", 9},
      {"ORX_AUTO_MAX_GAIN", 10},
      {"ORX_AUTO_MAX_EXP", 11},
      {"ORX_AUTO_TARGET_BRIGHTNESS", 12},
      {"ORX_HARDWARE_BIN", 13},
      {"ORX_HIGH_SPEED_MODE", 14},
      {"ORX_COOLER_POWER_PERC", 15},
      {"ORX_TARGET_TEMP", 16},
      {"ORX_COOLER_ON", 17},
      {"ORX_MONO_BIN", 18},
      {"ORX_FAN_ON", 19},
      {"ORX_PATTERN_ADJUST", 20},
      {"ORX_ANTI_DEW_HEATER", 21},
      {"ORX_FAN_ADJUST", 22},
      {"ORX_PWRLED_BRIGNT", 23},
      {"ORX_USBHUB_RESET", 24},
      {"ORX_GPS_SUPPORT", 25},
      {"ORX_GPS_START_LINE", 26},
      {"ORX_GPS_END_LINE", 27},
      {"ORX_ROLLING_INTERVAL", 28}}},
    {"CameraMode",
     {{"ORX_MODE_NORMAL", 0},
      {"ORX_MODE_TRIG_SOFT_EDGE", 1},
      {"ORX_MODE_TRIG_RISE_EDGE", 2},
      {"ORX_MODE_TRIG_FALL_EDGE", 3},
      {"ORX_MODE_TRIG_SOFT_LEVEL", 4},
      {"ORX_MODE_TRIG_HIGH_LEVEL", 5},
      {"ORX_MODE_TRIG_LOW_LEVEL", 6},
      {"ORX_MODE_END", -1}}},
    {"GuideDirection",
     {{"ORX_GUIDE_NORTH", 0}, {"ORX_GUIDE_SOUTH", 1}, {"ORX_GUIDE_EAST", 2}, {"ORX_GUIDE_WEST", 3}}},
    {"FlipStatus", {{"ORX_FLIP_NONE", 0}, {"ORX_FLIP_HORIZ", 1}, {"ORX_FLIP_VERT", 2}, {"ORX_FLIP_BOTH", 3}}},
    {"TrigOutput", {{"ORX_TRIG_OUTPUT_PINA", 0}, {"ORX_TRIG_OUTPUT_PINB", 1}, {"ORX_TRIG_OUTPUT_NONE", -1}}},
    {"ExposureStatus",
     {{"ORX_EXP_IDLE", 0}, {"ORX_EXP_WORKING", 1}, {"ORX_EXP_SUCCESS", 2}, {"ORX_EXP_FAILED", 3}}},
};

Global g_IntEnum("IntEnum");

bool add_members(PyObject *ns, const void *context) {
    for (const Member &m : static_cast<const Enumeration *>(context)->members) {
        Ref key = Ref::steal(PyUnicode_InternFromString(m.name));
        Ref value = Ref::steal(key ? PyLong_FromLong(m.value) : nullptr);
        if (!value || PyObject_SetItem(ns, key.get(), value.get()) < 0) return false;
    }
    return true;
}

} // namespace

bool create_enumerations(PyObject *dict) {
    forget_enumerations();
    for (const Enumeration &e : kEnumerations) {
        Ref base = Ref::steal(g_IntEnum.get());
        if (!base) return false;
        Ref cls = Ref::steal(make_class(e.name, base.get(), add_members, &e));
        if (!cls || PyDict_SetItemString(dict, e.name, cls.get()) < 0 || !remember_enumeration(cls.get()))
            return false;
    }
    return true;
}

} // namespace orx
