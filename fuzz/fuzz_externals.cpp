// libFuzzer target: each input is a command stream for one box of one external.
//   byte 0       which external (index into the sorted list found in the module folder), unless
//                TILDEKIT_FUZZ_EXTERNAL names one
//   byte 1       sample rate (from a table), byte 2 vector size (1..256), byte 3 connection mask
//   byte 4       number of creation atoms (0..7), then one byte per atom (from a pool)
//   then ops:    0 run a block of samples taken from the stream (values from a pool, NaN and
//                infinities included); 1 message: selector byte, atom count, atom bytes;
//                2 new vector size; 3 new sample rate; 4 new connection mask
// Built with AddressSanitizer and UndefinedBehaviorSanitizer (float-divide-by-zero and
// float-cast-overflow included) by `make fuzz`.
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tildehost.h"

namespace {

std::vector<std::string> &externals() {
    static std::vector<std::string> names = [] {
        std::vector<std::string> v;
        if (const char *one = std::getenv("TILDEKIT_FUZZ_EXTERNAL")) {
            v.push_back(one);
        } else if (DIR *d = ::opendir(TILDEKIT_MODULE_DIR)) {
            const std::string ext = tk::module_extension();
            while (dirent *e = ::readdir(d)) {
                std::string f = e->d_name;
                if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0)
                    v.push_back(f.substr(0, f.size() - ext.size()));
            }
            ::closedir(d);
        }
        std::sort(v.begin(), v.end());
        tk::add_search_path(TILDEKIT_MODULE_DIR);
        // a host with 256 MB to give: larger requests fail, as they would on a small machine,
        // and the externals' refusal paths are fuzzed too
        tk::fail_allocations_above(std::size_t(1) << 28);
        return v;
    }();
    return names;
}

const double kRates[] = {44100, 48000, 8000, 96000, 192000, 1234.5678, 384000, 22050};
const double kSamples[] = {0.0, 0.5, -0.5, 1.0, -1.0, 1e-40, 1e30, -1e30, HUGE_VAL, -HUGE_VAL, NAN, 1e-310, 0.25, 3.0, -3.0, 1e-5};

tk::Atom atom_of(std::uint8_t b) {
    static const std::vector<tk::Atom> pool = {
        tk::Atom(0), tk::Atom(1), tk::Atom(-1), tk::Atom(0.5), tk::Atom(-0.0), tk::Atom(1e38), tk::Atom(-1e38),
        tk::Atom(HUGE_VAL), tk::Atom(-HUGE_VAL), tk::Atom(NAN), tk::Atom(2147483647), tk::Atom(-2147483647 - 1),
        tk::Atom(1e-40), tk::Atom(100), tk::Atom(1000.0), tk::Atom(20000.0), tk::Atom(-96.0), tk::Atom(12.0),
        tk::Atom(4), tk::Atom(64), tk::Atom(1e9), tk::Atom("foo"), tk::Atom("bp2"), tk::Atom("lp2"), tk::Atom("hp2")};
    return pool[b % pool.size()];
}

struct Stream {
    const std::uint8_t *p;
    std::size_t n, at = 0;
    bool more() const { return at < n; }
    std::uint8_t next() { return at < n ? p[at++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    auto &names = externals();
    if (names.empty() || size < 5) return 0;
    Stream s{data, size};
    const std::string &name = names[s.next() % names.size()];
    double sr = kRates[s.next() % 8];
    int vs = 1 + s.next();
    unsigned mask = s.next();
    tk::Atoms args;
    for (int k = s.next() % 8; k > 0; --k) args.push_back(atom_of(s.next()));

    tk::ConsoleCapture quiet;
    tk::Patch patch(sr, vs);
    tk::Box *box = nullptr;
    try {
        box = patch.create(name, args);
    } catch (const tk::Error &) {
        return 0;
    }
    if (!box) return 0;
    const tk::ClassInfo &info = box->cls();
    std::vector<std::string> selectors;
    for (auto &m : info.methods)
        if (!(m.types.size() == 1 && m.types[0] == 9) || m.selector == "float" || m.selector == "int") selectors.push_back(m.selector);
    auto connect = [&](unsigned m) {
        for (int i = 0; i < box->signal_inlets(); ++i) {
            if (m & (1u << (i % 8)))
                patch.feed(box, i, std::vector<double>{});  // connected; samples come from the ops
            else
                patch.unfeed(box, i);
        }
    };
    connect(mask);
    for (int o = 0; o < box->outlets(); ++o)
        if (box->outlet_is_signal(o)) patch.capture(box, o);

    for (int ops = 0; s.more() && ops < 64; ++ops) {
        switch (s.next() % 5) {
        case 0: {
            std::vector<double> block(std::size_t(patch.blocksize()));
            for (auto &v : block) v = kSamples[s.next() % 16];
            for (int i = 0; i < box->signal_inlets(); ++i)
                if (mask & (1u << (i % 8))) patch.feed(box, i, block);
            patch.run_blocks(1);
            patch.clear_outputs();
            break;
        }
        case 1: {
            if (selectors.empty()) break;
            const std::string &sel = selectors[s.next() % selectors.size()];
            tk::Atoms a;
            for (int k = s.next() % 6; k > 0; --k) a.push_back(atom_of(s.next()));
            int inlet = (sel == "float" || sel == "int") ? s.next() % std::max(1, box->inlets()) : 0;
            try {
                patch.send(box, inlet, sel, a);
            } catch (const tk::Error &) {
            }
            break;
        }
        case 2: patch.set_blocksize(1 + s.next()); break;
        case 3: patch.set_samplerate(kRates[s.next() % 8]); break;
        default: mask = s.next(); connect(mask); break;
        }
    }
    patch.run_blocks(2);
    return 0;
}
