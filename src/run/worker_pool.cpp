#include "worker_pool.hpp"

#include <chrono>
#include <system_error>

#include "workers.hpp"

namespace corrshift {

namespace {

thread_local worker_pool* the_current_pool = nullptr;

// How long a waiting thread polls before it sleeps: cycles are often a few
// tens of microseconds apart, less than a sleep and a wake-up cost. The
// poll is bounded in time, not in count, and does not yield (a yield on a
// busy machine can give the core away for a whole time slice).
constexpr std::chrono::microseconds kPoll{50};

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Polls until done() or until kPoll has passed; returns done().
template <class Done>
bool poll(Done&& done) {
    const auto until = std::chrono::steady_clock::now() + kPoll;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (done()) return true;
            relax();
        }
        if (std::chrono::steady_clock::now() >= until) return done();
    }
}

}  // namespace

worker_pool::worker_pool(int32_t threads) {
    threads_.reserve(static_cast<size_t>(threads > 1 ? threads - 1 : 0));
    try {
        for (int32_t j = 1; j < threads; ++j) {
            if (j == fail_thread_start_at)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                        "could not start a worker thread");
            threads_.emplace_back([this, j]() { serve(j); });
        }
    } catch (...) {
        stop();
        throw;
    }
}

worker_pool::~worker_pool() { stop(); }

void worker_pool::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& th : threads_)
        if (th.joinable()) th.join();
}

void worker_pool::serve(int32_t index) {
    uint64_t seen = 0;
    for (;;) {
        if (!poll([&] { return generation_.load(std::memory_order_acquire) != seen; })) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_acquire) != seen; });
            if (stopping_) return;
        }
        seen = generation_.load(std::memory_order_acquire);
        // Every thread answers every generation, with a task or without,
        // so that none still reads this one's task when the next is set.
        if (index < active_) {
            try {
                call_(context_, index);
            } catch (...) {
                errors_[static_cast<size_t>(index)] = std::current_exception();
            }
        }
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

void worker_pool::run_erased(int32_t t, task_call call, const void* context) {
    errors_.assign(static_cast<size_t>(t), nullptr);
    call_ = call;
    context_ = context;
    active_ = t;
    const bool helpers = t > 1;
    pending_.store(helpers ? size() - 1 : 0, std::memory_order_relaxed);
    if (helpers) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
    }
    try {
        call(context, 0);
    } catch (...) {
        errors_[0] = std::current_exception();
    }
    if (!poll([&] { return pending_.load(std::memory_order_acquire) == 0; })) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    for (auto& e : errors_)
        if (e) std::rethrow_exception(e);
}

worker_pool* current_pool() { return the_current_pool; }

pool_scope::pool_scope(worker_pool& pool) : previous_(the_current_pool) { the_current_pool = &pool; }

pool_scope::~pool_scope() { the_current_pool = previous_; }

}  // namespace corrshift
