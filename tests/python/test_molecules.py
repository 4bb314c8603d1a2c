"""Molecules on real MD and structure files (MDAnalysis's test data, fetched
from the package index), checked against MDAnalysis reading the same files
and ASE's element tables; what `convert` writes is read back by glb_reader."""

import shutil
import warnings

import numpy as np
import pytest

from element_reference import bondi_radius, jmol_linear
from glb_reader import attribute_array, parse_glb
from real_data import real_file
from test_compressed import decode_and_validate  # noqa: F401  (a fixture)

mda = pytest.importorskip("MDAnalysis")
pytest.importorskip("gemmi")
ase_data = pytest.importorskip("ase.data")
from plexorin import cli, elements, molecules, readers, trajectory  # noqa: E402


def data(name):
    return str(real_file("mdanalysistests", "2.11.0", f"MDAnalysisTests/data/{name}"))


def universe(*names):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return mda.Universe(*map(data, names))


def test_element_table_is_ases_and_its_colours_are_distinct():
    from ase.data import colors, vdw_alvarez
    assert elements.SYMBOLS == tuple(ase_data.chemical_symbols)
    jmol = colors.jmol_colors[1:]
    np.testing.assert_array_equal(elements.JMOL_COLORS[1:len(jmol) + 1], np.round(jmol * 255))
    np.testing.assert_array_equal(elements.BONDI_RADII[:104], ase_data.vdw_radii)
    np.testing.assert_array_equal(elements.ALVAREZ_RADII[:104], vdw_alvarez.vdw_radii)
    np.testing.assert_array_equal(elements.COVALENT_RADII, ase_data.covalent_radii)
    assert np.isfinite(elements.VDW_RADII).all() and len(set(map(bytes, elements.JMOL_COLORS))) == 119
    # The linear colours turn back into the 8-bit sRGB ones by the standard's encoding.
    linear = elements.LINEAR_COLORS
    encoded = np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)
    np.testing.assert_array_equal(np.round(encoded * 255), elements.JMOL_COLORS)


def test_symbols_of_any_case_numbers_and_unknown_symbols():
    with pytest.warns(elements.UnknownElementWarning) as caught:
        numbers = elements.atomic_numbers(["FE", "fe", "Fe", 26, "Qq", "Zz", "Qq", "x"])
    assert numbers.tolist() == [26, 26, 26, 26, 0, 0, 0, 0]
    assert len(caught) == 1 and "'Qq', 'Zz'" in str(caught[0].message)
    types, table = elements.species(["O", "H", "C", "O", "Fe"])
    assert table.symbols == ("H", "C", "O", "Fe") and types.tolist() == [2, 0, 1, 2, 3]
    with pytest.raises(ValueError, match=r"elements\[1\] = 119 "):
        elements.atomic_numbers([1, 119])


# (files, frames): PSF+DCD (CHARMM), GROMACS GRO+XTC and TPR+TRR of a TIP4P
# system, an NMR ensemble of 24 models, a PDB with names such as 1HH1 and no
# element column, a PDB whose mmCIF twin gemmi reads.
CASES = [(("adk.psf", "adk_dims.dcd"), 98), (("adk_oplsaa.gro", "adk_oplsaa.xtc"), 10),
         (("adk_oplsaa.tpr", "adk_oplsaa.trr"), 10), (("nmr_neopetrosiamide.pdb",), 24),
         (("adk_oplsaa.pdb",), 1), (("mmcif/3PWP.cif.gz",), 1)]


@pytest.mark.parametrize("names, count", CASES, ids=lambda c: c if isinstance(c, int) else c[0])
def test_real_files_read_as_mdanalysis_reads_them(names, count):
    molecule = molecules.read_molecule(*map(data, names))
    twin = names[0].endswith(".cif.gz")  # MDAnalysis reads the PDB file of the same entry
    reference = universe(*(["mmcif/3PWP.pdb.gz"] if twin else names))
    real = reference.select_atoms("not name MW")  # TIP4P's virtual site
    np.testing.assert_allclose(molecule.positions, real.positions, atol=1e-4)
    np.testing.assert_allclose(ase_data.atomic_masses[molecule.elements], real.masses, atol=0.01)
    frames = list(molecule.frames())
    assert len(frames) == molecule.n_frames == len(reference.trajectory) == count
    assert all(len(f.positions) == len(real) for f in frames) and 74 not in molecule.elements
    reference.trajectory[-1]
    np.testing.assert_allclose(frames[-1].positions, real.positions, atol=1e-4)
    if count > 1 and not names[0].endswith(".pdb"):
        assert frames[-1].time == pytest.approx(reference.trajectory.time)
    if reference.dimensions is None or tuple(reference.dimensions[:3]) == (1, 1, 1):
        assert frames[-1].cell is None  # none, or CRYST1's placeholder of NMR files
    else:
        expected = mda.lib.mdamath.triclinic_vectors(reference.dimensions)
        np.testing.assert_allclose(frames[-1].cell, expected, atol=1e-4)
    if hasattr(reference.atoms, "bonds") and not twin:  # PSF, TPR, PDB CONECT
        bonds = np.sort(np.searchsorted(real.indices, real.intra_bonds.indices), axis=1)
        assert sorted(map(tuple, molecule.bonds.tolist())) == sorted(map(tuple, bonds.tolist()))


def test_selections_and_virtual_sites():
    u = universe("adk_oplsaa.tpr")
    dry = molecules.read_molecule(data("adk_oplsaa.tpr"), data("adk_oplsaa.xtc"), select="not resname SOL")
    expected = u.select_atoms("not resname SOL")
    np.testing.assert_array_equal(dry.indices, expected.indices)
    assert len(dry.bonds) == len(expected.intra_bonds) > 3000
    for text in ("protein", "protein and name CA"):
        protein = molecules.read_molecule(data("adk_oplsaa.pdb"), data("adk_oplsaa.xtc"), select=text)
        expected = universe("adk_oplsaa.pdb", "adk_oplsaa.xtc").select_atoms(text)
        np.testing.assert_array_equal(protein.indices, expected.indices)
        expected.universe.trajectory[-1]
        np.testing.assert_allclose(list(protein.frames(-1))[0].positions, expected.positions)
    wet = molecules.read_molecule(data("adk_oplsaa.gro"), keep_virtual=True)
    assert len(wet.elements) == len(u.atoms)
    assert set(wet.elements[u.select_atoms("name MW").indices].tolist()) == {0}


def glb_atoms(path):
    glb = parse_glb(path.read_bytes())
    return attribute_array(glb, "POSITION"), attribute_array(glb, "COLOR_0")


def sorted_rows(array):
    return array[np.lexsort(array.T)]


def test_convert_trajectory_frames_and_tip4p_water(tmp_path):
    out = tmp_path / "frames"
    assert cli.main(["convert", "--frames", "0:10:3", data("adk.psf"), data("adk_dims.dcd"), str(out)]) == 0
    paths = sorted(out.iterdir())
    u = universe("adk.psf", "adk_dims.dcd")
    assert len(paths) == 4
    for path, ts in zip(paths, u.trajectory[0:10:3]):
        np.testing.assert_array_equal(sorted_rows(glb_atoms(path)[0]), sorted_rows(ts.positions.copy()))
    glb = tmp_path / "water.glb"
    assert cli.main(["convert", data("adk_oplsaa.gro"), data("adk_oplsaa.xtc"), str(glb)]) == 0
    positions, colours = glb_atoms(glb)
    u = universe("adk_oplsaa.gro", "adk_oplsaa.xtc")
    real = u.select_atoms("not name MW")
    np.testing.assert_array_equal(sorted_rows(positions), sorted_rows(real.positions))
    # Sodium's colour for the 4 ions, none of tungsten's among 11084 TIP4P waters.
    assert np.isclose(colours, jmol_linear("Na")).all(axis=1).sum() == 4
    assert not np.isclose(colours, jmol_linear("W")).all(axis=1).any()


def test_an_nmr_ensemble_gives_one_file_per_model_in_element_colours(tmp_path):
    pdb = data("nmr_neopetrosiamide.pdb")
    u = universe("nmr_neopetrosiamide.pdb")
    carbon = (u.atoms.elements == "C").sum()
    grey = jmol_linear("C").astype(np.float32)
    ase_paths = trajectory.write_frames(pdb, tmp_path / "ase")
    assert cli.main(["convert", "--frames", pdb, str(tmp_path / "gemmi")]) == 0
    gemmi_paths = sorted((tmp_path / "gemmi").iterdir())
    assert len(ase_paths) == len(gemmi_paths) == 24
    for paths in (ase_paths, gemmi_paths):
        for index in (0, 23):
            positions, colours = glb_atoms(paths[index])
            u.trajectory[index]
            np.testing.assert_allclose(sorted_rows(positions), sorted_rows(u.atoms.positions), atol=1e-5)
            assert (colours == grey).all(axis=1).sum() == carbon


def test_a_cp2k_dcd_is_read_through_the_progress_bar(tmp_path):
    # A NAMD DCD whose first title line is CP2K's, which ASE's reader asks for.
    with open(data("watdyn.dcd"), "rb") as file:
        dcd = bytearray(file.read())
    dcd[100:180] = b"REMARKS FILETYPE CP2K DCD".ljust(80)
    (tmp_path / "run.dcd").write_bytes(bytes(dcd))
    u = universe("watdyn.psf", "watdyn.dcd")
    frames = list(readers.iter_atoms(tmp_path / "run.dcd"))
    assert len(frames) == len(u.trajectory) == 10
    np.testing.assert_array_equal(frames[-1].positions, u.trajectory[-1].positions)
    np.testing.assert_array_equal(readers.read(tmp_path / "run.dcd").positions, u.trajectory[0].positions)


@pytest.mark.parametrize("files, options, fragments", [
    (["adk_oplsaa.gro"], ["--select", "resname ("], ["--select 'resname (': Selection failed"]),
    (["adk_oplsaa.gro"], ["--select", "resname XYZ"], ["--select 'resname XYZ' selects no atoms"]),
    (["tip125_tric_C36.psf", "adk_dims.dcd"], [],
     ["adk_dims.dcd: 3,341 atoms per frame, but the topology ", "tip125_tric_C36.psf has 375 atoms"]),
    (["adk.psf"], [], ["adk.psf: holds no coordinates"]),
])
def test_bad_molecular_input_is_one_line_and_writes_nothing(files, options, fragments, tmp_path, capsys):
    output = tmp_path / "out.glb"
    assert cli.main(["convert", *map(data, files), str(output), *options]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and all(f in err for f in fragments), err
    assert not output.exists()


def test_missing_extra_is_named(monkeypatch, tmp_path):
    shutil.copy(data("adk_oplsaa.gro"), tmp_path / "w.gro")
    monkeypatch.setitem(__import__("sys").modules, "MDAnalysis", None)
    with pytest.raises(readers.MissingReader,
                       match=r"MDAnalysis, which is not installed .*plexorin\[molecules\]"):
        molecules.read_molecule(tmp_path / "w.gro")


def elements_by_mass(atoms):
    """The symbols MDAnalysis's masses name, through ASE's table."""
    z = np.abs(ase_data.atomic_masses[None, 1:] - atoms.masses[:, None]).argmin(axis=1) + 1
    return np.array(ase_data.chemical_symbols)[z]


def colours_by_position(glb, positions):
    """COLOR_0 of the stored points paired with `positions` by sorting both."""
    stored = attribute_array(glb, "POSITION")
    assert len(stored) == len(positions)
    back, order = np.lexsort(stored.T), np.lexsort(np.float32(positions).T)
    np.testing.assert_array_equal(stored[back], np.float32(positions)[order])
    colours = np.empty_like(attribute_array(glb, "COLOR_0"))
    colours[order] = attribute_array(glb, "COLOR_0")[back]
    return colours


@pytest.mark.parametrize("names", [("adk_oplsaa.gro",), ("adk.psf", "adk_dims.dcd")])
def test_real_molecules_in_jmol_colours_and_van_der_waals_spheres(names, tmp_path, validate_glbs,
                                                                  decode_and_validate):  # noqa: F811
    """adk in TIP4P water and adk of CHARMM by `convert`, read back by the
    test's GLB reader against MDAnalysis's atoms and ASE's element tables:
    every point in its element's colour; as spheres (plain and compressed)
    one node per element, named by its symbol, of its colour and Bondi
    radius, water oxygens included."""
    from test_spheres import sphere_radius, spheres
    real = universe(*names).select_atoms("not name MW")
    symbols = elements_by_mass(real.atoms)
    outputs = {options: tmp_path / f"{len(options)}.glb"
               for options in ((), ("--spheres",), ("--spheres", "--compress"))}
    for options, path in outputs.items():
        assert cli.main(["convert", *map(data, names), str(path), *options]) == 0
    colours = colours_by_position(parse_glb(outputs[()].read_bytes()), real.positions)
    for symbol in set(symbols):
        np.testing.assert_allclose(colours[symbols == symbol], np.broadcast_to(
            jmol_linear(symbol), colours[symbols == symbol].shape), rtol=1e-6)
    decoded = decode_and_validate({names[0]: outputs["--spheres", "--compress"].read_bytes()})
    for glb in (parse_glb(outputs["--spheres", ].read_bytes()), decoded[names[0]]):
        read = spheres(glb)
        assert sorted(read) == sorted(set(symbols))
        for symbol, (translation, scale, sphere, material) in read.items():
            assert len(translation) == (symbols == symbol).sum() and scale is None
            np.testing.assert_allclose(material["pbrMetallicRoughness"]["baseColorFactor"][:3],
                                       jmol_linear(symbol), rtol=1e-6)
            assert sphere_radius(sphere) == pytest.approx(bondi_radius(symbol), rel=1e-6)
    if names[0].endswith(".gro"):
        waters = real.select_atoms("resname SOL and name OW")
        assert len(waters) > 10000 and set(symbols[np.isin(real.indices, waters.indices)]) == {"O"}
    reports = validate_glbs(list(outputs.values())[:2])
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * 2


def test_a_palette_of_twenty_colours_by_residue_name(validate_glbs):
    """21 residue names of adk in water on a palette of 20 uint8 colours: 20
    distinct colours in every style, the 21st name taking the last."""
    import plexorin
    real = universe("adk_oplsaa.gro").select_atoms("not name MW")
    _, types = np.unique(real.resnames, return_inverse=True)
    assert types.max() == 20
    palette = np.random.default_rng(20).permutation(256)[:60].reshape(20, 3).astype(np.uint8)
    expected = palette[np.minimum(types, 19)] / np.float32(255)
    files = {(style, compress): plexorin.atoms(real.positions, types, palette=palette, style=style,
                                               compress=compress)
             for style in ("points", "spheres") for compress in (False, True)}
    colours = colours_by_position(parse_glb(files["points", False]), real.positions)
    np.testing.assert_array_equal(colours, expected.astype(np.float32))
    for (style, compress), data_ in files.items():
        document = parse_glb(data_).document
        atoms = next(n for n in document["nodes"] if n.get("name") == "Atoms")
        assert [t["name"] for t in atoms["extras"]["atomTypes"]][-2:] == ["type 18", "type 19+"]
        if style == "points" and not compress:
            continue
        materials = {tuple(np.round(np.array(m["pbrMetallicRoughness"]["baseColorFactor"][:3]) *
                                    255).astype(int)) for m in document["materials"]}
        assert materials == {tuple(c) for c in palette.tolist()}, (style, compress)
    reports = validate_glbs(list(files.values()))
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * 4


def test_tip4p_virtual_sites_do_not_shrink_the_default_radius_of_oxygen():
    """Bare types, virtual sites kept: every water oxygen has its site 0.15 A
    away, yet oxygen's balls follow its O-H bond (MDAnalysis's positions)."""
    import plexorin
    from test_spheres import sphere_radius, spheres
    wet = molecules.read_molecule(data("adk_oplsaa.gro"), keep_virtual=True)
    types, table = elements.species(wet.elements)
    read = spheres(parse_glb(plexorin.atoms(wet.positions, types, style="spheres")))
    water = universe("adk_oplsaa.gro").select_atoms("resname SOL")
    bond = np.median(np.linalg.norm(water.select_atoms("name OW").positions -
                                    water.select_atoms("name HW1").positions, axis=1))
    oxygen = sphere_radius(read[f"type {table.symbols.index('O')}"][2])
    assert 0.4 * bond * 0.99 <= oxygen <= 0.4 * bond * 1.01
