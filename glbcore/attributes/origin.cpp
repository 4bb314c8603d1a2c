// Coordinates far from zero: float64 extremes, float32 offsets from an
// origin, and the root node that puts the origin (and the up axis) back.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"

namespace glbcore {

namespace {

// Eight rows at a time: 24 values against 24 accumulators, a pattern the
// compiler turns into packed instructions despite the rows' stride of three,
// with chains independent enough to keep up with memory.
constexpr std::size_t ROWS_AT_ONCE = 8;
constexpr std::size_t LANES = 3 * ROWS_AT_ONCE;

// The double nearest to sqrt(1/2): a rotation quaternion's components for a
// quarter turn. Readers build the matrix from it in double (three.js does),
// where 1 - 2 s^2 is then within 2^-52 of zero; eight digits would leave
// 1.4e-8, 5 cm at 4 million.
constexpr double SQRT_HALF = 0.70710678118654752440;

struct RangeExtents {
    double lo[3];
    double hi[3];
    bool finite;
};

RangeExtents scan_range(const double* values, std::size_t n) {
    double lo[LANES], hi[LANES];
    std::uint64_t bad[LANES];  // the bits of v - v: zero unless v is NaN or infinite
    for (std::size_t k = 0; k < LANES; ++k) {
        lo[k] = std::numeric_limits<double>::infinity();
        hi[k] = -std::numeric_limits<double>::infinity();
        bad[k] = 0;
    }
    const auto take = [&](std::size_t k, double v) {
        lo[k] = std::min(lo[k], v);
        hi[k] = std::max(hi[k], v);
        const double zero_if_finite = v - v;
        std::uint64_t bits;
        std::memcpy(&bits, &zero_if_finite, sizeof bits);
        bad[k] |= bits;
    };
    const std::size_t blocks_end = n / LANES * LANES;
    for (std::size_t i = 0; i < blocks_end; i += LANES) {
        for (std::size_t k = 0; k < LANES; ++k) take(k, values[i + k]);
    }
    for (std::size_t i = blocks_end; i < n; ++i) take(i % 3, values[i]);
    RangeExtents out{{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}, true};
    for (std::size_t k = 0; k < LANES; ++k) {
        out.lo[k % 3] = std::min(out.lo[k % 3], lo[k]);
        out.hi[k % 3] = std::max(out.hi[k % 3], hi[k]);
        out.finite = out.finite && bad[k] == 0;
    }
    return out;
}

void offsets_of_range(const double* values, std::size_t n, const double* origin, float* out) {
    double o[LANES];
    for (std::size_t k = 0; k < LANES; ++k) o[k] = origin[k % 3];
    const std::size_t blocks_end = n / LANES * LANES;
    for (std::size_t i = 0; i < blocks_end; i += LANES) {
        for (std::size_t k = 0; k < LANES; ++k) {
            out[i + k] = static_cast<float>(values[i + k] - o[k]);
        }
    }
    for (std::size_t i = blocks_end; i < n; ++i) {
        out[i] = static_cast<float>(values[i] - origin[i % 3]);
    }
}

// Contiguous ranges of rows, one per worker, as the atom pipeline splits them.
WorkSplit rows_split(std::uint32_t count, unsigned workers) {
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    if (count < MULTI_WORKER_MIN_ATOMS) workers = 1;
    return split_work_over(count, std::max(1u, std::min<std::uint32_t>(workers, count)));
}

}  // namespace

bool float64_extents(const double* positions, std::uint32_t count, double* lo, double* hi,
                     unsigned workers) {
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = std::numeric_limits<double>::infinity();
        hi[axis] = -std::numeric_limits<double>::infinity();
    }
    if (count == 0) return true;
    const WorkSplit split = rows_split(count, workers);
    std::vector<RangeExtents> ranges(split.workers);
    run_parallel(split.workers, split.workers, [&](std::uint32_t w) {
        const std::size_t begin = split.begin(w), end = std::max(split.begin(w), split.end(w));
        ranges[w] = scan_range(positions + 3 * begin, 3 * (end - begin));
    });
    for (const RangeExtents& range : ranges) {
        if (!range.finite) return false;
        for (int axis = 0; axis < 3; ++axis) {
            lo[axis] = std::min(lo[axis], range.lo[axis]);
            hi[axis] = std::max(hi[axis], range.hi[axis]);
        }
    }
    return true;
}

void float32_offsets(const double* positions, std::uint32_t count, const double* origin, float* out,
                     unsigned workers) {
    const RoundToNearestScope nearest;
    if (count == 0) return;
    const WorkSplit split = rows_split(count, workers);
    run_parallel(split.workers, split.workers, [&](std::uint32_t w) {
        const std::size_t begin = split.begin(w), end = std::max(split.begin(w), split.end(w));
        offsets_of_range(positions + 3 * begin, 3 * (end - begin), origin, out + 3 * begin);
    });
}

void add_scene_frame(gltf::Document& document, const SceneFrame& frame) {
    if (document.scene_nodes.empty() || (!frame.origin && !frame.z_up)) return;
    gltf::Node root;
    root.name = "Frame";
    root.children = std::move(document.scene_nodes);
    if (frame.origin) {
        const std::array<double, 3>& o = *frame.origin;
        require_finite(o.data(), 3, "origin");
        // A node turns before it translates: the translation is the origin
        // in the turned axes, where z-up (x, y, z) lies at (x, z, -y).
        root.translation = frame.z_up ? std::array<double, 3>{o[0], o[2], -o[1]} : o;
    }
    if (frame.z_up) root.rotation = std::array<double, 4>{-SQRT_HALF, 0.0, 0.0, SQRT_HALF};
    document.scene_nodes = {document.add_node(std::move(root))};
}

}  // namespace glbcore
