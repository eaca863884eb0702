// Applied cant: construction and the station queries.

#include "curvix/engine/cant.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>


namespace curvix::engine {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

[[noreturn]] void fail(std::ptrdiff_t index, const char* field, const std::string& message) {
    const std::string where = index < 0 ? "cant" : "cant station " + std::to_string(index);
    throw ProfileError(index, field, where + ": " + field + " " + message);
}

}  // namespace

Cant::Cant(std::vector<CantStation> stations, double gauge, RotationAxis axis)
    : gauge_(gauge), axis_(axis) {
    if (!(std::isfinite(gauge) && gauge > 0.0))
        fail(-1, "gauge", "must be finite and > 0, got " + detail::show(gauge));
    if (stations.empty()) fail(-1, "stations", "must hold at least one cant station");
    for (std::size_t i = 0; i < stations.size(); ++i) {
        const CantStation& c = stations[i];
        const auto ii = static_cast<std::ptrdiff_t>(i);
        if (!std::isfinite(c.station)) fail(ii, "station", "must be finite, got " + detail::show(c.station));
        if (!std::isfinite(c.cant)) fail(ii, "cant", "must be finite, got " + detail::show(c.cant));
        if (!(std::fabs(c.cant) < gauge))
            fail(ii, "cant", "must be smaller than the gauge (" + detail::show(gauge) + ") in size, got " +
                                 detail::show(c.cant));
        if (!s_.empty() && c.station <= s_.back()) {
            if (c.station == s_.back() && c.cant == c_.back()) continue;
            fail(ii, "station", c.station == s_.back()
                                    ? "repeats the station before it with another cant, got " +
                                          detail::show(c.station)
                                    : "must be greater than the station before it (" +
                                          detail::show(s_.back()) + "), got " + detail::show(c.station));
        }
        s_.push_back(c.station);
        c_.push_back(c.cant);
        shape_.push_back(c.transition);
    }
    inv_.resize(s_.size(), 0.0);
    for (std::size_t i = 0; i + 1 < s_.size(); ++i)
        if (c_[i] != c_[i + 1])  // (held finite for stations a subnormal apart)
            inv_[i] = std::min(1.0 / (s_[i + 1] - s_[i]), std::numeric_limits<double>::max());
    index_.build(s_.data(), s_.size(), s_.back());
    inputs_ = std::move(stations);
}

double Cant::cant(double s, bool extend) const noexcept {
    const std::size_t n = s_.size();
    if (!(s >= s_.front() && s <= s_.back())) {
        if (!extend || std::isnan(s)) return kNaN;
        return s < s_.front() ? c_.front() : c_.back();
    }
    const std::size_t i = index_.find(s_.data(), n, s);
    if (inv_[i] == 0.0) return c_[i];  // the last station, or between equal values
    const double xi = (s - s_[i]) * inv_[i];
    if (shape_[i] == Transition::viennese) {
        // The Viennese bend turns the cross-section by an angle that follows
        // the shape, not the cant itself.
        const double a0 = std::asin(c_[i] / gauge_), a1 = std::asin(c_[i + 1] / gauge_);
        return gauge_ * std::sin(a0 + (a1 - a0) * transition_shape(Transition::viennese, xi));
    }
    return c_[i] + (c_[i + 1] - c_[i]) * transition_shape(shape_[i], xi);
}

double Cant::angle(double s, bool extend) const noexcept { return std::asin(cant(s, extend) / gauge_); }

double Cant::axis_offset(double cant) const noexcept {
    if (axis_ == RotationAxis::centre || !(cant != 0.0)) return 0.0;
    const double half = 0.5 * gauge_;
    return (axis_ == RotationAxis::inside_rail) == (cant > 0.0) ? -half : half;
}

}  // namespace curvix::engine
