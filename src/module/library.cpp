// library.cpp - choosing, loading and resolving the camera library.
#include "module/library.hpp"

#include "module/core.hpp"

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

// The library handle for the rest of the process once every slot is set.
void *loaded = nullptr;

// The folder of this module's own file, as the dynamic loader mapped it.
std::string module_folder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&load_library), &info) || !info.dli_fname) return ".";
    std::string path = info.dli_fname;
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// ImportError with the library's file as its `path`; `format` takes the
// file, where it was named (%s) and one detail (%s).
void import_error(const std::string &path, const char *format, const char *origin, const char *detail) {
    Ref file = Ref::steal(PyUnicode_DecodeFSDefault(path.c_str()));
    Ref message = Ref::steal(file ? PyUnicode_FromFormat(format, file.get(), origin, detail) : nullptr);
    if (message) PyErr_SetImportError(message.get(), nullptr, file.get());
}

} // namespace

bool load_library() {
    if (loaded) return true; // an earlier start-up loaded it; it stays for the process
    const char *chosen = std::getenv(kEnvironment);
    const bool from_environment = chosen && *chosen;
    std::string path;
    if (from_environment) {
        path = chosen;
    } else {
        path = module_folder();
        path += '/';
        path += ORX_DEFAULT_LIBRARY;
    }
    const char *origin = from_environment ? " (named by ORX_CAMERA_LIBRARY)" : "";

    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        import_error(path, "cannot load the camera library %U%s: %s", origin, why ? why : "unknown error");
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
        import_error(path, "the camera library %U%s has no function %s: it does not implement the ORXCamera2 interface",
                     origin, missing);
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
