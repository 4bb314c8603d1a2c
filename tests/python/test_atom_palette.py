"""Atoms coloured by a caller's palette or by element, in every style, read
back by the test's GLB reader against the Morton reference of test_readers
and ASE's element tables; bad palettes, elements and scales are refused by
name."""

import re

import numpy as np
import pytest

import plexorin
from element_reference import bondi_radius
from glb_reader import attribute_array, parse_glb
from test_compressed import assert_within_half_step, decode_and_validate, primitives  # noqa: F401
from test_readers import morton_order
from test_spheres import sphere_radius, spheres

RGBA = np.float32([[0.1, 0.2, 0.3, 1], [0.9, 0.8, 0.7, 0.5], [0, 1, 0, 1], [1, 0, 1, 0.25]])


def test_an_rgba_palette_in_every_style_with_types_beyond_it_on_its_last_row(validate_glbs,
                                                                            decode_and_validate):  # noqa: F811
    rng = np.random.default_rng(30)
    positions = rng.uniform(-3, 3, (3000, 3)).astype(np.float32)
    types = rng.integers(0, 9, 3000)  # types 3..8 take row 3
    files = {(style, compress): plexorin.atoms(positions, types, palette=RGBA, style=style,
                                               compress=compress)
             for style in ("points", "spheres") for compress in (False, True)}
    order = morton_order(positions, positions.min(axis=0), positions.max(axis=0))
    points = parse_glb(files["points", False])
    np.testing.assert_array_equal(attribute_array(points, "COLOR_0"), RGBA[np.minimum(types, 3)][order])
    assert points.document["materials"][0]["alphaMode"] == "BLEND"
    for (style, compress), data in files.items():
        document = parse_glb(data).document
        names = [t["name"] for t in document["nodes"][-1]["extras"]["atomTypes"]]
        assert names == ["type 0", "type 1", "type 2", "type 3+"]
        if style == "points" and not compress:
            continue
        # One material per row, of its colour; blended where its alpha is below 1.
        colours = [np.float32(m["pbrMetallicRoughness"]["baseColorFactor"]) for m in
                   document["materials"]]
        np.testing.assert_array_equal(colours, RGBA)
        assert [m.get("alphaMode") for m in document["materials"]] == [None, "BLEND", None, "BLEND"]
    # Compressed points: each row's atoms in Morton order, in the primitive of its material.
    node, stored = primitives(decode_and_validate({"rgba": files["points", True]})["rgba"])
    extents = (positions.min(axis=0).astype(np.float64), positions.max(axis=0).astype(np.float64))
    for primitive, quantised in stored:
        atoms = order[np.minimum(types[order], 3) == primitive["material"]]
        assert_within_half_step(node, quantised, positions[atoms], extents)
    read = spheres(parse_glb(files["spheres", False]))
    assert {name: len(node[0]) for name, node in read.items()} == {
        "type 0": (types == 0).sum(), "type 1": (types == 1).sum(), "type 2": (types == 2).sum(),
        "type 3+": (types >= 3).sum()}
    reports = validate_glbs(list(files.values()))
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * 4


def test_elements_take_van_der_waals_radii_times_the_scale_and_x_the_default():
    positions = np.float32([[0, 0, 0], [1.1, 0, 0], [0, 1.4, 0], [3, 3, 3], [4, 3, 3]])
    symbols = ["C", "H", "O", "0", "0"]  # Z 0: X
    for scale in (1.0, plexorin.elements.BALL_AND_STICK_RADIUS_SCALE):
        read = spheres(parse_glb(plexorin.atoms(positions, elements=symbols, style="spheres",
                                                radius_scale=scale)))
        for symbol in ("C", "H", "O"):
            assert sphere_radius(read[symbol][2]) == pytest.approx(scale * bondi_radius(symbol),
                                                                   rel=1e-6)
        # X: 0.4 of the distance to its nearest neighbour
        assert sphere_radius(read["X"][2]) == pytest.approx(scale * 0.4 * 1.0, rel=1e-6)
    given = spheres(parse_glb(plexorin.atoms(positions, elements=symbols, style="spheres",
                                             radius=0.3)))
    assert [sphere_radius(node[2]) for node in given.values()] == pytest.approx([0.3] * 4)


ATOMS = np.float32([[0, 0, 0], [1, 0, 0], [0, 1, 0]])


@pytest.mark.parametrize("kwargs, error, words", [
    ({"types": [0, 1, 2], "palette": [0.1, 0.2, 0.3]}, ValueError, "palette: expected shape (M, 3)"),
    ({"types": [0, 1, 2], "palette": np.zeros((0, 3))}, ValueError,
     "palette: expected shape (M, 3) or (M, 4) with 1 to 65536 colours"),
    ({"types": [0, 1, 2], "palette": [[0, 0, 0], [1.5, 0, 0]]}, ValueError,
     "palette[1][0] = 1.5 is outside [0, 1]"),
    ({"types": [0, 1, 2], "palette": [[0, np.nan, 0]]}, ValueError, "palette[0][1] = nan is outside"),
    ({"types": [0, 1, 2], "palette": np.ones((2, 3), np.int16)}, TypeError,
     "palette: expected floats in [0, 1] or uint8 integers, got dtype int16"),
    ({"types": [0, 1, 2], "elements": ["C", "H", "O"]}, ValueError, "types and elements: pass one"),
    ({}, ValueError, "types or elements: one of them is needed"),
    ({"elements": ["C", "H", "O"], "palette": RGBA}, ValueError, "palette and elements"),
    ({"elements": ["C", "H"]}, ValueError, "elements: expected 3 values, one per atom, got 2"),
    ({"elements": [6, 200, 1]}, ValueError, "elements[1] = 200 is not an atomic number"),
    ({"elements": "CHO"}, TypeError, "elements: expected one symbol or atomic number per atom"),
    ({"elements": ["C", "H", "O"], "style": "spheres", "radius": {0: 1.0}}, ValueError,
     "radius: with elements, expected one number or 3 values"),
    ({"types": [0, 1, 2], "style": "spheres", "radius_scale": -1}, ValueError,
     "radius_scale: expected a positive number, got -1"),
    ({"types": [0, 1, 2], "radius_scale": 0.5}, ValueError, "radius_scale: only used with style="),
    ({"types": [0, 1, 2], "style": "spheres", "radius_scale": "big"}, TypeError, "radius_scale"),
    ({"types": [0, 1, 2], "style": "spheres", "radius": 3e38, "radius_scale": 10}, ValueError,
     "radius_scale = 10 makes a radius of inf, not a positive float"),
])
def test_bad_palettes_elements_and_scales_are_refused_by_name(kwargs, error, words):
    with pytest.raises(error, match="^" + re.escape(words)):
        plexorin.atoms(ATOMS, **kwargs)
