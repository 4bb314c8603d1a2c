// The three fixed builders of glbcore.h (atom cloud, point cloud, mesh):
// their files are byte-exact and frozen. Each fills one of four fixed
// single-line glTF documents (no JSON library, no escaping, no whitespace:
// only counts, byte lengths, bounds and material factors vary), formatted
// whatever the host's locale, and copies or gathers the arrays behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "glbcore.h"
#include "order/order.h"

namespace glbcore {

// 24 bytes of payload per atom must stay below 2^31 bytes.
constexpr std::uint32_t MAX_ATOMS = 89478485;

// Bounds of any finite magnitude fit: a bound is at most 317 characters
// ("-", 309 digits, ".", 6 decimals), so six of them and the longest template
// stay below 3000 characters. The mesh documents never exceed 5812 characters.
constexpr std::size_t CLOUD_DOCUMENT_CAPACITY = 4096;
constexpr std::size_t MESH_DOCUMENT_CAPACITY = 8192;

extern const char POINT_CLOUD_TEMPLATE[];
extern const char ATOM_TEMPLATE[];
extern const char COLORED_MESH_TEMPLATE[];
extern const char UNCOLORED_MESH_TEMPLATE[];

// Fixed-capacity characters on the heap: a builder may run on a thread whose
// stack the host chose small, so no buffer of kilobytes goes on the stack.
class DocumentText {
public:
    explicit DocumentText(std::size_t capacity) : chars_(new char[capacity]), capacity_(capacity) {}
    char* data() const { return chars_.get(); }
    std::size_t size() const { return capacity_; }

private:
    std::unique_ptr<char[]> chars_;
    std::size_t capacity_;
};

// A template filled in: the formatted JSON document, held in the call's own
// fixed buffer.
template <std::size_t Capacity>
struct TemplateText {
    DocumentText text{Capacity};
    std::size_t length = 0;
};

// snprintf into `text`, with "." as the decimal point whatever locale the
// host process has set. Returns the document length; throws std::logic_error
// if it would not fit (the capacities above make that impossible).
std::size_t format_document(char* text, std::size_t capacity, const char* format, ...);

// The atom builder of glbcore.h with the pipeline's options given: tests
// and benchmarks choose the interleave, the split and the thread starter.
void write_atom_glb(const float* positions, std::uint32_t count, const std::uint16_t* types,
                    const double* vmin, const double* vmax, const AtomPipelineOptions& options,
                    OutputBuffer& out);

}  // namespace glbcore
