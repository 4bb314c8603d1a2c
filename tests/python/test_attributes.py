"""Values per point: real LiDAR files' intensity and classification through
`convert` and `point_cloud`, plain and compressed, read back independently
(npm `meshoptimizer` decodes, the Khronos validator checks, laspy is the
reference, points paired by position); values that follow their points
through every reordering; colour maps against published colours."""

import json
import subprocess

import numpy as np
import pytest

from glb_reader import accessor_array, parse_glb
from real_data import real_file

laspy = pytest.importorskip("laspy")
spatial = pytest.importorskip("scipy.spatial")
plexorin = pytest.importorskip("plexorin")
from plexorin import cli  # noqa: E402
from test_real_coordinates import DECODER, REPO  # noqa: E402


def node_matrix(node):
    if "matrix" in node:
        return np.array(node["matrix"], dtype=np.float64).reshape(4, 4).T
    x, y, z, w = node.get("rotation", [0, 0, 0, 1])
    rotation = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                         [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                         [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    matrix = np.eye(4)
    matrix[:3, :3] = rotation * np.array(node.get("scale", [1, 1, 1]))
    matrix[:3, 3] = node.get("translation", [0, 0, 0])
    return matrix


def placed_points(glb, z_up):
    """Every drawn point in the data's axes (node transforms applied in
    float64) with its values per point, by glTF attribute name."""
    document = glb.document
    points, values = [], {}

    def visit(index, parent):
        node = document["nodes"][index]
        matrix = parent @ node_matrix(node)
        for child in node.get("children", []):
            visit(child, matrix)
        if "mesh" not in node:
            return
        instancing = node.get("extensions", {}).get("EXT_mesh_gpu_instancing")
        for primitive in document["meshes"][node["mesh"]]["primitives"]:
            named = instancing["attributes"] if instancing else primitive["attributes"]
            where = named["TRANSLATION" if instancing else "POSITION"]
            local = accessor_array(glb, where).astype(np.float64)
            points.append(local @ matrix[:3, :3].T + matrix[:3, 3])
            for name, accessor in named.items():
                if name.startswith("_"):
                    values.setdefault(name, []).append(accessor_array(glb, accessor))
            if instancing:
                break  # one sphere primitive per instancing node

    for root in document["scenes"][0]["nodes"]:
        visit(root, np.eye(4))
    world = np.concatenate(points)
    data = world[:, [0, 2, 1]] * [1, -1, 1] if z_up else world
    return data, {name: np.concatenate(parts) for name, parts in values.items()}


def decoded(paths):
    """Decodes each compressed file with npm meshoptimizer; returns the copies."""
    if not (REPO / "node_modules" / "meshoptimizer").is_dir():
        pytest.skip("node_modules/meshoptimizer missing (run make setup)")
    pairs = [(p, p.with_suffix(".decoded.glb")) for p in paths]
    subprocess.run(["node", str(DECODER), *[str(x) for pair in pairs for x in pair]], cwd=REPO,
                   check=True, timeout=600)
    return [copy for _, copy in pairs]


def assert_values_follow_positions(data, got, xyz, expected, bound):
    """Every file point lies within `bound` (per axis) of a source point
    whose value it carries, and the values as a whole are the source's."""
    tree = spatial.cKDTree(xyz / bound)
    near = tree.query_ball_point(data / bound, r=1.0, p=np.inf)
    wrong = [i for i, candidates in enumerate(near)
             if not candidates or got[i] not in set(expected[candidates].tolist())]
    assert not wrong, (len(wrong), wrong[:5])
    assert np.array_equal(np.sort(got), np.sort(expected))


LIDAR = ["autzen_trim.laz", "file_with_both_wkt_and_geotiff_vlrs.las", "simple1_3.las"]


def test_lidar_intensity_and_class_survive_every_layout(tmp_path, validate_glbs):
    cases = []
    for name in LIDAR:
        path = real_file("laspy", "2.7.0", f"tests/data/{name}")
        las = laspy.read(path)
        source = {"_INTENSITY": np.asarray(las.intensity),
                  "_CLASSIFICATION": np.asarray(las.classification)}
        for compress in (False, True):
            flag = ["--compress"] if compress else []
            out = tmp_path / f"{name}.{int(compress)}.convert.glb"
            assert cli.main(["convert", str(path), str(out), *flag]) == 0
            cases.append((out, True, compress, las.xyz, source))
            api = tmp_path / f"{name}.{int(compress)}.api.glb"
            api.write_bytes(plexorin.point_cloud(
                las.xyz, compress=compress,
                attributes={"intensity": las.intensity, "classification": las.classification}))
            cases.append((api, False, compress, las.xyz, source))
    copies = iter(decoded([c[0] for c in cases if c[2]]))
    readable = [next(copies) if c[2] else c[0] for c in cases]
    reports = validate_glbs([c[0] for c in cases] + [r for r, c in zip(readable, cases) if c[2]])
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * len(reports)
    for (_, z_up, compress, xyz, source), copy in zip(cases, readable):
        glb = parse_glb(copy.read_bytes())
        metadata = glb.document["extensions"]["EXT_structural_metadata"]
        assert metadata["propertyAttributes"][0]["properties"]["intensity"] == \
            {"attribute": "_INTENSITY"}
        data, values = placed_points(glb, z_up)
        extent = np.ptp(xyz, axis=0).max()
        bound = np.full(3, extent * (2.0 ** -22 + (1 / 32766 if compress else 0)))
        for name, expected in source.items():
            assert_values_follow_positions(data, values[name], xyz, expected, bound)


def test_lidar_values_survive_tiling(tmp_path, validate_glbs):
    """`plexorin tiles` of real files, compressed and not: every tile's points
    (node and root transforms applied) carry laspy's values, all of them."""
    for name in ("autzen_trim.laz", "simple1_3.las"):
        path = real_file("laspy", "2.7.0", f"tests/data/{name}")
        las = laspy.read(path)
        for flags in ([], ["--no-compress"]):
            out = tmp_path / f"{name}{len(flags)}"
            assert cli.main(["tiles", str(path), str(out), "--no-crs", "--points-per-tile",
                             "20000", *flags]) == 0
            document = json.loads((out / "tileset.json").read_text())
            assert set(document["schema"]["classes"]["point"]["properties"]) >= \
                {"intensity", "classification"}
            tiles = sorted(out.glob("*.glb"))
            assert len(tiles) > (1 if len(las.xyz) > 20000 else 0)
            readable = tiles if flags else decoded(tiles)
            reports = validate_glbs(tiles + ([] if flags else readable))
            assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * len(reports)
            glbs = [parse_glb(t.read_bytes()) for t in readable]
            assert all(g.document["extensions"]["EXT_structural_metadata"]["propertyAttributes"][0]
                       ["properties"]["classification"] == {"attribute": "_CLASSIFICATION"}
                       for g in glbs)
            placed = [placed_points(g, True) for g in glbs]
            data = np.concatenate([d for d, _ in placed])
            data += np.reshape(document["root"].get("transform", np.eye(4).ravel()), (4, 4))[3, :3]
            extent = np.ptp(las.xyz, axis=0).max()
            bound = np.full(3, extent * (2.0 ** -22 + (0 if flags else 1 / 32766)))
            for field in ("intensity", "classification"):
                got = np.concatenate([v["_" + field.upper()] for _, v in placed])
                assert_values_follow_positions(data, got, las.xyz, np.asarray(las[field]), bound)


def identity_cases(n=3000):
    """(name, glb, z up, positions): files whose one attribute is each
    point's index in the input."""
    rng = np.random.default_rng(7)
    xyz = np.round(rng.random((n, 3)) * 4096) / 64
    index = {"index": np.arange(n, dtype=np.int64)}
    faces = rng.integers(0, n, (2 * n, 3))
    types = (np.arange(n) % 5).astype(np.uint16)
    for compress in (False, True):
        yield f"points{compress}", plexorin.point_cloud(xyz, compress=compress,
                                                        attributes=index), xyz
        for style in ("points", "spheres"):
            yield f"atoms{style}{compress}", plexorin.atoms(
                xyz, types, style=style, compress=compress, attributes=index), xyz
        yield f"mesh{compress}", plexorin.mesh(xyz, faces, compress=compress,
                                               attributes=index), xyz


def test_values_follow_their_points_through_every_reordering(tmp_path):
    paths, sources = [], []
    for name, glb, xyz in identity_cases():
        paths.append(tmp_path / f"{name}.glb")
        paths[-1].write_bytes(glb)
        sources.append(xyz)
    copies = decoded([p for p in paths if "True" in p.name])
    readable = [copies.pop(0) if "True" in p.name else p for p in paths]
    for path, copy, xyz in zip(paths, readable, sources):
        data, values = placed_points(parse_glb(copy.read_bytes()), False)
        index = values["_INDEX"]
        assert index.dtype == np.uint16 and np.array_equal(np.sort(index), np.arange(len(xyz)))
        error = np.abs(data - xyz[index]).max()
        assert error <= (64 / 16383 if "True" in path.name else 0), (path.name, error)


def test_values_of_a_large_cloud_pass_through_threads_whole():
    """Rows gathered and bounded in ranges on threads: the values as given,
    and bounds of all rows, a component's finite values lying in one range."""
    n = 300_000
    pair = np.full((n, 2), np.nan, np.float32)
    pair[:n // 3, 0] = np.linspace(-5, 5, n // 3)
    pair[-n // 3:, 1] = np.linspace(2, 9, n // 3)
    count = np.arange(n) % 1000
    glb = parse_glb(plexorin.point_cloud(np.random.default_rng(0).random((n, 3)),
                                         attributes={"pair": pair, "count": count}))
    document = glb.document
    named = document["meshes"][0]["primitives"][0]["attributes"]
    for name, values, low, high in (("_PAIR", pair, [-5, 2], [5, 9]), ("_COUNT", count, [0], [999])):
        accessor = document["accessors"][named[name]]
        assert (accessor["min"], accessor["max"]) == (low, high)
        np.testing.assert_array_equal(accessor_array(glb, named[name]), values)


# Viridis at 0, 1/4, 1/2, 3/4 and 1, as published with the map (and in R's viridisLite).
VIRIDIS = ["440154", "3B528B", "21908C", "5DC863", "FDE725"]


def test_scalars_through_viridis_match_its_published_colours():
    values = np.array([0.0, 2.5, 5.0, 7.5, 10.0, np.nan])
    glb = parse_glb(plexorin.point_cloud(np.zeros((6, 3)), colors=values, cmap="viridis"))
    linear = accessor_array(glb, glb.document["meshes"][0]["primitives"][0]["attributes"]
                            ["COLOR_0"]) / 65535.0
    srgb = np.where(linear <= 0.0031308, linear * 12.92, 1.055 * linear ** (1 / 2.4) - 0.055)
    expected = np.array([[int(h[i:i + 2], 16) / 255 for i in (0, 2, 4)] for h in VIRIDIS])
    assert np.abs(srgb[:5] - expected).max() <= 1 / 255
    assert np.abs(srgb[5] - 0.5).max() <= 1 / 255  # NaN: the default grey


@pytest.mark.parametrize("attributes, error, message", [
    ({"a": np.zeros(4)}, ValueError, "attributes[a]: expected 3 rows, one per point, got 4"),
    ({"a": np.zeros((3, 5))}, ValueError, "attributes[a]: expected shape (3,) or (3, 2..4)"),
    ({"a": np.array(["x", "y", "z"])}, TypeError, "attributes[a]: expected integers or floats"),
    ({"a": np.array([None] * 3)}, TypeError, "attributes[a]: expected integers or floats"),
    ({"2a": np.zeros(3)}, ValueError, "attributes['2a']: a name must be an identifier"),
    ({"ab": np.zeros(3), "AB": np.zeros(3)}, ValueError, "attributes[AB]: collides with 'ab'"),
    ({"a": np.array([0, 1, 2 ** 40])}, ValueError, "attributes[a]: integers from 0 to"),
])
def test_bad_attributes_are_refused_naming_them(attributes, error, message, tmp_path):
    for write in (lambda: plexorin.point_cloud(np.zeros((3, 3)), attributes=attributes),
                  lambda: plexorin.tileset(tmp_path / "set", np.zeros((3, 3)), attributes=attributes)):
        with pytest.raises(error) as caught:
            write()
        assert str(caught.value).startswith(message)
    assert list(tmp_path.iterdir()) == []  # refused before any file


def test_bad_colour_arguments_name_colors_or_the_map():
    with pytest.raises(ValueError, match=r"cmap: unknown colour map 'nope'; e\.g\. 'viridis'"):
        plexorin.point_cloud(np.zeros((3, 3)), colors=np.zeros(3), cmap="nope")
    with pytest.raises(ValueError, match=r"colors: expected shape \(3, 3\) or \(3, 4\), got "
                                         r"\(3, 2\)"):
        plexorin.point_cloud(np.zeros((3, 3)), colors=np.zeros((3, 2)))
    with pytest.raises(ValueError, match=r"colors: expected 3 values, one per point, got 2"):
        plexorin.point_cloud(np.zeros((3, 3)), colors=np.zeros(2))


def test_convert_colours_by_class_and_warns_of_black_rgb(tmp_path, capsys):
    las = laspy.create(point_format=3, file_version="1.2")
    las.x, las.y, las.z = np.arange(4.0), np.zeros(4), np.zeros(4)
    las.classification = np.array([2, 2, 6, 9], np.uint8)
    las.intensity = np.array([1, 5, 9, 700], np.uint16)
    path = tmp_path / "black.las"
    las.write(path)
    out = tmp_path / "black.glb"
    assert cli.main(["convert", str(path), str(out)]) == 0
    assert capsys.readouterr().err.count("\n") == 1  # the one warning about zero RGB
    glb = parse_glb(out.read_bytes())
    colors = accessor_array(glb, glb.document["meshes"][0]["primitives"][0]["attributes"]
                            ["COLOR_0"])
    ground, building = plexorin.colormaps.class_colors([2, 6])
    assert (colors[0] == ground).all() and (colors[2] == building).all()
    assert cli.main(["convert", str(path), str(out), "--color-by", "elevation"]) == 2
    assert "--color-by elevation: the file has no such value" in capsys.readouterr().err
    assert cli.main(["info", "--json", str(out)]) == 0
    listed = {a["name"]: a for a in json.loads(capsys.readouterr().out)["attributes"]}
    assert listed["intensity"]["min"] == [1] and listed["intensity"]["max"] == [700]
    assert listed["classification"]["componentType"] == "UNSIGNED_BYTE"


def test_viewer_recolours_points_by_the_menu(tmp_path):
    from test_viewer import browser_missing, recolour
    if browser_missing():
        pytest.skip(f"{browser_missing()} is missing (make setup installs it)")

    rng = np.random.default_rng(5)
    xyz = rng.random((20000, 3))
    classes = np.where(xyz[:, 0] < 0.5, 2, 6).astype(np.uint8)  # ground | building
    (tmp_path / "cloud.glb").write_bytes(plexorin.point_cloud(
        xyz, np.full((20000, 3), 255, np.uint8), compress=True,
        attributes={"intensity": (xyz[:, 1] * 60000).astype(np.uint16), "classification": classes}))
    report = recolour(tmp_path, "cloud.glb")[0]
    assert report["status"] == "ready"
    assert report["options"] == ["", "_intensity", "_classification"]
    by = {state["value"]: state for state in report["states"]}
    def grey(key):  # near grey: white blended into the bluish background
        channels = [int(key) >> 16, (int(key) >> 8) & 255, int(key) & 255]
        return max(channels) - min(channels) < 32

    assert all(grey(k) for k in by[""]["colours"])
    assert sum(not grey(k) for k in by["_intensity"]["colours"]) >= 10
    assert by["_classification"]["legend"] == ["2 · ground", "6 · building"]
    assert by["_classification"]["colours"] != by["_intensity"]["colours"]
    assert by[""]["legend"] == []


def test_viewer_recolours_lit_spheres_and_meshes_and_restores_them(tmp_path):
    from test_viewer import browser_missing, recolour, share_along
    if browser_missing():
        pytest.skip(f"{browser_missing()} is missing (make setup installs it)")
    xyz = np.random.default_rng(6).uniform(0, 30, (400, 3))  # grey spheres, value 0 or 1 by side
    (tmp_path / "spheres.glb").write_bytes(plexorin.atoms(
        xyz, np.zeros(400, int), style="spheres", attributes={"charge": (xyz[:, 0] > 15) * 1.0}))
    square = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]])  # two white squares, 0 and 1
    (tmp_path / "mesh.glb").write_bytes(plexorin.mesh(
        np.concatenate([square, square + [1.5, 0, 0]]), [[0, 1, 2], [0, 2, 3], [4, 5, 6], [4, 6, 7]],
        compress=True, attributes={"side": np.repeat([0, 1], 4).astype(np.uint8)}))
    for report, value in zip(recolour(tmp_path, "spheres.glb", "mesh.glb"), ("_charge", "_side")):
        assert report["options"] == ["", value] and report["pageErrors"] == []
        (coloured, restored) = report["states"]
        low, high = share_along(coloured["colours"], ("440154", "fde725"), 0.95)  # viridis' ends
        assert low > 0.1 and high > 0.1 and low + high > 0.8, (low, high)
        assert share_along(report["initial"]["colours"], ("440154", "fde725"), 0.95).sum() < 0.01
        assert restored["colours"] == report["initial"]["colours"]


def test_extra_bytes_are_kept_and_wide_integers_left_out_naming_them(tmp_path, capsys):
    las = laspy.create(point_format=6, file_version="1.4")
    las.add_extra_dims([laspy.ExtraBytesParams("big id", "u8"),
                        laspy.ExtraBytesParams("small", "i8"),
                        laspy.ExtraBytesParams("temperature", "f8")])
    las.x, las.y, las.z = np.arange(3.0), np.zeros(3), np.zeros(3)
    las["big id"] = np.array([1, 2, 2**60], np.uint64)
    las["small"] = np.array([-5, 0, 7], np.int64)
    las["temperature"] = np.array([20.5, 21.0, np.nan])
    path = tmp_path / "extra.las"
    las.write(path)
    out = tmp_path / "extra.glb"
    assert cli.main(["convert", str(path), str(out)]) == 0
    assert "extra dimension 'big id' left out" in capsys.readouterr().err
    glb = parse_glb(out.read_bytes())
    attributes = glb.document["meshes"][0]["primitives"][0]["attributes"]
    assert "_BIG_ID" not in attributes
    assert accessor_array(glb, attributes["_SMALL"]).tolist() == [-5, 0, 7]
    assert accessor_array(glb, attributes["_SMALL"]).dtype == np.int8
    assert accessor_array(glb, attributes["_TEMPERATURE"])[:2].tolist() == [20.5, 21.0]


def test_a_pdb_file_keeps_b_factors_and_occupancies_per_atom(tmp_path):
    gemmi = pytest.importorskip("gemmi")
    path = real_file("mdanalysistests", "2.11.0", "MDAnalysisTests/data/1hvr.pdb")
    out = tmp_path / "1hvr.glb"
    assert cli.main(["convert", str(path), str(out), "--no-cell"]) == 0
    flat = gemmi.FlatStructure(gemmi.read_structure(str(path)))
    glb = parse_glb(out.read_bytes())
    data, values = placed_points(glb, False)
    bound = np.full(3, 1e-4)
    for name, expected in (("_B_FACTOR", flat.b_iso), ("_OCCUPANCY", flat.occ)):
        assert values[name].dtype == np.float32
        assert_values_follow_positions(data, values[name], np.asarray(flat.pos, np.float64),
                                       np.asarray(expected, np.float32), bound)
