"""The shared native code depends on nothing above it."""

import re
from pathlib import Path

NATIVE = Path(__file__).resolve().parents[1] / "src" / "orbivane" / "_native"


def test_shared_native_headers_include_only_each_other():
    headers = [p for p in NATIVE.rglob("*") if p.suffix in {".h", ".hpp"}]
    assert headers
    for header in headers:
        for name in re.findall(r'^\s*#\s*include\s+"([^"]+)"', header.read_text(), re.M):
            found = [d / name for d in (header.parent, NATIVE) if (d / name).is_file()]
            assert found and all(NATIVE in f.resolve().parents for f in found), (header.name, name)
