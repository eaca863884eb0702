#pragma once
// The vertical profile: elevation along the stations of an alignment, as an
// immutable sequence of vertical segments (grade lines, parabolas, circular
// arcs and vertical clothoids), evaluated exactly.
//
// Conventions
//   - Stations are the alignment's internal stations (continuous, in its
//     unit); elevations are in the same unit. t = station - segment start.
//   - Grade g = dz/ds (dimensionless, positive uphill in the direction of
//     travel); theta = atan(g) is the grade angle.
//   - vertical_curvature() is d2z/ds2, the change of grade per station
//     (the "1/K" of road design; for a parabola the same all along it).
//     curvature() is the true curvature of the curve in the station-elevation
//     plane, d(theta)/d(arc length) = z'' / (1 + g^2)^(3/2): 1/R on a
//     circular arc. Both are positive in a sag (grade increasing), negative
//     on a crest.
//   - Segment k covers its start station up to the next segment's start;
//     a station exactly at a joint belongs to the segment starting there,
//     the end station to the last segment.
//
// Segment kinds, each from its start station s0, horizontal length L, start
// elevation z0, start grade g0 and end grade g1:
//   line      z = z0 + g0 t (g1 must equal g0 within 1e-9);
//   parabola  the grade linear in the station: z = z0 + g0 t + (g1 - g0) t^2 / (2 L);
//   arc       the circle in the station-elevation plane tangent to both
//             grades: sin(theta) = sin(theta0) + t / R, so its signed radius
//             is R = L / (sin(theta1) - sin(theta0)) (> 0 in a sag);
//   clothoid  the curvature linear in the arc length sigma of the curve in
//             the station-elevation plane. The grades and L are exact; the
//             start and end radii (signed as R above; 0 or +-inf for a grade
//             line at that end, i.e. no curvature) fix its shape by their
//             ratio: with w = k0 / (k0 + k1) and sigma = v * Lambda,
//             theta(v) = theta0 + (theta1 - theta0) (2 w v + (1 - 2 w) v^2),
//             and Lambda = L / integral_0^1 cos(theta(v)) dv. The curvatures
//             this gives must match the stated radii within 0.1 % of the
//             larger curvature (otherwise ProfileError names the radius).
//             Without curvature at either end it is a line (its grades equal
//             within 1e-9, as a line's).
//   A curve between equal grades, or shorter than 1e-250, is built as a line.
//
// PVI input (LandXML): PVIs (station, elevation) with, at interior PVIs, a
// symmetric parabola (horizontal length L centred on the PVI), an
// asymmetric one (L1 before the PVI, L2 after it: two parabolas meeting at
// the PVI's station with the grade (g_in L1 + g_out L2) / (L1 + L2)), or a
// circular arc fixed by its radius |R| and the two grades (its sense from
// the grades; a stated length is only checked to be finite and >= 0 and is
// reported by curves(), never used: producers mean the arc length or the
// horizontal extent). The grade lines between them join the curves'
// tangent points.
//
// Immutability: a Profile is complete when its constructor returns and has
// no mutable state; every const member may be called from many threads at
// once. Queries never throw: NaN gives NaN, and so does a station outside
// [start_station, end_station] unless extend, which continues the first
// and last grades as straight lines.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace curvix::engine {

// Bad vertical input (profile or cant): the 0-based index of the segment,
// PVI or cant station (-1 for the whole input), the field ("station",
// "elevation", "length", "radius", ...) and what() an English sentence
// naming both: "PVI 2: radius must be finite and not 0, got 0".
class ProfileError : public std::invalid_argument {
public:
    ProfileError(std::ptrdiff_t index, std::string field, const std::string& message);
    std::ptrdiff_t index() const noexcept { return index_; }
    const std::string& field() const noexcept { return field_; }

private:
    std::ptrdiff_t index_;
    std::string field_;
};

enum class VerticalKind : std::uint8_t { line, parabola, arc, clothoid };

struct VerticalSegmentInput {
    VerticalKind kind = VerticalKind::line;
    double start_station = 0.0;
    double length = 0.0;  // horizontal, finite and >= 0
    double start_elevation = 0.0;
    double start_grade = 0.0;
    double end_grade = 0.0;
    // Clothoids only (0 or +-inf: no curvature at that end).
    double start_radius = std::numeric_limits<double>::infinity();
    double end_radius = std::numeric_limits<double>::infinity();
};

enum class PviCurve : std::uint8_t { none, parabola, asymmetric_parabola, arc };

struct PviInput {
    double station = 0.0;
    double elevation = 0.0;
    PviCurve curve = PviCurve::none;
    double length = 0.0;        // parabola: the whole length; asymmetric: the length before the PVI
    double length_after = 0.0;  // asymmetric: the length after the PVI
    double radius = 0.0;        // arc: |radius| is used
    bool has_stated_length = false;  // arc: the length the file states
    double stated_length = 0.0;
};

// A segment as built. Radii are signed (> 0 in a sag, inf on a line); a
// parabola's are its radii of curvature at its ends.
struct VerticalSegment {
    VerticalKind kind = VerticalKind::line;
    double start_station = 0.0, end_station = 0.0;
    double start_elevation = 0.0, end_elevation = 0.0;
    double start_grade = 0.0, end_grade = 0.0;
    double start_radius = 0.0, end_radius = 0.0;
    std::ptrdiff_t pvi = -1;  // the PVI whose curve this is (-1: a grade line, or segment input)
};

// A curve built from a PVI, with both of its lengths and the stated one.
struct PviCurveInfo {
    std::size_t pvi = 0;
    PviCurve curve = PviCurve::none;
    double start_station = 0.0, end_station = 0.0;
    double horizontal_length = 0.0;
    double arc_length = 0.0;  // along the curve (length_3d over it)
    double stated_length = std::numeric_limits<double>::quiet_NaN();  // NaN when none was stated
};

// Curves that overlap by up to kOverlapTolerance (the rounding of real
// files) are accepted: the later curve starts where it is defined to and
// the earlier one ends there. pvi names the later curve's PVI (or the one
// curve that reaches past a PVI at either end of the tangent).
struct ProfileOverlap {
    std::size_t pvi = 0;
    double amount = 0.0;
};

// A station where the grade is 0 inside (or at an end of) a parabola,
// circular arc or clothoid: a crest (high) or a sag (low).
struct TurningPoint {
    double station = 0.0;
    double elevation = 0.0;
    std::size_t segment = 0;
    bool high = false;
};

class Profile {
public:
    // Steepest grade accepted (about 89.94 degrees): beyond it the curves'
    // arithmetic loses its precision long before any real design.
    static constexpr double kMaxGrade = 1.0e3;
    // Gaps and overlaps between segments, and overlaps of PVI curves, up
    // to this (in the stations' unit: a millimetre in metres) are rounding.
    static constexpr double kOverlapTolerance = 1.0e-3;

    // Throws ProfileError for: no segments; a non-finite number; a negative
    // length; a grade steeper than kMaxGrade; a line whose grades differ;
    // a segment that does not start where the one before ends (within
    // kOverlapTolerance, "start_station"); a clothoid whose radii cannot
    // join its grades (both without curvature while the grades differ,
    // curvature of the wrong sense, "end_radius" opposite to "start_radius"
    // with equal magnitude) or do not match the radii its grades and length
    // fix; a curve that turns past vertical; stations beyond the doubles.
    explicit Profile(std::vector<VerticalSegmentInput> segments);
    // Throws ProfileError for: fewer than two distinct PVIs ("pvis"); a
    // non-finite number; stations out of order ("station"); the same
    // station with another elevation ("elevation") or another curve
    // ("curve"); a curve at the first or last PVI ("curve"); a negative
    // length, an asymmetric parabola with one length 0; a zero radius; a
    // grade between PVIs steeper than kMaxGrade ("elevation"); a curve that
    // reaches past the PVI before or after it, or overlaps the next curve,
    // by more than kOverlapTolerance ("length", "length_before",
    // "length_after" or "radius"). A PVI repeated at the same station and
    // elevation is dropped (its curve kept if the first has none).
    explicit Profile(std::vector<PviInput> pvis);
    ~Profile();
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;

    double start_station() const noexcept;
    double end_station() const noexcept;
    std::size_t size() const noexcept;
    const VerticalSegment& segment(std::size_t index) const;  // index < size()
    // The inputs as given: one of the two is empty.
    const std::vector<VerticalSegmentInput>& segment_inputs() const noexcept;
    const std::vector<PviInput>& pvi_inputs() const noexcept;
    const std::vector<ProfileOverlap>& overlaps() const noexcept;
    const std::vector<PviCurveInfo>& curves() const noexcept;

    double elevation(double station, bool extend) const noexcept;
    double grade(double station, bool extend) const noexcept;
    double vertical_curvature(double station, bool extend) const noexcept;  // d2z/ds2
    double curvature(double station, bool extend) const noexcept;  // 1/R in the station-elevation plane
    // Elevation and grade at once.
    void evaluate(double station, bool extend, double& elevation, double& grade) const noexcept;
    // 0-based segment holding the station, -1 outside the range or for NaN.
    std::ptrdiff_t segment_index(double station) const noexcept;

    // The length of the curve in the station-elevation plane from s0 to s1,
    // integral of sqrt(1 + g^2) ds (negative when s1 < s0): closed forms on
    // every kind (a clothoid's arc length is its own parameter), to about
    // 1e-15 relative on each segment.
    double length_3d(double s0, double s1, bool extend) const noexcept;

    // Every station where the grade is 0 within a curve, in station order.
    std::vector<TurningPoint> turning_points() const;

    struct Impl;

private:
    std::unique_ptr<const Impl> impl_;
};

}  // namespace curvix::engine
