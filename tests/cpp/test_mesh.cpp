// The mesh builder: worked sizes with and without colours, the template
// choice, material formatting and limits.
#include <cfloat>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "glb_reader.h"
#include "glbcore.h"

using namespace glbcore;
using namespace testing_glb;

namespace {

const double TRIANGLE_BOUNDS[6] = {0, 0, 0, 1, 1, 0};
const std::vector<float> TRIANGLE_POSITIONS = {0, 0, 0, 1, 0, 0, 0, 1, 0};
const std::vector<float> TRIANGLE_NORMALS = {0, 0, 1, 0, 0, 1, 0, 0, 1};
const std::vector<std::uint32_t> TRIANGLE_INDICES = {0, 1, 2};
const std::vector<float> TRIANGLE_COLORS = {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1};

Material worked_material(bool double_sided) {
    Material m;
    m.roughness = 0.5;
    m.double_sided = double_sided;
    return m;
}

GlbBytes triangle(const float* colors, std::uint32_t color_floats, const Material& m) {
    return generate_mesh_glb(TRIANGLE_POSITIONS.data(), 9, TRIANGLE_NORMALS.data(), 9,
                             TRIANGLE_INDICES.data(), 3, colors, color_floats, TRIANGLE_BOUNDS, m);
}

bool contains(const std::string& doc, const std::string& part) {
    return doc.find(part) != std::string::npos;
}

}  // namespace

TEST(Mesh, TriangleWithoutColoursWorkedSizes) {
    const GlbBytes file = triangle(nullptr, 0, worked_material(false));
    EXPECT_EQ(file.size(), 1056u);
    const GlbFile glb = parse_glb(file);
    EXPECT_EQ(document_of(glb).size(), 943u);
    EXPECT_EQ(glb.json.size(), 944u);
    EXPECT_TRUE(contains(
        glb.json, R"("attributes":{"POSITION":0,"NORMAL":1},"indices":2,"material":0,"mode":4})"));
    EXPECT_TRUE(
        contains(glb.json, R"({"buffer":0,"byteOffset":72,"byteLength":12,"target":34963})"));
    EXPECT_TRUE(contains(glb.json, R"("doubleSided":false)"));
    EXPECT_TRUE(contains(
        glb.json,
        R"("baseColorFactor":[1.0000,1.0000,1.0000,1.0000],"metallicFactor":0.0000,"roughnessFactor":0.5000})"));
    ASSERT_EQ(glb.bin.size(), 84u);
    EXPECT_EQ(bin_float(glb, 3), 1.0f);      // second vertex x
    EXPECT_EQ(bin_float(glb, 9 + 2), 1.0f);  // first normal z
    EXPECT_EQ(bin_u32(glb, 18 + 2), 2u);     // third index
}

TEST(Mesh, TriangleWithColoursWorkedSizes) {
    const GlbBytes file = triangle(TRIANGLE_COLORS.data(), 12, worked_material(true));
    EXPECT_EQ(file.size(), 1240u);
    const GlbFile glb = parse_glb(file);
    EXPECT_EQ(document_of(glb).size(), 1078u);
    EXPECT_EQ(glb.json.size(), 1080u);
    EXPECT_TRUE(
        contains(glb.json, R"({"buffer":0,"byteOffset":72,"byteLength":48,"target":34962})"));
    EXPECT_TRUE(
        contains(glb.json, R"({"buffer":0,"byteOffset":120,"byteLength":12,"target":34963})"));
    EXPECT_TRUE(
        contains(glb.json, R"({"bufferView":2,"componentType":5126,"count":3,"type":"VEC4"})"));
    EXPECT_TRUE(contains(glb.json, R"("doubleSided":true)"));
    ASSERT_EQ(glb.bin.size(), 132u);
    EXPECT_EQ(bin_float(glb, 18 + 5), 1.0f);  // second colour green
    EXPECT_EQ(bin_u32(glb, 30 + 1), 1u);      // second index
}

TEST(Mesh, AllEmptyWithTheDefaultMaterial) {
    const double zero[6] = {};
    const GlbBytes file =
        generate_mesh_glb(nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, zero, Material{});
    EXPECT_EQ(file.size(), 964u);
    const GlbFile glb = parse_glb(file);
    EXPECT_EQ(document_of(glb).size(), 936u);
    EXPECT_TRUE(glb.bin.empty());
    EXPECT_TRUE(contains(
        glb.json,
        R"("metallicFactor":0.0000,"roughnessFactor":1.0000},"emissiveFactor":[0.0000,0.0000,0.0000],"doubleSided":true)"));
}

TEST(Mesh, MissingColoursFallBackToTheUncolouredTemplate) {
    const GlbBytes uncoloured = triangle(nullptr, 0, worked_material(true));
    EXPECT_EQ(triangle(nullptr, 12, worked_material(true)), uncoloured);  // null pointer, count 12
    EXPECT_EQ(triangle(TRIANGLE_COLORS.data(), 0, worked_material(true)), uncoloured);
    EXPECT_FALSE(contains(parse_glb(uncoloured).json, "COLOR_0"));
}

TEST(Mesh, CountsComeFromPositionsAndLengthsFromTheArrays) {
    const std::vector<float> positions(10, 0.5f), normals(6, 0.0f), colors(9, 1.0f);
    const GlbFile glb =
        parse_glb(generate_mesh_glb(positions.data(), 10, normals.data(), 6, nullptr, 0,
                                    colors.data(), 9, TRIANGLE_BOUNDS, Material{}));
    EXPECT_TRUE(
        contains(glb.json, R"({"bufferView":0,"componentType":5126,"count":3,"type":"VEC3")"));
    EXPECT_TRUE(
        contains(glb.json, R"({"bufferView":1,"componentType":5126,"count":3,"type":"VEC3"})"));
    EXPECT_TRUE(
        contains(glb.json, R"({"bufferView":2,"componentType":5126,"count":3,"type":"VEC4"})"));
    EXPECT_TRUE(contains(
        glb.json,
        R"("byteOffset":0,"byteLength":40,"target":34962},{"buffer":0,"byteOffset":40,"byteLength":24,)"));
    EXPECT_TRUE(
        contains(glb.json, R"({"buffer":0,"byteOffset":64,"byteLength":36,"target":34962})"));
    EXPECT_EQ(glb.bin.size(), 100u);
}

TEST(Mesh, MaterialFactorsWithFourDecimals) {
    Material m;
    m.base_color[0] = 0.25;
    m.base_color[3] = 0.123456;
    m.metallic = 2;
    m.roughness = -0.5;
    m.emissive[1] = -1.5;
    const GlbFile glb = parse_glb(triangle(nullptr, 0, m));
    EXPECT_TRUE(contains(
        glb.json,
        R"("baseColorFactor":[0.2500,1.0000,1.0000,0.1235],"metallicFactor":2.0000,"roughnessFactor":-0.5000},"emissiveFactor":[0.0000,-1.5000,0.0000])"));
}

TEST(Mesh, LongestDocumentsFitWithoutTruncation) {
    Material m;
    for (double& c : m.base_color) c = -DBL_MAX;
    m.metallic = m.roughness = -DBL_MAX;
    for (double& e : m.emissive) e = -DBL_MAX;
    const double bounds[6] = {-DBL_MAX, -DBL_MAX, -DBL_MAX, -DBL_MAX, -DBL_MAX, -DBL_MAX};
    const std::string factor = "-" + fixed(DBL_MAX, 4), bound = "-" + fixed(DBL_MAX, 6);
    for (bool coloured : {false, true}) {
        const GlbFile glb = parse_glb(generate_mesh_glb(nullptr, 0, nullptr, 0, nullptr, 0,
                                                        coloured ? TRIANGLE_COLORS.data() : nullptr,
                                                        coloured ? 4 : 0, bounds, m));
        const std::string doc = document_of(glb);
        EXPECT_EQ(doc.back(), '}');
        EXPECT_TRUE(
            contains(doc, R"("emissiveFactor":[)" + factor + "," + factor + "," + factor + "]"));
        EXPECT_TRUE(contains(doc, R"("max":[)" + bound + "," + bound + "," + bound + "]"));
    }
}

TEST(Mesh, NonFiniteFactorsAreRefusedNamingTheValue) {
    Material m;
    m.emissive[2] = -std::numeric_limits<double>::infinity();
    try {
        triangle(nullptr, 0, m);
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "emissive[2] = -inf is not finite");
    }
    m = Material{};
    m.roughness = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(triangle(nullptr, 0, m), std::invalid_argument);
}

TEST(Mesh, PayloadsOf2GiBOrMoreAreRefusedFromCountsAlone) {
    const float dummy = 0;
    // Four blocks of 2^30 bytes add up to 2^32: zero in 32-bit arithmetic.
    const std::uint32_t n = 1u << 28;
    EXPECT_THROW(generate_mesh_glb(nullptr, n, nullptr, n, nullptr, n, &dummy, n, TRIANGLE_BOUNDS,
                                   Material{}),
                 std::length_error);
    EXPECT_THROW(generate_mesh_glb(nullptr, n, nullptr, n, nullptr, 0, nullptr, 0, TRIANGLE_BOUNDS,
                                   Material{}),
                 std::length_error);
    // Without the colour flag the colour count does not count.
    EXPECT_THROW(generate_mesh_glb(nullptr, 0, nullptr, 0, nullptr, 1u << 29, nullptr, 0,
                                   TRIANGLE_BOUNDS, Material{}),
                 std::length_error);
}
