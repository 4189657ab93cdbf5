// The runtime's one state, the symbol table and the lookup from an instance to its record.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"

// Plain flag for allocation interposers, which must not touch anything that allocates.
extern "C" {
volatile bool tildekit_performing = false;
}

namespace tk::detail {

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

}  // namespace tk::detail
