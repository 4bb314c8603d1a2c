"""The type stubs shipped with the module: mypy accepts the calls that work and
flags the calls that fail, and the stubs name the same parameters as the module."""

import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
STUB = REPO / "bindings" / "_plexorin.pyi"

PREAMBLE = """\
import array
import numpy as np
import _plexorin
p = np.zeros((4, 3), np.float32)
t = np.zeros(4, np.uint16)
n = np.array([[0, 0, 1]] * 4, np.float32)
i = np.array([0, 1, 2], np.uint32)
c4 = np.ones((4, 4), np.float32)
"""

GOOD_CALLS = [
    "_plexorin.atom_glb(p, t, [0, 0, 0], (1.0, 1.0, 1.0))",
    "_plexorin.atom_glb(p[::2], t[::2].tobytes(), p.min(axis=0), p.max(axis=0))",
    "_plexorin.point_cloud_glb(memoryview(p), array.array('f', [0.5] * 12), vmin=range(3), vmax=[1, 1, 1])",
    "_plexorin.mesh_glb(p, n, i, [0] * 6, [1, 1, 1, 1], 0, 0.5, [0, 0, 0], True)",
    "_plexorin.mesh_glb(p, n, i, [0] * 6, [1, 1, 1, 1], 0, 0.5, [0, 0, 0], True, None)",
    "_plexorin.mesh_glb(p, n, i, bounds=[0] * 6, base_color=(1, 1, 1, 1), metallic=np.float64(0.2), "
    "roughness=1, emissive=[0.0] * 3, double_sided=False, colors=c4)",
    "size: int = len(_plexorin.point_cloud_glb(bytearray(48), b'', [0, 0, 0], [1, 1, 1]))",
]

# (call, mypy error code, exception at run time or None when only the types are wrong)
BAD_CALLS = [
    ("text: str = _plexorin.atom_glb(p, t, [0, 0, 0], [1, 1, 1])", "assignment", None),
    ("_plexorin.atom_glb([0.0, 0.0, 0.0], t, [0, 0, 0], [1, 1, 1])", "arg-type", TypeError),
    ("_plexorin.atom_glb(p, t, 'abc', [1, 1, 1])", "arg-type", RuntimeError),
    ("_plexorin.atom_glb(p, t, {0: 0.0, 1: 0.0, 2: 0.0}, [1, 1, 1])", "arg-type", TypeError),
    ("_plexorin.atom_glb(p, t, [0, None, 0], [1, 1, 1])", "list-item", RuntimeError),
    ("_plexorin.atom_glb(p, t, [0, 0, 0])", "call-arg", TypeError),
    ("_plexorin.point_cloud_glb(p, p, iter([0, 0, 0]), [1, 1, 1])", "arg-type", TypeError),
    ("_plexorin.point_cloud_glb(p, p, [0, 0, 0], [1, 1, 1], 5)", "call-arg", TypeError),
    ("_plexorin.mesh_glb(p, n, i, [0] * 6, [1, 1, 1, 1], '0', 0.5, [0, 0, 0], True)",
     "arg-type", TypeError),
    ("_plexorin.mesh_glb(p, n, i, [0] * 6, [1, 1, 1, 1], 0, 0.5, [0, 0, 0], [])",
     "arg-type", TypeError),
    ("_plexorin.mesh_glb(p, n, i, [0] * 6, [1, 1, 1, 1], 0, 0.5, [0, 0, 0], True, colors=[1.0] * 16)",
     "arg-type", TypeError),
    ("_plexorin.mesh_glb(p, n, i, [0] * 6, [1, 1, 1, 1], 0, 0.5, [0, 0, 0], True, colours=c4)",
     "call-arg", TypeError),
    ("_plexorin.volume_glb(p)", "attr-defined", AttributeError),
]

MYPY_LINE = re.compile(r"^[^:]+:(\d+): error: .*\[([a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_errors(plexorin, tmp_path_factory):
    """mypy's errors on a file of all the calls, as {line number: [codes]}.

    mypy finds the stubs as a user's would: next to the imported module, on
    the interpreter's path, with no MYPYPATH.
    """
    folder = tmp_path_factory.mktemp("typing")
    lines = PREAMBLE.splitlines() + GOOD_CALLS + [call for call, _, _ in BAD_CALLS]
    (folder / "calls.py").write_text("\n".join(lines) + "\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    module_dir = str(pathlib.Path(plexorin.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(folder / "cache"), "calls.py"],
                         cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode in (0, 1), run.stdout + run.stderr
    assert "import-not-found" not in run.stdout, "mypy did not find the stubs:\n" + run.stdout
    errors: dict[int, list[str]] = {}
    for line in run.stdout.splitlines():
        match = MYPY_LINE.match(line)
        if match:
            errors.setdefault(int(match[1]), []).append(match[2])
    return errors, len(PREAMBLE.splitlines())


def test_mypy_accepts_every_call_that_works(mypy_errors):
    errors, first = mypy_errors
    flagged = {GOOD_CALLS[line - first - 1]: codes for line, codes in errors.items()
               if first < line <= first + len(GOOD_CALLS)}
    preamble = {line: codes for line, codes in errors.items() if line <= first}
    assert flagged == {} and preamble == {}


@pytest.mark.parametrize("index", range(len(BAD_CALLS)), ids=[c for c, _, _ in BAD_CALLS])
def test_mypy_flags_each_call_that_fails(mypy_errors, index):
    errors, first = mypy_errors
    call, code, _ = BAD_CALLS[index]
    assert code in errors.get(first + len(GOOD_CALLS) + index + 1, []), (call, errors)


def run_call(call):
    exec(compile(PREAMBLE + call, "<call>", "exec"), {})


@pytest.mark.parametrize("call", GOOD_CALLS)
def test_the_accepted_calls_run(plexorin, call):
    run_call(call)


@pytest.mark.parametrize("call, exception", [(c, e) for c, _, e in BAD_CALLS if e],
                         ids=[c for c, _, e in BAD_CALLS if e])
def test_the_flagged_calls_fail_at_run_time(plexorin, call, exception):
    with pytest.raises(exception):
        run_call(call)


def stub_parameters(function_name):
    tree = ast.parse(STUB.read_text())
    (function,) = [node for node in tree.body
                   if isinstance(node, ast.FunctionDef) and node.name == function_name]
    args = function.args
    assert not args.posonlyargs and not args.kwonlyargs and not args.vararg and not args.kwarg
    with_default = {arg.arg for arg in args.args[len(args.args) - len(args.defaults):]}
    return [(arg.arg, arg.arg in with_default) for arg in args.args]


def runtime_parameters(function):
    """Names and whether each has a default, from the module's signature line."""
    signature = function.__doc__.splitlines()[0]
    inside = signature[signature.index("(") + 1:signature.rindex(") ->")]
    names = re.findall(r"(\w+): [^,]+?(?: = (\w+))?(?:, |$)", inside)
    return [(name, default != "") for name, default in names]


@pytest.mark.parametrize("name", ["atom_glb", "point_cloud_glb", "mesh_glb"])
def test_stub_parameters_match_the_module(plexorin, name):
    assert stub_parameters(name) == runtime_parameters(getattr(plexorin, name))


def test_stubs_cover_exactly_the_public_functions(plexorin):
    tree = ast.parse(STUB.read_text())
    stubbed = {node.name for node in tree.body
               if isinstance(node, ast.FunctionDef) and not node.name.startswith("_")}
    public = {name for name in dir(plexorin) if not name.startswith("_")}
    assert stubbed == public

