"""``curvix plot FILE -o OUT``: the plan with key points, station ticks at
round chainage, station equations and kinks (needs matplotlib)."""

from __future__ import annotations

import argparse
from typing import Any

from curvixkit import plot
import curvixkit.cli._common as _common
from curvixkit.cli._common import CommandError

EPILOG = """\
examples:
  curvix plot examples/railway_10km.icd -o plan.png
  curvix plot examples/railway_10km.icd -o plan.svg --tick 500

With --profile, the long section: elevation against chainage, grade lines
labelled in percent, vertical curves in their own colours, PVIs and high
and low points marked.

In plan, straights, arcs and spirals are drawn in their own colours, element joints
as circles, station ticks with chainage labels at every multiple of --tick of
the displayed chainage, station equations as diamonds and kinks (see curvix
check) as crosses; labels that would overlap are left out. The file type
follows OUT's extension (png, svg, pdf). Needs matplotlib: pip install
"curvix[plot]"."""


def add_parser(sub: Any, fmt: Any) -> None:
    """The ``plot`` subcommand."""
    p = sub.add_parser("plot", help="plan drawing (needs matplotlib)",
                       description="Draw the alignment in plan to an image file.",
                       epilog=EPILOG, formatter_class=fmt)
    _common.add_file(p)
    p.add_argument("-o", "--output", metavar="OUT", required=True, help="image file to write")
    p.add_argument("--tick", type=_common.positive, default=100.0,
                   help="station tick and label interval (default 100)")
    p.add_argument("--dpi", type=_common.positive_int, default=150,
                   help="resolution of raster images (default 150)")
    p.add_argument("--keypoints", choices=("us", "cn"), default="us",
                   help="names of the curves' key points (default us: TS SC CS ST ...)")
    p.add_argument("--profile", action="store_true",
                   help="draw the long section (elevation against chainage) instead of the plan")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    """Draw ``args.file`` into ``args.output``."""
    plot.load_matplotlib()  # before reading anything: say what is missing first
    a = _common.load(args)
    with _common.output_path(args.output, [args.file]) as tmp:
        try:
            if args.profile:
                plot.plot_profile(a, tmp, tick=args.tick, dpi=args.dpi, title="%s   profile %s" % (
                    args.file, a.profile.name if a.profile is not None else ""))
            else:
                plot.plot_plan(a, tmp, tick=args.tick, dpi=args.dpi, keypoints=args.keypoints,
                               title="%s   %s to %s   (%d elements)" % (
                                   args.file, a.stations.format(a.start_station),
                                   a.stations.format(a.end_station), len(a)))
        except ValueError as exc:
            message = str(exc).replace("a tick of", "--tick").replace("larger tick", "larger --tick")
            raise CommandError(message)
    return 0
