"""Key points, curve data, stake-out rows and their DXF and GeoJSON forms,
checked against closed forms and against the engine's own points."""

import csv
import io
import json
import math
import sys
from pathlib import Path

import numpy as np
import pytest

from curvixkit import Alignment
from curvixkit.cli import main
from curvixkit.design import curve_groups, key_points, spiral_end
from curvixkit.setting_out import iter_chunks, make_plan
from curvixkit.stations import CHUNK, format_station, parse_station

from conftest import EXAMPLES, SHARED, shared
RAILWAY = EXAMPLES / "railway_10km.icd"
LANDXML = SHARED / "landxml"
APLITOP = LANDXML / "aplitop-1.xml"
EQUATION = LANDXML / "stn02-station-equation.xml"
OWN_EQUATION = EXAMPLES / "station_equation.xml"


def landxml(path):
    return shared("landxml", path.name) if path.parent == LANDXML else path


def cli(capsys, *args):
    try:
        rc = main([str(a) for a in args])
    except SystemExit as exc:  # argparse refusing an argument
        rc = exc.code
    out, err = capsys.readouterr()
    return rc, out, err


def xy2(v):
    return (v.x, v.y)


def chord_deviation(a, v, e):
    """Largest distance from the chords of polyline ``v`` (equal station
    steps over element ``e``) to the curve at each chord's middle station."""
    s = np.linspace(e.start_station, e.end_station, len(v))
    mid = a.point(0.5 * (s[1:] + s[:-1]))
    d, m = v[1:] - v[:-1], mid - v[:-1]
    return np.max(np.abs(d[:, 0] * m[:, 1] - d[:, 1] * m[:, 0]) / np.hypot(d[:, 0], d[:, 1]))


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


# ------------------------------------------------------------- closed forms

@pytest.mark.parametrize("tau", [1e-3, 0.2, 0.75, 1.5, 3.0])
@pytest.mark.parametrize("into", [True, False])
def test_spiral_end_matches_fresnel_quadrature(tau, into):
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 40
    L = 100.0
    R = L / (2 * tau)
    x = mpmath.quad(lambda s: mpmath.cos(s * s / (2 * R * L)), [0, L])
    y = mpmath.quad(lambda s: mpmath.sin(s * s / (2 * R * L)), [0, L])
    ends = (INF, R) if into else (R, INF)
    a = Alignment.from_elements(0.0, 3.0, -2.0, 0.4, [spiral(ends[0], ends[1], L)])
    got = spiral_end(a.elements[0], into)
    # The engine's end point, read in the frame of the straight end's tangent.
    assert got == pytest.approx((float(x), float(y)), rel=0, abs=1e-12)


# Files, and how well their stated elements chain: an ICD file chains
# exactly; LandXML elements sit where the file states them, which the shared
# README puts within 0.02 mm, with directions rounded to 1e-8 grad.
GEOMETRY_FILES = [(RAILWAY, 1e-12, 1e-6), (EXAMPLES / "worked_example.icd", 1e-12, 1e-6),
                  (OWN_EQUATION, 3e-7, 1e-4), (EXAMPLES / "road_feet.xml", 3e-7, 1e-4),
                  (APLITOP, 3e-7, 1e-4), (EQUATION, 3e-7, 1e-4)]


def spiral(r0, r1, length, turn=1):
    return dict(kind="clothoid", start_radius=r0, end_radius=r1, turn=turn, length=length)


LINE = dict(kind="line", length=10.0)
INF = math.inf
# Groups whose point nearest PI is off the arc (or has no arc), and a loop.
SHAPES = {"lopsided spiral-spiral": [LINE, spiral(INF, 100, 40), spiral(100, INF, 60), LINE],
          "spiral-spiral": [LINE, spiral(INF, 100, 60), spiral(100, INF, 60), LINE],
          "spiral alone": [LINE, spiral(INF, 100, 40), LINE],
          "arc-spiral": [LINE, dict(kind="arc", radius=30, turn=-1, length=20),
                         spiral(30, INF, 50, -1), LINE]}


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_curve_data_of_made_up_groups(shape):
    check_groups(Alignment.from_elements(0.0, 0.0, 0.0, 0.3, SHAPES[shape]), 1e-12, 1e-6)


def test_loop_has_no_tangent_lengths():
    a = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [LINE, dict(kind="arc", radius=10, turn=-1,
                                                                  length=15 * math.pi), LINE])
    (g,) = curve_groups(a)
    assert g.deflection == pytest.approx(1.5 * math.pi, abs=1e-12)
    assert math.isnan(g.T1) and math.isnan(g.E) and g.pi is None


@pytest.mark.parametrize("path, angle_tol, length_tol", GEOMETRY_FILES, ids=lambda v: getattr(v, "stem", ""))
def test_curve_data_matches_the_geometry(path, angle_tol, length_tol):
    check_groups(Alignment.read(landxml(path)), angle_tol, length_tol)


def check_groups(a, angle_tol, length_tol):
    elements = a.elements
    groups = curve_groups(a)
    assert groups
    for g in groups:
        first, last = elements[g.elements[0]], elements[g.elements[-1]]
        assert g.deflection == pytest.approx(abs(last.end_azimuth - first.start_azimuth),
                                             abs=angle_tol)
        # PI: where the tangents at the group's ends meet, solved here apart.
        u0 = np.array([math.sin(first.start_azimuth), math.cos(first.start_azimuth)])
        u1 = np.array([math.sin(last.end_azimuth), math.cos(last.end_azimuth)])
        t1, t2 = np.linalg.solve(np.column_stack([u0, u1]),
                                 np.subtract(last.end, first.start))
        assert (g.T1, g.T2) == pytest.approx((t1, t2), abs=length_tol)
        pi = np.add(first.start, t1 * u0)
        s = np.linspace(g.start_station, g.end_station, 400001)
        xy = a.point(s)
        nearest = np.nanmin(np.hypot(xy[:, 0] - pi[0], xy[:, 1] - pi[1]))
        # Sampling every ~2 mm overstates the distance by well under 1e-6 m.
        assert g.E == pytest.approx(nearest, abs=length_tol)
        # Key points sit on element joints, the midpoint halfway.
        joints = [elements[k].start_station for k in g.elements] + [last.end_station]
        mid = 0.5 * (g.start_station + g.end_station)
        assert sorted(joints + [mid]) == [k.station for k in g.key_points]
        if g.closed_form:
            R = g.R
            assert g.deflection == pytest.approx((g.L1 / 2 + g.Lc + g.L2 / 2) / R, abs=angle_tol)


def test_aplitop_has_asymmetric_groups_of_both_hands():
    groups = curve_groups(Alignment.read(landxml(APLITOP)))
    sas = [g for g in groups if g.kind == "spiral-arc-spiral"]
    assert {g.turn for g in sas} == {1, -1}
    assert any(g.L1 != g.L2 and g.T1 != g.T2 for g in sas)


@pytest.mark.parametrize("names, expected", [
    ("us", ["POT", "TS", "SC", "CM", "CS", "ST", "POT"]),
    ("cn", ["QD", "ZH", "HY", "QZ", "YH", "HZ", "ZD"])])
def test_key_point_names(names, expected):
    a = Alignment.from_icd(EXAMPLES / "worked_example.icd")
    kps = key_points(a, names)
    assert [k.name for k in kps] == expected
    inner = kps[2:-2]  # the group's ends are its elements' own end values
    assert np.array_equal(np.array([[k.x, k.y] for k in inner]), a.point([k.station for k in inner]))
    assert [k.azimuth for k in inner] == [a.azimuth(k.station) for k in inner]


# ------------------------------------------------------------------ stake-out

def test_stakeout_rows_are_the_engines_points(capsys):
    rc, out, err = cli(capsys, "stakeout", RAILWAY, "--step", 100, "--offsets", "-3.5,0,3.5",
                       "--format", "csv")
    assert (rc, err) == (0, "")
    rows = csv_rows(out)
    a = Alignment.from_icd(RAILWAY)
    s = np.array([float(r["station"]) for r in rows])
    o = np.array([float(r["offset"]) for r in rows])
    xy = np.array([[float(r["x"]), float(r["y"])] for r in rows])
    assert np.array_equal(xy, a.point(s, o))
    # Station by station, so that a batch query cannot share a fault with the rows.
    k = np.array([a.curvature(v) for v in s])
    radius = np.where(k == 0, np.inf, 1 / np.where(k == 0, 1, k) - o)  # signed: + turns right
    assert np.array_equal([float(r["radius"]) for r in rows], radius)
    az = np.array([float(r["azimuth_rad"]) for r in rows])
    assert np.array_equal(az, [a.azimuth(v) for v in s])
    assert np.array_equal([float(r["azimuth_deg"]) for r in rows], np.degrees(az) % 360.0)
    # The stakes left and right lie square to the tangent: right - left = 7 (cos a, -sin a).
    across = xy[2::3] - xy[0::3]
    assert across == pytest.approx(7 * np.column_stack([np.cos(az[::3]), -np.sin(az[::3])]),
                                   abs=1e-9)
    named = {(float(r["station"]), r["key"]) for r in rows if r["key"]}
    expected = {(min(kp.station, a.end_station), kp.name) for kp in key_points(a)}
    assert named == expected
    assert sorted(set(s)) == sorted({100.0 * i for i in range(120, 224)} | {k for k, _ in named})


@pytest.mark.parametrize("style", ["k", "plus", "us"])
def test_chainage_text_rounds_the_exact_value_half_to_even(style):
    # The formatter rounds with '%.*f'; the reference rounds the double's
    # exact decimal value with Decimal, half to even.
    from decimal import ROUND_HALF_EVEN, Decimal
    rng = np.random.default_rng(7)
    values = np.concatenate([rng.uniform(-2e4, 2e5, 5000), np.round(rng.uniform(-1e3, 1e4, 2000), 3),
                             [0.0, -0.0, -0.0004, 0.0005, 0.125, 0.135, 12999.9996, 99.995, -99.995,
                              1e15]]).tolist()
    places, unit = (2, 100) if style == "us" else (3, 1000)

    def reference(v):
        q = Decimal(v).quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_EVEN)
        whole, fraction = divmod(abs(int(q.scaleb(places))), 10 ** places)
        major, minor = divmod(whole, unit)
        return "%s%s%d+%0*d.%0*d" % ("-" if q < 0 else "", "K" if style == "k" else "", major,
                                     len(str(unit)) - 1, minor, places, fraction)

    assert format_station(values, style) == [reference(v) for v in values]
    assert format_station([math.inf, math.nan], style) == ["inf", "nan"]


def test_chunks_do_not_change_the_rows():
    # Rows merge the step grid with named stations block by block; a key
    # point just past a block's last grid station must land in the next one.
    a = Alignment.from_icd(RAILWAY)
    plan = make_plan(a, step=7.0, offsets=(-1.0, 2.0), at=(12003.0, 12013.999999))

    def rows(size):
        out = []
        for c in iter_chunks(a, plan, size):
            out += list(zip(c.station.tolist(), c.names, c.xy.reshape(len(c.names), -1).tolist()))
        return out

    small = rows(3)
    assert small == rows(CHUNK)
    assert all(b[0] > a_[0] for a_, b in zip(small, small[1:]))


@pytest.mark.parametrize("path, ahead", [(OWN_EQUATION, 1000.0), (EQUATION, 5350.0)],
                         ids=["own", "stn02"])
@pytest.mark.parametrize("command", ["stakeout", "sample"])
def test_grid_follows_display_stations_across_an_equation(capsys, path, ahead, command):
    rc, out, err = cli(capsys, command, landxml(path), "--step", 50, "--format", "csv")
    assert (rc, err) == (0, "")
    rows = csv_rows(out)
    a = Alignment.read(path)
    display = a.stations.to_display(np.array([float(r["station"]) for r in rows]))
    grid = [d for d, r in zip(display, rows) if not r.get("key") and r.get("boundary") != "1"]
    assert grid and all(d == 50 * round(d / 50) for d in grid)
    assert [r["chainage"] for r in rows] == a.stations.format([float(r["station"]) for r in rows])
    if command == "stakeout":
        assert [d for d, r in zip(display, rows) if r["key"] == "EQ"] == [ahead]


def test_offsets_starting_negative_are_a_value_not_an_option(capsys):
    # "--offsets -3.5" was taken by argparse for an unknown option.
    rc, out, err = cli(capsys, "stakeout", RAILWAY, "--to", 12000, "--offsets", "-3.5")
    assert rc == 0 and "-3.500" in out


@pytest.mark.parametrize("args", [
    ["--offsets", "1,x"], ["--offsets", "1,1"], ["--at", "K99+000"], ["--from", "K13", ],
    ["--from", "13000", "--to", "12500"], ["--plane"], ["--format", "csv", "--crs", "EPSG:4547"],
    ["--format", "geojson", "--crs", "EPSG:4547", "--plane", "--chord-error", "0"]])
def test_bad_stakeout_arguments_are_one_line(capsys, args):
    rc, out, err = cli(capsys, "stakeout", RAILWAY, *args)
    assert (rc, out, err.count("\n")) == (2, "", 1) and err.startswith("curvix stakeout")


@pytest.mark.parametrize("fmt, module, extra", [("dxf", "ezdxf", "dxf"),
                                                ("geojson", "pyproj", "gis")])
def test_missing_extra_is_named_in_one_line(capsys, monkeypatch, fmt, module, extra):
    monkeypatch.setitem(sys.modules, module, None)
    crs = ["--crs", "EPSG:4547"] if fmt == "geojson" else []
    rc, out, err = cli(capsys, "stakeout", RAILWAY, "--format", fmt, *crs)
    assert (rc, out) == (2, "") and err.count("\n") == 1
    assert 'pip install "curvix[%s]"' % extra in err


# ------------------------------------------------------------------ DXF, GeoJSON

def test_dxf_holds_what_the_table_says(tmp_path, capsys):
    ezdxf = pytest.importorskip("ezdxf")
    args = ["stakeout", RAILWAY, "--step", 200, "--offsets", "-3.5,0,3.5", "--chord-error", 0.001]
    rows = csv_rows(cli(capsys, *args, "--format", "csv")[1])
    assert cli(capsys, *args, "--format", "dxf", "-o", tmp_path / "s.dxf")[0] == 0
    doc = ezdxf.readfile(str(tmp_path / "s.dxf"))
    assert not doc.audit().has_errors  # streamed stakes: handles unique, below the seed
    msp = doc.modelspace()
    a = Alignment.from_icd(RAILWAY)
    drawn = msp.query('*[layer=="ALIGNMENT"]')
    kinds = {"line": "LINE", "arc": "ARC", "clothoid": "LWPOLYLINE"}
    assert [e.dxftype() for e in drawn] == [kinds[e.kind] for e in a.elements]
    for entity, e in zip(drawn, a.elements):
        if entity.dxftype() == "LWPOLYLINE":
            v = np.array([p[:2] for p in entity.get_points()])
            assert chord_deviation(a, v, e) <= 0.001
            ends = v[[0, -1]]
        elif entity.dxftype() == "ARC":
            ends = np.array([xy2(entity.start_point), xy2(entity.end_point)])
            ends = ends if e.turn < 0 else ends[::-1]
        else:
            ends = np.array([xy2(entity.dxf.start), xy2(entity.dxf.end)])
        assert ends == pytest.approx(np.array([e.start, e.end]), abs=1e-6)
    for layer, keyed in (("STAKES", False), ("KEYPOINTS", True)):
        points = [xy2(p.dxf.location) for p in msp.query('POINT[layer=="%s"]' % layer)]
        want = [(float(r["x"]), float(r["y"])) for r in rows if bool(r["key"]) == keyed]
        assert np.array(points) == pytest.approx(np.array(want), abs=1e-6)
    labels = [t.dxf.text for t in msp.query('TEXT[layer=="LABELS"]')]
    assert labels == [(r["chainage"] + " " + r["key"]).strip() for r in rows[::3]]
    assert len(msp.query('LWPOLYLINE[layer=="OFFSET_L3.5"]')) == len(a.elements)


@pytest.mark.parametrize("plane", [False, True])
def test_geojson_in_wgs84_round_trips(capsys, plane):
    pyproj = pytest.importorskip("pyproj")
    args = ["stakeout", RAILWAY, "--step", 500, "--offsets", "-3.5,0", "--format", "geojson",
            "--crs", "EPSG:4547"] + (["--plane"] if plane else [])
    doc = json.loads(cli(capsys, *args)[1])
    a = Alignment.from_icd(RAILWAY)
    if plane:
        assert doc["crs"]["properties"]["name"] == "urn:ogc:def:crs:EPSG::4547"
    else:
        assert "crs" not in doc
    back = pyproj.Transformer.from_crs("EPSG:4326", "EPSG:4547", always_xy=True)
    roles = [f["properties"]["role"] for f in doc["features"]]
    assert roles.count("alignment") == 1 and roles.count("offset") == 1
    assert roles.count("element") == len(a.elements)
    stakes = [f for f in doc["features"] if f["properties"]["role"] == "stake"]
    xy = np.array([f["geometry"]["coordinates"] for f in stakes])
    if not plane:
        xy = np.column_stack(back.transform(xy[:, 0], xy[:, 1]))
    want = a.point([f["properties"]["station"] for f in stakes],
                   [f["properties"]["offset"] for f in stakes])
    # pyproj's round trip through longitude and latitude keeps well under a micrometre.
    assert xy == pytest.approx(want, abs=1e-6)


def test_sample_geojson_per_element_within_chord_error(capsys):
    doc = json.loads(cli(capsys, "sample", RAILWAY, "--format", "geojson",
                         "--chord-error", 0.01)[1])
    a = Alignment.from_icd(RAILWAY)
    elements = [f for f in doc["features"] if f["properties"]["role"] == "element"]
    for f, e in zip(elements, a.elements):
        v = np.array(f["geometry"]["coordinates"])
        assert (f["properties"]["kind"], f["properties"]["start_station"]) == (e.kind, e.start_station)
        assert chord_deviation(a, v, e) <= 0.01 and (e.kind == "line") == (len(v) == 2)


@pytest.mark.parametrize("path, tick", [(APLITOP, 5.0), (OWN_EQUATION, 5.0)],
                         ids=["aplitop", "own"])
def test_plot_labels_never_overlap_in_the_saved_image(tmp_path, monkeypatch, path, tick):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    from curvixkit.plot import plot_plan

    saved = []
    original = Figure.savefig

    def savefig(fig, *args, **kwargs):  # measure the labels as drawn into the file
        original(fig, *args, **kwargs)
        renderer = fig.canvas.get_renderer()
        saved.extend(t.get_window_extent(renderer).extents for t in fig.axes[0].texts)

    monkeypatch.setattr(Figure, "savefig", savefig)
    a = Alignment.read(landxml(path))
    labels = plot_plan(a, str(tmp_path / "plan.png"), tick=tick, dpi=100)
    boxes = np.array(saved)
    assert len(boxes) == len(labels)
    x0, y0, x1, y1 = (boxes[:, i][:, None] for i in range(4))
    overlap = (x0 < x1.T) & (x0.T < x1) & (y0 < y1.T) & (y0.T < y1)
    np.fill_diagonal(overlap, False)
    assert not overlap.any()
    keys = [label for label in labels if label.kind == "key"]
    assert len(keys) == len({k.station for k in key_points(a) if k.group})
    ticks = [label for label in labels if label.kind == "tick"]
    # Ticks at round display chainage, after a station equation too.
    assert ticks and all(parse_station(t.text) % tick == 0 for t in ticks)
    assert [label.kind for label in labels].count("equation") == len(a.stations.equations)
