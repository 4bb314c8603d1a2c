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

// The distance to the nearest atom at a positive distance of at least
// `minimum` within the window around Morton place `place`, or NaN when there
// is none.
double nearest_in_window(const float* positions, const std::uint32_t* order, std::uint32_t count,
                         std::uint32_t place, double minimum) {
    const double least = minimum * minimum;
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
        if (squared > 0 && squared >= least && squared < best) best = squared;
    }
    return std::isinf(best) ? std::nan("") : std::sqrt(best);
}

// The value of rank `rank` in ascending order; the values are reordered.
double value_of_rank(std::vector<double>& values, std::size_t rank) {
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// The lower median and the upper quartile; the values are reordered.
double median_of(std::vector<double>& values) {
    return value_of_rank(values, (values.size() - 1) / 2);
}
double upper_quartile_of(std::vector<double>& values) {
    return value_of_rank(values, 3 * (values.size() - 1) / 4);
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

// The radius of each atom: the caller's, else the default of its type,
// times the scale.
class RadiusOf {
public:
    RadiusOf(const AtomScene& scene, const Palette& palette, const std::vector<float>& defaults)
        : scene_(scene), palette_(palette), defaults_(defaults) {}

    float operator()(std::uint32_t atom) const { return scene_.radius_scale * unscaled(atom); }

private:
    float unscaled(std::uint32_t atom) const {
        if (scene_.radius_per_atom) return scene_.radius_per_atom[atom];
        const std::uint16_t type = scene_.types[atom];
        if (scene_.radius_per_type && type < scene_.radius_type_count) {
            const float given = scene_.radius_per_type[type];
            if (!std::isnan(given)) return given;
        }
        return defaults_[palette_.entry(type)];
    }

    const AtomScene& scene_;
    const Palette& palette_;
    const std::vector<float>& defaults_;
};

struct GroupRadius {
    bool uniform = true;
    float radius = 0;  // the radius of every atom of the group when uniform
};

// The radius of each group, and the smallest and largest of all atoms.
struct Radii {
    std::vector<GroupRadius> groups;
    float smallest = FLOAT_MAX;
    float largest = 0;
};

void require_scaled_radius(const AtomScene& scene, float radius) {
    if (!is_positive_finite(radius)) {
        throw std::invalid_argument("radius_scale = " + value_text(scene.radius_scale) +
                                    " makes a radius of " + value_text(radius) +
                                    ", not a positive float");
    }
}

Radii group_radii(const AtomScene& scene, const Palette& palette, const RadiusOf& radius_of,
                  const std::vector<float>& defaults) {
    if (!is_positive_finite(scene.radius_scale)) {
        throw std::invalid_argument("radius_scale = " + value_text(scene.radius_scale) +
                                    " is not a positive number");
    }
    Radii radii;
    radii.groups.resize(palette.size());
    const auto note = [&radii](float r) {
        radii.smallest = std::min(radii.smallest, r);
        radii.largest = std::max(radii.largest, r);
    };
    if (!scene.radius_per_atom && !scene.radius_per_type) {
        for (std::uint32_t e = 0; e < palette.size(); ++e) {
            radii.groups[e].radius = scene.radius_scale * defaults[e];
            require_scaled_radius(scene, radii.groups[e].radius);
        }
        for (std::uint32_t i = 0; i < scene.count; ++i) {
            note(radii.groups[palette.entry(scene.types[i])].radius);
        }
        return radii;
    }
    std::vector<char> seen(palette.size(), 0);
    for (std::uint32_t i = 0; i < scene.count; ++i) {
        const std::uint32_t e = palette.entry(scene.types[i]);
        const float r = radius_of(i);
        require_scaled_radius(scene, r);
        note(r);
        GroupRadius& group = radii.groups[e];
        if (!seen[e]) {
            seen[e] = 1;
            group.radius = r;
        } else if (r != group.radius) {
            group.uniform = false;
        }
    }
    return radii;
}

// ---- The document -------------------------------------------------------

// The shortest decimal that reads back as `value` in float: a palette entry
// such as 0.267f is written as 0.267, not as the float's exact 0.26699998...
double shortest_decimal(float value) { return std::stod(value_text(value)); }

gltf::Material type_material(const Palette& palette, std::uint32_t entry) {
    gltf::Material material;
    material.name = palette.label(entry);
    // The palette is linear, as the points' float colours are.
    const float* rgba = palette.rgba(entry);
    material.base_color = {shortest_decimal(rgba[0]), shortest_decimal(rgba[1]),
                           shortest_decimal(rgba[2]), shortest_decimal(rgba[3])};
    material.metallic = 0.0;
    material.roughness = 0.5;
    material.alpha_blend = palette.translucent(entry);
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
// and its palette entry: each work chunk walks its Morton places and writes
// from its own offsets, so the partition is stable and the same for every
// split. The offsets are copied before the threads start.
template <class Visit>
void scatter_groups(const TypeGroups& groups, const AtomPipelineOptions& options, Visit visit) {
    const WorkSplit& split = options.split;
    const std::size_t entries = groups.groups();
    std::vector<std::uint32_t> next = groups.chunk_start;
    run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        std::uint32_t* mine = next.data() + begin / split.chunk * entries;
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t entry = groups.entries[j];
            visit(mine[entry]++, groups.order[j], entry);
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

// Prefix sums over groups, then chunks: where each chunk's items of each
// group start (per_chunk[c * groups + e] counts on input), and the start of
// each group (groups + 1 entries).
std::vector<std::uint32_t> place_by_group_then_chunk(std::vector<std::uint32_t>& per_chunk,
                                                     std::size_t chunks, std::size_t groups) {
    std::vector<std::uint32_t> start(groups + 1);
    std::uint32_t place = 0;
    for (std::size_t e = 0; e < groups; ++e) {
        start[e] = place;
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::uint32_t items = per_chunk[c * groups + e];
            per_chunk[c * groups + e] = place;
            place += items;
        }
    }
    start[groups] = place;
    return start;
}

}  // namespace

TypeGroups group_atoms_by_type(const float* positions, std::uint32_t count,
                               const std::uint16_t* types, const Palette& palette,
                               const double* grid_lo, const double* grid_hi,
                               const AtomPipelineOptions& options) {
    const std::size_t entries = palette.size();
    std::vector<std::uint32_t> totals(entries, 0);
    for (std::uint32_t i = 0; i < count; ++i) ++totals[palette.entry(types[i])];
    std::vector<std::uint64_t> thresholds(entries);
    for (std::size_t e = 0; e < entries; ++e) thresholds[e] = sample_threshold(totals[e]);

    TypeGroups groups;
    groups.order = morton_order(positions, count, grid_lo, grid_hi, options);
    groups.entries = allocate_working_array<std::uint16_t>(count);
    const std::uint32_t* order = groups.order.get();
    std::uint16_t* entry_of = groups.entries.get();
    const WorkSplit& split = options.split;
    // Two passes: count each chunk's atoms and samples of each group, then,
    // with the samples' places known, pick them.
    std::vector<std::uint32_t> atoms(split.workers * entries, 0);
    std::vector<std::uint32_t> picked(split.workers * entries, 0);
    run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        std::uint32_t* mine = atoms.data() + begin / split.chunk * entries;
        std::uint32_t* mine_picked = picked.data() + begin / split.chunk * entries;
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t e = palette.entry(types[order[j]]);
            entry_of[j] = static_cast<std::uint16_t>(e);
            ++mine[e];
            if (is_sample(j, thresholds[e])) ++mine_picked[e];
        }
    });
    groups.start = place_by_group_then_chunk(atoms, split.workers, entries);
    groups.chunk_start = std::move(atoms);
    groups.sample_start = place_by_group_then_chunk(picked, split.workers, entries);
    groups.samples.resize(groups.sample_start.back());
    run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        std::uint32_t* next = picked.data() + begin / split.chunk * entries;
        for (std::uint32_t j = begin; j < end; ++j) {
            const std::uint32_t e = entry_of[j];
            if (is_sample(j, thresholds[e])) groups.samples[next[e]++] = j;
        }
    });
    return groups;
}

std::vector<float> default_radii(const float* positions, const TypeGroups& groups) {
    const std::uint32_t count = groups.start.back();
    const std::uint32_t* order = groups.order.get();
    std::vector<double> nearest(groups.samples.size());
    std::vector<double> all;
    for (std::size_t s = 0; s < nearest.size(); ++s) {
        nearest[s] = nearest_in_window(positions, order, count, groups.samples[s], 0.0);
        if (!std::isnan(nearest[s])) all.push_back(nearest[s]);
    }
    const float fallback = all.empty() ? 1.0f : radius_for_distance(median_of(all));
    const double spacing = all.empty() ? 0.0 : upper_quartile_of(all);
    const double cut = CLOSE_FRACTION * spacing;
    std::vector<float> radii(groups.groups());
    std::vector<double> distances;
    for (std::uint32_t e = 0; e < groups.groups(); ++e) {
        const std::uint32_t first = groups.sample_start[e], last = groups.sample_start[e + 1];
        distances.clear();
        for (std::uint32_t s = first; s < last; ++s) {
            if (!std::isnan(nearest[s])) distances.push_back(nearest[s]);
        }
        if (distances.empty()) {
            radii[e] = fallback;
            continue;
        }
        double median = median_of(distances);
        if (median < cut) {  // close partners, not the spacing: those beyond the cut
            distances.clear();
            for (std::uint32_t s = first; s < last; ++s) {
                const double d = nearest_in_window(positions, order, count, groups.samples[s], cut);
                if (!std::isnan(d)) distances.push_back(d);
            }
            median = distances.empty() ? spacing : median_of(distances);
        }
        radii[e] = radius_for_distance(median);
    }
    return radii;
}

namespace {

// The instance accessors of each group, and the length of one unit of the
// stored translations: radii, in the sphere's vertices and in SCALE, are
// given in those units, because the node transform that turns them into
// coordinates scales the spheres too.
struct Instances {
    std::vector<int> translation;
    std::vector<int> scale;  // -1: no SCALE
    double unit = 1.0;
};

struct SphereRadii {
    const RadiusOf& of;
    const Radii& radii;
    bool uniform(std::uint32_t entry) const { return radii.groups[entry].uniform; }
};

int add_instance_view(gltf::Document& document, std::size_t offset, std::uint64_t length) {
    gltf::BufferView view;
    view.byte_offset = offset;
    view.byte_length = static_cast<std::size_t>(length);
    return document.add_buffer_view(view);
}

// Where each group's per-instance scales start in one block for the groups
// whose radii differ (groups + 1 entries; the last is the total).
std::vector<std::uint32_t> scale_places(const TypeGroups& groups, const SphereRadii& radii) {
    std::vector<std::uint32_t> first(groups.groups() + 1);
    std::uint32_t scaled = 0;
    for (std::uint32_t e = 0; e < groups.groups(); ++e) {
        first[e] = scaled;
        if (!radii.uniform(e)) scaled += groups.size(e);
    }
    first[groups.groups()] = scaled;
    return first;
}

// Float translations, one block for all groups (reserved by the caller
// before any pass over the data, so a file too large is refused first), and
// one block of float scales for the groups whose radii differ.
void add_float_instances(gltf::Document& document, gltf::Payload& payload, const TypeGroups& groups,
                         const AtomPipelineOptions& options, std::size_t translations,
                         const SphereRadii& radii, Instances& instances) {
    const std::vector<std::uint32_t> scale_first = scale_places(groups, radii);
    const std::uint64_t scaled = scale_first.back();
    const std::size_t scales =
        scaled == 0
            ? 0
            : payload.add(BYTES_PER_VEC3 * scaled, [&groups, &options, radii,
                                                    scale_first](std::uint8_t* block) {
                  scatter_groups(groups, options,
                                 [&](std::uint32_t k, std::uint32_t atom, std::uint32_t entry) {
                                     if (radii.uniform(entry)) return;
                                     const float r = radii.of(atom);
                                     const float scale[3] = {r, r, r};
                                     std::memcpy(block + BYTES_PER_VEC3 * (k - groups.start[entry] +
                                                                           scale_first[entry]),
                                                 scale, BYTES_PER_VEC3);
                                 });
              });
    for (std::uint32_t e = 0; e < groups.groups(); ++e) {
        const std::uint32_t size = groups.size(e);
        if (size == 0) continue;
        const std::size_t at =
            translations + static_cast<std::size_t>(BYTES_PER_VEC3 * groups.start[e]);
        instances.translation[e] = add_vec3_accessor(
            document, add_instance_view(document, at, BYTES_PER_VEC3 * size), 0, size);
        if (radii.uniform(e)) continue;
        const std::size_t scale_at =
            scales + static_cast<std::size_t>(BYTES_PER_VEC3 * scale_first[e]);
        instances.scale[e] = add_vec3_accessor(
            document, add_instance_view(document, scale_at, BYTES_PER_VEC3 * size), 0, size);
    }
}

// ---- Compressed instances -----------------------------------------------

// The grid of compressed translations (spheres.h). Grid point q (per axis)
// is stored as the float (q + 2^(bits - 2)) * 2^(step - unit) in stored
// units of 2^unit coordinate units, so every value has the exponent of
// 2^(bits - 2 + step - unit): the filter keeps it exactly. The node
// translates by `origin`, the minimum less 2^(bits - 2 + step), and scales
// by 2^unit.
struct TranslationGrid {
    double min[3];
    double origin[3];
    int step = 0;  // a step is 2^step coordinate units
    int unit = 0;
    int bits = 0;           // of the filter's mantissa
    std::uint32_t top = 0;  // the largest grid point stored
};

// The exponents (of 2^e > |value|) the filter keeps values at: floats stay
// below 2^127, and meshoptimizer's encoder gives no vector an exponent below
// 2^-100 (it would round smaller values more coarsely).
constexpr int HIGHEST_VALUE_EXPONENT = 127;
constexpr int LOWEST_VALUE_EXPONENT = -100;
// Mantissa bits beyond the position bits: a power-of-two step no larger
// than the integer grid's takes up to one bit more, the values' offset one,
// the filter's sign one.
constexpr int FILTER_EXTRA_BITS = 3;

TranslationGrid translation_grid(const Extents& extents, std::uint32_t position_bits) {
    // Refuses a bit count outside 14..16, and gives the step of the integer grid.
    const PositionGrid integer_grid = position_grid(extents, position_bits, true);
    TranslationGrid grid;
    grid.bits = static_cast<int>(position_bits) + FILTER_EXTRA_BITS;
    bool flat = true;
    for (int axis = 0; axis < 3; ++axis) {
        grid.min[axis] = extents.min[axis];
        flat = flat && extents.max[axis] == extents.min[axis];
    }
    if (flat) {
        grid.step = 2 - grid.bits;  // one value, 1.0
    } else {
        int exponent = 0;
        std::frexp(integer_grid.step[0], &exponent);
        grid.step = exponent - 1;  // 2^step <= the integer grid's step
    }
    const int highest =
        grid.bits - 1 + grid.step;  // every value lies in [2^(highest-1), 2^highest)
    if (highest > HIGHEST_VALUE_EXPONENT) grid.unit = highest - HIGHEST_VALUE_EXPONENT;
    if (highest < LOWEST_VALUE_EXPONENT) grid.unit = highest - LOWEST_VALUE_EXPONENT;
    const double offset = std::ldexp(1.0, grid.bits - 2 + grid.step);
    for (int axis = 0; axis < 3; ++axis) grid.origin[axis] = grid.min[axis] - offset;
    grid.top = (std::uint32_t{1} << (grid.bits - 2)) - 1;
    return grid;
}

// The stored values of `n` atoms, x y z each.
void grid_values(const TranslationGrid& grid, const float* positions, const std::uint32_t* atoms,
                 std::uint32_t n, float* out) {
    const double inverse_step = std::ldexp(1.0, -grid.step);
    const double top = grid.top;
    const double offset = std::ldexp(1.0, grid.bits - 2);
    const int exponent = grid.step - grid.unit;
    for (std::uint32_t k = 0; k < n; ++k) {
        const float* p = positions + 3 * std::size_t{atoms[k]};
        for (int axis = 0; axis < 3; ++axis) {
            const double t = (p[axis] - grid.min[axis]) * inverse_step;
            const double q = std::floor(std::clamp(t, 0.0, top) + 0.5);
            out[3 * std::size_t{k} + axis] = static_cast<float>(std::ldexp(q + offset, exponent));
        }
    }
}

// A radius in stored units, refused when they cannot hold it.
float stored_radius(float radius, const TranslationGrid& grid) {
    const float stored = std::ldexp(radius, -grid.unit);
    if (!is_positive_finite(stored)) {
        throw std::invalid_argument(
            "radius " + value_text(radius) +
            " cannot be stored with compressed spheres whose positions span so far (stored in "
            "units of 2^" +
            std::to_string(grid.unit) + "); write them uncompressed");
    }
    return stored;
}

// Where each present group's streams go in one block of encoded bytes.
struct StreamPlaces {
    std::vector<std::size_t> translation;
    std::vector<std::size_t> scale;
    std::size_t size = 0;
};

constexpr std::size_t STREAM_ALIGNMENT = 64;
std::size_t aligned_bound(std::uint32_t n) {
    const std::size_t bound = attribute_stream_bound(n, BYTES_PER_VEC3);
    return (bound + STREAM_ALIGNMENT - 1) / STREAM_ALIGNMENT * STREAM_ALIGNMENT;
}

StreamPlaces stream_places(const TypeGroups& groups, const std::vector<std::uint32_t>& present,
                           const SphereRadii& radii) {
    StreamPlaces places;
    for (const std::uint32_t e : present) {
        places.translation.push_back(places.size);
        places.size += aligned_bound(groups.size(e));
        places.scale.push_back(places.size);
        if (!radii.uniform(e)) places.size += aligned_bound(groups.size(e));
    }
    return places;
}

// Compressed instances: per group, the translations on the grid through the
// EXPONENTIAL filter and, where radii differ, float scales in stored units,
// each stream encoded by meshoptimizer, the groups in parallel on memory
// made before the threads start. Returns the grid.
TranslationGrid add_compressed_instances(gltf::Document& document, gltf::Payload& payload,
                                         const AtomScene& scene, const TypeGroups& groups,
                                         const AtomPipelineOptions& options, const Extents& extents,
                                         const SphereRadii& radii, Instances& instances) {
    const TranslationGrid grid = translation_grid(extents, scene.compression.position_bits);
    instances.unit = std::ldexp(1.0, grid.unit);
    stored_radius(radii.radii.smallest, grid);
    stored_radius(radii.radii.largest, grid);
    WorkingArray<std::uint32_t> grouped = allocate_working_array<std::uint32_t>(scene.count);
    scatter_groups(groups, options,
                   [&](std::uint32_t k, std::uint32_t atom, std::uint32_t) { grouped[k] = atom; });
    std::vector<std::uint32_t> present;
    for (std::uint32_t e = 0; e < groups.groups(); ++e) {
        if (groups.size(e) != 0) present.push_back(e);
    }
    const std::vector<std::uint32_t> scale_first = scale_places(groups, radii);
    const StreamPlaces places = stream_places(groups, present, radii);
    const WorkingArray<float> values = allocate_working_array<float>(3 * std::size_t{scene.count});
    const WorkingArray<std::uint32_t> words =
        allocate_working_array<std::uint32_t>(3 * std::size_t{scene.count});
    const WorkingArray<float> scale_values =
        allocate_working_array<float>(3 * std::size_t{scale_first.back()});
    const std::shared_ptr<std::uint8_t> block(
        allocate_working_array<std::uint8_t>(places.size).release(), FreeDeleter{});
    std::vector<MeshoptEncoded> translations(present.size());
    std::vector<MeshoptEncoded> scales(present.size());
    run_parallel(static_cast<std::uint32_t>(present.size()), scene.workers, [&](std::uint32_t i) {
        const std::uint32_t e = present[i];
        const std::uint32_t first = groups.start[e];
        const std::uint32_t size = groups.size(e);
        float* value = values.get() + 3 * std::size_t{first};
        std::uint32_t* word = words.get() + 3 * std::size_t{first};
        grid_values(grid, scene.positions, grouped.get() + first, size, value);
        exponential_filter(value, size, BYTES_PER_VEC3, grid.bits, word);
        translations[i] = encode_attributes_into(
            std::shared_ptr<std::uint8_t>(block, block.get() + places.translation[i]), word, size,
            BYTES_PER_VEC3, MeshoptFilter::exponential);
        if (radii.uniform(e)) return;
        float* scale = scale_values.get() + 3 * std::size_t{scale_first[e]};
        for (std::uint32_t k = 0; k < size; ++k) {
            const float r = std::ldexp(radii.of(grouped[first + k]), -grid.unit);
            scale[3 * k] = scale[3 * k + 1] = scale[3 * k + 2] = r;
        }
        scales[i] = encode_attributes_into(
            std::shared_ptr<std::uint8_t>(block, block.get() + places.scale[i]), scale, size,
            BYTES_PER_VEC3);
    });
    for (std::size_t i = 0; i < present.size(); ++i) {
        const std::uint32_t e = present[i];
        instances.translation[e] = add_vec3_accessor(
            document,
            add_meshopt_view(document, payload, std::move(translations[i]), gltf::NO_TARGET), 0,
            groups.size(e));
        if (radii.uniform(e)) continue;
        instances.scale[e] = add_vec3_accessor(
            document, add_meshopt_view(document, payload, std::move(scales[i]), gltf::NO_TARGET), 0,
            groups.size(e));
    }
    return grid;
}

void set_grid_transform(gltf::Node& node, const TranslationGrid& grid) {
    node.translation = {grid.origin[0], grid.origin[1], grid.origin[2]};
    if (grid.unit != 0) {
        const double unit = std::ldexp(1.0, grid.unit);
        node.scale = {unit, unit, unit};
    }
}

// Per-instance values (scenes.h's PointAttributes): each group's instances'
// rows, as float views or compressed streams, named on the group's node
// beside TRANSLATION. `grouped[k]` is the atom of grouped place k.
std::vector<gltf::NamedIndices> add_instance_attributes(gltf::Document& document,
                                                        gltf::Payload& payload,
                                                        const AtomScene& scene,
                                                        const TypeGroups& groups,
                                                        const std::uint32_t* grouped) {
    std::vector<gltf::NamedIndices> named(groups.groups());
    for (std::uint32_t e = 0; e < groups.groups(); ++e) {
        const std::uint32_t first = groups.start[e];
        const std::uint32_t size = groups.size(e);
        if (size == 0) continue;
        for (std::uint32_t a = 0; a < scene.attributes.count; ++a) {
            const PointAttribute attribute = scene.attributes.items[a];
            const std::uint32_t stride = attribute_stride(attribute);
            const auto rows = allocate_working_array<std::uint8_t>(std::size_t{stride} * size);
            gather_attribute_rows(attribute, grouped + first, 0, size, rows.get());
            gltf::Accessor accessor = attribute_accessor(attribute, size);
            set_attribute_bounds(accessor, attribute,
                                 scan_attribute_rows(attribute, rows.get(), size, stride));
            if (scene.compression.enabled) {
                accessor.buffer_view =
                    add_meshopt_view(document, payload, encode_attributes(rows.get(), size, stride),
                                     gltf::NO_TARGET);
            } else {
                accessor.buffer_view = gltf::add_view(
                    document, payload, std::uint64_t{stride} * size,
                    [attribute, grouped, first, size](std::uint8_t* at) {
                        gather_attribute_rows(attribute, grouped + first, 0, size, at);
                    },
                    gltf::NO_TARGET, stride == attribute_row_bytes(attribute) ? 0 : stride);
            }
            named[e].emplace_back(attribute_semantic(attribute.name),
                                  document.add_accessor(std::move(accessor)));
        }
    }
    describe_attributes(document, scene.attributes);
    return named;
}

}  // namespace

void require_sphere_atom_scene_fits(const AtomScene& scene) {
    require_valid_attributes(scene.attributes);
    if (scene.count == 0) return;
    if (scene.box_lo || scene.box_hi) require_finite_box(scene.box_lo, scene.box_hi);
    if (scene.compression.enabled) return;
    gltf::Payload translations;  // the writer's first block, refused as it refuses it
    translations.add(BYTES_PER_VEC3 * scene.count, nullptr);
}

void write_sphere_atom_scene(const AtomScene& scene, OutputBuffer& out) {
    gltf::Document document;
    gltf::Payload payload;
    require_valid_attributes(scene.attributes);
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
    const Palette palette(scene.palette);
    const MortonGrid grid = morton_grid(scene, extents);
    groups = group_atoms_by_type(scene.positions, scene.count, scene.types, palette, grid.lo,
                                 grid.hi, options);
    const std::vector<float> defaults = scene.radius_per_atom
                                            ? std::vector<float>(palette.size(), 1.0f)
                                            : default_radii(scene.positions, groups);
    const RadiusOf radius_of(scene, palette, defaults);
    const Radii group_radius = group_radii(scene, palette, radius_of, defaults);
    const SphereRadii radii{radius_of, group_radius};

    gltf::Node atoms;
    atoms.name = "Atoms";
    atoms.extras = palette_extras(palette);
    Instances instances;
    instances.translation.assign(palette.size(), -1);
    instances.scale.assign(palette.size(), -1);
    WorkingArray<std::uint32_t> grouped;
    std::vector<gltf::NamedIndices> instance_values(palette.size());
    if (scene.attributes.count != 0) {
        grouped = allocate_working_array<std::uint32_t>(scene.count);
        scatter_groups(groups, options, [&](std::uint32_t k, std::uint32_t atom, std::uint32_t) {
            grouped[k] = atom;
        });
        instance_values = add_instance_attributes(document, payload, scene, groups, grouped.get());
    }
    if (compressed) {
        set_grid_transform(atoms, add_compressed_instances(document, payload, scene, groups,
                                                           options, extents, radii, instances));
    } else {
        add_float_instances(document, payload, groups, options, translations, radii, instances);
    }
    SphereAccessors sphere(document, payload);
    for (std::uint32_t e = 0; e < palette.size(); ++e) {
        if (groups.size(e) == 0) continue;
        gltf::Node node;
        node.name = palette.label(e);
        node.instance_attributes.emplace_back("TRANSLATION", instances.translation[e]);
        if (instances.scale[e] >= 0)
            node.instance_attributes.emplace_back("SCALE", instances.scale[e]);
        for (auto& value : instance_values[e]) node.instance_attributes.push_back(value);
        // A group with SCALE keeps the unit sphere: its scales are in stored units.
        const GroupRadius& group = group_radius.groups[e];
        const float radius =
            group.uniform ? static_cast<float>(group.radius / instances.unit) : 1.0f;
        gltf::Primitive primitive;
        primitive.attributes = {{"POSITION", sphere.position(radius)}, {"NORMAL", sphere.normal()}};
        primitive.indices = sphere.indices();
        primitive.material = document.add_material(type_material(palette, e));
        primitive.mode = gltf::TRIANGLES;
        node.mesh = document.add_mesh(gltf::Mesh{palette.label(e), {primitive}});
        atoms.children.push_back(document.add_node(std::move(node)));
    }
    document.use_extension("EXT_mesh_gpu_instancing", true);
    document.scene_nodes.push_back(document.add_node(std::move(atoms)));
    add_scene_frame(document, scene.frame);
    gltf::write_glb(std::move(document), payload, out);
}

}  // namespace glbcore
