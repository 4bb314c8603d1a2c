"""Atoms as spheres, read back by independent means: the small GLB reader and
the Morton reference of test_readers, trimesh for the sphere mesh, NumPy
nearest neighbours for the default radii, and the Khronos validator."""

import pathlib
import sys

import numpy as np
import pytest

import plexorin
from glb_reader import accessor_array, parse_glb
from test_compressed import decode_and_validate  # noqa: F401  (a fixture)
from test_readers import PALETTE, morton_order

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from molecule import tert_butanol  # noqa: E402


def label(entry):
    return f"type {entry}" + ("+" if entry == 7 else "")


def spheres(glb):
    """{node name: (TRANSLATION, SCALE or None, sphere POSITION, material)}."""
    doc = glb.document
    result = {}
    for node in doc["nodes"]:
        if "extensions" not in node:
            continue
        attributes = node["extensions"]["EXT_mesh_gpu_instancing"]["attributes"]
        primitive = doc["meshes"][node["mesh"]]["primitives"][0]
        scale = accessor_array(glb, attributes["SCALE"]) if "SCALE" in attributes else None
        result[node["name"]] = (accessor_array(glb, attributes["TRANSLATION"]), scale,
                                accessor_array(glb, primitive["attributes"]["POSITION"]),
                                doc["materials"][primitive["material"]])
    return result


def morton_groups(positions, types, box=None):
    """Per palette entry, the Morton places of its atoms (the reference order)."""
    vmin, vmax = box or (positions.min(axis=0).tolist(), positions.max(axis=0).tolist())
    order = morton_order(positions, vmin, vmax)
    entries = np.minimum(types[order], 7)
    return {int(e): order[entries == e] for e in np.unique(entries)}


@pytest.mark.parametrize("count, cells, box", [
    (300, 8, None), (120_000, 64, None), (2000, 256, ([-2, -2, -2], [3, 3, 3]))])
def test_instances_are_each_types_atoms_in_morton_order(count, cells, box):
    """Few cells force many atoms into one cell; 120000 take the threaded path."""
    rng = np.random.default_rng(count)
    positions = (rng.integers(0, cells, (count, 3)) / 64 - 1).astype(np.float32)
    types = rng.integers(0, 12, count)
    glb = parse_glb(plexorin.atoms(positions, types, style="spheres", box=box))
    assert glb.document["extensionsRequired"] == ["EXT_mesh_gpu_instancing"]
    groups, read = morton_groups(positions, types, box), spheres(glb)
    assert sorted(read) == sorted(label(e) for e in groups)
    for entry, atoms in groups.items():
        translation, scale, _, material = read[label(entry)]
        np.testing.assert_array_equal(translation, positions[atoms])
        assert scale is None
        np.testing.assert_array_equal(
            np.float32(material["pbrMetallicRoughness"]["baseColorFactor"]), [*PALETTE[entry], 1])


def sphere_radius(sphere_positions):
    lengths = np.linalg.norm(sphere_positions.astype(np.float64), axis=1)
    np.testing.assert_allclose(lengths, lengths[0], rtol=1e-6)
    return lengths[0]


def test_radii_as_number_table_or_per_atom():
    rng = np.random.default_rng(5)
    positions = rng.uniform(0, 20, (600, 3)).astype(np.float32)
    types = rng.integers(0, 9, 600)
    groups = morton_groups(positions, types)
    per_atom = rng.uniform(0.2, 0.6, 600).astype(np.float32)
    table = np.linspace(0.1, 0.9, 9, dtype=np.float32)
    default = spheres(parse_glb(plexorin.atoms(positions, types, style="spheres")))
    cases = [  # radius, and the radius of each atom (NaN where the default applies)
        (0.25, np.full(600, 0.25, np.float32)),
        (table, table[types]),
        ({7: 0.5, 8: 0.7}, np.where(types == 7, 0.5, np.where(types == 8, 0.7, np.nan))),
        (per_atom, per_atom),
    ]
    for radius, expected in cases:
        read = spheres(parse_glb(plexorin.atoms(positions, types, style="spheres", radius=radius)))
        for entry, atoms in groups.items():
            _, scale, sphere, _ = read[label(entry)]
            want = np.float32(expected[atoms])
            if np.isnan(want).all():
                assert scale is None
                assert sphere_radius(sphere) == sphere_radius(default[label(entry)][2])
            elif (want == want[0]).all():
                assert scale is None and sphere_radius(sphere) == pytest.approx(want[0], rel=1e-6)
            else:
                np.testing.assert_array_equal(scale, np.repeat(want[:, None], 3, axis=1))
                assert sphere_radius(sphere) == pytest.approx(1, rel=1e-6)


def nearest_neighbour_radii(positions, types):
    """0.4 times the lower median nearest-neighbour distance per entry, by brute force."""
    d = np.linalg.norm(positions[:, None, :].astype(np.float64) - positions[None], axis=2)
    d[d == 0] = np.inf
    nearest = d.min(axis=1)
    entries = np.minimum(types, 7)
    return {int(e): 0.4 * np.sort(nearest[entries == e])[(np.sum(entries == e) - 1) // 2]
            for e in np.unique(entries)}


def fcc(cells, a=3.6):
    basis = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    grid = np.stack(np.meshgrid(*[np.arange(cells)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
    return ((grid + basis).reshape(-1, 3) * a).astype(np.float32)


@pytest.mark.parametrize("structure, excess", [
    ("molecule", 0), ("lattice", 0), ("thermal lattice", 0.01), ("gas", 0.08)])
def test_default_radii_follow_the_nearest_neighbour_rule(structure, excess):
    """Exact while the nearest neighbour lies within the window along the
    curve; where it does not, a farther atom counts, and the radius grows."""
    rng = np.random.default_rng(3)
    if structure == "molecule":
        positions, types = tert_butanol()
    elif structure == "gas":
        positions = rng.uniform(0, 30, (2000, 3)).astype(np.float32)
        types = rng.integers(0, 3, 2000)
    else:
        positions = fcc(6)
        if structure == "thermal lattice":
            positions += rng.normal(scale=0.05, size=positions.shape).astype(np.float32)
        types = rng.integers(0, 2, len(positions))
    read = spheres(parse_glb(plexorin.atoms(positions, types, style="spheres")))
    for entry, radius in nearest_neighbour_radii(positions, types).items():
        assert radius * (1 - 1e-6) <= sphere_radius(read[label(entry)][2]) <= radius * (1 + excess + 1e-6)


def test_sphere_mesh_is_a_closed_outward_icosphere_with_smooth_normals():
    import trimesh

    glb = parse_glb(plexorin.atoms([[0, 0, 0]], [2], style="spheres", radius=2.0))
    primitive = glb.document["meshes"][0]["primitives"][0]
    positions = accessor_array(glb, primitive["attributes"]["POSITION"])
    normals = accessor_array(glb, primitive["attributes"]["NORMAL"])
    faces = accessor_array(glb, primitive["indices"]).reshape(-1, 3).astype(np.int64)
    ball = trimesh.Trimesh(positions, faces, process=False)
    assert (len(positions), len(faces)) == (162, 320)
    assert ball.is_watertight and ball.is_winding_consistent and ball.volume > 0
    np.testing.assert_allclose(normals * 2, positions, atol=1e-6)
    # Shortest and longest edges within 25 %: the subdivision keeps triangles even.
    assert ball.edges_unique_length.max() / ball.edges_unique_length.min() < 1.25


def test_sphere_files_pass_the_validator(validate_glbs):
    rng = np.random.default_rng(9)
    positions = rng.normal(size=(400, 3))
    types = rng.integers(0, 10, 400)
    files = [plexorin.atoms(positions, types, style="spheres"),
             plexorin.atoms(positions, types, style="spheres", radius=rng.uniform(0.1, 1, 400)),
             plexorin.atoms(positions, types, style="spheres", radius={8: 0.3}),
             plexorin.atoms([[1, 2, 3]], [0], style="spheres"),
             plexorin.atoms(np.zeros((0, 3)), [], style="spheres"),
             plexorin.atoms(np.zeros((0, 3)), elements=[], style="spheres")]
    reports = validate_glbs(files)
    assert [(r["numErrors"], r["numWarnings"]) for r in reports[:4]] == [(0, 0)] * 4
    assert reports[4]["numErrors"] == reports[5]["numErrors"] == 0


@pytest.mark.parametrize("kwargs, words", [
    ({"style": "balls"}, "style: expected 'points' or 'spheres'"),
    ({"radius": 1.0}, "radius: only used with style='spheres'"),
    ({"style": "spheres", "radius": -1.0}, "radius of type 0 = -1 is not a positive number"),
    ({"style": "spheres", "radius": [1, 1, np.nan]}, "radius[2] = nan is not a positive number"),
    ({"style": "spheres", "radius": [1.0, 2.0]}, "at least 4 entries"),
    ({"style": "spheres", "radius": {"C": 1.0}}, "keys are atom types"),
])
def test_bad_styles_and_radii_are_refused_by_name(kwargs, words):
    with pytest.raises(ValueError, match=words.replace("[", r"\[").replace("(", r"\(")):
        plexorin.atoms([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [0, 3, 1], **kwargs)


def grid_step(positions, bits=14):
    """The largest power of two no larger than the 14-bit grid's step."""
    extent = (positions.max(axis=0).astype(np.float64) - positions.min(axis=0)).max()
    return 2.0 ** np.floor(np.log2(extent / (2 ** bits - 1)))


@pytest.mark.parametrize("scale", [1.0, 1e-33, 1e35])
def test_compressed_spheres_decode_to_float_instances_within_half_a_step(
        decode_and_validate, scale):  # noqa: F811 (the fixture imported above)
    """The npm decoder's copy (validated with the original) against the atoms:
    FLOAT instances through the EXPONENTIAL filter, each coordinate within
    half a step, radii as the uncompressed file's, also far beyond the extent
    and at both ends of the float range."""
    rng = np.random.default_rng(8)
    positions = (fcc(8) + rng.normal(scale=0.05, size=(2048, 3))) * np.float32(scale)
    positions = positions.astype(np.float32)
    types = rng.integers(0, 10, len(positions))
    per_atom = rng.uniform(0.5, 0.9, len(positions)).astype(np.float32) * np.float32(scale)
    calls = {"default": {}, "scaled": {"radius": per_atom},
             "huge radius": {"radius": np.float32(3e38 if scale >= 1 else 1e30)}}
    files = {name: plexorin.atoms(positions, types, style="spheres", compress=True, **kwargs)
             for name, kwargs in calls.items()}
    decoded = decode_and_validate({f"{name} {scale}": data for name, data in files.items()})
    step = grid_step(positions)
    for name, kwargs in calls.items():
        original, glb = parse_glb(files[name]), decoded[f"{name} {scale}"]
        assert "KHR_mesh_quantization" not in original.document["extensionsUsed"]
        filters = [v["extensions"]["EXT_meshopt_compression"].get("filter")
                   for v in original.document["bufferViews"] if "extensions" in v]
        assert filters.count("EXPONENTIAL") == 8  # one per palette entry present
        plain = spheres(parse_glb(plexorin.atoms(positions, types, style="spheres", **kwargs)))
        parent = next(n for n in glb.document["nodes"] if n["name"] == "Atoms")
        unit = parent.get("scale", [1.0] * 3)[0]
        assert unit == 1.0 or scale != 1.0
        for node in glb.document["nodes"]:
            for accessor in node.get("extensions", {}).get("EXT_mesh_gpu_instancing", {}).get(
                    "attributes", {}).values():
                assert glb.document["accessors"][accessor]["componentType"] == 5126  # FLOAT
        read = spheres(glb)
        for entry, atoms in morton_groups(positions, types).items():
            stored, stored_scale, sphere, _ = read[label(entry)]
            moved = np.array(parent["translation"]) + unit * stored.astype(np.float64)
            assert np.abs(moved - positions[atoms]).max() <= step / 2
            _, plain_scale, plain_sphere, _ = plain[label(entry)]
            if name == "scaled":
                np.testing.assert_array_equal(stored_scale * np.float32(unit), plain_scale)
            else:
                assert stored_scale is None
                assert sphere_radius(sphere) * unit == pytest.approx(sphere_radius(plain_sphere),
                                                                     rel=1e-6)


def test_compressed_spheres_refuse_a_radius_their_units_cannot_hold():
    positions = np.float32([[0, 0, 0], [1e-38, 0, 0]])
    with pytest.raises(ValueError, match=r"^radius 3e\+38 cannot be stored with compressed"):
        plexorin.atoms(positions, [0, 1], style="spheres", compress=True, radius=3e38)
