/* Darwin declarations: the mathematics the externals and the SDK's examples use, C functions
   only. */
#ifndef TILDEKIT_DARWIN_MATH_H
#define TILDEKIT_DARWIN_MATH_H

#ifdef __cplusplus
extern "C" {
#endif

#define HUGE_VAL __builtin_huge_val()
#define NAN __builtin_nanf("0x7fc00000")
#define isfinite(x) __builtin_isfinite(x)

double fabs(double x);
double sqrt(double x);
float sqrtf(float x);
double exp(double x);
float expf(float x);
double log(double x);
double log10(double x);
double pow(double x, double y);
double sin(double x);
double cos(double x);
float cosf(float x);
double tan(double x);
double atan(double x);
double floor(double x);
double ceil(double x);
double trunc(double x);
double ldexp(double x, int e);
double fmin(double x, double y);
double fmax(double x, double y);

#ifdef __cplusplus
}
#endif

#endif
