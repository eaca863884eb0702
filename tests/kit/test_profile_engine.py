"""The engine's vertical dimension (curvixkit._core.Profile, Cant, Frame):
segments against closed forms and 40-digit mpmath, random PVI profiles, the
real LandXML profiles, the binding's round trips and every refusal."""
import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from curvixkit import Alignment, _core
from curvixkit.errors import ProfileError

mp = pytest.importorskip("mpmath")
mp.mp.dps = 40
from conftest import SHARED as _SHARED
SHARED = _SHARED / "landxml"


def query(obj, name, stations, extend=False):
    s = np.ascontiguousarray(stations, dtype=float)
    out = np.empty_like(s)
    getattr(obj, name)(s, extend, out)
    return out


def length3d(p, a, b, extend=False):
    a, b = np.broadcast_arrays(np.atleast_1d(np.asarray(a, float)), np.asarray(b, float))
    out = np.empty(a.shape)
    p.lengths_3d(np.ascontiguousarray(a), np.ascontiguousarray(b), extend, out)
    return out


# ------------------------------------------------ segments against mpmath

def reference(kind, L, g0, g1, w):
    """(elevation, grade, 3D length from the start) at t, each curve from its
    own definition at 40 digits, and the radii a clothoid states."""
    L, g0, g1 = mp.mpf(L), mp.mpf(g0), mp.mpf(g1)
    th0, th1 = mp.atan(g0), mp.atan(g1)
    if kind == "parabola":
        def at(t):
            g = g0 + (g1 - g0) * t / L
            return (g0 * t + (g1 - g0) * t * t / (2 * L), g,
                    mp.quad(lambda u: mp.sqrt(1 + (g0 + (g1 - g0) * u / L) ** 2), [0, t]))
        return at, ()
    if kind == "arc":  # the circle through the start with both tangents
        R = L / (mp.sin(th1) - mp.sin(th0))

        def at(t):
            th = mp.asin(mp.sin(th0) + t / R)
            return R * (mp.cos(th0) - mp.cos(th)), mp.tan(th), R * (th - th0)
        return at, ()
    w = mp.mpf(w)

    def theta(v):
        return th0 + (th1 - th0) * v * (2 * w + (1 - 2 * w) * v)
    lam = L / mp.quad(lambda v: mp.cos(theta(v)), [0, 1])
    k0, k1 = 2 * (th1 - th0) * w / lam, 2 * (th1 - th0) * (1 - w) / lam

    def at(t):
        v = mp.findroot(lambda v: lam * mp.quad(lambda u: mp.cos(theta(u)), [0, v]) - t, t / L)
        return lam * mp.quad(lambda u: mp.sin(theta(u)), [0, v]), mp.tan(theta(v)), lam * v
    return at, tuple(math.inf if k == 0 else float(1 / k) for k in (k0, k1))


@pytest.mark.parametrize("kind, L, g0, g1, w", [
    ("parabola", 400.0, 0.035, -0.042, None),
    ("arc", 160.0, -0.02, 0.01, None),
    ("arc", 900.0, 0.6, -0.8, None),             # steep: the circle is not a parabola
    ("clothoid", 120.0, -0.01, 0.015, 0.0),      # from a grade line into an arc
    ("clothoid", 75.0, 0.03, -0.01, 1.0),        # from an arc out to a grade line
    ("clothoid", 300.0, 0.02, 0.06, 0.3),        # between two radii
    ("clothoid", 2000.0, 0.4, -0.5, -0.4),       # through zero curvature
])
def test_segment_against_mpmath(kind, L, g0, g1, w):
    at, radii = reference(kind, L, g0, g1, w)
    s0, z0 = 12345.678, 456.75
    p = _core.Profile.from_segments([(kind, s0, L, z0, g0, g1) + radii])
    t = np.array([0.0, 1e-3, 0.137, 0.5, 0.77, 0.999, 1.0]) * L
    s = s0 + t
    want = [at(mp.mpf(v) - mp.mpf(s0)) for v in s]  # at the stations as rounded
    assert np.abs(query(p, "elevations", s) - z0 - [float(z) for z, _, _ in want]).max() <= 1e-9
    assert np.abs(query(p, "grades", s) - [float(g) for _, g, _ in want]).max() <= 1e-12
    got = length3d(p, s0, s)
    assert np.all(np.abs(got - [float(x) for _, _, x in want]) <= 1e-9 * got + 1e-15)
    for station, _, _, high in p.turning_points():  # crests and sags inside the curve
        assert abs(float(at(mp.mpf(station) - s0)[1])) < 1e-12 and high in ("high", "low")


# --------------------------------------------------- random PVI profiles

@st.composite
def pvi_profiles(draw):
    n = draw(st.integers(3, 8))
    steps = draw(st.lists(st.floats(20.0, 900.0), min_size=n - 1, max_size=n - 1))
    grades = draw(st.lists(st.floats(-0.09, 0.09), min_size=n - 1, max_size=n - 1))
    pvis = [(draw(st.floats(-1e4, 1e5)), draw(st.floats(-50.0, 2000.0)))]
    for ds, g in zip(steps, grades):
        pvis.append((pvis[-1][0] + ds, pvis[-1][1] + g * ds))
    for i in range(1, n - 1):
        kind = draw(st.sampled_from([None, "parabola", "asymmetric_parabola", "arc"]))
        a, b = draw(st.floats(0.01, 0.49)), draw(st.floats(0.01, 0.49))
        la, lb = pvis[i][0] - pvis[i - 1][0], pvis[i + 1][0] - pvis[i][0]
        turn = abs(math.atan(grades[i]) - math.atan(grades[i - 1]))
        if kind == "parabola":
            pvis[i] += (kind, 2 * a * min(la, lb))
        elif kind == "asymmetric_parabola":
            pvis[i] += (kind, a * la, b * lb)
        elif kind == "arc" and turn > 1e-6:
            pvis[i] += (kind, a * min(la, lb) / math.tan(turn / 2), draw(st.none() | st.floats(0, 1e3)))
    return pvis


@settings(derandomize=True, deadline=None, max_examples=60)
@given(pvi_profiles())
def test_random_pvi_profiles(pvis):
    p = _core.Profile.from_pvis(pvis)
    s = np.array([v[0] for v in pvis])
    z = np.array([v[1] for v in pvis])

    def on_grade_lines(stations):  # the line through the PVIs either side
        i = np.clip(np.searchsorted(s, stations) - 1, 0, len(s) - 2)
        return z[i] + (z[i + 1] - z[i]) / (s[i + 1] - s[i]) * (stations - s[i])

    segs = p.segments()
    ends = np.array([(e[1], e[2]) for e in segs if e[9] is None] + [c[2:4] for c in p.curves()]).ravel()
    assert np.abs(query(p, "elevations", ends) - on_grade_lines(ends)).max() < 1e-9
    joints = np.array([e[1] for e in segs[1:]])
    if len(joints):
        before = np.nextafter(joints, -np.inf)
        assert np.abs(query(p, "elevations", before) - query(p, "elevations", joints)).max() < 1e-9
    a = np.linspace(p.start_station, p.end_station, 41)
    za = query(p, "elevations", a)
    pieces = length3d(p, a[:-1], a[1:])
    assert np.all(pieces >= np.hypot(np.diff(a), np.diff(za)) - 1e-12)
    whole = length3d(p, a[0], a[-1])[0]
    assert abs(whole - pieces.sum()) <= 1e-12 * whole
    assert whole <= (a[-1] - a[0]) * math.hypot(1.0, 0.09) + 1e-9
    # Rebuilt from its inputs (how the Python side pickles it): the same answers.
    q = _core.Profile.from_pvis(p.inputs()[1])
    for name in ("elevations", "grades", "vertical_curvatures", "curvatures"):
        assert np.array_equal(query(p, name, a), query(q, name, a))


# ------------------------------------------------------- real profiles

def landxml_pvis(path):
    from lxml import etree
    out = []
    for el in etree.parse(str(path)).iter("{*}PVI", "{*}ParaCurve", "{*}CircCurve"):
        s, z = map(float, el.text.split())
        tag = etree.QName(el).localname
        out.append((s, z) if tag == "PVI" else (s, z, "parabola", float(el.get("length"))) if
                   tag == "ParaCurve" else (s, z, "arc", float(el.get("radius")), float(el.get("length"))))
    return out


@pytest.mark.skipif(not SHARED.is_dir(), reason="needs ../shared/landxml")
@pytest.mark.parametrize("name, within", [("stn02-station-equation", 5e-10), ("toivola-m14334", 6e-5),
                                          ("toivola-y3", 6e-5)])
def test_real_profiles_state_the_arc_length(name, within):
    p = _core.Profile.from_pvis(landxml_pvis(SHARED / (name + ".xml")))
    for _, kind, _, _, horizontal, along, stated in p.curves():
        assert kind == "arc" and abs(stated - along) < min(within, abs(stated - horizontal))
    if name.startswith("stn02"):
        # The dataset's control figures: 3D length 1458.6178 m over the 2D length
        # 1458.5946 m; over that length the profile gives 1458.6181 m.
        assert abs(length3d(p, -153.1, -153.1 + 1458.5946)[0] - 1458.6178) < 5e-4


# ------------------------------------------------------ cant and frame

def test_frame_rebuilt_from_inputs_answers_the_same():
    a = Alignment.from_elements(100.0, 5e5, 4e6, 0.4, [
        {"kind": "line", "length": 200.0},
        {"kind": "clothoid", "length": 80.0, "start_curvature": 0.0, "end_curvature": 1 / 600},
        {"kind": "arc", "length": 300.0, "curvature": 1 / 600}])
    p = _core.Profile.from_pvis([(100.0, 50.0), (400.0, 56.0, "arc", 8000.0), (680.0, 52.0)])
    c = _core.Cant([(250.0, 0.0, "clothoid"), (330.0, 0.1), (680.0, 0.1)], 1.5, "inside_rail")
    f = _core.Frame(a._engine, p, c)
    g = _core.Frame(f.engine, _core.Profile.from_pvis(p.inputs()[1]), _core.Cant(*c.inputs()))
    s = np.linspace(90.0, 690.0, 61)
    o, h = np.full_like(s, 2.0), np.full_like(s, 0.5)
    out = [np.empty((len(s), 3)), np.empty((len(s), 3)), np.empty((len(s), 4, 3)), np.empty((len(s), 4, 3))]
    for frame, xyz, axes in ((f, out[0], out[2]), (g, out[1], out[3])):
        frame.points3d(s, o, h, True, False, xyz)
        frame.axes(s, False, axes)
    assert np.array_equal(out[0], out[1], equal_nan=True) and np.array_equal(out[2], out[3], equal_nan=True)
    inside = (s >= 250.0) & (s <= 680.0)  # where the cant is given
    assert np.isfinite(out[0][inside]).all() and np.isnan(out[0][~inside]).all()
    n = len(s)
    station, offset, distance, dz = (np.empty(n) for _ in range(4))
    element = np.empty(n, dtype=np.int64)
    f.locate3d(out[0], math.inf, True, False, station, offset, distance, element, dz)
    assert (element[~inside] == -1).all() and np.isnan(dz[~inside]).all()
    inside[s == 250.0] = False  # its foot may fall an ulp before the cant
    angle = query(c, "angles", station[inside])
    assert np.abs(station[inside] - s[inside]).max() < 1e-8
    assert np.abs(dz[inside] * np.cos(angle) - 0.5).max() < 1e-8
    level = _core.Frame(a._engine, None, None)
    level.points3d(s, o, h, True, False, out[1])
    assert np.isnan(out[1][:, 2]).all() and np.isfinite(out[1][1:-1, :2]).all()


# ------------------------------------------------------------ refusals

INF = math.inf
CANT = [(0.0, 0.0), (10.0, 0.1)]


@pytest.mark.parametrize("build, index, field", [
    (lambda: _core.Profile.from_pvis([(0, 1), (100, 2, "parabola", 250.0), (200, 1)]), 1, "length"),
    (lambda: _core.Profile.from_pvis([(0, 1), (100, 2, "spiral", 5.0), (200, 1)]), 1, "curve"),
    (lambda: _core.Profile.from_pvis([(0, 1), (0, 2)]), 1, "elevation"),
    (lambda: _core.Profile.from_pvis([(0, 1), (0, 1)]), None, "pvis"),
    (lambda: _core.Profile.from_pvis([(0, 1), (100, 2, "asymmetric_parabola", 0.0, 20.0), (200, 1)]),
     1, "length_before"),
    (lambda: _core.Profile.from_pvis([(0, 1), (100, 2, "arc", 1e3, -1.0), (200, 1)]), 1, "stated_length"),
    (lambda: _core.Profile.from_pvis([(0, 0), (1e-3, 100)]), 1, "elevation"),
    (lambda: _core.Profile.from_segments([]), None, "segments"),
    (lambda: _core.Profile.from_segments([("line", 0, 10, 0, 0, 0), ("arc", 10, INF, 0, 0, 0.1)]), 1, "length"),
    (lambda: _core.Profile.from_segments([("bend", 0, 10, 0, 0, 0)]), 0, "kind"),
    (lambda: _core.Profile.from_segments([("clothoid", 0, 99, 0, 0.01, 0.02, INF, INF)]), 0, "start_radius"),
    (lambda: _core.Profile.from_segments([("clothoid", 0, 99, 0, 0.01, 0.02, -3e3, INF)]), 0, "end_radius"),
    (lambda: _core.Profile.from_segments([("parabola", 0, 9, 0, 0, 2e3)]), 0, "end_grade"),
    (lambda: _core.Cant([(0.0, 0.2)], 0.15, "centre"), 0, "cant"),
    (lambda: _core.Cant([(0.0, 0.0), (10.0, 0.1, "zigzag")], 1.435, "centre"), 1, "transition"),
    (lambda: _core.Cant(CANT, 1.435, "middle"), None, "axis"),
    (lambda: _core.Cant([(0.0, 0.0), (0.0, 0.1)], 1.435, "centre"), 1, "station"),
    (lambda: _core.Cant([], 1.435, "centre"), None, "stations"),
    (lambda: _core.Cant(CANT, 0.0, "centre"), None, "gauge"),
])
def test_refusals_name_index_and_field(build, index, field):
    with pytest.raises(ProfileError) as info:
        build()
    e = info.value
    assert isinstance(e, ValueError) and (e.index, e.field) == (index, field)
    where = str(e).split(":")[0]
    assert where.endswith(" %d" % index) if index is not None else where in ("profile", "cant")
    assert str(e).split(": ", 1)[1].startswith(field + " ")


@pytest.mark.parametrize("build", [
    lambda: _core.Profile.from_pvis([(0, 1), (100,)]),
    lambda: _core.Profile.from_pvis([(0, 1), (100, "2")]),
    lambda: _core.Profile.from_segments([("line", 0, 10, 0, 0, 0, INF)]),
    lambda: _core.Frame(object(), None, None),
])
def test_malformed_input_is_a_type_error(build):
    with pytest.raises(TypeError):
        build()
