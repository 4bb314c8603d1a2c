// The builders behind the public Python package: the same files as the
// fixed-template builders of glbcore.h, but with exact bounds computed from
// the data, optional attributes and validated values. They are described with
// the glbcore::gltf records and written with gltf::write_glb.
//
// Caller contracts, beyond those of glbcore.h:
// - Every array holds at least the elements its count says, in row-major
//   order; counts are of rows (points, vertices, atoms), not of floats.
// - Invalid data is refused with std::invalid_argument naming the argument
//   and the first bad row, e.g. "positions[17] is not finite", before the
//   output is allocated. A file of 2 GiB or more is refused with
//   std::length_error.
// - Each scene writer has a *_scene_size twin that takes the same scene but
//   reads none of its arrays (their pointers only say whether an optional
//   array is given). It refuses what the writer refuses before the writer
//   reads an array, in the same order, so that a host can refuse a call
//   before it copies any argument. Otherwise it returns the most bytes the
//   file can take: the exact size but for the text of the numbers that the
//   values decide (the POSITION bounds), counted at their longest. A
//   compressed file, atoms drawn as spheres (whose nodes follow the types
//   present) and atoms with a caller's palette (whose names and colours
//   the file lists) have a size known only from the values: their twins
//   return none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "glbcore.h"

namespace glbcore {

// Colours as stored by the caller: float in [0, 1], or unsigned 8- or 16-bit
// integers read as normalised values. `components` is 3 (RGB) or 4 (RGBA).
enum class ColorType { float32, uint8, uint16 };
struct ColorArray {
    const void* data = nullptr;  // null: no colours
    ColorType type = ColorType::float32;
    std::uint32_t components = 4;
};

// Values per point besides position and colour (intensity, a class, a
// temperature): each written as the glTF attribute "_" + the name in upper
// case, in its own type, not normalised, and described by
// EXT_structural_metadata (one class "point", a property per attribute, one
// property attribute that every primitive of the points names). They travel
// with their points through every reordering of a layout; compressed files
// encode them as further meshopt streams, unchanged.
enum class AttributeType { int8, uint8, int16, uint16, float32 };
struct PointAttribute {
    const char* name = nullptr;  // [A-Za-z_][A-Za-z0-9_]*, unique in upper case
    const void* data = nullptr;  // one row of `components` values per point
    AttributeType type = AttributeType::float32;
    std::uint32_t components = 1;  // 1 to 4; above 1 only for float32
};
struct PointAttributes {
    const PointAttribute* items = nullptr;  // `count` of them
    std::uint32_t count = 0;
};

// The exact float extremes per axis of `count` points.
struct Extents {
    float min[3];
    float max[3];
};
// Throws std::invalid_argument "positions[i] is not finite" for the first
// row holding a NaN or an infinity.
Extents exact_extents(const float* positions, std::uint32_t count);

// ---- Coordinates far from zero --------------------------------------------
// float32 keeps about seven digits of a coordinate, not of the data's extent:
// at 4 million its step is 0.25. A caller that holds float64 positions far
// from zero stores them as float32 offsets from an origin and puts the origin
// back with a scene frame (below), so that each coordinate keeps float32
// precision of the extent instead.

// The float64 extremes per axis of `count` rows of x y z, in one pass split
// over `workers` threads (0: one per hardware thread, one below 100000
// rows). Returns false, the extremes then unspecified, when a value is NaN
// or infinite.
bool float64_extents(const double* positions, std::uint32_t count, double* lo, double* hi,
                     unsigned workers);

// out[i][axis] = float(positions[i][axis] - origin[axis]): the difference
// in float64, rounded once to float32 (to nearest). Split as float64_extents.
void float32_offsets(const double* positions, std::uint32_t count, const double* origin, float* out,
                     unsigned workers);

// Where the stored coordinates stand in the file's world: one root node above
// every node of the scene, which adds `origin` back to the stored offsets and,
// for z-up data, turns +z into glTF's +y (a rotation of -90 degrees about x).
// The data is not touched. With neither, no root node is written; an empty
// scene never gets one.
struct SceneFrame {
    std::optional<std::array<double, 3>> origin;  // in the data's own axes
    bool z_up = false;
};

// Unit normals per vertex: the sum of the face normals of the triangles that
// use the vertex, each weighted by the triangle's area, normalised. A vertex
// that no triangle of non-zero area uses gets (0, 0, 1). Indices must be
// below vertex_count.
void area_weighted_normals(const float* positions, std::uint32_t vertex_count,
                           const std::uint32_t* indices, std::uint32_t index_count, float* normals);

// The compressed web layout instead of float arrays: positions quantised to
// `position_bits`-bit integers over the exact bounds (KHR_mesh_quantization),
// every stream compressed with meshoptimizer's codecs
// (EXT_meshopt_compression), both required.
struct Compression {
    bool enabled = false;
    std::uint32_t position_bits = 14;  // 14..16: at most half a step of error
};

// The most threads a scene's build runs at once: 0 for one per hardware
// thread (for atoms and points, one below 100000 of them), 1 inside a
// caller that already keeps every processor busy. No effect on the file.
using WorkerLimit = unsigned;

// How atoms are drawn: as one POINTS primitive with colours, or as spheres,
// one GPU-instanced icosphere per palette type (EXT_mesh_gpu_instancing).
enum class AtomStyle { points, spheres };

// The colours of atom types: `count` rows (1 to 65536) of `components`
// linear floats in [0, 1], RGB (3) or RGBA (4); type t takes row
// min(t, count - 1). `names`, when given, holds one UTF-8 name per row.
// Without colours the atom builder's eight colours are used, and the file
// names no type. With them, the node "Atoms" lists every row in its extras,
// {"atomTypes": [{"name": ..., "color": [r, g, b(, a)]}, ...]} (unnamed
// rows as "type 3", the last as "type 7+"), sphere nodes and the materials
// of compressed points take the rows' names, and an alpha below 1 draws
// with alphaMode BLEND.
struct AtomPalette {
    const float* colors = nullptr;
    std::uint32_t count = 0;
    std::uint32_t components = 3;
    const char* const* names = nullptr;
};

struct AtomScene {
    const float* positions = nullptr;
    std::uint32_t count = 0;
    const std::uint16_t* types = nullptr;
    // The Morton grid; null corners use the exact extents of the positions.
    const double* box_lo = nullptr;
    const double* box_hi = nullptr;
    AtomStyle style = AtomStyle::points;
    // Sphere radii, positive: one per atom, or else a table indexed by type,
    // whose NaN entries, like types at or beyond radius_type_count, take the
    // default of spheres/spheres.h. Neither: the default for every type.
    const float* radius_per_atom = nullptr;
    const float* radius_per_type = nullptr;
    std::uint32_t radius_type_count = 0;
    // Every sphere radius, given or default, times this positive factor.
    float radius_scale = 1.0f;
    AtomPalette palette;
    // Per atom, in the caller's order; per instance for spheres.
    PointAttributes attributes;
    // Compressed points: one POINTS primitive per palette entry present (and
    // chunk), each with an unlit material of that colour and no COLOR_0.
    // Compressed spheres: float instance translations on a grid of a power
    // of two step, through meshoptimizer's EXPONENTIAL filter, and compressed.
    Compression compression;
    WorkerLimit workers = 0;
    SceneFrame frame;
};
// Atoms in Morton order over the grid, coloured by type from the palette of
// the atom builder; POSITION bounds are the exact extremes. As spheres, each
// type's instances are its atoms in that order.
void write_atom_scene(const AtomScene& scene, OutputBuffer& out);
std::optional<std::size_t> atom_scene_size(const AtomScene& scene);

// Working memory that a caller writing many compressed point files, one
// after another, lends to each write so that it is not fresh memory every
// time: fresh memory costs page faults, and on some workers (Dask's) every
// large array is fresh. A write on one thread takes its arrays from here,
// growing them as needed. Lent to one write at a time.
class PointWriteScratch {
public:
    PointWriteScratch();
    ~PointWriteScratch();
    PointWriteScratch(const PointWriteScratch&) = delete;
    PointWriteScratch& operator=(const PointWriteScratch&) = delete;

    struct Arrays;
    Arrays& arrays() { return *arrays_; }

private:
    std::unique_ptr<Arrays> arrays_;
};

struct PointCloudScene {
    const float* positions = nullptr;
    std::uint32_t count = 0;
    ColorArray colors;  // no COLOR_0 without data
    PointAttributes attributes;
    // Compressed: the points go in Morton order over their exact extents
    // (the codec encodes differences between neighbours), unless
    // keep_input_order; COLOR_0 becomes normalised RGBA8; one position step
    // on all axes, that of the longest extent.
    Compression compression;
    bool keep_input_order = false;
    WorkerLimit workers = 0;
    PointWriteScratch* scratch = nullptr;  // lent working memory, or none
    SceneFrame frame;
};
void write_point_cloud_scene(const PointCloudScene& scene, OutputBuffer& out);
std::optional<std::size_t> point_cloud_scene_size(const PointCloudScene& scene);

struct MeshScene {
    const float* positions = nullptr;
    std::uint32_t vertex_count = 0;
    const float* normals = nullptr;  // null: area-weighted normals are computed
    const std::uint32_t* indices = nullptr;
    std::uint32_t index_count = 0;  // a multiple of 3, each index below vertex_count
    ColorArray colors;
    PointAttributes attributes;  // per vertex
    Material material;
    // Compressed: vertices and triangles reordered for the vertex cache and
    // for fetch (vertices no triangle uses go last), normals as octahedral
    // bytes, a uniform position scale so normals keep their directions.
    Compression compression;
    WorkerLimit workers = 0;
    SceneFrame frame;
};
void write_mesh_scene(const MeshScene& scene, OutputBuffer& out);
std::optional<std::size_t> mesh_scene_size(const MeshScene& scene);

}  // namespace glbcore
