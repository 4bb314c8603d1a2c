// Positions to 16-bit grid integers, and the records that undo it.
#include "compressed/compressed.h"

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

PointQuantizer::PointQuantizer(const PositionGrid& grid)
    : top_(static_cast<double>((1u << grid.bits) - 1)) {
    for (int axis = 0; axis < 3; ++axis) {
        origin_[axis] = grid.origin[axis];
        inverse_[axis] = 1.0 / grid.step[axis];
    }
}

IntegerBounds quantize_positions(const float* positions, const std::uint32_t* order,
                                 std::size_t begin, std::size_t end, const PositionGrid& grid,
                                 std::uint16_t* out) {
    const PointQuantizer quantize(grid);
    IntegerBounds bounds{{0xffff, 0xffff, 0xffff}, {0, 0, 0}};
    for (std::size_t j = begin; j < end; ++j) {
        // Points in a new order are fetched from all over memory: ask for
        // them well ahead, or each one waits for its cache miss.
        if (order && j + PREFETCH_DISTANCE < end) {
            __builtin_prefetch(positions + 3 * std::size_t{order[j + PREFETCH_DISTANCE]});
        }
        std::uint16_t* q = out + 4 * (j - begin);
        quantize(positions + 3 * std::size_t{order ? order[j] : j}, q);
        for (int axis = 0; axis < 3; ++axis) {
            bounds.min[axis] = std::min(bounds.min[axis], q[axis]);
            bounds.max[axis] = std::max(bounds.max[axis], q[axis]);
        }
    }
    return bounds;
}

IntegerBounds integer_bounds(const std::uint16_t* rows, std::size_t n) {
    IntegerBounds bounds{{0xffff, 0xffff, 0xffff}, {0, 0, 0}};
    for (std::size_t j = 0; j < n; ++j) {
        for (int axis = 0; axis < 3; ++axis) {
            bounds.min[axis] = std::min(bounds.min[axis], rows[4 * j + axis]);
            bounds.max[axis] = std::max(bounds.max[axis], rows[4 * j + axis]);
        }
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
