// Compressed atom files: the Morton order of the atom pipeline, split by
// palette entry so that no colour needs storing, each group chunked and
// compressed.
#include <algorithm>
#include <array>
#include <string>
#include <thread>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"
#include "compressed/compressed.h"
#include "order/order.h"

namespace glbcore {

namespace {

constexpr std::size_t BYTES_PER_POSITION = 12;
using PaletteCounts = std::array<std::uint32_t, PALETTE_SIZE>;

// The atoms in the pipeline's Morton order: positions (12 bytes a place)
// at the start of `payload`, which has as many bytes again free behind
// them, and each place's palette entry in `entries`.
struct MortonAtoms {
    WorkingArray<std::uint8_t> payload;
    WorkingArray<std::uint8_t> entries;
};

MortonAtoms atoms_in_morton_order(const AtomScene& scene, const MortonGrid& cell) {
    const std::size_t half = BYTES_PER_POSITION * std::size_t{scene.count};
    MortonAtoms atoms{allocate_working_array<std::uint8_t>(2 * half),
                      allocate_working_array<std::uint8_t>(scene.count)};
    write_atoms_by_buckets(scene.positions, scene.count, scene.types,
                           quantization_for_box(cell.lo, cell.hi),
                           production_pipeline_options(scene.count, scene.workers),
                           atoms.payload.get(), atoms.entries.get());
    return atoms;
}

PaletteCounts count_entries(const std::uint8_t* entries, std::uint32_t begin, std::uint32_t end) {
    PaletteCounts counts{};
    for (std::uint32_t j = begin; j < end; ++j) ++counts[entries[j]];
    return counts;
}

// Quantises places [begin, end) to out + 4 next[entry]++; all in locals,
// which the stores cannot alias.
void quantize_range(const float* positions, const std::uint8_t* entries, std::uint32_t begin,
                    std::uint32_t end, const PointQuantizer quantize, PaletteCounts next,
                    std::uint16_t* out) {
    for (std::uint32_t j = begin; j < end; ++j) {
        quantize(positions + 3 * std::size_t{j}, out + 4 * std::size_t{next[entries[j]]++});
    }
}

// Quantises the atoms (in Morton order) into groups by palette entry, each
// keeping that order: the k-th atom of entry e goes to place first[e] + k
// of `out` (4 u16 a place). Two passes over worker ranges: count each
// range's entries, then place its atoms after those of the earlier ranges,
// so the result is the same for every worker count. Returns first[], whose
// last entry is the count.
std::array<std::uint32_t, PALETTE_SIZE + 1> quantize_by_palette_entry(const MortonAtoms& atoms,
                                                                      std::uint32_t count,
                                                                      const PositionGrid& grid,
                                                                      unsigned workers,
                                                                      std::uint16_t* out) {
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    if (count < MULTI_WORKER_MIN_ATOMS) workers = 1;
    const WorkSplit split = split_work_over(count, std::min(workers, count));
    const std::uint8_t* entries = atoms.entries.get();
    std::vector<PaletteCounts> next(split.workers);
    run_parallel(split.workers, workers, [&](std::uint32_t w) {
        next[w] = count_entries(entries, split.begin(w), split.end(w));
    });
    std::array<std::uint32_t, PALETTE_SIZE + 1> first{};
    std::uint32_t place = 0;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        first[e] = place;
        for (PaletteCounts& range : next) {
            const std::uint32_t atoms_of_range = range[e];
            range[e] = place;  // from counts to where the range's atoms of e start
            place += atoms_of_range;
        }
    }
    first[PALETTE_SIZE] = place;
    const auto* positions = reinterpret_cast<const float*>(atoms.payload.get());
    const PointQuantizer quantize(grid);
    run_parallel(split.workers, workers, [&](std::uint32_t w) {
        quantize_range(positions, entries, split.begin(w), split.end(w), quantize, next[w], out);
    });
    return first;
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

void write_compressed_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    gltf::Document document;
    gltf::Payload payload;
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    const Extents extents = exact_extents(scene.positions, scene.count);
    CompressedPoints points;
    points.grid = position_grid(extents, scene.compression.position_bits, false);
    points.workers = scene.workers;
    const MortonGrid cell = morton_grid(scene, extents);
    const MortonAtoms atoms = atoms_in_morton_order(scene, cell);
    // The quantised atoms take the payload's free half.
    auto* quantized = reinterpret_cast<std::uint16_t*>(
        atoms.payload.get() + BYTES_PER_POSITION * std::size_t{scene.count});
    const auto first =
        quantize_by_palette_entry(atoms, scene.count, points.grid, points.workers, quantized);
    points.quantized = quantized;

    std::vector<PointRun> runs;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        if (first[e] == first[e + 1]) continue;
        runs.push_back({first[e], first[e + 1], document.add_material(palette_material(e))});
    }
    gltf::Mesh mesh{"Atoms", {}};
    add_compressed_point_chunks(document, payload, mesh, points, runs);
    gltf::Node node;
    node.name = "Atoms";
    node.mesh = document.add_mesh(std::move(mesh));
    set_dequantization(node, points.grid);
    document.scene_nodes.push_back(document.add_node(std::move(node)));
    add_scene_frame(document, scene.frame);
    document.use_extension("KHR_mesh_quantization", true);
    document.use_extension("KHR_materials_unlit", false);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
