// libFuzzer target: the station and point queries of PQX and the planix
// intersections with arbitrary doubles (NaN, infinities, subnormals, huge
// values, the alignment's own boundary stations and their neighbours),
// tolerances <= 0 and interval counts from -1 to 3000.
//
// The input is a program: a byte chooses the alignment (the 10 km sample,
// the worked example, an alignment of one straight, the empty one), a byte
// whether start_pk and end_pk are overwritten as Python may do, then each
// further byte an operation followed by its operands. Every call must return
// or throw its documented failure; libFuzzer's -timeout catches a call that
// does not end.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "curvix/alignment/pqx.hpp"
#include "curvix/geometry/error.hpp"
#include "fuzz_support.hpp"
#include "planix/intersection.hpp"
#include "sample_alignment.hpp"

namespace {

using curvix::Candidate;
using curvix::PQX;
using curvix::Vector;
using namespace curvix_fuzz;

constexpr int kIntervalBudget = 3000;
constexpr const char* kNoElements = "the alignment has no elements";
constexpr const char* kWorkedExample =
    "100\n250.5,400.25,0.5\n// first tangent\n1,100\n3,100,100,1\n2,100,50,1\n"
    "4,100,100,1\n1,150\n0,0,0";
constexpr const char* kOneStraight = "0\n0,0,0\n1,100\n";

std::unique_ptr<PQX> make_alignment(std::uint8_t which) {
    switch (which % 4) {
        case 0: return PQX::from_bytes(curvix_fuzz::kSampleAlignment);
        case 1: return PQX::from_bytes(kWorkedExample);
        case 2: return PQX::from_bytes(kOneStraight);
        default: return std::make_unique<PQX>();
    }
}

// Operands: a byte picks a value that matters to the alignment or to IEEE
// arithmetic, or asks for eight raw bytes taken as a double.
class Operands {
public:
    Operands(Reader& in, const PQX& p) : in_(in), lo_(p.start_pk), hi_(p.end_pk) {
        const double inf = std::numeric_limits<double>::infinity();
        special_ = {0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e-9, -1e-9,
                    1e-300, 5e-324, DBL_MAX, -DBL_MAX, 1.0, 0.5, 8388608.0, 1e16, 1e-6};
        for (double s : p.station_table()) {
            stations_.push_back(s);
            stations_.push_back(std::nextafter(s, inf));
            stations_.push_back(std::nextafter(s, -inf));
        }
        for (double s : {p.start_pk, p.end_pk}) {
            stations_.push_back(s);
            stations_.push_back(std::nextafter(s, inf));
            stations_.push_back(std::nextafter(s, -inf));
            stations_.push_back(s + 1e-6);
            stations_.push_back(s - 1e-6);
        }
    }

    double next() {
        const std::uint8_t tag = in_.byte();
        if (tag < 64) return special_[tag % special_.size()];
        if (tag < 128) return stations_[(tag - 64) % stations_.size()];
        // A station in and around the alignment's range.
        if (tag < 160) return lo_ + (in_.int_in(0, 65535) / 65535.0 * 1.2 - 0.1) * (hi_ - lo_);
        return in_.raw_double();
    }

private:
    Reader& in_;
    double lo_;
    double hi_;
    std::vector<double> special_;
    std::vector<double> stations_;
};

// Runs one query; a failure other than the documented ones aborts.
template <class Fn>
void guarded(const PQX& p, const char* name, Fn&& fn,
             std::initializer_list<const char*> invalid_argument_texts = {}) {
    try {
        fn();
    } catch (const std::invalid_argument& e) {
        if (std::strcmp(e.what(), kNoElements) == 0) {
            if (!p.elements.empty()) fail(name, "no-elements failure on an alignment with elements");
            return;
        }
        expect_text(e, name, invalid_argument_texts);
    } catch (const std::exception& e) {
        // curvix::Error ("读取ICD文件错误.") is raised only for points with
        // Z != 0, which no loaded alignment has.
        fail(name, std::string("undocumented exception: ") + e.what());
    }
}

void coordinate(const PQX& p, double pk) {
    guarded(p, "get_coordinate", [&] {
        const Vector v = p.get_coordinate(pk);
        if (pk < p.start_pk) {
            if (!same(v, p.get_coordinate(p.start_pk))) fail("below start_pk differs from start_pk");
        } else if (!(pk <= p.end_pk) && !is_zero(v)) {
            fail("above end_pk or NaN is not the zero vector", show(pk));
        }
        if (v.Z() != 0.0 && !std::isnan(v.Z())) fail("a point with Z != 0", show(v.Z()));
    });
}

void direction(const PQX& p, double pk, double d) {
    guarded(p, "get_dir", [&] {
        if (p.get_dir(pk, d).Z() != 0.0) fail("get_dir with Z != 0");
    });
}

// A search answers a station of the bracket it searched, up to rounding.
bool within(double s, double a, double b) {
    const double slack = 1e-9 * (1.0 + std::fmax(std::fabs(a), std::fabs(b)));
    return s >= std::fmin(a, b) - slack && s <= std::fmax(a, b) + slack;
}

void nearest(const PQX& p, double x, double y, int n, double eps) {
    guarded(
        p, "get_station_by_point",
        [&] {
            const double s = p.get_station_by_point(x, y, n, eps);
            if (n <= 0) fail("get_station_by_point accepted n <= 0");
            // (A range wider than the largest double has no finite step.)
            if (p.start_pk <= p.end_pk && std::isfinite(p.end_pk - p.start_pk) &&
                !within(s, p.start_pk, p.end_pk)) {
                fail("get_station_by_point outside [start_pk, end_pk]", show(s));
            }
        },
        {"n must be a positive number of intervals"});
}

void crossing(const PQX& p, double x1, double y1, double x2, double y2, double eps) {
    guarded(p, "get_station_by_point2", [&] { p.get_station_by_point2(x1, y1, x2, y2, eps); },
            {"the line does not cross the alignment between start_pk and end_pk "
             "(or crosses it an even number of times)"});
}

void side(const PQX& p, double x, double y) {
    guarded(p, "get_side", [&] {
        const int s = p.get_side(x, y);
        if (s != 1 && s != -1 && s != 0) fail("get_side outside {-1, 0, 1}");
    });
}

void halving(const PQX& p, double a, double b, double x, double y, double eps) {
    guarded(p, "binary_test", [&] {
        Candidate out;
        p.binary_test(a, b, Vector(x, y, 0.0), eps, out);
        if (std::isfinite(a) && std::isfinite(b) && !within(out.first, a, b)) {
            fail("binary_test outside [a, b]", show(out.first));
        }
    });
}

bool all_finite(std::initializer_list<double> values) {
    for (double v : values) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

void segment_circle(double cx, double cy, double r, double x1, double y1, double x2, double y2) {
    const std::optional<planix::Point> q =
        planix::intersect_segment_circle({cx, cy}, r, {x1, y1}, {x2, y2});
    if (q && all_finite({cx, cy, r, x1, y1, x2, y2, x2 - x1, y2 - y1}) && !all_finite({q->x, q->y})) {
        fail("segment/circle: a point that is not finite from finite input",
             show(cx) + " " + show(cy) + " " + show(r) + " " + show(x1) + " " + show(y1) + " " +
                 show(x2) + " " + show(y2));
    }
}

void segment_segment(double a, double b, double c, double d, double e, double f, double g,
                     double h) {
    const std::optional<planix::Point> q = planix::intersect_segments({a, b}, {c, d}, {e, f}, {g, h});
    if (!q) return;
    const std::string args = show(a) + " " + show(b) + " " + show(c) + " " + show(d) + " " +
                             show(e) + " " + show(f) + " " + show(g) + " " + show(h) + " -> " +
                             show(q->x) + " " + show(q->y);
    if (!all_finite({a, b, c, d, e, f, g, h})) fail("segment/segment: a point from non-finite input", args);
    double scale = 0.0;
    for (double v : {a, b, c, d, e, f, g, h}) scale = std::fmax(scale, std::fabs(v));
    if (!all_finite({q->x, q->y})) fail("segment/segment: a point that is not finite", args);
    // The point lies on both segments' boxes, up to rounding at their scale.
    // Segments that Boost takes for touching can have boxes that miss each
    // other by rounding; the point then lies in the gap between them.
    const double gap_x = std::fmax(std::fmin(a, c), std::fmin(e, g)) - std::fmin(std::fmax(a, c), std::fmax(e, g));
    const double gap_y = std::fmax(std::fmin(b, d), std::fmin(f, h)) - std::fmin(std::fmax(b, d), std::fmax(f, h));
    const double gap = std::fmax(0.0, std::fmax(gap_x, gap_y));
    if (gap > 1e-8 * (1.0 + scale)) fail("segment/segment: a point for segments whose boxes are apart", args);
    const double tol = 1e-9 * (1.0 + scale) + gap;
    auto within = [&](double v, double p, double q2) {
        return v >= std::fmin(p, q2) - tol && v <= std::fmax(p, q2) + tol;
    };
    if (!(within(q->x, a, c) && within(q->y, b, d) && within(q->x, e, g) && within(q->y, f, h))) {
        fail("segment/segment: a point outside the boxes of the segments", args);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::unique_ptr<PQX> p = make_alignment(in.byte());
    const std::uint8_t overwrite = in.byte();
    {
        Operands pre(in, *p);
        if (overwrite & 1) p->start_pk = pre.next();
        if (overwrite & 2) p->end_pk = pre.next();
    }
    Operands x(in, *p);

    // A few operations per input keep every execution short.
    int intervals_left = kIntervalBudget;
    for (int op = 0; op < 8 && in.remaining() > 0; ++op) {
        switch (in.byte() % 8) {
            case 0: coordinate(*p, x.next()); break;
            case 1: {
                const double pk = x.next();
                direction(*p, pk, x.next());
                break;
            }
            case 2: {
                const double px = x.next();
                const double py = x.next();
                // Each interval costs a point evaluation: one input searches
                // at most kIntervalBudget of them in all, so that every count
                // stays reachable while executions stay short.
                int n = in.int_in(-1, kIntervalBudget);
                if (n > intervals_left) n %= intervals_left + 1;
                intervals_left -= std::max(n, 0);
                nearest(*p, px, py, n, x.next());
                break;
            }
            case 3: {
                const double x1 = x.next(), y1 = x.next(), x2 = x.next(), y2 = x.next();
                crossing(*p, x1, y1, x2, y2, x.next());
                break;
            }
            case 4: {
                const double px = x.next();
                side(*p, px, x.next());
                break;
            }
            case 5: {
                const double a = x.next(), b = x.next(), px = x.next(), py = x.next();
                halving(*p, a, b, px, py, x.next());
                break;
            }
            case 6: {
                const double cx = x.next(), cy = x.next(), r = x.next();
                const double x1 = x.next(), y1 = x.next(), x2 = x.next();
                segment_circle(cx, cy, r, x1, y1, x2, x.next());
                break;
            }
            default: {
                const double a = x.next(), b = x.next(), c = x.next(), d = x.next();
                const double e = x.next(), f = x.next(), g = x.next();
                segment_segment(a, b, c, d, e, f, g, x.next());
                break;
            }
        }
    }
    return 0;
}
