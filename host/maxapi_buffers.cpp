// The buffer reference API (MaxAPI): an external names a buffer~ and reaches its samples.
#include "sdkapi.h"

using namespace tk::detail;

namespace {
BufferRec *buf(void *b) { return is_buffer(b) ? static_cast<BufferRec *>(b) : nullptr; }
}  // namespace

extern "C" {

void *buffer_ref_new(t_object *self, t_symbol *name) { return new_buffer_ref(self, name); }

void buffer_ref_set(void *x, t_symbol *name) {
    if (BufferRefRec *r = as_buffer_ref(x)) r->name.store(name, std::memory_order_release);
}

t_atom_long buffer_ref_exists(void *x) {
    BufferRefRec *r = as_buffer_ref(x);
    return r && find_buffer(r->name.load(std::memory_order_acquire)) ? 1 : 0;
}

void *buffer_ref_getobject(void *x) {
    BufferRefRec *r = as_buffer_ref(x);
    return r ? find_buffer(r->name.load(std::memory_order_acquire)) : nullptr;
}

// The buffer~ tells its referers itself (the owner's `notify`); nothing more to do here.
t_max_err buffer_ref_notify(void *, t_symbol *, t_symbol *, void *, void *) { return 0; }

float *buffer_locksamples(void *b) {
    BufferRec *r = buf(b);
    if (!r) return nullptr;
    r->samples_lock.lock();
    if (r->samples.empty()) {
        r->samples_lock.unlock();
        return nullptr;
    }
    return r->samples.data();
}

void buffer_unlocksamples(void *b) {
    if (BufferRec *r = buf(b)) r->samples_lock.unlock();
}

t_atom_long buffer_getchannelcount(void *b) {
    BufferRec *r = buf(b);
    return r ? t_atom_long(r->channels) : 0;
}
t_atom_long buffer_getframecount(void *b) {
    BufferRec *r = buf(b);
    return r ? t_atom_long(r->frames) : 0;
}
t_atom_float buffer_getsamplerate(void *b) {
    BufferRec *r = buf(b);
    return r ? t_atom_float(r->samplerate) : 0;
}
t_atom_float buffer_getmillisamplerate(void *b) {
    BufferRec *r = buf(b);
    return r ? t_atom_float(r->samplerate / 1000.0) : 0;
}
t_max_err buffer_setdirty(void *) { return 0; }
t_max_err buffer_view(void *) { return 0; }  // no window to open
t_symbol *buffer_getfilename(void *) { return intern(""); }

}  // extern "C"
