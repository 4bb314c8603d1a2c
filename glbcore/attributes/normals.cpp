// Smooth vertex normals of an indexed triangle mesh: area-weighted sums of
// face normals. The cross product of two edges is the face normal scaled by
// twice the area, so summing unnormalised cross products weights by area.
#include <cmath>
#include <cstring>
#include <vector>

#include "scenes.h"

namespace glbcore {

namespace {

struct Vec3 {
    double x, y, z;
};

Vec3 load_vertex(const float* positions, std::uint32_t v) {
    float p[3];
    std::memcpy(p, reinterpret_cast<const std::uint8_t*>(positions) + 12 * std::size_t{v}, 12);
    return Vec3{p[0], p[1], p[2]};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return Vec3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace

void area_weighted_normals(const float* positions, std::uint32_t vertex_count,
                           const std::uint32_t* indices, std::uint32_t index_count,
                           float* normals) {
    // Sums in double, one triangle after the other: the same inputs give the
    // same normals bit for bit.
    std::vector<double> sums(3 * std::size_t{vertex_count}, 0.0);
    const auto* index_bytes = reinterpret_cast<const std::uint8_t*>(indices);
    for (std::uint32_t t = 0; t + 2 < index_count; t += 3) {
        std::uint32_t v[3];
        std::memcpy(v, index_bytes + 4 * std::size_t{t}, sizeof v);
        const Vec3 a = load_vertex(positions, v[0]);
        const Vec3 b = load_vertex(positions, v[1]);
        const Vec3 c = load_vertex(positions, v[2]);
        const Vec3 n =
            cross(Vec3{b.x - a.x, b.y - a.y, b.z - a.z}, Vec3{c.x - a.x, c.y - a.y, c.z - a.z});
        for (const std::uint32_t vertex : v) {
            sums[3 * std::size_t{vertex}] += n.x;
            sums[3 * std::size_t{vertex} + 1] += n.y;
            sums[3 * std::size_t{vertex} + 2] += n.z;
        }
    }
    for (std::uint32_t i = 0; i < vertex_count; ++i) {
        const double* s = &sums[3 * std::size_t{i}];
        const double length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        float n[3] = {0.0f, 0.0f, 1.0f};
        if (length > 0 && std::isfinite(length)) {
            for (int k = 0; k < 3; ++k) n[k] = static_cast<float>(s[k] / length);
        }
        std::memcpy(reinterpret_cast<std::uint8_t*>(normals) + 12 * std::size_t{i}, n, 12);
    }
}

}  // namespace glbcore
