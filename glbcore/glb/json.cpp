// The JSON text of a glTF document described by glbcore::gltf records.
// Compact (no whitespace), members in a fixed order, numbers by std::to_chars
// so that neither the locale nor the rounding of a printf format can change
// a value.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "glb/glb.h"

namespace glbcore::gltf {

namespace {

constexpr const char* GENERATOR = "plexorin";

template <class T>
void append_chars(std::string& text, T value) {
    char digits[64];
    const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
    if (result.ec != std::errc()) throw std::logic_error("number does not fit its buffer");
    text.append(digits, result.ptr);
}

void append_string(std::string& text, const std::string& value) { append_json_string(text, value); }

// Writes `"key":` with the separating comma before every member but the first.
class ObjectWriter {
public:
    explicit ObjectWriter(std::string& text) : text_(text) { text_ += '{'; }
    ~ObjectWriter() { text_ += '}'; }
    ObjectWriter(const ObjectWriter&) = delete;
    ObjectWriter& operator=(const ObjectWriter&) = delete;

    std::string& key(const char* name) {
        if (!first_) text_ += ',';
        first_ = false;
        text_ += '"';
        text_ += name;
        text_ += "\":";
        return text_;
    }
    void integer(const char* name, std::int64_t value) { append_chars(key(name), value); }
    void number(const char* name, double value) { Number::of_double(value).append_to(key(name)); }
    void string(const char* name, const std::string& value) { append_string(key(name), value); }
    void boolean(const char* name, bool value) { key(name) += value ? "true" : "false"; }

private:
    std::string& text_;
    bool first_ = true;
};

template <class T, class Write>
void append_array(std::string& text, const T& items, Write write) {
    text += '[';
    bool first = true;
    for (const auto& item : items) {
        if (!first) text += ',';
        first = false;
        write(text, item);
    }
    text += ']';
}

void append_numbers(std::string& text, const std::vector<Number>& values) {
    append_array(text, values, [](std::string& t, const Number& n) { n.append_to(t); });
}

template <std::size_t N>
void append_doubles(std::string& text, const std::array<double, N>& values) {
    append_array(text, values, [](std::string& t, double v) { Number::of_double(v).append_to(t); });
}

void append_integers(std::string& text, const std::vector<int>& values) {
    append_array(text, values, [](std::string& t, int v) { append_chars(t, v); });
}

void append_named_indices(std::string& text, const NamedIndices& items) {
    ObjectWriter object(text);
    for (const auto& [name, index] : items) object.integer(name.c_str(), index);
}

void append_meshopt(std::string& text, const MeshoptStream& s) {
    ObjectWriter extensions(text);
    ObjectWriter stream(extensions.key("EXT_meshopt_compression"));
    stream.integer("buffer", s.buffer);
    stream.integer("byteOffset", static_cast<std::int64_t>(s.byte_offset));
    stream.integer("byteLength", static_cast<std::int64_t>(s.byte_length));
    stream.integer("byteStride", s.byte_stride);
    stream.integer("count", static_cast<std::int64_t>(s.count));
    stream.string("mode", s.mode);
    if (s.filter != nullptr) stream.string("filter", s.filter);
}

void append_buffer_view(std::string& text, const BufferView& v) {
    ObjectWriter view(text);
    view.integer("buffer", v.buffer);
    view.integer("byteOffset", static_cast<std::int64_t>(v.byte_offset));
    view.integer("byteLength", static_cast<std::int64_t>(v.byte_length));
    if (v.byte_stride != 0) view.integer("byteStride", v.byte_stride);
    if (v.target != NO_TARGET) view.integer("target", v.target);
    if (v.meshopt) append_meshopt(view.key("extensions"), *v.meshopt);
}

void append_accessor(std::string& text, const Accessor& a) {
    ObjectWriter accessor(text);
    if (a.buffer_view >= 0) accessor.integer("bufferView", a.buffer_view);
    if (a.byte_offset != 0)
        accessor.integer("byteOffset", static_cast<std::int64_t>(a.byte_offset));
    accessor.integer("componentType", a.component_type);
    if (a.normalized) accessor.boolean("normalized", true);
    accessor.integer("count", static_cast<std::int64_t>(a.count));
    accessor.string("type", a.type);
    if (!a.min.empty()) append_numbers(accessor.key("min"), a.min);
    if (!a.max.empty()) append_numbers(accessor.key("max"), a.max);
}

void append_primitive(std::string& text, const Primitive& p) {
    ObjectWriter primitive(text);
    append_named_indices(primitive.key("attributes"), p.attributes);
    if (p.indices >= 0) primitive.integer("indices", p.indices);
    if (p.material >= 0) primitive.integer("material", p.material);
    primitive.integer("mode", p.mode);
    if (!p.property_attributes.empty()) {
        ObjectWriter extensions(primitive.key("extensions"));
        ObjectWriter metadata(extensions.key("EXT_structural_metadata"));
        append_integers(metadata.key("propertyAttributes"), p.property_attributes);
    }
}

void append_mesh(std::string& text, const Mesh& m) {
    ObjectWriter mesh(text);
    if (!m.name.empty()) mesh.string("name", m.name);
    append_array(mesh.key("primitives"), m.primitives, append_primitive);
}

void append_node(std::string& text, const Node& n) {
    ObjectWriter node(text);
    if (!n.name.empty()) node.string("name", n.name);
    if (n.mesh >= 0) node.integer("mesh", n.mesh);
    if (!n.children.empty()) append_integers(node.key("children"), n.children);
    if (n.translation) append_doubles(node.key("translation"), *n.translation);
    if (n.rotation) append_doubles(node.key("rotation"), *n.rotation);
    if (n.scale) append_doubles(node.key("scale"), *n.scale);
    if (!n.instance_attributes.empty()) {
        ObjectWriter extensions(node.key("extensions"));
        ObjectWriter instancing(extensions.key("EXT_mesh_gpu_instancing"));
        append_named_indices(instancing.key("attributes"), n.instance_attributes);
    }
    if (!n.extras.empty()) node.key("extras") += n.extras;
}

void append_material(std::string& text, const Material& m) {
    ObjectWriter material(text);
    if (!m.name.empty()) material.string("name", m.name);
    {
        ObjectWriter pbr(material.key("pbrMetallicRoughness"));
        append_doubles(pbr.key("baseColorFactor"), m.base_color);
        pbr.number("metallicFactor", m.metallic);
        pbr.number("roughnessFactor", m.roughness);
    }
    if (m.emissive != std::array<double, 3>{0.0, 0.0, 0.0}) {
        append_doubles(material.key("emissiveFactor"), m.emissive);
    }
    if (m.alpha_blend) material.string("alphaMode", "BLEND");
    if (m.double_sided) material.boolean("doubleSided", true);
    if (m.unlit) {
        ObjectWriter extensions(material.key("extensions"));
        ObjectWriter(extensions.key("KHR_materials_unlit"));
    }
}

void append_buffer(std::string& text, const Buffer& b) {
    ObjectWriter buffer(text);
    buffer.integer("byteLength", static_cast<std::int64_t>(b.byte_length));
    if (b.meshopt_fallback) {
        ObjectWriter extensions(buffer.key("extensions"));
        ObjectWriter(extensions.key("EXT_meshopt_compression")).boolean("fallback", true);
    }
}

template <class T, class Write>
void append_member_array(ObjectWriter& object, const char* name, const std::vector<T>& items,
                         Write write) {
    if (!items.empty()) append_array(object.key(name), items, write);
}

template <class T>
int append_item(std::vector<T>& items, T item) {
    items.push_back(std::move(item));
    return static_cast<int>(items.size() - 1);
}

}  // namespace

void append_json_string(std::string& text, const std::string& value) {
    text += '"';
    for (const char c : value) {
        if (c == '"' || c == '\\') text += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;  // never in our names
        text += c;
    }
    text += '"';
}

Number Number::of_float(float value) {
    Number n;
    n.kind_ = Kind::f32;
    n.f32_ = value;
    return n;
}

Number Number::of_double(double value) {
    Number n;
    n.kind_ = Kind::f64;
    n.f64_ = value;
    return n;
}

Number Number::of_integer(std::int64_t value) {
    Number n;
    n.i64_ = value;
    return n;
}

void Number::append_to(std::string& text) const {
    // JSON has no NaN or infinity; callers refuse non-finite values first.
    if ((kind_ == Kind::f32 && !std::isfinite(f32_)) ||
        (kind_ == Kind::f64 && !std::isfinite(f64_))) {
        throw std::logic_error("a JSON number must be finite");
    }
    switch (kind_) {
        case Kind::f32: return append_chars(text, f32_);
        case Kind::f64: return append_chars(text, f64_);
        case Kind::i64: return append_chars(text, i64_);
    }
}

int Document::add_node(Node node) { return append_item(nodes, std::move(node)); }
int Document::add_mesh(Mesh mesh) { return append_item(meshes, std::move(mesh)); }
int Document::add_material(Material material) {
    return append_item(materials, std::move(material));
}
int Document::add_accessor(Accessor accessor) {
    return append_item(accessors, std::move(accessor));
}
int Document::add_buffer_view(BufferView view) {
    return append_item(buffer_views, std::move(view));
}

void Document::use_extension(const std::string& name, bool required) {
    const auto add_once = [&](std::vector<std::string>& list) {
        if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
    };
    add_once(extensions_used);
    if (required) add_once(extensions_required);
}

std::string to_json(const Document& d) {
    std::string text;
    {
        ObjectWriter root(text);
        {
            ObjectWriter asset(root.key("asset"));
            asset.string("version", "2.0");
            asset.string("generator", GENERATOR);
        }
        append_member_array(root, "extensionsUsed", d.extensions_used, append_string);
        append_member_array(root, "extensionsRequired", d.extensions_required, append_string);
        root.integer("scene", 0);
        {
            std::string& scenes = root.key("scenes");
            scenes += '[';
            {
                ObjectWriter scene(scenes);
                if (!d.scene_nodes.empty()) append_integers(scene.key("nodes"), d.scene_nodes);
            }
            scenes += ']';
        }
        append_member_array(root, "nodes", d.nodes, append_node);
        append_member_array(root, "meshes", d.meshes, append_mesh);
        append_member_array(root, "materials", d.materials, append_material);
        append_member_array(root, "accessors", d.accessors, append_accessor);
        append_member_array(root, "bufferViews", d.buffer_views, append_buffer_view);
        append_member_array(root, "buffers", d.buffers, append_buffer);
        if (!d.structural_metadata.empty()) {
            ObjectWriter extensions(root.key("extensions"));
            extensions.key("EXT_structural_metadata") += d.structural_metadata;
        }
    }
    return text;
}

}  // namespace glbcore::gltf
