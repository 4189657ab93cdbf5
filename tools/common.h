// Shared pieces of the tilde command: the failure kinds and their exit statuses,
// interruption, and small text helpers.
#pragma once

#include "tildehost.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tilde {

// Exit statuses of the command.
enum ExitStatus : int {
    exit_ok = 0,
    exit_failed = 1,     // the external refused the box, or the run itself failed
    exit_bad_input = 2,  // something on the command line or in an input file is wrong
};

// Something the user gave us is wrong: an unknown external, an unreadable file, a malformed
// message or signal, a channel count or inlet that does not fit. Exit status 2.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The external's new routine refused to create the box (its own lines explain why). Exit 1.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The run failed for a reason that is not the user's input (a write error, a host failure).
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// SIGINT or SIGTERM arrived; outputs are abandoned and the status is 128 + signal.
struct Interrupted : std::exception {
    int signal;
    explicit Interrupted(int s) : signal(s) {}
    const char *what() const noexcept override { return "interrupted"; }
};

// Installs the handlers that turn SIGINT / SIGTERM into a flag the long loops poll.
void install_interrupt_handlers();
// Throws Interrupted when a signal has arrived.
void check_interrupt();

// The host's reason why an external could not be loaded, as one line that names it.
BadInput cannot_load(const std::string &name, const std::string &reason);

// ---- text helpers ------------------------------------------------------------------
std::vector<std::string> split_words(const std::string &text);
// The folders of TILDEKIT_PATH (colon-separated, empty parts skipped), in order.
std::vector<std::string> env_search_paths();
std::string trim(const std::string &text);
std::string lower(std::string text);
// Whole-string number parsing; nullopt when the text is not exactly one finite number.
std::optional<double> parse_number(const std::string &text);
std::optional<std::int64_t> parse_count(const std::string &text);  // digits only, >= 0
// Shortest text that reads back as the same double.
std::string number_text(double v);
// An outlet event in the events CSV and `tilde run` output: its kind (bang, int, float, list,
// message) and its value (the number; a list's atoms; a message's selector then its atoms), the
// value quoted as a CSV field when it holds a comma or a quote.
const char *event_kind_name(int kind);
std::string event_value_text(const tk::Event &e);

// Names of the argument-type codes ("A_FLOAT"), for info and messages.
std::string type_name(int code);
std::string type_list_text(const std::vector<int> &types);  // "none" when empty

}  // namespace tilde
