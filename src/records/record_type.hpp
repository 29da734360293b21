// record_type.hpp - the one pattern every record type is made from: a static
// type object around RecordObject<R>, the no-argument __init__ that clears
// the record, the pickling refusal, and properties declared as
// (field, conversion) pairs that convert on every read.
#pragma once

#include "records/records.hpp"

#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

namespace orx::records {

// ---- the type ----------------------------------------------------------------

struct TypeSpec {
    const char *name;        // short name, e.g. "CameraInfo"
    const char *member;      // the embedded record's member name, e.g. "c_info"
    PyGetSetDef *getset;     // properties, in declaration order, null-terminated
    reprfunc repr = nullptr; // nullptr: object's own
    reprfunc str = nullptr;
};

// Traceback entry "<Type>.<what>" for the pending exception.
void failed_in(const char *type_name, const char *what);

// "__init__() takes no arguments (N given)" / "... takes no keyword arguments".
bool check_no_arguments(const char *type_name, PyObject *args, PyObject *kwds);

// Raises the pickling refusal for `spec.member`.
PyObject *refuse_pickling(const TypeSpec &spec, const char *method);

template <class R> struct RecordType {
    static inline PyTypeObject *type = nullptr; // the readied type object, once readied
    static inline const TypeSpec *spec = nullptr;
    static inline char qualified_name[96]; // lives as long as the type: no destructor

    static int init(PyObject *self, PyObject *args, PyObject *kwds) {
        if (!check_no_arguments(spec->name, args, kwds)) return -1;
        std::memset(record_of<R>(self), 0, sizeof(R));
        return 0;
    }
    static PyObject *reduce(PyObject *, PyObject *) { return refuse_pickling(*spec, "__reduce__"); }
    static PyObject *setstate(PyObject *, PyObject *) { return refuse_pickling(*spec, "__setstate__"); }

    static inline PyMethodDef methods[] = {
        {"__reduce__", reduce, METH_NOARGS, nullptr},
        {"__setstate__", setstate, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };

    // Fills in and readies the type object (once per process). Each attempt
    // readies a type object of its own: one whose readying failed (memory)
    // is left as the interpreter left it, never reused or taken apart, since
    // what readying filled in before failing (the base's list of subclasses,
    // the attribute cache, descriptors in its dictionary) may still refer to
    // it. It lives on, as static types do.
    static PyTypeObject *ready(const TypeSpec &s) {
        if (type) return type;
        auto *t = new (std::nothrow) PyTypeObject{};
        if (!t) {
            PyErr_NoMemory();
            return nullptr;
        }
        PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
        t->ob_base = head[0];
        spec = &s;
        std::snprintf(qualified_name, sizeof qualified_name, "%s.%s", kModuleName, s.name);
        t->tp_name = qualified_name;
        t->tp_basicsize = sizeof(RecordObject<R>);
        t->tp_itemsize = 0;
        t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        t->tp_doc = nullptr;
        t->tp_repr = s.repr;
        t->tp_str = s.str;
        t->tp_methods = methods;
        t->tp_getset = s.getset;
        t->tp_init = init;
        t->tp_alloc = PyType_GenericAlloc; // zero-filled
        t->tp_new = PyType_GenericNew;
        if (PyType_Ready(t) < 0) return nullptr;
        type = t;
        return t;
    }
};

// ---- properties --------------------------------------------------------------

// The record type and the value type a field pointer refers to.
template <class M> struct field_of;
template <class R, class V> struct field_of<V R::*> {
    using record = R;
    using value = V;
};

// `where` (a property's closure) is "<Type>.<property>"; the entry added is
// "<Type>.<property>.<suffix>".
void property_failed(void *where, const char *suffix);

template <auto Field, class Conv> PyObject *get(PyObject *self, void *where) {
    using R = typename field_of<decltype(Field)>::record;
    PyObject *r = Conv::convert(record_of<R>(self)->*Field);
    if (!r) property_failed(where, "__get__");
    return r;
}

inline PyGetSetDef property(const char *name, getter get, const char *where, setter set = nullptr) {
    return {name, get, set, nullptr, const_cast<char *>(where)};
}

// Conversions from a stored field to a new Python object.
struct AsInt {
    static PyObject *convert(int32_t v) { return PyLong_FromLong(v); }
};
struct AsBool {
    static PyObject *convert(int32_t v) { return PyBool_FromLong(v != 0); }
};
struct AsFloat { // a float field is widened exactly
    static PyObject *convert(double v) { return PyFloat_FromDouble(v); }
};

// Bytes of a text field up to its first NUL (never beyond the field), as
// strict UTF-8.
PyObject *decode_field(const void *field, size_t size);
struct AsText {
    template <class C, size_t N> static PyObject *convert(const C (&field)[N]) {
        static_assert(sizeof(C) == 1, "text fields are byte arrays");
        return decode_field(field, N);
    }
};

// `Class(value)`, the class looked up by name now.
PyObject *enum_member(Global &cls, int32_t value);
template <Global &Class> struct AsMember {
    static PyObject *convert(int32_t v) { return enum_member(Class, v); }
};

// ---- byte-array properties written from text ---------------------------------

// Converts value.encode("utf-8") into exactly n bytes at dest, as an array
// assignment of n (signed or unsigned) chars; dest is written only when all n
// converted. False with an exception set otherwise.
bool assign_encoded(PyObject *value, void *dest, Py_ssize_t n, bool is_unsigned);

template <auto Field> int set_encoded(PyObject *self, PyObject *value, void *where) {
    using R = typename field_of<decltype(Field)>::record;
    using V = typename field_of<decltype(Field)>::value;
    using C = std::remove_extent_t<V>;
    static_assert(std::is_same_v<C, char> || std::is_same_v<C, unsigned char>, "byte array field");
    bool ok;
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        ok = false;
    } else {
        ok = assign_encoded(value, record_of<R>(self)->*Field, std::extent_v<V>,
                            std::is_same_v<C, unsigned char>);
    }
    if (!ok) {
        property_failed(where, "__set__");
        return -1;
    }
    return 0;
}

// ---- the five types ----------------------------------------------------------

PyTypeObject *ready_control_caps();
PyTypeObject *ready_id();
PyTypeObject *ready_supported_mode();
PyTypeObject *ready_gps_data();
PyTypeObject *ready_camera_info();

} // namespace orx::records
