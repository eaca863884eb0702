#pragma once
// Private to the engine: the search pieces of the point searches (nearest,
// local minima, crossings) and the bounding-volume tree built over them.

#include <cstddef>

namespace curvix::engine::detail {

// Turn of a search piece (nearest, local minima, crossings).
inline constexpr double kSearchTurn = 0.7853981633974483;  // pi / 4

// A piece of an element for the point searches: the curvature keeps its
// sign on it and it turns by at most kSearchTurn; its box holds every point
// of it (chord box grown by (h/2) sin(turn) and a rounding margin).
struct SearchPiece {
    std::size_t element = 0;
    double ta = 0.0, tb = 0.0;
    double kmax = 0.0;  // largest |curvature| on the piece
    double xmin = 0.0, ymin = 0.0, xmax = 0.0, ymax = 0.0;
    // The chord and how far the piece strays from it, for a lower bound of
    // the distance tighter than the box.
    double ax = 0.0, ay = 0.0, bx = 0.0, by = 0.0, stray = 0.0;
};

// Bounding-volume tree over contiguous ranges of search pieces.
struct Node {
    double xmin = 0.0, ymin = 0.0, xmax = 0.0, ymax = 0.0;
    std::size_t lo = 0, hi = 0;          // search pieces [lo, hi)
    std::size_t left = 0, right = 0;     // children; a leaf has left == 0
};
inline constexpr std::size_t kLeafPieces = 2;
inline constexpr int kMaxDepth = 128;  // traversal stack; the tree is balanced

struct Data;
// Cuts every element of d into search pieces (where the curvature changes
// sign, then into equal turns of at most kSearchTurn) and builds the tree
// over them; d holds the elements and their series pieces.
void build_search_tree(Data& d);

}  // namespace curvix::engine::detail
