import math
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import curvix

PI = math.pi
NAN = float("nan")

# A tangent, a right-hand arc, a tangent, a left-hand arc, a tangent and a
# spiral-arc-spiral group. The point lies 18.64 m left of station 119.37 on
# the first tangent, near the joint with the arc.
JUNCTION = "0\n0,0,0\n1,130\n2,800,300,1\n1,240\n2,900,260,-1\n1,110\n3,300,900,1\n2,900,150,1\n4,300,900,1\n1,200\n"


def test_nearest_station_on_a_straight(query_example):
    # The halving search settles slightly above the foot at 150, where both
    # bracket ends compare equal in double precision.
    for x in (20.0, 0.0):
        s = query_example.get_station_by_point(x, 70.0, 10, 1e-9)
        assert 150.0 <= s < 150.0 + 1e-6
    assert query_example.get_station_by_point(20.0, 70.0, 10, 1e-9) == \
        query_example.get_station_by_point(0.0, 70.0, 10, 1e-9)


@pytest.mark.parametrize(
    "point, station, below, above",
    [((260.0, 220.0), "end", 1e-9, 0.0), ((10.0, 0.0), 100.0, 0.0, 1e-9),
     ((110.0 - 150.0 * math.sqrt(0.5), 120 + 150 * math.sqrt(0.5)), 200 + 25 * PI, 1e-6, 1e-6)],
    ids=["beyond-end", "before-start", "on-arc"],
)
def test_nearest_station_at_the_ends_and_on_the_arc(query_example, point, station, below, above):
    target = query_example.end_pk if station == "end" else station
    s = query_example.get_station_by_point(point[0], point[1], 10, 1e-9)
    assert target - below <= s <= target + above


def test_nearest_station_across_an_element_joint(write_icd):
    p = curvix.PQX(write_icd(JUNCTION))
    assert p.get_station_by_point(-18.64, 119.37, 10, 1e-9) == pytest.approx(119.37, abs=1e-6)


def test_one_interval_searches_the_whole_range(query_example):
    assert query_example.get_station_by_point(20.0, 70.0, 1, 1e-9) == pytest.approx(150.0, abs=1e-6)


@pytest.mark.parametrize("n", [17, 24, 32, 100, 1000])
def test_equal_distances_keep_the_lowest_interval(write_icd, n):
    # From 1e20 m away every alignment point is at the same double distance;
    # each interval's search climbs to its upper end and the first interval
    # must win, for any n (a non-stable sort would not keep it).
    p = curvix.PQX(write_icd(JUNCTION))
    step = (p.end_pk - p.start_pk) / n
    assert p.get_station_by_point(1e20, 0.0, n, 1e-9) == pytest.approx(step, abs=1e-8)


def test_nan_distances_rank_last(query_example):
    step = (query_example.end_pk - query_example.start_pk) / 10
    s = query_example.get_station_by_point(NAN, 70.0, 10, 1e-9)
    assert s == pytest.approx(100.0 + step, abs=1e-8)


@pytest.mark.parametrize("n", [0, -1, 1000001])
def test_interval_count_out_of_range(query_example, n):
    with pytest.raises(ValueError):
        query_example.get_station_by_point(20.0, 70.0, n, 1e-9)


def test_interval_count_must_be_an_int(query_example):
    with pytest.raises(TypeError):
        query_example.get_station_by_point(20.0, 70.0, 10.0, 1e-9)


def test_line_crossing(query_example):
    assert query_example.get_station_by_point2(0, 70, 20, 70, 1e-9) == pytest.approx(150.0, abs=5e-10)
    # The same line, given from the other side.
    assert query_example.get_station_by_point2(20, 70, 0, 70, 1e-9) == pytest.approx(150.0, abs=5e-10)


def test_line_crossing_on_an_arc(query_example):
    # The radius through the arc's midpoint crosses it at 200 + 25*pi.
    s = query_example.get_station_by_point2(110, 120, 10, 220, 1e-9)
    assert s == pytest.approx(200 + 25 * PI, abs=1e-8)


def test_line_that_does_not_cross_is_refused(query_example):
    with pytest.raises(ValueError):
        query_example.get_station_by_point2(500, 0, 500, 10, 1e-9)


@pytest.mark.parametrize("eps", [1e6, NAN])
def test_line_crossing_without_a_step_answers_the_middle(query_example, eps):
    p = query_example
    assert p.get_station_by_point2(0, 70, 20, 70, eps) == (p.start_pk + p.end_pk) * 0.5


@pytest.mark.parametrize(
    "point, side",
    [((20.0, 70.0), 1), ((0.0, 70.0), -1), ((110.0, 120.0), 1), ((60.0, 170.0), 1), ((10.0, 300.0), -1),
     ((300.0, 230.0), -1), ((10.0, 20.0), 0)],
    ids=["right", "left", "arc-centre", "inside-the-bend", "outside-the-bend", "beyond-end-left", "on-start"],
)
def test_side(query_example, point, side):
    assert query_example.get_side(*point) == side


def test_binary_test_returns_none(query_example):
    assert query_example.__binary_test__(100.0, 200.0, curvix.Vector(20, 70), 1e-9, 1.5) is None
    with pytest.raises(TypeError):
        query_example.__binary_test__(100.0, 200.0, (20, 70), 1e-9, 0.0)


# Degenerate inputs that could keep a search loop going for ever. Each runs in
# a child process with a time limit, so a hang fails the test instead of CI.
BOUNDED = [
    "p.get_station_by_point(20, 70, 10, 0.0)",
    "p.get_station_by_point(20, 70, 10, -1.0)",
    "p.get_station_by_point(20, 70, 10, float('nan'))",
    "p.get_station_by_point(20, 70, 3000, 0.0)",
    "p.get_station_by_point(float('inf'), 70, 10, 0.0)",
    "p.get_station_by_point2(0, 70, 20, 70, 0.0)",
    "p.get_station_by_point2(0, 70, 20, 70, -1.0)",
    "p.__binary_test__(100.0, 200.0, curvix.Vector(20, 70), -1.0, 0.0)",
    "p.get_side(20, 70)",
    "(setattr(p, 'start_pk', -float('inf')), p.get_station_by_point(20, 70, 10, 1e-9))",
    "(setattr(p, 'end_pk', float('inf')), p.get_station_by_point2(0, 70, 20, 70, 1e-9))",
    "(setattr(p, 'start_pk', 1e7), setattr(p, 'end_pk', 1e7 + 257.08), p.get_side(20, 70))",
    "(setattr(p, 'start_pk', float('nan')), p.get_station_by_point(20, 70, 10, 1e-9))",
    "(setattr(p, 'start_pk', 500.0), p.get_station_by_point(20, 70, 10, 1e-9))",
]


@pytest.mark.parametrize("call", BOUNDED)
def test_degenerate_searches_end(tmp_path, call):
    icd = tmp_path / "a.icd"
    icd.write_text("100\n20,10,0\n1,100\n2,100,%r,1\n1,100\n" % (50 * PI))
    code = textwrap.dedent(
        """
        import curvix
        p = curvix.PQX(%r)
        try:
            %s
        except ValueError:
            pass
        print("done")
        """
    ) % (str(icd), call)
    out = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=30)
    assert out.returncode == 0, out.stderr.decode()
    assert out.stdout.strip() == b"done"


@pytest.fixture(scope="module")
def railway(railway_path):
    return curvix.PQX(railway_path)


@settings(max_examples=300, deadline=None)
@given(t=st.floats(0.0005, 0.9995), h=st.floats(0.01, 20.0), right=st.booleans())
def test_offset_points_come_back_to_their_station(railway, t, h, right):
    # A point offset along the normal from the alignment point at s must come
    # back to s (curve radii are at least 800 m, far above the offset).
    p = railway
    s = p.start_pk + t * (p.end_pk - p.start_pk)
    q = p.get_coordinate(s)
    d = p.get_dir(s, 1e-3)
    sign = 1.0 if right else -1.0
    # The right-hand normal of the direction (dx, dy) is (dy, -dx).
    x = q.X() + sign * h * d.Y()
    y = q.Y() - sign * h * d.X()
    # The distance is flat at its minimum, d(s') ~ h + (s' - s)**2 / (2h), so
    # rounding of about 1e-11 in distances computed from coordinates near 3e4
    # leaves the found station up to sqrt(2h * 1e-11) away (worst seen in
    # 20,000 draws: 2.7e-6 * sqrt(h)).
    tolerance = 1e-5 * max(1.0, math.sqrt(h))
    assert p.get_station_by_point(x, y, 10, 1e-9) == pytest.approx(s, abs=tolerance)
    assert p.get_side(x, y) == (1 if right else -1)
