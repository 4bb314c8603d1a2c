// Public interface of the GLB builders: one call turns flat arrays into one
// complete binary glTF 2.0 file (GLB). The core knows nothing of any host
// language; it takes plain pointers and 32-bit element counts.
//
// Caller contracts, common to every builder:
// - Inputs may start at any address; they are read with unaligned loads.
// - A pointer whose count is 0 is never read and may be null.
// - Bounds and material factors must be finite: a non-finite value is refused
//   with std::invalid_argument naming it, before anything is allocated.
// - A payload or file of 2^31 bytes or more is refused with std::length_error
//   ("cannot create std::vector larger than max_size()") before any large
//   allocation or pass over the data.
// - Allocation failures leave as std::bad_alloc; nothing stays allocated.
// - The file depends on the inputs alone: every builder computes and formats
//   under round-to-nearest and restores the caller's rounding mode on return
//   and on throw.
// - Each builder has a *_glb_size twin that takes the same counts and small
//   values but reads no array: it refuses exactly what the builder would
//   refuse, in the same order, and otherwise returns the file's size. A host
//   that must copy an argument before the builder can read it calls the twin
//   first, so that no refusal comes after a copy of data-dependent size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace glbcore {

using GlbBytes = std::vector<std::uint8_t>;

// The one metallic-roughness material of a mesh. The defaults of `metallic`
// (0) and `double_sided` (true) differ from glTF's own on purpose: they are
// the defaults our callers have always had.
struct Material {
    double base_color[4] = {1.0, 1.0, 1.0, 1.0};
    double metallic = 0.0;
    double roughness = 1.0;
    double emissive[3] = {0.0, 0.0, 0.0};
    bool double_sided = true;
};

// Memory a builder writes its file into. The builder calls allocate() once,
// with the exact file size, after every check that can refuse the call, and
// then writes every byte of the memory returned. Letting the caller own that
// memory lets a host write the file straight into its own result object
// instead of copying it there afterwards. allocate() may throw; the builder
// releases its own storage and lets the exception pass.
class OutputBuffer {
public:
    virtual std::uint8_t* allocate(std::size_t size) = 0;

protected:
    ~OutputBuffer() = default;
};

// Asks the kernel to back the whole pages inside [data, data + size) with
// huge pages. Meant for fresh memory about to be written in full, such as
// the span an OutputBuffer hands out: on large buffers the first-touch page
// faults of small pages cost more than the writing itself. Only advice;
// buffers below one huge page, or systems without huge pages, are left as
// they are.
void advise_huge_pages(void* data, std::size_t size) noexcept;

// An OutputBuffer that owns a byte vector.
class VectorOutput final : public OutputBuffer {
public:
    std::uint8_t* allocate(std::size_t size) override;
    GlbBytes take() { return std::move(bytes_); }

private:
    GlbBytes bytes_;
};

// Atom cloud: `count` atoms with x y z floats in `positions` (3 * count
// floats) and one 16-bit type each in `types` (count values). The atoms are
// written in Morton order over the box [vmin, vmax] and coloured by type.
// Zero atoms give the fixed 32-byte empty atom file whatever the other
// arguments. The order of atoms depends on the processor (two interleaves),
// never on the number of worker threads.
void write_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                    const double* vmin, const double* vmax, OutputBuffer& out);
std::size_t atom_glb_size(std::uint32_t count, const double* vmin, const double* vmax);
GlbBytes generate_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                           const double* vmin, const double* vmax);

// Point cloud: `position_floats` floats (x y z per point) and
// `color_floats` floats (RGB, or RGBA when there are exactly four per
// point), packed unchanged. vmin and vmax hold three doubles each.
void write_point_cloud_glb(const float* positions, std::uint32_t position_floats,
                           const float* colors, std::uint32_t color_floats, const double* vmin,
                           const double* vmax, OutputBuffer& out);
std::size_t point_cloud_glb_size(std::uint32_t position_floats, std::uint32_t color_floats,
                                 const double* vmin, const double* vmax);
GlbBytes generate_point_cloud_glb(const float* positions, std::uint32_t position_floats,
                                  const float* colors, std::uint32_t color_floats,
                                  const double* vmin, const double* vmax);

// Indexed triangle mesh. `bounds` holds minimum x y z then maximum x y z.
// The mesh has vertex colours (RGBA floats) only when `colors` is non-null
// and `color_floats` is non-zero.
void write_mesh_glb(const float* positions, std::uint32_t position_floats, const float* normals,
                    std::uint32_t normal_floats, const std::uint32_t* indices,
                    std::uint32_t index_count, const float* colors, std::uint32_t color_floats,
                    const double* bounds, const Material& material, OutputBuffer& out);
// `has_colors` is what write_mesh_glb derives from its colour arguments.
std::size_t mesh_glb_size(std::uint32_t position_floats, std::uint32_t normal_floats,
                          std::uint32_t index_count, bool has_colors, std::uint32_t color_floats,
                          const double* bounds, const Material& material);
GlbBytes generate_mesh_glb(const float* positions, std::uint32_t position_floats,
                           const float* normals, std::uint32_t normal_floats,
                           const std::uint32_t* indices, std::uint32_t index_count,
                           const float* colors, std::uint32_t color_floats, const double* bounds,
                           const Material& material);

}  // namespace glbcore
