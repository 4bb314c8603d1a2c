// Values per point: their checks, padded rows, accessors and the
// EXT_structural_metadata text that describes them.
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include "attributes/attributes.h"

namespace glbcore {

namespace {

constexpr std::uint32_t MAX_ATTRIBUTE_COMPONENTS = 4;

std::uint32_t value_bytes(AttributeType type) {
    switch (type) {
        case AttributeType::int8:
        case AttributeType::uint8: return 1;
        case AttributeType::int16:
        case AttributeType::uint16: return 2;
        case AttributeType::float32: return 4;
    }
    return 4;
}

int gltf_component_type(AttributeType type) {
    switch (type) {
        case AttributeType::int8: return gltf::BYTE;
        case AttributeType::uint8: return gltf::UNSIGNED_BYTE;
        case AttributeType::int16: return gltf::SHORT;
        case AttributeType::uint16: return gltf::UNSIGNED_SHORT;
        case AttributeType::float32: return gltf::FLOAT;
    }
    return gltf::FLOAT;
}

// EXT_structural_metadata's names of the same types.
const char* metadata_component_type(AttributeType type) {
    switch (type) {
        case AttributeType::int8: return "INT8";
        case AttributeType::uint8: return "UINT8";
        case AttributeType::int16: return "INT16";
        case AttributeType::uint16: return "UINT16";
        case AttributeType::float32: return "FLOAT32";
    }
    return "FLOAT32";
}

const char* element_type(std::uint32_t components) {
    static const char* const types[] = {"SCALAR", "VEC2", "VEC3", "VEC4"};
    return types[components - 1];
}

bool is_identifier(const char* name) {
    if (name == nullptr || *name == '\0') return false;
    const auto letter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    if (!letter(name[0])) return false;
    for (const char* c = name; *c; ++c) {
        if (!letter(*c) && !(*c >= '0' && *c <= '9')) return false;
    }
    return true;
}

}  // namespace

void require_valid_attributes(const PointAttributes& attributes) {
    std::set<std::string> semantics;
    for (std::uint32_t i = 0; i < attributes.count; ++i) {
        const PointAttribute& a = attributes.items[i];
        const std::string label =
            "attributes[" + std::string(a.name ? a.name : "") + "]: ";
        if (!is_identifier(a.name)) throw std::invalid_argument(label + "not an identifier");
        if (a.data == nullptr) throw std::invalid_argument(label + "no values");
        const bool scalar_only = a.type != AttributeType::float32;
        if (a.components < 1 || a.components > MAX_ATTRIBUTE_COMPONENTS ||
            (scalar_only && a.components != 1)) {
            throw std::invalid_argument(label + "expected 1 value per point (2 to 4 for floats)");
        }
        if (!semantics.insert(attribute_semantic(a.name)).second) {
            throw std::invalid_argument(label + "collides with another name in upper case");
        }
    }
}

std::uint32_t attribute_row_bytes(const PointAttribute& attribute) {
    return value_bytes(attribute.type) * attribute.components;
}

std::uint32_t attribute_stride(const PointAttribute& attribute) {
    return round_up_to_4(attribute_row_bytes(attribute));
}

std::string attribute_semantic(const char* name) {
    std::string semantic = "_";
    for (const char* c = name; *c; ++c) {
        semantic += (*c >= 'a' && *c <= 'z') ? static_cast<char>(*c - 'a' + 'A') : *c;
    }
    return semantic;
}

gltf::Accessor attribute_accessor(const PointAttribute& attribute, std::size_t count) {
    gltf::Accessor accessor;
    accessor.component_type = gltf_component_type(attribute.type);
    accessor.count = count;
    accessor.type = element_type(attribute.components);
    return accessor;
}

void gather_attribute_rows(const PointAttribute& attribute, const std::uint32_t* order,
                           std::uint32_t begin, std::uint32_t end, std::uint8_t* out) {
    const std::uint32_t row = attribute_row_bytes(attribute);
    const std::uint32_t stride = attribute_stride(attribute);
    const auto* from = static_cast<const std::uint8_t*>(attribute.data);
    if (order == nullptr && row == stride) {
        copy_block(out, from + std::size_t{row} * begin, std::size_t{row} * (end - begin));
        return;
    }
    for (std::uint32_t j = begin; j < end; ++j) {
        std::uint8_t* to = out + std::size_t{stride} * (j - begin);
        const std::size_t point = order ? order[j] : j;
        std::memcpy(to, from + row * point, row);
        if (stride != row) std::memset(to + row, 0, stride - row);
    }
}

void add_float_attributes(gltf::Document& document, gltf::Payload& payload,
                          gltf::Primitive& primitive, const PointAttributes& attributes,
                          std::uint32_t count, const std::uint32_t* const* order) {
    for (std::uint32_t i = 0; i < attributes.count; ++i) {
        const PointAttribute attribute = attributes.items[i];
        const std::uint32_t stride = attribute_stride(attribute);
        gltf::Accessor accessor = attribute_accessor(attribute, count);
        accessor.buffer_view = gltf::add_view(
            document, payload, std::uint64_t{stride} * count,
            [attribute, order, count](std::uint8_t* at) {
                gather_attribute_rows(attribute, order ? *order : nullptr, 0, count, at);
            },
            gltf::ARRAY_BUFFER, stride == attribute_row_bytes(attribute) ? 0 : stride);
        primitive.attributes.emplace_back(attribute_semantic(attribute.name),
                                          document.add_accessor(std::move(accessor)));
    }
    if (attributes.count != 0) primitive.property_attributes = {0};
}

void describe_attributes(gltf::Document& document, const PointAttributes& attributes) {
    if (attributes.count == 0) return;
    std::string properties, names;
    for (std::uint32_t i = 0; i < attributes.count; ++i) {
        const PointAttribute& a = attributes.items[i];
        const char* separator = i == 0 ? "" : ",";
        properties += separator;
        properties += '"' + std::string(a.name) + "\":{\"type\":\"" + element_type(a.components) +
                      "\",\"componentType\":\"" + metadata_component_type(a.type) + "\"}";
        names += separator;
        names += '"' + std::string(a.name) + "\":{\"attribute\":\"" +
                 attribute_semantic(a.name) + "\"}";
    }
    document.structural_metadata =
        "{\"schema\":{\"id\":\"plexorin\",\"classes\":{\"point\":{\"properties\":{" + properties +
        "}}}},\"propertyAttributes\":[{\"class\":\"point\",\"properties\":{" + names + "}}]}";
    document.use_extension("EXT_structural_metadata", false);
}

}  // namespace glbcore
