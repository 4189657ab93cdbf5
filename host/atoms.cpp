// Atoms: text form, parsing, conversion to t_atom and calls through a registered type list.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"
#include <sstream>

namespace tk {

using namespace detail;

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

namespace detail {

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
    // integers and symbols mixed (A_SYM, A_DEFLONG...): each is one machine word wherever it stands
    if (std::none_of(types.begin(), types.end(), is_floatish) && types.size() <= 6 &&
        std::all_of(types.begin(), types.end(), [](int t) { return is_longish(t) || is_symish(t); })) {
        t_ptr_int w[6] = {0, 0, 0, 0, 0, 0};
        for (size_t i = 0; i < types.size(); ++i) {
            if (is_longish(types[i])) w[i] = i < argv.size() ? t_ptr_int(atom_integer(argv[i])) : 0;
            else w[i] = reinterpret_cast<t_ptr_int>(i < argv.size() ? argv[i].a_w.w_sym : intern(""));
        }
        using W = t_ptr_int;
        if (has_self)
            return {true, reinterpret_cast<void *(*)(void *, W, W, W, W, W, W)>(fn)(self, w[0], w[1], w[2], w[3], w[4], w[5]), ""};
        return {true, reinterpret_cast<void *(*)(W, W, W, W, W, W)>(fn)(w[0], w[1], w[2], w[3], w[4], w[5]), ""};
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

}  // namespace detail

}  // namespace tk
