// The bucket pass of the tiler against what a tile must be, computed here
// from the points alone: every point in exactly one tile with its types
// beside it, each tile inside its octree node, the tiles in level and key
// order, boxes exact (or covering the dequantised points within half a
// step), and the same results from scratches reused and on threads.
#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tiles.h"

using namespace glbcore;

namespace glbcore {
bool operator==(const TileRun& a, const TileRun& b) {
    return a.level == b.level && a.node == b.node && a.start == b.start;
}
}  // namespace glbcore

namespace {

struct Bucket {
    std::vector<float> positions;  // z-up
    std::vector<std::uint16_t> types;
};

// A haze, a dense blob and points sharing one position.
Bucket clustered_bucket(std::uint32_t seed, std::size_t haze) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> cube(0.0f, 8.0f);
    std::normal_distribution<float> blob(5.0f, 0.05f);
    Bucket b;
    for (std::size_t i = 0; i < haze + 6000; ++i) {
        for (int a = 0; a < 3; ++a) {
            b.positions.push_back(i < haze ? cube(random) : i < haze + 5000 ? blob(random) : 1.5f);
        }
    }
    for (std::size_t i = 0; i < b.positions.size() / 3; ++i) {
        b.types.push_back(static_cast<std::uint16_t>(i));  // names the row
    }
    return b;
}

// The level-0 leaf table of a run that is one level-0 node (H = 0): a node
// of more than points_per_tile points has its leaf below.
struct Pass {
    std::vector<std::uint8_t> leaf;
    TileBucketPass pass;
};

Pass pass_over(const Bucket& b, std::uint64_t points_per_tile, bool compressed) {
    Pass p;
    p.leaf = {b.types.size() > points_per_tile ? std::uint8_t{1} : std::uint8_t{0}};
    p.pass.grid = TileGrid{{0.0, 0.0, 0.0}, 1024.0 / 8.0};
    p.pass.levels.histogram_level = 0;
    p.pass.levels.grid_depth = 3;
    p.pass.levels.points_per_tile = points_per_tile;
    p.pass.levels.cell_leaf_level = p.leaf.data();
    p.pass.content = {compressed, false};
    p.pass.refine = compressed;  // as for compressed point tiles
    return p;
}

std::uint32_t key_of(const float* z_up, const TileGrid& grid) {
    std::uint32_t key = 0;
    for (int a = 0; a < 3; ++a) {
        const double s = (static_cast<double>(z_up[a]) - grid.lo[a]) * grid.cells_per_unit;
        const auto cell = static_cast<std::uint32_t>(std::clamp(s, 0.0, 1023.0));
        for (int bit = 0; bit < 10; ++bit) key |= ((cell >> bit) & 1u) << (3 * bit + a);
    }
    return key;
}

using Results = std::tuple<std::vector<float>, std::vector<std::uint16_t>, std::vector<TileRun>>;

// Types name the row; a second column of two values per row (row, 7 row + 1)
// must stay beside them through every gather and the finer order.
Results run_pass(TileBucketScratch& scratch, const Bucket& b, const TileBucketPass& pass) {
    const std::size_t n = b.types.size();
    std::vector<std::uint32_t> values;
    for (std::uint32_t row = 0; row < n; ++row) values.insert(values.end(), {row, 7 * row + 1});
    const TileColumn columns[TileBucketScratch::COLUMNS] = {
        {reinterpret_cast<const std::uint8_t*>(b.types.data()), 2},
        {},
        {reinterpret_cast<const std::uint8_t*>(values.data()), 8}};
    EXPECT_EQ(scratch.run(b.positions.data(), n, columns, pass), n);
    const float* p = scratch.positions().get();
    const auto* t = reinterpret_cast<const std::uint16_t*>(scratch.column(0).get());
    const auto* v = reinterpret_cast<const std::uint32_t*>(scratch.column(2).get());
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(v[2 * i], t[i]);
        EXPECT_EQ(v[2 * i + 1], 7u * t[i] + 1);
    }
    return {std::vector<float>(p, p + 3 * n), std::vector<std::uint16_t>(t, t + n), scratch.runs()};
}

}  // namespace

TEST(TileBucket, EveryPointInOneTileOfItsNodeWithExactBoxes) {
    for (const bool compressed : {false, true}) {
        const Bucket b = clustered_bucket(7, 3000);
        const Pass p = pass_over(b, 700, compressed);
        TileBucketScratch scratch;
        const auto [y_up, types, runs] = run_pass(scratch, b, p.pass);
        const std::size_t n = types.size();
        ASSERT_FALSE(runs.empty());
        std::vector<int> seen(n, 0);
        for (std::size_t t = 0; t < runs.size(); ++t) {
            const std::size_t end = t + 1 < runs.size() ? runs[t + 1].start : n;
            if (t > 0) {
                EXPECT_LT(std::make_pair(runs[t - 1].level, runs[t - 1].node),
                          std::make_pair(runs[t].level, runs[t].node));
            }
            double lo[3] = {INFINITY, INFINITY, INFINITY},
                   hi[3] = {-INFINITY, -INFINITY, -INFINITY};
            for (std::size_t i = runs[t].start; i < end; ++i) {
                const std::uint16_t row = types[i];
                ++seen[row];
                const float* z_up = &b.positions[3 * std::size_t{row}];
                // Stored y-up: (x, z, -y).
                EXPECT_EQ(y_up[3 * i], z_up[0]);
                EXPECT_EQ(y_up[3 * i + 1], z_up[2]);
                EXPECT_EQ(y_up[3 * i + 2], -z_up[1]);
                EXPECT_EQ(key_of(z_up, p.pass.grid) >> (3 * (10 - runs[t].level)), runs[t].node);
                for (int a = 0; a < 3; ++a) {
                    lo[a] = std::min(lo[a], double{z_up[a]});
                    hi[a] = std::max(hi[a], double{z_up[a]});
                }
            }
            const TileBox& box = scratch.boxes()[t];
            for (int a = 0; a < 3; ++a) {
                // 14-bit steps per axis over the tile's extent (atoms' grid).
                const double half_step = compressed ? (hi[a] - lo[a]) / 16383.0 / 2.0 * 1.0001 : 0;
                EXPECT_LE(box.lo[a], lo[a]);
                EXPECT_GE(box.lo[a], lo[a] - half_step);
                EXPECT_GE(box.hi[a], hi[a]);
                EXPECT_LE(box.hi[a], hi[a] + half_step);
            }
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(n));
        EXPECT_GT(runs.back().level, 1);  // the blob splits deep
    }
}

TEST(TileBucket, ReusedScratchesAndThreadsGiveTheSameResults) {
    const Bucket large = clustered_bucket(3, 9000), small = clustered_bucket(4, 100);
    const Pass p_large = pass_over(large, 500, false), p_small = pass_over(small, 500, false);
    TileBucketScratch once;
    const Results expected = run_pass(once, large, p_large.pass);
    // A smaller bucket, then the large one again; its earlier results stay
    // readable while the scratch grows.
    TileBucketScratch reused;
    run_pass(reused, small, p_small.pass);
    const auto held = reused.positions();
    const std::vector<float> small_y_up(held.get(), held.get() + small.positions.size());
    EXPECT_EQ(run_pass(reused, large, p_large.pass), expected);
    EXPECT_EQ(std::vector<float>(held.get(), held.get() + small.positions.size()), small_y_up);
    // One scratch per thread, as the tiler's tasks run.
    std::vector<Results> got(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&, i] {
            TileBucketScratch own;
            for (int round = 0; round < 2; ++round) got[i] = run_pass(own, large, p_large.pass);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const Results& r : got) EXPECT_EQ(r, expected);
    // A non-finite point is reported, not tiled.
    Bucket bad = small;
    bad.positions[3 * 42 + 1] = NAN;
    const TileColumn columns[TileBucketScratch::COLUMNS] = {};
    EXPECT_EQ(reused.run(bad.positions.data(), bad.types.size(), columns, p_small.pass), 42u);
}
