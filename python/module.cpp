// tildekit._tildekit: boxes of the headless host as Python objects that process numpy arrays,
// and sound files through the same libsndfile code as the tilde command.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audiofile.h"
#include "common.h"
#include "messages.h"
#include "tildehost.h"

#ifndef TILDEKIT_PACKAGE_VERSION
#define TILDEKIT_PACKAGE_VERSION "unknown"
#endif

namespace tilde {
// tools/info.cpp: what `tilde info --json NAME` prints.
std::string info_json_text(const std::string &name);
}  // namespace tilde

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

// Samples per run between two looks at the events (and at Ctrl-C) in a call.
constexpr std::int64_t chunk_frames = 16384;
std::thread::id main_thread;

py::object external_error;    // tildekit.ExternalError
py::object external_warning;  // tildekit.ExternalWarning

class PyBox;

// Console lines go to the box that is working on this thread; lines posted while a class is
// loaded are its banner (kept in the class's info), and the rest go to stderr as tilde prints them.
thread_local PyBox *current_box = nullptr;
thread_local bool loading_class = false;

struct Line {
    bool error;
    std::string text;
};

class PyBox;
void take_line(PyBox *box, const tk::ConsoleLine &line);

void console_sink(const tk::ConsoleLine &line)
{
    if (current_box) {
        take_line(current_box, line);
        return;
    }
    if (loading_class && line.kind == tk::ConsoleLine::Post)
        return;
    std::string who = line.object.empty() ? "tildekit" : line.object;
    std::fprintf(stderr, "%s: %s%s\n", who.c_str(), line.kind == tk::ConsoleLine::Error ? "error: " : "",
                 line.text.c_str());
}

// Sets the thread's current box for the lifetime of the guard.
struct Current {
    PyBox *saved;
    explicit Current(PyBox *b) : saved(current_box) { current_box = b; }
    ~Current() { current_box = saved; }
};

const tk::ClassInfo &load(const std::string &name)
{
    struct Loading {
        PyBox *saved = current_box;
        Loading() { loading_class = true; current_box = nullptr; }
        ~Loading() { loading_class = false; current_box = saved; }
    } guard;
    return tk::load_class(name);
}

// ---- atoms and messages ---------------------------------------------------------------

tk::Atom to_atom(const py::handle &h, const std::string &what)
{
    if (PyBool_Check(h.ptr()))
        return tk::Atom(std::int64_t(h.ptr() == Py_True));
    if (py::isinstance<py::str>(h))
        return tk::Atom(h.cast<std::string>());
    if (PyFloat_Check(h.ptr()))
        return tk::Atom(h.cast<double>());
    if (PyIndex_Check(h.ptr()))  // int and numpy's integers
        return tk::Atom(py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr())).cast<std::int64_t>());
    if (PyNumber_Check(h.ptr()))  // numpy's floats and other number types
        return tk::Atom(py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>());
    throw py::type_error(what + ": " + std::string(py::str(py::type::handle_of(h).attr("__name__"))) +
                         " is neither a number nor a string");
}

bool is_inlet_number(const py::handle &h) { return !PyBool_Check(h.ptr()) && PyLong_Check(h.ptr()); }

// A message from Python items: ("ratio", 8), (1, 2000.0) — a number at inlet 1 —, (3),
// (0, 1, 2, 3) — a list at inlet 0. `inlet` given by keyword takes the place of the first rule.
tilde::Message make_message(const std::vector<py::handle> &items, std::optional<int> inlet)
{
    tilde::Message m;
    std::size_t i = 0;
    if (items.empty())
        throw py::value_error("a message needs a selector or a number");
    if (!inlet && items.size() > 1 && is_inlet_number(items[0])) {
        long long k = items[0].cast<long long>();
        if (k < 0 || k > 1000000)
            throw py::value_error("inlet " + std::to_string(k) + " does not exist");
        inlet = int(k);
        i = 1;
    }
    if (inlet && *inlet < 0)
        throw py::value_error("inlet " + std::to_string(*inlet) + " does not exist");
    m.inlet = inlet.value_or(0);
    tk::Atoms atoms;
    for (; i < items.size(); ++i)
        atoms.push_back(to_atom(items[i], "message argument"));
    if (atoms[0].is_symbol() && std::get<std::string>(atoms[0].v).empty())
        throw py::value_error("a message selector is empty");
    m.set_content(atoms);
    m.text = (m.inlet ? std::to_string(m.inlet) + ":" : std::string()) + tk::atoms_text(atoms);
    return m;
}

// A timed message: a string as `tilde render -m` takes it ("@0.5 Bypass 1", "@512s 1:float 3"),
// or a tuple (time, items...) with the time in seconds, or a string "512s" for samples.
tilde::Message make_timed_message(const py::handle &h)
{
    if (py::isinstance<py::str>(h)) {
        std::string text = h.cast<std::string>();
        try {
            tilde::Message m = tilde::parse_message(text);
            if (!m.timed())
                m.at_samples = 0;
            return m;
        } catch (const tilde::BadInput &e) {
            throw py::value_error(e.what());
        }
    }
    if (!py::isinstance<py::tuple>(h) && !py::isinstance<py::list>(h))
        throw py::type_error("a timed message is a tuple (time, selector, args...) or a string \"@time selector args...\"");
    py::sequence seq = py::reinterpret_borrow<py::sequence>(h);
    if (py::len(seq) < 2)
        throw py::value_error("a timed message needs a time and a selector or number: (0.5, \"Bypass\", 1)");
    std::vector<py::handle> items;
    for (std::size_t i = 1; i < py::len(seq); ++i)
        items.push_back(seq[i]);
    tilde::Message m = make_message(items, std::nullopt);
    py::object t = seq[0];
    std::string shown;
    if (py::isinstance<py::str>(t)) {
        std::string s = t.cast<std::string>();
        std::optional<std::int64_t> n;
        if (s.size() > 1 && s.back() == 's')
            n = tilde::parse_count(s.substr(0, s.size() - 1));
        if (!n)
            throw py::value_error("message time '" + s + "': a string time is a whole number of samples, like \"512s\"");
        m.at_samples = *n;
        shown = "@" + s;
    } else {
        if (PyBool_Check(t.ptr()) || !PyNumber_Check(t.ptr()))
            throw py::type_error("message time " + std::string(py::repr(t)) + ": seconds as a number, or samples as a string like \"512s\"");
        double sec = py::float_(t).cast<double>();
        if (!(sec >= 0 && sec <= 1e9))
            throw py::value_error("message time " + std::string(py::repr(t)) + " is not a time in seconds (0 or more)");
        m.at_seconds = sec;
        shown = "@" + tilde::number_text(sec);
    }
    m.text = shown + " " + m.text;
    return m;
}

py::object atom_object(const tk::Atom &a)
{
    if (a.is_int())
        return py::int_(std::get<std::int64_t>(a.v));
    if (a.is_float())
        return py::float_(std::get<double>(a.v));
    return py::str(std::get<std::string>(a.v));
}

// (sample, outlet, value): value None for a bang, an int or a float, a tuple of the atoms of a
// list, or (selector, atoms...) for any other message.
py::object event_tuple(const tk::Event &e, std::int64_t origin)
{
    py::object value = py::none();
    switch (e.kind) {
    case tk::Event::Bang: break;
    case tk::Event::Int: value = py::int_(std::llround(e.value)); break;
    case tk::Event::Float: value = py::float_(e.value); break;
    case tk::Event::List:
    case tk::Event::Message: {
        py::list items;
        if (e.kind == tk::Event::Message)
            items.append(py::str(e.selector));
        for (const auto &a : e.atoms)
            items.append(atom_object(a));
        value = py::tuple(items);
        break;
    }
    }
    return py::make_tuple(e.sample - origin, e.outlet, value);
}

// ---- the box ------------------------------------------------------------------------------

class PyBox {
public:
    PyBox(const std::string &name, const tk::Atoms &args, double sr, int block, bool legacy)
        : name_(name), args_(args), sr_(sr), block_(block), legacy_(legacy)
    {
        if (!(sr >= 1.0 && sr <= 10e6))
            throw py::value_error("sample_rate " + tilde::number_text(sr) + " Hz is out of range (1 Hz to 10 MHz)");
        if (block < 1 || block > 4096)
            throw py::value_error("block " + std::to_string(block) + " is out of range (1 to 4096 samples)");
        text_ = name_;
        if (!args_.empty())
            text_ += " " + tk::atoms_text(args_);
        try {
            load(name_);
        } catch (const tk::Error &e) {
            throw_external(tilde::cannot_load(name_, e.what()).what());
        }
        make();
        flush_warnings();  // wrong creation arguments: the external's own error lines
        if (legacy_ && !has_method("dsp"))
            warn(name_ + " has no legacy 32-bit path; processing with its 64-bit one");
    }

    ~PyBox()
    {
        Current c(this);
        patch_.reset();
    }

    // ---- processing ----
    py::object call(py::object x, py::object messages, py::object dtype, bool want_events)
    {
        Busy busy(this);
        bool f32_out = parse_dtype(dtype);
        // the input: a frame count, or (frames,) / (frames, k) float32 / float64, C-contiguous
        std::int64_t frames = 0;
        int cols = 0;
        const void *data = nullptr;
        bool f32_in = false;
        py::array arr;
        if (is_inlet_number(x)) {
            frames = x.cast<std::int64_t>();
            if (frames < 0)
                throw py::value_error(text_ + ": a frame count must not be negative");
        } else {
            if (!py::isinstance<py::array>(x))
                throw py::type_error(text_ + ": expected a numpy array of " + shape_text() + " (or a frame count), got " +
                                     std::string(py::str(py::type::handle_of(x).attr("__name__"))));
            arr = py::reinterpret_borrow<py::array>(x);
            if (arr.ndim() != 1 && arr.ndim() != 2)
                throw py::value_error(text_ + ": expected an array of " + shape_text() + ", got shape " + shape_of(arr));
            frames = arr.shape(0);
            cols = arr.ndim() == 1 ? 1 : int(arr.shape(1));
            if (cols > signal_inlets() || (arr.ndim() == 1 && signal_inlets() == 0))
                throw py::value_error(text_ + ": expected an array of " + shape_text() + ", got shape " + shape_of(arr));
            if (arr.dtype().is(py::dtype::of<float>()))
                f32_in = true;
            else if (!arr.dtype().is(py::dtype::of<double>()))
                throw py::value_error(text_ + ": expected float64 or float32 samples, got " +
                                      std::string(py::str(arr.dtype())) + " (convert with .astype(numpy.float64))");
            if (!(arr.flags() & py::array::c_style))
                throw py::value_error(text_ + ": the array of shape " + shape_of(arr) +
                                      " is not C-contiguous (frames, then inlets); pass numpy.ascontiguousarray(x)");
            data = arr.data();
        }
        if (fed_ >= 0 && frames > 0 && cols != fed_)
            throw py::value_error(text_ + ": earlier calls fed " + inlets_text(fed_) + ", so expected an array of shape " +
                                  (fed_ == 0 ? std::string("(frames, 0) or a frame count") : "(frames, " + std::to_string(fed_) + ")") +
                                  ", got " + (arr ? "shape " + shape_of(arr) : std::string("a frame count")) +
                                  "; box.reset() starts afresh");

        // timed messages, checked against the box before anything runs
        tilde::Schedule schedule;
        std::vector<tilde::Message> timed;
        if (!messages.is_none()) {
            if (!py::isinstance<py::iterable>(messages) || py::isinstance<py::str>(messages))
                throw py::type_error("messages is a list of (time, selector, args...) tuples or \"@time selector args\" strings");
            for (auto item : py::reinterpret_borrow<py::iterable>(messages))
                timed.push_back(make_timed_message(item));
        }
        for (const auto &m : timed) {
            check(m);
            std::int64_t due = m.due_sample(sr_);
            // it takes effect at the first block boundary at or after it, which must fall inside
            std::int64_t boundary = (due + block_ - 1) / block_ * block_;
            if (boundary >= frames)
                throw py::value_error(text_ + ": message '" + m.text + "' falls at or after the end of the " +
                                      std::to_string(frames) + " frames (messages take effect at the first block boundary at or after their time: sample " +
                                      std::to_string(boundary) + " with block " + std::to_string(block_) + ")");
            schedule.add({due, box_, m.inlet, m.selector, m.args, m.text});
        }

        py::array out = f32_out ? py::array(py::array_t<float>({frames, std::int64_t(signal_outlets_.size())}))
                                : py::array(py::array_t<double>({frames, std::int64_t(signal_outlets_.size())}));
        events_ = py::list();
        if (frames == 0)
            return want_events ? py::object(py::make_tuple(out, events_)) : py::object(out);

        if (fed_ < 0) {  // the first call with frames connects the inlets and outlets for good
            fed_ = cols;
            feed_start_ = patch_->samples_processed();
            for (int c = 0; c < cols; ++c)
                patch_->feed(box_, c, [this, c](double *o, long n, std::int64_t pos) { read_input(c, o, n, pos); });
            // every block of every signal outlet goes straight into the call's array
            tap_pos_.assign(signal_outlets_.size(), 0);
            for (std::size_t j = 0; j < signal_outlets_.size(); ++j)
                patch_->tap(box_, signal_outlets_[j], [this, j](const double *b, long n) { write_output(j, b, n); });
        }

        std::vector<tk::Event> events;
        const std::int64_t origin = patch_->samples_processed();
        void *dst = out.mutable_data();
        {
            Current current(this);
            py::gil_scoped_release nogil;
            in_data_ = data;
            in_f32_ = f32_in;
            in_cols_ = cols;
            in_frames_ = frames;
            call_start_ = origin;
            box_->clear_events();
            out_data_ = dst;
            out_f32_ = f32_out;
            out_frames_ = frames;
            std::fill(tap_pos_.begin(), tap_pos_.end(), 0);
            auto last_signal_check = std::chrono::steady_clock::now();
            auto drain = [&](std::int64_t processed) {
                events.insert(events.end(), box_->events().begin(), box_->events().end());
                box_->clear_events();
                // Ctrl-C reaches long calls (signals are handled on the main thread only); the
                // interpreter lock is taken for it a few times a second at most
                if (processed < frames && std::this_thread::get_id() == main_thread) {
                    auto now = std::chrono::steady_clock::now();
                    if (now - last_signal_check >= std::chrono::milliseconds(50)) {
                        last_signal_check = now;
                        py::gil_scoped_acquire gil;
                        if (PyErr_CheckSignals() != 0)
                            throw py::error_already_set();
                    }
                }
            };
            try {
                tilde::run_scheduled(*patch_, schedule, frames, chunk_frames, drain);
            } catch (const tk::Error &e) {
                in_data_ = out_data_ = nullptr;
                throw std::runtime_error(text_ + ": " + e.what());
            } catch (...) {
                in_data_ = out_data_ = nullptr;
                throw;
            }
            in_data_ = out_data_ = nullptr;
        }
        for (const auto &e : events)
            events_.append(event_tuple(e, origin));
        flush_warnings();
        return want_events ? py::object(py::make_tuple(out, events_)) : py::object(out);
    }

    py::list send(py::args items, std::optional<int> inlet)
    {
        Busy busy(this);
        std::vector<py::handle> v(items.begin(), items.end());
        tilde::Message m = make_message(v, inlet);
        check(m);
        py::list result;
        {
            Current current(this);
            box_->clear_events();
            patch_->send(box_, m.inlet, m.selector, m.args);
        }
        for (const auto &e : box_->events())
            result.append(event_tuple(e, 0));
        box_->clear_events();
        flush_warnings();
        return result;
    }

    void reset()
    {
        Busy busy(this);
        {
            Current current(this);
            patch_.reset();
            box_ = nullptr;
        }
        make();
        events_ = py::list();
        flush_warnings();
    }

    py::object info() const
    {
        std::string text;
        try {
            text = tilde::info_json_text(name_);
        } catch (const tilde::BadInput &e) {
            throw_external(e.what());
        }
        return py::module_::import("json").attr("loads")(text);
    }

    // ---- properties ----
    const std::string &name() const { return name_; }
    const std::string &text() const { return text_; }
    double sample_rate() const { return sr_; }
    int block() const { return block_; }
    bool legacy() const { return legacy_; }
    int signal_inlets() const { return box_->signal_inlets(); }
    int signal_outlets() const { return int(signal_outlets_.size()); }
    int control_outlets() const { return box_->control_outlets(); }
    int inlets() const { return box_->inlets(); }
    std::int64_t position() const { return patch_->samples_processed(); }
    bool busy() const { return busy_.load(); }
    py::list console() const
    {
        py::list l;
        for (const auto &line : console_)
            l.append((line.error ? "error: " : "") + line.text);
        return l;
    }
    void clear_console() { console_.clear(); }
    py::list events() const { return events_; }
    std::string repr() const
    {
        return "tildekit.Box('" + text_ + "', sample_rate=" + tilde::number_text(sr_) + ", block=" + std::to_string(block_) +
               (legacy_ ? ", legacy=True" : "") + ")";
    }

    void add_line(const tk::ConsoleLine &line)
    {
        console_.push_back({line.kind == tk::ConsoleLine::Error, line.text});
        if (line.kind == tk::ConsoleLine::Error)
            pending_errors_.push_back(line.text);
    }

private:
    // Marks the box in use for one call; a second thread gets an error instead of a box whose
    // state two perform loops change at once.
    struct Busy {
        PyBox *b;
        explicit Busy(PyBox *box) : b(box)
        {
            if (b->busy_.exchange(true))
                throw std::runtime_error("tildekit.Box '" + b->text_ +
                                         "' is in use by another thread; a box processes one call at a time");
        }
        ~Busy() { b->busy_ = false; }
    };

    void make()
    {
        auto patch = std::make_unique<tk::Patch>(sr_, block_);
        patch->set_legacy(legacy_);
        tk::Box *box = nullptr;
        std::size_t first_line = console_.size();
        {
            Current current(this);
            try {
                box = patch->create(name_, args_);
            } catch (const tk::Error &e) {
                throw_external(tilde::cannot_load(name_, e.what()).what());
            }
        }
        if (!box) {
            pending_errors_.clear();
            std::string why;
            for (std::size_t i = first_line; i < console_.size(); ++i)
                why += (why.empty() ? "" : "; ") + console_[i].text;
            py::object err = external_error(name_ + " refused to create the box '" + text_ + "'" +
                                            (why.empty() ? std::string(" (it posted no reason)") : ": " + why));
            py::list lines;
            for (std::size_t i = first_line; i < console_.size(); ++i)
                lines.append((console_[i].error ? "error: " : "") + console_[i].text);
            err.attr("console") = lines;
            PyErr_SetObject(external_error.ptr(), err.ptr());
            throw py::error_already_set();
        }
        patch_ = std::move(patch);
        box_ = box;
        fed_ = -1;
        signal_outlets_.clear();
        for (int k = 0; k < box_->outlets(); ++k)
            if (box_->outlet_is_signal(k))
                signal_outlets_.push_back(k);
    }

    [[noreturn]] static void throw_external(const std::string &what)
    {
        PyErr_SetString(external_error.ptr(), what.c_str());
        throw py::error_already_set();
    }

    bool has_method(const std::string &sel) const
    {
        const auto &ms = box_->cls().methods;
        return std::any_of(ms.begin(), ms.end(), [&](const tk::MethodInfo &m) { return m.selector == sel; });
    }

    void check(const tilde::Message &m) const
    {
        try {
            tilde::check_message(m, *box_);
        } catch (const tilde::BadInput &e) {
            throw py::value_error(e.what());
        }
    }

    static bool parse_dtype(const py::object &dtype)
    {
        if (dtype.is_none())
            return false;
        py::dtype d = py::dtype::from_args(dtype);
        if (d.is(py::dtype::of<float>()))
            return true;
        if (d.is(py::dtype::of<double>()))
            return false;
        throw py::value_error("dtype must be float64 or float32, not " + std::string(py::str(d)));
    }

    static std::string shape_of(const py::array &a)
    {
        std::string s = "(";
        for (py::ssize_t i = 0; i < a.ndim(); ++i)
            s += (i ? ", " : "") + std::to_string(a.shape(i));
        return s + (a.ndim() == 1 ? ",)" : ")");
    }

    static std::string inlets_text(int n) { return std::to_string(n) + (n == 1 ? " signal inlet" : " signal inlets"); }

    std::string shape_text() const
    {
        int n = signal_inlets();
        if (n == 0)
            return "shape (frames, 0): " + name_ + " has no signal inlet";
        if (n == 1)
            return "shape (frames,) or (frames, 1)";
        return "shape (frames, " + std::to_string(n) + "), or (frames, k) to feed only the first k of " + name_ + "'s " +
               inlets_text(n);
    }

    void read_input(int c, double *o, long n, std::int64_t pos) const
    {
        // pos counts from the first call's start; this call's frame 0 is at call_start_
        const std::int64_t at = pos + feed_start_ - call_start_;
        // frames [lo, hi) of the block lie inside x; zeros around them
        const long lo = long(std::clamp<std::int64_t>(-at, 0, n));
        const long hi = in_data_ ? long(std::clamp<std::int64_t>(in_frames_ - at, lo, n)) : lo;
        std::fill(o, o + lo, 0.0);
        const std::size_t cols = std::size_t(in_cols_);
        const std::size_t first = std::size_t(at + lo) * cols + std::size_t(c);
        if (in_f32_) {
            const float *src = static_cast<const float *>(in_data_) + first;
            for (long k = lo; k < hi; ++k, src += cols)
                o[k] = double(*src);
        } else {
            const double *src = static_cast<const double *>(in_data_) + first;
            for (long k = lo; k < hi; ++k, src += cols)
                o[k] = *src;
        }
        std::fill(o + hi, o + n, 0.0);
    }

    // A block of signal outlet j into column j of the call's array, from the frame the outlet
    // has reached; the part of a last block past the end of the call is dropped.
    void write_output(std::size_t j, const double *b, long n)
    {
        const std::int64_t pos = tap_pos_[j];
        tap_pos_[j] += n;
        if (!out_data_)
            return;
        const long m = long(std::clamp<std::int64_t>(out_frames_ - pos, 0, n));
        const std::size_t nout = tap_pos_.size();
        if (out_f32_) {
            float *d = static_cast<float *>(out_data_) + std::size_t(pos) * nout + j;
            for (long i = 0; i < m; ++i, d += nout)
                *d = float(b[i]);
        } else {
            double *d = static_cast<double *>(out_data_) + std::size_t(pos) * nout + j;
            for (long i = 0; i < m; ++i, d += nout)
                *d = b[i];
        }
    }

    void warn(const std::string &text) const
    {
        if (PyErr_WarnEx(external_warning.ptr(), text.c_str(), 2) != 0)
            throw py::error_already_set();
    }

    // The external's error lines of the last operation, as Python warnings.
    void flush_warnings()
    {
        std::vector<std::string> lines;
        lines.swap(pending_errors_);
        for (const auto &l : lines)
            warn(name_ + ": " + l);
    }

    std::string name_;
    tk::Atoms args_;
    std::string text_;
    double sr_;
    int block_;
    bool legacy_;
    std::unique_ptr<tk::Patch> patch_;
    tk::Box *box_ = nullptr;
    std::vector<int> signal_outlets_;
    int fed_ = -1;  // signal inlets fed by the calls; -1 before the first
    std::int64_t feed_start_ = 0;
    std::atomic<bool> busy_{false};
    std::vector<Line> console_;
    std::vector<std::string> pending_errors_;
    py::list events_;
    // the input of the running call
    const void *in_data_ = nullptr;
    bool in_f32_ = false;
    int in_cols_ = 0;
    std::int64_t in_frames_ = 0;
    std::int64_t call_start_ = 0;
    // the output of the running call
    void *out_data_ = nullptr;
    bool out_f32_ = false;
    std::int64_t out_frames_ = 0;
    std::vector<std::int64_t> tap_pos_;  // frames each signal outlet has written in this call
};

void take_line(PyBox *box, const tk::ConsoleLine &line) { box->add_line(line); }

std::unique_ptr<PyBox> make_box(const std::string &name_or_text, py::args args, double sample_rate, int block, bool legacy)
{
    std::string name = name_or_text;
    tk::Atoms atoms;
    if (args.empty() && name.find_first_of(" \t") != std::string::npos) {  // Box("bandres~ 1000 10")
        atoms = tk::parse_atoms(name);
        if (atoms.empty() || !atoms[0].is_symbol())
            throw py::value_error("'" + name_or_text + "' does not start with an external's name");
        name = std::get<std::string>(atoms[0].v);
        atoms.erase(atoms.begin());
    } else {
        for (auto a : args)
            atoms.push_back(to_atom(a, "creation argument"));
    }
    if (name.empty())
        throw py::value_error("an external's name is empty");
    return std::make_unique<PyBox>(name, atoms, sample_rate, block, legacy);
}

// ---- for bench/python_overhead.py: the same work through the embedding API alone ----------

// One box fed from per-channel copies of x, its outlets tapped into buffers of its own, as a C++
// program using the host would run it; run() times one call of len(x) frames, the state
// carrying on from call to call.
class EmbeddingRun {
public:
    EmbeddingRun(const std::string &name, double sr, int block, py::array_t<double, py::array::c_style | py::array::forcecast> x)
        : patch_(sr, block)
    {
        load(name);
        box_ = patch_.create(name, {});
        if (!box_)
            throw std::runtime_error(name + " refused to create a box");
        frames_ = x.shape(0);
        const int cols = x.ndim() == 1 ? 1 : int(x.shape(1));
        for (int c = 0; c < cols; ++c) {
            std::vector<double> v(static_cast<std::size_t>(frames_));
            for (std::int64_t i = 0; i < frames_; ++i)
                v[std::size_t(i)] = x.data()[std::size_t(i) * std::size_t(cols) + std::size_t(c)];
            inputs_.push_back(std::move(v));
        }
        for (int c = 0; c < cols; ++c)
            patch_.feed(box_, c, [this, c](double *o, long n, std::int64_t pos) {
                const auto &v = inputs_[std::size_t(c)];
                for (long k = 0; k < n; ++k) {
                    std::int64_t at = pos + k - start_;
                    o[k] = at < frames_ ? v[std::size_t(at)] : 0.0;
                }
            });
        for (int k = 0; k < box_->outlets(); ++k)
            if (box_->outlet_is_signal(k)) {
                std::size_t j = results_.size();
                results_.emplace_back(static_cast<std::size_t>(frames_));
                patch_.tap(box_, k, [this, j](const double *b, long n) {
                    std::int64_t at = patch_.samples_processed() - start_;
                    long m = long(std::clamp<std::int64_t>(frames_ - at, 0, n));
                    std::memcpy(results_[j].data() + at, b, std::size_t(m) * sizeof(double));
                });
            }
    }
    // Feeds, runs and takes the outputs.
    double run()
    {
        const double t = thread_seconds();
        start_ = patch_.samples_processed();
        patch_.run(frames_);
        return thread_seconds() - t;
    }
    // CPU time of this thread: what other processes on a busy machine take is not counted
    static double thread_seconds()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
    }

private:
    tk::Patch patch_;
    tk::Box *box_ = nullptr;
    std::vector<std::vector<double>> inputs_, results_;
    std::int64_t frames_ = 0;
    std::int64_t start_ = 0;
};

// ---- sound files ---------------------------------------------------------------------------

// A file that cannot be read or written: OSError.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void write_frames(const std::string &path, const double *src, std::int64_t frames, int ch, double sample_rate,
                  tilde::SampleFormat fmt);

py::tuple read_file(const std::string &path, py::object dtype)
{
    bool f32 = false;
    if (!dtype.is_none()) {
        py::dtype d = py::dtype::from_args(dtype);
        f32 = d.is(py::dtype::of<float>());
        if (!f32 && !d.is(py::dtype::of<double>()))
            throw py::value_error("dtype must be float64 or float32, not " + std::string(py::str(d)));
    }
    std::unique_ptr<tilde::SoundReader> reader;
    try {
        reader = std::make_unique<tilde::SoundReader>(path);
    } catch (const tilde::BadInput &e) {
        std::error_code ec;
        PyErr_SetString(fs::exists(path, ec) ? PyExc_OSError : PyExc_FileNotFoundError, e.what());
        throw py::error_already_set();
    }
    const std::int64_t frames = reader->frames();
    const int ch = reader->channels();
    py::array out = f32 ? py::array(py::array_t<float>({frames, std::int64_t(ch)}))
                        : py::array(py::array_t<double>({frames, std::int64_t(ch)}));
    void *dst = out.mutable_data();
    {
        py::gil_scoped_release nogil;
        std::vector<double> buf;
        for (std::int64_t start = 0; start < frames; start += chunk_frames) {
            long n = long(std::min<std::int64_t>(chunk_frames, frames - start));
            buf.resize(std::size_t(n));
            for (int c = 0; c < ch; ++c) {
                reader->read(c, start, n, buf.data());
                for (long i = 0; i < n; ++i) {
                    std::size_t idx = std::size_t(start + i) * std::size_t(ch) + std::size_t(c);
                    if (f32)
                        static_cast<float *>(dst)[idx] = float(buf[std::size_t(i)]);
                    else
                        static_cast<double *>(dst)[idx] = buf[std::size_t(i)];
                }
            }
        }
    }
    return py::make_tuple(out, reader->samplerate());
}

void write_file(const std::string &path, py::array array, double sample_rate, const std::string &format)
{
    tilde::SampleFormat fmt;
    try {
        fmt = tilde::parse_sample_format(format);
        tilde::file_format_for(path, fmt);
    } catch (const tilde::BadInput &e) {
        throw py::value_error(e.what());
    }
    if (array.ndim() != 1 && array.ndim() != 2)
        throw py::value_error("write '" + path + "': expected an array of shape (frames,) or (frames, channels), got " +
                              std::to_string(array.ndim()) + " dimensions");
    if (!(sample_rate >= 1 && sample_rate <= 10e6))
        throw py::value_error("write '" + path + "': sample rate " + tilde::number_text(sample_rate) + " Hz is out of range");
    const std::int64_t frames = array.shape(0);
    const int ch = array.ndim() == 1 ? 1 : int(array.shape(1));
    if (ch < 1)
        throw py::value_error("write '" + path + "': the array has no channels");
    // any real dtype, any strides: numpy turns it into C-ordered float64 for us
    py::array_t<double, py::array::c_style | py::array::forcecast> a(array);
    const double *src = a.data();
    py::gil_scoped_release nogil;
    try {
        write_frames(path, src, frames, ch, sample_rate, fmt);
    } catch (const tilde::BadInput &e) {  // the file cannot be made where asked
        throw FileError(e.what());
    } catch (const tilde::Failure &e) {
        throw FileError(e.what());
    }
}

void write_frames(const std::string &path, const double *src, std::int64_t frames, int ch, double sample_rate,
                  tilde::SampleFormat fmt)
{
    tilde::SoundWriter writer(path, ch, sample_rate, fmt);
    std::vector<std::vector<double>> chans(static_cast<std::size_t>(ch));
    std::vector<const double *> ptrs(static_cast<std::size_t>(ch));
    for (std::int64_t start = 0; start < frames; start += chunk_frames) {
        std::int64_t n = std::min<std::int64_t>(chunk_frames, frames - start);
        for (int c = 0; c < ch; ++c) {
            auto &v = chans[std::size_t(c)];
            v.resize(std::size_t(n));
            for (std::int64_t i = 0; i < n; ++i)
                v[std::size_t(i)] = src[std::size_t(start + i) * std::size_t(ch) + std::size_t(c)];
            ptrs[std::size_t(c)] = v.data();
        }
        writer.write(ptrs, n);
    }
    writer.finish();
}

// Folders searched for externals: TILDEKIT_PATH's. The package puts its own externals' folder
// first (tildekit/__init__.py): the module holds no path of the build that made it.
void default_search_paths()
{
    tk::set_search_paths(tilde::env_search_paths());
}

}  // namespace

PYBIND11_MODULE(_tildekit, m)
{
    m.doc() = "The tildekit externals as Python effects on numpy arrays (the headless host's embedding API).";
    m.attr("__version__") = TILDEKIT_PACKAGE_VERSION;
    external_error = py::reinterpret_borrow<py::object>(
        py::handle(PyErr_NewExceptionWithDoc("tildekit.ExternalError",
                                             "An external could not be loaded or refused to create a box.",
                                             PyExc_RuntimeError, nullptr)));
    m.attr("ExternalError") = external_error;
    external_warning = py::reinterpret_borrow<py::object>(py::handle(PyErr_NewExceptionWithDoc(
        "tildekit.ExternalWarning", "An error line an external posted while it worked.", PyExc_UserWarning, nullptr)));
    m.attr("ExternalWarning") = external_warning;

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const FileError &e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const tilde::BadInput &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const tilde::Failure &e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const tk::Error &e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });

    main_thread = std::this_thread::get_id();  // the interpreter imports modules on its main thread
    default_search_paths();
    tk::set_console_sink(console_sink);

    py::class_<PyBox>(m, "Box", R"(A box of one external, running on its own at a fixed sample rate and block size.

Box(name, *args, sample_rate=48000, block=64, legacy=False)

    box = tildekit.Box("bandres~", 1000, 10, sample_rate=48000)
    y = box(x)    # x: (frames,) or (frames, signal inlets); y: (frames, signal outlets)

State carries over from call to call; calls whose length is a multiple of `block` continue
seamlessly, a partial last block is padded with silence (as `tilde render` pads a file).)")
        .def(py::init(&make_box), py::arg("name"), py::arg("sample_rate") = 48000.0, py::arg("block") = 64,
             py::arg("legacy") = false)
        .def("__call__", &PyBox::call, py::arg("x"), py::kw_only(), py::arg("messages") = py::none(),
             py::arg("dtype") = py::none(), py::arg("events") = false,
             R"(Processes x (frames,) or (frames, k) float64/float32, C-contiguous, or a frame count for no input.

messages: [(seconds, selector, args...), ("512s", selector, ...), "@0.5 Bypass 1", ...], each
delivered at the first block boundary at or after its time, counted from x's first frame.
dtype: numpy.float32 for float32 output (default float64).
events=True: returns (output, events) instead of the output alone.)")
        .def("send", &PyBox::send, py::arg("inlet") = py::none(),
             R"(Sends a message now: send("ratio", 8), send(1, 2000.0) (a number at inlet 1), send(3).

Returns the control events it caused as (sample, outlet, value) tuples.)")
        .def("reset", &PyBox::reset, "Frees the box and creates it again from its text: every state and setting afresh.")
        .def("info", &PyBox::info, "What `tilde info --json` prints for this external, as a dict.")
        .def_property_readonly("name", &PyBox::name)
        .def_property_readonly("text", &PyBox::text)
        .def_property_readonly("sample_rate", &PyBox::sample_rate)
        .def_property_readonly("block", &PyBox::block)
        .def_property_readonly("legacy", &PyBox::legacy)
        .def_property_readonly("signal_inlets", &PyBox::signal_inlets)
        .def_property_readonly("signal_outlets", &PyBox::signal_outlets)
        .def_property_readonly("control_outlets", &PyBox::control_outlets)
        .def_property_readonly("inlets", &PyBox::inlets)
        .def_property_readonly("position", &PyBox::position, "Samples processed since the box was created or reset.")
        .def_property_readonly("busy", &PyBox::busy, "True while a call runs in some thread.")
        .def_property_readonly("console", &PyBox::console, "Lines the external posted, errors as 'error: ...'.")
        .def("clear_console", &PyBox::clear_console)
        .def_property_readonly("events", &PyBox::events,
                               "Control events of the last call: (sample from its first frame, outlet, value); value None for a bang.")
        .def("__repr__", &PyBox::repr);

    m.def("read", &read_file, py::arg("path"), py::kw_only(), py::arg("dtype") = py::none(),
          "Reads a sound file: (array of shape (frames, channels), sample_rate).");
    m.def("write", &write_file, py::arg("path"), py::arg("array"), py::arg("sample_rate"), py::kw_only(),
          py::arg("format") = "float",
          "Writes (frames,) or (frames, channels) samples; the type follows the extension, format is float, double, "
          "pcm16 or pcm24. The file appears only when complete.");
    // for the tests: the allocator fails (an external then refuses its box)
    m.def("_fail_nth_allocation", &tk::fail_nth_allocation, py::arg("n"));
    m.def("_clear_allocation_faults", &tk::clear_allocation_faults);
    py::class_<EmbeddingRun>(m, "_EmbeddingRun")
        .def(py::init<const std::string &, double, int, py::array_t<double, py::array::c_style | py::array::forcecast>>())
        .def("run", &EmbeddingRun::run);
    m.def("search_paths", &tk::search_paths, "Folders searched for externals, in order.");
    m.def("set_search_paths", &tk::set_search_paths, py::arg("folders"));
    m.def("add_search_path", &tk::add_search_path, py::arg("folder"));
    m.def("info", [](const std::string &name) {
        std::string text;
        try {
            text = tilde::info_json_text(name);
        } catch (const tilde::BadInput &e) {
            PyErr_SetString(external_error.ptr(), e.what());
            throw py::error_already_set();
        }
        return py::module_::import("json").attr("loads")(text);
    }, py::arg("name"), "What `tilde info --json NAME` prints, as a dict.");
}
