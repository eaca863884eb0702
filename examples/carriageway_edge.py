"""Stake out the right carriageway edge (3.5 m right of the centre line) every
20 m, then give the station and signed offset of surveyed points.

Run:  python examples/carriageway_edge.py [ALIGNMENT] [POINTS.csv]
"""
import csv
import math
import sys
from pathlib import Path

import numpy as np

from curvixkit import Alignment
from curvixkit.stations import format_station

HERE = Path(__file__).resolve().parent


def stakeout(alignment, step=20.0, offset=3.5):
    """Rows (station, x, y, azimuth in degrees) every `step` at `offset`."""
    first = math.ceil(alignment.start_station / step) * step
    stations = np.arange(first, alignment.end_station, step)
    xy = alignment.point(stations, offsets=offset)
    azimuth = np.degrees(alignment.azimuth(stations))
    return list(zip(stations.tolist(), xy[:, 0].tolist(), xy[:, 1].tolist(), azimuth.tolist()))


def read_points(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    return [r["name"] for r in rows], np.array([[float(r["x"]), float(r["y"])] for r in rows])


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    alignment = Alignment.from_icd(argv[0] if argv else HERE / "railway_10km.icd")
    rows = stakeout(alignment)
    print("%-13s %14s %14s %12s" % ("station", "x", "y", "azimuth"))
    for station, x, y, az in rows[:5]:
        print("%-13s %14.3f %14.3f %12.6f" % (format_station(station), x, y, az))
    print("... %d stakes at 3.5 m right\n" % len(rows))

    names, points = read_points(argv[1] if len(argv) > 1 else HERE / "survey_points.csv")
    found = alignment.locate(points)
    print("%-8s %-13s %10s %10s" % ("point", "station", "offset", "distance"))
    for name, s, o, d in zip(names, found.station, found.offset, found.distance):
        print("%-8s %-13s %10.3f %10.3f" % (name, format_station(s), o, d))
    return rows, found


if __name__ == "__main__":
    main()
