"""Point files: CSV text, LAS/LAZ point clouds (laspy, lazrs for LAZ) and
Parquet tables (pyarrow), read in chunks of columns and written back with
columns added.

A source (:func:`open_source`) reads a file's column names, finds the
columns that hold x, y and z, and yields pieces: the format's own chunk
(CSV rows as text, a laspy point record, an Arrow record batch) and its
(N, 2|3) float64 coordinates. A sink (:func:`open_sink`) writes such pieces,
optionally a selection or repetition of their rows, with new float64
columns after the file's own. Nothing here evaluates geometry, and every
failure is a :class:`~curvixkit.errors.PointFileError` naming the line,
point or column (or ``OSError`` for a file that cannot be opened).
"""

from __future__ import annotations

import copy
import csv
import io
import itertools
import math
import os
import re
from typing import IO, Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from curvixkit.errors import PointFileError, missing_extra
from curvixkit.results import PointChunk

__all__ = ["FORMATS", "CHUNK_SIZE", "ALIASES", "Source", "Sink", "detect_format",
           "output_format", "open_source", "open_sink"]

PathLike = Union[str, "os.PathLike[str]"]
Column = Union[None, str, int]

FORMATS = ("csv", "las", "parquet")
# Rows per piece: a quarter of a million points of a few columns stay well
# inside the memory bound even as CSV text (a Python string per cell).
CHUNK_SIZE = 1 << 18

# Column names that say what a column holds, compared case-insensitively
# with spaces, "-" and "_" left out; the first alias found wins.
ALIASES = {
    "x": ("x", "e", "east", "easting", "eastings"),
    "y": ("y", "n", "north", "northing", "northings"),
    "z": ("z", "h", "height", "elev", "elevation", "alt", "altitude", "rl"),
    "name": ("name", "point", "pointname", "pointid", "id", "pt", "pnt"),
    "code": ("code", "feature", "featurecode", "desc", "description"),
}
_SUFFIXES = {".csv": "csv", ".txt": "csv", ".xyz": "csv", ".pts": "csv", ".las": "las",
             ".laz": "las", ".parquet": "parquet", ".pq": "parquet"}
_NUMBER = re.compile(r"^\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*$")
_SNIFF_BYTES = 1 << 16


def _key(name: str) -> str:
    return re.sub(r"[\s_\-]", "", name).lower()


def detect_format(path: PathLike) -> str:
    """"las" or "parquet" by a file's first bytes (their signatures), else "csv"."""
    with open(path, "rb") as stream:
        magic = stream.read(4)
    return {b"LASF": "las", b"PAR1": "parquet"}.get(magic, "csv")


def output_format(destination: PathLike, source_format: str, format: Optional[str] = None) -> str:
    """The format to write: ``format`` where given, else the one the
    destination's suffix names, else the source's."""
    if format is not None:
        if format not in FORMATS:
            raise ValueError("format must be one of %s, got %r" % (", ".join(FORMATS), format))
        return format
    return _SUFFIXES.get(os.path.splitext(os.fspath(destination))[1].lower(), source_format)


def _find(names: Sequence[str], wanted: Column, role: str, path: Any,
          numbered: bool = False) -> Optional[str]:
    """The column ``wanted`` names (case-insensitively; a 1-based number
    where ``numbered``), or for None the first alias of ``role``."""
    if wanted is None:
        keys = {_key(n): n for n in reversed(names)}
        return next((keys[a] for a in ALIASES[role] if a in keys), None)
    text = str(wanted)
    if numbered and text.isdigit() and 1 <= int(text) <= len(names):
        return names[int(text) - 1]
    for n in names:
        if n == text or n.lower() == text.lower():
            return n
    raise PointFileError("no column %r for %s; the columns are %s"
                         % (text, role, ", ".join(names)), path, column=text)


def _axes(names: Sequence[str], x: Column, y: Column, z: Column, path: Any,
          numbered: bool = False) -> Tuple[str, ...]:
    found = []
    for role, wanted in (("x", x), ("y", y)):
        name = _find(names, wanted, role, path, numbered)
        if name is None:
            raise PointFileError("no column for %s (none is named %s); name it with %s=... "
                                 "(the columns are %s)" % (role, "/".join(ALIASES[role][:4]),
                                                           role, ", ".join(names)),
                                 path, column=role)
        found.append(name)
    name = _find(names, z, "z", path, numbered)
    return tuple(found) + ((name,) if name is not None else ())


class Source:
    """A point file opened for reading: ``format``, ``names`` (every column
    or dimension, in order), ``axes`` (the columns of x, y and z), ``has_z``,
    ``total`` (points, where the file says) and :meth:`pieces`."""

    format: str
    path: Any
    names: Tuple[str, ...]
    axes: Tuple[str, ...]
    total: Optional[int]

    @property
    def has_z(self) -> bool:
        """Whether the points have z (a z column was found or named)."""
        return len(self.axes) == 3

    def pieces(self) -> Iterator[Tuple[Any, np.ndarray]]:
        """(the format's own chunk, its (N, 2|3) float64 coordinates)."""
        raise NotImplementedError

    def columns(self, piece: Any) -> Dict[str, np.ndarray]:
        """Every column of a piece as a NumPy array."""
        raise NotImplementedError

    def chunks(self) -> Iterator[PointChunk]:
        """The file's points as :class:`~curvixkit.results.PointChunk`."""
        for piece, xyz in self.pieces():
            yield PointChunk(self.names, self.columns(piece), xyz, self.axes)

    def close(self) -> None:
        """Close the file."""

    def __enter__(self) -> "Source":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# --------------------------------------------------------------------- CSV

class _CsvPiece:
    """Rows of a CSV file: its cells by column (tuples of text) and the
    file line of each row."""

    def __init__(self, cells: List[Tuple[str, ...]], lines: List[int]) -> None:
        self.cells = cells
        self.lines = lines


def _delimiter(lines: List[str]) -> str:
    """, ; tab or space: csv.Sniffer's choice among them, else the first of
    them the first line holds."""
    try:
        return csv.Sniffer().sniff("\n".join(lines[:50]), delimiters=",;\t ").delimiter
    except csv.Error:
        return next((d for d in ",;\t" if lines and d in lines[0]), " ")


def _significant(line: str) -> bool:
    return bool(line.strip()) and not line.lstrip().startswith("#")


class CsvSource(Source):
    """Delimited text with or without a header (UTF-8, a BOM allowed).

    The delimiter is sniffed; a first row in which no cell is a number is
    the header. Blank lines and lines
    starting with # are skipped; every row has as many fields as the
    header (or, without one, the first row). Coordinates are the columns
    ``x``, ``y``, ``z`` name (a name or, without a header, a 1-based
    number), else the aliases of :data:`ALIASES`; a file without a header
    has x and y in its first two columns (and z in the third where it
    holds a number)."""

    def __init__(self, source: Union[PathLike, IO[str]], x: Column = None, y: Column = None,
                 z: Column = None, chunk_size: int = CHUNK_SIZE) -> None:
        self.format = "csv"
        self.total = None
        if hasattr(source, "read"):
            self._stream = source  # type: Any
            self.path = getattr(source, "name", "<stream>")
            self._owned = False
        else:
            self.path = os.fspath(source)  # type: ignore[arg-type]
            self._stream = open(self.path, encoding="utf-8-sig", newline="")
            self._owned = True
        self.chunk_size = max(int(chunk_size), 1)
        try:
            head = self._stream.read(_SNIFF_BYTES) + self._stream.readline()
        except UnicodeDecodeError as exc:
            self.close()
            raise PointFileError("not UTF-8 text (%s)" % exc.reason, self.path)
        if head.startswith("\ufeff"):
            head = head[1:]
        lines = [line for line in head.splitlines() if _significant(line)]
        if not lines:
            self.close()
            raise PointFileError("empty file: no header and no points", self.path, row=1)
        self.delimiter = _delimiter(lines)
        text = itertools.chain(io.StringIO(head), self._stream)  # type: Iterable[str]
        if self.delimiter == " ":   # runs of spaces, and spaces at either end
            text = (" ".join(line.split()) + "\n" for line in text)
        self._reader = csv.reader(text, delimiter=self.delimiter)
        self._rows = self._significant_rows()
        nothing = ([], 1)  # type: Tuple[List[str], int]
        first, line = next(self._rows, nothing)
        if not first:
            self.close()
            raise PointFileError("empty file: no header and no points", self.path, row=1)
        self.header = not any(_NUMBER.match(c) for c in first)
        if self.header:
            self.names = tuple(c.strip() or "column%d" % (k + 1) for k, c in enumerate(first))
            for k, n in enumerate(self.names):
                if n in self.names[:k]:
                    self.close()
                    raise PointFileError("line %d: the header names column %r twice" % (line, n),
                                         self.path, row=line, column=n)
            self._pending = None  # type: Optional[Tuple[List[str], int]]
        else:
            width = len(first)
            if width < 2:
                self.close()
                raise PointFileError("line %d: 1 field, expected x and y" % line, self.path,
                                     row=line)
            third = width > 2 and bool(_NUMBER.match(first[2]))
            default = ("x", "y", "z")[:3 if third else 2]
            self.names = default + tuple("column%d" % k for k in range(len(default) + 1,
                                                                        width + 1))
            self._pending = (first, line)
        try:
            self.axes = _axes(self.names, x, y, z, self.path, numbered=not self.header)
        except PointFileError:
            self.close()
            raise

    def _significant_rows(self) -> Iterator[Tuple[List[str], int]]:
        """(cells, line) of every row that is neither blank nor a comment."""
        reader = self._reader
        try:
            for row in reader:
                first = row[0] if row else ""
                if first and first[0] not in "# \t" or (
                        row and (_significant(first) or len(row) > 1 and not first.strip())):
                    yield row, reader.line_num
        except UnicodeDecodeError as exc:
            raise PointFileError("line %d: not UTF-8 text (%s)" % (reader.line_num + 1,
                                                                   exc.reason), self.path,
                                 row=reader.line_num + 1)
        except csv.Error as exc:
            raise PointFileError("line %d: %s" % (reader.line_num, exc), self.path,
                                 row=reader.line_num)

    def pieces(self) -> Iterator[Tuple[Any, np.ndarray]]:
        width = len(self.names)
        index = [self.names.index(a) for a in self.axes]
        rows_in = self._rows  # type: Iterator[Tuple[List[str], int]]
        if self._pending is not None:
            rows_in = itertools.chain([self._pending], rows_in)
            self._pending = None
        while True:
            block = list(itertools.islice(rows_in, self.chunk_size))
            if not block:
                return
            for row, line in block:
                if len(row) != width:
                    raise PointFileError("line %d: %d field%s, expected %d (%s)" % (
                        line, len(row), "" if len(row) == 1 else "s", width,
                        ",".join(self.names)), self.path, row=line)
            lines = [line for _, line in block]
            cells = list(zip(*(row for row, _ in block)))
            del block
            xyz = np.empty((len(lines), len(index)))
            for k, c in enumerate(index):
                xyz[:, k] = self._numbers(cells[c], lines, self.names[c])
            yield _CsvPiece(cells, lines), xyz

    def _numbers(self, cells: Sequence[str], lines: List[int], name: str) -> np.ndarray:
        """Floats of a column's cells; an empty cell is NaN."""
        try:
            return np.array(cells, dtype=np.float64)
        except ValueError:
            pass
        out = np.empty(len(cells))
        for i, text in enumerate(cells):
            try:
                out[i] = float(text) if text.strip() else math.nan
            except ValueError:
                raise PointFileError("line %d, column %r: %r is not a number"
                                     % (lines[i], name, text), self.path, row=lines[i],
                                     column=name) from None
        return out

    def columns(self, piece: Any) -> Dict[str, np.ndarray]:
        return {n: _objects(c) for n, c in zip(self.names, piece.cells)}

    def close(self) -> None:
        if self._owned:
            self._stream.close()


def _objects(values: Sequence[Any]) -> np.ndarray:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _texts(values: np.ndarray) -> Sequence[str]:
    """Cells of a column: floats written so they read back to the same bits."""
    if values.dtype == object:
        return ["" if v is None else str(v) for v in values.tolist()]
    if values.dtype.kind == "f":
        return [repr(v) for v in values.tolist()]
    return values.astype(str).tolist()


# --------------------------------------------------------------------- LAS

def _laspy() -> Any:
    try:
        import laspy
    except ImportError:
        raise missing_extra("las", "reading and writing LAS/LAZ point clouds") from None
    return laspy


class LasSource(Source):
    """A LAS 1.2-1.4 or LAZ file, read in chunks of point records (laspy's
    chunk iterator). Its ``names`` are the point format's dimensions;
    coordinates are the scaled x, y and z unless ``x``, ``y`` and ``z`` name
    other dimensions. A file shorter than its header's points is refused
    naming the first point that is missing."""

    def __init__(self, path: PathLike, x: Column = None, y: Column = None, z: Column = None,
                 chunk_size: int = CHUNK_SIZE) -> None:
        laspy = _laspy()
        self.format = "las"
        self.path = os.fspath(path)
        self.chunk_size = max(int(chunk_size), 1)
        try:
            self._reader = laspy.open(self.path)
        except OSError:
            raise
        except Exception as exc:   # laspy's own errors, and struct errors of a short header
            raise PointFileError("not a readable LAS/LAZ file (%s)" % _say(exc), self.path)
        header = self.header = self._reader.header
        self.total = int(header.point_count)
        self.compressed = bool(getattr(header, "are_points_compressed", False)) or \
            self.path.lower().endswith(".laz")
        self.names = tuple(header.point_format.dimension_names)
        size = header.point_format.size
        if not self.compressed:
            have = (os.path.getsize(self.path) - header.offset_to_point_data) // size
            if have < self.total:
                self.close()
                raise PointFileError(
                    "point %d of %d: the file ends there (%d complete point records of %d "
                    "bytes after the header: truncated)" % (max(have, 0) + 1, self.total,
                                                           max(have, 0), size),
                    self.path, row=max(have, 0) + 1)
        lowered = {n.lower(): n for n in self.names}
        chosen = []
        for role, wanted in (("x", x), ("y", y), ("z", z)):
            if wanted is None or str(wanted).lower() == role:
                chosen.append(role)
                continue
            name = lowered.get(str(wanted).lower())
            if name is None:
                self.close()
                raise PointFileError("no dimension %r for %s; the dimensions are %s"
                                     % (str(wanted), role, ", ".join(self.names)), self.path,
                                     column=str(wanted))
            chosen.append(name)
        self.axes = tuple(chosen)

    def pieces(self) -> Iterator[Tuple[Any, np.ndarray]]:
        done = 0
        chunks = self._reader.chunk_iterator(self.chunk_size)
        while True:
            try:
                record = next(chunks)
            except StopIteration:
                return
            except Exception as exc:   # a LAZ stream that stops or fails to decompress
                raise PointFileError("point %d of %s: cannot be read (%s)" % (
                    done + 1, self.total, _say(exc)), self.path, row=done + 1)
            n = len(record)
            if n == 0:
                return
            xyz = np.empty((n, 3))
            for k, name in enumerate(self.axes):
                xyz[:, k] = np.asarray(record[name], dtype=np.float64)
            done += n
            yield record, xyz

    def columns(self, piece: Any) -> Dict[str, np.ndarray]:
        return {n: np.asarray(piece[n]) for n in self.names}

    def close(self) -> None:
        self._reader.close()


def _say(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


# ----------------------------------------------------------------- Parquet

def _pyarrow() -> Tuple[Any, Any]:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise missing_extra("parquet", "reading and writing Parquet files") from None
    return pa, pq


class ParquetSource(Source):
    """A Parquet file, streamed in record batches of at most ``chunk_size``
    rows (pyarrow reads one row group at a time). Coordinates are numeric
    columns (null reads as NaN)."""

    def __init__(self, path: PathLike, x: Column = None, y: Column = None, z: Column = None,
                 chunk_size: int = CHUNK_SIZE) -> None:
        pa, pq = _pyarrow()
        self._pa = pa
        self.format = "parquet"
        self.path = os.fspath(path)
        self.chunk_size = max(int(chunk_size), 1)
        try:
            try:
                # Read ahead nothing (pre_buffer would fetch every row group
                # at once: 400 MiB for 10^7 points) and column chunks in
                # 1 MiB pieces.
                self._file = pq.ParquetFile(self.path, pre_buffer=False, buffer_size=1 << 20)
            except TypeError:   # pyarrow before pre_buffer
                self._file = pq.ParquetFile(self.path, buffer_size=1 << 20)
        except OSError as exc:
            if not os.path.isfile(self.path):
                raise
            raise PointFileError("not a readable Parquet file (%s)" % _say(exc), self.path)
        except pa.ArrowException as exc:
            raise PointFileError("not a readable Parquet file (%s)" % _say(exc), self.path)
        self.schema = self._file.schema_arrow
        self.names = tuple(self.schema.names)
        self.total = int(self._file.metadata.num_rows)
        self.axes = _axes(self.names, x, y, z, self.path)
        for name in self.axes:
            kind = self.schema.field(name).type
            if not (pa.types.is_integer(kind) or pa.types.is_floating(kind)
                    or pa.types.is_decimal(kind)):
                raise PointFileError("column %r holds %s, not numbers" % (name, kind), self.path,
                                     column=name)

    def pieces(self) -> Iterator[Tuple[Any, np.ndarray]]:
        pa = self._pa
        index = [self.names.index(a) for a in self.axes]
        done = 0
        batches = self._file.iter_batches(batch_size=self.chunk_size)
        while True:
            try:
                batch = next(batches)
            except StopIteration:
                return
            except (OSError, pa.ArrowException) as exc:
                raise PointFileError("row %d of %s: cannot be read (%s)" % (
                    done + 1, self.total, _say(exc)), self.path, row=done + 1)
            xyz = np.empty((batch.num_rows, len(index)))
            for k, c in enumerate(index):
                xyz[:, k] = batch.column(c).cast(pa.float64()).to_numpy(zero_copy_only=False)
            done += batch.num_rows
            yield batch, xyz

    def columns(self, piece: Any) -> Dict[str, np.ndarray]:
        return {n: piece.column(k).to_numpy(zero_copy_only=False)
                for k, n in enumerate(self.names)}


# ------------------------------------------------------------------ sources

def open_source(source: Union[PathLike, IO[str]], x: Column = None, y: Column = None,
                z: Column = None, format: Optional[str] = None,
                chunk_size: int = CHUNK_SIZE) -> Source:
    """The point file ``source`` opened for reading, its format told by
    content unless ``format`` says ("csv", "las", "parquet"); a text stream
    reads as CSV."""
    if format is not None and format not in FORMATS:
        raise ValueError("format must be one of %s, got %r" % (", ".join(FORMATS), format))
    if hasattr(source, "read"):
        return CsvSource(source, x, y, z, chunk_size)  # type: ignore[arg-type]
    kind = format or detect_format(source)  # type: ignore[arg-type]
    cls = {"csv": CsvSource, "las": LasSource, "parquet": ParquetSource}[kind]
    return cls(source, x, y, z, chunk_size)  # type: ignore[arg-type, no-any-return]


# -------------------------------------------------------------------- sinks

class Sink:
    """A point file being written: :meth:`write` a source's piece (rows
    ``take`` of it, in that order and repeated as given, or all) with the
    ``added`` columns (float64, but for a network's alignment index and
    name); :meth:`close` finishes the file."""

    def __init__(self, path: str, source: Source, added: Sequence[str]) -> None:
        self.path = path
        self.source = source
        self.added = tuple(added)
        taken = [a for a in self.added if a in source.names or a.lower() in
                 {n.lower() for n in source.names}]
        if taken:
            raise PointFileError("the input already has a column %r; rename it or write "
                                 "another format" % taken[0], source.path, column=taken[0])

    def write(self, piece: Any, take: Optional[np.ndarray], added: Dict[str, np.ndarray]) -> None:
        """Rows ``take`` of ``piece`` (all for None) with the ``added`` columns."""
        raise NotImplementedError

    def close(self) -> None:
        """Finish the file."""

    def __enter__(self) -> "Sink":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class CsvSink(Sink):
    """CSV with the source's columns (a CSV source's cells as they were
    read, with its delimiter), then the added ones (floats that read back
    to the same bits); a header row always."""

    def __init__(self, path: str, source: Source, added: Sequence[str]) -> None:
        super().__init__(path, source, added)
        self._stream = open(path, "w", encoding="utf-8", newline="")
        self._writer = csv.writer(self._stream, delimiter=getattr(source, "delimiter", ","),
                                  lineterminator="\n")
        self._writer.writerow(source.names + self.added)

    def write(self, piece: Any, take: Optional[np.ndarray], added: Dict[str, np.ndarray]) -> None:
        if isinstance(piece, _CsvPiece):
            cells = piece.cells  # type: Sequence[Sequence[str]]
            if take is not None:
                order = take.tolist()
                cells = [[c[i] for i in order] for c in cells]
        else:
            columns = self.source.columns(piece)
            cells = [_texts(columns[n] if take is None else columns[n][take])
                     for n in self.source.names]
        extra = [_texts(added[n]) for n in self.added]
        self._writer.writerows(zip(*(list(cells) + extra)))

    def close(self) -> None:
        self._stream.close()


class LasSink(Sink):
    """The source's LAS/LAZ header and every point record as it was (every
    dimension, extra bytes too), with the added columns as float64
    extra-bytes dimensions; compressed for a .laz destination."""

    def __init__(self, path: str, source: Source, added: Sequence[str],
                 compress: Optional[bool] = None) -> None:
        super().__init__(path, source, added)
        if not isinstance(source, LasSource):
            raise PointFileError("LAS output needs a LAS input (its header and point format); "
                                 "write csv or parquet", source.path)
        laspy = _laspy()
        self._laspy = laspy
        self.header = copy.deepcopy(source.header)
        text = [n for n in self.added if n in TEXT_COLUMNS]
        if text:
            raise PointFileError("LAS holds no text column %r; write csv or parquet" % text[0],
                                 source.path, column=text[0])
        self.header.add_extra_dims([laspy.ExtraBytesParams(
            n, "i8" if n in _INTEGER_COLUMNS else "f8", _DESCRIPTIONS.get(n, n))
            for n in self.added])
        if compress is None:
            compress = source.compressed
        self._writer = laspy.open(path, mode="w", header=self.header, do_compress=compress)

    def write(self, piece: Any, take: Optional[np.ndarray], added: Dict[str, np.ndarray]) -> None:
        n = len(piece) if take is None else len(take)
        out = self._laspy.ScaleAwarePointRecord.zeros(n, header=self.header)
        for field in piece.array.dtype.names:
            out.array[field] = piece.array[field] if take is None else piece.array[field][take]
        for name in self.added:
            out[name] = added[name]
        self._writer.write_points(out)

    def close(self) -> None:
        self._writer.close()


# Descriptions of the added extra-bytes dimensions (32 bytes at most).
_DESCRIPTIONS = {"station": "alignment station", "offset": "signed offset, + right",
                 "distance": "distance to the alignment", "dz": "height above the design",
                 "alignment": "index of the nearest alignment"}
# Added columns that are not float64: a network's alignment index (-1 for
# none) and name (text; CSV and Parquet only, LAS holds no text).
_INTEGER_COLUMNS = ("alignment",)
TEXT_COLUMNS = ("alignment_name",)


class ParquetSink(Sink):
    """The source's columns (a Parquet source's as they were, schema and
    metadata too), then the added float64 columns; a row group per piece."""

    def __init__(self, path: str, source: Source, added: Sequence[str]) -> None:
        super().__init__(path, source, added)
        self._pa, pq = _pyarrow()
        self._pq = pq
        self._writer = None  # type: Any
        self.schema = None  # type: Any
        if isinstance(source, ParquetSource):
            self._open(source.schema)

    def _open(self, schema: Any) -> None:
        pa = self._pa
        for name in self.added:
            schema = schema.append(pa.field(name, self._type(name)))
        self.schema = schema
        # No dictionaries for float columns: coordinates seldom repeat, and
        # trying one per page made writing five times as slow.
        self._writer = self._pq.ParquetWriter(self.path, schema, use_dictionary=[
            f.name for f in schema if not pa.types.is_floating(f.type)])

    def _type(self, name: str) -> Any:
        pa = self._pa
        if name in TEXT_COLUMNS:
            return pa.string()
        return pa.int64() if name in _INTEGER_COLUMNS else pa.float64()

    def write(self, piece: Any, take: Optional[np.ndarray], added: Dict[str, np.ndarray]) -> None:
        pa = self._pa
        if isinstance(self.source, ParquetSource):
            batch = piece if take is None else piece.take(pa.array(take))
            arrays = list(batch.columns)
        else:
            columns = self.source.columns(piece)
            arrays = [pa.array(columns[n] if take is None else columns[n][take])
                      for n in self.source.names]
        if self._writer is None:
            self._open(pa.schema([pa.field(n, a.type) for n, a in zip(self.source.names,
                                                                        arrays)]))
        arrays += [pa.array(added[n], type=self._type(n)) for n in self.added]
        writer = self._writer
        assert writer is not None  # opened above
        writer.write_table(pa.Table.from_arrays(arrays, schema=self.schema))

    def close(self) -> None:
        if self._writer is None:   # no rows from a source without a schema: text columns
            pa = self._pa
            self._open(pa.schema([pa.field(n, pa.string()) for n in self.source.names]))
        writer = self._writer
        assert writer is not None  # opened above
        writer.close()


def open_sink(format: str, path: str, source: Source, added: Sequence[str],
              compress: Optional[bool] = None) -> Sink:
    """A sink of ``format`` writing to ``path`` the columns of ``source``
    and then ``added``; ``compress`` (LAS: LAZ or not) defaults to the
    source's."""
    if format == "las":
        return LasSink(path, source, added, compress)
    return {"csv": CsvSink, "parquet": ParquetSink}[format](path, source, added)
