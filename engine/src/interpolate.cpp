#include "tarn/interpolate.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "tarn/interpolate_methods.hpp"

namespace tarn {
namespace interp {

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The observed points of a series and the positions to fill between them.
struct Known {
  std::vector<double> x, y;
};

// Index j of the segment [x[j], x[j+1]] that holds v (x.front() <= v <= x.back()).
std::size_t segment(const std::vector<double>& x, double v) {
  auto it = std::upper_bound(x.begin(), x.end(), v);
  std::size_t j = static_cast<std::size_t>(it - x.begin());
  if (j == 0) return 0;
  j -= 1;
  if (j + 1 >= x.size()) j = x.size() - 2;
  return j;
}

double lerp(const Known& k, std::size_t j, double v) {
  double x0 = k.x[j], x1 = k.x[j + 1];
  double w = (v - x0) / (x1 - x0);
  return k.y[j] + w * (k.y[j + 1] - k.y[j]);
}

// Lagrange polynomial through the points idx[0..m) of k, evaluated at v. x is shifted and
// scaled to the points' range so high degrees stay well conditioned.
double lagrange(const Known& k, const std::vector<std::size_t>& idx, double v) {
  double lo = k.x[idx.front()], hi = k.x[idx.front()];
  for (auto i : idx) {
    lo = std::min(lo, k.x[i]);
    hi = std::max(hi, k.x[i]);
  }
  double scale = hi > lo ? hi - lo : 1.0;
  double t = (v - lo) / scale;
  double sum = 0.0;
  for (std::size_t a = 0; a < idx.size(); ++a) {
    double xa = (k.x[idx[a]] - lo) / scale;
    double term = k.y[idx[a]];
    for (std::size_t b = 0; b < idx.size(); ++b) {
      if (a == b) continue;
      double xb = (k.x[idx[b]] - lo) / scale;
      term *= (t - xb) / (xa - xb);
    }
    sum += term;
  }
  return sum;
}

// Up to `count` observed points around segment j (the points j and j+1 first), balanced on both
// sides and spread at the scale of the gap: each further point is the one nearest to one gap
// width beyond the previous one, and a side stops when its next point would lie closer than
// half a gap width. Across a wide gap, points bunched on either side make any polynomial or
// rational interpolant swing far outside the data; spread points keep it well conditioned
// (with fewer points the degree drops). Returned in increasing order.
std::vector<std::size_t> nodes(const Known& k, std::size_t j, std::size_t count) {
  const std::size_t m = k.x.size();
  count = std::min(count, m);
  std::size_t left = std::min((count + 1) / 2, j + 1);  // points j, j-1, ...
  std::size_t right = std::min(count - left, m - j - 1);
  left = std::min(count - right, j + 1);
  const double step = k.x[j + 1] - k.x[j];
  std::vector<std::size_t> out{j};
  for (std::size_t prev = j; out.size() < left && prev > 0;) {
    const double target = k.x[prev] - step;
    auto it = std::upper_bound(k.x.begin(), k.x.begin() + prev, target);
    std::size_t idx = static_cast<std::size_t>(it - k.x.begin());  // first index above target
    if (idx > 0 && (idx >= prev || target - k.x[idx - 1] <= k.x[idx] - target)) --idx;
    if (k.x[prev] - k.x[idx] < 0.5 * step) break;
    out.push_back(idx);
    prev = idx;
  }
  // Points the left side could not give (it stopped early) come from the right, so the degree
  // does not drop near the start of a series (a series and its reverse are filled alike).
  right = std::min(right + (left - out.size()), m - j - 1);
  if (right > 0) out.push_back(j + 1);
  const std::size_t want = out.size() + right - 1;
  for (std::size_t prev = j + 1; out.size() < want && prev + 1 < m;) {
    const double target = k.x[prev] + step;
    auto it = std::lower_bound(k.x.begin() + prev + 1, k.x.end(), target);
    std::size_t idx = static_cast<std::size_t>(it - k.x.begin());  // first index at or above target
    if (idx >= m || (idx > prev + 1 && target - k.x[idx - 1] <= k.x[idx] - target)) --idx;
    if (k.x[idx] - k.x[prev] < 0.5 * step) break;
    out.push_back(idx);
    prev = idx;
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Second derivatives of the natural cubic spline through the known points.
std::vector<double> natural_spline(const Known& k) {
  const std::size_t m = k.x.size();
  std::vector<double> M(m, 0.0);
  if (m < 3) return M;
  // Tridiagonal system for M[1..m-2] (Thomas algorithm).
  const std::size_t n = m - 2;
  std::vector<double> c(n), d(n);
  for (std::size_t i = 0; i < n; ++i) {
    double h0 = k.x[i + 1] - k.x[i], h1 = k.x[i + 2] - k.x[i + 1];
    double a = h0, b = 2.0 * (h0 + h1), cc = h1;
    double r = 6.0 * ((k.y[i + 2] - k.y[i + 1]) / h1 - (k.y[i + 1] - k.y[i]) / h0);
    if (i == 0) {
      c[i] = cc / b;
      d[i] = r / b;
    } else {
      double den = b - a * c[i - 1];
      c[i] = cc / den;
      d[i] = (r - a * d[i - 1]) / den;
    }
  }
  for (std::size_t i = n; i-- > 0;) {
    M[i + 1] = d[i] - (i + 1 < n ? c[i] * M[i + 2] : 0.0);
  }
  return M;
}

double eval_natural(const Known& k, const std::vector<double>& M, double v) {
  std::size_t j = segment(k.x, v);
  double h = k.x[j + 1] - k.x[j];
  double a = (k.x[j + 1] - v) / h, b = (v - k.x[j]) / h;
  return a * k.y[j] + b * k.y[j + 1] +
         ((a * a * a - a) * M[j] + (b * b * b - b) * M[j + 1]) * h * h / 6.0;
}

// Akima slopes at the known points (end slopes extrapolated from two extra segments).
std::vector<double> akima_slopes(const Known& k) {
  const std::size_t m = k.x.size();
  std::vector<double> s(m + 3);
  for (std::size_t i = 0; i + 1 < m; ++i) s[i + 2] = (k.y[i + 1] - k.y[i]) / (k.x[i + 1] - k.x[i]);
  s[1] = 2.0 * s[2] - s[3];
  s[0] = 2.0 * s[1] - s[2];
  s[m + 1] = 2.0 * s[m] - s[m - 1];
  s[m + 2] = 2.0 * s[m + 1] - s[m];
  std::vector<double> f12(m), t(m);
  double fmax = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    f12[i] = std::fabs(s[i + 3] - s[i + 2]) + std::fabs(s[i + 1] - s[i]);
    fmax = std::max(fmax, f12[i]);
  }
  for (std::size_t i = 0; i < m; ++i) {
    double f1 = std::fabs(s[i + 3] - s[i + 2]), f2 = std::fabs(s[i + 1] - s[i]);
    if (f12[i] > 1e-9 * fmax) {
      t[i] = (f1 * s[i + 1] + f2 * s[i + 2]) / f12[i];
    } else {
      t[i] = 0.5 * (s[i + 3] + s[i]);
    }
  }
  return t;
}

double eval_hermite(const Known& k, const std::vector<double>& slope, double v) {
  std::size_t j = segment(k.x, v);
  double h = k.x[j + 1] - k.x[j];
  double u = (v - k.x[j]) / h;
  double h00 = (1 + 2 * u) * (1 - u) * (1 - u), h10 = u * (1 - u) * (1 - u);
  double h01 = u * u * (3 - 2 * u), h11 = u * u * (u - 1);
  return h00 * k.y[j] + h10 * h * slope[j] + h01 * k.y[j + 1] + h11 * h * slope[j + 1];
}

double eval_quadratic(const Known& k, std::size_t j, double v) {
  return lagrange(k, nodes(k, j, 3), v);
}

// Floater-Hormann rational interpolant on the points idx, blending degree d.
double eval_floater_hormann(const Known& k, const std::vector<std::size_t>& idx, int d, double v) {
  const int n = static_cast<int>(idx.size());
  d = std::min(d, n - 1);
  double num = 0.0, den = 0.0;
  for (int a = 0; a < n; ++a) {
    double xa = k.x[idx[a]];
    if (v == xa) return k.y[idx[a]];
    double w = 0.0;
    for (int i = std::max(0, a - d); i <= std::min(a, n - 1 - d); ++i) {
      double prod = 1.0;
      for (int j = i; j <= i + d; ++j) {
        if (j != a) prod /= std::fabs(xa - k.x[idx[j]]);
      }
      w += prod;
    }
    if ((a - d) % 2 != 0) w = -w;
    double c = w / (v - xa);
    num += c * k.y[idx[a]];
    den += c;
  }
  return num / den;
}

// Interpolating B-spline of degree p through the known points.
struct BSpline {
  int p = 0;
  std::vector<double> t, c;
  mutable std::vector<double> left_, right_, n_;  // scratch of basis() and operator()

  // Span mu (p <= mu < number of coefficients) with t[mu] <= v < t[mu+1].
  std::size_t span(double v) const {
    const std::size_t nc = c.size();
    auto it = std::upper_bound(t.begin(), t.end(), v);
    std::size_t mu = static_cast<std::size_t>(it - t.begin());
    mu = mu == 0 ? 0 : mu - 1;
    mu = std::max<std::size_t>(mu, static_cast<std::size_t>(p));
    mu = std::min(mu, nc - 1);
    return mu;
  }
  // The p+1 basis functions that are non-zero at v: N[r] belongs to coefficient mu-p+r.
  void basis(std::size_t mu, double v, std::vector<double>& N) const {
    left_.resize(p + 1);
    right_.resize(p + 1);
    std::vector<double>& left = left_;
    std::vector<double>& right = right_;
    N.assign(p + 1, 0.0);
    N[0] = 1.0;
    for (int j = 1; j <= p; ++j) {
      left[j] = v - t[mu + 1 - j];
      right[j] = t[mu + j] - v;
      double saved = 0.0;
      for (int r = 0; r < j; ++r) {
        double den = right[r + 1] + left[j - r];
        double temp = den != 0.0 ? N[r] / den : 0.0;
        N[r] = saved + right[r + 1] * temp;
        saved = left[j - r] * temp;
      }
      N[j] = saved;
    }
  }
  double operator()(double v) const {
    std::size_t mu = span(v);
    basis(mu, v, n_);
    double s = 0.0;
    for (int r = 0; r <= p; ++r) s += c[mu - p + r] * n_[r];
    return s;
  }
};

BSpline fit_bspline(const Known& k, int p) {
  const std::size_t m = k.x.size();
  BSpline s;
  s.p = p;
  // Knots: p+1 fold at both ends; inside, the points (odd p) or the midpoints (even p), leaving
  // out as many as needed at both ends for m coefficients.
  s.t.assign(p + 1, k.x.front());
  if (p % 2 == 1) {
    std::size_t skip = static_cast<std::size_t>((p - 1) / 2 + 1);
    for (std::size_t i = skip; i + skip < m; ++i) s.t.push_back(k.x[i]);
  } else {
    std::size_t skip = static_cast<std::size_t>(p / 2);
    for (std::size_t i = skip; i + 1 + skip < m; ++i) s.t.push_back(0.5 * (k.x[i] + k.x[i + 1]));
  }
  s.t.insert(s.t.end(), p + 1, k.x.back());
  s.c.assign(m, 0.0);

  // Collocation matrix in band storage; B-spline collocation matrices are totally positive,
  // so elimination without pivoting is stable.
  std::vector<std::size_t> first(m);
  const std::size_t q = static_cast<std::size_t>(p) + 1;
  std::vector<double> rows(m * q), basis;  // row i: rows[i * q .. i * q + p]
  long kl = 0, ku = 0;
  for (std::size_t i = 0; i < m; ++i) {
    std::size_t mu = s.span(k.x[i]);
    s.basis(mu, k.x[i], basis);
    std::copy(basis.begin(), basis.end(), rows.begin() + i * q);
    first[i] = mu - p;
    kl = std::max(kl, static_cast<long>(i) - static_cast<long>(first[i]));
    ku = std::max(ku, static_cast<long>(first[i] + p) - static_cast<long>(i));
  }
  const long width = kl + ku + 1;
  std::vector<double> band(m * width, 0.0);  // A(i, j) at band[i * width + (j - i + kl)]
  auto at = [&](std::size_t i, std::size_t j) -> double& {
    return band[i * width + (static_cast<long>(j) - static_cast<long>(i) + kl)];
  };
  for (std::size_t i = 0; i < m; ++i) {
    for (int r = 0; r <= p; ++r) at(i, first[i] + r) = rows[i * q + r];
  }
  std::vector<double> rhs(k.y);
  for (std::size_t col = 0; col < m; ++col) {
    double piv = at(col, col);
    if (piv == 0.0 || !std::isfinite(piv))
      throw std::runtime_error("spline collocation matrix is singular");
    std::size_t last_row = std::min(m - 1, col + static_cast<std::size_t>(kl));
    std::size_t last_col = std::min(m - 1, col + static_cast<std::size_t>(ku));
    for (std::size_t r = col + 1; r <= last_row; ++r) {
      double f = at(r, col) / piv;
      if (f == 0.0) continue;
      for (std::size_t cc = col; cc <= last_col; ++cc) at(r, cc) -= f * at(col, cc);
      rhs[r] -= f * rhs[col];
    }
  }
  for (std::size_t i = m; i-- > 0;) {
    double sum = rhs[i];
    std::size_t last_col = std::min(m - 1, i + static_cast<std::size_t>(ku));
    for (std::size_t cc = i + 1; cc <= last_col; ++cc) sum -= at(i, cc) * s.c[cc];
    s.c[i] = sum / at(i, i);
  }
  return s;
}

void check_axis(const double* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(x[i])) {
      throw std::invalid_argument("the time axis has a missing or infinite value at row " +
                                  std::to_string(i));
    }
    if (i > 0 && !(x[i] > x[i - 1])) {
      throw std::invalid_argument("the time axis is not strictly increasing at row " +
                                  std::to_string(i));
    }
  }
}

}  // namespace

namespace {

struct MethodName {
  Method method;
  const char* name;
  bool basic;
};

// The one table of method names: the basic methods first, in the order they are listed.
constexpr MethodName kMethods[] = {
    {Method::linear, "linear", true},
    {Method::cubic, "cubic", true},
    {Method::nearest, "nearest", true},
    {Method::prev, "prev", true},
    {Method::next, "next", true},
    {Method::fill, "fill", true},
    {Method::quadratic, "quadratic", false},
    {Method::akima, "akima", false},
    {Method::barycentric, "barycentric", false},
    {Method::polynomial, "polynomial", false},
    {Method::spline, "spline", false},
};

std::vector<std::string> names_of(bool basic_only) {
  std::vector<std::string> out;
  for (const auto& m : kMethods) {
    if (m.basic || !basic_only) out.emplace_back(m.name);
  }
  return out;
}

}  // namespace

const std::vector<std::string>& basic_methods() {
  static const std::vector<std::string> names = names_of(true);
  return names;
}

const std::vector<std::string>& all_methods() {
  static const std::vector<std::string> names = names_of(false);
  return names;
}

std::string joined_names(const std::vector<std::string>& names, const char* last_word) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      out += (last_word && i + 1 == names.size()) ? std::string(" ") + last_word + " " : ", ";
    }
    out += names[i];
  }
  return out;
}

Method method_from_name(const std::string& name) {
  if (name == "previous") return Method::prev;
  for (const auto& m : kMethods) {
    if (name == m.name) return m.method;
  }
  throw std::invalid_argument("unknown interpolation method '" + name + "': use " +
                              joined_names(all_methods(), "or"));
}

const char* method_name(Method m) {
  for (const auto& entry : kMethods) {
    if (entry.method == m) return entry.name;
  }
  return "?";
}

namespace {

// fill_series on an axis already checked.
std::size_t fill_checked(const double* x, double* y, std::size_t n, const Options& opt) {
  auto xat = [&](std::size_t i) { return x ? x[i] : static_cast<double>(i); };

  Known k;
  std::vector<std::size_t> missing;
  k.x.reserve(n);
  k.y.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(y[i])) {
      missing.push_back(i);
    } else {
      k.x.push_back(xat(i));
      k.y.push_back(y[i]);
    }
  }
  if (missing.empty()) return 0;
  const std::size_t m = k.x.size();

  if (opt.method == Method::fill) {
    for (auto i : missing) y[i] = opt.fill_value;
    return missing.size();
  }
  if (m == 0) {
    for (auto i : missing) y[i] = opt.empty_value;
    return std::isnan(opt.empty_value) ? 0 : missing.size();
  }

  Method method = opt.method;
  int order = std::max(1, opt.order);
  // Fewer points than a method needs: lower the degree.
  if (m < 2) {
    // A single observed value: nothing lies between observed points, only ends remain.
    if (method != Method::prev && method != Method::next) method = Method::nearest;
  } else if (method == Method::spline && static_cast<std::size_t>(order) >= m) {
    order = static_cast<int>(m) - 1;
  } else if (method == Method::akima && m < 3) {
    method = Method::linear;
  }
  if (method == Method::spline && order == 1) method = Method::linear;

  // Values so large that a method's differences or products would overflow (between -1e308
  // and 1e308, say) are interpolated on a scale of a power of two, which is exact both ways,
  // and scaled back. Values that are copied (ends, prev, next, nearest) are the observed ones.
  int shift = 0;
  double peak = 0.0;
  for (const double v : k.y) peak = std::max(peak, std::fabs(v));
  Known scaled;
  if (std::isfinite(peak) && peak > 0x1p500) {
    std::frexp(peak, &shift);
    scaled.x = k.x;
    scaled.y.reserve(m);
    for (const double v : k.y) scaled.y.push_back(std::ldexp(v, -shift));
  }
  const Known& ks = shift != 0 ? scaled : k;

  std::vector<double> aux;
  BSpline bs;
  if (method == Method::cubic) aux = natural_spline(ks);
  if (method == Method::akima) aux = akima_slopes(ks);
  if (method == Method::spline) bs = fit_bspline(ks, order);

  const double first = k.x.front(), last = k.x.back();
  std::size_t filled = 0;
  std::size_t cursor = 0;  // index in k of the first observed point after the current position
  for (auto i : missing) {
    const double v = xat(i);
    while (cursor < m && k.x[cursor] < v) ++cursor;
    double out = kNaN;
    const bool leading = v<first, trailing = v> last;
    if (method == Method::prev && !leading) {
      out = k.y[cursor - 1];
    } else if (method == Method::next && !trailing) {
      out = k.y[cursor];
    } else if (leading || trailing) {
      if (opt.fill_ends) out = leading ? k.y.front() : k.y.back();
    } else {
      const std::size_t j = cursor - 1;  // segment [k.x[j], k.x[j+1]] holds v
      switch (method) {
        case Method::linear:
          out = lerp(ks, j, v);
          break;
        case Method::nearest:
          out = (v - k.x[j] <= k.x[j + 1] - v) ? k.y[j] : k.y[j + 1];
          break;
        case Method::cubic:
          out = eval_natural(ks, aux, v);
          break;
        case Method::akima:
          out = eval_hermite(ks, aux, v);
          break;
        case Method::quadratic:
          out = eval_quadratic(ks, j, v);
          break;
        case Method::polynomial:
          out = lagrange(ks, nodes(ks, j, static_cast<std::size_t>(order) + 1), v);
          break;
        case Method::barycentric:
          out = eval_floater_hormann(ks, nodes(ks, j, 8), 3, v);
          break;
        case Method::spline:
          out = bs(v);
          break;
        default:
          break;
      }
      if (shift != 0 && method != Method::nearest) out = std::ldexp(out, shift);
    }
    y[i] = out;
    if (!std::isnan(out)) ++filled;
  }
  return filled;
}

}  // namespace

std::size_t fill_series(const double* x, double* y, std::size_t n, const Options& opt) {
  if (x) check_axis(x, n);
  return fill_checked(x, y, n, opt);
}

std::size_t fill_matrix(double* data, std::size_t rows, std::size_t cols, long time_col,
                        double missing, const Options& opt) {
  if (time_col >= static_cast<long>(cols)) {
    throw std::invalid_argument("time column " + std::to_string(time_col) + " is outside the " +
                                std::to_string(cols) + " columns of the data");
  }
  std::vector<double> axis;
  if (time_col >= 0) {
    axis.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) axis[r] = data[r * cols + time_col];
    check_axis(axis.data(), rows);
  }
  // Columns one after another in one buffer (one pass over the rows), so every series is
  // contiguous while it is filled.
  const bool marker = !std::isnan(missing);
  std::vector<double> columns(rows * cols);
  std::vector<char> gappy(cols, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = data + r * cols;
    for (std::size_t c = 0; c < cols; ++c) {
      double v = row[c];
      if (marker && v == missing && static_cast<long>(c) != time_col) v = kNaN;
      gappy[c] |= std::isnan(v);
      columns[c * rows + r] = v;
    }
  }
  std::size_t filled = 0;
  bool changed = false;
  for (std::size_t c = 0; c < cols; ++c) {
    if (static_cast<long>(c) == time_col || !gappy[c]) continue;
    filled +=
        fill_checked(time_col >= 0 ? axis.data() : nullptr, columns.data() + c * rows, rows, opt);
    changed = true;
  }
  if (changed) {
    for (std::size_t r = 0; r < rows; ++r) {
      double* row = data + r * cols;
      for (std::size_t c = 0; c < cols; ++c) {
        if (static_cast<long>(c) != time_col && gappy[c]) row[c] = columns[c * rows + r];
      }
    }
  }
  return filled;
}

std::size_t fill_matrix_by_column(double* data, std::size_t rows, std::size_t cols, long time_col,
                                  double missing, const Options& opt,
                                  const std::vector<double>& per_column) {
  std::size_t filled = 0;
  std::vector<double> column(rows);
  Options o = opt;
  for (std::size_t c = 0; c < cols; ++c) {
    if (static_cast<long>(c) == time_col) continue;
    for (std::size_t r = 0; r < rows; ++r) column[r] = data[r * cols + c];
    o.fill_value = per_column.at(c);
    filled += fill_matrix(column.data(), rows, 1, -1, missing, o);
    for (std::size_t r = 0; r < rows; ++r) data[r * cols + c] = column[r];
  }
  return filled;
}

std::size_t fill_remaining(double* data, std::size_t rows, std::size_t cols, long time_col,
                           double missing, double value) {
  std::size_t filled = 0;
  for (std::size_t c = 0; c < cols; ++c) {
    if (static_cast<long>(c) == time_col) continue;
    for (std::size_t r = 0; r < rows; ++r) {
      double& v = data[r * cols + c];
      if (std::isnan(v) || (!std::isnan(missing) && v == missing)) {
        v = value;
        ++filled;
      }
    }
  }
  return filled;
}

std::vector<double> column_statistic(const double* data, std::size_t rows, std::size_t cols,
                                     long time_col, double missing, Statistic statistic,
                                     double fallback) {
  std::vector<double> out(cols, kNaN);
  const bool marker = !std::isnan(missing);
  std::vector<double> seen;
  for (std::size_t c = 0; c < cols; ++c) {
    if (static_cast<long>(c) == time_col) continue;
    seen.clear();
    for (std::size_t r = 0; r < rows; ++r) {
      const double v = data[r * cols + c];
      if (std::isnan(v) || (marker && v == missing)) continue;
      seen.push_back(v);
    }
    if (seen.empty()) {
      out[c] = fallback;
    } else if (statistic == Statistic::median) {
      std::sort(seen.begin(), seen.end());
      const std::size_t h = seen.size() / 2;
      out[c] = seen.size() % 2 ? seen[h] : 0.5 * (seen[h - 1] + seen[h]);
    } else {
      double s = 0.0;
      for (double v : seen) s += v;
      out[c] = s / static_cast<double>(seen.size());
    }
  }
  return out;
}

std::vector<std::size_t> observed_counts(const double* data, std::size_t rows, std::size_t cols,
                                         double missing) {
  std::vector<std::size_t> out(cols, 0);
  const bool marker = !std::isnan(missing);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      const double v = data[r * cols + c];
      if (!(std::isnan(v) || (marker && v == missing))) ++out[c];
    }
  }
  return out;
}

}  // namespace interp
}  // namespace tarn
