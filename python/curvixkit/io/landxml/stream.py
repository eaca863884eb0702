"""The byte and event layer of the LandXML reader.

The file is read incrementally (lxml's pull parser, fed in blocks) and the
contents of ``Surfaces`` elements are passed over at the byte level (only
their line feeds are counted), never parsed into a tree, so a file with a
TIN of gigabytes reads in time proportional to its size with memory bounded
by its alignments. lxml is used with entity expansion, DTD loading and
network access off and its size limits on; a document type declaration is
refused outright (LandXML has none), so entity tricks fail at once and
nothing outside the file is read.
"""

from __future__ import annotations

import bisect
import os
import re
from typing import Any, Dict

from lxml import etree

from curvixkit.errors import LandXMLError

_BLOCK = 1 << 22


def local(tag):
    """The local name of an element's tag (its namespace left out); "" for
    comments and processing instructions."""
    return tag.rpartition("}")[2] if isinstance(tag, str) else ""


# ----------------------------------------------------------------- streaming

_SURFACES = b"Surfaces"
_NAME_CHARS = re.compile(rb"[A-Za-z_][\w.\-]*:$")
_START_TAG = re.compile(rb"""<(?:[A-Za-z_][\w.\-]*:)?Surfaces"""
                        rb"""((?:\s+[^\s=/>]+\s*=\s*(?:"[^"]*"|'[^']*'))*)\s*(/?)>""")


class LineMap:
    """Real line numbers of the parser's lines: the line feeds of a skipped
    Surfaces content are not fed to the parser (it would have to read them),
    so every parser line from the closing tag on moves down by them."""

    def __init__(self):
        self.thresholds = []
        self.shifts = []

    def add(self, parser_line, removed):
        """From parser line ``parser_line`` on, ``removed`` more lines were left out."""
        self.thresholds.append(parser_line)
        self.shifts.append(removed + (self.shifts[-1] if self.shifts else 0))

    def __call__(self, line):
        if not line:
            return None
        k = bisect.bisect_right(self.thresholds, line)
        return line + (self.shifts[k - 1] if k else 0)


def _filtered_blocks(stream, lines):
    """The bytes of ``stream`` with the content of every ``Surfaces`` element
    left out (one line feed stands for it; ``lines`` learns how many it
    held, so line numbers stay right). Comments and CDATA sections are stepped over whole. Works on any
    ASCII-compatible encoding; in others nothing matches and nothing is
    skipped (the content is then parsed like any other)."""
    state: Dict[str, Any] = {"buf": b"", "pos": 0, "eof": False, "fed": 0, "removed": 0}
    inside = None                     # the closing tag searched for, or None

    def fill():
        block = stream.read(_BLOCK)
        state["buf"] = state["buf"][state["pos"]:] + block
        state["pos"] = 0
        state["eof"] = not block

    def emit(end):
        buf, pos = state["buf"], state["pos"]
        state["pos"] = end
        if not inside:
            state["fed"] += buf.count(b"\n", pos, end)
            return buf[pos:end]
        state["removed"] += buf.count(b"\n", pos, end)
        return b""

    while True:
        if not state["eof"] and len(state["buf"]) - state["pos"] < 4096:
            fill()
        buf, pos, eof = state["buf"], state["pos"], state["eof"]
        bang = buf.find(b"<!", pos)
        hit = buf.find(inside or _SURFACES, pos)
        if bang == -1 and hit == -1:
            if eof:
                yield emit(len(buf))
                return
            yield emit(max(pos, len(buf) - 512))   # a name may straddle the block end
            fill()
            continue
        if bang != -1 and (hit == -1 or bang < hit):
            if len(buf) - bang < 9 and not eof:
                yield emit(bang)
                fill()
                continue
            closer = b"-->" if buf.startswith(b"<!--", bang) else (
                b"]]>" if buf.startswith(b"<![CDATA[", bang) else None)
            if closer is None and not inside and buf.startswith(b"<!DOCTYPE", bang):
                # Refused before the parser sees it: no entity is ever
                # declared, so none can be expanded or fetched.
                raise LandXMLError("the file has a document type declaration, which LandXML "
                                   "files do not use; it is refused so that no entity is "
                                   "expanded and nothing outside the file is read", None,
                                   lines(state["fed"] + 1 + buf.count(b"\n", pos, bang)))
            if closer is None:
                yield emit(bang + 2)
                continue
            end = buf.find(closer, bang + 4)
            if end == -1:
                if eof:
                    yield emit(len(buf))       # the parser reports the open comment
                    return
                yield emit(bang)
                fill()
                continue
            yield emit(end + len(closer))
            continue
        if inside:
            tail = re.compile(re.escape(inside) + rb"\s*>").match(buf, hit)
            if tail is None and len(buf) - hit < 512 and not eof:
                yield emit(hit)
                fill()
                continue
            if tail is None:
                yield emit(hit + 1)
                continue
            yield emit(hit)
            inside = None
            if state["removed"]:
                state["fed"] += 1
                lines.add(state["fed"] + 1, state["removed"] - 1)
                state["removed"] = 0
                yield b"\n"
            yield emit(tail.end())
            continue
        # A candidate start tag: '<' or '<prefix:' right before the name.
        lt = buf.rfind(b"<", max(pos, hit - 256), hit)
        between = buf[lt + 1:hit] if lt != -1 else b"/"
        if not (between == b"" or _NAME_CHARS.match(between)):
            yield emit(hit + 1)
            continue
        tag = _START_TAG.match(buf, lt)
        if tag is None and not eof and len(buf) - lt < (1 << 20):
            yield emit(lt)
            fill()
            continue
        if tag is None:
            yield emit(hit + 1)
            continue
        yield emit(tag.end())
        if not tag.group(2):
            inside = b"</" + between + _SURFACES


# Bytes fed without a complete tag before the file is refused: more than
# libxml2 accepts in one text, attribute or comment without huge_tree.
_MAX_PENDING = 32 << 20
_SAFE = dict(resolve_entities=False, no_network=True, load_dtd=False, huge_tree=False,
             remove_comments=True, remove_pis=True)


# The parser builds the tree of all it is fed before its events are read:
# small pieces keep that tree (and the work done past a failing element)
# small.
_PIECE = 1 << 16


def _pieces(blocks):
    for block in blocks:
        for start in range(0, len(block), _PIECE):
            yield block[start:start + _PIECE]


def events(path, lines):
    """(event, element) pairs of the file, "start" and "end", with the
    content of Surfaces elements left out. Raises LandXMLError for anything
    that is not well-formed XML or has a document type declaration."""
    parser = etree.XMLPullParser(events=("start", "end"), **_SAFE)
    first = True
    pending, line = 0, 1     # bytes fed since the last event, and the line there
    try:
        with open(os.fspath(path), "rb") as stream:
            for block in _pieces(_filtered_blocks(stream, lines)):
                parser.feed(block)
                pending += len(block)
                for event, elem in parser.read_events():
                    pending, line = 0, elem.sourceline
                    if first:
                        first = False
                        docinfo = elem.getroottree().docinfo
                        if docinfo.doctype or docinfo.internalDTD is not None:
                            raise LandXMLError(
                                "the file has a document type declaration, which LandXML files "
                                "do not use; it is refused so that no entity is expanded and "
                                "nothing outside the file is read", path, lines(elem.sourceline))
                    yield event, elem
                if pending > _MAX_PENDING:
                    # libxml2 buffers a token it cannot finish whole and
                    # refuses it only at 1 GB: stop long before.
                    raise LandXMLError("not well-formed XML: no tag completes in %d MB after this "
                                       "line (a text or attribute is limited to 10 MB)"
                                       % (pending >> 20), path, lines(line))
            parser.close()
    except LandXMLError as exc:
        if exc.path is None:
            exc.path = path
        raise
    except etree.XMLSyntaxError as exc:
        line = lines(exc.lineno)
        message = " ".join((exc.msg or str(exc)).split())  # libxml2 ends it with a line feed
        raise LandXMLError("not well-formed XML: %s" % re.sub(r",? line \d+, column \d+$", "",
                                                           message), path, line) from None
    if first:
        raise LandXMLError("the file holds no XML element", path)


def raw(elem, lines):
    """An element as plain data: local name, line, attributes and the texts
    and lines of its children (enough to interpret it after the stream)."""
    children = {}
    for child in elem:
        name = local(child.tag)
        if name and name not in children:
            children[name] = ((child.text or "").strip(), lines(child.sourceline),
                              dict(child.attrib))
    return {"tag": local(elem.tag), "line": lines(elem.sourceline), "attrib": dict(elem.attrib),
            "children": children, "text": (elem.text or "").strip()}


