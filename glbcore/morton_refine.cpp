// Runs of points sharing a pipeline cell, sorted by their place inside it.
#include "morton_refine.h"

#include <algorithm>

namespace glbcore {

namespace {

constexpr double FINE_STEPS = double{1u << REFINE_BITS};
constexpr double FINE_TOP = double{GRID_MAX_CELL} * FINE_STEPS;

// Spreads the 16 low bits of v so that bit k lands on bit 3k.
inline std::uint64_t spread_16_bits(std::uint64_t v) {
    v &= 0xffff;
    v = (v | (v << 16)) & 0x001f'0000'ff00'00ffull;
    v = (v | (v << 8)) & 0x100f'00f0'0f00'f00full;
    v = (v | (v << 4)) & 0x10c3'0c30'c30c'30c3ull;
    v = (v | (v << 2)) & 0x1249'2492'4924'9249ull;
    return v;
}

}  // namespace

FineMorton::FineMorton(const double* lo, const double* hi, Interleave interleave)
    : interleave_(interleave) {
    // The key phase's scale: the minimum rounded to float once.
    const Quantization q = quantization_for_box(lo, hi);
    for (int a = 0; a < 3; ++a) {
        min_[a] = static_cast<float>(q.min[a]);
        inv_extent_[a] = q.inv_extent[a];
    }
}

std::uint64_t FineMorton::key(const float* position) const {
    std::uint64_t fine[3];
    for (int a = 0; a < 3; ++a) {
        // s * 64 is exact, so trunc(s * 64) / 64 truncates to the pipeline's
        // cell_index(s): NaN and s <= 0 give 0, s >= 1023 the top cell.
        const double s = scaled_coordinate(position[a], min_[a], inv_extent_[a]) * FINE_STEPS;
        const double clamped = std::min(s > 0.0 ? s : 0.0, FINE_TOP);
        fine[a] = static_cast<std::uint64_t>(static_cast<std::int64_t>(clamped));
    }
    // morton3d_bmi2 puts x, y, z on bits 3k+1, 3k+2, 3k; morton3d_portable
    // on 3k, 3k+1, 3k+2.
    const int shift[3] = {interleave_ == Interleave::bmi2 ? 1 : 0,
                          interleave_ == Interleave::bmi2 ? 2 : 1,
                          interleave_ == Interleave::bmi2 ? 0 : 2};
    return spread_16_bits(fine[0]) << shift[0] | spread_16_bits(fine[1]) << shift[1] |
           spread_16_bits(fine[2]) << shift[2];
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

void refine_runs(const FineMorton& morton, const float* rows, std::uint32_t n,
                 FineEntry* scratch, std::uint32_t* order) {
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
