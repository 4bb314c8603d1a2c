// Fuzz target of the atom builder. Input layout (little-endian):
//   u8 flags   bit 0 oversize count, bit 1 raw-bit bounds, bits 2-3 start
//              misalignment, bit 4 raw-bit positions (else i16 / 64 per
//              coordinate), bit 5 the BMI2 interleave where the processor
//              has it
//   u8         worker count - 1 (low 2 bits)
//   6 bounds   f64 each (raw bits) or i16 / 64
//   u16        atom count (reduced to what the input can fill)
//   rest       positions, then one u16 type per atom (zero when short)
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "fixed/fixed.h"
#include "fuzz_support.h"

namespace {

// The palette as bit patterns: 0.5, 1.0, 0.267 and 0.6 in single precision.
constexpr std::uint32_t HALF = 0x3F000000, ONE = 0x3F800000, LOW = 0x3E88B439, GREY = 0x3F19999A;
constexpr std::uint32_t PALETTE[8][3] = {{HALF, HALF, HALF}, {ONE, LOW, LOW},   {LOW, ONE, LOW},
                                         {LOW, LOW, ONE},    {ONE, ONE, LOW},   {ONE, LOW, ONE},
                                         {LOW, ONE, ONE},    {GREY, GREY, GREY}};

// The whole file for zero atoms: header, "{}" and two spaces, empty BIN.
const std::vector<std::uint8_t> EMPTY_ATOM_FILE = {
    'g', 'l', 'T', 'F', 2,   0,   0,   0,   32, 0, 0, 0, 4,   0,   0,   0,
    'J', 'S', 'O', 'N', '{', '}', ' ', ' ', 0,  0, 0, 0, 'B', 'I', 'N', 0};

struct AtomCase {
    double vmin[3];
    double vmax[3];
    std::uint32_t count = 0;
    bool finite() const { return fuzz::all_finite(vmin, 3) && fuzz::all_finite(vmax, 3); }
};

// A position and the colour it must carry, as 24 raw bytes.
using AtomRecord = std::array<std::uint8_t, 24>;

std::vector<AtomRecord> expected_records(const fuzz::InputBlock& positions,
                                         const fuzz::InputBlock& types, std::uint32_t count) {
    std::vector<AtomRecord> records(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint16_t type;
        std::memcpy(&type, types.data() + 2 * std::size_t{i}, 2);
        std::memcpy(records[i].data(), positions.data() + 12 * std::size_t{i}, 12);
        std::memcpy(records[i].data() + 12, PALETTE[std::min<std::uint16_t>(type, 7)], 12);
    }
    std::sort(records.begin(), records.end());
    return records;
}

std::vector<AtomRecord> written_records(const fuzz::ParsedGlb& glb, std::uint32_t count) {
    const auto positions = fuzz::view_bytes(glb, 0);
    const auto colors = fuzz::view_bytes(glb, 1);
    std::vector<AtomRecord> records(count);
    for (std::uint32_t j = 0; j < count; ++j) {
        std::memcpy(records[j].data(), positions.data() + 12 * std::size_t{j}, 12);
        std::memcpy(records[j].data() + 12, colors.data() + 12 * std::size_t{j}, 12);
    }
    std::sort(records.begin(), records.end());
    return records;
}

void check_file(const AtomCase& c, const fuzz::InputBlock& positions, const fuzz::InputBlock& types,
                const std::vector<std::uint8_t>& file) {
    const fuzz::ParsedGlb glb = fuzz::check_container(file);
    const fuzz::Json& doc = glb.document;
    const fuzz::Json& primitive = doc["meshes"][0]["primitives"][0];
    FUZZ_CHECK(primitive["mode"].count() == 0, "not a point primitive");
    FUZZ_CHECK(primitive["attributes"]["POSITION"].count() == 0 &&
                   primitive["attributes"]["COLOR_0"].count() == 1,
               "attribute accessors");
    for (std::size_t i = 0; i < 2; ++i) {
        const fuzz::Json& accessor = doc["accessors"][i];
        FUZZ_CHECK(accessor["count"].count() == c.count && accessor["type"].text == "VEC3",
                   "accessor count or type");
        FUZZ_CHECK(accessor["bufferView"].count() == i && fuzz::accessor_fills_view(glb, i),
                   "accessor and view disagree");
    }
    FUZZ_CHECK(glb.payload.size() == 24 * std::size_t{c.count}, "payload size");
    const fuzz::Json& position = doc["accessors"][0];
    for (int a = 0; a < 3; ++a) {
        FUZZ_CHECK(fuzz::printed_from(position["min"][a], c.vmin[a], 6), "min is not vmin");
        FUZZ_CHECK(fuzz::printed_from(position["max"][a], c.vmax[a], 6), "max is not vmax");
    }
    FUZZ_CHECK(written_records(glb, c.count) == expected_records(positions, types, c.count),
               "the atoms are not the input atoms with their palette colours");
}

void check_oversize(AtomCase& c, fuzz::Reader& in) {
    c.count = std::max(in.u32(), glbcore::MAX_ATOMS + 1);
    try {
        fuzz::PoisonedOutput out(0);
        glbcore::write_atom_glb(nullptr, c.count, nullptr, c.vmin, c.vmax, out);
    } catch (const std::length_error& e) {
        FUZZ_CHECK(std::string(e.what()) == fuzz::LENGTH_ERROR, "wrong length error message");
        return;
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(!c.finite(), "finite bounds refused");
        return;
    }
    fuzz::fail(__FILE__, __LINE__, "an oversize atom count was accepted");
}

std::vector<std::uint8_t> take_positions(fuzz::Reader& in, std::uint32_t count, bool raw) {
    std::vector<std::uint8_t> bytes(12 * std::size_t{count});
    for (std::size_t i = 0; i < 3 * std::size_t{count}; ++i) {
        if (raw) {
            const std::uint32_t bits = in.u32();  // NaNs and infinities included
            std::memcpy(bytes.data() + 4 * i, &bits, 4);
        } else {
            const float coordinate = static_cast<std::int16_t>(in.u16()) / 64.0f;
            std::memcpy(bytes.data() + 4 * i, &coordinate, 4);
        }
    }
    return bytes;
}

glbcore::AtomPipelineOptions options(std::uint32_t count, std::uint32_t workers, bool bmi2) {
    const bool use_bmi2 = bmi2 && glbcore::processor_has_avx2_and_bmi2();
    return glbcore::AtomPipelineOptions{
        use_bmi2 ? glbcore::Interleave::bmi2 : glbcore::Interleave::portable,
        glbcore::split_work_over(count, workers), glbcore::default_thread_starter()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Reader in(data, size);
    const std::uint8_t flags = in.u8();
    const std::uint32_t workers = 1 + (in.u8() & 3);
    const unsigned shift = (flags >> 2) & 3;
    const bool raw_positions = (flags & 16) != 0;
    const bool bmi2 = (flags & 32) != 0;
    AtomCase c;
    for (double& v : c.vmin) v = in.bound((flags & 2) != 0);
    for (double& v : c.vmax) v = in.bound((flags & 2) != 0);
    if (flags & 1) {
        check_oversize(c, in);
        return 0;
    }
    const std::uint16_t request = in.u16();
    const std::size_t bytes_per_atom = (raw_positions ? 12 : 6) + 2;
    c.count = request % static_cast<std::uint32_t>(in.remaining() / bytes_per_atom + 1);
    const fuzz::InputBlock positions(take_positions(in, c.count, raw_positions), shift);
    std::vector<std::uint8_t> type_bytes = in.bytes(2 * std::size_t{c.count});
    type_bytes.resize(2 * std::size_t{c.count});
    const fuzz::InputBlock types(type_bytes, 3 - shift);

    const auto build_with = [&](std::uint32_t w) {
        return [&, w](glbcore::OutputBuffer& out) {
            glbcore::write_atom_glb(positions.as<float>(), c.count, types.as<std::uint16_t>(),
                                    c.vmin, c.vmax, options(c.count, w, bmi2), out);
        };
    };
    try {
        // The worker count must not change a byte.
        const auto file = fuzz::build_twice(build_with(workers), build_with(1));
        if (c.count == 0) {
            FUZZ_CHECK(file == EMPTY_ATOM_FILE, "zero atoms did not give the empty atom file");
            return 0;
        }
        FUZZ_CHECK(c.finite(), "non-finite bounds were accepted");
        check_file(c, positions, types, file);
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(!c.finite() && c.count != 0, std::string("input refused: ") + e.what());
        FUZZ_CHECK(std::string(e.what()).find("is not finite") != std::string::npos,
                   "refusal does not say what is wrong");
    }
    return 0;
}
