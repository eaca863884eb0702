"""The ``curvix`` command line, run as a user runs it, on the sample alignments."""

import csv
import importlib.machinery
import io
import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

import curvix
from curvixkit import Alignment
from curvixkit.cli.progress import Progress
from curvixkit.stations import format_station, parse_station

from conftest import EXAMPLES
RAILWAY = EXAMPLES / "railway_10km.icd"
WORKED = EXAMPLES / "worked_example.icd"
SAMPLES = [RAILWAY, WORKED]


def run(cwd, *args, stdin=None):
    return subprocess.run([sys.executable, "-m", "curvixkit"] + [str(a) for a in args],
                          cwd=str(cwd), input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)


def ok(cwd, *args, stdin=None):
    r = run(cwd, *args, stdin=stdin)
    assert (r.returncode, r.stderr) == (0, "")
    return r.stdout


def xy(pqx, pk):
    v = pqx.get_coordinate(pk)
    return v.X(), v.Y()


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def file_elements(path):
    """The element lines of an ICD file: (type, fields as floats), comments
    skipped, up to the end line."""
    out = []
    for line in path.read_text(encoding="utf-8").splitlines()[2:]:
        if line.startswith("//"):
            continue
        fields = line.split(",")
        if len(fields) == 3 and int(float(fields[2])) == 0:
            break
        out.append((int(fields[0]), [float(f) for f in fields[1:]]))
    return out


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("cli")


def boundaries(path):
    e = Alignment.from_icd(path).elements
    return [x.start_station for x in e] + [e[-1].end_station]


def kit_xy(path, pk):
    x, y = Alignment.from_icd(path).point(pk)
    return float(x), float(y)


# ------------------------------------------------------- elements of a file

@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.stem)
def test_elements_agree_with_the_file(path):
    a = Alignment.from_icd(path)
    lines = path.read_text(encoding="utf-8").splitlines()
    y0, x0, az0 = (float(f) for f in lines[1].split(",")[:3])
    assert a.start_station == float(lines[0])
    assert a.elements[0].start == (x0, y0)
    assert a.elements[0].start_azimuth == pytest.approx(az0, abs=1e-15)
    assert len(a.elements) == len(file_elements(path))
    for e, (code, f) in zip(a.elements, file_elements(path)):
        if code == 1:
            assert (e.kind, e.length, e.turn, e.start_radius) == ("line", f[0], 0, math.inf)
        elif code == 2:
            assert (e.kind, e.start_radius, e.length, e.turn) == ("arc", f[0], f[1], f[2])
            assert e.A is None
        else:
            A, radii, d = f[0], {3: (math.inf, f[1]), 4: (f[1], math.inf)}.get(code, (f[1], f[2])), f[-1]
            assert (e.kind, e.turn) == ("clothoid", d)
            assert (e.A, e.start_radius, e.end_radius) == pytest.approx((A, radii[0], radii[1]), rel=1e-12)
            assert e.length == pytest.approx(abs(A * A / radii[0] - A * A / radii[1]), rel=1e-14)


@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.stem)
def test_tangent_azimuth_agrees_with_chord_direction(path):
    a = Alignment.from_icd(path)
    pqx = curvix.PQX(str(path))
    for e in a.elements:
        for t in (0.05, 0.3, 0.5, 0.77, 0.95):
            pk = e.start_station + t * e.length
            az = a.azimuth(pk)
            d = pqx.get_dir(pk, 1e-3)
            # sine of the angle between the chord and the tangent (sin a, cos a)
            assert abs(d.X() * math.cos(az) - d.Y() * math.sin(az)) < 1e-6, (e.kind, pk)
            assert d.X() * math.sin(az) + d.Y() * math.cos(az) > 0


# ---------------------------------------------------------------------- info

@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.stem)
def test_info_table_agrees_with_coordinates(workdir, path):
    out = ok(workdir, "info", path).splitlines()
    pqx = curvix.PQX(str(path))
    elements = Alignment.from_icd(path).elements
    assert out[1].split()[2:] == [format_station(pqx.start_pk), "%.3f" % pqx.start_pk]
    assert out[2].split()[2:] == [format_station(pqx.end_pk), "%.3f" % pqx.end_pk]
    rows = [line.split() for line in out if line[:3].strip().isdigit()]
    codes = [code for code, _ in file_elements(path)]
    assert len(rows) == len(elements) == len(codes)
    for k, (row, e) in enumerate(zip(rows, elements)):
        assert row[0] == str(k + 1) and row[1] == e.kind and row[2] == str(codes[k])
        assert row[4:8] == [format_station(e.start_station), "%.3f" % e.start_station,
                            format_station(e.end_station), "%.3f" % e.end_station]
        x, y = xy(pqx, e.start_station)
        assert float(row[12]) == pytest.approx(x, abs=5e-4)
        assert float(row[13]) == pytest.approx(y, abs=5e-4)
    total = [line for line in out if line.startswith("total")][0]
    assert "%d elements, length %.3f" % (len(elements), pqx.end_pk - pqx.start_pk) in total


# -------------------------------------------------------------------- sample

RANGES = [(), ("--from", "K13+500", "--to", "13560.5"), ("--from", "12650.0625", "--to", "K12+650.0625")]


@pytest.mark.parametrize("step", [20.0, 7.5])
@pytest.mark.parametrize("span", RANGES, ids=["whole", "part", "one-boundary"])
def test_sample_csv_stations_and_coordinates(workdir, step, span):
    rows = csv_rows(ok(workdir, "sample", RAILWAY, "--step", step, "--format", "csv", *span))
    pqx = curvix.PQX(str(RAILWAY))
    kit = Alignment.from_icd(RAILWAY)
    bounds = boundaries(RAILWAY)
    lo = parse_station(span[1]) if span else kit.start_station
    hi = parse_station(span[3]) if span else kit.end_station
    stations = [float(r["station"]) for r in rows]
    assert stations[0] == lo and stations[-1] == hi
    assert all(b - a > 1e-6 for a, b in zip(stations, stations[1:]))
    grid = [k * step for k in range(math.ceil(lo / step), math.floor(hi / step) + 1)]
    inside = [s for s in bounds if lo <= s <= hi]
    for s in grid + inside:
        assert min(abs(s - t) for t in stations) <= 1e-6
    # nothing else: every row is the range's start or end, a boundary or a grid station
    assert len(stations) <= len(set(grid) | set(inside) | {lo, hi})
    flagged = [float(r["station"]) for r in rows if r["boundary"] == "1"]
    assert len(flagged) == len([s for s in bounds if lo - 1e-6 <= s <= hi + 1e-6])
    for r in rows:
        pk = float(r["station"])
        assert (float(r["x"]), float(r["y"])) == tuple(kit.point(pk))
        assert (float(r["x"]), float(r["y"])) == pytest.approx(xy(pqx, pk), abs=1e-6)
        assert r["chainage"] == format_station(pk)
        a, d = float(r["azimuth_rad"]), pqx.get_dir(pk, 1e-3)
        assert abs(d.X() * math.cos(a) - d.Y() * math.sin(a)) < 1e-6
        assert float(r["azimuth_deg"]) == pytest.approx(math.degrees(a), abs=1e-9)


def test_sample_table_boundary_rows_agree_with_coordinates(workdir):
    out = ok(workdir, "sample", WORKED, "--step", 30).splitlines()
    pqx = curvix.PQX(str(WORKED))
    boundary_rows = [line.split() for line in out[1:] if line.endswith("|")]
    stations = boundaries(WORKED)
    assert [float(r[0]) for r in boundary_rows] == pytest.approx(stations, abs=5e-4)
    for row, pk in zip(boundary_rows, stations):
        assert row[1] == format_station(pk)
        assert [float(v) for v in row[2:4]] == pytest.approx(xy(pqx, pk), abs=5e-4)
    assert float(out[-1].split()[0]) == pytest.approx(pqx.end_pk, abs=5e-4)


@pytest.mark.parametrize("crs", [None, "EPSG:4547"])
def test_sample_geojson_matches_get_coordinate(workdir, crs):
    # Plane coordinates; --plane names the CRS in an old-style crs member
    # (WGS 84 output is tested with pyproj in test_stakeout.py).
    args = ["sample", RAILWAY, "--format", "geojson"] + (["--crs", crs, "--plane"] if crs else [])
    r = run(workdir, *args)
    # The sample's coordinates are a local grid, far from where EPSG:4547 is
    # used: pyproj says so where it is installed (a CRS only named is not
    # checked without it).
    try:
        import pyproj  # noqa: F401
        warned = crs is not None
    except ImportError:
        warned = False
    assert r.returncode == 0 and r.stderr.count("\n") == warned
    assert not warned or "outside the area of use of EPSG:4547" in r.stderr
    doc = json.loads(r.stdout)
    kit = Alignment.from_icd(RAILWAY)
    assert doc["type"] == "FeatureCollection"
    if crs:
        assert doc["crs"] == {"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::4547"}}
    else:
        assert "crs" not in doc
    roles = [f["properties"]["role"] for f in doc["features"]]
    assert roles == ["alignment"] + ["element"] * len(kit.elements) + ["boundary"] * (len(kit.elements) + 1)
    line, points = doc["features"][0], doc["features"][1 + len(kit.elements):]
    coords = line["geometry"]["coordinates"]
    assert line["geometry"]["type"] == "LineString"
    assert [tuple(coords[0]), tuple(coords[-1])] == [kit_xy(RAILWAY, kit.start_station),
                                                     kit_xy(RAILWAY, kit.end_station)]
    bounds = boundaries(RAILWAY)
    assert [p["properties"]["boundary"] for p in points] == list(range(len(bounds)))
    assert [p["properties"]["station"] for p in points] == pytest.approx(bounds, abs=1e-9)
    for p in points:
        assert p["geometry"]["type"] == "Point"
        assert tuple(p["geometry"]["coordinates"]) == kit_xy(RAILWAY, p["properties"]["station"])


def test_sample_last_row_is_the_end_station_with_a_point(tmp_path):
    # 0.1 + 0.2 + 0.3 summed from the start station is 0.6000000000000001, one
    # bit past (0.2 + 0.3) + 0.1 = 0.6 where the legacy loader ends the range;
    # the last row is the engine's end station and has a point.
    (tmp_path / "tiny.icd").write_text("0.1\n5,7,0\n1,0.2\n1,0.3\n")
    s = boundaries(tmp_path / "tiny.icd")
    rows = csv_rows(ok(tmp_path, "sample", "tiny.icd", "--step", "0.25", "--format", "csv"))
    assert [float(r["station"]) for r in rows] == [s[0], 0.25, s[1], 0.5, s[2]]
    assert [r["boundary"] for r in rows] == ["1", "0", "1", "0", "1"]
    assert (float(rows[-1]["x"]), float(rows[-1]["y"])) == pytest.approx((7.0, 5.5), abs=1e-12)


def test_sample_writes_the_file_named_by_output(workdir):
    printed = ok(workdir, "sample", WORKED, "--format", "csv")
    assert ok(workdir, "sample", WORKED, "--format", "csv", "-o", "w.csv") == ""
    assert (workdir / "w.csv").read_text() == printed


# -------------------------------------------------------------------- locate

def test_locate_round_trips_offset_points(workdir):
    pqx = curvix.PQX(str(RAILWAY))
    rows = csv_rows(ok(workdir, "sample", RAILWAY, "--step", 700, "--format", "csv"))
    cases = []  # (station, signed offset to the right, x, y)
    for r in rows:
        pk, x, y, a = (float(r[k]) for k in ("station", "x", "y", "azimuth_rad"))
        for d in (0.0, 4.0, -4.0):
            cases.append((pk, d, x + d * math.cos(a), y - d * math.sin(a)))
    (workdir / "points.csv").write_text(
        "x,y\n" + "".join("%r,%r\n" % (c[2], c[3]) for c in cases))
    found = csv_rows(ok(workdir, "locate", RAILWAY, "--points", "points.csv", "--format", "csv"))
    assert len(found) == len(cases)
    for (pk, d, x, y), f in zip(cases, found):
        assert (float(f["x"]), float(f["y"])) == (x, y)
        assert float(f["station"]) == pytest.approx(pk, abs=1e-5)
        assert float(f["distance"]) == pytest.approx(abs(d), abs=1e-6)
        assert float(f["offset"]) == pytest.approx(d, abs=1e-6)
        if d:
            assert f["side"] == ("right" if d > 0 else "left")
            assert pqx.get_side(x, y) == (1 if d > 0 else -1)


def test_locate_positional_points_and_stdin_agree(workdir):
    table = ok(workdir, "locate", RAILWAY, "19000", "31800", "22050.5", "33010", "--format", "csv")
    piped = ok(workdir, "locate", RAILWAY, "--points", "-", "--format", "csv",
               stdin="19000,31800\n22050.5,33010\n")
    assert table == piped
    pqx = curvix.PQX(str(RAILWAY))
    first = csv_rows(table)[0]
    assert float(first["station"]) == Alignment.from_icd(RAILWAY).locate((19000.0, 31800.0)).station
    assert float(first["station"]) == pytest.approx(
        pqx.get_station_by_point(19000.0, 31800.0, 10, 1e-9), abs=1e-6)


# ------------------------------------------------------------------ chainage

@pytest.mark.parametrize("pk, decimals, text", [
    (12345.678, 3, "K12+345.678"),
    (12999.9996, 3, "K13+000.000"),
    (999.99951, 3, "K1+000.000"),
    (999999.9999, 3, "K1000+000.000"),
    (1000.0, 3, "K1+000.000"),
    (0.0, 3, "K0+000.000"),
    (-0.0004, 3, "K0+000.000"),
    (-12.5, 3, "-K0+012.500"),
    (-1999.9996, 3, "-K2+000.000"),
    (12399.6, 0, "K12+400"),
    (7.25, 1, "K0+007.2"),
    (float("nan"), 3, "nan"),
])
def test_chainage_format_carries(pk, decimals, text):
    assert format_station(pk, "k", decimals) == text


@pytest.mark.parametrize("text, pk", [
    ("K12+345.678", 12345.678), ("k0+012.5", 12.5), ("-K0+012.5", -12.5), ("K13+000", 13000.0),
    (" 12345.678 ", 12345.678), ("-3", -3.0),
])
def test_station_parses_number_or_chainage(text, pk):
    assert parse_station(text) == pk


@pytest.mark.parametrize("text", ["K1+1000", "K+5", "K1-5", "nan", "inf", "12a", ""])
def test_station_parse_refuses(text):
    with pytest.raises(ValueError):
        parse_station(text)


# ---------------------------------------------------------------------- plot

def test_plot_writes_a_png(workdir):
    pytest.importorskip("matplotlib")
    ok(workdir, "plot", RAILWAY, "-o", "plan.png", "--tick", 250)
    data = (workdir / "plan.png").read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert width > 800 and height > 600 and len(data) > 30000


def test_plot_without_matplotlib_names_the_extra(workdir):
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "from curvixkit.cli import main\n"
            "sys.exit(main(['plot', %r, '-o', 'x.png']))" % str(WORKED))
    r = subprocess.run([sys.executable, "-c", code], cwd=str(workdir), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, universal_newlines=True)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr.count("\n") == 1 and 'pip install "curvix[plot]"' in r.stderr


# -------------------------------------------------------------------- errors

BAD_FILES = [
    # (name, bytes, line in the message or None, command)
    ("missing.icd", None, None, "info"),
    ("bad_number.icd", b"100\n250,400,0.5\n1,100\n2,300,x,1\n1,5\n", 4, "info"),
    ("bad_utf8.icd", b"100\n250,400,0.5\n// \xff\n1,100\n", 3, "sample"),
    ("bad_type.icd", b"100\n250,400,0.5\n1,100\n7,1,1\n", 4, "locate"),
    ("empty_line.icd", b"100\n250,400,0.5\n1,100\n\n\n", 4, "sample"),
    ("start.icd", b"abc\n", 1, "info"),
]


@pytest.mark.parametrize("name, content, line, command", BAD_FILES, ids=[c[0] for c in BAD_FILES])
def test_bad_file_is_one_line_and_status_2(tmp_path, name, content, line, command):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises((OSError, ValueError)) as loader:
        Alignment.from_icd(path)
    extra = {"info": [], "sample": [], "locate": ["1", "2"]}[command]
    r = run(tmp_path, command, name, *extra)
    assert (r.returncode, r.stdout, r.stderr.count("\n")) == (2, "", 1)
    message = getattr(loader.value, "strerror", None) or loader.value.message
    assert r.stderr.endswith(message + "\n") and name in r.stderr and "Traceback" not in r.stderr
    assert ("line %d" % line in r.stderr) if line else ("line" not in r.stderr)


BAD_ARGS = [
    [],
    ["frob", WORKED],
    ["info"],
    ["sample", WORKED, "--step", "0"],
    ["sample", WORKED, "--step", "x"],
    ["sample", WORKED, "--format", "kml"],
    ["sample", WORKED, "--crs", "4547", "--format", "geojson"],
    ["sample", WORKED, "--crs", "EPSG:4547"],
    ["sample", WORKED, "--from", "K0+050"],
    ["sample", WORKED, "--to", "700"],
    ["sample", WORKED, "--from", "500", "--to", "400"],
    ["sample", WORKED, "--step", "1e-7"],
    ["sample", WORKED, "-o", "no/such/dir/out.csv"],
    ["locate", WORKED],
    ["locate", WORKED, "1", "2", "3"],
    ["locate", WORKED, "1", "nan"],
    ["locate", WORKED, "--points", "nowhere.csv"],
    ["locate", WORKED, "--points", "-"],
    ["plot", WORKED],
    ["plot", WORKED, "-o", "x.png", "--tick", "-100"],
    ["sample", "/"],
]


@pytest.mark.parametrize("args", BAD_ARGS, ids=lambda a: " ".join(str(x) for x in a)[:40])
def test_bad_arguments_are_one_line_and_status_2(tmp_path, args):
    stdin = "1,2\nthree,4\n" if "-" in args else None
    r = run(tmp_path, *args, stdin=stdin)
    assert (r.returncode, r.stdout, r.stderr.count("\n")) == (2, "", 1), r.stderr
    assert r.stderr.startswith("curvix") and "Traceback" not in r.stderr


@pytest.mark.parametrize("command", ["info", "sample"])
def test_file_without_elements_is_refused(tmp_path, command):
    (tmp_path / "start.icd").write_text("100\n250,400,0.5\n")
    r = run(tmp_path, command, "start.icd")
    assert (r.returncode, r.stdout, r.stderr.count("\n")) == (2, "", 1)
    assert r.stderr.startswith("curvix %s: error: start.icd: line " % command)


def test_console_script_matches_module(workdir):
    script = Path(sys.executable).with_name("curvix")
    if not script.exists():
        pytest.skip("no console script next to this interpreter")
    r = subprocess.run([str(script), "info", str(WORKED)], cwd=str(workdir),
                       stdout=subprocess.PIPE, universal_newlines=True)
    assert (r.returncode, r.stdout) == (0, ok(workdir, "info", WORKED))


@pytest.mark.parametrize("command", ["info", "sample", "locate", "stakeout", "convert", "check", "plot"])
def test_help_shows_an_example(workdir, command):
    out = ok(workdir, command, "--help")
    assert "usage: curvix %s" % command in out
    assert "\n  curvix %s examples/" % command in out


# ------------------------------------------------------------------ progress

def test_progress_draws_on_a_terminal_and_clears():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    term, pipe = Terminal(), io.StringIO()
    for stream in (term, pipe):
        with Progress(200, "sample", stream=stream, delay=0.0) as bar:
            bar.update(50)
    assert pipe.getvalue() == ""
    drawn, cleared = term.getvalue().split("\r")[1:3]
    assert drawn.startswith("sample [") and " 25%  50/200" in drawn
    assert cleared.strip() == "" and term.getvalue().endswith("\r")
