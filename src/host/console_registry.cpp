// Every console alive in the process: the binding stops them all at interpreter exit, and
// after fork the child's consoles stand stopped, with fresh locks.
#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "host/console.hpp"

namespace {

std::mutex registry_mutex;  // constant-initialized, nothing to destroy
// Never destroyed: a console that outlives it in static destruction (kept in a static made
// before the first console, as a fuzz target's cache is) still unregisters safely.
std::vector<NESUnit*>& registry() {
    static auto* consoles = new std::vector<NESUnit*>;
    return *consoles;
}

}  // namespace

// The parent's threads may have left the locks in use or waited upon: every one is taken
// before the fork, so that the child finds no half-done change behind it.
struct ForkReset {
    static void prepare() {
        registry_mutex.lock();
        for (NESUnit* c : registry()) {
            c->pad_mutex.lock();  // before the run control, as setController takes them
            c->control_.lock_for_fork();
            c->perframefunc.mutex().lock();
            c->battery_mutex.lock();
        }
    }
    static void parent() {
        for (NESUnit* c : registry()) {
            c->battery_mutex.unlock();
            c->perframefunc.mutex().unlock();
            c->control_.unlock_after_fork();
            c->pad_mutex.unlock();
        }
        registry_mutex.unlock();
    }
    static void child() {
        for (NESUnit* c : registry()) {
            new (&c->battery_mutex) std::mutex();
            new (&c->perframefunc.mutex()) std::mutex();
            new (&c->pad_mutex) std::mutex();
            c->batch_claimed = false;  // no batch runs in the child
            c->control_.reset_in_fork_child();
        }
        new (&registry_mutex) std::mutex();
    }
};

NESUnit::Registration::Registration(NESUnit* c) : console(c) {
    static const int fork_handlers = pthread_atfork(ForkReset::prepare, ForkReset::parent, ForkReset::child);
    (void)fork_handlers;
    std::lock_guard<std::mutex> lock(registry_mutex);
    registry().push_back(c);
}

NESUnit::Registration::~Registration() { console->unregister(); }

void NESUnit::unregister() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& consoles = registry();
    consoles.erase(std::remove(consoles.begin(), consoles.end(), this), consoles.end());
}

std::vector<NESUnit*> NESUnit::live_consoles() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    return registry();
}
