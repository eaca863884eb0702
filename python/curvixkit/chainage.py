"""Stations in the chainage form engineers read: 12345.678 is K12+345.678.

Kept for the command line's older imports; :mod:`curvixkit.stations` holds
the formatter and parser (more styles, prefixes, station equations).
"""

from __future__ import annotations

from curvixkit.stations import StationError, format_station, parse_station

__all__ = ["format_chainage", "parse_station", "StationError"]


def format_chainage(pk: float, decimals: int = 3) -> str:
    """K<km>+<metres> with the metres rounded to ``decimals`` places (the
    ``"k"`` style of :func:`curvixkit.stations.format_station`): the
    rounding carries into the kilometre (12999.9996 gives K13+000.000), a
    negative station keeps its sign in front (-12.5 gives -K0+012.500), NaN
    and infinities come back as ``str`` gives them."""
    return format_station(pk, "k", decimals)
