#!/usr/bin/env python3
"""SHA-256 of every file that a fixed set of calls makes, one line each.

For changes that must not move a single output byte (refactoring, build
changes): run it before and after, and compare the two listings.

    PYTHONPATH=build .venv/bin/python scripts/output-hashes.py > before.txt
    ... change, rebuild ...
    PYTHONPATH=build .venv/bin/python scripts/output-hashes.py | diff before.txt -

The calls cover both modules: `_plexorin`'s three builders, and `plexorin`'s
atoms (points, spheres, compressed; the bucket and the pairs route of the
Morton order), point clouds and meshes (float and compressed layouts, every
colour type) and tilesets of points and atoms (every file of each). The data
comes from fixed seeds. The Morton interleave depends on the processor, so
compare listings made on one machine.
"""

from __future__ import annotations

import hashlib
import pathlib
import sys
import tempfile
from collections.abc import Callable
from typing import Any

import numpy as np

import _plexorin
import plexorin


def _cloud(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).uniform(-5.0, 5.0, (n, 3)).astype(np.float32)


def _clusters(n: int, seed: int) -> np.ndarray:
    """Most points in one tight blob: a bucket too large for the bucket route."""
    rng = np.random.default_rng(seed)
    points = rng.normal(0.0, 0.01, (n, 3))
    points[: n // 10] = rng.uniform(-5.0, 5.0, (n // 10, 3))
    return points.astype(np.float32)


def _types(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).integers(0, 10, n).astype(np.uint16)


def _surface(side: int) -> tuple[np.ndarray, np.ndarray]:
    """A height field of side x side vertices and its triangles."""
    u, v = np.meshgrid(np.linspace(0, 4, side), np.linspace(0, 3, side))
    positions = np.stack([u, v, np.sin(u * 2) * np.cos(v * 3)], axis=-1).reshape(-1, 3)
    cell = np.arange(side * side).reshape(side, side)[:-1, :-1].reshape(-1)
    faces = np.concatenate([np.stack([cell, cell + 1, cell + side], axis=1),
                            np.stack([cell + 1, cell + side + 1, cell + side], axis=1)])
    return positions.astype(np.float32), faces.astype(np.uint32)


def _colors(n: int, seed: int, dtype: Any, columns: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        return rng.random((n, columns)).astype(dtype)
    return rng.integers(0, np.iinfo(dtype).max + 1, (n, columns)).astype(dtype)


def module_calls() -> dict[str, Callable[[], bytes]]:
    small, large = _cloud(1000, 1), _cloud(300_000, 2)
    clustered = _clusters(1_200_000, 3)
    box = ([-5.0, -5.0, -5.0], [5.0, 5.0, 5.0])
    vertices, faces = _surface(120)
    normals = np.tile(np.float32([0, 0, 1]), (len(vertices), 1))
    rgba = _colors(len(vertices), 4, np.float32, 4)
    return {
        "_plexorin.atom_glb empty": lambda: _plexorin.atom_glb(b"", b"", *box),
        "_plexorin.atom_glb small": lambda: _plexorin.atom_glb(small, _types(1000, 5), *box),
        "_plexorin.atom_glb large": lambda: _plexorin.atom_glb(large, _types(300_000, 6), *box),
        "_plexorin.atom_glb clustered": lambda: _plexorin.atom_glb(
            clustered, _types(1_200_000, 7), [-0.1] * 3, [0.1] * 3),
        "_plexorin.atom_glb strided": lambda: _plexorin.atom_glb(
            np.asfortranarray(large), _types(600_000, 8)[::2], *box),
        "_plexorin.point_cloud_glb rgb": lambda: _plexorin.point_cloud_glb(
            large, _colors(300_000, 9, np.float32, 3), *box),
        "_plexorin.point_cloud_glb rgba": lambda: _plexorin.point_cloud_glb(
            small, _colors(1000, 10, np.float32, 4), [0.25] * 3, [0.5] * 3),
        "_plexorin.mesh_glb coloured": lambda: _plexorin.mesh_glb(
            vertices, normals, faces, [0, 0, -1, 4, 3, 1], [0.8, 0.2, 0.1, 1], 0.3, 0.6,
            [0.1, 0, 0], False, rgba),
        "_plexorin.mesh_glb plain": lambda: _plexorin.mesh_glb(
            vertices, normals, faces, [0, 0, -1, 4, 3, 1], [1, 1, 1, 1], 0, 1, [0, 0, 0], True),
    }


def atom_calls() -> dict[str, Callable[[], bytes]]:
    small, large = _cloud(1000, 11), _cloud(300_000, 12)
    clustered = _clusters(1_200_000, 13)
    gas = _cloud(20_000, 14)
    t_small, t_large, t_clustered, t_gas = (_types(len(a), 15 + i) for i, a in
                                            enumerate((small, large, clustered, gas)))
    per_atom = np.random.default_rng(16).uniform(0.05, 0.2, len(gas))
    atoms = plexorin.atoms
    return {
        "atoms empty": lambda: atoms(np.zeros((0, 3)), []),
        "atoms small": lambda: atoms(small, t_small),
        "atoms small float64 box": lambda: atoms(small.astype(np.float64), t_small,
                                                 box=([-6, -6, -6], [6, 6, 6])),
        "atoms large": lambda: atoms(large, t_large),
        "atoms clustered": lambda: atoms(clustered, t_clustered),
        "atoms compressed small": lambda: atoms(small, t_small, compress=True),
        "atoms compressed large": lambda: atoms(large, t_large, compress=True),
        "atoms compressed clustered": lambda: atoms(clustered, t_clustered, compress=True),
        "spheres default": lambda: atoms(gas, t_gas, style="spheres"),
        "spheres number": lambda: atoms(gas, t_gas, style="spheres", radius=0.3),
        "spheres by type": lambda: atoms(gas, t_gas, style="spheres", radius={1: 0.2, 8: 0.4}),
        "spheres per atom": lambda: atoms(gas, t_gas, style="spheres", radius=per_atom),
        "spheres compressed default": lambda: atoms(gas, t_gas, style="spheres", compress=True),
        "spheres compressed per atom": lambda: atoms(gas, t_gas, style="spheres",
                                                     radius=per_atom, compress=True),
        "spheres large": lambda: atoms(large, t_large, style="spheres"),
    }


def point_and_mesh_calls() -> dict[str, Callable[[], bytes]]:
    small, large = _cloud(1000, 21), _cloud(400_000, 22)
    clustered = _clusters(1_200_000, 23)
    point_cloud, mesh = plexorin.point_cloud, plexorin.mesh
    vertices, faces = _surface(100)
    big_vertices, big_faces = _surface(300)  # above 65536 vertices: 32-bit indices
    n = len(vertices)
    material = plexorin.Material(base_color=(0.9, 0.5, 0.1, 1.0), metallic=0.2, roughness=0.7,
                                 emissive=(0.0, 0.1, 0.0), double_sided=False)
    return {
        "point_cloud empty": lambda: point_cloud(np.zeros((0, 3))),
        "point_cloud plain": lambda: point_cloud(large),
        "point_cloud float rgb": lambda: point_cloud(small, _colors(1000, 24, np.float32, 3)),
        "point_cloud u8 rgba": lambda: point_cloud(small, _colors(1000, 25, np.uint8, 4)),
        "point_cloud u16 rgb": lambda: point_cloud(small, _colors(1000, 26, np.uint16, 3)),
        "point_cloud compressed": lambda: point_cloud(large, compress=True),
        "point_cloud compressed u8": lambda: point_cloud(
            large, _colors(len(large), 27, np.uint8, 3), compress=True),
        "point_cloud compressed u16 input order": lambda: point_cloud(
            large, _colors(len(large), 28, np.uint16, 4), compress=True, order="input"),
        "point_cloud compressed float clustered": lambda: point_cloud(
            clustered, _colors(len(clustered), 29, np.float32, 3), compress=True),
        "mesh empty": lambda: mesh(np.zeros((0, 3)), np.zeros((0, 3), np.uint32)),
        "mesh plain": lambda: mesh(vertices, faces),
        "mesh normals colours material": lambda: mesh(
            vertices, faces, normals=np.tile([0.0, 0.0, 1.0], (n, 1)),
            colors=_colors(n, 30, np.float32, 4), material=material),
        "mesh u8 colours": lambda: mesh(vertices, faces, colors=_colors(n, 31, np.uint8, 3)),
        "mesh compressed": lambda: mesh(vertices, faces, compress=True),
        "mesh compressed u16 colours material": lambda: mesh(
            vertices, faces, colors=_colors(n, 32, np.uint16, 4), material=material,
            compress=True),
        "mesh compressed large": lambda: mesh(big_vertices, big_faces, compress=True),
        "mesh large": lambda: mesh(big_vertices, big_faces),
    }


def tileset_hashes() -> list[tuple[str, str]]:
    points = _clusters(2_500_000, 41)
    atoms = _cloud(300_000, 42)
    cases: dict[str, dict[str, Any]] = {
        "points compressed u8": dict(positions=points, colors=_colors(len(points), 43, np.uint8, 3),
                                     points_per_tile=100_000),
        "points float colours": dict(positions=points[:400_000],
                                     colors=_colors(400_000, 44, np.float32, 4),
                                     points_per_tile=30_000, compress=False),
        "points routed rows": dict(positions=np.asfortranarray(points.astype(np.float64)),
                                   points_per_tile=200_000),
        "atoms compressed": dict(positions=atoms, types=_types(len(atoms), 45),
                                 points_per_tile=20_000),
        "atoms box": dict(positions=atoms, types=_types(len(atoms), 46), points_per_tile=50_000,
                          box=([-6, -6, -6], [6, 6, 6]), compress=False),
    }
    hashes = []
    for name, arguments in cases.items():
        with tempfile.TemporaryDirectory() as folder:
            positions = arguments.pop("positions")
            plexorin.tileset(folder, positions, **arguments)
            for path in sorted(pathlib.Path(folder).rglob("*")):
                if path.is_file():
                    digest = hashlib.sha256(path.read_bytes()).hexdigest()
                    hashes.append((f"tileset {name}: {path.relative_to(folder)}", digest))
    return hashes


def main() -> None:
    count = 0
    for calls in (module_calls(), atom_calls(), point_and_mesh_calls()):
        for name, call in calls.items():
            print(f"{hashlib.sha256(call()).hexdigest()}  {name}")
            count += 1
    for name, digest in tileset_hashes():
        print(f"{digest}  {name}")
        count += 1
    print(f"{count} hashes", file=sys.stderr)


if __name__ == "__main__":
    main()
