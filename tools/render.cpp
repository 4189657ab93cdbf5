// tilde render NAME [ARGS...]: one box, fed from a file and/or test signals, run through
// the DSP chain; its signal outlets go to a sound file, its control outlets to CSV.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#include "audiofile.h"
#include "commands.h"
#include "common.h"
#include "console.h"
#include "live.h"
#include "messages.h"
#include "signals.h"
#include "tildehost.h"

namespace tilde {

namespace {

constexpr double default_samplerate = 48000.0;
constexpr std::int64_t chunk_frames = 16384;  // samples per write; bounds memory on long renders

const char *event_kind(tk::Event::Kind k) { return event_kind_name(k); }

void write_event(std::FILE *f, const tk::Event &e)
{
    std::string value = event_value_text(e);
    std::fprintf(f, "%lld,%s,%d,%s,%s\n", static_cast<long long>(e.sample), number_text(e.time_ms).c_str(), e.outlet,
                 event_kind(e.kind), value.c_str());
}

// Peak and RMS of each outlet, reported when no output file is asked for.
struct Meter {
    double peak = 0, sum_squares = 0;
    std::int64_t count = 0;
    void add(const double *x, std::int64_t n)
    {
        for (std::int64_t i = 0; i < n; ++i) {
            peak = std::max(peak, std::fabs(x[i]));
            sum_squares += x[i] * x[i];
        }
        count += n;
    }
};

std::string level_text(double v) { return v > 0 ? number_text(std::round(20.0 * std::log10(v) * 100.0) / 100.0) + " dBFS" : "-inf dBFS"; }

}  // namespace

int run_render(const RenderOptions &o)
{
    set_console_fallback_name(o.name);

    // ---- everything that can be checked before the external is loaded ----
    std::vector<Message> messages;
    for (const auto &text : o.messages)
        messages.push_back(parse_message(text));
    std::map<int, TestSignal> signals;
    for (const auto &text : o.signals) {
        TestSignal s = parse_signal(text);
        if (!signals.emplace(s.inlet, s).second)
            throw BadInput("signal inlet " + std::to_string(s.inlet) + " is given twice ('" + signals[s.inlet].text +
                           "' and '" + text + "')");
    }
    SampleFormat format = parse_sample_format(o.format);
    if (!o.out.empty())
        file_format_for(o.out, format);
    if (!o.out.empty() && !o.events.empty() && o.out == o.events)
        throw BadInput("--out and --events name the same file '" + o.out + "'");

    std::unique_ptr<SoundReader> reader;
    if (!o.in.empty())
        reader = std::make_unique<SoundReader>(o.in);
    for (const auto &[inlet, form] : signals)
        if (reader && inlet < reader->channels())
            throw BadInput("signal inlet " + std::to_string(inlet) + " is fed by both '" + o.in + "' (channel " +
                           std::to_string(inlet) + ") and --signal '" + form.text + "'");

    const double sr = o.samplerate ? *o.samplerate : reader ? reader->samplerate() : default_samplerate;
    if (!(sr > 0 && sr <= 10e6))
        throw BadInput("sample rate " + number_text(sr) + " Hz is out of range (above 0, at most 10 MHz)");
    std::int64_t frames;
    if (o.samples)
        frames = *o.samples;
    else if (o.seconds)
        frames = std::llround(*o.seconds * sr);
    else if (reader)
        frames = reader->frames();
    else
        frames = std::llround(sr);
    if (frames < 0)
        throw BadInput("the render length must not be negative");

    // ---- the box ----
    tk::Patch patch(sr, o.block);
    patch.set_legacy(o.legacy);
    tk::Atoms args;
    for (const auto &a : o.args)
        for (auto &atom : tk::parse_atoms(a))
            args.push_back(atom);
    tk::Box *box = nullptr;
    try {
        box = patch.create(o.name, args);
    } catch (const tk::Error &e) {
        throw cannot_load(o.name, e.what());
    }
    if (!box) {
        std::string text = o.name;
        for (const auto &a : o.args)
            text += " " + a;
        throw Refused("the external refused to create '" + text + "'");
    }

    // ---- checks against the box ----
    const int signal_inlets = box->signal_inlets();
    auto inlets_text = [](int n) { return std::to_string(n) + (n == 1 ? " signal inlet" : " signal inlets"); };
    if (reader && reader->channels() > signal_inlets)
        throw BadInput("'" + o.in + "' has " + std::to_string(reader->channels()) + " channels but " + o.name + " has " +
                       inlets_text(signal_inlets));
    for (const auto &[inlet, form] : signals)
        if (inlet >= signal_inlets)
            throw BadInput("signal '" + form.text + "': " + o.name + " has no signal inlet " + std::to_string(inlet) +
                           " (it has " + inlets_text(signal_inlets) + ")");
    for (const auto &m : messages)
        check_message(m, *box);
    std::vector<int> signal_outlets;
    for (int k = 0; k < box->outlets(); ++k)
        if (box->outlet_is_signal(k))
            signal_outlets.push_back(k);
    if (!o.out.empty() && signal_outlets.empty())
        throw BadInput(o.name + " has no signal outlet to write to '" + o.out + "'");
    if (o.legacy) {
        const auto &methods = box->cls().methods;
        bool has_legacy = std::any_of(methods.begin(), methods.end(), [](const tk::MethodInfo &m) { return m.selector == "dsp"; });
        if (!has_legacy)
            note(o.name + " has no legacy 32-bit path; rendering with its 64-bit one");
    }

    if (live_requested())
        return play_box_live(patch, box, messages, signals, o);

    // ---- outputs: temporary files, renamed only when the render completes ----
    std::unique_ptr<SoundWriter> writer;
    if (!o.out.empty())
        writer = std::make_unique<SoundWriter>(o.out, int(signal_outlets.size()), sr, format);
    std::unique_ptr<TextWriter> events_file;
    if (!o.events.empty())
        events_file = std::make_unique<TextWriter>(o.events);
    std::FILE *events = events_file ? events_file->stream() : stdout;
    if (events_file || box->control_outlets() > 0)
        std::fprintf(events, "sample,time_ms,outlet,kind,value\n");

    // ---- messages before DSP, then inputs ----
    Schedule schedule;
    for (const auto &m : messages) {
        if (m.timed())
            schedule.add({m.due_sample(sr), box, m.inlet, m.selector, m.args, m.text});
        else
            patch.send(box, m.inlet, m.selector, m.args);
    }
    if (reader) {
        SoundReader *r = reader.get();
        for (int c = 0; c < r->channels(); ++c)
            patch.feed(box, c, [r, c](double *out, long n, std::int64_t start) { r->read(c, start, n, out); });
    }
    for (const auto &[inlet, form] : signals)
        patch.feed(box, inlet, make_generator(form, sr, frames));
    for (int k : signal_outlets)
        patch.capture(box, k);

    // ---- run ----
    std::vector<Meter> meters(signal_outlets.size());
    std::int64_t written = 0;
    Progress progress(frames, sr);
    auto drain = [&](std::int64_t processed) {
        std::int64_t n = 0;
        std::vector<const double *> chans;
        for (int k : signal_outlets) {
            const auto &v = patch.output(box, k);
            n = std::int64_t(v.size());
            chans.push_back(v.data());
        }
        n = std::min(n, frames - written);
        if (writer)
            writer->write(chans, n);
        else
            for (std::size_t k = 0; k < chans.size(); ++k)
                meters[k].add(chans[k], n);
        written += n;
        patch.clear_outputs();
        for (const auto &e : box->events())
            write_event(events, e);
        box->clear_events();
        progress.update(processed);
    };
    try {
        run_scheduled(patch, schedule, frames, chunk_frames, drain);
    } catch (const tk::Error &e) {
        throw Failure(o.name + ": " + e.what());
    }
    progress.finish();
    // Events from messages sent before DSP, with nothing run (a render of 0 samples).
    if (!box->events().empty())
        drain(patch.samples_processed());

    for (const auto &s : schedule.undelivered())
        note("message '" + s.text + "' was not sent: it falls at or after the end of the render (" + std::to_string(frames) +
             " samples)");

    // ---- finish ----
    if (writer)
        writer->finish();
    if (events_file)
        events_file->finish();
    else
        std::fflush(stdout);
    if (!writer)
        for (std::size_t k = 0; k < meters.size(); ++k) {
            double rms = meters[k].count ? std::sqrt(meters[k].sum_squares / double(meters[k].count)) : 0.0;
            note("outlet " + std::to_string(signal_outlets[k]) + ": peak " + level_text(meters[k].peak) + ", rms " +
                 level_text(rms) + " over " + std::to_string(meters[k].count) + " samples");
        }
    return exit_ok;
}

}  // namespace tilde
