// Quantisation, the two Morton interleaves and the work split.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "order/order.h"

using namespace glbcore;

namespace {

// Bit k of x, y, z goes to key bit 3k+xs, 3k+ys, 3k+zs: written bit by bit
// as an independent reference for both layouts.
std::uint32_t reference_key(std::uint32_t x, std::uint32_t y, std::uint32_t z, int xs, int ys,
                            int zs) {
    std::uint32_t key = 0;
    for (int k = 0; k < 10; ++k) {
        key |= ((x >> k) & 1u) << (3 * k + xs);
        key |= ((y >> k) & 1u) << (3 * k + ys);
        key |= ((z >> k) & 1u) << (3 * k + zs);
    }
    return key;
}

void require_bmi2() {
    if (!processor_has_avx2_and_bmi2()) GTEST_SKIP() << "this processor has no BMI2";
}

std::uint32_t cell_of(float p, double vmin, double vmax) {
    const double lo[3] = {vmin, vmin, vmin};
    const double hi[3] = {vmax, vmax, vmax};
    const Quantization q = quantization_for_box(lo, hi);
    return cell_index(scaled_coordinate(p, static_cast<float>(q.min[0]), q.inv_extent[0]));
}

}  // namespace

TEST(Interleave, WorkedKeys) {
    EXPECT_EQ(morton3d_portable(1, 0, 0), 1u);
    EXPECT_EQ(morton3d_portable(0, 1, 0), 2u);
    EXPECT_EQ(morton3d_portable(0, 0, 1), 4u);
    EXPECT_EQ(morton3d_portable(1023, 1023, 1023), 0x3FFFFFFFu);
    EXPECT_EQ(morton3d_portable(255, 511, 767), 0x22FFFFFFu);
}

TEST(Interleave, WorkedKeysBmi2) {
    require_bmi2();
    EXPECT_EQ(morton3d_bmi2(1, 0, 0), 2u);
    EXPECT_EQ(morton3d_bmi2(0, 1, 0), 4u);
    EXPECT_EQ(morton3d_bmi2(0, 0, 1), 1u);
    EXPECT_EQ(morton3d_bmi2(1023, 1023, 1023), 0x3FFFFFFFu);
    EXPECT_EQ(morton3d_bmi2(255, 511, 767), 0x0CFFFFFFu);
}

TEST(Interleave, BothLayoutsMatchTheBitByBitReference) {
    std::uint32_t seed = 12345;
    const bool bmi2 = processor_has_avx2_and_bmi2();
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const std::uint32_t x = seed >> 22, y = (seed >> 12) & 1023, z = (seed >> 2) & 1023;
        ASSERT_EQ(morton3d_portable(x, y, z), reference_key(x, y, z, 0, 1, 2));
        if (bmi2) {
            ASSERT_EQ(morton3d_bmi2(x, y, z), reference_key(x, y, z, 1, 2, 0));
        }
    }
}

TEST(Interleave, BlockFormMatchesSingleCalls) {
    require_bmi2();
    const std::uint32_t x[3] = {1, 0, 1023}, y[3] = {0, 7, 1023}, z[3] = {0, 512, 1};
    std::uint32_t keys[3];
    morton3d_bmi2_block(x, y, z, 3, keys);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(keys[i], morton3d_bmi2(x[i], y[i], z[i]));
}

TEST(CellIndex, ClampsEveryInputIntoTheGrid) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(cell_index(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(cell_index(-inf), 0u);
    EXPECT_EQ(cell_index(-1e300), 0u);
    EXPECT_EQ(cell_index(-5.0), 0u);
    EXPECT_EQ(cell_index(-0.5), 0u);
    EXPECT_EQ(cell_index(0.0), 0u);
    EXPECT_EQ(cell_index(0.999), 0u);
    EXPECT_EQ(cell_index(1.0), 1u);
    EXPECT_EQ(cell_index(1022.9999), 1022u);
    EXPECT_EQ(cell_index(1023.0), 1023u);
    EXPECT_EQ(cell_index(4294967296.0), 1023u);
    EXPECT_EQ(cell_index(1e300), 1023u);
    EXPECT_EQ(cell_index(inf), 1023u);
}

TEST(Quantization, WorkedCellsOfTheOneAtomExample) {
    // (0.25, 0.5, 0.75) in the unit box: 0.25 * 1023 = 255.75 and so on.
    EXPECT_EQ(cell_of(0.25f, 0, 1), 255u);
    EXPECT_EQ(cell_of(0.5f, 0, 1), 511u);
    EXPECT_EQ(cell_of(0.75f, 0, 1), 767u);
}

TEST(Quantization, DegenerateExtentsUseTheFixedInverse) {
    const double lo[3] = {2.0, 0.0, 5.0};
    const double hi[3] = {2.0, 1e-12, std::nan("")};
    const Quantization q = quantization_for_box(lo, hi);
    for (float inv : q.inv_extent) EXPECT_EQ(inv, 1e10f);
    // An atom on the minimum of a flat axis is in cell 0, one above it in 1023.
    EXPECT_EQ(cell_of(2.0f, 2.0, 2.0), 0u);
    EXPECT_EQ(cell_of(2.5f, 2.0, 2.0), 1023u);
}

TEST(Quantization, OutsideTheBox) {
    EXPECT_EQ(cell_of(1.0f, 0, 1), 1023u);    // on the maximum
    EXPECT_EQ(cell_of(1.001f, 0, 1), 1023u);  // a little above it
    EXPECT_EQ(cell_of(-3.0f, 0, 1), 0u);      // cells below the minimum
    EXPECT_EQ(cell_of(std::numeric_limits<float>::quiet_NaN(), 0, 1), 0u);
}

TEST(WorkSplit, OneWorkerBelow100000Atoms) {
    const WorkSplit s = split_work(99999, 8);
    EXPECT_EQ(s.workers, 1u);
    EXPECT_EQ(s.chunk, 99999u);
    EXPECT_EQ(split_work(1, 8).chunk, 1u);
}

TEST(WorkSplit, UnknownHardwareThreadsGiveFourWorkers) {
    const WorkSplit s = split_work(100000, 0);
    EXPECT_EQ(s.workers, 4u);
    EXPECT_EQ(s.chunk, 25000u);
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.begin(i), 25000 * i);
        EXPECT_EQ(s.end(i), 25000 * (i + 1));
    }
}

TEST(WorkSplit, ThreeWorkers) {
    const WorkSplit s = split_work(100000, 3);
    EXPECT_EQ(s.chunk, 33334u);
    EXPECT_EQ(s.end(0), 33334u);
    EXPECT_EQ(s.begin(1), 33334u);
    EXPECT_EQ(s.end(1), 66668u);
    EXPECT_EQ(s.begin(2), 66668u);
    EXPECT_EQ(s.end(2), 100000u);
}

TEST(WorkSplit, ThousandWorkersLeaveTrailingChunksEmpty) {
    const WorkSplit s = split_work(100001, 1000);
    EXPECT_EQ(s.chunk, 101u);
    EXPECT_EQ(s.begin(990), 99990u);
    EXPECT_EQ(s.end(990), 100001u);
    for (std::uint32_t i = 991; i < 1000; ++i) EXPECT_GE(s.begin(i), s.end(i)) << "chunk " << i;
}
