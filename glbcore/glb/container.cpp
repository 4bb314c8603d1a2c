// The GLB container: a 12-byte header, a JSON chunk and a BIN chunk, every
// multi-byte field a little-endian 32-bit word.
#include <stdexcept>

#include "glb/glb.h"

namespace glbcore {

std::uint8_t* VectorOutput::allocate(std::size_t size) {
    // Every byte is written by the builder; the zero-fill here is the
    // vector's, and costs a pass only on this copying path.
    bytes_.resize(size);
    return bytes_.data();
}

void check_payload_size(std::uint64_t payload_length) {
    if (payload_length >= GLB_SIZE_LIMIT) throw std::length_error(LENGTH_ERROR_MESSAGE);
}

GlbLayout frame_layout(std::uint64_t document_length, std::uint64_t payload_length,
                       bool bin_chunk) {
    GlbLayout layout;
    layout.document_length = document_length;
    layout.json_chunk_length = round_up_to_4(document_length);
    layout.payload_length = payload_length;
    layout.bin_chunk_length = round_up_to_4(payload_length);
    layout.bin_chunk = bin_chunk;
    layout.total = GLB_HEADER_BYTES + CHUNK_HEADER_BYTES + layout.json_chunk_length +
                   (bin_chunk ? CHUNK_HEADER_BYTES + layout.bin_chunk_length : 0);
    return layout;
}

GlbLayout glb_layout(std::uint64_t document_length, std::uint64_t payload_length) {
    check_payload_size(payload_length);
    const GlbLayout layout = frame_layout(document_length, payload_length);
    if (layout.total >= GLB_SIZE_LIMIT) throw std::length_error(LENGTH_ERROR_MESSAGE);
    return layout;
}

std::uint8_t* write_glb_frame(std::uint8_t* file, const GlbLayout& layout, const char* document) {
    const auto json_length = static_cast<std::size_t>(layout.json_chunk_length);
    const auto doc_length = static_cast<std::size_t>(layout.document_length);
    store_u32_le(file + 0, GLB_MAGIC);
    store_u32_le(file + 4, GLB_VERSION);
    store_u32_le(file + 8, static_cast<std::uint32_t>(layout.total));
    store_u32_le(file + 12, static_cast<std::uint32_t>(json_length));
    store_u32_le(file + 16, CHUNK_TYPE_JSON);
    std::uint8_t* json = file + GLB_HEADER_BYTES + CHUNK_HEADER_BYTES;
    copy_block(json, document, doc_length);
    // JSON pads with spaces, which parsers skip; BIN pads with zero bytes.
    std::memset(json + doc_length, ' ', json_length - doc_length);
    std::uint8_t* bin_header = json + json_length;
    if (!layout.bin_chunk) return bin_header;  // the end of the file
    store_u32_le(bin_header, static_cast<std::uint32_t>(layout.bin_chunk_length));
    store_u32_le(bin_header + 4, CHUNK_TYPE_BIN);
    std::uint8_t* payload = bin_header + CHUNK_HEADER_BYTES;
    const auto payload_length = static_cast<std::size_t>(layout.payload_length);
    std::memset(payload + payload_length, 0,
                static_cast<std::size_t>(layout.bin_chunk_length) - payload_length);
    return payload;
}

GlbBytes assemble_glb(const char* document, std::size_t document_length,
                      const std::uint8_t* payload, std::size_t payload_length) {
    const GlbLayout layout = glb_layout(document_length, payload_length);
    VectorOutput out;
    std::uint8_t* file = out.allocate(static_cast<std::size_t>(layout.total));
    copy_block(write_glb_frame(file, layout, document), payload, payload_length);
    return out.take();
}

}  // namespace glbcore
