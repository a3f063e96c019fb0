"""A Cython client of the vector toolkit, built by each supported Cython
release: it binds the ten kernels from ``__pyx_capi__``, calls them the way
Cython code does, and handles batch results with Cython's own memoryview
runtime (acquiring, slicing, copying and handing them to Python)."""

import gc
import importlib
import math
import struct
import sys
import tracemalloc

import numpy
import pytest

import cython_build
from conftest import run_python
from cython_build import cython_version  # noqa: F401  (fixture)

KERNELS = ("scale", "add", "sub", "dot", "cross", "norm", "norm_array", "angle", "normalize",
           "normalize_array")


def _toolkit_publishes_kernels() -> bool:
    try:
        toolkit = importlib.import_module("orbivane.mathtools.quiverel.quiverel")
    except ImportError:
        return False
    table = getattr(toolkit, "__pyx_capi__", None)
    return isinstance(table, dict) and set(KERNELS) <= table.keys()


pytestmark = pytest.mark.skipif(not _toolkit_publishes_kernels(),
                                reason="the vector toolkit does not publish its kernels yet")


@pytest.fixture
def client(cython_version):
    return cython_build.load("quiverel_client", cython_version)


@pytest.fixture
def vectors():
    return pytest.importorskip("orbivane.mathtools.quiverel.vectors")


def bits(values) -> bytes:
    """The exact IEEE bits of a float or a sequence of floats."""
    return numpy.asarray(values, dtype=numpy.float64).tobytes()


VECTORS = [
    (1.0, 2.0, 3.0), (3.0, 4.0, 0.0), (1.0, 1.0, 1.0), (-1.0, -1.0, -1.0), (1.0, 0.0, 0.0),
    (-1.0, 0.0, 0.0), (0.0, 0.0, 0.0), (1e-170, 0.0, 0.0), (1e200, 0.0, -3.0),
    (math.nan, 1.0, 2.0), (math.inf, 1.0, 0.0), (0.1, -0.2, 0.30000000000000004),
    (-7.25e-3, 6.02214076e23, 1.602176634e-19), (5e-324, -0.0, 2.5),
]
PAIRS = [(VECTORS[i], VECTORS[(i * 5 + 3) % len(VECTORS)]) for i in range(len(VECTORS))] + [
    ((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)), ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0)),
    ((1.0, 1.0, 1.0), (1.0, 1.0, 1.0)), ((1.0, 2.0, 3.0), (1.0, 2.0, 3.0)),
]


# ---------------------------------------------------------------------------
# 3-vector kernels
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("a, b", PAIRS)
def test_vector_kernels_match_python_client_bitwise(client, vectors, a, b):
    s = b[1] if math.isfinite(b[1]) else 0.5
    for name, ours, theirs in [
        ("scale", client.k_scale(s, a), vectors.scale(s, a)),
        ("add", client.k_add(a, b), vectors.add(a, b)),
        ("sub", client.k_sub(a, b), vectors.sub(a, b)),
        ("cross", client.k_cross(a, b), vectors.cross(a, b)),
        ("dot", client.k_dot(a, b), vectors.dot(a, b)),
        ("norm", client.k_norm(a), vectors.norm(a)),
        ("angle", client.k_angle(a, b), vectors.angle(a, b)),
        ("normalize", client.k_normalize(a), vectors.normalize(a)),
    ]:
        assert bits(ours) == bits(theirs), name


@pytest.mark.parametrize("kernel, args, expected", [
    ("k_dot", ((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)), -1.0),      # genuine -1.0, no error
    ("k_angle", ((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)), 3.141592653589793),
    ("k_angle", ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0)), 1.5707963267948966),
    ("k_angle", ((1.0, 2.0, 3.0), (1.0, 2.0, 3.0)), 0.0),
    ("k_angle", ((0.0, 0.0, 0.0), (1.0, 0.0, 0.0)), math.nan),
    ("k_norm", ((3.0, 4.0, 0.0),), 5.0),
    ("k_norm", ((1.0, 2.0, 2.0),), 3.0),
    ("k_normalize", ((3.0, 4.0, 0.0),), (0.6000000000000001, 0.8, 0.0)),
    ("k_normalize", ((1.0, 1.0, 1.0),), (0.5773502691896258,) * 3),
    ("k_normalize", ((0.0, 0.0, 0.0),), (math.nan,) * 3),
    ("k_cross", ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0)), (0.0, 0.0, 1.0)),
])
def test_vector_kernel_values(client, kernel, args, expected):
    assert_same_values(getattr(client, kernel)(*args), expected)


# Vectors whose squares overflow or underflow are measured in a scaled copy,
# and angle clamps the cosine into [-1, 1], so these keep meaningful values.
@pytest.mark.parametrize("kernel, args, expected", [
    ("k_angle", ((1.0, 1.0, 1.0), (1.0, 1.0, 1.0)), 0.0),
    ("k_angle", ((1.0, 1.0, 1.0), (-1.0, -1.0, -1.0)), math.pi),
    ("k_norm", ((1e200, 0.0, 0.0),), 1e200),
    ("k_norm", ((1e-170, 0.0, 0.0),), 1e-170),
    ("k_normalize", ((1e-170, 0.0, 0.0),), (1.0, 0.0, 0.0)),
    ("k_normalize", ((1e200, 0.0, 0.0),), (1.0, 0.0, 0.0)),
])
def test_overflow_underflow_and_clamping_are_mended(client, kernel, args, expected):
    assert_same_values(getattr(client, kernel)(*args), expected)


def assert_same_values(got, want):
    got = numpy.atleast_1d(numpy.asarray(got, dtype=numpy.float64))
    want = numpy.atleast_1d(numpy.asarray(want, dtype=numpy.float64))
    # NaN compares by being NaN (its sign bit is the hardware's choice);
    # everything else by its exact bits.
    assert list(numpy.isnan(got)) == list(numpy.isnan(want))
    assert bits(got[~numpy.isnan(got)]) == bits(want[~numpy.isnan(want)])


@pytest.mark.parametrize("kernel, a, b, s, separate", [
    ("scale", (1.5, -2.0, 3.25), (0.0, 0.0, 0.0), 0.1, lambda c, a, b, s: c.k_scale(s, a)),
    ("add", (0.1, 0.2, 0.3), (1e16, -1.0, 2.0), 0.0, lambda c, a, b, s: c.k_add(a, b)),
    ("add_b", (0.1, 0.2, 0.3), (1e16, -1.0, 2.0), 0.0, lambda c, a, b, s: c.k_add(a, b)),
    ("sub", (0.1, 0.2, 0.3), (1e16, -1.0, 2.0), 0.0, lambda c, a, b, s: c.k_sub(a, b)),
    ("normalize", (3.0, 4.0, 12.0), (0.0, 0.0, 0.0), 0.0, lambda c, a, b, s: c.k_normalize(a)),
])
def test_in_place_calls_equal_separate_output(client, kernel, a, b, s, separate):
    assert bits(client.k_in_place(kernel, a, b, s)) == bits(separate(client, a, b, s))


def test_kernels_run_without_the_interpreter_lock(client):
    a, b = (1.0, -2.0, 3.5), (-1.0, 0.0, 0.0)
    c, d, e, f, rd, rn, ra, u = client.k_without_lock(a, b)
    assert bits(c + d + e + f + u) == bits(
        client.k_scale(2.5, a) + client.k_add(a, b) + client.k_sub(a, b) + client.k_cross(a, b)
        + client.k_normalize(b))
    assert bits((rd, rn, ra)) == bits((client.k_dot(a, b), client.k_norm(a), client.k_angle(a, b)))


# ---------------------------------------------------------------------------
# Batch kernels
# ---------------------------------------------------------------------------

def _rows():
    return numpy.array(VECTORS + [(2.0, -3.0, 6.0), (1e-3, 1e3, 1.0)], dtype=numpy.float64)


def _layouts():
    base = _rows()
    wide = numpy.zeros((len(base), 7))
    wide[:, ::2][:, :3] = base           # column step 2
    extra = numpy.concatenate([base, numpy.full((len(base), 2), 9.0)], axis=1)
    return {
        "c": base,
        "fortran": numpy.asfortranarray(base),
        "transposed": numpy.ascontiguousarray(base.T).T,
        "column_step": wide[:, ::2],
        "row_step": numpy.repeat(base, 3, axis=0)[::3],
        "negative": numpy.ascontiguousarray(base[::-1, ::-1])[::-1, ::-1],
        "reversed_rows": numpy.ascontiguousarray(base[::-1])[::-1],
        "reversed_columns": numpy.ascontiguousarray(base[:, ::-1])[:, ::-1],
        "more_columns": extra,
        "empty": numpy.zeros((0, 3)),
    }


LAYOUTS = _layouts()


@pytest.mark.parametrize("layout", LAYOUTS)
def test_norm_array_rows_equal_norm(client, layout):
    a = LAYOUTS[layout]
    rows = [tuple(r[:3]) for r in numpy.ascontiguousarray(a)]
    expected = bits([client.k_norm(r) for r in rows])
    assert bits(client.norms(a)) == expected
    values, total, n, stride = client.norms_indexed(a)
    assert bits(values) == expected and n == len(rows) and stride == 8
    assert bits(client.norms(numpy.ascontiguousarray(a[:, :3]))) == expected


@pytest.mark.parametrize("layout", LAYOUTS)
def test_normalize_array_rows_equal_normalize(client, layout):
    a = LAYOUTS[layout]
    rows = [tuple(r[:3]) for r in numpy.ascontiguousarray(a)]
    expected = bits([client.k_normalize(r) for r in rows])
    result = client.normalized(a)
    assert result.shape == (len(rows), 3) and bits(result) == expected
    values, shape, strides = client.normalized_indexed(a)
    assert bits(values) == expected and shape == (len(rows), 3) and strides == (24, 8)


def test_batch_results_match_python_client(client, vectors):
    for a in LAYOUTS.values():
        assert bits(client.norms(a)) == bits(vectors.norm_array(a))
        assert bits(client.normalized(a)) == bits(vectors.normalize_array(a))


def test_none_input_gives_empty_result(client):
    r, count = client.norms_of_none()
    assert r.shape == (0,) and count == 2          # the record plus the array over it
    u, count = client.normalized_of_none()
    assert u.shape == (0, 3) and count == 2


def test_result_owner_is_the_toolkit_view_type(client):
    assert client.owner_type(_rows()) == "orbivane.mathtools.quiverel.quiverel.memoryview"
    assert client.client_acquisition_offset() == 56


# (Cython cannot copy an empty view, so no empty input here.)
@pytest.mark.parametrize("layout", ["c", "fortran", "column_step"])
def test_norm_result_acquisitions_through_a_lifecycle(client, layout):
    log, base = client.norm_lifecycle(LAYOUTS[layout])
    # One acquisition per live record or Python view of it; the records
    # together hold a single reference to the owner.
    assert log == [
        ("returned", 1, 1), ("second record", 2, 1), ("slice", 3, 1), ("as object", 4, 1),
        ("as array", 5, 1), ("as memoryview", 6, 1), ("copied", 6, 1), ("base taken", 6, 1),
        ("object dropped", 5, 1), ("array dropped", 4, 1), ("memoryview dropped", 3, 1),
        ("second record dropped", 2, 1), ("slice dropped", 1, 1), ("copy is its own", 1, 1),
    ]
    # Once the last record went, the owner released the array: only this
    # test's name and getrefcount's argument refer to it.
    assert isinstance(base, numpy.ndarray) and sys.getrefcount(base) == 2


@pytest.mark.parametrize("layout", ["c", "negative", "empty"])
def test_normalize_result_acquisitions_through_a_lifecycle(client, layout):
    log, base = client.normalize_lifecycle(LAYOUTS[layout])
    assert log == [("returned", 1, 1), ("transposed", 2, 1), ("row", 3, 1), ("as array", 4, 1),
                   ("dropped", 1, 1)]
    assert sys.getrefcount(base) == 2


def test_chained_batch_kernels(client):
    a = _rows()[:5]
    r, u_count, r_count = client.chain(a)
    assert u_count == 1 and r_count == 2           # r's record plus the array over it
    assert bits(r) == bits([client.k_norm(client.k_normalize(tuple(row))) for row in a])


@pytest.mark.parametrize("kernel", ["norms_as", "normalized_as"])
@pytest.mark.parametrize("how", ["asarray", "memoryview", "object", "slice", "copy"])
def test_results_handed_to_python_keep_the_array_alive(client, kernel, how):
    a = _rows()
    plain = client.norms(a) if kernel == "norms_as" else client.normalized(a)
    obj, array_ref = getattr(client, kernel)(a, how)
    values = numpy.asarray(obj)
    if how == "slice":
        plain = plain[::-1] if kernel == "norms_as" else plain[::-1, 1:]
    assert bits(values) == bits(plain)
    if how == "copy":
        # A copy is the client's own memory: the result array is gone.
        assert array_ref() is None
    else:
        assert array_ref() is not None and numpy.shares_memory(values, array_ref())
    del values, obj
    gc.collect()
    assert array_ref() is None


def test_fortran_copy_of_a_result(client):
    a = _rows()
    obj, array_ref = client.normalized_as(a, "copy_fortran")
    values = numpy.asarray(obj)
    assert values.flags.f_contiguous and bits(values) == bits(client.normalized(a))
    assert array_ref() is None


def test_batch_calls_do_not_leak(client):
    a = numpy.asfortranarray(numpy.arange(3000.0).reshape(1000, 3))

    def cycle():
        client.norms(a)
        client.normalized(a)
        client.norm_lifecycle(a)
        client.normalize_lifecycle(a)
        client.norms_as(a, "memoryview")
        client.normalized_as(a, "copy")
        client.chain(a)

    for _ in range(20):
        cycle()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        blocks = sys.getallocatedblocks()
        for _ in range(200):
            cycle()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One leaked result would be 8 to 24 kB per cycle.
    assert grown < 64 * 1024
    assert sys.getallocatedblocks() - blocks < 500


FAILURE_SCRIPT = """
import numpy, sys
import orbivane.mathtools.quiverel.quiverel as toolkit

def entries(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        out.append((tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out

a = numpy.ones((4, 3))
for name, call in (("norm_array", client.norms), ("normalize_array", client.normalized)):
    for rebind in ("no_zeros", "unbound"):
        if rebind == "no_zeros":
            toolkit.numpy = object()
        else:
            del toolkit.numpy
        try:
            call(a)
        except Exception as exc:
            print(name, rebind, type(exc).__name__, str(exc), entries(exc)[-1], sep="|")
        else:
            print(name, rebind, "no exception", sep="|")
        toolkit.numpy = numpy
        print(name, "restored", numpy.asarray(call(a)).shape[0] == 4, sep="|")
"""


def test_batch_failure_is_a_python_exception_with_kernel_entry(cython_version):
    proc = run_python(cython_build.import_snippet("quiverel_client", cython_version)
                      + FAILURE_SCRIPT)
    lines = [line.split("|") for line in proc.stdout.splitlines()]
    path = "orbivane/mathtools/quiverel/quiverel"
    expected = []
    for name, line in (("norm_array", 46), ("normalize_array", 72)):
        entry = repr((f"orbivane.mathtools.quiverel.quiverel.{name}", path, line))
        expected += [
            [name, "no_zeros", "AttributeError", "'object' object has no attribute 'zeros'", entry],
            [name, "restored", "True"],
            [name, "unbound", "NameError", "name 'numpy' is not defined", entry],
            [name, "restored", "True"],
        ]
    assert lines == expected
    assert proc.stderr == ""
