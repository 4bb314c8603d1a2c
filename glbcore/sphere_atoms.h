// Atoms drawn as spheres: one node per palette type present, whose mesh is a
// small sphere drawn once per atom with EXT_mesh_gpu_instancing.
#pragma once

#include <array>
#include <cstdint>

#include "atom_pipeline.h"
#include "scenes.h"

namespace glbcore {

// The default radius of a palette type: RADIUS_FRACTION of the median, over
// up to RADIUS_SAMPLES atoms of the type spread along the Morton curve, of
// the distance to the nearest other atom (of any type) among the
// NEIGHBOUR_WINDOW atoms before and after it on the curve. Atoms at distance
// zero do not count. A type without any such distance takes the median of
// all samples, and 1 when there is none at all (a lone atom).
constexpr double RADIUS_FRACTION = 0.4;
constexpr std::uint32_t RADIUS_SAMPLES = 1024;
constexpr std::uint32_t NEIGHBOUR_WINDOW = 16;
constexpr int SPHERE_SUBDIVISIONS = 2;

// The atoms grouped by palette entry (types 7 and above form entry 7), each
// group in Morton order: a stable partition of the Morton order.
struct TypeGroups {
    WorkingArray<std::uint32_t> order;   // Morton place -> atom
    WorkingArray<std::uint32_t> places;  // group 0's Morton places, then group 1's, ...
    std::array<std::uint32_t, PALETTE_SIZE + 1> start{};  // group e: places[start[e], start[e+1])

    std::uint32_t size(std::uint32_t entry) const { return start[entry + 1] - start[entry]; }
    std::uint32_t atom(std::uint32_t k) const { return order[places[k]]; }
};

TypeGroups group_atoms_by_type(const float* positions, std::uint32_t count,
                               const std::uint16_t* types, const double* grid_lo,
                               const double* grid_hi, const AtomPipelineOptions& options);

// The default radius of each palette entry, by the rule above.
std::array<float, PALETTE_SIZE> default_radii(const float* positions, const TypeGroups& groups);

void write_sphere_atom_scene(const AtomScene& scene, OutputBuffer& out);

}  // namespace glbcore
