// Small dense linear algebra for the estimators: symmetric positive definite systems solved by
// Cholesky (least-squares initial states, Levenberg-Marquardt steps).
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarn {
namespace detail {

// When a Cholesky solve gives up. A pivot that is not positive (zero, negative or NaN) always
// means the matrix is numerically singular; the checks below add stricter rules.
struct CholeskyChecks {
  bool finite_pivots = false;    // an infinite pivot also counts as singular
  bool finite_solution = false;  // a solution with a non-finite entry counts as a failure
  // A squared pivot below this fraction of its diagonal entry (a column all but dependent on
  // the earlier ones) counts as singular.
  double min_pivot_ratio = 0.0;
};

// Solves a x = b for a symmetric positive definite k x k matrix a (row major; only its lower
// triangle is read) by the Cholesky factorisation a = L L'. a is overwritten by L and b by the
// solution; both are left partly overwritten when the solve fails (returns false).
// `Size` is std::size_t, or std::integral_constant<std::size_t, k> for a size known at compile
// time (the loops then unroll; the same arithmetic).
template <typename Size>
inline bool cholesky_solve_of(double* a, double* b, Size k, const CholeskyChecks& checks) {
  for (std::size_t j = 0; j < k; ++j) {
    const double diagonal = a[j * k + j];
    double d = diagonal;
    for (std::size_t p = 0; p < j; ++p) d -= a[j * k + p] * a[j * k + p];
    if (!(d > 0.0) || (checks.finite_pivots && !std::isfinite(d))) return false;
    if (d < checks.min_pivot_ratio * diagonal) return false;
    d = std::sqrt(d);
    a[j * k + j] = d;
    for (std::size_t i = j + 1; i < k; ++i) {
      double s = a[i * k + j];
      for (std::size_t p = 0; p < j; ++p) s -= a[i * k + p] * a[j * k + p];
      a[i * k + j] = s / d;
    }
  }
  // L y = b, then L' x = y.
  for (std::size_t i = 0; i < k; ++i) {
    double s = b[i];
    for (std::size_t p = 0; p < i; ++p) s -= a[i * k + p] * b[p];
    b[i] = s / a[i * k + i];
  }
  for (std::size_t i = k; i-- > 0;) {
    double s = b[i];
    for (std::size_t p = i + 1; p < k; ++p) s -= a[p * k + i] * b[p];
    b[i] = s / a[i * k + i];
  }
  if (checks.finite_solution) {
    for (std::size_t i = 0; i < k; ++i)
      if (!std::isfinite(b[i])) return false;
  }
  return true;
}

// cholesky_solve with the first substitution (L y = b) taken row by row as the factor's
// columns complete, so that its chain of divisions overlaps the factorisation's instead of
// following it: every entry of L, y and x comes from the same operations in the same order as
// in cholesky_solve, so the results (and the failures) are the same to the bit.
inline bool cholesky_solve_overlapped(double* a, double* b, std::size_t k,
                                      const CholeskyChecks& checks) {
  for (std::size_t j = 0; j < k; ++j) {
    const double diagonal = a[j * k + j];
    double d = diagonal;
    for (std::size_t p = 0; p < j; ++p) d -= a[j * k + p] * a[j * k + p];
    if (!(d > 0.0) || (checks.finite_pivots && !std::isfinite(d))) return false;
    if (d < checks.min_pivot_ratio * diagonal) return false;
    d = std::sqrt(d);
    a[j * k + j] = d;
    // Row j of L is complete: y_j.
    double y = b[j];
    for (std::size_t p = 0; p < j; ++p) y -= a[j * k + p] * b[p];
    b[j] = y / d;
    for (std::size_t i = j + 1; i < k; ++i) {
      double s = a[i * k + j];
      for (std::size_t p = 0; p < j; ++p) s -= a[i * k + p] * a[j * k + p];
      a[i * k + j] = s / d;
    }
  }
  for (std::size_t i = k; i-- > 0;) {
    double s = b[i];
    for (std::size_t p = i + 1; p < k; ++p) s -= a[p * k + i] * b[p];
    b[i] = s / a[i * k + i];
  }
  if (checks.finite_solution) {
    for (std::size_t i = 0; i < k; ++i)
      if (!std::isfinite(b[i])) return false;
  }
  return true;
}

inline bool cholesky_solve(double* a, double* b, std::size_t k, const CholeskyChecks& checks) {
  return cholesky_solve_of(a, b, k, checks);
}

// cholesky_solve with sizes up to eight known at compile time (the optimiser's steps, the
// seasonal initial states of quarterly data): the same arithmetic, the loops unrolled. Larger
// systems (monthly seasons' initial states) gain nothing from that and overlap the two chains
// instead (cholesky_solve_overlapped). The same results, to the bit, as cholesky_solve.
inline bool cholesky_solve_sized(double* a, double* b, std::size_t k,
                                 const CholeskyChecks& checks) {
  auto fixed = [&](auto size) { return cholesky_solve_of(a, b, size, checks); };
  switch (k) {
    case 1:
      return fixed(std::integral_constant<std::size_t, 1>{});
    case 2:
      return fixed(std::integral_constant<std::size_t, 2>{});
    case 3:
      return fixed(std::integral_constant<std::size_t, 3>{});
    case 4:
      return fixed(std::integral_constant<std::size_t, 4>{});
    case 5:
      return fixed(std::integral_constant<std::size_t, 5>{});
    case 6:
      return fixed(std::integral_constant<std::size_t, 6>{});
    case 7:
      return fixed(std::integral_constant<std::size_t, 7>{});
    case 8:
      return fixed(std::integral_constant<std::size_t, 8>{});
    default:
      return cholesky_solve_overlapped(a, b, k, checks);
  }
}

// Solves (A + ridge * I) x = b in place for a symmetric positive semi-definite k x k matrix A
// (row major), with a ridge of 1e-9 times the mean diagonal: a is overwritten by the factor and
// b by the solution. Returns false when the system is numerically singular or the solution is
// not finite (a and b are then partly overwritten).
inline bool solve_spd_in_place(double* a, double* b, std::size_t k) {
  double tr = 0.0;
  for (std::size_t i = 0; i < k; ++i) tr += a[i * k + i];
  const double ridge = 1e-9 * (tr > 0.0 ? tr / static_cast<double>(k) : 1.0) + 1e-300;
  for (std::size_t i = 0; i < k; ++i) a[i * k + i] += ridge;
  CholeskyChecks checks;
  checks.finite_pivots = true;
  checks.finite_solution = true;
  return cholesky_solve(a, b, k, checks);
}

// As solve_spd_in_place, on copies: x is left as it was when the solve fails.
inline bool solve_spd(std::vector<double> a, std::vector<double> b, std::size_t k,
                      std::vector<double>& x) {
  if (!solve_spd_in_place(a.data(), b.data(), k)) return false;
  x = std::move(b);
  return true;
}

}  // namespace detail
}  // namespace tarn
