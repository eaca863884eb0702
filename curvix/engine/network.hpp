#pragma once
// A network: many alignments searched as one (the tracks of a station area,
// the lines of a network). A query point belongs to the nearest of them.
//
// One box tree is built over the groups of search pieces of every alignment
// (see search_tree.hpp), so a query walks one tree instead of one per
// alignment; below the box tree each alignment's own capsules and pieces
// are searched.
// The answer is the one the alignments give one by one, the nearest of
// them: of equal distances the alignment that comes first.
//
// Conventions as in alignment.hpp (coordinates, stations and offsets in
// the alignments' unit, offsets positive to the right). The alignments are
// expected to share one coordinate system; nothing checks that they do.
//
// Immutability: a Network is complete when its constructor returns and has
// no mutable state; it holds shared ownership of its alignments (which are
// immutable too), so every const member may be called from many threads at
// once. Queries never throw for any double input: NaN in gives NaN out.

#include <cstddef>
#include <memory>
#include <vector>

#include "curvix/engine/alignment.hpp"

namespace curvix::engine {

// The nearest point of a network: the foot on the alignment `alignment`
// (0-based, in the order the network was given them), -1 with a foot of
// NaN and element -1 where there is none.
struct NetworkFoot {
    Foot foot;
    std::ptrdiff_t alignment;
};

class Network {
public:
    // Throws std::invalid_argument for no alignments, a null one, or more
    // search chunks in all than the tree numbers (2^30).
    explicit Network(std::vector<std::shared_ptr<const Alignment>> alignments);
    ~Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    std::size_t size() const noexcept;
    // Throws std::out_of_range unless index < size().
    const Alignment& alignment(std::size_t index) const;

    // The globally nearest point of every alignment within max_distance, as
    // Alignment::nearest() gives it on the alignment it lies on: of equal
    // distances the lowest alignment, then the lowest station. Nothing
    // within max_distance (or a non-finite query, or a NaN or negative
    // max_distance): NaN foot, element -1, alignment -1.
    NetworkFoot nearest(double x, double y, double max_distance) const noexcept;
    // nearest() of n points (xy[2*i], xy[2*i+1]) into out[0..n), large
    // batches over large networks in a spatial order of the points (as
    // Alignment::nearest does). Allocates its order (may throw
    // std::bad_alloc).
    void nearest(const double* xy, std::size_t n, double max_distance, NetworkFoot* out) const;

    // Bytes of the network's own tables (its box tree), beside the
    // alignments it shares.
    std::size_t memory_bytes() const noexcept;

private:
    struct Impl;
    std::unique_ptr<const Impl> impl_;
};

}  // namespace curvix::engine
