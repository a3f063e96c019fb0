"""SGP4Array: every satellite of a catalogue at every time, against the
scalar SGP4 bit for bit on every SIMD path, whatever the catalogue's mix,
size and order and the thread count; the verification set through the
batch; the result arrays a caller passes; refusals; Ctrl-C."""

import copy
import os
import pickle
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import run_python, traced_growth
from orbivane.propagators.analytical.sgp4 import _sgp4
from orbivane.propagators.analytical.sgp4.elements import Elements
from orbivane.propagators.analytical.sgp4.propagator import SGP4, SGP4Array
from orbivane.time.time import Time
from sgp4_strategies import GRAVITY_MODELS, MODES, element_sets

PATHS = _sgp4._simd_paths()


@pytest.fixture(params=PATHS)
def path(request):
    """Each SIMD path this processor runs, in force while the test runs."""
    before = _sgp4._simd_path()
    _sgp4._set_simd_path(request.param)
    yield request.param
    _sgp4._set_simd_path(before)


def bits(a):
    """The bit patterns of a float array (NaNs and zeros of either sign
    compare exactly), or an integer array as it is."""
    a = np.asarray(a)
    return a.view(np.int64) if a.dtype == np.float64 else a


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(bits(a), bits(b))


class Instants:
    """Any object with jd1 and jd2, as a Time of many instants is."""

    def __init__(self, jd1, jd2, scale="utc"):
        self.jd1, self.jd2, self.scale = jd1, jd2, scale


@st.composite
def catalogues(draw):
    """Random element sets of every kind, with epochs within 30 days of one
    another, so that Julian dates near one are near all."""
    base = draw(st.floats(2436935.5, 2470000.5))
    sets = draw(st.lists(element_sets(), min_size=1, max_size=19))
    fields = ["norad_cat_id", "mean_motion", "eccentricity", "inclination", "ra_of_asc_node", "arg_of_pericenter",
              "mean_anomaly", "bstar"]
    return [Elements(epoch=Time(base + draw(st.floats(-30.0, 30.0)), format="jd"),
                     **{f: getattr(e, f) for f in fields}) for e in sets]


@given(catalogue=catalogues(), gravity=st.sampled_from(GRAVITY_MODELS), mode=st.sampled_from(MODES),
       times=st.lists(st.floats(-1e5, 1e5), min_size=1, max_size=5), threads=st.integers(1, 3), data=st.data())
def test_every_path_gives_the_scalar_bits(catalogue, gravity, mode, times, threads, data):
    scalar = [SGP4(e, gravity=gravity, mode=mode) for e in catalogue]
    t = np.array(times)
    jd1 = np.floor(catalogue[0].epoch_jd1) + np.arange(len(t)) - 0.5
    jd2 = t / 1440.0
    own = np.array(data.draw(st.lists(st.floats(-1e5, 1e5), min_size=len(catalogue), max_size=len(catalogue))))
    expected = [s.propagate(t) for s in scalar]
    expected_jd = [s.propagate_jd(jd1, jd2) for s in scalar]
    expected_own = [s.propagate(x) for s, x in zip(scalar, own)]
    for path in PATHS:
        _sgp4._set_simd_path(path)
        try:
            batch = SGP4Array(catalogue, gravity=gravity, mode=mode)
        finally:
            _sgp4._set_simd_path(PATHS[0])
        grid = batch.propagate(t, threads=threads)
        grid_jd = batch.propagate(Instants(jd1, jd2), threads=threads)
        each = batch.propagate_each(own, threads=threads)
        for i in range(len(catalogue)):
            for k in range(3):
                assert same_bits(grid[k][i], expected[i][k]), (path, i)
                assert same_bits(grid_jd[k][i], expected_jd[i][k]), (path, i)
                assert same_bits(each[k][i], np.asarray(expected_own[i][k], dtype=each[k].dtype)), (path, i)


def test_results_do_not_depend_on_threads_size_or_order(path):
    # A mixed catalogue, cut and shuffled: each satellite's rows are the same
    # whatever else is in the batch, where, and however many threads run.
    import test_sgp4_verification as ver

    elements = [Elements.from_lines(line1, line2) for (line1, line2, _), _ in ver.CASES]
    t = np.linspace(-2000.0, 30000.0, 150)
    reference = SGP4Array(elements).propagate(t, threads=1)
    rng = np.random.default_rng(5)
    for threads in (2, 3, 8):
        assert all(same_bits(a, b) for a, b in zip(SGP4Array(elements).propagate(t, threads=threads), reference))
    for size in (1, 5, 9, 17, 33):
        order = rng.permutation(len(elements))[:size]
        r, v, code = SGP4Array([elements[i] for i in order]).propagate(t, threads=int(rng.integers(1, 4)))
        assert same_bits(r, reference[0][order]) and same_bits(v, reference[1][order])
        assert same_bits(code, reference[2][order])


def test_verification_set(path):
    import test_sgp4_verification as ver

    batch = SGP4Array([Elements.from_lines(line1, line2) for (line1, line2, _), _ in ver.CASES])
    for i, ((line1, line2, times), expected) in enumerate(ver.CASES):
        t = np.array(times)
        r, v, code = (x[i] for x in batch.propagate(t))
        scalar = batch[i].propagate(t)
        assert all(same_bits(a, b) for a, b in zip((r, v, code), scalar))
        listed = len(expected)
        ok = code[:listed] == 0
        tolerance = ver.DEEP_SPACE_KM if batch[i].deep_space else ver.NEAR_EARTH_KM
        assert np.abs(r[:listed][ok] - expected[ok, 1:4]).max(initial=0.0) <= tolerance
        assert np.abs(v[:listed][ok] - expected[ok, 4:7]).max(initial=0.0) <= ver.VELOCITY_KM_S


ISS = ("1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537")
MOLNIYA = ("1 08195U 75081A   06176.33215444  .00000099  00000-0  11873-3 0   813",
           "2 08195  64.1586 279.0717 6877146 264.7651  20.2257  2.00491383225656")


@pytest.fixture
def pair():
    return SGP4Array([Elements.from_lines(*ISS), Elements.from_lines(*MOLNIYA)])


def test_shapes_forms_of_time_and_out(pair):
    e = pair.elements
    assert len(pair) == 2 and [x.norad_cat_id for x in e] == [25544, 8195]
    assert isinstance(pair[-1], SGP4) and pair[-1].deep_space and pair[1].elements == e[1]
    assert repr(pair).startswith("<SGP4Array of 2 satellites (1 deep space), gravity='wgs72', mode='improved'")
    grid = np.arange(12.0).reshape(3, 4)
    cases = {
        "scalar": (lambda **kw: pair.propagate(90.0, **kw), (2,)),
        "1-D": (lambda **kw: pair.propagate(grid[0], **kw), (2, 4)),
        "2-D": (lambda **kw: pair.propagate(grid, **kw), (2, 3, 4)),
        "jd broadcast": (lambda **kw: pair.propagate_jd(e[0].epoch_jd1 + grid[:, :1], grid[0] / 1440, **kw),
                         (2, 3, 4)),
        "Time": (lambda **kw: pair.propagate(Time(e[0].epoch_jd1 + 0.25, format="jd"), **kw), (2,)),
        "each": (lambda **kw: pair.propagate_each([10.0, 20.0], **kw), (2,)),
        "each scalar": (lambda **kw: pair.propagate_each(10.0, **kw), (2,)),
        "each jd": (lambda **kw: pair.propagate_each_jd([e[0].epoch_jd1, e[1].epoch_jd1], 0.5, **kw), (2,)),
    }
    for name, (call, shape) in cases.items():
        r, v, code = call()
        assert (r.shape, v.shape, code.shape) == (shape + (3,), shape + (3,), shape), name
        assert r.dtype == v.dtype == np.float64 and code.dtype == np.int8
        out = (np.full(shape + (3,), 7.0), np.full(shape + (3,), 7.0), np.full(shape, 7, np.int8))
        again = call(out=out, threads=2)
        assert all(a is b for a, b in zip(again, out))
        assert all(same_bits(a, b) for a, b in zip(again, (r, v, code))), name
    # A Time's instants are the same for every satellite; minutes are each
    # satellite's own.
    at = pair.propagate(Instants(e[1].epoch_jd1, e[1].epoch_jd2))
    assert same_bits(at[0][1], pair[1].propagate(0.0)[0])
    assert same_bits(pair.propagate_each([0.0, 5.0])[0][1], pair[1].propagate(5.0)[0])


def refusals(pair):
    r = np.zeros((2, 4, 3))
    code = np.zeros((2, 4), np.int8)
    t = np.arange(4.0)
    far = pair.elements[0].epoch_jd1 + 1e6
    return [
        (lambda: pair.propagate(t, out=[r, r.copy(), code]), TypeError, r"out must be a tuple \(r, v, code\)"),
        (lambda: pair.propagate(t, out=(r, r.tolist(), code)), TypeError, r"out\[1\] \(v\) must be a NumPy array"),
        (lambda: pair.propagate(t, out=(r, r.astype(np.float32), code)), TypeError, "must have dtype float64"),
        (lambda: pair.propagate(t, out=(r, r.copy(), code.astype(np.int16))), TypeError, "must have dtype int8"),
        (lambda: pair.propagate(t, out=(r[:, :3], r.copy(), code)), ValueError,
         r"out\[0\] \(r\) must have shape \(2, 4, 3\), not \(2, 3, 3\)"),
        (lambda: pair.propagate(t, out=(r, np.zeros((2, 4, 6))[:, :, ::2], code)), ValueError, "C-contiguous"),
        (lambda: pair.propagate(t, out=(r, np.zeros((2, 4, 3)), np.broadcast_to(code[:1], (2, 4)))),
         ValueError, "read-only|C-contiguous"),
        (lambda: pair.propagate(t, out=(r, r, code)), ValueError, "must not overlap"),
        (lambda: pair.propagate(t, threads=0), ValueError, "threads must be at least 1"),
        (lambda: pair.propagate(t, threads=1.0), TypeError, "threads must be an int or None"),
        (lambda: pair.propagate([0.0, np.nan]), ValueError, "a time given is not finite"),
        (lambda: pair.propagate_jd(far, 0.0), ValueError, "within 1e9 minutes of the epoch"),
        (lambda: pair.propagate_each_jd([0.0, far], 0.0), ValueError, "within 1e9 minutes"),
        (lambda: pair.propagate_each([1.0, 2.0, 3.0]), ValueError, r"of shape \(2,\), one a satellite"),
        (lambda: pair.propagate(Instants(0.0, 0.0, "tai")), ValueError, "UTC scale"),
        (lambda: pair[2], IndexError, "out of range"),
        (lambda: SGP4Array([pair.elements[0], "x"]), TypeError, "expected an Elements or a TLE"),
        (lambda: SGP4Array(pair.elements[0]), TypeError, "iterable of Elements or TLE"),
        (lambda: SGP4Array([], mode="x"), ValueError, "mode must be"),
        (lambda: _sgp4._set_simd_path("neon"), ValueError, "SIMD path must be"),
    ]


def test_refused(pair):
    for call, error, message in refusals(pair):
        with pytest.raises(error, match=message):
            call()


@pytest.mark.parametrize("gravity", GRAVITY_MODELS)
@pytest.mark.parametrize("mode", MODES)
def test_propagators_pickle_and_copy(pair, gravity, mode):
    # Both types come back with their elements and options, to the bit; a
    # tampered state is refused as the constructor's arguments are.
    t = np.linspace(-3000.0, 3000.0, 7)
    for made in (SGP4Array(pair.elements, gravity=gravity, mode=mode),
                 SGP4(pair.elements[1], gravity=gravity, mode=mode)):
        for back in (pickle.loads(pickle.dumps(made)), copy.deepcopy(made)):
            assert (type(back), back.elements, back.gravity, back.mode) == (type(made), made.elements, gravity, mode)
            for a, b in zip(back.propagate(t), made.propagate(t)):
                np.testing.assert_array_equal(a, b)
        elements = made.elements
        for state, error in [((elements, gravity), TypeError), ((elements, "wgs7", mode), ValueError),
                             ((elements, gravity, 1), TypeError), (("x", gravity, mode), TypeError)]:
            with pytest.raises(error):
                type(made).__new__(type(made)).__setstate__(state)


def test_empty_catalogue():
    empty = SGP4Array([])
    r, v, code = empty.propagate(np.arange(5.0))
    assert r.shape == (0, 5, 3) and code.shape == (0, 5) and len(empty) == 0


def test_a_long_call_stops_at_ctrl_c():
    # A SIGINT from a timer thread in the middle of a call of several
    # seconds on every thread: KeyboardInterrupt comes well before the call
    # would have ended. The handler is installed first: a suite started in
    # the background of a shell without job control inherits SIGINT ignored.
    proc = run_python(f"""
        import os, signal, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import numpy as np
        from orbivane.propagators.analytical.sgp4.elements import Elements
        from orbivane.propagators.analytical.sgp4.propagator import SGP4Array
        batch = SGP4Array([Elements.from_lines(*{MOLNIYA!r})] * 64)
        t = np.full(4000, 3e5)
        for threads in (1, 2):
            out = tuple(np.empty(s) for s in ((64, 4000, 3), (64, 4000, 3))) + (np.empty((64, 4000), np.int8),)
            sent = []
            def interrupt():
                sent.append(time.perf_counter())
                signal.raise_signal(signal.SIGINT)
            threading.Timer(0.3, interrupt).start()
            try:
                batch.propagate(t, threads=threads, out=out)
                print("finished")
            except KeyboardInterrupt:
                print("interrupted", time.perf_counter() - sent[0] < 2.0)
    """)
    assert proc.stdout.split() == ["interrupted", "True"] * 2


def test_a_forked_child_propagates():
    # OpenMP's threads do not survive fork(): a child of a process that used
    # them computes on one thread, with the same bits, instead of waiting
    # for threads it does not have.
    proc = run_python(f"""
        import os
        import numpy as np
        from orbivane.propagators.analytical.sgp4.elements import Elements
        from orbivane.propagators.analytical.sgp4.propagator import SGP4Array
        batch = SGP4Array([Elements.from_lines(*{ISS!r}), Elements.from_lines(*{MOLNIYA!r})] * 40)
        t = np.arange(400.0)
        expected = batch.propagate(t, threads=2)
        pid = os.fork()
        if pid == 0:
            same = all(np.array_equal(a, b) for a, b in zip(batch.propagate(t, threads=2), expected))
            os._exit(0 if same else 1)
        print(os.waitpid(pid, 0)[1])
    """)
    assert proc.stdout.split() == ["0"]


def test_no_leaks():
    # Each satellite near its own epoch: a deep-space orbit years from it
    # costs a resonance integration that the sanitizer pass makes tens of
    # milliseconds long, a round.
    growth = traced_growth(f"""
        import numpy as np
        from orbivane.propagators.analytical.sgp4.elements import Elements
        from orbivane.propagators.analytical.sgp4.propagator import SGP4Array
        from orbivane.propagators.analytical.sgp4.tle import TLE
        import sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        from test_sgp4_batch import refusals
        pair = SGP4Array([Elements.from_lines(*{ISS!r}), TLE(*{MOLNIYA!r})])
        t = np.arange(4.0)
        out = (np.empty((2, 4, 3)), np.empty((2, 4, 3)), np.empty((2, 4), np.int8))
        bad = refusals(pair)
        epochs = np.array([e.epoch_jd1 for e in pair.elements])
    """, """
        SGP4Array(pair.elements, mode="afspc")
        pair.propagate(t)
        pair.propagate(t, out=out)
        pair.propagate_each_jd(epochs, t[:2])
        pair[0]
        for call, error, _ in bad:
            try:
                call()
            except error:
                pass
    """, rounds=500)
    # Less than half the smallest object a round: caches the interpreter
    # grows now and then, no object kept by a call. Under the sanitizer pass
    # (every block from malloc) those caches come and go with the timing of
    # the calls' threads, a few kilobytes that do not grow with the number of
    # rounds (measured: 9 KB after 200 rounds, 1.4 KB after 400); leaks are
    # judged by the normal pass there.
    slack = 4 if os.environ.get("PYTHONMALLOC") == "malloc" else 1
    assert int(growth[0]) < 8 * 500 * slack
