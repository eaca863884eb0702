"""Command-line tools for curvix alignments: ``curvix info | sample | locate | plot``.

The tools read alignments through the public ``curvix.PQX`` (stations,
coordinates, point search) and through ``curvix_tools._elements`` for the
element list that ``PQX`` keeps to itself.
"""
