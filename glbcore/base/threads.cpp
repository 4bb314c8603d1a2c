// How the core splits its work: W chunks of C atoms, one thread per
// non-empty chunk in every phase, and ranges of tasks whose exceptions are
// carried back to the calling thread.
#include <algorithm>
#include <exception>
#include <new>
#include <system_error>
#include <vector>

#include "base/base.h"

namespace glbcore {

namespace {

std::uint32_t ceil_div(std::uint32_t n, std::uint32_t d) {
    return static_cast<std::uint32_t>((std::uint64_t{n} + d - 1) / d);
}

// Joins every started thread, also when starting a later one throws.
class ThreadGroup {
public:
    explicit ThreadGroup(std::size_t capacity) { threads_.reserve(capacity); }
    ~ThreadGroup() {
        for (std::thread& t : threads_) t.join();
    }
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;
    void add(std::thread t) { threads_.push_back(std::move(t)); }

private:
    std::vector<std::thread> threads_;
};

}  // namespace

std::uint32_t WorkSplit::begin(std::uint32_t i) const {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{i} * chunk, count));
}

std::uint32_t WorkSplit::end(std::uint32_t i) const {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>((std::uint64_t{i} + 1) * chunk, count));
}

WorkSplit split_work_over(std::uint32_t count, std::uint32_t workers) {
    return WorkSplit{count, workers, ceil_div(count, workers)};
}

WorkSplit split_work(std::uint32_t count, unsigned hardware_threads) {
    if (count < MULTI_WORKER_MIN_ATOMS) return WorkSplit{count, 1, count};
    return split_work_over(count, hardware_threads == 0 ? 4u : hardware_threads);
}

ThreadStarter default_thread_starter() {
    return [](std::function<void()> work) { return std::thread(std::move(work)); };
}

void run_phase(const WorkSplit& split, const ThreadStarter& start_thread,
               const std::function<void(std::uint32_t, std::uint32_t)>& work) {
    ThreadGroup group(split.workers);
    for (std::uint32_t c = 0; c < split.workers; ++c) {
        const std::uint32_t begin = split.begin(c);
        const std::uint32_t end = split.end(c);
        if (begin >= end) continue;
        try {
            group.add(start_thread([&work, begin, end] { work(begin, end); }));
        } catch (const std::system_error&) {
            work(begin, end);  // no thread to be had: do the chunk here
        } catch (const std::bad_alloc&) {
            work(begin, end);
        }
    }
}

WorkSplit parallel_split(std::uint32_t n, unsigned workers) {
    if (n == 0) return WorkSplit{0, 0, 0};
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    return split_work_over(n, std::min<std::uint32_t>(workers, n));
}

void run_parallel_ranges(std::uint32_t n, unsigned workers,
                         const std::function<void(std::uint32_t, std::uint32_t)>& work) {
    if (n == 0) return;
    const WorkSplit split = parallel_split(n, workers);
    // An exception must not leave a worker thread: it is carried over and
    // that of the first range rethrown (the lowest item, as ranges are in
    // order and each stops at its first exception).
    std::vector<std::exception_ptr> errors(split.workers);
    run_phase(split, default_thread_starter(), [&](std::uint32_t begin, std::uint32_t end) {
        try {
            work(begin, end);
        } catch (...) {
            errors[begin / split.chunk] = std::current_exception();
        }
    });
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

void run_parallel(std::uint32_t n, unsigned workers,
                  const std::function<void(std::uint32_t)>& work) {
    run_parallel_ranges(n, workers, [&](std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t i = begin; i < end; ++i) work(i);
    });
}

}  // namespace glbcore
