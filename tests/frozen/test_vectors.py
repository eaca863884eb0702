import math

import pytest

from curvix import Angle, Vector

PI = 3.141592653589793


def components(v):
    return (v.X(), v.Y(), v.Z())


@pytest.mark.parametrize(
    "args, expected",
    [((), (0.0, 0.0, 0.0)), ((1, 2), (1.0, 2.0, 0.0)), ((1.5, -2.5, 3.0), (1.5, -2.5, 3.0))],
)
def test_constructors(args, expected):
    v = Vector(*args)
    assert components(v) == expected
    assert all(type(c) is float for c in components(v))


def test_components_are_methods():
    v = Vector(1, 2, 3)
    assert callable(v.X) and not isinstance(v.X, float)


@pytest.mark.parametrize(
    "v, length",
    [(Vector(3, 4), 5.0), (Vector(0, 0, 2), 2.0), (Vector(1, 2, 2), 3.0), (Vector(), 0.0)],
)
def test_length(v, length):
    assert v.length() == length


@pytest.mark.parametrize(
    "p, q, distance",
    [((0, 0), (2, 1), 2.23606797749979), ((0, 0, 0), (0, 0, 2), 2.0), ((1, 1), (1, 1), 0.0)],
)
def test_distance_is_spatial_and_symmetric(p, q, distance):
    assert Vector(*p).distance_point(Vector(*q)) == distance
    assert Vector(*q).distance_point(Vector(*p)) == distance


def test_sum_and_difference_are_componentwise():
    a, b = Vector(1, 2, 3), Vector(0.5, -1, 10)
    assert components(a + b) == (1.5, 1.0, 13.0)
    assert components(a - b) == (0.5, 3.0, -7.0)


@pytest.mark.parametrize(
    "v, theta, expected",
    [
        # No rounding to exact axes: cos(pi/2) is 6.123233995736766e-17.
        ((1, 0), PI / 2, (6.123233995736766e-17, 1.0, 0.0)),
        ((1, 1, 5), PI / 4, (1.1102230246251565e-16, 1.414213562373095, 5.0)),
        ((2, 0), PI, (-2.0, 2.4492935982947064e-16, 0.0)),
    ],
)
def test_rotate2d_exact_values(v, theta, expected):
    assert components(Vector(*v).rotate2d(Angle(theta))) == expected


@pytest.mark.parametrize("theta", [0.3, -1.2, 7.5])
def test_rotate2d_keeps_length_and_z(theta):
    v = Vector(3.0, -4.0, 2.0)
    r = v.rotate2d(Angle(theta))
    assert math.isclose(r.length(), v.length(), rel_tol=1e-15)
    assert r.Z() == 2.0


@pytest.mark.parametrize(
    "p, q, angle",
    [
        ((1, 0), (0, 1), 1.5707963267948966),
        ((0, 1), (1, 0), -1.5707963267948966),
        ((1, 0), (-1, 0), PI),
        ((0, 0), (1, 1), 0.0),
        ((1, 0, -0.0), (0, 1), 1.5707963267948966),
    ],
)
def test_angle_signed(p, q, angle):
    assert Vector(*p).angle_signed(Vector(*q)) == angle


@pytest.mark.parametrize(
    "p, q",
    [((1, 0, 1e-300), (0, 1)), ((1, 0), (0, 1, -2.0)), ((1, 0, float("nan")), (0, 1))],
)
def test_angle_signed_refuses_a_z_component(p, q):
    with pytest.raises(RuntimeError) as excinfo:
        Vector(*p).angle_signed(Vector(*q))
    assert str(excinfo.value) == "读取ICD文件错误."


@pytest.mark.parametrize("index, value", [(0, 1.5), (1, 2.5), (2, 3.5)])
def test_subscription(index, value):
    assert Vector(1.5, 2.5, 3.5)[index] == value


@pytest.mark.parametrize("index", [3, -1, 2 ** 31 - 1, -(2 ** 31)])
def test_subscription_out_of_range_is_a_runtime_error(index):
    with pytest.raises(RuntimeError) as excinfo:
        Vector(1, 2, 3)[index]
    assert str(excinfo.value) == "%d 超过索引长度." % index


def test_iteration_ends_in_the_index_error_of_component_three():
    # Python's sequence iteration stops only on IndexError; the component
    # failure is a RuntimeError, so list() fails at index 3.
    with pytest.raises(RuntimeError) as excinfo:
        list(Vector(1, 2, 3))
    assert str(excinfo.value) == "3 超过索引长度."


@pytest.mark.parametrize(
    "op",
    [lambda v: v + 1.0, lambda v: v - (1, 2), lambda v: v * 2.0, lambda v: v.rotate2d(1.0),
     lambda v: v.distance_point((0, 0))],
)
def test_wrong_operands_are_type_errors(op):
    with pytest.raises(TypeError):
        op(Vector(1, 2))


def test_vector_equality_falls_back_to_identity():
    v = Vector(1, 2)
    assert (v == Vector(1, 2)) is False
    assert (v == v) is True
