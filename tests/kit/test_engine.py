"""curvixkit.Alignment: exactness against mpmath and closed forms, agreement with
the legacy PQX, and the properties of the queries both ways."""

import copy
import math
import pickle
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import curvix
import curvixkit
from curvixkit import Alignment, ElementError, IcdError
from curvixkit.results import TRANSITIONS

from conftest import EXAMPLES, cubic_local, shape_local
SAMPLES = sorted(EXAMPLES.glob("*.icd"))
RAILWAY = EXAMPLES / "railway_10km.icd"


def reference_point(x0, y0, a0, k0, k1, length, t, dps=40):
    """The point at distance t along a clothoid, integrated by mpmath at dps digits."""
    mp = pytest.importorskip("mpmath").mp
    with mp.workdps(dps):
        c = (mp.mpf(k1) - mp.mpf(k0)) / mp.mpf(length)

        def az(u):
            return mp.mpf(a0) + mp.mpf(k0) * u + c * u * u / 2

        nodes = mp.linspace(0, mp.mpf(t), 33)
        x = mp.mpf(x0) + mp.quad(lambda u: mp.sin(az(u)), nodes)
        y = mp.mpf(y0) + mp.quad(lambda u: mp.cos(az(u)), nodes)
        return float(x), float(y)


# (x0, y0, a0, k0, k1, length): clothoids up to a turn of 2*pi and 10 km, an arc
# and a line far from the origin.
EXACT_CASES = [
    (0.0, 0.0, 0.0, 0.0, 1 / 400.0, 150.0),
    (5e5, 3e6, 1.2, 1 / 900.0, -1 / 1500.0, 800.0),
    (-2e4, 7e4, -0.4, 0.0, -2 * 2 * math.pi / 10000.0, 10000.0),  # turns by 2*pi over 10 km
    (1e3, 2e3, 2.0, -1 / 60.0, 1 / 22.0, 90.0),                     # tight, through zero curvature
    (1e7, -1e7, 0.7, 1 / 350.0, 1 / 350.0, 2000.0),                 # an arc at 1e7
    (1e7, 1e7, 4.0, 0.0, 0.0, 9000.0),                               # a line at 1e7
]


@pytest.mark.parametrize("case", EXACT_CASES)
def test_points_match_a_40_digit_reference(case):
    x0, y0, a0, k0, k1, length = case
    a = Alignment.from_elements(0.0, x0, y0, a0, [
        {"kind": "clothoid", "length": length, "start_curvature": k0, "end_curvature": k1}])
    for t in np.linspace(0.0, length, 7):
        got = a.point(t)
        want = reference_point(x0, y0, a0, k0, k1, length, t)
        # 1e-9 m plus the rounding of the coordinates themselves (ulp at 1e7 is 1.9e-9)
        tol = 1e-9 + 2 * np.spacing(max(abs(x0), abs(y0)))
        assert abs(got[0] - want[0]) <= tol and abs(got[1] - want[1]) <= tol, (t, got, want)


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.stem)
def test_series_mode_follows_the_legacy_loader_at_every_station(path):
    legacy = curvix.PQX(str(path))
    a = Alignment.from_icd(path, spirals="series")
    assert a.start_station == legacy.start_pk
    stations = np.linspace(legacy.start_pk, min(legacy.end_pk, a.end_station), 4001)
    got = a.point(stations)
    for s, (x, y) in zip(stations, got):
        v = legacy.get_coordinate(float(s))
        assert abs(x - v.X()) <= 1e-12 and abs(y - v.Y()) <= 1e-12, s


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.stem)
def test_exact_and_series_modes_follow_the_same_curve(path):
    exact, series = Alignment.from_icd(path), Alignment.from_icd(path, spirals="series")
    s = np.linspace(exact.start_station, exact.end_station, 2001)
    # the series of these gentle spirals is sub-millimetre; a different curve would be metres off
    assert np.max(np.abs(exact.point(s) - series.point(s))) < 1e-3
    e = exact.elements
    assert [x.kind for x in e] == [x.kind for x in series.elements]
    for before, after in zip(e, e[1:]):
        assert math.hypot(before.end[0] - after.start[0], before.end[1] - after.start[1]) <= 1e-9
        assert before.end_azimuth == pytest.approx(after.start_azimuth, abs=1e-15)


@pytest.mark.parametrize("kind", [k for k in TRANSITIONS if k != "clothoid"])
@pytest.mark.parametrize("k0, k1, length", [(0.0, 1 / 350.0, 250.0),
                                             (1 / 900.0, -2 * 2 * math.pi / 1000.0, 1000.0)])
def test_transition_shapes_match_a_40_digit_reference(kind, k0, k1, length):
    # the second turns by about 2 pi over 1 km, through zero curvature; a
    # straight follows, which must start where the transition ends
    lean = 0.08 if kind == "viennese" else 0.0
    a = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [
        {"kind": kind, "length": length, "start_curvature": k0, "end_curvature": k1,
         "lean": lean or None}, {"kind": "line", "length": 10.0}])
    for t in (0.3 * length, 0.5 * length, length):
        # heading north, bending right: along is y, aside x
        y, x, az = (cubic_local(k0, k1, length, t) if kind == "cubic" else
                    shape_local(kind, k0, k1, length, lean, t))
        for got in (a.point(t), a.point(np.nextafter(t, 0.0))):  # either side of the joint
            assert math.hypot(got[0] - x, got[1] - y) <= 1e-9, (t, got, (x, y))
        assert abs(a.azimuth(t) - az) <= 1e-12
    assert math.hypot(*(a.point(length + 10.0) - a.elements[1].end)) <= 1e-9


def railway():
    return Alignment.from_icd(RAILWAY)


@settings(deadline=None, max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(t=st.floats(0.0, 1.0), offset=st.floats(-60.0, 60.0))
def test_locate_returns_the_station_and_offset_of_offset_points(t, offset):
    a = RAILWAY_ALIGNMENT
    s = a.start_station + t * a.length
    p = a.point(s, offset)
    found = a.locate(p)
    if a.start_station < s < a.end_station:
        assert found.station == pytest.approx(s, abs=1e-6)
        assert found.offset == pytest.approx(offset, abs=1e-6)
    assert found.distance == pytest.approx(abs(found.offset), abs=0.0)
    # a true foot point: the offset vector is normal to the tangent there
    foot = a.point(found.station)
    az = a.azimuth(found.station)
    along = (p[0] - foot[0]) * math.sin(az) + (p[1] - foot[1]) * math.cos(az)
    at_end = found.station in (a.start_station, a.end_station)
    assert at_end or abs(along) <= 1e-9 * max(1.0, abs(foot).max())


RAILWAY_ALIGNMENT = railway()


def random_alignment(draw_values):
    """An alignment with a U-turn and a loop-back from drawn lengths and curvatures."""
    descs = []
    for kind, length, k in draw_values:
        if kind == "line":
            descs.append({"kind": "line", "length": length})
        elif kind == "arc":
            descs.append({"kind": "arc", "length": length, "curvature": k})
        else:  # every transition shape, a Viennese bend leaning
            descs.append({"kind": kind, "length": length, "start_curvature": k,
                          "end_curvature": -k / 2, "lean": 0.05 if kind == "viennese" else None})
    return Alignment.from_elements(0.0, 0.0, 0.0, 0.3, descs)


element_values = st.lists(st.tuples(st.sampled_from(["line", "arc"] + list(TRANSITIONS)),
                                    st.floats(1.0, 400.0),
                                    st.sampled_from([-1 / 30, -1 / 200, 1 / 45, 1 / 900])),
                          min_size=1, max_size=6)


@settings(deadline=None, max_examples=60)
@given(values=element_values, qx=st.floats(-300, 300), qy=st.floats(-300, 300))
def test_nearest_agrees_with_a_dense_scan(values, qx, qy):
    a = random_alignment(values)
    s = np.linspace(a.start_station, a.end_station, 200001)
    d = np.hypot(*(a.point(s) - (qx, qy)).T)
    found = a.locate((qx, qy))
    spacing = s[1] - s[0]
    assert found.distance <= d.min() + 1e-9
    assert found.distance >= d.min() - spacing  # the scan is within half a spacing of the truth
    everything = a.locate([(qx, qy)], all=True)
    assert everything.distance[0] == pytest.approx(found.distance, abs=1e-9)
    assert list(everything.distance) == sorted(everything.distance)


@settings(deadline=None, max_examples=60)
@given(values=element_values, p=st.tuples(*[st.floats(-400, 400)] * 4))
def test_crossings_agree_with_a_dense_sign_scan(values, p):
    a = random_alignment(values)
    (x1, y1, x2, y2) = p
    if math.hypot(x2 - x1, y2 - y1) < 1.0:
        return
    found = a.crossings([(x1, y1), (x2, y2)], infinite=True)
    s = np.linspace(a.start_station, a.end_station, 100001)
    xy = a.point(s)
    side = np.sign((x2 - x1) * (xy[:, 1] - y1) - (y2 - y1) * (xy[:, 0] - x1))
    changes = s[1:][side[1:] * side[:-1] < 0]
    # every sign change of the scan is a crossing found (the scan cannot see tangencies)
    for c in changes:
        assert len(found.station) and np.min(np.abs(found.station - c)) <= s[1] - s[0], c
    for cs, cx, cy in zip(found.station, found.x, found.y):
        px, py = a.point(cs)
        assert math.hypot(px - cx, py - cy) <= 1e-9 * max(1.0, abs(cx), abs(cy))
        dist = abs((x2 - x1) * (cy - y1) - (y2 - y1) * (cx - x1)) / math.hypot(x2 - x1, y2 - y1)
        assert dist <= 1e-6
    assert list(found.station) == sorted(found.station)


def test_batch_equals_scalar_and_shapes_follow_the_input():
    a = RAILWAY_ALIGNMENT
    s = np.linspace(a.start_station - 10, a.end_station + 10, 37).reshape(37, 1)
    o = np.array([-3.5, 0.0, 3.5])
    grid = a.point(s, o)
    assert grid.shape == (37, 3, 2)
    for i in (0, 5, 36):
        for j in range(3):
            assert np.array_equal(grid[i, j], a.point(float(s[i, 0]), float(o[j])), equal_nan=True)
    assert np.isnan(grid[0]).all() and np.isnan(grid[-1]).all()
    assert not np.isnan(a.point(s[0, 0], extend=True)).any()
    assert isinstance(a.azimuth(12345.0), float) and a.element_index(a.start_station) == 0
    # a large batch on a long alignment is answered in a spatial order: the
    # same answers, row for row
    big = Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [
        {"kind": "arc", "length": 80.0, "curvature": (-1) ** k / 500.0} for k in range(9000)])
    rng = np.random.default_rng(5)
    pts = big.point(rng.uniform(0.0, big.end_station, 5000), rng.uniform(-80, 80, 5000))
    pts[7] = np.nan
    batch = big.locate(pts)
    one = [big.locate(p) for p in pts]  # every row: the answers are gathered and scattered back
    assert np.array_equal(batch.station, [f.station for f in one], equal_nan=True)
    assert np.array_equal(batch.offset, [f.offset for f in one], equal_nan=True)


@pytest.mark.parametrize("desc, field, element", [
    ({"kind": "line", "length": -1.0}, "length", 2),
    ({"kind": "line", "length": float("nan")}, "length", 2),
    ({"kind": "arc", "length": 10.0, "radius": 0.0, "turn": 1}, "radius", 2),
    ({"kind": "arc", "length": 10.0, "radius": 50.0, "turn": 2}, "turn", 2),
    ({"kind": "line", "length": 10.0, "start": (float("inf"), 0.0)}, "x", 2),
    ({"kind": "spline", "length": 10.0}, "kind", 2),
])
def test_bad_elements_name_the_element_and_field(desc, field, element):
    with pytest.raises(ElementError) as info:
        Alignment.from_elements(0.0, 0.0, 0.0, 0.0, [{"kind": "line", "length": 5.0}, desc])
    assert isinstance(info.value, ValueError)
    assert (info.value.element, info.value.field) == (element, field)
    assert "element %d" % element in str(info.value)


def test_strict_icd_errors_name_line_and_field(tmp_path):
    path = tmp_path / "typo.icd"
    path.write_text("0\n100,200,0.5\n1,50\n2,500,3OO,1\n")
    with pytest.raises(IcdError) as info:
        Alignment.from_icd(path)
    assert (info.value.line, info.value.field) == (4, 3)
    assert "'3OO' is not a number" in str(info.value) and str(path) in str(info.value)
    # the legacy reading of the same file: an arc of length 3, as curvix.PQX reads it
    assert Alignment.from_icd(path, strict=False).elements[-1].length == 3.0


def shaped_alignment():
    return Alignment.from_elements(0.0, 0.0, 0.0, 0.3, [
        {"kind": k, "length": 60.0, "start_curvature": 0.0, "end_curvature": 1 / 200.0,
         "lean": 0.05 if k == "viennese" else None} for k in TRANSITIONS])


def test_pickle_deepcopy_and_repr_keep_the_alignment(tmp_path):
    shaped = shaped_alignment()
    with pytest.raises(ElementError, match="element 2: an ICD file holds clothoids only"):
        shaped.to_icd(tmp_path / "shaped.icd")
    for a in (RAILWAY_ALIGNMENT, Alignment.from_icd(RAILWAY, spirals="series"), shaped):
        s = np.linspace(a.start_station, a.end_station, 101)
        for b in (pickle.loads(pickle.dumps(a)), copy.deepcopy(a)):
            assert np.array_equal(a.point(s), b.point(s)) and b.elements == a.elements
    assert repr(RAILWAY_ALIGNMENT) == "<curvixkit.Alignment stations 12000.0 to %r, 21 elements>" % (
        RAILWAY_ALIGNMENT.end_station)
    assert curvixkit.__version__.count(".") == 2


def test_carriageway_example_stakes_lie_3_5_m_right(capsys):
    import runpy
    rows, found = runpy.run_path(str(EXAMPLES / "carriageway_edge.py"))["main"]([])
    stakes = np.array([(x, y) for _, x, y, _ in rows])
    back = RAILWAY_ALIGNMENT.locate(stakes)
    assert np.allclose(back.offset, 3.5, atol=1e-9)
    assert np.allclose(back.station, [r[0] for r in rows], atol=1e-9)
    assert len(found.station) == 5 and np.all(found.distance < 30) and "P5" in capsys.readouterr().out


@pytest.mark.parametrize("kind", TRANSITIONS)
def test_key_points_stakes_and_locate_follow_every_transition(kind):
    from curvixkit import design, setting_out
    spiral = {"kind": kind, "length": 90.0, "lean": 0.05 if kind == "viennese" else None}
    a = Alignment.from_elements(100.0, 0.0, 0.0, 0.2, [
        {"kind": "line", "length": 40.0}, dict(spiral, start_curvature=0.0, end_curvature=1 / 300.0),
        {"kind": "arc", "length": 70.0, "curvature": 1 / 300.0},
        dict(spiral, start_curvature=1 / 300.0, end_curvature=0.0), {"kind": "line", "length": 40.0}])
    joints = [e.start_station for e in a.elements[1:]]
    named = {k.name: k.station for k in design.key_points(a)}
    assert [named[n] for n in ("TS", "SC", "CS", "ST")] == joints
    plan = setting_out.make_plan(a, step=10.0, offsets=(-3.5, 0.0, 3.5))
    for chunk in setting_out.iter_chunks(a, plan):
        for j, offset in enumerate(plan.offsets):
            found = a.locate(chunk.xy[:, j])
            assert np.allclose(found.station, chunk.station, rtol=0, atol=1e-9)
            assert np.allclose(found.offset, offset, rtol=0, atol=1e-9)
