"""``curvix info FILE``: start values, the element table and totals, and
per curve its design data and key points."""

from __future__ import annotations

import argparse
import csv
import json
import math
import sys
from typing import IO, Any, Callable, Dict, List, Optional, Sequence

from curvixkit import Alignment
from curvixkit.cli._common import add_file, load
from curvixkit.design import CurveGroup, curve_groups
from curvixkit.io.icd import icd_type

EPILOG = """\
example:
  curvix info examples/railway_10km.icd

The table lists each element's kind and type code, turn direction, start and
end station, length, radius at its start and end (inf for none), clothoid
parameter A, start point and start and end azimuth in degrees. Chainage is
written in the file's style (100-foot stations for a file in feet)."""


def add_parser(sub: Any, fmt: Any) -> None:
    """The ``info`` subcommand."""
    p = sub.add_parser("info", help="start values and the table of elements",
                       description="Print the start station, point and azimuth and the elements.",
                       epilog=EPILOG, formatter_class=fmt)
    add_file(p)
    p.add_argument("--format", choices=("table", "csv", "json"), default="table",
                   help="table: elements and curve groups; csv: curve groups; json: both")
    p.add_argument("--keypoints", choices=("us", "cn"), default="us",
                   help="key point names in the curve report (default us)")
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    """Print the report of ``args.file``."""
    write_info(load(args), sys.stdout, args.format, args.keypoints)
    return 0


def degrees(radians: float) -> float:
    """Radians to degrees."""
    return math.degrees(radians)

KIND_ORDER = ["line", "arc", "clothoid", "bloss", "cosine", "sine", "helmert", "viennese", "cubic"]

_HEADER = ("%3s  %-8s %4s %5s  %-13s %11s  %-13s %11s %10s %10s %10s %9s %12s %12s %11s %11s\n" % (
    "#", "kind", "type", "turn", "from", "station", "to", "station", "length",
    "R start", "R end", "A", "start x", "start y", "az start", "az end"))
_ROW = "%3d  %-8s %4d %5s  %-13s %11.3f  %-13s %11.3f %10.3f %10s %10s %9s %12.3f %12.3f %11.6f %11.6f\n"


def _radius(r: Optional[float]) -> str:
    return "inf" if r is None or math.isinf(r) else "%.3f" % r


def _turn(element: Any) -> str:
    return {1: "right", -1: "left"}.get(element.turn, "-")


def write_info(a: Alignment, out: IO[str], format: str = "table", names: str = "us") -> None:
    """The start values and element table, then the curve report (table);
    the curve report alone (csv); or everything as one JSON document."""
    if format == "csv":
        write_curves_csv(curve_groups(a, names), out)
        return
    if format == "json":
        write_json(a, curve_groups(a, names), out)
        return
    elements = a.elements
    _write_elements(a, elements, out)
    write_curves_table(curve_groups(a, names), out, a.stations.format)
    write_profile_table(a, out)
    write_cant_table(a, out)


def pvi_rows(a: Alignment) -> List[Dict[str, Any]]:
    """Per PVI of the profile: station, elevation, the grades of the
    tangents before and after, and its vertical curve (kind, horizontal
    length, K value: the length per percent of grade change, radius)."""
    profile = a.profile
    if profile is None or not profile.pvis:
        return []
    pvis = profile.pvis
    curves = {c.pvi: c for c in profile.curves}
    rows = []
    for i, p in enumerate(pvis):
        g_in = (p[1] - pvis[i - 1][1]) / (p[0] - pvis[i - 1][0]) if i else None
        g_out = ((pvis[i + 1][1] - p[1]) / (pvis[i + 1][0] - p[0])
                 if i + 1 < len(pvis) else None)
        c = curves.get(i)
        length = c.horizontal_length if c is not None else None
        change = abs(g_out - g_in) * 100.0 if g_in is not None and g_out is not None else None
        rows.append({"pvi": i + 1, "station": p[0], "elevation": p[1], "grade_in": g_in,
                     "grade_out": g_out, "curve": c.kind if c is not None else None,
                     "length": length,
                     "K": length / change if length is not None and change else None,
                     "radius": p[3] if len(p) > 3 and p[2] == "arc" else None,
                     "stated_length": c.stated_length if c is not None else None})
    return rows


def _pct(g: Optional[float]) -> str:
    return "-" if g is None else "%+.4f%%" % (100.0 * g)


def write_profile_table(a: Alignment, out: IO[str]) -> None:
    """The profile: PVIs with grades and curves, then the high and low points."""
    profile = a.profile
    if profile is None:
        return
    chainage = a.stations.format
    out.write("\nprofile        %s  %s to %s, 3D length %.3f\n" % (
        profile.name or "-", chainage(profile.start_station), chainage(profile.end_station),
        a.length_3d))
    out.write("%4s  %-13s %11s %11s %11s %11s  %-19s %10s %10s %10s\n" % (
        "PVI", "chainage", "station", "elevation", "grade in", "grade out", "curve", "length",
        "K", "radius"))
    for r in pvi_rows(a):
        out.write("%4d  %-13s %11.3f %11.3f %11s %11s  %-19s %10s %10s %10s\n" % (
            r["pvi"], chainage(r["station"]), r["station"], r["elevation"], _pct(r["grade_in"]),
            _pct(r["grade_out"]), r["curve"] or "-", _num(r["length"]), _num(r["K"]),
            _num(r["radius"])))
    for t in profile.turning_points:
        out.write("      %-4s point  %s  station %.3f  elevation %.3f\n" % (
            t.kind, chainage(t.station), t.station, t.elevation))
    for note in profile.notes:
        out.write("      note: %s\n" % note)


def write_cant_table(a: Alignment, out: IO[str]) -> None:
    """The cant stations: station, signed cant (and which rail is raised),
    the transition that starts there."""
    cant = a.cant_design
    if cant is None:
        return
    chainage = a.stations.format
    out.write("\ncant           %s  gauge %.4f, rotation about the %s\n" % (
        cant.name or "-", cant.gauge, cant.axis.replace("_", " ")))
    out.write("%4s  %-13s %11s %10s  %-6s %s\n" % ("#", "chainage", "station", "cant", "raised",
                                                   "transition"))
    for i, (station, value, shape) in enumerate(cant.stations, 1):
        raised = "right" if value > 0 else "left" if value < 0 else "-"
        out.write("%4d  %-13s %11.3f %10.4f  %-6s %s\n" % (i, chainage(station), station, value,
                                                            raised, shape))
    for note in cant.notes:
        out.write("      note: %s\n" % note)


def _write_elements(a: Alignment, elements: Sequence[Any], out: IO[str]) -> None:
    chainage = a.stations.format
    sx, sy = elements[0].start
    start_az = elements[0].start_azimuth
    end_az = elements[-1].end_azimuth
    out.write("file           %s\n" % a.path)
    out.write("start station  %-13s %.3f\n" % (chainage(a.start_station), a.start_station))
    out.write("end station    %-13s %.3f\n" % (chainage(a.end_station), a.end_station))
    if a.units is not None and a.units.linear:
        out.write("linear unit    %s\n" % a.units.linear)
    out.write("start point    x %.3f  y %.3f\n" % (sx, sy))
    out.write("start azimuth  %.6f deg  (%.9f rad)\n" % (degrees(start_az), start_az))
    out.write("end azimuth    %.6f deg  (%.9f rad)\n" % (degrees(end_az), end_az))
    out.write("\n" + _HEADER)
    totals = {}  # type: Dict[str, List[Any]]  # kind -> [count, length]
    for k, e in enumerate(elements, 1):
        out.write(_ROW % (
            k, e.kind, icd_type(e.kind, e.start_curvature, e.end_curvature), _turn(e),
            chainage(e.start_station), e.start_station,
            chainage(e.end_station), e.end_station, e.length,
            _radius(e.start_radius), _radius(e.end_radius), "-" if e.A is None else "%.3f" % e.A,
            e.start[0], e.start[1], degrees(e.start_azimuth), degrees(e.end_azimuth)))
        t = totals.setdefault(e.kind, [0, 0.0])
        t[0] += 1
        t[1] += e.length

    length = sum(e.length for e in elements)
    out.write("\ntotal          %d elements, length %.3f, turn %+.6f deg\n"
              % (len(elements), length, degrees(end_az - start_az)))
    kinds = sorted(totals, key=KIND_ORDER.index)
    out.write("by kind        %s\n" % ",  ".join(
        "%d %s%s %.3f" % (totals[k][0], k, "s" if totals[k][0] != 1 else "", totals[k][1])
        for k in kinds))


# ------------------------------------------------------------ curve report

CURVE_FIELDS = ["group", "kind", "turn", "elements", "start_station", "end_station", "R",
                "A1", "L1", "A2", "L2", "Lc", "deflection_deg", "p1", "q1", "p2", "q2",
                "T1", "T2", "E", "pi_x", "pi_y", "closed_form", "key_points"]


def _curve_record(g: CurveGroup) -> dict:
    """One curve group as plain values (radians turned into degrees, NaN
    and missing values as None, element numbers 1-based)."""
    def value(v: Any) -> Any:
        return None if v is None or isinstance(v, float) and not math.isfinite(v) else v

    return {
        "group": g.index, "kind": g.kind, "turn": "right" if g.turn > 0 else "left",
        "elements": [k + 1 for k in g.elements], "start_station": g.start_station,
        "end_station": g.end_station, "R": g.R, "A1": g.A1, "L1": g.L1, "A2": g.A2,
        "L2": g.L2, "Lc": g.Lc, "deflection_deg": math.degrees(g.deflection),
        "p1": g.p1, "q1": g.q1, "p2": g.p2, "q2": g.q2, "T1": value(g.T1), "T2": value(g.T2),
        "E": value(g.E), "pi_x": g.pi[0] if g.pi else None, "pi_y": g.pi[1] if g.pi else None,
        "closed_form": g.closed_form,
        "key_points": [{"name": k.name, "station": k.station, "x": k.x, "y": k.y,
                        "azimuth_deg": math.degrees(k.azimuth)} for k in g.key_points],
    }


def _num(v: Optional[float], fmt: str = "%.3f") -> str:
    return "-" if v is None or not math.isfinite(v) else fmt % v


def write_curves_table(groups: Sequence[CurveGroup], out: IO[str],
                       chainage: Callable[[float], str]) -> None:
    """Per curve group: its design data, then its key points."""
    out.write("\ncurve groups   %d\n" % len(groups))
    # Groups are numbered C1, C2, ... so their rows never read as element rows.
    head = "%4s  %-17s %5s %10s %9s %9s %9s %9s %10s %14s %10s %10s %9s\n"
    row = "%4s  %-17s %5s %10.3f %9s %9s %9s %9s %10.3f %14.6f %10s %10s %9s\n"
    out.write(head % ("#", "kind", "turn", "R", "A1", "L1", "A2", "L2", "Lc",
                      "deflection_deg", "T1", "T2", "E"))
    for g in groups:
        out.write(row % ("C%d" % g.index, g.kind, "right" if g.turn > 0 else "left", g.R,
                         _num(g.A1), _num(g.L1) if g.A1 else "-", _num(g.A2),
                         _num(g.L2) if g.A2 else "-", g.Lc, math.degrees(g.deflection),
                         _num(g.T1), _num(g.T2), _num(g.E)))
        out.write("      %s\n" % "  ".join("%s %s" % (k.name, chainage(k.station))
                                           for k in g.key_points))


def write_curves_csv(groups: Sequence[CurveGroup], out: IO[str]) -> None:
    """One line per curve group, numbers at full precision; key points as
    NAME=station pairs separated by spaces."""
    w = csv.writer(out, lineterminator="\n")
    w.writerow(CURVE_FIELDS)
    for g in groups:
        r = _curve_record(g)
        r["elements"] = " ".join(str(k) for k in r["elements"])
        r["key_points"] = " ".join("%s=%r" % (k["name"], k["station"]) for k in r["key_points"])
        w.writerow(["" if r[f] is None else repr(r[f]) if isinstance(r[f], float) else r[f]
                    for f in CURVE_FIELDS])


def write_json(a: Alignment, groups: Sequence[CurveGroup], out: IO[str]) -> None:
    """The elements and the curve groups as one JSON document (infinite
    radii as null)."""
    def radius(r: float) -> Optional[float]:
        return None if math.isinf(r) else r

    elements = []
    for k, e in enumerate(a.elements, 1):
        elements.append({"element": k, "kind": e.kind,
                         "type": icd_type(e.kind, e.start_curvature, e.end_curvature),
                         "turn": _turn(e), "start_station": e.start_station,
                         "end_station": e.end_station, "length": e.length,
                         "start_radius": radius(e.start_radius),
                         "end_radius": radius(e.end_radius), "A": e.A,
                         "start_x": e.start[0], "start_y": e.start[1],
                         "start_azimuth_deg": degrees(e.start_azimuth),
                         "end_azimuth_deg": degrees(e.end_azimuth)})
    units = a.units
    cant = a.cant_design
    doc = {"file": a.path, "start_station": a.start_station, "end_station": a.end_station,
           "linear_unit": getattr(units, "linear", None),
           "elements": elements, "curve_groups": [_curve_record(g) for g in groups],
           "profile": None if a.profile is None else {
               "name": a.profile.name, "length_3d": a.length_3d, "pvis": pvi_rows(a),
               "turning_points": [t._asdict() for t in a.profile.turning_points]},
           "cant": None if cant is None else {
               "name": cant.name, "gauge": cant.gauge, "axis": cant.axis,
               "stations": [{"station": s, "cant": c, "transition": t}
                            for s, c, t in cant.stations]}}
    json.dump(doc, out, indent=1, allow_nan=False)
    out.write("\n")
