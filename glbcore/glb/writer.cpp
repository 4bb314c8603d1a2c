// Writes a glTF document and its payload as one GLB file into the caller's
// memory: the size is known before anything is allocated, so a host can hand
// out its own result object and the file is written into it exactly once.
#include <cstring>
#include <stdexcept>
#include <string>

#include "glb/glb.h"

namespace glbcore::gltf {

namespace {

std::uint64_t round_up_to_4(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

void require_below_size_limit(std::uint64_t total) {
    if (total >= GLB_SIZE_LIMIT) {
        throw std::length_error("the file would take " + std::to_string(total) +
                                " bytes; a GLB file must stay below 2 GiB (2147483648 bytes)");
    }
}

// A file without binary data has no BIN chunk at all: an empty chunk is
// something validators flag.
void write_json_only_glb(const std::string& json, OutputBuffer& out) {
    const std::uint64_t json_chunk = round_up_to_4(json.size());
    const std::uint64_t total = GLB_HEADER_BYTES + CHUNK_HEADER_BYTES + json_chunk;
    require_below_size_limit(total);
    std::uint8_t* file = out.allocate(static_cast<std::size_t>(total));
    store_u32_le(file + 0, GLB_MAGIC);
    store_u32_le(file + 4, GLB_VERSION);
    store_u32_le(file + 8, static_cast<std::uint32_t>(total));
    store_u32_le(file + 12, static_cast<std::uint32_t>(json_chunk));
    store_u32_le(file + 16, CHUNK_TYPE_JSON);
    std::uint8_t* text = file + GLB_HEADER_BYTES + CHUNK_HEADER_BYTES;
    copy_block(text, json.data(), json.size());
    std::memset(text + json.size(), ' ', static_cast<std::size_t>(json_chunk - json.size()));
}

}  // namespace

std::size_t Payload::add(std::uint64_t size, Fill fill) {
    const std::uint64_t offset = round_up_to_4(size_);
    blocks_.push_back(Block{offset, size, std::move(fill)});
    size_ = offset + size;
    // Offsets are written as JSON integers and must fit a size_t anyway.
    require_below_size_limit(size_);
    return static_cast<std::size_t>(offset);
}

void Payload::write(std::uint8_t* at) const {
    std::uint64_t written = 0;
    for (const Block& block : blocks_) {
        std::memset(at + written, 0, static_cast<std::size_t>(block.offset - written));
        if (block.size != 0) block.fill(at + block.offset);
        written = block.offset + block.size;
    }
}

int add_view(Document& document, Payload& payload, std::uint64_t size, Payload::Fill fill,
             int target, std::uint32_t byte_stride) {
    BufferView view;
    view.byte_offset = payload.add(size, std::move(fill));
    view.byte_length = static_cast<std::size_t>(size);
    view.byte_stride = byte_stride;
    view.target = target;
    return document.add_buffer_view(view);
}

void write_glb(Document document, const Payload& payload, OutputBuffer& out) {
    if (payload.size() == 0) {
        document.buffers.clear();
        return write_json_only_glb(to_json(document), out);
    }
    if (document.buffers.empty()) document.buffers.emplace_back();
    document.buffers[0].byte_length = static_cast<std::size_t>(payload.size());
    const std::string json = to_json(document);
    require_below_size_limit(GLB_FIXED_BYTES + round_up_to_4(json.size()) +
                             round_up_to_4(payload.size()));
    const GlbLayout layout = glb_layout(json.size(), payload.size());
    std::uint8_t* file = out.allocate(static_cast<std::size_t>(layout.total));
    payload.write(write_glb_frame(file, layout, json.c_str()));
}

}  // namespace glbcore::gltf
