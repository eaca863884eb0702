"""Stations in the chainage form engineers read: 12345.678 is K12+345.678."""

from __future__ import annotations

import math
import re
from decimal import Decimal

_CHAINAGE = re.compile(r"^\s*([+-]?)[Kk](\d+)\+(\d+(?:\.\d*)?)\s*$")


def format_chainage(pk: float, decimals: int = 3) -> str:
    """K<km>+<metres> with the metres rounded to ``decimals`` places.

    The rounding is done once, on the whole value, so that it carries into the
    kilometre: 12999.9996 gives K13+000.000, never K12+1000.000. A negative
    station keeps its sign in front (-12.5 gives -K0+012.500); a value that
    rounds to zero has no sign. NaN and infinities are returned as ``str``
    gives them.
    """
    if not math.isfinite(pk):
        return str(pk)
    text = "%.*f" % (decimals, abs(pk))
    whole, _, fraction = text.partition(".")
    km, metres = divmod(int(whole), 1000)
    sign = "-" if pk < 0 and text.strip("0.") else ""
    body = "%sK%d+%03d" % (sign, km, metres)
    return body + "." + fraction if fraction else body


def parse_station(text: str) -> float:
    """A station given as a plain number (12345.6) or as a chainage (K12+345.6).

    Raises ValueError for anything else, and for NaN or infinities.
    """
    match = _CHAINAGE.match(text)
    if match:
        sign, km, metres = match.groups()
        if Decimal(metres) >= 1000:
            raise ValueError("metres after '+' must be below 1000: %r" % text)
        # One rounding, from the exact decimal value: K12+345.678 == 12345.678.
        value = float(Decimal(km) * 1000 + Decimal(metres))
        return -value if sign == "-" else value
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("not a finite station: %r" % text)
    return value
