// Values per point: their checks, padded rows, accessors and the
// EXT_structural_metadata text that describes them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "attributes/attributes.h"
#include "base/base.h"

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
        const std::string label = "attributes[" + std::string(a.name ? a.name : "") + "]: ";
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

namespace {

constexpr std::size_t PREFETCH_DISTANCE = 64;

// Rows of Row bytes into slots of Stride bytes, the padding zero: sizes
// known to the compiler turn each copy into a load and a store.
template <std::size_t Row, std::size_t Stride>
void gather_fixed(const std::uint8_t* from, const std::uint32_t* order, std::uint32_t begin,
                  std::uint32_t end, std::uint8_t* out) {
    for (std::uint32_t j = begin; j < end; ++j) {
        std::uint8_t slot[Stride] = {};
        std::size_t point = j;
        if (order != nullptr) {
            // Points in a new order are fetched from all over memory.
            if (j + PREFETCH_DISTANCE < end) {
                __builtin_prefetch(from + Row * std::size_t{order[j + PREFETCH_DISTANCE]});
            }
            point = order[j];
        }
        std::memcpy(slot, from + Row * point, Row);
        std::memcpy(out + Stride * std::size_t{j - begin}, slot, Stride);
    }
}

}  // namespace

void gather_attribute_rows(const PointAttribute& attribute, const std::uint32_t* order,
                           std::uint32_t begin, std::uint32_t end, std::uint8_t* out) {
    const std::uint32_t row = attribute_row_bytes(attribute);
    const auto* from = static_cast<const std::uint8_t*>(attribute.data);
    if (order == nullptr && row == attribute_stride(attribute)) {
        copy_block(out, from + std::size_t{row} * begin, std::size_t{row} * (end - begin));
        return;
    }
    switch (row) {  // 1, 2 and 4: scalars; 8, 12, 16: 2 to 4 floats
        case 1: return gather_fixed<1, 4>(from, order, begin, end, out);
        case 2: return gather_fixed<2, 4>(from, order, begin, end, out);
        case 4: return gather_fixed<4, 4>(from, order, begin, end, out);
        case 8: return gather_fixed<8, 8>(from, order, begin, end, out);
        case 12: return gather_fixed<12, 12>(from, order, begin, end, out);
        case 16: return gather_fixed<16, 16>(from, order, begin, end, out);
        default: throw std::logic_error("an attribute row of unexpected size");
    }
}

namespace {

// The extremes of each component over some rows, and whether it had a
// finite value there: ranges scanned apart merge into those of all rows.
struct ComponentBounds {
    double lo[4];
    double hi[4];
    bool present[4] = {};

    void merge(const ComponentBounds& other, std::uint32_t components) {
        for (std::uint32_t c = 0; c < components; ++c) {
            if (!other.present[c]) continue;
            lo[c] = present[c] ? std::min(lo[c], other.lo[c]) : other.lo[c];
            hi[c] = present[c] ? std::max(hi[c], other.hi[c]) : other.hi[c];
            present[c] = true;
        }
    }
};

template <class T>
void scan_rows(const std::uint8_t* rows, std::size_t n, std::uint32_t stride,
               std::uint32_t components, ComponentBounds& bounds) {
    for (std::uint32_t c = 0; c < components; ++c) {
        const auto at = [&](std::size_t i) {
            T value;
            std::memcpy(&value, rows + stride * i + sizeof(T) * c, sizeof(T));
            return value;
        };
        T lo{}, hi{};
        bool any = false;
        if constexpr (std::is_floating_point_v<T>) {
            for (std::size_t i = 0; i < n; ++i) {
                const T value = at(i);
                if (!std::isfinite(value)) continue;  // NaN marks no value
                if (!any || value < lo) lo = value;
                if (!any || value > hi) hi = value;
                any = true;
            }
        } else if (n != 0) {
            lo = hi = at(0);
            for (std::size_t i = 1; i < n; ++i) {
                lo = std::min(lo, at(i));
                hi = std::max(hi, at(i));
            }
            any = true;
        }
        bounds.lo[c] = static_cast<double>(lo);
        bounds.hi[c] = static_cast<double>(hi);
        bounds.present[c] = any;
    }
}

ComponentBounds scan_component_rows(const PointAttribute& attribute, const std::uint8_t* rows,
                                    std::size_t n, std::uint32_t stride) {
    ComponentBounds bounds;
    const std::uint32_t k = attribute.components;
    switch (attribute.type) {
        case AttributeType::int8: scan_rows<std::int8_t>(rows, n, stride, k, bounds); break;
        case AttributeType::uint8: scan_rows<std::uint8_t>(rows, n, stride, k, bounds); break;
        case AttributeType::int16: scan_rows<std::int16_t>(rows, n, stride, k, bounds); break;
        case AttributeType::uint16: scan_rows<std::uint16_t>(rows, n, stride, k, bounds); break;
        case AttributeType::float32: scan_rows<float>(rows, n, stride, k, bounds); break;
    }
    return bounds;
}

// Bounds only when every component has a finite value.
AttributeBounds attribute_bounds(const ComponentBounds& found, std::uint32_t components) {
    AttributeBounds bounds;
    for (std::uint32_t c = 0; c < components; ++c) {
        if (!found.present[c]) return bounds;
        bounds.min[c] = found.lo[c];
        bounds.max[c] = found.hi[c];
    }
    bounds.any = true;
    return bounds;
}

// The split of a pass over `count` rows: one thread below 100000 rows,
// where starting threads costs more than they save.
WorkSplit row_split(std::uint32_t count) {
    return split_work(count, std::thread::hardware_concurrency());
}

// A float whose shortest round-trip text is as long as any float's.
constexpr float LONGEST_TEXT_FLOAT = -1.00303895e-36f;

}  // namespace

AttributeBounds scan_attribute_rows(const PointAttribute& attribute, const std::uint8_t* rows,
                                    std::size_t n, std::uint32_t stride) {
    return attribute_bounds(scan_component_rows(attribute, rows, n, stride), attribute.components);
}

void set_attribute_bounds(gltf::Accessor& accessor, const PointAttribute& attribute,
                          const AttributeBounds& bounds) {
    accessor.min.clear();
    accessor.max.clear();
    if (!bounds.any) return;
    const bool floats = attribute.type == AttributeType::float32;
    for (std::uint32_t c = 0; c < attribute.components; ++c) {
        if (floats) {
            accessor.min.push_back(gltf::Number::of_float(static_cast<float>(bounds.min[c])));
            accessor.max.push_back(gltf::Number::of_float(static_cast<float>(bounds.max[c])));
        } else {
            accessor.min.push_back(
                gltf::Number::of_integer(static_cast<std::int64_t>(bounds.min[c])));
            accessor.max.push_back(
                gltf::Number::of_integer(static_cast<std::int64_t>(bounds.max[c])));
        }
    }
}

void set_longest_attribute_bounds(gltf::Accessor& accessor, const PointAttribute& attribute) {
    accessor.min.assign(attribute.components, gltf::Number::of_float(LONGEST_TEXT_FLOAT));
    accessor.max = accessor.min;
}

void set_float_attribute_bounds(gltf::Document& document, const std::vector<int>& accessors,
                                const PointAttributes& attributes, std::uint32_t count) {
    const WorkSplit split = row_split(count);
    std::vector<ComponentBounds> ranges(split.workers);
    for (std::uint32_t a = 0; a < attributes.count; ++a) {
        const PointAttribute& attribute = attributes.items[a];
        const std::uint32_t row = attribute_row_bytes(attribute);
        const auto* values = static_cast<const std::uint8_t*>(attribute.data);
        run_phase(split, default_thread_starter(), [&](std::uint32_t begin, std::uint32_t end) {
            ranges[begin / split.chunk] =
                scan_component_rows(attribute, values + std::size_t{row} * begin, end - begin, row);
        });
        ComponentBounds found;
        for (std::uint32_t r = 0; r < split.workers; ++r) {
            if (split.begin(r) < split.end(r)) found.merge(ranges[r], attribute.components);
        }
        set_attribute_bounds(document.accessors[accessors[a]], attribute,
                             attribute_bounds(found, attribute.components));
    }
}

std::vector<int> add_float_attributes(gltf::Document& document, gltf::Payload& payload,
                                      gltf::Primitive& primitive, const PointAttributes& attributes,
                                      std::uint32_t count, const std::uint32_t* const* order) {
    std::vector<int> accessors;
    for (std::uint32_t i = 0; i < attributes.count; ++i) {
        const PointAttribute attribute = attributes.items[i];
        const std::uint32_t stride = attribute_stride(attribute);
        gltf::Accessor accessor = attribute_accessor(attribute, count);
        accessor.buffer_view = gltf::add_view(
            document, payload, std::uint64_t{stride} * count,
            [attribute, order, count, stride](std::uint8_t* at) {
                const std::uint32_t* places = order ? *order : nullptr;
                run_phase(row_split(count), default_thread_starter(),
                          [&](std::uint32_t begin, std::uint32_t end) {
                              gather_attribute_rows(attribute, places, begin, end,
                                                    at + std::size_t{stride} * begin);
                          });
            },
            gltf::ARRAY_BUFFER, stride == attribute_row_bytes(attribute) ? 0 : stride);
        set_longest_attribute_bounds(accessor, attribute);
        accessors.push_back(document.add_accessor(std::move(accessor)));
        primitive.attributes.emplace_back(attribute_semantic(attribute.name), accessors.back());
    }
    if (attributes.count != 0) primitive.property_attributes = {0};
    return accessors;
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
        names +=
            '"' + std::string(a.name) + "\":{\"attribute\":\"" + attribute_semantic(a.name) + "\"}";
    }
    document.structural_metadata =
        "{\"schema\":{\"id\":\"plexorin\",\"classes\":{\"point\":{\"properties\":{" + properties +
        "}}}},\"propertyAttributes\":[{\"class\":\"point\",\"properties\":{" + names + "}}]}";
    document.use_extension("EXT_structural_metadata", false);
}

}  // namespace glbcore
