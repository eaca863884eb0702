"""atheris fuzz of the IFC 4.3 reader: arbitrary bytes as a file for
``curvixkit.Alignment.ifc_names`` and ``Alignment.from_ifc``.

    python fuzz/fuzz_ifc.py CORPUS_DIR [libFuzzer options]
    (scripts/run_fuzz.sh SECONDS fuzz_ifc does the setup and the run)

Every input must end in loaded alignments or an ``IfcError`` (the reader's
one documented refusal) whose text is one line naming the file, within two
seconds of CPU time. ifcopenshell parses the STEP text in C++: a crash or
hang there on malformed text ends the process, which libFuzzer keeps as a
finding too (the reader's STEP scan must refuse such text first). A loaded
alignment must answer its own start and end with finite stations, and
point3d there. Anything else (another exception, a slow input) is a
finding: the harness raises and libFuzzer keeps the input.
"""
import math
import os
import sys
import tempfile
import time

import atheris

with atheris.instrument_imports(include=["curvixkit"]):
    import curvixkit
    import curvixkit.io.ifc  # noqa: F401
    import curvixkit.io.step  # noqa: F401
    import curvixkit.diagnostics  # noqa: F401
    from curvixkit.errors import IfcError

SECONDS_PER_INPUT = 2.0
# At most this many alignments of one input are read (each from_ifc parses
# the file again).
ALIGNMENTS = 3
_DIR = os.environ.get("FUZZ_IFC_TMP") or tempfile.mkdtemp(prefix="fuzz-ifc-")
_PATH = os.path.join(_DIR, "input.ifc")


class Finding(Exception):
    """What the reader did that it must not do."""


def check_loaded(a):
    if not (len(a) >= 1 and math.isfinite(a.start_station) and math.isfinite(a.end_station)
            and a.start_station <= a.end_station):
        raise Finding("loaded alignment with a bad station range: %r" % (a,))
    ends = [a.start_station, a.end_station]
    plan = a.point(ends)
    level = a.point3d(ends, offsets=1.0)
    # A level offset of 1 moves a point of moderate coordinates to a finite
    # point (z, and a banked point, are NaN where the profile or the cant
    # says nothing).
    if (abs(plan) < 1e300).all() and not math.isfinite(float(abs(level[:, :2]).max())):
        raise Finding("point3d at the ends is not finite: %r" % (level,))
    a.point3d(ends, offsets=1.0, banked=True)
    a.diagnostics()


def refused(exc):
    text = str(exc)
    if "\n" in text or not text.startswith(_PATH):
        raise Finding("IfcError text is not one line naming the file: %r" % text)


def TestOneInput(data):
    with open(_PATH, "wb") as f:
        f.write(data)
    began = time.process_time()
    try:
        names = curvixkit.Alignment.ifc_names(_PATH)
    except IfcError as exc:
        refused(exc)
        names = []
    for index in range(min(len(names), ALIGNMENTS)):
        try:
            a = curvixkit.Alignment.from_ifc(_PATH, name=index)
        except IfcError as exc:
            refused(exc)
        else:
            check_loaded(a)
    spent = time.process_time() - began
    if spent > SECONDS_PER_INPUT:
        raise Finding("%.2f s of CPU time for one input" % spent)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
