// The live player: a patch (or one box) played through a running JACK server.
//
// Threads:
//  - JACK's process thread runs one block of the DSP chain per period. It reads the input
//    ports into preallocated buffers, runs the block, writes the output ports, measures the
//    output levels and its own load, and hands the recording to a lock-free ring. It never
//    allocates, locks or waits.
//  - The scheduler thread sets the patch's logical time from the frames the audio thread has
//    processed, delivers the timed -m messages and fires the clocks (metro, delay, the
//    externals' own).
//  - The writer thread drains the ring into the --out file (written under a temporary name,
//    renamed when complete).
//  - The main thread connects the ports, draws the level meter, reports xruns and watches for
//    the end: --seconds, Ctrl-C, or the server going away.
#include "live.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <jack/thread.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "audiofile.h"
#include "commands.h"
#include "common.h"
#include "console.h"
#include "messages.h"
#include "run.h"
#include "signals.h"
#include "tildehost.h"
#include "tildeobjects.h"

namespace tilde {

namespace {

constexpr double min_live_rate = 1000.0;
constexpr double max_live_rate = 384000.0;
constexpr int max_live_period = 4096;
const char *const server_hint = "start one, e.g. `jackd -d dummy -r 48000 -p 64` (no sound card needed) or `jackd -d alsa`";

// ---- options -------------------------------------------------------------------------
struct LiveSettings {
    bool live = false;
    std::vector<std::string> connect_in, connect_out;
    bool no_connect = false;
    std::string client_name;
    bool verbose = false;
    std::vector<int> inputs;  // render: the signal inlets that are input ports
    std::vector<CLI::App *> commands;
};
LiveSettings &settings()
{
    static LiveSettings s;
    return s;
}

// Whether the subcommand that runs was given an option by name (e.g. an explicit --block).
bool option_given(const std::string &name)
{
    for (CLI::App *c : settings().commands)
        if (c->parsed())
            if (const CLI::Option *opt = c->get_option_no_throw(name))
                return opt->count() > 0;
    return false;
}

// ---- small helpers ----------------------------------------------------------------------
double seconds_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);  // vDSO: no system call
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void sleep_seconds(double s)
{
    timespec t;
    t.tv_sec = time_t(s);
    t.tv_nsec = long((s - double(t.tv_sec)) * 1e9);
    nanosleep(&t, nullptr);
}

std::string db_text(double v)
{
    if (!(v > 0))
        return "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", 20.0 * std::log10(v));
    return buf;
}

std::string fixed(double v, int digits)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", digits, v);
    return buf;
}

// The channel numbers of an adc~ / dac~ / ezdac~ box (1-based), from the text it was created from.
std::vector<int> io_channels(const tk::Box &box)
{
    tk::Atoms atoms = tk::parse_atoms(box.text());
    std::vector<int> ch;
    const std::string &name = box.cls().name;
    if (name != "ezdac~")
        for (std::size_t i = 1; i < atoms.size(); ++i)
            if (atoms[i].is_int())
                ch.push_back(int(std::get<std::int64_t>(atoms[i].v)));
    if (ch.empty())
        ch = {1, 2};
    return ch;
}

// A timed message re-timed at the server's rate (its -m text starts with @T).
std::int64_t due_at(const Scheduled &s, double sr)
{
    std::vector<std::string> words = split_words(s.text);
    if (words.empty() || words[0][0] != '@')
        return s.due;
    return parse_message(words[0] + " bang").due_sample(sr);
}

// ---- the player -------------------------------------------------------------------------
struct PortPlan {
    std::vector<std::string> inputs, outputs;  // our port names, in order
};

class Player {
public:
    Player(tk::Patch &patch, std::string client_name, const PortPlan &ports, std::string what)
        : patch_(patch), what_(std::move(what))
    {
        open(client_name, ports);
    }
    ~Player() { close(); }

    double samplerate() const { return sr_; }
    int period() const { return period_; }
    const std::vector<double> &input(int k) const { return in_buf_[std::size_t(k)]; }
    std::vector<double> &output(int k) { return out_buf_[std::size_t(k)]; }
    int inputs() const { return int(in_ports_.size()); }
    int outputs() const { return int(out_ports_.size()); }

    // What runs one block on the audio thread (after the inputs are read, before the
    // outputs are written) and what the scheduler does at a sample position.
    std::function<void()> block;
    std::function<void(std::int64_t position)> schedule;

    // Checks the server's rate and period against what the patch asks for; settles the
    // patch's rate and vector size. Throws BadInput.
    void settle_patch(std::optional<double> asked_rate)
    {
        if (!(sr_ >= min_live_rate && sr_ <= max_live_rate))
            throw BadInput("the JACK server runs at " + number_text(sr_) + " Hz; the host plays at " + number_text(min_live_rate) +
                           " to " + number_text(max_live_rate) + " Hz: restart the server at another rate (jackd ... -r 48000)");
        if (asked_rate && *asked_rate != sr_)
            throw BadInput("the JACK server runs at " + number_text(sr_) + " Hz but --sr asks for " + number_text(*asked_rate) +
                           " Hz: leave out --sr to play at the server's rate, or start the server at " + number_text(*asked_rate) +
                           " Hz (jackd -d dummy -r " + number_text(*asked_rate) + " -p " + std::to_string(period_) + ")");
        if (period_ < 1 || period_ > max_live_period)
            throw BadInput("the JACK server's period is " + std::to_string(period_) + " frames; the host's vector size is 1 to " +
                           std::to_string(max_live_period) + ": restart the server with another period (jackd ... -p 256)");
        if (option_given("--block") && patch_.blocksize() != period_)
            note("the patch asks for vectors of " + std::to_string(patch_.blocksize()) + " samples; it plays with the JACK server's period, " +
                 std::to_string(period_) + " samples");
        patch_.set_threaded(true);
        patch_.set_samplerate(sr_);
        patch_.set_blocksize(period_);
    }

    void record_to(const std::string &path, SampleFormat format, int channels)
    {
        rec_channels_ = channels;
        writer_ = std::make_unique<SoundWriter>(path, channels, sr_, format);
        out_path_ = path;
        // four seconds of audio, at least a few periods
        std::size_t frames = std::max<std::size_t>(std::size_t(sr_ * 4), std::size_t(period_) * 16);
        ring_ = jack_ringbuffer_create(frames * std::size_t(channels) * sizeof(double));
        if (!ring_)
            throw Failure("cannot allocate the recording buffer");
        rec_frame_.assign(std::size_t(period_) * std::size_t(channels), 0.0);
    }

    // Connects, starts, and plays until `frames` samples (< 0: until interrupted), Ctrl-C or
    // an error. Returns the exit status.
    int play(std::int64_t frames, const std::vector<std::string> &connect_in, const std::vector<std::string> &connect_out,
             bool no_connect, bool verbose);

private:
    void open(const std::string &client_name, const PortPlan &ports);
    void close();
    int process(jack_nframes_t n);
    void scheduler_loop();
    void writer_loop();
    void connect(bool input, const std::vector<std::string> &wanted, bool no_connect);
    std::string meter_line(double elapsed) const;

    static int process_cb(jack_nframes_t n, void *arg) { return static_cast<Player *>(arg)->process(n); }
    static int xrun_cb(void *arg)
    {
        auto *p = static_cast<Player *>(arg);
        p->xruns_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    static void shutdown_cb(jack_status_t, const char *reason, void *arg)
    {
        auto *p = static_cast<Player *>(arg);
        std::snprintf(p->shutdown_reason_, sizeof p->shutdown_reason_, "%s", reason ? reason : "");
        p->server_gone_.store(true);
    }
    static int buffer_size_cb(jack_nframes_t n, void *arg)
    {
        auto *p = static_cast<Player *>(arg);
        if (p->period_ && int(n) != p->period_)
            p->changed_period_.store(int(n));
        return 0;
    }
    static int rate_cb(jack_nframes_t r, void *arg)
    {
        auto *p = static_cast<Player *>(arg);
        if (p->sr_ > 0 && double(r) != p->sr_)
            p->changed_rate_.store(double(r));
        return 0;
    }

    tk::Patch &patch_;
    std::string what_;
    jack_client_t *client_ = nullptr;
    std::string name_;
    double sr_ = 0;
    int period_ = 0;
    std::vector<jack_port_t *> in_ports_, out_ports_;
    std::vector<std::vector<double>> in_buf_, out_buf_;
    std::vector<float *> port_buffers_;
    bool active_ = false;

    // recording
    std::unique_ptr<SoundWriter> writer_;
    std::string out_path_;
    int rec_channels_ = 0;
    jack_ringbuffer_t *ring_ = nullptr;
    std::vector<double> rec_frame_;
    std::atomic<std::int64_t> rec_dropped_{0};
    std::atomic<std::int64_t> recorded_{0};
    std::atomic<bool> writer_stop_{false};
    std::string writer_error_;
    std::atomic<bool> writer_failed_{false};

    // state shared with the audio thread
    std::atomic<bool> started_{false}, halted_{false}, finished_{false}, server_gone_{false};
    std::atomic<int> changed_period_{0};
    std::atomic<double> changed_rate_{0.0};
    std::atomic<std::int64_t> position_{0};
    std::int64_t limit_ = -1;
    char shutdown_reason_[256] = {};
    std::atomic<std::int64_t> xruns_{0};
    std::atomic<std::int64_t> callbacks_{0}, load_sum_ns_{0}, load_max_ns_{0};
    std::atomic<std::int64_t> alloc_callbacks_{0}, alloc_total_{0};
    std::unique_ptr<std::atomic<float>[]> peaks_;
    std::atomic<std::int64_t> nonfinite_{0};

    std::atomic<bool> scheduler_stop_{false};
};

void Player::open(const std::string &wanted_name, const PortPlan &ports)
{
    jack_set_error_function([](const char *) {});  // our own lines say what went wrong
    jack_set_info_function([](const char *) {});
    std::string name = wanted_name;
    std::size_t most = std::size_t(jack_client_name_size()) - 1;
    std::replace(name.begin(), name.end(), ':', '_');
    if (name.size() > most)
        name.resize(most);
    jack_status_t status{};
    client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
    const char *server = std::getenv("JACK_DEFAULT_SERVER");
    std::string which = server && *server ? "JACK server '" + std::string(server) + "'" : "JACK server";
    if (!client_) {
        if (status & (JackServerFailed | JackServerError))
            throw Failure("no " + which + " is running (or it cannot be reached): " + server_hint);
        if (status & JackNameNotUnique)
            throw Failure("the " + which + " refused the client name '" + name + "': choose another with --client-name");
        if (status & JackVersionError)
            throw Failure("the " + which + " speaks another protocol version than this program's JACK library");
        throw Failure("cannot open a client on the " + which + " (status 0x" + [&] {
            char b[16];
            std::snprintf(b, sizeof b, "%x", unsigned(status));
            return std::string(b);
        }() + ")");
    }
    name_ = jack_get_client_name(client_);
    sr_ = double(jack_get_sample_rate(client_));
    period_ = int(jack_get_buffer_size(client_));
    for (const auto &p : ports.inputs) {
        jack_port_t *port = jack_port_register(client_, p.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        if (!port)
            throw Failure("cannot register the JACK port " + name_ + ":" + p);
        in_ports_.push_back(port);
    }
    for (const auto &p : ports.outputs) {
        jack_port_t *port = jack_port_register(client_, p.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        if (!port)
            throw Failure("cannot register the JACK port " + name_ + ":" + p);
        out_ports_.push_back(port);
    }
    std::size_t period = std::size_t(std::max(period_, 1));
    in_buf_.assign(in_ports_.size(), std::vector<double>(std::max<std::size_t>(period, max_live_period), 0.0));
    out_buf_.assign(out_ports_.size(), std::vector<double>(std::max<std::size_t>(period, max_live_period), 0.0));
    port_buffers_.assign(in_ports_.size() + out_ports_.size(), nullptr);
    peaks_ = std::make_unique<std::atomic<float>[]>(std::max<std::size_t>(1, out_ports_.size()));
    jack_set_process_callback(client_, process_cb, this);
    jack_set_xrun_callback(client_, xrun_cb, this);
    jack_on_info_shutdown(client_, shutdown_cb, this);
    jack_set_buffer_size_callback(client_, buffer_size_cb, this);
    jack_set_sample_rate_callback(client_, rate_cb, this);
}

void Player::close()
{
    if (client_) {
        if (active_ && !server_gone_.load())
            jack_deactivate(client_);
        jack_client_close(client_);
        client_ = nullptr;
    }
    if (ring_) {
        jack_ringbuffer_free(ring_);
        ring_ = nullptr;
    }
}

// The audio thread. Everything it touches was allocated before activation.
int Player::process(jack_nframes_t nframes)
{
    const double t0 = seconds_now();
    // The allocation interposer counts this thread's allocator calls from here to the end of
    // the callback; the host counts its own inside audio_block.
    tildekit_performing_here = true;
    const std::int64_t libc_before = tildekit_allocations_here, host_before = patch_.audio_allocations();
    const std::size_t nin = in_ports_.size(), nout = out_ports_.size();
    for (std::size_t k = 0; k < nin; ++k)
        port_buffers_[k] = static_cast<float *>(jack_port_get_buffer(in_ports_[k], nframes));
    for (std::size_t k = 0; k < nout; ++k)
        port_buffers_[nin + k] = static_cast<float *>(jack_port_get_buffer(out_ports_[k], nframes));
    const long n = long(nframes);
    if (!started_.load(std::memory_order_acquire) || halted_.load(std::memory_order_acquire) || n != period_) {
        for (std::size_t k = 0; k < nout; ++k)
            std::memset(port_buffers_[nin + k], 0, sizeof(float) * std::size_t(n));
        tildekit_performing_here = false;
        return 0;
    }
    for (std::size_t k = 0; k < nin; ++k) {
        const float *src = port_buffers_[k];
        double *dst = in_buf_[k].data();
        for (long i = 0; i < n; ++i)
            dst[i] = double(src[i]);
    }
    for (std::size_t k = 0; k < nout; ++k)
        std::fill(out_buf_[k].begin(), out_buf_[k].begin() + n, 0.0);

    block();

    const std::int64_t pos = position_.load(std::memory_order_relaxed);
    std::int64_t keep = limit_ < 0 ? n : std::min<std::int64_t>(n, limit_ - pos);
    std::int64_t bad = 0;
    for (std::size_t k = 0; k < nout; ++k) {
        const double *src = out_buf_[k].data();
        float *dst = port_buffers_[nin + k];
        double peak = 0;
        for (long i = 0; i < n; ++i) {
            double s = src[i];
            dst[i] = float(s);
            double a = std::fabs(s);
            if (!(a <= std::numeric_limits<double>::max()))  // NaN or infinite
                ++bad;
            else if (a > peak)
                peak = a;
        }
        float seen = peaks_[k].load(std::memory_order_relaxed);
        while (float(peak) > seen && !peaks_[k].compare_exchange_weak(seen, float(peak), std::memory_order_relaxed)) {
        }
    }
    if (bad)
        nonfinite_.fetch_add(bad, std::memory_order_relaxed);
    if (ring_ && keep > 0) {
        const std::size_t ch = std::size_t(rec_channels_);
        for (std::int64_t i = 0; i < keep; ++i)
            for (std::size_t k = 0; k < ch; ++k)
                rec_frame_[std::size_t(i) * ch + k] = k < nout ? out_buf_[k][std::size_t(i)] : 0.0;
        const std::size_t bytes = std::size_t(keep) * ch * sizeof(double);
        if (jack_ringbuffer_write_space(ring_) >= bytes) {
            jack_ringbuffer_write(ring_, reinterpret_cast<const char *>(rec_frame_.data()), bytes);
            recorded_.fetch_add(keep, std::memory_order_relaxed);
        } else {
            rec_dropped_.fetch_add(keep, std::memory_order_relaxed);
        }
    }
    position_.store(pos + n, std::memory_order_release);
    if (limit_ >= 0 && pos + n >= limit_) {
        halted_.store(true, std::memory_order_release);
        finished_.store(true, std::memory_order_release);
    }

    const std::int64_t allocs =
        std::max(tildekit_allocations_here - libc_before, patch_.audio_allocations() - host_before);
    tildekit_performing_here = false;
    if (allocs > 0) {
        alloc_callbacks_.fetch_add(1, std::memory_order_relaxed);
        alloc_total_.fetch_add(allocs, std::memory_order_relaxed);
    }
    const double used = seconds_now() - t0;
    const std::int64_t ns = std::int64_t(used * 1e9);
    callbacks_.fetch_add(1, std::memory_order_relaxed);
    load_sum_ns_.fetch_add(ns, std::memory_order_relaxed);
    if (ns > load_max_ns_.load(std::memory_order_relaxed))
        load_max_ns_.store(ns, std::memory_order_relaxed);
    return 0;
}

void Player::scheduler_loop()
{
    // Polls a few times per period: a clock or message due at a block boundary is handed
    // to the patch before the audio thread starts the next block.
    const double poll = std::clamp(double(period_) / sr_ / 4.0, 0.0001, 0.002);
    // Where the server runs its clients in real time, the scheduler runs just below the audio
    // thread, as Max's does with Overdrive on; elsewhere it stays an ordinary thread.
    if (jack_is_realtime(client_)) {
        sched_param sp{};
        sp.sched_priority = std::max(1, jack_client_real_time_priority(client_) - 1);
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    }
    while (!scheduler_stop_.load(std::memory_order_acquire)) {
        const std::int64_t pos = position_.load(std::memory_order_acquire);
        try {
            schedule(pos);
        } catch (const std::exception &e) {
            tk::console_emit({tk::ConsoleLine::Error, "", e.what()});
        }
        sleep_seconds(poll);
    }
}

void Player::writer_loop()
{
    const std::size_t ch = std::size_t(rec_channels_);
    const std::size_t frame_bytes = ch * sizeof(double);
    std::vector<double> inter;
    std::vector<std::vector<double>> planes(ch);
    std::vector<const double *> ptrs(ch);
    for (;;) {
        std::size_t frames = jack_ringbuffer_read_space(ring_) / frame_bytes;
        if (frames == 0) {
            if (writer_stop_.load(std::memory_order_acquire) && jack_ringbuffer_read_space(ring_) / frame_bytes == 0)
                break;
            sleep_seconds(0.01);
            continue;
        }
        frames = std::min<std::size_t>(frames, 65536);
        inter.resize(frames * ch);
        jack_ringbuffer_read(ring_, reinterpret_cast<char *>(inter.data()), frames * frame_bytes);
        if (writer_failed_.load())
            continue;  // keep the ring empty; the error is reported at the end
        for (std::size_t k = 0; k < ch; ++k) {
            planes[k].resize(frames);
            for (std::size_t i = 0; i < frames; ++i)
                planes[k][i] = inter[i * ch + k];
            ptrs[k] = planes[k].data();
        }
        try {
            writer_->write(ptrs, std::int64_t(frames));
        } catch (const std::exception &e) {
            writer_error_ = e.what();
            writer_failed_.store(true);
        }
    }
}

// Connects our ports: to the named ports (a client name alone means its ports in order,
// "-" leaves one out), or by default to the server's physical ports in order.
void Player::connect(bool input, const std::vector<std::string> &wanted, bool no_connect)
{
    const auto &ours = input ? in_ports_ : out_ports_;
    if (no_connect)
        return;
    if (ours.empty()) {
        if (!wanted.empty())
            note(std::string("--connect-") + (input ? "in" : "out") + " is not used: " + what_ + " has no " +
                 (input ? "inputs" : "outputs") + " to connect");
        return;
    }
    const unsigned long their_flags = input ? JackPortIsOutput : JackPortIsInput;
    const char *their_side = input ? "output" : "input";
    auto ports_of = [&](const char *pattern, unsigned long flags) {
        std::vector<std::string> out;
        if (const char **list = jack_get_ports(client_, pattern, JACK_DEFAULT_AUDIO_TYPE, flags)) {
            for (const char **p = list; *p; ++p)
                out.push_back(*p);
            jack_free(list);
        }
        return out;
    };
    auto available = [&] {
        std::vector<std::string> all = ports_of(nullptr, their_flags);
        std::erase_if(all, [&](const std::string &p) { return p.rfind(name_ + ":", 0) == 0; });
        std::string text;
        for (std::size_t i = 0; i < all.size() && i < 12; ++i)
            text += (i ? ", " : "") + all[i];
        if (all.size() > 12)
            text += ", ...";
        return text.empty() ? std::string("none") : text;
    };
    std::vector<std::string> targets;
    if (wanted.empty()) {
        targets = ports_of(nullptr, their_flags | JackPortIsPhysical);
        if (targets.size() < ours.size() && !targets.empty())
            note("the server has " + std::to_string(targets.size()) + " physical " + their_side + " ports for " +
                 std::to_string(ours.size()) + (input ? " inputs" : " outputs") + "; the rest stay unconnected");
        if (targets.empty())
            note("the server has no physical " + std::string(their_side) + " ports; " + (input ? "inputs" : "outputs") +
                 " stay unconnected (connect them with --connect-" + (input ? "in" : "out") + ")");
    } else {
        for (const auto &w : wanted) {
            if (w == "-") {
                targets.push_back("");
                continue;
            }
            if (w.find(':') == std::string::npos) {  // a client: its ports in order
                std::string pattern = "^";
                for (char c : w) {
                    if (std::strchr(".[]()*+?^$|\\{}", c))
                        pattern += '\\';
                    pattern += c;
                }
                pattern += ":";
                auto list = ports_of(pattern.c_str(), their_flags);
                if (list.empty())
                    throw BadInput("--connect-" + std::string(input ? "in" : "out") + ": the JACK server has no client '" + w +
                                   "' with " + their_side + " ports; " + their_side + " ports: " + available());
                targets.insert(targets.end(), list.begin(), list.end());
                continue;
            }
            jack_port_t *p = jack_port_by_name(client_, w.c_str());
            if (!p)
                throw BadInput("--connect-" + std::string(input ? "in" : "out") + ": the JACK server has no port '" + w + "'; " +
                               their_side + " ports: " + available());
            if (!(jack_port_flags(p) & their_flags))
                throw BadInput("--connect-" + std::string(input ? "in" : "out") + ": '" + w + "' is not an " + their_side +
                               " port; " + their_side + " ports: " + available());
            targets.push_back(w);
        }
        if (targets.size() > ours.size())
            note("--connect-" + std::string(input ? "in" : "out") + " names " + std::to_string(targets.size()) + " ports for " +
                 std::to_string(ours.size()) + (input ? " inputs" : " outputs") + "; the rest are left alone");
    }
    for (std::size_t k = 0; k < ours.size() && k < targets.size(); ++k) {
        if (targets[k].empty())
            continue;
        const char *mine = jack_port_name(ours[k]);
        int r = input ? jack_connect(client_, targets[k].c_str(), mine) : jack_connect(client_, mine, targets[k].c_str());
        if (r != 0 && r != EEXIST)
            throw Failure("cannot connect " + std::string(mine) + (input ? " from " : " to ") + targets[k]);
    }
}

std::string Player::meter_line(double elapsed) const
{
    std::string line = "live " + fixed(elapsed, 1) + " s ";
    const int width = out_ports_.size() > 4 ? 6 : 16;
    for (std::size_t k = 0; k < out_ports_.size() && k < 8; ++k) {
        float p = peaks_[k].exchange(0.0f, std::memory_order_relaxed);
        double db = p > 0 ? 20.0 * std::log10(double(p)) : -200.0;
        int bars = int(std::clamp((db + 60.0) / 60.0, 0.0, 1.0) * width + 0.5);
        line += " " + std::to_string(k + 1) + "[" + std::string(std::size_t(bars), '#') + std::string(std::size_t(width - bars), ' ') +
                "]" + (p >= 1.0f ? "CLIP" : db_text(p));
    }
    std::int64_t cb = callbacks_.load();
    double period_s = double(period_) / sr_;
    if (cb > 0)
        line += "  load " + fixed(100.0 * double(load_sum_ns_.load()) * 1e-9 / double(cb) / period_s, 0) + "%";
    line += "  xruns " + std::to_string(xruns_.load());
    return line;
}

int Player::play(std::int64_t frames, const std::vector<std::string> &connect_in, const std::vector<std::string> &connect_out,
                 bool no_connect, bool verbose)
{
    limit_ = frames;
    try {  // with every feed and tap in place
        patch_.compile();
    } catch (const tk::Error &e) {
        throw Failure(what_ + ": " + e.what());
    }
    std::thread writer;
    std::thread scheduler;
    struct Joiner {
        Player &p;
        std::thread &w, &s;
        ~Joiner()
        {
            p.halted_.store(true);
            p.scheduler_stop_.store(true);
            if (s.joinable())
                s.join();
            p.writer_stop_.store(true);
            if (w.joinable())
                w.join();
        }
    } joiner{*this, writer, scheduler};

    if (jack_activate(client_) != 0)
        throw Failure("the JACK server refused to start client '" + name_ + "'");
    active_ = true;
    connect(true, connect_in, no_connect);
    connect(false, connect_out, no_connect);
    schedule(0);  // what is due at the start reaches the patch before its first block
    if (ring_)
        writer = std::thread([this] { writer_loop(); });
    scheduler = std::thread([this] { scheduler_loop(); });

    std::string ins, outs;
    for (auto *p : in_ports_)
        ins += std::string(ins.empty() ? "" : ", ") + jack_port_short_name(p);
    for (auto *p : out_ports_)
        outs += std::string(outs.empty() ? "" : ", ") + jack_port_short_name(p);
    note("live: " + what_ + " as JACK client '" + name_ + "' at " + number_text(sr_) + " Hz, vectors of " + std::to_string(period_) +
         " samples" + (ins.empty() ? "" : "; in: " + ins) + (outs.empty() ? "" : "; out: " + outs) +
         (frames < 0 ? "; Ctrl-C stops" : "; " + number_text(double(frames) / sr_) + " s"));

    started_.store(true, std::memory_order_release);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    const double t_start = seconds_now();
    double last_meter = t_start;
    std::int64_t xruns_seen = 0;
    bool meter_shown = false;
    std::string failure;
    bool interrupted = false;
    auto clear_meter = [&] {
        if (meter_shown) {
            std::fprintf(stderr, "\r\033[K");
            meter_shown = false;
        }
    };
    while (true) {
        if (finished_.load(std::memory_order_acquire))
            break;
        if (server_gone_.load()) {
            failure = "the JACK server went away after " + fixed(double(position_.load()) / sr_, 2) + " s" +
                      (shutdown_reason_[0] ? std::string(" (") + shutdown_reason_ + ")" : std::string());
            break;
        }
        if (int p = changed_period_.load()) {
            failure = "the JACK server changed its period from " + std::to_string(period_) + " to " + std::to_string(p) +
                      " frames; the patch cannot follow while it plays";
            break;
        }
        if (double r = changed_rate_.load(); r > 0) {
            failure = "the JACK server changed its rate from " + number_text(sr_) + " to " + number_text(r) +
                      " Hz; the patch cannot follow while it plays";
            break;
        }
        if (writer_failed_.load()) {
            failure = "recording to '" + out_path_ + "' failed: " + writer_error_;
            break;
        }
        try {
            check_interrupt();
        } catch (const Interrupted &) {
            interrupted = true;
            break;
        }
        std::int64_t x = xruns_.load();
        if (x != xruns_seen) {
            if (verbose) {
                clear_meter();
                note("xrun" + std::string(x - xruns_seen > 1 ? "s" : "") + " at " + fixed(double(position_.load()) / sr_, 2) +
                     " s (" + std::to_string(x) + " so far)");
            }
            xruns_seen = x;
        }
        double now = seconds_now();
        if (terminal && now - last_meter >= 0.5) {
            std::fprintf(stderr, "\r%s\033[K", meter_line(double(position_.load()) / sr_).c_str());
            std::fflush(stderr);
            meter_shown = true;
            last_meter = now;
        }
        sleep_seconds(0.02);
    }
    clear_meter();

    // Stop the audio first, then the scheduler, then let the writer drain the ring.
    halted_.store(true, std::memory_order_release);
    if (!server_gone_.load() && active_) {
        jack_deactivate(client_);
        active_ = false;
    }
    scheduler_stop_.store(true);
    if (scheduler.joinable())
        scheduler.join();
    writer_stop_.store(true);
    if (writer.joinable())
        writer.join();

    const std::int64_t played = position_.load();
    const std::int64_t played_kept = limit_ >= 0 ? std::min(played, limit_) : played;
    if (writer_failed_.load() && failure.empty())
        failure = "recording to '" + out_path_ + "' failed: " + writer_error_;
    if (writer_ && !writer_failed_.load()) {
        writer_->finish();
        if (!failure.empty())
            failure += "; the " + fixed(double(recorded_.load()) / sr_, 2) + " s recorded so far are kept in '" + out_path_ + "'";
    }

    const std::int64_t cb = callbacks_.load();
    const double period_s = double(period_) / sr_;
    const double mean = cb ? double(load_sum_ns_.load()) * 1e-9 / double(cb) / period_s : 0.0;
    const double worst = double(load_max_ns_.load()) * 1e-9 / period_s;
    std::string closing = "live: played " + fixed(double(played_kept) / sr_, 2) + " s (" + std::to_string(played_kept) + " samples)" +
                          (interrupted ? ", stopped by a signal" : "") + "; xruns " + std::to_string(xruns_.load()) +
                          "; callback load mean " + fixed(100.0 * mean, 2) + "%, worst " + fixed(100.0 * worst, 2) + "% of the " +
                          fixed(period_s * 1000.0, 3) + " ms period; allocations on the audio thread " +
                          std::to_string(alloc_total_.load());
    if (alloc_callbacks_.load())
        closing += " (in " + std::to_string(alloc_callbacks_.load()) + " callbacks)";
    if (std::int64_t lost = patch_.clock_handoffs_dropped())
        closing += "; clock changes lost on the way to the scheduler " + std::to_string(lost);
    note(closing);
    if (std::int64_t d = rec_dropped_.load())
        note("the recording lost " + std::to_string(d) + " samples: the disk did not keep up");
    if (std::int64_t b = nonfinite_.load())
        note("the output had " + std::to_string(b) + " samples that are not finite numbers");
    if (!failure.empty()) {
        note(failure);
        return exit_failed;
    }
    return rec_dropped_.load() || nonfinite_.load() ? exit_failed : exit_ok;
}

// A message as the scheduler thread delivers it.
struct Timed {
    std::int64_t due;
    tk::Box *box;
    int inlet;
    std::string selector;
    tk::Atoms args;
};

// The scheduler's work at a sample position: the due messages, then the clocks.
struct Scheduling {
    tk::Patch &patch;
    std::vector<Timed> timed;
    std::size_t next = 0;
    std::vector<tk::Box *> boxes;
    double sr = 0;

    void deliver(std::int64_t position)
    {
        while (next < timed.size() && timed[next].due <= position) {
            const Timed &m = timed[next++];
            try {
                patch.send(m.box, m.inlet, m.selector, m.args);
            } catch (const tk::Error &e) {
                tk::console_emit({tk::ConsoleLine::Error, m.box->cls().name, e.what()});
            }
        }
    }
    void tick(std::int64_t position)
    {
        deliver(position);
        patch.scheduler_tick(double(position) * 1000.0 / sr);
        for (tk::Box *b : boxes)  // nothing reads the recorded events of a live run
            b->clear_events();
    }
};

std::int64_t length_in_frames(std::optional<double> seconds, std::optional<long long> samples, double sr)
{
    if (samples)
        return *samples;
    if (seconds)
        return std::llround(*seconds * sr);
    return -1;
}

std::string stem_of(const std::string &path)
{
    std::string s = std::filesystem::path(path).stem().string();
    return s.empty() ? "tilde" : s;
}


// The box's signal outlets into the player's output buffers, through taps.
void tap_outlets(tk::Patch &patch, tk::Box *box, const std::vector<int> &outlets, Player &player)
{
    for (std::size_t j = 0; j < outlets.size(); ++j)
        patch.tap(box, outlets[j], [&player, j](const double *block, long n) {
            std::copy(block, block + n, player.output(int(j)).data());
        });
}

}  // namespace

void add_live_options(CLI::App &app)
{
    LiveSettings &s = settings();
    for (const char *name : {"run", "render"}) {
        CLI::App *cmd = nullptr;
        try {
            cmd = app.get_subcommand(name);
        } catch (const CLI::Error &) {
            continue;
        }
        s.commands.push_back(cmd);
        bool run = std::string(name) == "run";
        cmd->add_flag("--live", s.live,
                      run ? "Play through a running JACK server instead of rendering: one port per adc~ / dac~ channel (in_N, out_N), "
                            "at the server's rate and period, until --seconds or Ctrl-C; --out records as it plays"
                          : "Play the box through a running JACK server: the --inputs signal inlets are input ports in_K, the "
                            "signal outlets output ports out_K, at the server's rate and period, until --seconds or Ctrl-C");
        cmd->add_option("--connect-in", s.connect_in,
                        "--live: JACK ports (or a client, meaning its ports in order; '-' skips one) to connect to the inputs, "
                        "comma-separated (default: the physical capture ports)")
            ->delimiter(',')
            ->type_name("PORT,...");
        cmd->add_option("--connect-out", s.connect_out,
                        "--live: JACK ports (or a client) to connect the outputs to (default: the physical playback ports)")
            ->delimiter(',')
            ->type_name("PORT,...");
        cmd->add_flag("--no-connect", s.no_connect, "--live: leave the ports unconnected");
        cmd->add_option("--client-name", s.client_name, "--live: JACK client name (default: the patch's or the external's name)")
            ->type_name("NAME");
        cmd->add_flag("--verbose", s.verbose, "--live: report each xrun as it happens");
        if (!run)
            cmd->add_option("--inputs", s.inputs, "--live: signal inlets that are JACK input ports (default: 0, unless --signal feeds it)")
                ->delimiter(',')
                ->type_name("K,...");
    }
}

bool live_requested() { return settings().live; }

namespace {

void check_live_inputs(const std::string &in, const std::string &events, const char *input_source)
{
    if (!in.empty())
        throw BadInput("--in cannot be used with --live: " + std::string(input_source) +
                       " read the JACK input ports (connect a player to them with --connect-in)");
    if (!events.empty())
        throw BadInput("--events cannot be used with --live (control events are not recorded while playing)");
}

}  // namespace

int play_patch_live(tk::Patch &patch, Schedule &schedule, const RunOptions &o)
{
    check_live_inputs(o.in, o.events, "adc~ boxes");
    const LiveSettings &s = settings();
    int adc = 0, dac = 0;
    std::vector<tk::Box *> boxes = patch.boxes();
    for (tk::Box *b : boxes) {
        const std::string &name = b->cls().name;
        if (name == "adc~" || name == "dac~" || name == "ezdac~") {
            int &top = name == "adc~" ? adc : dac;
            for (int c : io_channels(*b))
                top = std::max(top, c);
        }
    }
    if (dac == 0)
        note(o.patch + " has no dac~ or ezdac~: nothing will be heard");
    if (!o.out.empty() && dac == 0)
        throw BadInput(o.patch + " has no dac~ or ezdac~ to write to '" + o.out + "'");
    PortPlan plan;
    for (int c = 1; c <= adc; ++c)
        plan.inputs.push_back("in_" + std::to_string(c));
    for (int c = 1; c <= dac; ++c)
        plan.outputs.push_back("out_" + std::to_string(c));

    Player player(patch, s.client_name.empty() ? stem_of(o.patch) : s.client_name, plan, o.patch);
    player.settle_patch(o.samplerate);
    const double sr = player.samplerate();
    if (!o.out.empty())
        player.record_to(o.out, parse_sample_format(o.format), dac);

    Scheduling sched{patch, {}, 0, boxes, sr};
    for (const auto &m : schedule.undelivered())
        sched.timed.push_back({due_at(m, sr), m.box, m.inlet, m.selector, m.args});
    std::stable_sort(sched.timed.begin(), sched.timed.end(), [](const Timed &a, const Timed &b) { return a.due < b.due; });

    // adc~ and dac~ talk to the player's buffers (the run's own sink is replaced).
    tk::objects::set_audio_source([&player](int ch, std::int64_t, long n, double *out) {
        if (ch >= 0 && ch < player.inputs())
            std::copy(player.input(ch).data(), player.input(ch).data() + n, out);
        else
            std::fill(out, out + n, 0.0);
    });
    tk::objects::set_audio_sink([&player](int ch, std::int64_t, long n, const double *in) {
        if (ch < 0 || ch >= player.outputs())
            return;
        double *dst = player.output(ch).data();
        for (long i = 0; i < n; ++i)
            dst[i] += in[i];
    });
    player.block = [&patch] { patch.audio_block(); };
    player.schedule = [&](std::int64_t pos) { sched.tick(pos); };
    return player.play(length_in_frames(o.seconds, o.samples, sr), s.connect_in, s.connect_out, s.no_connect, s.verbose);
}

int play_box_live(tk::Patch &patch, tk::Box *box, const std::vector<Message> &messages, const std::map<int, TestSignal> &signals,
                  const RenderOptions &o)
{
    check_live_inputs(o.in, o.events, "the box's signal inlets");
    const LiveSettings &s = settings();
    PortPlan plan;
    std::vector<int> port_inlets, outlets;
    // The other signal inlets stay unconnected, as in an offline render, so the box
    // chooses the same perform variant.
    std::vector<int> wanted = s.inputs;
    if (!option_given("--inputs") && box->signal_inlets() > 0 && !signals.count(0))
        wanted = {0};
    for (int i : wanted) {
        if (i < 0 || i >= box->signal_inlets())
            throw BadInput("--inputs: " + o.name + " has no signal inlet " + std::to_string(i) + " (it has " +
                           std::to_string(box->signal_inlets()) + ")");
        if (signals.count(i))
            throw BadInput("--inputs: signal inlet " + std::to_string(i) + " is fed by --signal '" + signals.at(i).text + "'");
        if (std::find(port_inlets.begin(), port_inlets.end(), i) != port_inlets.end())
            continue;
        port_inlets.push_back(i);
        plan.inputs.push_back("in_" + std::to_string(i));
    }
    for (int k = 0; k < box->outlets(); ++k)
        if (box->outlet_is_signal(k)) {
            outlets.push_back(k);
            plan.outputs.push_back("out_" + std::to_string(k));
        }
    if (!o.out.empty() && outlets.empty())
        throw BadInput(o.name + " has no signal outlet to write to '" + o.out + "'");

    Player player(patch, s.client_name.empty() ? o.name : s.client_name, plan, o.name);
    player.settle_patch(o.samplerate);
    const double sr = player.samplerate();
    const std::int64_t frames = length_in_frames(o.seconds, o.samples, sr);
    if (!o.out.empty())
        player.record_to(o.out, parse_sample_format(o.format), int(outlets.size()));

    Scheduling sched{patch, {}, 0, {box}, sr};
    for (const auto &m : messages) {
        if (m.timed())
            sched.timed.push_back({m.due_sample(sr), box, m.inlet, m.selector, m.args});
        else
            patch.send(box, m.inlet, m.selector, m.args);
    }
    std::stable_sort(sched.timed.begin(), sched.timed.end(), [](const Timed &a, const Timed &b) { return a.due < b.due; });
    for (const auto &[inlet, form] : signals)
        patch.feed(box, inlet, make_generator(form, sr, frames > 0 ? frames : std::int64_t(sr * 60)));
    for (std::size_t j = 0; j < port_inlets.size(); ++j)
        patch.feed(box, port_inlets[j], [&player, j](double *out, long n, std::int64_t) {
            std::copy(player.input(int(j)).data(), player.input(int(j)).data() + n, out);
        });
    tap_outlets(patch, box, outlets, player);
    player.block = [&patch] { patch.audio_block(); };
    player.schedule = [&](std::int64_t pos) { sched.tick(pos); };
    return player.play(frames, s.connect_in, s.connect_out, s.no_connect, s.verbose);
}

}  // namespace tilde
