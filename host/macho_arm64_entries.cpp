// Entries for Apple arm64 callers of variadic functions: the host's (class_new, object_post,
// dsp_add...) and the C library's (sprintf, sscanf...), bound by the Mach-O loader on Linux
// AArch64 in place of the functions themselves.
//
// Apple's arm64 convention passes the fixed arguments as AAPCS64 does, but every variadic one on
// the stack, in 8-byte slots from the caller's stack pointer (char and short promoted to int,
// float to double, each in a slot of its own). Each entry here is an ordinary Linux variadic
// function: its fixed arguments arrive in the registers where both conventions put them, and
// va_start sets the list's __stack to the caller's stack pointer. With __gr_offs and __vr_offs
// made 0, the AAPCS64 va_arg rules take every argument from __stack (an offset of 0 or more says
// the register save area is used up), one 8-byte slot per argument of up to 8 bytes: exactly
// Apple's layout. The list then goes to glibc's va_list form, or the entry reads the arguments
// from it and calls the host's own function with them as a Linux caller would.
//
// Every variadic function of MaxAPI and MaxAudio has its entry here: one added to the host needs
// one too, or an Apple caller reads garbage. Non-variadic calls need nothing: the arguments of the
// host's functions and of the routines it calls fit in the eight registers of each kind (beyond
// them Apple packs stack arguments by their natural size, Linux in 8-byte slots; only the ninth
// argument of perform64 and object_method_imp's last two are on the stack, all 8 bytes wide).
// x18 is reserved on Apple (never used by its code) and a scratch register on Linux: the Mac code
// keeps nothing in it and the host's code never expects it kept across a call, so neither
// direction relies on it.
#include "macho_arm64_entries.h"

#include <cstring>
#include <map>
#include <set>

#if defined(__linux__) && defined(__aarch64__)

#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>

#include "internal.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

#ifdef object_method
#undef object_method
#endif

// glibc's forms of what the entries pass lists on to (the C99 scanf family is what Darwin's
// scanf functions are; the _chk forms are those of fortified code)
extern "C" {
int __isoc99_vsscanf(const char *, const char *, va_list);
int __isoc99_vfscanf(FILE *, const char *, va_list);
int __isoc99_vscanf(const char *, va_list);
int __vsprintf_chk(char *, int, std::size_t, const char *, va_list);
int __vsnprintf_chk(char *, std::size_t, int, std::size_t, const char *, va_list);
}

namespace tk::detail {

namespace {

// The AAPCS64 va_list, field by field (the compiler's own type gives no access to its fields).
struct Aapcs64List {
    void *stack;     // the next argument on the stack
    void *gr_top;    // the end of the saved general registers
    void *vr_top;    // the end of the saved vector registers
    int gr_offs;     // from gr_top to the next saved general register; 0 or more: none left
    int vr_offs;     // the same for the vector registers
};
static_assert(sizeof(Aapcs64List) == sizeof(va_list));

// Every argument still to come from the stack slots.
void slots_only(va_list &ap) {
    Aapcs64List l;
    std::memcpy(&l, &ap, sizeof l);
    l.gr_offs = 0;
    l.vr_offs = 0;
    std::memcpy(&ap, &l, sizeof l);
}

// The list of an entry's variadic arguments as its Apple caller left them: in the stack slots
// from the caller's stack pointer, where va_start points the list's stack.
#define APPLE_VA_START(ap, last) \
    do {                         \
        va_start(ap, last);      \
        slots_only(ap);          \
    } while (0)

// An Apple va_list (a v-function's argument) is the address of the next slot.
void from_apple_list(va_list &ap, void *slots) {
    Aapcs64List l{slots, nullptr, nullptr, 0, 0};
    std::memcpy(&ap, &l, sizeof l);
}

// ---- the host's functions ------------------------------------------------------------------
void *(*max_lookup)(const char *) = nullptr;

enum Fn {
    kClassNew, kClassAddmethod, kObjectMethod, kObjectNew, kObjectPost, kObjectError, kObjectWarn, kPost, kError,
    kCpost, kSnprintfZero, kClassAttrAtoms, kObjectAttrAtoms, kDspAdd, kFnCount
};
const char *const fn_names[kFnCount] = {
    "class_new", "class_addmethod", "object_method", "object_new", "object_post", "object_error", "object_warn", "post",
    "error", "cpost", "snprintf_zero", "class_attr_addattr_atoms", "object_addattr_atoms", "dsp_add"};
std::atomic<void *> fns[kFnCount];

template <class F>
F host(Fn which) {
    void *p = fns[which].load(std::memory_order_acquire);
    if (!p && max_lookup) {
        p = max_lookup(fn_names[which]);
        fns[which].store(p, std::memory_order_release);
    }
    return reinterpret_cast<F>(p);
}

// f(w[0], ..., w[N-1]): the words read from the slots, passed on as a Linux caller passes them
template <class T, std::size_t N, class F>
auto expand(const std::array<T, N> &w, F &&f) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) { return f(w[I]...); }(std::make_index_sequence<N>{});
}

// A type list as the host reads it: until its 0, at most 64 codes; the rest 0.
using Types = std::array<int, 65>;
Types read_types(int first, va_list ap) {
    Types t{};
    t[0] = first;
    for (std::size_t i = 1; i < 64 && t[i - 1] != 0; ++i) t[i] = va_arg(ap, int);
    return t;
}

using Words = std::array<void *, 8>;
Words read_words(va_list ap) {
    Words w{};
    for (auto &p : w) p = va_arg(ap, void *);
    return w;
}

// The text of a printf-style message as the host's console makes it; false when the format
// cannot be used (the host then posts the format itself).
bool text_of(const char *fmt, va_list ap, std::string &text) {
    std::string fixed;
    const char *f = apple_arm64_format(fmt, false, fixed);
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, f, copy);
    va_end(copy);
    if (n < 0) return false;
    if (std::size_t(n) < sizeof small) {
        text.assign(small, std::size_t(n));
    } else {
        text.resize(std::size_t(n) + 1);
        std::vsnprintf(text.data(), text.size(), f, ap);
        text.resize(std::size_t(n));
    }
    return true;
}

t_class *e_class_new(const char *name, const method mnew, const method mfree, long size, const method mmenu, short type, ...) {
    va_list ap;
    APPLE_VA_START(ap, type);
    Types t = read_types(type, ap);
    va_end(ap);
    auto f = host<t_class *(*)(const char *, method, method, long, method, short, ...)>(kClassNew);
    return expand(t, [&](int first, auto... rest) { return f(name, mnew, mfree, size, mmenu, short(first), rest...); });
}

t_max_err e_class_addmethod(t_class *c, const method m, const char *name, ...) {
    va_list ap;
    APPLE_VA_START(ap, name);
    int first = va_arg(ap, int);
    Types t = read_types(first, ap);
    va_end(ap);
    auto f = host<t_max_err (*)(t_class *, method, const char *, ...)>(kClassAddmethod);
    return expand(t, [&](auto... types) { return f(c, m, name, types...); });
}

// object_method and object_new: pointer-sized words, as many as the host reads (it reads no
// more than eight)
void *e_object_method(void *x, t_symbol *s, ...) {
    va_list ap;
    APPLE_VA_START(ap, s);
    Words w = read_words(ap);
    va_end(ap);
    auto f = host<void *(*)(void *, t_symbol *, ...)>(kObjectMethod);
    return expand(w, [&](auto... p) { return f(x, s, p...); });
}

void *e_object_new(t_symbol *name_space, t_symbol *classname, ...) {
    va_list ap;
    APPLE_VA_START(ap, classname);
    Words w = read_words(ap);
    va_end(ap);
    auto f = host<void *(*)(t_symbol *, t_symbol *, ...)>(kObjectNew);
    return expand(w, [&](auto... p) { return f(name_space, classname, p...); });
}

// the console's functions: the message's text made here, posted as "%s"
#define OBJECT_TEXT_ENTRY(entry, which)                                             \
    void entry(t_object *x, const char *fmt, ...) {                                 \
        auto f = host<void (*)(t_object *, const char *, ...)>(which);              \
        if (!fmt) return f(x, fmt);                                                 \
        std::string text;                                                           \
        va_list ap;                                                                 \
        APPLE_VA_START(ap, fmt);                                                    \
        bool ok = text_of(fmt, ap, text);                                           \
        va_end(ap);                                                                 \
        f(x, "%s", ok ? text.c_str() : fmt);                                        \
    }
#define TEXT_ENTRY(entry, which)                                                    \
    void entry(const char *fmt, ...) {                                              \
        auto f = host<void (*)(const char *, ...)>(which);                          \
        if (!fmt) return f(fmt);                                                    \
        std::string text;                                                           \
        va_list ap;                                                                 \
        APPLE_VA_START(ap, fmt);                                                    \
        bool ok = text_of(fmt, ap, text);                                           \
        va_end(ap);                                                                 \
        f("%s", ok ? text.c_str() : fmt);                                           \
    }
OBJECT_TEXT_ENTRY(e_object_post, kObjectPost)
OBJECT_TEXT_ENTRY(e_object_error, kObjectError)
OBJECT_TEXT_ENTRY(e_object_warn, kObjectWarn)
TEXT_ENTRY(e_post, kPost)
TEXT_ENTRY(e_error, kError)
TEXT_ENTRY(e_cpost, kCpost)

int e_snprintf_zero(char *buffer, size_t count, const char *format, ...) {
    auto f = host<int (*)(char *, size_t, const char *, ...)>(kSnprintfZero);
    if (!buffer || count == 0 || !format) return f(buffer, count, format);
    std::string text;
    va_list ap;
    APPLE_VA_START(ap, format);
    bool ok = text_of(format, ap, text);
    va_end(ap);
    if (!ok) {
        f(buffer, count, "");
        return -1;
    }
    return f(buffer, count, "%s", text.c_str());
}

// The *_format calls of the attribute API: their arguments read from the slots into atoms,
// which the host's *_atoms forms take.

t_max_err e_class_attr_addattr_format(t_class *c, const char *attrname, const char *attrname2, const t_symbol *type, long flags,
                                      const char *fmt, ...) {
    va_list ap;
    APPLE_VA_START(ap, fmt);
    std::vector<t_atom> v = atoms_from_format(fmt, ap);
    va_end(ap);
    auto f = host<t_max_err (*)(t_class *, const char *, const char *, t_symbol *, long, long, t_atom *)>(kClassAttrAtoms);
    return f(c, attrname, attrname2, const_cast<t_symbol *>(type), flags, long(v.size()), v.data());
}

t_max_err e_object_addattr_format(t_object *x, const char *attrname, t_symbol *type, long flags, const char *fmt, ...) {
    va_list ap;
    APPLE_VA_START(ap, fmt);
    std::vector<t_atom> v = atoms_from_format(fmt, ap);
    va_end(ap);
    auto f = host<t_max_err (*)(t_object *, const char *, t_symbol *, long, long, t_atom *)>(kObjectAttrAtoms);
    return f(x, attrname, type, flags, long(v.size()), v.data());
}

// dsp_add: its n words (the host takes at most 256; beyond that it refuses the call itself)
void e_dsp_add(t_perfroutine fn, int n, ...) {
    std::array<t_int, 256> w{};
    va_list ap;
    APPLE_VA_START(ap, n);
    for (int i = 0; i < n && i < 256; ++i) w[std::size_t(i)] = va_arg(ap, t_int);
    va_end(ap);
    auto f = host<void (*)(t_perfroutine, int, ...)>(kDspAdd);
    expand(w, [&](auto... words) { f(fn, n, words...); });
}

// ---- the C library's ------------------------------------------------------------------------
#define PRINT_ENTRY(entry, call, last, ...)                 \
    int entry(__VA_ARGS__, ...) {                           \
        std::string buf;                                    \
        const char *f = apple_arm64_format(fmt, false, buf); \
        va_list ap;                                         \
        APPLE_VA_START(ap, last);                           \
        int r = call;                                       \
        va_end(ap);                                         \
        return r;                                           \
    }
PRINT_ENTRY(e_printf, std::vprintf(f, ap), fmt, const char *fmt)
PRINT_ENTRY(e_fprintf, std::vfprintf(file, f, ap), fmt, FILE *file, const char *fmt)
PRINT_ENTRY(e_sprintf, std::vsprintf(s, f, ap), fmt, char *s, const char *fmt)
PRINT_ENTRY(e_snprintf, std::vsnprintf(s, n, f, ap), fmt, char *s, std::size_t n, const char *fmt)
PRINT_ENTRY(e_asprintf, ::vasprintf(s, f, ap), fmt, char **s, const char *fmt)
PRINT_ENTRY(e_dprintf, ::vdprintf(fd, f, ap), fmt, int fd, const char *fmt)
PRINT_ENTRY(e_sprintf_chk, __vsprintf_chk(s, flag, len, f, ap), fmt, char *s, int flag, std::size_t len, const char *fmt)
PRINT_ENTRY(e_snprintf_chk, __vsnprintf_chk(s, n, flag, len, f, ap), fmt, char *s, std::size_t n, int flag, std::size_t len,
            const char *fmt)

#define SCAN_ENTRY(entry, call, ...)                        \
    int entry(__VA_ARGS__, ...) {                           \
        std::string buf;                                    \
        const char *f = apple_arm64_format(fmt, true, buf); \
        va_list ap;                                         \
        APPLE_VA_START(ap, fmt);                            \
        int r = call;                                       \
        va_end(ap);                                         \
        return r;                                           \
    }
SCAN_ENTRY(e_sscanf, __isoc99_vsscanf(s, f, ap), const char *s, const char *fmt)
SCAN_ENTRY(e_fscanf, __isoc99_vfscanf(file, f, ap), FILE *file, const char *fmt)
SCAN_ENTRY(e_scanf, __isoc99_vscanf(f, ap), const char *fmt)

// the v-forms: Apple's va_list is the address of the caller's slots
#define VLIST_ENTRY(entry, call, scan, ...)                 \
    int entry(__VA_ARGS__, void *slots) {                   \
        std::string buf;                                    \
        const char *f = apple_arm64_format(fmt, scan, buf); \
        va_list ap;                                         \
        from_apple_list(ap, slots);                         \
        return call;                                        \
    }
VLIST_ENTRY(e_vprintf, std::vprintf(f, ap), false, const char *fmt)
VLIST_ENTRY(e_vfprintf, std::vfprintf(file, f, ap), false, FILE *file, const char *fmt)
VLIST_ENTRY(e_vsprintf, std::vsprintf(s, f, ap), false, char *s, const char *fmt)
VLIST_ENTRY(e_vsnprintf, std::vsnprintf(s, n, f, ap), false, char *s, std::size_t n, const char *fmt)
VLIST_ENTRY(e_vasprintf, ::vasprintf(s, f, ap), false, char **s, const char *fmt)
VLIST_ENTRY(e_vdprintf, ::vdprintf(fd, f, ap), false, int fd, const char *fmt)
VLIST_ENTRY(e_vsprintf_chk, __vsprintf_chk(s, flag, len, f, ap), false, char *s, int flag, std::size_t len, const char *fmt)
VLIST_ENTRY(e_vsnprintf_chk, __vsnprintf_chk(s, n, flag, len, f, ap), false, char *s, std::size_t n, int flag, std::size_t len,
            const char *fmt)
VLIST_ENTRY(e_vsscanf, __isoc99_vsscanf(s, f, ap), true, const char *s, const char *fmt)
VLIST_ENTRY(e_vfscanf, __isoc99_vfscanf(file, f, ap), true, FILE *file, const char *fmt)
VLIST_ENTRY(e_vscanf, __isoc99_vscanf(f, ap), true, const char *fmt)

void *fn(auto f) { return reinterpret_cast<void *>(f); }

}  // namespace

void *apple_arm64_entry(const std::string &name, void *(*max)(const char *)) {
    static const std::map<std::string, void *> entries = {
        {"class_new", fn(&e_class_new)},
        {"class_addmethod", fn(&e_class_addmethod)},
        {"object_method", fn(&e_object_method)},
        {"object_new", fn(&e_object_new)},
        {"object_post", fn(&e_object_post)},
        {"object_error", fn(&e_object_error)},
        {"object_warn", fn(&e_object_warn)},
        {"post", fn(&e_post)},
        {"error", fn(&e_error)},
        {"cpost", fn(&e_cpost)},
        {"snprintf_zero", fn(&e_snprintf_zero)},
        {"class_attr_addattr_format", fn(&e_class_attr_addattr_format)},
        {"object_addattr_format", fn(&e_object_addattr_format)},
        {"dsp_add", fn(&e_dsp_add)},
        {"printf", fn(&e_printf)},
        {"fprintf", fn(&e_fprintf)},
        {"sprintf", fn(&e_sprintf)},
        {"snprintf", fn(&e_snprintf)},
        {"asprintf", fn(&e_asprintf)},
        {"dprintf", fn(&e_dprintf)},
        {"__sprintf_chk", fn(&e_sprintf_chk)},
        {"__snprintf_chk", fn(&e_snprintf_chk)},
        {"sscanf", fn(&e_sscanf)},
        {"fscanf", fn(&e_fscanf)},
        {"scanf", fn(&e_scanf)},
        {"vprintf", fn(&e_vprintf)},
        {"vfprintf", fn(&e_vfprintf)},
        {"vsprintf", fn(&e_vsprintf)},
        {"vsnprintf", fn(&e_vsnprintf)},
        {"vasprintf", fn(&e_vasprintf)},
        {"vdprintf", fn(&e_vdprintf)},
        {"__vsprintf_chk", fn(&e_vsprintf_chk)},
        {"__vsnprintf_chk", fn(&e_vsnprintf_chk)},
        {"vsscanf", fn(&e_vsscanf)},
        {"vfscanf", fn(&e_vfscanf)},
        {"vscanf", fn(&e_vscanf)},
    };
    if (max) max_lookup = max;
    auto it = entries.find(name);
    return it == entries.end() ? nullptr : it->second;
}

}  // namespace tk::detail

#endif  // Linux AArch64

namespace tk::detail {

bool apple_arm64_untranslated_variadic(const std::string &name) {
    // glibc's other variadic functions (from its headers), the wide-character formats, and
    // Darwin's formats with a locale, which glibc has under other names
    static const std::set<std::string> names = {
        "err", "errx", "warn", "warnx", "execl", "execle", "execlp", "fcntl", "ioctl", "open", "openat",
        "mq_open", "sem_open", "semctl", "syscall", "syslog", "ulimit", "prctl", "ptrace", "mremap", "makecontext",
        "strfmon", "wprintf", "fwprintf", "swprintf", "vwprintf", "vfwprintf", "vswprintf", "wscanf", "fwscanf",
        "swscanf", "vwscanf", "vfwscanf", "vswscanf", "printf_l", "sprintf_l", "snprintf_l", "asprintf_l", "fprintf_l",
        "sscanf_l", "fscanf_l", "scanf_l", "vsyslog", "obstack_printf", "obstack_vprintf"};
    return names.count(name) != 0;
}

const char *apple_arm64_long_double_alias(const std::string &name) {
    static const std::map<std::string, const char *> aliases = [] {
        std::map<std::string, const char *> m;
        // every long double function of <math.h> is its double form
        static const char *const math[] = {
            "acos", "asin", "atan", "atan2", "cos", "sin", "tan", "acosh", "asinh", "atanh", "cosh", "sinh", "tanh",
            "exp", "exp2", "expm1", "frexp", "ilogb", "ldexp", "log", "log10", "log1p", "log2", "logb", "modf",
            "scalbn", "scalbln", "cbrt", "fabs", "hypot", "pow", "sqrt", "erf", "erfc", "lgamma", "tgamma", "ceil",
            "floor", "nearbyint", "rint", "lrint", "llrint", "round", "lround", "llround", "trunc", "fmod",
            "remainder", "remquo", "copysign", "nan", "nextafter", "fdim", "fmax", "fmin", "fma"};
        for (const char *f : math) m[std::string(f) + "l"] = f;
        m["strtold"] = "strtod";
        m["wcstold"] = "wcstod";
        m["nexttoward"] = "nextafter";  // its second argument is a long double
        m["nexttowardl"] = "nextafter";
        return m;
    }();
    auto it = aliases.find(name);
    return it == aliases.end() ? nullptr : it->second;
}

const char *apple_arm64_format(const char *fmt, bool scan, std::string &buf) {
    if (!fmt || !std::strchr(fmt, 'L')) return fmt;
    buf.clear();
    bool changed = false;
    for (const char *p = fmt; *p;) {
        if (*p != '%') {
            buf += *p++;
            continue;
        }
        buf += *p++;
        if (*p == '%') {
            buf += *p++;
            continue;
        }
        // flags, width, precision, position and length up to the conversion
        std::string modifiers;
        while (*p && std::strchr("0123456789.*$-+ #'hlLqjztm", *p)) modifiers += *p++;
        const char conv = *p;
        const std::size_t at = modifiers.find('L');
        if (at != std::string::npos && conv && std::strchr("aAeEfFgG", conv)) {
            if (scan)
                modifiers[at] = 'l';
            else
                modifiers.erase(at, 1);
            changed = true;
        }
        buf += modifiers;
        if (!conv) break;
        buf += *p++;
        if (scan && conv == '[') {  // a set: up to its ], which may come first
            if (*p == '^') buf += *p++;
            if (*p == ']') buf += *p++;
            while (*p && *p != ']') buf += *p++;
            if (*p) buf += *p++;
        }
    }
    return changed ? buf.c_str() : fmt;
}

}  // namespace tk::detail
