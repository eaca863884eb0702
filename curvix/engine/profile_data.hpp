#pragma once
// Private to the profile: the segments as evaluated, and the vertical
// clothoid's tables.
//
// Every segment is a curve of its own defined from its start s0 over its
// horizontal length L (t = station - s0). It is evaluated where the lookup
// puts it, from starts[k] to the next start, which may lie up to the
// profile's tolerance beyond either end of [0, L]: there it continues on
// the tangent line of that end.
//
// The vertical clothoid, sigma its arc length and v = sigma / Lambda, has
// the grade angle theta(v) = theta0 + delta * (2 w v + (1 - 2 w) v^2). Its
// station and elevation are integrals of cos(theta) and sin(theta) over
// sigma, which have no closed form; the clothoid is cut into pieces over
// which theta changes by at most kClothoidTurn, and on each piece sigma(t)
// and zeta(t) = z(t) - z0 are Chebyshev series of kChebTerms terms in the
// station, interpolated at the Chebyshev points from values that 10-point
// Gauss-Legendre quadrature and Newton's method give to the rounding.
// Grade and curvature follow from sigma exactly (theta is a polynomial in
// it), and so does the arc length between two stations.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "curvix/engine/engine_data.hpp"
#include "curvix/engine/profile.hpp"

namespace curvix::engine::detail {

// A number for a message: the shortest of 15 or 17 digits that reads back.
inline std::string show(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// The last k with a[k] <= s in sorted stations a[0..n) (0 below a[0]): a
// table of equal buckets over [a[0], end] names the segment holding each
// bucket's start, and a few steps from it finish the search (a binary
// search where a bucket holds more, or rounding put s before it).
class SegmentLookup {
public:
    void build(const double* a, std::size_t n, double end) {
        lo_ = a[0];
        const std::size_t buckets = std::min<std::size_t>(std::max<std::size_t>(4 * n, 1), std::size_t{1} << 20);
        const double width = (end - lo_) / double(buckets);
        inv_width_ = width > 0.0 && std::isfinite(width) ? 1.0 / width : 0.0;
        first_.resize(inv_width_ > 0.0 ? buckets : 1);
        for (std::size_t b = 0; b < first_.size(); ++b) {
            const std::size_t k = count_not_above(a, n, lo_ + double(b) * width);
            first_[b] = static_cast<std::uint32_t>(k == 0 ? 0 : k - 1);
        }
    }
    std::size_t find(const double* a, std::size_t n, double s) const noexcept {
        const double x = (s - lo_) * inv_width_;
        const double top = double(first_.size() - 1);
        std::size_t k = first_[x > 0.0 ? static_cast<std::size_t>(x < top ? x : top) : 0];
        for (int i = 0; k + 1 < n && a[k + 1] <= s; ++k)
            if (++i == 8) return k + count_not_above(a + k, n - k, s) - 1;
        if (a[k] <= s || k == 0) return k;
        const std::size_t m = count_not_above(a, k, s);
        return m == 0 ? 0 : m - 1;
    }

private:
    double lo_ = 0.0, inv_width_ = 0.0;
    std::vector<std::uint32_t> first_;
};

inline constexpr int kChebTerms = 16;
inline constexpr double kClothoidTurn = 0.05;  // rad per piece

struct ChebPiece {
    double t_lo = 0.0;  // station offset where the piece starts
    double mid = 0.0, inv_half = 0.0;
    double sigma[kChebTerms] = {};  // the first coefficient halved
    double zeta[kChebTerms] = {};
};

struct Clothoid {
    double theta0 = 0.0, delta = 0.0, w = 0.0;
    double lambda = 0.0;  // arc length
    double k0 = 0.0, k1 = 0.0;  // curvature at both ends
    std::vector<double> piece_t;  // t_lo of each piece, for the lookup
    std::vector<ChebPiece> pieces;
    std::vector<double> zero_grade_t;  // where theta = 0 with the curvature not 0
};

// Builds the clothoid of horizontal length L (> 0) between the grade angles
// theta0 and theta0 + delta with end curvatures in the ratio of k0s : k1s.
// On failure returns false and names the field and the reason.
bool build_clothoid(double L, double theta0, double delta, double k0s, double k1s, Clothoid& c,
                    const char*& field, std::string& why);

// sigma and zeta at t in [0, L].
void clothoid_at(const Clothoid& c, double t, double& sigma, double& zeta) noexcept;

inline double clothoid_theta(const Clothoid& c, double sigma) noexcept {
    const double v = sigma / c.lambda;
    return c.theta0 + c.delta * v * (2.0 * c.w + (1.0 - 2.0 * c.w) * v);
}
inline double clothoid_kappa(const Clothoid& c, double sigma) noexcept {
    return c.k0 + (c.k1 - c.k0) * (sigma / c.lambda);
}

struct Segment {
    VerticalKind kind = VerticalKind::line;
    double s0 = 0.0, L = 0.0;
    double z0 = 0.0, g0 = 0.0, g1 = 0.0;
    double zL = 0.0;     // elevation at t = L
    double a = 0.0;      // parabola: (g1 - g0) / (2 L)
    double inv_r = 0.0;  // arc: 1 / R
    double u0 = 0.0, c0 = 1.0;  // arc: sin and cos of theta0
    std::size_t clothoid = 0;
};

}  // namespace curvix::engine::detail
