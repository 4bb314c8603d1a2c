// plexorin._native.tiles: the tiler's passes over chunks of points (the
// core's tiles.h), for plexorin.tileset. Each runs without the interpreter
// lock, so that tasks on threads overlap, and checks every value the core
// would use to index an array first.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "arguments.h"
#include "native.h"
#include "tiles.h"

namespace bindings {

namespace {

using Grid = std::array<double, 4>;  // lo x, lo y, lo z, cells per unit
constexpr std::uint32_t KEY_LIMIT = std::uint32_t{1} << (3 * glbcore::TILE_KEY_LEVELS);

glbcore::TileGrid tile_grid(const Grid& grid) {
    return glbcore::TileGrid{{grid[0], grid[1], grid[2]}, grid[3]};
}

void require_level(int level, const char* name) {
    if (level < 0 || level > glbcore::TILE_KEY_LEVELS) {
        throw py::value_error(std::string(name) + ": expected 0..10, got " + std::to_string(level));
    }
}

// The nodes of a level: 8^level.
py::ssize_t nodes_of_level(int level) { return py::ssize_t{1} << (3 * level); }

// Grids finer than the keys' own are the keys' own: a depth beyond 10 means
// what 10 means, and stays clear of overflow in the core's level + depth.
int clamped_depth(int grid_depth) { return std::min(grid_depth, glbcore::TILE_KEY_LEVELS); }

// The first of n values that is not below `limit`, or n; run without the lock.
template <class Value>
std::size_t first_not_below(const Value* values, std::size_t n, std::uint64_t limit) {
    return static_cast<std::size_t>(
        std::find_if(values, values + n, [limit](Value v) { return v >= limit; }) - values);
}

// Refuses values[bad] unless bad == n, naming the argument and the entry.
template <class Value>
void require_below(const Value* values, std::size_t bad, std::size_t n, const char* name,
                   const std::string& limit) {
    if (bad == n) return;
    throw py::value_error(std::string(name) + "[" + std::to_string(bad) +
                          "] = " + std::to_string(static_cast<std::uint64_t>(values[bad])) +
                          " is not below " + limit);
}

Array<float> take_points(const py::handle& positions, bool written = false) {
    const ArrayForm form = ArrayForm::table(3).typed();
    return take_array<float>(positions, "positions", written ? form.written() : form);
}

py::tuple keys(const py::handle& positions, const Grid& grid, const py::handle& out) {
    const auto points = take_points(positions);
    const std::size_t n = points.rows();
    auto found = result_array<std::uint32_t>(out, "out", n);
    std::uint32_t* to = found.mutable_data();
    const std::size_t bad = without_interpreter_lock(
        [&] { return glbcore::tile_keys(points.data(), n, tile_grid(grid), to); });
    return py::make_tuple(found.array, bad);
}

std::size_t key_histogram(const py::handle& positions, const Grid& grid, int level,
                          const py::handle& histogram) {
    require_level(level, "level");
    const auto points = take_points(positions);
    auto counts = take_array<std::uint32_t>(
        histogram, "histogram", ArrayForm::vector().written().of_rows(nodes_of_level(level)));
    std::uint32_t* to = counts.mutable_data();
    return without_interpreter_lock([&] {
        return glbcore::tile_key_histogram(points.data(), points.rows(), tile_grid(grid), level,
                                           to);
    });
}

template <class Group>
py::tuple partition_by_table(const Array<std::uint32_t>& keys, int level,
                             const Array<Group>& cell_group, std::uint32_t groups,
                             const py::handle& out, const py::handle& scratch) {
    const std::size_t n = keys.rows();
    rows_below_2_to_32(n, "keys");
    auto order = result_array<std::uint32_t>(out, "out", n);
    Array<std::uint64_t> counts{py::array_t<std::uint64_t>(static_cast<py::ssize_t>(groups))};
    std::optional<Array<std::uint32_t>> lent;
    if (!scratch.is_none()) {
        lent = take_array<std::uint32_t>(
            scratch, "scratch", ArrayForm::vector().written().of_rows(static_cast<py::ssize_t>(n)));
    }
    std::uint32_t* to = order.mutable_data();
    std::uint64_t* count = counts.mutable_data();
    std::uint32_t* room = lent ? lent->mutable_data() : nullptr;
    const Group* table = cell_group.data();
    const std::size_t cells = cell_group.rows();
    // Other threads run meanwhile, these checks included.
    const auto [bad_key, bad_group] = without_interpreter_lock([&] {
        const std::size_t key = first_not_below(keys.data(), n, KEY_LIMIT);
        const std::size_t group = first_not_below(table, cells, groups);
        if (key == n && group == cells) {
            glbcore::partition_by_cell_group(keys.data(), n, level, table, groups, to, count, room);
        }
        return std::make_pair(key, group);
    });
    require_below(keys.data(), bad_key, n, "keys", "2^30");
    require_below(table, bad_group, cells, "cell_group", "groups");
    return py::make_tuple(order.array, counts.array);
}

py::tuple partition(const py::handle& keys, int level, const py::handle& cell_group,
                    std::uint32_t groups, const py::handle& out, const py::handle& scratch) {
    require_level(level, "level");
    const auto sorted = take_array<std::uint32_t>(keys, "keys", ArrayForm::vector().typed());
    const ArrayForm table = ArrayForm::vector().typed().of_rows(nodes_of_level(level));
    if (py::isinstance<py::array>(cell_group)) {
        const auto given = py::reinterpret_borrow<py::array>(cell_group);
        if (has_dtype<std::uint8_t>(given)) {
            return partition_by_table(sorted, level,
                                      take_array<std::uint8_t>(given, "cell_group", table), groups,
                                      out, scratch);
        }
        if (has_dtype<std::uint16_t>(given)) {
            return partition_by_table(sorted, level,
                                      take_array<std::uint16_t>(given, "cell_group", table), groups,
                                      out, scratch);
        }
    }
    return partition_by_table(sorted, level,
                              take_array<std::uint32_t>(cell_group, "cell_group", table), groups,
                              out, scratch);
}

py::tuple buckets(const py::handle& cell_starts, const py::handle& leaf_level, int level,
                  std::uint64_t bucket_places) {
    require_level(level, "level");
    const ArrayForm table = ArrayForm::vector().typed().of_rows(nodes_of_level(level));
    const auto starts = take_array<std::int64_t>(cell_starts, "cell_starts", table);
    const auto leaves = take_array<std::uint8_t>(leaf_level, "leaf_level", table);
    if (bucket_places == 0) throw py::value_error("bucket_places: expected a positive count");
    Array<std::uint32_t> cell_bucket{py::array_t<std::uint32_t>(nodes_of_level(level))};
    std::uint32_t* to = cell_bucket.mutable_data();
    const std::vector<std::size_t> firsts = without_interpreter_lock([&] {
        return glbcore::bucket_cells(starts.data(), leaves.data(), level, bucket_places, to);
    });
    py::array_t<std::int64_t> first_cells(static_cast<py::ssize_t>(firsts.size()));
    std::copy(firsts.begin(), firsts.end(), first_cells.mutable_data());
    return py::make_tuple(cell_bucket.array, first_cells);
}

py::tuple coarse_selection(const py::sequence& counts, const py::sequence& starts, int grid_depth,
                           std::uint64_t points_per_tile) {
    if (counts.size() == 0 || counts.size() != starts.size()) {
        throw py::value_error("counts, starts: expected one array per level from 0 to H");
    }
    require_level(static_cast<int>(counts.size()) - 1, "counts");
    // The arrays, held here while the core reads them.
    std::vector<Array<std::uint64_t>> count_arrays;
    std::vector<Array<std::int64_t>> start_arrays;
    std::vector<const std::uint64_t*> count_of;
    std::vector<const std::int64_t*> start_of;
    for (std::size_t g = 0; g < counts.size(); ++g) {
        const ArrayForm level =
            ArrayForm::vector().typed().of_rows(nodes_of_level(static_cast<int>(g)));
        count_arrays.push_back(take_array<std::uint64_t>(counts[g], "counts", level));
        start_arrays.push_back(take_array<std::int64_t>(starts[g], "starts", level));
        count_of.push_back(count_arrays.back().data());
        start_of.push_back(start_arrays.back().data());
    }
    const int depth = clamped_depth(grid_depth);
    glbcore::CoarsePlaces by_level = without_interpreter_lock(
        [&] { return glbcore::select_coarse_places(count_of, start_of, depth, points_per_tile); });
    const auto total = static_cast<py::ssize_t>(glbcore::coarse_place_count(by_level));
    py::array_t<std::int64_t> places(total);
    py::array_t<std::uint8_t> levels(total);
    std::int64_t* to_places = places.mutable_data();
    std::uint8_t* to_levels = levels.mutable_data();
    without_interpreter_lock([&] { glbcore::merge_coarse_places(by_level, to_places, to_levels); });
    return py::make_tuple(places, levels);
}

py::array gather(const py::handle& source, const py::handle& order, const py::handle& out) {
    const RowBytes rows = take_row_bytes(source, "source", false);
    const auto picks = take_array<std::uint32_t>(order, "order", ArrayForm::vector().typed());
    const std::size_t n = picks.rows();
    std::vector<py::ssize_t> shape(rows.array.shape(), rows.array.shape() + rows.array.ndim());
    shape[0] = static_cast<py::ssize_t>(n);
    RowBytes gathered{result_array(out, "out", rows.array.dtype(), shape), n, rows.row_bytes};
    std::uint8_t* to = gathered.data();
    const std::size_t bad = without_interpreter_lock([&] {
        const std::size_t first_bad = first_not_below(picks.data(), n, rows.rows);
        if (first_bad == n) glbcore::gather_rows(rows.data(), rows.row_bytes, picks.data(), n, to);
        return first_bad;
    });
    require_below(picks.data(), bad, n, "order", "the rows of source");
    return gathered.array;
}

py::tuple extents(const py::handle& positions) {
    const auto points = take_points(positions);
    float lo[3], hi[3];
    const std::size_t bad = without_interpreter_lock(
        [&] { return glbcore::tile_extents(points.data(), points.rows(), lo, hi); });
    return py::make_tuple(py::make_tuple(lo[0], lo[1], lo[2]), py::make_tuple(hi[0], hi[1], hi[2]),
                          bad);
}

// ---- One bucket per call, over the memory of one thread ---------------

// The working memory of the tiler's tasks on one thread: the core's bucket
// pass scratch, and arrays lent to the package to fill (the bucket's input
// columns, the routing's keys and order). Made once at the largest
// bucket's size, reused task after task. An array it lends stays valid (its
// storage is kept by the array), but the next call that lends the same room
// writes into it again.
class TileScratch {
public:
    enum Room { POSITIONS, TYPES, COLORS, VALUES, KEYS, ORDER, SORT, HISTOGRAM, ROOMS };

    // A C-contiguous array of `dtype` and `shape` starting on a cache line in
    // room `room`, the storage made larger (an eighth to spare) when needed.
    py::array lend(Room room, const py::dtype& dtype, const std::vector<py::ssize_t>& shape) {
        py::ssize_t nbytes = dtype.itemsize();
        for (const py::ssize_t n : shape) nbytes *= n;
        py::array& storage = rooms_[room];
        if (!storage || storage.nbytes() < nbytes + LINE) {
            storage = py::array_t<std::uint8_t>(nbytes + nbytes / 8 + LINE);
        }
        auto* base = static_cast<std::uint8_t*>(storage.mutable_data());
        const auto skip = static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(base) % LINE);
        return py::array(dtype, shape, base + skip, storage);
    }

    glbcore::TileBucketScratch& bucket() { return bucket_; }

private:
    static constexpr py::ssize_t LINE = 64;  // the native sorts stream whole lines
    py::array rooms_[ROOMS];
    glbcore::TileBucketScratch bucket_;
};

TileScratch::Room column_room(int column) {
    if (column < 0 || column > 3) {
        throw py::value_error(
            "column: expected 0 (positions), 1 (types), 2 (colors) or 3 (values), got " +
            std::to_string(column));
    }
    return static_cast<TileScratch::Room>(TileScratch::POSITIONS + column);
}

py::array lend_input(TileScratch& scratch, int column, const py::dtype& dtype,
                     const std::vector<py::ssize_t>& shape) {
    for (const py::ssize_t n : shape) {
        if (n < 0) throw py::value_error("shape: expected sizes of 0 and above");
    }
    return scratch.lend(column_room(column), dtype, shape);
}

py::array zeroed_histogram(TileScratch& scratch, int level) {
    require_level(level, "level");
    py::array counts = scratch.lend(TileScratch::HISTOGRAM, py::dtype::of<std::uint32_t>(),
                                    {nodes_of_level(level)});
    std::fill_n(static_cast<std::uint32_t*>(counts.mutable_data()), counts.size(), 0u);
    return counts;
}

// Keys of the chunk's points and their stable partition by bucket, in the
// scratch: (order, counts per group, first non-finite row or N).
py::tuple route(TileScratch& scratch, const py::handle& positions, const Grid& grid, int level,
                const py::handle& cell_group, std::uint32_t groups) {
    const auto points = take_points(positions);
    const auto n = static_cast<py::ssize_t>(points.rows());
    const py::dtype u32 = py::dtype::of<std::uint32_t>();
    const py::tuple found = keys(positions, grid, scratch.lend(TileScratch::KEYS, u32, {n}));
    const auto bad = found[1].cast<std::size_t>();
    if (bad < points.rows()) return py::make_tuple(py::none(), py::none(), bad);
    const py::tuple parts =
        partition(found[0], level, cell_group, groups, scratch.lend(TileScratch::ORDER, u32, {n}),
                  scratch.lend(TileScratch::SORT, u32, {n}));
    return py::make_tuple(parts[0], parts[1], bad);
}

void reserve(TileScratch& scratch, std::size_t rows, std::size_t type_bytes,
             std::size_t color_bytes, std::size_t value_bytes) {
    const std::size_t row_bytes[] = {type_bytes, color_bytes, value_bytes};
    without_interpreter_lock([&] { scratch.bucket().reserve(rows, row_bytes); });
}

// An array over storage that the core shares out, the storage kept by it.
template <class T>
py::array shared_array(std::shared_ptr<const T> storage, const py::dtype& dtype,
                       const std::vector<py::ssize_t>& shape) {
    auto* holder = new std::shared_ptr<const void>(std::move(storage));
    py::capsule owner(holder, [](void* p) { delete static_cast<std::shared_ptr<const void>*>(p); });
    py::array array(dtype, shape, holder->get(), owner);
    array.attr("setflags")(py::arg("write") = false);
    return array;
}

// The shape of `rows` rows like those of `like`.
std::vector<py::ssize_t> shape_of_rows(const py::array& like, std::size_t rows) {
    std::vector<py::ssize_t> shape(like.shape(), like.shape() + like.ndim());
    shape[0] = static_cast<py::ssize_t>(rows);
    return shape;
}

struct BucketColumns;
py::tuple bucket_results(const glbcore::TileBucketScratch& done, const BucketColumns& columns,
                         const py::array& positions, std::size_t n);

struct BucketColumns {
    std::optional<Array<std::uint16_t>> types;
    std::optional<RowBytes> colors;
    std::optional<RowBytes> values;
    glbcore::TileColumn core[glbcore::TileBucketScratch::COLUMNS];
};

// The values per point come as one row of bytes per point (all of a
// point's values packed), which the tiler moves as it moves the point.
BucketColumns take_columns(const py::handle& types, const py::handle& colors,
                           const py::handle& values, std::size_t n) {
    BucketColumns columns;
    columns.types = take_optional_array<std::uint16_t>(types, "types", ArrayForm::vector());
    if (columns.types) {
        require_rows(columns.types->rows(), n, "types");
        columns.core[0] = {reinterpret_cast<const std::uint8_t*>(columns.types->data()), 2};
    }
    if (!colors.is_none()) {
        columns.colors = take_row_bytes(colors, "colors", false);
        require_rows(columns.colors->rows, n, "colors");
        columns.core[1] = {columns.colors->data(), columns.colors->row_bytes};
    }
    if (!values.is_none()) {
        columns.values = take_row_bytes(values, "values", false);
        require_rows(columns.values->rows, n, "values");
        columns.core[2] = {columns.values->data(), columns.values->row_bytes};
    }
    return columns;
}

// One bucket's points to its tiles in one pass (the core's
// TileBucketScratch::run); see the docstring below.
py::tuple bucket(TileScratch& scratch, const py::handle& positions, const py::handle& types,
                 const py::handle& colors, const Grid& grid, int histogram_level, int grid_depth,
                 std::uint64_t points_per_tile, const py::handle& cell_leaf_level,
                 const py::handle& preselected_rows, const py::handle& preselected_levels,
                 bool compress, const py::handle& values) {
    require_level(histogram_level, "histogram_level");
    if (grid_depth < 1) throw py::value_error("grid_depth: expected 1 or more");
    const auto points = take_points(positions);
    const std::size_t n = points.rows();
    rows_below_2_to_32(n, "positions");
    const BucketColumns columns = take_columns(types, colors, values, n);
    const ArrayForm vector = ArrayForm::vector().typed();
    const auto leaves = take_array<std::uint8_t>(cell_leaf_level, "cell_leaf_level",
                                                 vector.of_rows(nodes_of_level(histogram_level)));
    const auto rows = take_array<std::uint32_t>(preselected_rows, "preselected_rows", vector);
    const auto chosen = take_array<std::uint8_t>(preselected_levels, "preselected_levels", vector);
    require_rows(chosen.rows(), rows.rows(), "preselected_levels");
    glbcore::TileBucketPass pass;
    pass.grid = tile_grid(grid);
    pass.levels.histogram_level = histogram_level;
    pass.levels.grid_depth = clamped_depth(grid_depth);
    pass.levels.points_per_tile = points_per_tile;
    pass.levels.cell_leaf_level = leaves.data();
    pass.content = {compress, !columns.types};
    pass.refine = compress && !columns.types;
    pass.preselected_rows = rows.data();
    pass.preselected_levels = chosen.data();
    pass.preselected = rows.rows();
    const std::uint64_t level_limit = glbcore::TILE_KEY_LEVELS + 1;
    const auto [bad_leaf, bad_row, bad_level, bad_point] = without_interpreter_lock([&] {
        const std::size_t leaf = first_not_below(leaves.data(), leaves.rows(), level_limit);
        const std::size_t row = first_not_below(rows.data(), rows.rows(), n);
        const std::size_t level = first_not_below(chosen.data(), chosen.rows(), level_limit);
        std::size_t point = n;
        if (leaf == leaves.rows() && row == rows.rows() && level == chosen.rows()) {
            point = scratch.bucket().run(points.data(), n, columns.core, pass);
        }
        return std::make_tuple(leaf, row, level, point);
    });
    require_below(leaves.data(), bad_leaf, leaves.rows(), "cell_leaf_level", "11");
    require_below(rows.data(), bad_row, rows.rows(), "preselected_rows", "the rows of positions");
    require_below(chosen.data(), bad_level, chosen.rows(), "preselected_levels", "11");
    if (bad_point < n) return py::make_tuple(bad_point);
    return bucket_results(scratch.bucket(), columns, points.array, n);
}

// (first non-finite row = N, positions, types, colors, values, levels,
// nodes, cuts, boxes) of the last run.
py::tuple bucket_results(const glbcore::TileBucketScratch& done, const BucketColumns& columns,
                         const py::array& positions, std::size_t n) {
    const py::array in_order =
        shared_array(done.positions(), py::dtype::of<float>(), shape_of_rows(positions, n));
    py::object types = py::none(), colors = py::none(), values = py::none();
    if (columns.types) {
        types = shared_array(done.column(0), py::dtype::of<std::uint16_t>(),
                             {static_cast<py::ssize_t>(n)});
    }
    if (columns.colors) {
        colors = shared_array(done.column(1), columns.colors->array.dtype(),
                              shape_of_rows(columns.colors->array, n));
    }
    if (columns.values) {
        values = shared_array(done.column(2), columns.values->array.dtype(),
                              shape_of_rows(columns.values->array, n));
    }
    const std::vector<glbcore::TileRun>& runs = done.runs();
    const auto count = static_cast<py::ssize_t>(runs.size());
    py::array_t<std::uint8_t> levels(count);
    py::array_t<std::uint32_t> nodes(count);
    py::array_t<std::uint32_t> cuts(count + 1);
    py::array_t<double> boxes({count, py::ssize_t{2}, py::ssize_t{3}});
    double* box = boxes.mutable_data();
    for (py::ssize_t t = 0; t < count; ++t) {
        levels.mutable_at(t) = runs[t].level;
        nodes.mutable_at(t) = runs[t].node;
        cuts.mutable_at(t) = runs[t].start;
        const glbcore::TileBox& b = done.boxes()[t];
        std::copy(b.lo, b.lo + 3, box + 6 * t);
        std::copy(b.hi, b.hi + 3, box + 6 * t + 3);
    }
    cuts.mutable_at(count) = static_cast<std::uint32_t>(n);
    return py::make_tuple(n, in_order, types, colors, values, levels, nodes, cuts, boxes);
}

py::tuple box_of(const py::handle& y_up, bool compress, bool uniform_grid) {
    const auto points = take_points(y_up);
    float lo[3], hi[3];
    const std::size_t bad = without_interpreter_lock(
        [&] { return glbcore::tile_extents(points.data(), points.rows(), lo, hi); });
    if (points.rows() == 0 || bad < points.rows()) {
        throw py::value_error("y_up: expected finite points, at least one");
    }
    const glbcore::TileBox b = glbcore::tile_box(lo, hi, {compress, uniform_grid});
    return py::make_tuple(py::make_tuple(b.lo[0], b.lo[1], b.lo[2]),
                          py::make_tuple(b.hi[0], b.hi[1], b.hi[2]));
}

}  // namespace

void register_tiles(py::module_& tiles) {
    py::class_<TileScratch>(tiles, "TileScratch",
                            "The working memory of the tiler's tasks on one thread: lend it to\n"
                            "one call at a time. Arrays it returns stay valid; the next call\n"
                            "lending the same room writes into them again.")
        .def(py::init<>())
        .def("reserve", &reserve,
             "Makes room for buckets of `rows` points with type, colour and value rows of\n"
             "these bytes (0: none).",
             py::arg("rows"), py::arg("type_bytes"), py::arg("color_bytes"),
             py::arg("value_bytes") = 0)
        .def("input", &lend_input,
             "An array of `dtype` and `shape` to fill with a bucket's column 0 (positions), 1\n"
             "(types), 2 (colours) or 3 (values per point, a row of bytes each).",
             py::arg("column"), py::arg("dtype"), py::arg("shape"))
        .def("histogram", &zeroed_histogram, "A zeroed uint32 array of 8^level counts.",
             py::arg("level"))
        .def("route", &route,
             "(order, counts, first non-finite row or N): the points' keys on `grid`, stably\n"
             "partitioned by the group of their level-`level` cell (as `partition`); order and\n"
             "counts are None for a non-finite row.",
             py::arg("positions"), py::arg("grid"), py::arg("level"), py::arg("cell_group"),
             py::arg("groups"))
        .def("bucket", &bucket,
             "One bucket to its tiles in one pass: keys, sort, tile levels, grouping by level,\n"
             "gathers, the finer order in grid cells (compressed points), runs, the turn to\n"
             "y-up and the boxes. Returns (first non-finite row,) for a non-finite point, else\n"
             "(N, positions, types, colors, values, levels, nodes, cuts, boxes): the columns\n"
             "(`values`: each point's values as one row of bytes) in tile\n"
             "order (y-up), tile t being rows cuts[t] to cuts[t + 1] of node (levels[t],\n"
             "nodes[t]), boxes[t] its z-up (lo, hi), widened for compressed tiles to the\n"
             "dequantised points. The arrays are read-only.",
             py::arg("positions"), py::arg("types"), py::arg("colors"), py::arg("grid"),
             py::arg("histogram_level"), py::arg("grid_depth"), py::arg("points_per_tile"),
             py::arg("cell_leaf_level"), py::arg("preselected_rows"), py::arg("preselected_levels"),
             py::arg("compress"), py::arg("values") = py::none());
    tiles.def("box", &box_of,
              "The z-up (lo, hi) of a tile of y-up float32 points, widened when `compress` to\n"
              "the dequantised points of its file (uniform_grid for point clouds).",
              py::arg("y_up"), py::arg("compress"), py::arg("uniform_grid"));
    tiles.doc() =
        "The tiler's passes over chunks of points (plexorin.tileset). grid is (lo x, lo y,\n"
        "lo z, cells per unit); keys are 30-bit Morton keys of 1024 cells per axis.";
    tiles.def("keys", &keys,
              "(keys, first non-finite row or N) of (N, 3) float32 positions on the grid.",
              py::arg("positions"), py::arg("grid"), py::arg("out") = py::none());
    tiles.def("key_histogram", &key_histogram,
              "Adds each point's level-`level` node to `histogram` (8^level uint32); returns\n"
              "the first non-finite row or N.",
              py::arg("positions"), py::arg("grid"), py::arg("level"), py::arg("histogram"));
    tiles.def("partition", &partition,
              "(order, counts per group): a stable counting sort of keys by the group of their\n"
              "level-`level` cell, cell_group holding uint8, uint16 or uint32 groups.",
              py::arg("keys"), py::arg("level"), py::arg("cell_group"), py::arg("groups"),
              py::arg("out") = py::none(), py::arg("scratch") = py::none());
    tiles.def("buckets", &buckets,
              "(bucket of every level-`level` cell, first cell of each bucket): whole units cut\n"
              "every bucket_places sorted places.",
              py::arg("cell_starts"), py::arg("leaf_level"), py::arg("level"),
              py::arg("bucket_places"));
    tiles.def("coarse_selection", &coarse_selection,
              "(sorted places, their levels) that the coarse inner nodes choose, from the points\n"
              "and first places of every node of levels 0 to H.",
              py::arg("counts"), py::arg("starts"), py::arg("grid_depth"),
              py::arg("points_per_tile"));
    tiles.def("gather", &gather,
              "Rows of `source` (C-contiguous, rows along the first axis) in `order`.",
              py::arg("source"), py::arg("order"), py::arg("out") = py::none());
    tiles.def("extents", &extents,
              "(lo, hi, first non-finite row or N) of (N, 3) float32 positions.",
              py::arg("positions"));
}

}  // namespace bindings
