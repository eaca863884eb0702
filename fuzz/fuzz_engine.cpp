// libFuzzer target: the alignment engine (curvix::engine::Alignment) with
// arbitrary element chains and arbitrary queries.
//
// The input is a program. The header builds a chain: a flags byte, the start
// station, x, y and azimuth, an element count, then per element a flags byte
// (explicit start point, explicit azimuth, kind), its length and curvatures
// and the explicit values. Each value is a tag byte followed, for some tags,
// by its operand: a special IEEE value, a value near the chain's own scale,
// or eight raw bytes (fuzz/make_engine_corpus.py writes real alignments that
// way). Then each further byte is a query with its operands: point, azimuth,
// curvature, element index, nearest, every local minimum, crossings.
//
// Oracles, beyond "no crash, no undocumented exception":
//   - construction throws ElementError only, and accepts every moderate
//     chain of finite values, non-negative lengths, turns within kMaxTurn
//     and a representable change of curvature per unit length (moderate:
//     within the engine's largest length and coordinate, with room for
//     every end point);
//   - on a moderate chain (coordinates, lengths and curvatures well inside
//     the range of doubles) finite queries give finite answers;
//   - NaN in gives NaN out; outside the range without extend gives NaN;
//   - element_index is -1 outside the range and names the element whose
//     station range holds the station inside it;
//   - nearest: a station inside the range, |offset| == distance, a distance
//     no larger than the distance to either end or to any point of the
//     alignment the input names (up to 1e-9 of the scale);
//   - local minima: inside the range, within max_distance, sorted by
//     distance, none nearer than the nearest point;
//   - crossings: inside the range, sorted by station, angle in [0, pi/2],
//     the point on the alignment at its station and on its segment (or on
//     the line) within 1e-6 of the scale.

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
#include <stdexcept>
#include <string>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "fuzz_support.hpp"

namespace {

using curvix::engine::Alignment;
using curvix::engine::Crossing;
using curvix::engine::ElementError;
using curvix::engine::ElementInput;
using curvix::engine::Foot;
using namespace curvix_fuzz;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;
// Elements per chain: long enough for real alignments (the samples have 21
// and 40), short enough that each execution stays fast.
constexpr std::size_t kMaxElements = 64;
constexpr int kMaxQueries = 8;
// A moderate chain: every value well inside the range of doubles, so that
// no sum or product of them can overflow (kModerate, also the range of the
// queries checked on it), and inside the engine's limits: lengths up to
// kMaxLength, the start points and all lengths together within half the
// largest coordinate each (kModeratePlacement), so every end point lies
// within it.
constexpr double kModerate = 1e9;
constexpr double kModeratePlacement = 0.49 * Alignment::kMaxCoordinate;
constexpr double kModerateCurvature = 1e6;

const double kSpecial[] = {0.0,    -0.0,  kNaN,   kInf,   -kInf,    1e-9,  -1e-9, 1e-300,
                           5e-324, DBL_MAX, -DBL_MAX, 1.0, -1.0,    0.5,   1e16,  1e-6,
                           100.0,  -100.0, 1e-3,  -1e-3,  1e308,   1e4,   2.0 * kPi, kPi / 2};
constexpr std::size_t kSpecialCount = sizeof kSpecial / sizeof kSpecial[0];

// A value: tag < 64 a special value, < 128 a small multiple of the scale
// (16 bits, -2 to 2 scales), < 192 a small curvature (16 bits, -0.02 to
// 0.02), else eight raw bytes.
double value(Reader& in, double scale) {
    const std::uint8_t tag = in.byte();
    if (tag < 64) return kSpecial[tag % kSpecialCount];
    if (tag < 128) return (in.u16() / 65535.0 * 4.0 - 2.0) * scale;
    if (tag < 192) return (in.u16() / 65535.0 - 0.5) * 0.04;
    return in.raw_double();
}

struct Chain {
    double start_station = 0.0, x = 0.0, y = 0.0, azimuth = 0.0;
    std::vector<ElementInput> elements;
};

// CURVIX_FUZZ_NO_GAPS=1 drops the explicit start points (which leave gaps
// at joints), so that a long run goes on past faults already known there.
bool g_no_gaps = false;
// CURVIX_FUZZ_DUMP=1 prints each chain read (to reproduce a finding).
bool g_dump = false;

Chain read_chain(Reader& in) {
    Chain c;
    const double scale = 1000.0;
    c.start_station = value(in, scale);
    c.x = value(in, scale);
    c.y = value(in, scale);
    c.azimuth = value(in, 1.0);
    const std::size_t n = in.byte() % (kMaxElements + 1);
    for (std::size_t k = 0; k < n; ++k) {
        ElementInput e;
        const std::uint8_t flags = in.byte();
        e.length = value(in, scale);
        // kind: 0 line, 1 arc, 2 and 3 a clothoid with both curvatures read
        switch ((flags >> 2) & 3) {
            case 0: break;
            case 1: e.k0 = e.k1 = value(in, 0.01); break;
            default:
                e.k0 = value(in, 0.01);
                e.k1 = value(in, 0.01);
        }
        if (flags & 1) {
            e.has_start = !g_no_gaps;
            e.x = value(in, scale);
            e.y = value(in, scale);
        }
        if (flags & 2) {
            e.has_azimuth = true;
            e.azimuth = value(in, 1.0);
        }
        c.elements.push_back(e);
    }
    return c;
}

bool finite(double v) { return std::isfinite(v); }

// The total turn of an element, the integral of |kappa| over its length.
double total_turn(const ElementInput& e) {
    const double a = std::fabs(e.k0), b = std::fabs(e.k1);
    if (a + b == 0.0) return 0.0;
    if ((e.k0 >= 0.0) == (e.k1 >= 0.0) || e.k0 == 0.0 || e.k1 == 0.0) return e.length * (a + b) / 2.0;
    return e.length * (a * a + b * b) / (2.0 * (a + b));
}

bool moderate(const Chain& c);

// Whether the constructor must accept the chain: every value finite, the
// lengths >= 0, each turn within kMaxTurn and its curvature's change per
// unit length a double (with a margin where rounding decides), on a chain
// whose sums cannot overflow.
bool must_build(const Chain& c) {
    if (c.elements.empty() || !moderate(c)) return false;
    for (const ElementInput& e : c.elements) {
        if (!(e.length >= 0.0)) return false;  // (moderate: every value finite)
        if (!(total_turn(e) < Alignment::kMaxTurn * (1.0 - 1e-9))) return false;
        if (e.length > 0.0 && !(std::fabs(e.k1 - e.k0) / e.length < DBL_MAX / 2)) return false;
    }
    return true;
}

// Every value finite and small enough that the engine's sums and products stay far
// from overflow, so that finite queries must give finite answers.
bool moderate(const Chain& c) {
    auto ok = [](double v, double limit) { return std::fabs(v) <= limit; };
    if (!(ok(c.start_station, kModerate) && ok(c.x, kModeratePlacement) && ok(c.y, kModeratePlacement) &&
          ok(c.azimuth, 1e6))) {
        return false;
    }
    double total = 0.0;
    for (const ElementInput& e : c.elements) {
        if (!(ok(e.length, Alignment::kMaxLength) && ok(e.k0, kModerateCurvature) &&
              ok(e.k1, kModerateCurvature))) {
            return false;
        }
        if (e.has_start && !(ok(e.x, kModeratePlacement) && ok(e.y, kModeratePlacement))) return false;
        if (e.has_azimuth && !ok(e.azimuth, 1e6)) return false;
        total += e.length;
    }
    return total <= kModeratePlacement;
}

class Engine {
public:
    Engine(const Alignment& a, bool moderate) : a_(a), moderate_(moderate) {
        lo_ = a.start_station();
        hi_ = a.end_station();
        scale_ = std::max({1.0, std::fabs(lo_), std::fabs(hi_), a.length()});
        for (std::size_t k = 0; k < a.size(); ++k) {
            const auto& e = a.element(k);
            for (double v : {e.x0, e.y0, e.x1, e.y1}) scale_ = std::max(scale_, std::fabs(v));
            if (moderate && !(finite(e.x0) && finite(e.y0) && finite(e.x1) && finite(e.y1) &&
                              finite(e.azimuth0) && finite(e.azimuth1))) {
                fail("moderate chain with an element end that is not finite", std::to_string(k));
            }
            if (!(e.start_station <= e.end_station)) fail("element stations out of order");
        }
        a.point(lo_, 0.0, false, sx_, sy_);
        a.point(hi_, 0.0, false, ex_, ey_);
    }

    double scale() const { return scale_; }

    // A query value: tag < 64 special, < 96 a station of the chain (a joint
    // or its neighbours), < 192 a position around the range or the chain's
    // coordinates, else raw.
    double station(Reader& in) {
        const std::uint8_t tag = in.byte();
        if (tag < 64) return kSpecial[tag % kSpecialCount];
        if (tag < 96) {
            const std::size_t k = in.byte() % (a_.size() + 1);
            const double s = k == a_.size() ? hi_ : a_.element(k).start_station;
            switch (tag % 3) {
                case 0: return s;
                case 1: return std::nextafter(s, kInf);
                default: return std::nextafter(s, -kInf);
            }
        }
        if (tag < 192) return lo_ + (in.u16() / 65535.0 * 1.2 - 0.1) * (hi_ - lo_);
        return in.raw_double();
    }

    void coordinate(Reader& in, double& x, double& y) {
        const std::uint8_t tag = in.byte();
        if (tag < 32) {
            x = kSpecial[tag % kSpecialCount];
            y = kSpecial[in.byte() % kSpecialCount];
        } else if (tag < 192) {
            // Near a point of the alignment, within a few of its lengths.
            double px, py;
            a_.point(lo_ + (in.u16() / 65535.0) * (hi_ - lo_), 0.0, false, px, py);
            const double r = std::max(1.0, a_.length()) * 0.1 * std::pow(2.0, in.byte() % 8);
            x = px + (in.u16() / 65535.0 * 2.0 - 1.0) * r;
            y = py + (in.u16() / 65535.0 * 2.0 - 1.0) * r;
        } else {
            x = in.raw_double();
            y = in.raw_double();
        }
    }

    bool in_range(double s) const { return s >= lo_ && s <= hi_; }

    void point(double s, double o, bool extend) {
        double x, y;
        a_.point(s, o, extend, x, y);
        if (std::isnan(s) && !(std::isnan(x) && std::isnan(y))) fail("point at NaN is not NaN");
        if (!extend && !in_range(s) && !(std::isnan(x) && std::isnan(y))) {
            fail("point outside the range without extend is not NaN", show(s));
        }
        if (moderate_ && in_range(s) && std::fabs(o) <= kModerate && !(finite(x) && finite(y))) {
            fail("point not finite on a moderate chain", show(s) + " " + show(o));
        }
    }

    void tangent(double s, bool extend) {
        const double az = a_.azimuth(s, extend);
        const double k = a_.curvature(s, extend);
        if (std::isnan(s) && !(std::isnan(az) && std::isnan(k))) fail("azimuth or curvature at NaN");
        if (!extend && !in_range(s) && !(std::isnan(az) && std::isnan(k))) {
            fail("azimuth or curvature outside the range is not NaN", show(s));
        }
        if (moderate_ && in_range(s) && !(finite(az) && finite(k))) {
            fail("azimuth or curvature not finite on a moderate chain", show(s));
        }
        const std::ptrdiff_t i = a_.element_index(s);
        if (!in_range(s)) {
            if (i != -1) fail("element_index outside the range is not -1", show(s));
            return;
        }
        if (i < 0 || static_cast<std::size_t>(i) >= a_.size()) fail("element_index out of bounds");
        const auto& e = a_.element(static_cast<std::size_t>(i));
        if (!(s >= e.start_station && s <= e.end_station)) {
            fail("element_index names an element that does not hold the station", show(s));
        }
        // The curvature is linear along the element: between its ends.
        const double k_lo = std::min(e.k0, e.k1), k_hi = std::max(e.k0, e.k1);
        const double slack = 1e-9 * std::max(std::fabs(e.k0), std::fabs(e.k1));
        if (finite(k) && !(k >= k_lo - slack && k <= k_hi + slack)) {
            fail("curvature outside the element's range", show(s) + " -> " + show(k));
        }
    }

    double tol() const { return 1e-9 * scale_; }

    void nearest(double x, double y, double max_distance, double probe) {
        const Foot f = a_.nearest(x, y, max_distance);
        const bool query_finite = finite(x) && finite(y);
        if (!query_finite || std::isnan(f.station)) {
            if (!(std::isnan(f.station) && std::isnan(f.offset) && std::isnan(f.distance) &&
                  f.element == -1)) {
                fail("nearest: a partial answer", show(f.station) + " " + show(f.distance));
            }
            if (!query_finite) return;
            // Nothing within max_distance: the ends are farther.
            if (moderate_ && max_distance == kInf) fail("nearest: nothing found without a limit");
            if (moderate_ && std::hypot(x - sx_, y - sy_) < max_distance - tol()) {
                fail("nearest: nothing found though the start lies within max_distance");
            }
            return;
        }
        const std::string where = show(x) + " " + show(y) + " -> station " + show(f.station) +
                                  " distance " + show(f.distance);
        if (!in_range(f.station)) fail("nearest: station outside the range", where);
        if (f.element < 0 || static_cast<std::size_t>(f.element) >= a_.size()) {
            fail("nearest: element out of bounds", where);
        }
        if (!(f.distance >= 0.0) || std::fabs(f.offset) != f.distance) {
            fail("nearest: |offset| != distance", where);
        }
        if (f.distance > max_distance) fail("nearest: beyond max_distance", where);
        if (!moderate_ || std::fabs(x) > kModerate || std::fabs(y) > kModerate) return;
        if (!finite(f.distance)) fail("nearest: distance not finite", where);
        const double t = tol() + 1e-9 * f.distance;
        if (f.distance > std::hypot(x - sx_, y - sy_) + t) fail("nearest: farther than the start", where);
        if (f.distance > std::hypot(x - ex_, y - ey_) + t) fail("nearest: farther than the end", where);
        double px, py;
        a_.point(probe, 0.0, false, px, py);
        if (finite(px) && f.distance > std::hypot(x - px, y - py) + t) {
            fail("nearest: farther than the point at a station", where + " station " + show(probe));
        }
    }

    void minima(double x, double y, double max_distance) {
        std::vector<Foot> feet;
        a_.local_minima(x, y, max_distance, feet);
        if (!(finite(x) && finite(y))) {
            if (!feet.empty()) fail("local_minima for a point that is not finite");
            return;
        }
        const std::string where = show(x) + " " + show(y);
        const Foot best = a_.nearest(x, y, max_distance);
        for (std::size_t i = 0; i < feet.size(); ++i) {
            const Foot& f = feet[i];
            if (!in_range(f.station)) fail("local_minima: station outside the range", where);
            // A distance past the largest double (a query near -DBL_MAX) is inf, and so is the offset.
            const bool overflow = f.distance == kInf && std::fabs(f.offset) == kInf;
            if (moderate_ && !((finite(f.offset) || overflow) && f.element >= 0))
                fail("local_minima: no foot", where);
            if (!(f.distance <= max_distance)) fail("local_minima: beyond max_distance", where);
            if (std::fabs(f.offset) != f.distance) fail("local_minima: |offset| != distance", where);
            if (i > 0 && f.distance < feet[i - 1].distance) fail("local_minima: not sorted", where);
            if (moderate_ && f.distance < best.distance - tol() - 1e-9 * best.distance) {
                fail("local_minima: nearer than the nearest point", where);
            }
        }
    }

    void crossings(const std::vector<double>& xy, bool infinite) {
        std::vector<Crossing> out;
        const std::size_t m = infinite ? 2 : xy.size() / 2;
        a_.crossings(xy.data(), m, infinite, out);
        bool all_finite = true;
        double scale = scale_;
        for (std::size_t i = 0; i < 2 * m; ++i) {
            all_finite = all_finite && finite(xy[i]);
            scale = std::max(scale, std::fabs(xy[i]));
        }
        const double tol = 1e-6 * scale;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const Crossing& c = out[i];
            const std::string where = "crossing " + std::to_string(i) + " at " + show(c.station);
            if (!in_range(c.station)) fail("crossings: station outside the range", where);
            if (i > 0 && c.station < out[i - 1].station) fail("crossings: not sorted", where);
            if (!(c.angle >= 0.0 && c.angle <= kPi / 2 + 1e-12)) fail("crossings: angle", where);
            if (c.segment >= (infinite ? 1 : m - 1)) fail("crossings: segment out of bounds", where);
            if (!moderate_ || !all_finite || scale > kModerate) continue;
            double px, py;
            a_.point(c.station, 0.0, false, px, py);
            if (!(std::hypot(px - c.x, py - c.y) <= tol) && !joint_point(c, tol)) {
                fail("crossings: the point is not the alignment's point at its station",
                     where + " (" + show(c.x) + ", " + show(c.y) + ") alignment (" + show(px) + ", " +
                         show(py) + ")");
            }
            const std::size_t j = infinite ? 0 : c.segment;
            if (!(distance_to_line(c.x, c.y, &xy[2 * j], infinite) <= tol)) {
                fail("crossings: the point does not lie on its segment",
                     where + " (" + show(c.x) + ", " + show(c.y) + ") segment (" + show(xy[2 * j]) +
                         ", " + show(xy[2 * j + 1]) + ") (" + show(xy[2 * j + 2]) + ", " +
                         show(xy[2 * j + 3]) + ")" + (infinite ? " infinite" : ""));
            }
        }
    }

private:
    // A joint station names only the point of the element that starts
    // there; at a gap (or past zero-length elements) a crossing may lie at
    // the end of the element before, at any zero-length element's start,
    // or, across a gap the engine bridges (kJointGap, 1 mm), on its chord.
    bool joint_point(const Crossing& c, double tol) const {
        for (std::size_t k = 0; k < a_.size(); ++k) {
            const auto& e = a_.element(k);
            if (e.end_station != c.station) continue;
            if (std::hypot(e.x1 - c.x, e.y1 - c.y) <= tol) return true;
            if (e.start_station == c.station && std::hypot(e.x0 - c.x, e.y0 - c.y) <= tol) return true;
            for (std::size_t j = k + 1; j < a_.size() && a_.element(j).start_station == c.station; ++j) {
                const auto& n = a_.element(j);
                const double chord[4] = {e.x1, e.y1, n.x0, n.y0};
                if (std::hypot(n.x0 - e.x1, n.y0 - e.y1) <= 1e-3 + tol &&
                    distance_to_line(c.x, c.y, chord, false) <= tol) {
                    return true;
                }
            }
        }
        return false;
    }

    // Distance from (x, y) to the segment (or line) through ab[0..3]; the
    // direction is scaled to length ~1 first, as two points 1e-306 apart
    // square to nothing.
    static double distance_to_line(double x, double y, const double* ab, bool infinite) {
        const double dx = ab[2] - ab[0], dy = ab[3] - ab[1];
        const double px = x - ab[0], py = y - ab[1];
        const double m = std::max(std::fabs(dx), std::fabs(dy));
        if (m == 0.0) return std::hypot(px, py);
        const double ux = dx / m, uy = dy / m;
        const double s = (px * ux + py * uy) / (ux * ux + uy * uy);  // along (ux, uy)
        if (infinite) return std::hypot(px - s * ux, py - s * uy);
        const double t = std::min(1.0, std::max(0.0, s / m));       // along (dx, dy)
        return std::hypot(px - t * dx, py - t * dy);
    }

    const Alignment& a_;
    bool moderate_;
    double lo_ = 0.0, hi_ = 0.0, scale_ = 1.0;
    double sx_ = 0.0, sy_ = 0.0, ex_ = 0.0, ey_ = 0.0;
};

void run_queries(Reader& in, Engine& q) {
    for (int op = 0; op < kMaxQueries && in.remaining() > 0; ++op) {
        const std::uint8_t code = in.byte();
        switch (code % 6) {
            case 0: {
                const double s = q.station(in);
                const double o = value(in, 10.0);
                q.point(s, o, code & 8);
                break;
            }
            case 1:
            case 2: q.tangent(q.station(in), code & 8); break;
            case 3:
            case 4: {
                double x, y;
                q.coordinate(in, x, y);
                const double limit = (code & 8) ? std::fabs(value(in, q.scale())) : kInf;
                if (code % 6 == 3) {
                    q.nearest(x, y, limit, q.station(in));
                } else {
                    q.minima(x, y, limit);
                }
                break;
            }
            default: {
                const bool infinite = code & 8;
                const std::size_t m = infinite ? 2 : 2 + in.byte() % 7;
                std::vector<double> xy(2 * m);
                for (std::size_t i = 0; i < m; ++i) q.coordinate(in, xy[2 * i], xy[2 * i + 1]);
                q.crossings(xy, infinite);
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* v = std::getenv("CURVIX_FUZZ_NO_GAPS");
    g_no_gaps = v != nullptr && std::strcmp(v, "1") == 0;
    const char* d = std::getenv("CURVIX_FUZZ_DUMP");
    g_dump = d != nullptr && std::strcmp(d, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const Chain c = read_chain(in);
    if (g_dump) {
        std::fprintf(stderr, "chain: station %.17g at (%.17g, %.17g) azimuth %.17g\n", c.start_station,
                     c.x, c.y, c.azimuth);
        for (const ElementInput& e : c.elements) {
            std::fprintf(stderr, "  length %.17g k %.17g .. %.17g", e.length, e.k0, e.k1);
            if (e.has_start) std::fprintf(stderr, " start (%.17g, %.17g)", e.x, e.y);
            if (e.has_azimuth) std::fprintf(stderr, " azimuth %.17g", e.azimuth);
            std::fprintf(stderr, "\n");
        }
    }
    std::unique_ptr<Alignment> a;
    try {
        a = std::make_unique<Alignment>(c.start_station, c.x, c.y, c.azimuth, c.elements);
    } catch (const ElementError& e) {
        if (must_build(c)) fail("construction refused a valid chain", e.what());
        if (std::strlen(e.what()) == 0) fail("ElementError without a message");
        return 0;
    } catch (const std::exception& e) {
        fail("construction: undocumented exception", e.what());
    }
    if (c.elements.empty()) fail("construction accepted a chain without elements");
    Engine q(*a, moderate(c));
    run_queries(in, q);
    return 0;
}
