"""What the commands share: argument types, reading the alignment, and
output that appears whole or not at all."""

from __future__ import annotations

import argparse
import contextlib
import math
import re
import sys
from typing import IO, Any, Iterator, Optional, Sequence, Tuple

from curvixkit import Alignment
from curvixkit.errors import IcdError, one_line
from curvixkit.io.files import replaced_when_done, same_file
from curvixkit.stations import StationError, parse_station

PROG = "curvix"


class CommandError(Exception):
    """A problem with the user's input or files on the command line.

    The command line reports it as one line on stderr and exits with status 2.
    """


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line (and exit status 2), pointing at --help."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, "%s: error: %s (see '%s --help')\n"
                  % (self.prog, " ".join(message.split()), self.prog))


# ------------------------------------------------------------ argument types

def positive(text: str) -> float:
    """A finite number above 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a positive number, got %r" % text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError("expected a positive number, got %r" % text)
    return value


def positive_int(text: str) -> int:
    """A whole number above 0."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError("expected a positive whole number, got %r" % text)
    return value


def station(text: str) -> float:
    """A display station argument: a number or chainage in any style."""
    try:
        return parse_station(text)
    except StationError:
        raise argparse.ArgumentTypeError(
            "expected a station such as 12345.6, K12+345.6 or 123+45.67, got %r" % text)


def _finite(text: str, what: str, finite: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected %s, got %r" % (what, text))
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("expected %s, got %r" % (finite, text))
    return value


def coordinate(text: str) -> float:
    """A finite coordinate."""
    return _finite(text, "a coordinate", "a finite coordinate")


def crs(text: str) -> str:
    """EPSG:<code>."""
    match = re.match(r"^EPSG:(\d+)$", text.strip(), re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError("expected EPSG:<code> such as EPSG:4547, got %r" % text)
    return "EPSG:" + match.group(1)


_NUMBER = r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?"
# argparse takes "-3.5,0,3.5" for an option; a list of numbers starting with
# a negative one passes as a value.
NUMBER_LIST = re.compile(r"^-(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?(,%s)*$" % _NUMBER)


def offsets(text: str) -> Tuple[float, ...]:
    """``-3.5,0,3.5``: finite offsets, negative left, each once."""
    try:
        values = [_finite(field, "offsets", "finite offsets") for field in text.split(",")]
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError("expected finite offsets such as -3.5,0,3.5, got %r"
                                         % text) from None
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError("an offset is given twice in %r" % text)
    return tuple(values)


def add_file(p: argparse.ArgumentParser) -> None:
    """The alignment file argument and --alignment."""
    p.add_argument("file", help="ICD, LandXML or IFC alignment file")
    p.add_argument("--alignment", metavar="NAME",
                   help="which alignment of a LandXML or IFC file holding several (in an IFC "
                        "file, whose names repeat, a number that is no name is the 0-based "
                        "index)")


def add_range(p: argparse.ArgumentParser) -> None:
    """--step, --from and --to (display stations)."""
    p.add_argument("--step", type=positive, default=20.0, help="station interval (default 20)")
    p.add_argument("--from", dest="start", type=station, metavar="STATION",
                   help="first station (default: start of the alignment)")
    p.add_argument("--to", dest="end", type=station, metavar="STATION",
                   help="last station (default: end of the alignment)")


def add_geojson_options(p: argparse.ArgumentParser, what: str = "GeoJSON") -> None:
    """--crs, --plane and --chord-error."""
    p.add_argument("--crs", type=crs, metavar="EPSG:CODE",
                   help="GeoJSON: transform from this plane CRS (in the file's unit) to WGS 84 "
                        "longitude/latitude")
    p.add_argument("--plane", action="store_true",
                   help="GeoJSON: keep plane coordinates and name --crs in a crs member")
    p.add_argument("--chord-error", type=positive, default=0.001, metavar="E",
                   help="largest distance of a chord from a curve in %s (default 0.001)" % what)


def check_geojson_options(args: argparse.Namespace, geojson: bool) -> None:
    """--crs and --plane apply to GeoJSON only; --plane needs --crs."""
    if (args.crs is not None or args.plane) and not geojson:
        raise CommandError("--crs and --plane apply to GeoJSON output only")
    if args.plane and args.crs is None:
        raise CommandError("--plane needs --crs EPSG:CODE to name")


# ------------------------------------------------------------------ input

def describe_load_error(path: str, exc: BaseException) -> str:
    """One line: the file, and the reader's words (which name the line)."""
    if isinstance(exc, OSError):
        return "%s: %s" % (path, exc.strerror or exc)
    if isinstance(exc, IcdError):
        return "%s: %s" % (path, exc.message)
    text = one_line(exc)
    return text if text.startswith(path) else "%s: %s" % (path, text)


def _is_ifc(path: str) -> bool:
    from curvixkit.io import ifc
    with open(path, "rb") as f:
        return ifc.is_ifc(f.read(64))


def load(args: argparse.Namespace) -> Alignment:
    """The alignment of ``args.file`` (``args.alignment`` picks one of a
    LandXML file's); a file that cannot be read is a :class:`CommandError`."""
    try:
        name = args.alignment  # type: Any
        if name is not None and name.isdigit() and _is_ifc(args.file) and \
                name not in Alignment.ifc_names(args.file):
            name = int(name)
        return Alignment.read(args.file, name=name)
    except (OSError, ValueError) as exc:
        raise CommandError(describe_load_error(args.file, exc))


def internal(a: Alignment, value: Optional[float], option: str) -> Optional[float]:
    """A station given on the command line, read as a display station of the
    file's station equations, and inside the alignment."""
    if value is None:
        return None
    try:
        s = float(a.stations.from_display(value))
    except StationError as exc:
        raise CommandError("%s %s: %s" % (option, value, one_line(exc)))
    return s


# ------------------------------------------------------------------ output

def refuse_overwrite(output: Optional[str], inputs: Sequence[Optional[str]]) -> None:
    """A :class:`CommandError` where OUT is one of the input files."""
    if output is None or output == "-":
        return
    for path in inputs:
        if path is not None and path != "-" and same_file(output, path):
            raise CommandError("%s is also the input %s; write to another file" % (output, path))


@contextlib.contextmanager
def output_path(path: str, inputs: Sequence[Optional[str]] = ()) -> Iterator[str]:
    """A temporary path beside ``path``, renamed to ``path`` when the block
    ends without an error (:func:`curvixkit.io.files.replaced_when_done`).
    OUT may not be one of ``inputs``."""
    refuse_overwrite(path, inputs)
    opened = False
    try:
        with replaced_when_done(path) as tmp:
            opened = True
            yield tmp
    except OSError as exc:
        if opened:
            raise
        raise CommandError("cannot write %s: %s" % (path, exc.strerror or exc))


@contextlib.contextmanager
def output(path: Optional[str], inputs: Sequence[Optional[str]] = (),
           binary: bool = False) -> Iterator[Any]:
    """Standard output for None or "-"; else a stream to OUT that appears
    whole or not at all (see :func:`output_path`)."""
    if path is None or path == "-":
        yield sys.stdout.buffer if binary else sys.stdout
        sys.stdout.flush()
        return
    with output_path(path, inputs) as tmp:
        with (open(tmp, "wb") if binary else open(tmp, "w", encoding="utf-8", newline="")) as stream:
            yield stream


def write_text(path: Optional[str], text: str, inputs: Sequence[Optional[str]] = ()) -> None:
    """``text`` to OUT (or standard output)."""
    with output(path, inputs) as out:
        out.write(text)


def stream_name(out: IO[Any]) -> str:
    """The name of an output stream, for messages."""
    return getattr(out, "name", "<stdout>")
