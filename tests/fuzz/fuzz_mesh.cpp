// Fuzz target of the mesh builder. Input layout (little-endian):
//   u8 flags   bit 0 oversize counts, bit 1 raw-bit bounds, bits 2-3 start
//              misalignment, bit 4 double-sided, bit 5 raw-bit material
//   u8 shape   bits 0-2 colours: none, null pointer with a count, pointer
//              with count 0, 4 per vertex, arbitrary, 3 per vertex (6, 7:
//              4 per vertex); bits 3-4 normals: 3 per vertex, arbitrary,
//              none, 3 per vertex
//   6 bounds, then 9 material factors (base colour, metallic, roughness,
//              emissive): f64 each (raw bits) or i16 / 64
//   u16 x 4    position floats, normal floats, indices, colour floats
//   rest       colours, positions, normals, indices (zero when short)
#include <cstdint>
#include <stdexcept>

#include "fuzz_support.h"

namespace {

struct MeshCase {
    double bounds[6];
    glbcore::Material material;
    std::uint32_t position_floats = 0;
    std::uint32_t normal_floats = 0;
    std::uint32_t index_count = 0;
    std::uint32_t color_floats = 0;
    bool color_pointer = false;  // whether a colour pointer is passed at all

    bool has_colors() const { return color_pointer && color_floats != 0; }
    bool finite() const {
        const glbcore::Material& m = material;
        return fuzz::all_finite(bounds, 6) && fuzz::all_finite(m.base_color, 4) &&
               fuzz::all_finite(&m.metallic, 1) && fuzz::all_finite(&m.roughness, 1) &&
               fuzz::all_finite(m.emissive, 3);
    }
};

void check_oversize(MeshCase& c, fuzz::Reader& in) {
    c.position_floats = in.u32();
    c.normal_floats = in.u32();
    c.index_count = in.u32();
    if (std::uint64_t{c.position_floats} + c.normal_floats + c.index_count < (1u << 29)) {
        c.index_count += 1u << 29;
    }
    try {
        fuzz::PoisonedOutput out(0);
        glbcore::write_mesh_glb(nullptr, c.position_floats, nullptr, c.normal_floats, nullptr,
                                c.index_count, nullptr, 0, c.bounds, c.material, out);
    } catch (const std::length_error& e) {
        FUZZ_CHECK(std::string(e.what()) == fuzz::LENGTH_ERROR, "wrong length error message");
        return;
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(!c.finite(), "finite factors refused");
        return;
    }
    fuzz::fail(__FILE__, __LINE__, "an oversize payload was accepted");
}

void check_material(const MeshCase& c, const fuzz::Json& doc) {
    const fuzz::Json& material = doc["materials"][0];
    const fuzz::Json& pbr = material["pbrMetallicRoughness"];
    for (int i = 0; i < 4; ++i) {
        FUZZ_CHECK(fuzz::printed_from(pbr["baseColorFactor"][i], c.material.base_color[i], 4),
                   "baseColorFactor");
    }
    FUZZ_CHECK(fuzz::printed_from(pbr["metallicFactor"], c.material.metallic, 4), "metallic");
    FUZZ_CHECK(fuzz::printed_from(pbr["roughnessFactor"], c.material.roughness, 4), "roughness");
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(fuzz::printed_from(material["emissiveFactor"][i], c.material.emissive[i], 4),
                   "emissiveFactor");
    }
    const fuzz::Json& sided = material["doubleSided"];
    FUZZ_CHECK(sided.kind == fuzz::Json::Kind::boolean && sided.boolean == c.material.double_sided,
               "doubleSided");
}

struct MeshBlocks {
    fuzz::InputBlock positions, normals, colors, indices;
};

void check_file(const MeshCase& c, const MeshBlocks& in, const std::vector<std::uint8_t>& file) {
    const fuzz::ParsedGlb glb = fuzz::check_container(file);
    const fuzz::Json& doc = glb.document;
    check_material(c, doc);
    const fuzz::Json& primitive = doc["meshes"][0]["primitives"][0];
    FUZZ_CHECK(primitive["mode"].count() == 4 && primitive["material"].count() == 0,
               "not a triangle primitive with material 0");
    const fuzz::Json& attributes = primitive["attributes"];
    FUZZ_CHECK(attributes.has("COLOR_0") == c.has_colors(), "COLOR_0 present or missing wrongly");
    FUZZ_CHECK(attributes.members.size() == (c.has_colors() ? 3u : 2u), "unexpected attributes");
    const std::uint32_t vertices = c.position_floats / 3;

    struct Expected {
        std::uint64_t accessor;
        std::uint64_t count;
        const char* type;
        const fuzz::InputBlock* block;
        std::size_t bytes;
        bool consistent;  // the array has exactly what the accessor describes
    };
    std::vector<Expected> expected = {
        {attributes["POSITION"].count(), vertices, "VEC3", &in.positions, 4u * c.position_floats,
         c.position_floats % 3 == 0},
        {attributes["NORMAL"].count(), vertices, "VEC3", &in.normals, 4u * c.normal_floats,
         c.normal_floats == 3 * vertices},
        {primitive["indices"].count(), c.index_count, "SCALAR", &in.indices, 4u * c.index_count,
         true},
    };
    if (c.has_colors()) {
        expected.push_back({attributes["COLOR_0"].count(), vertices, "VEC4", &in.colors,
                            4u * c.color_floats, c.color_floats == 4 * vertices});
    }
    std::size_t payload = 0;
    for (const Expected& e : expected) {
        const fuzz::Json& accessor = doc["accessors"][e.accessor];
        FUZZ_CHECK(accessor["count"].count() == e.count, "accessor count");
        FUZZ_CHECK(accessor["type"].text == e.type, "accessor type");
        FUZZ_CHECK(fuzz::same_bytes(fuzz::view_bytes(glb, accessor["bufferView"].count()), *e.block,
                                    e.bytes),
                   std::string("view differs from its array, accessor type ") + e.type);
        if (e.consistent) {
            FUZZ_CHECK(fuzz::accessor_fills_view(glb, e.accessor), "accessor and view disagree");
        }
        payload += e.bytes;
    }
    FUZZ_CHECK(glb.payload.size() == payload, "payload size");
    const fuzz::Json& index_accessor = doc["accessors"][primitive["indices"].count()];
    FUZZ_CHECK(index_accessor["componentType"].count() == 5125, "indices not UNSIGNED_INT");
    FUZZ_CHECK(doc["bufferViews"][index_accessor["bufferView"].count()]["target"].count() == 34963,
               "index view target");
    const fuzz::Json& position = doc["accessors"][attributes["POSITION"].count()];
    for (int a = 0; a < 3; ++a) {
        FUZZ_CHECK(fuzz::printed_from(position["min"][a], c.bounds[a], 6), "min");
        FUZZ_CHECK(fuzz::printed_from(position["max"][a], c.bounds[3 + a], 6), "max");
    }
}

std::vector<std::uint8_t> take_floats(fuzz::Reader& in, std::uint32_t n) {
    std::vector<std::uint8_t> bytes = in.bytes(4 * std::size_t{n});
    bytes.resize(4 * std::size_t{n});
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.u8();
    const std::uint8_t shape = in.u8();
    const unsigned shift = (flags >> 2) & 3;
    MeshCase c;
    for (double& v : c.bounds) v = in.bound((flags & 2) != 0);
    glbcore::Material& m = c.material;
    const bool raw_material = (flags & 32) != 0;
    for (double& v : m.base_color) v = in.bound(raw_material);
    m.metallic = in.bound(raw_material);
    m.roughness = in.bound(raw_material);
    for (double& v : m.emissive) v = in.bound(raw_material);
    m.double_sided = (flags & 16) != 0;
    if (flags & 1) {
        check_oversize(c, in);
        return 0;
    }
    const std::uint16_t requests[4] = {in.u16(), in.u16(), in.u16(), in.u16()};
    c.position_floats = requests[0] % static_cast<std::uint32_t>(in.remaining() / 4 + 1);
    const std::uint32_t vertices = c.position_floats / 3;
    const std::uint32_t normal_counts[4] = {3 * vertices, requests[1] % 64u, 0, 3 * vertices};
    c.normal_floats = normal_counts[(shape >> 3) & 3];
    c.index_count = requests[2] % 128u;
    const unsigned color_mode = shape & 7;
    const std::uint32_t color_counts[8] = {0,
                                           requests[3] % 64u + 1,
                                           0,
                                           4 * vertices,
                                           requests[3] % 64u,
                                           3 * vertices,
                                           4 * vertices,
                                           4 * vertices};
    c.color_floats = color_counts[color_mode];
    c.color_pointer = color_mode >= 2;

    auto color_bytes = take_floats(in, c.color_pointer ? c.color_floats : 0);
    if (c.color_pointer && color_bytes.empty()) color_bytes.push_back(0);  // a real pointer
    const MeshBlocks blocks{fuzz::InputBlock(take_floats(in, c.position_floats), shift),
                            fuzz::InputBlock(take_floats(in, c.normal_floats), (shift + 1) & 3),
                            fuzz::InputBlock(color_bytes, (shift + 2) & 3),
                            fuzz::InputBlock(take_floats(in, c.index_count), (shift + 3) & 3)};
    const float* colors = c.color_pointer ? blocks.colors.as<float>() : nullptr;

    try {
        const auto file = fuzz::build_checked([&](glbcore::OutputBuffer& out) {
            glbcore::write_mesh_glb(blocks.positions.as<float>(), c.position_floats,
                                    blocks.normals.as<float>(), c.normal_floats,
                                    blocks.indices.as<std::uint32_t>(), c.index_count, colors,
                                    c.color_floats, c.bounds, c.material, out);
        });
        FUZZ_CHECK(c.finite(), "non-finite bounds or factors were accepted");
        check_file(c, blocks, file);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(!c.finite(), std::string("finite input refused: ") + e.what());
        FUZZ_CHECK(std::string(e.what()).find("is not finite") != std::string::npos,
                   "refusal does not say what is wrong");
    }
    return 0;
}
