"""DXF drawings of an alignment and its stake-out, built with ezdxf (the
``dxf`` extra): the alignment as LINE and ARC entities with spirals as
polylines within a chord error, the offset lines, stakes as POINTs and
chainage labels, in a drawing whose ``$INSUNITS`` is the alignment's unit.
"""

from __future__ import annotations

import io
import math
import re
from typing import IO, Any, Callable, Iterator

import numpy as np

from curvixkit.errors import missing_extra
from curvixkit.io.geojson import chord_stations, element_pieces

LABEL_HEIGHT = 1.0
# $INSUNITS codes of the linear units LandXML names (DXF reference, header
# variables); metric ones set $MEASUREMENT 1.
_INSUNITS = {"inch": 1, "foot": 2, "mile": 3, "millimeter": 4, "centimeter": 5, "meter": 6,
             "kilometer": 7, "USSurveyFoot": 21}
_METRIC = (4, 5, 6, 7)


def _load_ezdxf() -> Any:
    try:
        import ezdxf
    except ImportError:
        raise missing_extra("dxf", "DXF output") from None
    return ezdxf


def insunits(units: Any) -> int:
    """The drawing's ``$INSUNITS`` code for the alignment's linear unit
    (``units`` a :class:`curvixkit.results.Units`); metres where the file
    names none (ICD files carry metres unless their unit comment says
    otherwise)."""
    return _INSUNITS.get(getattr(units, "linear", None) or "meter", 0)


def offset_layer(offset: float) -> str:
    """OFFSET_L3.5 / OFFSET_R3.5 for offsets -3.5 / 3.5."""
    return "OFFSET_%s%s" % ("L" if offset < 0 else "R", ("%.6f" % abs(offset)).rstrip("0").rstrip("."))


def build_drawing(alignment: Any, plan: Any, chord_error: float = 0.001) -> Any:
    """An ezdxf document (R2010) with the layers and the lines: ALIGNMENT
    (LINE, ARC, spirals as LWPOLYLINE within ``chord_error``) and one layer
    per offset line; the stakes and labels are streamed in by :func:`write_dxf`."""
    ezdxf = _load_ezdxf()
    doc = ezdxf.new("R2010")
    code = insunits(alignment.units)
    doc.header["$INSUNITS"] = code
    doc.header["$MEASUREMENT"] = 1 if code in _METRIC else 0
    msp = doc.modelspace()
    for name, colour in (("ALIGNMENT", 1), ("STAKES", 3), ("KEYPOINTS", 6), ("LABELS", 7)):
        doc.layers.new(name, dxfattribs={"color": colour})
    for o in plan.offsets:
        if o != 0.0:
            doc.layers.new(offset_layer(o), dxfattribs={"color": 4})

    for piece in element_pieces(alignment, plan.start, plan.end):
        e = piece.element
        if e.kind == "line":
            (x0, y0), (x1, y1) = alignment.point(np.array([piece.start, piece.end])).tolist()
            msp.add_line((x0, y0), (x1, y1), dxfattribs={"layer": "ALIGNMENT"})
        elif e.kind == "arc":
            msp.add_arc(**_arc_attributes(alignment, piece), dxfattribs={"layer": "ALIGNMENT"})
        else:
            s = chord_stations(piece, chord_error)
            msp.add_lwpolyline(alignment.point(s).tolist(), dxfattribs={"layer": "ALIGNMENT"})
        for o in plan.offsets:
            if o != 0.0:
                s = chord_stations(piece, chord_error, o)
                msp.add_lwpolyline(alignment.point(s, o).tolist(),
                                   dxfattribs={"layer": offset_layer(o)})
    return doc


_HANDSEED = re.compile(r"(\$HANDSEED\n\s*5\n)([0-9A-Fa-f]+)\n")
_POINT = ("  0\nPOINT\n  5\n%X\n330\n%s\n100\nAcDbEntity\n  8\n%s\n100\nAcDbPoint\n"
          " 10\n%r\n 20\n%r\n 30\n0.0\n")
_TEXT = ("  0\nTEXT\n  5\n%X\n330\n%s\n100\nAcDbEntity\n  8\nLABELS\n100\nAcDbText\n"
         " 10\n%r\n 20\n%r\n 30\n0.0\n 40\n%r\n  1\n%s\n 50\n%r\n100\nAcDbText\n")


def dxf_writer(alignment: Any, plan: Any, chord_error: float = 0.001) -> Callable[..., None]:
    """``write(chunks, out)`` for the drawing of :func:`build_drawing` with a
    POINT per stake on STAKES (KEYPOINTS for key point rows) and a TEXT label
    per row (chainage and key names) on LABELS, left of the leftmost stake
    and square to the alignment.

    The stakes are written as they are computed, straight into the entities
    section of the text ezdxf writes for the rest, so memory stays flat for
    a million rows (ezdxf holds about 1 kB per entity). Their handles are
    numbered from the document's handle seed, which is moved past them."""
    doc = build_drawing(alignment, plan, chord_error)
    owner = doc.modelspace().block_record.dxf.handle
    buffer = io.StringIO()
    doc.write(buffer)
    text = buffer.getvalue()
    seed = _HANDSEED.search(text)
    entities = text.find("  2\nENTITIES\n")
    end = text.find("  0\nENDSEC\n", entities)
    if seed is None or entities < 0 or end < 0:
        raise RuntimeError("ezdxf %s wrote a drawing without $HANDSEED or entities; "
                           "cannot add the stakes" % getattr(_load_ezdxf(), "__version__", "?"))
    first = int(seed.group(2), 16)
    reserved = plan.rows * (len(plan.offsets) + 1) + 1
    head = text[:seed.start(2)] + "%X" % (first + reserved) + text[seed.end(2):end]
    tail = text[end:]

    def write(chunks: Iterator[Any], out: IO[str]) -> None:
        out.write(head)
        _write_stake_entities(alignment, chunks, plan, out, first, owner)
        out.write(tail)

    return write


def _write_stake_entities(alignment: Any, chunks: Iterator[Any], plan: Any, out: IO[str],
                          handle: int, owner: str) -> None:
    left = max([0.0] + [-o for o in plan.offsets]) + LABEL_HEIGHT
    for c in chunks:
        label_xy = alignment.point(c.station, -left).tolist()
        parts = []
        for d, name, a, pts, (lx, ly) in zip(c.chainage, c.names, c.tangent.tolist(),
                                             c.xy.tolist(), label_xy):
            layer = "KEYPOINTS" if name else "STAKES"
            for x, y in pts:
                parts.append(_POINT % (handle, owner, layer, x, y))
                handle += 1
            # Text runs from the label point outwards, along the left normal.
            angle = (180.0 - math.degrees(a)) % 360.0
            parts.append(_TEXT % (handle, owner, lx, ly, LABEL_HEIGHT,
                                  d + (" " + name if name else ""), angle))
            handle += 1
        out.write("".join(parts))


def _arc_attributes(alignment: Any, piece: Any) -> dict:
    """Centre, radius and counter-clockwise angles (degrees from +x) of the
    arc piece, from its start point and tangent."""
    e = piece.element
    (x0, y0), (x1, y1) = alignment.point(np.array([piece.start, piece.end])).tolist()
    a0 = float(alignment.azimuth(piece.start))
    r = e.start_radius
    # The centre lies to the right of travel for a right-hand arc.
    cx, cy = x0 + e.turn * r * math.cos(a0), y0 - e.turn * r * math.sin(a0)
    t0 = math.degrees(math.atan2(y0 - cy, x0 - cx))
    t1 = math.degrees(math.atan2(y1 - cy, x1 - cx))
    start, end = (t1, t0) if e.turn > 0 else (t0, t1)
    return {"center": (cx, cy), "radius": r, "start_angle": start, "end_angle": end}
