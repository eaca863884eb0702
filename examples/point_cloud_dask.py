"""Station and signed offset of every point of a point cloud, with dask.

A mobile-mapping or LiDAR cloud along a corridor holds far more points than
one process should hold at once. dask cuts the (N, 2) array of x, y into
chunks of rows; ``map_blocks`` calls ``Alignment.locate`` on each chunk in a
worker (a thread, or a process: the ``Alignment`` pickles, so it travels to
process workers with the task) and the station and offset columns come back
as dask arrays of N values, computed chunk by chunk. Offsets are positive to
the right of the direction of travel.

Run:  python examples/point_cloud_dask.py [ALIGNMENT] [POINTS] [SCHEDULER]

with SCHEDULER "threads" (default), "processes" or "synchronous". The cloud
here is synthetic: points scattered up to 25 m either side of the alignment.
Needs dask (pip install "curvix[dask]"). Run as a script, the task function
travels to process workers by value; imported from other code, process
workers import this module by name, so its folder must be on ``sys.path``.
"""
from __future__ import annotations

import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np

from curvixkit import Alignment

if TYPE_CHECKING:
    import dask.array as da

HERE = Path(__file__).resolve().parent


def synthetic_cloud(alignment: Alignment, n: int, seed: int = 0,
                    half_width: float = 25.0) -> np.ndarray:
    """``n`` points (x, y) at uniformly random stations and offsets within
    ``half_width`` of the centre line."""
    rng = np.random.RandomState(seed)
    stations = rng.uniform(alignment.start_station, alignment.end_station, n)
    offsets = rng.uniform(-half_width, half_width, n)
    return alignment.point(stations, offsets=offsets)


def locate_block(block: np.ndarray, alignment: Alignment) -> np.ndarray:
    """One chunk of (n, 2) points -> (n, 2) columns station, offset."""
    found = alignment.locate(block)
    return np.stack([found.station, found.offset], axis=1)


def locate_cloud(alignment: Alignment, points: Any,
                 chunk_rows: int = 500000) -> Tuple["da.Array", "da.Array"]:
    """Lazy station and offset arrays (dask) of an (N, 2) array of points
    (NumPy or dask). Nothing is computed until ``.compute()`` or
    ``dask.compute``."""
    import dask.array as da

    if isinstance(points, da.Array):
        cloud = points.rechunk((chunk_rows, 2))  # whole rows in every chunk
    else:
        # Sliced here into one graph key per chunk, so that a process worker
        # receives its chunk only (da.asarray would make one key of it all).
        cloud = da.from_array(np.asarray(points, dtype=np.float64), chunks=(chunk_rows, 2))
    located = cloud.map_blocks(locate_block, alignment, dtype=np.float64,
                               meta=np.empty((0, 2), dtype=np.float64))
    return located[:, 0], located[:, 1]


def main(argv: Optional[List[str]] = None) -> Tuple[np.ndarray, np.ndarray]:
    import dask

    argv = sys.argv[1:] if argv is None else argv
    alignment = Alignment.read(argv[0] if argv else HERE / "railway_10km.icd")
    n = int(argv[1]) if len(argv) > 1 else 1000000
    scheduler = argv[2] if len(argv) > 2 else "threads"
    points = synthetic_cloud(alignment, n)
    station, offset = locate_cloud(alignment, points, chunk_rows=max(1, n // 8))
    with dask.config.set(scheduler=scheduler, num_workers=2):
        station_values, offset_values = dask.compute(station, offset)
    right = int(np.count_nonzero(offset_values > 0))
    print("%d points located on %s (%s): stations %.3f to %.3f, %d right and %d left"
          % (n, alignment, scheduler, np.min(station_values), np.max(station_values),
             right, n - right))
    return station_values, offset_values


if __name__ == "__main__":
    main()
