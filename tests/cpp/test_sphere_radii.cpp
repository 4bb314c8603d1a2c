// The default sphere radius of each palette type (spheres/spheres.h): 0.4
// times the lower median distance from sampled atoms to their nearest
// neighbour along the Morton curve, the median of all samples for a type
// without any, 1 when there is no distance at all, and the nearest beyond a
// quarter of the typical spacing for a type whose median falls below it.
#include <vector>

#include <gtest/gtest.h>

#include "spheres/spheres.h"

using namespace glbcore;

namespace {

struct Atoms {
    std::vector<float> positions;
    std::vector<std::uint16_t> types;
    void add(float x, float y, float z, std::uint16_t type) {
        positions.insert(positions.end(), {x, y, z});
        types.push_back(type);
    }
};

// A cubic lattice of side n atoms and spacing 0.5, types cycling 0..3.
void add_lattice(Atoms& atoms, int n) {
    for (int i = 0; i < n * n * n; ++i) {
        atoms.add(0.5f * static_cast<float>(i % n), 0.5f * static_cast<float>(i / n % n),
                  0.5f * static_cast<float>(i / (n * n)), static_cast<std::uint16_t>(i % 4));
    }
}

std::vector<float> radii_of(const Atoms& atoms) {
    const auto count = static_cast<std::uint32_t>(atoms.types.size());
    Extents extents = exact_extents(atoms.positions.data(), count);
    const double lo[3] = {extents.min[0], extents.min[1], extents.min[2]};
    const double hi[3] = {extents.max[0], extents.max[1], extents.max[2]};
    const TypeGroups groups =
        group_atoms_by_type(atoms.positions.data(), count, atoms.types.data(), Palette(), lo, hi,
                            production_pipeline_options(count));
    return default_radii(atoms.positions.data(), groups);
}

const float LATTICE_RADIUS = static_cast<float>(0.4 * 0.5);

}  // namespace

TEST(SphereRadii, AreAFractionOfTheSpacingOfALatticeSampledOrNot) {
    for (const int side : {6, 20}) {  // 54 atoms a type, all samples; 2000 a type, sampled
        Atoms lattice;
        add_lattice(lattice, side);
        const auto radii = radii_of(lattice);
        for (std::uint32_t type = 0; type < 4; ++type)
            EXPECT_EQ(radii[type], LATTICE_RADIUS) << side;
    }
}

TEST(SphereRadii, AreOneWithoutAnyDistance) {
    Atoms lone;
    lone.add(1, 2, 3, 6);
    EXPECT_EQ(radii_of(lone)[6], 1.0f);
    Atoms coincident;
    for (int i = 0; i < 100; ++i) coincident.add(1, 2, 3, static_cast<std::uint16_t>(i % 9));
    const auto radii = radii_of(coincident);
    for (std::uint32_t entry = 0; entry < PALETTE_SIZE; ++entry) EXPECT_EQ(radii[entry], 1.0f);
}

TEST(SphereRadii, OfATypeWithoutADistanceAreTheMedianOfAllSamples) {
    // Far from a lattice, a run of 81 coincident atoms (one place on the
    // curve): type 5 in its middle sees only coincident atoms within 32
    // places, type 7 at its ends sees the lattice, far away.
    Atoms atoms;
    add_lattice(atoms, 12);
    for (int i = 0; i < 81; ++i) atoms.add(100, 100, 100, i == 40 ? 5 : 7);
    const auto radii = radii_of(atoms);
    EXPECT_EQ(radii[5], LATTICE_RADIUS);
    EXPECT_GT(radii[7], 10.0f);
}

TEST(SphereRadii, OfATypeWhoseAtomsAllHaveAClosePartnerFollowTheSpacing) {
    // Every type-1 atom of the lattice has a type-4 partner 0.03 away, as a
    // TIP4P oxygen has its virtual site: both types take the nearest
    // neighbour beyond a quarter of the lattice's spacing, not 0.03.
    Atoms atoms;
    add_lattice(atoms, 12);
    const std::size_t lattice = atoms.types.size();
    for (std::size_t i = 0; i < lattice; ++i) {
        if (atoms.types[i] != 1) continue;
        atoms.add(atoms.positions[3 * i] + 0.03f, atoms.positions[3 * i + 1],
                  atoms.positions[3 * i + 2], 4);
    }
    const auto radii = radii_of(atoms);
    EXPECT_EQ(radii[0], LATTICE_RADIUS);
    EXPECT_EQ(radii[1], LATTICE_RADIUS);
    EXPECT_NEAR(radii[4], 0.4 * 0.47, 1e-6);
}
