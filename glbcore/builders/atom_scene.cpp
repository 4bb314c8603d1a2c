// Atoms for the public package: Morton order over the caller's cell or the
// exact extents, positions and palette colours gathered straight into the
// file, and POSITION bounds that are the exact extremes; or the compressed
// layout, or spheres.
#include "attributes/attributes.h"
#include "base/base.h"
#include "builders/builders.h"
#include "compressed/compressed.h"
#include "order/order.h"
#include "spheres/spheres.h"

namespace glbcore {

namespace {

constexpr std::uint64_t BYTES_PER_POSITION = 12;  // float x y z, and as much for r g b

// Fills the block, positions in its first half and colours in its second,
// in Morton order over the grid: the atom file's own route, so both give
// the same payload.
void fill_sorted_atoms(const AtomScene& scene, const MortonGrid& grid, std::uint8_t* block) {
    write_atoms_by_buckets(scene.positions, scene.count, scene.types,
                           quantization_for_box(grid.lo, grid.hi),
                           production_pipeline_options(scene.count, scene.workers), block);
}

int add_view_at(gltf::Document& document, std::size_t offset, std::uint64_t length) {
    gltf::BufferView view;
    view.byte_offset = offset;
    view.byte_length = static_cast<std::size_t>(length);
    view.target = gltf::ARRAY_BUFFER;
    return document.add_buffer_view(view);
}

FloatLayout plan_float_atoms(const AtomScene& scene, const MortonGrid& grid) {
    FloatLayout layout;
    if (scene.count == 0) return layout;
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    gltf::Document& document = layout.document;
    // The size is refused before any pass over the data.
    const std::uint64_t half = BYTES_PER_POSITION * std::uint64_t{scene.count};
    const std::size_t offset = layout.payload.add(
        2 * half, [&scene, &grid](std::uint8_t* block) { fill_sorted_atoms(scene, grid, block); });
    gltf::Accessor position;
    position.buffer_view = add_view_at(document, offset, half);
    position.count = scene.count;
    gltf::Accessor color;
    color.buffer_view = add_view_at(document, offset + static_cast<std::size_t>(half), half);
    color.count = scene.count;

    gltf::Primitive points;
    layout.position = document.add_accessor(std::move(position));
    points.attributes = {{"POSITION", layout.position},
                         {"COLOR_0", document.add_accessor(std::move(color))}};
    points.mode = gltf::POINTS;
    add_scene_mesh(document, "Atoms", std::move(points));
    add_scene_frame(document, scene.frame);
    return layout;
}

}  // namespace

void write_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (scene.style == AtomStyle::spheres) return write_sphere_atom_scene(scene, out);
    if (scene.compression.enabled) return write_compressed_atom_scene(scene, out);
    MortonGrid grid{};  // the payload's fill reads it when the file is written
    FloatLayout layout = plan_float_atoms(scene, grid);
    if (layout.position >= 0) {
        const Extents extents = exact_extents(scene.positions, scene.count);
        grid = morton_grid(scene, extents);
        set_bounds(layout.document.accessors[layout.position], extents);
    }
    gltf::write_glb(std::move(layout.document), layout.payload, out);
}

std::optional<std::size_t> atom_scene_size(const AtomScene& scene) {
    if (scene.style == AtomStyle::spheres) {
        require_sphere_atom_scene_fits(scene);
        return std::nullopt;
    }
    if (scene.compression.enabled) {
        // The compressed writer's one refusal before it reads the atoms.
        if (scene.count != 0 && (scene.box_lo || scene.box_hi)) {
            require_finite_box(scene.box_lo, scene.box_hi);
        }
        return std::nullopt;
    }
    const MortonGrid unused{};
    return largest_size(plan_float_atoms(scene, unused));
}

}  // namespace glbcore
