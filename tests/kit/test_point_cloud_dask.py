"""examples/point_cloud_dask.py on dask's local schedulers."""
import importlib
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("dask.array")

from curvixkit import Alignment  # noqa: E402

from conftest import EXAMPLES


@pytest.fixture
def example(monkeypatch):
    # Imported by name from a path entry that process workers inherit, so
    # that they can unpickle the function each task calls.
    monkeypatch.syspath_prepend(str(EXAMPLES))
    yield importlib.import_module("point_cloud_dask")
    sys.modules.pop("point_cloud_dask", None)


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
def test_dask_answers_equal_one_call_in_order(example, scheduler, capsys):
    # 1001 points in chunks of 125 rows: a short last chunk, and an order
    # mix-up between chunks would show as unequal rows.
    station, offset = example.main([str(EXAMPLES / "railway_10km.icd"), "1001", scheduler])
    alignment = Alignment.from_icd(EXAMPLES / "railway_10km.icd")
    found = alignment.locate(example.synthetic_cloud(alignment, 1001))
    assert np.array_equal(station, found.station) and np.array_equal(offset, found.offset)
    assert "1001 points located" in capsys.readouterr().out
