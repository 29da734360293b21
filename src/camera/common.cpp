// common.cpp - result builders shared by the camera functions.
#include "camera/functions.hpp"

#include <climits>
#include <cstring>

namespace orx::camera {

PyObject *enum_member(Global &cls, int32_t value) {
    Ref enumeration = Ref::steal(cls.get());
    Ref number = Ref::steal(enumeration ? PyLong_FromLong(value) : nullptr);
    return number ? PyObject_CallOneArg(enumeration.get(), number.get()) : nullptr;
}

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
    Ref frame = Ref::steal(PyBytes_FromStringAndSize(nullptr, n));
    if (frame) std::memset(PyBytes_AS_STRING(frame.get()), 0, static_cast<size_t>(n));
    return frame;
}

unsigned char *frame_data(PyObject *frame) { return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(frame)); }

} // namespace orx::camera
