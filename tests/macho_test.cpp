// macOS bundles through the host's Mach-O loader: the probe's code for this machine (x86_64 or
// arm64) computing with glibc's mathematics and the Darwin-only helpers, how NAME.mxo is found,
// what is refused and how, corrupted copies that must be refused without a crash, and (arm64) the
// entries for Apple callers of variadic functions.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "macho_arm64_entries.h"
#include "modules.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

#ifndef TILDEKIT_MACHO_MISSING
#define TILDEKIT_MACHO_MISSING ""
#endif

#ifndef TILDEKIT_EMULATED
#define TILDEKIT_EMULATED 0
#endif

bool have_fixtures() { return std::strlen(TILDEKIT_MACHO_FIXTURES) > 0 && tk::detail::macho_supported(); }

#define NEED_FIXTURES()                                                                                  \
    do {                                                                                                 \
        if (!tk::detail::macho_supported()) GTEST_SKIP() << "this host runs Mach-O code only on Linux x86-64 and AArch64"; \
        if (!have_fixtures()) GTEST_SKIP() << "no Mach-O fixtures: needs " << TILDEKIT_MACHO_MISSING;  \
    } while (0)

fs::path fixture(const std::string &file) { return fs::path(TILDEKIT_MACHO_FIXTURES) / file; }

// The architecture this host runs, the other one, and the fixture that holds only the other's code.
const std::string host_arch = tk::detail::macho_arch();
const bool arm64_host = host_arch == "arm64";
const std::string other_arch = arm64_host ? "x86_64" : "arm64";
const std::string other_only = arm64_host ? "machox86~" : "machoarm~";
fs::path probe_slice() { return fixture("machoprobe~." + host_arch); }

std::vector<unsigned char> bytes_of(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}
void write_file(const fs::path &p, const std::vector<unsigned char> &b) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
}
void write_text(const fs::path &p, const std::string &s) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << s;
}
std::string info_plist(const std::string &exe) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleDevelopmentRegion</key>\n\t<string>English</string>\n"
           "\t<key>CFBundleExecutable</key>\n\t<string>" + exe + "</string>\n"
           "\t<key>CFBundlePackageType</key>\n\t<string>iLaX</string>\n</dict>\n</plist>\n";
}
// NAME.mxo/Contents/{MacOS/EXE, Info.plist naming EXE} in dir
fs::path make_bundle(const fs::path &dir, const std::string &name, const fs::path &code, const std::string &exe) {
    fs::path b = dir / (name + ".mxo");
    write_file(b / "Contents" / "MacOS" / exe, bytes_of(code));
    write_text(b / "Contents" / "Info.plist", info_plist(exe));
    write_text(b / "Contents" / "PkgInfo", "iLaX????");
    return b;
}

// A folder of its own for each test, in the search path.
struct Folder {
    fs::path dir;
    explicit Folder(const std::string &tag) {
        dir = fs::temp_directory_path() / ("tildekit-macho-" + tag + "-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        tk::add_search_path(dir.string());
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

std::string load_error(const std::string &name) {
    try {
        tk::load_class(name);
    } catch (const tk::Error &e) {
        return e.what();
    }
    return "loaded";
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
}
#define EXPECT_SAME(a, b)                                                                  \
    do {                                                                                   \
        double a_ = (a), b_ = (b);                                                         \
        if (std::isnan(a_) || std::isnan(b_))                                              \
            EXPECT_TRUE(std::isnan(a_) && std::isnan(b_)) << #a << " " << a_ << " vs " << b_; \
        else                                                                               \
            EXPECT_EQ(bits(a_), bits(b_)) << #a << " " << a_ << " vs " << b_;              \
    } while (0)

std::vector<double> floats_out(tk::Box *b) {
    std::vector<double> v;
    for (auto &e : b->events())
        if (e.kind == tk::Event::Float) v.push_back(e.value);
    b->clear_events();
    return v;
}

// The probe as a universal bundle, loaded once for the tests that run its code.
const tk::ClassInfo &probe() {
    static Folder folder("probe");
    static const tk::ClassInfo *info = [] {
        make_bundle(folder.dir, "machoprobe~", fixture("machoprobe~.universal"), "machoprobe~");
        return &tk::load_class("machoprobe~");
    }();
    return *info;
}

// ---- its code runs and computes what glibc computes ------------------------------------------

TEST(MachoProbe, UniversalBundleLoadsTheCodeOfThisMachineAndRunsItsInitialiserFirst) {
    NEED_FIXTURES();
    const tk::ClassInfo &c = probe();
    EXPECT_EQ(c.arch, host_arch + " (Mach-O)");
    EXPECT_EQ(c.width_bits, 64);
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_NE(c.file.find("machoprobe~.mxo/Contents/MacOS/machoprobe~"), std::string::npos) << c.file;
    EXPECT_TRUE(c.dsp);
    ASSERT_EQ(c.banner.size(), 1u);
    EXPECT_EQ(c.banner[0], "machoprobe~: constructed 42");  // the __mod_init_func ran before ext_main
    // an ELF external of the same process says what it is too
    tk::add_search_path(TILDEKIT_FIXTURE_DIR);
    EXPECT_EQ(tk::load_class("hostprobe~").arch, host_arch + " (ELF)");
}

TEST(MachoProbe, NumbersGoThroughSincosExp10AndExp2AsGlibcComputesThem) {
    NEED_FIXTURES();
    probe();
    tk::ConsoleCapture quiet;
    tk::Patch p;
    tk::Box *b = p.create("machoprobe~", {});
    ASSERT_NE(b, nullptr);
    for (double v : {0.3, -0.0, 1e-310, 2.5, -7.25, 1e22, 700.0, -400.0, 308.5, HUGE_VAL, -HUGE_VAL, double(NAN)}) {
        p.send_float(b, 0, v);
        auto out = floats_out(b);
        ASSERT_EQ(out.size(), 5u) << v;
        EXPECT_SAME(out[0], std::sin(v));
        EXPECT_SAME(out[1], std::cos(v));
        EXPECT_SAME(out[2], exp10(v));  // pow(10, v) on the Mac: __exp10
        EXPECT_SAME(out[3], std::exp2(v));
        EXPECT_SAME(out[4], exp10(v));
    }
}

TEST(MachoProbe, PerformRoutineMatchesTheSameSumInLinuxCodeAtEveryVectorSize) {
    NEED_FIXTURES();
    probe();
    tk::ConsoleCapture quiet;
    auto in = tkt::noise(5000, 4.0, 7);
    in[3] = NAN;
    in[4] = HUGE_VAL;
    in[5] = 1e300;
    for (int vs : {1, 64, 4096}) {
        tk::Patch p(44100.0, vs);
        tk::Box *b = p.create("machoprobe~", {0.75});
        ASSERT_NE(b, nullptr);
        auto out = p.process(b, {in}, std::int64_t(in.size()));
        ASSERT_EQ(out.size(), 1u);
        ASSERT_GE(out[0].size(), in.size());
        for (std::size_t i = 0; i < in.size(); ++i) EXPECT_SAME(out[0][i], 0.75 * (std::sin(in[i]) + 0.5 * std::cos(in[i])));
    }
}

TEST(MachoProbe, PatternFillBzeroErrnoAndStdoutAreGlibcs) {
    NEED_FIXTURES();
    probe();
    tk::ConsoleCapture quiet;
    tk::Patch p;
    tk::Box *b = p.create("machoprobe~", {});
    ASSERT_NE(b, nullptr);
    for (long n : {0L, 8L, 39L, 40L}) {
        p.send(b, "fill", {tk::Atom(n)});
        testing::internal::CaptureStdout();
        p.send(b, "bang");
        std::string printed = testing::internal::GetCapturedStdout();
        auto out = floats_out(b);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0], 0.25 * double(40 - n)) << "40 words of 0.25 (memset_pattern16), " << n << " zeroed (__bzero)";
        EXPECT_EQ(out[1], double(ERANGE)) << "strtod's overflow seen through __error";
        char want[64];
        std::snprintf(want, sizeof want, "machoprobe says %g\n", out[0]);
        EXPECT_EQ(printed, want) << "written to __stdoutp";
    }
}

TEST(MachoProbeDeathTest, StackProtectorAndAssertEndTheProcessNamingTheCause) {
    NEED_FIXTURES();
    // under user-mode emulation a child cannot start the program anew (exec of a foreign binary)
    GTEST_FLAG_SET(death_test_style, TILDEKIT_EMULATED ? "fast" : "threadsafe");
    auto run = [](const char *sel, tk::Atoms args) {
        probe();
        tk::Patch p;
        tk::Box *b = p.create("machoprobe~", {});
        p.send(b, sel, args);
        std::fprintf(stderr, "survived\n");
        std::exit(0);
    };
    EXPECT_DEATH(run("smash", {tk::Atom(64)}), "stack smashing detected in .*machoprobe~\\.mxo/Contents/MacOS/machoprobe~");
    EXPECT_DEATH(run("fail", {}), "macho_probe.c:123: probe_fail: Assertion `x->fill < 0' failed");
    EXPECT_EXIT(run("smash", {tk::Atom(8)}), testing::ExitedWithCode(0), "survived");  // within its array
}

// ---- finding NAME.mxo -----------------------------------------------------------------------

TEST(MachoFind, ThinFileInfoPlistAliasAndSymlinkedBundleLoad) {
    NEED_FIXTURES();
    Folder f("find");
    tk::ConsoleCapture quiet;
    // a plain Mach-O file of this machine's code named NAME.mxo; its entry is the older main
    write_file(f.dir / "machothin~.mxo", bytes_of(fixture("machothin~")));
    const tk::ClassInfo &thin = tk::load_class("machothin~");
    EXPECT_EQ(thin.entry, "main");
    EXPECT_EQ(thin.arch, host_arch + " (Mach-O)");
    // Info.plist names an executable of another name
    make_bundle(f.dir, "machoalias~", fixture("machoalias~"), "AliasCode");
    EXPECT_NE(tk::load_class("machoalias~").file.find("machoalias~.mxo/Contents/MacOS/AliasCode"), std::string::npos);
    // a symbolic link to a bundle elsewhere
    Folder store("store");
    fs::path real = make_bundle(store.dir, "machosym~", fixture("machosym~"), "machosym~");
    fs::remove_all(f.dir / "machosym~.mxo");
    fs::create_directory_symlink(real, f.dir / "machosym~.mxo");
    tk::Patch p;
    tk::Box *b = p.create("machosym~", {});
    ASSERT_NE(b, nullptr);
    p.send_float(b, 0, 0.5);
    EXPECT_EQ(floats_out(b).size(), 5u);
    // MSP functions bound to MaxAudioAPI.framework (the SDK's usual Mac link) come from our MaxAudio
    make_bundle(f.dir, "machofw~", fixture("machofw~"), "machofw~");
    tk::Box *fw = p.create("machofw~", {2.0});
    ASSERT_NE(fw, nullptr);
    auto out = p.process(fw, {{0.25}}, 1);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0], 2.0 * (std::sin(0.25) + 0.5 * std::cos(0.25)));
}

TEST(MachoFind, BundleProblemsAreRefusedNamingTheFileAndWhy) {
    NEED_FIXTURES();
    Folder f("bad");
    const std::string d = fs::canonical(f.dir).string();
    // Info.plist names an executable that is not there (the bundle's own name is)
    fs::path b = make_bundle(f.dir, "machogone~", fixture("machoalias~"), "machogone~");
    write_text(b / "Contents" / "Info.plist", info_plist("Elsewhere"));
    EXPECT_EQ(load_error("machogone~"), f.dir.string() + "/machogone~.mxo: cannot be loaded: its Contents/Info.plist names the "
              "executable 'Elsewhere', but there is no Contents/MacOS/Elsewhere (there is a Contents/MacOS/machogone~, which the "
              "bundle does not name)");
    // a folder without code
    fs::create_directories(f.dir / "machoempty~.mxo" / "Contents");
    EXPECT_EQ(load_error("machoempty~"), f.dir.string() + "/machoempty~.mxo: cannot be loaded: it is a bundle folder without its "
              "executable (no Contents/MacOS/machoempty~)");
    // a plist that names no file
    fs::path w = make_bundle(f.dir, "machoslash~", fixture("machoalias~"), "machoslash~");
    write_text(w / "Contents" / "Info.plist", info_plist("../../x"));
    EXPECT_NE(load_error("machoslash~").find("names the executable '../../x', which is not a file name"), std::string::npos);

    // the other architecture's code only: a universal file with one slice, and a thin one
    const std::string only = "it has no " + host_arch + " code (" + other_arch + " only)";
    make_bundle(f.dir, other_only, fixture(other_only + ".fat"), other_only);
    EXPECT_EQ(load_error(other_only), d + "/" + other_only + ".mxo/Contents/MacOS/" + other_only + ": cannot be loaded: " + only);
    write_file(f.dir / "machoarmthin~.mxo", bytes_of(fixture(other_only + "." + other_arch)));
    EXPECT_EQ(load_error("machoarmthin~"), d + "/machoarmthin~.mxo: cannot be loaded: " + only);
    // Mach-O files that are not bundles
    write_file(f.dir / "machodylib~.mxo", bytes_of(fixture("machodylib~")));
    EXPECT_EQ(load_error("machodylib~"), d + "/machodylib~.mxo: cannot be loaded: it is a dynamic library (MH_DYLIB), not a bundle (MH_BUNDLE)");
    write_file(f.dir / "machoexec~.mxo", bytes_of(fixture("machoexec~")));
    EXPECT_EQ(load_error("machoexec~"), d + "/machoexec~.mxo: cannot be loaded: it is a program (MH_EXECUTE), not a bundle (MH_BUNDLE)");
    write_text(f.dir / "machotext~.mxo", "not code at all");
    EXPECT_EQ(load_error("machotext~"), d + "/machotext~.mxo: cannot be loaded: it is not a Mach-O file (no Mach-O or universal header)");

    // the host's own format wins in the same folder: here a broken one, which is what is reported
    write_text(f.dir / (std::string("machopref~") + tk::module_extension()), "junk");
    write_file(f.dir / "machopref~.mxo", bytes_of(fixture("machoalias~")));
    EXPECT_NE(load_error("machopref~").find("not a shared library"), std::string::npos) << load_error("machopref~");
    // a name found nowhere: both forms named
    EXPECT_NE(load_error("machonowhere~").find("no machonowhere~.mxe64 or machonowhere~.mxo in the search path"), std::string::npos);
}

// ---- what the loader does not do is refused at load, in one line ----------------------------

// The offset of the first load command `cmd` in a thin 64-bit image, or 0.
std::size_t find_command(const std::vector<unsigned char> &img, std::uint32_t cmd) {
    std::uint32_t n, at = 32;
    std::memcpy(&n, img.data() + 16, 4);
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t c, size;
        std::memcpy(&c, img.data() + at, 4);
        std::memcpy(&size, img.data() + at + 4, 4);
        if (c == cmd) return at;
        at += size;
    }
    return 0;
}

TEST(MachoRefuse, WhatItNeedsAndTheHostHasNotIsNamed) {
    NEED_FIXTURES();
    Folder f("refuse");
    const std::string d = fs::canonical(f.dir).string();
    auto refusal = [&](const std::string &name, const fs::path &code) {
        make_bundle(f.dir, name, code, name);
        std::string e = load_error(name);
        std::string prefix = d + "/" + name + ".mxo/Contents/MacOS/" + name + ": cannot be loaded: ";
        EXPECT_EQ(e.compare(0, prefix.size(), prefix), 0) << e;
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
        return e.size() > prefix.size() ? e.substr(prefix.size()) : e;
    };
    EXPECT_EQ(refusal("machotls~", fixture("machotls~")),
              "it needs thread-local data (MH_HAS_TLV_DESCRIPTORS), which this host does not provide");
    EXPECT_EQ(refusal("machootherlib~", fixture("machootherlib~")),
              "it needs /usr/lib/libz.1.dylib, which this host does not provide (only libSystem and the Max API)");
    EXPECT_EQ(refusal("machonolibc~", fixture("machonolibc~")),
              "it needs mach_absolute_time from libSystem (/usr/lib/libSystem.B.dylib), which this host does not provide");
    EXPECT_EQ(refusal("machonomax~", fixture("machonomax~")), "it calls jbox_redraw, which this host does not implement");

    // the probe's own code with its fixup information turned into chained fixups, and with a
    // section of thread-local variables
    auto img = bytes_of(probe_slice());
    std::size_t info = find_command(img, 0x80000022);
    ASSERT_NE(info, 0u);
    auto chained = img;
    std::uint32_t lc_chained = 0x80000034;
    std::memcpy(chained.data() + info, &lc_chained, 4);
    write_file(f.dir / "chained.x86_64", chained);
    EXPECT_EQ(refusal("machochained~", f.dir / "chained.x86_64"),
              "it needs chained fixups (LC_DYLD_CHAINED_FIXUPS), which this host does not apply (link it with -no_fixup_chains)");
    auto unknown = img;
    std::uint32_t lc_new = 0x80000099;
    std::memcpy(unknown.data() + info, &lc_new, 4);
    write_file(f.dir / "unknown.x86_64", unknown);
    EXPECT_EQ(refusal("machounknown~", f.dir / "unknown.x86_64"), "it needs load command 0x80000099, which this host does not know");
    // no export trie: no entry routine, and the mapped module is closed again
    auto noexports = img;
    std::memset(noexports.data() + info + 44, 0, 4);  // export_size
    make_bundle(f.dir, "machonoentry~", f.dir / "unknown.x86_64", "machonoentry~");
    write_file(f.dir / "machonoentry~.mxo" / "Contents" / "MacOS" / "machonoentry~", noexports);
    EXPECT_EQ(load_error("machonoentry~"),
              d + "/machonoentry~.mxo/Contents/MacOS/machonoentry~: no entry routine (exports neither ext_main nor main)");
}

// ---- corrupted copies: refused, never a crash -------------------------------------------------

struct Ranges {
    std::size_t commands_end = 0;
    std::vector<std::pair<std::size_t, std::size_t>> opcodes;  // rebase, bind, weak, lazy, export
};
Ranges ranges_of(const std::vector<unsigned char> &img) {
    Ranges r;
    std::uint32_t sizeofcmds;
    std::memcpy(&sizeofcmds, img.data() + 20, 4);
    r.commands_end = 32 + sizeofcmds;
    if (std::size_t at = find_command(img, 0x80000022))
        for (int k = 0; k < 5; ++k) {
            std::uint32_t off, size;
            std::memcpy(&off, img.data() + at + 8 + 8 * k, 4);
            std::memcpy(&size, img.data() + at + 12 + 8 * k, 4);
            if (size) r.opcodes.push_back({off, size});
        }
    return r;
}

// Opens the bytes; a module that results is closed again without running.
bool opens(const std::vector<unsigned char> &b, std::string &why) {
    why.clear();
    tk::detail::MachoModule *m = tk::detail::open_macho_image(b.data(), b.size(), "corrupt", why);
    if (m) tk::detail::close_macho(m);
    return m != nullptr;
}

// Where the code of this machine in a universal file ends (its offset plus size), else the file's size.
std::size_t host_slice_end(const std::vector<unsigned char> &img) {
    auto be32 = [&](std::size_t at) {
        return std::uint32_t(img[at]) << 24 | std::uint32_t(img[at + 1]) << 16 | std::uint32_t(img[at + 2]) << 8 | img[at + 3];
    };
    if (be32(0) != 0xcafebabe) return img.size();
    const std::uint32_t cpu = arm64_host ? 0x0100000c : 0x01000007;
    for (std::uint32_t i = 0; i < be32(4); ++i)
        if (be32(8 + 20 * i) == cpu) return be32(8 + 20 * i + 8) + std::size_t(be32(8 + 20 * i + 12));
    return 0;
}

TEST(MachoCorrupt, EveryTruncationOfTheCodeIsRefused) {
    NEED_FIXTURES();
    for (const std::string &file : {"machoprobe~." + host_arch, std::string("machoprobe~.universal")}) {
        auto img = bytes_of(fixture(file));
        std::string why;
        ASSERT_TRUE(opens(img, why)) << why;
        const std::size_t end = host_slice_end(img);
        ASSERT_GT(end, 4096u);
        int refused = 0, tried = 0;
        // every length up to the first page, then a prime stride (wider under emulation, where
        // the arm64 slice's 16 KB pages make the file several times longer)
        const std::size_t stride = TILDEKIT_EMULATED ? 251 : 61;
        for (std::size_t len = 0; len < end; len += len < 4096 ? 1 : stride) {
            std::vector<unsigned char> cut(img.begin(), img.begin() + std::ptrdiff_t(len));
            ++tried;
            if (!opens(cut, why)) {
                ++refused;
                EXPECT_FALSE(why.empty());
                EXPECT_EQ(why.find('\n'), std::string::npos) << why;
            }
        }
        EXPECT_EQ(refused, tried) << file << ": every cut-short copy lacks part of its last segment";
    }
}

TEST(MachoCorrupt, RandomMutationsOfHeadersCommandsAndOpcodesNeverCrash) {
    NEED_FIXTURES();
    const char *env_seed = std::getenv("TILDEKIT_MACHO_SEED");
    const char *env_n = std::getenv("TILDEKIT_MACHO_ITERATIONS");
    const std::uint64_t seed = env_seed ? std::strtoull(env_seed, nullptr, 0)
                                        : std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    const long iterations = env_n ? std::atol(env_n) : 4000;
    std::printf("mutation seed %llu, %ld iterations (TILDEKIT_MACHO_SEED, TILDEKIT_MACHO_ITERATIONS)\n",
                static_cast<unsigned long long>(seed), iterations);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 rng(seed);
    const auto thin = bytes_of(probe_slice());
    const auto fat = bytes_of(fixture("machoprobe~.universal"));
    const Ranges r = ranges_of(thin);
    ASSERT_EQ(r.opcodes.size(), 4u) << "rebase, bind, lazy bind and export information";
    long loaded = 0, refused = 0;
    for (long it = 0; it < iterations; ++it) {
        const bool use_fat = it % 8 == 7;
        auto img = use_fat ? fat : thin;
        auto pick = [&](std::size_t lo, std::size_t hi) { return lo + std::size_t(rng() % (hi - lo)); };
        int edits = 1 + int(rng() % 4);
        for (int k = 0; k < edits; ++k) {
            std::size_t at;
            switch (rng() % 4) {
            case 0: at = pick(0, use_fat ? 64 : 32); break;            // the (universal) header
            case 1: at = pick(32, r.commands_end); break;              // the load commands
            default: {                                                 // an opcode stream or the trie
                auto &o = r.opcodes[rng() % r.opcodes.size()];
                at = pick(o.first, o.first + o.second);
                if (use_fat) at = pick(0, img.size());
            }
            }
            if (rng() % 3 == 0)
                img[at] ^= std::uint8_t(1u << (rng() % 8));  // one bit
            else
                img[at] = std::uint8_t(rng());  // any byte: 0xff and 0x00 make extreme sizes and counts
        }
        std::string why;
        if (opens(img, why))
            ++loaded;
        else {
            ++refused;
            ASSERT_FALSE(why.empty());
            ASSERT_EQ(why.find('\n'), std::string::npos) << why;
        }
    }
    std::printf("%ld refused, %ld still loadable\n", refused, loaded);
    EXPECT_GT(refused, iterations / 4) << "the mutations reach the checks";
}

TEST(MachoCorrupt, ClosingGivesTheMemoryBack) {
    NEED_FIXTURES();
    auto img = bytes_of(probe_slice());
    auto mappings = [] {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        int n = 0;
        while (std::getline(maps, line)) ++n;
        return n;
    };
    std::string why;
    ASSERT_TRUE(opens(img, why)) << why;
    int before = mappings();
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(opens(img, why)) << why;
    EXPECT_LE(mappings(), before + 2);
}

// ---- variadic calls: on arm64 Apple passes every variadic argument in a stack slot -----------

// The bundle that calls each variadic function, universal, loaded once.
const tk::ClassInfo &variadic() {
    static Folder folder("variadic");
    static const tk::ClassInfo *info = [] {
        make_bundle(folder.dir, "machovar~", fixture("machovar~.universal"), "machovar~");
        tk::ConsoleCapture quiet;
        return &tk::load_class("machovar~");
    }();
    return *info;
}
#define NEED_VARIADIC()                                                                               \
    do {                                                                                              \
        NEED_FIXTURES();                                                                              \
        if (!fs::exists(fixture("machovar~.universal"))) GTEST_SKIP() << "no machovar~ fixture here"; \
    } while (0)

// the fixture's message: thirteen arguments of every kind (the long double one printed as %.2Lf)
const std::string kText = "i-7 l-1234567890123 ll9223372036854775807 u4000000000 xdeadbeefcafe cZ sstr f3.142 g1e-300 "
                          "e-2.50e+10 p0x1234 h-3 L2.25 w   42";

std::vector<std::string> posted(tk::Patch &p, tk::Box *b, const char *selector, std::vector<tk::ConsoleLine> *lines = nullptr) {
    tk::ConsoleCapture cap;
    p.send(b, selector);
    if (lines) *lines = cap.lines();
    return cap.texts();
}

TEST(MachoVariadic, TypeListsOfClassNewAndClassAddmethodArriveWhole) {
    NEED_VARIADIC();
    const tk::ClassInfo &c = variadic();
    EXPECT_EQ(c.arch, host_arch + " (Mach-O)");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    ASSERT_EQ(c.banner.size(), 1u);
    EXPECT_EQ(c.banner[0], "machovar~: 2 classes, ready");
    bool typed = false;
    for (auto &m : c.methods) {
        if (m.selector == "typed") {
            typed = true;
            EXPECT_EQ(m.types, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 1, 2, 3, 1}));
        } else if (m.selector == "dsp" || m.selector == "record") {
            EXPECT_EQ(m.types, std::vector<int>{9}) << m.selector;
        } else {
            EXPECT_TRUE(m.types.empty()) << m.selector;
        }
    }
    EXPECT_TRUE(typed);
    // class_new's first type is a fixed argument, the other eight variadic
    EXPECT_EQ(tk::load_class("machovarmade").creation_types, (std::vector<int>{5, 6, 7, 1, 2, 3, 5, 6, 7}));
}

TEST(MachoVariadic, EachConsoleFunctionFormatsEveryKindOfArgument) {
    NEED_VARIADIC();
    variadic();
    tk::Patch p;
    tk::Box *b = p.create("machovar~", {});
    ASSERT_NE(b, nullptr);
    std::vector<tk::ConsoleLine> lines;
    posted(p, b, "posts", &lines);
    ASSERT_EQ(lines.size(), 6u);
    const struct {
        tk::ConsoleLine::Kind kind;
        const char *object, *prefix;
    } want[] = {{tk::ConsoleLine::Post, "machovar~", ""},          // object_post
                {tk::ConsoleLine::Error, "machovar~", ""},         // object_error
                {tk::ConsoleLine::Post, "machovar~", "warning: "}, // object_warn
                {tk::ConsoleLine::Post, "", ""},                   // post
                {tk::ConsoleLine::Error, "", ""},                  // error
                {tk::ConsoleLine::Post, "", ""}};                  // cpost
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(lines[i].kind, want[i].kind) << i;
        EXPECT_EQ(lines[i].object, want[i].object) << i;
        EXPECT_EQ(lines[i].text, want[i].prefix + kText) << i;
    }
}

TEST(MachoVariadic, TheCLibrarysFormatsAndScansReadEverySlot) {
    NEED_VARIADIC();
    variadic();
    tk::Patch p;
    tk::Box *b = p.create("machovar~", {});
    ASSERT_NE(b, nullptr);
    // sprintf, snprintf into 20 bytes, vsnprintf through the bundle's own va_list, snprintf_zero
    // into 20 bytes, then the four lengths
    const std::string cut = kText.substr(0, 19), n = std::to_string(kText.size());
    EXPECT_EQ(posted(p, b, "print"), (std::vector<std::string>{kText, cut, kText, cut, n + " " + n + " " + n + " " + n}));
    // sscanf: int, double, string, hex, long double, char, long
    EXPECT_EQ(posted(p, b, "scan"), std::vector<std::string>{"7: 12 -3.5 abc 31 2500 -77 -9876543210"});
}

TEST(MachoVariadic, ObjectMethodAndObjectNewPassTheirWords) {
    NEED_VARIADIC();
    variadic();
    tk::Patch p;
    tk::Box *b = p.create("machovar~", {});
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(posted(p, b, "call"), std::vector<std::string>{"seen 0x1 0xfffffffffffffffe 0x123456789abcdef0 self"});
    EXPECT_EQ(posted(p, b, "make"), std::vector<std::string>{"made 1 -2 3 9223372036854775807 5 -6 7 8"});
}

TEST(MachoVariadic, DspAddPassesElevenWordsToTheLegacyPerformRoutine) {
    NEED_VARIADIC();
    variadic();
    std::vector<double> in(300);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = double(int(i % 17) - 8) * 0.125;
    for (int vs : {1, 64, 4096}) {
        tk::Patch p(44100.0, vs);
        p.set_legacy(true);
        tk::Box *b = p.create("machovar~", {});
        ASSERT_NE(b, nullptr);
        auto out = p.process(b, {in}, std::int64_t(in.size()));
        ASSERT_EQ(out.size(), 1u);
        ASSERT_GE(out[0].size(), in.size());
        // each word wrong would add 1000 times its position
        for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[0][i], in[i]) << "vector size " << vs << ", sample " << i;
    }
}

TEST(MachoVariadic, LongDoubleFunctionsComputeWhatTheCallerAsks) {
    NEED_VARIADIC();
    variadic();
    tk::Patch p;
    tk::Box *b = p.create("machovar~", {});
    ASSERT_NE(b, nullptr);
    // sqrtl and strtold: on arm64 the double forms, whose results the caller takes as its long double
    EXPECT_EQ(posted(p, b, "ldouble"), std::vector<std::string>{"1.4142135623730951 125 1.414"});
}

TEST(MachoArm64, AVariadicCFunctionWithoutAnEntryIsRefused) {
    NEED_FIXTURES();
    if (!arm64_host) GTEST_SKIP() << "on x86_64 every variadic function is bound as it is";
    std::string why;
    auto img = bytes_of(fixture("machovarlog~"));
    EXPECT_FALSE(opens(img, why));
    EXPECT_EQ(why, "it needs syslog from libSystem (/usr/lib/libSystem.B.dylib), which this host does not provide");
}

TEST(MachoArm64, PointerAuthenticationCodeIsRefused) {
    NEED_FIXTURES();
    if (!arm64_host) GTEST_SKIP() << "arm64 code runs only on an AArch64 host";
    auto img = bytes_of(fixture("machoprobe~.arm64"));
    const std::uint32_t arm64e = 2;
    std::memcpy(img.data() + 8, &arm64e, 4);  // the header's CPU subtype
    std::string why;
    EXPECT_FALSE(opens(img, why));
    EXPECT_EQ(why, "it has only arm64e code (pointer authentication), which this host does not run");
    // in a universal file: the arm64 slice is taken, an arm64e one alone is refused the same way
    auto fat = bytes_of(fixture("machoprobe~.universal"));
    ASSERT_TRUE(opens(fat, why)) << why;
    for (std::size_t e = 8; e + 20 <= 8 + 2 * 20; e += 20)
        if (fat[e + 3] == 0x0c) fat[e + 7] = 2;  // big-endian subtype of the arm64 entry
    EXPECT_FALSE(opens(fat, why));
    EXPECT_EQ(why, "it has only arm64e code (pointer authentication), which this host does not run");
}

// Apple's long double is double: a floating conversion with L reads an 8-byte slot, so glibc is
// given the conversion without it (printf) or with l (scanf); everything else stays as it is.
TEST(MachoArm64, LongDoubleConversionsAreTheDoubleOnes) {
    using tk::detail::apple_arm64_format;
    std::string buf;
    EXPECT_STREQ(apple_arm64_format("%Lf|%-+5.2Lg|%1$*2$.3Le|%LA|%%Lf|%Ld|L%s", false, buf), "%f|%-+5.2g|%1$*2$.3e|%A|%%Lf|%Ld|L%s");
    EXPECT_STREQ(apple_arm64_format("%Lf %[^L]%Lg %*Le %3Lc", true, buf), "%lf %[^L]%lg %*le %3Lc");
    EXPECT_STREQ(apple_arm64_format("%[]L]%Lf", true, buf), "%[]L]%lf");  // a set may begin with ]
    const char *plain = "%ld %s L";
    EXPECT_EQ(apple_arm64_format(plain, false, buf), plain);  // nothing to change: the same text
    EXPECT_EQ(apple_arm64_format(nullptr, false, buf), nullptr);
}

}  // namespace
