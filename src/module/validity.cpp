// validity.cpp - noticing changes to what the call road remembered.
#include "module/validity.hpp"

#include "module/core.hpp"

namespace orx {

namespace {

Name s_new("__new__");

} // namespace

#if defined(Py_GIL_DISABLED)

void start_watching() {}
void stop_watching() {}

#elif ORX_WATCHERS

uint64_t watch_events = 0;

namespace {

int dict_watcher = -1, type_watcher = -1, function_watcher = -1;

// The change counters, one per watched object, found by its address: a
// fixed open-addressed table, never shrunk and never freed, so a record may
// keep a counter's address. A counter only grows: an object that goes away
// leaves its counter raised, and one born at the same address shares it.
// A full table only means that further objects are not watched.
struct Counter {
    const void *object = nullptr;
    uint64_t changes = 0;
};
constexpr size_t kCounters = 1024;
Counter counters[kCounters];

Counter *counter_of(const void *object, bool insert) {
    size_t i = (reinterpret_cast<uintptr_t>(object) >> 4) % kCounters;
    for (size_t probes = 0; probes < kCounters; ++probes, i = (i + 1) % kCounters) {
        if (counters[i].object == object) return &counters[i];
        if (!counters[i].object) {
            if (!insert) return nullptr;
            counters[i].object = object;
            return &counters[i];
        }
    }
    return nullptr;
}

void changed(const void *object) {
    ++watch_events;
    if (Counter *c = counter_of(object, false)) ++c->changes;
}

// Every function's creation, change and end reaches this watcher; only the
// changes of a function something was read from count.
int function_changed(PyFunction_WatchEvent event, PyFunctionObject *fn, PyObject *) {
    if (event != PyFunction_EVENT_MODIFY_CODE && event != PyFunction_EVENT_MODIFY_DEFAULTS &&
        event != PyFunction_EVENT_MODIFY_KWDEFAULTS)
        return 0;
    if (Counter *c = counter_of(fn, false)) {
        ++c->changes;
        ++watch_events;
    }
    return 0;
}

// Called before a watched dictionary changes or goes away, and when a watched
// type (or one of its bases) is modified.
int dict_changed(PyDict_WatchEvent, PyObject *dict, PyObject *, PyObject *) {
    changed(dict);
    return 0;
}

int type_changed(PyTypeObject *type) {
    changed(type);
    return 0;
}

// A type notifies its watchers only while it has a version tag (the first
// modification takes the tag away; the next look-up gives it a fresh one).
// True once it has one.
bool give_version_tag(PyTypeObject *type) {
    if (type->tp_version_tag != 0) return true;
#if PY_VERSION_HEX >= 0x030D0000
    return PyUnstable_Type_AssignVersionTag(type) != 0;
#else
    // any attribute look-up through the type gives it one
    Ref found = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject *>(type), s_new.get()));
    PyErr_Clear();
    return type->tp_version_tag != 0;
#endif
}

} // namespace

void start_watching() {
    stop_watching();
    dict_watcher = PyDict_AddWatcher(dict_changed);
    type_watcher = dict_watcher < 0 ? -1 : PyType_AddWatcher(type_changed);
    function_watcher = type_watcher < 0 ? -1 : PyFunction_AddWatcher(function_changed);
    if (function_watcher < 0) {
        PyErr_Clear(); // none free: the module runs without shortcuts
        stop_watching();
    }
}

void stop_watching() {
    PendingError pending;
    if (dict_watcher >= 0) PyDict_ClearWatcher(dict_watcher);
    if (type_watcher >= 0) PyType_ClearWatcher(type_watcher);
    if (function_watcher >= 0) PyFunction_ClearWatcher(function_watcher);
    dict_watcher = type_watcher = function_watcher = -1;
    PyErr_Clear();
    pending.restore();
    // nothing remembered so far holds any more
    for (Counter &c : counters) ++c.changes;
    ++watch_events;
}

void Seen::add(PyObject *dict) {
    if (count_ == kMax || dict_watcher < 0) set_ = false;
    if (!set_) return;
    Counter *c = counter_of(dict, true);
    if (!c || PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
        set_ = false;
        return;
    }
    counter_[count_] = &c->changes;
    seen_[count_++] = c->changes;
}

void Seen::add(PyTypeObject *type) {
    if (count_ == kMax || type_watcher < 0) set_ = false;
    if (!set_) return;
    Counter *c = counter_of(type, true);
    if (!c || PyType_Watch(type_watcher, reinterpret_cast<PyObject *>(type)) < 0) {
        PyErr_Clear();
        set_ = false;
        return;
    }
    counter_[count_] = &c->changes;
    seen_[count_++] = c->changes;
    // after the counter is read: giving the tag may run a look-up
    if (!give_version_tag(type)) set_ = false;
}

void Seen::add_function(PyObject *fn) {
    if (count_ == kMax || function_watcher < 0 || !PyFunction_Check(fn)) set_ = false;
    if (!set_) return;
    Counter *c = counter_of(fn, true);
    if (!c) {
        set_ = false;
        return;
    }
    counter_[count_] = &c->changes;
    seen_[count_++] = c->changes;
}

#else // version tags

void start_watching() {}
void stop_watching() {}

void Seen::add(PyTypeObject *type) {
    if (!set_) return;
    // a type gets its version tag on an attribute look-up (of any name)
    if (type->tp_version_tag == 0) (void)_PyType_Lookup(type, s_new.get());
    if (type->tp_version_tag == 0 || !tags_.put(&type->tp_version_tag, type->tp_version_tag)) set_ = false;
}

#endif

#if ORX_WATCHERS || defined(Py_GIL_DISABLED)

PyObject *type_lookup(PyTypeObject *type, PyObject *name) {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro.get()); i < n; ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) continue;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(base)));
        PyObject *found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear(); // a key whose comparison failed: as the interpreter's own look-up
            return nullptr;
        }
    }
    return nullptr;
}

#else

PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

#endif

} // namespace orx
