from __future__ import annotations


class CommandError(Exception):
    """A problem with the user's input or files.

    The command line reports it as one line on stderr and exits with status 2.
    """
