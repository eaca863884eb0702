"""atheris fuzz of the LandXML reader: arbitrary bytes as a file for
``curvixkit.Alignment.from_landxml``.

    python fuzz/fuzz_landxml.py CORPUS_DIR [libFuzzer options]
    (scripts/run_fuzz_landxml.sh SECONDS does the setup and the run)

Every input must end in a loaded alignment or a ``LandXMLError`` (the
reader's one documented refusal) whose text is one line naming the file,
within a second of CPU time. A loaded alignment must answer its own start
and end: finite points there, and its start point locating to its start
station. Anything else (another exception, a slow input, a wrong answer)
is a finding: the harness raises and libFuzzer keeps the input.
"""
import math

import atheris

from reader_harness import Finding, check_station_range, fuzz, one_line_naming, scratch_file

# The reader's modules are imported here (from_landxml imports them lazily)
# so that their Python code carries the coverage instrumentation.
with atheris.instrument_imports(include=["curvixkit"]):
    import curvixkit
    import curvixkit.io.landxml  # noqa: F401
    import curvixkit.stations  # noqa: F401
    import curvixkit.diagnostics  # noqa: F401
    from curvixkit.errors import LandXMLError

SECONDS_PER_INPUT = 1.0
_PATH = scratch_file("FUZZ_LANDXML_TMP", "input.xml")


def check_loaded(a):
    check_station_range(a)
    ends = a.point([a.start_station, a.end_station])
    if not all(math.isfinite(v) for v in ends.ravel()):
        return                     # coordinates beyond doubles: nothing more to ask
    scale = max(1.0, float(abs(ends).max()), a.length)
    located = a.locate(ends[0])
    # A point of the alignment locates to a point of it as near (the start,
    # or another place the alignment passes through).
    if not located.distance <= 1e-9 * scale:
        raise Finding("the start point locates %r away" % (located.distance,))
    if a.profile is not None:
        # Inside a vertical curve the grade lies between the curve's end grades.
        for seg in a.profile.segments:
            mid = 0.5 * (seg.start_station + seg.end_station)
            g = float(a.grade(mid))
            lo, hi = sorted((seg.start_grade, seg.end_grade))
            slack = 1e-9 * max(1.0, abs(lo), abs(hi))
            if math.isfinite(g) and not lo - slack <= g <= hi + slack:
                raise Finding("grade %r at %r outside its segment's %r" % (g, mid, (lo, hi)))
        a.point3d([a.start_station, a.end_station], offsets=1.0, banked=True)


def read(path):
    try:
        a = curvixkit.Alignment.from_landxml(path)
    except LandXMLError as exc:
        one_line_naming(exc, path)
    else:
        check_loaded(a)


if __name__ == "__main__":
    fuzz(_PATH, SECONDS_PER_INPUT, read)
