// The attribute API of the object library (MaxAPI): attributes of classes and their
// attributes, creation arguments (@name value), queries and touches.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sdkapi.h"

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

void *class_attr_get(t_class *x, t_symbol *attrname) { return find_class_attr(x, attrname); }

t_max_err class_attr_addattr_atoms(t_class *c, const char *attrname, const char *attrname2, t_symbol *, long, long ac, t_atom *av) {
    AttrRec *a = find_class_attr(c, intern(attrname ? attrname : ""));
    if (!a || !attrname2) return 1;
    a->attrs[attrname2] = std::vector<t_atom>(av, av + (ac > 0 && av ? ac : 0));
    return 0;
}

t_max_err class_attr_addattr_parse(t_class *c, const char *attrname, const char *attrname2, t_symbol *type, long flags, const char *parsestr) {
    auto v = parse_text(parsestr);
    return class_attr_addattr_atoms(c, attrname, attrname2, type, flags, long(v.size()), v.data());
}

t_max_err class_attr_addattr_format(t_class *c, const char *attrname, const char *attrname2, const t_symbol *type, long flags, const char *fmt, ...) {
    // the format letters: s symbol, l/i integer, f/d float (each one argument)
    std::vector<t_atom> v;
    va_list ap;
    va_start(ap, fmt);
    for (const char *f = fmt; f && *f; ++f) {
        t_atom a{};
        if (*f == 's') {
            a.a_type = A_SYM;
            a.a_w.w_sym = va_arg(ap, t_symbol *);
        } else if (*f == 'l' || *f == 'i') {
            a.a_type = A_LONG;
            a.a_w.w_long = *f == 'l' ? t_atom_long(va_arg(ap, long)) : t_atom_long(va_arg(ap, int));
        } else if (*f == 'f' || *f == 'd') {
            a.a_type = A_FLOAT;
            a.a_w.w_float = t_atom_float(va_arg(ap, double));
        } else {
            continue;
        }
        v.push_back(a);
    }
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
        if (AttrRec *a = find_class_attr(r->cls, name))
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

// Attributes of methods (CLASS_METHOD_ATTR_PARSE) are documentation only: the class keeps no
// table of method objects, so the macro finds none and skips them.
void *class_extra_lookup(t_class *, t_symbol *) { return nullptr; }
t_max_err hashtab_lookup(void *, t_symbol *, t_object **val) {
    if (val) *val = nullptr;
    return 1;
}
t_max_err object_addattr_parse(t_object *, const char *, t_symbol *, long, const char *) { return 1; }

t_object *object_clone(t_object *x) {
    if (!is_attr(x)) return nullptr;  // only attributes (CLASS_ATTR_ALIAS) are cloned here
    auto *from = reinterpret_cast<AttrRec *>(x);
    AttrRec *a = new_attr();
    t_object header = a->header;
    *a = *from;
    a->header = header;
    return &a->header;
}

t_symbol *gensym_tr(const char *s) { return intern(s ? s : ""); }
char *str_tr(const char *s) { return const_cast<char *>(s); }

t_max_err object_attr_setvalueof(t_object *x, t_symbol *s, long argc, t_atom *argv) {
    ObjRec *r = find_object(x);
    AttrRec *a = r ? find_class_attr(r->cls, s) : nullptr;
    if (!a) return 1;
    return attr_set(x, a, argc, argv) ? 0 : 1;
}

t_max_err object_attr_getvalueof(t_object *x, t_symbol *s, long *argc, t_atom **argv) {
    ObjRec *r = find_object(x);
    AttrRec *a = r ? find_class_attr(r->cls, s) : nullptr;
    if (!a || !argc || !argv) return 1;
    auto v = attr_get(x, a);
    char alloc;
    if (atom_alloc_array(long(v.size()), argc, argv, &alloc)) return 1;
    for (std::size_t i = 0; i < v.size(); ++i) (*argv)[i] = v[i];
    *argc = long(v.size());
    return 0;
}

}  // extern "C"
