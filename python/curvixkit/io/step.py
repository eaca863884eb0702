"""A syntax scan of STEP physical files (ISO 10303-21) made before
ifcopenshell parses them.

ifcopenshell's parser recurses into nested lists and typed values and
takes no limit: text nested 100,000 deep (``IFCLENGTHMEASURE(`` repeated)
overflows its stack and ends the process. The scan refuses such text, and
text whose parentheses do not balance within each statement, with an
:class:`~curvixkit.errors.IfcError` naming the statement's entity; it also
bounds the number of statements. Strings (``'...'`` with ``''`` for a
quote) and comments (``/* ... */``) are skipped, as the parser skips them.
The scan is linear in the size of the text: strings are removed by one
regular expression, comments by ``str.find``, and the depth is a running
sum in NumPy.
"""

from __future__ import annotations

import re
from typing import List, Optional, Tuple

import numpy as np

__all__ = ["MAX_DEPTH", "MAX_NAME", "MAX_STATEMENTS", "scan"]

# Real files nest three or four deep (a list of typed values in a list).
MAX_DEPTH = 64
# About 400 bytes of parser memory each: 2 * 10^7 statements take some 8 GB.
MAX_STATEMENTS = 20000000
_STRING = re.compile(r"'[^']*(?:''[^']*)*'")
_STATEMENT = re.compile(r"\s*(?:#(\d+)\s*=\s*)?([A-Za-z0-9_-]*)")
_LONG_NAME = re.compile(r"#(\d{10,})")
_BAD_NAME = re.compile(r"#(?!\d)")
# ifcopenshell keeps entity names in 32-bit integers.
MAX_NAME = (1 << 31) - 1
_CHUNK = 1 << 24
# +1 for "(", -1 for ")", 0 for every other byte.
_STEP = np.zeros(256, dtype=np.int8)
_STEP[ord("(")], _STEP[ord(")")] = 1, -1


def _without_comments(text: str) -> Tuple[str, Optional[int]]:
    """The text without its comments (strings already removed), and the
    offset of a comment that is never closed (None if none is)."""
    if "/*" not in text:
        return text, None
    parts = []  # type: List[str]
    at = 0
    while True:
        start = text.find("/*", at)
        if start < 0:
            parts.append(text[at:])
            return "".join(parts), None
        end = text.find("*/", start + 2)
        if end < 0:
            return "".join(parts) + text[at:start], start
        parts.append(text[at:start])
        parts.append(" ")
        at = end + 2


def _statement(text: str, at: int) -> Tuple[Optional[str], str]:
    """The entity name ("#12", or None in the header) and keyword of the
    statement that holds offset ``at``."""
    begin = text.rfind(";", 0, at) + 1
    found = _STATEMENT.match(text, begin)
    name = found.group(1) if found is not None else None
    return ("#" + name if name else None), (found.group(2) if found is not None else "")


def scan(text: str) -> Optional[Tuple[Optional[str], str]]:
    """None for text the parser may be given, else (entity or None, what
    is wrong with it)."""
    bare = _STRING.sub("''", text)
    bare, open_comment = _without_comments(bare)
    if open_comment is not None:
        entity, keyword = _statement(bare, open_comment)
        return entity, "%s: a comment /* is never closed" % (keyword or "the text")
    statements = bare.count(";")
    if statements > MAX_STATEMENTS:
        return None, "the file holds %d statements, more than the %d read here" % (
            statements, MAX_STATEMENTS)
    found = _BAD_NAME.search(bare)
    if found is not None:
        entity, keyword = _statement(bare, found.start())
        return entity, "%s: '#' must be followed by an entity number (%r)" % (
            keyword or "the text", bare[found.start():found.start() + 12])
    for found in _LONG_NAME.finditer(bare):
        if int(found.group(1)) > MAX_NAME:
            entity, keyword = _statement(bare, found.start())
            return entity, "%s: the entity name #%s is larger than %d" % (
                keyword or "the text", found.group(1), MAX_NAME)
    data = bare.encode("latin-1", "replace")
    depth = 0
    for begin in range(0, len(data), _CHUNK):
        chunk = np.frombuffer(data, dtype=np.uint8, count=min(_CHUNK, len(data) - begin),
                              offset=begin)
        running = np.cumsum(_STEP[chunk], dtype=np.int64) + depth
        # Every statement ends at depth 0; none goes below it or too deep.
        bad = (running > MAX_DEPTH) | (running < 0) | ((chunk == ord(";")) & (running != 0))
        if bad.any():
            at = int(np.argmax(bad))
            entity, keyword = _statement(bare, begin + at)
            what = keyword or "the text"
            if running[at] > MAX_DEPTH:
                return entity, "%s: lists or typed values nested deeper than %d" % (
                    what, MAX_DEPTH)
            if running[at] < 0:
                return entity, "%s: a ')' closes no '('" % what
            return entity, "%s: %d '(' are not closed before ';'" % (what, int(running[at]))
        depth = int(running[-1])
    return None
