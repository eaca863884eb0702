// The adapter between ICD documents and the engine: the legacy elements as
// point evaluators.

#include <gtest/gtest.h>

#include <iomanip>
#include <memory>
#include <sstream>
#include <tuple>
#include <utility>

#include "curvix/alignment/element.hpp"
#include "curvix/alignment/pqx.hpp"
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

// An explicit start azimuth (types 1 and 2) is taken as the turn nearest the
// end azimuth before it (line 2's for the first element): the kit's writer
// adds 2 pi to a straight's azimuth in [0, 1), which the legacy grammar
// would read as the end line. A real kink stays; series points stay the
// legacy element's own. Smallest input: "0\n0,0,0.5\n1,100,6.783185307179586"
// (0.5 + 2 pi), whose azimuth jumped by 2 pi.
TEST(IcdChain, ExplicitAzimuthIsTheTurnNearestTheAzimuthBefore) {
    using curvix::icd_engine::SpiralEvaluation;
    using KinkAndTurns = std::pair<double, int>;
    for (const std::size_t k : {0, 1})  // the explicit element first, or after an arc turning 0.25 rad
        for (const char* line : {"1,50,", "2,300,50,-1,"})
            for (const auto& [kink, turns] : {KinkAndTurns{0.0, 1}, {0.3, 0}, {0.3, -2}, {-3.0, 1}}) {
                std::ostringstream text;
                text << std::setprecision(17) << "0\n0,0,1.25\n" << (k == 1 ? "2,400,100,1\n" : "") << line
                     << 1.25 + 0.25 * static_cast<double>(k) + kink + 2 * curvix::Angle::PI * turns << "\n";
                const curvix::Vector legacy = curvix::PQX::from_bytes(text.str())->elements[k]->get_point(25.0);
                for (const SpiralEvaluation spirals : {SpiralEvaluation::exact, SpiralEvaluation::series}) {
                    const auto c = curvix::icd_engine::icd_chain(
                        curvix::read_icd_document(text.str(), curvix::IcdGrammar::legacy), spirals);
                    const Alignment a(c.start_station, c.x, c.y, c.azimuth, c.elements);
                    const double before = k == 0 ? a.start_azimuth() : a.element(0).azimuth1;
                    EXPECT_NEAR(a.element(k).azimuth0 - before, kink, 1e-12) << text.str();
                    double x, y;
                    a.point(a.element(k).start_station + 25.0, 0.0, false, x, y);
                    EXPECT_TRUE(spirals == SpiralEvaluation::exact || (x == legacy.X() && y == legacy.Y()));
                }
            }
}
