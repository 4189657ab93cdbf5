/* Host interface: types, records and the object library (MaxAPI).
   Our own declarations under the host SDK's names and C signatures, so that an
   external compiles unchanged against these or against the SDK's headers. */
#ifndef TILDEKIT_EXT_H
#define TILDEKIT_EXT_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <math.h>

#ifdef __cplusplus
#define BEGIN_USING_C_LINKAGE extern "C" {
#define END_USING_C_LINKAGE }
#else
#define BEGIN_USING_C_LINKAGE
#define END_USING_C_LINKAGE
#endif

#ifdef _WIN32
#define C74_EXPORT __declspec(dllexport)
#else
#define C74_EXPORT __attribute__((visibility("default")))
#endif
#if UINTPTR_MAX > 0xFFFFFFFFu
#define C74_X64 1
#endif

BEGIN_USING_C_LINKAGE

#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(push, 2) /* the host's 32-bit Windows records are packed to 2 bytes */
#endif

typedef intptr_t t_ptr_int;
typedef uintptr_t t_ptr_size;
typedef t_ptr_int t_int;
typedef t_ptr_int t_atom_long;
typedef t_atom_long t_max_err;
typedef char *t_ptr;
#ifdef C74_X64
typedef double t_atom_float;
#else
typedef float t_atom_float;
#endif
typedef float t_float;
typedef double t_double;
typedef void *(*method)(void *);
typedef void t_outlet;
typedef void t_inlet;
typedef void t_clock;
typedef struct _class t_class;

typedef struct _object {
    void *o_messlist;
    t_ptr_int o_magic;
    t_inlet *o_inlet;
    t_outlet *o_outlet;
} t_object;

typedef struct _symbol {
    char *s_name;
    t_object *s_thing;
} t_symbol;

union word {
    t_atom_long w_long;
    t_atom_float w_float;
    t_symbol *w_sym;
    t_object *w_obj;
};

typedef struct atom {
    short a_type;
    union word a_w;
} t_atom;

enum e_max_atomtypes {
    A_NOTHING = 0,
    A_LONG = 1,
    A_FLOAT = 2,
    A_SYM = 3,
    A_OBJ = 4,
    A_DEFLONG = 5,
    A_DEFFLOAT = 6,
    A_DEFSYM = 7,
    A_GIMME = 8,
    A_CANT = 9
};

#define ASSIST_INLET 1
#define ASSIST_OUTLET 2
#define MAX_ERR_NONE 0

/* classes and objects */
t_class *class_new(const char *name, const method mnew, const method mfree, long size,
                   const method mmenu, short type, ...);
t_max_err class_addmethod(t_class *c, const method m, const char *name, ...);
t_max_err class_register(t_symbol *name_space, t_class *c);
t_symbol *gensym(const char *s);
void *object_alloc(t_class *c);
void freeobject(void *op);
void *object_method_imp(void *x, void *sym, void *p1, void *p2, void *p3, void *p4,
                        void *p5, void *p6, void *p7, void *p8);
#ifdef C74_X64
/* 64-bit builds pass every argument as a pointer-sized word, padded with zeros. */
#define C74_OM_WORD(a) ((void *)(t_ptr_int)(a))
#define C74_OM_CALL(x, s, a1, a2, a3, a4, a5, a6, a7, a8, ...)                                \
    object_method_imp((void *)(x), (void *)(s), C74_OM_WORD(a1), C74_OM_WORD(a2),             \
                      C74_OM_WORD(a3), C74_OM_WORD(a4), C74_OM_WORD(a5), C74_OM_WORD(a6),    \
                      C74_OM_WORD(a7), C74_OM_WORD(a8))
#define object_method(...) C74_OM_CALL(__VA_ARGS__, 0, 0, 0, 0, 0, 0, 0, 0, 0)
#else
void *object_method(void *x, t_symbol *s, ...);
#endif

/* inlets, outlets */
long proxy_getinlet(t_object *master);
void *outlet_new(void *x, const char *s);
void *bangout(void *x);
void *floatin(void *x, short n);
void *intin(void *x, short n);
void *outlet_bang(t_outlet *o);
void *outlet_int(t_outlet *o, t_atom_long n);
void *outlet_float(t_outlet *o, double f);
void stdinletinfo(t_object *x, void *b, long a, char *t);

/* atoms */
long atom_arg_getdouble(double *c, long idx, long ac, const t_atom *av);
t_max_err atom_arg_getlong(t_atom_long *c, long idx, long ac, const t_atom *av);
long atom_arg_getsym(t_symbol **c, long idx, long ac, const t_atom *av);
t_atom_float atom_getfloat(const t_atom *a);
t_atom_long atom_getlong(const t_atom *a);
t_symbol *atom_getsym(const t_atom *a);
long atom_gettype(const t_atom *a);
t_max_err atom_setlong(t_atom *a, t_atom_long b);
t_max_err atom_setfloat(t_atom *a, double b);
t_max_err atom_setsym(t_atom *a, t_symbol *b);
/* these three live in the audio library */
float atom_getfloatarg(short which, short argc, t_atom *argv);
long atom_getintarg(short which, short argc, t_atom *argv);
t_symbol *atom_getsymarg(short which, short argc, t_atom *argv);

/* memory */
t_ptr sysmem_newptr(t_ptr_size size);
t_ptr sysmem_newptrclear(t_ptr_size size);
t_ptr sysmem_resizeptr(void *ptr, t_ptr_size newsize);
void sysmem_freeptr(void *ptr);

/* clocks */
t_clock *clock_new(void *obj, method fn);
void clock_delay(t_clock *c, long ms);
void clock_fdelay(t_clock *c, double ms);
void clock_unset(t_clock *c);

/* console */
void object_post(t_object *x, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void object_error(t_object *x, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void post(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(pop)
#endif

END_USING_C_LINKAGE

#endif
