// The attribute API of the object library (MaxAPI): attributes of classes and their
// attributes, creation arguments (@name value), queries and touches.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sdkapi.h"

#include <map>

enum { MAX_ERR_GENERIC = -1, MAX_ERR_INVALID_PTR = -2 };

using namespace tk::detail;

namespace {

std::vector<t_atom> parse_text(const char *text) {
    std::vector<t_atom> out;
    if (!text) return out;
    // quoted words stay one symbol ("three four")
    std::string s = text;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace((unsigned char)s[i])) ++i;
        if (i >= s.size()) break;
        std::string w;
        bool quoted = s[i] == '"';
        if (quoted) {
            ++i;
            while (i < s.size() && s[i] != '"') w += s[i++];
            ++i;
        } else {
            while (i < s.size() && !std::isspace((unsigned char)s[i])) w += s[i++];
        }
        if (quoted) {
            t_atom a;
            a.a_type = A_SYM;
            a.a_w.w_sym = intern(w.c_str());
            out.push_back(a);
            continue;
        }
        auto v = to_t_atoms(tk::parse_atoms(w));
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

bool is_attr_name(const t_atom &a) { return a.a_type == A_SYM && a.a_w.w_sym && a.a_w.w_sym->s_name[0] == '@'; }

}  // namespace

void *tk::detail::attr_object_method(AttrRec *a, t_symbol *s, void *const *p) {
    const std::string m = s ? s->s_name : "";
    if (m == "setmethod") {
        auto *which = static_cast<t_symbol *>(p[0]);
        const std::string w = which ? which->s_name : "";
        if (w == "get") a->get = reinterpret_cast<method>(p[1]);
        else if (w == "set") a->set = reinterpret_cast<method>(p[1]);
        return nullptr;
    }
    if (m == "setname") {
        if (auto *n = static_cast<t_symbol *>(p[0])) a->name = n->s_name;
        return nullptr;
    }
    if (m == "gettype") return a->type;
    if (m == "getname") return intern(a->name.c_str());
    return nullptr;
}

extern "C" {

t_object *attr_offset_new(const char *name, const t_symbol *type, long flags, const method mget, const method mset, long offset) {
    AttrRec *a = new_attr();
    a->name = name ? name : "";
    a->type = const_cast<t_symbol *>(type);
    a->flags = flags;
    a->get = mget;
    a->set = mset;
    a->offset = offset;
    return &a->header;
}

t_max_err class_addattr(t_class *c, t_object *attr) {
    if (!c || !is_attr(attr)) return 1;
    class_add_attr(c, reinterpret_cast<AttrRec *>(attr));
    return 0;
}

void *class_attr_get(t_class *x, t_symbol *attrname) { return class_attr_named(x, attrname); }

t_max_err class_attr_addattr_atoms(t_class *c, const char *attrname, const char *attrname2, t_symbol *, long, long ac, t_atom *av) {
    AttrRec *a = class_attr_named(c, intern(attrname ? attrname : ""));
    if (!a || !attrname2) return 1;
    a->attrs[attrname2] = std::vector<t_atom>(av, av + (ac > 0 && av ? ac : 0));
    return 0;
}

t_max_err class_attr_addattr_parse(t_class *c, const char *attrname, const char *attrname2, t_symbol *type, long flags, const char *parsestr) {
    auto v = parse_text(parsestr);
    return class_attr_addattr_atoms(c, attrname, attrname2, type, flags, long(v.size()), v.data());
}

t_max_err class_attr_addattr_format(t_class *c, const char *attrname, const char *attrname2, const t_symbol *type, long flags, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vector<t_atom> v = atoms_from_format(fmt, ap);
    va_end(ap);
    return class_attr_addattr_atoms(c, attrname, attrname2, const_cast<t_symbol *>(type), flags, long(v.size()), v.data());
}

t_max_err attr_addfilter_clip(void *x, double min, double max, long usemin, long usemax) {
    if (!is_attr(x)) return 1;
    auto *a = static_cast<AttrRec *>(x);
    a->clip_min = usemin != 0;
    a->clip_max = usemax != 0;
    a->min = min;
    a->max = max;
    return 0;
}

long attr_args_offset(short ac, t_atom *av) {
    if (!av) return 0;
    for (short i = 0; i < ac; ++i)
        if (is_attr_name(av[i])) return i;
    return ac;
}

void attr_args_process(void *x, short ac, t_atom *av) {
    ObjRec *r = find_object(x);
    if (!r || !av) return;
    for (short i = attr_args_offset(ac, av); i < ac;) {
        t_symbol *name = intern(av[i].a_w.w_sym->s_name + 1);
        short j = short(i + 1);
        while (j < ac && !is_attr_name(av[j])) ++j;
        if (AttrRec *a = find_attr(x, name))
            attr_set(x, a, long(j - i - 1), av + i + 1);
        else
            post_error(r->cls->info.name, std::string("no attribute named '") + name->s_name + "'; @" + name->s_name + " ignored");
        i = j;
    }
}

t_max_err object_attr_touch(t_object *, t_symbol *) { return 0; }  // no inspector listens here

t_max_err atom_alloc(long *ac, t_atom **av, char *alloc) {
    if (!ac || !av || !alloc) return 1;
    if (*ac && *av) {
        *alloc = 0;
        return 0;
    }
    *av = static_cast<t_atom *>(accounted_alloc(sizeof(t_atom), true, true));
    if (!*av) return 1;
    *ac = 1;
    *alloc = 1;
    return 0;
}

t_max_err atom_alloc_array(long minsize, long *ac, t_atom **av, char *alloc) {
    if (!ac || !av || !alloc || minsize < 0) return 1;
    if (*ac >= minsize && *av) {
        *alloc = 0;
        return 0;
    }
    *av = static_cast<t_atom *>(accounted_alloc(sizeof(t_atom) * std::size_t(minsize > 0 ? minsize : 1), true, true));
    if (!*av) return 1;
    *ac = minsize;
    *alloc = 1;
    return 0;
}

// Attributes of methods (CLASS_METHOD_ATTR_PARSE): the class's methods as objects, found in the
// table class_extra_lookup(c, "methods") gives; attributes attach to them as to any object.
void *class_extra_lookup(t_class *c, t_symbol *s) {
    if (!c || !s || std::strcmp(s->s_name, "methods") != 0) return nullptr;
    return class_method_table(c);
}
t_max_err hashtab_lookup(void *table, t_symbol *key, t_object **val) {
    if (!val) return MAX_ERR_INVALID_PTR;
    *val = static_cast<t_object *>(method_object(table, key));
    return *val ? MAX_ERR_NONE : MAX_ERR_GENERIC;
}
t_object *object_clone(t_object *x) {
    if (!is_attr(x)) return nullptr;  // only attributes (CLASS_ATTR_ALIAS) are cloned here
    auto *from = reinterpret_cast<AttrRec *>(x);
    AttrRec *a = new_attr();
    t_object header = a->header;
    *a = *from;
    a->header = header;
    a->attached = false;
    return &a->header;
}

t_symbol *gensym_tr(const char *s) { return intern(s ? s : ""); }
char *str_tr(const char *s) { return const_cast<char *>(s); }

t_max_err object_attr_setvalueof(t_object *x, t_symbol *s, long argc, t_atom *argv) {
    AttrRec *a = find_attr(x, s);
    if (!a) return 1;
    return attr_set(x, a, argc, argv) ? 0 : 1;
}

t_max_err object_attr_getvalueof(t_object *x, t_symbol *s, long *argc, t_atom **argv) {
    AttrRec *a = find_attr(x, s);
    if (!a || !argc || !argv) return 1;
    auto v = attr_get(x, a);
    char alloc;
    if (atom_alloc_array(long(v.size()), argc, argv, &alloc)) return 1;
    for (std::size_t i = 0; i < v.size(); ++i) (*argv)[i] = v[i];
    *argc = long(v.size());
    return 0;
}

// Attributes of one object: attached with object_addattr, gone with the object or with
// object_deleteattr. Messages and queries reach them as they reach the class's attributes.
t_object *attribute_new(const char *name, t_symbol *type, long flags, method mget, method mset) {
    AttrRec *a = new_attr();
    a->name = name ? name : "";
    a->type = type;
    a->flags = flags;
    a->get = mget;
    a->set = mset;
    a->own = true;
    return &a->header;
}

t_max_err object_addattr(void *x, t_object *attr) {
    if (!x || !is_attr(attr)) return MAX_ERR_INVALID_PTR;
    auto *a = reinterpret_cast<AttrRec *>(attr);
    if (instance_add_attr(x, a)) return MAX_ERR_NONE;
    if (find_object(x) || is_method_object(x))
        post_error(class_name_of(x), "object_addattr: " + std::string(a->attached ? "attribute '" + a->name + "' is attached elsewhere already"
                                                                                  : "it has an attribute named '" + a->name + "' already") + "; not added");
    return MAX_ERR_GENERIC;
}

t_max_err object_chuckattr(void *x, t_symbol *attrsym) { return instance_remove_attr(x, attrsym) ? MAX_ERR_NONE : MAX_ERR_GENERIC; }

t_max_err object_deleteattr(void *x, t_symbol *attrsym) {
    AttrRec *a = instance_remove_attr(x, attrsym);
    if (!a) return MAX_ERR_GENERIC;
    delete_attr(a);
    return MAX_ERR_NONE;
}

t_max_err object_addattr_atoms(t_object *x, const char *attrname, t_symbol *type, long flags, long ac, t_atom *av) {
    auto *a = reinterpret_cast<AttrRec *>(attribute_new(attrname, type, flags, nullptr, nullptr));
    a->value.assign(av, av + (ac > 0 && av ? ac : 0));
    t_max_err err = object_addattr(x, &a->header);
    if (err != MAX_ERR_NONE) delete_attr(a);
    return err;
}

t_max_err object_addattr_parse(t_object *x, const char *attrname, t_symbol *type, long flags, const char *parsestr) {
    auto v = parse_text(parsestr);
    return object_addattr_atoms(x, attrname, type, flags, long(v.size()), v.data());
}

t_max_err object_addattr_format(t_object *x, const char *attrname, t_symbol *type, long flags, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vector<t_atom> v = atoms_from_format(fmt, ap);
    va_end(ap);
    return object_addattr_atoms(x, attrname, type, flags, long(v.size()), v.data());
}

void *object_attr_get(void *x, t_symbol *attrname) {
    AttrRec *a = find_attr(x, attrname);
    return a ? &a->header : nullptr;
}

long object_attr_usercanset(void *x, t_symbol *s) {
    AttrRec *a = find_attr(x, s);
    return a && !(a->flags & 0x00000200) ? 1 : 0;
}
long object_attr_usercanget(void *x, t_symbol *s) {
    AttrRec *a = find_attr(x, s);
    return a && !(a->flags & 0x00000100) ? 1 : 0;
}

void object_attr_getdump(void *x, t_symbol *s, long, t_atom *) {
    if (AttrRec *a = find_attr(x, s)) attr_answer_query(x, a);
}

// Single values of attributes (the first atom; 0 or the empty symbol when there is none).
t_atom_long object_attr_getlong(void *x, t_symbol *s) {
    AttrRec *a = find_attr(x, s);
    if (!a) return 0;
    auto v = attr_get(x, a);
    return v.empty() || v[0].a_type == A_SYM ? 0 : atom_integer(v[0]);
}
t_atom_float object_attr_getfloat(void *x, t_symbol *s) {
    AttrRec *a = find_attr(x, s);
    if (!a) return 0;
    auto v = attr_get(x, a);
    return v.empty() || v[0].a_type == A_SYM ? 0 : t_atom_float(atom_number(v[0]));
}
t_symbol *object_attr_getsym(void *x, t_symbol *s) {
    AttrRec *a = find_attr(x, s);
    auto v = a ? attr_get(x, a) : std::vector<t_atom>{};
    return !v.empty() && v[0].a_type == A_SYM ? v[0].a_w.w_sym : intern("");
}
t_max_err object_attr_setlong(void *x, t_symbol *s, t_atom_long c) {
    t_atom a;
    a.a_type = A_LONG;
    a.a_w.w_long = c;
    return object_attr_setvalueof(static_cast<t_object *>(x), s, 1, &a);
}
t_max_err object_attr_setfloat(void *x, t_symbol *s, t_atom_float c) {
    t_atom a;
    a.a_type = A_FLOAT;
    a.a_w.w_float = c;
    return object_attr_setvalueof(static_cast<t_object *>(x), s, 1, &a);
}
t_max_err object_attr_setsym(void *x, t_symbol *s, t_symbol *c) {
    t_atom a;
    a.a_type = A_SYM;
    a.a_w.w_sym = c ? c : intern("");
    return object_attr_setvalueof(static_cast<t_object *>(x), s, 1, &a);
}

// The obex: what an object stores by name, the dumpout outlet above all (getNAME answers and
// object_obex_dumpout go out of it). The host keeps it beside the object, so the obex offset
// a class registers is only remembered.
namespace {
std::mutex obex_offsets_lock;
std::map<const t_class *, long> obex_offsets;
}  // namespace
void class_obexoffset_set(t_class *c, long offset) {
    std::lock_guard g(obex_offsets_lock);
    obex_offsets[c] = offset;
}
long class_obexoffset_get(t_class *c) {
    std::lock_guard g(obex_offsets_lock);
    auto it = obex_offsets.find(c);
    return it == obex_offsets.end() ? 0 : it->second;
}
t_max_err object_obex_store(void *x, t_symbol *key, t_object *val) { return obex_store(x, key, val) ? MAX_ERR_NONE : MAX_ERR_INVALID_PTR; }
t_max_err object_obex_lookup(void *x, t_symbol *key, t_object **val) {
    if (!val) return MAX_ERR_INVALID_PTR;
    *val = obex_lookup(x, key);
    return *val ? MAX_ERR_NONE : MAX_ERR_GENERIC;
}
void object_obex_dumpout(void *x, t_symbol *s, long argc, t_atom *argv) {
    if (OutletRec *o = dumpout_of(x)) outlet_send_message(o, s ? s : intern(""), argc, argv);
}

}  // extern "C"
