// Attributes: class and instance attributes with offsets, getters and setters, clip filters,
// and their values as atoms for queries.
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "sdkapi.h"
#include "tildesdk.h"

namespace tk::detail {

namespace {
constexpr long attr_magic = 0x61747472;  // 'attr', in the header's magic word

struct Tables {
    std::mutex lock;
    std::unordered_map<const t_class *, std::vector<AttrRec *>> by_class;
    std::unordered_map<const void *, AttrRec *> all;
};
Tables &tables() {
    static Tables *t = new Tables();  // attributes live as long as their classes
    return *t;
}

bool type_is(const AttrRec *a, const char *name) { return a->type && std::strcmp(a->type->s_name, name) == 0; }
bool numeric_type(const AttrRec *a) {
    return type_is(a, "char") || type_is(a, "long") || type_is(a, "atom_long") || type_is(a, "int32") ||
           type_is(a, "float32") || type_is(a, "float64");
}
}  // namespace

bool is_attr(const void *p) {
    if (!p) return false;
    std::lock_guard g(tables().lock);
    return tables().all.count(p) != 0;
}

AttrRec *new_attr() {
    auto *a = new AttrRec();
    a->header.o_magic = attr_magic;
    std::lock_guard g(tables().lock);
    tables().all[a] = a;
    return a;
}

void class_add_attr(t_class *c, AttrRec *a) {
    std::lock_guard g(tables().lock);
    auto &v = tables().by_class[c];
    for (auto &old : v)
        if (old->name == a->name) {
            old = a;  // a later definition of a name wins
            return;
        }
    v.push_back(a);
}

AttrRec *find_class_attr(t_class *c, t_symbol *name) {
    if (!c || !name) return nullptr;
    std::lock_guard g(tables().lock);
    auto it = tables().by_class.find(c);
    if (it == tables().by_class.end()) return nullptr;
    for (AttrRec *a : it->second)
        if (a->name == name->s_name) return a;
    return nullptr;
}

const std::vector<AttrRec *> &class_attrs(t_class *c) {
    std::lock_guard g(tables().lock);
    return tables().by_class[c];
}

bool attr_set(void *x, AttrRec *a, long argc, t_atom *argv) {
    const std::string who = class_name_of(x);
    auto refuse = [&](const std::string &why) {
        post_error(who, "attribute '" + a->name + "': " + why + "; unchanged");
        return false;
    };
    if (argc < 0 || (argc > 0 && !argv)) return refuse("bad arguments");
    std::vector<t_atom> v(argv, argv + argc);
    if (numeric_type(a) || type_is(a, "symbol") || type_is(a, "atom")) {
        if (argc == 0) return refuse("needs a value");
        if (argc > 1) return refuse("takes one value, not " + std::to_string(argc));
    }
    if (numeric_type(a) && v[0].a_type != A_LONG && v[0].a_type != A_FLOAT)
        return refuse("takes a number, not '" + atom_text(v[0]) + "'");
    if (type_is(a, "symbol") && v[0].a_type != A_SYM) return refuse("takes a symbol, not " + atom_text(v[0]));
    if (numeric_type(a) && (a->clip_min || a->clip_max)) {
        double d = atom_number(v[0]);
        if (std::isnan(d)) return refuse("takes a number, not NaN");
        double c = d;
        if (a->clip_min && c < a->min) c = a->min;
        if (a->clip_max && c > a->max) c = a->max;
        if (c != d) {
            if (v[0].a_type == A_LONG) v[0].a_w.w_long = t_atom_long(c);
            else v[0].a_w.w_float = t_atom_float(c);
        }
    }
    if (a->set) {
        using Set = t_max_err (*)(void *, void *, long, t_atom *);
        reinterpret_cast<Set>(a->set)(x, a, long(v.size()), v.empty() ? nullptr : v.data());
        return true;
    }
    if (a->flags & 0x00000200 /* ATTR_SET_OPAQUE_USER */) return refuse("is read-only");
    char *field = static_cast<char *>(x) + a->offset;
    const t_atom &v0 = v[0];
    if (type_is(a, "char")) {
        *reinterpret_cast<char *>(field) = char(atom_integer(v0));
    } else if (type_is(a, "long")) {
        *reinterpret_cast<long *>(field) = long(atom_integer(v0));
    } else if (type_is(a, "atom_long")) {
        *reinterpret_cast<t_atom_long *>(field) = atom_integer(v0);
    } else if (type_is(a, "int32")) {
        *reinterpret_cast<std::int32_t *>(field) = std::int32_t(atom_integer(v0));
    } else if (type_is(a, "float32")) {
        *reinterpret_cast<float *>(field) = float(atom_number(v0));
    } else if (type_is(a, "float64")) {
        *reinterpret_cast<double *>(field) = atom_number(v0);
    } else if (type_is(a, "symbol")) {
        *reinterpret_cast<t_symbol **>(field) = v0.a_w.w_sym;
    } else if (type_is(a, "atom")) {
        *reinterpret_cast<t_atom *>(field) = v0;
    } else {
        return refuse(std::string("its type '") + (a->type ? a->type->s_name : "?") + "' cannot be set by a message");
    }
    return true;
}

std::vector<t_atom> attr_get(void *x, AttrRec *a) {
    std::vector<t_atom> out;
    if (a->get) {
        long ac = 0;
        t_atom *av = nullptr;
        using Get = t_max_err (*)(void *, void *, long *, t_atom **);
        reinterpret_cast<Get>(a->get)(x, a, &ac, &av);
        if (av) {
            out.assign(av, av + std::max(0L, ac));
            accounted_free(av);  // the getter allocated it (atom_alloc / sysmem_newptr)
        }
        return out;
    }
    const char *field = static_cast<const char *>(x) + a->offset;
    t_atom t{};
    if (type_is(a, "char")) {
        t.a_type = A_LONG;
        t.a_w.w_long = *reinterpret_cast<const char *>(field);
    } else if (type_is(a, "long")) {
        t.a_type = A_LONG;
        t.a_w.w_long = t_atom_long(*reinterpret_cast<const long *>(field));
    } else if (type_is(a, "atom_long")) {
        t.a_type = A_LONG;
        t.a_w.w_long = *reinterpret_cast<const t_atom_long *>(field);
    } else if (type_is(a, "int32")) {
        t.a_type = A_LONG;
        t.a_w.w_long = *reinterpret_cast<const std::int32_t *>(field);
    } else if (type_is(a, "float32")) {
        t.a_type = A_FLOAT;
        t.a_w.w_float = *reinterpret_cast<const float *>(field);
    } else if (type_is(a, "float64")) {
        t.a_type = A_FLOAT;
        t.a_w.w_float = t_atom_float(*reinterpret_cast<const double *>(field));
    } else if (type_is(a, "symbol")) {
        t.a_type = A_SYM;
        t.a_w.w_sym = *reinterpret_cast<t_symbol *const *>(field);
        if (!t.a_w.w_sym) t.a_w.w_sym = intern("");
    } else if (type_is(a, "atom")) {
        t = *reinterpret_cast<const t_atom *>(field);
    } else {
        return out;
    }
    out.push_back(t);
    return out;
}

}  // namespace tk::detail

namespace tk {

using namespace detail;

std::optional<Atoms> attribute_value(const Box *box, const std::string &name) {
    if (!box) return std::nullopt;
    ObjRec *r = find_object(box->object());
    if (!r) return std::nullopt;
    AttrRec *a = find_class_attr(r->cls, intern(name.c_str()));
    if (!a) return std::nullopt;
    Atoms out;
    for (const t_atom &t : attr_get(r->obj, a)) {
        if (t.a_type == A_LONG) out.emplace_back(std::int64_t(t.a_w.w_long));
        else if (t.a_type == A_FLOAT) out.emplace_back(double(t.a_w.w_float));
        else if (t.a_type == A_SYM) out.emplace_back(std::string(t.a_w.w_sym ? t.a_w.w_sym->s_name : ""));
    }
    return out;
}

std::vector<std::string> attribute_names(const Box *box) {
    std::vector<std::string> out;
    if (!box) return out;
    ObjRec *r = find_object(box->object());
    if (!r) return out;
    for (AttrRec *a : class_attrs(r->cls)) out.push_back(a->name);
    return out;
}

}  // namespace tk
