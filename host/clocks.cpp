// The scheduler's clocks: arming, disarming and firing them in logical time.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"

namespace tk::detail {

ClockRec *clock_create(void *obj, method fn) {
    auto *c = static_cast<ClockRec *>(accounted_alloc(sizeof(ClockRec), true, false));
    if (!c) return nullptr;
    new (c) ClockRec{obj, fn};
    rt().clocks[c] = c;
    if (ObjRec *r = find_object(obj)) r->clocks.push_back(c);
    return c;
}

void clock_arm(ClockRec *c, double ms) {
    if (!(ms > 0.0)) ms = 0.0;  // negative and NaN delays count as 0
    c->armed = true;
    c->due = rt().now + ms;
    c->seq = ++rt().clock_seq;
    if (c->due < rt().earliest_due) rt().earliest_due = c->due;
}

void clock_disarm(ClockRec *c) { c->armed = false; }

bool free_clock(void *p) {
    auto it = rt().clocks.find(p);
    if (it == rt().clocks.end()) return false;
    ClockRec *c = it->second;
    rt().clocks.erase(it);
    if (ObjRec *r = find_object(c->obj)) std::erase(r->clocks, c);
    c->~ClockRec();
    accounted_free(c);
    return true;
}

// Fires every armed clock due at or before `until`, always the earliest next (ties in the order
// they were set), so a clock re-armed by a clock routine takes its place among the others.
// A clock that keeps re-arming itself at zero delay would never let time move on: after a
// bounded number of firings at one instant the rest wait for the next call.
// With DSP running, time has reached the block's end before the clocks of that block fire.
void fire_clocks(double until, bool at_block_end) {
    auto &r = rt();
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
        for (auto &[k, c] : r.clocks) {
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
            post_text(ConsoleLine::Error, class_name_of(next->obj), "a clock keeps re-arming itself without delay; the rest waits");
            break;
        }
        next->armed = false;
        r.firing++;
        reinterpret_cast<void (*)(void *)>(next->fn)(next->obj);
        r.firing--;
    }
    if (until > r.now) r.now = until;
}

}  // namespace tk::detail
