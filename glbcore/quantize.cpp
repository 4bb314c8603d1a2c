// Positions to 16-bit grid integers, and the records that undo it.
#include "quantize.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace glbcore {

namespace {
constexpr std::size_t PREFETCH_DISTANCE = 64;
}  // namespace

PositionGrid position_grid(const Extents& extents, std::uint32_t bits, bool uniform) {
    if (bits < MIN_POSITION_BITS || bits > MAX_POSITION_BITS) {
        throw std::invalid_argument("position_bits = " + std::to_string(bits) +
                                    " is outside 14..16");
    }
    const double steps = static_cast<double>((1u << bits) - 1);
    PositionGrid grid{};
    grid.bits = bits;
    double longest = 0;
    for (int axis = 0; axis < 3; ++axis) {
        grid.origin[axis] = extents.min[axis];
        const double extent =
            static_cast<double>(extents.max[axis]) - static_cast<double>(extents.min[axis]);
        grid.step[axis] = extent / steps;
        longest = std::max(longest, extent);
    }
    for (double& step : grid.step) {
        if (uniform) step = longest / steps;
        // A flat axis stores only zeros; any non-zero scale keeps the node
        // matrix invertible.
        if (step == 0) step = 1;
    }
    return grid;
}

IntegerBounds quantize_positions(const float* positions, const std::uint32_t* order,
                                 std::size_t begin, std::size_t end, const PositionGrid& grid,
                                 std::uint16_t* out) {
    const double top = static_cast<double>((1u << grid.bits) - 1);
    double inverse[3];
    for (int axis = 0; axis < 3; ++axis) inverse[axis] = 1.0 / grid.step[axis];
    IntegerBounds bounds{{0xffff, 0xffff, 0xffff}, {0, 0, 0}};
    for (std::size_t j = begin; j < end; ++j) {
        // Points in a new order are fetched from all over memory: ask for
        // them well ahead, or each one waits for its cache miss.
        if (order && j + PREFETCH_DISTANCE < end) {
            __builtin_prefetch(positions + 3 * std::size_t{order[j + PREFETCH_DISTANCE]});
        }
        const float* p = positions + 3 * std::size_t{order ? order[j] : j};
        std::uint16_t* q = out + 4 * (j - begin);
        for (int axis = 0; axis < 3; ++axis) {
            // Points lie inside the exact extents; the clamp only guards the
            // last rounding of the inverse step.
            const double t = std::clamp((p[axis] - grid.origin[axis]) * inverse[axis], 0.0, top);
            const auto v = static_cast<std::uint16_t>(t + 0.5);
            q[axis] = v;
            bounds.min[axis] = std::min(bounds.min[axis], v);
            bounds.max[axis] = std::max(bounds.max[axis], v);
        }
        q[3] = 0;
    }
    return bounds;
}

void set_integer_bounds(gltf::Accessor& accessor, const IntegerBounds& bounds) {
    accessor.min.clear();
    accessor.max.clear();
    for (int axis = 0; axis < 3; ++axis) {
        accessor.min.push_back(gltf::Number::of_integer(bounds.min[axis]));
        accessor.max.push_back(gltf::Number::of_integer(bounds.max[axis]));
    }
}

void set_dequantization(gltf::Node& node, const PositionGrid& grid) {
    node.translation = {grid.origin[0], grid.origin[1], grid.origin[2]};
    node.scale = {grid.step[0], grid.step[1], grid.step[2]};
}

}  // namespace glbcore
