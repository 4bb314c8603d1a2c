"""Where a glTF document's content lies: bounds with the node transforms applied.

    placement(document) -> Placement

Bounds are in the data's own axes: every node transform is applied in
float64, except the quarter turn of a root node that stands z-up data
upright (what the builders write with ``up="z"``), which is reported as the
up axis "z" instead. The origin is the translation of a root node without a
mesh above the whole scene (the builders' "Frame"), in those axes. Only the
accessors' min and max are read, never the data: a primitive's box is its
POSITION bounds through its node's transforms (the stored integers of a
compressed file become coordinates), an instanced node's box that of its
TRANSLATION bounds (the instances' centres) when it declares them. A node
whose scale is zero at rest and animated (a trajectory's frames, hidden
until their time) is placed at the scale it is shown at: its scale
channel's declared maximum, else 1.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

Box = tuple[list[float], list[float]]

# A quarter turn about x, (x, y, z) -> (x, z, -y), as (x, y, z, w).
Z_UP_ROTATION = (-math.sqrt(0.5), 0.0, 0.0, math.sqrt(0.5))
TOLERANCE = 1e-9
# Normalised integer accessors: value / divisor, at least -1.
DIVISORS = {5120: 127.0, 5121: 255.0, 5122: 32767.0, 5123: 65535.0}


@dataclass
class Placement:
    origin: list[float] | None = None
    up: str = "y"
    primitives: dict[tuple[int, int], Box] = field(default_factory=dict)  # (mesh, primitive)
    instances: dict[int, Box] = field(default_factory=dict)  # instanced node -> centres
    bounds: Box | None = None  # of everything above


class PlacementError(ValueError):
    """A node transform that is not the finite numbers glTF requires."""


def _numbers(node: dict[str, Any], key: str, default: tuple[float, ...]) -> tuple[float, ...]:
    """`node[key]` as len(default) finite numbers, or the default when absent."""
    value = node.get(key)
    if value is None:
        return default
    ok = (isinstance(value, list) and len(value) == len(default)
          and all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                  for v in value))
    if not ok:
        raise PlacementError(f"a node's {key} is not {len(default)} finite numbers")
    return tuple(float(v) for v in value)


def _rotation(q: Any) -> np.ndarray:
    x, y, z, w = q
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def local_matrix(node: dict[str, Any], shown_scale: tuple[float, ...] | None = None) -> np.ndarray:
    """The node's transform as a 4x4 float64 matrix (glTF's column-major
    "matrix", or T * R * S), with `shown_scale` for its scale when given."""
    if "matrix" in node:
        return np.array(_numbers(node, "matrix", (0.0,) * 16), np.float64).reshape(4, 4).T
    matrix = np.eye(4)
    scale = shown_scale or _numbers(node, "scale", (1.0, 1.0, 1.0))
    matrix[:3, :3] = _rotation(_numbers(node, "rotation", (0.0, 0.0, 0.0, 1.0))) * np.array(
        scale, np.float64)
    matrix[:3, 3] = _numbers(node, "translation", (0.0, 0.0, 0.0))
    return matrix


def _frame(node: dict[str, Any]) -> tuple[list[float] | None, str] | None:
    """(origin, up) of a root node that only places the scene, or None."""
    if "mesh" in node or "matrix" in node or "scale" in node or not node.get("children"):
        return None
    rotation = _numbers(node, "rotation", (0.0, 0.0, 0.0, 1.0))
    if np.allclose(rotation, (0, 0, 0, 1), rtol=0, atol=TOLERANCE):
        up = "y"
    elif np.allclose(rotation, Z_UP_ROTATION, rtol=0, atol=TOLERANCE):
        up = "z"
    else:
        return None
    if "translation" not in node:
        return None, up
    x, y, z = _numbers(node, "translation", (0.0, 0.0, 0.0))
    # The turn maps z-up (x, y, z) to (x, z, -y): undone exactly.
    return ([x, -z, y] if up == "z" else [x, y, z]), up


def _shown_scales(document: dict[str, Any]) -> dict[int, tuple[float, ...]]:
    """Node -> the scale it is shown at, for nodes of zero scale at rest
    that an animation scales (see the module's notes). Malformed entries
    are passed over: they place nothing."""
    nodes = document.get("nodes", [])
    shown: dict[int, tuple[float, ...]] = {}
    for animation in _dicts(document.get("animations")):
        samplers = animation.get("samplers")
        samplers = samplers if isinstance(samplers, list) else []
        for channel in _dicts(animation.get("channels")):
            target, sampler = channel.get("target"), channel.get("sampler")
            if not isinstance(target, dict) or target.get("path") != "scale":
                continue
            node = target.get("node")
            if not (isinstance(node, int) and 0 <= node < len(nodes)
                    and 0.0 in _numbers(nodes[node], "scale", (1.0, 1.0, 1.0))):
                continue
            output = samplers[sampler].get("output") if isinstance(sampler, int) and \
                0 <= sampler < len(samplers) and isinstance(samplers[sampler], dict) else None
            try:
                shown[node] = _numbers({"max": _accessor(document, output).get("max")}, "max",
                                       (1.0, 1.0, 1.0))
            except PlacementError:  # a declared maximum that is not 3 numbers
                shown[node] = (1.0, 1.0, 1.0)
    return shown


def _dicts(value: Any) -> list[dict[str, Any]]:
    """The objects of a JSON array (others left out as malformed)."""
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def _box(accessor: dict[str, Any]) -> np.ndarray | None:
    """The 8 corners of an accessor's min/max, as the values they stand for."""
    low, high = accessor.get("min"), accessor.get("max")
    if not isinstance(low, list) or not isinstance(high, list) or len(low) != 3 or len(high) != 3:
        return None
    if not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in low + high):
        return None
    corners = np.array([[(high if i >> a & 1 else low)[a] for a in range(3)] for i in range(8)],
                       np.float64)
    if accessor.get("normalized"):
        divisor = DIVISORS.get(accessor.get("componentType", 0), 1.0)
        corners = np.maximum(corners / divisor, -1.0)
    return corners


def _placed(corners: np.ndarray, matrix: np.ndarray) -> Box:
    with np.errstate(over="ignore", invalid="ignore"):  # huge values: bounds become None
        points = corners @ matrix[:3, :3].T + matrix[:3, 3]
    return points.min(axis=0).tolist(), points.max(axis=0).tolist()


def _union(a: Box | None, b: Box) -> Box:
    if a is None:
        return b
    return [min(x, y) for x, y in zip(a[0], b[0])], [max(x, y) for x, y in zip(a[1], b[1])]


def _accessor(document: dict[str, Any], index: Any) -> dict[str, Any]:
    accessors = document.get("accessors", [])
    ok = isinstance(index, int) and 0 <= index < len(accessors) and isinstance(accessors[index], dict)
    return accessors[index] if ok else {}


def _place_node(document: dict[str, Any], index: int, matrix: np.ndarray, out: Placement) -> None:
    node = document["nodes"][index]
    instancing = (node.get("extensions") or {}).get("EXT_mesh_gpu_instancing")
    if isinstance(instancing, dict):  # the mesh alone says nothing of where instances are
        centres = _box(_accessor(document, (instancing.get("attributes") or {}).get("TRANSLATION")))
        if centres is not None:
            out.instances[index] = _placed(centres, matrix)
            out.bounds = _union(out.bounds, out.instances[index])
        return
    meshes = document.get("meshes", [])
    mesh = node.get("mesh")
    if not isinstance(mesh, int) or not 0 <= mesh < len(meshes):
        return
    for number, primitive in enumerate(meshes[mesh].get("primitives", [])):
        corners = _box(_accessor(document, (primitive.get("attributes") or {}).get("POSITION")))
        if corners is not None:
            box = _placed(corners, matrix)
            key = (mesh, number)
            out.primitives[key] = _union(out.primitives.get(key), box)
            out.bounds = _union(out.bounds, box)


def placement(document: dict[str, Any]) -> Placement:
    """Origin, up axis and bounds of the document's default scene."""
    out = Placement()
    nodes, scenes = document.get("nodes", []), document.get("scenes", [])
    scene = document.get("scene", 0)
    if not isinstance(scene, int) or not 0 <= scene < len(scenes):
        return out
    roots = [i for i in scenes[scene].get("nodes", []) if isinstance(i, int) and 0 <= i < len(nodes)]
    frame = _frame(nodes[roots[0]]) if len(roots) == 1 else None
    if frame is not None:
        out.origin, out.up = frame
    shown = _shown_scales(document)
    stack = []
    for root in roots:
        matrix = local_matrix(nodes[root], shown.get(root))
        if frame is not None:  # the frame in the data's axes: its origin alone
            matrix = np.eye(4)
            matrix[:3, 3] = out.origin or (0.0, 0.0, 0.0)
        stack.append((root, matrix))
    seen: set[int] = set()
    while stack:
        index, matrix = stack.pop()
        if index in seen:  # a node is placed once (a cycle is malformed anyway)
            continue
        seen.add(index)
        _place_node(document, index, matrix, out)
        for child in nodes[index].get("children", []):
            if isinstance(child, int) and 0 <= child < len(nodes):
                stack.append((child, matrix @ local_matrix(nodes[child], shown.get(child))))
    return out
