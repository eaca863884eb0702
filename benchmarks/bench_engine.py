"""Per-point cost of curvixkit's engine against what a user would otherwise do.

Run:  python benchmarks/bench_engine.py            (pip install shapely for the baselines)

Everything is measured in the same run on this machine:
- locate: 10^5 points within +-50 m of the 10 km sample alignment (globally
  nearest point, exact). Baselines on a subset: shapely 2's vectorised
  line_locate_point on the alignment densified to 1 m; the fastest polyline
  trick (an STRtree of 1 m segments plus a NumPy foot point); the legacy
  curvix.PQX.get_station_by_point loop. Then the engine alone on generated
  alignments of 10, 10^3 and 10^5 elements, to show the cost grows with
  log(elements), not with the number of elements.
- point: 10^6 stations. Baselines: numpy.interp on the 1 m polyline (x and y),
  the legacy get_coordinate loop with X() and Y() read.
- threads: two Python threads locating on one Alignment at once against one
  thread doing the same work in turn; the results must be the same bit for bit.
- the third dimension, through the public API, on the 10 km sample with a
  profile of 21 PVIs (parabolas and arcs) and a cant of 40 stations (Bloss,
  cosine and linear ramps): elevation per station; point3d (level and banked)
  against point on the same stations and offsets; locate of (x, y, z) points
  with dz against locate of their (x, y).
- network (--only network): the 11 tracks of ../shared/ifc/al01-11-tracks.ifc
  (where present; else 11 generated alignments side by side), 10^5 points up to
  30 m either side of them: Network.locate against the nearest of the 11
  per-alignment locates and against one alignment's locate of the same
  points; the answers must be the nearest of the per-alignment ones.
Ratios are baseline time / engine time; errors are against the exact engine.
"""
import argparse
import math
import os
import threading
import time
from pathlib import Path

import numpy as np

import curvix
from curvixkit import Alignment, Network

HERE = Path(__file__).resolve().parent
SAMPLE = HERE.parent / "examples" / "railway_10km.icd"
TRACKS = HERE.parent.parent / "shared" / "ifc" / "al01-11-tracks.ifc"


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def generated_descriptions(n, seed=7):
    """n elements: line, clothoid in, arc, clothoid out, alternating hands; lengths 50-200 m."""
    rng = np.random.default_rng(seed)
    descs = []
    hand = 1.0
    while len(descs) < n:
        r = rng.uniform(300.0, 3000.0)
        k = hand / r
        for desc in ({"kind": "line", "length": rng.uniform(50, 200)},
                     {"kind": "clothoid", "length": rng.uniform(50, 150), "start_curvature": 0.0,
                      "end_curvature": k},
                     {"kind": "arc", "length": rng.uniform(50, 200), "curvature": k},
                     {"kind": "clothoid", "length": rng.uniform(50, 150), "start_curvature": k,
                      "end_curvature": 0.0}):
            if len(descs) < n:
                descs.append(desc)
        hand = -hand
    return descs


def offset_points(a, n, spread, seed=11):
    rng = np.random.default_rng(seed)
    s = rng.uniform(a.start_station, a.end_station, n)
    return a.point(s, rng.uniform(-spread, spread, n))


def polyline(a, spacing):
    n = int(math.ceil(a.length / spacing)) + 1
    s = np.linspace(a.start_station, a.end_station, n)
    return s, a.point(s)


def row(name, seconds):
    print("  %-52s %10.1f ns/pt" % (name, seconds * 1e9))


def bench_locate(a, legacy, args):
    pts = offset_points(a, args.points, 50.0)
    t_engine = best_of(lambda: a.locate(pts), args.repeat) / len(pts)
    exact = a.locate(pts)
    # foot points: the offset vector is normal to the tangent
    foot = a.point(exact.station)
    az = a.azimuth(exact.station)
    along = (pts[:, 0] - foot[:, 0]) * np.sin(az) + (pts[:, 1] - foot[:, 1]) * np.cos(az)
    print("\nlocate, %d points within +-50 m of the 10 km sample (foot points normal to %.1e m)"
          % (len(pts), np.max(np.abs(along))))
    row("curvixkit Alignment.locate (exact, global)", t_engine)
    sub = pts[: args.baseline_points]
    want = exact.station[: args.baseline_points]
    try:
        import shapely
    except ImportError:
        shapely = None
        print("  (shapely not installed: pip install shapely for its baselines)")
    if shapely is not None:
        s1, xy1 = polyline(a, 1.0)
        line = shapely.LineString(xy1)
        geoms = shapely.points(sub)
        t = best_of(lambda: shapely.line_locate_point(line, geoms), 1) / len(sub)
        got = a.start_station + shapely.line_locate_point(line, geoms)
        print("  %-52s %10.1f us/pt   ratio %.0fx, station error %.2g m" % (
            "shapely 2 line_locate_point, 1 m polyline", t * 1e6, t / t_engine,
            np.max(np.abs(got - want))))
        segs = shapely.linestrings(np.stack([xy1[:-1], xy1[1:]], axis=1))
        tree = shapely.STRtree(segs)

        def strtree_locate():
            idx = tree.query_nearest(geoms, all_matches=False)[1]
            p0, p1 = xy1[idx], xy1[idx + 1]
            d = p1 - p0
            t_ = np.clip(np.einsum("ij,ij->i", sub - p0, d) / np.einsum("ij,ij->i", d, d), 0, 1)
            return s1[idx] + t_ * (s1[idx + 1] - s1[idx])

        t = best_of(strtree_locate, args.repeat) / len(sub)
        got = strtree_locate()
        print("  %-52s %10.1f us/pt   ratio %.1fx, station error %.2g m" % (
            "STRtree of 1 m segments + NumPy foot point", t * 1e6, t / t_engine,
            np.max(np.abs(got - want))))
    few = sub[: args.legacy_points]
    t = best_of(lambda: [legacy.get_station_by_point(float(x), float(y), 10, 1e-9) for x, y in few],
                1) / len(few)
    got = np.array([legacy.get_station_by_point(float(x), float(y), 10, 1e-9) for x, y in few])
    print("  %-52s %10.1f us/pt   ratio %.1fx, station error %.2g m" % (
        "legacy get_station_by_point(x, y, 10, 1e-9) loop", t * 1e6, t / t_engine,
        np.max(np.abs(got - want[: len(few)]))))
    return pts, t_engine


def resident_bytes():
    """Resident memory of this process (Linux /proc; None elsewhere)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


def bench_growth(args):
    print("\nagainst the number of elements (generated chains; locate: points within +-50 m,"
          " point: stations in random order)")
    print("  %-24s %12s %14s %12s %12s" % ("elements", "bytes/elem", "(engine's own)", "locate",
                                           "point"))
    for n in args.elements:
        descs = generated_descriptions(n)
        first = Alignment.from_elements(0.0, 0.0, 0.0, 0.5, descs)
        # The second build's growth of resident memory is what one more
        # alignment costs: the first has warmed the allocator for the
        # temporaries of a build.
        before = resident_bytes()
        g = Alignment.from_elements(0.0, 0.0, 0.0, 0.5, descs)
        after = resident_bytes()
        del first, descs
        resident = "%12.0f" % ((after - before) / n) if before is not None else "%12s" % "-"
        own = getattr(g._engine, "memory_bytes", None)
        own = "%14.0f" % (own() / n) if own is not None else "%14s" % "-"
        pts = offset_points(g, args.points, 50.0)
        t = best_of(lambda: g.locate(pts), args.repeat) / len(pts)
        s = np.random.default_rng(5).uniform(g.start_station, g.end_station, args.stations)
        tp = best_of(lambda: g.point(s), args.repeat) / len(s)
        print("  %-24s %s %s %9.0f ns %9.1f ns" % ("%d (%.0f km)" % (n, g.length / 1000), resident,
                                                    own, t * 1e9, tp * 1e9))
        del g


def bench_point(a, legacy, args):
    rng = np.random.default_rng(3)
    s = rng.uniform(a.start_station, a.end_station, args.stations)
    t_engine = best_of(lambda: a.point(s), args.repeat) / len(s)
    print("\npoint, %d stations on the 10 km sample" % len(s))
    row("curvixkit Alignment.point (exact)", t_engine)
    s1, xy1 = polyline(a, 1.0)

    def interp():
        return np.stack([np.interp(s, s1, xy1[:, 0]), np.interp(s, s1, xy1[:, 1])], axis=1)

    t = best_of(interp, args.repeat) / len(s)
    err = np.max(np.hypot(*(interp() - a.point(s)).T))
    print("  %-52s %10.1f ns/pt   ratio %.1fx, chord error %.2g m" % (
        "numpy.interp on the 1 m polyline (x and y)", t * 1e9, t / t_engine, err))
    few = s[: args.legacy_points * 10].tolist()

    def loop():
        for v in few:
            q = legacy.get_coordinate(v)
            q.X(), q.Y()

    t = best_of(loop, args.repeat) / len(few)
    print("  %-52s %10.1f ns/pt   ratio %.1fx" % (
        "legacy get_coordinate loop, X() and Y() read", t * 1e9, t / t_engine))


def bench_threads(a, pts, args):
    pts = np.concatenate([pts, pts])  # calls long enough that starting threads does not count
    repeat = max(args.repeat, 5)
    one = best_of(lambda: (a.locate(pts), a.locate(pts)), repeat)
    results = [None, None]

    def work(i):
        results[i] = a.locate(pts)

    def two():
        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    both = best_of(two, repeat)
    same = all(np.array_equal(r.station, results[0].station) and
               np.array_equal(r.offset, results[0].offset) for r in results)
    ref = a.locate(pts)
    same = same and np.array_equal(ref.station, results[0].station)
    print("\nthreads: two Python threads locating %d points each on one Alignment" % len(pts))
    print("  %-52s %10.2fx   results identical: %s" % ("speed-up over one thread doing both", one / both,
                                                       same))


def with_vertical(a):
    """``a`` with a profile of 21 PVIs and a cant of 40 stations."""
    rng = np.random.default_rng(5)
    s = np.linspace(a.start_station, a.end_station, 21)
    z = 100.0 + np.cumsum(np.r_[0.0, rng.uniform(-0.03, 0.03, 20) * np.diff(s)])
    pvis = [(s[0], z[0])] + [(s[i], z[i], "parabola", 200.0) if i % 2 else
                             (s[i], z[i], "arc", 6000.0) for i in range(1, 20)] + [(s[-1], z[-1])]
    c = np.linspace(a.start_station, a.end_station, 40)
    shapes = ("bloss", "cosine", "linear")
    cant = [(c[i], 0.0 if i % 4 in (0, 3) else (0.09 if i % 8 < 4 else -0.09), shapes[i % 3])
            for i in range(40)]
    x, y, az = a.elements[0].start + (a.elements[0].start_azimuth,)
    return Alignment.from_elements(a.start_station, x, y, az, a.elements, profile=pvis,
                                   cant={"stations": cant, "gauge": 1.435, "axis": "inside_rail"})


def bench_vertical(a, args):
    v = with_vertical(a)
    rng = np.random.default_rng(9)
    s = rng.uniform(v.start_station, v.end_station, args.stations)
    o = rng.uniform(-5.0, 5.0, args.stations)
    print("\nthe third dimension, %d stations on the 10 km sample with a profile and a cant"
          % len(s))
    t_z = best_of(lambda: v.elevation(s), args.repeat) / len(s)
    row("Alignment.elevation", t_z)
    t_sorted = best_of(lambda: v.elevation(np.sort(s)), args.repeat) / len(s)
    row("Alignment.elevation, sorted stations (sort included)", t_sorted)
    t_2d = best_of(lambda: v.point(s, o), args.repeat) / len(s)
    row("Alignment.point, stations and offsets", t_2d)
    for banked in (False, True):
        t = best_of(lambda: v.point3d(s, o, banked=banked), args.repeat) / len(s)
        print("  %-52s %10.1f ns/pt   %.2fx point" % (
            "Alignment.point3d, %s" % ("banked" if banked else "level"), t * 1e9, t / t_2d))
    pts = offset_points(v, args.points, 50.0)
    z = v.elevation(v.locate(pts).station) + rng.uniform(0.0, 5.0, len(pts))
    xyz = np.column_stack([pts, z])
    t_flat = best_of(lambda: v.locate(pts), args.repeat) / len(pts)
    t_3d = best_of(lambda: v.locate(xyz), args.repeat) / len(pts)
    row("Alignment.locate, (x, y)", t_flat)
    print("  %-52s %10.1f ns/pt   %.2fx the 2D locate" % (
        "Alignment.locate, (x, y, z) with dz (banked)", t_3d * 1e9, t_3d / t_flat))


def network_tracks():
    """The 11 tracks of the IFC export, or 11 generated alignments side by side."""
    if TRACKS.exists():
        n = len(Alignment.ifc_names(TRACKS))
        return "the %d tracks of %s" % (n, TRACKS.name), [Alignment.from_ifc(TRACKS, i)
                                                         for i in range(n)]
    tracks = [Alignment.from_elements(0.0, 4.5 * i, 0.0, 0.5, generated_descriptions(80, seed=i))
              for i in range(11)]
    return "11 generated alignments side by side (%s absent)" % TRACKS, tracks


def bench_network(args):
    what, tracks = network_tracks()
    net = Network(tracks)
    rng = np.random.default_rng(13)
    which = rng.integers(0, len(tracks), args.points)
    pts = np.empty((args.points, 2))
    for e, a in enumerate(tracks):
        rows = which == e
        pts[rows] = a.point(rng.uniform(a.start_station, a.end_station, rows.sum()),
                            rng.uniform(-30.0, 30.0, rows.sum()))

    def each():
        found = [a.locate(pts) for a in tracks]
        d = np.array([np.where(np.isnan(f.distance), np.inf, f.distance) for f in found])
        best = np.argmin(d, axis=0)
        return best, np.array([f.station for f in found])[best, np.arange(len(pts))]

    longest = max(tracks, key=lambda a: a.length)
    runs = {"network": lambda: net.locate(pts), "each": each, "one": lambda: longest.locate(pts)}
    best = {k: math.inf for k in runs}
    for _ in range(max(args.repeat, 5)):  # interleaved: other work on the cores hits all alike
        for k, fn in runs.items():
            t0 = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    got = net.locate(pts)
    index, station = each()
    same = np.array_equal(got.index, index) and np.array_equal(got.station, station)
    print("\nnetwork: %s (%d elements), %d points up to 30 m from them" % (
        what, sum(len(a) for a in tracks), len(pts)))
    row("Network.locate (one tree over every element)", best["network"] / len(pts))
    print("  %-52s %10.1f ns/pt   ratio %.2fx   same answers: %s" % (
        "nearest of the %d per-alignment locates" % len(tracks), best["each"] / len(pts) * 1e9,
        best["each"] / best["network"], same))
    print("  %-52s %10.1f ns/pt   network / one: %.2fx" % (
        "one alignment's locate (the longest, %.1f km)" % (longest.length / 1000),
        best["one"] / len(pts) * 1e9, best["network"] / best["one"]))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--points", type=int, default=100000)
    parser.add_argument("--stations", type=int, default=1000000)
    parser.add_argument("--baseline-points", type=int, default=2000)
    parser.add_argument("--legacy-points", type=int, default=2000)
    parser.add_argument("--elements", type=lambda v: [int(x) for x in v.split(",")],
                        default=[10, 1000, 100000, 1000000],
                        help="element counts of the growth table (comma separated)")
    parser.add_argument("--only", choices=("growth", "network"), default=None,
                        help="run one section alone")
    args = parser.parse_args(argv)
    if args.only == "growth":
        bench_growth(args)
        return
    if args.only == "network":
        bench_network(args)
        return
    a = Alignment.from_icd(SAMPLE)
    legacy = curvix.PQX(str(SAMPLE))
    print("curvixkit engine benchmark on %s (%d elements, %.1f km)" % (SAMPLE.name, len(a),
                                                                      a.length / 1000))
    pts, _ = bench_locate(a, legacy, args)
    bench_growth(args)
    bench_point(a, legacy, args)
    bench_threads(a, pts, args)
    bench_vertical(a, args)
    bench_network(args)


if __name__ == "__main__":
    main()
