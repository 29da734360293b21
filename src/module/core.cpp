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

PyObject *Global::get() {
    PyObject *dict = g.dict;
    PyObject *bdict = PyModule_GetDict(g.builtins);
    (void)dict;
    (void)bdict;
#if ORX_TAG_SHORTCUTS
    if (cached_ && dict_tag(dict) == dict_tag_ && dict_tag(bdict) == builtins_tag_) {
        Py_INCREF(cached_);
        return cached_;
    }
#endif
    PyObject *v = lookup_global(key_);
#if ORX_TAG_SHORTCUTS
    if (v) {
        cached_ = v;
        dict_tag_ = dict_tag(dict);
        builtins_tag_ = dict_tag(bdict);
    }
#endif
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

#if ORX_TAG_SHORTCUTS
// ---- enumerations ----------------------------------------------------------
//
// obj.value on an enumeration member runs the enumeration's `value` property,
// whose getter returns the member's `_value_`; cls(value) runs the
// metaclass's __call__, which hands an int to the class's __new__, which
// answers from the class's value-to-member map. Both are Python code. While
// the property, __call__ and __new__ are still the objects they were when
// the module started, reading `_value_` and the map directly gives the same
// result without running it.
namespace {

// A type's version tag is non-zero and changes (to 0, later to a fresh value
// never used before) whenever the type or one of its bases is modified, so a
// check made on a type stays true while its tag is the one seen then.
inline bool tag_unchanged(PyTypeObject *type, unsigned int tag) { return tag != 0 && type->tp_version_tag == tag; }

struct EnumShortcut {
    PyObject *cls = nullptr; // borrowed: the module keeps its classes alive
    PyObject *new_fn = nullptr;
    // the last check that the shortcut applies, made at these version tags
    unsigned int cls_tag = 0, meta_tag = 0;
    PyObject *map = nullptr; // borrowed: the class holds it while cls_tag stands
    // the last look-up in the map: its key (held), the member found (held by
    // the map while the map's version tag is the one seen then)
    PyObject *last_key = nullptr;
    PyObject *last_member = nullptr;
    uint64_t last_map_tag = 0;
};
EnumShortcut enum_shortcuts[8];
int enum_shortcut_count = 0;
int enum_shortcut_last = 0; // the entry used last, tried first
PyObject *enum_value_property = nullptr;
PyObject *enum_meta_call = nullptr;
PyObject *s_value = nullptr, *s_value_ = nullptr, *s_call = nullptr, *s_new = nullptr, *s_value2member_map = nullptr,
         *s_fget = nullptr;

// Member types whose `value` was found to be the enumeration property (and
// `_value_` not defined by the class), at a version tag.
struct ValueType {
    PyTypeObject *type = nullptr; // compared, never used
    unsigned int tag = 0;
};
ValueType value_types[8];
int value_types_next = 0;

// Each name is made once; a failure leaves the others to a later start-up.
bool intern_enum_names() {
    struct Entry {
        PyObject *&name;
        const char *text;
    } names[] = {{s_value, "value"}, {s_value_, "_value_"}, {s_call, "__call__"}, {s_new, "__new__"},
                 {s_value2member_map, "_value2member_map_"}, {s_fget, "fget"}};
    for (Entry &e : names) {
        if (!e.name && !(e.name = PyUnicode_InternFromString(e.text))) return false;
    }
    return true;
}

// The `value` property as it was when the module started: its type (with
// the __get__ that calls the getter) unchanged, its own attributes (the
// getter among them) unchanged, the getter's code the same.
struct ValueProperty {
    PyTypeObject *type = nullptr;
    unsigned int type_tag = 0;
    PyObject **dictptr = nullptr; // where the property (held) keeps its dictionary
    PyObject *dict = nullptr;     // borrowed: the property keeps it while dict_tag stands
    uint64_t dict_tag = 0;
    PyObject *getter = nullptr, *code = nullptr; // held
};
ValueProperty value_property;

bool remember_value_property(PyObject *property) {
    ValueProperty &v = value_property;
    Py_CLEAR(v.getter);
    Py_CLEAR(v.code);
    v = ValueProperty();
    PyTypeObject *type = Py_TYPE(property);
    (void)_PyType_Lookup(type, s_value); // gives the type a version tag
    PyObject **dictptr = _PyObject_GetDictPtr(property);
    PyObject *getter = dictptr && *dictptr ? PyDict_GetItemWithError(*dictptr, s_fget) : nullptr;
    if (!getter || !PyFunction_Check(getter) || type->tp_version_tag == 0) {
        PyErr_Clear(); // only a shortcut not taken
        return false;
    }
    v = {type, type->tp_version_tag, dictptr, *dictptr, dict_tag(*dictptr), Py_NewRef(getter),
         Py_NewRef(PyFunction_GET_CODE(getter))};
    return true;
}

bool value_property_unchanged() {
    const ValueProperty &v = value_property;
    if (!v.getter || !tag_unchanged(v.type, v.type_tag) || PyFunction_GET_CODE(v.getter) != v.code) return false;
#if PY_VERSION_HEX < 0x030D0000
    return *v.dictptr == v.dict && dict_tag(v.dict) == v.dict_tag;
#else
    // 3.13 stores attributes of plain objects inline, past the dictionary's
    // version tag: the getter is read as an attribute
    Ref getter = Ref::steal(PyObject_GetAttr(enum_value_property, s_fget));
    PyErr_Clear();
    return getter.get() == v.getter;
#endif
}

// Whether obj.value is the property's getter result, obj._value_, and that
// attribute lives in the instance dictionary (nothing of the name in the class).
bool value_is_member_attribute(PyTypeObject *type) {
    if (!enum_value_property || type->tp_getattro != PyObject_GenericGetAttr || !value_property_unchanged())
        return false;
    for (const ValueType &v : value_types)
        if (v.type == type && tag_unchanged(type, v.tag)) return true;
    if (_PyType_Lookup(type, s_value) != enum_value_property || _PyType_Lookup(type, s_value_)) return false;
    // the look-ups gave the type a version tag if it had none
    if (type->tp_version_tag != 0) {
        value_types[value_types_next] = {type, type->tp_version_tag};
        value_types_next = (value_types_next + 1) % 8;
    }
    return true;
}

} // namespace

bool remember_enumeration(PyObject *cls) {
    if (!intern_enum_names() || !PyType_Check(cls)) return !PyErr_Occurred();
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (enum_shortcut_count == 0) {
        Py_XSETREF(enum_value_property, Py_XNewRef(_PyType_Lookup(type, s_value)));
        Py_XSETREF(enum_meta_call, Py_XNewRef(_PyType_Lookup(Py_TYPE(cls), s_call)));
        if (!enum_value_property || !remember_value_property(enum_value_property)) Py_CLEAR(enum_value_property);
    }
    if (enum_shortcut_count < 8) {
        PyObject *new_fn = _PyType_Lookup(type, s_new);
        EnumShortcut &e = enum_shortcuts[enum_shortcut_count++];
        e = EnumShortcut();
        e.cls = cls;
        e.new_fn = Py_XNewRef(new_fn);
    }
    return true;
}

PyObject *enum_value(PyObject *obj) {
    if (value_is_member_attribute(Py_TYPE(obj))) {
        // obj._value_ as the generic attribute look-up finds it: in the
        // instance dictionary, the class having nothing of that name
        PyObject **dictptr = _PyObject_GetDictPtr(obj);
        if (dictptr && *dictptr) {
            PyObject *v = PyDict_GetItemWithError(*dictptr, s_value_);
            if (v) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;
        }
        return PyObject_GetAttr(obj, s_value_); // its AttributeError
    }
    return PyObject_GetAttr(obj, s_value ? s_value : Ref::steal(PyUnicode_FromString("value")).get());
}

namespace {

// Members whose `_value_` was last read as an exact int fitting 32 bits,
// with the version tag their dictionary had then: while the member's type
// still passes value_is_member_attribute() and the dictionary is the same at
// the same tag, reading and narrowing `value` gives the same number again.
struct KnownValue {
    PyObject *member = nullptr; // compared, never used
    PyObject *dict = nullptr;   // compared, never used
    uint64_t tag = 0;
    int32_t value = 0;
};
KnownValue known_values[16];
int known_values_next = 0;

} // namespace

void forget_enumerations() {
    for (int i = 0; i < enum_shortcut_count; ++i) {
        Py_CLEAR(enum_shortcuts[i].new_fn);
        Py_CLEAR(enum_shortcuts[i].last_key);
        enum_shortcuts[i] = EnumShortcut();
    }
    enum_shortcut_count = enum_shortcut_last = 0;
    for (ValueType &v : value_types) v = ValueType();
    for (KnownValue &k : known_values) k = KnownValue();
}

bool enum_value_known(PyObject *obj, int32_t &out) {
    for (const KnownValue &k : known_values) {
        if (k.member != obj) continue;
        if (!value_is_member_attribute(Py_TYPE(obj))) return false;
        PyObject **dictptr = _PyObject_GetDictPtr(obj);
        if (!dictptr || *dictptr != k.dict || dict_tag(k.dict) != k.tag) return false;
        out = k.value;
        return true;
    }
    return false;
}

void enum_value_remember(PyObject *obj, PyObject *value, int32_t narrowed) {
    if (!PyLong_CheckExact(value) || !value_is_member_attribute(Py_TYPE(obj))) return;
    PyObject **dictptr = _PyObject_GetDictPtr(obj);
    if (!dictptr || !*dictptr) return;
    // only what enum_value() read from this very dictionary
    PyObject *v = PyDict_GetItemWithError(*dictptr, s_value_);
    if (v != value) {
        PyErr_Clear();
        return;
    }
    known_values[known_values_next] = {obj, *dictptr, dict_tag(*dictptr), narrowed};
    known_values_next = (known_values_next + 1) % 16;
}

PyObject *enum_call(PyObject *cls, PyObject *value) {
    if (PyLong_CheckExact(value) && enum_meta_call) {
        for (int j = 0; j < enum_shortcut_count; ++j) {
            const int i = j == 0 ? enum_shortcut_last : j == enum_shortcut_last ? 0 : j;
            EnumShortcut &e = enum_shortcuts[i];
            if (e.cls != cls) continue;
            enum_shortcut_last = i;
            PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
            PyTypeObject *meta = Py_TYPE(cls);
            if (!tag_unchanged(type, e.cls_tag) || !tag_unchanged(meta, e.meta_tag)) {
                e.map = nullptr;
                if (_PyType_Lookup(meta, s_call) != enum_meta_call || _PyType_Lookup(type, s_new) != e.new_fn)
                    break;
                PyObject *map = _PyType_Lookup(type, s_value2member_map);
                if (!map || !PyDict_CheckExact(map)) break;
                e.map = map;
                e.cls_tag = type->tp_version_tag;
                e.meta_tag = meta->tp_version_tag;
            }
            if (e.last_member && dict_tag(e.map) == e.last_map_tag &&
                (e.last_key == value || PyLong_AsLong(e.last_key) == PyLong_AsLong(value)) && !PyErr_Occurred())
                return Py_NewRef(e.last_member);
            PyErr_Clear(); // values beyond a C long simply miss
            PyObject *member = PyDict_GetItemWithError(e.map, value);
            if (member) {
                Py_XSETREF(e.last_key, Py_NewRef(value));
                e.last_member = member;
                e.last_map_tag = dict_tag(e.map);
                return Py_NewRef(member);
            }
            if (PyErr_Occurred()) return nullptr;
            break; // no such member: the class raises its own error
        }
    }
    return PyObject_CallOneArg(cls, value);
}

#else // !ORX_TAG_SHORTCUTS: the enumeration machinery itself, every time

namespace {
Name s_value("value");
} // namespace

bool remember_enumeration(PyObject *) { return true; }
void forget_enumerations() {}
PyObject *enum_value(PyObject *obj) { return PyObject_GetAttr(obj, s_value.get()); }
bool enum_value_known(PyObject *, int32_t &) { return false; }
void enum_value_remember(PyObject *, PyObject *, int32_t) {}
PyObject *enum_call(PyObject *cls, PyObject *value) { return PyObject_CallOneArg(cls, value); }

#endif

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
