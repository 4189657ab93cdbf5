// tilde info NAME: what an external registers and what a default box of it looks like.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "common.h"
#include "console.h"
#include "tildehost.h"

namespace tilde {

namespace {

struct Facts {
    const tk::ClassInfo *cls = nullptr;
    bool created = false;  // a default box could be made
    int signal_inlets = 0, inlets = 0, signal_outlets = 0, outlets = 0;
    bool no_inplace = false;
    std::vector<bool> outlet_is_signal;
    std::vector<std::optional<std::string>> inlet_assist, outlet_assist;
    std::vector<tk::ConsoleLine> creation_lines;  // posted while the default box was made
};

Facts gather(const std::string &name)
{
    Facts f;
    tk::ConsoleCapture capture;  // the banner is reported from the class; keep it off stderr
    try {
        f.cls = &tk::load_class(name);
    } catch (const tk::Error &e) {
        throw cannot_load(name, e.what());
    }
    capture.clear();
    tk::Patch patch(48000.0, 64);
    tk::Box *box = patch.create(name, {});
    f.creation_lines = capture.lines();
    if (!box)
        return f;
    f.created = true;
    f.signal_inlets = box->signal_inlets();
    f.inlets = box->inlets();
    f.signal_outlets = box->signal_outlets();
    f.outlets = box->outlets();
    f.no_inplace = box->no_inplace();
    for (int i = 0; i < f.inlets; ++i)
        f.inlet_assist.push_back(box->assist(1, i));
    for (int i = 0; i < f.outlets; ++i) {
        f.outlet_is_signal.push_back(box->outlet_is_signal(i));
        f.outlet_assist.push_back(box->assist(2, i));
    }
    return f;
}

nlohmann::ordered_json types_json(const std::vector<int> &types)
{
    nlohmann::ordered_json a = nlohmann::ordered_json::array();
    for (int t : types)
        a.push_back(type_name(t));
    return a;
}

nlohmann::ordered_json assist_json(const std::vector<std::optional<std::string>> &texts)
{
    nlohmann::ordered_json a = nlohmann::ordered_json::array();
    for (const auto &t : texts)
        a.push_back(t ? nlohmann::ordered_json(*t) : nlohmann::ordered_json(nullptr));
    return a;
}

nlohmann::ordered_json facts_json(const Facts &f)
{
    const tk::ClassInfo &c = *f.cls;
    nlohmann::ordered_json j;
    j["name"] = c.name;
    j["file"] = c.file;
    j["width"] = c.width_bits;
    j["architecture"] = c.arch;
    j["entry"] = c.entry;
    j["creation_types"] = types_json(c.creation_types);
    nlohmann::ordered_json methods = nlohmann::ordered_json::array();
    for (const auto &m : c.methods)
        methods.push_back({{"selector", m.selector}, {"types", types_json(m.types)}});
    j["methods"] = methods;
    j["dsp"] = c.dsp;
    if (f.created) {
        j["instance"] = {
            {"signal_inlets", f.signal_inlets},
            {"inlets", f.inlets},
            {"signal_outlets", f.signal_outlets},
            {"control_outlets", f.outlets - f.signal_outlets},
            {"no_inplace", f.no_inplace},
            {"assist", {{"inlets", assist_json(f.inlet_assist)}, {"outlets", assist_json(f.outlet_assist)}}},
        };
    } else {
        j["instance"] = nullptr;
    }
    j["banner"] = c.banner;
    return j;
}

void print_json(const Facts &f) { std::printf("%s\n", facts_json(f).dump(2).c_str()); }

std::string assist_text(const std::optional<std::string> &t) { return t ? *t : "none"; }

void print_text(const Facts &f)
{
    const tk::ClassInfo &c = *f.cls;
    std::printf("%s\n", c.name.c_str());
    std::printf("  file            %s (%d-bit)\n", c.file.c_str(), c.width_bits);
    std::printf("  architecture    %s\n", c.arch.c_str());
    std::printf("  entry           %s\n", c.entry.c_str());
    std::printf("  creation types  %s\n", type_list_text(c.creation_types).c_str());
    std::printf("  methods\n");
    for (const auto &m : c.methods)
        std::printf("    %-14s  %s\n", m.selector.c_str(), type_list_text(m.types).c_str());
    if (!f.created) {
        std::printf("  default box     refused by the external\n");
    } else {
        std::printf("  signal inlets   %d\n", f.signal_inlets);
        std::printf("  signal outlets  %d\n", f.signal_outlets);
        std::printf("  control outlets %d\n", f.outlets - f.signal_outlets);
        std::printf("  no-in-place     %s\n", f.no_inplace ? "yes" : "no");
        std::printf("  inlets\n");
        for (int i = 0; i < f.inlets; ++i)
            std::printf("    %d %-7s  %s\n", i, i < f.signal_inlets ? "signal" : "control",
                        assist_text(f.inlet_assist[std::size_t(i)]).c_str());
        std::printf("  outlets\n");
        for (int i = 0; i < f.outlets; ++i)
            std::printf("    %d %-7s  %s\n", i, f.outlet_is_signal[std::size_t(i)] ? "signal" : "control",
                        assist_text(f.outlet_assist[std::size_t(i)]).c_str());
    }
    std::printf("  banner\n");
    for (const auto &line : c.banner)
        std::printf("    %s\n", line.c_str());
}

}  // namespace

// The text `tilde info --json NAME` prints, for the Python module's Box.info(); throws
// BadInput when the external cannot be loaded.
std::string info_json_text(const std::string &name) { return facts_json(gather(name)).dump(2); }

int run_info(const InfoOptions &o)
{
    set_console_fallback_name(o.name);
    Facts f = gather(o.name);
    // Lines the default box posted (its refusal, above all) are the external's own console.
    for (const auto &line : f.creation_lines)
        std::fprintf(stderr, "%s: %s%s\n", line.object.empty() ? o.name.c_str() : line.object.c_str(),
                     line.kind == tk::ConsoleLine::Error ? "error: " : "", line.text.c_str());
    if (o.json)
        print_json(f);
    else
        print_text(f);
    if (!f.created) {
        note(o.name + " refused to create a box without arguments");
        return exit_failed;
    }
    return exit_ok;
}

}  // namespace tilde
