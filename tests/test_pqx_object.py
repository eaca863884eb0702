"""The PQX object's fields as Python sees them: defaults, writes, references."""
import gc
import weakref

import pytest

import curvix


def test_empty_alignment():
    p = curvix.PQX()
    assert (p.start_pk, p.end_pk, p.Text) == (0.0, 0.0, "")
    assert p.start_angle.GetRadian() == 0.0
    assert (p.start_point.X(), p.start_point.Y(), p.start_point.Z()) == (0.0, 0.0, 0.0)


def test_worked_example_loads(worked_example_path):
    p = curvix.PQX(worked_example_path)
    assert (p.start_pk, p.end_pk) == (100.0, 600.0)
    assert (p.start_point.X(), p.start_point.Y(), p.start_point.Z()) == (400.25, 250.5, 0.0)
    assert p.start_angle.GetRadian() == 0.5
    assert p.Text.count("\n") == 8 and p.Text.endswith("0,0,0")


def test_start_angle_goes_through_degrees(write_icd):
    # Stored as ((a / pi) * 180) / 180 * pi, which can move the last bit.
    a = 0.1
    p = curvix.PQX(write_icd("0\n0,0,%r\n" % a))
    assert p.start_angle.GetRadian() == a / 3.141592653589793 * 180.0 / 180.0 * 3.141592653589793


def test_angle_read_from_the_alignment_refers_into_it():
    p = curvix.PQX()
    angle = p.start_angle
    point = p.start_point
    p.start_angle = curvix.Angle(2.0)
    p.start_point = curvix.Vector(1, 2, 3)
    assert angle.GetRadian() == 2.0
    assert (point.X(), point.Y(), point.Z()) == (1.0, 2.0, 3.0)


def test_references_keep_the_alignment_alive(worked_example_path):
    p = curvix.PQX(worked_example_path)
    alive = weakref.ref(p)
    angle, point = p.start_angle, p.start_point
    del p
    gc.collect()
    assert alive() is not None
    assert angle.GetRadian() == 0.5 and point.X() == 400.25
    del angle, point
    gc.collect()
    assert alive() is None


def test_setter_copies_the_value():
    p = curvix.PQX()
    a = curvix.Angle(1.0)
    p.start_angle = a
    assert p.start_angle is not a
    assert p.start_angle == a


@pytest.mark.parametrize(
    "name, value, error",
    [("start_angle", curvix.Radian(1.0), TypeError), ("start_angle", 1.0, TypeError),
     ("start_point", (1, 2), TypeError), ("start_pk", "1", TypeError), ("Text", "x", AttributeError),
     ("elements", [], AttributeError)],
)
def test_property_writes_are_typed(name, value, error):
    p = curvix.PQX()
    with pytest.raises(error):
        setattr(p, name, value)


def test_station_fields_accept_ints_and_change_nothing_else(worked_example_path):
    p = curvix.PQX(worked_example_path)
    p.start_pk = 7
    assert p.start_pk == 7.0 and p.end_pk == 600.0


@pytest.mark.parametrize("path", [b"/tmp/x.icd", 1, None])
def test_path_must_be_a_str(path):
    with pytest.raises(TypeError):
        curvix.PQX(path)


def test_path_that_cannot_be_utf16_encoded_is_refused():
    with pytest.raises(TypeError):
        curvix.PQX("bad\udcffname.icd")


def test_non_ascii_path(tmp_path):
    path = tmp_path / "线路 ä.icd"
    path.write_text("5\n1,2,0\n1,10\n", encoding="utf-8")
    p = curvix.PQX(str(path))
    assert (p.start_pk, p.end_pk) == (5.0, 15.0)
