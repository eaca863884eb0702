// The adapter between ICD documents and the engine: the legacy elements as
// point evaluators.

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "curvix/alignment/element.hpp"
#include "curvix/engine/alignment.hpp"
#include "curvix/icd_engine/icd_chain.hpp"

using namespace curvix::engine;
using curvix::icd_engine::LegacyElementPoints;

// Compatibility evaluation: points on a legacy element are its own, bit
// for bit, continuation included; azimuths still come from the curvature.
TEST(EngineLegacy, PointsAreTheLegacyElementsOwn) {
    const std::shared_ptr<const curvix::PQXElement> sp =
        curvix::Sprial::entering(curvix::Vector(1e5, 2e5), curvix::Angle(0.4), 300.0, 500.0, 1);
    ElementInput e;
    std::tie(e.length, e.k1) = std::make_tuple(sp->length, 1.0 / 500);
    e.evaluator = std::make_shared<const LegacyElementPoints>(sp);
    e.has_start = e.has_azimuth = true;
    std::tie(e.x, e.y, e.azimuth) = std::make_tuple(1e5, 2e5, 0.4);
    const Alignment a(0.0, 1e5, 2e5, 0.4, {e});
    for (const double s : {-10.0, 0.0, 33.3, sp->length, sp->length + 10.0}) {
        double x, y;
        a.point(s, 0.0, true, x, y);
        EXPECT_EQ(x, sp->get_point(s).X()) << s;
        EXPECT_EQ(y, sp->get_point(s).Y()) << s;
    }
    EXPECT_NEAR(a.azimuth(sp->length, false), 0.4 + 0.18, 1e-15);  // A^2 / (2 R^2) = 0.18
}
