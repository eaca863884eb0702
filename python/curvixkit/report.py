"""The ``curvix info`` report: start values, the element table and totals."""

from __future__ import annotations

import csv
import json
import math
from typing import IO, Any, Callable, Dict, List, Optional, Sequence

from curvixkit.alignment import Alignment, degrees
from curvixkit.chainage import format_chainage
from curvixkit.keypoints import CurveGroup, curve_groups

KIND_ORDER = ["line", "arc", "clothoid"]

_HEADER = ("%3s  %-8s %4s %5s  %-13s %11s  %-13s %11s %10s %10s %10s %9s %12s %12s %11s %11s\n" % (
    "#", "kind", "type", "turn", "from", "station", "to", "station", "length",
    "R start", "R end", "A", "start x", "start y", "az start", "az end"))
_ROW = "%3d  %-8s %4d %5s  %-13s %11.3f  %-13s %11.3f %10.3f %10s %10s %9s %12.3f %12.3f %11.6f %11.6f\n"


def _radius(r: Optional[float]) -> str:
    return "inf" if r is None or math.isinf(r) else "%.3f" % r


def _turn(element: dict) -> str:
    return {1: "right", -1: "left"}.get(element["turn"], "-")


def write_info(a: Alignment, out: IO[str], format: str = "table", names: str = "us") -> None:
    """The start values and element table, then the curve report (table);
    the curve report alone (csv); or everything as one JSON document."""
    if format == "csv":
        write_curves_csv(curve_groups(a.kit, names), out)
        return
    if format == "json":
        write_json(a, curve_groups(a.kit, names), out)
        return
    _write_elements(a, out)
    if a.elements:
        write_curves_table(curve_groups(a.kit, names), out, a.chainage)


def _write_elements(a: Alignment, out: IO[str]) -> None:
    sx, sy = a.elements[0]["start_point"]
    start_az = a.elements[0]["start_azimuth"]
    end_az = a.elements[-1]["end_azimuth"]
    out.write("file           %s\n" % a.path)
    out.write("start station  %-13s %.3f\n" % (a.chainage(a.start_pk), a.start_pk))
    out.write("end station    %-13s %.3f\n" % (a.chainage(a.end_pk), a.end_pk))
    out.write("start point    x %.3f  y %.3f\n" % (sx, sy))
    out.write("start azimuth  %.6f deg  (%.9f rad)\n" % (degrees(start_az), start_az))
    out.write("end azimuth    %.6f deg  (%.9f rad)\n" % (degrees(end_az), end_az))
    if not a.elements:
        out.write("\nno elements\n")
        return

    out.write("\n" + _HEADER)
    totals = {}  # type: Dict[str, List[Any]]  # kind -> [count, length]
    for k, e in enumerate(a.elements, 1):
        r0, r1 = e["start_radius"], e["end_radius"]
        out.write(_ROW % (
            k, e["kind"], e["type"], _turn(e),
            a.chainage(e["start_station"]), e["start_station"],
            a.chainage(e["end_station"]), e["end_station"], e["length"],
            _radius(r0), _radius(r1), "-" if e["A"] is None else "%.3f" % e["A"],
            e["start_point"][0], e["start_point"][1],
            degrees(e["start_azimuth"]), degrees(e["end_azimuth"])))
        t = totals.setdefault(e["kind"], [0, 0.0])
        t[0] += 1
        t[1] += e["length"]

    length = sum(e["length"] for e in a.elements)
    out.write("\ntotal          %d elements, length %.3f, turn %+.6f deg\n"
              % (len(a.elements), length, degrees(end_az - start_az)))
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
                       chainage: Callable[[float], str] = format_chainage) -> None:
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
        elements.append({"element": k, "kind": e["kind"], "type": e["type"],
                         "turn": _turn(e), "start_station": e["start_station"],
                         "end_station": e["end_station"], "length": e["length"],
                         "start_radius": radius(e["start_radius"]),
                         "end_radius": radius(e["end_radius"]), "A": e["A"],
                         "start_x": e["start_point"][0], "start_y": e["start_point"][1],
                         "start_azimuth_deg": degrees(e["start_azimuth"]),
                         "end_azimuth_deg": degrees(e["end_azimuth"])})
    doc = {"file": a.path, "start_station": a.start_pk, "end_station": a.end_pk,
           "elements": elements, "curve_groups": [_curve_record(g) for g in groups]}
    json.dump(doc, out, indent=1, allow_nan=False)
    out.write("\n")
