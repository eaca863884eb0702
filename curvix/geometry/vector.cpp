#include "curvix/geometry/vector.hpp"

#include <cmath>
#include <string>

#include "curvix/geometry/error.hpp"

namespace curvix {

double Vector::length() const { return std::sqrt((x_ * x_ + y_ * y_) + z_ * z_); }

const double& Vector::operator[](int index) const {
    switch (index) {
        case 0: return x_;
        case 1: return y_;
        case 2: return z_;
        default: throw Error(std::to_string(index) + " 超过索引长度.");
    }
}

Vector Vector::rotate2d(const Angle& angle) const {
    const double c = std::cos(angle.GetRadian());
    const double s = std::sin(angle.GetRadian());
    return Vector(c * x_ - s * y_, c * y_ + s * x_, z_);
}

double Vector::distance_point(const Vector& other) const {
    const double dx = x_ - other.x_;
    const double dy = y_ - other.y_;
    const double dz = z_ - other.z_;
    return std::sqrt((dy * dy + dx * dx) + dz * dz);
}

double Vector::angle_signed(const Vector& other) const {
    if (!(z_ == 0.0) || !(other.z_ == 0.0)) throw Error(kGeneralError);
    return std::atan2(x_ * other.y_ - other.x_ * y_, other.x_ * x_ + y_ * other.y_);
}

}  // namespace curvix
