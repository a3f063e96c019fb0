"""The batch kernels' row loops, compiled into a native client and called on
every path (scalar, AVX2), whatever path the module itself picks on this
processor: every path gives the bits of the scalar per-row kernels, rows that
take the rescaled path included, and writes nothing outside its result."""

import numpy as np
import pytest

import quiverel_reference as ref
from native_build import native_client

PATHS = ["scalar", "avx2"]
KERNELS = {"norm": (1, ref.norm), "normalize": (3, ref.normalize)}
GUARD = 0xA5


@pytest.fixture(scope="module")
def client():
    return native_client("quiverel_rows_client", package_sources=["mathtools/quiverel/quiverel_rows.cpp"])


@pytest.fixture(params=PATHS)
def path(request, client):
    if request.param not in client.supported():
        pytest.skip(f"this processor lacks {request.param}")
    return request.param


def rows(n=203, seed=11):
    """Plain rows with edge rows (zero, subnormal, huge, infinite, NaN) at
    every lane of a run of 8-row blocks, a block of edge rows only, and an
    edge row in the tail; the other blocks hold only plain rows."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, 3)) * 10.0 ** rng.integers(-2, 3, size=(n, 1))
    edges = ref.random_vectors(n, seed)
    with np.errstate(all="ignore"):
        edges = edges[~ref.plain(ref.dot(edges, edges))]
    spots = [8 * k + k - 1 for k in range(1, 9)] + list(range(96, 104)) + [n - 2]
    a[spots] = edges[:len(spots)]
    return a


A = rows()


def input_layouts(a):
    """(name, view) pairs over the rows of a: packed, column-major and
    strided inputs, for each of which the vector paths load differently."""
    n = len(a)
    wide = np.zeros((n, 5))
    wide[:, :3] = a
    step2 = np.zeros((n, 6))
    step2[:, ::2] = a
    unaligned = np.frombuffer(b"\0" + a.tobytes() + b"\0" * 7, offset=1, count=a.size).reshape(-1, 3)
    return [("C", a.copy()), ("Fortran", np.asfortranarray(a)), ("wide", wide),
            ("column step 2", step2[:, ::2]), ("negative row stride", a[::-1].copy()[::-1]),
            ("negative column stride", a[:, ::-1].copy()[:, ::-1]), ("unaligned", unaligned)]


def guarded(n, columns, offset):
    """(raw bytes, result view): a packed result of n rows that starts
    `offset` bytes past a 64-byte line, between guard bytes."""
    nbytes = n * columns * 8
    raw = np.full(nbytes + 256, GUARD, dtype=np.uint8)
    start = (-raw.ctypes.data) % 64 + 64 + offset
    view = raw[start:start + nbytes].view(np.float64)
    return raw, start, (view if columns == 1 else view.reshape(n, 3))


def run(client, kernel, path, a, offset=0):
    columns, _ = KERNELS[kernel]
    raw, start, out = guarded(len(a), columns, offset)
    client.rows(kernel, path, a, out)
    size = out.nbytes
    assert (raw[:start] == GUARD).all() and (raw[start + size:] == GUARD).all(), "wrote outside its result"
    return out


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("name, a", input_layouts(A), ids=[n for n, _ in input_layouts(A)])
def test_every_path_gives_the_scalar_bits_in_every_layout(client, path, kernel, name, a):
    got = run(client, kernel, path, a)
    ref.assert_same_bits(got, KERNELS[kernel][1](A))
    ref.assert_same_bits(got, run(client, kernel, "scalar", A))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("offset", [0, 8, 1])
def test_results_at_any_alignment_and_length(client, path, kernel, offset):
    # Whole blocks, a tail of three rows, and inputs shorter than a block.
    for n in (203, 7, 3, 1):
        for a in (A[:n].copy(), np.asfortranarray(A[-n:])):
            ref.assert_same_bits(run(client, kernel, path, a, offset), KERNELS[kernel][1](a))


@pytest.mark.parametrize("kernel", KERNELS)
def test_strided_results_take_the_scalar_loop(client, path, kernel):
    columns, expected = KERNELS[kernel]
    out = np.zeros((len(A), 2 * columns))[:, ::2]
    out = out[:, 0] if columns == 1 else out
    client.rows(kernel, path, A, out)
    ref.assert_same_bits(out, expected(A))


@pytest.mark.parametrize("kernel", KERNELS)
def test_vectors_over_the_whole_exponent_range(client, path, kernel):
    a = ref.random_vectors(4099, seed=12)
    ref.assert_same_bits(run(client, kernel, path, a), KERNELS[kernel][1](a))

