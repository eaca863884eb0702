import importlib.machinery
import math
import random
import subprocess
import sys

import pytest

import planix

seg_seg = planix.intersection_seg_seg
seg_arc = planix.intersection_seg_arc


def test_module_is_the_compiled_extension():
    origin = planix.__spec__.origin
    assert origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(planix.__spec__.loader, importlib.machinery.ExtensionFileLoader)


def test_docstrings_and_registration_order():
    assert planix.__doc__ == (
        "\n        Global Funcs for KARVO\n        " + "-" * 18 + "\n"
        "        .. currentmodule:: planix\n        .. autosummary::\n"
        "           :toctree: _generate\n\n"
        "            intersection_seg_seg\n            intersection_seg_arc\n    ")

    def text(title):
        return ("\n        " + title + "\n\n        Returns:\n"
                "            (float,float) : \u4ea4\u70b9\u5750\u6807\n\n    ")

    floats = ", ".join("arg%d: float" % i for i in range(7))
    assert seg_arc.__doc__ == ("intersection_seg_arc(" + floats + ") -> List[float]\n\n"
                               + text("\u6c42\u7ebf\u6bb5\u548c\u5706\u5f27\u7684\u4ea4\u70b9") + "\n")
    assert seg_seg.__doc__ == ("intersection_seg_seg(arg0: list, arg1: list, arg2: list, "
                               "arg3: list) -> List[float]\n\n"
                               + text("\u6c42\u7ebf\u6bb5\u548c\u7ebf\u6bb5\u7684\u4ea4\u70b9") + "\n")
    names = list(vars(planix))
    assert names.index("__doc__") < names.index("intersection_seg_arc") < names.index("intersection_seg_seg")


def test_single_shared_pybind11_internals(tmp_path):
    code = ("import builtins, {}\n"
            "print(sorted(k for k in vars(builtins) if k.startswith('__pybind11_internals_')))")
    keys = {}
    for modules in ("curvix", "curvix, planix", "planix, curvix"):
        out = subprocess.run([sys.executable, "-c", code.format(modules)], cwd=str(tmp_path),
                             stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
        keys[modules] = eval(out)
    assert len(keys["curvix, planix"]) == 1
    assert keys["curvix"] == keys["curvix, planix"] == keys["planix, curvix"]
    if sys.version_info < (3, 12):
        assert keys["curvix"][0].startswith("__pybind11_internals_v4")


def numbered(table):
    return [str(i) for i in range(1, len(table) + 1)]


def variants(s1, s2):
    """The same two segments, each in both directions, in both operand orders."""
    for a in (s1, s1[::-1]):
        for b in (s2, s2[::-1]):
            yield a + b
            yield b + a


# Relations with a single common point (or none): the answer cannot depend on
# the directions of the segments or the order of the operands.
SINGLE_POINT = [
    ([[0, 0], [2, 2]], [[0, 2], [2, 0]], [1.0, 1.0]),          # 1 crossing
    ([[0, 0], [3, 1]], [[1, 0], [2, 1]], [1.5, 0.5]),          # 2 crossing off the grid
    ([[0, 0], [1, 1]], [[1, 1], [2, 0]], [1.0, 1.0]),          # 3 touching end to end
    ([[0, 0], [2, 0]], [[0, 0], [2, 1]], [0.0, 0.0]),          # 4 common start point
    ([[0, 0], [2, 0]], [[1, 0], [1, 1]], [1.0, 0.0]),          # 5 end touching inside
    ([[0, 0], [1, 0]], [[1, 0], [2, 0]], [1.0, 0.0]),          # 6 collinear, touching ends
    ([[0, 0], [2, 0]], [[1, 0], [1, 0]], [1.0, 0.0]),          # 7 point segment inside
    ([[1, 1], [1, 1]], [[1, 1], [1, 1]], [1.0, 1.0]),          # 8 equal point segments
    ([[0, 0], [1, 0]], [[2, 0], [3, 0]], []),                  # 9 collinear, disjoint
    ([[0, 0], [2, 0]], [[0, 1], [2, 1]], []),                  # 10 parallel
    ([[0, 0], [1, 0]], [[2, -1], [2, 1]], []),                 # 11 lines cross beyond an end
    ([[0, 0], [2, 0]], [[1, 1], [1, 1]], []),                  # 12 point segment off the line
]


@pytest.mark.parametrize("s1, s2, expected", SINGLE_POINT, ids=numbered(SINGLE_POINT))
def test_seg_seg_single_point_relations(s1, s2, expected):
    for args in variants(s1, s2):
        assert seg_seg(*args) == expected, args


# Collinear overlaps: the answer is the first of the two ends of the common
# part in Boost.Geometry 1.81's order, pinned here for every orientation.
COLLINEAR = [
    ([0, 0], [2, 0], [1, 0], [3, 0], [1.0, 0.0]),              # 1 partial overlap
    ([2, 0], [0, 0], [1, 0], [3, 0], [2.0, 0.0]),              # 2
    ([0, 0], [2, 0], [3, 0], [1, 0], [1.0, 0.0]),              # 3
    ([2, 0], [0, 0], [3, 0], [1, 0], [2.0, 0.0]),              # 4
    ([1, 0], [3, 0], [2, 0], [0, 0], [1.0, 0.0]),              # 5 operands swapped
    ([3, 0], [1, 0], [0, 0], [2, 0], [2.0, 0.0]),              # 6
    ([0, 0], [4, 0], [2, 0], [1, 0], [1.0, 0.0]),              # 7 second inside first
    ([4, 0], [0, 0], [1, 0], [2, 0], [2.0, 0.0]),              # 8
    ([2, 0], [1, 0], [0, 0], [4, 0], [2.0, 0.0]),              # 9 first inside second
    ([0, 0], [3, 3], [5, 5], [1, 1], [1.0, 1.0]),              # 10 diagonal
    ([3, 3], [0, 0], [1, 1], [5, 5], [3.0, 3.0]),              # 11
    ([0, 0], [0, 4], [0, 3], [0, 1], [0.0, 1.0]),              # 12 vertical
    ([0, 4], [0, 0], [0, 1], [0, 3], [0.0, 3.0]),              # 13
    ([0, 0], [2, 0], [0, 0], [2, 0], [0.0, 0.0]),              # 14 equal segments
    ([0, 0], [2, 0], [2, 0], [0, 0], [0.0, 0.0]),              # 15
    ([2, 0], [0, 0], [0, 0], [2, 0], [2.0, 0.0]),              # 16
]


@pytest.mark.parametrize("p1, p2, p3, p4, expected", COLLINEAR, ids=numbered(COLLINEAR))
def test_seg_seg_collinear_overlap(p1, p2, p3, p4, expected):
    assert seg_seg(p1, p2, p3, p4) == expected


def test_seg_seg_matches_line_algebra_on_random_pairs():
    rng = random.Random(20240605)
    crossings = 0
    while crossings < 400:
        x0, y0, size = rng.choice([(0.0, 0.0, 1.0), (-5.0, 3.0, 1e-3), (512345.6, 3456789.0, 2000.0)])
        p = [[x0 + size * rng.uniform(-1, 1), y0 + size * rng.uniform(-1, 1)] for _ in range(4)]
        d1 = (p[1][0] - p[0][0], p[1][1] - p[0][1])
        d2 = (p[3][0] - p[2][0], p[3][1] - p[2][1])
        w = (p[2][0] - p[0][0], p[2][1] - p[0][1])
        den = d1[0] * d2[1] - d1[1] * d2[0]
        if abs(den) < 1e-3 * math.hypot(*d1) * math.hypot(*d2):
            continue
        t = (w[0] * d2[1] - w[1] * d2[0]) / den
        u = (w[0] * d1[1] - w[1] * d1[0]) / den
        got = seg_seg(*p)
        if 1e-9 < t < 1 - 1e-9 and 1e-9 < u < 1 - 1e-9:
            crossings += 1
            scale = abs(x0) + abs(y0) + size
            assert got == pytest.approx([p[0][0] + t * d1[0], p[0][1] + t * d1[1]], rel=1e-9, abs=1e-9 * scale)
        elif not (-1e-9 <= t <= 1 + 1e-9 and -1e-9 <= u <= 1 + 1e-9):
            assert got == []


@pytest.mark.parametrize("args, expected", [
    ((0, 0, 1, -2, 0, 2, 0), [1.0, 0.0]),           # two crossings: the one nearer the end
    ((0, 0, 1, 2, 0, -2, 0), [-1.0, 0.0]),
    ((0, 0, 1, 2, 0, 0, 0), [1.0, 0.0]),            # end inside
    ((0, 0, 1, 0, 0, 2, 0), [1.0, 0.0]),            # start inside
    ((0, 0, 1, -2, 1, 2, 1), [0.0, 1.0]),           # tangent
    ((0, 0, -1, -2, 0, 2, 0), [1.0, 0.0]),          # negative radius
    ((10, 20, 5, 10, 20, 10, 30), [10.0, 25.0]),    # off-origin, integers
    ((0, 0, 1, 0.5, 0, 0.6, 0), []),                # wholly inside
    ((0, 0, 1, 2, 0, 3, 0), []),                    # outside, on a secant line
    ((0, 0, 1, -2, 2, 2, 2), []),                   # line misses the circle
    ((0, 0, 1, 1, 0, 1, 0), []),                    # zero length, on the circle
    ((0, 0, 1, 3, 0, 3, 0), []),                    # zero length, outside
])
def test_seg_arc_cases(args, expected):
    assert seg_arc(*args) == expected


def reference_seg_arc(cx, cy, r, x1, y1, x2, y2):
    dx, dy, ex, ey = x2 - x1, y2 - y1, x1 - cx, y1 - cy
    qa = dy * dy + dx * dx
    qb = (2 * dy) * ey + (2 * dx) * ex
    qc = (ey * ey + ex * ex) - r * r
    disc = qb * qb - (4 * qa) * qc
    if disc < 0:
        return []
    s = math.sqrt(disc)
    for t in ((s - qb) / (2 * qa), (-qb - s) / (2 * qa)):
        if 0 <= t <= 1:
            return [dx * t + x1, dy * t + y1]
    return []


def test_seg_arc_arithmetic_is_bit_exact_and_on_the_circle():
    rng = random.Random(7)
    hits = 0
    for _ in range(2000):
        args = [rng.uniform(-1e3, 1e3) + 5e5 for _ in range(2)] + [rng.uniform(1, 800)]
        args += [args[i % 2] + rng.uniform(-1e3, 1e3) for i in range(4)]
        got = seg_arc(*args)
        assert got == reference_seg_arc(*args)
        if got:
            hits += 1
            assert math.hypot(got[0] - args[0], got[1] - args[1]) == pytest.approx(args[2], rel=1e-9)
    assert hits > 500


@pytest.mark.parametrize("args, exc, message", [
    (([1.0], [0, 0], [1, 1], [2, 2]), IndexError, "list index out of range"),
    (([0, 0], [0, 0], [1, 1], []), IndexError, "list index out of range"),
    (([0, "a"], [0, 0], [1, 1], [2, 2]), RuntimeError, None),
    (([None, 0], [0, 0], [1, 1], [2, 2]), RuntimeError, None),
    # y is read before x, and the points in argument order
    ((["a"], [0, 0], [1, 1], [2, 2]), IndexError, "list index out of range"),
    (([0, 0], ["a", 0], [1], [2, 2]), RuntimeError, None),
    (([0, 0], [0], [1, 1], [2, "b"]), IndexError, "list index out of range"),
])
def test_seg_seg_item_failures(args, exc, message):
    with pytest.raises(exc) as excinfo:
        seg_seg(*args)
    assert str(excinfo.value) == (message or
                                  "Unable to cast Python instance to C++ type (compile in debug mode for details)")


def test_argument_type_failures():
    with pytest.raises(TypeError) as excinfo:
        seg_seg((0, 0), [0, 0], [1, 1], [2, 2])
    assert str(excinfo.value) == (
        "intersection_seg_seg(): incompatible function arguments. The following argument types are supported:\n"
        "    1. (arg0: list, arg1: list, arg2: list, arg3: list) -> List[float]\n\n"
        "Invoked with: (0, 0), [0, 0], [1, 1], [2, 2]")
    for call in (lambda: seg_seg([0, 0], [2, 2], [0, 2]),
                 lambda: seg_seg(p1=[0, 0], p2=[2, 2], p3=[0, 2], p4=[2, 0]),
                 lambda: seg_arc(0, 0, 1, -2, 0, 2, "0"),
                 lambda: seg_arc(0, 0, 1, -2, 0, 2)):
        pytest.raises(TypeError, call)


def test_accepted_number_kinds():
    class Num:
        def __float__(self):
            return 2.0

    assert seg_seg([0, 0, "ignored"], [Num(), Num()], [0.0, 2], [2, 0.0]) == [1.0, 1.0]
    assert seg_arc(0, 0, 1, -2, 0, Num(), 0) == [1.0, 0.0]


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_input(bad):
    for i in range(8):
        coords = [0, 0, 2, 2, 0, 2, 2, 0]
        coords[i] = bad
        assert seg_seg(*[coords[k:k + 2] for k in (0, 2, 4, 6)]) == []
    for i in range(7):
        args = [0, 0, 1, -2, 0, 2, 0]
        args[i] = bad
        assert seg_arc(*args) == []
