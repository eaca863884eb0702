"""Writes the small LandXML examples under examples/ the way design programs
write them: coordinates rounded to a few decimals, directions where a
producer gives them, the habits real exports have (a station equation, US
survey feet, two alignments in one file, a prefixed namespace).

The geometry comes from the engine (exact clothoids), so each file's stated
points are the exact ones rounded as written. Run from the repository root:
    python scripts/make_landxml_examples.py
"""

import math
import sys
from pathlib import Path

from curvixkit import Alignment

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def pt(p, decimals):
    return "%.*f %.*f" % (decimals, p[1], decimals, p[0])


def coord_geom(a, decimals, dirs=None, sta=True, prefix=""):
    """The CoordGeom of ``a`` with points to ``decimals`` places; ``dirs``
    (None, or (unit name, radians -> value)) writes dir/dirStart."""
    out = ["<%sCoordGeom>" % prefix]
    for e in a.elements:
        attrs = ['length="%.*f"' % (decimals, e.length)]
        if sta:
            attrs.insert(0, 'staStart="%.*f"' % (decimals, e.start_station))
        tag = {"line": "Line", "arc": "Curve", "clothoid": "Spiral"}[e.kind]
        if e.kind != "line":
            attrs.append('rot="%s"' % ("cw" if e.turn > 0 else "ccw"))
        if e.kind == "arc":
            attrs.append('radius="%.*f"' % (decimals, e.start_radius))
        if e.kind == "clothoid":
            attrs.append('radiusStart="%s"' % ("INF" if math.isinf(e.start_radius)
                                               else "%.*f" % (decimals, e.start_radius)))
            attrs.append('radiusEnd="%s"' % ("INF" if math.isinf(e.end_radius)
                                             else "%.*f" % (decimals, e.end_radius)))
            attrs.append('spiType="clothoid"')
        if dirs is not None:
            attrs.append('%s="%.8f"' % ("dir" if e.kind == "line" else "dirStart",
                                        dirs(e.start_azimuth)))
        points = [("Start", e.start)]
        if e.kind == "arc":
            n = e.start_azimuth + e.turn * math.pi / 2.0
            points.append(("Center", (e.start[0] + e.start_radius * math.sin(n),
                                      e.start[1] + e.start_radius * math.cos(n))))
        if e.kind == "clothoid":
            u0 = (math.sin(e.start_azimuth), math.cos(e.start_azimuth))
            u1 = (math.sin(e.end_azimuth), math.cos(e.end_azimuth))
            det = u0[0] * u1[1] - u0[1] * u1[0]
            dx, dy = e.end[0] - e.start[0], e.end[1] - e.start[1]
            t = (dx * u1[1] - dy * u1[0]) / det
            points.append(("PI", (e.start[0] + t * u0[0], e.start[1] + t * u0[1])))
        points.append(("End", e.end))
        body = "".join("<%s%s>%s</%s%s>" % (prefix, n, pt(p, decimals), prefix, n) for n, p in points)
        out.append("  <%s%s %s>%s</%s%s>" % (prefix, tag, " ".join(attrs), body, prefix, tag))
    out.append("</%sCoordGeom>" % prefix)
    return "\n".join(out)


HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n'
        '<LandXML xmlns="http://www.landxml.org/schema/LandXML-1.2" version="1.2" '
        'date="2026-12-09" time="10:00:00">\n')


def curve(before, spiral, radius, arc, turn, after):
    """A straight, a spiral-arc-spiral curve and a straight."""
    return [{"kind": "line", "length": before},
            {"kind": "clothoid", "length": spiral, "start_radius": math.inf,
             "end_radius": radius, "turn": turn},
            {"kind": "arc", "length": arc, "radius": radius, "turn": turn},
            {"kind": "clothoid", "length": spiral, "start_radius": radius,
             "end_radius": math.inf, "turn": turn},
            {"kind": "line", "length": after}]


def road():
    """A town road: a spiral-arc-spiral right, a left arc without spirals,
    and a station equation (chainage jumps ahead from 0+620 to 1+000)."""
    return Alignment.from_elements(0.0, 512300.0, 6710450.0, math.radians(35.0),
                                   curve(180.0, 60.0, 250.0, 140.0, "right", 120.0) + [
        {"kind": "arc", "length": 95.0, "radius": 180.0, "turn": "left"},
        {"kind": "line", "length": 150.0},
    ])


def write_station_equation():
    a = road()
    text = (HEAD + '<Units><Metric linearUnit="meter" areaUnit="squareMeter" '
            'volumeUnit="cubicMeter" angularUnit="grads" directionUnit="grads"/></Units>\n'
            '<Application name="example" manufacturer="curvix examples"/>\n'
            '<Alignments name="town road">\n'
            '<Alignment name="Main Street" staStart="0.0000" length="%.4f">\n' % a.length
            + coord_geom(a, 6, dirs=lambda r: r * 200.0 / math.pi) + "\n"
            '<StaEquation staInternal="620.0000" staBack="620.0000" staAhead="1000.0000" '
            'desc="chainage of the old road"/>\n'
            # Design profile: a crest parabola, an asymmetric sag, a crest circle;
            # and the ground line, which is not the design.
            '<Profile><ProfAlign name="Main Street design">\n'
            '  <PVI>0.0000 52.3000</PVI>\n'
            '  <ParaCurve length="120.0000">210.0000 58.6000</ParaCurve>\n'
            '  <UnsymParaCurve lengthIn="60.0000" lengthOut="90.0000">430.0000 54.2000</UnsymParaCurve>\n'
            '  <CircCurve length="84.5354" radius="-2500.0000">650.0000 59.0000</CircCurve>\n'
            '  <PVI>805.0000 57.1400</PVI>\n'
            '</ProfAlign>\n'
            '<ProfSurf name="existing ground"><PntList2D>0 51.9 400 53.0 805 56.8</PntList2D>'
            '</ProfSurf></Profile>\n'
            "</Alignment>\n</Alignments>\n</LandXML>\n")
    (EXAMPLES / "station_equation.xml").write_text(text, encoding="utf-8")


def write_feet():
    """A county road in US survey feet, with no directions (they come from
    the coordinates) and a start station of 21+03.72."""
    a = Alignment.from_elements(2103.72, 187650.25, 1803344.5, math.radians(101.5),
                                curve(640.0, 200.0, 1400.0, 520.0, "left", 480.0))
    text = (HEAD + '<Units><Imperial areaUnit="squareFoot" linearUnit="USSurveyFoot" '
            'volumeUnit="cubicYard" temperatureUnit="fahrenheit" pressureUnit="inHG"/></Units>\n'
            '<Alignments name="county road">\n'
            '<Alignment name="CR 12" staStart="2103.72000000" length="%.8f">\n' % a.length
            + coord_geom(a, 8) + "\n</Alignment>\n</Alignments>\n</LandXML>\n")
    (EXAMPLES / "road_feet.xml").write_text(text, encoding="utf-8")


def write_two():
    """Two tracks in one file, in a prefixed namespace, decimal degrees."""
    up = Alignment.from_elements(100.0, 2500.0, 4800.0, math.radians(80.0),
                                 curve(300.0, 90.0, 600.0, 200.0, "right", 250.0))
    down = Alignment.from_elements(100.0, 2500.0 + 4.5 * math.cos(math.radians(80.0)),
                                   4800.0 - 4.5 * math.sin(math.radians(80.0)),
                                   math.radians(80.0), [
        {"kind": "line", "length": 300.0},
        {"kind": "arc", "length": 380.0, "radius": 604.5, "turn": "right"},
        {"kind": "line", "length": 250.0},
    ])
    body = []
    for name, a in (("Up track", up), ("Down track", down)):
        joints = [e.start_station for e in a.elements] + [a.end_station]
        # Cant up the entry spiral, held on the arc, down the exit spiral
        # (the down track's curve has no spirals: ramps on the straights).
        if len(a.elements) == 5:
            ramp = [(joints[0], 0.0, None), (joints[1], 0.0, "clothoid"), (joints[2], 95.0, None),
                    (joints[3], 95.0, "clothoid"), (joints[4], 0.0, None), (joints[5], 0.0, None)]
        else:
            ramp = [(joints[0], 0.0, None), (joints[1] - 60.0, 0.0, "clothoid"),
                    (joints[1], 95.0, None), (joints[2], 95.0, "clothoid"),
                    (joints[2] + 60.0, 0.0, None), (joints[3], 0.0, None)]
        cant = "".join('<lx:CantStation station="%.6f" appliedCant="%g" curvature="cw"%s/>'
                       % (st, c, ' transitionType="%s"' % t if t else "") for st, c, t in ramp)
        body.append('<lx:Alignment name="%s" staStart="%.6f" length="%.6f">\n%s\n'
                    '<lx:Profile><lx:ProfAlign name="%s profile"><lx:PVI>100.0 12.0</lx:PVI>'
                    '<lx:CircCurve radius="12000.0">550.0 14.7</lx:CircCurve>'
                    '<lx:PVI>1030.0 13.26</lx:PVI></lx:ProfAlign></lx:Profile>\n'
                    '<lx:Cant name="%s cant" gauge="1.435" rotationPoint="insideRail">%s'
                    '</lx:Cant>\n</lx:Alignment>'
                    % (name, a.start_station, a.length,
                       coord_geom(a, 6, dirs=math.degrees, prefix="lx:"), name, name, cant))
    text = ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<lx:LandXML xmlns:lx="http://www.landxml.org/schema/LandXML-1.2" version="1.2">\n'
            '<lx:Units><lx:Metric linearUnit="meter" angularUnit="decimal degrees" '
            'directionUnit="decimal degrees"/></lx:Units>\n<lx:Alignments>\n'
            + "\n".join(body) + "\n</lx:Alignments>\n</lx:LandXML>\n")
    (EXAMPLES / "two_tracks.xml").write_text(text, encoding="utf-8")


def main():
    write_station_equation()
    write_feet()
    write_two()
    return 0


if __name__ == "__main__":
    sys.exit(main())
