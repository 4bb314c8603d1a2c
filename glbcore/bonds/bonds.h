// Bonds guessed from distances: the cell list behind guess_bonds of
// molecules.h, which sorts atoms into cells at least the cut-off wide so that
// every bonded pair lies in one cell or in two neighbouring ones.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/base.h"
#include "molecules.h"

namespace glbcore {

// The cells: n[axis] per axis over the fractional coordinates of the atoms
// (in the periodic cell, wrapped into [0, 1); else over their bounds).
struct CellGrid {
    std::array<std::uint32_t, 3> n{1, 1, 1};
    bool periodic = false;
    std::uint32_t cells() const { return n[0] * n[1] * n[2]; }
};

// Atoms sorted by cell: the atoms of cell c are atoms[start[c] .. start[c + 1]).
struct CellList {
    CellGrid grid;
    std::vector<std::uint32_t> atoms;
    std::vector<std::uint32_t> start;
    std::vector<double> fractional;  // s x y z per atom (periodic cells only)
};

// Cells at least `cutoff` wide (cutoff > 0), at most about two per atom.
CellList build_cell_list(const BondGuess& guess, double cutoff);

// The distinct neighbours d > c of cell c (of the 26 around it, wrapped in a
// periodic grid), ascending, so that each pair of cells is met once. Returns
// how many of `found` it filled; allocates nothing (it runs on workers).
using Neighbours = std::array<std::uint32_t, 26>;
std::uint32_t forward_neighbours(const CellGrid& grid, std::uint32_t cell, Neighbours& found);

}  // namespace glbcore
