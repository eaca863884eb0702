"""The module's import, its surface and the calling conventions shared by all classes."""
import subprocess
import sys

import pytest

import curvix


def test_module_is_the_compiled_extension():
    assert curvix.__spec__.origin.endswith((".so", ".pyd"))
    assert curvix.__file__ == curvix.__spec__.origin


def test_public_names_in_registration_order():
    public = [k for k in curvix.__dict__ if not k.startswith("_")]
    assert public == ["RadToDeg", "DegToRad", "Angle", "Radian", "Degree", "Vector", "PQX"]
    assert curvix.__doc__ is None


@pytest.mark.parametrize("cls", ["Radian", "Degree"])
def test_radian_and_degree_offer_only_a_constructor(cls):
    extra = set(dir(getattr(curvix, cls))) - set(dir(object))
    assert extra <= {"__init__", "__module__", "__dict__", "__weakref__"}
    assert "GetRadian" not in extra


def test_import_runs_the_entry_once():
    code = (
        "import importlib, curvix; a = curvix.Angle; "
        "import curvix as again; importlib.import_module('curvix'); "
        "print(again.Angle is a and curvix.PQX is again.PQX)"
    )
    out = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, check=True)
    assert out.stdout.strip() == b"True"


@pytest.mark.parametrize(
    "call",
    [
        lambda: curvix.RadToDeg(radians=1.0),
        lambda: curvix.Angle(radians=1.0),
        lambda: curvix.Vector(1.0, y=2.0),
        lambda: curvix.Vector(1, 2).rotate2d(angle=curvix.Angle(1)),
    ],
    ids=["function", "constructor", "constructor-mixed", "method"],
)
def test_keyword_arguments_are_refused(call):
    with pytest.raises(TypeError):
        call()


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("value, expected", [(2, 2.0), (True, 1.0), (Floaty(), 2.5)])
def test_float_parameters_take_what_converts_with_float(value, expected):
    assert curvix.Angle(value).GetRadian() == expected


@pytest.mark.parametrize("index", [1.0, "1", None])
def test_int_parameters_refuse_floats_and_others(index):
    with pytest.raises(TypeError):
        curvix.Vector(1, 2, 3)[index]


@pytest.mark.parametrize("index", [2 ** 31, -(2 ** 31) - 1])
def test_int_parameters_refuse_values_outside_32_bits(index):
    with pytest.raises(TypeError):
        curvix.Vector(1, 2, 3)[index]


@pytest.mark.parametrize("cls", [curvix.Angle, curvix.Radian, curvix.Vector, curvix.PQX])
def test_instances_have_no_attribute_dictionary(cls):
    with pytest.raises(AttributeError):
        cls().anything = 1


def test_init_again_on_an_initialised_instance_does_nothing():
    a = curvix.Angle(1.5)
    assert a.__init__(3.0) is None
    assert a.GetRadian() == 1.5


@pytest.mark.parametrize(
    "make, use",
    [
        (curvix.Angle, lambda a: a.GetRadian()),
        (curvix.Angle, lambda a: a * 2.0),
        (curvix.Angle, lambda a: curvix.Angle(1.0) + a),
        (curvix.Angle, lambda a: curvix.Vector(1, 0).rotate2d(a)),
        (curvix.Vector, lambda v: v.X()),
        (curvix.Vector, lambda v: v[0]),
        (curvix.Vector, lambda v: curvix.Vector(1, 0).distance_point(v)),
        (curvix.PQX, lambda p: p.start_pk),
        (curvix.PQX, lambda p: p.get_coordinate(0.0)),
        (curvix.PQX, lambda p: p.Text),
    ],
)
def test_uninitialised_instances_are_refused(make, use):
    # Cls.__new__(Cls) gives an instance whose constructor never ran: using it
    # must not read uninitialised storage.
    obj = make.__new__(make)
    with pytest.raises(TypeError) as excinfo:
        use(obj)
    assert str(excinfo.value) == "curvix.%s object is not initialised" % make.__name__


def test_uninitialised_value_is_refused_by_a_setter():
    p = curvix.PQX()
    with pytest.raises(TypeError) as excinfo:
        p.start_angle = curvix.Angle.__new__(curvix.Angle)
    assert str(excinfo.value) == "curvix.Angle object is not initialised"
    assert p.start_angle.GetRadian() == 0.0


def test_uninitialised_instance_can_still_be_initialised():
    a = curvix.Angle.__new__(curvix.Angle)
    a.__init__(0.25)
    assert a.GetRadian() == 0.25


@pytest.mark.parametrize(
    "obj, name",
    [(curvix.RadToDeg, "RadToDeg(arg0: float) -> float\n"),
     (curvix.Vector.rotate2d, "rotate2d(self: curvix.Vector, arg0: curvix.Angle) -> curvix.Vector\n"),
     (curvix.PQX.get_side, "get_side(self: curvix.PQX, arg0: float, arg1: float) -> int\n")],
)
def test_docstrings_hold_only_the_signature(obj, name):
    assert obj.__doc__ == name
