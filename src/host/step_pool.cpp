// The step pool's threads wait for a batch, take its tasks by index and report when done.
#include "host/step_pool.hpp"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace host {

StepPool::StepPool(int threads) : owner_pid_(getpid()), s_(std::make_unique<Shared>()) {
    if (threads < 1 || threads > MAX_THREADS)
        throw std::invalid_argument("threads must be 1 to " + std::to_string(MAX_THREADS) + ", not " +
                                    std::to_string(threads));
    for (int i = 1; i < threads; ++i) s_->helpers.emplace_back([s = s_.get()] { s->helper_loop(); });
}

StepPool::~StepPool() {
    if (!usable_here()) {
        // A forked child has none of the helpers, yet its copies of the locks and condition
        // variables still count them as waiting: using or destroying those could block
        // forever, so the child leaves them be.
        (void)s_.release();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s_->mutex);
        s_->stopping = true;
    }
    s_->wake.notify_all();
    for (std::thread& t : s_->helpers) t.join();
}

bool StepPool::usable_here() const { return getpid() == owner_pid_; }

void StepPool::run(size_t count, const Task& task, const std::function<void()>& waiting) {
    Shared& s = *s_;
    if (count <= 1 || s.helpers.empty()) {  // nothing to share: the helpers sleep on
        for (size_t i = 0; i < count; ++i) task(i);
        return;
    }
    std::lock_guard<std::mutex> one_batch(s.batch_mutex);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.task = &task;
        s.count = count;
        s.next.store(0);
        s.busy = s.helpers.size();
        ++s.generation;
    }
    s.wake.notify_all();
    s.work();
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.done.wait_for(lock, std::chrono::milliseconds(5), [&s] { return s.busy == 0; })) {
        lock.unlock();
        waiting();
        lock.lock();
    }
    s.task = nullptr;
}

void StepPool::Shared::work() {
    for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) (*task)(i);
}

void StepPool::Shared::helper_loop() {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || generation != seen; });
        if (stopping) return;
        seen = generation;
        lock.unlock();
        work();
        lock.lock();
        if (--busy == 0) done.notify_one();
    }
}

}  // namespace host
