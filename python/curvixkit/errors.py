"""Every exception and warning curvixkit raises, and the message builders
used in more than one place.

Every refusal of bad input is a ``ValueError`` subclass that names where the
input is wrong; a file that cannot be read is Python's own ``OSError``;
a missing optional extra is an ``ImportError`` that names the extra.

==========================  ==============  =======================================
class                       base            raised for
==========================  ==============  =======================================
:class:`IcdError`           ValueError      an ICD file the strict reader refuses
:class:`LandXMLError`       ValueError      a LandXML file that cannot be read or written
:class:`IfcError`           ValueError      an IFC file that cannot be read or written
:class:`ElementError`       ValueError      an element description the engine refuses
:class:`ProfileError`       ValueError      a profile or cant the engine refuses
:class:`StationError`       ValueError      a station text or display station
:class:`SettingOutError`    ValueError      a stake-out plan that cannot be made
:class:`CrsError`           ValueError      a CRS that does not fit the alignment
:class:`PointFileError`     ValueError      a point file (CSV, LAS, Parquet) that cannot be read
:class:`MissingExtraError`  ImportError     an optional extra that is not installed
:class:`LossWarning`        UserWarning     a writer left out what its format cannot hold
:class:`IcdEquationWarning` LossWarning     station equations left out of an ICD file
:class:`OffsetWarning`      UserWarning     an offset at or beyond the centre of a curve
:class:`CrsWarning`         UserWarning     points outside a CRS's area of use
==========================  ==============  =======================================
"""

from __future__ import annotations

import os
from typing import Optional, Union

__all__ = ["IcdError", "ElementError", "LandXMLError", "IfcError", "StationError",
           "SettingOutError", "CrsError", "PointFileError", "MissingExtraError", "LossWarning",
           "IcdEquationWarning",
           "OffsetWarning", "CrsWarning", "missing_extra", "one_line"]


class IcdError(ValueError):
    """An ICD file that the strict reader refuses.

    ``line`` is the 1-based line of the file, ``field`` the 1-based field of
    that line (``None`` when the whole line is at fault), ``path`` the file
    when there is one. ``str()`` reads ``line 4, field 3: '3OO' is not a number``.
    """

    def __init__(self, message: str, line: int, field: Optional[int] = None,
                 path: Optional[str] = None) -> None:
        super().__init__(message, line, field, path)
        self.message = message
        self.line = line
        self.field = field
        self.path = path

    def __str__(self) -> str:
        return self.message if self.path is None else "%s: %s" % (self.path, self.message)


class ElementError(ValueError):
    """An element description (or the alignment's start values) that cannot be
    built: ``element`` is 1-based (``None`` for the start values), ``field`` the
    name of the offending value."""

    def __init__(self, message: str, element: Optional[int] = None, field: Optional[str] = None) -> None:
        super().__init__(message, element, field)
        self.message = message
        self.element = element
        self.field = field

    def __str__(self) -> str:
        return self.message


class ProfileError(ValueError):
    """A vertical profile or cant that cannot be built: ``index`` is the
    0-based segment, PVI or cant station (``None`` for the whole input),
    ``field`` the name of the offending value. ``str()`` reads
    ``PVI 2: radius must be finite and not 0, got 0``."""

    def __init__(self, message: str, index: Optional[int] = None, field: Optional[str] = None) -> None:
        super().__init__(message, index, field)
        self.message = message
        self.index = index
        self.field = field

    def __str__(self) -> str:
        return self.message


class LandXMLError(ValueError):
    """A LandXML file that cannot be read (or an alignment that cannot be
    written). ``path``, ``line`` (1-based), ``element`` and ``attribute``
    say where, when known."""

    def __init__(self, message: str, path: Optional[Union[str, "os.PathLike[str]"]] = None,
                 line: Optional[int] = None, element: Optional[str] = None,
                 attribute: Optional[str] = None) -> None:
        super().__init__(message, path, line, element, attribute)
        self.message = message
        self.path = path
        self.line = line
        self.element = element
        self.attribute = attribute

    def __str__(self) -> str:
        where = [str(self.path)] if self.path is not None else []
        if self.line is not None:
            where.append("line %d" % self.line)
        return ": ".join(where + [self.message])


class IfcError(ValueError):
    """An IFC file that cannot be read (or an alignment that cannot be
    written). ``path``, ``entity`` (the instance name, ``"#123"``; None for
    the file as a whole) and ``attribute`` (the IFC attribute, such as
    ``"SegmentLength"``) say where, when known. ``str()`` reads
    ``design.ifc: #29 IfcAlignmentHorizontalSegment: BLOSSCURVE is not
    supported yet``."""

    def __init__(self, message: str, path: Optional[Union[str, "os.PathLike[str]"]] = None,
                 entity: Optional[str] = None, attribute: Optional[str] = None) -> None:
        super().__init__(message, path, entity, attribute)
        self.message = message
        self.path = path
        self.entity = entity
        self.attribute = attribute

    def __str__(self) -> str:
        return self.message if self.path is None else "%s: %s" % (self.path, self.message)


class StationError(ValueError):
    """A station text or display station that cannot be read or placed."""


class SettingOutError(ValueError):
    """A stake-out plan that cannot be made (a range, step or offset that
    does not fit the alignment); the message names the argument."""


class CrsError(ValueError):
    """A coordinate reference system that cannot be used for an alignment:
    unknown to pyproj, or in another linear unit than the alignment's file."""


class PointFileError(ValueError):
    """A point file that cannot be read or written as asked: ``path`` the
    file, ``row`` the 1-based line of a text file or the 1-based point
    record (LAS) or row (Parquet) where known, ``column`` the column or
    dimension at fault. ``str()`` reads ``pts.csv: line 57, column 'x':
    'abc' is not a number`` (the message itself names the row)."""

    def __init__(self, message: str, path: Optional[Union[str, "os.PathLike[str]"]] = None,
                 row: Optional[int] = None, column: Optional[str] = None) -> None:
        super().__init__(message, path, row, column)
        self.message = message
        self.path = path
        self.row = row
        self.column = column

    def __str__(self) -> str:
        return self.message if self.path is None else "%s: %s" % (self.path, self.message)


class MissingExtraError(ImportError):
    """An optional extra is not installed; the message says how to install it."""


class LossWarning(UserWarning):
    """A writer left out something its format cannot hold (named in the
    message and, where the format has comments, in the file)."""


class IcdEquationWarning(LossWarning):
    """Station equations were dropped: the ICD format has no place for them."""


class OffsetWarning(UserWarning):
    """An offset reaches or passes the centre of a curve on its inside: the
    offset line there turns back on itself (or shrinks to a point)."""


class CrsWarning(UserWarning):
    """Points lie outside the area of use of the coordinate reference system
    they are said to be in."""


_EXTRAS = {"plot": "matplotlib", "dxf": "ezdxf", "gis": "pyproj", "ifc": "ifcopenshell",
           "las": "laspy", "parquet": "pyarrow", "dask": "dask",
           "distributed": "dask.distributed"}


def missing_extra(extra: str, what: str) -> MissingExtraError:
    """The error for ``what`` needing the optional extra ``extra``."""
    return MissingExtraError('%s needs %s; install it with: pip install "curvix[%s]"'
                             % (what, _EXTRAS.get(extra, extra), extra))


def one_line(exc: BaseException) -> str:
    """An exception's text on one line (white space folded)."""
    return " ".join(str(exc).split())
