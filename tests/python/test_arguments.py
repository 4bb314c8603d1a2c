"""Argument dispatch, number conversion of sequences, failure rows with their
exact types and messages, and the order in which arguments are checked."""

import array
import collections
import decimal
import fractions
import json

import numpy as np
import pytest

from glb_reader import parse_glb

CAST_PREFIX = "Unable to cast Python instance of type "
TOO_SHORT = "sequence too short"
EMPTY_BOX = ((0, 0, 0), (1, 1, 1))


def incompatible(name):
    return f"{name}(): incompatible function arguments. The following argument types are supported:"


def document_numbers(data):
    """The JSON document with every non-integer number kept as its text."""
    return json.loads(parse_glb(data).json_bytes, parse_float=str)


def cloud_corners(plexorin, vmin, vmax):
    """The min and max texts an empty point cloud writes for these corners."""
    accessor = document_numbers(plexorin.point_cloud_glb(b"", b"", vmin, vmax))["accessors"][0]
    return accessor["min"], accessor["max"]


def mesh_args(**changes):
    args = dict(positions=b"", normals=b"", indices=b"", bounds=[0] * 6,
                base_color=[1, 1, 1, 1], metallic=0.0, roughness=1.0, emissive=[0, 0, 0],
                double_sided=True)
    args.update(changes)
    return args


def material(plexorin, **changes):
    doc = document_numbers(plexorin.mesh_glb(**mesh_args(**changes)))
    return doc["materials"][0]


# ---------------------------------------------------------------- helpers --

class Log(list):
    """Records the Python code that the module runs, in order."""


class Exporter:
    """A buffer exporter written in Python that records each export."""

    def __init__(self, log, name, data=b"", error=None):
        self.log, self.name, self.data, self.error = log, name, data, error

    def __buffer__(self, flags):
        self.log.append(("export", self.name))
        if self.error is not None:
            raise self.error
        return memoryview(self.data)


class LoggedSequence:
    """A sequence that records its length queries and item fetches."""

    def __init__(self, log, name, items):
        self.log, self.name, self.items = log, name, list(items)

    def __len__(self):
        self.log.append(("len", self.name))
        return len(self.items)

    def __getitem__(self, index):
        self.log.append(("get", self.name, index))
        return self.items[index]


class LoggedNumber:
    def __init__(self, log, name, value):
        self.log, self.name, self.value = log, name, value

    def __float__(self):
        self.log.append(("float", self.name))
        return self.value


class WithIndex:
    def __index__(self):
        return 7


class WithFloat:
    def __float__(self):
        return -1.0  # -1.0 is also CPython's error marker; it must pass as a value


class FailingFloat:
    def __float__(self):
        raise ArithmeticError("no float")


class NoLength:
    def __getitem__(self, index):
        return 0.0


class FetchError(Exception):
    pass


class FailingFetch:
    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 6

    def __getitem__(self, index):
        raise self.error


class TruthyByNumber:
    def __bool__(self):
        return True


class TruthFails:
    def __bool__(self):
        raise KeyError("no truth")


class TruthByLength:
    def __len__(self):
        return 1


# ----------------------------------------------------- keyword/positional --

def test_atom_keywords_in_any_order_match_positional(plexorin):
    pos = np.array([[1, 2, 3], [0, 0, 0]], np.float32) / 64
    types = np.array([1, 2], np.uint16)
    expected = plexorin.atom_glb(pos, types, [0, 0, 0], [1, 1, 1])
    assert plexorin.atom_glb(vmax=[1, 1, 1], vmin=[0, 0, 0], types=types, positions=pos) == expected
    assert plexorin.atom_glb(pos, types, vmax=[1, 1, 1], vmin=[0, 0, 0]) == expected


def test_point_cloud_keywords_match_positional(plexorin):
    pos = np.array([1, 2, 3], np.float32)
    col = np.array([1, 0, 0], np.float32)
    expected = plexorin.point_cloud_glb(pos, col, [1, 2, 3], [1, 2, 3])
    assert plexorin.point_cloud_glb(colors=col, positions=pos, vmax=[1, 2, 3], vmin=[1, 2, 3]) == expected
    assert plexorin.point_cloud_glb(pos, col, [1, 2, 3], vmax=[1, 2, 3]) == expected


def test_mesh_colors_default_none_and_mixes_are_identical(plexorin):
    pos = np.eye(3, dtype=np.float32)
    args = [pos, pos, np.arange(3, dtype=np.uint32), [0, 0, 0, 1, 1, 1], [1, 1, 1, 1], 0.0, 0.5,
            [0, 0, 0], False]
    names = ["positions", "normals", "indices", "bounds", "base_color", "metallic", "roughness",
             "emissive", "double_sided"]
    nine = plexorin.mesh_glb(*args)
    assert plexorin.mesh_glb(*args, None) == nine
    assert plexorin.mesh_glb(*args, colors=None) == nine
    assert plexorin.mesh_glb(**dict(zip(names, args))) == nine
    assert plexorin.mesh_glb(*args[:4], **dict(zip(names[4:], args[4:]))) == nine
    assert "COLOR_0" not in document_numbers(nine)["meshes"][0]["primitives"][0]["attributes"]


@pytest.mark.parametrize("call", [
    lambda p: p.atom_glb(b"", b"", [0, 0, 0]),                          # missing
    lambda p: p.atom_glb(b"", b"", [0, 0, 0], [0, 0, 0], None),         # surplus
    lambda p: p.atom_glb(b"", b"", [0, 0, 0], [0, 0, 0], scale=1),      # unknown keyword
    lambda p: p.atom_glb(b"", b"", [0, 0, 0], vmin=[0, 0, 0]),          # given twice
    lambda p: p.atom_glb(b"", b"", [0, 0, 0], vmax=[0, 0, 0], colors=b""),
], ids=["missing", "surplus", "unknown-keyword", "twice", "foreign-keyword"])
def test_atom_argument_count_and_names_are_checked(plexorin, call):
    escaped = incompatible("atom_glb").replace("(", r"\(").replace(")", r"\)")
    with pytest.raises(TypeError, match=r"^" + escaped):
        call(plexorin)


def test_mesh_with_eleven_or_eight_arguments_is_refused(plexorin):
    args = list(mesh_args().values())
    with pytest.raises(TypeError, match=r"^mesh_glb\(\): incompatible function arguments"):
        plexorin.mesh_glb(*args, None, None)
    with pytest.raises(TypeError, match=r"^mesh_glb\(\): incompatible function arguments"):
        plexorin.mesh_glb(*args[:8])


def test_incompatible_message_lists_signature_and_invocation(plexorin):
    with pytest.raises(TypeError) as failure:
        plexorin.point_cloud_glb([1.0], b"", [0, 0, 0], [1, 1, 1])
    message = str(failure.value)
    assert message.startswith(incompatible("point_cloud_glb"))
    assert ("1. (positions: collections.abc.Buffer, colors: collections.abc.Buffer, "
            "vmin: collections.abc.Sequence, vmax: collections.abc.Sequence) -> bytes") in message
    assert "Invoked with: [1.0], b'', [0, 0, 0], [1, 1, 1]" in message


# ------------------------------------------------------- dispatch by kind --

BUFFERS_ACCEPTED = [
    b"", bytearray(), memoryview(b""), array.array("f"), np.zeros(0, np.float32),
]
BUFFERS_REFUSED = [[], (), "", 0, 1.5, None, {}, set(), iter(b""), bytearray.__new__]
SEQUENCES_ACCEPTED = [
    [0, 0, 0], (0, 0, 0), range(3), np.zeros(3), b"\0\0\0", bytearray(3), array.array("d", [0] * 3),
    collections.deque([0, 0, 0]),
]
SEQUENCES_REFUSED = [{0: 0, 1: 0, 2: 0}, {0, 1, 2}, frozenset({0, 1, 2}), iter([0, 0, 0]),
                     (x for x in [0, 0, 0]), 0, 0.0, None, np.float64(0)]


@pytest.mark.parametrize("value", BUFFERS_ACCEPTED, ids=lambda v: type(v).__name__)
def test_buffer_parameters_accept_buffer_exporters(plexorin, value):
    assert len(plexorin.atom_glb(value, value, *EMPTY_BOX)) == 32
    assert len(plexorin.point_cloud_glb(value, value, *EMPTY_BOX)) == 620


@pytest.mark.parametrize("value", BUFFERS_REFUSED, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("slot", range(3))
def test_buffer_parameters_refuse_everything_else(plexorin, value, slot):
    args = [b"", b"", b""]
    args[slot] = value
    with pytest.raises(TypeError, match=r"^mesh_glb\(\): incompatible function arguments"):
        plexorin.mesh_glb(*args, [0] * 6, [1] * 4, 0.0, 1.0, [0] * 3, True)
    if slot < 2:
        with pytest.raises(TypeError, match=r"^atom_glb\(\): incompatible function arguments"):
            plexorin.atom_glb(*args[:2], *EMPTY_BOX)


@pytest.mark.parametrize("value", SEQUENCES_ACCEPTED, ids=lambda v: type(v).__name__)
def test_sequence_parameters_accept_sequences(plexorin, value):
    expected = [f"{float(value[i]):.6f}" for i in range(3)]
    assert cloud_corners(plexorin, value, value) == (expected, expected)
    assert plexorin.mesh_glb(**mesh_args(emissive=value))


@pytest.mark.parametrize("value", SEQUENCES_REFUSED, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("name", ["bounds", "base_color", "emissive"])
def test_sequence_parameters_refuse_non_sequences(plexorin, value, name):
    with pytest.raises(TypeError, match=r"^mesh_glb\(\): incompatible function arguments"):
        plexorin.mesh_glb(**mesh_args(**{name: value}))


@pytest.mark.parametrize("value", SEQUENCES_REFUSED, ids=lambda v: type(v).__name__)
def test_vmin_refuses_non_sequences(plexorin, value):
    with pytest.raises(TypeError, match=r"^point_cloud_glb\(\): incompatible function arguments"):
        plexorin.point_cloud_glb(b"", b"", value, [0, 0, 0])


@pytest.mark.parametrize("value, text", [
    (0.25, "0.2500"), (1, "1.0000"), (2, "2.0000"), (True, "1.0000"), (False, "0.0000"),
    (np.float32(0.5), "0.5000"), (np.float64(-0.5), "-0.5000"), (np.int64(3), "3.0000"),
    (np.bool_(True), "1.0000"), (fractions.Fraction(1, 4), "0.2500"),
    (decimal.Decimal("0.75"), "0.7500"), (WithIndex(), "7.0000"), (WithFloat(), "-1.0000"),
    (type("F", (float,), {})(1.5), "1.5000"), (2 ** 60, "1152921504606846976.0000"),
])
def test_double_parameters_accept_numbers(plexorin, value, text):
    assert material(plexorin, metallic=value)["pbrMetallicRoughness"]["metallicFactor"] == text
    assert material(plexorin, roughness=value)["pbrMetallicRoughness"]["roughnessFactor"] == text


@pytest.mark.parametrize("value", ["1", b"1", None, 1j, [1.0], 10 ** 400, FailingFloat(), object()],
                         ids=repr)
@pytest.mark.parametrize("name", ["metallic", "roughness"])
def test_double_parameters_refuse_non_numbers(plexorin, value, name):
    with pytest.raises(TypeError, match=r"^mesh_glb\(\): incompatible function arguments"):
        plexorin.mesh_glb(**mesh_args(**{name: value}))


@pytest.mark.parametrize("value, word", [
    (True, "true"), (False, "false"), (None, "false"), (0, "false"), (1, "true"), (2, "true"),
    (0.0, "false"), (0.5, "true"), (np.bool_(True), "true"), (np.bool_(False), "false"),
    (np.int64(0), "false"), (TruthyByNumber(), "true"),
])
def test_double_sided_accepts_number_truth(plexorin, value, word):
    data = plexorin.mesh_glb(**mesh_args(double_sided=value))
    assert f'"doubleSided":{word}}}'.encode() in data


@pytest.mark.parametrize("value", [[], [1], "", "x", b"", {}, TruthByLength(), TruthFails(), object()],
                         ids=repr)
def test_double_sided_refuses_truth_by_length(plexorin, value):
    with pytest.raises(TypeError, match=r"^mesh_glb\(\): incompatible function arguments"):
        plexorin.mesh_glb(**mesh_args(double_sided=value))


def test_metallic_int_is_written_as_float_and_negative_roughness_kept(plexorin):
    pbr = material(plexorin, metallic=2, roughness=-0.5)["pbrMetallicRoughness"]
    assert (pbr["metallicFactor"], pbr["roughnessFactor"]) == ("2.0000", "-0.5000")


@pytest.mark.parametrize("value", [[1.0, 0.0, 0.0, 1.0], (1, 0), "abcd", 3, {}, object(),
                                   np.array([[1, 0, 0, 1]], np.float32).tolist()], ids=repr)
def test_mesh_colors_other_than_none_or_buffer_is_type_error(plexorin, value):
    expected = f"Object of type '{type(value).__name__}' is not an instance of 'buffer'"
    with pytest.raises(TypeError) as failure:
        plexorin.mesh_glb(**mesh_args(colors=value))
    assert str(failure.value) == expected


@pytest.mark.parametrize("empty", [None, b"", bytearray(), np.zeros((0, 4), np.float32)],
                         ids=lambda v: type(v).__name__)
def test_mesh_colors_absent_none_or_empty_give_same_bytes(plexorin, empty):
    pos = np.eye(3, dtype=np.float32)
    args = mesh_args(positions=pos, normals=pos, indices=np.arange(3, dtype=np.uint32))
    assert plexorin.mesh_glb(**args, colors=empty) == plexorin.mesh_glb(**args)


# ------------------------------------------------ number conversion (read_doubles) --

@pytest.mark.parametrize("sequence, expected", [
    ([1, 2, 3], ["1.000000", "2.000000", "3.000000"]),
    ((0.5, True, -1.0), ["0.500000", "1.000000", "-1.000000"]),
    ([1, 2, 3, 4, 5], ["1.000000", "2.000000", "3.000000"]),
    ([1, 2, 3, None], ["1.000000", "2.000000", "3.000000"]),  # elements past n never read
    (range(4, 7), ["4.000000", "5.000000", "6.000000"]),
    (b"\x01\x02\x03", ["1.000000", "2.000000", "3.000000"]),
    # float32 widened to double, not rounded to six decimals first: 1e6 + 0.1
    # is 1000000.125 in single precision
    (np.array([1e6 + 0.1, 0.5, -2], np.float32), ["1000000.125000", "0.500000", "-2.000000"]),
    (np.array([1e6 + 0.1, 0, 0]), ["1000000.100000", "0.000000", "0.000000"]),
    ([np.float32(0.25), np.int16(-3), np.bool_(True)], ["0.250000", "-3.000000", "1.000000"]),
    ([WithIndex(), WithFloat(), decimal.Decimal("2.5")], ["7.000000", "-1.000000", "2.500000"]),
    ([fractions.Fraction(1, 3), 0, 0], ["0.333333", "0.000000", "0.000000"]),
    ([2 ** 64, -(2 ** 70), 10 ** 20],
     ["18446744073709551616.000000", "-1180591620717411303424.000000",
      "100000000000000000000.000000"]),
    ([-0.0, 4e-7, -4e-7], ["-0.000000", "0.000000", "-0.000000"]),
])
def test_sequence_elements_convert_to_doubles(plexorin, sequence, expected):
    written_min, written_max = cloud_corners(plexorin, sequence, [0, 0, 0])
    assert written_min == expected
    assert cloud_corners(plexorin, [0, 0, 0], sequence)[1] == expected
    assert written_max == ["0.000000"] * 3


def test_tuple_list_int_and_float_bounds_give_identical_files(plexorin):
    pos = np.array([0.5, 0.25, 0.75], np.float32)
    types = np.array([3], np.uint16)
    reference = plexorin.atom_glb(pos, types, [0.0, 0.0, 0.0], [1.0, 1.0, 1.0])
    for vmin, vmax in [((0, 0, 0), (1, 1, 1)), ([0, 0.0, False], np.ones(3, np.float32)),
                       ([0, 0, 0, 99], [1, 1, 1, "ignored"])]:
        assert plexorin.atom_glb(pos, types, vmin, vmax) == reference


@pytest.mark.parametrize("sequence", [
    "abc", [1, None, 3], [10 ** 400, 0, 0], [1, "2", 3], [1j, 0, 0], [FailingFloat(), 0, 0],
    [[1], 0, 0], [b"1", 0, 0], [object(), 0, 0],
], ids=repr)
def test_unconvertible_element_is_runtime_error_with_cast_message(plexorin, sequence):
    bad = next(item for item in sequence if not isinstance(item, (int, float)) or
               isinstance(item, bool) or abs(item) > 1e308)
    with pytest.raises(RuntimeError) as failure:
        plexorin.point_cloud_glb(b"", b"", sequence, [0, 0, 0])
    assert str(failure.value).startswith(CAST_PREFIX + repr(type(bad)))


@pytest.mark.parametrize("sequence", [[1, 2], [], (), np.zeros((1, 3), np.float32), "ab", b"\0\0"],
                         ids=repr)
def test_short_sequence_is_value_error(plexorin, sequence):
    with pytest.raises(ValueError) as failure:
        plexorin.atom_glb(b"", b"", sequence, [0, 0, 0])
    assert str(failure.value) == TOO_SHORT


@pytest.mark.parametrize("name, short", [("bounds", [0] * 5), ("base_color", [1, 1, 1]),
                                         ("emissive", []), ("emissive", [0, 0])])
def test_mesh_short_sequences_are_value_errors(plexorin, name, short):
    with pytest.raises(ValueError) as failure:
        plexorin.mesh_glb(**mesh_args(**{name: short}))
    assert str(failure.value) == TOO_SHORT


def test_mesh_uses_first_six_bounds_and_four_colour_factors(plexorin):
    doc = document_numbers(plexorin.mesh_glb(**mesh_args(
        bounds=[-1, -2, -3, 1, 2, 3, 1e300], base_color=(0.25, 0.5, 0.75, 1, None),
        emissive=np.array([0.125, 0, 1, 7], np.float32))))
    accessor = doc["accessors"][0]
    assert accessor["min"] == ["-1.000000", "-2.000000", "-3.000000"]
    assert accessor["max"] == ["1.000000", "2.000000", "3.000000"]
    assert doc["materials"][0]["pbrMetallicRoughness"]["baseColorFactor"] == \
        ["0.2500", "0.5000", "0.7500", "1.0000"]
    assert doc["materials"][0]["emissiveFactor"] == ["0.1250", "0.0000", "1.0000"]


def test_length_query_failure_propagates_unchanged(plexorin):
    with pytest.raises(TypeError) as failure:
        plexorin.point_cloud_glb(b"", b"", NoLength(), [0, 0, 0])
    assert str(failure.value) == "object of type 'NoLength' has no len()"
    with pytest.raises(TypeError, match=r"^object of type 'NoLength' has no len\(\)$"):
        plexorin.mesh_glb(**mesh_args(emissive=NoLength()))


@pytest.mark.parametrize("error", [FetchError("fetch"), IndexError("gone"), KeyError("k")],
                         ids=lambda e: type(e).__name__)
def test_fetch_failure_propagates_unchanged(plexorin, error):
    with pytest.raises(type(error)) as failure:
        plexorin.atom_glb(b"", b"", [0, 0, 0], FailingFetch(error))
    assert failure.value is error
    with pytest.raises(type(error)) as failure:
        plexorin.mesh_glb(**mesh_args(base_color=FailingFetch(error)))
    assert failure.value is error


def test_exporter_refusal_propagates_unchanged(plexorin):
    refusal = BufferError("not now")
    with pytest.raises(BufferError) as failure:
        plexorin.point_cloud_glb(b"", Exporter(Log(), "colors", error=refusal), *EMPTY_BOX)
    assert failure.value is refusal


def test_read_fetches_in_order_and_stops_at_n(plexorin):
    log = Log()
    items = [LoggedNumber(log, f"e{i}", float(i)) for i in range(5)]
    plexorin.point_cloud_glb(b"", b"", LoggedSequence(log, "vmin", items), [0, 0, 0])
    assert log == [("len", "vmin"), ("get", "vmin", 0), ("float", "e0"), ("get", "vmin", 1),
                   ("float", "e1"), ("get", "vmin", 2), ("float", "e2")]


def test_short_sequence_fetches_nothing(plexorin):
    log = Log()
    with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
        plexorin.point_cloud_glb(b"", b"", LoggedSequence(log, "vmin", [0, 0]), [0, 0, 0])
    assert log == [("len", "vmin")]


# --------------------------------------------------------- order of checks --

def atom_call_log(plexorin, pos_error=None, typ_error=None, vmin=(0, 0, 0), vmax=(0, 0, 0)):
    log = Log()
    positions = Exporter(log, "positions", error=pos_error)
    types = Exporter(log, "types", error=typ_error)
    failure = None
    try:
        plexorin.atom_glb(positions, types, LoggedSequence(log, "vmin", vmin),
                          LoggedSequence(log, "vmax", vmax))
    except Exception as error:  # noqa: BLE001 - the test inspects it
        failure = error
    return log, failure


def test_atom_checks_positions_then_types_then_vmin_then_vmax(plexorin):
    first, second = FetchError("positions"), FetchError("types")
    log, failure = atom_call_log(plexorin, pos_error=first, typ_error=second, vmin=[])
    assert failure is first and log == [("export", "positions")]

    log, failure = atom_call_log(plexorin, typ_error=second, vmin=[])
    assert failure is second and log == [("export", "positions"), ("export", "types")]

    log, failure = atom_call_log(plexorin, vmin=[0, 0], vmax=[])
    assert str(failure) == TOO_SHORT and isinstance(failure, ValueError)
    assert log == [("export", "positions"), ("export", "types"), ("len", "vmin")]

    log, failure = atom_call_log(plexorin, vmin=[0, None, 0], vmax=[])
    assert isinstance(failure, RuntimeError) and str(failure).startswith(CAST_PREFIX)
    assert log[-1] == ("get", "vmin", 1)

    log, failure = atom_call_log(plexorin, vmax=[0])
    assert str(failure) == TOO_SHORT and log[-1] == ("len", "vmax")


def test_point_cloud_checks_positions_then_colors_then_vmin_then_vmax(plexorin):
    first, second = FetchError("positions"), FetchError("colors")
    log = Log()
    with pytest.raises(FetchError) as failure:
        plexorin.point_cloud_glb(Exporter(log, "positions", error=first),
                                 Exporter(log, "colors", error=second), [], [])
    assert failure.value is first
    log = Log()
    with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
        plexorin.point_cloud_glb(Exporter(log, "positions"), Exporter(log, "colors"),
                                 LoggedSequence(log, "vmin", [0]), LoggedSequence(log, "vmax", []))
    assert log == [("export", "positions"), ("export", "colors"), ("len", "vmin")]


def test_argument_errors_win_over_non_finite_bounds(plexorin):
    with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
        plexorin.point_cloud_glb(b"", b"", [float("nan")] * 3, [0, 0])
    with pytest.raises(RuntimeError, match=f"^{CAST_PREFIX}"):
        plexorin.atom_glb(np.zeros(3, np.float32), b"\0\0", [float("inf")] * 3, [0, 0, "x"])
    with pytest.raises(ValueError, match=f"^{TOO_SHORT}$"):
        plexorin.mesh_glb(**mesh_args(bounds=[float("nan")] * 6, metallic=float("inf"), emissive=[]))


def test_dispatch_errors_run_no_body_code(plexorin):
    log = Log()
    exporter = Exporter(log, "positions")
    vmin = LoggedSequence(log, "vmin", [0, 0, 0])
    with pytest.raises(TypeError):
        plexorin.atom_glb(exporter, b"", vmin, {})
    with pytest.raises(TypeError):
        plexorin.mesh_glb(**mesh_args(positions=exporter, bounds=vmin, metallic="x"))
    with pytest.raises(TypeError):
        plexorin.mesh_glb(**mesh_args(positions=exporter, bounds=vmin, double_sided=[]))
    assert log == []


def mesh_call_log(plexorin, **changes):
    log = Log()
    args = mesh_args(positions=Exporter(log, "positions"), normals=Exporter(log, "normals"),
                     indices=Exporter(log, "indices"))
    for name in ("bounds", "base_color", "emissive"):
        args[name] = LoggedSequence(log, name, args[name])
    for name, value in changes.items():
        if callable(value):
            value = value(log)
        elif isinstance(value, list) and name in ("bounds", "base_color", "emissive"):
            value = LoggedSequence(log, name, value)
        args[name] = value
    failure = None
    try:
        plexorin.mesh_glb(**args)
    except Exception as error:  # noqa: BLE001 - the test inspects it
        failure = error
    return log, failure


def test_mesh_exports_in_order_before_any_sequence(plexorin):
    log, failure = mesh_call_log(plexorin, colors=lambda log: Exporter(log, "colors"))
    assert failure is None
    assert log[:4] == [("export", "positions"), ("export", "normals"), ("export", "indices"),
                       ("export", "colors")]
    assert [entry for entry in log if entry[0] == "len"] == \
        [("len", "bounds"), ("len", "base_color"), ("len", "emissive")]


@pytest.mark.parametrize("failing", ["positions", "normals", "indices", "colors"])
def test_mesh_first_failing_export_wins(plexorin, failing):
    order = ["positions", "normals", "indices", "colors"]
    errors = {name: FetchError(name) for name in order}
    changes = {name: (lambda log, name=name: Exporter(
        log, name, error=errors[name] if order.index(name) >= order.index(failing) else None))
        for name in order}
    log, failure = mesh_call_log(plexorin, **changes, bounds=[])
    assert failure is errors[failing]
    assert log[-1] == ("export", failing)


def test_mesh_invalid_colors_wins_over_short_bounds(plexorin):
    log, failure = mesh_call_log(plexorin, colors=[1.0], bounds=[0])
    assert isinstance(failure, TypeError)
    assert str(failure) == "Object of type 'list' is not an instance of 'buffer'"
    assert ("len", "bounds") not in log and len(log) == 3


def test_mesh_short_bounds_wins_over_short_base_color_and_emissive(plexorin):
    log, failure = mesh_call_log(plexorin, bounds=[0] * 5, base_color=[], emissive=[])
    assert str(failure) == TOO_SHORT and log[-1] == ("len", "bounds")


def test_mesh_short_base_color_wins_over_short_emissive(plexorin):
    log, failure = mesh_call_log(plexorin, base_color=[1, 1, 1], emissive=[])
    assert str(failure) == TOO_SHORT and log[-1] == ("len", "base_color")
    assert ("len", "emissive") not in log


def test_mesh_bad_emissive_element_reported_after_all_else_read(plexorin):
    log, failure = mesh_call_log(plexorin, emissive=[0, "x", 0])
    assert isinstance(failure, RuntimeError)
    assert str(failure).startswith(CAST_PREFIX + "<class 'str'>")
    assert log[-1] == ("get", "emissive", 1)
    assert ("get", "base_color", 3) in log and ("get", "bounds", 5) in log


# ------------------------------------------------------- non-finite values --

NON_FINITE = [float("nan"), float("inf"), float("-inf")]


@pytest.mark.parametrize("value", NON_FINITE, ids=repr)
@pytest.mark.parametrize("corner", ["vmin", "vmax"])
def test_non_finite_corner_is_value_error_naming_it(plexorin, value, corner):
    box = {"vmin": [0, 0, 0], "vmax": [1, 1, 1]}
    box[corner][1] = value
    for call in (lambda: plexorin.point_cloud_glb(b"", b"", **box),
                 lambda: plexorin.atom_glb(np.zeros(3, np.float32), b"\0\0", **box)):
        with pytest.raises(ValueError, match=corner):
            call()


def test_zero_atoms_ignore_non_finite_corners(plexorin):
    assert len(plexorin.atom_glb(b"", b"", NON_FINITE, NON_FINITE)) == 32


@pytest.mark.parametrize("value", NON_FINITE, ids=repr)
@pytest.mark.parametrize("name, make", [
    ("bounds", lambda v: [0, 0, 0, 1, v, 1]), ("base_color", lambda v: [1, 1, v, 1]),
    ("metallic", lambda v: v), ("roughness", lambda v: v), ("emissive", lambda v: [v, 0, 0]),
])
def test_non_finite_mesh_value_is_value_error_naming_it(plexorin, value, name, make):
    with pytest.raises(ValueError, match=name):
        plexorin.mesh_glb(**mesh_args(**{name: make(value)}))
