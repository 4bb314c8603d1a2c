// The Python module _plexorin: adapts buffer and sequence arguments to plain
// arrays, calls one builder of the core and returns its file as `bytes`.
// The interpreter lock is held for the whole call, builder included.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bytes_output.h"
#include "glbcore.h"

namespace py = pybind11;

namespace {

// Buffer byte counts are 32-bit; larger buffers are refused rather than
// wrapped around.
constexpr std::uint64_t MAX_BUFFER_BYTES = std::numeric_limits<std::uint32_t>::max();

// Copies the items of a strided view into `to` in row-major order, item by
// item: the view's bytes are read once and written once, with no temporary.
// (PyBuffer_ToContiguous stages every non-contiguous last dimension through
// a temporary of that dimension's size, which for a one-dimensional view is
// a second copy of everything.)
template <std::size_t Item>
void copy_items(std::uint8_t*& to, const std::uint8_t* from, Py_ssize_t extent, Py_ssize_t stride,
                std::size_t item = Item) {
    for (Py_ssize_t i = 0; i < extent; ++i, from += stride, to += item) {
        std::memcpy(to, from, Item != 0 ? Item : item);  // a fixed size inlines
    }
}

void copy_rows(std::uint8_t*& to, const std::uint8_t* from, const Py_buffer& view, int dim) {
    const Py_ssize_t extent = view.shape[dim];
    const Py_ssize_t stride = view.strides[dim];
    if (dim + 1 == view.ndim) {
        switch (view.itemsize) {
            case 2: return copy_items<2>(to, from, extent, stride);
            case 4: return copy_items<4>(to, from, extent, stride);
            default:
                return copy_items<0>(to, from, extent, stride,
                                     static_cast<std::size_t>(view.itemsize));
        }
    }
    for (Py_ssize_t i = 0; i < extent; ++i, from += stride) copy_rows(to, from, view, dim + 1);
}

// The bytes of one buffer argument, valid for the lifetime of this object.
// It holds the buffer view, so the exporter cannot resize or free the memory
// while later conversions run Python code and the builder reads it. A view
// that is not C-contiguous is copied once into row-major order, but only on
// request (copy_if_strided): the entry functions first let the builder
// refuse what it would refuse, so that no refusal comes after a copy.
class ByteRun {
public:
    explicit ByteRun(py::buffer_info info) : info_(std::move(info)) {}
    ByteRun(ByteRun&&) = default;
    ByteRun& operator=(ByteRun&&) = default;
    ByteRun(const ByteRun&) = delete;
    ByteRun& operator=(const ByteRun&) = delete;

    const void* data = nullptr;
    std::uint32_t size = 0;

    bool needs_copy() const {
        return size != 0 && contiguous_ == nullptr && !PyBuffer_IsContiguous(info_.view(), 'C');
    }
    void copy_if_strided() {
        if (!needs_copy()) return;
        // Uninitialised: every byte is written by the copy.
        contiguous_.reset(static_cast<std::uint8_t*>(std::malloc(size)));
        if (contiguous_ == nullptr) throw std::bad_alloc();
        glbcore::advise_huge_pages(contiguous_.get(), size);
        std::uint8_t* to = contiguous_.get();
        copy_rows(to, static_cast<const std::uint8_t*>(info_.ptr), *info_.view(), 0);
        data = contiguous_.get();
    }
    const py::buffer_info& info() const { return info_; }

private:
    struct FreeBytes {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    py::buffer_info info_;
    std::unique_ptr<std::uint8_t[], FreeBytes> contiguous_;
};

// Start and byte count (item count times item size) of a buffer argument.
ByteRun buf_bytes(const py::buffer& buffer) {
    ByteRun run(buffer.request());  // strides and format, read-only is enough
    const py::buffer_info& info = run.info();
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(info.size) * static_cast<std::uint64_t>(info.itemsize);
    if (bytes > MAX_BUFFER_BYTES) {
        throw py::value_error("buffer of " + std::to_string(bytes) +
                              " bytes is too large (the limit is 4294967295 bytes)");
    }
    run.data = info.ptr;
    run.size = static_cast<std::uint32_t>(bytes);
    return run;
}

// Copies the strided ones among the runs, after `check_sizes` (the builder's
// size twin) has refused whatever the builder would refuse.
template <class CheckSizes>
void copy_strided_runs(std::initializer_list<ByteRun*> runs, CheckSizes check_sizes) {
    bool any = false;
    for (const ByteRun* run : runs) any = any || run->needs_copy();
    if (!any) return;
    check_sizes();
    for (ByteRun* run : runs) run->copy_if_strided();
}

// The first n elements of a sequence as doubles.
void read_doubles(const py::sequence& seq, double* out, std::uint32_t n) {
    const Py_ssize_t length = PyObject_Length(seq.ptr());
    if (length < 0) throw py::error_already_set();
    if (static_cast<std::uint64_t>(length) < n) throw py::value_error("sequence too short");
    for (std::uint32_t i = 0; i < n; ++i) {
        py::object item = py::reinterpret_steal<py::object>(
            PySequence_GetItem(seq.ptr(), static_cast<Py_ssize_t>(i)));
        if (!item) throw py::error_already_set();
        out[i] = py::cast<double>(item);
    }
}

// The lower and upper corner of a bounding box, three doubles each.
struct Box {
    double lo[3];
    double hi[3];
};

Box read_box(const py::sequence& vmin, const py::sequence& vmax) {
    Box box;
    read_doubles(vmin, box.lo, 3);
    read_doubles(vmax, box.hi, 3);
    return box;
}

template <class T>
const T* as(const ByteRun& run) {
    return static_cast<const T*>(run.data);
}

py::bytes atom_glb(const py::buffer& positions, const py::buffer& types, const py::sequence& vmin,
                   const py::sequence& vmax) {
    ByteRun pos = buf_bytes(positions);
    ByteRun typ = buf_bytes(types);
    const Box box = read_box(vmin, vmax);
    const std::uint32_t count = pos.size / 12;
    // The builder reads one 16-bit type per atom; never read past the buffer.
    if (typ.size / 2 < count) {
        throw py::value_error("types holds " + std::to_string(typ.size / 2) +
                              " 16-bit values but positions hold " + std::to_string(count) +
                              " atoms");
    }
    copy_strided_runs({&pos, &typ}, [&] { glbcore::atom_glb_size(count, box.lo, box.hi); });
    bindings::BytesOutput out;
    glbcore::write_atom_glb(as<float>(pos), count, as<std::uint16_t>(typ), box.lo, box.hi, out);
    return out.take();
}

py::bytes point_cloud_glb(const py::buffer& positions, const py::buffer& colors,
                          const py::sequence& vmin, const py::sequence& vmax) {
    ByteRun pos = buf_bytes(positions);
    ByteRun col = buf_bytes(colors);
    const Box box = read_box(vmin, vmax);
    copy_strided_runs({&pos, &col}, [&] {
        glbcore::point_cloud_glb_size(pos.size / 4, col.size / 4, box.lo, box.hi);
    });
    bindings::BytesOutput out;
    glbcore::write_point_cloud_glb(as<float>(pos), pos.size / 4, as<float>(col), col.size / 4,
                                   box.lo, box.hi, out);
    return out.take();
}

py::bytes mesh_glb(const py::buffer& positions, const py::buffer& normals,
                   const py::buffer& indices, const py::sequence& bounds,
                   const py::sequence& base_color, double metallic, double roughness,
                   const py::sequence& emissive, bool double_sided, const py::object& colors) {
    ByteRun pos = buf_bytes(positions);
    ByteRun nrm = buf_bytes(normals);
    ByteRun idx = buf_bytes(indices);
    ByteRun col(py::buffer_info{});
    if (!colors.is_none()) col = buf_bytes(py::buffer(colors));
    double box[6];
    read_doubles(bounds, box, 6);
    glbcore::Material material;
    read_doubles(base_color, material.base_color, 4);
    material.metallic = metallic;
    material.roughness = roughness;
    read_doubles(emissive, material.emissive, 3);
    material.double_sided = double_sided;
    copy_strided_runs({&pos, &nrm, &idx, &col}, [&] {
        const bool has_colors = col.data != nullptr && col.size / 4 != 0;
        glbcore::mesh_glb_size(pos.size / 4, nrm.size / 4, idx.size / 4, has_colors, col.size / 4,
                               box, material);
    });
    bindings::BytesOutput out;
    glbcore::write_mesh_glb(as<float>(pos), pos.size / 4, as<float>(nrm), nrm.size / 4,
                            as<std::uint32_t>(idx), idx.size / 4, as<float>(col), col.size / 4, box,
                            material, out);
    return out.take();
}

}  // namespace

PYBIND11_MODULE(_plexorin, m, py::multiple_interpreters::not_supported()) {
    m.doc() =
        "Native builder of binary glTF (GLB) files from flat arrays, on a core shared with other "
        "host bindings.";
    m.def("atom_glb", &atom_glb, py::arg("positions"), py::arg("types"), py::arg("vmin"),
          py::arg("vmax"));
    m.def("point_cloud_glb", &point_cloud_glb, py::arg("positions"), py::arg("colors"),
          py::arg("vmin"), py::arg("vmax"));
    m.def("mesh_glb", &mesh_glb, py::arg("positions"), py::arg("normals"), py::arg("indices"),
          py::arg("bounds"), py::arg("base_color"), py::arg("metallic"), py::arg("roughness"),
          py::arg("emissive"), py::arg("double_sided"), py::arg("colors") = py::none());
}
