"""Locating points on many cores or machines with dask.

Two entry points, both lazy (nothing runs until ``.compute()``, ``to_parquet``
or ``dask.compute``):

- :func:`locate_dataframe` adds ``station``, ``offset`` and ``distance``
  (and ``dz``) to a dask DataFrame of points, partition by partition; the
  workers read the data themselves (``dask.dataframe.read_parquet``) and
  write it (``to_parquet``), so no point passes through the client.
- :func:`locate_files` makes one task per point file (one LAS/LAZ file of
  a survey, say): each task runs :func:`curvixkit.points.locate_file` on a
  worker that reads and writes its own files.

The alignment travels to each worker once: with a ``dask.distributed``
client it is scattered to every worker (``broadcast=True``) and the tasks
name its future; otherwise it is one key of the graph (a delayed object)
that every task depends on, never a copy embedded in each task. Needs dask
(extra ``dask``; ``distributed`` for a cluster).
"""

from __future__ import annotations

import hashlib
import math
import os
import pickle
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from curvixkit.errors import PointFileError, missing_extra
from curvixkit.network import Network
from curvixkit.points import _NETWORK_COLUMNS, _added_columns, locate_file

if TYPE_CHECKING:
    from curvixkit.alignment import Alignment

Target = Union["Alignment", Network]  # what points are located on

__all__ = ["locate_dataframe", "locate_files", "shipped"]

PathLike = Union[str, "os.PathLike[str]"]


def _client() -> Any:
    """The current dask.distributed client, or None."""
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:   # no client has been started
        return None


def shipped(alignment: Target, client: Any = None) -> Any:
    """The alignment as tasks should name it: scattered to every worker of
    ``client`` (default: the current distributed client) as one future, or
    else a delayed object, one key in the graph."""
    client = client if client is not None else _client()
    if client is not None:
        # A key of its own for each call (hash=False): with a key made from
        # the content, dropping the future of an earlier call released the
        # data that a later graph of the same alignment was about to use.
        return client.scatter(alignment, broadcast=True, hash=False)
    try:
        import dask
    except ImportError:
        raise missing_extra("dask", "curvixkit.dask") from None
    digest = hashlib.sha1(pickle.dumps(alignment, protocol=4)).hexdigest()
    return dask.delayed(alignment, pure=True, name="alignment-" + digest)


def _locate_partition(frame: Any, alignment: Target, axes: List[str],
                      added: Tuple[str, ...], max_distance: Optional[float]) -> Any:
    """One pandas partition with the located columns (and only the rows
    within ``max_distance``)."""
    xyz = frame[axes].to_numpy(dtype=np.float64, na_value=np.nan)
    limit = math.inf if max_distance is None else max_distance
    found = alignment.locate(xyz.reshape(-1, len(axes)), limit)
    out = frame.assign(**{name: getattr(found, _NETWORK_COLUMNS.get(name, name))
                          for name in added})
    if max_distance is not None:
        out = out[found.distance <= limit]
    return out


def locate_dataframe(alignment: Target, ddf: Any, x: str = "x", y: str = "y",
                     z: Optional[str] = None, max_distance: Optional[float] = None,
                     client: Any = None) -> Any:
    """``ddf`` (a dask DataFrame of points) with the columns ``station``,
    ``offset`` (positive to the right) and ``distance`` of the globally
    nearest point of ``alignment`` added, and ``dz`` (height above the
    design) where ``z`` names a column and the alignment has a profile;
    ``max_distance`` leaves out the rows farther away. Lazy: a dask
    DataFrame with its meta given (no partition is computed to guess it).
    The alignment goes to each worker once (see :func:`shipped`). On a
    :class:`~curvixkit.Network` each row is located on the nearest of its
    alignments, and ``alignment`` (its index, -1 for none) and
    ``alignment_name`` follow."""
    names = list(ddf.columns)
    axes = [x, y] + ([z] if z is not None else [])
    for axis in axes:
        if axis not in names:
            raise PointFileError("no column %r; the columns are %s" % (axis, ", ".join(
                map(str, names))), column=axis)
    added = _added_columns(alignment, z is not None)
    for name in added:
        if name in names:
            raise PointFileError("the frame already has a column %r" % name, column=name)
    if max_distance is not None and not max_distance >= 0:
        raise ValueError("max_distance must be >= 0, got %r" % (max_distance,))
    types = {"alignment": np.int64, "alignment_name": object}
    meta = ddf._meta.assign(**{name: np.empty(0, dtype=types.get(name, np.float64))
                               for name in added})
    return ddf.map_partitions(_locate_partition, shipped(alignment, client), axes, added,
                              max_distance, meta=meta)


def _locate_one(alignment: Target, source: str, destination: str,
                options: Dict[str, Any]) -> Any:
    return locate_file(alignment, source, destination, **options)


def locate_files(alignment: Target, sources: Sequence[PathLike],
                 destinations: Sequence[PathLike], client: Any = None,
                 **options: Any) -> List[Any]:
    """One dask task per file: ``locate_file(alignment, source, destination,
    **options)`` on a worker (which reads and writes the files itself, so
    they must be where the workers see them). Returns the delayed results
    (:class:`~curvixkit.results.LocatedFile` each) for ``dask.compute`` or
    ``client.compute``."""
    try:
        import dask
    except ImportError:
        raise missing_extra("dask", "curvixkit.dask") from None
    if len(sources) != len(destinations):
        raise ValueError("%d sources but %d destinations" % (len(sources), len(destinations)))
    target = shipped(alignment, client)
    task = dask.delayed(_locate_one, pure=False)
    return [task(target, os.fspath(s), os.fspath(d), options)
            for s, d in zip(sources, destinations)]
