// Point clouds: positions and colours packed unchanged into one POINTS
// primitive. The only decision is the colour type, "VEC4" when there are
// exactly four colour floats per point.
#include "base/base.h"
#include "fixed/fixed.h"
#include "glb/glb.h"

namespace glbcore {

namespace {

struct PointCloudBlocks {
    std::uint64_t positions;
    std::uint64_t colors;
    std::uint64_t total() const { return positions + colors; }
};

// Every refusal of the builder, in its order, then the document and layout.
GlbLayout plan_point_cloud(std::uint32_t position_floats, std::uint32_t color_floats,
                           const double* vmin, const double* vmax,
                           TemplateText<CLOUD_DOCUMENT_CAPACITY>& doc, PointCloudBlocks& blocks) {
    require_finite(vmin, 3, "vmin");
    require_finite(vmax, 3, "vmax");
    const std::uint64_t points = position_floats / 3;
    blocks = PointCloudBlocks{4 * std::uint64_t{position_floats}, 4 * std::uint64_t{color_floats}};
    check_payload_size(blocks.total());
    const char* color_type = (color_floats == 4 * points) ? "VEC4" : "VEC3";
    doc.length =
        format_document(doc.text.data(), doc.text.size(), POINT_CLOUD_TEMPLATE, std::size_t(points),
                        vmin[0], vmin[1], vmin[2], vmax[0], vmax[1], vmax[2], std::size_t(points),
                        color_type, std::size_t(blocks.positions), std::size_t(blocks.positions),
                        std::size_t(blocks.colors), std::size_t(blocks.total()));
    return glb_layout(doc.length, blocks.total());
}

}  // namespace

std::size_t point_cloud_glb_size(std::uint32_t position_floats, std::uint32_t color_floats,
                                 const double* vmin, const double* vmax) {
    const RoundToNearestScope nearest;
    TemplateText<CLOUD_DOCUMENT_CAPACITY> doc;
    PointCloudBlocks blocks{};
    return static_cast<std::size_t>(
        plan_point_cloud(position_floats, color_floats, vmin, vmax, doc, blocks).total);
}

void write_point_cloud_glb(const float* positions, std::uint32_t position_floats,
                           const float* colors, std::uint32_t color_floats, const double* vmin,
                           const double* vmax, OutputBuffer& out) {
    const RoundToNearestScope nearest;
    TemplateText<CLOUD_DOCUMENT_CAPACITY> doc;
    PointCloudBlocks blocks{};
    const GlbLayout layout =
        plan_point_cloud(position_floats, color_floats, vmin, vmax, doc, blocks);
    std::uint8_t* file = out.allocate(static_cast<std::size_t>(layout.total));
    std::uint8_t* payload = write_glb_frame(file, layout, doc.text.data());
    copy_block(payload, positions, static_cast<std::size_t>(blocks.positions));
    copy_block(payload + blocks.positions, colors, static_cast<std::size_t>(blocks.colors));
}

GlbBytes generate_point_cloud_glb(const float* positions, std::uint32_t position_floats,
                                  const float* colors, std::uint32_t color_floats,
                                  const double* vmin, const double* vmax) {
    VectorOutput out;
    write_point_cloud_glb(positions, position_floats, colors, color_floats, vmin, vmax, out);
    return out.take();
}

}  // namespace glbcore
