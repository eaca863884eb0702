"""Golden points for tests/cpp/test_engine.cpp (run: python3 engine_golden.py).

Displacement at distance t along an element (azimuth a0, curvature k0 -> k1
over L): the integral of (sin a, cos a), a(u) = a0 + k0 u + (k1 - k0) u^2 / (2 L),
by mpmath's tanh-sinh quadrature at 40 digits over 64 sub-intervals, for the
doubles as written, printed to 17 significant digits.
"""
from __future__ import print_function

import mpmath as mp

mp.mp.dps = 40

CASES = [
    # name, a0, k0, k1, L, distances
    ("spiral_2pi_10km", 0.7, 0.0, 0.0012566370614359172, 10000.0, [3333.0, 7777.7, 10000.0]),
    ("spiral_between_radii_left", -2.5, -1.0 / 1500, -1.0 / 800, 300.0, [123.4, 300.0]),
    ("spiral_through_inflection", 13.0, -0.002, 0.0025, 2000.0, [444.0, 888.8, 2000.0]),
    ("arc_9000m", 4.0, 1.0 / 1000, 1.0 / 1000, 9000.0, [2500.0, 9000.0]),
    ("straight", -1.0, 0.0, 0.0, 9000.0, [8765.4321]),
]


def displacement(a0, k0, k1, L, t):
    a0, k0, k1, L, t = (mp.mpf(v) for v in (a0, k0, k1, L, t))
    c = (k1 - k0) / L

    def az(u):
        return a0 + k0 * u + c * u * u / 2

    knots = mp.linspace(0, t, 65)
    dx = mp.quad(lambda u: mp.sin(az(u)), knots)
    dy = mp.quad(lambda u: mp.cos(az(u)), knots)
    return dx, dy


def main():
    for name, a0, k0, k1, L, ts in CASES:
        for t in ts:
            dx, dy = displacement(a0, k0, k1, L, t)
            print("    {%r, %r, %r, %r, %r, %s, %s},  // %s"
                  % (a0, k0, k1, L, t, mp.nstr(dx, 17), mp.nstr(dy, 17), name))


if __name__ == "__main__":
    main()
