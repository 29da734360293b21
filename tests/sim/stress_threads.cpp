// stress_threads.cpp - the simulator's C interface driven from many threads at
// once, for ThreadSanitizer (and AddressSanitizer) runs.
//
// Workers pick calls at random on two cameras (plus one added at start):
// opening, initialising and closing, regions, controls, snapshots, video
// starts, stops and fetches with short waits and without limit, soft triggers
// and modes, GPS reads, dark frame switches. One more thread unplugs and
// replugs cameras, changes the time scale, adds and removes a camera, resets
// the simulator, scripts answers and reads the call log. Every status must be a library status and
// every fetched frame must fit the buffer; the run must end (a watchdog
// aborts after the run plus 30 s).
//
//   stress_threads [seconds=3] [workers=6]
#include "ORXCamera2.h"
#include "ORXSimControl.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};
std::atomic<long> g_calls{0}, g_frames{0}, g_bad{0};
std::atomic<int> g_running{0};
const int32_t g_cams[2] = {1002, 1003};
std::atomic<int32_t> g_extra{-1}; // the camera the controller adds and removes

constexpr int32_t kMaxW = 1920, kMaxH = 1080;
constexpr size_t kBuf = (size_t)kMaxW * kMaxH * 3; // any frame of these cameras

void check(const char *what, int32_t st) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    if (st < 0 || st > ORX_ERROR_END) {
        std::fprintf(stderr, "%s: status %d is no library status\n", what, st);
        g_bad.fetch_add(1);
    }
}

int32_t pick(std::mt19937 &rng, int n) { return (int32_t)(rng() % (unsigned)n); }

void worker(unsigned seed) {
    struct Running {
        Running() { g_running.fetch_add(1); }
        ~Running() { g_running.fetch_sub(1); }
    } running;
    std::mt19937 rng(seed);
    std::vector<unsigned char> buf(kBuf);
    const int32_t waits[] = {0, 1, 5, 20, -1};
    while (!g_stop.load(std::memory_order_relaxed)) {
        const int k = pick(rng, 5);
        int32_t cam = k < 2 ? g_cams[k] : k == 2 ? g_extra.load() : g_cams[k - 3];
        if (cam < 0) cam = 1002;
        int32_t st = 0;
        switch (pick(rng, 20)) {
        case 0: check("open", ORXOpenCamera(cam)); break;
        case 1: check("init", ORXInitCamera(cam)); break;
        case 2: if (pick(rng, 4) == 0) check("close", ORXCloseCamera(cam)); break;
        case 3: {
            const int32_t w[] = {160, 320, 640}, h[] = {120, 240, 480};
            check("roi", ORXSetROIFormat(cam, w[pick(rng, 3)], h[pick(rng, 3)], 1 + pick(rng, 2), pick(rng, 4)));
            break;
        }
        case 4: {
            int32_t w, h, b, t;
            check("get roi", ORXGetROIFormat(cam, &w, &h, &b, &t));
            break;
        }
        case 5: check("exposure", ORXSetControlValue(cam, ORX_CTL_EXPOSURE, 100 + pick(rng, 20000), 0)); break;
        case 6: {
            int32_t v;
            ORX_BOOL a;
            check("get gain", ORXGetControlValue(cam, pick(rng, 20), &v, &a));
            check("set gain", ORXSetControlValue(cam, ORX_CTL_GAIN, pick(rng, 200), 0));
            break;
        }
        case 7: check("start video", ORXStartVideoCapture(cam)); break;
        case 8: if (pick(rng, 3) == 0) check("stop video", ORXStopVideoCapture(cam)); break;
        case 9:
        case 10: {
            // a wait without limit ends with a frame, a stop, a close or an unplug;
            // the stopping thread at the end closes everything
            int32_t wait = waits[pick(rng, 5)];
            st = ORXGetVideoData(cam, buf.data(), (int32_t)buf.size(), wait);
            check("video", st);
            if (st == ORX_SUCCESS) g_frames.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case 11: {
            GpsDataRecord gps;
            st = ORXGetVideoDataGPS(cam, buf.data(), (int32_t)buf.size(), waits[pick(rng, 4)], &gps);
            check("video gps", st);
            if (st == ORX_SUCCESS) g_frames.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case 12: check("start exposure", ORXStartExposure(cam, pick(rng, 2))); break;
        case 13: {
            int32_t s;
            check("exp status", ORXGetExpStatus(cam, &s));
            st = ORXGetDataAfterExp(cam, buf.data(), (int32_t)buf.size());
            check("exp data", st);
            if (st == ORX_SUCCESS) g_frames.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        case 14: check("stop exposure", ORXStopExposure(cam)); break;
        case 15: {
            int32_t d;
            check("dropped", ORXGetDroppedFrames(cam, &d));
            GpsDataRecord a, b;
            check("gps", ORXGPSGetData(cam, &a, &b));
            break;
        }
        case 16: {
            check("mode", ORXSetCameraMode(cam, pick(rng, 3) == 0 ? pick(rng, 7) : ORX_MODE_NORMAL));
            check("trigger", ORXSendSoftTrigger(cam, pick(rng, 2)));
            break;
        }
        case 17: {
            CameraInfoRecord info;
            check("property", ORXGetCameraProperty(&info, pick(rng, 4)));
            check("property by id", ORXGetCameraPropertyByID(cam, &info));
            check("count", ORXGetNumOfConnectedCameras() >= 0 ? 0 : -1);
            break;
        }
        case 18: {
            IdRecord id;
            check("get id", ORXGetID(cam, &id));
            std::memcpy(id.id, "stress!!", 8);
            check("set id", ORXSetID(cam, id));
            check("guide", ORXPulseGuideOn(cam, pick(rng, 4)));
            check("guide off", ORXPulseGuideOff(cam, pick(rng, 4)));
            break;
        }
        case 19: {
            check("dark", ORXEnableDarkSubtract(cam, "/nonexistent/dark.bmp"));
            check("no dark", ORXDisableDarkSubtract(cam));
            int32_t x, y;
            check("start pos", ORXGetStartPos(cam, &x, &y));
            check("set start pos", ORXSetStartPos(cam, pick(rng, 64), pick(rng, 64)));
            break;
        }
        }
    }
}

// Hot-plug, the clock, scripted answers and the call log, concurrently with the workers.
void controller(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<char> line(256);
    while (!g_stop.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + pick(rng, 10)));
        const int32_t cam = g_cams[pick(rng, 2)];
        switch (pick(rng, 10)) {
        case 0:
            ORXSimUnplug(cam);
            std::this_thread::sleep_for(std::chrono::milliseconds(pick(rng, 20)));
            ORXSimReplug(cam);
            break;
        case 1: ORXSimSetTimeScale(pick(rng, 2) ? 0.01 : 0.1); break;
        case 2: ORXSimInject("ORXGetVideoData", ORX_ERROR_TIMEOUT, 1, nullptr, 0); break;
        case 3: {
            int32_t n = ORXSimLogCount();
            for (int32_t i = 0; i < n && i < 50; ++i) ORXSimLogEntry(n - 1 - i, line.data(), (int32_t)line.size());
            ORXSimCallCount("ORXGetVideoData");
            break;
        }
        case 4: {
            int32_t extra = ORXSimAddCamera("{\"model\": \"guide\", \"width\": 640, \"height\": 480}");
            if (extra >= 0) {
                g_extra.store(extra); // workers may still use it after its removal: it answers invalid id
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(rng, 30)));
                ORXSimRemoveCamera(extra);
            }
            break;
        }
        case 5: ORXSimClearInjections(); break;
        case 6: {
            int32_t ids[8];
            ORXSimListCameras(ids, 8);
            break;
        }
        case 7: ORXSimSetSky(40.0 + pick(rng, 10), 2.5, 4.0, rng()); break;
        case 8: // every camera retired and revived under its id while the workers use it
            if (pick(rng, 4) == 0) {
                ORXSimReset();
                ORXSimSetTimeScale(0.01);
            }
            break;
        case 9: { // the night sky on and off, optics and WCS, while frames render
            double wcs[8];
            ORXSimSetScene("enabled", pick(rng, 2));
            ORXSimSetScene("pe_period", 5 + pick(rng, 100));
            ORXSimSetOptics(cam, "focal_length", 100 + pick(rng, 2000));
            ORXSimSetOptics(cam, "focus", 5000 + pick(rng, 400));
            ORXSimGetWcs(cam, wcs);
            break;
        }
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int workers = argc > 2 ? std::atoi(argv[2]) : 6;
    ORXSimReset();
    ORXSimSetTimeScale(0.01);

    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        const auto limit = Clock::now() + std::chrono::duration<double>(seconds + 30);
        while (!done.load()) {
            if (Clock::now() > limit) {
                std::fprintf(stderr, "stress_threads: still running 30 s after the end: deadlock?\n");
                std::abort();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i) threads.emplace_back(worker, 1000u + (unsigned)i);
    threads.emplace_back(controller, 7u);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    g_stop.store(true);
    // waits without limit end when their camera closes; a worker may still
    // reopen one with the call it was making, so repeat until all are out
    while (g_running.load() > 0) {
        for (int32_t cam : {1002, 1003, g_extra.load()}) {
            ORXSimReplug(cam);
            ORXStopVideoCapture(cam);
            ORXCloseCamera(cam);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (auto &t : threads) t.join();
    done.store(true);
    watchdog.join();
    ORXSimReset();

    std::printf("stress_threads: %.1f s, %d workers: %ld calls, %ld frames, %ld bad statuses\n", seconds, workers,
                g_calls.load(), g_frames.load(), g_bad.load());
    return g_bad.load() == 0 && g_frames.load() > 0 ? 0 : 1;
}
