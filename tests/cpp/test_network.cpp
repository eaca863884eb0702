// The network search against the nearest of its alignments' own answers,
// bit for bit, for batches large enough to be answered in spatial order;
// ties, NaN and max_distance (tests/kit/test_network.py holds the rest).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/nearest.hpp"
#include "curvix/engine/network.hpp"

using namespace curvix::engine;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// n elements: lines, arcs and clothoids from the curvature before (radii 200 m and up).
std::vector<ElementInput> chain(std::mt19937_64& rng, int n) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<ElementInput> v(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < v.size(); ++i) {
        const int kind = static_cast<int>(3.0 * u(rng));
        v[i].length = 20.0 + 300.0 * u(rng);
        v[i].k1 = kind == 0 ? 0.0 : (u(rng) - 0.5) / 100.0;
        v[i].k0 = kind == 2 && i > 0 ? v[i - 1].k1 : v[i].k1;
    }
    return v;
}

// m alignments: tracks 4.5 m apart (translated copies of one chain) and,
// every third, one of its own crossing the area.
std::vector<std::shared_ptr<const Alignment>> area(std::mt19937_64& rng, int m, int elements) {
    std::vector<std::shared_ptr<const Alignment>> v;
    const std::vector<ElementInput> track = chain(rng, elements);
    for (int e = 0; e < m; ++e) {
        const bool own = e % 3 == 2;
        v.push_back(std::make_shared<const Alignment>(0.0, 5e5 + (own ? -500.0 : 4.5) * e, 4e6, own ? 1.2 : 0.3,
                                                      own ? chain(rng, elements) : track));
    }
    return v;
}

void expect_nearest_of_each(const std::vector<std::shared_ptr<const Alignment>>& as, double x, double y,
                            double limit, const NetworkFoot& got) {
    std::ptrdiff_t want = -1;
    Foot best{kNaN, kNaN, kNaN, -1};
    for (std::size_t e = 0; e < as.size(); ++e) {
        const Foot f = as[e]->nearest(x, y, limit);
        if (f.element >= 0 && (want < 0 || f.distance < best.distance)) best = f, want = static_cast<std::ptrdiff_t>(e);
    }
    ASSERT_EQ(got.alignment, want) << x << " " << y;
    EXPECT_EQ(got.foot.element, best.element);
    EXPECT_TRUE(want < 0 ? std::isnan(got.foot.station) && std::isnan(got.foot.distance)
                         : got.foot.station == best.station && got.foot.offset == best.offset &&
                               got.foot.distance == best.distance);
}

}  // namespace

void expect_batch_of_single_points(std::mt19937_64& rng, const std::vector<std::shared_ptr<const Alignment>>& as) {
    const Network net(as);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> xy;
    for (int i = 0; i < 4000; ++i) {
        const Alignment& a = *as[static_cast<std::size_t>(i) % as.size()];
        double x, y;
        a.point(a.start_station() + u(rng) * a.length(), 60.0 * (u(rng) - 0.5), false, x, y);
        xy.push_back(i % 997 == 0 ? kNaN : x);
        xy.push_back(y);
    }
    const std::size_t n = xy.size() / 2;
    std::vector<NetworkFoot> out(n);
    net.nearest(xy.data(), n, kInf, out.data());
    for (std::size_t i = 0; i < n; i += 7) expect_nearest_of_each(as, xy[2 * i], xy[2 * i + 1], kInf, out[i]);
    // One alignment's batch, the same way.
    std::vector<Foot> feet(n);
    as[0]->nearest(xy.data(), n, kInf, feet.data());
    for (std::size_t i = 0; i < n; i += 7) {
        const Foot f = as[0]->nearest(xy[2 * i], xy[2 * i + 1], kInf);
        EXPECT_TRUE(f.element == feet[i].element && (f.element < 0 || (f.station == feet[i].station &&
                                                                      f.offset == feet[i].offset)));
    }
}

// Batches in spatial order, and past kFetchFrom bytes of tables fetched
// ahead (the first alignment alone that large, too).
TEST(Network, BatchInSpatialOrderEqualsSinglePoints) {
    std::mt19937_64 rng(5);
    expect_batch_of_single_points(rng, area(rng, 6, 1500));
    auto big = area(rng, 3, 50000);
    big[0] = std::make_shared<const Alignment>(0.0, 5e5, 4e6, 0.3, chain(rng, 300000));
    ASSERT_GT(big[0]->memory_bytes(), curvix::engine::detail::kFetchFrom);
    expect_batch_of_single_points(rng, big);
}

// Copies of one track: every distance ties, so every answer is the first
// copy's. It showed the capsules' radii missing their floats' rounding (and
// so passing over the first copy's nearest point): two copies of an
// 8-element chain, a point 29 m from a line 100 to 300 m from the origin
// of the capsules, whose floats there round by up to 1.5e-5.
TEST(Network, TiesGoToTheFirstAndNothingFoundIsMinusOne) {
    std::mt19937_64 rng(16);
    const auto track = chain(rng, 40);
    const auto a = std::make_shared<const Alignment>(0.0, 0.0, 0.0, 0.4, track);
    const auto b = std::make_shared<const Alignment>(0.0, 0.0, 0.0, 0.4, track);
    const Network net({b, a, b});
    std::uniform_real_distribution<double> u(0.0, 1.0);
    double x = 0.0, y = 0.0;
    for (int i = 0; i < 3000; ++i) {
        a->point(u(rng) * a->length(), 200.0 * (u(rng) - 0.5), false, x, y);
        const NetworkFoot f = net.nearest(x, y, kInf);
        ASSERT_EQ(f.alignment, 0) << x << " " << y;
        EXPECT_EQ(f.foot.station, a->nearest(x, y, kInf).station);
    }
    const double d = a->nearest(x, y, kInf).distance;
    for (const double limit : {kNaN, -1.0, 0.999 * d}) EXPECT_EQ(net.nearest(x, y, limit).alignment, -1);
    EXPECT_EQ(net.nearest(x, y, d).alignment, a->nearest(x, y, d).element >= 0 ? 0 : -1);
    EXPECT_EQ(net.nearest(x, y, 1.001 * d).alignment, 0);
    for (const double q : {kNaN, kInf}) {
        const NetworkFoot f = net.nearest(q, y, kInf);
        EXPECT_TRUE(f.alignment == -1 && f.foot.element == -1 && std::isnan(f.foot.station));
    }
}
