// The parts of plexorin._native, each registered by its own source.
#pragma once

#include <pybind11/pybind11.h>

namespace bindings {

// atoms, point_cloud, mesh, their size twins and PointWriteScratch.
void register_scenes(pybind11::module_& m);
// guess_bonds: bonds of molecules from distances.
void register_bonds(pybind11::module_& m);
// The tiler's passes, into the submodule `tiles`.
void register_tiles(pybind11::module_& tiles);

}  // namespace bindings
