// Atoms as GPU-instanced spheres. The atoms are put in Morton order, as for
// points, and that order is split stably by palette entry, so each type's
// instances keep the curve's locality. Every type present becomes one node:
// its mesh is the shared icosphere with the type's colour, its instances the
// atom positions, and a per-instance SCALE only where the type's radii differ.
#include "spheres/spheres.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"
#include "compressed/compressed.h"
#include "glb/glb.h"

namespace glbcore {

namespace {

constexpr std::uint64_t BYTES_PER_VEC3 = 12;
constexpr float FLOAT_MAX = std::numeric_limits<float>::max();

// ---- Default radii ------------------------------------------------------

// The distance to the nearest atom at a positive distance within the window
// around Morton place `place`, or NaN when there is none.
double nearest_in_window(const float* positions, const std::uint32_t* order, std::uint32_t count,
                         std::uint32_t place) {
    const float* p = positions + 3 * std::size_t{order[place]};
    const std::uint32_t first = place >= NEIGHBOUR_WINDOW ? place - NEIGHBOUR_WINDOW : 0;
    const std::uint32_t last = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(count, std::uint64_t{place} + NEIGHBOUR_WINDOW + 1));
    double best = std::numeric_limits<double>::infinity();
    for (std::uint32_t q = first; q < last; ++q) {
        const float* r = positions + 3 * std::size_t{order[q]};
        double squared = 0;
        for (int axis = 0; axis < 3; ++axis) {
            const double d = static_cast<double>(r[axis]) - static_cast<double>(p[axis]);
            squared += d * d;
        }
        if (squared > 0 && squared < best) best = squared;
    }
    return std::isinf(best) ? std::nan("") : std::sqrt(best);
}

// The lower median; the values are reordered.
double median_of(std::vector<double>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

float radius_for_distance(double distance) {
    return std::max(static_cast<float>(RADIUS_FRACTION * distance),
                    std::numeric_limits<float>::min());
}

// ---- Radii as given -----------------------------------------------------

std::string value_text(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    std::string text;
    gltf::Number::of_float(value).append_to(text);
    return text;
}

bool is_positive_finite(float value) { return value > 0.0f && value <= FLOAT_MAX; }

// Per-atom radii must be positive; table entries too, or NaN for "default".
void require_positive_radii(const AtomScene& scene) {
    if (scene.radius_per_atom) {
        for (std::uint32_t i = 0; i < scene.count; ++i) {
            if (!is_positive_finite(scene.radius_per_atom[i])) {
                throw std::invalid_argument("radius[" + std::to_string(i) +
                                            "] = " + value_text(scene.radius_per_atom[i]) +
                                            " is not a positive number");
            }
        }
    }
    if (scene.radius_per_type) {
        for (std::uint32_t t = 0; t < scene.radius_type_count; ++t) {
            const float value = scene.radius_per_type[t];
            if (!std::isnan(value) && !is_positive_finite(value)) {
                throw std::invalid_argument("radius of type " + std::to_string(t) + " = " +
                                            value_text(value) + " is not a positive number");
            }
        }
    }
}

// The radius of each atom: the caller's, else the default of its type.
class RadiusOf {
public:
    RadiusOf(const AtomScene& scene, const std::array<float, PALETTE_SIZE>& defaults)
        : scene_(scene), defaults_(defaults) {}

    float operator()(std::uint32_t atom) const {
        if (scene_.radius_per_atom) return scene_.radius_per_atom[atom];
        const std::uint16_t type = scene_.types[atom];
        if (scene_.radius_per_type && type < scene_.radius_type_count) {
            const float given = scene_.radius_per_type[type];
            if (!std::isnan(given)) return given;
        }
        return defaults_[palette_entry(type)];
    }

private:
    const AtomScene& scene_;
    const std::array<float, PALETTE_SIZE>& defaults_;
};

struct GroupRadius {
    bool uniform = true;
    float radius = 0;  // the radius of every atom of the group when uniform
};

std::array<GroupRadius, PALETTE_SIZE> group_radii(const AtomScene& scene, const RadiusOf& radius_of,
                                                  const std::array<float, PALETTE_SIZE>& defaults) {
    std::array<GroupRadius, PALETTE_SIZE> groups;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) groups[e].radius = defaults[e];
    if (!scene.radius_per_atom && !scene.radius_per_type) return groups;
    std::array<bool, PALETTE_SIZE> seen{};
    for (std::uint32_t i = 0; i < scene.count; ++i) {
        const std::uint32_t e = palette_entry(scene.types[i]);
        const float r = radius_of(i);
        if (!seen[e]) {
            seen[e] = true;
            groups[e].radius = r;
        } else if (r != groups[e].radius) {
            groups[e].uniform = false;
        }
    }
    return groups;
}

// ---- The document -------------------------------------------------------

std::string type_label(std::uint32_t entry) {
    return entry + 1 < PALETTE_SIZE ? "type " + std::to_string(entry)
                                    : "type " + std::to_string(entry) + "+";
}

// The shortest decimal that reads back as `value` in float: a palette entry
// such as 0.267f is written as 0.267, not as the float's exact 0.26699998...
double shortest_decimal(float value) { return std::stod(value_text(value)); }

gltf::Material type_material(std::uint32_t entry) {
    gltf::Material material;
    material.name = type_label(entry);
    // The palette is linear, as the points' float colours are.
    material.base_color = {shortest_decimal(TYPE_COLORS_R[entry]),
                           shortest_decimal(TYPE_COLORS_G[entry]),
                           shortest_decimal(TYPE_COLORS_B[entry]), 1.0};
    material.metallic = 0.0;
    material.roughness = 0.5;
    return material;
}

int add_vec3_accessor(gltf::Document& document, int view, std::size_t byte_offset,
                      std::size_t count) {
    gltf::Accessor accessor;
    accessor.buffer_view = view;
    accessor.byte_offset = byte_offset;
    accessor.count = count;
    return document.add_accessor(std::move(accessor));
}

// The sphere's accessors: NORMAL and indices once, POSITION once per radius.
// The unit sphere's positions are its normals: one view holds both, and a
// view under two vertex attributes must state its stride.
constexpr std::uint32_t UNIT_VIEW_STRIDE = 12;
// A node's own scale would scale its instances' translations as well, so a
// type's common radius goes into the vertices of its sphere instead.
class SphereAccessors {
public:
    SphereAccessors(gltf::Document& document, gltf::Payload& payload)
        : document_(document), payload_(payload), sphere_(make_icosphere(SPHERE_SUBDIVISIONS)) {
        const std::size_t floats = sphere_.positions.size();
        unit_view_ = gltf::add_view(
            document, payload, 4 * floats,
            [this, floats](std::uint8_t* at) {
                std::memcpy(at, sphere_.positions.data(), 4 * floats);
            },
            gltf::ARRAY_BUFFER, UNIT_VIEW_STRIDE);
        normal_ = add_vec3_accessor(document, unit_view_, 0, vertex_count());
        const std::size_t index_count = sphere_.indices.size();
        gltf::Accessor indices;
        indices.buffer_view = gltf::add_view(
            document, payload, 2 * index_count,
            [this, index_count](std::uint8_t* at) {
                std::memcpy(at, sphere_.indices.data(), 2 * index_count);
            },
            gltf::ELEMENT_ARRAY_BUFFER);
        indices.component_type = gltf::UNSIGNED_SHORT;
        indices.count = index_count;
        indices.type = "SCALAR";
        indices_ = document.add_accessor(std::move(indices));
    }

    // The payload's fills point into this object.
    SphereAccessors(const SphereAccessors&) = delete;
    SphereAccessors& operator=(const SphereAccessors&) = delete;

    int normal() const { return normal_; }
    int indices() const { return indices_; }

    int position(float radius) {
        const auto found = position_of_radius_.find(radius);
        if (found != position_of_radius_.end()) return found->second;
        std::vector<float>& scaled = scaled_.emplace_back(sphere_.positions);
        for (float& c : scaled) c *= radius;
        const float* data = scaled.data();
        const std::size_t floats = scaled.size();
        const int view =
            radius == 1.0f
                ? unit_view_
                : gltf::add_view(
                      document_, payload_, 4 * floats,
                      [data, floats](std::uint8_t* at) { std::memcpy(at, data, 4 * floats); },
                      gltf::ARRAY_BUFFER);
        gltf::Accessor accessor;
        accessor.buffer_view = view;
        accessor.count = vertex_count();
        set_bounds(accessor, exact_extents(data, static_cast<std::uint32_t>(vertex_count())));
        const int index = document_.add_accessor(std::move(accessor));
        position_of_radius_.emplace(radius, index);
        return index;
    }

private:
    std::size_t vertex_count() const { return sphere_.positions.size() / 3; }

    gltf::Document& document_;
    gltf::Payload& payload_;
    const Icosphere sphere_;
    int unit_view_ = -1;
    int normal_ = -1;
    int indices_ = -1;
    std::vector<std::vector<float>> scaled_;  // the heap data stays put as the vector grows
    std::map<float, int> position_of_radius_;
};

// Calls visit(k, atom, entry) for every grouped place k, with the atom there
// and its palette entry: each
// work chunk walks its Morton places and writes from its own offsets, so the
// partition is stable and the same for every split.
template <class Visit>
void scatter_groups(const TypeGroups& groups, const AtomPipelineOptions& options, Visit visit) {
    const WorkSplit& split = options.split;
    run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        EntryCounts next = groups.chunk_start[begin / split.chunk];
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t entry = groups.entries[j];
            visit(next[entry]++, groups.order[j], entry);
        }
    });
}

// A place is a sample of its group with probability about
// RADIUS_SAMPLES / size: Fibonacci hashing spreads neighbouring places.
std::uint64_t sample_threshold(std::uint32_t group_size) {
    const std::uint64_t all = std::uint64_t{1} << 32;
    return group_size <= RADIUS_SAMPLES ? all : all / group_size * RADIUS_SAMPLES;
}
bool is_sample(std::uint32_t place, std::uint64_t threshold) {
    return std::uint64_t{place * 0x9E3779B1u} < threshold;
}

}  // namespace

TypeGroups group_atoms_by_type(const float* positions, std::uint32_t count,
                               const std::uint16_t* types, const double* grid_lo,
                               const double* grid_hi, const AtomPipelineOptions& options) {
    TypeGroups groups;
    EntryCounts totals{};
    for (std::uint32_t i = 0; i < count; ++i) ++totals[palette_entry(types[i])];
    std::array<std::uint64_t, PALETTE_SIZE> thresholds;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) thresholds[e] = sample_threshold(totals[e]);

    groups.order = morton_order(positions, count, grid_lo, grid_hi, options);
    groups.entries = allocate_working_array<std::uint8_t>(count);
    const std::uint32_t* order = groups.order.get();
    std::uint8_t* entries = groups.entries.get();
    const WorkSplit& split = options.split;
    std::vector<EntryCounts> counts(split.workers, EntryCounts{});
    std::vector<std::array<std::vector<std::uint32_t>, PALETTE_SIZE>> samples(split.workers);
    run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        const std::uint32_t chunk = begin / split.chunk;
        EntryCounts& mine = counts[chunk];
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t e = palette_entry(types[order[j]]);
            entries[j] = static_cast<std::uint8_t>(e);
            ++mine[e];
            if (is_sample(j, thresholds[e])) samples[chunk][e].push_back(j);
        }
    });
    groups.chunk_start.resize(split.workers);
    std::uint32_t place = 0;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        groups.start[e] = place;
        for (std::uint32_t c = 0; c < split.workers; ++c) {
            groups.chunk_start[c][e] = place;
            place += counts[c][e];
            groups.samples[e].insert(groups.samples[e].end(), samples[c][e].begin(),
                                     samples[c][e].end());
        }
    }
    groups.start[PALETTE_SIZE] = place;
    return groups;
}

std::array<float, PALETTE_SIZE> default_radii(const float* positions, const TypeGroups& groups) {
    const std::uint32_t count = groups.start[PALETTE_SIZE];
    std::array<std::vector<double>, PALETTE_SIZE> distances;
    std::vector<double> all;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        for (const std::uint32_t place : groups.samples[e]) {
            const double d = nearest_in_window(positions, groups.order.get(), count, place);
            if (std::isnan(d)) continue;
            distances[e].push_back(d);
            all.push_back(d);
        }
    }
    const float fallback = all.empty() ? 1.0f : radius_for_distance(median_of(all));
    std::array<float, PALETTE_SIZE> radii;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        radii[e] = distances[e].empty() ? fallback : radius_for_distance(median_of(distances[e]));
    }
    return radii;
}

namespace {

// The instance accessors of each group, and the length of one unit of the
// stored translations: radii, in the sphere's vertices and in SCALE, are
// given in those units, because the node transform that turns them into
// coordinates scales the spheres too.
struct Instances {
    std::array<int, PALETTE_SIZE> translation{};
    std::array<int, PALETTE_SIZE> scale{};  // -1: no SCALE
    double unit = 1.0;
};

struct SphereRadii {
    const RadiusOf& of;
    const std::array<GroupRadius, PALETTE_SIZE>& groups;
};

int add_instance_view(gltf::Document& document, std::size_t offset, std::uint64_t length) {
    gltf::BufferView view;
    view.byte_offset = offset;
    view.byte_length = static_cast<std::size_t>(length);
    return document.add_buffer_view(view);
}

// Float translations, one block for all groups (reserved by the caller
// before any pass over the data, so a file too large is refused first), and
// one block of float scales for the groups whose radii differ.
void add_float_instances(gltf::Document& document, gltf::Payload& payload, const TypeGroups& groups,
                         const AtomPipelineOptions& options, std::size_t translations,
                         const SphereRadii& radii, Instances& instances) {
    std::array<std::uint32_t, PALETTE_SIZE> scale_first{};
    std::uint64_t scaled = 0;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        scale_first[e] = static_cast<std::uint32_t>(scaled);
        if (!radii.groups[e].uniform) scaled += groups.size(e);
    }
    const std::size_t scales =
        scaled == 0
            ? 0
            : payload.add(BYTES_PER_VEC3 * scaled, [&groups, &options, radii,
                                                    scale_first](std::uint8_t* block) {
                  scatter_groups(groups, options,
                                 [&](std::uint32_t k, std::uint32_t atom, std::uint32_t entry) {
                                     if (radii.groups[entry].uniform) return;
                                     const float r = radii.of(atom);
                                     const float scale[3] = {r, r, r};
                                     std::memcpy(block + BYTES_PER_VEC3 * (k - groups.start[entry] +
                                                                           scale_first[entry]),
                                                 scale, BYTES_PER_VEC3);
                                 });
              });
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        const std::uint32_t size = groups.size(e);
        if (size == 0) continue;
        const std::size_t at =
            translations + static_cast<std::size_t>(BYTES_PER_VEC3 * groups.start[e]);
        instances.translation[e] = add_vec3_accessor(
            document, add_instance_view(document, at, BYTES_PER_VEC3 * size), 0, size);
        instances.scale[e] = -1;
        if (radii.groups[e].uniform) continue;
        const std::size_t scale_at =
            scales + static_cast<std::size_t>(BYTES_PER_VEC3 * scale_first[e]);
        instances.scale[e] = add_vec3_accessor(
            document, add_instance_view(document, scale_at, BYTES_PER_VEC3 * size), 0, size);
    }
}

// Compressed instances: per group, the translations as unsigned 16-bit
// integers over a uniform grid on the exact bounds (KHR_mesh_quantization;
// one step on every axis keeps the spheres round) and, where radii differ,
// float scales in grid steps, each stream encoded by meshoptimizer, the
// groups in parallel. Returns the grid, whose node transform dequantises.
PositionGrid add_compressed_instances(gltf::Document& document, gltf::Payload& payload,
                                      const AtomScene& scene, const TypeGroups& groups,
                                      const AtomPipelineOptions& options, const Extents& extents,
                                      const SphereRadii& radii, Instances& instances) {
    const PositionGrid grid = position_grid(extents, scene.compression.position_bits, true);
    instances.unit = grid.step[0];
    WorkingArray<std::uint32_t> grouped = allocate_working_array<std::uint32_t>(scene.count);
    scatter_groups(groups, options,
                   [&](std::uint32_t k, std::uint32_t atom, std::uint32_t) { grouped[k] = atom; });
    std::vector<std::uint32_t> present;
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        if (groups.size(e) != 0) present.push_back(e);
    }
    std::vector<MeshoptEncoded> translations(present.size());
    std::vector<MeshoptEncoded> scales(present.size());
    run_parallel(static_cast<std::uint32_t>(present.size()), scene.workers, [&](std::uint32_t i) {
        const std::uint32_t e = present[i];
        const std::uint32_t first = groups.start[e];
        const std::uint32_t size = groups.size(e);
        std::vector<std::uint16_t> stored(4 * std::size_t{size});
        quantize_positions(scene.positions, grouped.get(), first, first + size, grid,
                           stored.data());
        translations[i] = encode_attributes(stored.data(), size, QUANTIZED_POSITION_STRIDE);
        if (radii.groups[e].uniform) return;
        std::vector<float> scale(3 * std::size_t{size});
        for (std::uint32_t k = 0; k < size; ++k) {
            const float r = static_cast<float>(radii.of(grouped[first + k]) / grid.step[0]);
            scale[3 * k] = scale[3 * k + 1] = scale[3 * k + 2] = r;
        }
        scales[i] = encode_attributes(scale.data(), size, BYTES_PER_VEC3);
    });
    for (std::size_t i = 0; i < present.size(); ++i) {
        const std::uint32_t e = present[i];
        gltf::Accessor translation;
        translation.buffer_view =
            add_meshopt_view(document, payload, std::move(translations[i]), gltf::NO_TARGET);
        translation.component_type = gltf::UNSIGNED_SHORT;
        translation.count = groups.size(e);
        instances.translation[e] = document.add_accessor(std::move(translation));
        instances.scale[e] =
            radii.groups[e].uniform
                ? -1
                : add_vec3_accessor(
                      document,
                      add_meshopt_view(document, payload, std::move(scales[i]), gltf::NO_TARGET), 0,
                      groups.size(e));
    }
    document.use_extension("KHR_mesh_quantization", true);
    return grid;
}

}  // namespace

void require_sphere_atom_scene_fits(const AtomScene& scene) {
    if (scene.count == 0) return;
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    if (scene.compression.enabled) return;
    gltf::Payload translations;  // the writer's first block, refused as it refuses it
    translations.add(BYTES_PER_VEC3 * scene.count, nullptr);
}

void write_sphere_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    gltf::Document document;
    gltf::Payload payload;
    if (scene.count == 0) return gltf::write_glb(document, payload, out);
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    TypeGroups groups;
    const AtomPipelineOptions options = production_pipeline_options(scene.count, scene.workers);
    const bool compressed = scene.compression.enabled;
    const std::size_t translations =
        compressed ? 0 : payload.add(BYTES_PER_VEC3 * scene.count, [&](std::uint8_t* block) {
            scatter_groups(groups, options,
                           [&](std::uint32_t k, std::uint32_t atom, std::uint32_t) {
                               std::memcpy(block + BYTES_PER_VEC3 * k,
                                           scene.positions + 3 * std::size_t{atom}, BYTES_PER_VEC3);
                           });
        });
    const Extents extents = exact_extents(scene.positions, scene.count);
    require_positive_radii(scene);
    const MortonGrid grid = morton_grid(scene, extents);
    groups =
        group_atoms_by_type(scene.positions, scene.count, scene.types, grid.lo, grid.hi, options);
    const std::array<float, PALETTE_SIZE> defaults = scene.radius_per_atom
                                                         ? std::array<float, PALETTE_SIZE>{}
                                                         : default_radii(scene.positions, groups);
    const RadiusOf radius_of(scene, defaults);
    const std::array<GroupRadius, PALETTE_SIZE> group_radius =
        group_radii(scene, radius_of, defaults);
    const SphereRadii radii{radius_of, group_radius};

    gltf::Node atoms;
    atoms.name = "Atoms";
    Instances instances;
    if (compressed) {
        set_dequantization(atoms, add_compressed_instances(document, payload, scene, groups,
                                                           options, extents, radii, instances));
    } else {
        add_float_instances(document, payload, groups, options, translations, radii, instances);
    }
    SphereAccessors sphere(document, payload);
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        if (groups.size(e) == 0) continue;
        gltf::Node node;
        node.name = type_label(e);
        node.instance_attributes.emplace_back("TRANSLATION", instances.translation[e]);
        if (instances.scale[e] >= 0)
            node.instance_attributes.emplace_back("SCALE", instances.scale[e]);
        // A group with SCALE keeps the unit sphere: its scales are in stored units.
        const float radius = group_radius[e].uniform
                                 ? static_cast<float>(group_radius[e].radius / instances.unit)
                                 : 1.0f;
        gltf::Primitive primitive;
        primitive.attributes = {{"POSITION", sphere.position(radius)}, {"NORMAL", sphere.normal()}};
        primitive.indices = sphere.indices();
        primitive.material = document.add_material(type_material(e));
        primitive.mode = gltf::TRIANGLES;
        node.mesh = document.add_mesh(gltf::Mesh{type_label(e), {primitive}});
        atoms.children.push_back(document.add_node(std::move(node)));
    }
    document.use_extension("EXT_mesh_gpu_instancing", true);
    document.scene_nodes.push_back(document.add_node(std::move(atoms)));
    add_scene_frame(document, scene.frame);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
