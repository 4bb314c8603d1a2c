// The atom builder: worked files, palette, Morton order against an
// independent reference, independence from the worker count.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/fixed.h"
#include "glb_reader.h"
#include "random_atoms.h"

using namespace glbcore;
using namespace testing_glb;

namespace {

const double UNIT_MIN[3] = {0, 0, 0};
const double UNIT_MAX[3] = {1, 1, 1};

AtomPipelineOptions options_for(std::uint32_t count, Interleave interleave, std::uint32_t workers) {
    return AtomPipelineOptions{interleave, split_work_over(count, workers),
                               default_thread_starter()};
}

GlbBytes build(const Atoms& a, const double* vmin, const double* vmax,
               const AtomPipelineOptions& options) {
    VectorOutput out;
    write_atom_glb(a.positions.data(), a.count(), a.types.data(), vmin, vmax, options, out);
    return out.take();
}

std::vector<Interleave> interleaves_here() {
    if (processor_has_avx2_and_bmi2()) return {Interleave::portable, Interleave::bmi2};
    return {Interleave::portable};
}

// ---- An independent reference of the whole ordering -------------------
std::uint32_t reference_cell(float p, double vmin, double vmax) {
    const float extent = static_cast<float>(vmax - vmin);
    const float inv = extent > 1e-10f ? static_cast<float>(1.0 / extent) : 1e10f;
    const double s = (double(p) - double(float(vmin))) * double(inv) * 1023.0;
    if (!(s > 0)) return 0;
    if (s >= 1023) return 1023;
    return static_cast<std::uint32_t>(s);
}

std::uint32_t reference_key(const std::uint32_t cell[3], Interleave interleave) {
    // bmi2: x -> 3k+1, y -> 3k+2, z -> 3k; portable: x -> 3k, y -> 3k+1, z -> 3k+2.
    const int shift_bmi2[3] = {1, 2, 0};
    const int shift_portable[3] = {0, 1, 2};
    const int* shift = interleave == Interleave::bmi2 ? shift_bmi2 : shift_portable;
    std::uint32_t key = 0;
    for (int axis = 0; axis < 3; ++axis)
        for (int k = 0; k < 10; ++k) key |= ((cell[axis] >> k) & 1u) << (3 * k + shift[axis]);
    return key;
}

std::vector<std::uint32_t> reference_order(const Atoms& a, const double* vmin, const double* vmax,
                                           Interleave interleave) {
    std::vector<std::uint32_t> keys(a.count());
    for (std::uint32_t i = 0; i < a.count(); ++i) {
        std::uint32_t cell[3];
        for (int axis = 0; axis < 3; ++axis)
            cell[axis] = reference_cell(a.positions[3 * i + axis], vmin[axis], vmax[axis]);
        keys[i] = reference_key(cell, interleave);
    }
    std::vector<std::uint32_t> order(a.count());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return keys[x] < keys[y]; });
    return order;
}

// The palette as a table of (red, green, blue), types 7 and above on the last row.
const float PALETTE[8][3] = {{0.5f, 0.5f, 0.5f},     {1.0f, 0.267f, 0.267f}, {0.267f, 1.0f, 0.267f},
                             {0.267f, 0.267f, 1.0f}, {1.0f, 1.0f, 0.267f},   {1.0f, 0.267f, 1.0f},
                             {0.267f, 1.0f, 1.0f},   {0.6f, 0.6f, 0.6f}};

void expect_payload_in_order(const GlbFile& glb, const Atoms& a,
                             const std::vector<std::uint32_t>& order) {
    ASSERT_EQ(glb.bin.size(), 24 * std::size_t{a.count()});
    const std::size_t colors = 3 * std::size_t{a.count()};
    for (std::size_t j = 0; j < order.size(); ++j) {
        for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(float_bits(bin_float(glb, 3 * j + c)),
                      float_bits(a.positions[3 * order[j] + c]))
                << "position of place " << j;
        }
        const std::uint16_t type = a.types[order[j]];
        for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(bin_float(glb, colors + 3 * j + c), PALETTE[std::min<int>(type, 7)][c])
                << "colour of type " << type;
        }
    }
}

}  // namespace

TEST(AtomFile, OneAtomWorkedExample) {
    const Atoms a{{0.25f, 0.5f, 0.75f}, {2}};
    const GlbBytes file =
        generate_atom_glb(a.positions.data(), 1, a.types.data(), UNIT_MIN, UNIT_MAX);
    ASSERT_EQ(file.size(), 648u);
    const GlbFile glb = parse_glb(file);
    const std::string expected =
        R"({"asset":{"version":"2.0","generator":"Zarn Native"},"scene":0,"scenes":[{"nodes":[0]}],)"
        R"("nodes":[{"mesh":0,"name":"Atoms"}],"meshes":[{"primitives":[{"attributes":{"POSITION":0,)"
        R"("COLOR_0":1},"mode":0}],"name":"AtomCloud"}],"accessors":[{"bufferView":0,"componentType":5126,)"
        R"("count":1,"type":"VEC3","min":[0.000000,0.000000,0.000000],"max":[1.000000,1.000000,1.000000]},)"
        R"({"bufferView":1,"componentType":5126,"count":1,"type":"VEC3"}],"bufferViews":[{"buffer":0,)"
        R"("byteOffset":0,"byteLength":12,"target":34962},{"buffer":0,"byteOffset":12,"byteLength":12,)"
        R"("target":34962}],"buffers":[{"byteLength":24}]})";
    ASSERT_EQ(expected.size(), 595u);
    EXPECT_EQ(glb.json, expected + " ");
    const std::uint32_t payload_bits[6] = {0x3E800000, 0x3F000000, 0x3F400000,   // 0.25 0.5 0.75
                                           0x3E88B439, 0x3F800000, 0x3E88B439};  // 0.267 1.0 0.267
    ASSERT_EQ(glb.bin.size(), 24u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(bin_u32(glb, i), payload_bits[i]) << "float " << i;
}

TEST(AtomFile, PaletteBitPatterns) {
    const std::uint32_t half = 0x3F000000, one = 0x3F800000, low = 0x3E88B439, gray = 0x3F19999A;
    const std::uint32_t expected[8][3] = {{half, half, half}, {one, low, low},   {low, one, low},
                                          {low, low, one},    {one, one, low},   {one, low, one},
                                          {low, one, one},    {gray, gray, gray}};
    for (int e = 0; e < 8; ++e) {
        EXPECT_EQ(float_bits(TYPE_COLORS_R[e]), expected[e][0]) << "entry " << e;
        EXPECT_EQ(float_bits(TYPE_COLORS_G[e]), expected[e][1]) << "entry " << e;
        EXPECT_EQ(float_bits(TYPE_COLORS_B[e]), expected[e][2]) << "entry " << e;
    }
}

TEST(AtomFile, TypesAboveSevenUseTheLastPaletteEntry) {
    // All atoms in one cell, so the output keeps the input order.
    const Atoms a{std::vector<float>(15, 0.5f), {7, 8, 255, 65535, 6}};
    const GlbFile glb =
        parse_glb(generate_atom_glb(a.positions.data(), 5, a.types.data(), UNIT_MIN, UNIT_MAX));
    for (int j = 0; j < 4; ++j)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(float_bits(bin_float(glb, 15 + 3 * j + c)), 0x3F19999Au);
    EXPECT_EQ(bin_float(glb, 15 + 12), 0.267f);  // type 6 is (0.267, 1, 1)
}

TEST(AtomFile, TwoAtomOrderDependsOnTheInterleave) {
    const Atoms a{{1.5f, 0.5f, 0.5f, 0.5f, 0.5f, 1.5f}, {1, 2}};
    const double box_max[3] = {1023, 1023, 1023};
    for (Interleave interleave : interleaves_here()) {
        const GlbFile glb = parse_glb(build(a, UNIT_MIN, box_max, options_for(2, interleave, 1)));
        // Cells (1,0,0) and (0,0,1): keys 2 and 1 with BMI2, 1 and 4 without.
        const float first_x = interleave == Interleave::bmi2 ? 0.5f : 1.5f;
        EXPECT_EQ(bin_float(glb, 0), first_x);
    }
}

TEST(AtomFile, MatchesTheReferenceOrderInsideAndOutsideTheBox) {
    Atoms a = random_atoms(30000, 3);
    a.positions[5] = std::numeric_limits<float>::quiet_NaN();
    a.positions[7] = std::numeric_limits<float>::infinity();
    a.positions[9] = -1e30f;
    const double vmin[3] = {0.0, -0.5, 0.25};
    const double vmax[3] = {1.0, 0.75, 0.25};  // a flat z axis
    for (Interleave interleave : interleaves_here()) {
        const GlbFile glb = parse_glb(build(a, vmin, vmax, options_for(a.count(), interleave, 1)));
        expect_payload_in_order(glb, a, reference_order(a, vmin, vmax, interleave));
    }
}

TEST(AtomFile, InvertedBoxIsWrittenAsGiven) {
    const Atoms a = random_atoms(100, 4);
    const GlbFile glb = parse_glb(
        generate_atom_glb(a.positions.data(), a.count(), a.types.data(), UNIT_MAX, UNIT_MIN));
    EXPECT_NE(
        glb.json.find(R"("min":[1.000000,1.000000,1.000000],"max":[0.000000,0.000000,0.000000])"),
        std::string::npos);
    EXPECT_EQ(glb.bin.size(), 2400u);
}

TEST(AtomFile, BytesDoNotDependOnTheWorkerCount) {
    const Atoms a = random_atoms(100000, 5);
    for (Interleave interleave : interleaves_here()) {
        const GlbBytes one_worker =
            build(a, UNIT_MIN, UNIT_MAX, options_for(a.count(), interleave, 1));
        expect_payload_in_order(parse_glb(one_worker), a,
                                reference_order(a, UNIT_MIN, UNIT_MAX, interleave));
        for (std::uint32_t workers : {2u, 4u, 16u}) {
            EXPECT_EQ(build(a, UNIT_MIN, UNIT_MAX, options_for(a.count(), interleave, workers)),
                      one_worker)
                << workers << " workers";
        }
    }
}

// Large enough for the sort to stream whole cache lines and keep its arrays
// in the file's payload before the gather overwrites it.
TEST(AtomFile, LargeCloudMatchesTheReferenceOrder) {
    const Atoms a = random_atoms(600001, 8);
    for (Interleave interleave : interleaves_here()) {
        const GlbBytes one_worker =
            build(a, UNIT_MIN, UNIT_MAX, options_for(a.count(), interleave, 1));
        expect_payload_in_order(parse_glb(one_worker), a,
                                reference_order(a, UNIT_MIN, UNIT_MAX, interleave));
        EXPECT_EQ(build(a, UNIT_MIN, UNIT_MAX, options_for(a.count(), interleave, 2)), one_worker);
    }
}

TEST(AtomFile, ProductionCallUsesThisProcessorsInterleave) {
    const Atoms a = random_atoms(2000, 6);
    const Interleave here = processor_has_avx2_and_bmi2() ? Interleave::bmi2 : Interleave::portable;
    EXPECT_EQ(generate_atom_glb(a.positions.data(), a.count(), a.types.data(), UNIT_MIN, UNIT_MAX),
              build(a, UNIT_MIN, UNIT_MAX, options_for(a.count(), here, 1)));
}

TEST(AtomFile, InputsAtOddAddresses) {
    const Atoms a = random_atoms(1000, 7);
    std::vector<std::uint8_t> pos_bytes(a.positions.size() * 4 + 1),
        type_bytes(a.types.size() * 2 + 1);
    std::memcpy(pos_bytes.data() + 1, a.positions.data(), a.positions.size() * 4);
    std::memcpy(type_bytes.data() + 1, a.types.data(), a.types.size() * 2);
    const auto* odd_positions = reinterpret_cast<const float*>(pos_bytes.data() + 1);
    const auto* odd_types = reinterpret_cast<const std::uint16_t*>(type_bytes.data() + 1);
    EXPECT_EQ(generate_atom_glb(odd_positions, a.count(), odd_types, UNIT_MIN, UNIT_MAX),
              generate_atom_glb(a.positions.data(), a.count(), a.types.data(), UNIT_MIN, UNIT_MAX));
}

TEST(AtomFile, TooManyAtomsAreRefusedBeforeTouchingTheData) {
    // Null arrays: reading them would crash, so the refusal must come first.
    for (std::uint32_t count : {89478486u, 100000000u, 0xFFFFFFFFu}) {
        try {
            generate_atom_glb(nullptr, count, nullptr, UNIT_MIN, UNIT_MAX);
            FAIL() << "expected a length error for " << count;
        } catch (const std::length_error& e) {
            EXPECT_STREQ(e.what(), "cannot create std::vector larger than max_size()");
        }
    }
}

TEST(AtomFile, NonFiniteBoundsAreRefusedBeforeTouchingTheData) {
    const double bad[3] = {0, std::numeric_limits<double>::quiet_NaN(), 0};
    try {
        generate_atom_glb(nullptr, 10, nullptr, bad, UNIT_MAX);
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "vmin[1] = nan is not finite");
    }
}

// ---- The bucket route against the pairs route ----------------------------
namespace {

// Half the atoms in a blob that fills one bucket, the others uniform.
Atoms half_in_one_bucket(std::uint32_t count, unsigned seed) {
    Atoms a = random_atoms(count, seed, 0.0f, 1.0f);
    for (std::uint32_t i = 0; i < count; i += 2)
        for (int c = 0; c < 3; ++c) a.positions[3 * i + c] = 0.6f + 0.01f * a.positions[3 * i + c];
    return a;
}

// The payload of one route, in memory pre-filled so that a byte left
// unwritten shows.
std::vector<std::uint8_t> route_payload(const Atoms& a, const AtomPipelineOptions& options,
                                        bool buckets, bool* took_buckets = nullptr) {
    std::vector<std::uint8_t> payload(24 * std::size_t{a.count()}, 0xA5);
    if (buckets) {
        const bool took = write_atoms_by_buckets(a.positions.data(), a.count(), a.types.data(),
                                                 quantization_for_box(UNIT_MIN, UNIT_MAX), options,
                                                 payload.data());
        if (took_buckets != nullptr) *took_buckets = took;
    } else {
        write_atoms_by_pairs(a.positions.data(), a.count(), a.types.data(), UNIT_MIN, UNIT_MAX,
                             options, payload.data());
    }
    return payload;
}

// Fails every third thread start, so chunks run on the caller too.
ThreadStarter every_third_start_fails() {
    auto attempts = std::make_shared<std::atomic<unsigned>>(0);
    return [attempts](std::function<void()> work) {
        if ((*attempts)++ % 3 == 0) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return std::thread(std::move(work));
    };
}

}  // namespace

// Buckets straddle chunk boundaries, and a blob's bucket spans several
// chunks whose workers then have no bucket of their own to sort. Buckets
// of different sizes sort in two to four passes of digits 7 to 11 bits
// wide; in the blob some digits are the same for every atom.
TEST(AtomBucketRoute, GivesThePairsRoutesBytesForEveryWorkerCount) {
    const Atoms clouds[] = {random_atoms(100003, 11, 0.0f, 1.0f), half_in_one_bucket(10007, 12),
                            random_atoms(600001, 14, 0.0f, 1.0f), random_atoms(7, 13, 0.0f, 1.0f)};
    for (const Atoms& a : clouds) {
        const Interleave interleave = interleaves_here().back();
        const auto pairs = route_payload(a, options_for(a.count(), interleave, 1), false);
        for (std::uint32_t workers : {1u, 2u, 3u, 5u}) {
            AtomPipelineOptions options = options_for(a.count(), interleave, workers);
            if (workers == 5) options.start_thread = every_third_start_fails();
            bool took_buckets = false;
            EXPECT_EQ(route_payload(a, options, true, &took_buckets), pairs)
                << a.count() << " atoms, " << workers << " workers";
            EXPECT_TRUE(took_buckets);
        }
    }
}

// A bucket too large for the caches goes on by the pairs route from the
// keys the bucket route computed.
TEST(AtomBucketRoute, TooLargeABucketGoesOnByPairs) {
    const Atoms a = random_atoms(300001, 14, 0.0f, 0.01f);  // all in the first bucket
    for (std::uint32_t workers : {1u, 3u}) {
        const AtomPipelineOptions options =
            options_for(a.count(), interleaves_here().back(), workers);
        bool took_buckets = true;
        EXPECT_EQ(route_payload(a, options, true, &took_buckets), route_payload(a, options, false));
        EXPECT_FALSE(took_buckets);
    }
}
