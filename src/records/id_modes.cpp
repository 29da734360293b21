// id_modes.cpp - Id (the camera's 8-byte identifier) and SupportedMode (the
// camera modes a camera supports).
#include "records/record_type.hpp"

namespace orx::records {
namespace {

Global g_CameraMode("CameraMode");
Name s_ORX_MODE_END("ORX_MODE_END");
Name s_value("value");

// The stored modes, as plain ints, except those equal to
// CameraMode.ORX_MODE_END.value (looked up afresh for every entry).
struct SupportedModes {
    template <size_t N> static PyObject *convert(const int32_t (&modes)[N]) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (int32_t mode : modes) {
            Ref entry = Ref::steal(PyLong_FromLong(mode));
            if (!entry) return nullptr;
            Ref cls = Ref::steal(g_CameraMode.get());
            if (!cls) return nullptr;
            Ref end = Ref::steal(PyObject_GetAttr(cls.get(), s_ORX_MODE_END.get()));
            if (!end) return nullptr;
            Ref end_value = Ref::steal(PyObject_GetAttr(end.get(), s_value.get()));
            if (!end_value) return nullptr;
            const int differs = PyObject_RichCompareBool(entry.get(), end_value.get(), Py_NE);
            if (differs < 0) return nullptr;
            if (differs && PyList_Append(list.get(), entry.get()) < 0) return nullptr;
        }
        return list.release();
    }
};

PyGetSetDef id_properties[] = {
    property("id", get<&IdRecord::id, AsText>, "Id.id", set_encoded<&IdRecord::id>),
    {},
};

PyGetSetDef mode_properties[] = {
    property("supported_camera_mode", get<&SupportedModeRecord::SupportedCameraMode, SupportedModes>,
             "SupportedMode.supported_camera_mode"),
    {},
};

const TypeSpec id_spec{"Id", "c_id", id_properties};
const TypeSpec mode_spec{"SupportedMode", "c_supported_mode", mode_properties};

} // namespace

PyTypeObject *ready_id() { return RecordType<IdRecord>::ready(id_spec); }
PyTypeObject *ready_supported_mode() { return RecordType<SupportedModeRecord>::ready(mode_spec); }

} // namespace orx::records
