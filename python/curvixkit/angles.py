"""Azimuths as surveyors read them: whole-circle bearings in degrees, grads
or degrees-minutes-seconds (0 at north, clockwise)."""

from __future__ import annotations

import math
from typing import Any

__all__ = ["ANGLE_UNITS", "format_angle", "angle_value"]

ANGLE_UNITS = ("deg", "grad", "dms")


def format_angle(radians: float, unit: str) -> str:
    """An azimuth as a whole-circle bearing: degrees (6 places), grads (5)
    or DDD°MM'SS.SS" (hundredths of a second, carried into the minutes)."""
    if not math.isfinite(radians):
        return str(radians)
    if unit == "deg":
        return "%.6f" % (math.degrees(radians) % 360.0)
    if unit == "grad":
        return "%.5f" % ((radians * 200.0 / math.pi) % 400.0)
    if unit != "dms":
        raise ValueError("angle unit must be one of %s, got %r" % (", ".join(ANGLE_UNITS), unit))
    centi = int(round(math.degrees(radians) * 360000.0)) % (360 * 360000)
    return "%d°%02d'%05.2f\"" % (centi // 360000, centi // 6000 % 60, centi % 6000 / 100.0)


def angle_value(radians: float, unit: str) -> Any:
    """The azimuth for a CSV or GeoJSON field: a float for deg and grad, the text for dms."""
    if unit == "deg":
        return math.degrees(radians) % 360.0
    if unit == "grad":
        return (radians * 200.0 / math.pi) % 400.0
    return format_angle(radians, unit)
