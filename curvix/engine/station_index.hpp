#pragma once
// Private to the engine: the search of a station among the element joints,
// as a static B-tree over the sorted joints. Level 0 is the joints
// themselves, read in blocks of 16; each level above holds the first joint
// of every block of the level below (padded with +inf to whole blocks), up
// to a level of one block. A search reads one block a level, 16 compares
// that need no branch: at 10^6 elements five blocks, of which only the
// joints' own is not in a cache, against some 20 dependent reads of a binary
// search. Batches search level by level together, so that the reads of
// different stations overlap.

#include <cstddef>
#include <vector>

#include "curvix/engine/table.hpp"

namespace curvix::engine::detail {

inline constexpr std::size_t kBlock = 16;

class StationIndex {
public:
    // Over the sorted j[0..m); j must outlive the index.
    void build(const double* j, std::size_t m);
    // The number of joints <= v (v not NaN: callers exclude it first), as
    // count_not_above(j, m, v).
    std::size_t count(double v) const noexcept {
        std::size_t at[1];
        count(&v, 1, at);
        return at[0];
    }
    // count() of v[0..n) into out, n <= kBatch.
    static constexpr std::size_t kBatch = 16;
    void count(const double* v, std::size_t n, std::size_t* out) const noexcept;
    std::size_t bytes() const noexcept { return bytes_of(upper_) + bytes_of(first_); }

    // The same search in steps, for pipelines that do other batches' work
    // while a step's blocks arrive. With b[q] = 0, down(v, n, b, l) for l
    // from levels() - 1 to 0 and then finish(v, n, b, out) give count();
    // each down() fetches ahead the blocks the next step reads.
    std::size_t levels() const noexcept { return first_.size(); }
    void down(const double* v, std::size_t n, std::size_t* b, std::size_t l) const noexcept;
    void finish(const double* v, std::size_t n, const std::size_t* b, std::size_t* out) const noexcept;

private:
    const double* joints_ = nullptr;
    std::size_t m_ = 0;
    Table<double> upper_;             // levels 1, 2, ... one after the other
    std::vector<std::size_t> first_;  // where each level starts in upper_ (level l at first_[l - 1])
};

}  // namespace curvix::engine::detail
