// Parallel least-significant-digit radix sort of (key, index) pairs: four
// passes of 8-bit digits, each a counting phase, a prefix step on the calling
// thread and a scatter phase.
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "order/order.h"

namespace glbcore {

namespace {

constexpr int DIGIT_BITS = 8;
constexpr std::uint32_t DIGIT_MASK = 0xFF;
constexpr int RADIX_PASSES = 4;

// Reading the source arrays this many entries ahead keeps them in cache;
// the hardware prefetchers alone leave the sweeps waiting on memory.
constexpr std::uint32_t PREFETCH_ENTRIES = 512;
constexpr std::uint32_t ENTRIES_PER_LINE = 16;  // 64-byte cache lines

inline void prefetch_line(const std::uint32_t* p) { __builtin_prefetch(p); }

inline std::uint32_t digit_of(std::uint32_t key, int shift) { return (key >> shift) & DIGIT_MASK; }

}  // namespace

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

void radix_count_chunk(const std::uint32_t* keys, std::uint32_t begin, std::uint32_t end, int shift,
                       RadixHist& hist) {
    // Four interleaved tables: consecutive equal digits would otherwise wait
    // on each other's increment of the same counter.
    std::uint32_t part[4][256] = {};
    std::uint32_t i = begin;
    for (; end - i >= ENTRIES_PER_LINE; i += ENTRIES_PER_LINE) {
        if (end - i > PREFETCH_ENTRIES) prefetch_line(keys + i + PREFETCH_ENTRIES);
        for (std::uint32_t k = 0; k < ENTRIES_PER_LINE; k += 4) {
            ++part[0][digit_of(keys[i + k], shift)];
            ++part[1][digit_of(keys[i + k + 1], shift)];
            ++part[2][digit_of(keys[i + k + 2], shift)];
            ++part[3][digit_of(keys[i + k + 3], shift)];
        }
    }
    for (; i < end; ++i) ++part[0][digit_of(keys[i], shift)];
    for (std::uint32_t b = 0; b < 256; ++b) {
        hist.count[b] = part[0][b] + part[1][b] + part[2][b] + part[3][b];
    }
}

namespace {

void scatter_direct(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                    std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                    std::uint32_t end, int shift, std::uint32_t* offsets) {
    for (std::uint32_t i = begin; i < end; ++i) {
        const std::uint32_t key = keys_in[i];
        const std::uint32_t place = offsets[digit_of(key, shift)]++;
        keys_out[place] = key;
        indices_out[place] = indices_in[i];
    }
}

#if defined(__SSE2__)
// Chunks at least this long go through write-combining buffers: their
// destinations are far larger than the caches, where streaming whole lines
// to memory beats reading each line in before writing into it.
constexpr std::uint32_t STREAMING_MIN_ENTRIES = std::uint32_t{1} << 18;

}  // namespace

// One cache line of keys and one of indices per digit, mirroring the line
// of the destination that the digit's next place falls in.
struct ScatterLines {
    alignas(64) std::uint32_t keys[256][ENTRIES_PER_LINE];
    alignas(64) std::uint32_t indices[256][ENTRIES_PER_LINE];
    // First slot of the digit's current line that this chunk owns: the
    // first line of a digit's range may start with another chunk's places.
    std::uint32_t first_slot[256];
};

namespace {

inline void stream_line(std::uint32_t* to, const std::uint32_t* from) {
    auto* d = reinterpret_cast<__m128i*>(to);
    const auto* s = reinterpret_cast<const __m128i*>(from);
    _mm_stream_si128(d, _mm_load_si128(s));
    _mm_stream_si128(d + 1, _mm_load_si128(s + 1));
    _mm_stream_si128(d + 2, _mm_load_si128(s + 2));
    _mm_stream_si128(d + 3, _mm_load_si128(s + 3));
}

// Writes slots [from, to) of a digit's buffered line with ordinary stores.
inline void copy_slots(ScatterLines& b, std::uint32_t digit, std::uint32_t line_start,
                       std::uint32_t from, std::uint32_t to, std::uint32_t* keys_out,
                       std::uint32_t* indices_out) {
    std::memcpy(keys_out + line_start + from, b.keys[digit] + from, 4 * (to - from));
    std::memcpy(indices_out + line_start + from, b.indices[digit] + from, 4 * (to - from));
}

// The same moves as scatter_direct; the destinations must be 64-byte aligned.
void scatter_streaming(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                       std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                       std::uint32_t end, int shift, std::uint32_t* offsets, ScatterLines& b) {
    constexpr std::uint32_t LAST_SLOT = ENTRIES_PER_LINE - 1;
    for (std::uint32_t d = 0; d < 256; ++d) b.first_slot[d] = offsets[d] & LAST_SLOT;
    const auto place_pair = [&](std::uint32_t key, std::uint32_t index) {
        const std::uint32_t d = digit_of(key, shift);
        const std::uint32_t place = offsets[d]++;
        const std::uint32_t slot = place & LAST_SLOT;
        b.keys[d][slot] = key;
        b.indices[d][slot] = index;
        if (slot != LAST_SLOT) return;
        const std::uint32_t line_start = place - LAST_SLOT;
        if (b.first_slot[d] == 0) {
            stream_line(keys_out + line_start, b.keys[d]);
            stream_line(indices_out + line_start, b.indices[d]);
        } else {  // a first line shared with other places: write only ours
            copy_slots(b, d, line_start, b.first_slot[d], ENTRIES_PER_LINE, keys_out, indices_out);
            b.first_slot[d] = 0;
        }
    };
    std::uint32_t i = begin;
    for (; end - i >= ENTRIES_PER_LINE; i += ENTRIES_PER_LINE) {
        if (end - i > PREFETCH_ENTRIES) {
            prefetch_line(keys_in + i + PREFETCH_ENTRIES);
            prefetch_line(indices_in + i + PREFETCH_ENTRIES);
        }
        // Four pairs loaded before any is placed: the compiler cannot know
        // that the stores of one placement leave the next inputs unchanged.
        for (std::uint32_t k = i; k < i + ENTRIES_PER_LINE; k += 4) {
            const std::uint32_t k0 = keys_in[k], k1 = keys_in[k + 1];
            const std::uint32_t k2 = keys_in[k + 2], k3 = keys_in[k + 3];
            const std::uint32_t x0 = indices_in[k], x1 = indices_in[k + 1];
            const std::uint32_t x2 = indices_in[k + 2], x3 = indices_in[k + 3];
            place_pair(k0, x0);
            place_pair(k1, x1);
            place_pair(k2, x2);
            place_pair(k3, x3);
        }
    }
    for (; i < end; ++i) place_pair(keys_in[i], indices_in[i]);
    // The partly filled last lines.
    for (std::uint32_t d = 0; d < 256; ++d) {
        const std::uint32_t filled = offsets[d] & LAST_SLOT;
        if (b.first_slot[d] < filled) {
            copy_slots(b, d, offsets[d] - filled, b.first_slot[d], filled, keys_out, indices_out);
        }
    }
    _mm_sfence();  // streaming stores are weakly ordered: finish them before the join
}

bool aligned_to_line(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; }
#endif

}  // namespace

#if defined(__SSE2__)
void ScatterLinesDeleter::operator()(ScatterLines* lines) const noexcept { delete lines; }

ScatterLinesPtr scatter_lines_for(std::uint32_t entries) {
    if (entries < STREAMING_MIN_ENTRIES) return nullptr;
    return ScatterLinesPtr(new ScatterLines);
}
#else
struct ScatterLines {};
void ScatterLinesDeleter::operator()(ScatterLines* lines) const noexcept { delete lines; }
ScatterLinesPtr scatter_lines_for(std::uint32_t) { return nullptr; }
#endif

void radix_scatter(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                   std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                   std::uint32_t end, int shift, std::uint32_t* offsets, ScatterLines* lines) {
#if defined(__SSE2__)
    if (lines != nullptr && end - begin >= STREAMING_MIN_ENTRIES && aligned_to_line(keys_out) &&
        aligned_to_line(indices_out)) {
        return scatter_streaming(keys_in, indices_in, keys_out, indices_out, begin, end, shift,
                                 offsets, *lines);
    }
#else
    (void)lines;
#endif
    scatter_direct(keys_in, indices_in, keys_out, indices_out, begin, end, shift, offsets);
}

void radix_scatter(const std::uint32_t* keys_in, const std::uint32_t* indices_in,
                   std::uint32_t* keys_out, std::uint32_t* indices_out, std::uint32_t begin,
                   std::uint32_t end, int shift, std::uint32_t* offsets) {
    const ScatterLinesPtr lines = scatter_lines_for(end - begin);
    radix_scatter(keys_in, indices_in, keys_out, indices_out, begin, end, shift, offsets,
                  lines.get());
}

void radix_sort_pairs(std::uint32_t* keys, std::uint32_t* indices, const WorkSplit& split,
                      const ThreadStarter& start_thread) {
    auto scratch_keys = allocate_working_array<std::uint32_t>(split.count);
    auto scratch_indices = allocate_working_array<std::uint32_t>(split.count);
    radix_sort_pairs(keys, indices, scratch_keys.get(), scratch_indices.get(), split, start_thread);
}

void radix_sort_pairs(std::uint32_t* keys, std::uint32_t* indices, std::uint32_t* scratch_keys,
                      std::uint32_t* scratch_indices, const WorkSplit& split,
                      const ThreadStarter& start_thread) {
    std::vector<RadixHist> hists(split.workers, RadixHist{});
    std::vector<OffsetTable> offsets(split.workers, OffsetTable{});
    std::vector<ScatterLinesPtr> lines;
    for (std::uint32_t c = 0; c < split.workers; ++c) {
        lines.push_back(scatter_lines_for(split.end(c) - split.begin(c)));
    }

    std::uint32_t* src_keys = keys;
    std::uint32_t* src_indices = indices;
    std::uint32_t* dst_keys = scratch_keys;
    std::uint32_t* dst_indices = scratch_indices;
    for (int pass = 0; pass < RADIX_PASSES; ++pass) {
        const int shift = pass * DIGIT_BITS;
        // Chunk c starts at c*C, so the chunk number follows from `begin`.
        const auto chunk_of = [&split](std::uint32_t begin) { return begin / split.chunk; };
        run_phase(split, start_thread, [&](std::uint32_t begin, std::uint32_t end) {
            radix_count_chunk(src_keys, begin, end, shift, hists[chunk_of(begin)]);
        });
        prefix_offsets(hists, offsets);
        run_phase(split, start_thread, [&](std::uint32_t begin, std::uint32_t end) {
            const std::uint32_t c = chunk_of(begin);
            radix_scatter(src_keys, src_indices, dst_keys, dst_indices, begin, end, shift,
                          offsets[c].count, lines[c].get());
        });
        std::swap(src_keys, dst_keys);
        std::swap(src_indices, dst_indices);
    }
    // An even number of passes leaves the sorted pairs in the caller's arrays.
    static_assert(RADIX_PASSES % 2 == 0, "the result must end in the caller's arrays");
}

}  // namespace glbcore
