// The 3D frame: points in the (banked) cross-section, the frame vectors,
// and the vertical distance of points to the design surface.

#include "curvix/engine/frame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace curvix::engine {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// sin and cos of the cant angle, and the axis offset, at a station.
struct Bank {
    double sin = 0.0, cos = 1.0, axis = 0.0;
};

Bank bank(const Cant* cant, double station, bool extend) {
    Bank b;
    if (!cant) return b;
    const double c = cant->cant(station, extend);
    b.sin = c / cant->gauge();
    b.cos = std::sqrt((1.0 - b.sin) * (1.0 + b.sin));
    b.axis = cant->axis_offset(c);
    return b;
}

}  // namespace

Frame::Frame(std::shared_ptr<const Alignment> alignment, std::shared_ptr<const Profile> profile,
             std::shared_ptr<const Cant> cant)
    : alignment_(std::move(alignment)), profile_(std::move(profile)), cant_(std::move(cant)) {
    if (!alignment_) throw std::invalid_argument("Frame needs an alignment");
}

void Frame::point3d(double station, double offset, double height, bool banked, bool extend, double& x,
                    double& y, double& z) const noexcept {
    double o = offset, h = height;
    if (banked && cant_) {
        const Bank b = bank(cant_.get(), station, extend);
        const double d = o - b.axis;
        o = b.axis + b.cos * d - b.sin * h;
        h = b.sin * d + b.cos * h;
    }
    alignment_->point(station, o, extend, x, y);
    z = profile_ ? profile_->elevation(station, extend) + h : kNaN;
}

void Frame::points3d(const double* stations, const double* offsets, const double* heights, std::size_t n,
                     bool banked, bool extend, double* xyz) const noexcept {
    constexpr std::size_t kBlock = 256;
    double o[kBlock], h[kBlock], xy[2 * kBlock];
    for (std::size_t b = 0; b < n; b += kBlock) {
        const std::size_t m = std::min(kBlock, n - b);
        const double* s = stations + b;
        for (std::size_t i = 0; i < m; ++i) {
            o[i] = offsets[b + i];
            h[i] = heights[b + i];
            if (banked && cant_) {  // as in point3d()
                const Bank k = bank(cant_.get(), s[i], extend);
                const double d = o[i] - k.axis;
                o[i] = k.axis + k.cos * d - k.sin * h[i];
                h[i] = k.sin * d + k.cos * h[i];
            }
        }
        alignment_->points(s, o, m, extend, xy);
        double* out = xyz + 3 * b;
        for (std::size_t i = 0; i < m; ++i) {
            out[3 * i] = xy[2 * i];
            out[3 * i + 1] = xy[2 * i + 1];
            out[3 * i + 2] = profile_ ? profile_->elevation(s[i], extend) + h[i] : kNaN;
        }
    }
}

void Frame::axes(double station, bool extend, FrameAxes& out) const noexcept {
    double x, y, z = kNaN, g = 0.0;
    alignment_->point(station, 0.0, extend, x, y);
    if (profile_) profile_->evaluate(station, extend, z, g);
    const double a = alignment_->azimuth(station, extend);
    const double sa = std::sin(a), ca = std::cos(a), w = std::hypot(1.0, g);
    const double t[3] = {sa / w, ca / w, g / w};
    const Bank b = bank(cant_.get(), station, extend);
    // The banked cross-slope direction, then its part normal to the tangent.
    const double dir[3] = {b.cos * ca, -b.cos * sa, b.sin};
    const double along = dir[2] * t[2];  // the level right-hand direction is normal to t
    double n[3] = {dir[0] - along * t[0], dir[1] - along * t[1], dir[2] - along * t[2]};
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (double& v : n) v /= len;
    const double u[3] = {n[1] * t[2] - n[2] * t[1], n[2] * t[0] - n[0] * t[2], n[0] * t[1] - n[1] * t[0]};
    const double p[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        out.point[i] = p[i];
        out.tangent[i] = t[i];
        out.normal[i] = n[i];
        out.up[i] = u[i];
    }
}

double Frame::design_elevation(double station, double offset, bool banked, bool extend) const noexcept {
    if (!profile_) return kNaN;
    double z = profile_->elevation(station, extend);
    if (banked && cant_) {
        const Bank b = bank(cant_.get(), station, extend);
        z += b.sin / b.cos * (offset - b.axis);
    }
    return z;
}

void Frame::locate3d(const double* xyz, std::size_t n, double max_distance, bool banked, bool extend,
                     Foot* feet, double* dz) const {
    std::vector<double> xy(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        xy[2 * i] = xyz[3 * i];
        xy[2 * i + 1] = xyz[3 * i + 1];
    }
    alignment_->nearest(xy.data(), n, max_distance, feet);
    for (std::size_t i = 0; i < n; ++i) {
        const Foot& f = feet[i];
        dz[i] = f.element < 0 ? kNaN
                              : xyz[3 * i + 2] - design_elevation(f.station, f.offset, banked, extend);
    }
}

}  // namespace curvix::engine
