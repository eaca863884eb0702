"""docs/guide.md runs: its python blocks in order in one namespace, and its
``curvix`` command lines, from a scratch folder that holds the repository's
examples/ and nothing else (so the guide needs no file it does not ship)."""
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import REPO
GUIDE = REPO / "docs" / "guide.md"
BLOCK = re.compile(r"^```(python|sh)\n(.*?)^```", re.S | re.M)


def test_guide_blocks_run(tmp_path, monkeypatch):
    for extra in ("dask.array", "ezdxf", "pyproj"):  # the guide shows each of them
        pytest.importorskip(extra)
    checkout = tmp_path / "checkout"
    checkout.mkdir()
    (checkout / "examples").symlink_to(REPO / "examples")
    monkeypatch.chdir(checkout)
    monkeypatch.setattr(sys, "argv", ["guide"])
    namespace = {"__name__": "__guide__"}
    blocks = BLOCK.findall(GUIDE.read_text(encoding="utf-8"))
    assert [kind for kind, _ in blocks].count("python") >= 10
    for number, (kind, code) in enumerate(blocks, 1):
        where = "%s block %d:\n%s" % (kind, number, code)
        if kind == "python":
            exec(compile(code, "guide block %d" % number, "exec"), namespace)
            continue
        for line in code.splitlines():
            if line.startswith("curvix "):
                argv = shlex.split(line.split("#")[0])[1:]
                out = subprocess.run([sys.executable, "-m", "curvixkit"] + argv,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     universal_newlines=True)
                assert out.returncode == 0, (where, out.stderr)
