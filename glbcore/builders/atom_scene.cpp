// Atoms for the public package: Morton order over the caller's cell or the
// exact extents, positions and palette colours gathered straight into the
// file, and POSITION bounds that are the exact extremes.
#include "order/order.h"
#include "compressed/compressed.h"
#include "base/base.h"
#include "glb/glb.h"
#include "attributes/attributes.h"
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

}  // namespace

void write_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (scene.style == AtomStyle::spheres) return write_sphere_atom_scene(scene, out);
    if (scene.compression.enabled) return write_compressed_atom_scene(scene, out);
    gltf::Document document;
    gltf::Payload payload;
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    // The size is refused before any pass over the data.
    const std::uint64_t half = BYTES_PER_POSITION * std::uint64_t{scene.count};
    MortonGrid grid{};
    const std::size_t offset = payload.add(2 * half, [&](std::uint8_t* block) {
        fill_sorted_atoms(scene, grid, block);
    });
    const Extents extents = exact_extents(scene.positions, scene.count);
    grid = morton_grid(scene, extents);
    gltf::Accessor position;
    position.buffer_view = add_view_at(document, offset, half);
    position.count = scene.count;
    set_bounds(position, extents);
    gltf::Accessor color;
    color.buffer_view = add_view_at(document, offset + static_cast<std::size_t>(half), half);
    color.count = scene.count;

    gltf::Primitive points;
    points.attributes = {{"POSITION", document.add_accessor(std::move(position))},
                         {"COLOR_0", document.add_accessor(std::move(color))}};
    points.mode = gltf::POINTS;
    add_scene_mesh(document, "Atoms", std::move(points));
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
