#include "state_space.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tarn {
namespace arima_detail {

namespace {

// The coefficients e_1..e_n of (1 + sum sa a_i B^i)(1 + sum ss s_k B^{m k}) added into out
// (n values, zero on entry), with sa, ss = +-1: the terms of multiply() in its order (a zero
// product adds nothing), without its temporaries.
void multiply_into(const std::vector<double>& a, double sa, const std::vector<double>& s, double ss,
                   int m, double* out) {
  const std::size_t na = a.size(), ns = s.size(), step = static_cast<std::size_t>(m);
  // full[i + j] += left[i] right[j] with left = (1, sa a), right = (1 at 0, ss s_k at (k+1) m);
  // out[idx - 1] holds full[idx] (full[0], the leading one, is dropped).
  for (std::size_t i = 0; i <= na; ++i) {
    const double li = i == 0 ? 1.0 : sa * a[i - 1];
    if (li == 0.0) continue;
    if (i > 0) out[i - 1] += li * 1.0;
    for (std::size_t k = 0; k < ns; ++k) out[i + (k + 1) * step - 1] += li * (ss * s[k]);
  }
}

}  // namespace

StateSpace state_space(const Coefs& c, int m) {
  StateSpace s;
  state_space(c, m, s);
  return s;
}

void state_space(const Coefs& c, int m, StateSpace& s) {
  // phi = -((1 - ar)(1 - sar) - 1), theta = (1 + ma)(1 + sma) - 1.
  s.np = static_cast<int>(c.ar.size() + c.sar.size() * static_cast<std::size_t>(m));
  s.nq = static_cast<int>(c.ma.size() + c.sma.size() * static_cast<std::size_t>(m));
  s.r = std::max(s.np, s.nq + 1);
  s.phi.assign(static_cast<std::size_t>(s.r), 0.0);
  s.R.assign(static_cast<std::size_t>(s.r), 0.0);
  multiply_into(c.ar, -1.0, c.sar, -1.0, m, s.phi.data());
  for (int j = 0; j < s.np; ++j)
    s.phi[static_cast<std::size_t>(j)] = -s.phi[static_cast<std::size_t>(j)];
  s.R[0] = 1.0;
  multiply_into(c.ma, 1.0, c.sma, 1.0, m, s.R.data() + 1);
}

namespace {

// Solves the n x n system a x = b (row major) by Gaussian elimination with partial pivoting;
// false when a pivot vanishes.
bool solve_dense(std::vector<double>& a, std::vector<double>& b, int n) {
  for (int c = 0; c < n; ++c) {
    int piv = c;
    for (int i = c + 1; i < n; ++i)
      if (std::fabs(a[i * n + c]) > std::fabs(a[piv * n + c])) piv = i;
    if (!(std::fabs(a[piv * n + c]) > 0.0)) return false;
    if (piv != c) {
      for (int j = 0; j < n; ++j) std::swap(a[c * n + j], a[piv * n + j]);
      std::swap(b[c], b[piv]);
    }
    for (int i = c + 1; i < n; ++i) {
      const double f = a[i * n + c] / a[c * n + c];
      if (f == 0.0) continue;
      for (int j = c; j < n; ++j) a[i * n + j] -= f * a[c * n + j];
      b[i] -= f * b[c];
    }
  }
  for (int i = n - 1; i >= 0; --i) {
    double v = b[i];
    for (int j = i + 1; j < n; ++j) v -= a[i * n + j] * b[j];
    b[i] = v / a[i * n + i];
  }
  return true;
}

}  // namespace

namespace {

// stationary_covariance_direct for a state of Size entries (0: s.r, known at run time only):
// with the size known at compile time the loops over the state unroll; the same arithmetic.
template <int Size>
bool stationary_covariance_direct_of(const StateSpace& s, std::vector<double>& P) {
  const int r = Size > 0 ? Size : s.r;
  if (r < 2) return false;
  const std::size_t rr = static_cast<std::size_t>(r) * r;
  // The ARMA process y_t = sum_j phi_j y_{t-j} + e_t + sum_j R_j e_{t-j} (R_0 = 1; unit
  // innovation variance). Its MA(infinity) weights psi_0..psi_r:
  const int p = s.np;
  auto phi = [&s](int j) { return s.phi[static_cast<std::size_t>(j - 1)]; };  // j = 1..r
  // (Scratch kept between calls, as in fast_innovations.)
  static thread_local std::vector<double> psi, A, g, gamma;
  // (psi, gamma and P are written in full before they are read: no zeroing.)
  psi.resize(static_cast<std::size_t>(r) + 1);
  for (int j = 0; j <= r; ++j) {
    double v = j < r ? s.R[static_cast<std::size_t>(j)] : 0.0;
    for (int i = 1; i <= std::min(j, p); ++i) v += phi(i) * psi[static_cast<std::size_t>(j - i)];
    psi[static_cast<std::size_t>(j)] = v;
  }
  // Its autocovariances gamma_0..gamma_r: gamma_s - sum_j phi_j gamma_|s-j| = sum_{j>=s} R_j
  // psi_{j-s}, solved for s = 0..p, then the recursion beyond p.
  auto rhs = [&](int lag) {
    double v = 0.0;
    for (int j = lag; j < r; ++j)
      v += s.R[static_cast<std::size_t>(j)] * psi[static_cast<std::size_t>(j - lag)];
    return v;
  };
  const int k = p + 1;
  A.assign(static_cast<std::size_t>(k) * k, 0.0);
  g.resize(static_cast<std::size_t>(k));
  for (int row = 0; row <= p; ++row) {
    A[static_cast<std::size_t>(row * k + row)] += 1.0;
    for (int j = 1; j <= p; ++j) A[static_cast<std::size_t>(row * k + std::abs(row - j))] -= phi(j);
    g[static_cast<std::size_t>(row)] = rhs(row);
  }
  if (!solve_dense(A, g, k)) return false;
  gamma.resize(static_cast<std::size_t>(r) + 1);
  for (int lag = 0; lag <= r; ++lag) {
    if (lag <= p) {
      gamma[static_cast<std::size_t>(lag)] = g[static_cast<std::size_t>(lag)];
      continue;
    }
    double v = rhs(lag);
    for (int j = 1; j <= p; ++j) v += phi(j) * gamma[static_cast<std::size_t>(lag - j)];
    gamma[static_cast<std::size_t>(lag)] = v;
  }
  // The state: a_t[l] = sum_{k>=l} (phi_{k+1} y_{t-1-(k-l)} + R_k e_{t-(k-l)}), so its
  // covariance with y_t = a_t[0] is the first row of P ...
  P.resize(rr);
  for (int l = 0; l < r; ++l) {
    double v = 0.0;
    for (int j = l; j < r; ++j) {
      v += s.phi[static_cast<std::size_t>(j)] * gamma[static_cast<std::size_t>(j - l + 1)] +
           s.R[static_cast<std::size_t>(j)] * psi[static_cast<std::size_t>(j - l)];
    }
    P[static_cast<std::size_t>(l)] = P[static_cast<std::size_t>(l) * r] = v;
  }
  // ... and P = T P T' + R R' gives the rest from the bottom right corner up:
  // P_il = phi_i phi_l P_00 + phi_i P_0,l+1 + phi_l P_i+1,0 + P_i+1,l+1 + R_i R_l.
  auto at = [&](int i, int l) {
    return i < r && l < r ? P[static_cast<std::size_t>(i * r + l)] : 0.0;
  };
  for (int i = r - 1; i >= 1; --i) {
    for (int l = r - 1; l >= i; --l) {
      const double fi = s.phi[static_cast<std::size_t>(i)], fl = s.phi[static_cast<std::size_t>(l)];
      const double v = fi * fl * P[0] + fi * at(0, l + 1) + fl * at(i + 1, 0) + at(i + 1, l + 1) +
                       s.R[static_cast<std::size_t>(i)] * s.R[static_cast<std::size_t>(l)];
      P[static_cast<std::size_t>(i * r + l)] = P[static_cast<std::size_t>(l * r + i)] = v;
    }
  }
  // Accepted only when it solves the equation to rounding (and is a covariance): near a unit
  // root the linear system loses its accuracy, and the doubling below takes over.
  // P is symmetric to the bit (each pair of entries is written from one value), so the lower
  // triangle tells all.
  // (The largest magnitude in four running maxima: a maximum does not depend on the order,
  // and a NaN is passed over by each as by one.)
  double most[4] = {0.0, 0.0, 0.0, 0.0};
  for (int i = 0; i < r; ++i) {
    const double* row = &P[static_cast<std::size_t>(i) * r];
    int l = 0;
    for (; l + 4 <= i + 1; l += 4)
      for (int u = 0; u < 4; ++u) most[u] = std::max(most[u], std::fabs(row[l + u]));
    for (; l <= i; ++l) most[0] = std::max(most[0], std::fabs(row[l]));
  }
  const double big = std::max(std::max(most[0], most[1]), std::max(most[2], most[3]));
  // A covariance to rounding: no variance below zero and no correlation beyond one by more than
  // the rounding the equation is checked to below (an unstable transition can solve the
  // equation with a matrix that is not one, and misses by far more). A state entry whose
  // variance is nearly zero (the last entries of a long moving average) comes out a rounding
  // error either side of it, which the doubling would only have spent O(r^3) per step on.
  const double tol = 1e-10 * big;
  static thread_local std::vector<double> bound;  // the variances, raised by the tolerance
  bound.resize(static_cast<std::size_t>(r));
  for (int i = 0; i < r; ++i) {
    const double v = P[static_cast<std::size_t>(i) * r + i];
    if (!(v >= -tol)) return false;
    bound[static_cast<std::size_t>(i)] = std::max(v, 0.0) + tol;
  }
  for (int i = 1; i < r; ++i) {
    const double* row = &P[static_cast<std::size_t>(i) * r];
    const double vi = bound[static_cast<std::size_t>(i)];
    for (int l = 0; l < i; ++l) {
      if (!(row[l] * row[l] <= vi * bound[static_cast<std::size_t>(l)] * (1.0 + 1e-9)))
        return false;
    }
  }
  // The entries filled above from the equation itself (1 <= i <= l) satisfy it exactly (the
  // same expression of the same values). Its entries below the diagonal are the same equations
  // again, their terms summed in another order (the mirror entries hold the same values), so
  // only the first row, computed from the autocovariances, is checked: O(r).
  double worst = 0.0;
  const double f0 = s.phi[0];
  for (int l = 0; l < r; ++l) {
    const double fl = s.phi[static_cast<std::size_t>(l)];
    const double t = f0 * fl * P[0] + f0 * at(0, l + 1) + fl * at(1, 0) + at(1, l + 1) +
                     s.R[0] * s.R[static_cast<std::size_t>(l)];
    worst = std::max(worst, std::fabs(t - at(0, l)));
  }
  return std::isfinite(big) && big > 0.0 && worst <= 1e-10 * big;
}

}  // namespace

bool stationary_covariance_direct(const StateSpace& s, std::vector<double>& P) {
  switch (s.r) {
    case 2:
      return stationary_covariance_direct_of<2>(s, P);
    case 3:
      return stationary_covariance_direct_of<3>(s, P);
    case 4:
      return stationary_covariance_direct_of<4>(s, P);
    case 5:
      return stationary_covariance_direct_of<5>(s, P);
    case 6:
      return stationary_covariance_direct_of<6>(s, P);
    case 7:
      return stationary_covariance_direct_of<7>(s, P);
    case 8:
      return stationary_covariance_direct_of<8>(s, P);
    case 12:
      return stationary_covariance_direct_of<12>(s, P);
    case 13:
      return stationary_covariance_direct_of<13>(s, P);
    case 14:
      return stationary_covariance_direct_of<14>(s, P);
    case 15:
      return stationary_covariance_direct_of<15>(s, P);
    case 16:
      return stationary_covariance_direct_of<16>(s, P);
    case 17:
      return stationary_covariance_direct_of<17>(s, P);
    case 18:
      return stationary_covariance_direct_of<18>(s, P);
    default:
      return stationary_covariance_direct_of<0>(s, P);
  }
}

void stationary_covariance(const StateSpace& s, std::vector<double>& P) {
  if (stationary_covariance_direct(s, P)) return;
  stationary_covariance_doubling(s, P);
}

void stationary_covariance_doubling(const StateSpace& s, std::vector<double>& P) {
  const int r = s.r;
  const std::size_t rr = static_cast<std::size_t>(r) * r;
  P.assign(rr, 0.0);
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j) P[i * r + j] = s.R[i] * s.R[j];
  if (r == 1) {
    P[0] = 1.0 / (1.0 - s.phi[0] * s.phi[0]);
    return;
  }
  std::vector<double> A(rr, 0.0), AS(rr), add(rr), A2(rr), At(rr);
  for (int i = 0; i < r; ++i) {
    A[i * r] = s.phi[i];
    if (i + 1 < r) A[i * r + i + 1] += 1.0;
  }
  // out = X Y (r x r), each entry summed over k in order from zero as the textbook loop does,
  // a row of out at a time so that the inner loop runs along rows and vectorises.
  auto product = [r](const double* X, const double* Y, double* out) {
    for (int i = 0; i < r; ++i) {
      double* row = out + static_cast<std::size_t>(i) * r;
      std::fill(row, row + r, 0.0);
      for (int k = 0; k < r; ++k) {
        const double x = X[i * r + k];
        const double* y = Y + static_cast<std::size_t>(k) * r;
        for (int j = 0; j < r; ++j) row[j] += x * y[j];
      }
    }
  };
  for (int it = 0; it < 60; ++it) {
    // AS = A P; add = AS A'
    product(A.data(), P.data(), AS.data());
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) At[j * r + i] = A[i * r + j];
    product(AS.data(), At.data(), add.data());
    double big = 0.0, added = 0.0;
    for (std::size_t k = 0; k < rr; ++k) {
      P[k] += add[k];
      big = std::max(big, std::fabs(P[k]));
      added = std::max(added, std::fabs(add[k]));
    }
    if (!(added > 1e-15 * big)) break;
    product(A.data(), A.data(), A2.data());
    A.swap(A2);
  }
}

namespace {

// The state's step of fast_innovations: an = T a + K g (the last entry has no successor).
void advance_state(const double* __restrict phi, const double* __restrict K,
                   const double* __restrict a, double* __restrict an, int r, double a0, double g) {
  const int last = r - 1;
  for (int i = 0; i < last; ++i) an[i] = phi[i] * a0 + a[i + 1] + K[i] * g;
  an[last] = phi[last] * a0 + 0.0 + K[last] * g;
}

// The gain's step: tw = T W, then K += tw mw0 and Wn = tw - K_old c.
void advance_gain(const double* __restrict phi, double* __restrict K, const double* __restrict W,
                  double* __restrict Wn, int r, double w0, double mw0, double c) {
  const int last = r - 1;
  for (int i = 0; i < last; ++i) {
    const double tw = phi[i] * w0 + W[i + 1];
    const double k = K[i];
    K[i] = k + tw * mw0;
    Wn[i] = tw - k * c;
  }
  const double tw = phi[last] * w0 + 0.0;
  const double k = K[last];
  K[last] = k + tw * mw0;
  Wn[last] = tw - k * c;
}

}  // namespace

namespace {

// fast_innovations for a state of Size entries (0: s.r, known at run time only). A small state
// known at compile time keeps its vectors on the stack and its loops unrolled; the arithmetic
// is the same either way.
template <int Size>
bool fast_innovations_of(const StateSpace& s, const std::vector<double>& P0,
                         const std::vector<double>& w, double mu, std::vector<double>& out,
                         double& sumlog) {
  const int r = Size > 0 ? Size : s.r;
  const double* phi = s.phi.data();
  const auto ru = static_cast<std::size_t>(r);
  // a: the predicted state; K = T P e1, the unscaled gain; F = e1' P e1; the change of P is
  // M W W'. At the start P = P0, so K = T P0 e1 and the first change is -K K' / F.
  // (Scratch kept between calls: a fit evaluates the likelihood hundreds of times.)
  // a and W each in two buffers, the step writing the one from the other: with no entry
  // written in place the updates vectorise (the same arithmetic, entry by entry).
  static thread_local std::vector<double> buffers;
  constexpr std::size_t kFixed = Size > 0 ? static_cast<std::size_t>(Size) : 1;
  double fixed[5 * kFixed];
  if (Size == 0) buffers.resize(5 * ru);
  double* const base = Size > 0 ? fixed : buffers.data();
  double* a = base;
  double* an = base + ru;
  double* K = base + 2 * ru;
  double* W = base + 3 * ru;
  double* Wn = base + 4 * ru;
  std::fill(a, a + ru, 0.0);
  for (int i = 0; i < r; ++i) K[i] = phi[i] * P0[0] + (i + 1 < r ? P0[(i + 1) * ru] : 0.0);
  double F = P0[0];
  if (!(F > 0.0) || !std::isfinite(F)) return false;
  std::copy(K, K + ru, W);
  double M = -1.0 / F;
  bool steady = false;
  out.resize(w.size());
  std::size_t step = 0;
  sumlog = 0.0;
  // The variances are multiplied together and their product's logarithm taken only when it
  // leaves [2^-256, 2^256] (and at the end), not one logarithm per step. Once steady, F no
  // longer changes: its root is taken once and its logarithm counted.
  double rootF = 0.0, product = 1.0;
  std::size_t frozen_steps = 0;
  bool frozen = false;
  for (double wt : w) {
    const double v = wt - mu - a[0];
    if (!std::isfinite(v)) return false;
    if (!frozen) {
      rootF = std::sqrt(F);
      frozen = steady;
      if (F > 0x1p-256 && F < 0x1p256) {
        product *= F;
        if (!(product > 0x1p-256 && product < 0x1p256)) {
          sumlog += std::log(product);
          product = 1.0;
        }
      } else {
        sumlog += std::log(F);
      }
    } else {
      ++frozen_steps;
    }
    out[step++] = v / rootF;
    // a <- T a + K v / F.
    const double a0 = a[0], g = v / F;
    advance_state(phi, K, a, an, r, a0, g);
    std::swap(a, an);
    if (steady) continue;
    // F <- F + M w0^2; K <- K + T W M w0; W <- (T - K e1' / F) W; M <- M - (M w0)^2 / F_new,
    // with the old K and F on the right.
    const double w0 = W[0], mw0 = M * w0, c = w0 / F;
    advance_gain(phi, K, W, Wn, r, w0, mw0, c);
    std::swap(W, Wn);
    F += mw0 * w0;
    if (!(F > 0.0) || !std::isfinite(F)) return false;
    M -= mw0 * mw0 / F;
    // The steady test every fourth step only: it costs as much as a quarter of the step, and
    // passes late on most series (if at all). Testing less often only freezes the gain up to
    // three steps later; the recursions are exact until then.
    if (step % 4 != 0) continue;
    // |W|^2 (only compared with a threshold) in four partial sums of squares: no cancellation,
    // and the loops above vectorise without the serial sum.
    double part[4] = {0.0, 0.0, 0.0, 0.0};
    int i = 0;
    for (; i + 4 <= r; i += 4)
      for (int u = 0; u < 4; ++u) part[u] += W[i + u] * W[i + u];
    for (; i < r; ++i) part[0] += W[i] * W[i];
    const double change = (part[0] + part[1]) + (part[2] + part[3]);
    steady = std::fabs(M) * change < 1e-14;
  }
  sumlog += std::log(product);
  if (frozen_steps) sumlog += static_cast<double>(frozen_steps) * std::log(F);
  return !out.empty();
}

}  // namespace

bool fast_innovations(const StateSpace& s, const std::vector<double>& P0,
                      const std::vector<double>& w, double mu, std::vector<double>& out,
                      double& sumlog) {
  switch (s.r) {
    case 2:
      return fast_innovations_of<2>(s, P0, w, mu, out, sumlog);
    case 3:
      return fast_innovations_of<3>(s, P0, w, mu, out, sumlog);
    case 4:
      return fast_innovations_of<4>(s, P0, w, mu, out, sumlog);
    case 5:
      return fast_innovations_of<5>(s, P0, w, mu, out, sumlog);
    case 6:
      return fast_innovations_of<6>(s, P0, w, mu, out, sumlog);
    case 7:
      return fast_innovations_of<7>(s, P0, w, mu, out, sumlog);
    case 8:
      return fast_innovations_of<8>(s, P0, w, mu, out, sumlog);
    // Monthly seasonal forms: max(p + 12 P, q + 12 Q + 1) with p, q up to five.
    case 12:
      return fast_innovations_of<12>(s, P0, w, mu, out, sumlog);
    case 13:
      return fast_innovations_of<13>(s, P0, w, mu, out, sumlog);
    case 14:
      return fast_innovations_of<14>(s, P0, w, mu, out, sumlog);
    case 15:
      return fast_innovations_of<15>(s, P0, w, mu, out, sumlog);
    case 16:
      return fast_innovations_of<16>(s, P0, w, mu, out, sumlog);
    case 17:
      return fast_innovations_of<17>(s, P0, w, mu, out, sumlog);
    case 18:
      return fast_innovations_of<18>(s, P0, w, mu, out, sumlog);
    default:
      return fast_innovations_of<0>(s, P0, w, mu, out, sumlog);
  }
}

namespace {

// Two doubles side by side: one SSE2 register (GCC's vector extension elsewhere), each lane
// computed as its own scalar would be (no fused multiply-add is formed for either).
typedef double Pair __attribute__((vector_size(16)));

// fast_innovations_of for two recursions at once (one state size, one length), their vectors
// in pairs: every operation of the scalar step, in its order, on both lanes. The bookkeeping
// that branches (the steady test, the frozen gain, the product of the variances) is per lane;
// a lane whose gain is frozen keeps K, W, F and M while the other's move on.
template <int Size>
void fast_innovations_pair(InnovationsTask* const* task) {
  const int r = Size > 0 ? Size : task[0]->s->r;
  const auto ru = static_cast<std::size_t>(r);
  const std::size_t n = task[0]->w->size();
  constexpr std::size_t kFixed = Size > 0 ? static_cast<std::size_t>(Size) : 1;
  static thread_local std::vector<Pair> heap;
  Pair fixed[6 * kFixed];
  if (Size == 0) heap.resize(6 * ru);
  Pair* const base = Size > 0 ? fixed : heap.data();
  Pair* phi = base;
  Pair* a = base + ru;
  Pair* an = base + 2 * ru;
  Pair* K = base + 3 * ru;
  Pair* W = base + 4 * ru;
  Pair* Wn = base + 5 * ru;
  const double* w[2];
  double* out[2];
  bool live[2], steady[2] = {false, false}, frozen[2] = {false, false};
  double product[2] = {1.0, 1.0}, sumlog[2] = {0.0, 0.0};
  std::size_t frozen_steps[2] = {0, 0};
  Pair F, M, mu, rootF = {0.0, 0.0};
  for (int l = 0; l < 2; ++l) {
    const InnovationsTask& tk = *task[l];
    const std::vector<double>& P0 = *tk.P0;
    for (int i = 0; i < r; ++i) {
      phi[i][l] = tk.s->phi[static_cast<std::size_t>(i)];
      a[i][l] = 0.0;
      K[i][l] = tk.s->phi[static_cast<std::size_t>(i)] * P0[0] +
                (i + 1 < r ? P0[static_cast<std::size_t>(i + 1) * ru] : 0.0);
      W[i][l] = K[i][l];
    }
    F[l] = P0[0];
    M[l] = -1.0 / F[l];
    mu[l] = tk.mu;
    live[l] = F[l] > 0.0 && std::isfinite(F[l]) && n > 0;
    w[l] = tk.w->data();
    tk.out->resize(n);
    out[l] = tk.out->data();
  }
  const Pair zero = {0.0, 0.0};
  for (std::size_t t = 0; t < n && (live[0] || live[1]); ++t) {
    const Pair wt = {w[0][t], w[1][t]};
    const Pair v = wt - mu - a[0];
    for (int l = 0; l < 2; ++l) {
      if (!live[l]) continue;
      if (!std::isfinite(v[l])) {
        live[l] = false;
        continue;
      }
      if (!frozen[l]) {
        rootF[l] = std::sqrt(F[l]);
        frozen[l] = steady[l];
        if (F[l] > 0x1p-256 && F[l] < 0x1p256) {
          product[l] *= F[l];
          if (!(product[l] > 0x1p-256 && product[l] < 0x1p256)) {
            sumlog[l] += std::log(product[l]);
            product[l] = 1.0;
          }
        } else {
          sumlog[l] += std::log(F[l]);
        }
      } else {
        ++frozen_steps[l];
      }
    }
    const Pair o = v / rootF;
    out[0][t] = o[0];
    out[1][t] = o[1];
    // a <- T a + K v / F.
    const Pair a0 = a[0], g = v / F;
    for (int i = 0; i + 1 < r; ++i) an[i] = phi[i] * a0 + a[i + 1] + K[i] * g;
    an[r - 1] = phi[r - 1] * a0 + 0.0 + K[r - 1] * g;
    std::swap(a, an);
    const bool move0 = live[0] && !steady[0], move1 = live[1] && !steady[1];
    if (!move0 && !move1) continue;
    // The gain's step (advance_gain), then F and M, kept for a lane that does not move.
    const Pair w0 = W[0], mw0 = M * w0, c = w0 / F;
    if (move0 && move1) {
      for (int i = 0; i < r; ++i) {
        const Pair tw = phi[i] * w0 + (i + 1 < r ? W[i + 1] : zero + 0.0);
        const Pair k = K[i];
        K[i] = k + tw * mw0;
        Wn[i] = tw - k * c;
      }
      std::swap(W, Wn);
    } else {
      const int l = move0 ? 0 : 1;
      for (int i = 0; i < r; ++i) {
        const double tw = phi[i][l] * w0[l] + (i + 1 < r ? W[i + 1][l] : 0.0);
        const double k = K[i][l];
        K[i][l] = k + tw * mw0[l];
        Wn[i][l] = tw - k * c[l];  // (the frozen lane's W is never read again)
      }
      std::swap(W, Wn);
    }
    const Pair Fn = F + mw0 * w0;
    const Pair Mn = M - mw0 * mw0 / Fn;
    const bool move[2] = {move0, move1};
    for (int l = 0; l < 2; ++l) {
      if (!move[l]) continue;
      F[l] = Fn[l];
      if (!(F[l] > 0.0) || !std::isfinite(F[l])) {
        live[l] = false;
        continue;
      }
      M[l] = Mn[l];
    }
    // The steady test every fourth step (as fast_innovations_of: the same partial sums).
    if ((t + 1) % 4 != 0) continue;
    Pair part[4] = {zero, zero, zero, zero};
    int i = 0;
    for (; i + 4 <= r; i += 4)
      for (int u = 0; u < 4; ++u) part[u] += W[i + u] * W[i + u];
    for (; i < r; ++i) part[0] += W[i] * W[i];
    const Pair change = (part[0] + part[1]) + (part[2] + part[3]);
    for (int l = 0; l < 2; ++l)
      if (move[l] && live[l]) steady[l] = std::fabs(M[l]) * change[l] < 1e-14;
  }
  for (int l = 0; l < 2; ++l) {
    InnovationsTask& tk = *task[l];
    tk.ok = live[l];
    if (!live[l]) continue;
    double s = sumlog[l] + std::log(product[l]);
    if (frozen_steps[l]) s += static_cast<double>(frozen_steps[l]) * std::log(F[l]);
    tk.sumlog = s;
  }
}

}  // namespace

void fast_innovations(InnovationsTask* tasks, std::size_t count) {
  // Tasks of the first one's state size and length in pairs; the others (and an odd one) alone.
  InnovationsTask* pending = nullptr;
  for (std::size_t l = 0; l < count; ++l) {
    InnovationsTask& tk = tasks[l];
    if (tk.s->r < 2 || tk.s->r != tasks[0].s->r || tk.w->size() != tasks[0].w->size()) {
      tk.ok = fast_innovations(*tk.s, *tk.P0, *tk.w, tk.mu, *tk.out, tk.sumlog);
      continue;
    }
    if (!pending) {
      pending = &tk;
      continue;
    }
    InnovationsTask* const pair[2] = {pending, &tk};
    pending = nullptr;
    switch (tk.s->r) {
      case 2:
        fast_innovations_pair<2>(pair);
        break;
      case 3:
        fast_innovations_pair<3>(pair);
        break;
      case 4:
        fast_innovations_pair<4>(pair);
        break;
      case 5:
        fast_innovations_pair<5>(pair);
        break;
      case 6:
        fast_innovations_pair<6>(pair);
        break;
      case 7:
        fast_innovations_pair<7>(pair);
        break;
      case 8:
        fast_innovations_pair<8>(pair);
        break;
      case 12:
        fast_innovations_pair<12>(pair);
        break;
      case 13:
        fast_innovations_pair<13>(pair);
        break;
      case 14:
        fast_innovations_pair<14>(pair);
        break;
      case 15:
        fast_innovations_pair<15>(pair);
        break;
      case 16:
        fast_innovations_pair<16>(pair);
        break;
      case 17:
        fast_innovations_pair<17>(pair);
        break;
      case 18:
        fast_innovations_pair<18>(pair);
        break;
      default:
        fast_innovations_pair<0>(pair);
        break;
    }
  }
  if (pending)
    pending->ok = fast_innovations(*pending->s, *pending->P0, *pending->w, pending->mu,
                                   *pending->out, pending->sumlog);
}

Filter::Filter(int r, const double* phi, const double* R, double* a, double* P, bool& steady,
               std::vector<double>& scratch)
    : r_(r), phi_(phi), R_(R), a_(a), P_(P), steady_(steady) {
  const std::size_t need = 4 * static_cast<std::size_t>(r);
  if (scratch.size() < need) scratch.resize(need);
  tmp_ = scratch.data();
  an_ = tmp_ + 3 * static_cast<std::size_t>(r);
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
  // The prediction P = T P T' + R R' (with tmp = T P: tmp_ij = phi_i P_0j + P_i+1,j), then
  // the update P -= c c' / F with c the new first column, in one pass over P: the entry (i, j)
  // of the prediction reads the old first row and the old (i + 1, j + 1), which the pass has
  // not overwritten yet, so it works in place. The arithmetic is the textbook two-product
  // form's, term for term.
  double* row0 = tmp_;          // the old first row
  double* col = tmp_ + r;       // the predicted first column, c
  double* lead = tmp_ + 2 * r;  // tmp_i0 = phi_i P_00 + P_i+1,0
  std::copy(P, P + r, row0);
  auto predicted = [&](int i, int j) {
    const double next =
        j + 1 < r ? phi[i] * row0[j + 1] + (i + 1 < r ? P[(i + 1) * r + j + 1] : 0.0) : 0.0;
    return lead[i] * phi[j] + next + R[i] * R[j];
  };
  for (int i = 0; i < r; ++i) lead[i] = phi[i] * row0[0] + (i + 1 < r ? P[(i + 1) * r] : 0.0);
  for (int i = 0; i < r; ++i) col[i] = predicted(i, 0);
  const double F = col[0];
  if (!out.observed || !(F > 0.0) || !std::isfinite(F)) {
    for (int i = 0; i < r; ++i)
      for (int j = 0; j < r; ++j) P[i * r + j] = j == 0 ? col[i] : predicted(i, j);
    if (!out.observed) {
      std::copy(an_, an_ + r, a_);
      return true;
    }
    return false;
  }
  out.F = F;
  out.v = w - an_[0];
  double biggest = 0.0;
  for (int i = 0; i < r; ++i) a_[i] = an_[i] + col[i] / F * out.v;
  for (int i = 0; i < r; ++i)
    for (int j = 0; j < r; ++j) {
      double pij = j == 0 ? col[i] : predicted(i, j);
      pij -= col[i] * col[j] / F;
      P[i * r + j] = pij;
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
