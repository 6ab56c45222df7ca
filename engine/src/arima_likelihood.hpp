// Estimating one candidate form of an ARIMA model on the differenced, standardised series w
// (NaN = missing): the exact Gaussian likelihood through the Kalman filter, the conditional sum
// of squares, and the fits that maximise them by Levenberg-Marquardt.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "arima_polynomial.hpp"

namespace tarn {
namespace arima_detail {

// Standardised innovations of the exact likelihood, scaled so that their sum of squares is
// sum(v^2/F) * prod(F)^(1/n): minimising it maximises the concentrated Gaussian likelihood.
// `sumlog_out` receives sum(log F).
bool exact_residuals(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                     std::vector<double>& res, double* sumlog_out = nullptr);

// Derivatives of exact_residuals with respect to x (row major) at the point exact_residuals
// last evaluated by the fast recursions: the constant's column (when the form has one) from that
// evaluation's gains (one pass over the series, no covariance), the others by the optimiser's
// own forward differences (its steps, the same values), their recursions run two at a time
// (fast_innovations' batch). False otherwise (the caller then differences).
bool exact_jacobian(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                    std::vector<double>& J);

// Conditional-sum-of-squares residuals: the first p + P*m values are conditioned on, earlier
// innovations are zero, and missing values are replaced by their prediction. Only residuals
// from `count_from` on are returned, so that forms of different orders can be compared on the
// same observations.
bool css_residuals(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                   std::vector<double>& res, std::size_t count_from = 0);

// Derivatives of css_residuals with respect to x (row major: one row per residual, one column
// per parameter), exact for the conditioned recursion. With respect to a coefficient of one
// factor, the residual's derivative is the product of the other factors applied to z (AR) or
// to e (MA), delayed by the coefficient's lag, negated and passed through 1/theta*(B) from the
// first unconditioned value on (Box, Jenkins & Reinsel, ch. 7): one pass per parameter, each
// cheaper than a pass of the residuals. The map from a factor's partial autocorrelations to its
// coefficients is differenced centrally (no pass over the series). False when a value is
// missing (the caller then differences the residuals) or a derivative is not finite.
bool css_jacobian(const std::vector<double>& w, const Form& f, const std::vector<double>& x,
                  std::vector<double>& J, std::size_t count_from = 0);

// An estimated form.
struct Fit {
  Form form;
  std::vector<double> x;                                  // parameter vector (see unpack)
  double m2ll = std::numeric_limits<double>::infinity();  // -2 log likelihood
  double aicc = std::numeric_limits<double>::infinity();
  double sigma2 = 0.0;
  int nobs = 0;
  bool ok = false;
  bool exact = false;  // by exact likelihood (else conditional sum of squares)
};

// AICc of a fit with `params` parameters besides the innovation variance; infinite when the
// observations are too few.
double aicc_of(double m2ll, int params, int n);

// Starting parameters: zero partial autocorrelations, the mean of w as the constant.
std::vector<double> start_values(const Form& f, const std::vector<double>& w);

// The optimiser's budget for a form with k parameters within the order search: evaluations of
// the residuals for kBudgetIterations + kBudgetIterationsPerParameter * k iterations of k + 1
// evaluations each. Large seasonal forms on a ridge of the likelihood otherwise spend hundreds
// of evaluations on gains far below what separates candidates by AICc.
constexpr int kBudgetIterations = 10;
constexpr int kBudgetIterationsPerParameter = 2;
int budget(const Form& f);
// Within the order search a fit (by conditional sum of squares or exact likelihood) stops
// once an iteration gains less than this in -2 log likelihood, which is also what it gains in
// AICc: far below the differences that rank candidates (a difference under 2 units gives no
// preference; Burnham & Anderson 2002, sec. 2.6). The finalists of the search, refitted by
// exact likelihood, stop at the finer kRefitGain, so the chosen form's estimates are as precise
// as before.
constexpr double kSearchGain = 1e-2;
constexpr double kRefitGain = 1e-3;

// Conditional-sum-of-squares estimates, scored on the residuals from `count_from` on; with
// `check_roots` a fit whose roots crowd the unit circle is not ok. `budgeted`: within the
// budget above.
Fit fit_css(const std::vector<double>& w, const Form& f, std::size_t count_from, bool check_roots,
            bool budgeted = false);

// Exact maximum likelihood, started from `css` (conditional-sum-of-squares estimates of the
// same form, when they exist); falls back to them when the exact fit fails. `budgeted`: within
// the budget above, stopping once an iteration gains less than `gain` in -2 log likelihood.
Fit fit_exact(const std::vector<double>& w, const Form& f, const Fit& css, bool check_roots,
              bool budgeted = false, double gain = kSearchGain);

}  // namespace arima_detail
}  // namespace tarn
