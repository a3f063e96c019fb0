"""The lane types and elementary functions of src/orbivane/_native/simd,
through a native client that compiles them once for each SIMD width:

- every lane operation, at every width, is the IEEE operation (NumPy, and
  exact fractions for fma);
- every function, at every width, gives the bits of the scalar lane, and so
  does the scalar lane compiled with the vector widths' flags;
- sin, cos, atan2 and cbrt are within 1 ulp of mpmath over random doubles of
  every exponent and over a table of hard cases, and follow C (the C library
  through NumPy) on special values; fmod is exact, as C's;
- the width chosen at run time is the widest, unless ORBIVANE_SIMD names
  another supported one.
"""

import math
import sys
from fractions import Fraction
from pathlib import Path

import mpmath
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from native_build import native_client

WIDTHS = ("scalar", "avx2", "avx512")
GROUP = {"scalar": 1, "avx2": 4, "avx512": 8}
CLIENT = dict(package_sources=["_native/simd/dispatch.cpp"], width_sources=["elementary_width.cpp"])
FUNCTIONS = ("sin", "cos", "sincos", "atan2", "fmod", "fmod_2pi", "cbrt")
INF, NAN = math.inf, math.nan


@pytest.fixture(scope="module")
def client():
    return native_client("elementary_client", **CLIENT)


def supported_width(request, client):
    if request.param.split(":")[0] not in client.supported():
        pytest.skip(f"this processor lacks {request.param}")
    return request.param


# Every width, and the scalar lane compiled with the vector widths' flags
# (where the fused multiply-add is an instruction, not a library call).
BUILDS = (*WIDTHS, "avx2:double", "avx512:double")
GROUP.update({"avx2:double": 1, "avx512:double": 1})

width = pytest.fixture(params=BUILDS)(supported_width)
vector_width = pytest.fixture(params=BUILDS[1:])(supported_width)


def run(client, op, width, a, b=None, c=None):
    a = np.ascontiguousarray(a, dtype=float)
    b, c = (np.ones_like(a) if v is None else np.ascontiguousarray(v, dtype=float) for v in (b, c))
    out, out2 = np.empty_like(a), np.empty_like(a)
    client.evaluate(op, width, a, b, c, out, out2)
    return (out, out2) if op == "sincos" else out


def assert_same_bits(got, expected):
    got, expected = np.asarray(got, dtype=float), np.asarray(expected, dtype=float)
    differ = (got.view(np.int64) != expected.view(np.int64)) & ~(np.isnan(got) & np.isnan(expected))
    assert not differ.any(), [(i, got[i], expected[i]) for i in np.flatnonzero(differ)[:5]]


def near(x, steps=1):
    """x and its neighbours, `steps` doubles either way."""
    out, up, down = [x], x, x
    for _ in range(steps):
        up, down = math.nextafter(up, INF), math.nextafter(down, -INF)
        out += [up, down]
    return out


def half_pi_multiples():
    """Doubles nearest k pi/2 for k up to 2^21 (and the double that comes
    closest of all to a multiple of pi/2), with their neighbours."""
    with mpmath.workprec(200):
        ks = [1, 2, 3, 4, 5, 7, 10, 100, 355, 1000, 12345, 99999, 2**20 + 1, 2**21 - 1]
        values = [float(mpmath.pi / 2 * k) for k in ks]
    return [v for x in values for v in near(x)] + [6381956970095103 * 2.0**797]


# Edge values of every function and of its thresholds: zeros, subnormals,
# the largest doubles, infinities, NaN; sin's 2^-26; the reduction's 2^30;
# atan2's tan(pi/8); cbrt's powers of 8.
EDGES = np.array(
    [0.0, -0.0, INF, -INF, NAN, 5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
     -1.7976931348623157e308, 1.0, -1.0, 0.5, 8.0, 0.125, 2.0**-1022 / 3, 2.0**768, 2.0**-768, 2.0**1023]
    + near(2.0**-26) + near(2.0**30, 2) + near(-(2.0**30)) + near(0.41421356237309503) + near(2.0**52)
    + half_pi_multiples() + [-v for v in half_pi_multiples()])


def inputs(n=4000, seed=5):
    """a, b, c: random doubles of every exponent and sign, doubles of
    moderate size, and the edge values (a against each other in b)."""
    rng = np.random.default_rng(seed)

    def spread(lo, hi):
        return rng.choice([-1.0, 1.0], n) * np.exp2(rng.uniform(lo, hi, n))

    m = len(EDGES)
    a = np.concatenate([spread(-1074, 1024), spread(-8, 8), np.repeat(EDGES, m)])
    b = np.concatenate([spread(-1074, 1024), spread(-8, 8), np.tile(EDGES, m)])
    c = np.concatenate([spread(-1074, 1024), spread(-8, 8), EDGES[rng.integers(0, m, m * m)]])
    return a, b, c


A, B, C = inputs()


def exact_fma(a, b, c):
    """a * b + c rounded once, in fractions (IEEE's rules for infinities,
    NaN and the sign of zero)."""
    if not (math.isfinite(a) and math.isfinite(b)):
        return a * b + c
    if not math.isfinite(c):
        return c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:
        return a * b + c if (a == 0 or b == 0) and c == 0 else 0.0
    try:
        return float(exact)
    except OverflowError:
        return INF if exact > 0 else -INF


def groupwise(reduce, mask, g):
    out = np.empty(len(mask))
    for i in range(0, len(mask), g):
        out[i:i + g] = float(reduce(mask[i:i + g]))
    return out


# The IEEE operations, lane by lane, as NumPy computes them.
ORACLES = {
    "add": lambda a, b, c, g: a + b, "sub": lambda a, b, c, g: a - b, "mul": lambda a, b, c, g: a * b,
    "div": lambda a, b, c, g: a / b, "neg": lambda a, b, c, g: -a, "sqrt": lambda a, b, c, g: np.sqrt(a),
    "abs": lambda a, b, c, g: np.abs(a), "round_even": lambda a, b, c, g: np.rint(a),
    "trunc": lambda a, b, c, g: np.trunc(a), "floor": lambda a, b, c, g: np.floor(a),
    "fma": lambda a, b, c, g: np.array([exact_fma(*v) for v in zip(a, b, c)]),
    "lt": lambda a, b, c, g: (a < b) * 1.0, "le": lambda a, b, c, g: (a <= b) * 1.0,
    "gt": lambda a, b, c, g: (a > b) * 1.0, "ge": lambda a, b, c, g: (a >= b) * 1.0,
    "eq": lambda a, b, c, g: (a == b) * 1.0, "ne": lambda a, b, c, g: (a != b) * 1.0,
    "logic": lambda a, b, c, g: (((a < b) & ~(b < c)) | (a == c)) * 1.0,
    "select": lambda a, b, c, g: np.where(a < b, c, a),
    "any": lambda a, b, c, g: groupwise(np.any, a < b, g), "all": lambda a, b, c, g: groupwise(np.all, a < b, g),
    "fill": lambda a, b, c, g: a,
}


@pytest.mark.parametrize("op", ORACLES)
def test_lane_operations_are_the_ieee_operations(client, width, op):
    n = len(A) // 8 * 8  # whole groups, for any and all
    a, b, c = A[:n], B[:n], C[:n]
    with np.errstate(all="ignore"):
        assert_same_bits(run(client, op, width, a, b, c), ORACLES[op](a, b, c, GROUP[width]))


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_every_width_gives_the_scalar_bits(client, vector_width, fn):
    # Lengths that leave a tail of every size after the last whole group.
    for n in (len(A), len(A) - 3, 7, 1):
        got, expected = run(client, fn, vector_width, A[:n], B[:n]), run(client, fn, "scalar", A[:n], B[:n])
        for g, e in zip(*(np.atleast_2d(v) for v in (got, expected))):
            assert_same_bits(g, e)


def test_special_values_follow_c(client):
    specials = np.array([0.0, -0.0, INF, -INF, NAN, 1.0, -1.0, 5e-324, -1.7976931348623157e308])
    y, x = (v.ravel() for v in np.meshgrid(specials, specials))
    with np.errstate(all="ignore"):
        for fn, ref in [("sin", np.sin), ("cos", np.cos), ("cbrt", np.cbrt)]:
            assert_same_bits(run(client, fn, "scalar", specials), ref(specials))
        assert_same_bits(run(client, "atan2", "scalar", y, x), np.arctan2(y, x))
        # fmod is exact, so any correct fmod gives its bits, on any input.
        assert_same_bits(run(client, "fmod", "scalar", np.concatenate([y, A]), np.concatenate([x, B])),
                         np.fmod(np.concatenate([y, A]), np.concatenate([x, B])))
        # By the reciprocal of 2 pi: also on both sides of multiples of 2 pi,
        # where the quotient's estimate is one off either way.
        turns = 2 * np.pi * np.array([1.0, 2.0, 3.0, 7.0, 1e6, 3.3e14, 2.0**49, 2.0**51])
        x = np.concatenate([specials, A, turns, np.nextafter(turns, 0), np.nextafter(turns, np.inf), -turns])
        assert_same_bits(run(client, "fmod_2pi", "scalar", x), np.fmod(x, 2 * np.pi))


# ---------------------------------------------------------------------------
# Accuracy against mpmath
# ---------------------------------------------------------------------------

REFERENCE = {
    "sin": mpmath.sin,
    "cos": mpmath.cos,
    "atan2": mpmath.atan2,
    "cbrt": lambda x: mpmath.sign(x) * mpmath.cbrt(abs(x)),
}


def ulp_errors(fn, got, *args):
    """|got - exact| in ulps of the exact result (2^-1074 at least)."""
    errors = []
    with mpmath.workprec(160):
        for value, *xs in zip(got, *args):
            exact = REFERENCE[fn](*map(mpmath.mpf, xs))
            e = max(int(mpmath.floor(mpmath.log(abs(exact), 2))) - 52, -1074) if exact else -1074
            errors.append(float(abs(mpmath.mpf(value) - exact) / mpmath.ldexp(1, e)))
    return errors


def hard_cases():
    """(function, arguments) pairs where an error would most likely show."""
    xs = [v for v in EDGES if math.isfinite(v) and v != 0]
    t = 0.41421356237309503
    pairs = [(y, x) for x in (1.0, -1.0, 3.0e300, 7e-310) for y in (x * t, x * t * (1 + 2**-52), x * t * (1 - 2**-52),
                                                                    x, -x, x * 1e-300, x * 2.0**-26)]
    pairs += [(1e308, 1.7976931348623157e308), (2.0**800, 2.0**800 * 0.9), (3e-320, 5e-320), (1.0, 5e-324),
              (-8.154900468268872e-79, 1.423688876290116e229)]  # a quotient just above 2^-1022
    return ([("sin", (x,)) for x in xs] + [("cos", (x,)) for x in xs] + [("cbrt", (x,)) for x in xs]
            + [("atan2", p) for p in pairs if all(map(math.isfinite, p))])


HARD = hard_cases()


@pytest.mark.parametrize("fn", REFERENCE)
def test_hard_cases_are_within_one_ulp(client, fn):
    args = [np.array(a) for a in zip(*(a for f, a in HARD if f == fn))]
    errors = ulp_errors(fn, run(client, fn, "scalar", *args), *args)
    worst = int(np.argmax(errors))
    assert errors[worst] <= 1.0, (fn, [a[worst] for a in args], errors[worst])


nonzero = st.floats(allow_nan=False, allow_infinity=False).filter(lambda v: v != 0)


@given(st.lists(nonzero, min_size=1, max_size=16), st.lists(nonzero, min_size=16, max_size=16))
def test_random_doubles_are_within_one_ulp(client, xs, ys):
    x, y = np.array(xs), np.array(ys[:len(xs)])
    for fn, args in [("sin", (x,)), ("cos", (x,)), ("cbrt", (x,)), ("atan2", (y, x))]:
        errors = ulp_errors(fn, run(client, fn, "scalar", *args), *args)
        assert max(errors) <= 1.0, (fn, args, errors)
    # fmod is exact: x - trunc(x/y) y, in fractions.
    exact = [math.copysign(float(Fraction(a) - int(Fraction(a) / Fraction(b)) * Fraction(b)), a) for a, b in zip(x, y)]
    assert_same_bits(run(client, "fmod", "scalar", x, y), exact)
    assert_same_bits(run(client, "fmod_2pi", "scalar", x), np.fmod(x, 2 * np.pi))


# ---------------------------------------------------------------------------
# The run-time choice of the width
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("requested", [None, "scalar", "avx2", "avx512", "sse9"])
def test_chosen_width_is_the_widest_unless_the_environment_names_another(client, fresh_python, requested):
    assert client.widest() == client.supported()[-1]
    proc = fresh_python(f"""
        import os, sys
        if {requested!r} is not None:
            os.environ["ORBIVANE_SIMD"] = {requested!r}
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from native_build import native_client
        c = native_client("elementary_client", **{CLIENT!r})
        print(c.chosen(), c.chosen())
    """)
    expected = requested if requested in client.supported() else client.widest()
    assert proc.stdout.split() == [expected, expected]
