// library.cpp - choosing, loading and resolving the camera library.
#include "module/library.hpp"

#include <Python.h>

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#ifndef ORX_DEFAULT_LIBRARY
#error "ORX_DEFAULT_LIBRARY: the installed camera library, relative to the module's folder"
#endif

namespace orx {

namespace {

constexpr const char kEnvironment[] = "ORX_CAMERA_LIBRARY";

// The library handle for the rest of the process once the table is filled.
void *loaded = nullptr;

// The folder of this module's own file, as the dynamic loader mapped it.
std::string module_folder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&load_library), &info) || !info.dli_fname) return ".";
    std::string path = info.dli_fname;
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void import_error(const std::string &message, const std::string &path) {
    PyObject *msg = PyUnicode_DecodeFSDefault(message.c_str());
    PyObject *file = msg ? PyUnicode_DecodeFSDefault(path.c_str()) : nullptr;
    if (file) PyErr_SetImportError(msg, nullptr, file);
    Py_XDECREF(file);
    Py_XDECREF(msg);
}

} // namespace

bool load_library() {
    if (loaded) return true; // an earlier start-up loaded it; it stays for the process
    const char *chosen = std::getenv(kEnvironment);
    const bool from_environment = chosen && *chosen;
    const std::string path = from_environment ? std::string(chosen) : module_folder() + "/" + ORX_DEFAULT_LIBRARY;
    const std::string origin = from_environment ? std::string(" (named by ") + kEnvironment + ")" : "";

    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        import_error("cannot load the camera library " + path + origin + ": " + (why ? why : "unknown error"), path);
        return false;
    }
    // every function found before any is set
    void *found[] = {
#define ORX_RESOLVE(name) dlsym(handle, #name),
        ORX_LIBRARY_FUNCTIONS(ORX_RESOLVE)
#undef ORX_RESOLVE
    };
    static const char *const names[] = {
#define ORX_NAME(name) #name,
        ORX_LIBRARY_FUNCTIONS(ORX_NAME)
#undef ORX_NAME
    };
    const char *missing = nullptr;
    for (size_t i = 0; i < sizeof found / sizeof found[0] && !missing; ++i)
        if (!found[i]) missing = names[i];
    if (missing) {
        dlclose(handle);
        import_error("the camera library " + path + origin + " has no function " + missing +
                         ": it does not implement the ORXCamera2 interface",
                     path);
        return false;
    }
    size_t i = 0;
#define ORX_SET(name) slot::name = reinterpret_cast<decltype(slot::name)>(found[i++]);
    ORX_LIBRARY_FUNCTIONS(ORX_SET)
#undef ORX_SET
    loaded = handle;
    return true;
}

} // namespace orx
