// The host's own objects (see tildeobjects.h). Each is a plain record with free routines,
// defined through the same class interface the externals use, and registered in "box".
#include <ext.h>
#include <z_dsp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tildeobjects.h"
#include "tildesdk.h"

namespace {

using tk::objects::AudioSink;
using tk::objects::AudioSource;
using tk::objects::MessageRouter;

AudioSource audio_source;
AudioSink audio_sink;
MessageRouter message_router;
std::vector<std::string> file_folders;
std::function<void(const std::string &)> print_sink;
std::vector<std::string> names;

const double two_pi = 6.283185307179586476925286766559;
const int max_channels = 64;

// ---- atoms and sending -------------------------------------------------------------

tk::Atoms to_atoms(long argc, const t_atom *argv)
{
    tk::Atoms out;
    for (long i = 0; i < argc; ++i) {
        const t_atom &a = argv[i];
        if (a.a_type == A_LONG)
            out.emplace_back(std::int64_t(a.a_w.w_long));
        else if (a.a_type == A_FLOAT)
            out.emplace_back(double(a.a_w.w_float));
        else if (a.a_type == A_SYM && a.a_w.w_sym)
            out.emplace_back(std::string(a.a_w.w_sym->s_name));
    }
    return out;
}

double atom_number(const tk::Atom &a)
{
    if (a.is_int())
        return double(std::get<std::int64_t>(a.v));
    if (a.is_float())
        return std::get<double>(a.v);
    return 0.0;
}

// Sends one message from an outlet: a bang or a single number goes through the host's
// outlet; anything else through the embedding program's router.
void emit(t_object *x, void *outlet, int outlet_index, const std::string &selector, const tk::Atoms &args)
{
    if (selector == "bang" && args.empty()) {
        outlet_bang(outlet);
        return;
    }
    if ((selector == "int" || selector == "float" || selector == "list") && args.size() == 1 && !args[0].is_symbol()) {
        if (args[0].is_int() && selector != "float")
            outlet_int(outlet, t_atom_long(std::get<std::int64_t>(args[0].v)));
        else
            outlet_float(outlet, atom_number(args[0]));
        return;
    }
    if (message_router) {
        message_router(x, outlet_index, selector, args);
        return;
    }
    object_error(x, "cannot send '%s' from its outlet: this host carries only bangs and numbers there",
                 (selector + (args.empty() ? "" : " " + tk::atoms_text(args))).c_str());
}

// Splits stored contents at "," into messages and sends each: a leading number makes an
// int, a float or a list; a leading word is the selector.
void emit_contents(t_object *x, void *outlet, const tk::Atoms &contents)
{
    tk::Atoms part;
    auto flush = [&]() {
        if (part.empty())
            return;
        if (part[0].is_symbol()) {
            std::string sel = std::get<std::string>(part[0].v);
            emit(x, outlet, 0, sel, tk::Atoms(part.begin() + 1, part.end()));
        } else if (part.size() == 1) {
            emit(x, outlet, 0, part[0].is_int() ? "int" : "float", part);
        } else {
            emit(x, outlet, 0, "list", part);
        }
        part.clear();
    };
    for (const auto &a : contents) {
        if (a.is_symbol() && std::get<std::string>(a.v) == ",")
            flush();
        else
            part.push_back(a);
    }
    flush();
}

t_class *define(const char *name, method mnew, method mfree, long size)
{
    t_class *c = class_new(name, mnew, mfree, size, nullptr, A_GIMME, 0);
    names.push_back(name);
    return c;
}

void finish(t_class *c, bool dsp)
{
    if (dsp)
        class_dspinit(c);
    class_register(gensym("box"), c);
}

bool read_channels(t_object *x, const char *name, long argc, t_atom *argv, int *channels, int *count)
{
    *count = 0;
    if (argc == 0) {
        channels[0] = 1;
        channels[1] = 2;
        *count = 2;
        return true;
    }
    for (long i = 0; i < argc && i < max_channels; ++i) {
        t_atom_long ch = 0;
        if (argv[i].a_type == A_SYM || atom_arg_getlong(&ch, i, argc, argv) != 0 || ch < 1 || ch > 1024) {
            object_error(x, "%s: argument %ld is not a channel number (1 to 1024)", name, i + 1);
            return false;
        }
        channels[(*count)++] = int(ch);
    }
    if (argc > max_channels)
        object_post(x, "%s: only the first %d channels are used", name, max_channels);
    return true;
}

// ---- adc~ / dac~ / ezdac~ ------------------------------------------------------------

struct t_audio_io {
    t_pxobject ob;
    int channels[max_channels];
    int count;
    std::int64_t position;  // samples this box has run, i.e. the run's position
    short connected[max_channels];
};

t_class *adc_class, *dac_class, *ezdac_class;

void io_perform_in(t_object *xo, t_object *, double **, long, double **outs, long numouts, long n, long, void *)
{
    auto *x = reinterpret_cast<t_audio_io *>(xo);
    for (long k = 0; k < numouts && k < x->count; ++k) {
        if (audio_source)
            audio_source(x->channels[k] - 1, x->position, n, outs[k]);
        else
            std::memset(outs[k], 0, sizeof(double) * std::size_t(n));
    }
    x->position += n;
}

void io_perform_out(t_object *xo, t_object *, double **ins, long numins, double **, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_audio_io *>(xo);
    if (audio_sink)
        for (long k = 0; k < numins && k < x->count; ++k)
            if (x->connected[k])
                audio_sink(x->channels[k] - 1, x->position, n, ins[k]);
    x->position += n;
}

void io_dsp64(t_audio_io *x, t_object *dsp64, short *count, double, long, long)
{
    bool out = x->ob.z_count > 0;  // dac~ has the signal inlets, adc~ the outlets
    for (int k = 0; k < x->count; ++k)
        x->connected[k] = out ? count[k] : 0;
    object_method(dsp64, gensym("dsp_add64"), x, out ? io_perform_out : io_perform_in, 0, NULL);
}

void io_ignore(t_audio_io *) {}
void io_ignore_long(t_audio_io *, t_atom_long) {}

void *io_new(t_class *c, const char *name, bool input, bool fixed, long argc, t_atom *argv)
{
    auto *x = static_cast<t_audio_io *>(object_alloc(c));
    if (!x)
        return nullptr;
    if (!read_channels(&x->ob.z_ob, name, fixed ? 0 : argc, argv, x->channels, &x->count)) {
        freeobject(x);
        return nullptr;
    }
    x->position = 0;
    z_dsp_setup(&x->ob, input ? 0 : x->count);
    if (input)
        for (int k = 0; k < x->count; ++k)
            outlet_new(x, "signal");
    return x;
}

void *adc_new(t_symbol *, long argc, t_atom *argv) { return io_new(adc_class, "adc~", true, false, argc, argv); }
void *dac_new(t_symbol *, long argc, t_atom *argv) { return io_new(dac_class, "dac~", false, false, argc, argv); }
void *ezdac_new(t_symbol *, long argc, t_atom *argv) { return io_new(ezdac_class, "ezdac~", false, true, argc, argv); }
void io_free(t_audio_io *x) { z_dsp_free(&x->ob); }

void define_io()
{
    adc_class = define("adc~", (method)adc_new, (method)io_free, sizeof(t_audio_io));
    class_addmethod(adc_class, (method)io_dsp64, "dsp64", A_CANT, 0);
    finish(adc_class, true);
    for (t_class **c : {&dac_class, &ezdac_class}) {
        bool ez = c == &ezdac_class;
        *c = define(ez ? "ezdac~" : "dac~", ez ? (method)ezdac_new : (method)dac_new, (method)io_free, sizeof(t_audio_io));
        class_addmethod(*c, (method)io_dsp64, "dsp64", A_CANT, 0);
        // audio is always on in this host: switching it is accepted and changes nothing
        class_addmethod(*c, (method)io_ignore, "start", 0);
        class_addmethod(*c, (method)io_ignore, "stop", 0);
        class_addmethod(*c, (method)io_ignore, "startwindow", 0);
        class_addmethod(*c, (method)io_ignore_long, "int", A_LONG, 0);
        finish(*c, true);
    }
}

// ---- sig~, cycle~, phasor~, noise~, *~, +~ --------------------------------------------

// A number arrives on the scheduler (or any other) thread while the perform routine may be
// reading on the audio thread: value, left and offset are stored and loaded whole (relaxed
// atomics), and a phase restart is a request the perform routine takes at its next block, so
// that neither thread's write of the running phase is lost.
struct t_osc {
    t_pxobject ob;
    double value;   // sig~: the value; cycle~ / phasor~: frequency; *~ / +~: right operand
    double left;    // *~ / +~: left operand while no signal is connected there
    double offset;  // cycle~: phase offset in cycles
    double phase;   // running phase in cycles, in [0, 1); the perform routine's own
    double restart;  // phasor~: a phase to restart at (wrapped: in [0, 1) or NaN), -1 when none is asked for
    double sr;
    std::uint32_t seed;  // noise~
    short conn[2];
};

double shared_load(double &f) { return std::atomic_ref<double>(f).load(std::memory_order_relaxed); }
void shared_store(double &f, double v) { std::atomic_ref<double>(f).store(v, std::memory_order_relaxed); }
// A flag a message raises under the object's lock and the perform routine looks at before it
// tries that lock (and clears under it).
long flag_load(long &f) { return std::atomic_ref<long>(f).load(std::memory_order_relaxed); }
void flag_store(long &f, long v) { std::atomic_ref<long>(f).store(v, std::memory_order_relaxed); }

t_class *sig_class, *cycle_class, *phasor_class, *noise_class, *mul_class, *add_class;

double wrap(double p) { return p - std::floor(p); }

void sig_perform(t_object *xo, t_object *, double **ins, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    const double *in = ins[0];
    double *out = outs[0];
    const double v = shared_load(x->value);
    for (long i = 0; i < n; ++i)
        out[i] = x->conn[0] ? in[i] : v;
}

void cycle_perform(t_object *xo, t_object *, double **ins, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    const double *f = ins[0], *ph = ins[1];
    double *out = outs[0];
    double p = x->phase;
    const double k = 1.0 / x->sr;
    const double value = shared_load(x->value), offset = shared_load(x->offset);
    for (long i = 0; i < n; ++i) {
        double freq = x->conn[0] ? f[i] : value;
        double off = x->conn[1] ? ph[i] : offset;
        out[i] = std::cos(two_pi * (p + off));
        p = wrap(p + freq * k);
    }
    x->phase = std::isfinite(p) ? p : 0.0;
}

void phasor_perform(t_object *xo, t_object *, double **ins, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    const double *f = ins[0];
    double *out = outs[0];
    const double restart = std::atomic_ref<double>(x->restart).exchange(-1.0, std::memory_order_relaxed);
    double p = restart == -1.0 ? x->phase : restart;
    const double k = 1.0 / x->sr;
    const double value = shared_load(x->value);
    for (long i = 0; i < n; ++i) {
        double freq = x->conn[0] ? f[i] : value;
        out[i] = p;
        p = wrap(p + freq * k);
    }
    x->phase = std::isfinite(p) ? p : 0.0;
}

void noise_perform(t_object *xo, t_object *, double **, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    std::uint32_t s = x->seed;
    double *out = outs[0];
    for (long i = 0; i < n; ++i) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        out[i] = double(s) * (2.0 / 4294967296.0) - 1.0;
    }
    x->seed = s;
}

template <bool Multiply>
void arith_perform(t_object *xo, t_object *, double **ins, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    const double *a = ins[0], *b = ins[1];
    double *out = outs[0];
    const double left = shared_load(x->left), value = shared_load(x->value);
    for (long i = 0; i < n; ++i) {
        double l = x->conn[0] ? a[i] : left;
        double r = x->conn[1] ? b[i] : value;
        out[i] = Multiply ? l * r : l + r;
    }
}

void osc_dsp64(t_osc *x, t_object *dsp64, short *count, double sr, long, long)
{
    if (sr > 0)
        x->sr = sr;
    int nin = x->ob.z_count;
    x->conn[0] = nin > 0 ? count[0] : 0;
    x->conn[1] = nin > 1 ? count[1] : 0;
    t_class *c = static_cast<t_class *>(x->ob.z_ob.o_messlist);
    t_perfroutine64 f = sig_perform;
    if (c == cycle_class)
        f = cycle_perform;
    else if (c == phasor_class)
        f = phasor_perform;
    else if (c == noise_class)
        f = noise_perform;
    else if (c == mul_class)
        f = arith_perform<true>;
    else if (c == add_class)
        f = arith_perform<false>;
    object_method(dsp64, gensym("dsp_add64"), x, f, 0, NULL);
}

void osc_float(t_osc *x, double v)
{
    long inlet = proxy_getinlet(&x->ob.z_ob);
    t_class *c = static_cast<t_class *>(x->ob.z_ob.o_messlist);
    if (c == mul_class || c == add_class) {
        if (inlet == 0)
            shared_store(x->left, v);
        else
            shared_store(x->value, v);
    } else if (c == cycle_class) {
        if (inlet == 0)
            shared_store(x->value, v);
        else
            shared_store(x->offset, v);
    } else if (c == phasor_class) {
        if (inlet == 0)
            shared_store(x->value, v);
        else
            shared_store(x->restart, wrap(v));  // a number at the right inlet restarts the ramp there
    } else {
        shared_store(x->value, v);
    }
}
void osc_int(t_osc *x, t_atom_long v) { osc_float(x, double(v)); }

std::uint32_t noise_instances = 0;

void *osc_new(t_symbol *s, long argc, t_atom *argv)
{
    std::string name = s ? s->s_name : "";
    t_class *c = name == "cycle~" ? cycle_class : name == "phasor~" ? phasor_class : name == "noise~" ? noise_class
                 : name == "*~" ? mul_class : name == "+~" ? add_class : sig_class;
    auto *x = static_cast<t_osc *>(object_alloc(c));
    if (!x)
        return nullptr;
    x->value = 0;
    x->left = 0;
    x->offset = 0;
    x->phase = 0;
    x->restart = -1.0;
    x->sr = sys_getsr();
    if (!(x->sr > 0))
        x->sr = 44100.0;
    // every noise~ gets its own sequence, the same from run to run
    x->seed = 0x9E3779B9u ^ (++noise_instances * 2654435761u);
    if (x->seed == 0)
        x->seed = 1;
    if (argc > 0 && argv[0].a_type != A_SYM)
        x->value = atom_getfloat(argv);
    else if (argc > 0 && c != cycle_class)
        object_post(&x->ob.z_ob, "%s: argument '%s' ignored (a number was expected)", name.c_str(), argv[0].a_w.w_sym->s_name);
    z_dsp_setup(&x->ob, (c == cycle_class || c == phasor_class || c == mul_class || c == add_class) ? 2 : 1);
    outlet_new(x, "signal");
    return x;
}
void osc_free(t_osc *x) { z_dsp_free(&x->ob); }

void define_signal_sources()
{
    t_class **classes[] = {&sig_class, &cycle_class, &phasor_class, &noise_class, &mul_class, &add_class};
    const char *cnames[] = {"sig~", "cycle~", "phasor~", "noise~", "*~", "+~"};
    for (int i = 0; i < 6; ++i) {
        t_class *c = define(cnames[i], (method)osc_new, (method)osc_free, sizeof(t_osc));
        *classes[i] = c;
        class_addmethod(c, (method)osc_dsp64, "dsp64", A_CANT, 0);
        class_addmethod(c, (method)osc_float, "float", A_FLOAT, 0);
        class_addmethod(c, (method)osc_int, "int", A_LONG, 0);
        finish(c, true);
    }
}

// ---- loadbang, loadmess, message boxes, button ---------------------------------------

struct t_msgbox {
    t_object ob;
    void *out;
    tk::Atoms *contents;
};

t_class *loadbang_class, *loadmess_class, *message_class, *button_class;

void *msgbox_new(t_symbol *s, long argc, t_atom *argv)
{
    std::string name = s ? s->s_name : "";
    t_class *c = name == "loadbang" ? loadbang_class : name == "loadmess" ? loadmess_class
                 : name == "button" ? button_class : message_class;
    auto *x = static_cast<t_msgbox *>(object_alloc(c));
    if (!x)
        return nullptr;
    x->contents = new tk::Atoms(to_atoms(argc, argv));
    x->out = outlet_new(x, nullptr);
    return x;
}
void msgbox_free(t_msgbox *x) { delete x->contents; }

void msgbox_bang(t_msgbox *x)
{
    t_class *c = static_cast<t_class *>(x->ob.o_messlist);
    if (c == loadbang_class || c == button_class)
        outlet_bang(x->out);
    else
        emit_contents(&x->ob, x->out, *x->contents);
}
void msgbox_float(t_msgbox *x, double) { msgbox_bang(x); }
void msgbox_int(t_msgbox *x, t_atom_long) { msgbox_bang(x); }
void msgbox_gimme(t_msgbox *x, t_symbol *, long, t_atom *) { msgbox_bang(x); }
void msgbox_set(t_msgbox *x, t_symbol *, long argc, t_atom *argv) { *x->contents = to_atoms(argc, argv); }

void define_triggers()
{
    t_class **classes[] = {&loadbang_class, &loadmess_class, &message_class, &button_class};
    const char *cnames[] = {"loadbang", "loadmess", "message", "button"};
    for (int i = 0; i < 4; ++i) {
        t_class *c = define(cnames[i], (method)msgbox_new, (method)msgbox_free, sizeof(t_msgbox));
        *classes[i] = c;
        class_addmethod(c, (method)msgbox_bang, "bang", 0);
        if (c == loadbang_class || c == loadmess_class) {
            class_addmethod(c, (method)msgbox_bang, "loadbang", 0);
        } else {
            // a message box or button sends on any input
            class_addmethod(c, (method)msgbox_float, "float", A_FLOAT, 0);
            class_addmethod(c, (method)msgbox_int, "int", A_LONG, 0);
            class_addmethod(c, (method)msgbox_gimme, "list", A_GIMME, 0);
            class_addmethod(c, (method)msgbox_gimme, "anything", A_GIMME, 0);
        }
        if (c == message_class)
            class_addmethod(c, (method)msgbox_set, "set", A_GIMME, 0);
        finish(c, false);
    }
}

// ---- print ---------------------------------------------------------------------------

struct t_print {
    t_object ob;
    std::string *name;
};
t_class *print_class;

void *print_new(t_symbol *, long argc, t_atom *argv)
{
    auto *x = static_cast<t_print *>(object_alloc(print_class));
    if (!x)
        return nullptr;
    tk::Atoms a = to_atoms(argc, argv);
    x->name = new std::string(a.empty() ? "print" : a[0].text());
    return x;
}
void print_free(t_print *x) { delete x->name; }

void print_line(t_print *x, const std::string &text)
{
    std::string line = *x->name + ": " + text;
    if (print_sink) {
        print_sink(line);
    } else {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}
void print_bang(t_print *x) { print_line(x, "bang"); }
void print_int(t_print *x, t_atom_long v) { print_line(x, std::to_string(static_cast<long long>(v))); }
void print_float(t_print *x, double v) { print_line(x, tk::Atom(v).text()); }
void print_list(t_print *x, t_symbol *, long argc, t_atom *argv) { print_line(x, tk::atoms_text(to_atoms(argc, argv))); }
void print_anything(t_print *x, t_symbol *s, long argc, t_atom *argv)
{
    std::string sel = s ? s->s_name : "";
    std::string rest = tk::atoms_text(to_atoms(argc, argv));
    // the router delivers other selectors as "anything SELECTOR ARGS"
    if (sel == "anything")
        print_line(x, rest);
    else
        print_line(x, sel + (rest.empty() ? "" : " " + rest));
}

void define_print()
{
    print_class = define("print", (method)print_new, (method)print_free, sizeof(t_print));
    class_addmethod(print_class, (method)print_bang, "bang", 0);
    class_addmethod(print_class, (method)print_int, "int", A_LONG, 0);
    class_addmethod(print_class, (method)print_float, "float", A_FLOAT, 0);
    class_addmethod(print_class, (method)print_list, "list", A_GIMME, 0);
    class_addmethod(print_class, (method)print_anything, "anything", A_GIMME, 0);
    finish(print_class, false);
}

// ---- number / flonum / toggle -----------------------------------------------------------

struct t_number {
    t_object ob;
    void *out;
    double value;
};
t_class *number_class, *flonum_class, *toggle_class;

void *number_new(t_symbol *s, long argc, t_atom *argv)
{
    std::string name = s ? s->s_name : "";
    t_class *c = name == "flonum" ? flonum_class : name == "toggle" ? toggle_class : number_class;
    auto *x = static_cast<t_number *>(object_alloc(c));
    if (!x)
        return nullptr;
    x->value = 0;
    atom_arg_getdouble(&x->value, 0, argc, argv);
    x->out = outlet_new(x, nullptr);
    return x;
}

double number_store(t_number *x, double v)
{
    t_class *c = static_cast<t_class *>(x->ob.o_messlist);
    if (c == flonum_class)
        x->value = v;
    else if (c == toggle_class)
        x->value = v != 0 ? 1 : 0;
    else
        x->value = std::isfinite(v) ? std::trunc(v) : 0;
    return x->value;
}
void number_out(t_number *x)
{
    if (static_cast<t_class *>(x->ob.o_messlist) == flonum_class)
        outlet_float(x->out, x->value);
    else
        outlet_int(x->out, t_atom_long(x->value));
}
void number_float(t_number *x, double v)
{
    number_store(x, v);
    number_out(x);
}
void number_int(t_number *x, t_atom_long v) { number_float(x, double(v)); }
void number_bang(t_number *x)
{
    if (static_cast<t_class *>(x->ob.o_messlist) == toggle_class)
        x->value = x->value != 0 ? 0 : 1;
    number_out(x);
}
void number_set(t_number *x, double v) { number_store(x, v); }

void define_numbers()
{
    t_class **classes[] = {&number_class, &flonum_class, &toggle_class};
    const char *cnames[] = {"number", "flonum", "toggle"};
    for (int i = 0; i < 3; ++i) {
        t_class *c = define(cnames[i], (method)number_new, nullptr, sizeof(t_number));
        *classes[i] = c;
        class_addmethod(c, (method)number_bang, "bang", 0);
        class_addmethod(c, (method)number_int, "int", A_LONG, 0);
        class_addmethod(c, (method)number_float, "float", A_FLOAT, 0);
        class_addmethod(c, (method)number_set, "set", A_FLOAT, 0);
        finish(c, false);
    }
}

// ---- metro / delay ------------------------------------------------------------------------

struct t_timer {
    t_object ob;
    void *out;
    t_clock *clock;
    double interval;  // ms
    bool running;
};
t_class *metro_class, *delay_class;

bool is_metro(t_timer *x) { return static_cast<t_class *>(x->ob.o_messlist) == metro_class; }

void timer_tick(t_timer *x)
{
    if (is_metro(x)) {
        if (!x->running)
            return;
        clock_fdelay(x->clock, x->interval);  // armed first, so that a stop sent from the bang holds
    } else {
        x->running = false;
    }
    outlet_bang(x->out);
}

// Intervals below a millisecond would make a metro flood the scheduler: they are raised.
void timer_interval(t_timer *x, double ms)
{
    double floor_ms = is_metro(x) ? 1.0 : 0.0;
    if (!(ms >= floor_ms)) {
        if (is_metro(x))
            object_post(&x->ob, "metro: interval %g ms is below 1 ms; using 1 ms", ms);
        ms = floor_ms;
    }
    x->interval = ms;
}

void timer_start(t_timer *x)
{
    x->running = true;
    if (is_metro(x)) {
        clock_unset(x->clock);
        timer_tick(x);
    } else {
        clock_fdelay(x->clock, x->interval);
    }
}
void timer_stop(t_timer *x)
{
    x->running = false;
    clock_unset(x->clock);
}
void timer_bang(t_timer *x) { timer_start(x); }
void timer_float(t_timer *x, double v)
{
    if (is_metro(x)) {
        if (v != 0)
            timer_start(x);
        else
            timer_stop(x);
    } else {
        timer_interval(x, v);
        timer_start(x);
    }
}
void timer_int(t_timer *x, t_atom_long v) { timer_float(x, double(v)); }
void timer_ft1(t_timer *x, double v) { timer_interval(x, v); }

void *timer_new(t_symbol *s, long argc, t_atom *argv)
{
    bool metro = s && std::strcmp(s->s_name, "metro") == 0;
    auto *x = static_cast<t_timer *>(object_alloc(metro ? metro_class : delay_class));
    if (!x)
        return nullptr;
    x->running = false;
    double ms = metro ? 5.0 : 0.0;
    atom_arg_getdouble(&ms, 0, argc, argv);
    timer_interval(x, ms);
    floatin(x, 1);
    x->out = bangout(x);
    x->clock = clock_new(x, (method)timer_tick);
    return x;
}
void timer_free(t_timer *x)
{
    if (x->clock)
        freeobject(x->clock);
}

void define_timers()
{
    t_class **classes[] = {&metro_class, &delay_class};
    const char *cnames[] = {"metro", "delay"};
    for (int i = 0; i < 2; ++i) {
        t_class *c = define(cnames[i], (method)timer_new, (method)timer_free, sizeof(t_timer));
        *classes[i] = c;
        class_addmethod(c, (method)timer_bang, "bang", 0);
        class_addmethod(c, (method)timer_int, "int", A_LONG, 0);
        class_addmethod(c, (method)timer_float, "float", A_FLOAT, 0);
        class_addmethod(c, (method)timer_stop, "stop", 0);
        class_addmethod(c, (method)timer_ft1, "ft1", A_FLOAT, 0);
        finish(c, false);
    }
}

// ---- line~ ----------------------------------------------------------------------------
// A ramp generator: a number jumps there (or ramps there over the time last given at the right
// inlet); a list of "target time" pairs plays the ramps one after the other; the right outlet
// bangs when a list that held a ramp has been played to its end.
//
// Messages may come from any thread: they leave the new list (or a stop) under a lock, and the
// perform routine, the only one to touch the playing state, takes it at the start of a block
// (a block later if a message holds the lock at that moment).

const int line_max_segments = 128;
const double line_max_ms = 1e12;  // about 30 years: longer ramps are held at this length

struct t_line_list {
    double target[line_max_segments];
    double ms[line_max_segments];
    int count;
};

struct t_line {
    t_pxobject ob;
    void *done_out;
    t_clock *done_clock;
    std::mutex *lock;   // guards the pending list
    double next_ms;     // ramp time for the next number at the left inlet (right inlet)
    t_line_list pending;
    long pending_kind;  // 0 nothing, 1 a new list, 2 stop
    // the playing state (perform routine only)
    t_line_list playing;
    double value;  // the last value sent
    double sr;
    int pos;       // the segment playing (or to start)
    bool running_segment;
    bool had_ramp;  // the current list holds a ramp: bang at its end
    double step;
    std::int64_t left;  // samples left in the running segment
};
t_class *line_class;

void line_done(t_line *x) { outlet_bang(x->done_out); }

std::int64_t line_samples(const t_line *x, double ms) { return std::llround(ms * x->sr / 1000.0); }

void line_take_pending(t_line *x)
{
    if (!flag_load(x->pending_kind) || !x->lock->try_lock())
        return;
    if (x->pending_kind == 1) {
        x->playing = x->pending;
        x->had_ramp = false;
        for (int k = 0; k < x->playing.count; ++k)
            if (line_samples(x, x->playing.ms[k]) > 0)
                x->had_ramp = true;
    } else {
        x->playing.count = 0;
        x->had_ramp = false;
    }
    x->pos = 0;
    x->running_segment = false;
    flag_store(x->pending_kind, 0);
    x->lock->unlock();
}

// Starts the segments due at the current sample: jumps take effect at once.
void line_next_segment(t_line *x, double &v)
{
    while (!x->running_segment && x->pos < x->playing.count) {
        std::int64_t len = line_samples(x, x->playing.ms[x->pos]);
        if (len <= 0) {
            v = x->playing.target[x->pos++];
            continue;
        }
        x->step = (x->playing.target[x->pos] - v) / double(len);
        x->left = len;
        x->running_segment = true;
    }
}

void line_perform(t_object *xo, t_object *, double **, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_line *>(xo);
    double *out = outs[0];
    line_take_pending(x);
    double v = x->value;
    for (long i = 0; i < n; ++i) {
        line_next_segment(x, v);
        if (x->running_segment) {
            if (--x->left <= 0) {
                v = x->playing.target[x->pos++];  // exactly the target at the end of each ramp
                x->running_segment = false;
            } else {
                v += x->step;
            }
        }
        out[i] = v;
    }
    line_next_segment(x, v);  // jumps right after the block's last ramp belong to it
    if (x->had_ramp && !x->running_segment && x->pos >= x->playing.count) {
        x->had_ramp = false;
        clock_delay(x->done_clock, 0);
    }
    x->value = v;
}

void line_dsp64(t_line *x, t_object *dsp64, short *, double sr, long, long)
{
    if (sr > 0)
        x->sr = sr;
    object_method(dsp64, gensym("dsp_add64"), x, line_perform, 0, NULL);
}

bool line_time_ok(t_line *x, double *ms)
{
    if (std::isnan(*ms)) {
        object_error(&x->ob.z_ob, "line~: ramp time is not a number; message ignored");
        return false;
    }
    *ms = std::clamp(*ms, 0.0, line_max_ms);
    return true;
}

// Replaces what is playing, from the value it has reached, at the next block.
void line_start(t_line *x, const double *targets, const double *times, int count)
{
    std::lock_guard<std::mutex> g(*x->lock);
    for (int k = 0; k < count; ++k) {
        x->pending.target[k] = targets[k];
        x->pending.ms[k] = times[k];
    }
    x->pending.count = count;
    flag_store(x->pending_kind, 1);
}

void line_float(t_line *x, double v)
{
    if (!std::isfinite(v)) {
        object_error(&x->ob.z_ob, "line~: target %g is not a finite number; ignored", v);
        return;
    }
    double ms = x->next_ms;
    x->next_ms = 0;  // the ramp time is used once
    line_start(x, &v, &ms, 1);
}
void line_int(t_line *x, t_atom_long v) { line_float(x, double(v)); }
void line_ft1(t_line *x, double ms)
{
    if (line_time_ok(x, &ms))
        x->next_ms = ms;
}

void line_list(t_line *x, t_symbol *, long argc, t_atom *argv)
{
    if (argc > 2 * line_max_segments) {
        object_error(&x->ob.z_ob, "line~: a list of %ld numbers; at most %d target-time pairs are taken, the rest is ignored",
                     argc, line_max_segments);
        argc = 2 * line_max_segments;
    }
    double targets[line_max_segments], times[line_max_segments];
    int count = 0;
    for (long i = 0; i < argc; i += 2) {
        if (argv[i].a_type == A_SYM || (i + 1 < argc && argv[i + 1].a_type == A_SYM)) {
            object_error(&x->ob.z_ob, "line~: the list holds a word; expected numbers in target-time pairs; ignored");
            return;
        }
        double t = atom_getfloat(argv + i);
        double ms = i + 1 < argc ? atom_getfloat(argv + i + 1) : 0.0;  // a lone last target is jumped to
        if (!std::isfinite(t)) {
            object_error(&x->ob.z_ob, "line~: target %g is not a finite number; list ignored", t);
            return;
        }
        if (!line_time_ok(x, &ms))
            return;
        targets[count] = t;
        times[count++] = ms;
    }
    x->next_ms = 0;
    line_start(x, targets, times, count);
}

void line_stop(t_line *x)
{
    std::lock_guard<std::mutex> g(*x->lock);
    flag_store(x->pending_kind, 2);
}

void *line_new(t_symbol *, long argc, t_atom *argv)
{
    auto *x = static_cast<t_line *>(object_alloc(line_class));
    if (!x)
        return nullptr;
    x->value = 0;
    atom_arg_getdouble(&x->value, 0, argc, argv);
    if (!std::isfinite(x->value))
        x->value = 0;
    x->sr = sys_getsr() > 0 ? sys_getsr() : 44100.0;
    x->lock = new std::mutex;
    z_dsp_setup(&x->ob, 0);
    floatin(x, 1);
    x->done_out = bangout(x);
    outlet_new(x, "signal");
    x->done_clock = clock_new(x, (method)line_done);
    return x;
}
void line_free(t_line *x)
{
    z_dsp_free(&x->ob);
    if (x->done_clock)
        freeobject(x->done_clock);
    delete x->lock;
}

void define_line()
{
    line_class = define("line~", (method)line_new, (method)line_free, sizeof(t_line));
    class_addmethod(line_class, (method)line_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(line_class, (method)line_float, "float", A_FLOAT, 0);
    class_addmethod(line_class, (method)line_int, "int", A_LONG, 0);
    class_addmethod(line_class, (method)line_ft1, "ft1", A_FLOAT, 0);
    class_addmethod(line_class, (method)line_list, "list", A_GIMME, 0);
    class_addmethod(line_class, (method)line_stop, "stop", 0);
    finish(line_class, true);
}

// ---- count~ ---------------------------------------------------------------------------
// Counts samples: a bang starts counting from the minimum, a number from that number; the right
// inlet sets the maximum (the count goes back to the minimum on reaching it; 0 or less than the
// minimum: no limit). Arguments: minimum, maximum, autoreset (start again from the minimum
// whenever audio starts), and 1 to count from the start. Messages are taken at the start of
// the next block, as line~ takes them.

const double count_limit = 9007199254740992.0;  // 2^53: every count below is exact

struct t_count {
    t_pxobject ob;
    std::mutex *lock;
    // what messages set, under the lock; taken by the perform routine when `changed`
    double new_value;
    long has_new_value;
    long new_running;  // -1 unchanged, 0 stop, 1 count
    double min_set, max_set;
    long changed;
    long autoreset;
    // the playing state (perform routine and dsp64 only)
    double value;  // the next count sent
    double min, max;
    long running;
};
t_class *count_class;

void count_take(t_count *x)
{
    x->min = x->min_set;
    x->max = x->max_set;
    if (x->has_new_value)
        x->value = x->new_value;
    if (x->new_running >= 0)
        x->running = x->new_running;
    x->has_new_value = 0;
    x->new_running = -1;
    flag_store(x->changed, 0);
}

void count_perform(t_object *xo, t_object *, double **, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_count *>(xo);
    if (flag_load(x->changed) && x->lock->try_lock()) {
        count_take(x);
        x->lock->unlock();
    }
    double *out = outs[0];
    double v = x->value;
    if (!x->running) {
        for (long i = 0; i < n; ++i)
            out[i] = v;
        return;
    }
    const double lo = x->min, hi = x->max;
    const bool wrap = hi > lo;
    for (long i = 0; i < n; ++i) {
        out[i] = v;
        v = v < count_limit ? v + 1 : lo;
        if (wrap && v >= hi)
            v = lo;
    }
    x->value = v;
}

void count_dsp64(t_count *x, t_object *dsp64, short *, double, long, long)
{
    {
        std::lock_guard<std::mutex> g(*x->lock);
        count_take(x);
    }
    if (x->autoreset)
        x->value = x->min;
    object_method(dsp64, gensym("dsp_add64"), x, count_perform, 0, NULL);
}

bool count_number(t_count *x, const char *what, double v, double *out)
{
    if (std::isnan(v)) {
        object_error(&x->ob.z_ob, "count~: %s is not a number; ignored", what);
        return false;
    }
    *out = std::trunc(std::clamp(v, -count_limit, count_limit));
    return true;
}

// Starts counting from `from` (or from the minimum), or stops (running 0).
void count_set(t_count *x, const double *from, long running)
{
    std::lock_guard<std::mutex> g(*x->lock);
    if (running) {
        x->new_value = from ? *from : x->min_set;
        x->has_new_value = 1;
    }
    x->new_running = running;
    flag_store(x->changed, 1);
}

void count_bang(t_count *x) { count_set(x, nullptr, 1); }
void count_float(t_count *x, double v)
{
    double start;
    if (count_number(x, "start", v, &start))
        count_set(x, &start, 1);
}
void count_int(t_count *x, t_atom_long v) { count_float(x, double(v)); }
void count_limit_msg(t_count *x, const char *what, double v, double *slot)
{
    double n;
    if (!count_number(x, what, v, &n))
        return;
    std::lock_guard<std::mutex> g(*x->lock);
    *slot = n;
    flag_store(x->changed, 1);
}
void count_ft1(t_count *x, double v) { count_limit_msg(x, "maximum", v, &x->max_set); }
void count_min(t_count *x, double v) { count_limit_msg(x, "minimum", v, &x->min_set); }
void count_stop(t_count *x) { count_set(x, nullptr, 0); }
void count_autoreset(t_count *x, t_atom_long v) { x->autoreset = v != 0; }

void *count_new(t_symbol *, long argc, t_atom *argv)
{
    auto *x = static_cast<t_count *>(object_alloc(count_class));
    if (!x)
        return nullptr;
    double a[4] = {0, 0, 0, 0};
    for (long i = 0; i < argc && i < 4; ++i) {
        if (argv[i].a_type == A_SYM) {
            object_error(&x->ob.z_ob, "count~: argument %ld is not a number", i + 1);
            freeobject(x);
            return nullptr;
        }
        a[i] = atom_getfloat(argv + i);
    }
    x->min_set = x->max_set = 0;
    count_number(x, "minimum", a[0], &x->min_set);
    count_number(x, "maximum", a[1], &x->max_set);
    x->autoreset = a[2] != 0;
    x->lock = new std::mutex;
    x->new_running = -1;
    count_take(x);
    x->value = x->min;
    x->running = a[3] != 0;
    z_dsp_setup(&x->ob, 0);
    floatin(x, 1);
    outlet_new(x, "signal");
    return x;
}
void count_free(t_count *x)
{
    z_dsp_free(&x->ob);
    delete x->lock;
}

void define_count()
{
    count_class = define("count~", (method)count_new, (method)count_free, sizeof(t_count));
    class_addmethod(count_class, (method)count_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(count_class, (method)count_bang, "bang", 0);
    class_addmethod(count_class, (method)count_float, "float", A_FLOAT, 0);
    class_addmethod(count_class, (method)count_int, "int", A_LONG, 0);
    class_addmethod(count_class, (method)count_ft1, "ft1", A_FLOAT, 0);
    class_addmethod(count_class, (method)count_min, "min", A_FLOAT, 0);
    class_addmethod(count_class, (method)count_stop, "stop", 0);
    class_addmethod(count_class, (method)count_autoreset, "autoreset", A_LONG, 0);
    finish(count_class, true);
}

// ---- !/ --------------------------------------------------------------------------------
// Divides its argument (right inlet) by the number at the left inlet. An integer argument
// makes it divide integers (the input is truncated) and send ints; a float argument, floats.
// Division by zero sends 0.

struct t_rdiv {
    t_object ob;
    void *out;
    double arg;
    double input;
    bool floats;
};
t_class *rdiv_class;

void rdiv_bang(t_rdiv *x)
{
    if (x->floats) {
        outlet_float(x->out, x->input == 0 ? 0.0 : x->arg / x->input);
        return;
    }
    auto num = static_cast<long long>(x->arg), den = static_cast<long long>(x->input);
    long long q = den == 0 ? 0 : num / den;  // both within the int range: no overflow
    outlet_int(x->out, t_atom_long(q));
}

bool rdiv_number(t_rdiv *x, double v, double *out)
{
    if (std::isnan(v)) {
        object_error(&x->ob, "!/: input is not a number; ignored");
        return false;
    }
    // integers stay within what an int message carries (32 bits in the 32-bit host)
    const double lim = sizeof(t_atom_long) >= 8 ? 9.2e18 : 2147483647.0;
    *out = x->floats ? v : std::trunc(std::clamp(v, -lim, lim));
    return true;
}
void rdiv_float(t_rdiv *x, double v)
{
    if (rdiv_number(x, v, &x->input))
        rdiv_bang(x);
}
void rdiv_int(t_rdiv *x, t_atom_long v) { rdiv_float(x, double(v)); }
void rdiv_ft1(t_rdiv *x, double v) { rdiv_number(x, v, &x->arg); }

void *rdiv_new(t_symbol *, long argc, t_atom *argv)
{
    auto *x = static_cast<t_rdiv *>(object_alloc(rdiv_class));
    if (!x)
        return nullptr;
    x->floats = argc > 0 && argv[0].a_type == A_FLOAT;
    x->arg = 0;
    x->input = 0;
    if (argc > 0 && argv[0].a_type == A_SYM)
        object_post(&x->ob, "!/: argument '%s' ignored (a number was expected)", argv[0].a_w.w_sym->s_name);
    else if (argc > 0)
        rdiv_number(x, atom_getfloat(argv), &x->arg);
    floatin(x, 1);
    x->out = outlet_new(x, nullptr);
    return x;
}

void define_rdiv()
{
    rdiv_class = define("!/", (method)rdiv_new, nullptr, sizeof(t_rdiv));
    class_addmethod(rdiv_class, (method)rdiv_bang, "bang", 0);
    class_addmethod(rdiv_class, (method)rdiv_float, "float", A_FLOAT, 0);
    class_addmethod(rdiv_class, (method)rdiv_int, "int", A_LONG, 0);
    class_addmethod(rdiv_class, (method)rdiv_ft1, "ft1", A_FLOAT, 0);
    finish(rdiv_class, false);
}

// ---- live.gain~ ------------------------------------------------------------------------
// The gain fader of patches, without its display: every channel is multiplied by the gain of
// its value in dB (-70 to 6; -70 is silence). Arguments: channels, initial value in dB (what a
// patcher file saves as the parameter's initial value). A number at the left inlet sets the
// value and sends it from the value outlet. Its other two control outlets send nothing here.

const int gain_max_channels = 64;
const double gain_min_db = -70, gain_max_db = 6;

struct t_gain {
    t_pxobject ob;
    void *value_out;
    int channels;
    double db;
    double gain;
};
t_class *gain_class;

void gain_perform(t_object *xo, t_object *, double **ins, long numins, double **outs, long numouts, long n, long, void *)
{
    auto *x = reinterpret_cast<t_gain *>(xo);
    const double g = x->gain;
    for (long c = 0; c < numins && c < numouts; ++c)
        for (long i = 0; i < n; ++i)
            outs[c][i] = ins[c][i] * g;
}

void gain_dsp64(t_gain *x, t_object *dsp64, short *, double, long, long)
{
    object_method(dsp64, gensym("dsp_add64"), x, gain_perform, 0, NULL);
}

bool gain_store(t_gain *x, double db)
{
    if (std::isnan(db)) {
        object_error(&x->ob.z_ob, "live.gain~: value is not a number; ignored");
        return false;
    }
    x->db = std::clamp(db, gain_min_db, gain_max_db);
    x->gain = x->db <= gain_min_db ? 0.0 : std::pow(10.0, x->db / 20.0);
    return true;
}
void gain_float(t_gain *x, double db)
{
    if (proxy_getinlet(&x->ob.z_ob) != 0)
        return;  // the other inlets take signals only
    if (gain_store(x, db))
        outlet_float(x->value_out, x->db);
}
void gain_int(t_gain *x, t_atom_long v) { gain_float(x, double(v)); }

void *gain_new(t_symbol *, long argc, t_atom *argv)
{
    auto *x = static_cast<t_gain *>(object_alloc(gain_class));
    if (!x)
        return nullptr;
    t_atom_long ch = 1;
    if (argc > 0 && (argv[0].a_type == A_SYM || atom_arg_getlong(&ch, 0, argc, argv) != 0 || ch < 1 || ch > gain_max_channels)) {
        object_error(&x->ob.z_ob, "live.gain~: argument 1 is not a channel count (1 to %d)", gain_max_channels);
        freeobject(x);
        return nullptr;
    }
    x->channels = int(ch);
    double db = 0;
    atom_arg_getdouble(&db, 1, argc, argv);
    if (!gain_store(x, db))
        gain_store(x, 0);
    z_dsp_setup(&x->ob, x->channels);
    outlet_new(x, nullptr);  // rightmost: meter levels (not sent here)
    x->value_out = outlet_new(x, nullptr);
    outlet_new(x, nullptr);  // not sent here
    for (int c = 0; c < x->channels; ++c)
        outlet_new(x, "signal");
    return x;
}
void gain_free(t_gain *x) { z_dsp_free(&x->ob); }

void define_gain()
{
    gain_class = define("live.gain~", (method)gain_new, (method)gain_free, sizeof(t_gain));
    class_addmethod(gain_class, (method)gain_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(gain_class, (method)gain_float, "float", A_FLOAT, 0);
    class_addmethod(gain_class, (method)gain_int, "int", A_LONG, 0);
    finish(gain_class, true);
}

// ---- buffer~ ---------------------------------------------------------------------------
// A named buffer of sample frames in the patch, which index~, simpwave~ and other externals
// reach by its name. Arguments: name, then a duration in ms or a sound file to load, then a
// channel count (with a file: 0 or less keeps the file's channels). The file is read just after
// creation, once the scheduler runs (before the first block has been heard out in `tilde run`),
// a `read` at once. The buffer lives as long as a box of its name does. Messages: read FILE, clear, fill VALUE, sizeinsamps FRAMES [CHANNELS],
// size MS [CHANNELS], set NAME. After a read the left outlet sends the duration in ms and the
// right outlet a bang.

const double buffer_max_samples = double(1 << 28);  // 1 GiB of floats

struct t_buffer {
    t_object ob;
    void *ms_out;
    void *done_out;
    std::string *name;
    // The file named at creation is read once the patch is made (as a patcher loads), so that
    // objects created after the box hear that the buffer changed.
    t_clock *load_clock;
    std::string *load_file;
    long load_channels;
};
t_class *buffer_class;

std::mutex buffer_owners_lock;
std::map<std::string, int> &buffer_owners()
{
    static auto *m = new std::map<std::string, int>();
    return *m;
}

void buffer_own(const std::string &name)
{
    std::lock_guard<std::mutex> g(buffer_owners_lock);
    buffer_owners()[name]++;
}
void buffer_disown(const std::string &name)
{
    bool last = false;
    {
        std::lock_guard<std::mutex> g(buffer_owners_lock);
        auto it = buffer_owners().find(name);
        if (it != buffer_owners().end() && --it->second <= 0) {
            buffer_owners().erase(it);
            last = true;
        }
    }
    if (last)
        tk::buffer_remove(name);
}

// Where a file named in a patch is: as given when absolute, else in the patch's folders, else
// relative to the working directory. Empty when it is nowhere.
std::string find_file(const std::string &file)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p(file);
    if (p.is_absolute())
        return fs::exists(p, ec) ? file : std::string();
    for (const auto &folder : file_folders) {
        fs::path q = fs::path(folder) / p;
        if (fs::exists(q, ec))
            return q.string();
    }
    return fs::exists(p, ec) ? file : std::string();
}

double buffer_rate()
{
    double sr = sys_getsr();
    return sr > 0 ? sr : 44100.0;
}

// Replaces the contents with `frames` frames of `channels` channels, keeping what fits of
// the old samples.
bool buffer_resize(t_buffer *x, double frames, long channels)
{
    const std::string &name = *x->name;
    if (!(frames >= 0) || frames * double(channels) > buffer_max_samples) {
        object_error(&x->ob, "buffer~ %s: %g frames of %ld channels is too large (at most %.0f samples) or not a size",
                     name.c_str(), frames, channels, buffer_max_samples);
        return false;
    }
    auto old = tk::buffer_info(name);
    long n = long(frames);
    std::vector<float> s(std::size_t(n) * std::size_t(channels), 0.0f);
    double sr = buffer_rate();
    if (old) {
        sr = old->samplerate;
        for (long f = 0; f < n && f < old->frames; ++f)
            for (long c = 0; c < channels && c < old->channels; ++c)
                s[std::size_t(f * channels + c)] = old->samples[std::size_t(f * old->channels + c)];
    }
    tk::buffer_set(name, int(channels), std::move(s), sr);
    return true;
}

// Loads a file into the buffer; `channels` > 0 keeps that many channels (missing ones silent).
bool buffer_read(t_buffer *x, const std::string &file, long channels)
{
    const std::string &name = *x->name;
    std::string path = find_file(file);
    if (path.empty()) {
        std::string where;
        for (const auto &f : file_folders)
            where += (where.empty() ? "" : ", ") + f;
        object_error(&x->ob, "buffer~ %s: cannot find '%s' (looked in %s%sthe working directory)", name.c_str(), file.c_str(),
                     where.c_str(), where.empty() ? "" : " and ");
        return false;
    }
    try {
        tk::buffer_load(name, path);
        auto info = tk::buffer_info(name);
        if (info && channels > 0 && channels != info->channels) {
            std::vector<float> s(std::size_t(info->frames) * std::size_t(channels), 0.0f);
            for (long f = 0; f < info->frames; ++f)
                for (long c = 0; c < channels && c < info->channels; ++c)
                    s[std::size_t(f * channels + c)] = info->samples[std::size_t(f * info->channels + c)];
            tk::buffer_set(name, int(channels), std::move(s), info->samplerate);
        }
        if (info) {
            outlet_bang(x->done_out);
            outlet_float(x->ms_out, double(info->frames) * 1000.0 / info->samplerate);
        }
        return true;
    } catch (const tk::Error &e) {
        object_error(&x->ob, "%s", e.what());
        return false;
    }
}

bool buffer_channels_arg(t_buffer *x, long argc, t_atom *argv, long idx, long *channels, bool allow_file_count)
{
    if (argc <= idx)
        return true;
    t_atom_long ch = 0;
    if (argv[idx].a_type == A_SYM || atom_arg_getlong(&ch, idx, argc, argv) != 0 || ch > 64 || (ch < 1 && !allow_file_count)) {
        object_error(&x->ob, "buffer~ %s: channel count must be 1 to 64", x->name->c_str());
        return false;
    }
    *channels = long(ch);
    return true;
}

void buffer_read_msg(t_buffer *x, t_symbol *, long argc, t_atom *argv)
{
    if (argc < 1 || argv[0].a_type != A_SYM) {
        object_error(&x->ob, "buffer~ %s: read needs a file name (this host has no open dialog)", x->name->c_str());
        return;
    }
    if (argc > 1)
        object_post(&x->ob, "buffer~ %s: read takes only a file name here; the rest is ignored", x->name->c_str());
    buffer_read(x, argv[0].a_w.w_sym->s_name, 0);
}

void buffer_fill_with(t_buffer *x, double v)
{
    auto info = tk::buffer_info(*x->name);
    if (!info)
        return;
    std::fill(info->samples.begin(), info->samples.end(), float(v));
    tk::buffer_set(*x->name, std::max(1, info->channels), std::move(info->samples), info->samplerate);
}
void buffer_clear(t_buffer *x) { buffer_fill_with(x, 0.0); }
void buffer_fill(t_buffer *x, t_symbol *, long argc, t_atom *argv)
{
    if (argc != 1 || argv[0].a_type == A_SYM || !std::isfinite(atom_getfloat(argv))) {
        object_error(&x->ob, "buffer~ %s: fill takes one finite number here (no expressions)", x->name->c_str());
        return;
    }
    buffer_fill_with(x, atom_getfloat(argv));
}

void buffer_size_msg(t_buffer *x, long argc, t_atom *argv, bool in_ms)
{
    const char *what = in_ms ? "size" : "sizeinsamps";
    if (argc < 1 || argv[0].a_type == A_SYM) {
        object_error(&x->ob, "buffer~ %s: %s needs a number", x->name->c_str(), what);
        return;
    }
    auto info = tk::buffer_info(*x->name);
    long channels = info ? std::max(1, info->channels) : 1;
    if (!buffer_channels_arg(x, argc, argv, 1, &channels, false))
        return;
    double v = atom_getfloat(argv);
    double frames = in_ms ? std::round(v * (info ? info->samplerate : buffer_rate()) / 1000.0) : std::trunc(v);
    buffer_resize(x, frames, channels);
}
void buffer_sizeinsamps(t_buffer *x, t_symbol *, long argc, t_atom *argv) { buffer_size_msg(x, argc, argv, false); }
void buffer_size(t_buffer *x, t_symbol *, long argc, t_atom *argv) { buffer_size_msg(x, argc, argv, true); }

void buffer_set_name(t_buffer *x, t_symbol *s)
{
    if (!s || !*s->s_name) {
        object_error(&x->ob, "buffer~ %s: set needs a name", x->name->c_str());
        return;
    }
    std::string old = *x->name;
    *x->name = s->s_name;
    buffer_own(*x->name);
    if (!tk::buffer_info(*x->name))
        tk::buffer_set(*x->name, 1, {}, buffer_rate());
    buffer_disown(old);
}

void buffer_load_now(t_buffer *x)
{
    if (x->load_file)
        buffer_read(x, *x->load_file, x->load_channels);
}

void *buffer_new(t_symbol *, long argc, t_atom *argv)
{
    auto *x = static_cast<t_buffer *>(object_alloc(buffer_class));
    if (!x)
        return nullptr;
    if (argc < 1 || argv[0].a_type != A_SYM || !*argv[0].a_w.w_sym->s_name) {
        object_error(&x->ob, "buffer~: the first argument must be the buffer's name");
        freeobject(x);
        return nullptr;
    }
    x->name = new std::string(argv[0].a_w.w_sym->s_name);
    long channels = 0;
    if (!buffer_channels_arg(x, argc, argv, 2, &channels, true)) {
        delete x->name;
        x->name = nullptr;
        freeobject(x);
        return nullptr;
    }
    x->done_out = bangout(x);
    x->ms_out = outlet_new(x, nullptr);
    buffer_own(*x->name);
    bool made = false;
    if (argc > 1 && argv[1].a_type == A_SYM) {
        x->load_file = new std::string(argv[1].a_w.w_sym->s_name);
        x->load_channels = channels;
        x->load_clock = clock_new(x, (method)buffer_load_now);
        clock_delay(x->load_clock, 0);
    } else if (argc > 1) {
        double ms = atom_getfloat(argv + 1);
        made = buffer_resize(x, std::isfinite(ms) ? std::round(std::max(0.0, ms) * buffer_rate() / 1000.0) : -1.0,
                             std::max(1L, channels));
    }
    if (!made && !tk::buffer_info(*x->name))
        tk::buffer_set(*x->name, int(std::max(1L, channels)), {}, buffer_rate());
    return x;
}
void buffer_free(t_buffer *x)
{
    if (x->load_clock)
        freeobject(x->load_clock);
    delete x->load_file;
    if (!x->name)
        return;
    buffer_disown(*x->name);
    delete x->name;
}

void define_buffer()
{
    buffer_class = define("buffer~", (method)buffer_new, (method)buffer_free, sizeof(t_buffer));
    class_addmethod(buffer_class, (method)buffer_read_msg, "read", A_GIMME, 0);
    class_addmethod(buffer_class, (method)buffer_clear, "clear", 0);
    class_addmethod(buffer_class, (method)buffer_fill, "fill", A_GIMME, 0);
    class_addmethod(buffer_class, (method)buffer_sizeinsamps, "sizeinsamps", A_GIMME, 0);
    class_addmethod(buffer_class, (method)buffer_size, "size", A_GIMME, 0);
    class_addmethod(buffer_class, (method)buffer_set_name, "set", A_SYM, 0);
    finish(buffer_class, false);
}

bool registered = false;

}  // namespace

namespace tk::objects {

void register_all()
{
    if (registered)
        return;
    registered = true;
    define_io();
    define_signal_sources();
    define_triggers();
    define_print();
    define_numbers();
    define_timers();
    define_line();
    define_count();
    define_rdiv();
    define_gain();
    define_buffer();
}

const std::vector<std::string> &class_names() { return names; }
void set_audio_source(AudioSource source) { audio_source = std::move(source); }
void set_audio_sink(AudioSink sink) { audio_sink = std::move(sink); }
void set_message_router(MessageRouter router) { message_router = std::move(router); }
void set_print_sink(std::function<void(const std::string &)> sink) { print_sink = std::move(sink); }
void set_file_folders(std::vector<std::string> folders) { file_folders = std::move(folders); }
void reset_io()
{
    file_folders.clear();
    audio_source = nullptr;
    audio_sink = nullptr;
    message_router = nullptr;
    print_sink = nullptr;
}

}  // namespace tk::objects

void tk_register_host_objects() { tk::objects::register_all(); }
