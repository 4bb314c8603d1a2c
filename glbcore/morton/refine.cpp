// Runs of points sharing a pipeline cell, sorted by their place inside it.
#include "morton/morton.h"

#include <algorithm>

namespace glbcore {

FineMorton::FineMorton(const double* lo, const double* hi, Interleave interleave)
    : shift_{interleave == Interleave::bmi2 ? 1 : 0, interleave == Interleave::bmi2 ? 2 : 1,
             interleave == Interleave::bmi2 ? 0 : 2} {
    // The key phase's scale: the minimum rounded to float once.
    const Quantization q = quantization_for_box(lo, hi);
    for (int a = 0; a < 3; ++a) {
        min_[a] = static_cast<float>(q.min[a]);
        inv_extent_[a] = q.inv_extent[a];
    }
}

std::uint32_t next_run_start(const FineMorton& morton, const float* positions,
                             const std::uint32_t* order, std::uint32_t begin, std::uint32_t j,
                             std::uint32_t end) {
    if (j == begin || j >= end) return std::min(j, end);
    const std::uint64_t previous = morton.key(positions + 3 * std::size_t{order[j - 1]});
    while (j < end &&
           FineMorton::same_cell(morton.key(positions + 3 * std::size_t{order[j]}), previous)) {
        ++j;
    }
    return j;
}

void refine_runs(const FineMorton& morton, const float* rows, std::uint32_t n, FineEntry* scratch,
                 std::uint32_t* order) {
    for (std::uint32_t i = 0; i < n; ++i) {
        scratch[i] = {morton.key(rows + 3 * std::size_t{i}), i};
    }
    // Within a run the row breaks ties, so equal keys keep their order.
    const auto before = [](const FineEntry& a, const FineEntry& b) {
        return a.key != b.key ? a.key < b.key : a.row < b.row;
    };
    for (std::uint32_t first = 0; first < n;) {
        std::uint32_t last = first + 1;
        while (last < n && FineMorton::same_cell(scratch[last].key, scratch[first].key)) ++last;
        if (last - first > 1) std::sort(scratch + first, scratch + last, before);
        first = last;
    }
    for (std::uint32_t i = 0; i < n; ++i) order[i] = scratch[i].row;
}

}  // namespace glbcore
