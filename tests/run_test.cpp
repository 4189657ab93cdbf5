// `tilde run`: patcher files rendered end to end by the built command, read back as a user
// would. The command exists only in 64-bit builds; elsewhere these tests skip.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string tilde_binary = TILDEKIT_BINARY_DIR "/tools/tilde";

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

Result tilde(const std::vector<std::string> &args, const fs::path &cwd)
{
    fs::path out = cwd / "stdout.txt", err = cwd / "stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char *> argv{const_cast<char *>(tilde_binary.c_str())};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(tilde_binary.c_str(), argv.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    Result r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

// 32-bit float WAV, the command's default output format.
std::vector<std::vector<float>> read_float_wav(const fs::path &p)
{
    std::string s = slurp(p);
    std::vector<std::vector<float>> ch;
    if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0)
        return ch;
    int channels = 0;
    for (std::size_t at = 12; at + 8 <= s.size();) {
        std::uint32_t size;
        std::memcpy(&size, s.data() + at + 4, 4);
        std::string id = s.substr(at, 4);
        if (id == "fmt ") {
            std::uint16_t c;
            std::memcpy(&c, s.data() + at + 10, 2);
            channels = c;
        } else if (id == "data" && channels > 0) {
            std::size_t n = size / (4 * std::size_t(channels));
            ch.assign(std::size_t(channels), std::vector<float>(n));
            for (std::size_t i = 0; i < n; ++i)
                for (int c = 0; c < channels; ++c)
                    std::memcpy(&ch[std::size_t(c)][i], s.data() + at + 8 + (i * std::size_t(channels) + std::size_t(c)) * 4, 4);
        }
        at += 8 + size + (size & 1);
    }
    return ch;
}

void write_float_wav(const fs::path &p, const std::vector<std::vector<float>> &ch, std::uint32_t rate)
{
    std::uint16_t nc = std::uint16_t(ch.size());
    std::uint32_t n = std::uint32_t(ch[0].size()), data = n * nc * 4;
    std::string s = "RIFF";
    auto u32 = [&](std::uint32_t v) { s.append(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { s.append(reinterpret_cast<const char *>(&v), 2); };
    u32(36 + data);
    s += "WAVEfmt ";
    u32(16);
    u16(3);
    u16(nc);
    u32(rate);
    u32(rate * nc * 4);
    u16(std::uint16_t(nc * 4));
    u16(32);
    s += "data";
    u32(data);
    for (std::uint32_t i = 0; i < n; ++i)
        for (auto &c : ch)
            s.append(reinterpret_cast<const char *>(&c[i]), 4);
    std::ofstream(p, std::ios::binary) << s;
}

// A patcher file from compact box and cord lists.
struct Box {
    std::string id, maxclass, text;
    double x, y;
    std::string inner;  // a nested patcher's JSON, for subpatchers
    Box(std::string i, std::string m, std::string t, double px = 0, double py = 0, std::string in = "")
        : id(std::move(i)), maxclass(std::move(m)), text(std::move(t)), x(px), y(py), inner(std::move(in))
    {
    }
};
struct Cord {
    std::string from;
    int outlet;
    std::string to;
    int inlet;
};

std::string patcher_json(const std::vector<Box> &boxes, const std::vector<Cord> &cords)
{
    std::string s = "{\"boxes\": [";
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Box &b = boxes[i];
        s += std::string(i ? "," : "") + "{\"box\": {\"id\": \"" + b.id + "\", \"maxclass\": \"" + b.maxclass + "\", \"text\": \"" +
             b.text + "\", \"patching_rect\": [" + std::to_string(b.x) + ", " + std::to_string(b.y) + ", 60, 22]" +
             (b.inner.empty() ? "" : ", \"patcher\": " + b.inner) + "}}";
    }
    s += "], \"lines\": [";
    for (std::size_t i = 0; i < cords.size(); ++i) {
        const Cord &c = cords[i];
        s += std::string(i ? "," : "") + "{\"patchline\": {\"source\": [\"" + c.from + "\", " + std::to_string(c.outlet) +
             "], \"destination\": [\"" + c.to + "\", " + std::to_string(c.inlet) + "]}}";
    }
    return s + "]}";
}

void write_patch(const fs::path &p, const std::vector<Box> &boxes, const std::vector<Cord> &cords)
{
    std::ofstream(p) << "{\"patcher\": " << patcher_json(boxes, cords) << "}";
}

struct RunCommand : ::testing::Test {
    fs::path dir;
    void SetUp() override
    {
        if (tk::host_width_bits() != 64 || !fs::exists(tilde_binary))
            GTEST_SKIP() << "the tilde command exists only in 64-bit builds";
        dir = fs::temp_directory_path() / ("tilde-run-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        if (!dir.empty())
            fs::remove_all(dir);
    }
};

TEST_F(RunCommand, MessagesTravelThroughSubpatchersInRightToLeftOrder)
{
    // loadbang -> message "3, 1 2, ratio 4" -> [p relay] -> print; and the message also to a
    // print placed further right, which receives first
    std::string relay = patcher_json({{"in", "inlet", ""}, {"out", "outlet", ""}, {"t", "newobj", "print inner", 100, 40}},
                                     {{"in", 0, "out", 0}, {"in", 0, "t", 0}});
    write_patch(dir / "p.maxpat",
                {{"a", "newobj", "loadbang"},
                 {"m", "message", "3, 1 2, ratio 4", 0, 30},
                 {"s", "newobj", "p relay", 0, 60, relay},
                 {"left", "newobj", "print left", 0, 90},
                 {"right", "newobj", "print right", 300, 60},
                 {"c", "comment", "ignored"}},
                {{"a", 0, "m", 0}, {"m", 0, "s", 0}, {"m", 0, "right", 0}, {"s", 0, "left", 0}});
    Result r = tilde({"run", "p.maxpat", "--samples", "64"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "right: 3\ninner: 3\nleft: 3\nright: 1 2\ninner: 1 2\nleft: 1 2\n"
                     "right: ratio 4\ninner: ratio 4\nleft: ratio 4\n");
}

TEST_F(RunCommand, AudioFromAdcThroughArithmeticToChosenDacChannels)
{
    std::vector<float> in(1000);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = float(std::sin(0.01 * double(i)));
    write_float_wav(dir / "in.wav", {in}, 44100);
    write_patch(dir / "p.maxpat",
                {{"adc", "newobj", "adc~ 1"}, {"mul", "newobj", "*~ 0.5"}, {"dac", "newobj", "dac~ 2"}, {"one", "newobj", "sig~ 0.25"},
                 {"add", "newobj", "+~"}},
                {{"adc", 0, "mul", 0}, {"mul", 0, "add", 0}, {"one", 0, "add", 1}, {"add", 0, "dac", 0}});
    Result r = tilde({"run", "p.maxpat", "--in", "in.wav", "--out", "out.wav", "--block", "32"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    auto out = read_float_wav(dir / "out.wav");
    ASSERT_EQ(out.size(), 2u);  // dac~ 2 makes a two-channel file with channel 1 silent
    ASSERT_EQ(out[1].size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_NEAR(out[1][i], 0.5 * in[i] + 0.25, 1e-6) << i;
        ASSERT_EQ(out[0][i], 0.0f) << i;
    }
}

TEST_F(RunCommand, UnknownObjectsFailNamingTheBoxUnlessSkipped)
{
    write_patch(dir / "p.maxpat", {{"obj-1", "newobj", "cycle~ 100"}, {"obj-2", "newobj", "reverb~ 3"}, {"obj-3", "ezdac~", ""}},
                {{"obj-1", 0, "obj-2", 0}, {"obj-2", 0, "obj-3", 0}, {"obj-1", 0, "obj-3", 1}});
    Result r = tilde({"run", "p.maxpat", "--samples", "64"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("box obj-2 (reverb~ 3): unknown object 'reverb~'"), std::string::npos) << r.err;

    r = tilde({"run", "p.maxpat", "--samples", "4800", "--skip-unknown", "--out", "o.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("left out box obj-2"), std::string::npos) << r.err;
    auto out = read_float_wav(dir / "o.wav");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NEAR(tkt::rms(std::vector<double>(out[1].begin(), out[1].end())), std::sqrt(0.5), 1e-3);
    EXPECT_EQ(out[0][100], 0.0f);
}

TEST_F(RunCommand, MalformedPatchesAndMessagesAreBadInput)
{
    std::ofstream(dir / "bad.maxpat") << "{\"patcher\": {\"boxes\": [";
    Result r = tilde({"run", "bad.maxpat"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("invalid JSON"), std::string::npos) << r.err;

    write_patch(dir / "p.maxpat", {{"a", "newobj", "cycle~"}, {"b", "newobj", "print"}}, {{"a", 0, "b", 3}});
    r = tilde({"run", "p.maxpat"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("box a (cycle~) outlet 0 to box b (print) inlet 3"), std::string::npos) << r.err;

    write_patch(dir / "q.maxpat", {{"a", "newobj", "print"}, {"b", "newobj", "cutroute 5"}}, {{"a", 0, "zz", 0}});
    r = tilde({"run", "q.maxpat"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("box 'zz', which does not exist"), std::string::npos) << r.err;

    write_patch(dir / "q.maxpat", {{"a", "newobj", "print"}}, {});
    r = tilde({"run", "q.maxpat", "-m", "nobox 1"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("the patch has no box 'nobox'"), std::string::npos) << r.err;
    r = tilde({"run", "q.maxpat", "--out", "x.wav"}, dir);
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
}

TEST_F(RunCommand, TimedMessagesAndEventsOfEveryBox)
{
    write_patch(dir / "p.maxpat",
                {{"lb", "newobj", "loadbang"}, {"met", "newobj", "metro 250"}, {"cr", "newobj", "cutroute 0.5"}, {"pr", "newobj", "print"}},
                {{"lb", 0, "met", 0}, {"cr", 1, "pr", 0}});
    Result r = tilde({"run", "p.maxpat", "--sr", "1000", "--block", "10", "--seconds", "1", "--events", "ev.csv", "-m",
                      "@0.3 met stop", "-m", "cr 0.75", "-m", "@0.5 cr 0.25", "-m", "@2 pr late"},
                     dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "print: 0.75\n");  // cutroute's right outlet: the number above the threshold
    std::string ev = slurp(dir / "ev.csv");
    EXPECT_EQ(ev.rfind("sample,time_ms,box,outlet,kind,value\n", 0), 0u) << ev;
    EXPECT_NE(ev.find(",met,0,bang,"), std::string::npos);
    int bangs = 0;
    for (std::size_t at = 0; (at = ev.find(",met,0,bang", at)) != std::string::npos; ++at)
        bangs++;
    EXPECT_EQ(bangs, 2);  // at 0 and 250 ms, then stopped at 300 ms
    EXPECT_NE(ev.find("500,500,cr,0,float,0.25"), std::string::npos) << ev;
    EXPECT_NE(r.err.find("message '@2 pr late' was not sent"), std::string::npos) << r.err;
}

TEST_F(RunCommand, OutputThatIsNotFiniteIsAFailure)
{
    write_patch(dir / "p.maxpat", {{"a", "newobj", "sig~ 1e300"}, {"b", "newobj", "*~ 1e300"}, {"d", "newobj", "dac~ 1"}},
                {{"a", 0, "b", 0}, {"b", 0, "d", 0}});
    Result r = tilde({"run", "p.maxpat", "--samples", "128"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("dac channel 1: 128 samples are not finite numbers"), std::string::npos) << r.err;
}

}  // namespace
