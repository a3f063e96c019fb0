"""Compiled clients of the propagators: a C++ module through
<orbivane/sgp4.h> and a Cython module through propagator.pxd (built by each
supported Cython release) initialise satellites from TLE records and
Elements and propagate them without the interpreter lock, with the bits of
SGP4 and SGP4Array."""

import numpy as np
import pytest

import cython_build
from cython_build import cython_version  # noqa: F401  (fixture)
from native_build import native_client
from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.propagator import SGP4, SGP4Array
from orbivane.propagators.analytical.sgp4.tle import TLE
from test_sgp4_batch import same_bits
from test_sgp4_verification import CASES

GRAVITY = ["wgs72", "wgs72old", "wgs84"]
MODES = ["improved", "afspc"]
TIMES = np.array([-1440.0, 0.0, 90.5, 10000.0, 1e6])


def sources():
    """The verification set, as TLE records and as Elements in turn."""
    tles = [TLE(line1, line2) for (line1, line2, _), _ in CASES]
    return [t if i % 2 else Elements.from_tle(t) for i, t in enumerate(tles)]


def as_results(r, v, codes, n, m):
    return (np.frombuffer(r).reshape(n, m, 3), np.frombuffer(v).reshape(n, m, 3),
            np.frombuffer(codes, np.int8).reshape(n, m))


@pytest.mark.parametrize("gravity, mode", [(0, 0), (1, 1), (2, 0)])
def test_native_client(gravity, mode):
    client = native_client("sgp4_client")
    assert client.record_size() == 768
    sats = sources()
    n, m = len(sats), len(TIMES)
    batch = SGP4Array(sats, gravity=GRAVITY[gravity], mode=MODES[mode])
    expected = batch.propagate(TIMES)
    for i, s in enumerate(sats):
        scalar = SGP4(s, gravity=GRAVITY[gravity], mode=MODES[mode]).propagate(TIMES)
        assert all(same_bits(a[i], b) for a, b in zip(expected, scalar))
    each = as_results(*client.propagate_each_thread(sats, list(TIMES), gravity, mode), n, m)
    assert all(same_bits(a, b) for a, b in zip(each, expected))
    for threads in (0, 1, 3):
        status, *many = client.propagate_many(sats, TIMES.tobytes(), gravity, mode, threads)
        assert status == 0
        assert all(same_bits(a, b) for a, b in zip(as_results(*many, n, m), expected))
    assert client.propagate_many(sats, np.array([0.0, 2e9]).tobytes(), gravity, mode, 1)[0] == -1
    assert client.propagate_many([], TIMES.tobytes(), gravity, mode, 1)[0] == 0
    r, v, code = as_results(*client.propagate_each_thread(sats[:1], [np.inf], gravity, mode), 1, 1)
    assert code[0, 0] == -1 and np.isnan(r).all() and np.isnan(v).all()


@pytest.mark.parametrize("source, gravity, mode, error, message", [
    ("x", 0, 0, TypeError, "expected an Elements or a TLE"),
    (None, 3, 0, ValueError, "gravity must be 0 .wgs72., 1 .wgs72old. or 2 .wgs84., not 3"),
    (None, 0, -1, ValueError, "mode must be 0 .improved. or 1 .afspc., not -1"),
])
def test_native_client_refusals(source, gravity, mode, error, message):
    with pytest.raises(error, match=message):
        native_client("sgp4_client").propagate_many([source or sources()[0]], b"", gravity, mode, 1)


def test_cython_client(cython_version):
    client = cython_build.load("sgp4_client", cython_version)
    sats = sources()
    batch = SGP4Array(sats)
    status, *many = client.propagate_many(sats, TIMES, 2)
    assert status == 0
    assert all(same_bits(a, b) for a, b in zip(many, batch.propagate(TIMES)))
    for s in sats[:4]:
        code, r, v = client.propagate_one(s, 90.5)
        expected = SGP4(s).propagate(90.5)
        assert code == expected[2] and same_bits(np.array(r), expected[0]) and same_bits(np.array(v), expected[1])
    assert client.propagate_one(sats[0], np.nan)[0] == -1
    with pytest.raises(TypeError, match="expected an Elements or a TLE"):
        client.propagate_one(1.0, 0.0)
    with pytest.raises(ValueError, match="mode must be"):
        client.propagate_one(sats[0], 0.0, 0, 5)


def test_native_client_import_refuses_a_wrong_table(fresh_python):
    # The header binds every capsule by name and signature, or none: a table
    # that is not a dict, a missing entry, a stand-in and a capsule of
    # another signature are refused with the exception they name.
    path = native_client("sgp4_client").__file__
    proc = fresh_python(f"""
        import importlib.util
        import orbivane.propagators.analytical.sgp4.propagator as p
        good = dict(p.__pyx_capi__)
        other = good["sgp4_propagate"]
        for table in [[], {{k: v for k, v in good.items() if k != "sgp4_init"}}, {{**good, "sgp4_init": 1}},
                      {{**good, "sgp4_propagate_many": other}}]:
            p.__pyx_capi__ = table
            spec = importlib.util.spec_from_file_location("sgp4_client", {path!r})
            try:
                spec.loader.exec_module(importlib.util.module_from_spec(spec))
            except Exception as e:
                print(type(e).__name__, e, sep=": ")
    """)
    name = "orbivane.propagators.analytical.sgp4.propagator"
    propagate = "int (orbivane_sgp4_satellite const *, double, double *, double *)"
    assert proc.stdout.splitlines() == [
        f"TypeError: {name}.__pyx_capi__ is not a dict",
        f"ImportError: {name} does not export function sgp4_init",
        f"TypeError: {name}.__pyx_capi__['sgp4_init'] is not a capsule",
        f"TypeError: C function {name}.sgp4_propagate_many has wrong signature (expected "
        "int (orbivane_sgp4_satellite const *, Py_ssize_t, double const *, Py_ssize_t, double *, double *, "
        f"signed char *, int), got {propagate})"]
