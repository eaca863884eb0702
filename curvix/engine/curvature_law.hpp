#pragma once
// The transition curves beyond the clothoid, by their curvature as a
// function of xi = t / L between the end curvatures k0 and k1
// (dk = k1 - k0):
//
//   clothoid  k0 + xi dk                                (the engine's own path)
//   bloss     k0 + (3 - 2 xi) xi^2 dk
//   cosine    k0 + (1 - cos(pi xi)) / 2 dk
//   sine      k0 + (xi - sin(2 pi xi) / (2 pi)) dk
//   helmert   k0 + 2 xi^2 dk for xi <= 1/2, k0 + (1 - 2 (1 - xi)^2) dk after
//   viennese  k0 + g(xi) dk - lean / L^2 g''(xi),
//             g(xi) = xi^4 (35 - 84 xi + 70 xi^2 - 20 xi^3)
//
// The Viennese bend designs the path of the vehicle's centre of gravity, at
// a height h above the rails, to the seventh-order shape g: where the cant
// angle psi changes along the bend by dpsi (with the same shape g), the
// centre of gravity moves sideways by h psi, and the track itself bends by
// the shape less the second derivative of that shift. lean = h dpsi, signed
// like the curvature (positive where the vehicle leans further to the
// right, the outside of a left-hand bend, at its end). Without a change of
// cant it is a curve of shape g.
//
// The cubic parabola y = x^3 / (6 R X) is not a law of the curvature along
// the length but a curve in the frame of its main tangent: the piece of
// y = c x^3 / 6 whose second derivative y'' = c x runs from k0 to k1 (at x0 =
// k0 / c and x1 = k1 / c) and whose arc length is L. So X, the length along
// the main tangent, is what makes the arc length the element's length, and
// y'' (not the curvature, y'' / (1 + y'^2)^(3/2), a little less) meets the
// radii at the ends: the stations along the alignment count arc lengths, as
// every other element's. The curvature along the length follows from x(t),
// the inverse of the arc length, which Newton's method takes from the
// arc-length integral (Gauss-Legendre, 8 x 16 nodes).
//
// Each law is a polynomial in xi plus a term A cos(w xi) + B sin(w xi)
// (Helmert's two halves are two polynomials), so that the turn (the
// integral of the curvature) has a closed form and the Taylor expansion of
// the curvature about any point, which the series pieces integrate, is
// exact to its last term. Outside [0, 1] the curvature is held at its end
// values (the curve continues as the circle it ends on).

#include <cmath>
#include <cstdint>
#include <string_view>

namespace curvix::engine {

enum class Shape : std::uint8_t { clothoid, bloss, cosine, sine, helmert, viennese, cubic };

inline const char* shape_name(Shape s) noexcept {
    switch (s) {
        case Shape::clothoid: return "clothoid";
        case Shape::bloss: return "bloss";
        case Shape::cosine: return "cosine";
        case Shape::sine: return "sine";
        case Shape::helmert: return "helmert";
        case Shape::viennese: return "viennese";
        case Shape::cubic: return "cubic";
    }
    return "clothoid";
}

inline bool shape_from_name(std::string_view name, Shape& out) noexcept {
    for (const Shape s : {Shape::clothoid, Shape::bloss, Shape::cosine, Shape::sine, Shape::helmert,
                          Shape::viennese, Shape::cubic}) {
        if (name == shape_name(s)) {
            out = s;
            return true;
        }
    }
    return false;
}

namespace detail {

inline constexpr double kLawPi = 3.14159265358979323846;
inline constexpr int kLawDegree = 7;

// One polynomial branch: curvature sum c[i] xi^i + A cos(w xi) + B sin(w xi)
// on [from, to] of xi.
// 16-point Gauss-Legendre nodes and weights on [-1, 1] (the positive half).
inline constexpr double kGaussNodes[8] = {
    0.0950125098376374401853193, 0.2816035507792589132304605, 0.4580167776572273863424194,
    0.6178762444026437484466718, 0.7554044083550030338951012, 0.8656312023878317438804679,
    0.9445750230732325760779884, 0.9894009349916499325961542};
inline constexpr double kGaussWeights[8] = {
    0.1894506104550684962853967, 0.1826034150449235888667637, 0.1691565193950025381893121,
    0.1495959888165767320815017, 0.1246289712555338720524763, 0.0951585116824927848099251,
    0.0622535239386478928628438, 0.0271524594117540948517806};

// The integral of f over [a, b]: 8 equal parts of 16 Gauss-Legendre nodes.
template <class F>
double gauss_integral(F f, double a, double b) noexcept {
    constexpr int kParts = 8;
    const double h = (b - a) / kParts;
    double sum = 0.0;
    for (int p = 0; p < kParts; ++p) {
        const double mid = a + h * (p + 0.5), half = 0.5 * h;
        double part = 0.0;
        for (int i = 0; i < 8; ++i)
            part += kGaussWeights[i] * (f(mid - half * kGaussNodes[i]) + f(mid + half * kGaussNodes[i]));
        sum += part * half;
    }
    return sum;
}

// The cubic parabola's scale p = 1 / c for end values k0 != k1 of y'' and
// an arc length L: p * integral over u from k0 to k1 of sqrt(1 + (p u^2 / 2)^2)
// = L, by Newton's method from p = L / (k1 - k0), where the arc length is
// at least L (the function is convex in |p|, so the steps fall monotonely).
inline double cubic_scale(double k0, double k1, double L) noexcept {
    const double lo = std::fmin(k0, k1), hi = std::fmax(k0, k1);
    double q = L / (hi - lo);
    for (int it = 0; it < 60; ++it) {
        const auto len = [q](double u) { const double b = 0.5 * q * u * u; return std::sqrt(1.0 + b * b); };
        const auto dlen = [q](double u) {
            const double b = 0.5 * q * u * u;
            return (1.0 + 2.0 * b * b) / std::sqrt(1.0 + b * b);
        };
        const double f = q * gauss_integral(len, lo, hi) - L;
        const double step = f / gauss_integral(dlen, lo, hi);
        q -= step;
        if (!(std::fabs(step) > 1e-16 * q)) break;
    }
    return k1 > k0 ? q : -q;
}

struct LawBranch {
    double c[kLawDegree + 1] = {};
    double A = 0.0, B = 0.0, w = 0.0;
    double from = 0.0, to = 1.0;
    double theta_from = 0.0;  // the turn from xi = 0 to `from`, in units of L (integral over xi)
};

class CurvatureLaw {
public:
    CurvatureLaw() = default;
    CurvatureLaw(Shape shape, double k0, double k1, double length, double lean) noexcept
        : shape_(shape), L_(length) {
        const double dk = k1 - k0;
        LawBranch& a = b_[0];
        switch (shape) {
            case Shape::cubic: {
                // lean carries the scale p once it is known (the engine keeps it).
                p_ = lean != 0.0 ? lean : (dk != 0.0 && length > 0.0 ? cubic_scale(k0, k1, length) : 0.0);
                if (p_ == 0.0) break;
                c_ = 1.0 / p_;
                x0_ = k0 * p_;
                x1_ = k1 * p_;
                phi0_ = std::atan(0.5 * c_ * x0_ * x0_);
                const double a0 = 0.5 * c_ * x0_ * x0_, a1 = 0.5 * c_ * x1_ * x1_;
                monotone_ = std::fmax(a0 * a0, a1 * a1) <= 0.2 && !(x0_ < 0.0 && x1_ > 0.0) &&
                            !(x0_ > 0.0 && x1_ < 0.0);
                k_start_ = cubic_kappa(x0_);
                k_end_ = cubic_kappa(x1_);
                theta_end_ = std::atan(a1) - phi0_;
                return;
            }
            case Shape::clothoid:
                a.c[0] = k0;
                a.c[1] = dk;
                break;
            case Shape::bloss:
                a.c[0] = k0;
                a.c[2] = 3.0 * dk;
                a.c[3] = -2.0 * dk;
                break;
            case Shape::cosine:
                a.c[0] = k0 + 0.5 * dk;
                a.A = -0.5 * dk;
                a.w = kLawPi;
                break;
            case Shape::sine:
                a.c[0] = k0;
                a.c[1] = dk;
                a.B = -dk / (2.0 * kLawPi);
                a.w = 2.0 * kLawPi;
                break;
            case Shape::helmert: {
                a.c[0] = k0;
                a.c[2] = 2.0 * dk;
                a.to = 0.5;
                LawBranch& b = b_[1];
                // k0 + dk (1 - 2 (1 - xi)^2) = k0 - dk + 4 dk xi - 2 dk xi^2
                b.c[0] = k0 - dk;
                b.c[1] = 4.0 * dk;
                b.c[2] = -2.0 * dk;
                b.from = 0.5;
                b.to = 1.0;
                branches_ = 2;
                b.theta_from = integral(a, 0.5);
                break;
            }
            case Shape::viennese: {
                // g = 35 xi^4 - 84 xi^5 + 70 xi^6 - 20 xi^7,
                // g'' = 420 xi^2 - 1680 xi^3 + 2100 xi^4 - 840 xi^5.
                const double q = length > 0.0 ? lean / (length * length) : 0.0;
                monotone_ = q == 0.0;
                a.c[0] = k0;
                a.c[2] = -420.0 * q;
                a.c[3] = 1680.0 * q;
                a.c[4] = 35.0 * dk - 2100.0 * q;
                a.c[5] = -84.0 * dk + 840.0 * q;
                a.c[6] = 70.0 * dk;
                a.c[7] = -20.0 * dk;
                break;
            }
        }
        k_start_ = k0;
        k_end_ = k1;
        theta_end_ = L_ * branch_integral(1.0);
    }

    Shape shape() const noexcept { return shape_; }
    // The cubic parabola's 1 / c (0 for the other shapes).
    double cubic_scale_value() const noexcept { return p_; }
    // Where the cubic parabola is at distance t along it: x on its main tangent.
    double cubic_x(double t) const noexcept {
        const double c = c_, x0 = x0_;
        const auto ds = [c](double x) { const double a = 0.5 * c * x * x; return std::sqrt(1.0 + a * a); };
        double x = x0 + (x1_ - x0) * (t / L_);
        for (int it = 0; it < 40; ++it) {
            const double step = (gauss_integral(ds, x0, x) - t) / ds(x);
            x -= step;
            if (!(std::fabs(step) > 4e-16 * std::fmax(std::fabs(x), std::fabs(x1_ - x0)))) break;
        }
        return x;
    }
    // Whether the curvature runs monotonely from k0 to k1 (every shape but
    // a leaning Viennese bend).
    bool monotone() const noexcept { return monotone_; }
    double length() const noexcept { return L_; }
    std::size_t branches() const noexcept { return branches_; }
    const LawBranch& branch(std::size_t i) const noexcept { return b_[i]; }

    // Curvature at distance t (held at the end values outside [0, L]).
    double kappa(double t) const noexcept {
        if (!(t > 0.0)) return std::isnan(t) ? t : k_start_;
        if (!(t < L_)) return k_end_;
        if (shape_ == Shape::cubic) return cubic_kappa(cubic_x(t));
        const double x = t / L_;
        return value(b_[branch_of(x)], x);
    }
    // Its derivative along the curve (0 outside).
    double kappa_slope(double t) const noexcept {
        if (!(t > 0.0 && t < L_)) return std::isnan(t) ? t : 0.0;
        if (shape_ == Shape::cubic) {
            const double x = cubic_x(t), a = 0.5 * c_ * x * x, q = 1.0 + a * a;
            return c_ * (1.0 - 5.0 * a * a) / (q * q * q);
        }
        const double x = t / L_;
        const LawBranch& b = b_[branch_of(x)];
        double p = 0.0;
        for (int i = kLawDegree; i >= 1; --i) p = p * x + i * b.c[i];
        p += b.w * (-b.A * std::sin(b.w * x) + b.B * std::cos(b.w * x));
        return p / L_;
    }
    // The turn from the start to t: the integral of the curvature.
    double theta(double t) const noexcept {
        if (!(t > 0.0)) return std::isnan(t) ? t : k_start_ * t;
        if (!(t < L_)) return theta_end_ + k_end_ * (t - L_);
        if (shape_ == Shape::cubic) {
            const double x = cubic_x(t);
            return std::atan(0.5 * c_ * x * x) - phi0_;
        }
        return L_ * branch_integral(t / L_);
    }
    // Taylor coefficients of the curvature about distance m in sigma, where
    // t = m + r sigma: out[j] = kappa^(j)(m) r^j / j!, j < n. m must lie in
    // (0, L) and the expansion serves within its branch.
    void taylor(double m, double r, int n, double* out) const noexcept {
        if (shape_ == Shape::cubic) {
            cubic_taylor(m, r, n, out);
            return;
        }
        const double x = m / L_;
        const double rho = r / L_;
        const LawBranch& b = b_[branch_of(x)];
        // The polynomial shifted to x and scaled by rho (Horner's Taylor shift).
        double c[kLawDegree + 1];
        for (int i = 0; i <= kLawDegree; ++i) c[i] = b.c[i];
        for (int i = 0; i < kLawDegree; ++i)
            for (int j = kLawDegree - 1; j >= i; --j) c[j] += x * c[j + 1];
        double scale = 1.0;
        for (int j = 0; j < n; ++j) {
            out[j] = j <= kLawDegree ? c[j] * scale : 0.0;
            scale *= rho;
        }
        if (b.A != 0.0 || b.B != 0.0) {
            // A cos(w x + w rho sigma) + B sin(...): the j-th derivative
            // turns the phase by j pi / 2.
            const double ph = b.w * x;
            const double cs = std::cos(ph), sn = std::sin(ph);
            double f = 1.0;  // (w rho)^j / j!
            for (int j = 0; j < n; ++j) {
                double dc, ds;  // cos and sin of ph + j pi / 2
                switch (j % 4) {
                    case 0: dc = cs; ds = sn; break;
                    case 1: dc = -sn; ds = cs; break;
                    case 2: dc = -cs; ds = -sn; break;
                    default: dc = sn; ds = -cs; break;
                }
                out[j] += (b.A * dc + b.B * ds) * f;
                f *= b.w * rho / static_cast<double>(j + 1);
            }
        }
    }
    // Where the branches meet, as distances (Helmert: L / 2).
    double branch_end(std::size_t i) const noexcept { return b_[i].to * L_; }

private:
    double cubic_kappa(double x) const noexcept {
        const double a = 0.5 * c_ * x * x;
        const double q = 1.0 + a * a;
        return c_ * x / (q * std::sqrt(q));
    }
    // The Taylor terms of the cubic's curvature about t = m, t = m + r sigma,
    // by power series in sigma: x' = r (1 + a^2)^(-1/2) with a = c x^2 / 2,
    // solved term by term, and kappa = c x (1 + a^2)^(-3/2). Powers of a
    // series Q by the recurrence g_k = sum_j (alpha j - (k - j)) q_j g_(k-j) / (k q_0).
    void cubic_taylor(double m, double r, int n, double* out) const noexcept {
        constexpr int kMax = 32;
        if (n > kMax) n = kMax;
        double X[kMax + 1] = {}, A[kMax] = {}, Q[kMax] = {}, F[kMax] = {}, G[kMax] = {};
        X[0] = cubic_x(m);
        for (int k = 0; k < n; ++k) {
            double sa = 0.0;
            for (int j = 0; j <= k; ++j) sa += X[j] * X[k - j];
            A[k] = 0.5 * c_ * sa;
            double sq = 0.0;
            for (int j = 0; j <= k; ++j) sq += A[j] * A[k - j];
            Q[k] = (k == 0 ? 1.0 : 0.0) + sq;
            if (k == 0) {
                F[0] = 1.0 / std::sqrt(Q[0]);
                G[0] = F[0] * F[0] * F[0];
            } else {
                double sf = 0.0, sg = 0.0;
                for (int j = 1; j <= k; ++j) {
                    sf += (-0.5 * j - (k - j)) * Q[j] * F[k - j];
                    sg += (-1.5 * j - (k - j)) * Q[j] * G[k - j];
                }
                F[k] = sf / (k * Q[0]);
                G[k] = sg / (k * Q[0]);
            }
            X[k + 1] = r * F[k] / (k + 1);
        }
        for (int j = 0; j < n; ++j) {
            double v = 0.0;
            for (int i = 0; i <= j; ++i) v += X[i] * G[j - i];
            out[j] = c_ * v;
        }
    }
    std::size_t branch_of(double x) const noexcept { return branches_ > 1 && x > b_[0].to ? 1 : 0; }
    static double value(const LawBranch& b, double x) noexcept {
        double p = 0.0;
        for (int i = kLawDegree; i >= 0; --i) p = p * x + b.c[i];
        if (b.A != 0.0 || b.B != 0.0) p += b.A * std::cos(b.w * x) + b.B * std::sin(b.w * x);
        return p;
    }
    // Integral of the branch's curvature over xi from 0 to x.
    static double integral(const LawBranch& b, double x) noexcept {
        double p = 0.0;
        for (int i = kLawDegree; i >= 0; --i) p = p * x + b.c[i] / static_cast<double>(i + 1);
        p *= x;
        if (b.A != 0.0 || b.B != 0.0)
            {
            const double h = std::sin(0.5 * b.w * x);  // 1 - cos(w x) = 2 sin^2(w x / 2), without cancelling
            p += (b.A * std::sin(b.w * x) + b.B * 2.0 * h * h) / b.w;
        }
        return p;
    }
    double branch_integral(double x) const noexcept {
        const LawBranch& b = b_[branch_of(x)];
        if (b.from == 0.0) return integral(b, x);
        return b.theta_from + integral(b, x) - integral(b, b.from);
    }

    Shape shape_ = Shape::clothoid;
    double L_ = 0.0;
    double k_start_ = 0.0, k_end_ = 0.0, theta_end_ = 0.0;
    LawBranch b_[2];
    std::size_t branches_ = 1;
    bool monotone_ = true;
    double p_ = 0.0, c_ = 0.0, x0_ = 0.0, x1_ = 0.0, phi0_ = 0.0;  // the cubic parabola
};

}  // namespace detail
}  // namespace curvix::engine
