"""mesh_glb: a smooth-shaded, vertex-coloured trefoil-knot tube with computed normals.

The tube is a closed grid: its indices wrap around in both directions, so no
vertex is duplicated along a seam and the normals, averaged over the
triangles around each vertex, are smooth everywhere. mesh_glb takes float32
positions and unit normals (x y z per vertex), uint32 indices (three per
triangle, counter-clockwise seen from outside), optional float32 RGBA colours
per vertex, and one metallic-roughness material.

Run:  PYTHONPATH=build .venv/bin/python examples/mesh.py [--segments 2000 --sides 48] [--out out]
"""

import argparse
import pathlib
import time

import numpy as np

import _plexorin
from exact_bounds import exact_bounds, snap_to_six_decimals

TUBE_RADIUS = 0.45


def trefoil(t: np.ndarray) -> np.ndarray:
    return np.stack([np.sin(t) + 2 * np.sin(2 * t),
                     np.cos(t) - 2 * np.cos(2 * t),
                     -np.sin(3 * t)], axis=-1)


def unit(v: np.ndarray) -> np.ndarray:
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def tube_vertices(segments: int, sides: int) -> tuple[np.ndarray, np.ndarray]:
    """Vertex positions (segments * sides x 3) and the knot parameter of each."""
    t = np.arange(segments) * (2 * np.pi / segments)
    h = 1e-4  # central differences give the curve's frame
    tangent = unit(trefoil(t + h) - trefoil(t - h))
    bend = trefoil(t + h) - 2 * trefoil(t) + trefoil(t - h)
    normal = unit(bend - (bend * tangent).sum(axis=1, keepdims=True) * tangent)
    binormal = np.cross(tangent, normal)
    phi = np.arange(sides) * (2 * np.pi / sides)
    ring = (np.cos(phi)[None, :, None] * normal[:, None, :]
            + np.sin(phi)[None, :, None] * binormal[:, None, :])
    positions = trefoil(t)[:, None, :] + TUBE_RADIUS * ring
    return positions.reshape(-1, 3), np.repeat(t, sides)


def grid_triangles(segments: int, sides: int) -> np.ndarray:
    """Two triangles per grid cell, wrapping around in both directions."""
    i, j = np.meshgrid(np.arange(segments), np.arange(sides), indexing="ij")
    a = i * sides + j
    b = ((i + 1) % segments) * sides + j
    c = ((i + 1) % segments) * sides + (j + 1) % sides
    d = i * sides + (j + 1) % sides
    return np.stack([a, d, c, a, c, b], axis=-1).reshape(-1, 3).astype(np.uint32)


def vertex_normals(positions: np.ndarray, triangles: np.ndarray) -> np.ndarray:
    """Unit normals: the area-weighted sum of the normals of the triangles at each vertex."""
    p = positions.astype(np.float64)
    a, b, c = (p[triangles[:, k]] for k in range(3))
    face = np.cross(b - a, c - a)  # length is twice the area
    summed = np.zeros_like(p)
    for corner in range(3):
        for axis in range(3):
            summed[:, axis] += np.bincount(triangles[:, corner], weights=face[:, axis],
                                           minlength=len(p))
    return unit(summed).astype(np.float32)


def knot_colors(t: np.ndarray) -> np.ndarray:
    """RGBA: a warm-to-cool ramp that runs around the knot and back."""
    s = 0.5 - 0.5 * np.cos(t)
    rgb = np.stack([0.95 - 0.7 * s, 0.35 + 0.3 * np.sin(np.pi * s), 0.25 + 0.7 * s], axis=-1)
    return np.concatenate([rgb, np.ones((len(t), 1))], axis=1).astype(np.float32)


def knot_mesh(segments: int = 2000, sides: int = 48):
    """Positions, normals, triangles (n x 3 uint32) and RGBA colours of the tube."""
    positions, t = tube_vertices(segments, sides)
    positions = snap_to_six_decimals(positions)
    triangles = grid_triangles(segments, sides)
    return positions, vertex_normals(positions, triangles), triangles, knot_colors(t)


def write_mesh(path: pathlib.Path, segments: int = 2000, sides: int = 48) -> dict:
    positions, normals, triangles, colors = knot_mesh(segments, sides)
    vmin, vmax = exact_bounds(positions)
    start = time.perf_counter()
    glb = _plexorin.mesh_glb(positions, normals, triangles, bounds=vmin + vmax,
                             base_color=[1.0, 1.0, 1.0, 1.0], metallic=0.1, roughness=0.45,
                             emissive=[0.0, 0.0, 0.0], double_sided=False, colors=colors)
    seconds = time.perf_counter() - start
    path.write_bytes(glb)
    return {"path": path, "kind": "mesh", "count": len(positions), "triangles": len(triangles),
            "bytes": len(glb), "seconds": seconds,
            "detail": f"{len(positions):,} vertices, {len(triangles):,} triangles, RGBA"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--segments", type=int, default=2000, help="rings along the knot")
    parser.add_argument("--sides", type=int, default=48, help="vertices around the tube")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"))
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    result = write_mesh(args.out / "knot.glb", args.segments, args.sides)
    print(f"{result['detail']} -> {result['path']} "
          f"({result['bytes']:,} bytes, mesh_glb took {result['seconds'] * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
