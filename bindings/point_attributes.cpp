// Per-point attributes taken from (name, array) pairs.
#include "point_attributes.h"

#include <pybind11/numpy.h>

#include "arguments.h"

namespace bindings {

namespace {

struct AttributeDtype {
    py::dtype dtype;
    glbcore::AttributeType type;
};

const std::vector<AttributeDtype>& attribute_dtypes() {
    static const std::vector<AttributeDtype> dtypes = {
        {py::dtype::of<std::int8_t>(), glbcore::AttributeType::int8},
        {py::dtype::of<std::uint8_t>(), glbcore::AttributeType::uint8},
        {py::dtype::of<std::int16_t>(), glbcore::AttributeType::int16},
        {py::dtype::of<std::uint16_t>(), glbcore::AttributeType::uint16},
        {py::dtype::of<float>(), glbcore::AttributeType::float32},
    };
    return dtypes;
}

}  // namespace

HeldAttributes::HeldAttributes(const py::handle& attributes, std::size_t rows) {
    if (attributes.is_none()) return;
    const auto pairs = py::reinterpret_borrow<py::list>(attributes);
    names_.reserve(pairs.size());  // items_ point into the names
    for (const py::handle pair : pairs) {
        const auto entry = pair.cast<std::pair<std::string, py::object>>();
        names_.push_back(entry.first);
        const std::string label = "attributes[" + entry.first + "]";
        if (!py::isinstance<py::array>(entry.second)) {
            throw py::type_error(label + ": expected a NumPy array");
        }
        const auto given = py::reinterpret_borrow<py::array>(entry.second);
        glbcore::PointAttribute item;
        bool known = false;
        for (const AttributeDtype& candidate : attribute_dtypes()) {
            if (!has_dtype(given, candidate.dtype)) continue;
            const bool floats = candidate.type == glbcore::AttributeType::float32;
            const ArrayForm form =
                given.ndim() == 2 && floats ? ArrayForm::table(2).columns_up_to(4) : ArrayForm{};
            arrays_.push_back(require_array(given, label.c_str(), candidate.dtype, form));
            item.type = candidate.type;
            known = true;
            break;
        }
        if (!known) {
            throw py::type_error(label + ": expected int8, uint8, int16, uint16 or float32");
        }
        const auto& held = py::reinterpret_borrow<py::array>(arrays_.back());
        require_rows(static_cast<std::size_t>(held.shape(0)), rows, label.c_str());
        item.data = held.data();
        item.components = held.ndim() == 2 ? static_cast<std::uint32_t>(held.shape(1)) : 1;
        items_.push_back(item);
    }
    for (std::size_t i = 0; i < items_.size(); ++i) items_[i].name = names_[i].c_str();
}

}  // namespace bindings
