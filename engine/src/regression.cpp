// Regression on external regressors composed with a model of the remainder (regression.hpp).
#include "tarn/regression.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "arima_polynomial.hpp"
#include "linalg.hpp"
#include "series_util.hpp"
#include "state_space.hpp"
#include "tarn/arima.hpp"
#include "tarn/intervals.hpp"

namespace tarn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kJointRounds = 8;

// Least squares of y on the columns of a design matrix (n rows of p, row-major), over the rows
// where everything is finite.
struct LeastSquares {
  std::vector<double> b;    // p coefficients
  std::vector<double> cov;  // p x p: s^2 (X'X)^-1
  std::size_t rows = 0;
  bool ok = false;
};

LeastSquares least_squares(const std::vector<double>& X, const std::vector<double>& y,
                           std::size_t p) {
  LeastSquares out;
  const std::size_t n = y.size();
  std::vector<double> xtx(p * p, 0.0), xty(p, 0.0);
  std::vector<char> use(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const double* row = X.data() + i * p;
    bool finite = std::isfinite(y[i]);
    for (std::size_t j = 0; j < p && finite; ++j) finite = std::isfinite(row[j]);
    if (!finite) continue;
    use[i] = 1;
    ++out.rows;
    for (std::size_t a = 0; a < p; ++a) {
      xty[a] += row[a] * y[i];
      for (std::size_t c = 0; c <= a; ++c) xtx[a * p + c] += row[a] * row[c];
    }
  }
  for (std::size_t a = 0; a < p; ++a)
    for (std::size_t c = a + 1; c < p; ++c) xtx[a * p + c] = xtx[c * p + a];
  if (out.rows <= p || !detail::solve_spd(xtx, xty, p, out.b)) return out;
  double rss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!use[i]) continue;
    double e = y[i];
    for (std::size_t j = 0; j < p; ++j) e -= X[i * p + j] * out.b[j];
    rss += e * e;
  }
  const double s2 = rss / static_cast<double>(out.rows - p);
  out.cov.assign(p * p, 0.0);
  std::vector<double> unit(p), col;
  for (std::size_t j = 0; j < p; ++j) {
    std::fill(unit.begin(), unit.end(), 0.0);
    unit[j] = 1.0;
    if (!detail::solve_spd(xtx, unit, p, col)) return out;
    for (std::size_t i = 0; i < p; ++i) out.cov[i * p + j] = s2 * col[i];
  }
  out.ok = true;
  return out;
}

// The training rows on the grid of their smallest spacing (NaN rows where timestamps are
// absent), so that differences and filters see the gaps; the rows as they are when the grid
// would be much longer than the data.
struct Grid {
  std::vector<double> y, x;  // y: N values, x: N rows of k
};

Grid on_grid(const std::int64_t* t, const double* y, const double* x, std::size_t n,
             std::size_t k) {
  Grid g;
  std::int64_t step = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const std::int64_t d = t[i] - t[i - 1];
    if (d > 0 && (step == 0 || d < step)) step = d;
  }
  std::vector<std::size_t> pos(n);
  bool grid = step > 0;
  if (grid) {
    for (std::size_t i = 0; i < n; ++i) {
      const double p = static_cast<double>(t[i] - t[0]) / static_cast<double>(step);
      if (p > 4.0 * static_cast<double>(n) + 16.0) {
        grid = false;
        break;
      }
      pos[i] = static_cast<std::size_t>(std::llround(p));
    }
  }
  if (!grid)
    for (std::size_t i = 0; i < n; ++i) pos[i] = i;
  const std::size_t N = n ? pos[n - 1] + 1 : 0;
  g.y.assign(N, kNaN);
  g.x.assign(N * k, kNaN);
  for (std::size_t i = 0; i < n; ++i) {
    g.y[pos[i]] = y[i];
    std::copy(x + i * k, x + (i + 1) * k, g.x.begin() + static_cast<std::ptrdiff_t>(pos[i] * k));
  }
  return g;
}

// (1 - B)^d (1 - B^m)^D applied to a series (NaN where a term is missing).
std::vector<double> difference(const std::vector<double>& v, const std::vector<double>& poly) {
  std::vector<double> out(v.size(), kNaN);
  const std::size_t lag = poly.size() - 1;
  for (std::size_t t = lag; t < v.size(); ++t) {
    double s = 0.0;
    for (std::size_t j = 0; j <= lag; ++j) s += poly[j] * v[t - j];
    out[t] = s;
  }
  return out;
}

std::vector<double> difference_polynomial(int d, int D, int m) {
  std::vector<double> poly{1.0};
  auto times = [&poly](int lag) {
    std::vector<double> out(poly.size() + static_cast<std::size_t>(lag), 0.0);
    for (std::size_t i = 0; i < poly.size(); ++i) {
      out[i] += poly[i];
      out[i + static_cast<std::size_t>(lag)] -= poly[i];
    }
    poly = out;
  };
  for (int i = 0; i < d; ++i) times(1);
  for (int i = 0; i < D; ++i) times(m);
  return poly;
}

// Column j of a row-major matrix of p columns.
std::vector<double> column(const std::vector<double>& X, std::size_t p, std::size_t j) {
  std::vector<double> out(X.size() / p);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = X[i * p + j];
  return out;
}

// OLS of y on the regressors (and an intercept) after `poly` differencing: the coefficients of
// the regressors and their covariance.
LeastSquares differenced_ols(const Grid& g, std::size_t k, const std::vector<double>& poly) {
  const std::vector<double> wy = difference(g.y, poly);
  std::vector<double> W(wy.size() * (k + 1), 1.0);
  for (std::size_t j = 0; j < k; ++j) {
    const std::vector<double> wx = difference(column(g.x, k, j), poly);
    for (std::size_t i = 0; i < wy.size(); ++i) W[i * (k + 1) + j] = wx[i];
  }
  LeastSquares full = least_squares(W, wy, k + 1);
  LeastSquares out;
  out.ok = full.ok;
  out.rows = full.rows;
  if (!full.ok) return out;
  out.b.assign(full.b.begin(), full.b.begin() + static_cast<std::ptrdiff_t>(k));
  out.cov.assign(k * k, 0.0);
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t c = 0; c < k; ++c) out.cov[a * k + c] = full.cov[a * (k + 1) + c];
  return out;
}

// GLS of y on the regressors given a fitted ARIMA model of the errors: differencing as the
// model's, then every column whitened by the Kalman filter of its ARMA part (the standardised
// innovations are linear in the data). A column of ones always joins: the mean (or drift) of
// the differenced errors, which the model may hold in its standardisation rather than as a
// constant, must not leak into the coefficients.
LeastSquares arima_gls(const Grid& g, std::size_t k, const Arima& model) {
  const ArimaOrder& ord = model.order();
  const std::vector<double> poly = difference_polynomial(ord.d, ord.D, ord.m);
  arima_detail::Coefs c;
  c.ar = model.ar();
  c.ma = model.ma();
  c.sar = model.seasonal_ar();
  c.sma = model.seasonal_ma();
  const arima_detail::StateSpace s = arima_detail::state_space(c, ord.m);
  std::vector<double> P0;
  arima_detail::stationary_covariance(s, P0);
  for (double v : P0) {
    if (!std::isfinite(v)) return LeastSquares{};
  }
  const std::size_t p = k + 1;
  std::vector<std::vector<double>> cols;
  for (std::size_t j = 0; j < k; ++j) cols.push_back(difference(column(g.x, k, j), poly));
  const std::vector<double> wy = difference(g.y, poly);
  cols.emplace_back(wy.size(), 1.0);
  cols.push_back(wy);
  // One missing pattern for every column, so the filters' gains agree.
  for (std::size_t i = 0; i < wy.size(); ++i) {
    bool finite = true;
    for (const auto& col : cols) finite = finite && std::isfinite(col[i]);
    if (!finite)
      for (auto& col : cols) col[i] = kNaN;
  }
  std::vector<std::vector<double>> white(cols.size());
  for (std::size_t j = 0; j < cols.size(); ++j) {
    std::vector<double> a(static_cast<std::size_t>(s.r), 0.0), P = P0, scratch;
    bool steady = false;
    arima_detail::Filter filter(s.r, s.phi.data(), s.R.data(), a.data(), P.data(), steady, scratch);
    arima_detail::KalmanStep ks;
    for (double v : cols[j]) {
      if (!filter.step(v, ks)) return LeastSquares{};
      if (ks.observed) white[j].push_back(ks.v / std::sqrt(ks.F));
    }
  }
  const std::size_t n = white.back().size();
  std::vector<double> X(n * p);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < p; ++j) X[i * p + j] = white[j][i];
  LeastSquares full = least_squares(X, white.back(), p);
  LeastSquares out;
  out.ok = full.ok;
  out.rows = full.rows;
  if (!full.ok) return out;
  out.b.assign(full.b.begin(), full.b.begin() + static_cast<std::ptrdiff_t>(k));
  out.cov.assign(k * k, 0.0);
  for (std::size_t a = 0; a < k; ++a)
    for (std::size_t b = 0; b < k; ++b) out.cov[a * k + b] = full.cov[a * p + b];
  return out;
}

bool is_arima_kind(const std::string& kind) {
  return kind == "arima" || kind == "arma";
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void Regression::check_inner_kind(const std::string& kind) {
  if (kind == "intermittent") {
    throw InvalidArgument(
        "intermittent: the model cannot take regressors (it forecasts demand sizes and the "
        "intervals between demands, not a level that regressors could shift)");
  }
  if (kind == "regression") {
    throw InvalidArgument("regression: a regression cannot wrap another regression");
  }
}

Regression::Regression(std::unique_ptr<Model> inner, std::size_t n_regressors)
    : inner_(std::move(inner)), k_(n_regressors) {
  if (!inner_) throw InvalidArgument("regression: the model of the remainder is missing");
  check_inner_kind(inner_->kind());
  if (k_ < 1 || k_ > kMaxRegressors) {
    throw InvalidArgument("regression: the number of regressors must lie in 1.." +
                          std::to_string(kMaxRegressors) + ", got " + std::to_string(k_));
  }
}

Regression::Regression(const Regression& other)
    : Model(other),
      inner_(other.inner_ ? other.inner_->clone() : nullptr),
      k_(other.k_),
      b_(other.b_),
      cov_(other.cov_),
      joint_(other.joint_),
      trained_(other.trained_),
      log_shift_(other.log_shift_) {}

std::string Regression::describe() const {
  std::ostringstream os;
  os << "regression on " << k_ << " regressor" << (k_ == 1 ? "" : "s");
  if (log_shift_ > 0.0) os << " (fed ln(y + " << log_shift_ << "), fitted on y)";
  if (trained_) {
    os << (joint_ ? " (estimated jointly with the ARIMA errors)" : " (OLS on differences)");
    const std::vector<double> se = standard_errors();
    os.precision(6);
    for (std::size_t j = 0; j < b_.size(); ++j) {
      os << (j ? ", " : ": ") << "b" << j << " = " << b_[j] << " (se " << se[j] << ")";
    }
  }
  os << "; remainder: " << (inner_ ? inner_->describe() : std::string("none"));
  return os.str();
}

std::vector<double> Regression::standard_errors() const {
  std::vector<double> out(b_.size(), kNaN);
  for (std::size_t j = 0; j < b_.size() && cov_.size() == k_ * k_; ++j) {
    out[j] = std::sqrt(std::max(0.0, cov_[j * k_ + j]));
  }
  return out;
}

void Regression::check_row(const double* x, std::int64_t t) const {
  for (std::size_t j = 0; j < k_; ++j) {
    if (!std::isfinite(x[j])) {
      throw InvalidArgument("regression: regressor " + std::to_string(j) + " at time " +
                            std::to_string(t) + " is not finite");
    }
  }
}

double Regression::fitted_part(const double* x) const {
  double s = 0.0;
  for (std::size_t j = 0; j < k_; ++j) s += x[j] * b_[j];
  return s;
}

double Regression::variance_part(const double* x) const {
  if (cov_.size() != k_ * k_) return 0.0;
  double s = 0.0;
  for (std::size_t a = 0; a < k_; ++a)
    for (std::size_t c = 0; c < k_; ++c) s += x[a] * cov_[a * k_ + c] * x[c];
  return std::max(0.0, s);
}

void Regression::train(const std::int64_t* t, const double* y, const double* x, std::size_t n) {
  if (!inner_) throw InvalidArgument("regression: the model of the remainder is missing");
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < k_; ++j) {
      if (!std::isfinite(x[i * k_ + j])) {
        throw InvalidArgument("regression: regressor " + std::to_string(j) + " in training row " +
                              std::to_string(i) + " is not finite");
      }
    }
  }
  reset();
  const std::unique_ptr<Model> proto = inner_->clone();
  std::vector<double> raw(y, y + n);  // the series on its own scale
  for (double& v : raw) v = detail::from_log_input(v, log_shift_);
  y = raw.data();
  const Grid g = on_grid(t, y, x, n, k_);
  const bool arima = is_arima_kind(proto->kind());
  // Start: OLS on the differenced data (the levels for ARMA errors).
  LeastSquares est = differenced_ols(g, k_,
                                     arima && std::string(proto->kind()) == "arma"
                                         ? std::vector<double>{1.0}
                                         : std::vector<double>{1.0, -1.0});
  if (!est.ok) est = differenced_ols(g, k_, std::vector<double>{1.0});
  if (!est.ok) {
    throw InvalidArgument("regression: " + std::to_string(n) + " training rows (" +
                          std::to_string(est.rows) + " with a value) cannot estimate " +
                          std::to_string(k_) + " regressor" + (k_ == 1 ? "" : "s") +
                          " and an intercept");
  }
  b_ = est.b;
  cov_ = est.cov;
  std::vector<double> rem(n);
  auto remainder = [&] {
    for (std::size_t i = 0; i < n; ++i) rem[i] = y[i] - fitted_part(x + i * k_);
  };
  joint_ = false;
  // The selector's candidates share one regression: the one estimated jointly with ARIMA errors
  // (an ARIMA search of its own on the whole training data), which its ARIMA candidate then
  // refits as the last round would; the other candidates model the same remainder.
  std::unique_ptr<Model> pilot;
  if (std::string(proto->kind()) == "auto") {
    ArimaConfig cfg;
    cfg.min_training_data = static_cast<std::int64_t>(
        std::min<std::size_t>(std::max<std::size_t>(n, 1), ArimaConfig::kMaxTraining));
    pilot = std::make_unique<Arima>(cfg);
  } else if (arima) {
    pilot = proto->clone();
  }
  if (pilot && est.ok) {
    for (int round = 0; round < kJointRounds; ++round) {
      remainder();
      std::unique_ptr<Model> m = pilot->clone();
      m->update(t, rem.data(), n);
      if (!m->is_initialized()) m->fit_available();
      if (!m->is_initialized()) break;
      const LeastSquares gls = arima_gls(g, k_, static_cast<const Arima&>(*m));
      if (!gls.ok) break;
      double change = 0.0, size = 0.0;
      for (std::size_t j = 0; j < k_; ++j) {
        change = std::max(change, std::fabs(gls.b[j] - b_[j]));
        size = std::max(size, std::fabs(gls.b[j]));
      }
      b_ = gls.b;
      cov_ = gls.cov;
      joint_ = true;
      if (change <= 1e-6 * (1.0 + size)) break;
    }
  }
  trained_ = true;
  for (std::size_t i = 0; i < n; ++i) feed(t[i], y[i], x + i * k_);
}

void Regression::set_calendar_seasons(const std::vector<double>& seasons) {
  if (inner_ && observations() == 0) inner_->set_calendar_seasons(seasons);
}

void Regression::name_season(std::int64_t m) {
  if (inner_ && observations() == 0) inner_->name_season(m);
}

bool Regression::fit_log_input(double shift) {
  log_shift_ = shift > 0.0 && std::isfinite(shift) ? shift : 0.0;
  return log_shift_ > 0.0;
}

void Regression::update(std::int64_t t, double y, const double* x) {
  feed(t, detail::from_log_input(y, log_shift_), x);
}

void Regression::feed(std::int64_t t, double y, const double* x) {
  if (!trained_ || !inner_) {
    throw InvalidArgument("regression: train the model on its regressors before updating it");
  }
  check_row(x, t);
  feeding_ = true;
  feed_t_ = t;
  feed_value_ = std::isnan(y) ? y : y - fitted_part(x);
  try {
    Model::update(t, y);
  } catch (...) {
    feeding_ = false;
    throw;
  }
  feeding_ = false;
}

void Regression::observe(double /*value*/, std::int64_t /*gap*/) {
  if (!feeding_) {
    throw InvalidArgument(
        "regression: an observation needs its regressors (update with the regressors)");
  }
  inner_->update(feed_t_, feed_value_);
}

bool Regression::fit_available() {
  if (inner_ && trained_ && !inner_->is_initialized()) inner_->fit_available();
  return ready();
}

bool Regression::ready() const {
  return trained_ && inner_ && inner_->is_initialized();
}

void Regression::clear() {
  if (inner_) inner_->reset();
  b_.clear();
  cov_.clear();
  joint_ = false;
  trained_ = false;
  feeding_ = false;
}

double Regression::forecast_ahead(double /*h*/) const {
  throw InvalidArgument("regression: a forecast needs the future regressors");
}

void Regression::interval_ahead(std::int64_t, double, double*, double*) const {
  throw InvalidArgument("regression: a prediction interval needs the future regressors");
}

void Regression::forecast_at(const double* t, std::size_t n, const double* x, double* out) const {
  if (!ready()) throw NotInitialized("regression: the model is not trained yet");
  if (n && !x) throw InvalidArgument("regression: a forecast needs the future regressors");
  for (std::size_t i = 0; i < n; ++i) check_row(x + i * k_, static_cast<std::int64_t>(t[i]));
  inner_->forecast_at(t, n, out);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = detail::to_log_input(out[i] + fitted_part(x + i * k_), log_shift_);
  }
}

void Regression::forecast_interval_at(const double* t, std::size_t n, double coverage,
                                      const double* x, double* lower, double* upper) const {
  if (!ready()) throw NotInitialized("regression: the model is not trained yet");
  if (n && !x) {
    throw InvalidArgument("regression: a prediction interval needs the future regressors");
  }
  for (std::size_t i = 0; i < n; ++i) check_row(x + i * k_, static_cast<std::int64_t>(t[i]));
  std::vector<double> centre(n);
  inner_->forecast_at(t, n, centre.data());
  inner_->forecast_interval_at(t, n, coverage, lower, upper);
  const double z = normal_quantile(0.5 + coverage / 2.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double shift = fitted_part(x + i * k_);
    const double extra = z * z * variance_part(x + i * k_);
    const double below = centre[i] - lower[i], above = upper[i] - centre[i];
    lower[i] =
        detail::to_log_input(centre[i] + shift - std::sqrt(below * below + extra), log_shift_);
    upper[i] =
        detail::to_log_input(centre[i] + shift + std::sqrt(above * above + extra), log_shift_);
  }
}

void Regression::save(Writer& w) const {
  w.put<std::uint8_t>(1);  // layout version of this model's state
  w.put<std::uint64_t>(k_);
  w.put_bool(trained_);
  w.put_bool(joint_);
  w.put_vector(b_);
  w.put_vector(cov_);
  w.put_string(inner_ ? inner_->serialize() : std::string());
  w.put<double>(log_shift_);
}

void Regression::load(Reader& r) {
  if (r.get<std::uint8_t>() != 1) throw FormatError("regression state: unknown layout");
  const auto k = r.get<std::uint64_t>();
  if (k < 1 || k > kMaxRegressors) throw FormatError("regression state: bad regressor count");
  const bool trained = r.get_bool();
  const bool joint = r.get_bool();
  std::vector<double> b = r.get_vector<double>();
  std::vector<double> cov = r.get_vector<double>();
  const std::string inner = r.get_string();
  const double log_shift = r.get<double>();
  if (!std::isfinite(log_shift) || log_shift < 0.0) {
    throw FormatError("regression state: bad log transform shift");
  }
  if ((trained && b.size() != k) || (!trained && !b.empty()) ||
      (!cov.empty() && cov.size() != k * k)) {
    throw FormatError("regression state: coefficients do not match the regressors");
  }
  for (double v : b) {
    if (!std::isfinite(v)) throw FormatError("regression state: a coefficient is not finite");
  }
  // A regression holds no regression: a state nesting them is refused before it is read, so
  // that no crafted state can recurse deeper than one level.
  static thread_local int depth = 0;
  if (depth > 0) throw FormatError("regression state: a regression inside a regression");
  std::unique_ptr<Model> m;
  ++depth;
  try {
    m = Model::deserialize(inner);
  } catch (...) {
    --depth;
    throw;
  }
  --depth;
  try {
    check_inner_kind(m->kind());
  } catch (const InvalidArgument& e) {
    throw FormatError(std::string("regression state: ") + e.what());
  }
  inner_ = std::move(m);
  k_ = static_cast<std::size_t>(k);
  trained_ = trained;
  joint_ = joint;
  b_ = std::move(b);
  cov_ = std::move(cov);
  log_shift_ = log_shift;
  feeding_ = false;
}

// ---------------------------------------------------------------------------------------------

std::size_t regressors_of(const Model& m) {
  const auto* r = dynamic_cast<const Regression*>(&m);
  return r ? r->n_regressors() : 0;
}

void forecast_with(const Model& m, const double* t, std::size_t n, const double* x, double* out) {
  if (const auto* r = dynamic_cast<const Regression*>(&m)) {
    r->forecast_at(t, n, x, out);
  } else {
    m.forecast_at(t, n, out);
  }
}

void interval_with(const Model& m, const double* t, std::size_t n, double coverage, const double* x,
                   double* lower, double* upper) {
  if (const auto* r = dynamic_cast<const Regression*>(&m)) {
    r->forecast_interval_at(t, n, coverage, x, lower, upper);
  } else {
    m.forecast_interval_at(t, n, coverage, lower, upper);
  }
}

}  // namespace tarn
