// Four xyz points at a time in SSE2 lanes, which every x86-64 processor
// has: the shuffles that split 12 floats into an x, a y and a z vector, and
// the clamped truncation of scaled coordinates to grid cells. Lane by lane
// these are the scalar operations, so vector and scalar loops give equal
// cells.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

namespace glbcore {

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

}  // namespace glbcore
#endif
