"""Plan drawings of an alignment with matplotlib (the optional ``plot`` extra).

The plan shows straights, arcs and clothoids in their own colours, element
joints, the curves' key points, station ticks at round display chainage
(so after a station equation too), the station equations and the kinks
:meth:`curvixkit.Alignment.diagnostics` finds. Labels never overlap: they
are kept in order of priority (equations and kinks, key points, ticks)
where their box meets no box kept before, measured on the drawing as it is
saved.
"""

from __future__ import annotations

import math
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

from curvixkit import design
from curvixkit.errors import missing_extra
from curvixkit.stations import count_grid_rows, format_station, grid_blocks

__all__ = ["plot_plan", "plot_profile", "Label", "COLOURS", "MAX_TICKS"]

COLOURS = {"line": "#1f77b4", "arc": "#d62728", "clothoid": "#2ca02c", "bloss": "#17becf",
           "cosine": "#bcbd22", "sine": "#8c564b", "helmert": "#e377c2", "viennese": "#7f7f7f",
           "cubic": "#ff7f0e"}
MAX_TICKS = 2000
# Points per element: curves are drawn with chords of about 1/2000 of the
# whole length, at least 2 and at most 1000 points each.
CHORDS_PER_ALIGNMENT = 2000
MAX_POINTS_PER_ELEMENT = 1000
_PRIORITY = {"equation": 0, "kink": 0, "key": 1, "tick": 2}


def load_matplotlib() -> Tuple[Any, Any, Any]:
    """matplotlib's Figure, Agg canvas and Line2D; :class:`MissingExtraError`
    where matplotlib is not installed."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
    except ImportError:
        raise missing_extra("plot", "plotting") from None
    return Figure, FigureCanvasAgg, Line2D


class Label(NamedTuple):
    """A label drawn: ``kind`` "equation", "kink", "key" or "tick", its
    text and its box in pixels of the saved image."""
    kind: str
    text: str
    box: Tuple[float, float, float, float]


def _element_stations(e: Any, spacing: float, end: float) -> np.ndarray:
    start, stop = e.start_station, min(e.end_station, end)
    if e.kind == "line" or not spacing > 0:
        n = 2
    else:
        n = min(max(int(math.ceil((stop - start) / spacing)) + 1, 2), MAX_POINTS_PER_ELEMENT)
    s = start + (stop - start) * (np.arange(n) / (n - 1))
    s[-1] = stop
    return s


def _key_marks(alignment: Any, names: str) -> List[Tuple[str, float, float, float]]:
    """(name, x, y, azimuth) per key point of the curves; points at one
    station share a label (ST/TS)."""
    marks = []  # type: List[Tuple[str, float, float, float]]
    last = 0.0  # read only once marks holds a point
    for kp in design.key_points(alignment, names):
        if kp.group == 0:
            continue
        if marks and kp.station - last <= 1e-6:
            marks[-1] = (marks[-1][0] + "/" + kp.name,) + marks[-1][1:]
        else:
            marks.append((kp.name, kp.x, kp.y, kp.azimuth))
        last = kp.station
    return marks


def _label_rotation(nx: float, ny: float) -> Tuple[float, str]:
    """Text angle (degrees) along the normal (nx, ny), turned to read left to right."""
    angle = math.degrees(math.atan2(ny, nx))
    if angle > 90:
        return angle - 180, "right"
    if angle < -90:
        return angle + 180, "right"
    return angle, "left"


def _thin_labels(fig: Any, labels: List[Tuple[str, Any, Any]]) -> List[Label]:
    """Keep labels in order of priority where their box, with a small
    margin, meets no box kept before; a tick whose label goes goes with it.
    The drawing is rendered first, with its limits fixed, so the boxes are
    those of the saved image."""
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    kept = []  # type: List[Label]
    pad = 1.0
    for kind, text, line in sorted(labels, key=lambda item: _PRIORITY[item[0]]):
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


def _save(fig: Any, ax: Any, labels: List[Tuple[str, Any, Any]], out: Any,
          dpi: int) -> List[Label]:
    """Lay the figure out, fix its view (so the label boxes measured now are
    the saved image's: an equal aspect otherwise moves the limits at save),
    thin the labels and save; the labels kept."""
    fig.tight_layout()
    ax.apply_aspect()
    ax.set_xlim(ax.get_xlim())
    ax.set_ylim(ax.get_ylim())
    ax.set_autoscale_on(False)
    kept = _thin_labels(fig, labels)
    fig.savefig(out, dpi=dpi)
    return kept


def plot_plan(alignment: Any, out: Any, tick: float = 100.0, dpi: int = 150,
              size: Tuple[float, float] = (11.0, 8.5), keypoints: str = "us",
              title: Optional[str] = None) -> List[Label]:
    """Draw the plan of ``alignment`` (a :class:`curvixkit.Alignment`) into
    ``out`` (a path or file; the type follows its extension: png, svg,
    pdf). Ticks come at every multiple ``tick`` of the display chainage;
    key points are named by the ``"us"`` or ``"cn"`` set. Returns the
    labels drawn with their boxes in pixels (labels that would overlap one
    drawn before were left out). Raises ``ValueError`` for more than
    :data:`MAX_TICKS` ticks and :class:`MissingExtraError` without matplotlib."""
    Figure, FigureCanvasAgg, Line2D = load_matplotlib()
    if not (math.isfinite(tick) and tick > 0):
        raise ValueError("tick must be a positive number, got %r" % (tick,))
    smap = alignment.stations
    start, end = alignment.start_station, alignment.end_station
    count = count_grid_rows(smap, start, end, tick) - 2  # without the range ends
    if count > MAX_TICKS:
        raise ValueError("a tick of %g gives %d station ticks (at most %d); use a larger tick"
                         % (tick, count, MAX_TICKS))
    ticks = np.concatenate([np.empty(0)] + list(grid_blocks(smap, start, end, tick)))

    fig = Figure(figsize=size, dpi=dpi)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    elements = alignment.elements
    spacing = (end - start) / CHORDS_PER_ALIGNMENT
    xs_all, ys_all = [], []
    kinds_drawn = []  # type: List[str]
    for e in elements:
        xy = alignment.point(_element_stations(e, spacing, end))
        ax.plot(xy[:, 0], xy[:, 1], color=COLOURS[e.kind], linewidth=1.8,
                solid_capstyle="butt", zorder=2)
        xs_all.append(xy[:, 0])
        ys_all.append(xy[:, 1])
        if e.kind not in kinds_drawn:
            kinds_drawn.append(e.kind)
    xs, ys = np.concatenate(xs_all), np.concatenate(ys_all)
    finite = np.isfinite(xs) & np.isfinite(ys)
    if not np.any(finite):
        raise ValueError("%s: the alignment has no finite coordinates to draw" % alignment.path)
    xs, ys = xs[finite], ys[finite]
    tick_len = 0.012 * (math.hypot(xs.max() - xs.min(), ys.max() - ys.min()) or 1.0)

    labels = []  # (kind, text artist, tick line or None)

    def label(kind: str, x: float, y: float, a: float, text: str, right: bool,
              distance: float, **style: Any) -> Any:
        # Along the unit normal to the right (or left) of travel.
        nx, ny = (math.cos(a), -math.sin(a)) if right else (-math.cos(a), math.sin(a))
        rotation, ha = _label_rotation(nx, ny)
        artist = ax.text(x + nx * tick_len * distance, y + ny * tick_len * distance, text,
                         rotation=rotation, rotation_mode="anchor", ha=ha, va="center", **style)
        return artist, nx, ny

    marks = _key_marks(alignment, keypoints)
    if marks:
        ax.plot([m[1] for m in marks], [m[2] for m in marks], linestyle="none", marker="^",
                markersize=3.5, color="black", zorder=5)
    for name, x, y, a in marks:
        artist, _, _ = label("key", x, y, a, name, True, 0.8, fontsize=5.5, fontweight="bold",
                             zorder=6)
        labels.append(("key", artist, None))

    decimals = 0 if float(tick).is_integer() else 3
    if ticks.size:
        txy = alignment.point(ticks)
        taz = np.atleast_1d(alignment.azimuth(ticks))
        texts = smap.format(ticks, decimals)
        for (x, y), a, text in zip(txy.tolist(), taz.tolist(), texts):
            artist, nx, ny = label("tick", x, y, a, text, False, 1.3, fontsize=5, zorder=4)
            line, = ax.plot([x - nx * tick_len * 0.5, x + nx * tick_len],
                            [y - ny * tick_len * 0.5, y + ny * tick_len],
                            color="black", linewidth=0.6, zorder=3)
            labels.append(("tick", artist, line))

    for eq in smap.equations:
        (x, y), a = alignment.point(eq.internal), float(alignment.azimuth(eq.internal))
        ax.plot([x], [y], linestyle="none", marker="D", markersize=4.5, color="#9467bd", zorder=6)
        text = "EQ %s = %s" % (format_station(eq.back, smap.style),
                               format_station(eq.ahead, smap.style))
        artist, _, _ = label("equation", x, y, a, text, True, 2.0, fontsize=5.5,
                             color="#9467bd", zorder=7)
        labels.append(("equation", artist, None))

    kinks = [x for x in alignment.diagnostics().exceedances() if x.check == "kink"]
    for k in kinks:
        (x, y), a = alignment.point(k.station), float(alignment.azimuth(k.station))
        ax.plot([x], [y], linestyle="none", marker="x", markersize=6, markeredgewidth=1.4,
                color="#ff7f0e", zorder=7)
        artist, _, _ = label("kink", x, y, a, "kink %.3f°" % math.degrees(k.value), True, 2.0,
                             fontsize=5.5, color="#ff7f0e", zorder=7)
        labels.append(("kink", artist, None))

    joints = alignment.point(np.array([e.start_station for e in elements] + [end]))
    ax.plot(joints[:, 0], joints[:, 1], linestyle="none", marker="o", markersize=3.5,
            markerfacecolor="white", markeredgecolor="black", markeredgewidth=0.8, zorder=5)

    handles = [Line2D([], [], color=COLOURS[k], linewidth=1.8, label=k) for k in kinds_drawn]
    handles.append(Line2D([], [], linestyle="none", marker="o", markerfacecolor="white",
                          markeredgecolor="black", label="element joint"))
    if smap.equations:
        handles.append(Line2D([], [], linestyle="none", marker="D", color="#9467bd",
                              label="station equation"))
    if kinks:
        handles.append(Line2D([], [], linestyle="none", marker="x", color="#ff7f0e",
                              label="kink"))
    ax.legend(handles=handles, loc="best", fontsize=8)
    ax.set_aspect("equal", adjustable="datalim")
    ax.ticklabel_format(useOffset=False, style="plain")
    ax.tick_params(labelsize=7)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.grid(True, linewidth=0.3, alpha=0.5)
    ax.set_title(title if title is not None else "%s   %s to %s   (%d elements)" % (
        alignment.path or alignment.name or "alignment", smap.format(start), smap.format(end),
        len(elements)), fontsize=9)
    return _save(fig, ax, labels, out, dpi)


def plot_profile(alignment: Any, out: Any, tick: float = 100.0, dpi: int = 150,
                 size: Tuple[float, float] = (11.0, 5.0), title: Optional[str] = None) -> List[Label]:
    """Draw the long section of ``alignment``'s profile into ``out``:
    elevation against display chainage (ticks at every multiple ``tick``,
    station equations marked), grade lines and vertical curves in their own
    colours, each grade labelled in percent, PVIs and high and low points
    marked. Raises ``ValueError`` for an alignment without a profile and
    :class:`MissingExtraError` without matplotlib. Returns the labels drawn."""
    Figure, FigureCanvasAgg, Line2D = load_matplotlib()
    profile = alignment.profile
    if profile is None:
        raise ValueError("%s has no vertical profile to draw" % (alignment.path or "the alignment"))
    if not (math.isfinite(tick) and tick > 0):
        raise ValueError("tick must be a positive number, got %r" % (tick,))
    smap = alignment.stations
    lo = max(profile.start_station, alignment.start_station)
    hi = min(profile.end_station, alignment.end_station)
    fig = Figure(figsize=size, dpi=dpi)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    colours = {"line": COLOURS["line"], "parabola": COLOURS["clothoid"], "arc": COLOURS["arc"],
               "clothoid": "#9467bd"}
    kinds = []  # type: List[str]
    labels = []  # (kind, text artist, None)
    # The horizontal axis is the internal station (continuous); its tick
    # labels are the display chainage.
    for seg in profile.segments:
        a, b = max(seg.start_station, lo), min(seg.end_station, hi)
        if b <= a:
            continue
        s = np.linspace(a, b, 2 if seg.kind == "line" else 200)
        ax.plot(s, alignment.elevation(s), color=colours[seg.kind], linewidth=1.6, zorder=2)
        if seg.kind not in kinds:
            kinds.append(seg.kind)
        if seg.kind == "line" and b - a > 0:
            mid = 0.5 * (a + b)
            text = ax.text(mid, float(alignment.elevation(mid)), " %+.3f%% " % (100 * seg.start_grade),
                           ha="center", va="bottom", fontsize=6, zorder=5,
                           rotation_mode="anchor")
            labels.append(("tick", text, None))
    pvis = [p for p in profile.pvis if lo - 1e-6 <= p[0] <= hi + 1e-6]
    if pvis:
        ax.plot([p[0] for p in pvis], [p[1] for p in pvis], linestyle=":", color="grey",
                linewidth=0.7, zorder=1)
        ax.plot([p[0] for p in pvis], [p[1] for p in pvis], linestyle="none", marker="^",
                markersize=3.5, color="black", zorder=4)
    for c in profile.curves:
        for edge in (c.start_station, c.end_station):
            ax.axvline(edge, color=colours.get(c.kind if c.kind != "asymmetric_parabola"
                                               else "parabola", "grey"),
                       linewidth=0.4, linestyle="--", zorder=1)
    for t in profile.turning_points:
        ax.plot([t.station], [t.elevation], marker="o", markersize=3, color="black", zorder=5)
        text = ax.text(t.station, t.elevation, "\n%s %.3f" % (t.kind, t.elevation), ha="center",
                       va="top", fontsize=5.5, zorder=6)
        labels.append(("key", text, None))
    ticks = np.concatenate([np.empty(0)] + list(grid_blocks(smap, lo, hi, tick)))
    if ticks.size > MAX_TICKS:
        raise ValueError("a tick of %g gives %d station ticks (at most %d); use a larger tick"
                         % (tick, ticks.size, MAX_TICKS))
    ax.set_xticks(ticks)
    ax.set_xticklabels(smap.format(ticks, 0 if float(tick).is_integer() else 3), rotation=90,
                       fontsize=6)
    for eq in smap.equations:
        ax.axvline(eq.internal, color="#9467bd", linewidth=0.8, zorder=1)
        text = ax.text(eq.internal, ax.get_ylim()[1], "EQ %s = %s" % (
            format_station(eq.back, smap.style), format_station(eq.ahead, smap.style)),
            color="#9467bd", fontsize=5.5, rotation=90, ha="right", va="top")
        labels.append(("equation", text, None))
    handles = [Line2D([], [], color=colours[k], linewidth=1.6,
                      label="grade" if k == "line" else k) for k in kinds]
    ax.legend(handles=handles, loc="best", fontsize=7)
    ax.set_xlabel("chainage")
    ax.set_ylabel("elevation")
    ax.grid(True, linewidth=0.3, alpha=0.5)
    ax.set_title(title if title is not None else "%s   profile %s" % (
        alignment.path or alignment.name or "alignment", profile.name or ""), fontsize=9)
    return _save(fig, ax, labels, out, dpi)
