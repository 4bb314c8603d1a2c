// Quantisation of positions to 10-bit cells and the portable Morton
// interleave; the processor test that picks the interleave.
#include <algorithm>
#include <cstring>

#include "atom_pipeline.h"

namespace glbcore {

namespace {

// Spreads the 10 low bits of v so that bit k lands on bit 3k.
inline std::uint32_t spread_bits(std::uint32_t v) {
    v = (v | (v << 16)) & 0x030000FFu;
    v = (v | (v << 8)) & 0x0300F00Fu;
    v = (v | (v << 4)) & 0x030C30C3u;
    v = (v | (v << 2)) & 0x09249249u;
    return v;
}

// Extents at or below this are treated as degenerate.
constexpr float MIN_EXTENT = 1e-10f;
constexpr float DEGENERATE_INV_EXTENT = 1e10f;

// Atoms are keyed in blocks so that the interleave runs over a whole block
// at once (vectorised, or one call into the BMI2 unit per block).
constexpr std::uint32_t KEY_BLOCK = 256;

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
    return spread_bits(x) | (spread_bits(y) << 1) | (spread_bits(z) << 2);
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

void morton_keys_chunk(std::uint32_t begin, std::uint32_t end, const float* positions,
                       const Quantization& quantization, Interleave interleave,
                       std::uint32_t* keys, std::uint32_t* indices) {
    float min[3];
    float inv[3];
    for (int a = 0; a < 3; ++a) {
        min[a] = static_cast<float>(quantization.min[a]);
        inv[a] = quantization.inv_extent[a];
    }
    std::uint32_t cx[KEY_BLOCK], cy[KEY_BLOCK], cz[KEY_BLOCK];
    for (std::uint32_t block = begin, n = 0; block < end; block += n) {
        n = std::min(KEY_BLOCK, end - block);
        const auto* p = reinterpret_cast<const unsigned char*>(positions) + std::size_t{block} * 12;
        for (std::uint32_t j = 0; j < n; ++j) {
            float xyz[3];
            std::memcpy(xyz, p + std::size_t{j} * 12, sizeof xyz);  // any alignment
            cx[j] = cell_index(scaled_coordinate(xyz[0], min[0], inv[0]));
            cy[j] = cell_index(scaled_coordinate(xyz[1], min[1], inv[1]));
            cz[j] = cell_index(scaled_coordinate(xyz[2], min[2], inv[2]));
        }
        if (interleave == Interleave::bmi2) {
            morton3d_bmi2_block(cx, cy, cz, n, keys + block);
        } else {
            for (std::uint32_t j = 0; j < n; ++j) keys[block + j] = morton3d_portable(cx[j], cy[j], cz[j]);
        }
        for (std::uint32_t j = 0; j < n; ++j) indices[block + j] = block + j;
    }
}

}  // namespace glbcore
