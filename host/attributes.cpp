// Attributes: class and instance attributes with offsets, getters and setters, clip filters,
// and their values as atoms for queries.
#include <cmath>
#include <cstring>
#include <mutex>
#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "sdkapi.h"
#include "tildesdk.h"

namespace tk::detail {

namespace {
constexpr long attr_magic = 0x61747472;  // 'attr', in the header's magic word

// What an object carries beyond its class: the attributes it added and its obex entries. An
// instance's entry goes when it is freed (forget_object_extras); those of method records live as
// long as their classes.
struct Extras {
    std::vector<AttrRec *> attrs;
    std::map<t_symbol *, t_object *> obex;
};

// A class's methods as objects (CLASS_METHOD_ATTR_PARSE finds them through a table).
struct MethodObject {
    t_object header;
    t_class *cls;
    t_symbol *name;
};
struct MethodTable {
    t_object header;
    t_class *cls;
    std::map<t_symbol *, MethodObject *> methods;
};

struct Tables {
    std::mutex lock;
    std::unordered_map<const t_class *, std::vector<AttrRec *>> by_class;
    std::unordered_map<const void *, AttrRec *> all;
    std::unordered_map<const void *, Extras> extras;
    std::unordered_map<const t_class *, MethodTable *> method_tables;
    std::unordered_map<const void *, MethodObject *> method_objects;
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
bool integer_type(const AttrRec *a) {
    return type_is(a, "char") || type_is(a, "long") || type_is(a, "atom_long") || type_is(a, "int32");
}

void forget_attr_locked(AttrRec *a) {
    tables().all.erase(a);
    delete a;
}

// The extras of x, made when `create` for an instance or a method record (nullptr otherwise).
Extras *extras_locked(const void *x, bool create) {
    auto &all = tables().extras;
    if (auto it = all.find(x); it != all.end()) return &it->second;
    if (!create) return nullptr;
    if (!tables().method_objects.count(x) && !find_object(x)) return nullptr;
    return &all.emplace(x, Extras{}).first->second;
}

AttrRec *own_attr_locked(const void *x, const std::string &name) {
    if (Extras *e = extras_locked(x, false))
        for (AttrRec *a : e->attrs)
            if (a->name == name) return a;
    return nullptr;
}

AttrRec *class_attr_locked(const t_class *c, const std::string &name) {
    auto it = tables().by_class.find(c);
    if (it == tables().by_class.end()) return nullptr;
    for (AttrRec *a : it->second)
        if (a->name == name) return a;
    return nullptr;
}

// The attribute of that name of an instance: its own first, then its class's.
AttrRec *attr_of(const ObjRec *r, const std::string &name) {
    std::lock_guard g(tables().lock);
    if (AttrRec *a = own_attr_locked(r->obj, name)) return a;
    return class_attr_locked(r->cls, name);
}

std::string atoms_text_of(const std::vector<t_atom> &v) {
    std::string out;
    for (const t_atom &t : v) out += (out.empty() ? "" : " ") + atom_text(t);
    return out;
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

void delete_attr(AttrRec *a) {
    std::lock_guard g(tables().lock);
    if (tables().all.count(a)) forget_attr_locked(a);
}

void class_add_attr(t_class *c, AttrRec *a) {
    std::lock_guard g(tables().lock);
    a->attached = true;
    auto &v = tables().by_class[c];
    for (auto &old : v)
        if (old->name == a->name) {
            old = a;  // a later definition of a name wins
            return;
        }
    v.push_back(a);
}

AttrRec *class_attr_named(t_class *c, t_symbol *name) {
    if (!c || !name) return nullptr;
    std::lock_guard g(tables().lock);
    return class_attr_locked(c, name->s_name);
}

const std::vector<AttrRec *> &class_attrs(t_class *c) {
    std::lock_guard g(tables().lock);
    return tables().by_class[c];
}

AttrRec *find_attr(void *x, t_symbol *name) {
    if (!x || !name) return nullptr;
    ObjRec *r = find_object(x);
    std::lock_guard g(tables().lock);
    if (AttrRec *a = own_attr_locked(x, name->s_name)) return a;
    return r ? class_attr_locked(r->cls, name->s_name) : nullptr;
}

std::vector<AttrRec *> instance_attrs(void *x) {
    std::lock_guard g(tables().lock);
    Extras *e = extras_locked(x, false);
    return e ? e->attrs : std::vector<AttrRec *>{};
}

bool instance_add_attr(void *x, AttrRec *a) {
    if (!x || !a) return false;
    std::lock_guard g(tables().lock);
    if (!tables().all.count(a) || a->attached) return false;
    Extras *e = extras_locked(x, true);
    if (!e) return false;
    for (AttrRec *old : e->attrs)
        if (old->name == a->name) return false;
    a->attached = true;
    e->attrs.push_back(a);
    return true;
}

AttrRec *instance_remove_attr(void *x, t_symbol *name) {
    if (!x || !name) return nullptr;
    std::lock_guard g(tables().lock);
    Extras *e = extras_locked(x, false);
    if (!e) return nullptr;
    for (auto it = e->attrs.begin(); it != e->attrs.end(); ++it)
        if ((*it)->name == name->s_name) {
            AttrRec *a = *it;
            e->attrs.erase(it);
            a->attached = false;
            return a;
        }
    return nullptr;
}

bool obex_store(void *x, t_symbol *key, t_object *val) {
    if (!x || !key) return false;
    std::lock_guard g(tables().lock);
    Extras *e = extras_locked(x, true);
    if (!e) return false;
    e->obex[key] = val;
    return true;
}

t_object *obex_lookup(void *x, t_symbol *key) {
    if (!x || !key) return nullptr;
    std::lock_guard g(tables().lock);
    Extras *e = extras_locked(x, false);
    if (!e) return nullptr;
    auto it = e->obex.find(key);
    return it == e->obex.end() ? nullptr : it->second;
}

OutletRec *dumpout_of(void *x) {
    auto *o = reinterpret_cast<OutletRec *>(obex_lookup(x, intern("dumpout")));
    ObjRec *r = find_object(x);
    if (!o || !r) return nullptr;
    // only an outlet of this very object (anything else stored there would be no outlet)
    for (auto &mine : r->outlets)
        if (mine.get() == o) return o;
    return nullptr;
}

void attr_answer_query(void *x, AttrRec *a) {
    std::vector<t_atom> v = attr_get(x, a);
    if (OutletRec *o = dumpout_of(x)) return outlet_send_message(o, intern(a->name.c_str()), long(v.size()), v.data());
    post_text(ConsoleLine::Post, class_name_of(x), a->name + " " + atoms_text_of(v) + " (no dumpout outlet to answer 'get" + a->name + "' through)");
}

void *class_method_table(t_class *c) {
    if (!c) return nullptr;
    std::lock_guard g(tables().lock);
    MethodTable *&t = tables().method_tables[c];
    if (!t) t = new MethodTable{{}, c, {}};
    return t;
}

void *method_object(void *table, t_symbol *name) {
    if (!table || !name) return nullptr;
    std::lock_guard g(tables().lock);
    MethodTable *t = nullptr;
    for (auto &[c, mt] : tables().method_tables)
        if (mt == table) t = mt;
    if (!t || !t->cls->find(name)) return nullptr;
    MethodObject *&m = t->methods[name];
    if (!m) {
        m = new MethodObject{{}, t->cls, name};
        tables().method_objects[m] = m;
    }
    return m;
}

void *method_object_of(t_class *c, t_symbol *name) { return method_object(class_method_table(c), name); }

bool is_method_object(const void *p) {
    std::lock_guard g(tables().lock);
    return tables().method_objects.count(p) != 0;
}

namespace {
std::atomic<void (*)(const void *)> deferred_call_canceller{nullptr};
}

void set_deferred_call_canceller(void (*cancel)(const void *ob)) { deferred_call_canceller = cancel; }

void forget_object_extras(void *x) {
    if (!x) return;
    {
        std::lock_guard g(tables().lock);
        if (auto it = tables().extras.find(x); it != tables().extras.end()) {
            for (AttrRec *a : it->second.attrs) forget_attr_locked(a);
            tables().extras.erase(it);
        }
    }
    if (auto cancel = deferred_call_canceller.load()) cancel(x);
    forget_proxies(x);
}

bool attr_message(ObjRec *r, int inlet, const std::string &selector, std::vector<t_atom> &argv) {
    const long argc = long(argv.size());
    t_atom *av = argv.empty() ? nullptr : argv.data();
    if (AttrRec *a = attr_of(r, selector)) {
        set_inlet(r, inlet);
        attr_set(r->obj, a, argc, av);
        return true;
    }
    if (selector.size() <= 3 || selector.compare(0, 3, "get") != 0) return false;
    const std::string name = selector.substr(3);
    AttrRec *a = attr_of(r, name);
    if (!a) return false;
    set_inlet(r, inlet);
    if (a->flags & 0x00000100 /* ATTR_GET_OPAQUE_USER */)
        post_error(r->cls->info.name, "attribute '" + name + "' cannot be read by a message");
    else
        attr_answer_query(r->obj, a);
    return true;
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
    if (a->own) {
        // an attribute keeping its own value stores it in its type
        if (integer_type(a) && v[0].a_type == A_FLOAT) {
            t_atom_long i = atom_integer(v[0]);
            v[0].a_type = A_LONG;
            v[0].a_w.w_long = i;
        } else if ((type_is(a, "float32") || type_is(a, "float64")) && v[0].a_type == A_LONG) {
            double d = atom_number(v[0]);
            v[0].a_type = A_FLOAT;
            v[0].a_w.w_float = t_atom_float(d);
        }
        a->value = v;
        return true;
    }
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
    if (a->own) return a->value;
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

namespace {
Atoms to_atoms(const std::vector<t_atom> &v) {
    Atoms out;
    for (const t_atom &t : v) {
        if (t.a_type == A_LONG) out.emplace_back(std::int64_t(t.a_w.w_long));
        else if (t.a_type == A_FLOAT) out.emplace_back(double(t.a_w.w_float));
        else if (t.a_type == A_SYM) out.emplace_back(std::string(t.a_w.w_sym ? t.a_w.w_sym->s_name : ""));
    }
    return out;
}
}  // namespace

std::optional<Atoms> attribute_value(const Box *box, const std::string &name) {
    if (!box) return std::nullopt;
    ObjRec *r = find_object(box->object());
    if (!r) return std::nullopt;
    AttrRec *a = find_attr(r->obj, intern(name.c_str()));
    if (!a) return std::nullopt;
    return to_atoms(attr_get(r->obj, a));
}

std::vector<std::string> attribute_names(const Box *box) {
    std::vector<std::string> out;
    if (!box) return out;
    ObjRec *r = find_object(box->object());
    if (!r) return out;
    for (AttrRec *a : class_attrs(r->cls)) out.push_back(a->name);
    for (AttrRec *a : instance_attrs(r->obj))
        if (std::find(out.begin(), out.end(), a->name) == out.end()) out.push_back(a->name);
    return out;
}

std::vector<std::pair<std::string, Atoms>> method_attributes(const Box *box, const std::string &method) {
    std::vector<std::pair<std::string, Atoms>> out;
    if (!box) return out;
    ObjRec *r = find_object(box->object());
    if (!r) return out;
    void *m = method_object_of(r->cls, intern(method.c_str()));
    if (!m) return out;
    for (AttrRec *a : instance_attrs(m)) out.emplace_back(a->name, to_atoms(attr_get(m, a)));
    return out;
}

}  // namespace tk
