"""Reading IFC 4.3 alignments, and points on them against ifcopenshell's own
alignment evaluator.

    python benchmarks/bench_ifc.py [--points 1000000] [--theirs 20000] [--repeat 3]

Reads ../shared/ifc/al01-11-tracks.ifc (11 railway tracks; skipped with a
message when the folder is absent): the time of ``Alignment.ifc_names`` and
``Alignment.from_ifc`` of all 11 (best of --repeat), beside ifcopenshell's
bare parse of the same text. Then, on the longest track, the per-point cost
of ``Alignment.point3d`` against ifcopenshell 0.9's evaluator of the
alignment's geometric representation, both in this run:

- ifcopenshell maps the alignment's ``IfcGradientCurve`` to a piecewise
  function (``ifcopenshell_wrapper.map_shape``) and evaluates it with a
  ``function_item_evaluator``: its 4x4 matrix at u holds (distance along,
  height), the profile only. The plan comes from its ``BaseCurve``, the
  ``IfcCompositeCurve`` (``map_shape`` of the composite gives no function
  item in 0.9, so each ``IfcCurveSegment`` is mapped to its own function
  and evaluator, the segment found by bisection on their lengths). A 3D
  point is the plan point at u and the height at u: two evaluations.
- curvixkit evaluates the business logic (the design parameters) in its
  engine, vectorised over all stations in one call.

The largest distance between the two answers at the same stations is
printed with where it is and why it is not zero: the representation is the
exporter's rounding of the design (its IfcCurveSegment placements lie up
to 0.89 mm from the design's segment ends on this file), it measures circle
segments by parameter (an angle) not by length, and its gradient curve's
parameter is not exactly the distance along the plan.
"""

from __future__ import annotations

import argparse
import bisect
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = os.path.join(HERE, "..", "..", "shared", "ifc", "al01-11-tracks.ifc")


def best(fn, repeat):
    times = []
    out = None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times), out


def read_all(path):
    from curvixkit import Alignment
    names = Alignment.ifc_names(path)
    return [Alignment.from_ifc(path, name=i) for i in range(len(names))]


class TheirEvaluator:
    """ifcopenshell's evaluation of one alignment's representation. Its
    IfcCurveSegment k is taken for design segment k (the exporter writes
    one for each), so a station is evaluated in the same segment at the
    same distance into it by both; where the representation's segment
    length differs from the design's, that segment's points differ."""

    def __init__(self, model, alignment_entity, design):
        import ifcopenshell.geom
        from ifcopenshell import ifcopenshell_wrapper as w
        settings = ifcopenshell.geom.settings()
        curves = [item for rep in alignment_entity.Representation.Representations
                  for item in rep.Items]
        gradient = [c for c in curves if c.is_a("IfcGradientCurve")]
        if not gradient:
            raise SystemExit("the track has no IfcGradientCurve to compare with")
        self.profile = w.function_item_evaluator(settings, w.map_shape(settings, gradient[0]))
        segments = gradient[0].BaseCurve.Segments
        if len(segments) < len(design):
            raise SystemExit("the representation has %d plan segments for %d design segments"
                             % (len(segments), len(design)))
        self.segments, self.lengths, self.kinds, self.by_length = [], [], [], []
        for seg in segments[:len(design)]:
            fn = w.map_shape(settings, seg)
            # 0.9 maps a segment without SegmentStart to nothing
            self.segments.append(None if fn is None else w.function_item_evaluator(settings, fn))
            self.lengths.append(math.nan if fn is None else fn.length())
            measures = tuple(v.is_a() if hasattr(v, "is_a") else "none"
                             for v in (seg.SegmentStart, seg.SegmentLength))
            self.kinds.append((seg.id(), seg.ParentCurve.is_a(), "%s, %s" % measures))
            # Starting at a length (0) into the parent curve, not at a parameter.
            self.by_length.append(measures[0].endswith("LengthMeasure"))
        self.starts = [e.start_station for e in design]
        self.design = [e.length for e in design]

    def index(self, s):
        return max(0, bisect.bisect_right(self.starts, s) - 1)

    def plan(self, s):
        k = self.index(s)
        if self.segments[k] is None:
            return math.nan, math.nan
        m = self.segments[k].evaluate(s - self.starts[k])
        return m[0][3], m[1][3]

    def height(self, u):
        m = self.profile.evaluate(u)
        return m[0][3], m[1][3]  # (distance along, height)

    def point3d(self, s, u):
        x, y = self.plan(s)
        return x, y, self.profile.evaluate(u)[1][3]

    def agrees(self, k):
        """Whether segment k starts at a length into its parent curve and
        ifcopenshell gives it the design's length."""
        return self.by_length[k] and abs(self.lengths[k] - self.design[k]) <= 1e-6 * max(
            1.0, self.design[k])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--points", type=int, default=1000000)
    parser.add_argument("--theirs", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--path", default=SHARED)
    args = parser.parse_args(argv)
    path = os.path.normpath(args.path)
    if not os.path.exists(path):
        print("skipped: %s is absent (the shared IFC files lie beside the checkout, "
              "../shared/ifc)" % path)
        return 0
    import ifcopenshell
    from curvixkit.io.ifc import open_model

    text = open(path, encoding="latin-1").read().replace("'IFC4X3'", "'IFC4X3_ADD2'")
    parse, _ = best(lambda: ifcopenshell.file.from_string(text), args.repeat)
    opened, _ = best(lambda: open_model(path), args.repeat)
    seconds, tracks = best(lambda: read_all(path), args.repeat)
    print("file %s (%.2f MB)" % (path, os.path.getsize(path) / 1e6))
    print("read: ifc_names + from_ifc of all %d alignments  %8.3f s  (each from_ifc opens the "
          "file again)" % (len(tracks), seconds))
    print("      open_model once (scan + parse + checks)    %8.3f s" % opened)
    print("      ifcopenshell.file.from_string alone        %8.3f s" % parse)

    k = max(range(len(tracks)), key=lambda i: tracks[i].length)
    a = tracks[k]
    model, _ = open_model(path)
    entity = model.by_id(int(a._meta["entity"][1:]))
    t = time.perf_counter()
    theirs = TheirEvaluator(model, entity, a.elements)
    built = time.perf_counter() - t
    differ = [j for j in range(len(a)) if not theirs.agrees(j)]
    print("\nlongest track: #%d %r, %d elements, %.3f m" % (entity.id(), a.name, len(a), a.length))

    rng = np.random.default_rng(20)
    stations = rng.uniform(a.start_station, a.end_station, args.points)
    ours, _ = best(lambda: a.point3d(stations), args.repeat)
    ours /= args.points
    sample = stations[:args.theirs]
    u = [float(v - a.start_station) for v in sample]
    per_theirs, them = best(lambda: np.array([theirs.point3d(float(v), w)
                                              for v, w in zip(sample, u)]), args.repeat)
    per_theirs /= len(u)
    print("point3d per point: curvixkit %.1f ns (%d stations, one call); ifcopenshell %.2f us "
          "(%d stations, a plan and a profile evaluation each; its evaluators built in %.3f s)"
          % (ours * 1e9, args.points, per_theirs * 1e6, len(u), built))
    print("ratio: curvixkit %.0fx faster per point" % (per_theirs / ours))

    mine = a.point3d(sample)
    plan = np.hypot(mine[:, 0] - them[:, 0], mine[:, 1] - them[:, 1])
    dz = np.abs(mine[:, 2] - them[:, 2])
    index = np.array([theirs.index(v) for v in sample])
    same = np.array([theirs.agrees(j) for j in index])
    print("representation segments with a parameter (not a length) as SegmentStart, or to "
          "which ifcopenshell gives another length than the design's: %d of %d (%s)"
          % (len(differ), len(a), ", ".join(
              "#%d %s (%s) %.6g for %.6g" % (theirs.kinds[j] + (theirs.lengths[j],
                                                               theirs.design[j]))
              for j in differ[:3]) + (", ..." if len(differ) > 3 else "")))
    for label, mask in (("all stations", np.isfinite(plan) | ~np.isfinite(plan)),
                        ("stations on the other segments", same)):
        if not mask.any():
            continue
        p = np.where(mask & np.isfinite(plan), plan, -1.0)
        i = int(np.argmax(p))
        j = int(index[i])
        print("largest plan distance, %s (%d): %.3g m at station %.3f in #%d %s (SegmentStart, "
              "SegmentLength: %s); %d stations without an answer from ifcopenshell"
              % (label, int(mask.sum()), p[i], sample[i], theirs.kinds[j][0], theirs.kinds[j][1],
                 theirs.kinds[j][2], int((~np.isfinite(plan) & mask).sum())))
    three = np.sqrt(plan ** 2 + dz ** 2)
    good = same & np.isfinite(three)
    print("largest 3D distance on those segments: %.3g m (height alone: largest %.3g m, "
          "median %.3g m)" % (three[good].max(), dz.max(), np.median(dz)))
    pairs = np.array([theirs.height(v) for v in u[:2000]])
    own = np.abs(a.elevation(a.start_station + pairs[:, 0]) - pairs[:, 1])
    print("the gradient curve's parameter u against its own distance along: up to %.3g m apart;"
          " heights compared at its own distance along: within %.3g m"
          % (float(np.abs(pairs[:, 0] - np.array(u[:2000])).max()), float(own.max())))
    for n in a.diagnostics().notes:
        if n.startswith("representation:"):
            print(n)
    return 0


if __name__ == "__main__":
    sys.exit(main())
