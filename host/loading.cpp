// Classes: the search path, loading an external and its entry routine, host classes, and
// freeing an instance made outside a patch.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>

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
    for (ClockRec *k : r->clocks) {
        std::lock_guard clock_lock(k->owner->clock_lock);
        k->armed = false;
    }
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
std::vector<std::string> module_extensions() {
    std::vector<std::string> e{module_extension()};
    if (host_width_bits() == 64 && macho_supported()) e.push_back(".mxo");
    return e;
}
int host_width_bits() { return int(sizeof(void *) * 8); }

namespace {

// The architecture of the host's own code, which its ELF or PE modules share.
const char *native_arch() {
#if defined(__x86_64__) || defined(_M_X64)
    return "x86_64";
#elif defined(__i386__) || defined(_M_IX86)
    return "i386";
#elif defined(__aarch64__) || defined(_M_ARM64)
    return "arm64";
#elif defined(__arm__)
    return "arm";
#else
    return "unknown";
#endif
}

bool path_exists(const std::string &p) {
    std::error_code ec;
    return std::filesystem::exists(p, ec);
}

// A module found and opened, its entry routine not yet run.
struct Opened {
    std::string path;  // canonical
    void *handle = nullptr;
    void *fn = nullptr;
    std::string entry;
    int bits = 0;
    std::string arch;
    MachoModule *macho = nullptr;
};

void check_not_loaded(const std::string &path, const std::string &name) {
    if (rt().loaded_files.count(path)) throw Error(path + " was loaded already but registered no class named '" + name + "'");
}

Opened open_native(std::string path, const std::string &name) {
    Opened o;
    o.path = path = canonical_path(path);
    check_not_loaded(path, name);
    o.bits = module_width_bits(path);
    if (o.bits == 0) throw Error(path + ": not a shared library (no " + module_format() + " header)");
    if (o.bits != host_width_bits())
        throw Error(path + ": a " + std::to_string(o.bits) + "-bit library; this host is " + std::to_string(host_width_bits()) + "-bit");
    o.arch = std::string(native_arch()) + " (" + module_format() + ")";

    std::string why;
    o.handle = open_module(path, why);
    if (!o.handle) {
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
    o.entry = "ext_main";
    o.fn = own_symbol(o.handle, path, "ext_main");
    if (!o.fn) {
        o.entry = "main";
        o.fn = own_symbol(o.handle, path, "main");
    }
    if (!o.fn) {
        close_module(o.handle);
        throw Error(path + ": no entry routine (exports neither ext_main nor main)");
    }
    return o;
}

// NAME.mxo: a bundle folder or a Mach-O file; its code of the host's architecture mapped and bound
// by the host.
Opened open_bundle(const std::string &mxo, const std::string &name) {
    std::string why;
    std::string exe = macho_executable(mxo, why);
    if (exe.empty()) throw Error(mxo + ": cannot be loaded: " + why);
    Opened o;
    o.path = canonical_path(exe);
    check_not_loaded(o.path, name);
    o.macho = open_macho(o.path, why);
    if (!o.macho) throw Error(o.path + ": cannot be loaded: " + why);
    o.entry = "ext_main";
    o.fn = macho_symbol(o.macho, "ext_main");
    if (!o.fn) {
        o.entry = "main";
        o.fn = macho_symbol(o.macho, "main");
    }
    if (!o.fn) {
        close_macho(o.macho);
        throw Error(o.path + ": no entry routine (exports neither ext_main nor main)");
    }
    start_macho(o.macho);  // its initialisers, before the entry routine
    o.handle = o.macho;
    o.bits = 64;
    o.arch = std::string(macho_arch()) + " (Mach-O)";
    return o;
}

}  // namespace

const ClassInfo &load_class(const std::string &name) {
    LoadingLock lock;  // one thread loads at a time, and a class is loaded once
    auto &r = rt();
    if (auto it = r.box_classes.find(name); it != r.box_classes.end()) return it->second->info;
    if (auto it = r.box_classes.find(lower(name)); it != r.box_classes.end()) return it->second->info;
    if (name.empty() || name.find('/') != std::string::npos)
        throw Error("'" + name + "' is not an external name");

    const std::string ext = module_extension();
    const std::string other = host_width_bits() == 64 ? ".mxe" : ".mxe64";
    // a macOS bundle is taken from a folder that has no module of this host's own format
    const bool macho = host_width_bits() == 64 && macho_supported();
    std::string path, bundle, wrong;
    for (auto &dir : r.paths) {
        std::string p = dir + "/" + name + ext;
        if (regular_file_exists(p)) {
            path = p;
            break;
        }
        if (macho && path_exists(dir + "/" + name + ".mxo")) {
            bundle = dir + "/" + name + ".mxo";
            break;
        }
        if (wrong.empty() && regular_file_exists(dir + "/" + name + other)) wrong = dir + "/" + name + other;
    }
    if (path.empty() && bundle.empty()) {
        if (!wrong.empty())
            throw Error("external '" + name + "': only " + wrong + " was found, which is for the " +
                        (host_width_bits() == 64 ? "32" : "64") + "-bit host; this host loads " + name + ext);
        std::string dirs;
        for (auto &d : r.paths) dirs += "\n  " + d;
        throw Error("external '" + name + "' not found: no " + name + ext + (macho ? " or " + name + ".mxo" : std::string()) +
                    " in the search path" + (dirs.empty() ? std::string(" (it is empty)") : ":" + dirs));
    }
    Opened o = bundle.empty() ? open_native(path, name) : open_bundle(bundle, name);
    r.loaded_files[o.path] = name;

    std::vector<std::string> banner;
    r.banner = &banner;
    r.registered_now.clear();
    r.defining = nullptr;
    if (o.entry == "ext_main")
        reinterpret_cast<void (*)(void *)>(o.fn)(o.handle);
    else
        reinterpret_cast<int (*)()>(o.fn)();
    r.banner = nullptr;
    r.defining = nullptr;

    t_class *found = nullptr;
    std::string names;
    for (t_class *c : r.registered_now) {
        c->info.file = o.path;
        c->info.width_bits = o.bits;
        c->info.arch = o.arch;
        c->info.entry = o.entry;
        c->info.banner = banner;
        r.box_classes[c->info.name] = c;
        r.box_classes[lower(c->info.name)] = c;
        names += (names.empty() ? "" : ", ") + c->info.name;
        if (c->info.name == name || (!found && lower(c->info.name) == lower(name))) found = c;
    }
    r.registered_now.clear();
    if (!found)
        throw Error(o.path + ": registered no class named '" + name + "'" + (names.empty() ? std::string(" (none at all)") : " (it registered " + names + ")"));
    r.box_classes[name] = found;
    return found->info;
}

void detail::register_host_class(t_class *c) {
    LoadingLock lock;
    auto &r = rt();
    c->info.file = "(host)";
    c->info.width_bits = host_width_bits();
    c->info.arch = std::string(native_arch()) + " (host)";
    c->info.entry = "";
    r.box_classes[c->info.name] = c;
    r.box_classes[lower(c->info.name)] = c;
    if (r.defining == c) r.defining = nullptr;
}

}  // namespace tk
