"""End to end in a real browser: the viewer page loads each demo file with
three.js in headless Chromium, builds a scene with the element counts that
were written, and draws it; files it cannot show are reported, not hung on.

Needs Chromium, node and node_modules (make setup installs them); skipped
without them, except under CI, where their absence is a failure.
"""

import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DRIVER = REPO / "tests" / "js" / "render-viewer.mjs"
sys.path.insert(0, str(REPO / "examples"))
sys.path.insert(0, str(REPO / "viewer"))

VIEWPORT = (800, 600)


def browser_missing() -> str | None:
    if not pathlib.Path("/usr/bin/chromium").exists():
        return "Chromium (/usr/bin/chromium)"
    if shutil.which("node") is None:
        return "node"
    for package in ("three", "playwright-core"):
        if not (REPO / "node_modules" / package).is_dir():
            return f"node_modules/{package}"
    return None


@pytest.fixture(scope="module")
def browser_ready():
    missing = browser_missing()
    if missing:
        message = f"{missing} is missing (make setup installs it)"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)


def recolour(folder: pathlib.Path, *files: str, tiles: bool = False) -> list[dict]:
    """tests/js/recolour-viewer.mjs's report on each file of the folder."""
    from serve import StaticServer

    with StaticServer(folder) as server:
        runs = [subprocess.run(["node", str(REPO / "tests/js/recolour-viewer.mjs"), server.url,
                                f"/files/{name}", *(["tiles"] if tiles else [])], cwd=REPO,
                               capture_output=True, text=True, timeout=600, check=False) for name in files]
    assert [run.returncode for run in runs] == [0] * len(runs), [run.stderr for run in runs]
    return [json.loads(run.stdout.splitlines()[-1]) for run in runs]


def share_along(colours: dict, hexes: tuple[str, ...], cosine: float) -> np.ndarray:
    """The share of drawn pixels ("0xRRGGBB" -> count) whose colour points along each
    of the colours (light scales a colour, keeping its direction; the specular
    part adds a little white, which dark colours show most)."""
    keys, counts = np.array([int(k) for k in colours]), np.array(list(colours.values()))
    rgb = np.stack([keys >> 16, (keys >> 8) & 255, keys & 255], -1)
    wanted = np.array([[int(h[i:i + 2], 16) for i in (0, 2, 4)] for h in hexes])
    rgb, wanted = (v / np.linalg.norm(v, axis=-1, keepdims=True) for v in (rgb, wanted))
    return (counts[:, None] * (rgb @ wanted.T > cosine)).sum(axis=0) / counts.sum()


def write_controls(folder: pathlib.Path, plexorin) -> None:
    """Files the viewer must not show as a scene."""
    # Points at (1000, 1000, 1000) declared to lie in the unit box: the
    # camera frames the declared box and culls the points, so nothing is drawn.
    positions = np.full((100, 3), 1000.0, np.float32) + np.arange(100, dtype=np.float32)[:, None]
    colors = np.ones((100, 3), np.float32)
    (folder / "wrong_bounds.glb").write_bytes(
        plexorin.point_cloud_glb(positions, colors, [0, 0, 0], [1, 1, 1]))
    # Zero atoms: the 32-byte file holds no glTF asset at all.
    (folder / "no_atoms.glb").write_bytes(
        plexorin.atom_glb(b"", b"", [0, 0, 0], [1, 1, 1]))


# Markup in a file name: run as script, it would retitle the page.
INJECTED = "<img src=x onerror=document.title='injected'>.glb"

# Compressed files and the (points, vertices, triangles) they hold.
COMPRESSED = {"compressed_atoms.glb": (60000, 0, 0), "compressed_points.glb": (60000, 0, 0),
              "compressed_mesh.glb": (0, 10000, 2 * 99 * 99)}


def write_compressed(folder: pathlib.Path) -> None:
    import plexorin as package

    rng = np.random.default_rng(3)
    xyz = rng.random((60000, 3), dtype=np.float32)
    (folder / "compressed_atoms.glb").write_bytes(
        package.atoms(xyz, rng.integers(0, 9, 60000), compress=True))
    (folder / "compressed_points.glb").write_bytes(package.point_cloud(xyz, xyz, compress=True))
    side = np.arange(100)
    i, j = np.meshgrid(side[:-1], side[:-1], indexing="ij")
    a, b, c, d = i * 100 + j, (i + 1) * 100 + j, (i + 1) * 100 + j + 1, i * 100 + j + 1
    faces = np.concatenate([np.stack([a, b, c], -1), np.stack([a, c, d], -1)]).reshape(-1, 3)
    x, y = np.meshgrid(side / 99, side / 99, indexing="ij")
    grid = np.stack([x, y, 0.2 * np.sin(6 * x) * np.cos(4 * y)], -1).reshape(-1, 3)
    (folder / "compressed_mesh.glb").write_bytes(
        package.mesh(grid, faces, colors=np.clip(grid, 0, 1), compress=True))


@pytest.fixture(scope="module")
def rendered(browser_ready, plexorin, tmp_path_factory):
    """The demo's files (small) and the controls, each opened in the viewer.

    Returns ({file name: driver report}, {file name: demo result}).
    """
    from demo import write_demo_files
    from serve import StaticServer

    folder = tmp_path_factory.mktemp("viewer-files")
    shots = tmp_path_factory.mktemp("viewer-screenshots")
    written = {result["path"].name: result for result in write_demo_files(folder, small=True)}
    write_controls(folder, plexorin)
    write_compressed(folder)
    shutil.copy(folder / "compressed_points.glb", folder / INJECTED)
    names = [*written, *COMPRESSED, "wrong_bounds.glb", "no_atoms.glb", "missing.glb", INJECTED,
             "gone" + INJECTED]
    with StaticServer(folder) as server:
        run = subprocess.run(["node", str(DRIVER), server.url, str(shots),
                              *[f"/files/{name}" for name in names]],
                             cwd=REPO, capture_output=True, text=True, timeout=600, check=False)
    assert run.returncode == 0, run.stderr
    reports = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
    return {pathlib.PurePosixPath(r["file"]).name: r for r in reports}, written


def png_size(path: str) -> tuple[int, int]:
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("name", ["atoms.glb", "seashell.glb", "knot.glb"])
def test_demo_file_is_drawn_with_the_written_counts(rendered, name):
    reports, written = rendered
    report, result = reports[name], written[name]
    assert report["status"] == "ready", report
    assert report["pageErrors"] == []
    expected = {"atoms": (result["count"], 0, 0), "points": (result["count"], 0, 0),
                "mesh": (0, result["count"], result.get("triangles"))}[result["kind"]]
    assert (report["points"], report["vertices"], report["triangles"]) == expected
    assert report["colored"], "three.js did not take COLOR_0 as vertex colours"
    # Drawn: a visible share of the canvas, in more than a flat colour or two.
    assert report["drawnFraction"] > 0.03
    assert report["distinctColors"] >= 10
    assert png_size(report["screenshot"]) == VIEWPORT


@pytest.mark.parametrize("name", COMPRESSED)
def test_compressed_file_is_drawn_with_the_written_counts(rendered, name):
    report = rendered[0][name]
    assert report["status"] == "ready" and report["pageErrors"] == [], report
    assert (report["points"], report["vertices"], report["triangles"]) == COMPRESSED[name]
    assert report["drawnFraction"] > 0.03 and report["distinctColors"] >= 8


@pytest.mark.parametrize("name, status", [(INJECTED, "ready"), ("gone" + INJECTED, "error")])
def test_names_from_the_url_and_the_folder_are_shown_as_text(rendered, name, status):
    report = rendered[0][name]
    assert report["status"] == status and report["title"] == "plexorin viewer"
    assert report["statusText"].startswith(f"{name}: ")


def test_points_outside_their_declared_bounds_leave_the_canvas_blank(rendered):
    report = rendered[0]["wrong_bounds.glb"]
    assert report["status"] == "ready" and report["points"] == 100
    assert report["drawnFraction"] < 0.001


@pytest.mark.parametrize("name, words", [("no_atoms.glb", "asset"), ("missing.glb", "404")])
def test_files_without_a_scene_are_reported_as_errors(rendered, name, words):
    report = rendered[0][name]
    assert report["status"] == "error"
    assert words in report["error"]



# The core's atom palette at 8 bits: colour -> type.
PALETTE = {(128, 128, 128): "0", (255, 68, 68): "1", (68, 255, 68): "2", (68, 68, 255): "3",
           (255, 255, 68): "4", (255, 68, 255): "5", (68, 255, 255): "6", (153, 153, 153): "7+"}


def test_legend_shows_the_atom_types_and_links_list_the_served_files(rendered):
    from glb_reader import attribute_array, parse_glb

    reports, written = rendered
    atoms = written["atoms.glb"]["path"]
    linear = np.unique(attribute_array(parse_glb(atoms.read_bytes()), "COLOR_0"), axis=0)
    # Swatches show the linear COLOR_0 in sRGB, as the renderer draws the points.
    srgb = np.where(linear <= 0.0031308, 12.92 * linear, 1.055 * linear ** (1 / 2.4) - 0.055)
    expected = sorted((PALETTE[tuple(np.round(c * 255).astype(int))],
                       "rgb({}, {}, {})".format(*np.round(s * 255).astype(int)))
                      for c, s in zip(linear, srgb))
    assert len(expected) == 5
    assert [(e["type"], e["color"]) for e in reports["atoms.glb"]["legend"]] == expected
    served = [f"/files/{p.name}" for p in sorted(atoms.parent.glob("*.glb"))]
    assert len(served) == len(reports) - 2  # every file opened but the two missing ones
    for name, report in reports.items():
        assert report["fileLinks"] == served, name
        path = atoms.parent / name
        document = parse_glb(path.read_bytes()).document if name != "atoms.glb" and \
            path.is_file() and path.stat().st_size > 32 else {}
        if any(m.get("name", "").startswith("Type") for m in document.get("materials", [])):
            # compressed atoms: the types of their points' unlit materials
            colours = [m["pbrMetallicRoughness"]["baseColorFactor"][:3]
                       for m in document["materials"]]
            assert [e["type"] for e in report["legend"]] == [
                PALETTE[tuple(np.round(np.array(c) * 255).astype(int))] for c in colours], name
        elif name != "atoms.glb":
            assert report.get("legend", []) == [], name


def test_sphere_files_are_drawn_as_shaded_instanced_spheres(browser_ready, tmp_path):
    """One instanced mesh per type with one instance per atom, compressed or
    not; shading gives many shades. PLEXORIN_WRITE_DOCS=1 keeps the
    molecule's screenshot."""
    import plexorin as package
    from molecule import tert_butanol, write_molecule
    from serve import StaticServer

    files, shots = tmp_path / "files", tmp_path / "shots"
    files.mkdir(), shots.mkdir()
    expected = {"molecule.glb": write_molecule(files / "molecule.glb")["per_type"]}
    (files / "compressed.glb").write_bytes(package.atoms(*tert_butanol(), style="spheres",
                                                         compress=True))
    expected["compressed.glb"] = expected["molecule.glb"]
    rng = np.random.default_rng(4)
    types = rng.integers(0, 10, 3000)
    (files / "scaled.glb").write_bytes(package.atoms(
        rng.uniform(0, 40, (3000, 3)), types, style="spheres", radius=rng.uniform(0.3, 0.6, 3000)))
    expected["scaled.glb"] = {t: int((types == t).sum()) for t in range(7)} | {7: int((types >= 7).sum())}
    # By element: nodes and legend named by symbol, in order of atomic number.
    positions, types = tert_butanol()
    symbols = np.array(["C", "O"] + ["?"] * 5 + ["H"])[types]
    (files / "elements.glb").write_bytes(package.atoms(positions, elements=symbols, style="spheres",
                                                       compress=True))
    expected["elements.glb"] = {"H": 10, "C": 4, "O": 1}
    with StaticServer(files) as server:
        run = subprocess.run(["node", str(DRIVER), server.url, str(shots),
                              *[f"/files/{name}" for name in expected]],
                             cwd=REPO, capture_output=True, text=True, timeout=600, check=False)
    assert run.returncode == 0, run.stderr
    for line in run.stdout.splitlines():
        report = json.loads(line)
        counts = expected[pathlib.PurePosixPath(report["file"]).name]
        assert report["status"] == "ready" and report["pageErrors"] == []
        if "H" in counts:
            assert {name: i["count"] for name, i in report["instances"].items()} == counts
            assert [(e["type"], e["text"]) for e in report["legend"]] == [
                ("0", "H"), ("1", "C"), ("2", "O")]
        else:
            assert {name: i["count"] for name, i in report["instances"].items()} == {
                f"type_{t}" + ("+" if t == 7 else ""): n for t, n in counts.items()}
            assert [e["type"] for e in report["legend"]] == [
                str(t) if t < 7 else "7+" for t in counts]
        assert report["drawnFraction"] > 0.03 and report["distinctColors"] >= 30
    if os.environ.get("PLEXORIN_WRITE_DOCS"):
        shutil.copy(shots / "molecule.png", REPO / "docs" / "viewer-spheres.png")


def test_a_scan_far_from_zero_is_drawn_as_at_zero(browser_ready, tmp_path):
    """A LiDAR scan 4 million metres from zero (laspy's test data; the file's
    root node holds the origin) looks as the same points at zero: the viewer
    shows the model moved by its centre, so the camera orbits near zero."""
    import plexorin as package
    from real_data import real_file
    from serve import StaticServer

    laspy = pytest.importorskip("laspy")
    xyz = laspy.read(real_file("laspy", "2.7.0", "tests/data/plane.laz")).xyz
    centre = (xyz.min(axis=0) + xyz.max(axis=0)) / 2
    files, shots = tmp_path / "files", tmp_path / "shots"
    files.mkdir(), shots.mkdir()
    (files / "far.glb").write_bytes(package.point_cloud(xyz, up="z"))
    (files / "near.glb").write_bytes(package.point_cloud(xyz - centre, up="z"))
    with StaticServer(files) as server:
        run = subprocess.run(["node", str(DRIVER), server.url, str(shots), "/files/far.glb",
                              "/files/near.glb"],
                             cwd=REPO, capture_output=True, text=True, timeout=600, check=False)
    assert run.returncode == 0, run.stderr
    far, near = (json.loads(line) for line in run.stdout.splitlines())
    extent = np.ptp(xyz, axis=0).max()
    for report in (far, near):
        assert report["status"] == "ready" and report["pageErrors"] == [], report
        assert report["points"] == len(xyz) and report["drawnFraction"] > 0.01
        assert np.linalg.norm(report["camera"]) < 10 * extent
    # The offset is the centre in glTF's y-up axes: z-up (x, y, z) -> (x, z, -y).
    np.testing.assert_allclose(far["offset"], centre[[0, 2, 1]] * [1, 1, -1], atol=extent / 100)
    assert far["drawnFraction"] == pytest.approx(near["drawnFraction"], rel=0.02)
