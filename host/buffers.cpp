// The host's buffer~: named buffers of sample frames (channels interleaved) that externals reach
// through buffer references, filled by the embedding program or from a sound file (libsndfile).
#ifdef TILDEHOST_SNDFILE
#include <sndfile.h>
#endif

#include <cmath>
#include <algorithm>
#include <memory>
#include <mutex>

#include "sdkapi.h"
#include "tildesdk.h"

namespace tk::detail {

namespace {
struct Buffers {
    std::recursive_mutex lock;
    std::map<std::string, std::unique_ptr<BufferRec>> by_name;  // a buffer keeps its address once made
    std::vector<std::unique_ptr<BufferRefRec>> refs;
};
Buffers &buffers() {
    static Buffers *b = new Buffers();
    return *b;
}

// Tells every object holding a reference to the name that the buffer changed, through its
// `notify` method, as buffer~ does.
void notify_refs(const std::string &name, BufferRec *b) {
    std::vector<void *> owners;
    {
        std::lock_guard g(buffers().lock);
        for (auto &r : buffers().refs)
            if (t_symbol *n = r->name.load(std::memory_order_acquire); n && name == n->s_name) owners.push_back(r->owner);
    }
    for (void *o : owners) {
        ObjRec *rec = find_object(o);
        if (!rec) continue;
        const _class::Method *m = rec->cls->find(intern("notify"));
        if (!m) continue;
        using F = t_max_err (*)(void *, t_symbol *, t_symbol *, void *, void *);
        reinterpret_cast<F>(m->fn)(o, intern(name.c_str()), intern("buffer_modified"), b, nullptr);
    }
}
}  // namespace

BufferRec *find_buffer(t_symbol *name) {
    if (!name) return nullptr;
    std::lock_guard g(buffers().lock);
    auto it = buffers().by_name.find(name->s_name);
    return it == buffers().by_name.end() || it->second->removed ? nullptr : it->second.get();
}

bool is_buffer(const void *p) {
    std::lock_guard g(buffers().lock);
    for (auto &[n, b] : buffers().by_name)
        if (b.get() == p) return true;
    return false;
}

BufferRefRec *new_buffer_ref(void *owner, t_symbol *name) {
    std::lock_guard g(buffers().lock);
    buffers().refs.push_back(std::make_unique<BufferRefRec>());
    BufferRefRec *r = buffers().refs.back().get();
    r->owner = owner;
    r->name.store(name, std::memory_order_release);
    return r;
}

BufferRefRec *as_buffer_ref(const void *p) {
    std::lock_guard g(buffers().lock);
    for (auto &r : buffers().refs)
        if (r.get() == p) return r.get();
    return nullptr;
}

bool free_buffer_ref(void *p) {
    std::lock_guard g(buffers().lock);
    auto &v = buffers().refs;
    auto it = std::find_if(v.begin(), v.end(), [&](auto &r) { return r.get() == p; });
    if (it == v.end()) return false;
    v.erase(it);
    return true;
}

}  // namespace tk::detail

namespace tk {

using namespace detail;

void buffer_set(const std::string &name, int channels, std::vector<float> interleaved, double samplerate) {
    if (name.empty()) throw Error("buffer~: a buffer needs a name");
    if (channels < 1 || channels > 64) throw Error("buffer~ " + name + ": " + std::to_string(channels) + " channels (1 to 64)");
    if (interleaved.size() % std::size_t(channels) != 0)
        throw Error("buffer~ " + name + ": " + std::to_string(interleaved.size()) + " samples do not make whole frames of " + std::to_string(channels) + " channels");
    if (!(samplerate > 0) || !std::isfinite(samplerate)) throw Error("buffer~ " + name + ": bad sample rate");
    BufferRec *b;
    {
        std::lock_guard g(buffers().lock);
        auto &slot = buffers().by_name[name];
        if (!slot) {
            slot = std::make_unique<BufferRec>();
            slot->name = intern(name.c_str());
        }
        b = slot.get();  // records stay for the process's life
    }
    {
        std::lock_guard s(b->samples_lock);
        b->channels = channels;
        b->frames = long(interleaved.size() / std::size_t(channels));
        b->samplerate = samplerate;
        b->samples = std::move(interleaved);
        b->removed = false;
    }
    notify_refs(name, b);
}

long buffer_load(const std::string &name, const std::string &path) {
#ifndef TILDEHOST_SNDFILE
    throw Error("buffer~ " + name + ": cannot read " + path + ": this host was built without libsndfile");
#else
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) throw Error("buffer~ " + name + ": cannot read " + path + ": " + sf_strerror(nullptr));
    std::vector<float> data(std::size_t(info.frames) * std::size_t(std::max(1, info.channels)));
    sf_count_t got = sf_readf_float(f, data.data(), info.frames);
    sf_close(f);
    if (got < 0) throw Error("buffer~ " + name + ": cannot read " + path);
    data.resize(std::size_t(got) * std::size_t(info.channels));
    buffer_set(name, info.channels, std::move(data), double(info.samplerate));
    return long(got);
#endif
}

std::optional<BufferInfo> buffer_info(const std::string &name) {
    BufferRec *b = find_buffer(intern(name.c_str()));
    if (!b) return std::nullopt;
    std::lock_guard s(b->samples_lock);
    return BufferInfo{b->channels, b->frames, b->samplerate, b->samples};
}

void buffer_remove(const std::string &name) {
    BufferRec *b = find_buffer(intern(name.c_str()));
    if (!b) return;
    {
        std::lock_guard s(b->samples_lock);
        b->removed = true;  // the record stays: a reference that still holds it reads nothing
        b->samples.clear();
        b->frames = 0;
    }
    notify_refs(name, b);
}

}  // namespace tk
