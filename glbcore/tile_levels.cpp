// Which tile each sorted point belongs to: its level on the octree chain
// above it. The rule (see tile_keys.h) reads as one scan in key order, with
// the last chosen grid cell of every level as the only state; the state can
// start empty for a run of whole level-H nodes because the finer grid cells
// it tracks never cross a level-H boundary.
#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "tile_keys.h"

namespace glbcore {

namespace {

constexpr std::uint8_t UNASSIGNED = 0xFF;
constexpr std::uint32_t NO_CELL = 0xFFFFFFFFu;

inline int level_shift(int level) { return 3 * (TILE_KEY_LEVELS - level); }

// Leaf level per point. Nodes deeper than H are counted in these keys: going
// from level 10 up to H + 1, every node with at most points_per_tile points
// lowers the leaf level of its points, so the shallowest such node wins.
std::vector<std::uint8_t> leaf_levels(const std::uint32_t* keys, std::size_t count,
                                      const TileLevelPlan& plan) {
    const int h = plan.histogram_level;
    std::vector<std::uint8_t> leaf(count);
    for (std::size_t i = 0; i < count; ++i) leaf[i] = plan.cell_leaf_level[keys[i] >> level_shift(h)];
    for (int level = TILE_KEY_LEVELS; level > h; --level) {
        const int shift = level_shift(level);
        std::size_t begin = 0;
        while (begin < count) {
            std::size_t end = begin + 1;
            while (end < count && (keys[end] >> shift) == (keys[begin] >> shift)) ++end;
            const bool small = end - begin <= plan.points_per_tile || level == TILE_KEY_LEVELS;
            if (small && leaf[begin] > h) std::fill(leaf.begin() + begin, leaf.begin() + end, level);
            begin = end;
        }
    }
    return leaf;
}

}  // namespace

void assign_tile_levels(const std::uint32_t* sorted_keys, std::size_t count,
                        const TileLevelPlan& plan, const std::uint32_t* preselected_rows,
                        const std::uint8_t* preselected_levels, std::size_t preselected,
                        std::uint8_t* levels) {
    if (plan.histogram_level < 0 || plan.histogram_level > TILE_KEY_LEVELS || plan.grid_depth < 1) {
        throw std::invalid_argument("assign_tile_levels: bad plan");
    }
    const std::vector<std::uint8_t> leaf = leaf_levels(sorted_keys, count, plan);
    std::fill(levels, levels + count, UNASSIGNED);
    for (std::size_t s = 0; s < preselected; ++s) {
        if (preselected_rows[s] >= count) throw std::out_of_range("assign_tile_levels: row");
        levels[preselected_rows[s]] = preselected_levels[s];
    }
    // Levels whose grid is finer than H; shallower ones were preselected.
    int first_local = 0;
    while (first_local < TILE_KEY_LEVELS &&
           std::min(first_local + plan.grid_depth, TILE_KEY_LEVELS) <= plan.histogram_level) {
        ++first_local;
    }
    std::array<std::uint32_t, TILE_KEY_LEVELS + 1> last_cell;
    last_cell.fill(NO_CELL);
    for (std::size_t i = 0; i < count; ++i) {
        if (levels[i] != UNASSIGNED) continue;
        std::uint8_t chosen = leaf[i];
        for (int level = first_local; level < leaf[i]; ++level) {
            const int grid = std::min(level + plan.grid_depth, TILE_KEY_LEVELS);
            const std::uint32_t cell = sorted_keys[i] >> level_shift(grid);
            if (cell != last_cell[level]) {
                last_cell[level] = cell;
                chosen = static_cast<std::uint8_t>(level);
                break;
            }
        }
        levels[i] = chosen;
    }
}

}  // namespace glbcore
