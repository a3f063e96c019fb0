import ctypes
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

# Property tests: a modest number of examples per test by default, as CI
# runs them; HYPOTHESIS_PROFILE=thorough runs many more. No example
# database is written, and neither a deadline nor the speed health check
# applies (the machine is shared, and the sanitizer pass is slow).
_unhurried = {"deadline": None, "database": None, "suppress_health_check": [HealthCheck.too_slow]}
settings.register_profile("ci", max_examples=200, **_unhurried)
settings.register_profile("thorough", max_examples=20_000, **_unhurried)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def run_python(code: str, *, check: bool = True) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter; returns the completed process."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def fresh_python():
    return run_python


def import_in_second_interpreter(module: str) -> str:
    """Imports module in the main interpreter of a fresh process, then in a
    second interpreter; returns what the second import raised (or
    "imported")."""
    proc = run_python(f"""
        import _xxsubinterpreters as interpreters
        import {module}
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import {module}")
        except interpreters.RunFailedError as e:
            print(e)
        else:
            print("imported")
        finally:
            interpreters.destroy(sub)
    """)
    return proc.stdout.strip()


def traced_growth(setup: str, action: str, after: str = "", *, rounds: int = 2000) -> list[str]:
    """In a fresh interpreter: runs setup, then action rounds times as a
    warm-up and three times rounds times measured, all traced by tracemalloc
    (so that blocks the warm-up replaces count as freed); then after.
    Returns the output: the smallest traced memory growth of the three
    measured runs in bytes on the first line (a leak grows in every run, a
    cache that the interpreter enlarges now and then in one), then what after
    printed."""
    indent = " " * 8
    proc = run_python(f"""
        import gc, sys, tracemalloc
        {textwrap.indent(textwrap.dedent(setup), indent).strip()}
        def action():
            {textwrap.indent(textwrap.dedent(action), indent + "    ").strip()}
        tracemalloc.start()
        for _ in range({rounds}):
            action()
        growth = []
        for _ in range(3):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range({rounds}):
                action()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
        tracemalloc.stop()
        print(min(growth))
        {textwrap.indent(textwrap.dedent(after), indent).strip()}
    """)
    return proc.stdout.splitlines()


class _Py_buffer(ctypes.Structure):
    _fields_ = [(name, ctypes.c_void_p) for name in ("buf", "obj")] + [
        ("len", ctypes.c_ssize_t), ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int), ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


# PEP 3118 request flags, by their C names without the PyBUF_ prefix.
BUFFER_FLAGS = {"SIMPLE": 0, "WRITABLE": 0x1, "FORMAT": 0x4, "ND": 0x8, "STRIDES": 0x18,
                "C_CONTIGUOUS": 0x38, "F_CONTIGUOUS": 0x58, "ANY_CONTIGUOUS": 0x98,
                "INDIRECT": 0x118, "FULL_RO": 0x11c, "F_CONTIGUOUS|WRITABLE": 0x59}


def request_buffer(obj, flags: int):
    """What a C consumer gets from PyObject_GetBuffer(obj, flags): the
    exception (type and text), or the buffer's fields."""
    b = _Py_buffer()
    try:
        ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(obj), ctypes.byref(b), flags)
    except Exception as e:
        return type(e), str(e)
    n = b.ndim
    fields = (b.len, b.itemsize, b.readonly, n, b.format, b.suboffsets,
              tuple(b.shape[:n]) if b.shape else None, tuple(b.strides[:n]) if b.strides else None)
    ctypes.pythonapi.PyBuffer_Release(ctypes.byref(b))
    return fields
