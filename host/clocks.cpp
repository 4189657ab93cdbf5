// The scheduler's clocks: arming, disarming and firing them in logical time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"

namespace tk::detail {

// A clock belongs to the patch of its object's box, or to the patch current on the thread that
// makes it (its object's new routine runs inside Patch::create), or to the process's own state
// outside any patch.
ClockRec *clock_create(void *obj, method fn) {
    auto *c = static_cast<ClockRec *>(accounted_alloc(sizeof(ClockRec), true, false));
    if (!c) return nullptr;
    PatchState &s = state_of(obj);
    new (c) ClockRec{obj, fn, &s};
    {
        std::lock_guard lock(rt().objects_lock);
        rt().clocks[c] = c;
    }
    ObjRec *r = find_object(obj);
    std::lock_guard lock(s.clock_lock);
    s.clocks.push_back(c);
    if (r) r->clocks.push_back(c);
    return c;
}

namespace {
// under the owner's clock lock
void arm_due(ClockRec *c, double due) {
    PatchState &s = *c->owner;
    c->armed = true;
    c->due = due;
    c->seq = ++s.clock_seq;
    if (c->due < s.earliest_due) s.earliest_due = c->due;
}
void arm_now(ClockRec *c, double ms) { arm_due(c, c->owner->now + ms); }
// a time already past (or NaN) is now: the clock fires at the scheduler's next turn
void arm_at(ClockRec *c, double when) {
    const double now = c->owner->now;
    arm_due(c, when > now ? when : now);
}
}  // namespace

// From the audio thread of the clock's patch the change is handed to the scheduler through the
// ring, without a lock or an allocation; from any other thread (the scheduler itself, a thread
// sending messages, one an external started) it is made at once under the patch's clock lock,
// so it takes its place among the clocks in the order it was made.
void clock_arm(ClockRec *c, double ms) {
    if (!(ms > 0.0)) ms = 0.0;  // negative and NaN delays count as 0
    PatchState &s = *c->owner;
    if (audio_state_here() == &s) {
        s.handoff.push({c, ms, true});
        return;
    }
    std::lock_guard lock(s.clock_lock);
    arm_now(c, ms);
}

void clock_arm_at(ClockRec *c, double when) {
    PatchState &s = *c->owner;
    if (audio_state_here() == &s) {
        s.handoff.push({c, when, true, true});
        return;
    }
    std::lock_guard lock(s.clock_lock);
    arm_at(c, when);
}

void clock_disarm(ClockRec *c) {
    PatchState &s = *c->owner;
    if (audio_state_here() == &s) {
        s.handoff.push({c, 0.0, false});
        return;
    }
    std::lock_guard lock(s.clock_lock);
    c->armed = false;
}

void take_handed_clocks(PatchState &s) {
    std::lock_guard lock(s.clock_lock);
    s.handoff.drain([](const ClockOp &op) {
        if (!op.clock) return;
        if (op.arm && op.at)
            arm_at(op.clock, op.ms);
        else if (op.arm)
            arm_now(op.clock, op.ms);
        else
            op.clock->armed = false;
    });
}

bool free_clock(void *p) {
    ClockRec *c = nullptr;
    {
        std::lock_guard lock(rt().objects_lock);
        auto it = rt().clocks.find(p);
        if (it == rt().clocks.end()) return false;
        c = it->second;
        rt().clocks.erase(it);
    }
    ObjRec *r = find_object(c->obj);
    {
        PatchState &s = *c->owner;
        std::lock_guard lock(s.clock_lock);
        std::erase(s.clocks, c);
        // a change the audio thread handed over before this clock went must not reach freed memory
        s.handoff.forget(c);
        if (r) std::erase(r->clocks, c);
    }
    c->~ClockRec();
    accounted_free(c);
    return true;
}

// Fires every armed clock due at or before `until`, always the earliest next (ties in the order
// they were set), so a clock re-armed by a clock routine takes its place among the others.
// A clock that keeps re-arming itself at zero delay would never let time move on: after a
// bounded number of firings at one instant the rest wait for the next call.
// With DSP running, time has reached the block's end before the clocks of that block fire.
void fire_clocks(PatchState &r, double until, bool at_block_end) {
    std::unique_lock lock(r.clock_lock);
    if (at_block_end && until > r.now) r.now = until;
    if (until < r.earliest_due) {
        if (until > r.now) r.now = until;
        return;
    }
    double instant = r.now;
    int at_instant = 0;
    for (;;) {
        ClockRec *next = nullptr;
        double later = std::numeric_limits<double>::infinity();  // the earliest armed clock not due yet
        for (ClockRec *c : r.clocks) {
            if (!c->armed) continue;
            if (c->due > until) {
                if (c->due < later) later = c->due;
            } else if (!next || c->due < next->due || (c->due == next->due && c->seq < next->seq)) {
                next = c;
            }
        }
        if (!next) {
            r.earliest_due = later;
            break;
        }
        if (next->due > r.now) r.now = next->due;
        if (r.now != instant) {
            instant = r.now;
            at_instant = 0;
        }
        if (++at_instant > 10000) {
            void *obj = next->obj;
            lock.unlock();
            post_text(ConsoleLine::Error, class_name_of(obj), "a clock keeps re-arming itself without delay; the rest waits");
            lock.lock();
            break;
        }
        next->armed = false;
        void *obj = next->obj;
        method fn = next->fn;
        // the routine runs without the lock: it may set clocks, defer, free its own clock
        lock.unlock();
        r.firing++;
        reinterpret_cast<void (*)(void *)>(fn)(obj);
        r.firing--;
        lock.lock();
    }
    if (until > r.now) r.now = until;
}

}  // namespace tk::detail
