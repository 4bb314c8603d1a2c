// Times the atom pipeline with 1 and with 2 workers on the same input. The
// module always uses one worker per hardware thread, so the comparison runs
// here, on the core, with the worker count set explicitly.
//
// Usage: atom_scaling RUNS COUNT...   Prints one JSON object per line:
//   {"atoms": N, "workers": W, "min_s": ..., "median_s": ...}
// and fails if the two worker counts give different files.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "fixed/fixed.h"

namespace {

// Fresh memory per call, advised for huge pages like the module's result.
class FreshOutput final : public glbcore::OutputBuffer {
public:
    std::uint8_t* allocate(std::size_t size) override {
        data_.reset(static_cast<std::uint8_t*>(std::malloc(size)));
        if (!data_) throw std::bad_alloc();
        size_ = size;
        glbcore::advise_huge_pages(data_.get(), size);
        return data_.get();
    }
    bool same_bytes(const FreshOutput& other) const {
        return size_ == other.size_ && std::memcmp(data_.get(), other.data_.get(), size_) == 0;
    }

private:
    std::unique_ptr<std::uint8_t[], glbcore::FreeDeleter> data_;
    std::size_t size_ = 0;
};

// Inputs in huge-page advised memory, as NumPy allocates large arrays.
struct Atoms {
    glbcore::WorkingArray<float> positions;
    glbcore::WorkingArray<std::uint16_t> types;
};

Atoms uniform_atoms(std::uint32_t count) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    Atoms a{glbcore::allocate_working_array<float>(3 * std::size_t{count}),
            glbcore::allocate_working_array<std::uint16_t>(count)};
    for (std::size_t i = 0; i < 3 * std::size_t{count}; ++i) a.positions[i] = unit(rng);
    for (std::uint32_t i = 0; i < count; ++i) a.types[i] = static_cast<std::uint16_t>(rng() % 10);
    return a;
}

double seconds_of_one_call(const Atoms& a, std::uint32_t count, std::uint32_t workers,
                           FreshOutput& out) {
    static const double lo[3] = {0, 0, 0};
    static const double hi[3] = {1, 1, 1};
    const glbcore::AtomPipelineOptions options{glbcore::interleave_for_this_processor(),
                                               glbcore::split_work_over(count, workers),
                                               glbcore::default_thread_starter()};
    const auto start = std::chrono::steady_clock::now();
    glbcore::write_atom_glb(a.positions.get(), count, a.types.get(), lo, hi, options, out);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RUNS COUNT...\n", argv[0]);
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    for (int arg = 2; arg < argc; ++arg) {
        const auto count = static_cast<std::uint32_t>(std::strtoul(argv[arg], nullptr, 10));
        const Atoms atoms = uniform_atoms(count);
        FreshOutput first[2];
        for (std::uint32_t workers : {1u, 2u}) {
            std::vector<double> times;
            for (int r = 0; r < runs; ++r) {
                FreshOutput out;
                times.push_back(seconds_of_one_call(atoms, count, workers, out));
                if (r == 0) first[workers - 1] = std::move(out);
            }
            std::sort(times.begin(), times.end());
            std::printf("{\"atoms\": %u, \"workers\": %u, \"min_s\": %.6f, \"median_s\": %.6f}\n",
                        count, workers, times.front(), times[times.size() / 2]);
            std::fflush(stdout);
        }
        if (!first[0].same_bytes(first[1])) {
            std::fprintf(stderr, "%u atoms: 1 and 2 workers gave different files\n", count);
            return 1;
        }
    }
    return 0;
}
