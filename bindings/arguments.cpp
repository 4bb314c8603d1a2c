// The argument policy of plexorin._native (see arguments.h).
#include "arguments.h"

#include <cstdint>
#include <limits>

namespace bindings {

namespace {

std::string shape_text(const ArrayForm& form) {
    if (form.ndim == 1) return "1-D";
    std::string columns = std::to_string(form.columns_from);
    if (form.columns_to != form.columns_from) columns += " to " + std::to_string(form.columns_to);
    return "(N, " + columns + ")";
}

// "a writeable, aligned C-contiguous (N, 3) float32 array", as expected.
std::string expected_text(const py::dtype& dtype, const ArrayForm& form) {
    std::string text = form.writeable ? "a writeable, " : form.aligned ? "an " : "a ";
    if (form.aligned) text += "aligned ";
    text +=
        "C-contiguous " + shape_text(form) + " " + py::str(dtype).cast<std::string>() + " array";
    if (form.rows >= 0) text += " of " + std::to_string(form.rows) + " rows";
    return text;
}

bool is_aligned(const py::array& array) {
    const auto address = reinterpret_cast<std::uintptr_t>(array.data());
    return address % static_cast<std::uintptr_t>(array.dtype().alignment()) == 0;
}

// What came instead, in a few words and without its data.
std::string given_text(const py::handle& object) {
    if (!py::isinstance<py::array>(object)) return Py_TYPE(object.ptr())->tp_name;
    const auto array = py::reinterpret_borrow<py::array>(object);
    std::string text = py::str(array.dtype()).cast<std::string>() + " array of shape (";
    for (py::ssize_t k = 0; k < array.ndim(); ++k) {
        text += (k ? ", " : "") + std::to_string(array.shape(k));
    }
    text += array.ndim() == 1 ? ",)" : ")";
    if (!(array.flags() & py::array::c_style)) text += ", not C-contiguous";
    if (!is_aligned(array)) text += ", not aligned";
    if (!array.writeable()) text += ", read-only";
    return text;
}

[[noreturn]] void refuse(const py::handle& object, const char* name, const std::string& expected) {
    throw py::type_error(std::string(name) + ": expected " + expected + ", got " +
                         given_text(object));
}

bool has_layout(const py::array& array, const ArrayForm& form) {
    if (array.ndim() != form.ndim || !(array.flags() & py::array::c_style)) return false;
    if (form.ndim == 2 &&
        (array.shape(1) < form.columns_from || array.shape(1) > form.columns_to)) {
        return false;
    }
    if (form.rows >= 0 && array.shape(0) != form.rows) return false;
    return (!form.aligned || is_aligned(array)) && (!form.writeable || array.writeable());
}

}  // namespace

ArrayForm ArrayForm::columns_up_to(py::ssize_t last) const {
    ArrayForm form = *this;
    form.columns_to = last;
    return form;
}

ArrayForm ArrayForm::typed() const {
    ArrayForm form = *this;
    form.aligned = true;
    return form;
}

ArrayForm ArrayForm::written() const {
    ArrayForm form = typed();
    form.writeable = true;
    return form;
}

ArrayForm ArrayForm::of_rows(py::ssize_t n) const {
    ArrayForm form = *this;
    form.rows = n;
    return form;
}

bool has_dtype(const py::array& array, const py::dtype& dtype) {
    const py::dtype given = array.dtype();
    const char order = given.byteorder();  // '=' native, '|' single bytes, '<' or '>' swapped
    return given.normalized_num() == dtype.normalized_num() &&
           given.itemsize() == dtype.itemsize() && (order == '=' || order == '|');
}

py::array require_array(const py::handle& object, const char* name, const py::dtype& dtype,
                        const ArrayForm& form) {
    if (!py::isinstance<py::array>(object)) refuse(object, name, expected_text(dtype, form));
    auto array = py::reinterpret_borrow<py::array>(object);
    if (!has_dtype(array, dtype) || !has_layout(array, form)) {
        refuse(object, name, expected_text(dtype, form));
    }
    return array;
}

RowBytes take_row_bytes(const py::handle& object, const char* name, bool writeable) {
    const std::string expected =
        std::string(writeable ? "a writeable " : "a ") + "C-contiguous array of rows";
    if (!py::isinstance<py::array>(object)) refuse(object, name, expected);
    auto array = py::reinterpret_borrow<py::array>(object);
    if (array.ndim() < 1 || !(array.flags() & py::array::c_style) ||
        (writeable && !array.writeable())) {
        refuse(object, name, expected);
    }
    RowBytes rows{array, static_cast<std::size_t>(array.shape(0)), 0};
    if (rows.rows != 0) rows.row_bytes = static_cast<std::size_t>(array.nbytes()) / rows.rows;
    return rows;
}

py::array result_array(const py::handle& lent, const char* name, const py::dtype& dtype,
                       const std::vector<py::ssize_t>& shape) {
    if (lent.is_none()) return py::array(dtype, shape);
    std::string shape_text = "(";
    for (std::size_t k = 0; k < shape.size(); ++k) {
        shape_text += (k ? ", " : "") + std::to_string(shape[k]);
    }
    shape_text += shape.size() == 1 ? ",)" : ")";
    const std::string expected = "a writeable, aligned C-contiguous " +
                                 py::str(dtype).cast<std::string>() + " array of shape " +
                                 shape_text;
    if (!py::isinstance<py::array>(lent)) refuse(lent, name, expected);
    auto array = py::reinterpret_borrow<py::array>(lent);
    const bool fits =
        has_dtype(array, dtype) && (array.flags() & py::array::c_style) && array.writeable() &&
        is_aligned(array) &&
        std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()) == shape;
    if (!fits) refuse(lent, name, expected);
    return array;
}

void require_rows(std::size_t got, std::size_t rows, const char* name) {
    if (got != rows) {
        throw py::value_error(std::string(name) + ": expected " + std::to_string(rows) +
                              " rows, got " + std::to_string(got));
    }
}

std::uint32_t rows_below_2_to_32(std::uint64_t rows, const char* name) {
    if (rows > std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error(std::string(name) + ": " + std::to_string(rows) +
                              " rows are more than 4294967295");
    }
    return static_cast<std::uint32_t>(rows);
}

}  // namespace bindings
