// Indexed triangle meshes: positions, normals, optional RGBA colours and
// 32-bit indices copied as blocks, with one metallic-roughness material.
#include "base/base.h"
#include "fixed/fixed.h"
#include "glb/glb.h"

namespace glbcore {

namespace {

void require_finite_material(const Material& material) {
    require_finite(material.base_color, 4, "base_color");
    require_finite(material.metallic, "metallic");
    require_finite(material.roughness, "roughness");
    require_finite(material.emissive, 3, "emissive");
}

// Block lengths of the payload: positions, normals, colours, indices.
struct MeshBlocks {
    std::uint64_t vertices;
    std::uint64_t positions;
    std::uint64_t normals;
    std::uint64_t colors;
    std::uint64_t indices;
    std::uint64_t total() const { return positions + normals + colors + indices; }
};

MeshBlocks mesh_blocks(std::uint32_t position_floats, std::uint32_t normal_floats,
                       std::uint32_t index_count, bool has_colors, std::uint32_t color_floats) {
    return MeshBlocks{
        position_floats / 3, 4 * std::uint64_t{position_floats}, 4 * std::uint64_t{normal_floats},
        has_colors ? 4 * std::uint64_t{color_floats} : 0, 4 * std::uint64_t{index_count}};
}

// Every refusal of the builder, in its order, then the document and layout.
GlbLayout plan_mesh(const MeshBlocks& b, std::uint32_t index_count, bool has_colors,
                    const double* bounds, const Material& m,
                    TemplateText<MESH_DOCUMENT_CAPACITY>& doc) {
    require_finite(bounds, 6, "bounds");
    require_finite_material(m);
    check_payload_size(b.total());
    const char* double_sided = m.double_sided ? "true" : "false";
    const auto z = [](std::uint64_t n) { return static_cast<std::size_t>(n); };
    if (has_colors) {
        doc.length = format_document(
            doc.text.data(), doc.text.size(), COLORED_MESH_TEMPLATE, m.base_color[0],
            m.base_color[1], m.base_color[2], m.base_color[3], m.metallic, m.roughness,
            m.emissive[0], m.emissive[1], m.emissive[2], double_sided, z(b.vertices), bounds[0],
            bounds[1], bounds[2], bounds[3], bounds[4], bounds[5], z(b.vertices), z(b.vertices),
            z(index_count), z(b.positions), z(b.positions), z(b.normals),
            z(b.positions + b.normals), z(b.colors), z(b.positions + b.normals + b.colors),
            z(b.indices), z(b.total()));
    } else {
        doc.length = format_document(
            doc.text.data(), doc.text.size(), UNCOLORED_MESH_TEMPLATE, m.base_color[0],
            m.base_color[1], m.base_color[2], m.base_color[3], m.metallic, m.roughness,
            m.emissive[0], m.emissive[1], m.emissive[2], double_sided, z(b.vertices), bounds[0],
            bounds[1], bounds[2], bounds[3], bounds[4], bounds[5], z(b.vertices), z(index_count),
            z(b.positions), z(b.positions), z(b.normals), z(b.positions + b.normals), z(b.indices),
            z(b.total()));
    }
    return glb_layout(doc.length, b.total());
}

}  // namespace

std::size_t mesh_glb_size(std::uint32_t position_floats, std::uint32_t normal_floats,
                          std::uint32_t index_count, bool has_colors, std::uint32_t color_floats,
                          const double* bounds, const Material& material) {
    const RoundToNearestScope nearest;
    TemplateText<MESH_DOCUMENT_CAPACITY> doc;
    const MeshBlocks b =
        mesh_blocks(position_floats, normal_floats, index_count, has_colors, color_floats);
    return static_cast<std::size_t>(
        plan_mesh(b, index_count, has_colors, bounds, material, doc).total);
}

void write_mesh_glb(const float* positions, std::uint32_t position_floats, const float* normals,
                    std::uint32_t normal_floats, const std::uint32_t* indices,
                    std::uint32_t index_count, const float* colors, std::uint32_t color_floats,
                    const double* bounds, const Material& material, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    const bool has_colors = colors != nullptr && color_floats != 0;
    const MeshBlocks b =
        mesh_blocks(position_floats, normal_floats, index_count, has_colors, color_floats);
    TemplateText<MESH_DOCUMENT_CAPACITY> doc;
    const GlbLayout layout = plan_mesh(b, index_count, has_colors, bounds, material, doc);
    const auto z = [](std::uint64_t n) { return static_cast<std::size_t>(n); };
    std::uint8_t* file = out.allocate(z(layout.total));
    std::uint8_t* at = write_glb_frame(file, layout, doc.text.data());
    copy_block(at, positions, z(b.positions));
    at += b.positions;
    copy_block(at, normals, z(b.normals));
    at += b.normals;
    copy_block(at, colors, z(b.colors));
    at += b.colors;
    copy_block(at, indices, z(b.indices));
}

GlbBytes generate_mesh_glb(const float* positions, std::uint32_t position_floats,
                           const float* normals, std::uint32_t normal_floats,
                           const std::uint32_t* indices, std::uint32_t index_count,
                           const float* colors, std::uint32_t color_floats, const double* bounds,
                           const Material& material) {
    VectorOutput out;
    write_mesh_glb(positions, position_floats, normals, normal_floats, indices, index_count, colors,
                   color_floats, bounds, material, out);
    return out.take();
}

}  // namespace glbcore
