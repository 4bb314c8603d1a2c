// The attributes of the public builders' files and the checks of their
// values: POSITION with exact bounds (the float extremes of the points),
// COLOR_0 in the caller's storage type, smooth normals (scenes.h), the mesh
// material, the box of an atom cloud's Morton grid, the names of its
// palette, and the scene frame that puts float32 offsets back at their
// float64 origin, the right way up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "glb/glb.h"
#include "order/order.h"
#include "scenes.h"

namespace glbcore {

// The first of n rows of x y z that holds a NaN or an infinity, or n.
std::size_t first_non_finite_row(const float* positions, std::size_t n);

// The exact float extremes per axis of `count` rows of x y z at any address,
// in one pass: returns the first row that holds a NaN or an infinity (the
// extremes are then unspecified) or `count`. With no rows lo = +inf and
// hi = -inf. exact_extents (scenes.h) is this scan split over threads.
std::size_t scan_extents(const float* positions, std::size_t count, float* lo, float* hi);

// A POSITION accessor of `count` float points over a tightly packed view of
// the points copied unchanged. Its bounds are set afterwards, so that every
// size is known, and refused if too large, before any pass over the data.
int add_float_positions(gltf::Document& document, gltf::Payload& payload, const float* positions,
                        std::uint32_t count);
void set_bounds(gltf::Accessor& accessor, const Extents& extents);

// Refuses float colours outside [0, 1] (NaN included), naming the first bad
// element as "colors[row, column] = value is outside 0..1".
void require_unit_colors(const ColorArray& colors, std::uint32_t count);

// A COLOR_0 accessor of `count` colours in their own storage type; every
// element starts on 4 bytes, so 8- and 16-bit RGB rows are padded.
int add_colors(gltf::Document& document, gltf::Payload& payload, const ColorArray& colors,
               std::uint32_t count);

// The mesh material, refused with the factor's name when not finite, and
// its record.
void require_finite_material(const Material& m);
gltf::Material material_record(const Material& m);

// Refuses a caller's cell with a corner that is not finite, naming it.
void require_finite_box(const double* lo, const double* hi);

// The box an atom cloud's Morton curve is laid over: the caller's cell when
// given, the exact extents otherwise.
struct MortonGrid {
    double lo[3];
    double hi[3];
};
MortonGrid morton_grid(const AtomScene& scene, const Extents& extents);

// Puts every node of the scene under the root node of `frame` (scenes.h),
// when the frame has one and the scene is not empty. Called once a document's
// scene nodes are all added. Refuses a non-finite origin, naming it.
void add_scene_frame(gltf::Document& document, const SceneFrame& frame);

// Adds `primitive` as a mesh of its own under a node of the scene, both
// called `name`: the layout of every single-primitive file.
void add_scene_mesh(gltf::Document& document, const char* name, gltf::Primitive primitive);

// ---- Values per point (scenes.h's PointAttributes) -----------------------
// Refuses, naming the attribute ("attributes[name]: ..."), a name that is
// not an identifier or that collides with another in upper case, a null
// array, or components outside 1..4 (above 1 only for floats).
void require_valid_attributes(const PointAttributes& attributes);

// Bytes of one value and of one row as stored; every element starts on 4
// bytes, so rows are padded with zeros to attribute_stride.
std::uint32_t attribute_row_bytes(const PointAttribute& attribute);
std::uint32_t attribute_stride(const PointAttribute& attribute);

// "_" and the name in upper case: the glTF attribute's semantic.
std::string attribute_semantic(const char* name);

// The accessor of `count` rows of the attribute, without its view.
gltf::Accessor attribute_accessor(const PointAttribute& attribute, std::size_t count);

// Writes places [begin, end) of the attribute as padded rows of
// attribute_stride bytes at out: place j holds point order[j], or point j
// when `order` is null.
void gather_attribute_rows(const PointAttribute& attribute, const std::uint32_t* order,
                           std::uint32_t begin, std::uint32_t end, std::uint8_t* out);

// The extremes per component of n rows `stride` bytes apart: exact for
// integers; floats over their finite values only (none finite: no bounds).
struct AttributeBounds {
    double min[4];
    double max[4];
    bool any = false;
};
AttributeBounds scan_attribute_rows(const PointAttribute& attribute, const std::uint8_t* rows,
                                    std::size_t n, std::uint32_t stride);
// The accessor's min and max from `bounds` (none when !bounds.any), and the
// longest text such bounds can take, for a size twin.
void set_attribute_bounds(gltf::Accessor& accessor, const PointAttribute& attribute,
                          const AttributeBounds& bounds);
void set_longest_attribute_bounds(gltf::Accessor& accessor, const PointAttribute& attribute);

// One float-layout view and accessor per attribute, added to `primitive`
// with its property attribute. `order`, read when the payload is written,
// points at the order of the places (null, or a null order: the caller's).
// Returns the accessors, whose bounds the writer sets from the values
// (set_float_attribute_bounds) and a size twin at their longest.
std::vector<int> add_float_attributes(gltf::Document& document, gltf::Payload& payload,
                                      gltf::Primitive& primitive, const PointAttributes& attributes,
                                      std::uint32_t count,
                                      const std::uint32_t* const* order = nullptr);
void set_float_attribute_bounds(gltf::Document& document, const std::vector<int>& accessors,
                                const PointAttributes& attributes, std::uint32_t count);

// The schema and the one property attribute (index 0) of the attributes at
// the document's root, the extension declared as used. Nothing without
// attributes.
void describe_attributes(gltf::Document& document, const PointAttributes& attributes);

// The extras that name a caller's palette in its file (scenes.h's
// AtomPalette): {"atomTypes": [{"name": ..., "color": [r, g, b(, a)]}, ...]},
// one entry per row; empty for the default palette, which the file does not
// name.
std::string palette_extras(const Palette& palette);

}  // namespace glbcore
