"""The stub files describe the compiled modules as they are at run time."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")

MODULES = ["orbivane.propagators.analytical.sgp4.tle", "orbivane.propagators.analytical.sgp4.elements",
           "orbivane.propagators.analytical.sgp4.propagator",
           "orbivane.time.time", "orbivane.mathtools.quiverel.vectors"]
ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")


def test_stubtest_finds_no_difference(tmp_path):
    # Run away from the checkout, so that only the installed package counts.
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--allowlist", str(ALLOWLIST), *MODULES],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
