"""NumPy references for the vector kernels, row-wise over (n, 3) arrays, with
the kernels' order of operations: every ufunc call rounds each element on its
own, so these give the kernels' bits. Also the test vectors."""

import math
import sys

import numpy as np

TINY = sys.float_info.min
HUGE = sys.float_info.max

EDGE_VALUES = [0.0, -0.0, 5e-324, -5e-324, 2.5e-310, TINY, -TINY, 1e-170, -1e-160, 1e-154,
               1.0, -1.0, 3.0, 1e154, -1e155, 1e200, -1e300, HUGE, -HUGE,
               np.inf, -np.inf, np.nan]


def random_vectors(n, seed):
    """Ordinary vectors, vectors spread over the whole exponent range, and
    vectors built from edge values, shuffled together."""
    rng = np.random.default_rng(seed)
    k = n // 3
    ordinary = rng.normal(size=(k, 3)) * 10.0 ** rng.integers(-3, 4, size=(k, 1))
    spread = rng.choice([-1.0, 1.0], size=(k, 3)) * 10.0 ** rng.uniform(-320, 308, size=(k, 3))
    edges = rng.choice(np.array(EDGE_VALUES), size=(n - 2 * k, 3))
    mixed = np.concatenate([ordinary, spread, edges])
    # Some components of ordinary size among the extremes.
    mask = rng.random(mixed.shape) < 0.1
    mixed[mask] = rng.normal(size=mask.sum())
    return mixed[rng.permutation(n)]


def dot(a, b):
    return (a[:, 0] * b[:, 0] + a[:, 1] * b[:, 1]) + a[:, 2] * b[:, 2]


def plain(s):
    m = np.abs(s)
    return (m >= TINY) & (m <= HUGE)


def rescaled(a):
    """(usable, a scaled by 2**-e, e) with e the frexp exponent of the
    largest absolute component; usable where all components are finite and
    not all zero."""
    m = np.max(np.abs(a), axis=1)
    usable = np.isfinite(a).all(axis=1) & (m != 0)
    _, e = np.frexp(np.where(usable, m, 1.0))
    return usable, np.ldexp(a, -e[:, None]), e


def cross(a, b):
    return np.stack([a[:, 1] * b[:, 2] - a[:, 2] * b[:, 1],
                     a[:, 2] * b[:, 0] - a[:, 0] * b[:, 2],
                     a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]], axis=1)


def norm(a):
    with np.errstate(all="ignore"):
        s = dot(a, a)
        out = np.sqrt(s)
        usable, b, e = rescaled(a)
        fix = ~plain(s) & usable
        out[fix] = np.ldexp(np.sqrt(dot(b, b)), e)[fix]
    return out


def normalize(a):
    with np.errstate(all="ignore"):
        s = dot(a, a)
        f = 1.0 / np.sqrt(s)
        out = a * f[:, None]
        usable, b, _ = rescaled(a)
        fb = 1.0 / np.sqrt(dot(b, b))
        fix = ~plain(s) & usable
        out[fix] = (b * fb[:, None])[fix]
    return out


def angle(a, b):
    with np.errstate(all="ignore"):
        d, sa, sb = dot(a, b), dot(a, a), dot(b, b)
        r = (d / np.sqrt(sa)) / np.sqrt(sb)
        ua, ra, _ = rescaled(a)
        ub, rb, _ = rescaled(b)
        rs = (dot(ra, rb) / np.sqrt(dot(ra, ra))) / np.sqrt(dot(rb, rb))
        fix = ~(plain(d) & plain(sa) & plain(sb)) & ua & ub
        r[fix] = rs[fix]
        r = np.where(r > 1.0, 1.0, np.where(r < -1.0, -1.0, r))
    return np.array([math.acos(x) if not math.isnan(x) else math.nan for x in r])


def assert_same_bits(got, expected):
    """Equal bit for bit; any NaN matches any NaN."""
    got = np.asarray(got, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert got.shape == expected.shape
    nan_got, nan_expected = np.isnan(got), np.isnan(expected)
    bad = (nan_got != nan_expected) | (~nan_got & (got.view(np.uint64) != expected.view(np.uint64)))
    if bad.any():
        where = np.argwhere(bad)[:5]
        raise AssertionError(f"{bad.sum()} values differ, first at {where.tolist()}: "
                             f"got {got[bad][:5]!r}, expected {expected[bad][:5]!r}")


# The capsule names of the toolkit's table, in table order.
SIGNATURES = {
    "scale": "void (double const , double *, double *)",
    "add": "void (double *, double *, double *)",
    "sub": "void (double *, double *, double *)",
    "dot": "double (double *, double *)",
    "cross": "void (double *, double *, double *)",
    "norm": "double (double *)",
    "norm_array": "__Pyx_memviewslice (__Pyx_memviewslice)",
    "angle": "double (double *, double *)",
    "normalize": "void (double *, double *)",
    "normalize_array": "__Pyx_memviewslice (__Pyx_memviewslice)",
}
