// Bonds guessed by the cell list (molecules.h) on simple cubic lattices of
// spacing 1 with radii 1 (cut-off 1.1): each atom bonds its six nearest
// neighbours and no diagonal one, in open space, in a periodic cell of
// three cells or more per axis, and in one so small that all 26 neighbour
// cells wrap to one; against a brute-force nearest-image search.
#include <cmath>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "molecules.h"

using namespace glbcore;

namespace {

struct Lattice {
    std::vector<float> positions;
    std::vector<float> radii;
    double cell[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
};

Lattice lattice(int n) {
    Lattice l;
    for (int i = 0; i < n * n * n; ++i) {
        l.positions.insert(l.positions.end(),
                           {static_cast<float>(i % n), static_cast<float>(i / n % n),
                            static_cast<float>(i / (n * n))});
        l.radii.push_back(1.0f);
    }
    l.cell[0] = l.cell[4] = l.cell[8] = n;
    return l;
}

std::vector<std::uint32_t> guess(const Lattice& l, bool periodic, unsigned workers = 1) {
    BondGuess g;
    g.positions = l.positions.data();
    g.count = static_cast<std::uint32_t>(l.radii.size());
    g.radii = l.radii.data();
    g.cell = periodic ? l.cell : nullptr;
    g.workers = workers;
    return guess_bonds(g);
}

std::vector<std::uint32_t> brute_force(const Lattice& l, bool periodic) {
    std::vector<std::uint32_t> pairs;
    const std::size_t n = l.radii.size();
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = i + 1; j < n; ++j) {
            double d2 = 0;
            for (int k = 0; k < 3; ++k) {
                double d = l.positions[3 * j + k] - l.positions[3 * i + k];
                if (periodic) d -= l.cell[4 * k] * std::nearbyint(d / l.cell[4 * k]);
                d2 += d * d;
            }
            const double reach = 0.55 * (l.radii[i] + l.radii[j]);
            if (d2 > 0.01 && d2 < reach * reach) pairs.insert(pairs.end(), {i, j});
        }
    return pairs;
}

}  // namespace

TEST(GuessBonds, NearestNeighboursOfLatticesOpenAndPeriodic) {
    const Lattice four = lattice(4), two = lattice(2);
    EXPECT_EQ(guess(four, false).size(), 2u * 3 * 16 * 3);  // 3 n^2 (n - 1) bonds
    EXPECT_EQ(guess(four, true).size(), 2u * 3 * 64);       // 3 n^3 bonds
    EXPECT_EQ(guess(two, true).size(), 2u * 12);            // each pair of neighbours once
    EXPECT_EQ(guess(four, false), brute_force(four, false));
    EXPECT_EQ(guess(four, true), brute_force(four, true));
    EXPECT_EQ(guess(two, true), brute_force(two, true));
    EXPECT_EQ(guess(four, true, 3), guess(four, true, 1));
}

TEST(GuessBonds, LowerBoundAndRefusals) {
    Lattice l = lattice(3);
    l.positions.insert(l.positions.end(), {0.05f, 0.0f, 0.0f});  // a twin of atom 0, no bond
    l.radii.push_back(1.0f);
    const std::vector<std::uint32_t> pairs = guess(l, false);
    EXPECT_EQ(pairs, brute_force(l, false));
    for (std::size_t k = 0; k < pairs.size(); k += 2)
        EXPECT_FALSE(pairs[k] == 0 && pairs[k + 1] == 27);
    l.positions[3 * 5 + 1] = NAN;
    EXPECT_THROW(guess(l, false), std::invalid_argument);
    l.positions[3 * 5 + 1] = 0;
    l.cell[8] = 0;  // a flat cell
    EXPECT_THROW(guess(l, true), std::invalid_argument);
}
