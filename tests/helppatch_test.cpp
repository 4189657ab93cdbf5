// Every help patcher runs headless through `tilde run`, on the 64-bit path and on the legacy
// float path: no unknown object, no error posted, finite audio (or printed results). The
// command exists only in 64-bit builds; elsewhere these tests skip.
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
const fs::path help_dir = fs::path(TILDEKIT_SOURCE_DIR) / "help";

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct Result {
    int status = -1;
    std::string out, err;
};

Result tilde(const std::vector<std::string> &args, const fs::path &dir)
{
    fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
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
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), slurp(out), slurp(err)};
}

// Samples of a 32-bit float WAV, all channels interleaved.
std::vector<float> wav_samples(const fs::path &p)
{
    std::string s = slurp(p);
    std::vector<float> v;
    for (std::size_t at = 12; at + 8 <= s.size();) {
        std::uint32_t size;
        std::memcpy(&size, s.data() + at + 4, 4);
        if (s.compare(at, 4, "data") == 0) {
            v.resize(std::min<std::size_t>(size, s.size() - at - 8) / 4);
            std::memcpy(v.data(), s.data() + at + 8, v.size() * 4);
        }
        at += 8 + size + (size & 1);
    }
    return v;
}

std::vector<std::string> help_names()
{
    std::vector<std::string> names;
    if (fs::is_directory(help_dir))
        for (const auto &e : fs::directory_iterator(help_dir))
            if (e.path().extension() == ".maxhelp")
                names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(HelpPatchers, OneForEveryExternal)
{
    auto names = help_names();
    EXPECT_EQ(names.size(), 31u);
    for (const char *n : {"bandres~", "cutroute", "calibrator", "bowedstring~", "thirdbands~"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
}

class HelpPatcher : public ::testing::TestWithParam<std::string> {};

TEST_P(HelpPatcher, RunsHeadlessOnBothPaths)
{
    if (tk::host_width_bits() != 64 || !fs::exists(tilde_binary))
        GTEST_SKIP() << "the tilde command exists only in 64-bit builds";
    const std::string name = GetParam();
    if (!fs::exists(fs::path(TILDEKIT_MODULE_DIR) / (name + tk::module_extension())))
        GTEST_SKIP() << name << " is not built here";
    fs::path dir = fs::temp_directory_path() / ("tilde-help-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path patch = help_dir / (name + ".maxhelp");
    const bool has_dac = slurp(patch).find("\"dac~") != std::string::npos;
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy path" : "64-bit path");
        std::vector<std::string> args{"run", patch.string(), "--seconds", "1"};
        if (legacy)
            args.push_back("--legacy");
        if (has_dac) {
            args.push_back("--out");
            args.push_back((dir / "out.wav").string());
        }
        Result r = tilde(args, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("unknown object"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("left out"), std::string::npos) << r.err;
        if (has_dac) {
            auto samples = wav_samples(dir / "out.wav");
            ASSERT_EQ(samples.size(), 2u * 48000u);
            double energy = 0;
            for (float s : samples) {
                ASSERT_TRUE(std::isfinite(s));
                energy += double(s) * s;
            }
            EXPECT_GT(energy, 0.0) << name << " played only silence";
        }
    }
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(All, HelpPatcher, ::testing::ValuesIn(help_names()), [](const auto &info) {
    std::string s = info.param;
    for (auto &c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return s;
});

}  // namespace

namespace {

// The package's example patches chain several externals; each must run as the help patchers do.
TEST(ExamplePatches, RunHeadlessWithoutErrors)
{
    if (tk::host_width_bits() != 64 || !fs::exists(tilde_binary))
        GTEST_SKIP() << "the tilde command exists only in 64-bit builds";
    fs::path examples = fs::path(TILDEKIT_SOURCE_DIR) / "package" / "examples";
    fs::path dir = fs::temp_directory_path() / ("tilde-examples-" + std::to_string(getpid()));
    fs::create_directories(dir);
    int count = 0;
    for (const auto &e : fs::directory_iterator(examples)) {
        if (e.path().extension() != ".maxpat")
            continue;
        ++count;
        std::vector<std::string> args{"run", e.path().string(), "--seconds", "1"};
        if (slurp(e.path()).find("\"dac~") != std::string::npos) {
            args.push_back("--out");
            args.push_back((dir / "x.wav").string());
        }
        Result r = tilde(args, dir);
        EXPECT_EQ(r.status, 0) << e.path() << "\n" << r.err;
        EXPECT_EQ(r.err.find("error"), std::string::npos) << e.path() << "\n" << r.err;
    }
    EXPECT_GE(count, 2);
    fs::remove_all(dir);
}

}  // namespace
