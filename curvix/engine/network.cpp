// A network of alignments: one box tree over the groups of search pieces
// of all of them (network.hpp), searched by nearest.hpp's branch and bound.

#include "curvix/engine/network.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "curvix/engine/engine_data.hpp"
#include "curvix/engine/nearest.hpp"
#include "curvix/engine/search_tree.hpp"

namespace curvix::engine {

struct Network::Impl {
    std::vector<std::shared_ptr<const Alignment>> alignments;
    std::vector<const detail::Data*> data;  // each alignment's tables
    std::vector<std::size_t> base;          // alignment e's chunks are base[e] .. base[e + 1] - 1
    std::vector<std::uint32_t> owner;       // the alignment of each chunk
    std::size_t tables = 0;                 // the bytes of the alignments' tables
    detail::BoxTree boxes;                  // over every group of every alignment

    detail::ManyAlignments source() const noexcept { return {&data, &base, &boxes, owner.data()}; }
};

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

NetworkFoot to_network(const detail::Found& f, std::size_t count) noexcept {
    return {f.foot, f.which < count ? static_cast<std::ptrdiff_t>(f.which) : -1};
}

}  // namespace

Network::Network(std::vector<std::shared_ptr<const Alignment>> alignments) {
    if (alignments.empty()) throw std::invalid_argument("a network needs at least one alignment");
    auto d = std::make_unique<Impl>();
    d->base.reserve(alignments.size() + 1);
    std::vector<detail::ChunkBox> chunks;  // (of groups)
    std::size_t total = 0;
    for (std::size_t e = 0; e < alignments.size(); ++e) {
        if (!alignments[e]) throw std::invalid_argument("alignment " + std::to_string(e) + " is null");
        const detail::Data& data = *alignments[e]->impl_;
        d->data.push_back(&data);
        d->tables += alignments[e]->memory_bytes();
        d->base.push_back(total);
        const detail::SearchTree& t = data.tree;
        const std::size_t n = t.chunks();
        if (n > UINT32_MAX / detail::kFanout - total)
            throw std::invalid_argument("a network holds at most 2^30 - 1 search chunks");
        // The box tree's slots are the chunks' groups (nearest.hpp): each
        // box holds its pieces' capsules.
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t pieces = std::min(detail::kChunk, t.pieces.size() - detail::kChunk * k);
            for (std::size_t g = 0; detail::kFanout * g < pieces; ++g) {
                const detail::CapsuleNode& cn = t.capsules[detail::kChunkNodes * k + 1 + g];
                detail::Box b{kInf, kInf, -kInf, -kInf};
                for (int c = 0; c < detail::kFanout && cn.r[c] >= 0.0f; ++c) {
                    const double r = static_cast<double>(cn.r[c]);
                    for (int end = c; end <= c + 1; ++end) {
                        const double x = t.ox + static_cast<double>(cn.x[end]), y = t.oy + static_cast<double>(cn.y[end]);
                        // (Outwards by the rounding of the sums.)
                        const double slack = r + 1e-15 * (std::fabs(x) + std::fabs(y) + r);
                        b.xmin = std::min(b.xmin, x - slack);
                        b.ymin = std::min(b.ymin, y - slack);
                        b.xmax = std::max(b.xmax, x + slack);
                        b.ymax = std::max(b.ymax, y + slack);
                    }
                }
                chunks.push_back({b, static_cast<std::uint32_t>(detail::kFanout * (total + k) + g)});
            }
        }
        d->owner.insert(d->owner.end(), n, static_cast<std::uint32_t>(e));
        total += n;
    }
    d->base.push_back(total);
    // Without a chunk (every element of length 0) the tree stays empty and
    // nothing is ever found.
    if (!chunks.empty()) detail::build_box_tree(d->boxes, std::move(chunks));
    d->alignments = std::move(alignments);
    impl_ = std::move(d);
}

Network::~Network() = default;

std::size_t Network::size() const noexcept { return impl_->alignments.size(); }

const Alignment& Network::alignment(std::size_t index) const {
    if (index >= size()) throw std::out_of_range("alignment index out of range");
    return *impl_->alignments[index];
}

NetworkFoot Network::nearest(double x, double y, double max_distance) const noexcept {
    return to_network(detail::nearest_of(impl_->source(), x, y, max_distance), size());
}

void Network::nearest(const double* xy, std::size_t n, double max_distance, NetworkFoot* out) const {
    // As in Alignment::nearest: a large batch in a spatial order, fetched
    // ahead where the tables outgrow the caches well.
    constexpr std::size_t kOrderFrom = 2048;
    const Impl& d = *impl_;
    if (n < kOrderFrom || n > UINT32_MAX) {
        for (std::size_t i = 0; i < n; ++i) out[i] = nearest(xy[2 * i], xy[2 * i + 1], max_distance);
        return;
    }
    if (d.tables + d.boxes.bytes() < detail::kFetchFrom) {
        detail::ordered_batch(xy, n, out, [&](const double* p, std::size_t m, NetworkFoot* feet) {
            for (std::size_t q = 0; q < m; ++q) feet[q] = nearest(p[2 * q], p[2 * q + 1], max_distance);
        });
        return;
    }
    std::vector<detail::Found> found(detail::kBatchBlock);
    detail::ordered_batch(xy, n, out, [&](const double* p, std::size_t m, NetworkFoot* feet) {
        detail::nearest_batch(d.source(), p, m, max_distance, found.data());
        for (std::size_t q = 0; q < m; ++q) feet[q] = to_network(found[q], size());
    });
}

std::size_t Network::memory_bytes() const noexcept {
    const Impl& d = *impl_;
    return sizeof(Impl) + d.boxes.bytes() + d.alignments.capacity() * sizeof(d.alignments[0]) +
           d.data.capacity() * sizeof(d.data[0]) + d.base.capacity() * sizeof(std::size_t) +
           d.owner.capacity() * sizeof(std::uint32_t);
}

}  // namespace curvix::engine
