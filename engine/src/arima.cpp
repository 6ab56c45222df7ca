#include "tarn/arima.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "arima_polynomial.hpp"
#include "arima_search.hpp"
#include "series_util.hpp"
#include "state_space.hpp"
#include "stationarity_tests.hpp"
#include "tarn/intervals.hpp"
#include "tarn/training_buffer.hpp"

namespace tarn {
namespace {

using arima_detail::Coefs;
using arima_detail::Filter;
using arima_detail::KalmanStep;
using arima_detail::kMaxSeasonalTerms;
using arima_detail::StateSpace;
using arima_detail::stationary_covariance;
using detail::negate;
using detail::stationary;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string fmt(double v) {
  std::ostringstream os;
  os.precision(6);
  os << v;
  return os.str();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Configuration.

std::int64_t ArimaConfig::initial_size() const {
  if (min_training_data > 0) return min_training_data;
  const std::int64_t dd = differencing ? (d >= 0 ? d : 2) : 0;
  std::int64_t n = std::max<std::int64_t>(10, 3 * (p_max + q_max + 1)) + dd;
  if (differencing && samples_per_season >= 2) n += 2 * samples_per_season;
  return n;
}

void ArimaConfig::validate() const {
  auto bad = [this](const std::string& what) {
    throw InvalidArgument(std::string(differencing ? "arima" : "arma") + ": " + what);
  };
  auto order = [&](const char* name, std::int64_t v) {
    if (v < 0 || v > kMaxOrder) {
      bad(std::string(name) + " must lie in 0.." + std::to_string(kMaxOrder) + ", got " +
          std::to_string(v));
    }
  };
  order("p_min", p_min);
  order("p_max", p_max);
  order("q_min", q_min);
  order("q_max", q_max);
  if (p_min > p_max)
    bad("p_min (" + std::to_string(p_min) + ") exceeds p_max (" + std::to_string(p_max) + ")");
  if (q_min > q_max)
    bad("q_min (" + std::to_string(q_min) + ") exceeds q_max (" + std::to_string(q_max) + ")");
  if (max_order_sum < 0 || max_order_sum > 4 * kMaxOrder) {
    bad("max_order_sum must lie in 0.." + std::to_string(4 * kMaxOrder) + ", got " +
        std::to_string(max_order_sum));
  }
  if (d < -1 || d > 2) bad("d must be -1 (tested) or 0..2, got " + std::to_string(d));
  if (!differencing && d > 0)
    bad("an ARMA model does not difference (d = " + std::to_string(d) + ")");
  if (samples_per_season < 0 || samples_per_season > kMaxSeason) {
    bad("samples_per_season must lie in 0.." + std::to_string(kMaxSeason) + ", got " +
        std::to_string(samples_per_season));
  }
  if (min_training_data < -1 || min_training_data > kMaxTraining) {
    bad("min_training_data must be -1 (automatic) or 1.." + std::to_string(kMaxTraining) +
        ", got " + std::to_string(min_training_data));
  }
  if (error_horizon_length < 1 || error_horizon_length > kMaxErrorHorizon) {
    bad("error_horizon_length must lie in 1.." + std::to_string(kMaxErrorHorizon) + ", got " +
        std::to_string(error_horizon_length));
  }
}

std::string ArimaOrder::str() const {
  std::ostringstream os;
  os << "ARIMA(" << p << "," << d << "," << q << ")";
  if (P || D || Q) os << "(" << P << "," << D << "," << Q << ")[" << m << "]";
  if (constant) os << (d + D == 0 ? " with mean" : " with drift");
  return os.str();
}

Arima::Arima(const ArimaConfig& cfg) : cfg_(cfg) {
  cfg_.validate();
  clear();
}

namespace {
ArimaConfig arma_config() {
  ArimaConfig c;
  c.differencing = false;
  c.d = 0;
  return c;
}
}  // namespace

Arma::Arma() : Arima(arma_config()) {}

void Arima::name_season(std::int64_t m) {
  if (observations() > 0) return;
  // ARMA carries no seasonal terms: the caller hears that the season is left out.
  if (!cfg_.differencing) {
    if (m >= 2) {
      season_note_ =
          "season of " + std::to_string(m) + " left out: arma has no seasonal terms (arima has)";
    }
    return;
  }
  // A season built in stays.
  if (cfg_.samples_per_season != 0 || m < 1) return;
  if (m > ArimaConfig::kMaxSeason) {
    throw InvalidArgument("arima: samples_per_season must lie in 0.." +
                          std::to_string(ArimaConfig::kMaxSeason) + ", got " + std::to_string(m));
  }
  cfg_.samples_per_season = m;
}

void Arima::clear() {
  buffer_.clear();
  fitted_ = false;
  order_ = ArimaOrder{};
  ar_.clear();
  ma_.clear();
  sar_.clear();
  sma_.clear();
  mu_ = sigma2_ = aicc_ = 0.0;
  loc_ = 0.0;
  scale_ = 1.0;
  note_.clear();
  season_note_.clear();
  ring_.clear();
  a_.clear();
  P_.clear();
  steady_ = false;
  steps_ = 0;
  errors_ = ErrorHistory(1, cfg_.use_full_error_history);
  pending_at_.clear();
  pending_.clear();
  variance_.reset();
  calibration_.clear();
  phi_.clear();
  rvec_.clear();
  delta_.clear();
  r_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Fitting (the choice of the model: arima_search.cpp).

void Arima::fit() {
  const std::size_t n = buffer_.size();
  // A long sample is estimated on its latest values only (see kFitWindow), so the cost of the
  // search stays bounded whatever the length of the series.
  const std::size_t first = fit_start(buffer_, fit_window(cfg_.samples_per_season));
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(first));
  const arima_detail::Standardised s = arima_detail::standardise(buffer_);
  loc_ = s.loc;
  scale_ = s.scale;
  adopt(arima_detail::select_model(cfg_, s));
  if (cfg_.differencing && cfg_.samples_per_season >= 2 && order_.m == 1) {
    const std::size_t need = 2 * static_cast<std::size_t>(cfg_.samples_per_season) + 2;
    season_note_ = season_not_fitted(cfg_.samples_per_season, buffer_.size() < need);
  }
  filter_training(s.z);
  buffer_.clear();
  buffer_.shrink_to_fit();
  steps_ = 0;
  errors_ = ErrorHistory(std::max<std::int64_t>(1, static_cast<std::int64_t>(n)),
                         cfg_.use_full_error_history);
  pending_at_.clear();
  pending_.clear();
  fitted_ = true;
  const std::int64_t H = cfg_.error_horizon_length;
  pending_at_.push_back(H);
  pending_.push_back(forecast_z(H));
}

// The coefficients and the innovation variance of the chosen form.
void Arima::adopt(const arima_detail::Selection& chosen) {
  const arima_detail::Fit& fit = chosen.fit;
  const Coefs c = arima_detail::unpack(fit.form, fit.x);
  ArimaOrder ord = chosen.order;
  ord.p = fit.form.p;
  ord.q = fit.form.q;
  ord.P = fit.form.P;
  ord.Q = fit.form.Q;
  if (ord.P == 0 && ord.Q == 0 && ord.D == 0) ord.m = 1;
  if (fit.form.constant) ord.constant = true;
  order_ = ord;
  ar_ = c.ar;
  ma_ = c.ma;
  sar_ = c.sar;
  sma_ = c.sma;
  mu_ = ord.constant ? (fit.form.constant ? c.mu : 0.0) : 0.0;
  const std::vector<double>& w = chosen.w;
  if (ord.constant && !fit.form.constant && !w.empty()) {
    double s = 0.0;
    int k = 0;
    for (double v : w)
      if (std::isfinite(v)) s += v, ++k;
    mu_ = k ? s / k : 0.0;
  }
  sigma2_ = fit.sigma2;
  aicc_ = fit.aicc;
  note_ = chosen.note;
  prepare();
}

// Runs the filter over the training data z (standardised) so the state is the one at its end,
// and calibrates the horizon factors of the intervals on the way.
void Arima::filter_training(const std::vector<double>& z) {
  const std::size_t n = z.size();
  const std::size_t nd = delta_.size();
  const std::vector<double> zi = arima_detail::interpolated(z);
  ring_.assign(zi.begin(), zi.begin() + std::min(nd, n));
  while (ring_.size() < nd) ring_.insert(ring_.begin(), ring_.empty() ? 0.0 : ring_.front());
  StateSpace s;
  s.r = r_;
  s.phi = phi_;
  s.R = rvec_;
  a_.assign(static_cast<std::size_t>(r_), 0.0);
  stationary_covariance(s, P_.own());
  bool finite = true;
  for (double v : P_.get()) finite = finite && std::isfinite(v);
  if (!finite) {
    // Cannot happen for a stationary fit; a last guard against a corrupt state.
    P_.own().assign(static_cast<std::size_t>(r_) * r_, 0.0);
  }
  steady_ = false;
  const ArimaOrder& ord = order_;
  variance_.reset(static_cast<double>(ord.p + ord.q + ord.P + ord.Q + (ord.constant ? 1 : 0)));
  // From every origin after the estimated values, the 1..H step errors against the formula's
  // variances (H: up to two seasons, at least 8 steps, at most a third of the data).
  const std::size_t HC =
      std::min<std::size_t>(n / 3, std::max<std::size_t>(2 * static_cast<std::size_t>(ord.m), 8));
  std::vector<double> shape(HC), path(HC);
  if (HC) psi_shape(static_cast<std::int64_t>(HC), shape.data());
  const std::size_t first = std::min(nd, n) + static_cast<std::size_t>(variance_.parameters());
  calibration_.start(HC >= 2 ? HC : 0);
  for (std::size_t t = std::min(nd, n); t < n; ++t) {
    step(z[t]);
    if (HC < 2 || t + 1 < first) continue;
    forecast_z_path(HC, path.data());
    for (std::size_t k = 1; k <= HC && t + k < n; ++k) {
      if (!std::isfinite(z[t + k])) continue;
      const double e = z[t + k] - path[k - 1];
      calibration_.add(k, e * e / shape[k - 1]);
    }
  }
  calibration_.finish(variance_.known() ? variance_.variance() : 1.0);
}

void Arima::prepare() {
  Coefs c;
  c.ar = ar_;
  c.ma = ma_;
  c.sar = sar_;
  c.sma = sma_;
  const StateSpace s = arima_detail::state_space(c, order_.m);
  r_ = s.r;
  phi_ = s.phi;
  rvec_ = s.R;
  // (1 - B)^d (1 - B^m)^D = 1 - sum delta_k B^k
  std::vector<double> poly{1.0};
  auto times = [&poly](int lag) {
    std::vector<double> out(poly.size() + lag, 0.0);
    for (std::size_t i = 0; i < poly.size(); ++i) {
      out[i] += poly[i];
      out[i + lag] -= poly[i];
    }
    poly = out;
  };
  for (int k = 0; k < order_.d; ++k) times(1);
  for (int k = 0; k < order_.D; ++k) times(order_.m);
  delta_.assign(poly.size() - 1, 0.0);
  for (std::size_t k = 1; k < poly.size(); ++k) delta_[k - 1] = -poly[k];
}

// ---------------------------------------------------------------------------------------------
// Updating and forecasting.

void Arima::step(double z) {
  const std::size_t nd = delta_.size();
  double integ = 0.0;  // the part of z_t the differencing carries over from the past
  for (std::size_t k = 0; k < nd; ++k) integ += delta_[k] * ring_[nd - 1 - k];
  const double w = std::isfinite(z) ? z - integ - mu_ : kNaN;
  // A steady filter fed a value (w finite) neither reads nor writes its covariance, which is
  // zero: the matrix stays shared with the copies. Any other step works on this model's own.
  double* P = steady_ && std::isfinite(w) ? const_cast<double*>(P_.get().data()) : P_.own().data();
  Filter filter(r_, phi_.data(), rvec_.data(), a_.data(), P, steady_, scratch_.v);
  const double predicted = integ + mu_ + filter.predict_next();
  KalmanStep ks;
  if (!filter.step(w, ks)) {
    // Numerically unusable variance: treat the value as missing rather than corrupt the state.
    filter.step(kNaN, ks);
  }
  // The error in units of the innovation's own spread: while the filter is still uncertain of
  // its state (the first values, or after missing ones) its prediction error is wider than an
  // innovation by sqrt(F), and counted raw it would inflate every interval of a model fitted on
  // a short series. In the steady state F is 1.
  if (std::isfinite(z)) {
    const bool scaled = ks.observed && ks.F > 1.0 && std::isfinite(ks.F);
    variance_.add(scaled ? (z - predicted) / std::sqrt(ks.F) : z - predicted);
  }
  const double kept = std::isfinite(z) ? z : predicted;
  if (nd) {
    ring_.erase(ring_.begin());
    ring_.push_back(kept);
  }
}

double Arima::forecast_z(std::int64_t h) const {
  const std::size_t nd = delta_.size();
  // One buffer: the state, the next state and the history (circular: the newest value sits
  // just before `head`).
  std::vector<double> buf(2 * a_.size() + ring_.size());
  double* a = buf.data();
  double* an = a + a_.size();
  double* hist = an + a_.size();
  std::copy(a_.begin(), a_.end(), a);
  std::copy(ring_.begin(), ring_.end(), hist);
  std::size_t head = 0;
  double y = nd ? ring_.back() : 0.0;
  const int r = r_;
  for (std::int64_t k = 1; k <= h; ++k) {
    for (int i = 0; i < r; ++i) an[i] = phi_[i] * a[0] + (i + 1 < r ? a[i + 1] : 0.0);
    std::swap(a, an);
    double integ = 0.0;
    for (std::size_t j = 0; j < nd; ++j) integ += delta_[j] * hist[(head + nd - 1 - j) % nd];
    y = integ + mu_ + a[0];
    if (nd) {
      hist[head] = y;
      head = (head + 1) % nd;
    }
  }
  return y;
}

// The h-step variance sigma^2 (psi_0^2 + ... + psi_{h-1}^2), with the psi weights of the
// model's MA(infinity) form on the undifferenced scale. sigma^2 comes from the one-step
// prediction errors since the fit (the estimate of the fit for states of older formats).
bool Arima::forecast_variances(std::int64_t h, double* var) const {
  // Without errors enough of its own the fit's estimate stands in, unless the fit had none
  // (a series too short to estimate anything): then the spread is unknown.
  if (!variance_.known() && !(sigma2_ > 0.0)) return false;
  const double s2 = (variance_.known() ? variance_.variance() : sigma2_) * scale_ * scale_;
  if (!std::isfinite(s2)) return false;
  psi_shape(h, var);
  // Calibrated, the variance still never falls with the horizon.
  double prev = 0.0;
  for (std::int64_t k = 1; k <= h; ++k) {
    prev = std::max(prev, s2 * var[k - 1] * calibration_.factor(k));
    var[k - 1] = prev;
  }
  return true;
}

void Arima::forecast_z_path(std::size_t h, double* out) const {
  const std::size_t nd = delta_.size();
  std::vector<double> buf(2 * a_.size() + ring_.size());  // as forecast_z
  double* a = buf.data();
  double* an = a + a_.size();
  double* hist = an + a_.size();
  std::copy(a_.begin(), a_.end(), a);
  std::copy(ring_.begin(), ring_.end(), hist);
  std::size_t head = 0;
  const int r = r_;
  for (std::size_t k = 0; k < h; ++k) {
    for (int i = 0; i < r; ++i) an[i] = phi_[i] * a[0] + (i + 1 < r ? a[i + 1] : 0.0);
    std::swap(a, an);
    double integ = 0.0;
    for (std::size_t j = 0; j < nd; ++j) integ += delta_[j] * hist[(head + nd - 1 - j) % nd];
    out[k] = integ + mu_ + a[0];
    if (nd) {
      hist[head] = out[k];
      head = (head + 1) % nd;
    }
  }
}

void Arima::psi_shape(std::int64_t h, double* var) const {
  if (h == 1) {  // psi_0 = 1 (the one-step variance the selector asks for at every update)
    var[0] = 1.0;
    return;
  }
  // Autoregressive side with the differencing folded in: (1 - sum phi B^i)(1 - sum delta B^k).
  std::vector<double> ar(phi_.size() + delta_.size(), 0.0);
  for (std::size_t i = 0; i < phi_.size(); ++i) ar[i] += phi_[i];
  for (std::size_t k = 0; k < delta_.size(); ++k) ar[k] += delta_[k];
  for (std::size_t i = 0; i < phi_.size(); ++i) {
    for (std::size_t k = 0; k < delta_.size(); ++k) ar[i + k + 1] -= phi_[i] * delta_[k];
  }
  const std::size_t p = ar.size();
  std::vector<double> window(p, 0.0);  // psi_{j-1}, ..., psi_{j-p} (ring)
  std::size_t head = 0;
  double sum = 0.0;
  for (std::int64_t j = 0; j < h; ++j) {
    double w = j == 0 ? 1.0 : (static_cast<std::size_t>(j) < rvec_.size() ? rvec_[j] : 0.0);
    for (std::size_t i = 0; i < p && static_cast<std::int64_t>(i) < j; ++i) {
      w += ar[i] * window[(head + p - 1 - i) % p];
    }
    if (p) {
      window[head] = w;
      head = (head + 1) % p;
    }
    sum += w * w;
    var[j] = sum;
  }
}

double Arima::interval_dof() const {
  return variance_.known() ? variance_.dof() : std::numeric_limits<double>::infinity();
}

double Arima::track_errors(double z) {
  // Forecasts made for steps before this one are stale (their observation was missing).
  while (!pending_at_.empty() && pending_at_.front() < steps_) {
    pending_at_.erase(pending_at_.begin());
    pending_.erase(pending_.begin());
  }
  double err = kNaN;
  if (!pending_at_.empty() && pending_at_.front() == steps_) {
    if (std::isfinite(z)) err = (z - pending_.front()) * scale_;
    pending_at_.erase(pending_at_.begin());
    pending_.erase(pending_.begin());
  }
  return err;
}

bool Arima::fit_available() {
  if (!fitted_ &&
      std::any_of(buffer_.begin(), buffer_.end(), [](double v) { return std::isfinite(v); })) {
    fit();
  }
  return fitted_;
}

bool Arima::fit_log_input(double shift) {
  if (!cfg_.differencing) return false;
  if (!std::isfinite(shift) || shift < 0.0) {
    throw InvalidArgument("arima: the shift of log-transformed input must be finite and >= 0");
  }
  if (observations() > 0) {
    throw InvalidArgument("arima: the input transform is set before the first observation");
  }
  cfg_.log_input_shift = shift;
  return true;
}

void Arima::observe(double value, std::int64_t gap) {
  value = detail::from_log_input(value, cfg_.log_input_shift);
  if (!fitted_) {
    // A run of missing values longer than the training size tells the fit nothing more.
    const std::int64_t need = cfg_.initial_size();
    const std::int64_t missing = std::min(gap - 1, need);
    for (std::int64_t k = 0; k < missing; ++k) buffer_.push_back(kNaN);
    buffer_.push_back(value);
    if (static_cast<std::int64_t>(buffer_.size()) >= need) {
      const bool any =
          std::any_of(buffer_.begin(), buffer_.end(), [](double v) { return std::isfinite(v); });
      if (any) {
        fit();
      } else {
        // Nothing but missing values so far: wait for a first real one.
        buffer_.erase(buffer_.begin(), buffer_.end() - (need - 1));
      }
    }
    return;
  }
  const std::int64_t H = cfg_.error_horizon_length;
  if (gap > kMaxGap) {
    // After this long without data the state carries no information: the process restarts at
    // the new value with the fitted coefficients (differencing history filled with it).
    steps_ += gap;
    pending_at_.clear();
    pending_.clear();
    if (std::isfinite(value)) {
      std::fill(ring_.begin(), ring_.end(), (value - loc_) / scale_);
    }
    StateSpace s;
    s.r = r_;
    s.phi = phi_;
    s.R = rvec_;
    std::fill(a_.begin(), a_.end(), 0.0);
    stationary_covariance(s, P_.own());
    steady_ = false;
    pending_at_.push_back(steps_ + H);
    pending_.push_back(forecast_z(H));
    return;
  }
  for (std::int64_t k = 1; k <= gap; ++k) {
    const double z = k == gap && std::isfinite(value) ? (value - loc_) / scale_ : kNaN;
    ++steps_;
    const double err = track_errors(z);
    if (std::isfinite(err)) errors_.add(err);
    step(z);
    if (k == gap) {
      pending_at_.push_back(steps_ + H);
      pending_.push_back(forecast_z(H));
    }
  }
}

double Arima::forecast_ahead(double h) const {
  if (!(h <= kMaxHorizon)) {
    throw InvalidArgument("arima: forecast horizon of " + fmt(h) + " steps is too far (at most " +
                          fmt(kMaxHorizon) + ")");
  }
  const auto lo = static_cast<std::int64_t>(std::floor(h));
  const double frac = h - static_cast<double>(lo);
  double z = forecast_z(lo);
  if (frac > 0.0) z += frac * (forecast_z(lo + 1) - z);
  return from_z(z);
}

// One walk along the forecast path serves every step count (in order); the values are those
// forecast_ahead gives one by one.
void Arima::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  for (std::size_t i = 0; i < n; ++i) {
    if (!(h[i] <= kMaxHorizon) || (i > 0 && h[i] < h[i - 1])) {
      Model::forecast_path_ahead(h, n, out);
      return;
    }
  }
  const std::size_t nd = delta_.size();
  std::vector<double> a = a_, an(a_.size());
  std::vector<double> hist = ring_;
  std::size_t head = 0;
  const int r = r_;
  std::int64_t k = 0;                   // steps walked
  double z_k = nd ? hist.back() : 0.0;  // the forecast k steps ahead
  double z_before = z_k;                // and k - 1 steps ahead
  auto at = [&](std::int64_t j) {       // j >= k - 1
    while (k < j) {
      for (int i = 0; i < r; ++i) an[i] = phi_[i] * a[0] + (i + 1 < r ? a[i + 1] : 0.0);
      a.swap(an);
      double integ = 0.0;
      for (std::size_t d = 0; d < nd; ++d) integ += delta_[d] * hist[(head + nd - 1 - d) % nd];
      z_before = z_k;
      z_k = integ + mu_ + a[0];
      if (nd) {
        hist[head] = z_k;
        head = (head + 1) % nd;
      }
      ++k;
    }
    return j == k ? z_k : z_before;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const auto lo = static_cast<std::int64_t>(std::floor(h[i]));
    const double frac = h[i] - static_cast<double>(lo);
    double z = at(lo);
    if (frac > 0.0) z += frac * (at(lo + 1) - z);
    out[i] = from_z(z);
  }
}

double Arima::from_z(double z) const {
  return detail::to_log_input(series_value(z), cfg_.log_input_shift);
}

double Arima::series_value(double z) const {
  double y = loc_ + scale_ * z;
  if (!std::isfinite(y)) {
    // Only reachable from magnitudes near the floating-point limit: stay at the last level.
    const double last = ring_.empty() ? 0.0 : ring_.back();
    y = loc_ + scale_ * (std::isfinite(last) ? last : 0.0);
    if (!std::isfinite(y)) y = loc_;
  }
  return y;
}

// Fed ln(x + shift), the model forecasts x: the normal quantiles of x are taken through the
// (monotone) transform, so the bands are those of the series, on the scale it was fed.
void Arima::interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const {
  if (!(cfg_.log_input_shift > 0.0)) {
    Model::interval_ahead(h, coverage, lower, upper);
    return;
  }
  const auto n = static_cast<std::size_t>(h);
  std::vector<double> var(n), z(n);
  if (!forecast_variances(h, var.data())) {
    throw NotInitialized("arima model knows no forecast errors yet");
  }
  const double q = student_quantile(0.5 + coverage / 2.0, interval_dof());
  forecast_z_path(n, z.data());
  for (std::size_t k = 0; k < n; ++k) {
    const double y = series_value(z[k]);
    // A variance that overflowed gives the widest bounds there are.
    const double w = q * std::sqrt(std::isfinite(var[k]) ? std::max(var[k], 0.0)
                                                         : std::numeric_limits<double>::infinity());
    lower[k] = detail::to_log_input(y - w, cfg_.log_input_shift);
    upper[k] = detail::to_log_input(y + w, cfg_.log_input_shift);
  }
}

std::string Arima::describe() const {
  std::ostringstream os;
  os << kind() << " (p " << cfg_.p_min << ".." << cfg_.p_max << ", q " << cfg_.q_min << ".."
     << cfg_.q_max << ", d " << (cfg_.d < 0 ? std::string("tested") : std::to_string(cfg_.d))
     << (cfg_.force_model ? ", forced" : "");
  if (cfg_.max_order_sum > 0) os << ", p+q+P+Q <= " << cfg_.max_order_sum;
  if (cfg_.log_input_shift > 0.0) os << ", fed ln(x + " << cfg_.log_input_shift << "), fitted on x";
  os << ")";
  if (!fitted_) {
    os << ": collecting " << buffer_.size() << " of " << cfg_.initial_size() << " values";
    return os.str();
  }
  os << ": " << order_.str();
  auto list = [&os](const char* name, const std::vector<double>& v) {
    if (v.empty()) return;
    os << " " << name << "=[";
    for (std::size_t i = 0; i < v.size(); ++i) os << (i ? ", " : "") << fmt(v[i]);
    os << "]";
  };
  list("ar", ar_);
  list("ma", ma_);
  list("sar", sar_);
  list("sma", sma_);
  if (order_.constant) os << " constant=" << fmt(constant());
  os << " sigma2=" << fmt(sigma2());
  if (std::isfinite(aicc_) && aicc_ != 0.0) os << " aicc=" << fmt(aicc_);
  if (errors_.size() > 0) {
    os << " rmse(h=" << cfg_.error_horizon_length << ")=" << fmt(errors_.rmse()) << " over "
       << errors_.size();
  }
  if (!note_.empty()) os << " [" << note_ << "]";
  return os.str();
}

// ---------------------------------------------------------------------------------------------
// Serialisation.

void Arima::save(Writer& w) const {
  // Layout 2 adds the bound on the orders' sum; a model without one keeps layout 1.
  w.put<std::uint8_t>(cfg_.max_order_sum > 0 ? 2 : 1);
  w.put_bool(cfg_.differencing);
  w.put<std::int64_t>(cfg_.p_min);
  w.put<std::int64_t>(cfg_.p_max);
  w.put<std::int64_t>(cfg_.q_min);
  w.put<std::int64_t>(cfg_.q_max);
  w.put<std::int64_t>(cfg_.d);
  w.put<std::int64_t>(cfg_.samples_per_season);
  w.put<std::int64_t>(cfg_.min_training_data);
  w.put_bool(cfg_.force_model);
  w.put<std::int64_t>(cfg_.error_horizon_length);
  w.put_bool(cfg_.use_full_error_history);
  if (cfg_.differencing) w.put<double>(cfg_.log_input_shift);
  if (cfg_.max_order_sum > 0) w.put<std::int64_t>(cfg_.max_order_sum);
  w.put_bool(fitted_);
  w.put_vector(buffer_);
  if (!fitted_) return;
  for (int v : {order_.p, order_.d, order_.q, order_.P, order_.D, order_.Q, order_.m}) {
    w.put<std::int64_t>(v);
  }
  w.put_bool(order_.constant);
  w.put_vector(ar_);
  w.put_vector(ma_);
  w.put_vector(sar_);
  w.put_vector(sma_);
  w.put<double>(mu_);
  w.put<double>(sigma2_);
  w.put<double>(aicc_);
  w.put<double>(loc_);
  w.put<double>(scale_);
  w.put_string(note_);
  w.put_vector(ring_);
  w.put_vector(a_);
  w.put_vector(P_.get());
  w.put_bool(steady_);
  w.put<std::int64_t>(steps_);
  errors_.save(w);
  w.put_vector(pending_at_);
  w.put_vector(pending_);
  variance_.save(w);
  calibration_.save(w);
}

void Arima::load(Reader& r) {
  const auto layout = r.get<std::uint8_t>();
  if (layout != 1 && layout != 2) throw FormatError("arima state: unknown layout");
  ArimaConfig c;
  c.differencing = r.get_bool();
  if (c.differencing != cfg_.differencing) throw FormatError("arima state: kind mismatch");
  c.p_min = r.get<std::int64_t>();
  c.p_max = r.get<std::int64_t>();
  c.q_min = r.get<std::int64_t>();
  c.q_max = r.get<std::int64_t>();
  c.d = r.get<std::int64_t>();
  c.samples_per_season = r.get<std::int64_t>();
  c.min_training_data = r.get<std::int64_t>();
  c.force_model = r.get_bool();
  c.error_horizon_length = r.get<std::int64_t>();
  c.use_full_error_history = r.get_bool();
  if (c.differencing && r.version() >= 3) {  // older states knew no input transform
    c.log_input_shift = r.get<double>();
    if (!std::isfinite(c.log_input_shift) || c.log_input_shift < 0.0) {
      throw FormatError("arima state: bad input shift");
    }
  }
  if (layout == 2) {
    c.max_order_sum = r.get<std::int64_t>();
    if (c.max_order_sum <= 0) throw FormatError("arima state: bad bound on the orders");
  }
  try {
    c.validate();
  } catch (const InvalidArgument& e) {
    throw FormatError(std::string("arima state: ") + e.what());
  }
  cfg_ = c;
  clear();
  fitted_ = r.get_bool();
  buffer_ = r.get_vector<double>();
  for (double v : buffer_)
    if (std::isinf(v)) throw FormatError("arima state: infinite value in the buffer");
  if (!fitted_) {
    if (static_cast<std::int64_t>(buffer_.size()) > cfg_.initial_size()) {
      throw FormatError("arima state: buffer longer than the training size");
    }
    return;
  }
  if (!buffer_.empty()) throw FormatError("arima state: buffer of a fitted model");
  auto small = [&r](int hi) { return static_cast<int>(r.get_count(0, hi)); };
  order_.p = small(ArimaConfig::kMaxOrder);
  order_.d = small(2);
  order_.q = small(ArimaConfig::kMaxOrder);
  order_.P = small(1);
  order_.D = small(1);
  order_.Q = small(1);
  order_.m = static_cast<int>(r.get_count(1, ArimaConfig::kMaxSeason));
  order_.constant = r.get_bool();
  ar_ = r.get_vector<double>();
  ma_ = r.get_vector<double>();
  sar_ = r.get_vector<double>();
  sma_ = r.get_vector<double>();
  mu_ = r.get<double>();
  sigma2_ = r.get<double>();
  aicc_ = r.get<double>();
  loc_ = r.get<double>();
  scale_ = r.get<double>();
  note_ = r.get_string();
  ring_ = r.get_vector<double>();
  a_ = r.get_vector<double>();
  P_.set(r.get_vector<double>());
  steady_ = r.get_bool();
  steps_ = r.get_count(0, INT64_MAX);
  errors_.load(r);
  pending_at_ = r.get_vector<std::int64_t>();
  pending_ = r.get_vector<double>();
  if (r.version() >= 3) {
    variance_.load(r);
    calibration_.load(r);
  }  // older states use the fit's sigma2
  auto all_finite = [](const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
  };
  const bool sizes =
      static_cast<int>(ar_.size()) == order_.p && static_cast<int>(ma_.size()) == order_.q &&
      static_cast<int>(sar_.size()) == order_.P && static_cast<int>(sma_.size()) == order_.Q &&
      ((order_.P || order_.Q) ? order_.m <= kMaxSeasonalTerms : true) &&
      (order_.m >= 2 || (order_.D == 0 && order_.P == 0 && order_.Q == 0)) &&
      (cfg_.differencing || (order_.d == 0 && order_.D == 0));
  if (!sizes) throw FormatError("arima state: inconsistent orders");
  if (!all_finite(ar_) || !all_finite(ma_) || !all_finite(sar_) || !all_finite(sma_) ||
      !std::isfinite(mu_) || !std::isfinite(sigma2_) || std::isnan(aicc_) || !std::isfinite(loc_) ||
      !(std::isfinite(scale_) && scale_ > 0.0)) {
    throw FormatError("arima state: non-finite coefficients");
  }
  if (!stationary(ar_) || !stationary(sar_) || !stationary(negate(ma_)) ||
      !stationary(negate(sma_))) {
    throw FormatError("arima state: coefficients outside the stationary/invertible region");
  }
  prepare();
  const std::size_t rr = static_cast<std::size_t>(r_) * r_;
  if (ring_.size() != delta_.size() || a_.size() != static_cast<std::size_t>(r_) ||
      P_.get().size() != rr || !all_finite(ring_) || !all_finite(a_) || !all_finite(P_.get()) ||
      pending_at_.size() != pending_.size() || !all_finite(pending_) ||
      pending_.size() > static_cast<std::size_t>(cfg_.error_horizon_length) + 1) {
    throw FormatError("arima state: inconsistent filter state");
  }
  for (std::size_t i = 0; i < pending_at_.size(); ++i) {
    if (pending_at_[i] < steps_ || pending_at_[i] > steps_ + cfg_.error_horizon_length ||
        (i && pending_at_[i] <= pending_at_[i - 1])) {
      throw FormatError("arima state: inconsistent pending forecasts");
    }
  }
  fitted_ = true;
}

// ---------------------------------------------------------------------------------------------
// Builders.

namespace {

void read_common(OptionReader& o, ArimaConfig& c) {
  // min_training_data: a count; -1 (or a fraction left unresolved) lets the model choose.
  const double mtd = o.number("min_training_data", -1.0);
  if (mtd < 0.0 && mtd != -1.0) {
    o.fail("min_training_data", "must be -1 (automatic) or a positive count, got " + fmt(mtd));
  }
  if (mtd < 1.0) {
    c.min_training_data = -1;
  } else {
    if (mtd != std::floor(mtd)) o.fail("min_training_data", "must be an integer, got " + fmt(mtd));
    if (mtd > static_cast<double>(ArimaConfig::kMaxTraining)) {
      o.fail("min_training_data", "must be at most " + std::to_string(ArimaConfig::kMaxTraining));
    }
    c.min_training_data = static_cast<std::int64_t>(mtd);
  }
  c.p_min = o.integer("p_min", c.p_min);
  c.p_max = o.integer("p_max", std::max(c.p_max, c.p_min));
  c.q_min = o.integer("q_min", c.q_min);
  c.q_max = o.integer("q_max", std::max(c.q_max, c.q_min));
  c.force_model = o.flag("force_model", false);
  c.error_horizon_length = o.integer("error_horizon_length", 1);
  c.use_full_error_history = o.flag("use_full_error_history", false);
}

}  // namespace

std::unique_ptr<Model> build_arima(const Options& options) {
  OptionReader o("arima", options);
  ArimaConfig c;
  read_common(o, c);
  c.d = o.integer("d", -1);
  c.samples_per_season = o.integer("samples_per_season", 0);
  o.finish();
  return std::make_unique<Arima>(c);
}

std::unique_ptr<Model> build_arma(const Options& options) {
  OptionReader o("arma", options);
  ArimaConfig c;
  c.differencing = false;
  c.d = 0;
  read_common(o, c);
  if (o.has("d") && o.integer("d", 0) != 0) o.fail("d", "must be 0 for an ARMA model");
  o.finish();
  return std::make_unique<Arima>(c);
}

}  // namespace tarn
