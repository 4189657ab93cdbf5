// The command's side of the host console (posts and errors of the externals on stderr,
// prefixed with the class name) and a progress bar that shares the same terminal line.
#pragma once

#include <cstdint>
#include <string>

namespace tilde {

// Routes every uncaptured console line to stderr as "name: text" or "name: error: text".
// `quiet` drops plain posts (errors always show).
void install_console(bool quiet);
// Name used for lines whose object the host could not tell (posts with a NULL object).
void set_console_fallback_name(const std::string &name);

// Our own lines: "tilde: text" on stderr.
void note(const std::string &text);

// A one-line progress bar on stderr, shown only when stderr is a terminal and the render
// covers more than a few seconds of sound; console lines clear it before they print.
class Progress {
public:
    Progress(std::int64_t total_frames, double samplerate);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    void update(std::int64_t done_frames);
    void finish();

private:
    std::int64_t total_;
    bool active_;
    double last_draw_ = -1.0;
};

}  // namespace tilde
