// The subcommands of tilde and their options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tilde {

struct InfoOptions {
    std::string name;
    bool json = false;
};

struct RenderOptions {
    std::string name;
    std::vector<std::string> args;
    std::string in;
    std::vector<std::string> signals;
    std::optional<double> seconds;
    std::optional<long long> samples;
    std::string out;
    std::string format = "float";
    std::string events;
    std::vector<std::string> messages;
    std::optional<double> samplerate;
    int block = 64;
    bool legacy = false;
    bool quiet = false;
};

struct DemoOptions {
    std::string out = "demo.wav";
    double seconds = 8.0;
};

// Each returns the exit status; bad input and failures are thrown (see common.h).
int run_info(const InfoOptions &o);
int run_render(const RenderOptions &o);
int run_demo(const DemoOptions &o);

}  // namespace tilde
