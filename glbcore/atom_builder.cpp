// The atom-cloud builder: Morton order, then positions and palette colours
// gathered in that order straight into the file.
#include <cstring>

#include "atom_pipeline.h"
#include "glb_container.h"

namespace glbcore {

// 0.5 and 1.0 are exact; 0.267f is 0x3E88B439 and 0.6f is 0x3F19999A.
const float TYPE_COLORS_R[PALETTE_SIZE] = {0.5f, 1.0f, 0.267f, 0.267f, 1.0f, 1.0f, 0.267f, 0.6f};
const float TYPE_COLORS_G[PALETTE_SIZE] = {0.5f, 0.267f, 1.0f, 0.267f, 1.0f, 0.267f, 1.0f, 0.6f};
const float TYPE_COLORS_B[PALETTE_SIZE] = {0.5f, 0.267f, 0.267f, 1.0f, 0.267f, 1.0f, 1.0f, 0.6f};

namespace {

constexpr std::size_t BYTES_PER_POSITION = 12;
constexpr std::size_t BYTES_PER_COLOR = 12;

// The file for zero atoms: an empty JSON object and an empty BIN chunk.
void write_empty_atom_glb(OutputBuffer& out) {
    static const char EMPTY_DOCUMENT[] = "{}";
    const GlbLayout layout = glb_layout(2, 0);
    write_glb_frame(out.allocate(static_cast<std::size_t>(layout.total)), layout, EMPTY_DOCUMENT);
}

}  // namespace

AtomPipelineOptions production_pipeline_options(std::uint32_t count) {
    return AtomPipelineOptions{interleave_for_this_processor(),
                               split_work(count, std::thread::hardware_concurrency()),
                               default_thread_starter()};
}

WorkingArray<std::uint32_t> morton_order(const float* positions, std::uint32_t count,
                                         const double* vmin, const double* vmax,
                                         const AtomPipelineOptions& options) {
    auto keys = allocate_working_array<std::uint32_t>(count);
    auto order = allocate_working_array<std::uint32_t>(count);
    const Quantization quantization = quantization_for_box(vmin, vmax);
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        morton_keys_chunk(begin, end, positions, quantization, options.interleave, keys.get(),
                          order.get());
    });
    radix_sort_pairs(keys.get(), order.get(), options.split, options.start_thread);
    return order;
}

void gather_atoms_chunk(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                        const float* positions, const std::uint16_t* types,
                        std::uint8_t* sorted_positions, std::uint8_t* colors) {
    const auto* position_bytes = reinterpret_cast<const std::uint8_t*>(positions);
    for (std::uint32_t j = begin; j < end; ++j) {
        std::memcpy(sorted_positions + BYTES_PER_POSITION * j,
                    position_bytes + BYTES_PER_POSITION * order[j], BYTES_PER_POSITION);
    }
    const auto* type_bytes = reinterpret_cast<const std::uint8_t*>(types);
    for (std::uint32_t j = begin; j < end; ++j) {
        std::uint16_t type;
        std::memcpy(&type, type_bytes + sizeof type * order[j], sizeof type);
        const std::uint32_t entry = type < PALETTE_SIZE ? type : PALETTE_SIZE - 1;
        const float rgb[3] = {TYPE_COLORS_R[entry], TYPE_COLORS_G[entry], TYPE_COLORS_B[entry]};
        std::memcpy(colors + BYTES_PER_COLOR * j, rgb, BYTES_PER_COLOR);
    }
}

void write_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                    const double* vmin, const double* vmax, const AtomPipelineOptions& options,
                    OutputBuffer& out) {
    if (count == 0) return write_empty_atom_glb(out);
    const std::uint64_t half = BYTES_PER_POSITION * std::uint64_t{count};
    check_payload_size(2 * half);  // before any pass over the data
    require_finite(vmin, 3, "vmin");
    require_finite(vmax, 3, "vmax");

    Document<CLOUD_DOCUMENT_CAPACITY> doc;
    doc.length = format_document(doc.text.data(), doc.text.size(), ATOM_TEMPLATE,
                                 std::size_t{count}, vmin[0], vmin[1], vmin[2], vmax[0], vmax[1],
                                 vmax[2], std::size_t{count}, std::size_t(half),
                                 std::size_t(half), std::size_t(half), std::size_t(2 * half));
    const GlbLayout layout = glb_layout(doc.length, 2 * half);

    const WorkingArray<std::uint32_t> order = morton_order(positions, count, vmin, vmax, options);
    std::uint8_t* payload = write_glb_frame(out.allocate(static_cast<std::size_t>(layout.total)),
                                            layout, doc.text.data());
    std::uint8_t* colors = payload + half;
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        gather_atoms_chunk(begin, end, order.get(), positions, types, payload, colors);
    });
}

void write_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                    const double* vmin, const double* vmax, OutputBuffer& out) {
    write_atom_glb(positions, count, types, vmin, vmax, production_pipeline_options(count), out);
}

GlbBytes generate_atom_glb(const float* positions, std::uint32_t count,
                           const std::uint16_t* types, const double* vmin, const double* vmax) {
    VectorOutput out;
    write_atom_glb(positions, count, types, vmin, vmax, out);
    return out.take();
}

}  // namespace glbcore
