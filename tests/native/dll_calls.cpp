// dll_calls.cpp - the Windows build of the camera library, driven from C++
// through the module's own loader (src/module/loader.cpp).
//
// Run beside ORXCamera2.dll (under wine in CI): the loader finds the DLL in
// the program's folder, resolves every function of the interface and a
// camera takes a 640x480 RAW8 frame of 10 ms. Also: a folder whose name is
// not ASCII, a missing file and a missing function. Prints one line per
// failed check and closes with "N passed, M failed".
#include "module/library.hpp"
#include "module/loader.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char *what, const std::string &detail = "") {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    }
}

// Every function of the interface, resolved by name.
struct Table {
#define ORX_TABLE_MEMBER(name) decltype(&::name) name = nullptr;
    ORX_LIBRARY_FUNCTIONS(ORX_TABLE_MEMBER)
#undef ORX_TABLE_MEMBER
};

// Resolves the table; the names of the functions not found.
std::string resolve(orx::loader::Handle library, Table &t) {
    std::string missing;
#define ORX_TABLE_RESOLVE(name)                                                                                    \
    t.name = reinterpret_cast<decltype(t.name)>(orx::loader::symbol(library, #name));                             \
    if (!t.name) missing += " " #name;
    ORX_LIBRARY_FUNCTIONS(ORX_TABLE_RESOLVE)
#undef ORX_TABLE_RESOLVE
    return missing;
}

void take_frame(const Table &t) {
    int32_t count = t.ORXGetNumOfConnectedCameras();
    check(count > 0, "cameras connected", std::to_string(count));
    if (count <= 0) return;
    CameraInfoRecord info{};
    check(t.ORXGetCameraProperty(&info, 0) == ORX_SUCCESS, "ORXGetCameraProperty");
    const int32_t id = info.CameraID;
    check(t.ORXOpenCamera(id) == ORX_SUCCESS, "ORXOpenCamera");
    check(t.ORXInitCamera(id) == ORX_SUCCESS, "ORXInitCamera");
    check(t.ORXSetROIFormat(id, 640, 480, 1, ORX_IMG_RAW8) == ORX_SUCCESS, "ORXSetROIFormat 640x480 RAW8");
    int32_t w = 0, h = 0, bin = 0, type = -1;
    check(t.ORXGetROIFormat(id, &w, &h, &bin, &type) == ORX_SUCCESS && w == 640 && h == 480 && bin == 1 &&
              type == ORX_IMG_RAW8,
          "ORXGetROIFormat gives back the region");
    check(t.ORXSetControlValue(id, ORX_CTL_EXPOSURE, 10000, 0) == ORX_SUCCESS, "ORXSetControlValue exposure");
    check(t.ORXStartExposure(id, 0) == ORX_SUCCESS, "ORXStartExposure");
    // a bounded wait on the library's own status, however slow the machine
    int32_t status = ORX_EXP_WORKING;
    for (int polls = 0; polls < 60000 && status == ORX_EXP_WORKING; ++polls) {
        if (t.ORXGetExpStatus(id, &status) != ORX_SUCCESS) break;
#ifdef _WIN32
        if (status == ORX_EXP_WORKING) Sleep(1);
#endif
    }
    check(status == ORX_EXP_SUCCESS, "the exposure ends in success", std::to_string(status));
    std::vector<unsigned char> frame(640 * 480, 0);
    GpsDataRecord gps{};
    int32_t got = t.ORXGetDataAfterExpGPS(id, frame.data(), int32_t(frame.size()), &gps);
    check(got == ORX_SUCCESS, "ORXGetDataAfterExpGPS", std::to_string(got));
    size_t lit = 0;
    for (unsigned char v : frame) lit += v != 0;
    check(lit > frame.size() / 2, "the frame holds an image", std::to_string(lit) + " pixels above 0");
    // the time stamp is the camera clock in UTC, broken down by the C runtime
    check(gps.Year >= 2000 && gps.Month >= 1 && gps.Month <= 12 && gps.Day >= 1 && gps.Day <= 31 && gps.Hour < 24,
          "the frame's time stamp is a date",
          std::to_string(gps.Year) + "-" + std::to_string(gps.Month) + "-" + std::to_string(gps.Day));
    check(t.ORXCloseCamera(id) == ORX_SUCCESS, "ORXCloseCamera");
    check(t.ORXGetExpStatus(id, &status) != ORX_SUCCESS, "a closed camera refuses calls");
}

} // namespace

int main(int argc, char **argv) {
    const std::string folder = orx::loader::folder_of(reinterpret_cast<const void *>(&take_frame));
    const std::string name = argc > 1 ? argv[1] : "ORXCamera2.dll";
    std::string why;
    orx::loader::Handle library = orx::loader::open(folder + "/" + name, why);
    check(library != nullptr, "the library loads from the program's folder", folder + ": " + why);
    if (library) {
        Table t;
        std::string missing = resolve(library, t);
        check(missing.empty(), "every function of the interface is exported", missing);
        check(orx::loader::symbol(library, "ORXNoSuchFunction") == nullptr, "an unknown name resolves to nothing");
        if (missing.empty()) {
            check(std::strlen(t.ORXGetSDKVersion()) > 0, "ORXGetSDKVersion");
            take_frame(t);
        }
        orx::loader::close(library);
    }
    // a copy in a folder named in UTF-8 beyond ASCII (the loader's paths are UTF-8)
    const std::string elsewhere = folder + "/caméra Ω";
#ifdef _WIN32
    {
        auto wide = [](const std::string &s) {
            std::wstring out(s.size(), L'\0');
            out.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), &out[0], int(out.size()))));
            return out;
        };
        CreateDirectoryW(wide(elsewhere).c_str(), nullptr);
        check(CopyFileW(wide(folder + "/" + name).c_str(), wide(elsewhere + "/" + name).c_str(), FALSE) != 0,
              "copying the library to a non-ASCII folder");
    }
#endif
    orx::loader::Handle copy = orx::loader::open(elsewhere + "/" + name, why);
    check(copy != nullptr, "the library loads from a non-ASCII folder", why);
    if (copy) {
        // the system spells the folder with its own separators
        auto same_folder = [](std::string a, std::string b) {
            for (std::string *s : {&a, &b})
                for (char &c : *s)
                    if (c == '\\') c = '/';
            return a == b;
        };
        const std::string found = orx::loader::folder_of(orx::loader::symbol(copy, "ORXGetSDKVersion"));
        check(same_folder(found, elsewhere), "the folder of a loaded library's function is that library's folder",
              found);
        orx::loader::close(copy);
    }
    why.clear();
    check(orx::loader::open(folder + "/absent.dll", why) == nullptr && !why.empty(),
          "a missing file fails with the system's reason", why);
    std::printf("dll_calls: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
