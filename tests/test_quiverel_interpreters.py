"""The vector toolkit beside the interpreter's own life: threads that the
interpreter ends while they are inside a kernel, and other interpreters in
the process. Each case runs in a fresh process, which must neither abort nor
hang."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REFUSED = ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded into "
           "one interpreter per process.")

PRELUDE = f"""
import sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
from native_build import native_client
client = native_client("quiverel_client")
"""


def run_fresh(script):
    """(return code, stdout, stderr) of the script in a fresh interpreter,
    after PRELUDE; fails the test if it runs for a minute."""
    try:
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the process hung")
    return proc.returncode, proc.stdout, proc.stderr


def test_exit_ends_daemon_threads_inside_the_check_points():
    """Daemon threads that released the lock loop over normalize, angle of
    opposite vectors and orbivane_quiverel_error_pending with an exception
    pending: the check points, and the traceback entries after them, take
    the lock. While the interpreter finalises, an object's finaliser lets
    the lock go; each thread then takes it, in one of those places, and is
    ended there by a forced unwind, which must pass through the kernels'
    frames and the header's."""
    assert run_fresh("""
        import threading, time
        for what in ("normalize", "angle", "error_pending") * 3:
            threading.Thread(target=client.released_loop, args=(what,), daemon=True).start()
        while min(client.loop_calls()) < 100:
            time.sleep(0.001)

        class LetsTheLockGo:
            def __del__(self, sleep=time.sleep):
                sleep(0.2)

        finalised_at_exit = LetsTheLockGo()
        print("exiting")
    """) == (0, "exiting\n", "")


def test_other_interpreters():
    """vectors refuses a second interpreter, as quiverel does. A client that
    another interpreter reuses (a single-phase module) calls the kernels
    with an exception pending, holding the lock through that interpreter's
    state or after releasing it: the check points never wait, since the
    thread may hold the lock itself, and report nothing pending, leaving
    the exception untouched. In the main interpreter a thread holding the
    lock through its own state is answered as always; one that released it
    is answered "nothing pending" for as long as another interpreter exists,
    and again fully once none does."""
    code, out, err = run_fresh("""
        import _xxsubinterpreters as interpreters
        import orbivane.mathtools.quiverel.vectors

        CALLS = '''
        import traceback
        for name, b in (("normalize", (0.0, 0.0, 0.0)), ("angle", (-1.0, 0.0, 0.0))):
            for release in (False, True):
                got, exc, asked = client.pending_call(name, (3.0, 4.0, 0.0) if name == "normalize"
                                                      else (1.0, 0.0, 0.0), b, release)
                lines = [f.lineno for f in traceback.extract_tb(exc.__traceback__)]
                print(WHERE, name, "released" if release else "held", got, type(exc).__name__, lines, asked)
        '''
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import orbivane.mathtools.quiverel.vectors")
        except interpreters.RunFailedError as e:
            print(e)
        interpreters.run_string(sub, f'''
        import importlib.util
        spec = importlib.util.spec_from_file_location("quiverel_client", {client.__file__!r})
        client = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(client)
        WHERE = "other"
        ''' + CALLS)
        WHERE = "main"
        exec(CALLS)
        interpreters.destroy(sub)
        WHERE = "alone"
        exec(CALLS)
    """)
    unit, pi = (0.6000000000000001, 0.8, 0.0), 3.141592653589793
    nothing = {"normalize": f"{unit} RuntimeError [] 0", "angle": f"{pi} RuntimeError [] 0"}
    answered = {"normalize": f"{unit} RuntimeError [65] 1", "angle": "-1.0 RuntimeError [60] 1"}
    expected = [REFUSED]
    for where, held, released in [("other", nothing, nothing), ("main", answered, nothing),
                                  ("alone", answered, answered)]:
        for name in ("normalize", "angle"):
            expected += [f"{where} {name} held {held[name]}", f"{where} {name} released {released[name]}"]
    assert (code, out.splitlines(), err) == (0, expected, "")
