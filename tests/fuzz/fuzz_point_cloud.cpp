// Fuzz target of the point-cloud builder. Input layout (little-endian):
//   u8 flags   bit 0 oversize counts, bit 1 raw-bit bounds, bits 2-3 start
//              misalignment, bits 4-5 colours: 3 per point, 4 per point,
//              an arbitrary count, none
//   6 bounds   f64 each (raw bits) or i16 / 64
//   u16        position float count (reduced to what the input can fill)
//   u16        colour float count, used by the arbitrary colour mode
//   rest       position floats, then colour floats (zero when short)
#include <cstdint>
#include <stdexcept>

#include "fuzz_support.h"

namespace {

struct PointCloudCase {
    double vmin[3];
    double vmax[3];
    std::uint32_t position_floats = 0;
    std::uint32_t color_floats = 0;
};

// Counts whose payload reaches 2^31 bytes, with no data behind them: the
// builder must refuse them before it reads anything.
void check_oversize(PointCloudCase& c, fuzz::Reader& in) {
    c.position_floats = in.u32();
    c.color_floats = in.u32();
    if (std::uint64_t{c.position_floats} + c.color_floats < (1u << 29))
        c.position_floats += 1u << 29;
    try {
        fuzz::PoisonedOutput out(0);
        glbcore::write_point_cloud_glb(nullptr, c.position_floats, nullptr, c.color_floats, c.vmin,
                                       c.vmax, out);
    } catch (const std::length_error& e) {
        FUZZ_CHECK(std::string(e.what()) == fuzz::LENGTH_ERROR, "wrong length error message");
        return;
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(!fuzz::all_finite(c.vmin, 3) || !fuzz::all_finite(c.vmax, 3),
                   "finite bounds refused");
        return;
    }
    fuzz::fail(__FILE__, __LINE__, "an oversize payload was accepted");
}

void check_file(const PointCloudCase& c, const fuzz::InputBlock& positions,
                const fuzz::InputBlock& colors, const std::vector<std::uint8_t>& file) {
    const fuzz::ParsedGlb glb = fuzz::check_container(file);
    const fuzz::Json& doc = glb.document;
    const std::uint32_t points = c.position_floats / 3;
    const fuzz::Json& primitive = doc["meshes"][0]["primitives"][0];
    FUZZ_CHECK(doc["asset"]["version"].text == "2.0", "asset version");
    FUZZ_CHECK(primitive["mode"].count() == 0, "not a point primitive");
    const fuzz::Json& position = doc["accessors"][primitive["attributes"]["POSITION"].count()];
    const fuzz::Json& color = doc["accessors"][primitive["attributes"]["COLOR_0"].count()];
    FUZZ_CHECK(position["count"].count() == points && color["count"].count() == points,
               "accessor counts differ from the point count");
    const bool rgba = c.color_floats == 4 * points;
    FUZZ_CHECK(color["type"].text == (rgba ? "VEC4" : "VEC3"), "wrong colour type");
    for (int a = 0; a < 3; ++a) {
        FUZZ_CHECK(fuzz::printed_from(position["min"][a], c.vmin[a], 6), "min is not vmin");
        FUZZ_CHECK(fuzz::printed_from(position["max"][a], c.vmax[a], 6), "max is not vmax");
    }
    const std::size_t position_bytes = 4 * std::size_t{c.position_floats};
    const std::size_t color_bytes = 4 * std::size_t{c.color_floats};
    FUZZ_CHECK(glb.payload.size() == position_bytes + color_bytes, "payload size");
    FUZZ_CHECK(fuzz::same_bytes(fuzz::view_bytes(glb, position["bufferView"].count()), positions,
                                position_bytes),
               "position view differs from the positions");
    FUZZ_CHECK(
        fuzz::same_bytes(fuzz::view_bytes(glb, color["bufferView"].count()), colors, color_bytes),
        "colour view differs from the colours");
    if (c.position_floats % 3 == 0) {
        FUZZ_CHECK(fuzz::accessor_fills_view(glb, 0), "positions accessor and view disagree");
    }
    if (rgba || c.color_floats == 3 * points) {
        FUZZ_CHECK(fuzz::accessor_fills_view(glb, 1), "colour accessor and view disagree");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.u8();
    const bool raw_bounds = (flags & 2) != 0;
    const unsigned shift = (flags >> 2) & 3;
    const unsigned color_mode = (flags >> 4) & 3;
    PointCloudCase c;
    for (double& v : c.vmin) v = in.bound(raw_bounds);
    for (double& v : c.vmax) v = in.bound(raw_bounds);
    if (flags & 1) {
        check_oversize(c, in);
        return 0;
    }
    const std::uint16_t position_request = in.u16();
    const std::uint16_t color_request = in.u16();
    c.position_floats = position_request % static_cast<std::uint32_t>(in.remaining() / 4 + 1);
    const std::uint32_t points = c.position_floats / 3;
    const std::uint32_t color_counts[4] = {3 * points, 4 * points, color_request % 64u, 0};
    c.color_floats = color_counts[color_mode];

    std::vector<std::uint8_t> position_bytes = in.bytes(4 * std::size_t{c.position_floats});
    position_bytes.resize(4 * std::size_t{c.position_floats});
    std::vector<std::uint8_t> color_bytes = in.bytes(4 * std::size_t{c.color_floats});
    color_bytes.resize(4 * std::size_t{c.color_floats});
    const fuzz::InputBlock positions(position_bytes, shift);
    const fuzz::InputBlock colors(color_bytes, 3 - shift);

    const bool finite = fuzz::all_finite(c.vmin, 3) && fuzz::all_finite(c.vmax, 3);
    try {
        const auto file = fuzz::build_checked([&](glbcore::OutputBuffer& out) {
            glbcore::write_point_cloud_glb(positions.as<float>(), c.position_floats,
                                           colors.as<float>(), c.color_floats, c.vmin, c.vmax, out);
        });
        FUZZ_CHECK(finite, "non-finite bounds were accepted");
        check_file(c, positions, colors, file);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(!finite, std::string("finite input refused: ") + e.what());
        FUZZ_CHECK(std::string(e.what()).find("is not finite") != std::string::npos,
                   "refusal does not say what is wrong");
    }
    return 0;
}
