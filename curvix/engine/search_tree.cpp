// The search pieces and their bounding-volume tree (see search_tree.hpp).

#include "curvix/engine/search_tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "curvix/engine/engine_data.hpp"

namespace curvix::engine::detail {

namespace {

constexpr double kHalfPi = 1.5707963267948966;

void grow(double& lo, double& hi, double v) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
}

void add_search_piece(Data& d, std::size_t k, double ta, double tb) {
    const ElementInfo& e = d.info[k];
    double ax, ay, bx, by, tx, ty;
    d.local(k, ta, ax, ay, tx, ty);
    d.local(k, tb, bx, by, tx, ty);
    SearchPiece s;
    s.element = k;
    s.ta = ta;
    s.tb = tb;
    const double ka = std::fabs(d.curvature_at(k, ta)), kb = std::fabs(d.curvature_at(k, tb));
    s.kmax = std::max(ka, kb);
    const double h = tb - ta;
    const double turn = 0.5 * (ka + kb) * h;
    const double local_scale = std::max({std::fabs(ax), std::fabs(ay), std::fabs(bx), std::fabs(by)});
    const double margin = 1e-12 * (h + local_scale) +
                          1e-15 * (std::fabs(e.x0) + std::fabs(e.y0)) + 1e-300;
    const double g = 0.5 * h * std::sin(std::min(turn, kHalfPi)) + margin;
    s.ax = e.x0 + ax;
    s.ay = e.y0 + ay;
    s.bx = e.x0 + bx;
    s.by = e.y0 + by;
    s.stray = g;
    s.xmin = s.xmax = e.x0 + ax;
    s.ymin = s.ymax = e.y0 + ay;
    grow(s.xmin, s.xmax, e.x0 + bx);
    grow(s.ymin, s.ymax, e.y0 + by);
    s.xmin -= g;
    s.ymin -= g;
    s.xmax += g;
    s.ymax += g;
    // After a gap that crossings bridge, the box holds the gap's chord too,
    // so that a line through the gap alone still meets a piece.
    if (ta == 0.0 && !d.search.empty() && d.search.back().element != k) {
        const ElementInfo& p = d.info[d.search.back().element];
        if ((p.x1 != e.x0 || p.y1 != e.y0) && std::hypot(p.x1 - e.x0, p.y1 - e.y0) <= kJointGap) {
            grow(s.xmin, s.xmax, p.x1);
            grow(s.ymin, s.ymax, p.y1);
        }
    }
    d.search.push_back(s);
}

// Search pieces of element k: cut where the curvature changes sign, then
// into equal turns of at most kSearchTurn.
void add_search_pieces(Data& d, std::size_t k) {
    const ElementInfo& e = d.info[k];
    const double L = e.length;
    if (L == 0.0 || L < kTinyLength) {
        if (k + 1 == d.size() || L > 0.0) add_search_piece(d, k, 0.0, L);
        return;
    }
    const double c = d.slope[k];
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
        const double m = T > detail::kSearchTurn ? std::ceil(T / detail::kSearchTurn) : 1.0;
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
            add_search_piece(d, k, prev, tb);
            prev = tb;
        }
    }
}

std::size_t build_tree(Data& d, std::size_t lo, std::size_t hi) {
    const std::size_t index = d.nodes.size();
    d.nodes.emplace_back();
    Node nd;
    nd.lo = lo;
    nd.hi = hi;
    if (hi - lo <= detail::kLeafPieces) {
        nd.xmin = nd.ymin = std::numeric_limits<double>::infinity();
        nd.xmax = nd.ymax = -std::numeric_limits<double>::infinity();
        for (std::size_t i = lo; i < hi; ++i) {
            const SearchPiece& s = d.search[i];
            nd.xmin = std::min(nd.xmin, s.xmin);
            nd.ymin = std::min(nd.ymin, s.ymin);
            nd.xmax = std::max(nd.xmax, s.xmax);
            nd.ymax = std::max(nd.ymax, s.ymax);
        }
    } else {
        const std::size_t mid = lo + (hi - lo) / 2;
        nd.left = build_tree(d, lo, mid);
        nd.right = build_tree(d, mid, hi);
        const Node& a = d.nodes[nd.left];
        const Node& b = d.nodes[nd.right];
        nd.xmin = std::min(a.xmin, b.xmin);
        nd.ymin = std::min(a.ymin, b.ymin);
        nd.xmax = std::max(a.xmax, b.xmax);
        nd.ymax = std::max(a.ymax, b.ymax);
    }
    d.nodes[index] = nd;
    return index;
}

}  // namespace

void build_search_tree(Data& d) {
    for (std::size_t k = 0; k < d.size(); ++k) add_search_pieces(d, k);
    if (!d.search.empty()) {
        d.nodes.reserve(2 * d.search.size());
        build_tree(d, 0, d.search.size());
    }
}

}  // namespace curvix::engine::detail
