// The console: posts and errors of objects and of the host, captured, sunk or printed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"

namespace tk {
namespace detail {

namespace {
thread_local ConsoleCapture *capture_here TILDEKIT_TLS_MODEL = nullptr;  // the innermost capture of this thread
}

void post_text(ConsoleLine::Kind kind, const std::string &object, const std::string &text) {
    ConsoleLine line{kind, object, text};
    if (kind == ConsoleLine::Post && loading_here() && rt().banner) rt().banner->push_back(text);
    console_emit(line);
}

void post_line(ConsoleLine::Kind kind, const void *x, const char *fmt, va_list ap) {
    if (!fmt) return;
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    std::string text;
    if (n < 0) {
        text = fmt;
    } else if (std::size_t(n) < sizeof small) {
        text.assign(small, std::size_t(n));
    } else {
        text.resize(std::size_t(n) + 1);
        std::vsnprintf(text.data(), text.size(), fmt, ap);
        text.resize(std::size_t(n));
    }
    // object_post (NULL, ...) inside an entry routine belongs to the class being defined (its
    // banner) but, as in the real host, is printed without any object's name in front
    bool banner = !x && loading_here() && rt().banner;
    ConsoleLine line{kind, x ? class_name_of(x) : std::string(), text};
    if (banner && kind == ConsoleLine::Post) rt().banner->push_back(text);
    console_emit(line);
}

}  // namespace detail

using namespace detail;

void console_emit(const ConsoleLine &line) {
    if (capture_here) {
        capture_here->lines_.push_back(line);
        return;
    }
    auto &r = rt();
    std::lock_guard lock(r.console_lock);
    if (r.sink) {
        r.sink(line);
        return;
    }
    std::string who = line.object.empty() ? "tildekit" : line.object;
    std::fprintf(stderr, "%s: %s%s\n", who.c_str(), line.kind == ConsoleLine::Error ? "error: " : "", line.text.c_str());
}

ConsoleCapture::ConsoleCapture() : outer_(capture_here) { capture_here = this; }
ConsoleCapture::~ConsoleCapture() { capture_here = outer_; }
std::vector<std::string> ConsoleCapture::texts() const {
    std::vector<std::string> v;
    for (auto &l : lines_) v.push_back(l.text);
    return v;
}
std::vector<std::string> ConsoleCapture::texts(ConsoleLine::Kind k) const {
    std::vector<std::string> v;
    for (auto &l : lines_)
        if (l.kind == k) v.push_back(l.text);
    return v;
}
bool ConsoleCapture::contains(const std::string &fragment) const {
    for (auto &l : lines_)
        if (l.text.find(fragment) != std::string::npos) return true;
    return false;
}
void set_console_sink(std::function<void(const ConsoleLine &)> sink) {
    std::lock_guard lock(rt().console_lock);
    rt().sink = std::move(sink);
}

}  // namespace tk
