"""``curvixkit.Alignment``: the public face of the alignment engine.

No geometry is computed here: this module turns Python values into the arrays
the engine takes, checks them, names the argument that is wrong, and hands
files to the readers and writers of :mod:`curvixkit.io`.
"""

from __future__ import annotations

import math
import os
import re
import warnings
from typing import (TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple,
                    Union, overload)

import numpy as np

from curvixkit import _core, _limits
from curvixkit.errors import ElementError, IfcError, LandXMLError, LossWarning, ProfileError
from curvixkit.results import (BEFORE_START, PAST_END, CantDesign, Crossings, Element, Located,
                               LocatedAll, Profile, TurningPoint, Units, VerticalCurve,
                               VerticalSegment)
from curvixkit.stations import StationMap, default_style

if TYPE_CHECKING:
    from typing_extensions import Literal

    from curvixkit.diagnostics import Diagnostics, Thresholds

PathLike = Union[str, "os.PathLike[str]"]
# What the queries take: a number or an array of numbers (not text, which
# NumPy would read as an array of strings).
Real = Union[float, int, "np.floating[Any]", "np.integer[Any]"]
ArrayLike = Union[Real, Sequence[Real], Sequence[Sequence[Real]], "np.ndarray"]

_SPIRAL_MODES = ("exact", "series")
_MINIMA_TYPES = (np.int64, np.float64, np.float64, np.float64, np.int64)
_CROSSING_TYPES = (np.float64, np.float64, np.float64, np.int64, np.float64)

# ----------------------------------------------------------- argument checks

def _real_array(value: ArrayLike, name: str) -> np.ndarray:
    """``value`` as a float64 array, refusing what is not real numbers."""
    try:
        arr = np.asarray(value)
    except Exception as exc:  # ragged nested lists and the like
        raise ValueError("%s: cannot be read as an array of numbers (%s)" % (name, exc))
    if arr.dtype.kind not in "iuf":
        if arr.dtype.kind == "b":
            raise TypeError("%s must be real numbers, got %s" % (
                name, "a bool" if arr.ndim == 0 else "an array of bools"))
        raise TypeError("%s must be real numbers, got %s" % (
            name, "%r" % (value,) if arr.ndim == 0 else "an array of dtype %s" % arr.dtype))
    _limits.check_request(arr.size, name)  # before any copy: arr may be a free view
    return arr.astype(np.float64, copy=False)


def _points_array(points: ArrayLike, name: str) -> Tuple[np.ndarray, bool]:
    """An (N, 2) or (N, 3) C-contiguous float64 array, and whether one point
    was given."""
    arr = _real_array(points, name)
    if arr.ndim == 1 and arr.shape[0] in (2, 3):
        return np.ascontiguousarray(arr.reshape(1, -1)), True
    if arr.ndim != 2 or arr.shape[1] not in (2, 3):
        raise ValueError("%s must be one (x, y) or (x, y, z) point or an array of shape (N, 2) "
                         "or (N, 3), got shape %s" % (name, arr.shape))
    return np.ascontiguousarray(arr), False


def _real_scalar(value: Any, name: str) -> float:
    if isinstance(value, (str, bytes, bool, np.bool_)) or not np.isscalar(value) and np.ndim(value) != 0:
        raise TypeError("%s must be a real number, got %r" % (name, value))
    try:
        result = float(value)
    except (TypeError, ValueError):
        raise TypeError("%s must be a real number, got %r" % (name, value))
    if isinstance(value, complex) or np.iscomplexobj(value):
        raise TypeError("%s must be a real number, got %r" % (name, value))
    return result


def _turn_of(value: Any, k: int) -> float:
    if isinstance(value, str):
        turn = {"right": 1, "cw": 1, "left": -1, "ccw": -1}.get(value.strip().lower())
        if turn is None:
            raise ElementError("element %d: turn must be 'right'/'cw', 'left'/'ccw', 1 or -1, got %r"
                               % (k, value), k, "turn")
        return float(turn)
    if value in (1, -1) and not isinstance(value, bool):
        return float(value)
    raise ElementError("element %d: turn must be 'right'/'cw', 'left'/'ccw', 1 or -1, got %r"
                       % (k, value), k, "turn")


def _number(m: Mapping[str, Any], key: str, k: int) -> float:
    try:
        value = m[key]
    except KeyError:
        raise ElementError("element %d: %s is missing" % (k, key), k, key)
    try:
        if isinstance(value, (str, bytes, complex)):
            raise TypeError
        return float(value)
    except (TypeError, ValueError):
        raise ElementError("element %d: %s must be a number, got %r" % (k, key, value), k, key)


def _curvature_from_radius(m: Mapping[str, Any], key: str, k: int, turn: float) -> float:
    r = _number(m, key, k)
    if math.isnan(r) or r <= 0:
        raise ElementError("element %d: %s must be positive (math.inf for a straight end), got %r"
                           % (k, key, r), k, key)
    return 0.0 if math.isinf(r) else turn / r


_KINDS = {"line": "line", "straight": "line", "arc": "arc", "curve": "arc",
          "clothoid": "clothoid", "spiral": "clothoid", "bloss": "bloss", "cosine": "cosine",
          "sine": "sine", "sinusoid": "sine", "helmert": "helmert", "biquadratic": "helmert",
          "viennese": "viennese", "cubic": "cubic", "cubic_parabola": "cubic"}


def _description(m: Any, k: int) -> tuple:
    """An element description (a mapping or an ``Element``) as the engine's
    (length, k0, k1, start or None, azimuth or None, shape, lean)."""
    if hasattr(m, "_asdict"):
        m = m._asdict()
    if not isinstance(m, Mapping):
        raise ElementError("element %d: expected a mapping such as {'kind': 'line', 'length': 100.0}, "
                           "got %r" % (k, m), k, None)
    raw_kind = m.get("kind")
    kind = _KINDS.get(raw_kind.strip().lower()) if isinstance(raw_kind, str) else None
    if kind is None:
        raise ElementError("element %d: kind must be 'line', 'arc', 'clothoid', 'bloss', 'cosine', "
                           "'sine', 'helmert', 'viennese' or 'cubic', got %r" % (k, raw_kind), k,
                           "kind")
    length = _number(m, "length", k)
    if kind == "line":
        k0 = k1 = 0.0
    elif "start_curvature" in m or "curvature" in m:
        if kind == "arc":
            k0 = k1 = _number(m, "curvature" if "curvature" in m else "start_curvature", k)
        else:
            k0, k1 = _number(m, "start_curvature", k), _number(m, "end_curvature", k)
    else:
        turn = _turn_of(m.get("turn"), k)
        if kind == "arc":
            key = "radius" if "radius" in m else "start_radius"
            k0 = k1 = _curvature_from_radius(m, key, k, turn)
            if k0 == 0.0:
                raise ElementError("element %d: an arc needs a finite radius" % k, k, key)
        else:
            k0 = _curvature_from_radius(m, "start_radius", k, turn)
            k1 = _curvature_from_radius(m, "end_radius", k, turn)
    start = m.get("start")
    if start is not None:
        try:
            sx, sy = (float(v) for v in start)
        except (TypeError, ValueError):
            raise ElementError("element %d: start must be an (x, y) pair, got %r" % (k, start),
                               k, "start")
        start = (sx, sy)
    azimuth = m.get("start_azimuth")
    if azimuth is not None:
        azimuth = _number(m, "start_azimuth", k)
    lean = 0.0
    if kind == "viennese" and m.get("lean") is not None:
        lean = _number(m, "lean", k)
    return (length, k0, k1, start, azimuth, "clothoid" if kind in ("line", "arc") else kind, lean)



def _profile_engine(description: Any) -> Tuple[Any, Optional[str], Tuple[str, ...]]:
    """(compiled profile, name, notes) of a profile description: a
    :class:`Profile`, a mapping with ``pvis`` or ``segments`` (and an
    optional ``name``), or a sequence of PVI tuples (station, elevation[,
    curve, value[, value]])."""
    name, notes = None, ()  # type: Optional[str], Tuple[str, ...]
    if isinstance(description, Profile):
        name, notes = description.name, description.notes
        pvis, segments = list(description.pvis), list(description.segments_in)
    elif isinstance(description, Mapping):
        name = description.get("name")
        pvis, segments = list(description.get("pvis", ())), list(description.get("segments", ()))
        if bool(pvis) == bool(segments):
            raise ProfileError("profile: give either pvis or segments", None, "profile")
    else:
        pvis, segments = [tuple(p) for p in description], []
    try:
        engine = (_core.Profile.from_pvis([tuple(p) for p in pvis]) if pvis else
                  _core.Profile.from_segments([tuple(x) for x in segments]))
    except TypeError as exc:
        raise ProfileError("profile: %s" % exc, None, "profile") from None
    return engine, name, tuple(notes)


def _cant_engine(description: Any) -> Tuple[Any, Optional[str], Tuple[str, ...]]:
    """(compiled cant, name, notes) of a :class:`CantDesign` or a mapping
    with ``stations`` (station, signed cant[, transition]), ``gauge`` and
    ``axis`` (default "inside_rail")."""
    if isinstance(description, CantDesign):
        stations, given, axis, name, notes = (description.stations, description.gauge, description.axis, description.name,
                                              description.notes)  # type: Any, Any, Any, Any, Any
    elif isinstance(description, Mapping):
        stations, given = description.get("stations", ()), description.get("gauge")
        axis, name, notes = description.get("axis", "inside_rail"), description.get("name"), ()
    else:
        raise TypeError("cant must be a CantDesign or a mapping with stations, gauge and axis, "
                        "got %r" % (description,))
    try:
        gauge = float(given)
    except (TypeError, ValueError):
        raise ProfileError("cant: gauge must be a number, got %r" % (given,), None,
                           "gauge") from None
    try:
        engine = _core.Cant([tuple(x) for x in stations], gauge, str(axis))
    except TypeError as exc:
        raise ProfileError("cant: %s" % exc, None, "stations") from None
    return engine, name, tuple(notes)


# ------------------------------------------------------------------ Alignment

class Alignment:
    """A horizontal alignment: straights, circular arcs and clothoids, each with
    a curvature linear along it, evaluated exactly.

    Conventions: x is east, y north; azimuths in radians from north towards
    east (clockwise), never wrapped; curvature positive where the alignment
    turns right; offsets positive to the right of the direction of travel;
    stations in the file's length unit. An ``Alignment`` never changes after it
    is built, so one object may be queried from many threads at once; every
    query over arrays runs without the GIL.

    Build one with :meth:`from_icd`, :meth:`from_landxml`, :meth:`from_ifc`,
    :meth:`from_elements` or :meth:`read` (by file content).
    """

    __slots__ = ("_engine", "_meta", "_profile", "_cant", "_frame")
    _engine: Any  # the compiled engine (curvixkit._core.Engine)
    _meta: Dict[str, Any]
    _profile: Any  # curvixkit._core.Profile or None
    _cant: Any  # curvixkit._core.Cant or None
    _frame: Any  # curvixkit._core.Frame of the three, or None

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("build an Alignment with Alignment.from_icd(), from_landxml(), "
                        "from_ifc(), from_elements() or read()")

    @classmethod
    def _wrap(cls, engine: Any, meta: Dict[str, Any], profile: Any = None,
              cant: Any = None) -> "Alignment":
        """The alignment of a built engine; ``profile`` and ``cant`` are
        descriptions (see :meth:`from_elements`), their names and notes kept."""
        self = object.__new__(cls)
        object.__setattr__(self, "_engine", engine)
        object.__setattr__(self, "_meta", meta)
        p = c = frame = None
        if profile is not None:
            p, meta["profile_name"], meta["profile_notes"] = _profile_engine(profile)
        if cant is not None:
            c, meta["cant_name"], meta["cant_notes"] = _cant_engine(cant)
        if p is not None or c is not None:
            frame = _core.Frame(engine, p, c)
        object.__setattr__(self, "_profile", p)
        object.__setattr__(self, "_cant", c)
        object.__setattr__(self, "_frame", frame)
        return self

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("an Alignment cannot be changed; build a new one")

    # ------------------------------------------------------------ builders

    @classmethod
    def from_elements(cls, start_station: float, x: float, y: float, azimuth: float,
                      elements: Iterable[Any], units: Optional[Units] = None,
                      profile: Any = None, cant: Any = None) -> "Alignment":
        """An alignment from plain element descriptions.

        Each element is a mapping (or an :class:`Element`) with ``kind``
        (``"line"``, ``"arc"``, or a transition curve: ``"clothoid"``,
        ``"bloss"``, ``"cosine"``, ``"sine"``, ``"helmert"``, ``"viennese"``,
        ``"cubic"``;
        see :data:`~curvixkit.results.TRANSITIONS`), ``length``, and for curves
        either ``start_radius``/``end_radius`` (``radius`` for an arc;
        ``math.inf`` for a straight end) with ``turn`` (``"right"``/``"cw"``/1 or
        ``"left"``/``"ccw"``/-1), or signed ``start_curvature``/``end_curvature``.
        Optional ``start`` (x, y) and ``start_azimuth`` place the element where
        stated; otherwise it starts at the exact end of the one before (the
        first at ``x``, ``y``, ``azimuth``). A ``"viennese"`` bend takes
        ``lean``: its gravity-centre height times the change of the cant
        angle across it (radians), signed like the curvature (0 by default:
        a curve of the bend's seventh-order shape). ``units`` records the
        linear unit the numbers are in (see :attr:`units`); nothing is
        converted.

        ``profile`` (optional): a :class:`~curvixkit.results.Profile` (say
        another alignment's), a mapping with ``pvis`` — (station,
        elevation[, curve, value[, value]]) tuples, curve ``"parabola"``
        (its length), ``"asymmetric_parabola"`` (the lengths before and
        after the PVI) or ``"arc"`` (its radius) — or with ``segments``
        (kind, start station, length, start elevation, start grade, end
        grade[, start radius, end radius]), or a list of PVI tuples.
        ``cant`` (optional): a :class:`~curvixkit.results.CantDesign` or a
        mapping with ``stations`` (station, signed cant[, transition:
        "linear", "bloss", "cosine", "sine", "helmert", "viennese"]), ``gauge`` and
        ``axis`` ("inside_rail", "centre", "outside_rail"). A profile or
        cant that cannot be built raises :class:`ProfileError`.

        Raises :class:`ElementError` (a ``ValueError``) naming the element
        (1-based) and the field for a bad description: a negative or NaN
        length, a zero radius, a non-finite coordinate, a length or
        coordinate beyond the engine's limits.
        """
        values = {}
        for name, value in (("start_station", start_station), ("x", x), ("y", y),
                            ("azimuth", azimuth)):
            values[name] = _real_scalar(value, name)
        descs = [_description(m, k) for k, m in enumerate(elements, 1)]
        engine = _core.Engine(values["start_station"], values["x"], values["y"],
                              values["azimuth"], descs)
        meta = {"source": "elements"}  # type: Dict[str, Any]
        if units is not None:
            meta["units"] = Units(*units)
        return cls._wrap(engine, meta, profile, cant)

    @classmethod
    def from_icd(cls, path: PathLike, spirals: str = "exact", strict: bool = True) -> "Alignment":
        """Read an ICD alignment file.

        ``strict=True`` refuses what people mistype (a field that is not a
        number, a direction other than 1/-1, non-positive lengths and radii, a
        line that would silently end the list) with :class:`IcdError` naming
        the line and field; ``strict=False`` reads exactly what the legacy
        ``curvix.PQX`` reads. ``spirals="series"`` evaluates every point as
        ``curvix.PQX`` does (its series for spirals); ``"exact"`` integrates
        the clothoids exactly. A file that cannot be read raises ``OSError``
        (also for a file over 256 MiB, a directory or a FIFO).
        """
        from curvixkit.io import icd
        if spirals not in _SPIRAL_MODES:
            raise ValueError("spirals must be 'exact' or 'series', got %r" % (spirals,))
        data, name = icd.read_bytes(path)
        return cls._from_icd_bytes(data, name, spirals, bool(strict))

    @classmethod
    def _from_icd_bytes(cls, data: bytes, name: Optional[str], spirals: str,
                        strict: bool) -> "Alignment":
        from curvixkit.io import icd
        engine, lines, units = icd.build(data, name, strict, spirals == "series")
        meta = {"source": "icd", "path": name, "spirals": spirals, "strict": strict,
                "lines": list(lines)}  # type: Dict[str, Any]
        if units is not None:
            meta["units"] = units
        if spirals == "series":
            meta["icd_bytes"] = data  # the legacy chain is rebuilt from the text when unpickled
        return cls._wrap(engine, meta)

    @classmethod
    def from_landxml(cls, path: PathLike, name: Optional[str] = None, chain: bool = False,
                     profile: Union[None, bool, str] = None) -> "Alignment":
        """Read one alignment of a LandXML 1.0-1.2 file (``name`` picks one of
        several; see :meth:`landxml_names`), with its vertical profile and
        cant. Each element is placed at its stated start; ``chain=True``
        chains them from the first start instead. ``profile`` picks the
        design profile: None the first ProfAlign, a name one of them (see
        :meth:`landxml_profiles`), False none. Raises :class:`LandXMLError`
        (a ``ValueError``) naming the line."""
        from curvixkit.io import landxml
        doc = landxml.read_landxml(path, name=name, chain=chain)
        where = os.fspath(path)
        try:
            engine = _core.Engine(doc.start_station, doc.x, doc.y, doc.azimuth,
                                  [_description(m, k) for k, m in enumerate(doc.elements, 1)])
        except ElementError as exc:  # what the engine refuses, at the element's line of the file
            stated = doc.stated[exc.element - 1] if exc.element else None
            raise LandXMLError("%s in alignment %r: %s" % (stated.kind if stated else "Alignment",
                                                            doc.name, exc.message),
                               where, stated.line if stated else doc.line,
                               stated.kind if stated else "Alignment", exc.field) from None
        chosen = None
        if profile is not False and doc.profiles:
            names = [p.name for p in doc.profiles]
            if profile is None or profile is True:
                chosen = doc.profiles[0]
            elif profile in names:
                chosen = doc.profiles[names.index(profile)]
            else:
                raise LandXMLError("alignment %r has no profile named %r; it has %s"
                                   % (doc.name, profile, ", ".join(map(repr, names))), where)
        elif isinstance(profile, str):
            raise LandXMLError("alignment %r has no profile (no Profile/ProfAlign)" % doc.name,
                               where)
        meta = {"source": "landxml", "path": where, "name": doc.name,
                "units": doc.units, "equations": list(doc.equations), "stated": doc.stated,
                "stated_length": doc.length, "surfaces": list(doc.surfaces)}
        profile_description = None
        if chosen is not None:
            profile_description = {"pvis": chosen.pvis, "name": chosen.name}
        cant = None
        if doc.cant is not None:
            cant = CantDesign(doc.cant.name or None, tuple(doc.cant.stations), doc.cant.gauge,
                              doc.cant.axis, tuple(doc.cant.notes))
        try:
            alignment = cls._wrap(engine, meta, profile_description, cant)
        except ProfileError as exc:
            if chosen is not None and (cant is None or "cant" not in exc.message.lower()):
                line = chosen.lines[exc.index] if exc.index is not None and exc.index < len(
                    chosen.lines) else chosen.line
                kind = "ProfAlign"
            else:
                line = doc.cant.lines[exc.index] if exc.index is not None and exc.index < len(
                    doc.cant.lines) else doc.cant.line
                kind = "Cant"
            raise LandXMLError("%s in alignment %r: %s" % (kind, doc.name, exc.message), where,
                               line, kind, exc.field) from None
        if chosen is not None:
            meta["profile_notes"] = tuple(chosen.notes)
            meta["profile_stated_lengths"] = list(chosen.stated_lengths)
        return alignment

    @staticmethod
    def landxml_profiles(path: PathLike, name: Optional[str] = None) -> List[str]:
        """The names of the design profiles (ProfAlign) of one alignment of a
        LandXML file, in file order; ground lines (ProfSurf) are not among
        them."""
        from curvixkit.io import landxml
        return [p.name for p in landxml.read_landxml(path, name=name).profiles]

    @staticmethod
    def landxml_names(path: PathLike) -> List[str]:
        """The names of the alignments in a LandXML file, in file order."""
        from curvixkit.io import landxml
        return landxml.landxml_names(path)

    @classmethod
    def from_ifc(cls, path: PathLike, name: Union[None, str, int] = None) -> "Alignment":
        """Read one alignment of an IFC 4.3 file (IFC4X3_ADD2, IFC4X3_ADD1,
        IFC4X3): the business logic of its horizontal layout, with its
        vertical layout as the profile and its cant layout as the cant.
        ``name`` is the IfcAlignment's Name or its 0-based index in
        :meth:`ifc_names` (real files repeat names). Coordinates are in the
        map CRS where the file has an IfcMapConversion (:attr:`crs`).
        Needs the optional extra ``ifc`` (ifcopenshell; otherwise
        :class:`~curvixkit.errors.MissingExtraError`). Raises
        :class:`IfcError` (a ``ValueError``) naming the entity and the
        attribute, also for what the engine refuses."""
        from curvixkit.io import ifc
        doc = ifc.read_ifc(path, name=name)
        try:
            engine = _core.Engine(doc.start_station, doc.x, doc.y, doc.azimuth, doc.elements)
        except ElementError as exc:
            entity = doc.entities[exc.element - 1] if exc.element else doc.entity
            attribute = _IFC_ELEMENT_FIELDS.get(exc.field or "", exc.field)
            message = re.sub(r"^element \d+: ", "", exc.message)
            raise IfcError("%s IfcAlignmentHorizontalSegment: %s" % (entity, message),
                           doc.path, entity, attribute) from None
        meta = {"source": "ifc", "path": doc.path, "name": doc.name, "entity": doc.entity,
                "units": doc.units, "equations": list(doc.equations), "crs": doc.crs,
                "notes": list(doc.notes)}  # type: Dict[str, Any]
        profile = {"segments": doc.profile} if doc.profile is not None else None
        try:
            alignment = cls._wrap(engine, meta, profile, doc.cant)
        except ProfileError as exc:
            is_cant = doc.cant is not None and (profile is None or
                                                "cant" in exc.message.lower())
            names = doc.cant_entities if is_cant else doc.profile_entities
            entity = (names[exc.index] if exc.index is not None and 0 <= exc.index < len(names)
                      else doc.entity)
            kind = "IfcAlignmentCantSegment" if is_cant else "IfcAlignmentVerticalSegment"
            attribute = (_IFC_CANT_FIELDS if is_cant else _IFC_PROFILE_FIELDS).get(
                exc.field or "", exc.field)
            raise IfcError("%s %s: %s" % (entity, kind, exc.message), doc.path, entity,
                           attribute) from None
        meta["notes"].extend(alignment._representation_notes(doc.representation))
        return alignment

    def _representation_notes(self, representation: Mapping[str, Any]) -> List[str]:
        """How far the geometric representation's segment starts lie from
        the geometry of the design parameters: in plan a start at a joint
        from the computed end of the element before it, one inside an
        element (a representation may cut an element in more than one
        segment, as a Helmert transition's two halves) from the curve; in
        profile from the end of the segment before."""
        notes = []
        worst = None  # type: Optional[Tuple[float, str]]
        starts = representation.get("horizontal", ())
        if starts:
            elements = self.elements
            joints = np.array([e.start_station for e in elements] + [self.end_station])
            ends = np.array([elements[0].start] + [e.end for e in elements], dtype=float)
            xy = np.array([(x, y) for _, x, y in starts], dtype=float)
            found = self.locate(xy)
            for i, (entity, x, y) in enumerate(starts):
                k = int(np.argmin(np.abs(joints - found.station[i])))
                miss = (math.hypot(x - ends[k, 0], y - ends[k, 1])
                        if abs(joints[k] - found.station[i]) <= 1e-2 else float(found.distance[i]))
                worst = max(worst or (miss, entity), (miss, entity))
        if worst is not None:
            notes.append("representation: the IfcCurveSegment starts of the plan lie within %.3g "
                         "of the design parameters' geometry (largest at %s)" % worst)
        worst = None
        profile = self.profile
        segments = profile.segments if profile is not None else ()
        for k, (entity, _, height) in enumerate(representation.get("vertical", ())[:len(segments)]):
            z = segments[k - 1].end_elevation if k else segments[0].start_elevation
            worst = max(worst or (abs(height - z), entity), (abs(height - z), entity))
        if worst is not None:
            notes.append("representation: the IfcCurveSegment starts of the profile lie within "
                         "%.3g of the design parameters' heights (largest at %s)" % worst)
        return notes

    @staticmethod
    def ifc_names(path: PathLike) -> List[str]:
        """The names of the alignments of an IFC file in file order ("" for
        one without a name); ``from_ifc(path, name=i)`` reads the i-th."""
        from curvixkit.io import ifc
        return ifc.ifc_names(path)

    @classmethod
    def read(cls, path: PathLike, name: Union[None, str, int] = None) -> "Alignment":
        """Read an ICD, LandXML or IFC file, told apart by content (after an
        optional byte-order mark and blanks, an XML file starts with '<' and
        an IFC file with 'ISO-10303-21;'). ``name`` picks an alignment of a
        LandXML file by name, of an IFC file by name or index."""
        with open(os.fspath(path), "rb") as f:
            head = f.read(4096)
        if head.startswith(b"\xef\xbb\xbf"):
            head = head[3:]
        if head.lstrip().startswith(b"ISO-10303-21;"):
            return cls.from_ifc(path, name=name)
        if head.lstrip().startswith(b"<"):
            if name is not None and not isinstance(name, str):
                raise TypeError("name of a LandXML alignment must be a str, got %r" % (name,))
            return cls.from_landxml(path, name=name)
        if name is not None:
            raise ValueError("name applies to LandXML and IFC files; %s is an ICD file"
                             % os.fspath(path))
        return cls.from_icd(path)

    # ------------------------------------------------------------ properties

    @property
    def start_station(self) -> float:
        """Internal station at the start."""
        return self._engine.start_station

    @property
    def end_station(self) -> float:
        """Internal station at the end (the start plus the element lengths)."""
        return self._engine.end_station

    @property
    def length(self) -> float:
        """``end_station - start_station``."""
        return self._engine.length

    @property
    def elements(self) -> List[Element]:
        """The elements as :class:`Element` tuples, in order."""
        return [Element.from_engine(t) for t in self._engine.elements()]

    @property
    def name(self) -> Optional[str]:
        """The alignment's name in its LandXML or IFC file, else ``None``."""
        return self._meta.get("name")

    @property
    def crs(self) -> Optional[str]:
        """The map CRS its coordinates are in, as its file names it (an IFC
        file's IfcProjectedCRS, "EPSG:3944"); ``None`` where the file names
        none."""
        return self._meta.get("crs")

    @property
    def path(self) -> Optional[str]:
        """The file the alignment was read from, else ``None``."""
        return self._meta.get("path")

    @property
    def units(self) -> Optional[Units]:
        """The units its file states (kept, never converted): a LandXML file's
        ``Units``, or the unit comment of an ICD file this package wrote;
        ``None`` where nothing says."""
        return self._meta.get("units")

    @property
    def profile(self) -> Optional[Profile]:
        """The vertical profile (None without one): the PVIs or segments it
        was built from, its segments, curves, high and low points."""
        p = self._profile
        if p is None:
            return None
        kind, items = p.inputs()
        return Profile(self._meta.get("profile_name"), p.start_station, p.end_station,
                       tuple(items) if kind == "pvis" else (),
                       tuple(items) if kind == "segments" else (),
                       tuple(VerticalSegment(*t) for t in p.segments()),
                       tuple(VerticalCurve(*t) for t in p.curves()),
                       tuple(TurningPoint(*t) for t in p.turning_points()),
                       tuple(p.overlaps()), tuple(self._meta.get("profile_notes", ())))

    @property
    def cant_design(self) -> Optional[CantDesign]:
        """The applied cant (None without one): its stations, gauge and axis."""
        c = self._cant
        if c is None:
            return None
        stations, gauge, axis = c.inputs()
        return CantDesign(self._meta.get("cant_name"), tuple(stations), gauge, axis,
                          tuple(self._meta.get("cant_notes", ())))

    @property
    def stations(self) -> StationMap:
        """The station map: internal stations <-> display stations of the
        station equations (identity where there are none), with the
        chainage style of the file's unit (``"us"`` for feet, else ``"k"``)."""
        return StationMap(self.start_station, self.end_station, self._meta.get("equations", ()),
                          style=default_style(self.units))

    def __len__(self) -> int:
        return len(self._engine)

    def __repr__(self) -> str:
        where = ""
        if self._meta.get("name"):
            where = " %r" % self._meta["name"]
        return "<curvixkit.Alignment%s stations %r to %r, %d elements>" % (
            where, self.start_station, self.end_station, len(self))

    # --------------------------------------------------------- pickling, copy

    def __reduce__(self) -> tuple:
        meta = dict(self._meta)
        if "icd_bytes" in meta:
            return (_rebuild_icd, (meta,))
        x, y, az = self._engine.start
        profile = cant = None
        if self._profile is not None:
            kind, items = self._profile.inputs()
            profile = {kind: items}
        if self._cant is not None:
            stations, gauge, axis = self._cant.inputs()
            cant = {"stations": stations, "gauge": gauge, "axis": axis}
        return (_rebuild, (self.start_station, x, y, az, self._engine.inputs(), meta, profile,
                           cant))

    def __copy__(self) -> "Alignment":
        return self  # immutable

    def __deepcopy__(self, memo: Dict[int, Any]) -> "Alignment":
        return self  # immutable

    # --------------------------------------------------------------- queries

    def _stations(self, stations: ArrayLike, display: bool, name: str = "stations") -> np.ndarray:
        arr = _real_array(stations, name)
        if display:
            arr = np.asarray(self.stations.from_display(arr), dtype=np.float64)
        return arr

    def point(self, stations: ArrayLike, offsets: ArrayLike = 0.0, extend: bool = False,
              display: bool = False) -> np.ndarray:
        """Points at stations (and offsets, positive to the right), as an array
        of shape (..., 2) of x, y; a scalar station gives shape (2,).

        Stations outside the alignment give NaN, or with ``extend=True`` the
        continuation of the first or last element. ``display=True`` takes
        display stations of the station equations. Stations and offsets
        broadcast together. Raises ``TypeError`` naming the argument for
        values that are not real numbers (text, bools, complex) and
        ``ValueError`` for shapes that do not broadcast."""
        s = self._stations(stations, display)
        o = _real_array(offsets, "offsets")
        try:
            _limits.check_request(np.broadcast(s, o).size, "stations and offsets")
            s, o = np.broadcast_arrays(s, o)
        except ValueError:
            raise ValueError("stations of shape %s and offsets of shape %s do not broadcast"
                             % (np.shape(stations), np.shape(offsets)))  # type: ignore[arg-type]
        shape = s.shape
        out = np.empty(shape + (2,))
        self._engine.points(np.ascontiguousarray(s.ravel()), np.ascontiguousarray(o.ravel()),
                            bool(extend), out)
        return out

    def _per_station(self, method: Any, stations: ArrayLike, extend: bool, display: bool) -> Any:
        s = self._stations(stations, display)
        out = np.empty(s.shape)
        method(np.ascontiguousarray(s.ravel()), bool(extend), out)
        return float(out) if out.ndim == 0 else out

    def azimuth(self, stations: ArrayLike, extend: bool = False, display: bool = False) -> Any:
        """Tangent azimuth (radians from north towards east, not wrapped)."""
        return self._per_station(self._engine.azimuths, stations, extend, display)

    def curvature(self, stations: ArrayLike, extend: bool = False, display: bool = False) -> Any:
        """Signed curvature (1/length unit), positive where the alignment turns right."""
        return self._per_station(self._engine.curvatures, stations, extend, display)

    def element_index(self, stations: ArrayLike, display: bool = False) -> Any:
        """0-based index of the element holding each station (a station at a
        joint belongs to the element that starts there); -1 outside."""
        s = self._stations(stations, display)
        out = np.empty(s.shape, dtype=np.int64)
        self._engine.element_indices(np.ascontiguousarray(s.ravel()), out)
        return int(out) if out.ndim == 0 else out

    def _beyond(self, xy: np.ndarray, station: np.ndarray) -> np.ndarray:
        """-1 / +1 where a point located to an end lies behind the start or
        ahead of the end (on the far side of the end's square), else 0."""
        out = np.zeros(station.shape, dtype=np.int64)
        for end, sign, code in ((self.start_station, -1.0, BEFORE_START),
                                (self.end_station, 1.0, PAST_END)):
            at = station == end
            if not np.any(at):
                continue
            (ex, ey), a = self.point(end), self.azimuth(end)
            along = (xy[at, 0] - ex) * math.sin(a) + (xy[at, 1] - ey) * math.cos(a)
            # A point on the square through the end (along 0 up to rounding) is not beyond it.
            slack = 1e-12 * (np.abs(xy[at, 0]) + np.abs(xy[at, 1]) + 1.0)
            out[np.flatnonzero(at)[sign * along > slack]] = code
        return out

    @overload
    def locate(self, points: ArrayLike, max_distance: float = ...,
               all: "Literal[False]" = ..., banked: bool = ...) -> Located: ...

    @overload
    def locate(self, points: ArrayLike, max_distance: float, all: "Literal[True]",
               banked: bool = ...) -> LocatedAll: ...

    @overload
    def locate(self, points: ArrayLike, max_distance: float = ..., *, all: "Literal[True]",
               banked: bool = ...) -> LocatedAll: ...

    def locate(self, points: ArrayLike, max_distance: float = math.inf,
               all: bool = False, banked: bool = True) -> Union[Located, LocatedAll]:
        """Station and signed offset of points: an (N, 2) array of x, y or an
        (N, 3) array of x, y, z, or one point.

        By default the globally nearest point of the alignment (every element,
        both ends) as :class:`Located`. A point beyond either end locates to
        that end, with ``beyond`` -1 or +1 saying so. ``all=True`` gives every
        local minimum of the distance within ``max_distance`` as
        :class:`LocatedAll`. Nothing within ``max_distance`` gives NaN and
        element -1. Offsets are positive to the right of the direction of
        travel. For (x, y, z) points ``dz`` is the height above the design
        at the foot: the profile's elevation there, or with ``banked`` (and
        a cant) the banked cross-section's; NaN without a profile. Raises
        ``ValueError`` for an array of another shape and for a negative or
        NaN ``max_distance``."""
        pts, single = _points_array(points, "points")
        limit = _real_scalar(max_distance, "max_distance")
        if math.isnan(limit) or limit < 0:
            raise ValueError("max_distance must be >= 0, got %r" % (max_distance,))
        xy = np.ascontiguousarray(pts[:, :2])
        if all:
            q, s, o, d, e = (np.frombuffer(c, dtype=t).copy()
                             for c, t in zip(self._engine.local_minima(xy, limit), _MINIMA_TYPES))
            dz = np.full(s.shape, np.nan)  # type: np.ndarray
            if pts.shape[1] == 3 and self._frame is not None:
                z = np.empty(s.shape)
                self._frame.design_elevations(s, o, bool(banked), False, z)
                dz = pts[q, 2] - z
            return LocatedAll(q, s, o, d, e, self._beyond(xy[q], s), dz)
        n = xy.shape[0]
        station, offset, distance = np.empty(n), np.empty(n), np.empty(n)
        element = np.empty(n, dtype=np.int64)
        dz = np.full(n, np.nan)
        if pts.shape[1] == 3 and self._frame is not None:
            self._frame.locate3d(pts, limit, bool(banked), False, station, offset, distance,
                                 element, dz)
        else:
            self._engine.nearest(xy, limit, station, offset, distance, element)
        beyond = self._beyond(xy, station)
        if single:
            return Located(float(station[0]), float(offset[0]), float(distance[0]),
                           int(element[0]), int(beyond[0]), float(dz[0]))
        return Located(station, offset, distance, element, beyond, dz)

    # ----------------------------------------------------- the third dimension

    def _vertical(self, obj: Any, method: str, stations: ArrayLike, extend: bool,
                  display: bool) -> Any:
        s = self._stations(stations, display)
        out = np.full(s.shape, np.nan)
        if obj is not None:
            getattr(obj, method)(np.ascontiguousarray(s.ravel()), bool(extend), out)
        return float(out) if out.ndim == 0 else out

    def elevation(self, stations: ArrayLike, extend: bool = False, display: bool = False) -> Any:
        """Elevation of the profile at stations (NaN outside the profile or
        without one; ``extend=True`` continues its end grades)."""
        return self._vertical(self._profile, "elevations", stations, extend, display)

    def grade(self, stations: ArrayLike, extend: bool = False, display: bool = False) -> Any:
        """Grade of the profile (dz/ds, positive uphill in the direction of travel)."""
        return self._vertical(self._profile, "grades", stations, extend, display)

    def vertical_curvature(self, stations: ArrayLike, extend: bool = False,
                           display: bool = False) -> Any:
        """d2z/ds2 of the profile (positive in a sag): 1/K of road design."""
        return self._vertical(self._profile, "vertical_curvatures", stations, extend, display)

    def cant(self, stations: ArrayLike, extend: bool = False, display: bool = False) -> Any:
        """Applied cant (the linear unit; positive where the right rail is
        raised) at stations; NaN outside the cant stations or without cant."""
        return self._vertical(self._cant, "cants", stations, extend, display)

    def cant_angle(self, stations: ArrayLike, extend: bool = False, display: bool = False) -> Any:
        """The angle the cant turns the cross-section by, asin(cant / gauge)
        (radians, signed as the cant)."""
        return self._vertical(self._cant, "angles", stations, extend, display)

    def length_3d_between(self, start: ArrayLike, end: ArrayLike, extend: bool = False) -> Any:
        """The length of the 3D curve between stations: the integral of
        sqrt(1 + grade**2) over them (NaN where the profile does not cover
        them, unless ``extend``; NaN without a profile)."""
        a, b = np.broadcast_arrays(_real_array(start, "start"), _real_array(end, "end"))
        out = np.full(a.shape, np.nan)
        if self._profile is not None:
            self._profile.lengths_3d(np.ascontiguousarray(a.ravel()),
                                     np.ascontiguousarray(b.ravel()), bool(extend), out)
        return float(out) if out.ndim == 0 else out

    @property
    def length_3d(self) -> float:
        """The 3D length of the whole alignment (NaN where its profile does
        not cover it, or without one)."""
        return self.length_3d_between(self.start_station, self.end_station)

    def design_elevation(self, stations: ArrayLike, offsets: ArrayLike = 0.0,
                         banked: bool = True, extend: bool = False,
                         display: bool = False) -> Any:
        """Elevation of the design surface at stations and horizontal offsets:
        the profile's, or with ``banked`` (and a cant) that of the banked
        cross-section line there (what ``locate`` measures ``dz`` from).
        NaN without a profile."""
        s = self._stations(stations, display)
        o = _real_array(offsets, "offsets")
        try:
            s, o = np.broadcast_arrays(s, o)
        except ValueError:
            raise ValueError("stations of shape %s and offsets of shape %s do not broadcast"
                             % (np.shape(stations), np.shape(offsets)))  # type: ignore[arg-type]
        out = np.full(s.shape, np.nan)
        if self._frame is not None:
            self._frame.design_elevations(np.ascontiguousarray(s.ravel()),
                                          np.ascontiguousarray(o.ravel()), bool(banked),
                                          bool(extend), out)
        return float(out) if out.ndim == 0 else out

    def point3d(self, stations: ArrayLike, offsets: ArrayLike = 0.0, heights: ArrayLike = 0.0,
                banked: bool = False, extend: bool = False, display: bool = False) -> np.ndarray:
        """Points (x, y, z) at stations, offsets (horizontal, positive right)
        and heights above the profile, shape (..., 3). ``banked=True`` turns
        offset and height by the cant angle about the cant's rotation axis
        (the section of a superelevated road or canted track); level
        otherwise. z is NaN without a profile. Arguments broadcast together."""
        s = self._stations(stations, display)
        o = _real_array(offsets, "offsets")
        h = _real_array(heights, "heights")
        try:
            _limits.check_request(np.broadcast(s, o, h).size, "stations, offsets and heights")
            s, o, h = np.broadcast_arrays(s, o, h)
        except ValueError:
            raise ValueError("stations of shape %s, offsets of shape %s and heights of shape %s do "
                             "not broadcast" % (np.shape(stations), np.shape(offsets),  # type: ignore[arg-type]
                                                np.shape(heights)))  # type: ignore[arg-type]
        out = np.empty(s.shape + (3,))
        frame = self._frame if self._frame is not None else _core.Frame(self._engine, None, None)
        frame.points3d(np.ascontiguousarray(s.ravel()), np.ascontiguousarray(o.ravel()),
                       np.ascontiguousarray(h.ravel()), bool(banked), bool(extend), out)
        return out

    def crossings(self, line: ArrayLike, infinite: bool = False) -> Crossings:
        """Every crossing of a polyline (an (M, 2) array; two rows: a segment)
        with the alignment, sorted by station; ``infinite=True`` takes the whole
        line through two points. A line that only touches the alignment gives
        one crossing with angle 0."""
        xy = _real_array(line, "line")
        if xy.ndim != 2 or xy.shape[1] != 2 or xy.shape[0] < 2:
            raise ValueError("line must be an array of shape (M, 2) with M >= 2, got shape %s"
                             % (xy.shape,))
        if infinite and xy.shape[0] != 2:
            raise ValueError("infinite=True takes exactly two points, got %d" % xy.shape[0])
        columns = self._engine.crossings(np.ascontiguousarray(xy), bool(infinite))
        return Crossings(*(np.frombuffer(c, dtype=t).copy() for c, t in zip(columns, _CROSSING_TYPES)))

    # ------------------------------------------------------------- checks, io

    def diagnostics(self, thresholds: Optional["Thresholds"] = None) -> "Diagnostics":
        """Joints (gaps, kinks, curvature jumps) and per-element checks against
        ``thresholds`` (the defaults of :class:`curvixkit.diagnostics.Thresholds`
        where not given); for a LandXML file also its stated ends and lengths,
        for an ICD file how far the legacy series lies from the exact curve at
        the end of every spiral; for a profile the grade jumps at PVIs without
        a curve, overlaps of curves and their stated lengths; and what the
        readers did about the file's habits (notes)."""
        from curvixkit import diagnostics
        meta = self._meta
        series = None
        if meta.get("source") == "icd" and meta.get("path") and meta.get("spirals") != "series":
            legacy = type(self).from_icd(meta["path"], spirals="series",
                                         strict=meta.get("strict", True))
            series = [tuple(e.end) if e.kind == "clothoid" else None for e in legacy.elements]
        units = self.units
        profile, cant = self.profile, self.cant_design
        notes = (list(meta.get("notes", ())) + list(profile.notes if profile else ())
                 + list(cant.notes if cant else ()))
        return diagnostics.check(self.elements, stated=meta.get("stated"), series=series,
                                 stated_length=meta.get("stated_length"),
                                 unit=getattr(units, "linear", None), thresholds=thresholds,
                                 profile=profile, notes=notes)

    def to_landxml(self, path: PathLike, name: Optional[str] = None,
                   angular_unit: str = "radians") -> None:
        """Write LandXML 1.2 (Units, CoordGeom, station equations) to ``path``.
        ``angular_unit`` is ``"radians"``, ``"grads"``, ``"decimal degrees"``
        or ``"decimal dd.mmss"`` (anything else raises :class:`LandXMLError`).
        The linear unit is the alignment's own (:attr:`units`)."""
        from curvixkit.io import landxml
        profile = self.profile
        cant = self.cant_design
        landxml.write_landxml(
            self.elements, self.start_station, path, name=name or self.name or "alignment",
            angular_unit=angular_unit, equations=self._meta.get("equations", ()),
            units=self.units,
            profile=(profile.name or "profile", self._profile_pvis()) if profile else None,
            cant=(cant.name or "cant", cant.stations, cant.gauge, cant.axis) if cant else None)

    def to_ifc(self, path: PathLike, name: Optional[str] = None) -> List[str]:
        """Write IFC4X3_ADD2 business logic (horizontal, vertical and cant
        layouts, the stationing as referents, the CRS name) that
        :meth:`from_ifc` reads back to the same alignment. Needs the extra
        ``ifc``. Returns what IFC cannot hold (also given as a
        :class:`LossWarning`)."""
        from curvixkit.io import ifc
        lost = ifc.write_ifc(path, name or self.name or "alignment", self.start_station,
                             self.elements, units=self.units,
                             profile=self.profile.segments if self.profile else None,
                             cant=self.cant_design, equations=self._meta.get("equations", ()),
                             crs=self.crs, geometry=self)
        for text in lost:
            warnings.warn("%s: %s cannot be written to IFC" % (os.fspath(path), text),
                          LossWarning, stacklevel=2)
        return lost

    def _profile_pvis(self) -> List[tuple]:
        """The profile as PVI tuples. A profile built from segments (IFC's)
        becomes the PVIs where its grade lines meet, each with the parabola
        or circle between them, and is written only where those PVIs
        rebuild it (to 1e-9 of the unit in elevation)."""
        profile = self.profile
        assert profile is not None
        if profile.pvis:
            return list(profile.pvis)
        segments = profile.segments
        pvis = [(segments[0].start_station, segments[0].start_elevation)]  # type: List[tuple]
        for k, seg in enumerate(segments, 1):
            s0, s1, z0, g0, g1 = (seg.start_station, seg.end_station, seg.start_elevation,
                                  seg.start_grade, seg.end_grade)
            if seg.kind == "clothoid":
                raise LandXMLError("profile segment %d: a vertical clothoid has no LandXML form"
                                   % k)
            if seg.kind == "line" or g0 == g1 or s1 <= s0:
                if k < len(segments) and segments[k].kind == "line" and \
                        segments[k].start_grade != g1:  # a grade break without a curve
                    pvis.append((s1, seg.end_elevation))
                continue
            at = (seg.end_elevation - z0 + g0 * s0 - g1 * s1) / (g0 - g1)
            z = z0 + g0 * (at - s0)
            if seg.kind == "arc":
                pvis.append((at, z, "arc", abs(seg.start_radius)))
            elif abs((at - s0) - (s1 - at)) <= 1e-9 * max(1.0, s1 - s0):
                pvis.append((at, z, "parabola", s1 - s0))
            else:
                pvis.append((at, z, "asymmetric_parabola", at - s0, s1 - at))
        pvis.append((segments[-1].end_station, segments[-1].end_elevation))
        try:
            again = type(self)._wrap(self._engine, dict(self._meta), {"pvis": pvis})
        except ProfileError as exc:
            raise LandXMLError("the profile's segments do not make PVIs LandXML can hold (%s)"
                               % exc.message) from None
        stations = np.concatenate([np.linspace(g.start_station, g.end_station, 9)
                                   for g in segments])
        miss = float(np.max(np.abs(again.elevation(stations) - self.elevation(stations))))
        scale = max(1.0, float(np.max(np.abs(self.elevation(stations)))))
        if not miss <= 1e-9 * scale:
            raise LandXMLError("the profile's segments do not join as grade lines and vertical "
                               "curves that PVIs can hold (the PVIs miss them by %.3g)" % miss)
        return pvis

    def to_icd(self, path: PathLike) -> List[str]:
        """Write an ICD file that ``curvix.PQX`` loads and this package reads
        back to the same alignment, with its linear unit in a comment.
        Returns what ICD cannot hold (each named in a ``//`` comment too);
        station equations among them raise an :class:`IcdEquationWarning`."""
        from curvixkit.io import icd
        lost = icd.write_icd(self.elements, self.start_station, path,
                             equations=self._meta.get("equations", ()), units=self.units)
        held = [what for what, obj in (("vertical profile", self._profile),
                                       ("cant", self._cant)) if obj is not None]
        if held:
            text = "the %s of the alignment cannot be written to ICD, which holds the plan only" % (
                " and the ".join(held))
            lost.append(text)
            warnings.warn("%s: %s" % (os.fspath(path), text), LossWarning, stacklevel=2)
        return lost


# The engine's field names as the IFC attributes they come from.
_IFC_ELEMENT_FIELDS = {"length": "SegmentLength", "start": "StartPoint",
                       "start_azimuth": "StartDirection", "start_curvature": "StartRadiusOfCurvature",
                       "end_curvature": "EndRadiusOfCurvature"}
_IFC_PROFILE_FIELDS = {"start_station": "StartDistAlong", "length": "HorizontalLength",
                       "start_elevation": "StartHeight", "elevation": "StartHeight",
                       "start_grade": "StartGradient", "end_grade": "EndGradient",
                       "start_radius": "RadiusOfCurvature", "end_radius": "RadiusOfCurvature"}
_IFC_CANT_FIELDS = {"station": "StartDistAlong", "cant": "StartCantRight",
                    "gauge": "RailHeadDistance"}


def _rebuild(start_station: float, x: float, y: float, azimuth: float, descs: List[tuple],
             meta: Dict[str, Any], profile: Any = None, cant: Any = None) -> Alignment:
    names = {k: meta.get(k) for k in ("profile_name", "profile_notes", "cant_name", "cant_notes")}
    a = Alignment._wrap(_core.Engine(start_station, x, y, azimuth, descs), meta, profile, cant)
    meta.update({k: v for k, v in names.items() if v is not None})
    return a


def _rebuild_icd(meta: Dict[str, Any]) -> Alignment:
    engine, _ = _core.Engine.from_icd(meta["icd_bytes"], meta["strict"], True)
    return Alignment._wrap(engine, meta)
