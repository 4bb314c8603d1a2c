// Morton order: the key of a point on a grid of 1024 cells per axis over a
// box, with one of two interleaves (chosen by the processor), and the finer
// keys that order the points inside a cell. Keys only: sorting by them is
// the business of order/.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace glbcore {

// ---- The bit spread -----------------------------------------------------
// The one spread of every Morton key here: bit k of a value moves to bit 3k
// in four shift-and-mask steps. The masks spread 16 bits over 64; their low
// 32 bits spread 10 bits (a grid cell) over 32, as a 30-bit key needs.
namespace spread_detail {
inline constexpr int SHIFTS[4] = {16, 8, 4, 2};
inline constexpr std::uint64_t MASKS[4] = {0x001f'0000'ff00'00ffull, 0x100f'00f0'0f00'f00full,
                                           0x10c3'0c30'c30c'30c3ull, 0x1249'2492'4924'9249ull};

template <class Word>
constexpr Word step(Word v, int k) {
    return (v | (v << SHIFTS[k])) & static_cast<Word>(MASKS[k]);
}
}  // namespace spread_detail

// Spreads the 10 low bits of v so that bit k lands on bit 3k.
inline std::uint32_t spread_10_bits(std::uint32_t v) {
    using spread_detail::step;
    return step(step(step(step(v & 0x3FFu, 0), 1), 2), 3);
}

// Spreads the 16 low bits of v so that bit k lands on bit 3k.
inline std::uint64_t spread_16_bits(std::uint64_t v) {
    using spread_detail::step;
    return step(step(step(step(v & 0xFFFFu, 0), 1), 2), 3);
}

#if defined(__SSE2__)
namespace spread_detail {
template <int K>
inline __m128i lanes_step(__m128i v) {
    const auto mask = static_cast<std::int32_t>(static_cast<std::uint32_t>(MASKS[K]));
    return _mm_and_si128(_mm_or_si128(v, _mm_slli_epi32(v, SHIFTS[K])), _mm_set1_epi32(mask));
}
}  // namespace spread_detail

// spread_10_bits in each of four 32-bit lanes.
inline __m128i spread_10_bits(__m128i v) {
    using spread_detail::lanes_step;
    return lanes_step<3>(
        lanes_step<2>(lanes_step<1>(lanes_step<0>(_mm_and_si128(v, _mm_set1_epi32(0x3FF))))));
}
#endif

// ---- Morton interleaves -------------------------------------------------
// The two interleaves place the axes differently, and both layouts are part
// of what files have always contained:
//   bit k of x, y, z goes to key bit 3k+1, 3k+2, 3k   with morton3d_bmi2,
//                        and to key bit 3k,   3k+1, 3k+2 with morton3d_portable.
enum class Interleave { portable, bmi2 };

// True when the processor reports both AVX2 and BMI2.
bool processor_has_avx2_and_bmi2();
Interleave interleave_for_this_processor();

std::uint32_t morton3d_portable(std::uint32_t x, std::uint32_t y, std::uint32_t z);
// Uses the BMI2 instruction PDEP: call only after the processor test passed.
std::uint32_t morton3d_bmi2(std::uint32_t x, std::uint32_t y, std::uint32_t z);
// morton3d_bmi2 over n cells; the loop lives in the BMI2-compiled unit.
void morton3d_bmi2_block(const std::uint32_t* x, const std::uint32_t* y, const std::uint32_t* z,
                         std::size_t n, std::uint32_t* keys);

// ---- Quantisation -------------------------------------------------------
constexpr std::uint32_t GRID_MAX_CELL = 1023;

// Per axis the caller's minimum (double) and the inverse extent (float).
struct Quantization {
    double min[3];
    float inv_extent[3];
};
Quantization quantization_for_box(const double* vmin, const double* vmax);
// Cell of a scaled coordinate s: NaN or s <= 0 gives 0, s >= 1023 gives
// 1023 (infinity included), otherwise s truncated.
std::uint32_t cell_index(double s);
// The scaled coordinate: ((p - min) * inv) * 1023, held in double.
inline double scaled_coordinate(float p, float min, float inv) {
    return ((static_cast<double>(p) - static_cast<double>(min)) * static_cast<double>(inv)) *
           1023.0;
}

// ---- The key phase -----------------------------------------------------
// Writes key[i] and, unless `indices` is null, index[i] = i for atoms
// [begin, end).
void morton_keys_chunk(std::uint32_t begin, std::uint32_t end, const float* positions,
                       const Quantization& quantization, Interleave interleave, std::uint32_t* keys,
                       std::uint32_t* indices);

#if defined(__SSE2__)
// ---- Four points in SSE2 lanes ------------------------------------------
// Four xyz points at a time in SSE2 lanes, which every x86-64 processor
// has: the shuffles that split 12 floats into an x, a y and a z vector, and
// the clamped truncation of scaled coordinates to grid cells. Lane by lane
// these are the scalar operations, so vector and scalar loops give equal
// cells.
struct PointLanes {
    __m128 x, y, z;
};

// x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3  ->  x0..x3, y0..y3, z0..z3, from
// floats at any address.
inline PointLanes load_point_lanes(const float* f) {
    const __m128 v0 = _mm_loadu_ps(f);
    const __m128 v1 = _mm_loadu_ps(f + 4);
    const __m128 v2 = _mm_loadu_ps(f + 8);
    const __m128 x2y2z2x3 = _mm_shuffle_ps(v1, v2, _MM_SHUFFLE(1, 0, 3, 2));
    const __m128 y0z0y1y1 = _mm_shuffle_ps(v0, v1, _MM_SHUFFLE(0, 0, 2, 1));
    const __m128 z1y2x3y3 = _mm_shuffle_ps(v1, v2, _MM_SHUFFLE(2, 1, 3, 1));
    const __m128 z0z0z1z1 = _mm_shuffle_ps(y0z0y1y1, z1y2x3y3, _MM_SHUFFLE(0, 0, 1, 1));
    return PointLanes{_mm_shuffle_ps(v0, x2y2z2x3, _MM_SHUFFLE(3, 0, 3, 0)),
                      _mm_shuffle_ps(y0z0y1y1, z1y2x3y3, _MM_SHUFFLE(3, 1, 2, 0)),
                      _mm_shuffle_ps(z0z0z1z1, v2, _MM_SHUFFLE(3, 0, 2, 0))};
}

// The cells of four coordinates, `scale` taking each (as a double pair) to
// its scaled value: clamped to [0, top] and truncated. maxpd returns its
// second operand for NaN, so NaN gives 0; minpd caps infinity at top.
template <class Scale>
inline __m128i clamped_cells(__m128 p, double top, Scale scale) {
    const __m128d zero = _mm_setzero_pd();
    const __m128d top_pair = _mm_set1_pd(top);
    const auto cells_of_two = [&](__m128d d) {
        return _mm_cvttpd_epi32(_mm_min_pd(_mm_max_pd(scale(d), zero), top_pair));
    };
    const __m128i lo = cells_of_two(_mm_cvtps_pd(p));
    const __m128i hi = cells_of_two(_mm_cvtps_pd(_mm_movehl_ps(p, p)));
    return _mm_unpacklo_epi64(lo, hi);
}
#endif

// ---- The finer order inside cells ---------------------------------------
// A finer Morton order for compressed files. The 30-bit keys of the atom
// pipeline (1024 cells per axis) leave the points that share a cell in
// input order, and a dense cloud puts ten or more points in a cell; the
// codec encodes differences between neighbours, so each run of points that
// share a cell is put in the Morton order of the cell's subdivision. The
// result is the Morton order over 2^(10 + REFINE_BITS) cells per axis of the
// same box, ties (points in one fine cell) keeping their order.
//
// Bits per axis added below the pipeline's 10: with 16 bits per axis in
// all, the fine cells are no larger than any position quantisation's step.
constexpr std::uint32_t REFINE_BITS = 6;

namespace fine_morton_detail {
constexpr double FINE_STEPS = double{1u << REFINE_BITS};
constexpr double FINE_TOP = double{GRID_MAX_CELL} * FINE_STEPS;

}  // namespace fine_morton_detail

// Fine keys over the box [lo, hi] with the pipeline's interleave: the
// Morton key of the pipeline's scaled coordinate s in 0..1023 (as its key
// phase computes it) cut into 2^REFINE_BITS finer steps, trunc(s * 64),
// 16 bits per axis. Its top 30 bits are the pipeline's key.
class FineMorton {
public:
    FineMorton(const double* lo, const double* hi, Interleave interleave);
    // Inline: computed for every point of a compressed cloud.
    std::uint64_t key(const float* position) const {
        using namespace fine_morton_detail;
        std::uint64_t key = 0;
        for (int a = 0; a < 3; ++a) {
            // s * 64 is exact, so trunc(s * 64) / 64 truncates to the
            // pipeline's cell_index(s): NaN and s <= 0 give 0, s >= 1023 the
            // top cell.
            const double s = scaled_coordinate(position[a], min_[a], inv_extent_[a]) * FINE_STEPS;
            const double clamped = std::min(s > 0.0 ? s : 0.0, FINE_TOP);
            const auto fine = static_cast<std::uint64_t>(static_cast<std::int64_t>(clamped));
            key |= spread_16_bits(fine) << shift_[a];
        }
        return key;
    }
    // Whether two fine keys lie in the same pipeline cell.
    static bool same_cell(std::uint64_t a, std::uint64_t b) {
        return (a >> (3 * REFINE_BITS)) == (b >> (3 * REFINE_BITS));
    }

private:
    float min_[3];
    float inv_extent_[3];
    // Where each axis's bits start: morton3d_bmi2 puts x, y, z on bits
    // 3k+1, 3k+2, 3k; morton3d_portable on 3k, 3k+1, 3k+2.
    int shift_[3];
};

// The first place in [j, end) whose point's cell differs from that of place
// j - 1 (end if none; j itself when j == begin): chunks that start there
// hold whole runs. `order` maps places to points, as morton_order's result.
std::uint32_t next_run_start(const FineMorton& morton, const float* positions,
                             const std::uint32_t* order, std::uint32_t begin, std::uint32_t j,
                             std::uint32_t end);

// One entry of refine_runs' scratch.
struct FineEntry {
    std::uint64_t key;
    std::uint32_t row;
};

// `rows` holds n points (x y z) in Morton order, in whole runs. Writes the
// finer order to `order`: place i holds row order[i]. `scratch` holds n
// entries.
void refine_runs(const FineMorton& morton, const float* rows, std::uint32_t n, FineEntry* scratch,
                 std::uint32_t* order);

}  // namespace glbcore
