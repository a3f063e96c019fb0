"""The vector toolkit module: its exported table and the rules of its
initialisation."""

import ctypes
import sys

import pytest

import orbivane.mathtools.quiverel.quiverel as quiverel
from conftest import import_in_second_interpreter, run_python, traced_growth
from native_build import NATIVE_DIR, compile_extension, native_client
from quiverel_reference import SIGNATURES

NAME = "orbivane.mathtools.quiverel.quiverel"


capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = ctypes.c_char_p
capsule_name.argtypes = [ctypes.py_object]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = ctypes.c_void_p
capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def test_table_keys_in_order_with_signature_names():
    table = quiverel.__pyx_capi__
    assert type(table) is dict
    assert list(table) == list(SIGNATURES)
    for key, capsule in table.items():
        assert type(capsule).__name__ == "PyCapsule"
        assert capsule_name(capsule).decode() == SIGNATURES[key]
        assert capsule_pointer(capsule, SIGNATURES[key].encode())


@pytest.mark.parametrize("group", [("add", "sub", "cross"), ("dot", "angle"),
                                   ("norm_array", "normalize_array")])
def test_shared_signatures_share_names_not_entries(group):
    table = quiverel.__pyx_capi__
    names = {capsule_name(table[k]) for k in group}
    pointers = {capsule_pointer(table[k], capsule_name(table[k])) for k in group}
    assert len(names) == 1
    assert len(pointers) == len(group)


@pytest.mark.parametrize("wrong", [
    b"void (double const, double *, double *)",   # no blank before the comma
    b"void (double, double *, double *)",
    b"void (double const , double*, double*)",
])
def test_capsule_refuses_other_signature_spellings(wrong):
    with pytest.raises(ValueError):
        capsule_pointer(quiverel.__pyx_capi__["scale"], wrong)


def test_namespace_holds_no_callable_kernel():
    names = set(vars(quiverel))
    assert names == {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
                     "__builtins__", "__pyx_capi__", "numpy", "__test__"}
    assert not any(callable(v) for k, v in vars(quiverel).items() if not k.startswith("__"))
    import builtins
    import numpy
    assert quiverel.numpy is numpy
    assert quiverel.__test__ == {}
    assert quiverel.__builtins__ is builtins
    assert quiverel.__name__ == NAME


def test_reimport_returns_same_module_and_capsules():
    run_python(f"""
        import sys
        import {NAME} as q
        table = dict(q.__pyx_capi__)
        del sys.modules["{NAME}"]
        import {NAME} as again
        assert again is q
        assert all(again.__pyx_capi__[k] is v for k, v in table.items())
    """)


def test_exec_on_another_module_object_is_refused():
    client = native_client("quiverel_client")
    with pytest.raises(RuntimeError) as info:
        client.exec_on_new_module()
    assert str(info.value) == ("Module 'quiverel' has already been imported. "
                               "Re-initialisation is not supported.")


def test_second_interpreter_is_refused():
    output = import_in_second_interpreter(NAME)
    assert output == ("<class 'ImportError'>: Interpreter change detected - this module can only "
                      "be loaded into one interpreter per process.")


def test_failed_numpy_import_leaves_line_6_and_can_be_retried():
    proc = run_python(f"""
        import sys, traceback
        sys.modules["numpy"] = None
        try:
            import {NAME}
        except ImportError as e:
            last = traceback.extract_tb(e.__traceback__)[-1]
            print(type(e).__name__, last.name, last.filename, last.lineno)
            print("{NAME}" in sys.modules)
        del sys.modules["numpy"]
        import {NAME} as q
        import numpy
        print(q.numpy is numpy, list(q.__pyx_capi__)[0], len(q.__pyx_capi__))
    """)
    assert proc.stdout.splitlines() == [
        f"ModuleNotFoundError init {NAME} orbivane/mathtools/quiverel/quiverel 6",
        "False",
        "True scale 10",
    ]


def test_profiler_sees_initialisation():
    proc = run_python(f"""
        import sys
        import numpy
        events = []
        def profile(frame, event, arg):
            if frame.f_code.co_name == "PyInit_quiverel":
                events.append((event, frame.f_code.co_filename, frame.f_code.co_firstlineno, arg))
        sys.setprofile(profile)
        import {NAME}
        sys.setprofile(None)
        print(events)
    """)
    assert proc.stdout.strip() == str([
        ("call", "orbivane/mathtools/quiverel/quiverel", 1, None),
        ("return", "orbivane/mathtools/quiverel/quiverel", 1, None),
    ])


def test_raising_profiler_fails_initialisation_at_line_1():
    proc = run_python(f"""
        import sys, traceback
        import numpy
        def profile(frame, event, arg):
            if frame.f_code.co_name == "PyInit_quiverel" and event == "call":
                raise KeyError("profiler")
        sys.setprofile(profile)
        try:
            import {NAME}
        except KeyError as e:
            sys.setprofile(None)
            # the entry of the initialisation that called the profile function
            entries = traceback.extract_tb(e.__traceback__)
            print(entries[-1].name, [(f.name, f.lineno) for f in entries if f.name.startswith("init")])
        import {NAME} as q
        print(len(q.__pyx_capi__))
    """)
    assert proc.stdout.splitlines() == [f"profile [('init {NAME}', 1)]", "10"]


def test_module_registers_under_its_dotted_name_whatever_the_spec_says():
    proc = run_python(f"""
        import importlib.util, sys
        import orbivane.mathtools.quiverel as pkg
        import os
        path = [os.path.join(pkg.__path__[0], f) for f in os.listdir(pkg.__path__[0])
                if f.startswith("quiverel.") and f.endswith(".so")][0]
        spec = importlib.util.spec_from_file_location("quiverel", path)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        print(sys.modules["{NAME}"] is m, m.__name__)
    """)
    assert proc.stdout.split() == ["True", "quiverel"]


def test_failed_imports_and_their_retry_do_not_leak():
    rounds = 2000    # under 8 bytes a round: see the element module's loops
    growth, after = traced_growth("""
        import importlib
        sys.modules["numpy"] = None
    """, f"""
        try:
            importlib.import_module("{NAME}")
        except ImportError:
            pass
    """, f"""
        del sys.modules["numpy"]
        import {NAME} as q
        print(len(q.__pyx_capi__))
    """, rounds=rounds)
    assert int(growth) < 8 * rounds
    assert after == "10"


# A client binds the table while the toolkit's initialisation is under way,
# from a meta-path hook on numpy or from a profile function on the
# "PyInit_quiverel" call event; that initialisation then fails. Its kernels
# are called in the window and after the failure, and after a retry.
BOUND_EARLY = """
import builtins, importlib.util, sys, traceback

def load_client():
    spec = importlib.util.spec_from_file_location("quiverel_client", CLIENT_PATH)
    client = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(client)
    return client

def entries(exc):
    return [(f.name.rsplit(".", 1)[-1], f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == "orbivane/mathtools/quiverel/quiverel"]

def show(when):
    for kernel in ("norm_array", "normalize_array"):
        r = client.batch(kernel, None)
        e = r["exception"]
        if e:
            zero = r["record"] == (0, 0, (0,) * 8, (0,) * 8, (0,) * 8)
            print(when, kernel, f"{type(e).__name__}: {e}", entries(e), "zero record" if zero else r["record"])
        else:
            print(when, kernel, r["record"][2][:2])
    u, e = client.normalize_pending((3.0, 4.0, 0.0))
    r, f = client.pair_pending("angle", (1.0, 0.0, 0.0), (-1.0, 0.0, 0.0))
    print(when, u, entries(e), r, entries(f))
"""


@pytest.mark.parametrize("hook, window", [
    ("""
class NoNumpy:
    def find_spec(self, name, path=None, target=None):
        global client
        if name == "numpy":
            sys.meta_path.remove(self)
            client = load_client()
            show("window")
            raise ImportError("numpy is hidden")
sys.meta_path.insert(0, NoNumpy())
restore = lambda: None
""", "window norm_array NameError: name 'numpy' is not defined [('norm_array', 46)] zero record\n"
     "window normalize_array NameError: name 'numpy' is not defined [('normalize_array', 72)] zero record\n"),
    ("""
import numpy
def profile(frame, event, arg):
    global client
    if frame.f_code.co_name == "PyInit_quiverel" and event == "call":
        sys.setprofile(None)
        client = load_client()
        builtins.numpy = numpy          # found among the builtins: the kernels allocate
        show("window")
        del builtins.numpy
        sys.modules["numpy"] = None
sys.setprofile(profile)
restore = lambda: sys.modules.update(numpy=numpy)
""", "window norm_array (0, 0)\nwindow normalize_array (0, 3)\n"),
], ids=["meta-path hook", "profile function"])
def test_kernels_bound_before_a_failed_initialisation(hook, window):
    """Each later exec replaces the dictionary kept from a failed one, and
    the owner type of batch results is ready before the table is published."""
    client_path = compile_extension(NATIVE_DIR / "quiverel_client.cpp", "quiverel_client")
    script = BOUND_EARLY.replace("CLIENT_PATH", repr(str(client_path)))
    proc = run_python(script + hook + f"""
try:
    import {NAME}
except ImportError as e:
    print("failed", entries(e))
sys.setprofile(None)
show("after")
restore()
import {NAME} as q
builtins.numpy = None               # the retry's own dictionary is used, not the builtins
show("retried")
""")
    kernels = "(0.6000000000000001, 0.8, 0.0) [('normalize', 65)] -1.0 [('angle', 60)]\n"
    assert proc.stdout == (
        window + "window " + kernels
        + "failed [('quiverel', 6)]\n"                  # the "init ..." entry
        + "after norm_array NameError: name 'numpy' is not defined [('norm_array', 46)] zero record\n"
        + "after normalize_array NameError: name 'numpy' is not defined [('normalize_array', 72)] zero record\n"
        + "after " + kernels
        + "retried norm_array (0, 0)\nretried normalize_array (0, 3)\nretried " + kernels)
