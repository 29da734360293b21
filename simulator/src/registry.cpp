// registry.cpp - the cameras the simulator knows, by id and by index.
//
// Ids: the built-in cameras are 1001 (C6200MC Pro), 1002 (G120MM Mini) and
// 1003 (P290MC); added cameras take the next free id (up to 2023). Indices
// count the plugged cameras in ascending id order.
//
// Look-up by id is lock-free (an array of atomic pointers). Camera objects are
// never freed: a removed or reset camera is "retired" (all capture stopped,
// ring buffers freed, every waiter woken) and kept, so that a call that found
// the pointer a moment earlier still locks a valid mutex and answers
// ORX_ERROR_INVALID_ID. The registry mutex is short and never held while a
// camera's mutex is taken.
//
// Identifier "flash": each camera's 8-byte id is saved here when the camera is
// retired and handed to its successor with the same id at ORXSimReset, so it
// lasts for the life of the process. A camera added with ORXSimAddCamera
// starts with an empty flash.
#include "internal.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace orxsim {
namespace {

constexpr int32_t kFirstId = 1001;
constexpr int32_t kTableSize = 1024;
constexpr int32_t kIdBase = 1000;

struct Entry {
    Camera *cam;
    bool connected;
};

struct Registry {
    std::mutex mu;
    std::vector<Entry> known; // ascending id
    std::atomic<Camera *> table[kTableSize];
    std::vector<Camera *> graveyard;
    std::map<int32_t, IdRecord> flash;
    bool exit_hook = false;
    std::mutex sky_mu;
    Sky sky;
    Registry() {
        for (auto &t : table) t.store(nullptr);
    }
};

Registry &R() {
    static Registry *r = new Registry();
    return *r;
}

void retire(Camera *c) {
    std::unique_lock<std::mutex> lk(c->mu);
    c->shutdown(lk, true, true);
}

// Stops capture everywhere at process exit (see registry_note_render).
void exit_hook() {
    Registry &r = R();
    std::vector<Camera *> cams;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto &e : r.known) cams.push_back(e.cam);
    }
    for (Camera *c : cams) {
        std::unique_lock<std::mutex> lk(c->mu);
        if (!c->retired && c->open) c->shutdown(lk, false, false);
    }
}

void install_builtins(Registry &r) {
    // r.mu held
    const auto &models = builtin_models();
    for (size_t i = 0; i < models.size(); ++i) {
        int32_t id = kFirstId + (int32_t)i;
        IdRecord fl{};
        auto it = r.flash.find(id);
        if (it != r.flash.end()) fl = it->second;
        Camera *c = new Camera(id, models[i], fl);
        r.known.push_back(Entry{c, true});
        r.table[id - kIdBase].store(c, std::memory_order_release);
    }
}

struct Boot {
    Boot() {
        Registry &r = R();
        std::lock_guard<std::mutex> g(r.mu);
        install_builtins(r);
    }
} boot;

} // namespace

Camera *find_camera(int32_t id) {
    uint32_t k = (uint32_t)id - (uint32_t)kIdBase; // wraps for ids below the base, never overflows
    if (k >= (uint32_t)kTableSize) return nullptr;
    return R().table[k].load(std::memory_order_acquire);
}

int32_t connected_count() {
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.mu);
    int32_t n = 0;
    for (auto &e : r.known) n += e.connected;
    return n;
}

Camera *camera_at_index(int32_t index) {
    if (index < 0) return nullptr;
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &e : r.known) {
        if (!e.connected) continue;
        if (index-- == 0) return e.cam;
    }
    return nullptr;
}

void registry_reset() {
    Registry &r = R();
    std::vector<Entry> old;
    {
        std::lock_guard<std::mutex> g(r.mu);
        old.swap(r.known);
        for (auto &t : r.table) t.store(nullptr, std::memory_order_release);
    }
    std::vector<std::pair<int32_t, IdRecord>> flashes;
    for (auto &e : old) {
        retire(e.cam);
        flashes.emplace_back(e.cam->id, e.cam->flash_copy());
    }
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &f : flashes)
        if (f.first < kFirstId + (int32_t)builtin_models().size()) r.flash[f.first] = f.second;
    for (auto &e : old) r.graveyard.push_back(e.cam);
    install_builtins(r);
}

int32_t registry_list(int32_t *ids, int32_t max) {
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.mu);
    int32_t n = 0;
    for (auto &e : r.known) {
        if (ids && n < max) ids[n] = e.cam->id;
        ++n;
    }
    return n;
}

int32_t registry_add(const Model &m) {
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.mu);
    int32_t id = kFirstId;
    for (; id < kIdBase + kTableSize; ++id)
        if (!r.table[id - kIdBase].load(std::memory_order_relaxed)) break;
    if (id >= kIdBase + kTableSize) return -1;
    // a fresh serial: the model's with the id's digits in its last four bytes
    Model mm = m;
    for (int i = 0, v = id; i < 4; ++i, v /= 10) mm.serial[7 - i] = (uint8_t)('0' + v % 10);
    Camera *c = new Camera(id, mm, IdRecord{});
    auto pos = std::lower_bound(r.known.begin(), r.known.end(), id,
                                [](const Entry &e, int32_t v) { return e.cam->id < v; });
    r.known.insert(pos, Entry{c, true});
    r.table[id - kIdBase].store(c, std::memory_order_release);
    return id;
}

int32_t registry_remove(int32_t id) {
    Registry &r = R();
    Camera *c = nullptr;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto it = r.known.begin(); it != r.known.end(); ++it) {
            if (it->cam->id == id) {
                c = it->cam;
                r.known.erase(it);
                r.table[id - kIdBase].store(nullptr, std::memory_order_release);
                break;
            }
        }
    }
    if (!c) return -1;
    retire(c);
    std::lock_guard<std::mutex> g(r.mu);
    r.graveyard.push_back(c);
    return 0;
}

int32_t registry_unplug(int32_t id) {
    Registry &r = R();
    Camera *c = nullptr;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto &e : r.known)
            if (e.cam->id == id) { e.connected = false; c = e.cam; }
    }
    if (!c) return -1;
    std::unique_lock<std::mutex> lk(c->mu);
    if (!c->retired) c->shutdown(lk, true, false);
    return 0;
}

int32_t registry_replug(int32_t id) {
    Registry &r = R();
    Camera *c = nullptr;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto &e : r.known)
            if (e.cam->id == id) { e.connected = true; c = e.cam; }
    }
    if (!c) return -1;
    std::unique_lock<std::mutex> lk(c->mu);
    if (!c->retired) c->replug();
    return 0;
}

void registry_notify_all() {
    Registry &r = R();
    std::vector<Camera *> cams;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto &e : r.known) cams.push_back(e.cam);
    }
    for (Camera *c : cams) {
        // take the lock so a waiter between its check and its wait cannot miss this
        std::lock_guard<std::mutex> g(c->mu);
        c->cv.notify_all();
    }
}

// Frame rendering (sensor.cpp) may build static tables on its first call; their
// destructors run at exit in reverse order of construction. The hook that stops
// the producer threads is therefore registered after the first frame was
// rendered, so that it runs before those tables go away.
void registry_note_render() {
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.mu);
    if (r.exit_hook) return;
    r.exit_hook = true;
    std::atexit(exit_hook);
}

Sky current_sky() {
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.sky_mu);
    return r.sky;
}

int32_t set_sky(double density, double seeing, double sky, uint32_t seed) {
    if (!(density >= 0 && density <= 1e6) || !(seeing > 0 && seeing <= 1000) || !(sky >= 0 && sky <= 1e9))
        return -1;
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.sky_mu);
    r.sky.star_density = density;
    r.sky.seeing_fwhm = seeing;
    r.sky.sky_e_per_s = sky;
    r.sky.seed = seed;
    return 0;
}

void reset_sky() {
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.sky_mu);
    r.sky = Sky{};
}

} // namespace orxsim
