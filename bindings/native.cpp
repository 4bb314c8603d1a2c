// The module plexorin._native: the builders behind the public package, one
// source per capability (register_scenes.cpp, register_tiles.cpp), all
// under the argument policy of arguments.h.
#include <pybind11/pybind11.h>

#include "native.h"

PYBIND11_MODULE(_native, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = "Builders behind the plexorin package; call them through plexorin's functions.";
    bindings::register_scenes(m);
    bindings::register_bonds(m);
    pybind11::module_ tiles = m.def_submodule("tiles");
    bindings::register_tiles(tiles);
}
