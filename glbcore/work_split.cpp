// How the atom pipeline splits its work: W chunks of C atoms, one thread per
// non-empty chunk in every phase; and the working memory of the pipeline.
#include <algorithm>
#include <new>
#include <system_error>

#include <sys/mman.h>
#include <unistd.h>

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

void advise_huge_pages(void* data, std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
    if (size < HUGE_PAGE_BYTES) return;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    // madvise takes whole pages: only those entirely inside the span.
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + size) & ~(page - 1);
    // Advice only: where huge pages are unavailable the memory works as is.
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

void* allocate_working_bytes(std::size_t bytes) {
    if (bytes < HUGE_PAGE_BYTES) {
        void* p = std::malloc(bytes == 0 ? 1 : bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    // Aligned to a huge page so that all of it can be backed by huge pages,
    // and so to a cache line, which lets the sort stream whole lines.
    void* p = nullptr;
    const std::size_t rounded = (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (posix_memalign(&p, HUGE_PAGE_BYTES, rounded) != 0) throw std::bad_alloc();
    advise_huge_pages(p, rounded);
    return p;
}

}  // namespace glbcore
