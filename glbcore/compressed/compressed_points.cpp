// Chunks of compressed points: quantise, gather colours and encode each
// chunk on a worker, then describe the streams in chunk order.
#include "compressed/compressed.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

#include "attributes/attributes.h"
#include "base/base.h"
#include "morton/morton.h"

namespace glbcore {

namespace {

constexpr std::uint32_t RGBA8_STRIDE = 4;
constexpr std::size_t PREFETCH_DISTANCE = 64;
constexpr std::size_t STREAM_ALIGNMENT = 64;

struct EncodedChunk {
    MeshoptEncoded positions;
    MeshoptEncoded colors;
    std::vector<MeshoptEncoded> attributes;
    std::vector<AttributeBounds> attribute_bounds;
    IntegerBounds bounds;
};

std::uint8_t unit_to_byte(float value) { return static_cast<std::uint8_t>(value * 255.0f + 0.5f); }
std::uint8_t short_to_byte(std::uint16_t value) {
    return static_cast<std::uint8_t>((std::uint32_t{value} + 128) / 257);
}

std::size_t round_up(std::size_t n, std::size_t alignment) {
    return (n + alignment - 1) / alignment * alignment;
}

}  // namespace

// A worker's arrays, reused from chunk to chunk: fresh memory costs more in
// page faults than in writing, and every chunk needs the same sizes.
struct ChunkScratch {
    std::uint32_t capacity = 0;
    WorkingArray<std::uint16_t> quantized;
    WorkingArray<std::uint8_t> rgba;
    // Only for refined chunks: the points gathered, the finer order, and
    // the colours in that order.
    WorkingArray<float> rows;
    WorkingArray<FineEntry> entries;
    WorkingArray<std::uint32_t> order;
    WorkingArray<std::uint8_t> sorted_rgba;
    // One attribute's rows at a time, and (refined) in the finer order.
    std::uint32_t attribute_capacity = 0;
    WorkingArray<std::uint8_t> attribute_rows;
    WorkingArray<std::uint8_t> sorted_attribute_rows;

    void reserve_attributes(std::uint32_t n) {
        if (n <= attribute_capacity) return;
        attribute_capacity = n;
        attribute_rows = allocate_working_array<std::uint8_t>(MAX_ROW * std::size_t{n});
        sorted_attribute_rows = allocate_working_array<std::uint8_t>(MAX_ROW * std::size_t{n});
    }
    static constexpr std::size_t MAX_ROW = 16;  // four floats

    void reserve(std::uint32_t n) {
        if (n <= capacity) return;
        capacity = n;
        quantized = allocate_working_array<std::uint16_t>(4 * std::size_t{n});
        rgba = allocate_working_array<std::uint8_t>(RGBA8_STRIDE * std::size_t{n});
        rows.reset();
        entries.reset();
        order.reset();
        sorted_rgba.reset();
    }
    void reserve_refined(std::uint32_t n) {
        reserve(n);
        if (rows) return;
        rows = allocate_working_array<float>(3 * std::size_t{capacity});
        entries = allocate_working_array<FineEntry>(capacity);
        order = allocate_working_array<std::uint32_t>(capacity);
        sorted_rgba = allocate_working_array<std::uint8_t>(RGBA8_STRIDE * std::size_t{capacity});
    }
};

struct PointWriteScratch::Arrays {
    ChunkScratch chunk;
    WorkingArray<std::uint8_t> block;  // the streams
    std::size_t block_size = 0;
};

PointWriteScratch::PointWriteScratch() : arrays_(std::make_unique<Arrays>()) {}
PointWriteScratch::~PointWriteScratch() = default;

namespace {

// Where a chunk's streams go in the block shared by all chunks.
struct StreamPlace {
    std::size_t positions;
    std::size_t colors;
    std::vector<std::size_t> attributes;
};

std::size_t position_stream_bound(std::uint32_t n) {
    return round_up(attribute_stream_bound(n, QUANTIZED_POSITION_STRIDE), STREAM_ALIGNMENT);
}
std::size_t color_stream_bound(std::uint32_t n) {
    return round_up(attribute_stream_bound(n, RGBA8_STRIDE), STREAM_ALIGNMENT);
}

// Positions of places [begin, end) in that order, x y z per row.
void gather_rows(const float* positions, const std::uint32_t* order, std::uint32_t begin,
                 std::uint32_t end, float* rows) {
    for (std::uint32_t j = begin; j < end; ++j) {
        // Points in a new order are fetched from all over memory: ask for
        // them well ahead, or each one waits for its cache miss.
        if (j + PREFETCH_DISTANCE < end) {
            __builtin_prefetch(positions + 3 * std::size_t{order[j + PREFETCH_DISTANCE]});
        }
        std::memcpy(rows + 3 * std::size_t{j - begin}, positions + 3 * std::size_t{order[j]},
                    3 * sizeof(float));
    }
}

template <std::size_t Stride>
void permute_fixed(const std::uint8_t* rows, const std::uint32_t* order, std::uint32_t n,
                   std::uint8_t* out) {
    for (std::uint32_t i = 0; i < n; ++i) {
        std::memcpy(out + Stride * i, rows + Stride * order[i], Stride);
    }
}

// Rows of an attribute (4 to 16 bytes, a multiple of 4) in the chunk's finer order.
void permute_rows(const std::uint8_t* rows, const std::uint32_t* order, std::uint32_t n,
                  std::uint32_t stride, std::uint8_t* out) {
    switch (stride) {
        case 4: return permute_fixed<4>(rows, order, n, out);
        case 8: return permute_fixed<8>(rows, order, n, out);
        case 12: return permute_fixed<12>(rows, order, n, out);
        default: return permute_fixed<16>(rows, order, n, out);
    }
}

void permute_rgba8(const std::uint8_t* rgba, const std::uint32_t* order, std::uint32_t n,
                   std::uint8_t* out) {
    for (std::uint32_t i = 0; i < n; ++i) {
        std::memcpy(out + RGBA8_STRIDE * std::size_t{i},
                    rgba + RGBA8_STRIDE * std::size_t{order[i]}, RGBA8_STRIDE);
    }
}

// Makes `scratch` ready for chunks of up to n points, so that encode_chunk
// allocates nothing.
void reserve_for(const CompressedPoints& points, std::uint32_t n, ChunkScratch& scratch) {
    if (n == 0) return;
    if (points.quantized == nullptr && points.refine != nullptr) {
        scratch.reserve_refined(n);
    } else if (points.quantized == nullptr || points.colors.data != nullptr) {
        scratch.reserve(n);
    }
    if (points.attributes.count != 0) scratch.reserve_attributes(n);
}

// Each attribute of the chunk's places as one stream, in the order of its
// positions (the finer order too, when refined).
void encode_chunk_attributes(const CompressedPoints& points, const PointRun& chunk,
                             const std::shared_ptr<std::uint8_t>& block, const StreamPlace& place,
                             ChunkScratch& scratch, EncodedChunk& encoded) {
    const std::uint32_t n = chunk.end - chunk.begin;
    const bool refined = points.quantized == nullptr && points.refine != nullptr;
    for (std::uint32_t a = 0; a < points.attributes.count; ++a) {
        const PointAttribute& attribute = points.attributes.items[a];
        const std::uint32_t stride = attribute_stride(attribute);
        gather_attribute_rows(attribute, points.order, chunk.begin, chunk.end,
                              scratch.attribute_rows.get());
        const std::uint8_t* rows = scratch.attribute_rows.get();
        encoded.attribute_bounds[a] = scan_attribute_rows(attribute, rows, n, stride);
        if (refined) {
            permute_rows(rows, scratch.order.get(), n, stride, scratch.sorted_attribute_rows.get());
            rows = scratch.sorted_attribute_rows.get();
        }
        encoded.attributes[a] = encode_attributes_into(
            std::shared_ptr<std::uint8_t>(block, block.get() + place.attributes[a]), rows, n,
            stride);
    }
}

// Allocates nothing when `scratch` was made ready by reserve_for: it runs on
// worker threads.
void encode_chunk(const CompressedPoints& points, const PointRun& chunk,
                  const std::shared_ptr<std::uint8_t>& block, const StreamPlace& place,
                  ChunkScratch& scratch, EncodedChunk& encoded) {
    const std::uint32_t n = chunk.end - chunk.begin;
    const std::uint16_t* quantized = nullptr;
    if (points.quantized != nullptr) {
        quantized = points.quantized + 4 * std::size_t{chunk.begin};
        encoded.bounds = integer_bounds(quantized, n);
    } else if (points.refine != nullptr) {
        // One pass of random reads brings the chunk's points together; the
        // finer order and the quantisation then work in cache.
        scratch.reserve_refined(n);
        gather_rows(points.positions, points.order, chunk.begin, chunk.end, scratch.rows.get());
        refine_runs(*points.refine, scratch.rows.get(), n, scratch.entries.get(),
                    scratch.order.get());
        encoded.bounds = quantize_positions(scratch.rows.get(), scratch.order.get(), 0, n,
                                            points.grid, scratch.quantized.get());
        quantized = scratch.quantized.get();
    } else {
        scratch.reserve(n);
        encoded.bounds = quantize_positions(points.positions, points.order, chunk.begin, chunk.end,
                                            points.grid, scratch.quantized.get());
        quantized = scratch.quantized.get();
    }
    // Aliasing pointers: each stream shares ownership of the whole block.
    encoded.positions =
        encode_attributes_into(std::shared_ptr<std::uint8_t>(block, block.get() + place.positions),
                               quantized, n, QUANTIZED_POSITION_STRIDE);
    if (points.colors.data != nullptr) {
        gather_rgba8(points.colors, points.order, chunk.begin, chunk.end, scratch.rgba.get());
        const std::uint8_t* rgba = scratch.rgba.get();
        if (points.refine != nullptr) {
            permute_rgba8(rgba, scratch.order.get(), n, scratch.sorted_rgba.get());
            rgba = scratch.sorted_rgba.get();
        }
        encoded.colors =
            encode_attributes_into(std::shared_ptr<std::uint8_t>(block, block.get() + place.colors),
                                   rgba, n, RGBA8_STRIDE);
    }
    encode_chunk_attributes(points, chunk, block, place, scratch, encoded);
}

// The chunks of every run; refined chunks start only where a cell's run
// starts, so each run is ordered whole inside one chunk. Empty chunks (a
// cell's run that swallowed a whole chunk) are dropped.
std::vector<PointRun> chunks_of(const CompressedPoints& points, const std::vector<PointRun>& runs) {
    std::vector<PointRun> chunks;
    for (const PointRun& run : runs) {
        if (run.end == run.begin) continue;
        std::vector<PointRun> pieces = split_into_chunks(run);
        if (points.refine != nullptr && points.quantized == nullptr) {
            for (std::size_t i = 1; i < pieces.size(); ++i) {
                const std::uint32_t start =
                    std::max(pieces[i - 1].begin,
                             next_run_start(*points.refine, points.positions, points.order,
                                            run.begin, pieces[i].begin, run.end));
                pieces[i - 1].end = start;
                pieces[i].begin = start;
            }
        }
        for (const PointRun& piece : pieces) {
            if (piece.end > piece.begin) chunks.push_back(piece);
        }
    }
    return chunks;
}

gltf::Primitive chunk_primitive(gltf::Document& document, gltf::Payload& payload,
                                EncodedChunk& chunk, int material,
                                const PointAttributes& attributes) {
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
    for (std::uint32_t a = 0; a < attributes.count; ++a) {
        gltf::Accessor accessor = attribute_accessor(attributes.items[a], chunk.positions.count);
        set_attribute_bounds(accessor, attributes.items[a], chunk.attribute_bounds[a]);
        accessor.buffer_view =
            add_meshopt_view(document, payload, std::move(chunk.attributes[a]), gltf::ARRAY_BUFFER);
        primitive.attributes.emplace_back(attribute_semantic(attributes.items[a].name),
                                          document.add_accessor(std::move(accessor)));
    }
    if (attributes.count != 0) primitive.property_attributes = {0};
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

namespace {

// One colour row to RGBA8: the conversion of each component type.
template <class T>
std::uint8_t to_byte(const std::uint8_t* at);
template <>
std::uint8_t to_byte<std::uint8_t>(const std::uint8_t* at) {
    return *at;
}
template <>
std::uint8_t to_byte<std::uint16_t>(const std::uint8_t* at) {
    std::uint16_t v;
    std::memcpy(&v, at, sizeof v);
    return short_to_byte(v);
}
template <>
std::uint8_t to_byte<float>(const std::uint8_t* at) {
    float v;
    std::memcpy(&v, at, sizeof v);
    return unit_to_byte(v);
}

template <class T>
void gather_rgba8_of(const std::uint8_t* data, std::uint32_t k, const std::uint32_t* order,
                     std::uint32_t begin, std::uint32_t end, std::uint8_t* out) {
    const std::size_t row_bytes = k * sizeof(T);
    for (std::uint32_t j = begin; j < end; ++j) {
        if (order && j + PREFETCH_DISTANCE < end) {
            __builtin_prefetch(data + row_bytes * order[j + PREFETCH_DISTANCE]);
        }
        const std::uint8_t* row = data + row_bytes * (order ? order[j] : j);
        std::uint8_t* rgba = out + 4 * std::size_t{j - begin};
        rgba[3] = 255;
        for (std::uint32_t c = 0; c < k; ++c) rgba[c] = to_byte<T>(row + c * sizeof(T));
    }
}

}  // namespace

void gather_rgba8(const ColorArray& colors, const std::uint32_t* order, std::uint32_t begin,
                  std::uint32_t end, std::uint8_t* out) {
    const auto* data = static_cast<const std::uint8_t*>(colors.data);
    switch (colors.type) {
        case ColorType::uint8:
            return gather_rgba8_of<std::uint8_t>(data, colors.components, order, begin, end, out);
        case ColorType::uint16:
            return gather_rgba8_of<std::uint16_t>(data, colors.components, order, begin, end, out);
        case ColorType::float32:
            return gather_rgba8_of<float>(data, colors.components, order, begin, end, out);
    }
}

namespace {

// The block of `size` bytes that every chunk's streams go into: the lent
// one, grown as needed, or a new one.
std::shared_ptr<std::uint8_t> stream_block(PointWriteScratch* lent, std::size_t size) {
    if (lent == nullptr) {
        return std::shared_ptr<std::uint8_t>(allocate_working_array<std::uint8_t>(size).release(),
                                             FreeDeleter{});
    }
    PointWriteScratch::Arrays& arrays = lent->arrays();
    if (arrays.block_size < size) {
        arrays.block = allocate_working_array<std::uint8_t>(size);
        arrays.block_size = size;
    }
    // Owning nothing: the scratch outlives the write and its streams.
    return std::shared_ptr<std::uint8_t>(std::shared_ptr<void>(), arrays.block.get());
}

}  // namespace

void add_compressed_point_chunks(gltf::Document& document, gltf::Payload& payload, gltf::Mesh& mesh,
                                 const CompressedPoints& points,
                                 const std::vector<PointRun>& runs) {
    const std::vector<PointRun> chunks = chunks_of(points, runs);
    // All streams go into one block at places fixed by the chunk sizes: its
    // pages are huge-page advised and only those written are ever touched.
    std::vector<StreamPlace> places(chunks.size());
    std::size_t block_size = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::uint32_t n = chunks[i].end - chunks[i].begin;
        places[i].positions = block_size;
        block_size += position_stream_bound(n);
        places[i].colors = block_size;
        if (points.colors.data != nullptr) block_size += color_stream_bound(n);
        for (std::uint32_t a = 0; a < points.attributes.count; ++a) {
            places[i].attributes.push_back(block_size);
            block_size +=
                round_up(attribute_stream_bound(n, attribute_stride(points.attributes.items[a])),
                         STREAM_ALIGNMENT);
        }
    }
    const std::shared_ptr<std::uint8_t> block = stream_block(points.scratch, block_size);
    const auto chunk_count = static_cast<std::uint32_t>(chunks.size());
    std::vector<EncodedChunk> encoded(chunks.size());
    for (EncodedChunk& chunk : encoded) {
        chunk.attributes.resize(points.attributes.count);
        chunk.attribute_bounds.resize(points.attributes.count);
    }
    // Every range's arrays are made here, before its thread starts; lent
    // arrays only to a range that encodes every chunk.
    const WorkSplit split = parallel_split(chunk_count, points.workers);
    const bool lent = points.scratch != nullptr && split.workers == 1;
    std::vector<ChunkScratch> own(lent ? 0 : split.workers);
    for (std::uint32_t r = 0; r < split.workers; ++r) {
        std::uint32_t largest = 0;
        for (std::uint32_t i = split.begin(r); i < split.end(r); ++i) {
            largest = std::max(largest, chunks[i].end - chunks[i].begin);
        }
        reserve_for(points, largest, lent ? points.scratch->arrays().chunk : own[r]);
    }
    run_parallel_ranges(chunk_count, points.workers, [&](std::uint32_t begin, std::uint32_t end) {
        ChunkScratch& scratch = lent ? points.scratch->arrays().chunk : own[begin / split.chunk];
        for (std::uint32_t i = begin; i < end; ++i) {
            encode_chunk(points, chunks[i], block, places[i], scratch, encoded[i]);
        }
    });
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        mesh.primitives.push_back(
            chunk_primitive(document, payload, encoded[i], chunks[i].material, points.attributes));
    }
}

}  // namespace glbcore
