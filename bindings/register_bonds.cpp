// plexorin._native's molecule helpers: bonds guessed from distances.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "arguments.h"
#include "molecules.h"
#include "native.h"

namespace bindings {

namespace {

py::array guess_bonds(const py::object& positions_object, const py::object& radii_object,
                      const py::object& cell_object, double factor, double lower_bound,
                      unsigned workers) {
    const auto positions = take_array<float>(positions_object, "positions", ArrayForm::table(3));
    const std::uint32_t count = rows_below_2_to_32(positions.rows(), "positions");
    const auto radii = take_array<float>(radii_object, "radii", ArrayForm::vector());
    require_rows(radii.rows(), count, "radii");
    const auto cell =
        take_optional_array<double>(cell_object, "cell", ArrayForm::table(3).of_rows(3));
    glbcore::BondGuess guess;
    guess.positions = positions.data();
    guess.count = count;
    guess.radii = radii.data();
    guess.cell = cell ? cell->data() : nullptr;
    guess.factor = factor;
    guess.lower_bound = lower_bound;
    guess.workers = workers;
    std::vector<std::uint32_t> pairs =
        without_interpreter_lock([&] { return glbcore::guess_bonds(guess); });
    py::array_t<std::uint32_t> out({static_cast<py::ssize_t>(pairs.size() / 2), py::ssize_t{2}});
    if (!pairs.empty())
        std::memcpy(out.mutable_data(), pairs.data(), pairs.size() * sizeof(std::uint32_t));
    return out;
}

}  // namespace

void register_bonds(py::module_& m) {
    m.def("guess_bonds", &guess_bonds,
          "(M, 2) uint32 pairs i < j, ascending, of atoms closer than factor * (R_i + R_j)\n"
          "and farther than lower_bound: (N, 3) float32 positions, (N,) float32 radii, an\n"
          "optional (3, 3) float64 periodic cell (rows a, b, c) for the nearest image.",
          py::arg("positions"), py::arg("radii"), py::arg("cell") = py::none(),
          py::arg("factor") = 0.55, py::arg("lower_bound") = 0.1, py::arg("workers") = 0);
}

}  // namespace bindings
