#include "curvix/geometry/angle.hpp"

#include <cmath>

namespace curvix {

double DegToRad(double degrees) { return degrees / 180.0 * Angle::PI; }
double RadToDeg(double radians) { return radians / Angle::PI * 180.0; }

double Angle::GetDegree() const { return RadToDeg(rad_); }
double Angle::Cos() const { return std::cos(rad_); }
double Angle::Sin() const { return std::sin(rad_); }

Degree::Degree(double degrees) : Angle(DegToRad(degrees)) {}

}  // namespace curvix
