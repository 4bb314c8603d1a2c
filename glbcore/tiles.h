// The steps of the tiler (the Python package's plexorin.tileset) that run
// over every point: 30-bit Morton keys over a cubic grid, a histogram of key
// prefixes, a stable partition by groups of cells, a row gather, a key sort,
// the assignment of each point to the octree level of its tile, the
// grouping by level, a finer order inside grid cells and the turn to y-up.
//
// Keys: the grid has 1024 cells per axis over a cube; a point's cell on an
// axis is floor((p - lo) * cells_per_unit) clamped to 0..1023, computed in
// double so that every machine and every chunking gives the same key. Bit k
// of the x, y and z cell goes to key bit 3k, 3k+1 and 3k+2, so the octree
// node of level L holding a point is key >> 3 * (10 - L) and the points of a
// node are one contiguous run of the sorted keys.
//
// Caller contracts: arrays hold at least `count` rows; positions are rows of
// three floats; `level` lies in 0..10.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace glbcore {

constexpr int TILE_KEY_LEVELS = 10;
constexpr std::uint32_t TILE_GRID_CELLS = 1u << TILE_KEY_LEVELS;

struct TileGrid {
    double lo[3];
    double cells_per_unit;  // 1024 / the side of the cube
};

// Keys of `count` points. Returns the first row holding a NaN or an
// infinity (its key is left unspecified), or `count` when all are finite.
std::size_t tile_keys(const float* positions, std::size_t count, const TileGrid& grid,
                      std::uint32_t* keys);

// Adds the number of points of each level-`level` node to histogram[node]
// (8^level entries). Returns the first non-finite row as tile_keys does.
std::size_t tile_key_histogram(const float* positions, std::size_t count, const TileGrid& grid,
                               int level, std::uint32_t* histogram);

// A stable counting sort of points by group: group of a point =
// cell_group[key >> 3 * (10 - level)], each below `groups`. Writes the
// permutation (order[j] = row going to place j) and the count per group.
// `scratch`, when not null, holds `count` entries the sort may use. Groups
// are uint8_t, uint16_t or uint32_t: the narrowest keeps the table, read at
// random, in fewer cache lines.
template <class Group>
void partition_by_cell_group(const std::uint32_t* keys, std::size_t count, int level,
                             const Group* cell_group, std::uint32_t groups, std::uint32_t* order,
                             std::uint64_t* group_counts, std::uint32_t* scratch = nullptr);

// Groups the level-`level` cells into buckets of whole units: a unit is the
// leaf holding a cell when leaf_level[cell] <= level, else the cell itself,
// and it joins the bucket in which its first sorted place (cell_starts of
// its first cell) falls when the sorted places are cut every bucket_places.
// Writes the bucket of every cell (8^level entries) and returns the first
// cell of each bucket. Units are runs of cells, so buckets are too.
std::vector<std::size_t> bucket_cells(const std::int64_t* cell_starts,
                                      const std::uint8_t* leaf_level, int level,
                                      std::uint64_t bucket_places, std::uint32_t* cell_bucket);

// dst row j = src row order[j], rows of `row_bytes` bytes.
void gather_rows(const std::uint8_t* src, std::size_t row_bytes, const std::uint32_t* order,
                 std::size_t count, std::uint8_t* dst);

// Exact float extremes per axis; returns the first non-finite row (the
// extremes are then unspecified) or count. With no rows lo = +inf, hi = -inf.
std::size_t tile_extents(const float* positions, std::size_t count, float* lo, float* hi);

// For each segment s, rows cuts[s] to cuts[s + 1] (cuts ascending): writes
// the exact extremes of its finite z-up rows (x, y, z) to lo and hi (3
// floats per segment, as tile_extents), then turns the rows into glTF's
// y-up (x, z, -y) in place.
void turn_y_up_with_extents(float* positions, const std::uint32_t* cuts, std::size_t segments,
                            float* lo, float* hi);

// A stable counting sort of places by level: place i (levels[i], order[i],
// keys[i]) goes to the next place of its level in the outputs, so that each
// level's places stay in their order.
void group_by_level(const std::uint8_t* levels, const std::uint32_t* order,
                    const std::uint32_t* keys, std::size_t count, std::uint8_t* levels_out,
                    std::uint32_t* order_out, std::uint32_t* keys_out);

// A tile of places grouped by level: the places from `start` on whose level
// and whose node of that level (key >> 3 * (10 - level)) are the same.
struct TileRun {
    std::uint8_t level;
    std::uint32_t node;
    std::uint32_t start;
};

// The tiles of places grouped by level, each level in key order (as
// group_by_level leaves them), in their order. count must stay below 2^32.
std::vector<TileRun> tile_runs(const std::uint8_t* levels, const std::uint32_t* keys,
                               std::size_t count);

// Stable sort of keys; order receives the permutation (order[j] = the
// original row of sorted place j). count must stay below 2^32. `scratch`,
// when not null, holds 2 * count entries the sort may use.
void sort_tile_keys(std::uint32_t* keys, std::uint32_t* order, std::size_t count,
                    std::uint32_t* scratch = nullptr);

// Bits per axis by which refine_tile_runs cuts a grid cell: with the
// grid's 10, 21 in all, so that a tile of level L still has 21 - L bits of
// order per axis inside its node.
constexpr int TILE_REFINE_BITS = 11;

// Rows of `row_bytes` bytes that move with the positions.
struct TileRows {
    std::uint8_t* data;
    std::size_t row_bytes;
};

// Puts the rows of each run of equal keys (`positions`, in key order, and
// every array of `others` with them) in the Morton order of the run's cell
// cut 2^TILE_REFINE_BITS times per axis, ties keeping their order.
// Positions outside the grid's cube go to the nearest fine cell of their
// clamped cell.
void refine_tile_runs(float* positions, const std::uint32_t* keys, std::size_t count,
                      const TileGrid& grid, const std::vector<TileRows>& others);

// The octree above the points of one run of sorted keys, as the level
// assignment needs it.
struct TileLevelPlan {
    int histogram_level = 7;  // H: the level of cell_leaf_level
    int grid_depth = 6;       // k: an inner node of level L keeps one point per
                              // cell of level min(L + k, 10)
    std::uint64_t points_per_tile = 0;
    // Per level-H node: the level (<= H) of the leaf on its chain, or H + 1
    // when the node holds more than points_per_tile points and the leaf
    // lies deeper: it is then the first level whose node, counted in these
    // keys, holds at most points_per_tile points (10 at the deepest).
    const std::uint8_t* cell_leaf_level = nullptr;
};

// levels[i] = the octree level of the tile that sorted point i belongs to.
// Points named by preselected_rows (with their levels) were chosen by inner
// nodes whose grid cells are at most level H (found from the histogram).
// Every other point goes to the shallowest inner node of a finer grid on its
// chain for which it is the first remaining point of its grid cell, else to
// its leaf. The keys must be sorted and cover whole level-H nodes.
// `leaf_scratch`, when not null, holds `count` bytes the assignment may use.
void assign_tile_levels(const std::uint32_t* sorted_keys, std::size_t count,
                        const TileLevelPlan& plan, const std::uint32_t* preselected_rows,
                        const std::uint8_t* preselected_levels, std::size_t preselected,
                        std::uint8_t* levels, std::uint8_t* leaf_scratch = nullptr);

// The places that the inner nodes of levels whose grid is at most level H
// choose, ascending, per level from 0 on: an inner node of level j (more
// than points_per_tile points) takes the first place not yet taken in each
// non-empty cell of level j + grid_depth below it, shallower levels first.
// counts[g] and starts[g] hold the points and the first sorted place of
// every node of level g, for g = 0 to H.
using CoarsePlaces = std::vector<std::vector<std::int64_t>>;
CoarsePlaces select_coarse_places(const std::vector<const std::uint64_t*>& counts,
                                  const std::vector<const std::int64_t*>& starts, int grid_depth,
                                  std::uint64_t points_per_tile);
std::size_t coarse_place_count(const CoarsePlaces& by_level);
// All places ascending, with the level of each.
void merge_coarse_places(const CoarsePlaces& by_level, std::int64_t* places, std::uint8_t* levels);

// ---- One bucket in one pass ----------------------------------------------
// The tiler's work on one bucket of points (whole level-H units), after
// which each tile is a run of rows ready to be written: keys, their sort,
// the tile level of every point, the points grouped by level in key order,
// every column gathered into that order, the finer order inside grid cells
// (compressed point tiles), the runs of the tiles, the turn to y-up and the
// box of each tile.

// A column that moves with the positions: `count` rows of `row_bytes`.
struct TileColumn {
    const std::uint8_t* data = nullptr;  // null: no such column
    std::size_t row_bytes = 0;
};

// What the tiles' files are, as far as their boxes depend on it.
struct TileContent {
    bool compressed = false;    // widen boxes to the dequantised positions
    bool uniform_grid = false;  // the quantisation grid of point clouds (atoms: per axis)
};

// A tile's z-up box: the exact extremes of its points and, for compressed
// content, of where readers draw them (at most half a quantisation step
// further out: the node's translation + scale * the stored integer).
struct TileBox {
    double lo[3];
    double hi[3];
};

// The box of a tile whose y-up points have the exact extremes (lo, hi).
TileBox tile_box(const float* y_up_lo, const float* y_up_hi, const TileContent& content);

struct TileBucketPass {
    TileGrid grid{};
    TileLevelPlan levels;
    TileContent content;
    bool refine = false;  // refine_tile_runs per level (compressed point tiles)
    const std::uint32_t* preselected_rows = nullptr;
    const std::uint8_t* preselected_levels = nullptr;
    std::size_t preselected = 0;
};

// The working memory of bucket passes on one thread, made once for the
// largest bucket and reused (fresh memory costs a page fault per page). The
// results of a pass live here until the next pass.
class TileBucketScratch {
public:
    // Besides the positions: types, colours, and the values per point (each
    // point's values packed in one row).
    static constexpr int COLUMNS = 3;

    TileBucketScratch();
    ~TileBucketScratch();
    TileBucketScratch(const TileBucketScratch&) = delete;
    TileBucketScratch& operator=(const TileBucketScratch&) = delete;

    // Room for buckets of `rows` points with columns of these row bytes.
    void reserve(std::size_t rows, const std::size_t (&row_bytes)[COLUMNS]);

    // Runs the pass over `count` z-up points and their columns; returns the
    // first non-finite row (nothing else is then valid) or `count`. The
    // inputs must not lie in this scratch's results.
    std::size_t run(const float* positions, std::size_t count, const TileColumn (&columns)[COLUMNS],
                    const TileBucketPass& pass);

    // Results of the last run: the points (y-up) and columns in tile order,
    // tile t being rows runs()[t].start to the next start (or the count),
    // with its box boxes()[t]. The next run may overwrite them; a holder of
    // the storage keeps it alive when a later run needs more and moves.
    std::shared_ptr<const float> positions() const;
    std::shared_ptr<const std::uint8_t> column(int c) const;
    const std::vector<TileRun>& runs() const;
    const std::vector<TileBox>& boxes() const;

private:
    struct Memory;
    std::unique_ptr<Memory> memory_;
};

}  // namespace glbcore
