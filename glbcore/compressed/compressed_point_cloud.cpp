// Compressed point-cloud files: the points in Morton order over the cube on
// their exact extents (or as given), chunked and compressed with RGBA8
// colours.
#include <algorithm>
#include <optional>

#include "attributes/attributes.h"
#include "compressed/compressed.h"
#include "order/order.h"

namespace glbcore {

void write_compressed_point_cloud_scene(const PointCloudScene& scene, OutputBuffer& out) {
    gltf::Document document;
    gltf::Payload payload;
    require_valid_attributes(scene.attributes);
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    const Extents extents = exact_extents(scene.positions, scene.count);
    require_unit_colors(scene.colors, scene.count);
    CompressedPoints points;
    // One step on every axis, that of the longest: the error is the same in
    // every direction, and the thin axis of a scan costs few bits.
    points.grid = position_grid(extents, scene.compression.position_bits, true);
    points.positions = scene.positions;
    points.colors = scene.colors;
    points.attributes = scene.attributes;
    points.workers = scene.workers;
    points.scratch = scene.scratch;
    WorkingArray<std::uint32_t> order;
    std::optional<FineMorton> fine;
    if (!scene.keep_input_order) {
        // The cube of the position grid: cells as wide on every axis, so
        // that the curve runs through a flat scan as through a block; the
        // 1024 cells per axis are then refined to the quantisation's step.
        double lo[3], hi[3], longest = 0;
        for (int axis = 0; axis < 3; ++axis) {
            lo[axis] = extents.min[axis];
            longest = std::max(longest, double{extents.max[axis]} - lo[axis]);
        }
        for (int axis = 0; axis < 3; ++axis) hi[axis] = lo[axis] + longest;
        const AtomPipelineOptions options = production_pipeline_options(scene.count, scene.workers);
        order = morton_order(scene.positions, scene.count, lo, hi, options);
        fine.emplace(lo, hi, options.interleave);
        points.order = order.get();
        points.refine = &*fine;
    }
    gltf::Mesh mesh{"PointCloud", {}};
    add_compressed_point_chunks(document, payload, mesh, points, {PointRun{0, scene.count, -1}});
    gltf::Node node;
    node.name = "PointCloud";
    node.mesh = document.add_mesh(std::move(mesh));
    set_dequantization(node, points.grid);
    document.scene_nodes.push_back(document.add_node(std::move(node)));
    add_scene_frame(document, scene.frame);
    describe_attributes(document, scene.attributes);
    document.use_extension("KHR_mesh_quantization", true);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
