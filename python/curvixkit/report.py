"""The ``curvix info`` report: start values, the element table and totals."""

from __future__ import annotations

from typing import IO, Optional

import math

from curvixkit.alignment import Alignment, degrees
from curvixkit.chainage import format_chainage

KIND_ORDER = ["line", "arc", "clothoid"]

_HEADER = ("%3s  %-8s %4s %5s  %-13s %11s  %-13s %11s %10s %10s %10s %9s %12s %12s %11s %11s\n" % (
    "#", "kind", "type", "turn", "from", "station", "to", "station", "length",
    "R start", "R end", "A", "start x", "start y", "az start", "az end"))
_ROW = "%3d  %-8s %4d %5s  %-13s %11.3f  %-13s %11.3f %10.3f %10s %10s %9s %12.3f %12.3f %11.6f %11.6f\n"


def _radius(r: Optional[float]) -> str:
    return "inf" if r is None or math.isinf(r) else "%.3f" % r


def _turn(element: dict) -> str:
    return {1: "right", -1: "left"}.get(element["turn"], "-")


def write_info(a: Alignment, out: IO[str]) -> None:
    sx, sy = a.elements[0]["start_point"]
    start_az = a.elements[0]["start_azimuth"]
    end_az = a.elements[-1]["end_azimuth"]
    out.write("file           %s\n" % a.path)
    out.write("start station  %-13s %.3f\n" % (format_chainage(a.start_pk), a.start_pk))
    out.write("end station    %-13s %.3f\n" % (format_chainage(a.end_pk), a.end_pk))
    out.write("start point    x %.3f  y %.3f\n" % (sx, sy))
    out.write("start azimuth  %.6f deg  (%.9f rad)\n" % (degrees(start_az), start_az))
    out.write("end azimuth    %.6f deg  (%.9f rad)\n" % (degrees(end_az), end_az))
    if not a.elements:
        out.write("\nno elements\n")
        return

    out.write("\n" + _HEADER)
    totals = {}  # kind -> [count, length]
    for k, e in enumerate(a.elements, 1):
        r0, r1 = e["start_radius"], e["end_radius"]
        out.write(_ROW % (
            k, e["kind"], e["type"], _turn(e),
            format_chainage(e["start_station"]), e["start_station"],
            format_chainage(e["end_station"]), e["end_station"], e["length"],
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
