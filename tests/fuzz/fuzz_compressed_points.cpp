// Fuzz target of the compressed point-cloud layout. It decodes the file's
// streams with meshoptimizer's decoder and checks that every input point
// comes back within half a quantisation step, with its colour. Input layout
// (little-endian):
//   u8 flags   bit 0 colours, bit 1 keep_input_order, bits 2-3 worker count
//              (1 + value % 3), bit 4 raw-bit positions (else i16 x 2^(e-24)
//              plus offset x 2^(e-10)), bit 5 raw-bit float colours (else
//              u16 / 65535), bit 6 lent scratch, bit 7 start misalignment
//   u8 shape   bits 0-1 colour type: float32, uint8, uint16, float32; bit 2
//              RGBA (else RGB); bits 3-5 position bits: 14, 15, 16, 14, 16,
//              13, 17, 0
//   u8 e, i16 offset   scale and offset of the non-raw positions
//   u16        point count (at most MAX_POINTS, reduced to what the input
//              can fill)
//   rest       positions, then colours (zero when short)
#include <meshoptimizer.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "scenes.h"

namespace {

constexpr std::uint32_t MAX_POINTS = 3000;
constexpr std::uint32_t BITS_CHOICES[8] = {14, 15, 16, 14, 16, 13, 17, 0};

struct CloudCase {
    std::uint32_t count = 0;
    std::uint32_t bits = 14;
    bool keep_order = false;
    bool has_colors = false;
    glbcore::ColorType color_type = glbcore::ColorType::float32;
    std::uint32_t components = 3;
    std::vector<float> positions;  // what the builder reads, as floats
    std::vector<std::uint8_t> colors;

    std::size_t color_size() const {
        return color_type == glbcore::ColorType::uint8    ? 1
               : color_type == glbcore::ColorType::uint16 ? 2
                                                          : 4;
    }
    // Colour component c of point i as a value in [0, 1] (or out of it).
    double color(std::uint32_t i, std::uint32_t c) const {
        const std::uint8_t* at = colors.data() + (std::size_t{i} * components + c) * color_size();
        if (color_type == glbcore::ColorType::uint8) return *at / 255.0;
        std::uint16_t u16;
        float f32;
        if (color_type == glbcore::ColorType::uint16) {
            std::memcpy(&u16, at, 2);
            return u16 / 65535.0;
        }
        std::memcpy(&f32, at, 4);
        return f32;
    }
};

// ---- Reading the case ---------------------------------------------------

float take_coordinate(fuzz::Reader& in, bool raw, int exponent, std::int16_t offset) {
    if (raw) {
        const std::uint32_t bits = in.u32();  // NaN, infinities, huge and subnormal included
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    const auto step = static_cast<std::int16_t>(in.u16());
    return static_cast<float>(std::ldexp(step, exponent - 24) + std::ldexp(offset, exponent - 10));
}

void take_colors(fuzz::Reader& in, bool raw, CloudCase& c) {
    const std::size_t n = std::size_t{c.count} * c.components;
    c.colors.resize(n * c.color_size());
    for (std::size_t k = 0; k < n; ++k) {
        std::uint8_t* at = c.colors.data() + k * c.color_size();
        if (c.color_type == glbcore::ColorType::uint8) {
            *at = in.u8();
        } else if (c.color_type == glbcore::ColorType::uint16) {
            const std::uint16_t v = in.u16();
            std::memcpy(at, &v, 2);
        } else {
            const std::uint32_t bits = in.u32();
            float v;
            std::memcpy(&v, &bits, 4);
            if (!raw) v = static_cast<float>(bits & 0xffff) / 65535.0f;
            std::memcpy(at, &v, 4);
        }
    }
}

// ---- Refusals -----------------------------------------------------------

// The refusals the case deserves: the first non-finite row, the first
// float colour outside [0, 1], a bit count outside 14..16.
struct Faults {
    std::string position;      // "positions[i] is not finite", or empty
    std::string color_prefix;  // "colors[r, c] = ", or empty
    std::string bits;

    bool any() const { return !position.empty() || !color_prefix.empty() || !bits.empty(); }
    bool explains(const std::string& message) const {
        const std::string outside = " is outside 0..1";
        return (!position.empty() && message.rfind(position, 0) == 0) ||
               (!bits.empty() && message == bits) ||
               (!color_prefix.empty() && message.rfind(color_prefix, 0) == 0 &&
                message.size() > color_prefix.size() + outside.size() &&
                message.compare(message.size() - outside.size(), outside.size(), outside) == 0);
    }
};

Faults faults_of(const CloudCase& c) {
    Faults f;
    if (c.count == 0) return f;
    for (std::uint32_t i = 0; i < c.count && f.position.empty(); ++i) {
        for (int a = 0; a < 3; ++a) {
            if (!std::isfinite(c.positions[3 * std::size_t{i} + a])) {
                f.position = "positions[" + std::to_string(i) + "] is not finite";
                break;
            }
        }
    }
    if (c.has_colors && c.color_type == glbcore::ColorType::float32) {
        for (std::uint32_t i = 0; i < c.count && f.color_prefix.empty(); ++i) {
            for (std::uint32_t k = 0; k < c.components; ++k) {
                const double v = c.color(i, k);
                if (!(v >= 0 && v <= 1)) {
                    f.color_prefix =
                        "colors[" + std::to_string(i) + ", " + std::to_string(k) + "] = ";
                    break;
                }
            }
        }
    }
    if (c.bits < 14 || c.bits > 16) {
        f.bits = "position_bits = " + std::to_string(c.bits) + " is outside 14..16";
    }
    return f;
}

// ---- Decoding -----------------------------------------------------------

// Buffer view `index` decoded by meshoptimizer from its stream, filter undone.
std::vector<std::uint8_t> decode_view(const fuzz::ParsedGlb& glb, std::uint64_t index,
                                      std::uint32_t stride, std::uint64_t count) {
    const fuzz::Json& view = glb.document["bufferViews"][index];
    const fuzz::Json& stream = view["extensions"]["EXT_meshopt_compression"];
    FUZZ_CHECK(stream["mode"].text == "ATTRIBUTES", "attribute stream not in ATTRIBUTES mode");
    FUZZ_CHECK(stream["byteStride"].count() == stride && view["byteStride"].count() == stride,
               "stream stride");
    FUZZ_CHECK(stream["count"].count() == count, "stream count differs from the accessor's");
    FUZZ_CHECK(view["byteLength"].count() == count * stride, "fallback view length");
    const std::size_t offset = stream["byteOffset"].count();
    const std::size_t length = stream["byteLength"].count();
    FUZZ_CHECK(length > 0 && glb.payload[offset] == 0xa0, "not vertex codec version 0");
    std::vector<std::uint8_t> decoded(count * stride);
    FUZZ_CHECK(meshopt_decodeVertexBuffer(decoded.data(), count, stride,
                                          glb.payload.data() + offset, length) == 0,
               "meshoptimizer cannot decode the stream");
    const std::string filter = stream.has("filter") ? stream["filter"].text : "NONE";
    if (filter == "OCTAHEDRAL") {
        meshopt_decodeFilterOct(decoded.data(), count, stride);
    } else if (filter == "QUATERNION") {
        meshopt_decodeFilterQuat(decoded.data(), count, stride);
    } else if (filter == "EXPONENTIAL") {
        meshopt_decodeFilterExp(decoded.data(), count, stride);
    } else {
        FUZZ_CHECK(filter == "NONE", "unknown filter " + filter);
    }
    return decoded;
}

// One decoded place: the stored integers and RGBA8 colour (zeros without).
using Place = std::array<std::uint16_t, 7>;

struct Dequantization {
    double origin[3];
    double step[3];
};

// Every place of every primitive, in file order, with the accessors checked.
std::vector<Place> decode_places(const fuzz::ParsedGlb& glb, const CloudCase& c) {
    const fuzz::Json& doc = glb.document;
    std::vector<Place> places;
    for (const fuzz::Json& primitive : doc["meshes"][0]["primitives"].items) {
        FUZZ_CHECK(primitive["mode"].count() == 0, "not a point primitive");
        const fuzz::Json& attributes = primitive["attributes"];
        FUZZ_CHECK(attributes.members.size() == (c.has_colors ? 2u : 1u), "attribute set");
        const fuzz::Json& position = doc["accessors"][attributes["POSITION"].count()];
        FUZZ_CHECK(position["componentType"].count() == 5123 && position["type"].text == "VEC3",
                   "POSITION is not u16 VEC3");
        FUZZ_CHECK(!position.has("byteOffset"), "POSITION has an offset");
        const std::uint64_t n = position["count"].count();
        FUZZ_CHECK(n > 0 && places.size() + n <= c.count, "more places than points");
        const auto q = decode_view(glb, position["bufferView"].count(), 8, n);
        std::vector<std::uint8_t> rgba(4 * n, 0);
        if (c.has_colors) {
            const fuzz::Json& color = doc["accessors"][attributes["COLOR_0"].count()];
            FUZZ_CHECK(color["componentType"].count() == 5121 && color["type"].text == "VEC4" &&
                           color["normalized"].boolean && color["count"].count() == n,
                       "COLOR_0 is not normalised RGBA8 of the primitive's count");
            rgba = decode_view(glb, color["bufferView"].count(), 4, n);
        }
        std::uint16_t lo[3] = {0xffff, 0xffff, 0xffff}, hi[3] = {0, 0, 0};
        for (std::uint64_t j = 0; j < n; ++j) {
            Place place{};
            std::memcpy(place.data(), q.data() + 8 * j, 6);
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], place[a]);
                hi[a] = std::max(hi[a], place[a]);
            }
            for (int k = 0; k < 4; ++k) place[3 + k] = rgba[4 * j + k];
            places.push_back(place);
        }
        for (int a = 0; a < 3; ++a) {
            FUZZ_CHECK(position["min"][a].count() == lo[a] && position["max"][a].count() == hi[a],
                       "POSITION min/max are not the extremes of the decoded integers");
            FUZZ_CHECK(hi[a] < (1u << c.bits), "an integer beyond the bit count");
        }
    }
    FUZZ_CHECK(places.size() == c.count, "the primitives do not hold every point");
    return places;
}

// The node's dequantisation: one step on every axis, at most the longest
// extent of the input over 2^bits - 1.
Dequantization dequantization(const fuzz::Json& doc, const CloudCase& c) {
    const fuzz::Json& scene = doc["scenes"][doc["scene"].count()];
    FUZZ_CHECK(scene["nodes"].items.size() == 1, "one node in the scene");
    const fuzz::Json& node = doc["nodes"][scene["nodes"][0].count()];
    FUZZ_CHECK(node["mesh"].count() == 0 && !node.has("children"), "the node is not the mesh's");
    Dequantization d;
    double longest = 0;
    for (int a = 0; a < 3; ++a) {
        d.origin[a] = node["translation"][a].number;
        d.step[a] = node["scale"][a].number;
        float lo = c.positions[a], hi = c.positions[a];
        for (std::uint32_t i = 0; i < c.count; ++i) {
            lo = std::min(lo, c.positions[3 * std::size_t{i} + a]);
            hi = std::max(hi, c.positions[3 * std::size_t{i} + a]);
        }
        longest = std::max(longest, double{hi} - double{lo});
    }
    FUZZ_CHECK(d.step[0] == d.step[1] && d.step[1] == d.step[2], "steps differ between axes");
    FUZZ_CHECK(std::isfinite(d.step[0]) && d.step[0] > 0, "step not positive");
    FUZZ_CHECK(longest == 0 || d.step[0] <= longest / ((1u << c.bits) - 1) * (1 + 1e-12),
               "the step is coarser than the bit count promises");
    return d;
}

// Whether stored integer q on axis a stands for coordinate p: within half a
// step, plus the rounding of computing origin + step * q in double.
bool reproduces(const Dequantization& d, int a, std::uint16_t q, float p) {
    const double value = d.origin[a] + d.step[a] * q;
    const double slack = 1e-9 * d.step[a] + 1e-15 * (std::fabs(d.origin[a]) + d.step[a] * q);
    return std::fabs(value - double{p}) <= 0.5 * d.step[a] + slack;
}

bool color_matches(const CloudCase& c, std::uint32_t i, const Place& place) {
    if (!c.has_colors) return place[3] == 0 && place[4] == 0 && place[5] == 0 && place[6] == 0;
    if (c.components == 3 && place[6] != 255) return false;
    for (std::uint32_t k = 0; k < c.components; ++k) {
        // Within half of 1/255, plus the float rounding of the conversion.
        if (std::fabs(place[3 + k] / 255.0 - c.color(i, k)) > 0.5 / 255 + 1e-6) return false;
    }
    return true;
}

bool matches(const CloudCase& c, const Dequantization& d, std::uint32_t i, const Place& place) {
    for (int a = 0; a < 3; ++a) {
        if (!reproduces(d, a, place[a], c.positions[3 * std::size_t{i} + a])) return false;
    }
    return color_matches(c, i, place);
}

// ---- The multiset check -------------------------------------------------
// Without keep_input_order the file holds the points in its own order: every
// point must take a place of its own that reproduces it. A point near a
// half step may match two integers per axis, so places are assigned by
// augmenting paths (Kuhn's matching), distinct places grouped with their
// multiplicity.
class PlaceMatching {
public:
    PlaceMatching(const CloudCase& c, const Dequantization& d, const std::vector<Place>& places)
        : c_(c), d_(d) {
        for (const Place& p : places) ++capacity_[p];
        for (auto& [place, n] : capacity_) keys_.push_back(&place);
        holders_.resize(keys_.size());
        mark_.assign(keys_.size(), 0);
    }

    bool assign_all() {
        for (std::uint32_t i = 0; i < c_.count; ++i) {
            ++stamp_;
            if (!augment(i, candidates(i))) return false;
        }
        return true;
    }

private:
    // The indices of the distinct places that can stand for point i.
    std::vector<std::size_t> candidates(std::uint32_t i) {
        std::vector<std::uint16_t> axis[3];
        for (int a = 0; a < 3; ++a) {
            const double t = (c_.positions[3 * std::size_t{i} + a] - d_.origin[a]) / d_.step[a];
            const double first = std::floor(t) - 1;
            for (double q = std::max(first, 0.0); q <= std::min(first + 3, 65535.0); ++q) {
                const auto u = static_cast<std::uint16_t>(q);
                if (reproduces(d_, a, u, c_.positions[3 * std::size_t{i} + a])) {
                    axis[a].push_back(u);
                }
            }
        }
        std::vector<std::size_t> out;
        for (std::uint16_t x : axis[0]) {
            for (std::uint16_t y : axis[1]) {
                for (std::uint16_t z : axis[2]) {
                    const Place lo{x, y, z, 0, 0, 0, 0}, hi{x, y, z, 255, 255, 255, 255};
                    for (auto it = capacity_.lower_bound(lo);
                         it != capacity_.end() && !(hi < it->first); ++it) {
                        if (color_matches(c_, i, it->first)) out.push_back(index_of(it->first));
                    }
                }
            }
        }
        edges_[i] = out;
        return out;
    }
    std::size_t index_of(const Place& p) const {
        return static_cast<std::size_t>(
            std::lower_bound(keys_.begin(), keys_.end(), &p,
                             [](const Place* a, const Place* b) { return *a < *b; }) -
            keys_.begin());
    }
    bool augment(std::uint32_t i, const std::vector<std::size_t>& edges) {
        for (std::size_t k : edges) {
            if (mark_[k] == stamp_) continue;
            mark_[k] = stamp_;
            if (holders_[k].size() < capacity_.at(*keys_[k])) {
                holders_[k].push_back(i);
                return true;
            }
            for (std::uint32_t& other : holders_[k]) {
                if (augment(other, edges_.at(other))) {
                    other = i;
                    return true;
                }
            }
        }
        return false;
    }

    const CloudCase& c_;
    const Dequantization& d_;
    std::map<Place, std::size_t> capacity_;
    std::vector<const Place*> keys_;
    std::vector<std::vector<std::uint32_t>> holders_;
    std::map<std::uint32_t, std::vector<std::size_t>> edges_;
    std::vector<std::uint64_t> mark_;
    std::uint64_t stamp_ = 0;
};

void check_file(const CloudCase& c, const std::vector<std::uint8_t>& file) {
    const fuzz::ParsedGlb glb = fuzz::check_container(file, fuzz::Layout::compressed);
    const fuzz::Json& doc = glb.document;
    if (c.count == 0) {
        FUZZ_CHECK(!doc.has("meshes") && !doc.has("buffers"), "no points but a mesh");
        return;
    }
    for (const char* name : {"KHR_mesh_quantization", "EXT_meshopt_compression"}) {
        const auto& required = doc["extensionsRequired"].items;
        FUZZ_CHECK(std::any_of(required.begin(), required.end(),
                               [&](const fuzz::Json& j) { return j.text == name; }),
                   std::string(name) + " is not required");
    }
    const std::vector<Place> places = decode_places(glb, c);
    const Dequantization d = dequantization(doc, c);
    if (c.keep_order) {
        for (std::uint32_t i = 0; i < c.count; ++i) {
            FUZZ_CHECK(
                matches(c, d, i, places[i]),
                "place " + std::to_string(i) + " does not reproduce point " + std::to_string(i));
        }
        return;
    }
    FUZZ_CHECK(PlaceMatching(c, d, places).assign_all(),
               "the decoded points are not the input points");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.u8();
    const std::uint8_t shape = in.u8();
    const int exponent = in.u8() % 64;
    const auto offset = static_cast<std::int16_t>(in.u16());
    const bool raw_positions = (flags & 16) != 0;
    CloudCase c;
    c.has_colors = (flags & 1) != 0;
    c.keep_order = (flags & 2) != 0;
    const unsigned workers = 1 + ((flags >> 2) & 3) % 3;
    const glbcore::ColorType types[4] = {glbcore::ColorType::float32, glbcore::ColorType::uint8,
                                         glbcore::ColorType::uint16, glbcore::ColorType::float32};
    c.color_type = types[shape & 3];
    c.components = (shape & 4) ? 4 : 3;
    c.bits = BITS_CHOICES[(shape >> 3) & 7];
    const std::size_t bytes_per_point =
        (raw_positions ? 12 : 6) + (c.has_colors ? c.components * c.color_size() : 0);
    c.count = std::min<std::uint32_t>(
        in.u16() % static_cast<std::uint32_t>(in.remaining() / bytes_per_point + 1), MAX_POINTS);
    c.positions.resize(3 * std::size_t{c.count});
    for (float& v : c.positions) v = take_coordinate(in, raw_positions, exponent, offset);
    if (c.has_colors) take_colors(in, (flags & 32) != 0, c);

    const unsigned shift = (flags >> 7) & 1;  // misaligned starts
    std::vector<std::uint8_t> position_bytes(4 * c.positions.size());
    if (!position_bytes.empty())
        std::memcpy(position_bytes.data(), c.positions.data(), position_bytes.size());
    const fuzz::InputBlock positions(position_bytes, shift);
    const fuzz::InputBlock colors(c.colors, 3 - 2 * shift);
    glbcore::PointWriteScratch scratch;
    const auto build_with = [&](unsigned w, glbcore::PointWriteScratch* lent) {
        return [&, w, lent](glbcore::OutputBuffer& out) {
            glbcore::PointCloudScene scene;
            scene.positions = positions.as<float>();
            scene.count = c.count;
            if (c.has_colors) scene.colors = {colors.data(), c.color_type, c.components};
            scene.compression.enabled = true;
            scene.compression.position_bits = c.bits;
            scene.keep_input_order = c.keep_order;
            scene.workers = w;
            scene.scratch = lent;
            glbcore::write_point_cloud_scene(scene, out);
        };
    };
    const Faults faults = faults_of(c);
    try {
        // Neither the worker count nor lent memory may change a byte.
        const auto file = fuzz::build_twice(build_with(workers, (flags & 64) ? &scratch : nullptr),
                                            build_with(1, nullptr));
        FUZZ_CHECK(!faults.any(), "invalid input accepted: " + faults.position +
                                      faults.color_prefix + faults.bits);
        check_file(c, file);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(faults.explains(e.what()), std::string("unexplained refusal: ") + e.what());
    }
    return 0;
}
