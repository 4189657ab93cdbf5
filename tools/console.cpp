// Console sink and progress bar.
#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tildehost.h"

namespace tilde {

namespace {
std::string fallback_name = "tilde";
bool bar_visible = false;  // a progress bar is drawn on the current stderr line

// Seconds of sound above which a render shows progress.
constexpr double progress_threshold_seconds = 5.0;

void clear_bar()
{
    if (bar_visible) {
        std::fputs("\r\033[K", stderr);
        bar_visible = false;
    }
}

double wall_seconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

void install_console(bool quiet)
{
    tk::set_console_sink([quiet](const tk::ConsoleLine &line) {
        if (quiet && line.kind == tk::ConsoleLine::Post)
            return;
        clear_bar();
        const std::string &name = line.object.empty() ? fallback_name : line.object;
        std::fprintf(stderr, "%s: %s%s\n", name.c_str(), line.kind == tk::ConsoleLine::Error ? "error: " : "",
                     line.text.c_str());
        std::fflush(stderr);
    });
}

void set_console_fallback_name(const std::string &name) { fallback_name = name; }

void note(const std::string &text)
{
    clear_bar();
    std::fprintf(stderr, "tilde: %s\n", text.c_str());
    std::fflush(stderr);
}

Progress::Progress(std::int64_t total_frames, double samplerate)
    : total_(total_frames),
      active_(isatty(STDERR_FILENO) && double(total_frames) > progress_threshold_seconds * samplerate)
{
}

Progress::~Progress() { clear_bar(); }

void Progress::update(std::int64_t done_frames)
{
    if (!active_ || total_ <= 0)
        return;
    double now = wall_seconds();
    if (last_draw_ >= 0.0 && now - last_draw_ < 0.1)
        return;
    last_draw_ = now;
    constexpr int width = 40;
    double frac = std::min(1.0, double(done_frames) / double(total_));
    int filled = int(frac * width);
    std::string bar(std::size_t(filled), '#');
    bar.append(std::size_t(width - filled), ' ');
    std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), int(frac * 100.0));
    std::fflush(stderr);
    bar_visible = true;
}

void Progress::finish()
{
    clear_bar();
    active_ = false;
}

}  // namespace tilde
