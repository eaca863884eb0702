"""A progress bar on stderr for long runs (the one the library's long
calls draw too: :class:`curvixkit._progress.Progress`)."""

from curvixkit._progress import Progress

__all__ = ["Progress"]
