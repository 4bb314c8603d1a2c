// Compressed mesh files: meshoptimizer reorders triangles for the vertex cache
// and vertices for fetch (while the normals are computed), then positions,
// octahedral normals, colours and indices are encoded as four streams at
// once.
#include <meshoptimizer.h>

#include <array>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"
#include "compressed/compressed.h"

namespace glbcore {

namespace {

constexpr std::uint32_t NO_VERTEX = ~0u;
constexpr unsigned VERTEX_CACHE_SIZE = 16;

// The reordered mesh: output vertex j is input vertex order[j], and the
// indices name output vertices.
// Working arrays throughout: uninitialised and huge-page advised, as fresh
// memory costs more in page faults than in writing.
struct Reordered {
    WorkingArray<std::uint32_t> indices;
    WorkingArray<std::uint32_t> order;
};

Reordered optimize_order(const MeshScene& scene) {
    const std::size_t n = scene.index_count;
    const std::size_t v = scene.vertex_count;
    Reordered out;
    out.indices = allocate_working_array<std::uint32_t>(n);
    // The FIFO variant: several times faster than the full optimiser, and its
    // order compressed slightly better here.
    meshopt_optimizeVertexCacheFifo(out.indices.get(), scene.indices, n, v, VERTEX_CACHE_SIZE);
    const auto remap = allocate_working_array<std::uint32_t>(v);
    auto next = static_cast<std::uint32_t>(
        meshopt_optimizeVertexFetchRemap(remap.get(), out.indices.get(), n, v));
    // The optimiser drops vertices that no triangle uses; they are kept,
    // after the others, so the file has the caller's vertices.
    for (std::size_t i = 0; i < v; ++i) {
        if (remap[i] == NO_VERTEX) remap[i] = next++;
    }
    meshopt_remapIndexBuffer(out.indices.get(), out.indices.get(), n, remap.get());
    out.order = allocate_working_array<std::uint32_t>(v);
    for (std::uint32_t i = 0; i < v; ++i) out.order[remap[i]] = i;
    return out;
}

// The caller's normals, or area-weighted ones into `computed`.
const float* input_normals(const MeshScene& scene, WorkingArray<float>& computed) {
    if (scene.normals != nullptr) return scene.normals;
    computed = allocate_working_array<float>(3 * std::size_t{scene.vertex_count});
    area_weighted_normals(scene.positions, scene.vertex_count, scene.indices, scene.index_count,
                          computed.get());
    return computed.get();
}

WorkingArray<float> gathered_normals(const float* normals, std::uint32_t v,
                                     const std::uint32_t* order) {
    auto out = allocate_working_array<float>(3 * std::size_t{v});
    for (std::size_t j = 0; j < v; ++j) {
        for (int k = 0; k < 3; ++k) out[3 * j + k] = normals[3 * std::size_t{order[j]} + k];
    }
    return out;
}

enum Stream { POSITIONS, NORMALS, COLORS, INDICES, STREAM_COUNT };

struct EncodedMesh {
    std::array<MeshoptEncoded, STREAM_COUNT> streams;
    std::vector<MeshoptEncoded> attributes;  // in the vertices' new order
    IntegerBounds bounds{};
};

void encode_vertex_attributes(const PointAttributes& attributes, const std::uint32_t* order,
                              std::uint32_t v, std::vector<MeshoptEncoded>& out) {
    for (std::uint32_t a = 0; a < attributes.count; ++a) {
        const PointAttribute& attribute = attributes.items[a];
        const std::uint32_t stride = attribute_stride(attribute);
        const auto rows = allocate_working_array<std::uint8_t>(std::size_t{stride} * v);
        gather_attribute_rows(attribute, order, 0, v, rows.get());
        out.push_back(encode_attributes(rows.get(), v, stride));
    }
}

EncodedMesh encode_mesh(const MeshScene& scene, const PositionGrid& grid) {
    // The new order and the normals of the input vertices do not depend on
    // each other: one worker each.
    Reordered mesh;
    WorkingArray<float> computed;
    const float* normals = nullptr;
    run_parallel(2, scene.workers, [&](std::uint32_t task) {
        if (task == 0) {
            mesh = optimize_order(scene);
        } else {
            normals = input_normals(scene, computed);
        }
    });
    const std::uint32_t v = scene.vertex_count;
    EncodedMesh encoded;
    run_parallel(STREAM_COUNT, scene.workers, [&](std::uint32_t stream) {
        switch (stream) {
            case POSITIONS: {
                const auto q = allocate_working_array<std::uint16_t>(4 * std::size_t{v});
                encoded.bounds =
                    quantize_positions(scene.positions, mesh.order.get(), 0, v, grid, q.get());
                encoded.streams[POSITIONS] =
                    encode_attributes(q.get(), v, QUANTIZED_POSITION_STRIDE);
                break;
            }
            case NORMALS: {
                const auto oct = allocate_working_array<std::int8_t>(4 * std::size_t{v});
                octahedral_normals(gathered_normals(normals, v, mesh.order.get()).get(), v,
                                   oct.get());
                encoded.streams[NORMALS] =
                    encode_attributes(oct.get(), v, 4, MeshoptFilter::octahedral);
                break;
            }
            case COLORS: {
                if (scene.colors.data == nullptr) break;
                const auto rgba = allocate_working_array<std::uint8_t>(4 * std::size_t{v});
                gather_rgba8(scene.colors, mesh.order.get(), 0, v, rgba.get());
                encoded.streams[COLORS] = encode_attributes(rgba.get(), v, 4);
                break;
            }
            case INDICES:
                encoded.streams[INDICES] =
                    encode_triangles(mesh.indices.get(), scene.index_count, v);
                break;
        }
    });
    encode_vertex_attributes(scene.attributes, mesh.order.get(), v, encoded.attributes);
    return encoded;
}

int add_accessor(gltf::Document& document, gltf::Payload& payload, MeshoptEncoded stream,
                 gltf::Accessor accessor, int target) {
    accessor.count = stream.count;
    accessor.buffer_view = add_meshopt_view(document, payload, std::move(stream), target);
    return document.add_accessor(std::move(accessor));
}

gltf::Accessor attribute(int component_type, bool normalized, const char* type) {
    gltf::Accessor accessor;
    accessor.component_type = component_type;
    accessor.normalized = normalized;
    accessor.type = type;
    return accessor;
}

}  // namespace

void write_compressed_mesh_scene(const MeshScene& scene, OutputBuffer& out) {
    require_finite_material(scene.material);
    require_valid_attributes(scene.attributes);
    gltf::Document document;
    gltf::Payload payload;
    if (scene.vertex_count == 0 || scene.index_count == 0) {
        return gltf::write_glb(document, payload, out);
    }
    const Extents extents = exact_extents(scene.positions, scene.vertex_count);
    require_unit_colors(scene.colors, scene.vertex_count);
    // One step on every axis: a non-uniform scale would bend the normals.
    const PositionGrid grid = position_grid(extents, scene.compression.position_bits, true);
    EncodedMesh encoded = encode_mesh(scene, grid);

    gltf::Primitive triangles;
    triangles.mode = gltf::TRIANGLES;
    gltf::Accessor position = attribute(gltf::UNSIGNED_SHORT, false, "VEC3");
    set_integer_bounds(position, encoded.bounds);
    triangles.attributes.emplace_back(
        "POSITION", add_accessor(document, payload, std::move(encoded.streams[POSITIONS]),
                                 std::move(position), gltf::ARRAY_BUFFER));
    triangles.attributes.emplace_back(
        "NORMAL", add_accessor(document, payload, std::move(encoded.streams[NORMALS]),
                               attribute(gltf::BYTE, true, "VEC3"), gltf::ARRAY_BUFFER));
    if (scene.colors.data != nullptr) {
        triangles.attributes.emplace_back(
            "COLOR_0",
            add_accessor(document, payload, std::move(encoded.streams[COLORS]),
                         attribute(gltf::UNSIGNED_BYTE, true, "VEC4"), gltf::ARRAY_BUFFER));
    }
    const int index_type =
        encoded.streams[INDICES].stride == 2 ? gltf::UNSIGNED_SHORT : gltf::UNSIGNED_INT;
    triangles.indices =
        add_accessor(document, payload, std::move(encoded.streams[INDICES]),
                     attribute(index_type, false, "SCALAR"), gltf::ELEMENT_ARRAY_BUFFER);
    for (std::uint32_t a = 0; a < scene.attributes.count; ++a) {
        const PointAttribute& attribute = scene.attributes.items[a];
        gltf::Accessor accessor = attribute_accessor(attribute, 0);
        set_attribute_bounds(
            accessor, attribute,
            scan_attribute_rows(attribute, static_cast<const std::uint8_t*>(attribute.data),
                                scene.vertex_count, attribute_row_bytes(attribute)));
        triangles.attributes.emplace_back(
            attribute_semantic(attribute.name),
            add_accessor(document, payload, std::move(encoded.attributes[a]), std::move(accessor),
                         gltf::ARRAY_BUFFER));
    }
    if (scene.attributes.count != 0) triangles.property_attributes = {0};
    describe_attributes(document, scene.attributes);
    triangles.material = document.add_material(material_record(scene.material));
    gltf::Node node;
    node.name = "Mesh";
    node.mesh = document.add_mesh(gltf::Mesh{"Mesh", {triangles}});
    set_dequantization(node, grid);
    document.scene_nodes.push_back(document.add_node(std::move(node)));
    add_scene_frame(document, scene.frame);
    document.use_extension("KHR_mesh_quantization", true);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
