// A finer Morton order for compact files. The 30-bit keys of the atom
// pipeline (1024 cells per axis) leave the points that share a cell in
// input order, and a dense cloud puts ten or more points in a cell; the
// codec encodes differences between neighbours, so each run of points that
// share a cell is put in the Morton order of the cell's subdivision. The
// result is the Morton order over 2^(10 + REFINE_BITS) cells per axis of the
// same box, ties (points in one fine cell) keeping their order.
#pragma once

#include <algorithm>
#include <cstdint>

#include "atom_pipeline.h"

namespace glbcore {

// Bits per axis added below the pipeline's 10: with 16 bits per axis in
// all, the fine cells are no larger than any position quantisation's step.
constexpr std::uint32_t REFINE_BITS = 6;

namespace fine_morton_detail {
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
}  // namespace fine_morton_detail

// Fine keys over the box [lo, hi] with the pipeline's interleave: the
// Morton key of the pipeline's scaled coordinate s in 0..1023 (as its key
// phase computes it) cut into 2^REFINE_BITS finer steps, trunc(s * 64),
// 16 bits per axis. Its top 30 bits are the pipeline's key.
class FineMorton {
public:
    FineMorton(const double* lo, const double* hi, Interleave interleave);
    // Inline: computed for every point of a compressed cloud.
    std::uint64_t key(const float* position) const {
        using namespace fine_morton_detail;
        std::uint64_t key = 0;
        for (int a = 0; a < 3; ++a) {
            // s * 64 is exact, so trunc(s * 64) / 64 truncates to the
            // pipeline's cell_index(s): NaN and s <= 0 give 0, s >= 1023 the
            // top cell.
            const double s = scaled_coordinate(position[a], min_[a], inv_extent_[a]) * FINE_STEPS;
            const double clamped = std::min(s > 0.0 ? s : 0.0, FINE_TOP);
            const auto fine = static_cast<std::uint64_t>(static_cast<std::int64_t>(clamped));
            key |= spread_16_bits(fine) << shift_[a];
        }
        return key;
    }
    // Whether two fine keys lie in the same pipeline cell.
    static bool same_cell(std::uint64_t a, std::uint64_t b) {
        return (a >> (3 * REFINE_BITS)) == (b >> (3 * REFINE_BITS));
    }

private:
    float min_[3];
    float inv_extent_[3];
    // Where each axis's bits start: morton3d_bmi2 puts x, y, z on bits
    // 3k+1, 3k+2, 3k; morton3d_portable on 3k, 3k+1, 3k+2.
    int shift_[3];
};

// The first place in [j, end) whose point's cell differs from that of place
// j - 1 (end if none; j itself when j == begin): chunks that start there
// hold whole runs. `order` maps places to points, as morton_order's result.
std::uint32_t next_run_start(const FineMorton& morton, const float* positions,
                             const std::uint32_t* order, std::uint32_t begin, std::uint32_t j,
                             std::uint32_t end);

// One entry of refine_runs' scratch.
struct FineEntry {
    std::uint64_t key;
    std::uint32_t row;
};

// `rows` holds n points (x y z) in Morton order, in whole runs. Writes the
// finer order to `order`: place i holds row order[i]. `scratch` holds n
// entries.
void refine_runs(const FineMorton& morton, const float* rows, std::uint32_t n,
                 FineEntry* scratch, std::uint32_t* order);

}  // namespace glbcore
