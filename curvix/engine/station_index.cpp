// The static B-tree over the element joints (see station_index.hpp).

#include "curvix/engine/station_index.hpp"

#include <algorithm>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace curvix::engine::detail {

namespace {

// The entries of a whole block that are <= v.
inline std::size_t in_block(const double* b, double v) noexcept {
#if defined(__SSE2__)
    // Two at a time: each compare gives all ones (-1) in the lanes that hold.
    const __m128d w = _mm_set1_pd(v);
    __m128i c = _mm_setzero_si128();
    for (std::size_t i = 0; i < kBlock; i += 2)
        c = _mm_sub_epi64(c, _mm_castpd_si128(_mm_cmple_pd(_mm_loadu_pd(b + i), w)));
    return static_cast<std::size_t>(_mm_cvtsi128_si64(c) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(c, c)));
#else
    std::size_t c = 0;
    for (std::size_t i = 0; i < kBlock; ++i) c += b[i] <= v ? 1 : 0;
    return c;
#endif
}

// The block below block b of a level (its first kBlock entries at
// level + kBlock b) that holds v.
inline std::size_t step_down(const double* level, std::size_t b, double v) noexcept {
    const std::size_t c = in_block(level + kBlock * b, v);
    return kBlock * b + (c > 0 ? c - 1 : 0);
}

}  // namespace

void StationIndex::build(const double* j, std::size_t m) {
    joints_ = j;
    m_ = m;
    upper_.clear();
    first_.clear();
    std::size_t count = m;
    std::vector<double> level;
    while (count > kBlock) {
        const double* below = first_.empty() ? j : upper_.data() + first_.back();
        const std::size_t blocks = (count + kBlock - 1) / kBlock;
        level.assign(blocks, 0.0);
        for (std::size_t b = 0; b < blocks; ++b) level[b] = below[kBlock * b];
        level.resize((blocks + kBlock - 1) / kBlock * kBlock, std::numeric_limits<double>::infinity());
        first_.push_back(upper_.size());
        upper_.insert(upper_.end(), level.begin(), level.end());
        count = blocks;
    }
    upper_.shrink_to_fit();
}

void StationIndex::down(const double* v, std::size_t n, std::size_t* b, std::size_t l) const noexcept {
    const double* level = upper_.data() + first_[l];
    for (std::size_t q = 0; q < n; ++q) {
        b[q] = step_down(level, b[q], v[q]);
        if (l > 0) {
            prefetch_bytes(upper_.data() + first_[l - 1] + kBlock * b[q], kBlock * sizeof(double));
        } else {  // the last block of the joints may be short
            const std::size_t start = std::min(kBlock * b[q], m_ - 1);
            prefetch_bytes(joints_ + start, std::min(kBlock, m_ - start) * sizeof(double));
        }
    }
}

void StationIndex::finish(const double* v, std::size_t n, const std::size_t* b, std::size_t* out) const noexcept {
    for (std::size_t q = 0; q < n; ++q) {
        const std::size_t start = kBlock * b[q];
        const double* block = joints_ + start;
        const std::size_t len = std::min(kBlock, m_ - std::min(m_, start));
        std::size_t c = 0;
        if (len == kBlock) {
            c = in_block(block, v[q]);
        } else {
            for (std::size_t i = 0; i < len; ++i) c += block[i] <= v[q] ? 1 : 0;
        }
        out[q] = start + c;
    }
}

void StationIndex::count(const double* v, std::size_t n, std::size_t* out) const noexcept {
    std::size_t b[kBatch];
    for (std::size_t q = 0; q < n; ++q) b[q] = 0;
    for (std::size_t l = first_.size(); l-- > 0;) {
        const double* level = upper_.data() + first_[l];
        for (std::size_t q = 0; q < n; ++q) b[q] = step_down(level, b[q], v[q]);
    }
    finish(v, n, b, out);
}

}  // namespace curvix::engine::detail
