"""curvixkit: horizontal alignments (straights, circular arcs, clothoids) for
Python, evaluated exactly by a C++ engine.

>>> import curvixkit
>>> a = curvixkit.Alignment.from_icd("examples/railway_10km.icd")
>>> a.point(12500.0, offsets=3.5)          # x, y 3.5 m right of the centre line
>>> a.locate([[20000.0, 32000.0]])         # station, signed offset, distance, element

Conventions: x east, y north; azimuths in radians from north towards east
(clockwise), never wrapped; curvature and offsets positive to the right of
the direction of travel. The command line is ``curvix`` (``python -m curvixkit``).
"""

from curvixkit._alignment import Alignment, Crossings, Element, Located, LocatedAll
from curvixkit.errors import ElementError, IcdError, LandXMLError

__version__ = "0.2.0"

__all__ = ["Alignment", "Crossings", "Element", "ElementError", "IcdError", "LandXMLError",
           "Located", "LocatedAll", "__version__"]
