#pragma once
// Private to the engine: the search pieces of the point searches (nearest,
// local minima, crossings) and the bounding-volume tree built over them.
//
// The tree has two parts. Below, the pieces in their order along the
// alignment are cut into chunks of 16; a chunk has five capsule nodes: its
// root over its four groups of four pieces, and one node per group over its
// pieces. A capsule is a chord (two points of the curve) and how far the
// curve strays from it: much tighter than a box around an oblique or a
// parallel piece of track. Above, a box tree over the chunks: they are put
// in an order in which every aligned run of 4^k chunks is a cell of a
// k-d tree of their centres, so that its boxes tile the plane instead of
// overlapping where the alignment passes a place twice (a box over a stretch
// of a winding alignment holds places kilometres from it). The box tree may
// also be built over the groups of several alignments at once (a network).
// Both parts are complete and implicit: no node stores a child index.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "curvix/engine/table.hpp"

namespace curvix::engine::detail {

// Turn of a search piece (nearest, local minima, crossings).
inline constexpr double kSearchTurn = 0.7853981633974483;  // pi / 4
// How far a search piece of a curve may stray from its chord, about (in
// the alignment's unit): a curve's pieces are cut shorter than their turn
// alone asks where they would stray farther. Parallel tracks lie 4 to 5 m
// apart, and the capsules of a wide curve's pieces a quarter of a circle
// long strayed by tens of metres: all the tracks beside a point then had
// their pieces' floors taken. (On 11 tracks side by side half a metre was
// faster still, but cost 252 bytes an element at 10^6 generated elements,
// past the 250 the engine keeps to; 0.75 costs 238, a metre 229.)
inline constexpr double kSearchStray = 0.75;

// Pieces into which to cut a curve of length h turning by `turn` (its
// curvature of one sign and monotone): equal turns of at most kSearchTurn,
// and enough that each strays from its chord by about kSearchStray at most
// (a piece of length l turning by t strays by about l t / 4), but no more
// than kMostStrayCuts for that (a curve of a railway needs a few; the
// longest and most turning element allowed would need 18,258).
inline constexpr double kMostStrayCuts = 64.0;
inline double search_piece_count(double h, double turn) noexcept {
    const double m = turn > kSearchTurn ? std::ceil(turn / kSearchTurn) : 1.0;
    const double by_stray = std::min(kMostStrayCuts, std::ceil(std::sqrt(h * turn / (4.0 * kSearchStray))));
    return by_stray > m ? by_stray : m;
}

// A piece of an element for the point searches: the curvature keeps its
// sign on it and it turns by at most kSearchTurn; it strays from its chord
// by at most `stray` (h/2 sin(turn/2) and a rounding margin). 32 bytes:
// where it starts and its start point follow from the piece before on the
// same element (else 0 and the element's start point).
struct SearchPiece {
    double tb = 0.0;            // where it ends, as distance along its element
    double bx = 0.0, by = 0.0;  // its end point
    float stray = 0.0f;         // rounded up
    std::uint32_t element = 0;
};

inline constexpr int kFanout = 4;
inline constexpr std::size_t kChunk = 16;       // pieces, kFanout^2
inline constexpr std::size_t kChunkNodes = 5;   // its root and its kFanout groups
inline constexpr int kMaxDepth = 128;           // traversal stack; the trees are balanced
// Children of a box node (eight, two cache lines a node, measured no faster
// at 10^6 elements: the levels saved cost their wider nodes).
inline constexpr int kBoxFanout = 4;
static_assert(kBoxFanout >= kFanout, "a search expands a node into at most kBoxFanout entries");

// Up to four consecutive stretches of the curve: stretch c runs from point
// c to point c + 1 (points of the curve, in floats relative to the
// alignment's origin) and no point of it, nor of a gap chord before it, is
// farther than r[c] from that chord (rounded up, the floats' own rounding
// included). Unused stretches have r = -1.
struct alignas(64) CapsuleNode {
    float x[kFanout + 1], y[kFanout + 1], r[kFanout];
};

// The boxes of up to kBoxFanout children, in floats relative to the
// tree's origin, rounded outwards. Unused children have empty boxes.
struct alignas(64) BoxNode {
    float xmin[kBoxFanout], ymin[kBoxFanout], xmax[kBoxFanout], ymax[kBoxFanout];
};

// A box in an alignment's coordinates.
struct Box {
    double xmin, ymin, xmax, ymax;
};

// The box tree over chunks. Level D (the slots) has one entry per chunk,
// level l < D has ceil(count(l + 1) / F) nodes (F = kBoxFanout), level 0
// one. Node j of level l holds the boxes of children Fj .. Fj + F - 1 of
// level l + 1; slot s holds chunk[s].
struct BoxTree {
    Table<BoxNode> nodes;                  // the levels 0 .. D-1, one after the other
    std::vector<std::size_t> level_first;  // D + 1 offsets into nodes
    std::vector<std::size_t> level_count;  // D + 1 entry counts (the last: the slots)
    Table<std::uint32_t> chunk;            // the chunk in each slot
    double ox = 0.0, oy = 0.0;             // origin of the boxes

    std::size_t depth() const noexcept { return level_count.empty() ? 0 : level_count.size() - 1; }
    const BoxNode& node(std::size_t level, std::size_t j) const noexcept {
        return nodes[level_first[level] + j];
    }
    // Children of node j of level l: [Fj, min(Fj + F, count(l + 1))).
    std::size_t children(std::size_t level, std::size_t j) const noexcept {
        const std::size_t n = level_count[level + 1] - kBoxFanout * j;
        return n < kBoxFanout ? n : kBoxFanout;
    }
    std::size_t bytes() const noexcept {
        return bytes_of(nodes) + bytes_of(chunk) + 2 * level_first.capacity() * sizeof(std::size_t);
    }
};

// A box and the number of what it holds (a chunk, or in a network a
// group: 4 chunk + group), for building box trees.
struct ChunkBox {
    Box box;
    std::uint32_t chunk;
};
// The box tree over the given chunks (at least one).
void build_box_tree(BoxTree& tree, std::vector<ChunkBox> chunks);

struct SearchTree {
    Table<SearchPiece> pieces;
    Table<CapsuleNode> capsules;  // kChunkNodes a chunk
    Table<Box> chunk_boxes;       // what each chunk's pieces may reach
    BoxTree boxes;                // over this alignment's chunks
    double ox = 0.0, oy = 0.0;    // origin of the capsules

    std::size_t chunks() const noexcept { return (pieces.size() + kChunk - 1) / kChunk; }
    std::size_t bytes() const noexcept {
        return bytes_of(pieces) + bytes_of(capsules) + bytes_of(chunk_boxes) + boxes.bytes();
    }
};

struct Data;
// Cuts every element of d into search pieces (where the curvature changes
// sign, then into equal turns of at most kSearchTurn) and builds the tree
// over them; d holds the elements and their series pieces.
void build_search_tree(Data& d);

}  // namespace curvix::engine::detail
