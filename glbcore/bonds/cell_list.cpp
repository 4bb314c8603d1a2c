// The cell list: fractional coordinates, cells at least the cut-off wide,
// and atoms sorted into them by a stable counting sort.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "bonds/bonds.h"

namespace glbcore {

namespace {

using Vec = std::array<double, 3>;

Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }

// Rows of the inverse of the matrix whose columns are a, b, c: s = inverse * r.
struct Fractional {
    std::array<Vec, 3> rows;
    Vec widths;  // the cell's width across each pair of faces
};

Fractional fractional_of(const double* cell) {
    const Vec a{cell[0], cell[1], cell[2]}, b{cell[3], cell[4], cell[5]},
        c{cell[6], cell[7], cell[8]};
    const double volume = dot(a, cross(b, c));
    if (!std::isfinite(volume) || std::fabs(volume) <= 0.0)
        throw std::invalid_argument("cell: the three vectors span no volume");
    Fractional f;
    const std::array<Vec, 3> faces{cross(b, c), cross(c, a), cross(a, b)};
    for (int axis = 0; axis < 3; ++axis) {
        for (int k = 0; k < 3; ++k) f.rows[axis][k] = faces[axis][k] / volume;
        f.widths[axis] = std::fabs(volume) / norm(faces[axis]);
    }
    return f;
}

// Cells per axis: as many as fit at `cutoff` wide, fewer when that would
// make more than about two cells per atom (wider cells stay correct).
std::array<std::uint32_t, 3> cells_per_axis(const Vec& widths, double cutoff, std::uint32_t atoms) {
    std::array<double, 3> n;
    for (int axis = 0; axis < 3; ++axis)
        n[axis] = std::max(1.0, std::min(1024.0, std::floor(widths[axis] / cutoff)));
    const double most = 2.0 * atoms + 64.0;
    const double total = n[0] * n[1] * n[2];
    if (total > most) {
        const double shrink = std::cbrt(most / total);
        for (double& k : n) k = std::max(1.0, std::floor(k * shrink));
    }
    return {static_cast<std::uint32_t>(n[0]), static_cast<std::uint32_t>(n[1]),
            static_cast<std::uint32_t>(n[2])};
}

std::uint32_t axis_cell(double s, std::uint32_t n) {
    const double k = std::floor(s * n);
    if (!(k > 0.0)) return 0;
    return k >= n ? n - 1 : static_cast<std::uint32_t>(k);
}

// Each atom's cell: in the periodic cell from its wrapped fractional
// coordinates (kept for the distances), else over the bounds.
std::vector<std::uint32_t> periodic_cells(const BondGuess& guess, double cutoff, CellList& list,
                                          std::vector<double>& fractional) {
    const Fractional f = fractional_of(guess.cell);
    list.grid.periodic = true;
    list.grid.n = cells_per_axis(f.widths, cutoff, guess.count);
    fractional.resize(3 * static_cast<std::size_t>(guess.count));
    std::vector<std::uint32_t> cell(guess.count);
    for (std::uint32_t i = 0; i < guess.count; ++i) {
        const Vec r{guess.positions[3 * i], guess.positions[3 * i + 1], guess.positions[3 * i + 2]};
        std::uint32_t index = 0;
        for (int axis = 2; axis >= 0; --axis) {
            double s = dot(f.rows[axis], r);
            s -= std::floor(s);
            fractional[3 * i + axis] = s;
            index = index * list.grid.n[axis] + axis_cell(s, list.grid.n[axis]);
        }
        cell[i] = index;
    }
    return cell;
}

std::vector<std::uint32_t> open_cells(const BondGuess& guess, double cutoff, CellList& list) {
    Vec lo, hi;
    lo.fill(std::numeric_limits<double>::infinity());
    hi.fill(-std::numeric_limits<double>::infinity());
    for (std::uint32_t i = 0; i < guess.count; ++i)
        for (int axis = 0; axis < 3; ++axis) {
            lo[axis] = std::min<double>(lo[axis], guess.positions[3 * i + axis]);
            hi[axis] = std::max<double>(hi[axis], guess.positions[3 * i + axis]);
        }
    const Vec widths{hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    list.grid.n = cells_per_axis(widths, cutoff, guess.count);
    std::vector<std::uint32_t> cell(guess.count);
    for (std::uint32_t i = 0; i < guess.count; ++i) {
        std::uint32_t index = 0;
        for (int axis = 2; axis >= 0; --axis) {
            const double s = widths[axis] > 0.0
                                 ? (guess.positions[3 * i + axis] - lo[axis]) / widths[axis]
                                 : 0.0;
            index = index * list.grid.n[axis] + axis_cell(s, list.grid.n[axis]);
        }
        cell[i] = index;
    }
    return cell;
}

}  // namespace

CellList build_cell_list(const BondGuess& guess, double cutoff) {
    CellList list;
    std::vector<double> fractional;
    const std::vector<std::uint32_t> cell = guess.cell
                                                ? periodic_cells(guess, cutoff, list, fractional)
                                                : open_cells(guess, cutoff, list);
    list.start.assign(list.grid.cells() + 1, 0);
    for (std::uint32_t c : cell) ++list.start[c + 1];
    for (std::size_t c = 1; c < list.start.size(); ++c) list.start[c] += list.start[c - 1];
    std::vector<std::uint32_t> next(list.start.begin(), list.start.end() - 1);
    list.atoms.resize(guess.count);
    list.coordinates.resize(4 * static_cast<std::size_t>(guess.count));
    for (std::uint32_t i = 0; i < guess.count; ++i) {
        const std::uint32_t place = next[cell[i]]++;
        list.atoms[place] = i;
        double* out = list.coordinates.data() + 4 * static_cast<std::size_t>(place);
        for (int axis = 0; axis < 3; ++axis)
            out[axis] = guess.cell ? fractional[3 * i + axis] : guess.positions[3 * i + axis];
        out[3] = guess.radii[i];
    }
    return list;
}

std::uint32_t forward_neighbours(const CellGrid& grid, std::uint32_t cell, Neighbours& found) {
    const std::array<long, 3> n{grid.n[0], grid.n[1], grid.n[2]};
    const std::array<long, 3> at{cell % n[0], (cell / n[0]) % n[1], cell / (n[0] * n[1])};
    // With three cells or more along every periodic axis, the 13 offsets of
    // the forward half-shell reach every neighbour once; with fewer, several
    // offsets wrap to one cell, so all 26 are taken and duplicates dropped.
    const bool half_shell = !grid.periodic || (n[0] >= 3 && n[1] >= 3 && n[2] >= 3);
    std::uint32_t count = 0;
    const bool interior = at[0] >= 1 && at[0] + 1 < n[0] && at[1] >= 1 && at[1] + 1 < n[1] &&
                          at[2] >= 1 && at[2] + 1 < n[2];
    if (interior) {  // most cells: no wrap, no edge
        static constexpr int HALF_SHELL[13][3] = {
            {1, 0, 0},  {-1, 1, 0}, {0, 1, 0}, {1, 1, 0},  {-1, -1, 1}, {0, -1, 1}, {1, -1, 1},
            {-1, 0, 1}, {0, 0, 1},  {1, 0, 1}, {-1, 1, 1}, {0, 1, 1},   {1, 1, 1}};
        for (const auto& step : HALF_SHELL)
            found[count++] =
                static_cast<std::uint32_t>(cell + step[0] + n[0] * (step[1] + n[1] * step[2]));
        return count;
    }
    for (int dz = half_shell ? 0 : -1; dz <= 1; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                if (half_shell && (dz == 0 && (dy < 0 || (dy == 0 && dx <= 0)))) continue;
                const std::array<long, 3> step{dx, dy, dz};
                long index = 0;
                bool inside = true;
                for (int axis = 2; axis >= 0; --axis) {
                    long k = at[axis] + step[axis];
                    if (grid.periodic) k = k < 0 ? k + n[axis] : (k >= n[axis] ? k - n[axis] : k);
                    inside = inside && k >= 0 && k < n[axis];
                    index = index * n[axis] + k;
                }
                if (!inside) continue;
                if (half_shell || index > static_cast<long>(cell))
                    found[count++] = static_cast<std::uint32_t>(index);
            }
    if (half_shell) return count;
    std::sort(found.begin(), found.begin() + count);
    return static_cast<std::uint32_t>(std::unique(found.begin(), found.begin() + count) -
                                      found.begin());
}

}  // namespace glbcore
