// tilde plot: pictures of a box's behaviour, measured through the host like `tilde render`.
//   response  magnitude (dB) and phase against a logarithmic frequency axis
//   curve     static input level against output level (dB), with the gain outlet if any
//   wave      the output signals against time for a given input, one panel per outlet
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tilde {

struct PlotOptions {
    std::string kind;  // "response", "curve" or "wave"
    std::string name;
    std::vector<std::string> args;
    std::vector<std::string> messages;  // -m, sent before DSP starts (wave: timed ones too)
    std::string vary;                   // "SELECTOR V1,V2,...": one curve per value
    std::optional<double> samplerate;   // default 48000 (wave: the input file's)
    std::string out;                    // FILE.png or FILE.svg
    std::string size = "1200x700";      // picture size in pixels, WxH
    std::string data;                   // optional CSV of the plotted numbers
    std::vector<int> feed;              // signal inlets that get the test signal (default per kind)
    int outlet = 0;                     // signal outlet measured by response and curve
    std::string method = "auto";        // response: auto | impulse | sines
    double level_db = -20;              // response: level of the stepped sines (dBFS)
    double tone = 1000;                 // curve: frequency of the tones (Hz)
    double settle = 1.0;                // response (sines) and curve: seconds before measuring
    // wave
    std::string in;
    std::vector<std::string> signals;
    std::optional<double> seconds;      // default 0.1 s, or the input file's length
    int block = 64;
};

// Returns the exit status; bad input and failures are thrown (see common.h).
int run_plot(const PlotOptions &o);

}  // namespace tilde
