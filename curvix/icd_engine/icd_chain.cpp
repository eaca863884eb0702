#include "curvix/icd_engine/icd_chain.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "curvix/alignment/element.hpp"
#include "curvix/alignment/pqx.hpp"

namespace curvix::icd_engine {

namespace {

// The curvature 1 / R with the direction's sign; the format's infinite
// radius (1e39 and above) is a straight end.
double curvature_of(double radius, int direction) {
    if (std::fabs(radius) >= kInfiniteRadius) return 0.0;
    return static_cast<double>(direction) / radius;
}

ElementInput input_of(const IcdRecord& r) {
    ElementInput e;
    const double d = static_cast<double>(r.direction);
    switch (r.type) {
        case 1:
            e.length = r.value[0];
            break;
        case 2:
            e.length = r.value[1];
            e.k0 = e.k1 = curvature_of(r.value[0], r.direction);
            break;
        default: {
            const double A = r.value[0];
            double r_start = r.value[1];
            double r_end = r.value[2];
            if (r.type == 3) {
                r_start = kInfiniteRadius;
                r_end = r.value[1];
            } else if (r.type == 4) {
                r_end = kInfiniteRadius;
            }
            const double sigma = (r.type == 3 || r.type == 5) ? 1.0 : -1.0;
            e.length = std::fabs(A * A / r_start - A * A / r_end);
            e.k0 = curvature_of(r_start, r.direction);
            e.k1 = e.k0 + d * sigma * e.length / (A * A);
            // Where the end curvature is the stated end radius up to rounding,
            // keep the stated one, so the element reports the radius it was
            // given.
            const double stated = curvature_of(r_end, r.direction);
            if (std::fabs(e.k1 - stated) <= 1e-9 * std::fabs(stated)) e.k1 = stated;
            if (stated == 0.0 && std::fabs(e.k1) <= 1e-12 * std::fabs(e.k0)) e.k1 = 0.0;
            break;
        }
    }
    if (r.has_azimuth) {
        e.has_azimuth = true;
        e.azimuth = r.azimuth;
    }
    return e;
}

constexpr double kTwoPi = 2.0 * Angle::PI;
// Differences of more whole turns than this are left as written: no
// representative is meaningful there (taking off n turns of the double 2 pi
// is 2.4e-16 n of a turn off the real ones).
constexpr double kMaxTurnsTakenOff = 1e6;

// The representative of `azimuth` modulo 2 pi nearest `before` (a tie keeps
// the value as written, and so does a difference of no whole turn: then the
// value is not touched at all).
double nearest_turn(double azimuth, double before) {
    const double turns = std::nearbyint((azimuth - before) / kTwoPi);
    if (turns == 0.0 || !(std::fabs(turns) <= kMaxTurnsTakenOff)) return azimuth;
    return azimuth - turns * kTwoPi;
}

// The azimuth at the end of an element starting at `start`, as the engine
// evaluates it.
double end_azimuth(const ElementInput& e, double start) {
    const double L = e.length;
    const double c = L > 0.0 ? (e.k1 - e.k0) / L : 0.0;
    return start + L * (e.k0 + c * L * 0.5);
}

}  // namespace

IcdChain icd_chain(const IcdDocument& document, SpiralEvaluation spirals) {
    IcdChain chain;
    chain.start_station = document.start_station;
    chain.x = document.start_x;
    chain.y = document.start_y;
    chain.azimuth = document.start_azimuth / Angle::PI * 180.0 / 180.0 * Angle::PI;
    chain.elements.reserve(document.records.size());
    // An explicit start azimuth is read as the turn nearest the azimuth the
    // chain arrives with, so that one written a whole turn on (as the kit's
    // writer must where its integer part would be 0, which the legacy grammar
    // takes for the end line) makes no false kink of 2 pi, while a real kink
    // (|kink| <= pi) stays. `taken_off[k]` is what the latest explicit
    // azimuth up to element k lost, for the series evaluation, whose legacy
    // elements keep the value as written.
    std::vector<double> taken_off;
    taken_off.reserve(document.records.size());
    double before = chain.azimuth;
    double off = 0.0;
    for (const IcdRecord& r : document.records) {
        ElementInput e = input_of(r);
        if (e.has_azimuth) {
            const double written = e.azimuth;
            e.azimuth = nearest_turn(written, before);
            off = e.azimuth - written;
        }
        before = end_azimuth(e, e.has_azimuth ? e.azimuth : before);
        taken_off.push_back(off);
        chain.elements.push_back(e);
    }
    if (spirals == SpiralEvaluation::series) {
        LegacyChain legacy = build_legacy_chain(document);
        for (std::size_t k = 0; k < legacy.elements.size() && k < chain.elements.size(); ++k) {
            ElementInput& e = chain.elements[k];
            std::shared_ptr<const PQXElement> element(std::move(legacy.elements[k]));
            e.has_start = true;
            e.x = element->start_point.X();
            e.y = element->start_point.Y();
            // The legacy element's own start azimuth, less the turns taken
            // off the explicit azimuth it follows from (points stay its own).
            const double legacy_azimuth = element->start_angle.GetRadian();
            if (!e.has_azimuth) {
                e.azimuth = taken_off[k] == 0.0 ? legacy_azimuth : legacy_azimuth + taken_off[k];
            }
            e.has_azimuth = true;
            e.evaluator = std::make_shared<const LegacyElementPoints>(std::move(element));
        }
    }
    return chain;
}

LegacyElementPoints::LegacyElementPoints(std::shared_ptr<const PQXElement> element)
    : element_(std::move(element)) {}

void LegacyElementPoints::point(double t, double& x, double& y) const noexcept {
    try {
        const Vector v = element_->get_point(t);
        x = v.X();
        y = v.Y();
    } catch (...) {
        x = y = std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace curvix::icd_engine
