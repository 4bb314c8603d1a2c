// A small, independent GLB reader for the tests: it checks the container's
// invariants while it splits a file into its JSON text and BIN bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_glb {

struct GlbFile {
    std::uint32_t declared_length = 0;
    std::string json;               // the JSON chunk, padding spaces included
    std::vector<std::uint8_t> bin;  // the BIN chunk, padding included
};

std::uint32_t read_u32_le(const std::uint8_t* at);

// Parses a GLB file; fails the running test (ADD_FAILURE) on any broken
// invariant: magic, version, declared length, chunk types, chunk lengths that
// are multiples of 4 and add up to the file size.
GlbFile parse_glb(const std::vector<std::uint8_t>& file);

// The document without its padding spaces.
std::string document_of(const GlbFile& glb);

// The i-th 32-bit float of the BIN chunk.
float bin_float(const GlbFile& glb, std::size_t i);
std::uint32_t bin_u32(const GlbFile& glb, std::size_t i);
std::uint32_t float_bits(float f);

// "%.6f"/"%.4f" of a value by an independent route (std::to_chars), for
// comparing with what the documents contain.
std::string fixed(double value, int decimals);

}  // namespace testing_glb
