#pragma once
// Private to the engine: the tables an Alignment holds once built, and the
// evaluation of an element at a distance along it. Lines and arcs are
// evaluated in closed form; clothoids by the series pieces of
// series_pieces.hpp; the search tree over the elements is in
// search_tree.hpp.
//
// Per element the tables hold its start station (and a sixteenth of it in
// the station index), a 64-byte record (start point and azimuth, curvatures,
// length, and the sine and cosine of the azimuth or where its series pieces
// are), its end point and two placement flags: 89 bytes. Per search piece
// 32 bytes and about a third of a 64-byte tree node. A clothoid adds a
// 72-byte header per series piece (and, in alignments of few pieces, 256
// bytes of coefficients). No element owns an allocation of its own; the
// large tables are on huge pages where the system has them (table.hpp).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/curvature_law.hpp"
#include "curvix/engine/search_tree.hpp"
#include "curvix/engine/series_pieces.hpp"
#include "curvix/engine/station_index.hpp"
#include "curvix/engine/table.hpp"

namespace curvix::engine::detail {

// Joints whose ends lie closer than this (in the alignment's unit: a
// millimetre in metres) are continuous for crossings, as placed elements of
// real files meet to a fraction of it.
inline constexpr double kJointGap = 1e-3;

// Number of entries of the sorted a[0..n) that are <= v (NaN v: a count
// that is of no use; callers exclude NaN first).
inline std::size_t count_not_above(const double* a, std::size_t n, double v) noexcept {
    if (n == 0) return 0;
    const double* base = a;
    std::size_t len = n;
    while (len > 1) {
        const std::size_t half = len / 2;
        base = (base[half] <= v) ? base + half : base;
        len -= half;
    }
    return static_cast<std::size_t>(base - a) + (*base <= v ? 1u : 0u);
}

// What evaluating a point of an element reads, in one cache line.
struct alignas(64) ElementRecord {
    double x0 = 0.0, y0 = 0.0;  // start point
    double azimuth0 = 0.0;
    double k0 = 0.0, k1 = 0.0;
    double length = 0.0;
    // Lines and arcs: the sine and cosine of azimuth0. Clothoids: the index
    // of their first series piece and how many they have (integers, exact
    // as doubles); the other transitions add their shape times kShapeUnit
    // to the index (so u >= kShapeUnit marks them: a sine is at most 1).
    double u = 0.0, v = 1.0;
    static constexpr double kShapeUnit = 68719476736.0;  // 2^36
    double sin0() const noexcept { return u; }
    double cos0() const noexcept { return v; }
    bool shaped() const noexcept { return u >= kShapeUnit; }
    Shape shape() const noexcept {
        return static_cast<Shape>(static_cast<std::uint64_t>(u) >> 36);
    }
    std::size_t first_piece() const noexcept {
        return static_cast<std::size_t>(static_cast<std::uint64_t>(u) & ((std::uint64_t{1} << 36) - 1));
    }
    std::size_t piece_count() const noexcept { return static_cast<std::size_t>(v); }
};
static_assert(sizeof(ElementRecord) == 64, "one cache line");

struct EndPoint {
    double x, y;
};

enum : std::uint8_t { kHasStart = 1, kHasAzimuth = 2 };

// How an element is evaluated.
enum class Eval : std::uint8_t { line, arc, series };
inline Eval eval_of(const ElementRecord& e) noexcept {
    if (e.shaped()) return Eval::series;
    if (!(e.length >= kTinyLength) || (e.k0 == 0.0 && e.k1 == 0.0)) return Eval::line;
    return e.k0 == e.k1 ? Eval::arc : Eval::series;
}

// Displacement from the start and unit tangent of an arc of curvature k
// after t from azimuth a0 (sin a0, cos a0): the chord 2 sin(h) / k along
// a0 + h, h = k t / 2 (as t sin(h) / h, exact for h too small to bend).
inline void arc_local(double sin0, double cos0, double k, double t, double& lx, double& ly,
                      double& tx, double& ty) noexcept {
    const double h = 0.5 * k * t;
    const double sh = std::sin(h), ch = std::cos(h);
    const double chord = h != 0.0 ? t * (sh / h) : t;
    lx = chord * (sin0 * ch + cos0 * sh);
    ly = chord * (cos0 * ch - sin0 * sh);
    const double s2 = 2.0 * sh * ch, c2 = (ch - sh) * (ch + sh);  // of the turn 2h
    tx = sin0 * c2 + cos0 * s2;
    ty = cos0 * c2 - sin0 * s2;
}

struct Data {
    double start_station = 0.0, x = 0.0, y = 0.0, azimuth = 0.0;
    Table<double> stations;           // size() + 1 element boundaries
    StationIndex joints;              // over stations[1 .. size() - 1]
    Table<ElementRecord> elements;
    Table<EndPoint> ends;             // end points as evaluated (by the evaluator where one is given)
    Table<std::uint8_t> flags;        // kHasStart, kHasAzimuth as given
    std::vector<std::shared_ptr<const PointEvaluator>> evaluators;  // size() entries, or none at all
    Table<double> leans;              // size() entries where a Viennese bend leans, or none at all
    Table<SeriesPiece> pieces;        // of the clothoids, element by element
    Table<Coefficients> tables;       // one per piece, or none (see kTablePieces)
    Table<SeriesPiece> before;        // continuation of a clothoid below the start, ascending
    Table<SeriesPiece> after;         // and above the end
    Table<Coefficients> before_tables, after_tables;
    double before_limit = 0.0;        // element distance (<= 0) where `before` ends
    double after_limit = 0.0;         // element distance (>= L) where `after` ends
    SearchTree tree;

    std::size_t size() const noexcept { return elements.size(); }
    const PointEvaluator* evaluator(std::size_t k) const noexcept {
        return evaluators.empty() ? nullptr : evaluators[k].get();
    }
    double slope(std::size_t k) const noexcept {
        const ElementRecord& e = elements[k];
        return e.length > 0.0 ? (e.k1 - e.k0) / e.length : 0.0;
    }
    double lean(std::size_t k) const noexcept { return leans.empty() ? 0.0 : leans[k]; }
    // The curvature law of a transition other than the clothoid.
    CurvatureLaw law(std::size_t k) const noexcept {
        const ElementRecord& e = elements[k];
        return CurvatureLaw(e.shape(), e.k0, e.k1, e.length, lean(k));
    }
    double azimuth_at(std::size_t k, double t) const noexcept {
        const ElementRecord& e = elements[k];
        if (e.shaped()) return e.azimuth0 + law(k).theta(t);
        return e.azimuth0 + t * (e.k0 + slope(k) * t * 0.5);
    }
    double curvature_at(std::size_t k, double t) const noexcept {
        const ElementRecord& e = elements[k];
        if (e.shaped()) return law(k).kappa(t);
        return e.length > 0.0 ? e.k0 + (e.k1 - e.k0) * t / e.length : e.k0;
    }
    // The turn of element k between ta and tb (ta <= tb) where its
    // curvature keeps its sign and |curvature| is monotone there.
    double turn_between(std::size_t k, double ta, double tb) const noexcept {
        if (elements[k].shaped()) {
            const CurvatureLaw l = law(k);
            return std::fabs(l.theta(tb) - l.theta(ta));
        }
        return 0.5 * (std::fabs(curvature_at(k, ta)) + std::fabs(curvature_at(k, tb))) * (tb - ta);
    }
    ElementInfo info(std::size_t k) const noexcept {
        const ElementRecord& r = elements[k];
        ElementInfo e;
        e.kind = r.shaped() ? Kind::clothoid
                 : (r.k0 == 0.0 && r.k1 == 0.0) ? Kind::line
                 : (r.k0 == r.k1 ? Kind::arc : Kind::clothoid);
        e.shape = r.shaped() ? r.shape() : Shape::clothoid;
        e.lean = r.shaped() && r.shape() == Shape::cubic ? 0.0 : lean(k);  // (a cubic's entry is its scale)
        e.start_station = stations[k];
        e.end_station = stations[k + 1];
        e.length = r.length;
        e.k0 = r.k0;
        e.k1 = r.k1;
        e.x0 = r.x0;
        e.y0 = r.y0;
        e.azimuth0 = r.azimuth0;
        e.x1 = ends[k].x;
        e.y1 = ends[k].y;
        e.azimuth1 = azimuth_at(k, r.length);
        return e;
    }
    // 0-based element holding an in-range station.
    std::size_t element_at(double station) const noexcept { return joints.count(station); }
    // The series piece of a clothoid holding t (t within [0, L], or just outside).
    std::size_t piece_index(const ElementRecord& e, double t) const noexcept {
        const std::size_t b = e.first_piece();
        return b + piece_holding(&pieces[b], e.piece_count(), t);
    }
    // Coefficients of piece i: the table's, or computed into scratch.
    const Coefficients& coefficients(std::size_t i, Coefficients& scratch) const noexcept {
        if (!tables.empty()) return tables[i];
        series_coefficients(pieces[i], scratch);
        return scratch;
    }
};

// Exact displacement from the start of an element and unit tangent, at many
// distances along one element: a query's own (on its stack), keeping the
// coefficients of the series piece it used last.
class Cursor {
public:
    Cursor(const Data& d, std::size_t k) noexcept
        : d_(&d), e_(&d.elements[k]), eval_(eval_of(d.elements[k])) {}
    Cursor(const Cursor&) = delete;  // it may point into its own scratch
    Cursor& operator=(const Cursor&) = delete;

    void local(double t, double& lx, double& ly, double& tx, double& ty) const noexcept {
        switch (eval_) {
            case Eval::line:
                lx = t * e_->sin0();
                ly = t * e_->cos0();
                tx = e_->sin0();
                ty = e_->cos0();
                return;
            case Eval::arc:
                arc_local(e_->sin0(), e_->cos0(), e_->k0, t, lx, ly, tx, ty);
                return;
            default: {  // Eval::series
                const std::size_t i = d_->piece_index(*e_, t);
                if (i != piece_) {
                    piece_ = i;
                    coef_ = &d_->coefficients(i, scratch_);
                }
                const SeriesPiece& p = d_->pieces[i];
                series_point(p, *coef_, t, lx, ly);
                series_tangent(p, *coef_, t, tx, ty);
                return;
            }
        }
    }

private:
    const Data* d_;
    const ElementRecord* e_;
    Eval eval_;
    mutable std::size_t piece_ = static_cast<std::size_t>(-1);
    mutable const Coefficients* coef_ = nullptr;
    mutable Coefficients scratch_;
};

// Where search piece i starts (distance along its element) and its start
// point: the end of the piece before on the same element, else 0 and the
// element's start.
inline bool continues_element(const Data& d, std::size_t i) noexcept {
    const auto& p = d.tree.pieces;
    return i > 0 && p[i - 1].element == p[i].element;
}
inline double search_ta(const Data& d, std::size_t i) noexcept {
    return continues_element(d, i) ? d.tree.pieces[i - 1].tb : 0.0;
}
inline void search_start(const Data& d, std::size_t i, double& ax, double& ay) noexcept {
    if (continues_element(d, i)) {
        ax = d.tree.pieces[i - 1].bx;
        ay = d.tree.pieces[i - 1].by;
    } else {
        const ElementRecord& e = d.elements[d.tree.pieces[i].element];
        ax = e.x0;
        ay = e.y0;
    }
}

}  // namespace curvix::engine::detail

namespace curvix::engine {
struct Alignment::Impl : detail::Data {};
}  // namespace curvix::engine
