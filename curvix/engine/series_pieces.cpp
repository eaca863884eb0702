// Building the series pieces of an element (see series_pieces.hpp).

#include "curvix/engine/series_pieces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace curvix::engine::detail {

namespace {

// Fills p as the piece of half length r around mid; returns the
// displacements from the middle to both ends in the element's start frame.
void fill_piece(const Curve& cv, double mid, double r, SeriesPiece& p, Cx& to_lo, Cx& to_hi) {
    const double km = cv.k0 + cv.c * mid;
    const double th = mid * (cv.k0 + cv.c * mid * 0.5);
    const Cx em{std::cos(th), std::sin(th)};
    const Cx rot = mul(cv.e0, em);
    const double kr = km * r;
    const double cr2 = cv.c * r * r;
    Cx a[kTerms];
    a[0] = {1.0, 0.0};
    a[1] = {0.0, kr};
    for (int n = 1; n + 1 < kTerms; ++n) {
        const Cx w{kr * a[n].re + cr2 * a[n - 1].re, kr * a[n].im + cr2 * a[n - 1].im};
        const double div = static_cast<double>(n + 1);
        a[n + 1] = {-w.im / div, w.re / div};
    }
    Cx plus{0.0, 0.0}, minus{0.0, 0.0};
    for (int n = kTerms - 1; n >= 0; --n) {
        const double div = static_cast<double>(n + 1);
        const Cx beta{a[n].re / div, a[n].im / div};
        plus = {plus.re + beta.re, plus.im + beta.im};
        const double sg = (n % 2 == 0) ? 1.0 : -1.0;
        minus = {minus.re + sg * beta.re, minus.im + sg * beta.im};
        const Cx pb = mul(rot, beta);
        p.px[n] = pb.im;
        p.py[n] = pb.re;
    }
    p.mid = mid;
    p.inv_r = 1.0 / r;
    to_hi = mul(em, {r * plus.re, r * plus.im});
    to_lo = mul(em, {-r * minus.re, -r * minus.im});
}

void place_middle(const Curve& cv, Cx z, SeriesPiece& p) {
    const Cx w = mul(cv.e0, z);
    p.wx = w.im;
    p.wy = w.re;
}

// Half length of a piece that starts (or, going backwards, ends) at b.
double half_length(const Curve& cv, double b) {
    const double kb = std::fabs(cv.k0 + cv.c * b);
    const double r1 = kb > 0.0 ? detail::kPieceKappa / kb : std::numeric_limits<double>::infinity();
    const double ac = std::fabs(cv.c);
    const double r2 = ac > 0.0 ? std::sqrt(detail::kPieceSlope / ac)
                               : std::numeric_limits<double>::infinity();
    return std::min(r1, r2);
}

}  // namespace

double pieces_forward(const Curve& cv, double b, double limit, std::size_t count, CxSum& e,
                      std::vector<SeriesPiece>& out) {
    for (std::size_t i = 0; i < count && b < limit; ++i) {
        double r = half_length(cv, b);
        const bool last = !(2.0 * r < limit - b);
        if (last) r = 0.5 * (limit - b);
        SeriesPiece p;
        p.element = cv.element;
        p.lo = b;
        Cx to_lo, to_hi;
        fill_piece(cv, b + r, r, p, to_lo, to_hi);
        e.add({-to_lo.re, -to_lo.im});
        const Cx zm = e.value();
        place_middle(cv, zm, p);
        e = CxSum();
        e.add(zm);
        e.add(to_hi);
        out.push_back(p);
        b = last ? limit : b + 2.0 * r;
    }
    return b;
}

double pieces_backward(const Curve& cv, std::size_t count, std::vector<SeriesPiece>& out) {
    CxSum e;
    double b = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double r = half_length(cv, b);
        SeriesPiece p;
        p.element = cv.element;
        p.lo = b - 2.0 * r;
        Cx to_lo, to_hi;
        fill_piece(cv, b - r, r, p, to_lo, to_hi);
        e.add({-to_hi.re, -to_hi.im});
        const Cx zm = e.value();
        place_middle(cv, zm, p);
        e = CxSum();
        e.add(zm);
        e.add(to_lo);
        out.push_back(p);
        b = p.lo;
    }
    std::reverse(out.begin(), out.end());
    return b;
}

SeriesPiece straight_piece(const Curve& cv) {
    SeriesPiece p;
    p.element = cv.element;
    p.px[0] = cv.e0.im;
    p.py[0] = cv.e0.re;
    return p;
}

}  // namespace curvix::engine::detail
