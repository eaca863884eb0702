// Timing of the engine's core queries, single-threaded: stations to points
// (random and sorted) and nearest points within +-50 m of the alignment, on
// examples/railway_10km.icd (exact evaluation) and on long railway-like
// chains of 10 to 10^5 elements. Not part of the test run. From the
// repository root, after building curvix_icd_engine in build/engine-dev:
//
//   g++ -std=c++17 -O2 -ffp-contract=off -I. benchmarks/bench_engine_core.cpp
//       build/engine-dev/libcurvix_icd_engine.a build/engine-dev/libcurvix_engine.a
//       build/engine-dev/libcurvix_core.a -o /tmp/bench_engine_core        (one command)
//   /tmp/bench_engine_core examples/railway_10km.icd
//
// Each figure is the best of three runs (the machine is shared).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "curvix/alignment/icd_reader.hpp"
#include "curvix/engine/alignment.hpp"
#include "curvix/icd_engine/icd_chain.hpp"

using namespace curvix::engine;
using curvix::icd_engine::icd_chain;
using curvix::icd_engine::IcdChain;
using curvix::icd_engine::SpiralEvaluation;

namespace {

template <class F>
double best_ns(int count, F&& run) {
    double best = std::numeric_limits<double>::infinity();
    for (int pass = 0; pass < 3; ++pass) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / count);
    }
    return best;
}

// Straight, clothoid, arc, clothoid, ... with radii 800 to 3000 m, curves
// turning left and right in turn.
std::vector<ElementInput> railway_like(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<ElementInput> v;
    while (v.size() < n) {
        const double k = ((v.size() / 4) % 2 == 0 ? -1.0 : 1.0) / (800.0 + 2200.0 * u(rng));
        const double spiral = 150.0 + 200.0 * u(rng);
        ElementInput e[4];
        e[0].length = 300.0 + 1200.0 * u(rng);
        e[1].length = spiral;
        e[1].k1 = k;
        e[2].length = 200.0 + 800.0 * u(rng);
        e[2].k0 = e[2].k1 = k;
        e[3].length = spiral;
        e[3].k0 = k;
        v.insert(v.end(), e, e + 4);
    }
    v.resize(n);
    return v;
}

void measure(const char* name, const Alignment& a, std::mt19937_64& rng) {
    const int n = 1000000, m = 100000;
    std::uniform_real_distribution<double> along(a.start_station(), a.end_station()), off(-50.0, 50.0);
    std::vector<double> st(n), sorted, x(n), y(n), qx(m), qy(m);
    for (double& s : st) s = along(rng);
    sorted = st;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < m; ++i) a.point(st[static_cast<std::size_t>(i)], off(rng), false, qx[i], qy[i]);
    const double random_ns = best_ns(n, [&] { for (int i = 0; i < n; ++i) a.point(st[i], 0.0, false, x[i], y[i]); });
    const double sorted_ns = best_ns(n, [&] { for (int i = 0; i < n; ++i) a.point(sorted[i], 0.0, false, x[i], y[i]); });
    double sum = 0.0;
    const double nearest_ns = best_ns(m, [&] {
        for (int i = 0; i < m; ++i) sum += a.nearest(qx[i], qy[i], std::numeric_limits<double>::infinity()).station;
    });
    std::printf("%-22s %7zu elements  point %6.1f ns (sorted %6.1f)  nearest %7.1f ns  [%g]\n", name, a.size(),
                random_ns, sorted_ns, nearest_ns, sum * 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937_64 rng(1);
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const IcdChain c = icd_chain(curvix::read_icd_document(bytes.str(), curvix::IcdGrammar::strict),
                                     SpiralEvaluation::exact);
        const Alignment a(c.start_station, c.x, c.y, c.azimuth, c.elements);
        measure(argv[1], a, rng);
    }
    for (const std::size_t n : {10u, 1000u, 100000u}) {
        const Alignment a(0.0, 3e5, 4e6, 0.7, railway_like(n, rng));
        measure("railway-like chain", a, rng);
    }
}
