"""LandXML reading, writing and ICD export, on the real exports of
../shared (where present), the project's own examples, and small generated
files."""

import math
import time
import warnings

import numpy as np
import pytest

from conftest import EXAMPLES, SHARED, shared as shared_path
from curvixkit import Alignment
from curvixkit.errors import IcdEquationWarning, LossWarning
from curvixkit.io import landxml
from curvixkit.io.landxml import LandXMLError, read_landxml
from curvixkit.io.landxml import stream

REAL = ["aplitop-1.xml", "indot-twin-branch.xml", "toivola-m14334.xml", "toivola-y3.xml",
        "stn02-station-equation.xml"]
OWN = ["station_equation.xml", "road_feet.xml", "two_tracks.xml"]
# Every file with the name of its first alignment; the real exports skip
# where ../shared is absent.
FILES = ([pytest.param(("shared", n), id=n) for n in REAL]
         + [pytest.param(("examples", n), id=n) for n in OWN])


def shared(name):
    return str(shared_path("landxml", name))


def path_of(where):
    kind, name = where
    return shared(name) if kind == "shared" else str(EXAMPLES / name)


def first(path, **kw):
    return Alignment.from_landxml(path, name=Alignment.landxml_names(path)[0], **kw)


# Stated End met within, each element placed at its stated start / all
# chained from the first: the figures of shared/landxml/README.md.
@pytest.mark.parametrize("name, placed, chained", [
    ("aplitop-1.xml", 0.002e-3, 0.02e-3),
    ("indot-twin-branch.xml", 3e-10, 2e-9),
    ("toivola-m14334.xml", 0.0006e-3, 0.003e-3),
])
def test_shared_files_meet_their_stated_ends(name, placed, chained):
    assert Alignment.from_landxml(shared(name)).diagnostics().max_end_miss <= placed
    assert Alignment.from_landxml(shared(name), chain=True).diagnostics().max_end_miss <= chained


@pytest.mark.parametrize("kind", ["bloss", "cosine", "sine", "helmert", "viennese", "cubic"])
def test_transition_shapes_write_as_their_spiral_types(tmp_path, kind):
    a = Alignment.from_elements(0.0, 1000.0, 2000.0, 0.4, [
        {"kind": "line", "length": 50.0},
        {"kind": kind, "length": 120.0, "start_radius": math.inf, "end_radius": 400.0, "turn": "left"},
        {"kind": "arc", "length": 80.0, "radius": 400.0, "turn": "left"}])
    out = str(tmp_path / "out.xml")
    if kind == "viennese":  # no LandXML spiral type has its curvature
        with pytest.raises(LandXMLError, match="element 2: a viennese transition has no LandXML"):
            a.to_landxml(out)
        return
    a.to_landxml(out)
    b = Alignment.from_landxml(out)
    assert [e.kind for e in b.elements] == ["line", kind, "arc"]
    s = np.linspace(0.0, a.end_station, 101)
    assert np.max(np.hypot(*(a.point(s) - b.point(s)).T)) <= 1e-9


@pytest.mark.parametrize("where", FILES)
@pytest.mark.parametrize("unit", landxml.ANGULAR_UNITS)
def test_written_file_reads_back_the_same_elements(tmp_path, where, unit):
    a = first(path_of(where))
    out = str(tmp_path / "out.xml")
    a.to_landxml(out, angular_unit=unit)
    b = Alignment.from_landxml(out)
    assert (b.name, b.start_station, b.stations.equations) == (a.name, a.start_station,
                                                                a.stations.equations)
    assert (b.units.system, b.units.linear, b.units.angular) == (
        a.units.system or "Metric", a.units.linear or "meter", unit)
    assert [x.check for x in b.diagnostics().exceedances()] == [
        x.check for x in a.diagnostics().exceedances()]
    # The profile and the cant come back to the last bit of what was read.
    # (notes say what was read from the source's habits; the copy has none)
    assert (b.profile is None) == (a.profile is None)
    assert (b.cant_design is None) == (a.cant_design is None)
    if a.cant_design is not None:
        assert b.cant_design[:4] == a.cant_design[:4]
    if a.profile is not None:
        assert (b.profile.name, b.profile.pvis) == (a.profile.name, a.profile.pvis)
    for p, q in zip(a.elements, b.elements):
        assert (p.kind, p.length, p.start_curvature) == (q.kind, q.length, q.start_curvature)
        for u, v in ((p.start, q.start), (p.end, q.end)):
            assert math.hypot(u[0] - v[0], u[1] - v[1]) <= 1e-9  # metres
        assert abs(p.start_azimuth - q.start_azimuth) <= 1e-12  # radians


@pytest.mark.parametrize("where", FILES)
def test_icd_export_loads_in_the_legacy_chain_and_reads_back(tmp_path, where):
    import curvix
    a = first(path_of(where))
    equations = a.stations.equations
    out = str(tmp_path / "out.icd")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        a.to_icd(out)
    vertical = a.profile is not None or a.cant_design is not None
    assert [w.category for w in caught] == ([IcdEquationWarning] * bool(equations)
                                            + [LossWarning] * vertical)
    assert any(line.startswith("// station equations") for line in open(out)) == bool(equations)
    # The unit comes back, and no whole turn is read into a tangent.
    b = Alignment.from_icd(out)
    assert (b.units.linear if b.units else None) == a.units.linear
    assert all(abs(j.kink) < 1e-6 for j in b.diagnostics().joints)
    p = curvix.PQX(out)
    geometry = a.elements
    assert p.start_pk == a.start_station
    assert p.end_pk == pytest.approx(geometry[-1].start_station + geometry[-1].length, abs=1e-9)
    # The chain follows each end before, where the file's starts lie off it by
    # up to the gaps; the largest joint gap of the shared files is 1.5e-6 m.
    for g in geometry:
        v = p.get_coordinate(g.start_station + g.length)
        assert math.hypot(v.X() - g.end[0], v.Y() - g.end[1]) <= 1e-5


def test_station_equation_of_stn02_both_ways():
    a = Alignment.from_landxml(shared("stn02-station-equation.xml"))
    from curvixkit.stations import StationError
    end = a.end_station
    m = a.stations
    at = 876.272071272522          # staInternal of the file; staAhead is 5350
    assert m.to_display([a.start_station, at]).tolist() == [a.start_station, 5350.0]
    assert m.from_display(5350.0) == at
    display = np.array([-153.1, 0.0, 500.0, 876.0, 5350.0, 5400.0, 5350.0 + (end - at)])
    assert np.allclose(m.to_display(m.from_display(display)), display, rtol=0, atol=1e-9)
    with pytest.raises(StationError) as err:
        m.from_display(2000.0)
    assert "gap of a station equation" in str(err.value)


def xml(body, units='<Metric linearUnit="meter" angularUnit="radians" directionUnit="radians"/>',
        prefix=""):
    return ('<?xml version="1.0"?>\n<LandXML xmlns="http://www.landxml.org/schema/LandXML-1.2" '
            'version="1.2">\n<Units>%s</Units>\n%s<Alignments>\n%s\n</Alignments>\n</LandXML>\n'
            % (units, prefix, body))


def alignment(elements, name="A", extra=""):
    return '<Alignment name="%s" staStart="0"><CoordGeom>\n%s\n</CoordGeom>%s</Alignment>' % (
        name, elements, extra)


def write(tmp_path, text):
    path = tmp_path / "case.xml"
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(path)


# A zero-length line takes its direction from dir, in the file's unit.
@pytest.mark.parametrize("unit, text, radians", [
    ("radians", "0.5", 0.5),
    ("grads", "150", 0.75 * math.pi),
    ("decimal degrees", "45", math.pi / 4),
    ("decimal dd.mmss", "45.3000", math.radians(45.5)),
    ("decimal dd.mmss", "-10.0030", 2 * math.pi - math.radians(10 + 30 / 3600)),
])
def test_fallback_direction_in_each_angular_unit(tmp_path, unit, text, radians):
    units = '<Imperial linearUnit="USSurveyFoot" directionUnit="%s"/>' % unit
    line = '<Line dir="%s" length="0"><Start>5 7</Start><End>5 7</End></Line>' % text
    a = read_landxml(write(tmp_path, xml(alignment(line), units)))
    assert a.units == landxml.LandXMLUnits("Imperial", "USSurveyFoot", "radians", unit)
    assert (a.x, a.y, a.stated[0].direction_source) == (7.0, 5.0, "fallback dir")
    assert a.azimuth == pytest.approx(radians, abs=1e-15)


LINE = '<Line length="10"><Start>0 0</Start><End>0 10</End></Line>'


@pytest.mark.parametrize("body, message", [
    (alignment('<Spiral spiType="revBloss" rot="cw" radiusStart="INF" radiusEnd="100" length="5">'
               '<Start>0 0</Start></Spiral>'),
     "line 6: Spiral in alignment 'A': spiType 'revBloss' is not supported (biquadratic, bloss, "
     "clothoid, cosine, cubic, cubicparabola, sinusoid are; nothing is approximated)"),
    (alignment('<Chain/>'),
     "line 6: Chain in alignment 'A': element type <Chain> is not supported (Line, Curve and "
     "Spiral are)"),
    (alignment('<Curve radius="5" length="1"><Start>0 0</Start></Curve>'),
     "line 6: Curve in alignment 'A': attribute rot (cw or ccw) is missing"),
    (alignment('<Line><Start>0 east</Start><End>1 1</End></Line>'),
     "line 6: Line in alignment 'A': <Start> must hold 'northing easting [elevation]' as finite "
     "numbers, got '0 east'"),
    (alignment(LINE) + alignment(LINE, "B"),
     "the file holds 2 alignments; choose one by name: 'A', 'B'"),
    (alignment(LINE, extra='<StaEquation staInternal="20" staAhead="1"/>'),
     "line 7: StaEquation in alignment 'A': station equation 0: internal station 20.0 is outside "
     "the alignment, 0.0 to 10.0"),
])
def test_refusals_name_the_line_and_the_element(tmp_path, body, message):
    path = write(tmp_path, xml(body))
    with pytest.raises(LandXMLError) as err:
        read_landxml(path)
    assert str(err.value) == path + ": " + message


LAUGHS = ('<?xml version="1.0"?>\n<!DOCTYPE l [<!ENTITY a "aaaaaaaaaa">' + "".join(
    '<!ENTITY %s "%s">' % (chr(98 + i), ("&%s;" % chr(97 + i)) * 10) for i in range(9))
    + ']>\n<LandXML><Alignments><Alignment name="&j;"/></Alignments></LandXML>')
EXTERNAL = ('<?xml version="1.0"?>\n<!DOCTYPE x [<!ENTITY e SYSTEM "file:///etc/hostname">]>\n'
            '<LandXML><Alignments><Alignment name="&e;"/></Alignments></LandXML>')


@pytest.mark.parametrize("content, message", [
    (LAUGHS, "line 2: the file has a document type declaration"),
    (EXTERNAL, "line 2: the file has a document type declaration"),
    (b"\x00\x9c\xffnot xml" * 1000, "line 1: not well-formed XML: "),
    ("100\n0,0,0.5\n1,100\n", "line 1: not well-formed XML: "),
])
def test_hostile_and_foreign_files_fail_at_once(tmp_path, content, message):
    path = write(tmp_path, content)
    began = time.perf_counter()
    with pytest.raises(LandXMLError) as err:
        read_landxml(path)
    assert time.perf_counter() - began < 1.0
    assert str(err.value).startswith(path + ": " + message)


@pytest.mark.parametrize("block", [7, 64, 1 << 22])
def test_surfaces_are_passed_over_keeping_line_numbers(tmp_path, monkeypatch, block):
    monkeypatch.setattr(stream, "_BLOCK", block)
    surfaces = ('<Surfaces>\n<!-- </Surfaces> -->\n<Surface><Definition><Pnts>\n<P id="1">1 2 3'
                '</P>\n</Pnts><![CDATA[</Surfaces>]]></Definition></Surface>\n</Surfaces >\n'
                '<x:Surfaces xmlns:x="urn:x" a=">"><x:P>\n</x:P></x:Surfaces><Surfaces/>\n')
    plain = read_landxml(write(tmp_path, xml(alignment(LINE))))
    skipped = read_landxml(write(tmp_path, xml(alignment(LINE), prefix=surfaces)))
    assert skipped.elements == plain.elements
    assert skipped.stated[0].line == plain.stated[0].line + surfaces.count("\n")


def test_deliberate_angle_break_is_reported_as_a_kink(tmp_path):
    # A line into a roundabout centre that leaves it at a right angle.
    lines = LINE + '<Line length="5"><Start>0 10</Start><End>-5 10</End></Line>'
    d = Alignment.from_landxml(write(tmp_path, xml(alignment(lines)))).diagnostics()
    assert [j.index for j in d.joints] == [1] and d.joints[0].gap <= 1e-15  # metres
    assert d.joints[0].kink == pytest.approx(math.pi / 2, abs=1e-15)
    assert d.max_end_miss <= 1e-15 and "kink_deg" in d.table()  # metres
