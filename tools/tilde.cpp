// tilde: inspect, render and demo the externals from the shell, without Max.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "commands.h"
#include "common.h"
#include "console.h"
#include "plot.h"
#include "run.h"
#include "validate.h"
#include "signals.h"
#include "tildehost.h"

#ifndef TILDEKIT_MODULE_DIR
#define TILDEKIT_MODULE_DIR ""
#endif
#ifndef TILDEKIT_VERSION_STRING
#define TILDEKIT_VERSION_STRING "unknown"
#endif

namespace fs = std::filesystem;
using namespace tilde;

namespace {

// Folders searched for externals, in order: --path, TILDEKIT_PATH, the build's externals
// folder, then the installed one beside the executable (../externals).
std::vector<std::string> search_folders(const std::vector<std::string> &paths)
{
    std::vector<std::string> dirs;
    for (const auto &p : paths) {
        if (!fs::is_directory(p))
            throw BadInput("--path '" + p + "' is not a folder");
        dirs.push_back(p);
    }
    for (auto &dir : env_search_paths())
        dirs.push_back(dir);
    std::error_code ec;
    if (std::string(TILDEKIT_MODULE_DIR).size() && fs::is_directory(TILDEKIT_MODULE_DIR, ec))
        dirs.push_back(TILDEKIT_MODULE_DIR);
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        fs::path installed = exe.parent_path().parent_path() / "externals";
        if (fs::is_directory(installed, ec))
            dirs.push_back(installed.string());
    }
    // The installed folder is the build's own when run from the build tree: list it once.
    std::vector<std::string> unique;
    std::vector<fs::path> seen;
    for (const auto &d : dirs) {
        fs::path key = fs::weakly_canonical(d, ec);
        if (ec)
            key = d;
        if (std::find(seen.begin(), seen.end(), key) == seen.end()) {
            seen.push_back(key);
            unique.push_back(d);
        }
    }
    return unique;
}

const char *const exit_help =
    "Exit status: 0 done; 1 the external refused the box or the run failed; 2 bad input "
    "(unknown external, unreadable file, channels or inlets that do not fit, malformed "
    "message or signal); 128+N interrupted by signal N. A failed run leaves no output file. "
    "With --live, Ctrl-C ends the run normally (exit 0, the recording kept), and a server that "
    "goes away ends it with exit 1, keeping what was recorded.\n";

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"tilde: inspect, render and demo tildekit externals without Max", "tilde"};
    app.set_version_flag("--version", std::string("tilde ") + TILDEKIT_VERSION_STRING + " (tildekit, " +
                                          std::to_string(tk::host_width_bits()) + "-bit host, externals " +
                                          tk::module_extension() + ")");
    app.footer(exit_help);
    app.require_subcommand(1);
    app.fallthrough();
    std::vector<std::string> paths;
    app.add_option("--path", paths, "Folder to search for externals first (repeatable); then TILDEKIT_PATH "
                                    "(colon-separated), the build's and the installed externals")
        ->type_name("DIR")
        ->allow_extra_args(false);

    // ---- info ----
    InfoOptions info;
    auto *info_cmd = app.add_subcommand("info", "Show what an external registers and what a default box of it has");
    info_cmd->add_option("name", info.name, "External name, e.g. recur~")->required();
    info_cmd->add_flag("--json", info.json, "Print one JSON object instead of text");

    // ---- render ----
    RenderOptions render;
    long long fail_above = -1;
    auto *render_cmd = app.add_subcommand(
        "render", "Create the box NAME ARGS..., feed its signal inlets, run the DSP chain and write its outputs");
    render_cmd->add_option("name", render.name, "External name, e.g. recur~")->required();
    render_cmd->add_option("args", render.args, "Creation arguments of the box");
    render_cmd->add_option("--in", render.in, "Sound file whose channel k feeds signal inlet k")->type_name("FILE");
    render_cmd->add_option("--signal", render.signals, std::string("Test signal for a signal inlet, K=SIGNAL (repeatable). ") + signal_help)
        ->type_name("K=SIGNAL");
    auto *seconds = render_cmd->add_option("--seconds", render.seconds, "Length in seconds (default: the input file's, else 1 s)")
                        ->check(CLI::NonNegativeNumber)
                        ->type_name("S");
    render_cmd->add_option("--samples", render.samples, "Length in samples")
        ->check(CLI::NonNegativeNumber)
        ->excludes(seconds)
        ->type_name("N");
    render_cmd->add_option("--out", render.out, "Sound file with one channel per signal outlet (.wav, .aiff, .flac, ...)")
        ->type_name("FILE");
    render_cmd->add_option("--format", render.format, "Sample format of --out")
        ->check(CLI::IsMember({"float", "double", "pcm16", "pcm24"}))
        ->capture_default_str();
    render_cmd->add_option("--events", render.events, "CSV file for the control outlets' events (default: stdout)")
        ->type_name("FILE.csv");
    render_cmd->add_option("-m,--message", render.messages,
                           "Message \"[@T] [INLET:]SELECTOR [ARGS...]\" (repeatable); T in seconds (@0.5) or samples "
                           "(@512s), delivered at the first block boundary at or after T; without T, sent before DSP "
                           "starts; a bare number is an int or float message")
        ->type_name("MSG");
    render_cmd->add_option("--sr", render.samplerate, "Sample rate in Hz (default: the input file's, else 48000)")
        ->check(CLI::PositiveNumber)
        ->type_name("HZ");
    render_cmd->add_option("--block", render.block, "Block size in samples")->check(CLI::Range(1, 4096))->capture_default_str();
    render_cmd->add_flag("--legacy", render.legacy, "Use the legacy 32-bit float path where the class has one");
    render_cmd->add_flag("-q,--quiet", render.quiet, "Hide the externals' posts (errors still show)");
    // Makes every host allocation above this many bytes fail: shows how an external copes.
    render_cmd->add_option("--fail-allocations-above", fail_above)->group("");

    // ---- demo ----
    DemoOptions demo;
    auto *demo_cmd = app.add_subcommand(
        "demo", "Write demo.wav: a bowed string placed in stereo, compressed, limited and metered");
    demo_cmd->add_option("--out", demo.out, "Output file")->capture_default_str()->type_name("FILE");
    demo_cmd->add_option("--seconds", demo.seconds, "Length in seconds")->capture_default_str()->type_name("S");

    // ---- validate ----
    ValidateOptions validate;
    auto *validate_cmd = app.add_subcommand(
        "validate", "Run externals through rates, vector sizes, hostile input, message fuzz and churn, each in a "
                    "child process; exit 1 on any failure");
    add_validate_options(*validate_cmd, validate);

    // ---- run ----
    RunOptions run;
    auto *run_cmd = add_run_command(app, run);

    // ---- plot ----
    PlotOptions plot;
    bool plot_quiet = false;
    auto *plot_cmd = app.add_subcommand(
        "plot", "Draw the box NAME ARGS... as a PNG or SVG picture: frequency response, static gain curve or waveforms");
    plot_cmd->add_option("kind", plot.kind, "response (magnitude and phase), curve (input against output level) or wave")
        ->required()
        ->check(CLI::IsMember({"response", "curve", "wave"}));
    plot_cmd->add_option("name", plot.name, "External name, e.g. bandres~")->required();
    plot_cmd->add_option("args", plot.args, "Creation arguments of the box");
    plot_cmd->add_option("-m,--message", plot.messages,
                         "Message \"[INLET:]SELECTOR [ARGS...]\" sent before measuring (repeatable); wave plots also "
                         "take timed ones (@T)")
        ->type_name("MSG");
    plot_cmd->add_option("--vary", plot.vary, "\"SELECTOR V1,V2,...\": one curve per value, with a legend")
        ->type_name("\"SEL V1,V2\"");
    plot_cmd->add_option("--out", plot.out, "Picture to write: FILE.png or FILE.svg")->required()->type_name("FILE");
    plot_cmd->add_option("--size", plot.size, "Picture size in pixels")->capture_default_str()->type_name("WxH");
    plot_cmd->add_option("--data", plot.data, "Also write the plotted numbers as CSV")->type_name("FILE.csv");
    plot_cmd->add_option("--sr", plot.samplerate, "Sample rate in Hz (default 48000; wave: the input file's)")
        ->check(CLI::PositiveNumber)
        ->type_name("HZ");
    plot_cmd->add_option("--feed", plot.feed, "response, curve: signal inlets that get the test signal (default 0; "
                                              "curve of a stereo box: 0,1)")
        ->delimiter(',')
        ->type_name("K,K");
    plot_cmd->add_option("--outlet", plot.outlet, "response, curve: signal outlet to measure")->capture_default_str();
    plot_cmd->add_option("--method", plot.method, "response: impulse (linear boxes), sines (stepped sines), or auto")
        ->check(CLI::IsMember({"auto", "impulse", "sines"}))
        ->capture_default_str();
    plot_cmd->add_option("--level", plot.level_db, "response: level of the stepped sines in dBFS")->capture_default_str();
    plot_cmd->add_option("--tone", plot.tone, "curve: frequency of the tones in Hz (0: constant levels)")->capture_default_str();
    plot_cmd->add_option("--settle", plot.settle, "response (sines), curve: seconds each tone runs before it is measured")
        ->capture_default_str();
    plot_cmd->add_option("--in", plot.in, "wave: sound file whose channel k feeds signal inlet k")->type_name("FILE");
    plot_cmd->add_option("--signal", plot.signals, std::string("wave: test signal K=SIGNAL (repeatable). ") + signal_help)
        ->type_name("K=SIGNAL");
    plot_cmd->add_option("--seconds", plot.seconds, "wave: length in seconds (default: the file's, else 0.1)")
        ->check(CLI::PositiveNumber)
        ->type_name("S");
    plot_cmd->add_option("--block", plot.block, "Block size in samples")->check(CLI::Range(1, 4096))->capture_default_str();
    plot_cmd->add_flag("-q,--quiet", plot_quiet, "Hide the externals' posts (errors still show)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)  // --help, --version
            return app.exit(e);
        std::fprintf(stderr, "tilde: %s (see tilde --help)\n", e.what());
        return exit_bad_input;
    }

    install_interrupt_handlers();
    try {
        tk::set_search_paths(search_folders(paths));
        if (info_cmd->parsed()) {
            install_console(false);
            return run_info(info);
        }
        if (render_cmd->parsed()) {
            install_console(render.quiet);
            if (fail_above >= 0)
                tk::fail_allocations_above(std::size_t(fail_above));
            return run_render(render);
        }
        if (run_cmd->parsed()) {
            install_console(run.quiet);
            return run_patch(run);
        }
        if (plot_cmd->parsed()) {
            install_console(plot_quiet);
            return run_plot(plot);
        }
        if (validate_cmd->parsed()) {
            install_console(false);
            validate.path_args = paths;
            validate.command = "tilde validate";
            return run_validate(validate);
        }
        install_console(false);
        return run_demo(demo);
    } catch (const BadInput &e) {
        note(e.what());
        return exit_bad_input;
    } catch (const Refused &e) {
        note(e.what());
        return exit_failed;
    } catch (const Interrupted &e) {
        note("interrupted; no output written");
        return 128 + e.signal;
    } catch (const std::exception &e) {
        note(e.what());
        return exit_failed;
    }
}
