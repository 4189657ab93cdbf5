// Test signals for the inlets of a rendered box: `--signal K=SIGNAL`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tilde {

// Fills out[0..n) with the samples from frame `start` on.
using Generator = std::function<void(double *out, long n, std::int64_t start)>;

struct TestSignal {
    enum Kind { Silence, Impulse, Step, Dc, Sine, Ramp, Noise, Sweep } kind = Silence;
    int inlet = 0;
    double value = 0;        // dc level
    double freq = 0;         // sine, ramp; sweep start
    double freq_end = 0;     // sweep end
    double amplitude = 1;    // sine, noise, sweep
    std::uint64_t seed = 1;  // noise
    std::string text;        // as given, for messages
};

// Parses "K=SIGNAL"; throws BadInput naming the form and what is wrong.
TestSignal parse_signal(const std::string &arg);
// Parses the signal alone (no inlet).
TestSignal parse_signal_kind(const std::string &form, const std::string &shown = "");

// A generator for the form at sample rate `sr`; a sweep spans `total_frames`.
Generator make_generator(const TestSignal &form, double sr, std::int64_t total_frames);

// The list of signal kinds that --help shows.
extern const char *const signal_help;

}  // namespace tilde
