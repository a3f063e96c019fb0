"""A Cython client of TLE and Time, built by each supported Cython release:
it binds the types through the installed declarations (size check and method
table), reads the records, decodes again through the method table, and
derives its own element-set type."""

import ctypes
import sys

import numpy
import pytest

import cython_build
from conftest import run_python
from cython_build import cython_version  # noqa: F401  (fixture)
from orbivane.propagators.analytical.sgp4.tle import TLE
from orbivane.time.time import Time

ISS = ("1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537")
VANGUARD = ("1 00005U 58002B   00179.78495062  .00000023  00000-0  28098-4 0  4753",
            "2 00005  34.2682 348.7242 1859667 331.7664  19.3264 10.82419157413667")

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def vtable_capsule(cls) -> int:
    return _capsule_pointer(cls.__dict__["__pyx_vtable__"], None)


@pytest.fixture
def client(cython_version):
    return cython_build.load("tle_client", cython_version)


def test_declared_records_match_the_types(client):
    assert client.record_sizes() == {"TLE": 184, "Time": 280, "view": 208}
    t = TLE(*ISS)
    assert client.offsets(t) == {"_line1": 24, "_line2": 94, "strict_validation": 164,
                                 "_satno": 168, "epoch": 176}
    assert client.time_fields(t.epoch)["_jd12"] == 72


def test_import_passes_size_checks_without_warning(cython_version):
    # Warnings are errors from the start, so a size-check RuntimeWarning for
    # TLE or Time would fail the import.
    code = ("import warnings\nwarnings.simplefilter('error')\n"
            + cython_build.import_snippet("tle_client", cython_version)
            + "print(client.SubTLE.__mro__[1])\n")
    proc = run_python(code)
    assert proc.stdout.strip() == "<class 'orbivane.propagators.analytical.sgp4.tle.TLE'>"
    assert proc.stderr == ""


@pytest.mark.parametrize("lines, strict", [(ISS, False), (VANGUARD, True)])
def test_fields_read_directly(client, lines, strict):
    t = TLE(*lines, strict)
    line1, line2, _, satno, epoch = client.fields(t)
    assert line1 == lines[0].encode().ljust(70, b"\0")
    assert line2 == lines[1].encode().ljust(70, b"\0")
    assert satno == lines[0][2:7].encode() + b"\0"
    assert epoch is t.epoch


def test_time_fields_read_directly(client):
    epoch = TLE(*ISS).epoch
    f = client.time_fields(epoch)
    assert f["_is_scalar"] == 1 and f["length"] == 1
    assert isinstance(f["_scale"], str) and f["_scale"]


def test_array_time_fields_and_view(client):
    t = Time.range("2021", 0.25, 6)[1::2]
    f = client.time_fields(t)
    assert (f["_is_scalar"], f["length"], f["shape"], f["strides"]) == (0, 3, (3, 0), (16, 0))
    assert client.jd_through_view(t) == t.jd1[0] + t.jd2[0] == t[0].jd


@pytest.mark.parametrize("jd", [2454730.01782528, 2459215.5, -0.25])
def test_jd12_view_read_and_kept_after_the_time(client, jd):
    t = Time(jd, format="jd")
    assert client.jd_through_view(t) == t.jd == jd
    total, view, log = client.view_outliving_time(jd)
    # One acquisition per live copy; together they hold one owner reference.
    assert log == [("copied", 2, 1), ("time gone", 1, 1), ("as object", 2, 1)]
    values = numpy.asarray(view)
    assert total == jd and values.tolist() == [[t.jd1], [t.jd2]] and not values.flags.writeable
    assert view.base is None


def test_jd12_views_do_not_leak(client):
    def cycle():
        client.jd_through_view(Time(2459215.5, format="jd"))
        numpy.asarray(client.view_outliving_time(2454730.01782528)[1]).sum()

    for _ in range(200):
        cycle()
    before = sys.getallocatedblocks()
    for _ in range(5000):
        cycle()
    assert sys.getallocatedblocks() - before < 200


def line1_with(satno: str, year: str, day: str) -> bytes:
    return f"1 {satno:5.5}U 58002B   {year:2.2}{day:12.12}".encode()


@pytest.mark.parametrize("line1, satno, year, day", [
    (line1_with("11111", "21", "123.50000000"), 11111, "2021", 123.5),
    (line1_with("00042", "57", "001.00000000"), 42, "1957", 1.0),
    (line1_with("ABCDE", "56", "  1.235e2"), "ABCDE", "2056", 123.5),
    (b"", "", "2000", 0.0),
])
def test_reparse_through_method_table(client, line1, satno, year, day):
    t = TLE(*ISS)
    jd = (Time(year).jd - 1.0) + day
    old = t.epoch
    held = sys.getrefcount(old)
    client.reparse(t, line1)
    assert t.satno == satno
    assert t.epoch is not old and t.epoch.jd == jd
    assert client.fields(t)[0] == line1.ljust(70, b"\0")
    assert sys.getrefcount(old) == held - 1      # the record dropped its reference


def test_records_point_at_the_published_table(client):
    t = TLE(*ISS)
    assert client.vtable_of(t) == vtable_capsule(TLE)


def test_subclass_creation_decodes_with_tle_own_table(client):
    before = client.override_calls
    s = client.SubTLE(*ISS)
    # Creation ran TLE's parse_line1, not the override.
    assert client.override_calls == before
    assert s.satno == 25544 and s.epoch.jd == 2454730.01782528
    assert isinstance(s, TLE) and s.line1 == ISS[0]
    # After creation the record points at the subclass table.
    assert client.vtable_of(s) == vtable_capsule(client.SubTLE) != vtable_capsule(TLE)


def test_subclass_direct_call_reaches_override(client):
    s = client.SubTLE(*ISS)
    before = client.override_calls
    client.reparse(s, b"1 11111U 98067A   21123.50000000")
    assert client.override_calls == before + 1
    assert s.satno == "S1111" and s.epoch.jd == 2459338.0


def test_subclass_override_failure_propagates(client):
    s = client.SubTLE(*ISS)
    epoch = s.epoch
    with pytest.raises(ValueError, match="SubTLE refuses this line 1") as info:
        client.reparse(s, b"X 11111U")
    assert s.epoch is epoch
    names = [entry.name for entry in info.traceback]
    assert "reparse" in names[-2] and "parse_line1" in names[-1]


@pytest.mark.parametrize("args, message", [
    ((ISS[0],), r"__cinit__\(\) takes at least 2 positional arguments \(1 given\)"),
    ((ISS[0], 5), r"Argument 'line2' has incorrect type \(expected str, got int\)"),
])
def test_subclass_inherits_creation_checks(client, args, message):
    with pytest.raises(TypeError, match=message):
        client.SubTLE(*args)


def test_subclass_and_reparse_do_not_leak(client):
    def cycle():
        s = client.SubTLE(*ISS)
        client.reparse(s, b"1 11111U 98067A   21123.50000000")
        t = TLE(*VANGUARD)
        client.reparse(t, b"1 00042U 58002B   57001.00000000")

    for _ in range(200):
        cycle()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        cycle()
    assert sys.getallocatedblocks() - before < 200
