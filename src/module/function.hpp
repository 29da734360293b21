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
#include "module/unlocked.hpp"

#include "ORXCamera2.h"

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

struct FunctionSpec {
    const char *name;
    const char *doc;     // nullptr: no docstring
    const char *returns; // return annotation
    Body body;
    Param params[kMaxParams];

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
// success class changed (dictionary and type version tags). Always false
// where the interpreter has no dictionary version tags.
bool plain_success_known();

// One call of a module function: its bound and narrowed arguments.
class Call {
public:
    // `n`: spec.count(), which the function object keeps
    Call(const FunctionSpec &spec, int n) : spec_(spec), n_(n) {}

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
        return road([&](int32_t &status) {
            status = gil == Gil::Release ? without_lock(fn) : fn();
            return true;
        });
    }

    // The same for a library call that waits for up to the milliseconds
    // given by parameter `wait` (-1: without limit): `fn(ms)` is called
    // without the lock, in slices between which signal handlers run
    // (wait_in_slices). What a handler raises ends the call.
    template <class Fn> bool library_wait(int wait, Fn &&fn) {
        return road([&](int32_t &status) { return wait_in_slices(value_[wait], fn, status); });
    }

    // Narrowed library values; valid after narrow(), also without the lock.
    int32_t i32(int i) const { return value_[i]; }
    const char *str(int i) const { return PyBytes_AS_STRING(owned_[i].get()); }
    const IdRecord &id() const { return id_; }

private:
    // While nothing changed since status 0 last went to the original handler
    // without effect (plain_success_known), the look-up would find that
    // handler again and is left out.
    template <class Run> bool road(Run &&run) {
        Ref handler;
        const bool original = plain_success_known();
        if (!original) {
            handler = Ref::steal(handle_error_code_global().get());
            if (!handler) return false;
        }
        if (!narrow()) return false;
        int32_t status;
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
    // Objects made for a parameter: the int of the integer rule's
    // conversion, the UTF-8 bytes of a str.
    Ref owned_[kMaxParams];
    IdRecord id_;
};

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
