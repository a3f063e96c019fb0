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
