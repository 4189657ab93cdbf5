// tilde plot KIND NAME [ARGS...]: measures one box through the host, the way `tilde render`
// runs it, and draws what it measured with PLplot (cairo PNG and SVG drivers).
#include "plot.h"

#include <plplot.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

#include "audiofile.h"
#include "common.h"
#include "console.h"
#include "messages.h"
#include "signals.h"
#include "tildehost.h"

namespace fs = std::filesystem;

namespace tilde {

namespace {

constexpr double default_samplerate = 48000.0;
constexpr double lowest_frequency = 10.0;  // left end of every frequency axis
constexpr double floor_db = -400.0;        // stands for silence (log of 0) in the data

double to_db(double v) { return v > 0 ? std::max(floor_db, 20.0 * std::log10(v)) : floor_db; }

// ---- what is drawn ------------------------------------------------------------------

struct Series {
    std::string label;
    std::vector<double> x, y;
    bool phase = false;  // wrapped to +-180: no line across a wrap
};

struct Panel {
    std::string ylabel;
    bool logx = false;
    double xmin = 0, xmax = 1;
    std::optional<double> ymin, ymax, ystep;  // fixed range; otherwise from the data
    double weight = 1;                        // share of the page height
    double min_span = 1;                      // smallest y range drawn
    std::optional<double> y_floor_below_top;  // magnitudes: show at most this far below the top
    bool unity = false;                       // dashed y = x reference
    std::vector<Series> series;
};

struct Figure {
    std::string title, caption, xlabel;
    std::vector<Panel> panels;
};

// One curve per --vary value (or a single unnamed one).
struct Variant {
    std::string label;
    std::optional<Message> message;
};

std::string box_text(const PlotOptions &o)
{
    std::string t = o.name;
    for (const auto &a : o.args)
        t += " " + a;
    return t;
}

std::vector<Variant> parse_vary(const std::string &text)
{
    if (trim(text).empty())
        return {Variant{}};
    auto bad = [&](const std::string &why) { return BadInput("--vary '" + text + "': " + why); };
    std::string t = trim(text);
    std::size_t space = t.find_first_of(" \t");
    if (space == std::string::npos)
        throw bad("expected \"SELECTOR V1,V2,...\"");
    std::string head = t.substr(0, space);
    if (head[0] == '@')
        throw bad("a varied message cannot be timed");
    std::string rest = t.substr(space + 1);
    std::vector<Variant> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = rest.find(',', start);
        std::string item = trim(rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item.empty())
            throw bad("empty value in the list");
        Variant v;
        v.message = parse_message(head + " " + item);
        v.label = v.message->text;
        out.push_back(v);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

// A number sent to an inlet is named by what the inlet does, as the box describes it:
// "1: 500" on a cutoff inlet reads "Cutoff Frequency = 500".
void name_variants(std::vector<Variant> &variants, const tk::Box &box)
{
    for (auto &v : variants) {
        if (!v.message || (v.message->selector != "int" && v.message->selector != "float"))
            continue;
        auto text = box.assist(1, v.message->inlet);
        if (!text)
            continue;
        std::string what = trim(*text);
        if (!what.empty() && what[0] == '(' && what.find(')') != std::string::npos)
            what = trim(what.substr(what.find(')') + 1));
        if (!what.empty() && what.find('(') == std::string::npos)
            v.label = what + " = " + tk::atoms_text(v.message->args);
    }
}

// A fresh patch holding the box, with the messages and the variant's message sent.
struct Rig {
    std::unique_ptr<tk::Patch> patch;
    tk::Box *box = nullptr;
    std::vector<int> signal_outlets;
};

Rig make_rig(const PlotOptions &o, double sr, const std::vector<Message> &messages, const Variant &v)
{
    Rig r;
    r.patch = std::make_unique<tk::Patch>(sr, o.block);
    tk::Atoms args;
    for (const auto &a : o.args)
        for (auto &atom : tk::parse_atoms(a))
            args.push_back(atom);
    try {
        r.box = r.patch->create(o.name, args);
    } catch (const tk::Error &e) {
        throw cannot_load(o.name, e.what());
    }
    if (!r.box)
        throw Refused("the external refused to create '" + box_text(o) + "'");
    for (const auto &m : messages)
        check_message(m, *r.box);
    if (v.message)
        check_message(*v.message, *r.box);
    for (const auto &m : messages)
        if (!m.timed())
            r.patch->send(r.box, m.inlet, m.selector, m.args);
    if (v.message)
        r.patch->send(r.box, v.message->inlet, v.message->selector, v.message->args);
    for (int k = 0; k < r.box->outlets(); ++k)
        if (r.box->outlet_is_signal(k))
            r.signal_outlets.push_back(k);
    return r;
}

// Every measurement builds fresh boxes; only the first of each curve may speak, so that a
// clamped parameter is reported once rather than once per frequency or level.
struct Hush {
    std::optional<tk::ConsoleCapture> capture;
    explicit Hush(bool quiet)
    {
        if (quiet)
            capture.emplace();
    }
};

// Runs whole blocks until at least `frames` samples have been processed from now on.
void run_frames(tk::Patch &patch, std::int64_t frames)
{
    std::int64_t block = patch.blocksize();
    try {
        patch.run_blocks((frames + block - 1) / block);
    } catch (const tk::Error &e) {
        throw Failure(e.what());
    }
}

Generator sine_generator(double f, double amplitude, double sr)
{
    TestSignal s;
    s.kind = TestSignal::Sine;
    s.freq = f;
    s.amplitude = amplitude;
    return make_generator(s, sr, 0);
}

Generator noise_generator(double amplitude, std::uint64_t seed, double sr)
{
    TestSignal s;
    s.kind = TestSignal::Noise;
    s.amplitude = amplitude;
    s.seed = seed;
    return make_generator(s, sr, 0);
}

// ---- response ---------------------------------------------------------------------

struct Measure {
    const PlotOptions &o;
    double sr;
    const std::vector<Message> &messages;
    std::vector<int> feed;
    int outlet;  // index among the signal outlets
};

// Output of the measured outlet for `frames` samples with every fed inlet driven by `gen`.
std::vector<double> run_with(const Measure &m, const Variant &v, const Generator &gen, std::int64_t frames, bool quiet)
{
    Hush hush(quiet);
    Rig r = make_rig(m.o, m.sr, m.messages, v);
    int out = r.signal_outlets[std::size_t(m.outlet)];
    for (int k : m.feed)
        r.patch->feed(r.box, k, gen);
    r.patch->capture(r.box, out);
    run_frames(*r.patch, frames);
    std::vector<double> y = r.patch->output(r.box, out);
    y.resize(std::size_t(frames));
    return y;
}

// Whether the box behaves as a linear system for this variant: scaling the input by +12 dB
// and by -80 dB scales the output alike, and two inputs together give the sum of their
// outputs. Compressors, gates and limiters fail one of these at those extremes.
bool behaves_linearly(const Measure &m, const Variant &v)
{
    const std::int64_t n = std::max<std::int64_t>(std::llround(m.sr * 0.25), 256);
    Generator a = noise_generator(4.0, 11, m.sr), b = noise_generator(1e-4, 11, m.sr), c = noise_generator(2.0, 23, m.sr);
    Generator sum = [a, c](double *out, long k, std::int64_t start) {
        std::vector<double> tmp(static_cast<std::size_t>(k));
        a(out, k, start);
        c(tmp.data(), k, start);
        for (long i = 0; i < k; ++i)
            out[i] += tmp[std::size_t(i)];
    };
    auto ya = run_with(m, v, a, n, true), yb = run_with(m, v, b, n, true);
    auto yc = run_with(m, v, c, n, true), yd = run_with(m, v, sum, n, true);
    double scale = 1e-12, err_scale = 0, err_sum = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        std::size_t k = std::size_t(i);
        scale = std::max({scale, std::fabs(ya[k]), std::fabs(yd[k])});
        err_scale = std::max(err_scale, std::fabs(ya[k] - yb[k] * 4e4));
        err_sum = std::max(err_sum, std::fabs(ya[k] + yc[k] - yd[k]));
    }
    if (!std::isfinite(scale) || !std::isfinite(err_scale) || !std::isfinite(err_sum))
        return false;
    return err_scale <= 1e-6 * scale && err_sum <= 1e-6 * scale;
}

// The impulse response, long enough that its tail carries no energy worth drawing.
std::vector<double> impulse_response(const Measure &m, const Variant &v, bool quiet)
{
    Hush hush(quiet);
    Rig r = make_rig(m.o, m.sr, m.messages, v);
    int out = r.signal_outlets[std::size_t(m.outlet)];
    for (int k : m.feed)
        r.patch->feed(r.box, k, std::vector<double>{1.0});
    r.patch->capture(r.box, out);
    const std::int64_t chunk = std::max<std::int64_t>(std::llround(m.sr / 4), 256);
    const std::int64_t least = std::llround(m.sr * 0.5), most = std::llround(m.sr * 8);
    std::vector<double> h;
    double total = 0;
    for (;;) {
        check_interrupt();
        run_frames(*r.patch, chunk);
        const auto &y = r.patch->output(r.box, out);
        double e = 0;
        for (double s : y)
            e += s * s;
        h.insert(h.end(), y.begin(), y.end());
        r.patch->clear_outputs();
        total += e;
        if (!std::isfinite(total))
            throw Failure(box_text(m.o) + (v.label.empty() ? "" : " (" + v.label + ")") +
                          ": the impulse response is not finite, so it has no frequency response to draw");
        std::int64_t len = std::int64_t(h.size());
        if (len >= most)
            break;
        if (len >= least && (total == 0 ? len >= 2 * least : e <= 1e-14 * total))
            break;
    }
    while (!h.empty() && h.back() == 0)
        h.pop_back();
    return h;
}

// Sum of h[n] e^(-i w n): the transfer function at w radians per sample.
std::complex<double> transfer_at(const std::vector<double> &h, double w)
{
    std::complex<double> acc = 0, p = 1;
    const std::complex<double> step = std::polar(1.0, -w);
    for (std::size_t n = 0; n < h.size(); ++n) {
        acc += h[n] * p;
        p *= step;
        if ((n & 1023) == 1023)  // keep the rotating phasor on the unit circle
            p = std::polar(1.0, -w * double(n + 1));
    }
    return acc;
}

// Hann-windowed component at f Hz of x[0..n).
std::complex<double> component(const double *x, std::int64_t n, double f, double sr, std::int64_t start)
{
    std::complex<double> acc = 0;
    const double w = 2.0 * M_PI * f / sr;
    for (std::int64_t i = 0; i < n; ++i) {
        double win = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n - 1));
        double ph = w * double(start + i);
        acc += win * x[i] * std::complex<double>(std::cos(ph), -std::sin(ph));
    }
    return acc;
}

// Output over input at f Hz for a settled sine of the given amplitude.
std::complex<double> sine_transfer(const Measure &m, const Variant &v, double f, double amplitude, bool quiet)
{
    const std::int64_t settle = std::llround(m.o.settle * m.sr);
    const std::int64_t window = std::max(std::llround(0.2 * m.sr), std::llround(10.0 * m.sr / f));
    Generator gen = sine_generator(f, amplitude, m.sr);
    auto y = run_with(m, v, gen, settle + window, quiet);
    std::vector<double> x(static_cast<std::size_t>(window));
    gen(x.data(), long(window), settle);
    auto Y = component(y.data() + settle, window, f, m.sr, settle);
    auto X = component(x.data(), window, f, m.sr, settle);
    return Y / X;
}

std::vector<double> log_frequencies(double lo, double hi, int n)
{
    std::vector<double> f(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        f[std::size_t(i)] = lo * std::pow(hi / lo, double(i) / double(n - 1));
    return f;
}

struct Curve {
    std::string label;
    std::vector<double> x, y, z;  // response: f, dB, degrees; curve: in dB, out dB, gain dB
};

// ---- drawing ------------------------------------------------------------------------

struct Range {
    double lo, hi, step;
};

Range nice_range(double lo, double hi, double min_span, int ticks = 6)
{
    if (!(hi - lo >= min_span)) {
        double mid = std::isfinite(lo + hi) ? 0.5 * (lo + hi) : 0.0;
        lo = mid - min_span / 2;
        hi = mid + min_span / 2;
    }
    double raw = (hi - lo) / ticks;
    double mag = std::pow(10.0, std::floor(std::log10(raw)));
    double step = mag;
    for (double k : {1.0, 2.0, 5.0, 10.0})
        if (raw <= k * mag) {
            step = k * mag;
            break;
        }
    return {std::floor(lo / step + 1e-9) * step, std::ceil(hi / step - 1e-9) * step, step};
}

// PLplot treats '#' as the start of an escape sequence.
std::string plain(const std::string &s)
{
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '#')
            out += '#';
    }
    return out;
}

void frequency_label(PLINT axis, PLFLT value, char *text, PLINT length, PLPointer)
{
    double f = std::pow(10.0, value);
    if (axis == PL_X_AXIS && f >= 1000)
        std::snprintf(text, std::size_t(length), "%gk", std::round(f / 100) / 10);
    else
        std::snprintf(text, std::size_t(length), "%g", std::round(f * 1000) / 1000);
}

// Writes a line above or below the current viewport, centred on it, at `scale` or smaller
// so that it fits the page width (long box texts and message lists shrink, not spill).
void fitted_text(const char *side, double disp, const std::string &text, double scale)
{
    PLFLT sx0, sx1, sy0, sy1, vx0, vx1, vy0, vy1;
    plgspa(&sx0, &sx1, &sy0, &sy1);
    plgvpd(&vx0, &vx1, &vy0, &vy1);
    const double centre = 0.5 * (vx0 + vx1);
    const double room = 2.0 * std::min(centre, 1.0 - centre) * (sx1 - sx0) * 0.97;  // millimetres
    std::string shown = plain(text);
    plschr(0, scale);
    // PLplot gives the character height; the sans-serif faces of the cairo drivers average
    // a little under 0.66 of it per character.
    PLFLT default_height, height;
    plgchr(&default_height, &height);
    std::size_t characters = 0;
    for (unsigned char c : text)
        characters += (c & 0xC0) != 0x80;
    double length = 0.66 * height * double(characters);
    if (length > room)
        plschr(0, std::max(0.45, scale * room / length));
    plmtex(side, disp, 0.5, 0.5, shown.c_str());
    plschr(0, 1.0);
}

// PLplot ends the process on fatal errors; the half-written picture must not stay behind.
std::string drawing_file;
int on_plplot_exit(const char *message)
{
    if (!drawing_file.empty())
        std::remove(drawing_file.c_str());
    note(std::string("drawing failed: ") + (message ? message : "PLplot error"));
    return exit_failed;
}

const unsigned char palette[][3] = {{0, 114, 178},  {213, 94, 0},  {0, 158, 115}, {204, 121, 167},
                                    {230, 159, 0},  {86, 180, 233}, {120, 60, 20}, {0, 0, 0}};
constexpr int first_series_colour = 4;
constexpr int palette_size = int(sizeof palette / sizeof palette[0]);

void draw_line(const std::vector<double> &x, const std::vector<double> &y, bool phase)
{
    std::vector<PLFLT> px, py;
    auto flush = [&] {
        if (px.size() > 1)
            plline(PLINT(px.size()), px.data(), py.data());
        px.clear();
        py.clear();
    };
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!std::isfinite(x[i]) || !std::isfinite(y[i])) {
            flush();
            continue;
        }
        if (phase && !py.empty() && std::fabs(y[i] - py.back()) > 180)
            flush();
        px.push_back(x[i]);
        py.push_back(y[i]);
    }
    flush();
}

void draw_legend(const Panel &p)
{
    // Where the curves rarely go: top left for level curves (above the lower knee of the
    // line), bottom left for responses (below the pass band).
    const PLINT corner = p.unity ? PL_POSITION_TOP | PL_POSITION_LEFT : PL_POSITION_BOTTOM | PL_POSITION_LEFT;
    std::vector<const char *> texts;
    std::vector<std::string> labels;
    for (const auto &s : p.series)
        labels.push_back(plain(s.label));
    std::vector<PLINT> opts, colours, styles, text_colours;
    std::vector<PLFLT> widths;
    for (std::size_t k = 0; k < p.series.size(); ++k) {
        texts.push_back(labels[k].c_str());
        opts.push_back(PL_LEGEND_LINE);
        colours.push_back(first_series_colour + PLINT(k % palette_size));
        styles.push_back(1);
        widths.push_back(3.0);
        text_colours.push_back(1);
    }
    PLINT n = PLINT(texts.size());
    PLFLT w = 0, h = 0;
    pllegend(&w, &h, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX, PL_POSITION_INSIDE | corner, 0.01, 0.02, 0.06, 0, 1, 1, 0, 0, n, opts.data(), 0.8, 0.9, 1.6, 0.0, text_colours.data(), texts.data(),
             nullptr, nullptr, nullptr, nullptr, colours.data(), styles.data(), widths.data(), nullptr, nullptr, nullptr,
             nullptr);
}

void draw(const Figure &fig, const std::string &path, const std::string &device, int width, int height)
{
    drawing_file = path;
    plsexit(on_plplot_exit);
    plsdev(device.c_str());
    plsfnam(path.c_str());
    plspage(0, 0, width, height, 0, 0);
    plscmap0n(first_series_colour + palette_size);
    plscol0(0, 255, 255, 255);  // background
    plscol0(1, 0, 0, 0);        // axes and text
    plscol0(2, 215, 215, 215);  // grid
    plscol0(3, 110, 110, 110);  // reference lines
    for (int k = 0; k < palette_size; ++k)
        plscol0(first_series_colour + k, palette[k][0], palette[k][1], palette[k][2]);
    plinit();
    pladv(0);
    plslabelfunc(frequency_label, nullptr);

    const double left = 0.09, right = 0.975, top = 0.86, bottom = 0.115, gap = 0.035;
    double total_weight = 0;
    for (const auto &p : fig.panels)
        total_weight += p.weight;
    const double usable = top - bottom - gap * double(fig.panels.size() - 1);
    double y_top = top;
    for (std::size_t i = 0; i < fig.panels.size(); ++i) {
        const Panel &p = fig.panels[i];
        const bool last = i + 1 == fig.panels.size();
        double y_bottom = y_top - usable * p.weight / total_weight;
        plvpor(left, right, y_bottom, y_top);

        // y range: fixed, or from the finite data
        double lo = HUGE_VAL, hi = -HUGE_VAL;
        for (const auto &s : p.series)
            for (double y : s.y)
                if (std::isfinite(y) && y > floor_db) {
                    lo = std::min(lo, y);
                    hi = std::max(hi, y);
                }
        if (p.unity) {
            lo = std::min(lo, p.xmin);
            hi = std::max(hi, p.xmax);
        }
        if (!(lo <= hi))
            lo = hi = 0;
        if (p.y_floor_below_top)
            lo = std::max(lo, hi - *p.y_floor_below_top);
        Range yr = nice_range(lo, hi, p.min_span);
        if (p.ymin)
            yr = {*p.ymin, *p.ymax, *p.ystep};
        double x0 = p.logx ? std::log10(p.xmin) : p.xmin, x1 = p.logx ? std::log10(p.xmax) : p.xmax;
        plwind(x0, x1, yr.lo, yr.hi);

        plcol0(2);
        plwidth(1.0);
        plbox(p.logx ? "ghl" : "g", 0, 0, "g", yr.step, 0);
        if (p.unity) {
            plcol0(3);
            plwidth(1.5);
            pllsty(2);
            PLFLT ux[2] = {p.xmin, p.xmax}, uy[2] = {p.xmin, p.xmax};
            plline(2, ux, uy);
            pllsty(1);
        }
        for (std::size_t k = 0; k < p.series.size(); ++k) {
            const Series &s = p.series[k];
            plcol0(first_series_colour + PLINT(k % palette_size));
            plwidth(2.5);
            if (p.logx) {
                std::vector<double> lx(s.x.size());
                for (std::size_t j = 0; j < s.x.size(); ++j)
                    lx[j] = s.x[j] > 0 ? std::log10(s.x[j]) : NAN;
                draw_line(lx, s.y, s.phase);
            } else {
                draw_line(s.x, s.y, s.phase);
            }
        }
        plcol0(1);
        plwidth(1.0);
        std::string xopt = std::string("bcst") + (last ? "n" : "") + (p.logx ? "lo" : "");
        plbox(xopt.c_str(), 0, 0, "bcnstv", yr.step, 0);
        plschr(0, 1.0);
        plmtex("l", 5.2, 0.5, 0.5, plain(p.ylabel).c_str());
        if (last)
            plmtex("b", 2.6, 0.5, 0.5, plain(fig.xlabel).c_str());
        if (i == 0) {
            fitted_text("t", 2.7, fig.title, 1.2);
            fitted_text("t", 1.0, fig.caption, 0.85);
        }
        if (p.series.size() > 1 && (i == 0 || p.unity))
            draw_legend(p);
        y_top = y_bottom - gap;
    }
    plend();
    plsexit(nullptr);
    drawing_file.clear();
}

// The picture goes to a temporary file beside the destination and is renamed when done.
struct Picture {
    std::string device, temporary, destination;
    int width = 0, height = 0;
    ~Picture()
    {
        if (!temporary.empty())
            std::remove(temporary.c_str());
    }
};

void prepare_picture(Picture &pic, const PlotOptions &o)
{
    if (o.out.empty())
        throw BadInput("--out FILE.png or FILE.svg is required");
    std::string ext = lower(fs::path(o.out).extension().string());
    if (ext == ".png")
        pic.device = "pngcairo";
    else if (ext == ".svg")
        pic.device = "svgcairo";
    else
        throw BadInput("--out '" + o.out + "': the picture must be a .png or .svg file");
    std::size_t x = lower(o.size).find('x');
    auto w = x == std::string::npos ? std::nullopt : parse_count(o.size.substr(0, x));
    auto h = x == std::string::npos ? std::nullopt : parse_count(o.size.substr(x + 1));
    if (!w || !h || *w < 200 || *h < 150 || *w > 10000 || *h > 10000)
        throw BadInput("--size '" + o.size + "': expected WIDTHxHEIGHT in pixels, from 200x150 to 10000x10000");
    pic.width = int(*w);
    pic.height = int(*h);
    fs::path dest(o.out);
    fs::path dir = dest.has_parent_path() ? dest.parent_path() : fs::path(".");
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw BadInput("--out '" + o.out + "': folder '" + dir.string() + "' does not exist");
    if (fs::is_directory(dest, ec))
        throw BadInput("--out '" + o.out + "' is a folder");
    pic.destination = o.out;
    pic.temporary = (dir / ("." + dest.filename().string() + ".part" + std::to_string(getpid()))).string();
    std::FILE *probe = std::fopen(pic.temporary.c_str(), "wb");
    if (!probe) {
        pic.temporary.clear();
        throw BadInput("--out '" + o.out + "': cannot write in folder '" + dir.string() + "'");
    }
    std::fclose(probe);
}

void finish_picture(Picture &pic, const Figure &fig)
{
    draw(fig, pic.temporary, pic.device, pic.width, pic.height);
    std::error_code ec;
    if (fs::file_size(pic.temporary, ec) == 0 || ec)
        throw Failure("PLplot wrote nothing to '" + pic.destination + "'");
    fs::rename(pic.temporary, pic.destination, ec);
    if (ec)
        throw Failure("cannot rename the picture to '" + pic.destination + "': " + ec.message());
    pic.temporary.clear();
}

std::string csv_field(const std::string &s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string csv_number(double v)
{
    if (std::isnan(v))
        return "";
    if (v <= floor_db)
        return "-inf";
    return number_text(v);
}

std::string title_of(const PlotOptions &o)
{
    std::string t = box_text(o);
    for (const auto &m : o.messages)
        t += "  |  " + trim(m);
    return t;
}

std::string rate_text(double sr) { return number_text(sr) + " Hz"; }

// ---- the three kinds ------------------------------------------------------------------

int plot_response(const PlotOptions &o, Measure &m, const std::vector<Variant> &variants, Picture &pic)
{
    const double nyquist = m.sr / 2;
    if (!(nyquist > lowest_frequency * 2))
        throw BadInput("sample rate " + rate_text(m.sr) + " is too low for a response from 10 Hz");
    std::string method = lower(o.method);
    if (method != "auto" && method != "impulse" && method != "sines")
        throw BadInput("--method '" + o.method + "': expected auto, impulse or sines");
    if (method == "auto") {
        method = "impulse";
        for (const auto &v : variants)
            if (!behaves_linearly(m, v)) {
                method = "sines";
                break;
            }
    }
    const double amplitude = std::pow(10.0, o.level_db / 20);
    std::vector<Curve> curves;
    for (const auto &v : variants) {
        bool speak = &v != &variants.front();  // the box made up front spoke for the first
        Curve c;
        c.label = v.label;
        if (method == "impulse") {
            auto h = impulse_response(m, v, !speak);
            c.x = log_frequencies(lowest_frequency, nyquist, 600);
            for (double f : c.x) {
                auto H = transfer_at(h, 2.0 * M_PI * f / m.sr);
                c.y.push_back(to_db(std::abs(H)));
                c.z.push_back(std::abs(H) > 0 ? std::arg(H) * 180.0 / M_PI : NAN);
            }
        } else {
            c.x = log_frequencies(lowest_frequency, nyquist * 0.96, 72);
            for (double f : c.x) {
                check_interrupt();
                auto H = sine_transfer(m, v, f, amplitude, !speak);
                speak = false;
                c.y.push_back(to_db(std::abs(H)));
                c.z.push_back(std::abs(H) > 0 ? std::arg(H) * 180.0 / M_PI : NAN);
            }
        }
        curves.push_back(std::move(c));
    }

    Figure fig;
    fig.title = title_of(o);
    fig.caption = "signal outlet " + std::to_string(o.outlet) + ", " +
                  (method == "impulse" ? "from the impulse response"
                                       : "from stepped sines at " + number_text(o.level_db) + " dBFS") +
                  ", at " + rate_text(m.sr);
    fig.xlabel = "Frequency (Hz)";
    Panel mag, phase;
    mag.ylabel = "Magnitude (dB)";
    phase.ylabel = "Phase (degrees)";
    for (Panel *p : {&mag, &phase}) {
        p->logx = true;
        p->xmin = lowest_frequency;
        p->xmax = nyquist;
    }
    mag.weight = 0.62;
    mag.min_span = 12;
    mag.y_floor_below_top = 96;
    phase.weight = 0.38;
    phase.ymin = -180;
    phase.ymax = 180;
    phase.ystep = 90;
    for (const auto &c : curves) {
        mag.series.push_back({c.label, c.x, c.y});
        phase.series.push_back({c.label, c.x, c.z, true});
    }
    fig.panels = {mag, phase};
    if (!o.data.empty()) {
        TextWriter w(o.data);
        std::fprintf(w.stream(), "curve,frequency_hz,magnitude_db,phase_deg\n");
        for (const auto &c : curves)
            for (std::size_t i = 0; i < c.x.size(); ++i)
                std::fprintf(w.stream(), "%s,%s,%s,%s\n", csv_field(c.label).c_str(), number_text(c.x[i]).c_str(),
                             csv_number(c.y[i]).c_str(), csv_number(c.z[i]).c_str());
        w.finish();
    }
    finish_picture(pic, fig);
    return exit_ok;
}

int plot_curve(const PlotOptions &o, Measure &m, const std::vector<Variant> &variants, Picture &pic)
{
    if (!(o.tone >= 0 && o.tone < m.sr / 2))
        throw BadInput("--tone " + number_text(o.tone) + " Hz must be from 0 (a constant level) to below half the sample rate");
    const std::int64_t settle = std::llround(o.settle * m.sr);
    const std::int64_t window =
        std::max(std::llround(0.2 * m.sr), o.tone > 0 ? std::llround(20.0 * m.sr / o.tone) : std::int64_t(0));
    // A sine's level is its peak: sqrt(2) times its RMS. A constant's level is its value.
    const double crest = o.tone > 0 ? std::sqrt(2.0) : 1.0;
    std::vector<Curve> curves;
    std::vector<bool> gain_outlet;
    for (const auto &v : variants) {
        bool speak = &v != &variants.front();  // the box made up front spoke for the first
        Curve c;
        c.label = v.label;
        std::vector<std::vector<double>> means, rmss;  // per level, per signal outlet
        for (int level = -90; level <= 12; ++level) {
            check_interrupt();
            Hush hush(!speak);
            speak = false;
            Rig r = make_rig(o, m.sr, m.messages, v);
            double amplitude = std::pow(10.0, level / 20.0);
            // Constant levels are negative, so that an audio outlet's mean stays apart from a
            // gain outlet's (which is positive whatever the input's sign).
            Generator gen = o.tone > 0 ? sine_generator(o.tone, amplitude, m.sr)
                                       : Generator([amplitude](double *out, long n, std::int64_t) {
                                             std::fill(out, out + n, -amplitude);
                                         });
            for (int k : m.feed)
                r.patch->feed(r.box, k, gen);
            for (int k : r.signal_outlets)
                r.patch->capture(r.box, k);
            run_frames(*r.patch, settle + window);
            std::vector<double> mean, rms;
            for (int k : r.signal_outlets) {
                const auto &y = r.patch->output(r.box, k);
                double s = 0, ss = 0;
                for (std::int64_t i = settle; i < settle + window; ++i) {
                    s += y[std::size_t(i)];
                    ss += y[std::size_t(i)] * y[std::size_t(i)];
                }
                mean.push_back(s / double(window));
                rms.push_back(std::sqrt(ss / double(window)));
            }
            c.x.push_back(level);
            c.y.push_back(to_db(crest * rms[std::size_t(m.outlet)]));
            means.push_back(mean);
            rmss.push_back(rms);
        }
        // A gain outlet carries a positive level that follows the input's envelope, not its
        // waveform: at the loudest tone its mean is its RMS, where an audio outlet's mean is 0
        // (or negative, for constant levels).
        if (gain_outlet.empty()) {
            gain_outlet.assign(means.back().size(), false);
            for (std::size_t k = 0; k < gain_outlet.size(); ++k)
                gain_outlet[k] = int(k) != m.outlet && rmss.back()[k] > 0 && means.back()[k] >= 0.9 * rmss.back()[k];
        }
        auto g = std::find(gain_outlet.begin(), gain_outlet.end(), true);
        for (std::size_t i = 0; i < means.size(); ++i)
            c.z.push_back(g == gain_outlet.end() ? NAN : to_db(means[i][std::size_t(g - gain_outlet.begin())]));
        curves.push_back(std::move(c));
    }
    auto g = std::find(gain_outlet.begin(), gain_outlet.end(), true);
    const bool has_gain = g != gain_outlet.end();

    Figure fig;
    fig.title = title_of(o);
    fig.caption = "signal outlet " + std::to_string(o.outlet) + ", " +
                  (o.tone > 0 ? number_text(o.tone) + " Hz tones (level = peak)" : "constant levels") + " settled for " +
                  number_text(o.settle) + " s, at " + rate_text(m.sr);
    fig.xlabel = "Input level (dBFS)";
    Panel out;
    out.ylabel = "Output level (dBFS)";
    out.xmin = -90;
    out.xmax = 12;
    out.unity = true;
    out.min_span = 12;
    out.weight = has_gain ? 0.66 : 1.0;
    Panel gain = out;
    gain.ylabel = "Gain outlet (dB)";
    gain.unity = false;
    gain.weight = 0.34;
    for (const auto &c : curves) {
        out.series.push_back({c.label, c.x, c.y});
        gain.series.push_back({c.label, c.x, c.z});
    }
    fig.panels = {out};
    if (has_gain) {
        int index = int(g - gain_outlet.begin());
        gain.ylabel = "Gain (dB)";
        fig.caption += "; gain: signal outlet " + std::to_string(index);
        fig.panels.push_back(gain);
    }
    if (!o.data.empty()) {
        TextWriter w(o.data);
        std::fprintf(w.stream(), "curve,input_db,output_db,gain_db\n");
        for (const auto &c : curves)
            for (std::size_t i = 0; i < c.x.size(); ++i)
                std::fprintf(w.stream(), "%s,%s,%s,%s\n", csv_field(c.label).c_str(), number_text(c.x[i]).c_str(),
                             csv_number(c.y[i]).c_str(), csv_number(c.z[i]).c_str());
        w.finish();
    }
    finish_picture(pic, fig);
    return exit_ok;
}

int plot_wave(const PlotOptions &o, const std::vector<Message> &messages, const std::vector<Variant> &variants, Picture &pic)
{
    std::map<int, TestSignal> signals;
    for (const auto &text : o.signals) {
        TestSignal s = parse_signal(text);
        if (!signals.emplace(s.inlet, s).second)
            throw BadInput("signal inlet " + std::to_string(s.inlet) + " is given twice ('" + signals[s.inlet].text +
                           "' and '" + text + "')");
    }
    std::unique_ptr<SoundReader> reader;
    if (!o.in.empty())
        reader = std::make_unique<SoundReader>(o.in);
    for (const auto &[inlet, form] : signals)
        if (reader && inlet < reader->channels())
            throw BadInput("signal inlet " + std::to_string(inlet) + " is fed by both '" + o.in + "' (channel " +
                           std::to_string(inlet) + ") and --signal '" + form.text + "'");
    const double sr = o.samplerate ? *o.samplerate : reader ? reader->samplerate() : default_samplerate;
    if (!(sr > 0 && sr <= 10e6))
        throw BadInput("sample rate " + number_text(sr) + " Hz is out of range (above 0, at most 10 MHz)");
    std::int64_t frames = o.seconds ? std::llround(*o.seconds * sr) : reader ? reader->frames() : std::llround(0.1 * sr);
    if (frames <= 0)
        throw BadInput("nothing to draw: the wave plot needs a length above 0 (--seconds)");
    if (frames > std::int64_t(sr * 600))
        throw BadInput("a wave plot draws at most 600 s");

    std::vector<std::vector<std::vector<double>>> outputs;  // per variant, per signal outlet
    std::vector<int> outlet_indices;
    std::vector<Variant> named = variants;
    for (const auto &v : variants) {
        Rig r = make_rig(o, sr, messages, v);
        if (&v == &variants.front())
            name_variants(named, *r.box);
        if (r.signal_outlets.empty())
            throw BadInput(o.name + " has no signal outlet to draw");
        const int signal_inlets = r.box->signal_inlets();
        if (reader && reader->channels() > signal_inlets)
            throw BadInput("'" + o.in + "' has " + std::to_string(reader->channels()) + " channels but " + o.name +
                           " has " + std::to_string(signal_inlets) + " signal inlets");
        for (const auto &[inlet, form] : signals)
            if (inlet >= signal_inlets)
                throw BadInput("signal '" + form.text + "': " + o.name + " has no signal inlet " + std::to_string(inlet));
        Schedule schedule;
        for (const auto &m : messages)
            if (m.timed())
                schedule.add({m.due_sample(sr), r.box, m.inlet, m.selector, m.args, m.text});
        if (reader) {
            SoundReader *rd = reader.get();
            for (int c = 0; c < rd->channels(); ++c)
                r.patch->feed(r.box, c, [rd, c](double *out, long n, std::int64_t start) { rd->read(c, start, n, out); });
        }
        for (const auto &[inlet, form] : signals)
            r.patch->feed(r.box, inlet, make_generator(form, sr, frames));
        for (int k : r.signal_outlets)
            r.patch->capture(r.box, k);
        try {
            run_scheduled(*r.patch, schedule, frames, 16384, [](std::int64_t) {});
        } catch (const tk::Error &e) {
            throw Failure(o.name + ": " + e.what());
        }
        std::vector<std::vector<double>> outs;
        for (int k : r.signal_outlets) {
            auto y = r.patch->output(r.box, k);
            y.resize(std::size_t(frames));
            outs.push_back(std::move(y));
        }
        outlet_indices = r.signal_outlets;
        outputs.push_back(std::move(outs));
    }

    // Time in ms for short plots, in seconds for long ones.
    const double seconds = double(frames) / sr;
    const bool in_ms = seconds < 2.0;
    const double unit = in_ms ? 1000.0 : 1.0;
    // More points than pixels become a min/max envelope per column, which draws the same.
    const std::int64_t columns = std::int64_t(pic.width) * 2;
    Figure fig;
    fig.title = title_of(o);
    std::string input = o.in.empty() ? "" : o.in;
    for (const auto &s : o.signals)
        input += (input.empty() ? "" : ", ") + s;
    fig.caption = "outputs for input " + (input.empty() ? std::string("silence") : input) + ", " + rate_text(sr);
    fig.xlabel = in_ms ? "Time (ms)" : "Time (s)";
    for (std::size_t k = 0; k < outlet_indices.size(); ++k) {
        Panel p;
        p.ylabel = "Outlet " + std::to_string(k);
        p.xmin = 0;
        p.xmax = seconds * unit;
        p.min_span = 1e-6;
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const auto &y = outputs[v][k];
            Series s;
            s.label = named[v].label;
            if (frames <= columns) {
                for (std::int64_t i = 0; i < frames; ++i) {
                    s.x.push_back(double(i) / sr * unit);
                    s.y.push_back(y[std::size_t(i)]);
                }
            } else {
                for (std::int64_t c = 0; c < columns; ++c) {
                    std::int64_t a = frames * c / columns, b = frames * (c + 1) / columns;
                    auto [lo, hi] = std::minmax_element(y.begin() + a, y.begin() + b);
                    double t = double(a) / sr * unit;
                    s.x.push_back(t);
                    s.y.push_back(*lo);
                    s.x.push_back(t);
                    s.y.push_back(*hi);
                }
            }
            p.series.push_back(std::move(s));
        }
        fig.panels.push_back(std::move(p));
    }
    if (!o.data.empty()) {
        TextWriter w(o.data);
        std::fprintf(w.stream(), "curve,outlet,time_s,value\n");
        for (std::size_t v = 0; v < variants.size(); ++v)
            for (std::size_t k = 0; k < outlet_indices.size(); ++k)
                for (std::int64_t i = 0; i < frames; ++i)
                    std::fprintf(w.stream(), "%s,%zu,%s,%s\n", csv_field(named[v].label).c_str(), k,
                                 number_text(double(i) / sr).c_str(), number_text(outputs[v][k][std::size_t(i)]).c_str());
        w.finish();
    }
    finish_picture(pic, fig);
    return exit_ok;
}

}  // namespace

int run_plot(const PlotOptions &o)
{
    set_console_fallback_name(o.name);
    const std::string kind = lower(o.kind);
    if (kind != "response" && kind != "curve" && kind != "wave")
        throw BadInput("unknown plot kind '" + o.kind + "' (response, curve or wave)");
    if (kind != "wave" && (!o.in.empty() || !o.signals.empty() || o.seconds))
        throw BadInput("--in, --signal and --seconds belong to wave plots; " + kind + " makes its own test signals");
    if (kind == "wave" && !o.feed.empty())
        throw BadInput("--feed belongs to response and curve plots; a wave plot is fed by --in and --signal");
    if (!(o.settle >= 0 && o.settle <= 60))
        throw BadInput("--settle " + number_text(o.settle) + " s is out of range (0 to 60)");
    if (!(o.level_db >= -120 && o.level_db <= 24))
        throw BadInput("--level " + number_text(o.level_db) + " dBFS is out of range (-120 to 24)");
    if (o.block < 1 || o.block > 4096)
        throw BadInput("--block " + std::to_string(o.block) + " is out of range (1 to 4096)");
    std::vector<Message> messages;
    for (const auto &text : o.messages) {
        messages.push_back(parse_message(text));
        if (kind != "wave" && messages.back().timed())
            throw BadInput("message '" + text + "': timed messages belong to wave plots; " + kind +
                           " measures settled behaviour");
    }
    std::vector<Variant> variants = parse_vary(o.vary);
    Picture pic;
    prepare_picture(pic, o);

    if (kind == "wave")
        return plot_wave(o, messages, variants, pic);

    const double sr = o.samplerate ? *o.samplerate : default_samplerate;
    if (!(sr > 0 && sr <= 10e6))
        throw BadInput("sample rate " + number_text(sr) + " Hz is out of range (above 0, at most 10 MHz)");
    // One box up front: every check against the class before the long measurement starts.
    Measure m{o, sr, messages, o.feed, o.outlet};
    {
        Rig r = make_rig(o, sr, messages, variants.front());
        for (const auto &v : variants)
            if (v.message)
                check_message(*v.message, *r.box);
        name_variants(variants, *r.box);
        const int inlets = r.box->signal_inlets();
        if (inlets == 0)
            throw BadInput(o.name + " has no signal inlet to measure through");
        if (r.signal_outlets.empty())
            throw BadInput(o.name + " has no signal outlet to measure");
        if (o.outlet < 0 || o.outlet >= int(r.signal_outlets.size()))
            throw BadInput("--outlet " + std::to_string(o.outlet) + ": " + o.name + " has " +
                           std::to_string(r.signal_outlets.size()) + " signal outlets (0 to " +
                           std::to_string(r.signal_outlets.size() - 1) + ")");
        if (m.feed.empty()) {
            // Filters take their signal at the left inlet (the others are controls); the
            // dynamics processors are stereo and want both channels driven alike.
            m.feed.push_back(0);
            if (kind == "curve" && inlets >= 2 && r.signal_outlets.size() >= 2)
                m.feed.push_back(1);
        }
        for (int k : m.feed)
            if (k < 0 || k >= inlets)
                throw BadInput("--feed " + std::to_string(k) + ": " + o.name + " has " + std::to_string(inlets) +
                               " signal inlets (0 to " + std::to_string(inlets - 1) + ")");
    }
    if (kind == "response")
        return plot_response(o, m, variants, pic);
    return plot_curve(o, m, variants, pic);
}

}  // namespace tilde
