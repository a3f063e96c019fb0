"""The vector toolkit beside the interpreter's own life: threads that the
interpreter ends while they are inside a kernel. Each case runs in a fresh
process, which must neither abort nor hang."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest


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
