// enum_known.hpp - an enumeration argument's number known without reading
// its `value` again (enum_road.cpp remembers it; the call road asks here).
//
// obj.value runs the `value` property's __get__, which calls the getter kept
// as the property's `fget`, which returns obj._value_ from the member's own
// dictionary. A number remembered after such a read stays exact while the
// member, its type, its dictionary, the property, its dictionary and type, and
// the functions' code are what they were. Watchers (or version tags) tell of
// changes inside those; what they cannot tell is compared on every call: a
// replaced `__dict__` of the member or the property, where stores of
// attributes kept inline reach nobody (3.13) the getter itself, and where no
// function watcher exists the code of the getter and of __get__.
#pragma once

#include "module/validity.hpp"

namespace orx {

// A Python function a shortcut stands in for, as it was when remembered: a
// replaced __code__, __defaults__ or __kwdefaults__ changes what a call of it
// does while the function object stays the one a look-up finds. Each is
// held, so that nothing new takes its address.
struct FunctionState {
    PyObject *fn = nullptr, *code = nullptr, *defaults = nullptr, *kwdefaults = nullptr;

    // false for anything but a Python function
    bool take(PyObject *f) {
        drop();
        if (!f || !PyFunction_Check(f)) return false;
        fn = Py_NewRef(f);
        code = Py_NewRef(PyFunction_GET_CODE(f));
        defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(f));
        kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(f));
        return true;
    }
    void drop() {
        Py_CLEAR(fn);
        Py_CLEAR(code);
        Py_CLEAR(defaults);
        Py_CLEAR(kwdefaults);
    }
    bool same_call() const {
        return PyFunction_GET_CODE(fn) == code && PyFunction_GET_DEFAULTS(fn) == defaults;
    }
    bool same() const {
        return fn && PyFunction_GET_CODE(fn) == code && PyFunction_GET_DEFAULTS(fn) == defaults &&
               PyFunction_GET_KW_DEFAULTS(fn) == kwdefaults;
    }
};

// Its code alone, for a function the shortcut calls with every argument given.
[[gnu::always_inline]] inline bool same_code(const FunctionState &f) { return f.fn && PyFunction_GET_CODE(f.fn) == f.code; }

// The `value` property as it was when the module started: its type (with
// the __get__ that calls the getter) unchanged, its own attributes (the
// getter among them) unchanged, the code of the getter and of __get__ the same.
struct ValueProperty {
    PyObject *property = nullptr;                // held
    PyObject *dict = nullptr;                    // compared: the property's dictionary then
    FunctionState getter, get;                   // held: fget, and type(property).__get__
    Py_ssize_t getter_at = -1;                   // the getter's position in the dictionary then
    PyObject *fget_name = nullptr;               // the interned "fget"
    Seen seen;                                   // the property's type and dictionary
};
inline ValueProperty value_property;

// Members whose `_value_` was last read as an exact int fitting 32 bits:
// while the member's type is the one checked then and unchanged, the `value`
// property unchanged, and the member's dictionary the same one, unchanged,
// reading and narrowing `value` gives the same number again.
struct KnownValue {
    PyObject *member = nullptr; // compared, never used
    PyTypeObject *type = nullptr; // compared
    PyObject *dict = nullptr;   // compared
    int32_t value = 0;
    Seen seen; // the member's type, the property's type and dictionary, the member's dictionary
};
inline KnownValue known_values[16];

// A member's place among them, by its address (one member per place).
inline KnownValue &known_value(PyObject *member) { return known_values[(reinterpret_cast<uintptr_t>(member) >> 4) % 16]; }

bool getter_looked_up(const ValueProperty &v);

// The getter the property's dictionary holds now: read at its position (the
// entry there is the getter's while its key is), else looked up.
[[gnu::always_inline]] inline bool getter_unchanged(const ValueProperty &v) {
    if (kAttributeStoresSeen) return true; // a change would have been seen
    Py_ssize_t pos = v.getter_at;
    PyObject *key, *now;
    if (pos >= 0 && PyDict_Next(v.dict, &pos, &key, &now) && key == v.fget_name) return now == v.getter.fn;
    return getter_looked_up(v);
}

// What the watchers cannot tell: the property's dictionary replaced, its
// getter stored anew where stores are not seen, code replaced.
[[gnu::always_inline]] inline bool property_dict_same(const ValueProperty &v) { return instance_dict_is(v.property, v.dict); }
[[gnu::always_inline]] inline bool getter_same(const ValueProperty &v) {
    return getter_unchanged(v) && (kFunctionChangesSeen || (same_code(v.getter) && same_code(v.get)));
}

// The enumeration rule's number for `obj` when it is known without reading
// `value` again (enum_value_remember() put it).
[[gnu::always_inline]] inline bool enum_value_known(PyObject *obj, int32_t &out) {
    const KnownValue &k = known_value(obj);
    const ValueProperty &v = value_property;
#if ORX_WATCHERS
    // the watchers' counters outlive what they count: read first
    if (k.member != obj || Py_TYPE(obj) != k.type || !k.seen.holds() || !instance_dict_is(obj, k.dict) ||
        !property_dict_same(v) || !getter_same(v))
        return false;
#else
    // the dictionaries compared first: the version tags are read from them
    if (k.member != obj || Py_TYPE(obj) != k.type || !property_dict_same(v) || !instance_dict_is(obj, k.dict) ||
        !k.seen.holds() || !getter_same(v))
        return false;
#endif
    out = k.value;
    return true;
}

} // namespace orx
