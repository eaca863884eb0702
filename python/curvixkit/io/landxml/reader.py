"""LandXML 1.0-1.2 alignments, read into plain element descriptions.

Elements are matched by local name, so the LandXML namespace, another
default namespace and prefixed elements all read the same. An alignment's
``CoordGeom`` may hold ``Line``, ``Curve`` (an arc: ``crvType`` arc or
absent) and ``Spiral`` (``spiType`` clothoid or absent, and the transitions
whose curvature laws the engine evaluates exactly: bloss, cosine, sinusoid
(the sine transition), biquadratic (the Helmert transition, two parabolic
halves) and cubic or cubicParabola (the cubic parabola)); anything else is refused with its type, the alignment and the line
of the file.

Points are ``"northing easting [elevation]"`` texts; x is the easting, y the
northing. Lengths and coordinates stay in the file's linear unit (reported in
:attr:`LandXMLAlignment.units`, never converted); angles are read in the
file's ``angularUnit`` / ``directionUnit`` (radians, grads, decimal degrees,
decimal dd.mmss).

Each element is placed at its stated ``<Start>``. Its start direction comes
from its own coordinates (a Line from Start to End, a Curve from Center and
Start with ``rot``, a Spiral from Start to PI, or from its chord where PI is
missing), because producers disagree on what ``dir`` means (one writes a
mathematical angle from east) while the coordinates mean the same in every
file. A stated direction is used instead only where it agrees with the
coordinates within what their written precision allows and is itself more
precise by two orders of magnitude (a short element with six-decimal
coordinates and eight-decimal grads, or a file this module wrote, whose
directions carry every digit), and as the fallback where the
coordinates give no direction (a Line of zero length).

The bytes and parser events come from :mod:`.stream`, the angle codec
and unit names from :mod:`.units`.
"""

from __future__ import annotations

import math
import os
import re
from collections import namedtuple
from typing import Any, Dict, List, NoReturn, Optional, Union

from curvixkit import _core, _plane
from curvixkit.errors import LandXMLError, StationError
from curvixkit.io.landxml.stream import LineMap, events, local, raw as raw_element
import curvixkit.io.landxml.vertical as vertical
from curvixkit.io.landxml.units import angle_from_text, read_units, text_precision
from curvixkit.stations import Equation, StationMap

PathLike = Union[str, "os.PathLike[str]"]

StatedElement = namedtuple(
    "StatedElement", "index kind line sta_start length radius radius_start radius_end turn "
                     "start end center pi direction direction_source")
StatedElement.__doc__ = """What the file states for one element (points as
(x, y), None where absent; ``direction`` the start azimuth used, in radians,
and ``direction_source`` where it came from: "coordinates", "dir" (a stated
direction, more precise and agreeing), "fallback dir" or "chain")."""

LandXMLAlignment = namedtuple(
    "LandXMLAlignment", "name start_station x y azimuth elements units equations stated path "
                        "line length profiles surfaces cant")
LandXMLAlignment.__doc__ = """One alignment of a file: ``elements`` are mappings
for ``Alignment.from_elements``; ``equations`` :class:`curvixkit.stations.Equation`
records; ``stated`` one :class:`StatedElement` per element; ``length`` the
alignment's own ``length`` attribute (None if absent); ``profiles`` its
design profiles (:class:`~curvixkit.io.landxml.vertical.ProfileDescription`,
in file order), ``surfaces`` its ground lines (ProfSurf: name and line),
``cant`` its :class:`~curvixkit.io.landxml.vertical.CantDescription` or None."""


def _scan(path, wanted):
    """Stream the file; returns (units raw or None, list of (name, line)
    of every alignment, raw data of the alignments ``wanted(name, index)``
    selects).

    Each element of a selected alignment's geometry is read when it ends
    and interpreted at once (a file fails at its first bad element, not
    after the whole stream), and every element leaves the tree once read,
    so time and memory stay proportional to the file however many elements
    an alignment holds."""
    units = None
    names = []
    kept = []
    stack: List[str] = []       # local names of the open elements
    current = None              # (depth, reader or None) of the alignment being read
    lines = LineMap()
    for event, elem in events(path, lines):
        if event == "start":
            name = local(elem.tag)
            if not stack and name != "LandXML":
                raise LandXMLError("not a LandXML file: the root element is <%s>, not "
                                   "<LandXML>" % name, path, lines(elem.sourceline))
            stack.append(name)
            if current is None and name == "Alignment" and stack[-2:-1] == ["Alignments"]:
                label = elem.get("name", "")
                names.append((label, lines(elem.sourceline)))
                reader = (_AlignmentReader(path, elem, lines, units)
                          if wanted(label, len(names) - 1) else None)
                current = (len(stack), reader)
            continue
        name = stack.pop()
        depth = len(stack) + 1                  # of the element that ended
        if current is not None and depth > current[0]:
            level, reader = depth - current[0], current[1]
            if level == 3 and stack[current[0]] == "CoordGeom":
                continue                         # a point of a geometry element: read with it
            if reader is None:
                pass
            elif level == 2 and stack[-1] == "CoordGeom":
                reader.geometry(elem)
            elif level == 1 and name in ("StaEquation", "Cant"):
                reader.equation(elem) if name == "StaEquation" else reader.cant(elem)
            elif level == 3 and stack[-1] == "ProfAlign" and stack[current[0]] == "Profile":
                reader.point(elem)
            elif level == 2 and stack[-1] == "Profile" and name in ("ProfAlign", "ProfSurf"):
                reader.profile(elem)
            elif level == 2 and stack[-1] == "Cant" and name in ("CantStation", "SpeedStation"):
                reader.point(elem)
        elif current is not None and depth == current[0]:
            if current[1] is not None:
                kept.append(current[1].raw)
            current = None
        elif name in ("Metric", "Imperial") and units is None and stack[-1:] == ["Units"]:
            units = (name, dict(elem.attrib), lines(elem.sourceline))
        elem.clear()
        # Ended siblings before this one go; the element that just ended
        # stays (empty) until its next sibling ends: removing it at once
        # corrupts older libxml2 builds (2.11 and before, as lxml 5 ships
        # for CPython 3.7), whose parser still refers to its namespace
        # declarations.
        while elem.getprevious() is not None:
            del elem.getparent()[0]
    return units, names, kept


# LandXML spiral types (lower case) -> the engine's transition of the same
# curvature law. The reversed forms and the cubic approximations are refused.
SPIRAL_TYPES = {"clothoid": "clothoid", "bloss": "bloss", "cosine": "cosine",
                "sinusoid": "sine", "biquadratic": "helmert", "cubic": "cubic",
                "cubicparabola": "cubic"}
# ... and back, for the writer (the Viennese bend has no LandXML type).
SPIRAL_NAMES = {"clothoid": "clothoid", "bloss": "bloss", "cosine": "cosine",
                "sine": "sinusoid", "helmert": "biquadratic", "cubic": "cubicParabola"}
_ANGLE_ATTRIBUTES = ("dir", "dirStart", "delta")


class _AlignmentReader:
    """One selected alignment, gathered as the stream goes. Each geometry
    element is interpreted as soon as it is complete and only that is kept
    (raw copies of 10^5 elements cost seconds of garbage collection); the
    raw data stays only where the units are not known yet."""

    def __init__(self, path, elem, lines, units):
        self.lines = lines
        self.raw = {"name": elem.get("name", ""), "line": lines(elem.sourceline),
                    "attrib": dict(elem.attrib), "geometry": [], "equations": [],
                    "profiles": [], "cant": None}
        self.points = []  # type: List[Dict[str, Any]]  # of the ProfAlign or Cant being read
        self.ctx = _Context(path, self.raw["name"])
        # The units stated before the alignment, or the defaults: a Units
        # element after it makes what was read with them provisional.
        self.units_known = units is not None
        self.raw["units"] = self.units = read_units(units, path)

    def geometry(self, elem):
        if not local(elem.tag):
            return
        raw = raw_element(elem, self.lines)
        try:
            result = _element(self.ctx, raw, self.units, len(self.raw["geometry"]))
        except LandXMLError as exc:
            if self.units_known or exc.attribute not in _ANGLE_ATTRIBUTES:
                raise
            result = None
        self.raw["geometry"].append((None if result is not None and self.units_known else raw,
                                     result))

    def equation(self, elem):
        self.raw["equations"].append(raw_element(elem, self.lines))

    def point(self, elem):
        """A PVI or vertical curve of a ProfAlign, or a CantStation."""
        self.points.append(raw_element(elem, self.lines))

    def profile(self, elem):
        item = raw_element(elem, self.lines)
        item["points"], self.points = (self.points if item["tag"] == "ProfAlign" else []), []
        self.raw["profiles"].append(item)

    def cant(self, elem):
        item = raw_element(elem, self.lines)
        item["points"], self.points = self.points, []
        if self.raw["cant"] is None:
            self.raw["cant"] = item


# ------------------------------------------------------------ interpretation

class _Context:
    """Where an interpretation failure points: file, alignment, element."""

    def __init__(self, path, alignment):
        self.path = path
        self.alignment = alignment

    def fail(self, message, line, element=None, attribute=None) -> NoReturn:
        what = element or "alignment"
        raise LandXMLError("%s in alignment %r: %s" % (what, self.alignment, message),
                           self.path, line, element, attribute)


def _number(ctx, raw, key, required=True, allow_inf=False, positive=False, default=None):
    text = raw["attrib"].get(key)
    if text is None:
        if required:
            ctx.fail("attribute %s is missing" % key, raw["line"], raw["tag"], key)
        return default
    try:
        value = float(text)
    except ValueError:
        ctx.fail("attribute %s=%r is not a number" % (key, text), raw["line"], raw["tag"], key)
    if math.isnan(value) or (math.isinf(value) and not (allow_inf and value > 0)):
        ctx.fail("attribute %s=%r must be %s" % (key, text, "a positive number or INF"
                                                 if allow_inf else "finite"),
                 raw["line"], raw["tag"], key)
    if positive and not value > 0:
        ctx.fail("attribute %s=%r must be greater than 0" % (key, text), raw["line"], raw["tag"],
                 key)
    if not positive and not allow_inf and key in ("length", "constant") and value < 0:
        ctx.fail("attribute %s=%r must not be negative" % (key, text), raw["line"], raw["tag"], key)
    return value


def _angle(ctx, raw, key, unit):
    text = raw["attrib"].get(key)
    if text is None:
        return None, None
    try:
        return angle_from_text(text, unit)
    except ValueError as exc:
        ctx.fail("attribute %s=%r is not an angle in %s (%s)" % (key, text, unit, exc),
                 raw["line"], raw["tag"], key)


def _point(ctx, raw, name):
    """((x, y), precision) of a child point, or (None, None)."""
    child = raw["children"].get(name)
    if child is None:
        return None, None
    text, line, attrib = child
    if not text and "pntRef" in attrib:
        ctx.fail("<%s pntRef=%r>: points given by reference to CgPoints are not supported; "
                 "write the coordinates in the element" % (name, attrib["pntRef"]), line,
                 raw["tag"], name)
    fields = text.split()
    try:
        numbers = [float(f) for f in fields]
    except ValueError:
        numbers = []
    if len(numbers) not in (2, 3) or not all(map(math.isfinite, numbers)):
        ctx.fail("<%s> must hold 'northing easting [elevation]' as finite numbers, got %r"
                 % (name, text), line, raw["tag"], name)
    precision = max(text_precision(fields[0], numbers[0]), text_precision(fields[1], numbers[1]))
    return (numbers[1], numbers[0]), precision


def _choose(coordinate, coordinate_precision, stated, stated_precision):
    """The direction to use and where it came from (see the module text)."""
    if coordinate is None:
        return (stated, "fallback dir") if stated is not None else (None, None)
    # Only a stated direction two orders of magnitude finer than the
    # coordinates' own counts: at a comparable precision the coordinates'
    # rounding is usually the smaller error (six-decimal degrees against
    # six-decimal metres over a 15 m arc of radius 110 m).
    if stated is not None and 100.0 * stated_precision <= coordinate_precision:
        if abs(_plane.near(coordinate, stated) - coordinate) <= 2.0 * (coordinate_precision +
                                                                stated_precision):
            return _plane.near(coordinate, stated), "dir"
    return coordinate, "coordinates"


def _rotation(ctx, raw):
    rot = raw["attrib"].get("rot")
    if rot is None:
        ctx.fail("attribute rot (cw or ccw) is missing", raw["line"], raw["tag"], "rot")
    turn = {"cw": 1, "ccw": -1}.get(rot.strip().lower())
    if turn is None:
        ctx.fail("attribute rot=%r must be cw or ccw" % rot, raw["line"], raw["tag"], "rot")
    return turn


def _element(ctx, raw, units, index):
    """(desc mapping without placement, StatedElement without direction,
    candidate direction and precision, stated direction and precision)."""
    tag = raw["tag"]
    if tag not in ("Line", "Curve", "Spiral"):
        ctx.fail("element type <%s> is not supported (Line, Curve and Spiral are)" % tag,
                 raw["line"], tag)
    start, p_start = _point(ctx, raw, "Start")
    end, p_end = _point(ctx, raw, "End")
    center, p_center = _point(ctx, raw, "Center")
    pi, p_pi = _point(ctx, raw, "PI")
    if start is None:
        ctx.fail("<Start> is missing", raw["line"], tag, "Start")
    sta = _number(ctx, raw, "staStart", required=False)
    direction, direction_precision = None, None
    radius = r0 = r1 = None
    turn = 0
    if tag == "Line":
        length = _number(ctx, raw, "length", required=end is None)
        if length is None:
            length = _plane.distance(start, end)
        stated, stated_precision = _angle(ctx, raw, "dir", units.direction)
        if end is not None and _plane.distance(start, end) > 0.0:
            direction = _plane.azimuth(start, end)
            direction_precision = (p_start + p_end) / _plane.distance(start, end)
        desc = {"kind": "line", "length": length}
    elif tag == "Curve":
        kind = (raw["attrib"].get("crvType") or "arc").strip()
        if kind.lower() != "arc":
            ctx.fail("crvType %r is not supported (only arc)" % kind, raw["line"], tag, "crvType")
        turn = _rotation(ctx, raw)
        radius = _number(ctx, raw, "radius", required=center is None, positive=True)
        if radius is None:
            radius = _plane.distance(center, start)
            if not radius > 0.0:
                ctx.fail("<Center> and <Start> coincide and no radius is given", raw["line"],
                         tag, "radius")
        r0 = r1 = radius
        length = _number(ctx, raw, "length", required=False)
        if length is None:
            delta, _ = _angle(ctx, raw, "delta", units.angular)
            if delta is not None:
                length = radius * abs(delta)
            elif center is not None and end is not None:
                sweep = turn * (_plane.near(0.0, _plane.azimuth(center, end) - _plane.azimuth(center, start)))
                length = radius * (sweep if sweep >= 0.0 else sweep + 2.0 * math.pi)
            else:
                ctx.fail("attribute length is missing and neither delta nor Center and End give "
                         "it", raw["line"], tag, "length")
        stated, stated_precision = _angle(ctx, raw, "dirStart", units.direction)
        if center is not None and _plane.distance(center, start) > 0.0:
            direction = _plane.azimuth(center, start) + turn * (math.pi / 2.0)
            direction_precision = (p_start + p_center) / _plane.distance(center, start)
        elif end is not None and _plane.distance(start, end) > 0.0:
            direction = _plane.azimuth(start, end) - turn * length / (2.0 * radius)
            direction_precision = (p_start + p_end) / _plane.distance(start, end)
        elif pi is not None and _plane.distance(start, pi) > 0.0:
            direction = _plane.azimuth(start, pi)
            direction_precision = (p_start + p_pi) / _plane.distance(start, pi)
        desc = {"kind": "arc", "length": length, "radius": radius, "turn": turn}
    else:
        kind = (raw["attrib"].get("spiType") or "clothoid").strip()
        shape = SPIRAL_TYPES.get(kind.lower())
        if shape is None:
            ctx.fail("spiType %r is not supported (%s are; nothing is approximated)"
                     % (kind, ", ".join(sorted(SPIRAL_TYPES))), raw["line"], tag, "spiType")
        turn = _rotation(ctx, raw)
        r0 = _number(ctx, raw, "radiusStart", allow_inf=True, positive=True)
        r1 = _number(ctx, raw, "radiusEnd", allow_inf=True, positive=True)
        k0 = 0.0 if math.isinf(r0) else turn / r0
        k1 = 0.0 if math.isinf(r1) else turn / r1
        length = _number(ctx, raw, "length", required=False)
        if length is None:
            constant = _number(ctx, raw, "constant", required=False)
            if constant is None or k0 == k1 or shape != "clothoid":
                ctx.fail("attribute length is missing (and no constant gives it)", raw["line"],
                         tag, "length")
            length = constant * constant * abs(k1 - k0)
        stated, stated_precision = _angle(ctx, raw, "dirStart", units.direction)
        if pi is not None and _plane.distance(start, pi) > 0.0:
            direction = _plane.azimuth(start, pi)
            direction_precision = (p_start + p_pi) / _plane.distance(start, pi)
        elif end is not None and _plane.distance(start, end) > 0.0:
            along, right = _core.local_end(length, k0, k1, shape)
            direction = _plane.azimuth(start, end) - math.atan2(right, along)
            direction_precision = (p_start + p_end) / _plane.distance(start, end)
        if r0 == r1:
            desc = ({"kind": "line", "length": length} if math.isinf(r0) else
                    {"kind": "arc", "length": length, "radius": r0, "turn": turn})
        else:
            desc = {"kind": shape, "length": length, "start_radius": r0, "end_radius": r1,
                    "turn": turn}
    record = StatedElement(index, tag, raw["line"], sta, length, radius, r0, r1, turn, start, end,
                           center, pi, None, None)
    return desc, record, (direction, direction_precision), (stated, stated_precision)


def _curvatures(desc):
    if desc["kind"] == "line":
        return 0.0, 0.0
    if desc["kind"] == "arc":
        k = desc["turn"] / desc["radius"]
        return k, k
    return tuple(0.0 if math.isinf(r) else desc["turn"] / r
                 for r in (desc["start_radius"], desc["end_radius"]))


def _interpret(raw, units, path, chain):
    ctx = _Context(path, raw["name"])
    start_station = _number(ctx, {"attrib": raw["attrib"], "line": raw["line"], "tag": "Alignment"},
                            "staStart", required=False, default=0.0)
    total = _number(ctx, {"attrib": raw["attrib"], "line": raw["line"], "tag": "Alignment"},
                    "length", required=False)
    if not raw["geometry"]:
        ctx.fail("the alignment has no CoordGeom elements", raw["line"])
    elements, stated = [], []
    end_azimuth = None
    for index, (item, early) in enumerate(raw["geometry"]):
        if early is None or raw["units"] != units:
            early = _element(ctx, item, units, index)
        desc, record, (direction, d_prec), (given, g_prec) = early
        azimuth, source = _choose(direction, d_prec, given, g_prec)
        if azimuth is None:
            if end_azimuth is None:
                ctx.fail("the first element gives no direction (no coordinates that fix one "
                         "and no dir)", record.line, record.kind)
            azimuth, source = end_azimuth, "chain"
        if end_azimuth is not None:
            azimuth = _plane.near(end_azimuth, azimuth)
        elif azimuth < 0.0:
            azimuth += 2.0 * math.pi
        if index == 0 or not chain:
            desc["start"] = record.start
            desc["start_azimuth"] = azimuth
        elements.append(desc)
        stated.append(record._replace(direction=azimuth, direction_source=source))
        k0, k1 = _curvatures(desc)
        end_azimuth = azimuth + 0.5 * (k0 + k1) * desc["length"]
    end_station = start_station + sum(e["length"] for e in elements)
    equations = []
    for item in raw["equations"]:
        internal = _number(ctx, item, "staInternal")
        ahead = _number(ctx, item, "staAhead")
        back = _number(ctx, item, "staBack", required=False)
        equations.append((Equation(internal, back, ahead, item["attrib"].get("desc")),
                          item["line"]))
    equations.sort(key=lambda pair: pair[0].internal)
    try:
        checked = StationMap(start_station, end_station, [e for e, _ in equations]).equations
    except StationError as exc:
        number = re.search(r"station equation (\d+)", str(exc))
        line = equations[int(number.group(1))][1] if number else raw["line"]
        ctx.fail(str(exc), line, "StaEquation")
    first = elements[0]
    profiles, surfaces = vertical.read_profiles(raw["profiles"], path, raw["name"])
    joints = [start_station]
    for e in elements:
        joints.append(joints[-1] + e["length"])
    cant = (vertical.read_cant(raw["cant"], units, start_station, end_station, path, raw["name"],
                               joints) if raw["cant"] is not None else None)
    return LandXMLAlignment(raw["name"], start_station, first["start"][0], first["start"][1],
                            first["start_azimuth"], elements, units, list(checked), stated,
                            os.fspath(path), raw["line"], total, profiles, surfaces, cant)


# ------------------------------------------------------------------ public

def landxml_names(path: PathLike) -> List[str]:
    """The names of the alignments in a LandXML file, in file order ("" for
    an alignment without a name)."""
    _, names, _ = _scan(path, lambda name, index: False)
    return [name for name, _ in names]


def read_landxml(path: PathLike, name: Optional[str] = None,
                 chain: bool = False) -> LandXMLAlignment:
    """One alignment of a LandXML file as a :class:`LandXMLAlignment`.

    ``name=None`` takes the only alignment and raises, listing the names,
    when there are several. ``chain=True`` places only the first element at
    its stated start; the others follow the end of the one before.
    Raises :class:`LandXMLError` (a ``ValueError``) naming the line and the
    element or attribute at fault; ``OSError`` for a file that cannot be read.
    """
    if name is None:
        units, names, kept = _scan(path, lambda label, index: index == 0)
        if len(names) > 1:
            raise LandXMLError("the file holds %d alignments; choose one by name: %s"
                               % (len(names), ", ".join(repr(n) for n, _ in names)), path)
    else:
        units, names, kept = _scan(path, lambda label, index: label == name)
        if len(kept) > 1:
            raise LandXMLError("%d alignments are named %r (lines %s)" % (
                len(kept), name, ", ".join(str(k["line"]) for k in kept)), path, kept[1]["line"])
    if not kept:
        if not names:
            raise LandXMLError("the file holds no Alignments/Alignment", path)
        raise LandXMLError("no alignment is named %r; the file holds %s" % (
            name, ", ".join(repr(n) for n, _ in names)), path)
    return _interpret(kept[0], read_units(units, path), path, bool(chain))


