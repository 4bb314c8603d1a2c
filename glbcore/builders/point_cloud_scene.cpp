// Point clouds for the public package: positions unchanged with exact
// bounds, and colours, when given, in the caller's storage type; or the
// compressed layout.
#include "attributes/attributes.h"
#include "base/base.h"
#include "builders/builders.h"
#include "compressed/compressed.h"

namespace glbcore {

namespace {

FloatLayout plan_float_point_cloud(const PointCloudScene& scene) {
    FloatLayout layout;
    require_valid_attributes(scene.attributes);
    if (scene.count == 0) return layout;
    gltf::Document& document = layout.document;
    gltf::Primitive points;
    points.mode = gltf::POINTS;
    layout.position = add_float_positions(document, layout.payload, scene.positions, scene.count);
    points.attributes.emplace_back("POSITION", layout.position);
    if (scene.colors.data != nullptr) {
        points.attributes.emplace_back(
            "COLOR_0", add_colors(document, layout.payload, scene.colors, scene.count));
    }
    layout.attributes =
        add_float_attributes(document, layout.payload, points, scene.attributes, scene.count);
    describe_attributes(document, scene.attributes);
    add_scene_mesh(document, "PointCloud", std::move(points));
    add_scene_frame(document, scene.frame);
    return layout;
}

}  // namespace

void write_point_cloud_scene(const PointCloudScene& scene, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (scene.compression.enabled) return write_compressed_point_cloud_scene(scene, out);
    FloatLayout layout = plan_float_point_cloud(scene);
    if (layout.position >= 0) {
        set_bounds(layout.document.accessors[layout.position],
                   exact_extents(scene.positions, scene.count));
        require_unit_colors(scene.colors, scene.count);
        set_float_attribute_bounds(layout.document, layout.attributes, scene.attributes,
                                   scene.count);
    }
    gltf::write_glb(std::move(layout.document), layout.payload, out);
}

std::optional<std::size_t> point_cloud_scene_size(const PointCloudScene& scene) {
    if (scene.compression.enabled) {
        require_valid_attributes(scene.attributes);  // its one refusal before reading
        return std::nullopt;
    }
    return largest_size(plan_float_point_cloud(scene));
}

}  // namespace glbcore
