#pragma once
// Transition shapes: how a quantity goes from one value to the next over a
// transition, as a function f of the normalised distance xi = s / L in
// [0, 1], with f(0) = 0, f(1) = 1, f rising and f(xi) + f(1 - xi) = 1 (each
// shape is symmetric about its middle). The applied cant uses them between
// cant stations; the same shapes give the curvature of the horizontal
// transition curves of the same names.
//
//   linear   xi                                    (f' jumps at both ends)
//   bloss    (3 - 2 xi) xi^2                       (f' = 0 at both ends)
//   cosine   (1 - cos(pi xi)) / 2                  (f' = 0 at both ends)
//   sine     xi - sin(2 pi xi) / (2 pi)            (f' = f'' = 0 at both ends)
//   helmert  2 xi^2 for xi <= 1/2, else 1 - 2 (1 - xi)^2   (two parabolas)
//   viennese 35 xi^4 - 84 xi^5 + 70 xi^6 - 20 xi^7      (three derivatives 0 at both ends)
//
// The Viennese bend's cant follows the shape through the angle of the
// cross-section, asin(cant / gauge), rather than through the cant.

#include <cmath>
#include <cstdint>
#include <string_view>

namespace curvix::engine {

enum class Transition : std::uint8_t { linear, bloss, cosine, sine, helmert, viennese };

inline constexpr double kTransitionPi = 3.14159265358979323846;

// f(xi) for xi in [0, 1] (held there: a xi outside gives the end value;
// NaN gives NaN).
inline double transition_shape(Transition shape, double xi) noexcept {
    if (std::isnan(xi)) return xi;
    const double x = xi < 0.0 ? 0.0 : (xi > 1.0 ? 1.0 : xi);
    switch (shape) {
        case Transition::linear: return x;
        case Transition::bloss: return (3.0 - 2.0 * x) * x * x;
        case Transition::cosine: return 0.5 * (1.0 - std::cos(kTransitionPi * x));
        case Transition::sine: return x - std::sin(2.0 * kTransitionPi * x) / (2.0 * kTransitionPi);
        case Transition::helmert: {
            const double y = 1.0 - x;
            return x <= 0.5 ? 2.0 * x * x : 1.0 - 2.0 * y * y;
        }
        case Transition::viennese: {
            const double x2 = x * x;
            return x2 * x2 * (35.0 + x * (-84.0 + x * (70.0 - 20.0 * x)));
        }
    }
    return x;
}

inline const char* transition_name(Transition shape) noexcept {
    switch (shape) {
        case Transition::linear: return "linear";
        case Transition::bloss: return "bloss";
        case Transition::cosine: return "cosine";
        case Transition::sine: return "sine";
        case Transition::helmert: return "helmert";
        case Transition::viennese: return "viennese";
    }
    return "linear";
}

// The shape of a name: the five above, and "clothoid" for linear (LandXML
// names a cant ramp that runs linearly along a clothoid after the clothoid).
// False for any other name.
inline bool transition_from_name(std::string_view name, Transition& shape) noexcept {
    if (name == "clothoid") name = "linear";
    for (const Transition t : {Transition::linear, Transition::bloss, Transition::cosine,
                               Transition::sine, Transition::helmert, Transition::viennese}) {
        if (name == transition_name(t)) {
            shape = t;
            return true;
        }
    }
    return false;
}

}  // namespace curvix::engine
