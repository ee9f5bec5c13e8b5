// A persistent pool of threads that runs the tasks of one batch at a time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace host {

class StepPool {
public:
    // More threads than this only wait for cores: a pool's threads live as long as it does.
    static constexpr int MAX_THREADS = 256;
    using Task = std::function<void(size_t)>;

    explicit StepPool(int threads);  // 1..MAX_THREADS, counting the calling thread
    ~StepPool();
    StepPool(const StepPool&) = delete;
    StepPool& operator=(const StepPool&) = delete;

    int threads() const { return static_cast<int>(s_->helpers.size()) + 1; }
    // False in a child forked from the process that made the pool: it has none of the helpers.
    bool usable_here() const;

    // Runs task(0) ... task(count - 1) on the calling thread and the helpers, each index once;
    // the task must not throw. One batch at a time: a second caller waits for the first. Once
    // the calling thread has no task left it calls `waiting` every few milliseconds until the
    // helpers are done.
    void run(size_t count, const Task& task, const std::function<void()>& waiting);

private:
    struct Shared {
        void work();
        void helper_loop();

        std::vector<std::thread> helpers;
        std::mutex batch_mutex;
        std::mutex mutex;
        std::condition_variable wake, done;
        const Task* task = nullptr;  // the fields below are guarded by mutex, next aside
        size_t count = 0;
        std::atomic<size_t> next{0};
        size_t busy = 0;
        uint64_t generation = 0;
        bool stopping = false;
    };

    const pid_t owner_pid_;
    std::unique_ptr<Shared> s_;
};

}  // namespace host
