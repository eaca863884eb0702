// Building the series pieces of a clothoid and their coefficients (see
// series_pieces.hpp).

#include "curvix/engine/series_pieces.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace curvix::engine::detail {

namespace {

// 1 / (n + 1), so that the recurrence multiplies instead of dividing.
struct Reciprocals {
    double v[kTerms];
    constexpr Reciprocals() : v() {
        for (int n = 0; n < kTerms; ++n) v[n] = 1.0 / static_cast<double>(n + 1);
    }
};
constexpr Reciprocals kRecip;

// beta_n of a piece from alpha_0 = first (1 in the piece's own frame, the
// turn e^{i (a0 + theta_m)} for the rotated coefficients).
void betas(Cx first, double kr, double cr2, Cx* beta) noexcept {
    Cx prev = first;
    Cx a{-first.im * kr, first.re * kr};  // i kr first
    beta[0] = first;
    for (int n = 1; n < kTerms; ++n) {
        beta[n] = {a.re * kRecip.v[n], a.im * kRecip.v[n]};
        const double kn = kr * kRecip.v[n], cn = cr2 * kRecip.v[n];
        const Cx w{kn * a.re + cn * prev.re, kn * a.im + cn * prev.im};
        prev = a;
        a = {-w.im, w.re};
    }
}

// Fills p as the piece of half length r around mid; returns the
// displacements from the middle to both ends in the element's start frame.
void fill_piece(const Curve& cv, double mid, double r, SeriesPiece& p, Cx& to_lo, Cx& to_hi) {
    const double km = cv.k0 + cv.c * mid;
    const double th = mid * (cv.k0 + cv.c * mid * 0.5);
    const Cx em{std::cos(th), std::sin(th)};
    const Cx rot = mul(cv.e0, em);
    p.mid = mid;
    p.inv_r = 1.0 / r;
    p.rc = rot.re;
    p.rs = rot.im;
    p.kr = km * r;
    p.cr2 = cv.c * r * r;
    Cx beta[kTerms];
    betas({1.0, 0.0}, p.kr, p.cr2, beta);
    Cx plus{0.0, 0.0}, minus{0.0, 0.0};
    for (int n = kTerms - 1; n >= 0; --n) {
        plus = {plus.re + beta[n].re, plus.im + beta[n].im};
        const double sg = (n % 2 == 0) ? 1.0 : -1.0;
        minus = {minus.re + sg * beta[n].re, minus.im + sg * beta[n].im};
    }
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

// beta_n of a piece whose curvature has the Taylor terms p[0 .. kTerms).
void shaped_betas(Cx first, const double* p, Cx* beta) noexcept {
    Cx alpha[kTerms];
    alpha[0] = first;
    beta[0] = first;
    for (int n = 0; n + 1 < kTerms; ++n) {
        Cx w{0.0, 0.0};
        for (int j = 0; j <= n; ++j) {
            w.re += p[j] * alpha[n - j].re;
            w.im += p[j] * alpha[n - j].im;
        }
        const double f = kRecip.v[n];  // 1 / (n + 1)
        alpha[n + 1] = {-w.im * f, w.re * f};  // i w / (n + 1)
        beta[n + 1] = {alpha[n + 1].re * kRecip.v[n + 1], alpha[n + 1].im * kRecip.v[n + 1]};
    }
}

}  // namespace

std::size_t shaped_piece_count(const CurvatureLaw& law) {
    const double L = law.length();
    // The worst curvature and rate of change, from samples (the laws are
    // smooth polynomials and waves of at most a few extrema) with a margin.
    constexpr int kSamples = 512;
    double kmax = 0.0, cmax = 0.0;
    for (int i = 0; i <= kSamples; ++i) {
        const double t = L * static_cast<double>(i) / kSamples;
        kmax = std::max(kmax, std::fabs(law.kappa(t)));
        cmax = std::max(cmax, std::fabs(law.kappa_slope(i == kSamples ? std::nextafter(L, 0.0) : t)));
    }
    kmax *= 1.05;
    cmax *= 1.05;
    double r = L / 16.0;
    if (kmax > 0.0) r = std::min(r, kPieceKappa / kmax);
    if (cmax > 0.0) r = std::min(r, std::sqrt(kPieceSlope / cmax));
    double n = std::ceil(L / (2.0 * r));
    if (!(n >= 8.0)) n = 8.0;
    if (n > 1e9) n = 1e9;  // the caller refuses so many
    std::size_t count = static_cast<std::size_t>(n);
    return count + (count % 2);
}

void shaped_pieces(const CurvatureLaw& law, Cx e0, std::size_t count, CxSum& e, Table<SeriesPiece>& out,
                   std::vector<Coefficients>& coefs) {
    const double L = law.length();
    const double r = 0.5 * L / static_cast<double>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double lo = L * static_cast<double>(i) / static_cast<double>(count);
        const double mid = L * (static_cast<double>(2 * i + 1) / static_cast<double>(2 * count));
        double p[kTerms];
        law.taylor(mid, r, kTerms, p);
        for (double& v : p) v *= r;
        const double th = law.theta(mid);
        const Cx em{std::cos(th), std::sin(th)};
        const Cx rot = mul(e0, em);
        SeriesPiece sp;
        sp.lo = lo;
        sp.mid = mid;
        sp.inv_r = 1.0 / r;
        sp.rc = rot.re;
        sp.rs = rot.im;
        sp.kr = p[0];
        sp.cr2 = p[1];
        Cx beta[kTerms];
        shaped_betas({1.0, 0.0}, p, beta);
        Cx plus{0.0, 0.0}, minus{0.0, 0.0};
        for (int n = kTerms - 1; n >= 0; --n) {
            plus = {plus.re + beta[n].re, plus.im + beta[n].im};
            const double sg = (n % 2 == 0) ? 1.0 : -1.0;
            minus = {minus.re + sg * beta[n].re, minus.im + sg * beta[n].im};
        }
        const Cx to_hi = mul(em, {r * plus.re, r * plus.im});
        const Cx to_lo = mul(em, {-r * minus.re, -r * minus.im});
        e.add({-to_lo.re, -to_lo.im});
        const Cx zm = e.value();
        const Cx w = mul(e0, zm);
        sp.wx = w.im;
        sp.wy = w.re;
        e = CxSum();
        e.add(zm);
        e.add(to_hi);
        out.push_back(sp);
        Coefficients c;
        shaped_betas(rot, p, beta);
        for (int n = 0; n < kTerms; ++n) {
            c.px[n] = beta[n].im;
            c.py[n] = beta[n].re;
        }
        coefs.push_back(c);
    }
}

namespace {

// The rotated beta_n of L pieces side by side, each lane the same
// operations in the same order as betas() with alpha_0 = the piece's turn:
// a lane's bits do not depend on its neighbours, and the neighbours' chains
// of dependent multiplications overlap.
template <int L>
void rotated_betas(const SeriesPiece* const* p, Coefficients* const* out) noexcept {
    double pr[L], pi[L], ar[L], ai[L], kr[L], cr2[L];
    for (int l = 0; l < L; ++l) {
        pr[l] = p[l]->rc;
        pi[l] = p[l]->rs;
        kr[l] = p[l]->kr;
        cr2[l] = p[l]->cr2;
        ar[l] = -pi[l] * kr[l];
        ai[l] = pr[l] * kr[l];
        out[l]->py[0] = pr[l];
        out[l]->px[0] = pi[l];
    }
    for (int n = 1; n < kTerms; ++n) {
        const double f = kRecip.v[n];
        for (int l = 0; l < L; ++l) {
            out[l]->py[n] = ar[l] * f;
            out[l]->px[n] = ai[l] * f;
            const double kn = kr[l] * f, cn = cr2[l] * f;
            const double wr = kn * ar[l] + cn * pr[l], wi = kn * ai[l] + cn * pi[l];
            pr[l] = ar[l];
            pi[l] = ai[l];
            ar[l] = -wi;
            ai[l] = wr;
        }
    }
}

}  // namespace

void series_coefficients(const SeriesPiece& p, Coefficients& out) noexcept {
    const SeriesPiece* in[1] = {&p};
    Coefficients* to[1] = {&out};
    rotated_betas<1>(in, to);
}

void series_coefficients(const SeriesPiece& p, const SeriesPiece& q, Coefficients& a,
                         Coefficients& b) noexcept {
    const SeriesPiece* in[2] = {&p, &q};
    Coefficients* to[2] = {&a, &b};
    rotated_betas<2>(in, to);
}

double pieces_forward(const Curve& cv, double b, double limit, std::size_t count, CxSum& e,
                      Table<SeriesPiece>& out) {
    for (std::size_t i = 0; i < count && b < limit; ++i) {
        double r = half_length(cv, b);
        const bool last = !(2.0 * r < limit - b);
        if (last) r = 0.5 * (limit - b);
        SeriesPiece p;
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

double pieces_backward(const Curve& cv, std::size_t count, Table<SeriesPiece>& out) {
    CxSum e;
    double b = 0.0;
    const std::size_t first = out.size();
    for (std::size_t i = 0; i < count; ++i) {
        const double r = half_length(cv, b);
        SeriesPiece p;
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
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    return b;
}

}  // namespace curvix::engine::detail
