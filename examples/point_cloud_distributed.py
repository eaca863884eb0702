"""Station and signed offset of every point of a point cloud on a dask cluster.

Workers read the points themselves (Parquet files, one partition per row
group or file), locate them on the alignment, which each worker receives
once, and write the located cloud (every column, with station, offset and
distance added) back as Parquet; the client only sends the plan and
gathers a few counts.

Run:  python examples/point_cloud_distributed.py [--scheduler ADDRESS] [--points N]
          [--workers 2] [--data DIR] [--out DIR] [--alignment FILE] [--max-distance D]

Without --scheduler a LocalCluster of --workers processes (one thread each)
runs on this machine; with it (``--scheduler tcp://scheduler:8786``) the
same plan runs on that cluster, whose workers must see DIR and OUT (a shared
file system, or s3:// paths with s3fs installed). Without --data, N
synthetic points (up to 25 m either side of the alignment, in 8 files) are
written to a temporary folder first. Needs ``pip install "curvix[distributed]"``.
"""
from __future__ import annotations

import argparse
import os
import tempfile
from pathlib import Path
from typing import Any, Dict, List, Optional

import numpy as np

from curvixkit import Alignment
from curvixkit.dask import locate_dataframe

HERE = Path(__file__).resolve().parent


def write_cloud(alignment: Alignment, folder: str, n: int, files: int = 8, seed: int = 0) -> str:
    """``n`` synthetic points (x, y, z, intensity) in ``files`` Parquet files
    under ``folder``; returns the folder."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = np.random.RandomState(seed)
    os.makedirs(folder, exist_ok=True)
    for k, part in enumerate(np.array_split(np.arange(n), files)):
        stations = rng.uniform(alignment.start_station, alignment.end_station, len(part))
        xy = alignment.point(stations, offsets=rng.uniform(-25.0, 25.0, len(part)))
        table = pa.table({"x": xy[:, 0], "y": xy[:, 1], "z": rng.uniform(0, 5, len(part)),
                          "intensity": rng.randint(0, 65535, len(part)).astype(np.uint16)})
        pq.write_table(table, os.path.join(folder, "part-%03d.parquet" % k))
    return folder


def main(argv: Optional[List[str]] = None) -> Dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local workers (default 2)")
    parser.add_argument("--points", type=int, default=1000000)
    parser.add_argument("--data", help="folder of Parquet files with columns x, y")
    parser.add_argument("--out", help="folder for the located Parquet files")
    parser.add_argument("--alignment", default=str(HERE / "railway_10km.icd"))
    parser.add_argument("--max-distance", type=float)
    args = parser.parse_args(argv)

    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    alignment = Alignment.read(args.alignment)
    scratch = tempfile.mkdtemp(prefix="curvix-cloud-")
    data = args.data or write_cloud(alignment, os.path.join(scratch, "cloud"), args.points)
    out = args.out or os.path.join(scratch, "located")
    cluster = None
    if args.scheduler is None:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
    try:
        with Client(args.scheduler or cluster) as client:
            located = locate_dataframe(alignment, dd.read_parquet(data), "x", "y",
                                       max_distance=args.max_distance, client=client)
            # No dictionaries for float columns (pyarrow tries one per column
            # and page by default, which costs a third of a worker's time).
            located.to_parquet(out, write_index=False, use_dictionary=False)
            written = dd.read_parquet(out)
            counts = dd.compute(written.shape[0], (written.offset > 0).sum(),
                                written.station.min(), written.station.max())
    finally:
        if cluster is not None:
            cluster.close()
    rows, right, first, last = (c.item() if hasattr(c, "item") else c for c in counts)
    print("%d points located on %s into %s: stations %.3f to %.3f, %d right and %d left"
          % (rows, alignment, out, first, last, right, rows - right))
    return {"data": data, "out": out, "rows": rows, "right": right}


if __name__ == "__main__":
    main()
