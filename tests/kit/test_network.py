"""curvixkit.Network: one search over many alignments gives the nearest of
their own answers; pickling, bad input, and point files on a network."""
import csv
import pickle

import numpy as np
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from curvixkit import Alignment, Network, NetworkLocated
from curvixkit.points import locate_file

def chain(rng, n):
    """n runs of line, clothoid, arc, clothoid; radii 150 m and up."""
    descs = []
    for k in rng.uniform(-1, 1, n) / 150.0:
        l1, l2, l3, l4 = rng.uniform(20.0, 300.0, 4)
        descs += [{"kind": "line", "length": l1},
                  {"kind": "clothoid", "length": l2, "start_curvature": 0.0, "end_curvature": k},
                  {"kind": "arc", "length": l3, "curvature": k},
                  {"kind": "clothoid", "length": l4, "start_curvature": k, "end_curvature": 0.0}]
    return descs


def area(seed, m):
    """m alignments: tracks side by side (copies of one chain moved by 5 m, so
    that two by two they tie), others of their own; every other with a profile."""
    rng = np.random.default_rng(seed)
    track, out = chain(rng, 2), []
    for e in range(m):
        descs, x, az = (track, 5.0 * (e // 2), 0.4) if e % 3 != 2 else (chain(rng, 2), 300.0, -1.0)
        end = sum(d["length"] for d in descs)
        out.append(Alignment.from_elements(0.0, x, 0.0, az, descs, profile=[
            (0.0, 100.0 + e), (end, 90.0)] if e % 2 else None))
    return out


# (700 points an alignment: from three alignments on, a batch large enough
# to be answered in its spatial order and scattered back.)
@given(seed=st.integers(0, 2 ** 32 - 1), m=st.integers(1, 5), per=st.sampled_from([100, 700]),
       limit=st.sampled_from([None, 25.0]), with_z=st.booleans())
@example(seed=1, m=4, per=700, limit=None, with_z=False)
def test_network_answers_as_the_nearest_of_its_alignments(seed, m, per, limit, with_z):
    alignments = area(seed, m)
    rng = np.random.default_rng(seed)
    pts = np.column_stack([np.concatenate([a.point(rng.uniform(0.0, a.length, per),
                                                   rng.uniform(-60.0, 60.0, per))
                                           for a in alignments]), rng.uniform(80, 120, per * m)])
    pts[::37, 0] = np.nan
    pts = pts if with_z else pts[:, :2]
    net = Network({"track %d" % e: a for e, a in enumerate(alignments)})
    found = net.locate(pts, limit)
    each = [a.locate(pts, np.inf if limit is None else limit) for a in alignments]
    distance = np.array([np.where(np.isnan(f.distance), np.inf, f.distance) for f in each])
    index = np.where(np.isinf(distance.min(axis=0)), -1, np.argmin(distance, axis=0))
    np.testing.assert_array_equal(found.index, index)
    for field in ("station", "offset", "distance", "element", "beyond", "dz"):  # NaN == NaN here
        want = np.array([getattr(f, field) for f in each])[np.maximum(index, 0), range(len(pts))]
        np.testing.assert_array_equal(getattr(found, field), want, err_msg=field)
    assert list(found.name) == [None if i < 0 else "track %d" % i for i in index]
    # a large batch is answered in its own order (as the alignments' are):
    # rows against the points' own queries
    rows = range(0, len(pts), 97)
    one = [net.locate(pts[i], limit) for i in rows]
    np.testing.assert_array_equal(found.station[rows], [f.station for f in one])
    np.testing.assert_array_equal(found.index[rows], [f.index for f in one])


def test_pickle_is_the_alignments_and_gives_the_same_answers():
    alignments = area(3, 4)
    net = Network({"up": alignments[0], "down": alignments[1], "siding": alignments[2]})
    back = pickle.loads(pickle.dumps(net))
    assert back.names == ("up", "down", "siding")
    assert pickle.loads(pickle.dumps(Network(alignments))).names == (None,) * 4
    pts = np.random.default_rng(1).uniform(-100.0, 900.0, (200, 2))
    for got, want in zip(back.locate(pts), net.locate(pts)):
        np.testing.assert_array_equal(got, want)
    assert len(pickle.dumps(net)) < 1.1 * len(pickle.dumps(alignments[:3]))
    one = net.locate([10.0, 20.0])
    assert isinstance(one, NetworkLocated) and one.name in net.names and one.index in (0, 1, 2)


A = area(5, 1)[0]
SHAPES = ("points must be one (x, y) or (x, y, z) point or an array of shape (N, 2) or (N, 3), "
          "got shape (3, 4)")
KINDS = "alignments must be a sequence of curvixkit.Alignment or a mapping name -> Alignment, got "


@pytest.mark.parametrize("call, kind, message", [
    (lambda: Network([]), ValueError, "alignments: a network needs at least one alignment"),
    (lambda: Network([A, 3]), TypeError, "alignments[1] must be a curvixkit.Alignment, got int"),
    (lambda: Network({"up": A, "down": "x"}), TypeError,
     "alignments['down'] must be a curvixkit.Alignment, got str"),
    (lambda: Network({1: A}), TypeError, "alignments: names must be str, got 1"),
    (lambda: Network(A), TypeError, KINDS + "Alignment"),
    (lambda: Network("tracks"), TypeError, KINDS + "str"),
    (lambda: Network([A]).locate(np.zeros((3, 4))), ValueError, SHAPES),
    (lambda: Network([A]).locate([["a", "b"]]), TypeError,
     "points must be real numbers, got an array of dtype <U1"),
    (lambda: Network([A]).locate([1.0, 2.0], -1), ValueError, "max_distance must be >= 0, got -1"),
    (lambda: Network([A]).locate([1.0, 2.0], "far"), TypeError,
     "max_distance must be a real number, got 'far'"),
])
def test_bad_input_is_refused_naming_the_argument(call, kind, message):
    with pytest.raises(kind) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_point_file_on_a_network_gains_the_alignment_columns(tmp_path):
    net = Network({"track %d" % e: a for e, a in enumerate(area(7, 3))})
    pts = np.random.default_rng(2).uniform(-50.0, 800.0, (40, 2)).tolist()
    src, dst = tmp_path / "p.csv", tmp_path / "o.csv"
    src.write_text("id,x,y\n" + "".join("p%d,%r,%r\n" % (i, *p) for i, p in enumerate(pts)))
    done = locate_file(net, src, dst, max_distance=60.0)
    assert done.added == ("station", "offset", "distance", "alignment", "alignment_name")
    found = net.locate(pts, 60.0)
    keep = np.flatnonzero(found.distance <= 60.0)
    rows = list(csv.DictReader(dst.open()))
    assert [r["id"] for r in rows] == ["p%d" % i for i in keep] and done.rows == len(keep)
    for column, field, kind in (("alignment", "index", int), ("alignment_name", "name", str),
                                ("station", "station", float)):
        assert [kind(r[column]) for r in rows] == getattr(found, field)[keep].tolist()
    with pytest.raises(ValueError) as excinfo:
        locate_file(net, src, tmp_path / "all.csv", all=True)
    assert str(excinfo.value) == "all=True needs an Alignment, not a Network (nearest points only)"


def test_dataframe_on_a_network_gains_the_alignment_columns():
    dd, pd = pytest.importorskip("dask.dataframe"), pytest.importorskip("pandas")
    from curvixkit.dask import locate_dataframe
    net = Network({"track %d" % e: a for e, a in enumerate(area(9, 3))})
    pts = np.random.default_rng(4).uniform(-50.0, 800.0, (30, 2))
    frame = dd.from_pandas(pd.DataFrame({"x": pts[:, 0], "y": pts[:, 1]}), npartitions=2)
    out, found = locate_dataframe(net, frame).compute(scheduler="sync"), net.locate(pts)
    for column, field in (("alignment", "index"), ("alignment_name", "name"), ("offset", "offset")):
        assert out[column].tolist() == getattr(found, field).tolist()
