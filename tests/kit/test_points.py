"""Survey files and point clouds: CSV, LAS/LAZ and Parquet located into files
of their own kind (curvixkit.points, curvix locate --points FILE -o OUT),
and dask DataFrames (curvixkit.dask, examples/point_cloud_distributed.py)."""
import csv
import importlib
import os
import subprocess
import sys

import numpy as np
import pytest

from curvixkit import Alignment
from curvixkit.errors import MissingExtraError, PointFileError
from curvixkit.points import locate_file, read_points

from conftest import EXAMPLES

RAILWAY = Alignment.from_icd(EXAMPLES / "railway_10km.icd")
PROFILED = Alignment.from_landxml(EXAMPLES / "station_equation.xml")
# Rows per chunk in these tests: small, so that 101 points make several
# chunks and a short last one.
CHUNK = 16


def cloud(a, n=101, seed=1):
    """x, y, z of n points up to 40 m either side of the alignment (some
    beyond its ends), the first two rows NaN in x and in y."""
    rng = np.random.RandomState(seed)
    s = rng.uniform(a.start_station - 30, a.end_station + 30, n)
    xy = a.point(s, offsets=rng.uniform(-40, 40, n), extend=True)
    xyz = np.column_stack([xy, rng.uniform(-5, 5, n) + np.nan_to_num(a.elevation(s))])
    xyz[0, 0] = xyz[1, 1] = np.nan
    return xyz


def write_csv(path, xyz):
    # A comment, a ; delimiter, a quoted cell holding it, an empty cell for NaN.
    with open(path, "w", newline="") as f:
        f.write("# job 17\n")
        w = csv.writer(f, delimiter=";", lineterminator="\n")
        w.writerow(["Point", "Code", "E", "N", "Elev", "Note"])
        for k, (x, y, z) in enumerate(xyz.tolist()):
            w.writerow(["P%d" % k, "TR;KB" if k % 7 == 0 else "EP", "" if x != x else repr(x),
                        "" if y != y else repr(y), repr(z), "n%d" % (k * k)])


def write_las(path, xyz):
    laspy = pytest.importorskip("laspy")
    good = np.isfinite(xyz).all(axis=1)   # LAS holds integers: no NaN
    header = laspy.LasHeader(point_format=3, version="1.4" if path.endswith("z") else "1.2")
    header.scales, header.offsets = [0.001] * 3, np.floor(np.nanmin(xyz, axis=0))
    header.add_extra_dims([laspy.ExtraBytesParams("amplitude", "f4")])
    las = laspy.LasData(header)
    las.x, las.y, las.z = (xyz[good, k] for k in range(3))
    n = int(good.sum())
    las.intensity, las.classification = np.arange(n) * 7, np.arange(n) % 20
    las.gps_time, las.amplitude = np.linspace(1e5, 2e5, n), np.arange(n) / 3.0
    las.return_number = 1 + np.arange(n) % 3
    las.write(path)


def write_parquet(path, xyz):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    n = len(xyz)
    table = pa.table({"id": np.arange(n, dtype=np.int32), "X": xyz[:, 0],
                      "Y": pa.array(xyz[:, 1], mask=np.isnan(xyz[:, 1])), "Z": xyz[:, 2],
                      "code": ["c%d" % (k % 5) for k in range(n)],
                      "when": pa.array(np.arange(n) * 10 ** 6, pa.timestamp("us"))})
    pq.write_table(table, path, row_group_size=40)


WRITERS = {"csv": write_csv, "las": write_las, "laz": write_las, "parquet": write_parquet}


def own_rows(path, kind):
    """Every column of a file as lists of values, and the located columns."""
    if kind == "csv":
        with open(path, newline="") as f:
            rows = [r for r in csv.reader(f, delimiter=";") if not r[0].startswith("#")]
        cols = {n: [r[k] for r in rows[1:]] for k, n in enumerate(rows[0])}
    elif kind in ("las", "laz"):
        las = importlib.import_module("laspy").read(path)
        cols = {n: np.asarray(las[n]).tolist() for n in las.point_format.dimension_names}
    else:
        cols = importlib.import_module("pyarrow.parquet").read_table(path).to_pydict()
    added = {n: np.array(cols.pop(n), dtype=float) for n in ("station", "offset", "distance", "dz")
             if n in cols}
    return {n: [None if v != v else v for v in c] for n, c in cols.items()}, added


def expected(a, xyz, options):
    """Rows kept and the located columns, from one Alignment.locate call."""
    limit = options.get("max_distance", np.inf)
    if options.get("all"):
        f = a.locate(xyz, limit, all=True)
        return f.query, f
    f = a.locate(xyz, limit)
    take = np.flatnonzero(f.distance <= limit) if "max_distance" in options else np.arange(len(xyz))
    return take, f._replace(**{k: getattr(f, k)[take] for k in ("station", "offset", "distance",
                                                                    "dz")})


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "curvixkit", "locate"] + [str(a) for a in args],
                          cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)


OPTIONS = [{}, {"max_distance": 12.5}, {"all": True, "max_distance": 60.0}]


@pytest.mark.parametrize("options", OPTIONS, ids=["nearest", "max_distance", "all"])
@pytest.mark.parametrize("kind", ["csv", "las", "laz", "parquet"])
@pytest.mark.parametrize("a", [RAILWAY, PROFILED], ids=["railway", "profile"])
def test_file_keeps_its_columns_and_adds_what_locate_answers(tmp_path, a, kind, options):
    src, dst = str(tmp_path / ("in." + kind)), str(tmp_path / ("out." + kind))
    xyz = cloud(a)
    WRITERS[kind](src, xyz)
    calls = []
    done = locate_file(a, src, dst, chunk_size=CHUNK, progress=lambda *c: calls.append(c),
                       **options)
    before, _ = own_rows(src, kind)
    after, added = own_rows(dst, kind)
    points = np.concatenate([c.xyz for c in read_points(src, chunk_size=CHUNK)])
    take, found = expected(a, points, options)
    assert list(after) == list(before)     # every column, in order
    assert {n: [v[i] for i in take] for n, v in before.items()} == after
    assert sorted(added) == sorted(done.added) == sorted(
        ["station", "offset", "distance"] + (["dz"] if a is PROFILED else []))
    for name, values in added.items():
        np.testing.assert_array_equal(values, getattr(found, name), err_msg=name)
    assert (done.points, done.rows) == (len(points), len(take)) and calls[-1][0] == len(points)
    assert sorted(os.listdir(str(tmp_path))) == ["in." + kind, "out." + kind]
    if kind in ("las", "laz"):
        heads = [importlib.import_module("laspy").read(p).header for p in (src, dst)]
        assert len({(tuple(h.scales), tuple(h.offsets), str(h.version)) for h in heads}) == 1
    if kind in ("laz", "csv") and not options.get("all"):
        # The command line writes the same file.
        extra = ["--max-distance", options["max_distance"]] if options else []
        r = cli(a.path, "--points", src, "-o", tmp_path / ("cli." + kind), *extra)
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
        assert own_rows(str(tmp_path / ("cli." + kind)), kind) [0] == after


def test_headerless_text_takes_column_numbers(tmp_path):
    # Spaces, runs of them and at the ends; x and y given as columns 3 and 2.
    (tmp_path / "p.txt").write_text(" A  31486.225 18604.474 \nB 32171.913   19453.592\n")
    r = cli(RAILWAY.path, "--points", "p.txt", "--x", "3", "--y", "2", "--format", "csv",
            cwd=str(tmp_path))
    rows = list(csv.DictReader(r.stdout.splitlines()))
    found = RAILWAY.locate([[18604.474, 31486.225], [19453.592, 32171.913]])
    assert [float(row["station"]) for row in rows] == found.station.tolist()


def truncated_las(path):
    write_las(path, cloud(RAILWAY, 50)[2:])
    data = open(path, "rb").read()
    open(path, "wb").write(data[:-34 * 10 - 5])   # 10 records and 5 bytes short


def parquet_of(**columns):
    def write(path):
        pa = pytest.importorskip("pyarrow")
        importlib.import_module("pyarrow.parquet").write_table(pa.table(columns), path)
    return write


BAD = [  # (case, suffix, writer, options, row, column)
    ("too few fields", "csv", "x,y,z\n1,2,3\n\n4,5\n", {}, 4, None),
    ("not a number", "csv", "name,x,y\nA,1,2\nB,3,4O\n", {}, 3, "y"),
    ("no x column", "csv", "name,a,b\nA,1,2\n", {}, None, "x"),
    ("named column missing", "csv", "x,y\n1,2\n", {"z": "H"}, None, "H"),
    ("empty file", "csv", "", {}, 1, None),
    ("truncated LAS", "las", truncated_las, {}, 39, None),
    ("LAS dimension missing", "las", lambda p: write_las(p, cloud(RAILWAY, 5)), {"x": "E"},
     None, "E"),
    ("text coordinates", "parquet", parquet_of(x=["1"], y=[2.0]), {}, None, "x"),
    ("not Parquet", "parquet", "PAR1 not really", {}, None, None),
]


@pytest.mark.parametrize("case, suffix, write, options, row, column", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_error_naming_where_and_writes_nothing(tmp_path, case, suffix, write,
                                                                options, row, column):
    pytest.importorskip({"las": "laspy", "parquet": "pyarrow"}.get(suffix, "csv"))
    src, dst = str(tmp_path / ("in." + suffix)), tmp_path / ("out." + suffix)
    if callable(write):
        write(src)
    else:
        open(src, "w").write(write)
    dst.write_bytes(b"older file")
    with pytest.raises(PointFileError) as err:
        locate_file(RAILWAY, src, dst, **options)
    assert (err.value.row, err.value.column, err.value.path) == (row, column, src)
    flags = [a for k, v in options.items() for a in ("--" + k, v)]
    r = cli(RAILWAY.path, "--points", src, "-o", dst, *flags)
    assert (r.returncode, r.stdout, r.stderr) == (2, "", "curvix locate: error: %s\n" % err.value)
    assert dst.read_bytes() == b"older file" and len(os.listdir(str(tmp_path))) == 2


def test_output_over_its_input_is_refused(tmp_path):
    write_csv(str(tmp_path / "p.csv"), cloud(RAILWAY, 3))
    with pytest.raises(PointFileError, match="is also the input"):
        locate_file(RAILWAY, tmp_path / "p.csv", tmp_path / "." / "p.csv")


@pytest.mark.parametrize("extra, module, suffix", [("las", "laspy", "las"),
                                                    ("parquet", "pyarrow", "parquet")])
def test_missing_extra_names_it(tmp_path, monkeypatch, extra, module, suffix):
    pytest.importorskip(module)   # to write the file
    WRITERS[suffix](str(tmp_path / ("p." + suffix)), cloud(RAILWAY, 3))
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(MissingExtraError, match=r'pip install "curvix\[%s\]"' % extra):
        locate_file(RAILWAY, tmp_path / ("p." + suffix), tmp_path / ("o." + suffix))


# -------------------------------------------------------------------- dask

def test_dataframe_ships_the_alignment_as_one_key():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    from curvixkit.dask import locate_dataframe
    xyz = cloud(PROFILED)
    frame = dd.from_pandas(pd.DataFrame({"E": xyz[:, 0], "N": xyz[:, 1], "H": xyz[:, 2]}),
                           npartitions=5)
    located = locate_dataframe(PROFILED, frame, "E", "N", "H", max_distance=12.5)
    keys = [k for k in dict(located.__dask_graph__())
            if str(k[0] if isinstance(k, tuple) else k).startswith("alignment-")]
    got = located.compute(scheduler="sync")
    take, found = expected(PROFILED, xyz, {"max_distance": 12.5})
    assert len(keys) == 1 and list(got.index) == take.tolist()
    for name in ("station", "offset", "distance", "dz"):
        np.testing.assert_array_equal(got[name].to_numpy(), getattr(found, name), err_msg=name)


def test_distributed_example_locates_every_point(tmp_path, monkeypatch):
    pytest.importorskip("distributed")
    pytest.importorskip("pyarrow")
    import dask.dataframe as dd
    monkeypatch.syspath_prepend(str(EXAMPLES))
    example = importlib.import_module("point_cloud_distributed")
    data = example.write_cloud(RAILWAY, str(tmp_path / "cloud"), 3000, files=3)
    result = example.main(["--points", "0", "--data", data, "--out", str(tmp_path / "out"),
                           "--workers", "2", "--max-distance", "20"])
    got, source = dd.read_parquet(result["out"]).compute(), dd.read_parquet(data).compute()
    take, found = expected(RAILWAY, source[["x", "y"]].to_numpy(), {"max_distance": 20.0})
    assert result["rows"] == len(take) == len(got) and 0 < len(take) < 3000
    np.testing.assert_array_equal(got.station.to_numpy(), found.station)
    np.testing.assert_array_equal(got.intensity.to_numpy(), source.intensity.to_numpy()[take])


def test_each_graph_keeps_its_own_scattered_alignment():
    # Scattered under a key made from its content, the alignment of a graph
    # was released when the future of the call before it was dropped: of
    # calls in a row on one client, a later one failed with "lost
    # dependencies" (smallest: four calls on 4 partitions of 101 points).
    distributed = pytest.importorskip("distributed")
    dd, pd = pytest.importorskip("dask.dataframe"), pytest.importorskip("pandas")
    from curvixkit.dask import locate_dataframe
    xyz = cloud(RAILWAY)
    frame = dd.from_pandas(pd.DataFrame({"x": xyz[:, 0], "y": xyz[:, 1]}), npartitions=4)
    with distributed.Client(n_workers=1, threads_per_worker=1, processes=False,
                            dashboard_address=None) as client:
        runs = [locate_dataframe(RAILWAY, frame, client=client).station.compute().to_numpy()
                for _ in range(4)]
    for station in runs:
        np.testing.assert_array_equal(station, RAILWAY.locate(xyz[:, :2]).station)
