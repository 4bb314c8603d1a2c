// Exact bounds: the float extremes of the points per axis, which readers
// compare bit for bit with the POSITION accessor's min and max. One scan,
// block by block, serves every caller: the builders split it over threads,
// the tiler runs it per chunk and per tile.
#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"

namespace glbcore {

namespace {

// Rows per block: a block's floats stay in the cache between its two loops.
constexpr std::size_t BLOCK_ROWS = 4096;

// The points may start at any address: every float is read with memcpy.
inline float float_at(const std::uint8_t* bytes, std::size_t i) {
    float value;
    std::memcpy(&value, bytes + sizeof value * i, sizeof value);
    return value;
}

inline bool is_non_finite_at(const std::uint8_t* bytes, std::size_t i) {
    std::uint32_t bits;
    std::memcpy(&bits, bytes + sizeof bits * i, sizeof bits);
    return (bits & 0x7F800000u) == 0x7F800000u;
}

// The extremes of n finite rows merged into lo and hi.
void merge_block_extents(const std::uint8_t* bytes, std::size_t n, float* lo, float* hi) {
    float l0 = lo[0], l1 = lo[1], l2 = lo[2], h0 = hi[0], h1 = hi[1], h2 = hi[2];
    for (std::size_t i = 0; i < n; ++i) {
        const float x = float_at(bytes, 3 * i), y = float_at(bytes, 3 * i + 1),
                    z = float_at(bytes, 3 * i + 2);
        // std::min and std::max keep the earlier value of equal ones (0 and -0).
        l0 = std::min(l0, x), l1 = std::min(l1, y), l2 = std::min(l2, z);
        h0 = std::max(h0, x), h1 = std::max(h1, y), h2 = std::max(h2, z);
    }
    lo[0] = l0, lo[1] = l1, lo[2] = l2, hi[0] = h0, hi[1] = h1, hi[2] = h2;
}

[[noreturn]] void refuse_non_finite_row(std::size_t row) {
    throw std::invalid_argument("positions[" + std::to_string(row) +
                                "] is not finite (NaN or infinity)");
}

struct ChunkExtents {
    float lo[3];
    float hi[3];
    std::size_t first_bad_row;  // the chunk's end when every row is finite
};

}  // namespace

std::size_t first_non_finite_row(const float* positions, std::size_t n) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(positions);
    // Branch-free, so that it vectorises; the second loop only runs for a
    // bad block.
    std::uint32_t any_bad = 0;
    for (std::size_t i = 0; i < 3 * n; ++i) any_bad |= is_non_finite_at(bytes, i);
    if (any_bad == 0) return n;
    for (std::size_t i = 0; i < n; ++i) {
        if (is_non_finite_at(bytes, 3 * i) || is_non_finite_at(bytes, 3 * i + 1) ||
            is_non_finite_at(bytes, 3 * i + 2)) {
            return i;
        }
    }
    return n;
}

std::size_t scan_extents(const float* positions, std::size_t count, float* lo, float* hi) {
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::numeric_limits<float>::infinity();
        hi[a] = -std::numeric_limits<float>::infinity();
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(positions);
    for (std::size_t begin = 0; begin < count; begin += BLOCK_ROWS) {
        const std::size_t n = std::min(BLOCK_ROWS, count - begin);
        const std::uint8_t* block = bytes + 3 * sizeof(float) * begin;
        const std::size_t bad = first_non_finite_row(reinterpret_cast<const float*>(block), n);
        if (bad < n) return begin + bad;
        merge_block_extents(block, n, lo, hi);
    }
    return count;
}

Extents exact_extents(const float* positions, std::uint32_t count) {
    if (count == 0) return Extents{};
    // One scan per chunk of the atom pipeline's split, merged in chunk order
    // with the same comparisons: the same extremes as one scan, the same
    // first bad row.
    const WorkSplit split = split_work(count, std::thread::hardware_concurrency());
    std::vector<ChunkExtents> chunks(split.workers);
    run_phase(split, default_thread_starter(), [&](std::uint32_t begin, std::uint32_t end) {
        ChunkExtents& chunk = chunks[begin / split.chunk];
        chunk.first_bad_row = begin + scan_extents(positions + 3 * std::size_t{begin}, end - begin,
                                                   chunk.lo, chunk.hi);
    });
    Extents e;
    for (int a = 0; a < 3; ++a) {
        e.min[a] = std::numeric_limits<float>::infinity();
        e.max[a] = -std::numeric_limits<float>::infinity();
    }
    for (std::uint32_t c = 0; c < split.workers; ++c) {
        if (split.begin(c) >= split.end(c)) continue;  // no rows: never scanned
        const ChunkExtents& chunk = chunks[c];
        if (chunk.first_bad_row < split.end(c)) refuse_non_finite_row(chunk.first_bad_row);
        for (int a = 0; a < 3; ++a) {
            e.min[a] = std::min(e.min[a], chunk.lo[a]);
            e.max[a] = std::max(e.max[a], chunk.hi[a]);
        }
    }
    return e;
}

}  // namespace glbcore
