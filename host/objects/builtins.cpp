// The host's own objects (see tildeobjects.h). Each is a plain record with free routines,
// defined through the same class interface the externals use, and registered in "box".
#include <ext.h>
#include <z_dsp.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tildeobjects.h"

namespace {

using tk::objects::AudioSink;
using tk::objects::AudioSource;
using tk::objects::MessageRouter;

AudioSource audio_source;
AudioSink audio_sink;
MessageRouter message_router;
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

struct t_osc {
    t_pxobject ob;
    double value;   // sig~: the value; cycle~ / phasor~: frequency; *~ / +~: right operand
    double left;    // *~ / +~: left operand while no signal is connected there
    double offset;  // cycle~: phase offset in cycles
    double phase;   // running phase in cycles, in [0, 1)
    double sr;
    std::uint32_t seed;  // noise~
    short conn[2];
};

t_class *sig_class, *cycle_class, *phasor_class, *noise_class, *mul_class, *add_class;

double wrap(double p) { return p - std::floor(p); }

void sig_perform(t_object *xo, t_object *, double **ins, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    const double *in = ins[0];
    double *out = outs[0];
    for (long i = 0; i < n; ++i)
        out[i] = x->conn[0] ? in[i] : x->value;
}

void cycle_perform(t_object *xo, t_object *, double **ins, long, double **outs, long, long n, long, void *)
{
    auto *x = reinterpret_cast<t_osc *>(xo);
    const double *f = ins[0], *ph = ins[1];
    double *out = outs[0];
    double p = x->phase;
    const double k = 1.0 / x->sr;
    for (long i = 0; i < n; ++i) {
        double freq = x->conn[0] ? f[i] : x->value;
        double off = x->conn[1] ? ph[i] : x->offset;
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
    double p = x->phase;
    const double k = 1.0 / x->sr;
    for (long i = 0; i < n; ++i) {
        double freq = x->conn[0] ? f[i] : x->value;
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
    for (long i = 0; i < n; ++i) {
        double l = x->conn[0] ? a[i] : x->left;
        double r = x->conn[1] ? b[i] : x->value;
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
            x->left = v;
        else
            x->value = v;
    } else if (c == cycle_class) {
        if (inlet == 0)
            x->value = v;
        else
            x->offset = v;
    } else if (c == phasor_class) {
        if (inlet == 0)
            x->value = v;
        else
            x->phase = wrap(v);  // a number at the right inlet restarts the ramp there
    } else {
        x->value = v;
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
}

const std::vector<std::string> &class_names() { return names; }
void set_audio_source(AudioSource source) { audio_source = std::move(source); }
void set_audio_sink(AudioSink sink) { audio_sink = std::move(sink); }
void set_message_router(MessageRouter router) { message_router = std::move(router); }
void set_print_sink(std::function<void(const std::string &)> sink) { print_sink = std::move(sink); }
void reset_io()
{
    audio_source = nullptr;
    audio_sink = nullptr;
    message_router = nullptr;
    print_sink = nullptr;
}

}  // namespace tk::objects

void tk_register_host_objects() { tk::objects::register_all(); }
