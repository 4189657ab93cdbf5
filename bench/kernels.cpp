#include "kernels.h"

#include <cmath>

namespace tkbench {

double bare_recurrence(const double *in, double *out, long n, double a, double y) {
    for (long i = 0; i < n; i++) {
        y = y * a + in[i];
        out[i] = y;
    }
    return y;
}

void bare_biquad(Biquad &q, const double *in, double *out, long n) {
    double w1 = q.w1, w2 = q.w2;
    const double b0 = q.b0, b1 = q.b1, b2 = q.b2, a1 = q.a1, a2 = q.a2;
    for (long i = 0; i < n; i++) {
        const double w = in[i] - a1 * w1 - a2 * w2;
        out[i] = b0 * w + b1 * w1 + b2 * w2;
        w2 = w1;
        w1 = w;
    }
    q.w1 = w1;
    q.w2 = w2;
}

static double ring_rms(const double *w) {
    double s = 0.0;
    for (int i = 0; i < 400; i++) s += w[i] * w[i];
    return std::sqrt(s / 400.0);
}

void bruteforce_window_rms(WindowRms &w, const double *l, const double *r, double *level, long n) {
    for (long i = 0; i < n; i++) {
        w.pa = w.pa < 399 ? w.pa + 1 : 0;
        w.pb = w.pb < 399 ? w.pb + 1 : 0;
        w.a[w.pa] = l[i];
        w.b[w.pb] = r[i];
        level[i] = std::fmax(ring_rms(w.a), ring_rms(w.b));
    }
}

void bruteforce_peak_and_sum(PeakAndSum &w, const double *in, double *out, long n) {
    for (long i = 0; i < n; i++) {
        double m = 0.0;
        for (int k = 0; k < 480; k++)
            if (std::fabs(w.peak[k]) > std::fabs(m)) m = w.peak[k];
        double s = 0.0;
        for (int k = 0; k < 120; k++) s += w.avg[k];
        out[i] = m + s;
        w.pp = w.pp < 479 ? w.pp + 1 : 0;
        w.pa = w.pa < 119 ? w.pa + 1 : 0;
        w.peak[w.pp] = std::fabs(in[i]);
        w.avg[w.pa] = 0.5 * in[i];
    }
}

}  // namespace tkbench
