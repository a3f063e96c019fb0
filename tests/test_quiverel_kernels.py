"""The eight 3-vector kernels: bits, in-place calls, mended cases and the
error contract."""

import math
import subprocess
import sys
import traceback
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import quiverel_reference as ref
from native_build import native_client
from orbivane.mathtools.quiverel import vectors

A = ref.random_vectors(3000, seed=1)
B = ref.random_vectors(3000, seed=2)


@pytest.fixture(scope="module")
def client():
    return native_client("quiverel_client")


def rows(f, *arrays):
    return np.array([f(*args) for args in zip(*arrays)])


@pytest.mark.parametrize("name, compute, expected", [
    ("scale", lambda a, b: rows(lambda x: vectors.scale(-2.5, x), a),
     lambda a, b: a * -2.5),
    ("add", lambda a, b: rows(vectors.add, a, b), lambda a, b: a + b),
    ("sub", lambda a, b: rows(vectors.sub, a, b), lambda a, b: a - b),
    ("dot", lambda a, b: rows(vectors.dot, a, b), ref.dot),
    ("cross", lambda a, b: rows(vectors.cross, a, b), ref.cross),
    ("norm", lambda a, b: rows(vectors.norm, a), lambda a, b: ref.norm(a)),
    ("normalize", lambda a, b: rows(vectors.normalize, a), lambda a, b: ref.normalize(a)),
    ("angle", lambda a, b: rows(vectors.angle, a, b), ref.angle),
])
def test_kernel_bits_against_reference(name, compute, expected):
    with np.errstate(all="ignore"):
        ref.assert_same_bits(compute(A, B), expected(A, B))


def test_angle_of_vectors_with_scaled_copies():
    # Parallel and antiparallel pairs exercise the clamp and the rescaling.
    scales = np.array([1.0, -1.0, 3.0, -1e-200, 1e200, 2.0 ** -1070])
    a = np.repeat(A[:500], len(scales), axis=0)
    with np.errstate(all="ignore"):
        b = a * np.tile(scales, 500)[:, None]
    ref.assert_same_bits(rows(vectors.angle, a, b), ref.angle(a, b))


@pytest.mark.parametrize("call, expected", [
    (lambda: vectors.norm((3.0, 4.0, 0.0)), 5.0),
    (lambda: vectors.norm((1.0, 2.0, 2.0)), 3.0),
    (lambda: vectors.dot((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)), -1.0),
    (lambda: vectors.angle((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)), math.pi),
    (lambda: vectors.angle((1.0, 0.0, 0.0), (0.0, 1.0, 0.0)), math.pi / 2),
    (lambda: vectors.angle((1.0, 2.0, 3.0), (1.0, 2.0, 3.0)), 0.0),
    (lambda: tuple(vectors.normalize((3.0, 4.0, 0.0))), (0.6000000000000001, 0.8, 0.0)),
    (lambda: tuple(vectors.normalize((1.0, 1.0, 1.0))), (0.5773502691896258,) * 3),
    # mended: the plain formulas over- or underflow here
    (lambda: vectors.norm((1e200, 0.0, 0.0)), 1e200),
    (lambda: vectors.norm((1e-170, 0.0, 0.0)), 1e-170),
    (lambda: vectors.norm((5e-324, 0.0, 0.0)), 5e-324),
    (lambda: vectors.norm((3e-320, 4e-320, 0.0)), 5e-320),
    (lambda: vectors.norm((ref.HUGE, ref.HUGE, 0.0)), math.inf),
    (lambda: tuple(vectors.normalize((1e200, 0.0, 0.0))), (1.0, 0.0, 0.0)),
    (lambda: tuple(vectors.normalize((-1e-170, 0.0, 0.0))), (-1.0, 0.0, 0.0)),
    (lambda: vectors.angle((1.0, 1.0, 1.0), (1.0, 1.0, 1.0)), 0.0),
    (lambda: vectors.angle((1.0, 1.0, 1.0), (-1.0, -1.0, -1.0)), math.pi),
    (lambda: vectors.angle((1e200, 0.0, 0.0), (0.0, 1e-200, 0.0)), math.pi / 2),
    (lambda: vectors.angle((1e-170, 1e-170, 0.0), (1e-170, 0.0, 0.0)), math.acos((1 / math.sqrt(2)))),
])
def test_documented_values(call, expected):
    got = call()
    assert np.asarray(got).view(np.uint64).tolist() == np.asarray(expected, dtype=float).view(np.uint64).tolist()


@pytest.mark.parametrize("call", [
    lambda: vectors.norm((0.0, 0.0, 0.0)) == 0.0,
    # a subnormal's rescaled mantissa is not a power of two: within an ulp of 1
    lambda: abs(vectors.normalize((1e-320, 0.0, 0.0))[0] - 1.0) <= 2.0 ** -52,
    lambda: np.isnan(vectors.normalize((0.0, -0.0, 0.0))).all(),
    lambda: np.isnan(vectors.angle((0.0, 0.0, 0.0), (1.0, 0.0, 0.0))),
    lambda: np.isnan(vectors.norm((np.nan, 1.0, 0.0))),
    lambda: vectors.norm((np.inf, 1.0, 0.0)) == np.inf,
    lambda: np.isnan(vectors.normalize((np.inf, 1.0, 0.0))).tolist() == [True, False, False],
    # parallel vectors whose ratio rounds just below 1 keep a tiny angle
    lambda: vectors.angle((0.1, 0.2, 0.3), (1.0, 2.0, 3.0)) == 1.4901161193847656e-08,
])
def test_degenerate_vectors_keep_ieee_results(call):
    assert call()


@pytest.mark.parametrize("name, args, out_index", [
    ("scale", (2.0, "a"), 1),
    ("add", ("a", "b"), 0),
    ("add", ("a", "b"), 1),
    ("sub", ("a", "b"), 0),
    ("sub", ("a", "b"), 1),
    ("cross", ("a", "b"), 0),
    ("cross", ("a", "b"), 1),
    ("normalize", ("a",), 0),
    ("normalize", ("a",), None),
])
def test_in_place_equals_separate_output(name, args, out_index):
    f = getattr(vectors, name)
    for a0, b0 in zip(A[:300], B[:300]):
        values = {"a": a0.copy(), "b": b0.copy()}
        call = [values.get(x, x) if isinstance(x, str) else x for x in args]
        separate = f(*call)
        if out_index is None:
            out = np.empty(3)
        else:
            out = call[out_index]
        result = f(*call, out=out)
        assert result is out
        ref.assert_same_bits(out, separate)


def test_cross_of_itself_in_place():
    a = np.array([1.0, 2.0, 3.0])
    b = np.array([-4.0, 0.5, 2.0])
    expected = np.array([2.0 * 2.0 - 3.0 * 0.5, 3.0 * -4.0 - 1.0 * 2.0, 1.0 * 0.5 - 2.0 * -4.0])
    vectors.cross(a, b, a)
    ref.assert_same_bits(a, expected)


def test_partly_overlapping_output_is_computed_first():
    buf = np.arange(1.0, 6.0)
    expected = vectors.add(buf[0:3].copy(), buf[0:3].copy())
    vectors.add(buf[0:3], buf[0:3], out=buf[2:5])
    ref.assert_same_bits(buf[2:5], expected)


@pytest.mark.parametrize("call, error", [
    (lambda: vectors.norm((1.0, 2.0)), ValueError),
    (lambda: vectors.norm("abc"), ValueError),
    (lambda: vectors.add((1.0, 2.0, 3.0), (1.0, 2.0, 3.0), out=[0.0, 0.0, 0.0]), TypeError),
    (lambda: vectors.add((1.0, 2.0, 3.0), (1.0, 2.0, 3.0), out=np.zeros(3, np.float32)), TypeError),
    (lambda: vectors.normalize((1.0, 2.0, 3.0), out=np.zeros(6)[::2]), TypeError),
    (lambda: vectors.scale("x", (1.0, 2.0, 3.0)), TypeError),
    (lambda: vectors.dot((1.0, 2.0, 3.0)), TypeError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()


def test_argument_errors_use_standard_formats():
    with pytest.raises(TypeError, match=r"^dot\(\) takes exactly 2 positional arguments \(1 given\)$"):
        vectors.dot((1.0, 2.0, 3.0))
    with pytest.raises(TypeError, match=r"^norm\(\) got an unexpected keyword argument 'b'$"):
        vectors.norm(a=(1.0, 2.0, 3.0), b=1)
    assert vectors.norm(a=[3, 4, 0]) == 5.0


# ---------------------------------------------------------------------------
# Error contract
# ---------------------------------------------------------------------------

def entries(exc):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


def test_dot_minus_one_is_genuine(client):
    assert client.dot_genuine((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)) == (-1.0, 0)
    assert vectors.dot((1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)) == -1.0


def test_normalize_with_exception_pending_writes_and_keeps_it(client):
    u, exc = client.normalize_pending((3.0, 4.0, 0.0))
    assert u == (0.6000000000000001, 0.8, 0.0)
    assert isinstance(exc, RuntimeError) and str(exc) == "pending before the call"
    assert entries(exc) == [("orbivane.mathtools.quiverel.quiverel.normalize",
                             "orbivane/mathtools/quiverel/quiverel", 65)]


def test_angle_fails_at_its_dot_check_point_with_exception_pending(client):
    r, exc = client.pair_pending("angle", (1.0, 0.0, 0.0), (-1.0, 0.0, 0.0))
    assert r == -1.0
    assert entries(exc) == [("orbivane.mathtools.quiverel.quiverel.angle",
                             "orbivane/mathtools/quiverel/quiverel", 60)]


@pytest.mark.parametrize("call", [
    lambda c: c.pair_pending("angle", (1.0, 0.0, 0.0), (0.0, 2.0, 0.0)),
    lambda c: c.pair_pending("dot", (1.0, 0.0, 0.0), (-1.0, 0.0, 0.0)),
    lambda c: c.norm_pending((1.0, 0.0, 0.0)),
])
def test_kernels_without_a_reached_check_point_leave_exception_alone(client, call):
    _, exc = call(client)
    assert isinstance(exc, RuntimeError) and entries(exc) == []


def test_kernels_on_native_threads_without_the_lock(client):
    n = len(A)
    with_lock = np.zeros((n, 18))
    threaded = np.zeros((n, 18))
    with np.errstate(all="ignore"):
        client.all_kernels(A, B, with_lock)
        client.all_kernels_threads(A, B, threaded, 4)
    ref.assert_same_bits(threaded, with_lock)
    ref.assert_same_bits(with_lock[:, 15:18], ref.normalize(A))
    ref.assert_same_bits(with_lock[:, 14], ref.angle(A, B))


# ---------------------------------------------------------------------------
# Check points and the interpreter lock
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("release", [False, True], ids=["lock held", "lock released"])
@pytest.mark.parametrize("name, a, b, result, line", [
    ("normalize", (3.0, 4.0, 0.0), (0.0, 0.0, 0.0), (0.6000000000000001, 0.8, 0.0), 65),
    ("angle", (1.0, 0.0, 0.0), (-1.0, 0.0, 0.0), -1.0, 60),
])
def test_check_points_find_the_callers_exception_with_or_without_the_lock(client, release, name, a, b,
                                                                         result, line):
    got, exc, asked = client.pending_call(name, a, b, release)
    assert got == result and asked == 1
    assert isinstance(exc, RuntimeError)
    assert entries(exc) == [(f"orbivane.mathtools.quiverel.quiverel.{name}",
                             "orbivane/mathtools/quiverel/quiverel", line)]


THREAD_SCRIPT = f"""
import math, sys, traceback
import numpy as np
sys.path.insert(0, {str(__import__("pathlib").Path(__file__).parent)!r})
from native_build import native_client
client = native_client("quiverel_client")
"""


@pytest.mark.parametrize("scenario, expected", [
    # A caller that holds the lock (with its own exception pending) waits for
    # a native worker that runs every 3-vector kernel.
    ("""
a, b = (1.0, 2.0, 3.0), (-4.0, 0.5, 2.0)
row, opposite, asked, exc = client.worker_beside_held_lock(a, b)
with_lock = np.zeros((1, 18))
client.all_kernels(np.array([a]), np.array([b]), with_lock)
print(row == with_lock[0].tolist(), opposite == math.pi, asked)
print(type(exc).__name__, traceback.extract_tb(exc.__traceback__) == [])
""", "True True 0\nRuntimeError True\n"),
    # The interpreter exits while a detached native worker loops on normalize.
    ("client.detach_normalize_loop(); print('detached')", "detached\n"),
], ids=["worker beside a held lock", "exit beside a detached worker"])
def test_native_workers_never_wait_for_the_interpreter(scenario, expected):
    try:
        proc = subprocess.run([sys.executable, "-c", THREAD_SCRIPT + scenario],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the process hung")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, expected, "")


# ---------------------------------------------------------------------------
# Arguments of the Python functions
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["add", "sub", "cross", "dot", "angle"])
def test_first_vector_is_read_before_the_second_is_converted(name):
    f = getattr(vectors, name)
    first = np.array([1.0, -2.0, 3.5])
    expected = f(first.copy(), [4.0, 5.0, -6.0])

    class Second:
        def __array__(self, dtype=None, copy=None):
            first.resize(1 << 16, refcheck=False)        # frees the block of first's values
            self.reuse = [np.full(3, 7.0) for _ in range(8)]
            return np.array([4.0, 5.0, -6.0])

    ref.assert_same_bits(f(first, Second()), expected)


@pytest.mark.parametrize("function, shape", [(vectors.norm, (3,)), (vectors.norm_array, (1, 3))])
def test_object_array_is_read_from_a_copy_while_float_runs(function, shape):
    class Shrinks:
        def __float__(self):
            objects.resize(0, refcheck=False)     # frees the array's block of references
            self.reuse = [np.full(3, 7.0) for _ in range(8)]
            return 3.0

    objects = np.empty(shape, dtype=object)
    objects.reshape(-1)[:] = [Shrinks(), 4, 0]
    assert np.ravel(function(objects)).tolist() == [5.0] and objects.size == 0


class Real:
    """A number that only float() knows."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("call, expected", [
    (lambda: vectors.norm([Fraction(3), Real(4.0), False]), 5.0),
    (lambda: vectors.norm(np.array([Decimal(3), 4, 0], dtype=object)), 5.0),
    (lambda: vectors.norm(np.array([3, 4, 0], dtype=np.int8)), 5.0),
    (lambda: vectors.norm(np.array([True, False, True])), math.sqrt(2.0)),
    (lambda: vectors.norm(np.array([3, 4, 0], dtype=">f8")), 5.0),
    (lambda: vectors.norm(np.array([3, 4, 0], dtype=np.float16)[::-1]), 5.0),
    (lambda: vectors.norm_array([[Fraction(3), 4, 0], (0, 0, Real(2.0))]).tolist(), [5.0, 2.0]),
    (lambda: vectors.norm_array(np.array([[Fraction(3), 4, 0, None]], dtype=object)[:, :3]).tolist(), [5.0]),
    (lambda: vectors.normalize_array(np.array([[0, 0, 2, 9]], dtype=np.uint64)).tolist(), [[0.0, 0.0, 1.0]]),
])
def test_real_numbers_are_converted(call, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert call() == expected


NONE_REFUSED = "float() argument must be a string or a real number, not 'NoneType'"


@pytest.mark.parametrize("call, error, message", [
    (lambda: vectors.norm([1.0, None, 2.0]), TypeError, NONE_REFUSED),
    (lambda: vectors.norm_array([[1.0, 2.0, None]]), TypeError, NONE_REFUSED),
    (lambda: vectors.normalize_array(np.array([[None, 1, 2]], dtype=object)), TypeError, NONE_REFUSED),
    (lambda: vectors.norm(np.array([3, 4, 0], dtype=complex)), TypeError,
     "norm() argument 'a' must be an array or a sequence of real numbers, not an array of complex128"),
    (lambda: vectors.dot((1, 2, 3), np.zeros(3, "M8[D]")), TypeError,
     "dot() argument 'b' must be an array or a sequence of real numbers, not an array of datetime64[D]"),
    (lambda: vectors.cross(np.array(["1", "2", "3"]), (1, 2, 3)), TypeError,
     "cross() argument 'a' must be an array or a sequence of real numbers, not an array of <U1"),
    (lambda: vectors.scale(2.0, np.zeros(3, "S1")), TypeError,
     "scale() argument 'a' must be an array or a sequence of real numbers, not an array of |S1"),
    (lambda: vectors.scale(np.complex64(2.0), (1, 2, 3)), TypeError,
     "scale() argument 'scalar' must be a real number, not numpy.complex64"),
    (lambda: vectors.norm_array(np.zeros((2, 3), "m8[s]")), TypeError,
     "norm_array() argument 'a' must be an array or a sequence of real numbers, not an array of "
     "timedelta64[s]"),
    (lambda: vectors.normalize_array(np.zeros((2, 1), complex)), TypeError,      # type before shape
     "normalize_array() argument 'a' must be an array or a sequence of real numbers, not an array of "
     "complex128"),
    (lambda: vectors.angle((1, 2, 3), [1, 2]), ValueError, "angle() argument 'b' must have shape (3,), got (2,)"),
    (lambda: vectors.normalize([[1], [2], [3]]), ValueError,
     "normalize() argument 'a' must have shape (3,), got (3, 1)"),
    (lambda: vectors.norm(None), ValueError, "norm() argument 'a' must have shape (3,), got ()"),
    (lambda: vectors.norm_array(np.zeros((4, 2))), ValueError,
     "norm_array() argument 'a' must have shape (N, k) with k >= 3, got (4, 2)"),
    (lambda: vectors.normalize_array([[1, 2, 3], [4, 5]]), ValueError,
     "normalize_array() argument 'a' must have shape (N, k) with k >= 3, got (2,)"),
])
def test_arguments_that_are_not_real_numbers_are_refused(call, error, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(error) as info:
            call()
    assert str(info.value) == message
