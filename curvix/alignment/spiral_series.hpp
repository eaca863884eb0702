#pragma once
// Local coordinates on a clothoid transition spiral.
//
// The tangent angle after a distance t along the spiral, measured from its
// start tangent, is theta(t) = t/R + sigma*t^2/(2*A^2): the curvature starts
// at 1/R and changes by sigma/A^2 per unit length (sigma = +1 for type codes 3
// and 5, growing curvature; -1 for codes 4 and 6). u (along the start
// tangent) and v (across it, towards the turning side) are the integrals of
// cos(theta) and sin(theta) with both replaced by their Maclaurin series cut
// after four terms, integrated term by term: 16 terms for u, 20 for v.
//
// An infinite radius is passed as the finite 1e39; every term with R below
// then vanishes by itself.

namespace curvix {

// Coefficients of the two polynomials in s for one (R, A, type), computed
// once; evaluation is then a fixed Horner scheme of 13 and 14 steps. Each
// coefficient is built from 1/R and 1/A^2 separately, so no product of powers
// of R and A can overflow (R = 1e39 with large A included).
class SpiralSeries {
public:
    // Throws Error("缓和曲线类型错误.") for a type other than 3, 4, 5, 6.
    SpiralSeries(double R, double A, int type);

    // u and v at distance s from the spiral start (any sign, any size).
    void evaluate(double s, double& u, double& v) const;

private:
    double cu_[14] = {};  // cu_[p]: coefficient of s^p in u
    double cv_[16] = {};  // cv_[p]: coefficient of s^p in v
};

// Stateless form: writes u to out[0] and v to out[1] and returns 0. The type
// is checked first; a null out then writes "error: null ptr @buf" and a line
// feed to standard error, stores nothing and still returns 0.
int spiral_local_coordinates(double R, double A, double s, int type, double* out);

}  // namespace curvix
