// What every part of the core runs on: work split over worker threads that
// never leave work undone, working memory, the rounding mode the builders
// compute under, and the check that refuses non-finite numbers by name.
//
// Nothing here knows of files or of any order of points.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

namespace glbcore {

// ---- Work split ---------------------------------------------------------
// Below this many atoms (or points) one worker does everything.
constexpr std::uint32_t MULTI_WORKER_MIN_ATOMS = 100000;

// W workers over chunks of C atoms; chunk i covers [i*C, min((i+1)*C, count)).
struct WorkSplit {
    std::uint32_t count;
    std::uint32_t workers;
    std::uint32_t chunk;
    std::uint32_t begin(std::uint32_t i) const;
    std::uint32_t end(std::uint32_t i) const;
};
// The production rule: one worker below 100000 atoms, otherwise one per
// hardware thread (4 when the count of hardware threads is unknown, 0).
WorkSplit split_work(std::uint32_t count, unsigned hardware_threads);
// Exactly `workers` chunks of count/workers rounded up.
WorkSplit split_work_over(std::uint32_t count, std::uint32_t workers);

// Starts a worker thread. Tests inject starters that fail.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;
ThreadStarter default_thread_starter();

// One phase: a thread per non-empty chunk, all joined before returning. The
// calling thread only starts and joins; a chunk whose thread cannot be
// started runs on the calling thread instead, so a phase never leaves work
// undone and never leaves a thread unjoined.
void run_phase(const WorkSplit& split, const ThreadStarter& start_thread,
               const std::function<void(std::uint32_t begin, std::uint32_t end)>& work);

// Runs work(begin, end) over contiguous ranges of [0, n), one per worker
// (0 workers: one per hardware thread). An exception thrown by work is
// rethrown after all threads joined (that of the first range).
//
// Work on a worker thread should not allocate: under memory pressure the
// exception of a failed allocation cannot leave the thread, as glibc
// aborts the process when it cannot allocate the thread-local storage that
// throwing needs in a thread of a dlopen'ed module. Callers prepare each
// range's memory before the threads start, from the ranges of
// parallel_split.
void run_parallel_ranges(std::uint32_t n, unsigned workers,
                         const std::function<void(std::uint32_t, std::uint32_t)>& work);
// The ranges that run_parallel_ranges(n, workers, ...) gives: range i is
// [begin(i), end(i)) of split.workers ranges, some empty at the end.
WorkSplit parallel_split(std::uint32_t n, unsigned workers);

// Runs work(i) for i in [0, n) on `workers` threads (0: one per hardware
// thread), each thread taking a contiguous range. An exception thrown by
// work(i) is rethrown after all threads joined (that of the lowest i).
void run_parallel(std::uint32_t n, unsigned workers,
                  const std::function<void(std::uint32_t)>& work);

// ---- Working memory -----------------------------------------------------
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using WorkingArray = std::unique_ptr<T[], FreeDeleter>;
// Uninitialised storage for n elements; throws std::bad_alloc. Large arrays
// are advised for huge pages: first-touch page faults dominate fresh buffers.
void* allocate_working_bytes(std::size_t bytes);
template <class T>
WorkingArray<T> allocate_working_array(std::size_t n) {
    return WorkingArray<T>(static_cast<T*>(allocate_working_bytes(n * sizeof(T))));
}

// ---- The rounding mode --------------------------------------------------
// Formatting (printf's "%.6f") and the quantisation arithmetic both follow
// the thread's rounding mode, and any library in the host process can leave
// it changed. Files must depend on their inputs alone, so every public entry
// point of the core computes under round-to-nearest and gives the caller
// back its own mode afterwards. Worker threads inherit the floating-point
// environment of the thread that starts them (POSIX; glibc's std::thread
// does), so setting it on the calling thread covers the whole call.
class RoundToNearestScope {
public:
    RoundToNearestScope() : caller_mode_(std::fegetround()) {
        if (caller_mode_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~RoundToNearestScope() {
        if (caller_mode_ != FE_TONEAREST && caller_mode_ >= 0) std::fesetround(caller_mode_);
    }
    RoundToNearestScope(const RoundToNearestScope&) = delete;
    RoundToNearestScope& operator=(const RoundToNearestScope&) = delete;

private:
    int caller_mode_;
};

// ---- Finite checks ------------------------------------------------------
// Refuses a non-finite value with std::invalid_argument naming it, for
// example "vmin[2] = nan is not finite".
void require_finite(const double* values, std::size_t n, const char* name);
void require_finite(double value, const char* name);

}  // namespace glbcore
