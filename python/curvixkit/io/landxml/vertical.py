"""Profiles and cant of a LandXML alignment: read into plain descriptions for
the engine, and written back.

Profile
-------
``Profile/ProfAlign`` holds the design profile as PVIs (``<PVI>station
elevation</PVI>``) with vertical curves at the interior ones:
``ParaCurve length`` (a parabola of that horizontal length centred on its
PVI), ``UnsymParaCurve lengthIn lengthOut`` (an asymmetric parabola) and
``CircCurve radius length`` (a circle tangent to both grades). A circle is
fixed by its radius and the grades; producers write its ``length`` as the arc
length or as the horizontal extent, so the length is only kept for the
checks. Producers write the radius signed or unsigned; its sense comes from
the grades. ``ProfSurf`` elements are ground lines: they are listed apart
and never taken for the design. A PVI written twice in a row (one producer
does this) is read once, and so noted.

Cant
----
``Cant/CantStation`` gives the applied cant at stations: ``appliedCant``
with the side in ``curvature`` ("cw": a right-hand curve, so the left rail
is the raised one) and ``transitionType`` for the ramp that starts at the
station. LandXML 1.2 does not state the unit of cant: rail practice, and
the files (an export writes ``appliedCant="60"`` with ``gauge="1.435"``
where the same design's IFC and tables say 0.06 m), give millimetres in a
metric file and inches in an imperial one; the reader converts to the
alignment's linear unit (so 60 reads as 0.06 m), and the writer back. A
cant larger than the gauge after that is refused: it cannot be a cant.
Signed cant is positive where the right rail is the raised one.

One export writes its cant stations after a station equation as distances
from the alignment's start (its last cant station is the alignment's
length, not its end station). Where the list read as stations ends past
the alignment's end, the shortest tail that, read as distances, falls
inside the alignment and keeps the stations in order is taken as
distances, and so noted.
"""

from __future__ import annotations

import bisect
import math
from collections import namedtuple
from typing import Any, Dict, List, Optional, Sequence, Tuple

from curvixkit.errors import LandXMLError
from curvixkit.io.landxml.units import LINEAR_UNITS

__all__ = ["ProfileDescription", "CantDescription", "CANT_UNIT", "TRANSITIONS", "AXES",
           "read_profiles", "read_cant", "profile_element", "cant_element"]

ProfileDescription = namedtuple("ProfileDescription", "name line pvis lines stated_lengths notes")
ProfileDescription.__doc__ = """A ProfAlign as the engine takes it: ``pvis``
are (station, elevation[, curve, value[, value]]) tuples (curve
"parabola" with its length, "asymmetric_parabola" with the lengths before
and after, "arc" with its radius), ``lines`` the line of each PVI,
``stated_lengths`` a CircCurve's stated length (None elsewhere), ``notes``
what the reader did about the file's habits."""

CantDescription = namedtuple("CantDescription", "name line stations gauge axis lines notes")
CantDescription.__doc__ = """A Cant as the engine takes it: ``stations`` are
(station, signed cant in the linear unit, transition) tuples, ``gauge`` in
the linear unit, ``axis`` "inside_rail", "centre" or "outside_rail"."""

# Cant is written in millimetres (metric) or inches (imperial).
CANT_UNIT = {"Metric": 0.001, "Imperial": 0.0254}
# LandXML transitionType -> the engine's transition shape. LandXML writes
# "clothoid" for the linear ramp of cant under a clothoid.
TRANSITIONS = {"clothoid": "linear", "linear": "linear", "bloss": "bloss", "cosine": "cosine",
               "sine": "sine", "sinusoid": "sine", "helmert": "helmert",
               "biquadratic": "helmert"}
_WRITTEN_TRANSITION = {"linear": "clothoid", "bloss": "bloss", "cosine": "cosine",
                       "sine": "sinusoid", "helmert": "biquadratic"}
AXES = {"insiderail": "inside_rail", "center": "centre", "centre": "centre",
        "outsiderail": "outside_rail", "centerline": "centre"}
_WRITTEN_AXIS = {"inside_rail": "insideRail", "centre": "center", "outside_rail": "outsideRail"}


def _fail(path: Any, alignment: str, message: str, line: Optional[int], element: str,
          attribute: Optional[str] = None) -> LandXMLError:
    return LandXMLError("%s in alignment %r: %s" % (element, alignment, message), path, line,
                        element, attribute)


def _value(raw: Dict[str, Any], key: str, path: Any, alignment: str,
           required: bool = True) -> Optional[float]:
    text = raw["attrib"].get(key)
    if text is None:
        if required:
            raise _fail(path, alignment, "attribute %s is missing" % key, raw["line"], raw["tag"],
                        key)
        return None
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise _fail(path, alignment, "attribute %s=%r must be a finite number" % (key, text),
                    raw["line"], raw["tag"], key)
    return value


def _station_elevation(raw: Dict[str, Any], path: Any, alignment: str) -> Tuple[float, float]:
    fields = raw["text"].split()
    try:
        numbers = [float(f) for f in fields]
    except ValueError:
        numbers = []
    if len(numbers) != 2 or not all(map(math.isfinite, numbers)):
        raise _fail(path, alignment, "<%s> must hold 'station elevation' as finite numbers, got %r"
                    % (raw["tag"], raw["text"]), raw["line"], raw["tag"], raw["tag"])
    return numbers[0], numbers[1]


def read_profiles(items: Sequence[Dict[str, Any]], path: Any,
                  alignment: str) -> Tuple[List[ProfileDescription], List[Tuple[str, int]]]:
    """The design profiles (ProfAlign, in file order) and the ground lines
    (ProfSurf: (name, line)) of the raw items the stream kept."""
    profiles, surfaces = [], []
    for item in items:
        if item["tag"] == "ProfSurf":
            surfaces.append((item["attrib"].get("name", ""), item["line"]))
            continue
        pvis, lines, stated, notes = [], [], [], []  # type: List[tuple], List[int], List[Any], List[str]
        for raw in item["points"]:
            tag = raw["tag"]
            if tag == "Feature":  # a producer's own properties, no geometry
                continue
            s, z = _station_elevation(raw, path, alignment)
            if tag == "PVI":
                pvi = (s, z)  # type: tuple
                length = None
            elif tag == "ParaCurve":
                pvi = (s, z, "parabola", _value(raw, "length", path, alignment))
                length = None
            elif tag == "UnsymParaCurve":
                pvi = (s, z, "asymmetric_parabola", _value(raw, "lengthIn", path, alignment),
                       _value(raw, "lengthOut", path, alignment))
                length = None
            elif tag == "CircCurve":
                radius = _value(raw, "radius", path, alignment)
                length = _value(raw, "length", path, alignment, required=False)
                pvi = (s, z, "arc", abs(radius), length)  # type: ignore[arg-type]
            else:
                raise _fail(path, alignment, "<%s> is not a profile element (PVI, ParaCurve, "
                            "UnsymParaCurve, CircCurve)" % tag, raw["line"], tag)
            if pvis and pvis[-1] == pvi and len(pvi) == 2:
                notes.append("line %d: the PVI at station %r is written twice; read once"
                             % (raw["line"], s))
                continue
            pvis.append(pvi)
            lines.append(raw["line"])
            stated.append(length)
        if len(pvis) < 2:
            raise _fail(path, alignment, "a profile needs at least two PVIs, got %d" % len(pvis),
                        item["line"], "ProfAlign")
        profiles.append(ProfileDescription(item["attrib"].get("name", ""), item["line"], pvis,
                                           lines, stated, notes))
    return profiles, surfaces


def _cant_scale(units: Any, path: Any, line: Optional[int]) -> float:
    """Linear units per unit of cant (mm or inches)."""
    system = getattr(units, "system", None) or "Metric"
    linear = getattr(units, "linear", None) or ("meter" if system == "Metric" else "foot")
    table = LINEAR_UNITS.get(system, {})
    if linear not in table:
        raise LandXMLError("Units: cant needs a known linear unit, got %r" % linear, path, line)
    return CANT_UNIT[system] / table[linear]


def read_cant(item: Dict[str, Any], units: Any, start: float, end: float, path: Any,
              alignment: str, joints: Sequence[float] = ()) -> CantDescription:
    """The alignment's Cant from the raw item the stream kept, its stations
    internal stations of [start, end] (see the module text)."""
    scale = _cant_scale(units, path, item["line"])
    attrib = item["attrib"]
    gauge_text = attrib.get("gauge")
    gauge = _value(item, "gauge", path, alignment)
    if not gauge > 0:  # type: ignore[operator]
        raise _fail(path, alignment, "attribute gauge=%r must be greater than 0" % gauge_text,
                    item["line"], "Cant", "gauge")
    axis_text = attrib.get("rotationPoint", "insideRail")
    axis = AXES.get(axis_text.strip().lower())
    if axis is None:
        raise _fail(path, alignment, "attribute rotationPoint=%r must be insideRail, center or "
                    "outsideRail" % axis_text, item["line"], "Cant", "rotationPoint")
    stations, lines, notes = [], [], []  # type: List[list], List[int], List[str]
    for raw in item["points"]:
        if raw["tag"] != "CantStation":
            continue
        s = _value(raw, "station", path, alignment)
        cant = _value(raw, "appliedCant", path, alignment) * scale  # type: ignore[operator]
        if abs(cant) > gauge:  # type: ignore[operator]
            raise _fail(path, alignment, "appliedCant=%r is more than the gauge %r (cant is read in "
                        "%s)" % (raw["attrib"]["appliedCant"], gauge_text,
                                 "inches" if scale > 0.01 else "millimetres"),
                        raw["line"], "CantStation", "appliedCant")
        side = raw["attrib"].get("curvature", "ccw").strip().lower()
        if side not in ("cw", "ccw"):
            raise _fail(path, alignment, "attribute curvature=%r must be cw or ccw" % side,
                        raw["line"], "CantStation", "curvature")
        kind = raw["attrib"].get("transitionType")
        shape = TRANSITIONS.get((kind or "linear").strip().lower())
        if shape is None:
            raise _fail(path, alignment, "transitionType %r is not supported (%s)" % (
                kind, ", ".join(sorted(TRANSITIONS))), raw["line"], "CantStation",
                "transitionType")
        stations.append([s, -cant if side == "cw" and cant else cant, shape])
        lines.append(raw["line"])
    _distances_after_an_equation(stations, lines, start, end, joints, notes)
    # A station a rounding off an end of the alignment is that end, so the
    # cant covers the alignment's own end station.
    slack = 1e-9 * max(1.0, abs(start), abs(end))
    for st in stations:
        for edge in (start, end):
            if abs(st[0] - edge) <= slack:
                st[0] = edge
    for i in range(1, len(stations)):
        if stations[i][0] < stations[i - 1][0]:
            raise _fail(path, alignment, "cant station %r does not follow the one before, %r"
                        % (stations[i][0], stations[i - 1][0]), lines[i], "CantStation",
                        "station")
    kept = []  # type: List[tuple]
    kept_lines = []  # type: List[int]  # for the engine's refusals
    for station, line in zip(stations, lines):
        if kept and station[0] == kept[-1][0] and station[1] == kept[-1][1]:
            continue  # the same station once more, as the distances begin
        kept.append(tuple(station))
        kept_lines.append(line)
    lines = kept_lines
    return CantDescription(attrib.get("name", ""), item["line"], kept, gauge, axis, lines, notes)


def _distances_after_an_equation(stations: List[list], lines: List[int], start: float,
                                 end: float, joints: Sequence[float], notes: List[str]) -> None:
    slack = 1e-6 * max(1.0, abs(end))
    if not stations or stations[-1][0] <= end + slack or start == 0.0:
        return
    joints = sorted(joints)

    def on_joints(values: Sequence[float]) -> int:
        count = 0
        for v in values:
            i = bisect.bisect_left(joints, v)
            count += any(abs(joints[j] - v) <= 1e-3 for j in (i - 1, i) if 0 <= j < len(joints))
        return count

    # Of the tails that read as distances fall inside the alignment and keep
    # the stations in order, the one that puts most cant stations on element
    # joints (cant ramps run along the transition curves), the shortest of equals.
    best = None  # type: Optional[Tuple[int, int]]
    for k in range(len(stations) - 1, 0, -1):
        tail = [s[0] + start for s in stations[k:]]
        if (all(start - slack <= t <= end + slack for t in tail)
                and tail[0] >= stations[k - 1][0] - slack
                and all(b >= a for a, b in zip(tail, tail[1:]))):
            score = on_joints([s[0] for s in stations[:k]] + tail)
            if best is None or score > best[0]:
                best = (score, k)
    if best is None:
        return
    k = best[1]
    last = stations[-1][0]
    for s in stations[k:]:
        s[0] = min(max(s[0] + start, start), end)
    stations[k][0] = max(stations[k][0], stations[k - 1][0])  # the same station, rounded
    notes.append("lines %d to %d: the cant stations are distances from the start (the last, %r, "
                 "is the alignment's length), read as stations %r + distance"
                 % (lines[k], lines[-1], last, start))


# ------------------------------------------------------------------ writing

def profile_element(etree: Any, ns: str, name: str, pvis: Sequence[tuple]) -> Any:
    """A ``Profile`` element holding one ProfAlign of ``pvis`` (the engine's
    PVI tuples), every number in full."""
    profile = etree.Element(ns + "Profile")
    holder = etree.SubElement(profile, ns + "ProfAlign", name=name)
    for pvi in pvis:
        text = "%r %r" % (float(pvi[0]), float(pvi[1]))
        curve = pvi[2] if len(pvi) > 2 else None
        if curve is None:
            etree.SubElement(holder, ns + "PVI").text = text
        elif curve == "parabola":
            etree.SubElement(holder, ns + "ParaCurve", length=repr(float(pvi[3]))).text = text
        elif curve == "asymmetric_parabola":
            etree.SubElement(holder, ns + "UnsymParaCurve", lengthIn=repr(float(pvi[3])),
                             lengthOut=repr(float(pvi[4]))).text = text
        else:
            attrs = {"radius": repr(float(pvi[3]))}
            if len(pvi) > 4 and pvi[4] is not None:
                attrs["length"] = repr(float(pvi[4]))
            etree.SubElement(holder, ns + "CircCurve", attrs).text = text
    return profile


def cant_element(etree: Any, ns: str, name: str, stations: Sequence[tuple], gauge: float,
                 axis: str, units: Any) -> Any:
    """A ``Cant`` element of the engine's cant stations, cant back in
    millimetres or inches."""
    scale = _cant_scale(units, None, None)
    cant = etree.Element(ns + "Cant", name=name, gauge=repr(float(gauge)),
                         rotationPoint=_WRITTEN_AXIS[axis])
    for number, (s, value, shape) in enumerate(stations, 1):
        if shape not in _WRITTEN_TRANSITION:
            raise LandXMLError("cant station %d: a %s cant transition has no LandXML "
                               "transitionType (IFC can hold it)" % (number, shape), None, None,
                               "CantStation", "transitionType")
        etree.SubElement(cant, ns + "CantStation", station=repr(float(s)),
                         appliedCant=repr(abs(float(value)) / scale),
                         curvature="cw" if value < 0 else "ccw",
                         transitionType=_WRITTEN_TRANSITION[shape])
    return cant
