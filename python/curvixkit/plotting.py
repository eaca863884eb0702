"""Plan drawing of an alignment with matplotlib (the optional ``plot`` extra)."""

from __future__ import annotations

import math
from typing import Any, List, NamedTuple, Tuple

from curvixkit.alignment import Alignment

from curvixkit.errors import CommandError
from curvixkit.sampling import grid_range

COLOURS = {"line": "#1f77b4", "arc": "#d62728", "clothoid": "#2ca02c"}
MAX_TICKS = 2000
# Points per element: curves are drawn with chords of about 1/2000 of the
# whole length, at least 2 and at most 1000 points each.
CHORDS_PER_ALIGNMENT = 2000
MAX_POINTS_PER_ELEMENT = 1000

MISSING_MATPLOTLIB = 'plotting needs matplotlib; install it with: pip install "curvix[plot]"'


def _load_matplotlib():
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
    except ImportError:
        raise CommandError(MISSING_MATPLOTLIB)
    return Figure, FigureCanvasAgg, Line2D


def _element_polyline(alignment: Alignment, k: int, spacing: float) -> Tuple[List[float], List[float]]:
    start, end = alignment.boundaries[k], min(alignment.boundaries[k + 1], alignment.end_pk)
    if alignment.elements[k]["kind"] == "line" or not spacing > 0:
        n = 2
    else:
        n = min(max(int(math.ceil((end - start) / spacing)) + 1, 2), MAX_POINTS_PER_ELEMENT)
    stations = [end if i == n - 1 else start + (end - start) * i / (n - 1) for i in range(n)]
    xy = alignment.points(stations)
    return xy[:, 0].tolist(), xy[:, 1].tolist()


class Label(NamedTuple):
    """A label drawn: ``kind`` "key" or "tick", its text and its box in pixels."""
    kind: str
    text: str
    box: Tuple[float, float, float, float]


def _key_marks(alignment: Alignment, names: str) -> List[Tuple[str, float, float, float]]:
    """(name, x, y, azimuth) per key point of the curves; points at one
    station share a label (ST/TS)."""
    from curvixkit.keypoints import key_points

    marks = []  # type: List[Tuple[str, float, float, float]]
    last = 0.0  # read only once marks holds a point
    for kp in key_points(alignment.kit, names):
        if kp.group == 0:
            continue
        if marks and kp.station - last <= 1e-6:
            marks[-1] = (marks[-1][0] + "/" + kp.name,) + marks[-1][1:]
        else:
            marks.append((kp.name, kp.x, kp.y, kp.azimuth))
        last = kp.station
    return marks


def _thin_labels(fig: Any, ax: Any, labels: List[Tuple[str, Any, Any]]) -> List[Label]:
    """Keep labels in order of priority (key points first, then ticks along
    the alignment) where their box, with a small margin, meets no box kept
    before; a tick whose label goes goes with it. The layout is fixed first
    so the boxes are those of the saved image."""
    renderer = fig.canvas.get_renderer()
    ax.apply_aspect()
    kept = []  # type: List[Label]
    pad = 1.0
    for kind, text, line in labels:
        b = text.get_window_extent(renderer)
        box = (b.x0 - pad, b.y0 - pad, b.x1 + pad, b.y1 + pad)
        if any(box[0] < o.box[2] and o.box[0] < box[2] and box[1] < o.box[3] and o.box[1] < box[3]
               for o in kept):
            text.remove()
            if line is not None:
                line.remove()
            continue
        kept.append(Label(kind, text.get_text(), box))
    return kept


def _label_rotation(nx: float, ny: float) -> Tuple[float, str]:
    """Text angle (degrees) along the normal (nx, ny), turned to read left to right."""
    angle = math.degrees(math.atan2(ny, nx))
    if angle > 90:
        return angle - 180, "right"
    if angle < -90:
        return angle + 180, "right"
    return angle, "left"


def plot_plan(alignment: Alignment, out: str, tick: float = 100.0, dpi: int = 150,
              size: Tuple[float, float] = (11.0, 8.5), keypoints: str = "us") -> List[Label]:
    """Draw the plan into ``out``; key points are named by the ``"us"`` or
    ``"cn"`` set. Returns the labels drawn with their boxes in pixels (ticks
    whose label would overlap another were left out)."""
    Figure, FigureCanvasAgg, Line2D = _load_matplotlib()
    alignment.require_elements()
    start, end = alignment.start_pk, alignment.end_pk
    first, last = grid_range(start, end, tick)
    if last - first + 1 > MAX_TICKS:
        raise CommandError("--tick %g gives %d station ticks (at most %d); use a larger --tick"
                           % (tick, last - first + 1, MAX_TICKS))

    fig = Figure(figsize=size)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)

    spacing = (end - start) / CHORDS_PER_ALIGNMENT
    all_x, all_y = [], []
    kinds_drawn = []
    for k, element in enumerate(alignment.elements):
        xs, ys = _element_polyline(alignment, k, spacing)
        ax.plot(xs, ys, color=COLOURS[element["kind"]], linewidth=1.8,
                solid_capstyle="butt", zorder=2)
        all_x += xs
        all_y += ys
        if element["kind"] not in kinds_drawn:
            kinds_drawn.append(element["kind"])

    finite = [(x, y) for x, y in zip(all_x, all_y) if math.isfinite(x) and math.isfinite(y)]
    if not finite:
        raise CommandError("%s: the alignment has no finite coordinates to draw" % alignment.path)
    xmin, xmax = min(p[0] for p in finite), max(p[0] for p in finite)
    ymin, ymax = min(p[1] for p in finite), max(p[1] for p in finite)
    tick_len = 0.012 * (math.hypot(xmax - xmin, ymax - ymin) or 1.0)

    decimals = 0 if float(tick).is_integer() else 3
    key_marks = _key_marks(alignment, keypoints)
    if key_marks:
        ax.plot([m[1] for m in key_marks], [m[2] for m in key_marks], linestyle="none",
                marker="^", markersize=3.5, color="black", zorder=5)
    labels = []  # (kind, text artist, tick line or None), in order of priority
    for name, x, y, a in key_marks:
        nx, ny = math.cos(a), -math.sin(a)  # unit normal to the right of travel
        rotation, ha = _label_rotation(nx, ny)
        text = ax.text(x + nx * tick_len * 0.8, y + ny * tick_len * 0.8, name, rotation=rotation,
                       rotation_mode="anchor", ha=ha, va="center", fontsize=5.5,
                       fontweight="bold", zorder=6)
        labels.append(("key", text, None))
    for i in range(first, last + 1):
        pk = i * tick
        x, y = alignment.point(pk)
        a = alignment.azimuth(pk)
        nx, ny = -math.cos(a), math.sin(a)  # unit normal to the left of travel
        line, = ax.plot([x - nx * tick_len * 0.5, x + nx * tick_len],
                        [y - ny * tick_len * 0.5, y + ny * tick_len],
                        color="black", linewidth=0.6, zorder=3)
        rotation, ha = _label_rotation(nx, ny)
        text = ax.text(x + nx * tick_len * 1.3, y + ny * tick_len * 1.3,
                       alignment.chainage(pk, decimals), rotation=rotation, rotation_mode="anchor",
                       ha=ha, va="center", fontsize=5, zorder=4)
        labels.append(("tick", text, line))

    bx, by = zip(*(alignment.point(min(s, end)) for s in alignment.boundaries))
    ax.plot(bx, by, linestyle="none", marker="o", markersize=3.5, markerfacecolor="white",
            markeredgecolor="black", markeredgewidth=0.8, zorder=5)

    handles = [Line2D([], [], color=COLOURS[k], linewidth=1.8, label=k) for k in kinds_drawn]
    handles.append(Line2D([], [], linestyle="none", marker="o", markerfacecolor="white",
                          markeredgecolor="black", label="element boundary"))
    ax.legend(handles=handles, loc="best", fontsize=8)
    ax.set_aspect("equal", adjustable="datalim")
    ax.ticklabel_format(useOffset=False, style="plain")
    ax.tick_params(labelsize=7)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.grid(True, linewidth=0.3, alpha=0.5)
    ax.set_title("%s   %s to %s   (%d elements)" % (
        alignment.path, alignment.chainage(start), alignment.chainage(end), len(alignment.elements)),
        fontsize=9)
    fig.tight_layout()
    fig.set_dpi(dpi)
    kept = _thin_labels(fig, ax, labels)
    try:
        fig.savefig(out, dpi=dpi)
    except (OSError, ValueError) as exc:
        raise CommandError("cannot write %s: %s" % (out, getattr(exc, "strerror", None) or exc))
    return kept
