// Quantisation of positions to 10-bit cells and the portable Morton
// interleave; the processor test that picks the interleave.
#include <algorithm>
#include <cstring>

#include "morton/morton.h"

namespace glbcore {

namespace {

// Extents at or below this are treated as degenerate.
constexpr float MIN_EXTENT = 1e-10f;
constexpr float DEGENERATE_INV_EXTENT = 1e10f;

}  // namespace

bool processor_has_avx2_and_bmi2() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
#else
    return false;
#endif
}

Interleave interleave_for_this_processor() {
    return processor_has_avx2_and_bmi2() ? Interleave::bmi2 : Interleave::portable;
}

std::uint32_t morton3d_portable(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return spread_10_bits(x) | (spread_10_bits(y) << 1) | (spread_10_bits(z) << 2);
}

Quantization quantization_for_box(const double* vmin, const double* vmax) {
    Quantization q{};
    for (int a = 0; a < 3; ++a) {
        q.min[a] = vmin[a];
        const auto extent = static_cast<float>(vmax[a] - vmin[a]);
        // NaN compares false and takes the degenerate value too.
        q.inv_extent[a] = extent > MIN_EXTENT
                              ? static_cast<float>(1.0 / static_cast<double>(extent))
                              : DEGENERATE_INV_EXTENT;
    }
    return q;
}

std::uint32_t cell_index(double s) {
    // Clamp in floating point first so the conversion is always defined:
    // NaN fails `s > 0` and becomes 0, infinity becomes 1023.
    const double clamped = std::min(s > 0.0 ? s : 0.0, static_cast<double>(GRID_MAX_CELL));
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped));
}

namespace {

// Atoms are keyed in blocks: the cells of a block are computed first, then
// the interleave runs over the whole block (vectorised, or one call into
// the BMI2 unit per block).
constexpr std::uint32_t KEY_BLOCK = 256;
// Reading this far ahead keeps the positions stream in cache; the hardware
// prefetchers alone leave the key phase waiting on memory.
constexpr std::size_t PREFETCH_BYTES = 2048;

// The per-axis quantisation parameters as a key worker uses them: the
// minimum rounded to single precision once, and the inverse extent.
struct AxisScale {
    float min[3];
    float inv[3];
};

AxisScale axis_scale(const Quantization& quantization) {
    AxisScale scale{};
    for (int a = 0; a < 3; ++a) {
        scale.min[a] = static_cast<float>(quantization.min[a]);
        scale.inv[a] = quantization.inv_extent[a];
    }
    return scale;
}

// Cells of one block of atoms, one array per axis.
struct BlockCells {
    alignas(16) std::uint32_t x[KEY_BLOCK];
    alignas(16) std::uint32_t y[KEY_BLOCK];
    alignas(16) std::uint32_t z[KEY_BLOCK];
};

// Cells of atoms [from, n) of a block, the scalar way.
void quantize_scalar(const unsigned char* atoms, std::uint32_t from, std::uint32_t n,
                     const AxisScale& scale, BlockCells& cells) {
    std::uint32_t* out[3] = {cells.x, cells.y, cells.z};
    for (std::uint32_t j = from; j < n; ++j) {
        float xyz[3];
        std::memcpy(xyz, atoms + std::size_t{j} * 12, sizeof xyz);  // any alignment
        for (int a = 0; a < 3; ++a) {
            out[a][j] = cell_index(scaled_coordinate(xyz[a], scale.min[a], scale.inv[a]));
        }
    }
}

// morton3d_portable over a block; the compiler vectorises this loop.
void interleave_portable_block(const BlockCells& cells, std::uint32_t n, std::uint32_t* keys) {
    for (std::size_t j = 0; j < n; ++j) {
        keys[j] = spread_10_bits(cells.x[j]) | (spread_10_bits(cells.y[j]) << 1) |
                  (spread_10_bits(cells.z[j]) << 2);
    }
}

void number_block(std::uint32_t first, std::uint32_t n, std::uint32_t* indices) {
    for (std::uint32_t j = 0; j < n; ++j) indices[j] = first + j;
}

#if defined(__SSE2__)
// Four atoms at a time with SSE2, which every x86-64 processor has. Lane by
// lane this is the scalar arithmetic: the same double-precision operations
// in the same order, the same clamp and truncation, so the cells are equal.
struct AxisScaleVector {
    __m128d min[3];
    __m128d inv[3];
};

AxisScaleVector axis_scale_vector(const AxisScale& scale) {
    AxisScaleVector v;
    for (int a = 0; a < 3; ++a) {
        v.min[a] = _mm_set1_pd(static_cast<double>(scale.min[a]));
        v.inv[a] = _mm_set1_pd(static_cast<double>(scale.inv[a]));
    }
    return v;
}

// The cells of four coordinates of one axis.
inline __m128i cells_of_four(__m128 p, __m128d min, __m128d inv) {
    const __m128d top = _mm_set1_pd(static_cast<double>(GRID_MAX_CELL));
    return clamped_cells(p, static_cast<double>(GRID_MAX_CELL), [&](__m128d d) {
        return _mm_mul_pd(_mm_mul_pd(_mm_sub_pd(d, min), inv), top);
    });
}

// Cells of atoms [0, n) of a block; returns how many it did (a multiple of 4).
std::uint32_t quantize_vector(const unsigned char* atoms, std::uint32_t n,
                              const AxisScaleVector& scale, BlockCells& cells) {
    std::uint32_t j = 0;
    for (; n - j >= 4; j += 4) {
        const PointLanes lanes =
            load_point_lanes(reinterpret_cast<const float*>(atoms + std::size_t{j} * 12));
        const auto store = [j](std::uint32_t* axis_cells, __m128i four) {
            _mm_store_si128(reinterpret_cast<__m128i*>(axis_cells + j), four);
        };
        store(cells.x, cells_of_four(lanes.x, scale.min[0], scale.inv[0]));
        store(cells.y, cells_of_four(lanes.y, scale.min[1], scale.inv[1]));
        store(cells.z, cells_of_four(lanes.z, scale.min[2], scale.inv[2]));
    }
    return j;
}
#endif

// Cells of the n atoms of a block whose floats start at `atoms`.
void quantize_block(const unsigned char* atoms, std::uint32_t n, const AxisScale& scale,
                    BlockCells& cells) {
    std::uint32_t done = 0;
#if defined(__SSE2__)
    done = quantize_vector(atoms, n, axis_scale_vector(scale), cells);
#endif
    quantize_scalar(atoms, done, n, scale, cells);
}

// Prefetches the positions PREFETCH_BYTES after a block of n atoms, when at
// least that many atoms follow it in the chunk.
void prefetch_after_block(const unsigned char* atoms, std::uint32_t n, std::uint32_t remaining) {
    if (remaining <= n + PREFETCH_BYTES / 12) return;
    for (std::size_t b = 0; b < std::size_t{n} * 12; b += 64) {
        __builtin_prefetch(atoms + PREFETCH_BYTES + b);
    }
}

}  // namespace

void morton_keys_chunk(std::uint32_t begin, std::uint32_t end, const float* positions,
                       const Quantization& quantization, Interleave interleave, std::uint32_t* keys,
                       std::uint32_t* indices) {
    const AxisScale scale = axis_scale(quantization);
    BlockCells cells;
    const auto* atoms = reinterpret_cast<const unsigned char*>(positions);
    for (std::uint32_t block = begin, n = 0; block < end; block += n) {
        n = std::min(KEY_BLOCK, end - block);
        const unsigned char* p = atoms + std::size_t{block} * 12;
        prefetch_after_block(p, n, end - block);
        quantize_block(p, n, scale, cells);
        if (interleave == Interleave::bmi2) {
            morton3d_bmi2_block(cells.x, cells.y, cells.z, n, keys + block);
        } else {
            interleave_portable_block(cells, n, keys + block);
        }
        if (indices != nullptr) number_block(block, n, indices + block);
    }
}

}  // namespace glbcore
