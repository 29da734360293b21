// records.hpp - the five record types: one library record embedded by value
// in a small Python object whose properties convert it on every read.
#pragma once

#include "module/core.hpp"

#include "ORXCamera2.h"

namespace orx {

template <class Record> struct RecordObject {
    PyObject_HEAD
    Record record;
};

// The embedded record of a record object (the library writes it in place).
template <class Record> Record *record_of(PyObject *obj) {
    return &reinterpret_cast<RecordObject<Record> *>(obj)->record;
}

// Readies ControlCaps, Id, SupportedMode, GpsData and CameraInfo, in this
// order, binding each in the module and filling g.types. False with an
// exception set on failure.
bool ready_record_types(PyObject *module);

// A new, zero-filled record object made by calling the type with no
// arguments.
inline Ref new_record(PyTypeObject *type) {
    return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(type)));
}

} // namespace orx
