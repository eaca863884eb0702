"""Per-call cost of the alignment queries on the 10 km sample alignment.

Run:  python benchmarks/bench_queries.py [--repeat 5]

Baseline, measured in the same run: what a user would otherwise do with
shapely, i.e. densify the alignment into a LineString (1 m and 0.1 m
spacing: chord errors of about 0.2 mm and 2 um on an 800 m curve) and use
LineString.interpolate (station -> point) and LineString.project
(point -> station). The ratio column is baseline time / curvix time.
"""
import argparse
import math
import random
import sys
import timeit
from pathlib import Path

import curvix

HERE = Path(__file__).resolve().parent
SAMPLE = HERE.parent / "examples" / "railway_10km.icd"


def per_call_us(fn, args_list, repeat):
    """Best-of-`repeat` time of calling fn(*args) over the whole list, per call."""
    def run():
        for args in args_list:
            fn(*args)
    number = 1
    best = min(timeit.repeat(run, number=number, repeat=repeat))
    return best / len(args_list) * 1e6


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--queries", type=int, default=2000)
    args = parser.parse_args(argv)

    p = curvix.PQX(str(SAMPLE))
    rng = random.Random(20261207)
    length = p.end_pk - p.start_pk
    stations = [p.start_pk + rng.random() * length for _ in range(args.queries)]
    points = []
    for s in stations:
        q, d = p.get_coordinate(s), p.get_dir(s, 1e-3)
        h = rng.uniform(-30.0, 30.0)
        points.append((q.X() + h * d.Y(), q.Y() - h * d.X()))
    lines = []
    for (x, y), s in zip(points, stations):
        d = p.get_dir(s, 1e-3)
        lines.append((x - 50 * d.Y(), y + 50 * d.X(), x + 50 * d.Y(), y - 50 * d.X()))

    rows = [
        ("get_coordinate(pk)", per_call_us(p.get_coordinate, [(s,) for s in stations], args.repeat), "interpolate"),
        ("get_dir(pk, 1e-4)", per_call_us(p.get_dir, [(s, 1e-4) for s in stations], args.repeat), "interpolate"),
        ("get_station_by_point(x, y, 10, 1e-9)",
         per_call_us(p.get_station_by_point, [(x, y, 10, 1e-9) for x, y in points], args.repeat), "project"),
        ("get_station_by_point2(line, 1e-9)",
         per_call_us(p.get_station_by_point2, [l + (1e-9,) for l in lines[: args.queries // 4]], args.repeat),
         "project"),
        ("get_side(x, y)", per_call_us(p.get_side, points, args.repeat), "project"),
    ]

    baselines = {}
    try:
        from shapely.geometry import LineString, Point
    except ImportError:
        print("shapely is not installed: no baseline (pip install shapely)", file=sys.stderr)
    else:
        for spacing in (1.0, 0.1):
            n = int(math.ceil(length / spacing))
            coords = []
            for i in range(n + 1):
                v = p.get_coordinate(min(p.start_pk + i * spacing, p.end_pk))
                coords.append((v.X(), v.Y()))
            line = LineString(coords)
            shapely_points = [(Point(x, y),) for x, y in points]
            offsets = [(s - p.start_pk,) for s in stations]
            baselines[("interpolate", spacing)] = per_call_us(line.interpolate, offsets, args.repeat)
            baselines[("project", spacing)] = per_call_us(line.project, shapely_points, args.repeat)

    print("%s: stations %.3f to %.3f, %d queries, best of %d; microseconds per call"
          % (SAMPLE.name, p.start_pk, p.end_pk, args.queries, args.repeat))
    header = "%-38s %10s" % ("query", "curvix")
    if baselines:
        header += " %14s %14s %9s %9s" % ("shapely 1 m", "shapely 0.1 m", "ratio 1m", "ratio .1m")
    print(header)
    for name, us, kind in rows:
        line = "%-38s %10.3f" % (name, us)
        if baselines:
            b1, b01 = baselines[(kind, 1.0)], baselines[(kind, 0.1)]
            line += " %14.3f %14.3f %8.1fx %8.1fx" % (b1, b01, b1 / us, b01 / us)
            line += "   (%s)" % kind
        print(line)


if __name__ == "__main__":
    main()
