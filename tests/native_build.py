"""Builds the native test clients: small extension modules compiled from
``tests/native/*.cpp`` against the installed package's client headers, the
way any compiled module of the package would be built."""

from __future__ import annotations

import hashlib
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy
import orbivane

NATIVE_DIR = Path(__file__).parent / "native"
PACKAGE_SOURCE = Path(__file__).parent.parent / "src" / "orbivane"
# The package's internal C-API support header, for clients that test it.
INTERNAL_INCLUDE = PACKAGE_SOURCE / "_native"
BUILD_DIR = Path(__file__).parent / "_build"

CXXFLAGS = [
    "-std=c++20", "-O2", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror",
    "-ffp-contract=off", "-fvisibility=hidden",
]

# Extra flags for every test client, native and Cython. The sanitizer pass
# (.ci/sanitize) instruments the clients as it does the package: the inline
# code of the client headers and the clients' side of the batch results run
# inside them.
CLIENT_FLAGS = os.environ.get("ORBIVANE_CLIENT_CXXFLAGS", "").split()

# The package's own warnings (CMakeLists.txt), for clients that compile its
# internal headers.
PACKAGE_WARNINGS = ["-Wpedantic", "-Wshadow", "-Wconversion", "-Wno-sign-conversion"]

# The flags of a translation unit compiled for one SIMD width
# (src/orbivane/_native/simd/target.hpp), as CMakeLists.txt gives them.
SIMD_WIDTH_FLAGS = {
    "scalar": [],
    "avx2": ["-mavx2", "-mfma"],
    "avx512": ["-mavx2", "-mfma", "-mavx512f", "-mavx512dq", "-mavx512vl"],
}


def compiler_env() -> dict[str, str]:
    """The environment for the compiler: without the sanitizer runtime that
    the sanitizer pass preloads into the interpreter and its children."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def compile_extension(source: Path, name: str, extra_flags: list[str] | None = None,
                      extra_sources: list[Path] | None = None,
                      objects: list[tuple[Path, list[str]]] | None = None) -> Path:
    """Compiles a C/C++ source, with any extra sources linked in, into an
    extension module file named ``name``; ``objects`` are (source, flags)
    pairs, each compiled on its own with its own flags added (one source may
    come several times) and linked in. Reuses an up-to-date build keyed by
    sources, flags and headers."""
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    includes = [sysconfig.get_paths()["include"], orbivane.get_include(), numpy.get_include()]
    flags = CXXFLAGS + CLIENT_FLAGS + (extra_flags or []) + [f"-I{d}" for d in includes]
    digest = hashlib.sha256()
    sources = [source, *(extra_sources or [])]
    for path in sources:
        digest.update(path.read_bytes())
    digest.update(" ".join(flags).encode())
    for path, object_flags in objects or []:
        digest.update(path.read_bytes())
        digest.update(" ".join(object_flags).encode())
    header_dirs = [Path(orbivane.get_include())]
    header_dirs += [Path(f[2:]) for f in extra_flags or [] if f.startswith("-I")]
    for directory in header_dirs:
        for header in sorted(directory.rglob("*.h*")):
            digest.update(header.read_bytes())
    out_dir = BUILD_DIR / f"{name}-{digest.hexdigest()[:16]}"
    target = out_dir / f"{name}{suffix}"
    if not target.exists():
        out_dir.mkdir(parents=True, exist_ok=True)
        tmp = target.with_suffix(f".{os.getpid()}.tmp")
        compiler = os.environ.get("CXX", "g++")
        object_files = []
        for i, (path, object_flags) in enumerate(objects or []):
            object_files.append(str(out_dir / f"{path.stem}-{i}.{os.getpid()}.o"))
            subprocess.run([compiler, *flags, *object_flags, "-c", str(path), "-o", object_files[-1]], check=True,
                           env=compiler_env())
        subprocess.run([compiler, *flags, *map(str, sources), *object_files, "-o", str(tmp)], check=True,
                       env=compiler_env())
        for o in object_files:
            os.unlink(o)
        tmp.replace(target)
    return target


def load_extension(path: Path, name: str):
    """Imports an extension module file under the module name ``name``."""
    if name in sys.modules:
        return sys.modules[name]
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def native_client(name: str, internal: bool = False, package_sources: list[str] | None = None,
                  width_sources: list[str] | None = None):
    """Builds (once) and imports ``tests/native/<name>.cpp``; ``internal``
    adds the package's internal support header to the include path.
    ``package_sources`` (paths under src/orbivane) are compiled into the
    client, with their directories on the include path, so that it can call
    internal functions directly. ``width_sources`` (files of tests/native)
    are compiled once for each SIMD width, with that width's flags, and with
    the package's warnings and internal headers, as its own lane code is."""
    flags = [f"-I{INTERNAL_INCLUDE}"] if internal or width_sources else []
    sources = [PACKAGE_SOURCE / s for s in package_sources or []]
    flags += [f"-I{d}" for d in dict.fromkeys(s.parent for s in sources)]
    objects = []
    if width_sources:
        flags += PACKAGE_WARNINGS + [f"-I{NATIVE_DIR}"]
        objects = [(NATIVE_DIR / s, f) for s in width_sources for f in SIMD_WIDTH_FLAGS.values()]
    return load_extension(compile_extension(NATIVE_DIR / f"{name}.cpp", name, flags, sources, objects), name)
