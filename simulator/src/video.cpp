// video.cpp - video capture: the frame ring, the producer thread, frame fetches.
//
// A producer thread per camera renders frames into a ring of 3 preallocated
// slots (2 for frames over 32 MB). In normal mode exposures follow each other
// every max(exposure, readout, transfer) and each frame is ready readout +
// transfer after its exposure ended (readout.hpp); in the soft trigger modes
// each queued trigger makes one frame. When no slot is free the oldest
// unfetched frame is dropped and counted. Consumers copy a frame out of its
// slot without holding the lock. With auto exposure or auto gain on, every
// frame's brightness moves them one step (autoexp.hpp) for the next frame.
#include "camera.hpp"
#include "scene.hpp"

#include <algorithm>
#include <cstring>

namespace orxsim {

namespace {
constexpr size_t kBigFrame = (size_t)32 << 20;

int32_t bytes_per_pixel(int32_t img_type) {
    return img_type == ORX_IMG_RAW16 ? 2 : img_type == ORX_IMG_RGB24 ? 3 : 1;
}
} // namespace

void Camera::end_video_locked() {
    video = false;
    ++video_gen;
    for (int s : ready) ring[s].state = Slot::Free;
    ready.clear();
    trig_queue.clear();
    cv.notify_all();
}

void Camera::wait_slots_idle(std::unique_lock<std::mutex> &lk) {
    cv.wait(lk, [&] {
        for (const Slot &s : ring)
            if (s.state == Slot::Writing || s.state == Slot::Reading) return false;
        return true;
    });
}

void Camera::free_ring(std::unique_lock<std::mutex> &lk) {
    wait_slots_idle(lk);
    if (!video) {
        ring.clear();
        ring.shrink_to_fit();
        ready.clear();
    }
}

int32_t Camera::start_video(std::unique_lock<std::mutex> &lk) {
    if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    finalize_exposure(sim_now_ns());
    if (exposing()) return ORX_ERROR_EXPOSURE_IN_PROGRESS;
    const uint64_t my_life = life;
    if (producer.joinable()) { // a producer of an earlier session still finishing
        std::thread t = std::move(producer);
        lk.unlock();
        t.join();
        lk.lock();
        if (life != my_life) return ORX_ERROR_CAMERA_REMOVED;
        if (int32_t st = check(Need::Init)) return st;
        if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
    }
    const size_t bytes = frame_bytes(make_request(false, sim_now_ns()));
    const size_t nslots = bytes > kBigFrame ? 2 : 3;
    if (ring.size() != nslots || ring[0].cap < bytes) {
        wait_slots_idle(lk);
        if (life != my_life) return ORX_ERROR_CAMERA_REMOVED;
        if (int32_t st = check(Need::Init)) return st;
        if (video) return ORX_ERROR_VIDEO_MODE_ACTIVE;
        ring.clear();
        ring.resize(nslots);
        for (Slot &s : ring) {
            s.data.reset(new uint8_t[bytes ? bytes : 1]);
            s.cap = bytes;
        }
    }
    for (Slot &s : ring)
        if (s.state == Slot::Ready) s.state = Slot::Free;
    ready.clear();
    video_bytes = bytes;
    exp = Exp::Idle;
    dropped = 0;
    trig_queue.clear();
    video = true;
    const uint64_t gen = ++video_gen;
    try {
        producer = std::thread(&Camera::producer_main, this, gen);
    } catch (...) {
        video = false;
        return ORX_ERROR_GENERAL;
    }
    return ORX_SUCCESS;
}

int32_t Camera::stop_video(std::unique_lock<std::mutex> &lk) {
    if (!video) return ORX_SUCCESS;
    end_video_locked();
    std::thread t = std::move(producer);
    if (t.joinable()) {
        lk.unlock();
        t.join();
        lk.lock();
    }
    return ORX_SUCCESS;
}

void Camera::auto_adjust(double brightness) {
    AutoLimits lim;
    lim.exposure = autov[ORX_CTL_EXPOSURE] != 0;
    lim.gain = autov[ORX_CTL_GAIN] != 0;
    lim.max_exposure_us = (int64_t)val[ORX_CTL_AUTO_MAX_EXP] * 1000;
    lim.max_gain = val[ORX_CTL_AUTO_MAX_GAIN];
    lim.target = val[ORX_CTL_AUTO_TARGET_BRIGHTNESS];
    int64_t e = val[ORX_CTL_EXPOSURE];
    int32_t g = val[ORX_CTL_GAIN];
    if (auto_step(brightness, lim, e, g)) {
        val[ORX_CTL_EXPOSURE] = (int32_t)e;
        val[ORX_CTL_GAIN] = g;
    }
}

void Camera::producer_main(uint64_t gen) {
    std::unique_lock<std::mutex> lk(mu);
    const size_t bytes = video_bytes; // the format cannot change during video
    int64_t t_prev = sim_now_ns();    // end of the previous frame's exposure
    const auto poll = std::chrono::milliseconds(200); // bound on a stale wall deadline
    while (video && video_gen == gen) {
        const int64_t now = sim_now_ns();
        const Readout r = readout_for(bytes);
        int64_t t_start, t_end, exp_ns;
        bool from_queue = false;
        if (mode == ORX_MODE_NORMAL) {
            exp_ns = exposure_ns();
            const int64_t interval = std::max(exp_ns, r.pipeline_ns());
            t_end = t_prev + interval;
            // frames keep their cadence through short rendering stalls; after a long one
            // the camera starts afresh instead of catching up with a burst
            if (now - t_end - r.latency_ns() > std::max<int64_t>(4 * interval, 100000000)) {
                t_prev = now - interval;
                t_end = now;
            }
            t_start = t_end - exp_ns;
        } else if (mode == ORX_MODE_TRIG_SOFT_EDGE || mode == ORX_MODE_TRIG_SOFT_LEVEL) {
            if (trig_queue.empty()) {
                cv.wait(lk);
                continue;
            }
            t_start = trig_queue.front().first;
            exp_ns = trig_queue.front().second - t_start;
            t_end = std::max(trig_queue.front().second, t_prev + r.pipeline_ns());
            from_queue = true;
        } else {
            cv.wait(lk); // hardware trigger: no trigger line in the simulator
            continue;
        }
        const int64_t t_ready = t_end + r.latency_ns();
        if (now < t_ready) {
            auto deadline = std::min(wall_at(t_ready), WallClock::now() + poll);
            cv.wait_until(lk, deadline);
            continue; // re-evaluate: stop, exposure change, time scale change
        }
        if (from_queue) trig_queue.pop_front();
        t_prev = t_end;

        int s = -1;
        for (size_t i = 0; i < ring.size(); ++i)
            if (ring[i].state == Slot::Free) { s = (int)i; break; }
        if (s < 0 && !ready.empty()) { // consumer behind: drop the oldest frame
            s = ready.front();
            ready.pop_front();
            ++dropped;
        }
        if (s < 0) { // every slot is being read
            ++dropped;
            continue;
        }
        Slot &slot = ring[(size_t)s];
        slot.state = Slot::Writing;
        FrameRequest req = make_request(false, now);
        req.exposure_us = exp_ns / 1000;
        req.drift_x = guiding.x_at(t_end);
        req.drift_y = guiding.y_at(t_end);
        scene_frame(id, t_end - exp_ns, t_end, req);
        req.frame_index = frame_counter++;
        const bool autos = autov[ORX_CTL_EXPOSURE] || autov[ORX_CTL_GAIN];
        std::shared_ptr<const std::vector<uint8_t>> keep = dark;
        uint8_t *dst = slot.data.get();
        lk.unlock();
        render_frame(req, dst, bytes);
        const double brightness = autos ? frame_brightness(dst, req.width, req.height, bytes_per_pixel(req.img_type)) : 0;
        keep.reset();
        lk.lock();
        if (!video || video_gen != gen) {
            slot.state = Slot::Free;
            cv.notify_all();
            break;
        }
        if (autos) auto_adjust(brightness);
        slot.state = Slot::Ready;
        slot.stamp = FrameStamp{utc_us_at(t_start), r.line_ns};
        ready.push_back(s);
        note_frame(slot.stamp);
        cv.notify_all();
    }
    cv.notify_all();
}

int32_t Camera::get_video_data(std::unique_lock<std::mutex> &lk, unsigned char *buf, int32_t size,
                               int32_t wait_ms, GpsDataRecord *gps, bool want_gps) {
    if (want_gps && !model().gps) return ORX_ERROR_GPS_NOT_SUPPORTED;
    if (!video) return ORX_ERROR_INVALID_SEQUENCE;
    const size_t bytes = video_bytes;
    if (size < 0 || (size_t)size < bytes) return ORX_ERROR_BUFFER_TOO_SMALL;
    if (!buf) return ORX_ERROR_GENERAL;
    const uint64_t gen = video_gen, my_life = life;
    auto pred = [&] {
        return !ready.empty() || !video || video_gen != gen || !open || !plugged.load() || life != my_life;
    };
    if (wait_ms < 0) cv.wait(lk, pred);
    else cv.wait_for(lk, std::chrono::milliseconds(wait_ms), pred);
    if (!plugged.load() || retired || life != my_life) return ORX_ERROR_CAMERA_REMOVED;
    if (!open) return ORX_ERROR_CAMERA_CLOSED;
    if (!video || video_gen != gen) return ORX_ERROR_INVALID_SEQUENCE;
    if (ready.empty()) return ORX_ERROR_TIMEOUT;
    const int s = ready.front();
    ready.pop_front();
    Slot &slot = ring[(size_t)s];
    slot.state = Slot::Reading;
    const uint8_t *src = slot.data.get();
    const int64_t start_utc = slot.stamp.start_utc_us;
    lk.unlock();
    std::memcpy(buf, src, bytes);
    if (want_gps) fill_gps(gps, start_utc);
    lk.lock();
    slot.state = Slot::Free;
    cv.notify_all();
    return ORX_SUCCESS;
}

int32_t Camera::get_dropped(int32_t *out) {
    if (!out) return ORX_ERROR_GENERAL;
    *out = dropped;
    return ORX_SUCCESS;
}

} // namespace orxsim
