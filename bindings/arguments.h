// The argument policy of plexorin._native, one for all of its functions.
// The package converts and checks every argument first, so an array that
// reaches the module is a NumPy array of exactly the dtype asked for, in
// native byte order, C-contiguous, with the dimensions asked for; arrays the
// core reads as typed elements (the tiler's passes) are also aligned to
// their element, and arrays the module writes are writeable. Anything else
// is refused with a TypeError naming the argument, never converted or
// copied. Lengths that disagree with other arguments, and values the core
// would use to index past an array, are refused with ValueError before the
// core runs.
//
// The interpreter lock is released around the core's work, so that threads
// of the host overlap; this layer holds the arrays meanwhile.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bindings {

namespace py = pybind11;

// What an array argument must be besides its dtype.
struct ArrayForm {
    int ndim = 1;  // 1, or 2 with columns_from..columns_to columns
    py::ssize_t columns_from = 0;
    py::ssize_t columns_to = 0;
    bool aligned = false;    // the core reads typed elements from it
    bool writeable = false;  // the module writes into it
    py::ssize_t rows = -1;   // the one length it must have; -1: any

    static ArrayForm vector() { return ArrayForm{}; }
    static ArrayForm table(py::ssize_t columns) { return ArrayForm{2, columns, columns}; }
    ArrayForm columns_up_to(py::ssize_t last) const;
    ArrayForm typed() const;    // aligned
    ArrayForm written() const;  // writeable and aligned
    ArrayForm of_rows(py::ssize_t n) const;
};

// An array argument of element type T, held for the call.
template <class T>
struct Array {
    py::array array;
    std::size_t rows() const { return static_cast<std::size_t>(array.shape(0)); }
    std::size_t columns() const {
        return array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1)) : 1;
    }
    const T* data() const { return static_cast<const T*>(array.data()); }
    T* mutable_data() { return static_cast<T*>(array.mutable_data()); }
};

// Whether `array` has exactly the dtype of T in native byte order.
bool has_dtype(const py::array& array, const py::dtype& dtype);
template <class T>
bool has_dtype(const py::array& array) {
    return has_dtype(array, py::dtype::of<T>());
}

// Refuses with a TypeError naming `name` what is not a NumPy array of
// `dtype` laid out as `form` asks.
py::array require_array(const py::handle& object, const char* name, const py::dtype& dtype,
                        const ArrayForm& form);

template <class T>
Array<T> take_array(const py::handle& object, const char* name, const ArrayForm& form) {
    return Array<T>{require_array(object, name, py::dtype::of<T>(), form)};
}

template <class T>
std::optional<Array<T>> take_optional_array(const py::handle& object, const char* name,
                                            const ArrayForm& form) {
    if (object.is_none()) return std::nullopt;
    return take_array<T>(object, name, form);
}

// Any C-contiguous NumPy array with rows along its first axis, of any
// dtype: rows moved as bytes.
struct RowBytes {
    py::array array;
    std::size_t rows = 0;
    std::size_t row_bytes = 0;
    std::uint8_t* data() { return static_cast<std::uint8_t*>(array.mutable_data()); }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(array.data()); }
};
RowBytes take_row_bytes(const py::handle& object, const char* name, bool writeable);

// The array a caller lends for a result of `dtype` and `shape` (None: a new
// one): made once and reused by callers that run many tasks, as fresh
// memory costs page faults.
py::array result_array(const py::handle& lent, const char* name, const py::dtype& dtype,
                       const std::vector<py::ssize_t>& shape);
template <class T>
Array<T> result_array(const py::handle& lent, const char* name, std::size_t n) {
    return Array<T>{result_array(lent, name, py::dtype::of<T>(), {static_cast<py::ssize_t>(n)})};
}

// Refuses an array whose rows differ from `rows`, with a ValueError.
void require_rows(std::size_t got, std::size_t rows, const char* name);

// A row count that the core counts in 32 bits, or a ValueError.
std::uint32_t rows_below_2_to_32(std::uint64_t rows, const char* name);

// Runs `work` with the interpreter lock released and returns its result.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
    py::gil_scoped_release released;
    return std::forward<Work>(work)();
}

}  // namespace bindings
