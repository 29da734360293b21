// library.cpp - choosing, loading and resolving the camera library.
#include "module/library.hpp"

#include "module/core.hpp"
#include "module/loader.hpp"

#include <cstddef>
#include <string>

#ifndef ORX_DEFAULT_LIBRARY
#error "ORX_DEFAULT_LIBRARY: the installed camera library, relative to the module's folder"
#endif

namespace orx {

namespace {

constexpr const char kEnvironment[] = "ORX_CAMERA_LIBRARY";

// The library handle for the rest of the process once every slot is set.
loader::Handle loaded = nullptr;

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
    std::string path = loader::environment(kEnvironment);
    const bool from_environment = !path.empty();
    if (!from_environment) {
        // the folder of this module's own file, as the system's loader mapped it
        path = loader::folder_of(reinterpret_cast<const void *>(&load_library));
        path += '/';
        path += ORX_DEFAULT_LIBRARY;
    }
    const char *origin = from_environment ? " (named by ORX_CAMERA_LIBRARY)" : "";

    std::string why;
    loader::Handle handle = loader::open(path, why);
    if (!handle) {
        import_error(path, "cannot load the camera library %U%s: %s", origin, why.c_str());
        return false;
    }
    // every function found before any is set
    void *found[] = {
#define ORX_RESOLVE(name) loader::symbol(handle, #name),
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
        loader::close(handle);
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
