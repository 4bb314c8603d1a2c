"""tileset.json: the octree of the written tiles, their boxes and errors."""

from __future__ import annotations

import math
from typing import Any

from ._plan import Code, Grid

SQRT3 = math.sqrt(3.0)


def tile_name(level: int, node: int) -> str:
    """r, then the child number (0..7) of each level down to the node."""
    return "r" + (format(node, f"0{level}o") if level else "")


def tileset_document(tiles: dict[Code, Any], grid: Grid, k: int) -> dict[str, Any]:
    """The document of `tiles` ((level, node) -> (points, z-up low corner,
    high corner)) on `grid`, inner nodes keeping a point per cell of k
    levels further down."""
    children: dict[Code, set[Code]] = {(0, 0): set()}
    for level, node in tiles:
        while level > 0:
            parent = (level - 1, node >> 3)
            children.setdefault(parent, set()).add((level, node))
            children.setdefault((level, node), set())
            level, node = parent
    min_half = grid.side / 2048.0  # half a finest cell, for flat or single-point tiles

    def error(level: int) -> float:
        return grid.side * SQRT3 / 2.0 ** (level + k)

    def box(low: Any, high: Any) -> list[float]:
        centre = [(a + b) / 2.0 for a, b in zip(low, high)]
        half = [max((b - a) / 2.0, min_half) for a, b in zip(low, high)]
        return [*centre, half[0], 0.0, 0.0, 0.0, half[1], 0.0, 0.0, 0.0, half[2]]

    def build(code: Code) -> tuple[dict[str, Any], Any, Any]:
        kids = [build(c) for c in sorted(children[code])]
        lows = [t[1] for t in kids]
        highs = [t[2] for t in kids]
        tile: dict[str, Any] = {}
        if code in tiles:
            count, low, high = tiles[code]
            lows.append(low)
            highs.append(high)
        if not lows:  # nothing at all: only for an empty input
            lows, highs = [grid.lo], [grid.lo]
        low = tuple(min(v[a] for v in lows) for a in range(3))
        high = tuple(max(v[a] for v in highs) for a in range(3))
        tile["boundingVolume"] = {"box": box(low, high)}
        tile["geometricError"] = error(code[0]) if kids else 0.0
        if code in tiles:
            tile["content"] = {"uri": tile_name(*code) + ".glb",
                               "boundingVolume": {"box": box(tiles[code][1], tiles[code][2])}}
            tile["extras"] = {"points": tiles[code][0]}
        if kids:
            tile["children"] = [t[0] for t in kids]
        return tile, low, high

    root, _, _ = build((0, 0))
    root["refine"] = "ADD"
    total = sum(t[0] for t in tiles.values())
    return {"asset": {"version": "1.1", "generator": "plexorin", "extras": {"points": total}},
            "geometricError": error(-1), "root": root}
