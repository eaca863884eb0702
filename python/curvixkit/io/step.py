"""A syntax scan of STEP physical files (ISO 10303-21) made before
ifcopenshell parses them.

ifcopenshell 0.9's parser recurses into nested lists and typed values and
takes no limit: text nested 100,000 deep (``IFCLENGTHMEASURE(`` repeated)
overflows its stack and ends the process; a stray value in the header
(``FILE_SCHEMA(('IFC4X3')2);``) ends it too; a stray value in the data
section is read as another value, and a reference to an entity the file
does not hold is left out of a list. The scan refuses all of these, text
whose parentheses do not balance within each statement, ``#`` without an
entity number and names beyond 32 bits, with an
:class:`~curvixkit.errors.IfcError` naming the statement's entity; it also
bounds the number of statements. Strings (``'...'`` with ``''`` for a
quote) and comments (``/* ... */``) are skipped, read left to right as the
parser reads them. The scan is linear in the size of the text: strings by
one regular expression (comments by ``str.find``), the depth a running sum
in NumPy, the data section's grammar on one symbol a token made by
regular-expression substitutions.
"""

from __future__ import annotations

import re
from typing import List, Optional, Tuple

import numpy as np

__all__ = ["MAX_DEPTH", "MAX_NAME", "MAX_STATEMENTS", "definitions", "scan"]

# Real files nest three or four deep (a list of typed values in a list).
MAX_DEPTH = 64
# Reading costs about 475 bytes and 17 us a statement (10^6 points of a
# 41 MB file: 475 MB and 17 s on a busy machine), so 2 * 10^7 take some
# 9.5 GB and six minutes: the most a file under the 1 GiB limit holds anyway.
MAX_STATEMENTS = 20000000
_STRING = re.compile(r"'[^']*(?:''[^']*)*'")
_STRING_OR_COMMENT = re.compile(r"'[^']*(?:''[^']*)*'|/\*")
_STATEMENT = re.compile(r"\s*(?:#(\d+)\s*=\s*)?([A-Za-z0-9_-]*)")
_LONG_NAME = re.compile(r"#(\d{10,})")
_BAD_NAME = re.compile(r"#(?!\d)")
# ifcopenshell keeps entity names in 32-bit integers.
MAX_NAME = (1 << 31) - 1
_DEFINED = re.compile(r"#(\d+)\s*=")
_DEFINITION = re.compile(r"#(\d+)\s*=\s*([A-Za-z0-9_]*)")
_REFERRED = re.compile(r"#(\d+)(?!\d)(?!\s*=)")
_CHUNK = 1 << 24
_TOKEN = re.compile(r"""\s*(?:(?P<keyword>[A-Za-z_][A-Za-z0-9_-]*)|(?P<value>''|"[0-9A-Fa-f]*"|
    \.[A-Za-z_][A-Za-z0-9_]*\.|[+-]?\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\#\d+|[$*])|(?P<mark>[(),;]))""",
                    re.X)
_HEADER = re.compile("(?:\xef\xbb\xbf)?\\s*ISO-10303-21\\s*;\\s*HEADER\\s*;")  # after a BOM
# Headers are a few hundred bytes; this bounds the scan's token loop.
MAX_HEADER = 1 << 20
# +1 for "(", -1 for ")", 0 for every other byte.
_STEP = np.zeros(256, dtype=np.int8)
_STEP[ord("(")], _STEP[ord(")")] = 1, -1


def _bare(text: str) -> Tuple[str, Optional[int]]:
    """The text with every string made ``''`` and every comment a space,
    read left to right as the parser does (a quote inside a comment starts
    no string, ``/*`` inside a string starts no comment), and the offset in
    that text of a comment that is never closed (None if none is)."""
    if "/*" not in text:
        return _STRING.sub("''", text), None
    parts = []  # type: List[str]
    at = 0
    while True:
        found = _STRING_OR_COMMENT.search(text, at)
        if found is None:
            parts.append(text[at:])
            return "".join(parts), None
        parts.append(text[at:found.start()])
        if found.group() != "/*":
            parts.append("''")
            at = found.end()
            continue
        end = text.find("*/", found.end())
        if end < 0:
            return "".join(parts), sum(len(p) for p in parts)
        parts.append(" ")
        at = end + 2


def _statement(text: str, at: int) -> Tuple[Optional[str], str]:
    """The entity name ("#12", or None in the header) and keyword of the
    statement that holds offset ``at``."""
    begin = text.rfind(";", 0, at) + 1
    found = _STATEMENT.match(text, begin)
    name = found.group(1) if found is not None else None
    return ("#" + name if name else None), (found.group(2) if found is not None else "")


def _attribute(text: str, at: int) -> Optional[int]:
    """The 0-based index of the attribute of the statement that holds
    offset ``at`` (strings removed), or None where it is not a simple
    entity's attribute."""
    begin = text.rfind(";", 0, at) + 1
    open_at = text.find("(", begin, at)
    if open_at < 0:
        return None
    depth, index = 0, 0
    for c in text[open_at + 1:at]:
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == "," and depth == 0:
            index += 1
    return index if depth >= 0 else None


def _dangling(text: str) -> Optional[Tuple[int, str]]:
    """(offset, name) of the first reference to an entity the text does not
    define. ifcopenshell leaves such a reference out of a list, and reads
    it as absent elsewhere."""
    missing = set(_REFERRED.findall(text)) - set(_DEFINED.findall(text))
    if not missing:
        return None
    defined = {int(n) for n in _DEFINED.findall(text)}
    missing = {n for n in missing if int(n) not in defined}
    if not missing:
        return None
    first = min((found.start(), found.group(1)) for found in (
        re.search(r"#(%s)(?!\d)(?!\s*=)" % n, text) for n in sorted(missing)[:100])
                if found is not None)
    return first


def _near(text: str, at: int) -> str:
    """The text from ``at`` to the end of its line (at most 24 characters)."""
    return text[at:at + 24].strip().split("\n")[0]


_FILE_SCHEMA = re.compile(r"(?<![A-Za-z0-9_])FILE_SCHEMA\s*\(", re.I)
_SCHEMA_NAMES = re.compile(r"\s*\(\s*''(?:\s*,\s*'')*\s*\)")  # (strings are '' here)


def _header(text: str) -> Optional[str]:
    """What is wrong with the header section (strings removed), or None.
    ifcopenshell's header parser ends the process on a stray value, such
    as ``FILE_SCHEMA(('IFC4X3')2);``, so its grammar is checked here:
    statements ``KEYWORD(parameters);`` of strings, numbers, enumerations,
    binaries, references, ``$``, ``*``, typed values and lists."""
    found = _HEADER.match(text)
    if found is None:
        return "the file does not begin with ISO-10303-21; HEADER;"
    end = text.find("ENDSEC;", found.end(), found.end() + MAX_HEADER)
    if end < 0:
        return "the HEADER section has no ENDSEC; within %d bytes" % MAX_HEADER
    at = found.end()
    # ifcopenshell also ends the process where FILE_SCHEMA's first value is
    # not a list of strings (FILE_SCHEMA('IFC4X3'); or a FILE_NAME's values).
    for schema in _FILE_SCHEMA.finditer(text, at, end):
        if _SCHEMA_NAMES.match(text, schema.end()) is None:
            return "FILE_SCHEMA in the header: a list of schema names expected at %r" % (
                _near(text, schema.start()))
    while True:
        token = _TOKEN.match(text, at)
        if token is None or token.end() > end:
            if text[at:end].strip():
                return "the header cannot be read at %r" % _near(text, at)
            return None
        if token.group("keyword") is None:
            return "the header cannot be read at %r" % _near(text, at)
        name = token.group("keyword")
        at = token.end()
        # After a keyword: "(" parameters ")" ";". expect holds what may come.
        depth, expect = 0, "("
        while True:
            token = _TOKEN.match(text, at)
            if token is None or token.end() > end:
                return "%s in the header cannot be read at %r" % (
                    name, _near(text, at))
            kind = "mark" if token.group("mark") else (
                "keyword" if token.group("keyword") else "value")
            mark = token.group("mark")
            if expect == "(" and mark != "(":
                return "%s in the header: '(' expected at %r" % (name, _near(text, at))
            if expect == "value" and not (kind in ("value", "keyword") or mark in ("(", ")")):
                return "%s in the header: a value expected at %r" % (
                    name, _near(text, at))
            if expect == "," and mark not in (",", ")"):
                return "%s in the header: ',' or ')' expected at %r" % (
                    name, _near(text, at))
            if expect == ";" and mark != ";":
                return "%s in the header: ';' expected at %r" % (name, _near(text, at))
            at = token.end()
            if mark == ";":
                break
            if mark == "(":
                depth += 1
                expect = "value"
            elif mark == ")":
                depth -= 1
                expect = ";" if depth == 0 else ","
            elif mark == ",":
                expect = "value"
            elif kind == "keyword":
                expect = "("  # a typed value
            else:
                expect = ","


# The data section as one symbol a token (C-speed substitutions, in this
# order: a keyword's digits and an exponent's E must not be read apart, and
# no symbol is taken again by a later pattern): "=" a definition "#N =",
# "#" a reference, "'" a string, '"' a binary, "." an enumeration, "0" a
# number, "K" a keyword; "$", "*", "(", ")", ",", ";" stay themselves.
_CLASSES = (
    (re.compile(r"#\d+\s*="), "="), (re.compile(r"#\d+"), "#"), (re.compile(r"''"), "'"),
    (re.compile(r'"[0-9A-Fa-f]*"'), '"'), (re.compile(r"\.[A-Za-z_][A-Za-z0-9_]*\."), "."),
    (re.compile(r"(?<![A-Za-z0-9_])[+-]?\d+(?:\.\d*)?(?:[Ee][+-]?\d+)?"), "0"),
    # NaN and INF are no STEP, but written by some tools; the reader names the attribute
    (re.compile(r"(?<![A-Za-z0-9_])[+-]?(?:NaN|nan|INF|Inf|inf)(?![A-Za-z0-9_])"), "0"),
    (re.compile(r"[A-Za-z_][A-Za-z0-9_]*"), "K"), (re.compile(r"\s+"), ""))
# What may not follow what: a value without "," or ")"; a ")" without ",", ")", ";" or the
# next part of a complex entity; a keyword without "("; a "," or "(" without what may start
# a parameter; a statement that does not begin "#N=" KEYWORD or "#N=(" or end with ";".
_WRONG = re.compile(r"""['".0#$*][^,)]|\)[^,);K]|K[^(]|,[^'".0#$*K(]|\([^'".0#$*K()]|;[^=]"""
                    r"|=[^K(]|[^;]$|^[^=]")
_DATA = re.compile(r"\bDATA\s*;")


def _data_grammar(text: str) -> Optional[Tuple[int, str]]:
    """(offset in ``text``, the tokens there) of the first place where the
    data section (strings removed) breaks STEP's grammar, or None.
    ifcopenshell reads a value that follows another without a comma (as
    in ``IFCMAPCONVERSION(#8,'foot'00.,...)``) as something else and says
    nothing."""
    data = _DATA.search(text)
    end = text.rfind("ENDSEC")
    if data is None or end < data.end():
        return None
    body = text[data.end():end]
    tokens = body
    for pattern, letter in _CLASSES:
        tokens = pattern.sub(letter, tokens)
    if not tokens:
        return None
    wrong = _WRONG.search(tokens)
    if wrong is None:
        return None
    # The statement of the fault: as many ";" before it in the text as in the tokens.
    statements = tokens.count(";", 0, wrong.start())
    lo, hi = 0, len(body)
    while lo < hi:
        mid = (lo + hi) // 2
        if body.count(";", 0, mid) > statements:
            hi = mid
        else:
            lo = mid + 1
    begin = body.rfind(";", 0, max(0, lo - 1)) + 1 if statements else 0
    return data.end() + begin, tokens[max(0, wrong.start() - 8):wrong.end() + 8]


def definitions(text: str) -> List[Tuple[str, str]]:
    """(name, keyword) of every entity the text defines, in file order
    (strings and comments skipped; several statements may share a line)."""
    return _DEFINITION.findall(_bare(text)[0])


def scan(text: str) -> Optional[Tuple[Optional[str], str, Optional[int]]]:
    """None for text the parser may be given, else (entity or None, what
    is wrong with it, the index of the attribute at fault or None)."""
    bare, open_comment = _bare(text)
    if open_comment is not None:
        entity, keyword = _statement(bare, open_comment)
        return entity, "%s: a comment /* is never closed" % (keyword or "the text"), None
    problem = _header(bare)
    if problem is not None:
        return None, problem, None
    statements = bare.count(";")
    if statements > MAX_STATEMENTS:
        return None, "the file holds %d statements, more than the %d read here" % (
            statements, MAX_STATEMENTS), None
    found = _BAD_NAME.search(bare)
    if found is not None:
        entity, keyword = _statement(bare, found.start())
        return entity, "%s: '#' must be followed by an entity number (%r)" % (
            keyword or "the text", bare[found.start():found.start() + 12]), None
    for found in _LONG_NAME.finditer(bare):
        if int(found.group(1)) > MAX_NAME:
            entity, keyword = _statement(bare, found.start())
            return entity, "%s: the entity name #%s is larger than %d" % (
                keyword or "the text", found.group(1), MAX_NAME), None
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
                    what, MAX_DEPTH), None
            if running[at] < 0:
                return entity, "%s: a ')' closes no '('" % what, None
            return entity, "%s: %d '(' are not closed before ';'" % (
                what, int(running[at])), None
        depth = int(running[-1])
    grammar = _data_grammar(bare)
    if grammar is not None:
        at, tokens = grammar  # the tokens as symbols: see _CLASSES
        entity, keyword = _statement(bare, at)
        return entity, "%s: a value or separator out of place (not STEP's grammar): %s" % (
            keyword or "the data section", tokens), None
    dangling = _dangling(bare)
    if dangling is not None:
        at, name = dangling
        entity, keyword = _statement(bare, at)
        return entity, "%s: refers to #%s, which the file does not hold" % (
            keyword or "the text", name), _attribute(bare, at)
    return None
