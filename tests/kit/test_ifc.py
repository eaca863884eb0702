"""IFC 4.3 alignments: the single-segment verification files of ../shared/ifc
against mpmath references computed from the curvature definitions, the
11-track and tram files, a file this test writes with ifcopenshell (so a
clone without ../shared still tests the reader), and bad input."""

import math
import re
import sys

import numpy as np
import pytest

from conftest import cubic_local, shape_local, shared
from curvixkit import Alignment
from curvixkit.errors import IfcError, LossWarning, MissingExtraError
from curvixkit.io import step

ifcopenshell = pytest.importorskip("ifcopenshell", reason="reading IFC needs the optional extra "
                                                          "ifc (ifcopenshell)")
mpmath = pytest.importorskip("mpmath")


def ifc(name):
    return str(shared("ifc", name))


# IFC's horizontal types by the engine's names of their shapes.
SHAPES = {"Line": "clothoid", "CircularArc": "clothoid", "Clothoid": "clothoid",
          "BlossCurve": "bloss", "CosineCurve": "cosine", "SineCurve": "sine",
          "HelmertCurve": "helmert", "VienneseBend": "viennese"}


@pytest.mark.parametrize("name, r0, r1", [("Line", 0, 0), ("CircularArc", 300, 300)] + [
    (n, 300, 1000) for n in ("Clothoid", "BlossCurve", "CosineCurve", "SineCurve", "HelmertCurve",
                             "VienneseBend", "Cubic")])
def test_horizontal_segment_follows_its_curvature_definition(name, r0, r1):
    a = Alignment.from_ifc(ifc("horizontal-%s_300_1000.ifc" % name))
    lean = 0
    if name == "VienneseBend":  # h 1.8, right rail 0.1 to 0.03 above the left, rails 1.5 apart
        with mpmath.workdps(40):
            lean = mpmath.mpf("1.8") * (mpmath.asin(mpmath.mpf("0.02")) -
                                        mpmath.asin(mpmath.mpf(1) / 15))
            for s in (0.0, 30.0, 100.0):  # the cant follows the shape through the angle
                xi = mpmath.mpf(s) / 100
                g = 35 * xi ** 4 - 84 * xi ** 5 + 70 * xi ** 6 - 20 * xi ** 7
                psi = mpmath.asin(mpmath.mpf(1) / 15) + lean / mpmath.mpf("1.8") * g
                assert abs(a.cant(s) - float(mpmath.mpf("1.5") * mpmath.sin(psi))) <= 1e-15
    for s in (10.0, 25.0, 50.0, 77.0, 100.0):
        # leaving to the east, IFC's curvature positive to the left: along is
        # x, aside y; a radius of 0 is infinite
        k0, k1 = (0.0 if r == 0 else 1.0 / r for r in (r0, r1))
        if name == "Cubic":  # y'' from 1/300 to 1/1000 (IFC's L: see the README)
            x, y, turn = cubic_local(k0, k1, 100.0, s)
        else:  # a Viennese bend's track curves by h psi''(s) less than its centre of gravity
            x, y, turn = shape_local(SHAPES[name], k0, k1, 100.0, lean, s)
        px, py = a.point(s)
        assert math.hypot(px - x, py - y) <= 1e-9  # metres
        assert abs(a.azimuth(s) - (math.pi / 2 - turn)) <= 1e-12  # radians
    # curvature positive to the right: IFC's positive radius turns left (a
    # cubic parabola's radii are those of its y'', not of its curvature)
    if name != "Cubic":
        assert a.curvature(0.0) == (0.0 if r0 == 0 else -1.0 / r0)


def vertical_reference(kind, s, length=100.0, z0=10.0, g0=0.0, g1=0.5):
    """Height at distance s of the vertical segments of the verification
    files, from the definitions at 40 digits: a grade line of the start
    gradient, the grade linear in s (parabola), the circle tangent to both
    grades, and the clothoid leaving the start grade with no curvature,
    whose curvature is linear in the arc length."""
    with mpmath.workdps(40):
        s, length, z0, g0, g1 = map(mpmath.mpf, (s, length, z0, g0, g1))
        t0, t1 = mpmath.atan(g0), mpmath.atan(g1)
        if kind == "ConstantGradient":
            return float(z0 + g0 * s)
        if kind == "ParabolicArc":
            return float(z0 + g0 * s + (g1 - g0) * s * s / (2 * length))
        if kind == "CircularArc":
            r = length / (mpmath.sin(t1) - mpmath.sin(t0))
            return float(z0 + r * (mpmath.cos(t0) - mpmath.sqrt(1 - (mpmath.sin(t0) + s / r) ** 2)))
        theta = lambda v: t0 + (t1 - t0) * v * v  # noqa: E731
        along = length / mpmath.quad(lambda v: mpmath.cos(theta(v)), [0, 1])
        v = mpmath.findroot(lambda v: along * mpmath.quad(lambda u: mpmath.cos(theta(u)), [0, v])
                            - s, s / length)
        return float(z0 + along * mpmath.quad(lambda u: mpmath.sin(theta(u)), [0, v]))


@pytest.mark.parametrize("kind", ["ConstantGradient", "ParabolicArc", "CircularArc", "Clothoid"])
def test_vertical_segment_follows_its_definition(kind):
    a = Alignment.from_ifc(ifc("vertical-%s_0.0_0.5.ifc" % kind))
    for s in (0.0, 25.0, 50.0, 100.0):
        assert abs(a.elevation(s) - vertical_reference(kind, s)) <= 1e-9  # metres


def test_linear_cant_is_right_minus_left_on_the_rail_head_distance():
    a = Alignment.from_ifc(ifc("cant-LinearTransition_300_1000.ifc"))
    c = a.cant_design
    assert (c.gauge, c.axis) == (1.5, "inside_rail")  # RailHeadDistance; written from the low rail
    for s in (0.0, 30.0, 100.0):
        assert abs(a.cant(s) - 0.16 * (1.0 - s / 100.0)) <= 1e-15


def test_a_generated_representation_that_disagrees_is_reported():
    # the cubic's polynomial there is a straight line: its end lies 12.2 m off
    a = Alignment.from_ifc(ifc("generated-horizontal-Cubic_300_1000.ifc"))
    assert representation(a)[0] == pytest.approx(12.2, abs=0.05)  # (three digits)


def test_eleven_tracks_agree_with_their_representation():
    path = ifc("al01-11-tracks.ifc")
    names = Alignment.ifc_names(path)
    tracks = [Alignment.from_ifc(path, name=i) for i in range(len(names))]
    # the file's 286 horizontal segments (none of zero length)
    assert (len(names), sum(len(a) for a in tracks)) == (11, 286)
    assert max(a.length for a in tracks) > 17.7e3
    for a in tracks:
        # plan and profile; the worst plan figure of the file is 0.000891 m
        assert len(representation(a)) == 2 and max(representation(a)) < 1e-3


def representation(a):
    """The figures of the representation notes (plan, profile)."""
    return [float(n.split("within ")[1].split()[0]) for n in a.diagnostics().notes
            if n.startswith("representation:")]


def test_map_conversion_places_the_tram_file_in_its_crs():
    path = ifc("bc003-alx2-reference.ifc")
    model = ifcopenshell.file.from_string(open(path).read().replace("'IFC4X3'", "'IFC4X3_ADD2'"))
    first = model.by_type("IfcAlignmentHorizontalSegment")[0].StartPoint.Coordinates
    a = Alignment.from_ifc(path, name="PL1")
    assert a.crs == "EPSG:3944"
    assert tuple(a.point(a.start_station)) == (1892000.0 + first[0], 3126700.0 + first[1])
    # its representation hangs on the layouts: 1.17e-05 m (plan), 6.21e-06 m (profile)
    assert len(representation(a)) == 2 and max(representation(a)) < 2e-5
    assert Alignment.from_ifc(path, name=8).start_station == -8.249973622295  # its IfcReferent
    with pytest.raises(IfcError, match="2 alignments are named 'PL_2'"):
        Alignment.from_ifc(path, name="PL_2")


def write_model(path, line_length=100.0):
    """A small IFC4X3_ADD2 file: a line of ``line_length`` at 30 degrees (the
    file's angle unit is the degree) and a right-hand arc of radius 200 and
    length 50, closed by a zero-length line; a grade of 1 %; a referent at
    station 1000; a map conversion to E 1000, N 2000, H 50 turned by 0.1 rad."""
    f = ifcopenshell.file(schema="IFC4X3_ADD2")
    new = ifcopenshell.guid.new
    radian = f.createIfcSIUnit(UnitType="PLANEANGLEUNIT", Name="RADIAN")
    degree = f.createIfcConversionBasedUnit(
        f.createIfcDimensionalExponents(0, 0, 0, 0, 0, 0, 0), "PLANEANGLEUNIT", "degree",
        f.createIfcMeasureWithUnit(f.createIfcPlaneAngleMeasure(math.pi / 180.0), radian))
    metre = f.createIfcSIUnit(UnitType="LENGTHUNIT", Name="METRE")
    context = f.createIfcGeometricRepresentationContext(
        ContextType="Model", CoordinateSpaceDimension=3,
        WorldCoordinateSystem=f.createIfcAxis2Placement3D(f.createIfcCartesianPoint((0., 0., 0.))))
    f.createIfcProject(new(), Name="p", RepresentationContexts=[context],
                       UnitsInContext=f.createIfcUnitAssignment([metre, degree]))
    f.createIfcMapConversion(context, f.createIfcProjectedCRS(Name="EPSG:3944"), 1000.0, 2000.0,
                             50.0, math.cos(0.1), math.sin(0.1))
    alignment = f.createIfcAlignment(new(), Name="A")
    layouts = [f.createIfcAlignmentHorizontal(new()), f.createIfcAlignmentVertical(new())]
    c30, s30 = math.cos(math.pi / 6), math.sin(math.pi / 6)
    u, v = 200 * math.sin(0.25), -200 * (1 - math.cos(0.25))  # a right turn of 0.25 rad
    arc_end = (100 * c30 + u * c30 - v * s30, 100 * s30 + u * s30 + v * c30)
    horizontal = [((0.0, 0.0), 30.0, 0.0, line_length, "LINE"),
                  ((100 * c30, 100 * s30), 30.0, -200.0, 50.0, "CIRCULARARC"),
                  (arc_end, 30.0 - 0.25 * 180 / math.pi, 0.0, 0.0, "LINE")]
    segments = [f.createIfcAlignmentHorizontalSegment(
        StartPoint=f.createIfcCartesianPoint(p), StartDirection=d, StartRadiusOfCurvature=r,
        EndRadiusOfCurvature=r, SegmentLength=n, PredefinedType=t) for p, d, r, n, t in horizontal]
    vertical = [f.createIfcAlignmentVerticalSegment(
        StartDistAlong=0.0, HorizontalLength=150.0, StartHeight=5.0, StartGradient=0.01,
        EndGradient=0.01, PredefinedType="CONSTANTGRADIENT")]
    referent = f.createIfcReferent(new(), Name="0+000", PredefinedType="STATION",
                                   ObjectPlacement=f.createIfcLinearPlacement(
                                       RelativePlacement=f.createIfcAxis2PlacementLinear(
                                           f.createIfcPointByDistanceExpression(
                                               f.createIfcNonNegativeLengthMeasure(0.0)))))
    pset = f.createIfcPropertySet(new(), Name="Pset_Stationing", HasProperties=[
        f.createIfcPropertySingleValue("Station", NominalValue=f.createIfcLengthMeasure(1000.0))])
    f.createIfcRelDefinesByProperties(new(), RelatedObjects=[referent],
                                      RelatingPropertyDefinition=pset)
    for parent, children in ((alignment, layouts + [referent]), (layouts[0], segments),
                             (layouts[1], vertical)):
        f.createIfcRelNests(new(), RelatingObject=parent, RelatedObjects=[
            f.createIfcAlignmentSegment(new(), DesignParameters=c) if c.is_a(
                "IfcAlignmentParameterSegment") else c for c in children])
    f.write(str(path))
    return segments[0].id(), segments[1].id(), segments[1].StartPoint.id()


def test_written_file_reads_in_map_coordinates_and_stations(tmp_path):
    path = tmp_path / "small.ifc"
    write_model(path)
    a = Alignment.read(path)  # told apart by content
    assert (a.name, a.crs, tuple(a.units), a.start_station) == (
        "A", "EPSG:3944", ("Metric", "metre", "degree", "degree"), 1000.0)
    turn = math.pi / 6 + 0.1  # the direction in the file and the map's rotation
    ends = {1000.0: (0.0, 0.0), 1100.0: (100.0, 0.0),
            1150.0: (100 + 200 * math.sin(0.25), -200 * (1 - math.cos(0.25)))}
    for s, (u, v) in ends.items():
        x = 1000.0 + u * math.cos(turn) - v * math.sin(turn)
        y = 2000.0 + u * math.sin(turn) + v * math.cos(turn)
        assert math.hypot(*(a.point(s) - (x, y))) <= 1e-9  # metres
    assert abs(a.azimuth(1000.0) - (math.pi / 2 - turn)) <= 1e-15
    assert (len(a), a.curvature(1120.0)) == (2, 1 / 200.0)  # the zero-length close dropped
    assert abs(a.elevation(1150.0) - (50.0 + 5.0 + 1.5)) <= 1e-12


# (case, the attribute and the entity the error names: an entity of the
# small file by its type's last instance, the line or the arc by name)
@pytest.mark.parametrize("case, attribute, where", [
    ("truncated", None, None), ("missing point", "StartPoint", "arc"), ("NaN", "SegmentLength", "line"),
    ("1e308", "SegmentLength", "line"), ("negative", "SegmentLength", "line"),
    ("missing segment", "RelatedObjects", "horizontal"), ("point of another type", "StartPoint", "arc"),
    ("layout nests itself", "RelatedObjects", "horizontal"),
    ("alignment nests itself", "RelatedObjects", "top"),
    ("vertical past the end", "StartDistAlong", "IFCALIGNMENTVERTICALSEGMENT"),
    ("vertical before the start", "HorizontalLength", "IFCALIGNMENTVERTICALSEGMENT"),
    ("nested 10^5 deep", None, "arc"), ("nested deep after a quote in a comment", None, "arc"),
    ("stray value in the header", None, None), ("schema names not a list", None, None),
    ("value without a comma", None, "IFCMAPCONVERSION"),
    ("number as the target CRS", "TargetCRS", "IFCMAPCONVERSION"),
    ("entity with a line break as a name", "Name", "IFCALIGNMENT"),
    ("name defined twice", None, "point"), ("too many statements", None, None)])
def test_bad_input_names_the_entity_and_attribute(tmp_path, monkeypatch, case, attribute, where):
    path = tmp_path / "bad.ifc"
    line, arc, point = write_model(path, line_length=12345.678)
    text = path.read_text()
    lines = [ln for ln in text.splitlines() if ln.startswith("#%d=" % arc)]
    name = {k: "#" + n for n, k in re.findall(r"#(\d+)=(IFC[A-Z]+)\(", text)}  # the last of each
    nests = dict(re.findall(r"(#\d+)=IFCRELNESTS\('[^']*',\$,\$,\$,(#\d+),", text))
    by_parent = {parent: rel for rel, parent in nests.items()}
    name.update(line="#%d" % line, arc="#%d" % arc, point="#%d" % point,
                horizontal=by_parent[name["IFCALIGNMENTHORIZONTAL"]], top=by_parent[name["IFCALIGNMENT"]])
    horizontal, top, vertical = name["horizontal"], name["top"], name["IFCALIGNMENTVERTICALSEGMENT"]
    crs = int(name["IFCPROJECTEDCRS"][1:])
    deep = "IFCPLANEANGLEMEASURE(" * 100000 + "30." + ")" * 100000

    def nest_also(rel, extra):
        return re.sub(r"(%s=IFCRELNESTS\([^;]*,\()" % rel, r"\g<1>%s," % extra, text)

    if case == "too many statements":
        monkeypatch.setattr(step, "MAX_STATEMENTS", 30)
    broken = {"truncated": text[:len(text) // 2],
              "missing point": text.replace(lines[0], lines[0].replace("#%d," % point, "#99999,")),
              "NaN": text.replace("12345.678", "NaN"), "1e308": text.replace("12345.678", "1.E308"),
              "negative": text.replace("12345.678", "-1."),
              # ifcopenshell leaves a reference to a missing entity out of a list
              "missing segment": nest_also(horizontal, "#99999"),
              "point of another type": text.replace(lines[0], lines[0].replace(
                  "#%d," % point, "%s," % name["IFCALIGNMENT"])),
              "layout nests itself": nest_also(horizontal, name["IFCALIGNMENTHORIZONTAL"]),
              "alignment nests itself": nest_also(top, name["IFCALIGNMENT"]),
              # starting where the horizontal (12345.678 + 50) ends
              "vertical past the end": re.sub(r"(%s=IFCALIGNMENTVERTICALSEGMENT\(\$,\$,)0\."
                                              % vertical, r"\g<1>12395.678", text),
              "vertical before the start": re.sub(
                  r"(%s=IFCALIGNMENTVERTICALSEGMENT\(\$,\$,)0\." % vertical, r"\g<1>-150.", text),
              # ifcopenshell's parser recursed until the process died
              "nested 10^5 deep": text.replace(lines[0], lines[0].replace(",30.,", ",%s," % deep)),
              # the scan once took the quote for a string's start, and skipped the nesting
              "nested deep after a quote in a comment": text.replace(lines[0], "/* it's */" + lines[
                  0].replace(",30.,", ",%s," % deep) + "/* ' */"),
              # ifcopenshell read TargetCRS as 0. and the string was lost (a fuzz finding)
              "value without a comma": text.replace(",#%d,1000." % crs, ",'foot'00.,1000."),
              "number as the target CRS": text.replace(",#%d,1000." % crs, ",0.,1000."),
              # its repr, with the line break, was quoted in the message (a fuzz finding)
              "entity with a line break as a name": text.replace(
                  "'A',$,$,$,$,$);", "%s,$,$,$,$,$);" % name["IFCALIGNMENTHORIZONTAL"]).replace(
                  "IFCALIGNMENTHORIZONTAL('", "IFCALIGNMENTHORIZONTAL('a\nb"),
              "stray value in the header": text.replace("FILE_SCHEMA(('IFC4X3_ADD2'));",
                                                        "FILE_SCHEMA(('IFC4X3_ADD2')2);"),
              # ended ifcopenshell's process too (a fuzz finding)
              "schema names not a list": text.replace("FILE_SCHEMA(('IFC4X3_ADD2'));",
                                                      "FILE_SCHEMA('a',('b'));\nFILE_SCHEMA(("
                                                      "'IFC4X3_ADD2'));"),
              # on the same line, which a scan of line starts missed
              "name defined twice": text.replace(lines[0], lines[0] + "#%d=IFCCARTESIANPOINT("
                                                 "(0.,0.));" % point),
              "too many statements": text}[case]
    path.write_text(broken)
    with pytest.raises(IfcError) as exc:
        Alignment.from_ifc(path)
    assert (exc.value.entity, exc.value.attribute, exc.value.path) == (
        name.get(where), attribute, str(path))
    assert "\n" not in str(exc.value)


@pytest.mark.parametrize("length", [100.0, 200.0])
def test_vertical_layout_of_another_extent_is_noted_and_nan_where_it_says_nothing(tmp_path, length):
    """The small file's horizontal runs from 1000 to 1150; its vertical
    covers 1000 to 1100, or runs 50 past the end (as one of the 11 tracks
    does by 82.4888)."""
    path = tmp_path / "small.ifc"
    write_model(path)
    path.write_text(path.read_text().replace("0.,150.,5.,0.01", "0.,%r,5.,0.01" % length))
    a = Alignment.from_ifc(path)
    notes = [n for n in a.diagnostics().notes if n.startswith("the vertical layout")]
    z = a.point3d([1050.0, 1120.0, 1180.0])
    if length == 100.0:
        assert notes == ["the vertical layout leaves stations 1100.0 to 1150.0 of the horizontal "
                         "without elevation (NaN there)"]
        assert math.isfinite(z[0, 2]) and math.isnan(z[1, 2])
    else:
        assert notes == ["the vertical layout runs 50 past the end of the horizontal (1150.0)"]
        assert math.isfinite(z[1, 2])
        # past the plan's end: no plan point, unless the end tangent is extended
        assert np.isnan(z[2, :2]).all()
        extended = a.point3d(1180.0, extend=True)
        assert abs(extended[2] - (50.0 + 5.0 + 1.8)) <= 1e-12 and np.isfinite(extended).all()


def test_without_ifcopenshell_the_extra_is_named(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "ifcopenshell", None)
    with pytest.raises(MissingExtraError, match=r'pip install "curvix\[ifc\]"'):
        Alignment.from_ifc(tmp_path / "any.ifc")


@pytest.mark.parametrize("source, name", [("two_tracks.xml", "Up track"),
                                          ("station_equation.xml", None), ("road_feet.xml", None),
                                          ("written", None)])
def test_written_ifc_reads_back_to_the_same_alignment(tmp_path, source, name):
    from conftest import EXAMPLES
    path = tmp_path / "small.ifc"
    if source == "written":
        write_model(path)
    a = Alignment.read(path if source == "written" else EXAMPLES / source, name=name)
    a.to_ifc(tmp_path / "out.ifc")
    b = Alignment.from_ifc(tmp_path / "out.ifc")
    s = [a.start_station + f * a.length for f in (0.0, 0.1, 0.37, 0.5, 0.81, 1.0)]
    assert max(math.hypot(*d) for d in a.point(s) - b.point(s)) <= 1e-9  # metres or feet
    assert (b.units.linear, b.stations.equations, b.crs) == (
        {"meter": "metre"}.get(a.units.linear, a.units.linear), a.stations.equations, a.crs)
    for query in ("elevation", "cant"):
        assert all(abs(p - q) <= 1e-9 or p != p and q != q
                   for p, q in zip(getattr(a, query)(s), getattr(b, query)(s)))
    assert (b.cant_design is None) == (a.cant_design is None)
    if a.cant_design is not None:
        assert b.cant_design[1:4] == a.cant_design[1:4]


def test_convert_writes_and_reads_ifc(tmp_path):
    from conftest import EXAMPLES
    from curvixkit.cli import main
    out = tmp_path / "up.ifc"
    assert main(["convert", str(EXAMPLES / "two_tracks.xml"), str(out), "--alignment",
                 "Up track"]) == 0
    assert main(["convert", str(out), str(tmp_path / "up.icd")]) == 0
    a, back = Alignment.from_ifc(out), Alignment.from_icd(tmp_path / "up.icd")
    assert (a.name, back.length) == ("Up track", pytest.approx(a.length, abs=1e-9))
    # and back to LandXML, in its own name of IFC's metre
    assert main(["convert", str(out), str(tmp_path / "up.xml")]) == 0
    again = Alignment.from_landxml(tmp_path / "up.xml")
    s = np.linspace(a.start_station, a.end_station, 51)
    assert again.units.linear == "meter" and np.max(np.hypot(*(a.point(s) - again.point(s)).T)) <= 1e-9
    # the profile's segments as PVIs again, the cant in millimetres
    assert np.max(np.abs(a.elevation(s) - again.elevation(s))) <= 1e-9
    assert np.max(np.abs(a.cant(s) - again.cant(s))) <= 1e-12


def _curvature(parent, length, s):
    """IFC's curvature (positive to the left) of a parent curve at s, from
    the entity's own terms; ``length`` is the using segment's (signed)."""
    kind, np = parent.is_a(), pytest.importorskip("numpy")
    if kind == "IfcLine":
        return 0 * s
    if kind == "IfcCircle":
        return math.copysign(1.0 / parent.Radius, length) + 0 * s
    if kind == "IfcClothoid":
        return parent.ClothoidConstant * s / abs(parent.ClothoidConstant) ** 3
    k = 1.0 / parent.ConstantTerm + 0 * s if parent.ConstantTerm else 0 * s
    if kind == "IfcCosineSpiral":
        return k + np.cos(math.pi * s / length) / parent.CosineTerm
    if kind == "IfcSineSpiral":
        k = k + (s * parent.LinearTerm / abs(parent.LinearTerm) ** 3 if parent.LinearTerm else 0)
        return k + np.sin(2 * math.pi * s / length) / parent.SineTerm
    for n, name in enumerate(("LinearTerm", "QuadraticTerm", "CubicTerm", "QuarticTerm",
                              "QuinticTerm", "SexticTerm", "SepticTerm"), 1):
        a = getattr(parent, name, None)
        k = k + (math.copysign(1.0, a) * s ** n / abs(a) ** (n + 1) if a else 0)
    return k


def _segment_end(seg):
    """Where an IfcCurveSegment ends: its parent's curvature integrated
    (Gauss-Legendre, far finer than the tolerance) from its placement."""
    np = pytest.importorskip("numpy")
    x, w = np.polynomial.legendre.leggauss(40)
    length, s0 = seg.SegmentLength.wrappedValue, seg.SegmentStart.wrappedValue
    n = abs(length)

    def heading(t):  # the turn from s0 to s0 + t
        return t / 2 * np.sum(w * _curvature(seg.ParentCurve, length, s0 + t / 2 * (x + 1)))
    d = math.atan2(seg.Placement.RefDirection.DirectionRatios[1],
                   seg.Placement.RefDirection.DirectionRatios[0])
    turns = d + np.array([heading(t) for t in n / 2 * (x + 1)])
    (x0, y0) = seg.Placement.Location.Coordinates
    return x0 + n / 2 * np.sum(w * np.cos(turns)), y0 + n / 2 * np.sum(w * np.sin(turns))


@pytest.mark.parametrize("kind, turn", [(k, t) for k in ("clothoid", "bloss", "cosine", "sine",
                                                          "helmert") for t in (1, -1)])
def test_written_representation_agrees_with_the_business_logic(tmp_path, kind, turn):
    from curvixkit.io.ifc import _Frame, _representation
    els = [{"kind": "line", "length": 80.0}]
    for r0, r1, length in ((math.inf, 300.0, 60.0), (300.0, 300.0, 50.0), (300.0, 800.0, 70.0),
                           (800.0, math.inf, 40.0), (math.inf, math.inf, 30.0)):
        els.append({"kind": kind if r0 != r1 else "arc" if r0 < math.inf else "line",
                    "length": length, "start_radius": r0, "end_radius": r1, "radius": r0,
                    "turn": turn})
    a = Alignment.from_elements(1000.0, 500.0, 200.0, 0.3, els, profile={"pvis": [
        (1000.0, 50.0), (1100.0, 52.0, "parabola", 60.0), (1200.0, 49.0, "arc", 2000.0),
        (1270.0, 50.0, "arc", 600.0), (1330.0, 49.5)]}, cant={"stations": [
            (1000.0, 0.0), (1080.0, 0.0, "linear" if kind == "clothoid" else kind),
            (1140.0, 0.1), (1260.0, 0.1, kind if kind != "clothoid" else "linear"),
            (1300.0, 0.0)], "gauge": 1.5, "axis": "inside_rail"})
    a.to_ifc(tmp_path / "out.ifc")
    model = ifcopenshell.open(str(tmp_path / "out.ifc"))
    rep = _representation(model.by_type("IfcAlignment"), _Frame(), a.start_station)
    # A Helmert curve is two IfcCurveSegments, the second from its middle.
    starts = [(e.start_station, e.start) for e in a.elements]
    starts += [(e.start_station + e.length / 2, tuple(a.point(e.start_station + e.length / 2)))
               for e in a.elements if e.kind == "helmert"]
    starts = [p for _, p in sorted(starts)] + [a.elements[-1].end]
    assert [math.hypot(x - p[0], y - p[1]) <= 1e-9 for (_, x, y), p in
            zip(rep["horizontal"], starts)] == [True] * len(starts)
    segs = a.profile.segments
    heights = [seg.start_elevation for seg in segs] + [segs[-1].end_elevation]
    assert [abs(z - h) for (_, _, z), h in zip(rep["vertical"], heights)] == pytest.approx(
        [0.0] * len(heights), abs=1e-9)
    segments = [c for c in model.by_type("IfcCompositeCurve") if c.is_a("IfcCompositeCurve")
                and not c.is_a("IfcGradientCurve")][0].Segments
    ends = [a.point(a.start_station + sum(abs(s.SegmentLength.wrappedValue) for s in
                                          segments[:i + 1]) - 1e-9) for i in range(len(segments))]
    assert max(math.hypot(*(_segment_end(s) - p)) for s, p in zip(segments, ends)) <= 1e-8
    assert [r.RepresentationIdentifier for r in a_shape(model)] == ["FootPrint", "Axis"]
    assert model.by_type("IfcSegmentedReferenceCurve")[0].BaseCurve.is_a("IfcGradientCurve")


def a_shape(model):
    return model.by_type("IfcAlignment")[0].Representation.Representations


def test_a_leaning_viennese_bend_goes_through_its_cant_and_back(tmp_path):
    bend = {"kind": "viennese", "length": 90.0, "start_radius": math.inf, "end_radius": 400.0,
            "turn": 1, "lean": -0.06}
    elements = [{"kind": "line", "length": 10.0}, bend, {"kind": "arc", "length": 40.0,
                                                         "radius": 400.0, "turn": 1}]
    cant = {"stations": [(0.0, 0.0), (10.0, 0.0, "viennese"), (100.0, 0.12), (140.0, 0.12)],
            "gauge": 1.5, "axis": "centre"}
    a = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, elements, cant=cant)
    with pytest.warns(LossWarning, match="Viennese cant transition"):
        a.to_ifc(tmp_path / "out.ifc")
    b = Alignment.from_ifc(tmp_path / "out.ifc")
    assert b.elements[1].lean == pytest.approx(-0.06, rel=1e-14)
    s = np.linspace(0.0, 140.0, 57)
    assert np.max(np.hypot(*(a.point(s) - b.point(s)).T)) <= 1e-9
    assert np.max(np.abs(a.cant(s) - b.cant(s))) <= 1e-15
    plan = [c for c in ifcopenshell.open(str(tmp_path / "out.ifc")).by_type("IfcCompositeCurve")
            if not c.is_a("IfcGradientCurve")][0]
    spiral = plan.Segments[1]
    assert spiral.ParentCurve.is_a("IfcSeventhOrderPolynomialSpiral")
    assert math.hypot(*np.subtract(_segment_end(spiral), a.elements[1].end)) <= 1e-9
    with pytest.raises(IfcError, match="element 2: a leaning Viennese bend"):
        Alignment.from_elements(0.0, 0.0, 0.0, 0.0, elements).to_ifc(tmp_path / "no-cant.ifc")
