// function.hpp - the one road every module function takes.
//
// A function is declared as data (FunctionSpec: name, parameters with their
// conversion rule and annotation, return annotation, docstring) plus a small
// body. The machinery here binds the arguments by position or keyword with
// the module's messages, applies each parameter's binding-time rule, and
// offers the body `library()`: look up handle_error_code, narrow the
// arguments to the library's 32-bit values in parameter order, call the
// library once (optionally without the interpreter lock) and hand the status
// over. Every exception leaving a function gets its traceback entry here.
#pragma once

#include "module/core.hpp"
#include "module/enum_known.hpp"
#include "module/unlocked.hpp"

#include "ORXCamera2.h"

#include <utility>

namespace orx {

// Conversion rules, by the parameter's annotation.
enum class Rule : uint8_t {
    Int,    // "int": exact int kept, numbers through int(), narrowed to int32
    Bool,   // "bool": truth value, sent as 0 or 1
    Enum,   // an enumeration class: unchecked when bound, its .value narrowed
    Id,     // the Id record: an instance of Id (or a subclass), passed by value
    Str,    // "str": exactly str, sent as NUL-terminated UTF-8
};

struct Param {
    const char *name = nullptr;
    const char *annotation = nullptr;
    Rule rule = Rule::Int;
};

inline constexpr int kMaxParams = 5;

class Call;
using Body = PyObject *(*)(Call &);

// A function's road when every argument is given by position and each is
// taken in place: an exact int of one digit, True or False, an enumeration
// member (its number read when the library call is near). Generated per
// function (in_place<body, rules...>), the body inlined; any other call goes
// the whole road.
struct Road {
    vectorcallfunc call;
    Rule rules[kMaxParams];
    int count;
};

struct FunctionSpec {
    const char *name;
    const char *doc;     // nullptr: no docstring
    const char *returns; // return annotation
    Body body;
    Param params[kMaxParams];
    const Road *road = nullptr; // must agree with params (checked when the function is made)

    int count() const {
        int n = 0;
        while (n < kMaxParams && params[n].name) ++n;
        return n;
    }
};

// Whether the library call may give up the interpreter lock while it runs.
// Calls that can wait (frame fetches, open/init/close, flash writes) do.
enum class Gil { Hold, Release };

// Whether handing status 0 over is known to do nothing: the last time it
// went through the whole algorithm, handle_error_code was the original
// function and the table's entry for 0 the success class as created, and
// since then neither the module namespace nor the built-ins, the table or the
// success class changed (validity.hpp).
namespace detail {
extern Seen success_memo;
extern PyObject *original_success;
} // namespace detail
inline bool plain_success_known() {
    return detail::success_memo.holds() && Py_TYPE(detail::original_success) == &PyType_Type;
}

// An int (or an int subclass's instance) of one digit, at most 30 bits,
// read in place; false for a larger one.
inline bool small_int_value(PyObject *v, int32_t &out) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(v))) return false;
    out = static_cast<int32_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(v)));
#else
    const Py_ssize_t size = Py_SIZE(v);
    if (size < -1 || size > 1) return false;
    const int32_t digit = static_cast<int32_t>(reinterpret_cast<PyLongObject *>(v)->ob_digit[0]);
    out = size < 0 ? -digit : size == 0 ? 0 : digit;
#endif
    return true;
}

// An exact int of one digit read in place; false for any other object.
inline bool narrow_in_place(PyObject *v, int32_t &out) { return PyLong_CheckExact(v) && small_int_value(v, out); }

// One call of a module function: its bound and narrowed arguments.
class Call {
public:
    // The whole road: `n` is spec.count(), which the function object keeps;
    // references made for the arguments are kept in `owned` (n of them).
    Call(const FunctionSpec &spec, int n, Ref *owned) : spec_(spec), n_(n), owned_(owned) {}
    // The in-place road: take() instead of bind(); nothing is made.
    Call(const FunctionSpec &spec, int n) : spec_(spec), n_(n), owned_(nullptr), in_place_(true) {}

    // Takes positional arguments in place by their rules: false (nothing
    // set, nothing made) when one of them cannot be.
    template <Rule... rules> bool take(PyObject *const *args) {
        return take_each<rules...>(args, std::make_index_sequence<sizeof...(rules)>());
    }

    // Binding and the binding-time rules; false with an exception set.
    bool bind(PyObject *const *args, size_t nargsf, PyObject *kwnames);

    // The bound argument: the exact int for "int" parameters, the object as
    // given for the others (borrowed from the call).
    PyObject *arg(int i) const { return bound_[i]; }

    // Narrows every argument to its library value, in parameter order.
    bool narrow();

    // Looks up handle_error_code, narrows, calls `fn` once and hands its
    // status to the handler. False with an exception set on any failure.
    template <class Fn> bool library(Fn &&fn, Gil gil = Gil::Hold) {
        return road(
            [&](int32_t &status) {
                status = gil == Gil::Release ? without_lock(fn) : fn();
                return true;
            },
            gil == Gil::Release);
    }

    // The same for a library call that waits for up to the milliseconds
    // given by parameter `wait` (-1: without limit): `fn(ms)` is called
    // without the lock, in slices between which signal handlers run
    // (wait_in_slices). What a handler raises ends the call.
    template <class Fn> bool library_wait(int wait, Fn &&fn) {
        return road([&](int32_t &status) { return wait_in_slices(value_[wait], fn, status); }, true);
    }

    // Narrowed library values; valid after narrow(), also without the lock.
    int32_t i32(int i) const { return value_[i]; }
    const char *str(int i) const { return PyBytes_AS_STRING(owned_[i].get()); } // whole road only
    const IdRecord &id() const { return id_; }

private:
    template <Rule... rules, size_t... i> bool take_each(PyObject *const *args, std::index_sequence<i...>) {
        return (take_one<rules>(args[i], static_cast<int>(i)) && ...);
    }
    template <Rule rule> bool take_one(PyObject *obj, int i) {
        static_assert(rule == Rule::Int || rule == Rule::Bool || rule == Rule::Enum, "not taken in place");
        bound_[i] = obj;
        if constexpr (rule == Rule::Enum) enum_at_[enums_++] = static_cast<uint8_t>(i);
        if constexpr (rule == Rule::Int) return narrow_in_place(obj, value_[i]);
        if constexpr (rule == Rule::Bool) {
            value_[i] = obj == Py_True;
            return obj == Py_True || obj == Py_False;
        }
        return true;
    }

    // The enumeration arguments' numbers, where each is known without
    // reading `value` (enum_value_known): nothing runs, nothing is made.
    [[gnu::always_inline]] bool enums_known() {
        for (int k = 0; k < enums_; ++k)
            if (!enum_value_known(bound_[enum_at_[k]], value_[enum_at_[k]])) return false;
        return true;
    }

    // On the in-place road, when handing status 0 over is known to do
    // nothing and every argument's number is known, no Python code runs
    // between that check and the library call: status 0 ends the call
    // unchecked unless the lock was let go. Otherwise handle_error_code is
    // looked up (left out while the same check holds: it would find the
    // original handler), the arguments narrowed in full, and status 0 ends
    // the call only if the check still holds after it.
    template <class Run> [[gnu::always_inline]] bool road(Run &&run, bool lock_let_go) {
        if (in_place_ && plain_success_known() && enums_known()) {
            int32_t status;
            if (!run(status)) return false;
            if (status == 0 && (!lock_let_go || plain_success_known())) return true;
            return hand_to_original(status);
        }
        return road_slowly(run);
    }
    template <class Run> [[gnu::noinline]] bool road_slowly(Run &run) {
        int32_t status;
        Ref handler;
        const bool original = plain_success_known();
        if (!original) {
            handler = Ref::steal(handle_error_code_global().get());
            if (!handler) return false;
        }
        if (!narrow()) return false;
        if (!run(status)) return false;
        if (original && status == 0 && plain_success_known()) return true; // nothing changed meanwhile
        return original ? hand_to_original(status) : hand_status(handler.get(), status);
    }

    bool gather_keywords(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **given);
    bool bind_slowly(int i, PyObject *obj);
    bool narrow_slowly(int i);
    static Global &handle_error_code_global();
    static bool hand_status(PyObject *handler, int32_t status);
    static bool hand_to_original(int32_t status);

    const FunctionSpec &spec_;
    const int n_; // the number of parameters
    // The bound arguments: borrowed from the call (the caller keeps them
    // alive until it returns), or an object made here and held in owned_.
    // Each is written (by bind(), narrow()) before it is read.
    PyObject *bound_[kMaxParams];
    int32_t value_[kMaxParams];
    // Objects made for a parameter on the whole road: the int of the
    // integer rule's conversion, the UTF-8 bytes of a str.
    Ref *const owned_;
    const bool in_place_ = false;
    int enums_ = 0;                // the enumeration arguments taken in place:
    uint8_t enum_at_[kMaxParams]; // their positions
    IdRecord id_;
};

// The function object (its layout is shared with the roads below).
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    int nparams;           // spec->count()
    PyObject *name;        // __name__ and __qualname__
    PyObject *doc;         // __doc__
    PyObject *annotations; // __annotations__
    PyObject *dict;        // __dict__
};

// The whole road of every function: any arguments, every binding message.
PyObject *whole_road(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames);

template <Body body, Rule... rules>
PyObject *in_place_road(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    constexpr int n = sizeof...(rules);
    if (kwnames || PyVectorcall_NARGS(nargsf) != n) return whole_road(self, args, nargsf, kwnames);
    const FunctionSpec &spec = *reinterpret_cast<FunctionObject *>(self)->spec;
    PyObject *result;
    {
        Call call(spec, n);
        if (!call.template take<rules...>(args)) return whole_road(self, args, nargsf, kwnames);
        result = body(call);
    }
    if (!result) add_traceback(spec.name);
    return result;
}

template <Body body, Rule... rules>
inline constexpr Road in_place = {in_place_road<body, rules...>, {rules...}, sizeof...(rules)};

// A new function object for `spec`.
PyObject *make_function(const FunctionSpec &spec);
bool ready_function_type();

// The status handler's own algorithm for a plain integer code (the body of
// handle_error_code); camera functions call it directly while the module's
// handle_error_code is the original function object.
PyObject *handle_status(PyObject *code);
bool is_original_handler(PyObject *obj);
// handle_error_code as a call would find it (new reference, or nullptr with NameError).
PyObject *lookup_handle_error_code();


// Results
inline PyObject *none() { Py_RETURN_NONE; }
inline PyObject *ok_or_null(bool ok) { return ok ? none() : nullptr; }

} // namespace orx
