// common.cpp - result builders shared by the camera functions.
#include "camera/functions.hpp"

#include <climits>
#include <cstring>

namespace orx::camera {

PyObject *enum_member(Global &cls, int32_t value) {
    Ref enumeration = Ref::steal(cls.get());
    return enumeration ? enum_member_of(enumeration.get(), value) : nullptr;
}

PyObject *enum_member_of(PyObject *cls, int32_t value) {
    if (PyObject *member = enum_call_known(cls, value)) return member;
    Ref number = Ref::steal(PyLong_FromLong(value));
    return number ? enum_call(cls, number.get()) : nullptr;
}

namespace {

// Below this size a frame comes from the small-object allocator and is
// cleared in place; above it, fresh zeroed pages from calloc cost nothing to
// clear, and the library's write is the first touch of the memory.
constexpr Py_ssize_t kCallocThreshold = 64 * 1024;

PyObject *zeroed_bytes(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030E0000
    if (n >= kCallocThreshold) {
        // a bytes object laid out as the interpreter lays it out, from calloc
        void *mem = PyObject_Calloc(1, offsetof(PyBytesObject, ob_sval) + static_cast<size_t>(n) + 1);
        if (!mem) return PyErr_NoMemory();
        PyBytesObject *op = static_cast<PyBytesObject *>(mem);
        PyObject_InitVar(reinterpret_cast<PyVarObject *>(op), &PyBytes_Type, n);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
        op->ob_shash = -1; // hash not computed yet
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
        return reinterpret_cast<PyObject *>(op);
    }
#endif
    PyObject *frame = PyBytes_FromStringAndSize(nullptr, n);
    if (frame) std::memset(PyBytes_AS_STRING(frame), 0, static_cast<size_t>(n) + 1);
    return frame;
}

} // namespace

Ref new_frame(PyObject *size) {
    Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return Ref();
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return Ref();
    }
    if (n > INT32_MAX) {
        // Too large for the library: narrowing the size fails next. Whether
        // the memory could have been had still decides which error wins; ask
        // without touching it.
        void *probe = PyMem_RawCalloc(1, static_cast<size_t>(n));
        if (!probe) {
            PyErr_NoMemory();
            return Ref();
        }
        PyMem_RawFree(probe);
        return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    }
    return Ref::steal(zeroed_bytes(n));
}

unsigned char *frame_data(PyObject *frame) { return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(frame)); }

} // namespace orx::camera
