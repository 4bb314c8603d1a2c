// A low-poly unit sphere for atoms drawn as GPU instances: the icosahedron
// with every triangle split into four, twice (162 vertices, 320 triangles).
#pragma once

#include <cstdint>
#include <vector>

namespace glbcore {

struct Icosphere {
    std::vector<float> positions;        // x y z per vertex, each at distance 1 from the origin
    std::vector<std::uint16_t> indices;  // three per triangle, counter-clockwise seen from outside
};

// The same vertices and triangles on every call: files do not depend on
// anything but their inputs. On a unit sphere the smooth normal of a vertex
// is its position, so `positions` serve as normals too.
Icosphere make_icosphere(int subdivisions);

}  // namespace glbcore
