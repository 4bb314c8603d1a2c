// Internals of the GLB container shared by the three builders: the file
// layout, the document templates and locale-independent formatting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "glbcore.h"

namespace glbcore {

constexpr std::uint32_t GLB_MAGIC = 0x46546C67;       // "glTF"
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

// Bounds of any finite magnitude fit: a bound is at most 317 characters
// ("-", 309 digits, ".", 6 decimals), so six of them and the longest template
// stay below 3000 characters. The mesh documents never exceed 5812 characters.
constexpr std::size_t CLOUD_DOCUMENT_CAPACITY = 4096;
constexpr std::size_t MESH_DOCUMENT_CAPACITY = 8192;

extern const char POINT_CLOUD_TEMPLATE[];
extern const char ATOM_TEMPLATE[];
extern const char COLORED_MESH_TEMPLATE[];
extern const char UNCOLORED_MESH_TEMPLATE[];

// Fixed-capacity characters on the heap: a builder may run on a thread whose
// stack the host chose small, so no buffer of kilobytes goes on the stack.
class DocumentText {
public:
    explicit DocumentText(std::size_t capacity)
        : chars_(new char[capacity]), capacity_(capacity) {}
    char* data() const { return chars_.get(); }
    std::size_t size() const { return capacity_; }

private:
    std::unique_ptr<char[]> chars_;
    std::size_t capacity_;
};

// A formatted JSON document held in the call's own fixed buffer.
template <std::size_t Capacity>
struct Document {
    DocumentText text{Capacity};
    std::size_t length = 0;
};

// snprintf into `text`, with "." as the decimal point whatever locale the
// host process has set. Returns the document length; throws std::logic_error
// if it would not fit (the capacities above make that impossible).
std::size_t format_document(char* text, std::size_t capacity, const char* format, ...);

// Sizes of one file: L, J, P, B and the total, computed in 64 bits.
struct GlbLayout {
    std::uint64_t document_length = 0;  // L
    std::uint64_t json_chunk_length = 0;  // J: L rounded up to a multiple of 4
    std::uint64_t payload_length = 0;  // P
    std::uint64_t bin_chunk_length = 0;  // B: P rounded up to a multiple of 4
    std::uint64_t total = 0;  // 28 + J + B
};

// Throws the length error when the payload or the file would reach 2^31 bytes.
void check_payload_size(std::uint64_t payload_length);
GlbLayout glb_layout(std::uint64_t document_length, std::uint64_t payload_length);

// Writes header, JSON chunk (padded with spaces, which JSON ignores) and the
// BIN chunk header, and the BIN chunk's zero padding after the payload.
// Returns where the payload starts; the caller writes its P bytes there.
std::uint8_t* write_glb_frame(std::uint8_t* file, const GlbLayout& layout, const char* document);

// Joins a document and a payload into a complete GLB byte array.
GlbBytes assemble_glb(const char* document, std::size_t document_length,
                      const std::uint8_t* payload, std::size_t payload_length);

// Refuses a non-finite value with std::invalid_argument naming it, for
// example "vmin[2] = nan is not finite".
void require_finite(const double* values, std::size_t n, const char* name);
void require_finite(double value, const char* name);

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
