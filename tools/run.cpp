// tilde run PATCH: reads a patcher file, creates its boxes (externals and the host's own
// objects), connects them, fires loadbang, and runs the DSP chain; adc~ reads --in, dac~
// and ezdac~ write --out, print writes to stdout, buffer~ reads files beside the patcher.
#include "run.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "audiofile.h"
#include "common.h"
#include "console.h"
#include "live.h"
#include "messages.h"
#include "patcher.h"
#include "tildehost.h"
#include "tildeobjects.h"

namespace tilde {

namespace {

constexpr double default_samplerate = 48000.0;
constexpr std::int64_t chunk_frames = 16384;

struct Node {
    const PatcherBox *source;
    tk::Box *box;
    std::string text;  // the text it was created from
};

std::string describe(const PatcherBox &b)
{
    std::string what = b.maxclass == "newobj" ? b.text : b.maxclass + (b.text.empty() ? "" : " '" + b.text + "'");
    return "box " + b.id + " (" + what + ")";
}

// What a box becomes: the class name and its arguments.
struct Recipe {
    std::string name;
    tk::Atoms args;
};

Recipe recipe_for(const PatcherBox &b, std::vector<std::string> &notes)
{
    Recipe r;
    if (b.maxclass == "newobj") {
        tk::Atoms atoms = tk::parse_atoms(b.text);
        if (atoms.empty() || !atoms[0].is_symbol())
            throw BadInput(describe(b) + ": an object box must start with an object name");
        r.name = std::get<std::string>(atoms[0].v);
        r.args.assign(atoms.begin() + 1, atoms.end());
        return r;
    }
    if (b.maxclass == "message") {
        std::string text = b.text;
        if (auto semi = text.find(';'); semi != std::string::npos) {
            notes.push_back(describe(b) + ": messages to named receivers after ';' are not supported; that part is left out");
            text = text.substr(0, semi);
        }
        if (text.find('$') != std::string::npos)
            notes.push_back(describe(b) + ": $-arguments are not substituted; the message is sent as written");
        std::string spaced;
        for (char c : text) {
            if (c == ',')
                spaced += " , ";
            else
                spaced += c;
        }
        r.name = "message";
        r.args = tk::parse_atoms(spaced);
        return r;
    }
    r.name = b.maxclass;  // number, flonum, ezdac~, button, toggle, live.gain~
    if (b.maxclass == "live.gain~") {  // its channels are its inlets; its value, the saved initial one
        r.args.emplace_back(std::int64_t(std::max(1, b.numinlets)));
        r.args.emplace_back(b.initial.empty() ? 0.0 : b.initial[0]);
    }
    return r;
}

const char *event_kind(tk::Event::Kind k) { return event_kind_name(k); }

bool has_method(const tk::Box &box, const std::string &selector)
{
    const auto &m = box.cls().methods;
    return std::any_of(m.begin(), m.end(), [&](const tk::MethodInfo &mi) { return mi.selector == selector; });
}

std::string level_text(double v)
{
    return v > 0 ? number_text(std::round(20.0 * std::log10(v) * 100.0) / 100.0) + " dBFS" : "-inf dBFS";
}

}  // namespace

CLI::App *add_run_command(CLI::App &app, RunOptions &o)
{
    auto *cmd = app.add_subcommand("run", "Render a Max patcher file (.maxpat, .maxhelp) headless: adc~ reads --in, dac~ "
                                          "and ezdac~ write --out, print writes to stdout; buffer~ looks for its files beside the patcher, "
                                          "then in the working directory");
    cmd->add_option("patch", o.patch, "Patcher file")->required();
    cmd->add_option("--in", o.in, "Sound file whose channel k is adc~ channel k+1")->type_name("FILE");
    cmd->add_option("--out", o.out, "Sound file with one channel per dac~ channel")->type_name("FILE");
    cmd->add_option("--format", o.format, "Sample format of --out")
        ->check(CLI::IsMember({"float", "double", "pcm16", "pcm24"}))
        ->capture_default_str();
    auto *seconds = cmd->add_option("--seconds", o.seconds, "Length in seconds (default: the input file's, else 1 s)")
                        ->check(CLI::NonNegativeNumber)
                        ->type_name("S");
    cmd->add_option("--samples", o.samples, "Length in samples")->check(CLI::NonNegativeNumber)->excludes(seconds)->type_name("N");
    cmd->add_option("--sr", o.samplerate, "Sample rate in Hz (default: the input file's, else 48000)")
        ->check(CLI::PositiveNumber)
        ->type_name("HZ");
    cmd->add_option("--block", o.block, "Block size in samples")->check(CLI::Range(1, 4096))->capture_default_str();
    cmd->add_flag("--legacy", o.legacy, "Use the legacy 32-bit float path where a class has one");
    cmd->add_option("--events", o.events, "CSV file of every control outlet's events")->type_name("FILE.csv");
    cmd->add_option("-m,--message", o.messages,
                    "Message \"[@T] BOX-ID[:INLET] SELECTOR [ARGS...]\" (repeatable), e.g. \"@0.5 obj-3:1 1000\"; "
                    "without T it is sent after loadbang, before DSP starts")
        ->type_name("MSG");
    cmd->add_flag("--skip-unknown", o.skip_unknown, "Leave out boxes of unknown objects (and their patch cords) instead of failing");
    cmd->add_flag("-q,--quiet", o.quiet, "Hide the objects' posts (errors still show)");
    add_live_options(app);
    return cmd;
}

int run_patch(const RunOptions &o)
{
    set_console_fallback_name("tilde run");
    tk::objects::register_all();
    Patcher patcher = read_patcher(o.patch);
    {
        // files a patch names (buffer~) are looked for beside it first
        std::error_code ec;
        auto folder = std::filesystem::absolute(o.patch, ec).parent_path();
        tk::objects::set_file_folders({folder.string()});
    }

    SampleFormat format = parse_sample_format(o.format);
    if (!o.out.empty())
        file_format_for(o.out, format);
    if (!o.out.empty() && !o.events.empty() && o.out == o.events)
        throw BadInput("--out and --events name the same file '" + o.out + "'");
    std::unique_ptr<SoundReader> reader;
    if (!o.in.empty())
        reader = std::make_unique<SoundReader>(o.in);
    const double sr = o.samplerate ? *o.samplerate : reader ? reader->samplerate() : default_samplerate;
    if (!(sr > 0 && sr <= 10e6))
        throw BadInput("sample rate " + number_text(sr) + " Hz is out of range (above 0, at most 10 MHz)");
    std::int64_t frames = o.samples ? *o.samples : o.seconds ? std::llround(*o.seconds * sr) : reader ? reader->frames() : std::llround(sr);

    // ---- boxes ----
    tk::Patch patch(sr, o.block);
    patch.set_legacy(o.legacy);
    std::map<std::string, Node> nodes;
    std::map<const void *, std::string> id_of;
    std::vector<std::string> notes;
    int dac_channels = 0;
    for (const auto &b : patcher.boxes) {
        Recipe r = recipe_for(b, notes);
        tk::Box *box = nullptr;
        try {
            box = patch.create(r.name, r.args);
        } catch (const tk::Error &e) {
            std::string why = describe(b) + ": unknown object '" + r.name + "' (" + e.what() + ")";
            if (!o.skip_unknown)
                throw BadInput(why);
            note("left out " + describe(b) + ": unknown object '" + r.name + "'");
            continue;
        }
        if (!box)
            throw Refused(describe(b) + ": the object refused to be created");
        nodes[b.id] = {&b, box, r.name};
        id_of[box->object()] = b.id;
        if (r.name == "dac~" || r.name == "ezdac~") {
            int top = 2;
            if (r.name == "dac~" && !r.args.empty()) {
                top = 0;
                for (const auto &a : r.args)
                    if (a.is_int())
                        top = std::max(top, int(std::get<std::int64_t>(a.v)));
            }
            dac_channels = std::max(dac_channels, top);
        }
    }
    for (const auto &n : notes)
        note(n);

    // ---- patch cords: a fan-out delivers right to left, as Max does ----
    std::vector<PatcherLine> lines;
    for (const auto &l : patcher.lines)
        if (nodes.count(l.from) && nodes.count(l.to))
            lines.push_back(l);
    std::stable_sort(lines.begin(), lines.end(), [&](const PatcherLine &a, const PatcherLine &b) {
        if (a.from != b.from || a.outlet != b.outlet)
            return false;
        return nodes.at(a.to).source->x > nodes.at(b.to).source->x;
    });
    std::stable_sort(lines.begin(), lines.end(), [](const PatcherLine &a, const PatcherLine &b) {
        return a.from < b.from || (a.from == b.from && a.outlet < b.outlet);
    });
    for (const auto &l : lines) {
        Node &from = nodes.at(l.from), &to = nodes.at(l.to);
        try {
            patch.connect(from.box, l.outlet, to.box, l.inlet);
        } catch (const tk::Error &e) {
            throw BadInput("patch cord from " + describe(*from.source) + " outlet " + std::to_string(l.outlet) + " to " +
                           describe(*to.source) + " inlet " + std::to_string(l.inlet) + ": " + e.what());
        }
    }

    // Messages that are not a bang or a number travel along the same cords, from here.
    tk::objects::set_message_router([&](_object *from, int outlet, const std::string &selector, const tk::Atoms &args) {
        auto it = id_of.find(from);
        if (it == id_of.end())
            return;
        for (const auto &l : lines) {
            if (l.from != it->second || l.outlet != outlet)
                continue;
            tk::Box *to = nodes.at(l.to).box;
            try {
                if (!has_method(*to, selector) && has_method(*to, "anything") && selector != "list") {
                    tk::Atoms all{selector};
                    all.insert(all.end(), args.begin(), args.end());
                    patch.send(to, l.inlet, "anything", all);
                } else {
                    patch.send(to, l.inlet, selector, args);
                }
            } catch (const tk::Error &e) {
                tk::console_emit({tk::ConsoleLine::Error, to->cls().name, e.what()});
            }
        }
    });
    struct Reset {
        ~Reset() { tk::objects::reset_io(); }
    } reset;

    // ---- audio in and out ----
    if (reader) {
        SoundReader *rd = reader.get();
        tk::objects::set_audio_source([rd](int ch, std::int64_t start, long n, double *out) {
            if (ch < rd->channels())
                rd->read(ch, start, n, out);
            else
                std::fill(out, out + n, 0.0);
        });
    }
    if (!o.out.empty() && dac_channels == 0)
        throw BadInput(o.patch + " has no dac~ or ezdac~ to write to '" + o.out + "'");
    std::vector<std::vector<double>> pending(static_cast<std::size_t>(dac_channels));
    std::int64_t base = 0;  // sample index of pending[c][0]
    tk::objects::set_audio_sink([&](int ch, std::int64_t start, long n, const double *in) {
        if (ch < 0 || ch >= dac_channels || start < base)
            return;
        auto &v = pending[std::size_t(ch)];
        std::size_t need = std::size_t(start - base + n);
        if (v.size() < need)
            v.resize(need, 0.0);
        for (long i = 0; i < n; ++i)
            v[std::size_t(start - base + i)] += in[i];
    });

    std::unique_ptr<SoundWriter> writer;
    if (!o.out.empty())
        writer = std::make_unique<SoundWriter>(o.out, dac_channels, sr, format);
    std::unique_ptr<TextWriter> events_file;
    if (!o.events.empty()) {
        events_file = std::make_unique<TextWriter>(o.events);
        std::fprintf(events_file->stream(), "sample,time_ms,box,outlet,kind,value\n");
    }

    // ---- the command line's messages, checked before anything is sent ----
    Schedule schedule;
    std::vector<Scheduled> at_load;
    for (const auto &text : o.messages) {
        std::vector<std::string> words = split_words(text);
        std::string time;
        if (!words.empty() && words[0][0] == '@') {
            time = words[0] + " ";
            words.erase(words.begin());
        }
        if (words.size() < 2)
            throw BadInput("bad message '" + text + "': expected [@T] BOX-ID[:INLET] SELECTOR [ARGS...]");
        std::string target = words[0], inlet = "0";
        if (auto colon = target.rfind(':'); colon != std::string::npos) {
            inlet = target.substr(colon + 1);
            target = target.substr(0, colon);
            if (!parse_count(inlet))
                throw BadInput("bad message '" + text + "': '" + inlet + "' after ':' is not an inlet number");
        }
        auto it = nodes.find(target);
        if (it == nodes.end())
            throw BadInput("bad message '" + text + "': the patch has no box '" + target + "'");
        std::string rest;
        for (std::size_t i = 1; i < words.size(); ++i)
            rest += (i > 1 ? " " : "") + words[i];
        Message m = parse_message(time + inlet + ": " + rest);
        m.text = text;
        tk::Box *box = it->second.box;
        // objects that take any message (print, message boxes) get other selectors as "anything"
        if (m.selector != "int" && m.selector != "float" && m.selector != "list" && !has_method(*box, m.selector) &&
            has_method(*box, "anything")) {
            m.args.insert(m.args.begin(), tk::Atom(m.selector));
            m.selector = "anything";
        }
        check_message(m, *box);
        Scheduled s{m.due_sample(sr), box, m.inlet, m.selector, m.args, m.text};
        if (m.timed())
            schedule.add(s);
        else
            at_load.push_back(s);
    }

    // ---- load time: loadbang, then the untimed messages ----
    for (const auto &b : patcher.boxes)
        if (auto it = nodes.find(b.id); it != nodes.end() && has_method(*it->second.box, "loadbang"))
            patch.send(it->second.box, "loadbang");
    for (const auto &s : at_load)
        patch.send(s.box, s.inlet, s.selector, s.args);

    if (live_requested())
        return play_patch_live(patch, schedule, o);

    // ---- run ----
    std::vector<double> peak(std::size_t(dac_channels), 0.0), squares(std::size_t(dac_channels), 0.0);
    std::vector<std::int64_t> nonfinite(std::size_t(dac_channels), 0);
    std::int64_t written = 0;
    Progress progress(frames, sr);
    auto drain = [&](std::int64_t processed) {
        std::int64_t n = std::min(processed, frames) - written;
        if (n > 0 && dac_channels > 0) {
            std::vector<const double *> chans;
            for (auto &v : pending) {
                if (std::int64_t(v.size()) < n)
                    v.resize(std::size_t(n), 0.0);
                chans.push_back(v.data());
            }
            for (std::size_t c = 0; c < pending.size(); ++c)
                for (std::int64_t i = 0; i < n; ++i) {
                    double s = chans[c][i];
                    if (!std::isfinite(s)) {
                        nonfinite[c]++;
                        continue;
                    }
                    peak[c] = std::max(peak[c], std::fabs(s));
                    squares[c] += s * s;
                }
            if (writer)
                writer->write(chans, n);
            for (auto &v : pending)
                v.erase(v.begin(), v.begin() + std::min<std::int64_t>(n, std::int64_t(v.size())));
        }
        if (n > 0)
            written += n;
        base = processed;
        for (auto &v : pending)  // samples past the end of the render are not kept
            if (processed >= frames)
                v.clear();
        for (const auto &b : patcher.boxes) {
            auto it = nodes.find(b.id);
            if (it == nodes.end())
                continue;
            tk::Box *box = it->second.box;
            if (events_file)
                for (const auto &e : box->events()) {
                    std::string value = event_value_text(e);
                    std::fprintf(events_file->stream(), "%lld,%s,%s,%d,%s,%s\n", static_cast<long long>(e.sample),
                                 number_text(e.time_ms).c_str(), b.id.c_str(), e.outlet, event_kind(e.kind), value.c_str());
                }
            box->clear_events();
        }
        progress.update(processed);
    };
    drain(0);  // events of load time
    try {
        run_scheduled(patch, schedule, frames, chunk_frames, drain);
    } catch (const tk::Error &e) {
        throw Failure(o.patch + ": " + e.what());
    }
    progress.finish();
    for (const auto &s : schedule.undelivered())
        note("message '" + s.text + "' was not sent: it falls at or after the end of the run (" + std::to_string(frames) + " samples)");

    if (writer)
        writer->finish();
    if (events_file)
        events_file->finish();
    std::fflush(stdout);
    for (std::size_t c = 0; c < peak.size(); ++c) {
        double rms = written > 0 ? std::sqrt(squares[c] / double(written)) : 0.0;
        if (nonfinite[c])
            note("dac channel " + std::to_string(c + 1) + ": " + std::to_string(nonfinite[c]) + " samples are not finite numbers");
        else if (!writer)
            note("dac channel " + std::to_string(c + 1) + ": peak " + level_text(peak[c]) + ", rms " + level_text(rms) + " over " +
                 std::to_string(written) + " samples");
    }
    for (auto n : nonfinite)
        if (n)
            return exit_failed;
    return exit_ok;
}

}  // namespace tilde
