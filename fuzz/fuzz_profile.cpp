// libFuzzer target: the vertical profile (curvix::engine::Profile), the cant
// and the 3D frame with arbitrary inputs and queries.
//
// The input is a program. A mode byte picks PVI or segment input and whether
// a cant follows; then a count and, per PVI or segment, a flags byte and its
// values. Each value is a tag byte: a special IEEE value, a fraction of the
// field's usual range (16 bits), or eight raw bytes. PVI curves are sized as
// fractions of their tangents; a segment may follow on from the one before
// or start a little off it; a clothoid's radii are either read or made to
// fit its grades and length (from an independent Simpson quadrature). Then
// each further byte is a query.
//
// Oracles, beyond "no crash, no undocumented exception":
//   - construction throws ProfileError only, with an index in range and a
//     message starting "<PVI|segment|cant station> <index>: <field> " (or
//     "profile: " / "cant: " for index -1), and accepts every moderate
//     input: finite values, grades within 10 %, PVI curves reaching at most
//     45 % into each tangent, segments that join (within 0.9 mm), clothoids
//     whose radii fit;
//   - queries: NaN gives NaN; outside the range without extend gives NaN;
//     on a moderate profile finite stations give finite answers, in the
//     segment the index names; elevation and grade are continuous at every
//     joint of a PVI profile (grade except between two grade lines);
//   - inside a parabola, an arc or a clothoid without inflection the grade
//     lies between the segment's end grades and the chord between two
//     stations between their grades;
//   - length_3d is odd, additive, at least the chord (on PVI profiles; on
//     segments, which may step in elevation, at least the station range);
//   - turning points have grade 0 and lie in the range; overlaps are at
//     most the tolerance;
//   - cant lies between the values of its transition; on a straight
//     alignment a banked point3d located back gives its station and
//     dz cos(phi) = height; the frame vectors are orthonormal.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "curvix/engine/frame.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace curvix::engine;
using namespace curvix_fuzz;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kMaxItems = 24;
constexpr int kMaxQueries = 12;
constexpr double kMaxModerateGrade = 0.1;

const double kOdd[] = {0.0, -0.0, kNaN, kInf, -kInf, 1e-300, 5e-324, DBL_MAX, -DBL_MAX, 1.0, -1.0,
                       1e-9, -1e-9, 1e9, 1e-3, 0.5, 1e300, -1e6};
constexpr std::size_t kOddCount = sizeof kOdd / sizeof kOdd[0];

// tag < 40: an odd value; < 232: lo + (hi - lo) * u16 / 65535; else raw.
double number(Reader& in, double lo, double hi) {
    const std::uint8_t tag = in.byte();
    if (tag < 40) return kOdd[tag % kOddCount];
    if (tag < 232) return lo + (hi - lo) * (in.u16() / 65535.0);
    return in.raw_double();
}

bool finite_all(std::initializer_list<double> v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// The clothoid's radii for its grades, length and ratio w = k0 / (k0 + k1):
// Lambda = L / integral_0^1 cos(theta(v)) dv by Simpson's rule. False when
// a curvature that is not 0 has no radius in doubles.
bool fitting_radii(double L, double g0, double g1, double w, double& r0, double& r1) {
    // (the angle between the grades without the rounding of a difference)
    const double t0 = std::atan(g0), d = std::atan2(g1 - g0, 1.0 + g0 * g1);
    const int n = 400;
    double sum = 0.0;
    for (int i = 0; i <= n; ++i) {
        const double v = double(i) / n, weight = (i == 0 || i == n) ? 1.0 : (i % 2 ? 4.0 : 2.0);
        sum += weight * std::cos(t0 + d * v * (2.0 * w + (1.0 - 2.0 * w) * v));
    }
    const double lambda = L / (sum / (3.0 * n));
    if (!(lambda > 0.0) || d == 0.0) {  // a grade line: no curvature
        r0 = r1 = kInf;
        return true;
    }
    const double k0 = 2.0 * d * w / lambda, k1 = 2.0 * d * (1.0 - w) / lambda;
    r0 = k0 == 0.0 ? kInf : 1.0 / k0;
    r1 = k1 == 0.0 ? kInf : 1.0 / k1;
    return (k0 == 0.0 || std::isfinite(r0)) && (k1 == 0.0 || std::isfinite(r1));
}

struct Case {
    bool pvi_mode = false;
    std::vector<PviInput> pvis;
    std::vector<VerticalSegmentInput> segments;
    bool must_build = true;  // and so moderate
    std::vector<bool> monotone;  // per segment input: grade monotone inside
};

void read_pvis(Reader& in, Case& c, std::size_t n) {
    std::vector<PviInput> distinct;
    std::vector<bool> repeat_after;
    double s = number(in, -1e4, 1e5), z = number(in, -100.0, 3000.0);
    for (std::size_t i = 0; i < std::max<std::size_t>(n, 1); ++i) {
        if (i > 0) {
            const double step = number(in, 0.5, 800.0), g = number(in, -0.1, 0.1);
            c.must_build = c.must_build && step >= 0.5 && step <= 1e6 && std::fabs(g) <= kMaxModerateGrade;
            s += step;
            z += g * step;
        }
        PviInput p;
        p.station = s;
        p.elevation = z;
        distinct.push_back(p);
        repeat_after.push_back(in.byte() % 8 == 0);
        c.must_build = c.must_build && finite_all({s, z}) && std::fabs(s) < 1e8 && std::fabs(z) < 1e8;
    }
    c.must_build = c.must_build && distinct.size() >= 2;
    for (std::size_t i = 1; i + 1 < distinct.size(); ++i) {
        PviInput& p = distinct[i];
        const std::uint8_t flags = in.byte();
        const double la = p.station - distinct[i - 1].station, lb = distinct[i + 1].station - p.station;
        const double f1 = number(in, 0.0, 0.6), f2 = number(in, 0.0, 0.6);
        const bool fits1 = f1 >= 0.0 && f1 <= 0.45, fits2 = f2 >= 0.0 && f2 <= 0.45;
        const double ga = (p.elevation - distinct[i - 1].elevation) / la;
        const double gb = (distinct[i + 1].elevation - p.elevation) / lb;
        switch (flags % 4) {
            case 0: break;
            case 1:
                p.curve = PviCurve::parabola;
                p.length = 2.0 * f1 * std::min(la, lb);
                c.must_build = c.must_build && fits1;
                break;
            case 2:
                p.curve = PviCurve::asymmetric_parabola;
                p.length = f1 * la;
                p.length_after = f2 * lb;
                c.must_build = c.must_build && fits1 && fits2 && (p.length > 0.0) == (p.length_after > 0.0);
                break;
            default: {
                p.curve = PviCurve::arc;
                const double turn = std::fabs(std::atan(gb) - std::atan(ga));
                p.radius = (flags & 4 ? -1.0 : 1.0) * f1 * std::min(la, lb) / std::tan(0.5 * turn);
                p.has_stated_length = flags & 8;
                p.stated_length = f2;
                // (a turn of 1e-9 at least: below it this difference of two
                // atans is too coarse to size the arc by)
                c.must_build = c.must_build && fits1 && turn >= 1e-9 &&
                               (!p.has_stated_length || (std::isfinite(f2) && f2 >= 0.0)) &&
                               std::isfinite(p.radius) && p.radius != 0.0;
            }
        }
        c.must_build = c.must_build && finite_all({p.length, p.length_after});
    }
    for (std::size_t i = 0; i < distinct.size(); ++i) {
        c.pvis.push_back(distinct[i]);
        if (repeat_after[i]) {
            PviInput r = distinct[i];
            r.curve = PviCurve::none;
            c.pvis.push_back(r);
        }
    }
}

void read_segments(Reader& in, Case& c, std::size_t n) {
    double s = number(in, -1e4, 1e5), z = number(in, -100.0, 3000.0), g = number(in, -0.1, 0.1);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t flags = in.byte();
        VerticalSegmentInput e;
        e.kind = static_cast<VerticalKind>(flags % 4);
        e.length = number(in, 0.0, 500.0);
        e.start_station = s;
        if (flags & 4) {
            const double off = number(in, -2e-3, 2e-3);
            e.start_station += off;
            c.must_build = c.must_build && std::fabs(off) <= 9e-4;
        }
        e.start_elevation = (flags & 8) ? number(in, -100.0, 3000.0) : z;
        e.start_grade = (flags & 16) ? number(in, -0.1, 0.1) : g;
        e.end_grade = e.kind == VerticalKind::line ? e.start_grade : number(in, -0.1, 0.1);
        bool monotone = true;
        if (e.kind == VerticalKind::clothoid) {
            if (flags & 32) {
                const std::uint8_t wb = in.byte();
                const double w = wb < 64 ? 0.0 : (wb < 128 ? 1.0 : (wb - 128) / 127.0 * 1.6 - 0.3);
                monotone = w >= 0.0 && w <= 1.0;
                const bool fit = fitting_radii(e.length, e.start_grade, e.end_grade, w, e.start_radius, e.end_radius);
                c.must_build = c.must_build && fit && monotone && (e.length >= 1e-3 || e.start_grade == e.end_grade);
            } else {
                e.start_radius = number(in, -5000.0, 5000.0);
                e.end_radius = number(in, -5000.0, 5000.0);
                c.must_build = false;
            }
        }
        c.must_build = c.must_build &&
                       finite_all({e.start_station, e.length, e.start_elevation, e.start_grade, e.end_grade}) &&
                       std::fabs(e.start_grade) <= kMaxModerateGrade && std::fabs(e.end_grade) <= kMaxModerateGrade &&
                       e.length >= 0.0 && e.length <= 1e6 && std::fabs(e.start_station) < 1e8 &&
                       std::fabs(e.start_elevation) < 1e8;
        c.segments.push_back(e);
        c.monotone.push_back(monotone);
        s = e.start_station + e.length;
        z = e.start_elevation + 0.5 * (e.start_grade + e.end_grade) * e.length;
        g = e.end_grade;
    }
    c.must_build = c.must_build && n > 0;
}

void check_error(const ProfileError& e, std::size_t count, const char* item) {
    const std::ptrdiff_t i = e.index();
    if (i < -1 || i >= static_cast<std::ptrdiff_t>(count)) fail("ProfileError index out of range", e.what());
    const std::string prefix = (i < 0 ? std::string("") : std::string(item) + " " + std::to_string(i)) + ": " + e.field() + " ";
    const std::string what = e.what();
    if (e.field().empty() || what.find(prefix) == std::string::npos || (i >= 0 && what.rfind(prefix, 0) != 0))
        fail("ProfileError message does not name its index and field", what);
}

class Queries {
public:
    Queries(const Profile& p, const Case& c) : p_(p), c_(c), scale_(1.0) {
        for (std::size_t k = 0; k < p.size(); ++k) {
            const VerticalSegment& e = p.segment(k);
            scale_ = std::max({scale_, std::fabs(e.start_station), std::fabs(e.start_elevation)});
        }
    }

    double station(Reader& in) const {
        const std::uint8_t tag = in.byte();
        if (tag < 32) return kOdd[tag % kOddCount];
        if (tag < 96) {
            const std::size_t k = in.byte() % p_.size();
            const double s = p_.segment(k).start_station;
            return tag % 3 == 0 ? s : std::nextafter(s, tag % 3 == 1 ? kInf : -kInf);
        }
        if (tag < 240) {
            const double lo = p_.start_station(), hi = p_.end_station();
            return lo + (in.u16() / 65535.0 * 1.2 - 0.1) * (hi - lo);
        }
        return in.raw_double();
    }

    bool in_range(double s) const { return s >= p_.start_station() && s <= p_.end_station(); }

    void at(double s, bool extend) const {
        const double z = p_.elevation(s, extend), g = p_.grade(s, extend);
        const double zz = p_.vertical_curvature(s, extend), k = p_.curvature(s, extend);
        const bool nan = std::isnan(z) && std::isnan(g) && std::isnan(zz) && std::isnan(k);
        if ((std::isnan(s) || (!extend && !in_range(s))) && !nan) fail("profile: no NaN where it must be", show(s));
        if (!in_range(s)) {
            if (p_.segment_index(s) != -1) fail("segment_index outside the range is not -1", show(s));
            return;
        }
        if (c_.must_build && !finite_all({z, g, zz, k})) fail("profile: not finite on a moderate profile", show(s));
        const std::ptrdiff_t i = p_.segment_index(s);
        if (i < 0 || static_cast<std::size_t>(i) >= p_.size()) fail("segment_index out of bounds", show(s));
        const VerticalSegment& e = p_.segment(static_cast<std::size_t>(i));
        if (!(s >= e.start_station && s <= e.end_station)) fail("segment_index names another segment", show(s));
        if (c_.must_build && e.kind != VerticalKind::line && monotone(static_cast<std::size_t>(i))) {
            const double lo = std::min(e.start_grade, e.end_grade), hi = std::max(e.start_grade, e.end_grade);
            if (!(g >= lo - 1e-12 && g <= hi + 1e-12)) fail("grade outside the segment's end grades", show(s));
        }
    }

    void joints() const {
        if (!c_.pvi_mode || !c_.must_build) return;
        // Joints with the segment before that has any extent: a curve
        // shorter than the stations' spacing is a kink, like two grade lines.
        std::size_t prev = 0;
        bool empty_between = false;
        for (std::size_t k = 1; k < p_.size(); ++k) {
            const VerticalSegment& e = p_.segment(k);
            if (!(e.end_station > e.start_station) && k + 1 < p_.size()) {
                empty_between = true;
                continue;
            }
            const double before = std::nextafter(e.start_station, -kInf);
            if (!(std::fabs(p_.elevation(before, false) - e.start_elevation) <= 1e-9 * scale_))
                fail("elevation jumps at a joint", show(e.start_station));
            const bool kink = empty_between || (e.kind == VerticalKind::line && p_.segment(prev).kind == VerticalKind::line);
            // (plus the grade's change over a few ulps of the station)
            const double ulps = 4.0 * (e.start_station - before) * std::fabs(p_.vertical_curvature(before, false));
            if (!kink && !(std::fabs(p_.grade(before, false) - e.start_grade) <= 1e-9 + ulps))
                fail("grade jumps at a tangent point", show(e.start_station));
            prev = k;
            empty_between = false;
        }
        for (const ProfileOverlap& o : p_.overlaps())
            if (!(o.amount > 0.0 && o.amount <= Profile::kOverlapTolerance)) fail("overlap beyond the tolerance");
    }

    void lengths(double a, double b) const {
        const double ab = p_.length_3d(a, b, false), ba = p_.length_3d(b, a, false);
        if (!(std::isnan(ab) && std::isnan(ba)) && ab != -ba) fail("length_3d is not odd", show(a) + " " + show(b));
        if (!(in_range(a) && in_range(b)) || !c_.must_build) return;
        // Segments may leave steps in elevation at joints: there only |b - a|.
        const double dz = c_.pvi_mode ? p_.elevation(b, false) - p_.elevation(a, false) : 0.0;
        const double m = 0.5 * (a + b), chord = std::hypot(b - a, dz);
        if (!(std::fabs(ab) >= chord * (1.0 - 1e-12) - 1e-9 * scale_ * 1e-3))
            fail("length_3d shorter than the chord", show(a) + " " + show(b));
        const double sum = p_.length_3d(a, m, false) + p_.length_3d(m, b, false);
        if (!(std::fabs(ab - sum) <= 1e-12 * std::fabs(ab) + 1e-12 * scale_ * 1e-3))
            fail("length_3d is not additive", show(a) + " " + show(b));
    }

    void chord(std::size_t k, double fa, double fb) const {
        if (!c_.must_build || k >= p_.size() || !monotone(k)) return;
        const VerticalSegment& e = p_.segment(k);
        const double a = e.start_station + fa * (e.end_station - e.start_station);
        const double b = e.start_station + fb * (e.end_station - e.start_station);
        if (!(std::fabs(b - a) > 1e-3) || p_.segment_index(a) != p_.segment_index(b)) return;  // a joint is the next's
        const double slope = (p_.elevation(b, false) - p_.elevation(a, false)) / (b - a);
        const double ga = p_.grade(a, false), gb = p_.grade(b, false);
        const double slack = 1e-9 * scale_ / std::fabs(b - a);
        if (!(slope >= std::min(ga, gb) - slack && slope <= std::max(ga, gb) + slack))
            fail("chord slope outside the grades at its ends", show(a) + " " + show(b));
    }

    void turning_points() const {
        for (const TurningPoint& t : p_.turning_points()) {
            if (!in_range(t.station)) fail("turning point outside the range", show(t.station));
            const double ulps = 4.0 * (std::nextafter(t.station, kInf) - t.station) *
                                std::fabs(p_.vertical_curvature(t.station, false));
            if (c_.must_build && !(std::fabs(p_.grade(t.station, false)) <= 1e-9 + ulps))
                fail("turning point where the grade is not 0", show(t.station));
        }
    }

private:
    // Segment inputs map one to one; PVI curves are parabolas and arcs.
    bool monotone(std::size_t k) const {
        return c_.pvi_mode || (k < c_.monotone.size() && c_.monotone[k] && c_.segments.size() == p_.size());
    }

    const Profile& p_;
    const Case& c_;
    double scale_;
};

// A cant over the profile's range and a straight alignment along it; the
// banked round trip and the frame vectors.
void frame_checks(Reader& in, const std::shared_ptr<const Profile>& p, bool moderate) {
    const double lo = p->start_station(), hi = p->end_station(), len = hi - lo;
    // (One straight element carries the frame: no longer than an element may be.)
    if (!(len > 1.0 && len <= Alignment::kMaxLength) || !moderate) return;
    std::vector<CantStation> stations;
    const std::size_t n = 2 + in.byte() % 6;
    const double gauge = 1.435;
    for (std::size_t i = 0; i < n; ++i) {
        CantStation c;
        c.station = i + 1 == n ? hi : lo + len * double(i) / double(n - 1);
        c.cant = number(in, -0.2, 0.2);
        c.transition = static_cast<Transition>(in.byte() % 5);
        stations.push_back(c);
    }
    std::shared_ptr<const Cant> cant;
    try {
        cant = std::make_shared<const Cant>(stations, gauge, static_cast<RotationAxis>(in.byte() % 3));
    } catch (const ProfileError& e) {
        check_error(e, n, "cant station");
        for (const CantStation& c : stations)
            if (!(std::fabs(c.cant) < gauge)) return;
        fail("cant refused moderate stations", e.what());
    }
    ElementInput straight;
    straight.length = len;
    const double x0 = number(in, -1e6, 1e6), y0 = number(in, -1e6, 1e6), azimuth = number(in, -7.0, 7.0);
    if (!(std::fabs(x0) <= 1e7 && std::fabs(y0) <= 1e7 && std::fabs(azimuth) <= 1e3)) return;
    const auto a = std::make_shared<const Alignment>(lo, x0, y0, azimuth, std::vector<ElementInput>{straight});
    const Frame f(a, p, cant);
    for (int q = 0; q < 3; ++q) {
        const double s = std::min(hi, lo + len * (in.u16() / 65535.0));
        const double o = number(in, -20.0, 20.0), h = number(in, -5.0, 5.0);
        std::size_t i = 0;
        while (i + 2 < n && stations[i + 1].station <= s) ++i;
        const double c = cant->cant(s, false), c0 = stations[i].cant, c1 = stations[i + 1].cant;
        if (!(c >= std::min(c0, c1) - 1e-15 && c <= std::max(c0, c1) + 1e-15))
            fail("cant outside the values of its transition",
                 show(s) + " -> " + show(c) + " between " + show(stations[i].station) + " (" + show(c0) + ") and " +
                     show(stations[i + 1].station) + " (" + show(c1) + ")");
        double xyz[3];
        f.point3d(s, o, h, true, false, xyz[0], xyz[1], xyz[2]);
        if (!finite_all({o, h})) continue;
        Foot foot;
        double dz;
        f.locate3d(xyz, 1, kInf, true, false, &foot, &dz);
        const double tol = 1e-9 * std::max({1.0, std::fabs(xyz[0]), std::fabs(xyz[1]), std::fabs(xyz[2])});
        if (s > lo + 1e-6 && s < hi - 1e-6 && std::fabs(o) <= 100.0 && std::fabs(h) <= 100.0) {
            if (!(std::fabs(foot.station - s) <= 1e3 * tol)) fail("locate3d: another station", show(s));
            // (across a step in elevation between segments the foot may fall on the other side)
            if (p->segment_index(foot.station) == p->segment_index(s) &&
                !(std::fabs(dz * std::cos(cant->angle(s, false)) - h) <= 1e3 * tol))
                fail("locate3d: dz is not the height", show(s) + " " + show(dz) + " h " + show(h) + " o " + show(o) +
                                                            " cant " + show(cant->cant(s, false)) + " foot " +
                                                            show(foot.station) + " " + show(foot.offset) + " z " + show(xyz[2]));
        }
        FrameAxes ax;
        f.axes(s, false, ax);
        const auto dot = [](const double* u, const double* v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; };
        const double checks[] = {dot(ax.tangent, ax.tangent) - 1.0, dot(ax.normal, ax.normal) - 1.0,
                                 dot(ax.up, ax.up) - 1.0, dot(ax.tangent, ax.normal), dot(ax.tangent, ax.up),
                                 dot(ax.normal, ax.up)};
        for (const double v : checks)
            if (!(std::fabs(v) <= 1e-12)) fail("frame vectors not orthonormal", show(s));
    }
}

bool g_dump = false;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* d = std::getenv("CURVIX_FUZZ_DUMP");
    g_dump = d != nullptr && std::strcmp(d, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Case c;
    const std::uint8_t mode = in.byte();
    c.pvi_mode = mode & 1;
    const std::size_t n = in.byte() % (kMaxItems + 1);
    if (c.pvi_mode) read_pvis(in, c, n); else read_segments(in, c, n);
    if (g_dump) {
        for (const PviInput& p : c.pvis)
            std::fprintf(stderr, "pvi %.17g %.17g curve %d %.17g %.17g %.17g\n", p.station, p.elevation,
                         static_cast<int>(p.curve), p.length, p.length_after, p.radius);
        for (const VerticalSegmentInput& e : c.segments)
            std::fprintf(stderr, "segment %d %.17g %.17g %.17g %.17g %.17g %.17g %.17g\n", static_cast<int>(e.kind),
                         e.start_station, e.length, e.start_elevation, e.start_grade, e.end_grade, e.start_radius,
                         e.end_radius);
        std::fprintf(stderr, "must build: %d\n", c.must_build ? 1 : 0);
    }
    std::shared_ptr<const Profile> p;
    try {
        if (c.pvi_mode) p = std::make_shared<const Profile>(c.pvis);
        else p = std::make_shared<const Profile>(c.segments);
    } catch (const ProfileError& e) {
        check_error(e, c.pvi_mode ? c.pvis.size() : c.segments.size(), c.pvi_mode ? "PVI" : "segment");
        if (c.must_build) fail("construction refused a moderate input", e.what());
        return 0;
    } catch (const std::exception& e) {
        fail("construction: undocumented exception", e.what());
    }
    const Queries q(*p, c);
    q.joints();
    for (int op = 0; op < kMaxQueries && in.remaining() > 0; ++op) {
        const std::uint8_t code = in.byte();
        switch (code % 5) {
            case 0:
            case 1: q.at(q.station(in), code & 8); break;
            case 2: {
                const double a = q.station(in);
                q.lengths(a, q.station(in));
                break;
            }
            case 3: {
                const std::size_t k = in.byte() % p->size();
                q.chord(k, in.u16() / 65535.0, in.u16() / 65535.0);
                break;
            }
            default:
                if (code & 8) q.turning_points(); else frame_checks(in, p, c.must_build);
        }
    }
    return 0;
}
