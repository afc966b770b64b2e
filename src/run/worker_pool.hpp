// Worker threads started once per call and handed the work of each
// fork-join, for calls whose cycles are too short to start threads each
// time. Fork-joins inside a pool's scope run on it; elsewhere they start
// their own threads (run_numbered_workers).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace corrshift {

class alignas(64) worker_pool {
public:
    // Starts threads - 1 threads (the calling thread is the first worker).
    // If one cannot be started, the started ones are stopped and joined and
    // the error is rethrown.
    explicit worker_pool(int32_t threads);
    ~worker_pool();
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    int32_t size() const { return static_cast<int32_t>(threads_.size()) + 1; }

    // Runs task(j) for j in [0, t), t <= size(): task 0 on the calling
    // thread, task j on the pool's thread j. Returns when every task is
    // done; an exception thrown by a task is then rethrown (the first in
    // task order). The task is passed by address, so a fork-join allocates
    // nothing.
    template <class Task>
    void run(int32_t t, const Task& task) {
        run_erased(t, [](const void* context, int32_t j) { (*static_cast<const Task*>(context))(j); }, &task);
    }

private:
    using task_call = void (*)(const void* context, int32_t j);
    void run_erased(int32_t t, task_call call, const void* context);
    void serve(int32_t index);
    void stop();

    // The counters both sides poll each hold a cache line of their own, away
    // from everything else: the pool usually lives on the calling thread's
    // stack, whose other variables that thread writes all the time, and a
    // write to a polled line stalls the poller (how often depends on where
    // the stack happens to begin: some processes ran short cycles at two
    // thirds of the speed of others, and do so more rarely since).
    static constexpr size_t kLine = 64;
    alignas(kLine) std::atomic<uint64_t> generation_{0};
    alignas(kLine) std::atomic<int32_t> pending_{0};
    alignas(kLine) std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    int32_t active_ = 0;
    task_call call_ = nullptr;
    const void* context_ = nullptr;
    std::vector<std::exception_ptr> errors_;
    bool stopping_ = false;
};

// The pool of the call running on this thread, or null.
worker_pool* current_pool();

// Makes `pool` the current pool of this thread for its lifetime.
class pool_scope {
public:
    explicit pool_scope(worker_pool& pool);
    ~pool_scope();
    pool_scope(const pool_scope&) = delete;
    pool_scope& operator=(const pool_scope&) = delete;

private:
    worker_pool* previous_;
};

}  // namespace corrshift
