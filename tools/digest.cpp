// tilde-digest: renders a fixed set of stimuli through every external and prints one line per
// external and case: a checksum of the output's bits, its peak, its length and its control
// events. Two builds (Linux and Windows, say) that print the same lines behave alike; `--dump`
// also writes the samples so that outputs that differ can be compared within a tolerance
// (scripts/compare-digests).
//
// The stimuli use only additions and multiplications, so they are the same bits on every
// platform: no library sine or random generator whose results could differ.
#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common.h"
#include "tildehost.h"

namespace {

namespace fs = std::filesystem;

// Creation arguments for externals that need them to do anything worth comparing.
const std::map<std::string, std::string> creation_args = {
    {"recur~", "0.5"}, {"fwdtap~", "0.5"}, {"backtap~", "0.5"}, {"modalfilt~", "bp2"}, {"cutroute", "0.5"},
};

struct Case {
    const char *name;
    double samplerate;
    int blocksize;
    double amplitude;  // of the stimulus at the first inlet
    bool impulse;      // an impulse instead of noise and sines
    double others;     // the other signal inlets: a constant, or noise when negative
};

const Case cases[] = {
    {"impulse-48000-64", 48000, 64, 1.0, true, 0.3},
    {"mix-44100-7", 44100, 7, 0.8, false, 0.3},
    {"loud-96000-256", 96000, 256, 4.0, false, 0.5},
    {"allnoise-48000-1", 48000, 1, 1.0, false, -1.0},
    {"mix-8000-4096", 8000, 4096, 0.5, false, 0.9},
};
constexpr std::int64_t kFrames = 6000;

// Uniform noise in [-1, 1) from a 64-bit linear congruential generator: exact everywhere.
struct Noise {
    std::uint64_t s;
    explicit Noise(std::uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    double next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return double(std::int64_t(s >> 11) - (std::int64_t(1) << 52)) / double(std::int64_t(1) << 52);
    }
};

// Noise plus two sines made by rotation (additions and multiplications only).
std::vector<double> stimulus(const Case &c, std::uint64_t seed, double amplitude) {
    std::vector<double> x(kFrames, 0.0);
    if (c.impulse) {
        x[0] = amplitude;
        return x;
    }
    Noise n(seed);
    // cos and sin of the step angles, as exact constants (about 441 Hz and 3.1 kHz at 44.1 kHz)
    const double c1 = 0.99980027315827, s1 = 0.01998519436831, c2 = 0.98999249660045, s2 = 0.14112000805987;
    double re1 = 1, im1 = 0, re2 = 1, im2 = 0;
    for (auto &v : x) {
        v = amplitude * (0.25 * n.next() + 0.5 * im1 + 0.25 * im2);
        double r1 = re1 * c1 - im1 * s1, r2 = re2 * c2 - im2 * s2;
        im1 = re1 * s1 + im1 * c1;
        im2 = re2 * s2 + im2 * c2;
        re1 = r1;
        re2 = r2;
    }
    return x;
}

std::uint64_t fnv(std::uint64_t h, const void *data, std::size_t n) {
    auto *p = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

// The bits of a sample as the checksum takes them: every NaN as one pattern (x86's default NaN,
// so x86-64 checksums keep their values). Machines make NaNs with different bits (x86's default
// NaN has its sign set, ARM's has not), and a NaN is a NaN whatever its bits.
std::uint64_t hashed_bits(double v) {
    std::uint64_t b;
    if (std::isnan(v))
        b = 0xfff8000000000000ull;
    else
        std::memcpy(&b, &v, sizeof b);
    return b;
}
std::uint64_t fnv_samples(std::uint64_t h, const std::vector<double> &v) {
    for (double x : v) {
        std::uint64_t b = hashed_bits(x);
        h = fnv(h, &b, sizeof b);
    }
    return h;
}

std::vector<std::string> externals_in(const std::vector<std::string> &dirs) {
    std::set<std::string> names;
    const auto exts = tk::module_extensions();
    for (auto &d : dirs) {
        std::error_code ec;
        for (auto &e : fs::directory_iterator(d, ec)) {
            std::string f = e.path().filename().string();
            for (auto &ext : exts)
                if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0)
                    names.insert(f.substr(0, f.size() - ext.size()));
        }
    }
    return {names.begin(), names.end()};
}

// One case through one external: its line, and its samples appended to `dump` when given.
std::string run_case(const std::string &name, const Case &c, std::ofstream *dump) {
    tk::Patch patch(c.samplerate, c.blocksize);
    auto it = creation_args.find(name);
    tk::Box *box = patch.create(name, tk::parse_atoms(it == creation_args.end() ? "" : it->second));
    if (!box) return "refused";
    std::vector<std::vector<double>> inputs;
    for (int i = 0; i < box->signal_inlets(); ++i) {
        if (i == 0 || c.others < 0)
            inputs.push_back(stimulus(c, std::uint64_t(i) + 1, i == 0 ? c.amplitude : 1.0));
        else
            inputs.push_back(std::vector<double>(kFrames, c.others));
    }
    if (box->signal_inlets() == 0) {
        // control objects: a few numbers at the first inlet, then time for their clocks
        for (double v : {0.1, 0.9, 0.5, 0.25, 0.75}) patch.send_float(box, 0, v);
        patch.advance(1000);
    }
    auto outs = patch.process(box, inputs, kFrames);
    std::uint64_t h = 0xcbf29ce484222325ull;
    double peak = 0;
    bool nan = false;
    std::size_t frames = 0;
    for (auto &o : outs) {
        h = fnv_samples(h, o);
        for (double v : o) {
            if (std::isnan(v))
                nan = true;
            else
                peak = std::max(peak, std::fabs(v));
        }
        frames = o.size();
        if (dump) dump->write(reinterpret_cast<const char *>(o.data()), std::streamsize(o.size() * sizeof(double)));
    }
    for (auto &e : box->events()) {
        h = fnv(h, &e.sample, sizeof e.sample);
        h = fnv(h, &e.outlet, sizeof e.outlet);
        std::uint64_t value = hashed_bits(e.value);
        h = fnv(h, &value, sizeof value);
    }
    char line[200];
    std::snprintf(line, sizeof line, "checksum=%016" PRIx64 " peak=%.17g outlets=%zu frames=%zu events=%zu", h, nan ? NAN : peak,
                  outs.size(), frames, box->events().size());
    return line;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Renders fixed stimuli through every external and prints a checksum and peak per case"};
    std::vector<std::string> paths, names;
    std::string dump_dir;
    app.add_option("--path", paths, "Folder of externals (repeatable; default: this build's)")->type_name("DIR");
    app.add_option("--dump", dump_dir, "Also write each case's samples to DIR/NAME.CASE.f64 (little-endian doubles)")
        ->type_name("DIR");
    app.add_option("names", names, "Externals to run (default: every one in the folders)");
    CLI11_PARSE(app, argc, argv);
    if (paths.empty()) paths.push_back(TILDEKIT_MODULE_DIR);
    for (auto &p : paths) tk::add_search_path(p);
    if (names.empty()) names = externals_in(paths);
    if (names.empty()) {
        std::fprintf(stderr, "tilde-digest: no externals (*%s) in the given folders\n", tk::module_extension());
        return tilde::exit_bad_input;
    }
    if (!dump_dir.empty()) fs::create_directories(dump_dir);
    tk::ConsoleCapture quiet;  // the externals' posts are not the digest's business
    int failed = 0;
    for (auto &name : names) {
        for (auto &c : cases) {
            std::string line;
            try {
                std::ofstream dump;
                if (!dump_dir.empty()) {
                    dump.open(fs::path(dump_dir) / (name + "." + c.name + ".f64"), std::ios::binary | std::ios::trunc);
                    if (!dump) throw tk::Error("cannot write to " + dump_dir);
                }
                line = run_case(name, c, dump_dir.empty() ? nullptr : &dump);
            } catch (const std::exception &e) {
                line = std::string("error ") + e.what();
                for (auto &ch : line)
                    if (ch == '\n') ch = ' ';
                ++failed;
            }
            std::printf("%s %s %s\n", name.c_str(), c.name, line.c_str());
            quiet.clear();
        }
    }
    std::fflush(stdout);
    return failed ? tilde::exit_failed : tilde::exit_ok;
}
