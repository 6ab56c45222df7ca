#include "arima_polynomial.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarn {
namespace detail {

// tanh, remembering the latest arguments: a fit evaluates its model at points that differ from
// one another in one coordinate (the differences of a derivative), so most of a point's
// partial autocorrelations were taken before. An argument is matched by its bits.
double remembered_tanh(double x) {
  struct Entry {
    std::uint64_t bits;
    double value;
  };
  static thread_local Entry table[64] = {};  // every slot starts as tanh(+0) = +0
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  Entry& e = table[(bits * 0x9E3779B97F4A7C15ULL) >> 58];
  if (e.bits == bits) return e.value;
  const double value = std::tanh(x);
  e = {bits, value};
  return value;
}

void coef_from_pacf(const double* a, int n, std::vector<double>& c) {
  c.assign(static_cast<std::size_t>(n), 0.0);
  // The previous order's coefficients: on the stack for the usual small orders.
  constexpr int kSmall = 32;
  double small[kSmall];
  std::vector<double> large(n > kSmall ? static_cast<std::size_t>(n) : 0);
  double* prev = n > kSmall ? large.data() : small;
  for (int k = 0; k < n; ++k) {
    std::copy(c.begin(), c.begin() + k, prev);
    for (int j = 0; j < k; ++j) c[j] = prev[j] - a[k] * prev[k - 1 - j];
    c[k] = a[k];
  }
}

void pacf_to_coef(const double* u, int n, std::vector<double>& c, double scale, double bound) {
  // The partial autocorrelations: on the stack for the usual small orders.
  constexpr int kSmall = 32;
  double small[kSmall] = {};
  std::vector<double> large(n > kSmall ? static_cast<std::size_t>(n) : 0);
  double* a = n > kSmall ? large.data() : small;
  for (int k = 0; k < n; ++k) a[k] = scale * remembered_tanh(std::clamp(u[k], -bound, bound));
  coef_from_pacf(a, n, c);
}

bool coef_to_pacf(std::vector<double> c, std::vector<double>& u) {
  const int n = static_cast<int>(c.size());
  u.assign(static_cast<std::size_t>(n), 0.0);
  std::vector<double> prev;
  for (int k = n - 1; k >= 0; --k) {
    const double a = c[k];
    if (!(std::fabs(a) < 1.0)) return false;
    u[k] = std::atanh(a);
    prev.assign(static_cast<std::size_t>(k), 0.0);
    for (int j = 0; j < k; ++j) prev[j] = (c[j] + a * c[k - 1 - j]) / (1.0 - a * a);
    c = prev;
  }
  return true;
}

bool stationary(const std::vector<double>& c) {
  std::vector<double> u;
  return coef_to_pacf(c, u);
}

std::vector<double> multiply(const std::vector<double>& a, const std::vector<double>& s, int m) {
  const std::size_t n = a.size() + s.size() * static_cast<std::size_t>(m);
  std::vector<double> full(n + 1, 0.0), left(a.size() + 1), right(s.size() * m + 1, 0.0);
  left[0] = 1.0;
  for (std::size_t i = 0; i < a.size(); ++i) left[i + 1] = a[i];
  right[0] = 1.0;
  for (std::size_t k = 0; k < s.size(); ++k) right[(k + 1) * m] = s[k];
  for (std::size_t i = 0; i < left.size(); ++i) {
    if (left[i] == 0.0) continue;
    for (std::size_t j = 0; j < right.size(); ++j) full[i + j] += left[i] * right[j];
  }
  return std::vector<double>(full.begin() + 1, full.end());
}

std::vector<double> negate(std::vector<double> v) {
  for (double& x : v) x = -x;
  return v;
}

}  // namespace detail

namespace arima_detail {

using detail::pacf_to_coef;

Coefs unpack(const Form& f, const std::vector<double>& x) {
  Coefs c;
  unpack(f, x, c);
  return c;
}

void unpack(const Form& f, const std::vector<double>& x, Coefs& c) {
  const double* u = x.data();
  pacf_to_coef(u, f.p, c.ar);
  pacf_to_coef(u + f.p, f.q, c.ma);
  for (double& v : c.ma) v = -v;
  pacf_to_coef(u + f.p + f.q, f.P, c.sar);
  pacf_to_coef(u + f.p + f.q + f.P, f.Q, c.sma);
  for (double& v : c.sma) v = -v;
  c.mu = f.constant ? x[f.p + f.q + f.P + f.Q] : 0.0;
}

// Fits whose roots crowd the unit circle (an AR part close to a unit root, an MA part close to
// non-invertible, as after over-differencing) forecast poorly and are numerically fragile, so
// the search does not choose them. The test scales the polynomial, c_j -> c_j rho^j, and
// checks the result is stationary.
bool roots_clear(const Form& f, const std::vector<double>& x) {
  constexpr double rho = 1.01;
  const Coefs c = unpack(f, x);
  auto clear = [](std::vector<double> coef, int lag, bool ma) {
    double s = 1.0;
    const double step = std::pow(rho, lag);
    for (double& v : coef) {
      s *= step;
      v *= ma ? -s : s;
    }
    return detail::stationary(coef);
  };
  return clear(c.ar, 1, false) && clear(c.ma, 1, true) && clear(c.sar, f.m, false) &&
         clear(c.sma, f.m, true);
}

}  // namespace arima_detail
}  // namespace tarn
