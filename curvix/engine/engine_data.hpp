#pragma once
// Private to the engine: the tables an Alignment holds once built. The
// evaluation of one element is in series_pieces.hpp, the search tree over
// the elements in search_tree.hpp.

#include <cstddef>
#include <vector>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/search_tree.hpp"
#include "curvix/engine/series_pieces.hpp"

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

struct Data {
    double start_station = 0.0, x = 0.0, y = 0.0, azimuth = 0.0;
    std::vector<ElementInput> inputs;
    std::vector<ElementInfo> info;
    std::vector<double> stations;       // size() + 1 element boundaries
    std::vector<double> slope;          // c = (k1 - k0) / L (0 when L == 0)
    std::vector<std::size_t> first;     // size() + 1: element k has pieces [first[k], first[k+1])
    std::vector<double> piece_station;  // station where each piece starts
    std::vector<double> piece_lo;       // the same as distance along its element
    std::vector<SeriesPiece> pieces;
    std::vector<SeriesPiece> before;  // continuation of a clothoid below the start, ascending
    std::vector<SeriesPiece> after;   // and above the end
    double before_limit = 0.0;        // element distance (<= 0) where `before` ends
    double after_limit = 0.0;         // element distance (>= L) where `after` ends
    std::vector<SearchPiece> search;
    std::vector<Node> nodes;

    std::size_t size() const noexcept { return info.size(); }

    // The piece of element k holding t (t within [0, L], or just outside).
    const SeriesPiece& piece_at(std::size_t k, double t) const noexcept {
        const std::size_t b = first[k];
        const std::size_t n = count_not_above(&piece_lo[b], first[k + 1] - b, t);
        return pieces[b + (n == 0 ? 0 : n - 1)];
    }
    // Exact displacement from the start of element k and unit tangent.
    void local(std::size_t k, double t, double& lx, double& ly, double& tx, double& ty) const noexcept {
        const SeriesPiece& p = piece_at(k, t);
        series_point(p, t, lx, ly);
        series_tangent(p, t, tx, ty);
    }
    double azimuth_at(std::size_t k, double t) const noexcept {
        const ElementInfo& e = info[k];
        return e.azimuth0 + t * (e.k0 + slope[k] * t * 0.5);
    }
    double curvature_at(std::size_t k, double t) const noexcept {
        const ElementInfo& e = info[k];
        return e.length > 0.0 ? e.k0 + (e.k1 - e.k0) * t / e.length : e.k0;
    }
};

}  // namespace curvix::engine::detail

namespace curvix::engine {
struct Alignment::Impl : detail::Data {};
}  // namespace curvix::engine
