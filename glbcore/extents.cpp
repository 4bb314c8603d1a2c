// Exact bounds: the float extremes of the points per axis, which readers
// compare bit for bit with the POSITION accessor's min and max.
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "scenes.h"

namespace glbcore {

namespace {

[[noreturn]] void refuse_non_finite_row(std::uint32_t row) {
    throw std::invalid_argument("positions[" + std::to_string(row) +
                                "] is not finite (NaN or infinity)");
}

}  // namespace

Extents exact_extents(const float* positions, std::uint32_t count) {
    Extents e{};
    if (count == 0) return e;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(positions);
    float p[3];
    std::memcpy(p, bytes, sizeof p);
    for (int axis = 0; axis < 3; ++axis) e.min[axis] = e.max[axis] = p[axis];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::memcpy(p, bytes + 12 * std::size_t{i}, sizeof p);
        // x - x is NaN exactly when x is NaN or infinite.
        if (std::isnan((p[0] - p[0]) + (p[1] - p[1]) + (p[2] - p[2]))) refuse_non_finite_row(i);
        for (int axis = 0; axis < 3; ++axis) {
            e.min[axis] = p[axis] < e.min[axis] ? p[axis] : e.min[axis];
            e.max[axis] = p[axis] > e.max[axis] ? p[axis] : e.max[axis];
        }
    }
    return e;
}

}  // namespace glbcore
