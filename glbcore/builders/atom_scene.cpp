// Atoms for the public package: Morton order over the caller's cell or the
// exact extents, positions and palette colours gathered straight into the
// file, and POSITION bounds that are the exact extremes; or the compressed
// layout, or spheres.
#include <cstring>

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

// The same order with a caller's palette: the pairs route's order (the
// same as the buckets'), whose keys and scratch take the block until the
// gather of positions and colours of `components` floats.
void fill_sorted_atoms(const AtomScene& scene, const MortonGrid& grid, const Palette& palette,
                       std::uint8_t* block) {
    const AtomPipelineOptions options = production_pipeline_options(scene.count, scene.workers);
    const std::size_t color_bytes = sizeof(float) * palette.components();
    const std::size_t half = BYTES_PER_POSITION * std::size_t{scene.count};
    const WorkingArray<std::uint32_t> order =
        morton_order(scene.positions, scene.count, grid.lo, grid.hi, options,
                     SpareMemory{block, half + color_bytes * scene.count});
    std::uint8_t* colors = block + half;
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t atom = order[j];
            std::memcpy(block + BYTES_PER_POSITION * j, scene.positions + 3 * std::size_t{atom},
                        BYTES_PER_POSITION);
            std::memcpy(colors + color_bytes * j, palette.rgba(palette.entry(scene.types[atom])),
                        color_bytes);
        }
    });
}

bool has_translucent_entry(const Palette& palette) {
    for (std::uint32_t e = 0; e < palette.size(); ++e) {
        if (palette.translucent(e)) return true;
    }
    return false;
}

// Points whose COLOR_0 alpha is drawn: a white material that blends, so
// that the colours stay as stored.
gltf::Material blended_points_material() {
    gltf::Material material;
    material.name = "Atoms";
    material.metallic = 0.0;
    material.alpha_blend = true;
    return material;
}

int add_view_at(gltf::Document& document, std::size_t offset, std::uint64_t length) {
    gltf::BufferView view;
    view.byte_offset = offset;
    view.byte_length = static_cast<std::size_t>(length);
    view.target = gltf::ARRAY_BUFFER;
    return document.add_buffer_view(view);
}

// The layout with `components` colour floats per atom; the palette, when
// given, is read only when the file is written (the size twin plans with
// none).
FloatLayout plan_float_atoms(const AtomScene& scene, const MortonGrid& grid,
                             std::uint32_t components, const Palette* palette,
                             const std::uint32_t* const* order = nullptr) {
    FloatLayout layout;
    require_valid_attributes(scene.attributes);
    if (scene.count == 0) return layout;
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    gltf::Document& document = layout.document;
    // The size is refused before any pass over the data.
    const std::uint64_t half = BYTES_PER_POSITION * std::uint64_t{scene.count};
    const std::uint64_t colors = sizeof(float) * components * std::uint64_t{scene.count};
    const std::size_t offset =
        layout.payload.add(half + colors, [&scene, &grid, palette](std::uint8_t* block) {
            if (palette == nullptr || palette->is_default()) {
                fill_sorted_atoms(scene, grid, block);
            } else {
                fill_sorted_atoms(scene, grid, *palette, block);
            }
        });
    gltf::Accessor position;
    position.buffer_view = add_view_at(document, offset, half);
    position.count = scene.count;
    gltf::Accessor color;
    color.buffer_view = add_view_at(document, offset + static_cast<std::size_t>(half), colors);
    color.count = scene.count;
    color.type = components == 4 ? "VEC4" : "VEC3";

    gltf::Primitive points;
    layout.position = document.add_accessor(std::move(position));
    points.attributes = {{"POSITION", layout.position},
                         {"COLOR_0", document.add_accessor(std::move(color))}};
    points.mode = gltf::POINTS;
    if (palette != nullptr && has_translucent_entry(*palette)) {
        points.material = document.add_material(blended_points_material());
    }
    layout.attributes = add_float_attributes(document, layout.payload, points, scene.attributes,
                                             scene.count, order);
    describe_attributes(document, scene.attributes);
    add_scene_mesh(document, "Atoms", std::move(points));
    if (palette != nullptr) document.nodes.back().extras = palette_extras(*palette);
    add_scene_frame(document, scene.frame);
    return layout;
}

}  // namespace

void write_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (scene.style == AtomStyle::spheres) return write_sphere_atom_scene(scene, out);
    if (scene.compression.enabled) return write_compressed_atom_scene(scene, out);
    MortonGrid grid{};  // the payload's fill reads it when the file is written
    // The atoms' order for their attributes, read when the file is written.
    WorkingArray<std::uint32_t> attribute_order;
    const std::uint32_t* order = nullptr;
    const auto order_attributes = [&] {
        if (scene.attributes.count == 0) return;
        attribute_order = morton_order(scene.positions, scene.count, grid.lo, grid.hi,
                                       production_pipeline_options(scene.count, scene.workers));
        order = attribute_order.get();
    };
    const bool given = scene.palette.colors != nullptr;
    if (!given) {
        FloatLayout layout = plan_float_atoms(scene, grid, 3, nullptr, &order);
        if (layout.position >= 0) {
            const Extents extents = exact_extents(scene.positions, scene.count);
            grid = morton_grid(scene, extents);
            set_bounds(layout.document.accessors[layout.position], extents);
            order_attributes();
            set_float_attribute_bounds(layout.document, layout.attributes, scene.attributes,
                                       scene.count);
        }
        return gltf::write_glb(std::move(layout.document), layout.payload, out);
    }
    // A caller's palette is checked after the positions, as the sphere and
    // compressed writers check it.
    FloatLayout sized = plan_float_atoms(scene, grid, scene.palette.components, nullptr);
    if (sized.position < 0) return gltf::write_glb(std::move(sized.document), sized.payload, out);
    const Extents extents = exact_extents(scene.positions, scene.count);
    const Palette palette(scene.palette);
    FloatLayout layout = plan_float_atoms(scene, grid, palette.components(), &palette, &order);
    grid = morton_grid(scene, extents);
    order_attributes();
    set_float_attribute_bounds(layout.document, layout.attributes, scene.attributes, scene.count);
    set_bounds(layout.document.accessors[layout.position], extents);
    gltf::write_glb(std::move(layout.document), layout.payload, out);
}

std::optional<std::size_t> atom_scene_size(const AtomScene& scene) {
    if (scene.style == AtomStyle::spheres) {
        require_sphere_atom_scene_fits(scene);
        return std::nullopt;
    }
    if (scene.compression.enabled) {
        // The compressed writer's refusals before it reads the atoms.
        require_valid_attributes(scene.attributes);
        if (scene.count != 0 && (scene.box_lo || scene.box_hi)) {
            require_finite_box(scene.box_lo, scene.box_hi);
        }
        return std::nullopt;
    }
    const MortonGrid unused{};
    if (scene.palette.colors != nullptr) {
        // The palette's names and numbers are in the file: refusals only.
        plan_float_atoms(scene, unused, scene.palette.components, nullptr);
        return std::nullopt;
    }
    return largest_size(plan_float_atoms(scene, unused, 3, nullptr));
}

}  // namespace glbcore
