#include "curvix/alignment/element.hpp"

#include <cmath>

namespace curvix {

PQXElement::PQXElement(int type_code, const Vector& start, const Angle& azimuth, double len,
                       int dir)
    : type(type_code),
      start_point(start),
      start_angle(azimuth),
      length(len),
      direction(dir),
      cos_neg_a_(std::cos(-azimuth.GetRadian())),
      sin_neg_a_(std::sin(-azimuth.GetRadian())) {}

Vector PQXElement::place(double u, double v) const {
    return Vector(start_point.X() + (v * cos_neg_a_ - u * sin_neg_a_),
                  start_point.Y() + (v * sin_neg_a_ + u * cos_neg_a_), start_point.Z());
}

// ---------------------------------------------------------------- Straight

Straight::Straight(const Vector& start, const Angle& azimuth, double len)
    : PQXElement(1, start, azimuth, len, 0) {}

Angle Straight::get_end_angle() const { return start_angle; }

Vector Straight::get_point(double s) const { return place(s, 0.0); }

// --------------------------------------------------------------------- Arc

Arc::Arc(const Vector& start, const Angle& azimuth, double r, double len, int dir)
    : PQXElement(2, start, azimuth, len, dir), radius(r) {}

Angle Arc::get_end_angle() const {
    return Angle(start_angle.GetRadian() + (length / radius) * direction);
}

Vector Arc::get_point(double s) const {
    const double theta = s / radius;
    const double u = radius * std::sin(theta);
    const double v = direction * radius * (1.0 - std::cos(theta));
    return place(u, v);
}

// ------------------------------------------------------------------ Sprial

namespace {
double spiral_length(double A, double r1, double r2) { return std::fabs(A * A / r1 - A * A / r2); }
}  // namespace

Sprial::Sprial(int type_code, const Vector& start, const Angle& azimuth, double a, double r1,
               double r2, int dir)
    : PQXElement(type_code, start, azimuth, spiral_length(a, r1, r2), dir),
      A(a),
      start_radius(r1),
      end_radius(r2),
      series_(r1, a, type_code) {}

std::unique_ptr<Sprial> Sprial::entering(const Vector& start, const Angle& azimuth, double a,
                                         double R, int dir) {
    return std::make_unique<Sprial>(3, start, azimuth, a, kInfiniteRadius, R, dir);
}

std::unique_ptr<Sprial> Sprial::leaving(const Vector& start, const Angle& azimuth, double a,
                                        double R, int dir) {
    return std::make_unique<Sprial>(4, start, azimuth, a, R, kInfiniteRadius, dir);
}

Angle Sprial::get_end_angle() const {
    const double turn = std::fabs(1.0 / (start_radius * start_radius) -
                                  1.0 / (end_radius * end_radius));
    return Angle(start_angle.GetRadian() + turn * (A * 0.5 * A) * direction);
}

Vector Sprial::get_point(double s) const {
    double along = 0.0;
    double lateral = 0.0;
    series_.evaluate(s, along, lateral);
    return place(along, direction * lateral);
}

}  // namespace curvix
