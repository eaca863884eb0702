#pragma once
// Private to the engine: the exact evaluation of clothoids by series pieces,
// and the building of those pieces. Lines and arcs have closed forms
// (engine_data.hpp) and no pieces.
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
//
// Storage: a piece keeps its header (SeriesPiece, 72 bytes): where it
// starts, its middle and scale, the displacement to its middle, the turn
// e^{i (a0 + theta_m)} and kappa_m r and c r^2. Its 32 coefficients (the
// rotated beta_n, 256 bytes) follow from the header alone
// (series_coefficients): an alignment of few pieces keeps them in a table,
// a large one computes them where a query reaches the piece, which costs
// about what fetching them from main memory would. The answers are the same
// bits either way.

#include <cstddef>
#include <vector>

#include "curvix/engine/curvature_law.hpp"
#include "curvix/engine/table.hpp"

namespace curvix::engine::detail {

inline constexpr int kTerms = 16;  // even
static_assert(kTerms % 2 == 0 && kTerms >= 4, "even and odd halves of equal length");
inline constexpr double kPieceKappa = 0.48;  // |kappa at the first end| * r
inline constexpr double kPieceSlope = 0.02;  // |c| * r^2
// A clothoid continues over this many pieces beyond either end of the
// alignment (extend); further out its points are NaN.
inline constexpr int kExtendPieces = 64;
// Elements shorter than this are evaluated as straights (every point of
// them lies within this distance of the start anyway).
inline constexpr double kTinyLength = 1e-250;
// Alignments with at most this many pieces keep their coefficients in a
// table (4 MiB, within a core's cache here); beyond, recomputing them is as
// fast as fetching them.
inline constexpr std::size_t kTablePieces = 16384;

struct SeriesPiece {
    double lo = 0.0;     // distance from the element start where the piece starts
    double mid = 0.0;    // distance of the expansion point
    double inv_r = 1.0;  // 1 / half length
    double wx = 0.0, wy = 0.0;  // element start to the expansion point
    double rc = 1.0, rs = 0.0;  // e^{i (a0 + theta_m)}
    double kr = 0.0, cr2 = 0.0;  // kappa_m r, c r^2
};

// Displacement s * sum p_n sigma^n; its derivative, the unit tangent, is
// sum (n + 1) p_n sigma^n.
struct Coefficients {
    double px[kTerms], py[kTerms];
};

// The coefficients of a piece (one definition, out of line, for the tables
// and for the queries alike).
void series_coefficients(const SeriesPiece& p, Coefficients& out) noexcept;
// Those of two pieces at once (the same bits as one by one, in about the
// time of one).
void series_coefficients(const SeriesPiece& p, const SeriesPiece& q, Coefficients& a,
                         Coefficients& b) noexcept;

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
inline void series_point(const SeriesPiece& p, const Coefficients& c, double t, double& lx,
                         double& ly) noexcept {
    const double s = t - p.mid;
    const double sg = s * p.inv_r;
    const double s2 = sg * sg;
    lx = p.wx + s * series_sum(c.px, sg, s2);
    ly = p.wy + s * series_sum(c.py, sg, s2);
}

inline void series_tangent(const SeriesPiece& p, const Coefficients& c, double t, double& tx,
                           double& ty) noexcept {
    const double sg = (t - p.mid) * p.inv_r;
    const double s2 = sg * sg;
    tx = series_slope(c.px, sg, s2);
    ty = series_slope(c.py, sg, s2);
}

// Index of the piece of pieces[0..n) holding element distance t: the last
// that starts at or before it (the first for t before them all).
inline std::size_t piece_holding(const SeriesPiece* pieces, std::size_t n, double t) noexcept {
    std::size_t base = 0, len = n;
    while (len > 1) {
        const std::size_t half = len / 2;
        base = (pieces[base + half].lo <= t) ? base + half : base;
        len -= half;
    }
    return base;
}

// ---- building the pieces

struct Cx {
    double re, im;
};
inline Cx mul(Cx a, Cx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

// A sum kept as an unevaluated pair (hi + lo), each addition exact.
struct Sum2 {
    double hi = 0.0, lo = 0.0;
    void add(double v) {
        const double s = hi + v;
        const double bp = s - hi;
        lo += (hi - (s - bp)) + (v - bp);
        hi = s;
    }
    double value() const { return hi + lo; }
};
struct CxSum {
    Sum2 re, im;
    void add(Cx v) {
        re.add(v.re);
        im.add(v.im);
    }
    Cx value() const { return {re.value(), im.value()}; }
};

// The element's geometry in its start frame, for building pieces.
struct Curve {
    Cx e0;      // e^{i a0}
    double k0;  // curvature at t = 0
    double c;   // its change per unit length
};

// Pieces from b forwards, starting at displacement e; up to `limit` (the
// last piece ends there exactly) or `count` pieces. Returns where it ended.
double pieces_forward(const Curve& cv, double b, double limit, std::size_t count, CxSum& e,
                      Table<SeriesPiece>& out);
// Pieces from 0 backwards (ascending order in out), count of them.
double pieces_backward(const Curve& cv, std::size_t count, Table<SeriesPiece>& out);

// The other transitions (curvature_law.hpp): their element is cut into
// equal pieces, at least 8 (an even number: Helmert's halves meet at a cut),
// each within the bounds above at its worst point and at most L / 16 long,
// so that the Taylor terms of the curvature's shape fall off at least as
// fast as (pi / 8)^j / j!. The recurrence of the coefficients takes every
// Taylor term of the curvature: with p_j = r kappa^(j)(m) r^j / j!,
//     alpha_{n+1} = i / (n + 1) * sum_{j <= n} p_j alpha_{n-j}.
// Their coefficients do not follow from the header, so they are kept
// (coefs, one per piece, in order).
std::size_t shaped_piece_count(const CurvatureLaw& law);
void shaped_pieces(const CurvatureLaw& law, Cx e0, std::size_t count, CxSum& e, Table<SeriesPiece>& out,
                   std::vector<Coefficients>& coefs);

}  // namespace curvix::engine::detail
