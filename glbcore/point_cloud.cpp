// Point clouds: positions and colours packed unchanged into one POINTS
// primitive. The only decision is the colour type, "VEC4" when there are
// exactly four colour floats per point.
#include "glb_container.h"

namespace glbcore {

void write_point_cloud_glb(const float* positions, std::uint32_t position_floats,
                           const float* colors, std::uint32_t color_floats, const double* vmin,
                           const double* vmax, OutputBuffer& out) {
    require_finite(vmin, 3, "vmin");
    require_finite(vmax, 3, "vmax");
    const std::uint64_t points = position_floats / 3;
    const std::uint64_t position_bytes = 4 * std::uint64_t{position_floats};
    const std::uint64_t color_bytes = 4 * std::uint64_t{color_floats};
    const std::uint64_t payload_bytes = position_bytes + color_bytes;
    check_payload_size(payload_bytes);
    const char* color_type = (color_floats == 4 * points) ? "VEC4" : "VEC3";

    Document<CLOUD_DOCUMENT_CAPACITY> doc;
    doc.length = format_document(
        doc.text.data(), doc.text.size(), POINT_CLOUD_TEMPLATE, std::size_t(points), vmin[0],
        vmin[1], vmin[2], vmax[0], vmax[1], vmax[2], std::size_t(points), color_type,
        std::size_t(position_bytes), std::size_t(position_bytes), std::size_t(color_bytes),
        std::size_t(payload_bytes));

    const GlbLayout layout = glb_layout(doc.length, payload_bytes);
    std::uint8_t* file = out.allocate(static_cast<std::size_t>(layout.total));
    std::uint8_t* payload = write_glb_frame(file, layout, doc.text.data());
    copy_block(payload, positions, static_cast<std::size_t>(position_bytes));
    copy_block(payload + position_bytes, colors, static_cast<std::size_t>(color_bytes));
}

GlbBytes generate_point_cloud_glb(const float* positions, std::uint32_t position_floats,
                                  const float* colors, std::uint32_t color_floats,
                                  const double* vmin, const double* vmax) {
    VectorOutput out;
    write_point_cloud_glb(positions, position_floats, colors, color_floats, vmin, vmax, out);
    return out.take();
}

}  // namespace glbcore
