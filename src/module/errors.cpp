// errors.cpp - the exception classes, the status table and handle_error_code.
#include "module/module.hpp"

namespace orx {

namespace detail {
// When status 0 last went the whole way and was found to do nothing: the
// module namespace, the built-ins, the status table and the success class as
// they were then.
Seen success_memo;
// The success class as created; the fast path below relies on it.
PyObject *original_success = nullptr;
} // namespace detail

namespace {

using detail::original_success;
Seen &memo = detail::success_memo;

struct ExceptionClass {
    const char *name;
    const char *doc;
};

// In creation order; ORXError derives from Exception, every other from the
// class found under the name ORXError at the time it is created.
const ExceptionClass kExceptions[] = {
    {"ORXError", "Base exception class for all ORX errors."},
    {"ORXSuccess", "ORX operation completed successfully."},
    {"ORXInvalidIndex", "Invalid index: No camera connected or index value out of boundary."},
    {"ORXInvalidID", "Invalid camera ID provided."},
    {"ORXCameraClosed", "Failed to open camera: Camera is closed."},
    {"ORXCameraRemoved", "Camera removed: Failed to find the camera, it might have been disconnected."},
    {"ORXTimeout", "Operation timed out."},
    {"ORXGeneralError", "General error: Value is out of valid range."},
    {"ORXInvalidControlType", "Invalid control type provided."},
    {"ORXInvalidPath", "Invalid file path provided."},
    {"ORXInvalidFileFormat", "Invalid file format provided."},
    {"ORXInvalidSize", "Invalid video format size."},
    {"ORXInvalidImageType", "Unsupported image format."},
    {"ORXOutOfBoundary", "The start position is out of boundary."},
    {"ORXInvalidSequence", "Stop capture first: Invalid sequence of operations."},
    {"ORXBufferTooSmall", "Buffer size is too small for the operation."},
    {"ORXVideoModeActive", "Operation failed because video mode is currently active."},
    {"ORXExposureInProgress", "Cannot perform operation while exposure is in progress."},
    {"ORXInvalidMode", "The current mode is incorrect for this operation."},
    {"ORXGPSNotSupported", "GPS is not supported by this camera."},
    {"ORXGPSVersionError", "The FPGA GPS version is too low for the requested operation."},
    {"ORXGPSFPGAError", "Failed to read or write data to FPGA for GPS."},
    {"ORXGPSParamOutOfRange",
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."},
    {"ORXGPSDataInvalid", "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."},
    {"ORXErrorEnd", "End of ORX error codes."},
    {"ORXUnknownErrorCode", "End of ORX error codes."},
};

// Status code -> class name; several classes stand under two codes.
const char *const kErrorTable[30] = {
    "ORXSuccess",         "ORXInvalidIndex",      "ORXInvalidID",          "ORXCameraClosed",
    "ORXCameraRemoved",   "ORXTimeout",           "ORXGeneralError",       "ORXInvalidIndex",
    "ORXInvalidID",       "ORXInvalidControlType", "ORXCameraClosed",      "ORXCameraRemoved",
    "ORXInvalidPath",     "ORXInvalidFileFormat", "ORXInvalidSize",        "ORXInvalidImageType",
    "ORXOutOfBoundary",   "ORXTimeout",           "ORXInvalidSequence",    "ORXBufferTooSmall",
    "ORXVideoModeActive", "ORXExposureInProgress", "ORXGeneralError",      "ORXInvalidMode",
    "ORXGPSNotSupported", "ORXGPSVersionError",   "ORXGPSFPGAError",       "ORXGPSParamOutOfRange",
    "ORXGPSDataInvalid",  "ORXErrorEnd",
};

Global g_ORXError("ORXError");
Global g_ORXSuccess("ORXSuccess");
Global g_ORXUnknownErrorCode("ORXUnknownErrorCode");
Global g_ORX_ERROR_CODE_TO_EXCEPTION("ORX_ERROR_CODE_TO_EXCEPTION");


bool add_doc(PyObject *ns, const void *context) {
    Ref doc = Ref::steal(PyUnicode_FromString(static_cast<const char *>(context)));
    return doc && PyObject_SetItem(ns, Ref::steal(PyUnicode_FromString("__doc__")).get(), doc.get()) == 0;
}

// handle_error_code(0) with nothing replaced: the table is a plain dict whose
// entry for 0 is the success class as created, still found under its name,
// with the exception constructor it inherited. Building and swallowing that
// instance has no effect anyone can observe, so it is skipped.
bool plain_success(PyObject *table, PyObject *code) {
    if (!original_success || !PyDict_CheckExact(table)) return false;
    PyObject *entry = PyDict_GetItemWithError(table, code); // borrowed
    if (entry != original_success) return false;
    PyTypeObject *cls = reinterpret_cast<PyTypeObject *>(entry);
    PyTypeObject *base = reinterpret_cast<PyTypeObject *>(PyExc_BaseException);
    if (cls->tp_new != base->tp_new || cls->tp_init != base->tp_init ||
        Py_TYPE(entry) != &PyType_Type)
        return false;
    Ref success = Ref::steal(g_ORXSuccess.get());
    if (!success) {
        PyErr_Clear(); // the slow path raises this NameError in its place
        return false;
    }
    return success.get() == original_success;
}

PyObject *handle_error_code_body(Call &c) { return handle_status(c.arg(0)); }


bool is_zero(PyObject *code) {
    int overflow = 0;
    return PyLong_CheckExact(code) && PyLong_AsLongAndOverflow(code, &overflow) == 0 && !overflow;
}

// Called right after plain_success() held for `table`: the checks are made
// again with everything they read watched from before.
void remember_plain_success(PyObject *table, PyObject *code) {
    memo.forget();
    Seen seen;
    seen.begin();
    seen.add(reinterpret_cast<PyTypeObject *>(original_success));
    seen.add(g.dict);
    seen.add(PyModule_GetDict(g.builtins));
    seen.add(table);
    Ref handler = Ref::steal(lookup_handle_error_code());
    Ref current = Ref::steal(handler ? g_ORX_ERROR_CODE_TO_EXCEPTION.get() : nullptr);
    // only a memo: the calls that need what is missing report its absence
    const bool plain = current.get() == table && is_original_handler(handler.get()) && plain_success(table, code);
    PyErr_Clear();
    if (plain && seen.holds()) memo = seen;
}

} // namespace

PyObject *handle_status(PyObject *code) {
    const bool zero = is_zero(code);
    if (zero && plain_success_known()) return none();
    Ref table = Ref::steal(g_ORX_ERROR_CODE_TO_EXCEPTION.get());
    if (!table) return nullptr;
    if (zero && plain_success(table.get(), code)) {
        remember_plain_success(table.get(), code);
        return none();
    }
    if (PyErr_Occurred()) return nullptr;

    // raise ORX_ERROR_CODE_TO_EXCEPTION[code]()
    {
        Ref cls = Ref::steal(PyObject_GetItem(table.get(), code));
        Ref inst = Ref::steal(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
        if (inst) raise_object(inst.get());
    }

    PendingError pending;
    PyObject *exc = pending.value();
    if (PyErr_GivenExceptionMatches(exc, PyExc_KeyError)) {
        HandlingScope handling(exc);
        Ref unknown = Ref::steal(g_ORXUnknownErrorCode.get());
        if (!unknown) return nullptr;
        Ref text = Ref::steal(PyObject_Str(code));
        Ref message = Ref::steal(text ? PyUnicode_FromFormat("Unknown error code %U. Update wrapper.", text.get())
                                      : nullptr);
        Ref inst = Ref::steal(message ? PyObject_CallOneArg(unknown.get(), message.get()) : nullptr);
        if (inst) raise_object(inst.get());
        return nullptr;
    }
    {
        HandlingScope handling(exc);
        Ref success = Ref::steal(g_ORXSuccess.get());
        if (!success) return nullptr;
        int match = PyObject_IsInstance(exc, success.get());
        if (match < 0) return nullptr;
        if (match) return none();
    }
    pending.restore();
    return nullptr;
}

const FunctionSpec handle_error_code_spec = {
    "handle_error_code", nullptr, "None", handle_error_code_body, {{"orx_error_code", "int", Rule::Int}},
    &in_place<handle_error_code_body, Rule::Int>};

bool create_exceptions(PyObject *dict) {
    memo.forget();
    for (const ExceptionClass &e : kExceptions) {
        Ref base = e.name == kExceptions[0].name ? Ref::borrow(PyExc_Exception) : Ref::steal(g_ORXError.get());
        if (!base) return false;
        Ref cls = Ref::steal(make_class(e.name, base.get(), add_doc, e.doc));
        if (!cls || PyDict_SetItemString(dict, e.name, cls.get()) < 0) return false;
        if (e.name == kExceptions[1].name) {
            Py_XSETREF(original_success, cls.newref());
        }
    }
    return true;
}

bool create_error_table(PyObject *dict) {
    // the classes are read back by name, as at run time
    Ref table = Ref::steal(PyDict_New());
    if (!table) return false;
    for (long code = 0; code < 30; ++code) {
        Ref key = Ref::steal(PyUnicode_InternFromString(kErrorTable[code]));
        Ref cls = Ref::steal(key ? lookup_global(key.get()) : nullptr);
        Ref number = Ref::steal(cls ? PyLong_FromLong(code) : nullptr);
        if (!number || PyDict_SetItem(table.get(), number.get(), cls.get()) < 0) return false;
    }
    return PyDict_SetItemString(dict, "ORX_ERROR_CODE_TO_EXCEPTION", table.get()) == 0;
}

} // namespace orx
