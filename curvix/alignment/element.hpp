#pragma once
// Alignment elements: straights, circular arcs and clothoid spirals.
//
// Conventions: azimuths are radians measured from +Y towards +X, so a step s
// along azimuth a moves by (s*sin a, s*cos a). An element starting at P0 with
// azimuth a maps a local position (u along the travel direction, v to its
// right) to the plane by rotating (v, u) by -a and adding P0:
//   x = x0 + (v*cos(-a) - u*sin(-a)),  y = y0 + (v*sin(-a) + u*cos(-a)).
// direction d = +1 bends to the right (azimuth grows), -1 to the left.
// Elements validate nothing: zero radii or parameters give IEEE infinities or
// NaNs. An infinite radius is the finite 1e39.

#include <memory>

#include "curvix/alignment/spiral_series.hpp"
#include "curvix/geometry/angle.hpp"
#include "curvix/geometry/vector.hpp"

namespace curvix {

inline constexpr double kInfiniteRadius = 1e39;

class PQXElement {
public:
    virtual ~PQXElement() = default;
    PQXElement(const PQXElement&) = delete;
    PQXElement& operator=(const PQXElement&) = delete;

    // Azimuth at the element's end (not reduced to any range).
    virtual Angle get_end_angle() const = 0;
    // Point at distance s from the start along the element; s is not limited
    // to [0, length]: the curve continues both ways.
    virtual Vector get_point(double s) const = 0;

    int type = 0;
    Vector start_point;
    Vector end_point;  // kept at (0, 0, 0); end values are computed on demand
    Angle start_angle;
    double end_angle = 0.0;
    double length = 0.0;
    int direction = 0;

protected:
    PQXElement(int type_code, const Vector& start, const Angle& azimuth, double len, int dir);
    // The local pair (v to the right, u ahead) placed in the plane.
    Vector place(double u, double v) const;

private:
    double cos_neg_a_;  // cos(-start_angle), fixed at construction
    double sin_neg_a_;  // sin(-start_angle)
};

class Straight final : public PQXElement {
public:
    Straight(const Vector& start, const Angle& azimuth, double length);
    Angle get_end_angle() const override;
    Vector get_point(double s) const override;
};

class Arc final : public PQXElement {
public:
    Arc(const Vector& start, const Angle& azimuth, double radius, double length, int direction);
    Angle get_end_angle() const override;
    Vector get_point(double s) const override;

    double radius;
};

class Sprial final : public PQXElement {
public:
    // type 3: start_radius = 1e39, end_radius = R
    // type 4: start_radius = R, end_radius = 1e39
    static std::unique_ptr<Sprial> entering(const Vector& start, const Angle& azimuth, double A,
                                            double R, int direction);
    static std::unique_ptr<Sprial> leaving(const Vector& start, const Angle& azimuth, double A,
                                           double R, int direction);
    // type 5 (curvature growing) or 6 (shrinking) between R1 and R2
    Sprial(int type, const Vector& start, const Angle& azimuth, double A, double R1, double R2,
           int direction);

    Angle get_end_angle() const override;
    Vector get_point(double s) const override;

    double A;
    double start_radius;
    double end_radius;

private:
    SpiralSeries series_;
};

}  // namespace curvix
