// tilde demo: a short bowed-string phrase placed in stereo, compressed, limited and
// metered, written to demo.wav. Uses whichever of the externals are built and says
// which are missing; a synthetic tone stands in for the string model when it is absent.
#include <cmath>
#include <cstdio>

#include "audiofile.h"
#include "commands.h"
#include "common.h"
#include "console.h"
#include "messages.h"
#include "signals.h"
#include "tildehost.h"

namespace tilde {

namespace {

constexpr double demo_samplerate = 48000.0;
constexpr int demo_block = 64;
constexpr double report_interval_s = 0.5;

// The phrase: one note per eighth of the demo.
struct Note {
    double freq;  // Hz
    double pan;   // 0 left .. 1 right
};
constexpr Note phrase[] = {{293.66, 0.5}, {440.0, 0.3}, {369.99, 0.7}, {587.33, 0.25},
                           {493.88, 0.75}, {392.0, 0.4}, {440.0, 0.6}, {293.66, 0.5}};
constexpr int phrase_notes = sizeof phrase / sizeof phrase[0];

// The string model sounds at about 337 / length Hz at 48 kHz (measured from its renders
// between 220 and 680 Hz; the loop's filters add a little to the nominal delay).
double string_length_for(double freq) { return 337.0 / freq; }

// Stand-in for the string: a bowed-like harmonic tone with soft attacks and releases,
// a pure function of the sample index so that it can feed several inlets.
Generator tone(double sr, double note_seconds)
{
    return [sr, note_seconds](double *out, long n, std::int64_t start) {
        for (long i = 0; i < n; ++i) {
            double t = double(start + i) / sr;
            int k = std::min(phrase_notes - 1, int(t / note_seconds));
            double tn = t - k * note_seconds;
            double env = std::min({1.0, tn / 0.08, std::max(0.0, (0.9 * note_seconds - tn) / 0.15)});
            double f = phrase[k].freq * (1.0 + 0.004 * std::sin(2.0 * M_PI * 5.5 * tn));
            double s = 0;
            for (int h = 1; h <= 8; ++h)
                s += std::sin(2.0 * M_PI * f * h * tn) / h;
            out[i] = 0.3 * env * s;
        }
    };
}

// A point in the chain: a box's outlet, or (before any box) a generator.
struct Endpoint {
    tk::Box *box = nullptr;
    int outlet = 0;
    Generator gen;
};

void link(tk::Patch &patch, const Endpoint &from, tk::Box *to, int inlet)
{
    if (from.box)
        patch.connect(from.box, from.outlet, to, inlet);
    else
        patch.feed(to, inlet, from.gen);
}

struct Stage {
    const char *name;
    bool present = false;
};

tk::Box *make(tk::Patch &patch, const std::string &text)
{
    tk::Box *b = patch.create(text);
    if (!b)
        throw Failure("the external refused to create '" + text + "'");
    return b;
}

}  // namespace

int run_demo(const DemoOptions &o)
{
    if (!(o.seconds > 0 && o.seconds <= 600))
        throw BadInput("the demo lasts above 0 and at most 600 seconds");
    const double sr = demo_samplerate;
    const std::int64_t frames = std::llround(o.seconds * sr);
    const double note_s = o.seconds / phrase_notes;

    Stage string{"bowedstring~"}, recur{"recur~"}, place{"stereoplace~"}, squash{"stereosquash~"},
        limit{"brickwall~"}, meter{"levelmeter~"};
    Stage *stages[] = {&string, &place, &squash, &limit, &meter, &recur};
    {
        tk::ConsoleCapture quiet_banners;
        for (Stage *s : stages) {
            try {
                tk::load_class(s->name);
                s->present = true;
            } catch (const tk::Error &) {
            }
        }
    }
    std::string chain, missing;
    for (Stage *s : {&string, &place, &squash, &limit, &meter}) {
        std::string &list = s->present ? chain : missing;
        list += (list.empty() ? "" : s->present ? " -> " : ", ") + std::string(s->name);
    }
    std::printf("tilde demo: %.1f s at %g Hz -> %s\n", o.seconds, sr, o.out.c_str());
    if (!string.present)
        chain = std::string(recur.present ? "test tone -> recur~" : "test tone") + (chain.empty() ? "" : " -> ") + chain;
    std::printf("  chain:   %s\n", chain.c_str());
    if (!missing.empty()) {
        std::printf("  missing: %s\n", missing.c_str());
        if (!string.present)
            std::printf("           (a test tone%s stands in for the bowed string)\n", recur.present ? " softened by recur~" : "");
        if (!meter.present)
            std::printf("           (tilde measures the levels itself)\n");
    }
    std::fflush(stdout);

    tk::Patch patch(sr, demo_block);
    Schedule schedule;
    auto at = [&](double seconds, tk::Box *box, const std::string &selector, tk::Atoms args) {
        schedule.add({std::llround(seconds * sr), box, 0, selector, std::move(args), selector});
    };

    // ---- source ----
    Endpoint source;
    if (string.present) {
        tk::Box *b = make(patch, "bowedstring~");
        patch.send(b, "pressure", {0.6});
        patch.send(b, "pos", {0.82});
        patch.send(b, "OutGain", {1.0});
        // Each note starts from a string at rest: bowed from the previous note's motion
        // the model tends to jump to its octave. The cleared smoothers glide the length
        // in over the first few hundredths of a second.
        constexpr double settle_s = 0.02;
        for (int k = 0; k < phrase_notes; ++k) {
            double start = k * note_s;
            if (k > 0)
                at(start - settle_s, b, "clearall", {});
            at(std::max(0.0, start - settle_s), b, "length", {string_length_for(phrase[k].freq)});
            at(start, b, "velocity", {0.75});
            at(start + 0.85 * note_s, b, "velocity", {0.0});
        }
        source.box = b;
    } else if (recur.present) {
        // One-pole low-pass y = x + a y[n-1]: DC gain 1 / (1 - a), so the tone is scaled down.
        constexpr double a = 0.6;
        Generator t = tone(sr, note_s);
        tk::Box *b = make(patch, "recur~ " + number_text(a));
        patch.feed(b, 0, [t](double *out, long n, std::int64_t start) {
            t(out, n, start);
            for (long i = 0; i < n; ++i)
                out[i] *= 1.0 - a;
        });
        source.box = b;
    } else {
        source.gen = tone(sr, note_s);
    }

    // ---- stereo chain ----
    Endpoint left = source, right = source;
    if (place.present) {
        tk::Box *b = make(patch, "stereoplace~");
        link(patch, left, b, 0);
        link(patch, right, b, 1);
        patch.send(b, "int_time", {0.0});  // no smoothing of the outputs: keep the highs
        for (int k = 0; k < phrase_notes; ++k)
            at(k * note_s, b, "pan", {phrase[k].pan});
        left = {b, 0, {}};
        right = {b, 1, {}};
    }
    if (squash.present) {
        tk::Box *b = make(patch, "stereosquash~");
        link(patch, left, b, 0);
        link(patch, right, b, 1);
        patch.send(b, "thresh", {-24.0});
        patch.send(b, "ratio", {3.0});
        patch.send(b, "knee", {6.0});
        patch.send(b, "attack", {10.0});
        patch.send(b, "release", {150.0});
        patch.send(b, "makeup", {9.0});
        left = {b, 0, {}};
        right = {b, 1, {}};
    }
    if (limit.present) {
        tk::Box *b = make(patch, "brickwall~");
        link(patch, left, b, 0);
        link(patch, right, b, 1);
        patch.send(b, "thresh", {-3.0});
        patch.send(b, "ceiling", {-0.5});
        left = {b, 0, {}};
        right = {b, 1, {}};
    }
    tk::Box *meter_left = nullptr, *meter_right = nullptr;
    if (meter.present) {
        // 100 ms windows, one level every half second.
        std::string text = "levelmeter~ 4800 " + std::to_string(std::llround(report_interval_s * sr));
        meter_left = make(patch, text);
        meter_right = make(patch, text);
        link(patch, left, meter_left, 0);
        link(patch, right, meter_right, 0);
    }
    const bool stereo = left.box != right.box || left.outlet != right.outlet;
    if (left.box) {
        patch.capture(left.box, left.outlet);
        if (stereo)
            patch.capture(right.box, right.outlet);
    }

    // ---- run, write, report ----
    SoundWriter writer(o.out, 2, sr, SampleFormat::Pcm24);
    std::int64_t written = 0;
    double peak = 0;
    std::vector<double> l, r;
    // Without a meter, tilde reports the RMS of each half second itself.
    double sum_l = 0, sum_r = 0;
    std::int64_t summed = 0;
    const std::int64_t report_frames = std::llround(report_interval_s * sr);
    auto drain = [&](std::int64_t processed) {
        std::int64_t n = std::min(processed, frames) - written;
        if (left.box) {
            const auto &lv = patch.output(left.box, left.outlet);
            const auto &rv = stereo ? patch.output(right.box, right.outlet) : lv;
            n = std::min<std::int64_t>(n, std::int64_t(lv.size()));
            l.assign(lv.begin(), lv.begin() + n);
            r.assign(rv.begin(), rv.begin() + n);
            patch.clear_outputs();
        } else {
            l.resize(std::size_t(n));
            left.gen(l.data(), long(n), written);
            r = l;
        }
        writer.write({l.data(), r.data()}, n);
        for (std::int64_t i = 0; i < n; ++i) {
            peak = std::max({peak, std::fabs(l[i]), std::fabs(r[i])});
            sum_l += l[i] * l[i];
            sum_r += r[i] * r[i];
            if (++summed == report_frames || written + i + 1 == frames) {
                if (!meter_left) {
                    auto dbfs = [summed](double s) { return 10.0 * std::log10(std::max(s / double(summed), 1e-20)); };
                    std::printf("  %5.1f s   L %6.1f dBFS   R %6.1f dBFS   (rms)\n", double(written + i + 1) / sr,
                                dbfs(sum_l), dbfs(sum_r));
                }
                sum_l = sum_r = 0;
                summed = 0;
            }
        }
        written += n;
        if (meter_left) {
            // Both meters read the same windows, so their levels arrive in pairs.
            const auto &el = meter_left->events(), &er = meter_right->events();
            for (std::size_t i = 0; i < std::min(el.size(), er.size()); ++i)
                std::printf("  %5.2f s   L %5.1f   R %5.1f   (levelmeter~, 100 = full scale)\n",
                            double(el[i].sample) / sr, el[i].value, er[i].value);
            meter_left->clear_events();
            meter_right->clear_events();
        }
        std::fflush(stdout);
    };
    run_scheduled(patch, schedule, frames, std::llround(report_interval_s * sr), drain);
    writer.finish();
    std::printf("  wrote %s: %lld frames, 2 channels, 24-bit, peak %.1f dBFS\n", o.out.c_str(),
                static_cast<long long>(written), peak > 0 ? 20.0 * std::log10(peak) : -200.0);
    return exit_ok;
}

}  // namespace tilde
