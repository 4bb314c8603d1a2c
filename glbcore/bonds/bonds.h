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

// Atoms sorted by cell: the atoms of cell c are places start[c] .. start[c + 1]
// of the order, `atoms` the atom at each place. `coordinates` holds each
// place's x y z (fractional and wrapped in a periodic cell) and radius, so
// that the pair tests read memory in order.
struct CellList {
    CellGrid grid;
    std::vector<std::uint32_t> atoms;
    std::vector<std::uint32_t> start;
    std::vector<double> coordinates;  // x y z radius per place
};

// Cells at least `cutoff` wide (cutoff > 0), at most about two per atom.
CellList build_cell_list(const BondGuess& guess, double cutoff);

// The neighbours of cell c to pair it with (of the 26 around it, wrapped in a
// periodic grid) such that each pair of neighbouring cells is met once. Returns
// how many of `found` it filled; allocates nothing (it runs on workers).
using Neighbours = std::array<std::uint32_t, 26>;
std::uint32_t forward_neighbours(const CellGrid& grid, std::uint32_t cell, Neighbours& found);

}  // namespace glbcore
