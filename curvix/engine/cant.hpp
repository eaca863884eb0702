#pragma once
// Applied cant along the stations of an alignment: the height of the right
// rail above the left one (right of the direction of travel), in the
// alignment's linear unit, given at cant stations. Between a station and the
// next the cant goes from the one value to the other by the transition shape
// of the station where it starts (transition.hpp), as a function of
// xi = (s - s_i) / (s_{i+1} - s_i); between equal values it is constant.
//
// The cant angle is asin(cant / gauge), signed like the cant: the angle by
// which the cross-section is turned, about the rotation axis, from level.
// The axis (see Frame for its use) lies on the line joining the rails:
//   inside_rail   at the low rail: offset -gauge/2 when the cant is > 0,
//                 +gauge/2 when < 0 (that rail keeps the profile's elevation);
//   centre        at the centre line, offset 0;
//   outside_rail  at the high rail: offset +gauge/2 when the cant is > 0,
//                 -gauge/2 when < 0.
//
// Immutable once built; queries never throw: NaN gives NaN, and so does a
// station outside [first, last cant station] unless extend, which holds
// the first and last values.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "curvix/engine/profile.hpp"
#include "curvix/engine/profile_data.hpp"
#include "curvix/engine/transition.hpp"

namespace curvix::engine {

enum class RotationAxis : std::uint8_t { inside_rail, centre, outside_rail };

struct CantStation {
    double station = 0.0;
    double cant = 0.0;
    Transition transition = Transition::linear;  // of the transition that starts here
};

class Cant {
public:
    // Throws ProfileError for: no stations ("stations"); a gauge that is not
    // finite and > 0 ("gauge", index -1); a non-finite station or cant; a
    // station not after the one before ("station"; one repeated with the
    // same cant is dropped); a cant as large as the gauge ("cant").
    Cant(std::vector<CantStation> stations, double gauge, RotationAxis axis);

    double gauge() const noexcept { return gauge_; }
    RotationAxis axis() const noexcept { return axis_; }
    double start_station() const noexcept { return s_.front(); }
    double end_station() const noexcept { return s_.back(); }
    const std::vector<CantStation>& inputs() const noexcept { return inputs_; }

    double cant(double station, bool extend) const noexcept;
    double angle(double station, bool extend) const noexcept;  // asin(cant / gauge)
    // The rotation axis's offset for a cant value (0 for a cant of 0 or NaN).
    double axis_offset(double cant) const noexcept;

private:
    std::vector<CantStation> inputs_;
    std::vector<double> s_, c_;
    std::vector<double> inv_;  // 1 / (s[i+1] - s[i]), 0 where the values are equal
    std::vector<Transition> shape_;
    detail::SegmentLookup index_;
    double gauge_;
    RotationAxis axis_;
};

}  // namespace curvix::engine
