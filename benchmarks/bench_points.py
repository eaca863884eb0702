"""Point files located on the 10 km sample: in one process and on a dask LocalCluster.

Run:  python benchmarks/bench_points.py [--points 10000000] [--files 10] [--workers 1,2]
          [--formats parquet,las] [--memory-csv] [--dir DIR]

Makes N points (up to 25 m either side of the alignment, with z and an
intensity) once as one Parquet file and one LAS file, and again split into
FILES files of each. In one process (a child process, so that its peak
resident memory is its own): ``locate_file`` on the single file of N points,
streamed in chunks. On a LocalCluster of W worker processes (one thread
each): Parquet through ``dask.dataframe.read_parquet`` + ``locate_dataframe``
+ ``to_parquet`` (workers read and write), LAS through ``locate_files`` (one
task per file). Every run writes its output files; the cluster's start is
not timed (a warm-up task ships the alignment first).

Printed: seconds, points per second, the ratio to the in-process run of the
same format, the ratio of W workers to 1 worker, and each worker's rate as a
fraction of the in-process rate (points per second per core). Targets on a
2-core machine: 2 workers >= 1.5x one worker, each worker >= 80 % of the
in-process rate. --memory-csv also times a CSV file of N points (slow: text).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from curvixkit import Alignment

HERE = Path(__file__).resolve().parent
ALIGNMENT = HERE.parent / "examples" / "railway_10km.icd"

# The in-process run, in a child: seconds and peak resident memory (KiB).
# VmHWM, not ru_maxrss: Linux carries ru_maxrss over from the forked parent
# across exec, and the parent holds all the points.
CHILD = """
import sys, time
from curvixkit import Alignment
from curvixkit.points import locate_file
a = Alignment.from_icd(sys.argv[1])
t = time.perf_counter()
done = locate_file(a, sys.argv[2], sys.argv[3])
seconds = time.perf_counter() - t
hwm = [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM")][0]
print(seconds, hwm, done.rows)
"""


def make_points(a, n, seed=0):
    rng = np.random.RandomState(seed)
    stations = rng.uniform(a.start_station, a.end_station, n)
    xy = a.point(stations, offsets=rng.uniform(-25.0, 25.0, n))
    return xy, rng.uniform(0.0, 5.0, n), rng.randint(0, 65535, n).astype(np.uint16)


def write_parquet(path, xy, z, intensity):
    import pyarrow as pa
    import pyarrow.parquet as pq
    table = pa.table({"x": xy[:, 0], "y": xy[:, 1], "z": z, "intensity": intensity})
    pq.write_table(table, path, row_group_size=1 << 20)


def write_las(path, xy, z, intensity):
    import laspy
    header = laspy.LasHeader(point_format=1, version="1.2")
    header.scales = [0.001] * 3
    header.offsets = [np.floor(xy[:, 0].min()), np.floor(xy[:, 1].min()), 0.0]
    las = laspy.LasData(header)
    las.x, las.y, las.z, las.intensity = xy[:, 0], xy[:, 1], z, intensity
    las.write(path)


def write_csv(path, xy, z, intensity):
    with open(path, "w") as f:
        f.write("x,y,z,intensity\n")
        for lo in range(0, len(z), 1 << 18):
            block = np.column_stack([xy[lo:lo + (1 << 18)], z[lo:lo + (1 << 18)],
                                     intensity[lo:lo + (1 << 18)]])
            np.savetxt(f, block, fmt=["%.4f", "%.4f", "%.3f", "%d"], delimiter=",")


WRITERS = {"parquet": (write_parquet, ".parquet"), "las": (write_las, ".las"),
           "csv": (write_csv, ".csv")}


def in_process(source, destination):
    out = subprocess.run([sys.executable, "-c", CHILD, str(ALIGNMENT), source, destination],
                         stdout=subprocess.PIPE, check=True, universal_newlines=True)
    seconds, rss, rows = out.stdout.split()
    return float(seconds), int(rss) / 1024.0, int(rows)


def on_cluster(a, kind, files, out, workers):
    import dask
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    from curvixkit.dask import locate_dataframe, locate_files

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("curvixkit.points"))  # imports done before timing
        t = time.perf_counter()
        if kind == "parquet":
            located = locate_dataframe(a, dd.read_parquet(files), "x", "y", "z", client=client)
            # No dictionaries for the float columns (pyarrow's default tries one
            # per column and page: a third of the time of a worker).
            located.to_parquet(out, write_index=False, use_dictionary=False)
        else:
            os.makedirs(out, exist_ok=True)
            outs = [os.path.join(out, os.path.basename(f)) for f in files]
            dask.compute(*locate_files(a, files, outs, client=client))
        return time.perf_counter() - t


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10 ** 7)
    parser.add_argument("--files", type=int, default=10)
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--formats", default="parquet,las")
    parser.add_argument("--memory-csv", action="store_true")
    parser.add_argument("--dir", help="work folder (default: a temporary one, removed)")
    args = parser.parse_args(argv)
    workers = [int(w) for w in args.workers.split(",")]
    kinds = args.formats.split(",") + (["csv"] if args.memory_csv else [])
    a = Alignment.from_icd(ALIGNMENT)
    work = args.dir or tempfile.mkdtemp(prefix="bench-points-")
    n = args.points
    print("%d points, %d files for the cluster, %s cores" % (n, args.files, os.cpu_count()))
    try:
        xy, z, intensity = make_points(a, n)
        rows = []
        for kind in kinds:
            write, suffix = WRITERS[kind]
            whole = os.path.join(work, "all" + suffix)
            write(whole, xy, z, intensity)
            seconds, rss, done = in_process(whole, os.path.join(work, "all-out" + suffix))
            assert done == n
            rows.append((kind, "in process (one file)", seconds, 1, rss))
            if kind == "csv":
                continue
            folder = os.path.join(work, kind)
            os.makedirs(folder)
            parts = []
            for k, part in enumerate(np.array_split(np.arange(n), args.files)):
                parts.append(os.path.join(folder, "part-%03d%s" % (k, suffix)))
                write(parts[-1], xy[part], z[part], intensity[part])
            for w in workers:
                out = os.path.join(work, "%s-out-%d" % (kind, w))
                rows.append((kind, "LocalCluster x%d" % w,
                             on_cluster(a, kind, parts if kind == "las" else folder, out, w),
                             w, None))
                shutil.rmtree(out)
        print("%-8s %-24s %9s %12s %9s %9s %11s" % ("format", "run", "seconds", "points/s",
                                                    "vs proc", "vs 1 wkr", "per core"))
        for kind, name, seconds, w, rss in rows:
            base = next(r[2] for r in rows if r[0] == kind and r[3] == 1 and r[4] is not None)
            one = next((r[2] for r in rows if r[0] == kind and r[1] == "LocalCluster x1"), None)
            print("%-8s %-24s %9.2f %12.3e %9.2f %9s %10.0f%%%s" % (
                kind, name, seconds, n / seconds, base / seconds,
                "%.2f" % (one / seconds) if one and rss is None else "-",
                100.0 * base / seconds / w, "   peak RSS %.0f MiB" % rss if rss else ""))
    finally:
        if args.dir is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
