// Interruption handling and text helpers shared by the subcommands.
#include "common.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>

namespace tilde {

namespace {
volatile std::sig_atomic_t pending_signal = 0;

extern "C" void on_signal(int sig) { pending_signal = sig; }
}  // namespace

void install_interrupt_handlers()
{
#ifdef _WIN32
    // the C runtime's signal() is all Windows has (Ctrl-C arrives as SIGINT)
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
#else
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
#endif
}

void check_interrupt()
{
    if (pending_signal)
        throw Interrupted(pending_signal);
}

BadInput cannot_load(const std::string &name, const std::string &reason)
{
    // The host may list the folders it searched on lines of their own; keep one line.
    std::string line, sep;
    std::size_t start = 0;
    while (start <= reason.size()) {
        std::size_t nl = reason.find('\n', start);
        std::string part = trim(reason.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
        if (!part.empty()) {
            line += sep + part;
            sep = (!line.empty() && line.back() == ':') ? " " : ", ";
        }
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    if (line.find(name) == std::string::npos)
        line = "cannot load '" + name + "': " + line;
    return BadInput(line);
}

std::vector<std::string> split_words(const std::string &text)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        std::size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    return words;
}

std::string trim(const std::string &text)
{
    auto sp = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    auto b = std::find_if_not(text.begin(), text.end(), sp);
    auto e = std::find_if_not(text.rbegin(), text.rend(), sp).base();
    return b < e ? std::string(b, e) : std::string();
}

std::string lower(std::string text)
{
    for (auto &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<double> parse_number(const std::string &text)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<std::int64_t> parse_count(const std::string &text)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size())
        return std::nullopt;
    return v;
}

std::string number_text(double v)
{
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, p) : std::string("nan");
}

std::string type_name(int code)
{
    static const char *const names[] = {"A_NOTHING", "A_LONG",  "A_FLOAT",  "A_SYM",   "A_OBJ",
                                        "A_DEFLONG", "A_DEFFLOAT", "A_DEFSYM", "A_GIMME", "A_CANT"};
    if (code >= 0 && code < 10)
        return names[code];
    return "type " + std::to_string(code);
}

std::string type_list_text(const std::vector<int> &types)
{
    if (types.empty())
        return "none";
    std::string s;
    for (int t : types) {
        if (!s.empty())
            s += ", ";
        s += type_name(t);
    }
    return s;
}

const char *event_kind_name(int kind)
{
    switch (kind) {
    case tk::Event::Bang: return "bang";
    case tk::Event::Int: return "int";
    case tk::Event::Float: return "float";
    case tk::Event::List: return "list";
    case tk::Event::Message: return "message";
    }
    return "?";
}

std::string event_value_text(const tk::Event &e)
{
    std::string v;
    switch (e.kind) {
    case tk::Event::Bang: return v;
    case tk::Event::Int: return std::to_string(std::llround(e.value));
    case tk::Event::Float: return number_text(e.value);
    case tk::Event::List: v = tk::atoms_text(e.atoms); break;
    case tk::Event::Message: v = e.selector + (e.atoms.empty() ? "" : " " + tk::atoms_text(e.atoms)); break;
    }
    if (v.find_first_of(",\"\n") == std::string::npos) return v;
    std::string q = "\"";
    for (char c : v) {
        if (c == '"') q += '"';
        q += c == '\n' ? ' ' : c;
    }
    return q + "\"";
}

std::vector<std::string> env_search_paths()
{
    std::vector<std::string> dirs;
    const char *env = std::getenv("TILDEKIT_PATH");
    if (!env)
        return dirs;
    std::string list = env;
    for (std::size_t at = 0; at <= list.size();) {
        std::size_t colon = list.find(':', at);
        std::string dir = list.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        if (!dir.empty())
            dirs.push_back(dir);
        if (colon == std::string::npos)
            break;
        at = colon + 1;
    }
    return dirs;
}

}  // namespace tilde
