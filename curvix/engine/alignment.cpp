// Construction of the element chain (checks, placement, the series pieces of
// series_pieces.hpp and the search tree of search_tree.hpp) and the
// station -> point queries.

#include "curvix/engine/alignment.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <utility>

#include "curvix/engine/engine_data.hpp"

namespace curvix::engine {

namespace {

using detail::Curve;
using detail::CxSum;
using detail::Data;
using detail::ElementRecord;
using detail::Eval;
using detail::kTinyLength;
using detail::pieces_backward;
using detail::pieces_forward;
using detail::SeriesPiece;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Guard on the pieces of one element (never reached: a piece turns by about
// 0.96 rad or covers 2 sqrt(0.02 / |c|), so kMaxTurn allows about
// 1e3 / 0.96 + sqrt(4e3 / 0.08) of them).
constexpr std::size_t kMaxPiecesPerElement = std::size_t{1} << 16;
// The tables index elements and pieces in 32 bits.
constexpr std::size_t kMaxIndex = std::numeric_limits<std::uint32_t>::max();

std::string number(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// A limit as the messages name it ("1e+06").
std::string limit(double v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string where(std::ptrdiff_t element) {
    return element < 0 ? std::string("alignment start") : "element " + std::to_string(element + 1);
}

// Total turn: the integral of |kappa| over the element, without overflow
// in the intermediate products.
double total_turn(double L, double k0, double k1) {
    const double a = std::fabs(k0), b = std::fabs(k1);
    const double m = std::max(a, b);
    if (m == 0.0) return 0.0;
    const double p = a / m, q = b / m;
    const bool same_sign = (k0 >= 0.0 && k1 >= 0.0) || (k0 <= 0.0 && k1 <= 0.0);
    const double f = same_sign ? 0.5 * (p + q) : (p * p + q * q) / (2.0 * (p + q));
    return L * m * f;
}

// Continuation of a line or an arc from (x, y, a) over tau with constant
// curvature k, with an offset.
void arc_point(double x, double y, double a, double k, double tau, double offset, double& ox,
               double& oy) {
    double along = tau, right = 0.0;
    if (k != 0.0) {
        const double h = std::sin(0.5 * k * tau);
        along = std::sin(k * tau) / k;
        right = 2.0 * h * h / k;
    }
    const double sa = std::sin(a), ca = std::cos(a);
    double dx = along * sa + right * ca;
    double dy = along * ca - right * sa;
    if (offset != 0.0) {
        const double ae = a + k * tau;
        dx += offset * std::cos(ae);
        dy -= offset * std::sin(ae);
    }
    ox = x + dx;
    oy = y + dy;
}

// The point at distance t along element k (its own curve), with an offset.
void element_place(const Data& d, std::size_t k, double t, double offset, double& x, double& y) noexcept {
    const ElementRecord& e = d.elements[k];
    double lx, ly, tx = 0.0, ty = 0.0;
    switch (detail::eval_of(e)) {
        case Eval::line:
            lx = t * e.sin0();
            ly = t * e.cos0();
            tx = e.sin0();
            ty = e.cos0();
            break;
        case Eval::arc:
            detail::arc_local(e.sin0(), e.cos0(), e.k0, t, lx, ly, tx, ty);
            break;
        default: {
            const std::size_t i = d.piece_index(e, t);
            detail::Coefficients scratch;
            const detail::Coefficients& c = d.coefficients(i, scratch);
            detail::series_point(d.pieces[i], c, t, lx, ly);
            if (offset != 0.0) detail::series_tangent(d.pieces[i], c, t, tx, ty);
            break;
        }
    }
    if (offset != 0.0) {
        lx += offset * ty;
        ly -= offset * tx;
    }
    x = e.x0 + lx;
    y = e.y0 + ly;
}

// A continuation piece of the first or last element, with its coefficients.
void continued_place(const Data& d, std::size_t k, const SeriesPiece& p, const detail::Coefficients& c,
                     double t, double offset, double& x, double& y) {
    const ElementRecord& e = d.elements[k];
    double lx, ly;
    detail::series_point(p, c, t, lx, ly);
    if (offset != 0.0) {
        double tx, ty;
        detail::series_tangent(p, c, t, tx, ty);
        lx += offset * ty;
        ly -= offset * tx;
    }
    x = e.x0 + lx;
    y = e.y0 + ly;
}

void evaluator_place(const PointEvaluator& ev, double t, double a, double offset, double& x,
                     double& y) {
    ev.point(t, x, y);
    if (offset != 0.0) {
        x += offset * std::cos(a);
        y -= offset * std::sin(a);
    }
}

detail::Table<detail::Coefficients> tables_of(const detail::Table<SeriesPiece>& pieces) {
    detail::Table<detail::Coefficients> out(pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) detail::series_coefficients(pieces[i], out[i]);
    return out;
}

using detail::bytes_of;

}  // namespace

ElementError::ElementError(std::ptrdiff_t element, std::string field, const std::string& message)
    : std::invalid_argument(where(element) + ": " + field + " " + message),
      element_(element),
      field_(std::move(field)) {}

Alignment::Alignment(double start_station, double x, double y, double azimuth,
                     std::vector<ElementInput> elements) {
    auto d = std::make_unique<Impl>();
    const auto need_finite = [](std::ptrdiff_t k, const char* field, double v) {
        if (!std::isfinite(v)) throw ElementError(k, field, "must be finite, got " + number(v));
    };
    const auto need_coordinate = [&need_finite](std::ptrdiff_t k, const char* field, double v) {
        need_finite(k, field, v);
        if (!(std::fabs(v) <= kMaxCoordinate))
            throw ElementError(k, field, "must be at most " + limit(kMaxCoordinate) +
                                             " in absolute value, got " + number(v));
    };
    need_finite(-1, "start_station", start_station);
    need_coordinate(-1, "x", x);
    need_coordinate(-1, "y", y);
    need_finite(-1, "azimuth", azimuth);
    if (elements.empty()) throw ElementError(-1, "elements", "must hold at least one element");
    if (elements.size() > kMaxIndex)
        throw ElementError(-1, "elements", "must hold at most " + std::to_string(kMaxIndex) +
                                               " elements, got " + std::to_string(elements.size()));
    d->start_station = start_station;
    d->x = x;
    d->y = y;
    d->azimuth = azimuth;
    const std::size_t n = elements.size();
    d->elements.reserve(n);
    d->ends.reserve(n);
    d->flags.reserve(n);
    d->stations.reserve(n + 1);
    d->stations.push_back(start_station);
    const bool evaluated = std::any_of(elements.begin(), elements.end(),
                                       [](const ElementInput& e) { return e.evaluator != nullptr; });
    if (evaluated) d->evaluators.reserve(n);
    double px = x, py = y, pa = azimuth;
    std::vector<std::pair<std::size_t, detail::Coefficients>> shaped_coefs;
    Curve first_curve{}, last_curve{};
    CxSum last_end;
    for (std::size_t k = 0; k < n; ++k) {
        const ElementInput& s = elements[k];
        const auto kk = static_cast<std::ptrdiff_t>(k);
        if (!(std::isfinite(s.length) && s.length >= 0.0))
            throw ElementError(kk, "length", "must be finite and >= 0, got " + number(s.length));
        if (!(s.length <= kMaxLength))
            throw ElementError(kk, "length", "must be at most " + limit(kMaxLength) + ", got " + number(s.length));
        need_finite(kk, "start_curvature", s.k0);
        need_finite(kk, "end_curvature", s.k1);
        if (s.has_start) {
            need_coordinate(kk, "x", s.x);
            need_coordinate(kk, "y", s.y);
        }
        if (s.has_azimuth) need_finite(kk, "azimuth", s.azimuth);
        const double L = s.length;
        if (!std::isfinite(s.lean)) throw ElementError(kk, "lean", "must be finite, got " + number(s.lean));
        if (s.lean != 0.0 && s.shape != Shape::viennese)
            throw ElementError(kk, "lean", "applies to a Viennese bend only, got " + number(s.lean) +
                                               " on a " + shape_name(s.shape));
        if (s.shape != Shape::clothoid && s.evaluator)
            throw ElementError(kk, "shape", std::string("a ") + shape_name(s.shape) +
                                                " takes no point evaluator");
        // A transition that does not change the curvature is a line or an arc.
        const bool shaped = s.shape != Shape::clothoid && L >= kTinyLength &&
                            (s.k0 != s.k1 || s.lean != 0.0);
        double turn = total_turn(L, s.k0, s.k1);
        if (shaped) {
            // The other shapes turn as much as the clothoid where the
            // curvature keeps its sign (every shape is half-way on average),
            // at most max |k| L where it changes sign; the Viennese bend's
            // lean adds |lean| / L times the travel of g' (2 * 140 / 64).
            const bool same_sign = (s.k0 >= 0.0 && s.k1 >= 0.0) || (s.k0 <= 0.0 && s.k1 <= 0.0);
            if (!same_sign) turn = std::max(std::fabs(s.k0), std::fabs(s.k1)) * L;
            turn += std::fabs(s.lean) / L * 4.375;
            // A cubic parabola turns by less than pi / 2 whatever its length.
            if (s.shape == Shape::cubic) turn = std::fabs(detail::CurvatureLaw(s.shape, s.k0, s.k1, L, 0.0).theta(L));
        }
        if (!(turn <= kMaxTurn))
            throw ElementError(kk, "length",
                               "makes the element turn by " + number(turn) +
                                   " rad, more than the " + number(kMaxTurn) +
                                   " rad one element may turn");
        const double c = L > 0.0 ? (s.k1 - s.k0) / L : 0.0;
        if (!std::isfinite(c))
            throw ElementError(kk, "end_curvature",
                               "changes the curvature faster than doubles can hold over a length of " +
                                   number(L));
        // Finite: a finite station plus at most kMaxLength cannot overflow.
        const double end_station = d->stations.back() + L;

        ElementRecord e;
        e.x0 = s.has_start ? s.x : px;
        e.y0 = s.has_start ? s.y : py;
        e.azimuth0 = s.has_azimuth ? s.azimuth : pa;
        e.k0 = s.k0;
        e.k1 = s.k1;
        e.length = L;
        const Curve cv{{std::cos(e.azimuth0), std::sin(e.azimuth0)}, s.k0, c};
        if (k == 0) first_curve = cv;
        last_curve = cv;
        // The leans table also keeps a cubic parabola's scale, found once here.
        double kept = s.lean;
        if (shaped) {
            const detail::CurvatureLaw law(s.shape, s.k0, s.k1, L, s.lean);
            if (s.shape == Shape::cubic) kept = law.cubic_scale_value();
            const std::size_t count = detail::shaped_piece_count(law);
            if (count >= kMaxPiecesPerElement)
                throw ElementError(kk, "length", "needs too many pieces: " + number(L));
            CxSum end;
            const std::size_t before = d->pieces.size();
            std::vector<detail::Coefficients> coefs;
            coefs.reserve(count);
            detail::shaped_pieces(law, cv.e0, count, end, d->pieces, coefs);
            if (d->pieces.size() > kMaxIndex)
                throw ElementError(kk, "length", "needs more pieces than the alignment can index");
            for (std::size_t i = 0; i < count; ++i) shaped_coefs.emplace_back(before + i, coefs[i]);
            last_end = end;
            e.u = static_cast<double>(before) + ElementRecord::kShapeUnit * static_cast<double>(s.shape);
            e.v = static_cast<double>(count);
            if (kept != 0.0 && d->leans.empty()) {
                d->leans.reserve(n);
                for (std::size_t j = 0; j < k; ++j) d->leans.push_back(0.0);
            }
        } else if (detail::eval_of(e) == Eval::series) {
            CxSum end;
            const std::size_t before = d->pieces.size();
            pieces_forward(cv, 0.0, L, kMaxPiecesPerElement, end, d->pieces);
            if (d->pieces.size() - before == kMaxPiecesPerElement)
                throw ElementError(kk, "length", "needs too many pieces: " + number(L));
            if (d->pieces.size() > kMaxIndex)
                throw ElementError(kk, "length", "needs more pieces than the alignment can index");
            last_end = end;
            e.u = static_cast<double>(before);
            e.v = static_cast<double>(d->pieces.size() - before);
        } else {
            e.u = cv.e0.im;
            e.v = cv.e0.re;
        }
        d->elements.push_back(e);
        // (the table starts with the first leaning bend, which may be the first element)
        if (!d->leans.empty() || kept != 0.0) d->leans.push_back(shaped ? kept : 0.0);
        d->stations.push_back(end_station);
        d->flags.push_back(static_cast<std::uint8_t>((s.has_start ? detail::kHasStart : 0) |
                                                     (s.has_azimuth ? detail::kHasAzimuth : 0)));
        if (evaluated) d->evaluators.push_back(s.evaluator);

        double x1, y1;
        if (s.evaluator) {
            s.evaluator->point(L, x1, y1);
        } else if (shaped) {
            // The pieces' sum, as the pieces were laid: a cursor here would
            // read the coefficients of the clothoid form, which the tables
            // only replace once every element is built.
            const detail::Cx w = detail::mul(cv.e0, last_end.value());
            x1 = e.x0 + w.im;
            y1 = e.y0 + w.re;
        } else {
            double lx, ly, tx, ty;
            detail::Cursor(*d, k).local(L, lx, ly, tx, ty);
            x1 = e.x0 + lx;
            y1 = e.y0 + ly;
        }
        if (!std::isfinite(x1) || !std::isfinite(y1))
            throw ElementError(kk, "length",
                               "puts the end point beyond the range of doubles, got " + number(L));
        for (const auto& [name, v] : {std::pair<const char*, double>{"x", x1}, {"y", y1}}) {
            if (!(std::fabs(v) <= kMaxCoordinate))
                throw ElementError(kk, "length", std::string("puts the end point's ") + name + " at " +
                                                     number(v) + ", beyond " + limit(kMaxCoordinate) +
                                                     " in absolute value");
        }
        d->ends.push_back({x1, y1});
        px = x1;
        py = y1;
        pa = d->azimuth_at(k, L);
    }

    // Clothoids at the ends continue over a bounded number of pieces (the
    // other transitions continue as the circles they end on).
    if (detail::eval_of(d->elements[0]) == Eval::series && !d->elements[0].shaped()) {
        d->before_limit = pieces_backward(first_curve, detail::kExtendPieces, d->before);
        d->before_tables = tables_of(d->before);
    }
    if (detail::eval_of(d->elements[n - 1]) == Eval::series && !d->elements[n - 1].shaped()) {
        d->after_limit = pieces_forward(last_curve, d->elements[n - 1].length,
                                        std::numeric_limits<double>::infinity(),
                                        detail::kExtendPieces, last_end, d->after);
        d->after_tables = tables_of(d->after);
    }
    d->pieces.shrink_to_fit();
    if (d->pieces.size() <= detail::kTablePieces || !shaped_coefs.empty()) {
        d->tables = tables_of(d->pieces);
        for (const auto& [i, c] : shaped_coefs) d->tables[i] = c;
    }
    d->joints.build(d->stations.data() + 1, n - 1);

    detail::build_search_tree(*d);
    impl_ = std::move(d);
}

Alignment::~Alignment() = default;

double Alignment::start_station() const noexcept { return impl_->stations.front(); }
double Alignment::end_station() const noexcept { return impl_->stations.back(); }
double Alignment::length() const noexcept { return impl_->stations.back() - impl_->stations.front(); }
std::size_t Alignment::size() const noexcept { return impl_->size(); }
ElementInfo Alignment::element(std::size_t index) const {
    if (index >= impl_->size()) throw std::out_of_range("element index out of range");
    return impl_->info(index);
}
std::vector<ElementInput> Alignment::inputs() const {
    const Data& d = *impl_;
    std::vector<ElementInput> out(d.size());
    for (std::size_t k = 0; k < d.size(); ++k) {
        const ElementRecord& e = d.elements[k];
        ElementInput& in = out[k];
        in.length = e.length;
        in.k0 = e.k0;
        in.k1 = e.k1;
        in.has_start = (d.flags[k] & detail::kHasStart) != 0;
        if (in.has_start) {
            in.x = e.x0;
            in.y = e.y0;
        }
        in.has_azimuth = (d.flags[k] & detail::kHasAzimuth) != 0;
        if (in.has_azimuth) in.azimuth = e.azimuth0;
        if (!d.evaluators.empty()) in.evaluator = d.evaluators[k];
        if (e.shaped()) in.shape = e.shape();
        in.lean = d.info(k).lean;
    }
    return out;
}
double Alignment::start_x() const noexcept { return impl_->x; }
double Alignment::start_y() const noexcept { return impl_->y; }
double Alignment::start_azimuth() const noexcept { return impl_->azimuth; }

std::size_t Alignment::memory_bytes() const noexcept {
    const Data& d = *impl_;
    const detail::SearchTree& t = d.tree;
    return sizeof(Impl) + bytes_of(d.stations) + d.joints.bytes() + bytes_of(d.elements) + bytes_of(d.ends) +
           bytes_of(d.flags) + bytes_of(d.evaluators) + bytes_of(d.leans) + bytes_of(d.pieces) +
           bytes_of(d.tables) + bytes_of(d.before) + bytes_of(d.after) + bytes_of(d.before_tables) +
           bytes_of(d.after_tables) + t.bytes();
}

std::ptrdiff_t Alignment::element_index(double station) const noexcept {
    const Data& d = *impl_;
    const std::size_t n = d.size();
    if (!(station >= d.stations[0] && station <= d.stations[n])) return -1;
    return static_cast<std::ptrdiff_t>(d.element_at(station));
}

void Alignment::point(double station, double offset, bool extend, double& x, double& y) const noexcept {
    const Data& d = *impl_;
    x = y = kNaN;
    const std::size_t n = d.size();
    if (station >= d.stations[0] && station <= d.stations[n]) {
        const std::size_t k = d.element_at(station);
        const double t = station - d.stations[k];
        if (const PointEvaluator* ev = d.evaluator(k))
            evaluator_place(*ev, t, d.azimuth_at(k, t), offset, x, y);
        else
            element_place(d, k, t, offset, x, y);
        return;
    }
    if (!extend || std::isnan(station)) return;
    const bool below = station < d.stations[0];
    const std::size_t k = below ? 0 : n - 1;
    const ElementInfo e = d.info(k);
    const double t = station - d.stations[k];
    const detail::Table<SeriesPiece>& ext = below ? d.before : d.after;
    if (const PointEvaluator* ev = d.evaluator(k)) {
        evaluator_place(*ev, t, azimuth(station, true), offset, x, y);
    } else if (!ext.empty()) {
        if (below ? t < d.before_limit : t > d.after_limit) return;
        const std::size_t i = detail::piece_holding(ext.data(), ext.size(), t);
        continued_place(d, k, ext[i], (below ? d.before_tables : d.after_tables)[i], t, offset, x, y);
    } else if (below) {  // (a cubic parabola's curvature at its ends is not its y'')
        arc_point(e.x0, e.y0, e.azimuth0, d.curvature_at(k, 0.0), t, offset, x, y);
    } else {
        arc_point(e.x1, e.y1, e.azimuth1, d.curvature_at(k, e.length), t - e.length, offset, x, y);
    }
}

namespace {

// How a batch's stage of evaluation takes an element: 0 line, 1 arc, 2
// series, 3 by point() (outside the alignment, or evaluators). Computed
// without branches: in a batch the kinds follow each other at random, and
// a branch on them would be mispredicted every other station.
inline unsigned batch_kind(const ElementRecord& e, bool inside) noexcept {
    const unsigned shaped = e.u >= ElementRecord::kShapeUnit;
    const unsigned line = static_cast<unsigned>(!(e.length >= detail::kTinyLength)) |
                          (static_cast<unsigned>(e.k0 == 0.0) & static_cast<unsigned>(e.k1 == 0.0));
    const unsigned arc = e.k0 == e.k1;
    // shaped ? 2 : line ? 0 : arc ? 1 : 2, and 3 outside, in arithmetic
    const unsigned kind = (shaped << 1) | (((shaped | line) ^ 1u) * (2u - arc));
    return kind | ((static_cast<unsigned>(inside) ^ 1u) * 3u);
}

// The piece of element e holding t (piece_index()), without a loop for up to
// four pieces: the pieces after the first that start at or before t.
inline std::size_t batch_piece(const Data& d, const ElementRecord& e, double t) noexcept {
    const std::size_t b = e.first_piece(), m = e.piece_count();
    if (m > 4) return d.piece_index(e, t);
    const SeriesPiece* p = &d.pieces[b];
    const std::size_t last = m - 1;
    return b + static_cast<std::size_t>(p[std::min<std::size_t>(1, last)].lo <= t && last >= 1) +
           static_cast<std::size_t>(p[std::min<std::size_t>(2, last)].lo <= t && last >= 2) +
           static_cast<std::size_t>(p[std::min<std::size_t>(3, last)].lo <= t && last >= 3);
}

void place_series(const Data& d, const ElementRecord& e, std::size_t i, const detail::Coefficients& c, double t,
                  double offset, double* out) noexcept {
    double lx, ly;
    detail::series_point(d.pieces[i], c, t, lx, ly);
    if (offset != 0.0) {
        double tx, ty;
        detail::series_tangent(d.pieces[i], c, t, tx, ty);
        lx += offset * ty;
        ly -= offset * tx;
    }
    out[0] = e.x0 + lx;
    out[1] = e.y0 + ly;
}

}  // namespace

void Alignment::points(const double* stations, const double* offsets, std::size_t count, bool extend,
                       double* xy) const noexcept {
    const Data& d = *impl_;
    const std::size_t n = d.size();
    const double lo = d.stations[0], hi = d.stations[n];
    const bool plain = d.evaluators.empty();
    const bool tables = !d.tables.empty();
    // Batches of stations go through five stages, each stage on another
    // batch: the stations are searched down to the last two levels of the
    // station index (level by level together, so that the reads of one
    // level overlap), then through the next to last and the joints
    // themselves, each block fetched ahead by the stage before; their
    // element records are fetched, the series pieces of the clothoids among
    // them fetched, and the points evaluated, kind by kind, and the series
    // two by two (their coefficients' chains of multiplications overlap).
    // Each batch's reads are in flight while the other stages work.
    constexpr std::size_t kBatch = detail::StationIndex::kBatch;
    // The batch each stage works on, behind the one whose search starts
    // (further apart measured no faster).
    constexpr std::size_t oB = 1, oC = 2, oD = 3, oE = 4;
    constexpr std::size_t kRing = oE + 1;
    const std::size_t levels = d.joints.levels();
    const std::size_t batches = (count + kBatch - 1) / kBatch;
    std::size_t blocks[kRing][kBatch];
    std::size_t at[kRing][kBatch];
    const auto size = [&](std::size_t j) { return std::min(kBatch, count - kBatch * j); };
    for (std::size_t j = 0; j < batches + oE; ++j) {
        if (j < batches) {
            std::size_t* bq = blocks[j % kRing];
            for (std::size_t q = 0; q < kBatch; ++q) bq[q] = 0;
            for (std::size_t l = levels; l-- > 1;) d.joints.down(stations + kBatch * j, size(j), bq, l);
        }
        if (levels > 0 && j >= oB && j - oB < batches)
            d.joints.down(stations + kBatch * (j - oB), size(j - oB), blocks[(j - oB) % kRing], 0);
        if (j >= oC && j - oC < batches) {
            std::size_t* k = at[(j - oC) % kRing];
            d.joints.finish(stations + kBatch * (j - oC), size(j - oC), blocks[(j - oC) % kRing], k);
            for (std::size_t q = 0; q < size(j - oC); ++q) detail::prefetch(&d.elements[std::min(k[q], n - 1)]);
        }
        if (j >= oD && j - oD < batches) {
            const std::size_t* k = at[(j - oD) % kRing];
            for (std::size_t q = 0; q < size(j - oD); ++q) {
                // The headers of a clothoid's first pieces (a clothoid of a
                // railway has one to three), up to three of them; for a line
                // or an arc its record again. Chosen without branches, as
                // the kinds in stage 3.
                const ElementRecord& e = d.elements[std::min(k[q], n - 1)];
                const bool series = batch_kind(e, true) == 2;
                // u and v are a sine and a cosine, or an index and a count below 2^40
                const auto index = static_cast<std::uint64_t>(static_cast<std::int64_t>(e.u)) &
                                   ((std::uint64_t{1} << 36) - 1);
                const auto pieces = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(e.v), 3));
                const std::uintptr_t own = reinterpret_cast<std::uintptr_t>(&e);
                const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(d.pieces.data()) +
                                             static_cast<std::uintptr_t>(index) * sizeof(SeriesPiece);
                const char* p = reinterpret_cast<const char*>(series ? first : own);
                const std::size_t last = series ? pieces * sizeof(SeriesPiece) - 1 : 0;
                detail::prefetch(p);
                detail::prefetch(p + std::min<std::size_t>(64, last));
                detail::prefetch(p + std::min<std::size_t>(128, last));
                detail::prefetch(p + last);
            }
        }
        if (j >= oE && j - oE < batches) {
            const std::size_t b = kBatch * (j - oE);
            const std::size_t* k = at[(j - oE) % kRing];
            const std::size_t m = size(j - oE);
            std::uint8_t of[4][kBatch];
            std::size_t counts[4] = {0, 0, 0, 0};
            for (std::size_t q = 0; q < m; ++q) {
                const double s = stations[b + q];
                const unsigned kind = batch_kind(d.elements[std::min(k[q], n - 1)], (s >= lo) & (s <= hi) & plain);
                of[kind][counts[kind]++] = static_cast<std::uint8_t>(q);
            }
            for (std::size_t u = 0; u < counts[0]; ++u) {
                const std::size_t q = of[0][u];
                const ElementRecord& e = d.elements[k[q]];
                const double t = stations[b + q] - d.stations[k[q]], offset = offsets[b + q];
                double lx = t * e.sin0(), ly = t * e.cos0();
                if (offset != 0.0) {
                    lx += offset * e.cos0();
                    ly -= offset * e.sin0();
                }
                xy[2 * (b + q)] = e.x0 + lx;
                xy[2 * (b + q) + 1] = e.y0 + ly;
            }
            for (std::size_t u = 0; u < counts[1]; ++u) {
                const std::size_t q = of[1][u];
                element_place(d, k[q], stations[b + q] - d.stations[k[q]], offsets[b + q], xy[2 * (b + q)],
                              xy[2 * (b + q) + 1]);
            }
            for (std::size_t u = 0; u < counts[2]; u += 2) {
                const std::size_t q0 = of[2][u], q1 = of[2][std::min(u + 1, counts[2] - 1)];
                const ElementRecord& e0 = d.elements[k[q0]];
                const ElementRecord& e1 = d.elements[k[q1]];
                const double t0 = stations[b + q0] - d.stations[k[q0]];
                const double t1 = stations[b + q1] - d.stations[k[q1]];
                const std::size_t i0 = batch_piece(d, e0, t0), i1 = batch_piece(d, e1, t1);
                detail::Coefficients c[2];
                const detail::Coefficients* c0 = &c[0];
                const detail::Coefficients* c1 = &c[1];
                if (tables) {
                    c0 = &d.tables[i0];
                    c1 = &d.tables[i1];
                } else {
                    detail::series_coefficients(d.pieces[i0], d.pieces[i1], c[0], c[1]);
                }
                place_series(d, e0, i0, *c0, t0, offsets[b + q0], xy + 2 * (b + q0));
                if (q1 != q0) place_series(d, e1, i1, *c1, t1, offsets[b + q1], xy + 2 * (b + q1));
            }
            for (std::size_t u = 0; u < counts[3]; ++u) {
                const std::size_t q = of[3][u];
                point(stations[b + q], offsets[b + q], extend, xy[2 * (b + q)], xy[2 * (b + q) + 1]);
            }
        }
    }
}

double Alignment::azimuth(double station, bool extend) const noexcept {
    const Data& d = *impl_;
    const std::ptrdiff_t k = element_index(station);
    if (k >= 0) {
        const auto u = static_cast<std::size_t>(k);
        return d.azimuth_at(u, station - d.stations[u]);
    }
    if (!extend || std::isnan(station)) return kNaN;
    const bool below = station < d.stations[0];
    const std::size_t u = below ? 0 : d.size() - 1;
    const ElementInfo e = d.info(u);
    const double t = station - d.stations[u];
    if (!(below ? d.before : d.after).empty()) return d.azimuth_at(u, t);
    return below ? e.azimuth0 + e.k0 * t : e.azimuth1 + e.k1 * (t - e.length);
}

double Alignment::curvature(double station, bool extend) const noexcept {
    const Data& d = *impl_;
    const std::ptrdiff_t k = element_index(station);
    if (k >= 0) {
        const auto u = static_cast<std::size_t>(k);
        // Held between the element's end curvatures: station - start can
        // pass the length by an ulp of the station (the end station is the
        // start plus the length, rounded), which a short clothoid's rate of
        // change of curvature (1e13 for 1e4 over 1e-9 m) carries outside
        // them, and subnormal curvatures round the product before the
        // division.
        const ElementRecord& e = d.elements[u];
        const double kappa = d.curvature_at(u, station - d.stations[u]);
        if (d.lean(u) != 0.0) return kappa;  // a Viennese bend's curvature passes its ends' values
        return std::min(std::max(kappa, std::min(e.k0, e.k1)), std::max(e.k0, e.k1));
    }
    if (!extend || std::isnan(station)) return kNaN;
    const bool below = station < d.stations[0];
    const std::size_t u = below ? 0 : d.size() - 1;
    const ElementRecord& e = d.elements[u];
    if (!(below ? d.before : d.after).empty()) return d.curvature_at(u, station - d.stations[u]);
    return below ? e.k0 : e.k1;
}

}  // namespace curvix::engine
