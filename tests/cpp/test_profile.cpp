// The vertical profile, cant and 3D frame: PVI curves against golden
// geometry, continuity and bounds on random profiles, cant transitions, the
// banked cross-section, bad input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "curvix/engine/frame.hpp"

using namespace curvix::engine;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// a: the length (before the PVI) or the radius
PviInput pvi(double s, double z, PviCurve c = PviCurve::none, double a = 0.0, double b = 0.0) { return {s, z, c, a, b, a}; }

// stn02-station-equation.xml's ProfAlign, and a profile of parabolas
// (tests/cpp/profile_golden.py has the same).
const std::vector<PviInput> kStn02 = {
    pvi(-153.09999999999999, 5), pvi(349.90386424768337, 5.0000000000000444, PviCurve::arc, 5000),
    pvi(649.90386425105748, 1.9999999999990399, PviCurve::arc, 5000), pvi(876.27206425108523, 2),
    pvi(1078.547, 1.9999999999998828, PviCurve::arc, 5000), pvi(1278.547, 4.0000000000002984, PviCurve::arc, 3000),
    pvi(1305.495, 4)};
const std::vector<PviInput> kParabolas = {pvi(0, 100), pvi(300, 109, PviCurve::asymmetric_parabola, 120, 60),
                                          pvi(500, 103, PviCurve::parabola, 100), pvi(800, 112)};

// Random PVIs 200 to 600 apart, grades within +-6 %, each interior PVI with
// no curve, a parabola, an asymmetric parabola or an arc reaching at most
// 40 % into each tangent.
std::vector<PviInput> random_pvis(std::mt19937_64& rng, int n) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<PviInput> v{pvi(1000.0 * u(rng), 300.0 * u(rng))};
    for (int i = 1; i < n; ++i) {
        const double ds = 200.0 + 400.0 * u(rng);
        v.push_back(pvi(v.back().station + ds, v.back().elevation + ds * 0.12 * (u(rng) - 0.5)));
    }
    for (int i = 1; i + 1 < n; ++i) {
        PviInput& p = v[static_cast<std::size_t>(i)];
        const PviInput& a = v[static_cast<std::size_t>(i - 1)];
        const PviInput& b = v[static_cast<std::size_t>(i + 1)];
        const double la = p.station - a.station, lb = b.station - p.station, reach = 0.4 * u(rng);
        const double ga = (p.elevation - a.elevation) / la, gb = (b.elevation - p.elevation) / lb;
        const double turn = std::fabs(std::atan(gb) - std::atan(ga));
        if (i % 4 == 1) p = pvi(p.station, p.elevation, PviCurve::parabola, 2.0 * reach * std::min(la, lb));
        if (i % 4 == 2) p = pvi(p.station, p.elevation, PviCurve::asymmetric_parabola, reach * la, 0.4 * u(rng) * lb);
        if (i % 4 == 3) p = pvi(p.station, p.elevation, PviCurve::arc, reach * std::min(la, lb) / std::tan(0.5 * turn));
    }
    return v;
}

double below(double s) { return std::nextafter(s, -kInf); }

}  // namespace

// ------------------------------------------------------------ PVI curves

struct GoldenCurve {
    const char* profile;
    std::size_t pvi;
    double s0, z0, s1, z1, z_at_pvi;
};

// tests/cpp/profile_golden.py (mpmath, 40 digits), printed to 17 digits.
const GoldenCurve kGoldenCurves[] = {
    {"stn02", 1, 324.90448921670789, 5.0000000000000422, 374.90198940364718, 4.7500187484431342, 4.9375027342152853},  // arc
    {"stn02", 2, 624.9057390950833, 2.2499812515560539, 674.90323928204335, 1.9999999999991459, 2.0624972657838509},  // arc
    {"stn02", 4, 1053.5476249687453, 1.9999999999998973, 1103.545125156243, 2.2499812515623644, 2.0624972657860379},  // arc
    {"stn02", 5, 1263.5481249062385, 3.850011249062652, 1293.5466250187686, 4.0000000000001323, 3.9625016405285266},  // arc
    {"parabolas", 1, 180.0, 105.4, 360.0, 107.2, 107.8},  // asymmetric_parabola
    {"parabolas", 2, 450.0, 104.5, 550.0, 104.5, 103.75},  // parabola
};

void PrintTo(const GoldenCurve& g, std::ostream* os) { *os << g.profile << " PVI " << g.pvi; }

class PviGolden : public ::testing::TestWithParam<GoldenCurve> {};

TEST_P(PviGolden, TangentPointsAndElevationAtThePvi) {
    const GoldenCurve g = GetParam();
    const Profile p(std::string(g.profile) == "stn02" ? kStn02 : kParabolas);
    const PviCurveInfo* c = nullptr;
    for (const PviCurveInfo& x : p.curves()) c = x.pvi == g.pvi ? &x : c;
    ASSERT_NE(c, nullptr);
    EXPECT_NEAR(c->start_station, g.s0, 1e-9);
    EXPECT_NEAR(c->end_station, g.s1, 1e-9);
    EXPECT_NEAR(p.elevation(g.s0, false), g.z0, 1e-9);
    EXPECT_NEAR(p.elevation(g.s1, false), g.z1, 1e-9);
    const PviInput& in = (std::string(g.profile) == "stn02" ? kStn02 : kParabolas)[g.pvi];
    EXPECT_NEAR(p.elevation(in.station, false), g.z_at_pvi, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Profile, PviGolden, ::testing::ValuesIn(kGoldenCurves));

TEST(ProfilePvi, LengthInTheStationElevationPlane) {
    // profile_golden.py: stn02 1458.6184995100194, parabolas 800.28194080579326
    const Profile a(kStn02), b(kParabolas);
    EXPECT_NEAR(a.length_3d(a.start_station(), a.end_station(), false), 1458.6184995100194, 1e-9);
    EXPECT_NEAR(b.length_3d(0.0, 800.0, false), 800.28194080579326, 1e-9);
}

// Continuity at every joint, grades inside a curve between its end grades,
// the chord between two stations of a curve between their grades, 3D
// lengths no shorter than the chord and additive.
TEST(ProfileProperty, RandomPviProfilesAreContinuousAndBounded) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 40; ++trial) {
        const Profile p(random_pvis(rng, 3 + trial % 6));
        ASSERT_TRUE(p.overlaps().empty());
        for (std::size_t k = 0; k < p.size(); ++k) {
            const VerticalSegment& e = p.segment(k);
            if (k > 0) {
                EXPECT_NEAR(p.elevation(below(e.start_station), false), e.start_elevation, 1e-9) << k;
                // Two grade lines meet at a PVI without a curve: a kink.
                if (e.kind != VerticalKind::line || p.segment(k - 1).kind != VerticalKind::line) {
                    EXPECT_NEAR(p.grade(below(e.start_station), false), e.start_grade, 1e-12) << k;
                }
            }
            const double glo = std::min(e.start_grade, e.end_grade), ghi = std::max(e.start_grade, e.end_grade);
            for (int j = 0; j < 8; ++j) {
                const double a = e.start_station + u(rng) * (e.end_station - e.start_station);
                const double b = e.start_station + u(rng) * (e.end_station - e.start_station);
                const double ga = p.grade(a, false), gb = p.grade(b, false);
                EXPECT_TRUE(ga >= glo - 1e-15 && ga <= ghi + 1e-15) << k << " " << a;
                if (std::fabs(b - a) < 1e-3) continue;
                const double chord = (p.elevation(b, false) - p.elevation(a, false)) / (b - a);
                EXPECT_GE(chord, std::min(ga, gb) - 1e-9) << k;
                EXPECT_LE(chord, std::max(ga, gb) + 1e-9) << k;
                const double len = p.length_3d(a, b, false);
                EXPECT_GE(std::fabs(len), std::hypot(b - a, p.elevation(b, false) - p.elevation(a, false)) - 1e-12);
                const double m = 0.5 * (a + b);
                EXPECT_NEAR(len, p.length_3d(a, m, false) + p.length_3d(m, b, false), 1e-12 * std::fabs(len) + 1e-15);
            }
        }
        for (const TurningPoint& t : p.turning_points()) EXPECT_NEAR(p.grade(t.station, false), 0.0, 1e-12);
    }
}

// Fuzzed: a parabola 1.9e-59 long at the PVI (500, 103) between grades of
// -3 % and +3 %: its low point rounds to station 500, which belongs to the
// grade line after it, and was reported there with a grade of 0.03.
// And a parabola 4.7e-62 long from -50 between grades of -2.75 % and -6 %:
// the zero of its grade, before its start, rounds onto the start station.
TEST(ProfileTurningPoints, OnlyWhereTheGradeIsZero) {
    std::vector<PviInput> v = kParabolas;
    v[2].length = 1.8669045879728305e-59;
    const Profile a(v), b({{VerticalKind::parabola, -50.0, 4.6680196201330571e-62, 0.0, -0.0275, -0.06}});
    for (const Profile* p : {&a, &b})
        for (const TurningPoint& t : p->turning_points()) EXPECT_EQ(p->grade(t.station, false), 0.0);
}

// A clothoid from a grade line into an arc, whose radius its grades and
// length fix, joins both with continuous elevation, grade and curvature.
TEST(ProfileSegments, ClothoidIntoAnArcIsSmooth) {
    const double L = 120.0, g0 = -0.01, g1 = 0.015;
    const double d = std::atan(g1) - std::atan(g0);
    double integral = 0.0;  // of cos(theta0 + d v^2) over [0, 1], Simpson, 2000 intervals
    for (int i = 0; i <= 2000; ++i) {
        const double v = i / 2000.0, w = (i == 0 || i == 2000) ? 1.0 : (i % 2 ? 4.0 : 2.0);
        integral += w * std::cos(std::atan(g0) + d * v * v) / 6000.0;
    }
    const double R = L / integral / (2.0 * d);  // 1 / k1, with k1 = 2 d / Lambda
    VerticalSegmentInput line{VerticalKind::line, 0.0, 100.0, 50.0, g0, g0};
    VerticalSegmentInput clothoid{VerticalKind::clothoid, 100.0, L, 50.0 + 100.0 * g0, g0, g1, kInf, R};
    const Profile first({line, clothoid});
    const double z1 = first.elevation(100.0 + L, false);
    const double u1 = g1 / std::hypot(1.0, g1), g2 = 0.03, u2 = g2 / std::hypot(1.0, g2);
    VerticalSegmentInput arc{VerticalKind::arc, 100.0 + L, R * (u2 - u1), z1, g1, g2};
    const Profile p({line, clothoid, arc});
    for (const double s : {100.0, 100.0 + L}) {
        EXPECT_NEAR(p.elevation(below(s), false), p.elevation(s, false), 1e-9) << s;
        EXPECT_NEAR(p.grade(below(s), false), p.grade(s, false), 1e-12) << s;
    }
    EXPECT_NEAR(p.curvature(below(100.0 + L), false), 1.0 / R, 1e-9 / R);
    EXPECT_NEAR(p.curvature(100.0 + L, false), 1.0 / R, 1e-9 / R);
    EXPECT_GT(p.length_3d(0.0, p.end_station(), false), p.end_station());
}

// ------------------------------------------------------------------ cant

// Every shape stays between its end values, rises with xi, and is
// symmetric about the middle; the cant holds its ends beyond them.
TEST(CantTransitions, BetweenTheEndValuesAndSymmetric) {
    for (const Transition t : {Transition::linear, Transition::bloss, Transition::cosine, Transition::sine,
                               Transition::helmert}) {
        const Cant c({{100.0, 0.02, t}, {160.0, 0.15, t}, {300.0, 0.15, t}, {340.0, -0.05, t}}, 1.5, RotationAxis::centre);
        double prev = -kInf;
        for (double s = 100.0; s <= 160.0; s += 0.25) {  // rising, then falling past 0
            const double v = c.cant(s, false), w = c.cant(s * 2.0 / 3.0 + 233.3, false), xi = (s - 100.0) / 60.0;
            EXPECT_TRUE(v >= 0.02 && v <= 0.15 && v >= prev && w <= 0.15 && w >= -0.05) << transition_name(t) << s;
            EXPECT_NEAR(transition_shape(t, xi) + transition_shape(t, 1.0 - xi), 1.0, 1e-15);
            prev = v;
        }
        EXPECT_TRUE(c.cant(200.0, false) == 0.15 && c.cant(1e6, true) == -0.05);
        EXPECT_TRUE(std::isnan(c.cant(99.0, false)) && std::isnan(c.cant(kNaN, true)));
        EXPECT_DOUBLE_EQ(c.angle(200.0, false), std::asin(0.1));
    }
}

// ----------------------------------------------------------------- frame

// On a straight alignment (so that the foot is the station itself): the
// rails differ by the cant, the rail on the axis keeps the profile's
// elevation, locate3d gives back the height turned with the section, and
// the frame vectors are orthonormal.
TEST(FrameBanked, RailsAxisAndRoundTrip) {
    ElementInput straight;
    straight.length = 500.0;
    auto a = std::make_shared<const Alignment>(0.0, 1000.0, 2000.0, 0.3, std::vector<ElementInput>{straight});
    auto p = std::make_shared<const Profile>(kParabolas);
    for (const RotationAxis axis : {RotationAxis::inside_rail, RotationAxis::centre, RotationAxis::outside_rail}) {
        auto c = std::make_shared<const Cant>(
            std::vector<CantStation>{{0.0, -0.1, Transition::bloss}, {150.0, 0.12, Transition::linear}, {500.0, 0.12}},
            1.435, axis);
        const Frame f(a, p, c);
        for (double s = 5.0; s < 500.0; s += 37.0) {
            const double cant = c->cant(s, false);
            double xl, yl, zl, xr, yr, zr;
            f.point3d(s, -0.7175, 0.0, true, false, xl, yl, zl);
            f.point3d(s, 0.7175, 0.0, true, false, xr, yr, zr);
            EXPECT_NEAR(zr - zl, cant, 1e-12) << s;
            const double z = p->elevation(s, false), low = cant > 0 ? zl : zr, high = cant > 0 ? zr : zl;
            const double kept = axis == RotationAxis::inside_rail ? low
                                : (axis == RotationAxis::outside_rail ? high : 0.5 * (zl + zr));
            EXPECT_NEAR(kept, z, 1e-12) << s;
            double xyz[3];
            f.point3d(s, 3.0, 1.25, true, false, xyz[0], xyz[1], xyz[2]);
            Foot foot;
            double dz;
            f.locate3d(xyz, 1, kInf, true, false, &foot, &dz);
            EXPECT_NEAR(foot.station, s, 1e-9);
            EXPECT_NEAR(dz * std::cos(c->angle(s, false)), 1.25, 1e-9);
            FrameAxes ax;
            f.axes(s, false, ax);
            const double* v[3] = {ax.tangent, ax.normal, ax.up};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    EXPECT_NEAR(v[i][0] * v[j][0] + v[i][1] * v[j][1] + v[i][2] * v[j][2], i == j, 1e-15);
            EXPECT_NEAR(ax.normal[2], std::sin(c->angle(s, false)), 1e-3);  // grades of a few %
        }
        // A batch is the single points, bit for bit.
        std::vector<double> st, off, hs;
        for (double s = -20.0; s < 520.0; s += 0.97) st.push_back(s), off.push_back(std::fmod(s, 7.0) - 3.5), hs.push_back(0.5);
        for (const bool banked : {false, true}) {
            std::vector<double> xyz(3 * st.size());
            f.points3d(st.data(), off.data(), hs.data(), st.size(), banked, true, xyz.data());
            for (std::size_t i = 0; i < st.size(); ++i) {
                double one[3];
                f.point3d(st[i], off[i], hs[i], banked, true, one[0], one[1], one[2]);
                EXPECT_EQ(std::memcmp(one, &xyz[3 * i], sizeof one), 0) << st[i];
            }
        }
    }
}

// -------------------------------------------------------------- bad input

// Each refusal names its index and field, in what() too.
TEST(ProfileInput, RefusalsNameIndexAndField) {
    const auto pvis = [](void (*change)(std::vector<PviInput>&)) {
        std::vector<PviInput> v = kParabolas;
        change(v);
        return [v] { Profile p(v); };
    };
    const auto segments = [](void (*change)(std::vector<VerticalSegmentInput>&)) {
        std::vector<VerticalSegmentInput> v{{VerticalKind::line, 0.0, 100.0, 5.0, 0.01, 0.01},
                                            {VerticalKind::parabola, 100.0, 50.0, 6.0, 0.01, -0.01}};
        change(v);
        return [v] { Profile p(v); };
    };
    const struct {
        std::function<void()> build;
        std::ptrdiff_t index;
        const char* field;
        const char* message;
    } cases[] = {
        {pvis([](auto& v) { v[2].elevation = kNaN; }), 2, "elevation", "PVI 2: elevation must be finite, got nan"},
        {pvis([](auto& v) { v[2].station = 250.0; }), 2, "station",
         "PVI 2: station must be greater than the station of PVI 1 (300), got 250"},
        {pvis([](auto& v) { v.insert(v.begin() + 3, pvi(500.0, 104.0)); }), 3, "elevation",
         "PVI 3: elevation differs from the elevation of PVI 2 at the same station (103), got 104"},
        {pvis([](auto& v) { v[1] = pvi(300.0, 109.0, PviCurve::arc, 0.0); }), 1, "radius",
         "PVI 1: radius must be finite and not 0, got 0"},
        {pvis([](auto& v) { v[2].length = 300.0; }), 2, "length",
         "PVI 2: length 300 makes its curve overlap the curve of PVI 1 by 10"},
        {pvis([](auto& v) { v[3].curve = PviCurve::parabola; }), 3, "curve",
         "PVI 3: curve cannot be at the last PVI: a curve needs a grade before and after it"},
        {pvis([](auto& v) { v.resize(1); }), -1, "pvis", "profile: pvis must hold at least two PVIs of distinct stations, got 1"},
        {segments([](auto& v) { v[1].start_station = 100.5; }), 1, "start_station",
         "segment 1: start_station leaves a gap of 0.5 after segment 0"},
        {segments([](auto& v) { v[0].end_grade = 0.02; }), 0, "end_grade",
         "segment 0: end_grade must equal start_grade (0.01) on a grade line, got 0.02"},
        {segments([](auto& v) { v[1] = {VerticalKind::clothoid, 100.0, 50.0, 6.0, 0.01, -0.01, kInf, -2400.0}; }), 1,
         "end_radius", "segment 1: end_radius is -2400, but the grades and the length give -1250.0708317537121"},
    };
    for (const auto& c : cases) {
        try {
            c.build();
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const ProfileError& e) {
            EXPECT_EQ(e.index(), c.index) << c.message;
            EXPECT_EQ(e.field(), c.field) << c.message;
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}
