// Chunks of compressed points: quantise, gather colours and encode each
// chunk on a worker, then describe the streams in chunk order.
#include "compact_points.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>

#include "atom_pipeline.h"
#include "meshopt_streams.h"

namespace glbcore {

namespace {

constexpr std::uint32_t RGBA8_STRIDE = 4;

struct EncodedChunk {
    MeshoptEncoded positions;
    MeshoptEncoded colors;
    IntegerBounds bounds;
};

std::uint8_t unit_to_byte(float value) { return static_cast<std::uint8_t>(value * 255.0f + 0.5f); }
std::uint8_t short_to_byte(std::uint16_t value) {
    return static_cast<std::uint8_t>((std::uint32_t{value} + 128) / 257);
}

EncodedChunk encode_chunk(const CompactPoints& points, const PointRun& chunk) {
    const std::uint32_t n = chunk.end - chunk.begin;
    EncodedChunk encoded;
    // Working arrays: uninitialised and huge-page advised, as fresh memory
    // costs more in page faults than in writing.
    const auto quantized = allocate_working_array<std::uint16_t>(4 * std::size_t{n});
    encoded.bounds = quantize_positions(points.positions, points.order, chunk.begin, chunk.end,
                                        points.grid, quantized.get());
    encoded.positions = encode_attributes(quantized.get(), n, QUANTIZED_POSITION_STRIDE);
    if (points.colors.data != nullptr) {
        const auto rgba = allocate_working_array<std::uint8_t>(RGBA8_STRIDE * std::size_t{n});
        gather_rgba8(points.colors, points.order, chunk.begin, chunk.end, rgba.get());
        encoded.colors = encode_attributes(rgba.get(), n, RGBA8_STRIDE);
    }
    return encoded;
}

gltf::Primitive chunk_primitive(gltf::Document& document, gltf::Payload& payload,
                                EncodedChunk& chunk, int material) {
    gltf::Primitive primitive;
    primitive.mode = gltf::POINTS;
    primitive.material = material;
    gltf::Accessor position;
    position.count = chunk.positions.count;
    position.component_type = gltf::UNSIGNED_SHORT;
    set_integer_bounds(position, chunk.bounds);
    position.buffer_view =
        add_meshopt_view(document, payload, std::move(chunk.positions), gltf::ARRAY_BUFFER);
    primitive.attributes.emplace_back("POSITION", document.add_accessor(std::move(position)));
    if (chunk.colors.data) {
        gltf::Accessor color;
        color.count = chunk.colors.count;
        color.component_type = gltf::UNSIGNED_BYTE;
        color.normalized = true;
        color.type = "VEC4";
        color.buffer_view =
            add_meshopt_view(document, payload, std::move(chunk.colors), gltf::ARRAY_BUFFER);
        primitive.attributes.emplace_back("COLOR_0", document.add_accessor(std::move(color)));
    }
    return primitive;
}

}  // namespace

std::vector<PointRun> split_into_chunks(const PointRun& run) {
    const std::uint32_t n = run.end - run.begin;
    const std::uint32_t chunks = std::max(1u, (n + CHUNK_POINTS - 1) / CHUNK_POINTS);
    std::vector<PointRun> out;
    for (std::uint32_t i = 0; i < chunks; ++i) {
        const auto begin = static_cast<std::uint32_t>(std::uint64_t{n} * i / chunks);
        const auto end = static_cast<std::uint32_t>(std::uint64_t{n} * (i + 1) / chunks);
        out.push_back(PointRun{run.begin + begin, run.begin + end, run.material});
    }
    return out;
}

void run_parallel(std::uint32_t n, unsigned workers,
                  const std::function<void(std::uint32_t)>& work) {
    if (n == 0) return;
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    const WorkSplit split = split_work_over(n, std::min<std::uint32_t>(workers, n));
    // An exception must not leave a worker thread: it is carried over and
    // the one of the lowest item rethrown, whatever the split.
    std::vector<std::exception_ptr> errors(n);
    run_phase(split, default_thread_starter(), [&](std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t i = begin; i < end; ++i) {
            try {
                work(i);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    });
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

void gather_rgba8(const ColorArray& colors, const std::uint32_t* order, std::uint32_t begin,
                  std::uint32_t end, std::uint8_t* out) {
    const std::uint32_t k = colors.components;
    for (std::uint32_t j = begin; j < end; ++j) {
        const std::size_t row = std::size_t{order ? order[j] : j} * k;
        std::uint8_t* rgba = out + 4 * std::size_t{j - begin};
        rgba[3] = 255;
        for (std::uint32_t c = 0; c < k; ++c) {
            switch (colors.type) {
                case ColorType::uint8:
                    rgba[c] = static_cast<const std::uint8_t*>(colors.data)[row + c];
                    break;
                case ColorType::uint16: {
                    std::uint16_t v;
                    std::memcpy(&v, static_cast<const std::uint8_t*>(colors.data) + 2 * (row + c), 2);
                    rgba[c] = short_to_byte(v);
                    break;
                }
                case ColorType::float32: {
                    float v;
                    std::memcpy(&v, static_cast<const std::uint8_t*>(colors.data) + 4 * (row + c), 4);
                    rgba[c] = unit_to_byte(v);
                    break;
                }
            }
        }
    }
}

void add_compact_point_chunks(gltf::Document& document, gltf::Payload& payload, gltf::Mesh& mesh,
                              const CompactPoints& points, const std::vector<PointRun>& runs) {
    std::vector<PointRun> chunks;
    for (const PointRun& run : runs) {
        if (run.end == run.begin) continue;
        const std::vector<PointRun> pieces = split_into_chunks(run);
        chunks.insert(chunks.end(), pieces.begin(), pieces.end());
    }
    std::vector<EncodedChunk> encoded(chunks.size());
    run_parallel(static_cast<std::uint32_t>(chunks.size()), points.workers,
                 [&](std::uint32_t i) { encoded[i] = encode_chunk(points, chunks[i]); });
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        mesh.primitives.push_back(
            chunk_primitive(document, payload, encoded[i], chunks[i].material));
    }
}

}  // namespace glbcore
