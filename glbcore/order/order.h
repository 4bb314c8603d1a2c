// Atoms and points in Morton order: the stable parallel radix sort of
// (key, index) pairs, the order it gives, and the atom payload (positions
// and palette colours) written in that order, by the bucket route or the
// pairs route. Also the palette: the colour of each atom type.
//
// The order of atoms depends on the interleave (chosen by the processor), but
// never on the number of workers: the sort is stable and hands out write
// places digit by digit and, within a digit, chunk by chunk, so every split
// produces the same permutation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/base.h"
#include "glbcore.h"
#include "morton/morton.h"
#include "scenes.h"

namespace glbcore {

// ---- The palette --------------------------------------------------------
constexpr std::uint32_t PALETTE_SIZE = 8;

// The palette, one table per component; types 7 and above use entry 7.
// 0.5 and 1.0 are exact; 0.267f is 0x3E88B439 and 0.6f is 0x3F19999A.
inline constexpr float TYPE_COLORS_R[PALETTE_SIZE] = {0.5f, 1.0f, 0.267f, 0.267f,
                                                      1.0f, 1.0f, 0.267f, 0.6f};
inline constexpr float TYPE_COLORS_G[PALETTE_SIZE] = {0.5f, 0.267f, 1.0f, 0.267f,
                                                      1.0f, 0.267f, 1.0f, 0.6f};
inline constexpr float TYPE_COLORS_B[PALETTE_SIZE] = {0.5f,   0.267f, 0.267f, 1.0f,
                                                      0.267f, 1.0f,   1.0f,   0.6f};

// The palette entry of an atom type.
inline std::uint32_t palette_entry(std::uint16_t type) {
    return type < PALETTE_SIZE ? type : PALETTE_SIZE - 1;
}

// The same palette as 12-byte rows, so that a colour is one copy.
struct PaletteRows {
    float rgb[PALETTE_SIZE][3];
};
constexpr PaletteRows palette_rows() {
    PaletteRows rows{};
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        rows.rgb[e][0] = TYPE_COLORS_R[e];
        rows.rgb[e][1] = TYPE_COLORS_G[e];
        rows.rgb[e][2] = TYPE_COLORS_B[e];
    }
    return rows;
}
inline constexpr PaletteRows PALETTE_ROWS = palette_rows();

// Copies 12 bytes between any addresses in two moves, with no stack copy.
inline void copy_12_bytes(std::uint8_t* to, const std::uint8_t* from) {
    std::uint64_t head;
    std::uint32_t tail;
    std::memcpy(&head, from, sizeof head);
    std::memcpy(&tail, from + sizeof head, sizeof tail);
    std::memcpy(to, &head, sizeof head);
    std::memcpy(to + sizeof head, &tail, sizeof tail);
}

// Writes the 12-byte colour of palette entry `entry` (0 to 7) at any address.
inline void store_palette_entry(std::uint8_t* to, std::uint32_t entry) {
    copy_12_bytes(to, reinterpret_cast<const std::uint8_t*>(PALETTE_ROWS.rgb[entry]));
}

// Writes the 12-byte palette colour of `type` at any address.
inline void store_palette_color(std::uint8_t* to, std::uint16_t type) {
    store_palette_entry(to, palette_entry(type));
}

// The colours of atom types as the writers use them: the eight above (RGB,
// unnamed), or a caller's AtomPalette (scenes.h), checked and copied.
// Type t takes entry min(t, size() - 1).
class Palette {
public:
    Palette();
    // Throws std::invalid_argument naming the first bad value, such as
    // "palette[3][1] = 1.5 is outside [0, 1]"; the default eight without
    // colours.
    explicit Palette(const AtomPalette& given);

    bool is_default() const { return default_; }
    std::uint32_t size() const { return size_; }
    std::uint32_t components() const { return components_; }
    std::uint32_t entry(std::uint16_t type) const { return type < size_ ? type : size_ - 1; }
    // r g b a of an entry; a is 1 in an RGB palette.
    const float* rgba(std::uint32_t entry) const { return rgba_.data() + 4 * std::size_t{entry}; }
    bool translucent(std::uint32_t entry) const { return rgba(entry)[3] < 1.0f; }
    // The caller's name of an entry, else "type 3" (and "type 7+" for the
    // last entry, which also takes every type beyond it).
    std::string label(std::uint32_t entry) const;
    bool named() const { return !names_.empty(); }

private:
    bool default_ = true;
    std::uint32_t size_ = PALETTE_SIZE;
    std::uint32_t components_ = 3;
    std::vector<float> rgba_;
    std::vector<std::string> names_;
};

// ---- The radix sort of (key, index) pairs --------------------------------
struct RadixHist {
    std::uint32_t count[256];
};
using OffsetTable = RadixHist;  // 256 write places per chunk
// offsets[c][b] = start of digit b + counts of digit b in chunks before c.
void prefix_offsets(const std::vector<RadixHist>& hists, std::vector<OffsetTable>& offsets);
void radix_count_chunk(const std::uint32_t* keys, std::uint32_t begin, std::uint32_t end, int shift,
                       RadixHist& hist);
void radix_scatter(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                   std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                   std::uint32_t end, int shift, std::uint32_t* offsets);
// The line buffers through which a long chunk's scatter streams whole cache
// lines (about 33 KB). They live on the heap, allocated before the phase's
// threads start: a chunk may run on the caller's own thread, whose stack
// can be as small as 32 KiB.
struct ScatterLines;
struct ScatterLinesDeleter {
    void operator()(ScatterLines* lines) const noexcept;
};
using ScatterLinesPtr = std::unique_ptr<ScatterLines, ScatterLinesDeleter>;
// Line buffers for a chunk of `entries` pairs; null when such a chunk
// scatters directly.
ScatterLinesPtr scatter_lines_for(std::uint32_t entries);
// radix_scatter with line buffers from scatter_lines_for(end - begin).
void radix_scatter(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                   std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                   std::uint32_t end, int shift, std::uint32_t* offsets, ScatterLines* lines);
// Stable sort of the pairs by key, four passes of 8-bit digits.
void radix_sort_pairs(std::uint32_t* keys, std::uint32_t* indices, const WorkSplit& split,
                      const ThreadStarter& start_thread);
// The same, with scratch arrays of split.count entries each that the caller
// provides; the sorted pairs end in `keys` and `indices` all the same.
void radix_sort_pairs(std::uint32_t* keys, std::uint32_t* indices, std::uint32_t* scratch_keys,
                      std::uint32_t* scratch_indices, const WorkSplit& split,
                      const ThreadStarter& start_thread);

// ---- The atom builder's stages ------------------------------------------
struct AtomPipelineOptions {
    Interleave interleave;
    WorkSplit split;
    ThreadStarter start_thread;
};
// What a production call uses: the processor test and the split rule, over
// at most `workers` threads (0: one per hardware thread).
AtomPipelineOptions production_pipeline_options(std::uint32_t count, unsigned workers = 0);

// Memory that the ordering may use until the gather: the file's payload,
// which the gather then overwrites in full. Fresh memory costs page faults,
// so keys and scratch arrays placed there save a third of the pipeline's
// fresh memory.
struct SpareMemory {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Quantise, key and sort: entry j of the result names the atom that goes to
// output place j. The keys and the sort's scratch arrays go into `spare`
// when they fit there, into working arrays otherwise.
WorkingArray<std::uint32_t> morton_order(const float* positions, std::uint32_t count,
                                         const double* vmin, const double* vmax,
                                         const AtomPipelineOptions& options,
                                         SpareMemory spare = {});

// Writes positions and palette colours of output places [begin, end).
// The outputs may start at any address.
void gather_atoms_chunk(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                        const float* positions, const std::uint16_t* types,
                        std::uint8_t* sorted_positions, std::uint8_t* colors);
// The same with each place's palette entry, one byte, instead of its colour.
void gather_atom_entries_chunk(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                               const float* positions, const std::uint16_t* types,
                               std::uint8_t* sorted_positions, std::uint8_t* entries);

// ---- The bucket route ---------------------------------------------------
// The top 1 to 8 of the 30 key bits, key >> shift, choose an atom's bucket.

// The file's payload while it holds buckets. Bucket d owns places
// [start[d], start[d + 1]) and exactly the payload bytes its atoms end in:
// their positions at positions + 12p, where the file wants them, and one
// 32-bit record per atom (inner key bits and palette entry) from
// records + 12 start[d] on, inside the bucket's colour places.
struct AtomBuckets {
    std::uint8_t* positions;
    std::uint8_t* records;
    const std::uint32_t* start;  // 257 entries
};

// Moves atoms [begin, end) to the bucket places that `offsets` (indexed by
// key >> shift) hands out, and advances them.
void scatter_atoms_to_buckets(std::uint32_t begin, std::uint32_t end, const std::uint32_t* keys,
                              const float* positions, const std::uint16_t* types, int shift,
                              std::uint32_t* offsets, const AtomBuckets& buckets);
// Scratch that sort_and_gather_bucket needs for buckets of up to
// `capacity` atoms: about 28 bytes per atom and its digit tables.
std::size_t bucket_scratch_bytes(std::uint32_t capacity, int inner_bits);
// Sorts the bucket of places [begin, end) stably by the key bits below
// `inner_bits` (the others are the bucket's own) and writes its positions
// and colours in that order over its own payload bytes. Needs `scratch` of
// bucket_scratch_bytes(capacity, inner_bits), 8-aligned, with capacity >=
// end - begin.
void sort_and_gather_bucket(std::uint32_t begin, std::uint32_t end, int inner_bits,
                            const AtomBuckets& buckets, std::uint8_t* scratch,
                            std::uint32_t capacity);
// Fills the payload of `count` atoms by the bucket route. When a bucket is
// too large to sort in the caches or in the route's scratch (the key array,
// or 1 MiB for small clouds), it goes on by the pairs route from the keys
// it has, and returns false.
//
// With `entries`, writers that group atoms by palette entry get the same
// order with entry[p] (one byte) in place of the colours: the payload's
// positions are as in the file, and its second half is then free.
bool write_atoms_by_buckets(const float* positions, std::uint32_t count, const std::uint16_t* types,
                            const Quantization& quantization, const AtomPipelineOptions& options,
                            std::uint8_t* payload, std::uint8_t* entries = nullptr);

// The pairs route from Morton keys already in `keys_then_order` (count
// entries), which then holds the order: sort of (key, index) pairs, with
// the keys and the sort's scratch in the payload, then the gather of
// colours or, with `entries`, of palette entries.
void write_atoms_by_pairs_from_keys(std::uint32_t* keys_then_order, const float* positions,
                                    std::uint32_t count, const std::uint16_t* types,
                                    const AtomPipelineOptions& options, std::uint8_t* payload,
                                    std::uint8_t* entries = nullptr);
// The pairs route from the start: Morton order, then the gather.
void write_atoms_by_pairs(const float* positions, std::uint32_t count, const std::uint16_t* types,
                          const double* vmin, const double* vmax,
                          const AtomPipelineOptions& options, std::uint8_t* payload);

}  // namespace glbcore
