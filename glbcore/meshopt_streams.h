// EXT_meshopt_compression streams: encoding with meshoptimizer's codecs and
// the buffer views that declare them. Shared by every compact builder, and
// meant for any other writer of compressed attributes (instance transforms,
// tiles of points).
//
// Layout of a file that uses these views: the compressed streams lie in
// buffer 0 (the BIN chunk), each starting on 4 bytes; buffer 1 is the
// extension's fallback buffer, without data, holding a parent view of
// stride * count bytes per stream where a decoder places the decoded
// elements. The extension is listed as used and required.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "gltf_model.h"

namespace glbcore {

// What a decoder must undo after the codec; the data is stored filtered.
enum class MeshoptFilter { none, octahedral };

// One encoded stream and the fields its view declares. The bytes stay where
// the encoder wrote them (copying them into fresh memory would cost a page
// fault per 4 KiB); `data` shares ownership of that storage.
struct MeshoptEncoded {
    std::shared_ptr<const std::uint8_t> data;
    std::size_t size = 0;  // bytes of the stream
    std::size_t count = 0;         // elements (indices for TRIANGLES)
    std::uint32_t stride = 0;      // bytes per element
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

// Puts `stream` into the payload and a parent view for it into the fallback
// buffer (created on first use); declares EXT_meshopt_compression. Returns
// the view's index. Attribute views carry the stride; index views none.
int add_meshopt_view(gltf::Document& document, gltf::Payload& payload, MeshoptEncoded stream,
                     int target);

// encode_attributes and add_meshopt_view in one step, for an ARRAY_BUFFER.
int add_meshopt_attribute(gltf::Document& document, gltf::Payload& payload, const void* data,
                          std::size_t count, std::uint32_t stride,
                          MeshoptFilter filter = MeshoptFilter::none);

}  // namespace glbcore
