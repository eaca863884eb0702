"""Golden PVI curves for tests/cpp/test_profile.cpp (run: python3 profile_golden.py).

Each curve from its geometric definition at 40 digits: an arc as the circle of
radius R touching both grade lines (tangent points R tan(phi / 2) from the PVI,
phi the angle between the lines); parabolas by solving their linear conditions
(on each grade line with its grade at the ends; equal elevation and grade where
two meet). Printed to 17 digits: the curve's start and end (station,
elevation), its elevation at the PVI's station; then the profile's length in
the station-elevation plane (arcs R times their turn, parabolas by quadrature).
"""
from __future__ import print_function

import mpmath as mp

mp.mp.dps = 40

CASES = [
    # stn02-station-equation.xml (../shared/landxml), its ProfAlign as written
    ("stn02", [(-153.09999999999999, 5), (349.90386424768337, 5.0000000000000444, "arc", 5000),
               (649.90386425105748, 1.9999999999990399, "arc", 5000), (876.27206425108523, 2),
               (1078.547, 1.9999999999998828, "arc", 5000), (1278.547, 4.0000000000002984, "arc", 3000),
               (1305.495, 4)]),
    ("parabolas", [(0.0, 100.0), (300.0, 109.0, "asymmetric_parabola", 120.0, 60.0),
                   (500.0, 103.0, "parabola", 100.0), (800.0, 112.0)]),
]


def grade(p, q):
    return (mp.mpf(q[1]) - mp.mpf(p[1])) / (mp.mpf(q[0]) - mp.mpf(p[0]))


def unit(g):
    n = mp.sqrt(1 + g * g)
    return mp.matrix([1 / n, g / n])


def arc(s, z, ga, gb, R):
    R = mp.mpf(R)
    da, db = unit(ga), unit(gb)
    phi = mp.acos(da[0] * db[0] + da[1] * db[1])
    T = R * mp.tan(phi / 2)
    P = mp.matrix([s, z])
    A, B = P - T * da, P + T * db
    sag = gb > ga
    normal = mp.matrix([-da[1], da[0]]) if sag else mp.matrix([da[1], -da[0]])
    C = A + R * normal
    root = mp.sqrt(R * R - (s - C[0]) ** 2)
    at_pvi = C[1] - root if sag else C[1] + root
    return A, B, at_pvi, R * phi


def parabolas(s, z, ga, gb, L1, L2):
    # z_j(u) = a_j + b_j u + c_j u^2 with u the station minus the PVI's.
    L1, L2 = mp.mpf(L1), mp.mpf(L2)
    rows, rhs = [], []

    def eq(j, u, value, slope=False):
        row = [0] * 6
        if slope:
            row[3 * j + 1], row[3 * j + 2] = 1, 2 * u
        else:
            row[3 * j], row[3 * j + 1], row[3 * j + 2] = 1, u, u * u
        rows.append(row)
        rhs.append(value)

    eq(0, -L1, z - ga * L1)
    eq(0, -L1, ga, slope=True)
    eq(1, L2, z + gb * L2)
    eq(1, L2, gb, slope=True)
    rows.append([1, 0, 0, -1, 0, 0]); rhs.append(0)  # equal at the PVI
    rows.append([0, 1, 0, 0, -1, 0]); rhs.append(0)  # with equal grades
    x = mp.lu_solve(mp.matrix(rows), mp.matrix(rhs))
    along = (mp.quad(lambda u: mp.sqrt(1 + (x[1] + 2 * x[2] * u) ** 2), [-L1, 0]) +
             mp.quad(lambda u: mp.sqrt(1 + (x[4] + 2 * x[5] * u) ** 2), [0, L2]))
    return x[0], along


def main():
    for name, pvis in CASES:
        total = mp.mpf(0)
        tangent_start = mp.matrix([pvis[0][0], pvis[0][1]])
        for i in range(1, len(pvis) - 1):
            p = pvis[i]
            s, z = mp.mpf(p[0]), mp.mpf(p[1])
            ga, gb = grade(pvis[i - 1], p), grade(p, pvis[i + 1])
            if len(p) == 2:
                continue
            if p[2] == "arc":
                A, B, at_pvi, along = arc(s, z, ga, gb, p[3])
            else:
                L1, L2 = (p[3] / 2.0, p[3] / 2.0) if p[2] == "parabola" else (p[3], p[4])
                A = mp.matrix([s - L1, z - ga * L1])
                B = mp.matrix([s + L2, z + gb * L2])
                at_pvi, along = parabolas(s, z, ga, gb, L1, L2)
            total += mp.norm(A - tangent_start) + along
            tangent_start = B
            print('    {"%s", %d, %s, %s, %s, %s, %s},  // %s' % (
                name, i, mp.nstr(A[0], 17), mp.nstr(A[1], 17), mp.nstr(B[0], 17),
                mp.nstr(B[1], 17), mp.nstr(at_pvi, 17), p[2]))
        total += mp.norm(mp.matrix([pvis[-1][0], pvis[-1][1]]) - tangent_start)
        print("    // %s: length in the station-elevation plane %s" % (name, mp.nstr(total, 17)))


if __name__ == "__main__":
    main()
