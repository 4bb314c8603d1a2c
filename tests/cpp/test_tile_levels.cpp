// The tile level of every point, against the rule of tiles.h read naively:
// whole levels one after another over all points, where the core scans the
// points once and takes the coarse levels from select_coarse_places.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "tiles.h"

using namespace glbcore;

namespace {

std::uint32_t node_of(std::uint32_t key, int level) {
    return key >> (3 * (TILE_KEY_LEVELS - level));
}

// A uniform haze, dense blobs and one cell holding many points.
std::vector<std::uint32_t> clustered_sorted_keys(std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::uint32_t> keys;
    for (int i = 0; i < 4000; ++i) keys.push_back(random() & ((1u << 30) - 1));
    for (int blob = 0; blob < 5; ++blob) {
        const std::uint32_t centre = random() & ((1u << 30) - 1) & ~((1u << 15) - 1);
        for (int i = 0; i < 3000; ++i) keys.push_back(centre | (random() & ((1u << 15) - 1)));
    }
    keys.insert(keys.end(), 500, 0x2AAAAAAAu);
    std::sort(keys.begin(), keys.end());
    return keys;
}

// The rule itself: a point's leaf is the shallowest node on its chain of at
// most points_per_tile points (10 at the deepest); each inner node of level
// L, shallower levels first, takes the first point not yet taken of every
// cell of level min(L + k, 10) below it.
std::vector<std::uint8_t> naive_levels(const std::vector<std::uint32_t>& keys, int k,
                                       std::uint64_t points_per_tile) {
    std::vector<std::map<std::uint32_t, std::uint64_t>> size(TILE_KEY_LEVELS + 1);
    for (const std::uint32_t key : keys) {
        for (int level = 0; level <= TILE_KEY_LEVELS; ++level) ++size[level][node_of(key, level)];
    }
    std::vector<std::uint8_t> leaf(keys.size(), TILE_KEY_LEVELS);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (int level = 0; level <= TILE_KEY_LEVELS; ++level) {
            if (size[level][node_of(keys[i], level)] <= points_per_tile) {
                leaf[i] = static_cast<std::uint8_t>(level);
                break;
            }
        }
    }
    std::vector<std::uint8_t> levels(keys.size(), 0xFF);
    for (int level = 0; level < TILE_KEY_LEVELS; ++level) {
        std::set<std::uint32_t> taken;
        const int grid = std::min(level + k, TILE_KEY_LEVELS);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (levels[i] != 0xFF || level >= leaf[i]) continue;
            if (taken.insert(node_of(keys[i], grid)).second)
                levels[i] = static_cast<std::uint8_t>(level);
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (levels[i] == 0xFF) levels[i] = leaf[i];
    }
    return levels;
}

// Levels by the core: coarse places from the node counts of levels 0..H,
// the rest by assign_tile_levels.
std::vector<std::uint8_t> core_levels(const std::vector<std::uint32_t>& keys, int h, int k,
                                      std::uint64_t points_per_tile) {
    std::vector<std::vector<std::uint64_t>> counts(h + 1);
    std::vector<std::vector<std::int64_t>> starts(h + 1);
    for (int g = 0; g <= h; ++g) {
        counts[g].assign(std::size_t{1} << (3 * g), 0);
        for (const std::uint32_t key : keys) ++counts[g][node_of(key, g)];
        starts[g].assign(counts[g].size(), 0);
        for (std::size_t c = 1; c < counts[g].size(); ++c) {
            starts[g][c] = starts[g][c - 1] + static_cast<std::int64_t>(counts[g][c - 1]);
        }
    }
    std::vector<std::uint8_t> cell_leaf(counts[h].size(), static_cast<std::uint8_t>(h + 1));
    for (std::size_t cell = 0; cell < cell_leaf.size(); ++cell) {
        for (int level = 0; level <= h; ++level) {
            if (counts[level][cell >> (3 * (h - level))] <= points_per_tile) {
                cell_leaf[cell] = static_cast<std::uint8_t>(level);
                break;
            }
        }
    }
    std::vector<const std::uint64_t*> count_of;
    std::vector<const std::int64_t*> start_of;
    for (int g = 0; g <= h; ++g) {
        count_of.push_back(counts[g].data());
        start_of.push_back(starts[g].data());
    }
    const CoarsePlaces coarse = select_coarse_places(count_of, start_of, k, points_per_tile);
    const std::size_t chosen = coarse_place_count(coarse);
    std::vector<std::int64_t> places(chosen);
    std::vector<std::uint8_t> place_levels(chosen);
    merge_coarse_places(coarse, places.data(), place_levels.data());
    const std::vector<std::uint32_t> rows(places.begin(), places.end());
    TileLevelPlan plan;
    plan.histogram_level = h;
    plan.grid_depth = k;
    plan.points_per_tile = points_per_tile;
    plan.cell_leaf_level = cell_leaf.data();
    std::vector<std::uint8_t> levels(keys.size());
    assign_tile_levels(keys.data(), keys.size(), plan, rows.data(), place_levels.data(), chosen,
                       levels.data());
    return levels;
}

}  // namespace

TEST(TileLevels, FollowTheRuleForEveryHistogramLevelAndGrid) {
    for (const std::uint32_t seed : {1u, 2u}) {
        const std::vector<std::uint32_t> keys = clustered_sorted_keys(seed);
        for (const auto& [h, k, points_per_tile] : {std::tuple{0, 1, 300ull},
                                                    {2, 2, 300ull},
                                                    {3, 1, 100ull},
                                                    {4, 3, 2000ull},
                                                    {7, 2, 40ull}}) {
            const std::vector<std::uint8_t> expected = naive_levels(keys, k, points_per_tile);
            ASSERT_GT(*std::max_element(expected.begin(), expected.end()), 3);
            EXPECT_EQ(core_levels(keys, h, k, points_per_tile), expected)
                << "seed " << seed << ", H " << h << ", k " << k;
        }
    }
}
