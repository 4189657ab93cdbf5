// Embedding API of the headless host: load externals, create boxes, send messages,
// connect them, run the DSP chain and clocks, watch the console and the allocator.
// Used by the tests, the `tilde` command and the benchmarks.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct _object;
struct _class;

namespace tk {

// A loading or usage error of the host (external not found, wrong width, bad inlet...).
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One atom of a message or a box text: integer, float or symbol.
struct Atom {
    std::variant<std::int64_t, double, std::string> v;
    template <std::integral T>
    Atom(T i) : v(std::int64_t(i)) {}
    template <std::floating_point T>
    Atom(T f) : v(double(f)) {}
    Atom(const char *s) : v(std::string(s)) {}
    Atom(std::string s) : v(std::move(s)) {}
    bool is_int() const { return v.index() == 0; }
    bool is_float() const { return v.index() == 1; }
    bool is_symbol() const { return v.index() == 2; }
    std::string text() const;
};
using Atoms = std::vector<Atom>;

// Splits a box or message text into typed atoms ("1" int, "1.5" / "1e3" float, else symbol).
Atoms parse_atoms(const std::string &text);
std::string atoms_text(const Atoms &atoms);

// ---- console ----------------------------------------------------------------------
struct ConsoleLine {
    enum Kind { Post, Error } kind;
    std::string object;  // class name of the posting object ("" when unknown)
    std::string text;
};

// Console lines go to stderr ("name: text", "name: error: text") unless captured. A capture
// belongs to the thread that made it and gets the lines posted on that thread only (nested
// captures: the innermost); lines posted on a thread without a capture of its own go to the
// sink or stderr. The sink and stderr may be reached from any thread, one line at a time.
class ConsoleCapture {
public:
    ConsoleCapture();  // starts capturing on this thread (nests; the innermost capture gets the lines)
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;
    const std::vector<ConsoleLine> &lines() const { return lines_; }
    std::vector<std::string> texts() const;               // every text, posts and errors
    std::vector<std::string> texts(ConsoleLine::Kind k) const;
    bool contains(const std::string &fragment) const;    // any line contains it
    void clear() { lines_.clear(); }

private:
    friend void console_emit(const ConsoleLine &);
    std::vector<ConsoleLine> lines_;
    ConsoleCapture *outer_;
};
void console_emit(const ConsoleLine &line);
// Optional sink for every line that is not captured (the tilde command prefixes names).
void set_console_sink(std::function<void(const ConsoleLine &)> sink);

// ---- memory -----------------------------------------------------------------------
// A new routine that gives up after object_alloc releases the record with freeobject(x),
// which runs the class's free routine first, as the real host does.
struct MemoryStats {
    std::int64_t live_blocks = 0;  // sysmem blocks, instance records and clocks alive
    std::int64_t live_bytes = 0;
    std::int64_t total_allocations = 0;
};
MemoryStats memory_stats();
// Fault injection on sysmem_newptr / sysmem_newptrclear / sysmem_resizeptr:
// fail the nth allocation from now (1 = the next one), or every one above a size.
void fail_nth_allocation(std::int64_t n);
void fail_allocations_above(std::size_t bytes);
void clear_allocation_faults();
// Counts allocations made while a perform routine runs, on any thread (none are allowed there).
std::int64_t allocations_in_perform();
// Signal objects (set up with z_dsp_setup) whose free routine returned without z_dsp_free.
std::int64_t frees_without_dsp_free();

// ---- classes and loading ----------------------------------------------------------
struct MethodInfo {
    std::string selector;
    std::vector<int> types;  // argument type codes, without the closing 0
};

struct ClassInfo {
    std::string name;
    std::string file;                  // path of the module it came from
    int width_bits = 0;                // 64 or 32
    std::string arch;                  // the code that runs and its format: "x86_64 (ELF)", "x86_64 (Mach-O)"
    std::string entry;                 // "ext_main" or "main"
    std::vector<int> creation_types;   // without the closing 0
    std::vector<MethodInfo> methods;   // in registration order (re-registrations kept)
    bool has_free = false;
    bool dsp = false;                  // class_dspinit was called
    std::vector<std::string> banner;   // lines posted while the entry routine ran
    long instance_size = 0;
};

// Directories searched for NAME.mxe64 (64-bit host) or NAME.mxe (32-bit host); on Linux x86-64
// also for NAME.mxo (a macOS bundle, whose x86_64 code the host runs) where no NAME.mxe64 is.
void add_search_path(const std::string &dir);
void set_search_paths(std::vector<std::string> dirs);
std::vector<std::string> search_paths();
// The module extension of this host's width: ".mxe64" or ".mxe".
const char *module_extension();
// Every extension the host loads, its own first: with ".mxo" where it runs macOS bundles.
std::vector<std::string> module_extensions();
int host_width_bits();

// Loads the external (once per process) and returns its class; throws tk::Error with
// the file and the cause when it cannot be loaded.
const ClassInfo &load_class(const std::string &name);

// ---- boxes, patches, DSP ----------------------------------------------------------
// Threads: each Patch has its own logical time, clocks, sample rate, vector size, chain and
// deferred calls, so two patches may be created, used and run on two threads at once (boxes of
// one patch never touch another's). The shared tables (symbols, classes and loading, objects,
// the console, memory accounting) may be used from any thread. A Patch is used by one thread at
// a time, except in its two-thread mode (set_threaded).
class Patch;

struct Event {
    std::int64_t sample;   // samples processed by the patch when it was sent
    double time_ms;        // logical time
    int outlet;            // outlet index, 0 = leftmost
    enum Kind { Bang, Int, Float, List, Message } kind;
    double value;          // Int and Float; 0 otherwise
    // List: its atoms; Message (any other selector, outlet_anything): the selector and its atoms
    std::string selector = {};
    Atoms atoms = {};
};

class Box {
public:
    const ClassInfo &cls() const { return *cls_; }
    _object *object() const { return obj_; }
    const std::string &text() const { return text_; }
    int signal_inlets() const;
    int signal_outlets() const;
    int outlets() const;                // all outlets, signal and control
    int control_outlets() const { return outlets() - signal_outlets(); }
    int inlets() const;                 // signal inlets and number inlets
    bool outlet_is_signal(int outlet) const;
    bool no_inplace() const;
    // Asks the object for an inlet (io = 1) or outlet (io = 2) text; nullopt when it
    // leaves the buffer untouched.
    std::optional<std::string> assist(int io, int index) const;
    // Control events sent from the outlets of this box (recorded always). An outlet may send
    // from any thread (a clock on the scheduler, a message from a thread of the program's or
    // the external's own), so events are recorded under a lock of the box's; events() reads
    // the list as it is, for when no other thread sends, take_events() moves it out at any time.
    const std::vector<Event> &events() const { return events_; }
    void clear_events() {
        std::lock_guard lock(events_lock_);
        events_.clear();
    }
    std::vector<Event> take_events() {
        std::lock_guard lock(events_lock_);
        return std::exchange(events_, {});
    }

private:
    friend class Patch;
    friend struct HostAccess;
    Box() = default;
    const ClassInfo *cls_ = nullptr;
    _object *obj_ = nullptr;
    std::string text_;
    Patch *patch_ = nullptr;
    std::mutex events_lock_;  // innermost, held only while an event is added or the list taken
    std::vector<Event> events_;
};

class Patch {
public:
    explicit Patch(double samplerate = 44100.0, int blocksize = 64);
    ~Patch();  // frees every box
    Patch(const Patch &) = delete;
    Patch &operator=(const Patch &) = delete;

    // Creates a box from its text ("bandres~ 1000 10"). Throws tk::Error when the
    // external cannot be loaded; returns nullptr when its new routine refuses
    // (the reason is on the console).
    Box *create(const std::string &text);
    Box *create(const std::string &name, const Atoms &args);
    void free(Box *box);  // takes it out of the running chain first
    std::vector<Box *> boxes() const;

    // Messages. A bare number is sent as "int" or "float"; throws tk::Error for an
    // inlet that does not exist. Unknown selectors and bad arguments are posted as
    // errors naming the object and selector, and nothing is called.
    void send(Box *box, int inlet, const std::string &selector, const Atoms &args = {});
    void send(Box *box, const std::string &selector, const Atoms &args = {}) {
        send(box, 0, selector, args);
    }
    void send_float(Box *box, int inlet, double v) { send(box, inlet, "float", {v}); }
    void send_int(Box *box, int inlet, long v) { send(box, inlet, "int", {v}); }
    void send_text(Box *box, int inlet, const std::string &message);  // "set 0.5", "3"

    // Connections: a signal outlet to a signal inlet, or a control outlet to any inlet.
    // Throws tk::Error for indices that do not exist; a feedback loop of signal
    // connections is refused (tk::Error) when the chain is compiled.
    void connect(Box *from, int outlet, Box *to, int inlet);
    void disconnect(Box *from, int outlet, Box *to, int inlet);

    // Signals from outside: `feed` gives a signal inlet a fixed buffer (it reads zeros
    // past the end) or a generator called once per block; the inlet counts as connected.
    void feed(Box *box, int inlet, std::vector<double> samples);
    void feed(Box *box, int inlet, std::function<void(double *out, long n, std::int64_t start)> gen);
    void unfeed(Box *box, int inlet);
    // Records a signal outlet from the next block on; it counts as connected.
    void capture(Box *box, int outlet);
    const std::vector<double> &output(Box *box, int outlet) const;
    void clear_outputs();

    // Settings; a change recompiles the chain before the next block.
    void set_samplerate(double sr);
    void set_blocksize(int n);  // 1..4096
    void set_legacy(bool on);    // call `dsp` (32-bit float path) where the class has it
    // Gives every box output buffers of their own, whatever its no-in-place flag, and checks
    // after each perform routine that it left its input buffers as they were; a write is
    // posted as an error and counted in input_writes().
    void set_separate_buffers(bool on);
    std::int64_t input_writes() const { return input_writes_; }
    double samplerate() const { return sr_; }
    int blocksize() const { return block_; }
    bool legacy() const { return legacy_; }

    // Compiles the chain (dsp64 / dsp of every signal box); throws tk::Error on a loop.
    void compile();
    void dsp_off();  // stops; the next run compiles again
    // Runs whole blocks until at least `frames` samples have been processed: clocks
    // due at each block's end fire after it. Compiles first when needed.
    void run(std::int64_t frames);
    void run_blocks(std::int64_t blocks);
    std::int64_t samples_processed() const;
    // Advances logical time without DSP, firing due clocks.
    void advance(double ms);
    double now_ms() const;

    // Runs one box on given inputs and returns its signal outputs: feeds every signal
    // inlet from `inputs` (missing ones silent), captures every signal outlet.
    std::vector<std::vector<double>> process(Box *box, const std::vector<std::vector<double>> &inputs,
                                             std::int64_t frames);

    // ---- two threads, as a live player runs a patch ----
    // The two-thread mode: the DSP chain runs on an audio thread (audio_block) while clocks
    // fire and messages arrive on a scheduler thread (scheduler_tick, send, send_text). Set it
    // before compile() (it compiles the chain again); off by default. Boxes, connections, feeds
    // and taps change only while no audio_block runs.
    void set_threaded(bool on);
    bool threaded() const;
    // Audio thread: runs exactly one block of the compiled chain (feeds read, taps called), fires
    // no clock, takes no lock and allocates nothing of its own. Clocks that perform routines set or
    // unset go to the scheduler through a lock-free queue. Does nothing until compiled.
    void audio_block();
    // Scheduler thread: takes the clocks handed over by the audio thread (a delay counts from the
    // logical time they are taken at), moves logical time to until_ms firing every clock due by
    // then in due order, then runs deferred calls. Time never goes back.
    void scheduler_tick(double until_ms);
    // Allocator calls on the audio thread inside audio_block since set_threaded(true): the C
    // library's where an interposer counts them (tools/alloc_watch.cpp), else the host's own.
    std::int64_t audio_allocations() const;
    // Clock changes the audio thread could not hand over (queue full; the scheduler stalled).
    std::int64_t clock_handoffs_dropped() const;

    // Taps: f gets a signal outlet's samples after every block (audio_block or run); the outlet
    // counts as connected; nothing is recorded or allocated. One tap per outlet (a new one
    // replaces it); untap removes it. Both recompile the chain.
    void tap(Box *box, int outlet, std::function<void(const double *block, long n)> f);
    void untap(Box *box, int outlet);

    struct Impl;

private:
    friend struct HostAccess;
    double sr_;
    int block_;
    bool legacy_ = false;
    bool separate_ = false;
    std::int64_t input_writes_ = 0;
    std::int64_t processed_ = 0;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tk

// For malloc interposers in a host program, which may read nothing that allocates.
#if defined(__GNUC__) && !defined(_WIN32)
#define TILDEKIT_THREAD_LOCAL __thread
#define TILDEKIT_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define TILDEKIT_THREAD_LOCAL thread_local
#define TILDEKIT_TLS_MODEL
#endif
extern "C" {
// How many perform routines run now, on all threads (non-zero: one runs somewhere).
extern std::atomic<int> tildekit_performing;
// True on this thread exactly while a perform routine runs on it, and for the whole of
// Patch::audio_block on the audio thread of the two-thread mode.
extern TILDEKIT_THREAD_LOCAL bool tildekit_performing_here TILDEKIT_TLS_MODEL;
// Counted by an interposer: allocator calls on this thread while tildekit_performing_here.
extern TILDEKIT_THREAD_LOCAL std::int64_t tildekit_allocations_here TILDEKIT_TLS_MODEL;
}
