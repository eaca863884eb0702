#pragma once
// Angles are plain values: one double in radians. Nothing is ever reduced
// into a range such as [0, 2*pi): azimuths accumulate along an alignment.
//
// Conversions use PI = 3.141592653589793 (the double nearest to pi) and
// 180.0, in a fixed order of operations that decides the last bit:
//   degrees -> radians: deg / 180.0 * PI
//   radians -> degrees: rad / PI * 180.0

namespace curvix {

class Angle {
public:
    static constexpr double PI = 3.141592653589793;

    Angle() = default;
    explicit Angle(double radians) : rad_(radians) {}

    double GetRadian() const { return rad_; }
    double GetDegree() const;
    double Cos() const;
    double Sin() const;

    Angle operator*(const double& factor) const { return Angle(rad_ * factor); }
    Angle operator+(const Angle& other) const { return Angle(rad_ + other.rad_); }
    // Exact comparison: NaN equals nothing, 0.0 equals -0.0.
    bool operator==(const Angle& other) const { return rad_ == other.rad_; }

private:
    double rad_ = 0.0;
};

// Same content as Angle, built from radians (stored unchanged).
class Radian : public Angle {
public:
    Radian() = default;
    explicit Radian(double radians) : Angle(radians) {}
};

// Same content as Angle, built from degrees (stored in radians).
class Degree : public Angle {
public:
    Degree() = default;
    explicit Degree(double degrees);
};

double RadToDeg(double radians);
double DegToRad(double degrees);

}  // namespace curvix
