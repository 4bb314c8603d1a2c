// How the atom pipeline splits its work: W chunks of C atoms, one thread per
// non-empty chunk in every phase; and the working memory of the pipeline.
#include <algorithm>
#include <new>
#include <system_error>

#include <sys/mman.h>

#include "atom_pipeline.h"

namespace glbcore {

namespace {

constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

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
    return static_cast<std::uint32_t>(std::min<std::uint64_t>((std::uint64_t{i} + 1) * chunk, count));
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

void* allocate_working_bytes(std::size_t bytes) {
    if (bytes < HUGE_PAGE_BYTES) {
        void* p = std::malloc(bytes == 0 ? 1 : bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    void* p = nullptr;
    const std::size_t rounded = (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (posix_memalign(&p, HUGE_PAGE_BYTES, rounded) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Advice only: where huge pages are unavailable the memory works as is.
    madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return p;
}

}  // namespace glbcore
