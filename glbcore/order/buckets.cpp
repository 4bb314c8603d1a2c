// The bucket route of the atom pipeline: one pass by the top digit of the
// Morton key moves every atom's position, type and key into the bucket of
// its digit, inside the file's own payload; then each bucket is sorted by
// the rest of its keys in scratch and written into its places in order.
// Memory is read and written about three times instead of the pairs
// route's ten, and the random reads of the gather stay in cache.
//
// It gives the pairs route's order exactly: the bucket pass is stable (places
// handed out digit by digit, then chunk by chunk), so each bucket holds its
// atoms in input order, and the sort inside a bucket is stable too.
#include <algorithm>
#include <cstring>

#include "order/order.h"

namespace glbcore {

namespace {

constexpr std::size_t BYTES_PER_POSITION = 12;
constexpr std::size_t BYTES_PER_COLOR = 12;
// A record packs what the bucket does not already say: the key bits below
// the bucket digit, shifted past the 3 bits of the palette entry. Keys have
// 30 bits and the digit at least 1, so a record fits 32 bits.
constexpr int ENTRY_BITS = 3;
static_assert(PALETTE_SIZE <= (1u << ENTRY_BITS), "a palette entry fits its bits");
// Scratch of one bucket of m atoms: two arrays of 64-bit sort entries and
// 12m bytes of positions, besides its digit tables.
constexpr std::size_t SCRATCH_BYTES_PER_ATOM = 2 * 8 + BYTES_PER_POSITION;
// Scratch that a cloud may have beyond its key array (4 bytes per atom).
constexpr std::size_t SMALL_CLOUD_SCRATCH_BYTES = std::size_t{1} << 20;
// A bucket larger than this (about 15 MB of scratch) is left to the pairs
// route. Smaller ones sort faster than it even outside the core's own
// cache: on 10^7 atoms in 64 blobs, whose largest bucket holds 4% of them,
// the bucket route took 80 to 90 ms and the pairs route 166 ms.
constexpr std::uint32_t MAX_BUCKET_ATOMS = std::uint32_t{1} << 19;
constexpr int KEY_BITS = 30;
constexpr std::uint32_t SCATTER_PREFETCH_DISTANCE = 16;
// Clouds get about this many atoms per bucket on average, at most 256
// buckets: small buckets would cost more in per-bucket tables than in atoms.
constexpr std::uint32_t ATOMS_PER_BUCKET = 512;

// A bucket's sort moves 64-bit entries: the record shifted so that its
// inner key lands in the high half and its palette entry in the top bits of
// the low half, below which sits the atom's place in the bucket. Places
// ascend in input order and every pass is stable, so the entries end in the
// stable order by key.
constexpr int ENTRY_KEY_SHIFT = 32;
constexpr int PLACE_BITS = ENTRY_KEY_SHIFT - ENTRY_BITS;
constexpr std::uint32_t PLACE_MASK = (std::uint32_t{1} << PLACE_BITS) - 1;
static_assert(MAX_BUCKET_ATOMS <= (std::uint64_t{1} << PLACE_BITS),
              "a bucket place and a palette entry fit the low half of an entry");

// The inner bits are split into as few digits as keep each digit's table
// no longer than the bucket, so that the tables cost less than the moves
// they save, and no digit wider than MAX_DIGIT_BITS.
constexpr int MAX_DIGIT_BITS = 12;
constexpr int MAX_PASSES = 4;  // 29 inner bits at most
static_assert(MAX_PASSES * 8 >= KEY_BITS - 1, "8-bit digits cover every inner key");

struct DigitPlan {
    int passes = 0;
    int shift[MAX_PASSES] = {};
    int bits[MAX_PASSES] = {};
};

DigitPlan digit_plan(std::uint32_t m, int inner_bits) {
    DigitPlan plan;
    int passes = 1;
    for (;; ++passes) {
        const int width = (inner_bits + passes - 1) / passes;
        if (width <= 8 || (width <= MAX_DIGIT_BITS && (std::uint64_t{1} << width) <= m)) break;
    }
    int low = 0;
    for (int k = 0; k < passes; ++k) {
        const int width = (inner_bits - low + (passes - k) - 1) / (passes - k);
        plan.shift[k] = low;
        plan.bits[k] = width;
        low += width;
    }
    plan.passes = passes;
    return plan;
}

// One bucket's scratch, carved from its chunk's share of the pool.
struct BucketScratch {
    std::uint32_t* tables;  // one table per digit, `table_entries` apart
    std::size_t table_entries;
    std::uint64_t* entries[2];
    std::uint8_t* positions;
};

std::size_t line_rounded(std::size_t bytes) { return (bytes + 63) / 64 * 64; }

// Entries of each digit table for buckets of up to `capacity` atoms: the
// first digit of a plan is its widest, and smaller buckets get narrower ones.
std::size_t table_entries_for(std::uint32_t capacity, int inner_bits) {
    return std::size_t{1} << std::max(8, digit_plan(capacity, inner_bits).bits[0]);
}

std::size_t table_bytes_for(std::uint32_t capacity, int inner_bits) {
    const std::size_t entries = MAX_PASSES * table_entries_for(capacity, inner_bits);
    return line_rounded(sizeof(std::uint32_t) * entries);
}

BucketScratch carve_scratch(std::uint8_t* at, std::uint32_t capacity, int inner_bits) {
    BucketScratch s{};
    s.tables = reinterpret_cast<std::uint32_t*>(at);
    s.table_entries = table_entries_for(capacity, inner_bits);
    at += table_bytes_for(capacity, inner_bits);
    s.entries[0] = reinterpret_cast<std::uint64_t*>(at);
    s.entries[1] = s.entries[0] + capacity;
    s.positions = reinterpret_cast<std::uint8_t*>(s.entries[1] + capacity);
    return s;
}

std::uint32_t* table_of(const BucketScratch& s, int digit) {
    return s.tables + s.table_entries * static_cast<std::size_t>(digit);
}

inline std::uint32_t record_at(const std::uint8_t* records, std::uint32_t j) {
    std::uint32_t record;
    std::memcpy(&record, records + sizeof record * j, sizeof record);
    return record;
}

inline std::uint64_t sort_entry(std::uint32_t record, std::uint32_t place) {
    return (std::uint64_t{record} << PLACE_BITS) | place;
}

inline std::uint32_t digit_of_entry(std::uint64_t entry, int shift, std::uint32_t mask) {
    return static_cast<std::uint32_t>(entry >> (ENTRY_KEY_SHIFT + shift)) & mask;
}

// The counts of every digit in one sweep over the records.
template <int Passes>
void count_digits(const std::uint8_t* records, std::uint32_t m, const DigitPlan& plan,
                  const BucketScratch& s) {
    std::uint32_t* tables[Passes];
    int shifts[Passes];
    std::uint32_t masks[Passes];
    for (int k = 0; k < Passes; ++k) {
        tables[k] = table_of(s, k);
        shifts[k] = ENTRY_BITS + plan.shift[k];
        masks[k] = (std::uint32_t{1} << plan.bits[k]) - 1;
        std::memset(tables[k], 0, sizeof(std::uint32_t) << plan.bits[k]);
    }
    for (std::uint32_t j = 0; j < m; ++j) {
        const std::uint32_t record = record_at(records, j);
        for (int k = 0; k < Passes; ++k) ++tables[k][(record >> shifts[k]) & masks[k]];
    }
}

void count_digits(const std::uint8_t* records, std::uint32_t m, const DigitPlan& plan,
                  const BucketScratch& s) {
    switch (plan.passes) {
        case 1: return count_digits<1>(records, m, plan, s);
        case 2: return count_digits<2>(records, m, plan, s);
        case 3: return count_digits<3>(records, m, plan, s);
        default: return count_digits<MAX_PASSES>(records, m, plan, s);
    }
}

// Turns a digit's counts into its first places.
void starts_from_counts(std::uint32_t* table, std::size_t n) {
    std::uint32_t running = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const std::uint32_t size = table[r];
        table[r] = running;
        running += size;
    }
}

// Sorts a bucket of m atoms whose records are at `records`; returns the
// scratch array that holds the sorted entries.
const std::uint64_t* sort_bucket_entries(const std::uint8_t* records, std::uint32_t m,
                                         int inner_bits, const BucketScratch& s) {
    const DigitPlan plan = digit_plan(m, inner_bits);
    count_digits(records, m, plan, s);
    std::uint64_t* from = nullptr;  // null: still in the records
    int to = 0;
    for (int k = 0; k < plan.passes; ++k) {
        std::uint32_t* next = table_of(s, k);
        const int shift = plan.shift[k];
        const std::uint32_t mask = (std::uint32_t{1} << plan.bits[k]) - 1;
        // A digit that all keys share moves nothing.
        const std::uint32_t first_digit = (record_at(records, 0) >> (ENTRY_BITS + shift)) & mask;
        if (next[first_digit] == m) continue;
        starts_from_counts(next, std::size_t{1} << plan.bits[k]);
        std::uint64_t* out = s.entries[to];
        if (from == nullptr) {
            for (std::uint32_t j = 0; j < m; ++j) {
                const std::uint32_t record = record_at(records, j);
                out[next[(record >> (ENTRY_BITS + shift)) & mask]++] = sort_entry(record, j);
            }
        } else {
            for (std::uint32_t j = 0; j < m; ++j) {
                const std::uint64_t entry = from[j];
                out[next[digit_of_entry(entry, shift, mask)]++] = entry;
            }
        }
        from = out;
        to = 1 - to;
    }
    if (from == nullptr) {  // every key of the bucket is the same: input order
        from = s.entries[0];
        for (std::uint32_t j = 0; j < m; ++j) from[j] = sort_entry(record_at(records, j), j);
    }
    return from;
}

// What a bucket's atoms leave besides their positions: the palette colour
// of each place (the file's layout) or only its palette entry, for writers
// that group atoms by entry. from() moves to a bucket's first place.
struct PaletteColors {
    std::uint8_t* colors;
    PaletteColors from(std::uint32_t place) const { return {colors + BYTES_PER_COLOR * place}; }
    void put(std::uint32_t place, std::uint32_t entry) const {
        store_palette_entry(colors + BYTES_PER_COLOR * place, entry);
    }
};
struct PaletteEntries {
    std::uint8_t* entries;
    PaletteEntries from(std::uint32_t place) const { return {entries + place}; }
    void put(std::uint32_t place, std::uint32_t entry) const {
        entries[place] = static_cast<std::uint8_t>(entry);
    }
};

// Writes a sorted bucket's positions and colours over its own payload
// bytes, place by place.
template <class Palette>
void write_sorted_bucket(const std::uint64_t* entries, const std::uint8_t* atoms, std::uint32_t m,
                         std::uint8_t* positions, Palette palette) {
    for (std::uint32_t p = 0; p < m; ++p) {
        const auto low = static_cast<std::uint32_t>(entries[p]);
        copy_12_bytes(positions + BYTES_PER_POSITION * p,
                      atoms + BYTES_PER_POSITION * (low & PLACE_MASK));
        palette.put(p, low >> PLACE_BITS);
    }
}

template <class Palette>
void sort_bucket_into(std::uint32_t begin, std::uint32_t end, int inner_bits,
                      const AtomBuckets& buckets, std::uint8_t* scratch, std::uint32_t capacity,
                      Palette palette) {
    const std::uint32_t m = end - begin;
    const BucketScratch s = carve_scratch(scratch, capacity, inner_bits);
    std::uint8_t* const positions = buckets.positions + BYTES_PER_POSITION * begin;
    // The writes overwrite the records and positions: sort the entries out
    // of the records first, and write from a copy of the positions.
    const std::uint64_t* sorted =
        sort_bucket_entries(buckets.records + BYTES_PER_COLOR * begin, m, inner_bits, s);
    std::memcpy(s.positions, positions, BYTES_PER_POSITION * std::size_t{m});
    write_sorted_bucket(sorted, s.positions, m, positions, palette.from(begin));
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
        const std::uint32_t entry = palette_entry(type);
        const std::uint32_t record = ((key & inner_mask) << ENTRY_BITS) | entry;
        std::uint8_t* to = to_positions + BYTES_PER_POSITION * place;
        std::memcpy(to, &xy, sizeof xy);
        std::memcpy(to + sizeof xy, &z, sizeof z);
        std::memcpy(record_base[d] + sizeof record * place, &record, sizeof record);
    }
    std::memcpy(offsets, next.count, sizeof next.count);
}

std::size_t bucket_scratch_bytes(std::uint32_t capacity, int inner_bits) {
    return table_bytes_for(capacity, inner_bits) +
           line_rounded(SCRATCH_BYTES_PER_ATOM * std::size_t{capacity});
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
    int shift;                     // the bucket digit is key >> shift
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

}  // namespace

bool write_atoms_by_buckets(const float* positions, std::uint32_t count, const std::uint16_t* types,
                            const Quantization& quantization, const AtomPipelineOptions& options,
                            std::uint8_t* payload, std::uint8_t* entries) {
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
    const std::size_t share = bucket_scratch_bytes(plan.largest, plan.shift);
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
    if (scratch_bytes > key_bytes)
        extra_scratch = allocate_working_array<std::uint8_t>(scratch_bytes);
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
