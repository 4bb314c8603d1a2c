// Compressed POINTS primitives, shared by the compact atom and point-cloud
// builders and meant for other writers of compressed points (tiles):
// quantised positions and, optionally, RGBA8 colours, cut into chunks that
// are encoded in parallel and each written as its own primitive with exact
// integer bounds, so viewers can cull chunk by chunk.
//
// Chunks depend only on the runs, never on the number of workers, and each
// chunk is encoded on its own: the file is the same for every worker count.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "gltf_model.h"
#include "morton_refine.h"
#include "quantize.h"
#include "scenes.h"

namespace glbcore {

// A run of more points is cut into ceil(n / CHUNK_POINTS) chunks of equal
// size (within one point), so no chunk has more than CHUNK_POINTS points
// and, for runs above it, none has fewer than half. Refined chunks move
// their start to the next cell's: by the points of one cell, a few at most
// unless the points pile up.
constexpr std::uint32_t CHUNK_POINTS = 1u << 18;

struct CompactPoints {
    const float* positions = nullptr;
    // Output place j holds point order[j]; null: place j holds point j.
    const std::uint32_t* order = nullptr;
    ColorArray colors;  // no data: no COLOR_0
    // With `order` the Morton order over this box: each run of points that
    // share a cell is put in the finer order (morton_refine.h), and chunks
    // then start only where such a run starts. Null: the order as given.
    const FineMorton* refine = nullptr;
    // Place j already quantised on `grid` at quantized + 4j (x y z 0):
    // positions and refine are then not read, and order only for colours.
    const std::uint16_t* quantized = nullptr;
    PositionGrid grid;
    unsigned workers = 0;  // 0: one per hardware thread
    PointWriteScratch* scratch = nullptr;  // used when the chunks run on one thread
};

// Output places [begin, end), drawn with `material` (-1: none).
struct PointRun {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    int material = -1;
};

// The chunks of a run, as runs with the run's material.
std::vector<PointRun> split_into_chunks(const PointRun& run);

// Appends one POINTS primitive per chunk of every run to `mesh`, in the
// order of the runs: POSITION as u16 (stride 8) and COLOR_0 as normalised
// RGBA8 (stride 4), both compressed. The node holding the mesh needs
// set_dequantization(node, points.grid); the caller declares
// KHR_mesh_quantization.
void add_compact_point_chunks(gltf::Document& document, gltf::Payload& payload, gltf::Mesh& mesh,
                              const CompactPoints& points, const std::vector<PointRun>& runs);

// Colours of output places [begin, end) as RGBA8 (alpha 255 for RGB):
// floats rounded to the nearest of 0..255, 16-bit values to the nearest
// 8-bit one, so each is within half of 1/255 of the value given.
void gather_rgba8(const ColorArray& colors, const std::uint32_t* order, std::uint32_t begin,
                  std::uint32_t end, std::uint8_t* out);

// Runs work(begin, end) over contiguous ranges of [0, n), one per worker
// (0 workers: one per hardware thread). An exception thrown by work is
// rethrown after all threads joined (that of the first range).
void run_parallel_ranges(std::uint32_t n, unsigned workers,
                         const std::function<void(std::uint32_t, std::uint32_t)>& work);

// Runs work(i) for i in [0, n) on `workers` threads (0: one per hardware
// thread), each thread taking a contiguous range. An exception thrown by
// work(i) is rethrown after all threads joined (that of the lowest i).
void run_parallel(std::uint32_t n, unsigned workers, const std::function<void(std::uint32_t)>& work);

}  // namespace glbcore
