// loader.cpp - the platform's run-time linker behind loader.hpp.
#include "module/loader.hpp"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

namespace orx {
namespace loader {

namespace {

std::wstring wide(const std::string &text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &out[0], n);
    return out;
}

std::string narrow(const wchar_t *text, size_t length) {
    if (!length) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, int(length), &out[0], n, nullptr, nullptr);
    return out;
}

std::string system_message(DWORD code) {
    wchar_t *text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string out = n ? narrow(text, n) : std::string();
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out + " (error " + std::to_string(code) + ")";
}

} // namespace

Handle open(const std::string &path, std::string &why) {
    // The library's own folder is searched for what it depends on, which
    // needs a full path; the rest of the search is the safe default one
    // (the application's folder and System32, not the working directory).
    std::wstring given = wide(path);
    DWORD n = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    std::wstring full(n ? n : 1, L'\0');
    n = n ? GetFullPathNameW(given.c_str(), DWORD(full.size()), &full[0], nullptr) : 0;
    if (!n || n >= full.size()) {
        why = system_message(GetLastError());
        return nullptr;
    }
    full.resize(n);
    HMODULE library =
        LoadLibraryExW(full.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!library) why = system_message(GetLastError());
    return reinterpret_cast<Handle>(library);
}

void *symbol(Handle library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void close(Handle library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

std::string folder_of(const void *address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return ".";
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(module, name.data(), DWORD(name.size()));
        if (!n) return ".";
        if (n < name.size()) {
            std::wstring path(name.data(), n);
            std::wstring::size_type slash = path.find_last_of(L"\\/");
            return slash == std::wstring::npos ? "." : narrow(path.data(), slash);
        }
        name.resize(name.size() * 2); // cut short: a longer path
    }
}

std::string environment(const char *name) {
    std::wstring wname = wide(name);
    DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (!n) return std::string();
    std::wstring value(n, L'\0');
    n = GetEnvironmentVariableW(wname.c_str(), &value[0], n);
    return narrow(value.data(), n);
}

} // namespace loader
} // namespace orx

#else // POSIX

#include <dlfcn.h>

#include <cstdlib>

namespace orx {
namespace loader {

Handle open(const std::string &path, std::string &why) {
    dlerror();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *reason = dlerror();
        why = reason ? reason : "unknown error";
    }
    return library;
}

void *symbol(Handle library, const char *name) { return dlsym(library, name); }

void close(Handle library) {
    if (library) dlclose(library);
}

std::string folder_of(const void *address) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) return ".";
    std::string path = info.dli_fname;
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string environment(const char *name) {
    const char *value = std::getenv(name);
    return value ? value : "";
}

} // namespace loader
} // namespace orx

#endif
