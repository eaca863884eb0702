"""The exceptions curvixkit raises.

Every refusal of bad input is a ``ValueError`` subclass that names where the
input is wrong; a file that cannot be read is Python's own ``OSError``.
"""

from __future__ import annotations

import os
from typing import Optional, Union


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


class CommandError(Exception):
    """A problem with the user's input or files on the command line.

    The command line reports it as one line on stderr and exits with status 2.
    """
