// The host across threads: patches running side by side on threads of their own give what
// each gives alone; one patch with its DSP chain on an audio thread and its clocks and
// messages on a scheduler thread; taps; console captures that belong to one thread.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "support.h"

// The allocation interposer of the tilde command, so that the C library calls of perform
// routines are counted here too (not where a sanitizer or another C library owns malloc).
#if defined(__GLIBC__) && !defined(_WIN32) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define THREADS_TEST_WATCHES_LIBC 1
#include "../tools/alloc_watch.cpp"
#endif

namespace {

const bool fixtures_registered = (tk::add_search_path(TILDEKIT_FIXTURE_DIR), true);

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_events(const std::vector<tk::Event> &a, const std::vector<tk::Event> &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].sample != b[i].sample || a[i].outlet != b[i].outlet || a[i].kind != b[i].kind ||
            std::memcmp(&a[i].time_ms, &b[i].time_ms, sizeof(double)) != 0 ||
            std::memcmp(&a[i].value, &b[i].value, sizeof(double)) != 0)
            return false;
    return true;
}

// Two threads meet here: each waits (a bounded time) until the other has arrived too.
struct Meeting {
    std::atomic<int> arrived{0};
    bool meet() {
        arrived.fetch_add(1);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (arrived.load() < 2)
            if (std::chrono::steady_clock::now() > until) return false;
            else std::this_thread::yield();
        return true;
    }
};

struct Outcome {
    std::vector<double> band, squash;
    std::vector<tk::Event> meter, ticks;
    std::vector<tk::ConsoleLine> console;
    double now = 0;
    bool met = true;
};

// A patch of real externals: noise through a resonator into a compressor and a meter, beside a
// block counter; messages at set blocks, one of them refused (posted on the console). Where
// `meeting` is given, the feed waits inside a block for the other thread to be inside one too.
Outcome play(double sr, int block, unsigned seed, int blocks, Meeting *meeting) {
    Outcome o;
    tk::ConsoleCapture console;
    tk::Patch p(sr, block);
    tk::Box *band = p.create("bandres~ 1000 10");
    tk::Box *squash = p.create("stereosquash~");
    tk::Box *meter = p.create("levelmeter~ 1024 100");
    tk::Box *ticks = p.create("blocktick~");
    if (!band || !squash || !meter || !ticks) {
        ADD_FAILURE() << "a box was not created";
        return o;
    }
    const std::vector<double> noise = tkt::noise(std::size_t(blocks) * std::size_t(block), 0.5, seed);
    const std::int64_t meet_at = std::int64_t(blocks / 2) * block;
    p.feed(band, 0, [&](double *out, long n, std::int64_t start) {
        if (meeting && start == meet_at) o.met = meeting->meet();
        for (long i = 0; i < n; ++i) out[i] = noise[std::size_t(start + i)];
    });
    p.connect(band, 0, squash, 0);
    p.connect(band, 0, squash, 1);
    p.connect(squash, 0, meter, 0);
    p.capture(band, 0);
    p.capture(squash, 0);
    for (int b = 0; b < blocks; ++b) {
        if (b == blocks / 3) {
            p.send_float(band, 1, 2500.0);
            p.send(squash, "thresh", {-30.0});
            p.send(squash, "ratio", {8.0});
        }
        if (b == blocks / 2) p.send(squash, "no-such-message", {1});
        p.run_blocks(1);
    }
    p.advance(25.0);
    o.band = p.output(band, 0);
    o.squash = p.output(squash, 0);
    o.meter = meter->events();
    o.ticks = ticks->events();
    o.now = p.now_ms();
    o.console = console.lines();
    return o;
}

void expect_same(const Outcome &alone, const Outcome &beside, const std::string &what) {
    EXPECT_TRUE(same_bits(alone.band, beside.band)) << what << ": bandres~ output";
    EXPECT_TRUE(same_bits(alone.squash, beside.squash)) << what << ": stereosquash~ output";
    EXPECT_TRUE(same_events(alone.meter, beside.meter)) << what << ": levelmeter~ events";
    EXPECT_TRUE(same_events(alone.ticks, beside.ticks)) << what << ": blocktick~ events";
    EXPECT_EQ(alone.now, beside.now) << what;
    // the errors; posts differ by the banners of the classes the thread happened to load
    auto errors = [](const Outcome &o) {
        std::vector<std::string> v;
        for (auto &l : o.console)
            if (l.kind == tk::ConsoleLine::Error) v.push_back(l.object + ": " + l.text);
        return v;
    };
    EXPECT_EQ(errors(alone), errors(beside)) << what;
}

// First in this program: both threads load the classes at the same time.
TEST(ThreadsPatches, TwoPatchesOnTwoThreadsGiveWhatEachGivesAlone) {
    struct Setting {
        double sr;
        int block;
        unsigned seed;
        int blocks;
    } a{48000.0, 64, 1, 300}, b{1234.5678, 7, 2, 900};
    Meeting meeting;
    Outcome beside_a, beside_b;
    std::thread ta([&] { beside_a = play(a.sr, a.block, a.seed, a.blocks, &meeting); });
    std::thread tb([&] { beside_b = play(b.sr, b.block, b.seed, b.blocks, &meeting); });
    ta.join();
    tb.join();
    // both were inside a block at once: nothing made one wait for the other's run
    EXPECT_TRUE(beside_a.met && beside_b.met) << "the two patches never ran blocks at the same time";
    Outcome alone_a = play(a.sr, a.block, a.seed, a.blocks, nullptr);
    Outcome alone_b = play(b.sr, b.block, b.seed, b.blocks, nullptr);
    expect_same(alone_a, beside_a, "48 kHz / 64");
    expect_same(alone_b, beside_b, "1234.5678 Hz / 7");
    // each patch's time, clocks and console are its own
    EXPECT_NEAR(alone_a.now, 300 * 64 * 1000.0 / 48000.0 + 25.0, 1e-9);
    EXPECT_NEAR(alone_b.now, 900 * 7 * 1000.0 / 1234.5678 + 25.0, 1e-9);
    ASSERT_EQ(beside_a.ticks.size(), 300u);
    ASSERT_EQ(beside_b.ticks.size(), 900u);
    EXPECT_EQ(beside_a.ticks.back().sample, 300 * 64);
    EXPECT_GT(beside_a.meter.size(), 10u);
    // a capture gets the lines of its own thread only: one error each, and the banners of the
    // four classes once in all, posted on whichever thread loaded each
    std::size_t posts = 0, banners = 0;
    for (const Outcome *o : {&beside_a, &beside_b}) {
        std::vector<const tk::ConsoleLine *> errors;
        for (auto &l : o->console) (l.kind == tk::ConsoleLine::Error ? errors.push_back(&l) : void(posts++));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0]->object, "stereosquash~");
        EXPECT_NE(errors[0]->text.find("no-such-message"), std::string::npos) << errors[0]->text;
    }
    for (const char *name : {"bandres~", "stereosquash~", "levelmeter~", "blocktick~"}) banners += tk::load_class(name).banner.size();
    EXPECT_EQ(posts, banners);
}

// Many threads ask for the same classes at once: each is loaded once, and every box works.
TEST(ThreadsPatches, ManyThreadsCreatingTheSameBoxes) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    std::atomic<bool> go{false};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            tk::ConsoleCapture quiet;
            tk::Patch p(44100.0 + t, 1 + t);
            tk::Box *x = p.create(t % 2 ? "peakguard~" : "noisedoor~");
            if (x && p.process(x, {tkt::sine(500, 440.0, 44100.0)}, 500).size() >= 1) ok++;
        });
    go = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(ok.load(), 6);
    EXPECT_EQ(tk::load_class("peakguard~").name, "peakguard~");
}

TEST(ThreadsPatches, EachPatchHasItsOwnTime) {
    tk::Patch first(48000.0, 64);
    first.advance(500.0);
    tk::Patch second(48000.0, 64);
    EXPECT_EQ(second.now_ms(), 0.0);
    tk::Box *ticks = second.create("blocktick~");
    second.run_blocks(3);
    first.run_blocks(10);  // runs no clock of the other patch
    ASSERT_EQ(ticks->events().size(), 3u);
    EXPECT_NEAR(ticks->events()[2].time_ms, 3 * 64 * 1000.0 / 48000.0, 1e-9);
    EXPECT_NEAR(first.now_ms(), 500.0 + 10 * 64 * 1000.0 / 48000.0, 1e-9);
}

// ---- the two-thread mode ------------------------------------------------------------

// A constant -6 dB signal into a compressor (tapped) and a meter, a block counter; the audio
// thread runs blocks while the scheduler thread moves time along the frames played, sends
// messages and fires the clocks the perform routines set.
TEST(ThreadsTwoThreadMode, ClocksFireOnTheSchedulerAndMessagesLandWhileBlocksRun) {
    const double sr = 48000.0;
    const int block = 64, blocks = 1500;  // 2 s
    tk::Patch p(sr, block);
    tk::Box *squash = p.create("stereosquash~");
    tk::Box *meter = p.create("levelmeter~ 1024 256");
    tk::Box *ticks = p.create("blocktick~");
    ASSERT_TRUE(squash && meter && ticks);
    p.feed(squash, 0, [](double *out, long n, std::int64_t) { std::fill(out, out + n, 0.5); });
    p.feed(squash, 1, [](double *out, long n, std::int64_t) { std::fill(out, out + n, 0.5); });
    p.feed(meter, 0, [](double *out, long n, std::int64_t) { std::fill(out, out + n, 0.5); });
    std::vector<double> heard(std::size_t(blocks) * block, -1.0);  // written by the tap, no allocation
    std::size_t heard_at = 0;
    p.tap(squash, 0, [&](const double *x, long n) {
        if (heard_at + std::size_t(n) <= heard.size()) std::copy(x, x + n, heard.begin() + std::ptrdiff_t(heard_at));
        heard_at += std::size_t(n);
    });
    p.set_threaded(true);
    p.compile();
    ASSERT_TRUE(p.threaded());

    std::atomic<std::int64_t> played{0}, ticked{0};
    std::atomic<bool> audio_done{false};
    std::int64_t sent_at = -1;
    std::size_t events_in_ticks = 0, ticks_run = 0;
    std::thread scheduler([&] {
        bool last = false;
        while (!last) {
            last = audio_done.load();
            const std::int64_t frames = played.load();
            const std::size_t before = ticks->events().size() + meter->events().size();
            p.scheduler_tick(double(frames) * 1000.0 / sr);
            events_in_ticks += ticks->events().size() + meter->events().size() - before;
            ticks_run++;
            ticked.store(frames);
            if (sent_at < 0 && frames >= std::int64_t(blocks) * block / 4) {
                p.send(squash, "thresh", {-40.0});
                p.send(squash, "ratio", {8.0});
                p.send(squash, "attack", {1.0});
                sent_at = frames;
            }
            std::this_thread::yield();
        }
    });
    // The audio thread runs at most 16 blocks ahead of the last tick, as a device's period would
    // hold it back; a sleep cannot pace it where the system's timer ticks every 15 ms (Windows).
    std::thread audio([&] {
        for (int b = 0; b < blocks; ++b) {
            p.audio_block();
            played.store(p.samples_processed());
            while (played.load() - ticked.load() > 16 * block) std::this_thread::yield();
        }
        audio_done = true;
    });
    audio.join();
    scheduler.join();

    EXPECT_EQ(p.audio_allocations(), 0) << "the audio thread allocated";
    EXPECT_EQ(p.clock_handoffs_dropped(), 0);
    EXPECT_EQ(p.samples_processed(), std::int64_t(blocks) * block);
    ASSERT_EQ(heard_at, heard.size());
    // every event left inside a scheduler tick: the clocks the perform routines set fired there
    EXPECT_EQ(events_in_ticks, ticks->events().size() + meter->events().size());
    ASSERT_GE(ticks->events().size(), 1u);
    EXPECT_LE(ticks->events().size(), std::size_t(blocks));
    EXPECT_LE(ticks->events().size(), ticks_run);
    for (std::size_t k = 1; k < ticks->events().size(); ++k) {
        EXPECT_GE(ticks->events()[k].time_ms, ticks->events()[k - 1].time_ms);
        // (a block may hand its clock over before its frames are counted: the same count twice)
        EXPECT_GE(ticks->events()[k].sample, ticks->events()[k - 1].sample);
    }
    // the meter's levels, computed on the audio thread and sent from the scheduler: -6 dB
    // (levels the audio thread finished between two ticks go out as one: the latest)
    ASSERT_GE(meter->events().size(), 10u);
    for (const tk::Event &e : meter->events())
        if (e.sample >= 2048) {
            EXPECT_NEAR(e.value, 100.0 + 10.0 * std::log10(0.25), 1e-9) << e.sample;
        }
    // before the messages the compressor leaves -6 dB alone; after them it squashes it
    ASSERT_GE(sent_at, 0);
    for (std::size_t i = 0; i < std::size_t(block) * 10; ++i) ASSERT_EQ(heard[i], 0.5) << i;
    EXPECT_LT(std::abs(heard.back()), 0.05) << "the messages sent from the scheduler thread were not heard";
}

// Clocks set or unset on the audio thread go to the scheduler in the order they were set; none is
// fired by audio_block itself, and the delay counts from when the scheduler takes the clock.
// The scheduler records blocktick~'s bangs while another thread takes the recorded events away:
// every bang is taken exactly once, in order of time.
TEST(ThreadsTwoThreadMode, EventsTakenFromAnotherThreadAreNeitherLostNorRepeated) {
    tk::Patch p(48000.0, 16);
    tk::Box *b = p.create("blocktick~");
    ASSERT_NE(b, nullptr);
    constexpr int blocks = 20000;
    std::atomic<bool> done{false};
    std::vector<tk::Event> taken;
    std::thread taker([&] {
        while (!done.load()) {
            auto some = b->take_events();
            taken.insert(taken.end(), some.begin(), some.end());
            std::this_thread::yield();
        }
    });
    for (int k = 0; k < blocks; ++k) p.run_blocks(1);
    done = true;
    taker.join();
    auto rest = b->take_events();
    taken.insert(taken.end(), rest.begin(), rest.end());
    ASSERT_EQ(taken.size(), std::size_t(blocks));
    for (std::size_t i = 1; i < taken.size(); ++i) ASSERT_GT(taken[i].time_ms, taken[i - 1].time_ms) << "event " << i;
    EXPECT_TRUE(b->events().empty());
}

TEST(ThreadsTwoThreadMode, AudioBlockFiresNoClockAndTicksCatchUp) {
    tk::Patch p(44100.0, 64);
    tk::Box *ticks = p.create("blocktick~");
    p.set_threaded(true);
    p.compile();
    for (int b = 0; b < 50; ++b) p.audio_block();
    EXPECT_TRUE(ticks->events().empty()) << "a clock fired on the audio thread";
    EXPECT_EQ(p.now_ms(), 0.0);
    p.scheduler_tick(100.0);
    ASSERT_EQ(ticks->events().size(), 1u) << "fifty re-arms of one clock before a tick fire it once";
    EXPECT_EQ(ticks->events()[0].time_ms, 0.0);  // taken at time 0, due at once
    EXPECT_EQ(ticks->events()[0].sample, 50 * 64);
    EXPECT_EQ(p.now_ms(), 100.0);
    p.scheduler_tick(50.0);  // time never goes back
    EXPECT_EQ(p.now_ms(), 100.0);
    EXPECT_EQ(ticks->events().size(), 1u);
    p.audio_block();
    p.scheduler_tick(std::nan(""));
    ASSERT_EQ(ticks->events().size(), 2u);
    EXPECT_EQ(ticks->events()[1].time_ms, 100.0);
    // freeing the box drops what was handed over for its clock
    p.audio_block();
    p.free(ticks);
    p.scheduler_tick(200.0);
    EXPECT_EQ(p.now_ms(), 200.0);
    EXPECT_EQ(p.audio_allocations(), 0);
}

TEST(ThreadsTwoThreadMode, AllocationsOnTheAudioThreadAreCounted) {
    tk::Patch p(44100.0, 64);
    tk::Box *x = p.create("allocating~");
    ASSERT_NE(x, nullptr);
    p.feed(x, 0, [](double *out, long n, std::int64_t) { std::fill(out, out + n, 0.25); });
    p.tap(x, 0, [](const double *, long) {});
    p.set_threaded(true);
    p.compile();
    std::thread audio([&] {
        for (int b = 0; b < 10; ++b) p.audio_block();
    });
    audio.join();
#ifdef THREADS_TEST_WATCHES_LIBC
    // one malloc and one free per block, on the audio thread only
    EXPECT_EQ(p.audio_allocations(), 20);
#else
    EXPECT_EQ(p.audio_allocations(), 0) << "no interposer here: only the host's own allocations are seen";
#endif
    // the main thread allocating meanwhile counts for nobody's audio thread
    std::vector<int> v(1000, 1);
    EXPECT_EQ(v.size(), 1000u);
#ifndef _WIN32
    EXPECT_FALSE(tildekit_performing_here);
#endif
    EXPECT_EQ(tildekit_performing.load(), 0);
}

// ---- taps ---------------------------------------------------------------------------

TEST(ThreadsTaps, TapEqualsCaptureAndCountsAsConnected) {
    for (int block : {1, 7, 64, 4096}) {
        tk::Patch p(96000.0, block);
        tk::Box *band = p.create("bandres~ 3000 4");
        ASSERT_NE(band, nullptr);
        const std::vector<double> in = tkt::noise(9000, 0.5, 3);
        p.feed(band, 0, in);
        p.capture(band, 0);
        std::vector<double> tapped;
        tapped.reserve(16384);
        long calls = 0;
        p.tap(band, 0, [&](const double *x, long n) {
            EXPECT_EQ(n, block);
            tapped.insert(tapped.end(), x, x + n);
            calls++;
        });
        p.run(9000);
        EXPECT_TRUE(same_bits(tapped, p.output(band, 0))) << "block " << block;
        EXPECT_EQ(calls, (9000 + block - 1) / block);
        // untapped: no more calls; an uncaptured tapped outlet still computes
        p.untap(band, 0);
        p.run(block);
        EXPECT_EQ(calls, (9000 + block - 1) / block);
    }
    tk::Patch p;
    tk::Box *ticks = p.create("blocktick~");
    EXPECT_THROW(p.tap(ticks, 0, [](const double *, long) {}), tk::Error);
    tk::Box *band = p.create("bandres~");
    EXPECT_THROW(p.tap(band, 0, nullptr), tk::Error);
    tk::Patch other;
    EXPECT_THROW(other.tap(band, 0, [](const double *, long) {}), tk::Error);
}

// A tap alone makes the outlet connected: the box computes its output with nothing captured.
TEST(ThreadsTaps, TappedOutletAloneIsComputed) {
    tk::Patch with_capture(44100.0, 64), with_tap(44100.0, 64);
    const std::vector<double> in = tkt::sine(2000, 440.0, 44100.0, 0.9);
    tk::Box *a = with_capture.create("stereosquash~");
    tk::Box *b = with_tap.create("stereosquash~");
    with_capture.send(a, "thresh", {-20.0});
    with_tap.send(b, "thresh", {-20.0});
    with_capture.feed(a, 0, in);
    with_capture.feed(a, 1, in);
    with_tap.feed(b, 0, in);
    with_tap.feed(b, 1, in);
    with_capture.capture(a, 1);
    std::vector<double> right;
    with_tap.tap(b, 1, [&](const double *x, long n) { right.insert(right.end(), x, x + n); });
    with_capture.run(2000);
    with_tap.run(2000);
    EXPECT_TRUE(same_bits(right, with_capture.output(a, 1)));
}

// ---- the console --------------------------------------------------------------------

TEST(ThreadsConsole, CapturesBelongToTheirThreadAndTheRestGoesToTheSink) {
    {
        tk::ConsoleCapture banner;
        tk::load_class("stereosquash~");
    }
    std::vector<std::string> sunk;
    std::mutex sunk_lock;
    tk::set_console_sink([&](const tk::ConsoleLine &l) {
        std::lock_guard lock(sunk_lock);
        sunk.push_back(l.text);
    });
    tk::ConsoleCapture mine;
    std::vector<std::string> theirs;
    std::thread other([&] {
        tk::Patch p;
        tk::Box *x = p.create("stereosquash~");
        p.send(x, "not-from-main");  // no capture on this thread: the sink
        tk::ConsoleCapture own;
        p.send(x, "captured-there");
        theirs = own.texts();
    });
    other.join();
    tk::Patch p;
    tk::Box *x = p.create("stereosquash~");
    p.send(x, "from-main");
    tk::set_console_sink(nullptr);
    ASSERT_EQ(mine.lines().size(), 1u);
    EXPECT_NE(mine.lines()[0].text.find("from-main"), std::string::npos);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_NE(theirs[0].find("captured-there"), std::string::npos);
    ASSERT_EQ(sunk.size(), 1u);
    EXPECT_NE(sunk[0].find("not-from-main"), std::string::npos);
}

}  // namespace
