"""Trajectories as one animated GLB, on a real CHARMM trajectory (MDAnalysis's
test data): decoded by npm meshoptimizer, checked by the Khronos validator,
compared frame by frame with MDAnalysis, and played by three.js."""

import json
import pathlib
import subprocess
import warnings

import numpy as np
import pytest

from glb_reader import accessor_array, parse_glb
from real_data import real_file
from test_compressed import decode_and_validate  # noqa: F401  (a fixture)

mda = pytest.importorskip("MDAnalysis")
cKDTree = pytest.importorskip("scipy.spatial").cKDTree
import plexorin  # noqa: E402
from plexorin import cli, glb_info, molecules  # noqa: E402
from plexorin.elements import SYMBOLS  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[2]


def data(name):
    return str(real_file("mdanalysistests", "2.11.0", f"MDAnalysisTests/data/{name}"))


@pytest.fixture(scope="module")
def adk():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = mda.Universe(data("adk.psf"), data("adk_dims.dcd"))
    universe.numbers = molecules.read_molecule(data("adk.psf"), data("adk_dims.dcd")).elements
    return universe


def frame_positions(glb, node):
    """{material: (positions, half step)} of a decoded compressed frame node."""
    doc = glb.document
    atoms = doc["nodes"][doc["nodes"][node]["children"][0]]
    scale, shift = np.array(atoms["scale"]), np.array(atoms["translation"])
    return {p["material"]: (accessor_array(glb, p["attributes"]["POSITION"]) * scale + shift, scale / 2)
            for p in doc["meshes"][atoms["mesh"]]["primitives"]}


def test_convert_animates_a_charmm_trajectory_as_mdanalysis_reads_it(
        adk, tmp_path, decode_and_validate):  # noqa: F811
    out = tmp_path / "adk.glb"
    assert cli.main(["convert", data("adk.psf"), data("adk_dims.dcd"), str(out), "--animate"]) == 0
    glb = decode_and_validate({"adk": out.read_bytes()})["adk"]  # validator clean, both copies
    doc = glb.document
    frames = doc["nodes"][doc["scenes"][0]["nodes"][0]]["children"]
    assert len(frames) == len(adk.trajectory) == 98
    symbols = np.array([m["name"] for m in doc["materials"]])
    for k, ts in enumerate(adk.trajectory):
        node = doc["nodes"][frames[k]]
        assert node["extras"]["time"] == pytest.approx(ts.time) and node["scale"] == [int(k == 0)] * 3
        for material, (positions, half) in frame_positions(glb, frames[k]).items():
            real = adk.atoms.positions[np.array(SYMBOLS)[adk.numbers] == symbols[material]]
            # One-to-one: every real atom has exactly one stored atom within half a step.
            distance, nearest = cKDTree(real / half).query(positions / half, p=np.inf)
            assert len(real) == len(positions) and distance.max() <= 1 + 1e-6
            assert len(set(nearest.tolist())) == len(real)
    # Frame k scaled to 1 from k / 30 s on (the DCD's regular step shown in 1/30 s).
    animation = doc["animations"][0]
    middle = animation["samplers"][animation["channels"][5]["sampler"]]
    assert doc["nodes"][animation["channels"][5]["target"]["node"]] is doc["nodes"][frames[5]]
    np.testing.assert_allclose(accessor_array(glb, middle["input"]), np.arange(4, 7) / 30, rtol=1e-6)
    np.testing.assert_array_equal(accessor_array(glb, middle["output"])[:, 0], [0, 1, 0])


def test_api_streams_exact_float_frames_and_refuses_bad_frames(
        adk, tmp_path, decode_and_validate):  # noqa: F811
    selection = adk.select_atoms("protein and name CA")
    frames = [selection.positions.copy() for _ in adk.trajectory[:12:3]]
    data_ = plexorin.animate(frames, elements=adk.numbers[selection.indices], times=[0, 1, 2, 4])
    written = plexorin.save_animation(tmp_path / "a.glb", iter(frames), times=[0, 1, 2, 4],
                                      elements=adk.numbers[selection.indices], workers=1)
    assert written.read_bytes() == data_  # streamed to the file, in any number of threads
    glb = parse_glb(data_)
    doc = glb.document
    for k, node in enumerate(doc["nodes"][doc["scenes"][0]["nodes"][0]]["children"]):
        atoms = doc["nodes"][doc["nodes"][node]["children"][0]]
        stored = accessor_array(glb, doc["meshes"][atoms["mesh"]]["primitives"][0]["attributes"]["POSITION"])
        np.testing.assert_array_equal(stored[np.lexsort(stored.T)], frames[k][np.lexsort(frames[k].T)])
    # info places the frames hidden at rest where they are shown.
    every, bounds = np.concatenate(frames), glb_info.read_summary(written)["bounds"]
    np.testing.assert_allclose([bounds["min"], bounds["max"]], [every.min(0), every.max(0)], atol=1e-5)
    # Spheres: the sphere meshes every frame repeats are stored once; decoded instances exact.
    spheres = decode_and_validate({"spheres": plexorin.animate(
        frames, elements=adk.numbers[selection.indices], style="spheres", compress=True)})["spheres"]
    meshes = spheres.document["meshes"]
    positions = {p["attributes"]["POSITION"] for m in meshes for p in m["primitives"]}
    assert len(meshes) == 4 and len(positions) == 1
    for k, node in enumerate(spheres.document["nodes"][-1]["children"]):
        atoms = spheres.document["nodes"][spheres.document["nodes"][node]["children"][0]]
        ball = spheres.document["nodes"][atoms["children"][0]]
        instances = ball["extensions"]["EXT_mesh_gpu_instancing"]["attributes"]
        stored = accessor_array(spheres, instances["TRANSLATION"]) + np.float32(atoms["translation"])
        distance, nearest = cKDTree(frames[k]).query(stored, p=np.inf)
        assert distance.max() < 0.01 and len(set(nearest.tolist())) == len(frames[k])
    last = doc["animations"][0]["samplers"][-1]
    np.testing.assert_array_equal(accessor_array(glb, last["input"]), [2, 4, 6])
    with pytest.raises(ValueError, match=r"frames\[2\]: 213 atoms, but frames\[0\] has 214"):
        plexorin.animate([frames[0], frames[1], frames[2][1:]], elements=adk.numbers[selection.indices])
    with pytest.raises(ValueError, match=r"frames\[1\]: positions\[3\] is not finite"):
        plexorin.animate([frames[0], np.where(np.arange(214)[:, None] == 3, np.nan, frames[0])],
                         elements=adk.numbers[selection.indices])
    with pytest.raises(ValueError, match="times: must increase"):
        plexorin.animate(frames, elements=adk.numbers[selection.indices], times=[0, 1, 1, 2])


class Repeated:
    """A million frames that are one frame; only the first is ever built."""
    def __init__(self, frame):
        self.frame, self.built = frame, 0

    def __len__(self):
        return 10**6

    def __iter__(self):
        while True:
            self.built += 1
            yield self.frame


def test_a_file_past_2_gib_is_refused_before_writing(adk, tmp_path):
    frames = Repeated(adk.atoms.positions)
    with pytest.raises(ValueError, match=r"below 2 GiB.*one file per frame.*--frames"):
        plexorin.save_animation(tmp_path / "big.glb", frames, elements=adk.numbers,
                                compress=True, workers=1)
    assert frames.built <= 3 and list(tmp_path.iterdir()) == []


def test_trajectory_of_another_topology_is_named_with_both_counts(capsys, tmp_path):
    assert cli.main(["convert", data("adk_oplsaa.gro"), data("adk_dims.dcd"), str(tmp_path / "x.glb"),
                     "--animate"]) == 2
    error = capsys.readouterr().err
    assert "adk_dims.dcd: 3,341 atoms" in error and "adk_oplsaa.gro has 47,681" in error


def test_viewer_plays_the_first_and_last_frames(adk, tmp_path):
    from test_viewer import DRIVER, browser_missing
    if browser_missing():
        pytest.skip(f"{browser_missing()} is missing")
    import sys
    sys.path.insert(0, str(REPO / "viewer"))
    from serve import StaticServer
    (tmp_path / "files").mkdir()
    frames = [adk.atoms.positions.copy() for _ in adk.trajectory[::24]]
    (tmp_path / "files" / "adk.glb").write_bytes(
        plexorin.animate(frames, elements=adk.numbers, compress=True, times=np.arange(5) * 60))
    with StaticServer(tmp_path / "files") as server:
        run = subprocess.run(["node", str(DRIVER), server.url, str(tmp_path), "/files/adk.glb"],
                             cwd=REPO, capture_output=True, text=True, timeout=600, check=False)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout.splitlines()[0])
    assert report["status"] == "ready" and report["pageErrors"] == [], report
    animation = report["animation"]
    assert animation["count"] == 5 and report["points"] == 5 * 3341
    assert (animation["first"]["frame"], animation["last"]["frame"]) == (0, 4)
    assert animation["first"]["visibleFrames"] == animation["last"]["visibleFrames"] == 1
    assert animation["last"]["label"].startswith("frame 5 / 5")
    assert animation["changedFraction"] > 0.005
