// The properties of tildekit's panners, delays, models and control objects, in the format of a
// NAME.validate.json file. The figures come from the objects' definitions.
#include <map>
#include <string>

#include "properties.h"

namespace tilde::vd {

const std::map<std::string, const char *> &other_builtin_properties() {
    static const std::map<std::string, const char *> t = {
        // interaural delay: both outputs are the input delayed, unity gain; the far ear by the
        // difference of the two path lengths (law of cosines, ears at +-b/2) in samples at the
        // rate clamped to 192 kHz (about 343 m/s), each ear one sample more through the
        // interpolator; a value outside a range restores its default; the ring of 128 samples is
        // flushed by 200 samples of silence
        {"headdelay~", R"J({
          "params": [
            {"name": "Angle", "message": "Angle $", "range": [0, 180], "default": 90, "points": [90]},
            {"name": "Ears_dist", "message": "Ears_dist $", "range": [15, 20], "default": 17},
            {"name": "Object_dist", "message": "Object_dist $", "range": [100, 5000], "default": 100, "log": true}],
          "properties": [
            {"kind": "delay", "vary": ["Angle", "Ears_dist", "Object_dist"], "outputs": [0, 1], "settle_s": 0, "settle_samples": 200,
             "define": [["c", "cos(Angle * 0.0174533)"], ["b", "Ears_dist"], ["d", "Object_dist"],
                        ["p1", "sqrt((d * 0.0001 - c * b * 0.0001) * d + b * b * 0.000025)"],
                        ["p2", "sqrt((c * b + d) * d * 0.0001 + b * b * 0.000025)"],
                        ["D", "(p1 - p2) * min(max(rate, 1), 192000) * 0.00291545"]],
             "delays": ["max(D, 0) + 1", "max(-D, 0) + 1"], "gains": ["1", "1"], "tolerance_samples": 0.001, "tolerance_db": 0.001},
            {"kind": "stable", "vary": ["Angle", "Ears_dist", "Object_dist"], "outputs": [0, 1], "max_response_s": 0.1,
             "gains": [{"at": "dc", "gain": 1, "tol_db": 0.001}]},
            {"kind": "noburst", "vary": ["Angle", "Ears_dist", "Object_dist"], "outputs": [0, 1], "margin": 2, "max_response_s": 0.1},
            {"kind": "decay", "vary": ["Angle", "Ears_dist", "Object_dist"], "outputs": [0, 1], "decay_s": 0, "decay_samples": 200}]})J"},
        // square-root balance after a one-pole smoother of DC gain 1/2: each input's squared gains
        // add up to 1/4 at every position (constant power); a value outside a range restores
        // its default; the smoother's time constant is at most 10 ms
        {"stereoplace~", R"J({
          "params": [
            {"name": "pan", "message": "pan $", "range": [0, 1], "default": 0.5, "points": [0.5, 0.25, 0.75]},
            {"name": "int_time", "message": "int_time $", "range": [0, 10], "default": 1}],
          "properties": [
            {"kind": "panlaw", "position": "pan", "law": "energy", "total": "0.25", "vary": ["pan", "int_time"],
             "inputs": [0, 1], "outputs": [0, 1], "settle_s": 0.25, "tolerance_db": 0.001,
             "gains": [["0.5 * sqrt(min(1, 2 - 2 * pan))", "0.5 * sqrt(max(0, 2 * pan - 1))"],
                       ["0.5 * sqrt(max(0, 1 - 2 * pan))", "0.5 * sqrt(min(1, 2 * pan))"]]},
            {"kind": "decay", "vary": ["pan", "int_time"], "inputs": [0, 1], "outputs": [0, 1], "decay_s": 0.2}]})J"},
        // the bow force is at most 1/4 of the velocity and the ends reflect with less than unity:
        // the output stays bounded for every setting (100 is a generous bound); unbowed (velocity 0) it is exactly 0 from creation, and
        // after bowing it dies away once the smoothed velocity (0.999 per sample: 14000 samples
        // to 1e-6) and the string have decayed: the string loses about 1.2 % per period of
        // (length - 0.08) / 340 s, 120 dB in about 3.4 x (length - 0.08) s, so judged up to
        // length 0.5 after 3 s (a longer string rings longer, as a real one does); below 0.08
        // the string has no length left (delays 0) and the loop through its end filters alone
        // still gives about 2e-6 after 3 s at 384 kHz, so it is judged from 0.08
        {"bowedstring~", R"J({
          "params": [
            {"name": "velocity", "message": "velocity $", "range": [0, 1]},
            {"name": "length", "message": "length $", "range": [0, 10], "clamps": false, "points": [0.08, 0.75]},
            {"name": "pressure", "message": "pressure $", "range": [0, 1]},
            {"name": "pos", "message": "pos $", "range": [0, 1]},
            {"name": "OutGain", "message": "OutGain $", "range": [0, 1]}],
          "properties": [
            {"kind": "bounded", "peak": 100, "duration_s": 1, "messages": ["clearall", "setDefault"]},
            {"kind": "silent", "rest": {"velocity": 0}, "fresh_level": 0, "level": 1e-6, "after_s": 3, "after_samples": 14000, "duration_s": 0.5,
             "range": {"length": [0.08, 0.5]},
             "messages": ["setDefault", "clearall"]}]})J"},
        // a Hann-weighted mean square in dB (1 reads 100, silence 0) after the first block, then
        // every period rounded up to a whole number of blocks; window below 1: 1024; period
        // below 1: half the window; at most 32 windows open (period at least window/32 + 1)
        {"levelmeter~", R"J({
          "params": [
            {"name": "window", "arg": true, "integer": true, "range": [-4, 8192], "points": [1, 1024, 4096]},
            {"name": "period", "arg": true, "integer": true, "range": [-4, 20000], "points": [1, 100, 512]}],
          "properties": [
            {"kind": "timing", "args": "$window $period", "vary": ["window", "period"], "outlet": 0,
             "define": [["N", "if(window < 1, 1024, window)"], ["P0", "if(period < 1, floor(N / 2), period)"],
                        ["P", "max(P0, floor(N / 32) + 1)"]],
             "first": "vector", "every": "ceil(P / vector) * vector", "events": 6,
             "values": ["0", "max(0, 100 + 20 * log10(peak))"]}]})J"},
        // a bang at the end of every block while DSP runs
        {"blocktick~", R"J({
          "properties": [{"kind": "timing", "inputs": [], "outlet": 0, "first": "vector", "every": "vector", "events": 8}]})J"},
        // below the threshold left, otherwise (equal, NaN) right, sent as it came; a threshold
        // at the right inlet sends the last number again
        {"cutroute", R"J({
          "params": [{"name": "threshold", "message": "$", "inlet": 1, "range": [-1000, 1000], "clamps": false}],
          "properties": [{"kind": "routing", "inputs": [], "threshold": "threshold", "inlet": 0, "below": 0, "above": 1, "resend": true}]})J"},
        // a bang starts a run: a bang at once and one interval later (the integer form of
        // `interval`, registered second, is the one that takes the message: whole milliseconds);
        // the smoother's output is a
        // weighted mean of the readings and its start 0; the running extremes are readings or
        // the start values (0 and 0 at a bang); out-of-range settings restore their defaults
        {"calibrator", R"J({
          "params": [
            {"name": "interval", "message": "interval $", "range": [5, 100000], "default": 5000, "log": true},
            {"name": "smooth", "message": "smooth $", "range": [0, 0.99], "default": 0.9},
            {"name": "minstart", "message": "$", "inlet": 1, "range": [-10000, 10000], "clamps": false},
            {"name": "maxstart", "message": "$", "inlet": 2, "range": [-10000, 10000], "clamps": false}],
          "properties": [
            {"kind": "timing", "inputs": [], "trigger": "bang", "outlet": 3, "unit": "ms", "first": "0", "every": "trunc(interval)", "count": 2,
             "vary": ["interval"], "range": {"interval": [5, 2000]}},
            {"kind": "inrange", "inputs": [], "outlet": 0, "vary": ["smooth"], "also": ["0"], "numbers": [0, 1023], "messages": ["bang"]},
            {"kind": "inrange", "inputs": [], "outlet": 1, "vary": ["minstart", "maxstart"], "also": ["0", "minstart", "maxstart"], "messages": ["bang"]},
            {"kind": "inrange", "inputs": [], "outlet": 2, "vary": ["minstart", "maxstart"], "also": ["0", "minstart", "maxstart"], "messages": ["bang"]}]})J"}};
    return t;
}

}  // namespace tilde::vd
