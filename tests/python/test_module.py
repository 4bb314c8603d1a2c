"""The module object: its definition, docstrings, registration and import rules."""

import ctypes
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

SIGNATURES = {
    "atom_glb": "atom_glb(positions: collections.abc.Buffer, types: collections.abc.Buffer, "
                "vmin: collections.abc.Sequence, vmax: collections.abc.Sequence) -> bytes",
    "point_cloud_glb": "point_cloud_glb(positions: collections.abc.Buffer, "
                       "colors: collections.abc.Buffer, vmin: collections.abc.Sequence, "
                       "vmax: collections.abc.Sequence) -> bytes",
    "mesh_glb": "mesh_glb(positions: collections.abc.Buffer, normals: collections.abc.Buffer, "
                "indices: collections.abc.Buffer, bounds: collections.abc.Sequence, "
                "base_color: collections.abc.Sequence, "
                "metallic: typing.SupportsFloat | typing.SupportsIndex, "
                "roughness: typing.SupportsFloat | typing.SupportsIndex, "
                "emissive: collections.abc.Sequence, double_sided: bool, "
                "colors: object = None) -> bytes",
}

# CPython's module-definition slot ids and the "not supported" value of the
# multiple-interpreters slot.
PY_MOD_CREATE = 1
PY_MOD_EXEC = 2
PY_MOD_MULTIPLE_INTERPRETERS = 3
PY_MOD_GIL = 4
MULTIPLE_INTERPRETERS_NOT_SUPPORTED = 0


class ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


class ModuleDef(ctypes.Structure):
    """PyModuleDef of CPython 3.13 (PyModuleDef_Base first)."""
    _fields_ = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
                ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t),
                ("m_copy", ctypes.c_void_p), ("m_name", ctypes.c_char_p),
                ("m_doc", ctypes.c_char_p), ("m_size", ctypes.c_ssize_t),
                ("m_methods", ctypes.c_void_p), ("m_slots", ctypes.POINTER(ModuleDefSlot)),
                ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p),
                ("m_free", ctypes.c_void_p)]


@pytest.fixture(scope="module")
def module_def(plexorin):
    """The definition returned by PyInit__plexorin (it is static, so the
    returned object outlives this call)."""
    init = ctypes.PyDLL(plexorin.__file__).PyInit__plexorin
    init.restype = ctypes.py_object
    definition = init()
    assert type(definition).__name__ == "moduledef"  # multi-phase, not a module
    return definition, ModuleDef.from_address(id(definition))


def slots_of(raw):
    slots = []
    index = 0
    while raw.m_slots[index].slot != 0:
        slots.append((raw.m_slots[index].slot, raw.m_slots[index].value or 0))
        index += 1
    return slots


def test_definition_is_multi_phase_without_methods_or_state(module_def):
    _, raw = module_def
    assert raw.m_name == b"_plexorin"
    assert raw.m_size == 0
    assert raw.m_methods is None
    assert raw.m_doc is None  # the docstring is set when the module executes


def test_definition_slots_are_create_exec_and_no_multiple_interpreters(module_def):
    _, raw = module_def
    kinds = [kind for kind, _ in slots_of(raw)]
    assert kinds == [PY_MOD_CREATE, PY_MOD_EXEC, PY_MOD_MULTIPLE_INTERPRETERS]
    assert dict(slots_of(raw))[PY_MOD_MULTIPLE_INTERPRETERS] == MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    assert PY_MOD_GIL not in kinds  # never declares itself usable without the lock


def test_module_docstring_is_one_sentence(plexorin):
    doc = plexorin.__doc__
    assert isinstance(doc, str) and doc.strip() == doc
    assert doc.endswith(".") and doc.count(". ") == 0 and "\n" not in doc


def test_functions_registered_in_order_as_module_functions(plexorin):
    public = [name for name in vars(plexorin) if not name.startswith("__")]
    assert public == ["atom_glb", "point_cloud_glb", "mesh_glb"]
    for name in public:
        function = getattr(plexorin, name)
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__name__ == name
        assert function.__module__ == "_plexorin"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_docstring_is_exactly_the_signature_line(plexorin, name):
    doc = getattr(plexorin, name).__doc__
    assert doc.startswith(SIGNATURES[name])
    assert doc.strip() == SIGNATURES[name]  # no docstring of its own


def test_second_import_returns_the_cached_module(plexorin):
    import importlib
    assert importlib.import_module("_plexorin") is plexorin
    assert sys.modules["_plexorin"].atom_glb is plexorin.atom_glb


def _run_python(code, python=sys.executable):
    env = dict(os.environ)
    module_dir = str(pathlib.Path(__import__("_plexorin").__file__).parent)
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=env, check=False)


def test_import_in_a_subinterpreter_fails_with_import_error(plexorin):
    # In a child process so that the test process never hosts a sub-interpreter.
    result = _run_python("""
        from test.support import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import _plexorin")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__, failure.excinfo.msg)
        else:
            print("imported")
        interp.close()
        import _plexorin  # the main interpreter still can
        print(len(_plexorin.atom_glb(b"", b"", (0, 0, 0), (1, 1, 1))))
    """)
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()
    assert first.startswith("ImportError ")
    assert "does not support loading in subinterpreters" in first
    assert second == "32"


def _other_cpython():
    """A CPython other than 3.13 on this machine, if there is one."""
    for candidate in ("/usr/bin/python3", "/usr/bin/python3.11", "/usr/bin/python3.12"):
        if not os.access(candidate, os.X_OK):
            continue
        probe = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[:2] != (3, 13))"],
                               capture_output=True, text=True, check=False)
        if probe.stdout.strip() == "True":
            return candidate
    return None


def test_import_under_another_python_version_fails_with_import_error(plexorin):
    other = _other_cpython()
    if other is None:
        pytest.skip("no CPython other than 3.13 installed")
    # Load the file explicitly: its name carries the 3.13 ABI tag, so a plain
    # import would not even find it. Depending on the version, the dynamic
    # loader (symbols missing from an older interpreter) or the module's
    # version guard refuses it; either way the import fails cleanly.
    result = _run_python(f"""
        import importlib.machinery, importlib.util
        loader = importlib.machinery.ExtensionFileLoader("_plexorin", {plexorin.__file__!r})
        module_spec = importlib.util.spec_from_loader("_plexorin", loader)
        try:
            importlib.util.module_from_spec(module_spec)
        except ImportError as error:
            print("ImportError", error)
        else:
            print("imported")
    """, python=other)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError")
