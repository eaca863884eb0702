// Crossings of the alignment with a polyline or an infinite line.
//
// On a search piece the azimuth is monotone (the curvature keeps its sign)
// and turns by less than pi / 2, so the signed distance f(t) from the line
// has at most one extremum inside it, where the tangent is parallel to the
// line: a(t) = beta + j pi, a quadratic in t. Cut there, the piece falls
// into at most two parts on which f is monotone; a sign change between the
// ends of a part brackets exactly one root, refined by Newton's method
// inside the bracket. Nothing is sampled, so no crossing can be missed.

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/engine_data.hpp"
#include "curvix/engine/nearest.hpp"

namespace curvix::engine {

namespace {

using detail::Box;
using detail::Data;
using detail::ElementRecord;
using detail::SearchPiece;
using detail::SearchTree;

constexpr double kPi = 3.141592653589793;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr int kMaxIterations = 100;
using detail::kJointGap;

struct Line {
    double ax, ay;  // first point
    double ux, uy;  // unit direction
    double nx, ny;  // right normal (uy, -ux)
    double length;  // of the segment (infinite lines: +inf)
    double beta;    // azimuth of the direction
    double tol;     // tangency: 1e-12 of the coordinate scale (4e-6 m at 4e6)
    double slack;   // rounding allowance along the segment
    std::size_t segment;
};

// f(t) on one element: the signed distance of P(t) from the line.
struct Distance {
    const Data& d;
    std::size_t k;
    double base;  // f at the element start
    const Line& line;
    detail::Cursor cur;

    Distance(const Data& data, std::size_t element, const Line& ln) noexcept
        : d(data),
          k(element),
          base(ln.nx * (data.elements[element].x0 - ln.ax) + ln.ny * (data.elements[element].y0 - ln.ay)),
          line(ln),
          cur(data, element) {}

    double at(double t, double* slope = nullptr) const noexcept {
        double lx, ly, tx, ty;
        cur.local(t, lx, ly, tx, ty);
        if (slope) *slope = line.nx * tx + line.ny * ty;
        return base + (line.nx * lx + line.ny * ly);
    }

    // The root between lo and hi, f(lo) and f(hi) of opposite signs.
    double root(double lo, double flo, double hi, double fhi) const noexcept {
        const double width = hi - lo;
        double t = lo + width * (flo / (flo - fhi));
        if (!(t > lo && t < hi)) t = lo + 0.5 * width;
        const bool rising = flo < 0.0;
        const double tol = 4.0 * kEps * (std::fabs(lo) + std::fabs(hi) + width);
        for (int i = 0; i < kMaxIterations; ++i) {
            double slope;
            const double f = at(t, &slope);
            if (f == 0.0) return t;
            if ((f < 0.0) == rising) lo = t; else hi = t;
            const double dt = f / slope;
            if (std::fabs(dt) <= tol) break;  // converged
            double next = t - dt;
            if (!(next > lo && next < hi)) next = lo + 0.5 * (hi - lo);
            if (!(hi - lo > tol)) break;
            t = next;
        }
        return t;
    }

    // Where the tangent is parallel to the line on [ta, tb] (monotone
    // azimuth), or NaN.
    double parallel(double ta, double tb) const noexcept {
        const double aa = d.azimuth_at(k, ta), ab = d.azimuth_at(k, tb);
        // Widened by the rounding of the azimuths, so that a tangent
        // direction at a piece boundary is seen from both pieces.
        const double widen = 8.0 * kEps * (std::fabs(aa) + std::fabs(ab));
        const double lo = std::min(aa, ab) - widen, hi = std::max(aa, ab) + widen;
        const double v = line.beta + std::ceil((lo - line.beta) / kPi) * kPi;
        if (!(v <= hi) || aa == ab) return std::numeric_limits<double>::quiet_NaN();
        const ElementRecord& e = d.elements[k];
        const double c = d.slope(k);
        const double delta = v - e.azimuth0;
        // c/2 t^2 + k0 t - delta = 0, the root inside [ta, tb].
        double best = std::numeric_limits<double>::quiet_NaN();
        if (c == 0.0) {
            best = delta / e.k0;
        } else {
            const double sq = std::sqrt(std::max(0.0, e.k0 * e.k0 + 2.0 * c * delta));
            const double q = -0.5 * (e.k0 + std::copysign(sq, e.k0));
            const double roots[2] = {q / (0.5 * c), q != 0.0 ? -delta / q : best};
            const double mid = 0.5 * (ta + tb);
            for (const double r : roots)
                if (std::isfinite(r) && !(std::fabs(r - mid) >= std::fabs(best - mid))) best = r;
        }
        const double slack = 1e-9 * (tb - ta);
        // The other transitions have no quadratic azimuth: always bisect.
        if (e.shaped() || !(best >= ta - slack && best <= tb + slack)) {
            // Rounding put the analytic root astray: bisect the monotone azimuth.
            double a = ta, b = tb;
            const bool up = ab > aa;
            for (int i = 0; i < kMaxIterations && b - a > 2.0 * kEps * std::fabs(a); ++i) {
                const double m = a + 0.5 * (b - a);
                if ((d.azimuth_at(k, m) < v) == up) a = m; else b = m;
            }
            best = a + 0.5 * (b - a);
        }
        return std::min(tb, std::max(ta, best));
    }
};

// A crossing and whether it lies at the first or last point of its
// segment (within the tolerance), for the one-report rule at vertices.
struct Found {
    Crossing c;
    bool at_first, at_last;
    double tol;  // of its line
};

// Whether the line comes within r (and its tolerances) of the segment a-b.
bool capsule_meets(double ax, double ay, double bx, double by, double r, const Line& ln, bool infinite) noexcept {
    if (r < 0.0) return false;  // an unused stretch
    const double reach = r + ln.tol + ln.slack + 1e-15 * (std::fabs(ax) + std::fabs(ay) + std::fabs(bx) + std::fabs(by));
    const double fa = ln.nx * (ax - ln.ax) + ln.ny * (ay - ln.ay);
    const double fb = ln.nx * (bx - ln.ax) + ln.ny * (by - ln.ay);
    if (infinite) return (fa <= 0.0 && fb >= 0.0) || (fa >= 0.0 && fb <= 0.0) || std::min(std::fabs(fa), std::fabs(fb)) <= reach;
    const double cx = ln.ax + ln.ux * ln.length, cy = ln.ay + ln.uy * ln.length;
    // The segments cross (or touch): the ends of each lie on both sides of the other.
    const double ga = (bx - ax) * (ln.ay - ay) - (by - ay) * (ln.ax - ax);
    const double gb = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
    if (((fa <= 0.0 && fb >= 0.0) || (fa >= 0.0 && fb <= 0.0)) && ((ga <= 0.0 && gb >= 0.0) || (ga >= 0.0 && gb <= 0.0)))
        return true;
    const double d2 = std::min({detail::segment_distance2(ax, ay, bx, by, ln.ax, ln.ay),
                                detail::segment_distance2(ax, ay, bx, by, cx, cy),
                                detail::segment_distance2(ln.ax, ln.ay, cx, cy, ax, ay),
                                detail::segment_distance2(ln.ax, ln.ay, cx, cy, bx, by)});
    return d2 <= reach * reach;
}

bool box_meets(const Box& b, const Line& ln, bool infinite) noexcept {
    if (!infinite) {
        const double bx = ln.ax + ln.ux * ln.length, by = ln.ay + ln.uy * ln.length;
        if (std::max(ln.ax, bx) + ln.slack < b.xmin || std::min(ln.ax, bx) - ln.slack > b.xmax ||
            std::max(ln.ay, by) + ln.slack < b.ymin || std::min(ln.ay, by) - ln.slack > b.ymax)
            return false;
    }
    int above = 0, below = 0;
    for (const double x : {b.xmin, b.xmax})
        for (const double y : {b.ymin, b.ymax}) {
            const double f = ln.nx * (x - ln.ax) + ln.ny * (y - ln.ay);
            above += f > -ln.tol;
            below += f < ln.tol;
        }
    return above > 0 && below > 0;
}

// A crossing's place: parameter t on its element, or, for a sign change
// across a joint whose ends do not quite meet, the point where the line
// meets the chord of the gap (at the joint's station).
struct Place {
    double t;
    bool chord = false;
    double x = 0.0, y = 0.0;
};

void report(const Data& d, std::size_t k, const Place& at, const Line& ln, bool tangent,
            std::vector<Found>& out) {
    double t = at.t;
    // A joint belongs to the element that starts there, unless a gap lies
    // between: the point found is the end of the element before it.
    while (k + 1 < d.size() && t >= d.elements[k].length && d.ends[k].x == d.elements[k + 1].x0 &&
           d.ends[k].y == d.elements[k + 1].y0) {
        ++k;
        t = 0.0;
    }
    const ElementRecord& e = d.elements[k];
    double lx, ly, tx, ty;
    detail::Cursor(d, k).local(t, lx, ly, tx, ty);
    const double x = at.chord ? at.x : e.x0 + lx, y = at.chord ? at.y : e.y0 + ly;
    const double along = ln.ux * (x - ln.ax) + ln.uy * (y - ln.ay);
    const bool infinite = ln.length == std::numeric_limits<double>::infinity();
    if (!infinite && !(along >= -ln.slack && along <= ln.length + ln.slack)) return;
    const double angle =
        tangent ? 0.0 : std::atan2(std::fabs(tx * ln.uy - ty * ln.ux), std::fabs(tx * ln.ux + ty * ln.uy));
    out.push_back({{d.stations[k] + t, x, y, ln.segment, angle},
                   std::hypot(x - ln.ax, y - ln.ay) <= ln.tol,
                   std::hypot(x - (ln.ax + ln.ux * ln.length), y - (ln.ay + ln.uy * ln.length)) <= ln.tol,
                   ln.tol});
}

// What one piece holds for one line: roots, each in the monotone run
// before the extremum (first), after it (last) or both (no extremum), or one
// touching point.
struct Hits {
    enum Run { first = 1, last = 2, both = 3 };
    struct Hit {
        Place at;
        int run;
    };
    Hit root[4];
    int roots = 0;
    bool touches = false;
    double touch = 0.0;
    void add(double t, int run) { root[roots++] = {{t}, run}; }
    void add(const Place& at, int run) { root[roots++] = {at, run}; }
};

// Strictly opposite signs, read from the signs themselves: the product of
// two subnormal distances (a line whose direction has a subnormal
// component) underflows to zero.
bool opposite(double a, double b) noexcept { return (a < 0.0 && b > 0.0) || (a > 0.0 && b < 0.0); }

Hits piece_hits(const Data& d, std::size_t i, const Line& ln) {
    Hits h;
    const auto& pieces = d.tree.pieces;
    const SearchPiece& s = pieces[i];
    const double ta = detail::search_ta(d, i);
    const Distance f(d, s.element, ln);
    const double fa = f.at(ta), fb = f.at(s.tb);
    const double tp = f.parallel(ta, s.tb);
    const double fp = std::isnan(tp) ? tp : f.at(tp);
    if (std::fabs(fp) <= ln.tol) {
        // The extremum lies within the tolerance of the line: the roots
        // around it are one touching point.
        h.touches = true;
        h.touch = tp;
        return h;
    }
    const bool split = !std::isnan(tp);
    // A root at the piece start, or a sign change across a joint whose two
    // ends meet (within kJointGap; across a wider gap the alignment jumps
    // over the line without crossing it).
    bool at_start = fa == 0.0;
    Place start{ta};
    if (!at_start && i > 0 && pieces[i - 1].element != s.element) {
        const SearchPiece& p = pieces[i - 1];
        const detail::EndPoint& before = d.ends[p.element];
        const ElementRecord& after = d.elements[s.element];
        if (std::hypot(before.x - after.x0, before.y - after.y0) <= kJointGap) {
            const double fl = Distance(d, p.element, ln).at(p.tb);
            at_start = fl == 0.0 || (fl < 0.0) != (fa < 0.0);
            if (at_start && (before.x != after.x0 || before.y != after.y0)) {
                // The line meets the chord of the gap where f, linear along
                // it, changes sign: not at the start after the gap, which
                // lies up to kJointGap off the line.
                const double w = fl / (fl - fa);
                start.chord = true;
                start.x = before.x + w * (after.x0 - before.x);
                start.y = before.y + w * (after.y0 - before.y);
            }
        }
    }
    if (at_start) h.add(start, split ? Hits::first : Hits::both);
    if (!split) {
        if (opposite(fa, fb)) h.add(f.root(ta, fa, s.tb, fb), Hits::both);
    } else {
        if (opposite(fa, fp)) h.add(f.root(ta, fa, tp, fp), Hits::first);
        if (opposite(fp, fb)) h.add(f.root(tp, fp, s.tb, fb), Hits::last);
    }
    if (i + 1 == pieces.size() && fb == 0.0) h.add(s.tb, split ? Hits::last : Hits::both);
    return h;
}

// The pieces (ascending) met by one line. A touching point also takes the
// roots next to it in the neighbouring pieces (the monotone runs that lead
// into it stay within the tolerance of the line).
void line_crossings(const Data& d, const std::vector<std::size_t>& pieces, const Line& ln,
                    std::vector<Found>& out) {
    // A root in the last run of the piece before, held until it is known
    // whether this piece touches.
    bool pending = false, prev_touch = false, started = false;
    std::size_t pending_k = 0, prev = 0;
    Place pending_at{0.0};
    const auto flush = [&]() {
        if (pending) report(d, pending_k, pending_at, ln, false, out);
        pending = false;
    };
    for (const std::size_t i : pieces) {
        const bool contiguous = started && prev + 1 == i;
        const std::size_t k = d.tree.pieces[i].element;
        const Hits h = piece_hits(d, i, ln);
        if (h.touches) {
            if (contiguous) pending = false;
            flush();
            report(d, k, Place{h.touch}, ln, true, out);
        } else {
            flush();
            for (int r = 0; r < h.roots; ++r) {
                const Hits::Hit& hit = h.root[r];
                if ((hit.run & Hits::first) && contiguous && prev_touch) continue;
                flush();
                if (hit.run & Hits::last) {
                    pending = true;
                    pending_k = k;
                    pending_at = hit.at;
                } else {
                    report(d, k, hit.at, ln, false, out);
                }
            }
        }
        prev_touch = h.touches;
        prev = i;
        started = true;
    }
    flush();
}

}  // namespace

void Alignment::crossings(const double* xy, std::size_t m, bool infinite,
                          std::vector<Crossing>& out) const {
    if (infinite && m != 2)
        throw std::invalid_argument("xy: an infinite line is given by exactly 2 points, got " +
                                    std::to_string(m));
    if (m > 0 && xy == nullptr) throw std::invalid_argument("xy: null pointer for " + std::to_string(m) + " points");
    const Data& d = *impl_;
    const SearchTree& tree = d.tree;
    const detail::BoxTree& boxes = tree.boxes;
    if (m < 2 || boxes.nodes.empty()) return;
    const std::size_t depth = boxes.depth();
    std::vector<Found> found;
    std::vector<std::size_t> pieces;
    std::vector<std::pair<std::size_t, std::size_t>> stack;
    for (std::size_t seg = 0; seg + 1 < m; ++seg) {
        const double ax = xy[2 * seg], ay = xy[2 * seg + 1];
        const double bx = xy[2 * seg + 2], by = xy[2 * seg + 3];
        const double len = std::hypot(bx - ax, by - ay);
        if (!std::isfinite(ax) || !std::isfinite(ay) || !(len > 0.0 && std::isfinite(len))) continue;
        Line ln;
        ln.ax = ax;
        ln.ay = ay;
        ln.ux = (bx - ax) / len;
        ln.uy = (by - ay) / len;
        ln.nx = ln.uy;
        ln.ny = -ln.ux;
        ln.length = infinite ? std::numeric_limits<double>::infinity() : len;
        ln.beta = std::atan2(ln.ux, ln.uy);
        const double scale = std::max({1.0, std::fabs(ax), std::fabs(ay), std::fabs(bx), std::fabs(by)});
        ln.tol = 1e-12 * scale;
        ln.slack = 8.0 * kEps * scale;
        ln.segment = seg;

        // Every piece the line may meet: box nodes (level < depth), chunks
        // (depth) and groups (depth + 1, index 4 chunk + group).
        pieces.clear();
        stack.assign(1, {0, 0});
        while (!stack.empty()) {
            const auto [level, index] = stack.back();
            stack.pop_back();
            if (level < depth) {
                const detail::BoxNode& nd = boxes.node(level, index);
                const int count = static_cast<int>(boxes.children(level, index));
                for (int c = 0; c < count; ++c) {
                    const Box b{boxes.ox + static_cast<double>(nd.xmin[c]), boxes.oy + static_cast<double>(nd.ymin[c]),
                                boxes.ox + static_cast<double>(nd.xmax[c]), boxes.oy + static_cast<double>(nd.ymax[c])};
                    if (!box_meets(b, ln, infinite)) continue;
                    const std::size_t child = detail::kBoxFanout * index + static_cast<std::size_t>(c);
                    stack.emplace_back(level + 1, level + 1 < depth ? child : boxes.chunk[child]);
                }
                continue;
            }
            const std::size_t chunk = level == depth ? index : index / detail::kFanout;
            const std::size_t node = level == depth ? 0 : 1 + index % detail::kFanout;
            const detail::CapsuleNode& cn = tree.capsules[detail::kChunkNodes * chunk + node];
            for (int c = 0; c < detail::kFanout; ++c) {
                if (!capsule_meets(tree.ox + static_cast<double>(cn.x[c]), tree.oy + static_cast<double>(cn.y[c]),
                                   tree.ox + static_cast<double>(cn.x[c + 1]), tree.oy + static_cast<double>(cn.y[c + 1]),
                                   static_cast<double>(cn.r[c]), ln, infinite))
                    continue;
                if (level == depth)
                    stack.emplace_back(depth + 1, detail::kFanout * chunk + static_cast<std::size_t>(c));
                else
                    pieces.push_back(detail::kChunk * chunk + detail::kFanout * (index % detail::kFanout) +
                                     static_cast<std::size_t>(c));
            }
        }
        std::sort(pieces.begin(), pieces.end());
        line_crossings(d, pieces, ln, found);
    }

    const auto order = [](const Found& a, const Found& b) {
        return a.c.station < b.c.station || (a.c.station == b.c.station && a.c.segment < b.c.segment);
    };
    std::sort(found.begin(), found.end(), order);
    // One crossing found twice: from both pieces at a boundary (the same
    // segment, the same station but for rounding), or from two segments at
    // their shared point (each within the tolerance of it).
    std::vector<Found> kept;
    for (const Found& f : found) {
        bool twice = false;
        const double same = 1e-9 + 8.0 * kEps * std::fabs(f.c.station);
        for (std::size_t j = kept.size(); j > 0; --j) {
            Found& o = kept[j - 1];
            const double gap = f.c.station - o.c.station;
            const bool vertex = (o.c.segment + 1 == f.c.segment && o.at_last && f.at_first) ||
                                (f.c.segment + 1 == o.c.segment && f.at_last && o.at_first);
            if (!(gap <= same || gap <= 4.0 * std::max(o.tol, f.tol))) break;
            if ((o.c.segment == f.c.segment && gap <= same) || (vertex && gap <= 4.0 * std::max(o.tol, f.tol))) {
                twice = true;
                if (f.c.angle == 0.0) o.c.angle = 0.0;
                if (f.c.segment < o.c.segment) {
                    // Kept under the earlier segment, with that segment's
                    // end flags: the other segment's would let a third
                    // crossing, at another vertex, merge into this one.
                    o.c.segment = f.c.segment;
                    o.at_first = f.at_first;
                    o.at_last = f.at_last;
                }
                break;
            }
        }
        if (!twice) kept.push_back(f);
    }
    for (const Found& f : kept) out.push_back(f.c);
}

}  // namespace curvix::engine
