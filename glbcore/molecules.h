// What the package draws molecules with, beyond atoms: bonds guessed from
// the distances between atoms, in a periodic cell or in open space.
//
// Caller contracts are those of scenes.h: arrays hold at least the rows
// their counts say, row-major; invalid values are refused with
// std::invalid_argument naming the argument and the first bad row.
#pragma once

#include <cstdint>
#include <vector>

namespace glbcore {

// Atoms i and j are bonded when lower_bound < |r_j - r_i| < factor * (R_i + R_j),
// with R the atoms' radii: the rule of MDAnalysis's guess_bonds (and VMD's),
// whose defaults are van der Waals radii, factor 0.55 and lower bound 0.1 A.
// In a periodic cell the distance is that of the nearest image: the
// fractional difference rounded to the nearest whole cell, which is the
// nearest image whenever the cut-off is at most half the cell's smallest
// width.
struct BondGuess {
    const float* positions = nullptr;  // x y z per atom
    std::uint32_t count = 0;
    const float* radii = nullptr;  // one per atom, finite and >= 0
    // The periodic cell as rows a, b, c (any origin: only differences
    // count); null for none.
    const double* cell = nullptr;
    double factor = 0.55;      // finite, > 0
    double lower_bound = 0.1;  // finite, >= 0
    unsigned workers = 0;      // 0: one per hardware thread (one below 100000 atoms)
};

// The bonded pairs as flat (i, j) rows, i < j, in increasing order of i then
// j: the same bonds in the same order whatever the work split. Linear in the
// atoms for a bounded density: a cell list of cells at least the largest
// cut-off wide, each cell paired with itself and its 26 neighbours once.
std::vector<std::uint32_t> guess_bonds(const BondGuess& guess);

}  // namespace glbcore
