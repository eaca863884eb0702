"""Units of a LandXML file: its angle codec (radians, grads, decimal degrees,
decimal dd.mmss; read with the precision of the written text, written with
every digit) and the linear units LandXML 1.2 names.
"""

from __future__ import annotations

import math
from decimal import Decimal, InvalidOperation
from typing import Any, Optional

from curvixkit.errors import LandXMLError
from curvixkit.results import Units

ANGULAR_UNITS = ("radians", "grads", "decimal degrees", "decimal dd.mmss")
# The linear units of LandXML 1.2 (its metLinear and impLinear types), by
# system, with their length in metres.
LINEAR_UNITS = {
    "Metric": {"millimeter": 0.001, "centimeter": 0.01, "meter": 1.0, "kilometer": 1000.0},
    "Imperial": {"foot": 0.3048, "USSurveyFoot": 1200.0 / 3937.0, "inch": 0.0254,
                 "mile": 1609.344},
}
LandXMLUnits = Units


def text_precision(text, value):
    """Half a unit of the last written decimal of ``text``, and never less
    than the double's own spacing at ``value``."""
    mantissa = text.strip().lower().partition("e")[0]
    decimals = len(mantissa.partition(".")[2])
    exponent = 0
    if "e" in text.lower():
        try:
            exponent = int(text.lower().partition("e")[2])
        except ValueError:
            exponent = 0
    # (10.0 ** 309 overflows: "0e400" is as good as no digits at all)
    return max(0.5 * 10.0 ** min(exponent - decimals, 308), abs(value) * 2.0 ** -52, 1e-300)


_UNIT_NAMES = {"radians": "radians", "radian": "radians", "grads": "grads", "grad": "grads",
               "gons": "grads", "decimal degrees": "decimal degrees",
               "decimal dd.mmss": "decimal dd.mmss"}


def angle_unit(value, path, line, attribute):
    """The angular unit named by attribute ``attribute`` (radians where it
    is absent); :class:`LandXMLError` for one this reader does not know."""
    unit = _UNIT_NAMES.get((value or "radians").strip().lower())
    if unit is None:
        raise LandXMLError("Units: %s=%r is not an angular unit this reader knows (%s)"
                           % (attribute, value, ", ".join(ANGULAR_UNITS)), path, line, "Units",
                           attribute)
    return unit


def angle_from_text(text, unit):
    """(radians, precision in radians) of an angle written in ``unit``;
    raises ValueError for text that is not one."""
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("not finite")
    precision = text_precision(text, value)
    if unit == "radians":
        return value, precision
    if unit == "grads":
        return value * (math.pi / 200.0), precision * (math.pi / 200.0)
    if unit == "decimal degrees":
        return math.radians(value), math.radians(precision)
    # decimal dd.mmss: degrees, two digits of minutes, seconds with decimals,
    # split exactly from the decimal text.
    try:
        exact = Decimal(text.strip())
    except InvalidOperation:
        raise ValueError("not a number")
    sign = -1.0 if exact < 0 else 1.0
    exact = abs(exact)
    degrees = int(exact)
    rest = (exact - degrees) * 100
    minutes = int(rest)
    seconds = (rest - minutes) * 100
    if minutes >= 60 or seconds >= 60:
        raise ValueError("minutes and seconds of dd.mmss must be below 60")
    total = float(degrees * 3600 + minutes * 60 + seconds) / 3600.0
    return sign * math.radians(total), math.radians(precision * 10000.0 / 3600.0)



def linear_unit(system: Optional[str], value: Optional[str], path: Any, line: Optional[int]) -> str:
    """The linear unit of a ``<Metric>`` or ``<Imperial>`` element as
    written, refusing a unit LandXML does not name (or one of the other
    system) with :class:`LandXMLError` naming the attribute."""
    known = LINEAR_UNITS.get(system or "", {})
    if value is None:
        return "meter" if system == "Metric" else "foot"
    if value not in known:
        raise LandXMLError("Units: linearUnit=%r is not a linear unit of <%s> (%s)"
                           % (value, system, ", ".join(known)), path, line, system, "linearUnit")
    return value


def meters_per_unit(units: Any) -> Optional[float]:
    """Metres per linear unit of ``units`` (a :class:`curvixkit.results.Units`),
    None where the unit is not known."""
    linear = getattr(units, "linear", None)
    for table in LINEAR_UNITS.values():
        if linear in table:
            return table[linear]
    return None


def read_units(raw_units, path):
    """:class:`Units` from the raw ``(system, attributes, line)`` of the
    file's units element (None: none stated, radians)."""
    if raw_units is None:
        return LandXMLUnits(None, None, "radians", "radians")
    system, attrib, line = raw_units
    return LandXMLUnits(system, linear_unit(system, attrib.get("linearUnit"), path, line),
                        angle_unit(attrib.get("angularUnit"), path, line, "angularUnit"),
                        angle_unit(attrib.get("directionUnit"), path, line, "directionUnit"))


def angle_text(radians, unit):
    """An angle in ``unit`` with every digit: 17 significant digits, so a
    reader sees from the text how precise it is (``repr`` gives the shortest
    text, which for a value near a short decimal looks like a rounded one)."""
    if unit == "radians":
        return "%.17g" % radians
    if unit == "grads":
        return "%.17g" % (radians * (200.0 / math.pi))
    degrees = math.degrees(radians)
    if unit == "decimal degrees":
        return "%.17g" % degrees
    # dd.mmss from the exact decimal value of the double, minutes and seconds
    # kept below 60 so the reader's exact split gives them back.
    sign = "-" if degrees < 0 else ""
    seconds_total = abs(Decimal(degrees)) * 3600
    whole_degrees = int(seconds_total // 3600)
    minutes = int((seconds_total - whole_degrees * 3600) // 60)
    seconds = seconds_total - whole_degrees * 3600 - minutes * 60
    text = "%d.%02d%s" % (whole_degrees, minutes,
                          format(seconds.quantize(Decimal("1e-12")), "015.12f").replace(".", ""))
    return sign + text


