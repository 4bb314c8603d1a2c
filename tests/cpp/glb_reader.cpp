#include "glb_reader.h"

#include <charconv>
#include <cstring>

#include <gtest/gtest.h>

namespace testing_glb {

std::uint32_t read_u32_le(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

GlbFile parse_glb(const std::vector<std::uint8_t>& file) {
    GlbFile glb;
    if (file.size() < 28) {
        ADD_FAILURE() << "a GLB file has at least 28 bytes, got " << file.size();
        return glb;
    }
    const std::uint8_t* p = file.data();
    EXPECT_EQ(std::memcmp(p, "glTF", 4), 0);
    EXPECT_EQ(read_u32_le(p + 4), 2u);
    glb.declared_length = read_u32_le(p + 8);
    EXPECT_EQ(glb.declared_length, file.size());
    const std::uint32_t json_length = read_u32_le(p + 12);
    EXPECT_EQ(std::memcmp(p + 16, "JSON", 4), 0);
    EXPECT_EQ(json_length % 4, 0u);
    if (20 + std::size_t{json_length} + 8 > file.size()) {
        ADD_FAILURE() << "JSON chunk runs past the end of the file";
        return glb;
    }
    glb.json.assign(reinterpret_cast<const char*>(p + 20), json_length);
    const std::uint8_t* bin_header = p + 20 + json_length;
    const std::uint32_t bin_length = read_u32_le(bin_header);
    EXPECT_EQ(std::memcmp(bin_header + 4, "BIN\0", 4), 0);
    EXPECT_EQ(bin_length % 4, 0u);
    EXPECT_EQ(28 + std::size_t{json_length} + bin_length, file.size());
    const std::size_t available = file.size() - (28 + std::size_t{json_length});
    glb.bin.assign(bin_header + 8, bin_header + 8 + std::min<std::size_t>(bin_length, available));
    return glb;
}

std::string document_of(const GlbFile& glb) {
    const std::size_t end = glb.json.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : glb.json.substr(0, end + 1);
}

float bin_float(const GlbFile& glb, std::size_t i) {
    float f;
    std::memcpy(&f, glb.bin.data() + 4 * i, 4);
    return f;
}

std::uint32_t bin_u32(const GlbFile& glb, std::size_t i) {
    return read_u32_le(glb.bin.data() + 4 * i);
}

std::uint32_t float_bits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

std::string fixed(double value, int decimals) {
    char text[400];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

}  // namespace testing_glb
