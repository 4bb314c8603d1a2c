"""Bonds and the periodic cell on real MD files (MDAnalysis's test data):
every half-bond read back from the instance transforms joins its atom to the
bond's middle; guessed bonds are MDAnalysis's guess_bonds; the cell's edges
are the box's vectors; the Khronos validator passes every file."""

import warnings

import numpy as np
import pytest

import plexorin
from glb_reader import accessor_array, parse_glb
from plexorin import cli, elements, molecules
from real_data import real_file

mda = pytest.importorskip("MDAnalysis")
spatial = pytest.importorskip("scipy.spatial")
from MDAnalysis.guesser.default_guesser import DefaultGuesser  # noqa: E402
from MDAnalysis.lib.mdamath import triclinic_vectors  # noqa: E402


def data(name):
    return str(real_file("mdanalysistests", "2.11.0", f"MDAnalysisTests/data/{name}"))


def named(document, name):
    return next(i for i, node in enumerate(document["nodes"]) if node.get("name") == name)


def frame_shift(document):
    frame = [n for n in document["nodes"] if n.get("name") == "Frame"]
    return np.array(frame[0].get("translation", [0, 0, 0])) if frame else np.zeros(3)


def drawn_bonds(glb, positions, cell):
    """(atom, partner) of every half-bond, and the halves' lengths: the atom at
    one end of the half, the partner at twice the middle minus the atom (in
    the periodic cell, modulo the cell)."""
    file = parse_glb(glb)
    document = file.document
    shift = frame_shift(document)
    inverse = np.linalg.inv(cell) if cell is not None else np.eye(3) / 1e6

    def wrapped(points):
        fractional = np.mod((points @ inverse) if cell is not None else points / 1e6 + 0.5, 1.0)
        return np.where(fractional >= 1.0, 0.0, fractional)

    tree = spatial.cKDTree(wrapped(positions), boxsize=1.0)
    found, lengths = [], []
    for child in document["nodes"][named(document, "Bonds")]["children"]:
        attributes = document["nodes"][child]["extensions"]["EXT_mesh_gpu_instancing"]["attributes"]
        middle_of_half = accessor_array(file, attributes["TRANSLATION"]) + shift
        q = accessor_array(file, attributes["ROTATION"]) / 32767.0
        half = accessor_array(file, attributes["SCALE"])[:, 1]
        x, y, z, w = q.T  # the quaternion turning +y
        axis = np.stack([2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)], axis=1)
        ends = [middle_of_half - axis * half[:, None] / 2, middle_of_half + axis * half[:, None] / 2]
        hits = [tree.query(wrapped(end)) for end in ends]
        first = hits[0][0] < hits[1][0]
        atom = np.where(first, hits[0][1], hits[1][1])
        middle = np.where(first[:, None], ends[1], ends[0])
        assert np.minimum(hits[0][0], hits[1][0]).max() < 1e-4  # one end on its atom
        distance, partner = tree.query(wrapped(2 * middle - positions[atom]))
        assert distance.max() < 1e-4
        found += list(zip(atom.tolist(), partner.tolist()))
        lengths.append(2 * half)
    return found, np.concatenate(lengths)


def drawn_cell(glb):
    """(the LINES primitive, its first corner, each edge's vector) of the node "Cell"."""
    file = parse_glb(glb)
    document = file.document
    primitive = document["meshes"][document["nodes"][named(document, "Cell")]["mesh"]]["primitives"][0]
    corners = accessor_array(file, primitive["attributes"]["POSITION"]) + frame_shift(document)
    edges = accessor_array(file, primitive["indices"]).reshape(-1, 2)
    return primitive, corners[0], corners[edges[:, 1]] - corners[edges[:, 0]]


def assert_cell_edges(vectors, cell):
    assert len(vectors) == 12
    for row in cell:  # each cell vector is four parallel edges
        assert np.isclose(vectors, row, atol=1e-3).all(axis=1).sum() == 4


def as_halves(pairs):
    return sorted([(i, j) for i, j in pairs] + [(j, i) for i, j in pairs])


def test_topology_bonds_drawn_between_their_atoms_and_validated(tmp_path, validate_glbs):
    """PSF bonds (CHARMM adk) and PDB CONECT records through `convert`."""
    outputs = []
    for files, style in ((["adk.psf", "adk_dims.dcd"], "ball-and-stick"),
                         (["1hvr.pdb"], "licorice")):
        output = tmp_path / f"{style}.glb"
        assert cli.main(["convert", *map(data, files), str(output), "--style", style,
                         "--bonds", "topology", "--compress"]) == 0
        molecule = molecules.read_molecule(*map(data, files))
        glb = output.read_bytes()
        found, _ = drawn_bonds(glb, molecule.positions, molecule.cell)
        assert len(molecule.bonds) and sorted(found) == as_halves(molecule.bonds.tolist())
        outputs.append(glb)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = mda.Universe(data("adk.psf"), data("adk_dims.dcd"))
    assert {tuple(sorted(b)) for b in universe.bonds.indices.tolist()} == {
        tuple(b) for b in np.sort(molecules.read_molecule(data("adk.psf"), data("adk_dims.dcd"))
                                  .bonds, axis=1).tolist()}
    reports = validate_glbs(outputs)
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0), (0, 0)]


@pytest.mark.parametrize("files", [["adk_oplsaa.gro"], ["tip125_tric_C36.psf", "tip125_tric_C36.dcd"]])
def test_guessed_bonds_are_mdanalysis_guess_bonds_and_the_cell_is_the_box(files, validate_glb):
    """Triclinic cells: a solvated protein (rhombic dodecahedron) and a water box."""
    molecule = molecules.read_molecule(*map(data, files))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = mda.Universe(*map(data, files))
    symbols = np.array(elements.SYMBOLS, dtype=object)[molecule.elements]
    group = universe.atoms[molecule.indices]
    universe.add_TopologyAttr("types", np.full(len(universe.atoms), "X", dtype=object))
    group.types = symbols.astype(str)
    radii = {s.upper(): float(elements.VDW_RADII[elements.atomic_number(s)]) for s in set(symbols)}
    guesser = DefaultGuesser(universe, fudge_factor=0.55, lower_bound=0.1, vdwradii=radii,
                             box=universe.dimensions)
    where = {int(index): k for k, index in enumerate(molecule.indices)}
    expected = [(where[i], where[j]) for i, j in guesser.guess_bonds(group, group.positions)]

    glb = plexorin.atoms(**molecule.atoms_arguments(), style="ball-and-stick", bonds="guess",
                         cell=molecule.cell)
    found, lengths = drawn_bonds(glb, molecule.positions, molecule.cell)
    assert len(expected) > len(molecule.positions) / 2 and sorted(found) == as_halves(expected)
    assert lengths.max() < 2.0  # nearest images: no bond across the box

    primitive, first, vectors = drawn_cell(glb)
    assert primitive["mode"] == 1 and np.allclose(first, 0, atol=1e-4)
    assert_cell_edges(vectors, triclinic_vectors(universe.dimensions, dtype=np.float64))
    report = validate_glb(glb)
    assert (report["numErrors"], report["numWarnings"]) == (0, 0)


def test_convert_of_a_crystal_through_ase_draws_its_cell(tmp_path):
    ase_io = pytest.importorskip("ase.io")
    from ase.build import bulk
    crystal = bulk("Cu", "fcc", a=3.6) * (2, 3, 2)  # a triclinic (primitive) cell
    ase_io.write(tmp_path / "POSCAR", crystal, format="vasp")
    for flags, drawn in (([], True), (["--no-cell"], False)):
        out = tmp_path / f"cu{len(flags)}.glb"
        assert cli.main(["convert", str(tmp_path / "POSCAR"), str(out), *flags]) == 0
        names = [node.get("name") for node in parse_glb(out.read_bytes()).document["nodes"]]
        assert ("Cell" in names) == drawn
    assert_cell_edges(drawn_cell(out.with_name("cu0.glb").read_bytes())[2], np.asarray(crystal.cell))


def test_bad_bonds_and_cells_are_named():
    xyz = np.zeros((3, 3)) + np.arange(3)[:, None]
    cases = [({"bonds": [[0, 1], [1, 3]]}, r"bonds\[1\] = \[1, 3\]"),
             ({"bonds": [[0, 1], [2, 0], [-1, 2]]}, r"bonds\[2\] = \[-1, 2\]"),
             ({"bonds": [[0.0, 1.0]]}, "bonds: expected integer"),
             ({"bonds": "guessed"}, "bonds: expected 'guess'"),
             ({"cell": np.eye(2)}, r"cell: expected the rows a, b, c as shape \(3, 3\)"),
             ({"cell": [[1, 0, 0], [0, np.nan, 0], [0, 0, 1]]}, r"cell\[1\]\[1\] = nan"),
             ({"cell": np.zeros((3, 3))}, "cell: the three vectors span no volume")]
    for keywords, message in cases:
        with pytest.raises((ValueError, TypeError), match=message):
            plexorin.atoms(xyz, elements=["C", "H", "O"], style="licorice", **keywords)
