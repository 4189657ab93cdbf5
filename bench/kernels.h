// Reference loops measured beside the externals: the machine's bare first- and second-order
// recurrences, and the brute-force window detectors that the gate and the maximiser replace
// with exact tree reductions. They live in their own unit so that nothing is specialised
// across the call.
#pragma once

namespace tkbench {

// y = y * a + x over a block; returns the state for the next block.
double bare_recurrence(const double *in, double *out, long n, double a, double y);

// Direct form II biquad: w = x - a1 w1 - a2 w2, y = b0 w + b1 w1 + b2 w2.
struct Biquad {
    double b0, b1, b2, a1, a2;
    double w1, w2;
};
void bare_biquad(Biquad &q, const double *in, double *out, long n);

// The gate's detector as a full recomputation: two 400-sample rings, each sample a full
// 400-term sum of squares per ring; writes the louder ring's RMS per sample.
struct WindowRms {
    double a[400], b[400];
    int pa, pb;
};
void bruteforce_window_rms(WindowRms &w, const double *l, const double *r, double *level, long n);

// The maximiser's detector as a full recomputation: each sample a 480-entry peak scan and a
// 120-entry sum; writes peak + sum per sample.
struct PeakAndSum {
    double peak[480], avg[120];
    int pp, pa;
};
void bruteforce_peak_and_sum(PeakAndSum &w, const double *in, double *out, long n);

}  // namespace tkbench
