// Working memory: uninitialised arrays, huge-page advised when large, as
// fresh memory costs more in first-touch page faults than in writing.
#include <cstdint>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

#include "base/base.h"
#include "glbcore.h"

namespace glbcore {

namespace {

constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

}  // namespace

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
