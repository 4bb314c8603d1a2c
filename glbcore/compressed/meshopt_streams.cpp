// Encoded streams and their EXT_meshopt_compression buffer views.
#include "compressed/compressed.h"

#include "base/base.h"

#include <meshoptimizer.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace glbcore {

namespace {

constexpr const char* EXTENSION = "EXT_meshopt_compression";
constexpr int STREAM_BUFFER = 0;
constexpr int FALLBACK_BUFFER = 1;
// The first byte of a vertex stream: 0xa0 | format version.
constexpr std::uint8_t VERTEX_CODEC_HEADER_V0 = 0xa0;

std::shared_ptr<std::uint8_t> shared_working_bytes(std::size_t bytes) {
    // The shared pointer frees the block even when its own allocation fails.
    return std::shared_ptr<std::uint8_t>(allocate_working_array<std::uint8_t>(bytes).release(),
                                         FreeDeleter{});
}

const char* filter_name(MeshoptFilter filter) {
    switch (filter) {
        case MeshoptFilter::octahedral: return "OCTAHEDRAL";
        case MeshoptFilter::exponential: return "EXPONENTIAL";
        case MeshoptFilter::none: return nullptr;
    }
    return nullptr;
}

gltf::Buffer& fallback_buffer(gltf::Document& document) {
    // Buffer 0 is the BIN chunk; write_glb sets its length.
    if (document.buffers.empty()) document.buffers.emplace_back();
    if (document.buffers.size() == FALLBACK_BUFFER) {
        gltf::Buffer fallback;
        fallback.meshopt_fallback = true;
        document.buffers.push_back(fallback);
    }
    return document.buffers[FALLBACK_BUFFER];
}

}  // namespace

std::size_t attribute_stream_bound(std::size_t count, std::uint32_t stride) {
    return meshopt_encodeVertexBufferBound(count, stride);
}

MeshoptEncoded encode_attributes_into(std::shared_ptr<std::uint8_t> storage, const void* data,
                                      std::size_t count, std::uint32_t stride,
                                      MeshoptFilter filter) {
    if (stride == 0 || stride % 4 != 0 || stride > 256) {
        throw std::logic_error("an attribute stream needs a stride of 4..256 bytes in steps of 4");
    }
    MeshoptEncoded stream;
    stream.size = meshopt_encodeVertexBuffer(storage.get(), attribute_stream_bound(count, stride),
                                             data, count, stride);
    // The library's default version is what it encodes; newer releases
    // default to version 1, which this extension does not allow.
    if (stream.size == 0 || storage.get()[0] != VERTEX_CODEC_HEADER_V0) {
        throw std::logic_error("meshoptimizer did not write vertex codec version 0");
    }
    stream.data = std::move(storage);
    stream.count = count;
    stream.stride = stride;
    stream.filter = filter;
    return stream;
}

MeshoptEncoded encode_attributes(const void* data, std::size_t count, std::uint32_t stride,
                                 MeshoptFilter filter) {
    return encode_attributes_into(shared_working_bytes(attribute_stream_bound(count, stride)), data,
                                  count, stride, filter);
}

MeshoptEncoded encode_triangles(const std::uint32_t* indices, std::size_t index_count,
                                std::size_t vertex_count) {
    MeshoptEncoded stream;
    const std::size_t bound = meshopt_encodeIndexBufferBound(index_count, vertex_count);
    auto storage = shared_working_bytes(bound);
    stream.size = meshopt_encodeIndexBuffer(storage.get(), bound, indices, index_count);
    if (stream.size == 0) throw std::logic_error("meshoptimizer could not encode the indices");
    stream.data = std::move(storage);
    stream.count = index_count;
    stream.stride = vertex_count <= 65536 ? 2 : 4;
    stream.mode = "TRIANGLES";
    return stream;
}

void octahedral_normals(const float* normals, std::size_t count, std::int8_t* out) {
    // The filter takes four floats per element; w = 1 encodes as 127.
    constexpr std::size_t BATCH = 4096;
    float rows[4 * BATCH];
    for (std::size_t first = 0; first < count; first += BATCH) {
        const std::size_t n = std::min(BATCH, count - first);
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(rows + 4 * i, normals + 3 * (first + i), 3 * sizeof(float));
            rows[4 * i + 3] = 1.0f;
        }
        meshopt_encodeFilterOct(out + 4 * first, n, 4, 8, rows);
    }
}

void exponential_filter(const float* values, std::size_t count, std::uint32_t stride, int bits,
                        std::uint32_t* out) {
    meshopt_encodeFilterExp(out, count, stride, bits, values);
}

int add_meshopt_view(gltf::Document& document, gltf::Payload& payload, MeshoptEncoded stream,
                     int target) {
    gltf::Buffer& fallback = fallback_buffer(document);
    document.use_extension(EXTENSION, true);
    gltf::MeshoptStream fields;
    fields.buffer = STREAM_BUFFER;
    fields.byte_length = stream.size;
    fields.byte_stride = stream.stride;
    fields.count = stream.count;
    fields.mode = stream.mode;
    fields.filter = filter_name(stream.filter);

    gltf::BufferView view;
    view.buffer = FALLBACK_BUFFER;
    view.byte_offset = fallback.byte_length;
    view.byte_length = stream.count * stream.stride;
    // Index views must not declare a stride; attribute views may.
    view.byte_stride = target == gltf::ELEMENT_ARRAY_BUFFER ? 0 : stream.stride;
    view.target = target;
    fallback.byte_length = round_up_to_4(view.byte_offset + view.byte_length);

    // Payload fills are copyable functions: the encoded bytes are shared.
    fields.byte_offset =
        payload.add(stream.size, [data = stream.data, size = stream.size](std::uint8_t* at) {
            std::memcpy(at, data.get(), size);
        });
    view.meshopt = fields;
    return document.add_buffer_view(view);
}

int add_meshopt_attribute(gltf::Document& document, gltf::Payload& payload, const void* data,
                          std::size_t count, std::uint32_t stride, MeshoptFilter filter) {
    return add_meshopt_view(document, payload, encode_attributes(data, count, stride, filter),
                            gltf::ARRAY_BUFFER);
}

}  // namespace glbcore
