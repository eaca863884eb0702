#pragma once
// ICD documents as engine element chains: the adapter between the ICD reader
// and the legacy elements of the frozen module (curvix_core) and the engine
// (curvix_engine), which names neither.
//
// A straight is k0 = k1 = 0; an arc of radius R turning with direction d is
// k0 = k1 = d / R; a spiral (types 3 to 6) starts with curvature d / R_start
// (0 for the straight end, the radius 1e39) and changes by d * sigma / A^2 per
// unit length (sigma = +1 for types 3 and 5, -1 for 4 and 6) over the length
// the format gives it, |A*A/R1 - A*A/R2|. So the engine follows the curve
// the legacy elements follow; only the integration differs.
//
// An explicit start azimuth (types 1 and 2) is taken as its representative
// modulo 2 pi nearest the end azimuth of the element before (line 2's
// azimuth for the first element), so that a whole turn written into it
// (the kit's writer adds 2 pi where the integer part would be 0, which the
// legacy grammar reads as the end line) is no kink, and a real kink stays
// one of at most pi. The legacy elements (curvix.PQX, and the points of the
// series evaluation) keep the value as written.

#include <memory>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/engine/alignment.hpp"

namespace curvix {
class PQXElement;
}

namespace curvix::icd_engine {

using engine::ElementInput;

enum class SpiralEvaluation {
    exact,   // every element integrated exactly
    series,  // every point from the legacy elements, chained as they chain
};

struct IcdChain {
    double start_station = 0.0;
    double x = 0.0;
    double y = 0.0;
    double azimuth = 0.0;  // line 2's azimuth through the format's degree round trip
    std::vector<ElementInput> elements;
};

IcdChain icd_chain(const IcdDocument& document, SpiralEvaluation spirals);

// A legacy element's own points (get_point, which is const and keeps no
// state), for the series evaluation; where get_point throws, NaN.
class LegacyElementPoints final : public engine::PointEvaluator {
public:
    explicit LegacyElementPoints(std::shared_ptr<const PQXElement> element);
    void point(double t, double& x, double& y) const noexcept override;

private:
    std::shared_ptr<const PQXElement> element_;
};

}  // namespace curvix::icd_engine
