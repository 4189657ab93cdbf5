// End-to-end tests of `tilde plot`: the built command draws real pictures, and the numbers it
// draws (written beside them with --data) agree with what the externals compute. The command
// exists only in 64-bit builds; elsewhere these tests skip.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::string tilde_binary = TILDEKIT_BINARY_DIR "/tools/tilde";

std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct Result {
    int status = -1;
    std::string err;
};

// Size of a PNG from its IHDR chunk, after checking the signature and the closing IEND.
bool png_size(const std::string &s, std::uint32_t &w, std::uint32_t &h)
{
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (s.size() < 33 || s.compare(0, 8, std::string(signature, 8)) != 0 || s.compare(12, 4, "IHDR") != 0)
        return false;
    auto be = [&](std::size_t at) {
        return (std::uint32_t(std::uint8_t(s[at])) << 24) | (std::uint32_t(std::uint8_t(s[at + 1])) << 16) |
               (std::uint32_t(std::uint8_t(s[at + 2])) << 8) | std::uint32_t(std::uint8_t(s[at + 3]));
    };
    w = be(16);
    h = be(20);
    return s.compare(s.size() - 8, 4, "IEND") == 0;
}

// Width and height attributes of a complete SVG document's root element.
bool svg_size(const std::string &s, double &w, double &h)
{
    std::size_t root = s.find("<svg");
    if (s.compare(0, 5, "<?xml") != 0 || root == std::string::npos || s.find("</svg>") == std::string::npos)
        return false;
    std::string tag = s.substr(root, s.find('>', root) - root);
    auto attr = [&](const std::string &name, double &v) {
        std::size_t at = tag.find(" " + name + "=\"");
        if (at == std::string::npos)
            return false;
        v = std::atof(tag.c_str() + at + name.size() + 3);
        return true;
    };
    return attr("width", w) && attr("height", h);
}

// CSV rows of --data as column name -> text, quoted first field unquoted.
std::vector<std::map<std::string, std::string>> read_csv(const fs::path &p)
{
    std::vector<std::map<std::string, std::string>> rows;
    std::ifstream f(p);
    std::string line;
    std::vector<std::string> names;
    auto split = [](const std::string &l) {
        std::vector<std::string> out;
        std::string cur;
        bool quoted = false;
        for (char c : l) {
            if (c == '"')
                quoted = !quoted;
            else if (c == ',' && !quoted) {
                out.push_back(cur);
                cur.clear();
            } else
                cur += c;
        }
        out.push_back(cur);
        return out;
    };
    if (std::getline(f, line))
        names = split(line);
    while (std::getline(f, line)) {
        auto fields = split(line);
        std::map<std::string, std::string> row;
        for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i)
            row[names[i]] = fields[i];
        rows.push_back(row);
    }
    return rows;
}

double num(const std::string &s) { return s == "-inf" ? -HUGE_VAL : std::atof(s.c_str()); }

// Frequency where a curve's magnitude first falls through -3 dB, interpolated on log f.
double minus3_crossing(const std::vector<std::map<std::string, std::string>> &rows, const std::string &curve)
{
    double f0 = 0, m0 = 0;
    bool have = false;
    for (const auto &r : rows) {
        if (r.at("curve") != curve)
            continue;
        double f = num(r.at("frequency_hz")), m = num(r.at("magnitude_db"));
        if (have && m0 > -3 && m <= -3)
            return std::exp(std::log(f0) + (std::log(f) - std::log(f0)) * (-3 - m0) / (m - m0));
        f0 = f;
        m0 = m;
        have = true;
    }
    return NAN;
}

// highcut~'s own -3 dB point: y = c x + (1 - c) y[n-1], c = 2 pi fc / sr, so
// |H|^2 = c^2 / (1 - 2 (1 - c) cos w + (1 - c)^2), solved for |H|^2 = 10^(-3/10).
double highcut_minus3(double cutoff, double sr)
{
    double c = std::min(1.0, 6.283185307179586 * cutoff / sr);
    double target = std::pow(10.0, -0.3);
    double cosw = (1 + (1 - c) * (1 - c) - c * c / target) / (2 * (1 - c));
    return std::acos(cosw) * sr / (2 * M_PI);
}

class Plot : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fs::exists(tilde_binary))
            GTEST_SKIP() << "the tilde command is built in 64-bit builds only (" << tkt::width_name() << " here)";
        char tmpl[] = "/tmp/plot_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        work_ = tmpl;
    }
    void TearDown() override
    {
        if (!work_.empty())
            fs::remove_all(work_);
    }

    Result run(const std::vector<std::string> &args)
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(work_.c_str()) != 0)
                _exit(127);
            if (!freopen((work_ / ".stderr").c_str(), "w", stderr) || !freopen("/dev/null", "w", stdout))
                _exit(127);
            unsetenv("TILDEKIT_PATH");
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
        r.err = slurp(work_ / ".stderr");
        fs::remove(work_ / ".stderr");
        return r;
    }

    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(work_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path work_;
};

TEST_F(Plot, ResponseOfHighcutCrossesMinus3dBWhereItsTransferFunctionDoes)
{
    Result r = run({"plot", "response", "highcut~", "1000", "--out", "r.png", "--data", "r.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(png_size(slurp(work_ / "r.png"), w, h)) << "r.png is not a complete PNG";
    EXPECT_EQ(w, 1200u);
    EXPECT_EQ(h, 700u);

    auto rows = read_csv(work_ / "r.csv");
    ASSERT_FALSE(rows.empty());
    double expected = highcut_minus3(1000, 48000);
    double crossing = minus3_crossing(rows, "");
    EXPECT_NEAR(crossing / expected, 1.0, 0.02) << "measured " << crossing << " Hz, transfer function " << expected;
    // The axis spans 10 Hz to Nyquist, and the low end passes at unity gain.
    EXPECT_NEAR(num(rows.front().at("frequency_hz")), 10.0, 1e-9);
    EXPECT_NEAR(num(rows.back().at("frequency_hz")), 24000.0, 1e-6);
    EXPECT_NEAR(num(rows.front().at("magnitude_db")), 0.0, 0.01);
}

TEST_F(Plot, VariedCutoffsGiveOneCurveEachAtTheirOwnCrossing)
{
    // The cutoff inlet as the varied message, at another sample rate, drawn as SVG.
    Result r = run({"plot", "response", "highcut~", "--vary", "1: 300,3000", "--sr", "44100", "--size", "800x600",
                    "--out", "v.svg", "--data", "v.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    double w = 0, h = 0;
    ASSERT_TRUE(svg_size(slurp(work_ / "v.svg"), w, h)) << "v.svg is not a complete SVG document";
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 600);
    auto rows = read_csv(work_ / "v.csv");
    for (double fc : {300.0, 3000.0}) {
        // a number at an inlet is named by the inlet's description
        std::string label = "Cutoff Frequency = " + std::string(fc == 300 ? "300" : "3000");
        double crossing = minus3_crossing(rows, label);
        EXPECT_NEAR(crossing / highcut_minus3(fc, 44100), 1.0, 0.02) << label;
    }
    EXPECT_NEAR(num(rows.back().at("frequency_hz")), 22050.0, 1e-6);
}

TEST_F(Plot, CompressorCurveFollowsThresholdAndRatioAndShowsTheGainOutlet)
{
    // Constant levels make the static curve exact: above the threshold the output rises by
    // 1/ratio dB per dB, below it follows the input.
    Result r = run({"plot", "curve", "stereosquash~", "-m", "thresh -20", "--vary", "ratio 2,4,8", "--tone", "0",
                    "--settle", "0.5", "--size", "900x500", "--out", "c.svg", "--data", "c.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    double w = 0, h = 0;
    ASSERT_TRUE(svg_size(slurp(work_ / "c.svg"), w, h));
    EXPECT_EQ(w, 900);
    EXPECT_EQ(h, 500);
    auto rows = read_csv(work_ / "c.csv");
    ASSERT_EQ(rows.size(), 3u * 103u);  // -90 .. +12 dB in 1 dB steps, three ratios
    for (const auto &row : rows) {
        double ratio = std::atof(row.at("curve").c_str() + 6);
        double in = num(row.at("input_db")), out = num(row.at("output_db"));
        double expected = in <= -20 ? in : -20 + (in + 20) / ratio;
        // the knee is 0 dB wide, but the detector reaches the threshold within 0.01 dB
        EXPECT_NEAR(out, expected, 0.05) << row.at("curve") << " at " << in << " dB";
        ASSERT_FALSE(row.at("gain_db").empty()) << "the gain outlet was not recognised";
        EXPECT_NEAR(num(row.at("gain_db")), out - in, 0.05) << row.at("curve") << " at " << in << " dB";
    }
}

TEST_F(Plot, WaveDrawsEachOutletOverTheAskedLength)
{
    Result r = run({"plot", "wave", "bandres~", "1000", "10", "--signal", "0=impulse", "--seconds", "0.02", "--size",
                    "640x480", "--out", "w.png", "--data", "w.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::uint32_t w = 0, h = 0;
    ASSERT_TRUE(png_size(slurp(work_ / "w.png"), w, h));
    EXPECT_EQ(w, 640u);
    EXPECT_EQ(h, 480u);
    auto rows = read_csv(work_ / "w.csv");
    ASSERT_EQ(rows.size(), 960u);  // one outlet, 0.02 s at 48 kHz
    // bandres~ starts its impulse response with its gain: nonzero at once, then rings.
    EXPECT_NE(num(rows[0].at("value")), 0.0);
    EXPECT_NE(num(rows[100].at("value")), 0.0);
}

TEST_F(Plot, BadInputExitsTwoAndLeavesNoFile)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const Case cases[] = {
        {{"plot", "response", "highcut~", "1000", "--out", "x.jpg"}, ".png or .svg"},
        {{"plot", "response", "nosuchthing~", "--out", "x.png"}, "nosuchthing~"},
        {{"plot", "response", "highcut~", "-m", "@0.1 1: 500", "--out", "x.png"}, "timed"},
        {{"plot", "curve", "stereosquash~", "--vary", "ratio", "--out", "x.png"}, "SELECTOR V1,V2"},
        {{"plot", "curve", "stereosquash~", "--vary", "nosuch 1,2", "--out", "x.png"}, "no method 'nosuch'"},
        {{"plot", "response", "highcut~", "--outlet", "3", "--out", "x.png"}, "--outlet 3"},
        {{"plot", "response", "highcut~", "--size", "12x7", "--out", "x.png"}, "--size"},
        {{"plot", "response", "highcut~", "--out", "missing/x.png"}, "does not exist"},
    };
    for (const auto &c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.args[3] << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_TRUE(files().empty()) << "left behind: " << files().front();
    }
}

}  // namespace
