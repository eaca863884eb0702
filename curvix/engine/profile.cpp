// The vertical profile: construction from segments or PVIs, and the
// station queries.

#include "curvix/engine/profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "curvix/engine/engine_data.hpp"
#include "curvix/engine/profile_data.hpp"

namespace curvix::engine {

using detail::Segment;
using detail::show;

struct Profile::Impl {
    std::vector<VerticalSegmentInput> segment_inputs;
    std::vector<PviInput> pvi_inputs;
    std::vector<Segment> segs;
    std::vector<detail::Clothoid> clothoids;
    std::vector<double> starts;  // where each segment takes over (non-decreasing)
    std::vector<VerticalSegment> info;
    std::vector<ProfileOverlap> overlaps;
    std::vector<PviCurveInfo> curves;
    double start = 0.0, end = 0.0;
    double z_start = 0.0, g_start = 0.0, z_end = 0.0, g_end = 0.0;

    detail::SegmentLookup index;

    std::size_t find(double s) const noexcept { return index.find(starts.data(), starts.size(), s); }
    double segment_end(std::size_t k) const noexcept {
        return k + 1 < starts.size() ? starts[k + 1] : end;
    }
};

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Curves shorter than this are grade lines (no double could tell them apart).
constexpr double kTinyLength = 1e-250;

using Impl = Profile::Impl;

double cos_of(double u) { return std::sqrt(std::max(0.0, (1.0 - u) * (1.0 + u))); }

// asinh(x) / x and asin(x) / x, also near 0.
double asinhc(double x) {
    const double x2 = x * x;
    return std::fabs(x) < 1e-3 ? 1.0 - x2 / 6.0 + 0.075 * x2 * x2 : std::asinh(x) / x;
}
double asinc(double x) {
    const double x2 = x * x;
    return std::fabs(x) < 1e-3 ? 1.0 + x2 / 6.0 + 0.075 * x2 * x2 : std::asin(x) / x;
}

double seg_z(const Impl& d, const Segment& e, double t) noexcept {
    if (e.kind == VerticalKind::line) return e.z0 + e.g0 * t;
    if (t < 0.0) return e.z0 + e.g0 * t;
    if (t > e.L) return e.zL + e.g1 * (t - e.L);
    switch (e.kind) {
        case VerticalKind::parabola: return e.z0 + t * (e.g0 + e.a * t);
        case VerticalKind::arc: {
            const double u = e.u0 + t * e.inv_r;
            return e.z0 + t * (u + e.u0) / (e.c0 + cos_of(u));
        }
        default: {
            double sigma, zeta;
            detail::clothoid_at(d.clothoids[e.clothoid], t, sigma, zeta);
            return e.z0 + zeta;
        }
    }
}

// Grade, d2z/ds2 and the true curvature.
struct Slope {
    double g, zz, k;
};

Slope seg_slope(const Impl& d, const Segment& e, double t) noexcept {
    if (e.kind == VerticalKind::line || t < 0.0) return {e.g0, 0.0, 0.0};
    if (t > e.L) return {e.g1, 0.0, 0.0};
    switch (e.kind) {
        case VerticalKind::parabola: {
            const double g = e.g0 + 2.0 * e.a * t, h = std::hypot(1.0, g);
            return {g, 2.0 * e.a, 2.0 * e.a / (h * h * h)};
        }
        case VerticalKind::arc: {
            const double u = e.u0 + t * e.inv_r, c = cos_of(u);
            return {u / c, e.inv_r / (c * c * c), e.inv_r};
        }
        default: {
            const detail::Clothoid& c = d.clothoids[e.clothoid];
            double sigma, zeta;
            detail::clothoid_at(c, t, sigma, zeta);
            const double th = detail::clothoid_theta(c, sigma), k = detail::clothoid_kappa(c, sigma);
            const double co = std::cos(th);
            return {std::tan(th), k / (co * co * co), k};
        }
    }
}

// Length in the station-elevation plane over t in [ta, tb], within [0, L].
double curve_length(const Impl& d, const Segment& e, double ta, double tb) {
    const double dt = tb - ta;
    switch (e.kind) {
        case VerticalKind::line: return dt * std::hypot(1.0, e.g0);
        case VerticalKind::parabola: {
            // (F(gb) - F(ga)) / (2a) with F(g) = (g w + asinh g) / 2, w =
            // sqrt(1 + g^2), written without the differences that cancel.
            const double ga = e.g0 + 2.0 * e.a * ta, D = 2.0 * e.a * dt, gb = ga + D;
            const double wa = std::hypot(1.0, ga), wb = std::hypot(1.0, gb), gg = ga * gb;
            const double sq = 1.0 + ga * ga + gb * gb;
            const double plus = gg >= 0.0 ? wa * wb + gg : sq / (wa * wb - gg);   // wa wb + ga gb
            const double minus = gg <= 0.0 ? wa * wb - gg : sq / (wa * wb + gg);  // wa wb - ga gb
            const double p = (plus + sq) / (wa + wb), q = (1.0 + minus) / (wa + wb);
            return 0.5 * dt * (p + q * asinhc(D * q));
        }
        case VerticalKind::arc: {
            const double ua = e.u0 + ta * e.inv_r, ub = e.u0 + tb * e.inv_r;
            const double ca = cos_of(ua), cb = cos_of(ub);
            const double q = (1.0 + ca * cb + ua * ub) / (ca + cb);  // (1 + cos(dtheta)) / (ca + cb)
            const double x = dt * e.inv_r * q;                      // sin(dtheta)
            if (std::fabs(x) <= 0.5) return dt * q * asinc(x);
            return (std::asin(ub) - std::asin(ua)) / e.inv_r;
        }
        default: {
            double sa, sb, zeta;
            detail::clothoid_at(d.clothoids[e.clothoid], ta, sa, zeta);
            detail::clothoid_at(d.clothoids[e.clothoid], tb, sb, zeta);
            return sb - sa;
        }
    }
}

// The same over any ta <= tb, continuing on the end tangents outside [0, L].
double seg_length(const Impl& d, const Segment& e, double ta, double tb) {
    double total = 0.0;
    if (ta < 0.0) {
        const double hi = std::min(tb, 0.0);
        total += (hi - ta) * std::hypot(1.0, e.g0);
        ta = hi;
    }
    if (tb > e.L) {
        const double lo = std::max(ta, e.L);
        total += (tb - lo) * std::hypot(1.0, e.g1);
        tb = lo;
    }
    if (tb > ta) total += curve_length(d, e, ta, tb);
    return total;
}

[[noreturn]] void fail(const std::string& where, std::ptrdiff_t index, const std::string& field,
                       const std::string& message) {
    throw ProfileError(index, field, where + ": " + field + " " + message);
}

std::string where_segment(std::size_t k) { return "segment " + std::to_string(k); }
std::string where_pvi(std::size_t k) { return "PVI " + std::to_string(k); }

void need_finite(const std::string& where, std::size_t k, const char* field, double v) {
    if (!std::isfinite(v)) fail(where, static_cast<std::ptrdiff_t>(k), field, "must be finite, got " + show(v));
}

void need_length(const std::string& where, std::size_t k, const char* field, double v) {
    if (!(std::isfinite(v) && v >= 0.0))
        fail(where, static_cast<std::ptrdiff_t>(k), field, "must be finite and >= 0, got " + show(v));
}

void need_grade(const std::string& where, std::size_t k, const char* field, double g) {
    if (!(std::fabs(g) <= Profile::kMaxGrade))
        fail(where, static_cast<std::ptrdiff_t>(k), field,
             "must be at most " + show(Profile::kMaxGrade) + " in size, got " + show(g));
}

double curvature_of_radius(double r) { return (r == 0.0 || std::isinf(r)) ? 0.0 : 1.0 / r; }

// What a curve is made of; arc_inv_r NaN: the arc's radius from its grades.
struct CurveSpec {
    VerticalKind kind;
    double s0, L, z0, g0, g1;
    double k0 = 0.0, k1 = 0.0;  // clothoid: stated curvatures
    double arc_inv_r = kNaN;
};

void add_segment(Impl& d, CurveSpec c, const std::string& where, std::size_t index, std::ptrdiff_t pvi) {
    // A clothoid without curvature at either end is a grade line, by the
    // grade lines' rule (a turn too small for a radius in doubles is one).
    if (c.kind == VerticalKind::clothoid && c.k0 == 0.0 && c.k1 == 0.0 && std::fabs(c.g1 - c.g0) <= 1e-9)
        c.kind = VerticalKind::line;
    if (c.kind != VerticalKind::clothoid && c.g0 == c.g1) c.kind = VerticalKind::line;
    if (c.L < kTinyLength) c.kind = VerticalKind::line;
    Segment e;
    e.kind = c.kind;
    e.s0 = c.s0;
    e.L = c.L;
    e.z0 = c.z0;
    e.g0 = c.g0;
    e.g1 = c.kind == VerticalKind::line ? c.g0 : c.g1;
    const auto idx = static_cast<std::ptrdiff_t>(index);
    switch (c.kind) {
        case VerticalKind::line: break;
        case VerticalKind::parabola: e.a = (c.g1 - c.g0) / (2.0 * c.L); break;
        case VerticalKind::arc: {
            const double h0 = std::hypot(1.0, c.g0), h1 = std::hypot(1.0, c.g1);
            e.u0 = c.g0 / h0;
            e.c0 = 1.0 / h0;
            e.inv_r = std::isnan(c.arc_inv_r) ? (c.g1 / h1 - e.u0) / c.L : c.arc_inv_r;
            break;
        }
        case VerticalKind::clothoid: {
            detail::Clothoid cl;
            const char* field = "";
            std::string why;
            const double delta = std::atan2(c.g1 - c.g0, 1.0 + c.g0 * c.g1);
            if (!detail::build_clothoid(c.L, std::atan(c.g0), delta, c.k0, c.k1, cl, field, why))
                fail(where, idx, field, why);
            e.clothoid = d.clothoids.size();
            d.clothoids.push_back(std::move(cl));
            break;
        }
    }
    e.zL = seg_z(d, e, e.L);  // (which does not read zL: that is only beyond L)
    if (!std::isfinite(e.zL) || !std::isfinite(e.a) || !std::isfinite(e.inv_r))
        fail(where, idx, "length", "puts the elevation beyond the range of doubles, got " + show(c.L));
    const double floor = d.starts.empty() ? d.start : d.starts.back();
    d.starts.push_back(std::max(c.s0, floor));
    d.segs.push_back(e);
    d.info.emplace_back();
    d.info.back().pvi = pvi;
}

// The built segments' ends, from the lookup.
void finish(Impl& d) {
    d.index.build(d.starts.data(), d.starts.size(), d.end);
    for (std::size_t k = 0; k < d.segs.size(); ++k) {
        const Segment& e = d.segs[k];
        VerticalSegment& v = d.info[k];
        v.kind = e.kind;
        v.start_station = d.starts[k];
        v.end_station = d.segment_end(k);
        const double ta = v.start_station - e.s0, tb = v.end_station - e.s0;
        v.start_elevation = seg_z(d, e, ta);
        v.end_elevation = seg_z(d, e, tb);
        // The next start can lie a rounding past s0 + L, where the slope is
        // the grade line's: the end's curvature is the curve's own at L.
        const Slope a = seg_slope(d, e, ta), b = seg_slope(d, e, std::min(tb, e.L));
        v.start_grade = a.g;
        v.end_grade = b.g;
        v.start_radius = a.k == 0.0 ? kInf : 1.0 / a.k;
        v.end_radius = b.k == 0.0 ? kInf : 1.0 / b.k;
    }
    d.z_start = d.info.front().start_elevation;
    d.g_start = d.info.front().start_grade;
    d.z_end = d.info.back().end_elevation;
    d.g_end = d.info.back().end_grade;
}

struct Pvi {
    double s, z;
    std::size_t index;        // in the input
    const PviInput* curve;    // the input whose curve this PVI has (or none)
    std::size_t curve_index;  // its index
};

bool same_curve(const PviInput& a, const PviInput& b) {
    return a.curve == b.curve && a.length == b.length && a.length_after == b.length_after &&
           a.radius == b.radius;
}

const char* back_field(const PviInput& p) {
    return p.curve == PviCurve::arc ? "radius"
                                    : (p.curve == PviCurve::parabola ? "length" : "length_before");
}
const char* forward_field(const PviInput& p) {
    return p.curve == PviCurve::arc ? "radius"
                                    : (p.curve == PviCurve::parabola ? "length" : "length_after");
}
double field_value(const PviInput& p, const char* field) {
    const std::string f = field;
    return f == "radius" ? p.radius : (f == "length_after" ? p.length_after : p.length);
}

void check_pvi(const PviInput& p, std::size_t i) {
    const std::string w = where_pvi(i);
    need_finite(w, i, "station", p.station);
    need_finite(w, i, "elevation", p.elevation);
    switch (p.curve) {
        case PviCurve::none: break;
        case PviCurve::parabola: need_length(w, i, "length", p.length); break;
        case PviCurve::asymmetric_parabola:
            need_length(w, i, "length_before", p.length);
            need_length(w, i, "length_after", p.length_after);
            if ((p.length == 0.0) != (p.length_after == 0.0)) {
                const bool before = p.length == 0.0;
                fail(w, static_cast<std::ptrdiff_t>(i), before ? "length_before" : "length_after",
                     std::string("must be > 0 when ") + (before ? "length_after" : "length_before") +
                         " is, got 0");
            }
            break;
        case PviCurve::arc:
            if (!(std::isfinite(p.radius) && p.radius != 0.0))
                fail(w, static_cast<std::ptrdiff_t>(i), "radius", "must be finite and not 0, got " + show(p.radius));
            if (p.has_stated_length) need_length(w, i, "stated_length", p.stated_length);
            break;
    }
}

}  // namespace

ProfileError::ProfileError(std::ptrdiff_t index, std::string field, const std::string& message)
    : std::invalid_argument(message), index_(index), field_(std::move(field)) {}

Profile::Profile(std::vector<VerticalSegmentInput> segments) {
    auto d = std::make_unique<Impl>();
    if (segments.empty()) fail("profile", -1, "segments", "must hold at least one segment");
    d->start = segments.front().start_station;
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const VerticalSegmentInput& s = segments[k];
        const std::string w = where_segment(k);
        const auto kk = static_cast<std::ptrdiff_t>(k);
        need_finite(w, k, "start_station", s.start_station);
        need_length(w, k, "length", s.length);
        need_finite(w, k, "start_elevation", s.start_elevation);
        need_finite(w, k, "start_grade", s.start_grade);
        need_finite(w, k, "end_grade", s.end_grade);
        need_grade(w, k, "start_grade", s.start_grade);
        need_grade(w, k, "end_grade", s.end_grade);
        if (s.kind == VerticalKind::line && !(std::fabs(s.end_grade - s.start_grade) <= 1e-9))
            fail(w, kk, "end_grade", "must equal start_grade (" + show(s.start_grade) +
                                         ") on a grade line, got " + show(s.end_grade));
        if (s.kind == VerticalKind::clothoid) {
            if (std::isnan(s.start_radius)) fail(w, kk, "start_radius", "must not be nan");
            if (std::isnan(s.end_radius)) fail(w, kk, "end_radius", "must not be nan");
        }
        if (!std::isfinite(s.start_station + s.length))
            fail(w, kk, "length", "puts the end station beyond the range of doubles, got " + show(s.length));
        if (k > 0) {
            const VerticalSegmentInput& p = segments[k - 1];
            const double gap = s.start_station - (p.start_station + p.length);
            if (!(std::fabs(gap) <= kOverlapTolerance))
                fail(w, kk, "start_station",
                     (gap > 0.0 ? "leaves a gap of " + show(gap) + " after "
                                : "starts " + show(-gap) + " before the end of ") +
                         where_segment(k - 1));
        }
        CurveSpec c{s.kind, s.start_station, s.length, s.start_elevation, s.start_grade, s.end_grade};
        c.k0 = curvature_of_radius(s.start_radius);
        c.k1 = curvature_of_radius(s.end_radius);
        add_segment(*d, c, w, k, -1);
    }
    d->end = std::max(d->starts.back(), segments.back().start_station + segments.back().length);
    finish(*d);
    d->segment_inputs = std::move(segments);
    impl_ = std::move(d);
}

Profile::Profile(std::vector<PviInput> pvis) {
    auto d = std::make_unique<Impl>();
    std::vector<Pvi> p;
    for (std::size_t i = 0; i < pvis.size(); ++i) {
        const PviInput& in = pvis[i];
        check_pvi(in, i);
        const auto ii = static_cast<std::ptrdiff_t>(i);
        const PviInput* curve = in.curve == PviCurve::none ? nullptr : &in;
        if (!p.empty() && in.station <= p.back().s) {
            Pvi& last = p.back();
            const std::string w = where_pvi(i);
            if (in.station < last.s)
                fail(w, ii, "station", "must be greater than the station of " + where_pvi(last.index) +
                                           " (" + show(last.s) + "), got " + show(in.station));
            if (in.elevation != last.z)
                fail(w, ii, "elevation", "differs from the elevation of " + where_pvi(last.index) +
                                             " at the same station (" + show(last.z) + "), got " +
                                             show(in.elevation));
            if (curve && last.curve && !same_curve(*curve, *last.curve))
                fail(w, ii, "curve", "differs from the curve of " + where_pvi(last.curve_index) +
                                         " at the same station");
            if (curve && !last.curve) {
                last.curve = curve;
                last.curve_index = i;
            }
            continue;
        }
        p.push_back({in.station, in.elevation, i, curve, i});
    }
    const std::size_t n = p.size();
    if (n < 2) fail("profile", -1, "pvis", "must hold at least two PVIs of distinct stations, got " + std::to_string(n));
    for (const std::size_t i : {std::size_t{0}, n - 1})
        if (p[i].curve)
            fail(where_pvi(p[i].curve_index), static_cast<std::ptrdiff_t>(p[i].curve_index), "curve",
                 "cannot be at the " + std::string(i == 0 ? "first" : "last") +
                     " PVI: a curve needs a grade before and after it");
    std::vector<double> g(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        g[i] = (p[i + 1].z - p[i].z) / (p[i + 1].s - p[i].s);
        if (!(std::fabs(g[i]) <= kMaxGrade))
            fail(where_pvi(p[i + 1].index), static_cast<std::ptrdiff_t>(p[i + 1].index), "elevation",
                 "makes a grade of " + show(g[i]) + " from " + where_pvi(p[i].index) +
                     ", steeper than " + show(kMaxGrade));
    }
    // How far each curve reaches before (b) and after (f) its PVI.
    std::vector<double> b(n, 0.0), f(n, 0.0), inv_r(n, 0.0);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const PviInput* c = p[i].curve;
        if (!c) continue;
        if (c->curve == PviCurve::parabola) {
            b[i] = f[i] = 0.5 * c->length;
        } else if (c->curve == PviCurve::asymmetric_parabola) {
            b[i] = c->length;
            f[i] = c->length_after;
        } else {
            const double ga = g[i - 1], gb = g[i];
            const double delta = std::atan2(gb - ga, 1.0 + ga * gb);
            if (delta == 0.0) continue;
            const double R = std::fabs(c->radius), T = R * std::tan(0.5 * std::fabs(delta));
            b[i] = T / std::hypot(1.0, ga);
            f[i] = T / std::hypot(1.0, gb);
            inv_r[i] = std::copysign(1.0 / R, delta);
        }
    }
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double over = f[i] + b[i + 1] - (p[i + 1].s - p[i].s);
        if (!(over <= kOverlapTolerance)) {
            const bool later = b[i + 1] > 0.0;
            const Pvi& q = later ? p[i + 1] : p[i];
            const char* field = later ? back_field(*q.curve) : forward_field(*q.curve);
            std::string what = show(field_value(*q.curve, field)) + " makes its curve ";
            if (later && f[i] > 0.0)
                what += "overlap the curve of " + where_pvi(p[i].curve_index) + " by " + show(over);
            else if (later)
                what += "start " + show(over) + " before " + where_pvi(p[i].index);
            else
                what += "end " + show(over) + " after " + where_pvi(p[i + 1].index);
            fail(where_pvi(q.curve_index), static_cast<std::ptrdiff_t>(q.curve_index), field, what);
        }
        if (over > 0.0)
            d->overlaps.push_back({b[i + 1] > 0.0 ? p[i + 1].curve_index : p[i].curve_index, over});
    }

    d->start = p[0].s;
    d->end = p[n - 1].s;
    for (std::size_t i = 0; i < n; ++i) {
        const PviInput* c = p[i].curve;
        const std::size_t first = d->segs.size();
        if (c && b[i] + f[i] > 0.0) {
            const std::string w = where_pvi(p[i].curve_index);
            const std::size_t ci = p[i].curve_index;
            const auto pvi = static_cast<std::ptrdiff_t>(ci);
            const double s = p[i].s, z = p[i].z, ga = g[i - 1], gb = g[i];
            if (c->curve == PviCurve::asymmetric_parabola) {
                const double L1 = b[i], L2 = f[i], gm = (ga * L1 + gb * L2) / (L1 + L2);
                add_segment(*d, {VerticalKind::parabola, s - L1, L1, z - ga * L1, ga, gm}, w, ci, pvi);
                add_segment(*d, {VerticalKind::parabola, s, L2, z + 0.5 * (gm - ga) * L1, gm, gb}, w, ci, pvi);
            } else {
                CurveSpec cs{c->curve == PviCurve::arc ? VerticalKind::arc : VerticalKind::parabola,
                             s - b[i], b[i] + f[i], z - ga * b[i], ga, gb};
                if (c->curve == PviCurve::arc) cs.arc_inv_r = inv_r[i];
                add_segment(*d, cs, w, ci, pvi);
            }
            PviCurveInfo info;
            info.pvi = p[i].curve_index;
            info.curve = c->curve;
            info.start_station = s - b[i];
            info.end_station = s + f[i];
            info.horizontal_length = b[i] + f[i];
            for (std::size_t k = first; k < d->segs.size(); ++k)
                info.arc_length += seg_length(*d, d->segs[k], 0.0, d->segs[k].L);
            if (c->has_stated_length) info.stated_length = c->stated_length;
            d->curves.push_back(info);
        }
        if (i + 1 < n) {
            const double a = p[i].s + f[i], e = p[i + 1].s - b[i + 1];
            if (e > a || (d->segs.empty() && i + 2 == n))
                add_segment(*d, {VerticalKind::line, a, std::max(0.0, e - a), p[i].z + g[i] * f[i], g[i], g[i]},
                            where_pvi(p[i].index), p[i].index, -1);
        }
    }
    finish(*d);
    d->pvi_inputs = std::move(pvis);
    impl_ = std::move(d);
}

Profile::~Profile() = default;

double Profile::start_station() const noexcept { return impl_->start; }
double Profile::end_station() const noexcept { return impl_->end; }
std::size_t Profile::size() const noexcept { return impl_->segs.size(); }
const VerticalSegment& Profile::segment(std::size_t index) const { return impl_->info.at(index); }
const std::vector<VerticalSegmentInput>& Profile::segment_inputs() const noexcept { return impl_->segment_inputs; }
const std::vector<PviInput>& Profile::pvi_inputs() const noexcept { return impl_->pvi_inputs; }
const std::vector<ProfileOverlap>& Profile::overlaps() const noexcept { return impl_->overlaps; }
const std::vector<PviCurveInfo>& Profile::curves() const noexcept { return impl_->curves; }

std::ptrdiff_t Profile::segment_index(double station) const noexcept {
    const Impl& d = *impl_;
    if (!(station >= d.start && station <= d.end)) return -1;
    return static_cast<std::ptrdiff_t>(d.find(station));
}

double Profile::elevation(double s, bool extend) const noexcept {
    const Impl& d = *impl_;
    if (s >= d.start && s <= d.end) {
        const Segment& e = d.segs[d.find(s)];
        return seg_z(d, e, s - e.s0);
    }
    if (!extend || std::isnan(s)) return kNaN;
    return s < d.start ? d.z_start + d.g_start * (s - d.start) : d.z_end + d.g_end * (s - d.end);
}

namespace {

// Grade and curvatures at a station: NaN outside without extend, the end
// grade (and no curvature) beyond the ends with it.
Slope slope_at(const Impl& d, double s, bool extend) noexcept {
    if (s >= d.start && s <= d.end) {
        const Segment& e = d.segs[d.find(s)];
        return seg_slope(d, e, s - e.s0);
    }
    if (!extend || std::isnan(s)) return {kNaN, kNaN, kNaN};
    return {s < d.start ? d.g_start : d.g_end, 0.0, 0.0};
}

}  // namespace

void Profile::evaluate(double s, bool extend, double& z, double& g) const noexcept {
    z = elevation(s, extend);
    g = slope_at(*impl_, s, extend).g;
}

double Profile::grade(double s, bool extend) const noexcept { return slope_at(*impl_, s, extend).g; }
double Profile::vertical_curvature(double s, bool extend) const noexcept { return slope_at(*impl_, s, extend).zz; }
double Profile::curvature(double s, bool extend) const noexcept { return slope_at(*impl_, s, extend).k; }

double Profile::length_3d(double s0, double s1, bool extend) const noexcept {
    const Impl& d = *impl_;
    if (std::isnan(s0) || std::isnan(s1)) return kNaN;
    if (s1 < s0) return -length_3d(s1, s0, extend);
    if (!extend && !(s0 >= d.start && s1 <= d.end)) return kNaN;
    double total = 0.0;
    if (s0 < d.start) {
        total += (std::min(s1, d.start) - s0) * std::hypot(1.0, d.g_start);
        s0 = std::min(s1, d.start);
    }
    if (s1 > d.end) {
        total += (s1 - std::max(s0, d.end)) * std::hypot(1.0, d.g_end);
        s1 = std::max(s0, d.end);
    }
    if (s1 > s0) {
        for (std::size_t k = d.find(s0); k < d.segs.size() && d.starts[k] < s1; ++k) {
            const double lo = std::max(s0, d.starts[k]), hi = std::min(s1, d.segment_end(k));
            if (hi > lo) total += seg_length(d, d.segs[k], lo - d.segs[k].s0, hi - d.segs[k].s0);
        }
    }
    return total;
}

std::vector<TurningPoint> Profile::turning_points() const {
    const Impl& d = *impl_;
    std::vector<TurningPoint> out;
    for (std::size_t k = 0; k < d.segs.size(); ++k) {
        const Segment& e = d.segs[k];
        std::vector<double> ts;
        if (e.kind == VerticalKind::parabola) ts.push_back(-e.g0 / (2.0 * e.a));
        if (e.kind == VerticalKind::arc) ts.push_back(-e.u0 / e.inv_r);
        if (e.kind == VerticalKind::clothoid) ts = d.clothoids[e.clothoid].zero_grade_t;
        for (const double t : ts) {
            const double s = e.s0 + t;
            if (!(t >= 0.0 && t <= e.L && s >= d.starts[k] && s <= d.segment_end(k))) continue;
            if (!out.empty() && out.back().station == s) continue;
            // The station as rounded may belong to the next segment (at the
            // joint, or past a curve shorter than the stations' spacing):
            // it is a turning point only where that one's grade is 0 too.
            const Segment& h = d.segs[d.find(s)];
            if (&h != &e && seg_slope(d, h, s - h.s0).g != 0.0) continue;
            out.push_back({s, seg_z(d, h, s - h.s0), k, seg_slope(d, e, t).k < 0.0});
        }
    }
    return out;
}

}  // namespace curvix::engine
