// The module plexorin._native: the builders behind the public package. The
// package converts and checks every argument first and passes C-contiguous
// arrays of the exact types below; this layer only holds their buffers,
// releases the interpreter lock while the core runs and turns the file into
// `bytes`. Anything else that reaches it is refused with a TypeError naming
// the argument, never read.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <vector>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "glbcore.h"
#include "scenes.h"
#include "tiles.h"

namespace py = pybind11;

namespace {

// A C-contiguous buffer argument and its row count, held for the call.
struct Array {
    py::buffer_info info;
    std::uint32_t rows = 0;
    std::uint32_t columns = 1;

    template <class T>
    const T* data() const {
        return static_cast<const T*>(info.ptr);
    }
};

char format_kind(const py::buffer_info& info) {
    return info.format.empty() ? '\0' : info.format.back();
}

// Takes the buffer of `object`, which must be C-contiguous with items of the
// format kind `kind` and `itemsize` bytes, 1-D, or 2-D with `columns` columns
// when columns is not 0 (any number of columns from 1 to 4 otherwise).
Array take_array(const py::handle& object, const char* name, char kind, py::ssize_t itemsize,
                 py::ssize_t columns) {
    Array array{py::reinterpret_borrow<py::buffer>(object).request()};
    const py::buffer_info& info = array.info;
    const bool shape_ok = info.ndim == 1 || (info.ndim == 2 && (columns == 0
                                                                    ? info.shape[1] >= 1 && info.shape[1] <= 4
                                                                    : info.shape[1] == columns));
    if (format_kind(info) != kind || info.itemsize != itemsize || !shape_ok ||
        !PyBuffer_IsContiguous(info.view(), 'C')) {
        throw py::type_error(std::string(name) + ": expected a C-contiguous array of " +
                             std::to_string(itemsize) + "-byte '" + kind + "' items");
    }
    if (info.ndim == 2) array.columns = static_cast<std::uint32_t>(info.shape[1]);
    const py::ssize_t rows = info.ndim == 2 ? info.shape[0] : info.size;
    if (rows > std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error(std::string(name) + ": " + std::to_string(rows) +
                              " rows are more than 4294967295");
    }
    array.rows = static_cast<std::uint32_t>(rows);
    return array;
}

std::optional<Array> take_optional_array(const py::object& object, const char* name, char kind,
                                         py::ssize_t itemsize, py::ssize_t columns) {
    if (object.is_none()) return std::nullopt;
    return take_array(object, name, kind, itemsize, columns);
}

// Colours as (N, 3) or (N, 4) float32, uint8 or uint16.
glbcore::ColorArray color_array(const std::optional<Array>& colors) {
    glbcore::ColorArray out;
    if (!colors) return out;
    out.data = colors->info.ptr;
    out.components = colors->columns;
    switch (format_kind(colors->info)) {
        case 'B': out.type = glbcore::ColorType::uint8; break;
        case 'H': out.type = glbcore::ColorType::uint16; break;
        default: out.type = glbcore::ColorType::float32; break;
    }
    return out;
}

std::optional<Array> take_colors(const py::object& object) {
    if (object.is_none()) return std::nullopt;
    const py::buffer_info probe = py::reinterpret_borrow<py::buffer>(object).request();
    const char kind = format_kind(probe);
    const py::ssize_t itemsize = kind == 'B' ? 1 : kind == 'H' ? 2 : 4;
    Array colors = take_array(object, "colors", kind == 'B' || kind == 'H' ? kind : 'f',
                              itemsize, 0);
    if (colors.info.ndim != 2 || (colors.columns != 3 && colors.columns != 4)) {
        throw py::type_error("colors: expected an array of shape (N, 3) or (N, 4)");
    }
    return colors;
}

void require_rows(const Array& array, std::uint32_t rows, const char* name) {
    if (array.rows != rows) {
        throw py::value_error(std::string(name) + ": expected " + std::to_string(rows) +
                              " rows, got " + std::to_string(array.rows));
    }
}

// Lets a builder running without the interpreter lock write its file straight
// into a new `bytes` object: the object is created with the lock taken back.
class BytesOutput final : public glbcore::OutputBuffer {
public:
    std::uint8_t* allocate(std::size_t size) override {
        py::gil_scoped_acquire gil;
        PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (raw == nullptr) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        result_ = py::reinterpret_steal<py::bytes>(raw);
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(raw));
        glbcore::advise_huge_pages(data, size);
        return data;
    }
    py::bytes take() { return std::move(result_); }

private:
    py::bytes result_;
};

// Writes the file into a 1-D uint8 array that the caller lends when it fits
// there, and into a new `bytes` object otherwise: a caller that writes many
// files one after another saves the page faults of fresh memory. The
// result is then the array's first bytes, valid until the caller lends the
// array again.
class LentOutput final : public glbcore::OutputBuffer {
public:
    explicit LentOutput(py::array lent) : lent_(std::move(lent)) {
        capacity_ = static_cast<std::size_t>(lent_.size());
        data_ = static_cast<std::uint8_t*>(lent_.mutable_data());
    }
    std::uint8_t* allocate(std::size_t size) override {
        if (size > capacity_) return bytes_.allocate(size);
        size_ = size;
        return data_;
    }
    py::object take() {
        if (size_ == 0) return bytes_.take();
        return lent_[py::slice(0, static_cast<py::ssize_t>(size_), 1)];
    }

private:
    py::array lent_;
    std::uint8_t* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;  // of a file in the lent array
    BytesOutput bytes_;
};

// Runs `build(out)` without the interpreter lock and returns the file.
template <class Output, class Build>
auto build_into(Output& out, Build build) {
    {
        py::gil_scoped_release released;
        build(out);
    }
    return out.take();
}

template <class Build>
py::bytes build_without_gil(Build build) {
    BytesOutput out;
    return build_into(out, build);
}

// The array a caller lends for a file: writeable, C-contiguous uint8.
py::array lent_file_array(const py::object& out) {
    const auto fits = [](const py::array& given) {
        return given.ndim() == 1 && (given.flags() & py::array::c_style) && given.writeable() &&
               given.dtype().is(py::dtype::of<std::uint8_t>());
    };
    if (!py::isinstance<py::array>(out) || !fits(py::reinterpret_borrow<py::array>(out))) {
        throw py::value_error("out: expected a writeable 1-D C-contiguous uint8 array");
    }
    return py::reinterpret_borrow<py::array>(out);
}

struct Box {
    double lo[3];
    double hi[3];
};

std::optional<Box> read_box(const py::object& box) {
    if (box.is_none()) return std::nullopt;
    const auto values = box.cast<py::tuple>();
    if (values.size() != 6) throw py::type_error("box: expected six numbers");
    Box b;
    for (int k = 0; k < 3; ++k) {
        b.lo[k] = values[k].cast<double>();
        b.hi[k] = values[k + 3].cast<double>();
    }
    return b;
}

py::bytes atoms(const py::object& positions, const py::object& types, const py::object& box,
                bool compress, bool spheres, const py::object& radius_per_atom,
                const py::object& radius_per_type, unsigned workers) {
    const Array pos = take_array(positions, "positions", 'f', 4, 3);
    const Array typ = take_array(types, "types", 'H', 2, 1);
    require_rows(typ, pos.rows, "types");
    const std::optional<Box> cell = read_box(box);
    const std::optional<Array> atom_radii =
        take_optional_array(radius_per_atom, "radius", 'f', 4, 1);
    if (atom_radii) require_rows(*atom_radii, pos.rows, "radius");
    const std::optional<Array> type_radii =
        take_optional_array(radius_per_type, "radius", 'f', 4, 1);
    glbcore::AtomScene scene;
    scene.positions = pos.data<float>();
    scene.count = pos.rows;
    scene.types = typ.data<std::uint16_t>();
    scene.compression.enabled = compress;
    scene.workers = workers;
    if (cell) {
        scene.box_lo = cell->lo;
        scene.box_hi = cell->hi;
    }
    scene.style = spheres ? glbcore::AtomStyle::spheres : glbcore::AtomStyle::points;
    if (atom_radii) scene.radius_per_atom = atom_radii->data<float>();
    if (type_radii) {
        scene.radius_per_type = type_radii->data<float>();
        scene.radius_type_count = type_radii->rows;
    }
    return build_without_gil([&](glbcore::OutputBuffer& out) { glbcore::write_atom_scene(scene, out); });
}

py::object point_cloud(const py::object& positions, const py::object& colors, bool compress,
                       bool keep_input_order, unsigned workers,
                       glbcore::PointWriteScratch* scratch, const py::object& out_array) {
    const Array pos = take_array(positions, "positions", 'f', 4, 3);
    const std::optional<Array> col = take_colors(colors);
    if (col) require_rows(*col, pos.rows, "colors");
    glbcore::PointCloudScene scene;
    scene.positions = pos.data<float>();
    scene.count = pos.rows;
    scene.colors = color_array(col);
    scene.compression.enabled = compress;
    scene.keep_input_order = keep_input_order;
    scene.workers = workers;
    scene.scratch = scratch;
    const auto build = [&](glbcore::OutputBuffer& out) {
        glbcore::write_point_cloud_scene(scene, out);
    };
    if (out_array.is_none()) return build_without_gil(build);
    LentOutput out(lent_file_array(out_array));
    return build_into(out, build);
}

glbcore::Material read_material(const py::tuple& m) {
    if (m.size() != 5) throw py::type_error("material: expected a 5-tuple");
    glbcore::Material material;
    const auto base_color = m[0].cast<py::tuple>();
    const auto emissive = m[3].cast<py::tuple>();
    if (base_color.size() != 4 || emissive.size() != 3) {
        throw py::type_error("material: expected 4 base colour and 3 emissive factors");
    }
    for (int k = 0; k < 4; ++k) material.base_color[k] = base_color[k].cast<double>();
    material.metallic = m[1].cast<double>();
    material.roughness = m[2].cast<double>();
    for (int k = 0; k < 3; ++k) material.emissive[k] = emissive[k].cast<double>();
    material.double_sided = m[4].cast<bool>();
    return material;
}

py::bytes mesh(const py::object& positions, const py::object& faces, const py::object& normals,
               const py::object& colors, const py::tuple& material, bool compress,
               unsigned workers) {
    const Array pos = take_array(positions, "positions", 'f', 4, 3);
    const Array idx = take_array(faces, "faces", 'I', 4, 3);
    const std::optional<Array> nrm = take_optional_array(normals, "normals", 'f', 4, 3);
    if (nrm) require_rows(*nrm, pos.rows, "normals");
    const std::optional<Array> col = take_colors(colors);
    if (col) require_rows(*col, pos.rows, "colors");
    if (std::uint64_t{idx.rows} * idx.columns > std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error("faces: more than 4294967295 indices");
    }
    glbcore::MeshScene scene;
    scene.positions = pos.data<float>();
    scene.vertex_count = pos.rows;
    scene.normals = nrm ? nrm->data<float>() : nullptr;
    scene.indices = idx.data<std::uint32_t>();
    scene.index_count = idx.rows * idx.columns;
    scene.colors = color_array(col);
    scene.material = read_material(material);
    scene.compression.enabled = compress;
    scene.workers = workers;
    return build_without_gil(
        [&](glbcore::OutputBuffer& out) { glbcore::write_mesh_scene(scene, out); });
}

// ---- Sizes: the refusals of a builder before it reads an array ------------
// The twins read no array: an optional array's pointer only says that it is given.
const std::uint8_t GIVEN_ARRAY = 0;

std::uint32_t row_count(std::uint64_t rows, const char* name) {
    if (rows > std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error(std::string(name) + ": " + std::to_string(rows) +
                              " rows are more than 4294967295");
    }
    return static_cast<std::uint32_t>(rows);
}

// Colours as (storage type, components) without their values.
glbcore::ColorArray color_layout(const std::optional<std::pair<std::string, std::uint32_t>>& colors) {
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
    if (components != 3 && components != 4) throw py::value_error("colors: expected 3 or 4 components");
    layout.data = &GIVEN_ARRAY;
    layout.components = components;
    return layout;
}

std::optional<std::size_t> atoms_size(std::uint64_t count, bool compress, bool spheres) {
    glbcore::AtomScene scene;
    scene.count = row_count(count, "positions");
    scene.style = spheres ? glbcore::AtomStyle::spheres : glbcore::AtomStyle::points;
    scene.compression.enabled = compress;
    return glbcore::atom_scene_size(scene);
}

std::optional<std::size_t> point_cloud_size(
    std::uint64_t count, const std::optional<std::pair<std::string, std::uint32_t>>& colors,
    bool compress) {
    glbcore::PointCloudScene scene;
    scene.count = row_count(count, "positions");
    scene.colors = color_layout(colors);
    scene.compression.enabled = compress;
    return glbcore::point_cloud_scene_size(scene);
}

std::optional<std::size_t> mesh_size(std::uint64_t vertex_count, std::uint64_t face_count,
                                     const std::optional<std::pair<std::string, std::uint32_t>>& colors,
                                     const py::tuple& material, bool compress) {
    glbcore::MeshScene scene;
    scene.vertex_count = row_count(vertex_count, "positions");
    if (face_count > std::numeric_limits<std::uint32_t>::max() / 3) {
        throw py::value_error("faces: more than 4294967295 indices");
    }
    scene.index_count = static_cast<std::uint32_t>(3 * face_count);
    scene.colors = color_layout(colors);
    scene.material = read_material(material);
    scene.compression.enabled = compress;
    return glbcore::mesh_scene_size(scene);
}

// ---- The tiler's passes over chunks (plexorin.tiles) ----------------------
// Each takes C-contiguous arrays of the exact types (the package makes them)
// and runs without the interpreter lock, so tasks on threads overlap.
// Arrays that Dask or pickle hand over may start at any address; the passes
// read typed elements, so such an array is copied to an aligned one first.
template <class T>
using CArray = py::array_t<T, py::array::c_style | py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

glbcore::TileGrid tile_grid(const py::tuple& grid) {
    if (grid.size() != 4) throw py::type_error("grid: expected (lo x, lo y, lo z, cells per unit)");
    return glbcore::TileGrid{{grid[0].cast<double>(), grid[1].cast<double>(), grid[2].cast<double>()},
                             grid[3].cast<double>()};
}

// `out` when given, which must be a writeable C-contiguous array of `dtype`
// and `shape`, or a new array: callers that run many tasks pass arrays they
// reuse, as fresh memory costs page faults.
py::array array_for(const py::dtype& dtype, const std::vector<py::ssize_t>& shape,
                    const py::object& out, const char* name) {
    if (out.is_none()) return py::array(dtype, shape);
    const auto fits = [&](const py::array& given) {
        return (given.flags() & py::array::c_style) &&
               (given.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) && given.writeable() &&
               py::detail::npy_api::get().PyArray_EquivTypes_(given.dtype().ptr(), dtype.ptr()) &&
               std::vector<py::ssize_t>(given.shape(), given.shape() + given.ndim()) == shape;
    };
    if (!py::isinstance<py::array>(out) || !fits(py::reinterpret_borrow<py::array>(out))) {
        throw py::value_error(std::string(name) +
                              ": expected a writeable, aligned C-contiguous array of the result's dtype and shape");
    }
    return py::reinterpret_borrow<py::array>(out);
}

template <class T>
CArray<T> array_for(std::size_t n, const py::object& out, const char* name) {
    return py::reinterpret_borrow<CArray<T>>(
        array_for(py::dtype::of<T>(), {static_cast<py::ssize_t>(n)}, out, name));
}

// The entries of a scratch array of n uint32 that the caller lends (its
// object keeps them alive for the call), or null when it lends none.
std::uint32_t* lent_scratch(const py::object& scratch_array, std::size_t n) {
    if (scratch_array.is_none()) return nullptr;
    return array_for<std::uint32_t>(n, scratch_array, "scratch").mutable_data();
}

std::size_t point_rows(const CArray<float>& positions) {
    if (positions.ndim() != 2 || positions.shape(1) != 3) {
        throw py::type_error("positions: expected a C-contiguous (N, 3) float32 array");
    }
    return static_cast<std::size_t>(positions.shape(0));
}

void require_level(int level) {
    if (level < 0 || level > glbcore::TILE_KEY_LEVELS) throw py::value_error("level: expected 0..10");
}

// (keys, first non-finite row or N)
py::tuple tile_keys(const CArray<float>& positions, const py::tuple& grid,
                    const py::object& out_array) {
    const std::size_t n = point_rows(positions);
    const glbcore::TileGrid g = tile_grid(grid);
    CArray<std::uint32_t> keys = array_for<std::uint32_t>(n, out_array, "out");
    std::uint32_t* out = keys.mutable_data();
    std::size_t bad;
    {
        py::gil_scoped_release released;
        bad = glbcore::tile_keys(positions.data(), n, g, out);
    }
    return py::make_tuple(keys, bad);
}

// Adds into `histogram` (8^level uint32); returns the first non-finite row or N.
std::size_t tile_key_histogram(const CArray<float>& positions, const py::tuple& grid, int level,
                               CArray<std::uint32_t>& histogram) {
    require_level(level);
    const std::size_t n = point_rows(positions);
    if (histogram.size() != (py::ssize_t{1} << (3 * level))) throw py::value_error("histogram: expected 8^level entries");
    const glbcore::TileGrid g = tile_grid(grid);
    std::uint32_t* hist = histogram.mutable_data();
    py::gil_scoped_release released;
    return glbcore::tile_key_histogram(positions.data(), n, g, level, hist);
}

// Whether every value is below `limit`; run without the interpreter lock.
template <class Value, class Count>
bool all_below(const Value* values, std::size_t n, Count limit) {
    return std::all_of(values, values + n, [limit](Value v) { return v < limit; });
}

template <class Group>
py::tuple partition_by_table(const CArray<std::uint32_t>& keys, int level,
                             const CArray<Group>& cell_group, std::uint32_t groups,
                             const py::object& out_array, const py::object& scratch_array) {
    require_level(level);
    if (cell_group.size() != (py::ssize_t{1} << (3 * level))) throw py::value_error("cell_group: expected 8^level entries");
    const Group* group = cell_group.data();
    const auto n = static_cast<std::size_t>(keys.size());
    CArray<std::uint32_t> order = array_for<std::uint32_t>(n, out_array, "out");
    CArray<std::uint64_t> counts(static_cast<py::ssize_t>(groups));
    std::uint32_t* o = order.mutable_data();
    std::uint64_t* c = counts.mutable_data();
    std::uint32_t* scratch = lent_scratch(scratch_array, n);
    bool groups_valid;
    {
        // Other threads run meanwhile, the check of 8^level groups included.
        py::gil_scoped_release released;
        groups_valid = all_below(group, static_cast<std::size_t>(cell_group.size()), groups);
        if (groups_valid) {
            glbcore::partition_by_cell_group(keys.data(), n, level, group, groups, o, c, scratch);
        }
    }
    if (!groups_valid) throw py::value_error("cell_group: a group is not below groups");
    return py::make_tuple(order, counts);
}

// (order, counts per group); cell_group of uint8, uint16 or, converted if
// need be, uint32.
py::tuple tile_partition(const CArray<std::uint32_t>& keys, int level, const py::array& cell_group,
                         std::uint32_t groups, const py::object& out_array,
                         const py::object& scratch_array) {
    if (py::isinstance<CArray<std::uint8_t>>(cell_group)) {
        return partition_by_table(keys, level, cell_group.cast<CArray<std::uint8_t>>(), groups,
                                  out_array, scratch_array);
    }
    if (py::isinstance<CArray<std::uint16_t>>(cell_group)) {
        return partition_by_table(keys, level, cell_group.cast<CArray<std::uint16_t>>(), groups,
                                  out_array, scratch_array);
    }
    return partition_by_table(keys, level, cell_group.cast<CArray<std::uint32_t>>(), groups,
                              out_array, scratch_array);
}

// (bucket of every level-`level` cell, first cell of each bucket)
py::tuple tile_buckets(const CArray<std::int64_t>& cell_starts, const CArray<std::uint8_t>& leaf_level,
                       int level, std::uint64_t bucket_places) {
    require_level(level);
    const auto cells = py::ssize_t{1} << (3 * level);
    if (cell_starts.size() != cells || leaf_level.size() != cells) {
        throw py::value_error("cell_starts, leaf_level: expected 8^level entries");
    }
    if (bucket_places == 0) throw py::value_error("bucket_places: expected a positive count");
    CArray<std::uint32_t> cell_bucket(cells);
    std::uint32_t* out = cell_bucket.mutable_data();
    std::vector<std::size_t> firsts;
    {
        py::gil_scoped_release released;
        firsts = glbcore::bucket_cells(cell_starts.data(), leaf_level.data(), level, bucket_places, out);
    }
    CArray<std::int64_t> first_cells(static_cast<py::ssize_t>(firsts.size()));
    std::copy(firsts.begin(), firsts.end(), first_cells.mutable_data());
    return py::make_tuple(cell_bucket, first_cells);
}

// (sorted places, their levels) that the coarse inner nodes choose, from
// the points and first places of every node of levels 0 to H.
py::tuple tile_coarse_selection(const py::sequence& counts, const py::sequence& starts,
                                int grid_depth, std::uint64_t points_per_tile) {
    if (counts.size() == 0 || counts.size() != starts.size()) {
        throw py::value_error("counts, starts: expected one array per level from 0 to H");
    }
    require_level(static_cast<int>(counts.size()) - 1);
    // The arrays, held here while the core reads them.
    std::vector<CArray<std::uint64_t>> count_arrays;
    std::vector<CArray<std::int64_t>> start_arrays;
    std::vector<const std::uint64_t*> count_of;
    std::vector<const std::int64_t*> start_of;
    for (std::size_t g = 0; g < counts.size(); ++g) {
        count_arrays.push_back(counts[g].cast<CArray<std::uint64_t>>());
        start_arrays.push_back(starts[g].cast<CArray<std::int64_t>>());
        const auto nodes = py::ssize_t{1} << (3 * g);
        if (count_arrays.back().size() != nodes || start_arrays.back().size() != nodes) {
            throw py::value_error("counts, starts: expected 8^level entries per level");
        }
        count_of.push_back(count_arrays.back().data());
        start_of.push_back(start_arrays.back().data());
    }
    glbcore::CoarsePlaces by_level;
    {
        py::gil_scoped_release released;
        by_level = glbcore::select_coarse_places(count_of, start_of, grid_depth, points_per_tile);
    }
    const auto total = static_cast<py::ssize_t>(glbcore::coarse_place_count(by_level));
    CArray<std::int64_t> places(total);
    CArray<std::uint8_t> levels(total);
    std::int64_t* to_places = places.mutable_data();
    std::uint8_t* to_levels = levels.mutable_data();
    {
        py::gil_scoped_release released;
        glbcore::merge_coarse_places(by_level, to_places, to_levels);
    }
    return py::make_tuple(places, levels);
}

// An array for n rows shaped like those of `source`.
py::array rows_like(const py::array& source, std::size_t n, const py::object& out) {
    std::vector<py::ssize_t> shape(source.shape(), source.shape() + source.ndim());
    shape[0] = static_cast<py::ssize_t>(n);
    return array_for(source.dtype(), shape, out, "out");
}

// Rows of `source` (any C-contiguous array, first axis = rows) in `order`,
// into `out` when given.
py::array tile_gather(const py::array& source, const CArray<std::uint32_t>& order,
                      const py::object& out_rows) {
    if (!(source.flags() & py::array::c_style) || source.ndim() < 1) {
        throw py::type_error("source: expected a C-contiguous array");
    }
    const auto rows = static_cast<std::size_t>(source.shape(0));
    const std::size_t row_bytes = rows == 0 ? 0 : static_cast<std::size_t>(source.nbytes()) / rows;
    const std::uint32_t* o = order.data();
    const auto n = static_cast<std::size_t>(order.size());
    py::array out = rows_like(source, n, out_rows);
    auto* dst = static_cast<std::uint8_t*>(out.mutable_data());
    const auto* src = static_cast<const std::uint8_t*>(source.data());
    bool rows_valid;
    {
        py::gil_scoped_release released;
        rows_valid = all_below(o, n, rows);
        if (rows_valid) glbcore::gather_rows(src, row_bytes, o, n, dst);
    }
    if (!rows_valid) throw py::value_error("order: a row is out of range");
    return out;
}

// Turns the segments between `cuts` (ascending, within the rows) y-up in
// place; returns the z-up (lo, hi) of each, as (segments, 3) arrays.
py::tuple tile_turn_y_up(CArray<float>& positions, const CArray<std::uint32_t>& cuts) {
    const std::size_t n = point_rows(positions);
    const auto c = static_cast<std::size_t>(cuts.size());
    const std::uint32_t* at = cuts.data();
    for (std::size_t s = 0; s < c; ++s) {
        if (at[s] > n || (s > 0 && at[s] < at[s - 1])) {
            throw py::value_error("cuts: expected ascending rows of positions");
        }
    }
    const auto segments = static_cast<py::ssize_t>(c == 0 ? 0 : c - 1);
    CArray<float> lo({segments, py::ssize_t{3}});
    CArray<float> hi({segments, py::ssize_t{3}});
    float* p = positions.mutable_data();
    float* l = lo.mutable_data();
    float* h = hi.mutable_data();
    {
        py::gil_scoped_release released;
        glbcore::turn_y_up_with_extents(p, at, static_cast<std::size_t>(segments), l, h);
    }
    return py::make_tuple(lo, hi);
}

// (lo, hi, first non-finite row or N)
py::tuple tile_extents(const CArray<float>& positions) {
    const std::size_t n = point_rows(positions);
    float lo[3], hi[3];
    std::size_t bad;
    {
        py::gil_scoped_release released;
        bad = glbcore::tile_extents(positions.data(), n, lo, hi);
    }
    return py::make_tuple(py::make_tuple(lo[0], lo[1], lo[2]), py::make_tuple(hi[0], hi[1], hi[2]), bad);
}

// (levels, order, keys) of the places grouped by level, stably.
py::tuple tile_group_by_level(const CArray<std::uint8_t>& levels, const CArray<std::uint32_t>& order,
                              const CArray<std::uint32_t>& keys, const py::object& levels_out_array,
                              const py::object& order_out_array, const py::object& keys_out_array) {
    const auto n = static_cast<std::size_t>(levels.size());
    if (static_cast<std::size_t>(order.size()) != n || static_cast<std::size_t>(keys.size()) != n) {
        throw py::value_error("levels, order, keys: expected the same length");
    }
    CArray<std::uint8_t> levels_out = array_for<std::uint8_t>(n, levels_out_array, "levels_out");
    CArray<std::uint32_t> order_out = array_for<std::uint32_t>(n, order_out_array, "order_out");
    CArray<std::uint32_t> keys_out = array_for<std::uint32_t>(n, keys_out_array, "keys_out");
    std::uint8_t* l = levels_out.mutable_data();
    std::uint32_t* o = order_out.mutable_data();
    std::uint32_t* k = keys_out.mutable_data();
    {
        py::gil_scoped_release released;
        glbcore::group_by_level(levels.data(), order.data(), keys.data(), n, l, o, k);
    }
    return py::make_tuple(levels_out, order_out, keys_out);
}

// (levels, nodes, cuts) of the tiles of places grouped by level: tile t is
// rows cuts[t] to cuts[t + 1].
py::tuple tile_runs(const CArray<std::uint8_t>& levels, const CArray<std::uint32_t>& keys) {
    const auto n = static_cast<std::size_t>(levels.size());
    if (static_cast<std::size_t>(keys.size()) != n) throw py::value_error("levels, keys: expected the same length");
    if (n > std::numeric_limits<std::uint32_t>::max()) throw py::value_error("keys: too many");
    std::vector<glbcore::TileRun> runs;
    {
        py::gil_scoped_release released;
        runs = glbcore::tile_runs(levels.data(), keys.data(), n);
    }
    const auto count = static_cast<py::ssize_t>(runs.size());
    CArray<std::uint8_t> run_levels(count);
    CArray<std::uint32_t> nodes(count);
    CArray<std::uint32_t> cuts(count + 1);
    for (py::ssize_t t = 0; t < count; ++t) {
        run_levels.mutable_at(t) = runs[t].level;
        nodes.mutable_at(t) = runs[t].node;
        cuts.mutable_at(t) = runs[t].start;
    }
    cuts.mutable_at(count) = static_cast<std::uint32_t>(n);
    return py::make_tuple(run_levels, nodes, cuts);
}

// Sorts `keys` in place (stable); returns the permutation.
// `scratch`, when given, is 2 * N uint32 the sort works in.
CArray<std::uint32_t> tile_sort(CArray<std::uint32_t>& keys, const py::object& out_array,
                                const py::object& scratch_array) {
    const auto n = static_cast<std::size_t>(keys.size());
    if (n > std::numeric_limits<std::uint32_t>::max()) throw py::value_error("keys: too many");
    CArray<std::uint32_t> order = array_for<std::uint32_t>(n, out_array, "out");
    std::uint32_t* k = keys.mutable_data();
    std::uint32_t* o = order.mutable_data();
    std::uint32_t* scratch = lent_scratch(scratch_array, 2 * n);
    {
        py::gil_scoped_release released;
        glbcore::sort_tile_keys(k, o, n, scratch);
    }
    return order;
}

// Puts each run of equal keys of `positions` (and of every array of
// `others`, None skipped) in the finer order, in place.
void tile_refine(CArray<float>& positions, const CArray<std::uint32_t>& keys,
                 const py::tuple& grid, const py::list& others) {
    const std::size_t n = point_rows(positions);
    if (static_cast<std::size_t>(keys.size()) != n) throw py::value_error("keys: expected one per row");
    std::vector<glbcore::TileRows> rows;
    for (const py::handle item : others) {
        if (item.is_none()) continue;
        if (!py::isinstance<py::array>(item)) throw py::type_error("others: expected arrays or None");
        auto array = py::reinterpret_borrow<py::array>(item);
        if (!(array.flags() & py::array::c_style) || !array.writeable() || array.ndim() < 1 ||
            static_cast<std::size_t>(array.shape(0)) != n) {
            throw py::value_error("others: expected writeable C-contiguous arrays of one row per point");
        }
        rows.push_back({static_cast<std::uint8_t*>(array.mutable_data()),
                        n == 0 ? 0 : static_cast<std::size_t>(array.nbytes()) / n});
    }
    const glbcore::TileGrid g = tile_grid(grid);
    float* p = positions.mutable_data();
    py::gil_scoped_release released;
    glbcore::refine_tile_runs(p, keys.data(), n, g, rows);
}

CArray<std::uint8_t> tile_levels(const CArray<std::uint32_t>& sorted_keys, int histogram_level,
                                 int grid_depth, std::uint64_t points_per_tile,
                                 const CArray<std::uint8_t>& cell_leaf_level,
                                 const CArray<std::uint32_t>& preselected_rows,
                                 const CArray<std::uint8_t>& preselected_levels,
                                 const py::object& out_array, const py::object& scratch_array) {
    require_level(histogram_level);
    if (cell_leaf_level.size() != (py::ssize_t{1} << (3 * histogram_level))) {
        throw py::value_error("cell_leaf_level: expected 8^histogram_level entries");
    }
    if (preselected_rows.size() != preselected_levels.size()) {
        throw py::value_error("preselected: rows and levels differ in length");
    }
    glbcore::TileLevelPlan plan;
    plan.histogram_level = histogram_level;
    plan.grid_depth = grid_depth;
    plan.points_per_tile = points_per_tile;
    plan.cell_leaf_level = cell_leaf_level.data();
    const auto n = static_cast<std::size_t>(sorted_keys.size());
    CArray<std::uint8_t> levels = array_for<std::uint8_t>(n, out_array, "out");
    std::uint8_t* out = levels.mutable_data();
    std::uint8_t* leaf = nullptr;  // the core's own when no scratch is lent
    CArray<std::uint8_t> lent;
    if (!scratch_array.is_none()) {
        lent = array_for<std::uint8_t>(n, scratch_array, "scratch");
        leaf = lent.mutable_data();
        if (n > 0 && leaf < out + n && out < leaf + n) {
            throw py::value_error("scratch: overlaps out");
        }
    }
    {
        py::gil_scoped_release released;
        glbcore::assign_tile_levels(sorted_keys.data(), n, plan, preselected_rows.data(),
                                    preselected_levels.data(),
                                    static_cast<std::size_t>(preselected_rows.size()), out, leaf);
    }
    return levels;
}

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Builders behind the plexorin package; call them through plexorin's functions.";
    m.def("atoms", &atoms, py::arg("positions"), py::arg("types"), py::arg("box"),
          py::arg("compress") = false, py::arg("spheres") = false,
          py::arg("radius_per_atom") = py::none(), py::arg("radius_per_type") = py::none(),
          py::arg("workers") = 0);
    // Working memory for compressed point files written one after another:
    // pass it to one write at a time.
    py::class_<glbcore::PointWriteScratch>(m, "PointWriteScratch").def(py::init<>());
    m.def("point_cloud", &point_cloud, py::arg("positions"), py::arg("colors"),
          py::arg("compress") = false, py::arg("keep_input_order") = false,
          py::arg("workers") = 0, py::arg("scratch") = nullptr, py::arg("out") = py::none());
    m.def("mesh", &mesh, py::arg("positions"), py::arg("faces"), py::arg("normals"),
          py::arg("colors"), py::arg("material"), py::arg("compress") = false,
          py::arg("workers") = 0);
    m.def("atoms_size", &atoms_size, py::arg("count"), py::arg("compress") = false,
          py::arg("spheres") = false);
    m.def("point_cloud_size", &point_cloud_size, py::arg("count"), py::arg("colors") = py::none(),
          py::arg("compress") = false);
    m.def("mesh_size", &mesh_size, py::arg("vertex_count"), py::arg("face_count"),
          py::arg("colors"), py::arg("material"), py::arg("compress") = false);
    m.def("tile_keys", &tile_keys, py::arg("positions"), py::arg("grid"),
          py::arg("out") = py::none());
    m.def("tile_key_histogram", &tile_key_histogram, py::arg("positions"), py::arg("grid"),
          py::arg("level"), py::arg("histogram").noconvert());
    m.def("tile_partition", &tile_partition, py::arg("keys"), py::arg("level"),
          py::arg("cell_group"), py::arg("groups"), py::arg("out") = py::none(),
          py::arg("scratch") = py::none());
    m.def("tile_buckets", &tile_buckets, py::arg("cell_starts"), py::arg("leaf_level"),
          py::arg("level"), py::arg("bucket_places"));
    m.def("tile_coarse_selection", &tile_coarse_selection, py::arg("counts"), py::arg("starts"),
          py::arg("grid_depth"), py::arg("points_per_tile"));
    m.def("tile_gather", &tile_gather, py::arg("source"), py::arg("order"),
          py::arg("out") = py::none());
    m.def("tile_refine", &tile_refine, py::arg("positions").noconvert(), py::arg("keys"),
          py::arg("grid"), py::arg("others"));
    m.def("tile_extents", &tile_extents, py::arg("positions"));
    m.def("tile_turn_y_up", &tile_turn_y_up, py::arg("positions").noconvert(), py::arg("cuts"));
    m.def("tile_group_by_level", &tile_group_by_level, py::arg("levels"), py::arg("order"),
          py::arg("keys"), py::arg("levels_out") = py::none(), py::arg("order_out") = py::none(),
          py::arg("keys_out") = py::none());
    m.def("tile_runs", &tile_runs, py::arg("levels"), py::arg("keys"));
    m.def("tile_sort", &tile_sort, py::arg("keys").noconvert(), py::arg("out") = py::none(),
          py::arg("scratch") = py::none());
    m.def("tile_levels", &tile_levels, py::arg("sorted_keys"), py::arg("histogram_level"),
          py::arg("grid_depth"), py::arg("points_per_tile"), py::arg("cell_leaf_level"),
          py::arg("preselected_rows"), py::arg("preselected_levels"), py::arg("out") = py::none(),
          py::arg("scratch") = py::none());
}
