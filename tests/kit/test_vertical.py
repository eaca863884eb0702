"""The alignment in three dimensions through the public API: the published
figures of a real export, banked sections, heights of surveyed points, the
choice of profile, refusals of bad profiles, and the command line."""
import math
import pickle
import subprocess
import sys

import numpy as np
import pytest

from conftest import EXAMPLES, shared
from curvixkit import Alignment, LandXMLError

TOWN = EXAMPLES / "station_equation.xml"
TRACKS = EXAMPLES / "two_tracks.xml"


def cli(*args):
    return subprocess.run([sys.executable, "-m", "curvixkit"] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)


def test_stn02_meets_its_published_figures():
    # The dataset's control figures: 2D length 1458.5946, end point
    # (453616.1646, 4539926.1049, 4.0000), end chainage 5+779.2225, 3D
    # length 1458.6178 (see the README on how far the exact one lies from it).
    a = Alignment.from_landxml(shared("landxml", "stn02-station-equation.xml"))
    assert round(a.length, 4) == 1458.5946
    assert [round(v, 4) for v in a.point3d(a.end_station)] == [453616.1646, 4539926.1049, 4.0]
    assert a.stations.format(a.end_station, 4) == "K5+779.2225"
    assert round(a.length_3d, 4) == 1458.6181
    assert a.cant([300.0, 600.0, 1000.0]).tolist() == [0.06, -0.06, -0.05]  # metres, signed
    assert a.cant_design.notes  # the cant stations in the distance basis are named


def test_banked_rails_differ_by_the_cant_and_points_locate_back_with_their_height():
    a = Alignment.from_landxml(TRACKS, name="Up track")
    s = np.linspace(a.start_station, a.end_station, 97)
    g = a.cant_design.gauge
    left, right = (a.point3d(s, offsets=o, banked=True) for o in (-g / 2, g / 2))
    # The right rail is higher by the signed cant; the inside rail keeps the profile.
    assert right[:, 2] - left[:, 2] == pytest.approx(a.cant(s), abs=1e-12)
    low = np.where(a.cant(s) < 0, right[:, 2], left[:, 2])
    assert low == pytest.approx(a.elevation(s), abs=1e-12)
    # A point 0.4 above the banked section 1.2 m right of the centre line.
    p = a.point3d(s, offsets=1.2, heights=0.4, banked=True)
    found = a.locate(p)
    assert found.station == pytest.approx(s, abs=1e-7)
    assert found.dz == pytest.approx(np.full(s.shape, 0.4) / np.cos(a.cant_angle(s)), abs=1e-9)
    level = a.locate(a.point3d(s, offsets=1.2, heights=0.4), banked=False)
    assert level.dz == pytest.approx(0.4, abs=1e-12)
    assert np.isnan(Alignment.from_icd(EXAMPLES / "railway_10km.icd").locate(
        (20000.0, 32000.0, 5.0)).dz)


def test_profile_choice_and_ground_lines():
    assert Alignment.landxml_profiles(TOWN) == ["Main Street design"]  # not the ProfSurf
    assert Alignment.from_landxml(TOWN, profile=False).profile is None
    assert math.isnan(Alignment.from_landxml(TOWN, profile=False).elevation(10.0))
    assert Alignment.from_landxml(TOWN, profile="Main Street design").profile.name == \
        "Main Street design"
    with pytest.raises(LandXMLError, match="no profile named 'x'"):
        Alignment.from_landxml(TOWN, profile="x")
    a = Alignment.from_landxml(TOWN)
    assert a.elevation([0.0, 805.0]).tolist() == [52.3, 57.14]
    assert math.isnan(a.elevation(-1.0)) and a.elevation(-1.0, extend=True) == 52.3 - 0.03
    b = pickle.loads(pickle.dumps(a))
    assert (b.profile, b.elevation(300.0)) == (a.profile, a.elevation(300.0))


# The replacement of the first ParaCurve, where the refusal points (0: its
# line; 1: the next PVI, which does not follow it), element and field.
BAD = [("<PVI>10 nan</PVI>", 0, "PVI", "PVI"),
       ("<PVI>500 50</PVI>", 1, "ProfAlign", "station"),
       ('<CircCurve radius="0">210 58.6</CircCurve>', 0, "ProfAlign", "radius"),
       ('<ParaCurve length="900">210 58.6</ParaCurve>', 0, "ProfAlign", "length")]


@pytest.mark.parametrize("pvi, after, element, field", BAD)
def test_bad_profile_is_refused_naming_line_and_field(tmp_path, pvi, after, element, field):
    text = TOWN.read_text().replace('<ParaCurve length="120.0000">210.0000 58.6000</ParaCurve>',
                                    pvi)
    path = tmp_path / "bad.xml"
    path.write_text(text)
    line = next(i for i, t in enumerate(text.splitlines(), 1) if pvi in t) + after
    with pytest.raises(LandXMLError) as err:
        Alignment.from_landxml(path)
    assert (err.value.line, err.value.element, err.value.attribute) == (line, element, field)


def test_command_line_shows_the_third_dimension(tmp_path):
    info = cli("info", TOWN).stdout
    assert "profile        Main Street design" in info and "asymmetric_parabola" in info
    sample = cli("sample", TOWN, "--step", "100", "--format", "csv").stdout.splitlines()
    assert sample[0].endswith(",z,grade") and sample[1].split(",")[7] == "52.3"
    (tmp_path / "p.csv").write_text("x,y,z\n512403.2438,6710597.4474,60.0\n")
    located = cli("locate", TOWN, "--points", tmp_path / "p.csv", "--format", "csv").stdout
    dz = float(located.splitlines()[1].split(",")[7])
    assert dz == pytest.approx(60.0 - Alignment.from_landxml(TOWN).elevation(180.0), abs=1e-3)
    r = cli("check", shared("landxml", "toivola-m14334.xml"))
    assert r.returncode == 1 and "grade changes without a vertical curve" in r.stdout
