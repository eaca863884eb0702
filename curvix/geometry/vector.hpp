#pragma once
// Three-component vector (X, Y, Z): the point and direction type of the
// alignment. Plane operations (rotate2d, angle_signed) work in the X-Y plane
// in the mathematical sense, counterclockwise from +X towards +Y, which is the
// opposite sense of the alignment's azimuth (from +Y towards +X).

#include "curvix/geometry/angle.hpp"

namespace curvix {

class Vector {
public:
    Vector() = default;
    Vector(double x, double y) : x_(x), y_(y) {}
    Vector(double x, double y, double z) : x_(x), y_(y), z_(z) {}

    double X() const { return x_; }
    double Y() const { return y_; }
    double Z() const { return z_; }

    // sqrt((X*X + Y*Y) + Z*Z)
    double length() const;

    Vector operator+(const Vector& o) const { return Vector(x_ + o.x_, y_ + o.y_, z_ + o.z_); }
    Vector operator-(const Vector& o) const { return Vector(x_ - o.x_, y_ - o.y_, z_ - o.z_); }

    // Component 0, 1 or 2; any other index throws Error("<i> 超过索引长度.").
    const double& operator[](int index) const;

    // Counterclockwise rotation by the angle; Z is kept.
    Vector rotate2d(const Angle& angle) const;
    // Spatial distance over all three components.
    double distance_point(const Vector& other) const;
    // Signed plane angle from this vector to other, in (-pi, pi]; both Z
    // components must be exactly 0.0, else Error(kGeneralError).
    double angle_signed(const Vector& other) const;

private:
    double x_ = 0.0;
    double y_ = 0.0;
    double z_ = 0.0;
};

}  // namespace curvix
