// Compact atom files: the Morton order of the atom pipeline, split by
// palette entry so that no colour needs storing, each group chunked and
// compressed.
#include <algorithm>
#include <array>
#include <string>

#include "atom_pipeline.h"
#include "compact_points.h"
#include "compact_scenes.h"
#include "scene_parts.h"

namespace glbcore {

namespace {

std::uint32_t palette_entry(std::uint16_t type) {
    return type < PALETTE_SIZE ? type : PALETTE_SIZE - 1;
}

// The Morton order regrouped by palette entry, stable inside each group;
// first[e] is where group e starts, first[PALETTE_SIZE] the count.
struct PaletteGroups {
    WorkingArray<std::uint32_t> order;
    std::array<std::uint32_t, PALETTE_SIZE + 1> first{};
};

PaletteGroups group_by_palette(const std::uint32_t* morton, const std::uint16_t* types,
                               std::uint32_t count) {
    PaletteGroups groups;
    for (std::uint32_t j = 0; j < count; ++j) ++groups.first[palette_entry(types[j]) + 1];
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) groups.first[e + 1] += groups.first[e];
    std::array<std::uint32_t, PALETTE_SIZE> next;
    std::copy(groups.first.begin(), groups.first.end() - 1, next.begin());
    groups.order = allocate_working_array<std::uint32_t>(count);
    for (std::uint32_t j = 0; j < count; ++j) {
        const std::uint32_t atom = morton[j];
        groups.order[next[palette_entry(types[atom])]++] = atom;
    }
    return groups;
}

gltf::Material palette_material(std::uint32_t entry) {
    gltf::Material material;
    material.name = "Type" + std::to_string(entry);
    // Vertex colours and colour factors are both linear in glTF: the same
    // values as the uncompressed file's COLOR_0.
    material.base_color = {TYPE_COLORS_R[entry], TYPE_COLORS_G[entry], TYPE_COLORS_B[entry], 1.0};
    material.metallic = 0.0;
    material.unlit = true;
    return material;
}

}  // namespace

void write_compact_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    gltf::Document document;
    gltf::Payload payload;
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    const Extents extents = exact_extents(scene.positions, scene.count);
    CompactPoints points;
    points.grid = position_grid(extents, scene.compression.position_bits, false);
    points.positions = scene.positions;
    points.workers = scene.compression.workers;
    const MortonGrid cell = morton_grid(scene, extents);
    PaletteGroups groups;
    {
        const WorkingArray<std::uint32_t> morton = morton_order(
            scene.positions, scene.count, cell.lo, cell.hi, production_pipeline_options(scene.count));
        groups = group_by_palette(morton.get(), scene.types, scene.count);
    }
    points.order = groups.order.get();

    std::vector<PointRun> runs;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        if (groups.first[e] == groups.first[e + 1]) continue;
        runs.push_back({groups.first[e], groups.first[e + 1],
                        document.add_material(palette_material(e))});
    }
    gltf::Mesh mesh{"Atoms", {}};
    add_compact_point_chunks(document, payload, mesh, points, runs);
    gltf::Node node;
    node.name = "Atoms";
    node.mesh = document.add_mesh(std::move(mesh));
    set_dequantization(node, points.grid);
    document.scene_nodes.push_back(document.add_node(std::move(node)));
    document.use_extension("KHR_mesh_quantization", true);
    document.use_extension("KHR_materials_unlit", false);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
