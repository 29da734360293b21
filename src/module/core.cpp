// core.cpp - module state, by-name globals, traceback entries.
#include "module/core.hpp"

#include <frameobject.h>

#include <string>

namespace orx {

State g;

Global *Global::first_ = nullptr;
Name *Name::first_ = nullptr;

Global::Global(const char *name) : name_(name), next_(first_) { first_ = this; }

bool Global::intern_all() {
    for (Global *p = first_; p; p = p->next_) {
        if (!p->key_) {
            p->key_ = PyUnicode_InternFromString(p->name_);
            if (!p->key_) return false;
        }
        p->cached_ = nullptr;
    }
    return true;
}


PyObject *lookup_global(PyObject *key) {
    PyObject *v = PyDict_GetItemWithError(g.dict, key);
    if (!v && !PyErr_Occurred()) {
        v = PyDict_GetItemWithError(PyModule_GetDict(g.builtins), key);
        if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    Py_XINCREF(v);
    return v;
}

PyObject *Global::look_up() {
    seen_.begin();
    seen_.add(g.dict);
    seen_.add(PyModule_GetDict(g.builtins));
    PyObject *v = lookup_global(key_);
    cached_ = v;
    return v;
}

Name::Name(const char *text) : text_(text), next_(first_) { first_ = this; }

bool Name::intern_all() {
    for (Name *p = first_; p; p = p->next_) {
        if (!p->obj_) {
            p->obj_ = PyUnicode_InternFromString(p->text_);
            if (!p->obj_) return false;
        }
    }
    return true;
}

bool ready_static_type(PyTypeObject &type) {
    if (PyType_Ready(&type) == 0) return true;
    PendingError pending;
    Py_CLEAR(type.tp_dict);
    Py_CLEAR(type.tp_mro);
    Py_CLEAR(type.tp_bases);
    pending.restore();
    return false;
}

void add_traceback(const char *what) {
    add_traceback_entry((std::string(kModuleName) + "." + what).c_str());
}

void add_traceback_entry(const char *name) {
    if (!PyErr_Occurred()) return;
    // creating the code and frame objects must not see the pending exception
    PendingError pending;
    PyCodeObject *code = PyCode_NewEmpty("orx", name, 0);
    PyFrameObject *frame = nullptr;
    if (code) {
        PyObject *globals = g.dict ? g.dict : PyDict_New();
        if (globals) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
            if (!g.dict) Py_DECREF(globals);
        }
    }
    PyErr_Clear();
    pending.restore();
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

PyObject *make_class(const char *name, PyObject *base, ClassBody body, const void *context) {
    Ref bases = Ref::steal(PyTuple_Pack(1, base));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    if (!bases || !qualname) return nullptr;
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(base));
    if (!PyType_Check(base)) meta = reinterpret_cast<PyObject *>(&PyType_Type);
    Ref prepare = Ref::steal(PyObject_GetAttrString(meta, "__prepare__"));
    Ref ns = Ref::steal(prepare ? PyObject_CallFunctionObjArgs(prepare.get(), qualname.get(), bases.get(), nullptr)
                                : nullptr);
    Ref module = Ref::steal(ns ? PyUnicode_FromString(kModuleName) : nullptr);
    if (!module) return nullptr;
    if (PyObject_SetItem(ns.get(), Ref::steal(PyUnicode_FromString("__module__")).get(), module.get()) < 0 ||
        PyObject_SetItem(ns.get(), Ref::steal(PyUnicode_FromString("__qualname__")).get(), qualname.get()) < 0 ||
        !body(ns.get(), context))
        return nullptr;
    return PyObject_CallFunctionObjArgs(meta, qualname.get(), bases.get(), ns.get(), nullptr);
}

void raise_object(PyObject *obj) {
    if (PyExceptionClass_Check(obj)) {
        PyObject *inst = PyObject_CallNoArgs(obj);
        if (!inst) return;
        if (!PyExceptionInstance_Check(inst)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         obj, type_name(inst));
        } else {
            PyErr_SetObject(obj, inst);
        }
        Py_DECREF(inst);
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

#if PY_VERSION_HEX >= 0x030C0000
PendingError::PendingError() : value_(PyErr_GetRaisedException()) {}
void PendingError::restore() {
    PyErr_SetRaisedException(value_);
    value_ = nullptr;
}
PendingError::~PendingError() { Py_XDECREF(value_); }
#else
PendingError::PendingError() {
    PyErr_Fetch(&type_, &value_, &tb_);
    if (type_) {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_) PyException_SetTraceback(value_, tb_);
    }
}
void PendingError::restore() {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
}
PendingError::~PendingError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}
#endif

HandlingScope::HandlingScope(PyObject *exc) {
    PyErr_GetExcInfo(&type_, &value_, &tb_);
    PyObject *tb = PyException_GetTraceback(exc);
    Py_INCREF(Py_TYPE(exc));
    Py_INCREF(exc);
    PyErr_SetExcInfo(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc, tb);
}

HandlingScope::~HandlingScope() { PyErr_SetExcInfo(type_, value_, tb_); }

} // namespace orx
