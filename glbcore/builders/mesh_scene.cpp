// Triangle meshes for the public package: exact bounds, given or
// area-weighted normals, optional colours and one metallic-roughness
// material; or the compressed layout.
#include <cstring>

#include "attributes/attributes.h"
#include "base/base.h"
#include "builders/builders.h"
#include "compressed/compressed.h"

namespace glbcore {

namespace {

int add_normals(gltf::Document& document, gltf::Payload& payload, const MeshScene& scene) {
    const std::uint64_t bytes = 12 * std::uint64_t{scene.vertex_count};
    gltf::Accessor accessor;
    accessor.buffer_view = gltf::add_view(
        document, payload, bytes,
        [&scene, bytes](std::uint8_t* at) {
            if (scene.normals != nullptr) {
                std::memcpy(at, scene.normals, static_cast<std::size_t>(bytes));
            } else {
                area_weighted_normals(scene.positions, scene.vertex_count, scene.indices,
                                      scene.index_count, reinterpret_cast<float*>(at));
            }
        },
        gltf::ARRAY_BUFFER);
    accessor.count = scene.vertex_count;
    return document.add_accessor(std::move(accessor));
}

int add_indices(gltf::Document& document, gltf::Payload& payload, const MeshScene& scene) {
    const std::uint64_t bytes = 4 * std::uint64_t{scene.index_count};
    const std::uint32_t* indices = scene.indices;
    gltf::Accessor accessor;
    accessor.buffer_view = gltf::add_view(
        document, payload, bytes,
        [=](std::uint8_t* at) { std::memcpy(at, indices, static_cast<std::size_t>(bytes)); },
        gltf::ELEMENT_ARRAY_BUFFER);
    accessor.component_type = gltf::UNSIGNED_INT;
    accessor.count = scene.index_count;
    accessor.type = "SCALAR";
    return document.add_accessor(std::move(accessor));
}

FloatLayout plan_float_mesh(const MeshScene& scene) {
    FloatLayout layout;
    require_valid_attributes(scene.attributes);
    // Without a triangle there is nothing to draw, and an empty accessor is
    // not valid glTF: such a mesh is a file with an empty scene.
    if (scene.vertex_count == 0 || scene.index_count == 0) return layout;
    gltf::Document& document = layout.document;
    gltf::Payload& payload = layout.payload;
    gltf::Primitive triangles;
    triangles.mode = gltf::TRIANGLES;
    layout.position = add_float_positions(document, payload, scene.positions, scene.vertex_count);
    triangles.attributes.emplace_back("POSITION", layout.position);
    triangles.attributes.emplace_back("NORMAL", add_normals(document, payload, scene));
    if (scene.colors.data != nullptr) {
        triangles.attributes.emplace_back(
            "COLOR_0", add_colors(document, payload, scene.colors, scene.vertex_count));
    }
    layout.attributes =
        add_float_attributes(document, payload, triangles, scene.attributes, scene.vertex_count);
    describe_attributes(document, scene.attributes);
    triangles.indices = add_indices(document, payload, scene);
    triangles.material = document.add_material(material_record(scene.material));
    add_scene_mesh(document, "Mesh", std::move(triangles));
    add_scene_frame(document, scene.frame);
    return layout;
}

}  // namespace

void write_mesh_scene(const MeshScene& scene, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (scene.compression.enabled) return write_compressed_mesh_scene(scene, out);
    require_finite_material(scene.material);
    FloatLayout layout = plan_float_mesh(scene);
    if (layout.position >= 0) {
        set_bounds(layout.document.accessors[layout.position],
                   exact_extents(scene.positions, scene.vertex_count));
        require_unit_colors(scene.colors, scene.vertex_count);
        set_float_attribute_bounds(layout.document, layout.attributes, scene.attributes,
                                   scene.vertex_count);
    }
    gltf::write_glb(std::move(layout.document), layout.payload, out);
}

std::optional<std::size_t> mesh_scene_size(const MeshScene& scene) {
    // Both layouts refuse a material that is not finite before all else.
    require_finite_material(scene.material);
    if (scene.compression.enabled) {
        require_valid_attributes(scene.attributes);
        return std::nullopt;
    }
    return largest_size(plan_float_mesh(scene));
}

}  // namespace glbcore
