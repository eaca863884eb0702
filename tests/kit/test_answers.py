"""Answers users read, each against an independent computation: crossing
angles, every local minimum, ICD round trips, units through every writer,
offsets beyond a curve's centre, checks, points beyond the ends, chainage
style, and the refusals of bad arguments."""
import math
import subprocess
import sys
import warnings

import numpy as np
import pytest

from conftest import EXAMPLES
from curvixkit import Alignment, LandXMLError
from curvixkit.diagnostics import Thresholds
from curvixkit.errors import CrsError, OffsetWarning, SettingOutError
from curvixkit import setting_out

INF = math.inf
RAILWAY = EXAMPLES / "railway_10km.icd"
FEET = EXAMPLES / "road_feet.xml"


def curve(r=100.0, turn=1, l1=40.0, lc=60.0, l2=40.0, azimuth=0.3):
    """A straight, spiral-arc-spiral, straight from (0, 0)."""
    return Alignment.from_elements(0.0, 0.0, 0.0, azimuth, [
        {"kind": "line", "length": 50.0},
        {"kind": "clothoid", "length": l1, "start_radius": INF, "end_radius": r, "turn": turn},
        {"kind": "arc", "length": lc, "radius": r, "turn": turn},
        {"kind": "clothoid", "length": l2, "start_radius": r, "end_radius": INF, "turn": turn},
        {"kind": "line", "length": 50.0}])


def cli(*args):
    return subprocess.run([sys.executable, "-m", "curvixkit"] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


# ------------------------------------------------------------ the engine's answers

@pytest.mark.parametrize("station, skew", [(20.0, 0.0), (70.0, 15.0), (120.0, -30.0),
                                           (150.0, 60.0), (230.0, 5.0)])
def test_crossing_angle_is_between_the_line_and_the_tangent(station, skew):
    # A segment across the alignment at ``station``, leaning by ``skew`` metres.
    a = curve()
    line = [a.point(station - skew, -20.0).tolist(), a.point(station + skew, 20.0).tolist()]
    found = a.crossings(line)
    assert len(found.station) == 1
    u = np.subtract(line[1], line[0]) / np.hypot(*np.subtract(line[1], line[0]))
    for s, angle in zip(found.station, found.angle):
        t = np.array([math.sin(a.azimuth(s)), math.cos(a.azimuth(s))])
        assert angle == pytest.approx(math.acos(min(abs(float(u @ t)), 1.0)), abs=1e-9)


@pytest.mark.parametrize("seed", range(8))
def test_all_local_minima_are_those_of_a_dense_scan(seed):
    # Spiral-arc-spiral groups, tight and lopsided, seen from points around them.
    rng = np.random.default_rng(seed)
    a = curve(r=rng.uniform(15, 200), turn=rng.choice([-1, 1]), l1=rng.uniform(5, 60),
              lc=rng.uniform(0, 80), l2=rng.uniform(5, 60), azimuth=rng.uniform(0, 6))
    s = np.linspace(a.start_station, a.end_station, 40001)
    xy = a.point(s)
    for p in xy[rng.integers(0, len(s), 12)] + rng.normal(0, 40, (12, 2)):
        d = np.hypot(*(xy - p).T)
        inner = np.flatnonzero((d[1:-1] < d[:-2]) & (d[1:-1] <= d[2:])) + 1
        found = a.locate(p, all=True)
        step = s[1] - s[0]
        for i in inner:
            # A dip deeper than the sampling can make is a minimum the engine must report.
            if min(d[i - 1], d[i + 1]) - d[i] > 1e-9:
                assert np.min(np.abs(found.station - s[i])) <= 2 * step, (p, s[i])


def test_icd_round_trip_keeps_spirals_between_two_radii(tmp_path):
    # Curvature growing (type 5) and shrinking (type 6), both hands.
    a = Alignment.from_elements(0.0, 100.0, 200.0, 0.2, [
        {"kind": "line", "length": 30.0},
        {"kind": "clothoid", "length": 60.0, "start_radius": 400.0, "end_radius": 150.0, "turn": 1},
        {"kind": "clothoid", "length": 50.0, "start_radius": 150.0, "end_radius": 500.0, "turn": 1},
        {"kind": "clothoid", "length": 45.0, "start_radius": 300.0, "end_radius": 120.0, "turn": -1},
        {"kind": "clothoid", "length": 70.0, "start_radius": 120.0, "end_radius": 800.0, "turn": -1}])
    a.to_icd(tmp_path / "a.icd")
    types = [line.split(",")[0] for line in (tmp_path / "a.icd").read_text().splitlines()[2:]
             if not line.startswith("//")][:-1]
    assert types == ["1", "5", "6", "5", "6"]
    b = Alignment.from_icd(tmp_path / "a.icd")
    s = np.linspace(a.start_station, min(a.end_station, b.end_station), 501)
    assert np.max(np.hypot(*(a.point(s) - b.point(s)).T)) <= 1e-9  # metres


@pytest.mark.parametrize("all_", [False, True])
@pytest.mark.parametrize("limit", [math.nan, -1.0])
def test_bad_max_distance_is_refused(all_, limit):
    with pytest.raises(ValueError, match="max_distance must be >= 0"):
        curve().locate((1.0, 2.0), max_distance=limit, all=all_)


@pytest.mark.parametrize("along, across, beyond", [(-30.0, -40.0, -1), (0.0, 0.0, 0),
                                                  (3.0, 5.0, 0), (260.0, 0.0, 0), (30.0, 7.0, 1)])
def test_points_beyond_the_ends_say_so(along, across, beyond):
    # Points placed from the start (north from (0, 0)), or ahead of the end.
    a = curve(azimuth=0.0)
    if beyond > 0:
        (x, y), t = a.point(a.end_station), a.azimuth(a.end_station)
        point = (x + along * math.sin(t) + across * math.cos(t),
                 y + along * math.cos(t) - across * math.sin(t))
    else:
        point = (across, along) if along != 260.0 else tuple(a.point(150.0, 3.0))
    found = a.locate(point)
    assert found.beyond == beyond
    if beyond:  # station at the end, the distance to the end point, not square to it
        end = a.start_station if beyond < 0 else a.end_station
        assert found.station == end
        assert found.distance == pytest.approx(np.hypot(*(np.subtract(point, a.point(end)))))
    assert a.locate([point, point], all=True).beyond[0] == beyond


# ------------------------------------------------------------ files and units

def test_feet_keep_their_unit_through_icd_and_dxf(tmp_path):
    a = Alignment.from_landxml(FEET)
    assert a.units.linear == "USSurveyFoot"
    a.to_icd(tmp_path / "a.icd")
    assert Alignment.from_icd(tmp_path / "a.icd").units.linear == "USSurveyFoot"
    a.to_landxml(tmp_path / "a.xml")
    assert Alignment.from_landxml(tmp_path / "a.xml").units.linear == "USSurveyFoot"
    ezdxf = pytest.importorskip("ezdxf")
    assert cli("stakeout", FEET, "--format", "dxf", "-o", tmp_path / "a.dxf").returncode == 0
    assert ezdxf.readfile(str(tmp_path / "a.dxf")).header["$INSUNITS"] == 21  # US survey feet


def test_crs_in_another_unit_is_refused():
    pytest.importorskip("pyproj")
    from curvixkit.io import geojson
    with pytest.raises(CrsError, match="EPSG:26916 is in metre"):
        geojson.geojson_document(Alignment.from_landxml(FEET), crs="EPSG:26916")
    r = cli("sample", FEET, "--format", "geojson", "--crs", "EPSG:26916")
    assert (r.returncode, r.stdout, r.stderr.count("\n")) == (2, "", 1)


def test_written_icd_reads_back_without_a_whole_turn(tmp_path):
    # A straight at 0.5 rad is written one turn on (the legacy grammar reads
    # "1,L,0.5" as the end line); reading it must not turn the alignment.
    a = Alignment.from_elements(0.0, 0.0, 0.0, 0.5, [
        {"kind": "line", "length": 10.0}, {"kind": "arc", "length": 10.0, "radius": 50.0,
                                           "turn": -1},
        {"kind": "line", "length": 10.0, "start_azimuth": 0.3}])
    a.to_icd(tmp_path / "a.icd")
    b = Alignment.from_icd(tmp_path / "a.icd")
    assert b.azimuth([1.0, 25.0]) == pytest.approx(a.azimuth([1.0, 25.0]), abs=1e-12)
    assert b.diagnostics().max_kink < 1e-9
    before = (tmp_path / "a.icd").read_bytes()
    r = cli("convert", tmp_path / "a.icd", tmp_path / "a.icd")
    assert r.returncode == 2 and "also the input" in r.stderr
    assert (tmp_path / "a.icd").read_bytes() == before


def test_absurd_length_is_refused_in_every_reader(tmp_path):
    (tmp_path / "a.xml").write_text(
        '<LandXML><Alignments><Alignment name="A"><CoordGeom>\n'
        '<Line length="1e308"><Start>0 0</Start><End>0 1</End></Line>\n'
        '</CoordGeom></Alignment></Alignments></LandXML>\n')
    with pytest.raises(LandXMLError) as err:
        Alignment.from_landxml(tmp_path / "a.xml")
    assert (err.value.line, err.value.attribute) == (2, "length")
    (tmp_path / "a.icd").write_text("0\n0,0,0.5\n1,1e308\n")
    with pytest.raises(ValueError):
        Alignment.from_icd(tmp_path / "a.icd")


# ------------------------------------------------------------ offsets beyond the centre

def test_offset_beyond_the_centre_warns_and_turns_the_line_round():
    a = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [
        {"kind": "line", "length": 50.0}, {"kind": "arc", "length": 100.0, "radius": 100.0,
                                           "turn": "right"}, {"kind": "line", "length": 50.0}])
    with pytest.warns(OffsetWarning) as caught:
        plan = setting_out.make_plan(a, step=10.0, offsets=(0.0, 100.0, 150.0))
    text = str(caught[0].message)
    assert "offset 150 at K0+050.000 to K0+150.000 (radius 100.000)" in text
    assert "offset 100 at K0+050.000 to K0+150.000" in text
    rows = [c for c in setting_out.iter_chunks(a, plan)][0]
    inside = (rows.station > 50.0) & (rows.station < 150.0)
    assert np.all(rows.radius[inside, 2] == -50.0) and np.all(rows.radius[inside, 1] == 0.0)
    assert np.allclose(rows.azimuth[inside, 2], rows.tangent[inside] + math.pi)
    assert np.all(rows.azimuth[inside, 0] == rows.tangent[inside])
    with pytest.raises(SettingOutError, match="offset 150"):
        setting_out.make_plan(a, offsets=(150.0,), beyond_centre="refuse")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        setting_out.make_plan(a, offsets=(-150.0, 99.0))  # outside, and short of the centre


# ------------------------------------------------------------ checks

KINK = '''<LandXML><Alignments><Alignment name="A" length="%s"><CoordGeom>
<Line><Start>0 0</Start><End>100 0</End></Line>
<Line><Start>100 0</Start><End>%s</End></Line>
</CoordGeom></Alignment></Alignments></LandXML>
'''


@pytest.mark.parametrize("length, end, failing", [
    ("200", "100 100", ["kink"]),                       # 90 degrees between two straights
    ("200", "%r %r" % (100 + 100 * math.cos(math.radians(41)), 100 * math.sin(math.radians(41))),
     ["kink"]),
    ("250", "100 100", ["kink", "alignment_length"]),   # stated length 50 over the elements
    ("200", "200.0 1.5e-3", []),                        # a tiny kink within the default
])
def test_check_fails_on_each_figure_over_its_threshold(tmp_path, length, end, failing):
    path = tmp_path / "a.xml"
    path.write_text(KINK % (length, end))
    found = Alignment.from_landxml(path).diagnostics().exceedances()
    assert sorted({x.check for x in found}) == sorted(failing)
    r = cli("check", path)
    assert r.returncode == (1 if failing else 0)
    assert r.stdout.count("FAIL:") == len(found)


def test_check_passes_a_gap_equal_to_its_threshold(tmp_path):
    a = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [
        {"kind": "line", "length": 10.0}, {"kind": "line", "length": 10.0, "start": (0.0, 10.25)}])
    d = a.diagnostics()
    assert d.max_gap == 0.25
    assert d.exceedances(Thresholds(gap=0.25)) == []
    assert [x.check for x in d.exceedances(Thresholds(gap=float(np.nextafter(0.25, 0))))] == ["gap"]


# ------------------------------------------------------------ chainage and small things

def test_one_chainage_style_per_file_in_every_command():
    a = Alignment.from_landxml(FEET)
    start = a.stations.format(a.start_station)
    assert start == "21+03.72"
    for args in (["info"], ["sample", "--step", "500"], ["stakeout", "--step", "500"],
                 ["locate", "187650.25", "1803344.5"]):
        r = cli(args[0], FEET, *args[1:])
        assert r.returncode == 0 and start in r.stdout and "K2+103" not in r.stdout, args


@pytest.mark.parametrize("case", ["region end", "past the end", "on the line", "furlong",
                                  "options last", "bool station"])
def test_small_answers(tmp_path, case):
    if case == "region end":
        a = Alignment.from_landxml(EXAMPLES / "station_equation.xml")
        m = type(a.stations)(0.0, 876.2720712, [(300.0, 5000.0)])
        assert m.describe_region(1).startswith("region 1 (K5+000.000 to K5+576.272,")
    elif case == "past the end":
        a = curve()
        assert math.isnan(a.stations.to_display(a.end_station + 1.0))
        assert a.stations.to_display(a.end_station + 1.0, extend=True) == a.end_station + 1.0
    elif case == "on the line":
        r = cli("locate", RAILWAY, "20997.3172", "32515.2507")
        assert r.stdout.split("\n")[1].split()[4:6] == ["0.000", "on"]
    elif case == "furlong":
        (tmp_path / "a.xml").write_text(
            '<LandXML><Units><Imperial linearUnit="furlong"/></Units><Alignments><Alignment>'
            '<CoordGeom><Line><Start>0 0</Start><End>1 0</End></Line></CoordGeom></Alignment>'
            '</Alignments></LandXML>')
        with pytest.raises(LandXMLError, match="linearUnit='furlong' is not a linear unit"):
            Alignment.from_landxml(tmp_path / "a.xml")
    elif case == "options last":
        r = cli("locate", EXAMPLES / "two_tracks.xml", "--alignment", "Down track", "2600", "4800")
        assert r.returncode == 0 and len(r.stdout.splitlines()) == 2
    else:
        with pytest.raises(TypeError, match="stations must be real numbers, got a bool"):
            curve().point(True)
