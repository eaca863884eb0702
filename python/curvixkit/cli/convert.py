"""``curvix convert IN OUT``: an alignment in another format (ICD, LandXML,
IFC, GeoJSON), saying what the target cannot hold."""

from __future__ import annotations

import argparse
import os
from typing import Any

import curvixkit.cli._common as _common
from curvixkit.cli._common import CommandError
from curvixkit.io import geojson
from curvixkit.io.landxml import ANGULAR_UNITS

KINDS = {".xml": "landxml", ".landxml": "landxml", ".icd": "icd", ".geojson": "geojson",
         ".json": "geojson", ".ifc": "ifc"}

EPILOG = """\
examples:
  curvix convert examples/railway_10km.icd railway.xml
  curvix convert alignment.xml alignment.icd --alignment "Main road"
  curvix convert examples/railway_10km.icd railway.geojson --crs EPSG:4547
  curvix convert examples/two_tracks.xml up.ifc --alignment "Up track"

LandXML 1.2 keeps every element where it lies (start points, directions,
radii, spiral parameters), the station equations and the linear unit. ICD
cannot hold station equations or a start point per element: what it cannot
hold is named in a // comment of the file and in a warning; its unit is kept
in a comment that curvix reads back. IFC 4.3 (IFC4X3_ADD2, needs the extra
ifc) keeps the elements, the profile, the cant, the stationing and the unit.
OUT may not be the input file."""


def add_parser(sub: Any, fmt: Any) -> None:
    """The ``convert`` subcommand."""
    p = sub.add_parser("convert", help="ICD <-> LandXML <-> IFC, any to GeoJSON",
                       description="Write the alignment in another format.",
                       epilog=EPILOG, formatter_class=fmt)
    _common.add_file(p)
    p.add_argument("output", metavar="OUT", help="file to write (.xml, .icd, .ifc or .geojson)")
    p.add_argument("--to", choices=("landxml", "icd", "ifc", "geojson"),
                   help="output format (default: from OUT's extension)")
    p.add_argument("--name", help="alignment name written into LandXML or IFC (default: the "
                   "file's own)")
    p.add_argument("--angular-unit", default="radians", choices=ANGULAR_UNITS,
                   help="unit of the directions written into LandXML (default radians)")
    _common.add_geojson_options(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    """Convert ``args.file`` to ``args.output``."""
    kind = args.to or KINDS.get(os.path.splitext(args.output)[1].lower())
    if kind is None:
        raise CommandError("cannot tell the format of %s from its extension; give --to "
                           "landxml, icd, ifc or geojson" % args.output)
    _common.check_geojson_options(args, kind == "geojson")
    _common.refuse_overwrite(args.output, [args.file])
    a = _common.load(args)
    try:
        if kind == "geojson":
            doc = geojson.geojson_document(a, crs=args.crs, plane=args.plane,
                                           chord_error=args.chord_error)
            with _common.output(args.output, [args.file]) as out:
                geojson.write_geojson(doc, out)
        else:
            with _common.output_path(args.output, [args.file]) as tmp:
                if kind == "landxml":
                    a.to_landxml(tmp, name=args.name, angular_unit=args.angular_unit)
                elif kind == "ifc":
                    a.to_ifc(tmp, name=args.name)
                else:
                    a.to_icd(tmp)
    except OSError as exc:
        raise CommandError("cannot write %s: %s" % (args.output, exc.strerror or exc))
    return 0
