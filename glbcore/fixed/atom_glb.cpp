// The fixed atom builder: the atom template filled with the caller's box,
// and positions and palette colours written in Morton order straight into
// the file by the bucket route.
#include "base/base.h"
#include "fixed/fixed.h"
#include "glb/glb.h"

namespace glbcore {

namespace {

constexpr std::size_t BYTES_PER_POSITION = 12;

// The file for zero atoms: an empty JSON object and an empty BIN chunk.
void write_empty_atom_glb(OutputBuffer& out) {
    static const char EMPTY_DOCUMENT[] = "{}";
    const GlbLayout layout = glb_layout(2, 0);
    write_glb_frame(out.allocate(static_cast<std::size_t>(layout.total)), layout, EMPTY_DOCUMENT);
}

// Every refusal of the builder for count > 0 atoms, in its order, then the
// document and the layout; reads no array.
GlbLayout plan_atom_glb(std::uint32_t count, const double* vmin, const double* vmax,
                        TemplateText<CLOUD_DOCUMENT_CAPACITY>& doc) {
    const std::uint64_t half = BYTES_PER_POSITION * std::uint64_t{count};
    check_payload_size(2 * half);  // before any pass over the data
    require_finite(vmin, 3, "vmin");
    require_finite(vmax, 3, "vmax");
    doc.length = format_document(doc.text.data(), doc.text.size(), ATOM_TEMPLATE,
                                 std::size_t{count}, vmin[0], vmin[1], vmin[2], vmax[0], vmax[1],
                                 vmax[2], std::size_t{count}, std::size_t(half), std::size_t(half),
                                 std::size_t(half), std::size_t(2 * half));
    return glb_layout(doc.length, 2 * half);
}

}  // namespace

std::size_t atom_glb_size(std::uint32_t count, const double* vmin, const double* vmax) {
    const RoundToNearestScope nearest;
    if (count == 0) return static_cast<std::size_t>(glb_layout(2, 0).total);
    TemplateText<CLOUD_DOCUMENT_CAPACITY> doc;
    return static_cast<std::size_t>(plan_atom_glb(count, vmin, vmax, doc).total);
}

void write_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                    const double* vmin, const double* vmax, const AtomPipelineOptions& options,
                    OutputBuffer& out) {
    const RoundToNearestScope nearest;
    if (count == 0) return write_empty_atom_glb(out);
    TemplateText<CLOUD_DOCUMENT_CAPACITY> doc;
    const GlbLayout layout = plan_atom_glb(count, vmin, vmax, doc);

    std::uint8_t* payload = write_glb_frame(out.allocate(static_cast<std::size_t>(layout.total)),
                                            layout, doc.text.data());
    const Quantization quantization = quantization_for_box(vmin, vmax);
    write_atoms_by_buckets(positions, count, types, quantization, options, payload);
}

void write_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                    const double* vmin, const double* vmax, OutputBuffer& out) {
    write_atom_glb(positions, count, types, vmin, vmax, production_pipeline_options(count), out);
}

GlbBytes generate_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                           const double* vmin, const double* vmax) {
    VectorOutput out;
    write_atom_glb(positions, count, types, vmin, vmax, out);
    return out.take();
}

}  // namespace glbcore
