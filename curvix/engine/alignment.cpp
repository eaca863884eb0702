// Construction of the element chain (checks, placement, the series pieces of
// series_pieces.hpp and the search tree of search_tree.hpp) and the
// station -> point queries.

#include "curvix/engine/alignment.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "curvix/engine/engine_data.hpp"

namespace curvix::engine {

namespace {

using detail::count_not_above;
using detail::Curve;
using detail::CxSum;
using detail::Data;
using detail::kTinyLength;
using detail::pieces_backward;
using detail::pieces_forward;
using detail::SeriesPiece;
using detail::straight_piece;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Guard on the pieces of one element (never reached: a piece turns by about
// 0.96 rad or covers 2 sqrt(0.02 / |c|), so kMaxTurn allows about
// 1e3 / 0.96 + sqrt(4e3 / 0.08) of them).
constexpr std::size_t kMaxPiecesPerElement = std::size_t{1} << 16;

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

void series_place(const Data& d, const SeriesPiece& p, double t, double offset, double& x,
                  double& y) {
    const ElementInfo& e = d.info[p.element];
    double lx, ly;
    detail::series_point(p, t, lx, ly);
    if (offset != 0.0) {
        double tx, ty;
        detail::series_tangent(p, t, tx, ty);
        lx += offset * ty;
        ly -= offset * tx;
    }
    x = e.x0 + lx;
    y = e.y0 + ly;
}

void evaluator_place(const Data& d, std::size_t k, double t, double a, double offset, double& x,
                     double& y) {
    d.inputs[k].evaluator->point(t, x, y);
    if (offset != 0.0) {
        x += offset * std::cos(a);
        y -= offset * std::sin(a);
    }
}

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
    d->start_station = start_station;
    d->x = x;
    d->y = y;
    d->azimuth = azimuth;
    const std::size_t n = elements.size();
    d->info.reserve(n);
    d->stations.reserve(n + 1);
    d->stations.push_back(start_station);
    d->first.push_back(0);
    double px = x, py = y, pa = azimuth;
    std::vector<Curve> curves;
    std::vector<CxSum> ends;
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
        const double turn = total_turn(L, s.k0, s.k1);
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

        ElementInfo e;
        e.kind = (s.k0 == 0.0 && s.k1 == 0.0) ? Kind::line : (s.k0 == s.k1 ? Kind::arc : Kind::clothoid);
        e.start_station = d->stations.back();
        e.end_station = end_station;
        e.length = L;
        e.k0 = s.k0;
        e.k1 = s.k1;
        e.x0 = s.has_start ? s.x : px;
        e.y0 = s.has_start ? s.y : py;
        e.azimuth0 = s.has_azimuth ? s.azimuth : pa;
        d->info.push_back(e);
        d->slope.push_back(c);
        d->stations.push_back(end_station);

        const Curve cv{k, {std::cos(e.azimuth0), std::sin(e.azimuth0)}, s.k0, c};
        CxSum end;
        if (L < kTinyLength) {
            d->pieces.push_back(straight_piece(cv));
            end.add({L * cv.e0.re, L * cv.e0.im});
        } else {
            const std::size_t before = d->pieces.size();
            pieces_forward(cv, 0.0, L, kMaxPiecesPerElement, end, d->pieces);
            if (d->pieces.size() - before == kMaxPiecesPerElement)
                throw ElementError(kk, "length", "needs too many pieces: " + number(L));
        }
        curves.push_back(cv);
        ends.push_back(end);
        for (std::size_t j = d->first.back(); j < d->pieces.size(); ++j) {
            d->piece_lo.push_back(d->pieces[j].lo);
            d->piece_station.push_back(j == d->first.back() ? e.start_station
                                                            : e.start_station + d->pieces[j].lo);
        }
        d->first.push_back(d->pieces.size());

        ElementInfo& ei = d->info.back();
        if (s.evaluator) {
            s.evaluator->point(L, ei.x1, ei.y1);
        } else {
            double lx, ly, tx, ty;
            d->local(k, L, lx, ly, tx, ty);
            ei.x1 = ei.x0 + lx;
            ei.y1 = ei.y0 + ly;
        }
        if (!std::isfinite(ei.x1) || !std::isfinite(ei.y1))
            throw ElementError(kk, "length",
                               "puts the end point beyond the range of doubles, got " + number(L));
        for (const auto& [name, v] : {std::pair<const char*, double>{"x", ei.x1}, {"y", ei.y1}}) {
            if (!(std::fabs(v) <= kMaxCoordinate))
                throw ElementError(kk, "length", std::string("puts the end point's ") + name + " at " +
                                                     number(v) + ", beyond " + limit(kMaxCoordinate) +
                                                     " in absolute value");
        }
        ei.azimuth1 = d->azimuth_at(k, L);
        px = ei.x1;
        py = ei.y1;
        pa = ei.azimuth1;
    }
    d->inputs = std::move(elements);

    // Clothoids at the ends continue over a bounded number of pieces.
    const auto continues = [&](std::size_t k) {
        const ElementInfo& e = d->info[k];
        return e.kind == Kind::clothoid && e.length >= kTinyLength;
    };
    if (continues(0)) {
        d->before_limit = pieces_backward(curves[0], detail::kExtendPieces, d->before);
    }
    if (continues(n - 1)) {
        CxSum e = ends[n - 1];
        d->after_limit = pieces_forward(curves[n - 1], d->info[n - 1].length,
                                        std::numeric_limits<double>::infinity(),
                                        detail::kExtendPieces, e, d->after);
    }

    detail::build_search_tree(*d);
    impl_ = std::move(d);
}

Alignment::~Alignment() = default;

double Alignment::start_station() const noexcept { return impl_->stations.front(); }
double Alignment::end_station() const noexcept { return impl_->stations.back(); }
double Alignment::length() const noexcept { return impl_->stations.back() - impl_->stations.front(); }
std::size_t Alignment::size() const noexcept { return impl_->size(); }
const ElementInfo& Alignment::element(std::size_t index) const { return impl_->info.at(index); }
const std::vector<ElementInput>& Alignment::inputs() const noexcept { return impl_->inputs; }
double Alignment::start_x() const noexcept { return impl_->x; }
double Alignment::start_y() const noexcept { return impl_->y; }
double Alignment::start_azimuth() const noexcept { return impl_->azimuth; }

std::ptrdiff_t Alignment::element_index(double station) const noexcept {
    const Data& d = *impl_;
    const std::size_t n = d.size();
    if (!(station >= d.stations[0] && station <= d.stations[n])) return -1;
    return static_cast<std::ptrdiff_t>(count_not_above(&d.stations[1], n - 1, station));
}

void Alignment::point(double station, double offset, bool extend, double& x, double& y) const noexcept {
    const Data& d = *impl_;
    x = y = kNaN;
    const std::size_t n = d.size();
    if (station >= d.stations[0] && station <= d.stations[n]) {
        const std::size_t i =
            count_not_above(d.piece_station.data(), d.piece_station.size(), station) - 1;
        const SeriesPiece& p = d.pieces[i];
        const std::size_t k = p.element;
        const double t = station - d.stations[k];
        if (d.inputs[k].evaluator)
            evaluator_place(d, k, t, d.azimuth_at(k, t), offset, x, y);
        else
            series_place(d, p, t, offset, x, y);
        return;
    }
    if (!extend || std::isnan(station)) return;
    const bool below = station < d.stations[0];
    const std::size_t k = below ? 0 : n - 1;
    const ElementInfo& e = d.info[k];
    const double t = station - d.stations[k];
    const std::vector<SeriesPiece>& ext = below ? d.before : d.after;
    if (d.inputs[k].evaluator) {
        evaluator_place(d, k, t, azimuth(station, true), offset, x, y);
    } else if (!ext.empty()) {
        if (below ? t < d.before_limit : t > d.after_limit) return;
        std::size_t lo = 0, hi = ext.size();
        while (hi - lo > 1) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (ext[mid].lo <= t) lo = mid; else hi = mid;
        }
        series_place(d, ext[lo], t, offset, x, y);
    } else if (below) {
        arc_point(e.x0, e.y0, e.azimuth0, e.k0, t, offset, x, y);
    } else {
        arc_point(e.x1, e.y1, e.azimuth1, e.k1, t - e.length, offset, x, y);
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
    const ElementInfo& e = d.info[u];
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
        const ElementInfo& e = d.info[u];
        const double kappa = d.curvature_at(u, station - d.stations[u]);
        return std::min(std::max(kappa, std::min(e.k0, e.k1)), std::max(e.k0, e.k1));
    }
    if (!extend || std::isnan(station)) return kNaN;
    const bool below = station < d.stations[0];
    const std::size_t u = below ? 0 : d.size() - 1;
    const ElementInfo& e = d.info[u];
    if (!(below ? d.before : d.after).empty()) return d.curvature_at(u, station - d.stations[u]);
    return below ? e.k0 : e.k1;
}

}  // namespace curvix::engine
