#include "curvix/alignment/spiral_series.hpp"

#include <cstdio>

#include "curvix/geometry/error.hpp"

namespace curvix {

namespace {

double sense_of(int type) {
    switch (type) {
        case 3:
        case 5: return 1.0;
        case 4:
        case 6: return -1.0;
        default: throw Error("缓和曲线类型错误.");
    }
}

}  // namespace

SpiralSeries::SpiralSeries(double R, double A, int type) {
    const double sg = sense_of(type);
    // r[m] = 1/R^m, a[j] = 1/A^(2j)
    double r[8];
    double a[8];
    r[0] = 1.0;
    r[1] = 1.0 / R;
    a[0] = 1.0;
    a[1] = 1.0 / (A * A);
    for (int i = 2; i < 8; ++i) {
        r[i] = r[i - 1] * r[1];
        a[i] = a[i - 1] * a[1];
    }

    // u: coefficient of s^p, one line per power (the terms with k = 2, 6, 10
    // change sign with the sense of the curvature change).
    cu_[1] = 1.0;
    cu_[3] = -r[2] / 6.0;
    cu_[4] = -sg * r[1] * a[1] / 8.0;
    cu_[5] = r[4] / 120.0 - a[2] / 40.0;
    cu_[6] = sg * r[3] * a[1] / 72.0;
    cu_[7] = -r[6] / 5040.0 + r[2] * a[2] / 112.0;
    cu_[8] = sg * (-r[5] * a[1] / 1920.0 + r[1] * a[3] / 384.0);
    cu_[9] = -r[4] * a[2] / 1728.0 + a[4] / 3456.0;
    cu_[10] = -sg * r[3] * a[3] / 2880.0;
    cu_[11] = -r[2] * a[4] / 8448.0;
    cu_[12] = -sg * r[1] * a[5] / 46080.0;
    cu_[13] = -a[6] / 599040.0;

    // v: coefficient of s^p (k = 2, 6, 10, 14 change sign with the sense).
    cv_[2] = r[1] / 2.0;
    cv_[3] = sg * a[1] / 6.0;
    cv_[4] = -r[3] / 24.0;
    cv_[5] = -sg * r[2] * a[1] / 20.0;
    cv_[6] = r[5] / 720.0 - r[1] * a[2] / 48.0;
    cv_[7] = sg * (r[4] * a[1] / 336.0 - a[3] / 336.0);
    cv_[8] = -r[7] / 40320.0 + r[3] * a[2] / 384.0;
    cv_[9] = sg * (-r[6] * a[1] / 12960.0 + r[2] * a[3] / 864.0);
    cv_[10] = -r[5] * a[2] / 9600.0 + r[1] * a[4] / 3840.0;
    cv_[11] = sg * (-r[4] * a[3] / 12672.0 + a[5] / 42240.0);
    cv_[12] = -r[3] * a[4] / 27648.0;
    cv_[13] = -sg * r[2] * a[5] / 99840.0;
    cv_[14] = -r[1] * a[6] / 645120.0;
    cv_[15] = -sg * a[7] / 9676800.0;
}

void SpiralSeries::evaluate(double s, double& u, double& v) const {
    double pu = cu_[13];
    for (int p = 12; p >= 1; --p) pu = pu * s + cu_[p];
    u = pu * s;

    double pv = cv_[15];
    for (int p = 14; p >= 2; --p) pv = pv * s + cv_[p];
    v = pv * s * s;
}

int spiral_local_coordinates(double R, double A, double s, int type, double* out) {
    const SpiralSeries series(R, A, type);
    if (out == nullptr) {
        std::fputs("error: null ptr @buf\n", stderr);
        std::fflush(stderr);
        return 0;
    }
    series.evaluate(s, out[0], out[1]);
    return 0;
}

}  // namespace curvix
