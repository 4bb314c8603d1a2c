// Which tile each sorted point belongs to: its level on the octree chain
// above it. The rule (see tiles.h) reads as one scan in key order, with
// the last chosen grid cell of every level as the only state; the state can
// start empty for a run of whole level-H nodes because the finer grid cells
// it tracks never cross a level-H boundary.
#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "tiles.h"
#include "tiles/tile_grid.h"

namespace glbcore {

namespace {

constexpr std::uint8_t UNASSIGNED = 0xFF;
constexpr std::uint32_t NO_CELL = 0xFFFFFFFFu;

// The runs of sorted points whose level-`level` nodes hold more than
// points_per_tile of them. Such a run covers a multiple of
// points_per_tile + 1, so only those places are looked up, each run's ends
// found by binary search.
std::vector<std::pair<std::size_t, std::size_t>> large_node_runs(const std::uint32_t* keys,
                                                                 std::size_t count, int level,
                                                                 std::uint64_t points_per_tile) {
    const int shift = level_shift(level);
    const auto node = [shift](std::uint32_t key) { return key >> shift; };
    const std::size_t step =
        points_per_tile >= count ? count : static_cast<std::size_t>(points_per_tile) + 1;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::size_t searched = 0;  // every run before this place is known
    for (std::size_t at = 0; at < count; at += step) {
        if (at < searched) continue;
        const std::uint32_t n = node(keys[at]);
        const std::size_t begin = static_cast<std::size_t>(
            std::partition_point(keys + searched, keys + at,
                                 [&](std::uint32_t k) { return node(k) < n; }) -
            keys);
        const std::size_t end = static_cast<std::size_t>(
            std::partition_point(keys + at, keys + count,
                                 [&](std::uint32_t k) { return node(k) == n; }) -
            keys);
        if (end - begin > points_per_tile) runs.emplace_back(begin, end);
        searched = end;
    }
    return runs;
}

// Leaf level per point. Nodes deeper than H are counted in these keys: a
// point whose level-H node is not a leaf goes to the shallowest node below
// H on its chain that holds at most points_per_tile points (10 at the
// deepest). Large nodes nest, so each level's large runs push their points
// one level deeper.
void leaf_levels(const std::uint32_t* keys, std::size_t count, const TileLevelPlan& plan,
                 std::uint8_t* leaf) {
    const int h = plan.histogram_level;
    for (std::size_t i = 0; i < count; ++i)
        leaf[i] = plan.cell_leaf_level[keys[i] >> level_shift(h)];
    if (h == TILE_KEY_LEVELS) return;
    const auto deeper = static_cast<std::uint8_t>(h);
    for (int level = h + 1; level < TILE_KEY_LEVELS; ++level) {
        for (const auto& [begin, end] : large_node_runs(keys, count, level, plan.points_per_tile)) {
            for (std::size_t i = begin; i < end; ++i) {
                if (leaf[i] > deeper) leaf[i] = static_cast<std::uint8_t>(level + 1);
            }
        }
    }
}

}  // namespace

void assign_tile_levels(const std::uint32_t* sorted_keys, std::size_t count,
                        const TileLevelPlan& plan, const std::uint32_t* preselected_rows,
                        const std::uint8_t* preselected_levels, std::size_t preselected,
                        std::uint8_t* levels, std::uint8_t* leaf_scratch) {
    if (plan.histogram_level < 0 || plan.histogram_level > TILE_KEY_LEVELS || plan.grid_depth < 1) {
        throw std::invalid_argument("assign_tile_levels: bad plan");
    }
    std::vector<std::uint8_t> own;
    if (leaf_scratch == nullptr) own.resize(count);
    std::uint8_t* const leaf = leaf_scratch != nullptr ? leaf_scratch : own.data();
    leaf_levels(sorted_keys, count, plan, leaf);
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

namespace {

// The taken places of a cell always form its prefix: every place chosen so
// far was the first free one of a coarser cell, whose prefix meets a finer
// cell in a prefix of it. So a cell's count of taken places follows from its
// parent's: the parent's prefix end, less the cell's first place, clamped.
// Counts stay below the number of levels, so a byte holds each.
std::vector<std::int64_t> choose_on_grid(const std::vector<const std::uint64_t*>& counts,
                                         const std::vector<const std::int64_t*>& starts, int level,
                                         int grid, std::uint64_t points_per_tile, int parent_grid,
                                         const std::vector<std::uint8_t>& parent_taken,
                                         std::vector<std::uint8_t>& taken) {
    const std::size_t cells = std::size_t{1} << (3 * grid);
    const std::uint64_t* size = counts[grid];
    const std::int64_t* first = starts[grid];
    const std::uint64_t* node_size = counts[level];
    const int node_shift = 3 * (grid - level);
    taken.assign(cells, 0);
    std::vector<std::int64_t> chosen;
    chosen.reserve(cells);  // pages that stay unused are never touched
    for (std::size_t c = 0; c < cells; ++c) {
        if (size[c] == 0) continue;
        std::int64_t before = 0;
        if (!parent_taken.empty()) {
            const std::size_t parent = c >> (3 * (grid - parent_grid));
            const std::int64_t end = starts[parent_grid][parent] + parent_taken[parent];
            before =
                std::clamp<std::int64_t>(end - first[c], 0, static_cast<std::int64_t>(size[c]));
        }
        const bool chooses = node_size[c >> node_shift] > points_per_tile &&
                             static_cast<std::uint64_t>(before) < size[c];
        if (chooses) chosen.push_back(first[c] + before);
        taken[c] = static_cast<std::uint8_t>(before + (chooses ? 1 : 0));
    }
    return chosen;
}

bool has_inner_node(const std::uint64_t* node_size, int level, std::uint64_t points_per_tile) {
    const std::size_t nodes = std::size_t{1} << (3 * level);
    return std::any_of(node_size, node_size + nodes,
                       [points_per_tile](std::uint64_t n) { return n > points_per_tile; });
}

}  // namespace

CoarsePlaces select_coarse_places(const std::vector<const std::uint64_t*>& counts,
                                  const std::vector<const std::int64_t*>& starts, int grid_depth,
                                  std::uint64_t points_per_tile) {
    const int h = static_cast<int>(counts.size()) - 1;
    if (h < 0 || h > TILE_KEY_LEVELS || starts.size() != counts.size() || grid_depth < 1) {
        throw std::invalid_argument("select_coarse_places: bad levels");
    }
    CoarsePlaces by_level;
    std::vector<std::uint8_t> parent_taken, taken;
    int parent_grid = 0;
    for (int j = 0; j < TILE_KEY_LEVELS; ++j) {
        const int grid = std::min(j + grid_depth, TILE_KEY_LEVELS);
        if (grid > h || !has_inner_node(counts[j], j, points_per_tile)) break;
        by_level.push_back(choose_on_grid(counts, starts, j, grid, points_per_tile, parent_grid,
                                          parent_taken, taken));
        parent_taken.swap(taken);
        parent_grid = grid;
    }
    return by_level;
}

std::size_t coarse_place_count(const CoarsePlaces& by_level) {
    std::size_t total = 0;
    for (const auto& places : by_level) total += places.size();
    return total;
}

void merge_coarse_places(const CoarsePlaces& by_level, std::int64_t* places, std::uint8_t* levels) {
    const std::size_t total = coarse_place_count(by_level);
    std::vector<std::size_t> next(by_level.size(), 0);
    for (std::size_t n = 0; n < total; ++n) {  // places are distinct
        std::size_t best = by_level.size();
        for (std::size_t j = 0; j < by_level.size(); ++j) {
            if (next[j] < by_level[j].size() &&
                (best == by_level.size() || by_level[j][next[j]] < by_level[best][next[best]])) {
                best = j;
            }
        }
        places[n] = by_level[best][next[best]++];
        levels[n] = static_cast<std::uint8_t>(best);
    }
}

}  // namespace glbcore
