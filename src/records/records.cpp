// records.cpp - what the five record types share: argument refusal, the
// pickling refusal, text fields, enumeration members, the byte-array setter,
// and readying the types at start-up.
#include "records/record_type.hpp"

#include <cstring>
#include <string>

namespace orx {
namespace records {
namespace {

Name s_encode("encode");
Name s_utf_8("utf-8");

bool not_enough(Py_ssize_t expected, Py_ssize_t got) {
    PyErr_Format(PyExc_IndexError, "not enough values found during array assignment, expected %zd, got %zd",
                 expected, got);
    return false;
}

bool too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd", expected);
    return false;
}

// One array item as a char (-128..127) or an unsigned char (0..255).
bool to_byte(PyObject *item, bool is_unsigned, unsigned char *out) {
    Ref number;
    if (PyLong_Check(item)) {
        number = Ref::borrow(item);
    } else if (PyIndex_Check(item)) {
        number = Ref::steal(PyNumber_Index(item));
        if (!number) return false;
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (is_unsigned) {
        if (overflow < 0 || (overflow == 0 && v < 0)) {
            PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned char");
            return false;
        }
        if (overflow > 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned char");
            return false;
        }
    } else if (overflow != 0 || v < -128 || v > 127) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to char");
        return false;
    }
    *out = static_cast<unsigned char>(v);
    return true;
}

} // namespace

void failed_in(const char *type_name, const char *what) {
    add_traceback((std::string(type_name) + "." + what).c_str());
}

void property_failed(void *where, const char *suffix) { failed_in(static_cast<const char *>(where), suffix); }

bool check_no_arguments(const char *type_name, PyObject *args, PyObject *kwds) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", "__init__", "takes no arguments", nargs);
    } else if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", "__init__", "takes no keyword arguments");
    } else {
        return true;
    }
    failed_in(type_name, "__init__");
    return false;
}

PyObject *refuse_pickling(const TypeSpec &spec, const char *method) {
    PyErr_Format(PyExc_TypeError,
                 "Pickling of struct members such as self.%s must be explicitly requested with @auto_pickle(True)",
                 spec.member);
    failed_in(spec.name, method);
    return nullptr;
}

PyObject *decode_field(const void *field, size_t size) {
    const char *text = static_cast<const char *>(field);
    const void *nul = std::memchr(text, '\0', size);
    const size_t length = nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "strict");
}

PyObject *enum_member(Global &cls, int32_t value) {
    Ref klass = Ref::steal(cls.get());
    if (!klass) return nullptr;
    Ref number = Ref::steal(PyLong_FromLong(value));
    if (!number) return nullptr;
    return enum_call(klass.get(), number.get());
}

bool assign_encoded(PyObject *value, void *dest, Py_ssize_t n, bool is_unsigned) {
    unsigned char buffer[256];
    if (n > static_cast<Py_ssize_t>(sizeof buffer)) {
        PyErr_SetString(PyExc_SystemError, "byte array field too large");
        return false;
    }
    Ref encoded = Ref::steal(PyObject_CallMethodOneArg(value, s_encode.get(), s_utf_8.get()));
    if (!encoded) return false;

    Py_ssize_t length = PyObject_Length(encoded.get());
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
            return false;
        PyErr_Clear();
        length = n;
    }
    if (length < n) return not_enough(n, length);
    if (length > n) return too_many(n);

    Ref iterator = Ref::steal(PyObject_GetIter(encoded.get()));
    if (!iterator) return false;
    Py_ssize_t count = 0;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return false;
            break;
        }
        if (count == n) return too_many(n);
        if (!to_byte(item.get(), is_unsigned, &buffer[count])) return false;
        ++count;
    }
    if (count < n) return not_enough(n, count);
    std::memcpy(dest, buffer, static_cast<size_t>(n));
    return true;
}

} // namespace records

bool ready_record_types(PyObject *module) {
    struct Entry {
        PyTypeObject *(*ready)();
        PyTypeObject *RecordTypes::*slot;
    };
    static const Entry entries[] = {
        {records::ready_control_caps, &RecordTypes::ControlCaps},
        {records::ready_id, &RecordTypes::Id},
        {records::ready_supported_mode, &RecordTypes::SupportedMode},
        {records::ready_gps_data, &RecordTypes::GpsData},
        {records::ready_camera_info, &RecordTypes::CameraInfo},
    };
    for (const Entry &e : entries) {
        PyTypeObject *type = e.ready();
        if (!type) return false;
        const char *short_name = std::strrchr(type->tp_name, '.') + 1;
        if (PyModule_AddObjectRef(module, short_name, reinterpret_cast<PyObject *>(type)) < 0) return false;
        g.types.*e.slot = type;
    }
    return true;
}

} // namespace orx
