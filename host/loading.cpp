// Classes: the search path, loading an external and its entry routine, host classes, and
// freeing an instance made outside a patch.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"
#include "modules.h"

namespace tk {
namespace detail {

// A signal object's free routine must take it out of the chain (z_dsp_free) before its memory
// goes: in a host whose audio runs on, its perform routine would otherwise run on freed memory.
void note_free_without_dsp_free(const ObjRec *r) {
    if (r->dsp_setup && !r->dsp_freed) rt().frees_without_dsp_free++;
}

bool free_unboxed_object(void *x) {
    ObjRec *r = find_object(x);
    if (!r || r->box) return false;
    if (r->cls->mfree) reinterpret_cast<void (*)(void *)>(r->cls->mfree)(x);
    note_free_without_dsp_free(r);
    for (ClockRec *k : r->clocks) k->armed = false;
    remove_object(x);
    forget_object_extras(x);
    accounted_free(x);
    return true;
}

}  // namespace detail

using namespace detail;

void add_search_path(const std::string &dir) {
    LoadingLock lock;
    auto &p = rt().paths;
    if (std::find(p.begin(), p.end(), dir) == p.end()) p.push_back(dir);
}
void set_search_paths(std::vector<std::string> dirs) {
    LoadingLock lock;
    rt().paths = std::move(dirs);
}
std::vector<std::string> search_paths() {
    LoadingLock lock;
    return rt().paths;
}
const char *module_extension() { return sizeof(void *) == 8 ? ".mxe64" : ".mxe"; }
int host_width_bits() { return int(sizeof(void *) * 8); }

const ClassInfo &load_class(const std::string &name) {
    LoadingLock lock;  // one thread loads at a time, and a class is loaded once
    auto &r = rt();
    if (auto it = r.box_classes.find(name); it != r.box_classes.end()) return it->second->info;
    if (auto it = r.box_classes.find(lower(name)); it != r.box_classes.end()) return it->second->info;
    if (name.empty() || name.find('/') != std::string::npos)
        throw Error("'" + name + "' is not an external name");

    const std::string ext = module_extension();
    const std::string other = host_width_bits() == 64 ? ".mxe" : ".mxe64";
    std::string path, wrong;
    for (auto &dir : r.paths) {
        std::string p = dir + "/" + name + ext;
        if (regular_file_exists(p)) {
            path = p;
            break;
        }
        if (wrong.empty() && regular_file_exists(dir + "/" + name + other)) wrong = dir + "/" + name + other;
    }
    if (path.empty()) {
        if (!wrong.empty())
            throw Error("external '" + name + "': only " + wrong + " was found, which is for the " +
                        (host_width_bits() == 64 ? "32" : "64") + "-bit host; this host loads " + name + ext);
        std::string dirs;
        for (auto &d : r.paths) dirs += "\n  " + d;
        throw Error("external '" + name + "' not found: no " + name + ext + " in the search path" +
                    (dirs.empty() ? std::string(" (it is empty)") : ":" + dirs));
    }
    path = canonical_path(path);
    if (auto it = r.loaded_files.find(path); it != r.loaded_files.end())
        throw Error(path + " was loaded already but registered no class named '" + name + "'");
    int bits = module_width_bits(path);
    if (bits == 0) throw Error(path + ": not a shared library (no " + module_format() + " header)");
    if (bits != host_width_bits())
        throw Error(path + ": a " + std::to_string(bits) + "-bit library; this host is " + std::to_string(host_width_bits()) + "-bit");

    std::string why;
    void *handle = open_module(path, why);
    if (!handle) {
        // an API function the host lacks: say which, on one line
        const std::string undefined = "undefined symbol: ";
        if (auto at = why.find(undefined); at != std::string::npos) {
            std::string fn = why.substr(at + undefined.size());
            fn = fn.substr(0, fn.find_first_of(" \n\t("));
            throw Error(path + ": cannot be loaded: it calls " + fn + ", which this host does not implement");
        }
        for (auto &c : why)
            if (c == '\n') c = ' ';
        throw Error(path + ": cannot be loaded: " + why);
    }
    // The entry routine must be the module's own, not one found in a library it depends on.
    auto own = [&](const char *sym) { return own_symbol(handle, path, sym); };
    std::string entry = "ext_main";
    void *fn = own("ext_main");
    if (!fn) {
        entry = "main";
        fn = own("main");
    }
    if (!fn) {
        close_module(handle);
        throw Error(path + ": no entry routine (exports neither ext_main nor main)");
    }
    r.loaded_files[path] = name;

    std::vector<std::string> banner;
    r.banner = &banner;
    r.registered_now.clear();
    r.defining = nullptr;
    if (entry == "ext_main")
        reinterpret_cast<void (*)(void *)>(fn)(handle);
    else
        reinterpret_cast<int (*)()>(fn)();
    r.banner = nullptr;
    r.defining = nullptr;

    t_class *found = nullptr;
    std::string names;
    for (t_class *c : r.registered_now) {
        c->info.file = path;
        c->info.width_bits = bits;
        c->info.entry = entry;
        c->info.banner = banner;
        r.box_classes[c->info.name] = c;
        r.box_classes[lower(c->info.name)] = c;
        names += (names.empty() ? "" : ", ") + c->info.name;
        if (c->info.name == name || (!found && lower(c->info.name) == lower(name))) found = c;
    }
    r.registered_now.clear();
    if (!found)
        throw Error(path + ": registered no class named '" + name + "'" + (names.empty() ? std::string(" (none at all)") : " (it registered " + names + ")"));
    r.box_classes[name] = found;
    return found->info;
}

void detail::register_host_class(t_class *c) {
    LoadingLock lock;
    auto &r = rt();
    c->info.file = "(host)";
    c->info.width_bits = host_width_bits();
    c->info.entry = "";
    r.box_classes[c->info.name] = c;
    r.box_classes[lower(c->info.name)] = c;
    if (r.defining == c) r.defining = nullptr;
}

}  // namespace tk
