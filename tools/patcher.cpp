// Patcher files: JSON with a root "patcher", its "boxes" (each {"box": {...}}) and its
// "lines" (each {"patchline": {"source": [id, outlet], "destination": [id, inlet]}}).
#include "patcher.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "common.h"

namespace tilde {

namespace {

using json = nlohmann::json;

struct Edge {
    std::string from;
    int outlet;
    std::string to;
    int inlet;
};

// The ends of a subpatcher box: its inner inlet and outlet boxes, left to right.
struct Subpatcher {
    std::vector<std::string> inlets, outlets;
};

struct Reader {
    std::string where;
    Patcher out;
    std::set<std::string> wires;             // inlet / outlet boxes of subpatchers
    std::map<std::string, Subpatcher> subs;  // subpatcher box id -> its ends
    std::vector<Edge> edges;

    BadInput bad(const std::string &why) const { return BadInput(where + ": " + why); }

    static std::string first_word(const std::string &text)
    {
        auto words = split_words(text);
        return words.empty() ? std::string() : words[0];
    }

    void read(const json &patcher, const std::string &prefix, bool nested)
    {
        if (!patcher.is_object())
            throw bad("'patcher' is not an object");
        const json boxes = patcher.value("boxes", json::array());
        const json lines = patcher.value("lines", json::array());
        if (!boxes.is_array() || !lines.is_array())
            throw bad("'boxes' and 'lines' must be arrays");
        struct End {
            std::string id;
            double x, y;
        };
        std::vector<End> inlets, outlets;
        std::set<std::string> ids;
        for (const auto &entry : boxes) {
            if (!entry.is_object() || !entry.contains("box") || !entry["box"].is_object())
                throw bad("an entry of 'boxes' holds no 'box'");
            const json &b = entry["box"];
            if (!b.contains("id") || !b["id"].is_string())
                throw bad("a box has no string 'id'");
            PatcherBox box;
            box.id = prefix + b["id"].get<std::string>();
            if (!ids.insert(box.id).second)
                throw bad("box id '" + box.id + "' is used twice");
            box.maxclass = b.value("maxclass", std::string());
            if (b.contains("text") && b["text"].is_string())
                box.text = b["text"].get<std::string>();
            if (b.contains("patching_rect") && b["patching_rect"].is_array() && b["patching_rect"].size() >= 2 &&
                b["patching_rect"][0].is_number() && b["patching_rect"][1].is_number()) {
                box.x = b["patching_rect"][0].get<double>();
                box.y = b["patching_rect"][1].get<double>();
            }
            if (b.contains("numinlets") && b["numinlets"].is_number_integer())
                box.numinlets = int(b["numinlets"].get<long long>());
            if (b.contains("saved_attribute_attributes") && b["saved_attribute_attributes"].is_object()) {
                const json &v = b["saved_attribute_attributes"].value("valueof", json::object());
                if (v.is_object() && v.contains("parameter_initial") && v["parameter_initial"].is_array())
                    for (const auto &n : v["parameter_initial"])
                        if (n.is_number())
                            box.initial.push_back(n.get<double>());
            }
            const std::string word = first_word(box.text);
            const bool object_box = box.maxclass == "newobj";
            if (box.maxclass == "inlet" || (object_box && (word == "inlet" || word == "inlet~"))) {
                if (!nested)
                    throw bad("box " + box.id + ": an inlet box in the top patcher has nothing to receive");
                wires.insert(box.id);
                inlets.push_back({box.id, box.x, box.y});
                continue;
            }
            if (box.maxclass == "outlet" || (object_box && (word == "outlet" || word == "outlet~"))) {
                if (!nested)
                    throw bad("box " + box.id + ": an outlet box in the top patcher has nowhere to send");
                wires.insert(box.id);
                outlets.push_back({box.id, box.x, box.y});
                continue;
            }
            if (object_box && (word == "p" || word == "patcher") && b.contains("patcher")) {
                auto inner = read_sub(b["patcher"], box.id + "/");
                wires.insert(box.id);
                subs[box.id] = inner;
                continue;
            }
            if (is_interface_only(box.maxclass)) {
                out.ignored.push_back(box.id);
                continue;
            }
            out.boxes.push_back(box);
        }
        // Max numbers a subpatcher's inlets and outlets by their place from left to right
        auto order = [](std::vector<End> &v) {
            std::stable_sort(v.begin(), v.end(), [](const End &a, const End &b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
        };
        order(inlets);
        order(outlets);
        for (auto &e : inlets)
            current_ends.inlets.push_back(e.id);
        for (auto &e : outlets)
            current_ends.outlets.push_back(e.id);

        for (const auto &entry : lines) {
            if (!entry.is_object() || !entry.contains("patchline") || !entry["patchline"].is_object())
                throw bad("an entry of 'lines' holds no 'patchline'");
            const json &l = entry["patchline"];
            auto end = [&](const char *key, std::string &id, int &port) {
                if (!l.contains(key) || !l[key].is_array() || l[key].size() < 2 || !l[key][0].is_string() ||
                    !l[key][1].is_number_integer() || l[key][1].get<long long>() < 0 || l[key][1].get<long long>() > 1024)
                    throw bad(std::string("a patchline has no valid '") + key + "' [id, index]");
                id = prefix + l[key][0].get<std::string>();
                port = int(l[key][1].get<long long>());
                if (!ids.count(id))
                    throw bad("a patchline " + std::string(key == std::string("source") ? "starts at" : "ends at") +
                              " box '" + id + "', which does not exist");
            };
            Edge e;
            end("source", e.from, e.outlet);
            end("destination", e.to, e.inlet);
            edges.push_back(e);
        }
    }

    Subpatcher current_ends;

    Subpatcher read_sub(const json &patcher, const std::string &prefix)
    {
        Subpatcher saved = std::move(current_ends);
        current_ends = {};
        read(patcher, prefix, true);
        Subpatcher mine = std::move(current_ends);
        current_ends = std::move(saved);
        return mine;
    }

    // Cords into a subpatcher box go on from its inner inlet boxes; cords out of it leave
    // from its inner outlet boxes; then every cord that reaches an inlet or outlet box is
    // carried on to wherever that box sends.
    void resolve(const std::set<std::string> &ignored)
    {
        std::vector<Edge> redirected;
        for (Edge e : edges) {
            if (ignored.count(e.from) || ignored.count(e.to))
                continue;
            if (auto it = subs.find(e.to); it != subs.end()) {
                if (e.inlet >= int(it->second.inlets.size()))
                    throw bad("a patchline enters inlet " + std::to_string(e.inlet) + " of subpatcher " + e.to + ", which has " +
                              std::to_string(it->second.inlets.size()));
                e.to = it->second.inlets[std::size_t(e.inlet)];
                e.inlet = 0;
            }
            if (auto it = subs.find(e.from); it != subs.end()) {
                if (e.outlet >= int(it->second.outlets.size()))
                    throw bad("a patchline leaves outlet " + std::to_string(e.outlet) + " of subpatcher " + e.from +
                              ", which has " + std::to_string(it->second.outlets.size()));
                e.from = it->second.outlets[std::size_t(e.outlet)];
                e.outlet = 0;
            }
            redirected.push_back(e);
        }
        std::multimap<std::string, const Edge *> from_wire;
        for (const auto &e : redirected)
            if (wires.count(e.from))
                from_wire.emplace(e.from, &e);
        std::function<void(const Edge &, int)> follow = [&](const Edge &e, int depth) {
            if (!wires.count(e.to)) {
                out.lines.push_back({e.from, e.outlet, e.to, e.inlet});
                return;
            }
            if (depth > 256)
                throw bad("patchlines loop through subpatcher inlets and outlets at " + e.to);
            auto [lo, hi] = from_wire.equal_range(e.to);
            for (auto it = lo; it != hi; ++it)
                follow({e.from, e.outlet, it->second->to, it->second->inlet}, depth + 1);
        };
        for (const auto &e : redirected)
            if (!wires.count(e.from))
                follow(e, 0);
    }
};

}  // namespace

bool is_interface_only(const std::string &maxclass)
{
    static const std::set<std::string> names = {"comment", "panel", "fpic", "live.comment", "live.line", "swatch", "textbutton_display"};
    return names.count(maxclass) > 0;
}

Patcher parse_patcher(const std::string &json_text, const std::string &where)
{
    json root;
    try {
        root = json::parse(json_text);
    } catch (const json::exception &e) {
        throw BadInput(where + ": not a patcher file (invalid JSON: " + std::string(e.what()) + ")");
    }
    if (!root.is_object() || !root.contains("patcher"))
        throw BadInput(where + ": not a patcher file (no root 'patcher')");
    Reader r;
    r.where = where;
    r.read(root["patcher"], "", false);
    std::set<std::string> ignored(r.out.ignored.begin(), r.out.ignored.end());
    r.resolve(ignored);
    return std::move(r.out);
}

Patcher read_patcher(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw BadInput("cannot read patcher '" + path + "'");
    std::stringstream ss;
    ss << f.rdbuf();
    return parse_patcher(ss.str(), path);
}

}  // namespace tilde
