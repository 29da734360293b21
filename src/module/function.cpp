// function.cpp - argument binding, conversion rules, the function type.
#include "module/function.hpp"

#include "records/records.hpp"

#include <climits>
#include <cstring>

namespace orx {

namespace {

Global g_handle_error_code("handle_error_code");

PyObject *original_handler = nullptr; // the handle_error_code function object

// ---- binding ------------------------------------------------------------------

bool wrong_count(const FunctionSpec &spec, Py_ssize_t given) {
    Py_ssize_t n = spec.count();
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, "exactly", n, n == 1 ? "" : "s", given);
    return false;
}

bool same_name(PyObject *key, const char *name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// ---- binding-time rules -------------------------------------------------------

bool bind_int(const Param &p, PyObject *obj, PyObject *&out, Ref &owned) {
    if (PyLong_CheckExact(obj)) {
        out = obj;
        return true;
    }
    if (PyNumber_Check(obj)) {
        owned = Ref::steal(PyNumber_Long(obj));
        out = owned.get();
        return static_cast<bool>(owned);
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 p.name, "int", type_name(obj));
    return false;
}

bool bind_bool(PyObject *obj, int32_t &out) {
    if (obj == Py_True) {
        out = 1;
    } else if (obj == Py_False || obj == Py_None) {
        out = 0;
    } else {
        int t = PyObject_IsTrue(obj);
        if (t < 0) return false;
        out = t;
    }
    return true;
}

bool bind_id(const Param &p, PyObject *obj) {
    PyTypeObject *type = g.types.Id;
    if (PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s",
                 p.name, type->tp_name, type_name(obj), "", "");
    return false;
}

bool bind_str(const Param &p, PyObject *obj) {
    if (PyUnicode_CheckExact(obj)) return true;
    bool subclass = PyUnicode_Check(obj);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s",
                 p.name, "str", type_name(obj), subclass ? ". " : "",
                 subclass ? "Subclasses of built-in types are not accepted; pass a plain str." : "");
    return false;
}

// ---- narrowing ----------------------------------------------------------------

bool int_overflow() {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
}

// An int object to int32.
bool narrow_long(PyObject *v, int32_t &out) {
    if (narrow_in_place(v, out)) return true;
    int overflow = 0;
    long x = PyLong_AsLongAndOverflow(v, &overflow);
    if (overflow) return int_overflow();
    if (x == -1 && PyErr_Occurred()) return false;
    if (x < INT32_MIN || x > INT32_MAX) return int_overflow();
    out = static_cast<int32_t>(x);
    return true;
}

// Any object to int32 through its integer conversion (__int__); the
// enumeration rule uses this for the .value it reads.
bool narrow_object(PyObject *v, int32_t &out) {
    if (PyLong_Check(v)) return narrow_long(v, out);
    PyNumberMethods *nb = Py_TYPE(v)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref r = Ref::steal(nb->nb_int(v));
    if (!r) return false;
    if (!PyLong_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name(r.get()));
        return false;
    }
    return narrow_long(r.get(), out);
}

} // namespace

Global &Call::handle_error_code_global() { return g_handle_error_code; }
PyObject *lookup_handle_error_code() { return g_handle_error_code.get(); }

// The arguments given by keyword (and the positional ones before them) in
// parameter order, with the messages for missing, unknown and repeated ones.
bool Call::gather_keywords(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **given) {
    const Py_ssize_t n = n_;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (nargs > n) return wrong_count(spec_, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    PyObject *const *kwvalues = args + nargs;
    Py_ssize_t unused = nkw;
    // the parameters not given by position, each by its keyword
    for (Py_ssize_t i = nargs; i < n; ++i) {
        const char *name = spec_.params[i].name;
        given[i] = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) {
                given[i] = kwvalues[k];
                --unused;
                break;
            }
        }
        if (!given[i]) return wrong_count(spec_, i);
    }
    // keywords left over: not strings, repeats of positional ones, unknown
    if (unused > 0) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec_.name);
                return false;
            }
            Py_ssize_t match = -1;
            for (Py_ssize_t i = 0; i < n && match < 0; ++i) {
                if (same_name(key, spec_.params[i].name)) match = i;
            }
            if (match < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             spec_.name, key);
                return false;
            }
            if (match < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec_.name, key);
                return false;
            }
        }
    }
    return true;
}

bool Call::bind(PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t n = n_;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec_.name, "takes no arguments", nargs);
            return false;
        }
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec_.name, "takes no keyword arguments");
            return false;
        }
        return true;
    }

    PyObject *given_by_keyword[kMaxParams];
    PyObject *const *given = args; // by position only: the call's own array
    if (nkw == 0) {
        if (nargs != n) return wrong_count(spec_, nargs);
    } else {
        given = given_by_keyword;
        if (!gather_keywords(args, nargs, kwnames, given_by_keyword)) return false;
    }

    // binding-time rules, in parameter order; an exact int, an enumeration
    // argument and True or False are taken in place
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Rule rule = spec_.params[i].rule;
        PyObject *obj = given[i];
        if ((rule == Rule::Int && PyLong_CheckExact(obj)) || rule == Rule::Enum) {
            bound_[i] = obj;
        } else if (rule == Rule::Bool && (obj == Py_True || obj == Py_False)) {
            bound_[i] = obj;
            value_[i] = obj == Py_True;
        } else if (!bind_slowly(static_cast<int>(i), obj)) {
            return false;
        }
    }
    return true;
}

bool Call::bind_slowly(int i, PyObject *obj) {
    const Param &p = spec_.params[i];
    switch (p.rule) {
    case Rule::Int:
        return bind_int(p, obj, bound_[i], owned_[i]);
    case Rule::Bool:
        if (!bind_bool(obj, value_[i])) return false;
        break;
    case Rule::Id:
        if (!bind_id(p, obj)) return false;
        break;
    case Rule::Str:
        if (!bind_str(p, obj)) return false;
        break;
    case Rule::Enum:
        break;
    }
    bound_[i] = obj;
    return true;
}

// The rules whose narrowing may do more than read a number in place, kept
// out of the loop below.
bool Call::narrow_slowly(int i) {
    PyObject *obj = bound_[i];
    switch (spec_.params[i].rule) {
    case Rule::Int:
        return narrow_long(obj, value_[i]);
    case Rule::Bool:
        return true; // taken when bound
    case Rule::Enum: {
        Ref v = Ref::steal(enum_value(obj));
        if (!v || !narrow_object(v.get(), value_[i])) return false;
        enum_value_remember(obj, v.get(), value_[i]);
        return true;
    }
    case Rule::Id:
        std::memcpy(&id_, record_of<IdRecord>(obj), sizeof id_);
        return true;
    case Rule::Str: {
        owned_[i] = Ref::steal(PyUnicode_AsUTF8String(obj));
        if (!owned_[i]) return false;
        // the library sees a C string: a NUL inside would silently cut it
        const char *s = PyBytes_AS_STRING(owned_[i].get());
        if (std::strlen(s) != static_cast<size_t>(PyBytes_GET_SIZE(owned_[i].get()))) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return false;
        }
        return true;
    }
    }
    return true;
}

bool Call::narrow() {
    const int n = n_;
    for (int i = 0; i < n; ++i) {
        const Rule rule = spec_.params[i].rule;
        // the common cases in place: a small exact int, a member whose number is known
        if ((rule == Rule::Int && narrow_in_place(bound_[i], value_[i])) ||
            (rule == Rule::Enum && enum_value_known(bound_[i], value_[i])) || rule == Rule::Bool)
            continue; // (a truth value is taken when bound)
        if (!narrow_slowly(i)) return false;
    }
    return true;
}

namespace {

// The original handler called directly: its own traceback entry is added
// here, as a call through the function object adds it.
bool hand_to_handler(PyObject *code) {
    if (Ref::steal(handle_status(code))) return true;
    add_traceback(g_handle_error_code.name());
    return false;
}

} // namespace

bool Call::hand_status(PyObject *handler, int32_t status) {
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) return false;
    if (handler == original_handler) return hand_to_handler(code.get());
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(handler, code.get())));
}

// The handler looked up before the call was the original function, and
// status 0 could not end in road() because something changed during the call
// (the lock may have been given up): the algorithm runs in full.
bool Call::hand_to_original(int32_t status) {
    Ref code = Ref::steal(PyLong_FromLong(status));
    return code && hand_to_handler(code.get());
}

bool is_original_handler(PyObject *obj) { return obj == original_handler; }

PyObject *whole_road(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = reinterpret_cast<FunctionObject *>(self);
    const FunctionSpec &spec = *f->spec;
    PyObject *result = nullptr;
    {
        Ref owned[kMaxParams];
        Call call(spec, f->nparams, owned);
        if (call.bind(args, nargsf, kwnames)) result = spec.body(call);
    }
    if (!result) add_traceback(spec.name);
    return result;
}

// ---- the function type ------------------------------------------------------------

namespace {

FunctionObject *as_function(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_function(self)->annotations);
    Py_VISIT(as_function(self)->dict);
    return 0;
}

int function_clear(PyObject *self) {
    Py_CLEAR(as_function(self)->annotations);
    Py_CLEAR(as_function(self)->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_XDECREF(as_function(self)->name);
    Py_XDECREF(as_function(self)->doc);
    PyObject_GC_Del(self);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->name);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }
PyObject *get_module(PyObject *, void *) { return PyUnicode_FromString(kModuleName); }
PyObject *get_annotations(PyObject *self, void *) { return Py_NewRef(as_function(self)->annotations); }

int set_annotations(PyObject *self, PyObject *value, void *) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(as_function(self)->annotations, value);
    return 0;
}

// inspect.signature() and help() read this.
PyObject *get_signature(PyObject *self, void *) {
    const FunctionSpec &spec = *as_function(self)->spec;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = Ref::steal(parameter ? PyObject_GetAttrString(inspect.get(), "Signature") : nullptr);
    Ref kind = Ref::steal(signature ? PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD") : nullptr);
    if (!kind) return nullptr;
    const int n = spec.count();
    Ref params = Ref::steal(PyList_New(n));
    if (!params) return nullptr;
    for (int i = 0; i < n; ++i) {
        Ref kw = Ref::steal(Py_BuildValue("{s:s}", "annotation", spec.params[i].annotation));
        Ref args = Ref::steal(kw ? Py_BuildValue("(sO)", spec.params[i].name, kind.get()) : nullptr);
        PyObject *p = args ? PyObject_Call(parameter.get(), args.get(), kw.get()) : nullptr;
        if (!p) return nullptr;
        PyList_SET_ITEM(params.get(), i, p);
    }
    Ref kw = Ref::steal(Py_BuildValue("{s:s}", "return_annotation", spec.returns));
    Ref args = Ref::steal(kw ? PyTuple_Pack(1, params.get()) : nullptr);
    return args ? PyObject_Call(signature.get(), args.get(), kw.get()) : nullptr;
}

// A function fetched through a class or an instance is the function itself,
// as with built-in functions; having __get__ also makes it a routine to
// inspect and pydoc (help() lists it under FUNCTIONS).
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *) { return Py_NewRef(self); }

// Pickled by reference, as module-level functions are.
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->name); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Slots are filled in ready_function_type(); the header is the one the
// interpreter expects of a static type.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// A road generated for the function takes the rules its parameters declare.
bool road_agrees(const FunctionSpec &spec) {
    const Road *road = spec.road;
    if (!road) return true;
    bool same = road->count == spec.count();
    for (int i = 0; same && i < road->count; ++i) same = road->rules[i] == spec.params[i].rule;
    if (!same) PyErr_Format(PyExc_SystemError, "the road of %s does not take its parameters' rules", spec.name);
    return same;
}

} // namespace

bool ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_name = "quenlix.yux_orx_python_bindings.orx.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    return ready_static_type(FunctionType);
}

PyObject *make_function(const FunctionSpec &spec) {
    if (!road_agrees(spec)) return nullptr;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return nullptr;
    const int n = spec.count();
    for (int i = 0; i <= n; ++i) {
        const char *key = i < n ? spec.params[i].name : "return";
        const char *value = i < n ? spec.params[i].annotation : spec.returns;
        Ref v = Ref::steal(PyUnicode_InternFromString(value));
        if (!v || PyDict_SetItemString(annotations.get(), key, v.get()) < 0) return nullptr;
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    if (!name || !doc) return nullptr;
    FunctionObject *f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = spec.road ? spec.road->call : whole_road;
    f->spec = &spec;
    f->nparams = n;
    f->name = name.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->dict = nullptr;
    PyObject_GC_Track(f);
    if (std::strcmp(spec.name, "handle_error_code") == 0) original_handler = reinterpret_cast<PyObject *>(f);
    return reinterpret_cast<PyObject *>(f);
}

} // namespace orx
