// Random atom clouds for the tests of the atom pipeline.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

struct Atoms {
    std::vector<float> positions;      // x y z per atom
    std::vector<std::uint16_t> types;  // 0 to 12: palette entries and types past the last
    std::uint32_t count() const { return static_cast<std::uint32_t>(types.size()); }
};

// Coordinates uniform in [lo, hi), the same for a given seed on every machine.
inline Atoms random_atoms(std::uint32_t count, unsigned seed, float lo = -0.1f, float hi = 1.1f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coordinate(lo, hi);
    std::uniform_int_distribution<int> type(0, 12);
    Atoms a;
    a.positions.resize(3 * std::size_t{count});
    for (float& p : a.positions) p = coordinate(rng);
    a.types.resize(count);
    for (auto& t : a.types) t = static_cast<std::uint16_t>(type(rng));
    return a;
}
