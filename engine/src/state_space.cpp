#include "state_space.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarn {
namespace arima_detail {

using detail::multiply;
using detail::negate;

StateSpace state_space(const Coefs& c, int m) {
  StateSpace s;
  std::vector<double> phi = negate(multiply(negate(c.ar), negate(c.sar), m));
  std::vector<double> theta = multiply(c.ma, c.sma, m);
  s.np = static_cast<int>(phi.size());
  s.nq = static_cast<int>(theta.size());
  s.r = std::max(s.np, s.nq + 1);
  s.phi.assign(static_cast<std::size_t>(s.r), 0.0);
  s.R.assign(static_cast<std::size_t>(s.r), 0.0);
  std::copy(phi.begin(), phi.end(), s.phi.begin());
  s.R[0] = 1.0;
  std::copy(theta.begin(), theta.end(), s.R.begin() + 1);
  return s;
}

void stationary_covariance(const StateSpace& s, std::vector<double>& P) {
  const int r = s.r;
  const std::size_t rr = static_cast<std::size_t>(r) * r;
  P.assign(rr, 0.0);
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j) P[i * r + j] = s.R[i] * s.R[j];
  if (r == 1) {
    P[0] = 1.0 / (1.0 - s.phi[0] * s.phi[0]);
    return;
  }
  std::vector<double> A(rr, 0.0), AS(rr), add(rr), A2(rr);
  for (int i = 0; i < r; ++i) {
    A[i * r] = s.phi[i];
    if (i + 1 < r) A[i * r + i + 1] += 1.0;
  }
  for (int it = 0; it < 60; ++it) {
    // AS = A P; add = AS A'
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double v = 0.0;
        for (int k = 0; k < r; ++k) v += A[i * r + k] * P[k * r + j];
        AS[i * r + j] = v;
      }
    double big = 0.0, added = 0.0;
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double v = 0.0;
        for (int k = 0; k < r; ++k) v += AS[i * r + k] * A[j * r + k];
        add[i * r + j] = v;
      }
    for (std::size_t k = 0; k < rr; ++k) {
      P[k] += add[k];
      big = std::max(big, std::fabs(P[k]));
      added = std::max(added, std::fabs(add[k]));
    }
    if (!(added > 1e-15 * big)) break;
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) {
        double v = 0.0;
        for (int k = 0; k < r; ++k) v += A[i * r + k] * A[k * r + j];
        A2[i * r + j] = v;
      }
    A.swap(A2);
  }
}

Filter::Filter(int r, const double* phi, const double* R, double* a, double* P, bool& steady,
               std::vector<double>& scratch)
    : r_(r), phi_(phi), R_(R), a_(a), P_(P), steady_(steady) {
  const std::size_t need = static_cast<std::size_t>(r) * r + r;
  if (scratch.size() < need) scratch.resize(need);
  tmp_ = scratch.data();
  an_ = tmp_ + static_cast<std::size_t>(r) * r;
}

bool Filter::step(double w, KalmanStep& out) {
  const int r = r_;
  const double* phi = phi_;
  const double* R = R_;
  double* P = P_;
  for (int i = 0; i < r; ++i) an_[i] = phi[i] * a_[0] + (i + 1 < r ? a_[i + 1] : 0.0);
  out.observed = std::isfinite(w);
  if (steady_) {
    if (out.observed) {
      out.F = 1.0;
      out.v = w - an_[0];
      for (int i = 0; i < r; ++i) a_[i] = an_[i] + R[i] * out.v;
      return true;
    }
    // A missing value: the state becomes uncertain again.
    steady_ = false;
    std::fill(P, P + static_cast<std::size_t>(r) * r, 0.0);
  }
  // tmp = T P; P = tmp T' + R R'
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j)
      tmp_[i * r + j] = phi[i] * P[j] + (i + 1 < r ? P[(i + 1) * r + j] : 0.0);
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j)
      P[i * r + j] = tmp_[i * r] * phi[j] + (j + 1 < r ? tmp_[i * r + j + 1] : 0.0) + R[i] * R[j];
  if (!out.observed) {
    std::copy(an_, an_ + r, a_);
    return true;
  }
  const double F = P[0];
  if (!(F > 0.0) || !std::isfinite(F)) return false;
  out.F = F;
  out.v = w - an_[0];
  double biggest = 0.0;
  for (int i = 0; i < r; ++i) a_[i] = an_[i] + P[i * r] / F * out.v;
  for (int i = 0; i < r; ++i) tmp_[i] = P[i * r];
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j) {
      double& pij = P[i * r + j];
      pij -= tmp_[i] * tmp_[j] / F;
      biggest = std::max(biggest, std::fabs(pij));
    }
  if (biggest < 1e-12) {
    steady_ = true;
    std::fill(P, P + static_cast<std::size_t>(r) * r, 0.0);
  }
  return true;
}

}  // namespace arima_detail
}  // namespace tarn
