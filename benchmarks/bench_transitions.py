"""The transition curves beyond the clothoid: what each costs to build and query.

Run:  python benchmarks/bench_transitions.py     (pip install shapely for its baseline)

For each shape, an alignment of 250 curve groups (straight, transition in,
arc, transition out; radii 300-3000 m, transitions 50-150 m, a Viennese
bend leaning by 0.05), measured in the same run:
- build: seconds per element;
- point: 10^6 stations in random order, against the clothoid alignment of
  the same layout and numpy.interp on the alignment's 1 m polyline (x and y);
- locate: 10^5 points within +-50 m, against the clothoid alignment and
  shapely 2's line_locate_point on the 1 m polyline (on 2,000 points).
Ratios are the baseline's time over the shape's.
"""
import argparse
import time

import numpy as np

from bench_engine import best_of  # (the scripts of this folder run from it)
from curvixkit import Alignment
from curvixkit.results import TRANSITIONS


def layout(kind, groups, seed=3):
    rng = np.random.default_rng(seed)
    out, hand = [], 1.0
    for _ in range(groups):
        k = hand / rng.uniform(300.0, 3000.0)
        spiral = {"kind": kind, "lean": 0.05 if kind == "viennese" else None}
        out += [{"kind": "line", "length": rng.uniform(50, 200)},
                dict(spiral, length=rng.uniform(50, 150), start_curvature=0.0, end_curvature=k),
                {"kind": "arc", "length": rng.uniform(50, 200), "curvature": k},
                dict(spiral, length=rng.uniform(50, 150), start_curvature=k, end_curvature=0.0)]
        hand = -hand
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", type=int, default=250)
    parser.add_argument("--stations", type=int, default=1000000)
    parser.add_argument("--points", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    try:
        import shapely
    except ImportError:
        shapely = None
    rng = np.random.default_rng(5)
    base = Alignment.from_elements(0.0, 0.0, 0.0, 0.3, layout("clothoid", args.groups))
    s = rng.uniform(base.start_station, base.end_station, args.stations)
    print("%d elements, %.0f km; point: %d stations, locate: %d points within +-50 m"
          % (len(base), base.length / 1000, args.stations, args.points))
    print("  %-9s %10s %10s %10s %12s %10s %10s %12s"
          % ("shape", "build/el", "point", "/clothoid", "/np.interp", "locate", "/clothoid",
             "/shapely"))
    t_point_base = best_of(lambda: base.point(s), args.repeat) / len(s)
    pts_base = base.point(s[:args.points], rng.uniform(-50, 50, args.points))
    t_locate_base = best_of(lambda: base.locate(pts_base), args.repeat) / args.points
    for kind in TRANSITIONS:
        descs = layout(kind, args.groups)
        t0 = time.perf_counter()
        a = Alignment.from_elements(0.0, 0.0, 0.0, 0.3, descs)
        build = (time.perf_counter() - t0) / len(a)
        t_point = best_of(lambda: a.point(s), args.repeat) / len(s)
        st = np.arange(a.start_station, a.end_station, 1.0)
        poly = a.point(st)

        def interp():
            return np.stack([np.interp(s, st, poly[:, 0]), np.interp(s, st, poly[:, 1])], axis=1)

        t_interp = best_of(interp, args.repeat) / len(s)
        pts = a.point(s[:args.points], rng.uniform(-50, 50, args.points))
        t_locate = best_of(lambda: a.locate(pts), args.repeat) / args.points
        shapely_ratio = "-"
        if shapely is not None:
            line = shapely.LineString(poly)
            few = shapely.points(pts[:2000])
            t_shapely = best_of(lambda: shapely.line_locate_point(line, few), 1) / len(few)
            shapely_ratio = "%.0fx" % (t_shapely / t_locate)
        print("  %-9s %8.1f us %7.1f ns %9.2fx %11.1fx %7.0f ns %9.2fx %12s"
              % (kind, build * 1e6, t_point * 1e9, t_point_base / t_point, t_interp / t_point,
                 t_locate * 1e9, t_locate_base / t_locate, shapely_ratio))


if __name__ == "__main__":
    main()
