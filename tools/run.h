// tilde run PATCH: a Max patcher file rendered headless through the host.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tilde {

struct RunOptions {
    std::string patch;
    std::string in;
    std::string out;
    std::string format = "float";
    std::optional<double> seconds;
    std::optional<long long> samples;
    std::optional<double> samplerate;
    int block = 64;
    bool legacy = false;
    std::string events;
    std::vector<std::string> messages;  // "[@T] BOX-ID[:INLET] SELECTOR ARGS"
    bool skip_unknown = false;
    bool quiet = false;
};

// Adds the `run` subcommand and its options to the app; returns it.
CLI::App *add_run_command(CLI::App &app, RunOptions &o);
// Exit status; bad input and failures are thrown (see common.h).
int run_patch(const RunOptions &o);

}  // namespace tilde
