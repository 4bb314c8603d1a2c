"""point_cloud_glb: a coloured point cloud sampled from a parametric surface.

The surface is a seashell: a tube that winds around an axis while it grows
exponentially. Points are sampled uniformly over its area and coloured by
where they lie on it. point_cloud_glb packs positions and colours unchanged,
in the order given: float32 RGB (three per point) or RGBA (four per point),
each component in [0, 1].

Run:  PYTHONPATH=build .venv/bin/python examples/point_cloud.py [--points 500000] [--out out]
"""

import argparse
import pathlib
import time

import numpy as np

import _plexorin
from exact_bounds import exact_bounds, snap_to_six_decimals

TURNS = 3.5
GROWTH = 0.12  # radius factor per radian of winding


def shell_point(theta: np.ndarray, phi: np.ndarray) -> np.ndarray:
    """Points of the seashell at winding angle theta and tube angle phi."""
    scale = np.exp(GROWTH * theta)
    # The shell winds around the y axis, glTF's up direction.
    outward = np.stack([np.cos(theta), np.zeros_like(theta), np.sin(theta)], axis=-1)
    axis = np.array([0.0, 1.0, 0.0])
    centre = scale[:, None] * (outward - 1.4 * axis)
    tube = 0.55 * scale[:, None] * (np.cos(phi)[:, None] * outward + np.sin(phi)[:, None] * axis)
    return 10.0 * (centre + tube)


def shell_colors(theta: np.ndarray, phi: np.ndarray) -> np.ndarray:
    """RGB in [0, 1]: a cosine palette along the winding, with growth bands."""
    t = theta / (2 * np.pi * TURNS)
    phase = np.array([0.0, 0.33, 0.67])
    rgb = 0.5 + 0.5 * np.cos(2 * np.pi * (t[:, None] + phase))
    bands = 0.75 + 0.25 * np.cos(theta * 12.0 + 0.5 * np.sin(3 * phi))
    return (rgb * bands[:, None]).astype(np.float32)


def seashell(count: int = 500_000, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """Positions (float32, count x 3) and RGB colours (float32, count x 3)."""
    rng = np.random.default_rng(seed)
    # The area element grows as exp(2 * GROWTH * theta): invert that
    # distribution so the points cover the surface evenly.
    end = 2 * np.pi * TURNS
    u = rng.random(count)
    theta = np.log1p(u * np.expm1(2 * GROWTH * end)) / (2 * GROWTH)
    phi = rng.random(count) * 2 * np.pi
    return snap_to_six_decimals(shell_point(theta, phi)), shell_colors(theta, phi)


def write_point_cloud(path: pathlib.Path, count: int = 500_000) -> dict:
    positions, colors = seashell(count)
    vmin, vmax = exact_bounds(positions)
    start = time.perf_counter()
    glb = _plexorin.point_cloud_glb(positions, colors, vmin, vmax)
    seconds = time.perf_counter() - start
    path.write_bytes(glb)
    return {"path": path, "kind": "points", "count": len(positions), "bytes": len(glb),
            "seconds": seconds, "detail": f"{len(positions):,} points, RGB"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=500_000)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"))
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    result = write_point_cloud(args.out / "seashell.glb", args.points)
    print(f"{result['count']:,} points -> {result['path']} ({result['bytes']:,} bytes, "
          f"point_cloud_glb took {result['seconds'] * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
