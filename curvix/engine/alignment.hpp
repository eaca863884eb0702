#pragma once
// The alignment engine: a horizontal alignment as a chain of elements whose
// signed curvature is linear in the distance along them (straights, circular
// arcs, clothoids), evaluated exactly, with station <-> point queries both
// ways, the globally nearest point, every local minimum of the distance and
// every crossing with a polyline.
//
// The other transition curves (Bloss, cosine, sine, Helmert, the Viennese
// bend; curvature_law.hpp) are integrated by the same series pieces, their
// curvature's Taylor expansion in place of the clothoid's linear one, and
// answer every query the clothoid answers.
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
//
// Exactness: lines and arcs are evaluated in closed form, and clothoids are
// integrated exactly (a power series per piece of bounded turn, see
// series_pieces.hpp): points are within 1e-9 of the exact
// curve through the element's start point and azimuth for clothoids turning
// up to 2 pi over 10 km, and for coordinates up to 1e7 (where the final
// rounding of a coordinate is itself up to 0.93e-9). Lengths and coordinates
// are bounded (Alignment::kMaxLength, kMaxCoordinate, both beyond what this
// statement covers), and so is the rounding that grows with the distance
// along an element: on elements of kMaxLength the largest errors measured
// against long double closed forms were 1.6e-10 for lines and 6e-9 for arcs
// (one turning 869 rad; its half turn rounds at the scale of the distance
// from the element's start). A 1e7 line was already 2e-9 off, and a 1e308
// line gave its start point at every station.
//
// Memory: about 150 bytes per line or arc and 250 to 300 per clothoid of a
// railway (one or two series pieces), in a few flat tables; see
// engine_data.hpp. memory_bytes() reports them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "curvix/engine/curvature_law.hpp"

namespace curvix::engine {

// Bad construction input: the element (0-based index, or -1 for the
// alignment's own start values), the field ("length", "start_curvature",
// "end_curvature", "x", "y", "azimuth"; for -1 also "start_station" and
// "elements") and the reason. what() is an English sentence naming them, with
// the element counted from 1: "element 3: length must be finite and >= 0, got nan",
// "alignment start: x must be finite, got inf"; that is
// "<element N|alignment start>: <field> <message>".
class ElementError : public std::invalid_argument {
public:
    ElementError(std::ptrdiff_t element, std::string field, const std::string& message);
    std::ptrdiff_t element() const noexcept { return element_; }
    const std::string& field() const noexcept { return field_; }

private:
    std::ptrdiff_t element_;
    std::string field_;
};

// The points of one element as another evaluation gives them, in place of
// the engine's integration: a reader's compatibility mode (the ICD reader's
// legacy series, curvix/icd_engine/). point(t) is the point at distance t
// from the element's start for any t (the curve continues both ways), NaN
// where it has none; it never throws, and many threads may call it at once,
// as they call the engine's queries.
class PointEvaluator {
public:
    virtual ~PointEvaluator() = default;
    virtual void point(double t, double& x, double& y) const noexcept = 0;
};

// One element as described by a reader.
struct ElementInput {
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
    // evaluator's point(t) (bit for bit), and the caller sets
    // has_start/has_azimuth to the evaluator's own start point and azimuth.
    // Azimuth and curvature still come from k0, k1, and so does the curve
    // that nearest, local_minima and crossings search (they answer on the
    // exact curve, which differs from a series by that series' own
    // truncation error).
    std::shared_ptr<const PointEvaluator> evaluator;
    // How the curvature goes from k0 to k1 (curvature_law.hpp); a transition
    // other than the clothoid takes no evaluator. lean is the Viennese
    // bend's gravity-centre height times its change of cant angle (0 for
    // every other shape).
    Shape shape = Shape::clothoid;
    double lean = 0.0;
};

enum class Kind : std::uint8_t { line, arc, clothoid };

// An element as built: its station range and both ends.
struct ElementInfo {
    Kind kind = Kind::line;  // line: k0 == k1 == 0; arc: k0 == k1 != 0; else clothoid (or `shape`)
    Shape shape = Shape::clothoid;  // the transition's shape where kind is clothoid
    double lean = 0.0;
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
    // or azimuth; a length that is negative, not finite or above kMaxLength;
    // a non-finite curvature; a non-finite explicit start or azimuth; a start
    // point or explicit start beyond kMaxCoordinate ("x", "y"); an element
    // that turns by more than kMaxTurn ("length"); a curvature change per
    // unit length beyond the doubles ("end_curvature"); an end point that is
    // not finite or lies beyond kMaxCoordinate ("length"); a shape other than
    // the clothoid with an evaluator ("shape"); a lean that is not finite, or
    // not 0 on a shape other than the Viennese bend ("lean"). Every reader's
    // elements arrive here, so these limits are the one rule for all files.
    Alignment(double start_station, double x, double y, double azimuth,
              std::vector<ElementInput> elements);
    ~Alignment();
    Alignment(const Alignment&) = delete;
    Alignment& operator=(const Alignment&) = delete;

    // Largest total turn of one element, in radians: the integral of
    // |curvature| along it, (|k0| + |k1|) L / 2 when k0 and k1 share a sign,
    // (k0^2 + k1^2) L / (2 |k1 - k0|) when the curvature passes through zero
    // (so a clothoid from -k to +k cannot pass as "no turn"). It bounds the
    // pieces, and so the memory, of one element (a search piece and a third
    // of a tree node, 53 bytes, per pi/4; for a clothoid also a 72-byte series
    // piece per radian or so).
    static constexpr double kMaxTurn = 1.0e3;
    // Largest length of one element, in the alignment's unit: 1e6 (1000 km
    // in metres, 305 km in feet; the longest straights ever built are below
    // 500 km). It keeps the rounding along an element at nanometres (above).
    static constexpr double kMaxLength = 1.0e6;
    // Largest |x| and |y| of the alignment's start, of an explicit start and
    // of every element's end point as computed: 1e8 (national grids, false
    // origins included, stay below it in metres and in feet). There the
    // final rounding of a coordinate is up to 7.5e-9.
    static constexpr double kMaxCoordinate = 1.0e8;

    double start_station() const noexcept;
    double end_station() const noexcept;
    double length() const noexcept;  // end_station - start_station
    std::size_t size() const noexcept;
    ElementInfo element(std::size_t index) const;  // throws std::out_of_range unless index < size()
    // Element inputs as given (placement flags and evaluators included; x, y
    // and azimuth 0 where a flag says there is none), for copying and
    // pickling. Built from the tables on each call.
    std::vector<ElementInput> inputs() const;
    double start_x() const noexcept;
    double start_y() const noexcept;
    double start_azimuth() const noexcept;

    // ---- station to point. Outside [start, end]: NaN, or with extend the
    // continuation of the first (below) or last (above) element's curve:
    // lines and arcs without limit; a clothoid (its curvature still linear)
    // over 64 series pieces at either end (each at most 2 sqrt(0.02 / |c|)
    // long and turning by at most about 1 rad), beyond which point() gives
    // NaN while azimuth() and curvature() go on. An end element with an
    // evaluator continues by the evaluator's point().
    void point(double station, double offset, bool extend, double& x, double& y) const noexcept;
    // point() of n stations and offsets into xy[2*i], xy[2*i+1], the same
    // answers; a batch looks up several stations at once, so that their
    // reads of the tables overlap.
    void points(const double* stations, const double* offsets, std::size_t n, bool extend,
                double* xy) const noexcept;
    double azimuth(double station, bool extend) const noexcept;
    double curvature(double station, bool extend) const noexcept;
    // 0-based element holding the station, -1 outside the range or for NaN.
    std::ptrdiff_t element_index(double station) const noexcept;

    // ---- point to station
    // The globally nearest point of the alignment (every element and both
    // ends considered). A query point beyond an end locates to that end.
    // Nothing within max_distance (or a non-finite query, or a NaN or
    // negative max_distance): station, offset and distance NaN, element -1.
    // The station is a foot point (the offset normal to the tangent), an end
    // of the alignment, or a joint the distance falls into from before and
    // grows from after (a kink or a gap). Of equal distances, the lowest
    // station wins (the first element, then the least distance along it).
    Foot nearest(double x, double y, double max_distance) const noexcept;
    // nearest() of n points (xy[2*i], xy[2*i+1]) into out[0..n). Large
    // batches are answered in a spatial (Morton) order of the points, so
    // that neighbouring queries walk the same part of the tree while it is
    // in cache; each answer is the one nearest() gives for its point.
    // Allocates its order (may throw std::bad_alloc).
    void nearest(const double* xy, std::size_t n, double max_distance, Foot* out) const;
    // Every local minimum of the distance within max_distance (ends included
    // where the distance grows into the alignment), sorted by distance.
    // Minima closer than 1e-9 in station are one (the nearer kept). Appends
    // to out.
    void local_minima(double x, double y, double max_distance, std::vector<Foot>& out) const;

    // ---- crossings with a polyline of m points (xy[2*i], xy[2*i+1]); with
    // infinite, xy holds two points and the whole line through them is used.
    // Every crossing, sorted by station (then segment). A tangency (the line
    // touches the alignment without crossing, within 1e-12 of the coordinate
    // scale) is reported once, with angle 0. Appends to out.
    // The coordinate scale is max(1, |coordinates of the segment's points|);
    // a place where the tangent is parallel to the line and the alignment
    // is within that tolerance of it is one touching point, even where it
    // crosses by less (so an exactly tangent line gives one answer however
    // it rounds). A crossing is kept within the segment up to 8 ulps of the
    // scale; one at the point two consecutive segments share (within the
    // tolerance of it on both) is reported once, with the first segment.
    // Segments with non-finite points or zero length meet
    // nothing. Throws std::invalid_argument for infinite with m != 2, or a
    // null xy with m > 0.
    void crossings(const double* xy, std::size_t m, bool infinite, std::vector<Crossing>& out) const;

    // Bytes the tables of this alignment hold (their capacity), beside the
    // evaluators it shares: for tests of its footprint and the benchmarks.
    std::size_t memory_bytes() const noexcept;

private:
    friend class Network;  // indexes the search trees of many alignments (network.hpp)
    struct Impl;
    std::unique_ptr<const Impl> impl_;
};

}  // namespace curvix::engine
