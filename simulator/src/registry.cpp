// registry.cpp - the cameras the simulator knows, by index and id.
//
// Ids: the built-in cameras are 1001 (C6200MC Pro), 1002 (G120MM Mini) and
// 1003 (P290MC); added cameras take the lowest free id (up to 2023). Indices
// count the plugged cameras in ascending id order.
//
// Look-up by id is lock-free: an array of atomic pointers, one Camera object
// per id, made the first time the id is used and kept for the life of the
// process (see Camera). A removed or reset camera is retired; a camera added
// or installed later under its id revives the same object. Memory therefore
// stays bounded however often cameras come and go.
//
// Locks: `control` serialises the operations that change the set of cameras
// (reset, add, remove, unplug, replug) and may be held while a camera's mutex
// is taken; `mu` guards the list of cameras, is short, and is never held
// while a camera's mutex is taken.
//
// Identifier "flash": each camera object keeps its 8-byte id across retire
// and revive, so a built-in camera's id lasts for the life of the process. A
// camera added with ORXSimAddCamera starts with an empty flash.
#include "camera.hpp"
#include "sensor_kernels.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace orxsim {
namespace {

constexpr int32_t kFirstId = 1001;
constexpr int32_t kTableSize = 1024;
constexpr int32_t kIdBase = 1000;

struct Entry {
    Camera *cam;
    bool connected;
    CameraInfoRecord info; // copy for look-ups by index, which take no camera lock
};

struct Registry {
    std::mutex control;
    std::mutex mu;
    std::vector<Entry> known; // ascending id
    std::atomic<Camera *> table[kTableSize];
    std::mutex sky_mu;
    Sky sky;
    std::atomic<double> ambient{kDefaultAmbientC};
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

// Stops capture everywhere when the process exits or the library is unloaded,
// so that no producer thread runs on while the library goes away.
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

// Brings up camera `id` as `model` (r.control held, r.mu not held) and lists it.
void install(Registry &r, int32_t id, std::shared_ptr<const Model> model, bool keep_flash) {
    Camera *c = r.table[id - kIdBase].load(std::memory_order_acquire);
    if (!c) {
        c = new Camera(id, model, IdRecord{});
        r.table[id - kIdBase].store(c, std::memory_order_release);
    } else {
        std::unique_lock<std::mutex> lk(c->mu);
        c->revive(model, keep_flash);
    }
    Entry e{c, true, {}};
    fill_camera_info(*model, id, &e.info);
    std::lock_guard<std::mutex> g(r.mu);
    auto pos = std::lower_bound(r.known.begin(), r.known.end(), id,
                                [](const Entry &x, int32_t v) { return x.cam->id < v; });
    r.known.insert(pos, e);
}

void install_builtins(Registry &r) {
    static const std::vector<std::shared_ptr<const Model>> *models = [] {
        auto *v = new std::vector<std::shared_ptr<const Model>>();
        for (const Model &m : builtin_models()) v->push_back(std::make_shared<const Model>(m));
        return v;
    }();
    for (size_t i = 0; i < models->size(); ++i) install(r, kFirstId + (int32_t)i, (*models)[i], true);
}

bool active(Registry &r, int32_t id) { // r.mu held
    for (auto &e : r.known)
        if (e.cam->id == id) return true;
    return false;
}

struct Boot {
    Boot() {
        Registry &r = R();
        std::lock_guard<std::mutex> g(r.control);
        install_builtins(r);
        std::atexit(exit_hook); // also runs when the library is unloaded
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

bool info_at_index(int32_t index, CameraInfoRecord *out) {
    if (index < 0) return false;
    Registry &r = R();
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &e : r.known) {
        if (!e.connected) continue;
        if (index-- == 0) {
            if (out) *out = e.info;
            return true;
        }
    }
    return false;
}

void registry_reset() {
    Registry &r = R();
    std::lock_guard<std::mutex> ctl(r.control);
    std::vector<Entry> old;
    {
        std::lock_guard<std::mutex> g(r.mu);
        old.swap(r.known);
    }
    for (auto &e : old) retire(e.cam);
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

int32_t registry_add(Model m) {
    Registry &r = R();
    std::lock_guard<std::mutex> ctl(r.control);
    int32_t id = kFirstId;
    {
        std::lock_guard<std::mutex> g(r.mu);
        while (id < kIdBase + kTableSize && active(r, id)) ++id;
    }
    if (id >= kIdBase + kTableSize) return -1;
    // a fresh serial: the model's with the id's digits in its last four bytes
    for (int i = 0, v = id; i < 4; ++i, v /= 10) m.serial[7 - i] = (uint8_t)('0' + v % 10);
    // a sensor of its own: hot pixels and fixed pattern follow the serial
    uint64_t serial = 0;
    std::memcpy(&serial, m.serial, sizeof serial);
    m.sensor.hot_pixel_seed = (uint32_t)kern::mix64(serial ^ ((uint64_t)m.sensor.hot_pixel_seed << 32));
    install(r, id, std::make_shared<const Model>(std::move(m)), false);
    return id;
}

int32_t registry_remove(int32_t id) {
    Registry &r = R();
    std::lock_guard<std::mutex> ctl(r.control);
    Camera *c = nullptr;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto it = r.known.begin(); it != r.known.end(); ++it) {
            if (it->cam->id == id) {
                c = it->cam;
                r.known.erase(it);
                break;
            }
        }
    }
    if (!c) return -1;
    retire(c);
    return 0;
}

// Marks camera `id` (dis)connected in the list; the camera or nullptr.
static Camera *set_connected(Registry &r, int32_t id, bool connected) {
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &e : r.known)
        if (e.cam->id == id) {
            e.connected = connected;
            return e.cam;
        }
    return nullptr;
}

int32_t registry_unplug(int32_t id) {
    Registry &r = R();
    std::lock_guard<std::mutex> ctl(r.control);
    Camera *c = set_connected(r, id, false);
    if (!c) return -1;
    std::unique_lock<std::mutex> lk(c->mu);
    if (!c->retired) c->shutdown(lk, true, false);
    return 0;
}

int32_t registry_replug(int32_t id) {
    Registry &r = R();
    std::lock_guard<std::mutex> ctl(r.control);
    Camera *c = set_connected(r, id, true);
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

double ambient_c() { return R().ambient.load(std::memory_order_relaxed); }

int32_t set_ambient(double celsius) {
    if (!(celsius >= kMinAmbientC && celsius <= kMaxAmbientC)) return -1;
    Registry &r = R();
    std::lock_guard<std::mutex> ctl(r.control);
    std::vector<Camera *> cams;
    {
        std::lock_guard<std::mutex> g(r.mu);
        for (auto &e : r.known) cams.push_back(e.cam);
    }
    for (Camera *c : cams) { // the old ambient up to now
        std::lock_guard<std::mutex> g(c->mu);
        c->settle_thermal();
    }
    r.ambient.store(celsius, std::memory_order_relaxed);
    return 0;
}

} // namespace orxsim
