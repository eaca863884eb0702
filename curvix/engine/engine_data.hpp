#pragma once
// Private to the engine: the tables an Alignment holds once built, and the
// exact evaluation of one element by series pieces.
//
// The plane is taken as complex numbers z = Y + iX, so a unit step along
// azimuth a is e^{ia} and a right turn (positive curvature) makes the angle
// grow. On an element starting at azimuth a0 with curvature k0 + c t the
// displacement from its start is
//     Z(t) = e^{i a0} * integral_0^t exp(i (k0 u + c u^2 / 2)) du.
// The element is cut into pieces; a piece of half length r around its middle
// m has, with kappa_m = k0 + c m, theta_m = k0 m + c m^2 / 2, s = t - m and
// sigma = s / r,
//     Z(t) = Z(m) + e^{i (a0 + theta_m)} * s * sum_n beta_n sigma^n,
// alpha_0 = 1, alpha_1 = i kappa_m r,
// alpha_{n+1} = i (kappa_m r alpha_n + c r^2 alpha_{n-1}) / (n + 1),
// beta_n = alpha_n / (n + 1); the unit tangent is e^{i (a0 + theta_m)} *
// sum_n alpha_n sigma^n. Pieces are cut so that |kappa at the piece's first
// end| * r <= 0.48 and |c| r^2 <= 0.02; the worst remainder of 16 terms is
// then below 1e-17 of the piece length (bounded from the recurrence with
// absolute values). The displacements Z(m) are summed from the element
// start in double-double, so only the final addition to the element's start
// coordinates rounds at the scale of those coordinates.

#include <cstddef>
#include <vector>

#include "curvix/engine/alignment.hpp"

namespace curvix::engine::detail {

inline constexpr int kTerms = 16;  // even
static_assert(kTerms % 2 == 0 && kTerms >= 4, "even and odd halves of equal length");
inline constexpr double kPieceKappa = 0.48;  // |kappa at the first end| * r
inline constexpr double kPieceSlope = 0.02;  // |c| * r^2
// A clothoid continues over this many pieces beyond either end of the
// alignment (extend); further out its points are NaN.
inline constexpr int kExtendPieces = 64;
// Turn of a search piece (nearest, local minima, crossings).
inline constexpr double kSearchTurn = 0.7853981633974483;  // pi / 4
// Joints whose ends lie closer than this (in the alignment's unit: a
// millimetre in metres) are continuous for crossings, as placed elements of
// real files meet to a fraction of it.
inline constexpr double kJointGap = 1e-3;

struct SeriesPiece {
    std::size_t element = 0;
    double lo = 0.0;     // distance from the element start where the piece starts
    double mid = 0.0;    // distance of the expansion point
    double inv_r = 1.0;  // 1 / half length
    double wx = 0.0, wy = 0.0;  // element start to the expansion point
    // Displacement s * sum p_n sigma^n; its derivative, the unit tangent, is
    // sum (n + 1) p_n sigma^n.
    double px[kTerms] = {}, py[kTerms] = {};
};

// sum c_n sigma^n over the kTerms coefficients, as its even and odd halves
// in sigma^2 (two short independent chains instead of one long one).
inline double series_sum(const double* c, double sg, double s2) noexcept {
    double e = c[kTerms - 2], o = c[kTerms - 1];
    for (int j = kTerms / 2 - 2; j >= 0; --j) {
        e = e * s2 + c[2 * j];
        o = o * s2 + c[2 * j + 1];
    }
    return e + sg * o;
}

// sum (n + 1) c_n sigma^n, the same way.
inline double series_slope(const double* c, double sg, double s2) noexcept {
    double e = (kTerms - 1) * c[kTerms - 2], o = kTerms * c[kTerms - 1];
    for (int j = kTerms / 2 - 2; j >= 0; --j) {
        e = e * s2 + (2 * j + 1) * c[2 * j];
        o = o * s2 + (2 * j + 2) * c[2 * j + 1];
    }
    return e + sg * o;
}

// Displacement from the element start at element distance t.
inline void series_point(const SeriesPiece& p, double t, double& lx, double& ly) noexcept {
    const double s = t - p.mid;
    const double sg = s * p.inv_r;
    const double s2 = sg * sg;
    lx = p.wx + s * series_sum(p.px, sg, s2);
    ly = p.wy + s * series_sum(p.py, sg, s2);
}

inline void series_tangent(const SeriesPiece& p, double t, double& tx, double& ty) noexcept {
    const double sg = (t - p.mid) * p.inv_r;
    const double s2 = sg * sg;
    tx = series_slope(p.px, sg, s2);
    ty = series_slope(p.py, sg, s2);
}

// Number of entries of the sorted a[0..n) that are <= v (NaN v: a count
// that is of no use; callers exclude NaN first).
inline std::size_t count_not_above(const double* a, std::size_t n, double v) noexcept {
    if (n == 0) return 0;
    const double* base = a;
    std::size_t len = n;
    while (len > 1) {
        const std::size_t half = len / 2;
        base = (base[half] <= v) ? base + half : base;
        len -= half;
    }
    return static_cast<std::size_t>(base - a) + (*base <= v ? 1u : 0u);
}

// A piece of an element for the point searches: the curvature keeps its
// sign on it and it turns by at most kSearchTurn; its box holds every point
// of it (chord box grown by (h/2) sin(turn) and a rounding margin).
struct SearchPiece {
    std::size_t element = 0;
    double ta = 0.0, tb = 0.0;
    double kmax = 0.0;  // largest |curvature| on the piece
    double xmin = 0.0, ymin = 0.0, xmax = 0.0, ymax = 0.0;
    // The chord and how far the piece strays from it, for a lower bound of
    // the distance tighter than the box.
    double ax = 0.0, ay = 0.0, bx = 0.0, by = 0.0, stray = 0.0;
};

// Bounding-volume tree over contiguous ranges of search pieces.
struct Node {
    double xmin = 0.0, ymin = 0.0, xmax = 0.0, ymax = 0.0;
    std::size_t lo = 0, hi = 0;          // search pieces [lo, hi)
    std::size_t left = 0, right = 0;     // children; a leaf has left == 0
};
inline constexpr std::size_t kLeafPieces = 2;
inline constexpr int kMaxDepth = 128;  // traversal stack; the tree is balanced

struct Data {
    double start_station = 0.0, x = 0.0, y = 0.0, azimuth = 0.0;
    std::vector<ElementInput> inputs;
    std::vector<ElementInfo> info;
    std::vector<double> stations;       // size() + 1 element boundaries
    std::vector<double> slope;          // c = (k1 - k0) / L (0 when L == 0)
    std::vector<std::size_t> first;     // size() + 1: element k has pieces [first[k], first[k+1])
    std::vector<double> piece_station;  // station where each piece starts
    std::vector<double> piece_lo;       // the same as distance along its element
    std::vector<SeriesPiece> pieces;
    std::vector<SeriesPiece> before;  // continuation of a clothoid below the start, ascending
    std::vector<SeriesPiece> after;   // and above the end
    double before_limit = 0.0;        // element distance (<= 0) where `before` ends
    double after_limit = 0.0;         // element distance (>= L) where `after` ends
    std::vector<SearchPiece> search;
    std::vector<Node> nodes;

    std::size_t size() const noexcept { return info.size(); }

    // The piece of element k holding t (t within [0, L], or just outside).
    const SeriesPiece& piece_at(std::size_t k, double t) const noexcept {
        const std::size_t b = first[k];
        const std::size_t n = count_not_above(&piece_lo[b], first[k + 1] - b, t);
        return pieces[b + (n == 0 ? 0 : n - 1)];
    }
    // Exact displacement from the start of element k and unit tangent.
    void local(std::size_t k, double t, double& lx, double& ly, double& tx, double& ty) const noexcept {
        const SeriesPiece& p = piece_at(k, t);
        series_point(p, t, lx, ly);
        series_tangent(p, t, tx, ty);
    }
    double azimuth_at(std::size_t k, double t) const noexcept {
        const ElementInfo& e = info[k];
        return e.azimuth0 + t * (e.k0 + slope[k] * t * 0.5);
    }
    double curvature_at(std::size_t k, double t) const noexcept {
        const ElementInfo& e = info[k];
        return e.length > 0.0 ? e.k0 + (e.k1 - e.k0) * t / e.length : e.k0;
    }
};

}  // namespace curvix::engine::detail

namespace curvix::engine {
struct Alignment::Impl : detail::Data {};
}  // namespace curvix::engine
