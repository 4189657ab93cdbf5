// Proxy inlets: extra inlets of any message type; the owner learns the inlet from the
// location it gave (proxy_new) or from proxy_getinlet.
#include <algorithm>
#include <memory>
#include <mutex>

#include "sdkapi.h"

namespace tk::detail {

namespace {
struct Proxies {
    std::mutex lock;
    std::vector<std::unique_ptr<ProxyRec>> all;
};
Proxies &proxies() {
    static Proxies *p = new Proxies();
    return *p;
}
}  // namespace

ProxyRec *proxy_at(const void *owner, long inlet) {
    std::lock_guard g(proxies().lock);
    for (auto &p : proxies().all)
        if (p->owner == owner && p->id == inlet) return p.get();
    return nullptr;
}

int proxy_inlet_count(const void *owner) {
    std::lock_guard g(proxies().lock);
    long n = 0;
    for (auto &p : proxies().all)
        if (p->owner == owner) n = std::max(n, p->id + 1);
    return int(n);
}

ProxyRec *add_proxy(void *owner, long id, long *stuffloc) {
    std::lock_guard g(proxies().lock);
    auto &v = proxies().all;
    v.push_back(std::make_unique<ProxyRec>(ProxyRec{owner, id, stuffloc}));
    return v.back().get();
}

bool free_proxy(void *p) {
    std::lock_guard g(proxies().lock);
    auto &v = proxies().all;
    auto it = std::find_if(v.begin(), v.end(), [&](auto &q) { return q.get() == p; });
    if (it == v.end()) return false;
    v.erase(it);
    return true;
}

void forget_proxies(const void *owner) {
    std::lock_guard g(proxies().lock);
    auto &v = proxies().all;
    v.erase(std::remove_if(v.begin(), v.end(), [&](auto &q) { return q->owner == owner; }), v.end());
}

}  // namespace tk::detail
