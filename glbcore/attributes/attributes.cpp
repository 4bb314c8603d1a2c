// Shared pieces of the public builders: positions with exact bounds and
// colour attributes in the caller's storage type.
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "attributes/attributes.h"
#include "base/base.h"

namespace glbcore {

namespace {

std::uint32_t component_bytes(ColorType type) {
    switch (type) {
        case ColorType::float32: return 4;
        case ColorType::uint16: return 2;
        case ColorType::uint8: return 1;
    }
    return 4;
}

int component_type(ColorType type) {
    switch (type) {
        case ColorType::float32: return gltf::FLOAT;
        case ColorType::uint16: return gltf::UNSIGNED_SHORT;
        case ColorType::uint8: return gltf::UNSIGNED_BYTE;
    }
    return gltf::FLOAT;
}

std::string shortest_text(float value) {
    std::string text;
    gltf::Number::of_float(value).append_to(text);
    return text;
}

}  // namespace

int add_float_positions(gltf::Document& document, gltf::Payload& payload, const float* positions,
                        std::uint32_t count) {
    const std::uint64_t bytes = 12 * std::uint64_t{count};
    gltf::Accessor accessor;
    accessor.buffer_view = gltf::add_view(
        document, payload, bytes,
        [=](std::uint8_t* at) { std::memcpy(at, positions, static_cast<std::size_t>(bytes)); },
        gltf::ARRAY_BUFFER);
    accessor.count = count;
    return document.add_accessor(std::move(accessor));
}

void set_bounds(gltf::Accessor& accessor, const Extents& extents) {
    accessor.min.clear();
    accessor.max.clear();
    for (int axis = 0; axis < 3; ++axis) {
        accessor.min.push_back(gltf::Number::of_float(extents.min[axis]));
        accessor.max.push_back(gltf::Number::of_float(extents.max[axis]));
    }
}

void require_unit_colors(const ColorArray& colors, std::uint32_t count) {
    if (colors.data == nullptr || colors.type != ColorType::float32) return;
    const std::uint64_t n = std::uint64_t{count} * colors.components;
    const auto* bytes = static_cast<const std::uint8_t*>(colors.data);
    for (std::uint64_t i = 0; i < n; ++i) {
        float value;
        std::memcpy(&value, bytes + 4 * i, 4);
        if (!(value >= 0.0f && value <= 1.0f)) {
            const std::string shown = std::isfinite(value) ? shortest_text(value)
                                      : std::isnan(value)  ? "nan"
                                                           : (value > 0 ? "inf" : "-inf");
            throw std::invalid_argument("colors[" + std::to_string(i / colors.components) + ", " +
                                        std::to_string(i % colors.components) + "] = " + shown +
                                        " is outside 0..1");
        }
    }
}

int add_colors(gltf::Document& document, gltf::Payload& payload, const ColorArray& colors,
               std::uint32_t count) {
    const std::uint32_t row = colors.components * component_bytes(colors.type);
    const std::uint32_t stride = round_up_to_4(row);
    const std::uint64_t bytes = std::uint64_t{stride} * count;
    const void* data = colors.data;
    gltf::Accessor accessor;
    accessor.buffer_view = gltf::add_view(
        document, payload, bytes,
        [=](std::uint8_t* at) {
            const auto* from = static_cast<const std::uint8_t*>(data);
            if (stride == row) {
                std::memcpy(at, from, static_cast<std::size_t>(bytes));
                return;
            }
            for (std::uint32_t i = 0; i < count; ++i) {
                std::memcpy(at + std::size_t{stride} * i, from + std::size_t{row} * i, row);
                std::memset(at + std::size_t{stride} * i + row, 0, stride - row);
            }
        },
        gltf::ARRAY_BUFFER, stride == row ? 0 : stride);
    accessor.component_type = component_type(colors.type);
    accessor.normalized = colors.type != ColorType::float32;
    accessor.count = count;
    accessor.type = colors.components == 4 ? "VEC4" : "VEC3";
    return document.add_accessor(std::move(accessor));
}

void require_finite_material(const Material& m) {
    require_finite(m.base_color, 4, "material.base_color");
    require_finite(m.metallic, "material.metallic");
    require_finite(m.roughness, "material.roughness");
    require_finite(m.emissive, 3, "material.emissive");
}

gltf::Material material_record(const Material& m) {
    gltf::Material record;
    record.name = "Material";
    for (int k = 0; k < 4; ++k) record.base_color[k] = m.base_color[k];
    record.metallic = m.metallic;
    record.roughness = m.roughness;
    for (int k = 0; k < 3; ++k) record.emissive[k] = m.emissive[k];
    record.double_sided = m.double_sided;
    return record;
}

void require_finite_box(const double* lo, const double* hi) {
    require_finite(lo, 3, "box[0]");
    require_finite(hi, 3, "box[1]");
}

MortonGrid morton_grid(const AtomScene& scene, const Extents& extents) {
    MortonGrid grid;
    for (int axis = 0; axis < 3; ++axis) {
        grid.lo[axis] = scene.box_lo ? scene.box_lo[axis] : extents.min[axis];
        grid.hi[axis] = scene.box_hi ? scene.box_hi[axis] : extents.max[axis];
    }
    return grid;
}

void add_scene_mesh(gltf::Document& document, const char* name, gltf::Primitive primitive) {
    gltf::Node node;
    node.name = name;
    node.mesh = document.add_mesh(gltf::Mesh{name, {std::move(primitive)}});
    document.scene_nodes.push_back(document.add_node(std::move(node)));
}

std::string palette_extras(const Palette& palette) {
    if (palette.is_default()) return {};
    std::string text = "{\"atomTypes\":[";
    for (std::uint32_t e = 0; e < palette.size(); ++e) {
        if (e != 0) text += ',';
        text += "{\"name\":";
        gltf::append_json_string(text, palette.label(e));
        text += ",\"color\":[";
        for (std::uint32_t c = 0; c < palette.components(); ++c) {
            if (c != 0) text += ',';
            gltf::Number::of_float(palette.rgba(e)[c]).append_to(text);
        }
        text += "]}";
    }
    return text + "]}";
}

}  // namespace glbcore
