// Quantised positions for compact files (KHR_mesh_quantization): unsigned
// 16-bit integers over a grid laid on the exact bounds, dequantised by the
// translation and scale of the node that holds the mesh.
//
// Error bound: a stored integer q stands for origin + step * q, and q is the
// nearest grid point, so every coordinate is off by at most step / 2, where
// step = extent / (2^bits - 1) per axis (the largest extent for a uniform
// grid). 14 bits over a 100 nm box: at most 0.0031 nm. Readers add their own
// float rounding when they apply the node transform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "gltf_model.h"
#include "scenes.h"

namespace glbcore {

constexpr std::uint32_t MIN_POSITION_BITS = 14;
constexpr std::uint32_t MAX_POSITION_BITS = 16;
// Each position is x y z and one zero, so that every element starts on 4 bytes.
constexpr std::uint32_t QUANTIZED_POSITION_STRIDE = 8;

struct PositionGrid {
    double origin[3];  // the node's translation: the exact minimum per axis
    double step[3];    // the node's scale; an axis of zero extent gets step 1
    std::uint32_t bits;
};

// The grid over `extents` with 2^bits - 1 steps along each axis, or along the
// longest axis with the same step on all three when `uniform` (needed when
// normals must keep their directions). Throws std::invalid_argument for a
// bit count outside 14..16.
PositionGrid position_grid(const Extents& extents, std::uint32_t bits, bool uniform);

// The smallest and largest integer stored per axis: the POSITION bounds.
struct IntegerBounds {
    std::uint16_t min[3];
    std::uint16_t max[3];
};

// One point at a time onto a grid: the integers of quantize_positions.
class PointQuantizer {
public:
    explicit PointQuantizer(const PositionGrid& grid);
    // Writes x y z 0 of the point p at q.
    void operator()(const float* p, std::uint16_t* q) const {
        for (int axis = 0; axis < 3; ++axis) {
            // Points lie inside the exact extents; the clamp only guards the
            // last rounding of the inverse step.
            const double t = (p[axis] - origin_[axis]) * inverse_[axis];
            q[axis] = static_cast<std::uint16_t>(std::clamp(t, 0.0, top_) + 0.5);
        }
        q[3] = 0;
    }

private:
    double origin_[3];
    double inverse_[3];
    double top_;
};

// Writes output places [begin, end) as 4 u16 each (x y z 0) at out[0..]:
// place j holds point order[j], or point j when `order` is null. Returns
// the integer extremes written (begin < end).
IntegerBounds quantize_positions(const float* positions, const std::uint32_t* order,
                                 std::size_t begin, std::size_t end, const PositionGrid& grid,
                                 std::uint16_t* out);

// The integer extremes of n rows of 4 u16 (x y z 0), n > 0.
IntegerBounds integer_bounds(const std::uint16_t* rows, std::size_t n);

// POSITION bounds of a quantised accessor: the exact integers stored.
void set_integer_bounds(gltf::Accessor& accessor, const IntegerBounds& bounds);

// The node transform that turns stored integers back into coordinates.
void set_dequantization(gltf::Node& node, const PositionGrid& grid);

}  // namespace glbcore
