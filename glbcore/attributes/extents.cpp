// Exact bounds: the float extremes of the points per axis, which readers
// compare bit for bit with the POSITION accessor's min and max.
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/base.h"
#include "scenes.h"

namespace glbcore {

namespace {

[[noreturn]] void refuse_non_finite_row(std::uint32_t row) {
    throw std::invalid_argument("positions[" + std::to_string(row) +
                                "] is not finite (NaN or infinity)");
}

constexpr std::uint32_t NO_ROW = std::numeric_limits<std::uint32_t>::max();

struct ChunkExtents {
    Extents extents{};
    std::uint32_t first_bad_row = NO_ROW;
    bool empty = true;
};

// The extremes of rows [begin, end), or the first row that is not finite.
ChunkExtents scan_chunk(const std::uint8_t* bytes, std::uint32_t begin, std::uint32_t end) {
    ChunkExtents chunk;
    Extents& e = chunk.extents;
    float p[3];
    std::memcpy(p, bytes + 12 * std::size_t{begin}, sizeof p);
    for (int axis = 0; axis < 3; ++axis) e.min[axis] = e.max[axis] = p[axis];
    for (std::uint32_t i = begin; i < end; ++i) {
        std::memcpy(p, bytes + 12 * std::size_t{i}, sizeof p);
        // x - x is NaN exactly when x is NaN or infinite.
        if (std::isnan((p[0] - p[0]) + (p[1] - p[1]) + (p[2] - p[2]))) {
            chunk.first_bad_row = i;
            return chunk;
        }
        for (int axis = 0; axis < 3; ++axis) {
            e.min[axis] = p[axis] < e.min[axis] ? p[axis] : e.min[axis];
            e.max[axis] = p[axis] > e.max[axis] ? p[axis] : e.max[axis];
        }
    }
    chunk.empty = false;
    return chunk;
}

}  // namespace

Extents exact_extents(const float* positions, std::uint32_t count) {
    if (count == 0) return Extents{};
    // One scan per chunk of the atom pipeline's split, merged in chunk order
    // with the same strict comparisons: the same extremes as one scan, the
    // same first bad row.
    const WorkSplit split = split_work(count, std::thread::hardware_concurrency());
    std::vector<ChunkExtents> chunks(split.workers);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(positions);
    run_phase(split, default_thread_starter(), [&](std::uint32_t begin, std::uint32_t end) {
        chunks[begin / split.chunk] = scan_chunk(bytes, begin, end);
    });
    Extents e = chunks[0].extents;
    for (const ChunkExtents& chunk : chunks) {
        if (chunk.first_bad_row != NO_ROW) refuse_non_finite_row(chunk.first_bad_row);
        if (chunk.empty) continue;
        for (int axis = 0; axis < 3; ++axis) {
            e.min[axis] = chunk.extents.min[axis] < e.min[axis] ? chunk.extents.min[axis] : e.min[axis];
            e.max[axis] = chunk.extents.max[axis] > e.max[axis] ? chunk.extents.max[axis] : e.max[axis];
        }
    }
    return e;
}

}  // namespace glbcore
