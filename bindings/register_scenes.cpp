// plexorin._native's scene builders: atoms, point clouds and meshes as GLB
// files, their size twins, the working memory a caller lends to many point
// files written one after another, and float64 positions as float32 offsets
// from an origin that the files' frame puts back.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arguments.h"
#include "bytes_output.h"
#include "glbcore.h"
#include "native.h"
#include "point_attributes.h"
#include "scenes.h"

namespace bindings {

namespace {

using Box = std::array<double, 6>;  // lo x y z, hi x y z
using MaterialFactors =
    std::tuple<std::array<double, 4>, double, double, std::array<double, 3>, bool>;
using ColorLayout = std::pair<std::string, std::uint32_t>;  // storage type, components
using Origin = std::optional<std::array<double, 3>>;

glbcore::SceneFrame scene_frame(const Origin& origin, bool z_up) {
    glbcore::SceneFrame frame;
    frame.origin = origin;
    frame.z_up = z_up;
    return frame;
}

// Writes the file into a 1-D uint8 array that the caller lends when it fits
// there, and into a new `bytes` object otherwise: a caller that writes many
// files one after another saves the page faults of fresh memory. The
// result is then the array's first bytes, valid until the caller lends the
// array again.
class LentOutput final : public glbcore::OutputBuffer {
public:
    explicit LentOutput(Array<std::uint8_t> lent) : lent_(std::move(lent)) {}
    std::uint8_t* allocate(std::size_t size) override {
        if (size > lent_.rows()) return bytes_.allocate(size);
        size_ = size;
        return lent_.mutable_data();
    }
    py::object take() {
        if (size_ == 0) return bytes_.take();
        return lent_.array[py::slice(0, static_cast<py::ssize_t>(size_), 1)];
    }

private:
    Array<std::uint8_t> lent_;
    std::size_t size_ = 0;  // of a file in the lent array
    BytesOutput bytes_{BytesOutput::Lock::released};
};

// Runs `write(out)` without the interpreter lock and returns the file.
template <class Output, class Write>
auto build_into(Output& out, Write write) {
    without_interpreter_lock([&] { write(out); });
    return out.take();
}

template <class Write>
py::bytes build(Write write) {
    BytesOutput out(BytesOutput::Lock::released);
    return build_into(out, write);
}

// Colours as (N, 3) or (N, 4) float32, uint8 or uint16.
glbcore::ColorArray take_colors(const py::handle& colors, std::size_t rows,
                                std::optional<py::array>& held) {
    glbcore::ColorArray out;
    if (colors.is_none()) return out;
    const ArrayForm form = ArrayForm::table(3).columns_up_to(4);
    py::dtype dtype = py::dtype::of<float>();
    if (py::isinstance<py::array>(colors)) {
        const auto given = py::reinterpret_borrow<py::array>(colors);
        if (has_dtype<std::uint8_t>(given)) {
            dtype = py::dtype::of<std::uint8_t>();
            out.type = glbcore::ColorType::uint8;
        } else if (has_dtype<std::uint16_t>(given)) {
            dtype = py::dtype::of<std::uint16_t>();
            out.type = glbcore::ColorType::uint16;
        }
    }
    held = require_array(colors, "colors", dtype, form);
    require_rows(static_cast<std::size_t>(held->shape(0)), rows, "colors");
    out.data = held->data();
    out.components = static_cast<std::uint32_t>(held->shape(1));
    return out;
}

// A palette of (M, 3) or (M, 4) float32 colours and, optionally, M names,
// held for the call.
struct HeldPalette {
    std::optional<Array<float>> colors;
    std::vector<std::string> names;
    std::vector<const char*> name_pointers;

    glbcore::AtomPalette palette() const {
        glbcore::AtomPalette out;
        if (!colors) return out;
        out.colors = colors->data();
        out.count = static_cast<std::uint32_t>(colors->rows());
        out.components = static_cast<std::uint32_t>(colors->columns());
        if (!name_pointers.empty()) out.names = name_pointers.data();
        return out;
    }
};

constexpr std::size_t MAX_PALETTE_ROWS = 65536;

HeldPalette take_palette(const py::handle& colors,
                         const std::optional<std::vector<std::string>>& names) {
    HeldPalette held;
    held.colors =
        take_optional_array<float>(colors, "palette", ArrayForm::table(3).columns_up_to(4).typed());
    if (held.colors && (held.colors->rows() == 0 || held.colors->rows() > MAX_PALETTE_ROWS)) {
        throw py::value_error("palette: expected 1 to 65536 colours, got " +
                              std::to_string(held.colors->rows()));
    }
    if (!names) return held;
    if (!held.colors) throw py::value_error("palette_names: given without a palette");
    require_rows(names->size(), held.colors->rows(), "palette_names");
    held.names = *names;
    for (const std::string& name : held.names) held.name_pointers.push_back(name.c_str());
    return held;
}

py::bytes atoms(const py::handle& positions, const py::handle& types, const std::optional<Box>& box,
                bool compress, bool spheres, const py::handle& radius_per_atom,
                const py::handle& radius_per_type, unsigned workers, const py::handle& palette,
                const std::optional<std::vector<std::string>>& palette_names, float radius_scale,
                const Origin& origin, bool z_up, const py::handle& attributes) {
    const auto pos = take_array<float>(positions, "positions", ArrayForm::table(3));
    const HeldAttributes held_attributes(attributes, pos.rows());
    const auto typ = take_array<std::uint16_t>(types, "types", ArrayForm::vector());
    require_rows(typ.rows(), pos.rows(), "types");
    const auto atom_radii =
        take_optional_array<float>(radius_per_atom, "radius", ArrayForm::vector());
    if (atom_radii) require_rows(atom_radii->rows(), pos.rows(), "radius");
    const auto type_radii =
        take_optional_array<float>(radius_per_type, "radius", ArrayForm::vector());
    glbcore::AtomScene scene;
    scene.positions = pos.data();
    scene.count = rows_below_2_to_32(pos.rows(), "positions");
    scene.types = typ.data();
    scene.compression.enabled = compress;
    scene.workers = workers;
    if (box) {
        scene.box_lo = box->data();
        scene.box_hi = box->data() + 3;
    }
    scene.style = spheres ? glbcore::AtomStyle::spheres : glbcore::AtomStyle::points;
    if (atom_radii) scene.radius_per_atom = atom_radii->data();
    if (type_radii) {
        scene.radius_per_type = type_radii->data();
        scene.radius_type_count = rows_below_2_to_32(type_radii->rows(), "radius");
    }
    const HeldPalette held_palette = take_palette(palette, palette_names);
    scene.palette = held_palette.palette();
    scene.radius_scale = radius_scale;
    scene.attributes = held_attributes.view();
    scene.frame = scene_frame(origin, z_up);
    return build([&](glbcore::OutputBuffer& out) { glbcore::write_atom_scene(scene, out); });
}

py::object point_cloud(const py::handle& positions, const py::handle& colors, bool compress,
                       bool keep_input_order, unsigned workers, glbcore::PointWriteScratch* scratch,
                       const py::handle& out_array, const Origin& origin, bool z_up,
                       const py::handle& attributes) {
    const auto pos = take_array<float>(positions, "positions", ArrayForm::table(3));
    const HeldAttributes held_attributes(attributes, pos.rows());
    std::optional<py::array> held_colors;
    glbcore::PointCloudScene scene;
    scene.positions = pos.data();
    scene.count = rows_below_2_to_32(pos.rows(), "positions");
    scene.colors = take_colors(colors, pos.rows(), held_colors);
    scene.compression.enabled = compress;
    scene.keep_input_order = keep_input_order;
    scene.workers = workers;
    scene.scratch = scratch;
    scene.attributes = held_attributes.view();
    scene.frame = scene_frame(origin, z_up);
    const auto write = [&](glbcore::OutputBuffer& out) {
        glbcore::write_point_cloud_scene(scene, out);
    };
    if (out_array.is_none()) return build(write);
    LentOutput out(take_array<std::uint8_t>(out_array, "out", ArrayForm::vector().written()));
    return build_into(out, write);
}

glbcore::Material material_of(const MaterialFactors& factors) {
    glbcore::Material material;
    const auto& [base_color, metallic, roughness, emissive, double_sided] = factors;
    for (int k = 0; k < 4; ++k) material.base_color[k] = base_color[k];
    material.metallic = metallic;
    material.roughness = roughness;
    for (int k = 0; k < 3; ++k) material.emissive[k] = emissive[k];
    material.double_sided = double_sided;
    return material;
}

std::uint32_t index_count(std::uint64_t faces) {
    if (faces > std::numeric_limits<std::uint32_t>::max() / 3) {
        throw py::value_error("faces: more than 4294967295 indices");
    }
    return static_cast<std::uint32_t>(3 * faces);
}

py::bytes mesh(const py::handle& positions, const py::handle& faces, const py::handle& normals,
               const py::handle& colors, const MaterialFactors& material, bool compress,
               unsigned workers, const Origin& origin, bool z_up, const py::handle& attributes) {
    const auto pos = take_array<float>(positions, "positions", ArrayForm::table(3));
    const HeldAttributes held_attributes(attributes, pos.rows());
    const auto idx = take_array<std::uint32_t>(faces, "faces", ArrayForm::table(3));
    const auto nrm = take_optional_array<float>(normals, "normals", ArrayForm::table(3));
    if (nrm) require_rows(nrm->rows(), pos.rows(), "normals");
    std::optional<py::array> held_colors;
    glbcore::MeshScene scene;
    scene.positions = pos.data();
    scene.vertex_count = rows_below_2_to_32(pos.rows(), "positions");
    scene.normals = nrm ? nrm->data() : nullptr;
    scene.indices = idx.data();
    scene.index_count = index_count(idx.rows());
    scene.colors = take_colors(colors, pos.rows(), held_colors);
    scene.material = material_of(material);
    scene.compression.enabled = compress;
    scene.workers = workers;
    scene.attributes = held_attributes.view();
    scene.frame = scene_frame(origin, z_up);
    return build([&](glbcore::OutputBuffer& out) { glbcore::write_mesh_scene(scene, out); });
}

// ---- Coordinates far from zero -------------------------------------------
py::object float64_extents(const py::handle& positions, unsigned workers) {
    const auto pos = take_array<double>(positions, "positions", ArrayForm::table(3).typed());
    const std::uint32_t count = rows_below_2_to_32(pos.rows(), "positions");
    std::array<double, 3> lo{}, hi{};
    const bool finite = without_interpreter_lock(
        [&] { return glbcore::float64_extents(pos.data(), count, lo.data(), hi.data(), workers); });
    if (!finite) return py::none();
    return py::make_tuple(py::make_tuple(lo[0], lo[1], lo[2]), py::make_tuple(hi[0], hi[1], hi[2]));
}

py::array float32_offsets(const py::handle& positions, const std::array<double, 3>& origin,
                          unsigned workers) {
    const auto pos = take_array<double>(positions, "positions", ArrayForm::table(3).typed());
    const std::uint32_t count = rows_below_2_to_32(pos.rows(), "positions");
    py::array_t<float> out({static_cast<py::ssize_t>(count), py::ssize_t{3}});
    float* at = out.mutable_data();
    without_interpreter_lock(
        [&] { glbcore::float32_offsets(pos.data(), count, origin.data(), at, workers); });
    return std::move(out);
}

// ---- Size twins: what the builders refuse before they read an array -------
// They read no array: an optional array's pointer only says that it is given.
const std::uint8_t GIVEN_ARRAY = 0;

glbcore::ColorArray color_layout(const std::optional<ColorLayout>& colors) {
    glbcore::ColorArray layout;
    if (!colors) return layout;
    const auto& [type, components] = *colors;
    if (type == "uint8") {
        layout.type = glbcore::ColorType::uint8;
    } else if (type == "uint16") {
        layout.type = glbcore::ColorType::uint16;
    } else if (type != "float32") {
        throw py::value_error("colors: expected the storage type float32, uint8 or uint16");
    }
    if (components != 3 && components != 4) {
        throw py::value_error("colors: expected 3 or 4 components");
    }
    layout.data = &GIVEN_ARRAY;
    layout.components = components;
    return layout;
}

const float GIVEN_COLORS = 0;

std::optional<std::size_t> atoms_size(std::uint64_t count, bool compress, bool spheres,
                                      std::uint32_t palette_components, const Origin& origin,
                                      bool z_up) {
    glbcore::AtomScene scene;
    scene.frame = scene_frame(origin, z_up);
    scene.count = rows_below_2_to_32(count, "positions");
    scene.style = spheres ? glbcore::AtomStyle::spheres : glbcore::AtomStyle::points;
    scene.compression.enabled = compress;
    if (palette_components != 0) {
        if (palette_components != 3 && palette_components != 4) {
            throw py::value_error("palette: expected 3 or 4 components");
        }
        scene.palette.colors = &GIVEN_COLORS;
        scene.palette.components = palette_components;
    }
    return glbcore::atom_scene_size(scene);
}

std::optional<std::size_t> point_cloud_size(std::uint64_t count,
                                            const std::optional<ColorLayout>& colors, bool compress,
                                            const Origin& origin, bool z_up) {
    glbcore::PointCloudScene scene;
    scene.frame = scene_frame(origin, z_up);
    scene.count = rows_below_2_to_32(count, "positions");
    scene.colors = color_layout(colors);
    scene.compression.enabled = compress;
    return glbcore::point_cloud_scene_size(scene);
}

std::optional<std::size_t> mesh_size(std::uint64_t vertex_count, std::uint64_t face_count,
                                     const std::optional<ColorLayout>& colors,
                                     const MaterialFactors& material, bool compress,
                                     const Origin& origin, bool z_up) {
    glbcore::MeshScene scene;
    scene.frame = scene_frame(origin, z_up);
    scene.vertex_count = rows_below_2_to_32(vertex_count, "positions");
    scene.index_count = index_count(face_count);
    scene.colors = color_layout(colors);
    scene.material = material_of(material);
    scene.compression.enabled = compress;
    return glbcore::mesh_scene_size(scene);
}

}  // namespace

void register_scenes(py::module_& m) {
    m.def("atoms", &atoms,
          "The GLB file of atoms: (N, 3) float32 positions, N uint16 types, the Morton box as\n"
          "six floats or None; as spheres with float32 radii per atom or per type, times\n"
          "radius_scale; coloured by an (M, 3) or (M, 4) float32 palette with M names, or by\n"
          "the default eight colours. A root node adds `origin` (3 floats) back to the\n"
          "positions and turns z-up data upright.",
          py::arg("positions"), py::arg("types"), py::arg("box"), py::arg("compress") = false,
          py::arg("spheres") = false, py::arg("radius_per_atom") = py::none(),
          py::arg("radius_per_type") = py::none(), py::arg("workers") = 0,
          py::arg("palette") = py::none(), py::arg("palette_names") = py::none(),
          py::arg("radius_scale") = 1.0f, py::arg("origin") = py::none(), py::arg("z_up") = false,
          py::arg("attributes") = py::none());
    py::class_<glbcore::PointWriteScratch>(
        m, "PointWriteScratch",
        "Working memory for compressed point files written one after another: lend it to\n"
        "one write at a time.")
        .def(py::init<>());
    m.def("point_cloud", &point_cloud,
          "The GLB file of (N, 3) float32 points with optional (N, 3) or (N, 4) float32,\n"
          "uint8 or uint16 colours; written into `out` (1-D uint8) and returned as its first\n"
          "bytes when it fits there. `origin` and `z_up` as for `atoms`; `attributes` a list\n"
          "of (name, array) pairs of int8, uint8, int16, uint16 or float32 values per point.",
          py::arg("positions"), py::arg("colors"), py::arg("compress") = false,
          py::arg("keep_input_order") = false, py::arg("workers") = 0, py::arg("scratch") = nullptr,
          py::arg("out") = py::none(), py::arg("origin") = py::none(), py::arg("z_up") = false,
          py::arg("attributes") = py::none());
    m.def("mesh", &mesh,
          "The GLB file of a triangle mesh: (V, 3) float32 positions, (M, 3) uint32 faces,\n"
          "optional (V, 3) float32 normals and colours, and the material's factors; `origin`\n"
          "and `z_up` as for `atoms`.",
          py::arg("positions"), py::arg("faces"), py::arg("normals"), py::arg("colors"),
          py::arg("material"), py::arg("compress") = false, py::arg("workers") = 0,
          py::arg("origin") = py::none(), py::arg("z_up") = false,
          py::arg("attributes") = py::none());
    m.def("atoms_size", &atoms_size,
          "What `atoms` refuses before it reads an array, refused the same way; otherwise the\n"
          "most bytes its file can take, or None when only the values tell.",
          py::arg("count"), py::arg("compress") = false, py::arg("spheres") = false,
          py::arg("palette_components") = 0, py::arg("origin") = py::none(),
          py::arg("z_up") = false);
    m.def("point_cloud_size", &point_cloud_size,
          "`atoms_size` for `point_cloud`; colours as (storage type, components) or None.",
          py::arg("count"), py::arg("colors") = py::none(), py::arg("compress") = false,
          py::arg("origin") = py::none(), py::arg("z_up") = false);
    m.def("mesh_size", &mesh_size, "`atoms_size` for `mesh`.", py::arg("vertex_count"),
          py::arg("face_count"), py::arg("colors"), py::arg("material"),
          py::arg("compress") = false, py::arg("origin") = py::none(), py::arg("z_up") = false);
    m.def("float64_extents", &float64_extents,
          "((lo x y z), (hi x y z)) of (N, 3) float64 positions, or None when one is NaN or\n"
          "infinite.",
          py::arg("positions"), py::arg("workers") = 0);
    m.def("float32_offsets", &float32_offsets,
          "(N, 3) float32: each of (N, 3) float64 positions minus `origin` in float64, rounded\n"
          "once to float32.",
          py::arg("positions"), py::arg("origin"), py::arg("workers") = 0);
}

}  // namespace bindings
