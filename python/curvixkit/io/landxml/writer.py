"""LandXML 1.2 from an alignment's elements.

Every double is written in full (``repr``) and directions in the chosen
angular unit, so that reading the file back gives the same elements to
rounding; the linear unit is the alignment's own.
"""

from __future__ import annotations

import datetime
import math
import os
from typing import Any, Iterable, Optional, Sequence, Tuple, Union

from lxml import etree

from curvixkit import _plane
from curvixkit.errors import LandXMLError, StationError
import curvixkit.io.landxml.vertical as vertical
from curvixkit.io.landxml.reader import SPIRAL_NAMES
from curvixkit.io.landxml.units import ANGULAR_UNITS, LINEAR_UNITS, LandXMLUnits, angle_text
from curvixkit.results import Element
from curvixkit.stations import StationMap

PathLike = Union[str, "os.PathLike[str]"]
NAMESPACE = "http://www.landxml.org/schema/LandXML-1.2"


def _point_text(p):
    return "%r %r" % (p[1], p[0])


def _radius_text(k):
    return "INF" if k == 0.0 else repr(1.0 / abs(k))


# Unit names other readers give (IFC's SI names, ICD's) -> LandXML's.
_LANDXML_NAMES = {"metre": "meter", "millimetre": "millimeter", "centimetre": "centimeter",
                  "kilometre": "kilometer", "feet": "foot", "ussurveyfoot": "USSurveyFoot",
                  "us_survey_foot": "USSurveyFoot"}


def _system_and_linear(units: Optional[LandXMLUnits], path: Any = None):
    system = getattr(units, "system", None)
    linear = getattr(units, "linear", None)
    if linear is not None:
        linear = _LANDXML_NAMES.get(linear.lower(), linear)
    home = next((s for s, table in LINEAR_UNITS.items() if linear in table), None)
    if linear is not None and home is None:
        raise LandXMLError("the linear unit %r has no LandXML name (%s)" % (
            linear, ", ".join(u for table in LINEAR_UNITS.values() for u in table)), path)
    # The unit says which system it belongs to (a source may name the system apart).
    system = home or system or "Metric"
    return system, linear or ("meter" if system == "Metric" else "foot")


def write_landxml(elements: Sequence[Element], start_station: float, path: PathLike,
                  name: str = "alignment", angular_unit: str = "radians",
                  equations: Iterable[Any] = (), units: Optional[LandXMLUnits] = None,
                  profile: Optional[Tuple[str, Sequence[tuple]]] = None,
                  cant: Optional[Tuple[str, Sequence[tuple], float, str]] = None) -> None:
    """Write an alignment's ``elements`` as LandXML 1.2 to ``path``.

    ``angular_unit`` is one of :data:`ANGULAR_UNITS`; ``units`` a
    :class:`curvixkit.results.Units` whose system and linear unit are
    written as given (Metric meter where none is known: nothing is
    converted); ``equations`` station equations
    (:class:`curvixkit.stations.Equation` or tuples); ``profile`` (name,
    PVI tuples) and ``cant`` (name, station tuples, gauge, axis) as the
    engine takes them (see :mod:`curvixkit.io.landxml.vertical`).
    """
    if angular_unit not in ANGULAR_UNITS:
        raise LandXMLError("angular_unit must be one of %s, got %r"
                           % (", ".join(ANGULAR_UNITS), angular_unit), path)
    geometry = list(elements)
    if not geometry:
        raise LandXMLError("an alignment without elements cannot be written", path)
    start_station = float(start_station)
    end_station = start_station + sum(g.length for g in geometry)
    try:
        kept = StationMap(start_station, end_station, equations).equations
    except StationError as exc:
        raise LandXMLError(str(exc), path) from None
    system, linear = _system_and_linear(units, path)
    now = datetime.datetime.now()
    ns = "{%s}" % NAMESPACE
    root = etree.Element(ns + "LandXML", nsmap={None: NAMESPACE}, version="1.2",
                         date=now.strftime("%Y-%m-%d"), time=now.strftime("%H:%M:%S"))
    etree.SubElement(etree.SubElement(root, ns + "Units"), ns + system, linearUnit=linear,
                     angularUnit=angular_unit, directionUnit=angular_unit)
    etree.SubElement(root, ns + "Application", name="curvixkit", manufacturer="curvixkit")
    holder = etree.SubElement(etree.SubElement(root, ns + "Alignments"), ns + "Alignment",
                              name=str(name), staStart=repr(start_station),
                              length=repr(end_station - start_station))
    coord = etree.SubElement(holder, ns + "CoordGeom")
    for number, g in enumerate(geometry, 1):
        if g.kind not in ("line", "arc") and g.kind not in SPIRAL_NAMES:
            raise LandXMLError("element %d: a %s transition has no LandXML spiral type (IFC "
                               "can hold it)" % (number, g.kind), path, None, "Spiral", "spiType")
        attrs = {"staStart": repr(g.start_station), "length": repr(g.length)}
        turn = "cw" if (g.start_curvature or g.end_curvature) > 0 else "ccw"
        if g.kind == "line":
            attrs["dir"] = angle_text(g.start_azimuth, angular_unit)
            node = etree.SubElement(coord, ns + "Line", attrs)
            points = [("Start", g.start), ("End", g.end)]
        elif g.kind == "arc":
            k = g.start_curvature
            attrs.update(rot=turn, radius=repr(1.0 / abs(k)), crvType="arc",
                         dirStart=angle_text(g.start_azimuth, angular_unit),
                         dirEnd=angle_text(g.end_azimuth, angular_unit),
                         delta=angle_text(abs(k) * g.length, angular_unit))
            node = etree.SubElement(coord, ns + "Curve", attrs)
            normal = g.start_azimuth + math.copysign(math.pi / 2.0, k)
            r = 1.0 / abs(k)
            center = (g.start[0] + r * math.sin(normal), g.start[1] + r * math.cos(normal))
            points = [("Start", g.start), ("Center", center), ("End", g.end)]
        else:
            attrs.update(rot=turn, radiusStart=_radius_text(g.start_curvature),
                         radiusEnd=_radius_text(g.end_curvature), spiType=SPIRAL_NAMES[g.kind],
                         dirStart=angle_text(g.start_azimuth, angular_unit),
                         dirEnd=angle_text(g.end_azimuth, angular_unit))
            node = etree.SubElement(coord, ns + "Spiral", attrs)
            points = [("Start", g.start)]
            if abs(g.end_azimuth - g.start_azimuth) < 3.0:
                # Tangents this close to parallel meet too far off to help a reader.
                meet = _plane.tangent_intersection(g.start, g.start_azimuth, g.end,
                                                   g.end_azimuth)
                if meet is not None and abs(math.sin(g.end_azimuth - g.start_azimuth)) >= 1e-12:
                    points.append(("PI", meet[:2]))
            points.append(("End", g.end))
        for label, p in points:
            etree.SubElement(node, ns + label).text = _point_text(p)
    for eq in kept:
        attrs = {"staInternal": repr(eq.internal), "staBack": repr(eq.back),
                 "staAhead": repr(eq.ahead)}
        if eq.desc:
            attrs["desc"] = str(eq.desc)
        etree.SubElement(holder, ns + "StaEquation", attrs)
    if profile is not None:
        holder.append(vertical.profile_element(etree, ns, profile[0], profile[1]))
    if cant is not None:
        written = units._replace(system=system, linear=linear) if units is not None else None
        holder.append(vertical.cant_element(etree, ns, cant[0], cant[1], cant[2], cant[3],
                                            written))
    etree.ElementTree(root).write(os.fspath(path), xml_declaration=True, encoding="UTF-8",
                                  pretty_print=True)

