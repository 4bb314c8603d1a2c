// Compact atom files: the Morton order of the atom pipeline, split by
// palette entry so that no colour needs storing, each group chunked and
// compressed.
#include <algorithm>
#include <array>
#include <string>
#include <thread>
#include <vector>

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

constexpr std::size_t PREFETCH_DISTANCE = 64;
using PaletteCounts = std::array<std::uint32_t, PALETTE_SIZE>;

// Two passes over worker ranges of the Morton order: count each range's
// entries (remembering them, as the types are read in random order), then
// place its atoms after those of the earlier ranges. Stable, so the same
// for every worker count.
PaletteGroups group_by_palette(const std::uint32_t* morton, const std::uint16_t* types,
                               std::uint32_t count, unsigned workers) {
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    if (count < MULTI_WORKER_MIN_ATOMS) workers = 1;
    const WorkSplit split = split_work_over(count, std::min(workers, count));
    const auto entries = allocate_working_array<std::uint8_t>(count);
    std::vector<PaletteCounts> counts(split.workers, PaletteCounts{});
    run_parallel(split.workers, workers, [&](std::uint32_t w) {
        for (std::uint32_t j = split.begin(w); j < split.end(w); ++j) {
            if (j + PREFETCH_DISTANCE < count) __builtin_prefetch(types + morton[j + PREFETCH_DISTANCE]);
            entries[j] = static_cast<std::uint8_t>(palette_entry(types[morton[j]]));
            ++counts[w][entries[j]];
        }
    });
    PaletteGroups groups;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        groups.first[e + 1] = groups.first[e];
        for (const PaletteCounts& c : counts) groups.first[e + 1] += c[e];
    }
    // next[w][e]: where range w puts its first atom of entry e.
    std::vector<PaletteCounts> next(split.workers);
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        std::uint32_t place = groups.first[e];
        for (std::uint32_t w = 0; w < split.workers; ++w) {
            next[w][e] = place;
            place += counts[w][e];
        }
    }
    groups.order = allocate_working_array<std::uint32_t>(count);
    run_parallel(split.workers, workers, [&](std::uint32_t w) {
        for (std::uint32_t j = split.begin(w); j < split.end(w); ++j) {
            groups.order[next[w][entries[j]]++] = morton[j];
        }
    });
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
        groups = group_by_palette(morton.get(), scene.types, scene.count, points.workers);
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
