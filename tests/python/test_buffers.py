"""Buffer arguments: what is read from each kind of exporter, byte counts,
views that are not contiguous or not aligned, size limits, the lifetime of
the memory read, and the interpreter lock during a call."""

import array
import mmap
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from glb_reader import accessor_array, parse_glb

LENGTH_ERROR = "cannot create std::vector larger than max_size()"
BOX = ([0.0, 0.0, 0.0], [1.0, 1.0, 1.0])


def exporters(data):
    """The same bytes through every kind of buffer exporter."""
    raw = bytes(data)

    class Pep688:
        def __buffer__(self, flags):
            return memoryview(raw)

    return {
        "bytes": raw,
        "bytearray": bytearray(raw),
        "memoryview": memoryview(raw),
        "memoryview-cast": memoryview(bytearray(raw)).cast("B"),
        "array": array.array("B", raw),
        "numpy-u1": np.frombuffer(raw, np.uint8).copy(),
        "numpy-2d": np.frombuffer(raw, np.uint8).reshape(1, -1).copy(),
        "__buffer__": Pep688(),
    }


def sample_arrays(count=40, seed=7):
    rng = np.random.default_rng(seed)
    positions = (rng.integers(0, 256, (count, 3)) / 64).astype(np.float32)
    return {
        "positions": positions,
        "types": rng.integers(0, 12, count).astype(np.uint16),
        "rgb": (rng.integers(0, 65, (count, 3)) / 64).astype(np.float32),
        "rgba": (rng.integers(0, 65, (count, 4)) / 64).astype(np.float32),
        "normals": np.tile(np.array([0, 0, 1], np.float32), (count, 1)),
        "indices": rng.integers(0, count, 3 * count).astype(np.uint32),
    }


def mesh_args(positions=b"", normals=b"", indices=b"", colors=None):
    return (positions, normals, indices, [0] * 6, [1, 1, 1, 1], 0.0, 1.0, [0] * 3, True, colors)


def coloured_mesh_args(a):
    return mesh_args(a["positions"], a["normals"], a["indices"], a["rgba"])


CALLS = {
    # name: (function name, arrays -> argument tuple, index of the argument under test)
    "atom-positions": ("atom_glb", lambda a: (a["positions"], a["types"], *BOX), 0),
    "atom-types": ("atom_glb", lambda a: (a["positions"], a["types"], *BOX), 1),
    "cloud-positions": ("point_cloud_glb", lambda a: (a["positions"], a["rgba"], *BOX), 0),
    "cloud-colors": ("point_cloud_glb", lambda a: (a["positions"], a["rgb"], *BOX), 1),
    "mesh-positions": ("mesh_glb", coloured_mesh_args, 0),
    "mesh-normals": ("mesh_glb", coloured_mesh_args, 1),
    "mesh-indices": ("mesh_glb", lambda a: mesh_args(a["positions"], a["normals"], a["indices"]), 2),
    "mesh-colors": ("mesh_glb", coloured_mesh_args, 9),
}


def call_with(plexorin, case, replacement=None):
    name, make_args, slot = CALLS[case]
    args = list(make_args(sample_arrays()))
    reference = args[slot]
    if replacement is not None:
        args[slot] = replacement(reference)
    return getattr(plexorin, name)(*args)


@pytest.mark.parametrize("case", sorted(CALLS))
def test_every_exporter_gives_identical_bytes(plexorin, case):
    expected = call_with(plexorin, case)
    name, make_args, slot = CALLS[case]
    for kind, exported in exporters(make_args(sample_arrays())[slot].tobytes()).items():
        assert call_with(plexorin, case, lambda _, exported=exported: exported) == expected, kind


@pytest.mark.parametrize("case", sorted(CALLS))
def test_typed_array_and_mmap_exporters_give_identical_bytes(plexorin, case):
    expected = call_with(plexorin, case)

    def as_typed_array(reference):
        return array.array({np.float32: "f", np.uint16: "H", np.uint32: "I"}[reference.dtype.type],
                           reference.ravel().tolist())

    def as_mmap(reference):
        mapped = mmap.mmap(-1, reference.nbytes)
        mapped.write(reference.tobytes())
        return mapped

    assert call_with(plexorin, case, as_typed_array) == expected
    assert call_with(plexorin, case, as_mmap) == expected


@pytest.mark.parametrize("case", sorted(CALLS))
@pytest.mark.parametrize("layout", ["column-slice", "reversed", "fortran", "every-other-row",
                                    "transposed-view"])
def test_non_contiguous_views_are_read_in_row_major_order(plexorin, case, layout):
    expected = call_with(plexorin, case)

    def relayout(reference):
        rows = reference.reshape(len(reference), -1)
        if layout == "column-slice":  # rows[:, :k] of a wider array
            wide = np.zeros((rows.shape[0], rows.shape[1] + 1), rows.dtype)
            wide[:, :rows.shape[1]] = rows
            view = wide[:, :rows.shape[1]]
        elif layout == "reversed":
            view = rows[::-1].copy()[::-1]
        elif layout == "fortran":
            view = np.asfortranarray(rows)
        elif layout == "every-other-row":
            doubled = np.repeat(rows, 2, axis=0)
            view = doubled[::2]
        else:
            view = np.ascontiguousarray(rows.T).T
        if rows.shape[1] > 1 or layout == "reversed" or layout == "every-other-row":
            assert not view.flags.c_contiguous
        return view if reference.ndim > 1 else view.reshape(-1) if view.shape[1] == 1 else view

    assert call_with(plexorin, case, relayout) == expected


def test_column_slice_of_four_component_positions(plexorin):
    """positions[:, :3] of an (N, 4) array is the common non-contiguous case."""
    xyzw = np.arange(48, dtype=np.float32).reshape(12, 4) / 64
    packed = np.ascontiguousarray(xyzw[:, :3])
    vmin, vmax = packed.min(0).tolist(), packed.max(0).tolist()
    assert plexorin.point_cloud_glb(xyzw[:, :3], xyzw, vmin, vmax) == \
        plexorin.point_cloud_glb(packed, xyzw, vmin, vmax)
    glb = parse_glb(plexorin.point_cloud_glb(xyzw[:, :3], xyzw, vmin, vmax))
    np.testing.assert_array_equal(accessor_array(glb, 0), packed)


@pytest.mark.parametrize("case", sorted(CALLS))
@pytest.mark.parametrize("offset", [1, 2, 3])
def test_unaligned_views_give_identical_bytes(plexorin, case, offset):
    expected = call_with(plexorin, case)

    def unaligned(reference):
        raw = reference.tobytes()
        storage = bytearray(offset) + bytearray(raw)
        return memoryview(storage)[offset:offset + len(raw)]

    assert call_with(plexorin, case, unaligned) == expected


def test_contiguous_views_are_read_in_place(plexorin):
    """A later conversion that rewrites a contiguous buffer in place (same size)
    shows in the file: the builder reads the caller's memory, not a copy."""
    positions = bytearray(np.array([0.25, 0.5, 0.75], np.float32).tobytes())
    replacement = np.array([0.125, 0.375, 0.625], np.float32).tobytes()

    class Rewrites:
        def __float__(self):
            positions[:] = replacement
            return 1.0

    glb = parse_glb(plexorin.point_cloud_glb(positions, b"", [0, 0, 0], [1, 1, Rewrites()]))
    np.testing.assert_array_equal(accessor_array(glb, 0), [[0.125, 0.375, 0.625]])


# ------------------------------------------------------------- byte counts --

def doc(data):
    return parse_glb(data).document


@pytest.mark.parametrize("nbytes, atoms", [(0, 0), (11, 0), (12, 1), (36, 3), (47, 3), (48, 4)])
def test_atom_count_is_position_bytes_over_twelve(plexorin, nbytes, atoms):
    data = plexorin.atom_glb(bytes(nbytes), bytes(2 * atoms), *BOX)
    if atoms == 0:
        assert len(data) == 32
    else:
        assert doc(data)["accessors"][0]["count"] == atoms
        assert doc(data)["buffers"][0]["byteLength"] == 24 * atoms


@pytest.mark.parametrize("pos_bytes, col_bytes, count, kind", [
    (36, 48, 3, "VEC4"), (36, 36, 3, "VEC3"), (38, 36, 3, "VEC3"), (14, 16, 1, "VEC4"),
    (0, 0, 0, "VEC4"), (36, 51, 3, "VEC4"),
])
def test_point_cloud_float_counts_come_from_byte_counts(plexorin, pos_bytes, col_bytes, count, kind):
    d = doc(plexorin.point_cloud_glb(bytes(pos_bytes), bytes(col_bytes), *BOX))
    assert d["accessors"][0]["count"] == count
    assert d["accessors"][1]["type"] == kind
    assert d["bufferViews"][0]["byteLength"] == pos_bytes // 4 * 4
    assert d["bufferViews"][1]["byteLength"] == col_bytes // 4 * 4


@pytest.mark.parametrize("array_, nbytes", [
    (np.zeros((5, 3), np.float32), 60), (np.zeros(4, np.float64), 32),
    (np.array(1.5, np.float32), 4), (np.zeros((2, 3, 2), np.uint8), 12),
    (np.zeros(0, np.float32), 0), (np.zeros((3, 0), np.float32), 0),
])
def test_byte_count_is_items_times_item_size_whatever_the_format(plexorin, array_, nbytes):
    d = doc(plexorin.point_cloud_glb(array_, b"", *BOX))
    assert d["bufferViews"][0]["byteLength"] == nbytes


def test_mesh_counts_and_float64_positions_taken_byte_for_byte(plexorin):
    d = doc(plexorin.mesh_glb(*mesh_args(bytes(38), bytes(36), bytes(14))))
    assert d["accessors"][0]["count"] == 3 and d["bufferViews"][0]["byteLength"] == 36
    assert d["accessors"][2]["count"] == 3
    wide = np.arange(9, dtype=np.float64)
    glb = parse_glb(plexorin.mesh_glb(*mesh_args(wide, bytes(72))))
    assert glb.document["accessors"][0]["count"] == 6
    assert glb.bin[:72] == wide.tobytes()


# ----------------------------------------------------------------- types --

@pytest.mark.parametrize("type_bytes", [0, 1, 5, 7])
def test_short_types_is_value_error(plexorin, type_bytes):
    positions = np.zeros((4, 3), np.float32)
    with pytest.raises(ValueError) as failure:
        plexorin.atom_glb(positions, bytes(type_bytes), *BOX)
    assert LENGTH_ERROR not in str(failure.value)


def test_short_types_at_end_of_mapping_is_refused_not_read(plexorin):
    """A types view that ends at the end of a mapping: reading one value past it
    would fault, so a refusal (not a crash) proves it is never read."""
    page = mmap.PAGESIZE
    mapped = mmap.mmap(-1, page)
    short = memoryview(mapped)[page - 6:]  # three 16-bit values
    positions = np.zeros((4, 3), np.float32)
    with pytest.raises(ValueError):
        plexorin.atom_glb(positions, short, *BOX)
    assert len(plexorin.atom_glb(positions[:3], short, *BOX)) > 32
    short.release()
    mapped.close()


@pytest.mark.parametrize("extra", [0, 1, 6])
def test_types_with_enough_values_is_accepted(plexorin, extra):
    types = np.array([1, 2, 3, 9], np.uint16).tobytes() + bytes(extra)
    positions = (np.arange(12, dtype=np.float32) / 64).reshape(4, 3)
    expected = plexorin.atom_glb(positions, types[:8], *BOX)
    assert plexorin.atom_glb(positions, types, *BOX) == expected


# ---------------------------------------------------------- size limits --

@pytest.fixture(scope="module")
def huge_mapping():
    """2^32 + 12 bytes of address space; untouched pages cost no memory."""
    mapped = mmap.mmap(-1, 2 ** 32 + 12)
    yield mapped
    mapped.close()


@pytest.mark.parametrize("size", [2 ** 32, 2 ** 32 + 12])
@pytest.mark.parametrize("case", sorted(CALLS))
def test_buffer_of_four_gib_or_more_is_value_error(plexorin, huge_mapping, size, case):
    name, make_args, slot = CALLS[case]
    args = list(make_args(sample_arrays(count=3)))
    view = memoryview(huge_mapping)[:size]
    args[slot] = view
    try:
        with pytest.raises(ValueError) as failure:
            getattr(plexorin, name)(*args)
        # refused at the buffer, not wrapped to a small count and then refused
        # (or accepted) by the builder
        assert str(failure.value) != LENGTH_ERROR
    finally:
        view.release()


def test_four_gib_numpy_view_is_value_error(plexorin, huge_mapping):
    view = np.frombuffer(huge_mapping, np.float32, count=2 ** 30)
    with pytest.raises(ValueError):
        plexorin.atom_glb(view, b"", *BOX)
    del view


@pytest.mark.parametrize("call", [
    lambda p, m: p.point_cloud_glb(memoryview(m)[:2 ** 31], b"", *BOX),
    lambda p, m: p.point_cloud_glb(memoryview(m)[:2 ** 31 - 4], b"", *BOX),  # file, not payload
    lambda p, m: p.point_cloud_glb(memoryview(m)[:2 ** 30], memoryview(m)[:2 ** 30], *BOX),
    lambda p, m: p.mesh_glb(*mesh_args(memoryview(m)[:2 ** 30], memoryview(m)[:2 ** 30])),
    lambda p, m: p.mesh_glb(*mesh_args(b"", b"", memoryview(m)[:2 ** 31 - 4])),
    lambda p, m: p.atom_glb(memoryview(m)[:12 * 89478486], memoryview(m)[:2 * 89478486], *BOX),
], ids=["cloud-payload", "cloud-file", "cloud-two-blocks", "mesh-payload", "mesh-file", "atoms"])
def test_file_of_two_gib_or_more_is_length_error(plexorin, huge_mapping, call):
    with pytest.raises(ValueError) as failure:
        call(plexorin, huge_mapping)
    assert str(failure.value) == LENGTH_ERROR


def test_atom_file_framing_past_two_gib_is_length_error(plexorin, huge_mapping):
    """89478485 atoms make a 2147483640-byte payload; only the file framing
    (document and headers) then passes 2^31, so this still fails, and with the
    same length error rather than a wrap-around."""
    with pytest.raises(ValueError, match=f"^{re.escape(LENGTH_ERROR)}$"):
        plexorin.atom_glb(memoryview(huge_mapping)[:12 * 89478485],
                          memoryview(huge_mapping)[:2 * 89478485], *BOX)


# -------------------------------------------------------- memory lifetime --

class Resizes:
    """A number whose conversion tries to resize or free a bytearray that the
    module has already taken."""

    def __init__(self, target, value=1.0):
        self.target, self.value, self.errors = target, value, []

    def attempt(self):
        for change in (lambda: self.target.extend(bytes(1 << 20)), self.target.clear,
                       lambda: self.target.__delitem__(slice(0, 4))):
            try:
                change()
            except BufferError as error:
                self.errors.append(error)

    def __float__(self):
        self.attempt()
        return self.value


class ResizingSequence(Resizes):
    def __len__(self):
        return 6

    def __getitem__(self, index):
        self.attempt()
        return 0.0 if index < 3 else 1.0


class ResizingExporter(Resizes):
    def __init__(self, target, data):
        super().__init__(target)
        self.data = data

    def __buffer__(self, flags):
        self.attempt()
        return memoryview(self.data)


def assert_refused_every_change(resizer, attempts):
    assert len(resizer.errors) == 3 * attempts
    assert all(isinstance(error, BufferError) for error in resizer.errors)


def test_bytearray_positions_cannot_be_resized_by_later_conversions_atoms(plexorin):
    arrays = sample_arrays()
    expected = plexorin.atom_glb(arrays["positions"], arrays["types"], *BOX)
    positions = bytearray(arrays["positions"].tobytes())
    types = ResizingExporter(positions, arrays["types"].tobytes())
    resizer = Resizes(positions)
    resizing_vmin = ResizingSequence(positions)
    assert plexorin.atom_glb(positions, types, resizing_vmin, [1, 1, resizer]) == expected
    for attempts, source in ((1, types), (3, resizing_vmin), (1, resizer)):
        assert_refused_every_change(source, attempts)
    assert bytes(positions) == arrays["positions"].tobytes()


def test_bytearray_inputs_cannot_be_resized_by_later_conversions_mesh(plexorin):
    arrays = sample_arrays()
    plain = list(mesh_args(arrays["positions"], arrays["normals"], arrays["indices"], arrays["rgba"]))
    plain[3] = [0, 0, 0, 1, 1, 1]  # what ResizingSequence holds
    expected = plexorin.mesh_glb(*plain)
    buffers = [bytearray(a.tobytes()) for a in (arrays["positions"], arrays["normals"],
                                                arrays["indices"], arrays["rgba"])]
    resizers = [Resizes(target, 0.0) for target in buffers]
    bounds = ResizingSequence(buffers[0])
    args = (*buffers[:3], bounds, [1, 1, 1, 1], 0.0, 1.0, resizers, True, buffers[3])
    assert plexorin.mesh_glb(*args) == expected
    assert_refused_every_change(bounds, 6)
    for resizer in resizers[:3]:
        assert_refused_every_change(resizer, 1)


def test_bytearray_colors_cannot_be_resized_by_later_conversions_cloud(plexorin):
    arrays = sample_arrays()
    expected = plexorin.point_cloud_glb(arrays["positions"], arrays["rgb"], *BOX)
    colors = bytearray(arrays["rgb"].tobytes())
    resizer = Resizes(colors, 0.0)
    assert plexorin.point_cloud_glb(arrays["positions"], colors, [resizer] * 3, BOX[1]) == expected
    assert_refused_every_change(resizer, 3)


def test_buffers_are_released_after_the_call(plexorin):
    positions = bytearray(36)
    plexorin.atom_glb(positions, bytearray(6), *BOX)
    positions.extend(bytes(12))  # no export outstanding any more
    with pytest.raises(ValueError):
        plexorin.atom_glb(positions, b"", *BOX)  # also after a failed call
    positions.clear()
    colors = bytearray(48)
    plexorin.mesh_glb(*mesh_args(bytearray(36), colors=colors))
    colors.clear()


# ------------------------------------------------------ memory exhaustion --

def run_isolated(code):
    env = dict(os.environ)
    module_dir = str(pathlib.Path(__import__("_plexorin").__file__).parent)
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=env, check=False)


def test_memory_exhaustion_is_memory_error_and_the_process_survives(plexorin):
    result = run_isolated("""
        import mmap, resource, _plexorin as p
        big = mmap.mmap(-1, 512 << 20)  # address space only
        def vm_size():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) << 10
        limit = vm_size() + (192 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        calls = [
            lambda: p.point_cloud_glb(big, b"", (0, 0, 0), (1, 1, 1)),
            lambda: p.mesh_glb(big, b"", b"", [0] * 6, [1] * 4, 0, 1, [0] * 3, True),
            lambda: p.atom_glb(memoryview(big)[:12 << 24], memoryview(big)[:2 << 24],
                               (0, 0, 0), (1, 1, 1)),
        ]
        for call in calls:
            try:
                call()
                print("returned")
            except MemoryError:
                print("MemoryError")
        print(len(p.atom_glb(bytes(12), bytes(2), (0, 0, 0), (1, 1, 1))))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError"] * 3 + ["648"]


# ------------------------------------------------------- interpreter lock --

def test_interpreter_lock_is_held_while_the_builder_runs(plexorin):
    """A waiting thread gets the lock only after the call returns: the last
    Python code of the call (a __float__ of vmax) wakes it, and the builder
    then runs for a long time without any Python code."""
    count = 3_000_000
    positions = np.random.default_rng(3).random((count, 3), dtype=np.float32)
    types = np.zeros(count, np.uint16)
    wake = threading.Event()
    woke_at = []

    def waiter():
        wake.wait()
        woke_at.append(time.perf_counter())

    class WakesWaiter:
        def __float__(self):
            entered.append(time.perf_counter())
            wake.set()
            return 1.0

    entered = []
    thread = threading.Thread(target=waiter)
    thread.start()
    plexorin.atom_glb(positions, types, [0, 0, 0], [1, 1, WakesWaiter()])
    returned = time.perf_counter()
    thread.join()
    builder_time = returned - entered[0]
    assert builder_time > 0.02, "builder too fast for the check to mean anything"
    # Released during the builder, the waiter would run within a switch
    # interval (5 ms) of being woken.
    assert woke_at[0] - entered[0] > 0.5 * builder_time
