// Messages to a box from the command line: `-m "[@T] [INLET:]SELECTOR [ARGS...]"`, and
// their delivery at block boundaries while a patch runs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tildehost.h"

namespace tilde {

struct Message {
    std::string text;                   // as given, for messages to the user
    std::optional<double> at_seconds;   // @0.5
    std::optional<std::int64_t> at_samples;  // @512s
    int inlet = 0;
    std::string selector;  // "int" / "float" / "list" for bare numbers
    tk::Atoms args;

    bool timed() const { return at_seconds || at_samples; }
    // Selector and arguments from atoms (not empty): a leading symbol is the selector, a
    // bare number is "int" or "float", several numbers are a "list".
    void set_content(const tk::Atoms &atoms);
    // First sample index at which the message is due (its block boundary is the first one
    // at or after it).
    std::int64_t due_sample(double sr) const;
};

// Parses one -m text; throws BadInput naming the message and the problem.
Message parse_message(const std::string &text);

// Checks a parsed message against the box it goes to: the inlet must exist and a named
// selector must be one the class takes from messages. Throws BadInput.
void check_message(const Message &m, const tk::Box &box);

// A message bound to a box, ready for delivery at a sample position.
struct Scheduled {
    std::int64_t due = 0;
    tk::Box *box = nullptr;
    int inlet = 0;
    std::string selector;
    tk::Atoms args;
    std::string text;
};

// Timed messages in time order (ties keep their given order), delivered at block boundaries.
class Schedule {
public:
    void add(Scheduled s) { pending_.push_back(std::move(s)); sorted_ = false; }
    // Sends every message due at or before sample `position`.
    void deliver_due(tk::Patch &patch, std::int64_t position);
    // Sample index of the next undelivered message, or nullopt.
    std::optional<std::int64_t> next_due();
    // Messages never delivered (due at or after the end).
    std::vector<Scheduled> undelivered() const;

private:
    void sort();
    std::vector<Scheduled> pending_;
    std::size_t next_ = 0;
    bool sorted_ = true;
};

}  // namespace tilde

namespace tilde {

// Runs `patch` until `frames` samples are processed, in whole blocks, delivering `schedule`
// at the block boundaries where its messages fall due and calling `after_chunk` with the
// samples processed so far after every run of at most `chunk` samples. Polls for
// interruption between chunks.
void run_scheduled(tk::Patch &patch, Schedule &schedule, std::int64_t frames, std::int64_t chunk,
                   const std::function<void(std::int64_t processed)> &after_chunk);

}  // namespace tilde
