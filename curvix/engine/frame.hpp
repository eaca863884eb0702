#pragma once
// The 3D frame of an alignment: its horizontal geometry (Alignment), an
// optional vertical profile and an optional cant, held as they are (shared,
// immutable); the Frame itself is immutable and thread-safe like them.
//
// Coordinates: x east, y north, z up (the profile's elevation). At a
// station the cross-section is the vertical plane normal to the horizontal
// alignment; in it a point has an offset o (horizontal, positive to the
// right of the direction of travel) and a height h above the profile.
//   level:  (x, y) = the alignment's point at offset o, z = elevation + h.
//   banked: (o, h) are first turned by the cant angle phi about the
//           rotation axis (offset a, height 0; see cant.hpp), the right side
//           going up for a positive cant:
//             o' = a + cos(phi) (o - a) - sin(phi) h,
//             h' =     sin(phi) (o - a) + cos(phi) h,
//           so the rails at o = +-gauge/2, h = 0 differ in height by the cant
//           and the one on the axis keeps the profile's elevation.
// Without a profile every z (and dz) is NaN; without a cant banked is level.
// Stations outside the range of the alignment, the profile or the cant give
// NaN unless extend (each continued as its own queries continue it).

#include <cstddef>
#include <memory>

#include "curvix/engine/alignment.hpp"
#include "curvix/engine/cant.hpp"
#include "curvix/engine/profile.hpp"

namespace curvix::engine {

// At a station: the profile's point on the centre line (x, y, elevation);
// the unit tangent of the 3D curve; the unit normal across the banked
// surface (in the surface, normal to the tangent, to the right: the level
// right-hand direction turned up by the cant angle and then made normal to
// the tangent); the unit up vector, normal to both (right-handed: up =
// normal x tangent). Without a profile the vectors are those of a level
// alignment (grade 0) and the point's z is NaN.
struct FrameAxes {
    double point[3];
    double tangent[3];
    double normal[3];
    double up[3];
};

class Frame {
public:
    // Throws std::invalid_argument for a null alignment.
    Frame(std::shared_ptr<const Alignment> alignment, std::shared_ptr<const Profile> profile,
          std::shared_ptr<const Cant> cant);

    const Alignment& alignment() const noexcept { return *alignment_; }
    const Profile* profile() const noexcept { return profile_.get(); }
    const Cant* cant() const noexcept { return cant_.get(); }

    void point3d(double station, double offset, double height, bool banked, bool extend, double& x,
                 double& y, double& z) const noexcept;
    // point3d() of n stations, offsets and heights into xyz[3i .. 3i+2],
    // the same bits; the plan's points as Alignment::points() gives them
    // for a batch.
    void points3d(const double* stations, const double* offsets, const double* heights, std::size_t n,
                  bool banked, bool extend, double* xyz) const noexcept;
    void axes(double station, bool extend, FrameAxes& out) const noexcept;
    // The design elevation at a station and horizontal offset: the profile's,
    // and with banked (and a cant) that of the banked cross-section line
    // there, elevation + tan(phi) (offset - a).
    double design_elevation(double station, double offset, bool banked, bool extend) const noexcept;
    // For n points xyz[3i .. 3i+2]: the globally nearest foot of (x, y) on
    // the alignment (Alignment::nearest, max_distance as there) into feet,
    // and dz = z - design_elevation(foot station, foot offset) into dz
    // (NaN without a foot or a profile). Allocates (may throw bad_alloc).
    void locate3d(const double* xyz, std::size_t n, double max_distance, bool banked, bool extend,
                  Foot* feet, double* dz) const;

private:
    std::shared_ptr<const Alignment> alignment_;
    std::shared_ptr<const Profile> profile_;
    std::shared_ptr<const Cant> cant_;
};

}  // namespace curvix::engine
