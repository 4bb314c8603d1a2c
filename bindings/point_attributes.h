// The `attributes` argument of plexorin._native's scene builders: a list of
// (name, array) pairs, each array of `rows` rows of int8, uint8, int16,
// uint16 or float32 (1-D), or float32 with 2 to 4 columns. The package
// narrows and checks them first; here they are only held and described.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "scenes.h"

namespace bindings {

namespace py = pybind11;

class HeldAttributes {
public:
    HeldAttributes(const py::handle& attributes, std::size_t rows);
    glbcore::PointAttributes view() const {
        return {items_.data(), static_cast<std::uint32_t>(items_.size())};
    }

private:
    std::vector<std::string> names_;
    std::vector<py::object> arrays_;
    std::vector<glbcore::PointAttribute> items_;
};

}  // namespace bindings
