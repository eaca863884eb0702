"""Per-call cost of planix's intersection functions against same-run baselines.

    python benchmarks/bench_planix.py

seg/seg is compared with shapely (LineString.intersection, once with the
LineStrings built inside the timed call, as planix gets plain lists, and once
on prebuilt geometries); seg/arc with the same quadratic written in Python.
Each figure is the best of several timeit repeats, in microseconds per call.
"""

import math
import sys
import timeit

REPEATS = 7
TARGET_SECONDS = 0.1

import planix

try:
    from shapely.geometry import LineString
except ImportError:
    LineString = None


def python_seg_arc(cx, cy, r, x1, y1, x2, y2):
    dx, dy, ex, ey = x2 - x1, y2 - y1, x1 - cx, y1 - cy
    qa = dy * dy + dx * dx
    qb = (2 * dy) * ey + (2 * dx) * ex
    qc = (ey * ey + ex * ex) - r * r
    disc = qb * qb - (4 * qa) * qc
    if disc < 0:
        return []
    s = math.sqrt(disc)
    for t in ((s - qb) / (2 * qa), (-qb - s) / (2 * qa)):
        if 0 <= t <= 1:
            return [dx * t + x1, dy * t + y1]
    return []


def per_call_us(fn):
    """Best time of one call of fn, in microseconds."""
    timer = timeit.Timer(fn)
    number, elapsed = timer.autorange()
    number = max(number, int(number * TARGET_SECONDS / max(elapsed, 1e-9)))
    return min(timer.repeat(repeat=REPEATS, number=number)) / number * 1e6


def seg_seg_rows():
    cases = [
        ("crossing", [0.0, 0.0], [2.0, 2.0], [0.0, 2.0], [2.0, 0.0]),
        ("disjoint", [0.0, 0.0], [1.0, 0.0], [2.0, -1.0], [2.0, 1.0]),
        ("collinear overlap", [0.0, 0.0], [2.0, 0.0], [1.0, 0.0], [3.0, 0.0]),
    ]
    rows = []
    for name, p1, p2, p3, p4 in cases:
        ours = per_call_us(lambda: planix.intersection_seg_seg(p1, p2, p3, p4))
        built = per_call_us(lambda: LineString([p1, p2]).intersection(LineString([p3, p4])))
        a, b = LineString([p1, p2]), LineString([p3, p4])
        prebuilt = per_call_us(lambda: a.intersection(b))
        rows.append(("seg_seg " + name, "shapely, geometries built", ours, built))
        rows.append(("seg_seg " + name, "shapely, prebuilt", ours, prebuilt))
    return rows


def seg_arc_rows():
    cases = [
        ("two crossings", (0.0, 0.0, 1.0, -2.0, 0.0, 2.0, 0.0)),
        ("miss", (0.0, 0.0, 1.0, -2.0, 2.0, 2.0, 2.0)),
    ]
    rows = []
    for name, args in cases:
        assert planix.intersection_seg_arc(*args) == python_seg_arc(*args)
        ours = per_call_us(lambda: planix.intersection_seg_arc(*args))
        base = per_call_us(lambda: python_seg_arc(*args))
        rows.append(("seg_arc " + name, "pure Python", ours, base))
    return rows


def main():
    if LineString is None:
        print("shapely is not installed: nothing to compare intersection_seg_seg with; "
              "install it (pip install shapely) to run this benchmark.")
        return 0
    print("planix from", planix.__file__)
    print("Python", sys.version.split()[0], "- best of", REPEATS, "repeats, microseconds per call")
    rows = seg_seg_rows() + seg_arc_rows()
    print("%-28s %-26s %10s %10s %8s" % ("case", "baseline", "planix", "baseline", "ratio"))
    for case, baseline, ours, base in rows:
        print("%-28s %-26s %10.3f %10.3f %7.1fx" % (case, baseline, ours, base, base / ours))
    return 0


if __name__ == "__main__":
    sys.exit(main())
