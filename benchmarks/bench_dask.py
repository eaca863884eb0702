"""Throughput of locating a point cloud: dask with local workers against one process.

Run:  python benchmarks/bench_dask.py [--points 10000000] [--workers 2] [--chunk 500000]

The cloud (points up to 25 m either side of the 10 km sample alignment) is
made once in this process. Baseline, in the same run: one call of
``Alignment.locate`` on the whole array in this process. Then the same
points through ``examples/point_cloud_dask.py``'s ``locate_cloud`` on dask's
local schedulers: ``processes`` (the chunks and the pickled Alignment go to
WORKERS worker processes) and ``threads`` (WORKERS threads; the engine
releases the GIL, so threads run in parallel and nothing is copied). Every
answer is checked equal to the baseline's. Figures are points per second,
best of --repeat; the ratio is against the baseline. The machine's cores
bound the gain: two workers on two busy cores cannot double anything.
"""
import argparse
import importlib
import os
import sys
import time
from pathlib import Path

import numpy as np

from curvixkit import Alignment

HERE = Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"


def _example():
    # Imported by name from a path entry that process workers inherit, so
    # that they can unpickle the function each task calls.
    sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module("point_cloud_dask")


def best_of(repeat, fn):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10 ** 7)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunk", type=int, default=500000, help="rows per dask chunk")
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args(argv)

    import dask

    example = _example()
    alignment = Alignment.from_icd(EXAMPLES / "railway_10km.icd")
    points = example.synthetic_cloud(alignment, args.points)
    print("%d points, chunks of %d, %d workers, %s cores on this machine"
          % (args.points, args.chunk, args.workers, os.cpu_count()))

    base, found = best_of(args.repeat, lambda: alignment.locate(points))
    rows = [("one process, one call", base)]
    for scheduler in ("processes", "threads"):
        station, offset = example.locate_cloud(alignment, points, args.chunk)
        with dask.config.set(scheduler=scheduler, num_workers=args.workers):
            elapsed, (s, o) = best_of(args.repeat, lambda: dask.compute(station, offset))
        if not (np.array_equal(s, found.station) and np.array_equal(o, found.offset)):
            raise SystemExit("dask %s gave other answers than one call" % scheduler)
        rows.append(("dask %s x%d" % (scheduler, args.workers), elapsed))

    print("%-26s %10s %14s %7s" % ("run", "seconds", "points/s", "ratio"))
    for name, seconds in rows:
        print("%-26s %10.3f %14.3e %7.2f" % (name, seconds, args.points / seconds, base / seconds))


if __name__ == "__main__":
    main()
