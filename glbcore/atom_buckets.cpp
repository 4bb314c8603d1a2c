// The bucket route of the atom pipeline: one pass by the top digit of the
// Morton key moves every atom's position, type and key into the bucket of
// its digit, inside the file's own payload; then each bucket, small enough
// for the caches, is sorted by the rest of its keys and gathered into its
// places. Memory is read and written about three times instead of the
// pairs route's ten, and the random reads of the gather stay in cache.
//
// It gives the pairs route's order exactly: the bucket pass is stable (places
// handed out digit by digit, then chunk by chunk), so each bucket holds its
// atoms in input order, and the sort inside a bucket is stable too.
#include <algorithm>
#include <cstring>

#include "atom_pipeline.h"

namespace glbcore {

namespace {

constexpr std::size_t BYTES_PER_POSITION = 12;
constexpr std::size_t BYTES_PER_COLOR = 12;
// A record packs what the bucket does not already say: the key bits below
// the bucket digit, shifted past the 3 bits of the palette entry. Keys have
// 30 bits and the digit at least 1, so a record fits 32 bits.
constexpr int ENTRY_BITS = 3;
static_assert(PALETTE_SIZE <= (1u << ENTRY_BITS), "a palette entry fits its bits");
// Scratch of one bucket of m atoms: two (key, index) arrays for the sort,
// 12m bytes of positions and 2m of types.
constexpr std::size_t SCRATCH_BYTES_PER_ATOM = 4 * 4 + BYTES_PER_POSITION + 2;
// Scratch that a cloud may have beyond its key array (4 bytes per atom).
constexpr std::size_t SMALL_CLOUD_SCRATCH_BYTES = std::size_t{1} << 20;
// A bucket larger than this (about 4 MB of scratch) no longer sorts in the
// caches, and the pairs route is faster (measured on clouds of 10^7 atoms
// in 64 blobs, whose largest bucket holds 4% of them).
constexpr std::uint32_t MAX_BUCKET_ATOMS = std::uint32_t{1} << 17;
constexpr int KEY_BITS = 30;
constexpr std::uint32_t SCATTER_PREFETCH_DISTANCE = 16;
constexpr int MAX_INNER_PASSES = 4;  // 8-bit digits of up to 29 inner bits
// Clouds get about this many atoms per bucket on average, at most 256
// buckets: small buckets would cost more in per-bucket tables than in atoms.
constexpr std::uint32_t ATOMS_PER_BUCKET = 512;

// The tables of one bucket's sort (5 KB). They live in the heap scratch,
// not on the stack: a chunk may run on the caller's own thread, whose stack
// can be as small as 32 KiB (and sanitizers make every frame larger).
struct BucketTables {
    RadixHist hists[MAX_INNER_PASSES];
    OffsetTable offsets;
};
constexpr std::size_t TABLE_BYTES = (sizeof(BucketTables) + 63) / 64 * 64;

// One bucket's scratch, carved from its chunk's share of the pool.
struct BucketScratch {
    BucketTables* tables;
    std::uint32_t* keys[2];
    std::uint32_t* order[2];
    std::uint8_t* positions;
    std::uint16_t* types;
};

BucketScratch carve_scratch(std::uint8_t* at, std::uint32_t capacity) {
    BucketScratch s{};
    auto take = [&at](std::size_t bytes) {
        std::uint8_t* p = at;
        at += bytes;
        return p;
    };
    s.tables = reinterpret_cast<BucketTables*>(take(TABLE_BYTES));
    const std::size_t words = sizeof(std::uint32_t) * std::size_t{capacity};
    for (int k = 0; k < 2; ++k) {
        s.keys[k] = reinterpret_cast<std::uint32_t*>(take(words));
        s.order[k] = reinterpret_cast<std::uint32_t*>(take(words));
    }
    s.positions = take(BYTES_PER_POSITION * std::size_t{capacity});
    s.types = reinterpret_cast<std::uint16_t*>(take(sizeof(std::uint16_t) * capacity));
    return s;
}

// Takes a bucket's positions and records out of the payload into its
// scratch, as inner keys, input order and palette entries.
void load_bucket(const AtomBuckets& buckets, std::uint32_t bucket_begin, std::uint32_t m,
                 const BucketScratch& s) {
    const std::uint8_t* records = buckets.records + BYTES_PER_COLOR * bucket_begin;
    // The colour bytes past the records are written soon, in random order:
    // ask for their lines now, while the records stream in.
    const std::uint8_t* colors_end = records + BYTES_PER_COLOR * std::size_t{m};
    for (const std::uint8_t* line = records + sizeof(std::uint32_t) * m; line < colors_end;
         line += 64) {
        __builtin_prefetch(line, 1);
    }
    std::memcpy(s.positions, buckets.positions + BYTES_PER_POSITION * bucket_begin,
                BYTES_PER_POSITION * std::size_t{m});
    std::uint32_t* const keys = s.keys[0];
    std::uint32_t* const order = s.order[0];
    std::uint16_t* const types = s.types;
    for (std::uint32_t j = 0; j < m; ++j) {
        std::uint32_t record;
        std::memcpy(&record, records + sizeof record * j, sizeof record);
        keys[j] = record >> ENTRY_BITS;
        types[j] = static_cast<std::uint16_t>(record & (PALETTE_SIZE - 1));
        order[j] = j;
    }
}

// What a bucket's atoms leave besides their positions: the palette colour
// of each place (the file's layout) or only its palette entry, for writers
// that group atoms by entry. from() moves to a bucket's first place.
struct PaletteColors {
    std::uint8_t* colors;
    PaletteColors from(std::uint32_t place) const { return {colors + BYTES_PER_COLOR * place}; }
    void put(std::uint32_t place, std::uint16_t entry) const {
        store_palette_color(colors + BYTES_PER_COLOR * place, entry);
    }
};
struct PaletteEntries {
    std::uint8_t* entries;
    PaletteEntries from(std::uint32_t place) const { return {entries + place}; }
    void put(std::uint32_t place, std::uint16_t entry) const {
        entries[place] = static_cast<std::uint8_t>(entry);
    }
};

// The last pass of a bucket's sort fused with its gather: each atom goes
// from the scratch straight to its place in the file.
template <class Palette>
void scatter_gather_bucket(const BucketScratch& s, int from, std::uint32_t m, int shift,
                           std::uint8_t* positions, Palette palette) {
    const std::uint32_t* keys = s.keys[from];
    const std::uint32_t* order = s.order[from];
    const std::uint8_t* atoms = s.positions;
    const std::uint16_t* types = s.types;
    OffsetTable next = s.tables->offsets;  // a local: the byte stores cannot alias it
    for (std::uint32_t j = 0; j < m; ++j) {
        const std::uint32_t place = next.count[(keys[j] >> shift) & 0xFF]++;
        const std::uint32_t atom = order[j];
        copy_12_bytes(positions + BYTES_PER_POSITION * place, atoms + BYTES_PER_POSITION * atom);
        palette.put(place, types[atom]);
    }
}

// The counts of every inner digit in one sweep over a bucket's keys, which
// sit in cache: one read per key instead of one per digit.
void count_inner_digits(const std::uint32_t* keys, std::uint32_t m, int digits,
                        RadixHist* hists) {
    std::memset(hists, 0, sizeof(RadixHist) * static_cast<std::size_t>(digits));
    for (std::uint32_t j = 0; j < m; ++j) {
        const std::uint32_t key = keys[j];
        for (int k = 0; k < digits; ++k) ++hists[k].count[(key >> (8 * k)) & 0xFF];
    }
}

// Write places of one chunk that is the whole array.
void exclusive_prefix(const RadixHist& hist, OffsetTable& offsets) {
    std::uint32_t running = 0;
    for (std::uint32_t d = 0; d < 256; ++d) {
        offsets.count[d] = running;
        running += hist.count[d];
    }
}

// Stable sort of a bucket's pairs in scratch by the inner digits, the last
// pass writing the file. A digit that all keys share is skipped; counts do
// not depend on the order, so all are taken before the first move.
template <class Palette>
void sort_and_write_bucket(const BucketScratch& s, std::uint32_t m, int inner_bits,
                           std::uint8_t* positions, Palette palette) {
    RadixHist* hists = s.tables->hists;
    const int digits = (inner_bits + 7) / 8;
    count_inner_digits(s.keys[0], m, digits, hists);
    int moving[MAX_INNER_PASSES];
    int passes = 0;
    for (int k = 0; k < digits; ++k) {
        const auto* count = hists[k].count;
        if (std::find(count, count + 256, m) == count + 256) moving[passes++] = k;
    }
    int from = 0;
    OffsetTable& offsets = s.tables->offsets;
    for (int p = 0; p < passes; ++p) {
        const int shift = 8 * moving[p];
        exclusive_prefix(hists[moving[p]], offsets);
        if (p + 1 == passes) {
            return scatter_gather_bucket(s, from, m, shift, positions, palette);
        }
        radix_scatter(s.keys[from], s.order[from], s.keys[1 - from], s.order[1 - from], 0, m,
                      shift, offsets.count, nullptr);
        from = 1 - from;
    }
    // Every key of the bucket is the same: input order, as loaded.
    std::memcpy(positions, s.positions, BYTES_PER_POSITION * std::size_t{m});
    for (std::uint32_t j = 0; j < m; ++j) palette.put(j, s.types[j]);
}

template <class Palette>
void sort_bucket_into(std::uint32_t begin, std::uint32_t end, int inner_bits,
                      const AtomBuckets& buckets, std::uint8_t* scratch, std::uint32_t capacity,
                      Palette palette) {
    const std::uint32_t m = end - begin;
    const BucketScratch s = carve_scratch(scratch, capacity);
    load_bucket(buckets, begin, m, s);
    sort_and_write_bucket(s, m, inner_bits, buckets.positions + BYTES_PER_POSITION * begin,
                          palette.from(begin));
}

}  // namespace

void scatter_atoms_to_buckets(std::uint32_t begin, std::uint32_t end, const std::uint32_t* keys,
                              const float* positions, const std::uint16_t* types, int shift,
                              std::uint32_t* offsets, const AtomBuckets& buckets) {
    // Locals the byte stores cannot alias, so nothing is reloaded per atom.
    const auto* from = reinterpret_cast<const std::uint8_t*>(positions);
    const auto* type_bytes = reinterpret_cast<const std::uint8_t*>(types);
    std::uint8_t* const to_positions = buckets.positions;
    const std::uint32_t inner_mask = (std::uint32_t{1} << shift) - 1;
    OffsetTable next;
    std::memcpy(next.count, offsets, sizeof next.count);
    // Record of place p in bucket d: records + 12 start[d] + 4 (p - start[d]).
    std::uint8_t* record_base[256];
    for (std::uint32_t d = 0; d < 256; ++d) {
        record_base[d] = buckets.records + 8 * std::size_t{buckets.start[d]};
    }
    for (std::uint32_t i = begin; i < end; ++i) {
        if (end - i > SCATTER_PREFETCH_DISTANCE) {
            // Ask for the lines a later atom writes: the stores would
            // otherwise wait for them one by one.
            const std::uint32_t ahead = keys[i + SCATTER_PREFETCH_DISTANCE] >> shift;
            const std::uint32_t later = next.count[ahead];
            __builtin_prefetch(to_positions + BYTES_PER_POSITION * later, 1);
            __builtin_prefetch(record_base[ahead] + sizeof(std::uint32_t) * later, 1);
        }
        const std::uint32_t key = keys[i];
        std::uint16_t type;  // the caller's types may start at an odd address
        std::memcpy(&type, type_bytes + sizeof type * std::size_t{i}, sizeof type);
        std::uint64_t xy;
        std::uint32_t z;
        std::memcpy(&xy, from + BYTES_PER_POSITION * std::size_t{i}, sizeof xy);
        std::memcpy(&z, from + BYTES_PER_POSITION * std::size_t{i} + sizeof xy, sizeof z);
        const std::uint32_t d = key >> shift;
        const std::uint32_t place = next.count[d]++;
        const std::uint32_t entry = type < PALETTE_SIZE ? type : PALETTE_SIZE - 1u;
        const std::uint32_t record = ((key & inner_mask) << ENTRY_BITS) | entry;
        std::uint8_t* to = to_positions + BYTES_PER_POSITION * place;
        std::memcpy(to, &xy, sizeof xy);
        std::memcpy(to + sizeof xy, &z, sizeof z);
        std::memcpy(record_base[d] + sizeof record * place, &record, sizeof record);
    }
    std::memcpy(offsets, next.count, sizeof next.count);
}

void sort_and_gather_bucket(std::uint32_t begin, std::uint32_t end, int inner_bits,
                            const AtomBuckets& buckets, std::uint8_t* scratch,
                            std::uint32_t capacity) {
    sort_bucket_into(begin, end, inner_bits, buckets, scratch, capacity,
                     PaletteColors{buckets.records});
}

namespace {

// 1 to 8 bits, for about ATOMS_PER_BUCKET atoms per bucket.
int top_digit_bits(std::uint32_t count) {
    int bits = 1;
    while (bits < 8 && (count >> (bits + 1)) >= ATOMS_PER_BUCKET) ++bits;
    return bits;
}

// Where each chunk's atoms go and how large the buckets are.
struct BucketPlan {
    BucketPlan(std::uint32_t count, std::uint32_t workers)
        : shift(KEY_BITS - top_digit_bits(count)), hists(workers, RadixHist{}), offsets(workers) {}
    int shift;  // the bucket digit is key >> shift
    std::vector<RadixHist> hists;  // bucket digits per chunk
    std::vector<OffsetTable> offsets;
    std::uint32_t start[257] = {};  // bucket d holds places [start[d], start[d + 1])
    std::uint32_t largest = 0;

    void hand_out_places() {
        prefix_offsets(hists, offsets);
        for (std::uint32_t d = 0; d < 256; ++d) {
            std::uint32_t size = 0;
            for (const RadixHist& h : hists) size += h.count[d];
            start[d + 1] = start[d] + size;
            largest = std::max(largest, size);
        }
    }
    // Sorts the buckets that start among places [begin, end), also those
    // that reach into the next chunk's places.
    template <class Palette>
    void sort_buckets(std::uint32_t begin, std::uint32_t end, const AtomBuckets& buckets,
                      std::uint8_t* scratch, Palette palette) const {
        for (std::uint32_t d = 0; d < 256; ++d) {
            const std::uint32_t b = start[d], e = start[d + 1];
            if (b < e && b >= begin && b < end) {
                sort_bucket_into(b, e, shift, buckets, scratch, largest, palette);
            }
        }
    }
};

// Scratch of every chunk, each share a whole number of cache lines.
std::size_t scratch_share(std::uint32_t largest) {
    return TABLE_BYTES + (SCRATCH_BYTES_PER_ATOM * std::size_t{largest} + 63) / 64 * 64;
}

}  // namespace

bool write_atoms_by_buckets(const float* positions, std::uint32_t count,
                            const std::uint16_t* types, const Quantization& quantization,
                            const AtomPipelineOptions& options, std::uint8_t* payload,
                            std::uint8_t* entries) {
    const WorkSplit& split = options.split;
    const std::size_t key_bytes = sizeof(std::uint32_t) * std::size_t{count};
    WorkingArray<std::uint8_t> keys_then_scratch = allocate_working_array<std::uint8_t>(key_bytes);
    auto* keys = reinterpret_cast<std::uint32_t*>(keys_then_scratch.get());
    const auto chunk_of = [&split](std::uint32_t begin) { return begin / split.chunk; };
    BucketPlan plan(count, split.workers);
    const AtomBuckets buckets{payload, payload + BYTES_PER_POSITION * std::size_t{count},
                              plan.start};

    // Keys and the top digit's counts in one phase: the keys are still in
    // cache when they are counted.
    run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        morton_keys_chunk(begin, end, positions, quantization, options.interleave, keys, nullptr);
        radix_count_chunk(keys, begin, end, plan.shift, plan.hists[chunk_of(begin)]);
    });
    plan.hand_out_places();
    const std::size_t share = scratch_share(plan.largest);
    const std::size_t scratch_bytes = share * split.workers;
    // The key array becomes the buckets' scratch once the keys are in the
    // payload. Small clouds may have more scratch; in large ones a bucket
    // that big is too large for the caches anyway.
    if (plan.largest > MAX_BUCKET_ATOMS ||
        scratch_bytes > std::max(key_bytes, SMALL_CLOUD_SCRATCH_BYTES)) {
        write_atoms_by_pairs_from_keys(keys, positions, count, types, options, payload, entries);
        return false;
    }
    WorkingArray<std::uint8_t> extra_scratch;
    if (scratch_bytes > key_bytes) extra_scratch = allocate_working_array<std::uint8_t>(scratch_bytes);
    std::uint8_t* scratch = extra_scratch ? extra_scratch.get() : keys_then_scratch.get();

    const auto scatter = [&](std::uint32_t begin, std::uint32_t end) {
        scatter_atoms_to_buckets(begin, end, keys, positions, types, plan.shift,
                                 plan.offsets[chunk_of(begin)].count, buckets);
    };
    const auto run_sort = [&](auto palette) {
        const auto sort = [&](std::uint32_t begin, std::uint32_t end) {
            plan.sort_buckets(begin, end, buckets, scratch + share * chunk_of(begin), palette);
        };
        if (split.workers == 1) {  // one chunk: no other chunk's atoms to wait for
            run_phase(split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
                scatter(begin, end);
                sort(begin, end);
            });
            return;
        }
        run_phase(split, options.start_thread, scatter);
        run_phase(split, options.start_thread, sort);
    };
    if (entries != nullptr) {
        run_sort(PaletteEntries{entries});
    } else {
        run_sort(PaletteColors{buckets.records});
    }
    return true;
}

}  // namespace glbcore
