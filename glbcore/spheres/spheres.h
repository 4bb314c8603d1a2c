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
//
// Close neighbours do not shrink a type: where a type's median lies below
// CLOSE_FRACTION of the typical spacing, the upper quartile of the nearest
// distances of all samples, its atoms take their nearest neighbour beyond
// that cut instead. Real atoms are not that close: the shortest bond, H-H
// at 0.74 A, is half of a C-C bond, while a TIP4P virtual site lies 0.15 A
// from its oxygen (a sixth of the O-H bond of the same water) and
// duplicated atoms at almost no distance. The quartile, not the median,
// sets the spacing, so that it holds while up to three quarters of the
// samples (TIP4P water's oxygens and sites: half) have such a partner; a
// type whose median passes the cut keeps it, so clouds without close
// pairs get the plain rule.
constexpr double RADIUS_FRACTION = 0.4;
constexpr double CLOSE_FRACTION = 0.25;
constexpr std::uint32_t RADIUS_SAMPLES = 1024;
constexpr std::uint32_t NEIGHBOUR_WINDOW = 32;
constexpr int SPHERE_SUBDIVISIONS = 2;

// The atoms grouped by palette entry (types beyond the palette form its last
// entry), each group in Morton order: a stable partition of the Morton
// order. The groups are not written out here: the file's blocks are filled
// from these straight.
struct TypeGroups {
    WorkingArray<std::uint32_t> order;    // Morton place -> atom
    WorkingArray<std::uint16_t> entries;  // Morton place -> palette entry
    std::vector<std::uint32_t> start;     // group e: [start[e], start[e + 1]), one per entry + 1
    // Where each work chunk's atoms of each group go: chunk c's first place
    // in group e is chunk_start[c * groups() + e].
    std::vector<std::uint32_t> chunk_start;
    // Morton places picked for the default radii, group after group, each
    // group's ascending: group e's are [sample_start[e], sample_start[e + 1]).
    // A place is picked by a hash of the place alone, so the pick is the
    // same whatever the work split.
    std::vector<std::uint32_t> samples;
    std::vector<std::uint32_t> sample_start;

    std::uint32_t groups() const { return static_cast<std::uint32_t>(start.size() - 1); }
    std::uint32_t size(std::uint32_t entry) const { return start[entry + 1] - start[entry]; }
};

// The work runs on threads that allocate nothing: every array is made first.
TypeGroups group_atoms_by_type(const float* positions, std::uint32_t count,
                               const std::uint16_t* types, const Palette& palette,
                               const double* grid_lo, const double* grid_hi,
                               const AtomPipelineOptions& options);

// The default radius of each palette entry, by the rule above.
std::vector<float> default_radii(const float* positions, const TypeGroups& groups);

void write_sphere_atom_scene(const AtomScene& scene, OutputBuffer& out);
// What write_sphere_atom_scene refuses before it reads an array, in its
// order: a box that is not finite, then float instance translations of
// 2 GiB or more.
//
// Compressed spheres store their instance translations as floats
// (EXT_mesh_gpu_instancing allows no other type) on a grid whose step is a
// power of two, at most the longest extent / (2^position_bits - 1): each
// coordinate is within half a step of the atom's, as the integer grid of
// compressed points. Every value of a grid holds the same exponent, so
// meshoptimizer's EXPONENTIAL filter stores it exactly in bits + 3 bits of
// mantissa and its codec compresses the differences along the curve as
// those of integers. The node "Atoms" translates the grid to the atoms; it
// scales (by a power of two) only where the grid's values would leave the
// float range, so radii stay as given.
void require_sphere_atom_scene_fits(const AtomScene& scene);

}  // namespace glbcore
