"""The ``curvix`` command: info, sample, locate, stakeout, convert, check and
plot for ICD, LandXML and IFC alignments (``curvix --version`` prints the version).

It uses only curvixkit's public API; one module per command holds its
parser and its run function, :mod:`._common` what they share.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import List, Optional

from curvixkit import __version__
from curvixkit.cli import check, convert, info, locate, plot, sample, stakeout
from curvixkit.cli._common import PROG, CommandError, Parser
from curvixkit.errors import MissingExtraError, one_line

__all__ = ["main", "build_parser", "CommandError"]

_DESCRIPTION = """\
Horizontal alignments from ICD or LandXML files (told apart by content):
element table, stations and coordinates, nearest stations and signed
offsets of points, stake-out, checks and a plan drawing.

Stations are printed as numbers and in chainage form in the file's style
(12345.678 is K12+345.678; 123+45.68 for a file in feet); station arguments
accept either form. Azimuths are measured from +Y towards +X."""

_COMMANDS = (info, sample, locate, stakeout, convert, check, plot)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``curvix`` and its subcommands."""
    fmt = argparse.RawDescriptionHelpFormatter
    parser = Parser(prog=PROG, description=_DESCRIPTION, formatter_class=fmt,
                    epilog="Run 'curvix COMMAND --help' for a command's options and examples.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in _COMMANDS:
        command.add_parser(sub, fmt)  # type: ignore[attr-defined]
    return parser


def _parse(parser: argparse.ArgumentParser, argv: List[str]) -> argparse.Namespace:
    """The arguments; ``locate`` reads its options before or after its
    coordinates (argparse alone takes the coordinates only before them)."""
    args, extra = parser.parse_known_args(argv)
    if extra and args.command == "locate":
        sub = next(a for a in parser._actions  # the subcommand's own parser
                   if isinstance(a, argparse._SubParsersAction)).choices["locate"]
        at = argv.index("locate")
        args = sub.parse_intermixed_args(argv[at + 1:], namespace=argparse.Namespace(
            command="locate"))
    elif extra:
        parser.error("unrecognized arguments: %s" % " ".join(extra))
    return args


def main(argv: Optional[List[str]] = None) -> int:
    """Run ``curvix`` with ``argv`` (default ``sys.argv[1:]``); the exit status:
    0 done, 1 a check failed, 2 bad input (one line on stderr, never a
    traceback). Warnings of the library are one line each on stderr."""
    parser = build_parser()
    args = _parse(parser, list(sys.argv[1:] if argv is None else argv))
    where = "%s %s" % (PROG, args.command)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            status = args.func(args)
        except (CommandError, MissingExtraError, ValueError) as exc:
            _warn(where, caught)
            sys.stderr.write("%s: error: %s\n" % (where, one_line(exc)))
            return 2
        except KeyboardInterrupt:
            sys.stderr.write("%s: interrupted\n" % where)
            return 130
        except BrokenPipeError:
            # The reader went away (curvix sample ... | head): stop quietly.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
    _warn(where, caught)
    return status


def _warn(where: str, caught: List[warnings.WarningMessage]) -> None:
    for w in caught:
        sys.stderr.write("%s: warning: %s\n" % (where, " ".join(str(w.message).split())))
