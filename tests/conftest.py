import math
import os
import sys
from pathlib import Path

import pytest
from hypothesis import settings

# Property tests draw from a fixed seed by default, so that a rare failing
# case cannot decide whether a change lands; HYPOTHESIS_PROFILE=random draws
# new cases each run (README: "Random property cases").
settings.register_profile("fixed", derandomize=True, deadline=None)
settings.register_profile("random", derandomize=False, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "fixed"))

REPO = Path(__file__).resolve().parents[1]
EXAMPLES = REPO / "examples"
# Real exports from design software, beside CI's checkout but not beside a
# user's: tests that read them skip, saying why, where they are absent.
SHARED = REPO.parent / "shared"


def shared(*parts):
    """The path of a file under ../shared, or a skip where it is absent."""
    path = SHARED.joinpath(*parts)
    if not path.exists():
        pytest.skip("%s is not beside the checkout (the real exports live in ../shared)" % path)
    return path


def shape_turn(kind, x):
    """The integral over [0, x] of the transition shape f of ``kind`` (the
    curvature is k0 + (k1 - k0) f(s / L), so the turning angle is
    L (k0 x + (k1 - k0) shape_turn(kind, x))), in mpmath numbers."""
    import mpmath
    pi = mpmath.pi
    if kind == "clothoid":
        return x * x / 2
    if kind == "bloss":
        return x ** 3 - x ** 4 / 2
    if kind == "cosine":
        return (x - mpmath.sin(pi * x) / pi) / 2
    if kind == "sine":
        return x * x / 2 + (mpmath.cos(2 * pi * x) - 1) / (4 * pi * pi)
    if kind == "helmert":
        h = mpmath.mpf(1) / 2
        return 2 * x ** 3 / 3 if x <= h else 1 / mpmath.mpf(12) + (x - h) + 2 * ((1 - x) ** 3 - h ** 3) / 3
    assert kind == "viennese"
    return 7 * x ** 5 - 14 * x ** 6 + 10 * x ** 7 - 5 * x ** 8 / 2


def shape_local(kind, k0, k1, length, lean, t, dps=40):
    """(along, aside, turn) at distance t along a transition of ``kind`` whose
    curvature is k0 + (k1 - k0) f(s / L), less lean / L^2 f''(s / L) for a
    leaning Viennese bend, in the frame of its start tangent (aside and turn
    towards the side k > 0 bends to): the integrals of cos and sin of the
    turning angle at dps digits (cut at sixteenths, Helmert's joint among
    them)."""
    import mpmath
    mp = mpmath.mp
    with mp.workdps(dps):
        k0, k1, length, lean = map(mp.mpf, (k0, k1, length, lean))

        def turn(u):
            x = u / length
            bend = lean / length * 140 * x ** 3 * (1 - x) ** 3 if kind == "viennese" else 0
            return length * (k0 * x + (k1 - k0) * shape_turn(kind, x)) - bend

        cuts = sorted(set([length * i / 16 for i in range(17) if length * i / 16 < t] + [mp.mpf(t)]))
        return (float(mp.quad(lambda u: mp.cos(turn(u)), cuts)),
                float(mp.quad(lambda u: mp.sin(turn(u)), cuts)), float(turn(mp.mpf(t))))


def cubic_local(k0, k1, length, t, dps=40):
    """(along, aside, turn) at arc length t of the cubic parabola y = c x^3 / 6
    whose y'' runs from k0 to k1 over the arc length ``length``, in the frame
    of its start tangent (aside and turn towards the side k > 0 bends to),
    from 40-digit mpmath quadrature and root finding."""
    import mpmath
    mp = mpmath.mp
    with mp.workdps(dps):
        k0, k1, length, t = map(mp.mpf, (k0, k1, length, t))

        def arc(c, a, b):
            return mp.quad(lambda u: mp.sqrt(1 + (c * u * u / 2) ** 2), [a, b])
        p = mp.findroot(lambda p: arc(1 / p, k0 * p, k1 * p) - length, length / (k1 - k0))
        c, x0 = 1 / p, k0 * p
        x = mp.findroot(lambda x: arc(c, x0, x) - t, x0 + (k1 - k0) * p * t / length)
        phi0 = mp.atan(c * x0 * x0 / 2)
        dx, dy = x - x0, c * (x ** 3 - x0 ** 3) / 6
        return (float(dx * mp.cos(phi0) + dy * mp.sin(phi0)),
                float(dy * mp.cos(phi0) - dx * mp.sin(phi0)), float(mp.atan(c * x * x / 2) - phi0))


def pytest_sessionstart(session):
    # The repository root holds C++ folders named like the modules; a test run
    # started from there could import one of them as an empty namespace
    # package. Fail loudly instead of testing the wrong thing.
    import curvix

    origin = getattr(curvix.__spec__, "origin", None) or ""
    if not origin.endswith((".so", ".pyd")):
        raise pytest.UsageError(
            "curvix resolves to %r, not the compiled module; run pytest from outside "
            "the repository root" % (origin,)
        )


@pytest.fixture
def write_icd(tmp_path):
    """Write ICD text (str, encoded UTF-8, or bytes) and return its path as str."""
    counter = [0]

    def write(content, name=None):
        counter[0] += 1
        path = tmp_path / (name or "case%d.icd" % counter[0])
        data = content.encode("utf-8") if isinstance(content, str) else content
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture(scope="session")
def railway_path():
    return str(EXAMPLES / "railway_10km.icd")


@pytest.fixture(scope="session")
def worked_example_path():
    return str(EXAMPLES / "worked_example.icd")


# Alignment used by the station and point-search examples: start station 100,
# start point (10, 20), azimuth 0; straight 100, right-hand arc of radius 100
# and length 50*pi, straight 100. Line 2 is "Y,X,azimuth".
QUERY_EXAMPLE = "100\n20,10,0\n1,100\n2,100,%r,1\n1,100\n" % (50 * math.pi)


@pytest.fixture
def query_example(write_icd):
    import curvix

    return curvix.PQX(write_icd(QUERY_EXAMPLE))


def pytest_report_header(config):
    import curvix

    return "curvix: %s (Python %s)" % (curvix.__spec__.origin, sys.version.split()[0])
