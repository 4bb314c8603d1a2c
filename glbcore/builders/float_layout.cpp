// The size of a planned float layout, whatever its bounds turn out to be.
#include "attributes/attributes.h"
#include "builders/builders.h"

namespace glbcore {

namespace {

// A float whose shortest round-trip text is as long as any float's: the
// shorter of fixed and scientific notation takes at most a sign, the nine
// significant digits a float needs, a point and a two-digit exponent.
constexpr float LONGEST_TEXT_FLOAT = -1.00303895e-36f;

}  // namespace

std::size_t largest_size(FloatLayout layout) {
    if (layout.position >= 0) {
        Extents longest;
        for (int axis = 0; axis < 3; ++axis) {
            longest.min[axis] = longest.max[axis] = LONGEST_TEXT_FLOAT;
        }
        set_bounds(layout.document.accessors[layout.position], longest);
    }
    return static_cast<std::size_t>(gltf::glb_size(std::move(layout.document), layout.payload));
}

}  // namespace glbcore
