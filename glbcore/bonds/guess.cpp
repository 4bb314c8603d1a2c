// guess_bonds: the arguments checked, the cell list walked in two passes over
// ranges of cells (count, then fill, so workers allocate nothing), and the
// pairs put in order by a counting sort on the first atom.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "base/base.h"
#include "bonds/bonds.h"

namespace glbcore {

namespace {

void require_inputs(const BondGuess& guess) {
    if (!std::isfinite(guess.factor) || guess.factor <= 0.0)
        throw std::invalid_argument("factor: must be a finite number above 0");
    if (!std::isfinite(guess.lower_bound) || guess.lower_bound < 0.0)
        throw std::invalid_argument("lower_bound: must be a finite number of at least 0");
    if (guess.cell) require_finite(guess.cell, 9, "cell");
    for (std::uint32_t i = 0; i < guess.count; ++i) {
        const float* r = guess.positions + 3 * static_cast<std::size_t>(i);
        if (!std::isfinite(r[0]) || !std::isfinite(r[1]) || !std::isfinite(r[2]))
            throw std::invalid_argument("positions[" + std::to_string(i) + "] is not finite");
        if (!std::isfinite(guess.radii[i]) || guess.radii[i] < 0.0f)
            throw std::invalid_argument("radii[" + std::to_string(i) +
                                        "] is not a finite number of at least 0");
    }
}

// The pair test of the atoms at two places of the cell list, with the
// nearest image in a periodic cell.
class PairTest {
public:
    PairTest(const BondGuess& guess, const CellList& list)
        : cell_(guess.cell),
          at_(list.coordinates.data()),
          factor_(guess.factor),
          lower2_(guess.lower_bound * guess.lower_bound) {}

    bool bonded(std::uint32_t p, std::uint32_t q) const {
        const double* a = at_ + 4 * static_cast<std::size_t>(p);
        const double* b = at_ + 4 * static_cast<std::size_t>(q);
        double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        if (cell_) {
            for (double& s : d) s -= std::nearbyint(s);
            const double s[3] = {d[0], d[1], d[2]};  // d = s0 a + s1 b + s2 c
            for (int k = 0; k < 3; ++k)
                d[k] = s[0] * cell_[k] + s[1] * cell_[3 + k] + s[2] * cell_[6 + k];
        }
        const double d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        const double reach = factor_ * (a[3] + b[3]);
        return d2 > lower2_ && d2 < reach * reach;
    }

private:
    const double* cell_;
    const double* at_;
    double factor_;
    double lower2_;
};

// Calls emit(i, j) for every bonded pair of atoms of the cells [begin, end).
template <class Emit>
void walk_cells(const CellList& list, const PairTest& test, std::uint32_t begin, std::uint32_t end,
                Emit&& emit) {
    Neighbours neighbours;
    const std::uint32_t* atom = list.atoms.data();
    for (std::uint32_t c = begin; c < end; ++c) {
        const std::uint32_t first = list.start[c], last = list.start[c + 1];
        if (first == last) continue;
        for (std::uint32_t p = first; p < last; ++p)
            for (std::uint32_t q = p + 1; q < last; ++q)
                if (test.bonded(p, q)) emit(atom[p], atom[q]);
        const std::uint32_t n = forward_neighbours(list.grid, c, neighbours);
        for (std::uint32_t k = 0; k < n; ++k) {
            const std::uint32_t other = list.start[neighbours[k]];
            const std::uint32_t other_end = list.start[neighbours[k] + 1];
            for (std::uint32_t p = first; p < last; ++p)
                for (std::uint32_t q = other; q < other_end; ++q)
                    if (test.bonded(p, q)) emit(atom[p], atom[q]);
        }
    }
}

// Pairs (low, high) in order of low, then high: a counting sort on low; each
// atom's few partners sorted in place.
std::vector<std::uint32_t> ordered(const std::vector<std::uint32_t>& pairs, std::uint32_t atoms) {
    const std::size_t m = pairs.size() / 2;
    std::vector<std::uint32_t> start(static_cast<std::size_t>(atoms) + 1, 0);
    for (std::size_t k = 0; k < m; ++k) ++start[std::min(pairs[2 * k], pairs[2 * k + 1]) + 1];
    for (std::size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
    std::vector<std::uint32_t> partner(m);
    std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t i = pairs[2 * k], j = pairs[2 * k + 1];
        partner[next[std::min(i, j)]++] = std::max(i, j);
    }
    std::vector<std::uint32_t> out(2 * m);
    for (std::uint32_t i = 0; i < atoms; ++i) {
        std::sort(partner.begin() + start[i], partner.begin() + start[i + 1]);
        for (std::uint32_t k = start[i]; k < start[i + 1]; ++k) {
            out[2 * k] = i;
            out[2 * k + 1] = partner[k];
        }
    }
    return out;
}

}  // namespace

std::vector<std::uint32_t> guess_bonds(const BondGuess& guess) {
    RoundToNearestScope rounding;
    require_inputs(guess);
    const float largest =
        guess.count ? *std::max_element(guess.radii, guess.radii + guess.count) : 0.0f;
    const double cutoff = guess.factor * 2.0 * largest;
    if (guess.count < 2 || !(cutoff > 0.0)) return {};
    const CellList list = build_cell_list(guess, cutoff);
    const PairTest test(guess, list);

    const unsigned workers =
        guess.workers ? guess.workers
                      : split_work(guess.count, std::thread::hardware_concurrency()).workers;
    const std::uint32_t cells = list.grid.cells();
    const WorkSplit split = parallel_split(cells, workers);
    std::vector<std::size_t> found(split.workers + 1, 0);
    run_parallel_ranges(cells, workers, [&](std::uint32_t begin, std::uint32_t end) {
        std::size_t n = 0;
        walk_cells(list, test, begin, end, [&](std::uint32_t, std::uint32_t) { ++n; });
        found[begin / split.chunk + 1] = n;
    });
    for (std::size_t r = 1; r < found.size(); ++r) found[r] += found[r - 1];
    std::vector<std::uint32_t> pairs(2 * found.back());
    run_parallel_ranges(cells, workers, [&](std::uint32_t begin, std::uint32_t end) {
        std::uint32_t* out = pairs.data() + 2 * found[begin / split.chunk];
        walk_cells(list, test, begin, end, [&](std::uint32_t i, std::uint32_t j) {
            *out++ = i;
            *out++ = j;
        });
    });
    return ordered(pairs, guess.count);
}

}  // namespace glbcore
