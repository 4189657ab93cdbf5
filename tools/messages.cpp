// Parsing, checking and timed delivery of -m messages.
#include "messages.h"

#include <algorithm>
#include <cmath>

#include "common.h"

namespace tilde {

std::int64_t Message::due_sample(double sr) const
{
    if (at_samples)
        return *at_samples;
    if (!at_seconds)
        return 0;
    // Seconds rarely convert to an exact sample count in binary (0.004 * 48000 is not 192
    // exactly); a product within rounding noise of a whole sample counts as that sample.
    double x = *at_seconds * sr;
    double r = std::nearbyint(x);
    if (std::fabs(x - r) <= 1e-9 * std::max(1.0, std::fabs(x)))
        return std::int64_t(r);
    return std::int64_t(std::ceil(x));
}

void Message::set_content(const tk::Atoms &atoms)
{
    if (atoms[0].is_symbol()) {
        selector = std::get<std::string>(atoms[0].v);
        args.assign(atoms.begin() + 1, atoms.end());
    } else {
        selector = atoms.size() == 1 ? (atoms[0].is_int() ? "int" : "float") : "list";
        args = atoms;
    }
}

Message parse_message(const std::string &text)
{
    Message m;
    m.text = text;
    auto bad = [&](const std::string &why) { return BadInput("bad message '" + text + "': " + why); };
    std::vector<std::string> words = split_words(text);
    if (words.empty())
        throw bad("it is empty");
    std::size_t w = 0;

    if (words[w][0] == '@') {
        std::string t = words[w].substr(1);
        if (!t.empty() && t.back() == 's') {
            auto n = parse_count(t.substr(0, t.size() - 1));
            if (!n)
                throw bad("time '" + words[w] + "' is not a whole number of samples");
            m.at_samples = *n;
        } else {
            auto s = parse_number(t);
            if (!s || *s < 0 || *s > 1e9)
                throw bad("time '" + words[w] + "' is not a time in seconds (@0.5) or samples (@512s)");
            m.at_seconds = *s;
        }
        ++w;
    }
    if (w == words.size())
        throw bad("no selector");

    std::string head = words[w];
    std::size_t colon = head.find(':');
    if (colon != std::string::npos) {
        std::string prefix = head.substr(0, colon);
        auto inlet = parse_count(prefix);
        if (!inlet || *inlet > 1000000)
            throw bad("'" + prefix + "' before ':' is not an inlet number");
        m.inlet = int(*inlet);
        head = head.substr(colon + 1);
        if (head.empty()) {  // "1: float 0.5"
            ++w;
            if (w == words.size())
                throw bad("no selector after the inlet");
            head = words[w];
        }
    }
    std::string rest = head;
    for (std::size_t i = w + 1; i < words.size(); ++i)
        rest += " " + words[i];
    tk::Atoms atoms = tk::parse_atoms(rest);
    if (atoms.empty())
        throw bad("no selector");
    m.set_content(atoms);
    return m;
}

void check_message(const Message &m, const tk::Box &box)
{
    const std::string &name = box.cls().name;
    int inlets = box.inlets();
    if (m.inlet >= inlets)
        throw BadInput("message '" + m.text + "': " + name + " has no inlet " + std::to_string(m.inlet) + " (it has " +
                       std::to_string(inlets) + (inlets == 1 ? " inlet)" : " inlets)"));
    // Numbers and lists are the host's to route (they may arrive as ft1, in2...); a named
    // selector must be one of the class's methods that messages can reach.
    if (m.selector == "int" || m.selector == "float" || m.selector == "list")
        return;
    const auto &methods = box.cls().methods;
    auto it = std::find_if(methods.begin(), methods.end(),
                           [&](const tk::MethodInfo &mi) { return mi.selector == m.selector; });
    if (it == methods.end())
        throw BadInput("message '" + m.text + "': " + name + " has no method '" + m.selector + "'");
    if (it->types.size() == 1 && it->types[0] == 9 /* A_CANT */)
        throw BadInput("message '" + m.text + "': " + name + "'s '" + m.selector + "' is called by the host, not by messages");
}

void Schedule::sort()
{
    if (sorted_)
        return;
    std::stable_sort(pending_.begin() + std::ptrdiff_t(next_), pending_.end(),
                     [](const Scheduled &a, const Scheduled &b) { return a.due < b.due; });
    sorted_ = true;
}

void Schedule::deliver_due(tk::Patch &patch, std::int64_t position)
{
    sort();
    while (next_ < pending_.size() && pending_[next_].due <= position) {
        Scheduled &s = pending_[next_++];
        patch.send(s.box, s.inlet, s.selector, s.args);
    }
}

std::optional<std::int64_t> Schedule::next_due()
{
    sort();
    if (next_ < pending_.size())
        return pending_[next_].due;
    return std::nullopt;
}

std::vector<Scheduled> Schedule::undelivered() const
{
    return std::vector<Scheduled>(pending_.begin() + std::ptrdiff_t(next_), pending_.end());
}

}  // namespace tilde

namespace tilde {

void run_scheduled(tk::Patch &patch, Schedule &schedule, std::int64_t frames, std::int64_t chunk,
                   const std::function<void(std::int64_t processed)> &after_chunk)
{
    const std::int64_t block = patch.blocksize();
    auto blocks_for = [block](std::int64_t samples) { return (samples + block - 1) / block; };
    const std::int64_t start = patch.samples_processed();
    while (patch.samples_processed() - start < frames) {
        check_interrupt();
        std::int64_t pos = patch.samples_processed() - start;
        schedule.deliver_due(patch, pos);
        std::int64_t n = std::min(blocks_for(frames - pos), std::max<std::int64_t>(1, chunk / block));
        if (auto due = schedule.next_due(); due && *due > pos)
            n = std::min(n, blocks_for(*due - pos));
        patch.run_blocks(n);
        after_chunk(patch.samples_processed() - start);
    }
}

}  // namespace tilde
