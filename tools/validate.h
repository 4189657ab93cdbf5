// `tilde validate`: every external through rates, vector sizes, hostile input, message fuzz,
// churn and audio-path checks, each external in a child process of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace tilde {

struct ValidateOptions {
    std::vector<std::string> names;  // empty with `all`: every external found
    bool all = false;
    bool full = false;               // the full figures; otherwise the quick subset
    bool quick = false;              // said explicitly; the default anyway
    std::optional<std::uint64_t> seed;
    std::string only;                // run one check
    std::optional<long long> case_index;  // with a property check: run this case alone
    int jobs = 0;                    // externals at the same time (0: one per processor)
    bool times = false;              // print the seconds each check took, per external
    double hang_after = 60;          // seconds without an answer from the external that count as a hang
    std::string json;                // write the results as JSON to this file ("-": stdout)
    std::vector<std::string> path_args;  // --path folders, repeated in reproduction commands
    std::string command = "tilde-validate";  // how reproduction commands start
};

// The names of the checks, in the order they run.
const std::vector<std::string> &validate_checks();

// The command line of validation, on `tilde validate` or on the 32-bit `tilde-validate`.
void add_validate_options(CLI::App &cmd, ValidateOptions &o);

int run_validate(const ValidateOptions &o);

}  // namespace tilde
