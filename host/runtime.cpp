// The headless host: symbols, loading, boxes and message dispatch, the DSP chain, clocks,
// the console and the accounted allocator.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <queue>
#include <set>
#include <sstream>

#include "internal.h"
#include "modules.h"

// Plain flag for allocation interposers, which must not touch anything that allocates.
extern "C" {
volatile bool tildekit_performing = false;
}

namespace tk {
namespace detail {

Runtime &rt() {
    static Runtime *r = new Runtime();  // lives until the process ends, like the classes
    return *r;
}

t_symbol *intern(const char *s) {
    auto &m = rt().symbols;
    auto it = m.find(s);
    if (it != m.end()) return it->second.get();
    auto sym = std::make_unique<t_symbol>();
    auto [pos, ok] = m.emplace(std::string(s), nullptr);
    sym->s_name = const_cast<char *>(pos->first.c_str());
    sym->s_thing = nullptr;
    pos->second = std::move(sym);
    return pos->second.get();
}

ObjRec *find_object(const void *x) {
    auto it = rt().objects.find(x);
    return it == rt().objects.end() ? nullptr : it->second.get();
}

std::string class_name_of(const void *x) {
    if (ObjRec *r = find_object(x)) return r->cls->info.name;
    if (!x && rt().defining) return rt().defining->info.name;
    return "";
}

// ---- console ----------------------------------------------------------------------

void post_text(ConsoleLine::Kind kind, const std::string &object, const std::string &text) {
    ConsoleLine line{kind, object, text};
    if (kind == ConsoleLine::Post && rt().banner) rt().banner->push_back(text);
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
    bool banner = !x && rt().banner;
    ConsoleLine line{kind, x ? class_name_of(x) : std::string(), text};
    if (banner && kind == ConsoleLine::Post) rt().banner->push_back(text);
    console_emit(line);
}

// ---- accounted allocator ----------------------------------------------------------

namespace {
constexpr std::uint64_t kLive = 0x7469646c6b6c6976ull;
constexpr std::uint64_t kDead = 0x646561646465616eull;
struct alignas(16) BlockHeader {
    std::uint64_t magic;
    std::uint64_t size;
};

BlockHeader *header_of(void *p) { return reinterpret_cast<BlockHeader *>(static_cast<char *>(p) - sizeof(BlockHeader)); }

bool injected_failure(std::size_t size) {
    auto &r = rt();
    if (size > r.fail_above) return true;
    if (r.fail_countdown > 0 && --r.fail_countdown == 0) return true;
    return false;
}
}  // namespace

void *accounted_alloc(std::size_t size, bool clear, bool injectable) {
    auto &r = rt();
    if (injectable && injected_failure(size)) return nullptr;
    if (size > std::size_t(PTRDIFF_MAX) - sizeof(BlockHeader)) return nullptr;
    void *raw = clear ? std::calloc(1, sizeof(BlockHeader) + size) : std::malloc(sizeof(BlockHeader) + size);
    if (!raw) return nullptr;
    auto *h = static_cast<BlockHeader *>(raw);
    h->magic = kLive;
    h->size = size;
    r.live_blocks++;
    r.live_bytes += std::int64_t(size);
    r.total_allocs++;
    if (r.in_perform) r.perform_allocs++;
    return h + 1;
}

void *accounted_realloc(void *p, std::size_t size) {
    if (!p) return accounted_alloc(size, false, true);
    BlockHeader *h = header_of(p);
    if (h->magic != kLive) {
        post_text(ConsoleLine::Error, "", "sysmem_resizeptr: pointer was not allocated here or was freed");
        return nullptr;
    }
    auto &r = rt();
    if (injected_failure(size)) return nullptr;
    if (size > std::size_t(PTRDIFF_MAX) - sizeof(BlockHeader)) return nullptr;
    std::size_t old = h->size;
    void *raw = std::realloc(h, sizeof(BlockHeader) + size);
    if (!raw) return nullptr;
    h = static_cast<BlockHeader *>(raw);
    h->size = size;
    r.live_bytes += std::int64_t(size) - std::int64_t(old);
    r.total_allocs++;
    if (r.in_perform) r.perform_allocs++;
    return h + 1;
}

void accounted_free(void *p) {
    if (!p) return;
    BlockHeader *h = header_of(p);
    if (h->magic != kLive) {
        post_text(ConsoleLine::Error, "", "sysmem_freeptr: pointer was not allocated here or was already freed");
        return;
    }
    h->magic = kDead;
    rt().live_blocks--;
    rt().live_bytes -= std::int64_t(h->size);
    std::free(h);
}

// ---- clocks -----------------------------------------------------------------------

ClockRec *clock_create(void *obj, method fn) {
    auto *c = static_cast<ClockRec *>(accounted_alloc(sizeof(ClockRec), true, false));
    if (!c) return nullptr;
    new (c) ClockRec{obj, fn};
    rt().clocks[c] = c;
    if (ObjRec *r = find_object(obj)) r->clocks.push_back(c);
    return c;
}

void clock_arm(ClockRec *c, double ms) {
    if (!(ms > 0.0)) ms = 0.0;  // negative and NaN delays count as 0
    c->armed = true;
    c->due = rt().now + ms;
    c->seq = ++rt().clock_seq;
    if (c->due < rt().earliest_due) rt().earliest_due = c->due;
}

void clock_disarm(ClockRec *c) { c->armed = false; }

bool free_clock(void *p) {
    auto it = rt().clocks.find(p);
    if (it == rt().clocks.end()) return false;
    ClockRec *c = it->second;
    rt().clocks.erase(it);
    if (ObjRec *r = find_object(c->obj)) std::erase(r->clocks, c);
    c->~ClockRec();
    accounted_free(c);
    return true;
}

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
    rt().objects.erase(x);
    accounted_free(x);
    return true;
}

namespace {
// Fires every armed clock due at or before `until`, always the earliest next (ties in the order
// they were set), so a clock re-armed by a clock routine takes its place among the others.
// A clock that keeps re-arming itself at zero delay would never let time move on: after a
// bounded number of firings at one instant the rest wait for the next call.
// With DSP running, time has reached the block's end before the clocks of that block fire.
void fire_clocks(double until, bool at_block_end = false) {
    auto &r = rt();
    if (at_block_end && until > r.now) r.now = until;
    if (until < r.earliest_due) {
        if (until > r.now) r.now = until;
        return;
    }
    double instant = r.now;
    int at_instant = 0;
    for (;;) {
        ClockRec *next = nullptr;
        double later = std::numeric_limits<double>::infinity();  // the earliest armed clock not due yet
        for (auto &[k, c] : r.clocks) {
            if (!c->armed) continue;
            if (c->due > until) {
                if (c->due < later) later = c->due;
            } else if (!next || c->due < next->due || (c->due == next->due && c->seq < next->seq)) {
                next = c;
            }
        }
        if (!next) {
            r.earliest_due = later;
            break;
        }
        if (next->due > r.now) r.now = next->due;
        if (r.now != instant) {
            instant = r.now;
            at_instant = 0;
        }
        if (++at_instant > 10000) {
            post_text(ConsoleLine::Error, class_name_of(next->obj), "a clock keeps re-arming itself without delay; the rest waits");
            break;
        }
        next->armed = false;
        r.firing++;
        reinterpret_cast<void (*)(void *)>(next->fn)(next->obj);
        r.firing--;
    }
    if (until > r.now) r.now = until;
}
}  // namespace

}  // namespace detail

using namespace detail;

void console_emit(const ConsoleLine &line) {
    auto &r = rt();
    if (r.capture) {
        r.capture->lines_.push_back(line);
        return;
    }
    if (r.sink) {
        r.sink(line);
        return;
    }
    std::string who = line.object.empty() ? "tildekit" : line.object;
    std::fprintf(stderr, "%s: %s%s\n", who.c_str(), line.kind == ConsoleLine::Error ? "error: " : "", line.text.c_str());
}

ConsoleCapture::ConsoleCapture() : outer_(rt().capture) { rt().capture = this; }
ConsoleCapture::~ConsoleCapture() { rt().capture = outer_; }
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
void set_console_sink(std::function<void(const ConsoleLine &)> sink) { rt().sink = std::move(sink); }

MemoryStats memory_stats() { return {rt().live_blocks, rt().live_bytes, rt().total_allocs}; }
void fail_nth_allocation(std::int64_t n) { rt().fail_countdown = n > 0 ? n : 0; }
void fail_allocations_above(std::size_t bytes) { rt().fail_above = bytes; }
void clear_allocation_faults() {
    rt().fail_countdown = 0;
    rt().fail_above = SIZE_MAX;
}
std::int64_t allocations_in_perform() { return rt().perform_allocs; }
std::int64_t frees_without_dsp_free() { return rt().frees_without_dsp_free; }

// ---- atoms ------------------------------------------------------------------------

std::string Atom::text() const {
    if (is_int()) return std::to_string(std::get<0>(v));
    if (is_symbol()) return std::get<2>(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", std::get<1>(v));
    std::string s = buf;
    if (s.find_first_of(".eEn") == std::string::npos) s += ".";
    return s;
}

Atoms parse_atoms(const std::string &text) {
    Atoms out;
    std::istringstream in(text);
    std::string w;
    while (in >> w) {
        char *end = nullptr;
        errno = 0;
        long long i = std::strtoll(w.c_str(), &end, 10);
        if (*end == 0 && !w.empty() && errno == 0) {
            out.emplace_back(i);
            continue;
        }
        errno = 0;
        double d = std::strtod(w.c_str(), &end);
        bool numeric = *end == 0 && !w.empty() && (std::isdigit((unsigned char)w[0]) || w[0] == '-' || w[0] == '+' || w[0] == '.');
        if (numeric && w.find_first_of("xXpP") == std::string::npos && !std::isalpha((unsigned char)w.back()) ) {
            out.emplace_back(d);
            continue;
        }
        if (numeric && (w == "inf" || w == "-inf" || w == "nan")) {
            out.emplace_back(d);
            continue;
        }
        out.emplace_back(w);
    }
    return out;
}

std::string atoms_text(const Atoms &atoms) {
    std::string s;
    for (auto &a : atoms) {
        if (!s.empty()) s += ' ';
        s += a.text();
    }
    return s;
}

namespace {

t_atom_long saturate32(std::int64_t v) {
    return t_atom_long(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

double atom_number(const t_atom &a) {
    if (a.a_type == A_FLOAT) return double(a.a_w.w_float);
    if (a.a_type == A_LONG) return double(a.a_w.w_long);
    return 0.0;
}
t_atom_long atom_integer(const t_atom &a) {
    if (a.a_type == A_LONG) return a.a_w.w_long;
    if (a.a_type != A_FLOAT) return 0;
    double v = double(a.a_w.w_float);  // saturating, NaN to 0
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return t_atom_long(v);
}

std::vector<t_atom> to_t_atoms(const Atoms &atoms) {
    std::vector<t_atom> out(atoms.size());
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        const Atom &a = atoms[i];
        if (a.is_int()) {
            out[i].a_type = A_LONG;
            out[i].a_w.w_long = saturate32(std::get<0>(a.v));
        } else if (a.is_float()) {
            out[i].a_type = A_FLOAT;
            out[i].a_w.w_float = t_atom_float(std::get<1>(a.v));  // single precision in 32-bit builds
        } else {
            out[i].a_type = A_SYM;
            out[i].a_w.w_sym = intern(std::get<2>(a.v).c_str());
        }
    }
    return out;
}

std::string atom_text(const t_atom &a) {
    if (a.a_type == A_SYM) return a.a_w.w_sym->s_name;
    if (a.a_type == A_LONG) return std::to_string(a.a_w.w_long);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", double(a.a_w.w_float));
    return buf;
}

bool is_floatish(int t) { return t == A_FLOAT || t == A_DEFFLOAT; }
bool is_longish(int t) { return t == A_LONG || t == A_DEFLONG; }
bool is_symish(int t) { return t == A_SYM || t == A_DEFSYM; }

// Calls `fn` with the leading `self` (an instance, or nothing for a new routine) and the
// arguments converted by the type list. Returns false and says why when they do not fit.
struct CallResult {
    bool ok;
    void *ret;
    std::string why;
};

CallResult typed_call(method fn, void *self, bool has_self, t_symbol *sel, const std::vector<int> &types,
                      std::vector<t_atom> &argv) {
    using std::size_t;
    long argc = long(argv.size());
    t_atom *av = argv.empty() ? nullptr : argv.data();
    if (types.size() == 1 && types[0] == A_GIMME) {
        if (has_self)
            return {true, reinterpret_cast<void *(*)(void *, t_symbol *, long, t_atom *)>(fn)(self, sel, argc, av), ""};
        return {true, reinterpret_cast<void *(*)(t_symbol *, long, t_atom *)>(fn)(sel, argc, av), ""};
    }
    bool all_float = std::all_of(types.begin(), types.end(), is_floatish);
    bool all_long = std::all_of(types.begin(), types.end(), is_longish);
    bool all_sym = std::all_of(types.begin(), types.end(), is_symish);
    if (types.empty()) {
        if (has_self) return {true, reinterpret_cast<void *(*)(void *)>(fn)(self), ""};
        return {true, reinterpret_cast<void *(*)()>(fn)(), ""};
    }
    for (size_t i = 0; i < types.size() && i < argv.size(); ++i) {
        bool want_num = is_floatish(types[i]) || is_longish(types[i]);
        if (want_num && argv[i].a_type == A_SYM)
            return {false, nullptr, "argument " + std::to_string(i + 1) + " should be a number, not '" + atom_text(argv[i]) + "'"};
        if (is_symish(types[i]) && argv[i].a_type != A_SYM)
            return {false, nullptr, "argument " + std::to_string(i + 1) + " should be a symbol, not " + atom_text(argv[i])};
    }
    if (all_float && types.size() <= 4) {
        double d[4] = {0, 0, 0, 0};  // missing numbers read as 0
        for (size_t i = 0; i < types.size() && i < argv.size(); ++i) d[i] = atom_number(argv[i]);
        using F1 = void *(*)(void *, double);
        using F2 = void *(*)(void *, double, double);
        using F3 = void *(*)(void *, double, double, double);
        using F4 = void *(*)(void *, double, double, double, double);
        if (has_self) {
            switch (types.size()) {
            case 1: return {true, reinterpret_cast<F1>(fn)(self, d[0]), ""};
            case 2: return {true, reinterpret_cast<F2>(fn)(self, d[0], d[1]), ""};
            case 3: return {true, reinterpret_cast<F3>(fn)(self, d[0], d[1], d[2]), ""};
            default: return {true, reinterpret_cast<F4>(fn)(self, d[0], d[1], d[2], d[3]), ""};
            }
        }
        switch (types.size()) {
        case 1: return {true, reinterpret_cast<void *(*)(double)>(fn)(d[0]), ""};
        case 2: return {true, reinterpret_cast<void *(*)(double, double)>(fn)(d[0], d[1]), ""};
        case 3: return {true, reinterpret_cast<void *(*)(double, double, double)>(fn)(d[0], d[1], d[2]), ""};
        default: return {true, reinterpret_cast<void *(*)(double, double, double, double)>(fn)(d[0], d[1], d[2], d[3]), ""};
        }
    }
    if (all_long && types.size() <= 2) {
        t_atom_long l[2] = {0, 0};
        for (size_t i = 0; i < types.size() && i < argv.size(); ++i) l[i] = atom_integer(argv[i]);
        if (has_self) {
            if (types.size() == 1) return {true, reinterpret_cast<void *(*)(void *, t_atom_long)>(fn)(self, l[0]), ""};
            return {true, reinterpret_cast<void *(*)(void *, t_atom_long, t_atom_long)>(fn)(self, l[0], l[1]), ""};
        }
        if (types.size() == 1) return {true, reinterpret_cast<void *(*)(t_atom_long)>(fn)(l[0]), ""};
        return {true, reinterpret_cast<void *(*)(t_atom_long, t_atom_long)>(fn)(l[0], l[1]), ""};
    }
    if (all_sym && types.size() == 1) {
        t_symbol *s = argv.empty() ? intern("") : argv[0].a_w.w_sym;
        if (has_self) return {true, reinterpret_cast<void *(*)(void *, t_symbol *)>(fn)(self, s), ""};
        return {true, reinterpret_cast<void *(*)(t_symbol *)>(fn)(s), ""};
    }
    return {false, nullptr, "its type list is not one this host can call"};
}

// Number selectors a control object registers with A_CANT: called with the bare value.
bool is_float_selector(const std::string &s) { return s == "float" || (s.size() == 3 && s[0] == 'f' && s[1] == 't' && std::isdigit((unsigned char)s[2])); }
bool is_int_selector(const std::string &s) {
    if (s == "int") return true;
    if (s.size() == 3 && s[0] == 'i' && s[1] == 'n' && std::isdigit((unsigned char)s[2])) return true;
    return s.size() == 4 && s.compare(0, 3, "int") == 0 && std::isdigit((unsigned char)s[3]);
}

std::string lower(std::string s) {
    for (auto &c : s) c = char(std::tolower((unsigned char)c));
    return s;
}

}  // namespace

// ---- loading ----------------------------------------------------------------------

void add_search_path(const std::string &dir) {
    auto &p = rt().paths;
    if (std::find(p.begin(), p.end(), dir) == p.end()) p.push_back(dir);
}
void set_search_paths(std::vector<std::string> dirs) { rt().paths = std::move(dirs); }
std::vector<std::string> search_paths() { return rt().paths; }
const char *module_extension() { return sizeof(void *) == 8 ? ".mxe64" : ".mxe"; }
int host_width_bits() { return int(sizeof(void *) * 8); }

const ClassInfo &load_class(const std::string &name) {
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
    if (!handle) throw Error(path + ": cannot be loaded: " + why);
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
    auto &r = rt();
    c->info.file = "(host)";
    c->info.width_bits = host_width_bits();
    c->info.entry = "";
    r.box_classes[c->info.name] = c;
    r.box_classes[lower(c->info.name)] = c;
    if (r.defining == c) r.defining = nullptr;
}

// ---- dispatch ---------------------------------------------------------------------

namespace {

void post_error(const std::string &object, const std::string &text) { post_text(ConsoleLine::Error, object, text); }

void set_inlet(ObjRec *r, int inlet) {
    r->current_inlet = inlet;
    if (r->dsp_setup) reinterpret_cast<t_pxobject *>(r->obj)->z_in = inlet;
}

int inlet_count(const ObjRec *r) {
    int n = std::max<int>(1, int(r->signal_inlets));
    if (!r->number_inlets.empty()) n = std::max(n, r->number_inlets.rbegin()->first + 1);
    return n;
}

int control_depth = 0;

void dispatch(ObjRec *r, int inlet, const std::string &selector_in, std::vector<t_atom> argv) {
    const std::string &cls = r->cls->info.name;
    if (inlet < 0 || inlet >= inlet_count(r))
        throw Error(cls + ": no inlet " + std::to_string(inlet) + " (it has " + std::to_string(inlet_count(r)) + ")");
    if (control_depth > 256) {
        post_error(cls, "stack overflow: messages loop through '" + selector_in + "'; message dropped");
        return;
    }
    std::string selector = selector_in;
    // numbers at a floatin / intin inlet arrive as ftN / inN
    if (inlet > 0 && r->number_inlets.count(inlet)) {
        char kind = r->number_inlets.at(inlet);
        if (selector != "float" && selector != "int") {
            post_error(cls, "inlet " + std::to_string(inlet) + " takes numbers only, not '" + selector + "'");
            return;
        }
        selector = std::string(kind == 'f' ? "ft" : "in") + std::to_string(inlet);
        if (argv.empty()) argv.push_back(t_atom{A_LONG, {0}});
        if (kind == 'f' && argv[0].a_type == A_LONG) {
            t_atom a;
            a.a_type = A_FLOAT;
            a.a_w.w_float = t_atom_float(argv[0].a_w.w_long);
            argv[0] = a;
        }
    }
    const _class::Method *m = r->cls->find(intern(selector.c_str()));
    // an int goes to `float` where only `float` exists, and the other way round
    if (!m && selector == "int") {
        if ((m = r->cls->find(intern("float")))) selector = "float";
    } else if (!m && selector == "float") {
        if ((m = r->cls->find(intern("int")))) selector = "int";
    }
    if (!m) {
        post_error(cls, "doesn't understand '" + selector_in + "'");
        return;
    }
    set_inlet(r, inlet);
    control_depth++;
    struct Depth {
        ~Depth() { control_depth--; }
    } depth_guard;
    if (m->types.size() == 1 && m->types[0] == A_CANT) {
        // host-called routines; of them only numbers can arrive as messages
        if (!argv.empty() && argv[0].a_type == A_SYM) {
            post_error(cls, "'" + selector + "' needs a number, not '" + atom_text(argv[0]) + "'");
            return;
        }
        if (is_float_selector(selector)) {
            double v = argv.empty() ? 0.0 : atom_number(argv[0]);
            reinterpret_cast<void (*)(void *, double)>(m->fn)(r->obj, v);
        } else if (is_int_selector(selector)) {
            t_atom_long v = argv.empty() ? 0 : atom_integer(argv[0]);
            reinterpret_cast<void (*)(void *, t_atom_long)>(m->fn)(r->obj, v);
        } else {
            post_error(cls, "'" + selector + "' is called by the host and cannot be sent as a message");
        }
        return;
    }
    auto res = typed_call(m->fn, r->obj, true, intern(selector.c_str()), m->types, argv);
    if (!res.ok) post_error(cls, "'" + selector + "': " + res.why + "; message ignored");
}

}  // namespace

void *detail::send_direct(void *x, t_symbol *s, void *const *p, int) {
    ObjRec *r = find_object(x);
    if (!r || !s) return nullptr;
    const _class::Method *m = r->cls->find(s);
    if (!m) return nullptr;
    using F = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *, void *);
    return reinterpret_cast<F>(m->fn)(x, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

// ---- patches ----------------------------------------------------------------------

struct Connection {
    Box *from;
    int outlet;
    Box *to;
    int inlet;
};

struct Feed {
    std::int64_t start = 0;  // the patch's sample position when the feed began
    std::vector<double> data;
    std::function<void(double *, long, std::int64_t)> gen;
};

struct Node {
    Box *box;
    ObjRec *rec;
    int nin = 0, nout = 0;
    std::vector<std::vector<double>> in_store, out_store;  // owned buffers
    std::vector<double *> ins, outs;
    std::vector<std::vector<float>> fin_store, fout_store;  // legacy float buffers
    std::vector<float *> fins, fouts;
    std::vector<t_signal> sigs;
    std::vector<PerformEntry> entries;
    bool legacy = false;
    std::vector<std::vector<std::pair<Node *, int>>> sources;  // per inlet: (node, signal outlet)
    std::vector<const Feed *> feeds;                           // per inlet
    std::vector<int> prepared;   // inlets filled (or cleared) before each perform call
    std::vector<double> scratch;  // a generator feed's vector
};

struct Patch::Impl {
    Patch *self;
    std::vector<std::unique_ptr<Box>> boxes;
    std::vector<Connection> connections;
    std::map<std::pair<Box *, int>, Feed> feeds;
    std::map<std::pair<Box *, int>, std::vector<double>> captures;
    std::vector<std::unique_ptr<Node>> chain;
    std::vector<std::pair<std::vector<double> *, const double *>> capture_from;  // capture, outlet buffer
    std::vector<double> saved;  // the inputs before perform, in the separate-buffers mode
    bool compiled = false;
    double time_base = 0;

    ObjRec *rec(Box *b) const {
        ObjRec *r = find_object(b->obj_);
        if (!r) throw Error("box is not alive");
        return r;
    }
    Box *checked(Box *b) const {
        for (auto &p : boxes)
            if (p.get() == b) return b;
        throw Error("box does not belong to this patch");
    }
    void activate() const {
        rt().sr = self->sr_;
        rt().block = self->block_;
    }
    int signal_index(ObjRec *r, int outlet) const {
        // index of an outlet among the signal outlets, counted from the left
        int idx = 0;
        int n = int(r->outlets.size());
        for (int pos = 0; pos < outlet; ++pos) {
            const OutletRec *o = r->outlets[std::size_t(n - 1 - pos)].get();
            if (o->signal) idx++;
        }
        return idx;
    }
    void invalidate() {
        compiled = false;
        chain.clear();
        capture_from.clear();
    }
};

struct HostAccess {
    static ObjRec *rec(const Box *b) { return find_object(b->obj_); }
    static std::vector<Event> &events(Box *b) { return b->events_; }
    static Patch *patch(Box *b) { return b->patch_; }
    static Patch::Impl *impl(Patch *p) { return p->impl_.get(); }
    static std::int64_t processed(Patch *p) { return p->processed_; }
};

void detail::outlet_send(OutletRec *o, Event::Kind kind, double value) {
    ObjRec *r = o->owner;
    Box *box = r->box;
    if (!box) return;
    int index = r->outlet_index(o);
    Patch *patch = HostAccess::patch(box);
    HostAccess::events(box).push_back({patch ? HostAccess::processed(patch) : 0, rt().now, index, kind, value});
    if (!patch) return;
    auto *impl = HostAccess::impl(patch);
    std::vector<Connection> targets;
    for (auto &c : impl->connections)
        if (c.from == box && c.outlet == index && !HostAccess::rec(c.from)->outlets.empty()) targets.push_back(c);
    for (auto &c : targets) {
        ObjRec *to = HostAccess::rec(c.to);
        if (!to) continue;
        std::vector<t_atom> argv;
        std::string sel;
        if (kind == Event::Bang) {
            sel = "bang";
        } else if (kind == Event::Int) {
            sel = "int";
            argv.push_back(t_atom{A_LONG, {t_atom_long(value)}});
        } else {
            sel = "float";
            t_atom a;
            a.a_type = A_FLOAT;
            a.a_w.w_float = t_atom_float(value);
            argv.push_back(a);
        }
        try {
            dispatch(to, c.inlet, sel, argv);
        } catch (const Error &e) {
            post_error(to->cls->info.name, e.what());
        }
    }
}

void detail::add_perform64(t_object *chain, t_object *x, t_perfroutine64 f, long flags, void *userparam) {
    auto &r = rt();
    if (!r.compiling || chain != r.chain_object) {
        post_error(class_name_of(x), "dsp_add64 outside DSP compilation ignored");
        return;
    }
    if (!f) return;
    PerformEntry e;
    e.x = x;
    e.f64 = f;
    e.flags = flags;
    e.userparam = userparam;
    r.compiling->push_back(std::move(e));
}

void detail::add_perform32(t_perfroutine f, int n, va_list ap) {
    auto &r = rt();
    if (!r.compiling || n < 0 || n > 256) {
        post_error("", "dsp_add outside DSP compilation (or with a bad word count) ignored");
        return;
    }
    PerformEntry e;
    e.f32 = f;
    e.words.push_back(t_int(reinterpret_cast<t_ptr_int>(f)));
    for (int i = 0; i < n; ++i) e.words.push_back(va_arg(ap, t_int));
    r.compiling->push_back(std::move(e));
}

// ---- Box --------------------------------------------------------------------------

int Box::signal_inlets() const {
    ObjRec *r = HostAccess::rec(this);
    return r && r->dsp_setup ? int(r->signal_inlets) : 0;
}
int Box::signal_outlets() const {
    ObjRec *r = HostAccess::rec(this);
    if (!r) return 0;
    return int(std::count_if(r->outlets.begin(), r->outlets.end(), [](auto &o) { return o->signal; }));
}
int Box::outlets() const {
    ObjRec *r = HostAccess::rec(this);
    return r ? int(r->outlets.size()) : 0;
}
int Box::inlets() const {
    ObjRec *r = HostAccess::rec(this);
    return r ? inlet_count(r) : 0;
}
bool Box::outlet_is_signal(int outlet) const {
    ObjRec *r = HostAccess::rec(this);
    int n = r ? int(r->outlets.size()) : 0;
    if (outlet < 0 || outlet >= n) return false;
    return r->outlets[std::size_t(n - 1 - outlet)]->signal;
}
bool Box::no_inplace() const {
    ObjRec *r = HostAccess::rec(this);
    return r && r->dsp_setup && (reinterpret_cast<t_pxobject *>(obj_)->z_misc & Z_NO_INPLACE);
}

std::optional<std::string> Box::assist(int io, int index) const {
    ObjRec *r = HostAccess::rec(this);
    if (!r) return std::nullopt;
    const _class::Method *m = r->cls->find(intern("assist"));
    if (!m) return std::nullopt;
    // the buffer starts as a known pattern; an object that writes nothing leaves it intact
    char buf[512];
    std::memset(buf, 0x7f, sizeof buf);
    buf[sizeof buf - 1] = 0;
    char before[512];
    std::memcpy(before, buf, sizeof buf);
    reinterpret_cast<void (*)(void *, void *, long, long, char *)>(m->fn)(r->obj, nullptr, io, index, buf);
    if (std::memcmp(before, buf, sizeof buf) == 0) return std::nullopt;
    return std::string(buf, strnlen(buf, 500));
}

// ---- Patch ------------------------------------------------------------------------

Patch::Patch(double samplerate, int blocksize) : sr_(samplerate), block_(std::clamp(blocksize, 1, 4096)), impl_(std::make_unique<Impl>()) {
    impl_->self = this;
    impl_->time_base = rt().now;
    impl_->activate();
}

Patch::~Patch() {
    while (!impl_->boxes.empty()) free(impl_->boxes.back().get());
}

Box *Patch::create(const std::string &text) {
    Atoms atoms = parse_atoms(text);
    if (atoms.empty() || !atoms[0].is_symbol()) throw Error("box text '" + text + "' does not start with an external's name");
    std::string name = std::get<2>(atoms[0].v);
    atoms.erase(atoms.begin());
    return create(name, atoms);
}

Box *Patch::create(const std::string &name, const Atoms &args) {
    const ClassInfo &info = load_class(name);
    t_class *c = rt().box_classes.at(info.name);
    impl_->activate();
    std::vector<t_atom> argv = to_t_atoms(args);
    auto res = typed_call(c->mnew, nullptr, false, intern(info.name.c_str()), c->info.creation_types, argv);
    std::string text = name + (args.empty() ? "" : " " + atoms_text(args));
    if (!res.ok) {
        post_error(info.name, "cannot create '" + text + "': " + res.why);
        return nullptr;
    }
    ObjRec *r = find_object(res.ret);
    if (!res.ret || !r) {
        post_error(info.name, "could not create the box '" + text + "'");
        return nullptr;
    }
    auto box = std::unique_ptr<Box>(new Box());
    box->cls_ = &c->info;
    box->obj_ = static_cast<t_object *>(res.ret);
    box->text_ = text;
    box->patch_ = this;
    r->box = box.get();
    impl_->boxes.push_back(std::move(box));
    impl_->invalidate();
    return impl_->boxes.back().get();
}

void Patch::free(Box *box) {
    impl_->checked(box);
    // out of the running chain first, whatever the free routine does
    impl_->invalidate();
    std::erase_if(impl_->connections, [&](const Connection &c) { return c.from == box || c.to == box; });
    for (auto it = impl_->feeds.begin(); it != impl_->feeds.end();)
        it = it->first.first == box ? impl_->feeds.erase(it) : std::next(it);
    for (auto it = impl_->captures.begin(); it != impl_->captures.end();)
        it = it->first.first == box ? impl_->captures.erase(it) : std::next(it);
    ObjRec *r = find_object(box->obj_);
    if (r) {
        t_class *c = r->cls;
        impl_->activate();
        if (c->mfree) reinterpret_cast<void (*)(void *)>(c->mfree)(box->obj_);
        note_free_without_dsp_free(r);
        // clocks the object forgot to release must never fire into freed memory
        for (ClockRec *k : r->clocks) k->armed = false;
        rt().objects.erase(box->obj_);
        accounted_free(box->obj_);
    }
    std::erase_if(impl_->boxes, [&](const std::unique_ptr<Box> &b) { return b.get() == box; });
}

std::vector<Box *> Patch::boxes() const {
    std::vector<Box *> v;
    for (auto &b : impl_->boxes) v.push_back(b.get());
    return v;
}

void Patch::send(Box *box, int inlet, const std::string &selector, const Atoms &args) {
    impl_->checked(box);
    impl_->activate();
    dispatch(impl_->rec(box), inlet, selector, to_t_atoms(args));
}

void Patch::send_text(Box *box, int inlet, const std::string &message) {
    Atoms atoms = parse_atoms(message);
    if (atoms.empty()) throw Error("empty message");
    if (atoms[0].is_int()) return send(box, inlet, "int", {atoms[0]});
    if (atoms[0].is_float()) return send(box, inlet, "float", {atoms[0]});
    std::string sel = std::get<2>(atoms[0].v);
    atoms.erase(atoms.begin());
    send(box, inlet, sel, atoms);
}

void Patch::connect(Box *from, int outlet, Box *to, int inlet) {
    impl_->checked(from);
    impl_->checked(to);
    if (outlet < 0 || outlet >= from->outlets())
        throw Error(from->cls().name + ": no outlet " + std::to_string(outlet) + " (it has " + std::to_string(from->outlets()) + ")");
    if (inlet < 0 || inlet >= to->inlets())
        throw Error(to->cls().name + ": no inlet " + std::to_string(inlet) + " (it has " + std::to_string(to->inlets()) + ")");
    if (from->outlet_is_signal(outlet) && inlet >= to->signal_inlets())
        throw Error(to->cls().name + ": inlet " + std::to_string(inlet) + " takes no signal");
    for (auto &c : impl_->connections)
        if (c.from == from && c.outlet == outlet && c.to == to && c.inlet == inlet) return;
    impl_->connections.push_back({from, outlet, to, inlet});
    if (from->outlet_is_signal(outlet)) impl_->invalidate();
}

void Patch::disconnect(Box *from, int outlet, Box *to, int inlet) {
    auto n = std::erase_if(impl_->connections, [&](const Connection &c) {
        return c.from == from && c.outlet == outlet && c.to == to && c.inlet == inlet;
    });
    if (n) impl_->invalidate();
}

void Patch::feed(Box *box, int inlet, std::vector<double> samples) {
    impl_->checked(box);
    if (inlet < 0 || inlet >= box->signal_inlets())
        throw Error(box->cls().name + ": no signal inlet " + std::to_string(inlet) + " (it has " + std::to_string(box->signal_inlets()) + ")");
    impl_->feeds[{box, inlet}] = Feed{processed_, std::move(samples), {}};
    impl_->invalidate();
}

void Patch::feed(Box *box, int inlet, std::function<void(double *, long, std::int64_t)> gen) {
    impl_->checked(box);
    if (inlet < 0 || inlet >= box->signal_inlets())
        throw Error(box->cls().name + ": no signal inlet " + std::to_string(inlet) + " (it has " + std::to_string(box->signal_inlets()) + ")");
    impl_->feeds[{box, inlet}] = Feed{processed_, {}, std::move(gen)};
    impl_->invalidate();
}

void Patch::unfeed(Box *box, int inlet) {
    if (impl_->feeds.erase({box, inlet})) impl_->invalidate();
}

void Patch::capture(Box *box, int outlet) {
    impl_->checked(box);
    if (!box->outlet_is_signal(outlet))
        throw Error(box->cls().name + ": outlet " + std::to_string(outlet) + " is not a signal outlet");
    if (!impl_->captures.count({box, outlet})) {
        impl_->captures[{box, outlet}];
        impl_->invalidate();
    }
}

const std::vector<double> &Patch::output(Box *box, int outlet) const {
    auto it = impl_->captures.find({box, outlet});
    if (it == impl_->captures.end()) throw Error("outlet " + std::to_string(outlet) + " of " + box->cls().name + " is not captured");
    return it->second;
}

void Patch::clear_outputs() {
    for (auto &[k, v] : impl_->captures) v.clear();
}

void Patch::set_samplerate(double sr) {
    if (!(sr > 0) || !std::isfinite(sr)) throw Error("sample rate must be a positive number");
    if (sr != sr_) impl_->invalidate();
    sr_ = sr;
}
void Patch::set_blocksize(int n) {
    if (n < 1 || n > 4096) throw Error("vector size must be 1 to 4096");
    if (n != block_) impl_->invalidate();
    block_ = n;
}
void Patch::set_legacy(bool on) {
    if (on != legacy_) impl_->invalidate();
    legacy_ = on;
}

void Patch::set_separate_buffers(bool on) {
    if (on != separate_) impl_->invalidate();
    separate_ = on;
}

void Patch::dsp_off() { impl_->invalidate(); }

void Patch::compile() {
    auto &I = *impl_;
    I.invalidate();
    I.activate();
    // nodes: every box of a class that takes part in DSP
    std::map<Box *, Node *> node_of;
    std::vector<std::unique_ptr<Node>> nodes;
    for (auto &b : I.boxes) {
        ObjRec *r = I.rec(b.get());
        if (!r->cls->info.dsp) continue;
        auto n = std::make_unique<Node>();
        n->box = b.get();
        n->rec = r;
        n->nin = b->signal_inlets();
        n->nout = b->signal_outlets();
        node_of[b.get()] = n.get();
        nodes.push_back(std::move(n));
    }
    // signal connections, in topological order (Kahn); what remains is a loop
    std::map<Node *, std::vector<Node *>> next;
    std::map<Node *, int> indegree;
    for (auto &n : nodes) {
        n->sources.assign(std::size_t(n->nin), {});
        n->feeds.assign(std::size_t(n->nin), nullptr);
        indegree[n.get()] = 0;
    }
    for (auto &c : I.connections) {
        if (!c.from->outlet_is_signal(c.outlet)) continue;
        Node *a = node_of.count(c.from) ? node_of[c.from] : nullptr;
        Node *b = node_of.count(c.to) ? node_of[c.to] : nullptr;
        if (!a || !b || c.inlet >= b->nin) continue;
        b->sources[std::size_t(c.inlet)].push_back({a, I.signal_index(a->rec, c.outlet)});
        next[a].push_back(b);
        indegree[b]++;
    }
    for (auto &[key, feed] : I.feeds)
        if (Node *n = node_of.count(key.first) ? node_of[key.first] : nullptr)
            if (key.second < n->nin) n->feeds[std::size_t(key.second)] = &feed;
    std::vector<Node *> order, ready;
    for (auto &n : nodes)
        if (indegree[n.get()] == 0) ready.push_back(n.get());
    std::reverse(ready.begin(), ready.end());
    while (!ready.empty()) {
        Node *n = ready.back();
        ready.pop_back();
        order.push_back(n);
        for (Node *m : next[n])
            if (--indegree[m] == 0) ready.insert(ready.begin(), m);
    }
    if (order.size() != nodes.size()) {
        std::string names;
        for (auto &n : nodes)
            if (indegree[n.get()] > 0) names += (names.empty() ? "" : ", ") + n->box->cls().name;
        post_error("", "signal feedback loop through " + names + ": DSP not started");
        throw Error("signal feedback loop through " + names);
    }

    const long N = block_;
    static t_object chain_header{};  // what perform routines receive as the chain object
    rt().chain_object = &chain_header;
    // How many inlets read each signal outlet; a captured outlet counts as read once more. An
    // outlet read by one inlet alone is handed over without a copy: that inlet's buffer is the
    // outlet's own (and its object may write its output there, since nobody else reads it).
    std::map<std::pair<const Node *, int>, int> readers;
    for (auto &n : nodes)
        for (const auto &sources : n->sources)
            for (auto [src, j] : sources) readers[{src, j}]++;
    for (auto &[key, vec] : I.captures)
        for (auto &n : nodes)
            if (n->box == key.first) readers[{n.get(), I.signal_index(n->rec, key.second)}]++;
    for (Node *n : order) {
        auto *px = reinterpret_cast<t_pxobject *>(n->rec->obj);
        bool no_inplace = (px->z_misc & Z_NO_INPLACE) || separate_;
        n->legacy = legacy_ && n->rec->cls->find(intern("dsp"));
        std::vector<short> count(std::size_t(n->nin + n->nout), 0);
        for (int i = 0; i < n->nin; ++i) count[std::size_t(i)] = !n->sources[std::size_t(i)].empty() || n->feeds[std::size_t(i)];
        for (int j = 0; j < n->nout; ++j) {
            bool used = false;
            int total = n->box->outlets();
            for (int o = 0; o < total; ++o)
                if (n->box->outlet_is_signal(o) && I.signal_index(n->rec, o) == j) {
                    used = I.captures.count({n->box, o}) > 0;
                    for (auto &c : I.connections)
                        if (c.from == n->box && c.outlet == o) used = true;
                }
            count[std::size_t(n->nin + j)] = used;
        }
        // buffers: without the no-in-place flag outputs share the inputs' memory
        n->in_store.assign(std::size_t(n->nin), std::vector<double>(std::size_t(N), 0.0));
        n->out_store.assign(std::size_t(n->nout), std::vector<double>(std::size_t(N), 0.0));
        n->ins.clear();
        n->outs.clear();
        std::vector<char> handed(std::size_t(n->nin), 0);  // inlets reading their source's buffer
        for (int i = 0; i < n->nin; ++i) {
            const auto &sources = n->sources[std::size_t(i)];
            if (!separate_ && !n->feeds[std::size_t(i)] && sources.size() == 1 && readers[{sources[0].first, sources[0].second}] == 1) {
                n->ins.push_back(sources[0].first->outs[std::size_t(sources[0].second)]);
                handed[std::size_t(i)] = 1;
            } else {
                n->ins.push_back(n->in_store[std::size_t(i)].data());
            }
        }
        // an unconnected inlet keeps a zero buffer of its own
        for (int j = 0; j < n->nout; ++j)
            n->outs.push_back(!no_inplace && j < n->nin && count[std::size_t(j)] ? n->ins[std::size_t(j)] : n->out_store[std::size_t(j)].data());
        std::vector<PerformEntry> entries;
        rt().compiling = &entries;
        if (n->legacy) {
            n->fin_store.assign(std::size_t(n->nin), std::vector<float>(std::size_t(N), 0.0f));
            n->fout_store.assign(std::size_t(n->nout), std::vector<float>(std::size_t(N), 0.0f));
            n->fins.clear();
            n->fouts.clear();
            for (auto &v : n->fin_store) n->fins.push_back(v.data());
            for (int j = 0; j < n->nout; ++j)
                n->fouts.push_back(!no_inplace && j < n->nin ? n->fins[std::size_t(j)] : n->fout_store[std::size_t(j)].data());
            n->sigs.assign(std::size_t(n->nin + n->nout), t_signal{});
            std::vector<t_signal *> sp;
            for (int k = 0; k < n->nin + n->nout; ++k) {
                t_signal &s = n->sigs[std::size_t(k)];
                s.s_n = N;
                s.s_vec = reinterpret_cast<t_sample *>(k < n->nin ? n->fins[std::size_t(k)] : n->fouts[std::size_t(k - n->nin)]);
                s.s_sr = float(sr_);
                sp.push_back(&s);
            }
            sp.push_back(nullptr);
            // downstream boxes read the widened outputs from buffers of their own
            for (int j = 0; j < n->nout; ++j) n->outs[std::size_t(j)] = n->out_store[std::size_t(j)].data();
            auto *m = n->rec->cls->find(intern("dsp"));
            reinterpret_cast<void (*)(void *, t_signal **, short *)>(m->fn)(n->rec->obj, sp.data(), count.data());
        } else if (auto *m = n->rec->cls->find(intern("dsp64"))) {
            reinterpret_cast<void (*)(void *, t_object *, short *, double, long, long)>(m->fn)(
                n->rec->obj, &chain_header, count.data(), sr_, N, 0);
        }
        rt().compiling = nullptr;
        // An unconnected inlet's buffer stays zero from here on unless it doubles as an output
        // or perform may have written it (the separate-buffers mode lets that be seen).
        n->prepared.clear();
        for (int i = 0; i < n->nin; ++i)
            if (!handed[std::size_t(i)] &&
                (count[std::size_t(i)] || separate_ || (i < n->nout && n->outs[std::size_t(i)] == n->ins[std::size_t(i)])))
                n->prepared.push_back(i);
        n->scratch.assign(std::size_t(N), 0.0);
        for (auto &e : entries)
            if (e.f64 || e.f32) n->entries.push_back(std::move(e));
        I.chain.push_back(std::unique_ptr<Node>(n));
    }
    for (auto &n : nodes) n.release();  // now owned by the chain
    I.capture_from.clear();
    for (auto &[key, vec] : I.captures)
        for (auto &np : I.chain)
            if (np->box == key.first) I.capture_from.emplace_back(&vec, np->outs[std::size_t(I.signal_index(np->rec, key.second))]);
    I.compiled = true;
}

void Patch::run_blocks(std::int64_t blocks) {
    auto &I = *impl_;
    auto &R = rt();
    for (std::int64_t b = 0; b < blocks; ++b) {
        if (!I.compiled) compile();
        R.sr = sr_;
        R.block = block_;
        const long N = block_;
        for (auto &np : I.chain) {
            Node *n = np.get();
            for (int i : n->prepared) {  // the inlets that need work before perform
                double *buf = n->ins[std::size_t(i)];
                const auto &sources = n->sources[std::size_t(i)];
                const Feed *f = n->feeds[std::size_t(i)];
                if (!f && sources.size() == 1) {  // the common case: one source
                    const double *s = sources[0].first->outs[std::size_t(sources[0].second)];
                    std::copy(s, s + N, buf);
                    continue;
                }
                std::fill(buf, buf + N, 0.0);
                for (auto [src, j] : sources) {
                    const double *s = src->outs[std::size_t(j)];
                    for (long k = 0; k < N; ++k) buf[k] += s[k];
                }
                if (f) {
                    if (f->gen) {
                        double *tmp = n->scratch.data();
                        std::fill(tmp, tmp + N, 0.0);
                        f->gen(tmp, N, processed_ - f->start);
                        for (long k = 0; k < N; ++k) buf[k] += tmp[k];
                    } else {
                        for (long k = 0; k < N; ++k) {
                            std::int64_t at = processed_ - f->start + k;
                            if (at < std::int64_t(f->data.size())) buf[k] += f->data[std::size_t(at)];
                        }
                    }
                }
            }
            // in the separate-buffers mode, keep the inputs to see whether perform writes them
            std::vector<double> &saved = I.saved;
            if (separate_) {
                saved.clear();
                for (int i = 0; i < n->nin; ++i) saved.insert(saved.end(), n->ins[std::size_t(i)], n->ins[std::size_t(i)] + N);
            }
            R.in_perform = true;
            tildekit_performing = true;
            if (n->legacy) {
                for (int i = 0; i < n->nin; ++i)
                    for (long k = 0; k < N; ++k) n->fins[std::size_t(i)][k] = float(n->ins[std::size_t(i)][k]);
                for (auto &e : n->entries) {
                    if (!e.f32) continue;
                    t_int *w = e.words.data();
                    t_int *ret = e.f32(w);
                    if (ret != w + e.words.size())
                        post_error(n->box->cls().name, "legacy perform routine returned the wrong argument position");
                }
                for (int j = 0; j < n->nout; ++j)
                    for (long k = 0; k < N; ++k) n->outs[std::size_t(j)][k] = double(n->fouts[std::size_t(j)][k]);
            } else {
                for (auto &e : n->entries)
                    if (e.f64)
                        e.f64(e.x, R.chain_object, n->ins.data(), n->nin, n->outs.data(), n->nout, N, e.flags, e.userparam);
            }
            R.in_perform = false;
            tildekit_performing = false;
            if (separate_)
                for (int i = 0; i < n->nin; ++i)
                    if (std::memcmp(saved.data() + std::size_t(i) * std::size_t(N), n->ins[std::size_t(i)], std::size_t(N) * sizeof(double)) != 0) {
                        input_writes_++;
                        post_error(n->box->cls().name, "the perform routine wrote into its input buffer " + std::to_string(i));
                    }
        }
        for (auto [vec, s] : I.capture_from) vec->insert(vec->end(), s, s + N);
        processed_ += N;
        // time reaches the block's end; the clocks are looked at only when one can be due
        const double until = I.time_base + double(processed_) * 1000.0 / sr_;
        if (until < R.earliest_due) {
            if (until > R.now) R.now = until;
        } else {
            fire_clocks(until, true);
        }
    }
}

void Patch::run(std::int64_t frames) {
    if (frames <= 0) return;
    run_blocks((frames + block_ - 1) / block_);
}

void Patch::advance(double ms) {
    if (!(ms > 0)) ms = 0;
    impl_->activate();
    double until = rt().now + ms;
    fire_clocks(until);
    impl_->time_base = rt().now - double(processed_) * 1000.0 / sr_;
}

double Patch::now_ms() const { return rt().now; }

std::vector<std::vector<double>> Patch::process(Box *box, const std::vector<std::vector<double>> &inputs, std::int64_t frames) {
    impl_->checked(box);
    for (int i = 0; i < box->signal_inlets(); ++i) {
        if (i < int(inputs.size()))
            feed(box, i, std::vector<double>(inputs[std::size_t(i)].begin(), inputs[std::size_t(i)].end()));
        else
            unfeed(box, i);
    }
    for (int o = 0; o < box->outlets(); ++o)
        if (box->outlet_is_signal(o)) capture(box, o);
    clear_outputs();
    run(frames);
    std::vector<std::vector<double>> out;
    for (int o = 0; o < box->outlets(); ++o)
        if (box->outlet_is_signal(o)) {
            auto v = output(box, o);
            v.resize(std::size_t(frames));
            out.push_back(std::move(v));
        }
    return out;
}

}  // namespace tk
