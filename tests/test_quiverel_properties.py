"""Property tests of the vector kernels through the Python client: any
doubles (subnormal, signed zero, infinite, NaN) and, for the batch kernels,
any layout (negative, zero and column strides, Fortran order) give the
reference's bits. The example count follows the hypothesis profile (see
conftest.py): HYPOTHESIS_PROFILE=thorough runs many more."""

import math

import numpy as np
from hypothesis import given, strategies as st

import quiverel_reference as ref
from orbivane.mathtools.quiverel import vectors

# Any double, with the extremes well represented: hypothesis' own floats,
# the reference's edge values, and mantissas at every binary exponent (so
# that sums of squares overflow and underflow often).
mantissas = st.floats(-1.0, 1.0, exclude_min=True, exclude_max=True)
doubles = st.one_of(
    st.floats(width=64),
    st.sampled_from(ref.EDGE_VALUES),
    st.builds(math.ldexp, mantissas, st.integers(-1075, 1024)),
)
vec3 = st.lists(doubles, min_size=3, max_size=3).map(lambda v: np.array([v]))


@given(a=vec3, b=vec3, s=doubles)
def test_3_vector_kernels_give_the_reference_bits(a, b, s):
    with np.errstate(all="ignore"):
        for got, expected in [
            (vectors.scale(s, a[0]), a[0] * s),
            (vectors.add(a[0], b[0]), a[0] + b[0]),
            (vectors.sub(a[0], b[0]), a[0] - b[0]),
            (vectors.dot(a[0], b[0]), ref.dot(a, b)[0]),
            (vectors.cross(a[0], b[0]), ref.cross(a, b)[0]),
            (vectors.norm(a[0]), ref.norm(a)[0]),
            (vectors.normalize(a[0]), ref.normalize(a)[0]),
            (vectors.angle(a[0], b[0]), ref.angle(a, b)[0]),
        ]:
            ref.assert_same_bits(got, expected)


@st.composite
def strided_rows(draw):
    """A view of N rows of k >= 3 doubles, of any strides and order."""
    n, k = draw(st.integers(0, 9)), draw(st.integers(3, 5))
    row_step, column_step = draw(st.sampled_from([-2, -1, 1, 2])), draw(st.sampled_from([-2, -1, 1, 2]))
    shape = (n * abs(row_step), k * abs(column_step))
    values = draw(st.lists(doubles, min_size=shape[0] * shape[1], max_size=shape[0] * shape[1]))
    order = draw(st.sampled_from("CF"))
    view = np.array(values, dtype=np.float64).reshape(shape, order=order)[::row_step, ::column_step]
    repeat = draw(st.sampled_from([None, "row", "column"]))
    if repeat == "row" and n:             # a zero row stride: every row is row 0
        view = np.broadcast_to(view[:1], view.shape)
    elif repeat == "column":              # a zero column stride: x = y = z
        view = np.broadcast_to(view[:, :1], view.shape)
    return view


@given(a=strided_rows())
def test_batch_kernels_give_the_reference_bits_in_any_layout(a):
    rows = np.ascontiguousarray(a[:, :3])
    with np.errstate(all="ignore"):
        ref.assert_same_bits(vectors.norm_array(a), ref.norm(rows))
        ref.assert_same_bits(vectors.normalize_array(a), ref.normalize(rows).reshape(-1, 3))
