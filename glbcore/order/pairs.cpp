// The pairs route: Morton keys and atom indices sorted as pairs, then
// positions and palette colours gathered in that order; and the Morton
// order of any points, which other writers gather from themselves.
#include <cstring>
#include <thread>

#include "order/order.h"

namespace glbcore {

namespace {

constexpr std::size_t BYTES_PER_POSITION = 12;
constexpr std::size_t BYTES_PER_COLOR = 12;  // what store_palette_color writes

// How far ahead a gather sweep fetches: the next atoms it will read, and the
// order array further on, which the hardware prefetchers alone leave waiting
// on memory.
constexpr std::uint32_t ATOM_PREFETCH_DISTANCE = 32;
constexpr std::uint32_t ORDER_PREFETCH_DISTANCE = 512;
constexpr std::uint32_t ORDER_ENTRIES_PER_LINE = 16;

// Calls visit(j, order[j]) for the places j in [begin, end), ascending,
// prefetching the record of stride bytes that a later place will read.
template <class Visit>
void for_each_place(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                    const std::uint8_t* records, std::size_t stride, Visit visit) {
    std::uint32_t j = begin;
    for (; end - j > ORDER_PREFETCH_DISTANCE; ++j) {
        if (j % ORDER_ENTRIES_PER_LINE == 0) {
            __builtin_prefetch(order + j + ORDER_PREFETCH_DISTANCE);
        }
        __builtin_prefetch(records + stride * order[j + ATOM_PREFETCH_DISTANCE]);
        visit(j, order[j]);
    }
    for (; j < end; ++j) visit(j, order[j]);
}

// The key array and the sort's two scratch arrays.
struct PairArrays {
    std::uint32_t* keys = nullptr;
    std::uint32_t* scratch_keys = nullptr;
    std::uint32_t* scratch_indices = nullptr;
};

// The three arrays of count entries each, inside `spare` and each starting
// on a cache line (the sort streams whole lines); none when they do not fit.
PairArrays carve_pair_arrays(SpareMemory spare, std::uint32_t count) {
    constexpr std::uintptr_t LINE = 64;
    if (spare.data == nullptr) return PairArrays{};
    const std::size_t bytes = sizeof(std::uint32_t) * std::size_t{count};
    std::uint32_t* carved[3] = {};
    std::uintptr_t at = reinterpret_cast<std::uintptr_t>(spare.data);
    const std::uintptr_t end = at + spare.size;
    for (std::uint32_t*& array : carved) {
        at = (at + LINE - 1) & ~(LINE - 1);
        if (at > end || end - at < bytes) return PairArrays{};
        array = reinterpret_cast<std::uint32_t*>(at);
        at += bytes;
    }
    return PairArrays{carved[0], carved[1], carved[2]};
}

}  // namespace

AtomPipelineOptions production_pipeline_options(std::uint32_t count, unsigned workers) {
    return AtomPipelineOptions{
        interleave_for_this_processor(),
        split_work(count, workers != 0 ? workers : std::thread::hardware_concurrency()),
        default_thread_starter()};
}

WorkingArray<std::uint32_t> morton_order(const float* positions, std::uint32_t count,
                                         const double* vmin, const double* vmax,
                                         const AtomPipelineOptions& options, SpareMemory spare) {
    auto order = allocate_working_array<std::uint32_t>(count);
    PairArrays arrays = carve_pair_arrays(spare, count);
    WorkingArray<std::uint32_t> keys, scratch_keys, scratch_indices;
    if (arrays.keys == nullptr) {
        keys = allocate_working_array<std::uint32_t>(count);
        scratch_keys = allocate_working_array<std::uint32_t>(count);
        scratch_indices = allocate_working_array<std::uint32_t>(count);
        arrays = PairArrays{keys.get(), scratch_keys.get(), scratch_indices.get()};
    }
    const Quantization quantization = quantization_for_box(vmin, vmax);
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        morton_keys_chunk(begin, end, positions, quantization, options.interleave, arrays.keys,
                          order.get());
    });
    radix_sort_pairs(arrays.keys, order.get(), arrays.scratch_keys, arrays.scratch_indices,
                     options.split, options.start_thread);
    return order;
}

namespace {

void gather_positions(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                      const float* positions, std::uint8_t* sorted_positions) {
    const auto* position_bytes = reinterpret_cast<const std::uint8_t*>(positions);
    for_each_place(begin, end, order, position_bytes, BYTES_PER_POSITION,
                   [&](std::uint32_t j, std::uint32_t atom) {
                       std::memcpy(sorted_positions + BYTES_PER_POSITION * j,
                                   position_bytes + BYTES_PER_POSITION * atom, BYTES_PER_POSITION);
                   });
}

// Calls put(j, type of atom order[j]) for the places j in [begin, end).
template <class Put>
void gather_types(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                  const std::uint16_t* types, Put put) {
    const auto* type_bytes = reinterpret_cast<const std::uint8_t*>(types);
    for_each_place(begin, end, order, type_bytes, sizeof(std::uint16_t),
                   [&](std::uint32_t j, std::uint32_t atom) {
                       std::uint16_t type;
                       std::memcpy(&type, type_bytes + sizeof type * atom, sizeof type);
                       put(j, type);
                   });
}

}  // namespace

void gather_atoms_chunk(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                        const float* positions, const std::uint16_t* types,
                        std::uint8_t* sorted_positions, std::uint8_t* colors) {
    gather_positions(begin, end, order, positions, sorted_positions);
    gather_types(begin, end, order, types, [colors](std::uint32_t j, std::uint16_t type) {
        store_palette_color(colors + BYTES_PER_COLOR * j, type);
    });
}

void gather_atom_entries_chunk(std::uint32_t begin, std::uint32_t end, const std::uint32_t* order,
                               const float* positions, const std::uint16_t* types,
                               std::uint8_t* sorted_positions, std::uint8_t* entries) {
    gather_positions(begin, end, order, positions, sorted_positions);
    gather_types(begin, end, order, types, [entries](std::uint32_t j, std::uint16_t type) {
        entries[j] = static_cast<std::uint8_t>(palette_entry(type));
    });
}

void write_atoms_by_pairs(const float* positions, std::uint32_t count, const std::uint16_t* types,
                          const double* vmin, const double* vmax,
                          const AtomPipelineOptions& options, std::uint8_t* payload) {
    const std::size_t half = BYTES_PER_POSITION * std::size_t{count};
    const WorkingArray<std::uint32_t> order =
        morton_order(positions, count, vmin, vmax, options, SpareMemory{payload, 2 * half});
    std::uint8_t* colors = payload + half;
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        gather_atoms_chunk(begin, end, order.get(), positions, types, payload, colors);
    });
}

void write_atoms_by_pairs_from_keys(std::uint32_t* keys_then_order, const float* positions,
                                    std::uint32_t count, const std::uint16_t* types,
                                    const AtomPipelineOptions& options, std::uint8_t* payload,
                                    std::uint8_t* entries) {
    const std::size_t half = BYTES_PER_POSITION * std::size_t{count};
    PairArrays arrays = carve_pair_arrays(SpareMemory{payload, 2 * half}, count);
    WorkingArray<std::uint32_t> keys, scratch_keys, scratch_indices;
    if (arrays.keys == nullptr) {  // a few atoms: no room for cache-line starts
        keys = allocate_working_array<std::uint32_t>(count);
        scratch_keys = allocate_working_array<std::uint32_t>(count);
        scratch_indices = allocate_working_array<std::uint32_t>(count);
        arrays = PairArrays{keys.get(), scratch_keys.get(), scratch_indices.get()};
    }
    std::uint32_t* const order = keys_then_order;
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        std::memcpy(arrays.keys + begin, keys_then_order + begin,
                    sizeof(std::uint32_t) * (end - begin));
        for (std::uint32_t i = begin; i < end; ++i) order[i] = i;
    });
    radix_sort_pairs(arrays.keys, order, arrays.scratch_keys, arrays.scratch_indices, options.split,
                     options.start_thread);
    std::uint8_t* colors = payload + half;
    run_phase(options.split, options.start_thread, [&](std::uint32_t begin, std::uint32_t end) {
        if (entries != nullptr) {
            gather_atom_entries_chunk(begin, end, order, positions, types, payload, entries);
        } else {
            gather_atoms_chunk(begin, end, order, positions, types, payload, colors);
        }
    });
}

}  // namespace glbcore
