// The vertical clothoid: its shape from the grades and the ratio of its end
// curvatures, and its Chebyshev tables (see profile_data.hpp).

#include <algorithm>
#include <cmath>

#include "curvix/engine/engine_data.hpp"
#include "curvix/engine/profile_data.hpp"

namespace curvix::engine::detail {

namespace {

constexpr double kPi = 3.14159265358979323846;

// 10-point Gauss-Legendre on [-1, 1]: the positive nodes and their weights.
constexpr double kNode[5] = {0.148874338981631210885, 0.433395394129247190799,
                             0.679409568299024406234, 0.865063366688984510732,
                             0.973906528517171720078};
constexpr double kWeight[5] = {0.295524224714752870174, 0.269266719309996355091,
                               0.219086362515982043996, 0.149451349150580593146,
                               0.066671344308688137594};

double theta_v(const Clothoid& c, double v) {
    return c.theta0 + c.delta * v * (2.0 * c.w + (1.0 - 2.0 * c.w) * v);
}

// integral of cos(theta) and sin(theta) over v in [va, vb] (one piece or less).
void integrate(const Clothoid& c, double va, double vb, double& ci, double& si) {
    const double m = 0.5 * (va + vb), h = 0.5 * (vb - va);
    ci = si = 0.0;
    for (int j = 0; j < 5; ++j) {
        const double a = theta_v(c, m - h * kNode[j]), b = theta_v(c, m + h * kNode[j]);
        ci += kWeight[j] * (std::cos(a) + std::cos(b));
        si += kWeight[j] * (std::sin(a) + std::sin(b));
    }
    ci *= h;
    si *= h;
}

// Roots of a v^2 + b v + c in [0, 1].
std::vector<double> unit_roots(double a, double b, double c) {
    std::vector<double> r;
    if (a == 0.0) {
        if (b != 0.0) r.push_back(-c / b);
    } else {
        const double disc = b * b - 4.0 * a * c;
        if (disc >= 0.0) {
            const double q = -0.5 * (b + std::copysign(std::sqrt(disc), b));
            if (q != 0.0) r.push_back(q / a);
            r.push_back(q != 0.0 ? c / q : 0.0);
        }
    }
    r.erase(std::remove_if(r.begin(), r.end(), [](double v) { return !(v >= 0.0 && v <= 1.0); }),
            r.end());
    std::sort(r.begin(), r.end());
    r.erase(std::unique(r.begin(), r.end()), r.end());
    return r;
}

}  // namespace

bool build_clothoid(double L, double theta0, double delta, double k0s, double k1s, Clothoid& c,
                    const char*& field, std::string& why) {
    const double sum = k0s + k1s;
    if (k0s == 0.0 && k1s == 0.0) {
        field = "start_radius";
        why = "and end_radius give no curvature (0 or infinite), so the grades cannot differ";
        return false;
    }
    if (delta == 0.0 || sum == 0.0 || (sum > 0.0) != (delta > 0.0)) {
        field = "end_radius";
        why = delta == 0.0 ? "turns the curve, but its start and end grades are equal"
                           : "with start_radius turns the curve the other way than its grades";
        return false;
    }
    c.theta0 = theta0;
    c.delta = delta;
    c.w = k0s / sum;
    // theta must stay within the steepest grade: at both ends (the
    // caller's check) and at an extreme of the parabola in v. The pieces
    // are equal in v, as many as keep the turn of each within kClothoidTurn.
    const double lin = 2.0 * c.w, quad = 1.0 - 2.0 * c.w;
    if (quad != 0.0) {
        const double vx = -c.w / quad;
        if (vx > 0.0 && vx < 1.0) {
            const double phi = vx * (lin + quad * vx);
            if (!(std::fabs(theta0 + delta * phi) <= std::atan(Profile::kMaxGrade))) {
                field = "start_radius";
                why = "with end_radius turns the curve past a grade of " + show(Profile::kMaxGrade);
                return false;
            }
        }
    }
    const double rate = std::fabs(delta) * std::max(std::fabs(lin), std::fabs(2.0 - lin));
    const std::size_t m =
        static_cast<std::size_t>(std::min(4096.0, std::max(1.0, std::ceil(rate / kClothoidTurn))));
    std::vector<double> X(m + 1, 0.0), Y(m + 1, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        double ci, si;
        integrate(c, double(k) / double(m), double(k + 1) / double(m), ci, si);
        X[k + 1] = X[k] + ci;
        Y[k + 1] = Y[k] + si;
    }
    c.lambda = L / X[m];
    c.k0 = 2.0 * delta * c.w / c.lambda;
    c.k1 = 2.0 * delta * (1.0 - c.w) / c.lambda;
    if (!(std::isfinite(c.lambda) && std::isfinite(c.k0) && std::isfinite(c.k1))) {
        field = "length";
        why = "is too short for the clothoid's turn, got " + show(L);
        return false;
    }
    const double scale = std::max(std::fabs(k0s), std::fabs(k1s));
    for (int end = 0; end < 2; ++end) {
        const double stated = end == 0 ? k0s : k1s, built = end == 0 ? c.k0 : c.k1;
        if (!(std::fabs(built - stated) <= 1e-3 * scale)) {
            field = end == 0 ? "start_radius" : "end_radius";
            why = "is " + (stated == 0.0 ? std::string("infinite") : show(1.0 / stated)) +
                  ", but the grades and the length give " +
                  (built == 0.0 ? std::string("infinite") : show(1.0 / built));
            return false;
        }
    }

    const double lam = c.lambda;
    const auto station_at = [&](std::size_t k, double v, double& zeta) {
        double ci, si;
        integrate(c, double(k) / double(m), v, ci, si);
        zeta = lam * (Y[k] + si);
        return lam * (X[k] + ci);
    };
    c.pieces.resize(m);
    c.piece_t.resize(m);
    for (std::size_t k = 0; k < m; ++k) {
        const double va = double(k) / double(m), vb = double(k + 1) / double(m);
        const double lo = lam * X[k], hi = k + 1 == m ? L : lam * X[k + 1];
        ChebPiece& p = c.pieces[k];
        p.t_lo = lo;
        p.mid = 0.5 * (lo + hi);
        const double half = 0.5 * (hi - lo);
        p.inv_half = half > 0.0 ? 1.0 / half : 0.0;
        c.piece_t[k] = lo;
        double sig[kChebTerms], zet[kChebTerms];
        for (int j = 0; j < kChebTerms; ++j) {
            const double t = p.mid + half * std::cos(kPi * (j + 0.5) / kChebTerms);
            double v = va + (vb - va) * (hi > lo ? (t - lo) / (hi - lo) : 0.0), zeta = 0.0;
            for (int it = 0; it < 40; ++it) {
                const double step = (station_at(k, v, zeta) - t) / (lam * std::cos(theta_v(c, v)));
                v -= step;
                if (!(std::fabs(step) > 1e-17)) break;
            }
            station_at(k, v, zeta);
            sig[j] = lam * v;
            zet[j] = zeta;
        }
        for (int n = 0; n < kChebTerms; ++n) {
            double a = 0.0, b = 0.0;
            for (int j = 0; j < kChebTerms; ++j) {
                const double w = std::cos(kPi * n * (j + 0.5) / kChebTerms);
                a += sig[j] * w;
                b += zet[j] * w;
            }
            const double f = (n == 0 ? 1.0 : 2.0) / kChebTerms;
            p.sigma[n] = a * f;
            p.zeta[n] = b * f;
        }
    }
    // Where the grade is 0 and the curvature is not (a crest or a sag).
    for (const double v : unit_roots(delta * quad, delta * lin, theta0)) {
        if (c.w + quad * v == 0.0) continue;
        const std::size_t k = std::min(m - 1, static_cast<std::size_t>(v * double(m)));
        double zeta;
        c.zero_grade_t.push_back(std::min(L, station_at(k, v, zeta)));
    }
    return true;
}

void clothoid_at(const Clothoid& c, double t, double& sigma, double& zeta) noexcept {
    const std::size_t n = count_not_above(c.piece_t.data(), c.piece_t.size(), t);
    const ChebPiece& p = c.pieces[n == 0 ? 0 : n - 1];
    const double x = (t - p.mid) * p.inv_half, x2 = 2.0 * x;
    double s1 = 0.0, s2 = 0.0, z1 = 0.0, z2 = 0.0;
    for (int j = kChebTerms - 1; j >= 1; --j) {
        const double s0 = x2 * s1 - s2 + p.sigma[j];
        const double z0 = x2 * z1 - z2 + p.zeta[j];
        s2 = s1;
        s1 = s0;
        z2 = z1;
        z1 = z0;
    }
    sigma = x * s1 - s2 + p.sigma[0];
    zeta = x * z1 - z2 + p.zeta[0];
}

}  // namespace curvix::engine::detail
