#pragma once
// A horizontal alignment loaded from an ICD file: the start station, start
// point and azimuth, and the chain of elements in file order.
//
// Stations are not stored in the elements: element k (from 1) covers
// S[k-1] .. S[k], with S[0] = start_pk and S[k] = S[k-1] + length of element
// k. start_pk and end_pk can be rewritten by callers at any time; the table is
// rebuilt from the current start_pk whenever it changed.
//
// Not thread-safe for concurrent use of one object (the station table is
// rebuilt lazily); distinct objects are independent.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "curvix/alignment/element.hpp"
#include "curvix/geometry/angle.hpp"
#include "curvix/geometry/vector.hpp"

namespace curvix {

struct IcdDocument;

// The elements of an ICD document built as the format has always built
// them: each starts at the running point and azimuth (or its explicit
// azimuth), which then move to its end; line 2 sets both, through the
// degree round trip ((a / pi) * 180) / 180 * pi.
struct LegacyChain {
    Vector start_point;
    Angle start_angle;
    std::vector<std::unique_ptr<PQXElement>> elements;
};
LegacyChain build_legacy_chain(const IcdDocument& document);

// (station, distance) found by one halving search.
using Candidate = std::pair<double, double>;

class PQX {
public:
    // The empty alignment: stations 0 to 0, no elements, empty text.
    PQX() = default;
    // Loads the ICD file named by a UTF-16 path (see icd_reader.hpp for the
    // failures thrown).
    explicit PQX(const std::u16string& path);
    // Loads ICD text given as raw bytes (UTF-8), as read from a file.
    static std::unique_ptr<PQX> from_bytes(std::string_view bytes);

    PQX(const PQX&) = delete;
    PQX& operator=(const PQX&) = delete;

    double start_pk = 0.0;
    double end_pk = 0.0;
    Angle start_angle;
    Vector start_point;
    std::u16string Text;
    std::vector<std::unique_ptr<PQXElement>> elements;

    // ---- station to coordinate
    // Below start_pk: the point at start_pk. Above end_pk or NaN: (0, 0, 0).
    // Throws std::invalid_argument when a station needs an element and the
    // alignment has none.
    Vector get_coordinate(double pk) const;
    // Unit chord between the points about d before and after pk (Z = 0).
    Vector get_dir(double pk, double d) const;

    // ---- point to station
    double get_station_by_point(double x, double y, int n, double eps) const;
    void binary_test(double a, double b, const Vector& point, double eps, Candidate& out) const;
    double get_station_by_point2(double x1, double y1, double x2, double y2, double eps) const;
    int get_side(double x, double y) const;

    // Index (0-based) of the element that holds pk, for start_pk <= pk <=
    // end_pk, and the base station its offset is measured from.
    std::pair<std::size_t, double> locate(double pk) const;
    // Boundary stations S[0..n] for the current start_pk.
    const std::vector<double>& station_table() const;

private:
    void load_text(std::string_view bytes);
    double distance_at(double s, const Vector& point) const;
    double snapped(double s) const;
    Candidate refine(const Candidate& c, double lo, double hi, const Vector& point, double eps) const;

    struct Table {
        std::vector<double> stations;
        std::uint64_t start_bits = 0;
        std::size_t count = static_cast<std::size_t>(-1);
        bool sorted = false;  // finite and non-decreasing: binary search applies
    };
    mutable Table table_;
};

}  // namespace curvix
