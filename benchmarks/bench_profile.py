"""Per-station cost of the engine's vertical dimension (curvixkit._core), against
the horizontal queries it builds on, measured in the same run.

Run:  python benchmarks/bench_profile.py

On the 10 km sample alignment with a profile of 21 PVIs (parabolas and arcs in
turn) and a cant of 40 stations (Bloss, cosine and linear ramps):
- elevation per station (10^6 random stations; sorted too), and grade;
- Frame.points3d against Engine.points (the same stations and offsets), level
  and banked: the ratio of the two;
- Frame.locate3d against Engine.nearest (10^5 points within +-50 m of the
  alignment, 0 to 5 m above the profile): the ratio of the two.
Each figure is the best of --repeat runs (the machine is shared).
"""
import argparse
from pathlib import Path

import numpy as np

from bench_engine import best_of
from curvixkit import Alignment, _core

SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "railway_10km.icd"


def make_profile(start, end, rng):
    s = np.linspace(start, end, 21)
    z = 100.0 + np.cumsum(np.r_[0.0, rng.uniform(-0.03, 0.03, 20) * np.diff(s)])
    pvis = [(s[0], z[0])]
    for i in range(1, 20):
        if i % 2:
            pvis.append((s[i], z[i], "parabola", 200.0))
        else:
            pvis.append((s[i], z[i], "arc", 6000.0))
    pvis.append((s[-1], z[-1]))
    return _core.Profile.from_pvis(pvis)


def make_cant(start, end):
    s = np.linspace(start, end, 40)
    shapes = ["bloss", "cosine", "linear", "helmert"]
    return _core.Cant([(v, 0.0 if i % 4 in (0, 3) else 0.12 * (-1) ** (i // 4), shapes[i % 4])
                       for i, v in enumerate(s)], 1.435, "inside_rail")


def row(name, seconds, n, extra=""):
    print("  %-46s %8.1f ns%s" % (name, seconds / n * 1e9, extra))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--stations", type=int, default=1000000)
    parser.add_argument("--points", type=int, default=100000)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(5)
    engine = Alignment.from_icd(SAMPLE)._engine
    lo, hi = engine.start_station, engine.end_station
    profile = make_profile(lo, hi, rng)
    cant = make_cant(lo, hi)
    frame = _core.Frame(engine, profile, cant)
    print("profile benchmark on %s: %d profile segments, %d cant stations"
          % (SAMPLE.name, len(profile), len(cant.inputs()[0])))

    n = args.stations
    s = rng.uniform(lo, hi, n)
    ss = np.sort(s)
    out = np.empty(n)
    print("\nper station (%d stations)" % n)
    t_z = best_of(lambda: profile.elevations(s, False, out), args.repeat)
    row("Profile.elevations, random stations", t_z, n)
    row("Profile.elevations, sorted stations", best_of(lambda: profile.elevations(ss, False, out), args.repeat), n)
    row("Profile.grades", best_of(lambda: profile.grades(s, False, out), args.repeat), n)
    row("Cant.cants", best_of(lambda: cant.cants(s, False, out), args.repeat), n)

    offsets = rng.uniform(-5.0, 5.0, n)
    heights = rng.uniform(0.0, 2.0, n)
    xy = np.empty((n, 2))
    xyz = np.empty((n, 3))
    t_2d = best_of(lambda: engine.points(s, offsets, False, xy), args.repeat)
    t_level = best_of(lambda: frame.points3d(s, offsets, heights, False, False, xyz), args.repeat)
    t_bank = best_of(lambda: frame.points3d(s, offsets, heights, True, False, xyz), args.repeat)
    print("\npoint per station (%d stations, offsets within +-5 m)" % n)
    row("Engine.points (2D)", t_2d, n)
    row("Frame.points3d level", t_level, n, "   ratio %.2fx" % (t_level / t_2d))
    row("Frame.points3d banked", t_bank, n, "   ratio %.2fx" % (t_bank / t_2d))

    m = args.points
    sp = rng.uniform(lo, hi, m)
    pts = np.empty((m, 3))
    frame.points3d(sp, rng.uniform(-50.0, 50.0, m), rng.uniform(0.0, 5.0, m), True, False, pts)
    pxy = np.ascontiguousarray(pts[:, :2])
    st, of, di, dz = (np.empty(m) for _ in range(4))
    el = np.empty(m, dtype=np.int64)
    t_near = best_of(lambda: engine.nearest(pxy, np.inf, st, of, di, el), args.repeat)
    t_loc = best_of(lambda: frame.locate3d(pts, np.inf, True, False, st, of, di, el, dz), args.repeat)
    print("\nlocate (%d points within +-50 m, 0 to 5 m above the banked section)" % m)
    row("Engine.nearest (2D)", t_near, m)
    row("Frame.locate3d (2D foot + dz, banked)", t_loc, m, "   ratio %.2fx" % (t_loc / t_near))


if __name__ == "__main__":
    main()
