// Point-to-station searches of PQX. They see the alignment only through
// get_coordinate / get_dir and the signed angle of Vector.
//
// Every loop here ends for any input: a bracket stops as soon as it can no
// longer shrink (its midpoint is not strictly inside it, which also covers
// NaN and infinite brackets), so eps <= 0, NaN eps and stations beyond 2^23
// with a tolerance below their spacing all terminate.

#include <cmath>
#include <stdexcept>

#include "curvix/alignment/pqx.hpp"

namespace curvix {

namespace {

constexpr double kEndSnap = 1e-6;
constexpr int kMaxIntervals = 1000000;

// (a + b) * 0.5, the bracket midpoint. Where the sum of two finite stations
// overflows (above half the largest double) the halves are added instead;
// everywhere else the two forms are the same number.
double midpoint(double a, double b) {
    const double m = (a + b) * 0.5;
    if (std::isinf(m) && std::isfinite(a) && std::isfinite(b)) return a * 0.5 + b * 0.5;
    return m;
}

bool strictly_inside(double lo, double mid, double hi) {
    return lo < hi ? (lo < mid && mid < hi) : (hi < mid && mid < lo);
}

}  // namespace

double PQX::snapped(double s) const { return std::fabs(s - end_pk) < kEndSnap ? end_pk : s; }

double PQX::distance_at(double s, const Vector& point) const {
    return get_coordinate(s).distance_point(point);
}

void PQX::binary_test(double a, double b, const Vector& point, double eps, Candidate& out) const {
    double lo = a;
    double hi = b;
    double m = midpoint(hi, lo);
    // Only one end moves per step, so the other end's distance is reused.
    double d_lo = 0.0;
    double d_hi = 0.0;
    bool have_lo = false;
    bool have_hi = false;
    while (std::fabs(hi - lo) > eps) {
        if (!have_lo) d_lo = distance_at(lo, point);
        if (!have_hi) d_hi = distance_at(snapped(hi), point);
        have_lo = have_hi = true;
        const double mid = midpoint(hi, lo);
        if (!strictly_inside(lo, mid, hi)) break;
        if (d_hi > d_lo) {
            hi = mid;
            have_hi = false;
        } else {
            lo = mid;
            have_lo = false;
        }
        m = midpoint(hi, lo);
    }
    const double d1 = distance_at(m, point);
    const double sm = snapped(m);
    const double d2 = (sm == m) ? d1 : distance_at(sm, point);
    out = Candidate(m, d2 > d1 ? d1 : d2);
}

// The halving search compares the distances at the two ends of its bracket,
// which finds the nearest point only along one straight or one arc. Across an
// element joint it can stop away from the nearest point. When a station a
// little below or above the candidate is strictly nearer, walk downhill in
// growing steps inside the candidate's interval until the distance rises
// again, then narrow that bracket by golden section. The result is never
// farther than the candidate; a candidate that is already a local minimum is
// returned unchanged.
Candidate PQX::refine(const Candidate& c, double lo, double hi, const Vector& point,
                      double eps) const {
    const double s0 = c.first;
    const double f0 = c.second;
    if (!(std::isfinite(lo) && std::isfinite(hi) && lo < hi && std::isfinite(s0) &&
          std::isfinite(f0)))
        return c;

    auto f = [&](double s) {
        const double d1 = distance_at(s, point);
        const double ss = snapped(s);
        if (ss == s) return d1;
        const double d2 = distance_at(ss, point);
        return d2 > d1 ? d1 : d2;
    };
    auto clip = [&](double s) { return s < lo ? lo : (s > hi ? hi : s); };

    double delta = (hi - lo) * 1e-6;
    if (eps > delta) delta = eps;
    if (!(delta > 0.0) || !std::isfinite(delta)) return c;

    double dir = 0.0;
    double cur = s0;
    double f_cur = f0;
    const double down = clip(s0 - delta);
    const double up = clip(s0 + delta);
    if (down != s0) {
        const double fd = f(down);
        if (fd < f0) dir = -1.0, cur = down, f_cur = fd;
    }
    if (dir == 0.0 && up != s0) {
        const double fu = f(up);
        if (fu < f0) dir = 1.0, cur = up, f_cur = fu;
    }
    if (dir == 0.0) return c;

    // Downhill walk: [prev, next] brackets the dip around cur.
    double prev = s0;
    double next = cur;
    double step = delta;
    for (int guard = 0; guard < 2100; ++guard) {
        step *= 2.0;
        next = clip(cur + dir * step);
        if (next == cur) break;  // reached the interval's end
        const double f_next = f(next);
        if (!(f_next < f_cur)) break;
        prev = cur;
        cur = next;
        f_cur = f_next;
    }

    double a = prev < next ? prev : next;
    double b = prev < next ? next : prev;
    Candidate best(cur, f_cur);
    // Golden section on [a, b]; every evaluation can only improve `best`.
    const double g = 0.6180339887498949;
    double x1 = b - g * (b - a);
    double x2 = a + g * (b - a);
    double f1 = f(x1);
    double f2 = f(x2);
    if (f1 < best.second) best = Candidate(x1, f1);
    if (f2 < best.second) best = Candidate(x2, f2);
    for (int guard = 0; guard < 400 && (b - a) > eps; ++guard) {
        if (f1 < f2) {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = b - g * (b - a);
            if (!(a < x1 && x1 < x2)) break;
            f1 = f(x1);
            if (f1 < best.second) best = Candidate(x1, f1);
        } else {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + g * (b - a);
            if (!(x1 < x2 && x2 < b)) break;
            f2 = f(x2);
            if (f2 < best.second) best = Candidate(x2, f2);
        }
    }
    return best.second < f0 ? best : c;
}

double PQX::get_station_by_point(double x, double y, int n, double eps) const {
    if (n <= 0) throw std::invalid_argument("n must be a positive number of intervals");
    if (n > kMaxIntervals) throw std::invalid_argument("n must not exceed 1000000 intervals");
    const Vector point(x, y, 0.0);
    const double step = (end_pk - start_pk) / static_cast<double>(n);
    const double range_lo = start_pk < end_pk ? start_pk : end_pk;
    const double range_hi = start_pk < end_pk ? end_pk : start_pk;

    Candidate best;
    bool have_best = false;
    for (int i = 0; i < n; ++i) {
        const double a = static_cast<double>(i) * step + start_pk;
        const double b = a + step;
        Candidate c;
        binary_test(a, b, point, eps, c);
        double lo = a < b ? a : b;
        double hi = a < b ? b : a;
        if (lo < range_lo) lo = range_lo;
        if (hi > range_hi) hi = range_hi;
        c = refine(c, lo, hi, point, eps);
        // Nearest first; equal distances keep the lower interval; NaN last.
        if (!have_best || c.second < best.second ||
            (std::isnan(best.second) && !std::isnan(c.second))) {
            best = c;
            have_best = true;
        }
    }
    return best.first;
}

double PQX::get_station_by_point2(double x1, double y1, double x2, double y2, double eps) const {
    const Vector p1(x1, y1, 0.0);
    const Vector dir(x2 - x1, y2 - y1, 0.0);
    double lo = start_pk;
    double hi = end_pk;
    double t_lo = 0.0;
    double t_hi = 0.0;
    bool have_lo = false;
    bool have_hi = false;
    bool first = true;
    // Slides cannot follow a first step with a sign change; the bound only
    // keeps the loop finite whatever happens.
    for (int guard = 0; guard < 100000 && hi - lo > eps; ++guard) {
        const double mid = midpoint(lo, hi);
        if (!strictly_inside(lo, mid, hi)) break;
        // Points first, then the angles, as a step always evaluates them.
        const Vector a = have_lo ? Vector() : get_coordinate(lo);
        const Vector b = have_hi ? Vector() : get_coordinate(hi);
        const Vector m = get_coordinate(mid);
        if (!have_lo) t_lo = dir.angle_signed(a - p1);
        if (!have_hi) t_hi = dir.angle_signed(b - p1);
        const double t_mid = dir.angle_signed(m - p1);
        have_lo = have_hi = true;

        if (t_lo * t_hi > 0) {
            if (first)
                throw std::invalid_argument(
                    "the line does not cross the alignment between start_pk and end_pk "
                    "(or crosses it an even number of times)");
            const double w = hi - lo;
            if (std::fabs(t_hi) > std::fabs(t_lo)) {
                hi = lo;
                lo = lo - w;
            } else {
                lo = hi;
                hi = hi + w;
            }
            have_lo = have_hi = false;
        } else if (t_mid * t_lo > 0) {
            lo = mid;
            t_lo = t_mid;
        } else {
            hi = mid;
            t_hi = t_mid;
        }
        first = false;
    }
    return midpoint(lo, hi);
}

int PQX::get_side(double x, double y) const {
    const double s = get_station_by_point(x, y, 10, 1e-9);
    const Vector q = get_coordinate(s);
    const Vector t = get_dir(s, 1e-4);
    const Vector v(x - q.X(), y - q.Y(), 0.0 - q.Z());
    if (v.length() == 0.0) return 0;
    const double theta = t.angle_signed(v);
    const double degrees = theta / 3.141592653589793 * 180.0;
    return degrees < 0 ? 1 : -1;
}

}  // namespace curvix
