#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Each seed is a small hand-made case in the input layout that the target's
header comment describes: worked examples, edge cases of the box and the
counts, non-finite values and oversize counts. Run it again after changing a
layout; the fuzzers grow their own corpora from these in a scratch folder.
"""

from __future__ import annotations

import math
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

OVERSIZE, RAW_BOUNDS = 1, 2


def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def f32s(values):
    return struct.pack(f"<{len(values)}f", *values)


def u32s(values):
    return struct.pack(f"<{len(values)}I", *values)


def sixty_fourths(values):
    """Values as i16 multiples of 1/64 (the non-raw encoding)."""
    return b"".join(struct.pack("<h", round(v * 64)) for v in values)


def raw_doubles(values):
    return struct.pack(f"<{len(values)}d", *values)


def atom_seed(flags, workers, bounds, coords, types, raw_positions=False):
    flags |= 16 if raw_positions else 0
    encoded_bounds = raw_doubles(bounds) if flags & RAW_BOUNDS else sixty_fourths(bounds)
    body = f32s(coords) if raw_positions else sixty_fourths(coords)
    return (u8(flags) + u8(workers - 1) + encoded_bounds + u16(len(types)) + body
            + struct.pack(f"<{len(types)}H", *types))


def atom_seeds():
    unit_box = [0, 0, 0, 1, 1, 1]
    grid = [c for i in range(40) for c in ((i * 7) % 64 / 64, (i * 3) % 64 / 64, (i % 5) / 4)]
    nan, inf = math.nan, math.inf
    return {
        "zero_atoms": atom_seed(0, 1, unit_box, [], []),
        "one_atom_type_2": atom_seed(0, 1, unit_box, [0.25, 0.5, 0.75], [2]),
        "palette_and_overflow_types": atom_seed(
            0, 2, unit_box, [0.1 * i for i in range(30)], [0, 1, 2, 3, 4, 5, 6, 7, 8, 65535]),
        "same_cell_keeps_order": atom_seed(0, 3, unit_box, [0.5] * 12, [1, 2, 3, 4]),
        "outside_and_inverted_box": atom_seed(
            0, 4, [1, 1, 1, -1, -1, -1], [-3, 0, 3, 2, 2, 2, -1, -1, -1, 0.5, 0.5, 0.5], [1, 2, 3, 4]),
        "degenerate_box": atom_seed(0, 2, [0.5, 0, 0.5, 0.5, 1, 0.5], [0.5, 0.25, 0.5, 0.5, 0.75, 0.25],
                                    [3, 6]),
        "forty_atoms_four_workers": atom_seed(32, 4, unit_box, grid, list(range(40))),
        "non_finite_positions": atom_seed(
            RAW_BOUNDS, 2, [0, 0, 0, 1, 1, 1], [nan, 0, 0, inf, -inf, 0.5, 1e30, -1e30, 0], [1, 2, 3],
            raw_positions=True),
        "huge_box": atom_seed(RAW_BOUNDS, 3, [-1e300, -1e300, -1e300, 1e300, 1e300, 1e300],
                              [1, 2, 3, 4, 5, 6], [0, 7], raw_positions=True),
        "nan_bound": atom_seed(RAW_BOUNDS, 1, [0, nan, 0, 1, 1, 1], [0.5, 0.5, 0.5], [1]),
        "infinite_bound": atom_seed(RAW_BOUNDS, 1, [0, 0, 0, 1, inf, 1], [0.5, 0.5, 0.5], [1]),
        "oversize_count": u8(OVERSIZE) + u8(0) + sixty_fourths(unit_box) + u32(89478486),
    }


def cloud_seed(flags, bounds, positions, colors, color_mode, color_request=0):
    encoded_bounds = raw_doubles(bounds) if flags & RAW_BOUNDS else sixty_fourths(bounds)
    return (u8(flags | color_mode << 4) + encoded_bounds + u16(len(positions))
            + u16(color_request) + f32s(positions) + f32s(colors))


RGB, RGBA, ARBITRARY, NO_COLORS = 0, 1, 2, 3


def point_cloud_seeds():
    zero_box = [0] * 6
    return {
        "empty": cloud_seed(0, zero_box, [], [], RGBA),
        "one_rgb_point": cloud_seed(0, zero_box, [1, 2, 3], [0.1, 0.2, 0.3], RGB),
        "two_rgba_points": cloud_seed(4, [0, 0, 0, 1, 1, 1], [0, 0, 0, 1, 1, 1], [1, 0, 0, 1, 0, 1, 0, 0.5],
                                      RGBA),
        "seven_position_floats": cloud_seed(8, [0, 0, 0, 1, 1, 1], [0.5] * 7, [0.25] * 5, ARBITRARY, 5),
        "colours_without_points": cloud_seed(0, zero_box, [], [1, 1, 1], ARBITRARY, 3),
        "no_colours": cloud_seed(12, [0, 0, 0, 1, 1, 1], [0.5] * 6, [], NO_COLORS),
        "negative_zero_and_huge_bounds": cloud_seed(
            RAW_BOUNDS, [-0.0, -1e20, 4e-7, 1e300, -4e-7, 1e20], [1, 2, 3], [0.5] * 3, RGB),
        "nan_bound": cloud_seed(RAW_BOUNDS, [0, 0, 0, math.nan, 1, 1], [1, 2, 3], [0.5] * 3, RGB),
        "oversize": u8(OVERSIZE) + sixty_fourths([0] * 6) + u32(0x20000000) + u32(0),
    }


def mesh_seed(flags, shape, bounds, material, positions, normals, colors, indices,
              normal_request=0, color_request=0):
    raw = raw_doubles if flags & RAW_BOUNDS else sixty_fourths
    raw_material = raw_doubles if flags & 32 else sixty_fourths
    return (u8(flags) + u8(shape) + raw(bounds) + raw_material(material)
            + u16(len(positions)) + u16(normal_request) + u16(len(indices)) + u16(color_request)
            + f32s(colors) + f32s(positions) + f32s(normals) + u32s(indices))


DOUBLE_SIDED = 16
COLORS_NONE, COLORS_NULL_WITH_COUNT, COLORS_EMPTY, COLORS_RGBA, COLORS_ANY, COLORS_RGB = range(6)
NORMALS_ANY = 1 << 3


def mesh_seeds():
    # The worked triangle: base colour 1, metallic 0, roughness 0.5, box (0,0,0)-(1,1,0).
    material = [1, 1, 1, 1, 0, 0.5, 0, 0, 0]
    box = [0, 0, 0, 1, 1, 0]
    tri = [0, 0, 0, 1, 0, 0, 0, 1, 0]
    up = [0, 0, 1] * 3
    rgba = [1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1]
    return {
        "triangle": mesh_seed(0, COLORS_NONE, box, material, tri, up, [], [0, 1, 2]),
        "triangle_with_colours": mesh_seed(DOUBLE_SIDED, COLORS_RGBA, box, material, tri, up, rgba,
                                           [0, 1, 2]),
        "null_colours_with_count": mesh_seed(0, COLORS_NULL_WITH_COUNT, box, material, tri, up, [], [0, 1, 2],
                                             color_request=11),
        "colour_pointer_count_zero": mesh_seed(0, COLORS_EMPTY, box, material, tri, up, [], [0, 1, 2]),
        "rgb_colours_ten_floats": mesh_seed(4, COLORS_RGB, box, material, tri + [0.5], up, [0.5] * 9,
                                            [2, 1, 0, 7]),
        "short_normals": mesh_seed(8 | DOUBLE_SIDED, COLORS_ANY | NORMALS_ANY, box, material, tri, [0, 0, 1],
                                   [0.25] * 5, [0, 1], normal_request=3, color_request=5),
        "everything_empty": mesh_seed(0, COLORS_NONE, [0] * 6, [1, 1, 1, 1, 0, 1, 0, 0, 0], [], [], [], []),
        "extreme_factors": mesh_seed(RAW_BOUNDS | 32, COLORS_NONE,
                                     [-1e300, -0.0, 1e-7, 1e300, 1e20, -1e-7],
                                     [-1.5, 2, 1e300, -0.0, 1.5, -0.5, -1, 1e-5, 5e-5],
                                     tri, up, [], [0, 1, 2]),
        "nan_roughness": mesh_seed(32, COLORS_NONE, box, [1, 1, 1, 1, 0, math.nan, 0, 0, 0], tri, up, [],
                                   [0, 1, 2]),
        "oversize": u8(OVERSIZE) + u8(0) + sixty_fourths(box + material)
                    + u32(0x10000000) + u32(0x10000000) + u32(1),
    }


COLOURED, KEEP_ORDER, RAW_POSITIONS, RAW_COLOURS, LENT_SCRATCH, MISALIGNED = 1, 2, 16, 32, 64, 128
FLOAT_COLOURS, U8_COLOURS, U16_COLOURS = 0, 1, 2
RGBA_SHAPE = 4
BITS_15, BITS_16, BITS_13, BITS_17 = 1 << 3, 2 << 3, 5 << 3, 6 << 3


def compressed_seed(flags, shape, points, colors=(), exponent=24, offset=0, workers=1):
    """Positions as i16 steps of 2^(exponent - 24) (or raw floats), colours as stored."""
    flags |= (workers - 1) << 2
    if flags & RAW_POSITIONS:
        body = f32s([c for p in points for c in p])
    else:
        body = struct.pack(f"<{3 * len(points)}h", *(c for p in points for c in p))
    kind = shape & 3
    if kind == U8_COLOURS:
        body += bytes(colors)
    elif kind == U16_COLOURS:
        body += struct.pack(f"<{len(colors)}H", *colors)
    elif flags & RAW_COLOURS:
        body += f32s(colors)
    else:  # u16 / 65535 in the low half of each word
        body += u32s([round(c * 65535) for c in colors])
    return u8(flags) + u8(shape) + u8(exponent) + struct.pack("<h", offset) + u16(len(points)) + body


def compressed_points_seeds():
    grid = [(x * 9 % 31, y * 5 % 17, (x + y) % 3) for x in range(8) for y in range(8)]
    line = [(i, 0, 0) for i in range(100)]
    nan, inf = math.nan, math.inf
    return {
        "empty": compressed_seed(0, 0, []),
        "one_rgb_point": compressed_seed(COLOURED, FLOAT_COLOURS, [(3, -2, 7)], [0.1, 0.5, 1.0]),
        "grid_rgba8_three_workers": compressed_seed(
            COLOURED | LENT_SCRATCH, U8_COLOURS | RGBA_SHAPE | BITS_15, grid,
            [v % 256 for v in range(0, 4 * 64 * 7, 7)], exponent=30, offset=-300, workers=3),
        "line_kept_order_rgb16": compressed_seed(
            COLOURED | KEEP_ORDER | MISALIGNED, U16_COLOURS | BITS_16, line[::-1],
            [(v * 997) % 65536 for v in range(300)], workers=2),
        "duplicates_on_a_flat_axis": compressed_seed(0, BITS_16, [(5, 5, 0)] * 20 + [(-5, 7, 0)] * 3),
        "half_steps": compressed_seed(0, 0, [(0, 0, 0), (1, 1, 1), (16383, 2, 3), (1, 16382, 8191)],
                                      exponent=25),
        "huge_and_tiny_raw": compressed_seed(
            RAW_POSITIONS | KEEP_ORDER, 0, [(3.4e38, -3.4e38, 1e-45), (-3.4e38, 3.4e38, -1e-45),
                                            (0.0, -0.0, 1e-38)]),
        "nan_in_row_2": compressed_seed(RAW_POSITIONS, 0, [(0, 0, 0), (1, 1, 1), (1, nan, inf)]),
        "colour_above_one": compressed_seed(COLOURED | RAW_COLOURS, FLOAT_COLOURS | RGBA_SHAPE,
                                            [(1, 2, 3), (4, 5, 6)], [0, 0, 0, 1, 0.5, 1.5, 0, 1]),
        "bits_13": compressed_seed(0, BITS_13, [(1, 2, 3), (4, 5, 6)]),
        "bits_17_no_points": compressed_seed(0, BITS_17, []),
    }


def main():
    for target, seeds in (("atom", atom_seeds()), ("point_cloud", point_cloud_seeds()),
                          ("mesh", mesh_seeds()), ("compressed_points", compressed_points_seeds())):
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
