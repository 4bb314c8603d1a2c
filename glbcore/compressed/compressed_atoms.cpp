// Compressed atom files: the Morton order of the atom pipeline, split by
// palette entry so that no colour needs storing, each group chunked and
// compressed.
#include <algorithm>
#include <cstring>
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

// The atoms in the pipeline's Morton order: positions (12 bytes a place)
// at the start of `payload`, which has as many bytes again free behind
// them, and each place's palette entry: one byte for the default palette,
// which the bucket route writes, two for a caller's.
struct MortonAtoms {
    WorkingArray<std::uint8_t> payload;
    WorkingArray<std::uint8_t> byte_entries;
    WorkingArray<std::uint16_t> entries;
};

MortonAtoms atoms_in_morton_order(const AtomScene& scene, const MortonGrid& cell,
                                  const Palette& palette) {
    const std::size_t half = BYTES_PER_POSITION * std::size_t{scene.count};
    MortonAtoms atoms{allocate_working_array<std::uint8_t>(2 * half), nullptr, nullptr};
    const AtomPipelineOptions options = production_pipeline_options(scene.count, scene.workers);
    if (palette.is_default()) {
        atoms.byte_entries = allocate_working_array<std::uint8_t>(scene.count);
        write_atoms_by_buckets(scene.positions, scene.count, scene.types,
                               quantization_for_box(cell.lo, cell.hi), options, atoms.payload.get(),
                               atoms.byte_entries.get());
        return atoms;
    }
    // Any number of entries: the pairs route's order (the same), whose keys
    // and scratch take the payload until the gather.
    atoms.entries = allocate_working_array<std::uint16_t>(scene.count);
    const WorkingArray<std::uint32_t> order =
        morton_order(scene.positions, scene.count, cell.lo, cell.hi, options,
                     SpareMemory{atoms.payload.get(), 2 * half});
    std::uint8_t* positions = atoms.payload.get();
    std::uint16_t* entries = atoms.entries.get();
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t atom = order[j];
            std::memcpy(positions + BYTES_PER_POSITION * j, scene.positions + 3 * std::size_t{atom},
                        BYTES_PER_POSITION);
            entries[j] = static_cast<std::uint16_t>(palette.entry(scene.types[atom]));
        }
    });
    return atoms;
}

// Quantises places [begin, end) to out + 4 next[entry]++, and notes in
// `moved` (when given) the place each output place came from.
template <class Entry>
void quantize_range(const float* positions, const Entry* entries, std::uint32_t begin,
                    std::uint32_t end, const PointQuantizer& quantize, std::uint32_t* next,
                    std::uint16_t* out, std::uint32_t* moved) {
    for (std::uint32_t j = begin; j < end; ++j) {
        const std::uint32_t place = next[entries[j]]++;
        quantize(positions + 3 * std::size_t{j}, out + 4 * std::size_t{place});
        if (moved != nullptr) moved[place] = j;
    }
}

// Quantises the atoms (in Morton order) into groups by palette entry, each
// keeping that order: the k-th atom of entry e goes to place first[e] + k
// of `out` (4 u16 a place). Two passes over worker ranges: count each
// range's entries, then place its atoms after those of the earlier ranges,
// so the result is the same for every worker count. Returns first[], whose
// last entry is the count.
template <class Entry>
std::vector<std::uint32_t> quantize_by_palette_entry(const float* positions, const Entry* entries,
                                                     std::uint32_t count, std::uint32_t groups,
                                                     const PositionGrid& grid, unsigned workers,
                                                     std::uint16_t* out, std::uint32_t* moved) {
    if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
    if (count < MULTI_WORKER_MIN_ATOMS) workers = 1;
    const WorkSplit split = split_work_over(count, std::min(workers, count));
    // Each range's counts, then its write places: made before the threads start.
    std::vector<std::uint32_t> next(std::size_t{split.workers} * groups, 0);
    run_parallel(split.workers, workers, [&](std::uint32_t w) {
        std::uint32_t* counts = next.data() + std::size_t{w} * groups;
        for (std::uint32_t j = split.begin(w); j < split.end(w); ++j) ++counts[entries[j]];
    });
    std::vector<std::uint32_t> first(groups + 1);
    std::uint32_t place = 0;
    for (std::uint32_t e = 0; e < groups; ++e) {
        first[e] = place;
        for (std::uint32_t w = 0; w < split.workers; ++w) {
            std::uint32_t& range = next[std::size_t{w} * groups + e];
            const std::uint32_t atoms_of_range = range;
            range = place;  // from counts to where the range's atoms of e start
            place += atoms_of_range;
        }
    }
    first[groups] = place;
    const PointQuantizer quantize(grid);
    run_parallel(split.workers, workers, [&](std::uint32_t w) {
        quantize_range(positions, entries, split.begin(w), split.end(w), quantize,
                       next.data() + std::size_t{w} * groups, out, moved);
    });
    return first;
}

gltf::Material palette_material(const Palette& palette, std::uint32_t entry) {
    gltf::Material material;
    material.name = palette.named() ? palette.label(entry) : "Type" + std::to_string(entry);
    // Vertex colours and colour factors are both linear in glTF: the same
    // values as the uncompressed file's COLOR_0.
    const float* rgba = palette.rgba(entry);
    material.base_color = {rgba[0], rgba[1], rgba[2], rgba[3]};
    material.metallic = 0.0;
    material.unlit = true;
    material.alpha_blend = palette.translucent(entry);
    return material;
}

}  // namespace

void write_compressed_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    gltf::Document document;
    gltf::Payload payload;
    require_valid_attributes(scene.attributes);
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    const Extents extents = exact_extents(scene.positions, scene.count);
    const Palette palette(scene.palette);
    CompressedPoints points;
    points.grid = position_grid(extents, scene.compression.position_bits, false);
    points.workers = scene.workers;
    const MortonGrid cell = morton_grid(scene, extents);
    const MortonAtoms atoms = atoms_in_morton_order(scene, cell, palette);
    WorkingArray<std::uint32_t> moved;
    if (scene.attributes.count != 0) moved = allocate_working_array<std::uint32_t>(scene.count);
    // The quantised atoms take the payload's free half.
    auto* quantized = reinterpret_cast<std::uint16_t*>(
        atoms.payload.get() + BYTES_PER_POSITION * std::size_t{scene.count});
    const auto* positions = reinterpret_cast<const float*>(atoms.payload.get());
    const std::vector<std::uint32_t> first =
        atoms.entries
            ? quantize_by_palette_entry(positions, atoms.entries.get(), scene.count, palette.size(),
                                        points.grid, points.workers, quantized, moved.get())
            : quantize_by_palette_entry(positions, atoms.byte_entries.get(), scene.count,
                                        palette.size(), points.grid, points.workers, quantized,
                                        moved.get());
    points.quantized = quantized;
    // Attributes follow their atoms: output place p holds the atom at Morton
    // place moved[p], which is atom morton[moved[p]] of the caller's.
    if (scene.attributes.count != 0) {
        const WorkingArray<std::uint32_t> morton =
            morton_order(scene.positions, scene.count, cell.lo, cell.hi,
                         production_pipeline_options(scene.count, scene.workers));
        for (std::uint32_t p = 0; p < scene.count; ++p) moved[p] = morton[moved[p]];
        points.order = moved.get();
        points.attributes = scene.attributes;
    }

    std::vector<PointRun> runs;
    for (std::uint32_t e = 0; e < palette.size(); ++e) {
        if (first[e] == first[e + 1]) continue;
        runs.push_back(
            {first[e], first[e + 1], document.add_material(palette_material(palette, e))});
    }
    gltf::Mesh mesh{"Atoms", {}};
    add_compressed_point_chunks(document, payload, mesh, points, runs);
    gltf::Node node;
    node.name = "Atoms";
    node.mesh = document.add_mesh(std::move(mesh));
    node.extras = palette_extras(palette);
    set_dequantization(node, points.grid);
    document.scene_nodes.push_back(document.add_node(std::move(node)));
    add_scene_frame(document, scene.frame);
    describe_attributes(document, scene.attributes);
    document.use_extension("KHR_mesh_quantization", true);
    document.use_extension("KHR_materials_unlit", false);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
