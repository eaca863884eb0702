#pragma once
// Private to the engine: the globally nearest point, by branch and bound
// over the trees of search_tree.hpp, for one alignment or for the
// alignments of a network (one box tree over the groups of all of them).
//
// On a search piece the foot points are the roots of
//     g(t) = (P(t) - Q) . T(t),   g'(t) = |T|^2 + kappa(t) (P(t) - Q) . N(t),
// N the right normal. Where |kappa| times the largest distance from Q to the
// piece stays below 0.9, g' > 0 on the whole piece: g has at most one root,
// a minimum of the distance. Elsewhere (Q beyond a centre of curvature) g is
// sampled on kSamples sub-intervals and every sign change from - to + is
// refined. Roots are refined by Newton's method kept inside a shrinking
// bracket (bisection where a step would leave it).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/engine_data.hpp"

namespace curvix::engine::detail {

inline constexpr int kSamples = 8;
inline constexpr int kMaxIterations = 100;
inline constexpr int kHeapSize = 256;

inline double segment_distance2(double ax, double ay, double bx, double by, double x, double y) noexcept {
    const double cx = bx - ax, cy = by - ay, px = x - ax, py = y - ay;
    const double c2 = cx * cx + cy * cy;
    double u = c2 > 0.0 ? (px * cx + py * cy) / c2 : 0.0;
    u = std::min(1.0, std::max(0.0, u));
    const double dx = px - u * cx, dy = py - u * cy;
    return dx * dx + dy * dy;
}

// Squared distance from (qx, qy), relative to the box tree's origin, to
// child c of a node.
inline double box_dist2(const BoxNode& n, int c, double qx, double qy) noexcept {
    // (Two-argument maxima, which compile to the processor's own: the list
    // form of std::max was a loop with branches on the searches' hot path.)
    const double dx = std::max(std::max(static_cast<double>(n.xmin[c]) - qx, qx - static_cast<double>(n.xmax[c])), 0.0);
    const double dy = std::max(std::max(static_cast<double>(n.ymin[c]) - qy, qy - static_cast<double>(n.ymax[c])), 0.0);
    return dx * dx + dy * dy;
}

// Squared lower bound of the distance from (qx, qy), relative to the
// capsules' origin, to stretch c of a capsule node; NaN for an unused
// stretch, which is within no bound (not even an infinite one).
inline double capsule_dist2(const CapsuleNode& n, int c, double qx, double qy) noexcept {
    const double r = static_cast<double>(n.r[c]);
    if (r < 0.0) return std::numeric_limits<double>::quiet_NaN();
    const double d = std::sqrt(segment_distance2(n.x[c], n.y[c], n.x[c + 1], n.y[c + 1], qx, qy)) - r;
    return d > 0.0 ? d * d : 0.0;
}

// Squared upper bound of the distance from (qx, qy) to the curve: to the
// nearest of the points of a capsule node (points of the curve, less the
// rounding of the floats they are kept in).
inline double capsule_reach2(const CapsuleNode& n, double qx, double qy) noexcept {
    double best = std::numeric_limits<double>::infinity(), slack = 0.0;
    for (int c = 0; c <= kFanout; ++c) {
        if (c > 0 && n.r[c - 1] < 0.0f) break;
        const double px = n.x[c], py = n.y[c];
        best = std::min(best, (qx - px) * (qx - px) + (qy - py) * (qy - py));
        slack = std::max(slack, std::fabs(px) + std::fabs(py));
    }
    const double d = std::sqrt(best) * (1.0 + 1e-15) + 1.2e-7 * slack + 1e-300;
    return d * d;
}

// Squared upper bound of the distance from (qx, qy), relative to the
// capsules' origin, to the pieces of a group node: each runs without a
// break from its stretch's first point to its last (points of the curve,
// but for the floats' rounding) within r of its chord, so that every point
// of the chord has a point of the piece within r of it (the points of the
// piece project onto the whole chord, each at its distance from the chord).
// Tighter than the nearest of its points where pieces are long: in a
// network, where a first bound near the nearest track's distance passes
// over the pieces of the tracks beside it (measured 3 % faster on 11
// tracks; on one alignment 4 % slower, the more square roots not paid back).
inline double group_reach2(const CapsuleNode& n, double qx, double qy) noexcept {
    double best = std::numeric_limits<double>::infinity();
    for (int c = 0; c < kFanout && n.r[c] >= 0.0f; ++c) {
        const double chord = std::sqrt(segment_distance2(n.x[c], n.y[c], n.x[c + 1], n.y[c + 1], qx, qy));
        const double slack = 1.2e-7 * (std::fabs(n.x[c]) + std::fabs(n.y[c]) + std::fabs(n.x[c + 1]) +
                                       std::fabs(n.y[c + 1])) + 1e-8;
        const double d = (chord + static_cast<double>(n.r[c])) * (1.0 + 1e-15) + slack;
        best = std::min(best, d * d);
    }
    return best;
}

// Squared lower bound of the distance from (x, y) to search piece i: to its
// chord, less how far the piece strays from the chord.
inline double piece_near2(const Data& d, std::size_t i, double x, double y) noexcept {
    const SearchPiece& s = d.tree.pieces[i];
    double ax, ay;
    search_start(d, i, ax, ay);
    const double dist = std::max(0.0, std::sqrt(segment_distance2(ax, ay, s.bx, s.by, x, y)) -
                                          static_cast<double>(s.stray));
    return dist * dist;
}

// Squared lower bound of the distance from (x, y) to search piece i from
// circles: an arc lies on its circle, | |Q - C| - R | away from Q; a
// clothoid piece (|curvature| monotone, one sign) lies between the
// osculating circles of its ends, which are nested (the Tait-Kneser
// theorem): inside the flatter end's (a half-plane where the curvature is
// 0 there) and outside the sharper end's. 0 for the other kinds. Capsules
// of curved pieces (turning by up to pi/4) stray far from their chords,
// and without this a track beside the nearest one would have its pieces
// evaluated. The margin covers the rounding and the series' 1e-9.
inline double piece_floor2(const Data& d, std::size_t i, double x, double y) noexcept {
    const SearchPiece& s = d.tree.pieces[i];
    const ElementRecord& r = d.elements[s.element];
    const Eval how = eval_of(r);
    double gap = 0.0;
    if (how == Eval::arc) {
        const double radius = 1.0 / r.k0;  // signed: the centre lies to the right for k > 0
        const double dist = std::hypot(x - r.x0 - radius * r.cos0(), y - r.y0 + radius * r.sin0());
        gap = std::fabs(dist - std::fabs(radius)) - (1e-8 + 1e-11 * (std::fabs(radius) + dist + r.length));
    } else if (how == Eval::series && !r.shaped()) {
        const double ta = search_ta(d, i);
        double ax, ay;
        search_start(d, i, ax, ay);
        const double ka = d.curvature_at(s.element, ta), kb = d.curvature_at(s.element, s.tb);
        if (!(ka * kb >= 0.0) || (ka == 0.0 && kb == 0.0)) return 0.0;
        const bool a_flat = std::fabs(ka) < std::fabs(kb);
        const double kf = a_flat ? ka : kb, ks = a_flat ? kb : ka;
        const double af = d.azimuth_at(s.element, a_flat ? ta : s.tb), as = d.azimuth_at(s.element, a_flat ? s.tb : ta);
        const double fx = a_flat ? ax : s.bx, fy = a_flat ? ay : s.by, sx = a_flat ? s.bx : ax, sy = a_flat ? s.by : ay;
        const double margin = 1e-8 + 1e-11 * (1.0 / std::fabs(ks) + std::fabs(x - fx) + std::fabs(y - fy) + s.tb - ta);
        if (kf == 0.0) {
            // (Q - P) . N, N the right normal; the piece lies to the side it turns to.
            const double side = (x - fx) * std::cos(af) - (y - fy) * std::sin(af);
            gap = (ks > 0.0 ? -side : side) - margin;
        } else {
            const double rf = 1.0 / kf;
            const double df = std::hypot(x - fx - rf * std::cos(af), y - fy + rf * std::sin(af));
            gap = df - std::fabs(rf) - (margin + 1e-11 * std::fabs(rf));
        }
        const double rs = 1.0 / ks;
        const double ds = std::hypot(x - sx - rs * std::cos(as), y - sy + rs * std::sin(as));
        gap = std::max(gap, std::fabs(rs) - ds - margin);
    }
    return gap > 0.0 ? gap * gap : 0.0;
}

// The query as seen from one element: coordinates relative to its start.
struct Local {
    const Data& d;
    std::size_t k;
    double qx, qy;
    Cursor cur;

    Local(const Data& data, std::size_t element, double x, double y) noexcept
        : d(data),
          k(element),
          qx(x - data.elements[element].x0),
          qy(y - data.elements[element].y0),
          cur(data, element) {}

    struct At {
        double t, dx, dy, tx, ty, g;  // (dx, dy) = P - Q
        double d2() const noexcept { return dx * dx + dy * dy; }
    };
    At at(double t) const noexcept {
        At a;
        a.t = t;
        double lx, ly;
        cur.local(t, lx, ly, a.tx, a.ty);
        a.dx = lx - qx;
        a.dy = ly - qy;
        a.g = a.dx * a.tx + a.dy * a.ty;
        return a;
    }

    // The root of g between lo (g < 0) and hi (g > 0).
    At root(At lo, At hi) const noexcept {
        constexpr double kEps = std::numeric_limits<double>::epsilon();
        const double width = hi.t - lo.t;
        double t = lo.t + width * (-lo.g / (hi.g - lo.g));
        if (!(t > lo.t && t < hi.t)) t = lo.t + 0.5 * width;
        double a = lo.t, b = hi.t;
        const double tol = 4.0 * kEps * (std::fabs(a) + std::fabs(b) + width);
        At now = at(t);
        for (int i = 0; i < kMaxIterations && now.g != 0.0; ++i) {
            if (now.g < 0.0) a = now.t; else b = now.t;
            const double kappa = d.curvature_at(k, now.t);
            const double gp = (now.tx * now.tx + now.ty * now.ty) + kappa * (now.dx * now.ty - now.dy * now.tx);
            const double dt = now.g / gp;
            if (gp > 0.0 && std::fabs(dt) <= tol) break;  // converged
            double next = now.t - dt;
            if (!(gp > 0.0 && next > a && next < b)) next = a + 0.5 * (b - a);
            if (!(b - a > tol)) break;
            now = at(next);
        }
        return now;
    }
};

// Whether the distance from (x, y) has a single minimum on piece i: where
// |kappa| times the largest distance to the piece's points (its chord's box
// grown by its stray) stays below 0.9.
inline bool unimodal(const Data& d, std::size_t i, double ta, double x, double y) noexcept {
    const SearchPiece& s = d.tree.pieces[i];
    const double kmax = std::max(std::fabs(d.curvature_at(s.element, ta)),
                                 std::fabs(d.curvature_at(s.element, s.tb)));
    if (kmax == 0.0) return true;
    double ax, ay;
    search_start(d, i, ax, ay);
    const double g = static_cast<double>(s.stray);
    const double dx = std::max(std::fabs(x - (std::min(ax, s.bx) - g)), std::fabs(x - (std::max(ax, s.bx) + g)));
    const double dy = std::max(std::fabs(y - (std::min(ay, s.by) - g)), std::fabs(y - (std::max(ay, s.by) + g)));
    return kmax * std::sqrt(dx * dx + dy * dy) < 0.9;
}

// Whether element k ends exactly where element `next` starts, in the same
// direction (chained elements do, to the bit). At any other joint (a gap or
// a kink, as placed elements may have) the distance is not continuous, and
// each side's end is a minimum of its own where the distance falls into it.
inline bool smooth_joint(const Data& d, std::size_t k, std::size_t next) noexcept {
    const EndPoint& a = d.ends[k];
    const ElementRecord& b = d.elements[next];
    return a.x == b.x0 && a.y == b.y0 && d.azimuth_at(k, d.elements[k].length) == b.azimuth0;
}
inline bool smooth_joint(const Data& d, std::size_t k) noexcept { return smooth_joint(d, k, k + 1); }

// The local minima of the distance on search piece i, each passed to
// `found` with its element: the roots of g from - to + inside the piece;
// its start where the distance grows from there and fell into it (or the
// alignment starts there, or a joint that is not smooth); its end where the
// distance falls into it and the alignment ends there, or a joint that is
// not smooth. A piece end inside a run where the distance keeps falling
// across a smooth joint is never one, so such a joint gives its root.
template <class Found>
void piece_minima(const Data& d, std::size_t i, double x, double y, Found&& found) noexcept {
    const auto& pieces = d.tree.pieces;
    const SearchPiece& s = pieces[i];
    const double ta = search_ta(d, i);
    const Local q(d, s.element, x, y);
    const Local::At ea = q.at(ta), eb = q.at(s.tb);
    if (ea.g >= 0.0) {
        // Within an element the piece before ends at the same evaluation.
        double g_left = -1.0;
        if (i > 0) {
            const SearchPiece& p = pieces[i - 1];
            if (p.element == s.element)
                g_left = ea.g;
            else if (smooth_joint(d, p.element, s.element))  // elements of length 0 between have no piece
                g_left = Local(d, p.element, x, y).at(p.tb).g;
        }
        if (g_left <= 0.0) found(s.element, ea);
    }
    const int m = unimodal(d, i, ta, x, y) ? 1 : kSamples;
    Local::At prev = ea;
    for (int j = 1; j <= m; ++j) {
        const Local::At cur = j == m ? eb : q.at(ta + (s.tb - ta) * static_cast<double>(j) / m);
        if (prev.g < 0.0 && cur.g > 0.0) {
            found(s.element, q.root(prev, cur));
        } else if (prev.g < 0.0 && cur.g == 0.0 && j < m) {
            found(s.element, cur);
        }
        prev = cur;
    }
    const bool element_ends = i + 1 == pieces.size() || pieces[i + 1].element != s.element;
    if (element_ends && eb.g <= 0.0 &&
        (i + 1 == pieces.size() || !smooth_joint(d, s.element, pieces[i + 1].element))) {
        found(s.element, eb);
    }
}

// The foot at a point of element k as evaluated.
inline Foot foot_at(const Data& d, std::size_t k, const Local::At& a) noexcept {
    const double dist = std::hypot(a.dx, a.dy);
    // (Q - P) . N with N = (ty, -tx), the right normal.
    const double side = a.dy * a.tx - a.dx * a.ty;
    return {d.stations[k] + a.t, side < 0.0 ? -dist : dist, dist, static_cast<std::ptrdiff_t>(k)};
}

inline Foot make_foot(const Data& d, std::size_t k, double t, double x, double y) noexcept {
    // A joint belongs to the element that starts there.
    // (The end of an element before a gap or a kink keeps its own point.)
    while (k + 1 < d.size() && t >= d.elements[k].length && smooth_joint(d, k)) {
        ++k;
        t = 0.0;
    }
    return foot_at(d, k, Local(d, k, x, y).at(t));
}

// The alignments a search runs over and how the chunks of its box tree
// are numbered: one alignment (its own chunks), or a network (the chunks
// of alignment e are base[e] .. base[e + 1] - 1).
struct OneAlignment {
    // Many alignments (a network): pieces wait in the search's queue by
    // their lower bounds, so that the nearest track's come first and bound
    // those of the tracks beside it, and near ties between alignments are
    // decided by their own answers. One: pieces are searched as their
    // group is reached.
    static constexpr bool kMany = false;
    // What the slots of the box tree hold: chunks (0), or the groups of
    // chunks (1; numbered 4 chunk + group).
    static constexpr std::size_t kLeaf = 0;
    const Data* data;
    std::size_t count() const noexcept { return 1; }
    const Data& operator[](std::size_t) const noexcept { return *data; }
    const BoxTree& boxes() const noexcept { return data->tree.boxes; }
    // The alignment of chunk c and the chunk's number in it.
    std::pair<std::size_t, std::size_t> chunk(std::size_t c) const noexcept { return {0, c}; }
};

struct ManyAlignments {
    static constexpr bool kMany = true;
    // A network's box tree is over groups: where tracks lie side by side,
    // the boxes of all their chunks hold a point between them, and a chunk's
    // own capsules over four groups each (a stretch of a curve a hundred
    // metres long) seldom told them apart.
    static constexpr std::size_t kLeaf = 1;
    const std::vector<const Data*>* data;
    const std::vector<std::size_t>* base;
    const BoxTree* tree;
    const std::uint32_t* owner = nullptr;  // the alignment of each chunk, where given
    std::size_t count() const noexcept { return data->size(); }
    const Data& operator[](std::size_t e) const noexcept { return *(*data)[e]; }
    const BoxTree& boxes() const noexcept { return *tree; }
    std::pair<std::size_t, std::size_t> chunk(std::size_t c) const noexcept {
        const std::size_t e =
            owner ? owner[c]
                  : static_cast<std::size_t>(std::upper_bound(base->begin(), base->end(), c) - base->begin()) - 1;
        return {e, c - (*base)[e]};
    }
};

// The foot on alignment `which`; which == count() when there is none.
struct Found {
    std::size_t which;
    Foot foot;
};

// The nearest child of a box node (of equal bounds the first), and the
// bounds of its children into lbs.
inline std::size_t nearest_box(const BoxTree& tree, std::size_t level, std::size_t j, double qx, double qy,
                               double* lbs) noexcept {
    const BoxNode& nd = tree.node(level, j);
    const int m = static_cast<int>(tree.children(level, j));
    int near = 0;
    for (int c = 0; c < m; ++c) {
        lbs[c] = box_dist2(nd, c, qx, qy);
        if (lbs[c] < lbs[near]) near = c;
    }
    return kBoxFanout * j + static_cast<std::size_t>(near);
}

// The nearest stretch of a capsule node (of equal bounds the first).
inline std::size_t nearest_stretch(const CapsuleNode& n, double qx, double qy) noexcept {
    int near = 0;
    double lb = capsule_dist2(n, 0, qx, qy);
    for (int c = 1; c < kFanout; ++c) {
        const double v = capsule_dist2(n, c, qx, qy);
        if (v < lb) {
            lb = v;
            near = c;
        }
    }
    return static_cast<std::size_t>(near);
}

// A descent of the box tree down its nearest boxes (fetch_stage()):
// node path[l] of level l (path[0] = 0), the slot reached path[depth], the
// bounds of the children of each node of the path, and a squared upper
// bound of the distance from the point to the alignments (slot_reach2()).
// The search starts from there and takes the boxes beside the path from
// it, instead of a second descent from the root (which cost a tenth of a
// query at 10^6 elements) or reading the path's nodes and computing their
// bounds again (another tenth: the lowest nodes had left the nearest
// caches by then).
inline constexpr int kMostLevels = 24;  // a box tree of 2^32 slots has 16
struct Descent {
    std::uint32_t path[kMostLevels + 1];  // (the tree numbers its slots in 32 bits)
    double lb[kMostLevels][kBoxFanout];
    double reach2;
};

// A squared upper bound of the distance from (x, y) to the alignments of
// src from the slot a descent has reached: the nearest of the points of
// its chunk's capsules and of those of the chunk's nearest group (of a
// network's group, group_reach2()).
template <class Src>
double slot_reach2(const Src& src, std::size_t slot, double x, double y) noexcept {
    const std::size_t id = src.boxes().chunk[slot];
    const auto [e, k] = src.chunk(Src::kLeaf ? id / kFanout : id);
    const SearchTree& t = src[e].tree;
    const double cx = x - t.ox, cy = y - t.oy;
    const CapsuleNode& root = t.capsules[kChunkNodes * k];
    if (Src::kLeaf) return group_reach2(t.capsules[kChunkNodes * k + 1 + id % kFanout], cx, cy);
    const CapsuleNode& group = t.capsules[kChunkNodes * k + 1 + nearest_stretch(root, cx, cy)];
    return std::min(capsule_reach2(root, cx, cy), capsule_reach2(group, cx, cy));
}

// The nearest point of the alignments of `src` to (x, y) within
// max_distance (`from`, where given, its descent down the nearest boxes):
// of equal distances the lowest alignment, then the lowest station (the
// answer does not depend on the order the trees are searched in). The
// search starts at the chunk the descent reached, the boxes beside its
// path waiting in a heap of fixed size (a second descent from the root cost
// a tenth of a query at 10^6 elements); then best first: nodes by the lower
// bound of their distance; the nearest child is followed at once, the
// others wait in the heap (or, when it is full, are searched depth first).
// What lies farther than the nearest point of the curve met so far (a
// minimum or not) is passed over.
template <class Src>
Found nearest_of(const Src& src, double x, double y, double max_distance,
                 const Descent* from = nullptr) noexcept {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const Found none{src.count(), {kNaN, kNaN, kNaN, -1}};
    const BoxTree& tree = src.boxes();
    if (!std::isfinite(x) || !std::isfinite(y) || std::isnan(max_distance) || max_distance < 0.0 ||
        tree.nodes.empty())
        return none;
    double best = max_distance * max_distance;
    double bound = best;
    bool found = false;
    std::size_t best_e = 0, best_k = 0;
    double best_t = 0.0;
    Local::At best_at{};
    std::size_t e_now = 0;  // the alignment whose pieces are being searched
    // A network's alignments whose candidates came within rounding of the
    // best (the squared distances of evaluations that may round apart where
    // the final feet tie): their own answers decide at the end.
    constexpr double kTie = 1e-9;
    constexpr int kMostTied = 16;
    std::size_t tied[kMostTied];
    double tied_d2[kMostTied];
    int n_tied = 0;
    bool many_tied = false;
    const auto consider = [&](std::size_t k, const Local::At& a) {
        const double d2 = a.d2();
        if constexpr (Src::kMany) {
            const double running = found ? std::min(best, d2) : d2;
            if (d2 <= running + kTie * running) {
                int j = 0;
                while (j < n_tied && tied[j] != e_now) ++j;
                if (j == kMostTied) {  // full: keep only those still within reach
                    n_tied = 0;
                    for (int i = 0; i < kMostTied; ++i) {
                        if (tied_d2[i] > running + kTie * running) continue;
                        tied[n_tied] = tied[i];
                        tied_d2[n_tied++] = tied_d2[i];
                    }
                    j = n_tied;
                }
                if (j == kMostTied) {
                    many_tied = true;
                } else if (j == n_tied) {
                    tied[n_tied] = e_now;
                    tied_d2[n_tied++] = d2;
                } else {
                    tied_d2[j] = std::min(tied_d2[j], d2);
                }
            }
        }
        const bool better =
            !found ? d2 <= best
                   : (d2 < best ||
                      (d2 == best && (e_now < best_e || (e_now == best_e && (k < best_k || (k == best_k && a.t < best_t))))));
        if (better) {
            found = true;
            best = d2;
            best_e = e_now;
            best_k = k;
            best_t = a.t;
            best_at = a;
            bound = std::min(bound, d2);
        }
    };
    const double qx = x - tree.ox, qy = y - tree.oy;
    const std::size_t depth = tree.depth();
    // Entries: a box node (level < depth), a chunk (level depth, index the
    // chunk), a group of four pieces (level depth + 1, index 4 chunk +
    // group) or, where Src queues them, a piece by its capsule (level
    // depth + 2, index 16 chunk + 4 group + piece) or by its floor (depth + 3).
    struct Entry {
        double lb;
        std::size_t level, index;
    };
    // The children of an entry within the bound, nearest first (of equal
    // bounds the first first); a group's pieces are searched at once.
    const auto expand = [&](const Entry& at, Entry* out) -> int {
        int n = 0;
        const auto keep = [&](double lb, std::size_t level, std::size_t index) {
            if (!(lb <= bound)) return;
            int i = n++;
            while (i > 0 && out[i - 1].lb > lb) {
                out[i] = out[i - 1];
                --i;
            }
            out[i] = {lb, level, index};
        };
        if (at.level < depth) {
            const BoxNode& nd = tree.node(at.level, at.index);
            const int m = static_cast<int>(tree.children(at.level, at.index));
            for (int c = 0; c < m; ++c) {
                const std::size_t child = kBoxFanout * at.index + static_cast<std::size_t>(c);
                const double lb = box_dist2(nd, c, qx, qy);
                if (at.level + 1 < depth)
                    keep(lb, at.level + 1, child);
                else
                    keep(lb, depth + Src::kLeaf, tree.chunk[child]);
            }
            return n;
        }
        const std::size_t chunk = at.level == depth       ? at.index
                                  : at.level == depth + 1 ? at.index / kFanout
                                                          : at.index / kChunk;
        const auto [e, k] = src.chunk(chunk);
        const Data& d = src[e];
        const SearchTree& t = d.tree;
        const double cx = x - t.ox, cy = y - t.oy;
        if (at.level == depth) {  // (one alignment's chunks: a network's slots are its groups)
            const CapsuleNode& cn = t.capsules[kChunkNodes * k];
            bound = std::min(bound, capsule_reach2(cn, cx, cy));
            for (int c = 0; c < kFanout; ++c)
                keep(capsule_dist2(cn, c, cx, cy), depth + 1, kFanout * chunk + static_cast<std::size_t>(c));
            return n;
        }
        if (at.level >= depth + 2) {  // a queued piece
            const std::size_t i = kChunk * k + at.index % kChunk;
            if (at.level == depth + 2) {
                // Its floor, first reached now: where it raises the bound
                // the piece waits again (behind a nearer one, if any).
                const double floor = piece_floor2(d, i, x, y);
                if (!(floor <= bound)) return 0;
                if (floor > at.lb) {
                    out[0] = {floor, depth + 3, at.index};
                    return 1;
                }
            }
            e_now = e;
            piece_minima(d, i, x, y, consider);
            return 0;
        }
        const std::size_t g = at.index % kFanout;
        const CapsuleNode& cn = t.capsules[kChunkNodes * k + 1 + g];
        // (A network's first bound is already the reach of its nearest
        // group by its chords, group_reach2(), tighter than this one; where
        // its slots were chunks, their capsules' reach cost a square root
        // for little: 6 % faster without it on 11 tracks side by side.)
        if (!Src::kMany) bound = std::min(bound, capsule_reach2(cn, cx, cy));
        if constexpr (Src::kMany) {
            for (int c = 0; c < kFanout; ++c) {
                const double lb = capsule_dist2(cn, c, cx, cy);
                if (!(lb <= bound)) continue;
                keep(lb, depth + 2, kChunk * chunk + kFanout * g + static_cast<std::size_t>(c));
            }
            return n;
        }
        Entry pieces[kFanout];
        int m = 0;
        for (int c = 0; c < kFanout; ++c) {
            const double lb = capsule_dist2(cn, c, cx, cy);
            if (!(lb <= bound)) continue;
            int i = m++;
            while (i > 0 && pieces[i - 1].lb > lb) {
                pieces[i] = pieces[i - 1];
                --i;
            }
            pieces[i] = {lb, 0, kChunk * k + kFanout * g + static_cast<std::size_t>(c)};
        }
        e_now = e;
        for (int i = 0; i < m; ++i) prefetch(&t.pieces[pieces[i].index]);
        for (int i = 0; i < m && pieces[i].lb <= bound; ++i) {
            if (piece_floor2(d, pieces[i].index, x, y) > bound) continue;
            piece_minima(d, pieces[i].index, x, y, consider);
        }
        return 0;
    };
    const auto depth_first = [&](const Entry& root) {
        Entry stack[kMaxDepth];
        int top = 0;
        stack[top++] = root;
        while (top > 0) {
            const Entry e = stack[--top];
            if (e.lb > bound) continue;
            Entry kids[kBoxFanout];
            const int m = expand(e, kids);
            if (top + m > kMaxDepth) continue;  // not reached: the trees are balanced
            for (int i = m; i-- > 0;) stack[top++] = kids[i];
        }
    };
    // The search starts at the chunk of a descent down the nearest boxes,
    // with its first bound; the boxes beside its path wait in the heap.
    if (depth > static_cast<std::size_t>(kMostLevels)) return none;  // (not reached: 4^24 slots)
    Entry heap[kHeapSize];
    int size = 0;
    const auto later = [](const Entry& a, const Entry& b) { return a.lb > b.lb; };
    const auto entry = [&](std::size_t level, std::size_t child, double lb) {
        return level + 1 < depth ? Entry{lb, level + 1, child} : Entry{lb, depth + Src::kLeaf, tree.chunk[child]};
    };
    // Down the path of `from`, else down the nearest boxes (comparing the
    // boxes beside the path once, as the descent reaches them).
    Entry first{0.0, depth + Src::kLeaf, 0};
    Entry side[kMostLevels * (kBoxFanout - 1)];
    int sides = 0;
    std::size_t j = 0;
    for (std::size_t level = 0; level < depth; ++level) {
        const int m = static_cast<int>(tree.children(level, j));
        double lbs[kBoxFanout];
        int near = 0;
        if (from != nullptr) {
            for (int c = 0; c < m; ++c) lbs[c] = from->lb[level][c];
            near = static_cast<int>(from->path[level + 1] - kBoxFanout * j);
        } else {
            const BoxNode& nd = tree.node(level, j);
            for (int c = 0; c < m; ++c) {
                lbs[c] = box_dist2(nd, c, qx, qy);
                if (lbs[c] < lbs[near]) near = c;
            }
        }
        for (int c = 0; c < m; ++c)
            if (c != near) side[sides++] = entry(level, kBoxFanout * j + static_cast<std::size_t>(c), lbs[c]);
        j = kBoxFanout * j + static_cast<std::size_t>(near);
        if (level + 1 == depth) first = entry(level, j, lbs[near]);
    }
    bound = std::min(bound, from != nullptr ? from->reach2 : slot_reach2(src, j, x, y));
    for (int i = 0; i < sides; ++i) {
        if (!(side[i].lb <= bound)) continue;
        heap[size++] = side[i];
        std::push_heap(heap, heap + size, later);
    }
    bool started = false;
    while (!started || size > 0) {
        Entry e = first;
        if (started) {
            if (heap[0].lb > bound) break;  // (the rest lie beyond it too)
            std::pop_heap(heap, heap + size, later);
            e = heap[--size];
        }
        started = true;
        for (;;) {
            Entry kids[kBoxFanout];
            const int m = expand(e, kids);
            if (m == 0) break;
            for (int i = 1; i < m; ++i) {
                if (size == kHeapSize) {
                    depth_first(kids[i]);
                } else {
                    heap[size++] = kids[i];
                    std::push_heap(heap, heap + size, later);
                }
            }
            if (kids[0].lb > bound) break;
            if (size > 0 && size < kHeapSize && heap[0].lb < kids[0].lb) {
                // A nearer node waits (a track beside this one, whose box
                // holds the point too): it goes first.
                heap[size++] = kids[0];
                std::push_heap(heap, heap + size, later);
                break;
            }
            e = kids[0];
        }
    }
    if (!found) return none;
    const Data& d = src[best_e];
    const Foot f = best_k + 1 < d.size() && best_t >= d.elements[best_k].length
                       ? make_foot(d, best_k, best_t, x, y)
                       : foot_at(d, best_k, best_at);
    if constexpr (Src::kMany) {
        bool any = many_tied;
        for (int i = 0; i < n_tied && !any; ++i)
            any = tied[i] != best_e && tied_d2[i] <= best + kTie * best;
        if (any) {
            // The nearest of the tied alignments' own answers, of equal
            // distances the first.
            Found out{best_e, nearest_of(OneAlignment{&d}, x, y, max_distance).foot};
            const auto weigh = [&](std::size_t e) {
                const Foot g = nearest_of(OneAlignment{&src[e]}, x, y, max_distance).foot;
                if (g.element >= 0 && (out.foot.element < 0 || g.distance < out.foot.distance ||
                                       (g.distance == out.foot.distance && e < out.which)))
                    out = {e, g};
            };
            if (many_tied) {
                for (std::size_t e = 0; e < src.count(); ++e)
                    if (e != best_e) weigh(e);
            } else {
                for (int i = 0; i < n_tied; ++i)
                    if (tied[i] != best_e && tied_d2[i] <= best + kTie * best) weigh(tied[i]);
            }
            return out.foot.element >= 0 ? out : none;
        }
    }
    return f.distance <= max_distance ? Found{best_e, f} : none;
}

// What a batch's search of one point will first read, fetched ahead a
// stage at a time (nearest_batch()): the path down the box tree to the
// nearest slot, its chunk's capsules, the pieces of its nearest group,
// their elements (with their neighbours, the ends and the stations) and
// the series pieces of those. Each stage reads what the stage before
// fetched and fetches the next, and between two searches each of the next
// kAheadStages points takes one stage: a search's reads were fetched a
// search or more before, and no stage waits for what it fetched itself.
// (Measured 2-3 % faster at 10^6 elements than walking all stages for a
// group of 16 points together before the group's searches.)
struct Ahead {
    Descent path;
    std::size_t at;  // the node reached, the slot, then the group's first piece
    std::size_t e, k;  // the alignment and its chunk
    std::size_t first, last;  // the elements of the group's pieces
    bool ok;
};

inline constexpr int kLateLevels = 3;  // the box tree's lowest levels, a stage each
inline constexpr int kAheadStages = kLateLevels + 5;

template <class Src>
void descend(const Src& src, Ahead& a, const double* xy, std::size_t level) noexcept {
    const BoxTree& tree = src.boxes();
    const std::size_t child = nearest_box(tree, level, a.at, xy[0] - tree.ox, xy[1] - tree.oy, a.path.lb[level]);
    a.path.path[level + 1] = static_cast<std::uint32_t>(child);
    a.at = child;
    if (level + 1 < tree.depth())
        prefetch(&tree.node(level + 1, child));
    else
        prefetch(&tree.chunk[child]);
}

// Stage s of the point at xy.
template <class Src>
void fetch_stage(const Src& src, int s, Ahead& a, const double* xy) noexcept {
    const BoxTree& tree = src.boxes();
    const std::size_t depth = tree.depth();
    if (s == 0) {
        a.ok = std::isfinite(xy[0]) && std::isfinite(xy[1]) && !tree.nodes.empty() &&
               depth <= static_cast<std::size_t>(kMostLevels);
        a.at = 0;
        a.path.path[0] = 0;
        a.path.reach2 = std::numeric_limits<double>::quiet_NaN();
        if (!a.ok) return;
        // The upper levels, which stay in cache: at once.
        for (std::size_t level = 0; level + kLateLevels < depth; ++level) descend(src, a, xy, level);
        return;
    }
    if (!a.ok) return;
    if (s <= kLateLevels) {
        const std::size_t level = depth + static_cast<std::size_t>(s) - kLateLevels - 1;  // (wraps where depth is less)
        if (level < depth) descend(src, a, xy, level);
        return;
    }
    switch (s - kLateLevels) {
        case 1: {  // the slot's chunk: its capsules
            a.at = tree.chunk[a.at];
            const auto [e, k] = src.chunk(Src::kLeaf ? a.at / kFanout : a.at);
            a.e = e;
            a.k = k;
            prefetch_bytes(&src[e].tree.capsules[kChunkNodes * k], kChunkNodes * sizeof(CapsuleNode));
            return;
        }
        case 2: {  // the nearest group: its pieces
            const std::size_t k = a.k;
            const SearchTree& t = src[a.e].tree;
            const CapsuleNode& root = t.capsules[kChunkNodes * k];
            const double cx = xy[0] - t.ox, cy = xy[1] - t.oy;
            const std::size_t g = Src::kLeaf ? a.at % kFanout : nearest_stretch(root, cx, cy);
            const CapsuleNode& group = t.capsules[kChunkNodes * k + 1 + g];
            a.path.reach2 = std::min(capsule_reach2(root, cx, cy),
                                     Src::kLeaf ? group_reach2(group, cx, cy) : capsule_reach2(group, cx, cy));
            a.at = kChunk * k + kFanout * g;
            const std::size_t from = a.at > 0 ? a.at - 1 : 0;
            prefetch_bytes(&t.pieces[from], (std::min(t.pieces.size(), a.at + kFanout) - from) * sizeof(SearchPiece));
            return;
        }
        case 3: {  // their elements, ends and stations
            const Data& d = src[a.e];
            a.first = d.tree.pieces[a.at].element;
            a.last = d.tree.pieces[std::min(d.tree.pieces.size(), a.at + kFanout) - 1].element;
            const std::size_t lo = a.first > 0 ? a.first - 1 : 0, hi = std::min(d.size() - 1, a.last + 1);
            prefetch_bytes(&d.elements[lo], (hi - lo + 1) * sizeof(ElementRecord));
            prefetch_bytes(&d.ends[lo], (hi - lo + 1) * sizeof(EndPoint));
            prefetch_bytes(&d.stations[lo], (hi - lo + 2) * sizeof(double));  // for the foot's station
            return;
        }
        default: {  // the series pieces of the elements
            const Data& d = src[a.e];
            for (std::size_t k = a.first; k <= a.last; ++k) {
                const ElementRecord& r = d.elements[k];
                if (eval_of(r) == Eval::series)
                    prefetch_bytes(&d.pieces[r.first_piece()], std::min<std::size_t>(r.piece_count(), 3) * sizeof(SeriesPiece));
            }
            return;
        }
    }
}

// The size of the tables (bytes) from which a batch's searches fetch their
// paths ahead (nearest_batch()): of generated chains, at 48 MB (2 10^5
// elements) the single queries were 7 % faster, at 74 MB fetching ahead
// 16 % (on a machine with 32 MB of last-level cache).
inline constexpr std::size_t kFetchFrom = std::size_t{64} << 20;

// nearest_of() of the points (xy[2 i], xy[2 i + 1]) into out[i]. The
// points come in a spatial order (spatial_order()), gathered into one
// array: read in that order from where the caller keeps them, every read
// of a coordinate and every write of an answer missed the caches inside
// the search. Before the search of point q, stage s of point q + S - s
// (S = kAheadStages); the search starts from the path so fetched (this
// pays where the tree outgrows the caches).
template <class Src>
void nearest_batch(const Src& src, const double* xy, std::size_t n, double max_distance, Found* out) noexcept {
    constexpr std::size_t kRing = 16;
    static_assert(kRing > static_cast<std::size_t>(kAheadStages), "a point's stages keep their slot");
    Ahead ring[kRing];
    for (std::size_t t = 0; t < n + kAheadStages; ++t) {
        for (int s = kAheadStages - 1; s >= 0; --s) {
            const std::size_t q = t - static_cast<std::size_t>(s);  // (wraps below 0)
            if (q < n) fetch_stage(src, s, ring[q % kRing], xy + 2 * q);
        }
        if (t < static_cast<std::size_t>(kAheadStages)) continue;
        const std::size_t q = t - kAheadStages;
        const Ahead& a = ring[q % kRing];
        out[q] = nearest_of(src, xy[2 * q], xy[2 * q + 1], max_distance,
                            std::isnan(a.path.reach2) ? nullptr : &a.path);
    }
}

// The order in which to answer a batch of points: by their Morton code on
// a 65536 x 65536 grid over their box (a non-finite point first), so that
// neighbouring queries walk the same part of the tree while it is in cache.
std::vector<std::uint32_t> spatial_order(const double* xy, std::size_t n);
// The points xy[2 order[q]], xy[2 order[q] + 1], q < m, into out[2 q],
// out[2 q + 1].
void gather_points(const double* xy, const std::uint32_t* order, std::size_t m, double* out) noexcept;
// out[order[q]] = from[q] for q < m.
template <class T>
void scatter(const T* from, const std::uint32_t* order, std::size_t m, T* out) noexcept {
    constexpr std::size_t kAhead = 16;
    for (std::size_t q = 0; q < m; ++q) {
#if defined(__GNUC__)
        if (q + kAhead < m) __builtin_prefetch(&out[order[q + kAhead]], 1);
#endif
        out[order[q]] = from[q];
    }
}

// Answers a batch of n points in their spatial order, a block at a time:
// gathered into a block (read in that order from where the caller keeps
// them, every read of a coordinate missed the caches inside the search),
// answered into the block by block(xy, m, feet), then scattered (a write
// that misses the caches inside the search holds up the search's own
// writes behind it). Blocks small enough to come from the allocator's free
// lists: fresh pages for whole-batch buffers cost the kernel's zeroing of
// them on every call.
inline constexpr std::size_t kBatchBlock = 1024;
template <class Foot, class Block>
void ordered_batch(const double* xy, std::size_t n, Foot* out, Block&& block) {
    constexpr std::size_t kBlock = kBatchBlock;
    const std::vector<std::uint32_t> order = spatial_order(xy, n);
    std::vector<double> sorted(2 * kBlock);
    std::vector<Foot> feet(kBlock);
    for (std::size_t b = 0; b < n; b += kBlock) {
        const std::size_t m = std::min(kBlock, n - b);
        gather_points(xy, order.data() + b, m, sorted.data());
        block(sorted.data(), m, feet.data());
        scatter(feet.data(), order.data() + b, m, out);
    }
}

}  // namespace curvix::engine::detail
