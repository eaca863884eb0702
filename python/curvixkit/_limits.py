"""How much memory a query may ask for: a request that cannot fit fails with
``MemoryError`` before anything is allocated.

The arrays a caller passes can be views that cost nothing (``np.broadcast_to``
gives 10^9 stations in a few bytes), but every query copies them into
contiguous float64 arrays and allocates its results, so the count of values
decides. A request is refused when the bytes it needs exceed what this
process may use: the machine's physical memory, or less where the process
runs under an address-space or data-size limit (``ulimit -v``, ``-d``).
"""

from __future__ import annotations

import os

try:
    import resource
except ImportError:  # not on Windows
    resource = None  # type: ignore[assignment]

# What a query needs per value it is given: the float64 copy of the input,
# its contiguous copy and the results (up to two float64 per value).
BYTES_PER_VALUE = 32
# Requests below this are never refused (no process that has imported NumPy
# runs under a smaller limit), so that small queries pay no system calls.
ALWAYS_ALLOWED = 64 << 20


def memory_limit() -> int:
    """Bytes this process may allocate at most (physical memory, or less
    under RLIMIT_AS / RLIMIT_DATA)."""
    limits = []
    try:
        limits.append(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, ValueError, OSError):
        pass
    if resource is not None:
        for which in (resource.RLIMIT_AS, getattr(resource, "RLIMIT_DATA", None)):
            if which is None:
                continue
            soft, _ = resource.getrlimit(which)
            if soft != resource.RLIM_INFINITY and soft > 0:
                limits.append(soft)
    positive = [v for v in limits if v > 0]
    return min(positive) if positive else 1 << 62


def check_request(count: int, name: str, bytes_per_value: int = BYTES_PER_VALUE) -> None:
    """Raise ``MemoryError`` naming ``name`` when ``count`` values would need
    more memory than :func:`memory_limit`."""
    need = int(count) * bytes_per_value
    if need <= ALWAYS_ALLOWED:
        return
    limit = memory_limit()
    if need > limit:
        raise MemoryError("%s: %d values would need %.3g GB, more than the %.3g GB this "
                          "process may use" % (name, int(count), need / 1e9, limit / 1e9))
