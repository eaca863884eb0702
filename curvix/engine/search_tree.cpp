// The search pieces and the trees over them (see search_tree.hpp).

#include "curvix/engine/search_tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "curvix/engine/engine_data.hpp"

namespace curvix::engine::detail {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kInfF = std::numeric_limits<float>::infinity();

void grow(double& lo, double& hi, double v) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
}
void grow(Box& b, const Box& o) {
    grow(b.xmin, b.xmax, o.xmin);
    grow(b.xmin, b.xmax, o.xmax);
    grow(b.ymin, b.ymax, o.ymin);
    grow(b.ymin, b.ymax, o.ymax);
}

// v as a float no greater (no smaller) than v.
float float_down(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -kInfF);
    return f;
}
float float_up(double v) {
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, kInfF);
    return f;
}

double segment_distance(double ax, double ay, double bx, double by, double x, double y) {
    const double cx = bx - ax, cy = by - ay, px = x - ax, py = y - ay;
    const double c2 = cx * cx + cy * cy;
    double u = c2 > 0.0 ? (px * cx + py * cy) / c2 : 0.0;
    u = std::min(1.0, std::max(0.0, u));
    return std::hypot(px - u * cx, py - u * cy);
}

struct Point {
    double x, y;
};

// What building the capsules needs of a piece beside the piece itself.
struct PieceExtra {
    Point a;        // its start point
    Point gap;      // the end before a bridged gap it starts after, else its start
    Box box;        // everything it may reach
};

void add_search_piece(Data& d, std::vector<PieceExtra>& extra, std::size_t k, double ta, double tb) {
    const ElementRecord& e = d.elements[k];
    auto& pieces = d.tree.pieces;
    const Cursor cur(d, k);
    double ax, ay, bx, by, tx, ty;
    cur.local(ta, ax, ay, tx, ty);
    cur.local(tb, bx, by, tx, ty);
    SearchPiece s;
    s.element = static_cast<std::uint32_t>(k);
    s.tb = tb;
    const double h = tb - ta;
    const double turn = d.turn_between(k, ta, tb);
    const double local_scale = std::max({std::fabs(ax), std::fabs(ay), std::fabs(bx), std::fabs(by)});
    const double margin = 1e-12 * (h + local_scale) +
                          1e-15 * (std::fabs(e.x0) + std::fabs(e.y0)) + 1e-300;
    // A curve whose tangent turns monotonically by theta <= pi strays from
    // its chord by at most (h/2) sin(theta/2): the tangent is parallel to
    // the chord where it is farthest, and on either side it leans by at
    // most theta/2 on the shorter run.
    s.stray = float_up(0.5 * h * std::sin(0.5 * std::min(turn, kPi)) + margin);
    const double g = static_cast<double>(s.stray);
    s.bx = e.x0 + bx;
    s.by = e.y0 + by;
    // The start point as the queries take it: the end of the piece before
    // on the element, or the element's start.
    const bool first = pieces.empty() || pieces.back().element != k;
    PieceExtra x;
    x.a = first ? Point{e.x0, e.y0} : Point{pieces.back().bx, pieces.back().by};
    x.gap = x.a;
    x.box = {std::min(x.a.x, s.bx) - g, std::min(x.a.y, s.by) - g, std::max(x.a.x, s.bx) + g,
             std::max(x.a.y, s.by) + g};
    // After a gap that crossings bridge, the piece's bounds hold the gap's
    // chord too, so that a line through the gap alone still meets a piece.
    if (ta == 0.0 && !pieces.empty() && pieces.back().element != k) {
        const EndPoint& p = d.ends[pieces.back().element];
        if ((p.x != e.x0 || p.y != e.y0) && std::hypot(p.x - e.x0, p.y - e.y0) <= kJointGap) {
            x.gap = {p.x, p.y};
            grow(x.box.xmin, x.box.xmax, p.x);
            grow(x.box.ymin, x.box.ymax, p.y);
        }
    }
    pieces.push_back(s);
    extra.push_back(x);
}

// The root of a monotone function f on [a, b], f(a) and f(b) of opposite
// signs (or one of them 0), by bisection to the last bit.
template <class F>
double bisect(F&& f, double a, double b) {
    const bool rising = f(a) < f(b);
    for (int i = 0; i < 200; ++i) {
        const double m = a + 0.5 * (b - a);
        if (!(m > a && m < b)) break;
        if ((f(m) < 0.0) == rising) a = m; else b = m;
    }
    return a + 0.5 * (b - a);
}

// Search pieces of a transition other than the clothoid: cut where its
// curvature has an extremum (the Viennese bend's lean makes them; the other
// shapes are monotone) and where it changes sign, so that |kappa| is
// monotone on every part (the bounds of the searches take it at a piece's
// ends); then into equal turns of at most kSearchTurn.
void add_shaped_search_pieces(Data& d, std::vector<PieceExtra>& extra, std::size_t k) {
    const CurvatureLaw law = d.law(k);
    const double L = law.length();
    std::vector<double> cuts{0.0};
    constexpr int kSamples = 256;
    const auto slope = [&](double t) { return law.kappa_slope(t); };
    const auto kappa = [&](double t) { return law.kappa(t); };
    double prev_t = 0.0;
    for (int i = 1; i <= kSamples; ++i) {
        const double t = i == kSamples ? L : L * static_cast<double>(i) / kSamples;
        // (The slope is 0 at the ends: the first and last samples sit just inside.)
        const double a = slope(i == 1 ? 1e-3 * t : prev_t);
        const double b = slope(i == kSamples ? std::nextafter(L, 0.0) : t);
        if (!law.monotone() && ((a < 0.0 && b > 0.0) || (a > 0.0 && b < 0.0)))
            cuts.push_back(bisect(slope, prev_t, t));
        prev_t = t;
    }
    cuts.push_back(L);
    std::vector<double> parts{0.0};
    for (std::size_t j = 0; j + 1 < cuts.size(); ++j) {
        const double u0 = cuts[j], u1 = cuts[j + 1];
        const double ka = kappa(u0), kb = kappa(u1);
        if ((ka < 0.0 && kb > 0.0) || (ka > 0.0 && kb < 0.0)) parts.push_back(bisect(kappa, u0, u1));
        if (j + 2 < cuts.size()) parts.push_back(u1);
    }
    parts.push_back(L);
    for (std::size_t j = 0; j + 1 < parts.size(); ++j) {
        const double u0 = parts[j], u1 = parts[j + 1];
        if (!(u1 > u0)) continue;
        const double th0 = law.theta(u0);
        const double T = std::fabs(law.theta(u1) - th0);
        const std::size_t count = static_cast<std::size_t>(search_piece_count(u1 - u0, T));
        double prev = u0;
        for (std::size_t i = 1; i <= count; ++i) {
            double tb = u1;
            if (i < count) {
                const double goal = T * static_cast<double>(i) / static_cast<double>(count);
                tb = bisect([&](double t) { return std::fabs(law.theta(t) - th0) - goal; }, prev, u1);
            }
            add_search_piece(d, extra, k, prev, tb);
            prev = tb;
        }
    }
}

// Search pieces of element k: cut where the curvature changes sign, then
// into equal turns of at most kSearchTurn.
void add_search_pieces(Data& d, std::vector<PieceExtra>& extra, std::size_t k) {
    const ElementRecord& e = d.elements[k];
    const double L = e.length;
    if (L == 0.0 || L < kTinyLength) {
        if (k + 1 == d.size() || L > 0.0) add_search_piece(d, extra, k, 0.0, L);
        return;
    }
    if (e.shaped()) {
        add_shaped_search_pieces(d, extra, k);
        return;
    }
    const double c = d.slope(k);
    double cuts[3] = {0.0, L, L};
    int parts = 1;
    if (c != 0.0) {
        const double ti = -e.k0 / c;
        if (ti > 0.0 && ti < L) {
            cuts[1] = ti;
            parts = 2;
        }
    }
    for (int j = 0; j < parts; ++j) {
        const double u0 = cuts[j], u1 = cuts[j + 1];
        const double p = std::fabs(d.curvature_at(k, u0)), q = std::fabs(d.curvature_at(k, u1));
        const double H = u1 - u0;
        const double T = 0.5 * (p + q) * H;
        const double m = search_piece_count(H, T);
        const std::size_t count = static_cast<std::size_t>(m);
        const double s = (q - p) / H;
        double prev = u0;
        for (std::size_t i = 1; i <= count; ++i) {
            double tb = u1;
            if (i < count) {
                // |kappa| grows linearly: the turn from u0 is p u + s u^2 / 2.
                const double theta = T * static_cast<double>(i) / m;
                const double root = std::sqrt(std::max(0.0, p * p + 2.0 * s * theta));
                double tau = 2.0 * theta / (p + root);
                if (!std::isfinite(tau)) tau = H * static_cast<double>(i) / m;
                tb = std::min(u1, std::max(prev, u0 + tau));
            }
            add_search_piece(d, extra, k, prev, tb);
            prev = tb;
        }
    }
}

// The capsule node over the stretches [first[c], first[c + 1]) of pieces
// (c < count <= 4).
void fill_capsule(const SearchTree& t, const std::vector<PieceExtra>& extra, const std::size_t* first,
                  std::size_t count, CapsuleNode& out) {
    const auto& pieces = t.pieces;
    Point p[kFanout + 1];
    p[0] = extra[first[0]].a;
    for (std::size_t c = 0; c < count; ++c) p[c + 1] = {pieces[first[c + 1] - 1].bx, pieces[first[c + 1] - 1].by};
    for (std::size_t c = 0; c <= kFanout; ++c) {
        const Point& q = p[std::min(c, count)];
        out.x[c] = static_cast<float>(q.x - t.ox);
        out.y[c] = static_cast<float>(q.y - t.oy);
    }
    // The stored points, as the queries read them, read back through
    // volatile: GCC 12 at -O2 and -O3 otherwise used the unrounded
    // differences, so that the radii below missed the floats' rounding (up
    // to 1e-5 a few hundred metres from the origin) and a capsule's bound
    // could pass over the nearest point.
    const volatile float* vx = out.x;
    const volatile float* vy = out.y;
    Point f[kFanout + 1];
    for (std::size_t c = 0; c <= kFanout; ++c)
        f[c] = {t.ox + static_cast<double>(vx[c]), t.oy + static_cast<double>(vy[c])};
    for (std::size_t c = 0; c < kFanout; ++c) {
        if (c >= count) {
            out.r[c] = -1.0f;
            continue;
        }
        double r = 0.0;
        for (std::size_t i = first[c]; i < first[c + 1]; ++i) {
            const PieceExtra& x = extra[i];
            for (const Point& q : {x.a, x.gap, Point{pieces[i].bx, pieces[i].by}}) {
                r = std::max(r, segment_distance(f[c].x, f[c].y, f[c + 1].x, f[c + 1].y, q.x, q.y) +
                                    static_cast<double>(pieces[i].stray));
            }
        }
        // The queries' rounding of the distance to the chord.
        r += 1e-15 * (std::fabs(f[c].x - t.ox) + std::fabs(f[c].y - t.oy) + std::fabs(f[c + 1].x - t.ox) +
                      std::fabs(f[c + 1].y - t.oy) + std::fabs(t.ox) + std::fabs(t.oy) + r);
        out.r[c] = float_up(r);
    }
}

// An order of the chunks in which every aligned run of 2^k is a cell of a
// k-d tree of their centres (split at the median of the wider extent).
void kd_order(ChunkBox* a, std::size_t n, std::size_t cap) {
    const auto centre = [](const ChunkBox& c, bool along_x) {
        return along_x ? 0.5 * c.box.xmin + 0.5 * c.box.xmax : 0.5 * c.box.ymin + 0.5 * c.box.ymax;
    };
    while (n > 1) {
        const std::size_t half = cap / 2;
        cap = half;
        if (n <= half) continue;
        double x0 = kInf, x1 = -kInf, y0 = kInf, y1 = -kInf;
        for (std::size_t i = 0; i < n; ++i) {
            grow(x0, x1, centre(a[i], true));
            grow(y0, y1, centre(a[i], false));
        }
        const bool along_x = x1 - x0 >= y1 - y0;
        std::nth_element(a, a + half, a + n, [&](const ChunkBox& u, const ChunkBox& v) {
            return centre(u, along_x) < centre(v, along_x) ||
                   (centre(u, along_x) == centre(v, along_x) && u.chunk < v.chunk);
        });
        kd_order(a, half, half);
        a += half;
        n -= half;
    }
}

}  // namespace

void build_box_tree(BoxTree& t, std::vector<ChunkBox> chunks) {
    const std::size_t S = chunks.size();
    std::size_t cap = 1;
    while (cap < S) cap *= 2;
    kd_order(chunks.data(), S, cap);
    Box all{kInf, kInf, -kInf, -kInf};
    for (const ChunkBox& c : chunks) grow(all, c.box);
    t.ox = 0.5 * all.xmin + 0.5 * all.xmax;
    t.oy = 0.5 * all.ymin + 0.5 * all.ymax;
    t.chunk.resize(S);
    for (std::size_t s = 0; s < S; ++s) t.chunk[s] = chunks[s].chunk;

    // Entry counts from the slots up to one root node.
    std::vector<std::size_t> count{S};
    while (count.size() == 1 || count.back() > 1) count.push_back((count.back() + kBoxFanout - 1) / kBoxFanout);
    std::reverse(count.begin(), count.end());
    const std::size_t depth = count.size() - 1;
    t.level_count = count;
    t.level_first.assign(depth + 1, 0);
    for (std::size_t l = 0; l < depth; ++l) t.level_first[l + 1] = t.level_first[l] + count[l];
    t.nodes.assign(t.level_first[depth], BoxNode{});

    // Bottom up: each node holds its children's boxes and passes their union on.
    std::vector<Box> boxes(S), parents;
    for (std::size_t s = 0; s < S; ++s) boxes[s] = chunks[s].box;
    for (std::size_t l = depth; l-- > 0;) {
        parents.assign(count[l], Box{kInf, kInf, -kInf, -kInf});
        for (std::size_t j = 0; j < count[l]; ++j) {
            BoxNode& nd = t.nodes[t.level_first[l] + j];
            for (std::size_t c = 0; c < static_cast<std::size_t>(kBoxFanout); ++c) {
                const std::size_t i = kBoxFanout * j + c;
                if (i >= count[l + 1]) {
                    nd.xmin[c] = nd.ymin[c] = kInfF;
                    nd.xmax[c] = nd.ymax[c] = -kInfF;
                    continue;
                }
                const Box& b = boxes[i];
                nd.xmin[c] = float_down(b.xmin - t.ox);
                nd.ymin[c] = float_down(b.ymin - t.oy);
                nd.xmax[c] = float_up(b.xmax - t.ox);
                nd.ymax[c] = float_up(b.ymax - t.oy);
                grow(parents[j], b);
            }
        }
        boxes.swap(parents);
    }
}

void build_search_tree(Data& d) {
    SearchTree& t = d.tree;
    std::vector<PieceExtra> extra;
    for (std::size_t k = 0; k < d.size(); ++k) add_search_pieces(d, extra, k);
    t.pieces.shrink_to_fit();
    const std::size_t P = t.pieces.size();
    Box all{kInf, kInf, -kInf, -kInf};
    for (const PieceExtra& x : extra) grow(all, x.box);
    t.ox = 0.5 * all.xmin + 0.5 * all.xmax;
    t.oy = 0.5 * all.ymin + 0.5 * all.ymax;

    const std::size_t chunks = t.chunks();
    t.capsules.assign(chunks * kChunkNodes, CapsuleNode{});
    t.chunk_boxes.assign(chunks, Box{kInf, kInf, -kInf, -kInf});
    std::vector<ChunkBox> refs(chunks);
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t lo = kChunk * k, hi = std::min(P, lo + kChunk);
        std::size_t groups[kFanout + 1];
        std::size_t ng = 0;
        for (std::size_t g = 0; g < static_cast<std::size_t>(kFanout) && lo + kFanout * g < hi; ++g) {
            const std::size_t glo = lo + kFanout * g, ghi = std::min(hi, glo + kFanout);
            std::size_t each[kFanout + 1];
            for (std::size_t i = glo; i <= ghi; ++i) each[i - glo] = i;
            fill_capsule(t, extra, each, ghi - glo, t.capsules[kChunkNodes * k + 1 + g]);
            groups[ng++] = glo;
        }
        groups[ng] = hi;
        fill_capsule(t, extra, groups, ng, t.capsules[kChunkNodes * k]);
        for (std::size_t i = lo; i < hi; ++i) grow(t.chunk_boxes[k], extra[i].box);
        refs[k] = {t.chunk_boxes[k], static_cast<std::uint32_t>(k)};
    }
    build_box_tree(t.boxes, std::move(refs));
}

}  // namespace curvix::engine::detail
