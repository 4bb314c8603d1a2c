// The parallel radix sort and the phases that run it.
#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "order/order.h"

using namespace glbcore;

namespace {

struct Pairs {
    std::vector<std::uint32_t> keys;
    std::vector<std::uint32_t> indices;
};

Pairs random_pairs(std::uint32_t count, std::uint32_t key_range, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::uint32_t> key(0, key_range - 1);
    Pairs p;
    p.keys.resize(count);
    for (auto& k : p.keys) k = key(rng);
    p.indices.resize(count);
    std::iota(p.indices.begin(), p.indices.end(), 0u);
    return p;
}

// The order a stable comparison sort gives.
std::vector<std::uint32_t> stable_order(const std::vector<std::uint32_t>& keys) {
    std::vector<std::uint32_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    return order;
}

Pairs sorted_with_workers(Pairs p, std::uint32_t workers) {
    radix_sort_pairs(p.keys.data(), p.indices.data(),
                     split_work_over(static_cast<std::uint32_t>(p.keys.size()), workers),
                     default_thread_starter());
    return p;
}

}  // namespace

TEST(RadixSort, SameOrderForEveryWorkerCount) {
    const Pairs input = random_pairs(200000, 1u << 30, 1);
    const std::vector<std::uint32_t> expected = stable_order(input.keys);
    for (std::uint32_t workers : {1u, 2u, 3u, 4u, 16u}) {
        const Pairs sorted = sorted_with_workers(input, workers);
        EXPECT_EQ(sorted.indices, expected) << workers << " workers";
        for (std::size_t j = 0; j < expected.size(); ++j) {
            ASSERT_EQ(sorted.keys[j], input.keys[expected[j]]) << "place " << j;
        }
    }
}

TEST(RadixSort, EqualKeysKeepTheirInputOrder) {
    // Few distinct keys: long runs of equal keys spread over every chunk.
    const Pairs input = random_pairs(50000, 5, 2);
    EXPECT_EQ(sorted_with_workers(input, 3).indices, stable_order(input.keys));
    Pairs same(input);
    std::fill(same.keys.begin(), same.keys.end(), 0x3FFFFFFFu);
    EXPECT_EQ(sorted_with_workers(same, 4).indices, input.indices);
}

// Large chunks in arrays that start on a cache line, as the builder's do,
// take the write-combining scatter; 700001 pairs over 2 workers make a chunk
// start in the middle of a line. Arrays starting off a line take the direct
// scatter; both must give the stable order.
TEST(RadixSort, LargeArraysSortLikeAStableSort) {
    const std::uint32_t count = 700001;
    for (std::uint32_t key_range : {1u << 30, 7u}) {
        const Pairs input = random_pairs(count, key_range, 9);
        const std::vector<std::uint32_t> expected = stable_order(input.keys);
        for (std::uint32_t workers : {1u, 2u, 3u}) {
            for (std::size_t misalign : {0u, 1u}) {
                const std::size_t stride = (count + 16) / 16 * 16;  // whole cache lines
                const auto storage = allocate_working_array<std::uint32_t>(4 * stride);
                std::uint32_t* arrays[4];
                for (std::size_t a = 0; a < 4; ++a)
                    arrays[a] = storage.get() + a * stride + misalign;
                std::copy(input.keys.begin(), input.keys.end(), arrays[0]);
                std::copy(input.indices.begin(), input.indices.end(), arrays[1]);
                radix_sort_pairs(arrays[0], arrays[1], arrays[2], arrays[3],
                                 split_work_over(count, workers), default_thread_starter());
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), arrays[1]))
                    << workers << " workers, keys below " << key_range << ", misaligned "
                    << misalign;
                for (std::uint32_t j = 0; j < count; ++j) {
                    ASSERT_EQ(arrays[0][j], input.keys[expected[j]]) << "place " << j;
                }
            }
        }
    }
}

TEST(RadixSort, OnePair) {
    const Pairs sorted = sorted_with_workers(Pairs{{42}, {0}}, 1);
    EXPECT_EQ(sorted.indices, std::vector<std::uint32_t>{0});
    EXPECT_EQ(sorted.keys, std::vector<std::uint32_t>{42});
}

TEST(RadixCount, CountsTheDigitAtTheShift) {
    const std::uint32_t keys[4] = {0x000102FFu, 0x00010203u, 0x05000000u, 0x000003FFu};
    RadixHist hist;
    std::fill(std::begin(hist.count), std::end(hist.count), 99u);  // must be reset
    radix_count_chunk(keys, 0, 4, 8, hist);
    EXPECT_EQ(hist.count[2], 2u);
    EXPECT_EQ(hist.count[0], 1u);
    EXPECT_EQ(hist.count[3], 1u);
    EXPECT_EQ(std::accumulate(std::begin(hist.count), std::end(hist.count), 0u), 4u);
}

TEST(Phases, EveryNonEmptyChunkRunsOnceOnItsRange) {
    const WorkSplit split = split_work(100001, 1000);
    std::vector<std::uint32_t> runs(split.workers, 0), ends(split.workers, 0);
    run_phase(split, default_thread_starter(), [&](std::uint32_t begin, std::uint32_t end) {
        const std::uint32_t chunk = begin / split.chunk;  // each chunk writes only its own slot
        ++runs[chunk];
        ends[chunk] = end;
    });
    for (std::uint32_t c = 0; c < split.workers; ++c) {
        EXPECT_EQ(runs[c], c <= 990 ? 1u : 0u) << "chunk " << c;
        if (c <= 990) {
            EXPECT_EQ(ends[c], std::min(101 * (c + 1), 100001u));
        }
    }
}
