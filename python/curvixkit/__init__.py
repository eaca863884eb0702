"""curvixkit: road and railway alignments (straights, circular arcs,
clothoids) for Python, evaluated exactly by a C++ engine.

>>> import curvixkit
>>> a = curvixkit.Alignment.from_icd("examples/railway_10km.icd")
>>> a.point(12500.0, offsets=3.5)          # x, y 3.5 m right of the centre line
>>> a.locate([[20000.0, 32000.0]])         # station, signed offset, distance, element, beyond

Conventions: x east, y north; azimuths in radians from north towards east
(clockwise), never wrapped; curvature and offsets positive to the right of
the direction of travel. The command line is ``curvix`` (``python -m curvixkit``).

The modules: :mod:`~curvixkit.alignment` (the Alignment),
:mod:`~curvixkit.network` (many alignments searched as one), :mod:`~curvixkit.results`
(what queries return), :mod:`~curvixkit.errors`, :mod:`~curvixkit.stations`
(station equations, chainage text, station grids), :mod:`~curvixkit.design`
(curve groups, key points), :mod:`~curvixkit.diagnostics`,
:mod:`~curvixkit.setting_out`, :mod:`~curvixkit.plot`, :mod:`~curvixkit.points`
(survey files and point clouds: CSV, LAS/LAZ, Parquet), :mod:`~curvixkit.dask`
(point clouds on a dask cluster), :mod:`~curvixkit.io` (readers and writers)
and :mod:`~curvixkit.cli`.
"""

__version__ = "0.3.0"

from curvixkit.alignment import Alignment  # noqa: E402
from curvixkit.network import Network  # noqa: E402
from curvixkit.errors import ElementError, IcdError, LandXMLError, StationError  # noqa: E402
from curvixkit.results import (Crossings, Element, Located, LocatedAll, NetworkLocated,  # noqa: E402
                               Units)

__all__ = ["Alignment", "Crossings", "Element", "ElementError", "IcdError", "LandXMLError",
           "Located", "LocatedAll", "Network", "NetworkLocated", "StationError", "Units",
           "__version__"]
