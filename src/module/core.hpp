// core.hpp - what every part of the orx module stands on: owning references,
// the process-wide module state, by-name globals and traceback entries.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

#include "module/validity.hpp"

namespace orx {

// The name every class and function of the module carries as __module__ and
// every traceback entry carries as prefix, whatever name it was imported as.
inline constexpr const char kModuleName[] = "quenlix.yux_orx_python_bindings.orx";

// An owning (strong) reference. Every early return releases what it holds.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject *p) { return Ref(p); }
    static Ref borrow(PyObject *p) { Py_XINCREF(p); return Ref(p); }
    Ref(const Ref &o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const { return p_; }
    PyObject *release() { PyObject *p = p_; p_ = nullptr; return p; }
    // a new strong reference for the caller, this one kept
    PyObject *newref() const { Py_XINCREF(p_); return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset(PyObject *stolen = nullptr) { PyObject *old = p_; p_ = stolen; Py_XDECREF(old); }

private:
    explicit Ref(PyObject *p) : p_(p) {}
    PyObject *p_ = nullptr;
};

// The record types, readied at start-up. Camera functions create their result
// records through these references, never by looking the names up.
struct RecordTypes {
    PyTypeObject *ControlCaps = nullptr;
    PyTypeObject *Id = nullptr;
    PyTypeObject *SupportedMode = nullptr;
    PyTypeObject *GpsData = nullptr;
    PyTypeObject *CameraInfo = nullptr;
};

// Process-wide state: one module per process, bound to the first interpreter.
struct State {
    int64_t interpreter_id = -1;
    PyObject *module = nullptr;   // strong, set by exec, dropped on failure
    PyObject *dict = nullptr;     // borrowed from module
    PyObject *builtins = nullptr; // strong
    RecordTypes types;
};
extern State g;

// The module global `key` (a str): the namespace, then the built-ins, else
// NameError. New reference.
PyObject *lookup_global(PyObject *key);

// A module global looked up by name at every use: the module namespace, then
// the built-ins, else NameError "name '...' is not defined". Instances are
// static; their interned names are made when the module executes.
class Global {
public:
    explicit Global(const char *name);
    // New reference, or nullptr with NameError (or another error) set.
    PyObject *get() {
        if (cached_ && seen_.holds()) return Py_NewRef(cached_);
        return look_up();
    }
    // Whether get() answers from what it remembered (and would again).
    bool known() const { return cached_ && seen_.holds(); }
    const Seen &seen() const { return seen_; }
    const char *name() const { return name_; }
    PyObject *key() const { return key_; }
    static bool intern_all();

private:
    PyObject *look_up();
    const char *name_;
    PyObject *key_ = nullptr;
    // cache: valid while the namespace and the built-ins are unchanged
    PyObject *cached_ = nullptr; // borrowed; kept alive by the dict holding it
    Seen seen_;
    Global *next_;
    static Global *first_;
};

// An interned text constant made when the module executes.
class Name {
public:
    explicit Name(const char *text);
    PyObject *get() const { return obj_; }
    static bool intern_all();

private:
    const char *text_;
    PyObject *obj_ = nullptr;
    Name *next_;
    static Name *first_;
};

// PyType_Ready for a type object of the module's own. A readying that fails
// (memory) is undone as far as it got, so that the next start-up readies the
// type afresh rather than completing a half-filled dictionary.
bool ready_static_type(PyTypeObject &type);

// Adds a traceback entry named "<module>.<what>" to the pending exception.
void add_traceback(const char *what);
// Adds a traceback entry with exactly this name.
void add_traceback_entry(const char *name);

// Builds class `name` with the single base `base` as a class statement does:
// the metaclass derived from the base, the namespace from its __prepare__,
// __module__ and __qualname__, then `body` fills the namespace, then the
// metaclass is called with name, bases and namespace. New reference.
using ClassBody = bool (*)(PyObject *ns, const void *context);
PyObject *make_class(const char *name, PyObject *base, ClassBody body, const void *context);

// Raises `obj` as the statement `raise obj` does.
void raise_object(PyObject *obj);

// Makes `exc` the exception being handled while it lives (as an except
// clause does), so that exceptions raised meanwhile get it as __context__.
class HandlingScope {
public:
    explicit HandlingScope(PyObject *exc);
    ~HandlingScope();
    HandlingScope(const HandlingScope &) = delete;
    HandlingScope &operator=(const HandlingScope &) = delete;

private:
    PyObject *type_, *value_, *tb_;
};

// Takes the pending exception out (normalised) and can put it back; what is
// not put back is released.
class PendingError {
public:
    PendingError();
    ~PendingError();
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;
    PyObject *value() const { return value_; } // the exception instance, borrowed
    void restore();                            // make it pending again

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr, *tb_ = nullptr;
#endif
    PyObject *value_ = nullptr;
};

// Exact shortcuts around the standard enumeration machinery, taken only while
// the machinery is the one the module was built with; otherwise the ordinary
// calls are made.
//   enum_value(obj):       obj.value            (new reference)
//   enum_call(cls, value): cls(value)           (new reference)
// remember_enumeration() records a class made at start-up.
PyObject *enum_value(PyObject *obj);
PyObject *enum_call(PyObject *cls, PyObject *value);
// cls(value) for a value from 0 to 7 when the answer is known without
// making the number: the member found for it before, while nothing the
// shortcut relies on changed (new reference); else nullptr, no error set.
PyObject *enum_call_known(PyObject *cls, int32_t value);
// Remembers the enumeration rule's number for `obj` after a read of `value`
// that gave an exact int (enum_value_known() in enum_known.hpp answers it).
void enum_value_remember(PyObject *obj, PyObject *value, int32_t narrowed);
// For results remembered on the strength of enum_call_known(cls, v) where
// version tags keep them: the record its answers are read from while it holds
// (nullptr unless the entry of `cls` was used last and is usable), and
// whether the code it stands in for is unchanged (what no tag tells).
const Seen *enum_call_records(PyObject *cls);
bool enum_call_code_same(PyObject *cls);
bool remember_enumeration(PyObject *cls);
// Drops what was remembered (a start-up that failed may have made classes).
void forget_enumerations();

// Name of an object's type, as messages show it.
inline const char *type_name(PyObject *o) { return Py_TYPE(o)->tp_name; }

} // namespace orx
