// The icosphere: an icosahedron refined by splitting each triangle at its
// edge midpoints, every new vertex pushed out onto the unit sphere. Each edge
// midpoint is made once and shared by the two triangles of the edge, so the
// mesh stays closed and smooth normals need no welding.
#include "spheres/spheres.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <utility>

namespace glbcore {

namespace {

using Vertex = std::array<double, 3>;
using Triangle = std::array<std::uint16_t, 3>;

Vertex on_unit_sphere(const Vertex& v) {
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / length, v[1] / length, v[2] / length};
}

std::vector<Vertex> icosahedron_vertices() {
    const double phi = (1.0 + std::sqrt(5.0)) / 2.0;
    const std::vector<Vertex> corners = {
        {-1, phi, 0},  {1, phi, 0},  {-1, -phi, 0}, {1, -phi, 0}, {0, -1, phi},  {0, 1, phi},
        {0, -1, -phi}, {0, 1, -phi}, {phi, 0, -1},  {phi, 0, 1},  {-phi, 0, -1}, {-phi, 0, 1},
    };
    std::vector<Vertex> vertices;
    for (const Vertex& corner : corners) vertices.push_back(on_unit_sphere(corner));
    return vertices;
}

std::vector<Triangle> icosahedron_triangles() {
    return {{0, 11, 5},  {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
            {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
            {3, 8, 9},   {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
}

class Refinement {
public:
    explicit Refinement(std::vector<Vertex>& vertices) : vertices_(vertices) {}

    std::vector<Triangle> split(const std::vector<Triangle>& triangles) {
        std::vector<Triangle> finer;
        for (const Triangle& t : triangles) {
            const std::uint16_t ab = midpoint(t[0], t[1]);
            const std::uint16_t bc = midpoint(t[1], t[2]);
            const std::uint16_t ca = midpoint(t[2], t[0]);
            finer.push_back({t[0], ab, ca});
            finer.push_back({t[1], bc, ab});
            finer.push_back({t[2], ca, bc});
            finer.push_back({ab, bc, ca});
        }
        return finer;
    }

private:
    std::uint16_t midpoint(std::uint16_t a, std::uint16_t b) {
        const auto edge = std::minmax(a, b);
        const auto found = midpoints_.find(edge);
        if (found != midpoints_.end()) return found->second;
        const Vertex& p = vertices_[a];
        const Vertex& q = vertices_[b];
        vertices_.push_back(on_unit_sphere({p[0] + q[0], p[1] + q[1], p[2] + q[2]}));
        const auto index = static_cast<std::uint16_t>(vertices_.size() - 1);
        midpoints_.emplace(edge, index);
        return index;
    }

    std::vector<Vertex>& vertices_;
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint16_t> midpoints_;
};

}  // namespace

Icosphere make_icosphere(int subdivisions) {
    std::vector<Vertex> vertices = icosahedron_vertices();
    std::vector<Triangle> triangles = icosahedron_triangles();
    for (int level = 0; level < subdivisions; ++level) {
        Refinement refinement(vertices);  // midpoints of one level's edges only
        triangles = refinement.split(triangles);
    }
    Icosphere sphere;
    for (const Vertex& v : vertices) {
        for (double c : v) sphere.positions.push_back(static_cast<float>(c));
    }
    for (const Triangle& t : triangles)
        sphere.indices.insert(sphere.indices.end(), t.begin(), t.end());
    return sphere;
}

}  // namespace glbcore
