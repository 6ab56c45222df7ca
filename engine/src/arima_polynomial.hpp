// Polynomials of the ARIMA model: the map between unconstrained values (through partial
// autocorrelations) and the coefficients of a stationary polynomial, which BATS also uses for
// its ARMA errors; products with seasonal factors; the candidate forms and their parameter
// vectors; the check that a fit's roots stay clear of the unit circle.
#pragma once

#include <limits>
#include <tuple>
#include <vector>

namespace tarn {
namespace detail {

// Unconstrained partial autocorrelations are clamped here: tanh(7.5) keeps every root strictly
// outside the unit circle while allowing fits right up to it.
constexpr double kPacfBound = 7.5;

// Unconstrained values u_1..u_n -> coefficients c of a stationary 1 - sum_j c_j B^j, through
// the partial autocorrelations scale * tanh(u_k) (u_k clamped to [-bound, bound]) and the
// Durbin-Levinson recursion. A scale below 1 keeps the roots away from the unit circle
// whatever u is.
void pacf_to_coef(const double* u, int n, std::vector<double>& c, double scale = 1.0,
                  double bound = kPacfBound);

// std::tanh(x), remembering the latest arguments (the same value).
double remembered_tanh(double x);

// The Durbin-Levinson recursion of pacf_to_coef from the partial autocorrelations a_0..a_{n-1}
// themselves.
void coef_from_pacf(const double* a, int n, std::vector<double>& c);

// Inverse of pacf_to_coef with scale 1; false when the polynomial is not stationary.
bool coef_to_pacf(std::vector<double> c, std::vector<double>& u);

// Whether 1 - sum_j c_j B^j has every root outside the unit circle.
bool stationary(const std::vector<double>& c);

// (1 + sum a_i B^i)(1 + sum s_k B^{m k}): returns the coefficients e_1..e_n of 1 + sum e_j B^j.
std::vector<double> multiply(const std::vector<double>& a, const std::vector<double>& s, int m);

std::vector<double> negate(std::vector<double> v);

}  // namespace detail

namespace arima_detail {

// Seasonal AR/MA terms only for seasons up to this length (the state grows with m).
constexpr int kMaxSeasonalTerms = 24;

// A candidate form: ARMA(p, q)(P, Q)[m] of the differenced series, with or without a constant.
struct Form {
  int p = 0, q = 0, P = 0, Q = 0, m = 1;
  bool constant = false;
  int count() const { return p + q + P + Q + (constant ? 1 : 0); }
  auto key() const { return std::make_tuple(p, q, P, Q, constant); }
};

// The coefficients of a form: the AR polynomials are 1 - sum ar_j B^j, the MA ones
// 1 + sum ma_j B^j.
struct Coefs {
  std::vector<double> ar, ma, sar, sma;
  double mu = 0.0;
};

// The parameter vector x of a form (unconstrained partial autocorrelations of the AR, MA,
// seasonal AR and seasonal MA parts, then the constant) -> its coefficients.
Coefs unpack(const Form& f, const std::vector<double>& x);
// The same into c, reusing its storage (a fit unpacks at every evaluation).
void unpack(const Form& f, const std::vector<double>& x, Coefs& c);

// True when every root of the AR and MA polynomials lies outside a circle a little larger than
// the unit circle.
bool roots_clear(const Form& f, const std::vector<double>& x);

}  // namespace arima_detail
}  // namespace tarn
