// End-to-end tests of the tilde command: they run the built binary as a user would and
// read back what it writes. The command exists only in 64-bit builds; elsewhere they skip.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string tilde_binary = TILDEKIT_BINARY_DIR "/tools/tilde";

bool external_built(const std::string &name)
{
    return fs::exists(fs::path(TILDEKIT_MODULE_DIR) / (name + tk::module_extension()));
}

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// ---- running the command ----------------------------------------------------------

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Starts tilde in `cwd` with stdout / stderr to files; TILDEKIT_PATH is cleared unless given.
pid_t spawn(const std::vector<std::string> &args, const fs::path &cwd, const fs::path &out, const fs::path &err,
            const std::vector<std::pair<std::string, std::string>> &env)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(cwd.c_str()) != 0)
        _exit(127);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    unsetenv("TILDEKIT_PATH");
    for (const auto &[k, v] : env)
        setenv(k.c_str(), v.c_str(), 1);
    std::vector<char *> argv{const_cast<char *>(tilde_binary.c_str())};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(tilde_binary.c_str(), argv.data());
    _exit(127);
}

int wait_status(pid_t pid)
{
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

// ---- WAV files, read and written without libsndfile so the check is independent --------

struct Wav {
    int format = 0;  // 1 integer PCM, 3 IEEE float
    int channels = 0, bits = 0;
    double rate = 0;
    std::vector<std::vector<double>> ch;
    std::size_t frames() const { return ch.empty() ? 0 : ch[0].size(); }
};

std::uint32_t le(const std::string &s, std::size_t at, int bytes)
{
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | std::uint8_t(s[at + std::size_t(i)]);
    return v;
}

Wav read_wav(const fs::path &p)
{
    Wav w;
    std::string s = slurp(p);
    EXPECT_GE(s.size(), 12u) << p;
    if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) {
        ADD_FAILURE() << p << " is not a RIFF/WAVE file";
        return w;
    }
    std::string data;
    for (std::size_t at = 12; at + 8 <= s.size();) {
        std::string id = s.substr(at, 4);
        std::size_t size = le(s, at + 4, 4);
        std::size_t body = at + 8;
        if (id == "fmt ") {
            w.format = int(le(s, body, 2));
            w.channels = int(le(s, body + 2, 2));
            w.rate = le(s, body + 4, 4);
            w.bits = int(le(s, body + 14, 2));
            if (w.format == 0xFFFE)  // extensible: the sub-format's first two bytes
                w.format = int(le(s, body + 24, 2));
        } else if (id == "data") {
            data = s.substr(body, std::min(size, s.size() - body));
        }
        at = body + size + (size & 1);
    }
    if (w.channels <= 0 || w.bits <= 0) {
        ADD_FAILURE() << p << " has no usable fmt chunk";
        return w;
    }
    std::size_t bytes = std::size_t(w.bits / 8), frame = bytes * std::size_t(w.channels);
    std::size_t n = data.size() / frame;
    w.ch.assign(std::size_t(w.channels), std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < w.channels; ++c) {
            const char *q = data.data() + i * frame + std::size_t(c) * bytes;
            double v = 0;
            if (w.format == 3 && bytes == 8) {
                std::memcpy(&v, q, 8);
            } else if (w.format == 3 && bytes == 4) {
                float f;
                std::memcpy(&f, q, 4);
                v = f;
            } else if (w.format == 1 && bytes == 2) {
                v = std::int16_t(le(data, i * frame + std::size_t(c) * 2, 2)) / 32768.0;
            } else if (w.format == 1 && bytes == 3) {
                std::int32_t x = std::int32_t(le(data, i * frame + std::size_t(c) * 3, 3) << 8) >> 8;
                v = x / 8388608.0;
            }
            w.ch[std::size_t(c)][i] = v;
        }
    return w;
}

// Writes 64-bit float WAV, channels given as equal-length vectors.
void write_wav(const fs::path &p, const std::vector<std::vector<double>> &ch, std::uint32_t rate)
{
    auto put = [](std::string &s, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            s.push_back(char((v >> (8 * i)) & 0xFF));
    };
    std::uint32_t channels = std::uint32_t(ch.size()), frames = std::uint32_t(ch[0].size());
    std::uint32_t data_bytes = frames * channels * 8;
    std::string s = "RIFF";
    put(s, 36 + data_bytes, 4);
    s += "WAVEfmt ";
    put(s, 16, 4);
    put(s, 3, 2);
    put(s, channels, 2);
    put(s, rate, 4);
    put(s, rate * channels * 8, 4);
    put(s, channels * 8, 2);
    put(s, 64, 2);
    s += "data";
    put(s, data_bytes, 4);
    for (std::uint32_t i = 0; i < frames; ++i)
        for (const auto &c : ch)
            s.append(reinterpret_cast<const char *>(&c[i]), 8);
    std::ofstream(p, std::ios::binary) << s;
}

// ---- fixture ---------------------------------------------------------------------------

class Tilde : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(tilde_binary))
            GTEST_SKIP() << "the tilde command is built in 64-bit builds only (" << tkt::width_name() << " here)";
        char tmpl[] = "/tmp/tilde_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        work_ = root_ / "work";
        fs::create_directories(work_);
    }
    void TearDown() override
    {
        if (!root_.empty())
            fs::remove_all(root_);
    }

    Result run(const std::vector<std::string> &args, const std::vector<std::pair<std::string, std::string>> &env = {})
    {
        pid_t pid = spawn(args, work_, root_ / "stdout", root_ / "stderr", env);
        Result r;
        r.status = wait_status(pid);
        r.out = slurp(root_ / "stdout");
        r.err = slurp(root_ / "stderr");
        return r;
    }

    // Names of the files in the working folder (temporary ones included).
    std::set<std::string> files() const
    {
        std::set<std::string> names;
        for (const auto &e : fs::directory_iterator(work_))
            names.insert(e.path().filename().string());
        return names;
    }

    fs::path root_, work_;
};

std::string describe(const Result &r) { return "status " + std::to_string(r.status) + "\nstderr:\n" + r.err + "stdout:\n" + r.out; }

const char *const recur_inlet0 =
    "(signal) Input to be filtered(clear) Clear internal state to zero(set) set internal state";
const char *const recur_inlet1 = "(signal/float) Filter coefficient";
const char *const recur_outlet = "(signal) Filtered signal";

// ---- help, version -------------------------------------------------------------------

TEST_F(Tilde, HelpVersionAndMissingCommand)
{
    Result help = run({"--help"});
    EXPECT_EQ(help.status, 0) << describe(help);
    for (const char *word : {"info", "render", "demo", "Exit status"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word << " missing from --help:\n" << help.out;

    Result render_help = run({"render", "--help"});
    EXPECT_EQ(render_help.status, 0) << describe(render_help);
    for (const char *word : {"--signal", "sweep:F1:F2", "--events", "--legacy", "@512s"})
        EXPECT_NE(render_help.out.find(word), std::string::npos) << word << " missing from render --help";

    Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("tilde ", 0), 0u) << version.out;

    EXPECT_EQ(run({}).status, 2);
    EXPECT_EQ(run({"frobnicate"}).status, 2);
}

// ---- info ------------------------------------------------------------------------------

TEST_F(Tilde, InfoOfRecurListsAssistMethodsAndBanner)
{
    Result r = run({"info", "recur~"});
    ASSERT_EQ(r.status, 0) << describe(r);
    for (const char *text : {recur_inlet0, recur_inlet1, recur_outlet, "recur~.mxe64 (64-bit)", "A_GIMME"})
        EXPECT_NE(r.out.find(text), std::string::npos) << "'" << text << "' missing from:\n" << r.out;
    EXPECT_NE(r.out.find(std::string(74, '-')), std::string::npos) << "banner rule missing:\n" << r.out;
    // Methods appear in registration order.
    std::size_t at = r.out.find("methods");
    for (const char *sel : {"dsp64", "dsp ", "float", "int", "set", "clear", "assist"}) {
        std::size_t next = r.out.find(sel, at);
        ASSERT_NE(next, std::string::npos) << sel << " missing or out of order:\n" << r.out;
        at = next;
    }
    EXPECT_TRUE(r.err.empty()) << "the banner belongs in the report, not on stderr:\n" << r.err;

    Result j = run({"info", "recur~", "--json"});
    ASSERT_EQ(j.status, 0) << describe(j);
    auto doc = nlohmann::json::parse(j.out);
    EXPECT_EQ(doc["name"], "recur~");
    EXPECT_EQ(doc["entry"], "main");
    EXPECT_EQ(doc["width"], 64);
    EXPECT_EQ(doc["creation_types"], nlohmann::json::array({"A_GIMME"}));
    std::vector<std::string> selectors;
    for (const auto &m : doc["methods"])
        selectors.push_back(m["selector"]);
    EXPECT_EQ(selectors, (std::vector<std::string>{"dsp64", "dsp", "float", "int", "set", "clear", "assist"}));
    EXPECT_EQ(doc["methods"][4]["types"], nlohmann::json::array({"A_DEFFLOAT"}));
    EXPECT_EQ(doc["methods"][5]["types"], nlohmann::json::array());
    const auto &inst = doc["instance"];
    EXPECT_EQ(inst["signal_inlets"], 2);
    EXPECT_EQ(inst["signal_outlets"], 1);
    EXPECT_EQ(inst["control_outlets"], 0);
    EXPECT_EQ(inst["no_inplace"], false);
    EXPECT_EQ(inst["assist"]["inlets"], nlohmann::json::array({recur_inlet0, recur_inlet1}));
    EXPECT_EQ(inst["assist"]["outlets"], nlohmann::json::array({recur_outlet}));
    ASSERT_EQ(doc["banner"].size(), 3u);
    EXPECT_EQ(doc["banner"][0], std::string(74, '-'));
}

TEST_F(Tilde, SearchOrderIsPathThenEnvironmentThenBuild)
{
    fs::path a = root_ / "a", b = root_ / "b";
    fs::create_directories(a);
    fs::create_directories(b);
    std::string file = std::string("recur~") + tk::module_extension();
    fs::copy_file(fs::path(TILDEKIT_MODULE_DIR) / file, a / file);
    fs::copy_file(fs::path(TILDEKIT_MODULE_DIR) / file, b / file);

    auto loaded_from = [&](const Result &r) {
        EXPECT_EQ(r.status, 0) << describe(r);
        return r.status == 0 ? fs::path(std::string(nlohmann::json::parse(r.out)["file"])).parent_path() : fs::path();
    };
    EXPECT_EQ(fs::canonical(loaded_from(run({"info", "--json", "recur~"}))), fs::canonical(TILDEKIT_MODULE_DIR));
    EXPECT_EQ(loaded_from(run({"info", "--json", "recur~"}, {{"TILDEKIT_PATH", "/nonexistent:" + b.string()}})), b);
    EXPECT_EQ(loaded_from(run({"--path", a.string(), "info", "--json", "recur~"}, {{"TILDEKIT_PATH", b.string()}})), a);

    Result bad = run({"--path", (root_ / "nowhere").string(), "info", "recur~"});
    EXPECT_EQ(bad.status, 2) << describe(bad);
    EXPECT_NE(bad.err.find("nowhere"), std::string::npos) << bad.err;
}

// ---- render ----------------------------------------------------------------------------

TEST_F(Tilde, RecurImpulseResponseHalvesEachSample)
{
    Result r = run({"render", "recur~", "0.5", "--signal", "0=impulse", "--samples", "8", "--out", "x.wav", "--format", "double"});
    ASSERT_EQ(r.status, 0) << describe(r);
    Wav w = read_wav(work_ / "x.wav");
    EXPECT_EQ(w.format, 3);
    EXPECT_EQ(w.bits, 64);
    EXPECT_EQ(w.channels, 1);
    EXPECT_EQ(w.rate, 48000);
    ASSERT_EQ(w.frames(), 8u);
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(w.ch[0][i], std::ldexp(1.0, -int(i))) << "sample " << i;
    EXPECT_EQ(files(), (std::set<std::string>{"x.wav"}));
}

TEST_F(Tilde, RecurOnAFileFollowsTheDifferenceEquation)
{
    // Noise from a file at 44.1 kHz, an odd block size and a length that is not a whole
    // number of blocks: the output keeps the file's rate and length, and the state runs
    // on across every block boundary.
    const double a = 0.9;
    std::vector<double> x = tkt::noise(1000, 0.5, 7);
    write_wav(work_ / "in.wav", {x}, 44100);
    Result r = run({"render", "recur~", "0.9", "--in", "in.wav", "--block", "37", "--out", "y.wav", "--format", "double"});
    ASSERT_EQ(r.status, 0) << describe(r);
    Wav w = read_wav(work_ / "y.wav");
    EXPECT_EQ(w.rate, 44100);
    ASSERT_EQ(w.frames(), x.size());
    double y = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        y = y * a + x[i];
        ASSERT_EQ(w.ch[0][i], y) << "sample " << i;
    }

    // The legacy path computes in single precision.
    Result legacy = run({"render", "recur~", "0.9", "--in", "in.wav", "--legacy", "--out", "z.wav", "--format", "double"});
    ASSERT_EQ(legacy.status, 0) << describe(legacy);
    Wav z = read_wav(work_ / "z.wav");
    ASSERT_EQ(z.frames(), x.size());
    float yf = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        yf = yf * float(a) + float(x[i]);
        ASSERT_NEAR(z.ch[0][i], yf, 1e-6) << "legacy sample " << i;  // float rounding only
    }

    // Integer formats clip rather than wrap: a DC of 2 through a = 0 is full scale.
    Result pcm = run({"render", "recur~", "--signal", "0=dc:2", "--samples", "16", "--out", "p.wav", "--format", "pcm16"});
    ASSERT_EQ(pcm.status, 0) << describe(pcm);
    Wav p = read_wav(work_ / "p.wav");
    EXPECT_EQ(p.format, 1);
    EXPECT_EQ(p.bits, 16);
    ASSERT_EQ(p.frames(), 16u);
    EXPECT_NEAR(p.ch[0][15], 32767.0 / 32768.0, 1e-12);
}

TEST_F(Tilde, TimedMessagesLandAtTheFirstBlockBoundaryAtOrAfterTheirTime)
{
    // recur~ with a = 1 and silence holds its state, so the output shows when each `set`
    // arrived. @100s falls inside a block; @0.004 is sample 192 at 48 kHz. Given out of
    // time order on purpose.
    struct Case {
        int block;
        std::size_t one_from, two_from;
    };
    for (Case c : {Case{64, 128, 192}, Case{48, 144, 192}, Case{100, 100, 200}}) {
        Result r = run({"render", "recur~", "--signal", "0=silence", "-m", "1:1", "-m", "@0.004 set 2", "-m", "@100s set 1",
                        "-m", "@256s set 9", "--block", std::to_string(c.block), "--samples", "256", "--sr", "48000",
                        "--out", "t.wav", "--format", "double"});
        ASSERT_EQ(r.status, 0) << describe(r);
        Wav w = read_wav(work_ / "t.wav");
        ASSERT_EQ(w.frames(), 256u);
        for (std::size_t i = 0; i < 256; ++i) {
            double want = i < c.one_from ? 0.0 : i < c.two_from ? 1.0 : 2.0;
            ASSERT_EQ(w.ch[0][i], want) << "block " << c.block << ", sample " << i;
        }
        // A message at or after the end is reported as not sent.
        EXPECT_NE(r.err.find("@256s set 9"), std::string::npos) << r.err;
    }
}

// Rows of an events CSV: sample, time_ms, outlet, kind, value.
struct Row {
    long long sample;
    double ms;
    int outlet;
    std::string kind, value;
};
std::vector<Row> parse_events(const std::string &csv)
{
    std::vector<Row> rows;
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "sample,time_ms,outlet,kind,value");
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ls(line);
        std::string field;
        while (std::getline(ls, field, ','))
            f.push_back(field);
        if (f.size() == 4)
            f.push_back("");
        if (f.size() != 5) {
            ADD_FAILURE() << "bad row: " << line;
            continue;
        }
        rows.push_back({std::stoll(f[0]), std::stod(f[1]), std::stoi(f[2]), f[3], f[4]});
    }
    return rows;
}

TEST_F(Tilde, EventsOfARouterGoToCsvOrStdout)
{
    if (!external_built("cutroute"))
        GTEST_SKIP() << "cutroute is not built";
    std::vector<std::string> args{"render", "cutroute", "10", "-m", "3", "-m", "10", "-m", "12.5", "-m", "@64s 1:20",
                                  "--samples", "128"};
    auto with_file = args;
    with_file.insert(with_file.end(), {"--events", "ev.csv"});
    Result r = run(with_file);
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(r.out.empty()) << r.out;
    auto rows = parse_events(slurp(work_ / "ev.csv"));
    ASSERT_EQ(rows.size(), 4u);
    struct Want {
        long long sample;
        int outlet;
        double value;
    };
    // Below the threshold left, at or above right; a new threshold of 20 re-sends 12.5 left.
    const Want want[] = {{0, 0, 3}, {0, 1, 10}, {0, 1, 12.5}, {64, 0, 12.5}};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].sample, want[i].sample) << "row " << i;
        EXPECT_NEAR(rows[i].ms, double(rows[i].sample) / 48.0, 1e-9) << "row " << i;
        EXPECT_EQ(rows[i].outlet, want[i].outlet) << "row " << i;
        EXPECT_EQ(rows[i].kind, "float") << "row " << i;
        EXPECT_EQ(std::stod(rows[i].value), want[i].value) << "row " << i;
    }

    Result to_stdout = run(args);
    ASSERT_EQ(to_stdout.status, 0) << describe(to_stdout);
    EXPECT_EQ(to_stdout.out, slurp(work_ / "ev.csv"));
    // A router has no signal outlet to write.
    auto with_out = args;
    with_out.insert(with_out.end(), {"--out", "r.wav"});
    EXPECT_EQ(run(with_out).status, 2);
    EXPECT_EQ(files(), (std::set<std::string>{"ev.csv"}));
}

TEST_F(Tilde, EventsOfALevelMeterComeOncePerPeriod)
{
    if (!external_built("levelmeter~"))
        GTEST_SKIP() << "levelmeter~ is not built";
    // Defaults: window 1024, period 512; a constant 1 reads 100 once a whole window has passed.
    Result r = run({"render", "levelmeter~", "--signal", "0=dc:1", "--samples", "4096", "--events", "lv.csv"});
    ASSERT_EQ(r.status, 0) << describe(r);
    auto rows = parse_events(slurp(work_ / "lv.csv"));
    ASSERT_EQ(rows.size(), 8u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].sample - rows[i - 1].sample, 512) << "row " << i;
        EXPECT_EQ(rows[i].kind, "float");
    }
    EXPECT_LT(std::stod(rows[0].value), 100.0);
    EXPECT_NEAR(std::stod(rows.back().value), 100.0, 1e-9);
}

// ---- bad input -------------------------------------------------------------------------

TEST_F(Tilde, BadInputExitsTwoNamingTheProblemAndLeavesNoFile)
{
    write_wav(work_ / "three.wav", {{0, 0}, {0, 0}, {0, 0}}, 48000);
    std::ofstream(work_ / "notes.txt") << "not a sound file\n";
    const std::set<std::string> inputs{"three.wav", "notes.txt"};
    struct Case {
        std::vector<std::string> extra;  // after "render recur~ --out o.wav"
        std::string fragment;            // expected in the error line
    };
    const Case cases[] = {
        {{"--in", "missing.wav"}, "missing.wav"},
        {{"--in", "notes.txt"}, "notes.txt"},
        {{"--in", "three.wav"}, "3 channels"},
        {{"-m", "@soon set 1"}, "@soon"},
        {{"-m", "x:set 1"}, "'x'"},
        {{"-m", "@5s"}, "no selector"},
        {{"-m", "5:1"}, "no inlet 5"},
        {{"-m", "frobnicate 1"}, "frobnicate"},
        {{"--signal", "0=sine"}, "sine:F"},
        {{"--signal", "0=wobble"}, "wobble"},
        {{"--signal", "0=noise:1:x"}, "seed"},
        {{"--signal", "zero=impulse"}, "zero"},
        {{"--signal", "2=impulse"}, "no signal inlet 2"},
        {{"--signal", "0=impulse", "--signal", "0=step"}, "twice"},
        {{"--format", "double", "--block", "0"}, "block"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"render", "recur~", "--out", "o.wav"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Result r = run(args);
        std::string what = c.extra[0] + " " + c.extra[1];
        EXPECT_EQ(r.status, 2) << what << "\n" << describe(r);
        EXPECT_NE(r.err.find(c.fragment), std::string::npos) << what << ": stderr lacks '" << c.fragment << "':\n" << r.err;
        EXPECT_EQ(files(), inputs) << what << " left a file behind";
    }

    Result unknown = run({"render", "nosuch~", "--signal", "0=impulse", "--out", "o.wav"});
    EXPECT_EQ(unknown.status, 2) << describe(unknown);
    EXPECT_NE(unknown.err.find("nosuch~"), std::string::npos) << unknown.err;
    EXPECT_EQ(run({"info", "nosuch~"}).status, 2);
    EXPECT_EQ(run({"render", "recur~", "--out", (root_ / "no" / "such" / "o.wav").string()}).status, 2);
    EXPECT_EQ(run({"render", "recur~", "--out", "o.xyz"}).status, 2);
    EXPECT_EQ(files(), inputs);
}

TEST_F(Tilde, RefusedCreationExitsOneWithTheExternalsOwnError)
{
    // Externals that allocate at creation refuse the box when the host allocator fails.
    struct Candidate {
        const char *name, *args, *limit;
    };
    const Candidate candidates[] = {{"levelmeter~", "100000", "65536"}, {"brickwall~", "", "1024"}, {"stereoplace~", "", "8"}};
    for (const auto &c : candidates) {
        if (!external_built(c.name))
            continue;
        std::vector<std::string> args{"render", c.name};
        if (*c.args)
            args.push_back(c.args);
        args.insert(args.end(), {"--fail-allocations-above", c.limit, "--out", "o.wav"});
        Result r = run(args);
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_NE(r.err.find(std::string(c.name) + ": error:"), std::string::npos) << r.err;
        EXPECT_TRUE(files().empty());
        return;
    }
    GTEST_SKIP() << "none of levelmeter~, brickwall~, stereoplace~ is built";
}

TEST_F(Tilde, InterruptedRenderLeavesNoFile)
{
    pid_t pid = spawn({"render", "recur~", "0.5", "--signal", "0=noise", "--seconds", "100000", "--out", "long.wav",
                       "--events", "long.csv"},
                      work_, root_ / "stdout", root_ / "stderr", {});
    // Wait until the render is under way (its temporary file exists), then interrupt it.
    for (int i = 0; i < 200 && files().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(files().empty()) << "no temporary output appeared";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(pid, SIGINT);
    EXPECT_EQ(wait_status(pid), 128 + SIGINT) << slurp(root_ / "stderr");
    EXPECT_TRUE(files().empty()) << *files().begin();
}

// ---- demo ------------------------------------------------------------------------------

TEST_F(Tilde, DemoWritesAStereoFileAndNamesWhatIsMissing)
{
    Result r = run({"demo", "--seconds", "1"});
    ASSERT_EQ(r.status, 0) << describe(r);
    Wav w = read_wav(work_ / "demo.wav");
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.rate, 48000);
    ASSERT_EQ(w.frames(), 48000u);
    double peak = 0;
    for (const auto &c : w.ch)
        for (double v : c)
            peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 0.01) << "the demo is silent";
    std::string missing_line;
    if (std::size_t at = r.out.find("missing:"); at != std::string::npos)
        missing_line = r.out.substr(at, r.out.find('\n', at) - at);
    for (const char *name : {"bowedstring~", "stereoplace~", "stereosquash~", "brickwall~", "levelmeter~"})
        EXPECT_EQ(missing_line.find(name) != std::string::npos, !external_built(name)) << name << "\n" << r.out;
    EXPECT_EQ(files(), (std::set<std::string>{"demo.wav"}));
}

}  // namespace
