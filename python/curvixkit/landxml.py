"""LandXML 1.0-1.2 horizontal alignments, read and written.

Reading
-------
Elements are matched by local name, so the LandXML namespace, another
default namespace and prefixed elements all read the same. An alignment's
``CoordGeom`` may hold ``Line``, ``Curve`` (an arc: ``crvType`` arc or
absent) and ``Spiral`` (a clothoid: ``spiType`` clothoid or absent); anything
else is refused with its type, the alignment and the line of the file.

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

The file is read incrementally (lxml's pull parser, fed in blocks) and the
contents of ``Surfaces`` elements are passed over at the byte level (only
their line feeds are counted), never parsed into a tree, so a file with a TIN of gigabytes reads in time
proportional to its size with memory bounded by its alignments. lxml is used
with entity expansion, DTD loading and network access off and its size
limits on; a document type declaration is refused outright (LandXML has
none), so entity tricks fail at once and nothing outside the file is read.

Writing
-------
:func:`write_landxml` writes LandXML 1.2 with every double in full (``repr``)
and directions in the chosen angular unit, so that reading it back gives the
same elements to rounding.
"""

from __future__ import annotations

import bisect
import datetime
import math
import os
import re
from collections import namedtuple
from decimal import Decimal, InvalidOperation
from typing import Any, Dict, Iterable, List, NoReturn, Optional, Union

from lxml import etree

from curvixkit.diagnostics import _angle_between, _distance, clothoid_local, element_geometry
from curvixkit.errors import LandXMLError
from curvixkit.stations import Equation, StationError, StationMap

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["LandXMLError", "LandXMLAlignment", "LandXMLUnits", "StatedElement",
           "landxml_names", "read_landxml", "write_landxml", "ANGULAR_UNITS"]



NAMESPACE = "http://www.landxml.org/schema/LandXML-1.2"
ANGULAR_UNITS = ("radians", "grads", "decimal degrees", "decimal dd.mmss")
_BLOCK = 1 << 22


LandXMLUnits = namedtuple("LandXMLUnits", "system linear angular direction")
LandXMLUnits.__doc__ = """Units as the file states them: ``system`` "Metric" or
"Imperial", ``linear`` the linearUnit as written ("meter", "USSurveyFoot"),
``angular`` and ``direction`` one of :data:`ANGULAR_UNITS`."""

StatedElement = namedtuple(
    "StatedElement", "index kind line sta_start length radius radius_start radius_end turn "
                     "start end center pi direction direction_source")
StatedElement.__doc__ = """What the file states for one element (points as
(x, y), None where absent; ``direction`` the start azimuth used, in radians,
and ``direction_source`` where it came from: "coordinates", "dir" (a stated
direction, more precise and agreeing), "fallback dir" or "chain")."""

LandXMLAlignment = namedtuple(
    "LandXMLAlignment", "name start_station x y azimuth elements units equations stated path "
                        "line length")
LandXMLAlignment.__doc__ = """One alignment of a file: ``elements`` are mappings
for ``Alignment.from_elements``; ``equations`` :class:`curvixkit.stations.Equation`
records; ``stated`` one :class:`StatedElement` per element; ``length`` the
alignment's own ``length`` attribute (None if absent)."""


def _local(tag):
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


# ----------------------------------------------------------------- streaming

_SURFACES = b"Surfaces"
_NAME_CHARS = re.compile(rb"[A-Za-z_][\w.\-]*:$")
_START_TAG = re.compile(rb"""<(?:[A-Za-z_][\w.\-]*:)?Surfaces"""
                        rb"""((?:\s+[^\s=/>]+\s*=\s*(?:"[^"]*"|'[^']*'))*)\s*(/?)>""")


class _LineMap:
    """Real line numbers of the parser's lines: the line feeds of a skipped
    Surfaces content are not fed to the parser (it would have to read them),
    so every parser line from the closing tag on moves down by them."""

    def __init__(self):
        self.thresholds = []
        self.shifts = []

    def add(self, parser_line, removed):
        self.thresholds.append(parser_line)
        self.shifts.append(removed + (self.shifts[-1] if self.shifts else 0))

    def __call__(self, line):
        if not line:
            return None
        k = bisect.bisect_right(self.thresholds, line)
        return line + (self.shifts[k - 1] if k else 0)


def _filtered_blocks(stream, lines):
    """The bytes of ``stream`` with the content of every ``Surfaces`` element
    left out (one line feed stands for it; ``lines`` learns how many it
    held, so line numbers stay right). Comments and CDATA sections are stepped over whole. Works on any
    ASCII-compatible encoding; in others nothing matches and nothing is
    skipped (the content is then parsed like any other)."""
    state: Dict[str, Any] = {"buf": b"", "pos": 0, "eof": False, "fed": 0, "removed": 0}
    inside = None                     # the closing tag searched for, or None

    def fill():
        block = stream.read(_BLOCK)
        state["buf"] = state["buf"][state["pos"]:] + block
        state["pos"] = 0
        state["eof"] = not block

    def emit(end):
        buf, pos = state["buf"], state["pos"]
        state["pos"] = end
        if not inside:
            state["fed"] += buf.count(b"\n", pos, end)
            return buf[pos:end]
        state["removed"] += buf.count(b"\n", pos, end)
        return b""

    while True:
        if not state["eof"] and len(state["buf"]) - state["pos"] < 4096:
            fill()
        buf, pos, eof = state["buf"], state["pos"], state["eof"]
        bang = buf.find(b"<!", pos)
        hit = buf.find(inside or _SURFACES, pos)
        if bang == -1 and hit == -1:
            if eof:
                yield emit(len(buf))
                return
            yield emit(max(pos, len(buf) - 512))   # a name may straddle the block end
            fill()
            continue
        if bang != -1 and (hit == -1 or bang < hit):
            if len(buf) - bang < 9 and not eof:
                yield emit(bang)
                fill()
                continue
            closer = b"-->" if buf.startswith(b"<!--", bang) else (
                b"]]>" if buf.startswith(b"<![CDATA[", bang) else None)
            if closer is None and not inside and buf.startswith(b"<!DOCTYPE", bang):
                # Refused before the parser sees it: no entity is ever
                # declared, so none can be expanded or fetched.
                raise LandXMLError("the file has a document type declaration, which LandXML "
                                   "files do not use; it is refused so that no entity is "
                                   "expanded and nothing outside the file is read", None,
                                   lines(state["fed"] + 1 + buf.count(b"\n", pos, bang)))
            if closer is None:
                yield emit(bang + 2)
                continue
            end = buf.find(closer, bang + 4)
            if end == -1:
                if eof:
                    yield emit(len(buf))       # the parser reports the open comment
                    return
                yield emit(bang)
                fill()
                continue
            yield emit(end + len(closer))
            continue
        if inside:
            tail = re.compile(re.escape(inside) + rb"\s*>").match(buf, hit)
            if tail is None and len(buf) - hit < 512 and not eof:
                yield emit(hit)
                fill()
                continue
            if tail is None:
                yield emit(hit + 1)
                continue
            yield emit(hit)
            inside = None
            if state["removed"]:
                state["fed"] += 1
                lines.add(state["fed"] + 1, state["removed"] - 1)
                state["removed"] = 0
                yield b"\n"
            yield emit(tail.end())
            continue
        # A candidate start tag: '<' or '<prefix:' right before the name.
        lt = buf.rfind(b"<", max(pos, hit - 256), hit)
        between = buf[lt + 1:hit] if lt != -1 else b"/"
        if not (between == b"" or _NAME_CHARS.match(between)):
            yield emit(hit + 1)
            continue
        tag = _START_TAG.match(buf, lt)
        if tag is None and not eof and len(buf) - lt < (1 << 20):
            yield emit(lt)
            fill()
            continue
        if tag is None:
            yield emit(hit + 1)
            continue
        yield emit(tag.end())
        if not tag.group(2):
            inside = b"</" + between + _SURFACES


# Bytes fed without a complete tag before the file is refused: more than
# libxml2 accepts in one text, attribute or comment without huge_tree.
_MAX_PENDING = 32 << 20
_SAFE = dict(resolve_entities=False, no_network=True, load_dtd=False, huge_tree=False,
             remove_comments=True, remove_pis=True)


# The parser builds the tree of all it is fed before its events are read:
# small pieces keep that tree (and the work done past a failing element)
# small.
_PIECE = 1 << 16


def _pieces(blocks):
    for block in blocks:
        for start in range(0, len(block), _PIECE):
            yield block[start:start + _PIECE]


def _events(path, lines):
    """(event, element) pairs of the file, "start" and "end", with the
    content of Surfaces elements left out. Raises LandXMLError for anything
    that is not well-formed XML or has a document type declaration."""
    parser = etree.XMLPullParser(events=("start", "end"), **_SAFE)
    first = True
    pending, line = 0, 1     # bytes fed since the last event, and the line there
    try:
        with open(os.fspath(path), "rb") as stream:
            for block in _pieces(_filtered_blocks(stream, lines)):
                parser.feed(block)
                pending += len(block)
                for event, elem in parser.read_events():
                    pending, line = 0, elem.sourceline
                    if first:
                        first = False
                        docinfo = elem.getroottree().docinfo
                        if docinfo.doctype or docinfo.internalDTD is not None:
                            raise LandXMLError(
                                "the file has a document type declaration, which LandXML files "
                                "do not use; it is refused so that no entity is expanded and "
                                "nothing outside the file is read", path, lines(elem.sourceline))
                    yield event, elem
                if pending > _MAX_PENDING:
                    # libxml2 buffers a token it cannot finish whole and
                    # refuses it only at 1 GB: stop long before.
                    raise LandXMLError("not well-formed XML: no tag completes in %d MB after this "
                                       "line (a text or attribute is limited to 10 MB)"
                                       % (pending >> 20), path, lines(line))
            parser.close()
    except LandXMLError as exc:
        if exc.path is None:
            exc.path = path
        raise
    except etree.XMLSyntaxError as exc:
        line = lines(exc.lineno)
        message = " ".join((exc.msg or str(exc)).split())  # libxml2 ends it with a line feed
        raise LandXMLError("not well-formed XML: %s" % re.sub(r",? line \d+, column \d+$", "",
                                                           message), path, line) from None
    if first:
        raise LandXMLError("the file holds no XML element", path)


def _raw(elem, lines):
    """An element as plain data: local name, line, attributes and the texts
    and lines of its children (enough to interpret it after the stream)."""
    children = {}
    for child in elem:
        name = _local(child.tag)
        if name and name not in children:
            children[name] = ((child.text or "").strip(), lines(child.sourceline),
                              dict(child.attrib))
    return {"tag": _local(elem.tag), "line": lines(elem.sourceline), "attrib": dict(elem.attrib),
            "children": children}


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
    lines = _LineMap()
    for event, elem in _events(path, lines):
        if event == "start":
            name = _local(elem.tag)
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
            if reader is not None and level == 2 and stack[-1] == "CoordGeom":
                reader.geometry(elem)
            elif reader is not None and level == 1 and name == "StaEquation":
                reader.equation(elem)
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


_ANGLE_ATTRIBUTES = ("dir", "dirStart", "delta")


class _AlignmentReader:
    """One selected alignment, gathered as the stream goes. Each geometry
    element is interpreted as soon as it is complete and only that is kept
    (raw copies of 10^5 elements cost seconds of garbage collection); the
    raw data stays only where the units are not known yet."""

    def __init__(self, path, elem, lines, units):
        self.lines = lines
        self.raw = {"name": elem.get("name", ""), "line": lines(elem.sourceline),
                    "attrib": dict(elem.attrib), "geometry": [], "equations": []}
        self.ctx = _Context(path, self.raw["name"])
        # The units stated before the alignment, or the defaults: a Units
        # element after it makes what was read with them provisional.
        self.units_known = units is not None
        self.raw["units"] = self.units = _units(units, path)

    def geometry(self, elem):
        if not _local(elem.tag):
            return
        raw = _raw(elem, self.lines)
        try:
            result = _element(self.ctx, raw, self.units, len(self.raw["geometry"]))
        except LandXMLError as exc:
            if self.units_known or exc.attribute not in _ANGLE_ATTRIBUTES:
                raise
            result = None
        self.raw["geometry"].append((None if result is not None and self.units_known else raw,
                                     result))

    def equation(self, elem):
        self.raw["equations"].append(_raw(elem, self.lines))


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


def _text_precision(text, value):
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


_UNIT_NAMES = {"radians": "radians", "radian": "radians", "grads": "grads", "grad": "grads",
               "gons": "grads", "decimal degrees": "decimal degrees",
               "decimal dd.mmss": "decimal dd.mmss"}


def _angle_unit(value, path, line, attribute):
    unit = _UNIT_NAMES.get((value or "radians").strip().lower())
    if unit is None:
        raise LandXMLError("Units: %s=%r is not an angular unit this reader knows (%s)"
                           % (attribute, value, ", ".join(ANGULAR_UNITS)), path, line, "Units",
                           attribute)
    return unit


def _angle_from_text(text, unit):
    """(radians, precision in radians) of an angle written in ``unit``;
    raises ValueError for text that is not one."""
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("not finite")
    precision = _text_precision(text, value)
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


def _angle(ctx, raw, key, unit):
    text = raw["attrib"].get(key)
    if text is None:
        return None, None
    try:
        return _angle_from_text(text, unit)
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
    precision = max(_text_precision(fields[0], numbers[0]), _text_precision(fields[1], numbers[1]))
    return (numbers[1], numbers[0]), precision


def _azimuth(p, q):
    return math.atan2(q[0] - p[0], q[1] - p[1])


def _near(reference, angle):
    """``angle`` moved by whole turns to lie within pi of ``reference``."""
    return reference + _angle_between(reference, angle)


def _choose(coordinate, coordinate_precision, stated, stated_precision):
    """The direction to use and where it came from (see the module text)."""
    if coordinate is None:
        return (stated, "fallback dir") if stated is not None else (None, None)
    # Only a stated direction two orders of magnitude finer than the
    # coordinates' own counts: at a comparable precision the coordinates'
    # rounding is usually the smaller error (six-decimal degrees against
    # six-decimal metres over a 15 m arc of radius 110 m).
    if stated is not None and 100.0 * stated_precision <= coordinate_precision:
        if abs(_near(coordinate, stated) - coordinate) <= 2.0 * (coordinate_precision +
                                                                stated_precision):
            return _near(coordinate, stated), "dir"
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
            length = _distance(start, end)
        stated, stated_precision = _angle(ctx, raw, "dir", units.direction)
        if end is not None and _distance(start, end) > 0.0:
            direction = _azimuth(start, end)
            direction_precision = (p_start + p_end) / _distance(start, end)
        desc = {"kind": "line", "length": length}
    elif tag == "Curve":
        kind = (raw["attrib"].get("crvType") or "arc").strip()
        if kind.lower() != "arc":
            ctx.fail("crvType %r is not supported (only arc)" % kind, raw["line"], tag, "crvType")
        turn = _rotation(ctx, raw)
        radius = _number(ctx, raw, "radius", required=center is None, positive=True)
        if radius is None:
            radius = _distance(center, start)
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
                sweep = turn * (_near(0.0, _azimuth(center, end) - _azimuth(center, start)))
                length = radius * (sweep if sweep >= 0.0 else sweep + 2.0 * math.pi)
            else:
                ctx.fail("attribute length is missing and neither delta nor Center and End give "
                         "it", raw["line"], tag, "length")
        stated, stated_precision = _angle(ctx, raw, "dirStart", units.direction)
        if center is not None and _distance(center, start) > 0.0:
            direction = _azimuth(center, start) + turn * (math.pi / 2.0)
            direction_precision = (p_start + p_center) / _distance(center, start)
        elif end is not None and _distance(start, end) > 0.0:
            direction = _azimuth(start, end) - turn * length / (2.0 * radius)
            direction_precision = (p_start + p_end) / _distance(start, end)
        elif pi is not None and _distance(start, pi) > 0.0:
            direction = _azimuth(start, pi)
            direction_precision = (p_start + p_pi) / _distance(start, pi)
        desc = {"kind": "arc", "length": length, "radius": radius, "turn": turn}
    else:
        kind = (raw["attrib"].get("spiType") or "clothoid").strip()
        if kind.lower() != "clothoid":
            ctx.fail("spiType %r is not supported (only clothoid; nothing is approximated)"
                     % kind, raw["line"], tag, "spiType")
        turn = _rotation(ctx, raw)
        r0 = _number(ctx, raw, "radiusStart", allow_inf=True, positive=True)
        r1 = _number(ctx, raw, "radiusEnd", allow_inf=True, positive=True)
        k0 = 0.0 if math.isinf(r0) else turn / r0
        k1 = 0.0 if math.isinf(r1) else turn / r1
        length = _number(ctx, raw, "length", required=False)
        if length is None:
            constant = _number(ctx, raw, "constant", required=False)
            if constant is None or k0 == k1:
                ctx.fail("attribute length is missing (and no constant gives it)", raw["line"],
                         tag, "length")
            length = constant * constant * abs(k1 - k0)
        stated, stated_precision = _angle(ctx, raw, "dirStart", units.direction)
        if pi is not None and _distance(start, pi) > 0.0:
            direction = _azimuth(start, pi)
            direction_precision = (p_start + p_pi) / _distance(start, pi)
        elif end is not None and _distance(start, end) > 0.0:
            along, right = clothoid_local(length, k0, k1)
            direction = _azimuth(start, end) - math.atan2(right, along)
            direction_precision = (p_start + p_end) / _distance(start, end)
        if r0 == r1:
            desc = ({"kind": "line", "length": length} if math.isinf(r0) else
                    {"kind": "arc", "length": length, "radius": r0, "turn": turn})
        else:
            desc = {"kind": "clothoid", "length": length, "start_radius": r0, "end_radius": r1,
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


def _units(raw_units, path):
    if raw_units is None:
        return LandXMLUnits(None, None, "radians", "radians")
    system, attrib, line = raw_units
    return LandXMLUnits(system, attrib.get("linearUnit"),
                        _angle_unit(attrib.get("angularUnit"), path, line, "angularUnit"),
                        _angle_unit(attrib.get("directionUnit"), path, line, "directionUnit"))


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
        azimuth = _near(end_azimuth, azimuth) if end_azimuth is not None else (
            azimuth if azimuth >= 0.0 else azimuth + 2.0 * math.pi)
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
    return LandXMLAlignment(raw["name"], start_station, first["start"][0], first["start"][1],
                            first["start_azimuth"], elements, units, list(checked), stated,
                            os.fspath(path), raw["line"], total)


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
    return _interpret(kept[0], _units(units, path), path, bool(chain))


# ------------------------------------------------------------------ writing

def _angle_text(radians, unit):
    if unit == "radians":
        return repr(radians)
    if unit == "grads":
        return repr(radians * (200.0 / math.pi))
    degrees = math.degrees(radians)
    if unit == "decimal degrees":
        return repr(degrees)
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


def _point_text(p):
    return "%r %r" % (p[1], p[0])


def _radius_text(k):
    return "INF" if k == 0.0 else repr(1.0 / abs(k))


def _intersection(p, a, q, b):
    """Where the line through p along azimuth a meets the line through q
    along azimuth b; None where they are (nearly) parallel."""
    u = (math.sin(a), math.cos(a))
    v = (math.sin(b), math.cos(b))
    cross = u[0] * v[1] - u[1] * v[0]
    if abs(cross) < 1e-12:
        return None
    t = ((q[0] - p[0]) * v[1] - (q[1] - p[1]) * v[0]) / cross
    return (p[0] + t * u[0], p[1] + t * u[1])


def write_landxml(alignment: Any, path: PathLike, name: str = "alignment",
                  angular_unit: str = "radians", equations: Iterable[Any] = (),
                  units: Optional[LandXMLUnits] = None) -> None:
    """Write ``alignment`` (a :class:`curvixkit.Alignment` or a
    :class:`LandXMLAlignment`) as LandXML 1.2 to ``path``.

    ``angular_unit`` is one of :data:`ANGULAR_UNITS`; ``units`` a
    :class:`LandXMLUnits` whose system and linear unit are written as given
    (Metric meter by default: nothing is converted); ``equations`` station
    equations (:class:`curvixkit.stations.Equation` or tuples).
    """
    if angular_unit not in ANGULAR_UNITS:
        raise LandXMLError("angular_unit must be one of %s, got %r"
                           % (", ".join(ANGULAR_UNITS), angular_unit), path)
    geometry = element_geometry(alignment)
    if not geometry:
        raise LandXMLError("an alignment without elements cannot be written", path)
    start_station = float(alignment.start_station)
    end_station = start_station + sum(g.length for g in geometry)
    try:
        kept = StationMap(start_station, end_station, equations).equations
    except StationError as exc:
        raise LandXMLError(str(exc), path) from None
    system = getattr(units, "system", None) or "Metric"
    linear = getattr(units, "linear", None) or ("meter" if system == "Metric" else "foot")
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
    for g in geometry:
        attrs = {"staStart": repr(g.start_station), "length": repr(g.length)}
        turn = "cw" if (g.start_curvature or g.end_curvature) > 0 else "ccw"
        if g.kind == "line":
            attrs["dir"] = _angle_text(g.start_azimuth, angular_unit)
            node = etree.SubElement(coord, ns + "Line", attrs)
            points = [("Start", g.start), ("End", g.end)]
        elif g.kind == "arc":
            k = g.start_curvature
            attrs.update(rot=turn, radius=repr(1.0 / abs(k)), crvType="arc",
                         dirStart=_angle_text(g.start_azimuth, angular_unit),
                         dirEnd=_angle_text(g.end_azimuth, angular_unit),
                         delta=_angle_text(abs(k) * g.length, angular_unit))
            node = etree.SubElement(coord, ns + "Curve", attrs)
            normal = g.start_azimuth + math.copysign(math.pi / 2.0, k)
            r = 1.0 / abs(k)
            center = (g.start[0] + r * math.sin(normal), g.start[1] + r * math.cos(normal))
            points = [("Start", g.start), ("Center", center), ("End", g.end)]
        else:
            attrs.update(rot=turn, radiusStart=_radius_text(g.start_curvature),
                         radiusEnd=_radius_text(g.end_curvature), spiType="clothoid",
                         dirStart=_angle_text(g.start_azimuth, angular_unit),
                         dirEnd=_angle_text(g.end_azimuth, angular_unit))
            node = etree.SubElement(coord, ns + "Spiral", attrs)
            points = [("Start", g.start)]
            if abs(g.end_azimuth - g.start_azimuth) < 3.0:
                pi = _intersection(g.start, g.start_azimuth, g.end, g.end_azimuth)
                if pi is not None:
                    points.append(("PI", pi))
            points.append(("End", g.end))
        for label, p in points:
            etree.SubElement(node, ns + label).text = _point_text(p)
    for eq in kept:
        attrs = {"staInternal": repr(eq.internal), "staBack": repr(eq.back),
                 "staAhead": repr(eq.ahead)}
        if eq.desc:
            attrs["desc"] = str(eq.desc)
        etree.SubElement(holder, ns + "StaEquation", attrs)
    etree.ElementTree(root).write(os.fspath(path), xml_declaration=True, encoding="UTF-8",
                                  pretty_print=True)
