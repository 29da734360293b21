// loader.hpp - the platform's run-time linker, as the module needs it.
//
// One small interface over dlopen/dlsym/dladdr (POSIX) and
// LoadLibraryExW/GetProcAddress/GetModuleHandleExW (Windows). Paths are
// UTF-8 on every platform. Nothing here touches Python, so the Windows
// branch is also built into a native test program of the camera library.
#pragma once

#include <string>

namespace orx {
namespace loader {

// An opened shared library; null when opening failed.
using Handle = void *;

// Opens the library file at `path` (its own folder is searched for the
// libraries it depends on); on failure null, with the system's reason in `why`.
Handle open(const std::string &path, std::string &why);

// The address of the exported function `name`, or null.
void *symbol(Handle library, const char *name);

void close(Handle library);

// The folder of the file (module, DLL or program) that holds `address`,
// without a trailing separator; "." when the system cannot tell.
std::string folder_of(const void *address);

// The environment variable `name` as UTF-8; empty when unset.
std::string environment(const char *name);

} // namespace loader
} // namespace orx
