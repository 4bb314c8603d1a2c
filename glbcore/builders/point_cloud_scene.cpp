// Point clouds for the public package: positions unchanged with exact
// bounds, and colours, when given, in the caller's storage type.
#include "compressed/compressed.h"
#include "base/base.h"
#include "attributes/attributes.h"

namespace glbcore {

void write_point_cloud_scene(const PointCloudScene& scene, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (scene.compression.enabled) return write_compressed_point_cloud_scene(scene, out);
    gltf::Document document;
    gltf::Payload payload;
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    gltf::Primitive points;
    points.mode = gltf::POINTS;
    const int position = add_float_positions(document, payload, scene.positions, scene.count);
    points.attributes.emplace_back("POSITION", position);
    if (scene.colors.data != nullptr) {
        points.attributes.emplace_back("COLOR_0",
                                       add_colors(document, payload, scene.colors, scene.count));
    }
    set_bounds(document.accessors[position], exact_extents(scene.positions, scene.count));
    require_unit_colors(scene.colors, scene.count);
    add_scene_mesh(document, "PointCloud", std::move(points));
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
