"""The element module as an importable module: its surface, its one-time
initialisation and the failures of its import."""

import sys
import weakref

import pytest

import orbivane.propagators.analytical.sgp4.tle as tle_module
from orbivane.propagators.analytical.sgp4.tle import TLE
from conftest import import_in_second_interpreter, run_python
from native_build import NATIVE_DIR, compile_extension, native_client

MODULE = "orbivane.propagators.analytical.sgp4.tle"
ISS = ("1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537")


def test_namespace_holds_only_tle_and_test_dict():
    own = {name for name in dir(tle_module) if not name.startswith("__")}
    assert own == {"TLE"}
    assert tle_module.__test__ == {}
    assert "Time" not in dir(tle_module) and "numpy" not in dir(tle_module)
    assert tle_module.__doc__.startswith("\n") and tle_module.__doc__.endswith("\n")
    assert tle_module.__doc__.count("\n") == 2


def test_type_surface():
    assert TLE.__module__ == MODULE and TLE.__name__ == "TLE"
    assert TLE.__doc__ is None
    assert TLE.__init__ is object.__init__
    assert [k for k in TLE.__dict__ if k in ("line1", "line2", "satno", "epoch")] == \
        ["line1", "line2", "satno", "epoch"]
    assert {"__reduce__", "__setstate__", "__pyx_vtable__"} <= TLE.__dict__.keys()
    assert TLE.line1.__doc__ == "TLE.line1: str"
    assert TLE.line2.__doc__ == "TLE.line2: str"
    assert TLE.satno.__doc__ == "TLE.satno: int | str"
    assert TLE.epoch.__doc__ is None
    assert type(TLE.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"


def test_type_and_instances_are_closed():
    t = TLE(*ISS)
    with pytest.raises(TypeError):
        TLE.extra = 1
    with pytest.raises(TypeError):
        del TLE.line1
    with pytest.raises(AttributeError):
        t.extra = 1
    for name in ("line1", "line2", "satno", "epoch"):
        with pytest.raises(AttributeError):
            setattr(t, name, "x")
        with pytest.raises(AttributeError):
            delattr(t, name)
    with pytest.raises(TypeError):
        weakref.ref(t)
    assert repr(t).startswith(f"<{MODULE}.TLE object at 0x")
    assert t == t and t != TLE(*ISS) and hash(t) == object.__hash__(t)


def test_python_subclass_inherits_creation():
    seen = []

    class Named(TLE):
        def __init__(self, line1, line2, name=None):
            seen.append((line1, line2, name))
            self.name = name

    t = Named(ISS[0], ISS[1])
    assert seen == [(ISS[0], ISS[1], None)]
    assert t.satno == 25544 and t.name is None and type(t.epoch).__name__ == "Time"
    with pytest.raises(TypeError, match=r"__cinit__\(\) got an unexpected keyword argument 'name'"):
        Named(*ISS, name="ISS")


def test_reimport_returns_same_module_and_type():
    saved = sys.modules.pop(MODULE)
    try:
        import importlib
        again = importlib.import_module(MODULE)
        assert again is saved and again.TLE is TLE
    finally:
        sys.modules[MODULE] = saved


def test_exec_on_another_module_object_is_refused():
    client = native_client("tle_client")
    with pytest.raises(RuntimeError) as info:
        client.exec_on_fresh_module(tle_module)
    assert str(info.value) == \
        "Module 'tle' has already been imported. Re-initialisation is not supported."


def test_second_interpreter_is_refused():
    output = import_in_second_interpreter(MODULE)
    assert output == ("<class 'ImportError'>: Interpreter change detected - this module "
                      "can only be loaded into one interpreter per process.")


# Each case breaks one dependency before the first import, checks the
# failure and its "init" traceback entry, then mends it and imports again.
IMPORT_FAILURES = {
    "no numpy": ("sys.modules['numpy'] = None",
                 "del sys.modules['numpy']",
                 "ModuleNotFoundError", "import of numpy halted; None in sys.modules"),
    "Time not a type": ("import orbivane.time.time as tm; real = tm.Time; tm.Time = 42",
                        "tm.Time = real",
                        "TypeError", "orbivane.time.time.Time is not a type object"),
    "Time smaller": ("import orbivane.time.time as tm; real = tm.Time\n"
                     "class Small: pass\n"
                     "tm.Time = Small",
                     "tm.Time = real",
                     "ValueError",
                     "orbivane.time.time.Time size changed, may indicate binary incompatibility. "
                     "Expected 280 from C header, got {size} from PyObject"),
    "no Time": ("import orbivane.time.time as tm; real = tm.Time; del tm.Time",
                "tm.Time = real",
                "AttributeError", "module 'orbivane.time.time' has no attribute 'Time'"),
}


@pytest.mark.parametrize("case", IMPORT_FAILURES)
def test_import_failure_leaves_entry_and_allows_retry(case):
    breaking, mending, exc_name, message = IMPORT_FAILURES[case]
    proc = run_python(f"""
        import sys, traceback
        {breaking.replace(chr(10), chr(10) + ' ' * 8)}
        try:
            import {MODULE}
        except Exception as e:
            print(type(e).__name__)
            print(e)
            last = traceback.extract_tb(e.__traceback__)[-1]
            print(last.name, last.filename, last.lineno)
        else:
            print("imported")
        print(Small.__basicsize__ if 'Small' in dir() else 0)
        {mending}
        import {MODULE} as m
        t = m.TLE("1 00005U 58002B   00179.78495062", "2")
        print(t.satno, round(t.epoch.jd, 8))
    """)
    lines = proc.stdout.splitlines()
    assert lines[0] == exc_name
    assert lines[1] == message.format(size=lines[3])
    assert lines[2] == f"init {MODULE} orbivane/propagators/analytical/sgp4/tle 1"
    assert lines[4] == "5 2451723.28495062"


# TLE is reachable before Time is bound: from an import hook that runs while
# the module initialises, and through object.__subclasses__() after a failed
# import. Both ways, decoding fails as a Time failure does, creation and a
# direct call through the method table alike, and the frames of entries and
# profiler events use the module's dictionary. The hook also loads a
# compiled client, which binds TLE as the module's clients do.
HALF_INITIALISED = {
    "from an import hook": ("probe(sys.modules[MODULE].TLE)", ""),
    "after a failed import": ("raise ImportError('Time made to fail')",
                              "probe(next(c for c in object.__subclasses__() if c.__module__ == MODULE))"),
}


@pytest.mark.parametrize("way", HALF_INITIALISED)
def test_tle_without_bound_time_raises_import_error(way):
    in_hook, after_import = HALF_INITIALISED[way]
    client_path = compile_extension(NATIVE_DIR / "tle_client.cpp", "tle_client")
    proc = run_python(f"""
        import importlib.util, sys, traceback
        MODULE = "{MODULE}"
        def entries(e):
            return [(f.f_code.co_name, line, f.f_globals["__name__"])
                    for f, line in traceback.walk_tb(e.__traceback__)][1:]
        def probe(TLE):
            events = []
            sys.setprofile(lambda frame, event, arg: events.append(
                (event, frame.f_code.co_name, frame.f_globals["__name__"]))
                if frame.f_code.co_filename.startswith("orbivane/") else None)
            try:
                TLE("1 00005U 58002B   00179.78495062", "")
            except ImportError as e:
                sys.setprofile(None)
                print(repr(e), entries(e), events)
            record = client.blank()
            try:
                client.reparse(record, b"1 00042U 58002B   00179.78495062")
            except ImportError as e:
                print(repr(e), entries(e), client.fields(record)[3:])
        class Hook:
            def find_spec(self, name, path, target=None):
                global client
                if name == "orbivane.time.time":
                    sys.meta_path.remove(self)
                    spec = importlib.util.spec_from_file_location("tle_client", {str(client_path)!r})
                    client = importlib.util.module_from_spec(spec)
                    spec.loader.exec_module(client)
                    {in_hook}
        sys.meta_path.insert(0, Hook())
        try:
            import {MODULE}
        except ImportError:
            pass
        {after_import}
        import {MODULE} as m
        t = m.TLE("1 00005U 58002B   00179.78495062", "")
        print(t.satno, t.epoch.jd)
    """)
    error = ("ImportError('orbivane.propagators.analytical.sgp4.tle is not fully initialised "
             "(Time is not bound)')")
    cinit = (f"{MODULE}.TLE.__cinit__", 30, MODULE)
    parse = (f"{MODULE}.TLE.parse_line1", 60, MODULE)
    events = [(event, name, MODULE) for event, name in
              [("call", "__cinit__"), ("call", "parse_line1"), ("return", "parse_line1"),
               ("return", "__cinit__")]]
    assert proc.stdout.splitlines() == [
        f"{error} {[cinit, parse]} {events}",
        f"{error} {[parse]} (b'00042\\x00', None)",
        "5 2451723.28495062",
    ]


def test_larger_time_imports_with_warning():
    proc = run_python(f"""
        import warnings
        import orbivane.time.time as tm
        class Large:
            __slots__ = tuple(f"s{{i}}" for i in range(40))
        real, tm.Time = tm.Time, Large
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import {MODULE}
        for w in caught:
            print(w.category.__name__, w.message)
        print(Large.__basicsize__)
    """)
    *warnings_seen, size = proc.stdout.splitlines()
    assert warnings_seen == [
        "RuntimeWarning orbivane.time.time.Time size changed, may indicate binary "
        f"incompatibility. Expected 280 from C header, got {size} from PyObject"]


def test_warning_turned_error_fails_the_import():
    proc = run_python(f"""
        import warnings, traceback
        import orbivane.time.time as tm
        class Large:
            __slots__ = tuple(f"s{{i}}" for i in range(40))
        real, tm.Time = tm.Time, Large
        warnings.simplefilter("error")
        try:
            import {MODULE}
        except RuntimeWarning as e:
            print(traceback.extract_tb(e.__traceback__)[-1].name)
        tm.Time = real
        import {MODULE}
        print("ok")
    """)
    assert proc.stdout.split() == ["init", MODULE, "ok"]


def test_import_reports_to_profiler():
    proc = run_python(f"""
        import sys
        events = []
        def profile(frame, event, arg):
            code = frame.f_code
            if code.co_filename.startswith("orbivane/"):
                events.append((event, code.co_name, code.co_filename, frame.f_lineno))
        sys.setprofile(profile)
        import {MODULE}
        sys.setprofile(None)
        for e in events:
            print(*e)
    """)
    assert proc.stdout.splitlines() == [
        "call PyInit_tle orbivane/propagators/analytical/sgp4/tle 1",
        "return PyInit_tle orbivane/propagators/analytical/sgp4/tle 1",
    ]


def test_main_flag_set_by_host_runs_module_as_main():
    proc = run_python(f"""
        import ctypes, importlib.util
        spec = importlib.util.find_spec("{MODULE}")
        library = ctypes.CDLL(spec.origin)
        flag = ctypes.c_int.in_dll(library, "__pyx_module_is_main_orbivane__propagators__analytical__sgp4__tle")
        flag.value = 1
        import {MODULE}
        import sys
        print(sys.modules["{MODULE}"].__name__, flag.value)
    """)
    assert proc.stdout.split() == ["__main__", "1"]


def test_exports_only_entry_and_main_flag():
    import subprocess
    out = subprocess.run(["nm", "-D", "--defined-only", tle_module.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # A sanitizer build also exports the sanitizers' own hooks.
    symbols = {s for s in symbols if not s.startswith(("__asan", "__odr_asan", "__ubsan"))}
    assert symbols == {"PyInit_tle",
                       "__pyx_module_is_main_orbivane__propagators__analytical__sgp4__tle"}


def test_version_mismatch_warns_and_can_fail():
    import warnings
    client = native_client("module_rules_client", internal=True)
    client.check_version(sys.version_info.major, sys.version_info.minor)   # silent
    running = f"{sys.version_info.major}.{sys.version_info.minor}"
    with pytest.warns(RuntimeWarning) as caught:
        client.check_version(3, 10)
    assert [str(w.message) for w in caught] == [
        f"compile time Python version 3.10 of module 'orbivane.probe' does not match runtime version {running}"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            client.check_version(2, 7)


def test_garbage_collector_breaks_cycles_through_subclass():
    import gc

    class Holder(TLE):
        pass

    h = Holder(*ISS)
    h.me = h
    alive = weakref.ref(h)
    del h
    gc.collect()
    assert alive() is None
