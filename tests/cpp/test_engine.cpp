// The alignment engine: exact points against quadrature, chaining and
// continuation, the point searches against dense scans, bad input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "curvix/engine/alignment.hpp"

using namespace curvix::engine;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHalfPi = 1.5707963267948966;

ElementInput el(double length, double k0, double k1) {
    ElementInput e;
    std::tie(e.length, e.k0, e.k1) = std::make_tuple(length, k0, k1);
    return e;
}

// A chain of n random elements turning smoothly (straights, arcs,
// clothoids; radii 150 m and up, lengths 20 to 400 m).
std::vector<ElementInput> random_chain(std::mt19937_64& rng, int n) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<ElementInput> v;
    double k = 0.0;
    for (int i = 0; i < n; ++i) {
        const double L = 20.0 + 380.0 * u(rng);
        const int kind = static_cast<int>(3.0 * u(rng));
        const double k1 = kind == 0 ? 0.0 : (u(rng) - 0.5) / 75.0;
        v.push_back(el(L, kind == 2 ? k : k1, kind == 0 ? 0.0 : k1));
        k = v.back().k1;
    }
    return v;
}

}  // namespace

// ---------------------------------------------------------------- points

struct Golden { double a0, k0, k1, L, t, dx, dy; };

// Displacements from the element start, by tests/cpp/engine_golden.py
// (mpmath tanh-sinh quadrature at 40 digits), printed to 17 digits.
const Golden kGolden[] = {
    {0.7, 0.0, 0.0012566370614359172, 10000.0, 3333.0, 2617.6905265693765, 1945.3394750729538},  // spiral_2pi_10km
    {0.7, 0.0, 0.0012566370614359172, 10000.0, 7777.7, 3841.1262852252481, -637.75342224542927},  // spiral_2pi_10km
    {0.7, 0.0, 0.0012566370614359172, 10000.0, 10000.0, 2886.0013931762927, 761.01174487570342},  // spiral_2pi_10km
    {-2.5, -0.0006666666666666666, -0.00125, 300.0, 123.4, -69.193191032254879, -102.11704229415491},  // spiral_between_radii_left
    {-2.5, -0.0006666666666666666, -0.00125, 300.0, 300.0, -146.58401481889819, -260.55923700403492},  // spiral_between_radii_left
    {13.0, -0.002, 0.0025, 2000.0, 444.0, 27.556823758638358, 434.90311795093243},  // spiral_through_inflection
    {13.0, -0.002, 0.0025, 2000.0, 888.8, -137.49948794254604, 846.89000993691281},  // spiral_through_inflection
    {13.0, -0.002, 0.0025, 2000.0, 2000.0, -137.76908934248727, 1865.7189633473767},  // spiral_through_inflection
    {4.0, 0.001, 0.001, 9000.0, 2500.0, -1630.2312465916354, 971.92248339574381},  // arc_9000m
    {4.0, 0.001, 0.001, 9000.0, 9000.0, -1561.090402313808, 1176.9695321345693},  // arc_9000m
    {-1.0, 0.0, 0.0, 9000.0, 8765.4321, -7375.8567814537484, 4735.9831755606102},  // straight
};

void PrintTo(const Golden& g, std::ostream* os) { *os << "a0=" << g.a0 << " k1=" << g.k1 << " t=" << g.t; }

class GoldenPoints : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenPoints, WithinOneNanometreAtAnyPlacement) {
    const Golden g = GetParam();
    for (const double x0 : {0.0, 9876543.21, -1.0e7}) {
        const double y0 = -0.75 * x0 + 0.5;
        const Alignment a(1000.0, x0, y0, g.a0, {el(g.L, g.k0, g.k1)});
        double x, y;
        a.point(1000.0 + g.t, 0.0, false, x, y);
        // x - x0 is exact (Sterbenz), so this is the error of x itself.
        EXPECT_NEAR(x - x0, g.dx, 1e-9) << x0;
        EXPECT_NEAR(y - y0, g.dy, 1e-9) << x0;
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, GoldenPoints, ::testing::ValuesIn(kGolden));

// One clothoid cut into consecutive elements is the same curve: the
// chaining, the piece sums and the station lookup agree across joints.
TEST(EngineChain, CutClothoidEqualsWholeAndJointsAreContinuous) {
    const double L = 10000.0, k1 = 0.0012566370614359172;
    const Alignment whole(0.0, 3.0e6, 5.0e6, 0.7, {el(L, 0.0, k1)});
    std::vector<ElementInput> parts;
    const double cuts[] = {0.0, 1234.5, 1234.5, 5000.0, 9999.0, L};
    for (int i = 0; i < 5; ++i)
        parts.push_back(el(cuts[i + 1] - cuts[i], k1 * cuts[i] / L, k1 * cuts[i + 1] / L));
    const Alignment cut(0.0, 3.0e6, 5.0e6, 0.7, parts);
    ASSERT_EQ(cut.end_station(), L);
    for (double s = 0.0; s <= L; s += 37.25) {
        double xa, ya, xb, yb;
        whole.point(s, 0.0, false, xa, ya);
        cut.point(s, 0.0, false, xb, yb);
        EXPECT_NEAR(xa, xb, 2e-9) << s;  // two roundings at 5e6
        EXPECT_NEAR(ya, yb, 2e-9) << s;
        EXPECT_NEAR(whole.azimuth(s, false), cut.azimuth(s, false), 1e-13) << s;
    }
    for (std::size_t k = 1; k < cut.size(); ++k) {
        const double s = cut.element(k).start_station;
        double xa, ya, xb, yb;
        cut.point(std::nextafter(s, -kInf), 0.0, false, xa, ya);
        cut.point(s, 0.0, false, xb, yb);
        EXPECT_LE(std::hypot(xa - xb, ya - yb), 1e-9);
        // The joint belongs to the element starting there (the empty one at 1234.5 too).
        EXPECT_EQ(cut.element_index(s), k == 1 ? 2 : static_cast<std::ptrdiff_t>(k));
    }
    EXPECT_EQ(cut.element_index(L), 4);
    EXPECT_EQ(cut.element_index(std::nextafter(L, kInf)), -1);
    EXPECT_EQ(cut.element_index(kNaN), -1);
}

// Point, azimuth, curvature and offsets are one curve: the difference
// quotient of the points is the unit tangent at the azimuth, that of the
// azimuth is the curvature, the offset goes to the right.
TEST(EngineChain, PointAzimuthCurvatureAndOffsetAgree) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<ElementInput> inputs = random_chain(rng, 8);
        std::tie(inputs[3].has_azimuth, inputs[3].azimuth) = std::make_tuple(true, 1.0);  // an angle break
        std::tie(inputs[5].has_start, inputs[5].x, inputs[5].y) = std::make_tuple(true, 400.0, -300.0);  // a gap
        const Alignment a(50.0, 1e5, 2e5, -0.3, inputs);
        for (double s = a.start_station() + 0.5; s < a.end_station() - 0.5; s += 9.7) {
            const double h = 1e-3;
            double x0, y0, x1, y1, xo, yo, x, y;
            a.point(s - h, 0.0, false, x0, y0);
            a.point(s + h, 0.0, false, x1, y1);
            a.point(s, 0.0, false, x, y);
            a.point(s, 2.5, false, xo, yo);
            if (a.element_index(s - h) != a.element_index(s + h)) continue;
            const double az = a.azimuth(s, false);
            EXPECT_NEAR((x1 - x0) / (2 * h), std::sin(az), 1e-6);
            EXPECT_NEAR((y1 - y0) / (2 * h), std::cos(az), 1e-6);
            EXPECT_NEAR((a.azimuth(s + h, false) - a.azimuth(s - h, false)) / (2 * h),
                        a.curvature(s, false), 1e-9);
            EXPECT_NEAR(xo - x, 2.5 * std::cos(az), 1e-9);
            EXPECT_NEAR(yo - y, -2.5 * std::sin(az), 1e-9);
        }
    }
}

// Continuation: a clothoid beyond the end is the longer clothoid, up to
// its cap; arcs continue on their circle without one.
TEST(EngineExtend, ContinuesTheEndCurves) {
    const double k = 1.0 / 300.0;
    const Alignment a(0.0, 10.0, 20.0, 0.2, {el(100.0, 1.0 / 500, 1.0 / 500), el(200.0, 0.0, k)});
    const Alignment longer(0.0, 10.0, 20.0, 0.2, {el(100.0, 1.0 / 500, 1.0 / 500), el(400.0, 0.0, 2 * k)});
    for (const double s : {300.0 + 1e-9, 310.0, 450.0, 500.0}) {
        double xa, ya, xb, yb;
        a.point(s, 0.0, true, xa, ya);
        longer.point(s, 0.0, false, xb, yb);
        EXPECT_NEAR(xa, xb, 1e-9) << s;
        EXPECT_NEAR(ya, yb, 1e-9) << s;
        EXPECT_NEAR(a.azimuth(s, true), longer.azimuth(s, false), 1e-12);
        EXPECT_TRUE(std::isnan(a.azimuth(s, false)));
    }
    double x, y;
    a.point(1e6, 0.0, true, x, y);
    EXPECT_TRUE(std::isnan(x) && std::isnan(y));  // beyond the clothoid's cap
    // Below the start, on the arc's circle (centre 500 m to the right).
    const double cx = 10.0 + 500.0 * std::cos(0.2), cy = 20.0 - 500.0 * std::sin(0.2);
    for (const double s : {-1.0, -700.0, -1e5}) {
        a.point(s, 0.0, true, x, y);
        EXPECT_NEAR(std::hypot(x - cx, y - cy), 500.0, 1e-9) << s;
        EXPECT_EQ(a.curvature(s, true), 1.0 / 500);
    }
}

// A batch of stations is answered stage by stage, kind by kind and two
// series at a time: the same bits as one station at a time, for every kind
// of element, with and without coefficient tables (past 16,384 series
// pieces), inside, outside, at the joints and at non-finite stations.
TEST(EngineBatch, PointsAreTheSingleQueriesBitForBit) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (const int n : {7, 300, 20000}) {
        std::vector<ElementInput> inputs = random_chain(rng, n);
        inputs[n / 2].shape = Shape::cosine;  // pieces of its own, tables always
        inputs[n / 2].k1 = inputs[n / 2].k0 + 0.004;
        // clothoids of one to six series pieces, and one of many
        for (const double L : {20.0, 100.0, 220.0, 390.0, 610.0, 900.0}) inputs.push_back(el(L, 0.0, 1.0 / 300));
        inputs.push_back(el(5000.0, 1.0 / 300, 0.0));
        for (const bool shaped : {false, true}) {
            std::vector<ElementInput> in = inputs;
            if (!shaped) in[n / 2].shape = Shape::clothoid;
            const Alignment a(0.0, 3.0e5, 6.0e6, 1.1, in);
            std::vector<double> s, o;
            for (int i = 0; i < 3000; ++i) {
                const double lo = a.start_station() - 300.0, hi = a.end_station() + 300.0;
                s.push_back(lo + (hi - lo) * u(rng));
                o.push_back(i % 3 == 0 ? 0.0 : 40.0 * (u(rng) - 0.5));
            }
            for (std::size_t k = 1; k < a.size(); k += a.size() / 5 + 1) s[k] = a.element(k).start_station;
            s[1] = kNaN, s[2] = kInf, s[3] = -kInf, s[4] = a.end_station(), s[5] = a.start_station();
            o[6] = kNaN;
            for (const bool extend : {false, true}) {
                std::vector<double> xy(2 * s.size());
                a.points(s.data(), o.data(), s.size(), extend, xy.data());
                for (std::size_t i = 0; i < s.size(); ++i) {
                    double x, y;
                    a.point(s[i], o[i], extend, x, y);
                    ASSERT_TRUE(std::memcmp(&x, &xy[2 * i], 8) == 0 && std::memcmp(&y, &xy[2 * i + 1], 8) == 0)
                        << "n " << n << " station " << s[i] << " offset " << o[i] << " extend " << extend;
                }
            }
        }
    }
}

// ------------------------------------------------------------ point search

// A hairpin that crosses itself: 300 m, a 3/2 turn on 60 m, 300 m.
std::vector<ElementInput> loop_chain() {
    return {el(300.0, 0.0, 0.0), el(60.0 * 1.5 * 3.141592653589793, 1.0 / 60, 1.0 / 60), el(300.0, 0.0, 0.0)};
}

// Distances from (x, y) to the alignment every h along it.
std::vector<double> scan(const Alignment& a, double x, double y, double h) {
    std::vector<double> d;
    for (double s = a.start_station(); s <= a.end_station(); s += h) {
        double px, py;
        a.point(s, 0.0, false, px, py);
        d.push_back(std::hypot(px - x, py - y));
    }
    return d;
}

TEST(EngineNearest, GlobalFootAndEveryLocalMinimumAgainstADenseScan) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double h = 0.05;
    for (int trial = 0; trial < 12; ++trial) {
        const bool loop = trial % 3 == 0;
        const Alignment a(0.0, 5e5, 4e6, u(rng), loop ? loop_chain() : random_chain(rng, 10));
        for (int q = 0; q < 25; ++q) {
            double x, y, fx, fy;
            a.point(a.length() * (0.5 + 0.6 * u(rng)), 150.0 * u(rng), true, x, y);
            const std::vector<double> d = scan(a, x, y, h);
            const Foot f = a.nearest(x, y, kInf);
            a.point(f.station, 0.0, false, fx, fy);
            EXPECT_NEAR(std::hypot(x - fx, y - fy), f.distance, 1e-9);
            EXPECT_EQ(std::fabs(f.offset), f.distance);
            EXPECT_LE(f.distance, *std::min_element(d.begin(), d.end()) + 1e-9);
            const double az = a.azimuth(f.station, false);
            if (f.station > 0.0 && f.station < a.end_station()) {  // the chains turn smoothly
                EXPECT_NEAR((x - fx) * std::sin(az) + (y - fy) * std::cos(az), 0.0, 2e-9);  // roundings at 4e6
            }
            if (!loop) continue;
            std::vector<double> minima;  // of the scan, ends included
            for (std::size_t i = 0; i < d.size(); ++i)
                if ((i == 0 || d[i] < d[i - 1]) && (i + 1 == d.size() || d[i] < d[i + 1]) && d[i] < 200.0)
                    minima.push_back(static_cast<double>(i) * h);
            std::vector<Foot> m;
            a.local_minima(x, y, 200.0, m);
            ASSERT_EQ(m.size(), minima.size()) << x << " " << y;
            for (std::size_t i = 0; i < m.size(); ++i) {
                EXPECT_TRUE(i == 0 || m[i].distance >= m[i - 1].distance);
                EXPECT_TRUE(std::any_of(minima.begin(), minima.end(), [&](double s) { return std::fabs(s - m[i].station) < h; }));
            }
        }
    }
}

// Near a smooth joint the distances, rounded at 4e6, cannot tell the joint
// from the foot a few 1e-5 m beyond it; the foot must still be the normal one.
// Smallest input seen: a clothoid 0.0004 -> 0 over 158 m into a straight at
// (-5.5e5, 4.09e6), foot 4.2e-5 m past the joint at 42 m (the joint came back).
TEST(EngineNearest, FootNextToASmoothJointIsTheNormalFoot) {
    const Alignment a(0.0, -5.5e5, 4.09e6, 0.3, {el(158.16, 4e-4, 0.0), el(1178.5, 0.0, 0.0), el(300.0, 0.0, 1 / 900.0)});
    for (const std::size_t k : {1, 2})
        for (const double delta : {-4e-5, -1e-5, 1e-5, 4e-5})
            for (const double off : {-42.0, 42.0}) {
                const double s = a.element(k).start_station + delta;
                double x, y;
                a.point(s, off, false, x, y);
                EXPECT_NEAR(a.nearest(x, y, kInf).station, s, 1e-8) << k << " " << delta << " " << off;
            }
}

// Fuzzed: a line (0,0)->(0,100), then an arc placed at (150, 10); from
// (-102.4, 144.6) the end of the line (111.7 away) was passed over for a foot
// on the arc 264.4 away: the end of an element before a gap is a minimum.
TEST(EngineNearest, EndOfAnElementBeforeAGapIsAMinimum) {
    std::vector<ElementInput> v{el(100.0, 0.0, 0.0), el(100.0, 0.002, 0.002)};
    v[1].has_start = true;
    v[1].x = 150.0;
    v[1].y = 10.0;
    const Alignment a(0.0, 0.0, 0.0, 0.0, std::move(v));
    const Foot f = a.nearest(-102.43253600192602, 144.63386945574874, kInf);
    EXPECT_EQ(f.element, 0);
    EXPECT_EQ(f.station, 100.0);
    EXPECT_NEAR(f.distance, std::hypot(102.43253600192602, 44.63386945574874), 1e-9);
    std::vector<Foot> all;
    a.local_minima(-102.43253600192602, 144.63386945574874, kInf, all);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().station, 100.0);
}

// Every sign change of the distance to a segment seen by a dense scan is a
// crossing; lines tangent to the alignment give one crossing at angle 0,
// moved off by twice the tolerance none (outside) or two (inside).
TEST(EngineCrossings, EverySignChangeAndTangentLines) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double h = 0.05;
    int tangent_cases = 0;
    for (int trial = 0; trial < 12; ++trial) {
        const Alignment a(0.0, 5e5, 4e6, u(rng), trial % 3 == 0 ? loop_chain() : random_chain(rng, 10));
        double xy[8];
        for (int i = 0; i < 4; ++i) a.point(a.length() * (0.5 + 0.5 * u(rng)), 200.0 * u(rng), false, xy[2 * i], xy[2 * i + 1]);
        std::vector<Crossing> c, line;
        a.crossings(xy, 4, false, c);
        a.crossings(xy, 2, true, line);  // the whole line through the first segment
        std::size_t expected = 0, on_line = 0;
        for (std::size_t seg = 0; seg < 3; ++seg) {
            const double* p = xy + 2 * seg;
            const double len = std::hypot(p[2] - p[0], p[3] - p[1]);
            const double nx = (p[3] - p[1]) / len, ny = -(p[2] - p[0]) / len;
            double prev = kNaN;
            for (double s = 0.0; s <= a.end_station(); s += h) {
                double x, y;
                a.point(s, 0.0, false, x, y);
                const double f = nx * (x - p[0]) + ny * (y - p[1]);
                const double along = ((x - p[0]) * (p[2] - p[0]) + (y - p[1]) * (p[3] - p[1])) / (len * len);
                on_line += seg == 0 && prev * f < 0.0;
                if (prev * f < 0.0 && along > 1e-3 && along < 1 - 1e-3) {
                    ++expected;
                    EXPECT_TRUE(std::any_of(c.begin(), c.end(), [&](const Crossing& k) {
                        return k.segment == seg && std::fabs(k.station - s) < 2 * h; })) << s;
                }
                prev = f;
            }
        }
        EXPECT_EQ(line.size(), on_line);
        EXPECT_LE(expected, c.size());
        EXPECT_LE(c.size(), expected + 2);  // vertices within 1e-3 of the ends of a segment
        for (std::size_t i = 1; i < c.size(); ++i) EXPECT_LE(c[i - 1].station, c[i].station);
        // A vertex on the alignment, the polyline crossing or bouncing there: once.
        const double sv = a.length() * (0.5 + 0.4 * u(rng)), b1 = 3 * u(rng), b2 = 3 * u(rng);
        double v[6];
        a.point(sv, 0.0, false, v[2], v[3]);
        std::tie(v[0], v[1], v[4], v[5]) = std::make_tuple(v[2] + 30 * std::sin(b1), v[3] + 30 * std::cos(b1), v[2] + 30 * std::sin(b2), v[3] + 30 * std::cos(b2));
        c.clear();
        a.crossings(v, 3, false, c);
        EXPECT_EQ(std::count_if(c.begin(), c.end(), [&](const Crossing& x) { return std::fabs(x.station - sv) < 1e-6; }), 1);

        // Mid-arc, so that no inflection brings the curve back across the
        // tangent line nearby.
        std::size_t arc = 0;
        while (arc < a.size() && (a.element(arc).kind != Kind::arc || a.element(arc).length < 80)) ++arc;
        if (arc == a.size()) continue;
        ++tangent_cases;
        const double s0 = 0.5 * (a.element(arc).start_station + a.element(arc).end_station);
        const double k = a.curvature(s0, false), az = a.azimuth(s0, false), tol = 4e6 * 1e-12;
        const double reach = 1 + 3 * std::sqrt(tol / std::fabs(k));
        for (const double shift : {0.0, 0.5, -2.0, 2.0}) {  // times the tolerance, towards the centre
            double line[4];
            a.point(s0, shift * tol * (k > 0 ? 1 : -1), false, line[0], line[1]);
            line[2] = line[0] + 50 * std::sin(az);
            line[3] = line[1] + 50 * std::cos(az);
            line[0] -= 50 * std::sin(az);
            line[1] -= 50 * std::cos(az);
            c.clear();
            a.crossings(line, 2, false, c);
            const auto is_near = [&](const Crossing& x) { return std::fabs(x.station - s0) < reach; };
            const auto near = std::count_if(c.begin(), c.end(), is_near);
            EXPECT_EQ(near, shift < 1 ? (shift < 0 ? 0 : 1) : 2) << s0;
            if (near == 1) {
                EXPECT_EQ(std::find_if(c.begin(), c.end(), is_near)->angle, 0.0);
            }
        }
    }
    EXPECT_GE(tangent_cases, 8);
}

// A crossing whose distances from the line are subnormal: the sign change
// is read from the signs, as their product underflows to zero. Smallest input
// seen: a 0.5 m straight from (0, 0) heading east and the line through (0, 1)
// and (5e-324, 0), crossing at the start (through (1e-300, 0) it was found).
TEST(EngineCrossings, SignChangeOfSubnormalDistancesIsACrossing) {
    struct Case { double azimuth, k, length, station; };
    const Case cases[] = {{kHalfPi, 0.0, 0.5, 0.0}, {kHalfPi, 1.0, 1.0, 0.0},
                          {2.0 * kHalfPi, 0.0, 10.0, 0.0}, {0.0, 0.0, 10.0, 1.0}};
    for (const Case& c : cases)
        for (const double dx : {1e-300, 5e-324})
            for (const bool infinite : {false, true}) {
                const Alignment a(0.0, 0.0, 0.0, c.azimuth, {el(c.length, c.k, c.k)});
                const double line[4] = {0.0, 1.0, dx, 0.0};
                std::vector<Crossing> found;
                a.crossings(line, 2, infinite, found);
                ASSERT_EQ(found.size(), 1u) << c.azimuth << " " << dx;
                EXPECT_NEAR(found[0].station, c.station, 1e-12);
            }
}

// --------------------------------------------------------------- bad input

TEST(EngineInput, AnyDoubleAnswersWithoutCrashing) {
    std::mt19937_64 rng(3);
    const Alignment a(0.0, 1e7, -1e7, 0.0, random_chain(rng, 6));
    const double odd[] = {kNaN, kInf, -kInf, 1e308, -1e308, 5e-324, 0.0, -0.0, 1e-300};
    for (const double s : odd) {
        for (const double o : odd) {
            double x, y;
            a.point(s, o, true, x, y);
            a.point(s, o, false, x, y);
            if (std::isnan(s) || std::isnan(o)) {
                EXPECT_TRUE(std::isnan(x) && std::isnan(y));
            }
            (void)a.azimuth(s, true);
            (void)a.curvature(s, true);
            std::vector<Foot> m;
            a.local_minima(s, o, 1e300, m);
            const Foot f = a.nearest(s, o, kInf);
            if (std::isnan(s) || std::isnan(o)) {
                EXPECT_TRUE(m.empty() && f.element == -1);
            }
            const double xy[4] = {s, o, o, s};
            std::vector<Crossing> c;
            a.crossings(xy, 2, true, c);
        }
        if (std::isfinite(s)) {
            EXPECT_FALSE(std::isnan(a.azimuth(s, true)));
        }
    }
}

struct BadCase {
    const char* what;
    std::ptrdiff_t element;
    const char* field;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.what; }

class BadConstruction : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadConstruction, NamesElementAndField) {
    const BadCase c = GetParam();
    std::vector<ElementInput> v = {el(100.0, 0.0, 0.0), el(50.0, 0.0, 0.01), el(10.0, 0.01, 0.01)};
    double start = 0.0, x = 0.0, y = 0.0;
    const std::string w = c.what;
    if (w == "nan length") v[2].length = kNaN;
    if (w == "negative length") v[1].length = -1.0;
    if (w == "inf curvature") v[1].k1 = kInf;
    if (w == "nan start x") { v[2].has_start = true; v[2].x = kNaN; }
    if (w == "inf azimuth") { v[0].has_azimuth = true; v[0].azimuth = kInf; }
    if (w == "nan start station") start = kNaN;
    if (w == "no elements") v.clear();
    if (w == "turns too far") v[1] = el(1e5, -1.0, 1.0);  // no net turn, 2.5e4 rad each way
    // The limits, one rule for every reader. Smallest input seen: a LandXML
    // <Line length="1e308"> (or the ICD line "1,1e308") was accepted, and
    // point(1000) gave the start point (its one series piece, centred at
    // 5e307, cannot hold 1000).
    if (w == "huge length") { v[0].length = 1e308; v[1] = el(1e308, 0.0, 0.0); }
    if (w == "far start") x = -2e8;
    if (w == "far explicit start") { v[2].has_start = true; v[2].y = 1.5e8; }
    if (w == "far end point") y = 1e8 - 50.0;
    try {
        const Alignment a(start, x, y, 0.0, v);
        FAIL() << "accepted " << c.what;
    } catch (const ElementError& e) {
        EXPECT_EQ(e.element(), c.element);
        EXPECT_EQ(e.field(), c.field);
        EXPECT_STREQ(e.what(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, BadConstruction, ::testing::Values(
    BadCase{"nan length", 2, "length", "element 3: length must be finite and >= 0, got nan"},
    BadCase{"negative length", 1, "length", "element 2: length must be finite and >= 0, got -1"},
    BadCase{"inf curvature", 1, "end_curvature", "element 2: end_curvature must be finite, got inf"},
    BadCase{"nan start x", 2, "x", "element 3: x must be finite, got nan"},
    BadCase{"inf azimuth", 0, "azimuth", "element 1: azimuth must be finite, got inf"},
    BadCase{"nan start station", -1, "start_station", "alignment start: start_station must be finite, got nan"},
    BadCase{"no elements", -1, "elements", "alignment start: elements must hold at least one element"},
    BadCase{"turns too far", 1, "length",
            "element 2: length makes the element turn by 50000 rad, more than the 1000 rad one element may turn"},
    BadCase{"huge length", 0, "length", "element 1: length must be at most 1e+06, got 1e+308"},
    BadCase{"far start", -1, "x", "alignment start: x must be at most 1e+08 in absolute value, got -200000000"},
    BadCase{"far explicit start", 2, "y", "element 3: y must be at most 1e+08 in absolute value, got 150000000"},
    BadCase{"far end point", 0, "length",
            "element 1: length puts the end point's y at 100000050, beyond 1e+08 in absolute value"}));
