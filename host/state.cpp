// The runtime's one state, the symbol table and the lookup from an instance to its record.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"

// Flags for allocation interposers, which must not touch anything that allocates: plain
// thread-locals in the static TLS block (initial-exec), and one process-wide count.
extern "C" {
std::atomic<int> tildekit_performing{0};
TILDEKIT_THREAD_LOCAL bool tildekit_performing_here TILDEKIT_TLS_MODEL = false;
TILDEKIT_THREAD_LOCAL std::int64_t tildekit_allocations_here TILDEKIT_TLS_MODEL = 0;
}

namespace tk::detail {

Runtime &rt() {
    // lives until the process ends, like the classes
    static Runtime *r = [] {
        static t_object chain_header{};
        auto *x = new Runtime();
        x->chain_object = &chain_header;
        return x;
    }();
    return *r;
}

namespace {
thread_local PatchState *current TILDEKIT_TLS_MODEL = nullptr;
thread_local PatchState *audio_current TILDEKIT_TLS_MODEL = nullptr;
thread_local int loading_depth TILDEKIT_TLS_MODEL = 0;
}  // namespace

PatchState &loose_state() {
    static PatchState *s = new PatchState();
    return *s;
}
PatchState &here() { return current ? *current : loose_state(); }
Enter::Enter(PatchState &s) : prev(current) { current = &s; }
Enter::~Enter() { current = prev; }
PatchState *audio_state_here() { return audio_current; }
void set_audio_state_here(PatchState *s) { audio_current = s; }

void defer_call(PatchState &s, std::function<void()> f) { s.deferred.push_back(std::move(f)); }
void run_deferred(PatchState &s) {
    // calls deferred by deferred calls run on the next round
    for (int round = 0; round < 64 && !s.deferred.empty(); ++round) {
        auto calls = std::move(s.deferred);
        s.deferred.clear();
        for (auto &f : calls) f();
    }
}

void ClockHandoff::reserve(std::size_t n) {
    std::size_t cap = 256;
    while (cap < n) cap *= 2;
    if (cap <= ring_.size()) return;
    // nothing is in flight here: the audio thread is not running
    ring_.assign(cap, ClockOp{nullptr, 0.0, false});
    mask_ = cap - 1;
    head_.store(0);
    tail_.store(0);
}

bool ClockHandoff::push(const ClockOp &op) {
    const std::size_t h = head_.load(std::memory_order_relaxed);
    if (ring_.empty() || h - tail_.load(std::memory_order_acquire) >= ring_.size()) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    ring_[h & mask_] = op;
    head_.store(h + 1, std::memory_order_release);
    return true;
}

LoadingLock::LoadingLock() {
    rt().loading_lock.lock();
    loading_depth++;
}
LoadingLock::~LoadingLock() {
    loading_depth--;
    rt().loading_lock.unlock();
}
bool loading_here() { return loading_depth > 0; }

t_symbol *intern(const char *s) {
    std::lock_guard lock(rt().symbols_lock);
    auto &m = rt().symbols;
    auto it = m.find(s);
    if (it != m.end()) return it->second.get();
    auto sym = std::make_unique<t_symbol>();
    auto [pos, ok] = m.emplace(std::string(s), nullptr);
    sym->s_name = const_cast<char *>(pos->first.c_str());
    sym->s_thing = nullptr;
    pos->second = std::move(sym);
    return pos->second.get();
}

ObjRec *find_object(const void *x) {
    std::lock_guard lock(rt().objects_lock);
    auto it = rt().objects.find(x);
    return it == rt().objects.end() ? nullptr : it->second.get();
}

void add_object(const void *x, std::unique_ptr<ObjRec> rec) {
    std::lock_guard lock(rt().objects_lock);
    rt().objects[x] = std::move(rec);
}

void remove_object(const void *x) {
    std::unique_ptr<ObjRec> gone;  // destroyed outside the lock
    std::lock_guard lock(rt().objects_lock);
    auto it = rt().objects.find(x);
    if (it == rt().objects.end()) return;
    gone = std::move(it->second);
    rt().objects.erase(it);
}

std::string class_name_of(const void *x) {
    if (ObjRec *r = find_object(x)) return r->cls->info.name;
    if (!x && loading_here() && rt().defining) return rt().defining->info.name;
    return "";
}

}  // namespace tk::detail
