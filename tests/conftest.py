import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, *, check: bool = True) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter; returns the completed process."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def fresh_python():
    return run_python


def import_in_second_interpreter(module: str) -> str:
    """Imports module in the main interpreter of a fresh process, then in a
    second interpreter; returns what the second import raised (or
    "imported")."""
    proc = run_python(f"""
        import _xxsubinterpreters as interpreters
        import {module}
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import {module}")
        except interpreters.RunFailedError as e:
            print(e)
        else:
            print("imported")
        finally:
            interpreters.destroy(sub)
    """)
    return proc.stdout.strip()
