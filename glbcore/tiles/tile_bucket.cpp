// One bucket of the tiler in one pass (tiles.h): the steps of tile_keys.cpp
// and tile_levels.cpp in their order, over memory the thread keeps.
#include <algorithm>
#include <cstring>

#include "base/base.h"
#include "compressed/compressed.h"
#include "scenes.h"
#include "tiles.h"

namespace glbcore {

namespace {

// At least n elements of T, the storage kept when it is large enough; grown
// with an eighth to spare, as the next bucket may be a little larger.
// Shared, so that results lent out outlive a move to larger storage.
template <class T>
class Room {
public:
    T* at_least(std::size_t n) {
        if (n > size_ || !data_) {
            const std::size_t size = std::max<std::size_t>(n + n / 8, 1);
            data_ = allocate_working_array<T>(size);
            size_ = size;
        }
        return data_.get();
    }
    T* get() const { return data_.get(); }
    std::shared_ptr<const T> shared() const { return std::shared_ptr<const T>(data_, data_.get()); }

private:
    std::shared_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace

struct TileBucketScratch::Memory {
    Room<std::uint32_t> keys, order;
    Room<std::uint32_t> sort;  // two entries per point
    Room<std::uint8_t> levels, grouped_levels;
    Room<float> positions;
    Room<std::uint8_t> columns[COLUMNS];
    std::vector<TileRun> runs;
    std::vector<TileBox> boxes;
    std::vector<float> lo, hi;
};

TileBucketScratch::TileBucketScratch() : memory_(std::make_unique<Memory>()) {}
TileBucketScratch::~TileBucketScratch() = default;

std::shared_ptr<const float> TileBucketScratch::positions() const {
    return memory_->positions.shared();
}
std::shared_ptr<const std::uint8_t> TileBucketScratch::column(int c) const {
    return memory_->columns[c].shared();
}
const std::vector<TileRun>& TileBucketScratch::runs() const { return memory_->runs; }
const std::vector<TileBox>& TileBucketScratch::boxes() const { return memory_->boxes; }

void TileBucketScratch::reserve(std::size_t rows, const std::size_t (&row_bytes)[COLUMNS]) {
    Memory& m = *memory_;
    m.keys.at_least(rows);
    m.order.at_least(rows);
    m.sort.at_least(2 * rows);
    m.levels.at_least(rows);
    m.grouped_levels.at_least(rows);
    m.positions.at_least(3 * rows);
    for (int c = 0; c < COLUMNS; ++c) {
        if (row_bytes[c] != 0) m.columns[c].at_least(rows * row_bytes[c]);
    }
}

namespace {

// Refines each level's places (grouped by level, each level in key order).
void refine_levels(float* positions, const std::uint8_t* levels, const std::uint32_t* keys,
                   std::size_t count, const TileGrid& grid,
                   std::uint8_t* const (&columns)[TileBucketScratch::COLUMNS],
                   const std::size_t (&row_bytes)[TileBucketScratch::COLUMNS]) {
    for (std::size_t first = 0; first < count;) {
        std::size_t last = first;
        while (last < count && levels[last] == levels[first]) ++last;
        std::vector<TileRows> others;
        for (int c = 0; c < TileBucketScratch::COLUMNS; ++c) {
            if (columns[c]) others.push_back({columns[c] + first * row_bytes[c], row_bytes[c]});
        }
        refine_tile_runs(positions + 3 * first, keys + first, last - first, grid, others);
        first = last;
    }
}

}  // namespace

std::size_t TileBucketScratch::run(const float* positions, std::size_t count,
                                   const TileColumn (&columns)[COLUMNS],
                                   const TileBucketPass& pass) {
    Memory& m = *memory_;
    std::size_t row_bytes[COLUMNS];
    for (int c = 0; c < COLUMNS; ++c) row_bytes[c] = columns[c].data ? columns[c].row_bytes : 0;
    reserve(count, row_bytes);
    std::uint32_t* keys = m.keys.get();
    const std::size_t bad = tile_keys(positions, count, pass.grid, keys);
    if (bad < count) return bad;
    std::uint32_t* order = m.order.get();
    std::uint32_t* sort = m.sort.get();
    sort_tile_keys(keys, order, count, sort);
    // The sort's room is free again: it holds the leaf levels, and then the
    // grouped order and keys.
    assign_tile_levels(keys, count, pass.levels, pass.preselected_rows, pass.preselected_levels,
                       pass.preselected, m.levels.get(), reinterpret_cast<std::uint8_t*>(sort));
    std::uint8_t* levels = m.grouped_levels.get();
    group_by_level(m.levels.get(), order, keys, count, levels, sort, sort + count);
    order = sort;
    keys = sort + count;
    // Grouped by level and, within a level, in key order: every tile is one
    // run, so one gather per column puts all of them in place.
    float* in_order = m.positions.get();
    gather_rows(reinterpret_cast<const std::uint8_t*>(positions), 3 * sizeof(float), order, count,
                reinterpret_cast<std::uint8_t*>(in_order));
    std::uint8_t* gathered[COLUMNS] = {};
    for (int c = 0; c < COLUMNS; ++c) {
        if (!columns[c].data) continue;
        gathered[c] = m.columns[c].get();
        gather_rows(columns[c].data, row_bytes[c], order, count, gathered[c]);
    }
    // The codec encodes differences between neighbours: points sharing a
    // grid cell go in a finer order, level by level, as a cell may have
    // points in two levels' tiles.
    if (pass.refine) refine_levels(in_order, levels, keys, count, pass.grid, gathered, row_bytes);
    m.runs = tile_runs(levels, keys, count);
    std::vector<std::uint32_t> cuts(m.runs.size() + 1, static_cast<std::uint32_t>(count));
    for (std::size_t t = 0; t < m.runs.size(); ++t) cuts[t] = m.runs[t].start;
    m.lo.resize(3 * m.runs.size());
    m.hi.resize(3 * m.runs.size());
    turn_y_up_with_extents(in_order, cuts.data(), m.runs.size(), m.lo.data(), m.hi.data());
    m.boxes.resize(m.runs.size());
    for (std::size_t t = 0; t < m.runs.size(); ++t) {
        const float* lo = &m.lo[3 * t];  // z-up
        const float* hi = &m.hi[3 * t];
        const float y_up_lo[3] = {lo[0], lo[2], -hi[1]};
        const float y_up_hi[3] = {hi[0], hi[2], -lo[1]};
        m.boxes[t] = tile_box(y_up_lo, y_up_hi, pass.content);
    }
    return count;
}

TileBox tile_box(const float* y_up_lo, const float* y_up_hi, const TileContent& content) {
    // z-up (x, y, z) is y-up (x, -z, y).
    TileBox box{{y_up_lo[0], -y_up_hi[2], y_up_lo[1]}, {y_up_hi[0], -y_up_lo[2], y_up_hi[1]}};
    if (!content.compressed) return box;
    // The file's grid over the same exact extremes; the stored integers of
    // its extreme points are those of the extremes, as quantising keeps order.
    Extents extents{};
    std::copy(y_up_lo, y_up_lo + 3, extents.min);
    std::copy(y_up_hi, y_up_hi + 3, extents.max);
    const PositionGrid grid =
        position_grid(extents, Compression{}.position_bits, content.uniform_grid);
    const PointQuantizer quantize(grid);
    std::uint16_t q_lo[4], q_hi[4];
    quantize(y_up_lo, q_lo);
    quantize(y_up_hi, q_hi);
    double drawn_lo[3], drawn_hi[3];
    for (int a = 0; a < 3; ++a) {
        drawn_lo[a] = grid.origin[a] + grid.step[a] * q_lo[a];
        drawn_hi[a] = grid.origin[a] + grid.step[a] * q_hi[a];
    }
    const double z_up_lo[3] = {drawn_lo[0], -drawn_hi[2], drawn_lo[1]};
    const double z_up_hi[3] = {drawn_hi[0], -drawn_lo[2], drawn_hi[1]};
    for (int a = 0; a < 3; ++a) {
        box.lo[a] = std::min(box.lo[a], z_up_lo[a]);
        box.hi[a] = std::max(box.hi[a], z_up_hi[a]);
    }
    return box;
}

}  // namespace glbcore
