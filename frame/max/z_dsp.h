/* Host interface: the audio library (MaxAudio): signal objects and the DSP chain. */
#ifndef TILDEKIT_Z_DSP_H
#define TILDEKIT_Z_DSP_H

#include <ext.h>

BEGIN_USING_C_LINKAGE

#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(push, 2) /* the host's 32-bit Windows records are packed to 2 bytes */
#endif

typedef double t_sample;

typedef struct _pxobject {
    t_object z_ob;
    long z_in;        /* inlet of the current message */
    void *z_proxy;
    long z_disabled;
    short z_count;    /* number of signal inlets */
    short z_misc;     /* flags: Z_NO_INPLACE, Z_PUT_LAST, Z_PUT_FIRST */
} t_pxobject;

#define Z_NO_INPLACE 1
#define Z_PUT_LAST 2
#define Z_PUT_FIRST 4

typedef struct _signal {
    long s_n;         /* vector size */
    t_sample *s_vec;  /* the buffer (32-bit floats in the legacy chain) */
    float s_sr;       /* sample rate */
    struct _signal *s_next;
    struct _signal *s_nextused;
    short s_refcount;
    short s_size;     /* element size */
    char *s_ptr;      /* what to free */
} t_signal;

typedef t_int *(*t_perfroutine)(t_int *w);
typedef void (*t_perfroutine64)(t_object *x, t_object *dsp64, double **ins, long numins,
                                double **outs, long numouts, long sampleframes, long flags,
                                void *userparam);

void class_dspinit(t_class *c);
void z_dsp_setup(t_pxobject *x, long nsignals);
void z_dsp_free(t_pxobject *x);
void dsp_add(t_perfroutine f, int n, ...);
void dsp_add64(t_object *chain, t_object *x, t_perfroutine64 f, long flags, void *userparam);
float sys_getsr(void);
int sys_getblksize(void);

#if defined(_WIN32) && !defined(_WIN64)
#pragma pack(pop)
#endif

END_USING_C_LINKAGE

#endif
