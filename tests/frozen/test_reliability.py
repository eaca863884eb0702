"""Reliability: instances that were never initialised, memory over many loads,
degenerate numbers in files and arguments, and the faults found by fuzzing.

The sanitizer run (scripts/run_sanitized_tests.sh) and the fuzz targets
(fuzz/, scripts/run_fuzz.sh) cover the same ground from the C++ side.
"""
import json
import math
import operator
import os
import subprocess
import sys

import pytest
from hypothesis import assume, given, settings, strategies as st

import curvix
import planix
from conftest import EXAMPLES, QUERY_EXAMPLE

Angle, Vector, PQX = curvix.Angle, curvix.Vector, curvix.PQX
# The failures the queries document (ValueError in Python).
NO_ELEMENTS = "the alignment has no elements"
BAD_N = "n must be a positive number of intervals"
NO_CROSSING = ("the line does not cross the alignment between start_pk and end_pk "
               "(or crosses it an even number of times)")

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_child(code, args, timeout):
    """Runs Python code in a child interpreter; a hang fails after `timeout` seconds."""
    out = subprocess.run([sys.executable, "-c", code] + [str(a) for a in args],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    assert out.returncode == 0, out.stderr.decode("utf-8", "replace")
    return out.stdout.decode()


# --------------------------------------------------- uninitialised instances
#
# Cls.__new__(Cls) gives an instance whose constructor never ran. Every
# member must refuse it, as self and as an argument, with one TypeError.
# Arguments are factories, so that each call gets fresh, valid objects; each
# call is also made on an initialised instance, which must accept it.

METHODS = {
    Angle: {
        "GetRadian": (), "GetDegree": (), "Cos": (), "Sin": (),
        "__mul__": (lambda: 2.0,), "__eq__": (lambda: Angle(1.0),), "__add__": (lambda: Angle(1.0),),
    },
    Vector: {
        "X": (), "Y": (), "Z": (), "length": (),
        "__add__": (lambda: Vector(1, 2),), "__sub__": (lambda: Vector(1, 2),),
        "__getitem__": (lambda: 0,), "rotate2d": (lambda: Angle(1.0),),
        "distance_point": (lambda: Vector(1, 2),), "angle_signed": (lambda: Vector(1, 2),),
    },
    PQX: {
        "get_coordinate": (lambda: 150.0,),
        "get_dir": (lambda: 150.0, lambda: 1.0),
        "get_station_by_point": (lambda: 20.0, lambda: 70.0, lambda: 10, lambda: 1e-9),
        "get_station_by_point2": (lambda: 0.0, lambda: 70.0, lambda: 20.0, lambda: 70.0, lambda: 1e-9),
        "get_side": (lambda: 20.0, lambda: 70.0),
        "__binary_test__": (lambda: 100.0, lambda: 200.0, lambda: Vector(20, 70), lambda: 1e-9,
                            lambda: 0.0),
    },
}
# Properties: the value to assign, or None for a read-only one.
PROPERTIES = {
    Angle: {},
    Vector: {},
    PQX: {"start_pk": lambda: 1.0, "end_pk": lambda: 2.0, "start_angle": lambda: Angle(1.0),
          "start_point": lambda: Vector(1, 2), "Text": None},
}
STATIC = {Angle: {"PI"}, Vector: set(), PQX: set()}
NOT_MEMBERS = {"__init__", "__doc__", "__module__", "__hash__"}
OPERATORS = {"__add__": operator.add, "__sub__": operator.sub, "__mul__": operator.mul,
             "__eq__": operator.eq, "__getitem__": operator.getitem}


def initialised(cls, tmp_path):
    if cls is PQX:
        path = tmp_path / "query.icd"
        path.write_text(QUERY_EXAMPLE)
        return PQX(str(path))
    return cls(3.0, 4.0) if cls is Vector else cls(0.5)


def uninitialised(cls):
    return cls.__new__(cls)


def assert_refused(call, cls):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == "curvix.%s object is not initialised" % cls.__name__


METHOD_CASES = [(cls, name) for cls in METHODS for name in METHODS[cls]]
PROPERTY_CASES = [(cls, name) for cls in PROPERTIES for name in PROPERTIES[cls]]
ids = ["%s.%s" % (cls.__name__, name) for cls, name in METHOD_CASES]
property_ids = ["%s.%s" % (cls.__name__, name) for cls, name in PROPERTY_CASES]


@pytest.mark.parametrize("cls", [Angle, Vector, PQX], ids=lambda c: c.__name__)
def test_every_member_is_covered(cls):
    # A member added to a class must be added to the tables above.
    members = set(vars(cls)) - NOT_MEMBERS
    assert members == set(METHODS[cls]) | set(PROPERTIES[cls]) | STATIC[cls]


@pytest.mark.parametrize("cls, name", METHOD_CASES, ids=ids)
def test_methods_refuse_an_uninitialised_self(tmp_path, cls, name):
    make_args = METHODS[cls][name]
    # The same arguments are valid for an initialised instance.
    getattr(initialised(cls, tmp_path), name)(*[make() for make in make_args])
    obj = uninitialised(cls)
    assert_refused(lambda: getattr(obj, name)(*[make() for make in make_args]), cls)
    if name in OPERATORS:
        assert_refused(lambda: OPERATORS[name](obj, *[make() for make in make_args]), cls)


ARGUMENT_CASES = [(cls, name, i) for cls, name in METHOD_CASES
                  for i, make in enumerate(METHODS[cls][name])
                  if isinstance(make(), (Angle, Vector))]


@pytest.mark.parametrize("cls, name, position", ARGUMENT_CASES,
                         ids=["%s.%s-arg%d" % (c.__name__, n, i) for c, n, i in ARGUMENT_CASES])
def test_methods_refuse_an_uninitialised_argument(tmp_path, cls, name, position):
    make_args = METHODS[cls][name]
    args = [make() for make in make_args]
    arg_cls = type(args[position])
    args[position] = uninitialised(arg_cls)
    owner = initialised(cls, tmp_path)
    assert_refused(lambda: getattr(owner, name)(*args), arg_cls)
    if name in OPERATORS:
        assert_refused(lambda: OPERATORS[name](owner, *args), arg_cls)


@pytest.mark.parametrize("cls, name", PROPERTY_CASES, ids=property_ids)
def test_properties_refuse_an_uninitialised_instance(tmp_path, cls, name):
    make_value = PROPERTIES[cls][name]
    obj = uninitialised(cls)
    assert_refused(lambda: getattr(obj, name), cls)
    if make_value is None:
        with pytest.raises(AttributeError):
            setattr(obj, name, "x")
        return
    setattr(initialised(cls, tmp_path), name, make_value())
    assert_refused(lambda: setattr(obj, name, make_value()), cls)


@pytest.mark.parametrize("name", ["start_angle", "start_point"])
def test_setters_refuse_an_uninitialised_value(tmp_path, name):
    target = initialised(PQX, tmp_path)
    value_cls = type(PROPERTIES[PQX][name]())
    assert_refused(lambda: setattr(target, name, uninitialised(value_cls)), value_cls)
    # The field keeps its value.
    if name == "start_angle":
        assert target.start_angle.GetRadian() == 0.0
    else:
        assert (target.start_point.X(), target.start_point.Y()) == (10.0, 20.0)


def test_class_constant_reads_on_an_uninitialised_instance():
    assert uninitialised(Angle).PI == Angle.PI == 3.141592653589793


# ------------------------------------------------------- memory over cycles
#
# 10^5 load-and-drop cycles in a child process. Resident memory after the
# first 10^4 (caches, allocator pools) must stay within 2 MiB after all 10^5.

MEMORY_CHILD = r"""
import gc, os, sys, time
import curvix
path, kind = sys.argv[1], sys.argv[2]
page = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

def load():
    curvix.PQX(path)

def load_and_use():
    p = curvix.PQX(path)
    angle, point = p.start_angle, p.start_point
    p.get_coordinate(p.end_pk - 1.0)
    del p
    angle.GetRadian(), point.X()

def fail():
    try:
        curvix.PQX(path)
    except (RuntimeError, ValueError, OSError):
        return
    raise SystemExit("loaded: " + path)

cycle = {"load": load, "load-and-use": load_and_use, "fail": fail}[kind]
start = time.perf_counter()
for _ in range(10000):
    cycle()
gc.collect()
warm = rss()
for _ in range(90000):
    cycle()
gc.collect()
print(warm, rss(), time.perf_counter() - start)
"""

RAILWAY = (EXAMPLES / "railway_10km.icd").read_bytes()
MEMORY_CASES = {
    "railway": ("load", RAILWAY),
    "railway-with-references": ("load-and-use", RAILWAY),
    # Fails after all elements are built: they must all be freed.
    "bad-type-after-elements": ("fail", RAILWAY.replace(b"\n0,0,0", b"\n7,100\n0,0,0")),
    "bad-utf8-after-elements": ("fail", RAILWAY + b"\n// \xff\n"),
    "missing-file": ("fail", None),
}


def memory_run(path, kind):
    warm, final, seconds = run_child(MEMORY_CHILD, [path, kind], timeout=300).split()
    return int(warm), int(final), float(seconds)


@pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine holds freed memory; LeakSanitizer checks this run")
@pytest.mark.parametrize("case", sorted(MEMORY_CASES))
def test_repeated_loads_keep_memory_flat(tmp_path, case):
    kind, data = MEMORY_CASES[case]
    # A long name: a leaked copy of it per failure would show at once.
    path = tmp_path / ("m" * 200 + ".icd")
    if data is not None:
        path.write_bytes(data)
    warm, final, _ = memory_run(path, kind)
    assert final - warm <= 2 * 2 ** 20, "resident memory grew by %d bytes" % (final - warm)


# ------------------------------------------- files with NaN or infinite fields
#
# Such files load (geometry validates nothing). Every query on them must end
# promptly, with a value or a documented ValueError, and keep the rules for
# stations outside the range: the start point below it, (0, 0, 0) above it and
# at NaN. Each file is queried in a child process with a time limit.

NONFINITE_FILES = {
    "nan-length": "0\n0,0,0\n1,nan\n1,100\n",
    "inf-length": "0\n0,0,0\n1,100\n1,inf\n",
    "minus-inf-length": "0\n0,0,0\n1,100\n1,-inf\n1,100\n",
    "nan-radius": "0\n0,0,0\n1,100\n2,nan,50,1\n1,100\n",
    "inf-radius": "0\n0,0,0\n1,100\n2,inf,50,-1\n1,100\n",
    "zero-radius": "0\n0,0,0\n1,100\n2,0,50,1\n1,100\n",
    "inf-arc-length": "0\n0,0,0\n2,100,inf,1\n",
    "nan-A": "0\n0,0,0\n1,100\n3,nan,100,1\n",
    "inf-A": "0\n0,0,0\n4,inf,100,1\n1,100\n",
    "zero-A": "0\n0,0,0\n5,0,100,200,1\n1,100\n",
    "inf-spiral-radius": "0\n0,0,0\n3,100,inf,1\n2,100,50,1\n",
    "zero-spiral-radius": "0\n0,0,0\n6,100,0,100,-1\n1,100\n",
    "nan-start-station": "nan\n0,0,0\n1,100\n2,100,50,1\n",
    "inf-start-station": "inf\n0,0,0\n1,100\n",
    "huge-start-station": "1e300\n0,0,0\n1,100\n3,100,100,1\n",
    "nan-start-point": "0\nnan,inf,0\n1,100\n",
    "inf-azimuth": "0\n0,0,inf\n1,100\n2,100,50,1\n",
}

NONFINITE_CHILD = r"""
import json, math, sys
import curvix
p = curvix.PQX(sys.argv[1])
nan, inf = float("nan"), float("inf")
lo, hi = p.start_pk, p.end_pk
errors, outcomes = [], []

def call(name, f, *args):
    try:
        result = f(*args)
    except ValueError as e:
        outcomes.append([name, "ValueError", str(e)])
        return None
    except Exception as e:
        outcomes.append([name, type(e).__name__, str(e)])
        return None
    outcomes.append([name, "ok", None])
    return result

def xyz(v):
    return None if v is None else (v.X(), v.Y(), v.Z())

def same(a, b):  # NaN equals NaN here: the same computation gives the same bits
    return a is b or (a is not None and b is not None and
                      all(x == y or (x != x and y != y) for x, y in zip(a, b)))

at_start = xyz(call("get_coordinate", p.get_coordinate, lo))
stations = [lo, hi, (lo + hi) * 0.5, lo - 1.0, hi + 1.0, -inf, inf, nan, 0.0, 50.0, 1e300]
for pk in stations:
    v = xyz(call("get_coordinate", p.get_coordinate, pk))
    if pk < lo and not same(v, at_start):
        errors.append("below start_pk at %r: %r, at start_pk: %r" % (pk, v, at_start))
    if not pk < lo and not pk <= hi and v != (0.0, 0.0, 0.0):
        errors.append("above end_pk or NaN at %r: %r" % (pk, v))
    for d in (1e-4, 1.0, 0.0, -1.0, nan):
        v = xyz(call("get_dir", p.get_dir, pk, d))
        if v is not None and v[2] != 0.0:
            errors.append("get_dir Z at %r, %r: %r" % (pk, d, v))
for n in (1, 10, 1000):
    for eps in (1e-9, 0.0, nan):
        call("get_station_by_point", p.get_station_by_point, 3.0, 4.0, n, eps)
call("get_station_by_point2", p.get_station_by_point2, -5.0, 50.0, 5.0, 50.0, 1e-9)
call("get_station_by_point2", p.get_station_by_point2, 0.0, 0.0, 1.0, 1.0, 0.0)
for x, y in ((3.0, 4.0), (0.0, 0.0), (nan, 1.0)):
    side = call("get_side", p.get_side, x, y)
    if side not in (None, -1, 0, 1):
        errors.append("get_side %r" % side)
call("__binary_test__", p.__binary_test__, lo, hi, curvix.Vector(3, 4), 0.0, 0.0)
print(json.dumps({"errors": errors, "outcomes": outcomes}))
"""


@pytest.mark.parametrize("name", sorted(NONFINITE_FILES))
def test_queries_on_nonfinite_fields_end_with_documented_outcomes(write_icd, name):
    path = write_icd(NONFINITE_FILES[name])
    report = json.loads(run_child(NONFINITE_CHILD, [path], timeout=120))
    assert report["errors"] == []
    documented = {("ValueError", NO_ELEMENTS), ("ValueError", NO_CROSSING)}
    undocumented = [o for o in report["outcomes"] if o[1] != "ok" and (o[1], o[2]) not in documented]
    assert undocumented == []


# ------------------------------------------------- any doubles, in-process
#
# Every query answers any doubles with a value or its documented ValueError.
# n stays below a few thousand and the alignments are small, so each call is
# fast even with eps <= 0 or NaN (the searches stop when a bracket can no
# longer shrink).

any_float = st.floats(allow_nan=True, allow_infinity=True)
HYPOTHESIS = settings(max_examples=200, deadline=None)


@pytest.fixture(scope="module")
def alignments(tmp_path_factory):
    path = tmp_path_factory.mktemp("queries") / "query.icd"
    path.write_text(QUERY_EXAMPLE)
    return {"railway": str(EXAMPLES / "railway_10km.icd"), "query-example": str(path), "empty": None}


def make_alignment(alignments, which, start, end):
    path = alignments[which]
    p = PQX(path) if path else PQX()
    if start is not None:
        p.start_pk = start
    if end is not None:
        p.end_pk = end
    return p


alignment_args = dict(which=st.sampled_from(["railway", "query-example", "empty"]),
                      start=st.none() | any_float, end=st.none() | any_float)


def outcome(which, call, *documented):
    """The call's result, or None after a documented ValueError. The empty
    alignment may also refuse a station that needs an element."""
    try:
        return call()
    except ValueError as e:
        assert str(e) in documented or (which == "empty" and str(e) == NO_ELEMENTS), str(e)
        return None


def xyz(v):
    return (v.X(), v.Y(), v.Z())


def same_bits(a, b):
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


@HYPOTHESIS
@given(pk=any_float, d=any_float, **alignment_args)
def test_station_queries_answer_any_doubles(alignments, which, start, end, pk, d):
    p = make_alignment(alignments, which, start, end)
    v = outcome(which, lambda: p.get_coordinate(pk))
    if v is not None:
        if pk < p.start_pk:
            assert same_bits(xyz(v), xyz(p.get_coordinate(p.start_pk)))
        elif not pk <= p.end_pk:
            assert xyz(v) == (0.0, 0.0, 0.0)
    direction = outcome(which, lambda: p.get_dir(pk, d))
    if direction is not None:
        assert direction.Z() == 0.0


moderate = st.floats(-1e300, 1e300)


@HYPOTHESIS
@given(x=any_float, y=any_float, n=st.integers(-3, 3000), eps=any_float,
       which=alignment_args["which"], start=st.none() | moderate, end=st.none() | moderate)
def test_nearest_station_answers_any_doubles(alignments, which, start, end, x, y, n, eps):
    p = make_alignment(alignments, which, start, end)
    s = outcome(which, lambda: p.get_station_by_point(x, y, n, eps), BAD_N)
    if n <= 0:
        assert s is None
    elif s is not None and p.start_pk <= p.end_pk:
        # Each interval's search answers a station of its own interval.
        slack = 1e-9 * (1.0 + abs(p.start_pk) + abs(p.end_pk))
        assert p.start_pk - slack <= s <= p.end_pk + slack


@HYPOTHESIS
@given(x1=any_float, y1=any_float, x2=any_float, y2=any_float, eps=any_float, **alignment_args)
def test_line_crossing_and_side_answer_any_doubles(alignments, which, start, end, x1, y1, x2, y2, eps):
    p = make_alignment(alignments, which, start, end)
    outcome(which, lambda: p.get_station_by_point2(x1, y1, x2, y2, eps), NO_CROSSING)
    assert outcome(which, lambda: p.get_side(x1, y1)) in (None, -1, 0, 1)
    outcome(which, lambda: p.__binary_test__(x1, y1, Vector(x2, y2), eps, 0.0))


# planix: any doubles give an empty list or one point; from finite
# coordinates the point is finite and lies in both segments' boxes, up to
# rounding at their scale (nearly collinear and huge segments included: see
# the regressions below).

def box_excess(q, segments):
    """How far q lies outside the bounding boxes of the segments (0 inside)."""
    excess = 0.0
    for a, b in zip(segments[::2], segments[1::2]):
        for i in (0, 1):
            excess = max(excess, min(a[i], b[i]) - q[i], q[i] - max(a[i], b[i]))
    return excess


def boxes_overlap(segments):
    return all(max(min(a[i], b[i]) for a, b in zip(segments[::2], segments[1::2])) <=
               min(max(a[i], b[i]) for a, b in zip(segments[::2], segments[1::2])) for i in (0, 1))


def check_result(result, segments):
    assert result == [] or (len(result) == 2 and all(isinstance(c, float) for c in result))
    coords = [c for point in segments for c in point]
    if result and all(math.isfinite(c) for c in coords):
        assert all(math.isfinite(c) for c in result)
        scale = max(abs(c) for c in coords)
        # Boxes that miss each other by rounding ("touching-within-a-spacing"
        # below): the point lies in the gap between them.
        if len(segments) == 4 and not boxes_overlap(segments):
            scale = max(scale, 1.0) * 2.0
        assert box_excess(result, segments) <= 1e-9 * (1.0 + scale), (result, segments)


def in_general_position(p1, p2, p3, p4):
    """Both segments longer than 1e-6 of the coordinates' scale (Boost takes
    ends closer than about 1.5e-8 of it for one point), crossing at an angle
    whose sine exceeds 1e-6."""
    d1 = (p2[0] - p1[0], p2[1] - p1[1])
    d2 = (p4[0] - p3[0], p4[1] - p3[1])
    scale = 1.0 + max(abs(c) for c in p1 + p2 + p3 + p4)
    l1, l2 = math.hypot(*d1), math.hypot(*d2)
    if not (l1 > 1e-6 * scale and l2 > 1e-6 * scale):
        return False
    return abs(d1[0] * d2[1] - d1[1] * d2[0]) / (l1 * l2) > 1e-6


points = st.lists(any_float, min_size=2, max_size=2)


@HYPOTHESIS
@given(p1=points, p2=points, p3=points, p4=points)
def test_segment_intersection_answers_any_doubles(p1, p2, p3, p4):
    check_result(planix.intersection_seg_seg(p1, p2, p3, p4), [p1, p2, p3, p4])


@st.composite
def four_points_of_one_scale(draw):
    # Independent magnitudes for eight coordinates seldom give two segments
    # that are both long against the largest one; one scale for all four
    # points keeps the filter below from rejecting most draws.
    scale = 10.0 ** draw(st.integers(-3, 100))
    unit = st.floats(-1.0, 1.0)
    return [[draw(unit) * scale, draw(unit) * scale] for _ in range(4)]


@HYPOTHESIS
@given(points4=four_points_of_one_scale())
def test_crossing_segments_are_found_in_any_order(points4):
    # Swapping the segments or reversing one finds a point as well (or none).
    p1, p2, p3, p4 = points4
    assume(in_general_position(p1, p2, p3, p4))
    found = bool(planix.intersection_seg_seg(p1, p2, p3, p4))
    assert bool(planix.intersection_seg_seg(p3, p4, p1, p2)) == found
    assert bool(planix.intersection_seg_seg(p2, p1, p3, p4)) == found


@HYPOTHESIS
@given(c=points, r=any_float, a=points, b=points)
def test_segment_circle_answers_any_doubles(c, r, a, b):
    # The point is d*t + a with t in [0, 1]: on the segment's box.
    check_result(planix.intersection_seg_arc(c[0], c[1], r, a[0], a[1], b[0], b[1]), [a, b])


# ----------------------------------------------------- faults found by fuzzing

@pytest.mark.parametrize("query, low, high", [
    # Smallest input: "0\n0,0,0\n1,1e308\n", get_station_by_point(0, 1e308, 1, 1e-9) gave inf
    # (the bracket midpoint (lo + hi) * 0.5 overflowed above half the largest double).
    (lambda p: p.get_station_by_point(0.0, 1e308, 1, 1e-9), 9.9e307, 1e308),
    # The same file, get_station_by_point2(-1, 9e307, 1, 9e307, 1e-9) gave inf.
    (lambda p: p.get_station_by_point2(-1.0, 9e307, 1.0, 9e307, 1e-9), 8.9e307, 9.1e307),
], ids=["nearest", "crossing"])
def test_searches_stay_finite_near_the_double_limit(write_icd, query, low, high):
    p = PQX(write_icd("0\n0,0,0\n1,1e308\n"))
    assert low <= query(p) <= high


@pytest.mark.parametrize("segments, expected", [
    # Sharing an end: Boost.Geometry put the point 1.5 m beyond it, [100001.5259..., 100001.5259...].
    (([0.0, 0.0], [1e5, 1e5], [1e-6, 0.0], [1e5, 1e5]), [1e5, 1e5]),
    # S2 touches S1 only at its end (9e5, 9e5); the point came 17.6 km beyond it.
    (([0.0, 0.0], [1e6, 1e6], [6e5, 600000.000000001], [9e5, 9e5]), [9e5, 9e5]),
    # Crossing at the origin; products of three coordinates overflowed: [0.0, inf].
    (([-1e103, 0.0], [1e103, 0.0], [0.0, -1e103], [0.0, 1e103]), [0.0, 0.0]),
    (([-1e300, -1e300], [1e300, 1e300], [-1e300, 1e300], [1e300, -1e300]), [0.0, 0.0]),
    # S1 ends one spacing of doubles (16) short of S2, which Boost takes for a
    # touch; its point was S1's far end [0.0, 1e17].
    (([1e17, 1e17 + 16], [0.0, 1e17], [1e17 + 32, 1e17], [1e17 + 16, 1e17]), [1e17, 1e17]),
], ids=["shared-end", "touching-end", "huge-coordinates", "near-the-limit", "touching-within-a-spacing"])
def test_nearly_collinear_or_huge_segments_meet_on_both(segments, expected):
    found = planix.intersection_seg_seg(*segments)
    assert found == pytest.approx(expected, rel=1e-9, abs=1e-9)
