// The GLB container: header, chunk padding, size limits, number formatting.
#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixed/fixed.h"
#include "glb/glb.h"
#include "glb_reader.h"

using namespace glbcore;
using namespace testing_glb;

namespace {

// The 32-byte file for zero atoms, written out field by field.
const std::vector<std::uint8_t> EMPTY_ATOM_FILE = {
    'g', 'l', 'T', 'F', 2,   0,   0,   0,   32, 0, 0, 0,  // magic, version, total length
    4,   0,   0,   0,   'J', 'S', 'O', 'N',               // JSON chunk: length 4, type
    '{', '}', ' ', ' ',                                   // "{}" padded with two spaces
    0,   0,   0,   0,   'B', 'I', 'N', 0};                // BIN chunk: length 0, type

std::string empty_cloud_document(const double* vmin, const double* vmax) {
    return document_of(parse_glb(generate_point_cloud_glb(nullptr, 0, nullptr, 0, vmin, vmax)));
}

std::string min_array_of(const std::string& doc) {
    const std::size_t at = doc.find("\"min\":[");
    const std::size_t end = doc.find(']', at);
    return doc.substr(at + 7, end - at - 7);
}

}  // namespace

TEST(EmptyAtomFile, IsTheFixed32Bytes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double box[3] = {nan, nan, nan};
    // Zero atoms: no argument is read, so null arrays and NaN bounds are fine.
    EXPECT_EQ(generate_atom_glb(nullptr, 0, nullptr, box, box), EMPTY_ATOM_FILE);
    EXPECT_EQ(assemble_glb("{}", 2, nullptr, 0), EMPTY_ATOM_FILE);
}

TEST(Assemble, PadsJsonWithSpacesAndBinWithZeros) {
    const std::uint8_t payload[6] = {1, 2, 3, 4, 5, 6};
    const GlbBytes file = assemble_glb("{\"a\":1}", 7, payload, 6);
    ASSERT_EQ(file.size(), 28u + 8 + 8);
    const GlbFile glb = parse_glb(file);
    EXPECT_EQ(glb.json, "{\"a\":1} ");
    EXPECT_EQ(glb.bin, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
}

TEST(Assemble, DocumentOfWholeWordsGetsNoPadding) {
    const GlbFile glb = parse_glb(assemble_glb("{\"ab\":1}", 8, nullptr, 0));
    EXPECT_EQ(glb.json, "{\"ab\":1}");
    EXPECT_TRUE(glb.bin.empty());
}

TEST(Layout, RefusesPayloadsAndFilesOf2GiBOrMore) {
    const std::uint64_t limit = std::uint64_t{1} << 31;
    EXPECT_THROW(glb_layout(4, limit), std::length_error);
    EXPECT_THROW(glb_layout(4, std::uint64_t{1} << 32), std::length_error);
    // 28 + 4 + (2^31 - 32) is exactly 2^31: the file is too large.
    EXPECT_THROW(glb_layout(4, limit - 32), std::length_error);
    EXPECT_EQ(glb_layout(4, limit - 36).total, limit - 4);
    try {
        glb_layout(0, limit);
        FAIL() << "expected a length error";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "cannot create std::vector larger than max_size()");
    }
}

TEST(NumberFormat, BoundsAreFixedWithSixDecimals) {
    const double vmin[3] = {-0.0, 1e20, 4e-7};
    const double vmax[3] = {-4e-7, -1.5, 0.25};
    const std::string doc = empty_cloud_document(vmin, vmax);
    EXPECT_EQ(min_array_of(doc), "-0.000000,100000000000000000000.000000,0.000000");
    EXPECT_NE(doc.find("\"max\":[-0.000000,-1.500000,0.250000]"), std::string::npos);
}

TEST(NumberFormat, LargestFiniteBoundsAreWrittenInFull) {
    const double vmin[3] = {-DBL_MAX, -DBL_MAX, -DBL_MAX};
    const double vmax[3] = {DBL_MAX, DBL_MAX, DBL_MAX};
    const std::string doc = empty_cloud_document(vmin, vmax);
    const std::string big = fixed(DBL_MAX, 6);
    ASSERT_EQ(big.size(), 309u + 7);
    EXPECT_EQ(min_array_of(doc), "-" + big + ",-" + big + ",-" + big);
    EXPECT_EQ(doc.back(), '}');
    EXPECT_EQ(doc.size(), 591u + 6 * (big.size() - 8) + 3);  // 591 for six "0.000000"
}

TEST(NumberFormat, CommaLocaleDoesNotChangeTheFile) {
    const double vmin[3] = {-1.25, 0.5, 3.0};
    const double vmax[3] = {2.75, 1.5, 4.0};
    const GlbBytes in_c_locale = generate_point_cloud_glb(nullptr, 0, nullptr, 0, vmin, vmax);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the test set-up generates the de_DE.UTF-8 locale";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    const GlbBytes in_comma_locale = generate_point_cloud_glb(nullptr, 0, nullptr, 0, vmin, vmax);
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(in_comma_locale, in_c_locale);
}

TEST(NonFiniteValues, AreRefusedNamingTheValue) {
    const double ok[3] = {0, 0, 0};
    const double inf = std::numeric_limits<double>::infinity();
    const double with_inf[3] = {0, -inf, 0};
    try {
        generate_point_cloud_glb(nullptr, 0, nullptr, 0, ok, with_inf);
        FAIL() << "expected invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "vmax[1] = -inf is not finite");
    }
    const double with_nan[3] = {std::nan(""), 0, 0};
    EXPECT_THROW(generate_point_cloud_glb(nullptr, 0, nullptr, 0, with_nan, ok),
                 std::invalid_argument);
}
