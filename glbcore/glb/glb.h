// A GLB file: the container (a 12-byte header, a JSON chunk and a BIN
// chunk, every length a little-endian 32-bit word, below 2 GiB), glTF 2.0
// documents described as plain records, their JSON text, and the writer that
// puts a document and its payload into the memory the caller hands out.
//
// The records: the builders of the public package describe their files with
// them instead of fixed templates, so that any number of primitives, nodes,
// materials and extensions can be written. Numbers are formatted with
// std::to_chars: the shortest text that reads back as the same value,
// independent of the locale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "glbcore.h"

namespace glbcore {

// ---- The container ------------------------------------------------------
constexpr std::uint32_t GLB_MAGIC = 0x46546C67;  // "glTF"
constexpr std::uint32_t GLB_VERSION = 2;
constexpr std::uint32_t CHUNK_TYPE_JSON = 0x4E4F534A;  // "JSON"
constexpr std::uint32_t CHUNK_TYPE_BIN = 0x004E4942;   // "BIN\0"
constexpr std::size_t GLB_HEADER_BYTES = 12;
constexpr std::size_t CHUNK_HEADER_BYTES = 8;
// Header, JSON chunk header and BIN chunk header.
constexpr std::size_t GLB_FIXED_BYTES = GLB_HEADER_BYTES + 2 * CHUNK_HEADER_BYTES;
static_assert(GLB_FIXED_BYTES == 28, "a GLB file has 28 bytes of fixed headers");

// Payloads and files must stay below 2^31 bytes: every length field of the
// container is 32 bits and many readers treat them as signed.
constexpr std::uint64_t GLB_SIZE_LIMIT = std::uint64_t{1} << 31;
constexpr const char* LENGTH_ERROR_MESSAGE = "cannot create std::vector larger than max_size()";

// Every chunk, and every element of the BIN chunk, starts on 4 bytes.
template <class Size>
constexpr Size round_up_to_4(Size n) {
    return (n + 3) & ~Size{3};
}

// Sizes of one file: L, J, P, B and the total, computed in 64 bits.
struct GlbLayout {
    std::uint64_t document_length = 0;    // L
    std::uint64_t json_chunk_length = 0;  // J: L rounded up to a multiple of 4
    std::uint64_t payload_length = 0;     // P
    std::uint64_t bin_chunk_length = 0;   // B: P rounded up to a multiple of 4
    bool bin_chunk = true;                // false: no BIN chunk at all (P = 0)
    std::uint64_t total = 0;              // 28 + J + B, or 20 + J without a BIN chunk
};

// The sizes of a file, not checked against the size limit. A file without
// a BIN chunk has an empty payload.
GlbLayout frame_layout(std::uint64_t document_length, std::uint64_t payload_length,
                       bool bin_chunk = true);

// Throws the length error when the payload or the file would reach 2^31 bytes.
void check_payload_size(std::uint64_t payload_length);
// frame_layout with a BIN chunk, refused with the length error when the
// payload or the file would reach 2^31 bytes.
GlbLayout glb_layout(std::uint64_t document_length, std::uint64_t payload_length);

// Writes header, JSON chunk (padded with spaces, which JSON ignores) and,
// unless the layout has none, the BIN chunk header and the BIN chunk's zero
// padding after the payload. Returns where the payload starts (the end of
// the file without a BIN chunk); the caller writes its P bytes there.
std::uint8_t* write_glb_frame(std::uint8_t* file, const GlbLayout& layout, const char* document);

// Joins a document and a payload into a complete GLB byte array.
GlbBytes assemble_glb(const char* document, std::size_t document_length,
                      const std::uint8_t* payload, std::size_t payload_length);

inline void store_u32_le(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value >> 16);
    at[3] = static_cast<std::uint8_t>(value >> 24);
}

// Copies n bytes where n may be 0 and the pointers null.
inline void copy_block(std::uint8_t* to, const void* from, std::size_t n) {
    if (n != 0) std::memcpy(to, from, n);
}

}  // namespace glbcore

namespace glbcore::gltf {

enum ComponentType : int {
    BYTE = 5120,
    UNSIGNED_BYTE = 5121,
    SHORT = 5122,
    UNSIGNED_SHORT = 5123,
    UNSIGNED_INT = 5125,
    FLOAT = 5126,
};

enum Target : int { NO_TARGET = 0, ARRAY_BUFFER = 34962, ELEMENT_ARRAY_BUFFER = 34963 };

enum Mode : int { POINTS = 0, TRIANGLES = 4 };

// A JSON number that keeps the precision it was made with: a float bound is
// written as the shortest text that reads back as that float, not as the
// longer text of the same value in double.
class Number {
public:
    static Number of_float(float value);
    static Number of_double(double value);
    static Number of_integer(std::int64_t value);
    // Appends the shortest round-trip text of the number.
    void append_to(std::string& text) const;

private:
    enum class Kind { f32, f64, i64 } kind_ = Kind::i64;
    float f32_ = 0;
    double f64_ = 0;
    std::int64_t i64_ = 0;
};

// The EXT_meshopt_compression fields of a compressed buffer view.
struct MeshoptStream {
    int buffer = 0;
    std::size_t byte_offset = 0;
    std::size_t byte_length = 0;
    std::uint32_t byte_stride = 0;
    std::size_t count = 0;
    const char* mode = "ATTRIBUTES";  // ATTRIBUTES, TRIANGLES or INDICES
    const char* filter = nullptr;     // nullptr writes no filter (NONE)
};

struct BufferView {
    int buffer = 0;
    std::size_t byte_offset = 0;
    std::size_t byte_length = 0;
    std::uint32_t byte_stride = 0;  // 0 writes none
    int target = NO_TARGET;
    std::optional<MeshoptStream> meshopt;
};

struct Accessor {
    int buffer_view = -1;
    std::size_t byte_offset = 0;
    int component_type = FLOAT;
    bool normalized = false;
    std::size_t count = 0;
    const char* type = "VEC3";
    std::vector<Number> min;  // empty writes none
    std::vector<Number> max;
};

using NamedIndices = std::vector<std::pair<std::string, int>>;

struct Primitive {
    NamedIndices attributes;  // in the order written
    int indices = -1;
    int material = -1;
    int mode = POINTS;
    std::vector<int> property_attributes;  // EXT_structural_metadata, when not empty
};

struct Mesh {
    std::string name;
    std::vector<Primitive> primitives;
};

struct Node {
    std::string name;
    int mesh = -1;
    std::vector<int> children;
    std::optional<std::array<double, 3>> translation;
    std::optional<std::array<double, 4>> rotation;
    std::optional<std::array<double, 3>> scale;
    NamedIndices instance_attributes;  // EXT_mesh_gpu_instancing, when not empty
    std::string extras;                // a JSON object's text, written as "extras"; empty: none
};

struct Material {
    std::string name;
    std::array<double, 4> base_color{1.0, 1.0, 1.0, 1.0};
    double metallic = 1.0;
    double roughness = 1.0;
    std::array<double, 3> emissive{0.0, 0.0, 0.0};
    bool double_sided = false;
    bool unlit = false;        // KHR_materials_unlit
    bool alpha_blend = false;  // alphaMode BLEND: the base colour's alpha is drawn
};

struct Buffer {
    std::size_t byte_length = 0;
    bool meshopt_fallback = false;  // no data of its own: EXT_meshopt_compression fills it
};

struct Document {
    std::vector<std::string> extensions_used;
    std::vector<std::string> extensions_required;
    std::vector<int> scene_nodes;
    std::vector<Node> nodes;
    std::vector<Mesh> meshes;
    std::vector<Material> materials;
    std::vector<Accessor> accessors;
    std::vector<BufferView> buffer_views;
    std::vector<Buffer> buffers;  // buffer 0 is the BIN chunk
    // The text of the EXT_structural_metadata object at the root; empty: none.
    std::string structural_metadata;

    int add_node(Node node);
    int add_mesh(Mesh mesh);
    int add_material(Material material);
    int add_accessor(Accessor accessor);
    int add_buffer_view(BufferView view);
    // Lists an extension once in extensionsUsed and, when required, in
    // extensionsRequired.
    void use_extension(const std::string& name, bool required);
};

// The document as compact JSON, asset and generator first.
std::string to_json(const Document& document);
// Appends `value` as a JSON string: quotes and backslashes escaped, control
// characters left out.
void append_json_string(std::string& text, const std::string& value);

// The BIN chunk's content: blocks back to back, each starting on 4 bytes
// (every glTF component type is at most 4 bytes wide). A block is filled by a
// function that writes all of its bytes; the gaps between blocks are zeros.
class Payload {
public:
    using Fill = std::function<void(std::uint8_t* block)>;
    // Reserves a block of `size` bytes and returns its offset in the chunk.
    std::size_t add(std::uint64_t size, Fill fill);
    std::uint64_t size() const { return size_; }
    // Writes every block and gap into [at, at + size()).
    void write(std::uint8_t* at) const;

private:
    struct Block {
        std::uint64_t offset;
        std::uint64_t size;
        Fill fill;
    };
    std::vector<Block> blocks_;
    std::uint64_t size_ = 0;
};

// Adds a block and a buffer view over it in one step; returns the view.
int add_view(Document& document, Payload& payload, std::uint64_t size, Payload::Fill fill,
             int target, std::uint32_t byte_stride = 0);

// Sets buffer 0 to the payload's size (or drops all buffers for an empty
// payload), checks that the file stays below 2 GiB, asks `out` for the exact
// file size and writes header, JSON chunk and, unless empty, the BIN chunk.
void write_glb(Document document, const Payload& payload, OutputBuffer& out);

// The size of the file write_glb would write, not checked against 2 GiB.
std::uint64_t glb_size(Document document, const Payload& payload);

}  // namespace glbcore::gltf
