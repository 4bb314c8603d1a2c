// Atoms drawn as spheres: one node per palette type present, whose mesh is a
// small sphere drawn once per atom with EXT_mesh_gpu_instancing, and the
// default radius of each type.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "order/order.h"
#include "scenes.h"

namespace glbcore {

// A low-poly unit sphere for atoms drawn as GPU instances: the icosahedron
// with every triangle split into four, twice (162 vertices, 320 triangles).
struct Icosphere {
    std::vector<float> positions;        // x y z per vertex, each at distance 1 from the origin
    std::vector<std::uint16_t> indices;  // three per triangle, counter-clockwise seen from outside
};

// The same vertices and triangles on every call: files do not depend on
// anything but their inputs. On a unit sphere the smooth normal of a vertex
// is its position, so `positions` serve as normals too.
Icosphere make_icosphere(int subdivisions);

// The default radius of a palette type: RADIUS_FRACTION of the lower
// median, over about RADIUS_SAMPLES atoms of the type picked along the Morton
// curve, of the distance to the nearest other atom (of any type) among the
// NEIGHBOUR_WINDOW atoms before and after it on the curve: the nearest
// neighbour when it lies that close on the curve, a slightly farther one
// otherwise, so the rule errs towards larger balls. Atoms at distance zero do
// not count. A type without any such distance takes the median of all
// samples, and 1 when there is none at all (a lone atom).
constexpr double RADIUS_FRACTION = 0.4;
constexpr std::uint32_t RADIUS_SAMPLES = 1024;
constexpr std::uint32_t NEIGHBOUR_WINDOW = 32;
constexpr int SPHERE_SUBDIVISIONS = 2;

using EntryCounts = std::array<std::uint32_t, PALETTE_SIZE>;

// The atoms grouped by palette entry (types 7 and above form entry 7), each
// group in Morton order: a stable partition of the Morton order. The groups
// are not written out here: the file's blocks are filled from these straight.
struct TypeGroups {
    WorkingArray<std::uint32_t> order;                    // Morton place -> atom
    WorkingArray<std::uint8_t> entries;                   // Morton place -> palette entry
    std::array<std::uint32_t, PALETTE_SIZE + 1> start{};  // group e: [start[e], start[e+1])
    std::vector<EntryCounts> chunk_start;  // where each work chunk's atoms of each group go
    // Morton places picked for the default radii, per group: a place is
    // picked by a hash of the place alone, so the pick is the same whatever
    // the work split.
    std::array<std::vector<std::uint32_t>, PALETTE_SIZE> samples;

    std::uint32_t size(std::uint32_t entry) const { return start[entry + 1] - start[entry]; }
};

TypeGroups group_atoms_by_type(const float* positions, std::uint32_t count,
                               const std::uint16_t* types, const double* grid_lo,
                               const double* grid_hi, const AtomPipelineOptions& options);

// The default radius of each palette entry, by the rule above.
std::array<float, PALETTE_SIZE> default_radii(const float* positions, const TypeGroups& groups);

void write_sphere_atom_scene(const AtomScene& scene, OutputBuffer& out);
// What write_sphere_atom_scene refuses before it reads an array, in its
// order: a box that is not finite, then float instance translations of
// 2 GiB or more.
void require_sphere_atom_scene_fits(const AtomScene& scene);

}  // namespace glbcore
