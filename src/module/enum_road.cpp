// enum_road.cpp - the enumeration machinery taken in short while it is the
// standard one.
//
// obj.value on an enumeration member runs the enumeration's `value` property,
// whose getter returns the member's `_value_`; cls(value) runs the
// metaclass's __call__, which hands an int to the class's __new__, which
// answers from the class's value-to-member map. Both are Python code. While
// the property, __call__ and __new__ are still the objects they were when
// the module started, reading `_value_` and the map directly gives the same
// result without running it. Each check is remembered (Seen) until something
// it read changes.
#include "module/core.hpp"
#include "module/enum_known.hpp"
#include "module/function.hpp"

namespace orx {

namespace {

Name s_value("value"), s_value_("_value_"), s_call("__call__"), s_new("__new__"),
    s_value2member_map("_value2member_map_"), s_member_map("_member_map_"), s_fget("fget"), s_get("__get__");

void forget_value_property() {
    ValueProperty &v = value_property;
    Py_CLEAR(v.property);
    v.getter.drop();
    v.get.drop();
    v = ValueProperty();
}

void remember_value_property(PyObject *property) {
    forget_value_property();
    ValueProperty &v = value_property;
    v.seen.begin();
    v.seen.add(Py_TYPE(property));
    PyObject *dict = instance_dict(property);
    if (dict) v.seen.add(dict);
    PyObject *getter = dict ? PyDict_GetItemWithError(dict, s_fget.get()) : nullptr;
    if (getter && v.getter.take(getter) && v.get.take(type_lookup(Py_TYPE(property), s_get.get()))) {
        v.seen.add_function(v.getter.fn);
        v.seen.add_function(v.get.fn);
    }
    if (!v.get.fn || !v.seen.holds()) {
        PyErr_Clear(); // only a shortcut not taken
        v.getter.drop();
        v.get.drop();
        v.seen.forget();
        return;
    }
    v.property = Py_NewRef(property);
    v.dict = dict;
    v.fget_name = s_fget.get();
    PyObject *key, *value;
    for (Py_ssize_t pos = 0, at = 0; PyDict_Next(dict, &pos, &key, &value); at = pos)
        if (key == s_fget.get()) v.getter_at = at;
}

bool value_property_unchanged() {
    const ValueProperty &v = value_property;
    return v.property && property_dict_same(v) && v.seen.holds() && getter_same(v);
}

// Member types whose `value` was found to be the enumeration property (and
// `_value_` not defined by the class).
struct ValueType {
    PyTypeObject *type = nullptr; // compared, never used
    Seen seen;                    // the type
};
ValueType value_types[8];
int value_types_next = 0;

// Whether obj.value is the property's getter result, obj._value_, and that
// attribute lives in the instance dictionary (nothing of the name in the class).
bool value_is_member_attribute(PyTypeObject *type) {
    if (type->tp_getattro != PyObject_GenericGetAttr || !value_property_unchanged()) return false;
    for (const ValueType &v : value_types)
        if (v.type == type && v.seen.holds()) return true;
    Seen seen;
    seen.begin();
    seen.add(type);
    if (type_lookup(type, s_value.get()) != value_property.property || type_lookup(type, s_value_.get()))
        return false;
    if (seen.holds()) {
        value_types[value_types_next] = {type, seen};
        value_types_next = (value_types_next + 1) % 8;
    }
    return true;
}

// cls(value) for one enumeration class made at start-up.
struct EnumShortcut {
    PyObject *cls = nullptr;         // borrowed: the module keeps its classes alive
    FunctionState new_fn;            // held: the class's __new__ as created
    // the class, its metaclass, its value map, where watchers tell it its
    // member map, and the globals and built-ins of __call__ and __new__
    Seen checked;
    PyObject *map = nullptr;         // borrowed: the class holds it while `checked` holds
    PyObject *last_key = nullptr;    // held: the last value looked up
    PyObject *last_member = nullptr; // borrowed: the map holds it while `checked` holds
    PyObject *small[8] = {};         // borrowed likewise: the members of the values 0 to 7 looked up
};
EnumShortcut enum_shortcuts[8];
int enum_shortcut_count = 0;
int enum_shortcut_last = 0; // the entry used last, tried first
FunctionState meta_call;    // the metaclass's __call__ as the module started

// Whether cls(value) may be answered from the class's value map: its
// metaclass's __call__ and its __new__ are the ones it was created with,
// their code and defaults too.
bool check_enum_shortcut(EnumShortcut &e) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(e.cls);
    PyTypeObject *meta = Py_TYPE(e.cls);
    e.map = e.last_member = nullptr;
    for (PyObject *&m : e.small) m = nullptr;
    e.checked.begin();
    e.checked.add(type);
    e.checked.add(meta);
    PyObject *map = nullptr;
    if (type_lookup(meta, s_call.get()) == meta_call.fn && meta_call.same() &&
        type_lookup(type, s_new.get()) == e.new_fn.fn && e.new_fn.same())
        map = type_lookup(type, s_value2member_map.get());
    if (!map || !PyDict_CheckExact(map)) {
        e.checked.forget();
        return false;
    }
    e.checked.add(map);
    if (ORX_WATCHERS) { // (3.12 on, __call__ asks whether the class has members)
        PyObject *members = type_lookup(type, s_member_map.get());
        if (members && PyDict_CheckExact(members) && PyDict_GET_SIZE(members) > 0) e.checked.add(members);
        else e.checked.forget();
    }
    e.checked.add(PyFunction_GET_GLOBALS(meta_call.fn));
    if (PyFunction_GET_GLOBALS(e.new_fn.fn) != PyFunction_GET_GLOBALS(meta_call.fn)) e.checked.forget();
    e.checked.add(PyModule_GetDict(g.builtins));
    e.checked.add_function(meta_call.fn);
    e.checked.add_function(e.new_fn.fn);
    e.map = map;
    return e.checked.holds();
}

// The entry for `cls`, made usable; nullptr where cls(value) must be called.
// (__new__ is called with every argument given: its code decides; __call__
// takes `names` from its defaults, and its keyword defaults serve only the
// road that makes a new class, which its code does not take for a value)
[[gnu::always_inline]] inline bool usable(const EnumShortcut &e) {
    return e.checked.holds() &&
           (kFunctionChangesSeen || (meta_call.same_call() && same_code(e.new_fn)));
}

EnumShortcut *enum_shortcut(PyObject *cls) {
    EnumShortcut &last = enum_shortcuts[enum_shortcut_last];
    if (last.cls == cls && usable(last)) return &last;
    if (!meta_call.fn) return nullptr;
    for (int j = 0; j < enum_shortcut_count; ++j) {
        const int i = j == 0 ? enum_shortcut_last : j == enum_shortcut_last ? 0 : j;
        EnumShortcut &e = enum_shortcuts[i];
        if (e.cls != cls) continue;
        enum_shortcut_last = i;
        if (usable(e)) return &e;
        return check_enum_shortcut(e) ? &e : nullptr;
    }
    return nullptr;
}

} // namespace

bool getter_looked_up(const ValueProperty &v) {
    PyObject *now = PyDict_GetItemWithError(v.dict, v.fget_name);
    if (!now) PyErr_Clear();
    return now == v.getter.fn;
}

bool remember_enumeration(PyObject *cls) {
    if (!PyType_Check(cls)) return true;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    if (enum_shortcut_count == 0) {
        meta_call.take(type_lookup(Py_TYPE(cls), s_call.get()));
        PyObject *property = type_lookup(type, s_value.get());
        if (property) remember_value_property(property);
        else forget_value_property();
    }
    if (enum_shortcut_count < 8) {
        EnumShortcut &e = enum_shortcuts[enum_shortcut_count++];
        e = EnumShortcut();
        e.cls = cls;
        e.new_fn.take(type_lookup(type, s_new.get()));
    }
    return true;
}

void forget_enumerations() {
    for (int i = 0; i < enum_shortcut_count; ++i) {
        enum_shortcuts[i].new_fn.drop();
        Py_CLEAR(enum_shortcuts[i].last_key);
        enum_shortcuts[i] = EnumShortcut();
    }
    enum_shortcut_count = enum_shortcut_last = 0;
    meta_call.drop();
    for (ValueType &v : value_types) v = ValueType();
    for (KnownValue &k : known_values) k = KnownValue();
}

PyObject *enum_value(PyObject *obj) {
    if (value_is_member_attribute(Py_TYPE(obj))) {
        // obj._value_ as the generic attribute look-up finds it: in the
        // instance dictionary, the class having nothing of that name
        if (PyObject *dict = instance_dict(obj)) {
            PyObject *v = PyDict_GetItemWithError(dict, s_value_.get());
            if (v) return Py_NewRef(v);
            if (PyErr_Occurred()) return nullptr;
        }
        return PyObject_GetAttr(obj, s_value_.get()); // its AttributeError
    }
    return PyObject_GetAttr(obj, s_value.get());
}

void enum_value_remember(PyObject *obj, PyObject *value, int32_t narrowed) {
    PyTypeObject *type = Py_TYPE(obj);
    // checked once before the property's dictionary is watched, so that it is alive
    PyObject *dict = PyLong_CheckExact(value) && value_is_member_attribute(type) ? instance_dict(obj) : nullptr;
    if (!dict) return;
    Seen seen;
    seen.begin();
    seen.add(type);
    seen.add(Py_TYPE(value_property.property));
    seen.add(value_property.dict);
    seen.add(dict);
    seen.add_function(value_property.getter.fn);
    seen.add_function(value_property.get.fn);
    // only what enum_value() read from this very dictionary
    if (!value_is_member_attribute(type) || PyDict_GetItemWithError(dict, s_value_.get()) != value ||
        !seen.holds()) {
        PyErr_Clear();
        return;
    }
    known_value(obj) = {obj, type, dict, narrowed, seen};
}

PyObject *enum_call(PyObject *cls, PyObject *value) {
    EnumShortcut *e = PyLong_CheckExact(value) ? enum_shortcut(cls) : nullptr;
    if (e) {
        int32_t small = -1;
        if (e->last_member &&
            (e->last_key == value || PyLong_AsLong(e->last_key) == PyLong_AsLong(value)) && !PyErr_Occurred())
            return Py_NewRef(e->last_member);
        PyErr_Clear(); // values beyond a C long simply miss
        PyObject *member = PyDict_GetItemWithError(e->map, value);
        if (member) {
            Py_XSETREF(e->last_key, Py_NewRef(value));
            e->last_member = member;
            if (narrow_in_place(value, small) && small >= 0 && small < 8) e->small[small] = member;
            return Py_NewRef(member);
        }
        if (PyErr_Occurred()) return nullptr;
        // no such member: the class raises its own error
    }
    return PyObject_CallOneArg(cls, value);
}

const Seen *enum_call_records(PyObject *cls) {
    const EnumShortcut &last = enum_shortcuts[enum_shortcut_last];
    return last.cls == cls && usable(last) ? &last.checked : nullptr;
}

bool enum_call_code_same(PyObject *cls) {
    const EnumShortcut &last = enum_shortcuts[enum_shortcut_last];
    return last.cls == cls && (kFunctionChangesSeen || (meta_call.same_call() && same_code(last.new_fn)));
}

PyObject *enum_call_known(PyObject *cls, int32_t value) {
    if (value < 0 || value >= 8) return nullptr;
    EnumShortcut *e = enum_shortcut(cls);
    return e ? Py_XNewRef(e->small[value]) : nullptr;
}

} // namespace orx
