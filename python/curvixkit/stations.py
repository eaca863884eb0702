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
from typing import Any, Iterable, Iterator, List, Optional, Tuple

import numpy as np

from curvixkit.errors import StationError

__all__ = [
    "StationError", "StationMap", "Equation", "Region", "format_station", "format_range",
    "format_beyond", "parse_station", "default_style", "station_grid", "count_grid_rows",
    "merge_marks", "grid_blocks", "MERGE_TOLERANCE", "MAX_ROWS",
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


def _check_style(style, prefix):
    if style not in STYLES:
        raise StationError("style must be one of %s, got %r" % (", ".join(map(repr, STYLES)), style))
    if prefix is not None:
        if style == "us":
            raise StationError("100-foot stations (style 'us') take no letter prefix, got %r" % prefix)
        if not isinstance(prefix, str) or not _PREFIX.match(prefix):
            raise StationError("a station prefix is letters only (K, DK, AK), got %r" % (prefix,))


def _format_one(value: float, style: str, decimals: int, letters: str, rounding: str) -> str:
    if not math.isfinite(value):
        return str(value)
    if rounding == "nearest":
        # '%.*f' rounds the double's exact value half to even, as a Decimal
        # quantize with ROUND_HALF_EVEN does, at a tenth of its cost.
        text = "%.*f" % (decimals, abs(value))
        negative = value < 0
    else:
        # Decimal(value) is the double's exact value, so there is one rounding;
        # the context holds every digit of any double with 20 decimals.
        with localcontext() as ctx:
            ctx.prec = 400
            rounded = Decimal(value).quantize(Decimal(1).scaleb(-decimals),
                                              rounding=_ROUNDING[rounding])
        text = format(abs(rounded), "f")
        negative = rounded < 0
    whole, _, fraction = text.partition(".")
    major, minor = divmod(int(whole), _UNIT[style])
    width = 3 if _UNIT[style] == 1000 else 2
    sign = "-" if negative and text.strip("0.") else ""  # a value that rounds to zero has no sign
    body = "%s%s%d+%0*d" % (sign, letters, major, width, minor)
    return body + "." + fraction if decimals else body


def format_station(value: Any, style: str = "k", decimals: Optional[int] = None,
                   prefix: Optional[str] = None, rounding: str = "nearest") -> Any:
    """``value`` as chainage text in ``style`` (see the module table): a
    ``str`` for a number, a list of them (nested as the input) for an array.

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
    letters = prefix if prefix is not None else ("K" if style == "k" else "")
    if np.ndim(value) == 0:
        return _format_one(float(value), style, decimals, letters, rounding)
    values = np.asarray(value, dtype=float)
    texts = [_format_one(v, style, decimals, letters, rounding) for v in values.ravel().tolist()]
    if values.ndim == 1:
        return texts
    return np.array(texts, dtype=object).reshape(values.shape).tolist()


def default_style(units: Any) -> str:
    """The chainage style of a file in ``units`` (a :class:`curvixkit.results.Units`
    or None): ``"us"`` (100-foot stations) where the linear unit is a foot,
    else ``"k"``."""
    linear = str(getattr(units, "linear", "") or "").lower()
    return "us" if "feet" in linear or "foot" in linear else "k"


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

    ``style`` is the chainage style :meth:`format` writes (see the module
    table); an alignment's map has the style of its file's unit.
    """

    def __init__(self, start_station: float, end_station: float,
                 equations: Iterable[Any] = (), style: str = "k") -> None:
        _check_style(style, None)
        self.style = style
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

    def to_display(self, internal: Any, extend: bool = False) -> Any:
        """Display stations of internal stations (array in, array out; a
        scalar gives a float). Region 0 is the identity. Stations outside the
        alignment give NaN, as the alignment's points there do, unless
        ``extend`` continues the first and last regions."""
        s = np.asarray(internal, dtype=float)
        r = self.region_of(s)
        out = np.where(r == 0, s, self._display[r] + (s - self._internal[r]))
        if not extend:
            out = np.where((s >= self.start_station) & (s <= self.end_station), out, np.nan)
        return float(out) if out.ndim == 0 else out

    def format(self, internal: Any, decimals: Optional[int] = None) -> Any:
        """The chainage text of internal stations: their display stations in
        this map's style (a ``str`` for a number, a list for an array); a
        station beyond an end (a PVI a rounding past it, say) is written as
        its region continues."""
        return format_station(self.to_display(internal, extend=True), self.style, decimals)

    def describe_region(self, index: int, style: str = "k", decimals: Optional[int] = None) -> str:
        """One line naming region ``index``, its display range (rounded to the
        nearest, as every chainage is shown) and the equation it starts from:
        ``region 1 (K5+350.000 to K5+779.223, from the equation at internal
        station 876.272071272522)`` (and its description, where the equation
        has one)."""
        reg = self.regions[index]
        text = "region %d (%s to %s" % (index, format_station(reg.display_start, style, decimals),
                                         format_station(reg.display_end, style, decimals))
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
        # A display station inside its region's (closed) range maps inside
        # the region, whatever the rounding of the sum.
        out = np.clip(out, self._internal[chosen], self._ends[chosen]).reshape(v.shape)
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


# ------------------------------------------------------------ station grid

# A grid station this close to a marked station (an element joint, a key
# point, a station the caller names, an equation) is left out: the marked
# row stands for it. Marked stations this close together are one row.
MERGE_TOLERANCE = 1e-6
# The most rows one grid may give.
MAX_ROWS = 10000000
CHUNK = 8192


def _grid_ranges(smap: StationMap, start: float, end: float,
                 step: float) -> List[Tuple[int, int, float, Optional[float]]]:
    """Per station-equation region: the first and last k whose display
    station k*step lies in the region and in [start, end], with the region's
    internal start and display start (None for the first region, where
    display and internal stations are one)."""
    out = []
    regions = smap.regions
    for r in regions:
        lo, hi = max(start, r.internal_start), min(end, r.internal_end)
        if lo > hi:
            continue
        d_lo = r.display_start + (lo - r.internal_start) if r.index else lo
        d_hi = r.display_start + (hi - r.internal_start) if r.index else hi
        first, last = int(math.ceil(d_lo / step)), int(math.floor(d_hi / step))
        if first * step < d_lo:
            first += 1
        if last * step > d_hi:
            last -= 1
        # The equation's own station starts the next region.
        if r.index + 1 < len(regions) and hi == r.internal_end and last * step >= d_hi:
            last -= 1
        if last >= first:
            out.append((first, last, r.internal_start, r.display_start if r.index else None))
    return out


def merge_marks(start: float, end: float,
                 marks: Iterable[Tuple[float, Any]]) -> Tuple[np.ndarray, List[Tuple[Any, ...]]]:
    """The range ends and the marks within (or within the tolerance of)
    [start, end], held inside it, sorted, with marks closer than
    MERGE_TOLERANCE made one: at the first labelled station of the group,
    with every label of the group once, in order."""
    items = [(start, None), (end, None)]
    for s, label in marks:
        s = float(s)
        if start - MERGE_TOLERANCE <= s <= end + MERGE_TOLERANCE:
            items.append((min(max(s, start), end), label))
    items.sort(key=lambda item: item[0])
    stations, labels, labelled = [], [], []  # type: List[float], List[List[Any]], List[bool]
    for s, label in items:
        if stations and s - stations[-1] <= MERGE_TOLERANCE:
            if label is not None and label not in labels[-1]:
                labels[-1].append(label)
            if label is not None and not labelled[-1]:
                stations[-1], labelled[-1] = s, True
            continue
        stations.append(s)
        labels.append([] if label is None else [label])
        labelled.append(label is not None)
    return np.array(stations, dtype=np.float64), [tuple(x) for x in labels]


def grid_blocks(smap: StationMap, start: float, end: float, step: float,
                size: int = CHUNK) -> Iterator[np.ndarray]:
    """The internal stations in [start, end] whose display station is a
    multiple of ``step``, region by region, ``size`` at a time (an
    equation's own station belongs to the region it starts)."""
    for first, last, i0, d0 in _grid_ranges(smap, start, end, step):
        for k in range(first, last + 1, size):
            display = np.arange(k, min(k + size, last + 1), dtype=np.float64) * step
            yield display if d0 is None else i0 + (display - d0)


def count_grid_rows(smap: StationMap, start: float, end: float, step: float,
                    marks: int = 0) -> int:
    """An upper bound of the rows :func:`station_grid` gives (grid stations
    plus the range ends and ``marks`` marked stations, before merging)."""
    return sum(b - a + 1 for a, b, _, _ in _grid_ranges(smap, start, end, step)) + marks + 2


def station_grid(smap: StationMap, start: float, end: float, step: float,
                 marks: Iterable[Tuple[float, Any]] = (),
                 size: int = CHUNK) -> Iterator[Tuple[np.ndarray, List[Tuple[Any, ...]]]]:
    """Rows of internal stations in [start, end], a block at a time:
    ``(stations, labels)`` in increasing station, ``labels[i]`` the labels of
    the marks at ``stations[i]`` (empty for a grid station).

    The grid is every multiple of ``step`` of the *display* station (so rows
    fall at round chainage after a station equation too), region by region;
    ``marks`` are (internal station, label) pairs (element joints, key
    points, named stations) and the range ends are always rows. Raises
    :class:`StationError` for a step that is not a positive number and for
    more than :data:`MAX_ROWS` rows.
    """
    if not (isinstance(step, (int, float)) and math.isfinite(step) and step > 0):
        raise StationError("step must be a positive number, got %r" % (step,))
    named, names = merge_marks(start, end, marks)
    total = count_grid_rows(smap, start, end, step, len(named))
    if total > MAX_ROWS:
        raise StationError("a step of %g gives about %d rows (at most %d); use a larger step"
                           % (step, total, MAX_ROWS))
    taken = 0

    def merge(grid: np.ndarray, upto: float) -> Tuple[np.ndarray, List[Tuple[Any, ...]]]:
        nonlocal taken
        if named.size and grid.size:
            i = np.searchsorted(named, grid)
            near = np.zeros(grid.shape, dtype=bool)
            for j in (i - 1, i):
                ok = (j >= 0) & (j < named.size)
                near[ok] |= np.abs(named[j[ok]] - grid[ok]) <= MERGE_TOLERANCE
            grid = grid[~near]
        stop = int(np.searchsorted(named, upto, side="left"))
        stations = np.concatenate([grid, named[taken:stop]])
        labels = [()] * grid.size + names[taken:stop]  # type: List[Tuple[Any, ...]]
        taken = stop
        order = np.argsort(stations, kind="stable")
        return stations[order], [labels[i] for i in order]

    pending = None
    for block in grid_blocks(smap, start, end, step, size):
        if pending is not None:
            yield merge(pending, block[0])
        pending = block
    yield merge(pending if pending is not None else np.empty(0), math.inf)
