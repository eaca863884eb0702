// Alignment core: spiral series, elements, loading, and the fast paths of the
// station queries against their plain reference forms.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "curvix/alignment/element.hpp"
#include "curvix/alignment/pqx.hpp"
#include "curvix/alignment/spiral_series.hpp"
#include "curvix/geometry/error.hpp"

using namespace curvix;

namespace {

// The series summed term by term as the coefficient tables list them, with
// pow, as the reference for the Horner form.
void series_reference(double R, double A, double s, int type, double& u, double& v) {
    const double sg = (type == 3 || type == 5) ? 1.0 : -1.0;
    struct Term { int p, m, k; double c; };
    const Term tu[] = {{1, 0, 0, 1}, {3, 2, 0, -1.0 / 6}, {4, 1, 2, -1.0 / 8}, {5, 4, 0, 1.0 / 120},
                       {5, 0, 4, -1.0 / 40}, {6, 3, 2, 1.0 / 72}, {7, 6, 0, -1.0 / 5040},
                       {7, 2, 4, 1.0 / 112}, {8, 5, 2, -1.0 / 1920}, {8, 1, 6, 1.0 / 384},
                       {9, 4, 4, -1.0 / 1728}, {9, 0, 8, 1.0 / 3456}, {10, 3, 6, -1.0 / 2880},
                       {11, 2, 8, -1.0 / 8448}, {12, 1, 10, -1.0 / 46080}, {13, 0, 12, -1.0 / 599040}};
    const Term tv[] = {{2, 1, 0, 1.0 / 2}, {3, 0, 2, 1.0 / 6}, {4, 3, 0, -1.0 / 24}, {5, 2, 2, -1.0 / 20},
                       {6, 5, 0, 1.0 / 720}, {6, 1, 4, -1.0 / 48}, {7, 4, 2, 1.0 / 336},
                       {7, 0, 6, -1.0 / 336}, {8, 7, 0, -1.0 / 40320}, {8, 3, 4, 1.0 / 384},
                       {9, 6, 2, -1.0 / 12960}, {9, 2, 6, 1.0 / 864}, {10, 5, 4, -1.0 / 9600},
                       {10, 1, 8, 1.0 / 3840}, {11, 4, 6, -1.0 / 12672}, {11, 0, 10, 1.0 / 42240},
                       {12, 3, 8, -1.0 / 27648}, {13, 2, 10, -1.0 / 99840}, {14, 1, 12, -1.0 / 645120},
                       {15, 0, 14, -1.0 / 9676800}};
    auto sum = [&](const Term* t, int n) {
        double acc = 0.0;
        for (int i = 0; i < n; ++i) {
            const double flip = (t[i].k % 4 == 2) ? sg : 1.0;
            acc += flip * t[i].c * std::pow(s, t[i].p) / std::pow(R, t[i].m) / std::pow(A, t[i].k);
        }
        return acc;
    };
    u = sum(tu, 16);
    v = sum(tv, 20);
}

}  // namespace

struct SeriesCase { double R, A, s; int type; double u, v; };

class SeriesValues : public ::testing::TestWithParam<SeriesCase> {};

TEST_P(SeriesValues, MatchesTheStatedDigits) {
    const SeriesCase c = GetParam();
    double out[2] = {0, 0};
    EXPECT_EQ(spiral_local_coordinates(c.R, c.A, c.s, c.type, out), 0);
    // Stated to 9 or 10 significant digits.
    EXPECT_NEAR(out[0], c.u, 5e-9);
    EXPECT_NEAR(out[1], c.v, 5e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Stated, SeriesValues,
    ::testing::Values(SeriesCase{1e39, 100, 50, 3, 49.92193149, 2.081009340},
                      SeriesCase{200, 100, 50, 4, 49.79187326, 4.159230886},
                      SeriesCase{400, 200, 100, 5, 98.03408827, 16.48705445},
                      SeriesCase{200, 200, 100, 6, 97.26022141, 20.56586364}));

TEST(SpiralSeries, EqualsTheTermByTermSumToRounding) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> radius(50.0, 5000.0), param(30.0, 1500.0), frac(-1.2, 1.2);
    for (int i = 0; i < 2000; ++i) {
        const int type = 3 + i % 4;
        const double R = (i % 5 == 0) ? 1e39 : radius(rng);
        const double A = param(rng);
        // Spirals as built: up to a little beyond the full length A^2/R, and
        // never much past a tangent angle of 0.5 rad, where the cut series
        // stops being a useful approximation.
        const double full = std::fmin(A * A / (R > 1e30 ? 1000.0 : R), A);
        const double s = frac(rng) * full;
        double out[2];
        spiral_local_coordinates(R, A, s, type, out);
        double u, v;
        series_reference(R, A, s, type, u, v);
        const double scale = std::fabs(s) + 1.0;
        EXPECT_NEAR(out[0], u, 1e-12 * scale) << R << " " << A << " " << s << " " << type;
        EXPECT_NEAR(out[1], v, 1e-12 * scale) << R << " " << A << " " << s << " " << type;
    }
}

TEST(SpiralSeries, InfiniteRadiusWithALargeParameterStaysFinite) {
    // A common denominator R^7 * A^14 would overflow here.
    double out[2];
    spiral_local_coordinates(1e39, 1000.0, 500.0, 3, out);
    double u, v;
    series_reference(1e39, 1000.0, 500.0, 3, u, v);
    EXPECT_TRUE(std::isfinite(out[0]) && std::isfinite(out[1]));
    EXPECT_NEAR(out[0], u, 1e-12);
    EXPECT_NEAR(out[1], v, 1e-12);
    // With an infinite start radius the series is the plain clothoid expansion.
    const double S = 500.0, a = 1000.0;
    EXPECT_NEAR(out[0], S - std::pow(S, 5) / (40 * std::pow(a, 4)) + std::pow(S, 9) / (3456 * std::pow(a, 8)) -
                            std::pow(S, 13) / (599040 * std::pow(a, 12)), 1e-12);
    EXPECT_NEAR(out[1], std::pow(S, 3) / (6 * std::pow(a, 2)) - std::pow(S, 7) / (336 * std::pow(a, 6)) +
                            std::pow(S, 11) / (42240 * std::pow(a, 10)) - std::pow(S, 15) / (9676800 * std::pow(a, 14)),
                1e-12);
}

TEST(SpiralSeries, ZeroDistanceIsTheOrigin) {
    for (int type = 3; type <= 6; ++type) {
        double out[2] = {1, 1};
        spiral_local_coordinates(300.0, 150.0, 0.0, type, out);
        EXPECT_EQ(out[0], 0.0);
        EXPECT_EQ(out[1], 0.0);
    }
}

TEST(SpiralSeries, SenseOnlyDependsOnTheGrowthOfCurvature) {
    double a[2], b[2];
    spiral_local_coordinates(400.0, 200.0, 80.0, 3, a);
    spiral_local_coordinates(400.0, 200.0, 80.0, 5, b);
    EXPECT_EQ(a[0], b[0]);
    EXPECT_EQ(a[1], b[1]);
    spiral_local_coordinates(1e39, 200.0, 80.0, 4, b);
    spiral_local_coordinates(1e39, 200.0, 80.0, 3, a);
    EXPECT_NEAR(a[0], b[0], 1e-12);
    EXPECT_NEAR(a[1], -b[1], 1e-12);
}

TEST(SpiralSeries, UnknownTypeFailsBeforeTheNullBufferCheck) {
    for (int type : {0, 1, 2, 7}) {
        try {
            spiral_local_coordinates(100.0, 100.0, 1.0, type, nullptr);
            FAIL() << "type " << type;
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "缓和曲线类型错误.");
        }
    }
}

TEST(SpiralSeries, NullBufferWritesToStandardError) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spiral_local_coordinates(100.0, 100.0, 1.0, 3, nullptr), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "error: null ptr @buf\n");
}

// ------------------------------------------------------------------ elements

TEST(Elements, SpiralsOfEachType) {
    struct Case { int type; double A, r1, r2, len, turn, x, y; };
    const Case cases[] = {{3, 100, 1e39, 200, 50, 0.125, 2.0810093, 49.9219315},
                          {4, 100, 200, 1e39, 50, 0.125, 4.1592309, 49.7918733},
                          {5, 200, 400, 200, 100, 0.375, 16.4870544, 98.0340883},
                          {6, 200, 200, 400, 100, 0.375, 20.5658636, 97.2602214}};
    for (const Case& c : cases) {
        for (int dir : {1, -1}) {
            const Sprial e(c.type, Vector(), Angle(0.0), c.A, c.r1, c.r2, dir);
            EXPECT_NEAR(e.length, c.len, 1e-12);
            EXPECT_NEAR(e.get_end_angle().GetRadian(), dir * c.turn, 1e-15);
            const Vector p = e.get_point(c.len);
            EXPECT_NEAR(p.X(), dir * c.x, 5e-8) << c.type;
            EXPECT_NEAR(p.Y(), c.y, 5e-8) << c.type;
            const Vector o = e.get_point(0.0);
            EXPECT_EQ(o.X(), 0.0);
            EXPECT_EQ(o.Y(), 0.0);
        }
    }
}

TEST(Elements, ArcQuarterTurnAndFullCircle) {
    const double pi = Angle::PI;
    for (int dir : {1, -1}) {
        const Arc arc(Vector(), Angle(0.0), 100.0, 50 * pi, dir);
        const Vector p = arc.get_point(50 * pi);
        EXPECT_NEAR(p.X(), dir * 100.0, 1e-12);
        EXPECT_NEAR(p.Y(), 100.0, 1e-12);
        EXPECT_NEAR(arc.get_end_angle().GetRadian(), dir * pi / 2, 1e-15);
        const Vector q = arc.get_point(200 * pi);
        EXPECT_NEAR(q.X(), 0.0, 1e-12);
        EXPECT_NEAR(q.Y(), 0.0, 1e-12);
    }
}

TEST(Elements, StraightFollowsItsAzimuth) {
    const Straight north(Vector(1, 2, 0), Angle(0.0), 10.0);
    EXPECT_EQ(north.get_point(10).X(), 1.0);
    EXPECT_EQ(north.get_point(10).Y(), 12.0);
    const Straight east(Vector(), Angle(Angle::PI / 2), 10.0);
    EXPECT_NEAR(east.get_point(10).X(), 10.0, 1e-15);
    EXPECT_NEAR(east.get_point(10).Y(), 0.0, 1e-15);
}

// ------------------------------------------------------------------- loading

TEST(Loading, WorkedExampleHasFiveElementsWithTheirAzimuths) {
    const auto p = PQX::from_bytes(
        "100\n250.5,400.25,0.5\n// first tangent\n1,100\n3,100,100,1\n2,100,50,1\n4,100,100,1\n1,150\n0,0,0");
    ASSERT_EQ(p->elements.size(), 5u);
    EXPECT_EQ(p->end_pk, 600.0);
    const double starts[] = {0.5, 0.5, 1.0, 1.5, 2.0};
    const int types[] = {1, 3, 2, 4, 1};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(p->elements[i]->type, types[i]);
        EXPECT_NEAR(p->elements[i]->start_angle.GetRadian(), starts[i], 1e-15);
    }
    EXPECT_NEAR(p->elements[4]->get_end_angle().GetRadian(), 2.0, 1e-15);
    // Each element starts where the previous one ends.
    for (std::size_t i = 1; i < 5; ++i) {
        const Vector end = p->elements[i - 1]->get_point(p->elements[i - 1]->length);
        EXPECT_EQ(end.X(), p->elements[i]->start_point.X());
        EXPECT_EQ(end.Y(), p->elements[i]->start_point.Y());
    }
}

// ------------------------------------------------------------ fast paths

namespace {

std::string long_alignment() {
    std::string text = "1000\n5000,3000,0.4\n";
    for (int i = 0; i < 60; ++i) {
        const int d = (i % 2) ? 1 : -1;
        text += "1," + std::to_string(100 + 7 * i) + "\n";
        text += "3,300,900," + std::to_string(d) + "\n";
        text += "2,900," + std::to_string(50 + i) + "," + std::to_string(d) + "\n";
        text += "4,300,900," + std::to_string(d) + "\n";
        text += "2,1e39,0,1\n";  // a zero-length element among them
    }
    return text;
}

// The element choice as a scan from the start finds it.
std::pair<std::size_t, double> scan(const PQX& p, double pk) {
    std::vector<double> s{p.start_pk};
    for (const auto& e : p.elements) s.push_back(s.back() + e->length);
    const std::size_t n = p.elements.size();
    std::size_t i = 0;
    while (i <= n && !(s[i] > pk)) ++i;
    const std::size_t k = (i == n + 1) ? n : i;
    return {k - 1, pk == p.end_pk ? s[n - 1] : s[k - 1]};
}

// The halving search exactly as written, without reuse of distances.
Candidate plain_halving(const PQX& p, double a, double b, const Vector& pt, double eps) {
    auto snap = [&](double s) { return std::fabs(s - p.end_pk) < 1e-6 ? p.end_pk : s; };
    double lo = a, hi = b, m = (hi + lo) * 0.5;
    while (std::fabs(hi - lo) > eps) {
        const double da = p.get_coordinate(lo).distance_point(pt);
        const double db = p.get_coordinate(snap(hi)).distance_point(pt);
        const double mid = (hi + lo) * 0.5;
        if (db > da) hi = mid; else lo = mid;
        m = (hi + lo) * 0.5;
    }
    const double d1 = p.get_coordinate(m).distance_point(pt);
    const double d2 = p.get_coordinate(snap(m)).distance_point(pt);
    return {m, d2 > d1 ? d1 : d2};
}

}  // namespace

TEST(FastPaths, BinarySearchPicksTheScansElement) {
    const auto p = PQX::from_bytes(long_alignment());
    const auto& table = p->station_table();
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(p->start_pk, p->end_pk);
    std::vector<double> probes(table.begin(), table.end());
    for (int i = 0; i < 20000; ++i) probes.push_back(u(rng));
    probes.push_back(p->end_pk);
    for (double pk : probes) {
        if (pk > p->end_pk) continue;
        EXPECT_EQ(p->locate(pk), scan(*p, pk)) << pk;
    }
}

TEST(FastPaths, TableFollowsAWrittenStartStation) {
    auto p = PQX::from_bytes(long_alignment());
    p->start_pk = -250.5;
    p->end_pk -= 1250.5;
    EXPECT_EQ(p->station_table().front(), -250.5);
    for (double pk : {-250.5, 0.0, 1234.5, p->end_pk}) EXPECT_EQ(p->locate(pk), scan(*p, pk));
}

TEST(FastPaths, HalvingSearchIsBitIdenticalToThePlainForm) {
    const auto p = PQX::from_bytes(long_alignment());
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(p->start_pk, p->end_pk);
    for (int i = 0; i < 300; ++i) {
        const double s = u(rng);
        const Vector q = p->get_coordinate(s);
        const Vector pt(q.X() + 15.0, q.Y() - 4.0, 0.0);
        const double w = (i % 3 == 0) ? p->end_pk - s : 137.25;
        Candidate fast;
        p->binary_test(s, s + w, pt, 1e-9, fast);
        const Candidate plain = plain_halving(*p, s, s + w, pt, 1e-9);
        EXPECT_EQ(fast.first, plain.first);
        EXPECT_EQ(fast.second, plain.second);
    }
}
