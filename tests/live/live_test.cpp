// `tilde run --live` and `tilde render --live` against a real JACK server: a dummy-backend
// server started here under a private name (never a user's server) and stopped by its process
// id, the command playing on it, and a JACK client of this program recording what it plays.
#include <fcntl.h>
#include <pty.h>
#include <jack/jack.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

const std::string tilde_binary = TILDEKIT_BINARY_DIR "/tools/tilde";
const fs::path help_dir = fs::path(TILDEKIT_SOURCE_DIR) / "help";

std::optional<std::string> find_program(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream ss(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(ss, dir, ':'))
        if (!dir.empty() && access((fs::path(dir) / name).c_str(), X_OK) == 0)
            return (fs::path(dir) / name).string();
    return std::nullopt;
}

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<fs::path> &made_dirs()
{
    static std::vector<fs::path> dirs;
    return dirs;
}

// The folders of the tests are removed at the end when everything passed (kept to look at otherwise).
struct RemoveFolders : ::testing::Environment {
    void TearDown() override
    {
        if (::testing::UnitTest::GetInstance()->Passed())
            for (const auto &d : made_dirs()) {
                std::error_code ec;
                fs::remove_all(d, ec);
            }
    }
};
const auto *remove_folders = ::testing::AddGlobalTestEnvironment(new RemoveFolders);

fs::path fresh_dir(const std::string &name)
{
    fs::path d = fs::temp_directory_path() / ("tildekit-live-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(d);
    fs::create_directories(d);
    made_dirs().push_back(d);
    return d;
}

// A child process with stdout and stderr in files of `dir`.
pid_t spawn(const std::vector<std::string> &argv, const fs::path &dir, const std::string &log, const std::string &server)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int o = open((dir / (log + ".out")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open((dir / (log + ".err")).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
        setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Exit status of a child, or nullopt when it is still running after `timeout`.
std::optional<int> wait_for(pid_t pid, std::chrono::milliseconds timeout)
{
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (std::chrono::steady_clock::now() > until)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

struct Result {
    int status = -1;
    std::string err;
};

Result run_tilde(const std::vector<std::string> &args, const fs::path &dir, const std::string &server,
                 std::chrono::milliseconds timeout = 60s)
{
    std::vector<std::string> argv{tilde_binary};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = spawn(argv, dir, "tilde", server);
    auto st = wait_for(pid, timeout);
    if (!st) {
        kill(pid, SIGKILL);
        wait_for(pid, 5s);
    }
    return {st ? *st : -1, slurp(dir / "tilde.err")};
}

// A dummy JACK server under a private name, stopped by its process id. JACK keeps its servers
// in a registry of eight slots and frees the slot of a server that died without unregistering
// (the test that kills one, a crashed run) only when a server of the same name registers, so the
// names repeat from run to run (the live tests run one at a time) instead of carrying a process
// id: unique names fill the registry after eight killed servers and no server starts after that.
class Server {
public:
    explicit Server(int period, int rate = 48000)
    {
        static int count = 0;
        name_ = "tildekit-test-" + std::to_string(++count);
        dir_ = fresh_dir(name_);
        pid_ = spawn({*find_program("jackd"), "-n", name_, "-d", "dummy", "-r", std::to_string(rate), "-p", std::to_string(period)},
                     dir_, "jackd", name_);
        for (int i = 0; i < 500 && !ready_; ++i) {
            jack_status_t st{};
            if (jack_client_t *c = jack_client_open("probe", JackOptions(JackNoStartServer | JackServerName), &st, name_.c_str())) {
                jack_client_close(c);
                ready_ = true;
                break;
            }
            if (wait_for(pid_, 0ms))
                break;
            std::this_thread::sleep_for(10ms);
        }
    }
    ~Server() { stop(SIGTERM); }
    void stop(int sig)
    {
        if (pid_ > 0) {
            kill(pid_, sig);
            if (!wait_for(pid_, 5s)) {
                kill(pid_, SIGKILL);
                wait_for(pid_, 5s);
            }
            pid_ = -1;
            remove_leftovers();
        }
    }
    bool ready() const { return ready_; }
    const std::string &name() const { return name_; }
    std::string log() const { return slurp(dir_ / "jackd.err") + slurp(dir_ / "jackd.out"); }

private:
    // A server that was killed leaves its semaphores and sockets behind.
    void remove_leftovers()
    {
        std::error_code ec;
        for (const fs::path &base : {fs::path("/dev/shm"), fs::path("/dev/shm") / ("jack-" + std::to_string(getuid()))})
            for (auto it = fs::directory_iterator(base, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
                if (it->path().filename().string().find(name_) != std::string::npos)
                    fs::remove_all(it->path(), ec);
        fs::remove_all(dir_, ec);
    }
    std::string name_;
    fs::path dir_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A JACK client that records its input ports from activation on, into preallocated memory.
class Recorder {
public:
    Recorder(const std::string &server, const std::string &name, int channels, double seconds)
    {
        jack_status_t st{};
        client_ = jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackServerName | JackUseExactName), &st, server.c_str());
        if (!client_)
            return;
        capacity_ = std::size_t(seconds * jack_get_sample_rate(client_));
        for (int c = 0; c < channels; ++c) {
            ports_.push_back(jack_port_register(client_, ("in_" + std::to_string(c + 1)).c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0));
            data_.emplace_back(capacity_, 0.0f);
        }
        jack_set_process_callback(client_, process, this);
        jack_activate(client_);
    }
    ~Recorder() { stop(); }
    bool ok() const { return client_ != nullptr; }
    void stop()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    // Channel c of what was recorded.
    std::vector<float> channel(int c) const
    {
        return std::vector<float>(data_[std::size_t(c)].begin(), data_[std::size_t(c)].begin() + std::ptrdiff_t(frames_.load()));
    }

private:
    static int process(jack_nframes_t n, void *arg)
    {
        auto *r = static_cast<Recorder *>(arg);
        std::size_t at = r->frames_.load(std::memory_order_relaxed);
        std::size_t m = std::min<std::size_t>(n, r->capacity_ - at);
        for (std::size_t c = 0; c < r->ports_.size(); ++c) {
            const float *in = static_cast<const float *>(jack_port_get_buffer(r->ports_[c], n));
            std::copy(in, in + m, r->data_[c].begin() + std::ptrdiff_t(at));
        }
        r->frames_.store(at + m, std::memory_order_release);
        return 0;
    }
    jack_client_t *client_ = nullptr;
    std::vector<jack_port_t *> ports_;
    std::vector<std::vector<float>> data_;
    std::size_t capacity_ = 0;
    std::atomic<std::size_t> frames_{0};
};

struct Sound {
    int rate = 0;
    std::vector<std::vector<double>> ch;
    std::size_t frames() const { return ch.empty() ? 0 : ch[0].size(); }
};

// Reads a sound file through libsndfile; nullopt when it cannot be opened.
std::optional<Sound> read_sound(const fs::path &p)
{
    SF_INFO info{};
    SNDFILE *f = sf_open(p.c_str(), SFM_READ, &info);
    if (!f)
        return std::nullopt;
    std::vector<double> inter(std::size_t(info.frames) * std::size_t(info.channels));
    sf_count_t got = sf_readf_double(f, inter.data(), info.frames);
    sf_close(f);
    Sound s;
    s.rate = info.samplerate;
    s.ch.assign(std::size_t(info.channels), std::vector<double>(std::size_t(got)));
    for (sf_count_t i = 0; i < got; ++i)
        for (int c = 0; c < info.channels; ++c)
            s.ch[std::size_t(c)][std::size_t(i)] = inter[std::size_t(i) * std::size_t(info.channels) + std::size_t(c)];
    return s;
}

bool have_external(const std::string &name)
{
    return fs::exists(fs::path(TILDEKIT_MODULE_DIR) / (name + ".mxe64"));
}

// One patcher made of the help patchers of `names` (their comments left out, ids prefixed),
// every message box listed in `message_boxes`.
json merged_help(const std::vector<std::string> &names, std::vector<std::string> *message_boxes = nullptr)
{
    json boxes = json::array(), lines = json::array();
    int n = 0;
    for (const auto &name : names) {
        json p = json::parse(slurp(help_dir / (name + ".maxhelp")))["patcher"];
        std::string prefix = "h" + std::to_string(n++) + "-";
        for (auto b : p["boxes"]) {
            json &box = b["box"];
            if (box["maxclass"] == "comment")
                continue;
            box["id"] = prefix + box["id"].get<std::string>();
            if (box["maxclass"] == "message" && message_boxes)
                message_boxes->push_back(box["id"]);
            boxes.push_back(b);
        }
        for (auto l : p["lines"]) {
            json &pl = l["patchline"];
            pl["source"][0] = prefix + pl["source"][0].get<std::string>();
            pl["destination"][0] = prefix + pl["destination"][0].get<std::string>();
            lines.push_back(l);
        }
    }
    return {{"patcher", {{"boxes", boxes}, {"lines", lines}}}};
}

json box(const std::string &id, const std::string &cls, const std::string &text, double x = 0)
{
    return {{"box", {{"id", id}, {"maxclass", cls}, {"text", text}, {"patching_rect", {x, 0, 50, 20}}}}};
}
json cord(const std::string &from, int outlet, const std::string &to, int inlet)
{
    return {{"patchline", {{"source", {from, outlet}}, {"destination", {to, inlet}}}}};
}

void write_file(const fs::path &p, const std::string &text) { std::ofstream(p) << text; }

// The externals of this build that have a help patcher (the 32-bit-only ones are absent here).
std::vector<std::string> helped_externals()
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(help_dir))
        if (e.path().extension() == ".maxhelp" && have_external(e.path().stem().string()))
            names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Numbers after "label " in the closing line of a live run.
std::optional<double> closing_figure(const std::string &err, const std::string &label)
{
    std::smatch m;
    if (std::regex_search(err, m, std::regex(label + " ([0-9.]+)")))
        return std::stod(m[1]);
    return std::nullopt;
}

// Index at which `live` (from the recorder) holds all of `want`, or nullopt.
std::optional<std::size_t> find_run(const std::vector<float> &live, const std::vector<double> &want)
{
    if (want.empty() || live.size() < want.size())
        return std::nullopt;
    for (std::size_t k = 0; k + want.size() <= live.size(); ++k) {
        std::size_t i = 0;
        while (i < want.size() && double(live[k + i]) == want[i])
            ++i;
        if (i == want.size())
            return k;
    }
    return std::nullopt;
}

#define REQUIRE_JACKD()                                                                                        \
    do {                                                                                                       \
        if (!find_program("jackd"))                                                                            \
            GTEST_SKIP() << "jackd is not installed (Debian package jackd2), so there is no server to play on"; \
    } while (0)

// ---- without a server ------------------------------------------------------------------

TEST(LiveWithoutServer, SaysSoAndHowToStartOneAndWritesNothing)
{
    fs::path dir = fresh_dir("noserver");
    Result r = run_tilde({"run", (help_dir / "bandres~.maxhelp").string(), "--live", "--seconds", "1", "--out", "x.wav"}, dir,
                         "tildekit-test-no-such-server-" + std::to_string(getpid()));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("no JACK server"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("jackd -d dummy -r 48000 -p 64"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);  // the two logs only
}

// ---- on a shared server -----------------------------------------------------------------

class Live : public ::testing::Test {
protected:
    static constexpr int period = 256;
    static void SetUpTestSuite()
    {
        jack_set_error_function([](const char *) {});
        jack_set_info_function([](const char *) {});
        if (find_program("jackd"))
            server = new Server(period);
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        REQUIRE_JACKD();
        ASSERT_TRUE(server && server->ready()) << "the test server did not start:\n" << (server ? server->log() : "");
    }
    static Server *server;
};
Server *Live::server = nullptr;

TEST_F(Live, PatchWithoutTimedMessagesPlaysBitForBitAsOffline)
{
    fs::path dir = fresh_dir("bitexact");
    std::vector<std::string> names = helped_externals();
    ASSERT_GE(names.size(), 20u) << "externals missing from " TILDEKIT_MODULE_DIR;
    write_file(dir / "all.maxpat", merged_help(names).dump());

    Recorder rec(server->name(), "tkrec", 2, 8.0);
    ASSERT_TRUE(rec.ok());
    Result live = run_tilde({"run", "all.maxpat", "--live", "--seconds", "2", "--out", "live.wav", "-q", "--connect-out", "tkrec"}, dir,
                            server->name());
    rec.stop();
    ASSERT_EQ(live.status, 0) << live.err;
    EXPECT_NE(live.err.find("at 48000 Hz, vectors of 256 samples"), std::string::npos) << live.err;
    Result off = run_tilde({"run", "all.maxpat", "--seconds", "2", "--block", std::to_string(period), "--out", "off.wav", "-q"}, dir, "");
    ASSERT_EQ(off.status, 0) << off.err;

    auto a = read_sound(dir / "live.wav"), b = read_sound(dir / "off.wav");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->frames(), 96000u);
    ASSERT_EQ(a->ch.size(), 2u);
    for (std::size_t c = 0; c < 2; ++c) {
        std::size_t diff = 0;
        while (diff < 96000 && a->ch[c][diff] == b->ch[c][diff])
            ++diff;
        EXPECT_EQ(diff, 96000u) << "channel " << c + 1 << " differs first at sample " << diff;
        // what reached the recording client through the server is the same, from its first block on
        auto at = find_run(rec.channel(int(c)), b->ch[c]);
        EXPECT_TRUE(at) << "channel " << c + 1 << ": the offline render is not found whole in the JACK recording";
    }
}

TEST_F(Live, ScheduledMessagesAndClocksTakeEffectWithinAPeriod)
{
    fs::path dir = fresh_dir("timing");
    // sig~ -> dac~; -m messages set its value; loadbang -> delay 750 -> a message box does too
    json p = {{"patcher",
               {{"boxes",
                 {box("sig", "newobj", "sig~ 0"), box("dac", "newobj", "dac~ 1"), box("lb", "newobj", "loadbang"),
                  box("dl", "newobj", "delay 750"), box("msg", "message", "7")}},
                {"lines", {cord("sig", 0, "dac", 0), cord("lb", 0, "dl", 0), cord("dl", 0, "msg", 0), cord("msg", 0, "sig", 0)}}}}};
    write_file(dir / "timing.maxpat", p.dump());
    struct Due {
        double seconds;
        double value;
    };
    std::vector<Due> dues{{0.1003, 1}, {0.2, 2}, {0.31234, 3}, {0.5, 4}, {0.6001, 5}, {0.75, 7}, {0.9, 8}, {1.2345, 9}, {1.5, 10}};
    std::vector<std::string> args{"run", "timing.maxpat", "--live", "--seconds", "2", "--out", "t.wav", "--no-connect", "-q"};
    for (const auto &d : dues)
        if (d.value != 7) {
            args.push_back("-m");
            std::ostringstream m;
            m << "@" << d.seconds << " sig " << d.value;
            args.push_back(m.str());
        }
    Result r = run_tilde(args, dir, server->name());
    ASSERT_EQ(r.status, 0) << r.err;
    auto s = read_sound(dir / "t.wav");
    ASSERT_TRUE(s);
    const auto &x = s->ch[0];
    for (const auto &d : dues) {
        std::int64_t due = std::int64_t(std::ceil(d.seconds * 48000 - 1e-6));
        auto it = std::find(x.begin(), x.end(), d.value);
        ASSERT_NE(it, x.end()) << "value " << d.value << " never reached the output";
        std::int64_t took = std::int64_t(it - x.begin());
        EXPECT_GE(took, due) << "value " << d.value << " came before it was due";
        EXPECT_LE(took - due, period) << "value " << d.value << " due at sample " << due << " took effect at " << took;
    }
}

TEST_F(Live, RenderPlaysOneBoxAsOffline)
{
    fs::path dir = fresh_dir("render");
    std::vector<std::string> common{"render", "bandres~", "1000", "10", "--signal", "0=noise", "--seconds", "0.5", "-q", "-m", "2: 30"};
    auto live_args = common, off_args = common;
    for (const char *a : {"--live", "--no-connect", "--out", "live.wav"})
        live_args.push_back(a);
    for (const char *a : {"--block", "256", "--out", "off.wav"})
        off_args.push_back(a);
    Result live = run_tilde(live_args, dir, server->name());
    ASSERT_EQ(live.status, 0) << live.err;
    // inlet 0 takes the test signal; the other signal inlets stay unconnected as offline
    EXPECT_NE(live.err.find("samples; out: out_0;"), std::string::npos) << live.err;
    Result off = run_tilde(off_args, dir, "");
    ASSERT_EQ(off.status, 0) << off.err;
    auto a = read_sound(dir / "live.wav"), b = read_sound(dir / "off.wav");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->ch, b->ch);
    // input ports: inlet 0 by default, others on request
    Result ports = run_tilde({"render", "stereosquash~", "--live", "--seconds", "0.05", "--no-connect"}, dir, server->name());
    EXPECT_EQ(ports.status, 0) << ports.err;
    EXPECT_NE(ports.err.find("; in: in_0; out: out_0, out_1"), std::string::npos) << ports.err;
    ports = run_tilde({"render", "stereosquash~", "--live", "--inputs", "0,1", "--seconds", "0.05", "--no-connect"}, dir, server->name());
    EXPECT_NE(ports.err.find("; in: in_0, in_1; out: "), std::string::npos) << ports.err;
    ports = run_tilde({"render", "stereosquash~", "--live", "--inputs", "9", "--seconds", "0.05"}, dir, server->name());
    EXPECT_EQ(ports.status, 2) << ports.err;
    EXPECT_NE(ports.err.find("has no signal inlet 9"), std::string::npos) << ports.err;
}

TEST_F(Live, RefusesPortsRatesAndInputsItCannotUse)
{
    fs::path dir = fresh_dir("refusals");
    std::string patch = (help_dir / "bandres~.maxhelp").string();
    Result r = run_tilde({"run", patch, "--live", "--seconds", "1", "--connect-out", "system:nosuch", "--out", "x.wav"}, dir, server->name());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("no port 'system:nosuch'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("system:playback_1"), std::string::npos) << r.err;  // what there is instead
    r = run_tilde({"run", patch, "--live", "--seconds", "1", "--connect-in", "system:playback_1"}, dir, server->name());
    EXPECT_EQ(r.status, 0) << r.err;  // bandres~'s help patch has no adc~: no input to connect
    r = run_tilde({"run", patch, "--live", "--seconds", "1", "--connect-out", "nobody"}, dir, server->name());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("no client 'nobody'"), std::string::npos) << r.err;
    r = run_tilde({"run", patch, "--live", "--seconds", "1", "--sr", "44100"}, dir, server->name());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("runs at 48000 Hz but --sr asks for 44100 Hz"), std::string::npos) << r.err;
    r = run_tilde({"run", patch, "--live", "--seconds", "1", "--in", "x.wav"}, dir, server->name());
    EXPECT_EQ(r.status, 2) << r.err;
    // a vector size the server does not run is said, and the server's period used
    r = run_tilde({"run", patch, "--live", "--seconds", "0.1", "--block", "64", "--no-connect"}, dir, server->name());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("asks for vectors of 64 samples; it plays with the JACK server's period, 256"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
}

TEST_F(Live, XrunsAreCountedAndReportedAsTheyHappen)
{
    fs::path dir = fresh_dir("xruns");
    pid_t pid = spawn({tilde_binary, "run", (help_dir / "bandres~.maxhelp").string(), "--live", "--seconds", "2", "--verbose", "-q",
                       "--no-connect"},
                      dir, "tilde", server->name());
    for (int i = 0; i < 500 && slurp(dir / "tilde.err").find("JACK client") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);
    kill(pid, SIGSTOP);  // the process thread misses its cycles
    std::this_thread::sleep_for(100ms);
    kill(pid, SIGCONT);
    auto status = wait_for(pid, 20s);
    ASSERT_TRUE(status);
    std::string err = slurp(dir / "tilde.err");
    EXPECT_EQ(*status, 0) << err;
    EXPECT_TRUE(std::regex_search(err, std::regex("xruns? at 0\\.[0-9]+ s \\([0-9]+ so far\\)"))) << err;
    EXPECT_GT(closing_figure(err, "xruns").value_or(0), 0) << err;
}

TEST_F(Live, CtrlCEndsThePlayAndKeepsTheRecording)
{
    fs::path dir = fresh_dir("interrupt");
    pid_t pid = spawn({tilde_binary, "run", (help_dir / "bandres~.maxhelp").string(), "--live", "--out", "i.wav", "-q", "--no-connect"},
                      dir, "tilde", server->name());
    for (int i = 0; i < 500 && slurp(dir / "tilde.err").find("Ctrl-C stops") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(400ms);
    kill(pid, SIGINT);
    auto status = wait_for(pid, 20s);
    if (!status)
        kill(pid, SIGKILL);
    ASSERT_TRUE(status);
    std::string err = slurp(dir / "tilde.err");
    EXPECT_EQ(*status, 0) << err;
    EXPECT_NE(err.find("stopped by a signal"), std::string::npos) << err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, std::regex("played [0-9.]+ s \\(([0-9]+) samples\\)"))) << err;
    auto s = read_sound(dir / "i.wav");
    ASSERT_TRUE(s) << err;
    EXPECT_EQ(s->frames(), std::stoul(m[1])) << "the recording holds every sample played";
    EXPECT_GT(s->frames(), 48000u / 10);
}

// On a terminal a level meter line is redrawn while it plays, and cleared before the closing line.
TEST_F(Live, DrawsALevelMeterOnATerminal)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("JACK_DEFAULT_SERVER", server->name().c_str(), 1);
        execl(tilde_binary.c_str(), tilde_binary.c_str(), "run", (help_dir / "bandres~.maxhelp").c_str(), "--live", "--seconds", "1.2",
              "-q", "--no-connect", (char *)nullptr);
        _exit(127);
    }
    close(slave);
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, std::size_t(n));
    }
    close(master);
    auto status = wait_for(pid, 20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << text;
    // two channels of levels around -20 dBFS (noise through the filter), the load and the xruns
    EXPECT_TRUE(std::regex_search(text, std::regex("\rlive [01]\\.[0-9] s  1\\[#+ *\\]-[0-9.]+ 2\\[#+ *\\]-[0-9.]+  load [0-9]+%  xruns [0-9]+")))
        << text;
    EXPECT_NE(text.find("\r\033[K"), std::string::npos) << text;
}

// ---- servers of their own ----------------------------------------------------------------

// Every external of the build in one patch, two metros banging every message box of their
// help patchers (parameter changes, clear, reset, ...), 10 s on the dummy backend. On a busy
// machine the dummy server's own thread can miss its time (an xrun while the callback took a few
// per cent of its period); an xrun counts against the patch only where the callback itself came
// near its period.
TEST(LiveStress, EveryExternalWithMetroDrivenMessagesRunsWithinItsPeriodWithoutAllocation)
{
    REQUIRE_JACKD();
    Server server(1024);
    ASSERT_TRUE(server.ready()) << server.log();
    fs::path dir = fresh_dir("stress");
    std::vector<std::string> msgs;
    json p = merged_help(helped_externals(), &msgs);
    ASSERT_GE(msgs.size(), 40u);
    auto &boxes = p["patcher"]["boxes"];
    auto &lines = p["patcher"]["lines"];
    boxes.push_back(box("go", "newobj", "loadbang"));
    boxes.push_back(box("m1", "newobj", "metro 23"));
    boxes.push_back(box("m2", "newobj", "metro 37"));
    lines.push_back(cord("go", 0, "m1", 0));
    lines.push_back(cord("go", 0, "m2", 0));
    for (std::size_t i = 0; i < msgs.size(); ++i)
        lines.push_back(cord(i % 2 ? "m2" : "m1", 0, msgs[i], 0));
    write_file(dir / "stress.maxpat", p.dump());
#if TILDEKIT_LIVE_SANITIZED
    // built with ThreadSanitizer, which slows every access many times over: the run is about the
    // two threads' races (a report ends the player with a failing status), not about its period
    const int seconds = 2;
    const auto most = std::chrono::seconds(150);
#else
    const int seconds = 10;
    const auto most = std::chrono::seconds(60);
#endif
    Result r = run_tilde({"run", "stress.maxpat", "--live", "--seconds", std::to_string(seconds), "--no-connect", "-q", "--out", "s.wav"}, dir,
                         server.name(), most);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto xruns = closing_figure(r.err, "xruns"), worst = closing_figure(r.err, "worst");
    ASSERT_TRUE(xruns && worst) << r.err;
#if !TILDEKIT_LIVE_SANITIZED
    EXPECT_TRUE(*xruns == 0 || *worst < 50) << r.err;
#endif
    EXPECT_EQ(closing_figure(r.err, "allocations on the audio thread"), 0.0) << r.err;
    auto s = read_sound(dir / "s.wav");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->frames(), std::size_t(seconds) * 48000u);
}

TEST(LiveServerGone, EndsWithTheDocumentedErrorAndKeepsARecording)
{
    REQUIRE_JACKD();
    auto server = std::make_unique<Server>(256);
    ASSERT_TRUE(server->ready()) << server->log();
    fs::path dir = fresh_dir("gone");
    pid_t pid = spawn({tilde_binary, "run", (help_dir / "bandres~.maxhelp").string(), "--live", "--seconds", "30", "--out", "k.wav", "-q"},
                      dir, "tilde", server->name());
    // playing once the start line is out
    for (int i = 0; i < 500 && slurp(dir / "tilde.err").find("JACK client") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(700ms);
    server->stop(SIGKILL);
    // a server killed leaves shared memory that the next server to start clears away
    std::unique_ptr<Server> sweeper = std::make_unique<Server>(256);
    sweeper.reset();
    auto status = wait_for(pid, 15s);
    if (!status)
        kill(pid, SIGKILL);
    ASSERT_TRUE(status) << "tilde still runs after the server was killed";
    std::string err = slurp(dir / "tilde.err");
    EXPECT_EQ(*status, 1) << err;
    EXPECT_NE(err.find("the JACK server went away after"), std::string::npos) << err;
    EXPECT_NE(err.find("recorded so far are kept in 'k.wav'"), std::string::npos) << err;
    auto s = read_sound(dir / "k.wav");
    ASSERT_TRUE(s) << "the recording cannot be read";
    EXPECT_GT(s->frames(), 48000u * 3 / 10);
    EXPECT_LT(s->frames(), 48000u * 20);
    EXPECT_GT(*std::max_element(s->ch[0].begin(), s->ch[0].end()), 0.0);  // it holds the sound, not silence
}

}  // namespace
