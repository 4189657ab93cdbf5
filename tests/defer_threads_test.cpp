// Deferred calls and clocks from threads that are not the scheduler: a thread an external starts
// for itself (no patch is current there) and a thread that sends messages. Every call must reach
// the scheduler of the object's patch and run there, once, in the order it was made, while the
// scheduler fires clocks and blocks run; clocks set and unset there must fire (or not) as asked.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <ext.h>

#include "support.h"

namespace {

// The host's own functions, as an external calls them, from the MaxAPI library the externals
// loaded (this program links only the runtime).
struct Api {
    void *(*defer)(void *, method, t_symbol *, short, t_atom *) = nullptr;
    void *(*defer_low)(void *, method, t_symbol *, short, t_atom *) = nullptr;
    t_clock *(*clock_new)(void *, method) = nullptr;
    void (*clock_delay)(t_clock *, long) = nullptr;
    void (*clock_fdelay)(t_clock *, double) = nullptr;
    void (*clock_unset)(t_clock *) = nullptr;
    void (*clock_set)(t_clock *, long) = nullptr;
    void (*clock_fset)(t_clock *, double) = nullptr;
    long (*gettime)() = nullptr;
    void (*clock_getftime)(double *) = nullptr;
    void (*freeobject)(void *) = nullptr;
    t_symbol *(*gensym)(const char *) = nullptr;
    bool ok() const {
        return defer && defer_low && clock_new && clock_delay && clock_fdelay && clock_unset && clock_set && clock_fset && gettime &&
               clock_getftime && freeobject && gensym;
    }
};

template <class F>
void find(F &f, const char *name) {
#ifdef _WIN32
    HMODULE m = GetModuleHandleA("MaxAPI.dll");
    f = m ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name))) : nullptr;
#else
    // the copy the externals loaded (by its name, so whichever the loader found for them)
    void *m = ::dlopen("libMaxAPI.so", RTLD_NOW | RTLD_NOLOAD);
    f = m ? reinterpret_cast<F>(::dlsym(m, name)) : nullptr;
#endif
}

Api host_api() {
    Api a;
    find(a.defer, "defer");
    find(a.defer_low, "defer_low");
    find(a.clock_new, "clock_new");
    find(a.clock_delay, "clock_delay");
    find(a.clock_fdelay, "clock_fdelay");
    find(a.clock_unset, "clock_unset");
    find(a.clock_set, "clock_set");
    find(a.clock_fset, "clock_fset");
    find(a.gettime, "gettime");
    find(a.clock_getftime, "clock_getftime");
    find(a.freeobject, "freeobject");
    find(a.gensym, "gensym");
    return a;
}

// What the calls and clock routines saw. The log is written on the scheduler thread only and
// read once the threads are joined.
struct Seen {
    std::thread::id scheduler;
    std::vector<std::pair<char, long>> calls;  // ('d' defer / 'l' defer_low, the caller's number)
    std::atomic<long> ran{0};
    std::atomic<long> elsewhere{0};  // calls and clock routines that ran on another thread
    std::atomic<long> a_fired{0}, b_fired{0}, c_fired{0}, d_fired{0};
    std::atomic<long> a_set{-1}, a_last_seen{-1};  // the caller's number when it set clock A; at its firing
    void where() {
        if (std::this_thread::get_id() != scheduler) elsewhere.fetch_add(1);
    }
};
Seen *seen = nullptr;

// a routine registered as `method`, called back through its real type
template <class F>
method as_method(F *f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

void deferred_call(void *, t_symbol *s, short ac, t_atom *av) {
    seen->where();
    seen->calls.emplace_back(s && s->s_name[0] == 'l' ? 'l' : 'd', ac == 1 && av[0].a_type == A_LONG ? long(av[0].a_w.w_long) : -1);
    seen->ran.fetch_add(1);
}
void tick_a(void *) {
    seen->where();
    seen->a_fired.fetch_add(1);
    seen->a_last_seen.store(seen->a_set.load());
}
void tick_b(void *) {
    seen->where();
    seen->b_fired.fetch_add(1);
}
void tick_c(void *) {
    seen->where();
    seen->c_fired.fetch_add(1);
}
void tick_d(void *) {
    seen->where();
    seen->d_fired.fetch_add(1);
}

// A patch whose clocks fire every block (blocktick~ sets one from each perform routine, the
// meter one per window) and three clocks of the test's own for blocktick~'s object, made inside
// the patch (from a feed, as a new routine would make them).
struct Scene {
    tk::Patch p{48000.0, 64};
    tk::Box *ticks = nullptr, *meter = nullptr;
    t_clock *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
    Api api;
    Scene() {
        ticks = p.create("blocktick~");
        meter = p.create("levelmeter~ 64 16");
        if (!ticks || !meter) return;
        api = host_api();
        if (!api.ok()) return;
        p.feed(meter, 0, [this](double *out, long n, std::int64_t) {
            if (!a) {
                a = api.clock_new(ticks->object(), as_method(tick_a));
                b = api.clock_new(ticks->object(), as_method(tick_b));
                c = api.clock_new(ticks->object(), as_method(tick_c));
                d = api.clock_new(ticks->object(), as_method(tick_d));
            }
            std::fill(out, out + n, 0.25);
        });
        p.run_blocks(1);
    }
    bool ready() const { return ticks && meter && api.ok() && a && b && c && d; }
    ~Scene() {
        for (t_clock *k : {a, b, c, d})
            if (k) api.freeobject(k);
    }
};

constexpr long kCalls = 4000;

// The foreign thread: each kind of call, kCalls times, as fast as it can.
void call_from_a_thread_of_its_own(Scene &s) {
    void *ob = s.ticks->object();
    t_symbol *d = s.api.gensym("d"), *l = s.api.gensym("l");
    for (long k = 0; k < kCalls; ++k) {
        t_atom at;
        at.a_type = A_LONG;
        at.a_w.w_long = k;
        s.api.defer(ob, as_method(deferred_call), d, 1, &at);
        s.api.defer_low(ob, as_method(deferred_call), l, 1, &at);
        seen->a_set.store(k);
        s.api.clock_delay(s.a, 0);
        s.api.clock_fdelay(s.b, 0.5);
        // far beyond the run: the unset must hold
        if (k % 2)
            s.api.clock_set(s.c, 2000000000L);
        else
            s.api.clock_delay(s.c, 1000000000L);
        s.api.clock_unset(s.c);
        s.api.clock_fset(s.d, k % 2 ? 0.0 : 1.5);  // a time past: at the scheduler's next turn
        if (k % 64 == 0) std::this_thread::yield();
    }
}

void expect_everything_ran(const Seen &v, const std::string &mode) {
    ASSERT_EQ(v.ran.load(), 2 * kCalls) << mode << ": deferred calls from the other thread that never ran";
    // in the order they were made: defer, then defer_low, for each number
    for (long i = 0; i < 2 * kCalls; ++i) {
        const std::pair<char, long> want{i % 2 ? 'l' : 'd', i / 2};
        ASSERT_EQ(v.calls[std::size_t(i)], want) << mode << ": call " << i << " out of order";
    }
    EXPECT_EQ(v.elsewhere.load(), 0) << mode << ": calls or clock routines that ran outside the scheduler thread";
    EXPECT_GE(v.a_fired.load(), 1) << mode;
    EXPECT_LE(v.a_fired.load(), kCalls) << mode;
    EXPECT_EQ(v.a_last_seen.load(), kCalls - 1) << mode << ": the last clock_delay was lost";
    EXPECT_GE(v.b_fired.load(), 1) << mode;
    EXPECT_EQ(v.c_fired.load(), 0) << mode << ": a clock unset at once still fired";
    EXPECT_GE(v.d_fired.load(), 1) << mode << ": a clock set at a logical time";
    EXPECT_LE(v.d_fired.load(), kCalls) << mode;
}

// Clocks set at a logical time of the patch (clock_set, clock_fset): they fire when time reaches
// it and not before, a time already past fires at the next turn, a new setting replaces the last,
// and the routine sees the time it was set for (clock_getftime, gettime).
double fired_at = -1.0;
long fired_gettime = -1;
Api *timing_api = nullptr;
void tick_timed(void *) {
    timing_api->clock_getftime(&fired_at);
    fired_gettime = timing_api->gettime();
}

TEST(DeferThreads, ClocksSetAtALogicalTime) {
    tk::Patch p(48000.0, 64);
    tk::Box *b = p.create("blocktick~");
    ASSERT_TRUE(b);
    Api api = host_api();
    ASSERT_TRUE(api.ok()) << "clock_set, clock_fset, gettime or clock_getftime is not exported";
    timing_api = &api;
    t_clock *k = api.clock_new(b->object(), as_method(tick_timed));
    ASSERT_TRUE(k);
    p.advance(100.0);
    const double t0 = p.now_ms();
    api.clock_fset(k, t0 + 50.25);
    p.advance(50.0);
    EXPECT_EQ(fired_at, -1.0) << "fired before its time";
    p.advance(0.5);
    EXPECT_EQ(fired_at, t0 + 50.25);
    EXPECT_EQ(fired_gettime, long(t0) + 50);

    fired_at = -1.0;
    api.clock_set(k, 20);  // long past
    p.advance(0.25);
    EXPECT_EQ(fired_at, t0 + 50.5) << "a time past fires at the next turn, at the time then";

    fired_at = -1.0;
    const double t1 = p.now_ms();
    api.clock_fset(k, t1 + 40.0);
    api.clock_set(k, long(t1) + 10);  // replaces the first setting
    p.advance(100.0);
    EXPECT_EQ(fired_at, double(long(t1) + 10));

    fired_at = -1.0;
    api.clock_set(k, long(p.now_ms()) + 5);
    api.clock_unset(k);
    api.clock_fset(k, std::nan(""));  // no time at all: now
    api.clock_unset(k);
    p.advance(10.0);
    EXPECT_EQ(fired_at, -1.0) << "an unset clock fired";

    // from the audio thread of the two-thread mode: handed over to the scheduler, which takes the
    // time as a logical time when it applies it
    tk::Box *m = p.create("levelmeter~");
    ASSERT_TRUE(m);
    fired_at = -1.0;
    const double t2 = p.now_ms();
    bool armed = false;
    p.feed(m, 0, [&](double *out, long n, std::int64_t) {
        std::fill(out, out + n, 0.0);
        if (!armed) api.clock_fset(k, t2 + 3.0);
        armed = true;
    });
    p.set_threaded(true);
    p.compile();
    p.audio_block();
    ASSERT_TRUE(armed);
    p.scheduler_tick(t2 + 2.0);
    EXPECT_EQ(fired_at, -1.0);
    p.scheduler_tick(t2 + 4.0);
    EXPECT_EQ(fired_at, t2 + 3.0);
    EXPECT_EQ(p.audio_allocations(), 0);
    api.freeobject(k);
    timing_api = nullptr;
}

// One thread runs the blocks and fires the clocks (the scheduler of a patch without an audio
// thread of its own); another calls.
TEST(DeferThreads, CallsFromAThreadOfItsOwnRunOnTheSchedulerInOrder) {
    Scene s;
    ASSERT_TRUE(s.ready()) << "the boxes or the host's functions";
    Seen v;
    seen = &v;
    v.scheduler = std::this_thread::get_id();
    std::atomic<bool> done{false};
    std::thread caller([&] {
        call_from_a_thread_of_its_own(s);
        done = true;
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done.load() && std::chrono::steady_clock::now() < until) s.p.run_blocks(1);
    caller.join();
    while (v.ran.load() < 2 * kCalls && std::chrono::steady_clock::now() < until) s.p.run_blocks(1);
    s.p.run_blocks(16);
    s.p.advance(10.0);
    expect_everything_ran(v, "one thread for blocks and clocks");
    EXPECT_GT(s.ticks->events().size(), 16u) << "blocktick~'s clock";
    seen = nullptr;
}

// The two-thread mode: an audio thread runs the blocks, a scheduler thread fires the clocks, and
// a third thread calls. The audio thread still allocates nothing.
TEST(DeferThreads, CallsFromAThirdThreadBesideTheAudioAndSchedulerThreads) {
    Scene s;
    ASSERT_TRUE(s.ready()) << "the boxes or the host's functions";
    s.p.set_threaded(true);
    s.p.compile();
    Seen v;
    seen = &v;
    std::atomic<bool> called{false}, stop{false}, scheduling{false};
    std::atomic<std::int64_t> played{0}, ticked{0};
    const double sr = 48000.0;
    std::thread scheduler([&] {
        v.scheduler = std::this_thread::get_id();
        scheduling.store(true);  // the id is written before, and read after (release, acquire)
        while (!stop.load()) {
            const std::int64_t frames = played.load();
            s.p.scheduler_tick(double(frames) * 1000.0 / sr);
            ticked.store(frames);
            std::this_thread::yield();
        }
        s.p.scheduler_tick(double(played.load()) * 1000.0 / sr + 10.0);
    });
    std::thread audio([&] {
        while (!stop.load()) {
            s.p.audio_block();
            played.store(s.p.samples_processed());
            while (!stop.load() && played.load() - ticked.load() > 16 * 64) std::this_thread::yield();
        }
    });
    while (!scheduling.load()) std::this_thread::yield();
    std::thread caller([&] {
        call_from_a_thread_of_its_own(s);
        called = true;
    });
    caller.join();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (v.ran.load() < 2 * kCalls && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    // a few more blocks and ticks, so that the last clocks set have come due
    const std::int64_t then = played.load();
    while (played.load() < then + 32 * 64 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    stop = true;
    audio.join();
    scheduler.join();
    expect_everything_ran(v, "audio and scheduler threads");
    EXPECT_EQ(s.p.audio_allocations(), 0) << "the audio thread allocated";
    EXPECT_EQ(s.p.clock_handoffs_dropped(), 0);
    seen = nullptr;
}

// Messages sent from a second thread whose routine defers (the SDK's example simpwave~ defers its
// `set`) while the first runs blocks and fires clocks: the calls land in the patch's clock list
// from that thread. Nothing may crash, and the box keeps working.
TEST(DeferThreads, AMessageThatDefersFromASecondThread) {
    const std::string examples = std::string(TILDEKIT_BINARY_DIR) + "/sdk-examples";
    if (!std::filesystem::exists(examples + "/simpwave~" + tk::module_extension())) GTEST_SKIP() << "no SDK examples built";
    tk::add_search_path(examples);
    tk::ConsoleCapture quiet;  // the deferred `set` posts about the missing buffers
    tk::Patch p(48000.0, 64);
    tk::Box *w = p.create("simpwave~");
    tk::Box *ticks = p.create("blocktick~");
    ASSERT_TRUE(w && ticks);
    p.feed(w, 0, [](double *out, long n, std::int64_t) { std::fill(out, out + n, 0.5); });
    p.capture(w, 0);
    p.run_blocks(1);
    std::atomic<bool> done{false};
    std::thread sender([&] {
        tk::ConsoleCapture own;
        for (int k = 0; k < 3000; ++k) p.send_text(w, 0, k % 2 ? "set nothing_here" : "set other");
        done = true;
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done.load() && std::chrono::steady_clock::now() < until) p.run_blocks(1);
    sender.join();
    p.run_blocks(8);
    EXPECT_TRUE(done.load());
    EXPECT_GT(ticks->events().size(), 8u);
    for (double x : p.output(w, 0)) ASSERT_TRUE(std::isfinite(x));
}

}  // namespace
