"""One alignment as the command line sees it: read through curvixkit's public
API (ICD or LandXML, told apart by content), with the element table the
reports print."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from curvixkit._alignment import Alignment as _Alignment
from curvixkit.chainage import format_chainage
from curvixkit.stations import format_beyond
from curvixkit.errors import CommandError, IcdError


def describe_load_error(path: str, exc: BaseException) -> str:
    """One line: the file, and the reader's words (which name the line)."""
    if isinstance(exc, OSError):
        return "%s: %s" % (path, exc.strerror or exc)
    if isinstance(exc, IcdError):
        return "%s: %s" % (path, exc.message)
    text = " ".join(str(exc).split())
    return text if text.startswith(path) else "%s: %s" % (path, text)


def icd_type(kind: str, k0: float, k1: float) -> int:
    """The ICD element code of a line (1), arc (2) or clothoid: 3 from a
    straight end, 4 to one, 5 between radii with the curvature growing, 6 shrinking."""
    if kind == "line":
        return 1
    if kind == "arc":
        return 2
    if k0 == 0.0:
        return 3
    if k1 == 0.0:
        return 4
    return 5 if abs(k1) > abs(k0) else 6


class Alignment:
    """The command line's view of one alignment file: ``kit`` is the
    :class:`curvixkit.Alignment`, ``elements`` its element table as dicts
    (with the ICD type number), ``boundaries`` the element joints. A file
    that cannot be read raises :class:`CommandError` with one line."""

    def __init__(self, path: str, name: Optional[str] = None) -> None:
        self.path = path
        try:
            self.kit = _Alignment.read(path, name=name)
        except (OSError, ValueError) as exc:
            raise CommandError(describe_load_error(path, exc))
        self.elements = []  # type: List[Dict[str, Any]]
        for e in self.kit.elements:
            self.elements.append({
                "kind": e.kind, "type": icd_type(e.kind, e.start_curvature, e.end_curvature),
                "turn": e.turn, "start_station": e.start_station, "end_station": e.end_station,
                "length": e.length, "start_radius": e.start_radius, "end_radius": e.end_radius,
                "A": e.A, "start_point": e.start, "start_azimuth": e.start_azimuth,
                "end_azimuth": e.end_azimuth,
            })
        self.boundaries = [e["start_station"] for e in self.elements] + [self.kit.end_station]
        stations = self.kit.stations
        self._map = stations if stations.equations else None

    def chainage(self, pk: float, decimals: int = 3) -> str:
        """The chainage text of an internal station: its display station where
        the file has station equations."""
        return format_chainage(self._map.to_display(pk) if self._map is not None else pk, decimals)

    def internal(self, value: float, option: str) -> float:
        """A station given on the command line, read as a display station
        where the file has station equations."""
        if self._map is None:
            return value
        try:
            return float(self._map.from_display(value))
        except ValueError as exc:
            raise CommandError("%s %s: %s" % (option, value, " ".join(str(exc).split())))

    @property
    def start_pk(self) -> float:
        """Internal station at the start."""
        return self.kit.start_station

    @property
    def end_pk(self) -> float:
        """Internal station at the end."""
        return self.kit.end_station

    def require_elements(self) -> None:
        """Every alignment the readers build has elements; kept for the commands' flow."""

    def point(self, pk: float) -> Tuple[float, float]:
        """(x, y) on the centre line at internal station ``pk``."""
        x, y = self.kit.point(pk)
        return float(x), float(y)

    def points(self, stations: Any) -> "np.ndarray":
        """(N, 2) x, y on the centre line at internal stations."""
        return self.kit.point(stations)

    def azimuth(self, pk: float) -> float:
        """Tangent azimuth at pk, radians from +Y towards +X."""
        return float(self.kit.azimuth(pk))

    def check_range(self, name: str, pk: float) -> None:
        """Raise :class:`CommandError` naming option ``name`` where ``pk``
        lies outside the alignment (shown as display chainage)."""
        if not self.start_pk <= pk <= self.end_pk:
            shown, span = format_beyond(
                self._map.to_display(pk) if self._map is not None else pk,
                *(self._map.to_display(v) if self._map is not None else v  # type: ignore[arg-type]
                  for v in (self.start_pk, self.end_pk)))
            raise CommandError("%s %s is outside the alignment, %s" % (name, shown, span))


def degrees(radians: float) -> float:
    """Radians to degrees."""
    return math.degrees(radians)
