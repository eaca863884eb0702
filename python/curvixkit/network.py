"""``curvixkit.Network``: many alignments (the tracks of a station area, the
lines of a network) searched as one.

>>> from curvixkit import Alignment, Network
>>> path = "area.ifc"
>>> net = Network([Alignment.from_ifc(path, i) for i in range(len(Alignment.ifc_names(path)))])
>>> found = net.locate(points)          # Located fields, plus index and name
>>> found.name[:3], found.station[:3]

A point belongs to the nearest alignment. The engine builds one spatial
index over the elements of every alignment, so a query walks one tree, not
one per alignment. No geometry is computed here.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Iterable, Mapping, Optional, Tuple, Union

import numpy as np

from curvixkit import _core
from curvixkit.alignment import Alignment, ArrayLike, _points_array, _real_scalar
from curvixkit.results import NetworkLocated

__all__ = ["Network", "NetworkLocated"]

AlignmentsArg = Union[Iterable[Alignment], Mapping[str, Alignment]]


def _read_alignments(alignments: Any) -> Tuple[Tuple[Alignment, ...], Tuple[Optional[str], ...]]:
    """The alignments and their names of a sequence or a mapping name ->
    Alignment, refusing anything else with the argument named."""
    if isinstance(alignments, Alignment) or isinstance(alignments, (str, bytes)) or \
            not isinstance(alignments, (Mapping, Iterable)):
        raise TypeError("alignments must be a sequence of curvixkit.Alignment or a mapping "
                        "name -> Alignment, got %s" % type(alignments).__name__)
    if isinstance(alignments, Mapping):
        names = list(alignments.keys())
        items = [alignments[k] for k in names]
        for k in names:
            if not isinstance(k, str):
                raise TypeError("alignments: names must be str, got %r" % (k,))
        where = ["alignments[%r]" % k for k in names]
    else:
        items = list(alignments)
        names = [a.name if isinstance(a, Alignment) else None for a in items]
        where = ["alignments[%d]" % i for i in range(len(items))]
    if not items:
        raise ValueError("alignments: a network needs at least one alignment")
    for w, a in zip(where, items):
        if not isinstance(a, Alignment):
            raise TypeError("%s must be a curvixkit.Alignment, got %s" % (w, type(a).__name__))
    return tuple(items), tuple(names)


class Network:
    """Many alignments in one coordinate system, searched as one: a point
    belongs to the nearest of them.

    Build it from a sequence of :class:`~curvixkit.Alignment` (names from
    their ``name``) or a mapping name -> Alignment. The engine indexes the
    elements of every alignment in one spatial tree, built once. A
    ``Network`` never changes after it is built (one object may be queried
    from many threads; :meth:`locate` runs without the GIL) and pickles as
    its alignments, rebuilt on load. Raises ``TypeError`` for an argument of
    another kind and ``ValueError`` for no alignments."""

    __slots__ = ("_alignments", "_names", "_core", "_table")
    _alignments: Tuple[Alignment, ...]
    _names: Tuple[Optional[str], ...]
    _core: Any  # curvixkit._core.Network
    _table: Any  # the names as an object array, None last (for index -1)

    def __init__(self, alignments: AlignmentsArg) -> None:
        items, names = _read_alignments(alignments)
        object.__setattr__(self, "_alignments", items)
        object.__setattr__(self, "_names", names)
        object.__setattr__(self, "_core", _core.Network([a._engine for a in items]))
        table = np.empty(len(items) + 1, dtype=object)
        table[:-1] = names
        object.__setattr__(self, "_table", table)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("a Network cannot be changed; build a new one")

    @property
    def alignments(self) -> Tuple[Alignment, ...]:
        """The alignments, in the order of their index."""
        return self._alignments

    @property
    def names(self) -> Tuple[Optional[str], ...]:
        """The alignments' names (None where an alignment has none), in the
        order of their index."""
        return self._names

    def __len__(self) -> int:
        return len(self._alignments)

    def __getitem__(self, key: Union[int, str]) -> Alignment:
        """The alignment of an index or (the first of) a name."""
        if isinstance(key, str):
            if key not in self._names:
                raise KeyError(key)
            return self._alignments[self._names.index(key)]
        return self._alignments[key]

    def __repr__(self) -> str:
        return "<curvixkit.Network of %d alignments>" % len(self)

    def __reduce__(self) -> tuple:
        return (_rebuild, (self._alignments, self._names))

    def __copy__(self) -> "Network":
        return self  # immutable

    def __deepcopy__(self, memo: Dict[int, Any]) -> "Network":
        return self  # immutable

    def locate(self, points: ArrayLike, max_distance: Optional[float] = None,
               banked: bool = True) -> NetworkLocated:
        """The nearest point of the nearest alignment to each point (an (N, 2)
        array of x, y, an (N, 3) array of x, y, z, or one point), as
        :meth:`Alignment.locate` answers on that alignment, with its
        ``index`` and ``name`` added: :class:`~curvixkit.results.NetworkLocated`.
        Of equal distances the alignment of the lowest index wins. Nothing
        within ``max_distance`` (None: no limit), or a NaN point, gives NaN,
        element and index -1 and name None. ``dz`` and ``banked`` as in
        :meth:`Alignment.locate`. Raises ``TypeError`` for values that are
        not real numbers and ``ValueError`` for an array of another shape
        and a negative or NaN ``max_distance``."""
        pts, single = _points_array(points, "points")
        limit = math.inf if max_distance is None else _real_scalar(max_distance, "max_distance")
        if math.isnan(limit) or limit < 0:
            raise ValueError("max_distance must be >= 0, got %r" % (max_distance,))
        xy = np.ascontiguousarray(pts[:, :2])
        n = xy.shape[0]
        station, offset, distance = np.empty(n), np.empty(n), np.empty(n)
        element, index = np.empty(n, dtype=np.int64), np.empty(n, dtype=np.int64)
        self._core.nearest(xy, limit, station, offset, distance, element, index)
        beyond = np.zeros(n, dtype=np.int64)
        dz = np.full(n, np.nan)
        # Each alignment answers for its own points: which lie beyond its
        # ends, and their height above its design.
        starts = np.array([a.start_station for a in self._alignments] + [np.nan])
        ends = np.array([a.end_station for a in self._alignments] + [np.nan])
        at_end = np.flatnonzero((station == starts[index]) | (station == ends[index]))
        for e in np.unique(index[at_end]).tolist():
            rows = at_end[index[at_end] == e]
            beyond[rows] = self._alignments[e]._beyond(xy[rows], station[rows])
        if pts.shape[1] == 3:
            for e, a in enumerate(self._alignments):
                if a._frame is None:
                    continue
                rows = np.flatnonzero(index == e)
                if rows.size:
                    z = np.empty(rows.size)
                    a._frame.design_elevations(station[rows], offset[rows], bool(banked), False, z)
                    dz[rows] = pts[rows, 2] - z
        name = self._table[index]
        if single:
            return NetworkLocated(float(station[0]), float(offset[0]), float(distance[0]),
                                  int(element[0]), int(beyond[0]), float(dz[0]), int(index[0]),
                                  name[0])
        return NetworkLocated(station, offset, distance, element, beyond, dz, index, name)


def _rebuild(alignments: Tuple[Alignment, ...], names: Tuple[Optional[str], ...]) -> Network:
    """A pickled network: its alignments under their names, indexed anew."""
    if names == tuple(a.name for a in alignments):
        return Network(alignments)
    return Network(dict(zip(names, alignments)))  # type: ignore[arg-type]  # names of a mapping
