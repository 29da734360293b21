// module.cpp - the module definition and its two start-up steps.
//
// One module object per process, bound to the first interpreter that loads
// it. Creating returns that object again once it exists; executing fills the
// namespace once, in a fixed order, and on failure forgets the object so that
// a later import starts afresh.
#include "module/module.hpp"

#include "camera/functions.hpp"
#include "module/library.hpp"

#include <cstdlib>

namespace orx {

namespace {

constexpr const char kInitName[] = "init quenlix.yux_orx_python_bindings.orx";
Name qualified_name(kModuleName);

const FunctionSpec *const kFunctions[] = {
    &handle_error_code_spec,
    &camera::get_number_of_connected_cameras,
    &camera::camera_check,
    &camera::get_camera_property,
    &camera::get_sdk_version,
    &camera::get_camera_property_by_id,
    &camera::open_camera,
    &camera::init_camera,
    &camera::close_camera,
    &camera::get_id,
    &camera::set_id,
    &camera::get_serial_number,
    &camera::get_camera_support_mode,
    &camera::get_camera_mode,
    &camera::set_camera_mode,
    &camera::start_exposure,
    &camera::stop_exposure,
    &camera::get_exp_status,
    &camera::get_data_after_exp,
    &camera::get_data_after_exp_gps,
    &camera::start_video_capture,
    &camera::stop_video_capture,
    &camera::get_video_data,
    &camera::get_video_data_gps,
    &camera::get_num_of_controls,
    &camera::get_control_caps,
    &camera::get_control_value,
    &camera::set_control_value,
    &camera::set_roi_format,
    &camera::get_roi_format,
    &camera::set_start_pos,
    &camera::get_start_pos,
    &camera::get_dropped_frames,
    &camera::enable_dark_subtract,
    &camera::disable_dark_subtract,
    &camera::pulse_guide_on,
    &camera::pulse_guide_off,
    &camera::get_gain_offset,
    &camera::get_lmh_gain_offset,
    &camera::send_soft_trigger,
    &camera::set_trigger_output_io_conf,
    &camera::get_trigger_output_io_conf,
    &camera::gps_get_data,
};
static_assert(sizeof kFunctions / sizeof kFunctions[0] == 43, "handle_error_code and 42 camera functions");

// spec.<from> copied to module.<to>; a missing attribute is skipped
bool copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !allow_none) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject *create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g.interpreter_id == -1) {
        g.interpreter_id = id;
    } else if (g.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = Ref::steal(name ? PyModule_NewObject(name.get()) : nullptr);
    if (!module) return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

// The major and minor numbers at the start of the interpreter's version text.
void running_version(int &major, int &minor) {
    char *end = nullptr;
    const char *v = Py_GetVersion();
    major = static_cast<int>(std::strtol(v, &end, 10));
    minor = (end && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
}

bool check_version() {
    int major = 0, minor = 0;
    running_version(major, minor);
    if (major == ORX_BUILD_PY_MAJOR && minor == ORX_BUILD_PY_MINOR) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            ORX_BUILD_PY_MAJOR, ORX_BUILD_PY_MINOR, kModuleName, "does not match", major,
                            minor) == 0;
}

// from <module> import <name>, bound under the same name
bool import_from(PyObject *dict, const char *module, const char *name) {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref attr = Ref::steal(PyUnicode_InternFromString(name));
    Ref fromlist = Ref::steal(attr ? PyList_New(1) : nullptr);
    if (!module_name || !fromlist) return false;
    PyList_SET_ITEM(fromlist.get(), 0, attr.newref());
    Ref imported =
        Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), dict, nullptr, fromlist.get(), 0));
    if (!imported) return false;
    Ref value = Ref::steal(PyObject_GetAttr(imported.get(), attr.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", attr.get(), module_name.get());
        }
        return false;
    }
    return PyDict_SetItem(dict, attr.get(), value.get()) == 0;
}

bool bind_functions(PyObject *dict) {
    if (!ready_function_type()) return false;
    for (const FunctionSpec *spec : kFunctions) {
        Ref f = Ref::steal(make_function(*spec));
        if (!f || PyDict_SetItemString(dict, spec->name, f.get()) < 0) return false;
    }
    return true;
}

bool bind_new_dict(PyObject *dict, const char *name) {
    Ref value = Ref::steal(PyDict_New());
    return value && PyDict_SetItemString(dict, name, value.get()) == 0;
}

// An allocation failure inside the standard library's class machinery can
// surface as another error (the enumeration module turns it into TypeError
// and keeps it as the cause): the import reports the MemoryError it was,
// with that error as its context.
void report_memory_exhaustion() {
    PendingError pending;
    PyObject *exc = pending.value();
    if (!exc || PyErr_GivenExceptionMatches(exc, PyExc_MemoryError)) {
        pending.restore();
        return;
    }
    bool memory = false;
    Ref link = Ref::borrow(exc);
    for (int depth = 0; depth < 32 && link && !memory; ++depth) {
        memory = PyErr_GivenExceptionMatches(link.get(), PyExc_MemoryError);
        Ref next = Ref::steal(PyException_GetCause(link.get()));
        link = next ? next : Ref::steal(PyException_GetContext(link.get()));
    }
    if (!memory) {
        pending.restore();
        return;
    }
    PyErr_NoMemory();
    PendingError reported;
    PyException_SetContext(reported.value(), Py_NewRef(exc));
    reported.restore();
}

bool execute(PyObject *module) {
    g.module = Py_NewRef(module);
    g.dict = PyModule_GetDict(module);
    if (!load_library()) return false;

    Py_XSETREF(g.builtins, PyImport_ImportModule("builtins"));
    if (!g.builtins || PyDict_SetItemString(g.dict, "__builtins__", g.builtins) < 0) return false;
    if (!check_version()) return false;
    if (!Name::intern_all() || !Global::intern_all()) return false;
    start_watching();

    PyObject *modules = PyImport_GetModuleDict();
    PyObject *key = qualified_name.get(); // made above
    PyObject *registered = PyDict_GetItemWithError(modules, key);
    if (!registered && (PyErr_Occurred() || PyDict_SetItem(modules, key, module) < 0)) return false;

    return ready_record_types(module) && import_from(g.dict, "typing", "Optional") &&
           import_from(g.dict, "enum", "IntEnum") && create_enumerations(g.dict) && create_exceptions(g.dict) &&
           create_error_table(g.dict) && bind_functions(g.dict) &&
           bind_new_dict(g.dict, "__test__") && watch_exit();
}

int exec(PyObject *module) {
    if (g.module) {
        if (g.module == module) return 0; // a reload: nothing to do again
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'orx' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (execute(module)) return 0;
    report_memory_exhaustion();
    if (g.dict) add_traceback_entry(kInitName);
    // A half-built module must not stay reachable under the qualified name:
    // the next import registers the one that succeeds.
    {
        PendingError pending;
        PyObject *modules = PyImport_GetModuleDict();
        // (the name exists whenever the module was registered under it)
        PyObject *key = qualified_name.get();
        if (key && PyDict_GetItemWithError(modules, key) == module) PyDict_DelItem(modules, key);
        PyErr_Clear();
        pending.restore();
    }
    stop_watching();
    Py_CLEAR(g.module);
    g.dict = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "orx", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

} // namespace

} // namespace orx

PyMODINIT_FUNC PyInit_orx(void) { return PyModuleDef_Init(&orx::definition); }
