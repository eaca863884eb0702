"""``curvix check FILE``: the joint, element and alignment checks against
stated thresholds; exit status 1 where any figure exceeds its threshold."""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any

import curvixkit.cli._common as _common
from curvixkit.diagnostics import Thresholds

_DEFAULTS = Thresholds()

EPILOG = """\
examples:
  curvix check examples/railway_10km.icd
  curvix check design.xml --gap 0.0005 --kink 0.001

For each joint: the gap between the end of the element before and the start
of the next, the kink between their tangents and the jump in curvature; for
each element of a LandXML file: how far its stated End lies from the end of
its geometry and its stated length against what its radius and angle imply,
and the alignment's stated length against the sum of its elements; for
each ICD spiral: how far the legacy series lies from the exact end.

Thresholds (lengths in the file's unit; a figure equal to its threshold
passes): --gap %g, --kink %g degrees, --end-miss %g, --curvature-jump %g
(at joints with a spiral on either side: a straight into an arc is a
designed jump), --length-misfit %g (element lengths, the alignment's length,
vertical curves' stated lengths), --grade-jump %g (at a PVI of the profile
without a vertical curve). Exit status 1 lists every figure over its
threshold.""" % (_DEFAULTS.gap, math.degrees(_DEFAULTS.kink), _DEFAULTS.end_miss,
                 _DEFAULTS.curvature_jump, _DEFAULTS.length_misfit, _DEFAULTS.grade_jump)

_UNITS = {"gap": "", "kink": " deg", "end_miss": "", "curvature_jump": " 1/unit",
          "length_misfit": "", "alignment_length": "", "grade_jump": "", "curve_length": ""}
_WHAT = {"gap": "gap", "kink": "kink", "end_miss": "stated End misses the geometry by",
         "curvature_jump": "curvature jump", "length_misfit": "stated length differs by",
         "alignment_length": "stated alignment length differs from the elements' sum by",
         "grade_jump": "the grade changes without a vertical curve by",
         "curve_length": "the vertical curve's stated length differs by"}
_OPTION = {"gap": "--gap", "kink": "--kink", "end_miss": "--end-miss",
           "curvature_jump": "--curvature-jump", "length_misfit": "--length-misfit",
           "alignment_length": "--length-misfit", "grade_jump": "--grade-jump",
           "curve_length": "--length-misfit"}


def add_parser(sub: Any, fmt: Any) -> None:
    """The ``check`` subcommand."""
    p = sub.add_parser("check", help="gaps, kinks, curvature jumps and stated ends and lengths",
                       description="Print the joint and element checks; exit status 1 when a "
                                   "figure exceeds its threshold.", epilog=EPILOG,
                       formatter_class=fmt)
    _common.add_file(p)
    p.add_argument("--gap", "--tolerance", dest="gap", type=_nonnegative, default=_DEFAULTS.gap,
                   help="largest gap between consecutive elements (default %g)" % _DEFAULTS.gap)
    p.add_argument("--kink", type=_nonnegative, default=math.degrees(_DEFAULTS.kink),
                   metavar="DEGREES", help="largest kink at a joint, degrees (default %g)"
                   % math.degrees(_DEFAULTS.kink))
    p.add_argument("--end-miss", type=_nonnegative, default=_DEFAULTS.end_miss,
                   help="largest distance of a stated End from the geometry (default %g)"
                   % _DEFAULTS.end_miss)
    p.add_argument("--curvature-jump", type=_nonnegative, default=_DEFAULTS.curvature_jump,
                   help="largest curvature jump at a spiral's end (default %g)"
                   % _DEFAULTS.curvature_jump)
    p.add_argument("--length-misfit", type=_nonnegative, default=_DEFAULTS.length_misfit,
                   help="largest difference of a stated length (default %g)"
                   % _DEFAULTS.length_misfit)
    p.add_argument("--grade-jump", type=_nonnegative, default=_DEFAULTS.grade_jump,
                   help="largest change of grade at a PVI without a vertical curve (default %g)"
                   % _DEFAULTS.grade_jump)
    p.set_defaults(func=run)


def _nonnegative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError("expected a number >= 0, got %r" % text)
    return value


def run(args: argparse.Namespace) -> int:
    """Check ``args.file``; 1 where a figure exceeds its threshold."""
    a = _common.load(args)
    thresholds = Thresholds(args.gap, math.radians(args.kink), args.end_miss,
                            args.curvature_jump, args.length_misfit, args.grade_jump)
    d = a.diagnostics(thresholds)
    chainage = a.stations.format
    sys.stdout.write(d.table() + "\n")
    found = d.exceedances()
    for x in found:
        value, limit = x.value, x.limit
        if x.check == "kink":
            value, limit = math.degrees(value), math.degrees(limit)
        what = "PVI" if x.check in ("grade_jump", "curve_length") else "element"
        where = ("%s %d at %s" % (what, x.element + 1, chainage(x.station))
                 if x.element is not None else "alignment")
        sys.stdout.write("FAIL: %s: %s %.6g%s exceeds %s %g\n" % (
            where, _WHAT[x.check], value, _UNITS[x.check], _OPTION[x.check], limit))
    if found:
        return 1
    sys.stdout.write("ok: every figure is within its threshold (--gap %g, --kink %g deg, "
                     "--end-miss %g, --curvature-jump %g, --length-misfit %g, --grade-jump %g)\n"
                     % (args.gap, args.kink, args.end_miss, args.curvature_jump,
                        args.length_misfit, args.grade_jump))
    return 0
