// validity.hpp - whether what the call road remembered still holds.
//
// The call road remembers what it found (a global's value, that handing over
// status 0 does nothing, that the enumeration machinery is the standard one)
// and reuses it while the dictionaries and types it was read from are
// unchanged. How a change is noticed depends on the interpreter, and every
// part of that lives in this header and validity.cpp:
//   - from 3.12 on, one dictionary watcher and one type watcher of the
//     module's own count the changes of every dictionary and type the module
//     watches, each in a counter of its own; what was remembered holds while
//     the counters of what it was read from stand where they stood;
//   - on 3.10 and 3.11, which have no watchers, the version tags that the
//     dictionaries and types carry play the counters' part.
// Where neither is available (a free-threaded interpreter, or no free watcher
// left) nothing is remembered and every call takes the full road.
#pragma once

#include <utility>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030C0000
#define ORX_WATCHERS 1
#else
#define ORX_WATCHERS 0
#endif

namespace orx {

// Takes the watchers (3.12 on) when the module starts; without a free one the
// module runs without shortcuts. Never fails.
void start_watching();
// Gives them back: a start-up that failed undoes what it took.
void stop_watching();

// The attribute `name` (a str) as the type's MRO holds it, no descriptor
// applied: borrowed (the type holds it), or nullptr, never with an error set.
PyObject *type_lookup(PyTypeObject *type, PyObject *name);

// The object's own attribute dictionary: borrowed (the object holds it), or
// nullptr, never with an error set.
inline PyObject *instance_dict(PyObject *obj) {
#if ORX_WATCHERS || defined(Py_GIL_DISABLED)
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(dict); // the object keeps it
    return dict;
#else
    PyObject **slot = _PyObject_GetDictPtr(obj);
    return slot ? *slot : nullptr;
#endif
}

// Whether `dict` (not null) is the object's own attribute dictionary now.
[[gnu::always_inline]] inline bool instance_dict_is(PyObject *obj, PyObject *dict) { return instance_dict(obj) == dict; }

// Whether a store into an object's attribute reaches the watchers of its
// dictionary. From 3.13 on, an object that keeps its attributes inline shares
// them with the dictionary made for it, and such stores notify nobody: its
// attributes are read again where they matter.
inline constexpr bool kAttributeStoresSeen = PY_VERSION_HEX < 0x030D0000;

// Whether a record that holds tells of a changed function (Seen::add_function).
#if ORX_WATCHERS && !defined(Py_GIL_DISABLED)
inline constexpr bool kFunctionChangesSeen = true;
#else
inline constexpr bool kFunctionChangesSeen = false;
#endif

// What one remembered result was read from. begin() starts a record, add()
// names each dictionary or type before it is read; holds() tells whether none
// of them changed since. A record whose dependencies could not all be
// watched never holds. A record takes up to two types and three
// dictionaries, eight in all where watchers count them; every slot is
// compared, an unused one against a counter that never moves.
//
// On 3.10 and 3.11 a dictionary must be kept alive by something checked
// before it: holds() checks the types first, then the dictionaries in the
// order they were added.
#if !ORX_WATCHERS && !defined(Py_GIL_DISABLED)
inline constexpr uint64_t kStillDict = 0;
inline constexpr unsigned int kStillType = 0;

// Version tags read at one moment: up to T types' and D dictionaries', each
// read once. same() compares every slot, the types first, then the
// dictionaries in the order put; an unused slot against a tag that never moves.
template <int T, int D> struct Tags {
    static constexpr int kTypes = T, kDicts = D;
    int types = 0, dicts = 0;
    const unsigned int *type_tag[T];
    unsigned int type_seen[T];
    const uint64_t *dict_tag[D];
    uint64_t dict_seen[D];

    Tags() { clear(); }
    void clear() {
        types = dicts = 0;
        for (int i = 0; i < T; ++i) type_tag[i] = &kStillType, type_seen[i] = 0;
        for (int i = 0; i < D; ++i) dict_tag[i] = &kStillDict, dict_seen[i] = 0;
    }
    // false when there is no room left
    bool put(const unsigned int *tag, unsigned int seen) { return put(type_tag, type_seen, types, tag, seen); }
    bool put(const uint64_t *tag, uint64_t seen) { return put(dict_tag, dict_seen, dicts, tag, seen); }
    // every tag of `other` not here yet; false when there is no room left
    template <int T2, int D2> bool join(const Tags<T2, D2> &other) {
        for (int i = 0; i < other.types; ++i)
            if (!put(other.type_tag[i], other.type_seen[i])) return false;
        for (int i = 0; i < other.dicts; ++i)
            if (!put(other.dict_tag[i], other.dict_seen[i])) return false;
        return true;
    }
    [[gnu::always_inline]] bool same() const { return same(std::make_index_sequence<T>{}, std::make_index_sequence<D>{}); }

private:
    // one comparison per slot, written out: on the call road
    template <size_t... I, size_t... J>
    [[gnu::always_inline]] bool same(std::index_sequence<I...>, std::index_sequence<J...>) const {
        return ((*type_tag[I] == type_seen[I]) && ...) && ((*dict_tag[J] == dict_seen[J]) && ...);
    }
    template <class V, int K> static bool put(const V *(&tag)[K], V (&seen)[K], int &n, const V *t, V v) {
        for (int i = 0; i < n; ++i)
            if (tag[i] == t) return true;
        if (n == K) return false;
        tag[n] = t;
        seen[n++] = v;
        return true;
    }
};
#endif

class Seen {
public:
    Seen() { begin(); forget(); }
    void begin();
    void add(PyObject *dict);
    void add(PyTypeObject *type);
    // A Python function: where watchers tell it, a change of its __code__,
    // __defaults__ or __kwdefaults__ (kFunctionChangesSeen); elsewhere
    // nothing, and the caller compares those.
    void add_function(PyObject *fn);
    void forget() { set_ = false; }
    bool holds() const;

private:
    bool set_ = false;
#if defined(Py_GIL_DISABLED)
#elif ORX_WATCHERS
    static constexpr int kMax = 8;
    int count_ = 0;
    const uint64_t *counter_[kMax]; // the watchers' counters (never freed)
    uint64_t seen_[kMax];
    // all the watchers' events when the counters were last found standing
    mutable uint64_t events_ = 0;
    bool counters_stand() const;
#else
    friend class Joined;
    Tags<2, 3> tags_; // in the type objects and the dictionaries
#endif
};

#if defined(Py_GIL_DISABLED)

inline void Seen::begin() {}
inline void Seen::add(PyObject *) {}
inline void Seen::add(PyTypeObject *) {}
inline void Seen::add_function(PyObject *) {}
inline bool Seen::holds() const { return false; }

#elif ORX_WATCHERS

inline constexpr uint64_t kStill = 0;

// All the events of the module's watchers, on whatever they watch: while it
// stands, every counter does.
extern uint64_t watch_events;

inline void Seen::begin() {
    set_ = true;
    count_ = 0;
    events_ = watch_events;
    for (int i = 0; i < kMax; ++i) {
        counter_[i] = &kStill;
        seen_[i] = 0;
    }
}

inline bool Seen::counters_stand() const {
    for (int i = 0; i < kMax; ++i)
        if (*counter_[i] != seen_[i]) return false;
    events_ = watch_events;
    return true;
}

inline bool Seen::holds() const { return set_ && (events_ == watch_events || counters_stand()); }

#else

inline void Seen::add_function(PyObject *) {}

// Counts the records begun: while it stands, no record was taken again (each
// one that holds still answers from what it read when it began).
inline uint64_t records_begun = 0;

inline void Seen::begin() {
    ++records_begun;
    set_ = true;
    tags_.clear();
}

inline void Seen::add(PyObject *dict) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    const uint64_t *tag = &reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    if (!tags_.put(tag, *tag)) set_ = false;
}

// A type's version tag is non-zero and changes (to 0, later to a fresh value
// never used before) whenever the type or one of its bases is modified; a
// dictionary's changes on every change of the dictionary.
inline bool Seen::holds() const { return set_ && tags_.same(); }

// Records joined at one moment when each of them held: holds() while none of
// what any of them read changed, each type and dictionary compared once (the
// types first, then the dictionaries in the order joined, as Seen does).
class Joined {
public:
    void begin() {
        set_ = true;
        tags_.clear();
    }
    void join(const Seen &s) { set_ = set_ && s.set_ && tags_.join(s.tags_); }
    bool holds() const { return set_ && tags_.same(); }

private:
    bool set_ = false;
    Tags<2, 4> tags_;
};

#endif

// Results of a call's last steps (a global looked up, a class called, the
// member converted) remembered by a small number. put() takes only what was
// answered from records that held (the caller knows) and while no record was
// taken again since `stamp`. Where watchers count every change of what those
// steps read, a result holds while no watched dictionary, type or function
// changed at all since it was put (one comparison); with version tags, while
// no record was taken again and the records it was answered from still hold
// (`still`, asked only there). Free-threaded, nothing is kept.
template <int N> class KnownResults {
public:
    static uint64_t stamp() {
#if defined(Py_GIL_DISABLED)
        return 0;
#elif ORX_WATCHERS
        return watch_events;
#else
        return records_begun;
#endif
    }
    // New reference, or nullptr.
    template <class Still> PyObject *get(int32_t i, Still &&still) const {
#if defined(Py_GIL_DISABLED)
        (void)i, (void)still;
#else
        if (at_ == stamp() && i >= 0 && i < N && results_[i] && Py_TYPE(bases_[i]) == base_types_[i] &&
            (ORX_WATCHERS || still()))
            return Py_NewRef(results_[i]);
#if ORX_WATCHERS
        (void)still;
#endif
#endif
        return nullptr;
    }
    // `base`: the object the result was made from, whose type is compared
    // (an assignment to its __class__ reaches no watcher and no tag).
    void put(int32_t i, PyObject *result, uint64_t since, PyObject *base) {
#if defined(Py_GIL_DISABLED)
        (void)i, (void)result, (void)since, (void)base;
#else
        if (since != stamp() || i < 0 || i >= N) return;
        if (at_ != since) {
            for (int k = 0; k < N; ++k) {
                Py_CLEAR(results_[k]);
                Py_CLEAR(bases_[k]);
            }
            at_ = since;
        }
        Py_XSETREF(results_[i], Py_NewRef(result));
        Py_XSETREF(bases_[i], Py_NewRef(base));
        base_types_[i] = Py_TYPE(base);
#endif
    }

private:
    uint64_t at_ = ~uint64_t{0};
    // held, never released (the module's life is the process's)
    PyObject *results_[N] = {}, *bases_[N] = {};
    PyTypeObject *base_types_[N] = {}; // compared
};

} // namespace orx
