// Work partition and fork-join of native worker threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "worker_pool.hpp"

namespace corrshift {

struct unit_range {
    int32_t begin;
    int32_t end;
};

// Range of worker j among T workers over N units: equal blocks of N / T,
// the whole remainder going to the last worker.
unit_range split_range(int32_t n, int32_t t, int32_t j);

// Worker w's share [begin, end) of n items among t workers, for passes over
// arrays that may exceed the int32 units (n * t must fit in 64 bits).
struct item_range {
    int64_t begin;
    int64_t end;
};
inline item_range split_items(int64_t n, int32_t t, int32_t w) { return {n * w / t, n * (w + 1) / t}; }

// Workers for a light pass over n items: at most `threads`, with some
// 65,536 items or more each (fewer are not worth a thread).
inline int32_t item_workers(int64_t n, int32_t threads) {
    return static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(threads, n / 65536 + 1)));
}

// Test hook: when non-negative, starting the thread with this index in a
// fork-join fails as if the system had no thread left. Set only by the
// test-only extension.
extern int32_t fail_thread_start_at;

// Fork-join: starts T threads, thread j running body(j, begin, end) over
// split_range(N, T, j) on its own copy of `body` (j tells it which scratch
// it owns), then joins them in start order. If a thread cannot be started,
// the ones already running are joined and the error is rethrown. An
// exception thrown inside a worker is rethrown on the calling thread once
// every worker has been joined (the first one in start order).
//
// With more workers than units, the units are given one per worker instead
// of all to the last one: every unit is still computed by exactly one worker
// with the same arithmetic, so results are the same, and no thread is
// started only to find its range empty.
//
// Inside a worker_pool's scope the pool's threads run the workers instead
// of new ones (same ranges, same results).
template <class Body>
void run_numbered_workers(int32_t n, int32_t t, const Body& body) {
    t = std::min(t, std::max(n, int32_t{1}));
    if (worker_pool* pool = current_pool(); pool != nullptr && t <= pool->size()) {
        pool->run(t, [&](int32_t j) {
            const unit_range r = split_range(n, t, j);
            body(j, r.begin, r.end);
        });
        return;
    }
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> errors(static_cast<size_t>(t));
    threads.reserve(static_cast<size_t>(t));
    std::exception_ptr start_error;
    for (int32_t j = 0; j < t; ++j) {
        const unit_range r = split_range(n, t, j);
        try {
            if (j == fail_thread_start_at)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                        "could not start a worker thread");
            threads.emplace_back([body, j, r, slot = &errors[static_cast<size_t>(j)]]() {
                try {
                    body(j, r.begin, r.end);
                } catch (...) {
                    *slot = std::current_exception();
                }
            });
        } catch (...) {
            start_error = std::current_exception();
            break;
        }
    }
    for (auto& th : threads) th.join();
    if (start_error) std::rethrow_exception(start_error);
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

// One worker per range of units cut by the caller: worker w runs
// body(w, cut[w], cut[w + 1]) for w in [0, workers).
template <class Body>
void run_cut_workers(const int32_t* cut, int32_t workers, const Body& body) {
    run_numbered_workers(workers, workers,
                         [=](int32_t worker, int32_t, int32_t) { body(worker, cut[worker], cut[worker + 1]); });
}

// As run_numbered_workers, body(begin, end) without the worker number.
template <class Body>
void run_workers(int32_t n, int32_t t, const Body& body) {
    run_numbered_workers(n, t, [body](int32_t, int32_t begin, int32_t end) { body(begin, end); });
}

}  // namespace corrshift
