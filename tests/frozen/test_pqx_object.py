"""The PQX object's fields as Python sees them: defaults, writes, references."""
import gc
import weakref

import pytest

import curvix


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
