"""Survey files and point clouds: read points in chunks, and locate every
point of a file on an alignment into a new file of the same kind.

>>> from curvixkit import Alignment
>>> from curvixkit.points import locate_file, read_points
>>> a = Alignment.from_icd("examples/railway_10km.icd")
>>> locate_file(a, "examples/survey_points.csv", "located.csv")
LocatedFile(destination='located.csv', format='csv', points=5, rows=5, added=(...))

Formats: CSV text (any header, delimiter sniffed), LAS 1.2-1.4 and LAZ
(extra ``las``: laspy, lazrs), Parquet (extra ``parquet``: pyarrow). The
output keeps every column of the input, in order and unchanged, and adds
``station``, ``offset`` and ``distance`` (and ``dz``, the height above the
design, where the points have z and the alignment a profile). Memory stays
bounded by the chunk size whatever the file's size.
"""

from __future__ import annotations

import os
import sys
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, Optional, Tuple, Union

import numpy as np

from curvixkit._progress import Progress
from curvixkit.errors import PointFileError
from curvixkit.io import points as _io
from curvixkit.io.files import replaced_when_done, same_file
from curvixkit.network import Network
from curvixkit.results import LocatedFile, PointChunk

if TYPE_CHECKING:
    from curvixkit.alignment import Alignment

__all__ = ["read_points", "open_points", "locate_file", "PointChunk", "LocatedFile", "PointFileError",
           "CHUNK_SIZE", "FORMATS"]

CHUNK_SIZE = _io.CHUNK_SIZE
FORMATS = _io.FORMATS
PathLike = Union[str, "os.PathLike[str]"]
Column = Union[None, str, int]
ProgressArg = Union[bool, Callable[[int, Optional[int]], None], None]


def open_points(path: Union[PathLike, IO[str]], *, x: Column = None, y: Column = None,
                z: Column = None, format: Optional[str] = None,
                chunk_size: int = CHUNK_SIZE) -> _io.Source:
    """A point file opened for reading, as :func:`read_points` reads it: a
    context manager with its ``format``, ``names``, ``axes`` (the columns
    of x, y, z), ``has_z``, ``total`` (points, where the file says; None for
    CSV) and ``chunks()``, the iterator :func:`read_points` returns. The
    header is read (and checked) here."""
    return _io.open_source(path, x, y, z, format, chunk_size)


def read_points(path: Union[PathLike, IO[str]], *, x: Column = None, y: Column = None,
                z: Column = None, format: Optional[str] = None,
                chunk_size: int = CHUNK_SIZE) -> Iterator[PointChunk]:
    """The points of a CSV, LAS/LAZ or Parquet file (told apart by content
    unless ``format`` says; a text stream reads as CSV) as
    :class:`~curvixkit.results.PointChunk` of at most ``chunk_size`` points.

    ``x``, ``y`` and ``z`` name the coordinate columns where the names say
    nothing (CSV columns named x/y/z, E/N/Z, easting/northing, height ...
    are found by themselves; a file without a header takes 1-based column
    numbers and has x, y (and z) first; LAS uses its scaled x, y, z). Raises
    :class:`~curvixkit.errors.PointFileError` naming the line, point or
    column of bad input, ``OSError`` for a file that cannot be opened and
    :class:`~curvixkit.errors.MissingExtraError` without laspy or pyarrow."""
    with _io.open_source(path, x, y, z, format, chunk_size) as source:
        for chunk in source.chunks():
            yield chunk


def _progress_callback(progress: ProgressArg, total: Optional[int]) -> Any:
    """(update, close) for ``progress``: a callable as given, True a bar on
    stderr (tqdm where installed), False nothing."""
    if callable(progress):
        return (lambda done: progress(done, total)), (lambda: None)  # type: ignore[misc]
    if not progress:
        return (lambda done: None), (lambda: None)
    try:
        from tqdm import tqdm
    except ImportError:
        bar = Progress(total, "locate")
        return bar.update, bar.close
    # disable=None: no bar where stderr is not a terminal; delay: none for quick runs.
    tq = tqdm(total=total, unit="pt", unit_scale=True, desc="locate", file=sys.stderr,
              disable=None, delay=2.0, leave=False)
    state = [0]

    def update(done: int) -> None:
        tq.update(done - state[0])
        state[0] = done
    return update, tq.close


# The columns a network adds and the fields of NetworkLocated they hold.
_NETWORK_COLUMNS = {"alignment": "index", "alignment_name": "name"}


def _added_columns(alignment: Union["Alignment", Network], has_z: bool,
                  format: str = "csv") -> Tuple[str, ...]:
    """The columns locating on ``alignment`` adds: station, offset and
    distance; dz where the points have z and the alignment (some alignment
    of a network) a profile; for a network its ``alignment`` index and,
    but in LAS (which holds no text), its ``alignment_name``."""
    members = alignment.alignments if isinstance(alignment, Network) else (alignment,)
    added = ("station", "offset", "distance")  # type: Tuple[str, ...]
    if has_z and any(a.profile is not None for a in members):
        added += ("dz",)
    if isinstance(alignment, Network):
        added += ("alignment",) if format == "las" else tuple(_NETWORK_COLUMNS)
    return added


def locate_file(alignment: Union["Alignment", Network], source: PathLike,
                destination: PathLike, *,
                x: Column = None, y: Column = None, z: Column = None,
                max_distance: Optional[float] = None, all: bool = False,
                format: Optional[str] = None, progress: ProgressArg = False,
                chunk_size: int = CHUNK_SIZE) -> LocatedFile:
    """Locate every point of the file ``source`` on ``alignment`` and write
    ``destination``: every column of the source, unchanged and in order,
    then ``station``, ``offset`` (positive to the right) and ``distance``
    of the globally nearest point (and ``dz`` where the points have z and
    the alignment a profile); see :meth:`Alignment.locate`. On a
    :class:`~curvixkit.Network` each point is located on the nearest of its
    alignments, and the columns ``alignment`` (its index, -1 for none) and
    ``alignment_name`` (not in LAS, which holds no text) follow; ``all=True``
    needs an Alignment.

    The output format is ``format`` ("csv", "las", "parquet"), else the one
    the destination's suffix names (.csv .txt, .las .laz, .parquet .pq),
    else the source's (told by content). LAS output needs LAS input (every
    point record is kept, the new columns are float64 extra-bytes
    dimensions; .laz is compressed). ``max_distance`` leaves out the points
    farther away; ``all=True`` writes a row for every local minimum of the
    distance within ``max_distance`` (a point's row repeated, or none). NaN
    coordinates give NaN answers (rows kept, unless ``max_distance``).

    The file appears whole when done: it is written beside the destination
    under a temporary name and renamed at the end, so a failure leaves
    nothing (and an older file stands). The destination may not be the
    source. ``progress``: True for a bar on stderr on a terminal (tqdm where
    installed), or a callable ``progress(points_done, total)`` (total None
    where the file does not say) called after each chunk. Raises
    :class:`~curvixkit.errors.PointFileError` for bad input,
    ``ValueError`` for a bad argument, ``OSError`` for files that cannot be
    opened or written."""
    if isinstance(alignment, Network) and all:
        raise ValueError("all=True needs an Alignment, not a Network (nearest points only)")
    limit = np.inf if max_distance is None else float(max_distance)
    if not limit >= 0:
        raise ValueError("max_distance must be >= 0, got %r" % (max_distance,))
    destination = os.fspath(destination)
    if same_file(source, destination):
        raise PointFileError("is also the input; write to another file", destination)
    with _io.open_source(source, x, y, z, None, chunk_size) as src:
        kind = _io.output_format(destination, src.format, format)
        added = _added_columns(alignment, src.has_z, kind)
        compress = None
        if kind == "las" and destination.lower().endswith((".las", ".laz")):
            compress = destination.lower().endswith(".laz")
        points = rows = 0
        update, close = _progress_callback(progress, src.total)
        try:
            with replaced_when_done(destination) as tmp:
                with _io.open_sink(kind, tmp, src, added, compress) as sink:
                    for piece, xyz in src.pieces():
                        found = (alignment.locate(xyz, limit, all=True)
                                 if all and not isinstance(alignment, Network)
                                 else alignment.locate(xyz, limit))  # type: Any
                        take = found.query if all else None  # type: Any
                        if not all and max_distance is not None:
                            take = np.flatnonzero(found.distance <= limit)
                        values = {name: getattr(found, _NETWORK_COLUMNS.get(name, name))
                                  for name in added}
                        if take is not None and not all:
                            values = {name: v[take] for name, v in values.items()}
                        sink.write(piece, take, values)
                        points += len(xyz)
                        rows += len(xyz) if take is None else len(take)
                        update(points)
        finally:
            close()
    return LocatedFile(destination, kind, points, rows, added)
