#pragma once
// The alignment engine: a horizontal alignment as a chain of elements whose
// signed curvature is linear in the distance along them (straights, circular
// arcs, clothoids), evaluated exactly, with station <-> point queries both
// ways, the globally nearest point, every local minimum of the distance and
// every crossing with a polyline.
//
// Conventions
//   - Lengths, stations, coordinates and offsets in the caller's unit.
//   - Azimuths in radians from +Y towards +X (a step s along azimuth a moves
//     by (s*sin a, s*cos a)); never wrapped into a range.
//   - Curvature kappa in 1/unit, positive when the alignment turns right (the
//     azimuth grows along it). kappa(t) = k0 + (k1 - k0) * t / L.
//   - Offsets are positive to the right of the direction of travel.
//   - Stations: element k (0-based) covers S[k] .. S[k+1], S[0] the start
//     station and S[k+1] = S[k] + length_k (summed in element order). A
//     station exactly at a joint belongs to the element that starts there;
//     the end station belongs to the last element.
//
// Immutability: an Alignment is complete when its constructor returns and has
// no mutable state, so every const member may be called from many threads at
// once. Queries never throw for any double input: NaN in gives NaN out.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace curvix {
class PQXElement;
}

namespace curvix::engine {

// Bad construction input: the element (0-based index, or -1 for the
// alignment's own start values), the field ("length", "start_curvature",
// "x", ...) and the reason. what() is an English sentence naming them, with
// the element counted from 1: "element 3: length must be finite and >= 0, got nan".
class ElementError : public std::invalid_argument {
public:
    ElementError(std::ptrdiff_t element, std::string field, const std::string& message);
    std::ptrdiff_t element() const noexcept { return element_; }
    const std::string& field() const noexcept { return field_; }

private:
    std::ptrdiff_t element_;
    std::string field_;
};

// One element as described by a reader.
struct ElementSpec {
    double length = 0.0;  // finite, >= 0
    double k0 = 0.0;      // signed curvature at the start (finite)
    double k1 = 0.0;      // signed curvature at the end (finite)
    // Placement: where absent, the element starts at the exact end point
    // (and end azimuth) of the element before it, or at the alignment's start.
    bool has_start = false;
    double x = 0.0;
    double y = 0.0;
    bool has_azimuth = false;
    double azimuth = 0.0;
    // Compatibility evaluation: when set, point(t) on this element is the
    // legacy element's get_point(t) (bit for bit), and the caller sets
    // has_start/has_azimuth to the legacy element's own start point and
    // azimuth. Azimuth and curvature still come from k0, k1.
    std::shared_ptr<const curvix::PQXElement> legacy;
};

enum class Kind : std::uint8_t { line, arc, clothoid };

// An element as built: its station range and both ends.
struct ElementInfo {
    Kind kind = Kind::line;  // line: k0 == k1 == 0; arc: k0 == k1 != 0; else clothoid
    double start_station = 0.0;
    double end_station = 0.0;
    double length = 0.0;
    double k0 = 0.0;
    double k1 = 0.0;
    double x0 = 0.0, y0 = 0.0, azimuth0 = 0.0;  // start point and azimuth
    double x1 = 0.0, y1 = 0.0, azimuth1 = 0.0;  // end point and azimuth (as evaluated)
};

// A foot point: the station on the alignment nearest to a query point (or a
// local minimum of the distance), the signed offset of the query point there
// (|offset| == distance; positive right of the tangent), and the element.
struct Foot {
    double station;
    double offset;
    double distance;
    std::ptrdiff_t element;  // -1 when there is none (NaN query, nothing within max_distance)
};

struct Crossing {
    double station;
    double x;
    double y;
    std::size_t segment;  // index of the polyline segment (0-based)
    double angle;         // between the tangent and the line, 0 .. pi/2
};

class Alignment {
public:
    // Throws ElementError for: no elements; a non-finite start station, x, y
    // or azimuth; a length that is negative or not finite; a non-finite
    // curvature; a non-finite explicit start or azimuth; an element that
    // turns by more than kMaxTurn; stations that overflow.
    Alignment(double start_station, double x, double y, double azimuth,
              std::vector<ElementSpec> elements);
    ~Alignment();
    Alignment(const Alignment&) = delete;
    Alignment& operator=(const Alignment&) = delete;

    // Largest total turn |k0 + k1| * L / 2 of one element, in radians.
    static constexpr double kMaxTurn = 1.0e4;

    double start_station() const noexcept;
    double end_station() const noexcept;
    double length() const noexcept;  // end_station - start_station
    std::size_t size() const noexcept;
    const ElementInfo& element(std::size_t index) const;  // index < size()
    // Element specs as given (placement flags included), for copying and pickling.
    const std::vector<ElementSpec>& specs() const noexcept;
    double start_x() const noexcept;
    double start_y() const noexcept;
    double start_azimuth() const noexcept;

    // ---- station to point. Outside [start, end]: NaN, or with extend the
    // continuation of the first (below) or last (above) element's curve.
    void point(double station, double offset, bool extend, double& x, double& y) const noexcept;
    double azimuth(double station, bool extend) const noexcept;
    double curvature(double station, bool extend) const noexcept;
    // 0-based element holding the station, -1 outside the range or for NaN.
    std::ptrdiff_t element_index(double station) const noexcept;

    // ---- point to station
    // The globally nearest point of the alignment (every element and both
    // ends considered). A query point beyond an end locates to that end.
    // Nothing within max_distance (or a non-finite query): station, offset
    // and distance NaN, element -1.
    Foot nearest(double x, double y, double max_distance) const noexcept;
    // Every local minimum of the distance within max_distance (ends included
    // where the distance grows into the alignment), sorted by distance.
    // Appends to out.
    void local_minima(double x, double y, double max_distance, std::vector<Foot>& out) const;

    // ---- crossings with a polyline of m points (xy[2*i], xy[2*i+1]); with
    // infinite, xy holds two points and the whole line through them is used.
    // Every crossing, sorted by station (then segment). A tangency (the line
    // touches the alignment without crossing, within 1e-9 of the coordinate
    // scale) is reported once, with angle 0. Appends to out.
    void crossings(const double* xy, std::size_t m, bool infinite, std::vector<Crossing>& out) const;

private:
    struct Impl;
    std::unique_ptr<const Impl> impl_;
};

}  // namespace curvix::engine
