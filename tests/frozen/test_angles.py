import math

import pytest

import curvix
from curvix import Angle, Degree, Radian

PI = 3.141592653589793


# Golden values: degrees are divided by 180 before the multiplication by pi
# (and radians by pi before the multiplication by 180); the other order
# differs in the last bit (DegToRad(89) would be 1.5533430342749535).
@pytest.mark.parametrize(
    "degrees, radians",
    [(89, 1.5533430342749532), (33, 0.5759586531581287), (180, PI), (90, 1.5707963267948966),
     (30, 0.5235987755982988)],
)
def test_degrees_to_radians_order_of_operations(degrees, radians):
    assert curvix.DegToRad(degrees) == radians
    assert Angle(degrees / 180.0 * PI).GetRadian() == radians


@pytest.mark.parametrize("radians, degrees", [(0.7, 40.10704565915763), (1.0, 57.29577951308232), (PI, 180.0)])
def test_radians_to_degrees_order_of_operations(radians, degrees):
    assert curvix.RadToDeg(radians) == degrees
    assert Angle(radians).GetDegree() == degrees


def test_degree_of_30_keeps_the_library_sine():
    a = Angle(curvix.DegToRad(30))
    assert a.Sin() == 0.49999999999999994
    assert a.Cos() == math.cos(0.5235987755982988)


@pytest.mark.parametrize("value", [3 * PI, -PI, 1e300, -0.0])
def test_angles_are_never_reduced(value):
    assert Angle(value).GetRadian() == value
    assert (Angle(value) + Angle(0.0)).GetRadian() == value + 0.0


def test_pi_is_a_read_only_class_attribute():
    assert Angle.PI == PI
    assert Angle(1).PI == PI
    with pytest.raises(AttributeError):
        Angle.PI = 3.0
    assert Angle.PI == PI


@pytest.mark.parametrize(
    "angle, factor, expected",
    [(1.0, 2, 2.0), (1.0, 0.0, 0.0), (-1.0, 0.0, -0.0), (0.5, -3.0, -1.5)],
)
def test_scaling(angle, factor, expected):
    result = Angle(angle) * factor
    assert isinstance(result, Angle)
    assert result.GetRadian() == expected
    assert math.copysign(1, result.GetRadian()) == math.copysign(1, expected)


def test_scaling_by_nan_gives_an_angle_unequal_to_itself():
    a = Angle(1.0) * float("nan")
    assert not (a == a)
    assert a != a


def test_equality_is_exact():
    assert Angle(1.0) == Angle(1.0)
    assert Angle(0.0) == Angle(-0.0)
    assert not (Angle(0.1) + Angle(0.2) == Angle(0.3))
    assert (Angle(0.1) + Angle(0.2)).GetRadian() == 0.1 + 0.2


@pytest.mark.parametrize("other", [1.0, 1, "1", None, Radian(1.0), Degree(1.0)])
def test_equality_with_other_types_is_false(other):
    assert (Angle(1.0) == other) is False


def test_angles_are_unhashable():
    assert Angle.__hash__ is None
    with pytest.raises(TypeError):
        hash(Angle(1.0))


@pytest.mark.parametrize(
    "op",
    [lambda: 2 * Angle(1.0), lambda: Angle(1.0) * Angle(1.0), lambda: Angle(1.0) + 1.0,
     lambda: Angle(1.0) - Angle(1.0), lambda: Angle(1.0) * "x"],
    ids=["reflected-mul", "angle-times-angle", "angle-plus-float", "no-subtraction", "times-str"],
)
def test_unsupported_operators_end_in_type_error(op):
    with pytest.raises(TypeError):
        op()


def test_operator_with_wrong_operand_returns_not_implemented():
    assert Angle(1.0).__add__(1.0) is NotImplemented
    assert Angle(1.0).__mul__("x") is NotImplemented
    assert Angle(1.0).__eq__(1.0) is NotImplemented


def test_radian_and_degree_are_not_angles():
    assert not issubclass(Radian, Angle) and not issubclass(Degree, Angle)
    with pytest.raises(AttributeError):
        Radian(1.0).GetRadian()
    with pytest.raises(TypeError):
        curvix.Vector(1, 0).rotate2d(Degree(90))
    with pytest.raises(TypeError):
        Angle(1.0) + Radian(1.0)


def test_default_angle_is_zero():
    assert Angle().GetRadian() == 0.0
    assert Angle() == Angle(-0.0)
