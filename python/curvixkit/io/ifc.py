"""IFC 4.3 alignments, read into plain descriptions for the engine.

Only the business logic is read: an ``IfcAlignment`` nests (``IfcRelNests``)
one ``IfcAlignmentHorizontal`` and optionally an ``IfcAlignmentVertical``
and an ``IfcAlignmentCant``; each of those nests its ``IfcAlignmentSegment``
objects in order, whose ``DesignParameters`` hold the segment. The
geometric representation (``IfcCompositeCurve``, ``IfcGradientCurve``,
``IfcSegmentedReferenceCurve``) is only compared with what the design
parameters give, never used instead of them.

Conventions of the file and what this module makes of them:

- Horizontal: ``StartDirection`` is an angle from the x axis
  counter-clockwise (in the file's plane angle unit), turned into an
  azimuth from north clockwise. A radius of 0 is infinite and a positive
  radius turns left, so the curvature is ``-1 / radius`` (positive to the
  right). ``LINE``, ``CIRCULARARC`` and ``CLOTHOID`` (curvature linear in
  the length) are read; the other types are refused by name and entity.
  Each segment is placed at its ``StartPoint`` with its ``StartDirection``.
- Vertical: ``StartDistAlong`` and ``HorizontalLength`` along the
  horizontal, ``StartHeight``, ``StartGradient``, ``EndGradient``.
  ``CONSTANTGRADIENT`` is a grade line of its start gradient (an end
  gradient that disagrees is noted), ``PARABOLICARC`` and ``CIRCULARARC``
  are fixed by their grades and length (the sign of ``RadiusOfCurvature``
  differs between producers, so its sense comes from the grades), and
  ``CLOTHOID`` is a vertical clothoid that leaves a grade line (no
  curvature at its start) and reaches ``|RadiusOfCurvature|`` at its end,
  or, without a radius, the end curvature its grades and length fix.
- Cant: the signed cant is ``right - left`` (positive where the right rail
  is the higher one), so a file written about the centre (-0.03/+0.03) and
  one written from the low rail (0/0.06) give the same 0.06. The rotation
  axis is the centre where every segment is written about the centre
  (left = -right), else the low rail. The gauge is the cant layout's
  ``RailHeadDistance``.
- A last segment of zero length (one closes every layout) is dropped.
- Units: the project's ``IfcUnitAssignment``; lengths stay in its length
  unit (reported as :class:`~curvixkit.results.Units`), angles are turned
  into radians.
- Coordinates: the alignment's ``IfcLocalPlacement`` and the
  ``IfcMapConversion`` (Eastings, Northings, OrthogonalHeight and the
  rotation of ``XAxisAbscissa``/``XAxisOrdinate``) are applied to the start
  points, directions and heights, so that points are in the map CRS named
  by ``IfcProjectedCRS.Name``. A ``Scale`` other than 1 is refused.
- Stations: the ``IfcReferent`` objects the alignment nests, with their
  ``Pset_Stationing``: the first gives the start station (``Station`` less
  its distance along), each later one with an ``IncomingStation`` a
  station equation.

Header schemas ``IFC4X3_ADD2``, ``IFC4X3_ADD1`` and ``IFC4X3`` are read (the
alignment entities agree); where ifcopenshell refuses the header, the file
is read again as ``IFC4X3_ADD2``. Every failure is an :class:`IfcError`
naming the entity (``#123``) and the attribute.
"""

from __future__ import annotations

import math
import os
import re
from collections import namedtuple
from typing import Any, Dict, List, NoReturn, Optional, Sequence, Tuple, Union

from curvixkit import _plane
from curvixkit.io import step
from curvixkit.errors import IfcError, missing_extra
from curvixkit.results import Units
from curvixkit.stations import Equation

PathLike = Union[str, "os.PathLike[str]"]

__all__ = ["IfcAlignmentDescription", "SCHEMAS", "HORIZONTAL_TYPES", "VERTICAL_KINDS",
           "CANT_TRANSITIONS", "read_ifc", "ifc_names", "open_model", "is_ifc"]

SCHEMAS = ("IFC4X3_ADD2", "IFC4X3_ADD1", "IFC4X3")
_READ_AS = "IFC4X3_ADD2"
# The horizontal types -> the engine's element shape (None: not built yet).
HORIZONTAL_TYPES = {"LINE": "line", "CIRCULARARC": "arc", "CLOTHOID": "clothoid",
                    "BLOSSCURVE": "bloss", "COSINECURVE": "cosine", "SINECURVE": "sine",
                    "HELMERTCURVE": "helmert", "VIENNESEBEND": "viennese",
                    "CUBIC": "cubic"}  # type: Dict[str, Optional[str]]
VERTICAL_KINDS = {"CONSTANTGRADIENT": "line", "PARABOLICARC": "parabola", "CIRCULARARC": "arc",
                  "CLOTHOID": "clothoid"}
# Cant segment types -> the shape of the transition that starts there.
CANT_TRANSITIONS = {"CONSTANTCANT": "linear", "LINEARTRANSITION": "linear", "BLOSSCURVE": "bloss",
                    "COSINECURVE": "cosine", "SINECURVE": "sine", "HELMERTCURVE": "helmert",
                    "VIENNESEBEND": "viennese"}
# What each entity must offer, by name, in the schema the file was opened with.
_ATTRIBUTES = {
    "IfcAlignmentHorizontalSegment": ("StartPoint", "StartDirection", "StartRadiusOfCurvature",
                                      "EndRadiusOfCurvature", "SegmentLength", "PredefinedType"),
    "IfcAlignmentVerticalSegment": ("StartDistAlong", "HorizontalLength", "StartHeight",
                                    "StartGradient", "EndGradient", "RadiusOfCurvature",
                                    "PredefinedType"),
    "IfcAlignmentCantSegment": ("StartDistAlong", "HorizontalLength", "StartCantLeft",
                                "EndCantLeft", "StartCantRight", "EndCantRight", "PredefinedType"),
    "IfcAlignmentCant": ("RailHeadDistance",),
    "IfcMapConversion": ("Eastings", "Northings", "OrthogonalHeight", "XAxisAbscissa",
                         "XAxisOrdinate", "Scale"),
}
_MAGIC = b"ISO-10303-21;"
_END = "END-ISO-10303-21;"
_MAX_BYTES = 1 << 30
# The longest message a failure quotes (values of the file included).
_MESSAGE = 400
# Joints of the cant layout closer than this (relative to the stations) are one station.
_SAME_STATION = 1e-9

IfcAlignmentDescription = namedtuple(
    "IfcAlignmentDescription", "name entity index path start_station x y azimuth elements "
                               "entities units equations profile profile_entities cant "
                               "cant_entities crs notes representation")
IfcAlignmentDescription.__doc__ = """One IfcAlignment as the engine takes it:
``elements`` are engine descriptions (length, k0, k1, (x, y), azimuth), one
per entity of ``entities`` ("#29"); ``profile`` the vertical segment tuples
(kind, start station, length, start elevation, start grade, end grade[,
start radius, end radius]) or None, ``cant`` a mapping (stations, gauge,
axis) or None, each with the entity of every item; ``crs`` the
IfcProjectedCRS name or None; ``notes`` what the reader did about the
file's habits; ``representation`` the start points of the geometric
representation's segments in the same frame: {"horizontal": [(entity, x,
y)], "vertical": [(entity, station, height)]}."""


def _ifcopenshell(what: str = "reading IFC files") -> Any:
    try:
        import ifcopenshell
    except ImportError:
        raise missing_extra("ifc", what) from None
    return ifcopenshell


def is_ifc(head: bytes) -> bool:
    """Whether the first bytes of a file are those of a STEP file."""
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    return head.lstrip().startswith(_MAGIC)


def _name(entity: Any) -> str:
    return "#%d" % entity.id()


class _Context:
    """Where a failure points: the file, and the entity and attribute."""

    def __init__(self, path: Optional[str]) -> None:
        self.path = path

    def fail(self, entity: Any, attribute: Optional[str], message: str) -> NoReturn:
        # One line, of a readable length, whatever the values quoted hold.
        message = message.replace("\r", "\\r").replace("\n", "\\n")
        if len(message) > _MESSAGE:
            message = message[:_MESSAGE] + "..."
        if entity is None:
            raise IfcError(message, self.path, None, attribute)
        where = "%s %s" % (_name(entity), entity.is_a())
        if attribute is not None:
            where += ".%s" % attribute
        raise IfcError("%s: %s" % (where, message), self.path, _name(entity), attribute)

    def get(self, entity: Any, attribute: str) -> Any:
        try:
            return getattr(entity, attribute)
        except Exception as exc:  # ifcopenshell raises for values it cannot decode
            self.fail(entity, attribute, "cannot be read (%s)" % exc)

    def number(self, entity: Any, attribute: str, default: Optional[float] = None,
               minimum: Optional[float] = None) -> float:
        value = self.get(entity, attribute)
        if hasattr(value, "wrappedValue"):  # a measure given with its type
            value = value.wrappedValue
        if value is None:
            if default is not None:
                return default
            self.fail(entity, attribute, "is missing (or not a number STEP can hold)")
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.fail(entity, attribute, "must be a number, got %r" % (value,))
        value = float(value)
        if not math.isfinite(value):
            self.fail(entity, attribute, "must be finite, got %r" % value)
        if minimum is not None and value < minimum:
            self.fail(entity, attribute, "must be at least %r, got %r" % (minimum, value))
        return value

    def entity(self, entity: Any, attribute: str, kind: str) -> Any:
        value = self.get(entity, attribute)
        if value is None:
            self.fail(entity, attribute, "is missing (or refers to an entity the file does "
                                         "not hold)")
        if not hasattr(value, "is_a") or not value.is_a(kind):
            self.fail(entity, attribute, "must be an %s, got %r" % (kind, value))
        return value

    def maybe(self, entity: Any, attribute: str, kind: str) -> Any:
        """An optional reference: None, or an instance of ``kind``."""
        value = self.get(entity, attribute)
        if value is not None and not (hasattr(value, "is_a") and value.is_a(kind)):
            self.fail(entity, attribute, "must be an %s, got %r" % (kind, value))
        return value

    def word(self, entity: Any, attribute: str) -> Optional[str]:
        """An optional string or enumeration value."""
        value = self.get(entity, attribute)
        if value is not None and not isinstance(value, str):
            self.fail(entity, attribute, "must be a string, got %r" % (value,))
        return value

    def enum(self, entity: Any, attribute: str) -> str:
        value = self.get(entity, attribute)
        if not isinstance(value, str):
            self.fail(entity, attribute, "is missing")
        return value.upper()


# ------------------------------------------------------------------ the file

def open_model(path: PathLike) -> Tuple[Any, List[str]]:
    """The ifcopenshell model of an IFC 4.3 file and the notes on how it
    was opened. Raises :class:`IfcError` for what is not a complete STEP
    file of a schema read here, ``OSError`` for a file that cannot be read."""
    ifcopenshell = _ifcopenshell()
    where = os.fspath(path)
    ctx = _Context(where)
    with open(where, "rb") as f:
        data = f.read(_MAX_BYTES + 1)
    if len(data) > _MAX_BYTES:
        ctx.fail(None, None, "the file is larger than %d bytes" % _MAX_BYTES)
    if not is_ifc(data[:64]):
        ctx.fail(None, None, "not an IFC file: it does not start with ISO-10303-21;")
    text = data.decode("latin-1")  # STEP is 8-bit text; its own escapes carry the rest
    if text.startswith("\xef\xbb\xbf"):  # a UTF-8 BOM, which ifcopenshell refuses
        text = text[3:]
    if not text.rstrip().endswith(_END):
        ctx.fail(None, None, "the file is truncated: it does not end with %s" % _END)
    found = re.search(r"FILE_SCHEMA\s*\(\s*\(\s*'([^']*)'", text[:65536])
    if found is None:
        ctx.fail(None, "FILE_SCHEMA", "the header names no FILE_SCHEMA")
    schema = found.group(1).strip().upper()
    if schema not in SCHEMAS:
        ctx.fail(None, "FILE_SCHEMA", "schema %r is not read (%s are)"
                 % (found.group(1), ", ".join(SCHEMAS)))
    # ifcopenshell's parser has no depth limit (deep nesting ends the
    # process) and leaves a reference to an entity the file does not hold
    # out of a list: the text is scanned before it is parsed.
    problem = step.scan(text)
    if problem is not None:
        entity, message, index = problem
        attribute = None  # type: Optional[str]
        if entity is not None and ": " in message:
            keyword, message = message.split(": ", 1)
            kind, attribute = _attribute_name(ifcopenshell, schema, keyword, index)
            message = "%s%s: %s" % (kind, "" if attribute is None else "." + attribute,
                                    message)
        raise IfcError(message if entity is None else "%s %s" % (entity, message), where,
                       entity, attribute)
    notes = []  # type: List[str]

    def parse(content: str) -> Any:
        model = ifcopenshell.file.from_string(content)
        # A header schema ifcopenshell does not know gives a file without a
        # schema, which only fails when it is first asked for entities.
        model.by_type("IfcProject")
        return model

    try:
        model = parse(text)
    except Exception as first:
        if schema == _READ_AS:
            ctx.fail(None, None, "ifcopenshell cannot read the file (%s)" % first)
        retold = text[:found.start(1)] + _READ_AS + text[found.end(1):]
        try:
            model = parse(retold)
        except Exception as exc:
            ctx.fail(None, None, "ifcopenshell cannot read the file (%s)" % exc)
        notes.append("the header's schema %s is read as %s (the alignment entities agree)"
                     % (found.group(1), _READ_AS))
    _check_parsed(model, text, ctx)
    _check_schema(model, ctx)
    return model, notes


def _attribute_name(ifcopenshell: Any, schema: str, keyword: str,
                    index: Optional[int]) -> Tuple[str, Optional[str]]:
    """The entity's name as the schema spells it and the name of its
    ``index``-th attribute (None where no index is given or the schema does
    not say)."""
    try:
        declaration = ifcopenshell.ifcopenshell_wrapper.schema_by_name(
            schema if schema != "IFC4X3" else _READ_AS).declaration_by_name(keyword)
    except Exception:
        return keyword, None
    attributes = declaration.all_attributes() if hasattr(declaration, "all_attributes") else ()
    if index is None or not 0 <= index < len(attributes):
        return declaration.name(), None
    return declaration.name(), attributes[index].name()


def _check_parsed(model: Any, text: str, ctx: _Context) -> None:
    """Refuse a file of which ifcopenshell silently left out an entity (it
    drops an instance whose values it cannot decode, such as 1.E999, and
    every reference to it then reads as absent), or which defines an
    entity name twice (ifcopenshell keeps one of them)."""
    have = set(model.entity_names())  # the names alone: no instance is made
    defined = set()
    for name, keyword in step.definitions(text):
        number = int(name)
        keyword = keyword or "(a complex entity)"
        if number in defined:
            raise IfcError("#%s %s: the entity name #%s is defined twice" % (
                name, keyword, name), ctx.path, "#" + name, None)
        defined.add(number)
        if number not in have:
            raise IfcError("#%s %s: the entity cannot be read (a value out of range or "
                           "malformed)" % (name, keyword), ctx.path, "#" + name, None)


def _check_schema(model: Any, ctx: _Context) -> None:
    """Refuse a schema whose alignment entities are not the ones read here."""
    import ifcopenshell
    try:
        schema = ifcopenshell.ifcopenshell_wrapper.schema_by_name(model.schema_identifier)
    except Exception:
        return
    for kind, wanted in _ATTRIBUTES.items():
        try:
            declaration = schema.declaration_by_name(kind)  # type: Any
            have = {a.name() for a in declaration.all_attributes()}
        except Exception:
            ctx.fail(None, None, "schema %s has no %s" % (model.schema_identifier, kind))
        missing = [a for a in wanted if a not in have]
        if missing:
            ctx.fail(None, None, "%s of schema %s lacks %s" % (kind, model.schema_identifier,
                                                                ", ".join(missing)))


def _is_instance(value: Any, kind: str) -> bool:
    return hasattr(value, "is_a") and hasattr(value, "id") and value.is_a(kind)


def _parents(ctx: _Context, entity: Any) -> List[Tuple[Any, Any]]:
    """(relation, object) of each IfcRelNests that nests ``entity``."""
    out = []
    for rel in ctx.get(entity, "Nests") or ():
        parent = ctx.get(rel, "RelatingObject")
        if parent is not None and not _is_instance(parent, "IfcObjectDefinition"):
            ctx.fail(rel, "RelatingObject", "must be an IfcObjectDefinition, got %r" % (parent,))
        if parent is not None:
            out.append((rel, parent))
    return out


def _alignments(model: Any, ctx: Optional[_Context] = None) -> List[Any]:
    """The top-level alignments in file order (an alignment nested in
    another is part of it, not one of its own). Alignments that nest each
    other in a circle are refused: none of them would be top-level."""
    ctx = ctx if ctx is not None else _Context(None)
    out = []
    for a in sorted(model.by_type("IfcAlignment"), key=lambda e: e.id()):
        up = [(r, p) for r, p in _parents(ctx, a) if p.is_a("IfcAlignment")]
        if not up:
            out.append(a)
            continue
        seen = {a.id()}
        while up:
            rel, parent = up[0]
            if parent.id() in seen:
                ctx.fail(rel, "RelatedObjects", "the alignments nest each other in a circle (%s)"
                         % ", ".join("#%d" % i for i in sorted(seen)))
            seen.add(parent.id())
            up = [(r, p) for r, p in _parents(ctx, parent) if p.is_a("IfcAlignment")]
    return out


def _nested(ctx: _Context, entity: Any) -> List[Any]:
    """What an object nests, in IfcRelNests order (relations by file order)."""
    out = []  # type: List[Any]
    for rel in sorted(ctx.get(entity, "IsNestedBy") or (), key=lambda r: r.id()):
        related = ctx.get(rel, "RelatedObjects") or ()
        if not isinstance(related, (tuple, list)):
            ctx.fail(rel, "RelatedObjects", "must be a list of objects, got %r" % (related,))
        for o in related:
            if o is None:
                continue
            if not _is_instance(o, "IfcObjectDefinition"):
                ctx.fail(rel, "RelatedObjects", "must hold objects, got %r" % (o,))
            if o.id() == entity.id():
                ctx.fail(rel, "RelatedObjects", "%s nests itself" % _name(entity))
            out.append(o)
    return out


def _label(ctx: _Context, entity: Any) -> str:
    """An entity's Name ("" for none)."""
    name = ctx.get(entity, "Name")
    if name is not None and not isinstance(name, str):
        ctx.fail(entity, "Name", "must be a string, got %r" % (name,))
    return name or ""


def ifc_names(path: PathLike) -> List[str]:
    """The names of the alignments of an IFC file, in file order ("" for an
    alignment without a name)."""
    model, _ = open_model(path)
    ctx = _Context(os.fspath(path))
    return [_label(ctx, a) for a in _alignments(model, ctx)]


# ------------------------------------------------------------------- units

_IMPERIAL = ("foot", "feet", "inch", "yard", "mile")


def _units(model: Any, ctx: _Context, notes: List[str]) -> Tuple[Units, float]:
    """The units and the radians per plane angle unit."""
    projects = model.by_type("IfcProject")
    assignment = ctx.maybe(projects[0], "UnitsInContext", "IfcUnitAssignment") \
        if projects else None
    linear = None  # type: Optional[str]
    angular = None  # type: Optional[str]
    system = None  # type: Optional[str]
    factor = None  # type: Optional[float]
    units = (ctx.get(assignment, "Units") if assignment is not None else ()) or ()
    if not isinstance(units, (tuple, list)) or not all(hasattr(u, "is_a") for u in units):
        ctx.fail(assignment, "Units", "must be a list of units, got %r" % (units,))
    for unit in units:
        kind = getattr(unit, "UnitType", None)
        if kind == "LENGTHUNIT" and linear is None:
            if unit.is_a("IfcSIUnit"):
                linear = (ctx.word(unit, "Prefix") or "").lower() + "metre"
                system = "Metric"
            else:
                linear = str(ctx.get(unit, "Name"))
                system = "Imperial" if any(w in linear.lower() for w in _IMPERIAL) else None
        elif kind == "PLANEANGLEUNIT" and angular is None:
            if unit.is_a("IfcSIUnit"):
                if ctx.word(unit, "Prefix"):
                    ctx.fail(unit, "Prefix", "a plane angle unit with a prefix is not read")
                angular, factor = "radians", 1.0
            elif unit.is_a("IfcConversionBasedUnit"):
                measure = ctx.entity(unit, "ConversionFactor", "IfcMeasureWithUnit")
                value = ctx.number(measure, "ValueComponent")
                base = ctx.maybe(measure, "UnitComponent", "IfcNamedUnit")
                if base is None or not base.is_a("IfcSIUnit") or ctx.word(base, "Name") != "RADIAN":
                    ctx.fail(measure, "UnitComponent", "must be the radian")
                if not value > 0:
                    ctx.fail(measure, "ValueComponent", "must be greater than 0, got %r" % value)
                angular, factor = str(unit.Name).lower(), value * (
                    10.0 ** {"MILLI": -3, "MICRO": -6}.get(ctx.word(base, "Prefix") or "", 0))
            else:
                ctx.fail(unit, None, "this plane angle unit is not read")
    if linear is None:
        linear, system = "metre", "Metric"
        notes.append("the file states no length unit; metres are taken")
    if factor is None:
        angular, factor = "radians", 1.0
        notes.append("the file states no plane angle unit; radians are taken")
    return Units(system, linear, angular, angular), factor


# -------------------------------------------------------------- placement

class _Frame:
    """The map of the alignment's local coordinates (x, y, z) to the map
    CRS: a rotation by ``theta`` (counter-clockwise) and a translation."""

    def __init__(self, dx: float = 0.0, dy: float = 0.0, dz: float = 0.0,
                 theta: float = 0.0) -> None:
        self.dx, self.dy, self.dz, self.theta = dx, dy, dz, theta

    def then(self, outer: "_Frame") -> "_Frame":
        c, s = math.cos(outer.theta), math.sin(outer.theta)
        return _Frame(outer.dx + c * self.dx - s * self.dy, outer.dy + s * self.dx + c * self.dy,
                      outer.dz + self.dz, self.theta + outer.theta)

    def point(self, x: float, y: float) -> Tuple[float, float]:
        c, s = math.cos(self.theta), math.sin(self.theta)
        return self.dx + c * x - s * y, self.dy + s * x + c * y


def _coordinates(ctx: _Context, point: Any, attribute: str = "Coordinates") -> Tuple[float, ...]:
    """The 2 or 3 numbers of an IfcCartesianPoint (or ``DirectionRatios``
    of an IfcDirection)."""
    values = ctx.get(point, attribute)
    if not isinstance(values, (tuple, list)) or len(values) not in (2, 3):
        ctx.fail(point, attribute, "must hold 2 or 3 numbers, got %r" % (values,))
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            ctx.fail(point, attribute, "must be finite numbers, got %r" % (values,))
        out.append(float(v))
    return tuple(out)


def _placement(ctx: _Context, placement: Any) -> _Frame:
    """The frame of an IfcLocalPlacement chain (turns about the vertical only)."""
    frame = _Frame()
    seen = set()
    while placement is not None:
        if placement.id() in seen:
            ctx.fail(placement, "PlacementRelTo", "the placements refer to each other in a circle")
        seen.add(placement.id())
        if not placement.is_a("IfcLocalPlacement"):
            ctx.fail(placement, None, "only an IfcLocalPlacement places an alignment here")
        rel = ctx.entity(placement, "RelativePlacement", "IfcPlacement")
        location = _coordinates(ctx, ctx.entity(rel, "Location", "IfcCartesianPoint"))
        theta = 0.0
        axis = ctx.maybe(rel, "Axis", "IfcDirection") if hasattr(rel, "Axis") else None
        if axis is not None:
            a = _coordinates(ctx, axis, "DirectionRatios")
            if len(a) != 3 or abs(a[0]) > 1e-12 or abs(a[1]) > 1e-12 or a[2] <= 0:
                ctx.fail(axis, "DirectionRatios", "only a placement about the vertical (Axis "
                                                 "(0, 0, 1)) is read, got %r" % (a,))
        ref = ctx.maybe(rel, "RefDirection", "IfcDirection") \
            if hasattr(rel, "RefDirection") else None
        if ref is not None:
            r = _coordinates(ctx, ref, "DirectionRatios")
            if r[0] == 0.0 and r[1] == 0.0:
                ctx.fail(ref, "DirectionRatios", "a horizontal x axis is needed, got %r" % (r,))
            theta = math.atan2(r[1], r[0])
        z = location[2] if len(location) > 2 else 0.0
        frame = frame.then(_Frame(location[0], location[1], z, theta))
        placement = ctx.maybe(placement, "PlacementRelTo", "IfcObjectPlacement")
    return frame


def _map_conversion(model: Any, ctx: _Context, notes: List[str]) -> Tuple[_Frame, Optional[str]]:
    conversions = sorted(model.by_type("IfcMapConversion"), key=lambda e: e.id())
    if not conversions:
        return _Frame(), None
    m = conversions[0]
    if len(conversions) > 1:
        notes.append("%d IfcMapConversion entities; %s is applied" % (len(conversions), _name(m)))
    e = ctx.number(m, "Eastings")
    n = ctx.number(m, "Northings")
    h = ctx.number(m, "OrthogonalHeight")
    absc = ctx.number(m, "XAxisAbscissa", default=1.0)
    ordi = ctx.number(m, "XAxisOrdinate", default=0.0)
    if absc == 0.0 and ordi == 0.0:
        ctx.fail(m, "XAxisAbscissa", "XAxisAbscissa and XAxisOrdinate are both 0")
    scale = ctx.number(m, "Scale", default=1.0)
    if abs(scale - 1.0) > 1e-12:
        ctx.fail(m, "Scale", "a Scale other than 1 (%r) is not supported yet" % scale)
    target = ctx.maybe(m, "TargetCRS", "IfcCoordinateReferenceSystem")
    crs = None
    if target is not None:
        crs = _label(ctx, target) or None
    return _Frame(e, n, h, math.atan2(ordi, absc)), crs


# ------------------------------------------------------------------ layouts

def _layouts(ctx: _Context, alignment: Any) -> Dict[str, Any]:
    found = {}  # type: Dict[str, Any]
    referents = []
    for item in _nested(ctx, alignment):
        for kind in ("IfcAlignmentHorizontal", "IfcAlignmentVertical", "IfcAlignmentCant"):
            if item.is_a(kind):
                if kind in found:
                    ctx.fail(item, None, "the alignment %s nests a second %s"
                             % (_name(alignment), kind))
                found[kind] = item
        if item.is_a("IfcReferent"):
            referents.append(item)
    if "IfcAlignmentHorizontal" not in found:
        ctx.fail(alignment, None, "nests no IfcAlignmentHorizontal")
    found["referents"] = referents
    return found


def _segments(ctx: _Context, layout: Any, kind: str) -> List[Any]:
    out = []
    for item in _nested(ctx, layout):
        if not item.is_a("IfcAlignmentSegment"):
            continue
        out.append(ctx.entity(item, "DesignParameters", kind))
    if not out:
        ctx.fail(layout, None, "nests no IfcAlignmentSegment")
    return out


def _drop_closing(ctx: _Context, segments: List[Any], attribute: str,
                  notes: List[str]) -> List[Any]:
    if len(segments) > 1 and ctx.number(segments[-1], attribute, minimum=0.0) == 0.0:
        notes.append("%s: the closing segment of zero length is dropped" % _name(segments[-1]))
        return segments[:-1]
    return segments


def _curvature(ctx: _Context, seg: Any, attribute: str) -> float:
    r = ctx.number(seg, attribute, default=0.0)
    return 0.0 if r == 0.0 else -1.0 / r


def _horizontal(ctx: _Context, layout: Any, frame: _Frame, angle: float,
                notes: List[str]) -> Tuple[List[tuple], List[str]]:
    segments = _drop_closing(ctx, _segments(ctx, layout, "IfcAlignmentHorizontalSegment"),
                             "SegmentLength", notes)
    descs = []  # type: List[tuple]
    names = []  # type: List[str]
    end_azimuth = None  # type: Optional[float]
    for seg in segments:
        kind = ctx.enum(seg, "PredefinedType")
        if kind not in HORIZONTAL_TYPES:
            ctx.fail(seg, "PredefinedType", "%s is not a horizontal segment type" % kind)
        shape = HORIZONTAL_TYPES[kind]
        if shape is None:
            ctx.fail(seg, "PredefinedType", "%s is not supported yet" % kind)
        length = ctx.number(seg, "SegmentLength", minimum=0.0)
        height = 0.0
        if shape == "viennese" and seg.GravityCenterLineHeight is not None:
            height = ctx.number(seg, "GravityCenterLineHeight", minimum=0.0)
        if kind == "LINE":
            k0 = k1 = 0.0
        else:
            k0 = _curvature(ctx, seg, "StartRadiusOfCurvature")
            k1 = _curvature(ctx, seg, "EndRadiusOfCurvature")
            if kind == "CIRCULARARC":
                if k0 == 0.0:
                    ctx.fail(seg, "StartRadiusOfCurvature", "a circular arc needs a radius "
                                                            "other than 0")
                if abs(k1 - k0) > 1e-9 * abs(k0):
                    notes.append("%s: a circular arc with StartRadiusOfCurvature %r and "
                                 "EndRadiusOfCurvature %r; the start radius is used"
                                 % (_name(seg), -1.0 / k0, seg.EndRadiusOfCurvature))
                k1 = k0
        point = _coordinates(ctx, ctx.entity(seg, "StartPoint", "IfcCartesianPoint"))
        direction = ctx.number(seg, "StartDirection") * angle
        azimuth = 0.5 * math.pi - (direction + frame.theta)
        if end_azimuth is None:
            azimuth = math.fmod(azimuth, 2.0 * math.pi)
            azimuth += 2.0 * math.pi if azimuth < 0.0 else 0.0
        else:
            azimuth = _plane.near(end_azimuth, azimuth)
        end_azimuth = azimuth + 0.5 * (k0 + k1) * length
        # The Viennese bend's lean (its gravity-centre height) waits for the
        # cant: see _lean_viennese.
        descs.append((length, k0, k1, frame.point(point[0], point[1]), azimuth,
                      "clothoid" if shape in ("line", "arc") else shape, height))
        names.append(_name(seg))
    return descs, names


def _lean_viennese(ctx: _Context, elements: List[tuple], entities: List[str], start: float,
                   cant: Optional[Dict[str, Any]], notes: List[str]) -> List[tuple]:
    """The elements with each Viennese bend's lean h (psi1 - psi0) in place of
    its gravity-centre height h, the cross-section's angle psi = asin(cant /
    RailHeadDistance) taken from the cant at the bend's ends.

    The bend is designed so that the vehicle's centre of gravity, h above
    the rails and carried sideways by h sin(psi) as the track is canted,
    follows the smooth seventh-order curvature between the end radii; the
    track's own curvature is that less h psi''(s) (to the left, IFC's
    positive sense), which the engine, positive to the right, takes as
    -lean / L^2 g''(xi) with lean = -h (psi1 - psi0)."""
    out = []
    station = start
    angle = None
    if cant is not None and any(e[5] == "viennese" for e in elements):
        import numpy as np

        from curvixkit import _core
        try:
            law = _core.Cant([tuple(st) for st in cant["stations"]], cant["gauge"], "centre")
        except ValueError:  # the alignment's own build names the cant segment at fault
            law = None
        if law is not None:
            def angle(s: float) -> float:
                out = np.empty(1)
                law.angles(np.array([s]), True, out)
                return float(out[0])
    for e, entity in zip(elements, entities):
        length, shape, height = e[0], e[5], e[6]
        lean = 0.0
        if shape == "viennese" and height != 0.0:
            if angle is None:
                notes.append("%s: a Viennese bend without a cant layout is read without its "
                             "gravity-centre height (no lean)" % entity)
            else:
                lean = -height * (angle(station + length) - angle(station))
        out.append(e[:6] + (lean,))
        station += length
    return out


def _along(ctx: _Context, seg: Any, notes: List[str]) -> float:
    """A vertical or cant segment's HorizontalLength. One exporter writes
    the length of a segment that closes a gap of rounding as a small
    negative number (-0.00016): up to the engine's tolerance of joints
    (1e-3) that is read as 0 and noted; beyond it refused."""
    length = ctx.number(seg, "HorizontalLength")
    if -1e-3 <= length < 0.0:
        notes.append("%s: HorizontalLength %r is read as 0" % (_name(seg), length))
        return 0.0
    if length < 0.0:
        ctx.fail(seg, "HorizontalLength", "must not be negative, got %r" % length)
    return length


def _vertical_end_radius(length: float, g0: float, g1: float) -> float:
    """The signed end radius of a vertical clothoid that leaves a grade line
    at its start: theta = theta0 + (theta1 - theta0) v^2 along v = sigma /
    Lambda, so its end curvature is 2 (theta1 - theta0) / Lambda with Lambda
    = length / integral_0^1 cos(theta(v)) dv (Simpson's rule, far finer than
    the engine's 0.1 % check of the radii)."""
    t0, t1 = math.atan(g0), math.atan(g1)
    n = 64
    total = 0.0
    for i in range(n + 1):
        w = 1.0 if i in (0, n) else (4.0 if i % 2 else 2.0)
        v = i / n
        total += w * math.cos(t0 + (t1 - t0) * v * v)
    integral = total / (3.0 * n)
    return length / (2.0 * (t1 - t0) * integral)


def _profile(ctx: _Context, layout: Any, start: float, dz: float,
             notes: List[str]) -> Tuple[List[tuple], List[str]]:
    segments = _drop_closing(ctx, _segments(ctx, layout, "IfcAlignmentVerticalSegment"),
                             "HorizontalLength", notes)
    out = []  # type: List[tuple]
    names = []  # type: List[str]
    for seg in segments:
        kind = ctx.enum(seg, "PredefinedType")
        if kind not in VERTICAL_KINDS:
            ctx.fail(seg, "PredefinedType", "%s is not a vertical segment type" % kind)
        s0 = start + ctx.number(seg, "StartDistAlong")
        length = _along(ctx, seg, notes)
        z0 = ctx.number(seg, "StartHeight") + dz
        g0 = ctx.number(seg, "StartGradient")
        g1 = ctx.number(seg, "EndGradient")
        shape = VERTICAL_KINDS[kind]
        if shape == "line":
            if abs(g1 - g0) > 1e-9:
                notes.append("%s: CONSTANTGRADIENT with StartGradient %r and EndGradient %r; "
                             "the start gradient is used" % (_name(seg), g0, g1))
            out.append(("line", s0, length, z0, g0, g0))
        elif shape == "clothoid" and g0 != g1:
            radius = ctx.number(seg, "RadiusOfCurvature", default=0.0)
            sense = 1.0 if g1 > g0 else -1.0
            r1 = sense * abs(radius) if radius else _vertical_end_radius(length, g0, g1)
            out.append(("clothoid", s0, length, z0, g0, g1, math.inf, r1))
        else:
            out.append((shape, s0, length, z0, g0, g1))
        names.append(_name(seg))
    return out, names


def _rail(ctx: _Context, seg: Any, attribute: str, gauge: float, metres: bool,
          in_mm: List[str], default: Optional[float] = None) -> float:
    """A rail's cant. One exporter writes one rail's cant in millimetres in
    a file in metres (0.15 on the left, 150 on the right of the same
    design): a value larger than the gauge cannot be a cant in the file's
    unit, so in a file in metres one that is a cant in millimetres is read
    as millimetres (and noted); any other is refused."""
    value = ctx.number(seg, attribute, default=default)
    if abs(value) < gauge:
        return value
    if metres and abs(value) * 1e-3 < gauge:
        if _name(seg) not in in_mm:
            in_mm.append(_name(seg))
        return value * 1e-3
    ctx.fail(seg, attribute, "a cant of %r is not smaller than the RailHeadDistance %r"
             % (value, gauge))


def _cant(ctx: _Context, layout: Any, start: float, units: Units,
          notes: List[str]) -> Tuple[Dict[str, Any], List[str]]:
    gauge = ctx.number(layout, "RailHeadDistance")
    if not gauge > 0:
        ctx.fail(layout, "RailHeadDistance", "must be greater than 0, got %r" % gauge)
    metres = units.linear == "metre"
    in_mm = []  # type: List[str]
    segments = _drop_closing(ctx, _segments(ctx, layout, "IfcAlignmentCantSegment"),
                             "HorizontalLength", notes)
    stations = []  # type: List[list]
    names = []  # type: List[str]
    centred = True
    for seg in segments:
        kind = ctx.enum(seg, "PredefinedType")
        if kind not in CANT_TRANSITIONS:
            ctx.fail(seg, "PredefinedType", "%s is not a cant segment type" % kind)
        s0 = start + ctx.number(seg, "StartDistAlong")
        length = _along(ctx, seg, notes)
        l0 = _rail(ctx, seg, "StartCantLeft", gauge, metres, in_mm)
        r0 = _rail(ctx, seg, "StartCantRight", gauge, metres, in_mm)
        # An end cant that is absent: constant along the segment.
        l1 = _rail(ctx, seg, "EndCantLeft", gauge, metres, in_mm, default=l0)
        r1 = _rail(ctx, seg, "EndCantRight", gauge, metres, in_mm, default=r0)
        centred = centred and abs(l0 + r0) <= 1e-12 and abs(l1 + r1) <= 1e-12
        c0, c1 = r0 - l0, r1 - l1
        slack = _SAME_STATION * max(1.0, abs(s0))
        if stations and abs(s0 - stations[-1][0]) <= slack:
            if abs(c0 - stations[-1][1]) > 1e-9:
                ctx.fail(seg, "StartCantLeft", "the cant jumps from %r to %r at station %r (the "
                         "cant is right minus left)" % (stations[-1][1], c0, s0))
            stations[-1][2] = CANT_TRANSITIONS[kind]
            names[-1] = _name(seg)
        else:
            if stations and s0 < stations[-1][0]:
                ctx.fail(seg, "StartDistAlong", "starts at %r, before the segment before ends "
                         "(%r)" % (s0 - start, stations[-1][0] - start))
            if stations:
                notes.append("%s: a gap in the cant from %r to %r" % (_name(seg),
                                                                      stations[-1][0], s0))
            stations.append([s0, c0, CANT_TRANSITIONS[kind]])
            names.append(_name(seg))
        stations.append([s0 + length, c1, "linear"])
        names.append(_name(seg))
    if in_mm:
        notes.append("%s: %d cant segments (%s%s) hold rail cants larger than the "
                     "RailHeadDistance %r; read as millimetres"
                     % (_name(layout), len(in_mm), ", ".join(in_mm[:5]),
                        ", ..." if len(in_mm) > 5 else "", gauge))
    any_cant = any(st[1] != 0.0 for st in stations)
    axis = "centre" if centred and any_cant else "inside_rail"
    return ({"stations": [tuple(st) for st in stations], "gauge": gauge, "axis": axis},
            names)


def _pset_value(ctx: _Context, entity: Any, pset: str, name: str) -> Any:
    for rel in ctx.get(entity, "IsDefinedBy") or ():
        if not rel.is_a("IfcRelDefinesByProperties"):
            continue
        definition = ctx.get(rel, "RelatingPropertyDefinition")
        if not _is_instance(definition, "IfcPropertySet") or _label(ctx, definition) != pset:
            continue
        props = ctx.get(definition, "HasProperties") or ()
        if not isinstance(props, (tuple, list)):
            ctx.fail(definition, "HasProperties", "must be a list of properties, got %r"
                     % (props,))
        for prop in props:
            if _is_instance(prop, "IfcPropertySingleValue") and _label(ctx, prop) == name:
                value = ctx.get(prop, "NominalValue")
                return getattr(value, "wrappedValue", value), prop
    return None, None


def _stationing(ctx: _Context, referents: Sequence[Any],
                notes: List[str]) -> Tuple[float, List[Equation]]:
    """(start station, station equations) of the alignment's referents."""
    marks = []
    for ref in referents:
        station, prop = _pset_value(ctx, ref, "Pset_Stationing", "Station")
        if station is None:
            continue
        if isinstance(station, bool) or not isinstance(station, (int, float)) or not \
                math.isfinite(station):
            ctx.fail(prop, "NominalValue", "Station must be a finite number, got %r" % (station,))
        placement = ctx.entity(ref, "ObjectPlacement", "IfcLinearPlacement")
        rel = ctx.entity(placement, "RelativePlacement", "IfcAxis2PlacementLinear")
        where = ctx.entity(rel, "Location", "IfcPointByDistanceExpression")
        along = ctx.number(where, "DistanceAlong")
        incoming, iprop = _pset_value(ctx, ref, "Pset_Stationing", "IncomingStation")
        if incoming is not None and (isinstance(incoming, bool) or not isinstance(
                incoming, (int, float)) or not math.isfinite(incoming)):
            ctx.fail(iprop, "NominalValue", "IncomingStation must be a finite number, got %r"
                     % (incoming,))
        marks.append((along, float(station), incoming, ref))
    if not marks:
        notes.append("no IfcReferent gives a station; the start station is 0")
        return 0.0, []
    marks.sort(key=lambda m: m[0])
    along, station, _, first = marks[0]
    start = station - along
    equations = []
    for along, station, incoming, ref in marks[1:]:
        if incoming is None:
            if abs(start + along - station) > 1e-6 * max(1.0, abs(station)):
                notes.append("%s: Station %r at distance %r disagrees with the start station %r "
                             "and has no IncomingStation; not read as an equation"
                             % (_name(ref), station, along, start))
            continue
        equations.append(Equation(start + along, float(incoming), station,
                                  _label(ctx, ref) or None))
    return start, equations


# ------------------------------------------------------------ representation

def _read(entity: Any, attribute: str) -> Any:
    """An attribute of what may be no entity at all, or None."""
    try:
        return getattr(entity, attribute) if hasattr(entity, "is_a") else None
    except Exception:
        return None


def _instances(values: Any) -> List[Any]:
    """The entity instances of a list value (nothing of any other value)."""
    if not isinstance(values, (tuple, list)):
        return []
    return [v for v in values if hasattr(v, "is_a") and hasattr(v, "id")]


def _representation(products: Sequence[Any], frame: _Frame,
                    start: float) -> Dict[str, List[tuple]]:
    """The start points of the representation's curve segments, mapped as
    the design parameters are (only read, never trusted: see the module).
    Producers put it on the alignment or on its layouts."""
    out = {"horizontal": [], "vertical": []}  # type: Dict[str, List[tuple]]
    curves = []  # type: List[Any]
    for product in products:
        shape = _read(product, "Representation")
        for rep in _instances(_read(shape, "Representations")):
            curves.extend(_instances(_read(rep, "Items")))
    curves.reverse()  # taken from the end: the alignment's own first
    seen = set()
    while curves:
        curve = curves.pop()
        if curve is None or curve.id() in seen:
            continue
        seen.add(curve.id())
        if curve.is_a("IfcGradientCurve") or curve.is_a("IfcSegmentedReferenceCurve"):
            curves.extend(_instances([_read(curve, "BaseCurve")]))
        if not curve.is_a("IfcCompositeCurve") or curve.is_a("IfcSegmentedReferenceCurve"):
            continue
        key = "vertical" if curve.is_a("IfcGradientCurve") else "horizontal"
        if out[key]:
            continue
        for seg in _instances(_read(curve, "Segments")):
            try:
                loc = seg.Placement.Location.Coordinates
                x, y = float(loc[0]), float(loc[1])
            except Exception:
                continue
            if key == "horizontal":
                out[key].append((_name(seg),) + frame.point(x, y))
            else:
                out[key].append((_name(seg), start + x, y + frame.dz))
    return out


# ------------------------------------------------------------------ public

def _extent(ctx: _Context, model: Any, what: str, span: Tuple[float, float],
            entities: Sequence[str], plan: Tuple[float, float], notes: List[str]) -> None:
    """A vertical or cant layout against the horizontal's stations. One
    that overlaps the horizontal nowhere describes another alignment and is
    refused, naming its first segment's StartDistAlong (or its last
    segment's HorizontalLength). Otherwise the reader keeps the file's
    layout: past the horizontal's ends the queries of the plan give NaN
    (and point3d's x, y; ``extend=True`` runs on the end tangents), and
    where the layout stops short of the horizontal its queries give NaN,
    as a LandXML profile does; both are noted."""
    (first, last), (start, end) = span, plan

    def slack(*values: float) -> float:
        return 1e-6 * max(1.0, max(abs(v) for v in values))

    def segment(k: int) -> Any:
        return model.by_id(int(entities[k][1:]))

    if first >= end - slack(first, end):
        ctx.fail(segment(0), "StartDistAlong", "the %s layout starts at distance %r, at or past "
                 "the end of the horizontal (%r): it covers none of it"
                 % (what, first - start, end - start))
    if last <= start + slack(last, start):
        ctx.fail(segment(-1), "HorizontalLength", "the %s layout ends at distance %r, at or "
                 "before the start of the horizontal: it covers none of it"
                 % (what, last - start))
    if last > end + slack(last, end):
        notes.append("the %s layout runs %.6g past the end of the horizontal (%r)"
                     % (what, last - end, end))
    if first < start - slack(first, start):
        notes.append("the %s layout starts %.6g before the start of the horizontal (%r)"
                     % (what, start - first, start))
    for a, b in ((start, first), (last, end)):
        if b - a > slack(a, b):
            notes.append("the %s layout leaves stations %r to %r of the horizontal without "
                         "%s (NaN there)" % (what, a, b, "elevation" if what == "vertical"
                                               else "cant"))


def read_ifc(path: PathLike, name: Union[None, str, int] = None) -> IfcAlignmentDescription:
    """One alignment of an IFC 4.3 file as an :class:`IfcAlignmentDescription`.

    ``name`` is the IfcAlignment's Name or its 0-based index among the
    file's alignments (see :func:`ifc_names`; real files repeat names);
    ``None`` takes the only one. Raises :class:`IfcError` naming the entity
    and attribute at fault."""
    model, notes = open_model(path)
    where = os.fspath(path)
    ctx = _Context(where)
    alignments = _alignments(model, ctx)
    if not alignments:
        ctx.fail(None, None, "the file holds no IfcAlignment")
    names = [_label(ctx, a) for a in alignments]
    if name is None:
        if len(alignments) > 1:
            ctx.fail(None, None, "the file holds %d alignments; choose one by name or index: %s"
                     % (len(alignments), ", ".join(repr(n) for n in names)))
        index = 0
    elif isinstance(name, int) and not isinstance(name, bool):
        if not -len(alignments) <= name < len(alignments):
            ctx.fail(None, None, "alignment index %d is out of range: the file holds %d"
                     % (name, len(alignments)))
        index = name % len(alignments)
    else:
        hits = [i for i, n in enumerate(names) if n == name]
        if not hits:
            ctx.fail(None, None, "no alignment is named %r; the file holds %s"
                     % (name, ", ".join(repr(n) for n in names)))
        if len(hits) > 1:
            ctx.fail(None, None, "%d alignments are named %r (%s); choose one by index (%s)"
                     % (len(hits), name, ", ".join(_name(alignments[i]) for i in hits),
                        ", ".join(map(str, hits))))
        index = hits[0]
    alignment = alignments[index]
    units, angle = _units(model, ctx, notes)
    mapped, crs = _map_conversion(model, ctx, notes)
    placement = ctx.maybe(alignment, "ObjectPlacement", "IfcObjectPlacement")
    frame = _placement(ctx, placement).then(mapped) if placement is not None else mapped
    layouts = _layouts(ctx, alignment)
    start, equations = _stationing(ctx, layouts["referents"], notes)
    elements, entities = _horizontal(ctx, layouts["IfcAlignmentHorizontal"], frame, angle, notes)
    profile = cant = None
    profile_entities = cant_entities = []  # type: List[str]
    if "IfcAlignmentVertical" in layouts:
        profile, profile_entities = _profile(ctx, layouts["IfcAlignmentVertical"], start,
                                             frame.dz, notes)
    if "IfcAlignmentCant" in layouts:
        cant, cant_entities = _cant(ctx, layouts["IfcAlignmentCant"], start, units,
                                     notes)
    elements = _lean_viennese(ctx, elements, entities, start, cant, notes)
    end = start + sum(e[0] for e in elements)
    if profile:
        _extent(ctx, model, "vertical", (profile[0][1], profile[-1][1] + profile[-1][2]),
                profile_entities, (start, end), notes)
    if cant:
        _extent(ctx, model, "cant", (cant["stations"][0][0], cant["stations"][-1][0]),
                cant_entities, (start, end), notes)
    x, y = elements[0][3]
    return IfcAlignmentDescription(names[index], _name(alignment), index, where, start,
                                   x, y, elements[0][4], elements, entities, units, equations,
                                   profile, profile_entities, cant, cant_entities, crs, notes,
                                   _representation(
                                       [alignment] + [layouts[k] for k in (
                                           "IfcAlignmentHorizontal", "IfcAlignmentVertical")
                                                      if k in layouts], frame, start))


# ------------------------------------------------------------------ writing

# Length units as the readers name them -> (SI prefix, None) or (None, metres).
_WRITTEN_LENGTH = {"metre": ("", None), "meter": ("", None), "millimetre": ("MILLI", None),
                   "millimeter": ("MILLI", None), "centimetre": ("CENTI", None),
                   "centimeter": ("CENTI", None), "kilometre": ("KILO", None),
                   "kilometer": ("KILO", None), "foot": (None, 0.3048), "feet": (None, 0.3048),
                   "ussurveyfoot": (None, 1200.0 / 3937.0), "inch": (None, 0.0254)}
_WRITTEN_HORIZONTAL = {"line": "LINE", "arc": "CIRCULARARC", "clothoid": "CLOTHOID",
                       "bloss": "BLOSSCURVE", "cosine": "COSINECURVE", "sine": "SINECURVE",
                       "helmert": "HELMERTCURVE", "viennese": "VIENNESEBEND", "cubic": "CUBIC"}
_WRITTEN_VERTICAL = {v: k for k, v in VERTICAL_KINDS.items()}
_WRITTEN_CANT = {"linear": "LINEARTRANSITION", "bloss": "BLOSSCURVE", "cosine": "COSINECURVE",
                 "sine": "SINECURVE", "helmert": "HELMERTCURVE", "viennese": "VIENNESEBEND"}


def _gravity_centre_height(k: int, e: Any, cant: Any) -> float:
    """The GravityCenterLineHeight h of a leaning Viennese bend: IFC ties
    the bend's lean to the cant, lean = -h (psi1 - psi0) with psi the
    cross-section's angle at its ends (see _lean_viennese)."""
    if cant is None:
        raise IfcError("element %d: a leaning Viennese bend (lean %r) needs a cant layout to be "
                       "written to IFC, which ties its lean to the cant" % (k, e.lean))
    from curvixkit import _core
    import numpy as np
    law = _core.Cant([tuple(st) for st in cant.stations], float(cant.gauge), "centre")
    psi = np.empty(2)
    law.angles(np.array([e.start_station, e.end_station], dtype=float), True, psi)
    turn = float(psi[1] - psi[0])
    h = -e.lean / turn if turn != 0.0 else math.inf
    if not (0.0 < h < math.inf):
        raise IfcError("element %d: a Viennese bend leaning by %r cannot be written to IFC, "
                       "where its lean is the gravity-centre height (> 0) times the change of "
                       "the cant's angle over it (%r)" % (k, e.lean, turn))
    return h


def _length_unit(f: Any, units: Any) -> Any:
    name = str(getattr(units, "linear", None) or "metre")
    found = _WRITTEN_LENGTH.get(name.replace(" ", "").lower())
    if found is None:
        raise IfcError("the length unit %r cannot be written to IFC (%s can)"
                       % (name, ", ".join(sorted(_WRITTEN_LENGTH))))
    prefix, metres = found
    if metres is None:
        return f.createIfcSIUnit(UnitType="LENGTHUNIT", Prefix=prefix or None, Name="METRE")
    metre = f.createIfcSIUnit(UnitType="LENGTHUNIT", Name="METRE")
    return f.createIfcConversionBasedUnit(
        f.createIfcDimensionalExponents(1, 0, 0, 0, 0, 0, 0), "LENGTHUNIT", name,
        f.createIfcMeasureWithUnit(f.createIfcLengthMeasure(metres), metre))


def write_ifc(path: PathLike, name: str, start_station: float, elements: Sequence[Any],
              units: Any = None, profile: Optional[Sequence[Any]] = None,
              cant: Any = None, equations: Sequence[Any] = (), crs: Optional[str] = None,
              geometry: Any = None) -> List[str]:
    """Write one alignment as IFC4X3_ADD2 business logic: ``elements`` are
    :class:`~curvixkit.results.Element` records, ``profile`` the built
    :class:`~curvixkit.results.VerticalSegment` records, ``cant`` a
    :class:`~curvixkit.results.CantDesign`, ``equations`` station equations.
    Every layout is closed by a segment of zero length, as IFC's producers
    do; the stationing goes into referents (``Pset_Stationing``) and the
    CRS into an IfcMapConversion without offsets. With ``geometry`` (the
    :class:`~curvixkit.Alignment` the records come from: its ``point``,
    ``azimuth`` and ``length_3d_between``) the geometric representation is
    written too (see the section below). Returns what IFC cannot hold (the
    caller warns)."""
    library = _ifcopenshell("writing IFC files")
    from ifcopenshell import guid
    lost = []  # type: List[str]
    f = library.file(schema=_READ_AS)
    new = guid.new
    radian = f.createIfcSIUnit(UnitType="PLANEANGLEUNIT", Name="RADIAN")
    context = f.createIfcGeometricRepresentationContext(
        ContextType="Model", CoordinateSpaceDimension=3, Precision=1e-9,
        WorldCoordinateSystem=f.createIfcAxis2Placement3D(f.createIfcCartesianPoint((0., 0., 0.))))
    f.createIfcProject(new(), Name=name, RepresentationContexts=[context],
                       UnitsInContext=f.createIfcUnitAssignment([_length_unit(f, units), radian]))
    if crs:
        f.createIfcMapConversion(context, f.createIfcProjectedCRS(Name=crs), 0.0, 0.0, 0.0)
    alignment = f.createIfcAlignment(new(), Name=name)

    def nest(parent: Any, children: Sequence[Any]) -> None:
        f.createIfcRelNests(new(), RelatingObject=parent, RelatedObjects=[
            f.createIfcAlignmentSegment(new(), DesignParameters=c)
            if c.is_a("IfcAlignmentParameterSegment") else c for c in children])

    def radius(k: float) -> float:
        return 0.0 if k == 0.0 else -1.0 / k

    heights = {}  # type: Dict[int, float]
    for k, e in enumerate(elements, 1):
        if e.kind not in _WRITTEN_HORIZONTAL:
            raise IfcError("element %d: the kind %r cannot be written to IFC" % (k, e.kind))
        if e.kind == "viennese" and e.lean != 0.0:
            heights[k] = _gravity_centre_height(k, e, cant)
    horizontal = []
    for k, e in enumerate(elements, 1):
        horizontal.append(f.createIfcAlignmentHorizontalSegment(
            GravityCenterLineHeight=heights.get(k),
            StartPoint=f.createIfcCartesianPoint((float(e.start[0]), float(e.start[1]))),
            StartDirection=0.5 * math.pi - e.start_azimuth,
            StartRadiusOfCurvature=radius(e.start_curvature),
            EndRadiusOfCurvature=radius(e.end_curvature), SegmentLength=float(e.length),
            PredefinedType=_WRITTEN_HORIZONTAL[e.kind]))
    last = elements[-1]
    horizontal.append(f.createIfcAlignmentHorizontalSegment(
        StartPoint=f.createIfcCartesianPoint((float(last.end[0]), float(last.end[1]))),
        StartDirection=0.5 * math.pi - last.end_azimuth, StartRadiusOfCurvature=0.0,
        EndRadiusOfCurvature=0.0, SegmentLength=0.0, PredefinedType="LINE"))
    layouts = [f.createIfcAlignmentHorizontal(new())]
    nest(layouts[0], horizontal)
    if profile:
        vertical = []
        for seg in profile:
            radius_of_curvature = None
            if seg.kind == "clothoid":
                if math.isfinite(seg.start_radius):
                    raise IfcError("a vertical clothoid with a start radius (%r) cannot be written "
                                   "to IFC yet" % seg.start_radius)
                radius_of_curvature = float(seg.end_radius)
            elif seg.kind in ("parabola", "arc") and math.isfinite(seg.start_radius):
                radius_of_curvature = float(seg.start_radius)
            vertical.append(f.createIfcAlignmentVerticalSegment(
                StartDistAlong=seg.start_station - start_station,
                HorizontalLength=seg.end_station - seg.start_station,
                StartHeight=seg.start_elevation, StartGradient=seg.start_grade,
                EndGradient=seg.end_grade, RadiusOfCurvature=radius_of_curvature,
                PredefinedType=_WRITTEN_VERTICAL[seg.kind]))
        end = profile[-1]
        vertical.append(f.createIfcAlignmentVerticalSegment(
            StartDistAlong=end.end_station - start_station, HorizontalLength=0.0,
            StartHeight=end.end_elevation, StartGradient=end.end_grade, EndGradient=end.end_grade,
            PredefinedType="CONSTANTGRADIENT"))
        layouts.append(f.createIfcAlignmentVertical(new()))
        nest(layouts[-1], vertical)
    cant_pieces = []  # type: List[tuple]
    if cant is not None:
        centre = cant.axis == "centre"
        if cant.axis == "outside_rail":
            lost.append("the cant's rotation axis at the outside rail (IFC's cant is read about "
                        "the low rail)")

        def rails(c: float) -> Tuple[float, float]:
            if centre:
                return -0.5 * c, 0.5 * c
            return (-c, 0.0) if c < 0 else (0.0, c)

        stations = list(cant.stations)
        segments = []
        for (s0, c0, shape), (s1, c1, _) in zip(stations, stations[1:] + stations[-1:]):
            (l0, r0), (l1, r1) = rails(c0), rails(c1)
            if s1 > s0 and shape == "helmert" and c0 != c1:
                lm, rm = rails(0.5 * (c0 + c1))
                cant_pieces.append((s0 - start_station, l0, r0, lm, rm, 0.5 * (s1 - s0),
                                    "helmert_in"))
                cant_pieces.append((0.5 * (s0 + s1) - start_station, lm, rm, l1, r1,
                                    0.5 * (s1 - s0), "helmert_out"))
            elif s1 > s0 or not cant_pieces:
                cant_pieces.append((s0 - start_station, l0, r0, l1, r1, s1 - s0,
                                    "linear" if c0 == c1 else shape))
            segments.append(f.createIfcAlignmentCantSegment(
                StartDistAlong=s0 - start_station, HorizontalLength=s1 - s0, StartCantLeft=l0,
                EndCantLeft=l1, StartCantRight=r0, EndCantRight=r1,
                PredefinedType="CONSTANTCANT" if c0 == c1 else _WRITTEN_CANT[shape]))
        if any(p[6] == "viennese" for p in cant_pieces):
            lost.append("the cant's geometric representation: a Viennese cant transition turns "
                        "the cross-section by its shape, which no parent curve of an "
                        "IfcSegmentedReferenceCurve follows (the cant layout holds it)")
            cant_pieces = []
        layouts.append(f.createIfcAlignmentCant(new(), RailHeadDistance=float(cant.gauge)))
        nest(layouts[-1], segments)

    def referent(label: str, along: float, station: float, incoming: Optional[float]) -> Any:
        ref = f.createIfcReferent(new(), Name=label, PredefinedType="STATION",
                                  ObjectPlacement=f.createIfcLinearPlacement(
                                      RelativePlacement=f.createIfcAxis2PlacementLinear(
                                          f.createIfcPointByDistanceExpression(
                                              f.createIfcNonNegativeLengthMeasure(along)))))
        values = [f.createIfcPropertySingleValue("Station",
                                                 NominalValue=f.createIfcLengthMeasure(station))]
        if incoming is not None:
            values.append(f.createIfcPropertySingleValue(
                "IncomingStation", NominalValue=f.createIfcLengthMeasure(incoming)))
        f.createIfcRelDefinesByProperties(new(), RelatedObjects=[ref],
                                          RelatingPropertyDefinition=f.createIfcPropertySet(
                                              new(), Name="Pset_Stationing", HasProperties=values))
        return ref

    referents = [referent("start", 0.0, float(start_station), None)]
    for eq in equations:
        if eq.back is None:
            lost.append("the station before the equation at internal station %r (no back "
                        "station is known)" % eq.internal)
            continue
        referents.append(referent(eq.desc or "equation", eq.internal - start_station,
                                  float(eq.ahead), float(eq.back)))
    nest(alignment, layouts + referents)
    if geometry is not None:
        _representation_of(f, context, alignment, _plan_pieces(elements, geometry),
                           _profile_pieces(f, profile, start_station, geometry) if profile
                           else None, (cant_pieces, float(cant.gauge)) if cant_pieces else None)
    f.write(os.fspath(path))
    return lost


# ------------------------------------------------ writing: the representation
#
# The geometric representation follows the alignment geometry concept
# templates: an IfcCompositeCurve of IfcCurveSegments for the plan, an
# IfcGradientCurve over it for the profile and an IfcSegmentedReferenceCurve
# over that for the cant. Every segment is placed at its start (an
# IfcAxis2Placement2D, the x axis along the tangent), its parent curve is
# cut from its SegmentStart for SegmentLength (both IfcLengthMeasure: the
# schema asks for lengths until every parent curve has a parameter space),
# and the parent's curvature is the element's. Curvatures here are IFC's:
# positive to the left (counter-clockwise), the negative of the engine's.
# The polynomial spirals state each curvature term c s^n by a length A with
# c = sign(A) / |A|^(n + 1); the cosine and sine spirals scale their
# argument by the length of the segment that uses them.

def _term(c: float, n: int) -> Optional[float]:
    """The length A of a spiral's term c s^n (None for a term of 0)."""
    if c == 0.0:
        return None
    return math.copysign(abs(c) ** (-1.0 / (n + 1)), c)


def _placement_2d(f: Any, x: float, y: float, direction: float) -> Any:
    return f.createIfcAxis2Placement2D(
        f.createIfcCartesianPoint((float(x), float(y))),
        f.createIfcDirection((math.cos(direction), math.sin(direction))))


def _origin_2d(f: Any) -> Any:
    return _placement_2d(f, 0.0, 0.0, 0.0)


def _line(f: Any) -> Any:
    return f.createIfcLine(f.createIfcCartesianPoint((0.0, 0.0)),
                           f.createIfcVector(f.createIfcDirection((1.0, 0.0)), 1.0))


def _parent(f: Any, shape: str, k0: float, k1: float, length: float) -> Tuple[Any, float, float]:
    """(parent curve, SegmentStart, SegmentLength) of a piece of plane curve
    whose IFC curvature runs from k0 to k1 over ``length`` with the shape of
    a transition (see the engine's curvature laws), or constant."""
    dk = k1 - k0
    L = float(length)
    if isinstance(shape, _Cubic):
        return (f.createIfcPolynomialCurve(_origin_2d(f), (0.0, 1.0), (0.0, 0.0, 0.0, shape.c / 6.0)),
                shape.start, L)
    if isinstance(shape, _Viennese) and L != 0.0 and (dk != 0.0 or shape.lean != 0.0):
        return _viennese_parent(f, k0, k1, L, shape.lean)
    if dk == 0.0 or L == 0.0:
        if k0 == 0.0:
            return _line(f), 0.0, L
        # A circle runs counter-clockwise; a negative length runs it clockwise.
        return f.createIfcCircle(_origin_2d(f), 1.0 / abs(k0)), 0.0, math.copysign(L, k0)
    if shape == "clothoid":
        A = math.copysign(math.sqrt(L / abs(dk)), dk)
        return f.createIfcClothoid(_origin_2d(f), A), k0 * L / dk, L
    if shape == "bloss":
        return f.createIfcThirdOrderPolynomialSpiral(
            _origin_2d(f), _term(-2.0 * dk / L ** 3, 3), _term(3.0 * dk / L ** 2, 2), None,
            _term(k0, 0)), 0.0, L
    if shape == "cosine":
        return f.createIfcCosineSpiral(_origin_2d(f), _term(-0.5 * dk, 0),
                                       _term(k0 + 0.5 * dk, 0)), 0.0, L
    if shape == "sine":
        return f.createIfcSineSpiral(_origin_2d(f), _term(-dk / (2.0 * math.pi), 0),
                                     _term(dk / L, 1), _term(k0, 0)), 0.0, L
    if shape == "helmert_in":  # the first half (of length L) of a Helmert curve of 2 L
        return f.createIfcSecondOrderPolynomialSpiral(
            _origin_2d(f), _term(dk / L ** 2, 2), None, _term(k0, 0)), 0.0, L
    if shape == "helmert_out":  # its second half, from the middle
        return f.createIfcSecondOrderPolynomialSpiral(
            _origin_2d(f), _term(-dk / L ** 2, 2), _term(2.0 * dk / L, 1),
            _term(k0, 0)), 0.0, L
    raise IfcError("a %s transition cannot be written to IFC's representation" % shape)


def _segments_2d(f: Any, pieces: Sequence[tuple]) -> List[Any]:
    """IfcCurveSegments of pieces (x, y, direction, k0, k1, length, shape,
    end x, end y, end direction); ``shape`` names a curvature law or is a
    function giving (parent, SegmentStart, SegmentLength). Each segment's
    transition code says how it meets the next; the last is followed by a
    segment of zero length at its end (the layouts close the same way)."""
    out = []
    for i, p in enumerate(pieces):
        x, y, d, k0, k1, length, shape, x1, y1, d1 = p
        code = "CONTSAMEGRADIENT"
        if i + 1 < len(pieces):
            n = pieces[i + 1]
            if math.hypot(n[0] - x1, n[1] - y1) > 1e-9 * max(1.0, abs(x1), abs(y1)):
                code = "DISCONTINUOUS"
            elif abs(math.remainder(n[2] - d1, 2.0 * math.pi)) > 1e-9:
                code = "CONTINUOUS"
            elif abs(n[3] - k1) <= 1e-12:
                code = "CONTSAMEGRADIENTSAMECURVATURE"
        parent, start, seg_length = shape() if callable(shape) else _parent(f, shape, k0, k1,
                                                                              length)
        out.append(f.createIfcCurveSegment(code, _placement_2d(f, x, y, d),
                                           f.createIfcLengthMeasure(start),
                                           f.createIfcLengthMeasure(seg_length), parent))
    last = pieces[-1]
    out.append(f.createIfcCurveSegment("DISCONTINUOUS", _placement_2d(f, last[7], last[8], last[9]),
                                       f.createIfcLengthMeasure(0.0),
                                       f.createIfcLengthMeasure(0.0), _line(f)))
    return out


def _plan_pieces(elements: Sequence[Any], geometry: Any) -> List[tuple]:
    """The plan's pieces in IFC's terms (a Helmert curve as its two halves,
    the middle taken from the engine)."""
    pieces = []  # type: List[tuple]
    for e in elements:
        k0, k1 = -e.start_curvature, -e.end_curvature
        x0, y0 = float(e.start[0]), float(e.start[1])
        d0, d1 = 0.5 * math.pi - e.start_azimuth, 0.5 * math.pi - e.end_azimuth
        x1, y1 = float(e.end[0]), float(e.end[1])
        if e.kind == "helmert" and k0 != k1:
            mid = e.start_station + 0.5 * e.length
            xm, ym = (float(v) for v in geometry.point(mid))
            dm = 0.5 * math.pi - float(geometry.azimuth(mid))
            km = 0.5 * (k0 + k1)
            pieces.append((x0, y0, d0, k0, km, 0.5 * e.length, "helmert_in", xm, ym, dm))
            pieces.append((xm, ym, dm, km, k1, 0.5 * e.length, "helmert_out", x1, y1, d1))
            continue
        shape = e.kind if e.kind in TRANSITION_SHAPES else "clothoid"
        if e.kind == "viennese":
            shape = _Viennese(e.lean)
        elif e.kind == "cubic" and k0 != k1:
            shape = _cubic_parent(k0, k1, float(e.length))
        pieces.append((x0, y0, d0, k0, k1, float(e.length), shape, x1, y1, d1))
    return pieces


TRANSITION_SHAPES = ("clothoid", "bloss", "cosine", "sine")


def _gauss(f: Any, a: float, b: float) -> float:
    """The integral of f over [a, b] (8 parts of 16 Gauss-Legendre nodes)."""
    import numpy as np
    x, w = np.polynomial.legendre.leggauss(16)
    edges = np.linspace(a, b, 9)
    half = 0.5 * (edges[1:] - edges[:-1])
    mids = 0.5 * (edges[1:] + edges[:-1])
    return float(np.sum(half[:, None] * w * f(mids[:, None] + half[:, None] * x)))


def _cubic_parent(k0: float, k1: float, length: float) -> Any:
    """The parent of the IfcPolynomialCurve (x = u, y = c u^3 / 6) of a
    cubic parabola whose y'' runs from k0 to k1 (IFC's curvatures) over an
    arc length ``length``, cut from its point at x0 = k0 / c: the scale 1 / c
    as the engine finds it (see curvature_law.hpp)."""
    lo, hi = min(k0, k1), max(k0, k1)
    q = length / (hi - lo)
    for _ in range(60):
        step = ((q * _gauss(lambda u: (1.0 + (0.5 * q * u * u) ** 2) ** 0.5, lo, hi) - length) /
                _gauss(lambda u: (1.0 + 2.0 * (0.5 * q * u * u) ** 2) /
                       (1.0 + (0.5 * q * u * u) ** 2) ** 0.5, lo, hi))
        q -= step
        if not abs(step) > 1e-16 * q:
            break
    c = 1.0 / (q if k1 > k0 else -q)
    x0 = k0 / c
    return _Cubic(c, _gauss(lambda u: (1.0 + (0.5 * c * u * u) ** 2) ** 0.5, 0.0, x0))


class _Cubic(namedtuple("_Cubic", "c start")):
    """The shape of a plan piece that is a cubic parabola y = c x^3 / 6, cut
    from arc length ``start`` (from x = 0, signed)."""


class _Viennese(namedtuple("_Viennese", "lean")):
    """The shape of a plan piece that is a Viennese bend leaning by ``lean``."""


def _viennese_parent(f: Any, k0: float, k1: float, length: float,
                     lean: float) -> Tuple[Any, float, float]:
    """The IfcSeventhOrderPolynomialSpiral of a Viennese bend: its IFC
    curvature k0 + dk g(s / L) + lean / L^2 g''(s / L), with g = 35 x^4 -
    84 x^5 + 70 x^6 - 20 x^7, as a polynomial in s."""
    dk, L = k1 - k0, length
    c = [k0, 0.0, 420.0 * lean / L ** 4, -1680.0 * lean / L ** 5,
         35.0 * dk / L ** 4 + 2100.0 * lean / L ** 6, -84.0 * dk / L ** 5 - 840.0 * lean / L ** 7,
         70.0 * dk / L ** 6, -20.0 * dk / L ** 7]
    if c[7] == 0.0:
        raise IfcError("a Viennese bend between equal curvatures cannot be written to IFC's "
                       "representation (its septic term is 0)")
    return (f.createIfcSeventhOrderPolynomialSpiral(
        _origin_2d(f), *[_term(c[n], n) for n in range(7, -1, -1)]), 0.0, L)


def _profile_pieces(f: Any, profile: Sequence[Any], start_station: float,
                    geometry: Any) -> List[tuple]:
    """The profile's pieces in the plane of distance along and height: the
    grade as a direction, lengths along the curve (the engine's 3D length).
    A parabola is an IfcPolynomialCurve (the height a polynomial of the
    distance), an arc an IfcCircle, a vertical clothoid an IfcClothoid that
    leaves the grade line before it."""
    pieces = []  # type: List[tuple]
    for seg in profile:
        u0, u1 = seg.start_station - start_station, seg.end_station - start_station
        g0, g1 = seg.start_grade, seg.end_grade
        d0, d1 = math.atan(g0), math.atan(g1)
        length = float(geometry.length_3d_between(seg.start_station, seg.end_station))
        horizontal = u1 - u0
        k0 = k1 = 0.0
        shape = "line"  # type: Any
        if seg.kind == "clothoid":
            k1, shape = 1.0 / seg.end_radius, "clothoid"
        elif seg.kind == "parabola" and horizontal > 0.0:
            c = (g1 - g0) / (2.0 * horizontal)
            k0, k1 = 2.0 * c / (1.0 + g0 * g0) ** 1.5, 2.0 * c / (1.0 + g1 * g1) ** 1.5

            def shape(c: float = c, g0: float = g0, length: float = length) -> tuple:
                return (f.createIfcPolynomialCurve(_origin_2d(f), (0.0, 1.0), (0.0, g0, c)),
                        0.0, length)
        elif seg.kind == "arc" and horizontal > 0.0 and g1 != g0:
            k0 = k1 = (math.sin(d1) - math.sin(d0)) / horizontal

            def shape(k: float = k0, d0: float = d0, d1: float = d1) -> tuple:
                # The circle's centre is placed so that the point it starts at
                # is the origin, its tangent there the start grade (a sag runs
                # counter-clockwise from the bottom, a crest clockwise from the
                # top), as ifcopenshell's evaluator of gradient curves expects.
                r = 1.0 / abs(k)
                turn = 1.5 * math.pi if k > 0 else 0.5 * math.pi
                centre = (-r * math.sin(d0), r * math.cos(d0)) if k > 0 else \
                    (r * math.sin(d0), -r * math.cos(d0))
                return (f.createIfcCircle(_placement_2d(f, centre[0], centre[1], 0.0), r),
                        r * (d0 + turn), r * (d1 - d0))
        pieces.append((u0, seg.start_elevation, d0, k0, k1, length, shape, u1,
                       seg.end_elevation, d1))
    return pieces




def _cant_parent(f: Any, shape: str, dv: float, length: float) -> Tuple[Any, float, float]:
    """The parent of a cant segment: the deviation v of the track's centre
    from the profile (the mean of the rails' cants) changes by ``dv`` with
    the shape of the transition, as the curvature of the parent curve
    (curvature = (v - v0) / length^2, the deviation's rate of change
    following the parent's curvature); a constant deviation is a line."""
    L = float(length)
    if dv == 0.0 or L == 0.0:
        return _line(f), 0.0, L
    q = dv / (L * L)
    if shape == "linear":
        return f.createIfcClothoid(_origin_2d(f), _term(q / L, 1)), 0.0, L
    if shape == "bloss":
        return f.createIfcThirdOrderPolynomialSpiral(
            _origin_2d(f), _term(-2.0 * q / L ** 3, 3), _term(3.0 * q / L ** 2, 2), None,
            None), 0.0, L
    if shape == "cosine":
        return f.createIfcCosineSpiral(_origin_2d(f), _term(-0.5 * q, 0), _term(0.5 * q, 0)), \
            0.0, L
    if shape == "sine":
        return f.createIfcSineSpiral(_origin_2d(f), _term(-q / (2.0 * math.pi), 0),
                                     _term(q / L, 1), None), 0.0, L
    if shape == "helmert_in":  # as in the plan: half of a transition of 2 L
        return f.createIfcSecondOrderPolynomialSpiral(
            _origin_2d(f), _term(q / L ** 2, 2), None, None), 0.0, L
    if shape == "helmert_out":
        return f.createIfcSecondOrderPolynomialSpiral(
            _origin_2d(f), _term(-q / L ** 2, 2), _term(2.0 * q / L, 1), None), 0.0, L
    raise IfcError("a %s cant transition cannot be written to IFC's representation" % shape)


def _cant_segments(f: Any, pieces: Sequence[tuple], gauge: float) -> Tuple[List[Any], Any]:
    """IfcCurveSegments of the cant and the curve's EndPoint: each piece
    (distance along, left and right cant at its start, at its end, length,
    shape) placed in 3D at (distance along, deviation, 0), its Axis leaning
    by the cant (rise over the gauge) and its x axis along the deviation."""
    def placement(u: float, left: float, right: float, slope: float) -> Any:
        rise = (right - left) / gauge
        return f.createIfcAxis2Placement3D(
            f.createIfcCartesianPoint((float(u), 0.5 * (left + right), 0.0)),
            f.createIfcDirection((0.0, rise, math.sqrt(max(0.0, 1.0 - rise * rise)))),
            f.createIfcDirection((math.cos(math.atan(slope)), math.sin(math.atan(slope)), 0.0)))

    out = []
    for i, (u, l0, r0, l1, r1, length, shape) in enumerate(pieces):
        dv = 0.5 * (l1 + r1 - l0 - r0)
        # Every shape here leaves and reaches its ends with the deviation's
        # slope of 0, but for the linear one.
        slope = dv / length if shape == "linear" and length > 0.0 else 0.0
        parent, start, seg_length = _cant_parent(f, shape, dv, length)
        code = "CONTINUOUS" if i + 1 < len(pieces) else "CONTSAMEGRADIENT"
        out.append(f.createIfcCurveSegment(code, placement(u, l0, r0, slope),
                                           f.createIfcLengthMeasure(start),
                                           f.createIfcLengthMeasure(seg_length), parent))
    u, _, _, l1, r1, length, shape = pieces[-1]
    end = placement(u + length, l1, r1, 0.0)
    out.append(f.createIfcCurveSegment("DISCONTINUOUS", end, f.createIfcLengthMeasure(0.0),
                                       f.createIfcLengthMeasure(0.0), _line(f)))
    return out, placement(u + length, l1, r1, 0.0)


def _representation_of(f: Any, context: Any, alignment: Any, plan: Sequence[tuple],
                       profile: Optional[Sequence[tuple]],
                       cant: Optional[Tuple[list, float]]) -> None:
    """The alignment's shape: 'Axis' 'Curve2D' (the plan alone) or
    'FootPrint' 'Curve2D' and 'Axis' 'Curve3D' (the gradient curve, or the
    segmented reference curve over it), in an 'Axis' sub-context."""
    sub = f.createIfcGeometricRepresentationSubContext(
        "Axis", "Model", ParentContext=context, TargetView="MODEL_VIEW")
    composite = f.createIfcCompositeCurve(_segments_2d(f, plan), False)
    if profile is None:
        reps = [f.createIfcShapeRepresentation(sub, "Axis", "Curve2D", [composite])]
    else:
        axis = f.createIfcGradientCurve(_segments_2d(f, profile), False, composite)
        if cant is not None:
            segments, end = _cant_segments(f, cant[0], cant[1])
            axis = f.createIfcSegmentedReferenceCurve(segments, False, axis, end)
        reps = [f.createIfcShapeRepresentation(sub, "FootPrint", "Curve2D", [composite]),
                f.createIfcShapeRepresentation(sub, "Axis", "Curve3D", [axis])]
    alignment.Representation = f.createIfcProductDefinitionShape(Representations=reps)
    alignment.ObjectPlacement = f.createIfcLocalPlacement(
        None, f.createIfcAxis2Placement3D(f.createIfcCartesianPoint((0.0, 0.0, 0.0))))
