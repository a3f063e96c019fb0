"""The installed declaration files: shipped beside their modules, and read by
each supported Cython release into exactly the signatures that the vector
toolkit's capsules are named by."""

import importlib.machinery
from pathlib import Path

import pytest

import cython_build
import orbivane
from conftest import run_python
from cython_build import cython_version  # noqa: F401  (fixture)
from quiverel_reference import SIGNATURES



@pytest.mark.parametrize("module", ["time/time", "propagators/analytical/sgp4/tle",
                                    "mathtools/quiverel/quiverel"])
def test_declarations_installed_beside_modules(module):
    root = Path(orbivane.__file__).parent
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert (root / f"{module}.pxd").is_file()
    assert (root / f"{module}{suffix}").is_file()


# A stand-in for the toolkit that publishes capsules under the given names:
# the client binds all ten at import, comparing names as whole strings, so
# the import succeeds only when the signatures Cython derived from the
# declarations are exactly the published ones. (Cython 3.1+ splits or
# compresses string constants in the generated code, so the strings are
# checked here rather than searched for there.)
STAND_IN = """
import ctypes, sys, types
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype = ctypes.py_object
new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
keep = []
table = {}
for key, signature in NAMES.items():
    buf = ctypes.create_string_buffer(signature.encode())
    keep.append(buf)
    table[key] = new_capsule(ctypes.addressof(buf), ctypes.addressof(buf), None)
import orbivane.mathtools.quiverel
stand_in = types.ModuleType("orbivane.mathtools.quiverel.quiverel")
stand_in.__pyx_capi__ = table
sys.modules[stand_in.__name__] = stand_in
try:
"""


@pytest.mark.parametrize("changes, error", [
    ({}, None),
    ({"scale": "void (double const, double *, double *)"}, "scale has wrong signature"),
    ({"norm_array": "__Pyx_memviewslice (__Pyx_memviewslice )"},
     "norm_array has wrong signature"),
])
def test_client_binds_capsules_by_exact_name(cython_version, changes, error):
    names = dict(SIGNATURES, **changes)
    body = cython_build.import_snippet("quiverel_client", cython_version)
    code = (f"NAMES = {names!r}\n" + STAND_IN
            + "".join("    " + line + "\n" for line in body.splitlines())
            + "    print('bound')\n"
            + "except Exception as exc:\n    print(type(exc).__name__, exc)\n")
    out = run_python(code).stdout.strip()
    if error is None:
        assert out == "bound"
    else:
        assert out.startswith("TypeError") and error in out
