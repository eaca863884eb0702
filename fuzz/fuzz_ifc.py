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

import atheris

from reader_harness import Finding, check_station_range, fuzz, one_line_naming, scratch_file

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
_PATH = scratch_file("FUZZ_IFC_TMP", "input.ifc")


def check_loaded(a):
    check_station_range(a)
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


def read(path):
    try:
        names = curvixkit.Alignment.ifc_names(path)
    except IfcError as exc:
        one_line_naming(exc, path)
        names = []
    for index in range(min(len(names), ALIGNMENTS)):
        try:
            a = curvixkit.Alignment.from_ifc(path, name=index)
        except IfcError as exc:
            one_line_naming(exc, path)
        else:
            check_loaded(a)


if __name__ == "__main__":
    fuzz(_PATH, SECONDS_PER_INPUT, read)
