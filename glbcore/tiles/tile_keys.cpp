// Keys, histograms, partitions and gathers of the tiler: one pass each over
// a chunk of points, block by block, the keys four points at a time.
#include "tiles.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"
#include "morton/morton.h"
#include "order/order.h"
#include "tiles/tile_grid.h"

namespace glbcore {

namespace {

constexpr std::size_t BLOCK = 4096;

inline std::uint32_t grid_cell(float p, double lo, double cells_per_unit) {
    const double s = (static_cast<double>(p) - lo) * cells_per_unit;
    const double clamped = std::min(std::max(s, 0.0), static_cast<double>(TILE_GRID_CELLS - 1));
    // Through int32: x86 converts doubles to signed integers in vectors only.
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped));
}

#if defined(__SSE2__)
// Keys of the first points of a block, four at a time, as grid_cell and
// spread_10_bits give them lane by lane; returns how many (a multiple of 4).
std::size_t keys_of_lanes(const float* positions, std::size_t n, const TileGrid& grid,
                          std::uint32_t* keys) {
    const double top = static_cast<double>(TILE_GRID_CELLS - 1);
    const __m128d c = _mm_set1_pd(grid.cells_per_unit);
    const __m128d lo[3] = {_mm_set1_pd(grid.lo[0]), _mm_set1_pd(grid.lo[1]),
                           _mm_set1_pd(grid.lo[2])};
    const auto cells = [&](__m128 p, int axis) {
        return spread_10_bits(clamped_cells(
            p, top, [&](__m128d d) { return _mm_mul_pd(_mm_sub_pd(d, lo[axis]), c); }));
    };
    std::size_t i = 0;
    for (; n - i >= 4; i += 4) {
        const PointLanes lanes = load_point_lanes(positions + 3 * i);
        const __m128i key =
            _mm_or_si128(_mm_or_si128(cells(lanes.x, 0), _mm_slli_epi32(cells(lanes.y, 1), 1)),
                         _mm_slli_epi32(cells(lanes.z, 2), 2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i), key);
    }
    return i;
}
#endif

void keys_of_block(const float* positions, std::size_t n, const TileGrid& grid,
                   std::uint32_t* keys) {
    std::size_t i = 0;
#if defined(__SSE2__)
    i = keys_of_lanes(positions, n, grid, keys);
#endif
    const double lx = grid.lo[0], ly = grid.lo[1], lz = grid.lo[2], c = grid.cells_per_unit;
    for (; i < n; ++i) {
        const float* p = positions + 3 * i;
        keys[i] = spread_10_bits(grid_cell(p[0], lx, c)) |
                  spread_10_bits(grid_cell(p[1], ly, c)) << 1 |
                  spread_10_bits(grid_cell(p[2], lz, c)) << 2;
    }
}

}  // namespace

std::size_t tile_keys(const float* positions, std::size_t count, const TileGrid& grid,
                      std::uint32_t* keys) {
    for (std::size_t begin = 0; begin < count; begin += BLOCK) {
        const std::size_t n = std::min(BLOCK, count - begin);
        const std::size_t bad = first_non_finite_row(positions + 3 * begin, n);
        if (bad < n) return begin + bad;
        keys_of_block(positions + 3 * begin, n, grid, keys + begin);
    }
    return count;
}

std::size_t tile_key_histogram(const float* positions, std::size_t count, const TileGrid& grid,
                               int level, std::uint32_t* histogram) {
    std::uint32_t keys[BLOCK];
    const int shift = level_shift(level);
    for (std::size_t begin = 0; begin < count; begin += BLOCK) {
        const std::size_t n = std::min(BLOCK, count - begin);
        const std::size_t bad = first_non_finite_row(positions + 3 * begin, n);
        if (bad < n) return begin + bad;
        keys_of_block(positions + 3 * begin, n, grid, keys);
        for (std::size_t i = 0; i < n; ++i) ++histogram[keys[i] >> shift];
    }
    return count;
}

template <class Group>
void partition_by_cell_group(const std::uint32_t* keys, std::size_t count, int level,
                             const Group* cell_group, std::uint32_t groups, std::uint32_t* order,
                             std::uint64_t* group_counts, std::uint32_t* scratch) {
    const int shift = level_shift(level);
    WorkingArray<std::uint32_t> own;
    if (scratch == nullptr) own = allocate_working_array<std::uint32_t>(count);
    std::uint32_t* const group_of = scratch != nullptr ? scratch : own.get();
    std::fill(group_counts, group_counts + groups, 0);
    for (std::size_t i = 0; i < count; ++i) {
        group_of[i] = cell_group[keys[i] >> shift];
        ++group_counts[group_of[i]];
    }
    std::vector<std::uint64_t> next(groups);
    std::exclusive_scan(group_counts, group_counts + groups, next.begin(), std::uint64_t{0});
    for (std::size_t i = 0; i < count; ++i)
        order[next[group_of[i]]++] = static_cast<std::uint32_t>(i);
}

template void partition_by_cell_group(const std::uint32_t*, std::size_t, int, const std::uint8_t*,
                                      std::uint32_t, std::uint32_t*, std::uint64_t*,
                                      std::uint32_t*);
template void partition_by_cell_group(const std::uint32_t*, std::size_t, int, const std::uint16_t*,
                                      std::uint32_t, std::uint32_t*, std::uint64_t*,
                                      std::uint32_t*);
template void partition_by_cell_group(const std::uint32_t*, std::size_t, int, const std::uint32_t*,
                                      std::uint32_t, std::uint32_t*, std::uint64_t*,
                                      std::uint32_t*);

std::vector<std::size_t> bucket_cells(const std::int64_t* cell_starts,
                                      const std::uint8_t* leaf_level, int level,
                                      std::uint64_t bucket_places, std::uint32_t* cell_bucket) {
    const std::size_t cells = std::size_t{1} << (3 * level);
    std::vector<std::size_t> firsts;
    std::uint64_t cut = 0;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        const int unit_shift = 3 * (level - std::min<int>(leaf_level[cell], level));
        const std::size_t first_cell = (cell >> unit_shift) << unit_shift;
        const auto this_cut = static_cast<std::uint64_t>(cell_starts[first_cell]) / bucket_places;
        if (firsts.empty() || this_cut != cut) {
            firsts.push_back(cell);
            cut = this_cut;
        }
        cell_bucket[cell] = static_cast<std::uint32_t>(firsts.size() - 1);
    }
    return firsts;
}

namespace {
template <std::size_t Bytes>
void gather_fixed(const std::uint8_t* src, const std::uint32_t* order, std::size_t count,
                  std::uint8_t* dst) {
    for (std::size_t j = 0; j < count; ++j) {
        std::memcpy(dst + j * Bytes, src + std::size_t{order[j]} * Bytes, Bytes);
    }
}
}  // namespace

void gather_rows(const std::uint8_t* src, std::size_t row_bytes, const std::uint32_t* order,
                 std::size_t count, std::uint8_t* dst) {
    // Fixed sizes let memcpy become single moves for the common rows.
    switch (row_bytes) {
        case 1: return gather_fixed<1>(src, order, count, dst);
        case 2: return gather_fixed<2>(src, order, count, dst);
        case 3: return gather_fixed<3>(src, order, count, dst);
        case 4: return gather_fixed<4>(src, order, count, dst);
        case 6: return gather_fixed<6>(src, order, count, dst);
        case 8: return gather_fixed<8>(src, order, count, dst);
        case 12: return gather_fixed<12>(src, order, count, dst);
        case 16: return gather_fixed<16>(src, order, count, dst);
        default:
            for (std::size_t j = 0; j < count; ++j) {
                std::memcpy(dst + j * row_bytes, src + std::size_t{order[j]} * row_bytes,
                            row_bytes);
            }
    }
}

std::size_t tile_extents(const float* positions, std::size_t count, float* lo, float* hi) {
    return scan_extents(positions, count, lo, hi);
}

void turn_y_up_with_extents(float* positions, const std::uint32_t* cuts, std::size_t segments,
                            float* lo, float* hi) {
    for (std::size_t s = 0; s < segments; ++s) {
        float* const segment = positions + 3 * std::size_t{cuts[s]};
        const std::size_t rows = cuts[s + 1] - cuts[s];
        tile_extents(segment, rows, lo + 3 * s, hi + 3 * s);  // a tile's rows stay in cache
        for (std::size_t i = 0; i < rows; ++i) {
            float* p = segment + 3 * i;
            const float y = p[1];
            p[1] = p[2];
            p[2] = -y;
        }
    }
}

void group_by_level(const std::uint8_t* levels, const std::uint32_t* order,
                    const std::uint32_t* keys, std::size_t count, std::uint8_t* levels_out,
                    std::uint32_t* order_out, std::uint32_t* keys_out) {
    std::size_t next[257] = {};
    for (std::size_t i = 0; i < count; ++i) ++next[levels[i] + 1];
    for (int v = 1; v <= 256; ++v) next[v] += next[v - 1];
    // A scatter into a few sequential streams, one per level present.
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t place = next[levels[i]]++;
        levels_out[place] = levels[i];
        order_out[place] = order[i];
        keys_out[place] = keys[i];
    }
}

std::vector<TileRun> tile_runs(const std::uint8_t* levels, const std::uint32_t* keys,
                               std::size_t count) {
    std::vector<TileRun> runs;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t level = levels[i];
        const std::uint32_t node = keys[i] >> level_shift(level);
        if (runs.empty() || runs.back().level != level || runs.back().node != node) {
            runs.push_back({level, node, static_cast<std::uint32_t>(i)});
        }
    }
    return runs;
}

namespace {

constexpr std::uint32_t FINE_STEPS = 1u << TILE_REFINE_BITS;
constexpr double LAST_FINE_STEP = double{TILE_GRID_CELLS} * FINE_STEPS - 1.0;

// Where a coordinate lies inside its clamped grid cell (that of grid_cell),
// in fine steps: the low bits of its step on the whole fine grid. As
// scaling by a power of two commutes with rounding, (p - lo) *
// steps_per_unit is grid_cell's scaled coordinate times FINE_STEPS exactly.
inline std::uint64_t fine_step(float p, double lo, double steps_per_unit) {
    const double s =
        std::min(std::max((static_cast<double>(p) - lo) * steps_per_unit, 0.0), LAST_FINE_STEP);
    return static_cast<std::uint64_t>(static_cast<std::int32_t>(s)) & (FINE_STEPS - 1);
}

std::uint64_t fine_key(const float* p, const TileGrid& grid) {
    const double steps_per_unit = grid.cells_per_unit * FINE_STEPS;
    std::uint64_t key = 0;
    for (int a = 0; a < 3; ++a) {
        key |= spread_16_bits(fine_step(p[a], grid.lo[a], steps_per_unit)) << a;
    }
    return key;
}

// A run's entries: the fine key above, the place in the run below, so that
// sorting plain integers keeps ties in their order.
constexpr int PLACE_BITS = 31;  // the fine key takes the other 33
constexpr std::size_t LONGEST_RUN = std::size_t{1} << PLACE_BITS;

// The run of rows from `first` put in the order of the places in the low
// bits of `sorted`, through `scratch`.
void permute_run(std::uint8_t* rows, std::size_t row_bytes, std::size_t first,
                 const std::vector<std::uint64_t>& sorted, std::vector<std::uint8_t>& scratch) {
    scratch.resize(sorted.size() * row_bytes);
    std::uint8_t* run = rows + first * row_bytes;
    constexpr std::uint64_t place_mask = LONGEST_RUN - 1;
    for (std::size_t j = 0; j < sorted.size(); ++j) {
        std::memcpy(scratch.data() + j * row_bytes, run + (sorted[j] & place_mask) * row_bytes,
                    row_bytes);
    }
    std::memcpy(run, scratch.data(), scratch.size());
}

struct RunScratch {
    std::vector<std::uint64_t> entries;
    std::vector<std::uint8_t> rows;
};

void refine_run(float* positions, std::size_t first, std::size_t last, const TileGrid& grid,
                const std::vector<TileRows>& others, RunScratch& scratch) {
    // Longer runs (two billion points in one cell, more than any file
    // holds) keep their order.
    if (last - first >= LONGEST_RUN) return;
    std::vector<std::uint64_t>& run = scratch.entries;
    run.clear();
    bool in_order = true;
    for (std::size_t j = first; j < last; ++j) {
        const std::uint64_t entry = fine_key(positions + 3 * j, grid) << PLACE_BITS | (j - first);
        in_order = in_order && (run.empty() || run.back() < entry);
        run.push_back(entry);
    }
    if (in_order) return;  // often so in short runs: nothing moves
    std::sort(run.begin(), run.end());
    permute_run(reinterpret_cast<std::uint8_t*>(positions), 3 * sizeof(float), first, run,
                scratch.rows);
    for (const TileRows& rows : others)
        permute_run(rows.data, rows.row_bytes, first, run, scratch.rows);
}

}  // namespace

void refine_tile_runs(float* positions, const std::uint32_t* keys, std::size_t count,
                      const TileGrid& grid, const std::vector<TileRows>& others) {
    RunScratch scratch;
    for (std::size_t first = 0; first < count;) {
        std::size_t last = first + 1;
        while (last < count && keys[last] == keys[first]) ++last;
        if (last - first > 1) refine_run(positions, first, last, grid, others, scratch);
        first = last;
    }
}

void sort_tile_keys(std::uint32_t* keys, std::uint32_t* order, std::size_t count,
                    std::uint32_t* scratch) {
    const auto n = static_cast<std::uint32_t>(count);
    std::iota(order, order + count, 0u);
    // One worker: the tiler runs many sorts at once, one per task.
    const WorkSplit one = split_work_over(n, 1);
    if (scratch == nullptr) return radix_sort_pairs(keys, order, one, default_thread_starter());
    radix_sort_pairs(keys, order, scratch, scratch + count, one, default_thread_starter());
}

}  // namespace glbcore
