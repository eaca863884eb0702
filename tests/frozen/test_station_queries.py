import math

import pytest

import curvix
from conftest import QUERY_EXAMPLE

PI = math.pi
NAN = float("nan")


def xyz(v):
    return (v.X(), v.Y(), v.Z())


def close(v, expected, tol=1e-9):
    return all(abs(a - b) <= tol for a, b in zip(xyz(v), expected))


@pytest.mark.parametrize(
    "station, expected",
    [
        (50, (10, 20, 0)),
        (100, (10, 20, 0)),
        (150, (10, 70, 0)),
        (200, (10, 120, 0)),
        (200 + 25 * PI, (110 - 50 * math.sqrt(2), 120 + 50 * math.sqrt(2), 0)),
        (200 + 50 * PI, (110, 220, 0)),
        (300 + 50 * PI, (210, 220, 0)),
        (301 + 50 * PI, (0, 0, 0)),
    ],
)
def test_worked_example_coordinates(query_example, station, expected):
    assert query_example.end_pk == 300 + 50 * PI
    # Points on the arc carry the rounding of sin and cos of the turn.
    assert close(query_example.get_coordinate(station), expected, tol=1e-9)


def test_interior_boundary_is_the_next_element_at_offset_zero(query_example):
    # The arc starts exactly where the straight ends, with no rounding.
    assert xyz(query_example.get_coordinate(200)) == (10.0, 120.0, 0.0)


@pytest.mark.parametrize("below", [99.999999, 0.0, -1e300, -math.inf])
def test_below_start_is_exactly_the_start(query_example, below):
    assert xyz(query_example.get_coordinate(below)) == xyz(query_example.get_coordinate(100.0))


@pytest.mark.parametrize("above", ["next", 1e300, math.inf, NAN])
def test_above_end_and_nan_give_the_zero_vector(query_example, above):
    p = query_example
    station = math.nextafter(p.end_pk, math.inf) if above == "next" and hasattr(math, "nextafter") \
        else (p.end_pk + 1e-12 if above == "next" else above)
    assert xyz(p.get_coordinate(station)) == (0.0, 0.0, 0.0)


def test_end_station_uses_the_last_elements_start_as_base(write_icd):
    # end_pk written to an interior station: the base for end_pk itself is
    # still the start of the last element, so the answer runs the first
    # straight backwards by 357.08 - 150 m.
    p = curvix.PQX(write_icd(QUERY_EXAMPLE))
    p.end_pk = 150.0
    v = p.get_coordinate(150.0)
    assert v.X() == 10.0
    assert v.Y() == pytest.approx(20 + (150 - (200 + 50 * PI)), abs=1e-9)
    assert xyz(p.get_coordinate(149.0)) == (10.0, 69.0, 0.0)
    assert xyz(p.get_coordinate(151.0)) == (0.0, 0.0, 0.0)


def test_moving_both_station_fields_moves_the_stations_not_the_points(query_example):
    p = query_example
    before = [xyz(p.get_coordinate(s)) for s in (120.0, 230.0, 330.0)]
    p.start_pk += 100
    p.end_pk += 100
    after = [xyz(p.get_coordinate(s + 100)) for s in (120.0, 230.0, 330.0)]
    for b, a in zip(before, after):
        assert all(abs(x - y) < 1e-9 for x, y in zip(b, a))


def test_start_above_end_gives_zero_everywhere(query_example):
    query_example.start_pk = 1000.0
    for s in (0.0, 150.0, 1000.0, 2000.0):
        assert xyz(query_example.get_coordinate(s)) == (0.0, 0.0, 0.0)


def test_start_point_and_angle_take_no_part_in_queries(query_example):
    before = xyz(query_example.get_coordinate(250.0))
    query_example.start_point = curvix.Vector(1e6, 1e6)
    query_example.start_angle = curvix.Angle(2.0)
    assert xyz(query_example.get_coordinate(250.0)) == before


def test_negative_length_keeps_the_scan_order(write_icd):
    # Stations 0, 100, 50, 150: not monotone. The first boundary above the
    # station picks the element, as a scan from the start finds it.
    p = curvix.PQX(write_icd("0\n0,0,0\n1,100\n1,-50\n1,100\n"))
    assert p.end_pk == 150.0
    assert xyz(p.get_coordinate(75.0)) == (0.0, 75.0, 0.0)   # element 1, offset 75
    assert xyz(p.get_coordinate(120.0)) == (0.0, 120.0, 0.0)  # element 3, offset 70 from 50
    assert xyz(p.get_coordinate(40.0)) == (0.0, 40.0, 0.0)


def test_zero_length_element_is_skipped_unless_last(write_icd):
    p = curvix.PQX(write_icd("0\n0,0,0\n1,10\n2,100,0,1\n1,10\n2,50,0,1\n"))
    assert p.end_pk == 20.0
    assert xyz(p.get_coordinate(10.0)) == (0.0, 10.0, 0.0)
    # end_pk is evaluated on the last (zero-length) arc from its own start.
    assert xyz(p.get_coordinate(20.0)) == (0.0, 20.0, 0.0)


@pytest.mark.parametrize("station", [0.0, -5.0])
def test_empty_alignment_has_no_element_to_ask(station):
    p = curvix.PQX()
    with pytest.raises(ValueError) as excinfo:
        p.get_coordinate(station)
    assert str(excinfo.value) == "the alignment has no elements"
    assert xyz(p.get_coordinate(1.0)) == (0.0, 0.0, 0.0)


@pytest.mark.parametrize(
    "station, d, expected",
    [(100, 1, (0, 1, 0)), (150, 1, (0, 1, 0)), ("end", 1, (1, 0, 0)), (150, -1, (0, -1, 0)),
     (250 + 50 * PI, 2, (1, 0, 0))],
)
def test_direction(query_example, station, d, expected):
    s = query_example.end_pk if station == "end" else station
    v = query_example.get_dir(s, d)
    assert close(v, expected, tol=1e-12)
    assert v.Z() == 0.0


def test_direction_at_start_is_the_chord_from_the_start_point(query_example):
    v = query_example.get_dir(100.0, 150.0)
    a, b = query_example.get_coordinate(100.0), query_example.get_coordinate(250.0)
    length = math.hypot(b.X() - a.X(), b.Y() - a.Y())
    assert xyz(v) == ((b.X() - a.X()) / length, (b.Y() - a.Y()) / length, 0.0)


@pytest.mark.parametrize("offset", [0.5, 1e-3, 1e-9])
def test_direction_near_the_end_stays_on_the_alignment(query_example, offset):
    # The forward chord end would lie beyond end_pk (where the zero vector
    # answers); it is taken at end_pk, so the last straight's direction holds.
    v = query_example.get_dir(query_example.end_pk - offset, 1.0)
    assert close(v, (1.0, 0.0, 0.0), tol=1e-9)


def test_zero_chord_gives_nan_components(query_example):
    v = query_example.get_dir(150.0, 0.0)
    assert math.isnan(v.X()) and math.isnan(v.Y()) and v.Z() == 0.0


def test_direction_on_a_straight_is_its_azimuth(write_icd):
    p = curvix.PQX(write_icd("0\n0,0,0.3\n1,1000\n"))
    v = p.get_dir(500.0, 0.01)
    a = p.start_angle.GetRadian()
    assert v.X() == pytest.approx(math.sin(a), abs=1e-12)
    assert v.Y() == pytest.approx(math.cos(a), abs=1e-12)


def test_continuity_at_element_joints(railway_path):
    p = curvix.PQX(railway_path)
    text = [l for l in p.Text.split("\n")[2:] if l and not l.startswith("//")]
    station = p.start_pk
    for line in text:
        fields = line.split(",")
        if len(fields) == 3 and fields[2] == "0":
            break
        a = p.get_coordinate(station - 1e-7)
        b = p.get_coordinate(station)
        assert math.hypot(a.X() - b.X(), a.Y() - b.Y()) < 1e-6
        if fields[0] == "1":
            station += float(fields[1])
        elif fields[0] == "2":
            station += float(fields[2])
        else:
            A, r1 = float(fields[1]), float(fields[2])
            r2 = float(fields[3]) if fields[0] in "56" else None
            if fields[0] == "3":
                r1, r2 = 1e39, r1
            elif fields[0] == "4":
                r2 = 1e39
            station += abs(A * A / r1 - A * A / r2)
