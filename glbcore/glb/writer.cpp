// Writes a glTF document and its payload as one GLB file into the caller's
// memory: the size is known before anything is allocated, so a host can hand
// out its own result object and the file is written into it exactly once.
#include <cstring>
#include <stdexcept>
#include <string>

#include "glb/glb.h"

namespace glbcore::gltf {

namespace {

void require_below_size_limit(std::uint64_t total) {
    if (total >= GLB_SIZE_LIMIT) {
        throw std::length_error("the file would take " + std::to_string(total) +
                                " bytes; a GLB file must stay below 2 GiB (2147483648 bytes)");
    }
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

namespace {

// The document's JSON as written with `payload`: buffer 0 takes its size, or
// a file without binary data has no buffer and no BIN chunk at all (an empty
// chunk is something validators flag).
std::string final_json(Document& document, const Payload& payload) {
    if (payload.size() == 0) {
        document.buffers.clear();
    } else {
        if (document.buffers.empty()) document.buffers.emplace_back();
        document.buffers[0].byte_length = static_cast<std::size_t>(payload.size());
    }
    return to_json(document);
}

}  // namespace

std::uint64_t glb_size(Document document, const Payload& payload) {
    const std::string json = final_json(document, payload);
    return frame_layout(json.size(), payload.size(), payload.size() != 0).total;
}

void write_glb(Document document, const Payload& payload, OutputBuffer& out) {
    const std::string json = final_json(document, payload);
    const GlbLayout layout = frame_layout(json.size(), payload.size(), payload.size() != 0);
    require_below_size_limit(layout.total);
    std::uint8_t* file = out.allocate(static_cast<std::size_t>(layout.total));
    payload.write(write_glb_frame(file, layout, json.c_str()));
}

}  // namespace glbcore::gltf
