// Internals of the object API beyond the first externals' needs: attributes, proxy inlets,
// messages of any selector out of outlets, time objects and buffers (not for externals).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace tk::detail {

// An attribute of a class (class_addattr) or of one object (object_addattr). It begins with an
// object header so that object_method and the attribute macros can address it as an object.
// Attributes made by attribute_new / object_addattr_parse keep their value themselves (`own`);
// the others live in the instance at `offset` or behind their getter and setter.
struct AttrRec {
    t_object header;
    std::string name;
    t_symbol *type = nullptr;  // char, long, atom_long, int32, float32, float64, symbol, atom, object
    long flags = 0;
    method get = nullptr;  // t_max_err get(x, attr, long *ac, t_atom **av)
    method set = nullptr;  // t_max_err set(x, attr, long ac, t_atom *av)
    long offset = 0;
    bool clip_min = false, clip_max = false;
    double min = 0, max = 0;
    std::map<std::string, std::vector<t_atom>> attrs;  // attributes of the attribute (label, style...)
    bool own = false;
    std::vector<t_atom> value;  // the value of an attribute that keeps its own
    bool attached = false;      // to a class or an object (then freed with it, not by object_free)
};
bool is_attr(const void *p);
AttrRec *new_attr();
void delete_attr(AttrRec *a);
void class_add_attr(t_class *c, AttrRec *a);
AttrRec *class_attr_named(t_class *c, t_symbol *name);  // the class's own attribute only
const std::vector<AttrRec *> &class_attrs(t_class *c);
// The attribute of that name of one object: its own (object_addattr) first, then its class's.
AttrRec *find_attr(void *x, t_symbol *name);
std::vector<AttrRec *> instance_attrs(void *x);
// Attaches an attribute to an object (an instance, or a method record of a class); false when
// x is neither or already has an attribute of that name.
bool instance_add_attr(void *x, AttrRec *a);
AttrRec *instance_remove_attr(void *x, t_symbol *name);  // detached, not freed; nullptr if none
// Sets an attribute of an instance from atoms, through its setter or straight into the instance
// at its offset. Wrong types or counts post an error naming the object and the attribute and
// change nothing; returns false then.
bool attr_set(void *x, AttrRec *a, long argc, t_atom *argv);
std::vector<t_atom> attr_get(void *x, AttrRec *a);
// Sends `NAME value...` out of the object's dumpout outlet (posted when it has none).
void attr_answer_query(void *x, AttrRec *a);

// What an object keeps in its obex (object_obex_store): the dumpout outlet above all.
bool obex_store(void *x, t_symbol *key, t_object *val);
t_object *obex_lookup(void *x, t_symbol *key);
OutletRec *dumpout_of(void *x);

// The methods of a class as objects that carry attributes (CLASS_METHOD_ATTR_PARSE).
void *class_method_table(t_class *c);                 // what class_extra_lookup(c, "methods") gives
void *method_object(void *table, t_symbol *name);     // nullptr: no such table or method
bool is_method_object(const void *p);
void *method_object_of(t_class *c, t_symbol *name);  // nullptr when the class has no such method

// Proxy inlets: messages at inlet `id` of `owner` write id to *stuffloc before the method runs.
struct ProxyRec {
    void *owner;
    long id;
    long *stuffloc;
};
ProxyRec *proxy_at(const void *owner, long inlet);
int proxy_inlet_count(const void *owner);  // highest proxy id + 1, or 0
ProxyRec *add_proxy(void *owner, long id, long *stuffloc);
bool free_proxy(void *p);                    // false when p is no proxy
void forget_proxies(const void *owner);  // those its owner never freed, when the owner goes

// Deferred calls live in the object library, which links against the host: it hands the host
// the routine that cancels the calls pending for an object being freed (they never run then).
void set_deferred_call_canceller(void (*cancel)(const void *ob));

// Any message out of a control outlet: recorded as an event (int, float and bang as before,
// lists and other selectors with their atoms) and passed on along the connections.
void outlet_send_message(OutletRec *o, t_symbol *sel, long argc, const t_atom *argv);

// The size asked for a block of the accounted allocator (0 for anything else).
std::size_t accounted_size(void *p);

// Methods sent to an attribute object (object_method on what class_attr_get returned).
void *attr_object_method(AttrRec *a, t_symbol *s, void *const *p);

// Logical time in ms of the patch whose message runs on this thread.
double logical_now();

// Named sample buffers (buffer~) and the references externals hold to them by name.
struct BufferRec {
    t_object header;
    t_symbol *name = nullptr;
    int channels = 1;
    long frames = 0;
    double samplerate = 44100.0;
    std::vector<float> samples;  // interleaved
    std::atomic<bool> removed{false};  // looked at under the table's lock, changed under samples_lock
    // held between buffer_locksamples and buffer_unlocksamples, and while the contents change;
    // never taken with the table's lock held (a perform routine holding it asks the table)
    std::mutex samples_lock;
};
struct BufferRefRec {
    t_object header;
    void *owner = nullptr;
    // set by a message (any thread) while a perform routine looks the buffer up by it: the
    // symbol, made before it is stored, is published with the pointer
    std::atomic<t_symbol *> name{nullptr};
};
BufferRec *find_buffer(t_symbol *name);
bool is_buffer(const void *p);
BufferRefRec *new_buffer_ref(void *owner, t_symbol *name);
BufferRefRec *as_buffer_ref(const void *p);

// Objects of this API that the generic free routines must recognise.
bool free_time_object(void *p);
bool free_buffer_ref(void *p);

}  // namespace tk::detail
