// Parsing and generation of the test signals.
#include "signals.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common.h"

namespace tilde {

const char *const signal_help =
    "SIGNAL: silence | impulse | step | dc:V | sine:F[:A] | ramp:F (rising 0..1 at F Hz) | "
    "noise[:A[:SEED]] | sweep:F1:F2[:A] (exponential, over the whole render)";

namespace {

std::vector<std::string> split_fields(const std::string &s)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = s.find(':', start);
        out.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return out;
}

// Uniform noise by sample index, so the same seed gives the same samples however the
// render is cut into blocks.
double noise_at(std::uint64_t seed, std::int64_t n)
{
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + std::uint64_t(n) + 0x632BE59BD9B4E019ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return double(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;  // [-1, 1)
}

// Fractional part of n * f / sr, kept accurate for long renders.
double cycles(std::int64_t n, double f, double sr)
{
    double c = double(n) * f / sr;
    return c - std::floor(c);
}

}  // namespace

TestSignal parse_signal_kind(const std::string &form, const std::string &shown)
{
    TestSignal s;
    s.text = form;
    auto fields = split_fields(form);
    const std::string kind = fields[0];
    std::size_t nargs = fields.size() - 1;
    auto bad = [&](const std::string &why) {
        return BadInput("bad signal '" + (shown.empty() ? form : shown) + "': " + why);
    };
    auto number = [&](std::size_t i, const char *what) {
        auto v = parse_number(fields[i]);
        if (!v)
            throw bad(std::string(what) + " '" + fields[i] + "' is not a finite number");
        return *v;
    };
    auto arity = [&](std::size_t lo, std::size_t hi, const char *usage) {
        if (nargs < lo || nargs > hi)
            throw bad(std::string("expected ") + usage);
    };
    if (kind == "silence") {
        arity(0, 0, "silence");
        s.kind = TestSignal::Silence;
    } else if (kind == "impulse") {
        arity(0, 0, "impulse");
        s.kind = TestSignal::Impulse;
    } else if (kind == "step") {
        arity(0, 0, "step");
        s.kind = TestSignal::Step;
    } else if (kind == "dc") {
        arity(1, 1, "dc:V");
        s.kind = TestSignal::Dc;
        s.value = number(1, "level");
    } else if (kind == "sine") {
        arity(1, 2, "sine:F[:A]");
        s.kind = TestSignal::Sine;
        s.freq = number(1, "frequency");
        if (nargs > 1)
            s.amplitude = number(2, "amplitude");
    } else if (kind == "ramp") {
        arity(1, 1, "ramp:F");
        s.kind = TestSignal::Ramp;
        s.freq = number(1, "frequency");
    } else if (kind == "noise") {
        arity(0, 2, "noise[:A[:SEED]]");
        s.kind = TestSignal::Noise;
        if (nargs > 0)
            s.amplitude = number(1, "amplitude");
        if (nargs > 1) {
            auto seed = parse_count(fields[2]);
            if (!seed)
                throw bad("seed '" + fields[2] + "' is not a whole number");
            s.seed = std::uint64_t(*seed);
        }
    } else if (kind == "sweep") {
        arity(2, 3, "sweep:F1:F2[:A]");
        s.kind = TestSignal::Sweep;
        s.freq = number(1, "start frequency");
        s.freq_end = number(2, "end frequency");
        if (s.freq <= 0 || s.freq_end <= 0)
            throw bad("sweep frequencies must be above 0 Hz");
        if (nargs > 2)
            s.amplitude = number(3, "amplitude");
    } else {
        throw bad("unknown kind '" + kind + "' (" + signal_help + ")");
    }
    return s;
}

TestSignal parse_signal(const std::string &arg)
{
    std::size_t eq = arg.find('=');
    if (eq == std::string::npos)
        throw BadInput("bad signal '" + arg + "': expected K=SIGNAL, K the signal inlet");
    auto inlet = parse_count(arg.substr(0, eq));
    if (!inlet || *inlet > 1000000)
        throw BadInput("bad signal '" + arg + "': '" + arg.substr(0, eq) + "' is not an inlet number");
    TestSignal s = parse_signal_kind(arg.substr(eq + 1), arg);
    s.inlet = int(*inlet);
    s.text = arg;
    return s;
}

Generator make_generator(const TestSignal &s, double sr, std::int64_t total_frames)
{
    switch (s.kind) {
    case TestSignal::Silence:
        return [](double *out, long n, std::int64_t) { std::fill(out, out + n, 0.0); };
    case TestSignal::Impulse:
        return [](double *out, long n, std::int64_t start) {
            for (long i = 0; i < n; ++i)
                out[i] = (start + i == 0) ? 1.0 : 0.0;
        };
    case TestSignal::Step:
        return [](double *out, long n, std::int64_t) { std::fill(out, out + n, 1.0); };
    case TestSignal::Dc:
        return [v = s.value](double *out, long n, std::int64_t) { std::fill(out, out + n, v); };
    case TestSignal::Sine:
        return [f = s.freq, a = s.amplitude, sr](double *out, long n, std::int64_t start) {
            for (long i = 0; i < n; ++i)
                out[i] = a * std::sin(2.0 * M_PI * cycles(start + i, f, sr));
        };
    case TestSignal::Ramp:
        return [f = s.freq, sr](double *out, long n, std::int64_t start) {
            for (long i = 0; i < n; ++i)
                out[i] = cycles(start + i, f, sr);
        };
    case TestSignal::Noise:
        return [a = s.amplitude, seed = s.seed](double *out, long n, std::int64_t start) {
            for (long i = 0; i < n; ++i)
                out[i] = a * noise_at(seed, start + i);
        };
    case TestSignal::Sweep: {
        // Exponential sweep: f(t) = f1 * (f2/f1)^(t/T); phase = 2 pi f1 T / ln(f2/f1) * (e^(t/T ln(f2/f1)) - 1).
        double f1 = s.freq, f2 = s.freq_end, a = s.amplitude;
        double duration = std::max<double>(1.0, double(total_frames)) / sr;
        double k = std::log(f2 / f1);
        return [f1, k, duration, a, sr](double *out, long n, std::int64_t start) {
            for (long i = 0; i < n; ++i) {
                double t = double(start + i) / sr;
                double cyc = (std::fabs(k) < 1e-12) ? f1 * t : f1 * duration / k * std::expm1(t / duration * k);
                out[i] = a * std::sin(2.0 * M_PI * (cyc - std::floor(cyc)));
            }
        };
    }
    }
    return {};
}

}  // namespace tilde
