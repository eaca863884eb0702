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
