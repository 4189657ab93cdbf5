// The patch's internals, shared by the DSP chain and the outlets.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "internal.h"

namespace tk {

using namespace detail;

struct Connection {
    Box *from;
    int outlet;
    Box *to;
    int inlet;
};

struct Feed {
    std::int64_t start = 0;  // the patch's sample position when the feed began
    std::vector<double> data;
    std::function<void(double *, long, std::int64_t)> gen;
};

struct Node {
    Box *box;
    ObjRec *rec;
    int nin = 0, nout = 0;
    std::vector<std::vector<double>> in_store, out_store;  // owned buffers
    std::vector<double *> ins, outs;
    std::vector<std::vector<float>> fin_store, fout_store;  // legacy float buffers
    std::vector<float *> fins, fouts;
    std::vector<t_signal> sigs;
    std::vector<PerformEntry> entries;
    bool legacy = false;
    std::vector<std::vector<std::pair<Node *, int>>> sources;  // per inlet: (node, signal outlet)
    std::vector<const Feed *> feeds;                           // per inlet
    std::vector<int> prepared;   // inlets filled (or cleared) before each perform call
    std::vector<double> scratch;  // a generator feed's vector
};

struct Patch::Impl {
    Patch *self;
    std::vector<std::unique_ptr<Box>> boxes;
    std::vector<Connection> connections;
    std::map<std::pair<Box *, int>, Feed> feeds;
    std::map<std::pair<Box *, int>, std::vector<double>> captures;
    std::vector<std::unique_ptr<Node>> chain;
    std::vector<std::pair<std::vector<double> *, const double *>> capture_from;  // capture, outlet buffer
    std::vector<double> saved;  // the inputs before perform, in the separate-buffers mode
    using TapFn = std::function<void(const double *, long)>;
    std::map<std::pair<Box *, int>, TapFn> taps;
    std::vector<std::pair<const TapFn *, const double *>> tap_from;  // tap, outlet buffer
    bool compiled = false;
    double time_base = 0;
    PatchState state;  // time, clocks, sr and vector size of this patch
    std::atomic<std::int64_t> frames{0};  // samples processed, for other threads to read
    std::atomic<std::int64_t> audio_allocs{0};  // counted by audio_block

    ObjRec *rec(Box *b) const {
        ObjRec *r = find_object(b->obj_);
        if (!r) throw Error("box is not alive");
        return r;
    }
    Box *checked(Box *b) const {
        for (auto &p : boxes)
            if (p.get() == b) return b;
        throw Error("box does not belong to this patch");
    }
    // What the patch's objects see of it (sys_getsr, sys_getblksize); written only on a change,
    // so that an audio thread reading it meanwhile sees a settled value.
    void activate() {
        if (state.sr != self->sr_) state.sr = self->sr_;
        if (state.block != self->block_) state.block = self->block_;
    }
    void one_block();  // the chain once, captures and taps; no clock
    int signal_index(ObjRec *r, int outlet) const {
        // index of an outlet among the signal outlets, counted from the left
        int idx = 0;
        int n = int(r->outlets.size());
        for (int pos = 0; pos < outlet; ++pos) {
            const OutletRec *o = r->outlets[std::size_t(n - 1 - pos)].get();
            if (o->signal) idx++;
        }
        return idx;
    }
    void invalidate() {
        compiled = false;
        chain.clear();
        capture_from.clear();
        tap_from.clear();
    }
};

struct HostAccess {
    static ObjRec *rec(const Box *b) { return find_object(b->obj_); }
    static void record(Box *b, Event ev) {
        std::lock_guard lock(b->events_lock_);
        b->events_.push_back(std::move(ev));
    }
    static Patch *patch(Box *b) { return b->patch_; }
    static Patch::Impl *impl(Patch *p) { return p->impl_.get(); }
    static std::int64_t processed(Patch *p) { return p->impl_->frames.load(std::memory_order_acquire); }
};

}  // namespace tk
