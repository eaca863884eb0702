"""Stations as people write them, and the station equations that break them.

An alignment has one continuous *internal* station: its start station plus
the distance along it. Station equations (chainage breaks) give the *display*
station that drawings and stakes show: after an equation at internal station
``I`` with ahead value ``A``, the display station is ``A + (s - I)``. A back
equation (``A`` below the station it replaces) makes some display stations
occur twice; the caller then says which region is meant.

Chainage text:

===========  ==================  ==================================
style        12345.678           notes
===========  ==================  ==================================
``"k"``      ``K12+345.678``     kilometre + metres; other letter
                                 prefixes (``DK``, ``AK``) kept
``"plus"``   ``12+345.678``      the same without letters
``"us"``     ``123+45.68``       100-foot stations, two decimals
===========  ==================  ==================================

Negative stations carry their sign in front (``-K0+010.000``); the parser
also reads a sign after the letters (``K-0+010.000``).
"""

from __future__ import annotations

import math
import re
from collections import namedtuple
from decimal import ROUND_CEILING, ROUND_FLOOR, ROUND_HALF_EVEN, Decimal, localcontext
from typing import Any, Iterable, List, Optional, Tuple

import numpy as np

__all__ = [
    "StationError", "StationMap", "Equation", "Region", "format_station", "format_range",
    "format_beyond", "parse_station",
]

STYLES = ("k", "plus", "us")
_UNIT = {"k": 1000, "plus": 1000, "us": 100}
_DEFAULT_DECIMALS = {"k": 3, "plus": 3, "us": 2}
_ROUNDING = {"nearest": ROUND_HALF_EVEN, "floor": ROUND_FLOOR, "ceil": ROUND_CEILING}
_PREFIX = re.compile(r"^[A-Za-z]+$")
# sign, letters, sign after the letters, whole units, digits after '+', fraction
_CHAINAGE = re.compile(r"^\s*([+-]?)([A-Za-z]*)([+-]?)(\d+)\+(\d+)(\.\d*)?\s*$")
_EXPECTED = ("a number (12345.678) or a chainage such as K12+345.678, DK12+345.678, "
             "-K0+010.000, 12+345.678, or 123+45.67 (100-foot stations)")


class StationError(ValueError):
    """A station text or display station that cannot be read or placed."""


def _check_style(style, prefix):
    if style not in STYLES:
        raise StationError("style must be one of %s, got %r" % (", ".join(map(repr, STYLES)), style))
    if prefix is not None:
        if style == "us":
            raise StationError("100-foot stations (style 'us') take no letter prefix, got %r" % prefix)
        if not isinstance(prefix, str) or not _PREFIX.match(prefix):
            raise StationError("a station prefix is letters only (K, DK, AK), got %r" % (prefix,))


def format_station(value: float, style: str = "k", decimals: Optional[int] = None,
                   prefix: Optional[str] = None, rounding: str = "nearest") -> str:
    """``value`` as chainage text in ``style`` (see the module table).

    ``decimals`` defaults to 3 (2 for ``"us"``). The value is rounded once, as
    a whole, so the rounding carries into the kilometre: 12999.9996 gives
    K13+000.000, never K12+1000.000. ``rounding`` is ``"nearest"``,
    ``"floor"`` or ``"ceil"`` (for ranges that must not look narrower than
    they are). A value that rounds to zero has no sign. NaN and infinities
    come back as ``str`` gives them. Raises :class:`StationError` for an
    unknown style, prefix, rounding or a ``decimals`` outside 0 to 20.
    """
    _check_style(style, prefix)
    if decimals is None:
        decimals = _DEFAULT_DECIMALS[style]
    if not isinstance(decimals, int) or isinstance(decimals, bool) or not 0 <= decimals <= 20:
        raise StationError("decimals must be a whole number from 0 to 20, got %r" % (decimals,))
    if rounding not in _ROUNDING:
        raise StationError("rounding must be 'nearest', 'floor' or 'ceil', got %r" % (rounding,))
    value = float(value)
    if not math.isfinite(value):
        return str(value)
    # Decimal(value) is the double's exact value, so there is one rounding;
    # the context holds every digit of any double with 20 decimals.
    with localcontext() as ctx:
        ctx.prec = 400
        rounded = Decimal(value).quantize(Decimal(1).scaleb(-decimals),
                                          rounding=_ROUNDING[rounding])
    whole, fraction = divmod(abs(int(rounded.scaleb(decimals))), 10 ** decimals)
    major, minor = divmod(whole, _UNIT[style])
    width = 3 if _UNIT[style] == 1000 else 2
    letters = prefix if prefix is not None else ("K" if style == "k" else "")
    sign = "-" if rounded < 0 else ""
    body = "%s%s%d+%0*d" % (sign, letters, major, width, minor)
    return body + ".%0*d" % (decimals, fraction) if decimals else body


def format_range(low: float, high: float, style: str = "k", decimals: Optional[int] = None,
                 prefix: Optional[str] = None) -> str:
    """``'K0+100.000 to K1+458.595'``, rounded outwards: the text never
    shows a range narrower than the true one."""
    return "%s to %s" % (format_station(low, style, decimals, prefix, "floor"),
                         format_station(high, style, decimals, prefix, "ceil"))


def format_beyond(value: float, low: float, high: float, style: str = "k",
                  decimals: Optional[int] = None, prefix: Optional[str] = None) -> Tuple[str, str]:
    """``(value_text, range_text)`` for a message saying that ``value`` lies
    outside ``[low, high]``.

    The value is rounded away from the range and the range outwards, with
    more decimals where needed, so the printed value is visibly outside the
    printed range (999.9999 against a range from 1000 prints K0+999.999,
    not K1+000.000).
    """
    _check_style(style, prefix)
    places = _DEFAULT_DECIMALS[style] if decimals is None else decimals
    below = value < low
    # Up to 20 places: two doubles near 1e3 that differ by one spacing (1.1e-13)
    # print apart only past the twelfth.
    for places in range(places, 21):
        shown = format_station(value, style, places, prefix, "floor" if below else "ceil")
        lo_text = format_station(low, style, places, prefix, "floor")
        hi_text = format_station(high, style, places, prefix, "ceil")
        shown_value = parse_station(shown)
        if shown_value < parse_station(lo_text) or shown_value > parse_station(hi_text):
            break
    return shown, "%s to %s" % (lo_text, hi_text)


def parse_station(text: str) -> float:
    """A station written as a plain number or as chainage in any style of
    :func:`format_station` (``K12+345.678``, ``DK12+345.678``, ``K-0+010``,
    ``-K0+010``, ``12+345.678``, ``123+45.67``).

    Without letters, three digits after ``+`` mean metres of a kilometre and
    two digits mean feet of a 100-foot station. The value is rounded once
    from the exact decimal text. Raises :class:`StationError`, saying what
    was expected, for anything else and for NaN or infinities.
    """
    if not isinstance(text, str):
        raise StationError("a station text must be a str, got %s" % type(text).__name__)
    match = _CHAINAGE.match(text)
    if match:
        sign, letters, sign_after, major, minor, fraction = match.groups()
        if sign and sign_after:
            raise StationError("station %r has two signs; expected %s" % (text, _EXPECTED))
        if letters or len(minor) == 3:
            unit = 1000
        elif len(minor) == 2:
            unit = 100
        else:
            raise StationError("station %r: without letters, '+' is followed by three digits "
                               "(12+345.678) or two (123+45.67); expected %s" % (text, _EXPECTED))
        minor_value = Decimal(minor + (fraction or ""))
        if minor_value >= unit:
            raise StationError("station %r: the part after '+' must be below %d; expected %s"
                               % (text, unit, _EXPECTED))
        value = float(Decimal(major) * unit + minor_value)
        return -value if (sign or sign_after) == "-" else value
    try:
        value = float(text)
    except ValueError:
        raise StationError("not a station: %r; expected %s" % (text, _EXPECTED)) from None
    if not math.isfinite(value):
        raise StationError("not a finite station: %r; expected %s" % (text, _EXPECTED))
    return value


# --------------------------------------------------------------- equations

Equation = namedtuple("Equation", "internal back ahead desc")
Equation.__doc__ = """A station equation: at internal station ``internal`` the
display station jumps from ``back`` to ``ahead``."""

Region = namedtuple("Region", "index internal_start internal_end display_start display_end desc")
Region.__doc__ = """A stretch of constant display offset: region 0 runs from the
start to the first equation, region i from equation i onwards."""


def _equation_fields(item, index):
    if isinstance(item, Equation):
        return item
    if hasattr(item, "get"):
        get = item.get
        return Equation(get("internal"), get("back"), get("ahead"), get("desc"))
    fields = tuple(item)
    if not 2 <= len(fields) <= 4:
        raise StationError("station equation %d: expected (internal, back, ahead[, desc]) or "
                           "(internal, ahead), got %r" % (index, item))
    if len(fields) == 2:
        return Equation(fields[0], None, fields[1], None)
    return Equation(*(fields + (None,) * (4 - len(fields))))


def _finite(value, what):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise StationError("%s must be a number, got %r" % (what, value)) from None
    if not math.isfinite(number):
        raise StationError("%s must be finite, got %r" % (what, value))
    return number


class StationMap:
    """Conversions between internal and display stations.

    ``equations`` are :class:`Equation` records, mappings with the same keys,
    or tuples ``(internal, back, ahead[, desc])``, in increasing internal
    station within ``[start_station, end_station]``. A missing ``back`` is
    the display station the region before reaches there; a stated ``back``
    is kept as stated in :attr:`equations` (diagnostics compare it), while
    the conversions always use the region before.
    """

    def __init__(self, start_station: float, end_station: float,
                 equations: Iterable[Any] = ()) -> None:
        start = _finite(start_station, "start station")
        end = _finite(end_station, "end station")
        if end < start:
            raise StationError("end station %r is before start station %r" % (end, start))
        self.start_station, self.end_station = start, end
        kept = []  # type: List[Equation]
        ahead_before, internal_before = start, start
        for i, item in enumerate(equations):
            eq = _equation_fields(item, i)
            what = "station equation %d" % i
            internal = _finite(eq.internal, what + " internal station")
            ahead = _finite(eq.ahead, what + " ahead station")
            if not start <= internal <= end:
                raise StationError("%s: internal station %r is outside the alignment, %r to %r"
                                   % (what, internal, start, end))
            if kept and internal <= kept[-1].internal:
                raise StationError("%s: internal station %r does not follow the one before, %r"
                                   % (what, internal, kept[-1].internal))
            reached = internal if not kept else ahead_before + (internal - internal_before)
            back = reached if eq.back is None else _finite(eq.back, what + " back station")
            kept.append(Equation(internal, back, ahead, eq.desc))
            ahead_before, internal_before = ahead, internal
        self.equations = tuple(kept)
        self._internal = np.array([start] + [e.internal for e in kept])
        self._display = np.array([start] + [e.ahead for e in kept])
        self._ends = np.append(self._internal[1:], end)

    @property
    def regions(self) -> List[Region]:
        """One :class:`Region` per stretch, in order."""
        out = []
        for i in range(len(self._internal)):
            lo, hi = float(self._internal[i]), float(self._ends[i])
            d0 = float(self._display[i])
            d1 = hi if i == 0 else d0 + (hi - lo)
            out.append(Region(i, lo, hi, d0, d1, self.equations[i - 1].desc if i else None))
        return out

    def region_of(self, internal: Any) -> Any:
        """Region index of internal stations (an equation's own station
        belongs to the region it starts; stations beyond the ends to the
        first and last regions)."""
        s = np.asarray(internal, dtype=float)
        return np.searchsorted(self._internal[1:], s, side="right")

    def to_display(self, internal: Any) -> Any:
        """Display stations of internal stations (array in, array out; a
        scalar gives a float). Region 0 is the identity."""
        s = np.asarray(internal, dtype=float)
        r = self.region_of(s)
        out = np.where(r == 0, s, self._display[r] + (s - self._internal[r]))
        return float(out) if out.ndim == 0 else out

    def describe_region(self, index: int, style: str = "k", decimals: Optional[int] = None) -> str:
        """One line naming region ``index``, its display range and the
        equation it starts from: ``region 1 (K5+350.000 to K5+779.223, from the
        equation at internal station 876.272071272522)`` (and its description,
        where the equation has one)."""
        reg = self.regions[index]
        text = "region %d (%s" % (index, format_range(reg.display_start, reg.display_end, style,
                                                       decimals))
        if index:
            text += ", from the equation at internal station %r" % reg.internal_start
            if reg.desc:
                text += " %r" % reg.desc
        return text + ")"

    def from_display(self, value: Any, region: Any = None) -> Any:
        """Internal stations of display stations.

        Each display station is looked up in the regions whose display range
        (closed at both ends) holds it. With several candidates (after a
        back equation) ``region`` must say which; a display station that no
        region holds (inside the gap of an ahead equation, or beyond the
        ends) raises too. ``region`` may be one index or one per value.
        """
        v = np.asarray(value, dtype=float)
        flat = np.atleast_1d(v).ravel()
        regions = self.regions
        lo = np.array([r.display_start for r in regions])
        hi = np.array([r.display_end for r in regions])
        inside = (flat[:, None] >= lo[None, :]) & (flat[:, None] <= hi[None, :])
        if region is None:
            count = inside.sum(axis=1)
            if np.any(count != 1):
                k = int(np.argmax(count != 1))
                self._refuse(flat[k], np.flatnonzero(inside[k]), lo, hi)
            chosen = np.argmax(inside, axis=1)
        else:
            chosen = np.broadcast_to(np.asarray(region), v.shape).ravel()
            if chosen.dtype.kind not in "iu" or np.any((chosen < 0) | (chosen >= len(regions))):
                raise StationError("region must be a whole number from 0 to %d, got %r"
                                   % (len(regions) - 1, region))
            bad = ~inside[np.arange(flat.size), chosen]
            if np.any(bad):
                k = int(np.argmax(bad))
                shown, span = format_beyond(flat[k], lo[chosen[k]], hi[chosen[k]])
                raise StationError("display station %s is outside %s, which runs %s"
                                   % (shown, "region %d" % chosen[k], span))
        out = np.where(chosen == 0, flat, self._internal[chosen] + (flat - self._display[chosen]))
        out = out.reshape(v.shape)
        return float(out) if out.ndim == 0 else out

    def __repr__(self) -> str:
        n = len(self.equations)
        return "<StationMap %r to %r, %d equation%s>" % (
            self.start_station, self.end_station, n, "" if n == 1 else "s")

    def _refuse(self, value: float, candidates: Any, lo: Any, hi: Any) -> None:
        if not np.isfinite(value):
            raise StationError("display station must be finite, got %r" % value)
        if len(candidates) > 1:
            raise StationError(
                "display station %s occurs in %s and in %s; give region=%d or region=%d"
                % (format_station(value), self.describe_region(candidates[0]),
                   self.describe_region(candidates[1]), candidates[0], candidates[1]))
        low, high = float(lo.min()), float(hi.max())
        if low <= value <= high:
            raise StationError("display station %s lies in the gap of a station equation; the "
                               "regions are %s" % (format_station(value), "; ".join(
                                   self.describe_region(i) for i in range(len(lo)))))
        shown, span = format_beyond(value, low, high)
        raise StationError("display station %s is outside the alignment, %s" % (shown, span))
