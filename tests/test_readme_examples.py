"""The README's client examples, built by the README's own command lines.

Each client section of the README has a shell block that builds one module
of examples/clients into build/examples, and a Python block that uses it.
Both are taken from the README as they stand and run: the shell block in a
scratch copy of the examples, with this environment's `python` first on the
PATH, the Python block in a fresh interpreter, followed by a comparison of
the module's results with NumPy's and with the Python-level API.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from conftest import run_python
from native_build import compiler_env

ROOT = Path(__file__).parent.parent
LINES = ("1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
         "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537")


def readme_blocks(heading: str) -> tuple[str, str]:
    """The first shell block and the first Python block of a README section."""
    text = (ROOT / "README.md").read_text()
    section = text.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    shell, python = (re.search(rf"```{lang}\n(.*?)```", section, re.S).group(1) for lang in ("sh", "python"))
    return shell, python


def client_calls(module: str) -> str:
    """What the subprocess prints as JSON: the module's results for a fixed
    set of rows taken with odd strides and in Fortran order, its error for
    rows of two columns, and its own extra (length for each row from C++,
    the element set's fields from Cython)."""
    extra = {
        "cpp_client": "[client.length(*row) for row in rows]",
        "cython_client": f"client.satellite(TLE(*{LINES!r}))",
    }[module]
    return f"""
        import json
        import numpy as np
        from orbivane.propagators.analytical.sgp4.tle import TLE
        import {module} as client
        block = np.array(json.loads(sys.stdin.read()))
        rows = block[::-2, 1:4]
        try:
            client.lengths(rows[:, :2])
        except ValueError as e:
            error = str(e)
        out = {{"lengths": client.lengths(rows).tolist(),
               "fortran": client.lengths(np.asfortranarray(rows)).tolist(),
               "type": type(client.lengths(rows)).__name__,
               "error": error, "extra": {extra}}}
        print(json.dumps(out))
    """


@pytest.mark.parametrize("heading, module", [("Using the kernels from C/C++", "cpp_client"),
                                             ("Using them from Cython", "cython_client")])
def test_readme_client_builds_and_runs(heading, module, tmp_path):
    shell, example = readme_blocks(heading)
    shutil.copytree(ROOT / "examples" / "clients", tmp_path / "examples" / "clients")
    env = compiler_env()
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env["PATH"]])
    build = subprocess.run(["bash", "-e", "-c", shell], cwd=tmp_path, env=env, capture_output=True,
                           text=True, timeout=600)
    assert build.returncode == 0, build.stderr
    prelude = f"import sys\nsys.path.insert(0, {str(tmp_path / 'build' / 'examples')!r})\n"
    run_python(prelude + example)

    block = np.random.default_rng(2008).uniform(-7e3, 7e3, (9, 5))
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(client_calls(module))],
                          input=json.dumps(block.tolist()), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    rows = block[::-2, 1:4]
    lengths = np.sqrt((rows[:, 0] * rows[:, 0] + rows[:, 1] * rows[:, 1]) + rows[:, 2] * rows[:, 2])
    assert got["lengths"] == got["fortran"] == lengths.tolist()
    assert got["type"] == "ndarray"
    assert got["error"] == "norm_array() needs rows of at least 3 columns, got 2 columns"
    if module == "cpp_client":
        assert got["extra"] == lengths.tolist()
    else:
        from orbivane.propagators.analytical.sgp4.tle import TLE
        t = TLE(*LINES)
        assert got["extra"] == [str(t.satno), t.epoch.jd1, t.epoch.jd2]


def test_quick_start_runs():
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")], capture_output=True,
                          text=True, timeout=120, check=True)
    assert "ISS (ZARYA)" in proc.stdout and "code 0" in proc.stdout
