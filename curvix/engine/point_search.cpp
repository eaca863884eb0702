// Point -> station: the globally nearest point and every local minimum of
// the distance, by branch and bound over the search-piece tree.
//
// On a search piece the foot points are the roots of
//     g(t) = (P(t) - Q) . T(t),   g'(t) = |T|^2 + kappa(t) (P(t) - Q) . N(t),
// N the right normal. Where |kappa| times the largest distance from Q to the
// piece's box stays below 0.9, g' > 0 on the whole piece: g has at most one
// root, a minimum of the distance. Elsewhere (Q beyond a centre of
// curvature) g is sampled on kSamples sub-intervals and every sign change
// from - to + is refined. Roots are refined by Newton's method kept inside
// a shrinking bracket (bisection where a step would leave it).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/engine_data.hpp"

namespace curvix::engine {

namespace {

using detail::Data;
using detail::Node;
using detail::SearchPiece;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr int kSamples = 8;
constexpr int kMaxIterations = 100;
constexpr int kHeapSize = 256;

template <class Box>
double box_dist2(const Box& b, double x, double y) noexcept {
    const double dx = std::max({b.xmin - x, 0.0, x - b.xmax});
    const double dy = std::max({b.ymin - y, 0.0, y - b.ymax});
    return dx * dx + dy * dy;
}

// Squared lower bound of the distance from (x, y) to a piece: to its chord,
// less how far the piece strays from the chord.
double piece_near2(const SearchPiece& s, double x, double y) noexcept {
    const double cx = s.bx - s.ax, cy = s.by - s.ay;
    const double px = x - s.ax, py = y - s.ay;
    const double c2 = cx * cx + cy * cy;
    double u = c2 > 0.0 ? (px * cx + py * cy) / c2 : 0.0;
    u = std::min(1.0, std::max(0.0, u));
    const double d = std::max(0.0, std::hypot(px - u * cx, py - u * cy) - s.stray);
    return d * d;
}

double box_far2(const SearchPiece& b, double x, double y) noexcept {
    const double dx = std::max(std::fabs(x - b.xmin), std::fabs(x - b.xmax));
    const double dy = std::max(std::fabs(y - b.ymin), std::fabs(y - b.ymax));
    return dx * dx + dy * dy;
}

// The query as seen from one element: coordinates relative to its start.
struct Local {
    const Data& d;
    std::size_t k;
    double qx, qy;

    Local(const Data& data, std::size_t element, double x, double y) noexcept
        : d(data), k(element), qx(x - data.info[element].x0), qy(y - data.info[element].y0) {}

    struct At {
        double t, dx, dy, tx, ty, g;  // (dx, dy) = P - Q
        double d2() const noexcept { return dx * dx + dy * dy; }
    };
    At at(double t) const noexcept {
        At a;
        a.t = t;
        double lx, ly;
        d.local(k, t, lx, ly, a.tx, a.ty);
        a.dx = lx - qx;
        a.dy = ly - qy;
        a.g = a.dx * a.tx + a.dy * a.ty;
        return a;
    }

    // The root of g between lo (g < 0) and hi (g > 0).
    At root(At lo, At hi) const noexcept {
        const double width = hi.t - lo.t;
        double t = lo.t + width * (-lo.g / (hi.g - lo.g));
        if (!(t > lo.t && t < hi.t)) t = lo.t + 0.5 * width;
        double a = lo.t, b = hi.t;
        const double tol = 4.0 * kEps * (std::fabs(a) + std::fabs(b) + width);
        At cur = at(t);
        for (int i = 0; i < kMaxIterations && cur.g != 0.0; ++i) {
            if (cur.g < 0.0) a = cur.t; else b = cur.t;
            const double kappa = d.curvature_at(k, cur.t);
            const double gp = (cur.tx * cur.tx + cur.ty * cur.ty) +
                              kappa * (cur.dx * cur.ty - cur.dy * cur.tx);
            const double dt = cur.g / gp;
            if (gp > 0.0 && std::fabs(dt) <= tol) break;  // converged
            double next = cur.t - dt;
            if (!(gp > 0.0 && next > a && next < b)) next = a + 0.5 * (b - a);
            if (!(b - a > tol)) break;
            cur = at(next);
        }
        return cur;
    }
};

bool unimodal(const SearchPiece& s, double x, double y) noexcept {
    return s.kmax == 0.0 || s.kmax * std::sqrt(box_far2(s, x, y)) < 0.9;
}

// Whether element k ends exactly where element k + 1 starts, in the same
// direction (chained elements do, to the bit). At any other joint (a gap or
// a kink, as placed elements may have) the distance is not continuous, and
// each side's end is a minimum of its own where the distance falls into it.
bool smooth_joint(const Data& d, std::size_t k, std::size_t next) noexcept {
    const ElementInfo& a = d.info[k];
    const ElementInfo& b = d.info[next];
    return a.x1 == b.x0 && a.y1 == b.y0 && a.azimuth1 == b.azimuth0;
}
bool smooth_joint(const Data& d, std::size_t k) noexcept { return smooth_joint(d, k, k + 1); }

// The local minima of the distance on search piece i, each passed to
// `found` with its element: the roots of g from - to + inside the piece;
// its start where the distance grows from there and fell into it (or the
// alignment starts there, or a joint that is not smooth); its end where the
// distance falls into it and the alignment ends there, or a joint that is
// not smooth. A piece end inside a run where the distance keeps falling
// across a smooth joint is never one, so such a joint gives its root.
template <class Found>
void piece_minima(const Data& d, std::size_t i, double x, double y, Found&& found) noexcept {
    const SearchPiece& s = d.search[i];
    const Local q(d, s.element, x, y);
    const Local::At ea = q.at(s.ta), eb = q.at(s.tb);
    if (ea.g >= 0.0) {
        // Within an element the piece before ends at the same evaluation.
        double g_left = -1.0;
        if (i > 0) {
            const SearchPiece& p = d.search[i - 1];
            if (p.element == s.element)
                g_left = ea.g;
            else if (smooth_joint(d, p.element, s.element))  // elements of length 0 between have no piece
                g_left = Local(d, p.element, x, y).at(p.tb).g;
        }
        if (g_left <= 0.0) found(s.element, ea);
    }
    const int m = unimodal(s, x, y) ? 1 : kSamples;
    Local::At prev = ea;
    for (int j = 1; j <= m; ++j) {
        const Local::At cur =
            j == m ? eb : q.at(s.ta + (s.tb - s.ta) * static_cast<double>(j) / m);
        if (prev.g < 0.0 && cur.g > 0.0) {
            found(s.element, q.root(prev, cur));
        } else if (prev.g < 0.0 && cur.g == 0.0 && j < m) {
            found(s.element, cur);
        }
        prev = cur;
    }
    const bool element_ends = i + 1 == d.search.size() || d.search[i + 1].element != s.element;
    if (element_ends && eb.g <= 0.0 &&
        (i + 1 == d.search.size() || !smooth_joint(d, s.element, d.search[i + 1].element))) {
        found(s.element, eb);
    }
}

Foot make_foot(const Data& d, std::size_t k, double t, double x, double y) noexcept {
    // A joint belongs to the element that starts there.
    // (The end of an element before a gap or a kink keeps its own point.)
    while (k + 1 < d.size() && t >= d.info[k].length && smooth_joint(d, k)) {
        ++k;
        t = 0.0;
    }
    const Local q(d, k, x, y);
    const Local::At a = q.at(t);
    const double dist = std::hypot(a.dx, a.dy);
    // (Q - P) . N with N = (ty, -tx), the right normal.
    const double side = a.dy * a.tx - a.dx * a.ty;
    return {d.stations[k] + t, side < 0.0 ? -dist : dist, dist, static_cast<std::ptrdiff_t>(k)};
}

bool bad_query(const Data& d, double x, double y, double max_distance) noexcept {
    return !std::isfinite(x) || !std::isfinite(y) || std::isnan(max_distance) ||
           max_distance < 0.0 || d.nodes.empty();
}

}  // namespace

Foot Alignment::nearest(double x, double y, double max_distance) const noexcept {
    const Data& d = *impl_;
    const Foot none{kNaN, kNaN, kNaN, -1};
    if (bad_query(d, x, y, max_distance)) return none;
    double best = max_distance * max_distance;
    bool found = false;
    std::size_t best_k = 0;
    double best_t = 0.0;
    const auto consider = [&](std::size_t k, const Local::At& a) {
        const double d2 = a.d2();
        if (d2 <= best && (!found || d2 < best)) {
            found = true;
            best = d2;
            best_k = k;
            best_t = a.t;
        }
    };
    // Depth first below a node, the nearer child first.
    const auto depth_first = [&](std::size_t root) {
        std::size_t stack[detail::kMaxDepth];
        int top = 0;
        stack[top++] = root;
        while (top > 0) {
            const Node& nd = d.nodes[stack[--top]];
            if (box_dist2(nd, x, y) > best) continue;
            if (nd.left == 0) {
                for (std::size_t i = nd.lo; i < nd.hi; ++i)
                    if (piece_near2(d.search[i], x, y) <= best) piece_minima(d, i, x, y, consider);
                continue;
            }
            if (top + 2 > detail::kMaxDepth) continue;  // not reached: the tree is balanced
            const bool left_first = box_dist2(d.nodes[nd.left], x, y) <= box_dist2(d.nodes[nd.right], x, y);
            stack[top++] = left_first ? nd.right : nd.left;
            stack[top++] = left_first ? nd.left : nd.right;
        }
    };
    // Best first: nodes by the lower bound of their distance, from a heap
    // of fixed size; the nearer child is followed at once, the other
    // waits in the heap (or, when it is full, is searched depth first).
    struct Entry {
        double lb;
        std::size_t node;
    };
    Entry heap[kHeapSize];
    int size = 0;
    const auto later = [](const Entry& a, const Entry& b) { return a.lb > b.lb; };
    heap[size++] = {box_dist2(d.nodes[0], x, y), 0};
    while (size > 0) {
        std::pop_heap(heap, heap + size, later);
        const Entry e = heap[--size];
        if (e.lb > best) break;
        std::size_t node = e.node;
        for (;;) {
            const Node& nd = d.nodes[node];
            if (nd.left == 0) {
                for (std::size_t i = nd.lo; i < nd.hi; ++i)
                    if (piece_near2(d.search[i], x, y) <= best) piece_minima(d, i, x, y, consider);
                break;
            }
            const double ll = box_dist2(d.nodes[nd.left], x, y);
            const double lr = box_dist2(d.nodes[nd.right], x, y);
            const bool left_near = ll <= lr;
            const std::size_t far = left_near ? nd.right : nd.left;
            const double lfar = left_near ? lr : ll;
            if (lfar <= best) {
                if (size == kHeapSize) {
                    depth_first(far);
                } else {
                    heap[size++] = {lfar, far};
                    std::push_heap(heap, heap + size, later);
                }
            }
            if ((left_near ? ll : lr) > best) break;
            node = left_near ? nd.left : nd.right;
        }
    }
    if (!found) return none;
    const Foot f = make_foot(d, best_k, best_t, x, y);
    return f.distance <= max_distance ? f : none;
}

namespace {

// Bits 0, 2, 4, ... of the result are those of v (16 bits).
std::uint32_t spread(std::uint32_t v) noexcept {
    v &= 0xFFFFu;
    v = (v | (v << 8)) & 0x00FF00FFu;
    v = (v | (v << 4)) & 0x0F0F0F0Fu;
    v = (v | (v << 2)) & 0x33333333u;
    v = (v | (v << 1)) & 0x55555555u;
    return v;
}

}  // namespace

void Alignment::nearest(const double* xy, std::size_t n, double max_distance, Foot* out) const {
    // Ordering pays where the tree and its pieces outgrow the caches (a few
    // thousand pieces, some megabytes) and the batch is large; below that it
    // only costs its sort.
    constexpr std::size_t kOrderFrom = 2048;
    constexpr std::size_t kPiecesFrom = 8192;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const Data& d = *impl_;
    if (n < kOrderFrom || d.search.size() < kPiecesFrom || n > UINT32_MAX) {
        for (std::size_t i = 0; i < n; ++i) out[i] = nearest(xy[2 * i], xy[2 * i + 1], max_distance);
        return;
    }
    double x0 = kInf, y0 = kInf, x1 = -kInf, y1 = -kInf;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        x0 = std::min(x0, x);
        x1 = std::max(x1, x);
        y0 = std::min(y0, y);
        y1 = std::max(y1, y);
    }
    // Cells of the points' box on a 65536 x 65536 grid; a non-finite point
    // (answered at once) goes to cell 0.
    const double sx = x1 > x0 ? 65535.0 / (x1 - x0) : 0.0;
    const double sy = y1 > y0 ? 65535.0 / (y1 - y0) : 0.0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> order(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        std::uint32_t code = 0;
        if (std::isfinite(x) && std::isfinite(y) && std::isfinite(sx) && std::isfinite(sy)) {
            const auto cx = static_cast<std::uint32_t>(std::min(65535.0, std::max(0.0, (x - x0) * sx)));
            const auto cy = static_cast<std::uint32_t>(std::min(65535.0, std::max(0.0, (y - y0) * sy)));
            code = spread(cx) | (spread(cy) << 1);
        }
        order[i] = {code, static_cast<std::uint32_t>(i)};
    }
    std::sort(order.begin(), order.end());
    for (const auto& [code, i] : order) out[i] = nearest(xy[2 * i], xy[2 * i + 1], max_distance);
}

void Alignment::local_minima(double x, double y, double max_distance, std::vector<Foot>& out) const {
    const Data& d = *impl_;
    if (bad_query(d, x, y, max_distance)) return;
    const double reach = max_distance * max_distance;
    std::vector<std::size_t> pieces;
    std::vector<std::size_t> stack{0};
    while (!stack.empty()) {
        const Node& nd = d.nodes[stack.back()];
        stack.pop_back();
        if (box_dist2(nd, x, y) > reach) continue;
        if (nd.left != 0) {
            stack.push_back(nd.left);
            stack.push_back(nd.right);
            continue;
        }
        for (std::size_t i = nd.lo; i < nd.hi; ++i)
            if (piece_near2(d.search[i], x, y) <= reach) pieces.push_back(i);
    }
    std::sort(pieces.begin(), pieces.end());

    std::vector<Foot> found;
    const auto keep = [&](std::size_t k, double t) {
        const Foot f = make_foot(d, k, t, x, y);
        if (f.distance <= max_distance) found.push_back(f);
    };
    for (const std::size_t i : pieces)
        piece_minima(d, i, x, y, [&](std::size_t k, const Local::At& a) { keep(k, a.t); });

    // Roots found from both sides of a joint (rounding) are one minimum.
    std::sort(found.begin(), found.end(),
              [](const Foot& a, const Foot& b) { return a.station < b.station; });
    std::vector<Foot> merged;
    for (const Foot& f : found) {
        if (!merged.empty()) {
            Foot& m = merged.back();
            const double tol = 1e-9 + 4.0 * kEps * std::fabs(f.station);
            if (f.station - m.station <= tol) {
                if (f.distance < m.distance) m = f;
                continue;
            }
        }
        merged.push_back(f);
    }
    std::stable_sort(merged.begin(), merged.end(),
                     [](const Foot& a, const Foot& b) { return a.distance < b.distance; });
    out.insert(out.end(), merged.begin(), merged.end());
}

}  // namespace curvix::engine
