"""One alignment as the tools see it: coordinates and point search from
``curvix.PQX``, elements and tangent azimuths from the element view. Both are
loaded from the same file by the same core loader."""

from __future__ import annotations

import math
from typing import Tuple

import curvix

from curvix_tools._elements import INFINITE_RADIUS, AlignmentView, failing_line
from curvix_tools.chainage import format_chainage
from curvix_tools.errors import CommandError

# What the loader raises for a file it cannot read or parse (OSError for the
# file itself; the others carry the parser's message).
_LOAD_ERRORS = (ValueError, IndexError, RuntimeError, TypeError, OverflowError)


def describe_load_error(path: str, exc: BaseException) -> str:
    """One line: the file, the line that failed where it can be found, and
    the loader's message."""
    if isinstance(exc, OSError) and exc.strerror:
        return "%s: %s" % (path, exc.strerror)
    try:
        line = failing_line(path)
    except (OSError,) + _LOAD_ERRORS:
        line = None
    where = "line %d: " % line if line is not None else ""
    return "%s: %snot a valid ICD alignment: %s" % (path, where, exc)


class Alignment:
    def __init__(self, path: str) -> None:
        self.path = path
        try:
            path.encode("utf-8")
        except UnicodeEncodeError:
            raise CommandError("%s: the file name is not valid UTF-8" % path)
        try:
            self.pqx = curvix.PQX(path)
            self.view = AlignmentView(path)
        except (OSError,) + _LOAD_ERRORS as exc:
            raise CommandError(describe_load_error(path, exc))
        self.elements = self.view.elements()
        self.boundaries = self.view.boundary_stations()

    @property
    def start_pk(self) -> float:
        return self.pqx.start_pk

    @property
    def end_pk(self) -> float:
        return self.pqx.end_pk

    def require_elements(self) -> None:
        if not self.elements:
            raise CommandError("%s: the file defines no alignment elements" % self.path)

    def point(self, pk: float) -> Tuple[float, float]:
        v = self.pqx.get_coordinate(pk)
        return v.X(), v.Y()

    def azimuth(self, pk: float) -> float:
        """Tangent azimuth at pk, radians from +Y towards +X."""
        return self.view.azimuth_at(pk)

    def check_range(self, name: str, pk: float) -> None:
        if not self.start_pk <= pk <= self.end_pk:
            raise CommandError("%s %s is outside the alignment, %s to %s" % (
                name, format_chainage(pk), format_chainage(self.start_pk),
                format_chainage(self.end_pk)))


def degrees(radians: float) -> float:
    """Radians to degrees with the library's own conversion."""
    return curvix.RadToDeg(radians)


def is_infinite_radius(r: float) -> bool:
    return r >= INFINITE_RADIUS or math.isinf(r)


def element_radii(element: dict) -> Tuple[float, float]:
    """Radius at the element's start and end (INFINITE_RADIUS for none)."""
    if element["kind"] == "arc":
        return element["radius"], element["radius"]
    if element["kind"] == "spiral":
        return element["start_radius"], element["end_radius"]
    return INFINITE_RADIUS, INFINITE_RADIUS

