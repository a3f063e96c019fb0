"""The batch kernels norm_array and normalize_array, their result views and
the view owner."""

import gc
import sys
import traceback
import tracemalloc
import types
from fractions import Fraction

import numpy as np
import pytest

import quiverel_reference as ref
from conftest import BUFFER_FLAGS, request_buffer, run_python
from native_build import native_client
from orbivane.mathtools.quiverel import quiverel, vectors

NAME = "orbivane.mathtools.quiverel.quiverel"
SOURCE = "orbivane/mathtools/quiverel/quiverel"
ZERO_RECORD = (0, 0, (0,) * 8, (0,) * 8, (0,) * 8)


@pytest.fixture(scope="module")
def client():
    return native_client("quiverel_client")


def rows_with_edges(n, seed):
    """Ordinary rows with edge rows scattered among them, so that some
    blocks of rows hold only plain rows and others need the slow path."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, 3)) * 10.0 ** rng.integers(-2, 3, size=(n, 1))
    edges = ref.random_vectors(n // 8 + 1, seed)
    a[rng.choice(n, size=len(edges), replace=False)] = edges
    return a


BASE = rows_with_edges(1003, seed=5)


def layouts():
    """(name, (N, k >= 3) view) pairs over the rows of BASE."""
    c = BASE.copy()
    f = np.asfortranarray(BASE)
    t = np.ascontiguousarray(BASE.T).T
    wide = np.zeros((len(BASE), 7))
    wide[:, :3] = BASE
    step2 = np.zeros((len(BASE), 6))
    step2[:, ::2] = BASE
    rev = BASE[::-1].copy()[::-1]
    revcols = BASE[:, ::-1].copy()[:, ::-1]
    unaligned = np.frombuffer(b"\0" + BASE.tobytes() + b"\0" * 7, offset=1, count=BASE.size).reshape(-1, 3)
    rowstep = np.zeros((2 * len(BASE), 3))
    rowstep[::2] = BASE
    return [("C", c), ("Fortran", f), ("transposed", t), ("wide", wide[:, :5]), ("wider", wide),
            ("column step 2", step2[:, ::2]), ("negative row stride", rev),
            ("negative column stride", revcols), ("unaligned", unaligned),
            ("row step 2", rowstep[::2])]


@pytest.mark.parametrize("name, a", layouts(), ids=[n for n, _ in layouts()])
def test_every_layout_gives_the_per_row_kernel_bits(name, a):
    with np.errstate(all="ignore"):
        lengths = vectors.norm_array(a)
        units = vectors.normalize_array(a)
    assert lengths.shape == (len(BASE),) and units.shape == (len(BASE), 3)
    ref.assert_same_bits(lengths, ref.norm(BASE))
    ref.assert_same_bits(units, ref.normalize(BASE))
    per_row_norm = [vectors.norm(row) for row in BASE[:200]]
    per_row_unit = [vectors.normalize(row) for row in BASE[:200]]
    ref.assert_same_bits(lengths[:200], per_row_norm)
    ref.assert_same_bits(units[:200], per_row_unit)


@pytest.mark.parametrize("kernel", ["norm_array", "normalize_array"])
def test_native_record_values_match(client, kernel):
    report = client.batch(kernel, BASE[:, ::-1][:, ::-1])
    expected = ref.norm(BASE) if kernel == "norm_array" else ref.normalize(BASE)
    ref.assert_same_bits(np.array(report["values"]), expected)


@pytest.mark.parametrize("row, length, unit", [
    ((0.0, 0.0, 0.0), 0.0, (np.nan, np.nan, np.nan)),
    ((np.nan, 1.0, 2.0), np.nan, (np.nan, np.nan, np.nan)),
    ((1e-170, 0.0, 0.0), 1e-170, (1.0, 0.0, 0.0)),
    ((1e200, -1e200, 0.0), ref.norm(np.array([[1e200, -1e200, 0.0]]))[0],
     ref.normalize(np.array([[1e200, -1e200, 0.0]]))[0]),
    ((np.inf, 1.0, 0.0), np.inf, (np.nan, 0.0, 0.0)),
    ((3.0, 4.0, 0.0), 5.0, (0.6000000000000001, 0.8, 0.0)),
])
def test_edge_rows(row, length, unit):
    a = np.array([row] * 9)    # a whole block and a tail
    ref.assert_same_bits(vectors.norm_array(a), [length] * 9)
    ref.assert_same_bits(vectors.normalize_array(a), [unit] * 9)


def test_empty_inputs_and_the_none_record(client):
    for kernel, shape in [("norm_array", (0,)), ("normalize_array", (0, 3))]:
        assert getattr(vectors, kernel)(np.zeros((0, 3))).shape == shape
        assert getattr(vectors, kernel)(np.zeros((0, 5))).shape == shape
        for arg in (None, np.zeros((0, 3))):
            report = client.batch(kernel, arg)
            assert report["exception"] is None
            assert report["record"][2][:2] == shape + (0,) * (2 - len(shape))
            assert report["values"] == []
        # the checks of the columns come after the test for N > 0
        assert client.batch(kernel, np.zeros((0, 3)), columns=1, suboffsets=(4, 4))["exception"] is None


@pytest.mark.parametrize("kernel, ndim", [("norm_array", 1), ("normalize_array", 2)])
def test_result_record_carries_one_acquisition(client, kernel, ndim):
    report = client.batch(kernel, BASE[:10])
    memview, data, shape, strides, suboffsets = report["record"]
    assert memview and data and report["data_is_buffer"]
    assert report["owner_type"] == f"{NAME}.memoryview"
    assert report["array_type"] is np.ndarray
    assert shape == ((10,) if ndim == 1 else (10, 3)) + (0,) * (8 - ndim)
    assert strides == ((8,) if ndim == 1 else (24, 8)) + (0,) * (8 - ndim)
    assert suboffsets == (-1,) * ndim + (0,) * (8 - ndim)
    # the caller's acquisition holds the owner, the owner holds the array
    # (once itself, once through its buffer)
    assert (report["count"], report["owner_refcnt"], report["array_refcnt"]) == (1, 1, 2)
    assert report["released"][:2] == (0, 0)
    assert report["array"]() is None


@pytest.mark.parametrize("kernel", ["norm_array", "normalize_array"])
def test_input_record_is_borrowed(client, kernel):
    report = client.batch(kernel, BASE[:10], through_owner=True)
    assert report["exception"] is None
    assert report["input_before"] == report["input_after"] == (1, 1)
    failed = client.batch(kernel, BASE[:10], through_owner=True, columns=2)
    assert isinstance(failed["exception"], ValueError)
    assert failed["input_before"] == failed["input_after"] == (1, 1)


@pytest.mark.parametrize("kernel, line", [("norm_array", 46), ("normalize_array", 72)])
@pytest.mark.parametrize("columns, suboffsets, message", [
    (2, None, "needs rows of at least 3 columns, got 2 columns"),
    (0, None, "got 0 columns"),
    (None, (0, -1), "input dimension 0 is indirect (suboffsets[0] = 0)"),
    (None, (-1, 16), "input dimension 1 is indirect (suboffsets[1] = 16)"),
])
def test_unsafe_inputs_are_refused_before_any_row(client, kernel, line, columns, suboffsets, message):
    a = BASE[:5].copy()
    before = sys.getrefcount(a)
    report = client.batch(kernel, a, columns=columns, suboffsets=suboffsets)
    exc = report["exception"]
    assert isinstance(exc, ValueError) and message in str(exc) and str(exc).startswith(kernel)
    assert report["record"] == ZERO_RECORD
    assert [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)] == [
        (f"{NAME}.{kernel}", SOURCE, line)]
    del report, exc
    assert sys.getrefcount(a) == before
    assert (a == BASE[:5]).all()


def test_client_refuses_arrays_that_are_not_rows_of_three():
    with pytest.raises(ValueError):
        vectors.norm_array(np.zeros((4, 2)))
    with pytest.raises(ValueError):
        vectors.normalize_array(np.zeros(3))


def test_client_passes_arrays_without_copying_and_results_own_kernel_memory():
    a = np.asfortranarray(BASE)
    r = vectors.normalize_array(a)
    assert r.flags.writeable and not r.flags.owndata
    assert type(r.base).__name__ == "_KernelResult"
    # Other array-likes are converted first.
    ref.assert_same_bits(vectors.norm_array(BASE[:4].tolist()), ref.norm(BASE[:4]))
    ref.assert_same_bits(vectors.norm_array(BASE[:4].astype(np.float32)),
                         ref.norm(BASE[:4].astype(np.float32).astype(np.float64)))


class RaisingArray:
    def __array__(self, dtype=None, copy=None):
        raise LookupError("no array")


class RaisingNumber:
    def __float__(self):
        raise LookupError("no float")


def test_results_are_freed_with_their_arrays():
    """Batch results, and every error path of the 3-vector functions
    (arguments converted or refused at each step), leave nothing behind."""
    a = np.ones((20000, 3))
    for kernel in (vectors.norm_array, vectors.normalize_array):
        kernel(a)
        gc.collect()
        tracemalloc.start()
        try:
            base = tracemalloc.get_traced_memory()[0]
            for _ in range(50):
                r = kernel(a)
                view = r[::2]
                del r, view
            gc.collect()
            assert tracemalloc.get_traced_memory()[0] - base < 100_000
        finally:
            tracemalloc.stop()

    v, ints = np.array([1.0, 2.0, 3.0]), np.array([1, 2, 3])
    objects = np.array([Fraction(1), 2, 3.5], dtype=object)
    args = (v, ints, objects, [1.0, None, 2.0], [Fraction(1), 2, 3], np.zeros(3, complex), np.zeros(2),
            RaisingArray(), np.array([1.0, RaisingNumber(), 2.0], dtype=object), np.zeros(3, np.float32))
    refcounts = [sys.getrefcount(x) for x in args]
    failing = [
        lambda: vectors.add(v),
        lambda: vectors.norm(v, b=1),
        lambda: vectors.scale("x", v),
        lambda: vectors.add(args[5], v),
        lambda: vectors.sub(objects, args[3]),
        lambda: vectors.cross(ints, args[6]),
        lambda: vectors.dot(args[4], args[7]),
        lambda: vectors.angle(v, args[8]),
        lambda: vectors.normalize(objects, out=args[9]),
        lambda: vectors.scale(2.0, ints, out=[0.0, 0.0, 0.0]),
        lambda: vectors.norm(args[8]),
    ]

    def churn():
        for _ in range(2000):
            vectors.add(ints, objects, out=v.copy())
            vectors.angle(args[4], ints)
            for call in failing:
                try:
                    call()
                except (TypeError, ValueError, LookupError):
                    pass
                else:
                    raise AssertionError("an argument error was not reported")

    tracemalloc.start()
    try:
        churn()     # one-time allocations (caches, traces) land in this round
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        churn()
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - base < 20_000
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(x) for x in args] == refcounts


def test_each_call_makes_a_new_array():
    a = BASE[:8]
    r1, r2 = vectors.norm_array(a), vectors.norm_array(a)
    assert not np.shares_memory(r1, r2)


def test_owner_layout_at_fixed_offsets(client):
    a = BASE[:6]
    d = client.owner_layout(a)
    assert d["basicsize"] == 160 and d["type_name"] == f"{NAME}.memoryview"
    assert type(d["obj"]) is np.ndarray and d["obj"].shape == (6,)
    assert d["_size"] is None and d["_array_interface"] is None
    assert d["lock"] == (1, 0)                        # a real lock: taken once, not twice
    assert d["acquisition_count"] == 1
    assert d["view"] == {"buf_is_data": True, "obj_is_obj": True, "len": 48, "itemsize": 8,
                         "readonly": 0, "ndim": 1, "format": "d", "shape": (6,), "strides": (8,),
                         "suboffsets": None}
    assert d["flags"] == 0x1d                         # strides | writable | format
    assert d["dtype_is_object"] == 0
    assert d["typeinfo"] == {"name": "double", "fields": None, "size": 8, "arraysize": (0,) * 8,
                             "ndim": 0, "typegroup": "R", "is_unsigned": 0, "flags": 0}
    table = d["vtable"]
    assert table[7] == table[8] == ("base", True, 1)
    for i, (kind, exc) in enumerate(table[:7]):
        assert kind == "error" and type(exc) is NotImplementedError and f"entry {i}" in str(exc)
    assert d["second"] == (2, 0) and d["second_released"] == (1, 0, False, False)
    assert d["after_threads"] == (1, 0)
    # The owner exports its buffer; the memoryview keeps it after the release.
    m = d["owner_buffer"]
    assert m.format == "d" and m.shape == (6,) and not m.readonly
    ref.assert_same_bits(np.asarray(m), ref.norm(a))
    assert d["array"]() is not None
    del d, m
    gc.collect()


def test_owner_and_array_go_with_the_last_buffer(client):
    d = client.owner_layout(BASE[:6])
    array = d["array"]
    del d
    assert array() is None


@pytest.mark.parametrize("rows", [4, 1])
@pytest.mark.parametrize("flags", BUFFER_FLAGS.values(), ids=BUFFER_FLAGS.keys())
def test_owner_honours_buffer_requests_as_an_ndarray(client, flags, rows):
    # (4, 3) rows in C order: a Fortran-contiguous request is refused. One
    # row is contiguous both ways, and its strides follow the request.
    owner = client.result_owner(BASE[:rows])
    assert request_buffer(owner, flags) == request_buffer(np.zeros((rows, 3)), flags)


# ---------------------------------------------------------------------------
# numpy as a module global, failures and the profiler
# ---------------------------------------------------------------------------

REBIND = f"""
    import sys, traceback, types
    import numpy as np
    import {NAME} as q
    from orbivane.mathtools.quiverel import vectors
    sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})
    from native_build import native_client
    client = native_client("quiverel_client")
    a = np.ones((4, 3))

    def show(kernel):
        try:
            getattr(vectors, kernel)(a)
        except Exception as e:
            ours = [(f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)
                    if f.filename == "orbivane/mathtools/quiverel/quiverel"]
            print(kernel, type(e).__name__, str(e)[:60], *ours)
        else:
            print(kernel, "ok")
        r = client.batch(kernel, a)
        print(r["record"] == (0, 0, (0,) * 8, (0,) * 8, (0,) * 8))
"""


@pytest.mark.parametrize("setup, outcome", [
    ("q.numpy = types.SimpleNamespace(double=np.double)",
     "AttributeError 'types.SimpleNamespace' object has no attribute 'zeros'"),
    ("q.numpy = types.SimpleNamespace(zeros=lambda **k: None, double=np.double)",
     "TypeError a bytes-like object is required, not 'NoneType'"),
    ("q.numpy = types.SimpleNamespace(zeros=lambda **k: b'abcdefgh', double=np.double)",
     "BufferError Object is not writable."),
    ("q.numpy = types.SimpleNamespace(zeros=lambda shape, dtype: np.zeros(shape + (1,), dtype), double=np.double)",
     "ValueError numpy.zeros returned a buffer of the wrong number of dimensi"),
    ("q.numpy = types.SimpleNamespace(zeros=lambda shape, dtype: np.zeros(shape, np.int64), double=np.double)",
     "ValueError numpy.zeros returned a buffer of the wrong item type (expect"),
    ("q.numpy = types.SimpleNamespace(zeros=lambda *, shape, dtype: 1 / 0, double=np.double)",
     "ZeroDivisionError division by zero"),
    ("del q.numpy", "NameError name 'numpy' is not defined"),
])
def test_rebound_numpy_fails_with_zero_record(setup, outcome):
    proc = run_python(REBIND + f"""
    {setup}
    show("norm_array")
    show("normalize_array")
    """)
    assert proc.stdout.splitlines() == [
        f"norm_array {outcome} ('{NAME}.norm_array', 46)", "True",
        f"normalize_array {outcome} ('{NAME}.normalize_array', 72)", "True",
    ]


def test_numpy_is_looked_up_at_every_call_and_among_builtins():
    proc = run_python(REBIND + """
    import builtins
    calls = []
    def zeros(**kwargs):
        calls.append(list(kwargs))
        return np.zeros(**kwargs)
    q.numpy = types.SimpleNamespace(zeros=zeros, double=np.double)
    show("norm_array")
    del q.numpy
    builtins.numpy = np
    show("normalize_array")
    q.numpy = np
    del builtins.numpy
    show("norm_array")
    print(calls)
    """)
    assert proc.stdout.splitlines() == [
        "norm_array ok", "False", "normalize_array ok", "False", "norm_array ok", "False",
        "[['shape', 'dtype'], ['shape', 'dtype']]",
    ]


def backwards_every_other(shape):
    """Zeros of the shape, each of whose steps is negative and twice as long as in C order."""
    return np.zeros(tuple(2 * n for n in shape))[(slice(None, None, -2),) * len(shape)]


# What a rebound numpy.zeros returns for the requested shape, and the end of
# the kernels' refusal of it ({shape}: the requested shape, {got}: the one
# returned), or None when the rows are written into it through its strides.
WRONG_SHAPE = "a buffer of the wrong shape (expected {shape}, got {got})"
RESULT_BUFFERS = {
    "Fortran order": (lambda c, shape: np.zeros(shape, order="F"), None),
    "negative steps of two": (lambda c, shape: backwards_every_other(shape), None),
    "another exporter": (lambda c, shape: c.lying_buffer(shape), None),
    "one row": (lambda c, shape: np.zeros((1,) + shape[1:]), WRONG_SHAPE),
    "a row more": (lambda c, shape: np.zeros((shape[0] + 1,) + shape[1:]), WRONG_SHAPE),
    "two columns": (lambda c, shape: np.zeros(shape[:-1] + (2,)), WRONG_SHAPE),
    "read-only": (lambda c, shape: c.lying_buffer(shape, readonly=True), "a read-only buffer"),
    "without strides": (lambda c, shape: c.lying_buffer(shape, strides=False),
                        "a buffer without shape or strides"),
}


@pytest.mark.parametrize("kernel, shape, line, reference", [
    ("norm_array", (5,), 46, ref.norm), ("normalize_array", (5, 3), 72, ref.normalize)])
@pytest.mark.parametrize("case", RESULT_BUFFERS)
def test_result_buffers_are_written_through_their_strides_or_refused(client, kernel, shape, line, reference,
                                                                      case):
    """Whatever a rebound numpy.zeros returns, the rows are written only into
    a writable buffer of doubles of exactly the result's shape, through its
    own strides; anything else is refused before any row is written."""
    make, refusal = RESULT_BUFFERS[case]
    made = []

    def zeros(shape, dtype):
        made.append(make(client, shape))
        return made[-1]

    rows = BASE[:5]
    quiverel.numpy = types.SimpleNamespace(zeros=zeros, double=np.double)
    try:
        report = client.batch(kernel, rows)
        try:
            result, error = getattr(vectors, kernel)(rows), None
        except ValueError as e:
            result, error = None, e
    finally:
        quiverel.numpy = np
    if refusal is None:
        assert report["exception"] is None and error is None
        strides = memoryview(made[0]).strides
        assert report["record"][3][:len(shape)] == strides and result.strides == strides
        ref.assert_same_bits(np.array(report["values"]), reference(rows))
        ref.assert_same_bits(result, reference(rows))
        return
    message = "numpy.zeros returned " + refusal.format(shape=shape, got=memoryview(made[0]).shape)
    assert report["record"] == ZERO_RECORD
    for exc in (report["exception"], error):
        assert type(exc) is ValueError and str(exc) == message
        assert [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE] == [
            (f"{NAME}.{kernel}", line)]


def test_profiler_sees_each_batch_call():
    events = []

    def profile(frame, event, arg):
        if frame.f_code.co_filename == SOURCE:
            c = frame.f_code
            events.append((event, c.co_name, c.co_firstlineno, c.co_argcount, c.co_varnames, arg,
                           frame.f_globals.get("__name__")))

    a = BASE[:5]
    sys.setprofile(profile)
    try:
        vectors.norm_array(a)
        vectors.normalize_array(a)
        with pytest.raises(ValueError):
            vectors.norm_array(np.zeros((3, 3))[:, :2].copy().reshape(3, 2))
    finally:
        sys.setprofile(None)
    assert events == [
        ("call", "norm_array", 41, 1, ("a",), None, NAME),
        ("return", "norm_array", 41, 1, ("a",), None, NAME),
        ("call", "normalize_array", 67, 1, ("a",), None, NAME),
        ("return", "normalize_array", 67, 1, ("a",), None, NAME),
    ]


@pytest.mark.parametrize("kernel, line", [("norm_array", 41), ("normalize_array", 67)])
def test_raising_profiler_fails_the_call_at_the_first_line(client, kernel, line):
    def profile(frame, event, arg):
        if frame.f_code.co_name == kernel and event == "call":
            raise LookupError("from the profiler")

    sys.setprofile(profile)
    try:
        report = client.batch(kernel, BASE[:4])
    finally:
        sys.setprofile(None)
    exc = report["exception"]
    assert isinstance(exc, LookupError) and report["record"] == ZERO_RECORD
    names = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]
    assert names[0] == (f"{NAME}.{kernel}", line)


def test_results_larger_than_the_caches_keep_their_bits():
    # Results far larger than the caches, with prefetched input rows and fresh result pages.
    rng = np.random.default_rng(9)
    a = rng.normal(size=(1_100_003, 3))
    a[rng.choice(len(a), size=2000, replace=False)] = ref.random_vectors(2000, seed=9)
    with np.errstate(all="ignore"):
        ref.assert_same_bits(vectors.norm_array(a), ref.norm(a))
        ref.assert_same_bits(vectors.normalize_array(a), ref.normalize(a))
        ref.assert_same_bits(vectors.normalize_array(np.asfortranarray(a)), ref.normalize(a))
