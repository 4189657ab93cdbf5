// Attributes: class and instance attributes with offsets, getters and setters, clip filters,
// and their values as atoms for queries.
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <algorithm>
#include <unordered_map>

#include "sdkapi.h"
#include "tildesdk.h"

namespace tk::detail {

namespace {
constexpr long attr_magic = 0x61747472;  // 'attr', in the header's magic word

// What an object carries beyond its class: the attributes it added and its obex entries.
// `token` is a never-armed clock placed in the object's clock list: the free routines of the
// host clear that list with the object's record, so an entry whose token is no longer in the
// list of the object now at that address belonged to a freed object (an address the allocator
// has handed out again) and is dropped. Method records of classes have no token: they live as
// long as their classes.
struct Extras {
    ClockRec *token = nullptr;
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
    // names of attributes that instances of a class added, and the message records of a class
    std::unordered_map<const t_class *, std::set<std::string>> instance_names;
    std::map<std::pair<const t_class *, std::string>, AttrRec *> routes;
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

// Whether the entry still belongs to the object at x (called with the tables' lock held; the
// object is used on this thread, so its clock list is too).
bool current(const void *x, const Extras &e) {
    if (!e.token) return true;
    ObjRec *r = find_object(x);
    return r && std::find(r->clocks.begin(), r->clocks.end(), e.token) != r->clocks.end();
}

void drop_extras_locked(std::unordered_map<const void *, Extras>::iterator it) {
    for (AttrRec *a : it->second.attrs) forget_attr_locked(a);
    delete it->second.token;
    tables().extras.erase(it);
}

// The extras of x (made when `create`), with those of a freed object at the same address dropped.
Extras *extras_locked(const void *x, bool create) {
    auto &all = tables().extras;
    auto it = all.find(x);
    if (it != all.end() && !current(x, it->second)) {
        drop_extras_locked(it);
        it = all.end();
    }
    if (it != all.end()) return &it->second;
    if (!create) return nullptr;
    const bool method_record = tables().method_objects.count(x) != 0;
    ObjRec *r = method_record ? nullptr : find_object(x);
    if (!method_record && !r) return nullptr;
    // entries of objects no longer registered anywhere go now (their tokens are in no list)
    for (auto j = all.begin(); j != all.end();)
        if (j->second.token && !find_object(j->first)) {
            auto gone = j++;
            drop_extras_locked(gone);
        } else {
            ++j;
        }
    Extras e;
    if (r) {
        e.token = new ClockRec{const_cast<void *>(x), nullptr, nullptr};
        r->clocks.push_back(e.token);
    }
    return &all.emplace(x, std::move(e)).first->second;
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

// A message that no method, class attribute or own attribute of the object takes: the class's
// `anything` gets it, as it would have without attributes, else the usual error.
void not_understood(void *x, const std::string &selector, long argc, t_atom *argv) {
    ObjRec *r = find_object(x);
    if (!r) return;
    const std::string &cls = r->cls->info.name;
    const _class::Method *m = r->cls->find(intern("anything"));
    if (m && m->types.size() == 1 && m->types[0] == A_GIMME) {
        std::vector<t_atom> args(argv, argv + (argc > 0 && argv ? argc : 0));
        auto res = typed_call(m->fn, x, true, intern(selector.c_str()), m->types, args);
        if (!res.ok) post_error(cls, "'" + selector + "': " + res.why + "; message ignored");
        return;
    }
    post_error(cls, "doesn't understand '" + selector + "'");
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

AttrRec *find_class_attr(t_class *c, t_symbol *name) {
    if (!c || !name) return nullptr;
    std::lock_guard g(tables().lock);
    const std::string sel = name->s_name;
    if (AttrRec *a = class_attr_locked(c, sel)) return a;
    auto added = tables().instance_names.find(c);
    auto instances_have = [&](const std::string &n) { return added != tables().instance_names.end() && added->second.count(n); };
    AttrRec::Role role;
    std::string attr;
    if (sel.size() > 3 && sel.compare(0, 3, "get") == 0 && (class_attr_locked(c, sel.substr(3)) || instances_have(sel.substr(3)))) {
        role = AttrRec::Role::Query;
        attr = sel.substr(3);
    } else if (instances_have(sel)) {
        role = AttrRec::Role::Route;
        attr = sel;
    } else {
        return nullptr;
    }
    AttrRec *&rec = tables().routes[{c, sel}];
    if (!rec) {
        rec = new AttrRec();  // not an attribute object: no entry in `all`
        rec->name = attr;
        rec->role = role;
    }
    return rec;
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
    ObjRec *r = find_object(x);
    std::lock_guard g(tables().lock);
    if (!tables().all.count(a) || a->attached) return false;
    Extras *e = extras_locked(x, true);
    if (!e) return false;
    for (AttrRec *old : e->attrs)
        if (old->name == a->name) return false;
    a->attached = true;
    e->attrs.push_back(a);
    if (r) tables().instance_names[r->cls].insert(a->name);
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

bool attr_set(void *x, AttrRec *a, long argc, t_atom *argv) {
    // a record standing for a message: resolved for this object (its own attribute first)
    if (a->role != AttrRec::Role::Attribute || a->attached) {
        AttrRec *mine = find_attr(x, intern(a->name.c_str()));
        if (a->role == AttrRec::Role::Query) {
            if (!mine) {
                not_understood(x, "get" + a->name, argc, argv);
                return false;
            }
            if (mine->flags & 0x00000100 /* ATTR_GET_OPAQUE_USER */) {
                post_error(class_name_of(x), "attribute '" + a->name + "' cannot be read by a message");
                return false;
            }
            attr_answer_query(x, mine);
            return true;
        }
        if (!mine) {
            not_understood(x, a->name, argc, argv);
            return false;
        }
        a = mine;
    }
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
