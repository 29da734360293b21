// calllog.cpp - call log, call counters and scripted answers.
//
// The log is a ring of 65536 binary records written without a lock: a writer
// claims a sequence number with one atomic add and fills its slot under a
// per-slot sequence word (a seqlock, ordered by read-modify-writes rather than
// fences); lines are formatted only when read. Byte
// arguments (the dark-frame path, the id record) are rare and are kept in a
// string beside the slot under a small mutex. The counters are relaxed atomics.
//
// Injections are queued per function behind one mutex; the common path only
// reads the atomic `g_inject_pending` (0 when nothing is queued).
#include "internal.hpp"

#include <cstdio>
#include <cstring>

namespace orxsim {

namespace {

const char *const kNames[F_COUNT] = {
#define ORXSIM_NAME(n) "ORX" #n,
    ORXSIM_FUNCTIONS(ORXSIM_NAME)
#undef ORXSIM_NAME
};

constexpr uint64_t kLogSize = 65536;
constexpr int kMaxArgs = 6;

struct LogSlot {
    std::atomic<uint64_t> seq{0};   // 2n+1 while record n is written, 2n+2 when complete
    std::atomic<uint32_t> meta{0};  // fn | nargs << 8 | kinds (2 bits each) << 12
    std::atomic<int64_t> a[kMaxArgs];
    std::string bytes;              // guarded by Log::bytes_mu
};

struct Log {
    std::atomic<uint64_t> head{0};  // records ever written
    std::atomic<uint64_t> base{0};  // records before this one are cleared
    std::atomic<int64_t> counts[F_COUNT];
    std::mutex bytes_mu;
    LogSlot slots[kLogSize];
    Log() {
        for (auto &c : counts) c.store(0);
    }
};

Log &L() {
    static Log *l = new Log();
    return *l;
}

struct Injection {
    int32_t status;
    int32_t remaining; // -1: forever
    bool has_out;
    std::vector<uint8_t> out;
};

struct Inject {
    std::mutex mu;
    std::deque<Injection> q[F_COUNT];
};

Inject &INJ() {
    static Inject *i = new Inject();
    return *i;
}

void hex(std::string &s, const std::string &b) {
    static const char *digits = "0123456789abcdef";
    s += "x'";
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    s += '\'';
}

} // namespace

std::atomic<int> g_inject_pending{0};

const char *fn_name(int f) { return (f >= 0 && f < F_COUNT) ? kNames[f] : "?"; }

int fn_lookup(const char *name) {
    if (!name) return -1;
    for (int i = 0; i < F_COUNT; ++i)
        if (std::strcmp(name, kNames[i]) == 0) return i;
    return -1;
}

void log_call(Fn f, const Arg *args, int n, const void *bytes, size_t nbytes) {
    Log &l = L();
    l.counts[f].fetch_add(1, std::memory_order_relaxed);
    const uint64_t r = l.head.fetch_add(1, std::memory_order_relaxed);
    LogSlot &s = l.slots[r & (kLogSize - 1)];
    // an acquire read-modify-write keeps the field stores below after it
    // (no fences: ThreadSanitizer does not model them)
    s.seq.exchange(2 * r + 1, std::memory_order_acquire);
    uint32_t meta = (uint32_t)f | (uint32_t)n << 8;
    for (int i = 0; i < n && i < kMaxArgs; ++i) {
        meta |= (uint32_t)args[i].k << (12 + 2 * i);
        s.a[i].store(args[i].v, std::memory_order_relaxed);
    }
    s.meta.store(meta, std::memory_order_relaxed);
    bool has_bytes = false;
    for (int i = 0; i < n; ++i) has_bytes |= args[i].k == Arg::Bytes;
    if (has_bytes) {
        std::lock_guard<std::mutex> g(l.bytes_mu);
        s.bytes.assign((const char *)bytes, nbytes);
    }
    s.seq.store(2 * r + 2, std::memory_order_release);
}

int64_t call_count(int f) {
    if (f < 0 || f >= F_COUNT) return -1;
    return L().counts[f].load(std::memory_order_relaxed);
}

int32_t log_count() {
    Log &l = L();
    uint64_t h = l.head.load(std::memory_order_acquire);
    uint64_t b = l.base.load(std::memory_order_acquire);
    uint64_t first = h > kLogSize ? h - kLogSize : 0;
    if (b > first) first = b;
    return (int32_t)(h - first);
}

int32_t log_entry(int32_t index, char *buf, int32_t buflen) {
    Log &l = L();
    if (index < 0) return -1;
    uint64_t h = l.head.load(std::memory_order_acquire);
    uint64_t b = l.base.load(std::memory_order_acquire);
    uint64_t first = h > kLogSize ? h - kLogSize : 0;
    if (b > first) first = b;
    uint64_t r = first + (uint64_t)index;
    if (r >= h) return -1;
    LogSlot &s = l.slots[r & (kLogSize - 1)];
    std::string line;
    for (int attempt = 0;; ++attempt) {
        uint64_t s1 = s.seq.load(std::memory_order_acquire);
        if (s1 > 2 * r + 2) return -1;  // overwritten meanwhile
        if (s1 != 2 * r + 2) {         // still being written
            if (attempt > 100000) return -1;
            std::this_thread::yield();
            continue;
        }
        uint32_t meta = s.meta.load(std::memory_order_relaxed);
        int64_t a[kMaxArgs];
        for (int i = 0; i < kMaxArgs; ++i) a[i] = s.a[i].load(std::memory_order_relaxed);
        std::string bytes;
        int n = (int)((meta >> 8) & 15);
        bool has_bytes = false;
        for (int i = 0; i < n; ++i) has_bytes |= ((meta >> (12 + 2 * i)) & 3) == Arg::Bytes;
        if (has_bytes) {
            std::lock_guard<std::mutex> g(l.bytes_mu);
            bytes = s.bytes;
        }
        // a release read-modify-write keeps the field loads above before it
        if (s.seq.fetch_add(0, std::memory_order_release) != s1) continue;
        line = fn_name((int)(meta & 0xFF));
        line += '(';
        for (int i = 0; i < n; ++i) {
            if (i) line += ", ";
            switch ((meta >> (12 + 2 * i)) & 3) {
            case Arg::Int: line += std::to_string(a[i]); break;
            case Arg::Ptr: line += '*'; break;
            case Arg::Null: line += "NULL"; break;
            default: hex(line, bytes); break;
            }
        }
        line += ')';
        break;
    }
    if (buf && buflen > 0) {
        size_t c = line.size() < (size_t)buflen - 1 ? line.size() : (size_t)buflen - 1;
        std::memcpy(buf, line.data(), c);
        buf[c] = 0;
    }
    return (int32_t)line.size();
}

void log_clear() {
    Log &l = L();
    l.base.store(l.head.load(std::memory_order_acquire), std::memory_order_release);
}

void log_reset() {
    Log &l = L();
    log_clear();
    for (auto &c : l.counts) c.store(0, std::memory_order_relaxed);
}

bool inject_take(Fn f, Injected &out) {
    Inject &in = INJ();
    std::lock_guard<std::mutex> g(in.mu);
    auto &q = in.q[f];
    if (q.empty()) return false;
    Injection &e = q.front();
    out.status = e.status;
    out.has_out = e.has_out;
    out.out = e.out;
    if (e.remaining > 0 && --e.remaining == 0) {
        q.pop_front();
        if (q.empty()) g_inject_pending.fetch_sub(1, std::memory_order_relaxed);
    }
    return true;
}

int inject_add(const char *function, int32_t status, int32_t count, const void *out, int32_t outlen) {
    int f = fn_lookup(function);
    if (f < 0) return -1;
    if (count == 0 || count < -1) return 0;
    Injection e;
    e.status = status;
    e.remaining = count;
    e.has_out = out != nullptr;
    if (out && outlen > 0) e.out.assign((const uint8_t *)out, (const uint8_t *)out + outlen);
    Inject &in = INJ();
    std::lock_guard<std::mutex> g(in.mu);
    if (in.q[f].empty()) g_inject_pending.fetch_add(1, std::memory_order_relaxed);
    in.q[f].push_back(std::move(e));
    return 0;
}

void inject_clear() {
    Inject &in = INJ();
    std::lock_guard<std::mutex> g(in.mu);
    for (auto &q : in.q) q.clear();
    g_inject_pending.store(0, std::memory_order_relaxed);
}

} // namespace orxsim
