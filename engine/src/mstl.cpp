#include "tarn/mstl.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "series_util.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/intervals.hpp"
#include "tarn/season.hpp"
#include "tarn/theta.hpp"

namespace tarn {
namespace {

// Local regression (Loess) of y[0..n) at position x (any real, inside or outside [0, n)), over
// the q nearest points with tricube weights: a local line (degree 1) or a local mean (degree 0).
double loess_at(const double* y, std::size_t n, std::size_t q, double x, int degree = 1) {
  const std::size_t width = std::min(q, n);
  // The q nearest integer positions to x.
  double start = std::round(x - 0.5 * static_cast<double>(width - 1));
  start = std::clamp(start, 0.0, static_cast<double>(n - width));
  const auto lo = static_cast<std::size_t>(start);
  const std::size_t hi = lo + width;  // exclusive
  double h = std::max(x - static_cast<double>(lo), static_cast<double>(hi - 1) - x);
  if (q > n) h += 0.5 * static_cast<double>(q - n);
  h = std::max(h, 0.5) * 1.0000001;
  double sw = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = lo; i < hi; ++i) {
    const double d = (static_cast<double>(i) - x) / h;
    const double a = 1.0 - std::fabs(d * d * d);
    const double w = a > 0.0 ? a * a * a : 0.0;
    const double xi = static_cast<double>(i) - x;
    sw += w;
    sx += w * xi;
    sy += w * y[i];
    sxx += w * xi * xi;
    sxy += w * xi * y[i];
  }
  if (!(sw > 0.0)) return y[std::min(n - 1, static_cast<std::size_t>(std::max(0.0, x)))];
  const double mx = sx / sw, my = sy / sw;
  const double vx = sxx / sw - mx * mx;
  // The fit's value at x (xi = 0): the weighted mean less the slope times the mean offset.
  if (degree == 0 || vx <= 1e-12 * (1.0 + mx * mx)) return my;
  const double slope = (sxy / sw - mx * my) / vx;
  return my - slope * mx;
}

std::vector<double> loess(const std::vector<double>& y, std::size_t q) {
  std::vector<double> out(y.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    interruption_point(q);
    out[i] = loess_at(y.data(), y.size(), q, static_cast<double>(i));
  }
  return out;
}

std::vector<double> moving_average(const std::vector<double>& x, std::size_t len) {
  std::vector<double> out(x.size() - len + 1);
  double s = 0.0;
  for (std::size_t i = 0; i < len; ++i) s += x[i];
  out[0] = s / static_cast<double>(len);
  for (std::size_t i = len; i < x.size(); ++i) {
    s += x[i] - x[i - len];
    out[i - len + 1] = s / static_cast<double>(len);
  }
  return out;
}

std::size_t odd_at_least(double v) {
  auto k = static_cast<std::size_t>(std::ceil(v));
  if (k % 2 == 0) ++k;
  return std::max<std::size_t>(k, 3);
}

// Passes of the inner loop (seasonal smoothing, then trend) per decomposition: two, as
// Cleveland et al. (1990, section 3) give for a decomposition without robustness iterations.
// Five passes were used before, with local lines in every cycle-subseries; with the smoothers
// below two forecast as well (bench README, "The seasonal smoother's degree") at less than half
// the cost.
constexpr int kInnerPasses = 2;

// Degree of the cycle-subseries smoother. The forecast carries each season's latest smoothed
// cycle forward, and at the end of a cycle-subseries a Loess fit is one-sided: a local line
// there extrapolates its slope over a span of only n_s cycles (a few values per phase on a long
// season), whose variance is several times that of a local mean over the same cycles.
// Cleveland et al. (1990) allow degree 0 or 1 for each smoother; the local mean is the usual
// choice for the seasonal one, the local line is kept for the trend and the low-pass filter.
// A season that rounds a fractional calendar season (weekly data's 52.18 weeks) can be the
// exception: its pattern drifts across the rounded cycle by the fraction every cycle, which a
// local line in each cycle-subseries follows and a local mean over k cycles lags by about
// (k - 1) / 2 times the fraction. Once that lag reaches half a step, more than rounding the
// season to whole steps already misplaces the pattern, the season gets local lines (weekly data
// over 11 cycles lag 0.9 weeks; the year of daily data over four years 0.4 days).
constexpr int kSeasonalDegree = 0;

// The seasonal smoother's span of the i-th shortest season (Bandara et al. 2021: 7 + 4i).
std::size_t seasonal_span(std::size_t i) {
  return 7 + 4 * (i + 1);
}

// One seasonal-trend decomposition by Loess (kInnerPasses inner passes, no robustness weights):
// the seasonal component of y for period p with seasonal span ns.
std::vector<double> stl_seasonal(const std::vector<double>& y, std::size_t p, std::size_t ns,
                                 int degree) {
  const std::size_t n = y.size();
  const std::size_t nl = odd_at_least(static_cast<double>(p));
  const std::size_t nt =
      odd_at_least(1.5 * static_cast<double>(p) / (1.0 - 1.5 / static_cast<double>(ns)));
  std::vector<double> trend(n, 0.0), season(n, 0.0), cycle(n + 2 * p), sub;
  for (int pass = 0; pass < kInnerPasses; ++pass) {
    // Cycle-subseries smoothing, each extended by one value at both ends.
    for (std::size_t j = 0; j < p; ++j) {
      sub.clear();
      for (std::size_t i = j; i < n; i += p) sub.push_back(y[i] - trend[i]);
      interruption_point(sub.size() * ns);
      // Phase j has ceil((n - j) / p) values: with the two extensions its smoothed values fill
      // every position of the cycle series (n + 2p long) of that phase.
      for (std::size_t k = 0; k < sub.size() + 2; ++k) {
        const double x = static_cast<double>(k) - 1.0;
        cycle[k * p + j] = loess_at(sub.data(), sub.size(), ns, x, degree);
      }
    }
    // Low-pass filter of the cycle series: moving averages of p, p and 3, then Loess.
    std::vector<double> low = moving_average(moving_average(moving_average(cycle, p), p), 3);
    low.resize(n);
    low = loess(low, nl);
    for (std::size_t i = 0; i < n; ++i) season[i] = cycle[p + i] - low[i];
    std::vector<double> adjusted(n);
    for (std::size_t i = 0; i < n; ++i) adjusted[i] = y[i] - season[i];
    trend = loess(adjusted, nt);
  }
  return season;
}

}  // namespace

std::vector<std::vector<double>> mstl_decompose(const std::vector<double>& y,
                                                const std::vector<int>& periods,
                                                const std::vector<int>& degrees) {
  const std::size_t n = y.size();
  std::vector<std::vector<double>> comp(periods.size(), std::vector<double>(n, 0.0));
  std::vector<double> adjusted = y;
  // Twice over: each season is re-estimated with the others already taken out.
  for (int iter = 0; iter < 2; ++iter) {
    for (std::size_t i = 0; i < periods.size(); ++i) {
      for (std::size_t t = 0; t < n; ++t) adjusted[t] += comp[i][t];
      const std::size_t ns = seasonal_span(i);
      const int degree = i < degrees.size() ? degrees[i] : kSeasonalDegree;
      comp[i] = stl_seasonal(adjusted, static_cast<std::size_t>(periods[i]), ns, degree);
      for (std::size_t t = 0; t < n; ++t) adjusted[t] -= comp[i][t];
    }
  }
  return comp;
}

MstlSmoothing mstl_smoothing(std::size_t n, const std::vector<int>& periods,
                             const std::vector<int>& degrees) {
  MstlSmoothing out;
  std::vector<double> unit;
  for (std::size_t i = 0; i < periods.size(); ++i) {
    const auto p = static_cast<std::size_t>(periods[i]);
    if (p < 2 || p >= n) continue;
    const std::size_t ns = seasonal_span(i);
    const int degree = i < degrees.size() ? degrees[i] : kSeasonalDegree;
    // Phase j has ceil((n - j) / p) values: n % p phases one more than the rest.
    const std::size_t longer = n % p, c_lo = n / p;
    double index_var = 0.0;
    for (const auto& group : {std::pair{c_lo + 1, longer}, std::pair{c_lo, p - longer}}) {
      const std::size_t c = group.first, phases = group.second;
      if (phases == 0 || c == 0) continue;
      // The smoother's weights at k, as its values for the unit vectors.
      unit.assign(c, 0.0);
      auto weight = [&](std::size_t from, std::size_t k) {
        unit[from] = 1.0;
        const double w = loess_at(unit.data(), c, ns, static_cast<double>(k), degree);
        unit[from] = 0.0;
        return w;
      };
      double trace = 0.0;
      for (std::size_t k = 0; k < c; ++k) trace += weight(k, k);
      double sum_sq = 0.0;  // the latest value's weights (outside the span they are 0)
      for (std::size_t from = c - std::min(c, ns); from < c; ++from) {
        const double w = weight(from, c - 1);
        sum_sq += w * w;
      }
      out.dof += static_cast<double>(phases) * trace;
      index_var += static_cast<double>(phases) * sum_sq;
    }
    out.index_variance += index_var / static_cast<double>(p);
  }
  return out;
}

Mstl::Mstl(const Mstl& other)
    : Model(other),
      config_(other.config_),
      season_note_(other.season_note_),
      train_(other.train_),
      fitted_(other.fitted_),
      index_(other.index_),
      pos_(other.pos_),
      inner_t_(other.inner_t_),
      inner_(other.inner_ ? other.inner_->clone() : nullptr),
      smoothing_(other.smoothing_) {}

Mstl& Mstl::operator=(const Mstl& other) {
  if (this != &other) {
    Mstl copy(other);
    Model::operator=(copy);
    config_ = std::move(copy.config_);
    season_note_ = std::move(copy.season_note_);
    train_ = std::move(copy.train_);
    fitted_ = copy.fitted_;
    index_ = std::move(copy.index_);
    pos_ = std::move(copy.pos_);
    inner_t_ = copy.inner_t_;
    inner_ = std::move(copy.inner_);
    smoothing_ = copy.smoothing_;
  }
  return *this;
}

std::size_t Mstl::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

std::vector<int> Mstl::seasons() const {
  std::vector<int> out;
  for (const auto& s : index_) out.push_back(static_cast<int>(s.size()));
  return out;
}

void Mstl::set_calendar_seasons(const std::vector<double>& seasons) {
  if (observations() > 0) return;
  config_.calendar.clear();
  for (double c : seasons) {
    if (std::isfinite(c) && c >= 2.0 && c <= static_cast<double>(kMaxSeason)) {
      config_.calendar.push_back(c);
    }
  }
}

void Mstl::name_season(std::int64_t m) {
  // A season of 1 says there is none: nothing is decomposed, and the search does not run.
  if (observations() > 0 || !config_.seasons.empty() || m < 1 || m > kMaxSeason) return;
  config_.seasons = {m};
}

void Mstl::clear() {
  season_note_.clear();
  train_.clear();
  fitted_ = false;
  index_.clear();
  pos_.clear();
  inner_t_ = 0;
  inner_.reset();
  smoothing_ = {};
}

void Mstl::observe(double value, std::int64_t gap) {
  if (!fitted_) {
    if (train_.add(value, gap, target_size())) fit();
    return;
  }
  advance(gap - 1);
  double s = 0.0;
  for (std::size_t i = 0; i < index_.size(); ++i) s += index_[i][pos_[i]];
  inner_t_ += gap;
  inner_->update(inner_t_, std::isfinite(value) ? value - s : detail::nan_value());
  advance(1);
}

void Mstl::advance(std::int64_t steps) {
  for (std::size_t i = 0; i < index_.size(); ++i) {
    const auto m = static_cast<std::int64_t>(index_[i].size());
    pos_[i] = static_cast<std::size_t>((static_cast<std::int64_t>(pos_[i]) + steps % m) % m);
  }
}

bool Mstl::fit_available() {
  if (!fitted_ && train_.finite() >= 1) fit();
  return fitted_;
}

void Mstl::fit() {
  const detail::CleanSeries cs = detail::clean_series(train_.values());
  const std::vector<double>& y = cs.y;
  const std::size_t n = y.size();
  std::vector<int> periods;
  if (config_.seasons.empty()) {
    periods = detect_seasons(y.data(), n, config_.calendar);
  } else {
    for (std::int64_t m : config_.seasons) {
      // A season needs two whole cycles to be told from the trend.
      if (m > 1 && static_cast<std::size_t>(2 * m) < n) {
        periods.push_back(static_cast<int>(m));
      } else if (m > 1) {
        season_note_ += (season_note_.empty() ? "" : "; ") + season_not_fitted(m, true);
      }
    }
    std::sort(periods.begin(), periods.end());
    periods.erase(std::unique(periods.begin(), periods.end()), periods.end());
  }
  // Local means, unless the season rounds a fractional calendar season whose drift across the
  // rounded cycle makes the local mean lag by half a step or more (kSeasonalDegree).
  std::vector<int> degrees(periods.size(), kSeasonalDegree);
  for (std::size_t i = 0; i < periods.size(); ++i) {
    const std::size_t ns = seasonal_span(i);
    const double cycles =
        std::min(static_cast<double>(ns), std::floor(static_cast<double>(n) / periods[i]));
    for (double c : config_.calendar) {
      if (std::lround(c) != periods[i]) continue;
      if (0.5 * (cycles - 1.0) * std::fabs(c - static_cast<double>(periods[i])) >= 0.5) {
        degrees[i] = 1;
      }
    }
  }
  const std::vector<std::vector<double>> comp = mstl_decompose(y, periods, degrees);
  std::vector<double> adjusted = y;
  index_.assign(periods.size(), {});
  pos_.assign(periods.size(), 0);
  for (std::size_t i = 0; i < periods.size(); ++i) {
    const auto m = static_cast<std::size_t>(periods[i]);
    for (std::size_t t = 0; t < n; ++t) adjusted[t] -= comp[i][t];
    // The latest cycle: index_[i][0] is the phase of the value one season before the next.
    index_[i].assign(comp[i].end() - static_cast<std::ptrdiff_t>(m), comp[i].end());
  }
  auto inner = std::make_unique<Theta>(ThetaConfig{static_cast<std::int64_t>(n), 1});
  for (std::size_t t = 0; t < n; ++t) inner->update(static_cast<std::int64_t>(t), adjusted[t]);
  if (!inner->is_initialized()) inner->fit_available();
  if (!inner->is_initialized()) return;  // keeps collecting
  inner_t_ = static_cast<std::int64_t>(n) - 1;
  inner_ = std::move(inner);
  smoothing_ = mstl_smoothing(n, periods, degrees);
  fitted_ = true;
  train_.clear();
  for (std::size_t i = 0; i < cs.trailing_missing; ++i) observe(detail::nan_value(), 1);
}

double Mstl::seasonal(double h) const {
  auto at = [&](double k) {
    double s = 0.0;
    for (std::size_t i = 0; i < index_.size(); ++i) {
      const std::size_t m = index_[i].size();
      const auto phase = static_cast<std::size_t>(std::fmod(k - 1.0, static_cast<double>(m)));
      s += index_[i][(pos_[i] + phase) % m];
    }
    return s;
  };
  return detail::interpolate_steps(h, at);
}

double Mstl::forecast_ahead(double h) const {
  return inner_->forecast_steps(h) + seasonal(h);
}

// The adjusted series' bands, widened for the indices' estimation (MstlSmoothing). The
// smoothers absorb part of the noise, not the level's wander: the one-step variance is counted
// on the degrees of freedom they leave (dof - D instead of dof, with the t quantile of those),
// and every step adds what that and the carried indices' own variance (the one-step variance
// times index_variance) add to the one-step variance.
void Mstl::interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const {
  inner_->forecast_interval_path(h, coverage, lower, upper);
  const auto n = static_cast<std::size_t>(h);
  const double dof = inner_->error_dof();
  if (smoothing_.dof > 0.0 || smoothing_.index_variance > 0.0) {
    // Without a count (normal quantiles) the one-step variance stays; the indices' is added.
    double quantile2 = 1.0, counted = 1.0;
    if (std::isfinite(dof)) {
      const double left = std::max(dof - smoothing_.dof, 1.0);
      const double p = 0.5 + coverage / 2.0;
      const double q = student_quantile(p, left) / student_quantile(p, dof);
      quantile2 = q * q;
      counted = dof / left;
    }
    const double extra = counted * (1.0 + smoothing_.index_variance) - 1.0;
    std::vector<double> f(n);
    inner_->forecast_path(n, f.data());
    const double below1 = std::max(f[0] - lower[0], 0.0), above1 = std::max(upper[0] - f[0], 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      const double below = std::max(f[k] - lower[k], 0.0), above = std::max(upper[k] - f[k], 0.0);
      const double b = std::sqrt(quantile2 * (below * below + extra * below1 * below1));
      const double a = std::sqrt(quantile2 * (above * above + extra * above1 * above1));
      if (std::isfinite(b)) lower[k] = f[k] - b;
      if (std::isfinite(a)) upper[k] = f[k] + a;
    }
  }
  for (std::int64_t k = 1; k <= h; ++k) {
    const double s = seasonal(static_cast<double>(k));
    lower[k - 1] += s;
    upper[k - 1] += s;
  }
}

std::string Mstl::describe() const {
  std::ostringstream os;
  os << "mstl(training_sample_size=" << config_.training_sample_size;
  if (!config_.seasons.empty()) {
    os << ", seasons=";
    for (std::size_t i = 0; i < config_.seasons.size(); ++i) {
      os << (i ? "," : "") << config_.seasons[i];
    }
  }
  os << ")";
  if (fitted_) {
    os << ": seasons=";
    if (index_.empty()) os << "none";
    for (std::size_t i = 0; i < index_.size(); ++i) os << (i ? "," : "") << index_[i].size();
    os << "; adjusted series: " << inner_->describe();
  }
  return os.str();
}

namespace {
// 2: the calendar's seasons (older states: none). 3: the indices' smoothing (older states: none,
// their bands as they were).
constexpr std::uint16_t kMstlVersion = 3;
}  // namespace

void Mstl::save(Writer& w) const {
  w.put<std::uint16_t>(kMstlVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put_vector(config_.seasons);
  w.put_vector(config_.calendar);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put<std::uint64_t>(index_.size());
  for (std::size_t i = 0; i < index_.size(); ++i) {
    w.put_vector(index_[i]);
    w.put<std::uint64_t>(pos_[i]);
  }
  w.put<std::int64_t>(inner_t_);
  w.put_string(inner_->serialize());
  w.put<double>(smoothing_.dof);
  w.put<double>(smoothing_.index_variance);
}

void Mstl::load(Reader& r) {
  const auto version = r.get<std::uint16_t>();
  if (version < 1 || version > kMstlVersion) throw FormatError("model state: unknown mstl version");
  MstlConfig c;
  c.training_sample_size = r.get<std::int64_t>();
  if (c.training_sample_size > 100000000) throw FormatError("model state: bad size");
  c.seasons = r.get_vector<std::int64_t>();
  for (std::int64_t m : c.seasons) {
    if (m < 1 || m > kMaxSeason) throw FormatError("model state: bad mstl season");
  }
  if (version >= 2) {
    c.calendar = r.get_vector<double>();
    for (double v : c.calendar) {
      if (!(v >= 2.0 && v <= static_cast<double>(kMaxSeason))) {
        throw FormatError("model state: bad mstl calendar season");
      }
    }
  }
  const bool fitted = r.get_bool();
  Mstl s(c);
  if (!fitted) {
    s.train_.load(r, s.target_size(), "mstl");
  } else {
    const std::int64_t k = r.get_count(0, 16);
    for (std::int64_t i = 0; i < k; ++i) {
      std::vector<double> idx = r.get_vector<double>();
      const std::int64_t p = r.get_count(0, kMaxSeason);
      if (idx.size() < 2 || p >= static_cast<std::int64_t>(idx.size())) {
        throw FormatError("model state: bad mstl season");
      }
      for (double v : idx) {
        if (!std::isfinite(v)) throw FormatError("model state: mstl index is not finite");
      }
      s.index_.push_back(std::move(idx));
      s.pos_.push_back(static_cast<std::size_t>(p));
    }
    s.inner_t_ = r.get<std::int64_t>();
    std::unique_ptr<Model> inner = Model::deserialize(r.get_string());
    if (std::string(inner->kind()) != "theta" || !inner->is_initialized()) {
      throw FormatError("model state: mstl's adjusted-series model is not a fitted theta");
    }
    s.inner_ = std::move(inner);
    if (version >= 3) {
      s.smoothing_.dof = r.get<double>();
      s.smoothing_.index_variance = r.get<double>();
      if (!(s.smoothing_.dof >= 0.0) || !std::isfinite(s.smoothing_.dof) ||
          !(s.smoothing_.index_variance >= 0.0) || !std::isfinite(s.smoothing_.index_variance)) {
        throw FormatError("model state: bad mstl smoothing");
      }
    }
    s.fitted_ = true;
  }
  config_ = std::move(s.config_);
  train_ = std::move(s.train_);
  fitted_ = s.fitted_;
  index_ = std::move(s.index_);
  pos_ = std::move(s.pos_);
  inner_t_ = s.inner_t_;
  inner_ = std::move(s.inner_);
  smoothing_ = s.smoothing_;
}

std::unique_ptr<Model> build_mstl(const Options& options) {
  OptionReader r("mstl", options);
  MstlConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  auto it = options.find("seasons");
  r.accept("seasons");
  if (it != options.end() && !it->second.is_none()) {
    std::vector<double> values;
    const Value& v = it->second;
    if (v.is_number()) {
      values.push_back(v.number());
    } else if (v.is_string()) {
      std::stringstream ss(v.text());
      std::string item;
      while (std::getline(ss, item, ',')) {
        if (item.find_first_not_of(" \t") == std::string::npos) continue;
        char* end = nullptr;
        const double x = std::strtod(item.c_str(), &end);
        if (end == item.c_str() || std::string(end).find_first_not_of(" \t") != std::string::npos)
          r.fail("seasons", "must be season lengths separated by commas, got '" + v.text() + "'");
        values.push_back(x);
      }
    } else {
      r.fail("seasons", "must be a season length or a text of lengths separated by commas");
    }
    for (double x : values) {
      if (x == 0.0 && values.size() == 1) break;  // 0: found in the data
      if (!(x >= 1.0 && x <= static_cast<double>(Mstl::kMaxSeason)) || x != std::floor(x)) {
        std::ostringstream os;
        os << "must hold whole season lengths in 1.." << Mstl::kMaxSeason << ", got " << x;
        r.fail("seasons", os.str());
      }
      if (x > 1.0) c.seasons.push_back(static_cast<std::int64_t>(x));
    }
    // Only ones given: no season at all (1 is kept to tell it from "find them").
    if (c.seasons.empty() && !values.empty() && values.front() >= 1.0) c.seasons.push_back(1);
  }
  r.finish();
  return std::make_unique<Mstl>(c);
}

}  // namespace tarn
