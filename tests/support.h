// Shared helpers of the test programs: the module folder, signals and measurements.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tildehost.h"

namespace tkt {

// Every test program finds the externals of its own build (.mxe64 or .mxe).
inline const bool module_dir_registered = (tk::add_search_path(TILDEKIT_MODULE_DIR), true);

// A 64-bit linear congruential generator: the same numbers on every platform and compiler, so
// that recorded digests of random sessions hold everywhere.
struct Lcg {
    std::uint64_t s;
    explicit Lcg(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 7) {}
    std::uint64_t next() { return s = s * 6364136223846793005ull + 1442695040888963407ull; }
    std::uint64_t below(std::uint64_t n) { return (next() >> 33) % n; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * double(next() >> 11) * 0x1p-53; }
};

// FNV-1a over the bits of the samples, continuing from h.
inline std::uint64_t fnv1a(const std::vector<double> &v, std::uint64_t h = 14695981039346656037ull) {
    for (double x : v) {
        std::uint64_t b;
        std::memcpy(&b, &x, sizeof b);
        for (int i = 0; i < 8; ++i) h = (h ^ ((b >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
    return h;
}

inline std::vector<double> impulse(std::size_t n, double amp = 1.0) {
    std::vector<double> v(n, 0.0);
    if (n) v[0] = amp;
    return v;
}
inline std::vector<double> constant(std::size_t n, double value) { return std::vector<double>(n, value); }
inline std::vector<double> sine(std::size_t n, double freq, double sr, double amp = 1.0, double phase = 0.0) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = amp * std::sin(2.0 * M_PI * freq * double(i) / sr + phase);
    return v;
}
inline std::vector<double> noise(std::size_t n, double amp = 0.5, unsigned seed = 1) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-amp, amp);
    std::vector<double> v(n);
    for (auto &x : v) x = d(gen);
    return v;
}

// Amplitude and phase of the component at `freq` in x[from..], by correlation over a
// whole number of periods where possible (steady-state measurement).
inline std::complex<double> phasor_at(const std::vector<double> &x, double freq, double sr, std::size_t from = 0) {
    std::complex<double> acc = 0.0;
    std::size_t n = x.size() - from;
    double cycles = std::floor(double(n) * freq / sr);
    if (cycles >= 1.0) n = std::size_t(std::llround(cycles * sr / freq));
    n = std::min(n, x.size() - from);
    for (std::size_t i = 0; i < n; ++i) {
        double w = 2.0 * M_PI * freq * double(from + i) / sr;
        acc += x[from + i] * std::complex<double>(std::sin(w), std::cos(w));
    }
    return acc * (2.0 / double(n));  // amplitude A and phase of A sin(w n + phi): arg = phi
}
inline double amplitude_at(const std::vector<double> &x, double freq, double sr, std::size_t from = 0) {
    return std::abs(phasor_at(x, freq, sr, from));
}
inline double db(double gain) { return 20.0 * std::log10(gain); }
inline double rms(const std::vector<double> &x, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    to = std::min(to, x.size());
    double s = 0;
    for (std::size_t i = from; i < to; ++i) s += x[i] * x[i];
    return to > from ? std::sqrt(s / double(to - from)) : 0.0;
}
inline bool all_finite(const std::vector<double> &x, std::size_t from = 0) {
    for (std::size_t i = from; i < x.size(); ++i)
        if (!std::isfinite(x[i])) return false;
    return true;
}
inline float to_float(double x) { return static_cast<float>(x); }

// The widths this test program runs in, for messages.
inline std::string width_name() { return tk::host_width_bits() == 64 ? "64-bit" : "32-bit"; }

// Fails each of the first `allocations` allocations of creating `text` in turn: the box must be
// refused with "NAME: out of memory" and every block taken before the failure given back, the
// instance record included.
inline void expect_refused_without_leaks(tk::Patch &patch, const std::string &text, int allocations) {
    const std::string name = text.substr(0, text.find(' '));
    for (int nth = 1; nth <= allocations; ++nth) {
        tk::ConsoleCapture cap;
        const tk::MemoryStats start = tk::memory_stats();
        tk::fail_nth_allocation(nth);
        tk::Box *refused = patch.create(text);
        tk::clear_allocation_faults();
        EXPECT_EQ(refused, nullptr) << text << ", allocation " << nth;
        EXPECT_TRUE(cap.contains(name + ": out of memory")) << text << ", allocation " << nth;
        EXPECT_EQ(tk::memory_stats().live_blocks, start.live_blocks) << text << ", allocation " << nth;
        EXPECT_EQ(tk::memory_stats().live_bytes, start.live_bytes) << text << ", allocation " << nth;
    }
}

// A second thread sends `text` while the audio thread runs blocks of `busy` input, most likely
// mid-block (it waits until a perform routine runs). The message must take effect at the start
// of a block, whatever sample it landed at: the block of `in` after it equals a fresh box's that
// got the message before m of the busy blocks, for some m up to the number run while waiting
// (a loaded machine may hold the sending thread back for a block or more after it has sent).
// A lost message matches none of them. Both paths, `rounds` times each.
inline void expect_message_kept_across_threads(const std::function<tk::Box *(tk::Patch &)> &make, const std::string &text,
                                               const std::vector<std::vector<double>> &busy,
                                               const std::vector<std::vector<double>> &in, int rounds = 2) {
    const auto n = std::int64_t(in[0].size());
    for (const bool legacy : {false, true}) {
        auto fresh_after = [&](int m) {  // the message, m busy blocks, then `in`
            tk::Patch fresh(44100, int(n));
            fresh.set_legacy(legacy);
            tk::Box *f = make(fresh);
            fresh.send_text(f, 0, text);
            for (int k = 0; k < m; ++k) fresh.process(f, busy, n);
            return fresh.process(f, in, n);
        };
        for (int round = 0; round < rounds; ++round) {
            tk::Patch p(44100, int(n));
            p.set_legacy(legacy);
            tk::Box *b = make(p);
            ASSERT_NE(b, nullptr);
            p.process(b, busy, n);
            std::atomic<bool> sent{false};
            std::thread scheduler([&] {
                while (!tildekit_performing) {
                }
                p.send_text(b, 0, text);
                sent = true;
            });
            int waited = 0;
            for (; !sent; ++waited) p.process(b, busy, n);
            scheduler.join();
            const auto got = p.process(b, in, n);
            // Most likely it landed in the last block waited for (m = 0), so search upwards: each
            // candidate costs m blocks, and a search down from `waited` costs waited^2 / 2 of them,
            // minutes when a loaded machine has held the sending thread back for a thousand blocks.
            bool kept = false;
            for (int m = 0; m <= waited && !kept; ++m) kept = got == fresh_after(m);
            EXPECT_TRUE(kept) << b->text() << ": " << text << (legacy ? " (legacy)" : "") << ", round " << round
                              << ": first sample " << got[0][0] << " matches no fresh box given the message before 0 to "
                              << waited << " of the busy blocks (with it before none: " << fresh_after(0)[0][0] << ")";
        }
    }
}
inline void expect_message_kept_across_threads(const std::string &box, const std::string &text,
                                               const std::vector<std::vector<double>> &busy,
                                               const std::vector<std::vector<double>> &in, int rounds = 2) {
    expect_message_kept_across_threads([&](tk::Patch &p) { return p.create(box); }, text, busy, in, rounds);
}

}  // namespace tkt
