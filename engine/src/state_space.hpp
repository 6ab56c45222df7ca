// The state-space form of the ARMA part of an ARIMA model and its Kalman filter.
//
// The state a_t has r = max(p + P m, q + Q m + 1) entries; the transition T has the expanded AR
// coefficients phi in its first column and ones above the diagonal, and the innovation enters
// through R = (1, theta_1, ..., theta_{r-1}). The observation is the first entry of the state.
#pragma once

#include <cstddef>
#include <vector>

#include "arima_polynomial.hpp"

namespace tarn {
namespace arima_detail {

struct StateSpace {
  int r = 1;
  std::vector<double> phi, R;
  int np = 0, nq = 0;  // expanded AR / MA degrees
};

// The matrices of the form with coefficients c and season length m.
StateSpace state_space(const Coefs& c, int m);
// The same into s, reusing its storage.
void state_space(const Coefs& c, int m, StateSpace& s);

// Stationary covariance of the state, P = sum_k T^k R R' T'^k (r x r, row major, unit
// innovation variance): from the autocovariances of the ARMA process (one linear system of the
// AR order, then O(r^2)), or by doubling (O(r^3) per doubling) when that solution does not
// satisfy P = T P T' + R R' to rounding (near a unit root).
void stationary_covariance(const StateSpace& s, std::vector<double>& P);
// The two ways on their own; the direct one returns false when it gives up.
bool stationary_covariance_direct(const StateSpace& s, std::vector<double>& P);
void stationary_covariance_doubling(const StateSpace& s, std::vector<double>& P);

// The standardised innovations v_t / sqrt(F_t) of w_t - mu (no value missing) from the
// stationary state (a = 0, P = P0 from stationary_covariance), and sum(log F_t), by the
// Chandrasekhar recursions (Morf, Sidhu & Kailath 1974): started from the stationary
// covariance, the change P_t+1 - P_t of the predicted covariance has rank one, W M W', so the
// gain T P e1 and F follow from W and the scalar M in O(r) per step instead of the O(r^2) of
// the covariance step. Once the change is negligible the gain is frozen (the steady state of
// Gardner, Harvey & Phillips 1980). The same innovations as Filter up to rounding. Returns
// false when a variance is not positive or a value not finite (the caller then runs Filter).
bool fast_innovations(const StateSpace& s, const std::vector<double>& P0,
                      const std::vector<double>& w, double mu, std::vector<double>& out,
                      double& sumlog);

// One call of fast_innovations for the batch below: its inputs, and its results (out, sumlog,
// and ok for the return value).
struct InnovationsTask {
  const StateSpace* s = nullptr;
  const std::vector<double>* P0 = nullptr;
  const std::vector<double>* w = nullptr;
  double mu = 0.0;
  std::vector<double>* out = nullptr;
  double sumlog = 0.0;
  bool ok = false;
};

// fast_innovations for each of `count` tasks, the same values as one call each (out and
// sumlog valid where ok). Tasks of one state size and one length run two at a time, their
// vectors side by side in the lanes of one register (the forward differences of a derivative:
// one recursion's operations cost little more than one's alone).
void fast_innovations(InnovationsTask* tasks, std::size_t count);

// The outcome of one filter step: the innovation v and its variance F (in units of the
// innovation variance) when the value was observed.
struct KalmanStep {
  double v = 0.0, F = 1.0;
  bool observed = false;
};

// One Kalman step at a time on a state held by the caller (a: r values, P: r x r). Once P
// vanishes the filter is steady: the gain is R and a step costs O(r) until a missing value
// makes the state uncertain again.
class Filter {
 public:
  // `scratch` is reused between steps (4 r values).
  Filter(int r, const double* phi, const double* R, double* a, double* P, bool& steady,
         std::vector<double>& scratch);

  // Predicted value of the next ARMA observation.
  double predict_next() const { return phi_[0] * a_[0] + (r_ > 1 ? a_[1] : 0.0); }

  // Prediction, then (if `w` is finite) the update with the innovation v = w - a[0]. Returns
  // false when the innovation variance is unusable.
  bool step(double w, KalmanStep& out);

 private:
  int r_;
  const double* phi_;
  const double* R_;
  double* a_;
  double* P_;
  bool& steady_;
  double* tmp_;
  double* an_;
};

}  // namespace arima_detail
}  // namespace tarn
