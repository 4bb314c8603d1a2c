// Compressed files: positions quantised to 16-bit integers over their exact
// bounds (KHR_mesh_quantization) and every stream encoded with
// meshoptimizer's codecs (EXT_meshopt_compression), both required; the
// compressed layouts of atoms, point clouds and meshes built from them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "glb/glb.h"
#include "morton/morton.h"
#include "scenes.h"

namespace glbcore {

// ---- Quantised positions ------------------------------------------------
// Quantised positions for compressed files (KHR_mesh_quantization): unsigned
// 16-bit integers over a grid laid on the exact bounds, dequantised by the
// translation and scale of the node that holds the mesh.
//
// Error bound: a stored integer q stands for origin + step * q, and q is the
// nearest grid point, so every coordinate is off by at most step / 2, where
// step = extent / (2^bits - 1) per axis (the largest extent for a uniform
// grid). 14 bits over a 100 nm box: at most 0.0031 nm. Readers add their own
// float rounding when they apply the node transform.
constexpr std::uint32_t MIN_POSITION_BITS = 14;
constexpr std::uint32_t MAX_POSITION_BITS = 16;
// Each position is x y z and one zero, so that every element starts on 4 bytes.
constexpr std::uint32_t QUANTIZED_POSITION_STRIDE = 8;

struct PositionGrid {
    double origin[3];  // the node's translation: the exact minimum per axis
    double step[3];    // the node's scale; an axis of zero extent gets step 1
    std::uint32_t bits;
};

// The grid over `extents` with 2^bits - 1 steps along each axis, or along the
// longest axis with the same step on all three when `uniform` (needed when
// normals must keep their directions). Throws std::invalid_argument for a
// bit count outside 14..16.
PositionGrid position_grid(const Extents& extents, std::uint32_t bits, bool uniform);

// The smallest and largest integer stored per axis: the POSITION bounds.
struct IntegerBounds {
    std::uint16_t min[3];
    std::uint16_t max[3];
};

// One point at a time onto a grid: the integers of quantize_positions.
class PointQuantizer {
public:
    explicit PointQuantizer(const PositionGrid& grid);
    // Writes x y z 0 of the point p at q.
    void operator()(const float* p, std::uint16_t* q) const {
        float xyz[3];
        std::memcpy(xyz, p, sizeof xyz);  // callers' points may start at any address
        for (int axis = 0; axis < 3; ++axis) {
            // Points lie inside the exact extents; the clamp only guards the
            // last rounding of the inverse step.
            const double t = (xyz[axis] - origin_[axis]) * inverse_[axis];
            q[axis] = static_cast<std::uint16_t>(std::clamp(t, 0.0, top_) + 0.5);
        }
        q[3] = 0;
    }

private:
    double origin_[3];
    double inverse_[3];
    double top_;
};

// Writes output places [begin, end) as 4 u16 each (x y z 0) at out[0..]:
// place j holds point order[j], or point j when `order` is null. Returns
// the integer extremes written (begin < end).
IntegerBounds quantize_positions(const float* positions, const std::uint32_t* order,
                                 std::size_t begin, std::size_t end, const PositionGrid& grid,
                                 std::uint16_t* out);

// The integer extremes of n rows of 4 u16 (x y z 0), n > 0.
IntegerBounds integer_bounds(const std::uint16_t* rows, std::size_t n);

// POSITION bounds of a quantised accessor: the exact integers stored.
void set_integer_bounds(gltf::Accessor& accessor, const IntegerBounds& bounds);

// The node transform that turns stored integers back into coordinates.
void set_dequantization(gltf::Node& node, const PositionGrid& grid);

// ---- meshoptimizer streams ----------------------------------------------
// EXT_meshopt_compression streams: encoding with meshoptimizer's codecs and
// the buffer views that declare them. Shared by every compressed layout, and
// meant for any other writer of compressed attributes (instance transforms,
// tiles of points).
//
// Layout of a file that uses these views: the compressed streams lie in
// buffer 0 (the BIN chunk), each starting on 4 bytes; buffer 1 is the
// extension's fallback buffer, without data, holding a parent view of
// stride * count bytes per stream where a decoder places the decoded
// elements. The extension is listed as used and required.

// What a decoder must undo after the codec; the data is stored filtered.
enum class MeshoptFilter { none, octahedral, exponential };

// One encoded stream and the fields its view declares. The bytes stay where
// the encoder wrote them (copying them into fresh memory would cost a page
// fault per 4 KiB); `data` shares ownership of that storage.
struct MeshoptEncoded {
    std::shared_ptr<const std::uint8_t> data;
    std::size_t size = 0;      // bytes of the stream
    std::size_t count = 0;     // elements (indices for TRIANGLES)
    std::uint32_t stride = 0;  // bytes per element
    const char* mode = "ATTRIBUTES";
    MeshoptFilter filter = MeshoptFilter::none;
};

// `count` elements of `stride` bytes (a multiple of 4, at most 256) with the
// vertex codec, format version 0: the only one the extension allows. The
// codec encodes differences between neighbouring elements, so spatially
// ordered data compresses best. Thread-safe.
MeshoptEncoded encode_attributes(const void* data, std::size_t count, std::uint32_t stride,
                                 MeshoptFilter filter = MeshoptFilter::none);

// The most bytes encode_attributes can write for `count` elements of `stride`.
std::size_t attribute_stream_bound(std::size_t count, std::uint32_t stride);

// encode_attributes into `storage`, which has room for
// attribute_stream_bound(count, stride) bytes and which the stream shares:
// many streams can lie in one large (huge-page advised) block.
MeshoptEncoded encode_attributes_into(std::shared_ptr<std::uint8_t> storage, const void* data,
                                      std::size_t count, std::uint32_t stride,
                                      MeshoptFilter filter = MeshoptFilter::none);

// Triangle indices (a multiple of 3, each below vertex_count) with the index
// codec, stored as 16-bit indices when vertex_count <= 65536 and 32-bit
// otherwise; the codec may rotate a triangle's corners, never its winding.
MeshoptEncoded encode_triangles(const std::uint32_t* indices, std::size_t index_count,
                                std::size_t vertex_count);

// Unit normals (x y z floats) as the octahedral filter's signed bytes,
// 4 per element (the fourth is 127, the filter's w), ready for
// encode_attributes(..., 4, MeshoptFilter::octahedral) and read back as a
// normalised BYTE VEC3 accessor of stride 4.
void octahedral_normals(const float* normals, std::size_t count, std::int8_t* out);

// Floats as the EXPONENTIAL filter's 32-bit words (meshoptimizer's
// encoder): each element of stride / 4 floats shares the exponent of its
// largest value, and every value keeps `bits` (1..24) signed bits of
// mantissa at that exponent. An element whose values are integers below
// 2^(bits - 1) times one power of two, and at least 2^(bits - 2) times it,
// is stored exactly. Ready for encode_attributes(..., stride,
// MeshoptFilter::exponential) and read back as FLOAT.
void exponential_filter(const float* values, std::size_t count, std::uint32_t stride, int bits,
                        std::uint32_t* out);

// Puts `stream` into the payload and a parent view for it into the fallback
// buffer (created on first use); declares EXT_meshopt_compression. Returns
// the view's index. Attribute views carry the stride; index views none.
int add_meshopt_view(gltf::Document& document, gltf::Payload& payload, MeshoptEncoded stream,
                     int target);

// encode_attributes and add_meshopt_view in one step, for an ARRAY_BUFFER.
int add_meshopt_attribute(gltf::Document& document, gltf::Payload& payload, const void* data,
                          std::size_t count, std::uint32_t stride,
                          MeshoptFilter filter = MeshoptFilter::none);

// ---- Compressed points --------------------------------------------------
// Compressed POINTS primitives, shared by the compressed atom and point-cloud
// builders and meant for other writers of compressed points (tiles):
// quantised positions and, optionally, RGBA8 colours, cut into chunks that
// are encoded in parallel and each written as its own primitive with exact
// integer bounds, so viewers can cull chunk by chunk.
//
// Chunks depend only on the runs, never on the number of workers, and each
// chunk is encoded on its own: the file is the same for every worker count.

// A run of more points is cut into ceil(n / CHUNK_POINTS) chunks of equal
// size (within one point), so no chunk has more than CHUNK_POINTS points
// and, for runs above it, none has fewer than half. Refined chunks move
// their start to the next cell's: by the points of one cell, a few at most
// unless the points pile up.
constexpr std::uint32_t CHUNK_POINTS = 1u << 18;

struct CompressedPoints {
    const float* positions = nullptr;
    // Output place j holds point order[j]; null: place j holds point j.
    const std::uint32_t* order = nullptr;
    ColorArray colors;  // no data: no COLOR_0
    // Each a further stream of its rows (padded to 4 bytes) in the places'
    // order, unchanged; every primitive names property attribute 0, which
    // the caller describes (describe_attributes).
    PointAttributes attributes;
    // With `order` the Morton order over this box: each run of points that
    // share a cell is put in the finer order (morton/morton.h), and chunks
    // then start only where such a run starts. Null: the order as given.
    const FineMorton* refine = nullptr;
    // Place j already quantised on `grid` at quantized + 4j (x y z 0):
    // positions and refine are then not read, and order only for colours.
    const std::uint16_t* quantized = nullptr;
    PositionGrid grid;
    unsigned workers = 0;                  // 0: one per hardware thread
    PointWriteScratch* scratch = nullptr;  // used when the chunks run on one thread
};

// Output places [begin, end), drawn with `material` (-1: none).
struct PointRun {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    int material = -1;
};

// The chunks of a run, as runs with the run's material.
std::vector<PointRun> split_into_chunks(const PointRun& run);

// Appends one POINTS primitive per chunk of every run to `mesh`, in the
// order of the runs: POSITION as u16 (stride 8), COLOR_0 as normalised
// RGBA8 (stride 4) and the attributes, all compressed. The node holding the mesh needs
// set_dequantization(node, points.grid); the caller declares
// KHR_mesh_quantization.
void add_compressed_point_chunks(gltf::Document& document, gltf::Payload& payload, gltf::Mesh& mesh,
                                 const CompressedPoints& points, const std::vector<PointRun>& runs);

// Colours of output places [begin, end) as RGBA8 (alpha 255 for RGB):
// floats rounded to the nearest of 0..255, 16-bit values to the nearest
// 8-bit one, so each is within half of 1/255 of the value given.
void gather_rgba8(const ColorArray& colors, const std::uint32_t* order, std::uint32_t begin,
                  std::uint32_t end, std::uint8_t* out);

// ---- The compressed layouts ---------------------------------------------
// The compressed layouts of the public builders, chosen by
// scene.compression.enabled in write_atom_scene, write_point_cloud_scene
// and write_mesh_scene. Same caller contracts and refusals as scenes.h; a
// position bit count outside 14..16 is refused with std::invalid_argument.
//
// Every file is glTF 2.0 with KHR_mesh_quantization and
// EXT_meshopt_compression, both required: POSITION as unsigned 16-bit
// integers (stride 8) whose bounds are the integers stored, dequantised by
// the translation and scale of the one node (see Quantised positions above for the error).

// Atoms in Morton order (as write_atom_scene), grouped by palette entry
// (types 7 and above share entry 7) with the Morton order kept inside each
// group: one POINTS primitive per chunk of a group, drawn with an unlit
// material (KHR_materials_unlit) whose base colour is the entry's.
void write_compressed_atom_scene(const AtomScene& scene, OutputBuffer& out);

// Points in the fine Morton order (morton/morton.h) over the cube on their
// exact extents (or as given, with keep_input_order), one POINTS primitive
// per chunk, colours as normalised RGBA8. Positions use one step on all
// axes (that of the longest extent).
void write_compressed_point_cloud_scene(const PointCloudScene& scene, OutputBuffer& out);

// One TRIANGLES primitive, reordered by meshoptimizer's vertex-cache and
// vertex-fetch optimisers; NORMAL as octahedral-filtered signed bytes,
// COLOR_0 as RGBA8, indices by the triangle codec (16-bit up to 65536
// vertices).
void write_compressed_mesh_scene(const MeshScene& scene, OutputBuffer& out);

}  // namespace glbcore
