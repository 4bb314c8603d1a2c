// Parallel least-significant-digit radix sort of (key, index) pairs: four
// passes of 8-bit digits, each a counting phase, a prefix step on the calling
// thread and a scatter phase.
#include <vector>

#include "atom_pipeline.h"

namespace glbcore {

namespace {

constexpr int DIGIT_BITS = 8;
constexpr std::uint32_t DIGIT_MASK = 0xFF;
constexpr int RADIX_PASSES = 4;

using OffsetTable = RadixHist;  // 256 write places per chunk

// offsets[c][b] = start of digit b + counts of digit b in chunks before c.
// Handing places out digit by digit and chunk by chunk keeps the sort stable
// and the chunks' writes disjoint, whatever the number of chunks.
void prefix_offsets(const std::vector<RadixHist>& hists, std::vector<OffsetTable>& offsets) {
    std::uint32_t running = 0;
    for (std::uint32_t b = 0; b < 256; ++b) {
        for (std::size_t c = 0; c < hists.size(); ++c) {
            offsets[c].count[b] = running;
            running += hists[c].count[b];
        }
    }
}

}  // namespace

void radix_count_chunk(const std::uint32_t* keys, std::uint32_t begin, std::uint32_t end,
                       int shift, RadixHist& hist) {
    for (std::uint32_t& n : hist.count) n = 0;
    for (std::uint32_t i = begin; i < end; ++i) ++hist.count[(keys[i] >> shift) & DIGIT_MASK];
}

void radix_scatter(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                   std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                   std::uint32_t end, int shift, std::uint32_t* offsets) {
    for (std::uint32_t i = begin; i < end; ++i) {
        const std::uint32_t key = keys_in[i];
        const std::uint32_t place = offsets[(key >> shift) & DIGIT_MASK]++;
        keys_out[place] = key;
        indices_out[place] = indices_in[i];
    }
}

void radix_sort_pairs(std::uint32_t* keys, std::uint32_t* indices, const WorkSplit& split,
                      const ThreadStarter& start_thread) {
    auto scratch_keys = allocate_working_array<std::uint32_t>(split.count);
    auto scratch_indices = allocate_working_array<std::uint32_t>(split.count);
    std::vector<RadixHist> hists(split.workers, RadixHist{});
    std::vector<OffsetTable> offsets(split.workers, OffsetTable{});

    std::uint32_t* src_keys = keys;
    std::uint32_t* src_indices = indices;
    std::uint32_t* dst_keys = scratch_keys.get();
    std::uint32_t* dst_indices = scratch_indices.get();
    for (int pass = 0; pass < RADIX_PASSES; ++pass) {
        const int shift = pass * DIGIT_BITS;
        // Chunk c starts at c*C, so the chunk number follows from `begin`.
        const auto chunk_of = [&split](std::uint32_t begin) { return begin / split.chunk; };
        run_phase(split, start_thread, [&](std::uint32_t begin, std::uint32_t end) {
            radix_count_chunk(src_keys, begin, end, shift, hists[chunk_of(begin)]);
        });
        prefix_offsets(hists, offsets);
        run_phase(split, start_thread, [&](std::uint32_t begin, std::uint32_t end) {
            radix_scatter(src_keys, src_indices, dst_keys, dst_indices, begin, end, shift,
                          offsets[chunk_of(begin)].count);
        });
        std::swap(src_keys, dst_keys);
        std::swap(src_indices, dst_indices);
    }
    // An even number of passes leaves the sorted pairs in the caller's arrays.
    static_assert(RADIX_PASSES % 2 == 0, "the result must end in the caller's arrays");
}

}  // namespace glbcore
